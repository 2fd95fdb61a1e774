// File: ForkGuard.h
//
// Telling a child process from its parent, and refusing the store in a child that cannot use it
// safely.
//
// A child made by the C library's fork() runs the registry's fork handlers: every connection is
// closed before the fork, so the child starts with none. A child made by a bare fork system call
// runs no handlers and inherits SQLite's per-file lock bookkeeping (which says the parent's locks
// are held) without holding a single lock: a connection it opens would skip taking locks it
// believes it has, so its commits could be overwritten by other writers, or it could read a
// WAL index another process is rebuilding (SIGBUS). SQLite offers no way to reset that
// bookkeeping, so such a child may not use the store at all if the parent had a hive open.
#pragma once

#include <cstdint>

namespace qelplatform {

// Increases in every new process, the child of a bare fork system call included, at the cost of
// a memory read (a page marked MADV_WIPEONFORK reads as zero in a child).
std::uint64_t ProcessGeneration();

// Called by the registry's fork handler in the child of fork(): the child starts clean.
void ForkHandledInChild();

// Whether this process is a child that must not use the store: made by a bare fork system call
// while its parent had hive connections open. Once true, true for good (and in its children).
// Checked before the registry lock is taken, which such a child may have inherited held.
bool ForkedUnsafely();

// Open hive connections in this process; what a bare fork would leave a child with.
void ConnectionOpened();
void ConnectionClosed();

}  // namespace qelplatform
