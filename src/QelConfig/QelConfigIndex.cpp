#include "QelConfigIndex.h"

void BuildConfigIndex(const ConfigEntry* rows, int rowCount,
                      std::map<ConfigKey, ConfigEntry>& index) {
    for (int i = 0; i < rowCount; ++i) index[static_cast<ConfigKey>(rows[i].id)] = rows[i];
}

void FoldCapsTable(const CapsRow* rows, int rowCount, std::map<CapsKey, CapsEntry>& index) {
    for (int i = 0; i < rowCount; ++i) {
        const CapsRow& row = rows[i];
        if (row.subKey == CapsSubKeyBase) {
            CapsEntry& entry = index[row.capsKey];
            entry.baseValue = row.value;
            entry.overrides.clear();
            entry.rule = row.rule;
            continue;
        }
        auto it = index.find(row.capsKey);
        if (it != index.end()) it->second.overrides[row.subKey] = row.value;
    }
}

void CombineCapsValues(CComVariant& accumulated, const CComVariant& next, CapsRule rule) {
    // A value is true when it compares equal to the 16-bit integer -1 (VARIANT_TRUE's value).
    static const CComVariant kTrue(static_cast<short>(-1));
    switch (rule) {
        case CapsRuleAnd:
            accumulated = CComVariant(accumulated == kTrue && next == kTrue);
            break;
        case CapsRuleOr:
            accumulated = CComVariant(accumulated == kTrue || next == kTrue);
            break;
        case CapsRuleMin:
            if (!(accumulated < next)) accumulated = next;
            break;
        case CapsRuleMax:
            if (!(accumulated > next)) accumulated = next;
            break;
        case CapsRuleNone:
        default:
            // No rule to combine by: the later sub-key's value stands, as it does on a tie.
            accumulated = next;
            break;
    }
}
