// The test filter in Wine's filter graph while it streams: a change of type
// attached to a sample, flushes, new segments, end of stream and quality
// messages crossing it, the graph's synchronous reconnections ending, and
// Stop during streaming returning every time.
#include "GraphSupport.h"

namespace {

class GraphBehaviourTest : public FilterTest
{
protected:
    void SetUp() override { ASSERT_TRUE(m_log.IsBound()); }
    CFakeLogScope m_log;
};

// Same picture size, other layout: fits the buffers already agreed.
dsfix::MediaType TurnedType()
{
    return dsfix::VideoType(MEDIASUBTYPE_YUY2, 240, 320);
}

// A sample carrying a new type: accepted downstream, the input pin takes it
// before the filter passes the sample on, and the type reaches the sink
// with the sample, through one allocator or through a copy.
TEST_F(GraphBehaviourTest, TypeChangeAttachedToASample)
{
    dsfix::HangWatchdog watchdog(60000, "type change attached to a sample");
    const dsfix::MediaType turned = TurnedType();
    for (bool bSeparate : { false, true })
    {
        ChainConfig config;
        config.source.specials[3].mediaType = turned;
        if (bSeparate)
        {
            config.source.allocatorMode = dsfix::SourceAllocator::Own;
            config.source.readOnly = TRUE;
            config.sink.hasRequirements = true;
            config.sink.requirements = { 4, 0, 0, 0 };
        }
        Chain chain;
        ASSERT_EQ(S_OK, chain.Build(config));
        ASSERT_EQ(bSeparate, !!chain.f->m_bSeparateAllocators);
        ASSERT_TRUE(chain.graph.RunToCompletion(20000)) << bSeparate;
        const std::vector<dsfix::SampleRecord> got = chain.sink->Samples();
        ASSERT_EQ(10u, got.size()) << bSeparate;
        for (size_t i = 0; i < got.size(); ++i)
        {
            EXPECT_TRUE(got[i].patternOk) << i;
            EXPECT_EQ(3 == i, !got[i].mediaType.Empty()) << i << " (separate " << bSeparate << ")";
        }
        EXPECT_TRUE(turned.Equals(got[3].mediaType.Get()));
        EXPECT_TRUE(turned.Equals(chain.f->m_apIn->m_mt)) << "the input pin took the new type";
        EXPECT_TRUE(m_log.HasLine(Fmt(L"%s SetMediaTypeFromSample(): new mediatype is received\n",
                                      chain.f->m_apIn->GetTraceName())));
    }
}

// A new type that downstream refuses: that sample is refused, the pin keeps
// its type, the stream goes on.
TEST_F(GraphBehaviourTest, ARefusedTypeChangeRefusesThatSampleAndTheStreamGoesOn)
{
    dsfix::HangWatchdog watchdog(60000, "refused type change");
    ChainConfig config;
    config.source.specials[3].mediaType = TurnedType();
    config.source.continueAfterRejection = true;
    config.sink.acceptTypes = { TestVideoType() };
    Chain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    const std::vector<dsfix::PushRecord> pushes = chain.source->Pushes();
    ASSERT_EQ(10u, pushes.size());
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, pushes[3].receiveHr);
    const std::vector<dsfix::SampleRecord> got = chain.sink->Samples();
    ASSERT_EQ(9u, got.size());
    EXPECT_EQ(4, got[3].number) << "sample 3 never reached the sink";
    EXPECT_TRUE(TestVideoType().Equals(chain.f->m_apIn->m_mt));
    EXPECT_TRUE(m_log.HasLine(Fmt(L"###Err### %s SetMediaTypeFromSample(): new mediatype is not accepted\n",
                                  chain.f->m_apIn->GetTraceName())));
}

// New segment, flush, end of stream and quality while the graph runs.
TEST_F(GraphBehaviourTest, StreamCallsCrossWhileRunning)
{
    dsfix::HangWatchdog watchdog(60000, "stream calls while running");
    ChainConfig config;
    config.source.sampleCount = 1000;
    config.source.credit = 2;
    config.source.sendEndOfStream = false;
    Chain chain;
    ASSERT_EQ(S_OK, chain.Build(config));
    ASSERT_TRUE(SUCCEEDED(chain.graph.Run()));
    ASSERT_TRUE(chain.sink->WaitForSamples(2, 10000));

    using dsfix::SinkEvent;
    EXPECT_EQ(S_OK, chain.source->DeliverNewSegment(1000, 900000000, 1.5));
    EXPECT_EQ(S_OK, chain.source->DeliverBeginFlush());
    EXPECT_TRUE(chain.f->m_apIn->m_bFlushing);
    EXPECT_EQ(S_OK, chain.source->DeliverEndFlush());
    EXPECT_FALSE(chain.f->m_apIn->m_bFlushing);
    chain.source->Allow(3);
    ASSERT_TRUE(chain.sink->WaitForSamples(5, 10000));

    const Quality q = { Famine, 800, 50000, 2000000 };
    EXPECT_EQ(S_OK, chain.sink->SendQuality(q)) << "up through the filter";
    const dsfix::SourceRecords rec = chain.source->Records();
    ASSERT_EQ(1u, rec.quality.size());
    EXPECT_EQ(800, rec.quality[0].quality.Proportion);
    EXPECT_EQ(50000, rec.quality[0].quality.Late);

    EXPECT_EQ(S_OK, chain.source->DeliverEndOfStream());
    EXPECT_TRUE(chain.graph.WaitForEvent(EC_COMPLETE, 10000)) << "the sink completed";
    std::vector<SinkEvent::Kind> kinds;
    for (const SinkEvent& e : chain.sink->Events())
        if (e.kind != SinkEvent::CompleteSent)
            kinds.push_back(e.kind);
    const std::vector<SinkEvent::Kind> expected = { SinkEvent::NewSegment, SinkEvent::BeginFlush, SinkEvent::EndFlush,
                                                    SinkEvent::EndOfStream };
    EXPECT_EQ(expected, kinds);
    const std::vector<SinkEvent> events = chain.sink->Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(1000, events[0].start);
    EXPECT_EQ(1.5, events[0].rate);
    EXPECT_EQ(S_OK, chain.graph.Stop());
    chain.source->AllowAll();
}

// Wine reconnects on the caller's thread, inside the connection that asked
// for it. The output takes a type the input does not have; the input is
// reconnected with the type downstream takes, and that ends it.
TEST_F(GraphBehaviourTest, SynchronousReconnectionsEnd)
{
    dsfix::HangWatchdog watchdog(60000, "reconnections inside the connection");
    const dsfix::MediaType narrow = TestVideoType(160);
    const dsfix::MediaType wide = TestVideoType(320);
    for (How eHow : { How::Direct, How::Builder })
    {
        m_log.Reset();
        ChainConfig config;
        config.source.mediaTypes = { narrow, wide };
        config.sink.acceptTypes = { wide };
        config.eHow = eHow;
        Chain chain;
        ASSERT_EQ(S_OK, chain.Build(config));
        EXPECT_TRUE(narrow.Equals(chain.source->Records().connectAttempts.front().type.Get()))
            << "the input took the narrow type first";
        EXPECT_TRUE(wide.Equals(chain.f->m_apIn->m_mt));
        EXPECT_TRUE(wide.Equals(chain.f->m_apOut->m_mt));
        EXPECT_EQ(1, chain.f->m_nInputReconnects);
        EXPECT_LE(chain.f->m_nOutputReconnects, 1);
        EXPECT_TRUE(m_log.HasLineContaining(L"reconnection stopped - media types are equal"));
        EXPECT_FALSE(chain.f->m_bSeparateAllocators);
        ASSERT_TRUE(chain.graph.RunToCompletion(20000));
        EXPECT_EQ(10u, chain.sink->Samples().size());
    }
}

// The downstream filter has the graph reconnect our output from inside its
// ReceiveConnection; Wine runs that on this thread, nested in our own
// Connect. The nested connection stands, nothing is agreed twice, and the
// stream flows through one allocator.
TEST_F(GraphBehaviourTest, ReconnectionNestedInTheDownstreamDecision)
{
    dsfix::HangWatchdog watchdog(60000, "a reconnection nested in our connection");
    for (How eHow : { How::Direct, How::Builder })
    {
        m_log.Reset();
        ChainConfig config;
        config.eHow = eHow;
        Chain chain;
        int nCalls = 0;
        HRESULT hrNested = E_PENDING;
        IPin* pOut = chain.f.Out();
        config.sink.onReceiveConnection = [&](IPin* pConnector) {
            if (1 != ++nCalls || pConnector != pOut)
                return;
            CComQIPtr<IFilterGraph2> spGraph(chain.graph.Builder());
            hrNested = spGraph->ReconnectEx(pConnector, NULL);
        };
        ASSERT_EQ(S_OK, chain.Build(config));
        EXPECT_EQ(S_OK, hrNested);
        EXPECT_TRUE(m_log.HasLineContaining(L"ExecConnection(): connection changed while the downstream pin decided"));
        CComPtr<IPin> spPeer;
        ASSERT_EQ(S_OK, chain.sink->Pin()->ConnectedTo(&spPeer));
        EXPECT_TRUE(spPeer.IsEqualObject(pOut));
        EXPECT_TRUE(chain.f->m_apOut->m_spConnected.IsEqualObject(chain.sink->Pin()));
        EXPECT_EQ(1u, LinesWith(m_log, L"Allocator agreement successful").size()) << "agreed once, in the nested call";
        EXPECT_FALSE(m_log.HasAssert("!m_spMemInput"));
        EXPECT_LE(chain.f->m_nInputReconnects, 2);
        ASSERT_TRUE(chain.graph.RunToCompletion(20000));
        const std::vector<dsfix::SampleRecord> got = chain.sink->Samples();
        const std::vector<dsfix::PushRecord> pushes = chain.source->Pushes();
        ASSERT_EQ(10u, got.size());
        ASSERT_EQ(10u, pushes.size());
        for (size_t i = 0; i < got.size(); ++i)
        {
            EXPECT_TRUE(got[i].patternOk) << i;
            EXPECT_EQ(pushes[i].buffer, got[i].buffer) << i;
        }
    }
}

// Refused connections in the graph leave both pins of the pair unconnected
// and the filter ready for the next attempt.
TEST_F(GraphBehaviourTest, RefusedConnectionsLeaveNothingBehind)
{
    dsfix::HangWatchdog watchdog(60000, "refused connections");
    ChainConfig config;
    config.sink.acceptTypes = { TestVideoType(640) };
    Chain chain;
    EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, chain.Build(config)) << "the sink takes no type the source has";
    CComPtr<IPin> spPeer;
    EXPECT_EQ(VFW_E_NOT_CONNECTED, chain.sink->Pin()->ConnectedTo(&spPeer));
    EXPECT_FALSE(chain.f->m_apOut->IsConnected());
    EXPECT_EQ(NULL, chain.f->m_apOut->m_spAllocOut.p);
    EXPECT_TRUE(chain.f->m_apIn->IsConnected()) << "the input stays as it was";
    EXPECT_EQ(0, chain.f->m_nInputReconnects);

    // The input refuses: the source's pin and ours are both free again.
    ASSERT_EQ(S_OK, chain.graph.Builder()->Disconnect(chain.f.In()));
    ASSERT_EQ(S_OK, chain.graph.Builder()->Disconnect(chain.source->Pin()));
    chain.f->m_hrCompleteConnect[PINDIR_INPUT] = E_ABORT;
    chain.f->m_completes.clear();
    EXPECT_TRUE(FAILED(chain.graph.ConnectDirect(chain.source->Pin(), chain.f.In(), NULL)));
    EXPECT_FALSE(chain.f->m_completes.empty()) << "our input was asked and refused";
    EXPECT_EQ(VFW_E_NOT_CONNECTED, chain.source->Pin()->ConnectedTo(&spPeer));
    EXPECT_FALSE(chain.f->m_apIn->IsConnected());

    // Usable: the same filter connects and streams.
    chain.f->m_hrCompleteConnect[PINDIR_INPUT] = S_OK;
    dsfix::TestSinkConfig sinkConfig;
    ASSERT_EQ(S_OK, chain.sink->Configure(sinkConfig));
    ASSERT_EQ(S_OK, chain.graph.ConnectDirect(chain.source->Pin(), chain.f.In(), NULL));
    ASSERT_EQ(S_OK, chain.graph.ConnectDirect(chain.f.Out(), chain.sink->Pin(), NULL));
    EXPECT_EQ(1, chain.f->m_nInputReconnects);
    ASSERT_TRUE(chain.graph.RunToCompletion(20000));
    EXPECT_EQ(10u, chain.sink->Samples().size());
}

// Stop while the source streams, again and again: each change returns, the
// samples that arrive are whole and in order. Against Wine's Null Renderer
// the streaming thread is held inside the renderer (a paused renderer keeps
// the sample it got) while the graph stops.
TEST_F(GraphBehaviourTest, RunPauseStopCyclesWhileStreaming)
{
    const int kCycles = 200;
    dsfix::HangWatchdog watchdog(300000, "Run/Pause/Stop cycles while streaming");
    const struct
    {
        const char* pszCase;
        bool bSeparate;
        Downstream eDown;
    } cases[] = {
        { "one allocator", false, Downstream::Sink },
        { "separate allocators", true, Downstream::Sink },
        { "held in the renderer", false, Downstream::NullRenderer },
    };
    for (const auto& c : cases)
    {
        ChainConfig config;
        config.source.sampleCount = 100000000;
        config.source.frameDuration = 10000;
        config.eDown = c.eDown;
        if (c.bSeparate)
        {
            config.source.allocatorMode = dsfix::SourceAllocator::Own;
            config.source.readOnly = TRUE;
            config.sink.hasRequirements = true;
            config.sink.requirements = { 4, 0, 0, 0 };
        }
        Chain chain;
        ASSERT_EQ(S_OK, chain.Build(config)) << c.pszCase;
        ASSERT_EQ(c.bSeparate, !!chain.f->m_bSeparateAllocators) << c.pszCase;
        volatile LONG nEntered = 0;
        chain.f->m_onSendSample = [&](IMediaSample*) { InterlockedIncrement(&nEntered); };
        m_log.Reset();
        const DWORD dwStart = GetTickCount();
        for (int i = 0; i < kCycles; ++i)
        {
            const LONG nBefore = nEntered;
            ASSERT_TRUE(SUCCEEDED(chain.graph.Run())) << c.pszCase << " " << i;
            const DWORD dwWait = GetTickCount();
            while (nEntered == nBefore && GetTickCount() - dwWait < 10000)
                Sleep(1);
            EXPECT_NE(nBefore, nEntered) << c.pszCase << " " << i << ": a sample reached the filter";
            ASSERT_TRUE(SUCCEEDED(chain.graph.Pause())) << c.pszCase << " " << i;
            ASSERT_EQ(S_OK, chain.graph.Stop()) << c.pszCase << " " << i;
            ASSERT_EQ(State_Stopped, chain.f->FilterState()) << c.pszCase << " " << i;
            EXPECT_TRUE(chain.source->WaitForStreamEnd(10000)) << c.pszCase << " " << i;
        }
        printf("%d cycles (%s) in %lu ms\n", kCycles, c.pszCase, static_cast<unsigned long>(GetTickCount() - dwStart));
        chain.f->m_onSendSample = nullptr;
        EXPECT_FALSE(chain.f->m_apOut->m_bActivate) << c.pszCase << ": decommitted at the end";
        if (!chain.sink)
            continue;

        // What reached the sink: whole samples, each stream from 0 on, none
        // skipped or repeated, exactly those the source saw taken. (A stop
        // may come before a stream's first sample got through.)
        const std::vector<dsfix::SampleRecord> got = chain.sink->Samples();
        size_t nTaken = 0;
        for (const dsfix::PushRecord& p : chain.source->Pushes())
            if (S_OK == p.receiveHr)
                ++nTaken;
        EXPECT_EQ(nTaken, got.size()) << c.pszCase;
        long nStreams = 0;
        for (size_t i = 0; i < got.size(); ++i)
        {
            EXPECT_TRUE(got[i].patternOk) << i;
            if (0 == got[i].number)
                ++nStreams;
            else
            {
                ASSERT_GT(i, 0u);
                EXPECT_EQ(got[i - 1].number + 1, got[i].number) << i;
            }
        }
        EXPECT_GT(nStreams, kCycles / 4) << c.pszCase;
        EXPECT_LE(nStreams, kCycles) << c.pszCase;
    }
}

} // namespace
