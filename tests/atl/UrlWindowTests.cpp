// The link control on a real static control (a window of Wine's null
// graphics driver): the colours it takes from the browser's per-user
// settings, "Anchor Color" for a link not yet opened and "Anchor Color
// Visited" for an opened one, each read as text of up to 11 characters.
#include <UrlWin.h>

#include <gtest/gtest.h>

#include <string>

namespace
{

const COLORREF kBlue = RGB(0, 0, 255);
const COLORREF kPurple = RGB(128, 0, 128);

class UrlWindowColours : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, CUrlWindow::kSettingsKey, 0, NULL, 0,
                                                 KEY_ALL_ACCESS, NULL, &m_hKey, NULL));
        m_hParent = CreateWindowExW(0, L"STATIC", L"Parent", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, NULL, NULL, NULL,
                                    NULL);
        ASSERT_NE(nullptr, m_hParent) << "no window: error " << GetLastError();
    }
    void TearDown() override
    {
        for (LPCWSTR pszName : { L"Anchor Color", L"Anchor Color Visited" })
            RegDeleteValueW(m_hKey, pszName);
        RegCloseKey(m_hKey);
        if (m_hParent != NULL)
            DestroyWindow(m_hParent);
    }

    void Set(LPCWSTR pszName, LPCWSTR pszValue)
    {
        if (pszValue == NULL)
            RegDeleteValueW(m_hKey, pszName);
        else
            RegSetValueExW(m_hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszValue),
                           static_cast<DWORD>((wcslen(pszValue) + 1) * sizeof(WCHAR)));
    }

    HKEY m_hKey = NULL;
    HWND m_hParent = NULL;
};

TEST_F(UrlWindowColours, ReadFromTheBrowsersSettings)
{
    const struct
    {
        const wchar_t* pszNormal; // NULL: no value
        const wchar_t* pszVisited;
        COLORREF clrNormal;
        COLORREF clrOpened;
    } cases[] = {
        { NULL, NULL, kBlue, kPurple },
        { L"1,2,3", L"4,5,6", RGB(1, 2, 3), RGB(4, 5, 6) },
        // Eleven characters, the longest colour text there is.
        { L"255,255,255", L"255,128,000", RGB(255, 255, 255), RGB(255, 128, 0) },
        { L"000,000,000", L"12,255,200", RGB(0, 0, 0), RGB(12, 255, 200) },
        // Twelve characters do not fit: the built-in colours stay.
        { L"0255,000,000", L"000,0255,000", kBlue, kPurple },
        { L"255,0", L"0,0,", kBlue, kPurple },
    };
    for (const auto& c : cases)
    {
        Set(L"Anchor Color", c.pszNormal);
        Set(L"Anchor Color Visited", c.pszVisited);
        const HWND hStatic = CreateWindowExW(0, L"STATIC", L"https://www.norvaleth.example/", WS_CHILD | WS_VISIBLE,
                                             0, 0, 250, 20, m_hParent, NULL, NULL, NULL);
        ASSERT_NE(nullptr, hStatic);
        const std::string sCase = c.pszNormal ? std::string(c.pszNormal, c.pszNormal + wcslen(c.pszNormal)) : "none";
        {
            CUrlWindow link;
            ASSERT_TRUE(link.SubclassWindow(hStatic)) << sCase;
            EXPECT_EQ(c.clrNormal, link.m_clrNormal) << sCase;
            EXPECT_EQ(c.clrOpened, link.m_clrOpened) << sCase;
        } // the control goes with it
        EXPECT_FALSE(IsWindow(hStatic));
    }
}

} // namespace
