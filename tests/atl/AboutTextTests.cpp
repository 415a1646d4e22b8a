// The About page's version line and the link control's colour parsing: pure
// text work of the two shared user-interface headers.
#include <AboutPropertyPage.h>

#include <gtest/gtest.h>

#include <string>

namespace
{

TEST(AboutVersion, LineFromVersionDateAndTime)
{
    VS_FIXEDFILEINFO fi = {};
    fi.dwProductVersionMS = MAKELONG(2, 1); // 1.2
    fi.dwProductVersionLS = MAKELONG(4, 3); // .3.4
    const struct
    {
        const wchar_t* pszDate;
        const wchar_t* pszLine;
    } cases[] = {
        { L"Mar 19 2015", L"1.2.3.4 (19-Mar-2015 16:35:59) [Debug] 64 bit" },
        { L"Mar  9 2015", L"1.2.3.4 (9-Mar-2015 16:35:59) [Debug] 64 bit" },
        { L"Dec 31 1999", L"1.2.3.4 (31-Dec-1999 16:35:59) [Debug] 64 bit" },
    };
    for (const auto& c : cases)
    {
        WCHAR sz[128] = L"";
        FormatAboutVersion(sz, 128, fi, c.pszDate, L"16:35:59");
        EXPECT_EQ(std::wstring(c.pszLine), sz);
    }
    // A date text cut short reads blanks, never past its end.
    WCHAR sz[128] = L"";
    FormatAboutVersion(sz, 128, fi, L"Mar", L"16:35:59");
    EXPECT_EQ(std::wstring(L"1.2.3.4 ( -Mar-     16:35:59) [Debug] 64 bit"), sz);
}

TEST(UrlColour, ParsesThreeNumbers)
{
    const struct
    {
        const wchar_t* psz;
        COLORREF clr;
    } cases[] = {
        { L"0,0,255", RGB(0, 0, 255) },   { L"255,0,0", RGB(255, 0, 0) }, { L"1,2,3", RGB(1, 2, 3) },
        { L"256,0,0", RGB(0, 0, 0) },     { L"255,0", CLR_INVALID },      { L"255,0,", CLR_INVALID },
        { L"255", CLR_INVALID },          { L"", CLR_INVALID },           { L"-1,0,0", CLR_INVALID },
    };
    for (const auto& c : cases)
    {
        WCHAR sz[16];
        wcscpy(sz, c.psz);
        EXPECT_EQ(c.clr, CUrlWindow::ParseColor(sz)) << std::string(c.psz, c.psz + wcslen(c.psz));
    }
}

} // namespace
