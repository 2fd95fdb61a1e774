// File: BatchTest.cpp
//
// Batches of changes: every change or none, whatever fails and whenever; the argument rules of
// the calls they stand for.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "QelRegistry.h"
#include "portable/QelRegBatch.h"
#include "stress/FaultVfs.h"
#include "support/HiveSandbox.h"
#include "support/RegistryProbe.h"

namespace {

const std::u16string kKey = u"Software\\QelConfigTests\\Batch";
const DWORD kOne = 1;
const DWORD kTwo = 2;

QELREGCHANGE Create(const char16_t* key) {
    return {QELCHANGE_CREATE_KEY, key, nullptr, 0, nullptr, 0};
}
QELREGCHANGE DropKey(const char16_t* key) {
    return {QELCHANGE_DELETE_KEY, key, nullptr, 0, nullptr, 0};
}
QELREGCHANGE Set(const char16_t* key, const char16_t* name, const DWORD& value) {
    return {QELCHANGE_SET_VALUE, key, name, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
            sizeof value};
}
QELREGCHANGE Drop(const char16_t* key, const char16_t* name) {
    return {QELCHANGE_DELETE_VALUE, key, name, 0, nullptr, 0};
}

std::optional<DWORD> Read(const std::u16string& key, const std::u16string& name) {
    return qeltest::GetDword(HKEY_CURRENT_USER, key, name);
}

LSTATUS Apply(const std::vector<QELREGCHANGE>& changes, DWORD* failed = nullptr) {
    return QelRegApplyChanges(HKEY_CURRENT_USER, changes.data(), static_cast<DWORD>(changes.size()),
                              failed);
}

class BatchTest : public ::testing::Test {
protected:
    qeltest::HiveSandbox m_sandbox;
};

TEST_F(BatchTest, EveryChangeLandsInOrder) {
    ASSERT_EQ(Apply({Create(u"Software\\QelConfigTests\\Batch\\Gone"),
                     Set(u"Software\\QelConfigTests\\Batch", u"a", kOne),
                     Set(u"Software\\QelConfigTests\\Batch", u"b", kOne),
                     Set(u"Software\\QelConfigTests\\Batch", u"b", kTwo)}),
              ERROR_SUCCESS);
    ASSERT_EQ(Apply({Drop(u"Software\\QelConfigTests\\Batch", u"a"),
                     DropKey(u"Software\\QelConfigTests\\Batch\\Gone")}),
              ERROR_SUCCESS);
    EXPECT_EQ(Read(kKey, u"a"), std::nullopt);
    EXPECT_EQ(Read(kKey, u"b"), kTwo);
    EXPECT_FALSE(qeltest::KeyExists(HKEY_CURRENT_USER, kKey + u"\\Gone"));
}

// The change that fails undoes the ones before it, including what they made the store read
// inside the transaction (a value read there must not be served once it is rolled back).
TEST_F(BatchTest, AChangeThatFailsUndoesEveryOther) {
    ASSERT_EQ(Apply({Create(kKey.c_str()), Set(kKey.c_str(), u"v", kOne)}), ERROR_SUCCESS);
    EXPECT_EQ(Read(kKey, u"v"), kOne);
    DWORD failed = 99;
    EXPECT_EQ(Apply({Set(kKey.c_str(), u"v", kTwo), Set(kKey.c_str(), u"w", kTwo),
                     Create(u"Software\\QelConfigTests\\Batch\\New"), Drop(kKey.c_str(), u"v"),
                     Drop(kKey.c_str(), u"missing")},
                    &failed),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(failed, 4u);
    EXPECT_EQ(Read(kKey, u"v"), kOne);
    EXPECT_EQ(Read(kKey, u"w"), std::nullopt);
    EXPECT_FALSE(qeltest::KeyExists(HKEY_CURRENT_USER, kKey + u"\\New"));
}

// Each change sees the ones before it, though values read before the batch are cached.
TEST_F(BatchTest, AChangeSeesTheEarlierChangesOfItsBatch) {
    ASSERT_EQ(Apply({Create(kKey.c_str()), Set(kKey.c_str(), u"kept", kOne)}), ERROR_SUCCESS);
    EXPECT_EQ(Read(kKey, u"made"), std::nullopt);
    EXPECT_EQ(Read(kKey, u"kept"), kOne);
    EXPECT_EQ(Apply({Set(kKey.c_str(), u"made", kOne), Drop(kKey.c_str(), u"made"),
                     Drop(kKey.c_str(), u"kept"), Set(kKey.c_str(), u"kept", kTwo)}),
              ERROR_SUCCESS);
    EXPECT_EQ(Read(kKey, u"made"), std::nullopt);
    EXPECT_EQ(Read(kKey, u"kept"), kTwo);
}

TEST_F(BatchTest, ArgumentsFollowTheRulesOfTheCallsTheyStandFor) {
    qelreg::RegKey readOnly;
    ASSERT_EQ(readOnly.Create(HKEY_CURRENT_USER, kKey, KEY_READ), ERROR_SUCCESS);
    const QELREGCHANGE noData = {QELCHANGE_SET_VALUE, nullptr, u"v", REG_BINARY, nullptr, 4};
    const QELREGCHANGE unknown = {99, nullptr, nullptr, 0, nullptr, 0};
    const struct {
        const char* what;
        HKEY key;
        std::vector<QELREGCHANGE> changes;
        LSTATUS status;
        DWORD failed;
    } cases[] = {
        {"data pointer missing",
         HKEY_CURRENT_USER,
         {Create(kKey.c_str()), noData},
         ERROR_NOACCESS,
         1},
        {"unknown kind",
         HKEY_CURRENT_USER,
         {Create(kKey.c_str()), unknown},
         ERROR_INVALID_PARAMETER,
         1},
        {"key to delete not named",
         HKEY_CURRENT_USER,
         {DropKey(nullptr)},
         ERROR_INVALID_PARAMETER,
         0},
        {"handle without the right to set values",
         readOnly.Get(),
         {Create(u"Sub"), Set(nullptr, u"v", kOne)},
         ERROR_ACCESS_DENIED,
         1},
        {"not a key", reinterpret_cast<HKEY>(0x1234), {Create(u"Sub")}, ERROR_INVALID_HANDLE, 99},
        {"value of a missing key",
         HKEY_CURRENT_USER,
         {Set(u"Software\\QelConfigTests\\Nowhere", u"v", kOne)},
         ERROR_FILE_NOT_FOUND,
         0},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        DWORD failed = 99;
        EXPECT_EQ(QelRegApplyChanges(test.key, test.changes.data(),
                                     static_cast<DWORD>(test.changes.size()), &failed),
                  test.status);
        EXPECT_EQ(failed, test.failed);
    }
    EXPECT_FALSE(qeltest::KeyExists(HKEY_CURRENT_USER, kKey + u"\\Sub"));
    EXPECT_EQ(QelRegApplyChanges(HKEY_CURRENT_USER, nullptr, 0, nullptr), ERROR_SUCCESS);
}

// A disk that fills, or fails, when the batch commits: nothing of it is stored, and the store
// goes on.
TEST(BatchFaultTest, ADiskThatFailsAtTheCommitLeavesNothing) {
    ASSERT_TRUE(qeltest::SameSqliteAsTheRegistry());
    qeltest::FaultVfs& vfs = qeltest::FaultVfs::Install();
    setenv("QELCONFIG_TEST_VFS", qeltest::FaultVfs::kName, 1);
    for (const qeltest::Fault fault : {qeltest::Fault::DiskFull, qeltest::Fault::IoError}) {
        qeltest::HiveSandbox sandbox;
        ASSERT_EQ(Apply({Create(kKey.c_str()), Set(kKey.c_str(), u"v", kOne)}), ERROR_SUCCESS);
        std::vector<QELREGCHANGE> many = {Set(kKey.c_str(), u"v", kTwo)};
        std::vector<std::u16string> names;
        for (int i = 0; i < 200; ++i)
            names.push_back(u"n" + std::u16string(1, u'a' + i % 26) +
                            std::u16string(i / 26 + 1, u'x'));
        for (const std::u16string& name : names)
            many.push_back(Set(kKey.c_str(), name.c_str(), kTwo));
        vfs.Inject(fault);
        DWORD failed = 0;
        EXPECT_NE(Apply(many, &failed), ERROR_SUCCESS);
        vfs.Clear();
        EXPECT_EQ(Read(kKey, u"v"), kOne);
        for (const std::u16string& name : names) EXPECT_EQ(Read(kKey, name), std::nullopt);
        EXPECT_EQ(Apply({Set(kKey.c_str(), u"v", kTwo)}), ERROR_SUCCESS);
        EXPECT_EQ(Read(kKey, u"v"), kTwo);
    }
    unsetenv("QELCONFIG_TEST_VFS");
}

}  // namespace
