// File: QelHiveInfo.h
//
// Diagnostics of the portable registry (not Windows): which file backs a hive and in what state
// it is, for the command-line tool to report.
#pragma once

#if !defined(_WIN32)

#include "QelRegistry.h"

// Flags reported by QelRegGetHiveInfo.
#define QELHIVE_READONLY_SWITCH 0x80u  // with READONLY: QELCONFIG_READONLY_HIVES names the hive
#define QELHIVE_MISSING 0x01u          // no file yet; the first write creates it
#define QELHIVE_READONLY 0x02u     // writes are refused (QELCONFIG_READONLY_HIVES or permissions)
#define QELHIVE_DAMAGED 0x04u      // not a readable hive (garbage, truncated, broken schema)
#define QELHIVE_FOREIGN 0x08u      // an SQLite database of another program or format version
#define QELHIVE_REFUSED 0x10u      // a symbolic link, not a regular file, or no path
#define QELHIVE_UNAVAILABLE 0x20u  // could not be read just now (I/O error, permissions)
#define QELHIVE_INSECURE \
    0x40u  // with REFUSED: group or others may write it, or a user hive
           // belongs to another user

// For HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE: the hive's file as a NUL-terminated UTF-8 path
// and its QELHIVE_* flags. *pathBufferSize is the buffer's size in bytes and receives the bytes
// needed, with the NUL. A null pathBuffer asks for the size only; a buffer too small gives
// ERROR_MORE_DATA. pathBufferSize and flags may each be null. Other keys: ERROR_INVALID_HANDLE.
QELPLATFORM_API LSTATUS QelRegGetHiveInfo(HKEY root, char* pathBuffer, DWORD* pathBufferSize,
                                          DWORD* flags);

// A health check of the hive behind HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE, made as a new
// process would meet it and changing nothing (it may make a -shm where there was none): whether it
// can be read, and written (a write transaction begun and rolled back), with the real reason when
// either fails.
typedef struct QELHIVECHECK {
    DWORD flags;          // QELHIVE_*, as QelRegGetHiveInfo reports them
    LSTATUS readStatus;   // ERROR_SUCCESS, or what a read gets
    LSTATUS writeStatus;  // ERROR_SUCCESS, or what the next write would get (ERROR_DISK_FULL
                          // also when the file system has little space left)
    char reason[8192];    // UTF-8: what is wrong with which file, and how to mend it; empty
                          // when both succeed
} QELHIVECHECK;

// Other keys: ERROR_INVALID_HANDLE; a null check: ERROR_INVALID_PARAMETER.
QELPLATFORM_API LSTATUS QelRegCheckHive(HKEY root, QELHIVECHECK* check);

#endif
