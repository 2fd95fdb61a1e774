// File: HiveRepair.cpp
//
// QelRegRepairHive. The steps, and why:
// - The hive and its -wal are copied into a private directory and only the copies are opened:
//   an immutable connection would read the main file alone and miss commits still in the -wal,
//   and an ordinary one would take locks on the damaged file or create -shm beside it. The
//   copy is taken again when the file changed while it was being read.
// - The check is SQLite's integrity check on the copy, after the registry's own one (Hive):
//   a bad page in the middle of a hive passes the registry's header and schema checks.
// - The new hive is built by a Hive of its own at a temporary name beside the original, so it
//   gets the schema and modes of any new hive, is checkpointed and closed, and is then linked
//   into place. link() never replaces, so a hive another process made meanwhile is kept.
// - The damaged file moves only after its identity (device, inode, size, modification time) is
//   checked once more, its -wal and -shm before it: a -wal left at the path would be replayed
//   into the next hive made there.
// Limits: nothing locks other processes out. One that has the damaged hive open keeps writing
// to the moved file until it looks at the path again (Hive::Refresh), and those writes are not
// in the new hive.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "portable/Hive.h"
#include "portable/HiveSalvage.h"
#include "portable/QelHiveRepair.h"

using namespace qelplatform;

namespace {

constexpr int kCopyAttempts = 3;

struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};

    bool operator==(const FileId& other) const {
        if (exists != other.exists) return false;
        return !exists ||
               (dev == other.dev && ino == other.ino && size == other.size &&
                mtime.tv_sec == other.mtime.tv_sec && mtime.tv_nsec == other.mtime.tv_nsec);
    }
};

FileId IdOf(const struct stat& st) { return {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim}; }

FileId Identify(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return {};
    return IdOf(st);
}

// Copies a regular file; `id` receives the identity of what was read. A missing source is a
// success with id.exists false.
bool CopyFile(const std::string& from, const std::string& to, FileId* id) {
    *id = {};
    const int in = open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) return errno == ENOENT;
    struct stat st {};
    bool ok = fstat(in, &st) == 0 && S_ISREG(st.st_mode);
    const int out = ok ? open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600) : -1;
    ok = out >= 0;
    char buffer[1 << 16];
    while (ok) {
        const ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < got;) {
            const ssize_t put = write(out, buffer + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            ok = put > 0;
            done += put > 0 ? put : 0;
        }
    }
    if (out >= 0 && close(out) != 0) ok = false;
    close(in);
    if (ok) *id = IdOf(st);
    return ok;
}

// A directory of this process's own, removed with everything in it.
class ScratchDir {
public:
    ScratchDir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/qelconfig-repair-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

struct Snapshot {
    std::string copy;  // the copied hive; its -wal beside it when there was one
    FileId main;
    FileId wal;
};

LSTATUS TakeSnapshot(const std::string& path, const ScratchDir& scratch, Snapshot* out) {
    if (scratch.Path().empty()) return ERROR_CANTWRITE;
    for (int attempt = 0; attempt < kCopyAttempts; ++attempt) {
        const std::string copy = scratch.Path() + "/" + std::to_string(attempt) + ".hive";
        Snapshot snap{copy, {}, {}};
        if (!CopyFile(path, copy, &snap.main) || !snap.main.exists ||
            !CopyFile(path + "-wal", copy + "-wal", &snap.wal))
            return ERROR_REGISTRY_IO_FAILED;
        // Unchanged while it was read: the copies are one state of the hive.
        if (Identify(path) == snap.main && Identify(path + "-wal") == snap.wal) {
            *out = std::move(snap);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_BUSY;
}

std::string UtcStamp() {
    const time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

// rename() that never replaces an existing file.
bool MoveNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without RENAME_NOREPLACE: link() refuses an existing name just the same.
    if (link(from.c_str(), to.c_str()) != 0) return false;
    unlink(from.c_str());
    return true;
}

void SyncDirectoryOf(const std::string& path) {
    const std::string directory = std::filesystem::path(path).parent_path().string();
    const int fd =
        open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

PathParts Split(const std::u16string& path) {
    PathParts parts;
    std::u16string_view rest(path);
    while (!rest.empty()) {
        const std::size_t end = rest.find(u'\\');
        if (end != 0) parts.push_back(rest.substr(0, end));
        if (end == std::u16string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return parts;
}

// Writes the salvaged keys and values into a new hive at `path`, then checkpoints it and
// closes it, so that the file alone holds everything and no -wal or -shm is left beside it.
LSTATUS BuildHive(HiveKind kind, const std::string& path, const HiveSalvage& salvage) {
    {
        Hive fresh(kind, path);
        for (const std::u16string& key : salvage.keys) {
            KeyId id = kRootKey;
            bool created = false;
            if (LSTATUS rc = fresh.CreateKey(kRootKey, Split(key), &id, &created);
                rc != ERROR_SUCCESS)
                return rc;
        }
        for (const SalvagedValue& value : salvage.values) {
            KeyId id = kRootKey;
            bool created = false;
            if (LSTATUS rc = fresh.CreateKey(kRootKey, Split(value.key), &id, &created);
                rc != ERROR_SUCCESS)
                return rc;
            if (LSTATUS rc = fresh.SetValue(id, value.name, value.type,
                                            reinterpret_cast<const BYTE*>(value.data.data()),
                                            static_cast<DWORD>(value.data.size()));
                rc != ERROR_SUCCESS)
                return rc;
        }
    }
    sqlite3* raw = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    SqliteDb db(raw);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(raw, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    db.Close();  // the last connection, without PERSIST_WAL: removes -wal and -shm
    if (rc != SQLITE_OK || Exists(path + "-wal") || Exists(path + "-shm"))
        return ERROR_REGISTRY_IO_FAILED;
    return ERROR_SUCCESS;
}

void DiscardBuilt(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
}

class Report {
public:
    Report(QelHiveRepairNote note, void* context) : m_note(note), m_context(context) {}
    void Say(const char* what, const std::string& text) const {
        m_note(m_context, what, text.c_str(), nullptr, nullptr);
    }
    void Path(const char* what, const std::string* text) const {
        m_note(m_context, what, text == nullptr ? nullptr : text->c_str(), nullptr, nullptr);
    }
    void Lost(const SalvageLoss& loss) const {
        m_note(m_context, loss.isValue ? "lost-value" : "lost-key", loss.reason.c_str(),
               loss.key.c_str(), loss.isValue ? loss.name.c_str() : nullptr);
    }

private:
    QelHiveRepairNote m_note;
    void* m_context;
};

LSTATUS Repair(HiveKind kind, bool checkOnly, const Report& report) {
    const std::string path = HivePath(kind, ProcessEnv);
    HiveStatus status = HiveStatus::Refused;
    if (!path.empty()) status = Hive(kind, path).Status();
    // Not a switch: the statuses that refuse a hive grow with the store's checks.
    if (status == HiveStatus::Missing) {
        report.Say("state", "missing");
        return ERROR_SUCCESS;
    }
    if (status == HiveStatus::Foreign) {
        // Perhaps someone's data at a wrong path: theirs to move, never ours.
        report.Say("state", "foreign");
        return checkOnly ? ERROR_SUCCESS : ERROR_BADDB;
    }
    if (status == HiveStatus::Unavailable) {
        report.Say("state", "unavailable");
        return checkOnly ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
    }
    if (status != HiveStatus::Open && status != HiveStatus::Damaged) {
        report.Say("state", "refused");
        return checkOnly ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    }

    ScratchDir scratch;
    Snapshot snap;
    if (LSTATUS rc = TakeSnapshot(path, scratch, &snap); rc != ERROR_SUCCESS) return rc;
    std::string problem;
    if (status == HiveStatus::Damaged) {
        problem = "not a readable hive (header, schema or size)";
    } else if (!HiveIntact(snap.copy, &problem)) {
        problem = "integrity check: " + problem;
    } else {
        report.Say("state", "healthy");
        return ERROR_SUCCESS;
    }
    report.Say("state", "damaged");
    report.Say("detail", problem);
    if (checkOnly) return ERROR_SUCCESS;
    if (ReadOnlyBySwitch(kind, ProcessEnv)) return ERROR_ACCESS_DENIED;

    const HiveSalvage salvage = SalvageHive(snap.copy);
    const bool anything = !salvage.keys.empty() || !salvage.values.empty();
    const std::string stamp = UtcStamp();
    const std::string built = path + ".repair-" + std::to_string(getpid()) + "-" + stamp;
    if (anything) {
        if (LSTATUS rc = BuildHive(kind, built, salvage); rc != ERROR_SUCCESS) {
            DiscardBuilt(built);
            return rc;
        }
    }

    // The damaged file must still be the one that was read.
    if (!(Identify(path) == snap.main) || !(Identify(path + "-wal") == snap.wal)) {
        DiscardBuilt(built);
        return ERROR_BUSY;
    }
    std::string aside = path + ".corrupt-" + stamp;
    for (int n = 1; Exists(aside) || Exists(aside + "-wal") || Exists(aside + "-shm"); ++n)
        aside = path + ".corrupt-" + stamp + "-" + std::to_string(n);
    std::vector<std::string> moved;
    for (const char* suffix : {"-wal", "-shm"}) {
        if (!Exists(path + suffix)) continue;
        if (!MoveNoReplace(path + suffix, aside + suffix)) {
            const LSTATUS rc =
                errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_REGISTRY_IO_FAILED;
            for (const std::string& back : moved) MoveNoReplace(aside + back, path + back);
            DiscardBuilt(built);
            return rc;
        }
        moved.push_back(suffix);
    }
    const bool mainMoved = MoveNoReplace(path, aside);
    const int moveError = errno;
    const FileId movedId = Identify(aside);
    if (!mainMoved || movedId.dev != snap.main.dev || movedId.ino != snap.main.ino) {
        // Not moved, or another file took the path between the check and the move: put back
        // what was moved.
        if (mainMoved) MoveNoReplace(aside, path);
        for (const std::string& back : moved) MoveNoReplace(aside + back, path + back);
        DiscardBuilt(built);
        if (!mainMoved && (moveError == EACCES || moveError == EPERM)) return ERROR_ACCESS_DENIED;
        return mainMoved ? ERROR_BUSY : ERROR_REGISTRY_IO_FAILED;
    }
    report.Say("moved", aside);
    for (const std::string& suffix : moved) report.Say("moved", aside + suffix);

    LSTATUS result = ERROR_SUCCESS;
    if (anything) {
        // A -wal or -shm at the path now belongs to a program still using the moved file.
        if (Exists(path + "-wal") || Exists(path + "-shm") ||
            link(built.c_str(), path.c_str()) != 0) {
            const std::string kept = path + ".salvaged-" + stamp;
            if (MoveNoReplace(built, kept)) report.Say("detail", "the salvaged hive is " + kept);
            result = ERROR_BUSY;
        } else {
            report.Path("rebuilt", &path);
        }
        unlink(built.c_str());
    } else {
        report.Path("rebuilt", nullptr);
    }
    SyncDirectoryOf(path);
    report.Say("saved-keys", std::to_string(salvage.keys.size()));
    report.Say("saved-values", std::to_string(salvage.values.size()));
    for (const SalvageLoss& loss : salvage.lost) report.Lost(loss);
    for (const std::string& text : salvage.unreadable) report.Say("unreadable", text);
    return result;
}

}  // namespace

LSTATUS QelRegRepairHive(HKEY root, DWORD flags, QelHiveRepairNote note, void* context) {
    if (root != HKEY_CURRENT_USER && root != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
    if (note == nullptr) return ERROR_INVALID_PARAMETER;
    try {
        return Repair(root == HKEY_CURRENT_USER ? HiveKind::User : HiveKind::Machine,
                      (flags & QELREPAIR_CHECK_ONLY) != 0, Report(note, context));
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}
