// File: HiveFile.h
//
// The file behind a hive: whether it may be read at all (its checks, and the status a refusal
// leaves), making it when it is missing, and noticing when the path has come to name another
// file. A file that is not a valid hive is opened read-only, checked, and never written: reads
// see an empty hive and writes fail. How a hive is opened, and why: HiveConnection.cpp.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>

#include "QelRegistry.h"
#include "portable/PosixSystem.h"
#include "portable/HiveLocation.h"
#include "portable/HiveTrust.h"

namespace qelplatform {

// How often a read looks at the hive file itself: removed, replaced by a rename over it, or its
// owner or mode changed. The fstat() was 40% of a read of an unchanged hive; a reader now sees
// such a change within this interval plus the coarse clock's resolution (4 ms on a kernel
// ticking at 250 Hz), under 10 ms, and until then reads the whole file it had open, never a
// mix of the two. Calls that may write look every time, so that no write goes to a file the
// path no longer names.
inline constexpr std::int64_t kIdentityCheckIntervalMs = 5;

enum class HiveStatus {
    Missing,      // no file: reads see an empty hive, the first write creates it
    Open,         // a valid hive
    Damaged,      // not an SQLite database, truncated, or our schema broken
    Foreign,      // an SQLite database that is not a hive of this format
    Refused,      // a symbolic link, not a regular file, or no path could be determined
    Insecure,     // it, its companions or its directory break the rules of HiveTrust.h
    Unavailable,  // could not be read just now (I/O error, permissions); tried again later
};

class HiveFile {
public:
    HiveFile(HiveKind kind, std::string path) : m_kind(kind), m_path(std::move(path)) {}
    ~HiveFile() { ClosePathFd(); }
    HiveFile(const HiveFile&) = delete;
    HiveFile& operator=(const HiveFile&) = delete;

    HiveKind Kind() const noexcept { return m_kind; }
    // As configured, for reports.
    const std::string& Path() const noexcept { return m_path; }
    // What SQLite opens: the path with its directories' links resolved (HiveTrust.h); empty
    // before the directory exists.
    const std::string& File() const noexcept { return m_file; }
    // Why the hive is Refused or Insecure, when for its files.
    const TrustVerdict& Distrusted() const noexcept { return m_distrust; }
    HiveStatus Status() const noexcept { return m_status; }

    // Looks at the path afresh: what is there, and whether it may be read.
    void Examine();
    // Whether the file must be examined afresh at the next call: missing, unreadable, or refused
    // before it existed.
    bool NeedsExamining() const noexcept {
        return m_status == HiveStatus::Missing || m_status == HiveStatus::Unavailable ||
               (!m_distrust.Trusted() && !m_exists);
    }
    // Whether the path still names the examined file, with the same owner and mode. A thorough
    // look, which every call that may write asks for, costs one fstat() and one lstat() of the
    // path; otherwise the file is looked at again at most every kIdentityCheckIntervalMs, and a
    // read in between costs one read of the coarse clock. The path's directories, and the modes
    // of -wal and -shm, are looked at again at most every kPathCheckIntervalMs (HiveFile.cpp).
    bool Unchanged(bool thorough) {
        if (!thorough && CoarseMilliseconds() < m_nextIdentityCheck) return true;
        return LookAgain(thorough);
    }
    // Whether the file at the path is still the examined one (one lstat()).
    bool AtPath() const;

    // Makes the missing hive: its directories, then the file, built aside and linked into place.
    LSTATUS Create();
    // For a health check of a missing hive: whether its nearest existing directory could take it.
    LSTATUS ProbeCreate() const;

    // Whether this process can commit to the hive: the file, and either its directory (to create
    // -wal and -shm) or -wal and -shm themselves.
    bool Writable() const;
    // The read-only switch, a file this process may not write, or a refused path.
    bool WritesRefused() const;
    // QELHIVE_* flags for QelRegGetHiveInfo.
    DWORD InfoFlags() const;
    // The code a read or write gets from a hive that is not open (unavailable: when nothing
    // better is known), ERROR_SUCCESS for an open one.
    LSTATUS StatusError(LSTATUS unavailable) const;

    // Found damaged while in use: no longer read or written.
    void MarkDamaged() noexcept {
        if (m_status == HiveStatus::Open) m_status = HiveStatus::Damaged;
    }
    // Found untrustworthy right before SQLite opened it.
    void MarkInsecure(TrustVerdict verdict) noexcept {
        m_distrust = std::move(verdict);
        m_status = HiveStatus::Insecure;
    }

private:
    // thorough: the path is looked up too (one lstat()), so that a file moved away while still
    // linked elsewhere is not written to.
    bool LookAgain(bool thorough);
    void ClosePathFd() noexcept;

    HiveKind m_kind;
    std::string m_path;       // as configured, for reports
    std::string m_file;       // with its directory's links resolved: what is opened (HiveTrust.h)
    TrustVerdict m_distrust;  // why the hive is Refused or Insecure, when for its files
    HiveStatus m_status = HiveStatus::Missing;
    LSTATUS m_openError = ERROR_SUCCESS;  // for Unavailable: what writes report
    bool m_exists = false;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    uid_t m_euid = 0;   // the effective user when examined
    mode_t m_mode = 0;  // st_mode when examined
    uid_t m_owner = 0;  // st_uid when examined
    int m_pathFd = -1;  // O_PATH descriptor of the examined file, for fstat() (PosixSystem.h)
    std::int64_t m_nextPathCheck = 0;
    std::int64_t m_nextIdentityCheck = 0;  // 0: at the next call
};

}  // namespace qelplatform
