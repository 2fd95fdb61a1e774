// File: FuzzInput.h
//
// Turns fuzzer bytes into the library's texts: pairs of bytes are UTF-16LE code units, so lone
// surrogates, NULs and every other unit occur.
#pragma once

#include <cstdint>
#include <cstring>

#include "QelConfig.h"

inline CString FuzzText(const std::uint8_t* data, std::size_t size) {
    CString text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        char16_t unit;
        std::memcpy(&unit, data + i, 2);
        text += unit;
    }
    return text;
}
