// File: RegistryKey.h
//
// An open registry key that closes itself, with the reads that every user of the registry
// would otherwise write again: a value's type and bytes, a value written byte for byte, and
// the values and sub-keys a key lists. The library, the qelconfig tool and the tests all hold
// keys through this one type, so no caller closes a handle by hand or keeps a buffer-growing
// loop of its own.
//
// The reads and writes are also free functions of a raw handle, for keys no RegKey owns: a
// hive's predefined root, or a parent handed to a callback.
//
// Not installed and not part of the library's interface: everything here is inline, so the
// library (built with hidden visibility) exports nothing more for it. Text is char16_t;
// Win32Str() hands it to the W calls, which take wchar_t on Windows.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "QelRegistry.h"

namespace qelreg {

// The longest key name the registry makes (255 characters) with its NUL, and the longest value
// name (16383) with its NUL: the buffers enumeration needs.
inline constexpr DWORD kMaxKeyNameChars = 256;
inline constexpr DWORD kMaxValueNameChars = 16384;

// A value as the registry holds it: its type and exactly its bytes.
struct RawValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;

    friend bool operator==(const RawValue&, const RawValue&) = default;
};

struct NamedValue {
    std::u16string name;
    RawValue value;
};

// The value's type and bytes, whatever their size; ERROR_FILE_NOT_FOUND when it is missing.
// `out` is untouched on failure.
[[nodiscard]] inline LSTATUS ReadValue(HKEY key, const char16_t* name, RawValue& out) {
    RawValue value;
    DWORD bytes = 0;
    LSTATUS rc = ::RegQueryValueExW(key, Win32Str(name), nullptr, &value.type, nullptr, &bytes);
    // The size can change between the two calls; ask again until the data fits.
    while (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
        value.data.resize(bytes);
        DWORD got = bytes;
        rc = ::RegQueryValueExW(key, Win32Str(name), nullptr, &value.type, value.data.data(), &got);
        if (rc == ERROR_SUCCESS) {
            value.data.resize(got);
            out = std::move(value);
            return rc;
        }
        bytes = got;
    }
    return rc;
}

// Stores exactly `value.data`. The registry looks one unit past text data without a
// terminator, and adds one when it finds NUL there: the fence keeps it to the bytes the
// value has, and inside the buffer.
[[nodiscard]] inline LSTATUS WriteValue(HKEY key, const char16_t* name, const RawValue& value) {
    std::vector<BYTE> fenced(value.data);
    fenced.insert(fenced.end(), {0xFF, 0xFF, 0xFF});
    return ::RegSetValueExW(key, Win32Str(name), 0, value.type, fenced.data(),
                            static_cast<DWORD>(value.data.size()));
}

// Appends every value in enumeration order; the first error other than the end of the list
// is returned, with the values before it appended.
[[nodiscard]] inline LSTATUS ListValues(HKEY key, std::vector<NamedValue>& out) {
    std::vector<char16_t> name(kMaxValueNameChars);
    std::vector<BYTE> data(4096);
    for (DWORD index = 0;; ++index) {
        DWORD nameChars = kMaxValueNameChars;
        DWORD type = REG_NONE;
        auto bytes = static_cast<DWORD>(data.size());
        LSTATUS rc = ::RegEnumValueW(key, index, Win32Str(name.data()), &nameChars, nullptr, &type,
                                     data.data(), &bytes);
        if (rc == ERROR_MORE_DATA && bytes > data.size()) {
            data.resize(bytes);
            nameChars = kMaxValueNameChars;
            rc = ::RegEnumValueW(key, index, Win32Str(name.data()), &nameChars, nullptr, &type,
                                 data.data(), &bytes);
        }
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS) return rc;
        out.push_back({std::u16string(name.data(), nameChars),
                       {type, std::vector<BYTE>(data.begin(), data.begin() + bytes)}});
    }
}

// Appends every sub-key's name in enumeration order, as ListValues does.
[[nodiscard]] inline LSTATUS ListSubKeys(HKEY key, std::vector<std::u16string>& out) {
    std::vector<char16_t> name(kMaxKeyNameChars);
    for (DWORD index = 0;;) {
        auto chars = static_cast<DWORD>(name.size());
        const LSTATUS rc = ::RegEnumKeyExW(key, index, Win32Str(name.data()), &chars, nullptr,
                                           nullptr, nullptr, nullptr);
        // A name longer than the registry allows comes only from a crafted hive: read it
        // whole anyway, so that a caller can name the key it cannot open.
        if (rc == ERROR_MORE_DATA && name.size() < kMaxValueNameChars) {
            name.resize(kMaxValueNameChars);
            continue;
        }
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS) return rc;
        out.emplace_back(name.data(), chars);
        ++index;
    }
}

// Move-only. Open() and Create() replace what the key held (it holds nothing after a failure);
// Close() is safe twice.
class RegKey {
public:
    RegKey() noexcept = default;
    ~RegKey() { Close(); }
    RegKey(RegKey&& other) noexcept : m_key(std::exchange(other.m_key, nullptr)) {}
    RegKey& operator=(RegKey&& other) noexcept {
        if (this != &other) {
            Close();
            m_key = std::exchange(other.m_key, nullptr);
        }
        return *this;
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    // `path` below `parent`; null or empty opens `parent` itself, as RegOpenKeyExW does. The
    // parent may be this key's own handle: it is closed only once the new one is open.
    [[nodiscard]] LSTATUS Open(HKEY parent, const char16_t* path, REGSAM access) noexcept {
        HKEY opened = nullptr;
        const LSTATUS rc = ::RegOpenKeyExW(parent, Win32Str(path), 0, access, &opened);
        Hold(rc == ERROR_SUCCESS ? opened : nullptr);
        return rc;
    }
    [[nodiscard]] LSTATUS Open(HKEY parent, const std::u16string& path, REGSAM access) noexcept {
        return Open(parent, path.c_str(), access);
    }
    // Opens `path`, making it and the keys above it when missing; `disposition`, when given,
    // receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
    [[nodiscard]] LSTATUS Create(HKEY parent, const char16_t* path, REGSAM access,
                                 DWORD* disposition = nullptr) noexcept {
        HKEY created = nullptr;
        const LSTATUS rc =
            ::RegCreateKeyExW(parent, Win32Str(path), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                              nullptr, &created, disposition);
        Hold(rc == ERROR_SUCCESS ? created : nullptr);
        return rc;
    }
    [[nodiscard]] LSTATUS Create(HKEY parent, const std::u16string& path, REGSAM access,
                                 DWORD* disposition = nullptr) noexcept {
        return Create(parent, path.c_str(), access, disposition);
    }

    // For calls that hand out a key through an out-parameter; closes what was open before.
    HKEY* Receive() noexcept {
        Close();
        return &m_key;
    }
    HKEY Get() const noexcept { return m_key; }
    explicit operator bool() const noexcept { return m_key != nullptr; }
    void Close() noexcept { Hold(nullptr); }

    // The reads and writes above, through this key.
    [[nodiscard]] LSTATUS ReadValue(const char16_t* name, RawValue& out) const {
        return qelreg::ReadValue(m_key, name, out);
    }
    [[nodiscard]] LSTATUS WriteValue(const char16_t* name, const RawValue& value) const {
        return qelreg::WriteValue(m_key, name, value);
    }
    [[nodiscard]] LSTATUS ListValues(std::vector<NamedValue>& out) const {
        return qelreg::ListValues(m_key, out);
    }
    [[nodiscard]] LSTATUS ListSubKeys(std::vector<std::u16string>& out) const {
        return qelreg::ListSubKeys(m_key, out);
    }

private:
    void Hold(HKEY key) noexcept {
        if (m_key != nullptr) ::RegCloseKey(m_key);
        m_key = key;
    }

    HKEY m_key = nullptr;
};

}  // namespace qelreg
