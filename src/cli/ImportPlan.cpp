#include "ImportPlan.h"

#include <algorithm>
#include <map>
#include <set>
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
    std::u16string relative;  // below AppKey(); empty for it itself
    bool ancestor = false;    // AppKey() lies below this key
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
    if (slash != std::u16string_view::npos)
        place.key = qelsetting::NormalisedKey(path.substr(slash + 1));
    const std::u16string_view app(AppKey());
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

class Planner : public regfile::ParseSink {
public:
    Planner(ImportPlan& plan, const std::function<void(const regfile::Error&)>& onError)
        : m_plan(plan), m_onError(onError) {}

    void OnOperation(regfile::Operation&& op) override { Apply(op); }
    void OnError(regfile::Error&& error) override { Fail(error.line, std::move(error.reason)); }

    // Once the whole file is read: the changes in the order first touched.
    void Finish() {
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

    void Fail(int line, std::string reason) {
        ++m_plan.errors;
        m_onError({line, std::move(reason)});
    }

    void Apply(const regfile::Operation& op) {
        std::string reason;
        const std::optional<KeyPlace> place = Place(op.key, reason);
        if (place &&
            std::find(m_plan.hives.begin(), m_plan.hives.end(), place->hive) == m_plan.hives.end())
            m_plan.hives.push_back(place->hive);
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
        if (op.type != qelsetting::kStoredType)
            return Fail(op.line, name + " must be text (REG_SZ), not " + RegTypeName(op.type));
        if (op.data.size() % 2 != 0)
            return Fail(op.line, name + ": REG_SZ data of an odd number of bytes");
        if (op.data.size() > kMaxReadableBytes)
            return Fail(op.line, name + ": " + std::to_string(op.data.size()) +
                                     " bytes; the library reads at most " +
                                     std::to_string(kMaxReadableBytes));
        const RawValue given{REG_SZ, std::vector<BYTE>(op.data.begin(), op.data.end())};
        const SettingText checked = CheckSettingText(*setting, TextOf(given));
        if (!checked.refusal.empty()) return Fail(op.line, name + ": " + checked.refusal);
        // Stored as `set` stores it: the canonical text ("TRUE" as "true"), terminated.
        if (auto* change = Touch(*place, op.name, setting, op.line))
            change->after =
                RawValue{qelsetting::kStoredType, qelsetting::StoredData(checked.canonical)};
    }

    void DeleteKey(const regfile::Operation& op, const KeyPlace& place) {
        if (place.ancestor)
            return Fail(op.line, "deleting " + ToUtf8(op.key) +
                                     " would delete more than the application's settings");
        const std::u16string prefix = Folded(place.key);
        std::set<std::u16string, std::less<>>& deleted = m_deleted[static_cast<int>(place.hive)];
        if (!DeletedBefore(deleted, prefix)) {
            if (!ListDeleted(op, place)) return;
            deleted.insert(prefix);
            m_plan.deletedKeys.emplace_back(place.hive, place.key);
        }
        // Values that earlier lines of the file set below the key go too.
        for (auto& [location, change] : m_touched) {
            const std::u16string& key = std::get<1>(location);
            if (std::get<0>(location) == static_cast<int>(place.hive) &&
                key.compare(0, prefix.size(), prefix) == 0 &&
                (key.size() == prefix.size() || key[prefix.size()] == u'\\'))
                change.after.reset();
        }
    }

    // Whether a [-KEY] line before deleted this folded key or one above it.
    static bool DeletedBefore(const std::set<std::u16string, std::less<>>& deleted,
                              std::u16string_view key) {
        for (;;) {
            if (deleted.find(key) != deleted.end()) return true;
            const size_t separator = key.rfind(u'\\');
            if (separator == std::u16string_view::npos) return false;
            key = key.substr(0, separator);
        }
    }

    // Touches every value stored at and below the key of a [-KEY] line, to be deleted. A key
    // the walk cannot read would survive the deletion unseen, so the line is refused instead.
    bool ListDeleted(const regfile::Operation& op, const KeyPlace& place) {
        TreeVisit visit;
        visit.enter = [&](const std::u16string& key, std::vector<NamedValue>& values) {
            const std::u16string_view relative = std::u16string_view(key).substr(AppKey().size());
            KeyPlace at = place;
            at.key = key;
            for (const NamedValue& value : values) {
                const ConfigEntry* setting =
                    FindSettingAt(relative.empty() ? relative : relative.substr(1), value.name);
                if (auto* change = Touch(at, value.name, setting, op.line, &value.value))
                    change->after.reset();
            }
        };
        std::vector<SkippedKey> skipped;
        const LSTATUS rc = WalkTree(place.hive, place.key, visit, skipped);
        if (rc != ERROR_SUCCESS)
            Fail(op.line, "cannot read " + ToUtf8(op.key) + ": " + StatusText(rc));
        for (const SkippedKey& key : skipped)
            Fail(op.line,
                 "cannot delete " + ToUtf8(op.key) +
                     ", as not all below it can be read: " + DescribeSkipped(place.hive, key));
        return rc == ERROR_SUCCESS && skipped.empty();
    }

    // `current`: the stored value when the caller has just read it, null to read it here.
    PlannedChange* Touch(const KeyPlace& place, const std::u16string& name,
                         const ConfigEntry* setting, int line, const RawValue* current = nullptr) {
        const LocationKey location{static_cast<int>(place.hive), Folded(place.key), Folded(name)};
        auto found = m_touched.find(location);
        if (found != m_touched.end()) return &found->second;
        PlannedChange change{place.hive,   place.key,    name, setting,
                             std::nullopt, std::nullopt, line};
        RawValue stored;
        const LSTATUS rc =
            current != nullptr ? ERROR_SUCCESS : ReadValue(place.hive, place.key, name, stored);
        if (rc == ERROR_SUCCESS) {
            change.before = current != nullptr ? *current : stored;
        } else if (rc != ERROR_FILE_NOT_FOUND) {
            Fail(line, "cannot read the current value of " + ToUtf8(name) + ": " + StatusText(rc));
            return nullptr;
        }
        change.after = change.before;
        m_order.emplace(location, m_order.size());
        return &m_touched.emplace(location, std::move(change)).first->second;
    }

    ImportPlan& m_plan;
    const std::function<void(const regfile::Error&)>& m_onError;
    // Keys that [-KEY] lines deleted, folded: another line deleting one of them, or a key below
    // one, finds every stored value already touched, so the tree is walked once.
    std::map<int, std::set<std::u16string, std::less<>>> m_deleted;
    std::map<LocationKey, PlannedChange> m_touched;
    std::map<LocationKey, size_t> m_order;
    std::vector<std::pair<size_t, PlannedChange>> m_ordered;
};

}  // namespace

ImportPlan PlanImport(std::string_view fileBytes,
                      const std::function<void(const regfile::Error&)>& onError) {
    ImportPlan plan;
    Planner planner(plan, onError);
    regfile::Parse(fileBytes, planner);
    planner.Finish();
    return plan;
}

}  // namespace qelcli
