// Registry paths, and the reading and writing of setting texts in the hive of their scope.
#include <cstring>

#include "QelConfig.h"
#include "RegKey.h"

namespace {

constexpr char16_t kRegistryRoot[] = u"Software\\Halvard\\Nuvex12\\OEM\\";

// A stored value is read only when it fits here, terminator included: 1023 characters.
constexpr DWORD kReadBufferBytes = 2048;

struct RegLocation {
    CString key;
    CString valueName;
};

// The key is everything before the last backslash, the value name everything after it.
RegLocation SplitRegPath(const CString& path) {
    const int last = path.ReverseFind(u'\\');
    if (last < 0) return {CString(), path};
    return {path.Left(last), path.Mid(last + 1)};
}

enum class ReadResult { Read, Missing, TooLong };

ReadResult ReadText(HKEY hive, const RegLocation& where, CString& text) {
    RegKey key;
    if (::RegOpenKeyExW(hive, Win32Str(where.key.GetString()), 0, KEY_READ, key.Receive()) !=
        ERROR_SUCCESS)
        return ReadResult::Missing;
    // Local rather than shared between calls: the same limit, and nothing to race on.
    char16_t buffer[kReadBufferBytes / sizeof(char16_t)];
    DWORD bytes = kReadBufferBytes;
    const LONG rc = ::RegQueryValueExW(key.Get(), Win32Str(where.valueName.GetString()), nullptr,
                                       nullptr, reinterpret_cast<BYTE*>(buffer), &bytes);
    if (rc == ERROR_MORE_DATA) return ReadResult::TooLong;
    if (rc != ERROR_SUCCESS) return ReadResult::Missing;
    // The data is taken as UTF-16 up to its first NUL, or whole when it holds none; the type is
    // not examined. An odd last byte is no code unit.
    const int units = static_cast<int>(bytes / sizeof(char16_t));
    int length = 0;
    while (length < units && buffer[length] != 0) ++length;
    text.SetString(buffer, length);
    return ReadResult::Read;
}

}  // namespace

CString CQelConfig::_GetRegPath(const CString& keyPath) {
    CString path(kRegistryRoot);
    path += m_strApplicationName;
    path += m_strSeparator;
    path += m_strVersion;
    path += m_strSeparator;
    path += keyPath;
    path.Replace(u"/", m_strSeparator.GetString());
    return path;
}

HRESULT CQelConfig::_GetRegValue(const CString& path, CString& value, ConfigScope scope) {
    const RegLocation where = SplitRegPath(path);
    const HKEY userFirst[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};
    const HKEY machineOnly[] = {HKEY_LOCAL_MACHINE};
    const bool user = scope == ScopeUser;
    const HKEY* hives = user ? userFirst : machineOnly;
    const int hiveCount = user ? 2 : 1;

    // The first hive read is also the one the write-back would write.
    bool writeHiveHoldsTooLong = false;
    for (int i = 0; i < hiveCount; ++i) {
        const ReadResult result = ReadText(hives[i], where, value);
        if (result == ReadResult::Read) return S_OK;
        if (result == ReadResult::TooLong && i == 0) writeHiveHoldsTooLong = true;
    }
    // Nothing readable: the caller's text stands and is stored. A value that exists but is too
    // long to read back is left in place rather than destroyed by the default.
    if (scope != ScopeMachineReadOnly && !writeHiveHoldsTooLong) _SetRegValue(path, value, scope);
    return S_OK;
}

HRESULT CQelConfig::_SetRegValue(const CString& path, const CString& text, ConfigScope scope) {
    const RegLocation where = SplitRegPath(path);
    const HKEY hive = scope == ScopeUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    const size_t bytes = (static_cast<size_t>(text.GetLength()) + 1) * sizeof(char16_t);
    if (bytes > 0xFFFFFFFFu) return E_FAIL;

    RegKey key;
    if (::RegCreateKeyExW(hive, Win32Str(where.key.GetString()), 0, nullptr,
                          REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, key.Receive(),
                          nullptr) != ERROR_SUCCESS)
        return E_FAIL;
    const LONG rc = ::RegSetValueExW(key.Get(), Win32Str(where.valueName.GetString()), 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(text.GetString()),
                                     static_cast<DWORD>(bytes));
    return rc == ERROR_SUCCESS ? S_OK : E_FAIL;
}
