// The in-place allocator agreement: the property rules, the order of the
// candidates (upstream, downstream, internal) at output connection time, the
// re-agreement when upstream brings another allocator, commit and decommit
// with the state, the allocator the input pin offers upstream, and delivery
// samples from the output allocator.
#include "StreamSupport.h"

namespace {

typedef CAllocatorMatch<CTestOutput> Match;

bool SameProps(const ALLOCATOR_PROPERTIES& a, const ALLOCATOR_PROPERTIES& b)
{
    return a.cBuffers == b.cBuffers && a.cbBuffer == b.cbBuffer && a.cbAlign == b.cbAlign && a.cbPrefix == b.cbPrefix;
}

TEST(AllocatorPropsTest, PropertiesAreNormalizedCheckedAgainstTheRequirementAndMerged)
{
    const struct
    {
        ALLOCATOR_PROPERTIES in, normalized;
    } norms[] = {
        { { 0, 0, 0, 0 }, { 1, 1, 1, 0 } },
        { { -5, 100, 0, 7 }, { 1, 100, 1, 7 } },
        { { 2, -1, -4, -3 }, { 2, 1, -4, -3 } },
    };
    for (const auto& n : norms)
    {
        ALLOCATOR_PROPERTIES p = n.in;
        Match::NormalizeProps(&p);
        EXPECT_TRUE(SameProps(n.normalized, p)) << n.in.cBuffers << "," << n.in.cbBuffer;
    }
    ALLOCATOR_PROPERTIES def;
    Match::SetDefaultProps(&def);
    EXPECT_TRUE(SameProps({ 1, 1, 1, 0 }, def));

    const struct
    {
        ALLOCATOR_PROPERTIES required, actual;
        HRESULT hr;
    } checks[] = {
        { { 1, 1, 1, 0 }, { 1, 1, 3, 0 }, E_FAIL },   // alignment not a power of two
        { { 1, 1, 1, 0 }, { 1, 1, 4, 0 }, S_OK },
        { { 1, 1, 0, 0 }, { 1, 1, 0, 0 }, S_OK },     // 0 passes the power-of-two test
        { { 1, 1, 1, 0 }, { 1, 1, -4, 0 }, E_FAIL },  // signed: -4 is less than 1
        { { 2, 1, 1, 0 }, { 1, 1, 1, 0 }, E_FAIL },
        { { 1, 100, 1, 0 }, { 1, 99, 1, 0 }, E_FAIL },
        { { 1, 1, 1, 8 }, { 1, 1, 1, 4 }, E_FAIL },
        { { 1, 1, 1, 8 }, { 4, 4096, 16, 8 }, S_OK },
    };
    for (const auto& c : checks)
        EXPECT_EQ(c.hr, Match::CheckProps(&c.required, &c.actual))
            << c.required.cbAlign << " against " << c.actual.cbAlign;

    ALLOCATOR_PROPERTIES a = { 3, -10, 1, 0 };
    const ALLOCATOR_PROPERTIES b = { -1, 100, 16, -2 };
    Match::MergeProps(&a, &b);
    EXPECT_TRUE(SameProps({ 3, 100, 16, 0 }, a)) << "the signed maximum of each field";
}

// The rig with the input connected; the test, as the upstream filter,
// announces its allocator before the output connects.
class AgreementTest : public FilterTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_log.IsBound());
        ASSERT_EQ(S_OK, m_rig.ConnectInput());
        m_spIn = m_rig.MemInput();
        m_pUpAlloc = new CFakeAllocator;
        m_pUpAlloc->m_props = { 1, 4096, 1, 0 };
        m_pDownAlloc = new CFakeAllocator;
    }
    void TearDown() override
    {
        m_spIn.Release();
        m_rig.f.Out()->Disconnect();
        m_rig.f.In()->Disconnect();
        m_pUpAlloc->Release();
        m_pDownAlloc->Release();
    }

    // "@@@@ ... use X allocator" lines.
    std::vector<std::wstring> Decisions() { return LinesWith(m_log, L"CAllocatorMatch::AttachAllocator(): use "); }
    std::wstring Use(const wchar_t* pszSrc)
    {
        return Fmt(L"@@@@ %s CAllocatorMatch::AttachAllocator(): use %s allocator\n", m_rig.Out()->GetTraceName(), pszSrc);
    }

    CFakeLogScope m_log;
    CFakeRig m_rig;
    CComQIPtr<IMemInputPin> m_spIn;
    CFakeAllocator* m_pUpAlloc = NULL;
    CFakeAllocator* m_pDownAlloc = NULL;
};

TEST_F(AgreementTest, AllocatorCandidatesAreTriedInOrder)
{
    const struct
    {
        const char* pszCase;
        BOOL bReadOnly;
        bool bGrant;            // the upstream allocator grows when asked
        bool bOwn;              // the input pin handed the upstream allocator out
        bool bDownAlloc;        // the downstream pin offers an allocator
        long cDownBuffers;      // the downstream pin's requirement
        const wchar_t* pszUse;
        BOOL bReadOnlyDown;     // the flag downstream was told
        size_t nUpRequests;     // SetProperties calls on the upstream allocator
        BOOL bSeparate;
    } cases[] = {
        { "upstream grows", FALSE, true, false, true, 3, L"upstream", FALSE, 1, FALSE },
        { "upstream refuses to grow", FALSE, false, false, true, 3, L"downstream", FALSE, 1, TRUE },
        { "read-only, too small", TRUE, true, false, true, 3, L"downstream", FALSE, 0, TRUE },
        { "read-only, fits", TRUE, true, false, true, 1, L"upstream", TRUE, 0, FALSE },
        { "handed out by the input pin", FALSE, true, true, true, 1, L"downstream", FALSE, 0, TRUE },
        { "nothing but ours", FALSE, true, true, false, 1, L"internal", FALSE, 0, TRUE },
    };
    for (const auto& c : cases)
    {
        m_pUpAlloc->m_props = { 1, 4096, 1, 0 };
        m_pUpAlloc->m_bGrant = c.bGrant;
        m_pUpAlloc->m_requests.clear();
        m_rig.down->SetAllocator(c.bDownAlloc ? m_pDownAlloc : NULL);
        m_rig.down->m_hrRequirements = S_OK;
        m_rig.down->m_requirements = { c.cDownBuffers, 1000, 1, 0 };
        m_rig.down->m_notified.clear();
        ASSERT_EQ(S_OK, m_spIn->NotifyAllocator(m_pUpAlloc, c.bReadOnly)) << c.pszCase;
        m_rig.In()->m_bOwnAllocator = c.bOwn;
        m_log.Reset();

        ASSERT_EQ(S_OK, m_rig.ConnectOutput()) << c.pszCase;
        EXPECT_EQ(std::vector<std::wstring>{ Use(c.pszUse) }, Decisions()) << c.pszCase;
        EXPECT_EQ(8, m_log.LevelOf(Use(c.pszUse))) << c.pszCase;
        ASSERT_FALSE(m_rig.down->m_notified.empty()) << c.pszCase;
        EXPECT_EQ(c.bReadOnlyDown, m_rig.down->m_notified.back().bReadOnly) << c.pszCase;
        EXPECT_TRUE(m_rig.Out()->m_spAllocOut.IsEqualObject(m_rig.down->m_notified.back().pAllocator)) << c.pszCase;
        EXPECT_EQ(c.nUpRequests, m_pUpAlloc->m_requests.size()) << c.pszCase;
        EXPECT_EQ(c.bSeparate, m_rig.f->m_bSeparateAllocators) << c.pszCase;
        EXPECT_TRUE(m_log.HasLine(Fmt(L"@@@@ %s CTransInPlaceAllocator::AllocatorAgree()\n", m_rig.Out()->GetTraceName())));
        EXPECT_EQ(!c.bDownAlloc,
                  m_log.HasLine(Fmt(L"%s CTransInPlaceAllocator::AllocatorAgree(): Downstream filter hasn't allocator\n",
                                    m_rig.Out()->GetTraceName())))
            << c.pszCase;
        ASSERT_EQ(S_OK, m_rig.f.Out()->Disconnect()) << c.pszCase;
    }

    // The example: downstream wants 3 x 1000, upstream brought 1 x 4096; the
    // upstream allocator is asked for 3 x 4096.
    m_pUpAlloc->m_bGrant = true;
    m_pUpAlloc->m_requests.clear();
    m_rig.In()->m_bOwnAllocator = FALSE;
    m_rig.down->m_requirements = { 3, 1000, 1, 0 };
    ASSERT_EQ(S_OK, m_spIn->NotifyAllocator(m_pUpAlloc, FALSE));
    ASSERT_EQ(S_OK, m_rig.ConnectOutput());
    ASSERT_EQ(1u, m_pUpAlloc->m_requests.size());
    EXPECT_TRUE(SameProps({ 3, 4096, 1, 0 }, m_pUpAlloc->m_requests[0]));
    EXPECT_EQ(eAS_Upstream, m_rig.Out()->m_eAllocSrc);
}

// The template's own rule: a read-only input allocator is never offered.
TEST_F(AgreementTest, TemplateRuleSkipsReadOnly)
{
    m_rig.f->m_bOwnAllocatorRule = false;
    ASSERT_EQ(S_OK, m_spIn->NotifyAllocator(m_pUpAlloc, TRUE));
    CComPtr<IMemAllocator> spIn;
    bool bUse = true, bReadOnly = false;
    EXPECT_EQ(S_OK, m_rig.f->Filter_GetTransInPlaceAlloc(PINDIR_OUTPUT, &spIn, &bUse, &bReadOnly));
    EXPECT_TRUE(spIn.IsEqualObject(m_pUpAlloc));
    EXPECT_TRUE(bReadOnly);
    EXPECT_FALSE(bUse);
    ASSERT_EQ(S_OK, m_rig.ConnectOutput());
    EXPECT_EQ(std::vector<std::wstring>{ Use(L"internal") }, Decisions());

    ASSERT_EQ(S_OK, m_rig.f.In()->Disconnect());
    spIn.Release();
    EXPECT_EQ(S_FALSE, m_rig.f->Filter_GetTransInPlaceAlloc(PINDIR_OUTPUT, &spIn, &bUse, &bReadOnly))
        << "input unconnected";
    EXPECT_EQ(NULL, spIn.p);
}

TEST_F(AgreementTest, AllCandidatesFail)
{
    ASSERT_EQ(S_OK, m_spIn->NotifyAllocator(m_pUpAlloc, FALSE));
    m_rig.down->SetAllocator(m_pDownAlloc);
    m_rig.down->m_hrNotifyDefault = VFW_E_BADALIGN;
    EXPECT_EQ(VFW_E_BADALIGN, m_rig.ConnectOutput());
    EXPECT_EQ(3u, m_rig.down->m_notified.size()) << "upstream, downstream, internal";
    EXPECT_TRUE(m_log.HasLine(Fmt(L"###Err### %s CTransInPlaceAllocator::AllocatorAgree(): allocator agreement failed, hr=0x%X\n",
                                  m_rig.Out()->GetTraceName(), VFW_E_BADALIGN)));
    EXPECT_TRUE(Decisions().empty());
    EXPECT_EQ(NULL, m_rig.Out()->m_spMemInput.p);
    EXPECT_EQ(NULL, m_rig.Out()->m_spAllocOut.p);
    EXPECT_FALSE(m_rig.Out()->IsConnected());
    EXPECT_TRUE(m_rig.In()->IsConnected()) << "the input stays";
}

// Commit once per change; the errors of a pin without connection or
// allocator; a failed commit changes nothing.
TEST_F(AgreementTest, ActivateWithTheState)
{
    IBaseFilter* pF = m_rig.f.Filter();
    CTestOutput* pOut = m_rig.Out();
    EXPECT_EQ(VFW_E_NOT_CONNECTED, pOut->AllocatorActivate(true));
    EXPECT_EQ(VFW_E_NOT_CONNECTED, pOut->AllocatorActivate(false)) << "even to deactivate";

    m_rig.down->SetAllocator(m_pDownAlloc);
    ASSERT_EQ(S_OK, m_rig.ConnectOutput());
    ASSERT_EQ(eAS_Downstream, pOut->m_eAllocSrc);
    EXPECT_EQ(S_OK, pF->Pause());
    EXPECT_EQ(S_OK, pF->Pause());
    EXPECT_EQ(S_OK, pF->Run(0));
    EXPECT_EQ(1, m_pDownAlloc->m_nCommit) << "one commit for the whole run";
    EXPECT_EQ(S_OK, pF->Stop());
    EXPECT_EQ(S_OK, pF->Stop());
    EXPECT_EQ(1, m_pDownAlloc->m_nDecommit);

    m_pDownAlloc->m_hrCommit = E_OUTOFMEMORY;
    EXPECT_EQ(E_OUTOFMEMORY, pF->Pause());
    EXPECT_EQ(State_Stopped, m_rig.f->FilterState());
    EXPECT_FALSE(pOut->m_bActivate);
    m_pDownAlloc->m_hrCommit = S_OK;
    EXPECT_EQ(S_OK, pF->Pause()) << "the next change tries again";
    EXPECT_TRUE(pOut->m_bActivate);
    EXPECT_EQ(S_OK, pF->Stop());

    pOut->Reset();
    EXPECT_EQ(VFW_E_NO_ALLOCATOR, pOut->AllocatorActivate(true));
    EXPECT_TRUE(m_log.HasAssert("m_spAllocOut != NULL"));
}

// The allocator the input pin offers upstream: the output allocator itself
// while the output is connected with the same type, else a new one each
// time, and never none.
TEST_F(AgreementTest, TheInputOffersTheOutputAllocatorWhileTheTypesMatchElseANewOne)
{
    auto get = [&] {
        CComPtr<IMemAllocator> sp;
        EXPECT_EQ(S_OK, m_spIn->GetAllocator(&sp));
        return sp;
    };
    CComPtr<IMemAllocator> a1 = get(), a2 = get();
    EXPECT_TRUE(a1 && a2);
    EXPECT_FALSE(a1.IsEqualObject(a2)) << "unconnected: a new allocator every time";
    EXPECT_TRUE(m_rig.In()->m_bOwnAllocator);

    ASSERT_EQ(S_OK, m_rig.ConnectOutput());
    CComPtr<IMemAllocator> b1 = get(), b2 = get();
    EXPECT_TRUE(b1.IsEqualObject(m_rig.Out()->m_spAllocOut));
    EXPECT_TRUE(b1.IsEqualObject(b2));

    // Another type on the output: a new one again.
    m_rig.Out()->m_mt.Set(TestVideoType(640).Ptr());
    CComPtr<IMemAllocator> c1 = get();
    EXPECT_FALSE(c1.IsEqualObject(b1));
    m_rig.Out()->m_mt.Set(m_rig.type.Ptr());

    // Connected, but the allocator already let go: a new one, not NULL.
    m_rig.Out()->Reset();
    CComPtr<IMemAllocator> d1 = get();
    EXPECT_TRUE(d1 != NULL);
    EXPECT_TRUE(m_log.HasAssert("m_apOut->m_spAllocOut != NULL"));
}

// Upstream announces an allocator while the output is connected.
TEST_F(AgreementTest, NotifyAllocatorDecides)
{
    const std::wstring sFilter = m_rig.f->GetTraceName();
    const std::wstring sSeparate = Fmt(L"@@@@ %s Filter_NotifyAllocator(): Use separated allocators\n", sFilter.c_str());
    const std::wstring sThrough = Fmt(L"@@@@ %s Filter_NotifyAllocator(): Use through-pass allocator\n", sFilter.c_str());

    // Output unconnected: taken, nothing decided, the flag left alone.
    m_rig.f->m_bSeparateAllocators = TRUE;
    EXPECT_EQ(S_OK, m_spIn->NotifyAllocator(m_pUpAlloc, FALSE));
    EXPECT_TRUE(m_rig.f->m_bSeparateAllocators);
    EXPECT_FALSE(m_log.HasLineContaining(L"Filter_NotifyAllocator(): Use"));
    m_rig.f->m_bSeparateAllocators = FALSE;

    // Connected with an allocator of ours (the input's was handed out).
    m_rig.In()->m_bOwnAllocator = TRUE;
    ASSERT_EQ(S_OK, m_rig.ConnectOutput());
    ASSERT_EQ(eAS_Internal, m_rig.Out()->m_eAllocSrc);
    m_log.Reset();
    EXPECT_EQ(S_OK, m_spIn->NotifyAllocator(m_rig.Out()->m_spAllocOut, FALSE));
    EXPECT_EQ(8, m_log.LevelOf(sThrough));
    EXPECT_FALSE(m_rig.f->m_bSeparateAllocators);
    m_log.Reset();
    EXPECT_EQ(S_OK, m_spIn->NotifyAllocator(m_pUpAlloc, FALSE));
    EXPECT_EQ(8, m_log.LevelOf(sSeparate));
    EXPECT_TRUE(m_rig.f->m_bSeparateAllocators);
    EXPECT_FALSE(m_log.HasLineContaining(L"AgreePassThroughAllocator")) << "no re-agreement for our own allocator";
}

// The output passes the input's allocator through; upstream then brings
// another one: it replaces the old one on both sides, or, when downstream
// refuses it, both sides are restored.
TEST_F(AgreementTest, ReAgreementOfThePassedThroughAllocator)
{
    CFakeAllocator* pNew = new CFakeAllocator;
    const ALLOCATOR_PROPERTIES propsNew = { 2, 2048, 1, 0 };
    const std::wstring sFilter = m_rig.f->GetTraceName();
    const struct
    {
        const char* pszCase;
        std::vector<HRESULT> hrDown; // downstream NotifyAllocator answers
        HRESULT hrGetProps;          // of the new allocator
        HRESULT hr;                  // of the input's NotifyAllocator
        eAllocSrc eAfter;
        bool bNewIsOutput;
        bool bConnected;
        size_t nDownNotifies;
        size_t nNewRequests;
    } cases[] = {
        { "taken", { S_OK }, S_OK, S_OK, eAS_Upstream, true, true, 1, 1 },
        { "refused, restored", { E_ABORT, S_OK }, S_OK, S_OK, eAS_Upstream, false, true, 2, 2 },
        { "refused, not restored", { E_ABORT, VFW_E_BADALIGN }, S_OK, VFW_E_BADALIGN, eAS_None, false, false, 2, 2 },
        // Without its properties the new allocator is still tried, asked for
        // the output allocator's; refused, it is not given properties back
        // that were never read.
        { "properties unknown", { S_OK }, E_UNEXPECTED, S_OK, eAS_Upstream, true, true, 1, 1 },
        { "properties unknown, refused", { E_ABORT, S_OK }, E_UNEXPECTED, S_OK, eAS_Upstream, false, true, 2, 1 },
    };
    for (const auto& c : cases)
    {
        if (!m_rig.In()->IsConnected())
        {
            ASSERT_EQ(S_OK, m_rig.ConnectInput());
        }
        ASSERT_EQ(S_OK, m_spIn->NotifyAllocator(m_pUpAlloc, FALSE)) << c.pszCase;
        ASSERT_EQ(S_OK, m_rig.ConnectOutput()) << c.pszCase;
        ASSERT_EQ(eAS_Upstream, m_rig.Out()->m_eAllocSrc) << c.pszCase;
        const ALLOCATOR_PROPERTIES propsOut = m_rig.Out()->m_propsOut;
        pNew->m_props = propsNew;
        pNew->m_requests.clear();
        pNew->m_hrGetProperties = c.hrGetProps;
        m_rig.down->m_notified.clear();
        m_rig.down->m_hrNotify = c.hrDown;
        const int nUpDecommits = m_pUpAlloc->m_nDecommit;
        m_log.Reset();

        EXPECT_EQ(c.hr, m_spIn->NotifyAllocator(pNew, FALSE)) << c.pszCase;
        EXPECT_EQ(c.eAfter, m_rig.Out()->m_eAllocSrc) << c.pszCase;
        EXPECT_EQ(c.bNewIsOutput, m_rig.Out()->m_spAllocOut.IsEqualObject(pNew)) << c.pszCase;
        EXPECT_EQ(c.bConnected, !!m_rig.Out()->IsConnected()) << c.pszCase;
        EXPECT_EQ(c.nDownNotifies, m_rig.down->m_notified.size()) << c.pszCase;
        EXPECT_EQ(c.nNewRequests, pNew->m_requests.size()) << c.pszCase;
        EXPECT_TRUE(m_log.HasLine(Fmt(L"@@@@ %s CTransInPlaceAllocator::AgreePassThroughAllocator()\n",
                                      m_rig.Out()->GetTraceName())))
            << c.pszCase;
        if (c.bNewIsOutput)
        {
            // Asked for the larger of both, the old one let go.
            EXPECT_TRUE(SameProps(SUCCEEDED(c.hrGetProps) ? ALLOCATOR_PROPERTIES{ 2, 4096, 1, 0 } : propsOut,
                                  pNew->m_requests[0]))
                << c.pszCase;
            EXPECT_LT(nUpDecommits, m_pUpAlloc->m_nDecommit) << c.pszCase << ": the old one let go";
            EXPECT_TRUE(m_log.HasLine(Fmt(L"@@@@ %s Filter_NotifyAllocator(): Use through-pass allocator\n", sFilter.c_str())));
            EXPECT_FALSE(m_rig.f->m_bSeparateAllocators);
        }
        else if (c.bConnected)
        {
            // Both sides as they were: the new allocator's own properties,
            // the old allocator downstream again.
            if (2 == c.nNewRequests)
            {
                EXPECT_TRUE(SameProps(propsNew, pNew->m_requests[1])) << c.pszCase;
                EXPECT_TRUE(m_rig.down->m_notified[1].pAllocator == static_cast<IMemAllocator*>(m_pUpAlloc));
                EXPECT_FALSE(m_rig.down->m_notified[1].bReadOnly);
            }
            EXPECT_TRUE(m_rig.Out()->m_spAllocOut.IsEqualObject(m_pUpAlloc)) << c.pszCase;
            EXPECT_TRUE(SameProps(propsOut, m_rig.Out()->m_propsOut)) << c.pszCase;
            EXPECT_TRUE(m_log.HasLine(Fmt(L"@@@@ %s Filter_NotifyAllocator(): Use separated allocators\n", sFilter.c_str())))
                << c.pszCase;
            EXPECT_TRUE(m_rig.f->m_bSeparateAllocators) << c.pszCase;
            EXPECT_TRUE(m_rig.In()->m_spAllocIn.IsEqualObject(pNew)) << c.pszCase;
        }
        else
        {
            EXPECT_EQ(2, m_log.LevelOf(Fmt(L"###Err### %s Filter_NotifyAllocator(): Re-agreement of allocator for output pin failed, hr=0x%X\n",
                                           sFilter.c_str(), c.hr)))
                << c.pszCase;
            EXPECT_FALSE(m_rig.In()->m_spAllocIn.IsEqualObject(pNew)) << c.pszCase << ": not recorded";
        }
        m_rig.down->m_hrNotify.clear();
        m_rig.f.Out()->Disconnect();
    }
    pNew->Release();
}

// The agreement's checks reach the log as the framework states them: an
// input connection whose allocator was never announced, and a pass-through
// re-agreement while the output allocator is still committed.
TEST_F(AgreementTest, AssertionsNameTheCheckNotTheSourceExpression)
{
    m_log.Reset();
    ASSERT_EQ(S_OK, m_rig.ConnectOutput());
    EXPECT_TRUE(m_log.HasAssert("m_apIn->m_spAllocIn != NULL"));
    m_rig.f.Out()->Disconnect();

    ASSERT_EQ(S_OK, m_spIn->NotifyAllocator(m_pUpAlloc, FALSE));
    ASSERT_EQ(S_OK, m_rig.ConnectOutput());
    ASSERT_EQ(eAS_Upstream, m_rig.Out()->m_eAllocSrc);
    CFakeAllocator* pNew = new CFakeAllocator;
    pNew->m_props = { 2, 2048, 1, 0 };
    m_rig.Out()->m_bActivate = TRUE;
    m_log.Reset();
    EXPECT_EQ(S_OK, m_spIn->NotifyAllocator(pNew, FALSE));
    EXPECT_TRUE(m_log.HasAssert("!m_bActivate"));
    m_rig.Out()->m_bActivate = FALSE;
    m_rig.f.Out()->Disconnect();
    pNew->Release();

    for (const std::wstring& s : m_log.Lines())
        EXPECT_EQ(std::wstring::npos, s.find(L"ASSERT( \"this->")) << s;
}

// Delivery samples: none without an allocator, none from a decommitted
// one, none without waiting when all are out; a wait for a buffer holds no
// lock, so the connection can end meanwhile and wakes it.
TEST_F(AgreementTest, DeliverySamplesComeOnlyFromACommittedAllocator)
{
    dsfix::HangWatchdog watchdog(30000, "a delivery sample wait");
    CTestOutput* pOut = m_rig.Out();
    CComPtr<IMediaSample> sp;
    EXPECT_EQ(VFW_E_NO_ALLOCATOR, pOut->GetSample(&sp, 0));
    EXPECT_EQ(E_POINTER, pOut->GetSample(NULL, 0));

    m_rig.down->m_hrRequirements = S_OK;
    m_rig.down->m_requirements = { 1, 1000, 1, 0 };
    m_rig.In()->m_bOwnAllocator = TRUE;
    ASSERT_EQ(S_OK, m_rig.ConnectOutput());
    ASSERT_EQ(eAS_Internal, pOut->m_eAllocSrc);
    m_log.Reset();
    EXPECT_EQ(VFW_E_NOT_COMMITTED, pOut->GetSample(&sp, 0));
    EXPECT_EQ(2, m_log.LevelOf(Fmt(L"%s GetSample(): spMemAlloc->GetBuffer()=VFW_E_NOT_COMMITTED\n", pOut->GetTraceName())));

    ASSERT_EQ(S_OK, m_rig.f.Filter()->Pause());
    CSampleT<CSampleCopier> snapshot;
    ASSERT_EQ(S_OK, pOut->GetSample(&sp, &snapshot, 0));
    EXPECT_TRUE(snapshot.IsLoaded(PM_BUFFER));
    EXPECT_GE(snapshot.m_cbBuf, 1000);
    CComPtr<IMediaSample> sp2;
    m_log.Reset();
    EXPECT_EQ(VFW_E_TIMEOUT, pOut->GetSample(&sp2, AM_GBF_NOWAIT)) << "the one buffer is out";
    EXPECT_FALSE(m_log.HasLineContaining(L"GetSample()")) << "its line is below the trace limit";

    struct Wait
    {
        CTestOutput* pOut;
        HRESULT hr;
        HANDLE hStarted;
    } wait = { pOut, E_PENDING, CreateEvent(NULL, TRUE, FALSE, NULL) };
    HANDLE hThread = CreateThread(
        NULL, 0,
        [](void* pv) -> DWORD {
            Wait* p = static_cast<Wait*>(pv);
            SetEvent(p->hStarted);
            CComPtr<IMediaSample> spWait;
            p->hr = p->pOut->GetSample(&spWait, 0);
            return 0;
        },
        &wait, 0, NULL);
    WaitForSingleObject(wait.hStarted, INFINITE);
    Sleep(100);
    EXPECT_EQ(E_PENDING, wait.hr) << "waiting for the buffer";
    {
        // The locks of the pin are free while it waits.
        CTestOutput::ObjectLock lockPin(pOut);
        CCritSecLock lockAllocator(pOut->m_csAllocator);
    }
    m_rig.f->m_eState = State_Stopped; // the connection may end only while stopped
    EXPECT_EQ(S_OK, m_rig.f.Out()->Disconnect()) << "decommits the allocator under no lock";
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThread, 10000));
    EXPECT_EQ(VFW_E_NOT_COMMITTED, wait.hr);
    CloseHandle(hThread);
    CloseHandle(wait.hStarted);
    sp.Release();
}

// The streaming thread takes delivery samples while the graph thread
// replaces the output allocator again and again; each replaced allocator is
// held by nothing else, so a pointer read while it changes would be used
// after it is gone.
TEST_F(AgreementTest, ReAgreementRacesDeliverySamples)
{
    dsfix::HangWatchdog watchdog(60000, "re-agreement against delivery samples");
    auto fresh = [] {
        CComPtr<IMemAllocator> sp;
        EXPECT_EQ(S_OK, CTransInPlaceAllocator<CTestOutput>::CreateAllocator(&sp));
        ALLOCATOR_PROPERTIES props = { 2, 1024, 1, 0 }, actual = {};
        EXPECT_EQ(S_OK, sp->SetProperties(&props, &actual));
        return sp;
    };
    {
        CComPtr<IMemAllocator> sp = fresh();
        ASSERT_EQ(S_OK, m_spIn->NotifyAllocator(sp, FALSE));
        ASSERT_EQ(S_OK, m_rig.ConnectOutput());
        ASSERT_EQ(eAS_Upstream, m_rig.Out()->m_eAllocSrc);
    }
    struct Shared
    {
        CTestOutput* pOut;
        volatile LONG bStop;
        LONG nGot;
    } shared = { m_rig.Out(), FALSE, 0 };
    HANDLE hThread = CreateThread(
        NULL, 0,
        [](void* pv) -> DWORD {
            Shared* p = static_cast<Shared*>(pv);
            while (!p->bStop)
            {
                CComPtr<IMediaSample> sp;
                if (S_OK == p->pOut->GetSample(&sp, AM_GBF_NOWAIT))
                    ++p->nGot;
            }
            return 0;
        },
        &shared, 0, NULL);
    ASSERT_NE(nullptr, hThread);
    m_log.Reset();
    for (int i = 0; i < 300; ++i)
    {
        CComPtr<IMemAllocator> sp = fresh();
        ASSERT_EQ(S_OK, m_spIn->NotifyAllocator(sp, FALSE)) << i;
        ASSERT_TRUE(m_rig.Out()->m_spAllocOut.IsEqualObject(sp)) << i;
        EXPECT_EQ(S_OK, sp->Commit());
        Sleep(0);
    }
    InterlockedExchange(&shared.bStop, TRUE);
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    EXPECT_GT(shared.nGot, 0) << "the thread got samples meanwhile";
    EXPECT_EQ(S_OK, m_rig.f.Out()->Disconnect());
}

} // namespace
