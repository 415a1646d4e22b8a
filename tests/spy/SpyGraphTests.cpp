// The spy filter in Wine's filter graph manager, between the test source and
// the test sink or Wine's Null Renderer: every sample passes unchanged and in
// order, in the source's own buffer when one allocator serves both
// connections and as a copy otherwise; every sample leaves its two trace
// lines; the count, the bitrate and the difference file follow the stream;
// odd samples and downstream refusals go through as they should.
#include "SpyTestSupport.h"

#include "dsfix/Faults.h"

namespace {

class SpyGraphTest : public FilterTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_log.IsBound());
        ASSERT_TRUE(CSpySettings::RemoveKey());
    }
    // The count that the spy's last Stop traced.
    ULONGLONG LastStopCount(SpyChain& chain)
    {
        const std::vector<ULONGLONG> v = StopCounts(m_log, chain.spy->GetTraceName());
        EXPECT_FALSE(v.empty()) << "no Stop traced its count";
        return v.empty() ? ~0ULL : v.back();
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

// Waits until the spy is in eState (the graph manager may change the states
// of its filters after its own call returns).
bool WaitForSpyState(SpyChain& chain, FILTER_STATE eState)
{
    for (int i = 0; i < 4000 && eState != chain.spy->FilterState(); ++i)
        Sleep(5);
    return eState == chain.spy->FilterState();
}

// A source that pushes nothing until the test allows it, so that every
// sample of a stream can be made to pass while the spy runs; 16-byte samples
// without a clock, so that long streams are quick.
SpyChainConfig HeldBackStream(long nSamples)
{
    SpyChainConfig config;
    config.source.sampleCount = nSamples;
    config.source.mediaTypes = { dsfix::StreamType(MEDIASUBTYPE_None, 16) };
    config.source.sampleSize = 16;
    config.source.credit = 0;
    config.bNoClock = true;
    return config;
}

// Runs the graph, lets the held-back source go once the spy runs and waits
// for the end of its stream; the graph is left running.
bool StreamWhileRunning(SpyChain& chain, DWORD dwMs = 200000)
{
    if (FAILED(chain.graph.Run()) || !WaitForSpyState(chain, State_Running))
        return false;
    chain.source->AllowAll();
    return chain.sink->WaitForEndOfStream(1, dwMs);
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
    config.source.allocatorMode = dsfix::SourceAllocator::Own;
    if (c.bSeparate)
        UseSeparateAllocators(config);
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
    EXPECT_EQ(static_cast<ULONGLONG>(kSamples), LastStopCount(chain));
    EXPECT_EQ(0u, chain.spy->m_llSamples) << "Stop starts the count again";
    EXPECT_EQ(1, chain.sink->Records().endOfStreams);

    // A second run from Stopped streams again, and counts from 0.
    chain.sink->ClearRecords();
    ASSERT_TRUE(chain.graph.RunToCompletion(20000)) << c.pszCase;
    EXPECT_EQ(static_cast<size_t>(kSamples), chain.sink->Samples().size());
    EXPECT_EQ(static_cast<ULONGLONG>(kSamples), LastStopCount(chain));
}

INSTANTIATE_TEST_SUITE_P(
    Allocators, SpyWayTest,
    ::testing::Values(WayCase{ "one allocator, video", true, false },
                      WayCase{ "one allocator, stream", false, false },
                      WayCase{ "separate, video (picture copier)", true, true },
                      WayCase{ "separate, stream (plain copier)", false, true }));

// Every delivery sample goes back to its allocator: a stream many times
// longer than the output allocator's buffers still flows.
TEST_F(SpyGraphTest, DeliverySamplesGoBackToTheirAllocator)
{
    dsfix::HangWatchdog watchdog(60000, "delivery samples");
    SpyChainConfig config;
    config.source.sampleCount = 200;
    config.source.mediaTypes = { dsfix::StreamType(MEDIASUBTYPE_None, 256) };
    config.source.sampleSize = 256;
    config.sink.requirements = { 3, 256, 1, 0 };
    UseSeparateAllocators(config);
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
    // All samples while Running: the Run starts the bitrate afresh.
    SpyChainConfig config = HeldBackStream(3);
    config.source.mediaTypes = { dsfix::StreamType(MEDIASUBTYPE_None, 1000) };
    config.source.sampleSize = 1000;
    config.source.frameDuration = 400000;
    config.bNoClock = false;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_TRUE(StreamWhileRunning(chain));
    ASSERT_TRUE(SUCCEEDED(chain.graph.Stop()));
    EXPECT_EQ(3u, LastStopCount(chain));
    // Stop leaves the bitrate as the stream left it.
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
        { "PCM in a 16-byte block", WaveType(WAVE_FORMAT_PCM, 4, sizeof(PCMWAVEFORMAT)), 4096, 3 * 1024 },
        { "video", TestVideoType(), 0, 3 },
    };
    for (const Case& c : cases)
    {
        dsfix::HangWatchdog watchdog(60000, c.pszCase);
        m_log.Reset();
        SpyChainConfig config;
        config.source.sampleCount = 3;
        config.source.mediaTypes = { c.mt };
        config.source.sampleSize = c.cbSample;
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(config)) << c.pszCase;
        ASSERT_TRUE(chain.graph.RunToCompletion(20000)) << c.pszCase;
        EXPECT_EQ(c.llCount, LastStopCount(chain)) << c.pszCase;
        EXPECT_EQ(3u, chain.sink->Samples().size()) << c.pszCase;
        // Every one of these types is valid: no line reports an error.
        for (const std::wstring& s : m_log.Lines())
            EXPECT_EQ(std::wstring::npos, s.find(L"###Err###")) << c.pszCase << ": " << s;
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
        EXPECT_EQ(4u, LastStopCount(chain)) << c.pszCase;
    }
}

// ---------------------------------------------------------------------------
// Odd samples

struct OddCase
{
    const char* pszCase;
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
    config.source.allocatorMode = dsfix::SourceAllocator::Own;
    if (c.bSeparate)
        UseSeparateAllocators(config);
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
    EXPECT_EQ(10u, LastStopCount(chain));
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
                         ::testing::Values(OddCase{ "one allocator", false },
                                           OddCase{ "separate", true }));

// Pictures on separate allocators, sample nAt of them carrying a type of
// another height than the connection's: the picture copier cannot lay it
// into the output buffer.
SpyChainConfig PictureOfAnotherHeightAt(long nSamples, long nAt)
{
    SpyChainConfig config;
    config.source.sampleCount = nSamples;
    UseSeparateAllocators(config);
    config.source.specials[nAt].mediaType = dsfix::VideoType(MEDIASUBTYPE_YUY2, 320, 120);
    return config;
}

// The chain running with the source held back, so that the test hands the
// spy's input its own samples: video, with one allocator or two.
bool RunWithoutSource(SpyChain& chain, bool bSeparate)
{
    SpyChainConfig config;
    config.source.sampleCount = 1;
    config.source.credit = 0;
    config.bNoClock = true;
    if (bSeparate)
        UseSeparateAllocators(config);
    if (S_OK != chain.Build(config) || bSeparate != !!chain.spy->m_bSeparateAllocators)
        return false;
    return SUCCEEDED(chain.graph.Run()) && WaitForSpyState(chain, State_Running);
}

HRESULT ReceiveOn(SpyChain& chain, IMediaSample* pSample)
{
    CComQIPtr<IMemInputPin> spMemIn(chain.spy.In());
    return spMemIn ? spMemIn->Receive(pSample) : E_NOINTERFACE;
}

// A copy into the delivery sample that fails is not delivered (the sink
// would get an older picture, or none, under this sample's times), but the
// spy ends no stream the graph would have played: the source is answered
// S_OK, the failure is traced and the sample is counted. Here a type change
// gives a picture the copier cannot lay into the output buffers.
TEST_F(SpyGraphTest, ASampleThatCannotBeCopiedIsCountedNotDeliveredAndTheStreamGoesOn)
{
    dsfix::HangWatchdog watchdog(60000, "copy fails");
    const long kSamples = 6;
    SpyChainConfig config = PictureOfAnotherHeightAt(kSamples, 2);
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_TRUE(chain.spy->m_bSeparateAllocators);
    ASSERT_TRUE(RunUntilSourceEnds(chain));
    const std::vector<dsfix::PushRecord> pushes = chain.source->Pushes();
    ASSERT_EQ(static_cast<size_t>(kSamples), pushes.size()) << "the stream went on";
    for (size_t i = 0; i < pushes.size(); ++i)
        EXPECT_EQ(S_OK, pushes[i].receiveHr) << i;
    const std::vector<dsfix::SampleRecord> got = chain.sink->Samples();
    ASSERT_GE(got.size(), 2u);
    EXPECT_LE(got.size(), static_cast<size_t>(kSamples - 1)) << "sample 2 cannot be copied";
    EXPECT_EQ(0, got[0].number);
    EXPECT_EQ(1, got[1].number);
    EXPECT_EQ(static_cast<ULONGLONG>(kSamples), LastStopCount(chain)) << "every sample is counted";
    EXPECT_EQ(static_cast<size_t>(kSamples) - got.size(),
              m_log.CountContaining(Fmt(L"###Err### %s Filter_SendSample(): copy into the delivery sample failed, hr=",
                                        chain.spy->GetTraceName())));
    EXPECT_EQ(1, chain.sink->Records().endOfStreams);
}

// A sample from upstream whose buffer faults when read: the guarded copy
// reports the fault, and the stream goes on as for any failed copy.
TEST_F(SpyGraphTest, ASampleWhoseBufferFaultsIsReportedCountedAndNotDelivered)
{
    dsfix::HangWatchdog watchdog(60000, "faulting buffer");
    SpyChain chain;
    ASSERT_TRUE(RunWithoutSource(chain, true));
    const long cbPicture = 320 * 240 * 2;
    CWineSamples samples(cbPicture, 2);
    CComPtr<IMediaSample> spReal = samples.Get(cbPicture);
    ASSERT_TRUE(spReal != NULL);
    dsfix::ComPtr<dsfix::FaultySample> spFaulty;
    spFaulty.Attach(new dsfix::FaultySample(spReal));
    spFaulty->unreadable = true;
    m_log.Reset();
    EXPECT_EQ(S_OK, ReceiveOn(chain, spFaulty.Get()));
    EXPECT_TRUE(m_log.HasLineContaining(L"): Exception 0xC0000005\n")) << "the guarded copy reports the fault";
    EXPECT_TRUE(m_log.HasLineContaining(
        Fmt(L"###Err### %s Filter_SendSample(): copy into the delivery sample failed", chain.spy->GetTraceName())));
    EXPECT_EQ(0u, chain.sink->Samples().size());

    // The next sample passes: nothing was left locked or half done.
    EXPECT_EQ(S_OK, ReceiveOn(chain, spReal));
    EXPECT_EQ(1u, chain.sink->Samples().size());
    EXPECT_EQ(S_OK, chain.graph.Stop());
    EXPECT_EQ(2u, LastStopCount(chain));
    EXPECT_EQ(1u, spFaulty->RefCount()) << "the spy keeps no reference on the sample";
}

// A sample that says it carries a new type (GetMediaType answers S_OK) but
// gives none is refused like a type the pin does not accept: it is neither
// passed on nor taken for the pin's type.
TEST_F(SpyGraphTest, ASampleThatClaimsATypeButGivesNoneIsRefused)
{
    dsfix::HangWatchdog watchdog(60000, "type without type");
    SpyChain chain;
    ASSERT_TRUE(RunWithoutSource(chain, false));
    const dsfix::MediaType mtBefore(chain.spy->m_apIn->m_mt);
    CWineSamples samples(320 * 240 * 2, 2);
    CComPtr<IMediaSample> spReal = samples.Get(320 * 240 * 2);
    ASSERT_TRUE(spReal != NULL);
    dsfix::ComPtr<dsfix::FaultySample> spFaulty;
    spFaulty.Attach(new dsfix::FaultySample(spReal));
    spFaulty->typeWithoutType = true;
    m_log.Reset();
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, ReceiveOn(chain, spFaulty.Get()));
    EXPECT_EQ(eTL_Error,
              static_cast<UINT>(m_log.LevelOf(Fmt(L"###Err### %s SetMediaTypeFromSample(): new mediatype is not accepted\n",
                                                  chain.spy->m_apIn->GetTraceName()))));
    EXPECT_EQ(0u, chain.sink->Samples().size());
    EXPECT_TRUE(dsfix::MediaType(chain.spy->m_apIn->m_mt) == mtBefore);

    EXPECT_EQ(S_OK, ReceiveOn(chain, spReal));
    EXPECT_EQ(1u, chain.sink->Samples().size());
    EXPECT_EQ(S_OK, chain.graph.Stop());
}

// The checks of the sample road reach the log under the text the filter
// states for them, whichever result they test: a picture whose attached type
// has another height than the output's fails the destination properties and
// then the copy, each an assertion "hr == S_OK".
TEST_F(SpyGraphTest, SampleRoadAssertionsReadAsTheCheckTheyMake)
{
    dsfix::HangWatchdog watchdog(60000, "sample road assertions");
    SpyChainConfig config = PictureOfAnotherHeightAt(4, 1);
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_TRUE(chain.spy->m_bSeparateAllocators);
    ASSERT_TRUE(RunUntilSourceEnds(chain));
    size_t nRoad = 0;
    for (const std::wstring& s : m_log.Lines())
    {
        if (s.compare(0, 10, L"###Err###\n") != 0 || s.find(L"SampleRoad.cpp(") == std::wstring::npos)
            continue;
        ++nRoad;
        EXPECT_NE(std::wstring::npos, s.find(L"): ASSERT( \"hr == S_OK\" )\n")) << s;
    }
    EXPECT_LE(2u, nRoad) << "the destination properties and the copy";
}

// ---------------------------------------------------------------------------
// State changes: the count, the flush latencies, the difference file and the
// bitrate

TEST_F(SpyGraphTest, StopTracesTheCountInDigitGroupsAndStartsItAgain)
{
    struct Case
    {
        const char* pszCase;
        bool bInGraph;      // else a filter in no graph, whose template Stop fails
        bool bPath;         // a difference-file path is set (no file is open when Stopped)
        ULONGLONG llCount;
        const wchar_t* pszCount;
        HRESULT hr;
    };
    const Case cases[] = {
        { "no samples", true, false, 0, L"0", S_OK },
        { "seven digits", true, false, 1234567, L"1 234 567", S_OK },
        { "a path, no file open", true, true, 1000, L"1 000", S_OK },
        { "the template's failure", false, false, 999, L"999", VFW_E_NOT_CONNECTED },
        { "the template's failure with a path", false, true, 1000000, L"1 000 000", VFW_E_NOT_CONNECTED },
    };
    const std::wstring sPath = TempFile(L"spy_stop_count.bin");
    DeleteFileW(sPath.c_str());
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(SpyChainConfig()));
    for (const Case& c : cases)
    {
        CSpyPtr alone;
        SpyObject* pSpy = c.bInGraph ? chain.spy.Get() : alone.Get();
        lstrcpynW(pSpy->m_szDiffFile, c.bPath ? sPath.c_str() : L"", MAX_PATH);
        pSpy->m_llSamples = c.llCount;
        m_log.Reset();
        EXPECT_EQ(c.hr, static_cast<IBaseFilter*>(pSpy)->Stop()) << c.pszCase;
        const std::wstring sLine =
            Fmt(L"%s Stop(): Through the filter has passed %s samples\n", pSpy->GetTraceName(), c.pszCount);
        EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(sLine))) << c.pszCase;
        EXPECT_EQ(0u, pSpy->m_llSamples) << c.pszCase;
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(sPath.c_str())) << c.pszCase << ": no file made";
    }
}

// Each Pause from Stopped creates the file anew with a zero count; the
// entries are made only while the filter runs, and Stop writes their number.
TEST_F(SpyGraphTest, EveryPauseFromStoppedCreatesTheDifferenceFileAnew)
{
    dsfix::HangWatchdog watchdog(60000, "pause, stop, pause");
    const std::wstring sPath = TempFile(L"spy_pause_twice.bin");
    ASSERT_TRUE(CSpySettings::SetText(L"Difference file", sPath));
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(HeldBackStream(5)));
    ASSERT_STREQ(sPath.c_str(), chain.spy->m_szDiffFile);

    ASSERT_TRUE(StreamWhileRunning(chain));
    EXPECT_TRUE(chain.spy->m_fileDiff.IsOpen());
    EXPECT_GT(chain.spy->m_dwFreq, 0u);
    ASSERT_TRUE(SUCCEEDED(chain.graph.Stop()));
    EXPECT_FALSE(chain.spy->m_fileDiff.IsOpen());
    std::vector<BYTE> bytes = ReadFileBytes(sPath);
    ASSERT_EQ(4u + 4 * 4u, bytes.size());
    EXPECT_EQ(4u, DwordAt(bytes, 0));

    // Paused again: a new file. The source streams again at once, while the
    // spy is Paused, which makes no entry.
    ASSERT_TRUE(SUCCEEDED(chain.graph.Pause()));
    ASSERT_TRUE(WaitForSpyState(chain, State_Paused));
    EXPECT_TRUE(chain.spy->m_fileDiff.IsOpen());
    EXPECT_EQ(0u, chain.spy->m_nDiffTotal);
    EXPECT_EQ(0u, chain.spy->m_nDiffBuffered);
    ASSERT_TRUE(SUCCEEDED(chain.graph.Stop()));
    EXPECT_EQ((std::vector<BYTE>{ 0, 0, 0, 0 }), ReadFileBytes(sPath));
    DeleteFileW(sPath.c_str());
}

// After a stream, the count in front equals the entries behind it: one for
// each sample that arrived while Running, except the first one after the
// file was made; a pause in between does not restart the clock.
TEST_F(SpyGraphTest, TheDifferenceFileCountsEverySampleWhileRunningButTheFirst)
{
    struct Case
    {
        const char* pszCase;
        std::vector<long> segments; // samples of each run; the graph pauses between runs
        DWORD nEntries;
    };
    const Case cases[] = {
        { "one run", { 5 }, 4 },
        { "paused and run again", { 3, 4 }, 6 },
        { "one full buffer and one entry", { 16386 }, 16385 },
    };
    const std::wstring sPath = TempFile(L"spy_stream_diff.bin");
    ASSERT_TRUE(CSpySettings::SetText(L"Difference file", sPath));
    for (const Case& c : cases)
    {
        dsfix::HangWatchdog watchdog(240000, c.pszCase);
        long nTotal = 0;
        for (long n : c.segments)
            nTotal += n;
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(HeldBackStream(nTotal))) << c.pszCase;
        {
            CSilentLog silent; // two lines for every sample
            ASSERT_TRUE(SUCCEEDED(chain.graph.Run())) << c.pszCase;
            long nAllowed = 0;
            for (size_t i = 0; i < c.segments.size(); ++i)
            {
                if (i > 0)
                {
                    ASSERT_TRUE(SUCCEEDED(chain.graph.Pause())) << c.pszCase;
                    ASSERT_TRUE(WaitForSpyState(chain, State_Paused)) << c.pszCase;
                    Sleep(200); // time spent paused counts into the next entry
                    ASSERT_TRUE(SUCCEEDED(chain.graph.Run())) << c.pszCase;
                }
                ASSERT_TRUE(WaitForSpyState(chain, State_Running)) << c.pszCase;
                chain.source->Allow(c.segments[i]);
                nAllowed += c.segments[i];
                ASSERT_TRUE(chain.sink->WaitForSamples(static_cast<size_t>(nAllowed), 200000)) << c.pszCase;
            }
            EXPECT_TRUE(chain.sink->WaitForEndOfStream(1, 20000)) << c.pszCase;
        }
        ASSERT_TRUE(SUCCEEDED(chain.graph.Stop())) << c.pszCase;
        EXPECT_EQ(static_cast<ULONGLONG>(nTotal), LastStopCount(chain)) << c.pszCase;
        EXPECT_EQ(c.nEntries, chain.spy->m_nDiffTotal) << c.pszCase;
        EXPECT_EQ(0u, chain.spy->m_nDiffBuffered) << c.pszCase;
        const std::vector<BYTE> bytes = ReadFileBytes(sPath);
        ASSERT_EQ(4 + 4 * static_cast<size_t>(c.nEntries), bytes.size()) << c.pszCase;
        EXPECT_EQ(c.nEntries, DwordAt(bytes, 0)) << c.pszCase;
        EXPECT_EQ((bytes.size() - 4) / 4, DwordAt(bytes, 0)) << c.pszCase;
        if (c.segments.size() > 1)
        {
            // The entry that spans the pause: far more than a tenth of it.
            const size_t nSpan = static_cast<size_t>(c.segments[0]) - 1;
            EXPECT_GE(DwordAt(bytes, 4 + 4 * nSpan), 20000u) << c.pszCase;
        }
    }
    DeleteFileW(sPath.c_str());
}

// Samples that pass while the filter is Paused (before the first Run, and
// between two runs) make no entry and do not restart the gap: only the
// samples that pass while it runs are measured.
TEST_F(SpyGraphTest, SamplesPassingWhilePausedMakeNoDifferenceEntry)
{
    dsfix::HangWatchdog watchdog(120000, "entries while paused");
    const std::wstring sPath = TempFile(L"spy_paused_diff.bin");
    ASSERT_TRUE(CSpySettings::SetText(L"Difference file", sPath));
    struct Segment
    {
        FILTER_STATE eState;
        long nSamples;
        DWORD nEntriesAfter; // entries made once the segment has passed
    };
    const Segment segments[] = {
        { State_Paused, 3, 0 }, { State_Running, 4, 3 }, { State_Paused, 3, 3 }, { State_Running, 2, 5 },
    };
    long nTotal = 0;
    for (const Segment& s : segments)
        nTotal += s.nSamples;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(HeldBackStream(nTotal)));
    long nPassed = 0;
    for (const Segment& s : segments)
    {
        const char* pszState = (State_Paused == s.eState) ? "paused" : "running";
        ASSERT_TRUE(SUCCEEDED(State_Paused == s.eState ? chain.graph.Pause() : chain.graph.Run())) << pszState;
        ASSERT_TRUE(WaitForSpyState(chain, s.eState)) << pszState;
        ASSERT_TRUE(chain.spy->m_fileDiff.IsOpen()) << pszState;
        chain.source->Allow(s.nSamples);
        nPassed += s.nSamples;
        ASSERT_TRUE(chain.sink->WaitForSamples(static_cast<size_t>(nPassed), 20000)) << pszState << " " << nPassed;
        EXPECT_EQ(s.nEntriesAfter, chain.spy->m_nDiffBuffered) << pszState << " after " << nPassed << " samples";
        if (nPassed == s.nSamples)
        {
            EXPECT_EQ(0, chain.spy->m_llPrev) << "no sample was timed before the first Run";
        }
    }
    ASSERT_TRUE(SUCCEEDED(chain.graph.Stop()));
    const std::vector<BYTE> bytes = ReadFileBytes(sPath);
    ASSERT_EQ(4u + 4 * 5u, bytes.size());
    EXPECT_EQ(5u, DwordAt(bytes, 0));
    DeleteFileW(sPath.c_str());
}

// Stop finishes the file under the filter lock, and the sample road makes an
// entry only under that lock, while the file is open and the filter runs: a
// Stop in the middle of a stream leaves a count that matches its entries.
TEST_F(SpyGraphTest, AStopInTheMiddleOfAStreamLeavesACountThatMatchesTheEntries)
{
    const std::wstring sPath = TempFile(L"spy_stop_midstream.bin");
    ASSERT_TRUE(CSpySettings::SetText(L"Difference file", sPath));
    for (size_t nBefore : { 2000u, 17000u, 40000u })
    {
        dsfix::HangWatchdog watchdog(240000, "stop mid-stream");
        SpyChainConfig config = HeldBackStream(1000000);
        // The source goes on pushing when the stopped sink refuses samples,
        // so that samples keep arriving while the spy stops.
        config.source.continueAfterRejection = true;
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(config));
        {
            CSilentLog silent;
            ASSERT_TRUE(SUCCEEDED(chain.graph.Run()));
            ASSERT_TRUE(WaitForSpyState(chain, State_Running));
            chain.source->AllowAll();
            ASSERT_TRUE(chain.source->WaitForPushed(nBefore, 200000));
            EXPECT_TRUE(SUCCEEDED(chain.graph.Stop()));
        }
        const size_t nPushed = chain.source->Pushes().size();
        const std::vector<BYTE> bytes = ReadFileBytes(sPath);
        ASSERT_GE(bytes.size(), 4u) << nBefore;
        const DWORD nCount = DwordAt(bytes, 0);
        EXPECT_EQ(4 + 4 * static_cast<size_t>(nCount), bytes.size()) << nBefore;
        EXPECT_EQ(chain.spy->m_nDiffTotal, nCount) << nBefore;
        // Every sample whose push had ended before the Stop passed while
        // Running.
        EXPECT_GE(nCount, nBefore - 1) << nBefore;
        EXPECT_LT(nCount, nPushed) << nBefore;
    }
    DeleteFileW(sPath.c_str());
}

// Wine's memory allocator behind a wrapper whose Decommit can be made to
// fail.
typedef CWineAllocatorWrapper CDecommitFailingAllocator;

// The template's Stop fails when the output allocator cannot be decommitted:
// the filter stays Paused and that failure is Stop's result, although the
// difference file was finished well.
TEST_F(SpyGraphTest, AFailedStopIsNotHiddenByAFinishedDifferenceFile)
{
    dsfix::HangWatchdog watchdog(60000, "failed stop");
    const std::wstring sPath = TempFile(L"spy_failed_stop.bin");
    ASSERT_TRUE(CSpySettings::SetText(L"Difference file", sPath));
    CDecommitFailingAllocator* pAlloc = new CDecommitFailingAllocator;
    ASSERT_TRUE(pAlloc->m_spInner != NULL);
    SpyChainConfig config = HeldBackStream(5);
    config.source.allocatorMode = dsfix::SourceAllocator::Given;
    config.source.allocator = pAlloc;
    {
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(config));
        ASSERT_FALSE(chain.spy->m_bSeparateAllocators);
        ASSERT_TRUE(chain.spy->m_apOut->GetAllocatorOut().IsEqualObject(static_cast<IMemAllocator*>(pAlloc)));
        ASSERT_TRUE(StreamWhileRunning(chain));

        pAlloc->m_hrDecommit = VFW_E_TIMEOUT;
        EXPECT_EQ(VFW_E_TIMEOUT, chain.spy.Filter()->Stop());
        EXPECT_EQ(State_Paused, chain.spy->FilterState());
        EXPECT_FALSE(chain.spy->m_fileDiff.IsOpen());
        const std::vector<BYTE> bytes = ReadFileBytes(sPath);
        EXPECT_EQ(4u + 4 * 4u, bytes.size());
        EXPECT_EQ(4u, DwordAt(bytes, 0));

        // With the allocator willing, the next Stop succeeds; no file is open.
        pAlloc->m_hrDecommit = S_OK;
        EXPECT_TRUE(SUCCEEDED(chain.graph.Stop()));
        EXPECT_EQ(State_Stopped, chain.spy->FilterState());
        EXPECT_EQ(S_OK, chain.spy.Filter()->Stop());
    }
    config.source.allocator.Reset();
    pAlloc->Release();
    DeleteFileW(sPath.c_str());
}

// The open difference file's handle is swapped for one that can only read the
// same file: every later write into it fails as a real write does
// (ERROR_ACCESS_DENIED).
bool MakeDiffFileReadOnly(SpyObject* pSpy, const std::wstring& sPath)
{
    if (!pSpy->m_fileDiff.IsOpen())
        return false;
    CloseHandle(pSpy->m_fileDiff.m_hFile);
    pSpy->m_fileDiff.m_hFile = CreateFileW(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                           OPEN_EXISTING, 0, NULL);
    return pSpy->m_fileDiff.IsOpen();
}

// No failure of a state change is lost on its way out: a write into the
// difference file that fails at Stop is Stop's result, also when it is the
// count alone (nothing buffered); the file is closed and the filter stopped
// all the same. A Pause or Run that the template refuses (the output is not
// connected) answers its failure and leaves the filter stopped.
TEST_F(SpyGraphTest, AFailureOnAnyStateChangeIsItsResult)
{
    dsfix::HangWatchdog watchdog(60000, "failing state changes");
    const std::wstring sPath = TempFile(L"spy_failing_count.bin");
    ASSERT_TRUE(CSpySettings::SetText(L"Difference file", sPath));
    const struct
    {
        const char* pszCase;
        DWORD nEntries; // entries buffered when Stop comes
    } cases[] = {
        { "only the count to write", 0 },
        { "entries and the count to write", 3 },
    };
    for (const auto& c : cases)
    {
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(HeldBackStream(5))) << c.pszCase;
        ASSERT_EQ(S_OK, chain.spy.Filter()->Pause()) << c.pszCase;
        ASSERT_TRUE(chain.spy->m_fileDiff.IsOpen()) << c.pszCase;
        chain.spy->m_dwFreq = 1000;
        LONGLONG llTime = 1000;
        chain.spy->AddDiffEntry(llTime);
        for (DWORD i = 0; i < c.nEntries; ++i)
            chain.spy->AddDiffEntry(llTime += 3000);
        ASSERT_EQ(c.nEntries, chain.spy->m_nDiffBuffered) << c.pszCase;
        ASSERT_TRUE(MakeDiffFileReadOnly(chain.spy.Get(), sPath)) << c.pszCase;
        m_log.Reset();
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), chain.spy.Filter()->Stop()) << c.pszCase;
        EXPECT_TRUE(m_log.HasAssert("hr == S_OK")) << c.pszCase;
        EXPECT_EQ(State_Stopped, chain.spy->FilterState()) << c.pszCase;
        EXPECT_FALSE(chain.spy->m_fileDiff.IsOpen()) << c.pszCase;
        EXPECT_EQ(0u, chain.spy->m_nDiffTotal) << c.pszCase << ": nothing reached the file";
        EXPECT_EQ((std::vector<BYTE>{ 0, 0, 0, 0 }), ReadFileBytes(sPath)) << c.pszCase;
        // The next Stop has no file to finish: the template's result.
        EXPECT_EQ(S_OK, chain.spy.Filter()->Stop()) << c.pszCase;
    }
    ASSERT_TRUE(CSpySettings::Remove(L"Difference file"));
    DeleteFileW(sPath.c_str());

    // The template's refusals.
    CFakePin* pUp = new CFakePin(PINDIR_OUTPUT, L"Up");
    {
        CSpyPtr spy;
        ASSERT_EQ(S_OK, spy.In()->ReceiveConnection(pUp, TestVideoType().Ptr()));
        EXPECT_EQ(VFW_E_WRONG_STATE, spy.Filter()->Pause());
        EXPECT_EQ(State_Stopped, spy->FilterState());
        EXPECT_EQ(VFW_E_WRONG_STATE, spy.Filter()->Run(0));
        EXPECT_EQ(State_Stopped, spy->FilterState());
        EXPECT_EQ(S_OK, spy.In()->Disconnect());
    }
    pUp->Release();
}

// The furthest position the file system lets the open file's write position
// take, found by halving: the largest file it holds ends there, so a write
// that starts a few bytes before it stops short.
LONGLONG FurthestPosition(CFileWriter& file)
{
    LONGLONG llTaken = 0;
    LONGLONG llRefused = LLONG_MAX;
    if (SUCCEEDED(file.SetPosition(LLONG_MAX)))
        return LLONG_MAX;
    while (llRefused - llTaken > 1)
    {
        const LONGLONG llMid = llTaken + (llRefused - llTaken) / 2;
        if (SUCCEEDED(file.SetPosition(llMid)))
            llTaken = llMid;
        else
            llRefused = llMid;
    }
    return llTaken;
}

// Entries whose write fails are not counted, and what such a write left in
// the file is cut off: the count in front always matches the entries behind
// it. The failure of a write at Stop is Stop's result. The failing write is a
// real one that stops short: it starts two bytes before the largest file the
// file system holds.
TEST_F(SpyGraphTest, EntriesThatCannotBeWrittenAreNeitherCountedNorLeftInTheFile)
{
    dsfix::HangWatchdog watchdog(120000, "failing writes");
    struct Case
    {
        const char* pszCase;
        DWORD nBefore;    // entries made before the writes start to fail
        DWORD nFailing;   // entries made while they fail
        DWORD nAfter;     // entries made after the failed write
        bool bStopFails;  // the failing write is the one at Stop
        DWORD nCounted;
    };
    const Case cases[] = {
        { "the rest at Stop", 16384, 10, 0, true, 16384 },
        { "the rest at Stop, nothing written before", 0, 10, 0, true, 0 },
        { "a full buffer while streaming", 0, 16384, 5, false, 5 },
        { "a full buffer behind a written one", 16384, 16384, 5, false, 16389 },
    };
    const std::wstring sPath = TempFile(L"spy_failing_writes.bin");
    ASSERT_TRUE(CSpySettings::SetText(L"Difference file", sPath));
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(HeldBackStream(5)));
    for (const Case& c : cases)
    {
        ASSERT_EQ(S_OK, chain.spy.Filter()->Pause()) << c.pszCase;
        ASSERT_TRUE(chain.spy->m_fileDiff.IsOpen()) << c.pszCase;
        chain.spy->m_dwFreq = 1000;
        LONGLONG llTime = 1000;
        chain.spy->AddDiffEntry(llTime); // the first one only starts the clock
        for (DWORD i = 0; i < c.nBefore; ++i)
            chain.spy->AddDiffEntry(llTime += 3000);
        const LONGLONG llFurthest = FurthestPosition(chain.spy->m_fileDiff);
        EXPECT_GT(llFurthest, 1LL << 32) << c.pszCase;
        EXPECT_EQ(S_OK, chain.spy->m_fileDiff.SetPosition(llFurthest - 2)) << c.pszCase;
        m_log.Reset();
        for (DWORD i = 0; i < c.nFailing; ++i)
            chain.spy->AddDiffEntry(llTime += 3000);
        for (DWORD i = 0; i < c.nAfter; ++i)
            chain.spy->AddDiffEntry(llTime += 5000);
        const HRESULT hr = chain.spy.Filter()->Stop();
        EXPECT_TRUE(m_log.HasLineContaining(L"###Err### (FileWriter) Write(): WriteFile(")) << c.pszCase;
        if (c.bStopFails)
        {
            EXPECT_TRUE(FAILED(hr)) << c.pszCase;
        }
        else
        {
            EXPECT_EQ(S_OK, hr) << c.pszCase;
        }
        EXPECT_EQ(c.nCounted, chain.spy->m_nDiffTotal) << c.pszCase;
        ASSERT_EQ(4 + 4 * static_cast<LONGLONG>(c.nCounted), FileSize(sPath)) << c.pszCase;
        const std::vector<BYTE> bytes = ReadFileBytes(sPath);
        ASSERT_EQ(4 + 4 * static_cast<size_t>(c.nCounted), bytes.size()) << c.pszCase;
        EXPECT_EQ(c.nCounted, DwordAt(bytes, 0)) << c.pszCase;
        for (DWORD i = 0; i < c.nCounted; ++i)
        {
            const DWORD nExpected = (i < c.nBefore) ? 3u : 5u;
            if (nExpected != DwordAt(bytes, 4 + 4 * static_cast<size_t>(i)))
            {
                ADD_FAILURE() << c.pszCase << ": entry " << i << " is " << DwordAt(bytes, 4 + 4 * static_cast<size_t>(i));
                break;
            }
        }
    }
    DeleteFileW(sPath.c_str());
}

// A "Difference file" that cannot be made (a missing folder, a folder) is
// traced as an error and the filter runs without it: the graph plays, the
// filter and the graph agree on every state, and the graph lets the filter
// go when it is released.
TEST_F(SpyGraphTest, ADifferenceFileThatCannotBeMadeIsTracedAndTheGraphPlaysWithoutIt)
{
    WCHAR szTemp[MAX_PATH];
    const DWORD cchTemp = GetTempPathW(MAX_PATH, szTemp);
    ASSERT_GT(cchTemp, 1u);
    szTemp[cchTemp - 1] = 0; // the folder itself, without its backslash
    struct Case
    {
        const char* pszCase;
        std::wstring sPath;
        HRESULT hr;
    };
    const Case cases[] = {
        { "a missing folder", L"C:\\no such folder\\spy_diff.bin", HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) },
        { "a folder", szTemp, E_ACCESSDENIED },
    };
    for (const Case& c : cases)
    {
        dsfix::HangWatchdog watchdog(60000, c.pszCase);
        ASSERT_TRUE(CSpySettings::SetText(L"Difference file", c.sPath)) << c.pszCase;
        {
            SpyChain chain;
            ASSERT_EQ(S_OK, chain.Build(HeldBackStream(5))) << c.pszCase;
            m_log.Reset();
            EXPECT_EQ(S_OK, chain.graph.Run()) << c.pszCase;
            ASSERT_TRUE(WaitForSpyState(chain, State_Running)) << c.pszCase;
            EXPECT_FALSE(chain.spy->m_fileDiff.IsOpen()) << c.pszCase;
            EXPECT_TRUE(m_log.HasLineContaining(Fmt(L"###Err### (FileWriter) Open(): CreateFile( '%s' )=", c.sPath.c_str())))
                << c.pszCase;
            EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(
                                     Fmt(L"###Err### %s Pause(): difference file '%s' not made (0x%X), the filter runs "
                                         L"without it\n",
                                         chain.spy->GetTraceName(), c.sPath.c_str(), static_cast<unsigned>(c.hr)))))
                << c.pszCase;
            chain.source->AllowAll();
            EXPECT_TRUE(chain.sink->WaitForEndOfStream(1, 20000)) << c.pszCase;
            EXPECT_EQ(5u, chain.sink->Samples().size()) << c.pszCase;
            EXPECT_EQ(S_OK, chain.graph.Stop()) << c.pszCase;
            EXPECT_EQ(State_Stopped, chain.spy->FilterState()) << c.pszCase;
            EXPECT_EQ(5u, LastStopCount(chain)) << c.pszCase;

            // Straight on the filter: Pause and Run from Stopped succeed too.
            EXPECT_EQ(S_OK, chain.spy.Filter()->Pause()) << c.pszCase;
            EXPECT_EQ(State_Paused, chain.spy->FilterState()) << c.pszCase;
            EXPECT_EQ(S_OK, chain.spy.Filter()->Stop()) << c.pszCase;
            EXPECT_EQ(S_OK, chain.spy.Filter()->Run(0)) << c.pszCase;
            EXPECT_EQ(State_Running, chain.spy->FilterState()) << c.pszCase;
            EXPECT_EQ(S_OK, chain.spy.Filter()->Stop()) << c.pszCase;
            // The chain's graph is released here, within the watchdog's time.
        }
        EXPECT_LT(m_log.CountContaining(L"IPinImpl::Disconnect()"), 10u) << c.pszCase;
    }
}

// A Pause from Stopped traces the input connection's allocator under the
// input pin's name, then the output connection's under the output pin's.
TEST_F(SpyGraphTest, APauseFromStoppedTracesBothAllocators)
{
    dsfix::HangWatchdog watchdog(60000, "allocators");
    SpyChainConfig config = HeldBackStream(5);
    UseSeparateAllocators(config);
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_TRUE(chain.spy->m_bSeparateAllocators);
    CComPtr<IMemAllocator> spIn = chain.spy->m_apIn->m_spAllocIn;
    CComPtr<IMemAllocator> spOut = chain.spy->m_apOut->GetAllocatorOut();
    ASSERT_TRUE(spIn != NULL && spOut != NULL);
    auto Line = [](LPCWSTR pszName, IMemAllocator* p) {
        ALLOCATOR_PROPERTIES props = {};
        EXPECT_EQ(S_OK, p->GetProperties(&props));
        return Fmt(L"%s IMemAllocator=0x%p, props = { %i, %i, %i, %i }\n", pszName, p, props.cBuffers,
                   props.cbBuffer, props.cbAlign, props.cbPrefix);
    };
    const std::wstring sIn = Line(chain.spy->m_apIn->GetTraceName(), spIn);
    const std::wstring sOut = Line(chain.spy->m_apOut->GetTraceName(), spOut);

    m_log.Reset();
    ASSERT_TRUE(SUCCEEDED(chain.graph.Pause()));
    ASSERT_TRUE(WaitForSpyState(chain, State_Paused));
    const std::vector<std::wstring> lines = SpyLinesWith(m_log, L" IMemAllocator=0x");
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(sIn, lines[0]);
    EXPECT_EQ(sOut, lines[1]);
    EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(sIn)));
    EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(sOut)));

    // Pausing a running filter traces nothing of the kind.
    m_log.Reset();
    ASSERT_TRUE(SUCCEEDED(chain.graph.Run()));
    ASSERT_TRUE(WaitForSpyState(chain, State_Running));
    ASSERT_TRUE(SUCCEEDED(chain.graph.Pause()));
    ASSERT_TRUE(WaitForSpyState(chain, State_Paused));
    EXPECT_EQ(0u, SpyLinesWith(m_log, L" IMemAllocator=0x").size());
    ASSERT_TRUE(SUCCEEDED(chain.graph.Stop()));
}

// Every Run starts the bitrate afresh, also a Run from Paused; Pause and Stop
// leave it.
TEST_F(SpyGraphTest, ARunFromPausedStartsTheBitrateAfresh)
{
    dsfix::HangWatchdog watchdog(60000, "bitrate reset");
    SpyChainConfig config = HeldBackStream(3);
    config.source.mediaTypes = { dsfix::StreamType(MEDIASUBTYPE_None, 1000) };
    config.source.sampleSize = 1000;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_TRUE(StreamWhileRunning(chain));
    ASSERT_TRUE(SUCCEEDED(chain.graph.Pause()));
    ASSERT_TRUE(WaitForSpyState(chain, State_Paused));
    EXPECT_EQ(200000u, chain.spy->m_nBitrate);
    EXPECT_EQ(2000, chain.spy->m_llTotalBytes);

    ASSERT_TRUE(SUCCEEDED(chain.graph.Run()));
    ASSERT_TRUE(WaitForSpyState(chain, State_Running));
    EXPECT_EQ(0u, chain.spy->m_nBitrate);
    EXPECT_EQ(0, chain.spy->m_llTotalBytes);
    EXPECT_EQ(0, chain.spy->m_llTotalTime);
    EXPECT_EQ(0, chain.spy->m_llBytes);
    EXPECT_EQ(CSpyFilter::INVALID_TIME, chain.spy->m_tPrev);
    ASSERT_TRUE(SUCCEEDED(chain.graph.Stop()));
}

// With "Check positioning" on, every Stop reports the flush latencies
// measured since the filter was made.
TEST_F(SpyGraphTest, StopReportsTheFlushLatenciesWhenCheckPositioningIsOn)
{
    const std::wstring sHead = L"[Perf - Flush]  Result for 1 tests\n";
    for (DWORD dwOn : { 1u, 0u })
    {
        dsfix::HangWatchdog watchdog(60000, "flush report");
        ASSERT_TRUE(CSpySettings::SetDword(L"Check positioning", dwOn));
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(HeldBackStream(3)));
        EXPECT_EQ(S_OK, chain.source->DeliverBeginFlush());
        EXPECT_EQ(S_OK, chain.source->DeliverEndFlush());
        m_log.Reset();
        ASSERT_TRUE(StreamWhileRunning(chain));
        ASSERT_TRUE(SUCCEEDED(chain.graph.Stop()));
        EXPECT_EQ(S_OK, chain.spy.Filter()->Stop()); // once more, from Stopped

        const std::vector<std::wstring> lines = m_log.Lines();
        std::vector<size_t> heads;
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i] == sHead)
                heads.push_back(i);
        if (0 == dwOn)
        {
            EXPECT_FALSE(m_log.HasLineContaining(L"[Perf - Flush]"));
            continue;
        }
        ASSERT_EQ(2u, heads.size()) << "one report at each Stop";
        EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(sHead)));
        for (size_t nHead : heads)
        {
            // The next record holds the latency: "\r\n<ms>.<thousandths>\r\n".
            ASSERT_LT(nHead + 1, lines.size());
            const std::wstring& s = lines[nHead + 1];
            EXPECT_EQ(eTL_Error, static_cast<UINT>(m_log.LevelOf(s)));
            ASSERT_GE(s.size(), 9u);
            EXPECT_EQ(L"\r\n", s.substr(0, 2));
            EXPECT_EQ(L"\r\n", s.substr(s.size() - 2));
            const size_t nDot = s.find(L'.');
            ASSERT_NE(std::wstring::npos, nDot);
            EXPECT_EQ(s.size() - 2 - 3, nDot + 1) << "three decimals";
        }
    }
}

} // namespace
