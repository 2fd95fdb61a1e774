#include "Output.h"

#include <cstdio>

#include "Utf8.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace qelcli {

void PrepareConsole() {
#if defined(_WIN32)
    SetConsoleOutputCP(CP_UTF8);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

void Print(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void PrintLine(std::string_view text) {
    Print(text);
    Print("\n");
}

void PrintJson(const nlohmann::json& document) { PrintLine(document.dump(2)); }

bool PrintBytes(std::string_view bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() &&
           std::fflush(stdout) == 0;
}

namespace {

bool g_jsonDiagnostics = false;

void Diagnose(const char* kind, std::string_view text) {
    std::fflush(stdout);
    if (g_jsonDiagnostics) {
        const std::string line = nlohmann::json{{kind, std::string(text)}}.dump(
            -1, ' ', false, nlohmann::json::error_handler_t::replace);
        std::fprintf(stderr, "%s\n", line.c_str());
        return;
    }
    std::fprintf(stderr, "qelconfig: %.*s\n", static_cast<int>(text.size()), text.data());
}

}  // namespace

void SetJsonDiagnostics(bool json) { g_jsonDiagnostics = json; }

ExitCode Refuse(std::string_view reason) {
    Diagnose("error", reason);
    return ExitCode::Failed;
}

void Warn(std::string_view reason) { Diagnose("warning", reason); }

std::string Printable(std::u16string_view text) {
    std::u16string shown;
    for (char16_t c : text) {
        if (c == u'\n') {
            shown += u"\\n";
        } else if (c == u'\t') {
            shown += u"\\t";
        } else if (c < 0x20 || c == 0x7F) {
            static const char16_t digits[] = u"0123456789abcdef";
            shown += u"\\x";
            shown += digits[c >> 4];
            shown += digits[c & 0xF];
        } else {
            shown += c;
        }
    }
    return ToUtf8(shown);
}

}  // namespace qelcli
