// File: Output.h
//
// Everything the tool prints goes through here: results to stdout, diagnostics to stderr (one
// line, prefixed with the tool's name), JSON pretty-printed. All text is UTF-8.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "ExitCode.h"

namespace qelcli {

// Windows: a UTF-8 console and an untranslated stdout (export writes CRLF itself).
void PrepareConsole();

void Print(std::string_view text);
void PrintLine(std::string_view text);
void PrintJson(const nlohmann::json& document);
// Writes bytes to stdout unchanged.
bool PrintBytes(std::string_view bytes);

// Diagnostics as one JSON object per line on stderr ({"error": ...}, {"warning": ...}), for a
// command run with --json, instead of "qelconfig: <text>".
void SetJsonDiagnostics(bool json);

// "qelconfig: <reason>" on stderr; returns ExitCode::Failed for `return Refuse(...)`.
ExitCode Refuse(std::string_view reason);
void Warn(std::string_view reason);

// Text for a console line: control characters as \n, \t or \xNN, so one value stays one line.
std::string Printable(std::u16string_view text);

}  // namespace qelcli
