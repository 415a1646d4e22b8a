// The base filter and IBaseFilter: arguments, identity, joining a graph,
// finding pins, the clock, the state change with its allocator work and its
// graph text, and reconnection through the graph.
#include "FilterTestSupport.h"

namespace {

class BaseFilterTest : public FilterTest
{
protected:
    void SetUp() override { ASSERT_TRUE(m_log.IsBound()); }
    std::wstring Name() { return m_f->GetTraceName(); }

    CFakeLogScope m_log;
    CTestFilterPtr m_f;
};

TEST_F(BaseFilterTest, NullArgumentsAndWhatIsNotOffered)
{
    IBaseFilter* pf = m_f.Filter();
    const struct
    {
        const char* pszCall;
        std::function<HRESULT()> call;
        HRESULT hr;
        const char* pszAssert;
    } cases[] = {
        { "GetClassID", [&] { return pf->GetClassID(NULL); }, E_INVALIDARG, "pClassID != NULL" },
        { "QueryFilterInfo", [&] { return pf->QueryFilterInfo(NULL); }, E_INVALIDARG, "pInfo != NULL" },
        { "GetSyncSource", [&] { return pf->GetSyncSource(NULL); }, E_POINTER, "pClock != NULL" },
        { "GetState", [&] { return pf->GetState(0, NULL); }, E_POINTER, "State != NULL" },
        { "EnumPins", [&] { return pf->EnumPins(NULL); }, E_POINTER, "ppEnum != NULL" },
        { "FindPin id", [&] {
             IPin* p = NULL;
             return pf->FindPin(NULL, &p);
         }, E_POINTER, "ppPin != NULL && Id != NULL" },
        { "FindPin out", [&] { return pf->FindPin(L"In", NULL); }, E_POINTER, "ppPin != NULL && Id != NULL" },
    };
    for (const auto& c : cases)
    {
        m_log.Reset();
        EXPECT_EQ(c.hr, c.call()) << c.pszCall;
        EXPECT_TRUE(m_log.HasAssert(c.pszAssert)) << c.pszCall;
    }

    m_log.Reset();
    LPWSTR psz = NULL;
    EXPECT_EQ(E_NOTIMPL, pf->QueryVendorInfo(&psz));
    EXPECT_EQ(0, m_log.LevelOf(L"ATL: IBaseFilterImpl::QueryVendorInfo not implemented.\n"));
}

TEST_F(BaseFilterTest, ClassIdAnswersThroughIPersistAndStateAtOnce)
{
    CLSID clsid = CLSID_NULL;
    EXPECT_EQ(S_OK, m_f.Filter()->GetClassID(&clsid));
    EXPECT_EQ(CLSID_TestMorphlet, clsid);
    CComQIPtr<IPersist> spPersist(m_f.Filter());
    ASSERT_TRUE(spPersist);
    clsid = CLSID_NULL;
    EXPECT_EQ(S_OK, spPersist->GetClassID(&clsid));
    EXPECT_EQ(CLSID_TestMorphlet, clsid);

    FILTER_STATE state = State_Running;
    const DWORD dwStart = GetTickCount();
    EXPECT_EQ(S_OK, m_f.Filter()->GetState(INFINITE, &state)) << "any timeout returns at once";
    EXPECT_LT(GetTickCount() - dwStart, 1000u);
    EXPECT_EQ(State_Stopped, state);
}

// ---------------------------------------------------------------------------
// Joining a graph

TEST_F(BaseFilterTest, JoinNamesAndLeaves)
{
    CFakeGraph* pGraph = new CFakeGraph;
    FILTER_INFO info = {};

    EXPECT_EQ(S_OK, m_f.Filter()->JoinFilterGraph(pGraph, NULL));
    EXPECT_EQ(1, pGraph->RefCount()) << "the graph is not counted";
    EXPECT_EQ(S_OK, m_f.Filter()->QueryFilterInfo(&info));
    EXPECT_STREQ(L"", info.achName);
    EXPECT_EQ(static_cast<IFilterGraph*>(pGraph), info.pGraph);
    EXPECT_EQ(2, pGraph->RefCount()) << "QueryFilterInfo hands out a reference";
    info.pGraph->Release();
    EXPECT_TRUE(m_log.HasLine(Fmt(L"%s IBaseFilterImpl::JoinFilterGraph( 0x%08X, 'null' )\n", Name().c_str(),
                                  static_cast<unsigned>(reinterpret_cast<UINT_PTR>(static_cast<IFilterGraph*>(pGraph))))));

    // A second join without leaving first is refused and changes nothing.
    CFakeGraph* pOther = new CFakeGraph;
    EXPECT_EQ(E_FAIL, m_f.Filter()->JoinFilterGraph(pOther, L"Other"));
    EXPECT_EQ(static_cast<IFilterGraph*>(pGraph), m_f->m_pFilterGraphJoin);
    EXPECT_STREQ(L"", m_f->m_szName);
    EXPECT_TRUE(m_log.HasAssert("pT->m_pFilterGraphJoin == NULL || pGraph == NULL"));

    // Leaving clears the fields before the hook runs.
    EXPECT_EQ(S_OK, m_f.Filter()->JoinFilterGraph(NULL, NULL));
    ASSERT_FALSE(m_f->m_joins.empty());
    const CTestFilter::JoinRecord& leave = m_f->m_joins.back();
    EXPECT_FALSE(leave.bJoin);
    EXPECT_EQ(NULL, leave.pGraphSeen);
    EXPECT_FALSE(leave.bNameSeen);
    EXPECT_EQ(S_OK, m_f.Filter()->QueryFilterInfo(&info));
    EXPECT_EQ(NULL, info.pGraph);

    // A 200-character name keeps its first 127 characters.
    const std::wstring sLong(200, L'x');
    EXPECT_EQ(S_OK, m_f.Filter()->JoinFilterGraph(pOther, sLong.c_str()));
    EXPECT_TRUE(m_f->m_joins.back().bNameSeen) << "joining fills the fields before the hook";
    EXPECT_EQ(S_OK, m_f.Filter()->QueryFilterInfo(&info));
    EXPECT_EQ(sLong.substr(0, 127), info.achName);
    info.pGraph->Release();
    EXPECT_EQ(S_OK, m_f.Filter()->JoinFilterGraph(NULL, NULL));
    pOther->Release();
    pGraph->Release();
}

TEST_F(BaseFilterTest, AFailingJoinHookUndoesTheJoin)
{
    CFakeGraph* pGraph = new CFakeGraph;
    m_f->m_hrJoin = E_OUTOFMEMORY;
    EXPECT_EQ(E_OUTOFMEMORY, m_f.Filter()->JoinFilterGraph(pGraph, L"Spy"));
    FILTER_INFO info = {};
    EXPECT_EQ(S_OK, m_f.Filter()->QueryFilterInfo(&info));
    EXPECT_EQ(NULL, info.pGraph);
    EXPECT_STREQ(L"", info.achName);
    EXPECT_EQ(NULL, m_f->m_pEventSink);
    m_f->m_hrJoin = S_OK;
    EXPECT_EQ(S_OK, m_f.Filter()->JoinFilterGraph(pGraph, L"Spy")) << "the filter can join again";
    EXPECT_EQ(S_OK, m_f.Filter()->JoinFilterGraph(NULL, NULL));
    pGraph->Release();
}

TEST_F(BaseFilterTest, FindPinComparesWholeIdentifiers)
{
    const struct
    {
        const wchar_t* pszId;
        int nPin; // 0 input, 1 output, -1 none
    } cases[] = {
        { L"In", 0 }, { L"Out", 1 }, { L"in", -1 }, { L"OUT", -1 }, { L"", -1 }, { L"I", -1 }, { L"In ", -1 },
    };
    for (const auto& c : cases)
    {
        IPin* pPin = reinterpret_cast<IPin*>(1);
        const HRESULT hr = m_f.Filter()->FindPin(c.pszId, &pPin);
        if (c.nPin < 0)
        {
            EXPECT_EQ(VFW_E_NOT_FOUND, hr) << "'" << dsfix::HrText(hr) << "'";
            EXPECT_EQ(NULL, pPin);
        }
        else
        {
            EXPECT_EQ(S_OK, hr);
            EXPECT_EQ(c.nPin == 0 ? m_f.In() : m_f.Out(), pPin);
            if (pPin)
                pPin->Release();
        }
    }
}

// ---------------------------------------------------------------------------
// The clock

class CFakeClock : public IReferenceClock, public IPersist, public CFakeUnknown
{
public:
    CFakeClock(bool bPersist, HRESULT hrClassID) : m_bPersist(bPersist), m_hrClassID(hrClassID) {}
    FAKE_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = NULL;
        if (riid == IID_IUnknown || riid == IID_IReferenceClock)
            *ppv = static_cast<IReferenceClock*>(this);
        else if (riid == IID_IPersist && m_bPersist)
            *ppv = static_cast<IPersist*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP GetTime(REFERENCE_TIME* p) override
    {
        *p = 0;
        return S_OK;
    }
    STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR*) override { return E_NOTIMPL; }
    STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR*) override { return E_NOTIMPL; }
    STDMETHODIMP Unadvise(DWORD_PTR) override { return E_NOTIMPL; }
    STDMETHODIMP GetClassID(CLSID* p) override
    {
        *p = CLSID_SystemClock;
        return m_hrClassID;
    }
    bool m_bPersist;
    HRESULT m_hrClassID;
};

TEST_F(BaseFilterTest, SyncSourceIsKeptAndTraced)
{
    CComPtr<IReferenceClock> spSystem;
    ASSERT_EQ(S_OK, spSystem.CoCreateInstance(CLSID_SystemClock, NULL, CLSCTX_INPROC_SERVER));
    CFakeClock* pPersist = new CFakeClock(true, S_OK);
    CFakeClock* pNoClass = new CFakeClock(true, E_FAIL);
    auto Hex = [](void* p) { return static_cast<unsigned>(reinterpret_cast<UINT_PTR>(p)); };
    WCHAR szName[128];
    const struct
    {
        IReferenceClock* pClock;
        std::wstring sLine;
        int nLevel;
    } cases[] = {
        { pPersist, Fmt(L"%s IBaseFilterImpl::SetSyncSource( 0x%X ): CLSID = %s\n", Name().c_str(),
                        Hex(static_cast<IReferenceClock*>(pPersist)), Guid2Name(CLSID_SystemClock, szName, 128)), 8 },
        // Wine's system clock does not tell its class.
        { spSystem, Fmt(L"WARNING. %s IBaseFilterImpl::SetSyncSource( 0x%X ): clock hasn't CLSID\n", Name().c_str(),
                        Hex(spSystem.p)), 4 },
        { pNoClass, Fmt(L"###Err### %s IBaseFilterImpl::SetSyncSource( 0x%X ): spPersist->GetClassID()=0x%X\n",
                        Name().c_str(), Hex(static_cast<IReferenceClock*>(pNoClass)), E_FAIL), 2 },
        { NULL, Fmt(L"%s IBaseFilterImpl::SetSyncSource( NULL )\n", Name().c_str()), 8 },
    };
    for (const auto& c : cases)
    {
        m_log.Reset();
        EXPECT_EQ(S_OK, m_f.Filter()->SetSyncSource(c.pClock));
        EXPECT_EQ(c.nLevel, m_log.LevelOf(c.sLine)) << std::string(c.sLine.begin(), c.sLine.end());
        IReferenceClock* pGot = reinterpret_cast<IReferenceClock*>(1);
        EXPECT_EQ(S_OK, m_f.Filter()->GetSyncSource(&pGot));
        EXPECT_EQ(c.pClock, pGot);
        if (pGot)
            pGot->Release();
    }
    EXPECT_EQ(1, pPersist->RefCount()) << "the clock was let go";
    pPersist->Release();
    pNoClass->Release();
}

// ---------------------------------------------------------------------------
// State changes

TEST_F(BaseFilterTest, PausingNeedsBothPinsConnected)
{
    CFakeAllocator* pAlloc = new CFakeAllocator;
    m_f->m_apOut->AttachAllocator(pAlloc, eAS_Internal);
    CFakePin* pUp = new CFakePin(PINDIR_OUTPUT);

    for (int nConnected = 0; nConnected < 2; ++nConnected)
    {
        if (1 == nConnected)
        {
            ASSERT_EQ(S_OK, m_f.In()->ReceiveConnection(pUp->Pin(), TestVideoType().Ptr()));
        }
        EXPECT_EQ(VFW_E_WRONG_STATE, m_f.Filter()->Pause()) << nConnected;
        EXPECT_EQ(State_Stopped, m_f->FilterState());
        EXPECT_EQ(VFW_E_WRONG_STATE, m_f.Filter()->Run(0)) << nConnected;
        EXPECT_EQ(State_Stopped, m_f->FilterState());
    }
    EXPECT_EQ(0, pAlloc->m_nCommit + pAlloc->m_nDecommit) << "no allocator work";
    EXPECT_TRUE(m_log.HasLine(Fmt(L"###Err### %s IBaseFilterImpl::Run(): Pause()=0x%X\n", Name().c_str(),
                                  VFW_E_WRONG_STATE)));

    // Stop of a stopped filter whose output is not connected reports it.
    EXPECT_EQ(VFW_E_NOT_CONNECTED, m_f.Filter()->Stop());
    EXPECT_EQ(State_Stopped, m_f->FilterState());
    EXPECT_EQ(S_OK, m_f.In()->Disconnect());
    m_f->m_apOut->Reset();
    pAlloc->Release();
    pUp->Release();
}

class ConnectedFilterTest : public FilterTest
{
protected:
    ConnectedFilterTest() : m_pAlloc(new CFakeAllocator), m_c(m_pAlloc), m_pGraph(new CFakeGraph) {}
    ~ConnectedFilterTest() override
    {
        m_c.filter.Filter()->Stop();
        m_c.filter.Filter()->JoinFilterGraph(NULL, NULL);
        m_pGraph->Release();
        m_pAlloc->Release();
    }
    void SetUp() override
    {
        ASSERT_TRUE(m_log.IsBound());
        ASSERT_TRUE(f()->AreAllPinsConnected());
        ASSERT_EQ(S_OK, pf()->JoinFilterGraph(m_pGraph, L"Test Filter"));
        m_log.Reset();
    }
    TestFilterObject* f() { return m_c.filter.Get(); }
    IBaseFilter* pf() { return m_c.filter.Filter(); }
    std::wstring Name() { return f()->GetTraceName(); }
    size_t Dumps() { return m_log.DumpBufferRecords().size(); }

    CFakeLogScope m_log;
    CFakeAllocator* m_pAlloc;
    CConnectedFilter m_c;
    CFakeGraph* m_pGraph;
};

// The graph text goes to the log each time the filter leaves Stopped, and
// only then; the allocator is committed before the state moves and
// decommitted before it goes back to Stopped, once per change.
TEST_F(ConnectedFilterTest, StateSequenceDumpsTheGraphTwice)
{
    std::vector<std::pair<bool, FILTER_STATE>> allocatorCalls;
    m_pAlloc->m_onCall = [&](bool bCommit) { allocatorCalls.push_back({ bCommit, f()->FilterState() }); };

    const struct
    {
        const char* pszStep;
        std::function<HRESULT()> call;
        FILTER_STATE eAfter;
        size_t nDumps;
        int nCommits;
        int nDecommits;
    } steps[] = {
        { "Pause", [&] { return pf()->Pause(); }, State_Paused, 1, 1, 0 },
        { "Pause again", [&] { return pf()->Pause(); }, State_Paused, 1, 1, 0 },
        { "Run", [&] { return pf()->Run(1234); }, State_Running, 1, 1, 0 },
        { "Pause", [&] { return pf()->Pause(); }, State_Paused, 1, 1, 0 },
        { "Stop", [&] { return pf()->Stop(); }, State_Stopped, 1, 1, 1 },
        { "Stop again", [&] { return pf()->Stop(); }, State_Stopped, 1, 1, 1 },
        { "Run", [&] { return pf()->Run(5678); }, State_Running, 2, 2, 1 },
    };
    for (const auto& s : steps)
    {
        EXPECT_EQ(S_OK, s.call()) << s.pszStep;
        EXPECT_EQ(s.eAfter, f()->FilterState()) << s.pszStep;
        EXPECT_EQ(s.nDumps, Dumps()) << s.pszStep;
        EXPECT_EQ(s.nCommits, m_pAlloc->m_nCommit) << s.pszStep;
        EXPECT_EQ(s.nDecommits, m_pAlloc->m_nDecommit) << s.pszStep;
    }
    EXPECT_EQ(5678, f()->m_tStart);
    const std::vector<std::pair<bool, FILTER_STATE>> expected = {
        { true, State_Stopped }, { false, State_Paused }, { true, State_Stopped },
    };
    EXPECT_EQ(expected, allocatorCalls);
    m_pAlloc->m_onCall = nullptr;
    for (const FAKELOG_RECORD& r : m_log.DumpBufferRecords())
        EXPECT_GT(static_cast<int>(r.a[0]), 0) << "a text was handed over";
}

TEST_F(ConnectedFilterTest, RunFromStoppedAndStopFromRunningPassThroughPause)
{
    EXPECT_EQ(S_OK, pf()->Run(0));
    EXPECT_EQ(1, f()->m_nPauseCalls) << "the filter's own Pause ran";
    EXPECT_EQ(4, m_log.LevelOf(Fmt(
                     L"WARNING. %s IBaseFilterImpl::Run(): current state is State_Stopped, call Pause() command\n",
                     Name().c_str())));
    EXPECT_EQ(8, m_log.LevelOf(Fmt(L"%s IBaseFilterImpl::Run(): run after pause\n", Name().c_str())));
    WCHAR szTime[50];
    EXPECT_EQ(8, m_log.LevelOf(Fmt(L"%s IBaseFilterImpl::Run( %s )\n", Name().c_str(), ReferenceTimeToText(0, szTime))));

    EXPECT_EQ(S_OK, pf()->Stop());
    EXPECT_EQ(2, f()->m_nPauseCalls);
    EXPECT_EQ(4, m_log.LevelOf(Fmt(
                     L"WARNING. %s IBaseFilterImpl::Stop(): current state is State_Running, call Pause() command\n",
                     Name().c_str())));
    EXPECT_EQ(8, m_log.LevelOf(Fmt(L"%s IBaseFilterImpl::Stop(): stop after pause\n", Name().c_str())));

    std::vector<FILTER_STATE> asked;
    for (const CTestFilter::StateRecord& r : f()->m_states)
        asked.push_back(r.eAsked);
    const std::vector<FILTER_STATE> expected = { State_Paused, State_Running, State_Paused, State_Stopped };
    EXPECT_EQ(expected, asked);
}

TEST_F(ConnectedFilterTest, AFailingImplicitPauseEndsTheCall)
{
    f()->m_hrPause = E_ABORT;
    EXPECT_EQ(E_ABORT, pf()->Run(0));
    EXPECT_EQ(State_Stopped, f()->FilterState());
    EXPECT_TRUE(f()->m_states.empty()) << "nothing more was changed";
    EXPECT_TRUE(m_log.HasLine(Fmt(L"###Err### %s IBaseFilterImpl::Run(): Pause()=0x%X\n", Name().c_str(), E_ABORT)));

    f()->m_hrPause = S_OK;
    ASSERT_EQ(S_OK, pf()->Run(0));
    f()->m_hrPause = E_ABORT;
    EXPECT_EQ(E_ABORT, pf()->Stop());
    EXPECT_EQ(State_Running, f()->FilterState());
    EXPECT_TRUE(m_log.HasLine(Fmt(L"###Err### %s IBaseFilterImpl::Stop(): Pause()=0x%X\n", Name().c_str(), E_ABORT)));
    f()->m_hrPause = S_OK;
}

TEST_F(ConnectedFilterTest, AFailedCommitOrDecommitLeavesTheState)
{
    m_pAlloc->m_hrCommit = E_OUTOFMEMORY;
    EXPECT_EQ(E_OUTOFMEMORY, pf()->Pause());
    EXPECT_EQ(State_Stopped, f()->FilterState());
    EXPECT_EQ(0u, Dumps());
    m_pAlloc->m_hrCommit = S_FALSE;
    EXPECT_EQ(E_FAIL, pf()->Pause()) << "a success code other than S_OK is no commit";
    m_pAlloc->m_hrCommit = S_OK;
    EXPECT_EQ(S_OK, pf()->Pause()) << "the next change tries again";
    EXPECT_EQ(3, m_pAlloc->m_nCommit);
    EXPECT_EQ(1u, Dumps());

    m_pAlloc->m_hrDecommit = VFW_E_TIMEOUT;
    EXPECT_EQ(VFW_E_TIMEOUT, pf()->Stop());
    EXPECT_EQ(State_Paused, f()->FilterState());
    m_pAlloc->m_hrDecommit = S_OK;
}

TEST_F(ConnectedFilterTest, NoAllocatorNoChange)
{
    f()->m_apOut->Reset();
    EXPECT_EQ(VFW_E_NO_ALLOCATOR, pf()->Pause());
    EXPECT_EQ(State_Stopped, f()->FilterState());
    EXPECT_TRUE(m_log.HasAssert("m_spAllocOut != NULL"));
    f()->m_apOut->AttachAllocator(m_pAlloc, eAS_Internal);
}

TEST_F(ConnectedFilterTest, WithoutAGraphTheStateStillMoves)
{
    ASSERT_EQ(S_OK, pf()->JoinFilterGraph(NULL, NULL));
    EXPECT_EQ(S_OK, pf()->Pause());
    EXPECT_EQ(State_Paused, f()->FilterState());
    EXPECT_EQ(2, m_log.LevelOf(Fmt(L"###Err### %s CBaseFilter::ParseGraphToLogFile(): empty graph pointer\n",
                                   Name().c_str())));
    EXPECT_EQ(0u, Dumps());
    EXPECT_EQ(S_OK, pf()->Stop());
    ASSERT_EQ(S_OK, pf()->JoinFilterGraph(m_pGraph, L"Test Filter"));
}

// A value that is no filter state: the transform's state change refuses it
// before anything is touched. The base setter answers S_OK and leaves the
// state and the start time alone, but counts the value as a start for the
// graph text: the text is written now, and not again at the next Pause, only
// after a Stop.
TEST_F(ConnectedFilterTest, NoStateIsRefusedByTheChangeAndLeftAloneByTheSetter)
{
    {
        CTestFilter::ObjectLock lock(f());
        EXPECT_EQ(E_INVALIDARG, f()->Filter_SetFilterState(static_cast<FILTER_STATE>(3), 0));
        EXPECT_EQ(0u, Dumps());
        EXPECT_EQ(S_OK, f()->SetFilterState(static_cast<FILTER_STATE>(-1), 12345));
    }
    EXPECT_EQ(State_Stopped, f()->FilterState());
    EXPECT_EQ(0, f()->m_tStart);
    EXPECT_EQ(0, m_pAlloc->m_nCommit);
    EXPECT_EQ(1u, Dumps());
    EXPECT_EQ(S_OK, pf()->Pause());
    EXPECT_EQ(1u, Dumps());
    EXPECT_EQ(S_OK, pf()->Stop());
    EXPECT_EQ(S_OK, pf()->Pause());
    EXPECT_EQ(2u, Dumps());
    EXPECT_EQ(S_OK, pf()->Stop());
}

// ---------------------------------------------------------------------------
// Reconnection through the graph

TEST_F(ConnectedFilterTest, MakeReconnectAsksTheGraphOnlyForAnotherTypeOrTheInput)
{
    const dsfix::MediaType same = TestVideoType();
    const dsfix::MediaType other = TestVideoType(640);

    EXPECT_EQ(E_POINTER, f()->MakeReconnect(NULL, same.Ptr()));
    EXPECT_TRUE(m_pGraph->m_reconnects.empty());

    // The output pin with its own type: nothing to do.
    EXPECT_EQ(S_OK, f()->MakeReconnect(m_c.filter.Out(), same.Ptr()));
    EXPECT_TRUE(m_pGraph->m_reconnects.empty());
    EXPECT_EQ(8, m_log.LevelOf(Fmt(L"%s CBaseFilter::MakeReconnect( Out ): reconnection stopped - media types are equal\n",
                                   Name().c_str())));

    // Another type, or the input pin: the graph reconnects with the type.
    EXPECT_EQ(S_OK, f()->MakeReconnect(m_c.filter.Out(), other.Ptr()));
    EXPECT_EQ(S_OK, f()->MakeReconnect(m_c.filter.In(), same.Ptr()));
    ASSERT_EQ(2u, m_pGraph->m_reconnects.size());
    EXPECT_EQ(m_c.filter.Out(), m_pGraph->m_reconnects[0].pPin);
    EXPECT_TRUE(m_pGraph->m_reconnects[0].bEx && m_pGraph->m_reconnects[0].bWithType);
    EXPECT_EQ(m_c.filter.In(), m_pGraph->m_reconnects[1].pPin);
    EXPECT_TRUE(m_pGraph->m_reconnects[1].bEx);
    EXPECT_TRUE(m_log.HasLine(Fmt(L"%s CBaseFilter::MakeReconnect( In )\n", Name().c_str())));

    // Only while stopped.
    ASSERT_EQ(S_OK, pf()->Pause());
    EXPECT_EQ(VFW_E_NOT_STOPPED, f()->MakeReconnect(m_c.filter.In(), same.Ptr()));
    ASSERT_EQ(S_OK, pf()->Stop());

    // An unconnected pin: S_OK, and the graph is asked nothing.
    m_pGraph->m_reconnects.clear();
    ASSERT_EQ(S_OK, m_c.filter.Out()->Disconnect());
    EXPECT_EQ(S_OK, f()->MakeReconnect(m_c.filter.Out(), other.Ptr()));
    EXPECT_TRUE(m_pGraph->m_reconnects.empty());

    // Not in a graph.
    ASSERT_EQ(S_OK, pf()->JoinFilterGraph(NULL, NULL));
    EXPECT_EQ(VFW_E_NOT_IN_GRAPH, f()->MakeReconnect(m_c.filter.In(), same.Ptr()));
    EXPECT_EQ(VFW_E_NOT_IN_GRAPH, f()->ReconnectPin(m_c.filter.In(), same.Ptr()));
    ASSERT_EQ(S_OK, pf()->JoinFilterGraph(m_pGraph, L"Test Filter"));
}

TEST_F(ConnectedFilterTest, ReconnectWithoutTheSecondGraphInterfaceDropsTheType)
{
    CFakeGraph* pOld = new CFakeGraph(false);
    ASSERT_EQ(S_OK, pf()->JoinFilterGraph(NULL, NULL));
    ASSERT_EQ(S_OK, pf()->JoinFilterGraph(pOld, L"Test Filter"));
    EXPECT_EQ(S_OK, f()->MakeReconnect(m_c.filter.Out(), TestVideoType(640).Ptr()));
    ASSERT_EQ(1u, pOld->m_reconnects.size());
    EXPECT_FALSE(pOld->m_reconnects[0].bEx);
    EXPECT_EQ(m_c.filter.Out(), pOld->m_reconnects[0].pPin);
    ASSERT_EQ(S_OK, pf()->JoinFilterGraph(NULL, NULL));
    ASSERT_EQ(S_OK, pf()->JoinFilterGraph(m_pGraph, L"Test Filter"));
    pOld->Release();
}

} // namespace
