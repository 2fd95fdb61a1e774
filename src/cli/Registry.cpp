#include "Registry.h"

#if !defined(_WIN32)
#include "portable/QelHiveInfo.h"
#endif

namespace qelcli {

namespace {

constexpr DWORD kMaxKeyNameChars = 256;
constexpr DWORD kMaxValueNameChars = 16384;

LSTATUS Open(Hive hive, const std::u16string& key, REGSAM access, RegHandle& handle) {
    return ::RegOpenKeyExW(RootOf(hive), Win32Str(key.c_str()), 0, access, handle.Receive());
}

LSTATUS ListValues(HKEY handle, const std::u16string& key, std::vector<TreeValue>& out) {
    std::vector<char16_t> name(kMaxValueNameChars);
    std::vector<BYTE> data(4096);
    for (DWORD index = 0;; ++index) {
        DWORD nameChars = kMaxValueNameChars;
        DWORD type = REG_NONE;
        DWORD bytes = static_cast<DWORD>(data.size());
        LSTATUS rc = ::RegEnumValueW(handle, index, Win32Str(name.data()), &nameChars, nullptr,
                                     &type, data.data(), &bytes);
        if (rc == ERROR_MORE_DATA && bytes > data.size()) {
            data.resize(bytes);
            nameChars = kMaxValueNameChars;
            rc = ::RegEnumValueW(handle, index, Win32Str(name.data()), &nameChars, nullptr, &type,
                                 data.data(), &bytes);
        }
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS) return rc;
        out.push_back({key,
                       std::u16string(name.data(), nameChars),
                       {type, std::vector<BYTE>(data.begin(), data.begin() + bytes)}});
    }
}

LSTATUS ListSubKeys(HKEY handle, std::vector<std::u16string>& out) {
    char16_t name[kMaxKeyNameChars];
    for (DWORD index = 0;; ++index) {
        DWORD chars = kMaxKeyNameChars;
        const LSTATUS rc = ::RegEnumKeyExW(handle, index, Win32Str(name), &chars, nullptr, nullptr,
                                           nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS) return rc;
        out.emplace_back(name, chars);
    }
}

#if !defined(_WIN32)
bool HiveInfo(Hive hive, std::string& file, DWORD& flags) {
    char path[4096];
    DWORD size = sizeof path;
    if (QelRegGetHiveInfo(RootOf(hive), path, &size, &flags) != ERROR_SUCCESS) return false;
    file = path;
    return true;
}
#endif

}  // namespace

LSTATUS ReadValue(Hive hive, const std::u16string& key, const std::u16string& name, RawValue& out) {
    RegHandle handle;
    LSTATUS rc = Open(hive, key, KEY_QUERY_VALUE, handle);
    if (rc != ERROR_SUCCESS) return rc;
    RawValue value;
    DWORD bytes = 0;
    rc = ::RegQueryValueExW(handle.Get(), Win32Str(name.c_str()), nullptr, &value.type, nullptr,
                            &bytes);
    // The size can change between the two calls; ask again until the data fits.
    while (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
        value.data.resize(bytes);
        DWORD got = bytes;
        rc = ::RegQueryValueExW(handle.Get(), Win32Str(name.c_str()), nullptr, &value.type,
                                value.data.data(), &got);
        if (rc == ERROR_SUCCESS) {
            value.data.resize(got);
            out = std::move(value);
            return rc;
        }
        bytes = got;
    }
    return rc;
}

LSTATUS ListTree(Hive hive, const std::u16string& key, std::vector<TreeValue>& out) {
    RegHandle handle;
    LSTATUS rc = Open(hive, key, KEY_READ, handle);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<TreeValue> values;
    std::vector<std::u16string> children;
    if ((rc = ListValues(handle.Get(), key, values)) != ERROR_SUCCESS) return rc;
    if ((rc = ListSubKeys(handle.Get(), children)) != ERROR_SUCCESS) return rc;
    handle.Close();
    for (const auto& child : children) {
        if ((rc = ListTree(hive, key + u"\\" + child, values)) != ERROR_SUCCESS) return rc;
    }
    out.insert(out.end(), std::make_move_iterator(values.begin()),
               std::make_move_iterator(values.end()));
    return ERROR_SUCCESS;
}

LSTATUS WriteValue(Hive hive, const std::u16string& key, const std::u16string& name,
                   const RawValue& value) {
    RegHandle handle;
    LSTATUS rc =
        ::RegCreateKeyExW(RootOf(hive), Win32Str(key.c_str()), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_WRITE, nullptr, handle.Receive(), nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    return ::RegSetValueExW(handle.Get(), Win32Str(name.c_str()), 0, value.type, value.data.data(),
                            static_cast<DWORD>(value.data.size()));
}

LSTATUS DeleteValue(Hive hive, const std::u16string& key, const std::u16string& name) {
    RegHandle handle;
    const LSTATUS rc = Open(hive, key, KEY_SET_VALUE, handle);
    if (rc != ERROR_SUCCESS) return rc;
    return ::RegDeleteValueW(handle.Get(), Win32Str(name.c_str()));
}

void DeleteEmptyKeys(Hive hive, const std::u16string& key) {
    std::vector<std::u16string> children;
    {
        RegHandle handle;
        if (Open(hive, key, KEY_READ, handle) != ERROR_SUCCESS ||
            ListSubKeys(handle.Get(), children) != ERROR_SUCCESS)
            return;
    }
    for (const auto& child : children) DeleteEmptyKeys(hive, key + u"\\" + child);
    RegHandle handle;
    if (Open(hive, key, KEY_READ, handle) != ERROR_SUCCESS) return;
    std::vector<TreeValue> values;
    std::vector<std::u16string> remaining;
    if (ListValues(handle.Get(), key, values) != ERROR_SUCCESS || !values.empty()) return;
    if (ListSubKeys(handle.Get(), remaining) != ERROR_SUCCESS || !remaining.empty()) return;
    handle.Close();
    ::RegDeleteKeyW(RootOf(hive), Win32Str(key.c_str()));
}

std::string DescribeHive(Hive hive) {
    std::string text = HiveName(hive);
#if !defined(_WIN32)
    std::string file;
    DWORD flags = 0;
    if (HiveInfo(hive, file, flags)) {
        text += " (" + file;
        if ((flags & QELHIVE_READONLY) != 0) text += ", read-only";
        text += ")";
    }
#endif
    return text;
}

HiveHealth CheckHive(Hive hive) {
    HiveHealth health;
#if !defined(_WIN32)
    DWORD flags = 0;
    if (!HiveInfo(hive, health.file, flags)) {
        health.problem = "the registry cannot say which file holds this hive";
        return health;
    }
    health.readOnly = (flags & QELHIVE_READONLY) != 0;
    health.missing = (flags & QELHIVE_MISSING) != 0;
    if ((flags & QELHIVE_DAMAGED) != 0)
        health.problem = "the file is not a readable hive (damaged or truncated)";
    else if ((flags & QELHIVE_FOREIGN) != 0)
        health.problem = "the file is a database of another program or format version";
    else if ((flags & QELHIVE_REFUSED) != 0)
        health.problem = "the file is refused (a symbolic link, or not a regular file)";
    else if ((flags & QELHIVE_UNAVAILABLE) != 0)
        health.problem = "the file could not be read (I/O error or permissions)";
#else
    RegHandle handle;
    const LSTATUS rc =
        ::RegOpenKeyExW(RootOf(hive), Win32Str(u"Software"), 0, KEY_READ, handle.Receive());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
        health.problem = "the hive cannot be opened: " + StatusText(rc);
#endif
    return health;
}

std::string StatusText(LSTATUS status) {
    switch (status) {
        case ERROR_FILE_NOT_FOUND:
            return "not found (2)";
        case ERROR_ACCESS_DENIED:
            return "access denied (5)";
        case ERROR_WRITE_FAULT:
            return "write fault (29)";
        case ERROR_DISK_FULL:
            return "disk full (112)";
        case ERROR_BADDB:
            return "the hive is corrupt (1009)";
        case ERROR_REGISTRY_CORRUPT:
            return "the registry is corrupt (1015)";
        case ERROR_REGISTRY_IO_FAILED:
            return "registry I/O failed (1016)";
        default:
            return "error " + std::to_string(status);
    }
}

}  // namespace qelcli
