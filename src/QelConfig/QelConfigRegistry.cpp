// Registry paths, and the reading and writing of setting texts in the hive of their scope.
#include "QelConfig.h"
#include "RegistryKey.h"
#include "SettingLocations.h"
#include "SettingRules.h"

CString CQelConfig::_GetRegPath(const CString& keyPath) {
    if (const CString* known = m_locations->PathOf(keyPath.View())) return *known;
    return qelsetting::ComposeRegPath(m_strApplicationName, m_strVersion, m_strSeparator, keyPath);
}

HRESULT CQelConfig::_GetRegValue(const CString& path, CString& value, ConfigScope scope) {
    qelsetting::RegLocation other;
    const qelsetting::EffectiveRead read =
        qelsetting::ReadEffective(scope, m_locations->Locate(path, other), value);
    if (read.source != nullptr) return S_OK;
    // Nothing readable: the caller's text stands and is stored, in the first hive read. A value
    // there that exists but is too long to read back is left in place rather than destroyed by
    // the default.
    const bool writeHiveHoldsTooLong = read.hives[0].outcome == qelsetting::ReadOutcome::TooLong;
    if (scope != ScopeMachineReadOnly && !writeHiveHoldsTooLong) _SetRegValue(path, value, scope);
    return S_OK;
}

HRESULT CQelConfig::_SetRegValue(const CString& path, const CString& text, ConfigScope scope) {
    qelsetting::RegLocation other;
    const qelsetting::RegLocation& where = m_locations->Locate(path, other);
    const std::optional<DWORD> bytes =
        qelsetting::StoredByteCount(static_cast<size_t>(text.GetLength()));
    if (!bytes) return E_FAIL;

    qelreg::RegKey key;
    if (key.Create(qelsetting::WriteHive(scope), where.key.GetString(), KEY_WRITE) != ERROR_SUCCESS)
        return E_FAIL;
    const LONG rc = ::RegSetValueExW(key.Get(), Win32Str(where.valueName.GetString()), 0,
                                     qelsetting::kStoredType,
                                     reinterpret_cast<const BYTE*>(text.GetString()), *bytes);
    return rc == ERROR_SUCCESS ? S_OK : E_FAIL;
}
