// Builds as an application does: this translation unit includes only the public header and links
// only the shared library, so every header template is instantiated here, against the exported
// members. Runs on hives of its own in a temporary directory (off Windows).
#include <cstdio>
#include <cstdlib>
#include <string>

#include <QelConfig/QelConfig.h>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

int failures = 0;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

}  // namespace

int main() {
#if !defined(_WIN32)
    char dir[] = "/tmp/qelconfig-consumer-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 2;
    setenv("QELCONFIG_USER_HIVE", (std::string(dir) + "/user.hive").c_str(), 1);
    setenv("QELCONFIG_MACHINE_HIVE", (std::string(dir) + "/machine.hive").c_str(), 1);
    unsetenv("QELCONFIG_READONLY_HIVES");
#endif
    CQelConfig& config = QelConfig();
    Check(&config == &CQelConfig::Get(), "one instance");

    Check(config.SetValue(ckUI_BurnToDisk, false) == S_OK, "SetValue<bool> writes");
    Check(config.SetValue(ckUI_BurnToDisk, false) == S_FALSE, "SetValue<bool> unchanged");
    bool burn = true;
    Check(config.GetValue(ckUI_BurnToDisk, burn) == S_OK && !burn, "GetValue<bool>");

    Check(config.SetValue(ckUI_ProjectType, 3) == S_OK, "SetValue<int>");
    int project = 0;
    Check(config.GetValue(ckUI_ProjectType, project) == S_OK && project == 3, "GetValue<int>");

    Check(config.SetValue(ckUI_ButtonStylesDlg_Type, 3L) == E_INVALIDARG, "allowed list");
    Check(config.SetValue(ckUI_ButtonStylesDlg_Type, 8L) == S_OK, "SetValue<long>");
    long type = 0;
    Check(config.GetValue(ckUI_ButtonStylesDlg_Type, type) == S_OK && type == 8, "GetValue<long>");

    Check(config.SetValue(ckUI_ISOImagePath, CString(u"D:\\out.iso")) == S_OK, "SetValue<CString>");
    CString iso;
    Check(config.GetValue(ckUI_ISOImagePath, iso) == S_OK && iso == CString(u"D:\\out.iso"),
          "GetValue<CString>");
    CString name;
    Check(config.GetValue(ckUI_DiscVolumeName, name) == S_OK && name == CString(u"Korvid"),
          "construction stored the disc volume name");

    Check(config.SetValue(ckUI_ProjectType, 1.5) == E_INVALIDARG, "SetValue<double>");
    Check(config.SetValue(ckUI_ProjectType, 3L) == E_INVALIDARG, "long on an int setting");

    long limit = 0;
    Check(config.GetCapsValue(capsLimit28, limit, 0x4) == S_OK && limit == 49, "caps limit");
    bool flag = true;
    Check(config.GetCapsValue(capsFlag10, flag, 0x9) == S_OK && !flag, "caps flag");
    Check(config.GetCapsValue(static_cast<CapsKey>(37), flag) == E_INVALIDARG, "unknown caps");

    CString text;
    ToString(0.5, text);
    double half = 0;
    Check(text == CString(u"0.5") && FromString(text, half) && half == 0.5, "conversions");

    if (failures == 0) std::printf("consumer: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
