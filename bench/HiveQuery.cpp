#include "HiveQuery.h"

#include <cstring>

HiveQuery::HiveQuery(const std::string& hivePath, const std::u16string& name, Mode mode) {
    // Read-write as the library opens a hive: no link followed, no SQLite mutex (one thread per
    // connection).
    const int flags = mode == Mode::ReadOnly
                          ? SQLITE_OPEN_READONLY
                          : SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(hivePath.c_str(), &m_db, flags, nullptr) != SQLITE_OK) return;
    if (mode == Mode::ReadWriteWal) {
        // The library's settings too: -wal and -shm kept after the last close (cut to 0 bytes),
        // so that both leave a hive's files as they found them.
        sqlite3_busy_timeout(m_db, 5000);
        int persist = 1;
        sqlite3_file_control(m_db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
        sqlite3_exec(m_db,
                     "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; "
                     "PRAGMA journal_size_limit = 4194304",
                     nullptr, nullptr, nullptr);
    }
    sqlite3_stmt* find = nullptr;
    sqlite3_prepare_v2(m_db, "SELECT key, fold FROM vals WHERE name = ?1", -1, &find, nullptr);
    sqlite3_bind_blob(find, 1, name.data(), static_cast<int>(name.size() * 2), SQLITE_STATIC);
    if (sqlite3_step(find) == SQLITE_ROW) {
        m_key = sqlite3_column_int64(find, 0);
        m_fold.assign(static_cast<const char*>(sqlite3_column_blob(find, 1)),
                      static_cast<size_t>(sqlite3_column_bytes(find, 1)));
        m_found = true;
    }
    sqlite3_finalize(find);
    sqlite3_prepare_v2(m_db, "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2", -1,
                       &m_query, nullptr);
}

HiveQuery::~HiveQuery() {
    sqlite3_finalize(m_query);
    sqlite3_close(m_db);
}

bool HiveQuery::Run(std::u16string* text) {
    if (m_query == nullptr) return false;
    sqlite3_bind_int64(m_query, 1, m_key);
    sqlite3_bind_blob(m_query, 2, m_fold.data(), static_cast<int>(m_fold.size()), SQLITE_STATIC);
    const bool found = sqlite3_step(m_query) == SQLITE_ROW;
    if (found) {
        const void* data = sqlite3_column_blob(m_query, 1);
        const auto bytes = static_cast<std::size_t>(sqlite3_column_bytes(m_query, 1));
        if (text != nullptr) {
            std::size_t units = bytes / 2;
            text->resize(units);
            if (units > 0) std::memcpy(text->data(), data, units * 2);
            while (!text->empty() && text->back() == u'\0') text->pop_back();
        }
    }
    sqlite3_reset(m_query);
    return found;
}
