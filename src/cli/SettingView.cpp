#include "SettingView.h"

#include "Output.h"
#include "SettingText.h"
#include "Utf8.h"

namespace qelcli {

nlohmann::json TypedJson(const ConfigEntry& entry, std::u16string_view text) {
    const CString stored(text);
    return qelsetting::Visit(TypeOf(entry), [&](auto tag) -> nlohmann::json {
        typename decltype(tag)::type value{};
        FromString(stored, value);
        if constexpr (std::is_same_v<decltype(value), CString>)
            return ToUtf8(value.View());
        else
            return value;
    });
}

std::string DisplayValue(const ConfigEntry& entry, std::u16string_view text) {
    const std::u16string read = ReadAsLibrary(entry, text);
    if (TypeOf(entry) == SettingType::Text) return "\"" + Printable(read) + "\"";
    return Printable(read);
}

nlohmann::json SettingJson(const ConfigEntry& entry) {
    nlohmann::json allowed = nlohmann::json::array();
    for (const auto& token : AllowedTokens(entry)) allowed.push_back(ToUtf8(token));
    return {{"id", entry.id},
            {"key", ToUtf8(entry.keyPath)},
            {"type", TypeName(entry)},
            {"scope", ScopeName(entry.scope)},
            {"default", TypedJson(entry, entry.defaultText)},
            {"allowed", allowed}};
}

std::string SettingName(const ConfigEntry& entry) {
    return std::to_string(entry.id) + " (" + ToUtf8(entry.keyPath) + ")";
}

const ConfigEntry* FindSettingOrComplain(const std::string& idOrKeyPath) {
    const ConfigEntry* entry = FindSetting(idOrKeyPath);
    if (entry == nullptr)
        Refuse("unknown setting '" + idOrKeyPath +
               "': give an id or a key path (qelconfig list shows them)");
    return entry;
}

}  // namespace qelcli
