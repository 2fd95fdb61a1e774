// File: CaseFold.h
//
// Registry names compare without regard to case. A name is folded to its uppercase form, one
// UTF-16 code unit at a time, by a fixed table of the Basic Multilingual Plane (never by the
// process locale), so the same name folds the same way in every process and on every machine.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qelplatform {

// The simple uppercase of one code unit; surrogates and unmapped units are returned unchanged.
char16_t FoldUnit(char16_t unit) noexcept;

// The folded name as stored and compared: big-endian code units, so that byte order (SQLite's
// BLOB order) is code-unit order and keys enumerate sorted as the folded names sort.
std::string FoldedKey(std::u16string_view name);
// The same into a caller's buffer, which keeps its capacity across calls.
void FoldInto(std::u16string_view name, std::string& folded);

}  // namespace qelplatform
