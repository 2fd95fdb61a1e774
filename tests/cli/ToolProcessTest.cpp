// The child-process runner itself: arguments arrive as given, output and exit codes come back.
#include <gtest/gtest.h>

#include "ToolFixture.h"

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>
#endif

namespace qeltest {

namespace {

#if defined(_WIN32)
// CommandLineToArgvW splits as the C runtime does, so this is what the child's argv will be.
std::vector<std::u16string> Split(const std::u16string& line) {
    int count = 0;
    LPWSTR* parts = CommandLineToArgvW(reinterpret_cast<const wchar_t*>(line.c_str()), &count);
    std::vector<std::u16string> split;
    for (int i = 0; parts != nullptr && i < count; ++i)
        split.emplace_back(reinterpret_cast<const char16_t*>(parts[i]));
    LocalFree(parts);
    return split;
}
#endif

TEST(ToolProcess, QuotesArgumentsByTheWindowsCommandLineRules) {
#if defined(_WIN32)
    const std::vector<std::u16string> awkward = {
        u"C:\\Program Files\\tool.exe",
        u"plain",
        u"",
        u"two words",
        u"\"quoted\"",
        u"a\\\"b",
        u"trailing\\",
        u"trailing space\\",
        u"trailing space\\\\",
        u"\\\\server\\share\\",
        u"tab\there",
        u"new\nline",
        u"\u00e9t\u00e9 \U0001F4BF",
        u"\\\"\\\\\"",
    };
    for (size_t i = 1; i < awkward.size(); ++i) {
        const std::vector<std::u16string> arguments{awkward[0], awkward[i]};
        EXPECT_EQ(Split(CommandLine(arguments)), arguments)
            << "argument " << i << " as "
            << std::string(CommandLine(arguments).begin(), CommandLine(arguments).end());
    }
    EXPECT_EQ(Split(CommandLine(awkward)), awkward);
    EXPECT_EQ(CommandLine({u"a.exe", u"plain", u"x\\y"}), u"a.exe plain x\\y")
        << "arguments without blanks or quotes go as they are";
#else
    GTEST_SKIP() << "POSIX passes argv as it is, with no command line to quote";
#endif
}

using ToolProcessRun = ToolTest;

// Far more on stderr than a pipe holds, while stdout stays open: a runner that read the streams
// one after the other would wait for ever.
TEST_F(ToolProcessRun, CapturesBothStreamsAtOnceAndTheExitCode) {
    std::string lines =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI]\r\n";
    constexpr int kBadLines = 3000;
    for (int i = 0; i < kBadLines; ++i)
        lines += "\"NoSuchValue" + std::to_string(i) + "\"=\"1\"\r\n";
    const ToolRun run = Run({"import", WriteFile("many.reg", lines).string()});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_GT(run.err.size(), 100000u);
    EXPECT_NE(run.err.find("NoSuchValue" + std::to_string(kBadLines - 1)), std::string::npos)
        << "the end of stderr is missing";

    const ToolRun usage = Run({"set", "18"});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_EQ(usage.out, "");
    EXPECT_NE(usage.err, "");
    EXPECT_THROW(RunProgram(Directory() / "no-such-program.exe", {}, Directory()),
                 std::runtime_error);
}

}  // namespace

}  // namespace qeltest
