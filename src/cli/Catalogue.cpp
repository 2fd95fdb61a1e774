#include "Catalogue.h"

#include <algorithm>
#include <charconv>

namespace qelcli {

namespace {

char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; }

std::u16string Backslashed(std::u16string_view keyPath) {
    std::u16string path(keyPath);
    std::replace(path.begin(), path.end(), u'/', u'\\');
    return path;
}

}  // namespace

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
        if (isNumber ? entry->id == id : EqualsIgnoringCase(entry->keyPath, path)) return entry;
    }
    return nullptr;
}

const ConfigEntry* FindSettingAt(std::u16string_view key, std::u16string_view name) {
    for (const ConfigEntry* entry : AllSettings()) {
        const Location where = LocationOf(*entry);
        const std::u16string_view relative =
            std::u16string_view(where.key).substr(std::char_traits<char16_t>::length(kAppKey));
        const std::u16string_view own = relative.empty() ? relative : relative.substr(1);
        if (EqualsIgnoringCase(own, key) && EqualsIgnoringCase(where.valueName, name)) return entry;
    }
    return nullptr;
}

bool IsSettingKey(std::u16string_view key) {
    for (const ConfigEntry* entry : AllSettings()) {
        const std::u16string path = Backslashed(entry->keyPath);
        // Every proper prefix that ends at a separator is a key of this setting.
        for (size_t end = path.find(u'\\'); end != std::u16string::npos;
             end = path.find(u'\\', end + 1)) {
            if (EqualsIgnoringCase(std::u16string_view(path).substr(0, end), key)) return true;
        }
    }
    return false;
}

ValueType TypeOf(const ConfigEntry& entry) {
    if (*entry.valueType == typeid(bool)) return ValueType::Bool;
    if (*entry.valueType == typeid(int)) return ValueType::Int;
    if (*entry.valueType == typeid(long)) return ValueType::Long;
    return ValueType::Text;
}

const char* TypeName(ValueType type) {
    switch (type) {
        case ValueType::Bool:
            return "bool";
        case ValueType::Int:
            return "int";
        case ValueType::Long:
            return "long";
        case ValueType::Text:
            break;
    }
    return "text";
}

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
    const std::u16string path = Backslashed(entry.keyPath);
    const size_t last = path.rfind(u'\\');
    const std::u16string parent = last == std::u16string::npos ? u"" : path.substr(0, last);
    Location where{entry.scope == ScopeUser ? Hive::User : Hive::Machine, entry.scope == ScopeUser,
                   std::u16string(kAppKey) + u"\\\\" + parent,
                   std::u16string(kAppKey) + (parent.empty() ? u"" : u"\\" + parent),
                   last == std::u16string::npos ? path : path.substr(last + 1)};
    if (parent.empty()) where.composedKey = std::u16string(kAppKey) + u"\\";
    return where;
}

}  // namespace qelcli
