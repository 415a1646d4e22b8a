// The framework's media sample, taken from a real allocator: its
// properties set and read back, the refusals, IMediaSample2 in both
// directions, and media types handed back to the sample that lent them.
#include "AllocTest.h"

using dsfix::ComPtr;

static ::testing::Environment* const g_pComEnv = ::testing::AddGlobalTestEnvironment(new CComEnvironment);

namespace
{

const LONG kSize = 64;

// One sample of a committed allocator {1, 64, 1, 0}.
class Sample : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, CreateOurAllocator(&m_alloc));
        SetAndCommit(m_alloc, Props(1, kSize, 1, 0));
        ASSERT_EQ(S_OK, m_alloc->GetBuffer(&m_s, NULL, NULL, 0));
        ASSERT_EQ(S_OK, m_s.As(m_s2));
        ASSERT_EQ(S_OK, m_s->GetPointer(&m_pb));
    }
    void TearDown() override
    {
        m_s2.Reset();
        m_s.Reset();
        if (m_alloc)
            m_alloc->Decommit();
    }

    AM_SAMPLE2_PROPERTIES Get()
    {
        AM_SAMPLE2_PROPERTIES p = {};
        EXPECT_EQ(S_OK, m_s2->GetProperties(sizeof(p), reinterpret_cast<BYTE*>(&p)));
        return p;
    }
    HRESULT Set(const AM_SAMPLE2_PROPERTIES& p, DWORD cb)
    {
        return m_s2->SetProperties(cb, reinterpret_cast<const BYTE*>(&p));
    }

    ComPtr<IMemAllocator> m_alloc;
    ComPtr<IMediaSample> m_s;
    ComPtr<IMediaSample2> m_s2;
    BYTE* m_pb = NULL;
};

// A video type with a format block, so that a freed copy is easy to tell.
CMType VideoType(LONG lWidth)
{
    CMType mt(MEDIATYPE_Video, MEDIASUBTYPE_YUY2);
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = sizeof(VIDEOINFOHEADER);
    mt.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(mt.cbFormat));
    memset(mt.pbFormat, 0x3C, mt.cbFormat);
    VIDEOINFOHEADER* pvih = reinterpret_cast<VIDEOINFOHEADER*>(mt.pbFormat);
    pvih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    pvih->bmiHeader.biWidth = lWidth;
    pvih->bmiHeader.biHeight = 16;
    return mt;
}

TEST_F(Sample, AFreshSampleHasNothingSet)
{
    REFERENCE_TIME t1 = 11, t2 = 22;
    EXPECT_EQ(VFW_E_SAMPLE_TIME_NOT_SET, m_s->GetTime(&t1, &t2));
    EXPECT_EQ(11, t1);
    EXPECT_EQ(22, t2);
    LONGLONG m1 = 11, m2 = 22;
    EXPECT_EQ(VFW_E_MEDIA_TIME_NOT_SET, m_s->GetMediaTime(&m1, &m2));
    EXPECT_EQ(0, m1);
    EXPECT_EQ(0, m2);
    EXPECT_EQ(0, m_s->GetActualDataLength());
    EXPECT_EQ(kSize, m_s->GetSize());
    EXPECT_EQ(S_FALSE, m_s->IsSyncPoint());
    EXPECT_EQ(S_FALSE, m_s->IsPreroll());
    EXPECT_EQ(S_FALSE, m_s->IsDiscontinuity());
    AM_MEDIA_TYPE* pmt = reinterpret_cast<AM_MEDIA_TYPE*>(1);
    EXPECT_EQ(S_FALSE, m_s->GetMediaType(&pmt));
    EXPECT_EQ(NULL, pmt);
    const AM_SAMPLE2_PROPERTIES p = Get();
    EXPECT_EQ(0u, p.dwSampleFlags);
    EXPECT_EQ(m_pb, p.pbBuffer);
    EXPECT_EQ(kSize, p.cbBuffer);
}

TEST_F(Sample, AReusedSampleComesBackCleared)
{
    REFERENCE_TIME t1 = 1, t2 = 2;
    LONGLONG m1 = 1, m2 = 2;
    m_s->SetTime(&t1, &t2);
    m_s->SetMediaTime(&m1, &m2);
    m_s->SetSyncPoint(TRUE);
    m_s->SetActualDataLength(10);
    CMType mt = VideoType(8);
    m_s->SetMediaType(&mt);
    m_s.Reset();
    m_s2.Reset();
    ASSERT_EQ(S_OK, m_alloc->GetBuffer(&m_s, NULL, NULL, 0));
    EXPECT_EQ(VFW_E_SAMPLE_TIME_NOT_SET, m_s->GetTime(&t1, &t2));
    EXPECT_EQ(VFW_E_MEDIA_TIME_NOT_SET, m_s->GetMediaTime(&m1, &m2));
    EXPECT_EQ(S_FALSE, m_s->IsSyncPoint());
    EXPECT_EQ(0, m_s->GetActualDataLength());
    AM_MEDIA_TYPE* pmt = NULL;
    EXPECT_EQ(S_FALSE, m_s->GetMediaType(&pmt));
}

TEST_F(Sample, BothInterfacesShareOneIdentityAndRefuseOthers)
{
    ComPtr<IUnknown> u1, u2;
    ASSERT_EQ(S_OK, m_s->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&u1)));
    ASSERT_EQ(S_OK, m_s2->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&u2)));
    EXPECT_EQ(u1.Get(), u2.Get());
    ComPtr<IMemAllocator> none;
    EXPECT_EQ(E_NOINTERFACE, m_s->QueryInterface(IID_IMemAllocator, reinterpret_cast<void**>(&none)));
    // Held by m_s, m_s2, u1 and u2.
    EXPECT_EQ(5u, m_s->AddRef());
    EXPECT_EQ(4u, m_s->Release());
}

TEST_F(Sample, TimesSetAndReadBack)
{
    CLogCapture log;
    REFERENCE_TIME s = 1000, e = 2000, r1 = 0, r2 = 0;
    EXPECT_EQ(S_OK, m_s->SetTime(&s, &e));
    EXPECT_EQ(S_OK, m_s->GetTime(&r1, &r2));
    EXPECT_EQ(1000, r1);
    EXPECT_EQ(2000, r2);

    // A stop before the start is refused and changes nothing.
    REFERENCE_TIME early = 500;
    EXPECT_EQ(E_INVALIDARG, m_s->SetTime(&s, &early));
    EXPECT_EQ(S_OK, m_s->GetTime(&r1, &r2));
    EXPECT_EQ(2000, r2);
    const std::wstring line = log->Find(L"###Err### CMediaSample IMediaSample::SetTime( tS=");
    EXPECT_EQ(eTL_Error, RecordLevel(line));

    // A start only: the stop reads as start + 1.
    EXPECT_EQ(S_OK, m_s->SetTime(&s, NULL));
    EXPECT_EQ(VFW_S_NO_STOP_TIME, m_s->GetTime(&r1, &r2));
    EXPECT_EQ(1000, r1);
    EXPECT_EQ(1001, r2);
    const AM_SAMPLE2_PROPERTIES p = Get();
    EXPECT_EQ(static_cast<DWORD>(AM_SAMPLE_TIMEVALID), p.dwSampleFlags & (AM_SAMPLE_TIMEVALID | AM_SAMPLE_STOPVALID));

    EXPECT_EQ(S_OK, m_s->SetTime(NULL, NULL));
    EXPECT_EQ(VFW_E_SAMPLE_TIME_NOT_SET, m_s->GetTime(&r1, &r2));
    EXPECT_EQ(E_INVALIDARG, m_s->GetTime(NULL, &r2));
    EXPECT_EQ(E_INVALIDARG, m_s->GetTime(&r1, NULL));
}

TEST_F(Sample, MediaTimesKeepEvenAnInvertedPair)
{
    CLogCapture log;
    LONGLONG s = 10, e = 5, r1 = 0, r2 = 0;
    EXPECT_EQ(S_OK, m_s->SetMediaTime(&s, &e));
    EXPECT_EQ(S_OK, m_s->GetMediaTime(&r1, &r2));
    EXPECT_EQ(10, r1);
    EXPECT_EQ(5, r2);
    EXPECT_EQ(eTL_Error,
              RecordLevel(log->Find(L"###Err### CMediaSample SetMediaTime(): *pTimeEnd=5 < *pTimeStart=10\n")));

    EXPECT_EQ(S_OK, m_s->SetMediaTime(&s, &s));
    EXPECT_EQ(eTL_Info,
              RecordLevel(log->Find(L"WARNING. CMediaSample SetMediaTime(): *pTimeEnd == *pTimeStart = 10\n")));

    EXPECT_EQ(E_INVALIDARG, m_s->SetMediaTime(&s, NULL));
    EXPECT_EQ(S_OK, m_s->GetMediaTime(&r1, &r2));
    EXPECT_EQ(10, r2);

    // Valid media times never show among the reported flags.
    EXPECT_EQ(0u, Get().dwSampleFlags & 0x20);

    EXPECT_EQ(S_OK, m_s->SetMediaTime(NULL, NULL));
    EXPECT_EQ(VFW_E_MEDIA_TIME_NOT_SET, m_s->GetMediaTime(&r1, &r2));
    EXPECT_EQ(0, r1);
    EXPECT_EQ(E_INVALIDARG, m_s->GetMediaTime(NULL, &r2));
}

TEST_F(Sample, FlagsSetAndClear)
{
    struct
    {
        HRESULT (STDMETHODCALLTYPE IMediaSample::*set)(BOOL);
        HRESULT (STDMETHODCALLTYPE IMediaSample::*is)();
        DWORD dwFlag;
    } rg[] = {
        { &IMediaSample::SetSyncPoint, &IMediaSample::IsSyncPoint, AM_SAMPLE_SPLICEPOINT },
        { &IMediaSample::SetPreroll, &IMediaSample::IsPreroll, AM_SAMPLE_PREROLL },
        { &IMediaSample::SetDiscontinuity, &IMediaSample::IsDiscontinuity, AM_SAMPLE_DATADISCONTINUITY },
    };
    IMediaSample* p = m_s.Get();
    for (const auto& f : rg)
    {
        EXPECT_EQ(S_OK, (p->*f.set)(5));
        EXPECT_EQ(S_OK, (p->*f.is)());
        EXPECT_EQ(f.dwFlag, Get().dwSampleFlags);
        EXPECT_EQ(S_OK, (p->*f.set)(FALSE));
        EXPECT_EQ(S_FALSE, (p->*f.is)());
        EXPECT_EQ(0u, Get().dwSampleFlags);
    }
}

TEST_F(Sample, ActualLengthStaysWithinTheBuffer)
{
    EXPECT_EQ(S_OK, m_s->SetActualDataLength(kSize));
    EXPECT_EQ(kSize, m_s->GetActualDataLength());
    EXPECT_EQ(VFW_E_BUFFER_OVERFLOW, m_s->SetActualDataLength(kSize + 1));
    EXPECT_EQ(VFW_E_BUFFER_OVERFLOW, m_s->SetActualDataLength(-1));
    EXPECT_EQ(VFW_E_BUFFER_OVERFLOW, m_s->SetActualDataLength(LONG_MIN));
    EXPECT_EQ(kSize, m_s->GetActualDataLength());
    EXPECT_EQ(S_OK, m_s->SetActualDataLength(0));
    EXPECT_EQ(0, m_s->GetActualDataLength());
}

TEST_F(Sample, MediaTypeSetReadAndCleared)
{
    CLogCapture log;
    CMType mt = VideoType(8);
    EXPECT_EQ(S_OK, m_s->SetMediaType(&mt));
    EXPECT_EQ(eTL_Info, RecordLevel(log->Find(L"CMediaSample: IMediaSample::SetMediaType()\n")));
    EXPECT_EQ(eTL_Info, RecordLevel(log->Find(L"MT: ")));
    AM_MEDIA_TYPE* pmt = NULL;
    ASSERT_EQ(S_OK, m_s->GetMediaType(&pmt));
    EXPECT_TRUE(MTIsEqual(pmt, &mt));
    EXPECT_NE(static_cast<AM_MEDIA_TYPE*>(&mt), pmt);
    MTDelete(pmt);
    EXPECT_EQ(static_cast<DWORD>(AM_SAMPLE_TYPECHANGED), Get().dwSampleFlags);
    EXPECT_EQ(S_OK, m_s->SetMediaType(NULL));
    EXPECT_TRUE(log->Has(L"CMediaSample: IMediaSample::SetMediaType( NULL )\n"));
    EXPECT_EQ(S_FALSE, m_s->GetMediaType(&pmt));
    EXPECT_EQ(0u, Get().dwSampleFlags);
    EXPECT_EQ(E_POINTER, m_s->GetMediaType(NULL));
}

// GetProperties hands out the held type itself; giving that pointer back to
// the sample must not read it after it was freed.
TEST_F(Sample, TheSamplesOwnTypePointerCanComeBack)
{
    CMType mt = VideoType(8);
    ASSERT_EQ(S_OK, m_s->SetMediaType(&mt));
    AM_SAMPLE2_PROPERTIES p = Get();
    ASSERT_NE(nullptr, p.pMediaType);
    EXPECT_EQ(p.pMediaType, Get().pMediaType); // the held type, not a copy

    EXPECT_EQ(S_OK, m_s->SetMediaType(p.pMediaType));
    AM_MEDIA_TYPE* pmt = NULL;
    ASSERT_EQ(S_OK, m_s->GetMediaType(&pmt));
    EXPECT_TRUE(MTIsEqual(pmt, &mt));
    MTDelete(pmt);

    // The same through SetProperties.
    p = Get();
    p.dwSampleFlags = AM_SAMPLE_TYPECHANGED;
    EXPECT_EQ(S_OK, Set(p, sizeof(p)));
    ASSERT_EQ(S_OK, m_s->GetMediaType(&pmt));
    EXPECT_TRUE(MTIsEqual(pmt, &mt));
    MTDelete(pmt);
}

TEST_F(Sample, GetPropertiesWritesOnlyWhatIsAsked)
{
    BYTE rg[sizeof(AM_SAMPLE2_PROPERTIES) + 8];
    memset(rg, 0xCD, sizeof(rg));
    EXPECT_EQ(S_OK, m_s2->GetProperties(0, rg));
    EXPECT_EQ(0xCD, rg[0]);
    EXPECT_EQ(S_OK, m_s2->GetProperties(0, NULL));
    EXPECT_EQ(E_POINTER, m_s2->GetProperties(4, NULL));

    EXPECT_EQ(S_OK, m_s2->GetProperties(4, rg));
    DWORD cbData = 0;
    memcpy(&cbData, rg, 4);
    EXPECT_EQ(4u, cbData);
    EXPECT_EQ(0xCD, rg[4]);

    memset(rg, 0xCD, sizeof(rg));
    EXPECT_EQ(S_OK, m_s2->GetProperties(sizeof(rg), rg));
    memcpy(&cbData, rg, 4);
    EXPECT_EQ(sizeof(AM_SAMPLE2_PROPERTIES), cbData);
    EXPECT_EQ(0xCD, rg[sizeof(AM_SAMPLE2_PROPERTIES)]);
}

TEST_F(Sample, SetPropertiesComeBackFromGetProperties)
{
    AM_SAMPLE2_PROPERTIES p = Get();
    p.dwTypeSpecificFlags = 0x1234;
    p.dwSampleFlags = AM_SAMPLE_SPLICEPOINT | AM_SAMPLE_PREROLL | AM_SAMPLE_DATADISCONTINUITY | AM_SAMPLE_TIMEVALID |
                      AM_SAMPLE_STOPVALID | AM_SAMPLE_TIMEDISCONTINUITY | AM_SAMPLE_FLUSH_ON_PAUSE;
    p.lActual = 40;
    p.tStart = 100;
    p.tStop = 200;
    p.dwStreamId = 7;
    EXPECT_EQ(S_OK, Set(p, sizeof(p)));
    const AM_SAMPLE2_PROPERTIES q = Get();
    EXPECT_EQ(0x1234u, q.dwTypeSpecificFlags);
    EXPECT_EQ(p.dwSampleFlags, q.dwSampleFlags);
    EXPECT_EQ(40, q.lActual);
    EXPECT_EQ(100, q.tStart);
    EXPECT_EQ(200, q.tStop);
    EXPECT_EQ(7u, q.dwStreamId);
    EXPECT_EQ(40, m_s->GetActualDataLength());
    EXPECT_EQ(S_OK, m_s->IsSyncPoint());
    REFERENCE_TIME r1, r2;
    EXPECT_EQ(S_OK, m_s->GetTime(&r1, &r2));
    EXPECT_EQ(200, r2);
}

// SetProperties refusals: each leaves the sample as it was.
struct SetPropsCase
{
    const char* name;
    DWORD cb;
    HRESULT hr;
    void (*edit)(AM_SAMPLE2_PROPERTIES&, const AM_SAMPLE2_PROPERTIES& own);
};

const SetPropsCase g_rgSetProps[] = {
    { "tooShort", 7, S_OK, [](AM_SAMPLE2_PROPERTIES& p, const AM_SAMPLE2_PROPERTIES&) { p.dwTypeSpecificFlags = 99; } },
    { "tooLong", 65, E_INVALIDARG, [](AM_SAMPLE2_PROPERTIES& p, const AM_SAMPLE2_PROPERTIES&) { p.cbData = 65; } },
    { "flag20", 12, E_INVALIDARG,
      [](AM_SAMPLE2_PROPERTIES& p, const AM_SAMPLE2_PROPERTIES&) { p.dwSampleFlags = 0x20; } },
    { "flag200", 64, E_INVALIDARG,
      [](AM_SAMPLE2_PROPERTIES& p, const AM_SAMPLE2_PROPERTIES&) { p.dwSampleFlags = 0x200; } },
    { "timeWithoutStop", 24, E_INVALIDARG,
      [](AM_SAMPLE2_PROPERTIES& p, const AM_SAMPLE2_PROPERTIES&) { p.dwSampleFlags = AM_SAMPLE_TIMEVALID; } },
    { "foreignBuffer", 56, E_INVALIDARG,
      [](AM_SAMPLE2_PROPERTIES& p, const AM_SAMPLE2_PROPERTIES& o) { p.pbBuffer = o.pbBuffer + 1; } },
    { "otherSize", 60, E_INVALIDARG,
      [](AM_SAMPLE2_PROPERTIES& p, const AM_SAMPLE2_PROPERTIES& o) { p.cbBuffer = o.cbBuffer - 1; } },
    { "sizeBelowActual", 60, E_INVALIDARG,
      [](AM_SAMPLE2_PROPERTIES& p, const AM_SAMPLE2_PROPERTIES&) {
          p.cbBuffer = 0;
          p.lActual = 1;
      } },
    { "actualBeyondBuffer", 16, E_INVALIDARG,
      [](AM_SAMPLE2_PROPERTIES& p, const AM_SAMPLE2_PROPERTIES& o) { p.lActual = o.cbBuffer + 1; } },
    { "actualNegative", 32, E_INVALIDARG,
      [](AM_SAMPLE2_PROPERTIES& p, const AM_SAMPLE2_PROPERTIES&) { p.lActual = -1; } },
    { "typeWithoutPointer", 48, E_POINTER,
      [](AM_SAMPLE2_PROPERTIES& p, const AM_SAMPLE2_PROPERTIES&) {
          p.dwSampleFlags = AM_SAMPLE_TYPECHANGED;
          p.pMediaType = NULL;
      } },
};

void PrintTo(const SetPropsCase& c, std::ostream* os)
{
    *os << c.name;
}

class SetProps : public Sample, public ::testing::WithParamInterface<SetPropsCase>
{
};

TEST_P(SetProps, RefusalsChangeNothing)
{
    const SetPropsCase& c = GetParam();
    m_s->SetActualDataLength(8);
    m_s->SetSyncPoint(TRUE);
    const AM_SAMPLE2_PROPERTIES before = Get();
    AM_SAMPLE2_PROPERTIES p = before;
    p.cbData = c.cb > sizeof(p) ? sizeof(p) : c.cb;
    c.edit(p, before);
    // A buffer longer than the record, for the case that claims 65 bytes.
    BYTE rg[sizeof(p) + 8] = {};
    memcpy(rg, &p, sizeof(p));
    EXPECT_EQ(c.hr, m_s2->SetProperties(c.cb, rg));
    const AM_SAMPLE2_PROPERTIES after = Get();
    EXPECT_EQ(0, memcmp(&before, &after, sizeof(before)));
}

INSTANTIATE_TEST_SUITE_P(Sample, SetProps, ::testing::ValuesIn(g_rgSetProps),
                         [](const ::testing::TestParamInfo<SetPropsCase>& i) { return std::string(i.param.name); });

TEST_F(Sample, SetPropertiesKeepsTypeAndFlagInStep)
{
    CMType mt = VideoType(8);
    ASSERT_EQ(S_OK, m_s->SetMediaType(&mt));
    LONGLONG m1 = 1, m2 = 2;
    m_s->SetMediaTime(&m1, &m2);

    // Flags covered but not the type: a flag that keeps TYPECHANGED keeps
    // the type, and the media times stay valid.
    AM_SAMPLE2_PROPERTIES p = Get();
    p.dwSampleFlags = AM_SAMPLE_TYPECHANGED | AM_SAMPLE_SPLICEPOINT;
    EXPECT_EQ(S_OK, Set(p, 12));
    AM_MEDIA_TYPE* pmt = NULL;
    EXPECT_EQ(S_OK, m_s->GetMediaType(&pmt));
    MTDelete(pmt);
    EXPECT_EQ(S_OK, m_s->GetMediaTime(&m1, &m2));

    // Without TYPECHANGED the type goes.
    p.dwSampleFlags = AM_SAMPLE_SPLICEPOINT;
    EXPECT_EQ(S_OK, Set(p, 12));
    EXPECT_EQ(S_FALSE, m_s->GetMediaType(&pmt));
    EXPECT_EQ(NULL, Get().pMediaType);
    EXPECT_EQ(S_OK, m_s->GetMediaTime(&m1, &m2));

    // TYPECHANGED without a type held, the type not covered: no flag.
    p.dwSampleFlags = AM_SAMPLE_TYPECHANGED;
    EXPECT_EQ(S_OK, Set(p, 12));
    EXPECT_EQ(0u, Get().dwSampleFlags & AM_SAMPLE_TYPECHANGED);

    // A type given through SetProperties is copied.
    p = Get();
    p.dwSampleFlags = AM_SAMPLE_TYPECHANGED;
    CMType mt2 = VideoType(16);
    p.pMediaType = &mt2;
    EXPECT_EQ(S_OK, Set(p, sizeof(p)));
    const AM_SAMPLE2_PROPERTIES q = Get();
    EXPECT_NE(static_cast<AM_MEDIA_TYPE*>(&mt2), q.pMediaType);
    EXPECT_TRUE(MTIsEqual(q.pMediaType, &mt2));
    EXPECT_EQ(static_cast<DWORD>(AM_SAMPLE_TYPECHANGED), q.dwSampleFlags);
}

// A type passed while the flags say there is none is not taken: the held
// type goes, and the assertion names the caller's field.
TEST_F(Sample, ATypeWithoutItsFlagIsNotTaken)
{
    CLogCapture log;
    CMType mt = VideoType(8);
    ASSERT_EQ(S_OK, m_s->SetMediaType(&mt));
    AM_SAMPLE2_PROPERTIES p = Get();
    p.dwSampleFlags = 0;
    CMType mt2 = VideoType(16);
    p.pMediaType = &mt2;
    EXPECT_EQ(S_OK, Set(p, sizeof(p)));
    AM_MEDIA_TYPE* pmt = NULL;
    EXPECT_EQ(S_FALSE, m_s->GetMediaType(&pmt));
    EXPECT_EQ(NULL, Get().pMediaType);
    EXPECT_TRUE(log->HasAssert("pProps->pMediaType == NULL"));
}

TEST_F(Sample, TheLastReleaseGivesTheBufferBack)
{
    ComPtr<IMemAllocatorCallbackTemp> spCb;
    ASSERT_EQ(S_OK, m_alloc.As(spCb));
    LONG l = -1;
    EXPECT_EQ(S_OK, spCb->GetFreeCount(&l));
    EXPECT_EQ(0, l);
    m_s2.Reset();
    EXPECT_EQ(0u, m_s.Detach()->Release());
    EXPECT_EQ(S_OK, spCb->GetFreeCount(&l));
    EXPECT_EQ(1, l);
}

} // namespace
