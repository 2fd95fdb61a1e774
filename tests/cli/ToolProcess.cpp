#include "ToolProcess.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#if !defined(_WIN32)
#include <fcntl.h>
#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace qeltest {

#if defined(_WIN32)

bool CanRunTool() { return false; }

ToolRun RunTool(const std::vector<std::string>&, const std::filesystem::path&) {
    throw std::logic_error("the tool is not run as a subprocess on Windows");
}

#else

namespace {

std::string Slurp(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

bool CanRunTool() { return true; }

ToolRun RunTool(const std::vector<std::string>& arguments, const std::filesystem::path& scratch) {
    const std::filesystem::path outFile = scratch / "tool.out";
    const std::filesystem::path errFile = scratch / "tool.err";
    std::vector<std::string> argvText{QELCONFIG_TOOL};
    argvText.insert(argvText.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argvText) argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + argvText[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("lost the child process");
    }
    ToolRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = Slurp(outFile);
    run.err = Slurp(errFile);
    return run;
}

#endif

}  // namespace qeltest
