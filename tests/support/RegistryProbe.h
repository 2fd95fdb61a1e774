// File: RegistryProbe.h
//
// Direct looks at the registry beneath the library, for tests that check what it stored or that
// plant values for it to find. Every call goes through the Win32 registry interface.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QelRegistry.h"
#include "RegistryKey.h"

namespace qeltest {

using qelreg::RawValue;

// The data as UTF-16 text, up to the first NUL.
std::u16string TextOf(const RawValue& value);

// The value's type and bytes, or nothing when the key or value is missing.
std::optional<RawValue> ReadRaw(HKEY hive, const std::u16string& key, const std::u16string& name);
// Stores exactly the bytes given, creating the key; fails the test when the registry refuses.
void WriteRaw(HKEY hive, const std::u16string& key, const std::u16string& name, DWORD type,
              const std::vector<BYTE>& bytes);
// Stores text as REG_SZ with its NUL, as the library does.
void WriteText(HKEY hive, const std::u16string& key, const std::u16string& name,
               const std::u16string& text);
// Whether the key exists.
bool KeyExists(HKEY hive, const std::u16string& key);

// Writes a REG_DWORD, creating the key; the registry's answer.
LSTATUS SetDword(HKEY hive, const std::u16string& key, const std::u16string& name, DWORD value);
// A REG_DWORD-sized value, or nothing when the key or value is missing or of another size.
std::optional<DWORD> GetDword(HKEY hive, const std::u16string& key, const std::u16string& name);
// Writes REG_SZ text with its NUL, creating the key; the registry's answer.
LSTATUS SetText(HKEY hive, const std::u16string& key, const std::u16string& name,
                const std::u16string& text);
// Text read through a key opened for it: the error of the open or of the query, else the text.
struct TextRead {
    LSTATUS status = ERROR_SUCCESS;
    std::u16string text;
};
TextRead GetText(HKEY hive, const std::u16string& key, const std::u16string& name);

// The bytes of a text, with its NUL when asked.
std::vector<BYTE> TextBytes(const std::u16string& text, bool withNul = true);
// The UTF-16 code units of a text as bytes in memory order (no NUL), and back.
std::string Utf16Bytes(std::u16string_view text);
std::u16string FromUtf16Bytes(const void* data, std::size_t size);

// Where the process-wide instance keeps a setting: the key below either hive, and the value.
inline const std::u16string kAppKey = u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\";
std::u16string SettingKey(const std::u16string& keyPath);
std::u16string SettingValueName(const std::u16string& keyPath);

}  // namespace qeltest
