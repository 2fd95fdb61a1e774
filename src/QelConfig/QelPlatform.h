// File: QelPlatform.h
//
// The Win32 names the library's interface is written with: result codes, integer and text types,
// and OLE Automation variants. On Windows they come from the system headers and are the real API
// (oleaut32). Everywhere else this header declares the same names with the same values, and
// libQelPlatform exports the functions under their Win32 names, so the code above this header is
// one code path on every platform. The registry calls, which the library uses but its interface
// does not, are declared in QelRegistry.h, which is not installed.
//
// Text is 16-bit everywhere. On Windows WCHAR is wchar_t, elsewhere char16_t; Win32Str() turns a
// char16_t pointer into whatever the platform's W functions take.
#pragma once

#if defined(_WIN32)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <oleauto.h>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

#else  // everywhere but Windows

#include <cstddef>
#include <cstdint>

#if defined(QELPLATFORM_BUILDING)
#define QELPLATFORM_API extern "C" __attribute__((visibility("default")))
#else
#define QELPLATFORM_API extern "C"
#endif

// Integer and text types, with the widths Win32 gives them (LONG and DWORD are 32 bits).
typedef int BOOL;
typedef std::uint8_t BYTE;
typedef char CHAR;
typedef std::int16_t SHORT;
typedef std::uint16_t USHORT;
typedef std::uint16_t WORD;
typedef std::int32_t INT;
typedef std::uint32_t UINT;
typedef std::int32_t LONG;
typedef std::uint32_t ULONG;
typedef std::uint32_t DWORD;
typedef std::int64_t LONGLONG;
typedef std::uint64_t ULONGLONG;
typedef std::uintptr_t ULONG_PTR;
typedef float FLOAT;
typedef double DOUBLE;
typedef double DATE;
typedef LONG HRESULT;
typedef LONG SCODE;
typedef LONG LSTATUS;
typedef DWORD LCID;
typedef char16_t WCHAR;
typedef WCHAR OLECHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* BSTR;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;

// Result codes.
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005L)
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

// OLE Automation variants.
typedef std::uint16_t VARTYPE;
typedef std::int16_t VARIANT_BOOL;
#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
};

// Layout as on 64-bit Windows: the type word, three reserved words, then the value. llVal comes
// first in the union so that a constant variant can be written with one initialiser.
struct tagVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        DATE date;
        BSTR bstrVal;
        void* byref;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
    };
};
typedef tagVARIANT VARIANT;
typedef tagVARIANT VARIANTARG;
typedef VARIANT* LPVARIANT;

#define VARCMP_LT 0
#define VARCMP_EQ 1
#define VARCMP_GT 2
#define VARCMP_NULL 3
#define LOCALE_USER_DEFAULT ((LCID)0x0400)

QELPLATFORM_API void VariantInit(VARIANTARG* pvarg);
QELPLATFORM_API HRESULT VariantClear(VARIANTARG* pvarg);
QELPLATFORM_API HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
QELPLATFORM_API HRESULT VarCmp(LPVARIANT pvarLeft, LPVARIANT pvarRight, LCID lcid, ULONG dwFlags);
QELPLATFORM_API BSTR SysAllocString(const OLECHAR* psz);
QELPLATFORM_API BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch);
QELPLATFORM_API void SysFreeString(BSTR bstr);
QELPLATFORM_API UINT SysStringLen(BSTR bstr);

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#endif  // _WIN32

// The platform's view of a 16-bit text pointer (identity off Windows, wchar_t on Windows).
inline LPCWSTR Win32Str(const char16_t* psz) noexcept { return reinterpret_cast<LPCWSTR>(psz); }
inline LPWSTR Win32Str(char16_t* psz) noexcept { return reinterpret_cast<LPWSTR>(psz); }
