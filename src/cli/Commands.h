// File: Commands.h
//
// Each command adds itself to the command line; its callback leaves the exit code in `result`.
#pragma once

#include <CLI/CLI.hpp>

#include "ExitCode.h"

namespace qelcli {

void AddListCommand(CLI::App& app, ExitCode& result);
void AddGetCommand(CLI::App& app, ExitCode& result);
void AddSetCommand(CLI::App& app, ExitCode& result);
void AddResetCommand(CLI::App& app, ExitCode& result);
void AddDescribeCommand(CLI::App& app, ExitCode& result);
void AddCapsCommand(CLI::App& app, ExitCode& result);
void AddExportCommand(CLI::App& app, ExitCode& result);
void AddImportCommand(CLI::App& app, ExitCode& result);
void AddDoctorCommand(CLI::App& app, ExitCode& result);

}  // namespace qelcli
