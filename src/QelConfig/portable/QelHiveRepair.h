// File: QelHiveRepair.h
//
// Checking a hive in full and rebuilding a damaged one (not Windows), for `qelconfig doctor`.
#pragma once

#if !defined(_WIN32)

#include "QelPlatform.h"

// One item of the report, in this order: "leftover" (text: a file an interrupted repair or
// hive creation left beside the hive, kept: its maker still runs, or it is not this user's;
// without QELREPAIR_CHECK_ONLY every other one is removed and reported as "removed"), "state"
// (text: missing, healthy, damaged, foreign, refused, unavailable, or interrupted: a repair
// stopped half-way, which a repair finishes), "detail" (text: why damaged), then for a repair
// "moved" (text: the new name of the file, of its -wal, of its -shm), "rebuilt" (text: the hive's
// path; null when nothing could be saved and no file was made), "saved-keys" and "saved-values"
// (text: a count), "lost-key" (key, text: why), "lost-value" (key, name, text: why) and
// "unreadable" (text). Texts are UTF-8; key paths and names UTF-16; what is not used is null.
typedef void (*QelHiveRepairNote)(void* context, const char* what, const char* text, LPCWSTR key,
                                  LPCWSTR name);

#define QELREPAIR_CHECK_ONLY 0x1u  // report the state, change nothing

// Checks every page of the hive behind HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE and, without
// QELREPAIR_CHECK_ONLY, moves a damaged hive aside with its -wal and -shm
// (<hive>.corrupt-<UTC time>) and builds a new one at its path from every key and value that
// could be read. Call it before this process uses the hive. Returns ERROR_SUCCESS when the
// check or repair was done (losses are in the report), ERROR_BADDB for another program's
// database (left alone), ERROR_ACCESS_DENIED when the hive may not be written or replaced,
// ERROR_BUSY when the file changed while it was being repaired. A repair killed at any moment
// leaves the old hive, the new one, or a note that refuses the hive until a repair finishes.
QELPLATFORM_API LSTATUS QelRegRepairHive(HKEY root, DWORD flags, QelHiveRepairNote note,
                                         void* context);

#endif
