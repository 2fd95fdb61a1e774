#include "FaultVfs.h"

#include <dlfcn.h>
#include <link.h>
#include <sqlite3.h>

#include <cstring>
#include <string>

namespace qeltest {

namespace {

sqlite3_vfs* g_base = nullptr;
FaultVfs* g_faults = nullptr;

struct File {
    sqlite3_file base;  // first: SQLite sees a File* as a sqlite3_file*
    sqlite3_file* real;
    bool wal;
};

sqlite3_file* Real(sqlite3_file* file) { return reinterpret_cast<File*>(file)->real; }

int FaultCode() {
    switch (g_faults->Current()) {
        case Fault::DiskFull:
            return SQLITE_FULL;
        case Fault::IoError:
            return SQLITE_IOERR_WRITE;
        case Fault::None:
            break;
    }
    return SQLITE_OK;
}

int Close(sqlite3_file* file) {
    sqlite3_file* real = Real(file);
    const int rc = real->pMethods != nullptr ? real->pMethods->xClose(real) : SQLITE_OK;
    sqlite3_free(real);
    return rc;
}
int Read(sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
    g_faults->CountFileRead();
    return Real(f)->pMethods->xRead(Real(f), buffer, amount, offset);
}
int Write(sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) {
    if (int rc = FaultCode(); rc != SQLITE_OK) return rc;
    return Real(f)->pMethods->xWrite(Real(f), buffer, amount, offset);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
    if (int rc = FaultCode(); rc != SQLITE_OK) return rc;
    return Real(f)->pMethods->xTruncate(Real(f), size);
}
int Sync(sqlite3_file* f, int flags) {
    if (int rc = FaultCode(); rc != SQLITE_OK) return rc == SQLITE_FULL ? rc : SQLITE_IOERR_FSYNC;
    if (reinterpret_cast<File*>(f)->wal) g_faults->CountWalSync();
    return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
    return Real(f)->pMethods->xFileSize(Real(f), size);
}
int Lock(sqlite3_file* f, int level) { return Real(f)->pMethods->xLock(Real(f), level); }
int Unlock(sqlite3_file* f, int level) { return Real(f)->pMethods->xUnlock(Real(f), level); }
int CheckReservedLock(sqlite3_file* f, int* out) {
    return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
    return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int DeviceCharacteristics(sqlite3_file* f) {
    return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}
int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
    return Real(f)->pMethods->xShmMap(Real(f), page, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
    if (flags & SQLITE_SHM_LOCK) g_faults->CountShmLock();
    // The read marks are WAL index locks 3 to 7 (WAL_READ_LOCK(0) to WAL_READ_LOCK(4)).
    constexpr int kFirstReadMark = 3;
    constexpr int kReadMarks = 5;
    if ((flags & SQLITE_SHM_LOCK) != 0 && (flags & SQLITE_SHM_SHARED) != 0 &&
        offset >= kFirstReadMark && offset < kFirstReadMark + kReadMarks)
        g_faults->CountReadTransaction();
    if ((flags & SQLITE_SHM_LOCK) != 0 && (flags & SQLITE_SHM_EXCLUSIVE) != 0 && offset == 0)
        g_faults->CountWriteLockAttempt();
    return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShmUnmap(sqlite3_file* f, int deleteFlag) {
    return Real(f)->pMethods->xShmUnmap(Real(f), deleteFlag);
}
int Fetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
    return Real(f)->pMethods->xFetch(Real(f), offset, amount, out);
}
int Unfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
    return Real(f)->pMethods->xUnfetch(Real(f), offset, page);
}

const sqlite3_io_methods kMethods = {
    3,
    Close,
    Read,
    Write,
    Truncate,
    Sync,
    FileSize,
    Lock,
    Unlock,
    CheckReservedLock,
    FileControl,
    SectorSize,
    DeviceCharacteristics,
    ShmMap,
    ShmLock,
    ShmBarrier,
    ShmUnmap,
    Fetch,
    Unfetch,
};

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    File* wrapper = reinterpret_cast<File*>(file);
    wrapper->base.pMethods = nullptr;
    wrapper->real = static_cast<sqlite3_file*>(sqlite3_malloc(g_base->szOsFile));
    if (wrapper->real == nullptr) return SQLITE_NOMEM;
    std::memset(wrapper->real, 0, static_cast<std::size_t>(g_base->szOsFile));
    const int rc = g_base->xOpen(g_base, name, wrapper->real, flags, outFlags);
    if (rc != SQLITE_OK) {
        if (wrapper->real->pMethods != nullptr) wrapper->real->pMethods->xClose(wrapper->real);
        sqlite3_free(wrapper->real);
        return rc;
    }
    const std::string text = name == nullptr ? "" : name;
    wrapper->wal = text.size() >= 4 && text.compare(text.size() - 4, 4, "-wal") == 0;
    wrapper->base.pMethods = &kMethods;
    return SQLITE_OK;
}
int Delete(sqlite3_vfs*, const char* name, int syncDir) {
    return g_base->xDelete(g_base, name, syncDir);
}
int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
    return g_base->xAccess(g_base, name, flags, out);
}
int FullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    return g_base->xFullPathname(g_base, name, size, out);
}
void* DlOpen(sqlite3_vfs*, const char* name) { return g_base->xDlOpen(g_base, name); }
void DlError(sqlite3_vfs*, int size, char* out) { g_base->xDlError(g_base, size, out); }
void (*DlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
    return g_base->xDlSym(g_base, handle, symbol);
}
void DlClose(sqlite3_vfs*, void* handle) { g_base->xDlClose(g_base, handle); }
int Randomness(sqlite3_vfs*, int size, char* out) { return g_base->xRandomness(g_base, size, out); }
int Sleep(sqlite3_vfs*, int microseconds) { return g_base->xSleep(g_base, microseconds); }
int CurrentTime(sqlite3_vfs*, double* out) { return g_base->xCurrentTime(g_base, out); }
int GetLastError(sqlite3_vfs*, int size, char* out) {
    return g_base->xGetLastError(g_base, size, out);
}
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
    return g_base->xCurrentTimeInt64(g_base, out);
}

int CountSqliteCopies(dl_phdr_info* info, size_t, void* data) {
    const char* name = info->dlpi_name == nullptr ? "" : info->dlpi_name;
    if (std::strstr(name, "libsqlite3") != nullptr) ++*static_cast<int*>(data);
    return 0;
}

}  // namespace

FaultVfs& FaultVfs::Install() {
    static FaultVfs* installed = [] {
        auto* faults = new FaultVfs();
        g_faults = faults;
        g_base = sqlite3_vfs_find(nullptr);
        static sqlite3_vfs vfs{};
        vfs.iVersion = 2;
        vfs.szOsFile = static_cast<int>(sizeof(File));
        vfs.mxPathname = g_base->mxPathname;
        vfs.zName = kName;
        vfs.xOpen = Open;
        vfs.xDelete = Delete;
        vfs.xAccess = Access;
        vfs.xFullPathname = FullPathname;
        vfs.xDlOpen = DlOpen;
        vfs.xDlError = DlError;
        vfs.xDlSym = DlSym;
        vfs.xDlClose = DlClose;
        vfs.xRandomness = Randomness;
        vfs.xSleep = Sleep;
        vfs.xCurrentTime = CurrentTime;
        vfs.xGetLastError = GetLastError;
        vfs.xCurrentTimeInt64 = CurrentTimeInt64;
        sqlite3_vfs_register(&vfs, 0);
        return faults;
    }();
    return *installed;
}

void FaultVfs::InstallAlias(const char* name) {
    Install();
    if (sqlite3_vfs_find(name) != nullptr) return;
    auto* alias = new sqlite3_vfs(*sqlite3_vfs_find(kName));
    alias->pNext = nullptr;
    alias->zName = name;
    sqlite3_vfs_register(alias, 0);
}

bool SameSqliteAsTheRegistry() {
    int copies = 0;
    dl_iterate_phdr(CountSqliteCopies, &copies);
    // Exactly one shared libsqlite3, and this program's sqlite3_libversion is that library's.
    void* shared = dlsym(RTLD_DEFAULT, "sqlite3_libversion");
    return copies == 1 && shared == reinterpret_cast<void*>(&sqlite3_libversion);
}

}  // namespace qeltest
