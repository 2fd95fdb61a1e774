// File: HiveQuery.h
//
// The floor under every stored read: a prepared SQLite point query on a hive file for one value,
// the one statement a read that reaches the file cannot do without. The value is found once by
// its name (which must be unique in the hive); each Run() is then a lookup by the unique index
// (key, fold), as the library's own read is. The benchmarks compare the library with it on the
// same file.
#pragma once

#include <sqlite3.h>

#include <string>

class HiveQuery {
public:
    enum class Mode {
        ReadOnly,      // a reader beside the library (QelConfigBench's floor)
        ReadWriteWal,  // opened as the library opens a hive it may write: read-write, WAL
    };

    // name: the value's name, as stored (UTF-16).
    HiveQuery(const std::string& hivePath, const std::u16string& name, Mode mode);
    ~HiveQuery();
    HiveQuery(const HiveQuery&) = delete;
    HiveQuery& operator=(const HiveQuery&) = delete;

    // Whether the value was there when the query was prepared.
    bool Found() const { return m_found; }
    // Runs the query once; copies the value's text (REG_SZ data without its terminator) into
    // text when it is not null. False when the value is gone or the query failed.
    bool Run(std::u16string* text);

private:
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_query = nullptr;
    sqlite3_int64 m_key = 0;
    std::string m_fold;
    bool m_found = false;
};
