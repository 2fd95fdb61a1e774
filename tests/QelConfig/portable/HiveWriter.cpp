// File: HiveWriter.cpp
//
// qel_hive_writer <key> <prefix> <count>: in the current-user hive the environment names,
// creates <key> and writes REG_SZ values <prefix>0 .. <prefix>N-1, each holding its own name,
// opening the key afresh for each so that key creation contends too. Exits 0 when every call
// succeeded and every value read back as written.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "QelRegistry.h"
#include "RegistryKey.h"

namespace {

std::u16string Widen(const char* text) { return std::u16string(text, text + std::strlen(text)); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: qel_hive_writer <key> <prefix> <count>\n");
        return 2;
    }
    const std::u16string key = Widen(argv[1]);
    const std::u16string prefix = Widen(argv[2]);
    const int count = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i) {
        const std::u16string name = prefix + Widen(std::to_string(i).c_str());
        const auto* bytes = reinterpret_cast<const BYTE*>(name.c_str());
        const auto size = static_cast<DWORD>((name.size() + 1) * sizeof(char16_t));
        qelreg::RegKey handle;
        LSTATUS status = handle.Create(HKEY_CURRENT_USER, key, KEY_ALL_ACCESS);
        if (status == ERROR_SUCCESS)
            status = RegSetValueExW(handle.Get(), name.c_str(), 0, REG_SZ, bytes, size);
        std::vector<BYTE> back(size);
        DWORD backSize = size;
        if (status == ERROR_SUCCESS)
            status = RegQueryValueExW(handle.Get(), name.c_str(), nullptr, nullptr, back.data(),
                                      &backSize);
        if (status != ERROR_SUCCESS || backSize != size ||
            std::memcmp(back.data(), bytes, size) != 0) {
            std::fprintf(stderr, "qel_hive_writer: value %d failed with %ld\n", i,
                         static_cast<long>(status));
            return 1;
        }
    }
    return 0;
}
