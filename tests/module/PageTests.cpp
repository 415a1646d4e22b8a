// The spy filter's two property pages as a property frame drives them: made
// by CLSID through the module, handed the filter, activated on a parent
// window (Wine's null graphics driver), their controls read and worked, then
// deactivated and released. The filter offers both through
// ISpecifyPropertyPages.
#include "ModuleSupport.h"

#include "dsfix/Com.h"
#include "dsfix/Graph.h"
#include "dsfix/TestSink.h"
#include "dsfix/TestSource.h"

#include "Morphlet.h"

#include <commctrl.h>
#include <dlgs.h>
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
// lives, keeping their texts. A box is counted once: after its OK is pressed
// the closer waits (at most 2 s) until the box is gone, and a box that is
// still there is not counted again.
class ErrorBoxCloser
{
public:
    ErrorBoxCloser()
        : m_thread([this]() {
              HWND hLast = NULL;
              while (!m_bStop)
              {
                  HWND hBox = FindWindowW(L"#32770", L"Spy Filter");
                  if (hBox != NULL && hBox != hLast)
                  {
                      std::wstring s = ItemText(hBox, 0xFFFF);
                      {
                          std::lock_guard<std::mutex> lock(m_mutex);
                          m_texts.push_back(s);
                      }
                      SendMessageW(hBox, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                      for (int i = 0; i < 200 && IsWindow(hBox); ++i)
                          Sleep(10);
                      hLast = IsWindow(hBox) ? hBox : NULL;
                  }
                  else if (hBox == NULL)
                      hLast = NULL;
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

// A filter graph of the test's own that the filter joins: it answers only
// IFilterGraph (with nothing in it) and IMediaSeeking, whose GetPositions
// gives the positions or the failure the test chose; the page finds it
// through the filter as it finds any graph.
class SeekingGraph : public IFilterGraph, public IMediaSeeking
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = NULL;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IFilterGraph))
            *ppv = static_cast<IFilterGraph*>(this);
        else if (IsEqualGUID(riid, IID_IMediaSeeking) && m_bSeeking)
            *ppv = static_cast<IMediaSeeking*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&m_nRef); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&m_nRef); }
    // IFilterGraph
    STDMETHODIMP AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
    STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter**) override { return VFW_E_NOT_FOUND; }
    STDMETHODIMP ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    STDMETHODIMP Reconnect(IPin*) override { return E_NOTIMPL; }
    STDMETHODIMP Disconnect(IPin*) override { return E_NOTIMPL; }
    STDMETHODIMP SetDefaultSyncSource() override { return E_NOTIMPL; }
    // IMediaSeeking
    STDMETHODIMP GetCapabilities(DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP CheckCapabilities(DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP IsFormatSupported(const GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP QueryPreferredFormat(GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTimeFormat(GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP IsUsingTimeFormat(const GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP SetTimeFormat(const GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetDuration(LONGLONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetStopPosition(LONGLONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetCurrentPosition(LONGLONG*) override { return E_NOTIMPL; }
    STDMETHODIMP ConvertTimeFormat(LONGLONG*, const GUID*, LONGLONG, const GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP SetPositions(LONGLONG*, DWORD, LONGLONG*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override
    {
        if (FAILED(m_hrPositions))
            return m_hrPositions;
        *pCurrent = m_llCurrent;
        *pStop = m_llStop;
        return S_OK;
    }
    STDMETHODIMP GetAvailable(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
    STDMETHODIMP SetRate(double) override { return E_NOTIMPL; }
    STDMETHODIMP GetRate(double*) override { return E_NOTIMPL; }
    STDMETHODIMP GetPreroll(LONGLONG*) override { return E_NOTIMPL; }

    LONG m_nRef = 1;
    bool m_bSeeking = true;
    HRESULT m_hrPositions = S_OK;
    LONGLONG m_llCurrent = 0;
    LONGLONG m_llStop = 0;
};

// The timer shows the graph's current position and its stop position, each
// rounded to the nearest millisecond, or the error of the graph's answer.
TEST_F(Pages, PositionShowsTheCurrentAndTheStopPositionOfTheGraph)
{
    SeekingGraph graph;
    ASSERT_EQ(S_OK, m_spFilter->JoinFilterGraph(&graph, L"Spy"));
    const struct
    {
        const char* pszCase;
        bool bSeeking;
        HRESULT hr;
        LONGLONG llCurrent, llStop;
        const wchar_t* pszText;
    } cases[] = {
        { "12.3456 s of 45.6784 s", true, S_OK, 123456000, 456784000, L"Position 12.346 from 45.678" },
        { "3.9996 s, no stop", true, S_OK, 39996000, 0, L"Position 4.000 from 0.000" },
        { "half a millisecond", true, S_OK, 4999, 5000, L"Position 0.000 from 0.001" },
        { "stop before current", true, S_OK, 70000000, 10000000, L"Position 7.000 from 1.000" },
        { "the graph's failure", true, VFW_E_WRONG_STATE, 0, 0, L"Error 0x80040227" },
        { "a graph without seeking", false, S_OK, 0, 0, L"Error 0x80004002" },
    };
    {
        ComPtr<IPropertyPage> spPage = Create<IPropertyPage>(CLSID_SpyFilterPP, IID_IPropertyPage);
        ASSERT_TRUE(spPage);
        const HWND hDlg = Activate(spPage);
        ASSERT_NE(nullptr, hDlg);
        for (const auto& c : cases)
        {
            graph.m_bSeeking = c.bSeeking;
            graph.m_hrPositions = c.hr;
            graph.m_llCurrent = c.llCurrent;
            graph.m_llStop = c.llStop;
            SendMessageW(hDlg, WM_TIMER, 1, 0);
            EXPECT_EQ(std::wstring(c.pszText), ItemText(hDlg, 208)) << c.pszCase;
        }
        Close(spPage);
    }
    EXPECT_EQ(S_OK, m_spFilter->JoinFilterGraph(NULL, NULL));
    EXPECT_EQ(1, graph.m_nRef) << "every reference on the graph was given back";
}

// Answers the page's save dialog ("Select file") from a thread of its own:
// types the name and presses Save, or presses Cancel for an empty name; it
// keeps the dialog's file types as it found them.
class FileDialogAnswer
{
public:
    explicit FileDialogAnswer(const std::wstring& sName)
        : m_thread([this, sName]() {
              const DWORD dwStart = GetTickCount();
              while (!m_bStop && GetTickCount() - dwStart < 30000)
              {
                  const HWND hDlg = FindWindowW(L"#32770", L"Select file");
                  if (hDlg == NULL)
                  {
                      Sleep(10);
                      continue;
                  }
                  Sleep(100); // the dialog fills its controls first
                  const HWND hTypes = GetDlgItem(hDlg, cmb1);
                  std::vector<std::wstring> types;
                  const LRESULT nTypes = SendMessageW(hTypes, CB_GETCOUNT, 0, 0);
                  for (LRESULT i = 0; i < nTypes && i < 16; ++i)
                  {
                      WCHAR sz[256] = L"";
                      if (SendMessageW(hTypes, CB_GETLBTEXTLEN, i, 0) < 256)
                          SendMessageW(hTypes, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(sz));
                      types.push_back(sz);
                  }
                  {
                      std::lock_guard<std::mutex> lock(m_mutex);
                      m_types = types;
                      m_bSeen = true;
                  }
                  if (sName.empty())
                      PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
                  else
                  {
                      // The name box is an extended combo box (its edit
                      // takes the text), a combo box or an edit, by the
                      // dialog's version.
                      for (int nId : { cmb13, edt1 })
                      {
                          const HWND hName = GetDlgItem(hDlg, nId);
                          if (hName == NULL)
                              continue;
                          const HWND hEdit = reinterpret_cast<HWND>(SendMessageW(hName, CBEM_GETEDITCONTROL, 0, 0));
                          SetWindowTextW(hEdit != NULL ? hEdit : hName, sName.c_str());
                      }
                      PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                  }
                  return;
              }
          })
    {
    }
    ~FileDialogAnswer()
    {
        m_bStop = true;
        m_thread.join();
    }
    bool Seen()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bSeen;
    }
    std::vector<std::wstring> Types()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_types;
    }

private:
    std::atomic<bool> m_bStop{ false };
    std::mutex m_mutex;
    bool m_bSeen = false;
    std::vector<std::wstring> m_types;
    std::thread m_thread;
};

std::wstring TempPath(const std::wstring& sName)
{
    WCHAR szDir[MAX_PATH];
    GetTempPathW(MAX_PATH, szDir);
    return std::wstring(szDir) + sName;
}

std::vector<BYTE> FileBytes(const std::wstring& sPath)
{
    std::vector<BYTE> v;
    const HANDLE h = CreateFileW(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (INVALID_HANDLE_VALUE == h)
        return v;
    BYTE ab[4096];
    DWORD cb = 0;
    while (ReadFile(h, ab, sizeof(ab), &cb, NULL) && cb > 0)
        v.insert(v.end(), ab, ab + cb);
    CloseHandle(h);
    return v;
}

// The Capture button asks for a file in the save dialog and requests the
// next frame in it: a name that ends in ".bmp" (any case) as a bitmap, any
// other as raw bytes; the graph's next run writes it. A cancelled dialog
// requests nothing, and a request the filter refuses shows its error.
TEST_F(Pages, CaptureButtonRequestsTheNextFrameInTheChosenFile)
{
    const int kW = 8, kH = 4;
    const long cbPicture = kW * kH * 3;
    const struct
    {
        const char* pszCase;
        const wchar_t* pszName; // NULL: the dialog is cancelled
        bool bConnected;
        char kind;              // 'r' raw, 'b' bitmap, '-' no file, 'e' an error box
    } cases[] = {
        { "a raw file", L"spy_page_capture.bmp.bin", true, 'r' },
        { "a bitmap", L"spy_page_capture.BMP", true, 'b' },
        { "cancelled", NULL, true, '-' },
        { "a bitmap of an unconnected filter", L"spy_page_capture.bmp", false, 'e' },
    };
    for (const auto& c : cases)
    {
        const std::wstring sPath = TempPath(c.pszName ? c.pszName : L"spy_page_capture.bin");
        DeleteFileW(sPath.c_str());
        dsfix::TestGraph graph;
        dsfix::ComPtr<dsfix::TestSource> source;
        dsfix::ComPtr<dsfix::TestSink> sink;
        if (c.bConnected)
        {
            dsfix::TestSourceConfig sourceConfig;
            sourceConfig.mediaTypes = { dsfix::VideoType(MEDIASUBTYPE_RGB24, kW, kH) };
            sourceConfig.sampleCount = 2;
            dsfix::TestSource* pSource = NULL;
            ASSERT_EQ(S_OK, dsfix::TestSource::Create(sourceConfig, &pSource)) << c.pszCase;
            source.Attach(pSource);
            dsfix::TestSinkConfig sinkConfig;
            sinkConfig.copyBytes = true;
            dsfix::TestSink* pSink = NULL;
            ASSERT_EQ(S_OK, dsfix::TestSink::Create(sinkConfig, &pSink)) << c.pszCase;
            sink.Attach(pSink);
            ASSERT_EQ(S_OK, graph.Create()) << c.pszCase;
            ASSERT_EQ(S_OK, graph.Add(source.Get(), L"Source")) << c.pszCase;
            ASSERT_EQ(S_OK, graph.Add(m_spFilter.Get(), L"Spy")) << c.pszCase;
            ASSERT_EQ(S_OK, graph.Add(sink.Get(), L"Sink")) << c.pszCase;
            ASSERT_EQ(S_OK, graph.ConnectDirect(source->Pin(), dsfix::FindPin(m_spFilter.Get(), PINDIR_INPUT).Get()))
                << c.pszCase;
            ASSERT_EQ(S_OK, graph.ConnectDirect(dsfix::FindPin(m_spFilter.Get(), PINDIR_OUTPUT).Get(), sink->Pin()))
                << c.pszCase;
        }
        std::vector<std::wstring> boxes;
        std::vector<std::wstring> types;
        {
            ComPtr<IPropertyPage> spPage = Create<IPropertyPage>(CLSID_SpyFilterPP, IID_IPropertyPage);
            ASSERT_TRUE(spPage) << c.pszCase;
            const HWND hDlg = Activate(spPage);
            ASSERT_NE(nullptr, hDlg) << c.pszCase;
            {
                ErrorBoxCloser closer;
                FileDialogAnswer answer(c.pszName ? sPath : std::wstring());
                SendDlgItemMessageW(hDlg, 205, BM_CLICK, 0, 0);
                EXPECT_TRUE(answer.Seen()) << c.pszCase << ": no dialog \"Select file\"";
                types = answer.Types();
                Sleep(300); // an error box is found and closed
                boxes = closer.Texts();
            }
            Close(spPage);
        }
        EXPECT_EQ((std::vector<std::wstring>{ L"Binary files (.bin)", L"Bitmap files (.bmp)", L"All files" }), types)
            << c.pszCase;
        if ('e' == c.kind)
        {
            ASSERT_EQ(1u, boxes.size()) << c.pszCase;
            EXPECT_EQ(0u, boxes[0].find(L"Can't capture frame\n")) << c.pszCase;
            const std::wstring sEnd = L"Error 0x80040209";
            ASSERT_GE(boxes[0].size(), sEnd.size()) << c.pszCase;
            EXPECT_EQ(sEnd, boxes[0].substr(boxes[0].size() - sEnd.size())) << c.pszCase;
        }
        else
        {
            EXPECT_TRUE(boxes.empty()) << c.pszCase;
        }
        if (c.bConnected)
        {
            ASSERT_TRUE(graph.RunToCompletion(20000)) << c.pszCase;
            ASSERT_EQ(2u, sink->Samples().size()) << c.pszCase;
            const std::vector<BYTE> file = FileBytes(sPath);
            const std::vector<BYTE> first = sink->Samples()[0].bytes;
            ASSERT_EQ(static_cast<size_t>(cbPicture), first.size()) << c.pszCase;
            if ('r' == c.kind)
                EXPECT_EQ(first, file) << c.pszCase;
            else if ('b' == c.kind)
            {
                ASSERT_EQ(54u + first.size(), file.size()) << c.pszCase;
                EXPECT_EQ('B', file[0]) << c.pszCase;
                EXPECT_EQ('M', file[1]) << c.pszCase;
                EXPECT_EQ(first, std::vector<BYTE>(file.begin() + 54, file.end())) << c.pszCase;
            }
            else
                EXPECT_TRUE(file.empty()) << c.pszCase << ": nothing was requested";
            graph.Release();
        }
        DeleteFileW(sPath.c_str());
    }
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
