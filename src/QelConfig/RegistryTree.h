// File: RegistryTree.h
//
// A walk of a whole registry tree: each key's values, then the keys below it, deepest last,
// with a call once a key and everything below it are done (to delete it, for instance). The
// qelconfig tool exports, checks and clears trees with it, and the tests snapshot and clear
// theirs, so both read a tree the same way. Not part of the library: the tool and the test
// support link it as a static library of its own.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "RegistryKey.h"

namespace qelreg {

// Why a walk did not enter a key, so that neither it nor anything below it was read.
enum class SkipCause {
    EmptyName,       // an empty name opens the key that lists it
    Backslash,       // a path reads "\\" as a separator
    Nul,             // a NUL ends a name
    LongName,        // longer than the registry's 255 characters
    TooDeep,         // its path would be longer than kMaxWalkPathChars
    NotFoundByName,  // listed, but not found by its name
    CannotOpen,      // the open failed with `status`
    CannotRead,      // opened, but listing its values or sub-keys failed with `status`
};

struct SkippedKey {
    std::u16string parent;  // the key that lists it, below the root, single separators
    std::u16string name;    // as the parent lists it
    SkipCause cause = SkipCause::CannotOpen;
    LSTATUS status = ERROR_SUCCESS;  // for CannotOpen and CannotRead
};

// What a walk does at each key. `key` is the path below the root; the references are valid for
// the call only.
struct TreeVisit {
    // Each key read, before the keys below it, with its values in enumeration order.
    std::function<void(const std::u16string& key, std::vector<NamedValue>& values)> enter;
    // Each key read, after everything below it, once its own handle is closed: `parent` and
    // `name` open or delete it (for the key the walk starts at, the root and its path).
    std::function<void(HKEY parent, const std::u16string& name)> leave;
};

// Walks stop at keys whose path below the root would be longer: the most a registry call takes
// as a path (a counted string of 16-bit size), far past the store's 512 levels. Only a hive whose
// keys lead back to an ancestor gets there, so a walk of one ends and reports it.
inline constexpr std::size_t kMaxWalkPathChars = 32767;

// Walks `key` below `root` and every key below it in enumeration order, without recursion: each
// key is opened by its name through its parent's handle and enumerated once, so the cost is
// linear in what is read. A sub-key that cannot be opened by its name (an empty name, or one
// holding "\\" or a NUL, as only a crafted hive has), cannot be read, or lies deeper than
// kMaxWalkPathChars is skipped with everything below it and reported in `skipped`. A missing
// `key` is an empty tree; a failure to read `key` itself is returned.
LSTATUS WalkTree(HKEY root, const std::u16string& key, const TreeVisit& visit,
                 std::vector<SkippedKey>& skipped);

// Deletes `key` and every key below it, deepest first; what cannot be deleted stays.
void DeleteTree(HKEY root, const std::u16string& key);

}  // namespace qelreg
