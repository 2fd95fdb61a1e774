// import's bound on what it reads: files over 64 MiB are refused before they are read, endless
// devices are read only that far, and running out of memory is a clear refusal.
#include <fstream>

#include "ToolFixture.h"

namespace qeltest {

namespace {

namespace fs = std::filesystem;

constexpr std::uintmax_t kLimit = std::uintmax_t{64} << 20;

using ImportLimit = ToolTest;

// Sparse files: their size costs no disk.
fs::path SparseFile(const fs::path& file, std::uintmax_t size) {
    std::ofstream(file, std::ios::binary).put('W');
    fs::resize_file(file, size);
    return file;
}

TEST_F(ImportLimit, AFileOverTheLimitIsRefusedBeforeItIsRead) {
    const struct {
        std::uintmax_t size;
        const char* message;
    } cases[] = {
        {kLimit + 1, "is 67,108,865 bytes; files larger than 64 MiB are not read"},
        {(std::uintmax_t{4097}) << 20, "is 4,097 MiB; files larger than 64 MiB are not read"},
        // At the limit it is read, and found not to be a .reg file.
        {kLimit, "1: not a registry file"},
    };
    for (const auto& c : cases) {
        const fs::path file = SparseFile(Directory() / "big.reg", c.size);
        const ToolRun run = Run({"import", file.string()});
        EXPECT_EQ(run.exitCode, 1) << c.size;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.size << ": " << run.err;
        EXPECT_NE(run.err.find("nothing imported"), std::string::npos) << run.err;
        fs::remove(file);
    }
    EXPECT_FALSE(AnythingStored());
}

#if !defined(_WIN32)

TEST_F(ImportLimit, AnEndlessDeviceIsReadOnlyUpToTheLimit) {
    const ToolRun run = Run({"import", "/dev/zero"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("nothing imported: /dev/zero holds more than 64 MiB"), std::string::npos)
        << run.err;
    EXPECT_FALSE(AnythingStored());
}

#if !defined(__SANITIZE_ADDRESS__)
// With too little address space for the file (ulimit -v), the tool says it ran out of memory
// instead of dying or naming an exception.
TEST_F(ImportLimit, RunningOutOfMemoryIsAClearRefusal) {
    const fs::path file = SparseFile(Directory() / "big.reg", 48 << 20);
    const ToolRun run = RunProgram(
        "/bin/sh",
        {"-c", "ulimit -v 40960; exec \"$0\" import \"$1\"", ToolPath().string(), file.string()},
        Directory());
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("nothing imported: not enough memory to "), std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("bad_alloc"), std::string::npos) << run.err;
    EXPECT_FALSE(AnythingStored());
}
#endif

#endif

// Every bad line is still reported, each once, however many there are.
TEST_F(ImportLimit, ManyBadLinesAreAllReported) {
    constexpr int kBad = 20000;
    std::string text = "Windows Registry Editor Version 5.00\r\n";
    for (int i = 0; i < kBad; ++i) text += "junk\r\n";
    const ToolRun run = Run({"import", WriteFile("junk.reg", text).string()});
    EXPECT_EQ(run.exitCode, 1);
    size_t lines = 0;
    for (size_t at = 0; (at = run.err.find("junk.reg:", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, static_cast<size_t>(kBad)) << "each bad line once";
    EXPECT_NE(run.err.find("junk.reg:20001: not a key, value or comment line"), std::string::npos);
    EXPECT_NE(run.err.find("nothing imported: 20000 bad line(s)"), std::string::npos);
}

}  // namespace

}  // namespace qeltest
