// File: KeyPathCache.h
//
// The key ids a hive's paths were found to name, and the value read last, for one connection.
//
// A path is cached by its starting key and its text exactly as the caller gave it (so no
// splitting or folding on a hit). Ids are never reused, so a cached id names the same key for as
// long as that key exists; each entry keeps the CommitWatch epoch in which the key was last seen
// to exist, and while that epoch lasts nothing has been committed and the key still exists. The
// value read last, by key and folded name, lets the point query that shows a cached key still
// exists also read that value afresh (Hive::FindCachedKey).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "portable/HiveSchema.h"

namespace qelplatform {

class KeyPathCache {
public:
    struct Entry {
        KeyId id = kRootKey;
        std::uint64_t epoch = 0;  // in which the key was last seen to exist (0: not yet)
    };

    bool Empty() const noexcept { return m_paths.empty(); }
    // The entry of this path, or null.
    Entry* Find(KeyId from, std::u16string_view text);
    // Forgets the entry Find() returned last: its key is gone.
    void ForgetFound() { m_paths.erase(m_lookup); }
    void Remember(KeyId from, std::u16string_view text, KeyId id);
    void Clear() noexcept { m_paths.clear(); }

    // Notes the value read last, by key and folded name.
    void NoteRead(KeyId key, const std::string& folded) {
        if (key != m_lastReadKey || folded != m_lastReadName) {
            m_lastReadKey = key;
            m_lastReadName = folded;
        }
    }
    KeyId LastReadKey() const noexcept { return m_lastReadKey; }
    const std::string& LastReadName() const noexcept { return m_lastReadName; }

private:
    void SetLookup(KeyId from, std::u16string_view text);

    std::unordered_map<std::u16string, Entry> m_paths;
    std::u16string m_lookup;  // reused, so that a lookup allocates nothing
    KeyId m_lastReadKey = -1;
    std::string m_lastReadName;
};

}  // namespace qelplatform
