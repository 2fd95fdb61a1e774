// File: RegFile.h
//
// The .reg text format, as the Windows registry editor writes and reads it: pure functions from
// values to file bytes and back, with no registry access, so that they can be tested and fuzzed
// on their own.
//
//   Windows Registry Editor Version 5.00          (or REGEDIT4 for the ANSI form)
//
//   [HKEY_CURRENT_USER\Software\Example]          a key; [-...] deletes it and all below it
//   "Name"="text with \\ and \""                  REG_SZ
//   @="the unnamed value"
//   "Count"=dword:0000001f                        REG_DWORD
//   "Blob"=hex:01,02,\                            REG_BINARY; hex(N): is any other type N,
//     03                                          long lines continue after ",\"
//   "Gone"=-                                      deletes a value
//   ; a comment
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qelcli::regfile {

// Registry value types, numbered as Win32 numbers them.
inline constexpr std::uint32_t kTypeNone = 0;
inline constexpr std::uint32_t kTypeSz = 1;
inline constexpr std::uint32_t kTypeExpandSz = 2;
inline constexpr std::uint32_t kTypeBinary = 3;
inline constexpr std::uint32_t kTypeDword = 4;
inline constexpr std::uint32_t kTypeMultiSz = 7;

struct Value {
    std::u16string name;  // empty: the key's unnamed value ("@")
    std::uint32_t type = kTypeSz;
    std::vector<std::uint8_t> data;  // exactly as stored: REG_SZ is UTF-16LE with its NUL
};

struct Key {
    std::u16string path;  // with the full hive name: HKEY_CURRENT_USER\Software\...
    std::vector<Value> values;
};

enum class Encoding {
    Utf16,  // version 5 as the registry editor writes it: UTF-16LE with a byte-order mark
    Utf8,   // version 5 in UTF-8 without a byte-order mark
};

// The whole file, CRLF line ends. Keys and the values in each key are sorted without regard to
// letter case, so the same registry content always gives the same bytes. REG_SZ data that is
// not plain one-line text with a single final NUL is written as hex(1): to keep every byte.
std::string Write(std::vector<Key> keys, Encoding encoding);

// One line's worth of a file, in file order.
struct Operation {
    enum Kind {
        OpenKey,      // [path]: the key that the value lines below refer to
        DeleteKey,    // [-path]
        SetValue,     // "name"=data
        DeleteValue,  // "name"=-
    };
    Kind kind = OpenKey;
    int line = 0;         // where it starts, from 1
    std::u16string key;   // as written, with trailing backslashes removed
    std::u16string name;  // value operations only
    std::uint32_t type = kTypeSz;
    std::vector<std::uint8_t> data;  // SetValue: REG_SZ as UTF-16LE with its NUL
};

struct Error {
    int line = 0;
    std::string reason;
};

enum class Version { Five, Four };

struct Parsed {
    Version version = Version::Five;
    std::vector<Operation> operations;
    std::vector<Error> errors;  // every bad line, in order; empty when the whole file is good
};

// The longest line read, in UTF-16 units, continuation lines included: a key path as long as a
// registry call takes is 32,767, a setting's text at most 1,023. It bounds what one line costs
// in memory; a longer line is an error.
inline constexpr size_t kMaxLineChars = size_t{1} << 20;

// Receives what Parse reads, in line order, as it is read.
class ParseSink {
public:
    virtual ~ParseSink() = default;
    virtual void OnOperation(Operation&& op) = 0;
    virtual void OnError(Error&& error) = 0;
};

// Reads version 5 (UTF-16LE with its byte-order mark, or UTF-8 with or without one) and
// REGEDIT4 (UTF-8, or else Latin-1 for the ANSI code page). Bad lines are reported, not skipped.
// Only the current line is held as text, so memory stays near the size of `bytes` however many
// lines the file has. Returns the file's version.
Version Parse(std::string_view bytes, ParseSink& sink);
// The same, everything collected.
Parsed Parse(std::string_view bytes);

// The quoted-string escapes: backslash and double quote.
std::u16string Escape(std::u16string_view text);

}  // namespace qelcli::regfile
