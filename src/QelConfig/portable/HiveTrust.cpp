// File: HiveTrust.cpp
#include "portable/HiveTrust.h"

#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <memory>

namespace qelplatform {

namespace {

constexpr const char* kCompanions[] = {"-wal", "-shm"};

std::string DirectoryOf(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

TrustVerdict Verdict(Distrust why, const std::string& file, const struct stat& st) {
    return {why, file, st.st_uid, st.st_mode};
}

TrustVerdict CheckOwnerAndMode(HiveKind kind, const std::string& file, const struct stat& st,
                               uid_t euid) {
    if (!RightfulOwner(kind, st.st_uid, euid)) return Verdict(Distrust::Owner, file, st);
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return Verdict(Distrust::Writable, file, st);
    return {};
}

std::string Octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

std::string ResolveHivePath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size()) {
        errno = EINVAL;
        return {};
    }
    const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
    std::unique_ptr<char, decltype(&free)> resolved(realpath(directory.c_str(), nullptr), &free);
    if (!resolved) return {};
    std::string result = resolved.get();
    if (result != "/") result += '/';
    return result + path.substr(slash + 1);
}

bool RightfulOwner(HiveKind kind, uid_t owner, uid_t euid) {
    return owner == euid || (kind == HiveKind::Machine && owner == 0);
}

TrustVerdict CheckHiveFile(HiveKind kind, const std::string& file, const struct stat& st,
                           uid_t euid) {
    if (!S_ISREG(st.st_mode)) return Verdict(Distrust::NotRegular, file, st);
    return CheckOwnerAndMode(kind, file, st, euid);
}

TrustVerdict CheckSurroundings(HiveKind kind, const std::string& file, bool hiveExists,
                               uid_t euid) {
    const std::string directory = DirectoryOf(file);
    struct stat st {};
    // A directory that cannot be looked at is a matter for the caller's own lstat() of the file.
    if (stat(directory.c_str(), &st) == 0) {
        if (TrustVerdict verdict = CheckOwnerAndMode(kind, directory, st, euid); !verdict.Trusted())
            return verdict;
    }
    if (lstat(RepairIntentPath(file).c_str(), &st) == 0)
        return Verdict(Distrust::Repairing, RepairIntentPath(file), st);
    if (TrustVerdict verdict = CheckNoJournal(file); !verdict.Trusted()) return verdict;
    for (const char* suffix : kCompanions) {
        const std::string companion = file + suffix;
        if (lstat(companion.c_str(), &st) != 0) continue;
        if (!hiveExists) return Verdict(Distrust::Orphan, companion, st);
        if (TrustVerdict verdict = CheckHiveFile(kind, companion, st, euid); !verdict.Trusted())
            return verdict;
    }
    return {};
}

TrustVerdict CheckNoJournal(const std::string& file) {
    const std::string journal = file + "-journal";
    struct stat st {};
    if (lstat(journal.c_str(), &st) == 0) return Verdict(Distrust::Journal, journal, st);
    return {};
}

std::string RepairIntentPath(const std::string& file) { return file + ".repairing"; }

std::string DescribeDistrust(HiveKind kind, const TrustVerdict& verdict, uid_t euid) {
    const std::string& file = verdict.file;
    const std::string owners = kind == HiveKind::User
                                   ? "you (uid " + std::to_string(euid) + ")"
                                   : "root or you (uid " + std::to_string(euid) + ")";
    switch (verdict.why) {
        case Distrust::None:
            return {};
        case Distrust::NotRegular:
            return file +
                   " is not a regular file (a symbolic link, directory or device); "
                   "replace it with the hive file itself";
        case Distrust::Owner:
            return file + " belongs to uid " + std::to_string(verdict.owner) +
                   ", and only files of " + owners + " are trusted; if it is yours, run: chown " +
                   std::to_string(euid) + " " + file;
        case Distrust::Writable:
            return file + " may be written by group or others (mode " + Octal(verdict.mode) +
                   "); run: chmod go-w " + file;
        case Distrust::Journal:
            return file +
                   " is a rollback journal, which a hive never has: someone or another "
                   "program put it there; look at it, then remove it";
        case Distrust::Repairing:
            return "a repair of this hive was interrupted (" + file +
                   "); run qelconfig doctor --repair to finish it";
        case Distrust::Orphan:
            return file +
                   " has no hive beside it and would be replayed into a new one; "
                   "remove it, or put the hive it belongs to back";
    }
    return {};
}

}  // namespace qelplatform
