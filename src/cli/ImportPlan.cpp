#include "ImportPlan.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "SettingText.h"
#include "StoredSetting.h"
#include "Utf8.h"

namespace qelcli {

namespace {

char16_t Fold(char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; }

std::u16string Folded(std::u16string_view text) {
    std::u16string folded(text);
    for (auto& c : folded) c = Fold(c);
    return folded;
}

// Where a key line points, relative to the application's key.
struct KeyPlace {
    Hive hive = Hive::User;
    std::u16string key;       // below the hive, single separators
    std::u16string relative;  // below kAppKey; empty for kAppKey itself
    bool ancestor = false;    // kAppKey lies below this key
};

std::optional<KeyPlace> Place(std::u16string_view path, std::string& reason) {
    const size_t slash = path.find(u'\\');
    const std::u16string_view root = path.substr(0, slash);
    KeyPlace place;
    if (EqualsIgnoringCase(root, u"HKEY_CURRENT_USER")) {
        place.hive = Hive::User;
    } else if (EqualsIgnoringCase(root, u"HKEY_LOCAL_MACHINE")) {
        place.hive = Hive::Machine;
    } else {
        reason = Quoted(root) +
                 " is not a hive settings live in (HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE)";
        return std::nullopt;
    }
    // The registry reads a run of separators as one.
    if (slash != std::u16string_view::npos) {
        for (char16_t c : path.substr(slash + 1)) {
            if (c == u'\\' && (place.key.empty() || place.key.back() == u'\\')) continue;
            place.key += c;
        }
        if (!place.key.empty() && place.key.back() == u'\\') place.key.pop_back();
    }
    const std::u16string_view app(kAppKey);
    const std::u16string_view key(place.key);
    if (EqualsIgnoringCase(key, app)) return place;
    if (key.size() > app.size() && key[app.size()] == u'\\' &&
        EqualsIgnoringCase(key.substr(0, app.size()), app)) {
        place.relative = place.key.substr(app.size() + 1);
        return place;
    }
    if (key.empty() || (app.size() > key.size() && app[key.size()] == u'\\' &&
                        EqualsIgnoringCase(app.substr(0, key.size()), key))) {
        place.ancestor = true;
        return place;
    }
    reason = "key " + ToUtf8(path) + " is outside the application's settings (" + ToUtf8(app) + ")";
    return std::nullopt;
}

class Planner {
public:
    explicit Planner(ImportPlan& plan) : m_plan(plan) {}

    void Run(const regfile::Parsed& parsed) {
        for (const regfile::Operation& op : parsed.operations) Apply(op);
        for (const auto& [location, change] : m_touched) {
            (void)location;
            if (change.before == change.after)
                ++m_plan.unchanged;
            else
                m_ordered.emplace_back(m_order.at(location), change);
        }
        std::sort(m_ordered.begin(), m_ordered.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& [order, change] : m_ordered) m_plan.changes.push_back(std::move(change));
    }

private:
    using LocationKey = std::tuple<int, std::u16string, std::u16string>;

    void Fail(int line, std::string reason) { m_plan.errors.push_back({line, std::move(reason)}); }

    void Apply(const regfile::Operation& op) {
        std::string reason;
        const std::optional<KeyPlace> place = Place(op.key, reason);
        if (op.kind == regfile::Operation::OpenKey || op.kind == regfile::Operation::DeleteKey) {
            if (!place) return Fail(op.line, reason);
            if (!place->ancestor && !place->relative.empty() && !IsSettingKey(place->relative))
                return Fail(op.line, "no setting lives in key " + ToUtf8(op.key));
            if (op.kind == regfile::Operation::DeleteKey) DeleteKey(op, *place);
            return;
        }
        // The key line's own error covers the values below it.
        if (!place) return;
        const ConfigEntry* setting =
            place->ancestor ? nullptr : FindSettingAt(place->relative, op.name);
        if (setting == nullptr)
            return Fail(op.line,
                        "no setting is stored as \"" + ToUtf8(op.name) + "\" in " + ToUtf8(op.key));
        const std::string name =
            std::to_string(setting->id) + " (" + ToUtf8(setting->keyPath) + ")";
        if (place->hive == Hive::User && setting->scope != ScopeUser)
            return Fail(op.line, name +
                                     " is a machine setting: the library reads it from "
                                     "HKEY_LOCAL_MACHINE only");
        if (op.kind == regfile::Operation::DeleteValue) {
            if (auto* change = Touch(*place, op.name, setting, op.line)) change->after.reset();
            return;
        }
        if (op.type != regfile::kTypeSz)
            return Fail(op.line,
                        name + " must be text (REG_SZ), not type " + std::to_string(op.type));
        if (op.data.size() % 2 != 0)
            return Fail(op.line, name + ": REG_SZ data of an odd number of bytes");
        if (op.data.size() > kMaxReadableBytes)
            return Fail(op.line, name + ": " + std::to_string(op.data.size()) +
                                     " bytes; the library reads at most " +
                                     std::to_string(kMaxReadableBytes));
        RawValue value{REG_SZ, std::vector<BYTE>(op.data.begin(), op.data.end())};
        if (const std::string bad = CheckSettingText(*setting, TextOf(value)); !bad.empty())
            return Fail(op.line, name + ": " + bad);
        if (auto* change = Touch(*place, op.name, setting, op.line)) change->after = value;
    }

    void DeleteKey(const regfile::Operation& op, const KeyPlace& place) {
        if (place.ancestor)
            return Fail(op.line, "deleting " + ToUtf8(op.key) +
                                     " would delete more than the application's settings");
        std::vector<TreeValue> stored;
        if (const LSTATUS rc = ListTree(place.hive, place.key, stored); rc != ERROR_SUCCESS)
            return Fail(op.line, "cannot read " + ToUtf8(op.key) + ": " + StatusText(rc));
        for (const TreeValue& value : stored) {
            const std::u16string relative = value.key.substr(std::u16string_view(kAppKey).size());
            KeyPlace at = place;
            at.key = value.key;
            const ConfigEntry* setting =
                FindSettingAt(relative.empty() ? relative : relative.substr(1), value.name);
            if (auto* change = Touch(at, value.name, setting, op.line)) change->after.reset();
        }
        // Values that earlier lines of the file set below the key go too.
        const std::u16string prefix = Folded(place.key);
        for (auto& [location, change] : m_touched) {
            const std::u16string& key = std::get<1>(location);
            if (std::get<0>(location) == static_cast<int>(place.hive) &&
                key.compare(0, prefix.size(), prefix) == 0 &&
                (key.size() == prefix.size() || key[prefix.size()] == u'\\'))
                change.after.reset();
        }
        m_plan.deletedKeys.emplace_back(place.hive, place.key);
    }

    PlannedChange* Touch(const KeyPlace& place, const std::u16string& name,
                         const ConfigEntry* setting, int line) {
        const LocationKey location{static_cast<int>(place.hive), Folded(place.key), Folded(name)};
        auto found = m_touched.find(location);
        if (found != m_touched.end()) return &found->second;
        PlannedChange change{place.hive,   place.key,    name, setting,
                             std::nullopt, std::nullopt, line};
        RawValue current;
        const LSTATUS rc = ReadValue(place.hive, place.key, name, current);
        if (rc == ERROR_SUCCESS) {
            change.before = current;
        } else if (rc != ERROR_FILE_NOT_FOUND) {
            Fail(line, "cannot read the current value of " + ToUtf8(name) + ": " + StatusText(rc));
            return nullptr;
        }
        change.after = change.before;
        m_order.emplace(location, m_order.size());
        return &m_touched.emplace(location, std::move(change)).first->second;
    }

    ImportPlan& m_plan;
    std::map<LocationKey, PlannedChange> m_touched;
    std::map<LocationKey, size_t> m_order;
    std::vector<std::pair<size_t, PlannedChange>> m_ordered;
};

}  // namespace

ImportPlan PlanImport(const regfile::Parsed& parsed) {
    ImportPlan plan;
    plan.errors = parsed.errors;
    Planner(plan).Run(parsed);
    std::stable_sort(
        plan.errors.begin(), plan.errors.end(),
        [](const regfile::Error& a, const regfile::Error& b) { return a.line < b.line; });
    return plan;
}

}  // namespace qelcli
