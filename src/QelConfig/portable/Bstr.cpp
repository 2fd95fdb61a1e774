// OLE Automation strings: a 32-bit byte count, then the 16-bit text and a NUL. The BSTR points
// at the text, as on Windows, so a BSTR is also a NUL-terminated string.
#include <cstdlib>
#include <cstring>

#include "QelPlatform.h"

namespace {

constexpr size_t kPrefixBytes = sizeof(DWORD);

DWORD* Prefix(BSTR bstr) {
    return reinterpret_cast<DWORD*>(reinterpret_cast<BYTE*>(bstr) - kPrefixBytes);
}

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) {
    const size_t bytes = static_cast<size_t>(cch) * sizeof(OLECHAR);
    if (bytes > 0xFFFFFFFFu - kPrefixBytes - sizeof(OLECHAR)) return nullptr;
    auto* block = static_cast<BYTE*>(std::malloc(kPrefixBytes + bytes + sizeof(OLECHAR)));
    if (block == nullptr) return nullptr;
    const DWORD count = static_cast<DWORD>(bytes);
    std::memcpy(block, &count, sizeof count);
    auto* text = reinterpret_cast<OLECHAR*>(block + kPrefixBytes);
    if (pch != nullptr)
        std::memcpy(text, pch, bytes);
    else
        std::memset(text, 0, bytes);
    text[cch] = 0;
    return text;
}

BSTR SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr) return nullptr;
    UINT length = 0;
    while (psz[length] != 0) ++length;
    return SysAllocStringLen(psz, length);
}

void SysFreeString(BSTR bstr) {
    if (bstr != nullptr) std::free(Prefix(bstr));
}

UINT SysStringLen(BSTR bstr) {
    return bstr == nullptr ? 0 : *Prefix(bstr) / static_cast<UINT>(sizeof(OLECHAR));
}
