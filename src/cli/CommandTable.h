// File: CommandTable.h
//
// Every command of the tool, one row each. A command is one file that defines its row, and one
// line in the table.
#pragma once

#include <span>

#include "Command.h"

namespace qelcli {

std::span<const CommandRow* const> CommandTable();

// Adds each command as a sub-command with a --json flag; the one run leaves its rendered exit
// code in `result`.
void AddCommands(CLI::App& app, ExitCode& result);

}  // namespace qelcli
