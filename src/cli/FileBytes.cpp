#include "FileBytes.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace qelcli {

namespace {

std::filesystem::path PathOf(const std::string& utf8Name) {
    return std::filesystem::path(std::u8string(utf8Name.begin(), utf8Name.end()));
}

}  // namespace

std::optional<std::string> ReadFileBytes(const std::string& utf8Name, std::string& reason) {
    std::ifstream in(PathOf(utf8Name), std::ios::binary);
    if (!in) {
        reason = "cannot open " + utf8Name;
        return std::nullopt;
    }
    std::string bytes;
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer), in.gcount() > 0)
        bytes.append(buffer, static_cast<size_t>(in.gcount()));
    if (in.bad()) {
        reason = "cannot read " + utf8Name;
        return std::nullopt;
    }
    return bytes;
}

bool WriteFileBytes(const std::string& utf8Name, const std::string& bytes, std::string& reason) {
    const std::filesystem::path target = PathOf(utf8Name);
    std::filesystem::path temporary = target;
    temporary += ".qelconfig-tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            reason = "cannot write " + utf8Name;
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, target, error);
    if (error) {
        std::filesystem::remove(temporary, error);
        reason = "cannot replace " + utf8Name;
        return false;
    }
    return true;
}

}  // namespace qelcli
