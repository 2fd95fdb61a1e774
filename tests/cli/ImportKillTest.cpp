// import killed at random moments: each hive it touches holds either everything the file
// changes or nothing of it, never a mixture.
#if !defined(_WIN32)

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "ToolFixture.h"

namespace qeltest {

namespace {

using ImportKill = ToolTest;

std::vector<StoredValue> OfHive(const std::vector<StoredValue>& all, HKEY root) {
    std::vector<StoredValue> values;
    for (const StoredValue& value : all)
        if (value.root == root) values.push_back(value);
    return values;
}

// Starts the tool on its own, with its output discarded; returns its process id.
pid_t Start(const std::vector<std::string>& arguments) {
    const std::string tool = ToolPath().string();
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

TEST_F(ImportKill, EachHiveHoldsAllOfTheImportOrNone) {
    // What the file brings: many settings in both hives, as export writes it.
    const std::u16string longText(1000, u'x');
    const std::vector<std::pair<std::u16string, std::u16string>> user = {
        {u"UI/ProjectType", u"4"},
        {u"UI/BurnToDisk", u"false"},
        {u"UI/ISOImagePath", u"C:\\disc\\one.iso"},
        {u"UI/ImageFolderPath", longText},
        {u"UI/DiscVolumeName", u"Imported"},
        {u"UI/ButtonStylesDlg/Type", u"16"},
        {u"UI/ButtonStylesDlg/Frame/Left", u"-7"},
        {u"Paths/Theme_Default_4x3", u"C:\\themes\\4x3"},
        {u"Paths/Theme_Default_16x9", u"C:\\themes\\16x9"},
    };
    for (const auto& [path, text] : user) Store(HKEY_CURRENT_USER, path, text);
    Store(HKEY_LOCAL_MACHINE, u"UI/URLNewThemes", u"http://new/");
    Store(HKEY_LOCAL_MACHINE, u"UI/ProjectType", u"3");
    const ToolRun exported = Run({"export", "--utf8"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    const std::filesystem::path file = WriteFile("all.reg", exported.out);
    const std::vector<StoredValue> imported = Snapshot();

    // What is there before.
    ClearApplicationTrees();
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"2");
    Store(HKEY_CURRENT_USER, u"UI/DiscVolumeName", u"Before");
    Store(HKEY_LOCAL_MACHINE, u"UI/URLNewThemes", u"http://old/");
    const std::vector<StoredValue> before = Snapshot();

    // Every commit synced, as an administrator may ask: each write then takes long enough for
    // kills to land between the writes of one import.
    setenv("QELCONFIG_SYNC", "full", 1);
    // How long a whole import takes, so that the kills spread over all of it.
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(Run({"import", file.string()}).exitCode, 0);
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now() - started)
                           .count();
    ASSERT_TRUE(OfHive(Snapshot(), HKEY_CURRENT_USER) == OfHive(imported, HKEY_CURRENT_USER));

    std::mt19937 random(20261208);
    int killed = 0;
    int whole_imports = 0;
    for (int run = 0; run < 48; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        ClearApplicationTrees();
        Restore(before);
        const pid_t pid = Start({"import", file.string()});
        ASSERT_GT(pid, 0);
        const long wait = std::uniform_int_distribution<long>(0, whole * 3 / 2)(random);
        const timespec pause{wait / 1000000, (wait % 1000000) * 1000};
        nanosleep(&pause, nullptr);
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        killed += WIFSIGNALED(status) ? 1 : 0;
        whole_imports += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
        const std::vector<StoredValue> now = Snapshot();
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            const std::vector<StoredValue> hive = OfHive(now, root);
            EXPECT_TRUE(hive == OfHive(before, root) || hive == OfHive(imported, root))
                << (root == HKEY_CURRENT_USER ? "user" : "machine") << " hive half-imported";
        }
    }
    unsetenv("QELCONFIG_SYNC");
    // Both outcomes were met, so the kills fell inside imports as well as after them.
    EXPECT_GE(killed, 10);
    EXPECT_GE(whole_imports, 1);
}

}  // namespace

}  // namespace qeltest

#endif
