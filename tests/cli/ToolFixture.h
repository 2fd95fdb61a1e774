// File: ToolFixture.h
//
// The fixture of the subprocess tests: fresh hives per test, the tool run against them, and
// direct looks at the registry to check what the tool stored.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "ToolProcess.h"
#include "support/HiveSandbox.h"
#include "support/RegistryProbe.h"

namespace qeltest {

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override;

    ToolRun Run(const std::vector<std::string>& arguments);
    // Runs a command that must succeed and print JSON, and parses it.
    nlohmann::json RunJson(const std::vector<std::string>& arguments);

    // The stored text of a setting (by key path) in a hive, through the registry.
    std::optional<std::u16string> Stored(HKEY hive, const std::u16string& keyPath);
    void Store(HKEY hive, const std::u16string& keyPath, const std::u16string& text);
    void StoreRaw(HKEY hive, const std::u16string& keyPath, DWORD type,
                  const std::vector<BYTE>& bytes);

    // A file in the test's directory.
    std::filesystem::path WriteFile(const std::string& name, const std::string& bytes);
    std::string ReadFile(const std::filesystem::path& file);

    // Both hive files' bytes (with their -wal files), to prove that nothing was written.
    std::string HiveFileBytes();

    // Points the registry (of this process and of later tool runs) at another pair of hives.
    void SwitchHives(const std::string& tag);

    HiveSandbox sandbox;
};

// UTF-8 of a UTF-16 text, for messages and comparisons.
std::string Utf8(const std::u16string& text);

}  // namespace qeltest
