// The spy filter's connections in Wine's filter graph manager: every output
// connection has the graph reconnect the input, so that one allocator serves
// both sides; a downstream pin that refuses the allocator for one subtype
// gets another; a new input type is carried downstream while the graph runs
// only when dynamic reconnection is on; and the forced pass-through allocator
// makes the source allocate from the downstream filter's allocator.
#include "SpyTestSupport.h"

#include <atomic>
#include <functional>
#include <thread>

namespace {

class SpyConnectionTest : public FilterTest
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

bool WaitForSpyState(SpyChain& chain, FILTER_STATE eState)
{
    for (int i = 0; i < 4000 && eState != chain.spy->FilterState(); ++i)
        Sleep(5);
    return eState == chain.spy->FilterState();
}

bool IsConnected(IPin* pPin)
{
    CComPtr<IPin> sp;
    return S_OK == pPin->ConnectedTo(&sp);
}

// ---------------------------------------------------------------------------
// Connections in the graph

struct WayInCase
{
    const char* pszCase;
    bool bBuilder; // IGraphBuilder::Connect, else IFilterGraph::ConnectDirect
};

class SpyConnectWayTest : public SpyConnectionTest, public ::testing::WithParamInterface<WayInCase>
{
};

// The source first gets a new allocator of the spy; once the output is
// connected the graph reconnects the input, and the source then allocates
// from the output allocator: one allocator from source to sink.
TEST_P(SpyConnectWayTest, TheOutputConnectionReconnectsTheInputToOneAllocator)
{
    const WayInCase& c = GetParam();
    dsfix::HangWatchdog watchdog(60000, c.pszCase);
    dsfix::TestSourceConfig sourceConfig;
    sourceConfig.mediaTypes = { TestVideoType() };
    sourceConfig.sampleCount = 6;
    dsfix::TestSinkConfig sinkConfig;
    sinkConfig.copyBytes = false;
    {
        dsfix::TestGraph graph;
        ASSERT_EQ(S_OK, graph.Create());
        dsfix::TestSource* pSource = NULL;
        ASSERT_EQ(S_OK, dsfix::TestSource::Create(sourceConfig, &pSource));
        dsfix::ComPtr<dsfix::TestSource> source;
        source.Attach(pSource);
        dsfix::TestSink* pSink = NULL;
        ASSERT_EQ(S_OK, dsfix::TestSink::Create(sinkConfig, &pSink));
        dsfix::ComPtr<dsfix::TestSink> sink;
        sink.Attach(pSink);
        CSpyPtr spy;
        ASSERT_EQ(S_OK, graph.Add(source.Get(), L"Source"));
        ASSERT_EQ(S_OK, graph.Add(spy.Filter(), L"Spy"));
        ASSERT_EQ(S_OK, graph.Add(sink.Get(), L"Sink"));
        if (c.bBuilder)
        {
            ASSERT_EQ(S_OK, graph.Connect(source->Pin(), spy.In()));
            ASSERT_EQ(S_OK, graph.Connect(spy.Out(), sink->Pin()));
        }
        else
        {
            ASSERT_EQ(S_OK, graph.ConnectDirect(source->Pin(), spy.In()));
            ASSERT_EQ(S_OK, graph.ConnectDirect(spy.Out(), sink->Pin()));
        }
        EXPECT_EQ(2, source->Records().connections) << "the output connection reconnected the input";
        EXPECT_TRUE(IsConnected(spy.In()));
        EXPECT_TRUE(IsConnected(spy.Out()));
        EXPECT_TRUE(ConnectionType(spy.In()) == ConnectionType(spy.Out()));
        CComPtr<IMemAllocator> spOut = spy->m_apOut->GetAllocatorOut();
        ASSERT_TRUE(spOut != NULL);
        EXPECT_TRUE(spOut.IsEqualObject(spy->m_apIn->m_spAllocIn)) << "one allocator";
        EXPECT_EQ(static_cast<IMemAllocator*>(spOut), sink->Records().notifiedAllocator);
        EXPECT_FALSE(spy->m_bSeparateAllocators);
        EXPECT_EQ(0, spy->m_bReconnecting);

        ASSERT_TRUE(graph.RunToCompletion(20000));
        const std::vector<dsfix::PushRecord> pushes = source->Pushes();
        const std::vector<dsfix::SampleRecord> got = sink->Samples();
        ASSERT_EQ(6u, got.size());
        ASSERT_EQ(6u, pushes.size());
        for (size_t i = 0; i < got.size(); ++i)
        {
            EXPECT_TRUE(got[i].patternOk) << i;
            EXPECT_EQ(pushes[i].buffer, got[i].buffer) << i << ": the buffer passes through";
        }
        graph.Release();
    }
}

INSTANTIATE_TEST_SUITE_P(Graph, SpyConnectWayTest,
                         ::testing::Values(WayInCase{ "ConnectDirect", false }, WayInCase{ "graph builder", true }));

// An output connection that cannot be followed by the input's reconnection
// fails and leaves the output and the downstream pin unconnected.
TEST_F(SpyConnectionTest, AnOutputConnectionWhoseInputCannotBeReconnectedFails)
{
    dsfix::HangWatchdog watchdog(60000, "failed reconnection");
    struct Case
    {
        const char* pszCase;
        bool bInputConnected; // to a pin outside the graph that cannot connect again
        bool bForced;         // the pass-through allocator is forced
        HRESULT hrExpected;
    };
    const Case cases[] = {
        { "input unconnected (no type is acceptable)", false, false, E_FAIL },
        { "input reconnection fails", true, false, E_NOTIMPL },
        // The failed reconnection must not leave the mode behind: the next
        // input connection would otherwise connect the output behind the
        // caller's back.
        { "input reconnection fails, forced", true, true, E_NOTIMPL },
    };
    for (const Case& c : cases)
    {
        CFakePin* pUp = new CFakePin(PINDIR_OUTPUT, L"Outside");
        pUp->m_types = { TestVideoType() };
        {
            CSpyPtr spy;
            dsfix::TestGraph graph;
            ASSERT_EQ(S_OK, graph.Create());
            ASSERT_EQ(S_OK, graph.Add(spy.Filter(), L"Spy"));
            dsfix::TestSink* pSink = NULL;
            ASSERT_EQ(S_OK, dsfix::TestSink::Create(dsfix::TestSinkConfig(), &pSink));
            dsfix::ComPtr<dsfix::TestSink> sink;
            sink.Attach(pSink);
            ASSERT_EQ(S_OK, graph.Add(sink.Get(), L"Sink"));
            if (c.bForced)
            {
                CComPtr<INRVSpyFilter> spItf;
                ASSERT_EQ(S_OK, spy->QueryInterface(__uuidof(INRVSpyFilter), reinterpret_cast<void**>(&spItf)));
                ASSERT_EQ(S_OK, spItf->ForcePassthruAllocator(1));
            }
            if (c.bInputConnected)
            {
                ASSERT_EQ(S_OK, spy.In()->ReceiveConnection(pUp, pUp->m_types[0].Ptr())) << c.pszCase;
            }
            EXPECT_EQ(c.hrExpected, graph.ConnectDirect(spy.Out(), sink->Pin(), NULL)) << c.pszCase;
            EXPECT_FALSE(IsConnected(spy.Out())) << c.pszCase;
            EXPECT_FALSE(IsConnected(sink->Pin())) << c.pszCase;
            EXPECT_TRUE(spy->m_apOut->GetAllocatorOut() == NULL) << c.pszCase;
            EXPECT_EQ(0, spy->m_bReconnecting) << c.pszCase;
            EXPECT_TRUE(spy->m_spDownstreamPin == NULL) << c.pszCase;
            spy.In()->Disconnect();
            graph.Release();
        }
        pUp->Release();
    }
}

// ---------------------------------------------------------------------------
// The allocator agreement tried with another type

// The sink takes both types but refuses every allocator while connected
// with YUY2: the output connection ends with UYVY, the input is reconnected
// with UYVY too, YUY2 is refused from then on although the sink still
// accepts it, and the stream flows.
TEST_F(SpyConnectionTest, ASubtypeWhoseAllocatorIsRefusedGivesWayToAnother)
{
    dsfix::HangWatchdog watchdog(60000, "subtype retry");
    const dsfix::MediaType mtYuy2 = dsfix::VideoType(MEDIASUBTYPE_YUY2, 320, 240);
    const dsfix::MediaType mtUyvy = dsfix::VideoType(MEDIASUBTYPE_UYVY, 320, 240);
    SpyChainConfig config;
    config.source.mediaTypes = { mtYuy2, mtUyvy };
    config.source.sampleCount = 4;
    config.sink.refuseAllocatorTypes = { dsfix::MajorType(MEDIATYPE_Video, MEDIASUBTYPE_YUY2) };
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));

    EXPECT_TRUE(ConnectionType(chain.spy.Out()) == mtUyvy);
    EXPECT_TRUE(ConnectionType(chain.spy.In()) == mtUyvy) << "the input was reconnected with the output's type";
    EXPECT_TRUE(chain.sink->CurrentType() == mtUyvy);
    EXPECT_FALSE(chain.spy->m_apOut->IsNewSubtype(MEDIASUBTYPE_YUY2));
    EXPECT_TRUE(chain.spy->m_apOut->IsNewSubtype(MEDIASUBTYPE_UYVY));
    EXPECT_EQ(S_OK, chain.sink->Pin()->QueryAccept(mtYuy2.Ptr()));
    EXPECT_EQ(S_FALSE, chain.spy.Out()->QueryAccept(mtYuy2.Ptr()));
    EXPECT_EQ(S_FALSE, chain.spy.In()->QueryAccept(mtYuy2.Ptr()));
    EXPECT_EQ(S_OK, chain.spy.In()->QueryAccept(mtUyvy.Ptr()));
    EXPECT_TRUE(chain.spy->m_apOut->GetAllocatorOut().IsEqualObject(chain.spy->m_apIn->m_spAllocIn));

    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_EQ(4u, chain.sink->Samples().size());

    // A new output connection starts with no refused subtype.
    ASSERT_EQ(S_OK, chain.spy.Out()->Disconnect());
    EXPECT_TRUE(chain.spy->m_apOut->IsNewSubtype(MEDIASUBTYPE_YUY2));
}

// The sink offers a type of its own that the source also has, so the output
// connects with another type than the input: the input's reconnection then
// has the output reconnected with the input's type, and the reconnections
// end there with one type on both sides.
TEST_F(SpyConnectionTest, DifferentTypesOnBothSidesEndWithOneType)
{
    dsfix::HangWatchdog watchdog(60000, "types converge");
    const dsfix::MediaType mtA = dsfix::VideoType(MEDIASUBTYPE_YUY2, 320, 240);
    const dsfix::MediaType mtB = dsfix::VideoType(MEDIASUBTYPE_UYVY, 320, 240);
    SpyChainConfig config;
    config.source.mediaTypes = { mtA, mtB };
    config.source.sampleCount = 4;
    config.sink.offerTypes = { mtB };
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    const dsfix::MediaType mtIn = ConnectionType(chain.spy.In());
    EXPECT_TRUE(mtIn == ConnectionType(chain.spy.Out()));
    EXPECT_TRUE(mtIn == chain.source->CurrentType());
    EXPECT_TRUE(mtIn == chain.sink->CurrentType());
    EXPECT_TRUE(IsConnected(chain.source->Pin()));
    EXPECT_TRUE(IsConnected(chain.sink->Pin()));
    EXPECT_LE(chain.source->Records().connections, 4) << "no endless reconnection";
    EXPECT_FALSE(SpyLinesWith(m_log, L"MakeReconnect( Out )").empty()) << "the output was reconnected";
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_EQ(4u, chain.sink->Samples().size());
}

// When no type gets an allocator the output is not connected.
TEST_F(SpyConnectionTest, WhenNoTypeGetsAnAllocatorTheOutputStaysUnconnected)
{
    dsfix::HangWatchdog watchdog(60000, "no allocator at all");
    SpyChainConfig config;
    config.source.mediaTypes = { dsfix::VideoType(MEDIASUBTYPE_YUY2, 320, 240),
                                 dsfix::VideoType(MEDIASUBTYPE_UYVY, 320, 240) };
    config.sink.notifyAllocatorResult = VFW_E_BADALIGN;
    SpyChain chain;
    EXPECT_TRUE(FAILED(chain.Build(config)));
    EXPECT_FALSE(IsConnected(chain.spy.Out()));
    EXPECT_FALSE(IsConnected(chain.sink->Pin()));
    EXPECT_TRUE(IsConnected(chain.spy.In()));
}

// A sink that takes a type in QueryAccept and refuses it in
// ReceiveConnection (as Wine's Video Renderer does with types its display
// cannot show). The input, connected with the type the sink works with, is
// reconnected after the output connection, and upstream offers that other
// type first: with enumeration redirection the output learnt the refusal
// while it connected, and the input refuses the type at once; without it the
// output's reconnection with the type fails, the output gets its working type
// back, and the input refuses the type. Either way upstream's next type is
// taken, the chain ends whole and plays.
TEST_F(SpyConnectionTest, ATypeTheSinkOnlyPretendsToTakeGivesWayToTheWorkingOne)
{
    dsfix::HangWatchdog watchdog(60000, "a type the sink only pretends to take");
    const dsfix::MediaType mtRgb = dsfix::VideoType(MEDIASUBTYPE_RGB24, 320, 240);
    const dsfix::MediaType mtYuy2 = dsfix::VideoType(MEDIASUBTYPE_YUY2, 320, 240);
    for (const bool bRedir : { true, false })
    {
        SCOPED_TRACE(bRedir ? "enumeration redirection on" : "enumeration redirection off");
        SpyChainConfig config;
        config.source.mediaTypes = { mtRgb, mtYuy2 };
        config.source.sampleCount = 3;
        config.sink.refuseConnectionTypes = { dsfix::MajorType(MEDIATYPE_Video, MEDIASUBTYPE_RGB24) };
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(config));
        // As a user inserts the spy: the input first, with the type the sink
        // works with, then the output.
        CComPtr<INRVSpyFilter> spItf;
        ASSERT_EQ(S_OK, chain.spy->QueryInterface(__uuidof(INRVSpyFilter), reinterpret_cast<void**>(&spItf)));
        ASSERT_EQ(S_OK, spItf->EnableMTEnumRedir(bRedir ? 1 : 0));
        ASSERT_EQ(S_OK, chain.spy.Out()->Disconnect());
        ASSERT_EQ(S_OK, chain.spy.In()->Disconnect());
        chain.source->Pin()->Disconnect();
        // What the first connection learnt about the sink is forgotten, as
        // for a sink never met before.
        chain.spy->m_apOut->ForgetRefusals();
        ASSERT_EQ(S_OK, chain.graph.ConnectDirect(chain.source->Pin(), chain.spy.In(), mtYuy2.Ptr()));
        m_log.Reset();
        ASSERT_EQ(S_OK, chain.graph.ConnectDirect(chain.spy.Out(), chain.sink->Pin(), NULL));

        EXPECT_TRUE(IsConnected(chain.spy.In()));
        EXPECT_TRUE(IsConnected(chain.spy.Out()));
        EXPECT_TRUE(ConnectionType(chain.spy.In()) == mtYuy2);
        EXPECT_TRUE(ConnectionType(chain.spy.Out()) == mtYuy2);
        EXPECT_TRUE(chain.sink->CurrentType() == mtYuy2);
        EXPECT_EQ(!bRedir, m_log.HasLineContaining(L"ReconnectOutput(): the downstream pin did not connect with the "
                                                   L"new type"));
        EXPECT_EQ(S_FALSE, chain.spy.In()->QueryAccept(mtRgb.Ptr())) << "the refused type is not taken again";
        ASSERT_TRUE(chain.graph.RunToCompletion(20000));
        EXPECT_EQ(3u, chain.sink->Samples().size());
    }
}

// ---------------------------------------------------------------------------
// A changed YUV type between the AVI splitter and the overlay mixer

// The output pin is asked about a type that the upstream pin refuses: only a
// YUV type between those two filters is taken.
TEST_F(SpyConnectionTest, AChangedYuvTypeIsTakenOnlyBetweenTheAviSplitterAndTheOverlayMixer)
{
    const CLSID clsidAviSplitter = { 0x1B544C20, 0xFD0B, 0x11CE, { 0x8C, 0x63, 0x00, 0xAA, 0x00, 0x44, 0xB5, 0x1E } };
    const CLSID clsidOverlayMixer = { 0xCD8743A1, 0x3736, 0x11D0, { 0x9E, 0x69, 0x00, 0xC0, 0x4F, 0xD7, 0xC1, 0x5B } };
    struct Case
    {
        const char* pszCase;
        CLSID clsidUp;
        CLSID clsidDown;
        GUID subtype;
        HRESULT hrExpected;
    };
    const Case cases[] = {
        { "YUY2 between them", clsidAviSplitter, clsidOverlayMixer, MEDIASUBTYPE_YUY2, S_OK },
        { "UYVY between them", clsidAviSplitter, clsidOverlayMixer, MEDIASUBTYPE_UYVY, S_OK },
        { "RGB24 between them", clsidAviSplitter, clsidOverlayMixer, MEDIASUBTYPE_RGB24, S_FALSE },
        { "another upstream filter", CLSID_NULL, clsidOverlayMixer, MEDIASUBTYPE_YUY2, S_FALSE },
        { "another downstream filter", clsidAviSplitter, CLSID_NULL, MEDIASUBTYPE_YUY2, S_FALSE },
    };
    for (const Case& c : cases)
    {
        CFakePin* pUp = new CFakePin(PINDIR_OUTPUT, L"Up");
        CFakePin* pDown = new CFakePin(PINDIR_INPUT, L"Down");
        pUp->m_pFilter->m_clsid = c.clsidUp;
        pDown->m_pFilter->m_clsid = c.clsidDown;
        {
            CSpyPtr spy;
            ASSERT_EQ(S_OK, spy.In()->ReceiveConnection(pUp, TestVideoType().Ptr())) << c.pszCase;
            // The output stands connected as far as the filter can tell.
            spy->m_apOut->m_spConnected = pDown;
            pUp->m_hrQueryAccept = S_FALSE;
            const dsfix::MediaType mt = dsfix::VideoType(c.subtype, 640, 480);
            m_log.Reset();
            EXPECT_EQ(c.hrExpected, spy.Out()->QueryAccept(mt.Ptr())) << c.pszCase;
            EXPECT_EQ(S_OK == c.hrExpected,
                      m_log.HasLine(std::wstring(spy->GetTraceName()) +
                                    L" Filter_QueryAcceptMT(): we between AviSplitter and OverlayMixer, accepts "
                                    L"changed YUV type\n"))
                << c.pszCase;
            spy->m_apOut->m_spConnected.Release();
            pUp->m_hrQueryAccept = S_OK;
            EXPECT_EQ(S_OK, spy.In()->Disconnect());
        }
        pUp->Release();
        pDown->Release();
    }
}

// ---------------------------------------------------------------------------
// A new type while running

struct LiveCase
{
    const char* pszCase;
    bool bSwitch;         // dynamic reconnection on
    bool bSinkTakes;      // the sink takes a new type while running
    bool bSeparate;       // the chain runs with two allocators
    HRESULT hrExpected;
    size_t nSinkCalls;    // ReceiveConnection calls that reached the sink while running
    HRESULT hrSink = S_OK; // what the sink answers a new type it accepts
};

class SpyLiveTypeTest : public SpyConnectionTest, public ::testing::WithParamInterface<LiveCase>
{
};

TEST_P(SpyLiveTypeTest, ANewInputTypeIsCarriedDownstreamOnlyWhenEverythingAllowsIt)
{
    const LiveCase& c = GetParam();
    dsfix::HangWatchdog watchdog(60000, c.pszCase);
    const dsfix::MediaType mtOld = dsfix::VideoType(MEDIASUBTYPE_YUY2, 320, 240);
    const dsfix::MediaType mtNew = dsfix::VideoType(MEDIASUBTYPE_YUY2, 320, 120);
    SpyChainConfig config;
    config.source.mediaTypes = { mtOld };
    config.source.credit = 0; // nothing flows: only the connection is changed
    config.bNoClock = true;
    config.sink.dynamicReconnect = c.bSinkTakes;
    config.sink.dynamicReconnectResult = c.hrSink;
    if (c.bSeparate)
        UseSeparateAllocators(config);
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config)) << c.pszCase;
    CComPtr<INRVSpyFilter> spItf;
    ASSERT_EQ(S_OK, chain.spy->QueryInterface(__uuidof(INRVSpyFilter), reinterpret_cast<void**>(&spItf)));
    ASSERT_EQ(S_OK, spItf->EnableDynReconnect(c.bSwitch ? 1 : 0));
    ASSERT_TRUE(SUCCEEDED(chain.graph.Run()));
    ASSERT_TRUE(WaitForSpyState(chain, State_Running));
    const size_t nBefore = chain.sink->Records().receiveConnections.size();

    EXPECT_EQ(c.hrExpected, chain.spy.In()->ReceiveConnection(chain.source->Pin(), mtNew.Ptr())) << c.pszCase;
    const dsfix::MediaType mtNow = (S_OK == c.hrExpected) ? mtNew : mtOld;
    EXPECT_TRUE(ConnectionType(chain.spy.In()) == mtNow) << c.pszCase;
    EXPECT_TRUE(ConnectionType(chain.spy.Out()) == mtNow) << c.pszCase;
    EXPECT_TRUE(chain.sink->CurrentType() == mtNow) << c.pszCase;
    EXPECT_EQ(nBefore + c.nSinkCalls, chain.sink->Records().receiveConnections.size()) << c.pszCase;
    EXPECT_TRUE(IsConnected(chain.spy.In())) << c.pszCase;
    EXPECT_TRUE(IsConnected(chain.spy.Out())) << c.pszCase;
    if (S_OK == c.hrExpected)
    {
        // Upstream then notifies the one allocator again: the sink is told too.
        CComPtr<IMemInputPin> spMemIn;
        ASSERT_EQ(S_OK, chain.spy.In()->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemIn)));
        CComPtr<IMemAllocator> spAlloc = chain.spy->m_apIn->m_spAllocIn;
        ASSERT_TRUE(spAlloc != NULL);
        const long nNotified = chain.sink->Records().notifyAllocatorCalls;
        EXPECT_EQ(S_OK, spMemIn->NotifyAllocator(spAlloc, FALSE));
        EXPECT_EQ(nNotified + 1, chain.sink->Records().notifyAllocatorCalls);
        EXPECT_EQ(static_cast<IMemAllocator*>(spAlloc), chain.sink->Records().notifiedAllocator);
        EXPECT_TRUE(IsConnected(chain.spy.In()));
    }
    if (c.bSeparate)
    {
        EXPECT_TRUE(m_log.HasAssert("CSpyFilter::Filter_CompleteConnect(): Separate allocators are used")) << c.pszCase;
    }
    EXPECT_TRUE(SUCCEEDED(chain.graph.Stop()));
}

INSTANTIATE_TEST_SUITE_P(
    Running, SpyLiveTypeTest,
    ::testing::Values(LiveCase{ "switch on, sink takes it", true, true, false, S_OK, 1 },
                      LiveCase{ "switch off", false, true, false, VFW_E_NOT_STOPPED, 0 },
                      LiveCase{ "sink refuses (its own code comes back)", true, false, false, VFW_E_ALREADY_CONNECTED, 1 },
                      LiveCase{ "separate allocators", true, true, true, E_FAIL, 0 },
                      // A downstream answer that is a success code but not
                      // S_OK did not take the type: a refusal, never success.
                      LiveCase{ "sink answers S_FALSE", true, true, false, VFW_E_TYPE_NOT_ACCEPTED, 1, S_FALSE },
                      LiveCase{ "sink answers another success code", true, true, false, VFW_E_TYPE_NOT_ACCEPTED, 1,
                                VFW_S_PARTIAL_RENDER },
                      LiveCase{ "sink answers a failure", true, true, false, VFW_E_INVALIDMEDIATYPE, 1,
                                VFW_E_INVALIDMEDIATYPE }));

// ---------------------------------------------------------------------------
// The forced pass-through allocator

// The source hands out its own allocator read-only and the sink asks for
// more buffers: by default the spy copies into the sink's allocator; forced,
// the source's allocator reaches the sink and the buffers pass unchanged.
// Switched off, the mode ends at once and the input is reconnected; switched
// on again, the mode starts afresh (no pin of the earlier mode is left to be
// taken for its end).
TEST_F(SpyConnectionTest, ForcedPassThroughGivesOneAllocatorWhereTheDefaultGivesTwo)
{
    dsfix::HangWatchdog watchdog(120000, "forced pass-through");
    SpyChainConfig config;
    config.source.sampleCount = 5;
    UseSeparateAllocators(config);
    config.sink.ownAllocator = true;
    config.sink.acceptTypes = { dsfix::MajorType(MEDIATYPE_Video, MEDIASUBTYPE_YUY2) };
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    CComPtr<INRVSpyFilter> spItf;
    ASSERT_EQ(S_OK, chain.spy->QueryInterface(__uuidof(INRVSpyFilter), reinterpret_cast<void**>(&spItf)));
    CComPtr<IMemAllocator> spSinkAlloc;
    ASSERT_EQ(S_OK, chain.sink->GetOwnAllocator(&spSinkAlloc));
    const dsfix::MediaType mtRgb = dsfix::VideoType(MEDIASUBTYPE_RGB24, 320, 240);
    const std::wstring sName = chain.spy->GetTraceName();

    // Checks the allocators and one stream; bShared: the source's buffers
    // reach the sink.
    auto CheckStream = [&](bool bShared, const char* pszStep) {
        EXPECT_TRUE(IsConnected(chain.spy.In())) << pszStep;
        EXPECT_TRUE(IsConnected(chain.spy.Out())) << pszStep;
        EXPECT_EQ(bShared ? FALSE : TRUE, chain.spy->m_bSeparateAllocators) << pszStep;
        chain.sink->ClearRecords();
        chain.source->ClearRecords();
        ASSERT_TRUE(chain.graph.RunToCompletion(20000)) << pszStep;
        const std::vector<dsfix::PushRecord> pushes = chain.source->Pushes();
        const std::vector<dsfix::SampleRecord> got = chain.sink->Samples();
        ASSERT_EQ(5u, got.size()) << pszStep;
        ASSERT_EQ(5u, pushes.size()) << pszStep;
        for (size_t i = 0; i < got.size(); ++i)
        {
            EXPECT_TRUE(got[i].patternOk) << pszStep << " " << i;
            EXPECT_EQ(bShared, pushes[i].buffer == got[i].buffer) << pszStep << " " << i;
        }
    };

    CheckStream(false, "default");
    EXPECT_EQ(static_cast<IMemAllocator*>(spSinkAlloc), chain.sink->Records().notifiedAllocator);

    for (int nRound = 0; nRound < 2; ++nRound)
    {
        m_log.Reset();
        ASSERT_EQ(S_OK, spItf->ForcePassthruAllocator(1)) << nRound;
        EXPECT_TRUE(m_log.HasLine(sName + L" Filter_CompleteConnectOutput(): Reconnection\n")) << nRound;
        EXPECT_TRUE(m_log.HasLine(sName + L" PassThru_Disconnect(): start reconnection\n")) << nRound;
        EXPECT_FALSE(m_log.HasLine(sName + L" PassThru_Disconnect(): stop reconnection\n")) << nRound;
        EXPECT_EQ(1, chain.spy->m_bReconnecting) << nRound;
        EXPECT_TRUE(chain.spy->m_spDownstreamPin.IsEqualObject(chain.sink->Pin())) << nRound;
        EXPECT_FALSE(chain.spy->m_apIn->m_bOwnAllocator) << nRound;
        // The source's allocator went to the sink as it is.
        CComPtr<IMemAllocator> spSource;
        ASSERT_EQ(S_OK, chain.source->GetAllocator(&spSource));
        EXPECT_EQ(static_cast<IMemAllocator*>(spSource), chain.sink->Records().notifiedAllocator) << nRound;
        EXPECT_TRUE(chain.spy->m_apOut->GetAllocatorOut().IsEqualObject(spSource)) << nRound;
        // The input pin answers as the sink does.
        EXPECT_EQ(S_FALSE, chain.sink->Pin()->QueryAccept(mtRgb.Ptr()));
        EXPECT_EQ(S_FALSE, chain.spy.In()->QueryAccept(mtRgb.Ptr())) << nRound;
        EXPECT_TRUE(ConnectionType(chain.spy.In()) == chain.sink->CurrentType()) << nRound;
        CheckStream(true, "forced");

        m_log.Reset();
        ASSERT_EQ(S_OK, spItf->ForcePassthruAllocator(0)) << nRound;
        EXPECT_EQ(0, chain.spy->m_bReconnecting) << nRound;
        EXPECT_TRUE(chain.spy->m_spDownstreamPin == NULL) << nRound;
        // The output connection stays as the mode left it, with the upstream
        // allocator; the source's new allocator is passed on in its place.
        EXPECT_FALSE(m_log.HasLine(sName + L" PassThru_Disconnect(): stop reconnection\n")) << nRound;
        CheckStream(true, "switched off");
    }
}

// In the pass-through mode the output is connected to the downstream pin
// before the input takes the connection; when the input then refuses, the
// output is disconnected again.
TEST_F(SpyConnectionTest, AnInputConnectionRefusedInThePassThroughModeLeavesTheOutputUnconnected)
{
    dsfix::HangWatchdog watchdog(60000, "pass-through refusal");
    SpyChainConfig config;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    // The state in the middle of a pass-through reconnection: both sides
    // disconnected, the downstream pin kept.
    chain.source->Pin()->Disconnect();
    ASSERT_EQ(S_OK, chain.spy.In()->Disconnect());
    chain.spy->m_spDownstreamPin = chain.sink->Pin();
    chain.spy->m_bReconnecting = 1;
    ASSERT_EQ(S_OK, chain.spy.Out()->Disconnect());

    // A connector of the wrong direction: the output connection succeeds,
    // then the input refuses.
    CFakePin* pWrong = new CFakePin(PINDIR_INPUT, L"Wrong");
    EXPECT_EQ(VFW_E_INVALID_DIRECTION, chain.spy.In()->ReceiveConnection(pWrong, TestVideoType().Ptr()));
    EXPECT_FALSE(IsConnected(chain.spy.In()));
    EXPECT_FALSE(IsConnected(chain.spy.Out()));
    EXPECT_FALSE(IsConnected(chain.sink->Pin()));
    pWrong->Release();

    // The mode is still on for the real connection.
    EXPECT_EQ(1, chain.spy->m_bReconnecting);
    ASSERT_EQ(S_OK, chain.graph.ConnectDirect(chain.source->Pin(), chain.spy.In(), NULL));
    EXPECT_TRUE(IsConnected(chain.spy.Out()));
    EXPECT_TRUE(chain.spy->m_apOut->GetAllocatorOut().IsEqualObject(chain.spy->m_apIn->m_spAllocIn));
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_EQ(10u, chain.sink->Samples().size());
}

// In the pass-through mode an unconnected input answers Disconnect with S_OK
// and nothing else; with the output already gone the next input Disconnect
// ends the mode.
TEST_F(SpyConnectionTest, DisconnectingInThePassThroughModeEndsIt)
{
    dsfix::HangWatchdog watchdog(60000, "pass-through disconnect");
    SpyChainConfig config;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    CComPtr<INRVSpyFilter> spItf;
    ASSERT_EQ(S_OK, chain.spy->QueryInterface(__uuidof(INRVSpyFilter), reinterpret_cast<void**>(&spItf)));
    ASSERT_EQ(S_OK, spItf->ForcePassthruAllocator(1));
    ASSERT_EQ(1, chain.spy->m_bReconnecting);

    ASSERT_EQ(S_OK, chain.spy.Out()->Disconnect());
    m_log.Reset();
    EXPECT_EQ(S_OK, chain.spy.In()->Disconnect());
    EXPECT_TRUE(m_log.HasLine(chain.spy->GetTraceName() + std::wstring(L" PassThru_Disconnect(): output already disconnected\n")));
    EXPECT_EQ(0, chain.spy->m_bReconnecting);
    EXPECT_TRUE(chain.spy->m_spDownstreamPin == NULL);
    EXPECT_FALSE(IsConnected(chain.spy.In()));
    chain.source->Pin()->Disconnect();

    // Unconnected: S_OK, in both modes, and the mode is not touched.
    EXPECT_EQ(S_OK, chain.spy.In()->Disconnect());
    chain.spy->m_bReconnecting = 1;
    m_log.Reset();
    EXPECT_EQ(S_OK, chain.spy.In()->Disconnect());
    EXPECT_EQ(1, chain.spy->m_bReconnecting);
    EXPECT_TRUE(SpyLinesWith(m_log, L"PassThru_").empty());
    chain.spy->m_bReconnecting = 0;
}

// ---------------------------------------------------------------------------
// Faults found by hostile hosts

// A YUY2 video type whose format block is the bytes of format (a large block
// makes a copy of a freed one fault); it points into format.
AM_MEDIA_TYPE YuyvTypeWithFormat(std::vector<BYTE>& format)
{
    AM_MEDIA_TYPE mt;
    ZeroMemory(&mt, sizeof(mt));
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_YUY2;
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = static_cast<ULONG>(format.size());
    mt.pbFormat = format.data();
    return mt;
}

// A thread that enumerates the output's types while another connects and
// disconnects the input: the output's type is emptied under the output
// pin's lock, never while an enumerator copies it (a 4 MB format block makes
// a copy of a freed block fault).
TEST_F(SpyConnectionTest, EnumeratingTheOutputTypeWhileTheInputDisconnectsIsSafe)
{
    dsfix::HangWatchdog watchdog(120000, "enumeration against disconnection");
    CSilentLog silent;
    std::vector<BYTE> format(4 << 20, 0x5A);
    AM_MEDIA_TYPE mtBig = YuyvTypeWithFormat(format);
    CFakePin* pUp = new CFakePin(PINDIR_OUTPUT, L"Up");
    {
        CSpyPtr spy;
        CComPtr<INRVSpyFilter> spItf;
        ASSERT_EQ(S_OK, spy->QueryInterface(__uuidof(INRVSpyFilter), reinterpret_cast<void**>(&spItf)));
        ASSERT_EQ(S_OK, spItf->EnableMTEnumRedir(0)); // the output enumerates its own type
        CComPtr<IMemInputPin> spMemIn;
        ASSERT_EQ(S_OK, spy.In()->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemIn)));
        CComPtr<IMemAllocator> spAlloc;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, NULL, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                         reinterpret_cast<void**>(&spAlloc)));
        volatile LONG nStop = 0;
        volatile LONG nCopies = 0;
        IPin* pOut = spy.Out();
        std::thread enumerator([&] {
            dsfix::ComInit com;
            while (0 == nStop)
            {
                CComPtr<IEnumMediaTypes> spEnum;
                if (S_OK != pOut->EnumMediaTypes(&spEnum) || !spEnum)
                    continue;
                AM_MEDIA_TYPE* pmt = NULL;
                ULONG n = 0;
                if (S_OK == spEnum->Next(1, &pmt, &n))
                    InterlockedIncrement(&nCopies);
                MTDelete(pmt);
            }
        });
        const DWORD dwStart = GetTickCount();
        for (int i = 0; i < 300 && GetTickCount() - dwStart < 15000; ++i)
        {
            EXPECT_EQ(S_OK, spy.In()->ReceiveConnection(pUp, &mtBig));
            EXPECT_EQ(S_OK, spMemIn->NotifyAllocator(spAlloc, FALSE)); // the output takes the input's type
            EXPECT_EQ(S_OK, spy.In()->Disconnect());
        }
        InterlockedExchange(&nStop, 1);
        enumerator.join();
        EXPECT_GT(nCopies, 0);
    }
    pUp->Release();
}

// What a thread that changes the output's type did while this thread held
// the output pin's lock, as an enumerator does while it copies that type.
struct WindowMet
{
    bool bWaited = false;     // the writer came to wait for the lock
    bool bEnded = false;      // the writer ended while the lock was held
    bool bTypeWhole = false;  // the type under the lock stayed as it was
};

// Runs writer on a thread of its own while this thread holds the output
// pin's lock, until the writer waits for that lock (Wine counts every waiter
// of a critical section in its LockCount) or ends, at most 20 s; then lets
// it go and waits for its end. Without a gate the lock is taken before the
// writer starts; with one, the writer starts first and the lock is taken
// once the writer has signalled hReady, after which hHeld is signalled (the
// writer waits for it at a point past its earlier uses of the lock).
WindowMet MeetTheTypeWriter(SpyObject* pSpy, const std::function<void()>& writer, HANDLE hReady = NULL,
                            HANDLE hHeld = NULL)
{
    WindowMet met;
    COutput* pOut = pSpy->m_apOut;
    const CRITICAL_SECTION& cs = pOut->m_critsec.m_sec;
    std::atomic<bool> bEnded(false);
    std::thread thread;
    const auto Start = [&] {
        thread = std::thread([&] {
            dsfix::ComInit com;
            writer();
            bEnded = true;
        });
    };
    if (hReady)
    {
        Start();
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hReady, 20000)) << "the writer never came to its gate";
    }
    {
        COutput::ObjectLock lock(pOut);
        const dsfix::MediaType mtBefore(pOut->m_mt);
        const BYTE* pbBefore = pOut->m_mt.pbFormat;
        if (hHeld)
            SetEvent(hHeld);
        if (!hReady)
            Start();
        const DWORD dwStart = GetTickCount();
        while (!bEnded && cs.LockCount <= 0 && GetTickCount() - dwStart < 20000)
            Sleep(1);
        met.bWaited = cs.LockCount > 0;
        met.bEnded = bEnded;
        // The block is read only where it is still the one it was.
        met.bTypeWhole = pOut->m_mt.pbFormat == pbBefore && pOut->m_mt.cbFormat == mtBefore.Get().cbFormat &&
                         dsfix::MediaType(pOut->m_mt) == mtBefore;
    }
    thread.join();
    return met;
}

// Every change of the output's type that another pin's call makes waits for
// the output pin's lock, under which the output's enumerators copy that type:
// a thread holds the lock as such a copy does, and the change must come to
// wait for it with the type still whole. The input's disconnection empties
// the type of an unconnected output; a sample that brings a new type on the
// pass-through path has the output take the downstream pin's new type.
TEST_F(SpyConnectionTest, TheOutputTypeChangesOnlyUnderTheOutputPinsLock)
{
    dsfix::HangWatchdog watchdog(120000, "output type against its lock");
    std::vector<BYTE> format(1 << 20, 0x5A);
    AM_MEDIA_TYPE mtBig = YuyvTypeWithFormat(format);

    // The input disconnects while the output is unconnected.
    CFakePin* pUp = new CFakePin(PINDIR_OUTPUT, L"Up");
    {
        CSpyPtr spy;
        CComPtr<IMemInputPin> spMemIn;
        ASSERT_EQ(S_OK, spy.In()->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemIn)));
        CComPtr<IMemAllocator> spAlloc;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, NULL, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                         reinterpret_cast<void**>(&spAlloc)));
        for (int nRound = 0; nRound < 3; ++nRound)
        {
            ASSERT_EQ(S_OK, spy.In()->ReceiveConnection(pUp, &mtBig)) << nRound;
            ASSERT_EQ(S_OK, spMemIn->NotifyAllocator(spAlloc, FALSE)) << nRound;
            ASSERT_EQ(mtBig.cbFormat, spy->m_apOut->m_mt.cbFormat) << nRound << ": the output took the input's type";
            HRESULT hr = E_PENDING;
            const WindowMet met = MeetTheTypeWriter(spy.Get(), [&] { hr = spy.In()->Disconnect(); });
            EXPECT_TRUE(met.bWaited) << nRound << ": the disconnection never waited for the output pin's lock";
            EXPECT_FALSE(met.bEnded) << nRound << ": the disconnection went by the output pin's lock";
            EXPECT_TRUE(met.bTypeWhole) << nRound << ": the output's type changed under its pin's lock";
            EXPECT_EQ(S_OK, hr) << nRound;
            EXPECT_TRUE(IsEqualGUID(GUID_NULL, spy->m_apOut->m_mt.majortype)) << nRound;
            EXPECT_EQ(0u, spy->m_apOut->m_mt.cbFormat) << nRound;
        }
    }
    pUp->Release();

    // A sample with a new type passes, on one allocator, to a sink that
    // takes the type; the lock is taken while the sink has the sample, past
    // the input's acceptance of the type (which reads the output's record of
    // refused types under that lock).
    {
        SpyChainConfig config;
        config.source.sampleCount = 1;
        config.source.credit = 0;
        config.bNoClock = true;
        HANDLE hReady = CreateEventW(NULL, TRUE, FALSE, NULL);
        HANDLE hHeld = CreateEventW(NULL, TRUE, FALSE, NULL);
        config.sink.onReceive = [=](IMediaSample*) {
            SetEvent(hReady);
            WaitForSingleObject(hHeld, 20000);
        };
        SpyChain chain;
        ASSERT_EQ(S_OK, chain.Build(config));
        ASSERT_FALSE(chain.spy->m_bSeparateAllocators);
        ASSERT_TRUE(SUCCEEDED(chain.graph.Run()));
        ASSERT_TRUE(WaitForSpyState(chain, State_Running));
        CComQIPtr<IMemInputPin> spMemIn(chain.spy.In());
        ASSERT_TRUE(spMemIn != NULL);
        const dsfix::MediaType mtOld(chain.spy->m_apOut->m_mt);
        const dsfix::MediaType mtNew = dsfix::VideoType(MEDIASUBTYPE_YUY2, 320, 120);
        CWineSamples samples(320 * 240 * 2, 2);
        CComPtr<IMediaSample> spSample = samples.Get(320 * 120 * 2);
        ASSERT_TRUE(spSample != NULL);
        AM_MEDIA_TYPE mtAttached = mtNew.Get();
        ASSERT_EQ(S_OK, spSample->SetMediaType(&mtAttached));
        HRESULT hr = E_PENDING;
        const WindowMet met =
            MeetTheTypeWriter(chain.spy.Get(), [&] { hr = spMemIn->Receive(spSample); }, hReady, hHeld);
        EXPECT_TRUE(met.bWaited) << "the type refresh never waited for the output pin's lock";
        EXPECT_FALSE(met.bEnded) << "the type refresh went by the output pin's lock";
        EXPECT_TRUE(met.bTypeWhole) << "the output's type changed under its pin's lock";
        EXPECT_EQ(S_OK, hr);
        EXPECT_TRUE(chain.sink->CurrentType() == mtNew);
        EXPECT_TRUE(dsfix::MediaType(chain.spy->m_apOut->m_mt) == mtNew);
        EXPECT_FALSE(dsfix::MediaType(chain.spy->m_apOut->m_mt) == mtOld);
        spSample.Release();
        EXPECT_TRUE(SUCCEEDED(chain.graph.Stop()));
        SetEvent(hHeld); // nothing waits at the gate any more
        chain.graph.Release();
        CloseHandle(hReady);
        CloseHandle(hHeld);
    }
}

// A downstream pin that has this output disconnected while it decides, and
// then refuses the type, refused it: the next type is tried, and the refused
// type is not left on the output.
TEST_F(SpyConnectionTest, ARefusalAfterTheDownstreamPinDisconnectedUsIsARefusal)
{
    dsfix::HangWatchdog watchdog(60000, "refusal with a nested disconnection");
    const dsfix::MediaType mtYuy2 = dsfix::VideoType(MEDIASUBTYPE_YUY2, 320, 240);
    const dsfix::MediaType mtUyvy = dsfix::VideoType(MEDIASUBTYPE_UYVY, 320, 240);
    SpyChainConfig config;
    config.source.mediaTypes = { mtYuy2, mtUyvy };
    config.source.sampleCount = 3;
    config.sink.acceptTypes = { dsfix::MajorType(MEDIATYPE_Video, MEDIASUBTYPE_UYVY) };
    int nCalls = 0;
    config.sink.onReceiveConnection = [&](IPin* pConnector) {
        if (0 == nCalls++)
            pConnector->Disconnect();
    };
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    EXPECT_TRUE(ConnectionType(chain.spy.Out()) == mtUyvy);
    EXPECT_TRUE(ConnectionType(chain.spy.In()) == mtUyvy);
    EXPECT_TRUE(chain.sink->CurrentType() == mtUyvy);
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_EQ(3u, chain.sink->Samples().size());
}

// A connection asked for with a complete type ends with that type or fails,
// also while another thread asks the same output pin for a connection with
// any type (that one comes in while the sink decides about the first). The
// sink takes YUY2 but refuses its allocator, so the connection with YUY2
// fails, and the other one then connects with UYVY.
TEST_F(SpyConnectionTest, AConnectionAskedWithATypeKeepsItWhileAnotherThreadConnects)
{
    dsfix::HangWatchdog watchdog(60000, "given type against a second Connect");
    const dsfix::MediaType mtYuy2 = dsfix::VideoType(MEDIASUBTYPE_YUY2, 320, 240);
    const dsfix::MediaType mtUyvy = dsfix::VideoType(MEDIASUBTYPE_UYVY, 320, 240);
    SpyChainConfig config;
    config.source.mediaTypes = { mtYuy2, mtUyvy };
    config.sink.refuseAllocatorTypes = { dsfix::MajorType(MEDIATYPE_Video, MEDIASUBTYPE_YUY2) };
    HANDLE hInside = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::atomic<bool> bArmed(false);
    config.sink.onReceiveConnection = [&](IPin*) {
        if (bArmed.exchange(false))
        {
            SetEvent(hInside);
            Sleep(500); // the other Connect comes in meanwhile
        }
    };
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_TRUE(ConnectionType(chain.spy.Out()) == mtUyvy);
    ASSERT_EQ(S_OK, chain.spy.Out()->Disconnect());

    bArmed = true;
    HRESULT hrGiven = E_PENDING;
    std::thread given([&] {
        dsfix::ComInit com;
        hrGiven = chain.spy.Out()->Connect(chain.sink->Pin(), mtYuy2.Ptr());
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hInside, 20000));
    const HRESULT hrAny = chain.spy.Out()->Connect(chain.sink->Pin(), NULL);
    given.join();
    CloseHandle(hInside);

    EXPECT_TRUE(FAILED(hrGiven)) << "YUY2 gets no allocator, yet: " << dsfix::HrText(hrGiven);
    EXPECT_EQ(S_OK, hrAny) << dsfix::HrText(hrAny);
    EXPECT_TRUE(ConnectionType(chain.spy.Out()) == mtUyvy);
    EXPECT_TRUE(chain.sink->CurrentType() == mtUyvy);
}

// The output's reconnection with a new input type fails because the sink is
// paused and cannot take a connection now, not because of the type: the
// type is not remembered as one the sink refused, and once the sink is
// stopped and the chain connected again the input takes it.
TEST_F(SpyConnectionTest, AReconnectionRefusedForTheSinksStateLeavesTheTypeFree)
{
    dsfix::HangWatchdog watchdog(60000, "reconnection against a paused sink");
    const dsfix::MediaType mtYuy2 = dsfix::VideoType(MEDIASUBTYPE_YUY2, 320, 240);
    const dsfix::MediaType mtUyvy = dsfix::VideoType(MEDIASUBTYPE_UYVY, 320, 240);
    SpyChainConfig config;
    config.source.mediaTypes = { mtYuy2, mtUyvy };
    config.source.sampleCount = 3;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_TRUE(ConnectionType(chain.spy.Out()) == mtYuy2);

    ASSERT_TRUE(SUCCEEDED(chain.down->Pause()));
    ASSERT_EQ(S_OK, chain.spy.In()->Disconnect());
    chain.source->Pin()->Disconnect();
    EXPECT_TRUE(FAILED(chain.graph.ConnectDirect(chain.source->Pin(), chain.spy.In(), mtUyvy.Ptr())));
    EXPECT_TRUE(m_log.HasLineContaining(L"ReconnectOutput(): the downstream pin did not connect with the new type"));

    // The chain made anew with the sink stopped.
    ASSERT_TRUE(SUCCEEDED(chain.down->Stop()));
    chain.sink->Pin()->Disconnect();
    chain.spy.Out()->Disconnect();
    chain.spy.In()->Disconnect();
    chain.source->Pin()->Disconnect();
    ASSERT_EQ(S_OK, chain.graph.ConnectDirect(chain.source->Pin(), chain.spy.In(), mtYuy2.Ptr()));
    ASSERT_EQ(S_OK, chain.graph.ConnectDirect(chain.spy.Out(), chain.sink->Pin(), NULL));
    EXPECT_EQ(S_OK, chain.sink->Pin()->QueryAccept(mtUyvy.Ptr()));
    EXPECT_EQ(S_OK, chain.spy.In()->QueryAccept(mtUyvy.Ptr())) << "only the sink's state refused it";
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_EQ(3u, chain.sink->Samples().size());
}

// A forced pass-through reconnection that fails while the input stays
// connected (the filter is in no graph that could reconnect it) ends the mode
// and keeps the switch as it was: the next output connection agrees an
// allocator as usual or fails, and never stands without one.
TEST_F(SpyConnectionTest, AFailedForcedReconnectionLeavesNoModeBehind)
{
    dsfix::HangWatchdog watchdog(60000, "failed forced reconnection");
    CFakePin* pUp = new CFakePin(PINDIR_OUTPUT, L"Up");
    {
        CSpyPtr spy;
        dsfix::TestSink* pSink = NULL;
        ASSERT_EQ(S_OK, dsfix::TestSink::Create(dsfix::TestSinkConfig(), &pSink));
        dsfix::ComPtr<dsfix::TestSink> sink;
        sink.Attach(pSink);
        ASSERT_EQ(S_OK, spy.In()->ReceiveConnection(pUp, TestVideoType().Ptr()));
        CComPtr<INRVSpyFilter> spItf;
        ASSERT_EQ(S_OK, spy->QueryInterface(__uuidof(INRVSpyFilter), reinterpret_cast<void**>(&spItf)));
        EXPECT_TRUE(FAILED(spItf->ForcePassthruAllocator(1)));
        EXPECT_EQ(0, spy->m_bReconnecting);
        EXPECT_TRUE(spy->m_spDownstreamPin == NULL);
        LONG bForced = -1;
        EXPECT_EQ(S_OK, spItf->IsPassthruAllocatorForced(&bForced));
        EXPECT_EQ(0, bForced) << "the failed call changed nothing";
        EXPECT_TRUE(IsConnected(spy.In()));

        const HRESULT hr = spy.Out()->Connect(sink->Pin(), NULL);
        if (S_OK == hr)
        {
            EXPECT_TRUE(spy->m_apOut->GetAllocatorOut() != NULL);
            EXPECT_TRUE(spy->m_apOut->GetConnectedMemInput() != NULL);
        }
        else
        {
            EXPECT_FALSE(IsConnected(spy.Out()));
        }
        spy.Out()->Disconnect();
        spy.In()->Disconnect();
    }
    pUp->Release();
}

// The pass-through mode's Disconnect while the graph runs: the output's
// Disconnect is refused, and the mode is left exactly as it was, on its
// "stop" branch (a downstream pin stored) and on its "start" branch (none).
TEST_F(SpyConnectionTest, APassThroughDisconnectRefusedWhileRunningChangesNothing)
{
    dsfix::HangWatchdog watchdog(60000, "pass-through disconnect while running");
    SpyChainConfig config;
    config.source.credit = 0;
    config.bNoClock = true;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    CComPtr<INRVSpyFilter> spItf;
    ASSERT_EQ(S_OK, chain.spy->QueryInterface(__uuidof(INRVSpyFilter), reinterpret_cast<void**>(&spItf)));
    ASSERT_EQ(S_OK, spItf->ForcePassthruAllocator(1));
    ASSERT_EQ(1, chain.spy->m_bReconnecting);
    ASSERT_TRUE(chain.spy->m_spDownstreamPin != NULL);
    ASSERT_TRUE(SUCCEEDED(chain.graph.Run()));
    ASSERT_TRUE(WaitForSpyState(chain, State_Running));

    EXPECT_EQ(VFW_E_NOT_STOPPED, chain.spy.In()->Disconnect());
    EXPECT_EQ(1, chain.spy->m_bReconnecting) << "stop branch";
    EXPECT_TRUE(chain.spy->m_spDownstreamPin.IsEqualObject(chain.sink->Pin())) << "stop branch";
    EXPECT_TRUE(IsConnected(chain.spy.Out()));

    chain.spy->m_spDownstreamPin.Release();
    EXPECT_EQ(VFW_E_NOT_STOPPED, chain.spy.In()->Disconnect());
    EXPECT_TRUE(chain.spy->m_spDownstreamPin == NULL) << "start branch";
    EXPECT_TRUE(IsConnected(chain.spy.Out()));
    chain.spy->m_spDownstreamPin = chain.sink->Pin();
    EXPECT_TRUE(SUCCEEDED(chain.graph.Stop()));
}

// ForcePassthruAllocator on a stopped spy whose downstream neighbour is
// paused is refused, and the chain stays whole and plays.
TEST_F(SpyConnectionTest, ForcingWhileANeighbourIsPausedIsRefusedAndLeavesTheChainWhole)
{
    dsfix::HangWatchdog watchdog(60000, "forcing against a paused neighbour");
    SpyChainConfig config;
    config.source.sampleCount = 3;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    CComPtr<INRVSpyFilter> spItf;
    ASSERT_EQ(S_OK, chain.spy->QueryInterface(__uuidof(INRVSpyFilter), reinterpret_cast<void**>(&spItf)));
    ASSERT_TRUE(SUCCEEDED(chain.down->Pause()));
    EXPECT_EQ(VFW_E_WRONG_STATE, spItf->ForcePassthruAllocator(1));
    ASSERT_TRUE(SUCCEEDED(chain.down->Stop()));
    LONG bForced = -1;
    EXPECT_EQ(S_OK, spItf->IsPassthruAllocatorForced(&bForced));
    EXPECT_EQ(0, bForced);
    EXPECT_TRUE(IsConnected(chain.spy.In()));
    EXPECT_TRUE(IsConnected(chain.spy.Out()));
    EXPECT_TRUE(IsConnected(chain.sink->Pin()));
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_EQ(3u, chain.sink->Samples().size());
}

// ForcePassthruAllocator racing the graph's Run from another thread (most
// calls are made while the graph is pausing its filters, the sink lingering
// in its Pause): each call either changes the switch with both connections
// whole or is refused, and every Run plays.
TEST_F(SpyConnectionTest, ForcingRacingTheGraphsRunNeverBreaksTheChain)
{
    dsfix::HangWatchdog watchdog(200000, "forcing against Run");
    CSilentLog silent;
    SpyChainConfig config;
    config.source.sampleCount = 2;
    config.source.mediaTypes = { dsfix::StreamType(MEDIASUBTYPE_None, 16) };
    config.source.sampleSize = 16;
    config.bNoClock = true;
    config.sink.pauseLingerMs = 20;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    CComPtr<INRVSpyFilter> spItf;
    ASSERT_EQ(S_OK, chain.spy->QueryInterface(__uuidof(INRVSpyFilter), reinterpret_cast<void**>(&spItf)));
    const DWORD dwStart = GetTickCount();
    int nRefused = 0;
    for (int i = 0; i < 150 && GetTickCount() - dwStart < 60000; ++i)
    {
        HRESULT hrForce = E_FAIL;
        // Every third call comes before the Run, and changes the switch.
        if (0 == i % 3)
        {
            hrForce = spItf->ForcePassthruAllocator(i & 1 ? 0 : 1);
            EXPECT_EQ(S_OK, hrForce) << i;
        }
        HANDLE hGo = CreateEventW(NULL, TRUE, FALSE, NULL);
        std::thread setter([&] {
            dsfix::ComInit com;
            WaitForSingleObject(hGo, 5000);
            if (0 == i % 3)
                return;
            // Into the graph's Run: once a neighbour has left Stopped, while
            // the spy may not have yet.
            const DWORD dwSpin = GetTickCount();
            FILTER_STATE eDown = State_Stopped;
            FILTER_STATE eUp = State_Stopped;
            while (GetTickCount() - dwSpin < 2000 && SUCCEEDED(chain.down->GetState(0, &eDown)) &&
                   SUCCEEDED(static_cast<IBaseFilter*>(chain.source.Get())->GetState(0, &eUp)) &&
                   State_Stopped == eDown && State_Stopped == eUp)
                ;
            hrForce = spItf->ForcePassthruAllocator(i & 1 ? 0 : 1);
        });
        SetEvent(hGo);
        const HRESULT hrRun = chain.graph.Run();
        setter.join();
        CloseHandle(hGo);
        chain.graph.Stop();
        chain.source->WaitForStreamEnd(5000);
        chain.graph.Stop();
        if (FAILED(hrForce))
            ++nRefused;
        else if (0 != i % 3)
            ADD_FAILURE() << i << ": a call during the graph's Run changed the switch";
        EXPECT_TRUE(SUCCEEDED(hrForce) || VFW_E_WRONG_STATE == hrForce) << i << ": " << dsfix::HrText(hrForce);
        EXPECT_TRUE(IsConnected(chain.spy.In())) << i;
        EXPECT_TRUE(IsConnected(chain.spy.Out())) << i;
        EXPECT_TRUE(IsConnected(chain.source->Pin())) << i;
        EXPECT_TRUE(IsConnected(chain.sink->Pin())) << i;
        EXPECT_NE(VFW_E_WRONG_STATE, hrRun) << i;
        if (HasFailure())
            break;
    }
    chain.sink->ClearRecords();
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_EQ(2u, chain.sink->Samples().size());
    std::printf("%d calls refused, the others changed the switch\n", nRefused);
}

// Upstream brings a new allocator that cannot tell its properties: the
// pass-through agreement goes on from zero properties, and the allocator is
// passed through to the downstream pin instead of every sample being copied.
TEST_F(SpyConnectionTest, AnUpstreamAllocatorWithoutPropertiesIsStillPassedThrough)
{
    dsfix::HangWatchdog watchdog(60000, "allocator without properties");
    SpyChainConfig config;
    config.source.allocatorMode = dsfix::SourceAllocator::Own;
    SpyChain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_EQ(eAS_Upstream, chain.spy->m_apOut->m_eAllocSrc);
    CWineAllocatorWrapper* pAlloc = new CWineAllocatorWrapper();
    pAlloc->m_hrGetProperties = E_NOTIMPL;
    CComPtr<IMemInputPin> spMemIn;
    ASSERT_EQ(S_OK, chain.spy.In()->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemIn)));
    EXPECT_EQ(S_OK, spMemIn->NotifyAllocator(pAlloc, FALSE));
    EXPECT_FALSE(chain.spy->m_bSeparateAllocators);
    EXPECT_EQ(static_cast<IMemAllocator*>(pAlloc), chain.spy->m_apOut->GetAllocatorOut().p);
    EXPECT_EQ(static_cast<IMemAllocator*>(pAlloc), chain.sink->Records().notifiedAllocator);
    EXPECT_TRUE(IsConnected(chain.spy.Out()));
    chain.graph.Release();
    pAlloc->Release();
}

} // namespace
