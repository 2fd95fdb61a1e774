// File: ValueCache.cpp
#include "portable/ValueCache.h"

namespace qelplatform {

namespace {

// Settings are short texts; larger values are read from the file each time rather than held.
// Both limits together bound the cache at 4 MiB a hive.
constexpr std::size_t kMaxCachedBytes = 4096;
constexpr std::size_t kMaxEntries = 1024;

}  // namespace

void ValueCache::SetLookup(std::int64_t key, std::string_view folded) {
    m_lookup.assign(reinterpret_cast<const char*>(&key), sizeof key);
    m_lookup += folded;
}

const ValueCache::Entry* ValueCache::Find(std::int64_t key, std::string_view folded,
                                          std::uint64_t epoch) {
    if (epoch == 0 || m_entries.empty()) return nullptr;
    SetLookup(key, folded);
    const auto it = m_entries.find(m_lookup);
    return it != m_entries.end() && it->second.epoch == epoch ? &it->second : nullptr;
}

const ValueCache::Entry& ValueCache::Store(std::int64_t key, std::string_view folded,
                                           std::uint64_t epoch, bool missing, DWORD type,
                                           std::string_view data) {
    Entry* entry = &m_uncached;
    if (epoch != 0 && data.size() <= kMaxCachedBytes) {
        if (m_entries.size() >= kMaxEntries) m_entries.clear();
        SetLookup(key, folded);
        entry = &m_entries[m_lookup];
    }
    entry->epoch = epoch;
    entry->missing = missing;
    entry->type = type;
    entry->data.assign(data);
    return *entry;
}

}  // namespace qelplatform
