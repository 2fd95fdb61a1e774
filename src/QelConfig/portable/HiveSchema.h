// File: HiveSchema.h
//
// The format of a hive file: an SQLite database holding a tree of keys and the values under them,
// what a file must hold to be taken for one, and the script that makes a new one.
//
// Layout (format 1, application_id 'QELH', user_version 1):
//   keys(id, parent, name, fold)   one row per key; the hive's root is the implicit key 0, and
//                                  ids are AUTOINCREMENT so a deleted key's id never returns
//                                  (an open handle to it then reports ERROR_KEY_DELETED).
//   vals(id, key, name, fold, type, data)
//                                  one row per value; rowid order is creation order.
// name is the name as given (native UTF-16 bytes, case kept); fold is its folded form
// (CaseFold.h), unique per parent. data is the value's bytes exactly as written.
//
// The header ids and the schema are written once, when a hive is built (HiveFile.cpp), and never
// change afterwards; the check compares them exactly.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "QelRegistry.h"
#include "portable/HiveFile.h"

namespace qelplatform {

using KeyId = sqlite3_int64;
inline constexpr KeyId kRootKey = 0;

// Value data is limited well above anything a configuration needs, and SQLite is told the same
// limit, so a crafted hive cannot make a read allocate without bound.
inline constexpr DWORD kMaxValueBytes = 16u << 20;
// The registry's limit on the levels of a tree: a key is at most this many levels below its
// hive's root.
inline constexpr std::size_t kMaxKeyDepth = 512;

// Names are stored as their native UTF-16 bytes.
inline std::u16string NameFromBlob(std::string_view bytes) {
    std::u16string name(bytes.size() / 2, u'\0');
    if (!name.empty()) std::memcpy(name.data(), bytes.data(), name.size() * 2);
    return name;
}

// Checks an existing file through a read-only connection: Open when it is a hive of this format,
// Foreign or Damaged when not, Unavailable when it could not be read (*rc then says why).
HiveStatus CheckFormat(sqlite3* db, const std::string& path, off_t fileSize, int* rc);

// The statements that give an empty database the header ids and schema of a hive.
std::string CreationScript();

}  // namespace qelplatform
