// File: Win32Errors.h
//
// The one translation of errno values into Win32 codes, for every file operation of the store.
#pragma once

#include <cerrno>

#include "QelRegistry.h"

namespace qelplatform {

inline LSTATUS MapErrno(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case ENOMEM:
            return ERROR_OUTOFMEMORY;
        default:
            return ERROR_CANTWRITE;
    }
}

}  // namespace qelplatform
