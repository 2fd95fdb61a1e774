// The configuration object: the process-wide instance, identity, copies and the setting index.
#include <gtest/gtest.h>

#include "QelConfig.h"
#include "QelConfigTestAccess.h"
#include "support/CatalogueFacts.h"
#include "support/HiveSandbox.h"

namespace {

class ConfigObjectTest : public ::testing::Test {
protected:
    void SetUp() override { QelConfigTestAccess::ResetInstance(); }
    void TearDown() override { QelConfigTestAccess::ResetInstance(); }
    qeltest::HiveSandbox sandbox;
};

TEST_F(ConfigObjectTest, GetAndQelConfigReturnOneInstance) {
    EXPECT_EQ(QelConfigTestAccess::Instance(), nullptr);
    CQelConfig& first = CQelConfig::Get();
    EXPECT_EQ(QelConfigTestAccess::Instance(), &first);
    EXPECT_EQ(&CQelConfig::Get(), &first);
    EXPECT_EQ(&QelConfig(), &first);
}

TEST_F(ConfigObjectTest, TheInstanceIsKorvidWithoutVersion) {
    CQelConfig& config = QelConfig();
    EXPECT_EQ(config.GetApplicationName(), CString(u"Korvid"));
    EXPECT_EQ(config.GetVersion(), CString(u""));
    EXPECT_TRUE(config.GetVersion().IsEmpty());
    EXPECT_EQ(config.GetDefaultSubKeys(), 1u);
    EXPECT_EQ(QelConfigTestAccess::Separator(config), CString(u"\\"));
}

TEST_F(ConfigObjectTest, DefaultSubKeysKeepAnyValue) {
    CQelConfig& config = QelConfig();
    for (DWORD value : {0u, 2u, 0x1000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        config.SetDefaultSubKeys(value);
        EXPECT_EQ(config.GetDefaultSubKeys(), value);
    }
}

TEST_F(ConfigObjectTest, TheIndexHoldsEverySettingOnce) {
    const auto& index = QelConfigTestAccess::Settings(QelConfig());
    ASSERT_EQ(index.size(), qeltest::kSettingCount);
    for (int id = -3; id <= 92; ++id) {
        const bool unused = id < 0 || id > 89 || id == 35 || id == 45 || id == 46 || id == 56;
        auto it = index.find(static_cast<ConfigKey>(id));
        EXPECT_EQ(it == index.end(), unused) << id;
        if (it != index.end()) {
            EXPECT_EQ(it->second.id, id);
        }
    }
}

TEST_F(ConfigObjectTest, CopiesAreIndependent) {
    CQelConfig& instance = QelConfig();
    ScopedConfig copy(QelConfigTestAccess::Copy(instance));
    EXPECT_EQ(copy->GetApplicationName(), CString(u"Korvid"));
    EXPECT_EQ(QelConfigTestAccess::Settings(*copy).size(), qeltest::kSettingCount);
    EXPECT_EQ(QelConfigTestAccess::Caps(*copy).size(), 37u);

    copy->SetDefaultSubKeys(0x8);
    EXPECT_EQ(instance.GetDefaultSubKeys(), 1u);
    instance.SetDefaultSubKeys(0x4);
    EXPECT_EQ(copy->GetDefaultSubKeys(), 0x8u);

    // The capability variants are copies too: each object resolves under its own default.
    bool flag = true;
    EXPECT_EQ(copy->GetCapsValue(capsFlag10, flag), S_OK);
    EXPECT_FALSE(flag);
    long limit = 0;
    EXPECT_EQ(instance.GetCapsValue(capsLimit28, limit), S_OK);
    EXPECT_EQ(limit, 49);
}

TEST_F(ConfigObjectTest, AssignmentCopiesEveryMemberAndSelfAssignmentChangesNothing) {
    ScopedConfig other(QelConfigTestAccess::Make(u"Other/App", u"2.0"));
    other->SetDefaultSubKeys(0x40);
    ScopedConfig target(QelConfigTestAccess::Copy(QelConfig()));
    *target = *other;
    EXPECT_EQ(target->GetApplicationName(), CString(u"Other/App"));
    EXPECT_EQ(target->GetVersion(), CString(u"2.0"));
    EXPECT_EQ(target->GetDefaultSubKeys(), 0x40u);
    EXPECT_EQ(QelConfigTestAccess::Settings(*target).size(), qeltest::kSettingCount);

    CQelConfig& self = *target;
    self = *target;
    EXPECT_EQ(self.GetApplicationName(), CString(u"Other/App"));
    EXPECT_EQ(self.GetDefaultSubKeys(), 0x40u);
    EXPECT_EQ(QelConfigTestAccess::Settings(self).size(), qeltest::kSettingCount);
    EXPECT_EQ(QelConfigTestAccess::Caps(self).size(), 37u);
    bool flag = true;
    EXPECT_EQ(self.GetCapsValue(capsFlag18, flag), S_OK);
    EXPECT_FALSE(flag);
}

}  // namespace
