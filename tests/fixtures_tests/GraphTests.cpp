// The fixtures in Wine's filter graph manager, with Wine's own renderers.
#include "Helpers.h"

namespace dsfix {
namespace {

enum class ConnectBy { Direct, DirectWithType, Builder };

const char* Name(ConnectBy c)
{
    switch (c) {
    case ConnectBy::Direct: return "ConnectDirect";
    case ConnectBy::DirectWithType: return "ConnectDirectWithType";
    case ConnectBy::Builder: return "GraphBuilderConnect";
    }
    return "?";
}

void PrintTo(ConnectBy c, std::ostream* os) { *os << Name(c); }

HRESULT Join(TestGraph& g, ConnectBy by, IPin* out, IPin* in, const MediaType& mt)
{
    switch (by) {
    case ConnectBy::Direct: return g.ConnectDirect(out, in);
    case ConnectBy::DirectWithType: return g.ConnectDirect(out, in, mt.Ptr());
    case ConnectBy::Builder: return g.Connect(out, in);
    }
    return E_FAIL;
}

// A new graph of source -> Wine's Sample Grabber -> sink.
HRESULT BuildGrabberChain(TestGraph& g, TestSource* src, TestSink* sink, ConnectBy by)
{
    ComPtr<IBaseFilter> sg;
    HRESULT hr = g.Create();
    if (SUCCEEDED(hr)) hr = g.Add(src, L"source");
    if (SUCCEEDED(hr)) hr = g.AddNew(CLSID_WineSampleGrabber, L"grabber", &sg);
    if (SUCCEEDED(hr)) hr = g.Add(sink, L"sink");
    if (SUCCEEDED(hr)) hr = Join(g, by, src->Pin(), FindPin(sg, PINDIR_INPUT), src->CurrentType());
    if (SUCCEEDED(hr)) hr = Join(g, by, FindPin(sg, PINDIR_OUTPUT), sink->Pin(), SmallVideo());
    return hr;
}

class WineGraph : public FixtureTest, public ::testing::WithParamInterface<ConnectBy> {};

INSTANTIATE_TEST_SUITE_P(Connect, WineGraph,
                         ::testing::Values(ConnectBy::Direct, ConnectBy::DirectWithType,
                                           ConnectBy::Builder),
                         [](const ::testing::TestParamInfo<ConnectBy>& i) { return Name(i.param); });

// Source -> Null Renderer runs to EC_COMPLETE, is stopped and runs again.
TEST_P(WineGraph, NullRendererRunsToCompletionTwice)
{
    auto src = MakeSource(VideoSource(20));
    TestGraph g;
    ASSERT_EQ(S_OK, g.Create());
    ASSERT_EQ(S_OK, g.Add(src, L"source"));
    ComPtr<IBaseFilter> nr;
    ASSERT_EQ(S_OK, g.AddNew(CLSID_WineNullRenderer, L"null", &nr));
    ASSERT_EQ(S_OK, Join(g, GetParam(), src->Pin(), FindPin(nr, PINDIR_INPUT), SmallVideo()));

    for (int run = 1; run <= 2; ++run) {
        src->ClearRecords();
        ASSERT_TRUE(SUCCEEDED(g.Run()));
        EXPECT_TRUE(g.WaitForEvent(EC_COMPLETE, 10000)) << "run " << run;
        ASSERT_TRUE(src->WaitForStreamEnd(5000));
        EXPECT_EQ(S_OK, g.Stop());

        SourceRecords rec = src->Records();
        ASSERT_EQ(20u, rec.pushes.size());
        for (const PushRecord& p : rec.pushes) {
            EXPECT_EQ(S_OK, p.receiveHr) << "sample " << p.number;
            EXPECT_EQ(run, p.stream);
        }
        EXPECT_EQ(run, rec.endOfStreamsSent);
        EXPECT_EQ(S_OK, rec.lastEndOfStreamHr);
    }
    // Wine's renderer offers no allocator before one was notified to it.
    SourceRecords rec = src->Records();
    EXPECT_EQ(AllocatorOrigin::Own, rec.allocator.origin);
    EXPECT_EQ(VFW_E_NO_ALLOCATOR, rec.allocator.getAllocatorHr);
    EXPECT_EQ(S_OK, rec.allocator.notifyHr);
}

// Source -> Sample Grabber -> test sink: every sample arrives in order with
// its bytes and times, and the graph completes through the sink's EC_COMPLETE.
TEST_P(WineGraph, SampleGrabberPassesEverySampleIntact)
{
    const long count = 40;
    auto src = MakeSource(VideoSource(count));
    TestSinkConfig kc;
    kc.acceptTypes = {MajorType(MEDIATYPE_Video, MEDIASUBTYPE_RGB32)};
    auto sink = MakeSink(kc);
    TestGraph g;
    ASSERT_EQ(S_OK, BuildGrabberChain(g, src, sink, GetParam()));
    EXPECT_TRUE(sink->CurrentType() == SmallVideo());

    for (int run = 1; run <= 2; ++run) {
        sink->ClearRecords();
        ASSERT_TRUE(g.RunToCompletion()) << "run " << run;
        ExpectStreamIntact(sink->Samples(), count, 64 * 48 * 4, 10000);
        SinkRecords rec = sink->Records();
        EXPECT_EQ(1, rec.endOfStreams);
        EXPECT_EQ(1, rec.completesSent);
        EXPECT_TRUE(rec.rejected.empty());
    }
}

// The graph waits for the sink's EC_COMPLETE: none while samples are held
// back, one once the stream ends.
TEST_F(FixtureTest, GraphWaitsForTheSinkToComplete)
{
    TestSourceConfig sc = VideoSource(5);
    sc.credit = 0;
    auto src = MakeSource(sc);
    auto sink = MakeSink({});
    TestGraph g;
    ASSERT_EQ(S_OK, g.Create());
    ASSERT_EQ(S_OK, g.Add(src, L"source"));
    ASSERT_EQ(S_OK, g.Add(sink, L"sink"));
    ASSERT_EQ(S_OK, g.ConnectDirect(src->Pin(), sink->Pin()));
    ASSERT_TRUE(SUCCEEDED(g.Run()));
    EXPECT_FALSE(g.WaitForEvent(EC_COMPLETE, 300));
    src->Allow(5);
    EXPECT_TRUE(g.WaitForEvent(EC_COMPLETE, 10000));
    EXPECT_EQ(S_OK, g.Stop());
    EXPECT_EQ(5u, sink->Samples().size());
}

// Media-type negotiation of the source, through the graph manager.
struct TypeCase {
    const char* name;
    std::vector<MediaType> sinkAccepts;   // empty: all
    std::vector<MediaType> sinkOffers;
    bool downstreamFirst;
    bool withType;                        // ConnectDirect with `type`
    MediaType type;
    HRESULT expect;
    std::vector<GUID> attempts;           // subtypes tried, in order
};

std::vector<TypeCase> TypeCases()
{
    const MediaType rgb24 = SmallVideo(MEDIASUBTYPE_RGB24), rgb32 = SmallVideo(MEDIASUBTYPE_RGB32),
                    yuy2 = SmallVideo(MEDIASUBTYPE_YUY2);
    const GUID R24 = MEDIASUBTYPE_RGB24, R32 = MEDIASUBTYPE_RGB32, Y = MEDIASUBTYPE_YUY2;
    return {
        {"FirstOfOurs", {}, {}, false, false, {}, S_OK, {R24}},
        {"RefusedTypeMovesOn", {rgb32}, {}, false, false, {}, S_OK, {R24, Y, R32}},
        {"NamedType", {}, {}, false, true, rgb32, S_OK, {R32}},
        {"NamedTypeNotOurs", {}, {}, false, true, SmallVideo(MEDIASUBTYPE_RGB555), VFW_E_TYPE_NOT_ACCEPTED, {}},
        {"NamedTypeRefused", {rgb24}, {}, false, true, yuy2, VFW_E_TYPE_NOT_ACCEPTED, {Y}},
        {"PartialTypeFilters", {}, {}, false, true, MajorType(MEDIATYPE_Video, R32), S_OK, {R32}},
        {"NothingFits", {MajorType(MEDIATYPE_Audio)}, {}, false, false, {}, VFW_E_NO_ACCEPTABLE_TYPES, {R24, Y, R32}},
        {"DownstreamTypesFirst", {}, {rgb32}, true, false, {}, S_OK, {R32}},
        {"DownstreamTypesAfterOurs", {}, {rgb32}, false, false, {}, S_OK, {R24}},
    };
}

void PrintTo(const TypeCase& c, std::ostream* os) { *os << c.name; }

class TypeNegotiation : public FixtureTest, public ::testing::WithParamInterface<TypeCase> {};

INSTANTIATE_TEST_SUITE_P(Source, TypeNegotiation, ::testing::ValuesIn(TypeCases()),
                         [](const ::testing::TestParamInfo<TypeCase>& i) { return i.param.name; });

TEST_P(TypeNegotiation, TriesTypesInOrder)
{
    const TypeCase& c = GetParam();
    TestSourceConfig sc = VideoSource(3);
    sc.mediaTypes = {SmallVideo(MEDIASUBTYPE_RGB24), SmallVideo(MEDIASUBTYPE_YUY2),
                     SmallVideo(MEDIASUBTYPE_RGB32)};
    sc.tryDownstreamTypesFirst = c.downstreamFirst;
    auto src = MakeSource(sc);
    TestSinkConfig kc;
    kc.acceptTypes = c.sinkAccepts;
    kc.offerTypes = c.sinkOffers;
    auto sink = MakeSink(kc);
    TestGraph g;
    ASSERT_EQ(S_OK, g.Create());
    ASSERT_EQ(S_OK, g.Add(src, L"source"));
    ASSERT_EQ(S_OK, g.Add(sink, L"sink"));

    const HRESULT hr = g.ConnectDirect(src->Pin(), sink->Pin(), c.withType ? c.type.Ptr() : nullptr);
    EXPECT_EQ(c.expect, hr) << HrText(hr);

    SourceRecords rec = src->Records();
    ASSERT_EQ(c.attempts.size(), rec.connectAttempts.size());
    for (size_t i = 0; i < c.attempts.size(); ++i) {
        EXPECT_TRUE(IsEqualGUID(c.attempts[i], rec.connectAttempts[i].type.Get().subtype))
            << "attempt " << i << ": " << rec.connectAttempts[i].type.Describe();
        const HRESULT want = (i + 1 == c.attempts.size() && c.expect == S_OK) ? S_OK
                                                                              : VFW_E_TYPE_NOT_ACCEPTED;
        EXPECT_EQ(want, rec.connectAttempts[i].hr) << "attempt " << i;
    }
    // The sink saw the same proposals.
    EXPECT_EQ(rec.connectAttempts.size(), sink->Records().receiveConnections.size());

    ComPtr<IPin> peer;
    AM_MEDIA_TYPE mt;
    if (c.expect == S_OK) {
        EXPECT_EQ(S_OK, src->Pin()->ConnectedTo(&peer));
        EXPECT_TRUE(SameObject(peer, sink->Pin()));
        ASSERT_EQ(S_OK, src->Pin()->ConnectionMediaType(&mt));
        EXPECT_TRUE(MediaType(mt) == sink->CurrentType());
        EXPECT_TRUE(IsEqualGUID(c.attempts.back(), mt.subtype));
        FreeMediaTypeFields(mt);
    } else {
        // A failed connection leaves both pins free.
        EXPECT_EQ(VFW_E_NOT_CONNECTED, src->Pin()->ConnectedTo(&peer));
        EXPECT_EQ(VFW_E_NOT_CONNECTED, sink->Pin()->ConnectedTo(&peer));
        EXPECT_EQ(VFW_E_NOT_CONNECTED, src->Pin()->ConnectionMediaType(&mt));
    }
}

// What the graph manager and a downstream filter ask of the source's pin.
TEST_F(FixtureTest, SourcePinAnswersQueries)
{
    TestSourceConfig sc = VideoSource(1);
    sc.mediaTypes = {SmallVideo(MEDIASUBTYPE_RGB24), SmallVideo(MEDIASUBTYPE_RGB32)};
    auto src = MakeSource(sc);
    IPin* pin = src->Pin();

    PIN_INFO pi;
    ASSERT_EQ(S_OK, pin->QueryPinInfo(&pi));
    EXPECT_EQ(PINDIR_OUTPUT, pi.dir);
    EXPECT_STREQ(L"Out", pi.achName);
    EXPECT_TRUE(SameObject(pi.pFilter, static_cast<IBaseFilter*>(src.Get())));
    pi.pFilter->Release();
    LPWSTR id = nullptr;
    ASSERT_EQ(S_OK, pin->QueryId(&id));
    EXPECT_STREQ(L"Out", id);
    CoTaskMemFree(id);
    ComPtr<IPin> found;
    EXPECT_EQ(S_OK, src->FindPin(L"Out", &found));
    EXPECT_EQ(pin, found.Get());
    EXPECT_EQ(VFW_E_NOT_FOUND, src->FindPin(L"In", &found));

    ComPtr<IEnumMediaTypes> e;
    ASSERT_EQ(S_OK, pin->EnumMediaTypes(&e));
    AM_MEDIA_TYPE* got[3] = {};
    ULONG n = 0;
    EXPECT_EQ(S_FALSE, e->Next(3, got, &n));
    ASSERT_EQ(2u, n);
    EXPECT_TRUE(MediaType(*got[0]) == SmallVideo(MEDIASUBTYPE_RGB24));
    EXPECT_TRUE(MediaType(*got[1]) == SmallVideo(MEDIASUBTYPE_RGB32));
    for (ULONG i = 0; i < n; ++i) DeleteTaskMediaType(got[i]);

    EXPECT_EQ(S_OK, pin->QueryAccept(SmallVideo(MEDIASUBTYPE_RGB32).Ptr()));
    EXPECT_EQ(S_FALSE, pin->QueryAccept(SmallVideo(MEDIASUBTYPE_YUY2).Ptr()));
    ComPtr<IQualityControl> qc;
    EXPECT_EQ(S_OK, pin->QueryInterface(IID_IQualityControl, reinterpret_cast<void**>(&qc)));
    EXPECT_EQ(S_FALSE, pin->Disconnect());
    EXPECT_EQ(E_UNEXPECTED, pin->ReceiveConnection(nullptr, nullptr));
}

// IFilterGraph2::ReconnectEx runs synchronously under Wine, inside the
// caller: the source is disconnected and connected again with the new type.
TEST_F(FixtureTest, GraphReconnectsTheSource)
{
    TestSourceConfig sc = VideoSource(6);
    sc.mediaTypes = {SmallVideo(MEDIASUBTYPE_RGB24), SmallVideo(MEDIASUBTYPE_RGB32)};
    sc.sampleSize = 64 * 48 * 4;
    auto src = MakeSource(sc);
    auto sink = MakeSink({});
    TestGraph g;
    ASSERT_EQ(S_OK, g.Create());
    ASSERT_EQ(S_OK, g.Add(src, L"source"));
    ASSERT_EQ(S_OK, g.Add(sink, L"sink"));
    ASSERT_EQ(S_OK, g.ConnectDirect(src->Pin(), sink->Pin()));
    EXPECT_TRUE(src->CurrentType() == SmallVideo(MEDIASUBTYPE_RGB24));

    ComPtr<IFilterGraph2> g2;
    ASSERT_EQ(S_OK, g.Builder()->QueryInterface(IID_IFilterGraph2, reinterpret_cast<void**>(&g2)));
    const MediaType rgb32 = SmallVideo(MEDIASUBTYPE_RGB32);
    ASSERT_EQ(S_OK, g2->ReconnectEx(src->Pin(), rgb32.Ptr()));
    EXPECT_TRUE(src->CurrentType() == rgb32);
    EXPECT_TRUE(sink->CurrentType() == rgb32);
    EXPECT_EQ(2, src->Records().connections);

    // Reconnecting from the input side without a type renegotiates.
    ASSERT_EQ(S_OK, g2->Reconnect(sink->Pin()));
    EXPECT_TRUE(sink->CurrentType() == SmallVideo(MEDIASUBTYPE_RGB24));
    EXPECT_EQ(3, src->Records().connections);

    ASSERT_TRUE(g.RunToCompletion());
    ExpectStreamIntact(sink->Samples(), 6, 64 * 48 * 4, 10000);
}

// A source connected again from inside its own connection (the downstream
// pin asks the graph to reconnect while it receives the connection, and
// Wine does that at once on the same thread) ends up connected once, with
// both sides agreeing.
TEST_F(FixtureTest, ReconnectionInsideTheConnectionSettlesOnce)
{
    TestGraph g;
    ASSERT_EQ(S_OK, g.Create());
    ComPtr<IFilterGraph2> g2;
    ASSERT_EQ(S_OK, g.Builder()->QueryInterface(IID_IFilterGraph2, reinterpret_cast<void**>(&g2)));
    int calls = 0;
    TestSinkConfig kc;
    kc.onReceiveConnection = [&](IPin* connector) {
        if (++calls == 1) {
            EXPECT_EQ(S_OK, g2->Reconnect(connector));
        }
    };
    auto src = MakeSource(VideoSource(4));
    auto sink = MakeSink(kc);
    ASSERT_EQ(S_OK, g.Add(src, L"source"));
    ASSERT_EQ(S_OK, g.Add(sink, L"sink"));
    EXPECT_EQ(S_OK, g.ConnectDirect(src->Pin(), sink->Pin()));
    g2.Reset();
    EXPECT_EQ(2, calls);
    SourceRecords sr = src->Records();
    EXPECT_EQ(1, sr.connections);
    ASSERT_EQ(2u, sr.connectAttempts.size());
    EXPECT_EQ(S_OK, sr.connectAttempts[0].hr);  // the inner one
    EXPECT_EQ(VFW_E_ALREADY_CONNECTED, sr.connectAttempts[1].hr);
    ComPtr<IPin> peer;
    ASSERT_EQ(S_OK, sink->Pin()->ConnectedTo(&peer));
    EXPECT_EQ(src->Pin(), peer.Get());
    ASSERT_EQ(S_OK, src->Pin()->ConnectedTo(&peer));
    EXPECT_TRUE(SameObject(peer, sink->Pin()));
    EXPECT_EQ(1, sink->Records().notifyAllocatorCalls);

    ASSERT_TRUE(g.RunToCompletion());
    ExpectStreamIntact(sink->Samples(), 4, 64 * 48 * 4, 10000);
}

// Facts of Wine's Sample Grabber that later zero-copy tests stand on: it
// offers no allocator upstream, tells its downstream pin of none, and hands
// on the upstream sample itself.
TEST_F(FixtureTest, WineSampleGrabberHandsOnTheUpstreamSample)
{
    auto src = MakeSource(VideoSource(6));
    TestSinkConfig kc;
    kc.ownAllocator = true;
    auto sink = MakeSink(kc);
    TestGraph g;
    ASSERT_EQ(S_OK, BuildGrabberChain(g, src, sink, ConnectBy::Direct));
    ASSERT_TRUE(g.RunToCompletion());

    SourceRecords sr = src->Records();
    EXPECT_EQ(AllocatorOrigin::Own, sr.allocator.origin);
    EXPECT_EQ(VFW_E_NO_ALLOCATOR, sr.allocator.getAllocatorHr);
    SinkRecords kr = sink->Records();
    EXPECT_EQ(0, kr.notifyAllocatorCalls);
    ASSERT_EQ(6u, kr.samples.size());
    for (size_t i = 0; i < kr.samples.size(); ++i) {
        EXPECT_EQ(sr.pushes[i].sample, kr.samples[i].sample) << i;
        EXPECT_EQ(sr.pushes[i].buffer, kr.samples[i].buffer) << i;
    }
}

// Releasing the graph gives back every reference it and Wine's filters took.
TEST_F(FixtureTest, ReleasingTheGraphReturnsEveryReference)
{
    auto src = MakeSource(VideoSource(10));
    auto sink = MakeSink({});
    {
        TestGraph g;
        ASSERT_EQ(S_OK, BuildGrabberChain(g, src, sink, ConnectBy::Builder));
        EXPECT_GT(src->RefCount(), 1u);
        EXPECT_GT(sink->RefCount(), 1u);
        ASSERT_TRUE(g.RunToCompletion());
    }
    EXPECT_EQ(1u, src->RefCount());
    EXPECT_EQ(1u, sink->RefCount());
    // The filters left the graph disconnected.
    ComPtr<IPin> peer;
    EXPECT_EQ(VFW_E_NOT_CONNECTED, src->Pin()->ConnectedTo(&peer));
    EXPECT_EQ(VFW_E_NOT_CONNECTED, sink->Pin()->ConnectedTo(&peer));
    FILTER_INFO fi;
    ASSERT_EQ(S_OK, src->QueryFilterInfo(&fi));
    EXPECT_EQ(nullptr, fi.pGraph);
}

} // namespace
} // namespace dsfix
