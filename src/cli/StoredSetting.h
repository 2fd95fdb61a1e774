// File: StoredSetting.h
//
// What the library would read for a setting, found without the library: its read stores the
// default when nothing is stored, and listing must not write. Same rules: the user hive, then
// the machine hive, for user scope; the machine hive alone otherwise; data beyond 1023
// characters counts as not stored; the text is the data up to its first NUL, whatever its type.
#pragma once

#include <optional>
#include <string>

#include "Catalogue.h"
#include "Registry.h"

namespace qelcli {

struct StoredSetting {
    std::optional<Hive> source;  // where the value came from; none: the default applies
    std::u16string text;         // the text read, or the default
    bool tooLongInUser = false;
    bool tooLongInMachine = false;
};

StoredSetting ReadStoredSetting(const ConfigEntry& entry);

// The data as the library takes it: UTF-16 up to the first NUL; an odd last byte is dropped.
std::u16string TextOf(const RawValue& value);

}  // namespace qelcli
