#include "ToolFixture.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "Utf8.h"

namespace qeltest {

void ToolTest::SetUp() {
    if (!CanRunTool()) GTEST_SKIP() << "the tool is not run as a subprocess on this platform";
}

ToolRun ToolTest::Run(const std::vector<std::string>& arguments) {
    return RunTool(arguments, sandbox.Directory());
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
    return raw->Text();
}

void ToolTest::Store(HKEY hive, const std::u16string& keyPath, const std::u16string& text) {
    WriteText(hive, SettingKey(keyPath), SettingValueName(keyPath), text);
}

void ToolTest::StoreRaw(HKEY hive, const std::u16string& keyPath, DWORD type,
                        const std::vector<BYTE>& bytes) {
    WriteRaw(hive, SettingKey(keyPath), SettingValueName(keyPath), type, bytes);
}

std::filesystem::path ToolTest::WriteFile(const std::string& name, const std::string& bytes) {
    const std::filesystem::path file = sandbox.Directory() / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
    return file;
}

std::string ToolTest::ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string ToolTest::HiveFileBytes() {
    std::string all;
    for (const auto& hive : {sandbox.UserHive(), sandbox.MachineHive()}) {
        for (const char* suffix : {"", "-wal"}) {
            std::filesystem::path file = hive;
            file += suffix;
            all += file.string() +
                   (std::filesystem::exists(file) ? ":\n" + ReadFile(file) : ": missing\n");
        }
    }
    return all;
}

void ToolTest::SwitchHives(const std::string& tag) {
#if defined(_WIN32)
    (void)tag;
#else
    setenv("QELCONFIG_USER_HIVE", (sandbox.Directory() / (tag + "-user.hive")).c_str(), 1);
    setenv("QELCONFIG_MACHINE_HIVE", (sandbox.Directory() / (tag + "-machine.hive")).c_str(), 1);
#endif
}

std::string Utf8(const std::u16string& text) { return qelcli::ToUtf8(text); }

}  // namespace qeltest
