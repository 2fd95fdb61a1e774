#include "Registry.h"

#include "Output.h"

#if !defined(_WIN32)
#include "portable/QelHiveInfo.h"
#include "portable/QelRegBatch.h"

#include <unistd.h>
#endif

namespace qelcli {

namespace {

// Whether an open key holds neither values nor sub-keys. A one-character buffer is enough: any
// entry at all answers with something other than ERROR_NO_MORE_ITEMS.
bool IsEmptyKey(HKEY handle) {
    char16_t name[1];
    DWORD chars = 1;
    if (::RegEnumValueW(handle, 0, Win32Str(name), &chars, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_NO_MORE_ITEMS)
        return false;
    chars = 1;
    return ::RegEnumKeyExW(handle, 0, Win32Str(name), &chars, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_NO_MORE_ITEMS;
}

#if !defined(_WIN32)
bool HiveInfo(Hive hive, std::string& file, DWORD& flags) {
    char path[4096];
    DWORD size = sizeof path;
    if (QelRegGetHiveInfo(RootOf(hive), path, &size, &flags) != ERROR_SUCCESS) return false;
    file = path;
    return true;
}
#endif

}  // namespace

LSTATUS ReadValue(Hive hive, const std::u16string& key, const std::u16string& name, RawValue& out) {
    RegKey handle;
    const LSTATUS rc = handle.Open(RootOf(hive), key, KEY_QUERY_VALUE);
    if (rc != ERROR_SUCCESS) return rc;
    return handle.ReadValue(name.c_str(), out);
}

LSTATUS WriteValue(Hive hive, const std::u16string& key, const std::u16string& name,
                   const RawValue& value) {
    RegKey handle;
    const LSTATUS rc = handle.Create(RootOf(hive), key, KEY_WRITE);
    if (rc != ERROR_SUCCESS) return rc;
    return handle.WriteValue(name.c_str(), value);
}

LSTATUS DeleteValue(Hive hive, const std::u16string& key, const std::u16string& name) {
    RegKey handle;
    const LSTATUS rc = handle.Open(RootOf(hive), key, KEY_SET_VALUE);
    if (rc != ERROR_SUCCESS) return rc;
    return ::RegDeleteValueW(handle.Get(), Win32Str(name.c_str()));
}

std::vector<ValueChange> Reversed(const std::vector<ValueChange>& changes) {
    std::vector<ValueChange> reversed;
    reversed.reserve(changes.size());
    for (auto it = changes.rbegin(); it != changes.rend(); ++it)
        reversed.push_back({it->key, it->name, it->after, it->before});
    return reversed;
}

#if !defined(_WIN32)
LSTATUS ApplyChanges(Hive hive, const std::vector<ValueChange>& changes, size_t* failed,
                     size_t* unrestored) {
    *unrestored = 0;
    // Each value becomes one or two changes of the store's batch; index maps them back.
    std::vector<QELREGCHANGE> batch;
    std::vector<size_t> index;
    for (size_t i = 0; i < changes.size(); ++i) {
        const ValueChange& change = changes[i];
        const LPCWSTR key = Win32Str(change.key.c_str());
        const LPCWSTR name = Win32Str(change.name.c_str());
        if (change.after) {
            batch.push_back({QELCHANGE_CREATE_KEY, key, nullptr, 0, nullptr, 0});
            batch.push_back({QELCHANGE_SET_VALUE, key, name, change.after->type,
                             change.after->data.data(),
                             static_cast<DWORD>(change.after->data.size())});
            index.insert(index.end(), 2, i);
        } else if (change.before) {
            // As planned: a value the plan saw missing needs no change.
            batch.push_back({QELCHANGE_DELETE_VALUE, key, name, 0, nullptr, 0});
            index.push_back(i);
        }
    }
    DWORD at = 0;
    const LSTATUS rc =
        QelRegApplyChanges(RootOf(hive), batch.data(), static_cast<DWORD>(batch.size()), &at);
    if (rc != ERROR_SUCCESS) *failed = at < index.size() ? index[at] : changes.size();
    return rc;
}
#else
LSTATUS ApplyChanges(Hive hive, const std::vector<ValueChange>& changes, size_t* failed,
                     size_t* unrestored) {
    *unrestored = 0;
    auto put = [hive](const ValueChange& change, const std::optional<RawValue>& value) -> LSTATUS {
        if (value) return WriteValue(hive, change.key, change.name, *value);
        const LSTATUS rc = DeleteValue(hive, change.key, change.name);
        return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
    };
    for (size_t done = 0; done < changes.size(); ++done) {
        const LSTATUS rc = put(changes[done], changes[done].after);
        if (rc == ERROR_SUCCESS) continue;
        for (size_t undo = done; undo-- > 0;)
            if (put(changes[undo], changes[undo].before) != ERROR_SUCCESS) ++*unrestored;
        *failed = done;
        return rc;
    }
    return ERROR_SUCCESS;
}
#endif

void DeleteEmptyKeys(Hive hive, const std::u16string& key) {
    TreeVisit visit;
    visit.leave = [](HKEY parent, const std::u16string& name) {
        RegKey handle;
        if (handle.Open(parent, name, KEY_READ) != ERROR_SUCCESS || !IsEmptyKey(handle.Get()))
            return;
        handle.Close();
        ::RegDeleteKeyW(parent, Win32Str(name.c_str()));
    };
    std::vector<SkippedKey> skipped;
    WalkTree(hive, key, visit, skipped);
}

std::string SkipReason(const SkippedKey& skipped) {
    using qelreg::SkipCause;
    switch (skipped.cause) {
        case SkipCause::EmptyName:
            return "its name is empty, and an empty name opens the key that lists it; not read";
        case SkipCause::Backslash:
            return "its name holds a backslash, which a path reads as a separator; not read";
        case SkipCause::Nul:
            return "its name holds a NUL character, which ends a name; not read";
        case SkipCause::LongName:
            return "its name is longer than the registry's 255 characters; not read";
        case SkipCause::TooDeep:
            return "its path would be longer than " + std::to_string(qelreg::kMaxWalkPathChars) +
                   " characters, which only keys leading back to an ancestor reach; not read";
        case SkipCause::NotFoundByName:
            return "listed, but not found by its name (deleted meanwhile, or filed under another "
                   "name); not read";
        case SkipCause::CannotOpen:
            return "cannot be opened: " + StatusText(skipped.status);
        case SkipCause::CannotRead:
            return "cannot be read: " + StatusText(skipped.status);
    }
    return "not read";
}

std::string DescribeSkipped(Hive hive, const SkippedKey& skipped) {
    return std::string(HiveName(hive)) + "\\" + Printable(skipped.parent) + ": sub-key \"" +
           Printable(skipped.name) + "\": " + SkipReason(skipped);
}

std::string DescribeHive(Hive hive) {
    std::string text = HiveName(hive);
#if !defined(_WIN32)
    std::string file;
    DWORD flags = 0;
    if (HiveInfo(hive, file, flags)) {
        text += " (" + file;
        if ((flags & QELHIVE_READONLY) != 0) text += ", read-only";
        text += ")";
    }
#endif
    return text;
}

HiveHealth CheckHive(Hive hive) {
    HiveHealth health;
#if !defined(_WIN32)
    DWORD flags = 0;
    if (!HiveInfo(hive, health.file, flags)) {
        health.problem = "the registry cannot say which file holds this hive";
        health.unreadable = health.unwritable = true;
        return health;
    }
    // The registry's own check, as a new process meets the hive: a read, and a write begun and
    // rolled back, with the real reason of what fails.
    QELHIVECHECK check{};
    if (QelRegCheckHive(RootOf(hive), &check) != ERROR_SUCCESS) {
        health.problem = "the registry could not check this hive";
        health.unreadable = health.unwritable = true;
        return health;
    }
    health.readOnly = (check.flags & QELHIVE_READONLY) != 0;
    health.missing = (check.flags & QELHIVE_MISSING) != 0;
    health.unreadable = check.readStatus != ERROR_SUCCESS;
    health.unwritable = check.readStatus != ERROR_SUCCESS || check.writeStatus != ERROR_SUCCESS;
    if (check.readStatus != ERROR_SUCCESS) {
        health.problem = check.reason;
    } else if (check.writeStatus != ERROR_SUCCESS) {
        // Users read the machine's settings; only its administrator writes them.
        const bool meant = check.writeStatus == ERROR_ACCESS_DENIED &&
                           ((check.flags & QELHIVE_READONLY_SWITCH) != 0 ||
                            (hive == Hive::Machine && geteuid() != 0));
        (meant ? health.note : health.problem) = check.reason;
    }
#else
    RegKey handle;
    const LSTATUS rc = handle.Open(RootOf(hive), u"Software", KEY_READ);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        health.problem = "the hive cannot be opened: " + StatusText(rc);
        health.unreadable = health.unwritable = true;
    }
#endif
    return health;
}

std::vector<Hive> WarnUnreadableHives(const std::vector<Hive>& hives,
                                      std::string_view consequence) {
    std::vector<Hive> unreadable;
    for (Hive hive : hives) {
        const HiveHealth health = CheckHive(hive);
        if (!health.unreadable) continue;
        unreadable.push_back(hive);
        Warn(DescribeHive(hive) + " cannot be read: " + health.problem + "; " +
             std::string(consequence));
    }
    return unreadable;
}

std::string RegTypeName(DWORD type) {
    switch (type) {
        case REG_NONE:
            return "REG_NONE";
        case REG_SZ:
            return "REG_SZ";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case REG_BINARY:
            return "REG_BINARY";
        case REG_DWORD:
            return "REG_DWORD";
        case REG_MULTI_SZ:
            return "REG_MULTI_SZ";
        case REG_QWORD:
            return "REG_QWORD";
        default:
            return "type " + std::to_string(type);
    }
}

std::string StatusText(LSTATUS status) {
    // The codes the registry returns, by the names Windows gives them.
    static constexpr struct {
        LSTATUS code;
        const char* name;
        const char* words;
    } kKnown[] = {
        {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND", "not found"},
        {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED", "access denied"},
        {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE", "invalid handle"},
        {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY", "not enough memory"},
        {ERROR_OUTOFMEMORY, "ERROR_OUTOFMEMORY", "out of memory"},
        {ERROR_WRITE_FAULT, "ERROR_WRITE_FAULT", "write fault"},
        {ERROR_READ_FAULT, "ERROR_READ_FAULT", "read fault"},
        {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED", "not supported"},
        {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER", "invalid parameter"},
        {ERROR_DISK_FULL, "ERROR_DISK_FULL", "the file system is full"},
        {ERROR_BAD_PATHNAME, "ERROR_BAD_PATHNAME", "bad path name"},
        {ERROR_BUSY, "ERROR_BUSY", "busy: another process held the hive for the whole wait"},
        {ERROR_FILE_TOO_LARGE, "ERROR_FILE_TOO_LARGE", "the file is too large"},
        {ERROR_MORE_DATA, "ERROR_MORE_DATA", "more data than the buffer holds"},
        {ERROR_BADDB, "ERROR_BADDB", "the hive is damaged (qelconfig doctor --repair)"},
        {ERROR_BADKEY, "ERROR_BADKEY", "bad key"},
        {ERROR_CANTOPEN, "ERROR_CANTOPEN", "cannot open the hive"},
        {ERROR_CANTREAD, "ERROR_CANTREAD", "cannot read the hive"},
        {ERROR_CANTWRITE, "ERROR_CANTWRITE", "cannot write the hive"},
        {ERROR_REGISTRY_CORRUPT, "ERROR_REGISTRY_CORRUPT",
         "the registry is damaged (qelconfig doctor --repair)"},
        {ERROR_REGISTRY_IO_FAILED, "ERROR_REGISTRY_IO_FAILED", "registry I/O failed"},
        {ERROR_KEY_DELETED, "ERROR_KEY_DELETED", "the key was deleted"},
    };
    for (const auto& known : kKnown)
        if (known.code == status) return std::string(known.words) + " (" + known.name + ")";
    return "Win32 error " + std::to_string(status);
}

}  // namespace qelcli
