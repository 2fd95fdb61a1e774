#include "CommandTable.h"

#include <memory>

#include "Output.h"
#include "Render.h"

namespace qelcli {

extern const CommandRow kListCommand;
extern const CommandRow kGetCommand;
extern const CommandRow kSetCommand;
extern const CommandRow kResetCommand;
extern const CommandRow kDescribeCommand;
extern const CommandRow kCapsCommand;
extern const CommandRow kExportCommand;
extern const CommandRow kImportCommand;
extern const CommandRow kDoctorCommand;
extern const CommandRow kHelpCommand;
extern const CommandRow kInfoCommand;
extern const CommandRow kWatchCommand;

std::span<const CommandRow* const> CommandTable() {
    static const CommandRow* const rows[] = {
        &kListCommand,      // list [PATTERN]
        &kGetCommand,       // get SETTING
        &kSetCommand,       // set SETTING VALUE
        &kResetCommand,     // reset SETTING
        &kDescribeCommand,  // describe SETTING
        &kCapsCommand,      // caps [CAPABILITY]
        &kExportCommand,    // export [FILE]
        &kImportCommand,    // import FILE
        &kDoctorCommand,    // doctor [--repair]
        &kInfoCommand,      // info
        &kWatchCommand,     // watch [SETTING...]
        &kHelpCommand,      // help [COMMAND]
    };
    return rows;
}

void AddCommands(CLI::App& app, ExitCode& result) {
    for (const CommandRow* row : CommandTable()) {
        CLI::App* command = app.add_subcommand(row->name, row->help);
        auto json = std::make_shared<bool>(false);
        command->add_flag("--json", *json, "Print the result as JSON");
        std::function<Result()> run = row->options(*command);
        command->callback([json, run = std::move(run), &result] {
            SetJsonDiagnostics(*json);
            result = Render(run(), *json);
        });
    }
}

}  // namespace qelcli
