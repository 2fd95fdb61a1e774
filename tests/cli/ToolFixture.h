// File: ToolFixture.h
//
// The fixture of the subprocess tests: fresh hives per test, the tool run against them, and
// direct looks at the registry to check what the tool stored. Off Windows the hives are files
// in a temporary directory; on Windows they are the system registry (under Wine, the prefix of
// the test run), whose test trees HiveSandbox clears, and files go to a temporary directory of
// the fixture's own.
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

// A value as the registry holds it, with where it lives; or a key, which may have no values.
struct StoredValue {
    HKEY root = nullptr;
    std::u16string key;
    bool keyOnly = false;
    std::u16string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;

    bool operator==(const StoredValue& other) const;
};

// Every key and value below the application's root in both hives, each key before its values
// and sub-keys, in enumeration order.
std::vector<StoredValue> Snapshot();
// Puts back what Snapshot() returned, into trees that the caller has cleared.
void Restore(const std::vector<StoredValue>& snapshot);
// Deletes the application's trees in both hives.
void ClearApplicationTrees();
// For failure messages: "HKEY_CURRENT_USER\key "name" type 1 (n bytes)".
std::string DescribeValue(const StoredValue& value);

class ToolTest : public ::testing::Test {
protected:
    ToolTest();
    ~ToolTest() override;

    ToolRun Run(const std::vector<std::string>& arguments);
    // Runs a command that must succeed and print JSON, and parses it.
    nlohmann::json RunJson(const std::vector<std::string>& arguments);

    // The stored text of a setting (by key path) in a hive, through the registry.
    std::optional<std::u16string> Stored(HKEY hive, const std::u16string& keyPath);
    void Store(HKEY hive, const std::u16string& keyPath, const std::u16string& text);
    void StoreRaw(HKEY hive, const std::u16string& keyPath, DWORD type,
                  const std::vector<BYTE>& bytes);

    // The test's directory for files, removed after the test.
    const std::filesystem::path& Directory() const { return m_directory; }
    // A file in the test's directory.
    std::filesystem::path WriteFile(const std::string& name, const std::string& bytes);
    std::string ReadFile(const std::filesystem::path& file);

    // Everything the store holds, to prove that nothing was written: off Windows the bytes of
    // both hive files (with their -wal files), which even a rewrite of the same value changes;
    // on Windows every key and value of the application's trees.
    std::string StoreState();
    // Whether anything at all is stored: off Windows, whether either hive file exists.
    bool AnythingStored();

    // Points the registry (of this process and of later tool runs) at another pair of hives. On
    // Windows, where the registry cannot be pointed elsewhere, the trees of the current tag are
    // kept aside and those of `tag` put in their place.
    void SwitchHives(const std::string& tag);

    HiveSandbox sandbox;

private:
    std::filesystem::path m_directory;
#if defined(_WIN32)
    std::string m_tag;
    std::vector<std::pair<std::string, std::vector<StoredValue>>> m_keptAside;
#endif
};

// UTF-8 of a UTF-16 text, for messages and comparisons.
std::string Utf8(const std::u16string& text);

}  // namespace qeltest
