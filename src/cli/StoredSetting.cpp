#include "StoredSetting.h"

#include "SettingText.h"

namespace qelcli {

std::u16string TextOf(const RawValue& value) {
    std::u16string text;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
        const auto unit = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
        if (unit == 0) break;
        text += unit;
    }
    return text;
}

StoredSetting ReadStoredSetting(const ConfigEntry& entry) {
    const Location where = LocationOf(entry);
    StoredSetting result;
    result.text = entry.defaultText;
    for (Hive hive : kHives) {
        if (hive == Hive::User && where.hive != Hive::User) continue;
        RawValue raw;
        // The path exactly as the library composes it, so both read the same place.
        if (ReadValue(hive, where.composedKey, where.valueName, raw) != ERROR_SUCCESS) continue;
        if (raw.data.size() > kMaxReadableBytes) {
            (hive == Hive::User ? result.tooLongInUser : result.tooLongInMachine) = true;
            continue;
        }
        result.source = hive;
        result.text = TextOf(raw);
        return result;
    }
    return result;
}

}  // namespace qelcli
