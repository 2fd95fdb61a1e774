// File: ValueCache.h
//
// Values read from one hive, each tagged with the CommitWatch epoch in which it was read. While
// the epoch stays the same nothing has been committed to the hive by anyone, so the value is
// still what the file holds and a read costs no read transaction. That is the same test SQLite
// applies to keep its own page cache between transactions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "QelRegistry.h"

namespace qelplatform {

class ValueCache {
public:
    struct Entry {
        std::uint64_t epoch = 0;
        bool missing = false;  // the key exists but holds no value of this name
        DWORD type = 0;
        std::string data;
    };

    // The entry of key's value with this folded name, read in epoch; null when there is none or
    // epoch is 0 (nothing can be trusted).
    const Entry* Find(std::int64_t key, std::string_view folded, std::uint64_t epoch);
    // Records what a read in epoch found, and returns it. The entry stays valid until the next
    // call; it is kept for later reads only when epoch is not 0 and the data is small.
    const Entry& Store(std::int64_t key, std::string_view folded, std::uint64_t epoch, bool missing,
                       DWORD type, std::string_view data);
    void Clear() noexcept { m_entries.clear(); }

private:
    void SetLookup(std::int64_t key, std::string_view folded);

    std::unordered_map<std::string, Entry> m_entries;  // by key id bytes + folded name
    std::string m_lookup;                              // reused, so a lookup allocates nothing
    Entry m_uncached;                                  // what Store returns when not kept
};

}  // namespace qelplatform
