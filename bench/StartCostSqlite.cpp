// File: StartCostSqlite.cpp
//
// The floor of StartCostQelConfig: a process that opens the hive with SQLite alone, as the
// library opens a hive it may write (read-write, WAL), finds the value by name and runs one
// prepared point query for it, then exits. Everything the library adds to a short-lived process
// is the difference between the two (bench/start-cost.sh).
//
//   StartCostSqlite HIVE EXPECTED      exit 0 when the value ISOImagePath is EXPECTED
#include <cstdio>
#include <string>

#include "HiveQuery.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: StartCostSqlite HIVE EXPECTED\n");
        return 2;
    }
    std::u16string text;
    const std::string expected(argv[2]);
    {
        HiveQuery query(argv[1], u"ISOImagePath", HiveQuery::Mode::ReadWriteWal);
        if (!query.Run(&text)) return 1;
    }
    return text == std::u16string(expected.begin(), expected.end()) ? 0 : 1;
}
