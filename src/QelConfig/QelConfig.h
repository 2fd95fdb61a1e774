// File: QelConfig.h
//
// The configuration service. One object per process, CQelConfig::Get() (or QelConfig()), reads
// and writes typed settings by identifier, resolves capability values under a sub-key mask, and
// the free functions FromString, ToString and FromVariant convert between text, typed values
// and variants. This is the one header a caller includes.
//
// Settings live in the registry as text, below
//   Software\Halvard\Nuvex12\OEM\<application>\<version>\<key path>
// in the current-user or local-machine hive that the setting's scope selects. A setting never
// stored reads as its default, and the first read stores that default.
//
// Results are HRESULTs: S_OK; S_FALSE when a set found the same text already stored; E_INVALIDARG
// for an unknown setting or capability, a wrong value type, a read-only setting or a value
// outside the allowed list; E_FAIL for a failed registry write or a mask that selects nothing.
// Out-parameters are left untouched on failure. Allocation failure is an exception:
// std::bad_alloc, or CAtlException carrying E_OUTOFMEMORY for string buffers.
//
// The object has no locks: make the first call before other threads exist, then use it from
// one thread at a time.
#pragma once

#include <map>
#include <memory>
#include <type_traits>
#include <typeinfo>

#include "QelExport.h"
#include "QelPlatform.h"
#include "QelString.h"
#include "QelVariant.h"
#include "QelConfigTable.h"
#include "QelCapsTable.h"

struct QelConfigTestAccess;
namespace qelsetting {
class LocationTable;
}

// A stored long holds 32 bits on every platform: settings files move between Windows, where long
// has 32 bits, and 64-bit Linux, and a text must mean the same number on both. FromString for
// long saturates at these limits; SetValue of a long outside them is E_INVALIDARG.
inline constexpr long kQelStoredLongMin = -2147483647L - 1;
inline constexpr long kQelStoredLongMax = 2147483647L;

class QELCONFIG_API CQelConfig {
public:
    // The process-wide instance, created on the first call (application "Korvid", no version).
    static CQelConfig& Get();

    CQelConfig(const CQelConfig& src);
    CQelConfig& operator=(const CQelConfig& src);

    CString GetApplicationName() const;
    CString GetVersion() const;

    // The sub-key mask that capability lookups use when they are given 0.
    void SetDefaultSubKeys(DWORD subKeys);
    DWORD GetDefaultSubKeys() const;

    // Writes a setting of type T (bool, int, long, CString; double has no setting). Checks, in
    // this order, that the setting exists, has type T exactly (int and long differ) and may be
    // written, that a long fits the 32 bits a stored long holds, and that the value is in its
    // allowed list; then reads what is stored and writes
    // only when the text differs. S_OK: written. S_FALSE: that text was already current.
    template <typename T>
    HRESULT SetValue(ConfigKey key, const T& value) {
        const ConfigEntry* entry = _FindTyped<T>(key);
        if (entry == nullptr || entry->scope == ScopeMachineReadOnly) return E_INVALIDARG;
        if constexpr (std::is_same_v<T, long> && sizeof(long) > 4) {
            if (value < kQelStoredLongMin || value > kQelStoredLongMax) return E_INVALIDARG;
        }
        if (!IsAllowedValue(value, CString(entry->allowedList))) return E_INVALIDARG;
        CString text;
        ToString(value, text);
        const CString path = _GetRegPath(entry->keyPath);
        CString current(entry->defaultText);
        HRESULT hr = _GetRegValue(path, current, entry->scope);
        if (FAILED(hr)) return hr;
        if (text == current) return S_FALSE;
        return _SetRegValue(path, text, entry->scope);
    }

    // Reads a setting of type T: the stored text, or the default (which is then stored), as T.
    template <typename T>
    HRESULT GetValue(ConfigKey key, T& value) {
        const ConfigEntry* entry = _FindTyped<T>(key);
        if (entry == nullptr) return E_INVALIDARG;
        CString text(entry->defaultText);
        _GetRegValue(_GetRegPath(entry->keyPath), text, entry->scope);
        FromString(text, value);
        return S_OK;
    }

    // Reads a capability as bool, int or long under a sub-key mask (0: the default sub-keys).
    // E_INVALIDARG also when the capability's value does not convert to T.
    template <typename T>
    HRESULT GetCapsValue(CapsKey key, T& value, DWORD subKeyMask = 0) const {
        CComVariant resolved;
        HRESULT hr = _GetCapsValue(key, subKeyMask, resolved);
        if (FAILED(hr)) return hr;
        return FromVariant(resolved, value) ? S_OK : E_INVALIDARG;
    }

private:
    CQelConfig(const char16_t* applicationName, const char16_t* version);
    ~CQelConfig();

    // Cuts the first comma-separated token off text (see IsAllowedValue).
    CString NextToken(CString& text) const;

    // True when allowedList is empty or one of its tokens, converted to T, equals value. The
    // scan stops at the first empty token; white space before a comma belongs to its token.
    template <typename T>
    bool IsAllowedValue(const T& value, const CString& allowedList) const {
        if (allowedList.GetLength() == 0) return true;
        CString rest(allowedList);
        for (CString token = NextToken(rest); !token.IsEmpty(); token = NextToken(rest)) {
            T candidate{};
            FromString(token, candidate);
            if (candidate == value) return true;
        }
        return false;
    }

    template <typename T>
    const ConfigEntry* _FindTyped(ConfigKey key) const {
        static_assert(sizeof(T) > 0 && !std::is_pointer_v<T> && !std::is_array_v<T>,
                      "settings are bool, int, long, double or CString; wrap text in CString");
        auto it = m_mapConfig.find(key);
        if (it == m_mapConfig.end() || !(*it->second.valueType == typeid(T))) return nullptr;
        return &it->second;
    }

    // The registry path of a key path, relative to a hive.
    CString _GetRegPath(const CString& keyPath);
    // Reads the text stored at path for scope into value; leaves value as it is (and writes it
    // back, unless the scope is read-only) when nothing readable is stored. Always S_OK.
    HRESULT _GetRegValue(const CString& path, CString& value, ConfigScope scope);
    // Stores text as a REG_SZ value at path in the hive of scope. S_OK or E_FAIL.
    HRESULT _SetRegValue(const CString& path, const CString& text, ConfigScope scope);
    // Resolves a capability under a mask (0: the default sub-keys) into result.
    HRESULT _GetCapsValue(CapsKey key, DWORD subKeyMask, CComVariant& result) const;

    friend void _DestroyInstance();
    friend struct QelConfigTestAccess;

    std::map<ConfigKey, ConfigEntry> m_mapConfig;
    CString m_strApplicationName;
    CString m_strVersion;
    CString m_strSeparator;
    DWORD m_dwDefaultSubKeys;
    std::map<CapsKey, CapsEntry> m_mapCaps;
    // Every setting's registry location, worked out once (library-internal); shared, never
    // changed, by copies of the object.
    std::shared_ptr<const qelsetting::LocationTable> m_locations;

    static CQelConfig* m_pInstance;
};

// The process-wide instance: the same object as CQelConfig::Get().
QELCONFIG_API CQelConfig& QelConfig();

// Text form of each value type. FromString never fails: a text without a number reads as 0, a
// number beyond the type's range (for long, the 32 bits of a stored long) as its nearest limit,
// and every text but "false" (any case) and the empty text as true. double uses the C locale's "%g"
// form, whatever the process locale.
QELCONFIG_API bool FromString(const CString& text, int& value);
QELCONFIG_API bool FromString(const CString& text, long& value);
QELCONFIG_API bool FromString(const CString& text, double& value);
QELCONFIG_API bool FromString(const CString& text, bool& value);
QELCONFIG_API bool FromString(const CString& text, CString& value);
QELCONFIG_API bool ToString(const int& value, CString& text);
QELCONFIG_API bool ToString(const long& value, CString& text);
QELCONFIG_API bool ToString(const double& value, CString& text);
QELCONFIG_API bool ToString(const bool& value, CString& text);
QELCONFIG_API bool ToString(const CString& value, CString& text);

// Reads a variant without coercion: the integer targets take VT_I2, VT_I4, VT_UI2, VT_UI4, VT_INT
// and VT_UINT; bool takes VT_BOOL. Any other type returns false and leaves value untouched.
QELCONFIG_API bool FromVariant(const CComVariant& variant, int& value);
QELCONFIG_API bool FromVariant(const CComVariant& variant, long& value);
QELCONFIG_API bool FromVariant(const CComVariant& variant, bool& value);
