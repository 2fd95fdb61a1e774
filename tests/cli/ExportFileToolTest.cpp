// export FILE: how each kind of FILE is written. A regular file is replaced whole through a
// temporary file nobody can guess, keeping its mode; a link keeps pointing at its target; a FIFO,
// device or standard output is written as a stream; a write that fails leaves FILE alone.
#include <fstream>
#include <set>

#include "ToolFixture.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

namespace qeltest {

namespace {

namespace fs = std::filesystem;

class ExportFile : public ToolTest {
protected:
    ExportFile() {
        Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"2");
        // Long enough that a 512-byte file size limit cuts the write short.
        Store(HKEY_CURRENT_USER, u"UI/ISOImagePath", std::u16string(900, u'p'));
        fs::create_directory(Out());
    }

    // A directory of the test's own, so that any stray temporary file shows in its listing.
    fs::path Out() const { return Directory() / "out"; }

    std::set<std::string> Listing() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(Out()))
            names.insert(entry.path().filename().string());
        return names;
    }

    std::string Expected() {
        const ToolRun run = Run({"export", "--utf16"});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return run.out;
    }
};

#if !defined(_WIN32)

mode_t ModeOf(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(lstat(file.c_str(), &st), 0) << file;
    return st.st_mode;
}

mode_t NewFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

TEST_F(ExportFile, FilesAndLinksAreReplacedWholeKeepingModeAndLinks) {
    const struct {
        const char* what;
        std::vector<std::string> links;  // "name>target": links made first, in order
        const char* existing;            // a regular file there before, or null
        mode_t mode;                     // its mode
        const char* named;               // what export is given
        const char* written;             // the regular file that must hold the export
    } cases[] = {
        {"new file", {}, nullptr, 0, "a.reg", "a.reg"},
        {"file of mode 0640", {}, "a.reg", 0640, "a.reg", "a.reg"},
        {"file of mode 0600", {}, "a.reg", 0600, "a.reg", "a.reg"},
        {"link to a file", {"link.reg>a.reg"}, "a.reg", 0604, "link.reg", "a.reg"},
        {"link to nothing yet", {"link.reg>a.reg"}, nullptr, 0, "link.reg", "a.reg"},
        {"chain of links", {"one>two", "two>sub/a.reg"}, "sub/a.reg", 0644, "one", "sub/a.reg"},
    };
    const std::string expected = Expected();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(Out());
        fs::create_directories(Out() / "sub");
        for (const std::string& link : c.links) {
            const size_t arrow = link.find('>');
            fs::create_symlink(link.substr(arrow + 1), Out() / link.substr(0, arrow));
        }
        if (c.existing != nullptr) {
            std::ofstream(Out() / c.existing) << "old content";
            fs::permissions(Out() / c.existing, static_cast<fs::perms>(c.mode));
        }
        const std::set<std::string> before = Listing();

        const ToolRun run = Run({"export", (Out() / c.named).string()});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(ReadFile(Out() / c.written), expected);
        EXPECT_TRUE(S_ISREG(ModeOf(Out() / c.written)));
        EXPECT_EQ(ModeOf(Out() / c.written) & 07777, c.existing ? c.mode : NewFileMode());
        for (const std::string& link : c.links)
            EXPECT_TRUE(fs::is_symlink(Out() / link.substr(0, link.find('>')))) << link;
        std::set<std::string> after = Listing();
        if (c.existing == nullptr && std::string(c.written).find('/') == std::string::npos)
            after.erase(c.written);
        EXPECT_EQ(after, before) << "a temporary file was left behind";
    }
}

// The temporary file of an export used to be FILE.qelconfig-tmp: a link planted there made the
// export write through it into any file its owner could write.
TEST_F(ExportFile, ALinkPlantedBesideTheFileIsNeverWrittenThrough) {
    const fs::path victim = Out() / "victim";
    std::ofstream(victim) << "precious";
    const fs::path file = Out() / "settings.reg";
    for (const char* planted : {"settings.reg.qelconfig-tmp", ".settings.reg.tmp"})
        fs::create_symlink(victim, Out() / planted);
    const ToolRun run = Run({"export", file.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_EQ(ReadFile(file), Expected());
}

TEST_F(ExportFile, AFifoIsWrittenInPlace) {
    const fs::path fifo = Out() / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Open for reading and writing: the export's open then finds a reader without waiting, and
    // what it writes (far less than a pipe holds) waits here after it ends.
    const int fd = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    const ToolRun run = Run({"export", fifo.string()});
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) got.append(buffer, n);
    close(fd);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(S_ISFIFO(ModeOf(fifo))) << "the FIFO was replaced";
    EXPECT_EQ(got, Expected());
}

TEST_F(ExportFile, ACharacterDeviceIsWrittenInPlace) {
    // A null device of the test's own: making one needs root, as CI has.
    const fs::path device = Out() / "null";
    if (mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot make a device node here (not root)";
    const ToolRun run = Run({"export", device.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(S_ISCHR(ModeOf(device))) << "the device node was replaced";
    EXPECT_EQ(Listing(), std::set<std::string>{"null"});
}

TEST_F(ExportFile, StandardOutputByNameIsWrittenAsTheStream) {
    const ToolRun run = Run({"export", "/proc/self/fd/1", "--utf16"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, Expected());
}

// ulimit -f makes writes past 512 bytes fail with EFBIG (SIGXFSZ ignored, so the tool sees the
// error): the export cannot be written, and says so.
TEST_F(ExportFile, AFailedWriteLeavesTheFileAsItWasAndSaysWhy) {
    const fs::path file = Out() / "settings.reg";
    std::ofstream(file) << "old content";
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    const ToolRun run = RunProgram("/bin/sh",
                                   {"-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\" export \"$1\"",
                                    ToolPath().string(), file.string()},
                                   Directory());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("cannot write " + file.string() + ": File too large"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(file.string() + " is unchanged"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(file), "old content");
    EXPECT_EQ(ModeOf(file) & 07777, 0600u);
    EXPECT_EQ(Listing(), std::set<std::string>{"settings.reg"});
}

TEST_F(ExportFile, ADirectoryIsRefused) {
    const ToolRun run = Run({"export", Out().string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("is a directory"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_directory(Out()));
}

#else

TEST_F(ExportFile, TheNullDeviceIsWrittenInPlace) {
    const ToolRun run = Run({"export", "NUL"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Listing().empty());
}

#endif

TEST_F(ExportFile, AnExistingFileIsReplacedWithNothingLeftBeside) {
    const fs::path file = Out() / "settings.reg";
    std::ofstream(file) << std::string(100000, 'x');
    const ToolRun run = Run({"export", file.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(ReadFile(file), Expected());
    EXPECT_EQ(Listing(), std::set<std::string>{"settings.reg"});
}

}  // namespace

}  // namespace qeltest
