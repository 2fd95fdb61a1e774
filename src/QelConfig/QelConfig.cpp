#include "QelConfig.h"

#include <cstdlib>

#include "QelConfigIndex.h"
#include "SettingLocations.h"
#include "SettingRules.h"

CQelConfig* CQelConfig::m_pInstance = nullptr;

void _DestroyInstance();

// Runs from the library's exit-time list, when the library is unloaded or the process ends.
void _DestroyInstance() {
    if (CQelConfig::m_pInstance == nullptr) return;
    delete CQelConfig::m_pInstance;
    CQelConfig::m_pInstance = nullptr;
}

CQelConfig& CQelConfig::Get() {
    if (m_pInstance != nullptr) return *m_pInstance;
    // Registered on every attempt that finds no instance; a repeat after a failed attempt is
    // harmless because the clean-up tests for null. atexit in a shared library runs at unload.
    std::atexit(_DestroyInstance);
    CQelConfig* instance =
        new CQelConfig(qelsetting::kApplicationName, qelsetting::kApplicationVersion);
    m_pInstance = instance;
    return *m_pInstance;
}

CQelConfig& QelConfig() { return CQelConfig::Get(); }

CQelConfig::CQelConfig(const char16_t* applicationName, const char16_t* version)
    : m_strApplicationName(applicationName),
      m_strVersion(version),
      m_strSeparator(qelsetting::kSeparator),
      m_dwDefaultSubKeys(1) {
    BuildConfigIndex(g_ConfigTable, g_nConfigTableRows, m_mapConfig);
    FoldCapsTable(g_CapsTable, g_nCapsTableRows, m_mapCaps);
    m_locations = std::make_shared<const qelsetting::LocationTable>(
        m_strApplicationName, m_strVersion, m_strSeparator, g_ConfigTable, g_nConfigTableRows);
    // Every construction resets the disc volume name the applications see. Called on this
    // object: Get() would start a second construction. A failed write does not stop it.
    SetValue(ckUI_DiscVolumeName, CString(u"Korvid"));
}

CQelConfig::~CQelConfig() = default;

// Member by member: both indexes and the capability variants are deep copies.
CQelConfig::CQelConfig(const CQelConfig& src) = default;
CQelConfig& CQelConfig::operator=(const CQelConfig& src) = default;

CString CQelConfig::GetApplicationName() const { return m_strApplicationName; }
CString CQelConfig::GetVersion() const { return m_strVersion; }
void CQelConfig::SetDefaultSubKeys(DWORD subKeys) { m_dwDefaultSubKeys = subKeys; }
DWORD CQelConfig::GetDefaultSubKeys() const { return m_dwDefaultSubKeys; }

CString CQelConfig::NextToken(CString& text) const { return qelsetting::NextAllowedToken(text); }
