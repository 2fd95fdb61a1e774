#include "ToolFixture.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include "Utf8.h"

namespace qeltest {

namespace {

const HKEY kRoots[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};

const char* RootName(HKEY root) {
    return root == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

void SnapshotKey(HKEY root, const std::u16string& path, std::vector<StoredValue>& out) {
    qelreg::TreeVisit visit;
    visit.enter = [&](const std::u16string& key, std::vector<qelreg::NamedValue>& values) {
        out.push_back({root, key, true, u"", REG_NONE, {}});
        for (qelreg::NamedValue& value : values)
            out.push_back({root, key, false, std::move(value.name), value.value.type,
                           std::move(value.value.data)});
    };
    std::vector<qelreg::SkippedKey> skipped;
    qelreg::WalkTree(root, path, visit, skipped);
}

#if defined(_WIN32)
// HiveSandbox has no directory here: the hives are the system's.
std::filesystem::path MakeDirectory() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                          ("qelconfig-tooltest-" + std::to_string(random()));
        if (std::filesystem::create_directory(dir)) return dir;
    }
    throw std::runtime_error("cannot make a temporary directory");
}
#endif

}  // namespace

bool StoredValue::operator==(const StoredValue& other) const {
    return root == other.root && key == other.key && keyOnly == other.keyOnly &&
           name == other.name && type == other.type && bytes == other.bytes;
}

std::vector<StoredValue> Snapshot() {
    std::vector<StoredValue> all;
    for (HKEY root : kRoots) SnapshotKey(root, kAppRoot, all);
    return all;
}

void Restore(const std::vector<StoredValue>& snapshot) {
    for (const StoredValue& value : snapshot) {
        if (value.keyOnly) {
            qelreg::RegKey key;
            ASSERT_EQ(key.Create(value.root, value.key, KEY_WRITE), ERROR_SUCCESS);
            continue;
        }
        WriteRaw(value.root, value.key, value.name, value.type, value.bytes);
    }
}

void ClearApplicationTrees() {
    for (HKEY root : kRoots) DeleteTree(root, kAppRoot);
}

std::string DescribeValue(const StoredValue& value) {
    const std::string key = std::string(RootName(value.root)) + "\\" + Utf8(value.key);
    if (value.keyOnly) return "[" + key + "]";
    return key + " \"" + Utf8(value.name) + "\" type " + std::to_string(value.type) + " (" +
           std::to_string(value.bytes.size()) + " bytes)";
}

ToolTest::ToolTest()
#if defined(_WIN32)
    : m_directory(MakeDirectory())
#else
    : m_directory(sandbox.Directory())
#endif
{
}

ToolTest::~ToolTest() {
#if defined(_WIN32)
    std::error_code ignored;
    std::filesystem::remove_all(m_directory, ignored);
#endif
}

ToolRun ToolTest::Run(const std::vector<std::string>& arguments) {
    return RunTool(arguments, Directory());
}

nlohmann::json ToolTest::RunJson(const std::vector<std::string>& arguments) {
    const ToolRun run = Run(arguments);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    return nlohmann::json::parse(run.out);
}

std::optional<std::u16string> ToolTest::Stored(HKEY hive, const std::u16string& keyPath) {
    auto raw = ReadRaw(hive, SettingKey(keyPath), SettingValueName(keyPath));
    if (!raw) return std::nullopt;
    return TextOf(*raw);
}

void ToolTest::Store(HKEY hive, const std::u16string& keyPath, const std::u16string& text) {
    WriteText(hive, SettingKey(keyPath), SettingValueName(keyPath), text);
}

void ToolTest::StoreRaw(HKEY hive, const std::u16string& keyPath, DWORD type,
                        const std::vector<BYTE>& bytes) {
    WriteRaw(hive, SettingKey(keyPath), SettingValueName(keyPath), type, bytes);
}

std::filesystem::path ToolTest::WriteFile(const std::string& name, const std::string& bytes) {
    const std::filesystem::path file = Directory() / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
    return file;
}

std::string ToolTest::ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string ToolTest::StoreState() {
    std::string all;
#if defined(_WIN32)
    for (const StoredValue& value : Snapshot()) {
        all += DescribeValue(value) + ":";
        for (BYTE b : value.bytes) all += " " + std::to_string(b);
        all += "\n";
    }
#else
    for (const auto& hive : {sandbox.UserHive(), sandbox.MachineHive()}) {
        for (const char* suffix : {"", "-wal"}) {
            std::filesystem::path file = hive;
            file += suffix;
            all += file.string() +
                   (std::filesystem::exists(file) ? ":\n" + ReadFile(file) : ": missing\n");
        }
    }
#endif
    return all;
}

bool ToolTest::AnythingStored() {
#if defined(_WIN32)
    return !Snapshot().empty();
#else
    return std::filesystem::exists(sandbox.UserHive()) ||
           std::filesystem::exists(sandbox.MachineHive());
#endif
}

void ToolTest::SwitchHives(const std::string& tag) {
#if defined(_WIN32)
    if (tag == m_tag) return;
    m_keptAside.emplace_back(m_tag, Snapshot());
    ClearApplicationTrees();
    for (auto kept = m_keptAside.begin(); kept != m_keptAside.end(); ++kept) {
        if (kept->first != tag) continue;
        Restore(kept->second);
        m_keptAside.erase(kept);
        break;
    }
    m_tag = tag;
#else
    setenv("QELCONFIG_USER_HIVE", (sandbox.Directory() / (tag + "-user.hive")).c_str(), 1);
    setenv("QELCONFIG_MACHINE_HIVE", (sandbox.Directory() / (tag + "-machine.hive")).c_str(), 1);
#endif
}

std::string Utf8(const std::u16string& text) { return qelcli::ToUtf8(text); }

}  // namespace qeltest
