// File: HiveSalvage.h
//
// Reading what is left of a damaged hive (the layout is described in Hive.h): every key and
// value whose rows can still be read, and an account of what could not be. Used by the repair
// (HiveRepair.cpp) on a private copy of the hive, never on the hive itself.
#pragma once

#include <string>
#include <vector>

#include "QelRegistry.h"

namespace qelplatform {

struct SalvagedValue {
    std::u16string key;  // path below the hive's root, single backslashes; empty for the root
    std::u16string name;
    DWORD type = REG_NONE;
    std::string data;
};

// Something that was in the hive and could not be saved. Names known only from an index are in
// their folded (upper-case) form; a key whose name is not known at all shows as "<key N>".
struct SalvageLoss {
    bool isValue = false;
    std::u16string key;
    std::u16string name;  // values only
    std::string reason;
};

struct HiveSalvage {
    std::vector<std::u16string> keys;   // every saved key, each after its parent
    std::vector<SalvagedValue> values;  // in creation order
    std::vector<SalvageLoss> lost;
    // Rows that could not be read and whose names no index gives, as "key rows 5-9"; also
    // "nothing could be read: ..." when the file yields no rows at all.
    std::vector<std::string> unreadable;

    bool Complete() const { return lost.empty() && unreadable.empty(); }
};

// Reads a copy of a hive, row by row: each key and value row is fetched by its id, so a damaged
// page loses only the rows on it. Key paths are rebuilt from parent links; a key with a lost
// ancestor is reported lost with its values rather than placed anywhere else. The file is
// opened read-write (SQLite needs that to recover a -wal file beside it) but never changed.
HiveSalvage SalvageHive(const std::string& copyPath);

// Whether a copy of a hive passes SQLite's full integrity check; `problem` receives the first
// complaint otherwise.
bool HiveIntact(const std::string& copyPath, std::string* problem);

}  // namespace qelplatform
