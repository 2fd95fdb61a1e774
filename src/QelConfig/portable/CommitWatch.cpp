// File: CommitWatch.cpp
#include "portable/CommitWatch.h"

#include <atomic>

namespace qelplatform {

namespace {

// Region 0 of the WAL index; its size is part of SQLite's file format and must be what SQLite
// itself maps, or the VFS refuses.
constexpr int kWalIndexRegionBytes = 32768;
constexpr int kIsInitByte = 12;  // of each header copy: nonzero once the index is built

}  // namespace

void CommitWatch::Attach(sqlite3* db) noexcept {
    m_header = nullptr;
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
        file == nullptr || file->pMethods == nullptr || file->pMethods->iVersion < 2 ||
        file->pMethods->xShmMap == nullptr)
        return;
    void volatile* region = nullptr;
    // Not extending: maps only what the connection already uses.
    if (file->pMethods->xShmMap(file, 0, kWalIndexRegionBytes, 0, &region) != SQLITE_OK) return;
    m_header = static_cast<const volatile std::uint32_t*>(region);
}

std::uint64_t CommitWatch::Epoch() noexcept {
    if (m_header == nullptr) return 0;
    Header first;
    Header second;
    for (int i = 0; i < kHeaderWords; ++i) first[i] = m_header[i];
    // The writer stores the second copy, a barrier, then the first: equal copies read in the
    // opposite order are one whole header.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    for (int i = 0; i < kHeaderWords; ++i) second[i] = m_header[kHeaderWords + i];
    const auto* bytes = reinterpret_cast<const unsigned char*>(first.data());
    if (first != second || bytes[kIsInitByte] == 0) {
        ++m_epoch;  // being rewritten, or not built yet: whatever was seen is stale
        m_seen = {};
        return 0;
    }
    if (first != m_seen) {
        m_seen = first;
        ++m_epoch;
    }
    return m_epoch;
}

}  // namespace qelplatform
