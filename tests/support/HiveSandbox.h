// File: HiveSandbox.h
//
// Gives each test registry hives of its own. Off Windows it points the portable registry at two
// fresh hive files in a temporary directory (through QELCONFIG_USER_HIVE and
// QELCONFIG_MACHINE_HIVE) and removes them afterwards. On Windows the registry is the system's
// (under Wine, a prefix made for the test run), so the sandbox deletes the trees that tests write
// to, before and after each test.
#pragma once

#include <filesystem>
#include <string>

#include "QelRegistry.h"
#include "RegistryTree.h"

namespace qeltest {

// Keys below which tests write; the sandbox clears them on platforms with a shared registry.
inline constexpr char16_t kAppRoot[] = u"Software\\Halvard";
inline constexpr char16_t kTestRoot[] = u"Software\\QelConfigTests";

class HiveSandbox {
public:
    HiveSandbox();
    ~HiveSandbox();
    HiveSandbox(const HiveSandbox&) = delete;
    HiveSandbox& operator=(const HiveSandbox&) = delete;

    // Whether this platform can make a hive refuse writes to this process (the portable
    // registry can, through QELCONFIG_READONLY_HIVES; an administrator on Windows cannot).
    static bool CanRefuseWrites();
    // Makes the named hives refuse writes from now on; returns false where that is impossible.
    bool SetReadOnly(bool user, bool machine);

    // The hive files (empty on Windows).
    const std::filesystem::path& UserHive() const { return m_userHive; }
    const std::filesystem::path& MachineHive() const { return m_machineHive; }
    const std::filesystem::path& Directory() const { return m_dir; }

private:
    std::filesystem::path m_dir;
    std::filesystem::path m_userHive;
    std::filesystem::path m_machineHive;
};

// Deletes a key and everything below it; a missing key is not an error.
using qelreg::DeleteTree;

}  // namespace qeltest
