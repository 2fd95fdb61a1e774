// File: HiveRepairTest.cpp
//
// QelRegRepairHive through the library's interface, on hives damaged on disk: the machine hive is
// mended like the user's (with the machine hive's mode), and a hive that changes while the
// repair reads it is left where it is.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "QelPlatform.h"
#include "portable/QelHiveInfo.h"
#include "portable/QelHiveRepair.h"
#include "support/ChildProcess.h"
#include "support/HiveFiles.h"
#include "support/HiveSandbox.h"
#include "support/RegistryProbe.h"

namespace {

namespace fs = std::filesystem;

const std::u16string kKey = u"Software\\QelConfigTests\\Repair";
constexpr int kValues = 200;
constexpr std::size_t kPage = 4096;

std::u16string Name(int i) {
    const std::string digits = std::to_string(1000 + i);
    return u"value" + std::u16string(digits.begin(), digits.end());
}

// The notes of a repair, by kind, in order.
struct Notes {
    std::multimap<std::string, std::string> texts;
    std::function<void(const std::string& what)> onNote;

    static void Take(void* context, const char* what, const char* text, LPCWSTR, LPCWSTR) {
        auto* notes = static_cast<Notes*>(context);
        notes->texts.emplace(what, text == nullptr ? "" : text);
        if (notes->onNote) notes->onNote(what);
    }
    std::vector<std::string> All(const std::string& what) const {
        std::vector<std::string> all;
        const auto [first, last] = texts.equal_range(what);
        for (auto it = first; it != last; ++it) all.push_back(it->second);
        return all;
    }
};

// Fills a hive with kValues values of 200 bytes each, closes it (everything in the main file),
// and overwrites the page holding value 100's data with garbage: a hive whose header and schema
// pass, with a bad page in the middle.
void MakeDamagedHive(HKEY root, const fs::path& hive) {
    for (int i = 0; i < kValues; ++i) {
        const std::vector<BYTE> data(200, static_cast<BYTE>(i));
        qeltest::WriteRaw(root, kKey, Name(i), REG_BINARY, data);
    }
    ASSERT_EQ(qeltest::InChild([] { return 0; }), 0);  // closes the connection: a checkpoint
    std::string bytes = qeltest::ReadBytes(hive);
    const std::size_t at = bytes.find(std::string(200, static_cast<char>(100)));
    ASSERT_NE(at, std::string::npos);
    const std::size_t page = at / kPage;
    ASSERT_GT(page, 1u) << "not the header or the schema";
    bytes.replace(page * kPage, kPage, qeltest::Garbage(kPage, 3));
    qeltest::WriteBytes(hive, bytes);
    ASSERT_EQ(chmod(hive.c_str(), root == HKEY_LOCAL_MACHINE ? 0644 : 0600), 0);
}

std::vector<std::string> Matching(const fs::path& directory, const std::string& part) {
    std::vector<std::string> names;
    for (const std::string& name : qeltest::Listing(directory))
        if (name.find(part) != std::string::npos) names.push_back(name);
    return names;
}

TEST(HiveRepairTest, ADamagedMachineHiveIsMovedAsideAndRebuilt) {
    qeltest::HiveSandbox sandbox;
    const fs::path hive = sandbox.MachineHive();
    MakeDamagedHive(HKEY_LOCAL_MACHINE, hive);
    // In a process that has not used the hive, as the repair asks.
    Notes notes;
    const int repaired = qeltest::InChild([&notes] {
        const LSTATUS rc = QelRegRepairHive(HKEY_LOCAL_MACHINE, 0, Notes::Take, &notes);
        if (rc != ERROR_SUCCESS) return 1;
        if (notes.All("state") != std::vector<std::string>{"damaged"}) return 2;
        if (notes.All("saved-values").size() != 1) return 3;
        const int saved = std::stoi(notes.All("saved-values")[0]);
        if (saved <= 0 || saved >= kValues) return 4;
        if (static_cast<int>(notes.All("lost-value").size()) + saved != kValues) return 5;
        return 0;
    });
    ASSERT_EQ(repaired, 0);
    // A new hive in its place with the machine hive's mode.
    // The damaged file kept aside with its -wal and -shm.
    const std::vector<std::string> aside = Matching(hive.parent_path(), ".corrupt-");
    ASSERT_EQ(aside.size(), 3u);
    EXPECT_EQ(aside[0].rfind("machine.hive.corrupt-", 0), 0u);
    EXPECT_EQ(aside[1], aside[0] + "-shm");
    EXPECT_EQ(aside[2], aside[0] + "-wal");
    EXPECT_EQ(qeltest::ModeOf(hive), 0644u);
    EXPECT_EQ(qeltest::IntegrityCheck(hive), "ok");
    // Read as a process that never saw the damaged hive would (this one looks at the path
    // again only once a second): through a directory linked to the hive's.
    const fs::path alias = sandbox.Directory() / "alias";
    fs::create_directory_symlink(hive.parent_path(), alias);
    const std::string aliased = (alias / hive.filename()).string();
    const int read = qeltest::InChild([&aliased] {
        setenv("QELCONFIG_MACHINE_HIVE", aliased.c_str(), 1);
        DWORD flags = 1;
        if (QelRegGetHiveInfo(HKEY_LOCAL_MACHINE, nullptr, nullptr, &flags) != ERROR_SUCCESS ||
            flags != 0)
            return 1;
        int readable = 0;
        for (int i = 0; i < kValues; ++i) {
            const auto value = qeltest::ReadRaw(HKEY_LOCAL_MACHINE, kKey, Name(i));
            if (value && value->data == std::vector<BYTE>(200, static_cast<BYTE>(i))) ++readable;
        }
        if (!qeltest::ReadRaw(HKEY_LOCAL_MACHINE, kKey, Name(0))) return 2;
        return readable > 0 && readable < kValues ? 0 : 3;
    });
    EXPECT_EQ(read, 0) << "1: not a sound hive, 2: value 0 lost, 3: not the values saved";
}

// The repair reads a copy of the hive and checks, just before it moves the hive, that the file
// is still the one it read: here the hive changes while the repair works (when it reports the
// damage), and the repair gives up with ERROR_BUSY, leaving the changed hive where it was and
// nothing of its own behind.
TEST(HiveRepairTest, AHiveThatChangesWhileRepairedIsLeftInPlace) {
    qeltest::HiveSandbox sandbox;
    const fs::path hive = sandbox.UserHive();
    MakeDamagedHive(HKEY_CURRENT_USER, hive);
    const std::vector<std::string> before = qeltest::Listing(hive.parent_path());
    const std::size_t damagedSize = qeltest::ReadBytes(hive).size();
    Notes notes;
    std::string changed;
    notes.onNote = [&hive, &changed](const std::string& what) {
        if (what != "detail" || !changed.empty()) return;
        // Another program writing to the file: one more page at its end.
        changed = qeltest::ReadBytes(hive) + qeltest::Garbage(kPage, 9);
        qeltest::WriteBytes(hive, changed);
    };
    const int result = qeltest::InChild([&notes, &changed] {
        const LSTATUS rc = QelRegRepairHive(HKEY_CURRENT_USER, 0, Notes::Take, &notes);
        if (changed.empty()) return 100;  // the damage was never reported
        return rc == ERROR_BUSY ? 0 : 1;
    });
    ASSERT_EQ(result, 0) << (result == 100 ? "no detail note" : "the repair went on");
    EXPECT_EQ(qeltest::Listing(hive.parent_path()), before) << "the repair left files";
    EXPECT_TRUE(Matching(hive.parent_path(), ".corrupt-").empty());
    // The hive at the path is the changed one, not moved and not replaced.
    EXPECT_EQ(qeltest::ReadBytes(hive).size(), damagedSize + kPage);
}

}  // namespace
