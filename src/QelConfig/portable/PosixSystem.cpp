// File: PosixSystem.cpp
//
// The Linux calls behind PosixSystem.h, which says what a port replaces each with.
#include "portable/PosixSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace qelplatform {

namespace {

// What may mean a change: the announcement of a commit (IN_ACCESS on the directory itself),
// files made, removed, renamed or given other rights (a hive created, replaced, repaired or
// no longer trusted), and the directory itself going away.
constexpr std::uint32_t kWatchMask = IN_ACCESS | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                     IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

int OpenPathOnly(const char* path) noexcept { return open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC); }

bool WipeOnFork(void* pages, std::size_t size) noexcept {
#if defined(MADV_WIPEONFORK)
    return madvise(pages, size, MADV_WIPEONFORK) == 0;
#else
    (void)pages;
    (void)size;
    return false;
#endif
}

int OpenDirectoryWatcher() noexcept { return inotify_init1(IN_CLOEXEC); }

int WatchDirectory(int watcher, const char* directory) noexcept {
    return inotify_add_watch(watcher, directory, kWatchMask);
}

void UnwatchDirectory(int watcher, int watch) noexcept { inotify_rm_watch(watcher, watch); }

ssize_t ReadWatchEvents(int watcher, char* buffer, std::size_t size) noexcept {
    return read(watcher, buffer, size);
}

void ForEachWatchEvent(const char* buffer, std::size_t size,
                       const std::function<void(int watch, WatchEvent what)>& each) {
    for (std::size_t offset = 0; offset + sizeof(inotify_event) <= size;) {
        inotify_event event{};
        std::memcpy(&event, buffer + offset, sizeof event);  // the buffer need not be aligned
        offset += sizeof(inotify_event) + event.len;
        if (event.mask & IN_Q_OVERFLOW) {
            each(event.wd, WatchEvent::Overflow);
        } else if ((event.mask & IN_ACCESS) && event.len > 0) {
            each(event.wd, WatchEvent::EntryRead);  // named: a file in the directory, not itself
        } else {
            each(event.wd, WatchEvent::Changed);
        }
    }
}

ssize_t ReadDirectoryEntries(int directory, char* buffer, std::size_t size) noexcept {
    return getdents64(directory, buffer, size);
}

}  // namespace qelplatform
