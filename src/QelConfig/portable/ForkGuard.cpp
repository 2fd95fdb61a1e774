// File: ForkGuard.cpp
//
// How ForkGuard.h tells a new process: a page the kernel zeroes in a child (PosixSystem.h's
// WipeOnFork), else the process id.
#include "portable/ForkGuard.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <new>

#include "portable/PosixSystem.h"

namespace qelplatform {

namespace {

std::atomic<std::uint64_t> g_generation{1};
std::atomic<long> g_liveConnections{0};
std::atomic<bool> g_unsafe{false};
std::atomic<pid_t> g_pid{0};  // for kernels without MADV_WIPEONFORK

// One byte set to 1 in each process once it has been seen; the kernel hands a child a zeroed
// page. Null where the kernel cannot do that: the process id is compared instead.
std::atomic<unsigned char>* SeenMark() {
    static std::atomic<unsigned char>* const mark = [] {
        const long size = sysconf(_SC_PAGESIZE);
        void* mapped = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) return static_cast<std::atomic<unsigned char>*>(nullptr);
        if (WipeOnFork(mapped, static_cast<std::size_t>(size))) {
            auto* byte = new (mapped) std::atomic<unsigned char>(1);
            return byte;
        }
        munmap(mapped, static_cast<std::size_t>(size));
        return static_cast<std::atomic<unsigned char>*>(nullptr);
    }();
    return mark;
}

// True once in each new process: the first caller after a fork claims it.
bool ClaimNewProcess() {
    if (std::atomic<unsigned char>* mark = SeenMark()) {
        if (mark->load(std::memory_order_acquire) != 0) return false;
        unsigned char expected = 0;
        return mark->compare_exchange_strong(expected, 1);
    }
    pid_t seen = g_pid.load(std::memory_order_acquire);
    const pid_t now = getpid();
    if (seen == now) return false;
    return g_pid.compare_exchange_strong(seen, now);
}

void NoticeNewProcess() {
    if (!ClaimNewProcess()) return;
    g_generation.fetch_add(1);
    // Not through the fork handler (it claims the process first): whatever the parent had open
    // is still registered, lock state and all, in this process's copy of SQLite.
    if (g_liveConnections.load() > 0) g_unsafe.store(true);
}

}  // namespace

std::uint64_t ProcessGeneration() {
    NoticeNewProcess();
    return g_generation.load(std::memory_order_relaxed);
}

void ForkHandledInChild() {
    if (ClaimNewProcess()) g_generation.fetch_add(1);
    // The handler closed every connection before the fork; those inherited through a bare fork
    // by an ancestor keep this child unsafe too.
}

bool ForkedUnsafely() {
    NoticeNewProcess();
    return g_unsafe.load(std::memory_order_relaxed);
}

void ConnectionOpened() { g_liveConnections.fetch_add(1); }
void ConnectionClosed() { g_liveConnections.fetch_sub(1); }

}  // namespace qelplatform
