// File: HiveFile.cpp
//
// The checks of a hive file before SQLite opens it, its status when refused, its creation, and
// the look at its path on each call that notices it replaced or removed (HiveFile.h).
#include "portable/HiveFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>

#include "portable/HiveConnection.h"
#include "portable/HiveSchema.h"
#include "portable/PosixSystem.h"
#include "portable/QelHiveInfo.h"
#include "portable/Win32Errors.h"

namespace qelplatform {

namespace {

// How often the hive's path is looked up again to notice a file moved away and replaced while
// still linked elsewhere.
constexpr std::int64_t kPathCheckIntervalMs = 1000;

bool CanWrite(const std::string& path) {
    return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

bool HiveWritable(const std::string& path) {
    if (!CanWrite(path)) return false;
    const std::string directory = std::filesystem::path(path).parent_path().string();
    return CanWrite(directory.empty() ? "." : directory) ||
           (CanWrite(path + "-wal") && CanWrite(path + "-shm"));
}

// An unfinished repair refuses the hive for a while; anything else for want of trust.
HiveStatus StatusFor(const TrustVerdict& verdict) {
    return verdict.why == Distrust::Repairing ? HiveStatus::Refused : HiveStatus::Insecure;
}

// Creates the missing directories of a hive path with the given mode (exactly, whatever the
// umask); existing ones are left as they are.
LSTATUS MakeDirectories(const std::filesystem::path& directory, mode_t mode) {
    std::filesystem::path partial;
    for (const auto& part : directory) {
        partial /= part;
        if (mkdir(partial.c_str(), mode) == 0) {
            if (chmod(partial.c_str(), mode) != 0) return MapErrno(errno);
        } else if (errno != EEXIST) {
            return MapErrno(errno);
        }
    }
    return ERROR_SUCCESS;
}

// Only for files no connection has open: closing a descriptor drops every POSIX lock this
// process holds on the file, SQLite's included.
bool SyncFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

void SyncDirectory(const std::filesystem::path& directory) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

std::atomic<unsigned> g_tempCounter{0};

}  // namespace

void HiveFile::ClosePathFd() noexcept {
    // An O_PATH descriptor holds no POSIX locks, so closing it cannot drop SQLite's.
    if (m_pathFd >= 0) close(m_pathFd);
    m_pathFd = -1;
}

void HiveFile::Examine() {
    ClosePathFd();
    m_openError = ERROR_SUCCESS;
    m_distrust = {};
    m_exists = false;
    m_euid = geteuid();
    m_nextPathCheck = CoarseMilliseconds() + kPathCheckIntervalMs;
    m_nextIdentityCheck = 0;
    m_file = m_path.empty() ? std::string() : ResolveHivePath(m_path);
    if (m_file.empty()) {
        // No directory yet (the first write makes it), or a path that cannot name a file.
        if (m_path.empty() || errno == EINVAL) {
            m_status = HiveStatus::Refused;
        } else if (errno == ENOENT || errno == ENOTDIR) {
            m_status = HiveStatus::Missing;
        } else {
            m_status = HiveStatus::Unavailable;
            m_openError = MapErrno(errno);
        }
        return;
    }
    struct stat st {};
    if (lstat(m_file.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            m_status = HiveStatus::Missing;
            // A hive made in a directory others may write, or beside files left there, would
            // be planted on from the start.
            m_distrust = CheckSurroundings(m_kind, m_file, false, m_euid);
            if (!m_distrust.Trusted()) m_status = StatusFor(m_distrust);
        } else {
            m_status = HiveStatus::Unavailable;
            m_openError = MapErrno(errno);
        }
        return;
    }
    m_exists = true;
    m_dev = st.st_dev;
    m_ino = st.st_ino;
    m_mode = st.st_mode;
    m_owner = st.st_uid;
    m_distrust = CheckHiveFile(m_kind, m_file, st, m_euid);
    if (m_distrust.why == Distrust::NotRegular) {
        m_status = HiveStatus::Refused;
        return;
    }
    // Kept to see, with one fstat() per call, whether the file was removed or changed mode.
    m_pathFd = OpenPathOnly(m_file.c_str());
    struct stat opened {};
    if (m_pathFd < 0 || fstat(m_pathFd, &opened) != 0 || opened.st_dev != m_dev ||
        opened.st_ino != m_ino) {
        m_status = HiveStatus::Unavailable;
        m_openError = ERROR_CANTOPEN;
        ClosePathFd();
        return;
    }
    if (m_distrust.Trusted()) m_distrust = CheckSurroundings(m_kind, m_file, true, m_euid);
    if (!m_distrust.Trusted()) {
        m_status = StatusFor(m_distrust);
        return;
    }
    SqliteDb check;
    int rc = OpenForCheck(m_file, &check);
    if (rc == SQLITE_OK) {
        m_status = CheckFormat(check.Get(), m_file, st.st_size, &rc);
    } else {
        m_status = rc == SQLITE_CANTOPEN_SYMLINK ? HiveStatus::Refused : HiveStatus::Unavailable;
    }
    if (m_status == HiveStatus::Unavailable) m_openError = MapSqlite(rc);
}

bool HiveFile::LookAgain(bool thorough) {
    if (m_path.empty()) return true;
    struct stat st {};
    // Removed, or replaced by a rename over it (both unlink it), or chmod/chown'ed.
    if (m_pathFd >= 0 && (fstat(m_pathFd, &st) != 0 || st.st_nlink == 0 || st.st_mode != m_mode ||
                          st.st_uid != m_owner))
        return false;
    // Moved elsewhere, whatever is at the path now: no write may follow it.
    if (thorough && m_pathFd >= 0 && !AtPath()) return false;
    // Without a descriptor to look through, the path is looked up on every call instead.
    m_nextIdentityCheck = m_pathFd >= 0 ? CoarseMilliseconds() + kIdentityCheckIntervalMs : 0;
    // Moved elsewhere with another file put in its place, a directory link pointed elsewhere,
    // files planted beside it or taken away, or the process changed user: within
    // kPathCheckIntervalMs. A path lookup on every call would cost more than the read itself.
    const std::int64_t now = CoarseMilliseconds();
    if (m_pathFd >= 0 && now < m_nextPathCheck) return true;
    m_nextPathCheck = now + kPathCheckIntervalMs;
    if (geteuid() != m_euid) return false;
    if (ResolveHivePath(m_path) != m_file) return false;
    if (lstat(m_file.c_str(), &st) != 0) return false;
    if (st.st_dev != m_dev || st.st_ino != m_ino) return false;
    // A verdict on the file itself changes with its mode or owner, seen above; one on its
    // surroundings is looked at again here, either way.
    if (m_distrust.Trusted() || m_distrust.file != m_file)
        return CheckSurroundings(m_kind, m_file, true, m_euid).why == m_distrust.why;
    return true;
}

bool HiveFile::AtPath() const {
    struct stat st {};
    return lstat(m_file.c_str(), &st) == 0 && st.st_dev == m_dev && st.st_ino == m_ino;
}

bool HiveFile::Writable() const { return HiveWritable(m_file); }

bool HiveFile::WritesRefused() const {
    if (ReadOnlyBySwitch(m_kind, ProcessEnv)) return true;
    return m_status == HiveStatus::Refused || m_status == HiveStatus::Insecure ||
           (m_status == HiveStatus::Open && !Writable());
}

DWORD HiveFile::InfoFlags() const {
    DWORD flags = 0;
    switch (m_status) {
        case HiveStatus::Missing:
            flags = QELHIVE_MISSING;
            break;
        case HiveStatus::Open:
            break;
        case HiveStatus::Damaged:
            flags = QELHIVE_DAMAGED | QELHIVE_READONLY;
            break;
        case HiveStatus::Foreign:
            flags = QELHIVE_FOREIGN | QELHIVE_READONLY;
            break;
        case HiveStatus::Refused:
            flags = QELHIVE_REFUSED | QELHIVE_READONLY;
            break;
        case HiveStatus::Insecure:
            flags = QELHIVE_REFUSED | QELHIVE_INSECURE | QELHIVE_READONLY;
            break;
        case HiveStatus::Unavailable:
            flags = QELHIVE_UNAVAILABLE;
            break;
    }
    if (ReadOnlyBySwitch(m_kind, ProcessEnv)) flags |= QELHIVE_READONLY | QELHIVE_READONLY_SWITCH;
    if (m_status == HiveStatus::Open && !Writable()) flags |= QELHIVE_READONLY;
    return flags;
}

LSTATUS HiveFile::StatusError(LSTATUS unavailable) const {
    switch (m_status) {
        case HiveStatus::Open:
            return ERROR_SUCCESS;
        case HiveStatus::Damaged:
            return ERROR_REGISTRY_CORRUPT;
        case HiveStatus::Foreign:
            return ERROR_BADDB;
        case HiveStatus::Refused:
        case HiveStatus::Insecure:
            return ERROR_ACCESS_DENIED;
        case HiveStatus::Missing:
        case HiveStatus::Unavailable:
            break;
    }
    return m_openError != ERROR_SUCCESS ? m_openError : unavailable;
}

LSTATUS HiveFile::Create() {
    if (m_path.empty()) return ERROR_ACCESS_DENIED;
    const bool user = m_kind == HiveKind::User;
    // The user's settings are private; the machine's are readable by every user.
    if (LSTATUS made =
            MakeDirectories(std::filesystem::path(m_path).parent_path(), user ? 0700 : 0755);
        made != ERROR_SUCCESS)
        return made;
    // The directory may have been made just now: resolved again, and held to the same rules as
    // an existing one.
    const std::string file = ResolveHivePath(m_path);
    if (file.empty()) return MapErrno(errno);
    if (!CheckSurroundings(m_kind, file, false, geteuid()).Trusted()) return ERROR_ACCESS_DENIED;
    const std::filesystem::path target(file);
    const mode_t mode = user ? 0600 : 0644;
    const std::string temp = file + ".new-" + std::to_string(getpid()) + "-" +
                             std::to_string(g_tempCounter.fetch_add(1));
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return MapErrno(errno);
    const bool modeSet = fchmod(fd, mode) == 0;
    const int modeError = errno;
    close(fd);  // nothing else in this process can have the brand-new file open
    auto discard = [&temp] {
        unlink(temp.c_str());
        unlink((temp + "-journal").c_str());
        unlink((temp + "-wal").c_str());
        unlink((temp + "-shm").c_str());
    };
    if (!modeSet) {
        discard();
        return MapErrno(modeError);
    }
    {
        // A failed build is thrown away, so it needs no journal and no syncs of its own; one
        // fsync below makes the finished file durable before it is linked into place.
        SqliteDb db;
        int rc = OpenHardened(temp, SQLITE_OPEN_READWRITE, &db);
        if (rc == SQLITE_OK) rc = ExecSql(db.Get(), "PRAGMA journal_mode = OFF");
        if (rc == SQLITE_OK) rc = ExecSql(db.Get(), "PRAGMA synchronous = OFF");
        if (rc == SQLITE_OK) rc = ExecSql(db.Get(), CreationScript().c_str());
        if (rc == SQLITE_OK) rc = ExecSql(db.Get(), "PRAGMA journal_mode = WAL");
        if (rc != SQLITE_OK) {
            db.Close();
            discard();
            return MapSqlite(rc);
        }
    }  // the close leaves a WAL-mode file without -wal and -shm
    if (!SyncFile(temp)) {
        const int syncError = errno;
        discard();
        return MapErrno(syncError);
    }
    LSTATUS status = ERROR_SUCCESS;
    // link() never replaces: when another process created the hive first, its file stays.
    if (link(temp.c_str(), file.c_str()) != 0 && errno != EEXIST) {
        const int linkError = errno;
        struct stat st {};
        // Some file systems have no hard links; rename is then the best there is.
        if ((linkError == EPERM || linkError == ENOTSUP || linkError == EMLINK) &&
            lstat(file.c_str(), &st) != 0 && errno == ENOENT) {
            if (rename(temp.c_str(), file.c_str()) != 0) status = MapErrno(errno);
        } else {
            status = MapErrno(linkError);
        }
    }
    discard();
    if (status == ERROR_SUCCESS) SyncDirectory(target.parent_path());
    return status;
}

LSTATUS HiveFile::ProbeCreate() const {
    // The nearest directory that exists must take the new ones and the file.
    std::filesystem::path directory = std::filesystem::path(m_path).parent_path();
    struct stat st {};
    while (!directory.empty() && stat(directory.c_str(), &st) != 0)
        directory = directory.parent_path();
    if (faccessat(AT_FDCWD, directory.empty() ? "." : directory.c_str(), W_OK | X_OK, AT_EACCESS) !=
        0)
        return MapErrno(errno);
    return ERROR_SUCCESS;
}

}  // namespace qelplatform
