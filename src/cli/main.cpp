// Prints the setting catalogue and the capability values under the default sub-keys.
#include <cstdio>
#include <string>

#include "QelConfig.h"

namespace {

std::string Narrow(const char16_t* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

const char* TypeName(const std::type_info& type) {
    if (type == typeid(bool)) return "bool";
    if (type == typeid(int)) return "int";
    if (type == typeid(long)) return "long";
    return "text";
}

}  // namespace

int main() {
    std::printf("%4s  %-40s %-5s %-5s %s\n", "id", "key path", "scope", "type", "default");
    for (int i = 0; i < g_nConfigTableRows; ++i) {
        const ConfigEntry& row = g_ConfigTable[i];
        std::printf("%4d  %-40s %-5d %-5s %s\n", row.id, Narrow(row.keyPath).c_str(), row.scope,
                    TypeName(*row.valueType), Narrow(row.defaultText).c_str());
    }
    CQelConfig& config = QelConfig();
    std::printf("\ncapability  value\n");
    for (int key = 0;; ++key) {
        long value = 0;
        bool flag = false;
        if (config.GetCapsValue(static_cast<CapsKey>(key), flag) == S_OK)
            std::printf("%10d  %s\n", key, flag ? "true" : "false");
        else if (config.GetCapsValue(static_cast<CapsKey>(key), value) == S_OK)
            std::printf("%10d  %ld\n", key, value);
        else
            break;
    }
    return 0;
}
