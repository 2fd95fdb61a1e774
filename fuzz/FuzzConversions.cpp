// Text conversions on arbitrary text: no crash, and what ToString writes reads back the same.
#include <cmath>
#include <cstdlib>

#include "FuzzInput.h"

namespace {

template <typename T>
void CheckRoundTrip(const CString& text) {
    T value{};
    FromString(text, value);
    CString written;
    ToString(value, written);
    T reread{};
    FromString(written, reread);
    if (!(reread == value)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const CString text = FuzzText(data, size);
    CheckRoundTrip<int>(text);
    CheckRoundTrip<long>(text);
    CheckRoundTrip<bool>(text);
    CheckRoundTrip<CString>(text);
    // A double reads back within the six significant digits it was written with.
    double value = 0;
    FromString(text, value);
    CString written;
    ToString(value, written);
    double reread = 0;
    FromString(written, reread);
    if (std::isfinite(value)) {
        if (std::fabs(reread - value) > std::fabs(value) * 1e-5) std::abort();
    } else if (std::isinf(value)) {
        if (reread != value) std::abort();  // the same infinity, sign and all
    } else if (!std::isnan(reread)) {
        std::abort();
    }
    return 0;
}
