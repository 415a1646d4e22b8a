// The pin templates: creation and names, the IPin answers of both pins,
// Disconnect and what it leaves, end of stream, flushes and new segments on
// their way downstream, quality messages on their way upstream, the
// interfaces each object answers, and a pin that outlives its filter.
#include "FilterTestSupport.h"

#include <algorithm>

namespace {

class PinTest : public FilterTest
{
protected:
    void SetUp() override { ASSERT_TRUE(m_log.IsBound()); }
    CFakeLogScope m_log;
};

std::wstring PinName(IPin* pPin)
{
    PIN_INFO info = {};
    pPin->QueryPinInfo(&info);
    if (info.pFilter)
        info.pFilter->Release();
    return info.achName;
}

TEST_F(PinTest, PinsTakeTheirNamesOrTheDefaults)
{
    CTestFilterPtr f;
    EXPECT_EQ(L"In", PinName(f.In()));
    EXPECT_EQ(L"Out", PinName(f.Out()));

    // The filter's defaults for a missing name.
    ASSERT_EQ(S_OK, f->CreatePins(NULL, L""));
    EXPECT_EQ(L"In", PinName(f.In()));
    EXPECT_EQ(L"Out", PinName(f.Out()));

    // A pin's own: direction and cookie for no name, at most 127 characters.
    const std::wstring sLong(200, L'n');
    const struct
    {
        bool bInput;
        DWORD dwCookie;
        const wchar_t* pszName;
        std::wstring sExpected;
    } cases[] = {
        { true, 0, NULL, L"In 0" },      { true, 0, L"", L"In 0" },         { false, 1, NULL, L"Out 1" },
        { false, 1, L"", L"Out 1" },     { true, 7, NULL, L"In 7" },        { true, 0, L"Pin", L"Pin" },
        { false, 1, sLong.c_str(), sLong.substr(0, 127) },
    };
    for (const auto& c : cases)
    {
        CComPtr<IPin> spPin;
        if (c.bInput)
        {
            CComObject<CTestInput>* p = NULL;
            ASSERT_EQ(S_OK, CTestFilter::CreatePin<CTestInput>(&p, c.dwCookie, c.pszName));
            EXPECT_EQ(c.dwCookie, p->m_dwCookie);
            spPin.Attach(static_cast<IPin*>(p));
        }
        else
        {
            CComObject<CTestOutput>* p = NULL;
            ASSERT_EQ(S_OK, CTestFilter::CreatePin<CTestOutput>(&p, c.dwCookie, c.pszName));
            spPin.Attach(static_cast<IPin*>(p));
        }
        EXPECT_EQ(c.sExpected, PinName(spPin));
        LPWSTR pszId = NULL;
        ASSERT_EQ(S_OK, spPin->QueryId(&pszId));
        EXPECT_EQ(c.sExpected, pszId);
        CoTaskMemFree(pszId);
    }
    EXPECT_EQ(E_POINTER, CTestFilter::CreatePin<CTestInput>(NULL, 0, NULL));
    EXPECT_TRUE(m_log.HasLine(L"[Test In] FinalConstruct\n"));
    EXPECT_EQ(2, m_log.LevelOf(L"[Test In] FinalRelease\n"));
}

// A pin that cannot be made leaves no pin at all: the one already made goes
// too, and the code comes back (a success code other than S_OK as E_FAIL).
TEST_F(PinTest, AFailedPinCreationLeavesNoPins)
{
    CTestFilterPtr f;
    const LONG nFilterOnly = TestModule().GetLockCount() - 2;
    for (HRESULT hr : { E_OUTOFMEMORY, S_FALSE })
    {
        CTestOutput::s_hrFinalConstruct = hr;
        EXPECT_EQ(FAILED(hr) ? hr : E_FAIL, f->CreatePins(NULL, NULL));
        CTestOutput::s_hrFinalConstruct = S_OK;
        EXPECT_EQ(NULL, f->m_apIn.p);
        EXPECT_EQ(NULL, f->m_apOut.p);
        EXPECT_EQ(nFilterOnly, TestModule().GetLockCount());
        CComPtr<IEnumPins> spEnum;
        ASSERT_EQ(S_OK, f.Filter()->EnumPins(&spEnum));
        IPin* p = NULL;
        ULONG c = 9;
        EXPECT_EQ(S_FALSE, spEnum->Next(1, &p, &c));
        EXPECT_EQ(0u, c);
    }
    EXPECT_EQ(S_OK, f->CreatePins(NULL, NULL));
}

TEST_F(PinTest, GetPinGivesThePinOfAnIndexOrSFalseUntouched)
{
    CTestFilterPtr f;
    IPin* p = reinterpret_cast<IPin*>(1);
    EXPECT_EQ(S_FALSE, f->GetPin(2, &p));
    EXPECT_EQ(reinterpret_cast<IPin*>(1), p) << "untouched";
    p = NULL;
    EXPECT_EQ(S_OK, f->GetPin(1, &p));
    EXPECT_EQ(f.Out(), p);
    p->Release();
    f->ClearPins();
    p = NULL;
    EXPECT_EQ(S_FALSE, f->GetPin(0, &p)) << "no pins";
    EXPECT_EQ(S_OK, f->CreatePins(NULL, NULL));
}

TEST_F(PinTest, EachPinAnswersItsDirectionFilterAndName)
{
    CTestFilterPtr f;
    for (IPin* pPin : { f.In(), f.Out() })
    {
        const bool bIn = (pPin == f.In());
        PIN_INFO info = {};
        EXPECT_EQ(S_OK, pPin->QueryPinInfo(&info));
        EXPECT_EQ(bIn ? PINDIR_INPUT : PINDIR_OUTPUT, info.dir);
        EXPECT_EQ(f.Filter(), info.pFilter);
        if (info.pFilter)
            info.pFilter->Release();

        PIN_DIRECTION dir = bIn ? PINDIR_OUTPUT : PINDIR_INPUT;
        EXPECT_EQ(S_OK, pPin->QueryDirection(&dir));
        EXPECT_EQ(bIn ? PINDIR_INPUT : PINDIR_OUTPUT, dir);

        m_log.Reset();
        IPin* pPeer = reinterpret_cast<IPin*>(1);
        EXPECT_EQ(VFW_E_NOT_CONNECTED, pPin->ConnectedTo(&pPeer));
        EXPECT_EQ(NULL, pPeer);
        EXPECT_EQ(E_POINTER, pPin->ConnectedTo(NULL));
        EXPECT_TRUE(m_log.HasAssert("ppPin != NULL"));

        AM_MEDIA_TYPE mt;
        memset(&mt, 0xCD, sizeof(mt));
        EXPECT_EQ(VFW_E_NOT_CONNECTED, pPin->ConnectionMediaType(&mt));
        EXPECT_EQ(NULL, mt.pbFormat) << "an empty type, safe to free";
        EXPECT_EQ(NULL, mt.pUnk);
        const struct
        {
            const char* pszCall;
            std::function<HRESULT()> call;
        } nulls[] = {
            { "QueryPinInfo", [&] { return pPin->QueryPinInfo(NULL); } },
            { "QueryDirection", [&] { return pPin->QueryDirection(NULL); } },
            { "QueryId", [&] { return pPin->QueryId(NULL); } },
            { "ConnectionMediaType", [&] { return pPin->ConnectionMediaType(NULL); } },
            { "EnumMediaTypes", [&] { return pPin->EnumMediaTypes(NULL); } },
        };
        for (const auto& n : nulls)
            EXPECT_EQ(E_POINTER, n.call()) << n.pszCall;
    }

    // An empty name gives a block with the terminator only.
    f->m_apIn->m_wszName[0] = 0;
    LPWSTR pszId = NULL;
    EXPECT_EQ(S_OK, f.In()->QueryId(&pszId));
    ASSERT_NE(nullptr, pszId);
    EXPECT_EQ(0, pszId[0]);
    CComPtr<IMalloc> spMalloc;
    ASSERT_EQ(S_OK, CoGetMalloc(1, &spMalloc));
    EXPECT_EQ(sizeof(WCHAR), spMalloc->GetSize(pszId));
    CoTaskMemFree(pszId);
}

TEST_F(PinTest, NotOfferedOperations)
{
    CTestFilterPtr f;
    IPin* pIn = f.In();
    IPin* pOut = f.Out();
    const struct
    {
        const char* pszCall;
        std::function<HRESULT()> call;
        const wchar_t* pszNotImpl; // the not-implemented line, or NULL for none
    } cases[] = {
        { "input Connect", [&] { return pIn->Connect(pOut, NULL); }, L"IPinImpl::Connect" },
        { "output ReceiveConnection", [&] { return pOut->ReceiveConnection(pIn, TestVideoType().Ptr()); },
          L"IPinImpl::ReceiveConnection" },
        { "output EndOfStream", [&] { return pOut->EndOfStream(); }, L"IPinImpl::EndOfStream" },
        { "output BeginFlush", [&] { return pOut->BeginFlush(); }, L"IPinImpl::BeginFlush" },
        { "output EndFlush", [&] { return pOut->EndFlush(); }, L"IPinImpl::EndFlush" },
        { "output NewSegment", [&] { return pOut->NewSegment(0, 10, 1.0); }, L"IPinImpl::NewSegment" },
        { "input QueryInternalConnections", [&] {
             ULONG n = 0;
             return pIn->QueryInternalConnections(NULL, &n);
         }, NULL },
        { "output QueryInternalConnections", [&] {
             ULONG n = 0;
             return pOut->QueryInternalConnections(NULL, &n);
         }, NULL },
    };
    for (const auto& c : cases)
    {
        m_log.Reset();
        EXPECT_EQ(E_NOTIMPL, c.call()) << c.pszCall;
        if (c.pszNotImpl)
        {
            EXPECT_EQ(0, m_log.LevelOf(Fmt(L"ATL: %s not implemented.\n", c.pszNotImpl))) << c.pszCall;
        }
        else
        {
            EXPECT_TRUE(m_log.Lines().empty()) << c.pszCall << ": its line is above the trace limit";
        }
    }
}

// ---------------------------------------------------------------------------
// Media types

TEST_F(PinTest, QueryAcceptAsksTheOtherSide)
{
    dsfix::TestSinkConfig config;
    config.acceptTypes = { TestVideoType() };
    CConnectedFilter c(NULL, config);
    TestFilterObject* f = c.filter.Get();
    const dsfix::MediaType accepted = TestVideoType();
    const dsfix::MediaType refused = TestVideoType(640);
    AM_MEDIA_TYPE none = {};

    const struct
    {
        const char* pszCase;
        IPin* pPin;
        const AM_MEDIA_TYPE* pMT;
        int nUpstreamAnswer; // S_OK or S_FALSE from the upstream pin
        HRESULT hr;
        const wchar_t* pszWhy;
    } cases[] = {
        { "input, downstream takes it", c.filter.In(), accepted.Ptr(), S_OK, S_OK, NULL },
        { "input, downstream refuses", c.filter.In(), refused.Ptr(), S_OK, S_FALSE,
          L"%s Filter_QueryAcceptMT(): Downstream filter don't accept media type\n" },
        { "input, no major type", c.filter.In(), &none, S_OK, S_FALSE, NULL },
        { "output, upstream takes it", c.filter.Out(), refused.Ptr(), S_OK, S_OK,
          L"%s Filter_QueryAcceptMT(): Inverse query about change of media type\n" },
        { "output, upstream refuses", c.filter.Out(), accepted.Ptr(), S_FALSE, S_FALSE,
          L"%s Filter_QueryAcceptMT(): Upstream filter don't accept media type\n" },
    };
    for (const auto& k : cases)
    {
        m_log.Reset();
        c.upstream->m_hrQueryAccept = k.nUpstreamAnswer;
        EXPECT_EQ(k.hr, k.pPin->QueryAccept(k.pMT)) << k.pszCase;
        if (k.pszWhy)
        {
            EXPECT_EQ(8, m_log.LevelOf(Fmt(k.pszWhy, f->GetTraceName()))) << k.pszCase;
        }
        EXPECT_EQ(k.pPin == c.filter.Out(), m_log.HasLineContaining(L"MT: "))
            << k.pszCase << ": the type of an inverse query is dumped";
        const bool bIn = (k.pPin == c.filter.In());
        EXPECT_EQ(8, m_log.LevelOf(Fmt(L"%s IPinImpl::QueryAccept()=%s [%s]\n",
                                       bIn ? f->m_apIn->GetTraceName() : f->m_apOut->GetTraceName(),
                                       S_OK == k.hr ? L"S_OK" : L"S_FALSE", bIn ? L"In" : L"Out")))
            << k.pszCase;
    }

    // Unconnected, the input takes any type with a major type; the output
    // takes nothing before the input is connected.
    CTestFilterPtr g;
    EXPECT_EQ(S_OK, g.In()->QueryAccept(refused.Ptr()));
    EXPECT_EQ(S_FALSE, g.Out()->QueryAccept(accepted.Ptr()));
    EXPECT_EQ(S_FALSE, g.In()->QueryAccept(NULL));
}

TEST_F(PinTest, ConnectionMediaTypeIsADeepCopy)
{
    CConnectedFilter c;
    CFakeEnumMediaTypes* pUnk = new CFakeEnumMediaTypes; // any object stands for the type's pUnk
    c.filter->m_apOut->m_mt.pUnk = pUnk;
    pUnk->AddRef();
    AM_MEDIA_TYPE mt = {};
    ASSERT_EQ(S_OK, c.filter.Out()->ConnectionMediaType(&mt));
    EXPECT_TRUE(TestVideoType().Equals(mt));
    EXPECT_NE(c.filter->m_apOut->m_mt.pbFormat, mt.pbFormat);
    EXPECT_EQ(static_cast<IUnknown*>(static_cast<IEnumMediaTypes*>(pUnk)), mt.pUnk);
    EXPECT_EQ(3, pUnk->RefCount()) << "the copy holds a reference";
    dsfix::FreeMediaTypeFields(mt);
    EXPECT_EQ(2, pUnk->RefCount());
    c.filter->m_apOut->m_mt.pUnk = NULL;
    pUnk->Release();
    pUnk->Release();
}

// Each allocator the output pin takes is announced with where it comes from
// and its properties.
TEST_F(PinTest, AttachedAllocatorsAreAnnounced)
{
    CTestFilterPtr f;
    CFakeAllocator* pAlloc = new CFakeAllocator;
    pAlloc->m_props = { 3, 1000, 16, 8 };
    const struct
    {
        eAllocSrc eSrc;
        const wchar_t* pszSrc;
    } cases[] = { { eAS_Upstream, L"upstream" }, { eAS_Downstream, L"downstream" }, { eAS_Internal, L"internal" } };
    for (const auto& c : cases)
    {
        m_log.Reset();
        f->m_apOut->AttachAllocator(pAlloc, c.eSrc);
        EXPECT_EQ(c.eSrc, f->m_apOut->m_eAllocSrc);
        EXPECT_EQ(8, m_log.LevelOf(Fmt(L"@@@@ %s CAllocatorMatch::AttachAllocator(): use %s allocator\n",
                                       f->m_apOut->GetTraceName(), c.pszSrc)));
        EXPECT_TRUE(m_log.HasLineContaining(L"props = { 3, 1000, 16, 8 }"));
        EXPECT_EQ(1000, f->m_apOut->m_propsOut.cbBuffer);
    }
    EXPECT_EQ(2, pAlloc->RefCount()) << "one allocator held once";
    f->m_apOut->Reset();
    EXPECT_EQ(1, pAlloc->m_nDecommit);
    EXPECT_EQ(1, pAlloc->RefCount());
    EXPECT_EQ(eAS_None, f->m_apOut->m_eAllocSrc);
    pAlloc->Release();
}

// ---------------------------------------------------------------------------
// Disconnect

TEST_F(PinTest, DisconnectOnlyWhileStopped)
{
    CFakeAllocator* pAlloc = new CFakeAllocator;
    {
        CConnectedFilter c(pAlloc);
        TestFilterObject* f = c.filter.Get();
        ASSERT_EQ(S_OK, c.filter.Filter()->Pause());
        for (IPin* pPin : { c.filter.In(), c.filter.Out() })
        {
            EXPECT_EQ(VFW_E_NOT_STOPPED, pPin->Disconnect());
            CComPtr<IPin> spPeer;
            EXPECT_EQ(S_OK, pPin->ConnectedTo(&spPeer)) << "the connection is untouched";
        }
        EXPECT_EQ(8, m_log.LevelOf(Fmt(L"%s IPinImpl::Disconnect() [In]\n", f->m_apIn->GetTraceName())));
        ASSERT_EQ(S_OK, c.filter.Filter()->Stop());

        // The output: its allocator goes (decommitted), the downstream pin is
        // told, its type stays while the input is connected.
        const int nDecommits = pAlloc->m_nDecommit;
        f->m_bSeparateAllocators = TRUE;
        EXPECT_EQ(S_OK, c.filter.Out()->Disconnect());
        EXPECT_EQ(S_FALSE, c.filter.Out()->Disconnect());
        EXPECT_EQ(nDecommits + 1, pAlloc->m_nDecommit);
        EXPECT_EQ(1, pAlloc->RefCount()) << "the pin let its allocator go";
        EXPECT_EQ(NULL, f->m_apOut->m_spMemInput.p);
        EXPECT_EQ(eAS_None, f->m_apOut->m_eAllocSrc);
        CComPtr<IPin> spSinkPeer;
        EXPECT_EQ(VFW_E_NOT_CONNECTED, c.sink->Pin()->ConnectedTo(&spSinkPeer)) << "downstream disconnected too";
        EXPECT_TRUE(f->m_apOut->m_mt.IsValid());
        EXPECT_FALSE(f->m_bSeparateAllocators);

        // The input: its allocator, its peer and its segment go; with the
        // output unconnected both types go.
        const int nReleases = f->m_apIn->m_nReleaseAllocator;
        EXPECT_EQ(VFW_E_NOT_CONNECTED, c.filter.In()->NewSegment(10, 20, 2.0));
        EXPECT_EQ(VFW_E_NOT_CONNECTED, c.filter.In()->BeginFlush());
        EXPECT_EQ(S_OK, c.filter.In()->Disconnect());
        EXPECT_EQ(nReleases + 1, f->m_apIn->m_nReleaseAllocator);
        EXPECT_FALSE(f->m_apIn->m_bFlushing);
        EXPECT_EQ(0, f->m_apIn->m_tStop);
        EXPECT_EQ(1.0, f->m_apIn->m_dRate);
        EXPECT_FALSE(f->m_apIn->m_mt.IsValid());
        EXPECT_FALSE(f->m_apOut->m_mt.IsValid());
        EXPECT_EQ(1, c.upstream->RefCount()) << "the input let its peer go";
    }
    pAlloc->Release();
}

TEST_F(PinTest, DisconnectingTheInputFirstKeepsTheOutputType)
{
    CConnectedFilter c;
    TestFilterObject* f = c.filter.Get();
    EXPECT_EQ(S_OK, c.filter.In()->Disconnect());
    EXPECT_FALSE(f->m_apIn->m_mt.IsValid());
    EXPECT_TRUE(f->m_apOut->m_mt.IsValid()) << "the output is still connected with it";
    EXPECT_EQ(S_OK, c.filter.Out()->Disconnect());
    EXPECT_FALSE(f->m_apOut->m_mt.IsValid()) << "nothing left upstream to keep it for";
}

TEST_F(PinTest, ClearPinLeavesAConnectedPinConnected)
{
    CConnectedFilter c;
    TestFilterObject* f = c.filter.Get();
    f->m_apIn->ClearPin();
    EXPECT_EQ(2, m_log.LevelOf(Fmt(L"###Err### %s ClearPin(): Pin not disconnected\n", f->m_apIn->GetTraceName())));
    EXPECT_TRUE(f->m_apIn->IsConnected());
}

// ---------------------------------------------------------------------------
// End of stream, flushes, new segments, quality

TEST_F(PinTest, StreamCallsReachTheDownstreamPin)
{
    CConnectedFilter c;
    TestFilterObject* f = c.filter.Get();
    IPin* pIn = c.filter.In();
    ASSERT_EQ(S_OK, c.filter.Filter()->Run(0));

    EXPECT_EQ(S_OK, pIn->NewSegment(100, 2000, 1.5));
    EXPECT_EQ(S_OK, pIn->BeginFlush());
    EXPECT_TRUE(f->m_apIn->m_bFlushing);
    EXPECT_EQ(E_UNEXPECTED, pIn->EndOfStream()) << "not while flushing";
    EXPECT_EQ(S_OK, pIn->EndFlush());
    EXPECT_EQ(S_OK, pIn->EndOfStream());

    using dsfix::SinkEvent;
    const std::vector<SinkEvent> events = c.sink->Events();
    std::vector<SinkEvent::Kind> kinds;
    for (const SinkEvent& e : events)
        if (e.kind != SinkEvent::CompleteSent)
            kinds.push_back(e.kind);
    const std::vector<SinkEvent::Kind> expected = { SinkEvent::NewSegment, SinkEvent::BeginFlush, SinkEvent::EndFlush,
                                                    SinkEvent::EndOfStream };
    EXPECT_EQ(expected, kinds);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(100, events[0].start);
    EXPECT_EQ(2000, events[0].stop);
    EXPECT_EQ(1.5, events[0].rate);

    const std::wstring sName = f->m_apIn->GetTraceName();
    WCHAR szStart[50], szStop[50];
    EXPECT_EQ(8, m_log.LevelOf(Fmt(L"%s IPinImpl::NewSegment( tS=%s, tE=%s, rate=%g )\n", sName.c_str(),
                                   ReferenceTimeToText(100, szStart), ReferenceTimeToText(2000, szStop), 1.5)));
    EXPECT_EQ(8, m_log.LevelOf(Fmt(L"%s IPinImpl::BeginFlush()=0x%X\n", sName.c_str(), S_OK)));
    EXPECT_EQ(8, m_log.LevelOf(Fmt(L"%s IPinImpl::EndFlush() = 0x%X\n", sName.c_str(), S_OK)));
    EXPECT_EQ(8, m_log.LevelOf(Fmt(L"%s IPinImpl::EndOfStream\n", sName.c_str())));
}

// With the output unconnected nothing is passed on; the input pin still
// keeps its flag and segment.
TEST_F(PinTest, StreamCallsWithNothingDownstream)
{
    CTestFilterPtr f;
    IPin* pIn = f.In();
    EXPECT_EQ(VFW_E_NOT_CONNECTED, pIn->NewSegment(5, 50, 2.0));
    EXPECT_EQ(5, f->m_apIn->m_tStart) << "kept although the filter failed";
    EXPECT_EQ(50, f->m_apIn->m_tStop);
    EXPECT_EQ(2.0, f->m_apIn->m_dRate);
    EXPECT_EQ(VFW_E_NOT_CONNECTED, pIn->EndOfStream());
    EXPECT_EQ(VFW_E_NOT_CONNECTED, pIn->BeginFlush());
    EXPECT_TRUE(f->m_apIn->m_bFlushing) << "set whatever the filter answered";
    EXPECT_TRUE(m_log.HasLine(Fmt(L"%s IPinImpl::BeginFlush()=0x%X\n", f->m_apIn->GetTraceName(), VFW_E_NOT_CONNECTED)));
    EXPECT_EQ(VFW_E_NOT_CONNECTED, pIn->EndFlush());
    EXPECT_FALSE(f->m_apIn->m_bFlushing);
    EXPECT_EQ(0, f->m_apIn->m_tStart) << "EndFlush resets the segment";
    EXPECT_EQ(0, f->m_apIn->m_tStop);
    EXPECT_EQ(1.0, f->m_apIn->m_dRate);
}

TEST_F(PinTest, FlushAndSegmentOnAFakeDownstream)
{
    CTestFilterPtr f;
    CFakePin* pUp = new CFakePin(PINDIR_OUTPUT);
    CFakePin* pDown = new CFakePin(PINDIR_INPUT);
    ASSERT_EQ(S_OK, f.In()->ReceiveConnection(pUp->Pin(), TestVideoType().Ptr()));
    f->m_apOut->m_spConnected = pDown->Pin(); // connected without negotiation
    pDown->m_hrStream = E_ABORT;
    EXPECT_EQ(E_ABORT, f.In()->BeginFlush()) << "the downstream answer comes back";
    EXPECT_EQ(E_UNEXPECTED, f.In()->EndOfStream());
    EXPECT_EQ(E_ABORT, f.In()->EndFlush());
    EXPECT_EQ(E_ABORT, f.In()->EndOfStream());
    EXPECT_EQ(E_ABORT, f.In()->NewSegment(1, 2, 0.5));
    const std::vector<std::wstring> expected = { L"BeginFlush", L"EndFlush", L"EndOfStream", L"NewSegment" };
    EXPECT_EQ(expected, pDown->m_calls);
    EXPECT_EQ(0.5, pDown->m_dRate);
    f->m_apOut->m_spConnected.Release();
    EXPECT_EQ(S_OK, f.In()->Disconnect());
    pDown->Release();
    pUp->Release();
}

// The streaming thread passes calls downstream while the graph thread
// connects and disconnects the output pin, each time to a sink that is gone
// once disconnected: every call reaches a live pin or none.
TEST_F(PinTest, StreamCallsRaceTheOutputConnection)
{
    dsfix::HangWatchdog watchdog(60000, "stream calls against output connections");
    CTestFilterPtr f;
    CFakePin* pUp = new CFakePin(PINDIR_OUTPUT);
    pUp->m_types = { TestVideoType() };
    ASSERT_EQ(S_OK, f.In()->ReceiveConnection(pUp->Pin(), TestVideoType().Ptr()));

    struct Shared
    {
        IPin* pIn;
        volatile LONG bStop;
        LONG nDelivered;
    } shared = { f.In(), FALSE, 0 };
    HANDLE hThread = CreateThread(
        NULL, 0,
        [](void* pv) -> DWORD {
            Shared* p = static_cast<Shared*>(pv);
            while (!p->bStop)
            {
                if (S_OK == p->pIn->NewSegment(0, 1, 1.0))
                    ++p->nDelivered;
                p->pIn->EndOfStream();
            }
            return 0;
        },
        &shared, 0, NULL);
    ASSERT_NE(nullptr, hThread);
    m_log.Reset();
    for (int i = 0; i < 300; ++i)
    {
        dsfix::ComPtr<dsfix::TestSink> sink = NewTestSink();
        ASSERT_EQ(S_OK, f.Out()->Connect(sink->Pin(), NULL)) << i;
        Sleep(0);
        ASSERT_EQ(S_OK, f.Out()->Disconnect()) << i;
    }
    InterlockedExchange(&shared.bStop, TRUE);
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    EXPECT_GT(shared.nDelivered, 0) << "some calls found a sink";
    EXPECT_EQ(S_OK, f.In()->Disconnect());
    pUp->Release();
}

TEST_F(PinTest, QualityGoesUpstream)
{
    CConnectedFilter c;
    TestFilterObject* f = c.filter.Get();
    const Quality q = { Flood, 900, -20000, 123456 };
    EXPECT_EQ(S_OK, c.sink->SendQuality(q)) << "downstream to the output pin, through the filter, upstream";
    ASSERT_EQ(1u, c.upstream->m_notifies.size());
    EXPECT_EQ(900, c.upstream->m_notifies[0].Proportion);
    EXPECT_EQ(-20000, c.upstream->m_notifies[0].Late);

    // A sink is preferred and is not counted.
    CFakePin* pSink = new CFakePin(PINDIR_INPUT);
    IQualityControl* pqc = static_cast<IQualityControl*>(pSink);
    CComQIPtr<IQualityControl> spOutQc(c.filter.Out());
    CComQIPtr<IQualityControl> spInQc(c.filter.In());
    ASSERT_TRUE(spOutQc && spInQc);
    EXPECT_EQ(S_OK, spOutQc->SetSink(pqc));
    EXPECT_EQ(S_OK, spInQc->SetSink(pqc));
    EXPECT_EQ(1, pSink->RefCount());
    EXPECT_EQ(S_OK, spOutQc->Notify(c.filter.Filter(), q));
    EXPECT_EQ(S_OK, spInQc->Notify(c.filter.Filter(), q));
    EXPECT_EQ(2u, pSink->m_notifies.size());
    EXPECT_EQ(1u, c.upstream->m_notifies.size());
    EXPECT_EQ(S_OK, spOutQc->SetSink(NULL));
    EXPECT_EQ(S_OK, spInQc->SetSink(NULL));

    // An upstream pin without IQualityControl.
    c.upstream->m_bQuality = false;
    EXPECT_EQ(E_NOINTERFACE, spInQc->Notify(c.filter.Filter(), q));
    c.upstream->m_bQuality = true;
    pSink->Release();
    (void)f;

    // No sink and nothing connected.
    CTestFilterPtr g;
    CComQIPtr<IQualityControl> spLone(g.In());
    EXPECT_EQ(VFW_E_NOT_CONNECTED, spLone->Notify(g.Filter(), q));
}

// ---------------------------------------------------------------------------
// Interfaces

// What each object must answer, and what it must not.
TEST_F(PinTest, EachObjectAnswersItsInterfacesAndNoOthers)
{
    CTestFilterPtr f;
    CComPtr<IEnumPins> spPins;
    CComPtr<IEnumMediaTypes> spTypes;
    ASSERT_EQ(S_OK, f.Filter()->EnumPins(&spPins));
    ASSERT_EQ(S_OK, f.In()->EnumMediaTypes(&spTypes));

    const IID* const aiidAll[] = {
        &IID_IUnknown,        &IID_IPersist,      &IID_IMediaFilter,  &IID_IBaseFilter, &IID_IPin,
        &IID_IQualityControl, &IID_IEnumPins,     &IID_IEnumMediaTypes, &IID_IMemInputPin, &IID_IMediaSeeking,
        &IID_IKsPropertySet,  &IID_IPersistStream, &IID_IAMFilterMiscFlags, &IID_IMediaEventSink,
    };
    const struct
    {
        const char* pszObject;
        IUnknown* pObject;
        std::vector<const IID*> must;
    } objects[] = {
        { "filter", f.Filter(), { &IID_IUnknown, &IID_IPersist, &IID_IMediaFilter, &IID_IBaseFilter } },
        { "input pin", f.In(), { &IID_IUnknown, &IID_IPin, &IID_IQualityControl, &IID_IMemInputPin } },
        { "output pin", f.Out(), { &IID_IUnknown, &IID_IPin, &IID_IQualityControl } },
        { "pin enumerator", spPins, { &IID_IUnknown, &IID_IEnumPins } },
        { "media-type enumerator", spTypes, { &IID_IUnknown, &IID_IEnumMediaTypes } },
    };
    for (const auto& o : objects)
    {
        CComPtr<IUnknown> spIdentity;
        ASSERT_EQ(S_OK, o.pObject->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&spIdentity)));
        for (const IID* piid : aiidAll)
        {
            const bool bMust = std::find(o.must.begin(), o.must.end(), piid) != o.must.end();
            IUnknown* p = reinterpret_cast<IUnknown*>(1);
            const HRESULT hr = o.pObject->QueryInterface(*piid, reinterpret_cast<void**>(&p));
            WCHAR szName[128];
            const std::wstring sIid = Guid2Name(*piid, szName, 128);
            const std::string sWhat = std::string(o.pszObject) + " " + std::string(sIid.begin(), sIid.end());
            if (bMust)
            {
                EXPECT_EQ(S_OK, hr) << sWhat;
                if (S_OK == hr)
                {
                    CComPtr<IUnknown> spBack;
                    p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&spBack));
                    EXPECT_EQ(spIdentity.p, spBack.p) << sWhat << ": one identity";
                    p->Release();
                }
            }
            else
            {
                EXPECT_EQ(E_NOINTERFACE, hr) << sWhat;
                EXPECT_EQ(NULL, p) << sWhat;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// A pin that outlives its filter

// A host that keeps a pin after the filter is gone gets clean answers: the
// pin no longer reaches its filter.
TEST_F(PinTest, APinKeptAfterItsFilterAnswersWithoutIt)
{
    const LONG nBefore = TestModule().GetLockCount();
    CComPtr<IPin> spIn;
    CComPtr<IPin> spOut;
    {
        CTestFilterPtr f;
        ASSERT_EQ(S_OK, f.Filter()->FindPin(L"In", &spIn));
        ASSERT_EQ(S_OK, f.Filter()->FindPin(L"Out", &spOut));
    }
    EXPECT_EQ(nBefore + 2, TestModule().GetLockCount()) << "the filter is gone, its pins are not";
    m_log.Reset();

    for (IPin* pPin : { spIn.p, spOut.p })
    {
        const bool bIn = (pPin == spIn.p);
        PIN_INFO info = {};
        info.pFilter = reinterpret_cast<IBaseFilter*>(1);
        EXPECT_EQ(S_OK, pPin->QueryPinInfo(&info));
        EXPECT_EQ(NULL, info.pFilter);
        EXPECT_EQ(bIn ? L"In" : L"Out", std::wstring(info.achName));
        EXPECT_EQ(S_FALSE, pPin->QueryAccept(TestVideoType().Ptr()));
        EXPECT_EQ(S_FALSE, pPin->Disconnect());
        CComPtr<IEnumMediaTypes> spEnum;
        EXPECT_EQ(S_OK, pPin->EnumMediaTypes(&spEnum));
        LPWSTR pszId = NULL;
        EXPECT_EQ(S_OK, pPin->QueryId(&pszId));
        CoTaskMemFree(pszId);
    }
    EXPECT_EQ(2u, m_log.CountContaining(L"IPinImpl::QueryPinInfo(): link between filter and pin is broken, "
                                        L"pPin->m_pFilter==NULL\n"));
    EXPECT_EQ(2u, m_log.CountContaining(L"QueryAcceptMT(): link between filter and pin is broken\n"));

    EXPECT_EQ(E_UNEXPECTED, spIn->EndOfStream());
    EXPECT_EQ(E_UNEXPECTED, spIn->BeginFlush());
    EXPECT_EQ(E_UNEXPECTED, spIn->EndFlush());
    EXPECT_EQ(E_UNEXPECTED, spIn->NewSegment(0, 1, 1.0));
    CComQIPtr<IQualityControl> spOutQc(spOut);
    const Quality q = { Famine, 1000, 0, 0 };
    EXPECT_EQ(E_UNEXPECTED, spOutQc->Notify(NULL, q));
    EXPECT_EQ(VFW_E_NOT_CONNECTED, CComQIPtr<IQualityControl>(spIn)->Notify(NULL, q));

    spIn.Release();
    spOut.Release();
    spOutQc.Release();
    EXPECT_EQ(nBefore, TestModule().GetLockCount());
}

// A pin still connected when its filter goes (a host that never
// disconnected it) refuses the disconnect it can no longer do safely.
TEST_F(PinTest, AConnectedPinKeptAfterItsFilter)
{
    CFakePin* pUp = new CFakePin(PINDIR_OUTPUT);
    CComPtr<IPin> spIn;
    {
        CTestFilterPtr f;
        ASSERT_EQ(S_OK, f.In()->ReceiveConnection(pUp->Pin(), TestVideoType().Ptr()));
        spIn = f.In();
    }
    EXPECT_TRUE(m_log.HasAssert("!m_apIn->IsConnected()"));
    EXPECT_EQ(E_UNEXPECTED, spIn->Disconnect());
    EXPECT_TRUE(m_log.HasAssert("pPin->m_pFilter != NULL"));
    CComPtr<IPin> spPeer;
    EXPECT_EQ(S_OK, spIn->ConnectedTo(&spPeer));
    spPeer.Release();

    // What is left of it is let go with the pin.
    static_cast<CComObject<CTestInput>*>(spIn.p)->m_spConnected.Release();
    spIn.Release();
    EXPECT_EQ(1, pUp->RefCount());
    pUp->Release();
}

// A pin that never had a filter reports each refused call as an assertion
// whose text is the check as the framework states it, not the source
// expression with its member access.
TEST_F(PinTest, AssertionsOfAPinWithoutItsFilterNameTheCheck)
{
    CComObject<CTestInput>* pIn = NULL;
    CComObject<CTestOutput>* pOut = NULL;
    ASSERT_EQ(S_OK, CTestFilter::CreatePin<CTestInput>(&pIn, PINDIR_INPUT, L"In"));
    ASSERT_EQ(S_OK, CTestFilter::CreatePin<CTestOutput>(&pOut, PINDIR_OUTPUT, L"Out"));
    CComPtr<IPin> spIn;
    CComPtr<IPin> spOut;
    spIn.Attach(static_cast<IPin*>(pIn));
    spOut.Attach(static_cast<IPin*>(pOut));
    CFakePin* pUp = new CFakePin(PINDIR_OUTPUT);
    CFakePin* pDown = new CFakePin(PINDIR_INPUT);
    const dsfix::MediaType type = TestVideoType();
    const Quality q = { Famine, 1000, 0, 0 };

    const struct
    {
        const char* pszCall;
        std::function<HRESULT()> call;
        HRESULT hr;
        const char* pszAssert;
        const wchar_t* pszHeader; // the header that holds the check
    } cases[] = {
        { "BeginFlush", [&] { return spIn->BeginFlush(); }, E_UNEXPECTED, "pFilter != NULL", L"InputPin.h(" },
        { "EndFlush", [&] { return spIn->EndFlush(); }, E_UNEXPECTED, "pFilter != NULL", L"InputPin.h(" },
        { "ReceiveConnection", [&] { return spIn->ReceiveConnection(pUp->Pin(), type.Ptr()); }, E_UNEXPECTED,
          "m_pFilter != NULL", L"InputPin.h(" },
        { "Connect", [&] { return spOut->Connect(pDown->Pin(), type.Ptr()); }, E_UNEXPECTED, "m_pFilter != NULL",
          L"OutputPin.h(" },
        { "Notify", [&] { return CComQIPtr<IQualityControl>(spOut)->Notify(NULL, q); }, E_UNEXPECTED,
          "pPin->m_pFilter != NULL", L"OutputPin.h(" },
    };
    for (const auto& c : cases)
    {
        m_log.Reset();
        EXPECT_EQ(c.hr, c.call()) << c.pszCall;
        const std::vector<std::wstring> lines = m_log.Lines();
        size_t nAsserts = 0;
        for (const std::wstring& s : lines)
        {
            if (s.compare(0, 10, L"###Err###\n") != 0)
                continue;
            ++nAsserts;
            EXPECT_NE(std::wstring::npos, s.find(c.pszHeader)) << c.pszCall << ": " << s;
            EXPECT_EQ(std::wstring::npos, s.find(L"this->")) << c.pszCall << ": " << s;
        }
        EXPECT_EQ(1u, nAsserts) << c.pszCall;
        EXPECT_TRUE(m_log.HasAssert(c.pszAssert)) << c.pszCall;
    }
    EXPECT_FALSE(pIn->IsConnected());
    EXPECT_FALSE(pOut->IsConnected());
    spIn.Release();
    spOut.Release();
    pUp->Release();
    pDown->Release();
}

} // namespace
