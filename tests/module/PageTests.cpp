// The spy filter's two property pages as a property frame drives them: made
// by CLSID through the module, handed the filter, activated on a parent
// window (Wine's null graphics driver), their controls read and worked, then
// deactivated and released. The filter offers both through
// ISpecifyPropertyPages.
#include "ModuleSupport.h"

#include "dsfix/Com.h"

#include "Morphlet.h"

#include <commctrl.h>
#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using dsfix::ComPtr;

namespace
{

std::wstring Text(HWND hWnd)
{
    WCHAR sz[1024] = L"";
    GetWindowTextW(hWnd, sz, 1024);
    return sz;
}

std::wstring ItemText(HWND hDlg, int nId)
{
    return Text(GetDlgItem(hDlg, nId));
}

ULONG RefCount(IUnknown* p)
{
    p->AddRef();
    return p->Release();
}

// A page site that counts the page's status reports.
class PageSite : public IPropertyPageSite
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IPropertyPageSite))
        {
            *ppv = static_cast<IPropertyPageSite*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_nRef; }
    STDMETHODIMP_(ULONG) Release() override { return --m_nRef; }
    STDMETHODIMP OnStatusChange(DWORD) override
    {
        ++m_nStatusChanges;
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID* pLocaleID) override
    {
        *pLocaleID = LOCALE_USER_DEFAULT;
        return S_OK;
    }
    STDMETHODIMP GetPageContainer(IUnknown** ppUnk) override
    {
        *ppUnk = NULL;
        return E_NOTIMPL;
    }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }

    ULONG m_nRef = 1;
    int m_nStatusChanges = 0;
};

// Closes the message boxes captioned "Spy Filter" that appear while it
// lives, keeping their texts.
class ErrorBoxCloser
{
public:
    ErrorBoxCloser()
        : m_thread([this]() {
              while (!m_bStop)
              {
                  HWND hBox = FindWindowW(L"#32770", L"Spy Filter");
                  if (hBox != NULL)
                  {
                      std::wstring s = ItemText(hBox, 0xFFFF);
                      {
                          std::lock_guard<std::mutex> lock(m_mutex);
                          m_texts.push_back(s);
                      }
                      SendMessageW(hBox, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                  }
                  Sleep(10);
              }
          })
    {
    }
    ~ErrorBoxCloser()
    {
        m_bStop = true;
        m_thread.join();
    }
    std::vector<std::wstring> Texts()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_texts;
    }

private:
    std::atomic<bool> m_bStop{ false };
    std::mutex m_mutex;
    std::vector<std::wstring> m_texts;
    std::thread m_thread;
};

class Pages : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_module.Loaded()) << "Morphlet.dll or one of its exports is missing";
        m_hParent = CreateWindowExW(0, L"STATIC", L"Frame", WS_OVERLAPPEDWINDOW, 0, 0, 600, 500, NULL, NULL, NULL, NULL);
        ASSERT_NE(nullptr, m_hParent) << "no window: error " << GetLastError();
        m_spFilter = Create<IBaseFilter>(CLSID_SpyFilter, IID_IBaseFilter);
        ASSERT_TRUE(m_spFilter);
        ASSERT_EQ(S_OK, m_spFilter.As(m_spSpy));
    }
    void TearDown() override
    {
        if (m_hParent != NULL)
            DestroyWindow(m_hParent);
    }

    template <class I>
    ComPtr<I> Create(REFCLSID clsid, REFIID iid)
    {
        ComPtr<IClassFactory> spCF;
        ComPtr<I> sp;
        EXPECT_EQ(S_OK, m_module.GetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&spCF)));
        if (spCF)
        {
            EXPECT_EQ(S_OK, spCF->CreateInstance(NULL, iid, reinterpret_cast<void**>(&sp)));
        }
        return sp;
    }

    // Hands the page the filter and activates it; the page's dialog.
    HWND Activate(IPropertyPage* pPage)
    {
        IUnknown* pUnk = m_spFilter.Get();
        EXPECT_EQ(S_OK, pPage->SetPageSite(&m_site));
        EXPECT_EQ(S_OK, pPage->SetObjects(1, &pUnk));
        const RECT rc = { 0, 0, 500, 400 };
        EXPECT_EQ(S_OK, pPage->Activate(m_hParent, &rc, FALSE));
        return GetWindow(m_hParent, GW_CHILD);
    }

    // The frame's farewell: deactivated, objects and site let go.
    void Close(IPropertyPage* pPage)
    {
        EXPECT_EQ(S_OK, pPage->Deactivate());
        EXPECT_EQ(nullptr, GetWindow(m_hParent, GW_CHILD));
        EXPECT_EQ(S_OK, pPage->SetObjects(0, NULL));
        EXPECT_EQ(S_OK, pPage->SetPageSite(NULL));
    }

    dsfix::ComInit m_com{ COINIT_APARTMENTTHREADED };
    morphlet::CModule m_module;
    HWND m_hParent = NULL;
    ComPtr<IBaseFilter> m_spFilter;
    ComPtr<INRVSpyFilter> m_spSpy;
    PageSite m_site;
};

TEST_F(Pages, FilterOffersBothPagesInTaskMemory)
{
    ComPtr<ISpecifyPropertyPages> spSpecify;
    ASSERT_EQ(S_OK, m_spFilter.As(spSpecify));
    CAUUID pages = { 99, NULL };
    ASSERT_EQ(S_OK, spSpecify->GetPages(&pages));
    ASSERT_EQ(2u, pages.cElems);
    EXPECT_TRUE(IsEqualGUID(CLSID_SpyFilterPP, pages.pElems[0]));
    EXPECT_TRUE(IsEqualGUID(CLSID_AboutSpyFilter, pages.pElems[1]));
    CoTaskMemFree(pages.pElems);
    EXPECT_EQ(E_POINTER, spSpecify->GetPages(NULL));
}

TEST_F(Pages, PageInfoGivesTitleAndSizeOnly)
{
    const struct
    {
        const CLSID* pclsid;
        const wchar_t* pszTitle;
    } cases[] = { { &CLSID_SpyFilterPP, L"Settings" }, { &CLSID_AboutSpyFilter, L"About" } };
    for (const auto& c : cases)
    {
        ComPtr<IPropertyPage> spPage = Create<IPropertyPage>(*c.pclsid, IID_IPropertyPage);
        ASSERT_TRUE(spPage);
        PROPPAGEINFO info = {};
        ASSERT_EQ(S_OK, spPage->GetPageInfo(&info));
        EXPECT_EQ(sizeof(PROPPAGEINFO), info.cb);
        ASSERT_NE(nullptr, info.pszTitle);
        EXPECT_EQ(std::wstring(c.pszTitle), info.pszTitle);
        EXPECT_EQ(nullptr, info.pszDocString);
        EXPECT_EQ(nullptr, info.pszHelpFile);
        EXPECT_EQ(0u, info.dwHelpContext);
        EXPECT_GT(info.size.cx, 100);
        EXPECT_GT(info.size.cy, 100);
        CoTaskMemFree(info.pszTitle);
        EXPECT_EQ(E_POINTER, spPage->GetPageInfo(NULL));
    }
}

TEST_F(Pages, SettingsPageShowsAndSwitchesTheFilter)
{
    // Switches away from their defaults, so that the page must read them.
    ASSERT_EQ(S_OK, m_spSpy->EnableDynReconnect(FALSE));
    ASSERT_EQ(S_OK, m_spSpy->ForcePassthruAllocator(TRUE));
    ASSERT_EQ(S_OK, m_spSpy->EnableMTEnumRedir(FALSE));
    const ULONG nFilterRefs = RefCount(m_spFilter);
    {
        ComPtr<IPropertyPage> spPage = Create<IPropertyPage>(CLSID_SpyFilterPP, IID_IPropertyPage);
        ASSERT_TRUE(spPage);
        const HWND hDlg = Activate(spPage);
        ASSERT_NE(nullptr, hDlg);
        EXPECT_EQ((UINT)BST_UNCHECKED, IsDlgButtonChecked(hDlg, 204));
        EXPECT_EQ((UINT)BST_CHECKED, IsDlgButtonChecked(hDlg, 207));
        EXPECT_EQ((UINT)BST_CHECKED, IsDlgButtonChecked(hDlg, 203));
        EXPECT_EQ((UINT)BST_UNCHECKED, IsDlgButtonChecked(hDlg, 209));
        EXPECT_EQ(50, SendDlgItemMessageW(hDlg, 206, TBM_GETPOS, 0, 0));
        EXPECT_EQ(100, SendDlgItemMessageW(hDlg, 206, TBM_GETRANGEMAX, 0, 0));
        EXPECT_EQ(L"1.000", ItemText(hDlg, 210));
        EXPECT_EQ(L"", ItemText(hDlg, 201));

        // A tick of the page's timer: the bitrate of an idle filter, and no
        // graph to ask for the position.
        SendMessageW(hDlg, WM_TIMER, 1, 0);
        EXPECT_EQ(L"0 bit/s", ItemText(hDlg, 201));
        EXPECT_EQ(L"0 bit/s", ItemText(hDlg, 202));
        EXPECT_EQ(L"Error 0x80004005", ItemText(hDlg, 208));

        // Each box acts on the filter at once; the page never turns dirty.
        SendDlgItemMessageW(hDlg, 204, BM_CLICK, 0, 0);
        EXPECT_EQ(S_OK, m_spSpy->IsDynReconnecEnabled());
        SendDlgItemMessageW(hDlg, 203, BM_CLICK, 0, 0);
        EXPECT_EQ(S_OK, m_spSpy->IsMTEnumRedirEnabled());
        SendDlgItemMessageW(hDlg, 207, BM_CLICK, 0, 0);
        LONG bForced = TRUE;
        EXPECT_EQ(S_OK, m_spSpy->IsPassthruAllocatorForced(&bForced));
        EXPECT_FALSE(bForced);
        SendDlgItemMessageW(hDlg, 204, BM_CLICK, 0, 0);
        EXPECT_EQ(S_FALSE, m_spSpy->IsDynReconnecEnabled());
        SendDlgItemMessageW(hDlg, 203, BM_CLICK, 0, 0);
        EXPECT_EQ(S_FALSE, m_spSpy->IsMTEnumRedirEnabled());

        EXPECT_EQ(S_FALSE, spPage->IsPageDirty());
        EXPECT_EQ(S_OK, spPage->Apply());
        EXPECT_EQ(0, m_site.m_nStatusChanges);
        EXPECT_EQ(S_FALSE, m_spSpy->IsDynReconnecEnabled());

        Close(spPage);
    }
    EXPECT_EQ(nFilterRefs, RefCount(m_spFilter));
    EXPECT_EQ(1u, m_site.m_nRef);
}

TEST_F(Pages, SecondActivationReadsTheFilterAgain)
{
    ComPtr<IPropertyPage> spPage = Create<IPropertyPage>(CLSID_SpyFilterPP, IID_IPropertyPage);
    ASSERT_TRUE(spPage);
    HWND hDlg = Activate(spPage);
    ASSERT_NE(nullptr, hDlg);
    EXPECT_EQ((UINT)BST_CHECKED, IsDlgButtonChecked(hDlg, 204));
    EXPECT_EQ(S_OK, spPage->Deactivate());
    ASSERT_EQ(S_OK, m_spSpy->EnableDynReconnect(FALSE));
    const RECT rc = { 0, 0, 500, 400 };
    ASSERT_EQ(S_OK, spPage->Activate(m_hParent, &rc, FALSE));
    hDlg = GetWindow(m_hParent, GW_CHILD);
    ASSERT_NE(nullptr, hDlg);
    EXPECT_EQ((UINT)BST_UNCHECKED, IsDlgButtonChecked(hDlg, 204));
    Close(spPage);
}

TEST_F(Pages, RateChangeWithoutAGraphShowsTheErrorAndFallsBack)
{
    ComPtr<IPropertyPage> spPage = Create<IPropertyPage>(CLSID_SpyFilterPP, IID_IPropertyPage);
    ASSERT_TRUE(spPage);
    const HWND hDlg = Activate(spPage);
    ASSERT_NE(nullptr, hDlg);
    const HWND hSlider = GetDlgItem(hDlg, 206);
    std::vector<std::wstring> texts;
    {
        ErrorBoxCloser closer;
        SendMessageW(hSlider, TBM_SETPOS, TRUE, 100);
        SendMessageW(hDlg, WM_HSCROLL, TB_ENDTRACK, reinterpret_cast<LPARAM>(hSlider));
        texts = closer.Texts();
    }
    ASSERT_EQ(1u, texts.size());
    const std::wstring& s = texts[0];
    EXPECT_EQ(0u, s.find(L"Can't change playback rate\n")) << std::string(s.begin(), s.end());
    const std::wstring sEnd = L"Error 0x80004005";
    ASSERT_GE(s.size(), sEnd.size());
    EXPECT_EQ(sEnd, s.substr(s.size() - sEnd.size()));
    EXPECT_EQ(50, SendMessageW(hSlider, TBM_GETPOS, 0, 0));
    EXPECT_EQ(L"1.000", ItemText(hDlg, 210));
    Close(spPage);
}

// In Wine's graph manager the page talks to the graph: the graph takes any
// rate (it has no seeking filter to refuse it) and cannot tell positions.
// The track bar maps 0..100 to the rates 0.1..10, the direction box negates.
TEST_F(Pages, TrackBarAndDirectionSetTheGraphsRate)
{
    ComPtr<IGraphBuilder> spGraph;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, NULL, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     reinterpret_cast<void**>(&spGraph)));
    ASSERT_EQ(S_OK, spGraph->AddFilter(m_spFilter, L"Spy"));
    {
        ComPtr<IPropertyPage> spPage = Create<IPropertyPage>(CLSID_SpyFilterPP, IID_IPropertyPage);
        ASSERT_TRUE(spPage);
        const HWND hDlg = Activate(spPage);
        ASSERT_NE(nullptr, hDlg);
        EXPECT_EQ(L"1.000", ItemText(hDlg, 210));
        SendMessageW(hDlg, WM_TIMER, 1, 0);
        EXPECT_EQ(L"Error 0x80004001", ItemText(hDlg, 208)); // the graph's GetPositions: E_NOTIMPL

        const HWND hSlider = GetDlgItem(hDlg, 206);
        const struct
        {
            int pos;
            bool bBackward;
            const wchar_t* pszRate;
        } cases[] = {
            { 0, false, L"0.100" }, { 50, false, L"1.000" }, { 100, false, L"10.000" },
            { 75, false, L"3.162" }, { 100, true, L"-10.000" }, { 0, true, L"-0.100" },
        };
        ErrorBoxCloser closer;
        for (const auto& c : cases)
        {
            const bool bChecked = IsDlgButtonChecked(hDlg, 209) == BST_CHECKED;
            SendMessageW(hSlider, TBM_SETPOS, TRUE, c.pos);
            if (bChecked != c.bBackward)
                SendDlgItemMessageW(hDlg, 209, BM_CLICK, 0, 0); // applies the rate too
            SendMessageW(hDlg, WM_HSCROLL, TB_THUMBPOSITION, reinterpret_cast<LPARAM>(hSlider));
            EXPECT_EQ(std::wstring(c.pszRate), ItemText(hDlg, 210)) << "position " << c.pos;
        }
        // A scroll message from another control is not the rate's.
        SendMessageW(hSlider, TBM_SETPOS, TRUE, 50);
        SendMessageW(hDlg, WM_HSCROLL, TB_THUMBPOSITION, 0);
        EXPECT_EQ(L"-0.100", ItemText(hDlg, 210));
        EXPECT_TRUE(closer.Texts().empty());
        Close(spPage);
    }
    EXPECT_EQ(S_OK, spGraph->RemoveFilter(m_spFilter));
}

// A page given no spy filter (no object at all, or an object without the
// filter's interface) shows the defaults and does nothing when worked.
TEST_F(Pages, PageWithoutTheFilterShowsDefaults)
{
    ComPtr<IUnknown> spOther;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, NULL, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(&spOther)));
    for (IUnknown* pObject : { static_cast<IUnknown*>(NULL), spOther.Get() })
    {
        ComPtr<IPropertyPage> spPage = Create<IPropertyPage>(CLSID_SpyFilterPP, IID_IPropertyPage);
        ASSERT_TRUE(spPage);
        if (pObject != NULL)
        {
            EXPECT_EQ(S_OK, spPage->SetObjects(1, &pObject));
        }
        const RECT rc = { 0, 0, 500, 400 };
        ASSERT_EQ(S_OK, spPage->Activate(m_hParent, &rc, FALSE));
        const HWND hDlg = GetWindow(m_hParent, GW_CHILD);
        ASSERT_NE(nullptr, hDlg);
        EXPECT_EQ((UINT)BST_CHECKED, IsDlgButtonChecked(hDlg, 204));
        EXPECT_EQ((UINT)BST_UNCHECKED, IsDlgButtonChecked(hDlg, 207));
        EXPECT_EQ((UINT)BST_UNCHECKED, IsDlgButtonChecked(hDlg, 203));
        EXPECT_EQ(L"1.000", ItemText(hDlg, 210));
        SendDlgItemMessageW(hDlg, 207, BM_CLICK, 0, 0);
        SendMessageW(hDlg, WM_TIMER, 1, 0);
        EXPECT_EQ(L"", ItemText(hDlg, 201));
        EXPECT_EQ(S_OK, spPage->Deactivate());
        EXPECT_EQ(S_OK, spPage->SetObjects(0, NULL));
    }
}

BOOL CALLBACK CollectText(HWND hWnd, LPARAM lParam)
{
    reinterpret_cast<std::vector<std::wstring>*>(lParam)->push_back(Text(hWnd));
    return TRUE;
}

TEST_F(Pages, AboutPageShowsItsTextsAndLinks)
{
    const ULONG nFilterRefs = RefCount(m_spFilter);
    {
        ComPtr<IPropertyPage> spPage = Create<IPropertyPage>(CLSID_AboutSpyFilter, IID_IPropertyPage);
        ASSERT_TRUE(spPage);
        const HWND hDlg = Activate(spPage);
        ASSERT_NE(nullptr, hDlg);
        EXPECT_EQ(L"Norvaleth Spy Filter", ItemText(hDlg, 301));
        const std::wstring sVersion = ItemText(hDlg, 302);
        EXPECT_EQ(0u, sVersion.find(L"1.2.0.0 (")) << std::string(sVersion.begin(), sVersion.end());
        const std::wstring sTail = L") [Debug] 64 bit";
        ASSERT_GT(sVersion.size(), sTail.size());
        EXPECT_EQ(sTail, sVersion.substr(sVersion.size() - sTail.size()));
        EXPECT_NE(L"Static", ItemText(hDlg, 305));
        EXPECT_FALSE(ItemText(hDlg, 305).empty());

        std::vector<std::wstring> texts;
        EnumChildWindows(hDlg, CollectText, reinterpret_cast<LPARAM>(&texts));
        for (const wchar_t* psz : { L"DirectShow filter for trace DirectShow calls", L"Version", L"Description",
                                    L"Manufacturer", L"Manufacturer Url", L"Support Url", L"Legal Copyright" })
            EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(), std::wstring(psz)))
                << std::string(psz, psz + wcslen(psz));

        // Both links are subclassed statics that notify and want characters.
        for (int nId : { 303, 304 })
        {
            const HWND hLink = GetDlgItem(hDlg, nId);
            ASSERT_NE(nullptr, hLink);
            EXPECT_FALSE(Text(hLink).empty());
            EXPECT_NE(GetClassLongPtrW(hLink, GCLP_WNDPROC), GetWindowLongPtrW(hLink, GWLP_WNDPROC));
            EXPECT_TRUE(GetWindowLongPtrW(hLink, GWL_STYLE) & SS_NOTIFY);
            EXPECT_EQ(DLGC_WANTCHARS, SendMessageW(hLink, WM_GETDLGCODE, 0, 0));
        }
        EXPECT_EQ(S_FALSE, spPage->IsPageDirty());
        Close(spPage);
    }
    EXPECT_EQ(nFilterRefs, RefCount(m_spFilter));
}

// The colour a control paints its text in: the most saturated red or blue
// of its client area printed into a bitmap ('r', 'b', or '-' for neither).
char LinkColour(HWND hLink)
{
    RECT rc;
    GetClientRect(hLink, &rc);
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = rc.right;
    bmi.bmiHeader.biHeight = -rc.bottom;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    void* pBits = NULL;
    const HDC hDC = CreateCompatibleDC(NULL);
    const HBITMAP hBmp = CreateDIBSection(hDC, &bmi, DIB_RGB_COLORS, &pBits, NULL, 0);
    char c = '-';
    if (hBmp != NULL)
    {
        const HGDIOBJ hOld = SelectObject(hDC, hBmp);
        PatBlt(hDC, 0, 0, rc.right, rc.bottom, WHITENESS);
        SendMessageW(hLink, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(hDC), PRF_CLIENT);
        GdiFlush();
        const DWORD* p = static_cast<const DWORD*>(pBits);
        int nRed = 0, nBlue = 0;
        for (LONG i = 0; i < rc.right * rc.bottom; ++i)
        {
            const int r = (p[i] >> 16) & 0xFF, g = (p[i] >> 8) & 0xFF, b = p[i] & 0xFF;
            if (r > 160 && g < 80 && b < 80)
                ++nRed;
            if (b > 160 && g < 80 && r < 80)
                ++nBlue;
        }
        c = (nRed > nBlue) ? 'r' : (nBlue > 0 ? 'b' : '-');
        SelectObject(hDC, hOld);
        DeleteObject(hBmp);
    }
    DeleteDC(hDC);
    return c;
}

// The links take the browser's "Anchor Color" when it reads as three
// numbers, and keep their blue otherwise.
TEST_F(Pages, LinksFollowTheBrowsersAnchorColour)
{
    const wchar_t kKey[] = L"Software\\Microsoft\\Internet Explorer\\Settings";
    const struct
    {
        const wchar_t* pszColour; // NULL: no value
        char expected;
    } cases[] = { { NULL, 'b' }, { L"255,0,0", 'r' }, { L"255,000,000", 'r' }, { L"255,0", 'b' }, { L"255,0,", 'b' } };
    HKEY hKey = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hKey, NULL));
    for (const auto& c : cases)
    {
        if (c.pszColour != NULL)
            RegSetValueExW(hKey, L"Anchor Color", 0, REG_SZ, reinterpret_cast<const BYTE*>(c.pszColour),
                           static_cast<DWORD>((wcslen(c.pszColour) + 1) * sizeof(WCHAR)));
        else
            RegDeleteValueW(hKey, L"Anchor Color");
        ComPtr<IPropertyPage> spPage = Create<IPropertyPage>(CLSID_AboutSpyFilter, IID_IPropertyPage);
        ASSERT_TRUE(spPage);
        const HWND hDlg = Activate(spPage);
        ASSERT_NE(nullptr, hDlg);
        EXPECT_EQ(c.expected, LinkColour(GetDlgItem(hDlg, 303))) << (c.pszColour ? "value set" : "no value");
        Close(spPage);
    }
    RegDeleteValueW(hKey, L"Anchor Color");
    RegCloseKey(hKey);
}

// Only a press on the label's own text takes the mouse; a release away from
// it opens nothing (the link keeps its colour).
TEST_F(Pages, LinkTakesTheMouseOnlyOnItsText)
{
    ComPtr<IPropertyPage> spPage = Create<IPropertyPage>(CLSID_AboutSpyFilter, IID_IPropertyPage);
    ASSERT_TRUE(spPage);
    const HWND hDlg = Activate(spPage);
    ASSERT_NE(nullptr, hDlg);
    const HWND hLink = GetDlgItem(hDlg, 304);
    RECT rc;
    GetClientRect(hLink, &rc);
    const LPARAM outside = MAKELPARAM(rc.right - 2, rc.bottom / 2);
    const LPARAM inside = MAKELPARAM(2, rc.bottom / 2);
    SendMessageW(hLink, WM_LBUTTONDOWN, MK_LBUTTON, outside);
    EXPECT_NE(hLink, GetCapture());
    SendMessageW(hLink, WM_LBUTTONDOWN, MK_LBUTTON, inside);
    EXPECT_EQ(hLink, GetCapture());
    SendMessageW(hLink, WM_LBUTTONUP, 0, outside);
    EXPECT_EQ(nullptr, GetCapture());
    EXPECT_EQ('b', LinkColour(hLink));
    Close(spPage);
}

} // namespace
