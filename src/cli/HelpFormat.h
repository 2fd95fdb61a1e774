// File: HelpFormat.h
//
// The tool's help, wrapped to the terminal's width (80 columns when it has none).
#pragma once

#include <string>

#include <CLI/CLI.hpp>

namespace qelcli {

class HelpFormatter : public CLI::Formatter {
public:
    HelpFormatter();

    std::string make_description(const CLI::App* app) const override;
    std::string make_subcommand(const CLI::App* sub) const override;
    std::string make_option_desc(const CLI::Option* option) const override;

private:
    size_t m_width;
};

// `text` broken at spaces into lines of at most `width` characters, joined by '\n'.
std::string Wrap(const std::string& text, size_t width);

}  // namespace qelcli
