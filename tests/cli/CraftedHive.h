// File: CraftedHive.h
//
// Rows written into a portable hive file with SQLite directly: what only a crafted file holds
// (key names the registry never gives, a key that leads back to the root) and trees deeper than
// the registry creates. Not on Windows, where the hives are the system's.
#pragma once

#if !defined(_WIN32)

#include <sqlite3.h>

#include <filesystem>
#include <string>

namespace qeltest {

class CraftedHive {
public:
    // Opens an existing hive (the registry made it, with its tables); what is added is
    // committed when the object goes.
    explicit CraftedHive(const std::filesystem::path& hive);
    ~CraftedHive();
    CraftedHive(const CraftedHive&) = delete;
    CraftedHive& operator=(const CraftedHive&) = delete;

    // The id of the key at `path` below the hive's root (names exactly as stored), or -1.
    long long KeyId(const std::u16string& path);
    // Adds a key of a name the registry never gives, and returns its id. Such a key is listed,
    // but no lookup by name finds it.
    long long AddKey(long long parent, const std::u16string& name);
    // Adds `depth` keys, each below the one before, named as the key `like` (which the registry
    // made, so that each is found by its name); returns the deepest.
    long long AddChain(long long parent, long long like, int depth);
    // Adds a REG_SZ value holding `text` and its NUL; listed, but not found by its name.
    void AddValue(long long key, const std::u16string& name, const std::u16string& text);
    // Moves every value of one key to another: values the registry wrote, placed where it would
    // not write them.
    void MoveValues(long long from, long long to);
    // Gives a key another id, its sub-keys and values following it. Id 0 is the hive's root.
    void Renumber(long long id, long long to);
    // The single number a query gives.
    long long Count(const std::string& sql);

private:
    void Exec(const char* sql);
    sqlite3* m_db = nullptr;
};

}  // namespace qeltest

#endif
