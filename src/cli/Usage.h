// File: Usage.h
//
// What the tool says about a command line it cannot run: the unknown command or option named,
// with the nearest valid one, and where to read more.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace qelcli {

// Before parsing: a first word that is neither a command nor a known option is reported here
// (CLI11 itself would only say that a command is required). True when it was.
bool RefuseUnknownCommand(const CLI::App& app, const std::vector<std::string>& arguments);

// A parse error as a message with a suggestion where one helps; returns the exit code.
int ReportParseError(CLI::App& app, const CLI::ParseError& error);

// The text that closes the tool's help: the environment it reads and its exit codes.
std::string HelpFooter();

}  // namespace qelcli
