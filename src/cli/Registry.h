// File: Registry.h
//
// The tool's direct registry access, through the Win32 calls only: raw values read and written
// byte for byte, whole trees listed, and what a hive is (its file, off Windows) for messages.
// Every function returns the Win32 status; out-parameters are untouched on failure.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Hive.h"
#include "QelRegistry.h"
#include "RegistryTree.h"

namespace qelcli {

using qelreg::NamedValue;
using qelreg::RawValue;
using qelreg::RegKey;
using qelreg::SkippedKey;
using qelreg::TreeVisit;

// Why the walk skipped a key, as the console says it: "its name is empty, ...; not read".
std::string SkipReason(const SkippedKey& skipped);
// "HKEY_CURRENT_USER\Software\...\UI: sub-key \"\": <reason>", one console line.
std::string DescribeSkipped(Hive hive, const SkippedKey& skipped);

// qelreg::WalkTree below the hive's root.
inline LSTATUS WalkTree(Hive hive, const std::u16string& key, const TreeVisit& visit,
                        std::vector<SkippedKey>& skipped) {
    return qelreg::WalkTree(RootOf(hive), key, visit, skipped);
}

// ERROR_FILE_NOT_FOUND when the key or the value is missing.
LSTATUS ReadValue(Hive hive, const std::u16string& key, const std::u16string& name, RawValue& out);
// Creates the key when needed.
LSTATUS WriteValue(Hive hive, const std::u16string& key, const std::u16string& name,
                   const RawValue& value);
// ERROR_FILE_NOT_FOUND when there was nothing to delete.
LSTATUS DeleteValue(Hive hive, const std::u16string& key, const std::u16string& name);
// One value of a change to several: `after` written (its key made when needed) or, when empty,
// deleted (a value already missing is no error); `before` is what a failure puts back.
struct ValueChange {
    std::u16string key;
    std::u16string name;
    std::optional<RawValue> before;
    std::optional<RawValue> after;
};
// Applies every change to one hive, all or none. Off Windows that is one transaction of the
// store, so a kill or a full disk at any moment leaves all of them or none. On Windows, whose
// registry commits each write on its own, they are written one by one and, when one fails, those
// already written are put back (a kill there can leave some). *failed receives the index of the
// change that failed; *unrestored, on Windows, how many could not be put back.
LSTATUS ApplyChanges(Hive hive, const std::vector<ValueChange>& changes, size_t* failed,
                     size_t* unrestored);
// The changes that undo `changes`: each value as it was before.
std::vector<ValueChange> Reversed(const std::vector<ValueChange>& changes);
// Deletes `key` and the keys below it that hold no values, deepest first; leaves keys that
// still hold something, and those a walk skips.
void DeleteEmptyKeys(Hive hive, const std::u16string& key);

// A hive as messages name it: "HKEY_CURRENT_USER (/home/a/.config/qelconfig/user.hive)".
std::string DescribeHive(Hive hive);

struct HiveHealth {
    std::string file;     // empty where hives are not files of their own (Windows)
    std::string problem;  // empty when the registry can use the hive as it should
    std::string note;     // a refusal that is meant: the read-only switch, or the machine
                          // hive for a user who does not administer it
    bool readOnly = false;
    bool missing = false;
    bool unreadable = false;  // reads find nothing in it, whatever it holds
    bool unwritable = false;  // writes to it fail (the note or the problem says why)
};
HiveHealth CheckHive(Hive hive);

// For each hive that cannot be read, a warning naming its file and the reason, followed by
// `consequence` ("its values are not shown"); returns those hives.
std::vector<Hive> WarnUnreadableHives(const std::vector<Hive>& hives, std::string_view consequence);

// "REG_DWORD"; "type 12" for a type without a name.
std::string RegTypeName(DWORD type);

// "access denied (5)".
std::string StatusText(LSTATUS status);

}  // namespace qelcli
