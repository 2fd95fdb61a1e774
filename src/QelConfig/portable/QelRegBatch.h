// File: QelRegBatch.h
//
// Batches of registry changes applied all at once (not Windows): several keys and values changed
// in one transaction of the portable registry, so that a failure, a kill, a full disk or an I/O
// error at any moment leaves the hive with every change or none. The Win32 calls the project
// uses commit each change on its own.
#pragma once

#if !defined(_WIN32)

#include "QelRegistry.h"

#define QELCHANGE_CREATE_KEY 1u    // as RegCreateKeyExW: subKey made, with any missing above it
#define QELCHANGE_DELETE_KEY 2u    // as RegDeleteKeyW: subKey, which must have no sub-keys
#define QELCHANGE_SET_VALUE 3u     // as RegSetValueExW on the existing key subKey
#define QELCHANGE_DELETE_VALUE 4u  // as RegDeleteValueW on the existing key subKey

typedef struct QELREGCHANGE {
    DWORD kind;         // QELCHANGE_*
    LPCWSTR subKey;     // below the key given; null or "" is that key itself
    LPCWSTR valueName;  // for values; null or "" is the unnamed value
    DWORD type;         // for QELCHANGE_SET_VALUE, as its call takes them
    const BYTE* data;
    DWORD size;
} QELREGCHANGE;

// Applies count changes, in order, below hKey (a predefined key or an open handle), all in one
// transaction of hKey's hive. Each change follows the argument rules, and fails with the codes,
// of the registry call it stands for; the first that fails undoes every earlier one, and its
// index goes to *failedIndex (count when the commit itself failed; untouched on success and
// may be null). A key's rights are checked as those calls check them. Nothing is changed when
// the result is not ERROR_SUCCESS (though a missing hive file may have been made). Unlike
// RegSetValueExW, a set stores exactly `size` bytes: it never looks past them for a terminator.
QELPLATFORM_API LSTATUS QelRegApplyChanges(HKEY hKey, const QELREGCHANGE* changes, DWORD count,
                                           DWORD* failedIndex);

#endif
