#include "CommandTable.h"

#include <memory>

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

std::span<const CommandRow* const> CommandTable() {
    static const CommandRow* const rows[] = {
        &kListCommand, &kGetCommand,    &kSetCommand,    &kResetCommand,  &kDescribeCommand,
        &kCapsCommand, &kExportCommand, &kImportCommand, &kDoctorCommand,
    };
    return rows;
}

void AddCommands(CLI::App& app, ExitCode& result) {
    for (const CommandRow* row : CommandTable()) {
        CLI::App* command = app.add_subcommand(row->name, row->help);
        auto json = std::make_shared<bool>(false);
        command->add_flag("--json", *json, "Print the result as JSON");
        std::function<Result()> run = row->options(*command);
        command->callback([json, run = std::move(run), &result] { result = Render(run(), *json); });
    }
}

}  // namespace qelcli
