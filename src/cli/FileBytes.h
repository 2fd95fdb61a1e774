// File: FileBytes.h
//
// Whole-file reads and writes by UTF-8 file name, on every platform.
#pragma once

#include <optional>
#include <string>

namespace qelcli {

std::optional<std::string> ReadFileBytes(const std::string& utf8Name, std::string& reason);
// Writes beside the target and renames over it, so a failed export leaves the old file whole.
bool WriteFileBytes(const std::string& utf8Name, const std::string& bytes, std::string& reason);

}  // namespace qelcli
