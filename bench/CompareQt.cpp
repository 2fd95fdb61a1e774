// File: CompareQt.cpp
//
// CompareStoresBench's rows for QSettings with an INI file: value() as applications call it,
// answered from the object's cache, which only sync() refreshes from the file; and sync() before
// each value(), which rereads the file when its size or modification time has changed.
#include <QSettings>
#include <QString>
#include <QVariant>

#include "CompareStores.h"

namespace comparestores {

namespace {

const QString kTextKey = QStringLiteral("UI/ISOImagePath");
const QString kNumberKey = QStringLiteral("UI/MinWidth");

QString IniFile(const std::filesystem::path& dir) {
    return QString::fromStdString((dir / "qsettings.ini").string());
}

}  // namespace

std::vector<Probe> QtProbes(const std::filesystem::path& dir) {
    {
        QSettings seed(IniFile(dir), QSettings::IniFormat);
        seed.setValue(kTextKey, QString::fromStdString(ValueText(0)));
        seed.setValue(kNumberKey, static_cast<qlonglong>(kNumber));
        seed.sync();
        if (seed.status() != QSettings::NoError) return {};
    }
    std::vector<Probe> probes;
    auto cached = std::make_shared<QSettings>(IniFile(dir), QSettings::IniFormat);
    auto text = std::make_shared<QString>();
    probes.push_back({"QSettings `value()`, cached, text", false, Floor::None,
                      [cached, text] { *text = cached->value(kTextKey).toString(); },
                      [cached] { return cached->value(kTextKey).toString().toStdString(); },
                      "qsettings"});
    auto number = std::make_shared<qlonglong>();
    probes.push_back({"QSettings `value()`, cached, long",
                      true,
                      Floor::None,
                      [cached, number] {
                          *number = cached->value(kNumberKey).toLongLong();
                          Keep(number.get());
                      },
                      {},
                      {}});
    // A second object on the same file: QSettings objects of one file share their cache, but
    // the coherence runs are one after the other, and only this one calls sync().
    auto synced = std::make_shared<QSettings>(IniFile(dir), QSettings::IniFormat);
    probes.push_back({"QSettings `sync()` + `value()`, text", false, Floor::None,
                      [synced, text] {
                          synced->sync();
                          *text = synced->value(kTextKey).toString();
                      },
                      [synced] {
                          synced->sync();
                          return synced->value(kTextKey).toString().toStdString();
                      },
                      "qsettings"});
    return probes;
}

Writer QtWriter(const std::filesystem::path& dir) {
    auto settings = std::make_shared<QSettings>(IniFile(dir), QSettings::IniFormat);
    return [settings](const std::string& text) {
        settings->setValue(kTextKey, QString::fromStdString(text));
        settings->sync();
        return settings->status() == QSettings::NoError;
    };
}

}  // namespace comparestores
