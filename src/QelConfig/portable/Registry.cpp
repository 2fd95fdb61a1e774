// File: Registry.cpp
//
// The Win32 registry calls of the portable registry: handles, argument rules and access rights
// here; storage in Hive. Every call runs under one process-wide lock. Calls take microseconds
// and each hive has a single SQLite connection anyway, so finer locking would buy little, and
// the single lock is what makes fork() safe: the fork handlers take it, so no call is half-way
// through SQLite when a child is made, and they close every connection first, so that a child
// never inherits one (a connection used on both sides of fork() corrupts its file).
#include <pthread.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "QelRegistry.h"
#include "portable/EventHandles.h"
#include "portable/ForkGuard.h"
#include "portable/Hive.h"
#include "portable/KeyHandleTable.h"
#include "portable/NotifyHub.h"
#include "portable/QelHiveInfo.h"
#include "portable/QelRegBatch.h"

using namespace qelplatform;

namespace {

constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;

constexpr REGSAM kDelete = 0x00010000;
constexpr REGSAM kWriteDac = 0x00040000;
constexpr REGSAM kWriteOwner = 0x00080000;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kGenericAll = 0x10000000;
constexpr REGSAM kGenericExecute = 0x20000000;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericRead = 0x80000000;
constexpr REGSAM kWriteRights =
    KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | kDelete | kWriteDac | kWriteOwner;

constexpr DWORD kRegOptionVolatile = 0x1;
constexpr DWORD kRegOptionCreateLink = 0x2;
constexpr DWORD kRegOptionBackupRestore = 0x4;

struct CachedHive {
    std::shared_ptr<Hive> hive;
    std::uint64_t lastUse = 0;
};

// Hives stay open while unused (opening costs far more than a read); the cache forgets those
// whose file is gone and, past this many, the least recently used.
constexpr std::size_t kMaxCachedHives = 8;

struct State {
    std::mutex mutex;
    std::map<std::string, CachedHive> hives;  // by kind and path
    HivePathMemo paths;
    KeyHandleTable handles;
    std::uint64_t useClock = 0;
};

State& TheState();

void ForEachHive(State& state, void (*action)(Hive&)) {
    for (auto& [path, cached] : state.hives) action(*cached.hive);
    state.handles.ForEach([action](KeyHandle& handle) { action(*handle.hive); });
}

void BeforeFork() {
    State& state = TheState();
    state.mutex.lock();
    ForEachHive(state, [](Hive& hive) { hive.CloseConnection(); });
    NotifyBeforeFork();
}
void AfterFork() {
    NotifyAfterForkInParent();
    TheState().mutex.unlock();
}

void AfterForkInChild() {
    ForkHandledInChild();
    NotifyAfterForkInChild();
    TheState().mutex.unlock();
}

State& TheState() {
    // Never destroyed: registry calls stay valid during static destruction, and connections
    // are not closed under a process that is exiting.
    static State* state = [] {
        auto* created = new State();
        pthread_atfork(BeforeFork, AfterFork, AfterForkInChild);
        return created;
    }();
    return *state;
}

std::uint32_t LowHalf(HKEY key) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key));
}

// The predefined key a handle names, or null. 64-bit Windows looks at the low 32 bits of a handle
// alone, so (HKEY)(ULONG_PTR)0x80000001, written without the sign extension of
// HKEY_CURRENT_USER, or a handle carrying anything in its upper half, is HKEY_CURRENT_USER too.
HKEY Predefined(HKEY key) {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
        if (LowHalf(key) == LowHalf(root)) return root;
    return nullptr;
}

bool IsPredefined(HKEY key) { return Predefined(key) != nullptr; }

bool FileGone(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) != 0;
}

void TrimCache(State& state) {
    for (auto it = state.hives.begin(); it != state.hives.end();) {
        const bool unused = it->second.hive.use_count() == 1;
        it = unused && FileGone(it->second.hive->Path()) ? state.hives.erase(it) : std::next(it);
    }
    while (state.hives.size() > kMaxCachedHives) {
        auto oldest = state.hives.end();
        for (auto it = state.hives.begin(); it != state.hives.end(); ++it) {
            if (it->second.hive.use_count() == 1 &&
                (oldest == state.hives.end() || it->second.lastUse < oldest->second.lastUse))
                oldest = it;
        }
        if (oldest == state.hives.end()) break;
        state.hives.erase(oldest);
    }
}

// Whether a call asking for these rights may write: it then looks at the hive's file at once
// (Hive::Refresh), where a read may go on with the file it has open for a few milliseconds.
bool MayWrite(REGSAM requested) {
    return (requested & (kWriteRights | kGenericWrite | kGenericAll | kMaximumAllowed)) != 0;
}

// The hive behind a predefined key, looked up from the environment on every call.
std::shared_ptr<Hive> RootHive(State& state, HKEY root, bool forWrite) {
    const HiveKind kind = root == HKEY_CURRENT_USER ? HiveKind::User : HiveKind::Machine;
    const std::string& path = state.paths.Get(kind, ProcessEnv);
    // Keyed by kind too: the kind decides the modes a new file gets and which switch applies.
    // Searched in place (the cache is small) rather than by building the key on every call.
    const char prefix = kind == HiveKind::User ? 'U' : 'M';
    auto it = state.hives.begin();
    for (; it != state.hives.end(); ++it) {
        const std::string& key = it->first;
        if (key.size() == path.size() + 1 && key[0] == prefix &&
            key.compare(1, std::string::npos, path) == 0)
            break;
    }
    if (it == state.hives.end()) {
        TrimCache(state);
        it = state.hives.emplace(prefix + path, CachedHive{std::make_shared<Hive>(kind, path), 0})
                 .first;
    } else if (!it->second.hive->Refresh(forWrite)) {  // replaced or removed: start afresh
        it->second.hive = std::make_shared<Hive>(kind, path);
    }
    it->second.lastUse = ++state.useClock;
    return it->second.hive;
}

// The handle behind an HKEY; predefined keys resolve to a temporary with every right.
// forWrite: the call may write (see MayWrite).
KeyHandle* Resolve(State& state, HKEY key, KeyHandle& temporary, bool forWrite) {
    if (const HKEY root = Predefined(key)) {
        temporary = KeyHandle{RootHive(state, root, forWrite), kRootKey, KEY_ALL_ACCESS};
        return &temporary;
    }
    return state.handles.Find(reinterpret_cast<std::uintptr_t>(key));
}

// Handle values never come back (KeyHandleTable.h), and none has a predefined key's low half.
HKEY NewHandle(State& state, std::shared_ptr<Hive> hive, KeyId key, REGSAM access) {
    return reinterpret_cast<HKEY>(state.handles.Add(KeyHandle{std::move(hive), key, access}));
}

// The rights a new handle gets, or ERROR_ACCESS_DENIED when they include writing to a hive that
// refuses writes (as Windows refuses to open a key for writing without the right to).
LSTATUS Grant(Hive& hive, REGSAM requested, REGSAM* granted) {
    REGSAM access = requested & 0x000FFFFF;  // drops the WOW64 view flags and generic bits
    if (requested & (kGenericRead | kGenericExecute)) access |= KEY_READ;
    if (requested & kGenericWrite) access |= KEY_WRITE;
    if (requested & (kGenericAll | kMaximumAllowed)) access |= KEY_ALL_ACCESS;
    if ((access & kWriteRights) && hive.WritesRefused()) {
        if (!(requested & kMaximumAllowed)) return ERROR_ACCESS_DENIED;
        access &= ~kWriteRights;
    }
    *granted = access;
    return ERROR_SUCCESS;
}

// A sub-key path is relative to the key it is opened from; Windows refuses one that starts with
// a separator (as if it were absolute) rather than ignoring the separator.
bool StartsWithSeparator(LPCWSTR path) { return path != nullptr && path[0] == u'\\'; }

// A run of backslashes is one separator, and trailing ones are ignored.
LSTATUS SplitPath(LPCWSTR path, PathParts* parts) {
    if (path == nullptr) return ERROR_SUCCESS;
    if (StartsWithSeparator(path)) return ERROR_BAD_PATHNAME;
    std::u16string_view rest(path);
    while (!rest.empty()) {
        const std::size_t start = rest.find_first_not_of(u'\\');
        if (start == std::u16string_view::npos) break;
        rest.remove_prefix(start);
        const std::size_t end = rest.find(u'\\');
        std::u16string_view part = rest.substr(0, end);
        if (part.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
        parts->push_back(part);
        rest.remove_prefix(part.size());
    }
    return ERROR_SUCCESS;
}

std::u16string_view ValueName(LPCWSTR name) {
    return name == nullptr ? std::u16string_view() : std::u16string_view(name);
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The byte count to store for data written with `count` bytes. Writing text.size() * 2 bytes,
// leaving out the terminator, is a common mistake, and Windows absorbs it: when the last whole
// UTF-16 unit counted is not NUL and the unit after it is, that unit is stored too. The units
// are indexed as Windows indexes them (count / 2), odd counts included. Past the count, only
// that one unit is read, and only when the counted data does not already end in NUL, so text
// written with its terminator is never read beyond it. Counts below one unit have no last unit.
DWORD CountWithFoundTerminator(DWORD type, const BYTE* data, DWORD count) {
    if (!IsStringType(type) || count < sizeof(char16_t)) return count;
    const std::size_t next = count / sizeof(char16_t) * sizeof(char16_t);
    char16_t unit = 0;
    std::memcpy(&unit, data + next - sizeof unit, sizeof unit);  // the data may be unaligned
    if (unit == 0) return count;
    std::memcpy(&unit, data + next, sizeof unit);
    return unit == 0 ? count + static_cast<DWORD>(sizeof unit) : count;
}

// Copies value data out. Like Windows, text stored without its terminator gets one in the
// caller's buffer when there is room for it; the size reported stays that of the stored data.
void CopyData(std::string_view bytes, DWORD type, BYTE* data, DWORD capacity) {
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    const std::size_t size = bytes.size();
    if (IsStringType(type) && size >= 2 && size + 2 <= capacity &&
        (bytes[size - 2] != 0 || bytes[size - 1] != 0)) {
        data[size] = 0;
        data[size + 1] = 0;
    }
}

// Reports a value through the optional type, data and size arguments of RegQueryValueExW and
// RegEnumValueW. The buffer's size is read before anything is written: callers may pass one
// variable as both the type and the size, and Windows serves them.
LSTATUS ReportData(DWORD type, std::string_view bytes, LPDWORD lpType, LPBYTE lpData,
                   LPDWORD lpcbData) {
    const DWORD capacity = lpcbData != nullptr ? *lpcbData : 0;
    const auto size = static_cast<DWORD>(bytes.size());
    const bool fits = lpData == nullptr || size <= capacity;
    if (fits && lpData != nullptr) CopyData(bytes, type, lpData, capacity);
    if (lpType != nullptr) *lpType = type;
    if (lpcbData != nullptr) *lpcbData = size;
    return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

// Runs a call under the registry lock; C++ exceptions never cross the C interface.
template <class Call>
LSTATUS Locked(Call&& call) noexcept {
    // Before the lock, which such a child may have inherited held by a thread it does not have.
    if (ForkedUnsafely()) return ERROR_NOT_SUPPORTED;
    try {
        State& state = TheState();
        std::lock_guard<std::mutex> lock(state.mutex);
        return call(state);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_REGISTRY_IO_FAILED;
    }
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                      PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    return Locked([&](State& state) -> LSTATUS {
        KeyHandle temporary;
        const KeyHandle* parent = Resolve(state, hKey, temporary, MayWrite(samDesired));
        if (parent == nullptr) return ERROR_INVALID_HANDLE;
        // Before the path cache, which only ever holds paths that split.
        if (StartsWithSeparator(lpSubKey)) return ERROR_BAD_PATHNAME;
        Hive& hive = *parent->hive;
        const std::u16string_view text = lpSubKey == nullptr ? u"" : lpSubKey;
        KeyId key = kRootKey;
        LSTATUS status = ERROR_SUCCESS;
        if (!hive.FindCachedKey(parent->key, text, &key, &status)) {
            PathParts parts;
            if ((status = SplitPath(lpSubKey, &parts)) != ERROR_SUCCESS) return status;
            // As on Windows, opening a predefined key itself gives back the predefined key.
            if (parts.empty() && IsPredefined(hKey)) {
                *phkResult = hKey;
                return ERROR_SUCCESS;
            }
            status = hive.FindKey(parent->key, parts, &key);
            if (status == ERROR_SUCCESS && !parts.empty()) hive.RememberKey(parent->key, text, key);
        }
        if (status != ERROR_SUCCESS) return status;
        REGSAM access = 0;
        if ((status = Grant(*parent->hive, samDesired, &access)) != ERROR_SUCCESS) return status;
        *phkResult = NewHandle(state, parent->hive, key, access);
        return ERROR_SUCCESS;
    });
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*Reserved*/, LPWSTR /*lpClass*/,
                        DWORD dwOptions, REGSAM samDesired,
                        const LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    // Volatile keys, links and backup semantics do not exist here; storing such a key as an
    // ordinary one would quietly break the caller's assumptions.
    if (dwOptions & (kRegOptionVolatile | kRegOptionCreateLink | kRegOptionBackupRestore))
        return ERROR_INVALID_PARAMETER;
    return Locked([&](State& state) -> LSTATUS {
        KeyHandle temporary;
        const KeyHandle* parent = Resolve(state, hKey, temporary, true);
        if (parent == nullptr) return ERROR_INVALID_HANDLE;
        PathParts parts;
        if (LSTATUS status = SplitPath(lpSubKey, &parts); status != ERROR_SUCCESS) return status;
        KeyId key = kRootKey;
        bool created = false;
        Hive& hive = *parent->hive;
        const std::u16string_view text = lpSubKey == nullptr ? u"" : lpSubKey;
        LSTATUS status = ERROR_SUCCESS;
        if (!hive.FindCachedKey(parent->key, text, &key, &status)) {
            status = hive.CreateKey(parent->key, parts, &key, &created);
            if (status == ERROR_SUCCESS && !parts.empty()) hive.RememberKey(parent->key, text, key);
        }
        if (status != ERROR_SUCCESS) return status;
        REGSAM access = 0;
        if ((status = Grant(*parent->hive, samDesired, &access)) != ERROR_SUCCESS) return status;
        *phkResult = NewHandle(state, parent->hive, key, access);
        if (lpdwDisposition != nullptr)
            *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
    });
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    return Locked([&](State& state) -> LSTATUS {
        KeyHandle temporary;
        const KeyHandle* key = Resolve(state, hKey, temporary, false);
        if (key == nullptr) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        return key->hive->ReadValue(key->key, ValueName(lpValueName),
                                    [&](DWORD type, std::string_view bytes) -> LSTATUS {
                                        return ReportData(type, bytes, lpType, lpData, lpcbData);
                                    });
    });
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                       const BYTE* lpData, DWORD cbData) {
    if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
    const std::u16string_view name = ValueName(lpValueName);
    if (name.size() > kMaxValueNameLength || cbData > kMaxValueBytes)
        return ERROR_INVALID_PARAMETER;
    const DWORD size = CountWithFoundTerminator(dwType, lpData, cbData);
    if (size > kMaxValueBytes) return ERROR_INVALID_PARAMETER;
    return Locked([&](State& state) -> LSTATUS {
        KeyHandle temporary;
        const KeyHandle* key = Resolve(state, hKey, temporary, true);
        if (key == nullptr) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        return key->hive->SetValue(key->key, name, dwType, lpData, size);
    });
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (IsPredefined(hKey)) return ERROR_SUCCESS;
    return Locked([&](State& state) -> LSTATUS {
        const auto value = reinterpret_cast<std::uintptr_t>(hKey);
        bool notifies = false;
        if (!state.handles.Remove(value, &notifies)) return ERROR_INVALID_HANDLE;
        if (notifies) EndNotifications(value);  // as on Windows, pending ones are signalled
        return ERROR_SUCCESS;
    });
}

LSTATUS RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                                BOOL fAsynchronous) {
    constexpr DWORD kFilters = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES |
                               REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;
    // A filter naming no change is accepted, as the system registry accepts it under Wine: such
    // a registration ends only with its key.
    if ((dwNotifyFilter & ~(kFilters | static_cast<DWORD>(REG_NOTIFY_THREAD_AGNOSTIC))) != 0)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<EventObject> event;
    try {
        // A synchronous call waits on an event of its own, which no handle names.
        event =
            fAsynchronous ? EventFromHandle(hEvent) : std::make_shared<EventObject>(false, false);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    if (!event) return ERROR_INVALID_HANDLE;
    const LSTATUS status = Locked([&](State& state) -> LSTATUS {
        KeyHandle temporary;
        KeyHandle* key = Resolve(state, hKey, temporary, false);
        if (key == nullptr) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_NOTIFY)) return ERROR_ACCESS_DENIED;
        NotifyRequest request;
        request.handle = reinterpret_cast<std::uintptr_t>(hKey);
        request.root = Predefined(hKey);
        request.hive = key->hive;
        request.key = key->key;
        request.subtree = bWatchSubtree != FALSE;
        request.filter = dwNotifyFilter;
        request.event = event;
        const LSTATUS registered = RegisterNotification(std::move(request));
        if (registered == ERROR_SUCCESS) key->notifies = true;
        return registered;
    });
    if (status != ERROR_SUCCESS || fAsynchronous) return status;
    // Without the registry's lock, which the change itself and the hub's check need.
    try {
        WaitForEvents({event}, false, INFINITE);
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
    return ERROR_SUCCESS;
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return Locked([&](State& state) -> LSTATUS {
        KeyHandle temporary;
        const KeyHandle* key = Resolve(state, hKey, temporary, true);
        if (key == nullptr) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
        return key->hive->DeleteValue(key->key, ValueName(lpValueName));
    });
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    return Locked([&](State& state) -> LSTATUS {
        KeyHandle temporary;
        const KeyHandle* key = Resolve(state, hKey, temporary, true);
        if (key == nullptr) return ERROR_INVALID_HANDLE;
        PathParts parts;
        if (LSTATUS status = SplitPath(lpSubKey, &parts); status != ERROR_SUCCESS) return status;
        // Windows checks the right to delete against the key being deleted, not against the
        // handle it is named through; here that is the hive's own write refusal.
        return key->hive->DeleteKey(key->key, parts);
    });
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                      LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                      PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr)
        return ERROR_INVALID_PARAMETER;
    return Locked([&](State& state) -> LSTATUS {
        KeyHandle temporary;
        const KeyHandle* key = Resolve(state, hKey, temporary, false);
        if (key == nullptr) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
        return key->hive->EnumKey(key->key, dwIndex, [&](const std::u16string& name) -> LSTATUS {
            if (name.size() >= *lpcchName) return ERROR_MORE_DATA;
            std::memcpy(lpName, name.data(), name.size() * sizeof(char16_t));
            lpName[name.size()] = u'\0';
            *lpcchName = static_cast<DWORD>(name.size());
            // Keys have no class and no recorded write time here.
            if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) lpClass[0] = u'\0';
            if (lpcchClass != nullptr) *lpcchClass = 0;
            if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
            return ERROR_SUCCESS;
        });
    });
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                      LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    return Locked([&](State& state) -> LSTATUS {
        KeyHandle temporary;
        const KeyHandle* key = Resolve(state, hKey, temporary, false);
        if (key == nullptr) return ERROR_INVALID_HANDLE;
        if (!(key->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
        return key->hive->EnumValue(
            key->key, dwIndex,
            [&](const std::u16string& name, DWORD type, std::string_view bytes) -> LSTATUS {
                if (name.size() >= *lpcchValueName) {
                    // As on Windows: the name and the data buffer are left alone, but the type
                    // and the data's size are reported, so a caller can size both buffers at
                    // once before asking again.
                    if (lpType != nullptr) *lpType = type;
                    if (lpcbData != nullptr) *lpcbData = static_cast<DWORD>(bytes.size());
                    return ERROR_MORE_DATA;
                }
                std::memcpy(lpValueName, name.data(), name.size() * sizeof(char16_t));
                lpValueName[name.size()] = u'\0';
                *lpcchValueName = static_cast<DWORD>(name.size());
                return ReportData(type, bytes, lpType, lpData, lpcbData);
            });
    });
}

LSTATUS QelRegGetHiveInfo(HKEY root, char* pathBuffer, DWORD* pathBufferSize, DWORD* flags) {
    root = Predefined(root);
    if (root == nullptr) return ERROR_INVALID_HANDLE;
    return Locked([&](State& state) -> LSTATUS {
        std::shared_ptr<Hive> hive = RootHive(state, root, true);
        const std::string& path = hive->Path();
        const auto needed = static_cast<DWORD>(path.size() + 1);
        LSTATUS status = ERROR_SUCCESS;
        if (pathBufferSize != nullptr) {
            if (pathBuffer != nullptr && *pathBufferSize < needed)
                status = ERROR_MORE_DATA;
            else if (pathBuffer != nullptr)
                std::memcpy(pathBuffer, path.c_str(), needed);
            *pathBufferSize = needed;
        }
        if (flags != nullptr) *flags = hive->InfoFlags();
        return status;
    });
}

LSTATUS QelRegApplyChanges(HKEY hKey, const QELREGCHANGE* changes, DWORD count,
                           DWORD* failedIndex) {
    if (changes == nullptr && count != 0) return ERROR_NOACCESS;
    // Checked before anything is written, as each call checks its arguments first.
    auto fail = [failedIndex](DWORD index, LSTATUS status) {
        if (failedIndex != nullptr) *failedIndex = index;
        return status;
    };
    for (DWORD i = 0; i < count; ++i) {
        const QELREGCHANGE& change = changes[i];
        switch (change.kind) {
            case QELCHANGE_DELETE_KEY:
                if (change.subKey == nullptr) return fail(i, ERROR_INVALID_PARAMETER);
                break;
            case QELCHANGE_SET_VALUE:
                if (change.data == nullptr && change.size != 0) return fail(i, ERROR_NOACCESS);
                if (change.size > kMaxValueBytes) return fail(i, ERROR_INVALID_PARAMETER);
                [[fallthrough]];
            case QELCHANGE_DELETE_VALUE:
                if (ValueName(change.valueName).size() > kMaxValueNameLength)
                    return fail(i, ERROR_INVALID_PARAMETER);
                break;
            case QELCHANGE_CREATE_KEY:
                break;
            default:
                return fail(i, ERROR_INVALID_PARAMETER);
        }
    }
    return Locked([&](State& state) -> LSTATUS {
        KeyHandle temporary;
        const KeyHandle* key = Resolve(state, hKey, temporary, true);
        if (key == nullptr) return ERROR_INVALID_HANDLE;
        std::vector<Hive::Change> planned(count);
        for (DWORD i = 0; i < count; ++i) {
            const QELREGCHANGE& change = changes[i];
            Hive::Change& step = planned[i];
            if (LSTATUS status = SplitPath(change.subKey, &step.path); status != ERROR_SUCCESS)
                return fail(i, status);
            step.from = key->key;
            switch (change.kind) {
                case QELCHANGE_CREATE_KEY:
                    step.kind = Hive::Change::Kind::CreateKey;
                    break;
                case QELCHANGE_DELETE_KEY:
                    step.kind = Hive::Change::Kind::DeleteKey;
                    break;
                default:
                    if (!(key->access & KEY_SET_VALUE)) return fail(i, ERROR_ACCESS_DENIED);
                    step.kind = change.kind == QELCHANGE_SET_VALUE
                                    ? Hive::Change::Kind::SetValue
                                    : Hive::Change::Kind::DeleteValue;
                    step.name = ValueName(change.valueName);
                    step.type = change.type;
                    step.data = change.data;
                    step.size = change.size;
                    break;
            }
        }
        std::size_t failed = 0;
        const LSTATUS status = key->hive->ApplyBatch(planned, &failed);
        return status == ERROR_SUCCESS ? status : fail(static_cast<DWORD>(failed), status);
    });
}

namespace qelplatform {

void EnsureForkHandlers() { TheState(); }

bool UnderRegistryLock(const std::function<void()>& work) {
    return Locked([&](State&) -> LSTATUS {
               work();
               return ERROR_SUCCESS;
           }) == ERROR_SUCCESS;
}

std::shared_ptr<Hive> CurrentRootHive(HKEY root) { return RootHive(TheState(), root, true); }

}  // namespace qelplatform
