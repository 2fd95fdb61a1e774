// File: QelString.h
//
// CString: the wide string of every interface of the library. Text is a counted sequence of
// 16-bit code units (char16_t on every platform) with a NUL-terminated buffer, compared unit by
// unit. Copies share long text until one of them changes it; short text needs no allocation.
// The members carry the names of ATL's CStringT so that code written for ATL reads the same. A
// buffer that cannot be had raises CAtlException carrying E_OUTOFMEMORY.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <cstdio>
#include <cwctype>
#include <functional>
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
        const size_t count = nRepeat > 0 ? static_cast<size_t>(nRepeat) : 0;
        std::fill_n(Reserve(count, false), count, ch);
        SetLength(count);
    }
    explicit CString(std::u16string_view text) { Assign(text.data(), text.size()); }
    CString(const CString& src) noexcept { ShareFrom(src); }
    CString(CString&& src) noexcept { TakeFrom(src); }
    ~CString() { Release(); }

    CString& operator=(const CString& src) noexcept {
        if (this != &src) {
            Release();
            ShareFrom(src);
        }
        return *this;
    }
    CString& operator=(CString&& src) noexcept {
        if (this != &src) {
            Release();
            TakeFrom(src);
        }
        return *this;
    }
    CString& operator=(PCXSTR psz) {
        SetString(psz);
        return *this;
    }
    CString& operator=(XCHAR ch) {
        Assign(&ch, 1);
        return *this;
    }

    // A null pointer gives the empty text.
    void SetString(PCXSTR psz) {
        Assign(psz, psz == nullptr ? 0 : std::char_traits<XCHAR>::length(psz));
    }
    void SetString(PCXSTR pch, int nLength) {
        Assign(pch, pch == nullptr || nLength <= 0 ? 0 : static_cast<size_t>(nLength));
    }

    int GetLength() const noexcept { return static_cast<int>(m_length); }
    bool IsEmpty() const noexcept { return m_length == 0; }
    void Empty() noexcept {
        Release();
        m_length = 0;
        m_local[0] = 0;
    }
    PCXSTR GetString() const noexcept { return Data(); }
    operator PCXSTR() const noexcept { return Data(); }
    std::u16string_view View() const noexcept { return {Data(), m_length}; }
    XCHAR GetAt(int iChar) const {
        if (iChar < 0 || iChar >= GetLength()) AtlThrow(E_INVALIDARG);
        return Data()[iChar];
    }
    void SetAt(int iChar, XCHAR ch) {
        if (iChar < 0 || iChar >= GetLength()) AtlThrow(E_INVALIDARG);
        Writable()[iChar] = ch;
    }
    XCHAR operator[](int iChar) const { return GetAt(iChar); }

    CString& operator+=(const CString& str) {
        Append(str.Data(), str.m_length);
        return *this;
    }
    CString& operator+=(PCXSTR psz) {
        if (psz != nullptr) Append(psz, std::char_traits<XCHAR>::length(psz));
        return *this;
    }
    CString& operator+=(XCHAR ch) {
        Append(&ch, 1);
        return *this;
    }
    void Append(PCXSTR pch, int nLength) {
        if (pch != nullptr && nLength > 0) Append(pch, static_cast<size_t>(nLength));
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
        return Position(View().find(ch, static_cast<size_t>(iStart)));
    }
    int Find(PCXSTR pszSub, int iStart = 0) const noexcept {
        if (pszSub == nullptr || iStart < 0 || iStart > GetLength()) return -1;
        return Position(View().find(pszSub, static_cast<size_t>(iStart)));
    }
    int ReverseFind(XCHAR ch) const noexcept { return Position(View().rfind(ch)); }

    CString Left(int nCount) const { return Mid(0, nCount); }
    CString Right(int nCount) const {
        nCount = Clamp(nCount, 0, GetLength());
        return Mid(GetLength() - nCount, nCount);
    }
    CString Mid(int iFirst) const { return Mid(iFirst, GetLength()); }
    CString Mid(int iFirst, int nCount) const {
        iFirst = Clamp(iFirst, 0, GetLength());
        nCount = Clamp(nCount, 0, GetLength() - iFirst);
        if (iFirst == 0 && nCount == GetLength()) return *this;
        return CString(GetString() + iFirst, nCount);
    }

    // Replaces every occurrence, scanning left to right; returns how many were replaced.
    int Replace(XCHAR chOld, XCHAR chNew) {
        const size_t first = View().find(chOld);
        if (first == std::u16string_view::npos) return 0;
        int count = 0;
        PXSTR text = Writable();
        for (size_t i = first; i < m_length; ++i) {
            if (text[i] == chOld) {
                text[i] = chNew;
                ++count;
            }
        }
        return count;
    }
    int Replace(PCXSTR pszOld, PCXSTR pszNew) {
        if (pszOld == nullptr || *pszOld == 0) return 0;
        const std::u16string_view from(pszOld);
        const std::u16string_view to(pszNew != nullptr ? pszNew : u"");
        const std::u16string_view text = View();
        if (text.find(from) == std::u16string_view::npos) return 0;
        int count = 0;
        CString result;
        size_t start = 0;
        for (size_t pos; (pos = text.find(from, start)) != std::u16string_view::npos;
             start = pos + from.size()) {
            result.Append(text.data() + start, pos - start);
            result.Append(to.data(), to.size());
            ++count;
        }
        result.Append(text.data() + start, text.size() - start);
        *this = std::move(result);
        return count;
    }

    // White space is what iswspace reports in the C runtime's default locale.
    CString& TrimLeft() {
        size_t first = 0;
        while (first < m_length && IsSpace(Data()[first])) ++first;
        if (first > 0) Assign(Data() + first, m_length - first);
        return *this;
    }
    CString& TrimRight() {
        size_t end = m_length;
        while (end > 0 && IsSpace(Data()[end - 1])) --end;
        if (end < m_length) Assign(Data(), end);
        return *this;
    }
    CString& Trim() { return TrimRight().TrimLeft(); }

    // ASCII letters only: what the library's comparisons need, independent of the locale.
    CString& MakeLower() { return MapAscii(u'A', u'Z', u'a' - u'A'); }
    CString& MakeUpper() { return MapAscii(u'a', u'z', u'A' - u'a'); }

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
            try {
                narrow.resize(static_cast<size_t>(needed) + 1);
            } catch (const std::bad_alloc&) {
                AtlThrow(E_OUTOFMEMORY);
            }
            std::vsnprintf(narrow.data(), narrow.size(), format.c_str(), args);
            narrow.resize(static_cast<size_t>(needed));
        }
#pragma GCC diagnostic pop
        std::copy(narrow.begin(), narrow.end(), Reserve(narrow.size(), false));
        SetLength(narrow.size());
    }

private:
    // Text longer than kLocalUnits lives in a Shared block: copies of a CString share it (a copy
    // is one atomic increment, as with ATL's strings) and the first change to a shared text copies
    // it. Shorter text lives in the object itself, so most setting values, numbers and defaults
    // cost no allocation at all. The count is atomic so that copies may be used on different
    // threads; one CString object is, like any value, used by one thread at a time.
    struct Shared {
        std::atomic<std::size_t> references;
        std::size_t capacity;  // units, not counting the terminating NUL
        PXSTR Text() noexcept { return reinterpret_cast<PXSTR>(this + 1); }
    };
    static constexpr std::size_t kLocalUnits = 35;
    // GetLength() is an int.
    static constexpr std::size_t kMaxUnits = 0x7FFFFFFE;
    static constexpr std::size_t kUnit = sizeof(XCHAR);

    PCXSTR Data() const noexcept { return m_shared != nullptr ? m_shared->Text() : m_local; }
    void SetLength(std::size_t length) noexcept {
        m_length = length;
        (m_shared != nullptr ? m_shared->Text() : m_local)[length] = 0;
    }
    void Release() noexcept {
        if (m_shared != nullptr &&
            m_shared->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
            ::operator delete(m_shared);
        m_shared = nullptr;
    }
    void ShareFrom(const CString& src) noexcept {
        m_length = src.m_length;
        m_shared = src.m_shared;
        if (m_shared != nullptr)
            m_shared->references.fetch_add(1, std::memory_order_relaxed);
        else
            std::memcpy(m_local, src.m_local, (m_length + 1) * kUnit);
    }
    void TakeFrom(CString& src) noexcept {
        m_length = src.m_length;
        m_shared = std::exchange(src.m_shared, nullptr);
        if (m_shared == nullptr) std::memcpy(m_local, src.m_local, (m_length + 1) * kUnit);
        src.m_length = 0;
        src.m_local[0] = 0;
    }
    // Room for `units` units (and the NUL) that only this object writes to. keep: the text's
    // first units (up to its length) are kept; otherwise the contents are unspecified. The old
    // text is released only after what is kept has been copied out of it.
    PXSTR Reserve(std::size_t units, bool keep) {
        if (units > kMaxUnits) AtlThrow(E_OUTOFMEMORY);
        if (m_shared == nullptr) {
            if (units <= kLocalUnits) return m_local;
        } else if (units <= m_shared->capacity &&
                   m_shared->references.load(std::memory_order_acquire) == 1) {
            return m_shared->Text();
        } else if (units <= kLocalUnits) {
            if (keep) Keep(m_local, units);
            Release();
            return m_local;
        }
        std::size_t capacity = units;
        if (keep) capacity = std::max(units, std::min(kMaxUnits, m_length + m_length / 2));
        void* memory = ::operator new(sizeof(Shared) + (capacity + 1) * kUnit, std::nothrow);
        if (memory == nullptr) AtlThrow(E_OUTOFMEMORY);
        auto* block = new (memory) Shared{{1}, capacity};
        if (keep) Keep(block->Text(), units);
        Release();
        m_shared = block;
        return block->Text();
    }
    // Copies the text's first units (up to its length) to room, terminated.
    void Keep(PXSTR room, std::size_t units) const noexcept {
        const std::size_t kept = std::min(m_length, units);
        std::memcpy(room, Data(), kept * kUnit);
        room[kept] = 0;
    }
    // Whether p points into this object's text (or at its NUL).
    bool Holds(PCXSTR p) const noexcept {
        return std::less_equal<>()(Data(), p) && std::less_equal<>()(p, Data() + m_length);
    }
    // The text, unshared, for changing in place.
    PXSTR Writable() { return Reserve(m_length, true); }
    void Assign(PCXSTR pch, std::size_t count) {
        if (count == 0) {
            Empty();
            return;
        }
        // The source may be this object's own text: copy it aside before any room is reused.
        if (Holds(pch)) {
            CString copy;
            std::memcpy(copy.Reserve(count, false), pch, count * kUnit);
            copy.SetLength(count);
            *this = std::move(copy);
            return;
        }
        std::memcpy(Reserve(count, false), pch, count * kUnit);
        SetLength(count);
    }
    void Append(PCXSTR pch, std::size_t count) {
        if (count == 0) return;
        if (count > kMaxUnits - m_length) AtlThrow(E_OUTOFMEMORY);
        const std::size_t length = m_length;
        if (Holds(pch)) {
            // Appending (part of) itself: the source must outlive a move to new room.
            const CString self(*this);
            const std::ptrdiff_t offset = pch - Data();
            PXSTR room = Reserve(length + count, true);
            std::memcpy(room + length, self.Data() + offset, count * kUnit);
        } else {
            PXSTR room = Reserve(length + count, true);
            std::memcpy(room + length, pch, count * kUnit);
        }
        SetLength(length + count);
    }
    CString& MapAscii(XCHAR first, XCHAR last, int shift) {
        const std::u16string_view text = View();
        const auto in = [&](XCHAR ch) { return ch >= first && ch <= last; };
        if (std::none_of(text.begin(), text.end(), in)) return *this;
        PXSTR writable = Writable();
        for (std::size_t i = 0; i < m_length; ++i)
            if (in(writable[i])) writable[i] = static_cast<XCHAR>(writable[i] + shift);
        return *this;
    }
    static int Position(std::size_t pos) noexcept {
        return pos == std::u16string_view::npos ? -1 : static_cast<int>(pos);
    }
    static int Clamp(int value, int low, int high) noexcept {
        return value < low ? low : (value > high ? high : value);
    }
    static bool IsSpace(XCHAR ch) noexcept { return std::iswspace(static_cast<wint_t>(ch)) != 0; }

    Shared* m_shared = nullptr;  // null: the text is in m_local
    std::size_t m_length = 0;
    XCHAR m_local[kLocalUnits + 1] = {};
};
