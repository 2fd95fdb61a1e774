// doctor --repair: hives damaged in several ways are moved aside unchanged and rebuilt with
// exactly the values that could still be read; foreign and healthy files are left alone.
#if !defined(_WIN32)

#include <sqlite3.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "RegFile.h"
#include "ToolFixture.h"
#include "Utf8.h"
#include "support/ChildProcess.h"

namespace qeltest {

namespace {

namespace fs = std::filesystem;

const std::u16string kApp = u"Software\\Halvard\\Nuvex12\\OEM\\Korvid";

struct Entry {
    std::u16string key;
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

using Where = std::pair<std::u16string, std::u16string>;  // key path, value name
using Contents = std::map<Where, std::pair<DWORD, std::vector<BYTE>>>;

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// Enough values of every type, and long enough, to fill many pages of the values table.
std::vector<Entry> Values(int first, int count) {
    static const DWORD kTypes[] = {REG_SZ,   REG_BINARY,   REG_DWORD,    REG_QWORD,
                                   REG_NONE, REG_MULTI_SZ, REG_EXPAND_SZ};
    std::vector<Entry> entries;
    for (int i = first; i < first + count; ++i) {
        char name[24];
        std::snprintf(name, sizeof name, "Value%03d", i);
        Entry entry{
            kApp + u"\\Bulk\\Group" + Ascii(std::to_string(i % 5)), Ascii(name), kTypes[i % 7], {}};
        std::size_t size = entry.type == REG_DWORD ? 4 : entry.type == REG_QWORD ? 8 : 180;
        for (std::size_t b = 0; b < size; ++b)
            entry.data.push_back(static_cast<BYTE>((i * 31 + static_cast<int>(b) * 7) & 0xFF));
        if (entry.type == REG_SZ)
            entry.data = TextBytes(Ascii("text " + std::string(80, 'a' + i % 26)));
        // Text types end with their terminators, or the registry looks past the data for one.
        if (entry.type == REG_EXPAND_SZ || entry.type == REG_MULTI_SZ)
            entry.data.insert(entry.data.end(), entry.type == REG_MULTI_SZ ? 4 : 2, 0);
        entries.push_back(std::move(entry));
    }
    return entries;
}

Contents AsContents(const std::vector<Entry>& entries) {
    Contents contents;
    for (const Entry& e : entries) contents[{e.key, e.name}] = {e.type, e.data};
    return contents;
}

// Writes in a child process, so that this process never has the hive open (the tool must meet
// it as any fresh process would). The child ends without closing its connection, so what is
// not checkpointed stays in the -wal file.
void Populate(const std::vector<Entry>& entries, bool checkpoint, const fs::path& hive) {
    const int exitCode = InChild([&] {
        for (const Entry& e : entries) {
            qelreg::RegKey key;
            if (key.Create(HKEY_CURRENT_USER, e.key, KEY_WRITE) != ERROR_SUCCESS ||
                RegSetValueExW(key.Get(), e.name.c_str(), 0, e.type, e.data.data(),
                               static_cast<DWORD>(e.data.size())) != ERROR_SUCCESS)
                _exit(1);
        }
        if (checkpoint) {
            sqlite3* db = nullptr;
            if (sqlite3_open_v2(hive.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
                sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr) !=
                    SQLITE_OK)
                _exit(2);
            sqlite3_close(db);
        }
        // Without closing the connection, so that what is not checkpointed stays in the -wal.
        _exit(0);
        return 0;
    });
    ASSERT_EQ(exitCode, 0);
}

std::uint32_t Be(const std::string& page, std::size_t at, int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | static_cast<unsigned char>(page[at + i]);
    return value;
}

std::uint64_t Varint(const std::string& page, std::size_t* at) {
    std::uint64_t value = 0;
    for (int i = 0; i < 9; ++i) {
        const auto byte = static_cast<unsigned char>(page[(*at)++]);
        if (i == 8) return value << 8 | byte;
        value = value << 7 | (byte & 0x7F);
        if ((byte & 0x80) == 0) break;
    }
    return value;
}

// The file's view of one table b-tree: for each row id, the pages on its path from the root.
struct TableLayout {
    std::size_t pageSize = 0;
    std::map<std::int64_t, std::vector<std::uint32_t>> pathOf;
    std::set<std::uint32_t> leaves;
};

void Walk(const std::string& file, std::size_t pageSize, std::uint32_t page,
          std::vector<std::uint32_t> path, TableLayout& layout) {
    const std::string bytes = file.substr((page - 1) * pageSize, pageSize);
    const std::size_t header = page == 1 ? 100 : 0;
    const auto type = static_cast<unsigned char>(bytes[header]);
    const std::uint32_t cells = Be(bytes, header + 3, 2);
    path.push_back(page);
    if (type == 0x0D) {
        layout.leaves.insert(page);
        for (std::uint32_t c = 0; c < cells; ++c) {
            std::size_t at = Be(bytes, header + 8 + 2 * c, 2);
            Varint(bytes, &at);  // payload size
            layout.pathOf[static_cast<std::int64_t>(Varint(bytes, &at))] = path;
        }
        return;
    }
    ASSERT_EQ(type, 0x05) << "page " << page;
    for (std::uint32_t c = 0; c < cells; ++c)
        Walk(file, pageSize, Be(bytes, Be(bytes, header + 12 + 2 * c, 2), 4), path, layout);
    Walk(file, pageSize, Be(bytes, header + 8, 4), path, layout);
}

// Where each value row lives in the main file (not its -wal), and each row's key and name.
struct HiveLayout {
    TableLayout vals;
    std::map<std::int64_t, Where> rows;
};

HiveLayout ReadLayout(const fs::path& hive) {
    HiveLayout layout;
    sqlite3* db = nullptr;
    const std::string uri = "file:" + hive.string() + "?immutable=1";
    EXPECT_EQ(sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr),
              SQLITE_OK);
    std::map<std::int64_t, std::pair<std::int64_t, std::u16string>> keys;
    std::uint32_t root = 0;
    auto each = [db](const char* sql, auto&& row) {
        sqlite3_stmt* stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), SQLITE_OK) << sql;
        while (sqlite3_step(stmt) == SQLITE_ROW) row(stmt);
        sqlite3_finalize(stmt);
    };
    each("SELECT rootpage FROM sqlite_schema WHERE name = 'vals'",
         [&](sqlite3_stmt* s) { root = static_cast<std::uint32_t>(sqlite3_column_int64(s, 0)); });
    each("SELECT id, parent, name FROM keys", [&](sqlite3_stmt* s) {
        keys[sqlite3_column_int64(s, 0)] = {
            sqlite3_column_int64(s, 1),
            FromUtf16Bytes(sqlite3_column_blob(s, 2),
                           static_cast<std::size_t>(sqlite3_column_bytes(s, 2)))};
    });
    auto pathOf = [&keys](std::int64_t id) {
        std::u16string path;
        for (; id != 0; id = keys.at(id).first)
            path = keys.at(id).second + (path.empty() ? u"" : u"\\" + path);
        return path;
    };
    each("SELECT id, key, name FROM vals", [&](sqlite3_stmt* s) {
        layout.rows[sqlite3_column_int64(s, 0)] = {
            pathOf(sqlite3_column_int64(s, 1)),
            FromUtf16Bytes(sqlite3_column_blob(s, 2),
                           static_cast<std::size_t>(sqlite3_column_bytes(s, 2)))};
    });
    sqlite3_close(db);
    std::ifstream in(hive, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::uint32_t size = Be(file, 16, 2);
    layout.vals.pageSize = size == 1 ? 65536 : size;
    Walk(file, layout.vals.pageSize, root, {}, layout.vals);
    return layout;
}

std::u16string Upper(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}

void Overwrite(const fs::path& file, std::size_t offset, const std::string& bytes) {
    std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::set<fs::path> Listing(const fs::path& directory) {
    std::set<fs::path> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path());
    return names;
}

class DoctorRepair : public ToolTest {
protected:
    fs::path Hive() const { return sandbox.UserHive(); }

    // The user hive's contents below the application's key, through the tool's export.
    Contents Exported() {
        const ToolRun run = Run({"export", "--utf8"});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        const qelcli::regfile::Parsed parsed = qelcli::regfile::Parse(run.out);
        EXPECT_TRUE(parsed.errors.empty());
        Contents contents;
        std::u16string key;
        const std::u16string prefix = u"HKEY_CURRENT_USER\\";
        for (const auto& op : parsed.operations) {
            if (op.kind == qelcli::regfile::Operation::OpenKey) key = op.key;
            if (op.kind != qelcli::regfile::Operation::SetValue || key.rfind(prefix, 0) != 0)
                continue;
            contents[{key.substr(prefix.size()), op.name}] = {op.type, op.data};
        }
        return contents;
    }

    // Runs the repair, which must find the user hive damaged and move it aside, and checks
    // that the moved files are the damaged ones, byte for byte.
    nlohmann::json RepairDamaged(int expectedExit) {
        std::map<std::string, std::string> before;
        for (const char* suffix : {"", "-wal", "-shm"}) {
            fs::path file = Hive();
            file += suffix;
            if (fs::exists(file)) before[suffix] = ReadFile(file);
        }
        const ToolRun doctor = Run({"doctor"});
        EXPECT_EQ(doctor.exitCode, 1) << doctor.out;
        EXPECT_NE(doctor.out.find("HKEY_CURRENT_USER: hive: "), std::string::npos) << doctor.out;

        const ToolRun run = Run({"doctor", "--repair", "--json"});
        EXPECT_EQ(run.exitCode, expectedExit) << run.out << run.err;
        // Made as any new hive is, and complete without a -wal (before anything opens it).
        if (fs::exists(Hive())) {
            struct stat st {};
            EXPECT_EQ(stat(Hive().c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0600u);
            EXPECT_FALSE(fs::exists(Hive().string() + "-wal"));
            EXPECT_FALSE(fs::exists(Hive().string() + "-shm"));
        }
        nlohmann::json report = nlohmann::json::parse(run.out);
        const nlohmann::json& user = report["hives"][0];
        EXPECT_EQ(user["state"], "damaged");
        EXPECT_EQ(user["action"], "repaired");
        EXPECT_EQ(report["repaired"], expectedExit == 0);
        EXPECT_EQ(report["hives"][1]["action"], "none");
        EXPECT_EQ(user["movedTo"].size(), before.size()) << user.dump(2);
        if (user["movedTo"].empty()) return report;
        const std::string aside = user["movedTo"][0];
        EXPECT_EQ(aside.rfind(Hive().string() + ".corrupt-", 0), 0u) << aside;
        for (const auto& [suffix, bytes] : before) {
            // The -shm is an index every connection writes to (doctor's own check included).
            if (suffix != std::string("-shm")) {
                EXPECT_TRUE(ReadFile(aside + suffix) == bytes) << "moved file differs: " << suffix;
            }
            fs::path original = Hive();
            original += suffix;
            if (suffix[0] != '\0') {
                EXPECT_FALSE(fs::exists(original)) << original;
            }
        }
        return report;
    }

    // A hive with 200 values checkpointed and 12 more still in its -wal, and a leaf page of the
    // values that the -wal holds no newer copy of zeroed, so that the damage shows; *expected
    // receives what a repair can save.
    void DamageWithCommitsInTheWal(Contents* expected) {
        const std::vector<Entry> early = Values(0, 200);
        const std::vector<Entry> late = Values(200, 12);
        Populate(early, true, Hive());
        const HiveLayout layout = ReadLayout(Hive());
        Populate(late, false, Hive());
        const std::string wal = ReadFile(Hive().string() + "-wal");
        ASSERT_GT(wal.size(), 32u) << "the late values must still be in the -wal";
        std::set<std::uint32_t> inWal;
        for (std::size_t at = 32; at + 24 <= wal.size(); at += 24 + layout.vals.pageSize)
            inWal.insert(Be(wal, at, 4));
        std::uint32_t victim = 0;
        for (std::uint32_t leaf : layout.vals.leaves)
            if (inWal.count(leaf) == 0 && leaf != *layout.vals.leaves.begin()) victim = leaf;
        ASSERT_NE(victim, 0u);
        Overwrite(Hive(), (victim - 1) * layout.vals.pageSize,
                  std::string(layout.vals.pageSize, '\0'));
        *expected = AsContents(early);
        for (const auto& [id, path] : layout.vals.pathOf)
            if (path.back() == victim) expected->erase(layout.rows.at(id));
        for (const Entry& e : late) (*expected)[{e.key, e.name}] = {e.type, e.data};
    }

    // After a repair doctor finds nothing wrong with either file (that no setting owns the
    // test's values is another matter).
    void ExpectHealthyAfterwards() {
        const ToolRun doctor = Run({"doctor", "--json"});
        const nlohmann::json report = nlohmann::json::parse(doctor.out);
        ASSERT_EQ(report["hives"].size(), 2u) << doctor.out;
        for (const auto& hive : report["hives"]) EXPECT_TRUE(hive["problem"].is_null()) << hive;
        for (const auto& problem : report["problems"]) EXPECT_NE(problem["kind"], "hive");
    }

    static std::set<Where> LostValues(const nlohmann::json& user) {
        std::set<Where> lost;
        for (const auto& loss : user["lost"]) {
            if (loss["value"].is_null()) continue;
            lost.insert({*qelcli::FromUtf8(loss["key"].get<std::string>()),
                         *qelcli::FromUtf8(loss["value"].get<std::string>())});
        }
        return lost;
    }
};

TEST_F(DoctorRepair, AGarbagePageLosesOnlyItsRowsAndTheReportNamesThem) {
    std::vector<Entry> entries = Values(0, 240);
    entries.push_back({kApp + u"\\UI", u"ProjectType", REG_SZ, TextBytes(u"2")});
    Populate(entries, true, Hive());
    const HiveLayout layout = ReadLayout(Hive());
    ASSERT_GE(layout.vals.leaves.size(), 5u);
    const std::uint32_t victim = *std::next(layout.vals.leaves.begin(), 2);
    Overwrite(Hive(), (victim - 1) * layout.vals.pageSize,
              std::string(layout.vals.pageSize, '\xA5'));

    Contents expected = AsContents(entries);
    std::set<Where> onVictim;
    for (const auto& [id, path] : layout.vals.pathOf) {
        if (path.back() != victim) continue;
        const Where& where = layout.rows.at(id);
        expected.erase(where);
        onVictim.insert({where.first, Upper(where.second)});
    }
    ASSERT_FALSE(onVictim.empty());
    ASSERT_FALSE(onVictim.count({kApp + u"\\UI", u"PROJECTTYPE"})) << "pick another page";

    const nlohmann::json report = RepairDamaged(1);
    const nlohmann::json& user = report["hives"][0];
    EXPECT_EQ(user["rebuilt"], Hive().string());
    EXPECT_EQ(user["saved"]["values"], expected.size());
    // The index still names every lost row: in capitals, as it keeps them.
    EXPECT_EQ(LostValues(user), onVictim);
    EXPECT_TRUE(user["unreadable"].empty()) << user.dump(2);
    EXPECT_TRUE(Exported() == expected);
    ExpectHealthyAfterwards();
    const ToolRun get = Run({"get", "UI/ProjectType"});
    EXPECT_EQ(get.exitCode, 0);
    EXPECT_EQ(get.out, "2\n");

    const ToolRun text = Run({"doctor", "--repair"});
    EXPECT_EQ(text.exitCode, 0) << text.out;
    EXPECT_NE(text.out.find("no hive needed repair"), std::string::npos) << text.out;
}

TEST_F(DoctorRepair, CommittedValuesStillInTheWalAreSaved) {
    Contents expected;
    DamageWithCommitsInTheWal(&expected);
    if (HasFatalFailure()) return;

    const nlohmann::json report = RepairDamaged(1);
    EXPECT_EQ(report["hives"][0]["saved"]["values"], expected.size());
    EXPECT_TRUE(Exported() == expected);
    ExpectHealthyAfterwards();
}

// A repair killed at each of its steps in turn: the path then holds the damaged hive with its
// -wal exactly as before, or the rebuilt hive, or a note that refuses the hive and that doctor
// reports; the next repair finishes the job, and nothing is left behind.
TEST_F(DoctorRepair, ARepairKilledAtAnyStepIsFinishedByTheNext) {
    Contents expected;
    DamageWithCommitsInTheWal(&expected);
    if (HasFatalFailure()) return;
    const std::map<std::string, std::string> damaged = {
        {"", ReadFile(Hive())}, {"-wal", ReadFile(Hive().string() + "-wal")}};
    ASSERT_GT(damaged.at("-wal").size(), 32u);
    const fs::path directory = Hive().parent_path();
    const std::set<fs::path> before = Listing(directory);
    const std::string note = Hive().string() + ".repairing";

    bool finished = false;
    int seen[2] = {0, 0};  // kills that left the note, and the old hive
    for (int stop = 1; !finished && stop < 20; ++stop) {
        SCOPED_TRACE("killed at step " + std::to_string(stop));
        // Each round starts from the damaged hive, and from nothing else.
        for (const fs::path& file : Listing(directory))
            if (before.count(file) == 0) fs::remove(file);
        for (const auto& [suffix, bytes] : damaged) {
            std::ofstream(Hive().string() + suffix, std::ios::binary | std::ios::trunc) << bytes;
        }
        fs::remove(Hive().string() + "-shm");
        setenv("QELCONFIG_TEST_REPAIR_STOP", std::to_string(stop).c_str(), 1);
        const ToolRun killed = Run({"doctor", "--repair", "--json"});
        unsetenv("QELCONFIG_TEST_REPAIR_STOP");
        finished = killed.exitCode != 128 + SIGKILL;
        if (!finished) {
            if (fs::exists(note)) {
                ++seen[0];
                const ToolRun doctor = Run({"doctor"});
                EXPECT_EQ(doctor.exitCode, 1);
                EXPECT_NE((doctor.out + doctor.err).find("doctor --repair"), std::string::npos)
                    << doctor.out << doctor.err;
            } else if (ReadFile(Hive()) == damaged.at("")) {
                ++seen[1];
                EXPECT_TRUE(ReadFile(Hive().string() + "-wal") == damaged.at("-wal"));
            } else {
                EXPECT_FALSE(fs::exists(Hive().string() + "-wal"));
                EXPECT_EQ(Run({"doctor"}).exitCode, 0);
            }
            const ToolRun again = Run({"doctor", "--repair", "--json"});
            EXPECT_NE(again.exitCode, 128 + SIGKILL);
        }
        // Whole and healthy, the damaged files kept aside unchanged, nothing else left over.
        ExpectHealthyAfterwards();
        EXPECT_TRUE(Exported() == expected);
        // (A -shm kept beside them holds no data of its own.)
        std::vector<fs::path> extra;
        for (const fs::path& file : Listing(directory)) {
            const std::string name = file.string();
            if (before.count(file) == 0 && name.compare(name.size() - 4, 4, "-shm") != 0)
                extra.push_back(file);
        }
        ASSERT_EQ(extra.size(), 2u) << "expected the damaged hive and its -wal kept aside";
        for (const fs::path& file : extra) {
            const std::string name = file.filename().string();
            const bool isWal = name.size() > 4 && name.compare(name.size() - 4, 4, "-wal") == 0;
            EXPECT_TRUE(ReadFile(file) == damaged.at(isWal ? "-wal" : "")) << name;
        }
    }
    EXPECT_TRUE(finished) << "the repair never ran to its end";
    EXPECT_GE(seen[0], 5) << "kills between the note and its removal";
    EXPECT_GE(seen[1], 1) << "kills before the note";
}

TEST_F(DoctorRepair, ATruncatedHiveKeepsTheRowsBeforeTheCut) {
    const std::vector<Entry> entries = Values(0, 240);
    Populate(entries, true, Hive());
    const HiveLayout layout = ReadLayout(Hive());
    const std::uint32_t pages =
        static_cast<std::uint32_t>(fs::file_size(Hive()) / layout.vals.pageSize);
    const std::uint32_t kept = pages / 2;
    fs::resize_file(Hive(), static_cast<std::uintmax_t>(kept) * layout.vals.pageSize);

    Contents expected = AsContents(entries);
    for (const auto& [id, path] : layout.vals.pathOf)
        if (*std::max_element(path.begin(), path.end()) > kept) expected.erase(layout.rows.at(id));
    ASSERT_LT(expected.size(), entries.size());
    ASSERT_FALSE(expected.empty());

    const nlohmann::json report = RepairDamaged(1);
    const nlohmann::json& user = report["hives"][0];
    EXPECT_EQ(user["saved"]["values"], expected.size());
    EXPECT_FALSE(user["lost"].empty() && user["unreadable"].empty()) << user.dump(2);
    EXPECT_TRUE(Exported() == expected);
    ExpectHealthyAfterwards();
}

TEST_F(DoctorRepair, AGarbageHeaderLeavesNothingToSaveAndSaysSo) {
    Populate(Values(0, 20), true, Hive());
    Overwrite(Hive(), 0, std::string(100, 'Z'));
    const nlohmann::json report = RepairDamaged(1);
    const nlohmann::json& user = report["hives"][0];
    EXPECT_TRUE(user["rebuilt"].is_null());
    EXPECT_EQ(user["saved"]["values"], 0);
    ASSERT_EQ(user["unreadable"].size(), 1u) << user.dump(2);
    EXPECT_EQ(user["unreadable"][0].get<std::string>().rfind("nothing could be read", 0), 0u);
    EXPECT_FALSE(fs::exists(Hive()));
    ExpectHealthyAfterwards();
    EXPECT_TRUE(Exported().empty());
}

TEST_F(DoctorRepair, ASchemaThatNoLongerMatchesOrParsesLosesNothing) {
    const char* const edits[] = {
        // Still valid SQL, but not this format's schema.
        "UPDATE sqlite_schema SET sql = 'CREATE UNIQUE INDEX keys_by_parent ON keys(fold, parent)' "
        "WHERE name = 'keys_by_parent'",
        // No longer SQL at all.
        "UPDATE sqlite_schema SET sql = 'CREATE INDEX vals_by_key ON' WHERE name = 'vals_by_key'",
    };
    for (const char* edit : edits) {
        SCOPED_TRACE(edit);
        fs::remove_all(Hive().parent_path());
        const std::vector<Entry> entries = Values(0, 60);
        Populate(entries, true, Hive());
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open_v2(Hive().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "PRAGMA writable_schema = ON", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, edit, nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);

        const nlohmann::json report = RepairDamaged(0);
        const nlohmann::json& user = report["hives"][0];
        EXPECT_TRUE(user["lost"].empty()) << user.dump(2);
        EXPECT_EQ(user["saved"]["values"], entries.size());
        EXPECT_TRUE(Exported() == AsContents(entries));
        ExpectHealthyAfterwards();
    }
}

TEST_F(DoctorRepair, AnotherProgramsDatabaseIsReportedAndLeftWhereItIs) {
    fs::create_directories(Hive().parent_path());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Hive().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(text); INSERT INTO notes VALUES('mine')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const std::string bytes = ReadFile(Hive());
    const std::set<fs::path> files = Listing(Hive().parent_path());

    const ToolRun run = Run({"doctor", "--repair", "--json"});
    EXPECT_EQ(run.exitCode, 1);
    const nlohmann::json report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["hives"][0]["state"], "foreign");
    EXPECT_EQ(report["hives"][0]["action"], "left");
    EXPECT_TRUE(report["hives"][0]["movedTo"].empty());
    EXPECT_NE(run.err.find("another program"), std::string::npos) << run.err;
    EXPECT_TRUE(ReadFile(Hive()) == bytes);
    EXPECT_EQ(Listing(Hive().parent_path()), files);
}

TEST_F(DoctorRepair, AHealthyHiveIsNotTouched) {
    Populate(Values(0, 100), false, Hive());
    // The -shm is left out: it is the shared index every connection writes to, the health
    // check's included, and holds nothing of its own.
    const auto contents = [this] {
        std::map<fs::path, std::string> files;
        for (const fs::path& file : Listing(Hive().parent_path()))
            if (file.string() != Hive().string() + "-shm") files[file] = ReadFile(file);
        return files;
    };
    const std::map<fs::path, std::string> before = contents();
    ASSERT_TRUE(before.count(Hive().string() + "-wal"));

    const ToolRun run = Run({"doctor", "--repair"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("healthy, left as it is"), std::string::npos) << run.out;
    EXPECT_TRUE(contents() == before);
}

}  // namespace

}  // namespace qeltest

#endif
