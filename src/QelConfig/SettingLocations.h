// File: SettingLocations.h
//
// Where each setting of the table lives, worked out once per instance. A read used to compose
// the setting's registry path from the application's names, then split it at its last
// backslash, on every call: about a sixth of a read's time and three allocations. The header
// templates still call _GetRegPath and _GetRegValue with text, so the table answers both by
// text: the key path a row names, and the composed path _GetRegPath handed out (a shared copy,
// which costs no allocation). Text that is not a row's is composed and split as before.
//
// Built in the constructor and never changed afterwards, so reads on several threads (which
// the class does not promise, but which worked before) still do not race.
#pragma once

#include <string_view>
#include <unordered_map>
#include <vector>

#include "QelConfig.h"
#include "SettingRules.h"

namespace qelsetting {

class LocationTable {
public:
    LocationTable(const CString& application, const CString& version, const CString& separator,
                  const ConfigEntry* rows, int rowCount);

    // The composed path of a row's key path, or null when no row has that key path.
    const CString* PathOf(std::u16string_view keyPath) const noexcept;
    // The location of a composed path that PathOf gave, or null. A copy of what PathOf gave
    // shares its text, and is found by that alone, without hashing the text.
    const RegLocation* Find(const CString& path) const noexcept;
    // The location of any composed path: a row's, or else `other`, filled by splitting it.
    const RegLocation& Locate(const CString& path, RegLocation& other) const;

private:
    struct Row {
        CString path;
        RegLocation where;
    };
    std::vector<Row> m_rows;  // never resized once the indexes point into it
    std::unordered_map<std::u16string_view, const Row*> m_byKeyPath;
    std::unordered_map<std::u16string_view, const Row*> m_byPath;
    std::unordered_map<const char16_t*, const Row*> m_byText;  // by the rows' own text buffers
};

}  // namespace qelsetting
