// Source straight into the test sink: allocators, per-sample specials,
// stream control calls, quality messages and refusals.
#include "Helpers.h"

#include <algorithm>

namespace dsfix {
namespace {

// A graph of source -> sink, connected directly.
struct Pair {
    ComPtr<TestSource> src;
    ComPtr<TestSink> sink;
    TestGraph g;

    HRESULT Build(const TestSourceConfig& sc, const TestSinkConfig& kc)
    {
        src = MakeSource(sc);
        sink = MakeSink(kc);
        HRESULT hr = g.Create();
        if (SUCCEEDED(hr)) hr = g.Add(src, L"source");
        if (SUCCEEDED(hr)) hr = g.Add(sink, L"sink");
        if (SUCCEEDED(hr)) hr = g.ConnectDirect(src->Pin(), sink->Pin());
        return hr;
    }
    // Runs until the source's streaming thread ended, then stops.
    bool RunUntilSourceEnds()
    {
        if (FAILED(g.Run())) return false;
        const bool ended = src->WaitForStreamEnd(5000);
        return g.Stop() == S_OK && ended;
    }
};

using Stream = FixtureTest;

// Which allocator the source ends up with, and that a direct connection
// shares it: the sink sees the very buffers the source filled.
struct AllocCase {
    const char* name;
    SourceAllocator mode;
    bool sinkOwn;
    AllocatorOrigin expect;
    HRESULT getAllocatorHr;  // E_NOTIMPL: not asked
};

void PrintTo(const AllocCase& c, std::ostream* os) { *os << c.name; }

class AllocatorChoice : public FixtureTest, public ::testing::WithParamInterface<AllocCase> {};

INSTANTIATE_TEST_SUITE_P(Source, AllocatorChoice,
    ::testing::Values(
        AllocCase{"SinksAllocator", SourceAllocator::Downstream, true, AllocatorOrigin::Downstream, S_OK},
        AllocCase{"OwnWhenSinkHasNone", SourceAllocator::Downstream, false, AllocatorOrigin::Own,
                  VFW_E_NO_ALLOCATOR},
        AllocCase{"OwnAlways", SourceAllocator::Own, true, AllocatorOrigin::Own, E_NOTIMPL},
        AllocCase{"Given", SourceAllocator::Given, true, AllocatorOrigin::Given, E_NOTIMPL}),
    [](const ::testing::TestParamInfo<AllocCase>& i) { return i.param.name; });

TEST_P(AllocatorChoice, SinkSeesTheBuffersTheSourceFilled)
{
    const AllocCase& c = GetParam();
    TestSourceConfig sc = VideoSource(12);
    sc.allocatorMode = c.mode;
    ComPtr<IMemAllocator> given;
    if (c.mode == SourceAllocator::Given) {
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IMemAllocator, reinterpret_cast<void**>(&given)));
        sc.allocator = given;
    }
    TestSinkConfig kc;
    kc.ownAllocator = c.sinkOwn;
    Pair p;
    ASSERT_EQ(S_OK, p.Build(sc, kc));

    SourceRecords sr = p.src->Records();
    EXPECT_EQ(c.expect, sr.allocator.origin) << OriginName(sr.allocator.origin);
    EXPECT_EQ(c.getAllocatorHr, sr.allocator.getAllocatorHr) << HrText(sr.allocator.getAllocatorHr);
    ComPtr<IMemAllocator> sinks;
    if (c.sinkOwn) {
        ASSERT_EQ(S_OK, p.sink->GetOwnAllocator(&sinks));
    }
    IMemAllocator* want = c.expect == AllocatorOrigin::Downstream ? sinks.Get()
                          : c.expect == AllocatorOrigin::Given    ? given.Get()
                                                                  : nullptr;
    if (want) {
        EXPECT_EQ(want, sr.allocator.allocator);
    }
    if (c.expect == AllocatorOrigin::Own) {
        EXPECT_NE(sinks.Get(), sr.allocator.allocator);
    }
    // The sink was told of the allocator in use.
    SinkRecords kr = p.sink->Records();
    EXPECT_EQ(sr.allocator.allocator, kr.notifiedAllocator);
    EXPECT_EQ(1, kr.notifyAllocatorCalls);

    ASSERT_TRUE(p.g.RunToCompletion());
    std::vector<PushRecord> pushes = p.src->Pushes();
    std::vector<SampleRecord> got = p.sink->Samples();
    ExpectStreamIntact(got, 12, 64 * 48 * 4, 10000);
    ASSERT_EQ(12u, pushes.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(pushes[i].buffer, got[i].buffer) << "sample " << i;
        EXPECT_EQ(pushes[i].sample, got[i].sample) << "sample " << i;
    }
}

// A sink that refuses every allocator makes the connection fail with its
// code, and leaves both pins free for another try.
TEST_F(Stream, RefusedAllocatorLeavesBothPinsFree)
{
    for (SourceAllocator mode : {SourceAllocator::Downstream, SourceAllocator::Given}) {
        TestSourceConfig sc = VideoSource(2);
        sc.allocatorMode = mode;
        if (mode == SourceAllocator::Given) {
            ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_IMemAllocator, reinterpret_cast<void**>(&sc.allocator)));
        }
        TestSinkConfig kc;
        kc.ownAllocator = true;
        kc.notifyAllocatorResult = E_FAIL;
        Pair p;
        EXPECT_EQ(E_FAIL, p.Build(sc, kc));
        SourceRecords sr = p.src->Records();
        EXPECT_EQ(AllocatorOrigin::None, sr.allocator.origin);
        EXPECT_EQ(nullptr, sr.allocator.allocator);
        EXPECT_EQ(0, sr.connections);
        // Downstream mode tried the sink's allocator, then one of its own.
        EXPECT_EQ(mode == SourceAllocator::Downstream ? 2 : 1, p.sink->Records().notifyAllocatorCalls);
        ComPtr<IPin> peer;
        EXPECT_EQ(VFW_E_NOT_CONNECTED, p.src->Pin()->ConnectedTo(&peer));
        EXPECT_EQ(VFW_E_NOT_CONNECTED, p.sink->Pin()->ConnectedTo(&peer));
        ComPtr<IMemAllocator> none;
        EXPECT_EQ(VFW_E_NO_ALLOCATOR, p.src->GetAllocator(&none));
    }
}

// The source merges the sink's requirements into its request, unless told
// not to, and the sink is notified of the granted properties.
TEST_F(Stream, AllocatorRequirementsAreHonoured)
{
    for (bool honour : {true, false}) {
        TestSourceConfig sc = VideoSource(4);
        sc.honourRequirements = honour;
        TestSinkConfig kc;
        kc.hasRequirements = true;
        kc.requirements = {5, 20000, 16, 0};
        Pair p;
        ASSERT_EQ(S_OK, p.Build(sc, kc));
        SourceRecords sr = p.src->Records();
        EXPECT_EQ(S_OK, sr.allocator.requirementsHr);
        const ALLOCATOR_PROPERTIES& a = sr.allocator.actual;
        if (honour) {
            EXPECT_GE(a.cBuffers, 5);
            EXPECT_GE(a.cbBuffer, 20000);
            EXPECT_GE(a.cbAlign, 16);
        } else {
            EXPECT_EQ(2, a.cBuffers);
            EXPECT_EQ(64 * 48 * 4, a.cbBuffer);
        }
        ALLOCATOR_PROPERTIES n = p.sink->Records().notifiedProperties;
        EXPECT_EQ(a.cBuffers, n.cBuffers);
        EXPECT_EQ(a.cbBuffer, n.cbBuffer);
        ASSERT_TRUE(p.g.RunToCompletion());
        EXPECT_EQ(4u, p.sink->Samples().size());
    }
}

// Per-sample specials arrive on the sample they were set for, and a type
// attached to a sample becomes the connection type on both sides.
TEST_F(Stream, SpecialsArriveOnTheirSamples)
{
    const MediaType rgb24 = SmallVideo(MEDIASUBTYPE_RGB24), rgb32 = SmallVideo(MEDIASUBTYPE_RGB32);
    TestSourceConfig sc = VideoSource(10, MEDIASUBTYPE_RGB24);
    sc.sampleSize = 64 * 48 * 3;
    sc.setMediaTimes = true;
    sc.specials[1].discontinuity = true;
    sc.specials[2].noTimes = true;
    sc.specials[3].zeroLength = true;
    sc.specials[4].preroll = true;
    sc.specials[5].notSyncPoint = true;
    sc.specials[6].mediaType = rgb32;
    sc.specials[6].actualLength = 64 * 48 * 4;
    sc.specials[7].actualLength = 100;
    sc.allocatorProperties = {2, 64 * 48 * 4, 1, 0};  // room for the larger type
    TestSinkConfig kc;
    kc.acceptTypes = {rgb24, rgb32};
    kc.copyBytes = true;
    kc.copyLimit = 64;
    Pair p;
    ASSERT_EQ(S_OK, p.Build(sc, kc));
    ASSERT_TRUE(p.g.RunToCompletion());

    std::vector<SampleRecord> got = p.sink->Samples();
    ASSERT_EQ(10u, got.size());
    for (long i = 0; i < 10; ++i) {
        const SampleRecord& r = got[static_cast<size_t>(i)];
        SCOPED_TRACE(i);
        EXPECT_EQ(i == 1, r.discontinuity);
        EXPECT_EQ(i == 4, r.preroll);
        EXPECT_EQ(i != 5, r.syncPoint);
        EXPECT_EQ(i == 6, !r.mediaType.Empty());
        if (i == 2) {
            EXPECT_EQ(VFW_E_SAMPLE_TIME_NOT_SET, r.timeHr);
        } else {
            EXPECT_EQ(S_OK, r.timeHr);
            EXPECT_EQ(i * 10000, r.start);
        }
        EXPECT_EQ(S_OK, r.mediaTimeHr);
        EXPECT_EQ(i, r.mediaStart);
        const long length = i == 3 ? 0 : i == 6 ? 64 * 48 * 4 : i == 7 ? 100 : 64 * 48 * 3;
        EXPECT_EQ(length, r.actualLength);
        ASSERT_EQ(static_cast<size_t>(std::min(length, 64L)), r.bytes.size());
        for (size_t k = 0; k < r.bytes.size(); ++k)
            EXPECT_EQ(PatternByte(static_cast<uint32_t>(i), k), r.bytes[k]) << "byte " << k;
        if (length >= 4) {
            EXPECT_EQ(i, r.number);
            EXPECT_TRUE(r.patternOk);
        } else {
            EXPECT_EQ(-1, r.number);
        }
    }
    EXPECT_TRUE(got[6].mediaType == rgb32);
    EXPECT_TRUE(p.sink->CurrentType() == rgb32);
    EXPECT_TRUE(p.src->CurrentType() == rgb32);
}

// A sink that refuses an attached type stops the stream at that sample, and
// both sides keep the old type.
TEST_F(Stream, RefusedAttachedTypeStopsThePush)
{
    const MediaType rgb24 = SmallVideo(MEDIASUBTYPE_RGB24);
    TestSourceConfig sc = VideoSource(8, MEDIASUBTYPE_RGB24);
    sc.specials[3].mediaType = SmallVideo(MEDIASUBTYPE_RGB32);
    TestSinkConfig kc;
    kc.acceptTypes = {rgb24};
    Pair p;
    ASSERT_EQ(S_OK, p.Build(sc, kc));
    ASSERT_TRUE(p.RunUntilSourceEnds());

    std::vector<PushRecord> pushes = p.src->Pushes();
    ASSERT_EQ(4u, pushes.size());
    EXPECT_TRUE(pushes[3].mediaTypeAttached);
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, pushes[3].receiveHr);
    EXPECT_EQ(0, p.src->Records().endOfStreamsSent);
    EXPECT_EQ(3u, p.sink->Samples().size());
    SinkRecords kr = p.sink->Records();
    ASSERT_EQ(1u, kr.rejected.size());
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, kr.rejected[0].hr);
    EXPECT_TRUE(p.sink->CurrentType() == rgb24);
    EXPECT_TRUE(p.src->CurrentType() == rgb24);
}

// What the source does with a Receive result other than S_OK.
struct RejectCase {
    const char* name;
    HRESULT result;   // returned by the sink for sample 4
    bool goOn;        // continueAfterRejection
    size_t pushes;
    long eos;
};

void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.name; }

class Rejection : public FixtureTest, public ::testing::WithParamInterface<RejectCase> {};

INSTANTIATE_TEST_SUITE_P(Source, Rejection,
    ::testing::Values(RejectCase{"FalseStops", S_FALSE, false, 5, 0},
                      RejectCase{"ErrorStops", E_FAIL, false, 5, 0},
                      RejectCase{"FalseGoesOn", S_FALSE, true, 10, 1},
                      RejectCase{"ErrorGoesOn", E_FAIL, true, 10, 1}),
    [](const ::testing::TestParamInfo<RejectCase>& i) { return i.param.name; });

TEST_P(Rejection, SourceRecordsAndObeysThePolicy)
{
    const RejectCase& c = GetParam();
    TestSourceConfig sc = VideoSource(10);
    sc.continueAfterRejection = c.goOn;
    TestSinkConfig kc;
    kc.receiveResults[4] = c.result;
    Pair p;
    ASSERT_EQ(S_OK, p.Build(sc, kc));
    ASSERT_TRUE(p.RunUntilSourceEnds());
    std::vector<PushRecord> pushes = p.src->Pushes();
    ASSERT_EQ(c.pushes, pushes.size());
    for (size_t i = 0; i < pushes.size(); ++i)
        EXPECT_EQ(i == 4 ? c.result : S_OK, pushes[i].receiveHr) << "sample " << i;
    EXPECT_EQ(c.eos, p.src->Records().endOfStreamsSent);
    std::vector<SampleRecord> got = p.sink->Samples();
    ASSERT_EQ(c.pushes, got.size());
    EXPECT_EQ(c.result, got[4].returned);
}

// Flush, new segment and end of stream made on demand reach the sink in
// order with the samples; samples inside the flush are refused.
TEST_F(Stream, FlushAndSegmentOnDemand)
{
    TestSourceConfig sc = VideoSource(10);
    sc.credit = 3;
    sc.continueAfterRejection = true;
    Pair p;
    ASSERT_EQ(S_OK, p.Build(sc, {}));
    ASSERT_TRUE(SUCCEEDED(p.g.Run()));
    ASSERT_TRUE(p.sink->WaitForSamples(3, 5000));

    EXPECT_EQ(S_OK, p.src->DeliverBeginFlush());
    p.src->Allow(1);
    ASSERT_TRUE(p.src->WaitForPushed(4, 5000));
    EXPECT_EQ(S_FALSE, p.src->Pushes()[3].receiveHr);
    EXPECT_EQ(S_OK, p.src->DeliverEndFlush());
    EXPECT_EQ(S_OK, p.src->DeliverNewSegment(40000, 100000, 1.5));
    p.src->AllowAll();
    EXPECT_TRUE(p.g.WaitForEvent(EC_COMPLETE, 10000));
    ASSERT_TRUE(p.src->WaitForStreamEnd(5000));
    // An end of stream on demand is passed on too, and the running sink
    // completes again.
    EXPECT_EQ(S_OK, p.src->DeliverEndOfStream());
    EXPECT_EQ(S_OK, p.g.Stop());

    std::vector<SampleRecord> got = p.sink->Samples();
    ASSERT_EQ(9u, got.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(i < 3 ? long(i) : long(i + 1), got[i].number);
    std::vector<SinkEvent> ev = p.sink->Events();
    const std::vector<std::pair<SinkEvent::Kind, size_t>> want = {
        {SinkEvent::BeginFlush, 3}, {SinkEvent::EndFlush, 3},     {SinkEvent::NewSegment, 3},
        {SinkEvent::EndOfStream, 9}, {SinkEvent::CompleteSent, 9}, {SinkEvent::EndOfStream, 9},
        {SinkEvent::CompleteSent, 9}};
    ASSERT_EQ(want.size(), ev.size());
    for (size_t i = 0; i < ev.size(); ++i) {
        EXPECT_EQ(want[i].first, ev[i].kind) << i << ": " << EventName(ev[i].kind);
        EXPECT_EQ(want[i].second, ev[i].samplesBefore) << i;
    }
    EXPECT_EQ(40000, ev[2].start);
    EXPECT_EQ(100000, ev[2].stop);
    EXPECT_EQ(1.5, ev[2].rate);
    ASSERT_EQ(1u, p.sink->Records().rejected.size());
    EXPECT_EQ(S_FALSE, p.sink->Records().rejected[0].hr);
    std::vector<DeliveryRecord> d = p.src->Records().deliveries;
    ASSERT_EQ(4u, d.size());
    EXPECT_EQ(DeliveryRecord::EndOfStream, d[3].kind);
}

// A quality message from the sink reaches the source's pin.
TEST_F(Stream, QualityMessageReachesTheSource)
{
    Pair p;
    ASSERT_EQ(S_OK, p.Build(VideoSource(1), {}));
    Quality q = {Flood, 900, -5000, 123456};
    EXPECT_EQ(S_OK, p.sink->SendQuality(q));
    SourceRecords sr = p.src->Records();
    ASSERT_EQ(1u, sr.quality.size());
    EXPECT_TRUE(SameObject(sr.quality[0].sender, static_cast<IBaseFilter*>(p.sink.Get())));
    EXPECT_EQ(Flood, sr.quality[0].quality.Type);
    EXPECT_EQ(900, sr.quality[0].quality.Proportion);
    EXPECT_EQ(-5000, sr.quality[0].quality.Late);
    EXPECT_EQ(123456, sr.quality[0].quality.TimeStamp);
}

// The sink's own checks, called directly: connection, state, flush, and
// renderer completion deferred from Paused to Run.
TEST_F(Stream, SinkRefusesOutOfStateCalls)
{
    ComPtr<IMemAllocator> alloc;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_IMemAllocator, reinterpret_cast<void**>(&alloc)));
    ALLOCATOR_PROPERTIES want = {1, 64, 1, 0}, got;
    ASSERT_EQ(S_OK, alloc->SetProperties(&want, &got));
    ASSERT_EQ(S_OK, alloc->Commit());
    ComPtr<IMediaSample> sample;
    ASSERT_EQ(S_OK, alloc->GetBuffer(&sample, nullptr, nullptr, 0));

    auto src = MakeSource(VideoSource(1));
    auto sink = MakeSink({});
    ComPtr<IMemInputPin> in;
    ASSERT_EQ(S_OK, sink->Pin()->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&in)));
    EXPECT_EQ(S_FALSE, in->ReceiveCanBlock());
    ComPtr<IMemAllocator> none;
    EXPECT_EQ(VFW_E_NO_ALLOCATOR, in->GetAllocator(&none));
    EXPECT_EQ(VFW_E_NOT_CONNECTED, in->Receive(sample));
    {
        // Connected outside a graph: the fixtures need none.
        ASSERT_EQ(S_OK, src->Pin()->Connect(sink->Pin(), nullptr));
        EXPECT_EQ(VFW_E_ALREADY_CONNECTED, sink->Pin()->ReceiveConnection(src->Pin(), SmallVideo().Ptr()));
        EXPECT_EQ(VFW_E_WRONG_STATE, in->Receive(sample));
        ASSERT_EQ(S_OK, sink->Pause());
        EXPECT_EQ(VFW_E_NOT_STOPPED, sink->Pin()->Disconnect());
        EXPECT_EQ(S_OK, sink->Pin()->BeginFlush());
        EXPECT_EQ(S_FALSE, in->Receive(sample));
        EXPECT_EQ(S_OK, sink->Pin()->EndFlush());
        EXPECT_EQ(S_OK, in->Receive(sample));
        IMediaSample* two[2] = {sample, sample};
        long done = -1;
        EXPECT_EQ(S_OK, in->ReceiveMultiple(two, 2, &done));
        EXPECT_EQ(2, done);
        EXPECT_EQ(S_OK, sink->Pin()->EndOfStream());
        EXPECT_EQ(0, sink->Records().completesSent);  // not in a graph: nobody to tell
        ASSERT_EQ(S_OK, sink->Stop());
        EXPECT_EQ(S_OK, sink->Pin()->Disconnect());
        EXPECT_EQ(S_OK, src->Pin()->Disconnect());
    }
    SinkRecords kr = sink->Records();
    EXPECT_EQ(3u, kr.samples.size());
    ASSERT_EQ(3u, kr.rejected.size());
    EXPECT_EQ(VFW_E_NOT_CONNECTED, kr.rejected[0].hr);
    EXPECT_EQ(VFW_E_WRONG_STATE, kr.rejected[1].hr);
    EXPECT_EQ(S_FALSE, kr.rejected[2].hr);
    sample.Reset();
    alloc->Decommit();
}

// In a graph, an end of stream that arrives while paused completes on Run.
TEST_F(Stream, EndOfStreamWhilePausedCompletesOnRun)
{
    Pair p;
    ASSERT_EQ(S_OK, p.Build(VideoSource(3), {}));
    ASSERT_TRUE(SUCCEEDED(p.g.Pause()));
    ASSERT_TRUE(p.sink->WaitForEndOfStream(1, 5000));
    EXPECT_FALSE(p.g.WaitForEvent(EC_COMPLETE, 200));
    EXPECT_EQ(0, p.sink->Records().completesSent);
    ASSERT_TRUE(SUCCEEDED(p.g.Run()));
    EXPECT_TRUE(p.g.WaitForEvent(EC_COMPLETE, 5000));
    EXPECT_EQ(1, p.sink->Records().completesSent);
    EXPECT_EQ(S_OK, p.g.Stop());
}

} // namespace
} // namespace dsfix
