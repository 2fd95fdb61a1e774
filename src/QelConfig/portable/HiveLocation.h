// File: HiveLocation.h
//
// Where the two hives live and whether the environment makes one refuse writes. Both are
// looked up afresh on every call, so a process (a test, typically) can point the registry
// elsewhere between calls. The environment is read through a lookup function so that the rules
// can be exercised without changing the process's own environment.
#pragma once

#include <string>

namespace qelplatform {

enum class HiveKind { User, Machine };

// getenv-shaped: the variable's value or null.
using EnvLookup = const char* (*)(const char* name);
// The process's own environment.
const char* ProcessEnv(const char* name);

// The hive file's absolute path, or empty when none can be determined (no home directory).
//   user:    $QELCONFIG_USER_HIVE, else $XDG_CONFIG_HOME/qelconfig/user.hive (when absolute),
//            else $HOME/.config/qelconfig/user.hive, HOME falling back to the password database.
//   machine: $QELCONFIG_MACHINE_HIVE, else /var/lib/qelconfig/machine.hive.
std::string HivePath(HiveKind kind, EnvLookup env);

// HivePath for the process's own environment, recomputed only when a variable it reads changed.
// A path resolved against the working directory or the password database is never reused, so
// a chdir() or a change of user is always seen. Not thread-safe: used under the registry lock.
class HivePathMemo {
public:
    const std::string& Get(HiveKind kind, EnvLookup env);

private:
    struct Entry {
        bool reusable = false;
        std::string inputs[3];
        std::string path;
    };
    Entry m_entries[2];
};

// Whether QELCONFIG_READONLY_HIVES (comma-separated "user", "machine") names this hive.
bool ReadOnlyBySwitch(HiveKind kind, EnvLookup env);

}  // namespace qelplatform
