// File: ToolProcess.h
//
// Runs the built qelconfig as a child process with this process's environment (so it sees the
// test's hives), its output captured through files.
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

// Whether this platform can run the tool from the tests.
bool CanRunTool();

// Runs the tool with `arguments`; `scratch` is a directory for the captured output.
ToolRun RunTool(const std::vector<std::string>& arguments, const std::filesystem::path& scratch);

}  // namespace qeltest
