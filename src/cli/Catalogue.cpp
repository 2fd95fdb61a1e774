#include "Catalogue.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace qelcli {

namespace {

char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; }

}  // namespace

const std::u16string& AppKey() {
    static const std::u16string key = qelsetting::NormalisedKey(
        std::u16string(qelsetting::kRegistryRoot) + qelsetting::kApplicationName);
    return key;
}

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char16_t x, char16_t y) { return FoldAscii(x) == FoldAscii(y); });
}

const std::vector<const ConfigEntry*>& AllSettings() {
    static const std::vector<const ConfigEntry*> sorted = [] {
        std::vector<const ConfigEntry*> rows;
        rows.reserve(static_cast<size_t>(g_nConfigTableRows));
        for (int i = 0; i < g_nConfigTableRows; ++i) rows.push_back(&g_ConfigTable[i]);
        std::sort(rows.begin(), rows.end(),
                  [](const ConfigEntry* a, const ConfigEntry* b) { return a->id < b->id; });
        return rows;
    }();
    return sorted;
}

const ConfigEntry* FindSetting(std::string_view text) {
    int id = 0;
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), id);
    const bool isNumber =
        !text.empty() && parsed.ec == std::errc() && parsed.ptr == text.data() + text.size();
    std::u16string path;
    for (char c : text)
        path += c == '\\' ? u'/' : static_cast<char16_t>(static_cast<unsigned char>(c));
    for (const ConfigEntry* entry : AllSettings()) {
        if (isNumber ? entry->id == id
                     : EqualsIgnoringCase(entry->keyPath, path) ||
                           EqualsIgnoringCase(EnumeratorName(*entry), path))
            return entry;
    }
    return nullptr;
}

std::u16string EnumeratorName(const ConfigEntry& entry) {
    std::u16string name = u"ck";
    for (const char16_t* c = entry.keyPath; *c != 0; ++c) name += *c == u'/' ? u'_' : *c;
    return name;
}

const ConfigEntry* FindSettingAt(std::u16string_view key, std::u16string_view name) {
    for (const ConfigEntry* entry : AllSettings()) {
        const Location where = LocationOf(*entry);
        const std::u16string_view relative = std::u16string_view(where.key).substr(AppKey().size());
        const std::u16string_view own = relative.empty() ? relative : relative.substr(1);
        if (EqualsIgnoringCase(own, key) && EqualsIgnoringCase(where.valueName, name)) return entry;
    }
    return nullptr;
}

bool IsSettingKey(std::u16string_view key) {
    for (const ConfigEntry* entry : AllSettings()) {
        const std::u16string own = LocationOf(*entry).key;
        if (own.size() <= AppKey().size()) continue;
        // The setting's key below the application's, and each key above it.
        const std::u16string_view relative = std::u16string_view(own).substr(AppKey().size() + 1);
        for (size_t end = relative.find(u'\\');; end = relative.find(u'\\', end + 1)) {
            if (EqualsIgnoringCase(relative.substr(0, end), key)) return true;
            if (end == std::u16string_view::npos) break;
        }
    }
    return false;
}

SettingType TypeOf(const ConfigEntry& entry) {
    const std::optional<SettingType> type = qelsetting::TypeOf(entry);
    if (!type)
        throw std::runtime_error("setting " + std::to_string(entry.id) +
                                 " has a value type this tool does not know");
    return *type;
}

const char* TypeName(const ConfigEntry& entry) { return qelsetting::TypeName(TypeOf(entry)); }

const char* ScopeName(ConfigScope scope) {
    switch (scope) {
        case ScopeUser:
            return "user";
        case ScopeMachine:
            return "machine";
        case ScopeMachineReadOnly:
            break;
    }
    return "machine-readonly";
}

Location LocationOf(const ConfigEntry& entry) {
    qelsetting::RegLocation composed = qelsetting::LocationOf(entry);
    const HKEY root = qelsetting::WriteHive(entry.scope);
    return {HiveOf(root),
            qelsetting::ReadOrder(entry.scope).size() > 1,
            std::u16string(composed.key.View()),
            qelsetting::NormalisedKey(composed.key.View()),
            std::u16string(composed.valueName.View()),
            std::move(composed)};
}

Hive HiveOf(HKEY root) { return root == HKEY_CURRENT_USER ? Hive::User : Hive::Machine; }

}  // namespace qelcli
