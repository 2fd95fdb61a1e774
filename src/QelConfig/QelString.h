// File: QelString.h
//
// CString: the wide string of every interface of the library. Text is a counted sequence of
// 16-bit code units (char16_t on every platform) with a NUL-terminated buffer, copied deeply and
// compared unit by unit. The members carry the names of ATL's CStringT so that code written for
// ATL reads the same. A buffer that cannot be had raises CAtlException carrying E_OUTOFMEMORY.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cwctype>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "QelPlatform.h"

class CAtlException {
public:
    explicit CAtlException(HRESULT hr = E_FAIL) noexcept : m_hr(hr) {}
    operator HRESULT() const noexcept { return m_hr; }

    HRESULT m_hr;
};

[[noreturn]] inline void AtlThrow(HRESULT hr) { throw CAtlException(hr); }

class CString {
public:
    using XCHAR = char16_t;
    using PXSTR = char16_t*;
    using PCXSTR = const char16_t*;

    CString() noexcept = default;
    // Implicit, as ATL's, so that callers pass plain text.
    CString(PCXSTR psz) { SetString(psz); }  // NOLINT(google-explicit-constructor)
    CString(PCXSTR pch, int nLength) { SetString(pch, nLength); }
    explicit CString(XCHAR ch, int nRepeat = 1) {
        Guard([&] { m_str.assign(static_cast<size_t>(nRepeat > 0 ? nRepeat : 0), ch); });
    }
    explicit CString(std::u16string_view text) {
        Guard([&] { m_str.assign(text); });
    }
    CString(const CString& src) {
        Guard([&] { m_str = src.m_str; });
    }
    CString(CString&& src) noexcept : m_str(std::move(src.m_str)) {}
    ~CString() = default;

    CString& operator=(const CString& src) {
        if (this != &src) Guard([&] { m_str = src.m_str; });
        return *this;
    }
    CString& operator=(CString&& src) noexcept {
        m_str = std::move(src.m_str);
        return *this;
    }
    CString& operator=(PCXSTR psz) {
        SetString(psz);
        return *this;
    }
    CString& operator=(XCHAR ch) {
        Guard([&] { m_str.assign(1, ch); });
        return *this;
    }

    // A null pointer gives the empty text.
    void SetString(PCXSTR psz) {
        Guard([&] {
            if (psz == nullptr)
                m_str.clear();
            else
                m_str.assign(psz);
        });
    }
    void SetString(PCXSTR pch, int nLength) {
        Guard([&] {
            if (pch == nullptr || nLength <= 0)
                m_str.clear();
            else
                m_str.assign(pch, static_cast<size_t>(nLength));
        });
    }

    int GetLength() const noexcept { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const noexcept { return m_str.empty(); }
    void Empty() noexcept { m_str.clear(); }
    PCXSTR GetString() const noexcept { return m_str.c_str(); }
    operator PCXSTR() const noexcept { return m_str.c_str(); }
    std::u16string_view View() const noexcept { return m_str; }
    XCHAR GetAt(int iChar) const {
        if (iChar < 0 || iChar >= GetLength()) AtlThrow(E_INVALIDARG);
        return m_str[static_cast<size_t>(iChar)];
    }
    void SetAt(int iChar, XCHAR ch) {
        if (iChar < 0 || iChar >= GetLength()) AtlThrow(E_INVALIDARG);
        m_str[static_cast<size_t>(iChar)] = ch;
    }
    XCHAR operator[](int iChar) const { return GetAt(iChar); }

    CString& operator+=(const CString& str) {
        Guard([&] { m_str += str.m_str; });
        return *this;
    }
    CString& operator+=(PCXSTR psz) {
        if (psz != nullptr) Guard([&] { m_str += psz; });
        return *this;
    }
    CString& operator+=(XCHAR ch) {
        Guard([&] { m_str += ch; });
        return *this;
    }
    void Append(PCXSTR pch, int nLength) {
        if (pch != nullptr && nLength > 0)
            Guard([&] { m_str.append(pch, static_cast<size_t>(nLength)); });
    }

    // Unit-by-unit comparison of the texts as NUL-terminated strings, like wcscmp.
    int Compare(PCXSTR psz) const noexcept {
        PCXSTR a = GetString();
        PCXSTR b = psz != nullptr ? psz : u"";
        while (*a != 0 && *a == *b) {
            ++a;
            ++b;
        }
        return *a < *b ? -1 : (*a > *b ? 1 : 0);
    }
    friend bool operator==(const CString& a, const CString& b) noexcept {
        return a.Compare(b.GetString()) == 0;
    }
    friend bool operator==(const CString& a, PCXSTR b) noexcept { return a.Compare(b) == 0; }
    friend bool operator<(const CString& a, const CString& b) noexcept {
        return a.Compare(b.GetString()) < 0;
    }

    friend CString operator+(const CString& a, const CString& b) {
        CString result(a);
        result += b;
        return result;
    }
    friend CString operator+(const CString& a, PCXSTR b) {
        CString result(a);
        result += b;
        return result;
    }
    friend CString operator+(PCXSTR a, const CString& b) {
        CString result(a);
        result += b;
        return result;
    }

    // Position of the first occurrence at or after iStart, or -1.
    int Find(XCHAR ch, int iStart = 0) const noexcept {
        if (iStart < 0 || iStart >= GetLength()) return -1;
        size_t pos = m_str.find(ch, static_cast<size_t>(iStart));
        return pos == std::u16string::npos ? -1 : static_cast<int>(pos);
    }
    int Find(PCXSTR pszSub, int iStart = 0) const noexcept {
        if (pszSub == nullptr || iStart < 0 || iStart > GetLength()) return -1;
        size_t pos = m_str.find(pszSub, static_cast<size_t>(iStart));
        return pos == std::u16string::npos ? -1 : static_cast<int>(pos);
    }
    int ReverseFind(XCHAR ch) const noexcept {
        size_t pos = m_str.rfind(ch);
        return pos == std::u16string::npos ? -1 : static_cast<int>(pos);
    }

    CString Left(int nCount) const { return Mid(0, nCount); }
    CString Right(int nCount) const {
        nCount = Clamp(nCount, 0, GetLength());
        return Mid(GetLength() - nCount, nCount);
    }
    CString Mid(int iFirst) const { return Mid(iFirst, GetLength()); }
    CString Mid(int iFirst, int nCount) const {
        iFirst = Clamp(iFirst, 0, GetLength());
        nCount = Clamp(nCount, 0, GetLength() - iFirst);
        return CString(GetString() + iFirst, nCount);
    }

    // Replaces every occurrence, scanning left to right; returns how many were replaced.
    int Replace(XCHAR chOld, XCHAR chNew) noexcept {
        int count = 0;
        for (auto& ch : m_str) {
            if (ch == chOld) {
                ch = chNew;
                ++count;
            }
        }
        return count;
    }
    int Replace(PCXSTR pszOld, PCXSTR pszNew) {
        if (pszOld == nullptr || *pszOld == 0) return 0;
        std::u16string_view from(pszOld);
        std::u16string_view to(pszNew != nullptr ? pszNew : u"");
        int count = 0;
        Guard([&] {
            std::u16string result;
            size_t start = 0;
            for (size_t pos; (pos = m_str.find(from, start)) != std::u16string::npos;
                 start = pos + from.size()) {
                result.append(m_str, start, pos - start).append(to);
                ++count;
            }
            result.append(m_str, start, std::u16string::npos);
            m_str.swap(result);
        });
        return count;
    }

    // White space is what iswspace reports in the C runtime's default locale.
    CString& TrimLeft() {
        size_t first = 0;
        while (first < m_str.size() && IsSpace(m_str[first])) ++first;
        m_str.erase(0, first);
        return *this;
    }
    CString& TrimRight() {
        size_t end = m_str.size();
        while (end > 0 && IsSpace(m_str[end - 1])) --end;
        m_str.erase(end);
        return *this;
    }
    CString& Trim() { return TrimRight().TrimLeft(); }

    // ASCII letters only: what the library's comparisons need, independent of the locale.
    CString& MakeLower() noexcept {
        for (auto& ch : m_str)
            if (ch >= u'A' && ch <= u'Z') ch = static_cast<XCHAR>(ch - u'A' + u'a');
        return *this;
    }
    CString& MakeUpper() noexcept {
        for (auto& ch : m_str)
            if (ch >= u'a' && ch <= u'z') ch = static_cast<XCHAR>(ch - u'a' + u'A');
        return *this;
    }

    // printf-style formatting of numbers. The format must be ASCII; string and character
    // conversions are refused with E_INVALIDARG, since their arguments would be narrow.
    void Format(PCXSTR pszFormat, ...) {
        va_list args;
        va_start(args, pszFormat);
        try {
            FormatV(pszFormat, args);
        } catch (...) {
            va_end(args);
            throw;
        }
        va_end(args);
    }
    void FormatV(PCXSTR pszFormat, va_list args) {
        std::string format;
        for (PCXSTR p = pszFormat != nullptr ? pszFormat : u""; *p != 0; ++p) {
            if (*p > 0x7F) AtlThrow(E_INVALIDARG);
            format += static_cast<char>(*p);
        }
        for (size_t pos = format.find('%'); pos != std::string::npos;
             pos = format.find('%', pos + 1)) {
            size_t conv = format.find_first_not_of("0123456789.-+ #*hlLjzt'", pos + 1);
            if (conv == std::string::npos) AtlThrow(E_INVALIDARG);
            if (format[conv] == '%') {
                pos = conv;
                continue;
            }
            if (std::string_view("sScCnp").find(format[conv]) != std::string_view::npos)
                AtlThrow(E_INVALIDARG);
            pos = conv;
        }
        // The format was checked above: numeric conversions only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        char buffer[128];
        va_list copy;
        va_copy(copy, args);
        int needed = std::vsnprintf(buffer, sizeof buffer, format.c_str(), copy);
        va_end(copy);
        if (needed < 0) AtlThrow(E_INVALIDARG);
        std::string narrow;
        if (static_cast<size_t>(needed) < sizeof buffer) {
            narrow.assign(buffer, static_cast<size_t>(needed));
        } else {
            Guard([&] { narrow.resize(static_cast<size_t>(needed) + 1); });
            std::vsnprintf(narrow.data(), narrow.size(), format.c_str(), args);
            narrow.resize(static_cast<size_t>(needed));
        }
#pragma GCC diagnostic pop
        Guard([&] { m_str.assign(narrow.begin(), narrow.end()); });
    }

private:
    template <typename F>
    static void Guard(F&& operation) {
        try {
            operation();
        } catch (const std::bad_alloc&) {
            AtlThrow(E_OUTOFMEMORY);
        } catch (const std::length_error&) {
            AtlThrow(E_OUTOFMEMORY);
        }
    }
    static int Clamp(int value, int low, int high) noexcept {
        return value < low ? low : (value > high ? high : value);
    }
    static bool IsSpace(XCHAR ch) noexcept { return std::iswspace(static_cast<wint_t>(ch)) != 0; }

    std::u16string m_str;
};
