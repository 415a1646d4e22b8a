// ATL's trace categories.
//
// A category's value is its registration handle: non-zero for every
// registered category; a zero value silences its lines. The categories are
// constant-initialised, so their values are readable from any static
// initialiser, whatever the order of initialisation across source units.
#pragma once

#include <windows.h>

namespace ATL
{
class CTraceCategory
{
public:
    constexpr CTraceCategory(LPCWSTR pszName, DWORD_PTR dwCategory) noexcept
        : m_pszName(pszName), m_dwCategory(dwCategory) {}

    operator DWORD_PTR() const noexcept { return m_dwCategory; }
    LPCWSTR GetName() const noexcept { return m_pszName; }

private:
    LPCWSTR m_pszName;
    DWORD_PTR m_dwCategory;
};

inline CTraceCategory atlTraceGeneral(L"atlTraceGeneral", 0x0001);
inline CTraceCategory atlTraceCOM(L"atlTraceCOM", 0x0002);
inline CTraceCategory atlTraceNotImpl(L"atlTraceNotImpl", 0x0003);
inline CTraceCategory atlTraceWindowing(L"atlTraceWindowing", 0x0004);
inline CTraceCategory atlTraceControls(L"atlTraceControls", 0x0005);
inline CTraceCategory atlTraceException(L"atlTraceException", 0x0006);
} // namespace ATL
