// File: QelCapsTable.h
//
// The capability model: fixed boolean and integer values looked up by number, with overrides
// under sub-keys (single bits of a 32-bit mask) and a rule that combines the values that apply
// when several sub-keys are selected. Capabilities are compiled in and never persisted.
#pragma once

#include <map>

#include "QelPlatform.h"
#include "QelVariant.h"

// Capability numbers. Callers give them their meaning; this component knows them by number.
enum CapsKey : int {
    capsFlag0 = 0,
    capsFlag1,
    capsFlag2,
    capsFlag3,
    capsFlag4,
    capsFlag5,
    capsFlag6,
    capsFlag7,
    capsFlag8,
    capsFlag9,
    capsFlag10,
    capsFlag11,
    capsFlag12,
    capsFlag13,
    capsFlag14,
    capsFlag15,
    capsFlag16,
    capsFlag17,
    capsFlag18,
    capsFlag19,
    capsFlag20,
    capsFlag21,
    capsFlag22,
    capsFlag23,
    capsFlag24,
    capsFlag25,
    capsFlag26,
    capsFlag27,
    capsLimit28,
    capsLimit29,
    capsLimit30,
    capsLimit31,
    capsLimit32,
    capsLimit33,
    capsLimit34,
    capsLimit35,
    capsLimit36,
};

// Sub-key bit 0 selects a capability's base value; higher bits select overrides.
inline constexpr DWORD CapsSubKeyBase = 0x1;

// How the values selected by a mask combine, in ascending bit order.
enum CapsRule : int {
    CapsRuleNone = 0,  // carried by override rows only
    CapsRuleAnd = 1,   // true when both are true
    CapsRuleOr = 2,    // true when either is true
    CapsRuleMin = 3,   // the smaller value; the later one on a tie or when unordered
    CapsRuleMax = 4,   // the larger value; the later one on a tie or when unordered
};

// One row of the static capability table.
struct CapsRow {
    CapsKey capsKey;
    DWORD subKey;  // 1 for the base row, a single higher bit for an override
    VARIANT value;
    CapsRule rule;  // read from base rows only
    const char16_t* note;
};

// One capability in the capability index.
struct CapsEntry {
    CComVariant baseValue;
    std::map<DWORD, CComVariant> overrides;
    CapsRule rule = CapsRuleNone;
};

// The table itself, library-internal: read only by the constructor of CQelConfig.
extern const CapsRow g_CapsTable[];
extern const int g_nCapsTableRows;
