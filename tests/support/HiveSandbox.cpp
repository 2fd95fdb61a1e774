#include "support/HiveSandbox.h"

#include <cstdlib>
#include <random>
#include <vector>

namespace qeltest {

namespace {

#if !defined(_WIN32)
std::filesystem::path MakeTempDirectory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "qelconfig-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return std::filesystem::path(buffer.data());
}
#else
void ClearTestTrees() {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        DeleteTree(root, kAppRoot);
        DeleteTree(root, kTestRoot);
    }
}
#endif

}  // namespace

#if defined(_WIN32)

HiveSandbox::HiveSandbox() { ClearTestTrees(); }
HiveSandbox::~HiveSandbox() { ClearTestTrees(); }
bool HiveSandbox::CanRefuseWrites() { return false; }
bool HiveSandbox::SetReadOnly(bool user, bool machine) { return !user && !machine; }

#else

HiveSandbox::HiveSandbox()
    : m_dir(MakeTempDirectory()),
      m_userHive(m_dir / "user" / "user.hive"),
      m_machineHive(m_dir / "machine" / "machine.hive") {
    setenv("QELCONFIG_USER_HIVE", m_userHive.c_str(), 1);
    setenv("QELCONFIG_MACHINE_HIVE", m_machineHive.c_str(), 1);
    unsetenv("QELCONFIG_READONLY_HIVES");
}

HiveSandbox::~HiveSandbox() {
    unsetenv("QELCONFIG_READONLY_HIVES");
    // Leave the variables pointing at paths that no longer exist rather than at a real
    // user's hive: a stray registry call after the test then reads an empty registry.
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

bool HiveSandbox::CanRefuseWrites() { return true; }

bool HiveSandbox::SetReadOnly(bool user, bool machine) {
    std::string list;
    if (user) list = "user";
    if (machine) list += list.empty() ? "machine" : ",machine";
    if (list.empty())
        unsetenv("QELCONFIG_READONLY_HIVES");
    else
        setenv("QELCONFIG_READONLY_HIVES", list.c_str(), 1);
    return true;
}

#endif

}  // namespace qeltest
