// File: WatchCommand.h
//
// qelconfig watch: each change of a setting's effective value, printed as it happens, in
// either hive: a value set, deleted or imported, and a machine value that becomes the one read
// because no user value hides it any more (or stops being it because one does).
#pragma once

#include <string>
#include <vector>

#include "ExitCode.h"

namespace qelcli {

// Watches the settings named (ids or key paths; every setting when none is) until SIGINT or
// SIGTERM (on Windows, Ctrl+C, Ctrl+Break or the console closing), and then returns Ok. Each
// change is one line (`json`: one JSON object per line), flushed at once.
ExitCode RunWatch(const std::vector<std::string>& settings, bool json);

}  // namespace qelcli
