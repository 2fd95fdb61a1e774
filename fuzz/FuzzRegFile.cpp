// The .reg reader on arbitrary bytes: no crash, and a file it reads without error writes back
// to a file that reads as the same values.
#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <tuple>
#include <vector>

#include "RegFile.h"

namespace {

using qelcli::regfile::Operation;
using ValueTuple =
    std::tuple<std::u16string, std::u16string, std::uint32_t, std::vector<std::uint8_t>>;

std::vector<ValueTuple> SetValues(const std::vector<Operation>& operations) {
    std::vector<ValueTuple> values;
    for (const auto& op : operations)
        if (op.kind == Operation::SetValue) values.emplace_back(op.key, op.name, op.type, op.data);
    std::sort(values.begin(), values.end());
    return values;
}

// UTF-8 cannot carry a lone surrogate, so a name holding one survives only the UTF-16 form.
bool HasLoneSurrogate(const std::u16string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            ++i;
        } else if (unit >= 0xD800 && unit < 0xE000) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace regfile = qelcli::regfile;
    const auto parsed = regfile::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed.errors.empty()) return 0;

    std::vector<regfile::Key> keys;
    bool utf8Safe = true;
    for (const auto& op : parsed.operations) {
        if (op.kind != Operation::SetValue) continue;
        utf8Safe = utf8Safe && !HasLoneSurrogate(op.key) && !HasLoneSurrogate(op.name);
        if (keys.empty() || keys.back().path != op.key) keys.push_back({op.key, {}});
        keys.back().values.push_back({op.name, op.type, op.data});
    }
    for (auto encoding : {regfile::Encoding::Utf16, regfile::Encoding::Utf8}) {
        if (encoding == regfile::Encoding::Utf8 && !utf8Safe) continue;
        const auto again = regfile::Parse(regfile::Write(keys, encoding));
        if (!again.errors.empty()) std::abort();
        if (SetValues(again.operations) != SetValues(parsed.operations)) std::abort();
    }
    return 0;
}
