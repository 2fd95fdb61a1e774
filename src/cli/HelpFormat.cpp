#include "HelpFormat.h"

#include <cstdlib>
#include <sstream>

#if defined(_WIN32)
#include "QelRegistry.h"
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace qelcli {

namespace {

constexpr size_t kDefaultWidth = 80;
constexpr size_t kNarrowest = 40;
constexpr size_t kNameColumn = 26;

size_t TerminalWidth() {
    size_t width = 0;
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) != 0)
        width = static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
#else
    winsize size{};
    if (::isatty(STDOUT_FILENO) != 0 && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0)
        width = size.ws_col;
#endif
    if (width == 0) {
        const char* columns = std::getenv("COLUMNS");
        width = columns != nullptr ? std::strtoul(columns, nullptr, 10) : 0;
    }
    return width >= kNarrowest ? width : kDefaultWidth;
}

}  // namespace

std::string Wrap(const std::string& text, size_t width) {
    std::string wrapped;
    size_t line = 0;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (line > 0 && line + 1 + word.size() > width) {
            wrapped += '\n';
            line = 0;
        } else if (line > 0) {
            wrapped += ' ';
            ++line;
        }
        wrapped += word;
        line += word.size();
    }
    return wrapped;
}

HelpFormatter::HelpFormatter() : m_width(TerminalWidth()) { column_width(kNameColumn); }

std::string HelpFormatter::make_description(const CLI::App* app) const {
    const std::string description = app->get_description();
    return description.empty() ? "" : Wrap(description, m_width) + "\n";
}

std::string HelpFormatter::make_subcommand(const CLI::App* sub) const {
    std::ostringstream out;
    CLI::detail::format_help(out, sub->get_display_name(),
                             Wrap(sub->get_description(), m_width - kNameColumn), kNameColumn);
    return out.str();
}

std::string HelpFormatter::make_option_desc(const CLI::Option* option) const {
    return Wrap(CLI::Formatter::make_option_desc(option), m_width - kNameColumn);
}

}  // namespace qelcli
