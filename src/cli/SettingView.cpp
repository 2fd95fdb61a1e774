#include "SettingView.h"

#include <cctype>

#include "Output.h"
#include "Suggest.h"
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
    if (TypeOf(entry) != SettingType::Text) return Printable(read);
    // Quoted and escaped as JSON writes it: a newline shows as \n, a backslash as \\.
    return nlohmann::json(ToUtf8(read))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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
    if (entry != nullptr) return entry;
    std::vector<std::string> paths;
    for (const ConfigEntry* setting : AllSettings()) paths.push_back(ToUtf8(setting->keyPath));
    std::vector<std::string> nearest = Nearest(idOrKeyPath, paths);
    // A word of a key path names its settings too: "burn" is in UI/BurnToDisk and others.
    if (nearest.empty() && idOrKeyPath.size() >= 3) {
        std::string word = idOrKeyPath;
        for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const std::string& path : paths) {
            std::string folded = path;
            for (char& c : folded)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (folded.find(word) != std::string::npos && nearest.size() < 3)
                nearest.push_back(path);
        }
    }
    Refuse("unknown setting '" + idOrKeyPath + "'" + DidYouMean(nearest) +
           ": give an id, a key path or an enumerator name (qelconfig list shows them)");
    return nullptr;
}

}  // namespace qelcli
