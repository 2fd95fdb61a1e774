// The hive opener on arbitrary file bytes: the bytes become the current user's hive file, and
// keys are opened, enumerated and queried and a write is tried through the registry calls. No
// crash, no hang, and a file that was not a usable hive when first looked at is left exactly as
// it was, with nothing made beside it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "QelConfig.h"
#include "portable/QelHiveInfo.h"

namespace {

namespace fs = std::filesystem;

fs::path g_dir;
unsigned g_serial = 0;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Walks the tree below key, bounded so that a crafted hive cannot make a run long.
void Walk(HKEY key, int depth, int* budget) {
    for (DWORD i = 0; *budget > 0; ++i, --*budget) {
        char16_t name[256];
        DWORD length = 256;
        BYTE data[64];
        DWORD size = sizeof data;
        DWORD type = 0;
        const LSTATUS status =
            RegEnumValueW(key, i, Win32Str(name), &length, nullptr, &type, data, &size);
        if (status == ERROR_MORE_DATA && size <= (1u << 20)) {
            std::vector<BYTE> big(size);
            length = 256;
            RegEnumValueW(key, i, Win32Str(name), &length, nullptr, &type, big.data(), &size);
        } else if (status != ERROR_SUCCESS) {
            break;
        }
        if (RegQueryValueExW(key, Win32Str(name), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
    }
    for (DWORD i = 0; *budget > 0 && depth < 8; ++i, --*budget) {
        char16_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key, i, Win32Str(name), &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, Win32Str(name), 0, KEY_READ, &child) == ERROR_SUCCESS) {
            Walk(child, depth + 1, budget);
            RegCloseKey(child);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/qelconfig-fuzz-hive-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    g_dir = pattern;
    setenv("QELCONFIG_MACHINE_HIVE", (g_dir / "machine" / "none.hive").c_str(), 1);
    unsetenv("QELCONFIG_READONLY_HIVES");
    unsetenv("QELCONFIG_TEST_VFS");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A path of its own for each input: the registry looks at a file once per path and inode.
    const fs::path dir = g_dir / std::to_string(g_serial++);
    const fs::path hive = dir / "user.hive";
    fs::create_directories(dir);
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(hive, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    chmod(hive.c_str(), 0600);
    setenv("QELCONFIG_USER_HIVE", hive.c_str(), 1);

    DWORD flags = 0;
    if (QelRegGetHiveInfo(HKEY_CURRENT_USER, nullptr, nullptr, &flags) != ERROR_SUCCESS)
        std::abort();
    const bool usable = flags == 0;

    int budget = 2000;
    Walk(HKEY_CURRENT_USER, 0, &budget);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, Win32Str(u"Software\\Halvard\\Nuvex12\\OEM\\Korvid"), 0,
                      KEY_READ, &key) == ERROR_SUCCESS)
        RegCloseKey(key);
    const DWORD value = 7;
    LSTATUS written = ERROR_ACCESS_DENIED;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, Win32Str(u"Software\\Fuzz"), 0, nullptr, 0, KEY_WRITE,
                        nullptr, &key, nullptr) == ERROR_SUCCESS) {
        written = RegSetValueExW(key, Win32Str(u"v"), 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&value), sizeof value);
        RegCloseKey(key);
    }
    if (!usable) {
        if (written == ERROR_SUCCESS) std::abort();  // a write into a refused file
        if (ReadAll(hive) != bytes) std::abort();    // the file changed
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path() != hive) std::abort();  // something made beside it
        }
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return 0;
}
