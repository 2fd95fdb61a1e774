// qelconfig export: everything stored below the application's key in both hives, as a .reg
// file that regedit and qelconfig import can read back.
#include <memory>

#include "Catalogue.h"
#include "Command.h"
#include "FileBytes.h"
#include "Output.h"
#include "RegFile.h"
#include "Registry.h"
#include "Utf8.h"

namespace qelcli {

namespace {

// Every value of both hives as .reg keys. A key the walk could not read makes the export
// refuse: a backup that silently lacks part of the tree would restore as a different one.
Result RunExport(const std::string& file, bool utf8, bool json) {
    std::vector<regfile::Key> keys;
    size_t count = 0;
    size_t unread = 0;
    for (Hive hive : kHives) {
        TreeVisit visit;
        visit.enter = [&](const std::u16string& key, std::vector<NamedValue>& values) {
            if (values.empty()) return;
            regfile::Key& out = keys.emplace_back();
            out.path = HiveName16(hive);
            out.path += u'\\';
            out.path += key;
            out.values.reserve(values.size());
            for (NamedValue& value : values)
                out.values.push_back(
                    {std::move(value.name), value.value.type, std::move(value.value.data)});
            count += values.size();
        };
        std::vector<SkippedKey> skipped;
        if (const LSTATUS rc = WalkTree(hive, AppKey(), visit, skipped); rc != ERROR_SUCCESS)
            return Refused("cannot read " + DescribeHive(hive) + ": " + StatusText(rc));
        for (const SkippedKey& key : skipped) Warn(DescribeSkipped(hive, key));
        unread += skipped.size();
    }
    if (unread > 0)
        return Refused("nothing exported: " + std::to_string(unread) +
                       " key(s) could not be read, and a .reg file without them would restore "
                       "as less than is stored");
    const std::string bytes =
        regfile::Write(std::move(keys), utf8 ? regfile::Encoding::Utf8 : regfile::Encoding::Utf16);
    // Standard output by any name is written as a stream: replacing the file behind it would
    // leave the shell's redirection pointing at a file no longer linked anywhere.
    Result result;
    if (file.empty() || file == "-" || IsStandardOutput(file)) {
        if (json)
            return Refused(
                "--json describes an export to a FILE; the .reg text itself is what "
                "goes to standard output");
        result.bytes = bytes;
        result.hasBytes = true;
        return result;
    }
    std::string reason;
    if (!WriteFileBytes(file, bytes, reason)) return Refused(reason);
    result.data = {{"file", file}, {"values", count}};
    result.lines = {"exported " + std::to_string(count) + " values to " + file};
    return result;
}

}  // namespace

extern const CommandRow kExportCommand = {
    "export",
    "Writes the values stored in both hives as a .reg file (version 5, UTF-16LE with a "
    "byte-order mark, CRLF), sorted, to FILE or to standard output. A file is replaced whole or "
    "not at all, keeping its mode; a FIFO or device is written as a stream. Refuses if any key "
    "cannot be read.",
    [](CLI::App& command) -> std::function<Result()> {
        auto file = std::make_shared<std::string>();
        auto utf8 = std::make_shared<bool>(false);
        command.add_option("FILE", *file, "The file to write (default: standard output)");
        command.add_flag("--utf8", *utf8, "Write UTF-8 without a byte-order mark");
        // --json is the table's flag, added to every command.
        return
            [file, utf8, &command] { return RunExport(*file, *utf8, command.count("--json") > 0); };
    }};

}  // namespace qelcli
