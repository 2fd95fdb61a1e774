#include "StoredSetting.h"

namespace qelcli {

std::u16string TextOf(const RawValue& value) {
    return std::u16string(qelsetting::TextOfData(value.data.data(), value.data.size()).View());
}

StoredSetting ReadStoredSetting(const ConfigEntry& entry) {
    const Location where = LocationOf(entry);
    CString text(entry.defaultText);
    const qelsetting::EffectiveRead read =
        qelsetting::ReadEffective(entry.scope, where.composed, text);
    StoredSetting result;
    result.text = text.View();
    if (read.source != nullptr) result.source = HiveOf(read.source);
    const auto order = qelsetting::ReadOrder(entry.scope);
    for (size_t i = 0; i < read.hivesRead; ++i) {
        const Hive hive = HiveOf(order[i]);
        switch (read.hives[i].outcome) {
            case qelsetting::ReadOutcome::TooLong:
                (hive == Hive::User ? result.tooLongInUser : result.tooLongInMachine) = true;
                break;
            case qelsetting::ReadOutcome::Failed:
                result.failed.emplace_back(hive, read.hives[i].status);
                break;
            case qelsetting::ReadOutcome::Read:
            case qelsetting::ReadOutcome::Missing:
                break;
        }
    }
    return result;
}

}  // namespace qelcli
