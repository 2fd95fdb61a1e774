// File: HiveLocationTest.cpp
//
// Where the hives are looked for, and the read-only switch, over a made-up environment.
#include <gtest/gtest.h>

#include <filesystem>
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

// The memo must give what HivePath gives after every change of the environment or of the
// working directory, while recomputing nothing when neither changed.
TEST(HiveLocationTest, TheMemoFollowsEveryChange) {
    struct Step {
        const char* what;
        std::map<std::string, std::string> env;
        HiveKind kind;
    };
    const Step steps[] = {
        {"user variable", {{"QELCONFIG_USER_HIVE", "/a/u.hive"}}, HiveKind::User},
        {"same again", {{"QELCONFIG_USER_HIVE", "/a/u.hive"}}, HiveKind::User},
        {"user variable changed", {{"QELCONFIG_USER_HIVE", "/b/u.hive"}}, HiveKind::User},
        {"unset, XDG decides", {{"XDG_CONFIG_HOME", "/x"}, {"HOME", "/h"}}, HiveKind::User},
        {"XDG gone, HOME decides", {{"HOME", "/h"}}, HiveKind::User},
        {"HOME changed", {{"HOME", "/h2"}}, HiveKind::User},
        {"relative user variable", {{"QELCONFIG_USER_HIVE", "rel/u.hive"}}, HiveKind::User},
        {"machine default", {}, HiveKind::Machine},
        {"machine variable", {{"QELCONFIG_MACHINE_HIVE", "/m/m.hive"}}, HiveKind::Machine},
        {"machine relative", {{"QELCONFIG_MACHINE_HIVE", "m.hive"}}, HiveKind::Machine},
    };
    qelplatform::HivePathMemo memo;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        g_env = step.env;
        EXPECT_EQ(memo.Get(step.kind, FakeEnv), qelplatform::HivePath(step.kind, FakeEnv));
    }
    // A relative path is resolved against the working directory of the moment.
    const std::filesystem::path before = std::filesystem::current_path();
    g_env = {{"QELCONFIG_USER_HIVE", "rel/u.hive"}};
    const std::string first = memo.Get(HiveKind::User, FakeEnv);
    std::filesystem::current_path("/");
    const std::string second = memo.Get(HiveKind::User, FakeEnv);
    std::filesystem::current_path(before);
    EXPECT_EQ(second, "/rel/u.hive");
    EXPECT_NE(first, second);
}

}  // namespace
