// Reads every setting through the library, in a process of its own as an application would, and
// prints {"<id>": value, ...} as one JSON object: what the tool's own reads must agree with.
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "SettingRules.h"
#include "Utf8.h"

int main() {
    nlohmann::json values = nlohmann::json::object();
    for (int row = 0; row < g_nConfigTableRows; ++row) {
        const ConfigEntry& entry = g_ConfigTable[row];
        const std::optional<qelsetting::SettingType> type = qelsetting::TypeOf(entry);
        if (!type) return 1;
        values[std::to_string(entry.id)] =
            qelsetting::Visit(*type, [&](auto tag) -> nlohmann::json {
                typename decltype(tag)::type value{};
                if (QelConfig().GetValue(static_cast<ConfigKey>(entry.id), value) != S_OK)
                    return "GetValue failed";
                if constexpr (std::is_same_v<decltype(value), CString>)
                    return qelcli::ToUtf8(value.View());
                else
                    return value;
            });
    }
    std::puts(values.dump().c_str());
    return 0;
}
