#include "SettingView.h"

#include "Output.h"
#include "SettingText.h"
#include "Utf8.h"

namespace qelcli {

nlohmann::json TypedJson(const ConfigEntry& entry, std::u16string_view text) {
    const std::u16string read = ReadAsLibrary(entry, text);
    switch (TypeOf(entry)) {
        case ValueType::Bool:
            return read == u"true";
        case ValueType::Int:
        case ValueType::Long: {
            long value = 0;
            FromString(CString(read), value);
            return value;
        }
        case ValueType::Text:
            break;
    }
    return ToUtf8(read);
}

std::string DisplayValue(const ConfigEntry& entry, std::u16string_view text) {
    const std::u16string read = ReadAsLibrary(entry, text);
    if (TypeOf(entry) == ValueType::Text) return "\"" + Printable(read) + "\"";
    return Printable(read);
}

nlohmann::json SettingJson(const ConfigEntry& entry) {
    nlohmann::json allowed = nlohmann::json::array();
    for (const auto& token : AllowedTokens(entry)) allowed.push_back(ToUtf8(token));
    return {{"id", entry.id},
            {"key", ToUtf8(entry.keyPath)},
            {"type", TypeName(TypeOf(entry))},
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
