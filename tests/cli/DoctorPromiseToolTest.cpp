// doctor and doctor --repair on hives the repair must not touch: refused files and another
// program's database are reported and left exactly where and as they are; on Windows --repair
// refuses with its reason.
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "ToolFixture.h"
#if !defined(_WIN32)
#include <sys/stat.h>

#include "support/HiveFiles.h"
#endif

namespace qeltest {

namespace {

using DoctorPromise = ToolTest;

#if defined(_WIN32)

TEST_F(DoctorPromise, RepairOnWindowsRefusesWithItsReason) {
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"2");
    const std::string before = StoreState();
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"doctor", "--repair"},
          std::vector<std::string>{"doctor", "--repair", "--json"}}) {
        const ToolRun repair = Run(arguments);
        EXPECT_EQ(repair.exitCode, 1) << repair.out << repair.err;
        EXPECT_NE(repair.err.find("the Windows registry is not repaired by this tool"),
                  std::string::npos)
            << repair.err;
    }
    EXPECT_EQ(StoreState(), before);
}

#else

// Everything in the hive's directory, name and bytes (directories by name alone).
std::vector<std::pair<std::string, std::string> > DirectoryState(const std::filesystem::path& dir) {
    std::vector<std::pair<std::string, std::string> > state;
    for (const std::string& name : Listing(dir)) {
        const std::filesystem::path file = dir / name;
        state.emplace_back(name, std::filesystem::is_regular_file(file) ? ReadBytes(file) : "");
    }
    return state;
}

TEST_F(DoctorPromise, RefusedAndForeignHivesAreReportedAndLeftInPlace) {
    const struct {
        const char* what;
        std::function<void(const std::filesystem::path& hive)> arrange;
        const char* says;  // a part of what doctor and --repair print
    } cases[] = {
        {"a planted journal",
         [](const std::filesystem::path& hive) {
             std::ofstream(hive.string() + "-journal") << "planted";
         },
         "rollback journal"},
        {"a hive the group may write",
         [](const std::filesystem::path& hive) { chmod(hive.c_str(), 0660); }, "chmod go-w"},
        {"another program's database",
         [](const std::filesystem::path& hive) {
             std::filesystem::remove(hive.string() + "-wal");
             std::filesystem::remove(hive.string() + "-shm");
             SqliteFile(hive, "CREATE TABLE notes(x); INSERT INTO notes VALUES('theirs');");
             chmod(hive.c_str(), 0600);
         },
         "another program"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        ClearApplicationTrees();
        Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"2");
        const std::filesystem::path hive = sandbox.UserHive();
        test.arrange(hive);
        const auto before = DirectoryState(hive.parent_path());
        ASSERT_GE(before.size(), 1u);

        const ToolRun doctor = Run({"doctor"});
        EXPECT_EQ(doctor.exitCode, 1) << doctor.out << doctor.err;
        EXPECT_NE((doctor.out + doctor.err).find(hive.string()), std::string::npos)
            << doctor.out << doctor.err;
        EXPECT_NE((doctor.out + doctor.err).find(test.says), std::string::npos)
            << doctor.out << doctor.err;

        const ToolRun repair = Run({"doctor", "--repair"});
        EXPECT_EQ(repair.exitCode, 1) << repair.out << repair.err;
        EXPECT_NE((repair.out + repair.err).find(test.says), std::string::npos)
            << repair.out << repair.err;
        EXPECT_EQ(DirectoryState(hive.parent_path()), before)
            << "the repair moved, changed or added files";

        // Put right for the next case.
        std::filesystem::remove_all(hive.parent_path());
    }
}

#endif

}  // namespace

}  // namespace qeltest
