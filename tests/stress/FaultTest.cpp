// File: FaultTest.cpp
//
// A disk that fills up or fails during a write, injected through an SQLite VFS layered over the
// default one: the set fails with E_FAIL, the previous value stays, and the process goes on.
#include <gtest/gtest.h>

#include <cstdlib>

#include "FaultVfs.h"
#include "QelConfig.h"
#include "StressSupport.h"
#include "support/ChildProcess.h"
#include "support/HiveSandbox.h"

namespace {

using qeltest::Fault;
using qeltest::FaultVfs;

struct FaultCase {
    const char* what;
    Fault fault;
};

class FaultTest : public ::testing::TestWithParam<FaultCase> {
protected:
    void SetUp() override {
        ASSERT_TRUE(qeltest::SameSqliteAsTheRegistry())
            << "the test and libQelPlatform must share one libsqlite3";
        m_vfs = &FaultVfs::Install();
        m_vfs->Clear();
        // Read when the registry opens each hive's connection: the sandbox's hives are new.
        setenv("QELCONFIG_TEST_VFS", FaultVfs::kName, 1);
        m_sandbox = std::make_unique<qeltest::HiveSandbox>();
    }
    void TearDown() override {
        m_vfs->Clear();
        m_sandbox.reset();
        unsetenv("QELCONFIG_TEST_VFS");
    }

    FaultVfs* m_vfs = nullptr;
    std::unique_ptr<qeltest::HiveSandbox> m_sandbox;
};

TEST_P(FaultTest, AFailedWriteKeepsThePreviousValueAndTheNextOneWorks) {
    const std::vector<ConfigKey> ints = qeltest::FreeSettings<int>();
    const std::vector<ConfigKey> texts = qeltest::FreeSettings<CString>();
    ASSERT_FALSE(ints.empty());
    ASSERT_FALSE(texts.empty());
    ASSERT_GE(ints.size(), 2u);
    CQelConfig& config = QelConfig();
    ASSERT_EQ(config.SetValue(ints[0], 5), S_OK);
    ASSERT_EQ(config.SetValue(ints[1], 6), S_OK);
    ASSERT_EQ(config.SetValue(texts[0], CString(u"before")), S_OK);
    // Another process's commit, made while this one's writes fail, so that the reads below must
    // go to the file (through the failing layer) rather than to what this process read before.
    // Made now: fork() closes this process's connections.
    qeltest::Peer other([&ints] {
        FaultVfs::Install().Clear();
        return QelConfig().SetValue(ints[1], 66) == S_OK ? 0 : 1;
    });
    int value = 0;
    ASSERT_EQ(config.GetValue(ints[0], value), S_OK);
    ASSERT_EQ(value, 5);

    m_vfs->Inject(GetParam().fault);
    EXPECT_EQ(config.SetValue(ints[0], 7), E_FAIL);
    // A large value, so the commit would span many pages.
    EXPECT_EQ(config.SetValue(texts[0], CString(std::u16string(900, u'x').c_str())), E_FAIL);
    ASSERT_EQ(other.Run(), 0);
    // Reads go on while writes fail: what the other process committed, and what this one had.
    const long fileReads = m_vfs->FileReads();
    EXPECT_EQ(config.GetValue(ints[1], value), S_OK);
    EXPECT_EQ(value, 66);
    EXPECT_GT(m_vfs->FileReads(), fileReads) << "the read did not reach the file";
    EXPECT_EQ(config.GetValue(ints[0], value), S_OK);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(m_vfs->Current(), GetParam().fault) << "the fault was still there for the reads";

    m_vfs->Clear();
    CString text;
    EXPECT_EQ(config.GetValue(texts[0], text), S_OK);
    EXPECT_EQ(text, CString(u"before"));
    EXPECT_EQ(config.SetValue(ints[0], 9), S_OK);
    EXPECT_EQ(config.GetValue(ints[0], value), S_OK);
    EXPECT_EQ(value, 9);
    EXPECT_EQ(config.SetValue(texts[0], CString(u"after")), S_OK);
    EXPECT_EQ(config.GetValue(texts[0], text), S_OK);
    EXPECT_EQ(text, CString(u"after"));
    EXPECT_EQ(qeltest::IntegrityCheck(m_sandbox->UserHive()), "ok");
}

// A fault while the hive file is first built leaves no hive behind; the next write builds it.
TEST_P(FaultTest, AFailedCreationLeavesNothingAndIsTriedAgain) {
    const std::vector<ConfigKey> ints = qeltest::FreeSettings<int>();
    ASSERT_FALSE(ints.empty());
    // The first use of the library writes a setting; a hive path of its own comes after that.
    CQelConfig& config = QelConfig();
    const std::filesystem::path hive = m_sandbox->Directory() / "fresh" / "user.hive";
    setenv("QELCONFIG_USER_HIVE", hive.c_str(), 1);
    m_vfs->Inject(GetParam().fault);
    EXPECT_EQ(config.SetValue(ints[0], 3), E_FAIL);
    EXPECT_TRUE(!std::filesystem::exists(hive.parent_path()) ||
                std::filesystem::is_empty(hive.parent_path()))
        << "a failed creation left files";
    m_vfs->Clear();
    EXPECT_EQ(config.SetValue(ints[0], 4), S_OK);
    int value = 0;
    EXPECT_EQ(config.GetValue(ints[0], value), S_OK);
    EXPECT_EQ(value, 4);
    EXPECT_EQ(qeltest::IntegrityCheck(hive), "ok");
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest,
                         ::testing::Values(FaultCase{"DiskFull", Fault::DiskFull},
                                           FaultCase{"IoError", Fault::IoError}),
                         [](const ::testing::TestParamInfo<FaultCase>& param) {
                             return std::string(param.param.what);
                         });

}  // namespace
