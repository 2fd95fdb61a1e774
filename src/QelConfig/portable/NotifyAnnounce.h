// File: NotifyAnnounce.h
//
// How a commit tells waiting processes that it happened. After each commit the writer reads the
// hive's directory at its end (getdents64 on a descriptor kept open, returning nothing), which
// the kernel reports to inotify watchers of the directory as IN_ACCESS on the directory itself.
// Both are Linux calls, made through PosixSystem.h, which says what a port would use instead.
//
// Why not the writes themselves: SQLite appends a commit's frames to the -wal file first and
// publishes them in the WAL index (the -shm file, a shared mapping that inotify never reports)
// only afterwards, so a watcher woken by the -wal write can read the hive before the commit is
// visible, see nothing new, and sleep through it. The announcement comes after the commit is
// visible. It changes nothing on disk (not even the directory's times under relatime), needs
// only the right to read the directory, and costs about a microsecond.
#pragma once

#include <string>

namespace qelplatform {

// Called by the hive after each commit; `file` is the hive file as opened (HiveTrust.h).
void AnnounceCommit(const std::string& file) noexcept;

}  // namespace qelplatform
