// File: Registry.h
//
// The tool's direct registry access, through the Win32 calls only: raw values read and written
// byte for byte, whole trees listed, and what a hive is (its file, off Windows) for messages.
// Every function returns the Win32 status; out-parameters are untouched on failure.
#pragma once

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

struct TreeValue {
    std::u16string key;  // the full key below the hive, single separators
    std::u16string name;
    RawValue value;
};

// ERROR_FILE_NOT_FOUND when the key or the value is missing.
LSTATUS ReadValue(Hive hive, const std::u16string& key, const std::u16string& name, RawValue& out);
// Every value at and below `key`, keys visited in enumeration order. A missing key is empty.
LSTATUS ListTree(Hive hive, const std::u16string& key, std::vector<TreeValue>& out);
// Creates the key when needed.
LSTATUS WriteValue(Hive hive, const std::u16string& key, const std::u16string& name,
                   const RawValue& value);
// ERROR_FILE_NOT_FOUND when there was nothing to delete.
LSTATUS DeleteValue(Hive hive, const std::u16string& key, const std::u16string& name);
// Deletes `key` and the keys below it that hold no values, deepest first; stops quietly at
// keys that still hold something.
void DeleteEmptyKeys(Hive hive, const std::u16string& key);

// A hive as messages name it: "HKEY_CURRENT_USER (/home/a/.config/qelconfig/user.hive)".
std::string DescribeHive(Hive hive);

struct HiveHealth {
    std::string file;     // empty where hives are not files of their own (Windows)
    std::string problem;  // empty when the hive is readable
    bool readOnly = false;
    bool missing = false;
};
HiveHealth CheckHive(Hive hive);

// "access denied (5)".
std::string StatusText(LSTATUS status);

}  // namespace qelcli
