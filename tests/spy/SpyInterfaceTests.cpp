// The spy filter's own interface INRVSpyFilter: its three switches (stored,
// copied into the pins, saved with the filter, marking it dirty when they
// change), the bitrate read during and after a stream in Wine's graph, and
// the one-shot capture of the next sample to a raw file or a bitmap. The
// bitmaps are left in the folder "spy_captures" beside the program, each with
// the pixels it must show, for an independent decoder to read back.
#include "SpyTestSupport.h"

#include "dsfix/Faults.h"
#include "dsfix/Pattern.h"

#include <limits.h>

#include <functional>

namespace {

class SpyInterfaceTest : public FilterTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_log.IsBound());
        ASSERT_TRUE(CSpySettings::RemoveKey());
    }
    CSpySettings m_settings;
    CFakeLogScope m_log;
};

CComPtr<INRVSpyFilter> Itf(const CSpyPtr& spy)
{
    CComPtr<INRVSpyFilter> sp;
    EXPECT_EQ(S_OK, spy.Filter()->QueryInterface(IID_INRVSpyFilter, reinterpret_cast<void**>(&sp)));
    return sp;
}

CComPtr<IPersistStream> Persist(const CSpyPtr& spy)
{
    CComPtr<IPersistStream> sp;
    EXPECT_EQ(S_OK, spy.Filter()->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&sp)));
    return sp;
}

// The filter's saved bytes; saving clears the dirty flag.
std::vector<BYTE> Saved(IPersistStream* pPersist)
{
    CComPtr<IStream> spStream;
    EXPECT_EQ(S_OK, CreateStreamOnHGlobal(NULL, TRUE, &spStream));
    EXPECT_EQ(S_OK, pPersist->Save(spStream, TRUE));
    STATSTG stat;
    EXPECT_EQ(S_OK, spStream->Stat(&stat, STATFLAG_NONAME));
    std::vector<BYTE> v(static_cast<size_t>(stat.cbSize.QuadPart));
    LARGE_INTEGER li;
    li.QuadPart = 0;
    spStream->Seek(li, STREAM_SEEK_SET, NULL);
    ULONG cbRead = 0;
    if (!v.empty())
        spStream->Read(v.data(), static_cast<ULONG>(v.size()), &cbRead);
    return v;
}

std::wstring TempPath(const std::wstring& sName)
{
    WCHAR szDir[MAX_PATH];
    GetTempPathW(MAX_PATH, szDir);
    return std::wstring(szDir) + sName;
}

bool FileExists(const std::wstring& sPath)
{
    return INVALID_FILE_ATTRIBUTES != GetFileAttributesW(sPath.c_str());
}

bool WriteAll(const std::wstring& sPath, const std::vector<BYTE>& v)
{
    const HANDLE h = CreateFileW(sPath.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (INVALID_HANDLE_VALUE == h)
        return false;
    DWORD cbWritten = 0;
    const BOOL b = WriteFile(h, v.data(), static_cast<DWORD>(v.size()), &cbWritten, NULL);
    CloseHandle(h);
    return b && cbWritten == v.size();
}

std::vector<BYTE> Pattern(long nNumber, size_t cb)
{
    std::vector<BYTE> v(cb);
    dsfix::FillPattern(static_cast<uint32_t>(nNumber), v.data(), v.size());
    return v;
}

// ---------------------------------------------------------------------------
// Switches

struct SwitchCase
{
    const char* pszCase;
    HRESULT (STDMETHODCALLTYPE INRVSpyFilter::*pfnSet)(LONG);
    HRESULT (STDMETHODCALLTYPE INRVSpyFilter::*pfnIs)();
    DWORD CSpyFilter::*pFilterField;
    int nSavedOffset; // where the switch lies in the saved bytes
};

// Each switch is stored as given; the pin that reads it gets the same value;
// the getter answers S_OK only for exactly 1.
TEST_F(SpyInterfaceTest, EnableSwitchesAreStoredAsGivenAndCopiedIntoThePins)
{
    const SwitchCase cases[] = {
        { "dynamic reconnection", &INRVSpyFilter::EnableDynReconnect, &INRVSpyFilter::IsDynReconnecEnabled,
          &CSpyFilter::m_bDynReconnect, 0 },
        { "enumeration redirection", &INRVSpyFilter::EnableMTEnumRedir, &INRVSpyFilter::IsMTEnumRedirEnabled,
          &CSpyFilter::m_bMTEnumRedir, 4 },
    };
    for (const SwitchCase& c : cases)
    {
        CSpyPtr spy;
        CComPtr<INRVSpyFilter> sp = Itf(spy);
        ASSERT_TRUE(sp);
        INRVSpyFilter* p = sp;
        const auto PinValue = [&]() -> DWORD {
            return (&CSpyFilter::m_bDynReconnect == c.pFilterField) ? spy->m_apIn->m_bDynReconnect
                                                                    : spy->m_apOut->m_bMTEnumRedir;
        };
        EXPECT_EQ(S_OK, (p->*c.pfnIs)()) << c.pszCase << ": on by default";
        for (LONG lValue : { 0L, 2L, -1L, 1L })
        {
            EXPECT_EQ(S_OK, (p->*c.pfnSet)(lValue)) << c.pszCase;
            EXPECT_EQ(static_cast<DWORD>(lValue), spy.Get()->*c.pFilterField) << c.pszCase << " " << lValue;
            EXPECT_EQ(static_cast<DWORD>(lValue), PinValue()) << c.pszCase << " " << lValue;
            EXPECT_EQ(1 == lValue ? S_OK : S_FALSE, (p->*c.pfnIs)()) << c.pszCase << " " << lValue;
        }
    }
}

// A setter that changes a switch marks the filter for saving; the saved
// bytes carry the new value; setting the value it already has changes
// nothing. A second filter loading the bytes answers the same.
TEST_F(SpyInterfaceTest, ChangedSwitchesAreSavedAndMarkTheFilterDirty)
{
    CSpyPtr spy;
    CComPtr<INRVSpyFilter> sp = Itf(spy);
    CComPtr<IPersistStream> spPersist = Persist(spy);
    ASSERT_TRUE(sp && spPersist);
    EXPECT_EQ((std::vector<BYTE>{ 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 }), Saved(spPersist));
    ASSERT_EQ(S_FALSE, spPersist->IsDirty());

    // The same values again: still clean.
    EXPECT_EQ(S_OK, sp->EnableDynReconnect(1));
    EXPECT_EQ(S_OK, sp->EnableMTEnumRedir(1));
    EXPECT_EQ(S_OK, sp->ForcePassthruAllocator(0));
    EXPECT_EQ(S_FALSE, spPersist->IsDirty());

    struct Step
    {
        const char* pszStep;
        HRESULT (STDMETHODCALLTYPE INRVSpyFilter::*pfn)(LONG);
        LONG lValue;
        bool bDirty;
        std::vector<BYTE> saved;
    };
    const Step steps[] = {
        { "reconnection off", &INRVSpyFilter::EnableDynReconnect, 0, true, { 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 } },
        { "redirection 2", &INRVSpyFilter::EnableMTEnumRedir, 2, true, { 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0 } },
        { "forced with 7", &INRVSpyFilter::ForcePassthruAllocator, 7, true, { 0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0 } },
        { "forced with 1: the same", &INRVSpyFilter::ForcePassthruAllocator, 1, false,
          { 0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0 } },
        { "redirection 2 again", &INRVSpyFilter::EnableMTEnumRedir, 2, false, { 0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0 } },
    };
    INRVSpyFilter* p = sp;
    for (const Step& s : steps)
    {
        EXPECT_EQ(S_OK, (p->*s.pfn)(s.lValue)) << s.pszStep;
        EXPECT_EQ(s.bDirty ? S_OK : S_FALSE, spPersist->IsDirty()) << s.pszStep;
        EXPECT_EQ(s.saved, Saved(spPersist)) << s.pszStep;
        EXPECT_EQ(S_FALSE, spPersist->IsDirty()) << s.pszStep << ": saved";
    }
    LONG lForced = -1;
    EXPECT_EQ(S_OK, sp->IsPassthruAllocatorForced(&lForced));
    EXPECT_EQ(1, lForced);

    // Another filter takes the saved switches, pins included.
    CSpyPtr other;
    CComPtr<INRVSpyFilter> spOther = Itf(other);
    CComPtr<IPersistStream> spOtherPersist = Persist(other);
    CComPtr<IStream> spStream;
    ASSERT_EQ(S_OK, CreateStreamOnHGlobal(NULL, TRUE, &spStream));
    ASSERT_EQ(S_OK, spPersist->Save(spStream, TRUE));
    LARGE_INTEGER li;
    li.QuadPart = 0;
    spStream->Seek(li, STREAM_SEEK_SET, NULL);
    ASSERT_EQ(S_OK, spOtherPersist->Load(spStream));
    EXPECT_EQ(S_FALSE, spOther->IsDynReconnecEnabled());
    EXPECT_EQ(S_FALSE, spOther->IsMTEnumRedirEnabled());
    EXPECT_EQ(0u, other->m_apIn->m_bDynReconnect);
    EXPECT_EQ(2u, other->m_apOut->m_bMTEnumRedir);
    lForced = -1;
    EXPECT_EQ(S_OK, spOther->IsPassthruAllocatorForced(&lForced));
    EXPECT_EQ(1, lForced);
}

// Every setter, wherever the filter stands, marks it for saving exactly when
// the value it keeps changed: connected in a stopped graph (where forcing
// reconnects the input), while the graph is paused (forcing is refused and
// keeps nothing), connected outside a graph (the reconnection forcing needs
// fails and the switch goes back), and never for what is not saved (a
// capture request, the bitrate).
TEST_F(SpyInterfaceTest, EverySetterMarksTheFilterDirtyExactlyWhenWhatItSavesChanged)
{
    enum class Where
    {
        StoppedGraph, // connected on both sides in a stopped graph
        PausedGraph,  // the same graph paused
        NoGraph,      // the input connected to a pin of no graph
    };
    struct Step
    {
        const char* pszStep;
        std::function<HRESULT(INRVSpyFilter*)> call;
        HRESULT hr;    // S_FALSE: any failure
        bool bDirty;
        std::vector<BYTE> saved;
    };
    const auto Set = [](HRESULT (STDMETHODCALLTYPE INRVSpyFilter::*pfn)(LONG), LONG lValue) {
        return [pfn, lValue](INRVSpyFilter* p) { return (p->*pfn)(lValue); };
    };
    const std::wstring sCapture = TempPath(L"spy_dirty_capture.bin");
    const auto Capture = [sCapture](INRVSpyFilter* p) { return p->CaptureFrame(CComBSTR(sCapture.c_str()), eCFT_Bin); };
    const auto Bitrate = [](INRVSpyFilter* p) {
        ULONG n1 = 0, n2 = 0;
        return p->GetBitrate(&n1, &n2);
    };
    const struct
    {
        const char* pszWhere;
        Where eWhere;
        std::vector<Step> steps;
    } cases[] = {
        { "connected, stopped graph", Where::StoppedGraph,
          {
              { "forced", Set(&INRVSpyFilter::ForcePassthruAllocator, 1), S_OK, true, { 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0 } },
              { "forced again", Set(&INRVSpyFilter::ForcePassthruAllocator, 5), S_OK, false,
                { 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0 } },
              { "not forced", Set(&INRVSpyFilter::ForcePassthruAllocator, 0), S_OK, true,
                { 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 } },
              { "reconnection off", Set(&INRVSpyFilter::EnableDynReconnect, 0), S_OK, true,
                { 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 } },
              { "redirection 3", Set(&INRVSpyFilter::EnableMTEnumRedir, 3), S_OK, true,
                { 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0 } },
              { "capture request", Capture, S_OK, false, { 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0 } },
              { "bitrate", Bitrate, S_OK, false, { 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0 } },
          } },
        { "connected, paused graph", Where::PausedGraph,
          {
              { "forcing refused", Set(&INRVSpyFilter::ForcePassthruAllocator, 1), VFW_E_WRONG_STATE, false,
                { 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 } },
              { "redirection off", Set(&INRVSpyFilter::EnableMTEnumRedir, 0), S_OK, true,
                { 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 } },
              { "reconnection 1, as it was", Set(&INRVSpyFilter::EnableDynReconnect, 1), S_OK, false,
                { 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0 } },
          } },
        { "input connected outside a graph", Where::NoGraph,
          {
              { "forcing fails", Set(&INRVSpyFilter::ForcePassthruAllocator, 1), S_FALSE, false,
                { 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 } },
              { "not forcing, as it is", Set(&INRVSpyFilter::ForcePassthruAllocator, 0), S_OK, false,
                { 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 } },
              { "reconnection off", Set(&INRVSpyFilter::EnableDynReconnect, 0), S_OK, true,
                { 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 } },
          } },
    };
    for (const auto& c : cases)
    {
        dsfix::HangWatchdog watchdog(60000, c.pszWhere);
        SpyChainConfig config;
        config.source.credit = 0; // no sample while paused
        SpyChain chain;
        CSpyPtr alone;
        CFakePin* pUp = NULL;
        SpyObject* pSpy = chain.spy.Get();
        if (Where::NoGraph == c.eWhere)
        {
            pSpy = alone.Get();
            pUp = new CFakePin(PINDIR_OUTPUT, L"Up");
            ASSERT_EQ(S_OK, static_cast<IPin*>(pSpy->m_apIn.p)->ReceiveConnection(pUp, TestVideoType().Ptr()))
                << c.pszWhere;
        }
        else
        {
            ASSERT_EQ(S_OK, chain.Build(config)) << c.pszWhere;
            if (Where::PausedGraph == c.eWhere)
            {
                ASSERT_TRUE(SUCCEEDED(chain.graph.Pause())) << c.pszWhere;
            }
        }
        CComPtr<INRVSpyFilter> sp;
        CComPtr<IPersistStream> spPersist;
        ASSERT_EQ(S_OK, pSpy->QueryInterface(IID_INRVSpyFilter, reinterpret_cast<void**>(&sp))) << c.pszWhere;
        ASSERT_EQ(S_OK, pSpy->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spPersist))) << c.pszWhere;
        Saved(spPersist);
        ASSERT_EQ(S_FALSE, spPersist->IsDirty()) << c.pszWhere;
        for (const Step& s : c.steps)
        {
            const HRESULT hr = s.call(sp);
            if (S_FALSE == s.hr)
                EXPECT_TRUE(FAILED(hr)) << c.pszWhere << ", " << s.pszStep << ": " << dsfix::HrText(hr);
            else
                EXPECT_EQ(s.hr, hr) << c.pszWhere << ", " << s.pszStep;
            EXPECT_EQ(s.bDirty ? S_OK : S_FALSE, spPersist->IsDirty()) << c.pszWhere << ", " << s.pszStep;
            EXPECT_EQ(s.saved, Saved(spPersist)) << c.pszWhere << ", " << s.pszStep;
        }
        pSpy->m_bCapture = 0;
        if (Where::PausedGraph == c.eWhere)
        {
            EXPECT_TRUE(SUCCEEDED(chain.graph.Stop())) << c.pszWhere;
        }
        if (pUp)
        {
            static_cast<IPin*>(pSpy->m_apIn.p)->Disconnect();
            pUp->Release();
        }
    }
    DeleteFileW(sCapture.c_str());
}

TEST_F(SpyInterfaceTest, ForcingIsTracedAndRefusedUnlessStopped)
{
    dsfix::HangWatchdog watchdog(60000, "forcing while paused");
    SpyChainConfig config;
    config.source.credit = 0; // no sample while paused
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    CComPtr<INRVSpyFilter> sp = Itf(chain.spy);
    const std::wstring sName = chain.spy->GetTraceName();
    dsfix::MediaType mtBefore;
    {
        AM_MEDIA_TYPE mt;
        ASSERT_EQ(S_OK, chain.spy.In()->ConnectionMediaType(&mt));
        mtBefore = dsfix::MediaType(mt);
        dsfix::FreeMediaTypeFields(mt);
    }

    // Stopped: the value changes (the graph reconnects the input; the
    // connection tests cover that).
    m_log.Reset();
    EXPECT_EQ(S_OK, sp->ForcePassthruAllocator(3));
    EXPECT_TRUE(m_log.HasLine(sName + L" INRVSpyFilter::ForcePassthruAllocator( 'TRUE' )\n"));
    EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(sName + L" INRVSpyFilter::ForcePassthruAllocator( 'TRUE' )\n")));
    EXPECT_EQ(1u, chain.spy->m_bForcePassthru);
    const long nConnections = chain.source->Records().connections;
    EXPECT_EQ(S_OK, sp->ForcePassthruAllocator(1)) << "the value it has";
    EXPECT_EQ(nConnections, chain.source->Records().connections) << "no reconnection for the value it has";

    ASSERT_TRUE(SUCCEEDED(chain.graph.Pause()));
    m_log.Reset();
    EXPECT_EQ(VFW_E_WRONG_STATE, sp->ForcePassthruAllocator(0));
    EXPECT_TRUE(m_log.HasLine(sName + L" INRVSpyFilter::ForcePassthruAllocator( 'FALSE' )\n"));
    LONG lForced = -1;
    EXPECT_EQ(S_OK, sp->IsPassthruAllocatorForced(&lForced));
    EXPECT_EQ(1, lForced);
    EXPECT_TRUE(SUCCEEDED(chain.graph.Stop()));

    AM_MEDIA_TYPE mt;
    ASSERT_EQ(S_OK, chain.spy.In()->ConnectionMediaType(&mt));
    EXPECT_TRUE(mtBefore.Equals(mt));
    dsfix::FreeMediaTypeFields(mt);
}

// ---------------------------------------------------------------------------
// Arguments

TEST_F(SpyInterfaceTest, MissingAndBadArgumentsAreRefused)
{
    CSpyPtr spy;
    CComPtr<INRVSpyFilter> sp = Itf(spy);
    ASSERT_TRUE(sp);
    ULONG n = 7;
    m_log.Reset();
    EXPECT_EQ(E_INVALIDARG, sp->GetBitrate(NULL, &n));
    EXPECT_TRUE(m_log.HasAssert("pnCurrent != NULL"));
    EXPECT_EQ(E_INVALIDARG, sp->GetBitrate(&n, NULL));
    EXPECT_TRUE(m_log.HasAssert("pnAverage != NULL"));
    EXPECT_EQ(7u, n);
    EXPECT_EQ(E_POINTER, sp->IsPassthruAllocatorForced(NULL));
    EXPECT_TRUE(m_log.HasAssert("pbForced != NULL"));

    const std::wstring sName = spy->GetTraceName();
    CComBSTR bstrFile(TempPath(L"spy_capture_args.bin").c_str());
    BSTR bstrEmpty = SysAllocString(L"");
    const struct
    {
        const char* pszCase;
        BSTR bstr;
        int nType;
        HRESULT hr;
        std::wstring sTrace;
        const char* pszAssert; // NULL: none
    } cases[] = {
        { "no name", NULL, eCFT_Bin, E_INVALIDARG, sName + L" INRVSpyFilter::CaptureFrame( 'null', 0 )\n",
          "bstrFileName != NULL" },
        { "empty name", bstrEmpty, eCFT_Bmp, E_INVALIDARG, sName + L" INRVSpyFilter::CaptureFrame( '', 1 )\n", NULL },
        { "file type 2", bstrFile, 2, E_INVALIDARG,
          sName + L" INRVSpyFilter::CaptureFrame( '" + std::wstring(bstrFile.m_str) + L"', 2 )\n",
          "eCFT == eCFT_Bin || eCFT == eCFT_Bmp" },
        { "file type -1", bstrFile, -1, E_INVALIDARG,
          sName + L" INRVSpyFilter::CaptureFrame( '" + std::wstring(bstrFile.m_str) + L"', 4294967295 )\n",
          "eCFT == eCFT_Bin || eCFT == eCFT_Bmp" },
        { "bitmap, input not connected", bstrFile, eCFT_Bmp, VFW_E_NOT_CONNECTED,
          sName + L" INRVSpyFilter::CaptureFrame( '" + std::wstring(bstrFile.m_str) + L"', 1 )\n", NULL },
    };
    for (const auto& c : cases)
    {
        m_log.Reset();
        EXPECT_EQ(c.hr, sp->CaptureFrame(c.bstr, static_cast<tagCaptureFileType>(c.nType))) << c.pszCase;
        EXPECT_TRUE(m_log.HasLine(c.sTrace)) << c.pszCase;
        EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(c.sTrace))) << c.pszCase;
        if (c.pszAssert)
        {
            EXPECT_TRUE(m_log.HasAssert(c.pszAssert)) << c.pszCase;
        }
        EXPECT_EQ(0, spy->m_bCapture) << c.pszCase << ": nothing pending";
    }
    SysFreeString(bstrEmpty);

    // A raw capture needs no connection; a refused request leaves a pending
    // one as it was.
    EXPECT_EQ(S_OK, sp->CaptureFrame(bstrFile, eCFT_Bin));
    EXPECT_EQ(1, spy->m_bCapture);
    EXPECT_EQ(VFW_E_NOT_CONNECTED, sp->CaptureFrame(bstrFile, eCFT_Bmp));
    EXPECT_EQ(1, spy->m_bCapture);
    EXPECT_EQ(eCFT_Bin, spy->m_eCFT);
    EXPECT_EQ(std::wstring(bstrFile.m_str), std::wstring(spy->m_bstrCapture.m_str));
}

// ---------------------------------------------------------------------------
// Bitrate

TEST_F(SpyInterfaceTest, BitrateIsZeroBeforeAnyStreamAndNeverWraps)
{
    CSpyPtr spy;
    CComPtr<INRVSpyFilter> sp = Itf(spy);
    ASSERT_TRUE(sp);
    ULONG nCurrent = 1, nAverage = 1;
    EXPECT_EQ(S_OK, sp->GetBitrate(&nCurrent, &nAverage));
    EXPECT_EQ(0u, nCurrent);
    EXPECT_EQ(0u, nAverage);

    const struct
    {
        const char* pszCase;
        LONGLONG llBytes;
        LONGLONG llTime;
        ULONG nAverage;
    } cases[] = {
        { "no time yet", 5000, 0, 0 },
        { "2,000 bytes in 80 ms", 2000, 800000, 200000 },
        // 200 GB in 1,000 s: the byte total times 80,000,000 is beyond 64
        // bits, the rate (1.6 Gbit/s) is not.
        { "200 GB in 1000 s", 200000000000LL, 10000000000LL, 1600000000u },
        { "beyond 32 bits", 1000000000LL, 10000000LL, ULONG_MAX },
    };
    for (const auto& c : cases)
    {
        spy->m_nBitrate = 123456;
        spy->m_llTotalBytes = c.llBytes;
        spy->m_llTotalTime = c.llTime;
        EXPECT_EQ(S_OK, sp->GetBitrate(&nCurrent, &nAverage)) << c.pszCase;
        EXPECT_EQ(123456u, nCurrent) << c.pszCase;
        EXPECT_EQ(c.nAverage, nAverage) << c.pszCase;
    }
}

// 1,000 bytes every 40 ms is 200,000 bit/s, read while the stream runs and
// after it ended.
TEST_F(SpyInterfaceTest, BitrateFollowsARealStream)
{
    dsfix::HangWatchdog watchdog(60000, "bitrate");
    SpyChainConfig config;
    config.source.sampleCount = 6;
    config.source.mediaTypes = { dsfix::StreamType(MEDIASUBTYPE_None, 1000) };
    config.source.sampleSize = 1000;
    config.source.frameDuration = 400000;
    config.source.credit = 3;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    CComPtr<INRVSpyFilter> sp = Itf(chain.spy);
    ASSERT_TRUE(SUCCEEDED(chain.graph.Run()));
    ASSERT_TRUE(chain.sink->WaitForSamples(3, 20000));
    ULONG nCurrent = 0, nAverage = 0;
    EXPECT_EQ(S_OK, sp->GetBitrate(&nCurrent, &nAverage));
    EXPECT_EQ(200000u, nCurrent) << "while running";
    EXPECT_EQ(200000u, nAverage) << "while running";

    chain.source->AllowAll();
    EXPECT_TRUE(chain.sink->WaitForEndOfStream(1, 20000));
    EXPECT_TRUE(SUCCEEDED(chain.graph.Stop()));
    EXPECT_EQ(S_OK, sp->GetBitrate(&nCurrent, &nAverage));
    EXPECT_EQ(200000u, nCurrent) << "after the stream";
    EXPECT_EQ(200000u, nAverage) << "after the stream";
    EXPECT_EQ(5 * 400000, chain.spy->m_llTotalTime);
}

// ---------------------------------------------------------------------------
// Frame capture

// The request made while the stream runs takes the very next sample, once:
// the file holds that sample's bytes, the trace tells its number, and every
// sample still reaches the sink.
TEST_F(SpyInterfaceTest, ARawCaptureWritesTheNextSampleOnce)
{
    dsfix::HangWatchdog watchdog(60000, "raw capture");
    const std::wstring sPath = TempPath(L"spy_capture_next.bin");
    DeleteFileW(sPath.c_str());
    const long kSize = 1000;
    SpyChainConfig config;
    config.source.sampleCount = 8;
    config.source.mediaTypes = { dsfix::StreamType(MEDIASUBTYPE_None, kSize) };
    config.source.sampleSize = kSize;
    config.source.credit = 3;
    config.sink.copyBytes = true;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    CComPtr<INRVSpyFilter> sp = Itf(chain.spy);
    ASSERT_TRUE(SUCCEEDED(chain.graph.Run()));
    ASSERT_TRUE(chain.sink->WaitForSamples(3, 20000));

    m_log.Reset();
    ASSERT_EQ(S_OK, sp->CaptureFrame(CComBSTR(sPath.c_str()), eCFT_Bin));
    chain.source->Allow(1);
    ASSERT_TRUE(chain.sink->WaitForSamples(4, 20000));
    EXPECT_EQ(0, chain.spy->m_bCapture);
    const std::wstring sName = chain.spy->GetTraceName();
    EXPECT_TRUE(m_log.HasLine(sName + L" Capture frame 3\n"));
    EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(sName + L" Capture frame 3\n")));
    const std::vector<dsfix::SampleRecord> got = chain.sink->Samples();
    ASSERT_EQ(4u, got.size());
    EXPECT_EQ(3, got[3].number);
    EXPECT_EQ(got[3].bytes, ReadFileBytes(sPath)) << "the sample's bytes";
    EXPECT_EQ(Pattern(3, kSize), ReadFileBytes(sPath));

    // Later samples write nothing.
    ASSERT_TRUE(DeleteFileW(sPath.c_str()));
    chain.source->AllowAll();
    EXPECT_TRUE(chain.sink->WaitForEndOfStream(1, 20000));
    EXPECT_TRUE(SUCCEEDED(chain.graph.Stop()));
    EXPECT_FALSE(FileExists(sPath));
    EXPECT_EQ(8u, chain.sink->Samples().size());
    EXPECT_EQ(1u, m_log.CountContaining(L" Capture frame "));
}

// A request made while the filter is stopped waits for the first sample of
// the next run; a sample that says it holds nothing gives an empty file: the
// raw file holds exactly the sample's data, never stale bytes of its buffer.
TEST_F(SpyInterfaceTest, AnEmptySampleGivesAnEmptyFile)
{
    dsfix::HangWatchdog watchdog(60000, "empty sample");
    const std::wstring sPath = TempPath(L"spy_capture_empty.bin");
    DeleteFileW(sPath.c_str());
    SpyChainConfig config;
    config.source.sampleCount = 3;
    config.source.mediaTypes = { dsfix::StreamType(MEDIASUBTYPE_None, 600) };
    config.source.sampleSize = 600;
    config.source.specials[0].zeroLength = true;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    CComPtr<INRVSpyFilter> sp = Itf(chain.spy);
    ASSERT_EQ(S_OK, sp->CaptureFrame(CComBSTR(sPath.c_str()), eCFT_Bin));
    EXPECT_FALSE(FileExists(sPath)) << "the request leaves no file behind";
    ASSERT_TRUE(SUCCEEDED(chain.graph.Pause()));
    ASSERT_TRUE(SUCCEEDED(chain.graph.Stop()));
    EXPECT_EQ(1, chain.spy->m_bCapture) << "still pending after Pause and Stop without samples";
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));

    const std::vector<dsfix::PushRecord> pushes = chain.source->Pushes();
    ASSERT_FALSE(pushes.empty());
    EXPECT_EQ(0, pushes[0].actualLength);
    ASSERT_GE(pushes[0].bufferSize, 600);
    EXPECT_TRUE(FileExists(sPath));
    EXPECT_EQ(0u, ReadFileBytes(sPath).size());
    EXPECT_TRUE(m_log.HasLine(chain.spy->GetTraceName() + std::wstring(L" Capture frame 0\n")));
    EXPECT_EQ(3u, chain.sink->Samples().size());
    DeleteFileW(sPath.c_str());
}

// A sample whose properties cannot be read (no buffer, a failing getter) has
// nothing to capture: the error is traced, no file is made and the request
// waits for the next sample, which is written.
TEST_F(SpyInterfaceTest, ASampleThatCannotBeReadLeavesTheCaptureForTheNextOne)
{
    const long kSize = 1000;
    const struct
    {
        const char* pszCase;
        HRESULT hrPointer;       // GetPointer fails with it
        bool bNullPointer;       // GetPointer succeeds without a buffer
        HRESULT hrDiscontinuity; // IsDiscontinuity fails with it
        HRESULT hrTraced;        // the result in the trace
    } cases[] = {
        { "GetPointer fails", E_OUTOFMEMORY, false, S_OK, E_POINTER },
        { "GetPointer gives no buffer", S_OK, true, S_OK, E_POINTER },
        { "a flag cannot be read", S_OK, false, E_UNEXPECTED, E_UNEXPECTED },
    };
    const std::wstring sPath = TempPath(L"spy_capture_unreadable.bin");
    for (const auto& c : cases)
    {
        dsfix::HangWatchdog watchdog(60000, c.pszCase);
        DeleteFileW(sPath.c_str());
        SpyChainConfig config;
        config.source.sampleCount = 1;
        config.source.credit = 0; // the test hands the spy its own samples
        config.source.mediaTypes = { dsfix::StreamType(MEDIASUBTYPE_None, kSize) };
        config.source.sampleSize = kSize;
        config.bNoClock = true;
        config.sink.copyBytes = true;
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(config)) << c.pszCase;
        ASSERT_TRUE(SUCCEEDED(chain.graph.Run())) << c.pszCase;
        for (int i = 0; i < 4000 && State_Running != chain.spy->FilterState(); ++i)
            Sleep(5);
        ASSERT_EQ(State_Running, chain.spy->FilterState()) << c.pszCase;
        CComQIPtr<IMemInputPin> spMemIn(chain.spy.In());
        ASSERT_TRUE(spMemIn != NULL) << c.pszCase;
        CComPtr<INRVSpyFilter> sp = Itf(chain.spy);
        ASSERT_EQ(S_OK, sp->CaptureFrame(CComBSTR(sPath.c_str()), eCFT_Bin)) << c.pszCase;

        CWineSamples samples(kSize, 2);
        const auto Numbered = [&](long nNumber) {
            CComPtr<IMediaSample> spSample = samples.Get(kSize);
            BYTE* pb = NULL;
            if (spSample && S_OK == spSample->GetPointer(&pb))
                dsfix::FillPattern(static_cast<uint32_t>(nNumber), pb, kSize);
            return spSample;
        };
        CComPtr<IMediaSample> spReal = Numbered(0);
        ASSERT_TRUE(spReal != NULL) << c.pszCase;
        dsfix::ComPtr<dsfix::FaultySample> spFaulty;
        spFaulty.Attach(new dsfix::FaultySample(spReal));
        spFaulty->pointerResult = c.hrPointer;
        spFaulty->nullPointer = c.bNullPointer;
        spFaulty->discontinuityResult = c.hrDiscontinuity;
        m_log.Reset();
        spMemIn->Receive(spFaulty.Get());
        const std::wstring sName = chain.spy->GetTraceName();
        EXPECT_TRUE(m_log.HasLine(Fmt(L"###Err### %s Capture(): smp.Load()=0x%X\n", sName.c_str(),
                                      static_cast<unsigned>(c.hrTraced))))
            << c.pszCase;
        EXPECT_EQ(1, chain.spy->m_bCapture) << c.pszCase << ": the request waits";
        EXPECT_FALSE(FileExists(sPath)) << c.pszCase;
        EXPECT_EQ(0u, m_log.CountContaining(L" Capture frame ")) << c.pszCase;

        spFaulty.Reset();
        spReal.Release();
        CComPtr<IMediaSample> spNext = Numbered(7);
        ASSERT_TRUE(spNext != NULL) << c.pszCase;
        EXPECT_EQ(S_OK, spMemIn->Receive(spNext)) << c.pszCase;
        EXPECT_EQ(0, chain.spy->m_bCapture) << c.pszCase;
        EXPECT_EQ(Pattern(7, kSize), ReadFileBytes(sPath)) << c.pszCase;
        EXPECT_EQ(1u, m_log.CountContaining(L" Capture frame ")) << c.pszCase;
        spNext.Release();
        EXPECT_TRUE(SUCCEEDED(chain.graph.Stop())) << c.pszCase;
    }
    DeleteFileW(sPath.c_str());
}

// Where the bitmaps for the independent decoder go.
std::wstring CaptureFolder()
{
    return ProgramFolder() + L"spy_captures\\";
}

// The picture of an RGB24 sample of nWidth x nHeight as top-down RGB
// triplets, the way a decoder hands it out.
std::vector<BYTE> TopDownRgb(const std::vector<BYTE>& sample, int nWidth, int nHeight)
{
    const size_t cbLine = (static_cast<size_t>(nWidth) * 3 + 3) & ~size_t(3);
    std::vector<BYTE> v;
    for (int y = 0; y < nHeight; ++y)
    {
        const BYTE* pLine = sample.data() + cbLine * static_cast<size_t>(nHeight - 1 - y);
        for (int x = 0; x < nWidth; ++x)
        {
            v.push_back(pLine[3 * x + 2]);
            v.push_back(pLine[3 * x + 1]);
            v.push_back(pLine[3 * x]);
        }
    }
    return v;
}

// An RGB24 picture 6 x 4 (lines of 18 bytes padded to 20): the bitmap file
// holds the sample's lines as they are, behind the two headers.
TEST_F(SpyInterfaceTest, ABitmapCaptureWritesThePictureOfTheSample)
{
    dsfix::HangWatchdog watchdog(60000, "bitmap capture");
    const int kW = 6, kH = 4;
    CreateDirectoryW(CaptureFolder().c_str(), NULL);
    const std::wstring sPath = CaptureFolder() + L"rgb24_6x4.bmp";
    DeleteFileW(sPath.c_str());
    DeleteFileW((CaptureFolder() + L"rgb24_6x4.rgb").c_str());
    SpyChainConfig config;
    config.source.sampleCount = 3;
    config.source.mediaTypes = { dsfix::VideoType(MEDIASUBTYPE_RGB24, kW, kH) };
    config.sink.copyBytes = true;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    CComPtr<INRVSpyFilter> sp = Itf(chain.spy);
    ASSERT_EQ(S_OK, sp->CaptureFrame(CComBSTR(sPath.c_str()), eCFT_Bmp));
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));

    const std::vector<dsfix::SampleRecord> got = chain.sink->Samples();
    ASSERT_EQ(3u, got.size());
    const std::vector<BYTE>& picture = got[0].bytes;
    ASSERT_EQ(static_cast<size_t>(20 * kH), picture.size());
    const std::vector<BYTE> file = ReadFileBytes(sPath);
    ASSERT_EQ(14u + 40u + picture.size(), file.size());
    BITMAPFILEHEADER bfh;
    BITMAPINFOHEADER bih;
    memcpy(&bfh, file.data(), sizeof(bfh));
    memcpy(&bih, file.data() + sizeof(bfh), sizeof(bih));
    EXPECT_EQ(0x4D42, bfh.bfType);
    EXPECT_EQ(54u, bfh.bfOffBits);
    EXPECT_EQ(kW, bih.biWidth);
    EXPECT_EQ(kH, bih.biHeight);
    EXPECT_EQ(24, bih.biBitCount);
    EXPECT_EQ(static_cast<DWORD>(BI_RGB), bih.biCompression);
    EXPECT_EQ(picture, std::vector<BYTE>(file.begin() + 54, file.end()));
    // What a decoder must show, for the check beside this program.
    EXPECT_TRUE(WriteAll(CaptureFolder() + L"rgb24_6x4.rgb", TopDownRgb(picture, kW, kH)));
}

// A file that cannot be made is refused when it is asked for (a missing
// folder, a folder, a name no file system takes), so that the caller can say
// so; nothing is left pending and the samples pass.
TEST_F(SpyInterfaceTest, AFileThatCannotBeMadeIsRefusedWhenItIsAskedFor)
{
    WCHAR szTemp[MAX_PATH];
    const DWORD cchTemp = GetTempPathW(MAX_PATH, szTemp);
    ASSERT_GT(cchTemp, 1u);
    szTemp[cchTemp - 1] = 0; // the folder itself, without its backslash
    const std::wstring sMissing = TempPath(L"spy_no_such_folder\\capture.file");
    const std::wstring sLong = TempPath(std::wstring(600, L'x') + L".bin");
    const struct
    {
        const char* pszCase;
        std::wstring sPath;
        HRESULT hr; // S_FALSE: any failure
    } paths[] = {
        { "a missing folder", sMissing, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) },
        { "a folder", szTemp, E_ACCESSDENIED },
        { "a 600-character name", sLong, S_FALSE },
    };
    for (tagCaptureFileType eType : { eCFT_Bin, eCFT_Bmp })
    {
        dsfix::HangWatchdog watchdog(60000, "files refused");
        SpyChainConfig config;
        config.source.sampleCount = 2;
        config.source.mediaTypes = { dsfix::VideoType(MEDIASUBTYPE_RGB32, 8, 4) };
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(config));
        CComPtr<INRVSpyFilter> sp = Itf(chain.spy);
        for (const auto& c : paths)
        {
            const HRESULT hr = sp->CaptureFrame(CComBSTR(c.sPath.c_str()), eType);
            if (S_FALSE == c.hr)
                EXPECT_TRUE(FAILED(hr)) << c.pszCase << ", type " << eType << ": " << dsfix::HrText(hr);
            else
                EXPECT_EQ(c.hr, hr) << c.pszCase << ", type " << eType;
            EXPECT_EQ(0, chain.spy->m_bCapture) << c.pszCase << ", type " << eType;
        }
        m_log.Reset();
        ASSERT_TRUE(chain.graph.RunToCompletion(20000));
        EXPECT_EQ(0u, m_log.CountContaining(L" Capture frame ")) << "no request was pending";
        EXPECT_EQ(2u, chain.sink->Samples().size());
    }
}

// What can fail only when the sample comes is traced as an error line: here
// the folder goes away between the request and the sample. The request is
// used up and the samples pass.
TEST_F(SpyInterfaceTest, AFileThatCannotBeWrittenWhenTheSampleComesIsReported)
{
    const std::wstring sFolder = TempPath(L"spy_capture_gone");
    const std::wstring sPath = sFolder + L"\\capture.file";
    const struct
    {
        const char* pszCase;
        tagCaptureFileType eType;
        const wchar_t* pszLine;
    } cases[] = {
        { "raw", eCFT_Bin, L"###Err### %s Capture(): CreateFile( '%s' )=0x80070003\n" },
        { "bitmap", eCFT_Bmp, L"###Err### %s Capture(): SavePictureAsBitmap( '%s' )=0x80070003\n" },
    };
    for (const auto& c : cases)
    {
        dsfix::HangWatchdog watchdog(60000, c.pszCase);
        SpyChainConfig config;
        config.source.sampleCount = 2;
        config.source.mediaTypes = { dsfix::VideoType(MEDIASUBTYPE_RGB32, 8, 4) };
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(config)) << c.pszCase;
        CComPtr<INRVSpyFilter> sp = Itf(chain.spy);
        ASSERT_TRUE(CreateDirectoryW(sFolder.c_str(), NULL) || ERROR_ALREADY_EXISTS == GetLastError());
        ASSERT_EQ(S_OK, sp->CaptureFrame(CComBSTR(sPath.c_str()), c.eType)) << c.pszCase;
        ASSERT_TRUE(RemoveDirectoryW(sFolder.c_str())) << c.pszCase << ": the request left nothing in the folder";
        m_log.Reset();
        ASSERT_TRUE(chain.graph.RunToCompletion(20000)) << c.pszCase;
        const std::wstring sLine = Fmt(c.pszLine, chain.spy->GetTraceName(), sPath.c_str());
        EXPECT_TRUE(m_log.HasLine(sLine)) << c.pszCase;
        EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(sLine))) << c.pszCase;
        EXPECT_EQ(0, chain.spy->m_bCapture) << c.pszCase;
        EXPECT_EQ(2u, chain.sink->Samples().size()) << c.pszCase;
    }
}

// An RGB video type whose header says what the test wants, for pictures a
// bitmap cannot be made of.
dsfix::MediaType OddPictureType(const GUID& subtype, LONG lWidth, LONG lHeight, WORD wBitCount)
{
    const dsfix::MediaType base = dsfix::VideoType(MEDIASUBTYPE_RGB24, 8, 4);
    AM_MEDIA_TYPE mt = base.Get();
    VIDEOINFOHEADER vih;
    memcpy(&vih, mt.pbFormat, sizeof(vih));
    vih.bmiHeader.biWidth = lWidth;
    vih.bmiHeader.biHeight = lHeight;
    vih.bmiHeader.biBitCount = wBitCount;
    vih.bmiHeader.biClrUsed = 0;
    mt.subtype = subtype;
    mt.lSampleSize = 256;
    mt.cbFormat = sizeof(vih);
    mt.pbFormat = reinterpret_cast<BYTE*>(&vih);
    return dsfix::MediaType(mt); // a deep copy
}

// A bitmap that the current type cannot give is refused when it is asked
// for, and nothing is left pending: a type without a picture (audio, a byte
// stream) or a picture that no bitmap file can hold.
TEST_F(SpyInterfaceTest, ABitmapTheTypeCannotGiveIsRefusedWhenItIsAskedFor)
{
    const struct
    {
        const char* pszCase;
        dsfix::MediaType mt;
    } cases[] = {
        { "audio", WaveType(WAVE_FORMAT_PCM, 4, sizeof(WAVEFORMATEX)) },
        { "byte stream", dsfix::StreamType(MEDIASUBTYPE_None, 100) },
        { "bit count 0", OddPictureType(MEDIASUBTYPE_RGB24, 8, 4, 0) },
        { "0x7FFFFFFF x 0x7FFFFFFF", OddPictureType(MEDIASUBTYPE_RGB24, 0x7FFFFFFF, 0x7FFFFFFF, 24) },
        { "8 bits without a palette", OddPictureType(MEDIASUBTYPE_RGB8, 8, 4, 8) },
        { "no width", OddPictureType(MEDIASUBTYPE_RGB24, 0, 4, 24) },
    };
    for (const auto& c : cases)
    {
        SpyChainConfig config;
        config.source.mediaTypes = { c.mt };
        config.source.sampleSize = 256;
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(config)) << c.pszCase;
        CComPtr<INRVSpyFilter> sp = Itf(chain.spy);
        const std::wstring sPath = TempPath(L"spy_odd_picture.bmp");
        EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, sp->CaptureFrame(CComBSTR(sPath.c_str()), eCFT_Bmp)) << c.pszCase;
        EXPECT_EQ(0, chain.spy->m_bCapture) << c.pszCase;
        EXPECT_FALSE(FileExists(sPath)) << c.pszCase;
        // The same type is fine for a raw capture.
        EXPECT_EQ(S_OK, sp->CaptureFrame(CComBSTR(TempPath(L"spy_odd_picture.bin").c_str()), eCFT_Bin)) << c.pszCase;
    }
}

// A bitmap request that waits while the filter is stopped meets the input
// type in force when the next sample comes: after the input was connected
// anew with a type that has no picture, nothing is written, the log says so
// and the request is used up.
TEST_F(SpyInterfaceTest, APendingBitmapMeetsTheTypeOfTheNewConnection)
{
    dsfix::HangWatchdog watchdog(60000, "pending bitmap");
    const std::wstring sPath = TempPath(L"spy_capture_reconnected.bmp");
    DeleteFileW(sPath.c_str());
    SpyChainConfig config;
    config.source.sampleCount = 2;
    config.source.mediaTypes = { dsfix::VideoType(MEDIASUBTYPE_RGB24, 8, 4) };
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    CComPtr<INRVSpyFilter> sp = Itf(chain.spy);
    ASSERT_EQ(S_OK, sp->CaptureFrame(CComBSTR(sPath.c_str()), eCFT_Bmp));

    // The source now streams bytes without a picture.
    const dsfix::ComPtr<IPin> spDown = dsfix::FindPin(chain.down, PINDIR_INPUT);
    IPin* pDown = spDown.Get();
    // (Wine's graph manager may take both ends of a link at once: the second
    // end then answers S_FALSE.)
    for (IPin* pPin : { chain.spy.Out(), pDown, chain.spy.In(), chain.source->Pin() })
        ASSERT_TRUE(SUCCEEDED(chain.graph.Builder()->Disconnect(pPin)));
    dsfix::TestSourceConfig source = config.source;
    source.mediaTypes = { dsfix::StreamType(MEDIASUBTYPE_None, 200) };
    source.sampleSize = 200;
    ASSERT_EQ(S_OK, chain.source->Configure(source));
    ASSERT_EQ(S_OK, chain.graph.ConnectDirect(chain.source->Pin(), chain.spy.In(), NULL));
    ASSERT_EQ(S_OK, chain.graph.ConnectDirect(chain.spy.Out(), pDown, NULL));
    EXPECT_EQ(1, chain.spy->m_bCapture);

    m_log.Reset();
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_FALSE(FileExists(sPath));
    EXPECT_TRUE(m_log.HasLine(Fmt(L"###Err### %s Capture(): the input type has no picture header, '%s' not written\n",
                                  chain.spy->GetTraceName(), sPath.c_str())));
    EXPECT_EQ(0, chain.spy->m_bCapture);
    EXPECT_EQ(2u, chain.sink->Samples().size());
}

} // namespace
