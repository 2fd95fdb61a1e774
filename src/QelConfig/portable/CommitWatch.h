// File: CommitWatch.h
//
// Tells, without a system call or a read transaction, whether anything has been committed to a
// hive since it was last asked.
//
// Every commit to a WAL-mode database rewrites the header at the start of its WAL index (the
// -shm file, which each connection maps): two copies of the same 48 bytes, the second written
// first. SQLite decides whether its own page cache is still good by reading the first copy, then
// the second, and comparing them with what it saw before; this reads them the same way. The
// header holds the commit counter, the last frame and its checksum and the WAL's salts, so no
// commit, checkpoint restart or recovery leaves it unchanged.
#pragma once

#include <sqlite3.h>

#include <array>
#include <cstdint>

namespace qelplatform {

class CommitWatch {
public:
    // Watches the WAL index of the connection's main database. Only for a read-write connection
    // in WAL mode: such a connection holds the index's shared lock for as long as it is open, so
    // nobody truncates the mapping under it. Without an index, Epoch() always answers 0.
    void Attach(sqlite3* db) noexcept;
    // Before the connection closes: the mapping goes with it, and nothing seen through it
    // counts any more.
    void Detach() noexcept {
        m_header = nullptr;
        m_seen = {};
        ++m_epoch;
    }

    // A number that stays the same while nothing is committed and changes when anything is;
    // never reused, and never 0. 0 means "cannot tell now": treat everything as changed.
    std::uint64_t Epoch() noexcept;

private:
    static constexpr int kHeaderWords = 12;  // 48 bytes
    using Header = std::array<std::uint32_t, kHeaderWords>;

    const volatile std::uint32_t* m_header = nullptr;
    Header m_seen{};
    std::uint64_t m_epoch = 1;
};

}  // namespace qelplatform
