// File: QelCapsTable.cpp
//
// The capability table: 46 rows, each capability's base row before its overrides. Capabilities
// 0 to 27 are booleans combined by "and"; 28 to 35 are limits where the smallest wins, and 36 a
// limit where the largest wins.
#include "QelCapsTable.h"

namespace {

constexpr VARIANT CapsBool(bool value) {
    VARIANT v{};
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

constexpr VARIANT CapsInt(LONG value) {
    VARIANT v{};
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

}  // namespace

// clang-format off
constinit const CapsRow g_CapsTable[] = {
    {static_cast<CapsKey>(0), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(1), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(2), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(3), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(4), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(5), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(6), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(7), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(8), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(9), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(10), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(10), 0x8, CapsBool(false), CapsRuleNone, u""},
    {static_cast<CapsKey>(11), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(11), 0x8, CapsBool(false), CapsRuleNone, u""},
    {static_cast<CapsKey>(11), 0x10, CapsBool(false), CapsRuleNone, u""},
    {static_cast<CapsKey>(11), 0x20, CapsBool(false), CapsRuleNone, u""},
    {static_cast<CapsKey>(12), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(12), 0x4, CapsBool(false), CapsRuleNone, u""},
    {static_cast<CapsKey>(12), 0x8, CapsBool(false), CapsRuleNone, u""},
    {static_cast<CapsKey>(13), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(14), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(15), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(16), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(17), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(18), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(18), 0x40, CapsBool(false), CapsRuleNone, u""},
    {static_cast<CapsKey>(19), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(20), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(21), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(22), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(23), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(24), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(25), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(26), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(27), 0x1, CapsBool(true), CapsRuleAnd, u""},
    {static_cast<CapsKey>(28), 0x1, CapsInt(98), CapsRuleMin, u""},
    {static_cast<CapsKey>(28), 0x4, CapsInt(49), CapsRuleMin, u""},
    {static_cast<CapsKey>(29), 0x1, CapsInt(98), CapsRuleMin, u""},
    {static_cast<CapsKey>(30), 0x1, CapsInt(99), CapsRuleMin, u""},
    {static_cast<CapsKey>(31), 0x1, CapsInt(16), CapsRuleMin, u""},
    {static_cast<CapsKey>(31), 0x1000, CapsInt(16), CapsRuleMin, u""},
    {static_cast<CapsKey>(32), 0x1, CapsInt(16), CapsRuleMin, u""},
    {static_cast<CapsKey>(33), 0x1, CapsInt(64), CapsRuleMin, u""},
    {static_cast<CapsKey>(34), 0x1, CapsInt(64), CapsRuleMin, u""},
    {static_cast<CapsKey>(35), 0x1, CapsInt(9000000), CapsRuleMin, u""},
    {static_cast<CapsKey>(36), 0x1, CapsInt(4000000), CapsRuleMax, u""},
};
// clang-format on

const int g_nCapsTableRows = static_cast<int>(sizeof g_CapsTable / sizeof g_CapsTable[0]);
