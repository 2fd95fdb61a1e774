// File: NotifySnapshot.h
//
// What a change notification compares: a key's sub-key names and its values (or those of the
// whole tree below it), each reduced to a 64-bit digest, and whether the key still exists.
// Taken when a notification is registered and again whenever the hive's directory says that
// something may have been committed; the notification fires only when the digests its filter
// names differ, so a commit to another key, or one that rewrote a value with the same data,
// wakes no one.
#pragma once

#include <cstdint>

#include "QelRegistry.h"
#include "portable/Hive.h"

namespace qelplatform {

struct KeySnapshot {
    bool exists = true;
    std::uint64_t names = 0;   // sub-keys: id, parent and folded name of each
    std::uint64_t values = 0;  // values: key, folded name, type and data of each
};

// Under the registry's lock. A hive that cannot be read (missing, refused, damaged) reads as
// empty, as it does for every other call. Returns false when reading failed midway (the
// snapshot is then not to be compared).
bool TakeSnapshot(Hive& hive, KeyId key, bool subtree, KeySnapshot* snapshot);

// Whether the change from `before` to `after` is one that `filter` (REG_NOTIFY_CHANGE_*) asks
// about. A key that is gone always counts.
bool SnapshotChanged(const KeySnapshot& before, const KeySnapshot& after, DWORD filter);

}  // namespace qelplatform
