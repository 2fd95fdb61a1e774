#include "StressSupport.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "QelConfig/QelConfigTestAccess.h"

namespace qeltest {

Child::Child(const std::function<int(int reportFd)>& body) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    m_pid = fork();
    if (m_pid < 0) throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        close(fds[0]);
        const int code = body(fds[1]);
        close(fds[1]);
        _exit(code);
    }
    close(fds[1]);
    m_read = fds[0];
}

Child::~Child() {
    if (!m_waited) {
        kill(m_pid, SIGKILL);
        Wait();
    }
    if (m_read >= 0) close(m_read);
}

bool Child::Read(void* data, std::size_t size) {
    auto* bytes = static_cast<char*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = read(m_read, bytes + done, size - done);
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

int Child::Wait() {
    int status = 0;
    m_waited = true;
    if (waitpid(m_pid, &status, 0) != m_pid) return -1000;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

template <typename T>
std::vector<ConfigKey> FreeSettings() {
    std::vector<ConfigKey> keys;
    for (const auto& [key, entry] : QelConfigTestAccess::Settings(QelConfig())) {
        if (entry.scope == ScopeUser && *entry.valueType == typeid(T) &&
            (entry.allowedList == nullptr || entry.allowedList[0] == 0))
            keys.push_back(key);
    }
    return keys;
}
template std::vector<ConfigKey> FreeSettings<int>();
template std::vector<ConfigKey> FreeSettings<long>();
template std::vector<ConfigKey> FreeSettings<CString>();

}  // namespace qeltest
