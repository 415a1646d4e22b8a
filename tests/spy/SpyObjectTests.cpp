// The spy filter as an object: numbering and names, its interfaces, the
// pins' link to it after it is gone, its persisted switches, its per-user
// settings, and the sample road's arithmetic (the count, the bitrate, the
// difference entries) on real samples of Wine's memory allocator.
#include "SpyTestSupport.h"

#include "StubStream.h"

#include <limits.h>
#include <mmreg.h>

namespace {

class SpyObjectTest : public FilterTest
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

// ---------------------------------------------------------------------------
// Numbering, names and interfaces

TEST_F(SpyObjectTest, InstancesAreNumberedInOrderInEveryTraceName)
{
    CSpyPtr a, b, c;
    ASSERT_TRUE(a.Get() && b.Get() && c.Get());
    EXPECT_EQ(a->m_nInstance + 1, b->m_nInstance);
    EXPECT_EQ(b->m_nInstance + 1, c->m_nInstance);
    const unsigned n = c->m_nInstance;
    EXPECT_EQ(Fmt(L"[Spy %u]", n), c->GetTraceName());
    EXPECT_EQ(Fmt(L"[Spy %u In]", n), c->m_apIn->GetTraceName());
    EXPECT_EQ(Fmt(L"[Spy %u Out]", n), c->m_apOut->GetTraceName());
    EXPECT_TRUE(m_log.HasLine(Fmt(L"[Spy %u] FinalConstruct()\n", n)));
    EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(Fmt(L"[Spy %u] FinalConstruct()\n", n))));

    // The pins answer by the names "In" and "Out", with their directions.
    PIN_INFO info;
    ASSERT_EQ(S_OK, c.In()->QueryPinInfo(&info));
    EXPECT_STREQ(L"In", info.achName);
    EXPECT_EQ(PINDIR_INPUT, info.dir);
    EXPECT_TRUE(dsfix::SameObject(info.pFilter, c.Filter()));
    info.pFilter->Release();
    ASSERT_EQ(S_OK, c.Out()->QueryPinInfo(&info));
    EXPECT_STREQ(L"Out", info.achName);
    EXPECT_EQ(PINDIR_OUTPUT, info.dir);
    info.pFilter->Release();

    CLSID clsid = GUID_NULL;
    EXPECT_EQ(S_OK, c.Filter()->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualGUID(CLSID_SpyFilter, clsid));
}

// Each pin of the spy traces its own final construction, under the name it
// has then, and its final release, under the numbered name the filter gave
// it; both at level 2.
TEST_F(SpyObjectTest, ThePinsTraceTheirFinalConstructionAndRelease)
{
    m_log.Reset();
    CSpyPtr spy;
    ASSERT_TRUE(spy.Get());
    const unsigned n = spy->m_nInstance;
    for (const wchar_t* pszLine : { L"[Spy In] FinalConstruct\n", L"[Spy Out] FinalConstruct\n" })
    {
        EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(pszLine))) << pszLine;
        EXPECT_EQ(1u, m_log.CountContaining(pszLine)) << pszLine;
    }
    EXPECT_EQ(0u, m_log.CountContaining(L"FinalRelease\n"));

    spy.Release();
    for (const std::wstring& sLine : { Fmt(L"[Spy %u In] FinalRelease\n", n), Fmt(L"[Spy %u Out] FinalRelease\n", n) })
    {
        EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(sLine))) << sLine;
        EXPECT_EQ(1u, m_log.CountContaining(sLine)) << sLine;
    }
}

TEST_F(SpyObjectTest, TheClassCreatesTheFilterThroughItsCoclass)
{
    CComPtr<IBaseFilter> spFilter;
    ASSERT_EQ(S_OK, CSpyFilter::CreateInstance(&spFilter));
    CComPtr<IPersistStream> spPersist;
    EXPECT_EQ(S_OK, spFilter.QueryInterface(&spPersist));
    CComPtr<IMediaFilter> spMediaFilter;
    EXPECT_EQ(S_OK, spFilter.QueryInterface(&spMediaFilter));
    CComPtr<IPersist> spPersistBase;
    EXPECT_EQ(S_OK, spFilter.QueryInterface(&spPersistBase));
}

TEST_F(SpyObjectTest, TheFreeThreadedMarshalerAnswersForTheFilterIdentity)
{
    CSpyPtr spy;
    CComPtr<IMarshal> spMarshal;
    ASSERT_EQ(S_OK, spy.Filter()->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&spMarshal)));
    ASSERT_TRUE(spMarshal != NULL);
    // The aggregated marshaler hands the filter's own identity back.
    CComPtr<IUnknown> spUnk;
    ASSERT_EQ(S_OK, spMarshal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&spUnk)));
    EXPECT_TRUE(dsfix::SameObject(spUnk, spy.Filter()));
    CComPtr<IBaseFilter> spBack;
    EXPECT_EQ(S_OK, spMarshal->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&spBack)));
    // Another apartment of the process gets the object itself, not a proxy.
    IStream* pStream = NULL;
    ASSERT_EQ(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IBaseFilter, spy.Filter(), &pStream));
    struct Transfer
    {
        IStream* pStream;
        IBaseFilter* pGot;
        HRESULT hr;
    } t = { pStream, NULL, E_FAIL };
    const HANDLE hThread = CreateThread(
        NULL, 0,
        [](void* pv) -> DWORD {
            Transfer* p = static_cast<Transfer*>(pv);
            CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
            IBaseFilter* pFilter = NULL;
            p->hr = CoGetInterfaceAndReleaseStream(p->pStream, IID_IBaseFilter, reinterpret_cast<void**>(&pFilter));
            p->pGot = pFilter;
            if (pFilter)
                pFilter->Release();
            CoUninitialize();
            return 0;
        },
        &t, 0, NULL);
    ASSERT_TRUE(NULL != hThread);
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    EXPECT_EQ(S_OK, t.hr);
    EXPECT_EQ(spy.Filter(), t.pGot);
}

TEST_F(SpyObjectTest, TheInputPinTracesAndRefusesInterfacesItLacks)
{
    CSpyPtr spy;
    WCHAR szName[GUID_NAME_WORK_SIZE];
    for (const IID* piid : { &IID_IVideoWindow, &IID_IMediaSeeking, &IID_IAMStreamConfig })
    {
        m_log.Reset();
        void* pv = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, spy.In()->QueryInterface(*piid, &pv));
        EXPECT_EQ(NULL, pv);
        const std::wstring sLine =
            Fmt(L"### [Spy In] QueryInterface( %s ) = E_NOINTERFACE\n", Guid2Name(*piid, szName, GUID_NAME_WORK_SIZE));
        EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(sLine))) << std::string(sLine.begin(), sLine.end());
    }
    // What it has, it gives without the line.
    m_log.Reset();
    CComPtr<IMemInputPin> spMemInput;
    EXPECT_EQ(S_OK, spy.In()->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemInput)));
    CComPtr<IQualityControl> spQuality;
    EXPECT_EQ(S_OK, spy.In()->QueryInterface(IID_IQualityControl, reinterpret_cast<void**>(&spQuality)));
    EXPECT_FALSE(m_log.HasLineContaining(L"QueryInterface("));
    // The output pin refuses silently.
    CComPtr<IKsPropertySet> spKs;
    EXPECT_EQ(E_NOINTERFACE, spy.Out()->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&spKs)));
    EXPECT_FALSE(m_log.HasLineContaining(L"QueryInterface("));
}

TEST_F(SpyObjectTest, PinsOutlivingTheFilterAnswerWithoutIt)
{
    CComPtr<IPin> spIn;
    CComPtr<IPin> spOut;
    {
        CSpyPtr spy;
        spIn = spy.In();
        spOut = spy.Out();
    }
    EXPECT_TRUE(m_log.HasLineContaining(L"FinalRelease()\n"));
    PIN_INFO info;
    ASSERT_EQ(S_OK, spIn->QueryPinInfo(&info));
    EXPECT_EQ(NULL, info.pFilter);
    EXPECT_EQ(E_UNEXPECTED, spIn->EndOfStream());
    EXPECT_EQ(E_UNEXPECTED, spIn->NewSegment(0, 10, 1.0));
    ASSERT_EQ(S_OK, spOut->QueryPinInfo(&info));
    EXPECT_EQ(NULL, info.pFilter);
    CComPtr<IMemInputPin> spMemInput;
    ASSERT_EQ(S_OK, spIn.QueryInterface(&spMemInput));
    CWineSamples samples;
    CComPtr<IMediaSample> sp = samples.Get(100);
    EXPECT_EQ(VFW_E_NOT_CONNECTED, spMemInput->Receive(sp));
}

// ---------------------------------------------------------------------------
// Persisted switches

std::vector<BYTE> SaveBytes(IPersistStream* pPersist)
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

TEST_F(SpyObjectTest, PersistsTwelveBytesAndMirrorsALoadIntoThePins)
{
    CSpyPtr spy;
    CComPtr<IPersistStream> spPersist;
    ASSERT_EQ(S_OK, spy.Filter()->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spPersist)));
    ULARGE_INTEGER cb;
    ASSERT_EQ(S_OK, spPersist->GetSizeMax(&cb));
    EXPECT_EQ(12u, cb.QuadPart);
    EXPECT_EQ((std::vector<BYTE>{ 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 }), SaveBytes(spPersist));
    EXPECT_EQ(1u, spy->m_apIn->m_bDynReconnect);
    EXPECT_EQ(1u, spy->m_apOut->m_bMTEnumRedir);

    // Switches off, forcing on with a value that is not 1: the pins follow,
    // the forcing switch is kept as 0/1.
    CStubStream stream({ 0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0 });
    ASSERT_EQ(S_OK, spPersist->Load(&stream));
    EXPECT_EQ(0u, spy->m_bDynReconnect);
    EXPECT_EQ(0u, spy->m_bMTEnumRedir);
    EXPECT_EQ(1u, spy->m_bForcePassthru);
    EXPECT_EQ(0u, spy->m_apIn->m_bDynReconnect);
    EXPECT_EQ(0u, spy->m_apOut->m_bMTEnumRedir);
    EXPECT_EQ((std::vector<BYTE>{ 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0 }), SaveBytes(spPersist));

    // A second filter takes the first one's bytes.
    CSpyPtr other;
    CComPtr<IPersistStream> spOther;
    ASSERT_EQ(S_OK, other.Filter()->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spOther)));
    CStubStream copy(SaveBytes(spPersist));
    ASSERT_EQ(S_OK, spOther->Load(&copy));
    EXPECT_EQ(SaveBytes(spPersist), SaveBytes(spOther));
    EXPECT_EQ(0u, other->m_apIn->m_bDynReconnect);
}

struct BadStreamCase
{
    const char* pszCase;
    std::vector<BYTE> data;
    int nFailingRead;   // -1: every read answers S_OK with what there is
    HRESULT hrRead;
};

class SpyBadStreamTest : public SpyObjectTest, public ::testing::WithParamInterface<BadStreamCase>
{
};

TEST_P(SpyBadStreamTest, IsRefusedAndLeavesFilterAndPinsAsTheyWere)
{
    const BadStreamCase& c = GetParam();
    CSpyPtr spy;
    CComPtr<IPersistStream> spPersist;
    ASSERT_EQ(S_OK, spy.Filter()->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spPersist)));
    CStubStream stream(c.data);
    if (c.nFailingRead >= 0)
        stream.SetRead(c.nFailingRead, CStubStream::Answer{ c.hrRead, 0 });
    EXPECT_TRUE(FAILED(spPersist->Load(&stream))) << c.pszCase;
    EXPECT_EQ(1u, spy->m_bDynReconnect) << c.pszCase;
    EXPECT_EQ(1u, spy->m_bMTEnumRedir) << c.pszCase;
    EXPECT_EQ(0u, spy->m_bForcePassthru) << c.pszCase;
    EXPECT_EQ(1u, spy->m_apIn->m_bDynReconnect) << c.pszCase;
    EXPECT_EQ(1u, spy->m_apOut->m_bMTEnumRedir) << c.pszCase;
    EXPECT_EQ((std::vector<BYTE>{ 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 }), SaveBytes(spPersist)) << c.pszCase;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, SpyBadStreamTest,
    ::testing::Values(BadStreamCase{ "empty", {}, -1, S_OK },
                      BadStreamCase{ "eight bytes", { 0, 0, 0, 0, 0, 0, 0, 0 }, -1, S_OK },
                      BadStreamCase{ "eleven bytes", { 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0 }, -1, S_OK },
                      BadStreamCase{ "third read fails", { 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0 }, 2, STG_E_READFAULT },
                      BadStreamCase{ "first read fails", { 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0 }, 0, E_FAIL }));

// ---------------------------------------------------------------------------
// Settings

TEST_F(SpyObjectTest, CheckPositioningIsTakenOnlyFromAFourByteDword)
{
    struct Case
    {
        const char* pszCase;
        BYTE bBefore;
        DWORD dwType; // REG_NONE: the value is missing
        std::vector<BYTE> data;
        BYTE bAfter;
    };
    const Case cases[] = {
        { "1 sets", 0, REG_DWORD, { 1, 0, 0, 0 }, 1 },
        { "any non-zero sets", 0, REG_DWORD, { 0, 0, 0, 0x80 }, 1 },
        { "0 clears", 1, REG_DWORD, { 0, 0, 0, 0 }, 0 },
        { "missing keeps 1", 1, REG_NONE, {}, 1 },
        { "missing keeps 0", 0, REG_NONE, {}, 0 },
        { "binary keeps", 0, REG_BINARY, { 1, 0, 0, 0 }, 0 },
        { "text keeps", 1, REG_SZ, { '0', 0 }, 1 },
        { "two-byte dword keeps", 0, REG_DWORD, { 1, 0 }, 0 },
        { "eight-byte value keeps", 1, REG_QWORD, { 0, 0, 0, 0, 0, 0, 0, 0 }, 1 },
    };
    CSpyPtr spy;
    for (const Case& c : cases)
    {
        ASSERT_TRUE(CSpySettings::RemoveKey());
        ASSERT_TRUE(CSpySettings::CreateEmpty());
        if (REG_NONE != c.dwType)
        {
            ASSERT_TRUE(CSpySettings::SetRaw(L"Check positioning", c.dwType, c.data.data(),
                                             static_cast<DWORD>(c.data.size())));
        }
        spy->m_bCheckPositioning = c.bBefore;
        EXPECT_TRUE(spy->ReadSettings()) << c.pszCase;
        EXPECT_EQ(c.bAfter, spy->m_bCheckPositioning) << c.pszCase;
    }
}

TEST_F(SpyObjectTest, DifferenceFileIsAlwaysATerminatedPathThatFits)
{
    const std::wstring sLongest = L"C:\\" + std::wstring(MAX_PATH - 1 - 3, L'a'); // 259 characters
    const std::wstring sTooLong = sLongest + L"b";                                  // 260 characters
    struct Case
    {
        const char* pszCase;
        DWORD dwType; // REG_NONE: the value is missing
        std::vector<BYTE> data;
        std::wstring sAfter;
    };
    auto Bytes = [](const std::wstring& s, bool bTerminated) {
        const BYTE* pb = reinterpret_cast<const BYTE*>(s.c_str());
        return std::vector<BYTE>(pb, pb + (s.size() + (bTerminated ? 1 : 0)) * sizeof(wchar_t));
    };
    const Case cases[] = {
        { "a path", REG_SZ, Bytes(L"C:\\diff.bin", true), L"C:\\diff.bin" },
        { "stored without its terminator", REG_SZ, Bytes(L"C:\\diff.bin", false), L"C:\\diff.bin" },
        { "259 characters", REG_SZ, Bytes(sLongest, true), sLongest },
        { "259 characters without terminator", REG_SZ, Bytes(sLongest, false), sLongest },
        { "260 characters", REG_SZ, Bytes(sTooLong, true), L"" },
        { "260 characters without terminator", REG_SZ, Bytes(sTooLong, false), L"" },
        { "far too long", REG_SZ, Bytes(sTooLong + sTooLong, true), L"" },
        { "expandable text", REG_EXPAND_SZ, Bytes(L"C:\\diff.bin", true), L"" },
        { "binary", REG_BINARY, Bytes(L"C:\\diff.bin", true), L"" },
        { "dword", REG_DWORD, { 1, 0, 0, 0 }, L"" },
        { "missing", REG_NONE, {}, L"" },
        { "empty", REG_SZ, Bytes(L"", true), L"" },
    };
    CSpyPtr spy;
    for (const Case& c : cases)
    {
        ASSERT_TRUE(CSpySettings::RemoveKey());
        ASSERT_TRUE(CSpySettings::CreateEmpty());
        if (REG_NONE != c.dwType)
        {
            ASSERT_TRUE(CSpySettings::SetRaw(L"Difference file", c.dwType, c.data.data(),
                                             static_cast<DWORD>(c.data.size())));
        }
        lstrcpynW(spy->m_szDiffFile, L"C:\\before.bin", MAX_PATH);
        // A neighbour of the path that an overrun would reach.
        spy->m_dwFreq = 0x5A5A5A5A;
        EXPECT_TRUE(spy->ReadSettings()) << c.pszCase;
        EXPECT_EQ(c.sAfter, std::wstring(spy->m_szDiffFile)) << c.pszCase;
        EXPECT_EQ(0x5A5A5A5Au, spy->m_dwFreq) << c.pszCase;
    }
}

TEST_F(SpyObjectTest, AMissingKeyChangesNothingAndTheJoinStillSucceeds)
{
    CSpyPtr spy;
    ASSERT_TRUE(CSpySettings::RemoveKey());
    spy->m_bCheckPositioning = 1;
    lstrcpynW(spy->m_szDiffFile, L"C:\\kept.bin", MAX_PATH);
    EXPECT_FALSE(spy->ReadSettings());
    EXPECT_EQ(1, spy->m_bCheckPositioning);
    EXPECT_STREQ(L"C:\\kept.bin", spy->m_szDiffFile);

    dsfix::TestGraph graph;
    ASSERT_EQ(S_OK, graph.Create());
    EXPECT_EQ(S_OK, graph.Add(spy.Filter(), L"Spy"));
    EXPECT_EQ(1, spy->m_bCheckPositioning);
    EXPECT_STREQ(L"C:\\kept.bin", spy->m_szDiffFile);
    graph.Release();

    // With the key there, the next join takes its values.
    ASSERT_TRUE(CSpySettings::SetDword(L"Check positioning", 0));
    ASSERT_TRUE(CSpySettings::SetText(L"Difference file", L"C:\\new.bin"));
    ASSERT_EQ(S_OK, graph.Create());
    EXPECT_EQ(S_OK, graph.Add(spy.Filter(), L"Spy"));
    EXPECT_EQ(0, spy->m_bCheckPositioning);
    EXPECT_STREQ(L"C:\\new.bin", spy->m_szDiffFile);
    graph.Release();
}

// ---------------------------------------------------------------------------
// Counting

TEST_F(SpyObjectTest, CountsPcmFramesAndOneForAnythingElse)
{
    struct Case
    {
        const char* pszCase;
        dsfix::MediaType mt;
        LONG cbActual;
        LONGLONG llCount;
    };
    const Case cases[] = {
        { "PCM, 4-byte frames", WaveType(WAVE_FORMAT_PCM, 4, sizeof(WAVEFORMATEX)), 4096, 1024 },
        { "PCM, 2-byte frames", WaveType(WAVE_FORMAT_PCM, 2, sizeof(WAVEFORMATEX)), 4096, 2048 },
        { "PCM, empty sample", WaveType(WAVE_FORMAT_PCM, 4, sizeof(WAVEFORMATEX)), 0, 0 },
        { "PCM, negative length", WaveType(WAVE_FORMAT_PCM, 4, sizeof(WAVEFORMATEX)), -5, 0 },
        { "PCM without block size", WaveType(WAVE_FORMAT_PCM, 0, sizeof(WAVEFORMATEX)), 4096, 1 },
        { "PCM in a 16-byte block", WaveType(WAVE_FORMAT_PCM, 4, sizeof(PCMWAVEFORMAT)), 4096, 1024 },
        { "a block too short for PCM", WaveType(WAVE_FORMAT_PCM, 4, 12), 4096, 1 },
        { "float", WaveType(WAVE_FORMAT_IEEE_FLOAT, 8, sizeof(WAVEFORMATEX)), 4096, 1 },
        { "video", TestVideoType(), 153600, 1 },
        { "no type", dsfix::MediaType(), 100, 1 },
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.llCount, CSpyFilter::SampleCount(c.mt.Ptr(), c.cbActual)) << c.pszCase;
    EXPECT_EQ(1, CSpyFilter::SampleCount(NULL, 100));
}

// ---------------------------------------------------------------------------
// Bitrate

TEST_F(SpyObjectTest, BitrateFollowsTimedSamplesAndCountsUntimedBytesIntoTheNextInterval)
{
    struct Step
    {
        long cbActual;
        bool bTimed;
        REFERENCE_TIME tStart;
        DWORD nBitrate;        // after the step
        LONGLONG llBytes;      // after the step
        LONGLONG llTotalBytes; // after the step
        LONGLONG llTotalTime;  // after the step
    };
    struct Case
    {
        const char* pszCase;
        DWORD nBitrateBefore;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        { "three timed samples", 0,
          { { 1000, true, 0, 0, 1000, 0, 0 },
            { 1000, true, 400000, 200000, 1000, 1000, 400000 },
            { 1000, true, 800000, 200000, 1000, 2000, 800000 } } },
        { "the first timed sample leaves the rate", 12345, { { 1000, true, 0, 12345, 1000, 0, 0 } } },
        { "untimed bytes join the next interval", 0,
          { { 1000, true, 0, 0, 1000, 0, 0 },
            { 500, false, 0, 0, 1500, 0, 0 },
            { 1000, true, 400000, 300000, 1000, 1500, 400000 } } },
        { "untimed first", 7,
          { { 500, false, 0, 7, 500, 0, 0 }, { 1000, true, 0, 7, 1000, 0, 0 } } },
        { "equal start times restart the interval", 0,
          { { 1000, true, 0, 0, 1000, 0, 0 },
            { 1000, true, 400000, 200000, 1000, 1000, 400000 },
            { 2000, true, 400000, 200000, 2000, 1000, 400000 },
            { 1000, true, 800000, 400000, 1000, 3000, 800000 } } },
        { "a step back in time gives no rate", 0,
          { { 1000, true, 400000, 0, 1000, 0, 0 },
            { 1000, true, 0, 0, 1000, 0, 0 },
            { 1000, true, 400000, 200000, 1000, 1000, 400000 } } },
        { "an empty sample counts its buffer", 0,
          { { 0, true, 0, 0, 4096, 0, 0 }, { 0, true, 400000, 819200, 4096, 4096, 400000 } } },
    };
    CWineSamples samples;
    for (const Case& c : cases)
    {
        CSpyPtr spy;
        spy->m_nBitrate = c.nBitrateBefore;
        for (size_t i = 0; i < c.steps.size(); ++i)
        {
            const Step& s = c.steps[i];
            CComPtr<IMediaSample> sp = samples.Get(s.cbActual, s.bTimed, s.tStart);
            ASSERT_TRUE(sp != NULL);
            spy->MeasureBitrate(sp);
            EXPECT_EQ(s.nBitrate, spy->m_nBitrate) << c.pszCase << ", step " << i;
            EXPECT_EQ(s.llBytes, spy->m_llBytes) << c.pszCase << ", step " << i;
            EXPECT_EQ(s.llTotalBytes, spy->m_llTotalBytes) << c.pszCase << ", step " << i;
            EXPECT_EQ(s.llTotalTime, spy->m_llTotalTime) << c.pszCase << ", step " << i;
        }
    }
}

TEST_F(SpyObjectTest, BitrateNeverDividesByZeroNorWraps)
{
    EXPECT_EQ(0u, CSpyFilter::BitRate(1000, 0));
    EXPECT_EQ(0u, CSpyFilter::BitRate(0, 400000));
    EXPECT_EQ(0u, CSpyFilter::BitRate(-5, 400000));
    EXPECT_EQ(200000u, CSpyFilter::BitRate(1000, 400000));
    // Beyond 32 bits: the largest rate, not its low bits.
    EXPECT_EQ(ULONG_MAX, CSpyFilter::BitRate(1000000, 1));
    EXPECT_EQ(ULONG_MAX, CSpyFilter::BitRate(LLONG_MAX, 1));

    // Huge byte counts and the widest interval there is.
    CWineSamples samples;
    CSpyPtr spy;
    spy->m_tPrev = LLONG_MIN + 1;
    spy->m_llBytes = LLONG_MAX - 10;
    spy->m_llTotalBytes = LLONG_MAX - 10;
    spy->m_llTotalTime = LLONG_MAX - 10;
    CComPtr<IMediaSample> sp = samples.Get(1000, true, LLONG_MAX - 400000);
    spy->MeasureBitrate(sp);
    EXPECT_EQ(LLONG_MAX, spy->m_llTotalBytes);
    EXPECT_EQ(LLONG_MAX, spy->m_llTotalTime);
    EXPECT_EQ(LLONG_MAX - 400000, spy->m_tPrev);
    // Untimed bytes stop at the largest count.
    sp.Release();
    sp = samples.Get(1000, false);
    spy->m_llBytes = LLONG_MAX - 10;
    spy->MeasureBitrate(sp);
    EXPECT_EQ(LLONG_MAX, spy->m_llBytes);
}

// ---------------------------------------------------------------------------
// Difference entries

TEST_F(SpyObjectTest, DifferenceEntriesAreRoundedMicrosecondsWrittenOneFullBufferAtATime)
{
    const std::wstring sPath = TempFile(L"spy_entries.bin");
    CSpyPtr spy;
    lstrcpynW(spy->m_szDiffFile, sPath.c_str(), MAX_PATH);
    ASSERT_EQ(S_OK, spy->OpenDiffFile());
    ASSERT_TRUE(spy->m_fileDiff.IsOpen());
    EXPECT_GT(spy->m_dwFreq, 0u);
    spy->m_dwFreq = 1000; // ticks per microsecond, for known entries

    // The first time only starts; then 1499 ticks round down, 1500 up.
    LONGLONG llTime = 1000000;
    spy->AddDiffEntry(llTime);
    EXPECT_EQ(0u, spy->m_nDiffBuffered);
    spy->AddDiffEntry(llTime += 1499);
    spy->AddDiffEntry(llTime += 1500);
    ASSERT_EQ(2u, spy->m_nDiffBuffered);
    const DWORD* pEntries = reinterpret_cast<const DWORD*>(spy->m_bufDiff.GetBuffer());
    EXPECT_EQ(1u, pEntries[0]);
    EXPECT_EQ(2u, pEntries[1]);
    // A gap of over an hour is held at the largest entry; a counter that
    // steps back gives 0.
    spy->AddDiffEntry(llTime += 5000000000000LL);
    spy->AddDiffEntry(llTime -= 10);
    ASSERT_EQ(4u, spy->m_nDiffBuffered);
    EXPECT_EQ(ULONG_MAX, pEntries[2]);
    EXPECT_EQ(0u, pEntries[3]);

    // Filling the buffer writes it whole and empties it.
    while (spy->m_nDiffBuffered != 0)
        spy->AddDiffEntry(llTime += 7000);
    EXPECT_EQ(16384u, spy->m_nDiffTotal);
    std::vector<BYTE> bytes = ReadFileBytes(sPath);
    EXPECT_TRUE(bytes.empty()) << "nobody else reads the file while it is open";
    spy->AddDiffEntry(llTime += 7000);
    EXPECT_EQ(1u, spy->m_nDiffBuffered);

    // Stop writes the last entry and the count. The filter is in no graph, so
    // the template's Stop fails: its failure is the result, although the file
    // was finished well.
    EXPECT_EQ(VFW_E_NOT_CONNECTED, spy.Filter()->Stop());
    EXPECT_FALSE(spy->m_fileDiff.IsOpen());
    EXPECT_EQ(16385u, spy->m_nDiffTotal);
    EXPECT_EQ(0u, spy->m_nDiffBuffered);
    bytes = ReadFileBytes(sPath);
    ASSERT_EQ(4u + 65536u + 4u, bytes.size());
    EXPECT_EQ(16385u, DwordAt(bytes, 0));
    EXPECT_EQ(1u, DwordAt(bytes, 4));
    EXPECT_EQ(2u, DwordAt(bytes, 8));
    EXPECT_EQ(ULONG_MAX, DwordAt(bytes, 12));
    EXPECT_EQ(0u, DwordAt(bytes, 16));
    EXPECT_EQ(7u, DwordAt(bytes, 20));
    EXPECT_EQ(7u, DwordAt(bytes, 65536));
    EXPECT_EQ(7u, DwordAt(bytes, 65540));
    DeleteFileW(sPath.c_str());
}

TEST_F(SpyObjectTest, AFailedWriteDropsTheBufferWithoutCountingIt)
{
    const std::wstring sPath = TempFile(L"spy_readonly.bin");
    CSpyPtr spy;
    lstrcpynW(spy->m_szDiffFile, sPath.c_str(), MAX_PATH);
    ASSERT_EQ(S_OK, spy->OpenDiffFile());
    // The writer's handle is swapped for one that may only read.
    CloseHandle(spy->m_fileDiff.m_hFile);
    spy->m_fileDiff.m_hFile =
        CreateFileW(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, spy->m_fileDiff.m_hFile);
    spy->m_dwFreq = 1000;

    LONGLONG llTime = 1000;
    for (int i = 0; i < 16385; ++i)
        spy->AddDiffEntry(llTime += 3000);
    EXPECT_EQ(0u, spy->m_nDiffTotal);
    EXPECT_EQ(0u, spy->m_nDiffBuffered);
    EXPECT_TRUE(m_log.HasLineContaining(L"###Err### (FileWriter) Write(): WriteFile("));
    // The next entries go on from an empty buffer.
    spy->AddDiffEntry(llTime += 3000);
    EXPECT_EQ(1u, spy->m_nDiffBuffered);
    // Stop cannot write that one either: it is not counted, and the file keeps
    // the zero count of its creation with no entry behind it.
    spy.Filter()->Stop();
    EXPECT_FALSE(spy->m_fileDiff.IsOpen());
    EXPECT_EQ(0u, spy->m_nDiffTotal);
    EXPECT_EQ((std::vector<BYTE>{ 0, 0, 0, 0 }), ReadFileBytes(sPath));
    DeleteFileW(sPath.c_str());
}

TEST_F(SpyObjectTest, WithoutAClockRateOrABufferNoEntryIsMade)
{
    CSpyPtr spy;
    // No buffer at all (the file was never opened).
    spy->AddDiffEntry(1000);
    spy->AddDiffEntry(2000);
    EXPECT_EQ(0u, spy->m_nDiffBuffered);
    EXPECT_EQ(2000, spy->m_llPrev);
    // A buffer, but no clock rate.
    ASSERT_TRUE(spy->m_bufDiff.Alloc(CSpyFilter::DIFF_BUFFER_SIZE));
    spy->m_dwFreq = 0;
    spy->AddDiffEntry(3000);
    EXPECT_EQ(0u, spy->m_nDiffBuffered);
}

TEST_F(SpyObjectTest, ADifferenceFileThatCannotBeCreatedIsReported)
{
    CSpyPtr spy;
    lstrcpynW(spy->m_szDiffFile, L"C:\\no such folder\\diff.bin", MAX_PATH);
    EXPECT_TRUE(FAILED(spy->OpenDiffFile()));
    EXPECT_FALSE(spy->m_fileDiff.IsOpen());
    EXPECT_TRUE(m_log.HasLineContaining(L"###Err### (FileWriter) Open(): CreateFile( 'C:\\no such folder\\diff.bin' )="));
}

} // namespace
