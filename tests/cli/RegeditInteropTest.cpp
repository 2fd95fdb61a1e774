// The tool's .reg files against the system's own registry tools, both ways: what the tool
// exports, regedit /S and reg import load back byte for byte; what regedit /E and reg export
// write, the tool imports back byte for byte. Windows only (under Wine, its regedit and reg).
//
// What Wine's exporters write: UTF-16LE with a byte-order mark, CRLF, the version 5 header, a
// section for every key down from the one exported (the empty ancestors of the application's key
// included), and line breaks inside text as \n and \r. They keep no text without its NUL or with
// a NUL inside (those come back NUL-terminated or cut short), and their importers take UTF-8
// files as ANSI, so only the tool's default UTF-16 form carries non-ASCII text to them.
#include "ToolFixture.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace qeltest {

namespace {

struct Peer {
    const char* name;
    bool regedit;  // regedit.exe in the Windows directory, or reg.exe in the system directory
};

void PrintTo(const Peer& peer, std::ostream* out) { *out << peer.name; }

class RegeditInterop : public ToolTest, public ::testing::WithParamInterface<Peer> {
protected:
    void SetUp() override;

    // Runs the peer's import of `file`; fails the test unless it reports success.
    void PeerImport(const std::filesystem::path& file);
    // Runs the peer's export of a hive's application tree to `file`.
    void PeerExport(HKEY root, const std::filesystem::path& file);

    std::filesystem::path m_program;
};

void RegeditInterop::SetUp() {
#if defined(_WIN32)
    wchar_t dir[MAX_PATH];
    const UINT length = GetParam().regedit ? GetWindowsDirectoryW(dir, MAX_PATH)
                                           : GetSystemDirectoryW(dir, MAX_PATH);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, static_cast<UINT>(MAX_PATH));
    m_program = std::filesystem::path(dir) / (GetParam().regedit ? "regedit.exe" : "reg.exe");
    if (!std::filesystem::exists(m_program))
        GTEST_SKIP() << m_program.string() << " is not installed";
#else
    GTEST_SKIP() << "the system's registry tools exist on Windows only";
#endif
}

void RegeditInterop::PeerImport(const std::filesystem::path& file) {
    const ToolRun run = GetParam().regedit
                            ? RunProgram(m_program, {"/S", file.string()}, Directory())
                            : RunProgram(m_program, {"import", file.string()}, Directory());
    ASSERT_EQ(run.exitCode, 0) << GetParam().name << " import: " << run.out << run.err;
}

void RegeditInterop::PeerExport(HKEY root, const std::filesystem::path& file) {
    const std::string key =
        std::string(root == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE") + "\\" +
        Utf8(kAppRoot);
    const ToolRun run =
        GetParam().regedit
            ? RunProgram(m_program, {"/E", file.string(), key}, Directory())
            : RunProgram(m_program, {"export", key, file.string(), "/y"}, Directory());
    ASSERT_EQ(run.exitCode, 0) << GetParam().name << " export: " << run.out << run.err;
    ASSERT_TRUE(std::filesystem::exists(file)) << GetParam().name << " wrote no file";
}

// Each stored value must be back with its type and every byte, and nothing else with it.
void ExpectSameValues(const std::vector<StoredValue>& expected) {
    std::vector<StoredValue> values;
    for (const StoredValue& value : expected) {
        if (value.keyOnly) continue;
        values.push_back(value);
        const auto raw = ReadRaw(value.root, value.key, value.name);
        ASSERT_TRUE(raw.has_value()) << DescribeValue(value) << " is missing";
        EXPECT_EQ(raw->type, value.type) << DescribeValue(value);
        EXPECT_EQ(raw->data, value.bytes) << DescribeValue(value);
    }
    size_t found = 0;
    for (const StoredValue& value : Snapshot()) {
        if (value.keyOnly) continue;
        ++found;
        bool known = false;
        for (const StoredValue& wanted : values) known = known || wanted == value;
        EXPECT_TRUE(known) << DescribeValue(value) << " is there but was not stored before";
    }
    EXPECT_EQ(found, values.size());
}

const std::u16string kUi = u"Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI";

std::vector<BYTE> Bytes(std::initializer_list<int> list) {
    std::vector<BYTE> bytes;
    for (int b : list) bytes.push_back(static_cast<BYTE>(b));
    return bytes;
}

TEST_P(RegeditInterop, WhatTheToolExportsThePeerImportsByteForByte) {
    // Text the tool writes quoted: quotes, backslashes, non-ASCII, empty, the longest readable.
    Store(HKEY_CURRENT_USER, u"UI/ISOImagePath", u"C:\\disc \"one\"\\\u00e9t\u00e9.iso");
    Store(HKEY_CURRENT_USER, u"UI/ImageFolderPath", std::u16string(1023, u'\\'));
    Store(HKEY_CURRENT_USER, u"UI/DiscVolumeName", u"\U0001F4BF \u65e5\u672c");
    Store(HKEY_CURRENT_USER, u"Paths/Theme_Default_4x3", u"");
    Store(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/Frame/Left", u"-7");
    Store(HKEY_LOCAL_MACHINE, u"UI/URLNewThemes", u"http://example.org/?a=1;b=\"2\"");
    Store(HKEY_LOCAL_MACHINE, u"UI/ProjectType", u"3");
    // Text the tool writes as hex(1): no NUL, line breaks.
    StoreRaw(HKEY_CURRENT_USER, u"UI/BDAVLaunchGUID", REG_SZ, TextBytes(u"{guid}", false));
    Store(HKEY_CURRENT_USER, u"Paths/UI_TemporaryDir", u"two\r\nlines\n");
    // Values no setting owns, in every other form the tool writes.
    WriteRaw(HKEY_CURRENT_USER, kUi, u"Counter", REG_DWORD, Bytes({0x1f, 0, 0, 0x80}));
    WriteRaw(HKEY_CURRENT_USER, kUi, u"Blob", REG_BINARY, std::vector<BYTE>(100, 0xab));
    WriteRaw(HKEY_CURRENT_USER, kUi, u"Expand", REG_EXPAND_SZ, TextBytes(u"%TEMP%\\x"));
    WriteRaw(HKEY_CURRENT_USER, kUi, u"Multi", REG_MULTI_SZ,
             Bytes({'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
    WriteRaw(HKEY_CURRENT_USER, kUi, u"Quad", REG_QWORD, Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    WriteRaw(HKEY_CURRENT_USER, kUi, u"", REG_SZ, TextBytes(u"unnamed"));
    WriteRaw(HKEY_LOCAL_MACHINE, kUi, u"Nothing", REG_NONE, {});
    std::vector<StoredValue> before = Snapshot();
    // The peers hand the registry text without its NUL from a buffer with a NUL after it, and
    // the registry then stores the terminator too: that value comes back with one.
    for (StoredValue& value : before)
        if (value.name == u"BDAVLaunchGUID") value.bytes.insert(value.bytes.end(), {0, 0});

    const std::filesystem::path file = Directory() / "tool.reg";
    const ToolRun exported = Run({"export", file.string()});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    ClearApplicationTrees();
    ASSERT_TRUE(Snapshot().empty());

    PeerImport(file);
    ExpectSameValues(before);
}

// Canonical texts, which the tool's import stores as they are (it stores any other as set would).
TEST_P(RegeditInterop, WhatThePeerExportsTheToolImportsByteForByte) {
    Store(HKEY_CURRENT_USER, u"UI/ISOImagePath", u"C:\\disc \"one\"\\\u00e9t\u00e9.iso");
    Store(HKEY_CURRENT_USER, u"UI/ImageFolderPath", std::u16string(1023, u'\\'));
    Store(HKEY_CURRENT_USER, u"UI/DiscVolumeName", u"\U0001F4BF \u65e5\u672c \"q\"");
    Store(HKEY_CURRENT_USER, u"Paths/UI_TemporaryDir", u"two\r\nlines\n");
    Store(HKEY_CURRENT_USER, u"Paths/Theme_Default_4x3", u"");
    Store(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/Frame/Left", u"-7");
    Store(HKEY_CURRENT_USER, u"UI/ButtonStylesDlg/Type", u"16");
    Store(HKEY_CURRENT_USER, u"UI/BurnToDisk", u"false");
    Store(HKEY_CURRENT_USER, u"UI/ProjectType", u"4");
    Store(HKEY_LOCAL_MACHINE, u"UI/ProjectType", u"2");
    Store(HKEY_LOCAL_MACHINE, u"UI/URLNewThemes", u"http://example.org/?a=1;b=\"2\"");
    const std::vector<StoredValue> before = Snapshot();

    const std::filesystem::path user = Directory() / "user.reg";
    const std::filesystem::path machine = Directory() / "machine.reg";
    PeerExport(HKEY_CURRENT_USER, user);
    PeerExport(HKEY_LOCAL_MACHINE, machine);
    // The tool's reader must take the encoding these are in, not fall back on another.
    EXPECT_EQ(ReadFile(user).substr(0, 2), "\xFF\xFE") << "not UTF-16LE with a byte-order mark";
    ClearApplicationTrees();
    ASSERT_TRUE(Snapshot().empty());

    for (const auto& file : {user, machine}) {
        const ToolRun imported = Run({"import", file.string()});
        ASSERT_EQ(imported.exitCode, 0) << file.filename().string() << ": " << imported.err;
    }
    ExpectSameValues(before);
}

INSTANTIATE_TEST_SUITE_P(Peers, RegeditInterop,
                         ::testing::Values(Peer{"regedit", true}, Peer{"reg", false}),
                         [](const ::testing::TestParamInfo<Peer>& peer) {
                             return std::string(peer.param.name);
                         });

}  // namespace

}  // namespace qeltest
