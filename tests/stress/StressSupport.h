// File: StressSupport.h
//
// Helpers of the stress suites: child processes that report through a pipe, settings picked
// from the table by type. Hive file checks are in support/HiveFiles.h.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "QelConfig.h"
#include "support/HiveFiles.h"

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

}  // namespace qeltest
