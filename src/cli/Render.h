// File: Render.h
//
// The two renderers of a command's result: text for people, JSON for programs. Both check that
// standard output took every byte: a full disk or a closed pipe fails the command.
#pragma once

#include "Command.h"

namespace qelcli {

ExitCode Render(const Result& result, bool json);

}  // namespace qelcli
