// File: StressSupport.h
//
// Helpers of the stress suites: child processes that report through a pipe, settings picked
// from the table by type, hive file checks made with SQLite directly.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "QelConfig.h"

namespace qeltest {

// A forked child running body(write end of a pipe); the parent reads what it writes.
class Child {
public:
    explicit Child(const std::function<int(int reportFd)>& body);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return m_pid; }
    int ReportFd() const { return m_read; }
    // Reads exactly size bytes; false at end of file (the child exited or died).
    bool Read(void* data, std::size_t size);
    // Waits for the child; its exit code, or -signal when it was killed.
    int Wait();

private:
    pid_t m_pid = -1;
    int m_read = -1;
    bool m_waited = false;
};

// User-scope settings of type T with no allowed list (any value may be written).
template <typename T>
std::vector<ConfigKey> FreeSettings();

// PRAGMA integrity_check through a read-only connection: "ok", or what it found.
std::string IntegrityCheck(const std::filesystem::path& hive);

std::string ReadBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::string& bytes);

}  // namespace qeltest
