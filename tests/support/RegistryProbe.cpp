#include "support/RegistryProbe.h"

#include <cstring>

#include <gtest/gtest.h>

namespace qeltest {

using qelreg::RegKey;

std::u16string TextOf(const RawValue& value) {
    std::u16string text(value.data.size() / 2, u'\0');
    std::memcpy(text.data(), value.data.data(), text.size() * 2);
    return text.substr(0, text.find(u'\0'));
}

std::optional<RawValue> ReadRaw(HKEY hive, const std::u16string& key, const std::u16string& name) {
    RegKey handle;
    RawValue value;
    if (handle.Open(hive, key, KEY_READ) != ERROR_SUCCESS ||
        handle.ReadValue(name.c_str(), value) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

void WriteRaw(HKEY hive, const std::u16string& key, const std::u16string& name, DWORD type,
              const std::vector<BYTE>& bytes) {
    RegKey handle;
    ASSERT_EQ(handle.Create(hive, key, KEY_WRITE), ERROR_SUCCESS);
    EXPECT_EQ(handle.WriteValue(name.c_str(), {type, bytes}), ERROR_SUCCESS);
}

void WriteText(HKEY hive, const std::u16string& key, const std::u16string& name,
               const std::u16string& text) {
    WriteRaw(hive, key, name, REG_SZ, TextBytes(text));
}

bool KeyExists(HKEY hive, const std::u16string& key) {
    RegKey handle;
    return handle.Open(hive, key, KEY_READ) == ERROR_SUCCESS;
}

std::vector<BYTE> TextBytes(const std::u16string& text, bool withNul) {
    std::vector<BYTE> bytes((text.size() + (withNul ? 1 : 0)) * 2, 0);
    std::memcpy(bytes.data(), text.data(), text.size() * 2);
    return bytes;
}

LSTATUS SetDword(HKEY hive, const std::u16string& key, const std::u16string& name, DWORD value) {
    RegKey handle;
    const LSTATUS status = handle.Create(hive, key, KEY_ALL_ACCESS);
    if (status != ERROR_SUCCESS) return status;
    return RegSetValueExW(handle.Get(), Win32Str(name.c_str()), 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&value), sizeof value);
}

std::optional<DWORD> GetDword(HKEY hive, const std::u16string& key, const std::u16string& name) {
    RegKey handle;
    if (handle.Open(hive, key, KEY_READ) != ERROR_SUCCESS) return std::nullopt;
    DWORD value = 0;
    DWORD size = sizeof value;
    const LSTATUS status = RegQueryValueExW(handle.Get(), Win32Str(name.c_str()), nullptr, nullptr,
                                            reinterpret_cast<BYTE*>(&value), &size);
    if (status != ERROR_SUCCESS || size != sizeof value) return std::nullopt;
    return value;
}

LSTATUS SetText(HKEY hive, const std::u16string& key, const std::u16string& name,
                const std::u16string& text) {
    RegKey handle;
    const LSTATUS status = handle.Create(hive, key, KEY_WRITE);
    if (status != ERROR_SUCCESS) return status;
    const std::vector<BYTE> bytes = TextBytes(text);
    return RegSetValueExW(handle.Get(), Win32Str(name.c_str()), 0, REG_SZ, bytes.data(),
                          static_cast<DWORD>(bytes.size()));
}

TextRead GetText(HKEY hive, const std::u16string& key, const std::u16string& name) {
    TextRead result;
    RegKey handle;
    result.status = handle.Open(hive, key, KEY_READ);
    if (result.status != ERROR_SUCCESS) return result;
    RawValue value;
    result.status = handle.ReadValue(name.c_str(), value);
    if (result.status == ERROR_SUCCESS) result.text = TextOf(value);
    return result;
}

std::string Utf16Bytes(std::u16string_view text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

std::u16string FromUtf16Bytes(const void* data, std::size_t size) {
    std::u16string text(size / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), data, text.size() * 2);
    return text;
}

std::u16string SettingKey(const std::u16string& keyPath) {
    std::u16string path = kAppKey + keyPath;
    for (auto& ch : path)
        if (ch == u'/') ch = u'\\';
    return path.substr(0, path.rfind(u'\\'));
}

std::u16string SettingValueName(const std::u16string& keyPath) {
    const size_t slash = keyPath.rfind(u'/');
    return slash == std::u16string::npos ? keyPath : keyPath.substr(slash + 1);
}

}  // namespace qeltest
