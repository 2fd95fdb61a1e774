#include "ToolProcess.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#if defined(_WIN32)
#include <thread>
#include <windows.h>
#else
#include <fcntl.h>
#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>
// POSIX has programs declare it themselves; glibc also does when _GNU_SOURCE is defined.
extern char** environ;  // NOLINT(readability-redundant-declaration)
#endif

namespace qeltest {

ToolRun RunTool(const std::vector<std::string>& arguments, const std::filesystem::path& scratch) {
    return RunProgram(ToolPath(), arguments, scratch);
}

#if defined(_WIN32)

namespace {

std::u16string Widen(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int size = static_cast<int>(utf8.size());
    const int chars =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (chars <= 0) throw std::invalid_argument("an argument is not UTF-8: " + utf8);
    std::u16string wide(static_cast<size_t>(chars), u'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size,
                        reinterpret_cast<wchar_t*>(wide.data()), chars);
    return wide;
}

const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Closes on every path out of RunProgram, so that no handle outlives a failed start.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : m_handle(handle) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    HANDLE Get() const { return m_handle; }
    HANDLE* Receive() {
        Close();
        return &m_handle;
    }
    void Close() {
        if (m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
        m_handle = nullptr;
    }

private:
    HANDLE m_handle = nullptr;
};

// A pipe whose write end the child inherits and whose read end stays with this process.
void MakePipe(Handle& read, Handle& write) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(read.Receive(), write.Receive(), &inherit, 0))
        throw std::runtime_error("CreatePipe failed: " + std::to_string(GetLastError()));
    if (!SetHandleInformation(read.Get(), HANDLE_FLAG_INHERIT, 0))
        throw std::runtime_error("SetHandleInformation failed");
}

// Reads until the last write end is closed, which is when the child (and any process that
// inherited its output) has ended.
void Drain(HANDLE pipe, std::string& out) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) out.append(buffer, got);
}

}  // namespace

std::u16string CommandLine(const std::vector<std::u16string>& arguments) {
    std::u16string line;
    for (const std::u16string& argument : arguments) {
        if (!line.empty()) line += u' ';
        if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string::npos) {
            line += argument;
            continue;
        }
        // Backslashes are literal except before a quote, where each pair is one backslash.
        line += u'"';
        size_t backslashes = 0;
        for (char16_t c : argument) {
            if (c == u'\\') {
                ++backslashes;
                continue;
            }
            line.append(c == u'"' ? backslashes * 2 + 1 : backslashes, u'\\');
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, u'\\');
        line += u'"';
    }
    return line;
}

std::filesystem::path ToolPath() {
    std::wstring self(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
        if (length == 0) throw std::runtime_error("GetModuleFileNameW failed");
        if (length < self.size()) {
            self.resize(length);
            break;
        }
        self.resize(self.size() * 2);
    }
    return std::filesystem::path(self).parent_path() /
           std::filesystem::path(QELCONFIG_TOOL).filename();
}

ToolRun RunProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                   const std::filesystem::path&) {
    const std::u16string application = program.u16string();
    std::vector<std::u16string> wide{application};
    for (const std::string& argument : arguments) wide.push_back(Widen(argument));
    std::u16string line = CommandLine(wide);

    Handle outRead, outWrite, errRead, errWrite;
    MakePipe(outRead, outWrite);
    MakePipe(errRead, errWrite);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Handle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr));
    if (input.Get() == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open NUL");

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.Get();
    startup.hStdOutput = outWrite.Get();
    startup.hStdError = errWrite.Get();
    PROCESS_INFORMATION started{};
    // The program is named outright, so that no search path picks another one.
    if (!CreateProcessW(Wide(application), reinterpret_cast<wchar_t*>(line.data()), nullptr,
                        nullptr, TRUE, 0, nullptr, nullptr, &startup, &started))
        throw std::runtime_error("cannot start " + program.string() + ": error " +
                                 std::to_string(GetLastError()));
    Handle process(started.hProcess);
    Handle thread(started.hThread);
    // Only the child may hold the write ends now, or the reads below would never see the end.
    outWrite.Close();
    errWrite.Close();
    input.Close();

    // Both pipes at once: a child that fills one while this process waits on the other would
    // block for ever.
    ToolRun run;
    std::thread errReader([&] { Drain(errRead.Get(), run.err); });
    Drain(outRead.Get(), run.out);
    errReader.join();

    WaitForSingleObject(process.Get(), INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process.Get(), &code))
        throw std::runtime_error("GetExitCodeProcess failed");
    run.exitCode = static_cast<int>(code);
    return run;
}

#else

namespace {

std::string Slurp(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

std::filesystem::path ToolPath() { return QELCONFIG_TOOL; }

ToolRun RunProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                   const std::filesystem::path& scratch) {
    const std::filesystem::path outFile = scratch / "tool.out";
    const std::filesystem::path errFile = scratch / "tool.err";
    std::vector<std::string> argvText{program.string()};
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
