// File: WatchToolTest.cpp
//
// qelconfig watch run in the background while other runs of the tool change the settings: what
// it prints for each change, and that SIGINT and SIGTERM end it with exit code 0. On Windows
// the watch is ended with TerminateProcess, as a console control event cannot be sent to a
// process without a console.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ToolFixture.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qeltest {

namespace {

using Clock = std::chrono::steady_clock;
// Only a failing test waits this long.
constexpr auto kPatience = std::chrono::seconds(30);

// The tool started in the background with its standard output and error in pipes, read a line
// at a time as it writes them.
class BackgroundTool {
public:
    explicit BackgroundTool(const std::vector<std::string>& arguments);
    ~BackgroundTool();
    BackgroundTool(const BackgroundTool&) = delete;
    BackgroundTool& operator=(const BackgroundTool&) = delete;

    // The next line of standard output (`error`: of standard error), without its line end;
    // empty when none came in time or the stream ended.
    std::string NextLine(bool error = false);
    // Ends the tool (POSIX: with `signal`) and returns its exit code, -1 when it did not end.
    int Stop(int signal);

private:
    // Appends what is there to read within the time left; false when nothing more will come.
    bool ReadMore(bool error, Clock::time_point deadline);

    std::string m_buffers[2];
#if defined(_WIN32)
    HANDLE m_process = nullptr;
    HANDLE m_pipes[2] = {nullptr, nullptr};
#else
    pid_t m_pid = -1;
    int m_pipes[2] = {-1, -1};
#endif
};

std::string BackgroundTool::NextLine(bool error) {
    std::string& buffer = m_buffers[error ? 1 : 0];
    const Clock::time_point deadline = Clock::now() + kPatience;
    for (;;) {
        const std::size_t end = buffer.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (Clock::now() >= deadline || !ReadMore(error, deadline)) return {};
    }
}

#if defined(_WIN32)

BackgroundTool::BackgroundTool(const std::vector<std::string>& arguments) {
    std::vector<std::u16string> wide{ToolPath().u16string()};
    for (const std::string& argument : arguments)
        wide.emplace_back(argument.begin(), argument.end());
    std::u16string commandLine = CommandLine(wide);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE writeEnds[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; ++i) {
        if (!CreatePipe(&m_pipes[i], &writeEnds[i], &inherit, 0))
            throw std::runtime_error("CreatePipe failed");
        SetHandleInformation(m_pipes[i], HANDLE_FLAG_INHERIT, 0);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnds[0];
    startup.hStdError = writeEnds[1];
    PROCESS_INFORMATION process{};
    const std::wstring program = ToolPath().wstring();
    const BOOL started =
        CreateProcessW(program.c_str(), reinterpret_cast<wchar_t*>(commandLine.data()), nullptr,
                       nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnds[0]);
    CloseHandle(writeEnds[1]);
    if (!started) throw std::runtime_error("cannot start the tool");
    CloseHandle(process.hThread);
    m_process = process.hProcess;
}

BackgroundTool::~BackgroundTool() {
    if (m_process != nullptr) {
        TerminateProcess(m_process, 1);
        WaitForSingleObject(m_process, 10000);
        CloseHandle(m_process);
    }
    for (HANDLE pipe : m_pipes)
        if (pipe != nullptr) CloseHandle(pipe);
}

bool BackgroundTool::ReadMore(bool error, Clock::time_point deadline) {
    HANDLE pipe = m_pipes[error ? 1 : 0];
    while (Clock::now() < deadline) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
        if (available > 0) {
            std::string chunk(available, '\0');
            DWORD read = 0;
            if (!ReadFile(pipe, chunk.data(), available, &read, nullptr)) return false;
            m_buffers[error ? 1 : 0].append(chunk, 0, read);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int BackgroundTool::Stop(int /*signal*/) {
    TerminateProcess(m_process, 0);
    DWORD code = 1;
    const bool ended = WaitForSingleObject(m_process, 30000) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(m_process, &code);
    CloseHandle(m_process);
    m_process = nullptr;
    return ended ? static_cast<int>(code) : -1;
}

#else

BackgroundTool::BackgroundTool(const std::vector<std::string>& arguments) {
    const std::string program = ToolPath().string();
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int fds[2][2] = {{-1, -1}, {-1, -1}};
    for (auto& fd : fds)
        if (pipe2(fd, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[0][1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1][1], 2);
    const int failed =
        posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0][1]);
    close(fds[1][1]);
    m_pipes[0] = fds[0][0];
    m_pipes[1] = fds[1][0];
    if (failed != 0) {
        m_pid = -1;
        throw std::runtime_error("cannot start the tool");
    }
}

BackgroundTool::~BackgroundTool() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    for (int fd : m_pipes)
        if (fd >= 0) close(fd);
}

bool BackgroundTool::ReadMore(bool error, Clock::time_point deadline) {
    const int fd = m_pipes[error ? 1 : 0];
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd wanted{fd, POLLIN, 0};
    if (poll(&wanted, 1, static_cast<int>(left > 0 ? left : 0)) <= 0) return true;
    char chunk[4096];
    const ssize_t read = ::read(fd, chunk, sizeof chunk);
    if (read <= 0) return false;
    m_buffers[error ? 1 : 0].append(chunk, static_cast<std::size_t>(read));
    return true;
}

int BackgroundTool::Stop(int signal) {
    kill(m_pid, signal);
    const Clock::time_point deadline = Clock::now() + kPatience;
    int status = 0;
    while (Clock::now() < deadline) {
        const pid_t ended = waitpid(m_pid, &status, WNOHANG);
        if (ended == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

#endif

class WatchToolTest : public ToolTest {
protected:
    // Starts the watch and waits until it says that it is watching.
    std::unique_ptr<BackgroundTool> StartWatch(const std::vector<std::string>& arguments) {
        auto tool = std::make_unique<BackgroundTool>(arguments);
        const std::string ready = tool->NextLine(true);
        EXPECT_NE(ready.find("watching"), std::string::npos) << "the watch said: " << ready;
        return tool;
    }
    void RunOk(const std::vector<std::string>& arguments) {
        const ToolRun run = Run(arguments);
        ASSERT_EQ(run.exitCode, 0) << run.err;
    }
    // The next change the watch prints for the setting `id`, skipping others (the library's
    // start stores a value of its own).
    static nlohmann::json NextChange(BackgroundTool& tool, int id) {
        for (;;) {
            const std::string line = tool.NextLine();
            if (line.empty()) return nullptr;
            nlohmann::json change = nlohmann::json::parse(line);
            if (change.at("id") == id) return change;
        }
    }
};

#if defined(_WIN32)
constexpr int kSigInt = 2;
constexpr int kSigTerm = 15;
#else
constexpr int kSigInt = SIGINT;
constexpr int kSigTerm = SIGTERM;
#endif

TEST_F(WatchToolTest, SeesSetResetAndImportByOtherProcessesAsJsonLines) {
    auto watch = StartWatch({"watch", "--json"});

    RunOk({"set", "UI/BurnToDisk", "false"});
    nlohmann::json change = NextChange(*watch, 18);
    ASSERT_FALSE(change.is_null()) << "no change printed for the set";
    EXPECT_EQ(change["key"], "UI/BurnToDisk");
    EXPECT_EQ(change["old"], true);
    EXPECT_EQ(change["new"], false);
    EXPECT_EQ(change["oldSource"], "default");
    EXPECT_EQ(change["source"], "user");
    EXPECT_FALSE(change["time"].get<std::string>().empty());

    // A machine value behind the user's changes nothing that is read; once the user value is
    // reset, it is the one read.
    const std::filesystem::path machine = WriteFile(
        "machine.reg",
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI]\r\n"
        "\"BurnToDisk\"=\"true\"\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI\\ButtonStylesDlg]\r\n"
        "\"Type\"=\"16\"\r\n");
    RunOk({"import", machine.string()});
    change = NextChange(*watch, 59);
    ASSERT_FALSE(change.is_null()) << "no change printed for the import";
    EXPECT_EQ(change["old"], 63);
    EXPECT_EQ(change["new"], 16);
    EXPECT_EQ(change["source"], "user");

    RunOk({"reset", "UI/BurnToDisk"});
    change = NextChange(*watch, 18);
    ASSERT_FALSE(change.is_null()) << "no change printed for the reset";
    EXPECT_EQ(change["old"], false);
    EXPECT_EQ(change["new"], true);
    EXPECT_EQ(change["oldSource"], "user");
    EXPECT_EQ(change["source"], "machine");

#if !defined(_WIN32)
    EXPECT_EQ(watch->Stop(kSigTerm), 0) << "SIGTERM is how a watch is meant to end";
#else
    watch->Stop(kSigTerm);
#endif
}

TEST_F(WatchToolTest, PrintsALinePerChangeOfTheNamedSettingsAndEndsOnSigint) {
    auto watch = StartWatch({"watch", "ui/burntodisk"});
    // Another setting changes, then the watched one: only the second is printed.
    RunOk({"set", "59", "16"});
    RunOk({"set", "18", "false"});
    const std::string line = watch->NextLine();
    EXPECT_NE(line.find("18 (UI/BurnToDisk): true -> false (user)"), std::string::npos) << line;
#if !defined(_WIN32)
    EXPECT_EQ(watch->Stop(kSigInt), 0);
    EXPECT_EQ(watch->NextLine(), "") << "printed more than the one change";
#else
    watch->Stop(kSigInt);
#endif
}

TEST_F(WatchToolTest, AnUnknownSettingIsRefusedAtOnce) {
    const ToolRun run = Run({"watch", "NoSuch/Setting"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("unknown setting"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
}

}  // namespace

}  // namespace qeltest
