// File: ImportPlan.h
//
// The checking half of import: every operation of a .reg file is checked against the catalogue
// and played in file order over the current registry content, giving the values that would
// change and their old and new data. Nothing is written here.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Catalogue.h"
#include "RegFile.h"
#include "Registry.h"

namespace qelcli {

struct PlannedChange {
    Hive hive;
    std::u16string key;  // below the hive, single separators
    std::u16string name;
    const ConfigEntry* setting = nullptr;  // null: a value no setting owns, deleted with its key
    std::optional<RawValue> before;        // none: not stored
    std::optional<RawValue> after;         // none: deleted
    int line = 0;                          // the first line that touched it
};

struct ImportPlan {
    std::vector<PlannedChange> changes;  // values whose data changes, in the order first touched
    int unchanged = 0;                   // values touched that keep their data
    std::vector<std::pair<Hive, std::u16string>> deletedKeys;  // [-KEY] lines, to prune after
    size_t errors = 0;        // bad lines; any at all: nothing may be applied
    std::vector<Hive> hives;  // every hive a line of the file names, each once
};

// Reads a .reg file and checks each operation as it is read. Every bad line goes to `onError` at
// once, in line order, and is only counted here: a file of a million bad lines costs no memory
// for them.
ImportPlan PlanImport(std::string_view fileBytes,
                      const std::function<void(const regfile::Error&)>& onError);

}  // namespace qelcli
