#include "Registry.h"

#include "Output.h"

#if !defined(_WIN32)
#include "portable/QelHiveInfo.h"
#include "portable/QelRegBatch.h"

#include <unistd.h>
#endif

namespace qelcli {

namespace {

constexpr DWORD kMaxKeyNameChars = 256;
constexpr DWORD kMaxValueNameChars = 16384;

LSTATUS Open(Hive hive, const std::u16string& key, REGSAM access, RegHandle& handle) {
    return ::RegOpenKeyExW(RootOf(hive), Win32Str(key.c_str()), 0, access, handle.Receive());
}

LSTATUS ListValues(HKEY handle, std::vector<NamedValue>& out) {
    std::vector<char16_t> name(kMaxValueNameChars);
    std::vector<BYTE> data(4096);
    for (DWORD index = 0;; ++index) {
        DWORD nameChars = kMaxValueNameChars;
        DWORD type = REG_NONE;
        DWORD bytes = static_cast<DWORD>(data.size());
        LSTATUS rc = ::RegEnumValueW(handle, index, Win32Str(name.data()), &nameChars, nullptr,
                                     &type, data.data(), &bytes);
        if (rc == ERROR_MORE_DATA && bytes > data.size()) {
            data.resize(bytes);
            nameChars = kMaxValueNameChars;
            rc = ::RegEnumValueW(handle, index, Win32Str(name.data()), &nameChars, nullptr, &type,
                                 data.data(), &bytes);
        }
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS) return rc;
        out.push_back({std::u16string(name.data(), nameChars),
                       {type, std::vector<BYTE>(data.begin(), data.begin() + bytes)}});
    }
}

LSTATUS ListSubKeys(HKEY handle, std::vector<std::u16string>& out) {
    std::vector<char16_t> name(kMaxKeyNameChars);
    for (DWORD index = 0;;) {
        DWORD chars = static_cast<DWORD>(name.size());
        const LSTATUS rc = ::RegEnumKeyExW(handle, index, Win32Str(name.data()), &chars, nullptr,
                                           nullptr, nullptr, nullptr);
        // A name longer than the registry allows comes only from a crafted hive: read it whole
        // anyway, so that the walk can name the key it skips.
        if (rc == ERROR_MORE_DATA && name.size() < kMaxValueNameChars) {
            name.resize(kMaxValueNameChars);
            continue;
        }
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS) return rc;
        out.emplace_back(name.data(), chars);
        ++index;
    }
}

// Why a key listed under `name` cannot be opened by that name, or null. Only a crafted hive
// holds such names: opening "" or "\\" gives back the key that lists it, so a walk that followed
// them would never end; "a\\b" opens some other key, and a NUL cuts the name short.
const char* Unopenable(const std::u16string& name) {
    if (name.empty())
        return "its name is empty, and an empty name opens the key that lists it; not read";
    if (name.find(u'\\') != std::u16string::npos)
        return "its name holds a backslash, which a path reads as a separator; not read";
    if (name.find(u'\0') != std::u16string::npos)
        return "its name holds a NUL character, which ends a name; not read";
    if (name.size() >= kMaxKeyNameChars)
        return "its name is longer than the registry's 255 characters; not read";
    return nullptr;
}

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
    RegHandle handle;
    LSTATUS rc = Open(hive, key, KEY_QUERY_VALUE, handle);
    if (rc != ERROR_SUCCESS) return rc;
    RawValue value;
    DWORD bytes = 0;
    rc = ::RegQueryValueExW(handle.Get(), Win32Str(name.c_str()), nullptr, &value.type, nullptr,
                            &bytes);
    // The size can change between the two calls; ask again until the data fits.
    while (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
        value.data.resize(bytes);
        DWORD got = bytes;
        rc = ::RegQueryValueExW(handle.Get(), Win32Str(name.c_str()), nullptr, &value.type,
                                value.data.data(), &got);
        if (rc == ERROR_SUCCESS) {
            value.data.resize(got);
            out = std::move(value);
            return rc;
        }
        bytes = got;
    }
    return rc;
}

LSTATUS WalkTree(Hive hive, const std::u16string& key, const TreeVisit& visit,
                 std::vector<SkippedKey>& skipped) {
    // One frame per open key from the start down to the key being read. Paths are one string,
    // extended on the way down and cut back on the way up, so no level copies its parent's.
    struct Frame {
        RegHandle handle;
        std::u16string name;  // as its parent opens it; for the start, its path below the hive
        std::vector<std::u16string> children;
        size_t next = 0;
        size_t pathLength = 0;
    };
    std::vector<Frame> stack;
    std::u16string path = key;
    std::vector<NamedValue> values;
    const auto enter = [&](RegHandle handle, std::u16string name) {
        Frame frame{std::move(handle), std::move(name), {}, 0, path.size()};
        values.clear();
        LSTATUS rc = ListValues(frame.handle.Get(), values);
        if (rc == ERROR_SUCCESS) rc = ListSubKeys(frame.handle.Get(), frame.children);
        if (rc != ERROR_SUCCESS) return rc;
        if (visit.enter) visit.enter(path, values);
        stack.push_back(std::move(frame));
        return rc;
    };

    RegHandle start;
    LSTATUS rc = Open(hive, key, KEY_READ, start);
    if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (rc == ERROR_SUCCESS) rc = enter(std::move(start), key);
    if (rc != ERROR_SUCCESS) return rc;
    while (!stack.empty()) {
        Frame& top = stack.back();
        const size_t parentLength = top.pathLength;
        path.resize(parentLength);
        if (top.next == top.children.size()) {
            const std::u16string name = std::move(top.name);
            stack.pop_back();
            if (visit.leave)
                visit.leave(stack.empty() ? RootOf(hive) : stack.back().handle.Get(), name);
            continue;
        }
        const std::u16string name = top.children[top.next++];
        const auto skip = [&](std::string reason) {
            path.resize(parentLength);
            skipped.push_back({path, name, std::move(reason)});
        };
        if (const char* why = Unopenable(name)) {
            skip(why);
            continue;
        }
        if (path.size() + 1 + name.size() > kMaxWalkPathChars) {
            skip("its path would be longer than " + std::to_string(kMaxWalkPathChars) +
                 " characters, which only keys leading back to an ancestor reach; not read");
            continue;
        }
        RegHandle child;
        rc =
            ::RegOpenKeyExW(top.handle.Get(), Win32Str(name.c_str()), 0, KEY_READ, child.Receive());
        // Not found right after it was listed: deleted meanwhile, or (in a crafted hive) listed
        // under a name its index does not file it by. Either way the tree read is not whole.
        if (rc == ERROR_FILE_NOT_FOUND) {
            skip(
                "listed, but not found by its name (deleted meanwhile, or filed under another "
                "name); not read");
            continue;
        }
        if (rc != ERROR_SUCCESS) {
            skip("cannot be opened: " + StatusText(rc));
            continue;
        }
        path += u'\\';
        path += name;
        // `top` may move when the child's frame is pushed; nothing below uses it.
        if ((rc = enter(std::move(child), name)) != ERROR_SUCCESS)
            skip("cannot be read: " + StatusText(rc));
    }
    return ERROR_SUCCESS;
}

LSTATUS WriteValue(Hive hive, const std::u16string& key, const std::u16string& name,
                   const RawValue& value) {
    RegHandle handle;
    LSTATUS rc =
        ::RegCreateKeyExW(RootOf(hive), Win32Str(key.c_str()), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_WRITE, nullptr, handle.Receive(), nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    // The registry looks one unit past text data without a terminator, and adds one when it
    // finds NUL there: the fence keeps it to the bytes the value has, and inside the buffer.
    std::vector<BYTE> fenced(value.data);
    fenced.insert(fenced.end(), {0xFF, 0xFF, 0xFF});
    return ::RegSetValueExW(handle.Get(), Win32Str(name.c_str()), 0, value.type, fenced.data(),
                            static_cast<DWORD>(value.data.size()));
}

LSTATUS DeleteValue(Hive hive, const std::u16string& key, const std::u16string& name) {
    RegHandle handle;
    const LSTATUS rc = Open(hive, key, KEY_SET_VALUE, handle);
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
        RegHandle handle;
        if (::RegOpenKeyExW(parent, Win32Str(name.c_str()), 0, KEY_READ, handle.Receive()) !=
                ERROR_SUCCESS ||
            !IsEmptyKey(handle.Get()))
            return;
        handle.Close();
        ::RegDeleteKeyW(parent, Win32Str(name.c_str()));
    };
    std::vector<SkippedKey> skipped;
    WalkTree(hive, key, visit, skipped);
}

std::string DescribeSkipped(Hive hive, const SkippedKey& skipped) {
    return std::string(HiveName(hive)) + "\\" + Printable(skipped.parent) + ": sub-key \"" +
           Printable(skipped.name) + "\": " + skipped.reason;
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
    RegHandle handle;
    const LSTATUS rc =
        ::RegOpenKeyExW(RootOf(hive), Win32Str(u"Software"), 0, KEY_READ, handle.Receive());
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
        {161, "ERROR_BAD_PATHNAME", "bad path name"},
        {ERROR_BUSY, "ERROR_BUSY", "busy: another process held the hive for the whole wait"},
        {223, "ERROR_FILE_TOO_LARGE", "the file is too large"},
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
