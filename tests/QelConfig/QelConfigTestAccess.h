// File: QelConfigTestAccess.h
//
// Reaches the private members of CQelConfig that the library exports, for tests that exercise
// them one by one, and builds objects with other identities than the process-wide instance.
#pragma once

#include <map>

#include "QelConfig.h"

struct QelConfigTestAccess {
    static CQelConfig* Make(const char16_t* applicationName, const char16_t* version) {
        return new CQelConfig(applicationName, version);
    }
    static CQelConfig* Copy(const CQelConfig& source) { return new CQelConfig(source); }
    static void Destroy(CQelConfig* config) { delete config; }

    static CQelConfig* Instance() { return CQelConfig::m_pInstance; }
    // Drops the process-wide instance, so that the next Get() builds a new one.
    static void ResetInstance() {
        delete CQelConfig::m_pInstance;
        CQelConfig::m_pInstance = nullptr;
    }

    static const std::map<ConfigKey, ConfigEntry>& Settings(const CQelConfig& c) {
        return c.m_mapConfig;
    }
    static const std::map<CapsKey, CapsEntry>& Caps(const CQelConfig& c) { return c.m_mapCaps; }
    static const CString& Separator(const CQelConfig& c) { return c.m_strSeparator; }

    static CString NextToken(const CQelConfig& c, CString& text) { return c.NextToken(text); }
    template <typename T>
    static bool IsAllowedValue(const CQelConfig& c, const T& value, const CString& list) {
        return c.IsAllowedValue(value, list);
    }
    static CString GetRegPath(CQelConfig& c, const CString& keyPath) {
        return c._GetRegPath(keyPath);
    }
    static HRESULT GetRegValue(CQelConfig& c, const CString& path, CString& value,
                               ConfigScope scope) {
        return c._GetRegValue(path, value, scope);
    }
    static HRESULT SetRegValue(CQelConfig& c, const CString& path, const CString& text,
                               ConfigScope scope) {
        return c._SetRegValue(path, text, scope);
    }
    static HRESULT GetCapsValue(const CQelConfig& c, CapsKey key, DWORD mask, CComVariant& result) {
        return c._GetCapsValue(key, mask, result);
    }
};

// Owns an object made through QelConfigTestAccess.
struct ScopedConfig {
    explicit ScopedConfig(CQelConfig* config) : p(config) {}
    ~ScopedConfig() { QelConfigTestAccess::Destroy(p); }
    ScopedConfig(const ScopedConfig&) = delete;
    ScopedConfig& operator=(const ScopedConfig&) = delete;
    CQelConfig* operator->() const { return p; }
    CQelConfig& operator*() const { return *p; }
    CQelConfig* p;
};
