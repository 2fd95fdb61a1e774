// File: NotifyAnnounce.cpp
//
// The announcement of NotifyAnnounce.h: a read of the hive's directory, through PosixSystem.h.
#include "portable/NotifyAnnounce.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <mutex>
#include <unordered_map>

#include "portable/PosixSystem.h"

namespace qelplatform {

namespace {

struct Directories {
    std::mutex mutex;
    // One descriptor per hive directory, kept for the life of the process (a handful at most).
    // A directory descriptor holds no locks, so unlike one on a database file it may be kept
    // or closed freely.
    std::unordered_map<std::string, int> open;
};

Directories& TheDirectories() {
    static auto* directories = new Directories();
    return *directories;
}

}  // namespace

void AnnounceCommit(const std::string& file) noexcept {
    if (file.empty()) return;
    try {
        const std::string directory = std::filesystem::path(file).parent_path().string();
        Directories& directories = TheDirectories();
        std::lock_guard<std::mutex> guard(directories.mutex);
        std::array<char, 1024> buffer{};
        // Twice at most: a directory removed since its descriptor was opened (and perhaps made
        // again under the same name) reads as an error, and is opened afresh.
        for (int attempt = 0; attempt < 2; ++attempt) {
            auto it = directories.open.find(directory);
            if (it == directories.open.end()) {
                const int fd = open(directory.empty() ? "." : directory.c_str(),
                                    O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (fd < 0) return;
                it = directories.open.emplace(directory, fd).first;
            }
            // Reads to the end: the first time lists the few entries, later ones return
            // nothing. Each read is reported to watchers, whether it returns entries or not.
            ssize_t read = 0;
            for (int i = 0; i < 64 && (read = ReadDirectoryEntries(it->second, buffer.data(),
                                                                   buffer.size())) > 0;
                 ++i) {
            }
            if (read >= 0) return;
            close(it->second);
            directories.open.erase(it);
        }
    } catch (...) {
        // Announcing is best effort; the commit itself has succeeded.
    }
}

}  // namespace qelplatform
