// The spy filter in Wine's filter graph manager, between the test source and
// the test sink or Wine's Null Renderer: every sample passes unchanged and in
// order, in the source's own buffer when one allocator serves both
// connections and as a copy otherwise; every sample leaves its two trace
// lines; the count, the bitrate and the difference file follow the stream;
// odd samples and downstream refusals go through as they should.
#include "SpyTestSupport.h"

namespace {

class SpyGraphTest : public FilterTest
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

// Runs the graph until the source's stream ends (also when it stops early
// after a refused sample), then stops it.
bool RunUntilSourceEnds(SpyChain& chain, DWORD dwMs = 20000)
{
    if (FAILED(chain.graph.Run()))
        return false;
    const bool bEnded = chain.source->WaitForStreamEnd(dwMs);
    return SUCCEEDED(chain.graph.Stop()) && bEnded;
}

std::wstring TimeText(REFERENCE_TIME t)
{
    WCHAR sz[50];
    return ReferenceTimeToText(t, sz);
}

// ---------------------------------------------------------------------------
// The way of the samples

struct WayCase
{
    const char* pszCase;
    dsfix::SourceAllocator eSourceAlloc;
    bool bVideo;      // YUY2 video, else a byte stream
    bool bSeparate;   // the connections end with two allocators
};

class SpyWayTest : public SpyGraphTest, public ::testing::WithParamInterface<WayCase>
{
};

TEST_P(SpyWayTest, EverySamplePassesUnchangedAndInOrder)
{
    const WayCase& c = GetParam();
    dsfix::HangWatchdog watchdog(60000, c.pszCase);
    const long kSamples = 12;
    SpyChainConfig config;
    config.source.sampleCount = kSamples;
    config.source.allocatorMode = c.eSourceAlloc;
    config.source.setMediaTimes = true;
    if (!c.bVideo)
    {
        config.source.mediaTypes = { dsfix::StreamType(MEDIASUBTYPE_None, 4096) };
        config.source.sampleSize = 4096;
    }
    config.sink.copyBytes = true;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config)) << c.pszCase;
    EXPECT_EQ(c.bSeparate, !!chain.spy->m_bSeparateAllocators) << c.pszCase;
    EXPECT_EQ(c.bSeparate, !!chain.spy->m_apIn->m_bOwnAllocator) << c.pszCase;

    ASSERT_TRUE(chain.graph.RunToCompletion(20000)) << c.pszCase;

    const std::vector<dsfix::PushRecord> pushes = chain.source->Pushes();
    const std::vector<dsfix::SampleRecord> got = chain.sink->Samples();
    ASSERT_EQ(static_cast<size_t>(kSamples), pushes.size());
    ASSERT_EQ(static_cast<size_t>(kSamples), got.size());
    for (size_t i = 0; i < got.size(); ++i)
    {
        EXPECT_EQ(S_OK, pushes[i].receiveHr) << i;
        EXPECT_EQ(static_cast<long>(i), got[i].number) << i;
        EXPECT_TRUE(got[i].patternOk) << i << ": bad byte at " << got[i].firstBad;
        EXPECT_EQ(pushes[i].actualLength, got[i].actualLength) << i;
        EXPECT_EQ(S_OK, got[i].timeHr) << i;
        EXPECT_EQ(static_cast<REFERENCE_TIME>(i) * 400000, got[i].start) << i;
        EXPECT_EQ(static_cast<REFERENCE_TIME>(i + 1) * 400000, got[i].stop) << i;
        EXPECT_EQ(S_OK, got[i].mediaTimeHr) << i;
        EXPECT_EQ(static_cast<LONGLONG>(i), got[i].mediaStart) << i;
        EXPECT_TRUE(got[i].syncPoint) << i;
        if (c.bSeparate)
        {
            EXPECT_NE(pushes[i].buffer, got[i].buffer) << i << ": a copy in a buffer of the output allocator";
        }
        else
        {
            EXPECT_EQ(pushes[i].buffer, got[i].buffer) << i << ": the source's own buffer";
        }
    }
    EXPECT_EQ(static_cast<ULONGLONG>(kSamples), chain.spy->m_llSamples);
    EXPECT_EQ(1, chain.sink->Records().endOfStreams);

    // A second run from Stopped streams again.
    chain.sink->ClearRecords();
    ASSERT_TRUE(chain.graph.RunToCompletion(20000)) << c.pszCase;
    EXPECT_EQ(static_cast<size_t>(kSamples), chain.sink->Samples().size());
    EXPECT_EQ(static_cast<ULONGLONG>(2 * kSamples), chain.spy->m_llSamples);
}

INSTANTIATE_TEST_SUITE_P(
    Allocators, SpyWayTest,
    ::testing::Values(WayCase{ "one allocator, video", dsfix::SourceAllocator::Own, true, false },
                      WayCase{ "one allocator, stream", dsfix::SourceAllocator::Own, false, false },
                      WayCase{ "separate, video (picture copier)", dsfix::SourceAllocator::Downstream, true, true },
                      WayCase{ "separate, stream (plain copier)", dsfix::SourceAllocator::Downstream, false, true }));

// Every delivery sample goes back to its allocator: a stream many times
// longer than the output allocator's buffers still flows.
TEST_F(SpyGraphTest, DeliverySamplesGoBackToTheirAllocator)
{
    dsfix::HangWatchdog watchdog(60000, "delivery samples");
    SpyChainConfig config;
    config.source.sampleCount = 200;
    config.source.mediaTypes = { dsfix::StreamType(MEDIASUBTYPE_None, 256) };
    config.source.sampleSize = 256;
    config.source.allocatorMode = dsfix::SourceAllocator::Downstream;
    config.sink.hasRequirements = true;
    config.sink.requirements = { 2, 256, 1, 0 };
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_TRUE(chain.spy->m_bSeparateAllocators);
    ASSERT_TRUE(chain.graph.RunToCompletion(30000));
    EXPECT_EQ(200u, chain.sink->Samples().size());
}

// ---------------------------------------------------------------------------
// Trace lines

TEST_F(SpyGraphTest, EachSampleLeavesItsDumpAndItsLagLineAtLevelZero)
{
    dsfix::HangWatchdog watchdog(60000, "trace lines");
    const long kSamples = 5;
    SpyChainConfig config;
    config.source.sampleCount = kSamples;
    config.eDown = SpyDown::NullRenderer;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    m_log.Reset();
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));

    CFakeLog fake((ProgramFolder() + L"fakelog.dll").c_str(), false);
    const std::wstring sName = chain.spy->GetTraceName();
    const std::vector<std::wstring> dumps = RawLinesStarting(fake, sName + L" tS=");
    ASSERT_EQ(static_cast<size_t>(kSamples), dumps.size());
    for (long i = 0; i < kSamples; ++i)
    {
        EXPECT_EQ(WCHAR(1), dumps[i][0]) << "level 0";
        const std::wstring sTimes =
            sName + L" tS=" + TimeText(i * 400000LL) + L"  tE=" + TimeText((i + 1) * 400000LL) + L"  ";
        EXPECT_EQ(0u, dumps[i].find(sTimes, 1) - 1) << i;
    }
    const std::vector<std::wstring> lags = RawLinesStarting(fake, sName + L" Diff=");
    ASSERT_EQ(static_cast<size_t>(kSamples), lags.size());
    for (long i = 0; i < kSamples; ++i)
    {
        EXPECT_EQ(WCHAR(1), lags[i][0]) << "level 0";
        EXPECT_NE(std::wstring::npos, lags[i].find(L", tS=" + TimeText(i * 400000LL) + L", tStart=")) << i;
    }
    EXPECT_FALSE(m_log.HasLineContaining(L"Empty pointer to IReferenceClock"));
}

TEST_F(SpyGraphTest, WithoutAClockTheLagLineSaysSo)
{
    dsfix::HangWatchdog watchdog(60000, "no clock");
    const long kSamples = 4;
    SpyChainConfig config;
    config.source.sampleCount = kSamples;
    config.bNoClock = true;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    m_log.Reset();
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    const std::wstring sLine =
        Fmt(L"###Err### %s Debug_SampleLag(): Empty pointer to IReferenceClock\n", chain.spy->GetTraceName());
    EXPECT_EQ(static_cast<size_t>(kSamples), SpyLinesWith(m_log, sLine).size());
    EXPECT_EQ(0, m_log.LevelOf(sLine));
    EXPECT_EQ(static_cast<size_t>(kSamples), chain.sink->Samples().size());
}

TEST_F(SpyGraphTest, CheckPositioningTimesEveryDeliveryOnlyWhenSwitchedOn)
{
    for (DWORD dwOn : { 1u, 0u })
    {
        dsfix::HangWatchdog watchdog(60000, "check positioning");
        ASSERT_TRUE(CSpySettings::SetDword(L"Check positioning", dwOn));
        const long kSamples = 6;
        SpyChainConfig config;
        config.source.sampleCount = kSamples;
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(config));
        EXPECT_EQ(dwOn, chain.spy->m_bCheckPositioning);
        m_log.Reset();
        ASSERT_TRUE(chain.graph.RunToCompletion(20000));
        const std::vector<std::wstring> durs = SpyLinesWith(m_log, Fmt(L"%s Dur=", chain.spy->GetTraceName()));
        EXPECT_EQ(dwOn ? static_cast<size_t>(kSamples) : 0u, durs.size()) << "on: " << dwOn;
        for (const std::wstring& s : durs)
        {
            EXPECT_EQ(L" ms\n", s.substr(s.size() - 4));
            EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(s)));
        }
    }
}

// The calls that pass along the stream are traced, then forwarded.
TEST_F(SpyGraphTest, StreamCallsAreTracedAndForwarded)
{
    dsfix::HangWatchdog watchdog(60000, "stream calls");
    SpyChainConfig config;
    config.source.sampleCount = 2;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    chain.spy->m_bCheckPositioning = 1;
    m_log.Reset();
    const LPCWSTR pszName = chain.spy->GetTraceName();

    EXPECT_EQ(S_OK, chain.source->DeliverBeginFlush());
    EXPECT_EQ(1, chain.spy->m_perf.m_bFlush) << "a flush arms the latency measurement";
    EXPECT_EQ(S_OK, chain.source->DeliverEndFlush());
    EXPECT_EQ(S_OK, chain.source->DeliverNewSegment(0, 20000000, 1.5));
    EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(Fmt(L"%s BeginFlush()\n", pszName))));
    EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(Fmt(L"%s EndFlush()\n", pszName))));
    EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(Fmt(L"%s NewSegment( %s, %s, %g)\n", pszName,
                                                             TimeText(0).c_str(), TimeText(20000000).c_str(), 1.5))));

    Quality q = { Flood, 900, 10000, 400000 };
    EXPECT_EQ(S_OK, chain.sink->SendQuality(q));
    EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(Fmt(L"%s QualityNotify()\n", pszName))));
    ASSERT_EQ(1u, chain.source->Records().quality.size());
    EXPECT_EQ(900, chain.source->Records().quality[0].quality.Proportion);

    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_EQ(0, chain.spy->m_perf.m_bFlush) << "the first sample ends the measurement";
    EXPECT_EQ(1, chain.spy->m_perf.m_arrFlush.GetSize());
    EXPECT_TRUE(m_log.HasLine(Fmt(L"%s EndOfStream()\n", pszName)));

    std::vector<dsfix::SinkEvent::Kind> kinds;
    for (const dsfix::SinkEvent& e : chain.sink->Events())
        kinds.push_back(e.kind);
    ASSERT_GE(kinds.size(), 4u);
    EXPECT_EQ(dsfix::SinkEvent::BeginFlush, kinds[0]);
    EXPECT_EQ(dsfix::SinkEvent::EndFlush, kinds[1]);
    EXPECT_EQ(dsfix::SinkEvent::NewSegment, kinds[2]);
    EXPECT_EQ(dsfix::SinkEvent::EndOfStream, kinds[3]);
}

// ---------------------------------------------------------------------------
// Count and bitrate

TEST_F(SpyGraphTest, AKnownStreamGivesItsCountAndBitrate)
{
    dsfix::HangWatchdog watchdog(60000, "bitrate");
    SpyChainConfig config;
    config.source.sampleCount = 3;
    config.source.mediaTypes = { dsfix::StreamType(MEDIASUBTYPE_None, 1000) };
    config.source.sampleSize = 1000;
    config.source.frameDuration = 400000;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_EQ(3u, chain.spy->m_llSamples);
    EXPECT_EQ(200000u, chain.spy->m_nBitrate);
    EXPECT_EQ(2000, chain.spy->m_llTotalBytes);
    EXPECT_EQ(800000, chain.spy->m_llTotalTime);
    EXPECT_EQ(1000, chain.spy->m_llBytes);
    EXPECT_EQ(800000, chain.spy->m_tPrev);
}

TEST_F(SpyGraphTest, PcmCountsFramesVideoCountsSamples)
{
    struct Case
    {
        const char* pszCase;
        dsfix::MediaType mt;
        long cbSample;
        ULONGLONG llCount;
    };
    const Case cases[] = {
        { "PCM, 4-byte frames", WaveType(WAVE_FORMAT_PCM, 4, sizeof(WAVEFORMATEX)), 4096, 3 * 1024 },
        { "PCM without block size", WaveType(WAVE_FORMAT_PCM, 0, sizeof(WAVEFORMATEX)), 4096, 3 },
        { "video", TestVideoType(), 0, 3 },
    };
    for (const Case& c : cases)
    {
        dsfix::HangWatchdog watchdog(60000, c.pszCase);
        SpyChainConfig config;
        config.source.sampleCount = 3;
        config.source.mediaTypes = { c.mt };
        config.source.sampleSize = c.cbSample;
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(config)) << c.pszCase;
        ASSERT_TRUE(chain.graph.RunToCompletion(20000)) << c.pszCase;
        EXPECT_EQ(c.llCount, chain.spy->m_llSamples) << c.pszCase;
        EXPECT_EQ(3u, chain.sink->Samples().size()) << c.pszCase;
    }
}

// ---------------------------------------------------------------------------
// Downstream answers

TEST_F(SpyGraphTest, DownstreamRefusalsGoBackUpstreamUnchanged)
{
    struct Case
    {
        const char* pszCase;
        HRESULT hr;
        const wchar_t* pszFormat;
        UINT nLevel;
    };
    const Case cases[] = {
        { "S_FALSE", S_FALSE, L"%s SendSample(): m_spMemInput->Receive()=S_FALSE\n", eTL_Info },
        { "error", E_UNEXPECTED, L"###Err### %s SendSample(): m_spMemInput->Receive()=0x8000FFFF\n", eTL_Error },
    };
    for (const Case& c : cases)
    {
        dsfix::HangWatchdog watchdog(60000, c.pszCase);
        SpyChainConfig config;
        config.source.sampleCount = 10;
        config.sink.receiveResults[3] = c.hr;
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(config)) << c.pszCase;
        ASSERT_TRUE(RunUntilSourceEnds(chain)) << c.pszCase;
        const std::vector<dsfix::PushRecord> pushes = chain.source->Pushes();
        ASSERT_EQ(4u, pushes.size()) << c.pszCase << ": the source stops at the refusal";
        EXPECT_EQ(c.hr, pushes[3].receiveHr) << c.pszCase;
        const std::wstring sLine = Fmt(c.pszFormat, chain.spy->m_apOut->GetTraceName());
        EXPECT_EQ(static_cast<int>(c.nLevel), m_log.LevelOf(sLine)) << c.pszCase;
        // The refused sample is counted all the same.
        EXPECT_EQ(4u, chain.spy->m_llSamples) << c.pszCase;
    }
}

// ---------------------------------------------------------------------------
// Odd samples

struct OddCase
{
    const char* pszCase;
    dsfix::SourceAllocator eSourceAlloc;
    bool bSeparate;
};

class SpyOddSampleTest : public SpyGraphTest, public ::testing::WithParamInterface<OddCase>
{
};

TEST_P(SpyOddSampleTest, OddSamplesPassLikeAnyOther)
{
    const OddCase& c = GetParam();
    dsfix::HangWatchdog watchdog(60000, c.pszCase);
    const dsfix::MediaType mtStream = dsfix::StreamType(MEDIASUBTYPE_None, 4096);
    const dsfix::MediaType mtOther = dsfix::StreamType(MEDIASUBTYPE_None, 2048);
    SpyChainConfig config;
    config.source.sampleCount = 10;
    config.source.mediaTypes = { mtStream };
    config.source.sampleSize = 4096;
    config.source.allocatorMode = c.eSourceAlloc;
    config.source.specials[1].discontinuity = true;
    config.source.specials[2].noTimes = true;
    config.source.specials[3].zeroLength = true;
    config.source.specials[4].mediaType = mtOther;
    config.source.specials[5].preroll = true;
    config.source.specials[6].notSyncPoint = true;
    config.source.specials[7].actualLength = 1;
    config.source.specials[8].zeroLength = true;
    config.source.specials[8].noTimes = true;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config)) << c.pszCase;
    ASSERT_EQ(c.bSeparate, !!chain.spy->m_bSeparateAllocators) << c.pszCase;
    ASSERT_TRUE(chain.graph.RunToCompletion(20000)) << c.pszCase;

    const std::vector<dsfix::PushRecord> pushes = chain.source->Pushes();
    const std::vector<dsfix::SampleRecord> got = chain.sink->Samples();
    ASSERT_EQ(10u, pushes.size());
    ASSERT_EQ(10u, got.size()) << c.pszCase;
    for (size_t i = 0; i < got.size(); ++i)
    {
        EXPECT_EQ(S_OK, pushes[i].receiveHr) << c.pszCase << ", " << i;
        EXPECT_EQ(pushes[i].actualLength, got[i].actualLength) << c.pszCase << ", " << i;
        if (got[i].actualLength >= 4)
        {
            EXPECT_EQ(static_cast<long>(i), got[i].number) << c.pszCase << ", " << i;
            EXPECT_TRUE(got[i].patternOk) << c.pszCase << ", " << i;
        }
        EXPECT_EQ(1 == i, got[i].discontinuity) << c.pszCase << ", " << i;
        EXPECT_EQ(5 == i, got[i].preroll) << c.pszCase << ", " << i;
        EXPECT_EQ(6 != i, got[i].syncPoint) << c.pszCase << ", " << i;
        const bool bUntimed = (2 == i || 8 == i);
        EXPECT_EQ(bUntimed ? VFW_E_SAMPLE_TIME_NOT_SET : S_OK, got[i].timeHr) << c.pszCase << ", " << i;
        EXPECT_EQ(4 == i, !got[i].mediaType.Empty()) << c.pszCase << ", " << i;
    }
    EXPECT_TRUE(got[4].mediaType == mtOther) << c.pszCase;
    EXPECT_EQ(10u, chain.spy->m_llSamples);
    // On the pass-through path the type change is traced, and the output pin
    // takes the downstream pin's type after the delivery.
    if (!c.bSeparate)
    {
        EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(
                                 Fmt(L"%s: Filter_SendSample(): sample has media type\n", chain.spy->GetTraceName()))));
        EXPECT_TRUE(chain.sink->CurrentType() == mtOther);
        EXPECT_TRUE(dsfix::MediaType(chain.spy->m_apOut->m_mt) == chain.sink->CurrentType());
    }
}

INSTANTIATE_TEST_SUITE_P(Allocators, SpyOddSampleTest,
                         ::testing::Values(OddCase{ "one allocator", dsfix::SourceAllocator::Own, false },
                                           OddCase{ "separate", dsfix::SourceAllocator::Downstream, true }));

// A picture whose type changed to one the picture copier cannot lay into the
// output buffer is not delivered: the sink would get an older picture under
// this sample's times.
TEST_F(SpyGraphTest, ASampleThatCannotBeCopiedIsNotDelivered)
{
    dsfix::HangWatchdog watchdog(60000, "copy fails");
    SpyChainConfig config;
    config.source.sampleCount = 6;
    config.source.allocatorMode = dsfix::SourceAllocator::Downstream;
    config.source.specials[2].mediaType = dsfix::VideoType(MEDIASUBTYPE_YUY2, 320, 120);
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_TRUE(chain.spy->m_bSeparateAllocators);
    ASSERT_TRUE(RunUntilSourceEnds(chain));
    const std::vector<dsfix::PushRecord> pushes = chain.source->Pushes();
    ASSERT_EQ(3u, pushes.size());
    EXPECT_TRUE(FAILED(pushes[2].receiveHr));
    EXPECT_EQ(2u, chain.sink->Samples().size());
    EXPECT_EQ(2u, chain.spy->m_llSamples) << "a sample not delivered is not counted";
    EXPECT_TRUE(m_log.HasLine(Fmt(L"###Err### %s Filter_SendSample(): copy into the delivery sample failed, hr=0x%X, "
                                  L"sample not delivered\n",
                                  chain.spy->GetTraceName(), pushes[2].receiveHr)));
}

// ---------------------------------------------------------------------------
// Difference file

TEST_F(SpyGraphTest, RunningSamplesFillTheDifferenceFile)
{
    dsfix::HangWatchdog watchdog(240000, "difference file");
    WCHAR szDir[MAX_PATH];
    GetTempPathW(MAX_PATH, szDir);
    const std::wstring sPath = std::wstring(szDir) + L"spy_graph_diff.bin";
    const long kSamples = 16386;
    SpyChainConfig config;
    config.source.sampleCount = kSamples;
    config.source.mediaTypes = { dsfix::StreamType(MEDIASUBTYPE_None, 16) };
    config.source.sampleSize = 16;
    config.source.credit = 0;
    config.bNoClock = true;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    lstrcpynW(chain.spy->m_szDiffFile, sPath.c_str(), MAX_PATH);
    ASSERT_EQ(S_OK, chain.spy->OpenDiffFile());

    {
        CSilentLog silent; // two lines for each of 16,386 samples
        ASSERT_TRUE(SUCCEEDED(chain.graph.Run()));
        for (int i = 0; i < 2000 && State_Running != chain.spy->FilterState(); ++i)
            Sleep(5);
        ASSERT_EQ(State_Running, chain.spy->FilterState());
        chain.source->AllowAll();
        EXPECT_TRUE(chain.sink->WaitForEndOfStream(1, 200000));
        EXPECT_TRUE(SUCCEEDED(chain.graph.Stop()));
    }
    EXPECT_EQ(static_cast<size_t>(kSamples), chain.sink->Samples().size());
    // The first sample only starts the clock; 16,385 entries follow: one
    // full buffer written, one entry waiting.
    EXPECT_EQ(16384u, chain.spy->m_nDiffTotal);
    EXPECT_EQ(1u, chain.spy->m_nDiffBuffered);
    chain.spy->m_fileDiff.Close();
    const HANDLE h = CreateFileW(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    LARGE_INTEGER li;
    GetFileSizeEx(h, &li);
    DWORD dwCount = 0xFFFFFFFF;
    DWORD cbRead = 0;
    ReadFile(h, &dwCount, 4, &cbRead, NULL);
    CloseHandle(h);
    EXPECT_EQ(4 + 65536, li.QuadPart);
    EXPECT_EQ(0u, dwCount);
    DeleteFileW(sPath.c_str());
}

} // namespace
