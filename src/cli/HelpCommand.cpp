// qelconfig help [COMMAND]: the tool's help, or one command's.
#include <memory>

#include "Command.h"
#include "Suggest.h"

namespace qelcli {

namespace {

Result RunHelp(const CLI::App& tool, const std::string& name) {
    const CLI::App* shown = &tool;
    if (!name.empty()) {
        std::vector<std::string> names;
        shown = nullptr;
        for (const CLI::App* command : tool.get_subcommands([](const CLI::App*) { return true; })) {
            names.push_back(command->get_name());
            if (command->get_name() == name) shown = command;
        }
        if (shown == nullptr) {
            Result unknown =
                Refused("unknown command '" + name + "'" + DidYouMean(Nearest(name, names, 1)));
            unknown.code = ExitCode::Usage;
            return unknown;
        }
    }
    Result result;
    // Through the formatter: the App's own help() shows the command being run, this one.
    const std::string text = shown->get_formatter()->make_help(
        shown, name.empty() ? "qelconfig" : "qelconfig " + name, CLI::AppFormatMode::Normal);
    result.data = {{"command", name.empty() ? nlohmann::json() : nlohmann::json(name)},
                   {"help", text}};
    result.lines = {text.substr(0, text.find_last_not_of('\n') + 1)};
    return result;
}

}  // namespace

extern const CommandRow kHelpCommand = {
    "help", "The tool's help, or a command's.", [](CLI::App& command) -> std::function<Result()> {
        auto name = std::make_shared<std::string>();
        command.add_option("COMMAND", *name, "The command to describe");
        const CLI::App* tool = command.get_parent();
        return [tool, name] { return RunHelp(*tool, *name); };
    }};

}  // namespace qelcli
