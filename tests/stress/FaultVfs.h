// File: FaultVfs.h
//
// An SQLite VFS for tests, layered over the default one: it counts syncs and can make writes or
// syncs fail (disk full, I/O error) on demand. The registry uses it when QELCONFIG_TEST_VFS
// names it; it must be registered before the first registry call, in the same copy of SQLite
// that libQelPlatform uses (SameSqliteAsTheRegistry() checks that).
#pragma once

#include <atomic>

namespace qeltest {

enum class Fault { None, DiskFull, IoError };

class FaultVfs {
public:
    static constexpr const char* kName = "qeltest-faults";

    // Registers the VFS (once; not as the default) and returns it.
    static FaultVfs& Install();
    // Registers the same VFS under another name too (once per name), counting and failing into
    // the same object: for checking which names the registry honours.
    static void InstallAlias(const char* name);

    // Every xWrite and xSync after this fails with the fault, until Clear().
    void Inject(Fault fault) { m_fault.store(fault); }
    void Clear() { m_fault.store(Fault::None); }
    Fault Current() const { return m_fault.load(); }

    // xSync calls on files whose name ends in "-wal" (the commits of a WAL-mode hive).
    long WalSyncs() const { return m_walSyncs.load(); }
    void CountWalSync() { m_walSyncs.fetch_add(1); }

    // xShmLock calls that take a lock (every read or write transaction of a WAL-mode hive takes
    // at least one).
    long ShmLocks() const { return m_shmLocks.load(); }
    void CountShmLock() { m_shmLocks.fetch_add(1); }

    // Read transactions of a WAL-mode hive: each takes a shared lock on one of the WAL index's
    // read marks (and only read transactions do).
    long ReadTransactions() const { return m_readTransactions.load(); }
    void CountReadTransaction() { m_readTransactions.fetch_add(1); }

    // Attempts to take the WAL write lock (WAL index lock 0, exclusive), granted or not: every
    // write transaction makes at least one, and a reader that waited for a writer would too.
    long WriteLockAttempts() const { return m_writeLockAttempts.load(); }
    void CountWriteLockAttempt() { m_writeLockAttempts.fetch_add(1); }

    // xRead calls on any file: reads that went to the disk rather than to a cache.
    long FileReads() const { return m_fileReads.load(); }
    void CountFileRead() { m_fileReads.fetch_add(1); }

private:
    std::atomic<Fault> m_fault{Fault::None};
    std::atomic<long> m_walSyncs{0};
    std::atomic<long> m_shmLocks{0};
    std::atomic<long> m_readTransactions{0};
    std::atomic<long> m_fileReads{0};
    std::atomic<long> m_writeLockAttempts{0};
};

// Whether libQelPlatform and this program share one copy of SQLite (two copies in a process
// would not see each other's VFSes, and would corrupt a file both open).
bool SameSqliteAsTheRegistry();

}  // namespace qeltest
