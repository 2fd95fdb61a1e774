// File: PosixSystem.h
//
// The portable store's system calls that POSIX does not define, all in this one unit, as SQLite
// keeps its own in os_unix.c. Everything else the store calls (open, fstat, lstat, link, rename,
// unlink, fsync, faccessat, realpath, mkdtemp, mmap, statvfs, pthread_atfork, getpwuid_r) is
// POSIX and is called where it is used. The wrappers do what the call does and nothing more; those
// on the path of every read are inline.
//
// What is Linux-only, and what a port to another system (macOS, a BSD) would replace:
//
// - OpenPathOnly(): an O_PATH descriptor of the hive file (HiveFile.cpp keeps one per hive, to
//   see with one fstat() per call that the file was removed, replaced, or given another owner or
//   mode). O_PATH matters: closing any ordinary descriptor of a file drops every POSIX lock the
//   process holds on it, SQLite's included, and an O_PATH descriptor holds none. A port uses
//   O_PATH where the system has it; elsewhere it keeps no descriptor and compares the device and
//   inode of an lstat() of the path on each call instead (one path lookup more per read).
//
// - CoarseMilliseconds(): CLOCK_MONOTONIC_COARSE, read from the vDSO without a system call and at
//   the kernel tick's resolution (a few milliseconds), which is all the once-a-second look at the
//   hive's path needs. Elsewhere: CLOCK_MONOTONIC_FAST (FreeBSD) or CLOCK_MONOTONIC.
//
// - WipeOnFork(): madvise(MADV_WIPEONFORK) (Linux 4.14), a page that the child of any fork, the
//   bare system call included, sees zeroed: how ForkGuard.cpp tells a new process without a
//   getpid() per call. Elsewhere: minherit(INHERIT_ZERO) on FreeBSD and OpenBSD; where there is
//   nothing (macOS) it answers false and ForkGuard compares process ids instead.
//
// - ModificationTime(): the nanosecond modification time of a struct stat, st_mtim (the POSIX
//   2008 name, which the BSDs share); macOS calls it st_mtimespec.
//
// - Directory watches: inotify (OpenDirectoryWatcher, WatchDirectory, UnwatchDirectory,
//   ReadWatchEvents, ForEachWatchEvent), on which NotifyHub.cpp's thread sleeps until something
//   happens in a hive's directory. Elsewhere: kqueue with EVFILT_VNODE on the directory
//   (NOTE_WRITE for entries made, removed or renamed, NOTE_ATTRIB, NOTE_DELETE and NOTE_RENAME
//   for the directory itself).
//
// - ReadDirectoryEntries(): getdents64, how a commit announces itself (NotifyAnnounce.h): inotify
//   reports the read of the hive's directory as IN_ACCESS on it. kqueue reports no reads, so a
//   port announces a commit, after it is visible, by a change kqueue does report (NOTE_WRITE or
//   NOTE_ATTRIB on a file beside the hive that writers may change).
//
// Not used anywhere in the store: renameat2 (a new hive is linked into place with link(), which
// never replaces, and a repair's rebuilt hive takes the path with rename()), statx, and /proc.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace qelplatform {

// A descriptor of `path` (not followed when a symbolic link) that reads nothing and holds no
// locks, for fstat(); -1 with errno on failure.
int OpenPathOnly(const char* path) noexcept;

// Milliseconds of a monotonic clock, at a resolution of a few milliseconds, without a system call.
inline std::int64_t CoarseMilliseconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Asks that the child of a fork see these mapped pages zeroed; false where the system cannot.
bool WipeOnFork(void* pages, std::size_t size) noexcept;

inline timespec ModificationTime(const struct stat& st) noexcept { return st.st_mtim; }

// A descriptor on which the changes of watched directories can be read (close-on-exec); -1
// with errno on failure.
int OpenDirectoryWatcher() noexcept;
// Watches a directory for what may mean a change to a hive in it: the announcement of a commit,
// files made, removed, renamed or given other rights, and the directory itself going away. The
// watch's number, the same for a directory already watched; -1 with errno on failure.
int WatchDirectory(int watcher, const char* directory) noexcept;
void UnwatchDirectory(int watcher, int watch) noexcept;
// Blocks until changes are reported and reads them into `buffer`: the bytes read, or -1 with
// errno (EINTR included).
ssize_t ReadWatchEvents(int watcher, char* buffer, std::size_t size) noexcept;

enum class WatchEvent {
    Changed,    // something in the directory, or the directory itself, changed
    EntryRead,  // a file in the directory was read: no change
    Overflow,   // events were lost: anything may have changed
};
// Calls each(watch, what) for every event of what ReadWatchEvents read.
void ForEachWatchEvent(const char* buffer, std::size_t size,
                       const std::function<void(int watch, WatchEvent what)>& each);

// Reads the entries of an open directory from where the last read stopped: the bytes read, 0 at
// the end, or -1 with errno.
ssize_t ReadDirectoryEntries(int directory, char* buffer, std::size_t size) noexcept;

}  // namespace qelplatform
