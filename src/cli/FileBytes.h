// File: FileBytes.h
//
// Whole-file reads and writes by UTF-8 file name, on every platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qelcli {

// The whole file, if it holds at most `maxBytes`. A regular file larger than that is refused
// before anything is read; a pipe or device is read only until it has given more, so that
// /dev/zero ends too. Memory: about the file's size. `reason` says why there is nothing
// (missing, too large, unreadable, not enough memory).
std::optional<std::string> ReadFileBytes(const std::string& utf8Name, std::uint64_t maxBytes,
                                         std::string& reason);

// The same for standard input, read to its end.
std::optional<std::string> ReadStandardInput(std::uint64_t maxBytes, std::string& reason);

// Writes the bytes as the file's whole new content. A regular file (or a new one) is replaced
// at once: the bytes go to a temporary file made exclusively under an unpredictable name in the
// same directory, given the old file's mode, flushed to disk, then renamed over it; so a failed
// write leaves the old file as it was. A symbolic link stays, its target replaced that way. A
// FIFO or character device is written in place. `reason` says why on failure.
bool WriteFileBytes(const std::string& utf8Name, std::string_view bytes, std::string& reason);

// Whether the name is this process's standard output (as /dev/stdout or /proc/self/fd/1 are):
// such a name is written through the stream, never replaced.
bool IsStandardOutput(const std::string& utf8Name);

// "64 MiB" for whole MiB, else "1,234 bytes".
std::string SizeText(std::uint64_t bytes);

}  // namespace qelcli
