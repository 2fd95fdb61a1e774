// File: CatalogueFacts.h
//
// What the shipped setting catalogue holds, written once for every suite that relies on it: the
// library's index, the tool's catalogue and listing, and the stress tests.
#pragma once

#include <cstddef>
#include <set>

namespace qeltest {

// Settings in the catalogue, and how many of each value type.
inline constexpr std::size_t kSettingCount = 86;
inline constexpr int kBoolSettings = 50;
inline constexpr int kIntSettings = 16;
inline constexpr int kLongSettings = 8;
inline constexpr int kTextSettings = 12;
static_assert(kBoolSettings + kIntSettings + kLongSettings + kTextSettings == kSettingCount);

// The ids of the settings of machine scope (read and written in HKEY_LOCAL_MACHINE only).
inline const std::set<int> kMachineSettings = {9, 26, 32};

}  // namespace qeltest
