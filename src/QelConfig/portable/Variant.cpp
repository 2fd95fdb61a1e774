// OLE Automation variants: initialisation, ownership and comparison of the by-value types
// (numbers, booleans, errors, dates, currency) and of strings. Interfaces, arrays, records and
// decimals are not held by this layer: the calls refuse them with DISP_E_BADVARTYPE.
#include <cstring>

#include "QelPlatform.h"

namespace {

bool IsScalar(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_ERROR:
        case VT_BOOL:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
            return true;
        default:
            return false;
    }
}

// By-reference variants point at storage they do not own; they copy and clear shallowly.
bool IsHeld(VARTYPE vt) { return IsScalar(vt) || vt == VT_BSTR || (vt & VT_BYREF) != 0; }

// The numeric value of a variant, exactly for every integer type (long double has a 64-bit
// mantissa here). VT_EMPTY counts as 0 and VT_BOOL as its 16-bit value, as VarCmp does.
bool NumericValue(const VARIANT& v, long double& out) {
    switch (v.vt) {
        case VT_EMPTY:
            out = 0;
            return true;
        case VT_I1:
            out = static_cast<signed char>(v.cVal);
            return true;
        case VT_UI1:
            out = v.bVal;
            return true;
        case VT_I2:
            out = v.iVal;
            return true;
        case VT_BOOL:
            out = v.boolVal;
            return true;
        case VT_UI2:
            out = v.uiVal;
            return true;
        case VT_I4:
            out = v.lVal;
            return true;
        case VT_INT:
            out = v.intVal;
            return true;
        case VT_UI4:
            out = v.ulVal;
            return true;
        case VT_UINT:
            out = v.uintVal;
            return true;
        case VT_I8:
            out = static_cast<long double>(v.llVal);
            return true;
        case VT_UI8:
            out = static_cast<long double>(v.ullVal);
            return true;
        case VT_R4:
            out = static_cast<long double>(v.fltVal);
            return true;
        case VT_R8:
        case VT_DATE:
            out = static_cast<long double>(v.dblVal);
            return true;
        case VT_CY:
            out = static_cast<long double>(v.llVal) / 10000;
            return true;
        default:
            return false;
    }
}

HRESULT CompareStrings(BSTR left, BSTR right) {
    const UINT leftLength = SysStringLen(left);
    const UINT rightLength = SysStringLen(right);
    for (UINT i = 0; i < leftLength && i < rightLength; ++i) {
        if (left[i] != right[i]) return left[i] < right[i] ? VARCMP_LT : VARCMP_GT;
    }
    if (leftLength == rightLength) return VARCMP_EQ;
    return leftLength < rightLength ? VARCMP_LT : VARCMP_GT;
}

}  // namespace

void VariantInit(VARIANTARG* pvarg) {
    if (pvarg == nullptr) return;
    pvarg->vt = VT_EMPTY;
    pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
    if (pvarg == nullptr) return E_INVALIDARG;
    if (!IsHeld(pvarg->vt)) return DISP_E_BADVARTYPE;
    if (pvarg->vt == VT_BSTR) SysFreeString(pvarg->bstrVal);
    pvarg->vt = VT_EMPTY;
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
    if (pvargDest == pvargSrc) return S_OK;
    if (!IsHeld(pvargSrc->vt)) return DISP_E_BADVARTYPE;
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) return hr;
    if (pvargSrc->vt == VT_BSTR && pvargSrc->bstrVal != nullptr) {
        BSTR copy = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
        if (copy == nullptr) return E_OUTOFMEMORY;
        *pvargDest = *pvargSrc;
        pvargDest->bstrVal = copy;
        return S_OK;
    }
    std::memcpy(static_cast<void*>(pvargDest), pvargSrc, sizeof(VARIANT));
    return S_OK;
}

HRESULT VarCmp(LPVARIANT pvarLeft, LPVARIANT pvarRight, LCID /*lcid*/, ULONG /*dwFlags*/) {
    if (pvarLeft == nullptr || pvarRight == nullptr) return E_INVALIDARG;
    if (!IsHeld(pvarLeft->vt) || !IsHeld(pvarRight->vt)) return DISP_E_BADVARTYPE;
    if (pvarLeft->vt == VT_NULL || pvarRight->vt == VT_NULL) return VARCMP_NULL;
    const bool leftText = pvarLeft->vt == VT_BSTR;
    const bool rightText = pvarRight->vt == VT_BSTR;
    if (leftText || rightText) {
        // An empty variant compares as the empty text; any other number is below any text,
        // whatever the text says, as OLE Automation orders them.
        if (leftText && rightText) return CompareStrings(pvarLeft->bstrVal, pvarRight->bstrVal);
        if (pvarLeft->vt == VT_EMPTY) return CompareStrings(nullptr, pvarRight->bstrVal);
        if (pvarRight->vt == VT_EMPTY) return CompareStrings(pvarLeft->bstrVal, nullptr);
        long double number = 0;
        if (!NumericValue(leftText ? *pvarRight : *pvarLeft, number)) return DISP_E_TYPEMISMATCH;
        return leftText ? VARCMP_GT : VARCMP_LT;
    }
    long double left = 0;
    long double right = 0;
    if (!NumericValue(*pvarLeft, left) || !NumericValue(*pvarRight, right))
        return DISP_E_TYPEMISMATCH;
    if (left < right) return VARCMP_LT;
    if (left > right) return VARCMP_GT;
    if (left == right) return VARCMP_EQ;
    return VARCMP_NULL;  // a NaN has no order
}
