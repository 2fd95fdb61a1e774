// Library-internal steps of construction and clean-up, linked from the static archive.
#include <gtest/gtest.h>

#include "QelConfig.h"
#include "QelConfigIndex.h"
#include "QelConfigTestAccess.h"
#include "support/HiveSandbox.h"

void _DestroyInstance();

namespace {

VARIANT Bool(bool value) {
    VARIANT v{};
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

VARIANT Int(LONG value) {
    VARIANT v{};
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

TEST(BuildConfigIndex, ALaterRowWithTheSameIdentifierReplacesTheEarlierWhole) {
    const ConfigEntry rows[] = {
        {7, u"A/First", ScopeUser, &typeid(bool), u"true", nullptr, u"first"},
        {3, u"A/Other", ScopeUser, &typeid(int), u"1", u"1,2", u"other"},
        {7, u"B/Second", ScopeMachine, &typeid(long), u"5", u"5,6", u"second"},
    };
    std::map<ConfigKey, ConfigEntry> index;
    BuildConfigIndex(rows, 3, index);
    ASSERT_EQ(index.size(), 2u);
    EXPECT_EQ(index.begin()->first, 3);
    const ConfigEntry& seven = index.at(static_cast<ConfigKey>(7));
    EXPECT_EQ(std::u16string(seven.keyPath), u"B/Second");
    EXPECT_EQ(seven.scope, ScopeMachine);
    EXPECT_TRUE(*seven.valueType == typeid(long));
    EXPECT_EQ(std::u16string(seven.allowedList), u"5,6");
    EXPECT_EQ(std::u16string(seven.description), u"second");
}

TEST(FoldCapsTable, BaseRowsReplaceEntriesAndOrphanOverridesAreDropped) {
    const CapsRow rows[] = {
        {static_cast<CapsKey>(5), 0x4, Bool(false), CapsRuleNone, u""},  // no base row yet
        {static_cast<CapsKey>(1), 0x1, Bool(true), CapsRuleAnd, u""},
        {static_cast<CapsKey>(1), 0x8, Bool(false), CapsRuleNone, u""},
        {static_cast<CapsKey>(1), 0x8, Bool(true), CapsRuleNone, u""},  // replaces the above
        {static_cast<CapsKey>(2), 0x1, Int(10), CapsRuleMin, u""},
        {static_cast<CapsKey>(2), 0x2, Int(5), CapsRuleMin, u""},
        {static_cast<CapsKey>(2), 0x1, Int(20), CapsRuleMax, u""},  // discards override 0x2
    };
    std::map<CapsKey, CapsEntry> index;
    FoldCapsTable(rows, 7, index);
    ASSERT_EQ(index.size(), 2u);
    EXPECT_EQ(index.count(static_cast<CapsKey>(5)), 0u);
    const CapsEntry& one = index.at(static_cast<CapsKey>(1));
    ASSERT_EQ(one.overrides.size(), 1u);
    EXPECT_EQ(one.overrides.at(0x8).boolVal, VARIANT_TRUE);
    const CapsEntry& two = index.at(static_cast<CapsKey>(2));
    EXPECT_TRUE(two.overrides.empty());
    EXPECT_EQ(two.baseValue.lVal, 20);
    EXPECT_EQ(two.rule, CapsRuleMax);
}

TEST(CombineCapsValues, RulesAndTheirTruthAndOrder) {
    const struct {
        VARIANT a, b;
        CapsRule rule;
        VARTYPE vt;
        LONG value;
    } cases[] = {
        {Bool(true), Bool(true), CapsRuleAnd, VT_BOOL, VARIANT_TRUE},
        {Bool(true), Bool(false), CapsRuleAnd, VT_BOOL, VARIANT_FALSE},
        {Bool(false), Bool(true), CapsRuleOr, VT_BOOL, VARIANT_TRUE},
        {Bool(false), Bool(false), CapsRuleOr, VT_BOOL, VARIANT_FALSE},
        // -1 of any integer type is true; the result of a boolean rule is always VT_BOOL.
        {Int(-1), Bool(true), CapsRuleAnd, VT_BOOL, VARIANT_TRUE},
        {Int(1), Bool(true), CapsRuleAnd, VT_BOOL, VARIANT_FALSE},
        {Int(3), Int(7), CapsRuleMin, VT_I4, 3},
        {Int(7), Int(3), CapsRuleMin, VT_I4, 3},
        {Int(3), Int(7), CapsRuleMax, VT_I4, 7},
        {Int(3), Bool(true), CapsRuleMin, VT_BOOL, VARIANT_TRUE},  // VARIANT_TRUE is -1
    };
    for (const auto& c : cases) {
        CComVariant accumulated(c.a);
        CombineCapsValues(accumulated, CComVariant(c.b), c.rule);
        EXPECT_EQ(accumulated.vt, c.vt) << c.rule;
        EXPECT_EQ(accumulated.vt == VT_BOOL ? accumulated.boolVal : accumulated.lVal, c.value)
            << c.rule;
    }
    // Equal values, and values that cannot be ordered, let the later value win.
    CComVariant tie(static_cast<short>(16));
    CombineCapsValues(tie, CComVariant(16), CapsRuleMin);
    EXPECT_EQ(tie.vt, VT_I4);
    // A text orders above every number, whatever it says.
    CComVariant text(u"12");
    CombineCapsValues(text, CComVariant(400), CapsRuleMax);
    EXPECT_EQ(text.vt, VT_BSTR);
    CombineCapsValues(text, CComVariant(400), CapsRuleMin);
    EXPECT_EQ(text.vt, VT_I4);
    VARIANT null{};
    null.vt = VT_NULL;
    CComVariant fromNull(null);
    CombineCapsValues(fromNull, CComVariant(5), CapsRuleMin);
    EXPECT_EQ(fromNull.lVal, 5);
}

TEST(DestroyInstance, DoesNothingWithoutAnInstanceAndIsSafeTwice) {
    qeltest::HiveSandbox sandbox;
    QelConfigTestAccess::ResetInstance();
    _DestroyInstance();
    EXPECT_EQ(QelConfigTestAccess::Instance(), nullptr);
    CQelConfig& first = CQelConfig::Get();
    first.SetDefaultSubKeys(0x20);
    _DestroyInstance();
    EXPECT_EQ(QelConfigTestAccess::Instance(), nullptr);
    _DestroyInstance();
    // A Get after the clean-up builds a new instance from the tables.
    EXPECT_EQ(CQelConfig::Get().GetDefaultSubKeys(), 1u);
    _DestroyInstance();
}

}  // namespace
