// qelconfig export: everything stored below the application's key in both hives, as a .reg
// file that regedit and qelconfig import can read back.
#include <map>
#include <memory>

#include "Catalogue.h"
#include "Commands.h"
#include "FileBytes.h"
#include "Output.h"
#include "RegFile.h"
#include "Registry.h"
#include "Utf8.h"

namespace qelcli {

namespace {

ExitCode RunExport(const std::string& file, bool utf8) {
    std::vector<regfile::Key> keys;
    size_t count = 0;
    for (Hive hive : kHives) {
        std::vector<TreeValue> values;
        if (const LSTATUS rc = ListTree(hive, kAppKey, values); rc != ERROR_SUCCESS)
            return Refuse("cannot read " + DescribeHive(hive) + ": " + StatusText(rc));
        std::map<std::u16string, size_t> index;
        for (TreeValue& value : values) {
            const std::u16string path = std::u16string(HiveName16(hive)) + u"\\" + value.key;
            auto [at, added] = index.emplace(path, keys.size());
            if (added) keys.push_back({path, {}});
            keys[at->second].values.push_back(
                {value.name, value.value.type,
                 std::vector<std::uint8_t>(value.value.data.begin(), value.value.data.end())});
            ++count;
        }
    }
    const std::string bytes =
        regfile::Write(std::move(keys), utf8 ? regfile::Encoding::Utf8 : regfile::Encoding::Utf16);
    if (file.empty() || file == "-") {
        if (!PrintBytes(bytes)) return Refuse("cannot write to standard output");
        return ExitCode::Ok;
    }
    std::string reason;
    if (!WriteFileBytes(file, bytes, reason)) return Refuse(reason);
    PrintLine("exported " + std::to_string(count) + " values to " + file);
    return ExitCode::Ok;
}

}  // namespace

void AddExportCommand(CLI::App& app, ExitCode& result) {
    auto* command = app.add_subcommand(
        "export",
        "Writes the values stored in both hives as a .reg file (version 5, UTF-16LE with a "
        "byte-order mark, CRLF), sorted, to FILE or to standard output.");
    auto file = std::make_shared<std::string>();
    auto utf8 = std::make_shared<bool>(false);
    command->add_option("FILE", *file, "The file to write (default: standard output)");
    command->add_flag("--utf8", *utf8, "Write UTF-8 without a byte-order mark");
    command->callback([=, &result] { result = RunExport(*file, *utf8); });
}

}  // namespace qelcli
