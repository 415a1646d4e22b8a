// The filter's property pages as a user meets them: the module registered
// with regsvr32, the filter created by its CLSID and put in a filter graph,
// its page list asked through ISpecifyPropertyPages and handed to the
// system's property frame (OleCreatePropertyFrame) on a real X display. A
// second thread reads the frame as a person sees it (its tabs, each page's
// visible controls and their texts), saves a screenshot of each page under
// the build folder and closes the frame with its Cancel button.
#include "ModuleSupport.h"
#include "ProgramFolder.h"

#include "dsfix/Com.h"

#include "Morphlet.h"

#include <commctrl.h>
#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using dsfix::ComPtr;

namespace
{

const DWORD kWaitMs = 20000; // the longest any one thing may take to show

std::string Narrow(const std::wstring& s)
{
    return std::string(s.begin(), s.end());
}

std::wstring Text(HWND hWnd)
{
    WCHAR sz[1024] = L"";
    GetWindowTextW(hWnd, sz, 1024);
    return sz;
}

std::wstring ClassOf(HWND hWnd)
{
    WCHAR sz[64] = L"";
    GetClassNameW(hWnd, sz, 64);
    return sz;
}

// The folder of the build: the parent of the test program's folder.
std::wstring BuildFolder()
{
    const std::wstring s = ProgramFolder();
    return s.substr(0, s.find_last_of(L"\\/", s.size() - 2));
}

// Polls a condition every 20 ms; false when it is not met in time.
template <class F>
bool WaitFor(F condition, DWORD dwMs = kWaitMs)
{
    const DWORD dwStart = GetTickCount();
    for (;;)
    {
        if (condition())
            return true;
        if (GetTickCount() - dwStart >= dwMs)
            return false;
        Sleep(20);
    }
}

// A control of a page as it shows on the screen.
struct Control
{
    int nId;
    std::wstring sClass;
    std::wstring sText;
    RECT rc; // screen coordinates
    bool bChecked;
};

// What the reader saw of one page.
struct Page
{
    std::wstring sTab;
    RECT rcPage = {};
    RECT rcFrameClient = {};
    std::vector<Control> controls;
    std::wstring sScreenshot;
    std::set<COLORREF> colours; // colours of the screenshot
    bool bSaved = false;

    const Control* Find(int nId) const
    {
        for (const Control& c : controls)
            if (c.nId == nId)
                return &c;
        return nullptr;
    }
    bool Shows(const std::wstring& sText) const
    {
        return std::any_of(controls.begin(), controls.end(), [&](const Control& c) { return c.sText == sText; });
    }
};

BOOL CALLBACK CollectPage(HWND hWnd, LPARAM lParam)
{
    auto* pFound = reinterpret_cast<HWND*>(lParam);
    if (IsWindowVisible(hWnd) && ClassOf(hWnd) == L"#32770" && (GetWindowLongW(hWnd, GWL_STYLE) & WS_CHILD))
        *pFound = hWnd;
    return TRUE;
}

// The page dialog the frame shows now.
HWND ShownPage(HWND hFrame)
{
    HWND hPage = NULL;
    EnumChildWindows(hFrame, CollectPage, reinterpret_cast<LPARAM>(&hPage));
    return hPage;
}

BOOL CALLBACK CollectControl(HWND hWnd, LPARAM lParam)
{
    if (!IsWindowVisible(hWnd))
        return TRUE;
    Control c;
    c.nId = GetDlgCtrlID(hWnd);
    c.sClass = ClassOf(hWnd);
    c.sText = Text(hWnd);
    GetWindowRect(hWnd, &c.rc);
    c.bChecked = (_wcsicmp(c.sClass.c_str(), L"Button") == 0) &&
                 BST_CHECKED == SendMessageW(hWnd, BM_GETCHECK, 0, 0);
    reinterpret_cast<std::vector<Control>*>(lParam)->push_back(c);
    return TRUE;
}

// The screen's pixels under a window, written as a 24-bit bitmap file; the
// colours found in it.
bool SaveScreenshot(HWND hWnd, const std::wstring& sFile, std::set<COLORREF>* pColours)
{
    RECT rc;
    GetWindowRect(hWnd, &rc);
    const LONG cx = rc.right - rc.left, cy = rc.bottom - rc.top;
    if (cx <= 0 || cy <= 0)
        return false;
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = cx;
    bmi.bmiHeader.biHeight = cy; // bottom-up, as a file holds it
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 24;
    bmi.bmiHeader.biCompression = BI_RGB;
    const DWORD cbLine = ((cx * 3) + 3) & ~3u;
    bmi.bmiHeader.biSizeImage = cbLine * cy;
    void* pBits = NULL;
    const HDC hScreen = GetDC(NULL);
    const HDC hMem = CreateCompatibleDC(hScreen);
    const HBITMAP hBmp = CreateDIBSection(hScreen, &bmi, DIB_RGB_COLORS, &pBits, NULL, 0);
    bool bOk = false;
    if (hBmp != NULL)
    {
        const HGDIOBJ hOld = SelectObject(hMem, hBmp);
        bOk = BitBlt(hMem, 0, 0, cx, cy, hScreen, rc.left, rc.top, SRCCOPY) != FALSE;
        GdiFlush();
        SelectObject(hMem, hOld);
        const BYTE* p = static_cast<const BYTE*>(pBits);
        for (LONG y = 0; bOk && y < cy; ++y)
            for (LONG x = 0; x < cx; ++x)
            {
                const BYTE* px = p + y * cbLine + x * 3;
                pColours->insert(RGB(px[2], px[1], px[0]));
            }
        BITMAPFILEHEADER bfh = {};
        bfh.bfType = 0x4D42; // "BM"
        bfh.bfOffBits = sizeof(bfh) + sizeof(bmi.bmiHeader);
        bfh.bfSize = bfh.bfOffBits + bmi.bmiHeader.biSizeImage;
        const HANDLE h = CreateFileW(sFile.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        DWORD cb = 0;
        bOk = bOk && h != INVALID_HANDLE_VALUE && WriteFile(h, &bfh, sizeof(bfh), &cb, NULL) &&
              WriteFile(h, &bmi.bmiHeader, sizeof(bmi.bmiHeader), &cb, NULL) &&
              WriteFile(h, pBits, bmi.bmiHeader.biSizeImage, &cb, NULL);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        DeleteObject(hBmp);
    }
    DeleteDC(hMem);
    ReleaseDC(NULL, hScreen);
    return bOk;
}

struct FindFrame
{
    DWORD dwThread;
    HWND hFrame;
};

BOOL CALLBACK FindFrameOfThread(HWND hWnd, LPARAM lParam)
{
    auto* p = reinterpret_cast<FindFrame*>(lParam);
    if (GetWindowThreadProcessId(hWnd, NULL) == p->dwThread && IsWindowVisible(hWnd) &&
        ClassOf(hWnd) == L"#32770" && FindWindowExW(hWnd, NULL, WC_TABCONTROLW, NULL) != NULL)
    {
        p->hFrame = hWnd;
        return FALSE;
    }
    return TRUE;
}

// The second thread's part: finds the frame that the UI thread shows, reads
// each tab's page, takes its screenshot, and closes the frame.
class FrameReader
{
public:
    explicit FrameReader(DWORD dwUiThread) : m_dwUiThread(dwUiThread), m_thread([this]() { Run(); }) {}
    ~FrameReader() { Join(); }
    void Join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    std::wstring m_sFrameTitle;
    std::vector<std::wstring> m_tabs;
    std::vector<Page> m_pages;
    std::string m_sTrouble; // what went wrong, if anything
    bool m_bFrameGoneAfterCancel = false;

private:
    void Run()
    {
        FindFrame find = { m_dwUiThread, NULL };
        if (!WaitFor([&]() {
                EnumWindows(FindFrameOfThread, reinterpret_cast<LPARAM>(&find));
                return find.hFrame != NULL;
            }))
        {
            m_sTrouble = "no property frame appeared";
            CloseEverything();
            return;
        }
        const HWND hFrame = find.hFrame;
        m_sFrameTitle = Text(hFrame);
        const HWND hTabs = FindWindowExW(hFrame, NULL, WC_TABCONTROLW, NULL);
        const int nTabs = static_cast<int>(SendMessageW(hTabs, TCM_GETITEMCOUNT, 0, 0));
        for (int i = 0; i < nTabs; ++i)
        {
            WCHAR sz[128] = L"";
            TCITEMW item = {};
            item.mask = TCIF_TEXT;
            item.pszText = sz;
            item.cchTextMax = 128;
            SendMessageW(hTabs, TCM_GETITEMW, i, reinterpret_cast<LPARAM>(&item));
            m_tabs.push_back(sz);
        }
        const std::wstring sFolder = BuildFolder() + L"\\screenshots";
        CreateDirectoryW(sFolder.c_str(), NULL);
        for (int i = 0; i < nTabs; ++i)
        {
            // A click on the tab, as a person switches pages.
            RECT rcTab = {};
            SendMessageW(hTabs, TCM_GETITEMRECT, i, reinterpret_cast<LPARAM>(&rcTab));
            const LPARAM pt = MAKELPARAM((rcTab.left + rcTab.right) / 2, (rcTab.top + rcTab.bottom) / 2);
            SendMessageW(hTabs, WM_LBUTTONDOWN, MK_LBUTTON, pt);
            SendMessageW(hTabs, WM_LBUTTONUP, 0, pt);
            HWND hPage = NULL;
            if (!WaitFor([&]() {
                    hPage = ShownPage(hFrame);
                    return hPage != NULL && i == SendMessageW(hTabs, TCM_GETCURSEL, 0, 0);
                }))
            {
                m_sTrouble = "tab " + std::to_string(i) + " shows no page";
                break;
            }
            Page page;
            page.sTab = m_tabs[i];
            // The settings page fills its bitrate texts at its timer's first
            // tick; wait for it as a person would.
            WaitFor([&]() { return GetDlgItem(hPage, 201) == NULL || !Text(GetDlgItem(hPage, 201)).empty(); });
            RedrawWindow(hFrame, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
            GetWindowRect(hPage, &page.rcPage);
            GetClientRect(hFrame, &page.rcFrameClient);
            MapWindowPoints(hFrame, NULL, reinterpret_cast<POINT*>(&page.rcFrameClient), 2);
            EnumChildWindows(hPage, CollectControl, reinterpret_cast<LPARAM>(&page.controls));
            page.sScreenshot = sFolder + L"\\frame_" + page.sTab + L".bmp";
            Sleep(100); // let the X server show the drawing
            page.bSaved = SaveScreenshot(hFrame, page.sScreenshot, &page.colours);
            m_pages.push_back(page);
        }
        // Cancel, as a person closes the frame.
        const HWND hCancel = GetDlgItem(hFrame, IDCANCEL);
        if (hCancel != NULL)
            PostMessageW(hCancel, BM_CLICK, 0, 0);
        else
            PostMessageW(hFrame, WM_COMMAND, IDCANCEL, 0);
        m_bFrameGoneAfterCancel = WaitFor([&]() { return !IsWindow(hFrame); });
        if (!m_bFrameGoneAfterCancel)
            CloseEverything();
    }

    // The way out when the frame does not behave: every window of the UI
    // thread is told to close, so that the modal call returns.
    void CloseEverything()
    {
        for (int i = 0; i < 50; ++i)
        {
            FindFrame find = { m_dwUiThread, NULL };
            EnumWindows(FindFrameOfThread, reinterpret_cast<LPARAM>(&find));
            if (find.hFrame == NULL)
                return;
            PostMessageW(find.hFrame, WM_COMMAND, IDCANCEL, 0);
            PostMessageW(find.hFrame, WM_CLOSE, 0, 0);
            Sleep(100);
        }
    }

    DWORD m_dwUiThread;
    std::thread m_thread;
};

ULONG RefCount(IUnknown* p)
{
    p->AddRef();
    return p->Release();
}

std::string Text(const RECT& rc)
{
    return "(" + std::to_string(rc.left) + "," + std::to_string(rc.top) + ")-(" + std::to_string(rc.right) + "," +
           std::to_string(rc.bottom) + ")";
}

bool Inside(const RECT& rcInner, const RECT& rcOuter)
{
    return rcInner.left >= rcOuter.left && rcInner.top >= rcOuter.top && rcInner.right <= rcOuter.right &&
           rcInner.bottom <= rcOuter.bottom;
}

class PropertyFrame : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_module.Loaded()) << "Morphlet.dll or one of its exports is missing";
        // Registered as a user registers it: the frame creates each page by
        // its CLSID.
        m_bWasRegistered = IsRegistered();
        ASSERT_EQ(0u, morphlet::RunRegsvr32(L"/s", m_module.Path()));
        ASSERT_TRUE(IsRegistered());
    }
    void TearDown() override
    {
        if (!m_bWasRegistered)
        {
            EXPECT_EQ(0u, morphlet::RunRegsvr32(L"/u /s", m_module.Path()));
        }
    }
    static bool IsRegistered()
    {
        HKEY h = NULL;
        if (ERROR_SUCCESS != RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID\\{3C7E52D1-9A41-4F0B-8D26-51B7E0A4C913}\\InprocServer32",
                                           0, KEY_READ, &h))
            return false;
        RegCloseKey(h);
        return true;
    }

    dsfix::ComInit m_com{ COINIT_APARTMENTTHREADED };
    morphlet::CModule m_module;
    bool m_bWasRegistered = false;
};

TEST_F(PropertyFrame, ShowsBothPagesAsAUserSeesThemAndCloses)
{
    dsfix::HangWatchdog watchdog(180000, "the property frame test");
    ComPtr<IGraphBuilder> spGraph;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, NULL, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     reinterpret_cast<void**>(&spGraph)));
    ComPtr<IBaseFilter> spFilter;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SpyFilter, NULL, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     reinterpret_cast<void**>(&spFilter)));
    ASSERT_EQ(S_OK, spGraph->AddFilter(spFilter, L"Spy Filter"));
    const ULONG nRefs = RefCount(spFilter);

    ComPtr<ISpecifyPropertyPages> spSpecify;
    ASSERT_EQ(S_OK, spFilter.As(spSpecify));
    CAUUID pages = {};
    ASSERT_EQ(S_OK, spSpecify->GetPages(&pages));
    spSpecify.Reset();
    HRESULT hr = E_FAIL;
    FrameReader reader(GetCurrentThreadId());
    {
        IUnknown* pObject = spFilter.Get();
        hr = OleCreatePropertyFrame(NULL, 40, 40, L"Spy Filter", 1, &pObject, pages.cElems, pages.pElems,
                                    LOCALE_USER_DEFAULT, 0, NULL);
    }
    reader.Join();
    CoTaskMemFree(pages.pElems);
    ASSERT_EQ("", reader.m_sTrouble);
    EXPECT_EQ(S_OK, hr);
    EXPECT_TRUE(reader.m_bFrameGoneAfterCancel) << "Cancel did not close the frame";
    EXPECT_NE(std::wstring::npos, reader.m_sFrameTitle.find(L"Spy Filter")) << Narrow(reader.m_sFrameTitle);

    const std::vector<std::wstring> tabs = { L"Settings", L"About" };
    ASSERT_EQ(tabs, reader.m_tabs);
    ASSERT_EQ(2u, reader.m_pages.size());

    // Every control a page shows lies in the part of the page that the
    // frame shows: nothing is cut off. (Wine's frame may make the page's
    // window larger than its own client area; what counts is the controls.)
    for (const Page& page : reader.m_pages)
    {
        RECT rcShown = {};
        IntersectRect(&rcShown, &page.rcPage, &page.rcFrameClient);
        EXPECT_GT(page.controls.size(), 10u) << Narrow(page.sTab);
        for (const Control& c : page.controls)
            EXPECT_TRUE(Inside(c.rc, rcShown)) << Narrow(page.sTab) << ": control " << c.nId << " \""
                                               << Narrow(c.sText) << "\" at " << Text(c.rc) << " outside "
                                               << Text(rcShown);
        EXPECT_TRUE(page.bSaved) << Narrow(page.sScreenshot);
        // A drawn page has text and frames, not one flat colour.
        EXPECT_GT(page.colours.size(), 4u) << Narrow(page.sScreenshot);
    }

    // The settings: the filter's switches at their defaults, the idle
    // filter's bitrate, the graph's rate, and the labels.
    const Page& settings = reader.m_pages[0];
    for (const wchar_t* psz : { L"Bitrate", L"Current:", L"Average:", L"Properties of filter",
                                L"Enable dynamic reconnection for input pin", L"Force pass-through allocator",
                                L"Fixes for some problems", L"Playback rate", L"Backward playback", L"Capture frame",
                                L"0.1", L"1.0", L"10.0" })
        EXPECT_TRUE(settings.Shows(psz)) << Narrow(psz);
    const struct
    {
        int nId;
        const wchar_t* pszText; // NULL: not compared
        bool bChecked;
    } settingsControls[] = {
        { 201, L"0 bit/s", false }, { 202, L"0 bit/s", false }, { 210, L"1.000", false },
        { 204, NULL, true },        { 207, NULL, false },       { 203, NULL, false },
        { 209, NULL, false },       { 206, NULL, false },       { 205, NULL, false },
    };
    for (const auto& e : settingsControls)
    {
        const Control* pc = settings.Find(e.nId);
        ASSERT_NE(nullptr, pc) << "control " << e.nId << " not shown";
        if (e.pszText)
        {
            EXPECT_EQ(std::wstring(e.pszText), pc->sText) << e.nId;
        }
        EXPECT_EQ(e.bChecked, pc->bChecked) << e.nId;
    }
    EXPECT_EQ(L"msctls_trackbar32", settings.Find(206)->sClass);

    // The About page: the product, its version line and the two links.
    const Page& about = reader.m_pages[1];
    for (const wchar_t* psz : { L"Norvaleth Spy Filter", L"DirectShow filter for trace DirectShow calls", L"Version",
                                L"Description", L"Manufacturer", L"Manufacturer Url", L"Support Url",
                                L"Legal Copyright" })
        EXPECT_TRUE(about.Shows(psz)) << Narrow(psz);
    ASSERT_NE(nullptr, about.Find(302));
    const std::wstring sVersion = about.Find(302)->sText;
    EXPECT_EQ(0u, sVersion.find(L"1.2.0.0 (")) << Narrow(sVersion);
    const std::wstring sTail = L") [Debug] 64 bit";
    EXPECT_TRUE(sVersion.size() > sTail.size() && sVersion.substr(sVersion.size() - sTail.size()) == sTail)
        << Narrow(sVersion);
    for (int nId : { 303, 304 })
    {
        ASSERT_NE(nullptr, about.Find(nId));
        EXPECT_FALSE(about.Find(nId)->sText.empty()) << nId;
    }
    // The links are drawn in their blue.
    EXPECT_EQ(1u, about.colours.count(RGB(0, 0, 255))) << "no link colour in " << Narrow(about.sScreenshot);

    // The frame gave every reference back.
    EXPECT_EQ(nRefs, RefCount(spFilter));
    EXPECT_EQ(S_OK, spGraph->RemoveFilter(spFilter));
}

} // namespace
