// The sample snapshot: what Load takes by mask and how it treats odd
// answers (a recording sample with chosen answers), what Save writes, and a
// whole copy from one of our samples onto a sample of Wine's allocator.
#include "FakeSample.h"

using dsfix::ComPtr;

static ::testing::Environment* const g_pComEnv = ::testing::AddGlobalTestEnvironment(new CComEnvironment);

namespace
{

typedef CSampleT<CSampleCopier> CSnapshot;

TEST(SnapshotLoad, RefusesNoSampleAndNoMask)
{
    CLogCapture log;
    CSnapshot snap;
    EXPECT_EQ(E_INVALIDARG, snap.Load(NULL, PM_ALL));
    EXPECT_TRUE(log->HasAssert("pSrc != NULL"));
    CFakeSample src;
    EXPECT_EQ(E_INVALIDARG, snap.Load(&src, 0));
    EXPECT_TRUE(src.calls.empty());
    EXPECT_FALSE(snap.IsLoaded(0));
}

// Times as a sample answers them: what Load takes, what it corrects, and
// what it reports (a line of its level, an assertion, or none).
struct TimesCase
{
    const char* name;
    HRESULT hrGetTime;
    REFERENCE_TIME tStart, tStop;
    HRESULT hrGetMediaTime;
    LONGLONG mStart, mStop;
    HRESULT hrSyncPoint;
    WORD wMask;
    HRESULT hr;
    WORD wLoaded;
    REFERENCE_TIME tS, tE;   // checked where loaded
    LONGLONG llMS, llME;     // checked where loaded
    const wchar_t* pszLine;  // a line that must be traced, or NULL
    int nLevel;              // its level
    const char* pszAssert;   // the assertion that must fail, or NULL for none at all
};

const TimesCase g_rgTimes[] = {
    // name; GetTime; GetMediaTime; IsSyncPoint; mask; result, loaded; times; media times; report
    { "StartWithoutStopLoadsTheStartOnly", VFW_S_NO_STOP_TIME, 100, 101, VFW_E_MEDIA_TIME_NOT_SET, 0, 0, S_FALSE,
      PM_START | PM_STOP, S_FALSE, PM_START, 100, 0, 0, 0, NULL, 0, NULL },
    { "EqualTimesGetAStopOneLater", S_OK, 5000000, 5000000, VFW_E_MEDIA_TIME_NOT_SET, 0, 0, S_FALSE,
      PM_START | PM_STOP, S_OK, PM_START | PM_STOP, 5000000, 5000001, 0, 0,
      L"WARNING. CSampleT::Load(): GetTime(): m_tE==m_tS=", eTL_Info, NULL },
    { "AStartAfterTheStopIsReportedCorrectedAndLoadGoesOn", S_OK, 300, 200, VFW_E_MEDIA_TIME_NOT_SET, 0, 0, S_OK,
      PM_START | PM_STOP | PM_SYNCPOINT, S_OK, PM_START | PM_STOP | PM_SYNCPOINT, 300, 301, 0, 0,
      L"###Err### CSampleT::Load(): GetTime(): m_tS > m_tE,  m_tS=", eTL_Error,
      "CSampleT::Load(): GetTime(): start time > end time " },
    { "InvertedMediaTimesAreReportedAndKept", VFW_E_SAMPLE_TIME_NOT_SET, 0, 0, S_OK, 9, 3, S_FALSE, PM_MEDIATIME, S_OK,
      PM_MEDIATIME, 0, 0, 9, 3, L"###Err### CSampleT::Load(): GetMediaTime(): m_llMS > m_llME, m_llMS=9 m_llME=3\n",
      eTL_Error, NULL },
};

void PrintTo(const TimesCase& c, std::ostream* os)
{
    *os << c.name;
}

class SnapshotTimes : public ::testing::TestWithParam<TimesCase>
{
};

TEST_P(SnapshotTimes, LoadTakesCorrectsAndReportsAsListed)
{
    const TimesCase& c = GetParam();
    CLogCapture log;
    CFakeSample src;
    src.hrGetTime = c.hrGetTime;
    src.tStart = c.tStart;
    src.tStop = c.tStop;
    src.hrGetMediaTime = c.hrGetMediaTime;
    src.mStart = c.mStart;
    src.mStop = c.mStop;
    src.hrSyncPoint = c.hrSyncPoint;
    CSnapshot snap;
    EXPECT_EQ(c.hr, snap.Load(&src, c.wMask));
    EXPECT_EQ(c.wLoaded, snap.m_wLoaded);
    EXPECT_TRUE(snap.IsLoaded(c.wLoaded));
    EXPECT_EQ(c.wLoaded == c.wMask, snap.IsLoaded(c.wMask));
    if (c.wLoaded & PM_START)
    {
        EXPECT_EQ(c.tS, snap.m_tS);
    }
    if (c.wLoaded & PM_STOP)
    {
        EXPECT_EQ(c.tE, snap.m_tE);
    }
    if (c.wLoaded & PM_MEDIATIME)
    {
        EXPECT_EQ(c.llMS, snap.m_llMS);
        EXPECT_EQ(c.llME, snap.m_llME);
    }
    if (c.wLoaded & PM_SYNCPOINT)
    {
        EXPECT_EQ(S_OK == c.hrSyncPoint, !!snap.m_bSyncPoint);
    }
    if (c.pszLine)
    {
        EXPECT_EQ(c.nLevel, RecordLevel(log->Find(c.pszLine))) << "the line traced at its level";
    }
    if (c.pszAssert)
    {
        EXPECT_TRUE(log->HasAssert(c.pszAssert));
    }
    else
    {
        EXPECT_EQ(0u, log->CountAsserts());
    }
}

INSTANTIATE_TEST_SUITE_P(SnapshotLoad, SnapshotTimes, ::testing::ValuesIn(g_rgTimes),
                         [](const ::testing::TestParamInfo<TimesCase>& i) { return std::string(i.param.name); });

TEST(SnapshotLoad, AllOnASampleThatHasLittle)
{
    BYTE rg[32] = {};
    CFakeSample src;
    src.bSample2 = false;
    src.pBuffer = rg;
    src.cbBuffer = 32;
    src.lActual = 10;
    CSnapshot snap;
    EXPECT_EQ(S_OK, snap.Load(&src, PM_ALL));
    EXPECT_EQ(PM_SYNCPOINT | PM_PREROLL | PM_DISCONTINUITY | PM_BUFFER | PM_ACTLEN, snap.m_wLoaded);
    EXPECT_EQ(rg, snap.m_pbBuf);
    EXPECT_EQ(32, snap.m_cbBuf);
    EXPECT_EQ(10, snap.m_lActual);
}

TEST(SnapshotLoad, AFreshSampleOfOurAllocatorLoadsItsBuffer)
{
    ComPtr<IMemAllocator> alloc;
    ASSERT_EQ(S_OK, CreateOurAllocator(&alloc));
    SetAndCommit(alloc, Props(1, 100, 1, 0));
    ComPtr<IMediaSample> s;
    ASSERT_EQ(S_OK, alloc->GetBuffer(&s, NULL, NULL, 0));
    {
        CSnapshot snap;
        EXPECT_EQ(S_FALSE, snap.Load(s, PM_BUFFER | PM_MEDIATYPE | PM_TYPEFLAGS));
        EXPECT_EQ(PM_BUFFER | PM_TYPEFLAGS, snap.m_wLoaded);
        BYTE* pb = NULL;
        s->GetPointer(&pb);
        EXPECT_EQ(pb, snap.m_pbBuf);
        EXPECT_EQ(100, snap.m_cbBuf);
    }
    s.Reset();
    alloc->Decommit();
}

TEST(SnapshotLoad, LengthsOutsideTheBufferFail)
{
    CLogCapture log;
    BYTE rg[16];
    CFakeSample src;
    src.pBuffer = rg;
    src.cbBuffer = 16;
    CSnapshot snap;
    src.lActual = 17;
    EXPECT_EQ(E_FAIL, snap.Load(&src, PM_BUFFER | PM_ACTLEN));
    EXPECT_TRUE(log->Has(L"###Err### CSampleT::Load(): GetActualDataLength()=17, cbBuf=16\n"));
    src.lActual = -1;
    EXPECT_EQ(E_FAIL, snap.Load(&src, PM_BUFFER | PM_ACTLEN));
    // Without the buffer a length above nothing is not checked, a negative
    // one still is.
    src.lActual = 17;
    EXPECT_EQ(S_OK, snap.Load(&src, PM_ACTLEN));
    src.lActual = -1;
    EXPECT_EQ(E_FAIL, snap.Load(&src, PM_ACTLEN));
}

TEST(SnapshotLoad, ABufferWithoutSizeIsNotLoaded)
{
    CLogCapture log;
    BYTE rg[16];
    for (LONG cb : { 0L, -16L })
    {
        CFakeSample src;
        src.pBuffer = rg;
        src.cbBuffer = cb;
        src.hrSyncPoint = S_OK;
        CSnapshot snap;
        EXPECT_EQ(S_FALSE, snap.Load(&src, PM_BUFFER | PM_SYNCPOINT));
        EXPECT_EQ(PM_SYNCPOINT, snap.m_wLoaded);
        EXPECT_EQ(NULL, snap.m_pbBuf);
    }
    EXPECT_TRUE(log->Has(L", cbBuf==0\n"));
    EXPECT_EQ(0u, log->CountAsserts());

    // A failing GetPointer drops the buffer too; only that is reported.
    CFakeSample src;
    src.hrGetPointer = E_UNEXPECTED;
    src.lActual = 0;
    CSnapshot snap;
    EXPECT_EQ(E_FAIL, snap.Load(&src, PM_BUFFER));
    EXPECT_TRUE(log->Has(L"###Err### CSampleT::Load(): GetPointer()=0x8000FFFF\n"));
    EXPECT_TRUE(log->Has(L"###Err### CSampleT::Load(): Can't load wanted (0x1000) properties\n"));
}

TEST(SnapshotLoad, FlagQueriesMustAnswerYesOrNo)
{
    struct
    {
        HRESULT CFakeSample::*phr;
        WORD wBit;
        const char* pszAssert;
    } rgFlags[] = {
        { &CFakeSample::hrSyncPoint, PM_SYNCPOINT, "CSampleT::Load(): IsSyncPoint() FAILED" },
        { &CFakeSample::hrPreroll, PM_PREROLL, "CSampleT::Load(): IsPreroll() FAILED" },
        { &CFakeSample::hrDiscontinuity, PM_DISCONTINUITY, "CSampleT::Load(): IsDiscontinuity() FAILED" },
    };
    struct
    {
        HRESULT hrAnswer;
        HRESULT hrLoad;
    } rgAnswers[] = { { E_FAIL, E_FAIL }, { E_UNEXPECTED, E_UNEXPECTED }, { 2, E_FAIL } };
    for (const auto& f : rgFlags)
        for (const auto& a : rgAnswers)
        {
            SCOPED_TRACE(f.pszAssert);
            CLogCapture log;
            CFakeSample src;
            src.*f.phr = a.hrAnswer;
            CSnapshot snap;
            EXPECT_EQ(a.hrLoad, snap.Load(&src, PM_SYNCPOINT | PM_PREROLL | PM_DISCONTINUITY | PM_ACTLEN));
            EXPECT_FALSE(src.Called("GetActualDataLength"));
            EXPECT_EQ(0, snap.m_wLoaded & f.wBit);
            EXPECT_TRUE(log->HasAssert(f.pszAssert));
        }
}

TEST(SnapshotLoad, TypeAndPropertyAnswersThatCannotBeTrue)
{
    CLogCapture log;
    {
        CFakeSample src;
        src.hrGetMediaType = S_OK;
        src.bNullType = true;
        CSnapshot snap;
        EXPECT_EQ(E_FAIL, snap.Load(&src, PM_MEDIATYPE));
        EXPECT_TRUE(log->Has(L"###Err### CSampleT::Load(): GetMediaType()=S_OK, pMT=NULL\n"));
    }
    {
        CFakeSample src;
        src.cbDataAnswered = 8;
        CSnapshot snap;
        EXPECT_EQ(E_FAIL, snap.Load(&src, PM_STREAMID));
        EXPECT_TRUE(log->Has(L"###Err### CSampleT::Load(): spMS2->GetProperties()=0x0, cbData=36, rgProps.cbData=8\n"));
    }
    {
        CFakeSample src;
        src.hrGetProperties = E_NOTIMPL;
        CSnapshot snap;
        EXPECT_EQ(E_NOTIMPL, snap.Load(&src, PM_TYPEFLAGS));
    }
    {
        CFakeSample src;
        src.dwTypeFlags = 0x55;
        src.dwStreamId = 3;
        CSnapshot snap;
        EXPECT_EQ(S_OK, snap.Load(&src, PM_TYPEFLAGS | PM_STREAMID));
        EXPECT_EQ(0x55u, snap.m_dwTypeSpecificFlags);
        EXPECT_EQ(3u, snap.m_dwStreamId);
    }
}

// ---------------------------------------------------------------------------
// Save.

TEST(SnapshotSave, NothingIsSavedThatWasNotLoaded)
{
    CLogCapture log;
    CFakeSample src, dst;
    CSnapshot snap;
    EXPECT_EQ(E_FAIL, snap.Save(&dst, PM_ALL));
    EXPECT_TRUE(log->Has(L"###Err### CSampleT::Save(): sample not loaded yet\n"));
    src.hrSyncPoint = S_OK;
    ASSERT_EQ(S_OK, snap.Load(&src, PM_SYNCPOINT));
    EXPECT_EQ(S_FALSE, snap.Save(&dst, PM_START));
    EXPECT_EQ(eTL_Info,
              RecordLevel(log->Find(L"CSampleT::Save(): Can't save wanted properties: wanted 0x1, exist 0x10\n")));
    EXPECT_TRUE(dst.calls.empty());
    EXPECT_EQ(E_INVALIDARG, snap.Save(NULL, PM_ALL));
}

TEST(SnapshotSave, TypeFlagsNeedIMediaSample2BeforeAnythingIsWritten)
{
    CFakeSample src, dst;
    src.hrGetTime = S_OK;
    src.tStart = 1;
    src.tStop = 2;
    src.dwTypeFlags = 9;
    CSnapshot snap;
    ASSERT_EQ(S_OK, snap.Load(&src, PM_START | PM_STOP | PM_TYPEFLAGS));
    dst.bSample2 = false;
    EXPECT_EQ(E_NOINTERFACE, snap.Save(&dst, PM_ALL));
    EXPECT_TRUE(dst.calls.empty());

    // With it: the destination's other properties are written back as read.
    dst.bSample2 = true;
    dst.dwStreamId = 77;
    EXPECT_EQ(S_OK, snap.Save(&dst, PM_ALL));
    EXPECT_EQ(9u, dst.dwTypeFlags);
    EXPECT_EQ(77u, dst.dwStreamId);
    EXPECT_EQ(8u, dst.lastPropsSize);
}

TEST(SnapshotSave, AStartWithoutStopIsSavedAlone)
{
    CFakeSample src, dst;
    src.hrGetTime = S_OK;
    src.tStart = 10;
    src.tStop = 20;
    CSnapshot snap;
    ASSERT_EQ(S_OK, snap.Load(&src, PM_START | PM_STOP));
    EXPECT_EQ(S_OK, snap.Save(&dst, PM_START));
    EXPECT_EQ(10, dst.tStart);
    EXPECT_FALSE(dst.bStopGiven);
    // A stop without its start is not written at all.
    CFakeSample dst2;
    EXPECT_EQ(S_OK, snap.Save(&dst2, PM_STOP));
    EXPECT_FALSE(dst2.Called("SetTime"));
}

TEST(SnapshotSave, ASetterThatSaysSFalseStopsTheSave)
{
    CLogCapture log;
    CFakeSample src, dst;
    src.hrGetTime = S_OK;
    src.tStart = 10;
    src.tStop = 20;
    src.hrSyncPoint = S_OK;
    src.dwTypeFlags = 4;
    CSnapshot snap;
    ASSERT_EQ(S_OK, snap.Load(&src, PM_START | PM_STOP | PM_SYNCPOINT | PM_TYPEFLAGS));
    dst.hrSetTime = S_FALSE;
    EXPECT_EQ(E_FAIL, snap.Save(&dst, PM_ALL));
    EXPECT_TRUE(log->Has(L"###Err### CSampleT::Save(): SetTime()=0x1\n"));
    EXPECT_TRUE(log->HasAssert("CSampleT::Save(): SetTime() FAILED"));
    EXPECT_EQ(4u, dst.dwTypeFlags); // done before it: stays
    EXPECT_FALSE(dst.Called("SetSyncPoint"));
    dst.hrSetTime = VFW_E_WRONG_STATE;
    EXPECT_EQ(VFW_E_WRONG_STATE, snap.Save(&dst, PM_ALL));
}

TEST(SnapshotCopy, ResultOfLoadUnlessSaveFails)
{
    BYTE rgSrc[16] = { 1, 2, 3 }, rgDst[16] = {};
    CFakeSample src, dst;
    src.pBuffer = rgSrc;
    src.cbBuffer = 16;
    src.lActual = 3;
    dst.pBuffer = rgDst;
    dst.cbBuffer = 16;
    CSnapshot snap;
    // Not all of the wanted properties: Load's S_FALSE.
    EXPECT_EQ(S_FALSE, snap.Copy(&dst, &src, PM_BUFFER | PM_ACTLEN | PM_START));
    EXPECT_EQ(0, memcmp(rgSrc, rgDst, 3));
    EXPECT_EQ(3, dst.lActual);
    // A failing save wins.
    dst.hrSetActual = E_UNEXPECTED;
    EXPECT_EQ(E_UNEXPECTED, snap.Copy(&dst, &src, PM_BUFFER | PM_ACTLEN | PM_START));
    // A failing load stops before any save.
    CFakeSample dst2;
    EXPECT_EQ(E_INVALIDARG, snap.Copy(&dst2, &src, 0));
    EXPECT_TRUE(dst2.calls.empty());
}

// Every property of one of our samples, copied onto a sample of Wine's
// allocator through the snapshot, reads back the same there.
TEST(SnapshotCopy, EveryPropertyOfOurSampleReadsBackFromWinesSample)
{
    ComPtr<IMemAllocator> ours, wine;
    ASSERT_EQ(S_OK, CreateOurAllocator(&ours));
    ASSERT_EQ(S_OK, CreateWineAllocator(&wine));
    SetAndCommit(ours, Props(1, 256, 1, 0));
    SetAndCommit(wine, Props(1, 512, 1, 0));
    ComPtr<IMediaSample> src, dst;
    ASSERT_EQ(S_OK, ours->GetBuffer(&src, NULL, NULL, 0));
    ASSERT_EQ(S_OK, wine->GetBuffer(&dst, NULL, NULL, 0));

    BYTE* pbSrc = NULL;
    src->GetPointer(&pbSrc);
    for (int i = 0; i < 256; ++i)
        pbSrc[i] = static_cast<BYTE>(i ^ 0x5A);
    REFERENCE_TIME t1 = 400000, t2 = 800000;
    LONGLONG m1 = 10, m2 = 11;
    src->SetTime(&t1, &t2);
    src->SetMediaTime(&m1, &m2);
    src->SetSyncPoint(TRUE);
    src->SetPreroll(FALSE);
    src->SetDiscontinuity(TRUE);
    src->SetActualDataLength(200);
    CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    src->SetMediaType(&mt);

    CSnapshot snap;
    EXPECT_EQ(S_OK, snap.Copy(dst, src, PM_ALL));
    REFERENCE_TIME r1 = 0, r2 = 0;
    EXPECT_EQ(S_OK, dst->GetTime(&r1, &r2));
    EXPECT_EQ(t1, r1);
    EXPECT_EQ(t2, r2);
    LONGLONG q1 = 0, q2 = 0;
    EXPECT_EQ(S_OK, dst->GetMediaTime(&q1, &q2));
    EXPECT_EQ(m1, q1);
    EXPECT_EQ(m2, q2);
    EXPECT_EQ(S_OK, dst->IsSyncPoint());
    EXPECT_EQ(S_FALSE, dst->IsPreroll());
    EXPECT_EQ(S_OK, dst->IsDiscontinuity());
    EXPECT_EQ(200, dst->GetActualDataLength());
    AM_MEDIA_TYPE* pmt = NULL;
    EXPECT_EQ(S_OK, dst->GetMediaType(&pmt));
    EXPECT_TRUE(MTIsEqual(pmt, &mt));
    MTDelete(pmt);
    BYTE* pbDst = NULL;
    dst->GetPointer(&pbDst);
    EXPECT_EQ(0, memcmp(pbSrc, pbDst, 200));

    src.Reset();
    dst.Reset();
    ours->Decommit();
    wine->Decommit();
}

} // namespace
