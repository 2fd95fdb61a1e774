// File: Utf8.h
//
// Conversions between the library's UTF-16 text and the UTF-8 of the console, files and JSON.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qelcli {

// Unpaired surrogates become U+FFFD, so the result is always valid UTF-8 (JSON needs that).
std::string ToUtf8(std::u16string_view text);

// Nothing when the bytes are not well-formed UTF-8 (overlong forms and surrogates included).
std::optional<std::u16string> FromUtf8(std::string_view bytes);
// Whether FromUtf8 would succeed, without building the text.
bool IsUtf8(std::string_view bytes);

// UTF-8 in single quotes, for messages. (Built by appending: GCC 12 warns falsely about
// "'" + std::string at -O2.)
std::string Quoted(std::u16string_view text);
std::string Quoted(std::string_view utf8);

// Each byte as the code point of the same value: how ANSI text is taken when it is not UTF-8.
std::u16string FromLatin1(std::string_view bytes);

}  // namespace qelcli
