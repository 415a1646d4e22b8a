// The input pin's IMemInputPin: the checks each sample passes before the
// filter sees it, the hand-over under the receive lock, batches, the record
// of the allocator that upstream announced and the allocator questions that
// the filter answers. The test plays the upstream filter; samples come from
// an allocator of ours.
#include "StreamSupport.h"

namespace {

class ReceiveTest : public FilterTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_log.IsBound());
        ASSERT_EQ(S_OK, m_rig.ConnectInput());
        ASSERT_EQ(S_OK, m_rig.ConnectOutput());
        m_spIn = m_rig.MemInput();
        ASSERT_TRUE(m_spIn);
        m_log.Reset();
    }
    void TearDown() override { m_spIn.Release(); }

    std::wstring InName() { return m_rig.In()->GetTraceName(); }

    CFakeLogScope m_log;
    CFakeRig m_rig;
    CSamplePool m_pool;
    CComQIPtr<IMemInputPin> m_spIn;
};

TEST_F(ReceiveTest, ReceiveRefusesInTheOrderOfItsChecks)
{
    CComPtr<IMediaSample> sp = m_pool.Sample(1);
    const struct
    {
        const char* pszCase;
        std::function<void()> setup;
        HRESULT hr;
        const wchar_t* pszLine;
        int nLevel;
    } cases[] = {
        // Stopped and flushing: the flush wins.
        { "flushing", [&] { m_rig.In()->m_bFlushing = TRUE; }, S_FALSE,
          L"WARNING. %s IMemInputPinImpl::Receive(): pin in flush state, sample rejected\n", 4 },
        { "stopped", [&] { m_rig.In()->m_bFlushing = FALSE; }, VFW_E_WRONG_STATE,
          L"WARNING. %s IMemInputPinImpl::Receive(): FilterState() == State_Stopped\n", 4 },
        // Unconnected (and stopped): the connection wins.
        { "not connected", [&] { ASSERT_EQ(S_OK, m_rig.f.In()->Disconnect()); }, VFW_E_NOT_CONNECTED,
          L"###Err### %s IMemInputPinImpl::Receive(): Input pin not connected\n", 2 },
    };
    for (const auto& c : cases)
    {
        c.setup();
        m_log.Reset();
        EXPECT_EQ(c.hr, m_spIn->Receive(sp)) << c.pszCase;
        EXPECT_EQ(c.nLevel, m_log.LevelOf(Fmt(c.pszLine, InName().c_str()))) << c.pszCase;
    }
    EXPECT_TRUE(m_rig.f->Samples().empty()) << "no refused sample reached the filter";
    EXPECT_TRUE(m_rig.down->m_samples.empty());
    EXPECT_EQ(E_POINTER, m_spIn->Receive(NULL));
}

// At most ten warnings for each run of samples refused while stopped.
TEST_F(ReceiveTest, StoppedWarningsAtMostTenInARow)
{
    const std::wstring sLine = Fmt(L"WARNING. %s IMemInputPinImpl::Receive(): FilterState() == State_Stopped\n",
                                   InName().c_str());
    CComPtr<IMediaSample> sp = m_pool.Sample(1);
    auto refuse12 = [&] {
        m_log.Reset();
        for (int i = 0; i < 12; ++i)
            EXPECT_EQ(VFW_E_WRONG_STATE, m_spIn->Receive(sp));
        return m_log.CountContaining(sLine.substr(0, sLine.size() - 1));
    };
    EXPECT_EQ(10u, refuse12());
    EXPECT_EQ(0u, refuse12()) << "still the same run";
    ASSERT_EQ(S_OK, m_rig.f.Filter()->Pause());
    EXPECT_EQ(S_OK, m_spIn->Receive(sp));
    ASSERT_EQ(S_OK, m_rig.f.Filter()->Stop());
    EXPECT_EQ(10u, refuse12()) << "a sample was accepted in between";

    // Letting the input allocator go starts a new run as well.
    CFakeAllocator* pAlloc = new CFakeAllocator;
    ASSERT_EQ(S_OK, m_spIn->NotifyAllocator(pAlloc, FALSE));
    CFakeAllocator* pAlloc2 = new CFakeAllocator;
    ASSERT_EQ(S_OK, m_spIn->NotifyAllocator(pAlloc2, FALSE));
    EXPECT_EQ(10u, refuse12());
    pAlloc->Release();
    pAlloc2->Release();
}

// A type attached to a sample: accepted, it is the pin's type before the
// filter sees the sample; refused, the sample goes no further and the pin
// keeps its type; none, the sample goes on.
TEST_F(ReceiveTest, AnAttachedTypeIsTakenBeforeTheSampleOrRefusedWithIt)
{
    ASSERT_EQ(S_OK, m_rig.f.Filter()->Pause());
    const dsfix::MediaType wide = TestVideoType(640);
    const dsfix::MediaType narrow = TestVideoType(160);
    m_rig.down->m_accept = { m_rig.type, wide };
    bool bSeenBefore = false;
    m_rig.f->m_onSendSample = [&](IMediaSample*) { bSeenBefore = wide.Equals(m_rig.In()->m_mt); };

    CComPtr<IMediaSample> spWide = m_pool.Sample(1, wide.Ptr());
    m_log.Reset();
    EXPECT_EQ(S_OK, m_spIn->Receive(spWide));
    EXPECT_TRUE(bSeenBefore) << "the new type was in place when the filter got the sample";
    EXPECT_TRUE(wide.Equals(m_rig.In()->m_mt));
    EXPECT_EQ(8, m_log.LevelOf(Fmt(L"%s SetMediaTypeFromSample(): new mediatype is received\n", InName().c_str())));
    bool bDumped = false;
    for (const std::wstring& s : m_log.Lines())
        if (0 == s.find(L"MT: ") && 2 == m_log.LevelOf(s))
            bDumped = true;
    EXPECT_TRUE(bDumped) << "the new type is dumped at level 2";

    m_log.Reset();
    const size_t nBefore = m_rig.f->Samples().size();
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, m_spIn->Receive(m_pool.Sample(2, narrow.Ptr())));
    EXPECT_EQ(2, m_log.LevelOf(Fmt(L"###Err### %s SetMediaTypeFromSample(): new mediatype is not accepted\n",
                                   InName().c_str())));
    EXPECT_TRUE(wide.Equals(m_rig.In()->m_mt)) << "the previous type stays";
    EXPECT_EQ(nBefore, m_rig.f->Samples().size()) << "the sample did not reach the filter";

    EXPECT_EQ(S_OK, m_spIn->Receive(m_pool.Sample(3)));
    EXPECT_TRUE(wide.Equals(m_rig.In()->m_mt));
    EXPECT_EQ(nBefore + 1, m_rig.f->Samples().size());

    CComPtr<IMediaSample> spPlain = m_pool.Sample(4);
    EXPECT_EQ(S_FALSE, m_rig.In()->SetMediaTypeFromSample(spPlain));
    m_rig.f.Filter()->Stop();
}

// The filter gets the sample under the receive lock and not under the pin
// lock; its answer comes back unchanged.
TEST_F(ReceiveTest, FilterRunsUnderTheReceiveLockOnly)
{
    dsfix::HangWatchdog watchdog(30000, "the pin lock held while the filter works");
    ASSERT_EQ(S_OK, m_rig.f.Filter()->Pause());
    struct Probe
    {
        IPin* pIn;
        CRITICAL_SECTION* pcsReceive;
        BOOL bReceiveFree;
    } probe = { m_rig.f.In(), &m_rig.In()->m_csReceive, TRUE };
    bool bPinLockFree = false;
    m_rig.f->m_onSendSample = [&](IMediaSample*) {
        // Another thread takes the pin lock (ConnectionMediaType) and tries
        // the receive lock.
        HANDLE h = CreateThread(
            NULL, 0,
            [](void* pv) -> DWORD {
                Probe* p = static_cast<Probe*>(pv);
                AM_MEDIA_TYPE mt = {};
                p->pIn->ConnectionMediaType(&mt);
                dsfix::FreeMediaTypeFields(mt);
                p->bReceiveFree = TryEnterCriticalSection(p->pcsReceive);
                if (p->bReceiveFree)
                    LeaveCriticalSection(p->pcsReceive);
                return 0;
            },
            &probe, 0, NULL);
        bPinLockFree = (WAIT_OBJECT_0 == WaitForSingleObject(h, 5000));
        CloseHandle(h);
    };
    const HRESULT hrOdd = 0x00040237; // a success code of no meaning here
    m_rig.f->m_hrSendSample = hrOdd;
    EXPECT_EQ(hrOdd, m_spIn->Receive(m_pool.Sample(1)));
    EXPECT_TRUE(bPinLockFree);
    EXPECT_FALSE(probe.bReceiveFree);
    m_rig.f->m_onSendSample = nullptr;
    m_rig.f.Filter()->Stop();
}

TEST_F(ReceiveTest, ReceiveMultipleRefusesBadArgumentsAndStopsAtTheFirstRefusal)
{
    ASSERT_EQ(S_OK, m_rig.f.Filter()->Pause());
    CComPtr<IMediaSample> a[3] = { m_pool.Sample(0), m_pool.Sample(1), m_pool.Sample(2) };
    IMediaSample* ap[3] = { a[0], a[1], a[2] };
    long nDone = -5;
    EXPECT_EQ(E_INVALIDARG, m_spIn->ReceiveMultiple(ap, 0, &nDone));
    EXPECT_EQ(E_INVALIDARG, m_spIn->ReceiveMultiple(ap, -1, &nDone));
    EXPECT_EQ(E_POINTER, m_spIn->ReceiveMultiple(NULL, 3, &nDone));
    EXPECT_EQ(E_POINTER, m_spIn->ReceiveMultiple(ap, 3, NULL));
    EXPECT_EQ(-5, nDone) << "nothing touched on a refused call";

    const struct
    {
        const char* pszCase;
        HRESULT hrSecond;
        HRESULT hr;
        long nProcessed;
        size_t nReachedFilter;
    } cases[] = {
        { "all taken", S_OK, S_OK, 3, 3 },
        { "second S_FALSE", S_FALSE, S_FALSE, 2, 2 },
        // The first sample was delivered: it is counted.
        { "second fails", E_ABORT, E_ABORT, 1, 2 },
    };
    for (const auto& c : cases)
    {
        m_rig.f->ClearSamples();
        m_log.Reset();
        int n = 0;
        m_rig.f->m_onSendSample = [&](IMediaSample*) { m_rig.f->m_hrSendSample = (1 == n++) ? c.hrSecond : S_OK; };
        nDone = -5;
        EXPECT_EQ(c.hr, m_spIn->ReceiveMultiple(ap, 3, &nDone)) << c.pszCase;
        EXPECT_EQ(c.nProcessed, nDone) << c.pszCase;
        EXPECT_EQ(c.nReachedFilter, m_rig.f->Samples().size()) << c.pszCase << ": the third is not received";
        if (S_OK != c.hrSecond)
        {
            EXPECT_EQ(4, m_log.LevelOf(Fmt(L"WARNING. %s IMemInputPinImpl::ReceiveMultiple( %u ): pPin->Receive( sample %i )=0x%X\n",
                                           InName().c_str(), 3u, 1, c.hrSecond)))
                << c.pszCase;
        }
    }
    m_rig.f->m_onSendSample = nullptr;
    m_rig.f->m_hrSendSample = S_OK;
    EXPECT_EQ(S_OK, m_spIn->ReceiveCanBlock());
    m_rig.f.Filter()->Stop();
}

// The allocator that upstream announces: the same one twice stays
// committed, a different one makes the first go.
TEST_F(ReceiveTest, NotifyAllocatorRecordsTheAllocator)
{
    CFakeAllocator* pA = new CFakeAllocator;
    CFakeAllocator* pB = new CFakeAllocator;
    pA->m_props = { 3, 1000, 4, 8 };
    const std::wstring sEntry = Fmt(L"%s IMemInputPinImpl::NotifyAllocator( 0x%X%s)\n", InName().c_str(),
                                    static_cast<unsigned>(reinterpret_cast<UINT_PTR>(static_cast<IMemAllocator*>(pA))),
                                    L", READ ONLY ");
    ASSERT_EQ(S_OK, m_spIn->NotifyAllocator(pA, TRUE));
    EXPECT_EQ(8, m_log.LevelOf(sEntry));
    EXPECT_EQ(8, m_log.LevelOf(Fmt(L"%s IMemInputPinImpl::NotifyAllocator(): props = { %i, %i, %i, %i }\n",
                                   InName().c_str(), 3, 1000, 4, 8)));
    EXPECT_EQ(TRUE, m_rig.In()->m_bReadOnly);
    EXPECT_EQ(1000, m_rig.In()->m_props.cbBuffer);
    ASSERT_EQ(S_OK, m_spIn->NotifyAllocator(pA, FALSE));
    EXPECT_EQ(0, pA->m_nDecommit) << "the same allocator again";
    EXPECT_EQ(2, pA->RefCount());
    EXPECT_EQ(FALSE, m_rig.In()->m_bReadOnly);

    // A different one whose properties cannot be read: only traced.
    pB->m_hrGetProperties = E_UNEXPECTED;
    ASSERT_EQ(S_OK, m_spIn->NotifyAllocator(pB, FALSE));
    EXPECT_EQ(1, pA->m_nDecommit);
    EXPECT_EQ(1, pA->RefCount()) << "released";
    EXPECT_EQ(4, m_log.LevelOf(Fmt(L"WARNING. %s IMemInputPinImpl::NotifyAllocator(): m_spAllocIn->GetProperties()=0x%X\n",
                                   InName().c_str(), E_UNEXPECTED)));
    EXPECT_EQ(0, m_rig.In()->m_props.cBuffers);
    EXPECT_TRUE(m_rig.In()->m_spAllocIn.IsEqualObject(pB));
    EXPECT_EQ(E_POINTER, m_spIn->NotifyAllocator(NULL, FALSE));

    // The filter refuses: its code comes back, nothing is recorded.
    m_log.Reset();
    m_rig.f->m_hrNotifyAllocator = VFW_E_BADALIGN;
    EXPECT_EQ(VFW_E_BADALIGN, m_spIn->NotifyAllocator(pA, FALSE));
    EXPECT_TRUE(m_rig.In()->m_spAllocIn.IsEqualObject(pB));
    EXPECT_EQ(0, pB->m_nDecommit);
    EXPECT_EQ(4, m_log.LevelOf(Fmt(L"WARNING. %s CMemInputPinFilter::NotifyAllocator(): Filter_NotifyAllocator()=0x%X\n",
                                   InName().c_str(), VFW_E_BADALIGN)));
    m_rig.f->m_hrNotifyAllocator = S_OK;

    // The connection ends: the allocator goes with it.
    ASSERT_EQ(S_OK, m_rig.f.In()->Disconnect());
    EXPECT_EQ(1, pB->m_nDecommit);
    EXPECT_EQ(1, pB->RefCount());
    pA->Release();
    pB->Release();
}

// Whatever the filter's hook answers, an allocator is handed out with S_OK
// only, and none is leaked.
TEST_F(ReceiveTest, GetAllocatorHandsOutOnlyWithSOK)
{
    CFakeAllocator* pAlloc = new CFakeAllocator;
    const struct
    {
        const char* pszCase;
        HRESULT hrHook;
        bool bSetPointer;
        HRESULT hr;
    } cases[] = {
        { "S_OK with one", S_OK, true, S_OK },
        { "S_OK without one", S_OK, false, VFW_E_NO_ALLOCATOR },
        { "S_FALSE with one", S_FALSE, true, VFW_E_NO_ALLOCATOR },
        { "failure", E_OUTOFMEMORY, false, E_OUTOFMEMORY },
    };
    for (const auto& c : cases)
    {
        m_log.Reset();
        m_rig.f->m_onGetAllocator = [&](IMemAllocator** pp) {
            if (c.bSetPointer)
            {
                *pp = pAlloc;
                pAlloc->AddRef();
            }
            return c.hrHook;
        };
        IMemAllocator* p = reinterpret_cast<IMemAllocator*>(1);
        EXPECT_EQ(c.hr, m_spIn->GetAllocator(&p)) << c.pszCase;
        if (S_OK == c.hr)
        {
            EXPECT_EQ(static_cast<IMemAllocator*>(pAlloc), p) << c.pszCase;
            EXPECT_EQ(8, m_log.LevelOf(Fmt(L"%s CMemInputPinFilter::GetAllocator()=S_OK, pAllocator=0x%X\n",
                                           InName().c_str(), static_cast<unsigned>(reinterpret_cast<UINT_PTR>(p)))));
            p->Release();
        }
        else
        {
            EXPECT_EQ(NULL, p) << c.pszCase;
            EXPECT_EQ(4, m_log.LevelOf(Fmt(L"WARNING. %s CMemInputPinFilter::GetAllocator(): can't get allocator from filter, hr=0x%X\n",
                                           InName().c_str(), c.hr)))
                << c.pszCase;
        }
        EXPECT_EQ(1, pAlloc->RefCount()) << c.pszCase << ": nothing leaked";
    }
    m_rig.f->m_onGetAllocator = nullptr;
    EXPECT_EQ(E_POINTER, m_spIn->GetAllocator(NULL));
    pAlloc->Release();
}

TEST_F(ReceiveTest, GetAllocatorRequirementsAsksDownstream)
{
    ALLOCATOR_PROPERTIES props = {};
    EXPECT_EQ(E_NOTIMPL, m_spIn->GetAllocatorRequirements(&props)) << "downstream has none";
    EXPECT_EQ(8, m_log.LevelOf(Fmt(L"%s CMemInputPinFilter::GetAllocatorRequirements(): Filter_GetAllocatorRequirements()=0x%X\n",
                                   InName().c_str(), E_NOTIMPL)));
    m_rig.down->m_hrRequirements = S_OK;
    m_rig.down->m_requirements = { 3, 1000, 16, 0 };
    EXPECT_EQ(S_OK, m_spIn->GetAllocatorRequirements(&props));
    EXPECT_EQ(3, props.cBuffers);
    EXPECT_EQ(8, m_log.LevelOf(Fmt(L"%s CMemInputPinFilter::GetAllocatorRequirements(): properties = { %i, %i, %i, %i }\n",
                                   InName().c_str(), 3, 1000, 16, 0)));
    ASSERT_EQ(S_OK, m_rig.f.Out()->Disconnect());
    EXPECT_EQ(E_NOTIMPL, m_spIn->GetAllocatorRequirements(&props)) << "output unconnected";
    EXPECT_EQ(E_POINTER, m_spIn->GetAllocatorRequirements(NULL));
}

} // namespace
