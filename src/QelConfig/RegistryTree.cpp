// File: RegistryTree.cpp
//
// The walk keeps one frame per open key from the start down to the key being read, and one
// path string extended on the way down and cut back on the way up, so that no level copies its
// parent's path and a tree of any depth costs no stack.
#include "RegistryTree.h"

#include <optional>
#include <utility>

namespace qelreg {

namespace {

// Why a key listed under `name` cannot be opened by that name, or nothing. Only a crafted hive
// holds such names: opening "" or "\\" gives back the key that lists it, so a walk that followed
// them would never end; "a\\b" opens some other key, and a NUL cuts the name short.
std::optional<SkipCause> Unopenable(const std::u16string& name) {
    if (name.empty()) return SkipCause::EmptyName;
    if (name.find(u'\\') != std::u16string::npos) return SkipCause::Backslash;
    if (name.find(u'\0') != std::u16string::npos) return SkipCause::Nul;
    if (name.size() >= kMaxKeyNameChars) return SkipCause::LongName;
    return std::nullopt;
}

}  // namespace

LSTATUS WalkTree(HKEY root, const std::u16string& key, const TreeVisit& visit,
                 std::vector<SkippedKey>& skipped) {
    struct Frame {
        RegKey handle;
        std::u16string name;  // as its parent opens it; for the start, its path below the root
        std::vector<std::u16string> children;
        size_t next = 0;
        size_t pathLength = 0;
    };
    std::vector<Frame> stack;
    std::u16string path = key;
    std::vector<NamedValue> values;
    const auto enter = [&](RegKey handle, std::u16string name) {
        Frame frame{std::move(handle), std::move(name), {}, 0, path.size()};
        values.clear();
        LSTATUS rc = frame.handle.ListValues(values);
        if (rc == ERROR_SUCCESS) rc = frame.handle.ListSubKeys(frame.children);
        if (rc != ERROR_SUCCESS) return rc;
        if (visit.enter) visit.enter(path, values);
        stack.push_back(std::move(frame));
        return rc;
    };

    RegKey start;
    LSTATUS rc = start.Open(root, key, KEY_READ);
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
            if (visit.leave) visit.leave(stack.empty() ? root : stack.back().handle.Get(), name);
            continue;
        }
        const std::u16string name = top.children[top.next++];
        const auto skip = [&](SkipCause cause, LSTATUS status = ERROR_SUCCESS) {
            path.resize(parentLength);
            skipped.push_back({path, name, cause, status});
        };
        if (const std::optional<SkipCause> cause = Unopenable(name)) {
            skip(*cause);
            continue;
        }
        if (path.size() + 1 + name.size() > kMaxWalkPathChars) {
            skip(SkipCause::TooDeep);
            continue;
        }
        RegKey child;
        rc = child.Open(top.handle.Get(), name, KEY_READ);
        // Not found right after it was listed: deleted meanwhile, or (in a crafted hive) listed
        // under a name its index does not file it by. Either way the tree read is not whole.
        if (rc == ERROR_FILE_NOT_FOUND) {
            skip(SkipCause::NotFoundByName);
            continue;
        }
        if (rc != ERROR_SUCCESS) {
            skip(SkipCause::CannotOpen, rc);
            continue;
        }
        path += u'\\';
        path += name;
        // `top` may move when the child's frame is pushed; nothing below uses it.
        if ((rc = enter(std::move(child), name)) != ERROR_SUCCESS) skip(SkipCause::CannotRead, rc);
    }
    return ERROR_SUCCESS;
}

void DeleteTree(HKEY root, const std::u16string& key) {
    TreeVisit visit;
    visit.leave = [](HKEY parent, const std::u16string& name) {
        ::RegDeleteKeyW(parent, Win32Str(name.c_str()));
    };
    std::vector<SkippedKey> skipped;
    WalkTree(root, key, visit, skipped);
}

}  // namespace qelreg
