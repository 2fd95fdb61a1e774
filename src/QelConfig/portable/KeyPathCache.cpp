// File: KeyPathCache.cpp
//
// The path cache of KeyPathCache.h: entries by starting key and path text, and its bound.
#include "portable/KeyPathCache.h"

namespace qelplatform {

namespace {

constexpr std::size_t kMaxCachedPaths = 4096;

}  // namespace

void KeyPathCache::SetLookup(KeyId from, std::u16string_view text) {
    m_lookup.assign(reinterpret_cast<const char16_t*>(&from), sizeof from / sizeof(char16_t));
    m_lookup += text;
}

KeyPathCache::Entry* KeyPathCache::Find(KeyId from, std::u16string_view text) {
    SetLookup(from, text);
    const auto it = m_paths.find(m_lookup);
    return it == m_paths.end() ? nullptr : &it->second;
}

void KeyPathCache::Remember(KeyId from, std::u16string_view text, KeyId id) {
    if (m_paths.size() >= kMaxCachedPaths) m_paths.clear();
    SetLookup(from, text);
    m_paths.insert_or_assign(m_lookup, Entry{id, 0});
}

}  // namespace qelplatform
