// File: Registry.h
//
// The tool's direct registry access, through the Win32 calls only: raw values read and written
// byte for byte, whole trees listed, and what a hive is (its file, off Windows) for messages.
// Every function returns the Win32 status; out-parameters are untouched on failure.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Hive.h"
#include "QelPlatform.h"

namespace qelcli {

// An open key that closes itself. Move-only.
class RegHandle {
public:
    RegHandle() noexcept = default;
    ~RegHandle() { Close(); }
    RegHandle(RegHandle&& other) noexcept : m_key(std::exchange(other.m_key, nullptr)) {}
    RegHandle& operator=(RegHandle&& other) noexcept {
        if (this != &other) {
            Close();
            m_key = std::exchange(other.m_key, nullptr);
        }
        return *this;
    }
    RegHandle(const RegHandle&) = delete;
    RegHandle& operator=(const RegHandle&) = delete;

    HKEY* Receive() noexcept {
        Close();
        return &m_key;
    }
    HKEY Get() const noexcept { return m_key; }
    void Close() noexcept {
        if (m_key != nullptr) ::RegCloseKey(m_key);
        m_key = nullptr;
    }

private:
    HKEY m_key = nullptr;
};

struct RawValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    friend bool operator==(const RawValue&, const RawValue&) = default;
};

struct NamedValue {
    std::u16string name;
    RawValue value;
};

// A key that a walk of a tree did not enter, so that neither it nor anything below it was read.
struct SkippedKey {
    std::u16string parent;  // the key that lists it, below the hive, single separators
    std::u16string name;    // as the parent lists it
    std::string reason;
};
// "HKEY_CURRENT_USER\Software\...\UI: sub-key \"\": <reason>", one console line.
std::string DescribeSkipped(Hive hive, const SkippedKey& skipped);

// What a walk does at each key. `key` is the path below the hive; the references are valid for
// the call only.
struct TreeVisit {
    // Each key read, before the keys below it, with its values in enumeration order.
    std::function<void(const std::u16string& key, std::vector<NamedValue>& values)> enter;
    // Each key read, after everything below it, once its own handle is closed: `parent` and
    // `name` open or delete it (for the key the walk starts at, the hive's root and its path).
    std::function<void(HKEY parent, const std::u16string& name)> leave;
};

// Walks stop at keys whose path below the hive would be longer: the most a registry call takes
// as a path (a counted string of 16-bit size), far past the store's 512 levels. Only a hive whose
// keys lead back to an ancestor gets there, so a walk of one ends and reports it.
inline constexpr size_t kMaxWalkPathChars = 32767;

// Walks `key` and every key below it in enumeration order, without recursion: each key is opened
// by its name through its parent's handle and enumerated once, so the cost is linear in what is
// read. A sub-key that cannot be opened by its name (an empty name, or one holding "\\" or a
// NUL, as only a crafted hive has), cannot be read, or lies deeper than kMaxWalkPathChars is
// skipped with everything below it and reported in `skipped`. A missing `key` is an empty tree;
// a failure to read `key` itself is returned.
LSTATUS WalkTree(Hive hive, const std::u16string& key, const TreeVisit& visit,
                 std::vector<SkippedKey>& skipped);
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
