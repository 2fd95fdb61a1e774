// File: StartCostQelConfig.cpp
//
// The whole-process cost of one read through the library: start, load libQelConfig, read one
// stored setting with QelConfig().GetValue(...), exit. bench/start-cost.sh times it with
// hyperfine beside StartCostSqlite, which opens the same hive with SQLite alone; the difference
// is what the library adds to a short-lived process (a tool, a script's call).
//
//   StartCostQelConfig EXPECTED        reads UI/ISOImagePath; exit 0 when it is EXPECTED
//   StartCostQelConfig --store TEXT    stores it, and exits normally (the hive is closed cleanly)
//   StartCostQelConfig --crash TEXT N  a child process stores N values, the last one TEXT, and is
//                                      killed (SIGKILL) before it closes the hive: its commits
//                                      are left in the -wal file, as after a crash
// The hives are the ones QELCONFIG_USER_HIVE and QELCONFIG_MACHINE_HIVE name; the program
// refuses to run without them.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "QelConfig.h"

namespace {

CString Widen(const char* text) {
    const std::string narrow(text);
    return CString(std::u16string(narrow.begin(), narrow.end()));
}

int Store(const char* text) {
    return QelConfig().SetValue(ckUI_ISOImagePath, Widen(text)) == S_OK ? 0 : 1;
}

// The library is used only in the child, which never closes its connection: the parent stays
// a plain process that reports whether the child got as far as its kill.
int StoreAndCrash(const char* last, int count) {
    const pid_t child = fork();
    if (child == 0) {
        CQelConfig& config = QelConfig();
        for (int i = 1; i < count; ++i) {
            const std::string text = "crash-" + std::to_string(i);
            if (config.SetValue(ckUI_ISOImagePath, Widen(text.c_str())) != S_OK) _exit(1);
        }
        if (config.SetValue(ckUI_ISOImagePath, Widen(last)) != S_OK) _exit(1);
        raise(SIGKILL);
        _exit(1);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return 1;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QELCONFIG_USER_HIVE") == nullptr ||
        std::getenv("QELCONFIG_MACHINE_HIVE") == nullptr) {
        std::fprintf(stderr,
                     "StartCostQelConfig: set QELCONFIG_USER_HIVE and "
                     "QELCONFIG_MACHINE_HIVE to the hives to use\n");
        return 2;
    }
    if (argc == 3 && std::strcmp(argv[1], "--store") == 0) return Store(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "--crash") == 0)
        return StoreAndCrash(argv[2], std::atoi(argv[3]));
    if (argc != 2) {
        std::fprintf(stderr,
                     "usage: StartCostQelConfig EXPECTED | --store TEXT | "
                     "--crash TEXT COUNT\n");
        return 2;
    }
    CString value;
    QelConfig().GetValue(ckUI_ISOImagePath, value);
    return value == Widen(argv[1]) ? 0 : 1;
}
