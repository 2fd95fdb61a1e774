// File: ToolProcess.h
//
// Runs the built qelconfig, or another program, as a child process with this process's
// environment (so that it sees the test's hives) and its standard input empty, and captures
// what it writes: through files off Windows, through pipes on Windows.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qeltest {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `program` with `arguments` (UTF-8) and waits for it to end; `scratch` is a directory
// for the captured output where files hold it. Throws when the program cannot be started.
ToolRun RunProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                   const std::filesystem::path& scratch);

// The built tool: on Windows the qelconfig.exe beside the test executable, where the build
// puts both and where its DLL is found.
std::filesystem::path ToolPath();

ToolRun RunTool(const std::vector<std::string>& arguments, const std::filesystem::path& scratch);

#if defined(_WIN32)
// The command line that makes CommandLineToArgvW and the C runtime give back exactly `arguments`.
std::u16string CommandLine(const std::vector<std::u16string>& arguments);
#endif

}  // namespace qeltest
