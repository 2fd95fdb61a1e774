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
struct ExportOptions {
    std::string file;
    bool utf8 = false;
    bool utf16 = false;
};

Result RunExport(const ExportOptions& options, bool json) {
    const std::string& file = options.file;
    if (!WarnUnreadableHives({Hive::User, Hive::Machine}, "nothing exported").empty())
        return Refused(
            "nothing exported: a backup without a hive's values would restore as less "
            "than is stored");
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
    // A file gets regedit's own UTF-16 unless told otherwise; standard output gets UTF-8, which a
    // terminal shows and grep reads.
    const bool toStream = file.empty() || file == "-" || IsStandardOutput(file);
    const bool utf8 = options.utf8 || (toStream && !options.utf16);
    const std::string bytes =
        regfile::Write(std::move(keys), utf8 ? regfile::Encoding::Utf8 : regfile::Encoding::Utf16);
    // Standard output by any name is written as a stream: replacing the file behind it would
    // leave the shell's redirection pointing at a file no longer linked anywhere.
    Result result;
    if (toStream) {
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
    "Writes the values stored in both hives as a sorted .reg file (version 5, CRLF): to FILE in "
    "UTF-16LE with a byte-order mark, as the registry editor writes it, or to standard output in "
    "UTF-8. A file is replaced whole or not at all, keeping its mode; a FIFO or device is written "
    "as a stream. Refuses if any key or hive cannot be read.",
    [](CLI::App& command) -> std::function<Result()> {
        auto options = std::make_shared<ExportOptions>();
        command.add_option("FILE", options->file, "The file to write (default: standard output)");
        auto* utf8 = command.add_flag("--utf8", options->utf8, "UTF-8 without a byte-order mark");
        command.add_flag("--utf16", options->utf16, "UTF-16LE with a byte-order mark")
            ->excludes(utf8);
        // --json is the table's flag, added to every command.
        return [options, &command] { return RunExport(*options, command.count("--json") > 0); };
    }};

}  // namespace qelcli
