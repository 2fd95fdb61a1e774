// File: HiveTrust.h
//
// Which files a hive may be read from. SQLite reads more than the hive file: the -wal and -shm
// beside it, and a rollback journal (-journal) if it finds one, which it replays into the hive
// before it even looks at the WAL. Anyone who can write one of those files, or the directory
// that holds them (and so put any of them there), can plant settings. The rules, modelled on
// OpenSSH's StrictModes:
// - the hive is a regular file, reached without a symbolic link in its last component (links
//   among the directories above it are followed: dotfile managers link ~/.config);
// - it, its -wal and -shm, and the directory that finally holds them belong to the hive's
//   rightful owner (the user for the user hive; root or the user for the machine hive), and
//   neither group nor others may write them;
// - no -journal is ever beside it: a hive in WAL mode never has one, so one found there was
//   put there by someone, or left by another program;
// - no -wal or -shm without the hive: they would be replayed into the next hive made there;
// - no note of an unfinished repair: until the repair is finished, the path may hold the old
//   hive without its -wal.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "portable/HiveLocation.h"

namespace qelplatform {

// The path handed to SQLite and to the file system: the directory with its links resolved and
// the file's own name. SQLite refuses a path with any link in it (SQLITE_OPEN_NOFOLLOW), which
// is wanted for the file and not for the directories. Empty when the directory is missing.
std::string ResolveHivePath(const std::string& path);

enum class Distrust {
    None,
    NotRegular,  // a symbolic link, a directory, a device ...
    Owner,       // belongs to someone other than the hive's rightful owner
    Writable,    // group or others may write it
    Journal,     // a rollback journal beside a WAL hive
    Orphan,      // a -wal or -shm with no hive beside it
    Repairing,   // a repair was interrupted half-way (HiveRepair.cpp)
};

struct TrustVerdict {
    Distrust why = Distrust::None;
    std::string file;  // the file or directory that broke a rule
    uid_t owner = 0;
    mode_t mode = 0;

    bool Trusted() const { return why == Distrust::None; }
};

bool RightfulOwner(HiveKind kind, uid_t owner, uid_t euid);

// The hive file itself, from its lstat().
TrustVerdict CheckHiveFile(HiveKind kind, const std::string& file, const struct stat& st,
                           uid_t euid);
// The directory holding the (resolved) hive path, and the files beside it. hiveExists tells
// whether the hive file is there (a -wal or -shm without it is an orphan).
TrustVerdict CheckSurroundings(HiveKind kind, const std::string& file, bool hiveExists, uid_t euid);
// Only the -journal: checked again right before SQLite opens the file.
TrustVerdict CheckNoJournal(const std::string& file);

// The note a repair leaves beside the hive while it replaces it.
std::string RepairIntentPath(const std::string& file);

// One sentence for a person: what is wrong, and what to do about it.
std::string DescribeDistrust(HiveKind kind, const TrustVerdict& verdict, uid_t euid);

}  // namespace qelplatform
