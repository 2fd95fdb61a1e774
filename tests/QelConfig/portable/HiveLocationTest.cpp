// File: HiveLocationTest.cpp
//
// Where the hives are looked for, and the read-only switch, over a made-up environment.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "portable/HiveLocation.h"

namespace {

using qelplatform::HiveKind;

std::map<std::string, std::string> g_env;

const char* FakeEnv(const char* name) {
    auto it = g_env.find(name);
    return it == g_env.end() ? nullptr : it->second.c_str();
}

struct PathCase {
    const char* what;
    std::map<std::string, std::string> env;
    HiveKind kind;
    const char* expected;
};

const PathCase kPaths[] = {
    {"user variable wins",
     {{"QELCONFIG_USER_HIVE", "/a/u.hive"}, {"XDG_CONFIG_HOME", "/x"}},
     HiveKind::User,
     "/a/u.hive"},
    {"XDG config home",
     {{"XDG_CONFIG_HOME", "/x/cfg"}, {"HOME", "/h"}},
     HiveKind::User,
     "/x/cfg/qelconfig/user.hive"},
    {"relative XDG ignored",
     {{"XDG_CONFIG_HOME", "rel"}, {"HOME", "/h"}},
     HiveKind::User,
     "/h/.config/qelconfig/user.hive"},
    {"empty variables ignored",
     {{"QELCONFIG_USER_HIVE", ""}, {"XDG_CONFIG_HOME", ""}, {"HOME", "/h"}},
     HiveKind::User,
     "/h/.config/qelconfig/user.hive"},
    {"home",
     {{"HOME", "/home/someone"}},
     HiveKind::User,
     "/home/someone/.config/qelconfig/user.hive"},
    {"path tidied", {{"QELCONFIG_USER_HIVE", "/a//b/./u.hive"}}, HiveKind::User, "/a/b/u.hive"},
    {"machine variable", {{"QELCONFIG_MACHINE_HIVE", "/m/m.hive"}}, HiveKind::Machine, "/m/m.hive"},
    {"machine default",
     {{"QELCONFIG_USER_HIVE", "/a/u.hive"}},
     HiveKind::Machine,
     "/var/lib/qelconfig/machine.hive"},
    {"machine ignores XDG",
     {{"XDG_CONFIG_HOME", "/x"}},
     HiveKind::Machine,
     "/var/lib/qelconfig/machine.hive"},
};

TEST(HiveLocationTest, PathsFollowTheEnvironment) {
    for (const auto& test : kPaths) {
        SCOPED_TRACE(test.what);
        g_env = test.env;
        EXPECT_EQ(qelplatform::HivePath(test.kind, FakeEnv), test.expected);
    }
}

TEST(HiveLocationTest, ARelativeHivePathIsMadeAbsolute) {
    g_env = {{"QELCONFIG_USER_HIVE", "sub/u.hive"}};
    const std::string path = qelplatform::HivePath(HiveKind::User, FakeEnv);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_EQ(path.substr(path.size() - 11), "/sub/u.hive");
}

struct SwitchCase {
    const char* value;
    bool user;
    bool machine;
};

const SwitchCase kSwitches[] = {
    {nullptr, false, false},        {"", false, false},
    {"user", true, false},          {"machine", false, true},
    {"user,machine", true, true},   {" machine , user ", true, true},
    {"USER", true, false},          {"users", false, false},
    {"usermachine", false, false},  {",,machine,", false, true},
    {"user;machine", false, false}, {"mach", false, false},
};

TEST(HiveLocationTest, TheReadOnlySwitchNamesHives) {
    for (const auto& test : kSwitches) {
        SCOPED_TRACE(test.value == nullptr ? "(unset)" : test.value);
        g_env.clear();
        if (test.value != nullptr) g_env["QELCONFIG_READONLY_HIVES"] = test.value;
        EXPECT_EQ(qelplatform::ReadOnlyBySwitch(HiveKind::User, FakeEnv), test.user);
        EXPECT_EQ(qelplatform::ReadOnlyBySwitch(HiveKind::Machine, FakeEnv), test.machine);
    }
}

}  // namespace
