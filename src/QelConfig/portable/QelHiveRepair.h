// File: QelHiveRepair.h
//
// Checking a hive in full and rebuilding a damaged one (not Windows), for `qelconfig doctor`.
// The report is a C++ structure: the library and the tool are built together, with one
// standard library, so nothing needs to be taken apart into C strings and parsed back.
#pragma once

#if !defined(_WIN32)

#include <cstddef>
#include <string>
#include <vector>

#include "QelRegistry.h"

// What the check found at the hive's path.
enum class QelHiveState {
    Unknown,      // the call failed before it could tell (its result says why)
    Missing,      // no file: nothing to check or repair
    Healthy,      // every page checked; left as it is
    Damaged,      // details say why; a repair rebuilds it
    Foreign,      // another program's database or format version; always left alone
    Refused,      // not damage: the registry refuses the file (a link, not a regular file, no
                  // path, or it breaks the rules of its owner and mode); left alone
    Unavailable,  // it could not be read just now (I/O error, permissions)
    Interrupted,  // a repair stopped half-way; details name the damaged hive kept aside, and a
                  // repair (not a check) finishes the switch
};

// A key or value of the damaged hive that could not be read, so is not in the rebuilt one.
struct QelHiveRepairLoss {
    std::u16string key;   // its path below the hive's root
    std::u16string name;  // the value's name; empty for a key
    bool isValue = false;
    std::string reason;  // why it could not be read (UTF-8)
};

// What a check or repair found and did. Texts and file paths are UTF-8.
struct QelHiveRepairReport {
    QelHiveState state = QelHiveState::Unknown;
    // Why the hive is damaged or interrupted, and, when a repair failed half-way, why.
    std::vector<std::string> details;
    // Files an interrupted repair or hive creation left beside the hive, in name order, looked
    // at before the state: `leftovers` were kept (a check only, read-only by the store's switch,
    // their maker still runs, or they are not this user's), `removed` were deleted by this call.
    std::vector<std::string> leftovers;
    std::vector<std::string> removed;
    // For a repair: the new names of the damaged file, then of its -wal and of its -shm (those
    // that existed).
    std::vector<std::string> moved;
    // Whether a repair finished, the damaged hive aside and `rebuilt` in its place; `rebuilt` is
    // the hive's path, or empty when nothing could be saved and no file was made.
    bool replaced = false;
    std::string rebuilt;
    // How many keys and values the rebuilt hive holds (0 unless a damaged hive was rebuilt).
    std::size_t savedKeys = 0;
    std::size_t savedValues = 0;
    // What could not be saved: keys and values by name, in the order found, and the parts of the
    // file that could not be read at all (texts).
    std::vector<QelHiveRepairLoss> lost;
    std::vector<std::string> unreadable;
};

#define QELREPAIR_CHECK_ONLY 0x1u  // report the state, change nothing

// Checks every page of the hive behind HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE and, without
// QELREPAIR_CHECK_ONLY, moves a damaged hive aside with its -wal and -shm
// (<hive>.corrupt-<UTC time>) and builds a new one at its path from every key and value that
// could be read. Call it before this process uses the hive. `report` is emptied first and
// filled as far as the call got, also when it fails. Returns ERROR_SUCCESS when the check or
// repair was done (losses are in the report), ERROR_BADDB for another program's database (left
// alone), ERROR_ACCESS_DENIED when the hive may not be written or replaced, ERROR_BUSY when the
// file changed while it was being repaired, ERROR_INVALID_PARAMETER without a report. A repair
// killed at any moment leaves the old hive, the new one, or a note that refuses the hive until
// a repair finishes. C linkage like the registry's other diagnostics (QelReg* in the export
// map); the report's types are C++, shared by the library and the tool built with it.
QELPLATFORM_API LSTATUS QelRegRepairHive(HKEY root, DWORD flags, QelHiveRepairReport* report);

#endif
