// File: CompareQelConfig.cpp
//
// CompareStoresBench's rows for this library and its two floors: GetValue of a stored text and
// of a stored long, an unchanged SetValue, an in-memory std::map find-and-copy (the floor of any
// design) and the bare prepared SQLite point query on the same hive for the same value (the floor
// of any read that reaches the file).
#include <cstdio>
#include <map>

#include "CompareStores.h"
#include "HiveQuery.h"
#include "QelConfig.h"

namespace comparestores {

namespace {

std::string Narrow(std::u16string_view text) { return {text.begin(), text.end()}; }

CString Widen(const std::string& text) { return CString(std::u16string(text.begin(), text.end())); }

}  // namespace

std::vector<Probe> QelConfigProbes(const std::filesystem::path& dir) {
    CQelConfig& config = QelConfig();
    if (FAILED(config.SetValue(ckUI_ISOImagePath, Widen(ValueText(0)))) ||
        FAILED(config.SetValue(ckUI_ButtonStylesDlg_MinWidth, kNumber))) {
        std::fprintf(stderr, "QelConfig: the values could not be stored\n");
        return {};
    }
    std::vector<Probe> probes;

    // About as many entries as the library has settings, keyed by their paths.
    auto texts = std::make_shared<std::map<std::u16string, CString>>();
    auto numbers = std::make_shared<std::map<std::u16string, long>>();
    for (int i = 0; i < 86; ++i) {
        const std::string name = "UI/Setting" + std::to_string(i);
        (*texts)[std::u16string(name.begin(), name.end())] = Widen(ValueText(i));
        (*numbers)[std::u16string(name.begin(), name.end())] = i;
    }
    (*texts)[u"UI/ISOImagePath"] = Widen(ValueText(0));
    (*numbers)[u"UI/ButtonStylesDlg/MinWidth"] = kNumber;
    auto mapText = std::make_shared<CString>();
    probes.push_back({"`std::map` find and copy, text",
                      false,
                      Floor::Map,
                      [texts, mapText] {
                          *mapText = texts->find(u"UI/ISOImagePath")->second;
                          Keep(mapText.get());
                      },
                      {},
                      {}});
    auto mapNumber = std::make_shared<long>();
    probes.push_back({"`std::map` find and copy, long",
                      true,
                      Floor::Map,
                      [numbers, mapNumber] {
                          *mapNumber = numbers->find(u"UI/ButtonStylesDlg/MinWidth")->second;
                          Keep(mapNumber.get());
                      },
                      {},
                      {}});

    const std::string hive = (dir / "user.hive").string();
    auto textQuery =
        std::make_shared<HiveQuery>(hive, u"ISOImagePath", HiveQuery::Mode::ReadWriteWal);
    auto numberQuery =
        std::make_shared<HiveQuery>(hive, u"MinWidth", HiveQuery::Mode::ReadWriteWal);
    if (!textQuery->Found() || !numberQuery->Found()) {
        std::fprintf(stderr, "SQLite floor: the hive lacks the values\n");
        return {};
    }
    auto queryText = std::make_shared<std::u16string>();
    probes.push_back({"SQLite floor: prepared point query, text", false, Floor::Sqlite,
                      [textQuery, queryText] { textQuery->Run(queryText.get()); },
                      [textQuery] {
                          std::u16string text;
                          textQuery->Run(&text);
                          return Narrow(text);
                      },
                      "qelconfig"});
    auto queryNumber = std::make_shared<std::u16string>();
    probes.push_back({"SQLite floor: prepared point query, long (as text)",
                      true,
                      Floor::Sqlite,
                      [numberQuery, queryNumber] { numberQuery->Run(queryNumber.get()); },
                      {},
                      {}});

    auto text = std::make_shared<CString>(Widen(ValueText(0)));
    probes.push_back({"QelConfig `GetValue`, stored text", false, Floor::None,
                      [text] { QelConfig().GetValue(ckUI_ISOImagePath, *text); },
                      [] {
                          CString value;
                          QelConfig().GetValue(ckUI_ISOImagePath, value);
                          return Narrow(value.View());
                      },
                      "qelconfig"});
    auto number = std::make_shared<long>();
    probes.push_back({"QelConfig `GetValue`, stored long",
                      true,
                      Floor::None,
                      [number] {
                          QelConfig().GetValue(ckUI_ButtonStylesDlg_MinWidth, *number);
                          Keep(number.get());
                      },
                      {},
                      {}});
    probes.push_back({"QelConfig `SetValue`, unchanged text",
                      false,
                      Floor::None,
                      [text] { QelConfig().SetValue(ckUI_ISOImagePath, *text); },
                      {},
                      {}});
    return probes;
}

Writer QelConfigWriter() {
    return [](const std::string& text) {
        return QelConfig().SetValue(ckUI_ISOImagePath, Widen(text)) == S_OK;
    };
}

}  // namespace comparestores
