#include "support/RegistryProbe.h"

#include <cstring>

#include <gtest/gtest.h>

namespace qeltest {

std::u16string RawValue::Text() const {
    std::u16string text(bytes.size() / 2, u'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * 2);
    return text.substr(0, text.find(u'\0'));
}

std::optional<RawValue> ReadRaw(HKEY hive, const std::u16string& key, const std::u16string& name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(hive, Win32Str(key.c_str()), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return std::nullopt;
    RawValue value;
    DWORD size = 0;
    LONG rc =
        RegQueryValueExW(handle, Win32Str(name.c_str()), nullptr, &value.type, nullptr, &size);
    if (rc == ERROR_SUCCESS) {
        value.bytes.resize(size);
        rc = RegQueryValueExW(handle, Win32Str(name.c_str()), nullptr, &value.type,
                              value.bytes.data(), &size);
        value.bytes.resize(size);
    }
    RegCloseKey(handle);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    return value;
}

void WriteRaw(HKEY hive, const std::u16string& key, const std::u16string& name, DWORD type,
              const std::vector<BYTE>& bytes) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(hive, Win32Str(key.c_str()), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE, nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    const std::vector<BYTE> fenced = FencedBytes(bytes);
    EXPECT_EQ(RegSetValueExW(handle, Win32Str(name.c_str()), 0, type, fenced.data(),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(handle);
}

std::vector<BYTE> FencedBytes(const std::vector<BYTE>& bytes) {
    std::vector<BYTE> fenced(bytes);
    fenced.insert(fenced.end(), {0xFF, 0xFF, 0xFF});
    return fenced;
}

void WriteText(HKEY hive, const std::u16string& key, const std::u16string& name,
               const std::u16string& text) {
    WriteRaw(hive, key, name, REG_SZ, TextBytes(text));
}

bool KeyExists(HKEY hive, const std::u16string& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(hive, Win32Str(key.c_str()), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

std::vector<BYTE> TextBytes(const std::u16string& text, bool withNul) {
    std::vector<BYTE> bytes((text.size() + (withNul ? 1 : 0)) * 2, 0);
    std::memcpy(bytes.data(), text.data(), text.size() * 2);
    return bytes;
}

LSTATUS SetDword(HKEY hive, const std::u16string& key, const std::u16string& name, DWORD value) {
    HKEY handle = nullptr;
    LSTATUS status =
        RegCreateKeyExW(hive, Win32Str(key.c_str()), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExW(handle, Win32Str(name.c_str()), 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(handle);
    return status;
}

std::optional<DWORD> GetDword(HKEY hive, const std::u16string& key, const std::u16string& name) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(hive, Win32Str(key.c_str()), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD value = 0;
    DWORD size = sizeof value;
    const LSTATUS status = RegQueryValueExW(handle, Win32Str(name.c_str()), nullptr, nullptr,
                                            reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(handle);
    if (status != ERROR_SUCCESS || size != sizeof value) return std::nullopt;
    return value;
}

LSTATUS SetText(HKEY hive, const std::u16string& key, const std::u16string& name,
                const std::u16string& text) {
    HKEY handle = nullptr;
    LSTATUS status = RegCreateKeyExW(hive, Win32Str(key.c_str()), 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS) return status;
    const std::vector<BYTE> bytes = TextBytes(text);
    status = RegSetValueExW(handle, Win32Str(name.c_str()), 0, REG_SZ, bytes.data(),
                            static_cast<DWORD>(bytes.size()));
    RegCloseKey(handle);
    return status;
}

TextRead GetText(HKEY hive, const std::u16string& key, const std::u16string& name) {
    TextRead result;
    HKEY handle = nullptr;
    result.status = RegOpenKeyExW(hive, Win32Str(key.c_str()), 0, KEY_READ, &handle);
    if (result.status != ERROR_SUCCESS) return result;
    RawValue value;
    DWORD size = 0;
    result.status =
        RegQueryValueExW(handle, Win32Str(name.c_str()), nullptr, &value.type, nullptr, &size);
    if (result.status == ERROR_SUCCESS) {
        value.bytes.resize(size);
        result.status = RegQueryValueExW(handle, Win32Str(name.c_str()), nullptr, &value.type,
                                         value.bytes.data(), &size);
        value.bytes.resize(size);
    }
    RegCloseKey(handle);
    if (result.status == ERROR_SUCCESS) result.text = value.Text();
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
