// File: HiveCheck.cpp
//
// QelRegCheckHive: whether the registry can use a hive, looked at as a new process would, and
// the real reason when it cannot, said once here for every caller.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "portable/Hive.h"
#include "portable/QelHiveInfo.h"

using namespace qelplatform;

namespace {

// Below this much free space a write may fail: a commit appends a few pages to the -wal, and a
// checkpoint can grow the hive by as many.
constexpr unsigned long long kLowSpaceBytes = 1u << 20;

std::string DirectoryOf(const Hive& hive) {
    const std::string& file = hive.File().empty() ? hive.Path() : hive.File();
    return std::filesystem::path(file).parent_path().string();
}

std::string Explain(HiveKind kind, Hive& hive, LSTATUS status, bool forWrite) {
    const std::string& file = hive.Path();
    if (!hive.Distrusted().Trusted()) return DescribeDistrust(kind, hive.Distrusted(), geteuid());
    switch (status) {
        case ERROR_REGISTRY_CORRUPT:
            return file + " is damaged: run qelconfig doctor --repair";
        case ERROR_BADDB:
            return file +
                   " is a database of another program or format version; it is left "
                   "alone: move it away if it is not needed";
        case ERROR_BUSY:
            return file + " is busy: another process held it for the whole wait (5 s)";
        case ERROR_DISK_FULL:
            return "the file system holding " + file + " is full";
        case ERROR_ACCESS_DENIED:
            if (forWrite && ReadOnlyBySwitch(kind, ProcessEnv))
                return file + " is read-only by QELCONFIG_READONLY_HIVES";
            if (hive.Status() == HiveStatus::Refused)
                return file + " is not a regular file (a symbolic link, directory or device)";
            return "this user may not " + std::string(forWrite ? "write " : "read ") + file +
                   " or the directory holding it (" + DirectoryOf(hive) + ")";
        default:
            break;
    }
    // SQLite reads a -wal through the index in -shm, and builds that index in a file of its own
    // only where it may create one.
    if (!forWrite && !hive.File().empty()) {
        struct stat st {};
        const std::string& real = hive.File();
        if (stat((real + "-wal").c_str(), &st) == 0 && stat((real + "-shm").c_str(), &st) != 0 &&
            access(DirectoryOf(hive).c_str(), W_OK) != 0)
            return file + " has a -wal but no -shm, and this user cannot make one in " +
                   DirectoryOf(hive) +
                   " (a read-only file system, or no write access): open it once where it can "
                   "be written, or copy the hive elsewhere";
    }
    const char* name = "an I/O error";
    switch (status) {
        case ERROR_CANTOPEN:
            name = "ERROR_CANTOPEN";
            break;
        case ERROR_CANTREAD:
            name = "ERROR_CANTREAD";
            break;
        case ERROR_CANTWRITE:
            name = "ERROR_CANTWRITE";
            break;
        case ERROR_OUTOFMEMORY:
            name = "ERROR_OUTOFMEMORY";
            break;
        case ERROR_REGISTRY_IO_FAILED:
            name = "ERROR_REGISTRY_IO_FAILED";
            break;
        default:
            break;
    }
    return file + " cannot be " + (forWrite ? "written" : "read") + " (" + name + ")";
}

}  // namespace

LSTATUS QelRegCheckHive(HKEY root, QELHIVECHECK* check) {
    if (root != HKEY_CURRENT_USER && root != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
    if (check == nullptr) return ERROR_INVALID_PARAMETER;
    try {
        const HiveKind kind = root == HKEY_CURRENT_USER ? HiveKind::User : HiveKind::Machine;
        Hive hive(kind, HivePath(kind, ProcessEnv));
        hive.LeaveFilesAsFound();
        *check = QELHIVECHECK{};
        check->flags = hive.InfoFlags();
        check->readStatus = hive.ProbeRead();
        check->writeStatus = hive.ProbeWrite();
        std::string reason;
        if (check->readStatus != ERROR_SUCCESS) {
            reason = Explain(kind, hive, check->readStatus, false);
        } else if (check->writeStatus != ERROR_SUCCESS) {
            reason = Explain(kind, hive, check->writeStatus, true);
        } else if (struct statvfs fs{};
                   statvfs(DirectoryOf(hive).c_str(), &fs) == 0 &&
                   static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize < kLowSpaceBytes) {
            check->writeStatus = ERROR_DISK_FULL;
            reason =
                "the file system holding " + hive.Path() + " has " +
                std::to_string(static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize / 1024) +
                " KiB free: writes may fail";
        }
        const std::size_t length = std::min(reason.size(), sizeof check->reason - 1);
        std::memcpy(check->reason, reason.data(), length);
        check->reason[length] = '\0';
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}
