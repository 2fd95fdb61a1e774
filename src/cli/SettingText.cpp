#include "SettingText.h"

#include "Utf8.h"

namespace qelcli {

std::vector<std::u16string> AllowedTokens(const ConfigEntry& entry) {
    std::vector<std::u16string> tokens;
    for (const CString& token : qelsetting::AllowedTokens(entry.allowedList))
        tokens.emplace_back(token.View());
    return tokens;
}

bool IsAllowedText(const ConfigEntry& entry, std::u16string_view text) {
    return qelsetting::IsAllowedText(entry, TypeOf(entry), CString(text));
}

std::string StoredNumberRange() {
    return std::to_string(kQelStoredLongMin) + " to " + std::to_string(kQelStoredLongMax);
}

SettingText CheckSettingText(const ConfigEntry& entry, std::u16string_view text) {
    const qelsetting::CheckedText checked = qelsetting::CheckUserText(entry, TypeOf(entry), text);
    switch (checked.refusal) {
        case qelsetting::Refusal::None:
            return {{}, std::u16string(checked.canonical.View())};
        case qelsetting::Refusal::NotBool:
            return {Quoted(text) + " is not a bool (true or false)", {}};
        case qelsetting::Refusal::NotNumber:
            return {Quoted(text) + " is not a decimal " + TypeName(entry) +
                        " (an optional sign and digits only)",
                    {}};
        case qelsetting::Refusal::OutOfRange:
            return {Quoted(text) + " is outside the 32 bits of a stored " + TypeName(entry) + " (" +
                        StoredNumberRange() + ")",
                    {}};
        case qelsetting::Refusal::TooLong:
            return {"the text has " + std::to_string(text.size()) +
                        " characters; the library reads at most " +
                        std::to_string(qelsetting::kMaxReadableChars),
                    {}};
        case qelsetting::Refusal::NotAllowed:
            break;
    }
    std::string allowed;
    for (const auto& token : AllowedTokens(entry))
        allowed += (allowed.empty() ? "" : ", ") + ToUtf8(token);
    return {Quoted(text) + " is not allowed; allowed values: " + allowed, {}};
}

std::u16string ReadAsLibrary(const ConfigEntry& entry, std::u16string_view text) {
    return std::u16string(qelsetting::CanonicalText(TypeOf(entry), CString(text)).View());
}

}  // namespace qelcli
