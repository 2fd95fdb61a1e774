// qelconfig: the command line over the settings, the capabilities and their registry storage.
#include <csignal>
#include <new>
#include <string>
#include <vector>

#include "CommandTable.h"
#include "HelpFormat.h"
#include "Output.h"
#include "Usage.h"
#include "Utf8.h"

#if defined(_WIN32)
// <shellapi.h> needs <windows.h> first; QelPlatform.h brings it without the min/max macros.
#include "QelRegistry.h"
#include <shellapi.h>
#endif

#ifndef QELCONFIG_VERSION
#error "QELCONFIG_VERSION comes from the build (the project version)"
#endif

namespace {

// The arguments as UTF-8: Windows passes main() the ANSI code page's bytes.
std::vector<std::string> Arguments(int argc, char** argv) {
    std::vector<std::string> arguments;
#if defined(_WIN32)
    (void)argv;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; wide != nullptr && i < count; ++i)
        arguments.push_back(qelcli::ToUtf8(reinterpret_cast<const char16_t*>(wide[i])));
    LocalFree(wide);
    if (!arguments.empty()) return arguments;
#endif
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i]);
    return arguments;
}

}  // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
    // A closed pipe is a failed write to report, not a reason to die without a word.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    qelcli::PrepareConsole();
    CLI::App app(
        "qelconfig: reads, writes, exports, imports and checks the settings that the "
        "QelConfig library keeps in the registry.",
        "qelconfig");
    app.set_version_flag("--version", QELCONFIG_VERSION);
    app.formatter(std::make_shared<qelcli::HelpFormatter>());
    app.footer(qelcli::HelpFooter());
    app.require_subcommand(1);
    qelcli::ExitCode result = qelcli::ExitCode::Ok;
    qelcli::AddCommands(app, result);

    std::vector<std::string> arguments = Arguments(argc, argv);
    if (qelcli::RefuseUnknownCommand(app, arguments))
        return static_cast<int>(qelcli::ExitCode::Usage);
    std::vector<const char*> pointers;
    pointers.reserve(arguments.size());
    for (const auto& argument : arguments) pointers.push_back(argument.c_str());
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
    } catch (const CLI::ParseError& error) {
        return qelcli::ReportParseError(app, error);
    } catch (const std::bad_alloc&) {
        // Commands that can need much memory say so themselves; this is the last word for any
        // other, rather than the exception's name.
        qelcli::Refuse("not enough memory to finish the command");
        return static_cast<int>(qelcli::ExitCode::Failed);
    } catch (const std::exception& error) {
        qelcli::Refuse(error.what());
        return static_cast<int>(qelcli::ExitCode::Failed);
    }
    return static_cast<int>(result);
}
