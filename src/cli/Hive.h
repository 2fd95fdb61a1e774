// File: Hive.h
//
// The two registry hives that settings live in.
#pragma once

#include "QelRegistry.h"

namespace qelcli {

enum class Hive { User, Machine };

inline constexpr Hive kHives[] = {Hive::User, Hive::Machine};

inline HKEY RootOf(Hive hive) {
    return hive == Hive::User ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}
inline const char* HiveName(Hive hive) {
    return hive == Hive::User ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}
inline const char16_t* HiveName16(Hive hive) {
    return hive == Hive::User ? u"HKEY_CURRENT_USER" : u"HKEY_LOCAL_MACHINE";
}

}  // namespace qelcli
