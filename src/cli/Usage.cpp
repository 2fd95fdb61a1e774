#include "Usage.h"

#include "ExitCode.h"
#include "Output.h"
#include "Suggest.h"

namespace qelcli {

namespace {

std::vector<std::string> CommandNames(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; }))
        names.push_back(command->get_name());
    return names;
}

std::vector<std::string> OptionNames(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
        for (const std::string& name : option->get_snames()) names.push_back("-" + name);
    }
    return names;
}

int Usage(std::string_view message) {
    Warn(std::string(message) + "; qelconfig help lists the commands");
    return static_cast<int>(ExitCode::Usage);
}

}  // namespace

bool RefuseUnknownCommand(const CLI::App& app, const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) return false;
    const std::string& first = arguments[1];
    if (first.empty() || first.front() == '-') {
        const std::vector<std::string> options = OptionNames(app);
        if (first.empty() || std::find(options.begin(), options.end(), first) != options.end())
            return false;
        Usage("unknown option '" + first + "'" + DidYouMean(Nearest(first, options, 1)));
        return true;
    }
    const std::vector<std::string> commands = CommandNames(app);
    if (std::find(commands.begin(), commands.end(), first) != commands.end()) return false;
    Usage("unknown command '" + first + "'" + DidYouMean(Nearest(first, commands, 1)));
    return true;
}

int ReportParseError(CLI::App& app, const CLI::ParseError& error) {
    // The command whose line it was, if one was named.
    CLI::App* command = &app;
    for (CLI::App* sub : app.get_subcommands()) command = sub;
    const std::string prefix = command == &app ? "" : command->get_name() + ": ";
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        for (const std::string& extra : command->remaining()) {
            if (extra.empty() || extra.front() != '-') continue;
            return Usage(prefix + "unknown option '" + extra + "'" +
                         DidYouMean(Nearest(extra, OptionNames(*command), 1)));
        }
        return Usage(prefix + error.what());
    }
    // --help and --version arrive here too, with exit code 0, and print themselves.
    if (error.get_exit_code() == 0) return app.exit(error);
    return Usage(prefix + error.what());
}

std::string HelpFooter() {
    return "Environment (off Windows, where the hives are files of the registry's own):\n"
           "  QELCONFIG_USER_HIVE       the user hive's file (default:\n"
           "                            ~/.config/qelconfig/user.hive, or under\n"
           "                            $XDG_CONFIG_HOME)\n"
           "  QELCONFIG_MACHINE_HIVE    the machine hive's file (default:\n"
           "                            /var/lib/qelconfig/machine.hive)\n"
           "  QELCONFIG_READONLY_HIVES  user, machine or user,machine: hives opened\n"
           "                            read-only\n"
           "  QELCONFIG_SYNC            full: each commit reaches the disk before it\n"
           "                            returns\n"
           "Exit codes: 0 done (doctor: nothing to report); 1 refused or failed, the\n"
           "reason on stderr (doctor: problems found); 2 the command line is wrong.";
}

}  // namespace qelcli
