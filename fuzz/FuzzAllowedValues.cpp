// The token reader and the allowed-value check on arbitrary lists and values: no crash, tokens
// only ever shrink the text, and a value built from a token's text is allowed when that token
// is reached before the first empty one.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "FuzzInput.h"
#include "../tests/QelConfig/QelConfigTestAccess.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

CQelConfig* g_config = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
#if !defined(_WIN32)
    // Construction stores the disc volume name: give it hives of its own.
    char dir[] = "/tmp/qelconfig-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    setenv("QELCONFIG_USER_HIVE", (std::string(dir) + "/user.hive").c_str(), 1);
    setenv("QELCONFIG_MACHINE_HIVE", (std::string(dir) + "/machine.hive").c_str(), 1);
#endif
    g_config = QelConfigTestAccess::Make(u"Korvid", u"");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t split = data[0] % size;
    const CString list = FuzzText(data + 1, split);
    const CString value = FuzzText(data + 1 + split, size - 1 - split);

    CString rest(list);
    int previous = rest.GetLength() + 1;
    bool ended = false;
    while (rest.GetLength() < previous) {
        previous = rest.GetLength();
        const CString token = QelConfigTestAccess::NextToken(*g_config, rest);
        if (token.GetLength() > previous) std::abort();
        if (token.IsEmpty()) ended = true;
        // Each token before the first empty one admits itself.
        if (!ended && !QelConfigTestAccess::IsAllowedValue(*g_config, token, list)) std::abort();
        if (rest.IsEmpty()) break;
    }
    QelConfigTestAccess::IsAllowedValue(*g_config, value, list);
    int number = 0;
    FromString(value, number);
    QelConfigTestAccess::IsAllowedValue(*g_config, number, list);
    QelConfigTestAccess::IsAllowedValue(*g_config, number != 0, list);
    return 0;
}
