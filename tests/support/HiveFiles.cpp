#include "support/HiveFiles.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "QelRegistry.h"
#include "RegistryKey.h"
#include "support/ChildProcess.h"

namespace qeltest {

namespace fs = std::filesystem;

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    chmod(path.c_str(), 0600);
}

fs::path Beside(const fs::path& hive, const char* suffix) { return hive.string() + suffix; }

unsigned ModeOf(const fs::path& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::vector<std::string> Listing(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Garbage(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<char>(seed >> 24);
    }
    return bytes;
}

std::string SqliteFile(const fs::path& scratch, const char* sql) {
    fs::create_directories(scratch.parent_path());
    fs::remove(scratch);
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(scratch.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    sqlite3_close(db);
    return ReadBytes(scratch);
}

void Checkpoint(const fs::path& hive) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(hive.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
}

std::string IntegrityCheck(const fs::path& hive) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(hive.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return "cannot open";
    }
    std::string result;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            if (!result.empty()) result += "; ";
            result += reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        }
    } else {
        result = sqlite3_errmsg(db);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return result;
}

std::string BuildHive(const fs::path& hive, const std::function<void()>& fill) {
    {
        EnvOverride path("QELCONFIG_USER_HIVE", hive.c_str());
        fill();
    }
    Checkpoint(hive);
    return ReadBytes(hive);
}

bool EmptyHive(const fs::path& hive) {
    // Built in a child, whose connection dies with it: the first write makes the hive (its
    // tables go into the main file before it is linked into place) and puts one row in the
    // -wal, which is then thrown away with the -shm.
    const int made = InChild([&hive] {
        setenv("QELCONFIG_USER_HIVE", hive.c_str(), 1);
        qelreg::RegKey key;
        return key.Create(HKEY_CURRENT_USER, u"Software", KEY_WRITE) == ERROR_SUCCESS ? 0 : 1;
    });
    std::error_code ignored;
    fs::remove(Beside(hive, "-wal"), ignored);
    fs::remove(Beside(hive, "-shm"), ignored);
    return made == 0 && fs::is_regular_file(hive);
}

}  // namespace qeltest
