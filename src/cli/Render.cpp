#include "Render.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "Output.h"
#include "Utf8.h"

namespace qelcli {

namespace {

// A JSON value as one console cell: text plain (control characters escaped), a null as "-",
// lists joined by commas, anything else as its JSON text.
std::string Cell(const nlohmann::json& value, bool quoted) {
    if (quoted) return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (value.is_null()) return "-";
    if (value.is_string()) {
        const std::optional<std::u16string> text = FromUtf8(value.get<std::string>());
        return text ? Printable(*text) : value.get<std::string>();
    }
    if (value.is_array()) {
        std::string joined;
        for (const auto& item : value) joined += (joined.empty() ? "" : ", ") + Cell(item, false);
        return joined;
    }
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Characters on a console, near enough: UTF-8 lead bytes.
size_t Width(const std::string& text) {
    size_t width = 0;
    for (unsigned char c : text) width += (c & 0xC0) != 0x80 ? 1 : 0;
    return width;
}

// The value under a key; "a.b" names b inside the object under a.
const nlohmann::json* Lookup(const nlohmann::json& data, std::string_view key) {
    const nlohmann::json* at = &data;
    for (;;) {
        const size_t dot = key.find('.');
        const auto found = at->find(std::string(key.substr(0, dot)));
        if (found == at->end()) return nullptr;
        at = &*found;
        if (dot == std::string_view::npos) return at;
        key.remove_prefix(dot + 1);
    }
}

constexpr size_t kConsoleColumns = 80;
constexpr size_t kNarrowestCut = 12;

// The first `width` characters of a UTF-8 text, the last of them an ellipsis when it is cut.
std::string Cut(const std::string& text, size_t width) {
    if (Width(text) <= width) return text;
    size_t kept = 0;
    size_t end = 0;
    for (; end < text.size(); ++end) {
        if ((static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) continue;
        if (kept == width - 1) break;
        ++kept;
    }
    return text.substr(0, end) + "\u2026";
}

void PrintTable(const nlohmann::json& rows, const std::vector<Field>& columns, bool wide) {
    std::vector<std::vector<std::string>> cells;
    std::vector<size_t> widths;
    for (const Field& column : columns) widths.push_back(Width(column.key));
    for (const auto& row : rows) {
        std::vector<std::string>& line = cells.emplace_back();
        for (size_t i = 0; i < columns.size(); ++i) {
            const nlohmann::json* value = Lookup(row, columns[i].key);
            line.push_back(value == nullptr ? "-" : Cell(*value, columns[i].quoted));
            widths[i] = std::max(widths[i], Width(line.back()));
        }
    }
    // Too wide for a console: the widest column that may be cut loses a character at a time.
    const auto total = [&] {
        size_t sum = 2 * (widths.size() - 1);
        for (size_t width : widths) sum += width;
        return sum;
    };
    while (!wide && total() > kConsoleColumns) {
        size_t widest = widths.size();
        for (size_t i = 0; i < widths.size(); ++i)
            if (columns[i].shorten && widths[i] > kNarrowestCut &&
                (widest == widths.size() || widths[i] > widths[widest]))
                widest = i;
        if (widest == widths.size()) break;
        --widths[widest];
    }
    for (auto& line : cells)
        for (size_t i = 0; i < line.size(); ++i) line[i] = Cut(line[i], widths[i]);
    const auto printRow = [&](const std::vector<std::string>& line) {
        std::string text;
        for (size_t i = 0; i < line.size(); ++i) {
            text += line[i];
            if (i + 1 < line.size()) text += std::string(widths[i] - Width(line[i]) + 2, ' ');
        }
        PrintLine(text);
    };
    std::vector<std::string> headings;
    for (const Field& column : columns) headings.push_back(column.key);
    printRow(headings);
    for (const auto& line : cells) printRow(line);
}

void PrintRecord(const nlohmann::json& data, const std::vector<Field>& fields) {
    size_t width = 0;
    for (const Field& field : fields) width = std::max(width, Width(field.key));
    for (const Field& field : fields) {
        const nlohmann::json* value = Lookup(data, field.key);
        PrintLine(field.key + ":" + std::string(width - Width(field.key) + 1, ' ') +
                  (value == nullptr ? "-" : Cell(*value, field.quoted)));
    }
}

void PrintText(const Result& result) {
    for (const std::string& line : result.lines) PrintLine(line);
    if (!result.table.empty()) {
        const nlohmann::json& rows =
            result.tableKey.empty() ? result.data : result.data.at(result.tableKey);
        PrintTable(rows, result.table, result.wide);
    }
    if (!result.record.empty()) PrintRecord(result.data, result.record);
    for (const std::string& line : result.closing) PrintLine(line);
}

}  // namespace

Result Refused(std::string_view reason) {
    Refuse(reason);
    return Result::Failed();
}

ExitCode Render(const Result& result, bool json) {
    errno = 0;
    if (result.hasBytes)
        Print(result.bytes);
    else if (json && !result.data.is_null())
        PrintJson(result.data);
    else if (!json)
        PrintText(result);
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        const int error = errno;
        return Refuse(std::string("cannot write to standard output: ") +
                      (error != 0 ? std::strerror(error) : "the write failed"));
    }
    return result.code;
}

}  // namespace qelcli
