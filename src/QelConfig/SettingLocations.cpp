// File: SettingLocations.cpp
#include "SettingLocations.h"

namespace qelsetting {

LocationTable::LocationTable(const CString& application, const CString& version,
                             const CString& separator, const ConfigEntry* rows, int rowCount) {
    m_rows.reserve(static_cast<size_t>(rowCount));
    for (int i = 0; i < rowCount; ++i) {
        CString path = ComposeRegPath(application, version, separator, rows[i].keyPath);
        RegLocation where = SplitRegPath(path);
        m_rows.push_back({std::move(path), std::move(where)});
    }
    // The views point into the table's static texts and into the rows' own strings, which
    // stay where they are: the vector is full.
    for (int i = 0; i < rowCount; ++i) {
        const Row& row = m_rows[static_cast<size_t>(i)];
        m_byKeyPath.emplace(std::u16string_view(rows[i].keyPath), &row);
        m_byPath.emplace(row.path.View(), &row);
        m_byText.emplace(row.path.GetString(), &row);
    }
}

const CString* LocationTable::PathOf(std::u16string_view keyPath) const noexcept {
    const auto it = m_byKeyPath.find(keyPath);
    return it == m_byKeyPath.end() ? nullptr : &it->second->path;
}

const RegLocation* LocationTable::Find(const CString& path) const noexcept {
    // The same buffer holds the same text: a shared text is copied before it is changed.
    if (const auto same = m_byText.find(path.GetString());
        same != m_byText.end() && same->second->path.GetLength() == path.GetLength())
        return &same->second->where;
    const auto it = m_byPath.find(path.View());
    return it == m_byPath.end() ? nullptr : &it->second->where;
}

const RegLocation& LocationTable::Locate(const CString& path, RegLocation& other) const {
    if (const RegLocation* known = Find(path)) return *known;
    other = SplitRegPath(path);
    return other;
}

}  // namespace qelsetting
