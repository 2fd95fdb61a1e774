#include "QelConfig.h"
#include "QelConfigIndex.h"

HRESULT CQelConfig::_GetCapsValue(CapsKey key, DWORD subKeyMask, CComVariant& result) const {
    auto it = m_mapCaps.find(key);
    if (it == m_mapCaps.end()) return E_INVALIDARG;
    const CapsEntry& entry = it->second;
    const DWORD mask = subKeyMask != 0 ? subKeyMask : m_dwDefaultSubKeys;

    CComVariant accumulated;
    bool found = false;
    for (int bit = 0; bit < 32; ++bit) {
        const DWORD subKey = DWORD{1} << bit;
        if ((mask & subKey) == 0) continue;
        if (subKey == CapsSubKeyBase) {
            accumulated = entry.baseValue;
        } else {
            auto override = entry.overrides.find(subKey);
            if (override == entry.overrides.end()) continue;
            if (found)
                CombineCapsValues(accumulated, override->second, entry.rule);
            else
                accumulated = override->second;
        }
        found = true;
    }
    if (!found) return E_FAIL;
    result = accumulated;
    return S_OK;
}
