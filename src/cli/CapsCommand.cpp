// qelconfig caps: capability values as the library resolves them under a sub-key mask.
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <optional>

#include "Command.h"
#include "Output.h"
#include "QelConfig.h"
#include "Utf8.h"

namespace qelcli {

namespace {

constexpr int kCapabilityCount = capsLimit36 + 1;
constexpr int kFirstLimit = capsLimit28;

std::string CapsName(int id) {
    return (id < kFirstLimit ? "capsFlag" : "capsLimit") + std::to_string(id);
}

// Decimal, or hexadecimal after 0x; 32 bits.
std::optional<std::uint32_t> ParseMask(const std::string& text) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    std::uint32_t mask = 0;
    const auto parsed = std::from_chars(first, last, mask, hex ? 16 : 10);
    if (first == last || parsed.ec != std::errc() || parsed.ptr != last) return std::nullopt;
    return mask;
}

// A number or a name (capsFlag3, capsLimit28), any letter case.
std::optional<int> ParseCapability(const std::string& text) {
    for (int id = 0; id < kCapabilityCount; ++id) {
        const std::string name = CapsName(id);
        bool same = name.size() == text.size();
        for (size_t i = 0; same && i < name.size(); ++i)
            same = std::tolower(static_cast<unsigned char>(name[i])) ==
                   std::tolower(static_cast<unsigned char>(text[i]));
        if (same || text == std::to_string(id)) return id;
    }
    return std::nullopt;
}

struct Resolved {
    HRESULT hr = E_INVALIDARG;
    nlohmann::json value;  // bool or number when hr is S_OK
};

Resolved Resolve(int id, std::uint32_t mask) {
    const CQelConfig& config = QelConfig();
    const auto key = static_cast<CapsKey>(id);
    bool flag = false;
    Resolved result;
    result.hr = config.GetCapsValue(key, flag, mask);
    if (result.hr == S_OK) {
        result.value = flag;
        return result;
    }
    if (result.hr == E_FAIL) return result;
    long limit = 0;
    result.hr = config.GetCapsValue(key, limit, mask);
    if (result.hr == S_OK) result.value = limit;
    return result;
}

std::string HexMask(std::uint32_t mask) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(mask));
    return text;
}

Result RunCaps(const std::string& capability, const std::string& maskText) {
    std::uint32_t mask = 0;
    if (!maskText.empty()) mask = *ParseMask(maskText);
    const std::uint32_t effective = mask != 0 ? mask : QelConfig().GetDefaultSubKeys();
    std::vector<int> ids;
    if (capability.empty()) {
        for (int id = 0; id < kCapabilityCount; ++id) ids.push_back(id);
    } else if (auto id = ParseCapability(capability)) {
        ids.push_back(*id);
    } else {
        return Refused("unknown capability '" + capability + "': give 0 to " +
                       std::to_string(kCapabilityCount - 1) + " or a name such as capsLimit28");
    }

    nlohmann::json rows = nlohmann::json::array();
    for (int id : ids) {
        const Resolved resolved = Resolve(id, mask);
        if (resolved.hr != S_OK && resolved.hr != E_FAIL)
            return Refused("capability " + std::to_string(id) + " has no bool or integer value");
        if (ids.size() == 1 && resolved.hr == E_FAIL)
            return Refused(CapsName(id) + ": the mask " + HexMask(effective) + " selects no value");
        rows.push_back({{"id", id},
                        {"name", CapsName(id)},
                        {"type", id < kFirstLimit ? "bool" : "long"},
                        {"value", resolved.hr == E_FAIL ? nlohmann::json() : resolved.value}});
    }
    Result result;
    result.data = {{"mask", effective}, {"capabilities", rows}};
    result.lines = {"mask " + HexMask(effective) + (mask == 0 ? " (the default sub-keys)" : "")};
    result.table = {{"id"}, {"name"}, {"type"}, {"value"}};
    result.tableKey = "capabilities";
    for (const auto& row : rows)
        if (row["value"].is_null()) {
            result.closing = {"-: the mask selects no value of the capability"};
            break;
        }
    return result;
}

}  // namespace

extern const CommandRow kCapsCommand = {
    "caps", "Capability values as the library resolves them: one, or all of them.",
    [](CLI::App& command) -> std::function<Result()> {
        auto capability = std::make_shared<std::string>();
        auto mask = std::make_shared<std::string>();
        command.add_option("CAPABILITY", *capability, "A number (0 to 36) or a name (capsLimit28)");
        command
            .add_option("--mask", *mask,
                        "Sub-key mask, decimal or 0x hex (default: the default sub-keys)")
            ->check(CLI::Validator(
                [](std::string& text) {
                    return ParseMask(text) ? std::string() : Quoted(text) + " is not a 32-bit mask";
                },
                "MASK"));
        return [capability, mask] { return RunCaps(*capability, *mask); };
    }};

}  // namespace qelcli
