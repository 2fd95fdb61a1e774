#include "support/ChildProcess.h"

#include <grp.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

namespace qeltest {

namespace {

int WaitFor(pid_t pid) {
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return kNoChild;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

}  // namespace

int InChild(const std::function<int()>& body, bool rawFork) {
#if defined(SYS_fork)
    const pid_t pid = rawFork ? static_cast<pid_t>(syscall(SYS_fork)) : fork();
#else
    (void)rawFork;
    const pid_t pid = fork();
#endif
    if (pid == 0) _exit(body());
    return WaitFor(pid);
}

int InChildAs(uid_t uid, gid_t gid, const std::function<int()>& body) {
    return InChild([&] {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            return kCannotSwitchUser;
        return body();
    });
}

bool CanSwitchUser() { return geteuid() == 0; }

Peer::Peer(const std::function<int()>& body) {
    if (pipe(m_go) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
        close(m_go[1]);
        char go = 0;
        _exit(read(m_go[0], &go, 1) == 1 ? body() : 99);
    }
    close(m_go[0]);
}

Peer::~Peer() { Finish(); }

int Peer::Run() {
    const char go = 1;
    if (m_pid <= 0 || write(m_go[1], &go, 1) != 1) return kNoChild;
    return Finish();
}

int Peer::Finish() {
    if (m_go[1] >= 0) close(m_go[1]);
    m_go[1] = -1;
    if (m_pid <= 0) return kNoChild;
    return WaitFor(std::exchange(m_pid, -1));
}

EnvOverride::EnvOverride(const char* name, const char* value) : m_name(name) {
    if (const char* old = std::getenv(name)) m_old = old;
    if (value == nullptr)
        unsetenv(name);
    else
        setenv(name, value, 1);
}

EnvOverride::~EnvOverride() {
    if (m_old)
        setenv(m_name.c_str(), m_old->c_str(), 1);
    else
        unsetenv(m_name.c_str());
}

}  // namespace qeltest
