// File: Command.h
//
// What a command is: one row of the command table (name, help, options, run), and the result
// its run returns. A run prints nothing itself but warnings and refusals (on stderr, as they
// happen); one renderer prints every result as text and another as JSON (--json), so both show
// the same data under the same names: a table's headings and a record's labels are its JSON keys.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "ExitCode.h"

namespace qelcli {

// A column of a table, or a line of a record: a key of the rows' JSON objects. Its text form is
// the JSON text itself when `quoted` (values, so that an empty text or a number stored as text
// shows as such), and the plain text of a string otherwise.
struct Field {
    std::string key;
    bool quoted = false;
    // A table column that may be cut short (ending in "…") so that the table fits 80 columns.
    bool shorten = false;
};

struct Result {
    ExitCode code = ExitCode::Ok;
    // What --json prints, whole.
    nlohmann::json data;
    // The text form, in this order: lines, then a table of `data[tableKey]` (of `data` itself
    // when tableKey is empty) under its headings, then `data` as "key: value" lines of a record,
    // then the closing lines.
    std::vector<std::string> lines;
    std::vector<Field> table;
    std::string tableKey;
    bool wide = false;  // the table at its full width, however wide that is
    std::vector<Field> record;
    std::vector<std::string> closing;
    // Bytes printed as they are, in place of everything else (a .reg file to standard output).
    std::string bytes;
    bool hasBytes = false;

    static Result Failed() {
        Result failed;
        failed.code = ExitCode::Failed;
        return failed;
    }
};

// Says why on stderr ("qelconfig: <reason>") and returns a failed result with nothing to print.
Result Refused(std::string_view reason);

// A command's options, added to its sub-command; returns the run, which reads them.
using CommandOptions = std::function<std::function<Result()>(CLI::App& command)>;

struct CommandRow {
    const char* name;
    const char* help;
    CommandOptions options;
};

}  // namespace qelcli
