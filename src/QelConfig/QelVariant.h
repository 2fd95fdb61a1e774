// File: QelVariant.h
//
// CComVariant: a VARIANT that owns its content, with the semantics of ATL's wrapper that the
// library relies on. It derives from VARIANT, so callers read vt, boolVal and lVal directly.
// A copy that fails leaves VT_ERROR with the failure code in scode instead of throwing.
#pragma once

#include "QelPlatform.h"

class CComVariant : public tagVARIANT {
public:
    CComVariant() noexcept { ::VariantInit(this); }
    ~CComVariant() { Clear(); }

    // The conversions are implicit, as ATL's are, so that callers pass plain values.
    CComVariant(const VARIANT& varSrc) {  // NOLINT(google-explicit-constructor)
        vt = VT_EMPTY;
        InternalCopy(&varSrc);
    }
    // The base starts empty rather than as a copy: a bitwise copy would share the source's BSTR
    // or interface. InternalCopy makes the deep copy.
    CComVariant(const CComVariant& varSrc)  // NOLINT(bugprone-copy-constructor-init)
        : tagVARIANT() {
        vt = VT_EMPTY;
        InternalCopy(&varSrc);
    }
    CComVariant(bool bSrc) noexcept {  // NOLINT(google-explicit-constructor)
        Init(VT_BOOL);
        boolVal = bSrc ? VARIANT_TRUE : VARIANT_FALSE;
    }
    CComVariant(short nSrc) noexcept {  // NOLINT(google-explicit-constructor)
        Init(VT_I2);
        iVal = nSrc;
    }
    CComVariant(int nSrc, VARTYPE vtSrc = VT_I4) noexcept {  // NOLINT(google-explicit-constructor)
        Init(vtSrc == VT_INT ? VT_INT : VT_I4);
        lVal = nSrc;
    }
    CComVariant(long nSrc) noexcept {  // NOLINT(google-explicit-constructor)
        Init(VT_I4);
        lVal = static_cast<LONG>(nSrc);
    }
    CComVariant(double dblSrc) noexcept {  // NOLINT(google-explicit-constructor)
        Init(VT_R8);
        dblVal = dblSrc;
    }
    // A text variant (VT_BSTR); a string that cannot be allocated leaves VT_ERROR.
    CComVariant(const char16_t* pszSrc) {  // NOLINT(google-explicit-constructor)
        Init(VT_BSTR);
        bstrVal = ::SysAllocString(reinterpret_cast<const OLECHAR*>(pszSrc));
        if (bstrVal == nullptr && pszSrc != nullptr) {
            vt = VT_ERROR;
            scode = E_OUTOFMEMORY;
        }
    }

    CComVariant& operator=(const CComVariant& varSrc) {
        if (this != &varSrc) InternalCopy(&varSrc);
        return *this;
    }
    CComVariant& operator=(const VARIANT& varSrc) {
        if (static_cast<const VARIANT*>(this) != &varSrc) InternalCopy(&varSrc);
        return *this;
    }

    HRESULT Clear() { return ::VariantClear(this); }
    // mingw-w64 declares the source non-const; VariantCopy does not modify it.
    HRESULT Copy(const VARIANT* pSrc) { return ::VariantCopy(this, const_cast<VARIANT*>(pSrc)); }

    // Comparisons go through VarCmp with the user's default locale; two nulls are equal. Any
    // outcome other than the one asked for (VARCMP_NULL, or a failure for types that cannot
    // be compared) makes the comparison false.
    bool operator==(const VARIANT& varSrc) const { return Compare(varSrc, VARCMP_EQ); }
    bool operator!=(const VARIANT& varSrc) const { return !operator==(varSrc); }
    // Exact matches for two wrappers, so C++20's reversed candidates cannot compete.
    bool operator==(const CComVariant& varSrc) const { return Compare(varSrc, VARCMP_EQ); }
    bool operator!=(const CComVariant& varSrc) const { return !operator==(varSrc); }
    bool operator<(const VARIANT& varSrc) const { return Compare(varSrc, VARCMP_LT); }
    bool operator>(const VARIANT& varSrc) const { return Compare(varSrc, VARCMP_GT); }

private:
    void Init(VARTYPE vtNew) noexcept {
        vt = vtNew;
        wReserved1 = wReserved2 = wReserved3 = 0;
        llVal = 0;
    }
    void InternalCopy(const VARIANT* pSrc) {
        HRESULT hr = Copy(pSrc);
        if (FAILED(hr)) {
            vt = VT_ERROR;
            scode = hr;
        }
    }
    bool Compare(const VARIANT& varSrc, HRESULT wanted) const {
        if (vt == VT_NULL && varSrc.vt == VT_NULL) return wanted == VARCMP_EQ;
        HRESULT hr = ::VarCmp(const_cast<VARIANT*>(static_cast<const VARIANT*>(this)),
                              const_cast<VARIANT*>(&varSrc), LOCALE_USER_DEFAULT, 0);
        return hr == wanted;
    }
};
