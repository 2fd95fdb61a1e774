// File: StoredSetting.h
//
// What the library reads for a setting, read by the library's own rules but without its
// write-back: its read stores the default when nothing is stored, and looking must not write.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Catalogue.h"
#include "Registry.h"

namespace qelcli {

struct StoredSetting {
    std::optional<Hive> source;  // where the value came from; none: the default applies
    std::u16string text;         // the text read, or the default
    bool tooLongInUser = false;
    bool tooLongInMachine = false;
    // Hives whose read failed for another reason than a missing value, with the registry's
    // answer: the library reads past them as if nothing were stored.
    std::vector<std::pair<Hive, LSTATUS>> failed;
};

StoredSetting ReadStoredSetting(const ConfigEntry& entry);

// The data as the library takes it: UTF-16 up to the first NUL; an odd last byte is dropped.
std::u16string TextOf(const RawValue& value);

}  // namespace qelcli
