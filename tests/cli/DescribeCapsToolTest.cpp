// describe and caps: catalogue facts, registry locations, capability resolution under masks.
#include "ToolFixture.h"

namespace qeltest {

namespace {

using Describe = ToolTest;
using Caps = ToolTest;

TEST_F(Describe, GivesTypeScopeDefaultAllowedValuesAndLocation) {
    const nlohmann::json type = RunJson({"describe", "ui/buttonstylesdlg/type", "--json"});
    EXPECT_EQ(type["id"], 59);
    EXPECT_EQ(type["type"], "long");
    EXPECT_EQ(type["default"], 63);
    EXPECT_EQ(type["allowed"], nlohmann::json::array({"1", "2", "4", "8", "16", "32", "63"}));
    EXPECT_NE(type["description"].get<std::string>().find("ButtonType_Next=1"), std::string::npos);
    EXPECT_EQ(type["registry"]["hive"], "HKEY_CURRENT_USER");
    EXPECT_EQ(type["registry"]["fallbackHive"], "HKEY_LOCAL_MACHINE");
    EXPECT_EQ(type["registry"]["key"],
              "Software\\Halvard\\Nuvex12\\OEM\\Korvid\\\\UI\\ButtonStylesDlg");
    EXPECT_EQ(type["registry"]["normalisedKey"],
              "Software\\Halvard\\Nuvex12\\OEM\\Korvid\\UI\\ButtonStylesDlg");
    EXPECT_EQ(type["registry"]["valueName"], "Type");

    const nlohmann::json url = RunJson({"describe", "26", "--json"});
    EXPECT_EQ(url["scope"], "machine");
    EXPECT_EQ(url["registry"]["hive"], "HKEY_LOCAL_MACHINE");
    EXPECT_TRUE(url["registry"]["fallbackHive"].is_null());
    EXPECT_EQ(url["default"], "http://www.halvard.com/themes/new");
}

TEST_F(Describe, TheLocationIsWhereTheLibraryStores) {
    ASSERT_EQ(Run({"set", "UI/ChapterDetectDlg/Interval", "60"}).exitCode, 0);
    const nlohmann::json where =
        RunJson({"describe", "UI/ChapterDetectDlg/Interval", "--json"})["registry"];
    const auto key = where["normalisedKey"].get<std::string>();
    const auto raw =
        ReadRaw(HKEY_CURRENT_USER, std::u16string(key.begin(), key.end()), u"Interval");
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(TextOf(*raw), u"60");
}

TEST_F(Describe, TheTextFormNamesEveryField) {
    const ToolRun run = Run({"describe", "18"});
    ASSERT_EQ(run.exitCode, 0);
    // Each line is labelled with the field's name in the JSON form.
    const nlohmann::json json = RunJson({"describe", "18", "--json"});
    for (const char* field :
         {"id", "key", "type", "scope", "access", "default", "accepts", "description",
          "registry.hive", "registry.key", "registry.normalisedKey", "registry.valueName"}) {
        EXPECT_NE(("\n" + run.out).find("\n" + std::string(field) + ":"), std::string::npos)
            << field;
        const std::string path = std::string(field);
        const size_t dot = path.find('.');
        EXPECT_TRUE(dot == std::string::npos
                        ? json.contains(path)
                        : json[path.substr(0, dot)].contains(path.substr(dot + 1)))
            << field;
    }
    const size_t accepts = run.out.find("\naccepts:");
    EXPECT_EQ(
        run.out.substr(accepts, run.out.find('\n', accepts + 1) - accepts).find("true or false") ==
            std::string::npos,
        false)
        << "a bool accepts true and false, not any value: " << run.out;
}

TEST_F(Caps, ListsAllThirtySevenUnderTheDefaultSubKeys) {
    const nlohmann::json caps = RunJson({"caps", "--json"});
    EXPECT_EQ(caps["mask"], 1);
    ASSERT_EQ(caps["capabilities"].size(), 37u);
    for (int id = 0; id < 37; ++id) {
        const nlohmann::json& row = caps["capabilities"][static_cast<size_t>(id)];
        EXPECT_EQ(row["id"], id);
        EXPECT_EQ(row["value"].is_boolean(), id < 28) << id;
        EXPECT_EQ(row["value"].is_number(), id >= 28) << id;
    }
}

TEST_F(Caps, ResolvesUnderAMaskGivenInHexOrDecimal) {
    for (const std::string mask : {"0x4", "4", "0X4"}) {
        const nlohmann::json caps = RunJson({"caps", "28", "--mask", mask, "--json"});
        EXPECT_EQ(caps["capabilities"][0]["value"], 49) << mask;
    }
    EXPECT_EQ(
        RunJson({"caps", "capsflag10", "--mask", "0x9", "--json"})["capabilities"][0]["value"],
        false);
}

TEST_F(Caps, AMaskThatSelectsNothingFailsForOneCapability) {
    const ToolRun run = Run({"caps", "0", "--mask", "0x2"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("selects no value"), std::string::npos) << run.err;
    const nlohmann::json all = RunJson({"caps", "--mask", "0x2", "--json"});
    EXPECT_TRUE(all["capabilities"][0]["value"].is_null());
}

TEST_F(Caps, UnknownCapabilitiesAreRefused) {
    for (const std::string capability : {"37", "-1", "capsFlag28", "limit"}) {
        const ToolRun run = Run({"caps", capability});
        EXPECT_EQ(run.exitCode, 1) << capability;
        EXPECT_NE(run.err.find("unknown capability"), std::string::npos) << run.err;
    }
}

}  // namespace

}  // namespace qeltest
