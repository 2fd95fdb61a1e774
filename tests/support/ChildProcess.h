// File: ChildProcess.h
//
// Child processes for the tests of the portable registry (not Windows): a body run in a forked
// child, the same as another user, a child that waits to be told to run, and environment
// variables set for one scope.
#pragma once

#if !defined(_WIN32)

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace qeltest {

// The user a test becomes to meet what a process without privileges meets.
inline constexpr uid_t kNobody = 65534;
inline constexpr gid_t kNoGroup = 65534;

// What InChild returns when the child could not be made or waited for.
inline constexpr int kNoChild = -1000;
// What InChildAs's child returns when it could not become the other user.
inline constexpr int kCannotSwitchUser = 90;

// Runs body in a forked child, made by the C library's fork() or, when rawFork, by a bare fork
// system call (which runs no fork handlers); returns its exit code, -signal when it was killed,
// or kNoChild.
int InChild(const std::function<int()>& body, bool rawFork = false);

// Runs body in a forked child that first gives up root for uid and gid (no supplementary
// groups); kCannotSwitchUser when it cannot. Needs root; see CanSwitchUser().
int InChildAs(uid_t uid, gid_t gid, const std::function<int()>& body);
// Whether this process may run children as another user (it is root).
bool CanSwitchUser();

// A child forked at once that runs its body only when told to: fork() closes the registry's
// connections of the parent, so a child made beforehand lets the parent fill its caches first
// and then have them contradicted.
class Peer {
public:
    explicit Peer(const std::function<int()>& body);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Lets the body run and waits for it: its exit code, -signal, or kNoChild.
    int Run();

private:
    int Finish();

    int m_go[2] = {-1, -1};
    pid_t m_pid = -1;
};

// Sets (or, given null, unsets) an environment variable for one scope.
class EnvOverride {
public:
    EnvOverride(const char* name, const char* value);
    ~EnvOverride();
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

}  // namespace qeltest

#endif
