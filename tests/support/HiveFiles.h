// File: HiveFiles.h
//
// Files at and beside the portable registry's hives (not Windows): their bytes, what a
// directory holds, garbage and other programs' databases to put where a hive should be, and
// genuine hives made by the registry itself, so that no test carries a copy of the format.
#pragma once

#if !defined(_WIN32)

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qeltest {

std::string ReadBytes(const std::filesystem::path& path);
// Writes the file whole, making its directories; the file is private (mode 0600), as the
// registry makes hives: it refuses hives others may write.
void WriteBytes(const std::filesystem::path& path, const std::string& bytes);
// The path with a companion's suffix ("-wal", "-shm", "-journal").
std::filesystem::path Beside(const std::filesystem::path& hive, const char* suffix);
// The permission bits of a file, or 0 when it cannot be seen.
unsigned ModeOf(const std::filesystem::path& path);
// The names in a directory, sorted.
std::vector<std::string> Listing(const std::filesystem::path& directory);
// `size` bytes of noise, the same for the same seed.
std::string Garbage(std::size_t size, unsigned seed = 12345);

// The bytes of a new SQLite database of another program, made at `scratch` by running `sql`.
std::string SqliteFile(const std::filesystem::path& scratch, const char* sql);
// Moves everything in the -wal file into the main file, so that the main file is the whole hive.
void Checkpoint(const std::filesystem::path& hive);
// PRAGMA integrity_check through a read-only connection: "ok", or what it found.
std::string IntegrityCheck(const std::filesystem::path& hive);

// Makes a genuine user hive at `hive`: the registry writes whatever `fill` writes through the
// user hive (QELCONFIG_USER_HIVE points at it meanwhile), then everything is checkpointed into
// the main file. Returns the file's bytes.
std::string BuildHive(const std::filesystem::path& hive, const std::function<void()>& fill);
// Makes a hive at `hive` as the registry builds a new one, with its tables and no rows, and
// nothing beside it; false when the registry did not make it.
bool EmptyHive(const std::filesystem::path& hive);

}  // namespace qeltest

#endif
