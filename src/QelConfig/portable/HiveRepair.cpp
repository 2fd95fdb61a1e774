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
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <limits.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "portable/Hive.h"
#include "portable/HiveSalvage.h"
#include "portable/HiveTrust.h"
#include "portable/PosixSystem.h"
#include "portable/Win32Errors.h"
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

FileId IdOf(const struct stat& st) {
    return {true, st.st_dev, st.st_ino, st.st_size, ModificationTime(st)};
}

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

void SyncDirectoryOf(const std::string& path) {
    const std::string directory = std::filesystem::path(path).parent_path().string();
    const int fd =
        open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// For tests only: QELCONFIG_TEST_REPAIR_STOP=N kills the process at the Nth step of a repair
// that changes files, so that a test can show every interrupted state is recoverable.
void StepDone() {
    static int step = 0;
    static const char* const stop = std::getenv("QELCONFIG_TEST_REPAIR_STOP");
    if (stop != nullptr && std::atoi(stop) == ++step) raise(SIGKILL);
}

// What a repair is about to do, written beside the hive before its first change there. While
// it exists the registry refuses the hive, and the next repair finishes the switch from it: a
// repair killed at any point leaves the old hive whole, or the new one, or this note.
struct RepairIntent {
    std::string aside;  // where the damaged hive and its companions are kept
    std::string built;  // the rebuilt hive to put in its place; empty when nothing was saved
};

bool WriteIntent(const std::string& path, const RepairIntent& intent) {
    const std::string text = "aside=" + intent.aside + "\nbuilt=" + intent.built + "\n";
    const int fd = open(RepairIntentPath(path).c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = fsync(fd) == 0 && ok;
    const int error = errno;
    close(fd);
    if (!ok) {
        unlink(RepairIntentPath(path).c_str());
        errno = error == 0 ? EIO : error;
        return false;
    }
    SyncDirectoryOf(path);
    return true;
}

std::optional<RepairIntent> ReadIntent(const std::string& path) {
    const int fd = open(RepairIntentPath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char buffer[3 * PATH_MAX];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    close(fd);
    if (got <= 0) return std::nullopt;
    RepairIntent intent;
    std::string_view text(buffer, static_cast<std::size_t>(got));
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        if (line.rfind("aside=", 0) == 0) intent.aside = line.substr(6);
        if (line.rfind("built=", 0) == 0) intent.built = line.substr(6);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    // Only names beside the hive, as a repair writes them.
    const auto beside = [&path](const std::string& name) {
        return name.size() > path.size() && name.compare(0, path.size(), path) == 0 &&
               name.find('/', path.size()) == std::string::npos;
    };
    if (!beside(intent.aside) || (!intent.built.empty() && !beside(intent.built)))
        return std::nullopt;
    return intent;
}

// Keeps the damaged hive under the aside name and puts the rebuilt one in its place. Every step
// looks at what is done already, so a switch killed half-way is finished by running it again.
// The old files are linked, not moved, so that the path has the old hive until the rename
// replaces it; the -wal and -shm go before that rename, as they would be replayed into the new
// hive. Between the two the path holds the old hive without its -wal: the intent, there all
// along, makes the registry refuse the hive until the switch is done.
LSTATUS CompleteSwitch(const std::string& path, const RepairIntent& intent) {
    const bool replaced = !intent.built.empty() && !Exists(intent.built);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string from = path + suffix;
        const std::string to = intent.aside + suffix;
        if (replaced || !Exists(from) || Exists(to)) continue;
        if (link(from.c_str(), to.c_str()) != 0) return MapErrno(errno);
        StepDone();
    }
    SyncDirectoryOf(path);
    for (const char* suffix : {"-wal", "-shm"}) {
        if (unlink((path + suffix).c_str()) != 0 && errno != ENOENT) return MapErrno(errno);
        StepDone();
    }
    if (!intent.built.empty()) {
        if (!replaced && rename(intent.built.c_str(), path.c_str()) != 0) return MapErrno(errno);
    } else if (Exists(intent.aside) && Identify(path).ino == Identify(intent.aside).ino &&
               unlink(path.c_str()) != 0 && errno != ENOENT) {
        return MapErrno(errno);
    }
    SyncDirectoryOf(path);
    StepDone();
    if (unlink(RepairIntentPath(path).c_str()) != 0 && errno != ENOENT) return MapErrno(errno);
    SyncDirectoryOf(path);
    return ERROR_SUCCESS;
}

// Files a killed repair or hive creation left beside the hive: a rebuilt hive never linked in,
// or a new hive never finished (named <hive>.repair-<pid>-... and <hive>.new-<pid>-...). Those
// whose maker still runs are in use and not listed.
std::vector<std::string> Leftovers(const std::string& path) {
    std::vector<std::string> found;
    const std::filesystem::path hive(path);
    const std::string name = hive.filename().string();
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(hive.parent_path(), error)) {
        const std::string other = entry.path().filename().string();
        for (const std::string kind : {".repair-", ".new-"}) {
            if (other.rfind(name + kind, 0) != 0) continue;
            const long maker = std::strtol(other.c_str() + name.size() + kind.size(), nullptr, 10);
            if (maker > 0 && (kill(static_cast<pid_t>(maker), 0) == 0 || errno != ESRCH)) continue;
            found.push_back(entry.path().string());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
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
        // One transaction: a repair stopped half-way never leaves a half-built hive to link in.
        Hive fresh(kind, path);
        std::vector<Hive::Change> changes;
        changes.reserve(salvage.keys.size() + salvage.values.size());
        for (const std::u16string& key : salvage.keys)
            changes.push_back(
                {Hive::Change::Kind::CreateKey, kRootKey, Split(key), {}, REG_NONE, nullptr, 0});
        for (const SalvagedValue& value : salvage.values) {
            changes.push_back({Hive::Change::Kind::SetValue, kRootKey, Split(value.key), value.name,
                               static_cast<DWORD>(value.type),
                               reinterpret_cast<const BYTE*>(value.data.data()),
                               static_cast<DWORD>(value.data.size())});
        }
        std::size_t failed = 0;
        if (LSTATUS rc = fresh.ApplyBatch(changes, &failed); rc != ERROR_SUCCESS) return rc;
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

// The items of a salvage that did not make it into the rebuilt hive, for the report.
void NoteLosses(const HiveSalvage& salvage, QelHiveRepairReport& report) {
    for (const SalvageLoss& loss : salvage.lost)
        report.lost.push_back(
            {loss.key, loss.isValue ? loss.name : std::u16string(), loss.isValue, loss.reason});
    report.unreadable.insert(report.unreadable.end(), salvage.unreadable.begin(),
                             salvage.unreadable.end());
}

// The files of the damaged hive that are now kept under `aside`.
void NoteMoved(const std::string& aside, QelHiveRepairReport& report) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        if (Exists(aside + suffix)) report.moved.push_back(aside + suffix);
    }
}

LSTATUS Repair(HiveKind kind, bool checkOnly, QelHiveRepairReport& report) {
    const std::string configured = HivePath(kind, ProcessEnv);
    // Links among the directories are followed, as the registry follows them.
    const std::string path = configured.empty() ? configured : ResolveHivePath(configured);
    if (path.empty() && !configured.empty() && errno == ENOENT) {
        report.state = QelHiveState::Missing;
        return ERROR_SUCCESS;
    }
    if (std::optional<RepairIntent> intent = path.empty() ? std::nullopt : ReadIntent(path)) {
        report.state = QelHiveState::Interrupted;
        report.details.push_back(
            "a repair was interrupted before the rebuilt hive took its place; "
            "the damaged one is kept as " +
            intent->aside);
        if (checkOnly) return ERROR_SUCCESS;
        if (ReadOnlyBySwitch(kind, ProcessEnv)) return ERROR_ACCESS_DENIED;
        if (LSTATUS rc = CompleteSwitch(path, *intent); rc != ERROR_SUCCESS) return rc;
        NoteMoved(intent->aside, report);
        report.replaced = true;
        if (!intent->built.empty()) report.rebuilt = path;
        return ERROR_SUCCESS;
    }
    for (const std::string& leftover : Leftovers(path)) {
        // Only files of this user's own: anything else is not a leftover of ours.
        struct stat st {};
        const bool ours =
            lstat(leftover.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
        if (checkOnly || !ours || ReadOnlyBySwitch(kind, ProcessEnv)) {
            report.leftovers.push_back(leftover);
        } else if (unlink(leftover.c_str()) == 0) {
            report.removed.push_back(leftover);
        }
    }
    HiveStatus status = HiveStatus::Refused;
    if (!path.empty()) status = Hive(kind, path).Status();
    // Not a switch: the statuses that refuse a hive grow with the store's checks.
    if (status == HiveStatus::Missing) {
        report.state = QelHiveState::Missing;
        return ERROR_SUCCESS;
    }
    if (status == HiveStatus::Foreign) {
        // Perhaps someone's data at a wrong path: theirs to move, never ours.
        report.state = QelHiveState::Foreign;
        return checkOnly ? ERROR_SUCCESS : ERROR_BADDB;
    }
    if (status == HiveStatus::Unavailable) {
        report.state = QelHiveState::Unavailable;
        return checkOnly ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
    }
    if (status != HiveStatus::Open && status != HiveStatus::Damaged) {
        report.state = QelHiveState::Refused;
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
        report.state = QelHiveState::Healthy;
        return ERROR_SUCCESS;
    }
    report.state = QelHiveState::Damaged;
    report.details.push_back(problem);
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
    const RepairIntent intent{aside, anything ? built : std::string()};
    StepDone();
    if (!WriteIntent(path, intent)) {
        const LSTATUS rc = MapErrno(errno);
        DiscardBuilt(built);
        return rc;
    }
    StepDone();
    if (LSTATUS rc = CompleteSwitch(path, intent); rc != ERROR_SUCCESS) {
        // Left with its intent: the hive is refused until the next repair finishes the switch.
        report.details.push_back("the repair stopped half-way: " +
                                 std::string(std::strerror(errno)));
        return rc;
    }
    NoteMoved(aside, report);
    report.replaced = true;
    if (anything) report.rebuilt = path;
    report.savedKeys = salvage.keys.size();
    report.savedValues = salvage.values.size();
    NoteLosses(salvage, report);
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS QelRegRepairHive(HKEY root, DWORD flags, QelHiveRepairReport* report) {
    if (root != HKEY_CURRENT_USER && root != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
    if (report == nullptr) return ERROR_INVALID_PARAMETER;
    try {
        *report = QelHiveRepairReport();
        return Repair(root == HKEY_CURRENT_USER ? HiveKind::User : HiveKind::Machine,
                      (flags & QELREPAIR_CHECK_ONLY) != 0, *report);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}
