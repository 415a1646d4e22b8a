// Connection negotiation of the pin templates: the input pin's
// ReceiveConnection with its checks and the change of type while running;
// the output pin's Connect with its order of media types, its fallback to
// the upstream types, and every failure leaving the pins unconnected and the
// filter usable.
#include "StreamSupport.h"

namespace {

class NegotiationTest : public FilterTest
{
protected:
    void SetUp() override { ASSERT_TRUE(m_log.IsBound()); }

    std::wstring InName() { return m_rig.In()->GetTraceName(); }
    std::wstring OutName() { return m_rig.Out()->GetTraceName(); }

    CFakeLogScope m_log;
    CFakeRig m_rig;
};

// An enumerator that claims an item on every call and hands out none.
class CBrokenEnum : public CFakeEnumMediaTypes
{
public:
    STDMETHODIMP Next(ULONG, AM_MEDIA_TYPE** ppmt, ULONG* pc) override
    {
        ++m_nNext;
        if (ppmt)
            *ppmt = NULL;
        if (pc)
            *pc = 0;
        return S_OK;
    }
    int m_nNext = 0;
};

// ---------------------------------------------------------------------------
// Input side

TEST_F(NegotiationTest, ReceiveConnectionChecksInOrder)
{
    CFakePin* pOther = new CFakePin(PINDIR_OUTPUT, L"Other Source");
    CFakePin* pSameDir = new CFakePin(PINDIR_INPUT, L"Wrong Way");
    IPin* pIn = m_rig.f.In();
    const dsfix::MediaType other = TestVideoType(640);
    const struct
    {
        const char* pszCase;
        std::function<void()> setup;
        IPin* pConnector;
        const AM_MEDIA_TYPE* pmt;
        HRESULT hr;
        const char* pszAssert;
    } cases[] = {
        { "no connector", [] {}, NULL, m_rig.type.Ptr(), E_POINTER, "pConnector != NULL" },
        { "no type", [] {}, m_rig.up->Pin(), NULL, E_POINTER, "pmt != NULL" },
        { "same direction", [] {}, pSameDir->Pin(), m_rig.type.Ptr(), VFW_E_INVALID_DIRECTION, NULL },
        { "stopped, connected", [&] { ASSERT_EQ(S_OK, m_rig.ConnectInput()); }, pOther->Pin(), m_rig.type.Ptr(),
          VFW_E_ALREADY_CONNECTED, NULL },
        { "running, switch off", [&] { m_rig.f->m_eState = State_Paused; }, m_rig.up->Pin(), other.Ptr(),
          VFW_E_NOT_STOPPED, NULL },
        { "running, another pin", [&] { m_rig.In()->m_bDynReconnect = 1; }, pOther->Pin(), other.Ptr(), E_FAIL,
          "CInputPin<>::ReceiveConnection(): Dynamic reconnection with different pin" },
        { "running, unconnected", [&] {
             m_rig.f->m_eState = State_Stopped;
             ASSERT_EQ(S_OK, pIn->Disconnect());
             m_rig.f->m_eState = State_Paused;
         },
          m_rig.up->Pin(), other.Ptr(), VFW_E_NOT_CONNECTED,
          "CInputPin<>::ReceiveConnection(): Attempt of dynamic reconnection of free pin" },
    };
    for (const auto& c : cases)
    {
        c.setup();
        m_log.Reset();
        EXPECT_EQ(c.hr, pIn->ReceiveConnection(c.pConnector, c.pmt)) << c.pszCase;
        EXPECT_EQ(8, m_log.LevelOf(Fmt(L"WARNING. %s connection not accepted, hr=0x%X\n", InName().c_str(), c.hr)))
            << c.pszCase;
        if (c.pszAssert)
        {
            EXPECT_TRUE(m_log.HasAssert(c.pszAssert)) << c.pszCase;
        }
    }
    m_rig.f->m_eState = State_Stopped;

    // A type the downstream neighbour refuses, and a filter that refuses the
    // connection: both leave the pin as it was.
    m_rig.down->m_accept = { m_rig.type };
    ASSERT_EQ(S_OK, m_rig.ConnectInput());
    ASSERT_EQ(S_OK, m_rig.ConnectOutput());
    ASSERT_EQ(S_OK, pIn->Disconnect());
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, pIn->ReceiveConnection(m_rig.up->Pin(), other.Ptr()));
    EXPECT_FALSE(m_rig.In()->IsConnected());
    m_rig.f->m_hrCompleteConnect[PINDIR_INPUT] = E_ABORT;
    EXPECT_EQ(E_ABORT, pIn->ReceiveConnection(m_rig.up->Pin(), m_rig.type.Ptr()));
    EXPECT_FALSE(m_rig.In()->IsConnected());
    EXPECT_FALSE(m_rig.In()->m_mt.IsValid()) << "the type from before";
    m_rig.f->m_hrCompleteConnect[PINDIR_INPUT] = S_OK;
    m_log.Reset();
    EXPECT_EQ(S_OK, pIn->ReceiveConnection(m_rig.up->Pin(), m_rig.type.Ptr())) << "still usable";
    EXPECT_TRUE(m_log.HasLineContaining(Fmt(L"+++++++++++++++ %s receive connection from filter [", InName().c_str())));
    EXPECT_TRUE(m_log.HasLineContaining(L"MT: ")) << "the offered type";
    pOther->Release();
    pSameDir->Release();
}

// While running, with the switch on, the connected upstream pin may change
// the type; the connection stays.
TEST_F(NegotiationTest, DynamicChangeOfTypeWhilePaused)
{
    ASSERT_EQ(S_OK, m_rig.ConnectInput());
    ASSERT_EQ(S_OK, m_rig.ConnectOutput());
    ASSERT_EQ(S_OK, m_rig.f.Filter()->Pause());
    m_rig.In()->m_bDynReconnect = 1;
    const dsfix::MediaType other = TestVideoType(640);
    m_rig.f->m_completes.clear();
    EXPECT_EQ(S_OK, m_rig.f.In()->ReceiveConnection(m_rig.up->Pin(), other.Ptr()));
    EXPECT_TRUE(other.Equals(m_rig.In()->m_mt));
    EXPECT_TRUE(m_rig.In()->m_spConnected.IsEqualObject(m_rig.up->Pin()));
    EXPECT_EQ(std::vector<DWORD>{ PINDIR_INPUT }, m_rig.f->m_completes);

    // The filter refuses the change: the old type comes back, the
    // connection stays.
    m_rig.f->m_hrCompleteConnect[PINDIR_INPUT] = E_ABORT;
    EXPECT_EQ(E_ABORT, m_rig.f.In()->ReceiveConnection(m_rig.up->Pin(), m_rig.type.Ptr()));
    EXPECT_TRUE(other.Equals(m_rig.In()->m_mt));
    EXPECT_TRUE(m_rig.In()->IsConnected());
    m_rig.f->m_hrCompleteConnect[PINDIR_INPUT] = S_OK;
    EXPECT_EQ(S_OK, m_rig.f.Filter()->Stop());
}

// ---------------------------------------------------------------------------
// Output side

TEST_F(NegotiationTest, ConnectChecksInOrder)
{
    CFakePin* pSameDir = new CFakePin(PINDIR_OUTPUT, L"Wrong Way");
    IPin* pOut = m_rig.f.Out();
    ASSERT_EQ(S_OK, m_rig.ConnectInput());
    const struct
    {
        const char* pszCase;
        std::function<void()> setup;
        IPin* pReceive;
        HRESULT hr;
    } cases[] = {
        { "no pin", [] {}, NULL, E_POINTER },
        { "same direction", [] {}, pSameDir->Pin(), VFW_E_INVALID_DIRECTION },
        { "not stopped", [&] { m_rig.f->m_eState = State_Paused; }, m_rig.down->Pin(), VFW_E_NOT_STOPPED },
        // Connected comes first, whatever the state and the pin.
        { "connected", [&] {
             m_rig.f->m_eState = State_Stopped;
             ASSERT_EQ(S_OK, m_rig.ConnectOutput());
             m_rig.f->m_eState = State_Paused;
         },
          pSameDir->Pin(), VFW_E_ALREADY_CONNECTED },
    };
    for (const auto& c : cases)
    {
        c.setup();
        m_log.Reset();
        EXPECT_EQ(c.hr, pOut->Connect(c.pReceive, NULL)) << c.pszCase;
        EXPECT_EQ(8, m_log.LevelOf(Fmt(L"*** WARNING *** %s connection not accepted, hr=0x%X\n", OutName().c_str(), c.hr)))
            << c.pszCase;
    }
    m_rig.f->m_eState = State_Stopped;
    EXPECT_TRUE(m_log.HasLineContaining(Fmt(L"*************** %s start of connection to filter [", OutName().c_str())));
    EXPECT_TRUE(m_log.HasLine(L"Empty media type\n"));
    pSameDir->Release();
}

// The downstream pin's types, then the output pin's own (the upstream types
// while redirection is on), then the upstream types through the filter's
// fallback.
TEST_F(NegotiationTest, ConnectTriesTheListsInOrder)
{
    const dsfix::MediaType d1 = dsfix::VideoType(MEDIASUBTYPE_RGB24, 320, 240);
    const dsfix::MediaType d2 = dsfix::VideoType(MEDIASUBTYPE_RGB32, 320, 240);
    const dsfix::MediaType u1 = TestVideoType(160);
    const dsfix::MediaType u2 = TestVideoType(640);
    m_rig.up->m_types = { u1, u2 };
    m_rig.down->m_offer = { d1, d2 };
    const struct
    {
        const char* pszCase;
        DWORD dwRedir;
        std::vector<dsfix::MediaType> accept;
        HRESULT hr;
        std::vector<dsfix::MediaType> tried;
        bool bFallback; // the fallback's line was written
    } cases[] = {
        { "downstream's first", 1, { d2 }, S_OK, { d1, d2 }, false },
        { "then the upstream's by redirection", 1, { u2 }, S_OK, { d1, d2, u1, u2 }, false },
        { "then the fallback", 0, { u2 }, S_OK, { d1, d2, u1, u2 }, true },
        { "none", 1, { dsfix::StreamType() }, VFW_E_NO_ACCEPTABLE_TYPES, { d1, d2, u1, u2, u1, u2 }, true },
    };
    ASSERT_EQ(S_OK, m_rig.ConnectInput());
    for (const auto& c : cases)
    {
        m_rig.Out()->m_bMTEnumRedir = c.dwRedir;
        m_rig.Out()->m_mt.Reset(); // nothing of its own from a connection before
        m_rig.down->m_accept = c.accept;
        m_rig.down->m_received.clear();
        m_log.Reset();
        EXPECT_EQ(c.hr, m_rig.ConnectOutput()) << c.pszCase;
        EXPECT_EQ(c.tried, m_rig.down->m_received) << c.pszCase;
        EXPECT_EQ(c.bFallback,
                  m_log.HasLine(Fmt(L"%s Filter_AgreeMT(): Try to connect output pin with upstream media types\n",
                                    m_rig.f->GetTraceName())))
            << c.pszCase;
        if (S_OK == c.hr)
        {
            EXPECT_TRUE(c.tried.back().Equals(m_rig.Out()->m_mt)) << c.pszCase;
            EXPECT_EQ(8, m_log.LevelOf(Fmt(L"*************** %s connection established\n", OutName().c_str())));
            ASSERT_EQ(S_OK, m_rig.f.Out()->Disconnect());
        }
        else
        {
            EXPECT_FALSE(m_rig.Out()->IsConnected());
            EXPECT_TRUE(m_log.HasLine(Fmt(L"%s AgreeExternMT() FAILED, hr=0x%X\n", OutName().c_str(),
                                          VFW_E_NO_ACCEPTABLE_TYPES)));
            EXPECT_TRUE(m_log.HasLine(Fmt(L"%s AgreeInnerMT() FAILED, hr=0x%X\n", OutName().c_str(),
                                          VFW_E_NO_ACCEPTABLE_TYPES)));
        }
    }

    // With the input unconnected the output takes no type at all, and the
    // fallback has nothing to offer.
    ASSERT_EQ(S_OK, m_rig.f.In()->Disconnect());
    m_rig.down->m_accept.clear();
    m_rig.down->m_received.clear();
    EXPECT_EQ(E_FAIL, m_rig.ConnectOutput());
    EXPECT_TRUE(m_rig.down->m_received.empty());
}

// A type with a major type is the only one tried, and the downstream
// error is the answer; a major type of GUID_NULL counts as no type.
TEST_F(NegotiationTest, ConnectWithAGivenType)
{
    const dsfix::MediaType u2 = TestVideoType(640);
    m_rig.up->m_types = { m_rig.type, u2 };
    ASSERT_EQ(S_OK, m_rig.ConnectInput());
    m_rig.down->m_hrReceiveConnection = VFW_E_BADALIGN;
    EXPECT_EQ(VFW_E_BADALIGN, m_rig.f.Out()->Connect(m_rig.down->Pin(), u2.Ptr()));
    ASSERT_EQ(1u, m_rig.down->m_received.size());
    EXPECT_TRUE(u2.Equals(m_rig.down->m_received[0].Get()));
    EXPECT_TRUE(m_log.HasLine(Fmt(L"%s ExecConnection(): m_spConnected->ReceiveConnection()=0x%X\n", OutName().c_str(),
                                  VFW_E_BADALIGN)));
    EXPECT_FALSE(m_rig.Out()->IsConnected());

    // A partial type is tried as it is, not matched against a list.
    m_rig.down->m_hrReceiveConnection = S_OK;
    m_rig.down->m_received.clear();
    const dsfix::MediaType partial = dsfix::MajorType(MEDIATYPE_Video);
    EXPECT_EQ(S_OK, m_rig.f.Out()->Connect(m_rig.down->Pin(), partial.Ptr()));
    ASSERT_EQ(1u, m_rig.down->m_received.size());
    EXPECT_TRUE(partial.Equals(m_rig.down->m_received[0].Get()));
    ASSERT_EQ(S_OK, m_rig.f.Out()->Disconnect());

    // A success code from downstream is no connection.
    m_rig.down->m_hrReceiveConnection = S_FALSE;
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, m_rig.f.Out()->Connect(m_rig.down->Pin(), u2.Ptr()));
    EXPECT_FALSE(m_rig.Out()->IsConnected());

    m_rig.down->m_hrReceiveConnection = S_OK;
    m_rig.down->m_received.clear();
    AM_MEDIA_TYPE nullMajor = {};
    nullMajor.subtype = MEDIASUBTYPE_YUY2;
    EXPECT_EQ(S_OK, m_rig.f.Out()->Connect(m_rig.down->Pin(), &nullMajor));
    ASSERT_FALSE(m_rig.down->m_received.empty());
    EXPECT_TRUE(m_rig.type.Equals(m_rig.down->m_received[0].Get())) << "negotiated as without a type";
}

// The output pin counts as connected while the downstream pin decides; a
// refused completion disconnects the downstream pin again.
TEST_F(NegotiationTest, TheOutputCountsAsConnectedWhileDownstreamDecides)
{
    ASSERT_EQ(S_OK, m_rig.ConnectInput());
    HRESULT hrSeen = E_FAIL;
    bool bUs = false;
    m_rig.down->m_onReceiveConnection = [&](IPin* pConnector) {
        CComPtr<IPin> spBack;
        hrSeen = pConnector->ConnectedTo(&spBack);
        bUs = spBack.IsEqualObject(m_rig.down->Pin());
    };
    EXPECT_EQ(S_OK, m_rig.ConnectOutput());
    EXPECT_EQ(S_OK, hrSeen);
    EXPECT_TRUE(bUs) << "the output pin answered with the pin it was connecting to";
    EXPECT_TRUE(m_log.HasLine(Fmt(L"%s ExecConnection(): connection accepted\n", OutName().c_str())));
    m_rig.down->m_onReceiveConnection = nullptr;
    ASSERT_EQ(S_OK, m_rig.f.Out()->Disconnect());

    const struct
    {
        const char* pszCase;
        std::function<void()> setup;
        HRESULT hr;
        const wchar_t* pszLine;
    } cases[] = {
        { "completion refused", [&] { m_rig.f->m_hrCompleteConnect[PINDIR_OUTPUT] = E_ABORT; }, E_ABORT,
          L"%s ExecConnection(): m_pFilter->Filter_CompleteConnect()=0x%X\n" },
        { "no IMemInputPin downstream", [&] {
             m_rig.f->m_hrCompleteConnect[PINDIR_OUTPUT] = S_OK;
             m_rig.down->m_bMemInput = false;
         },
          VFW_E_NOT_SAMPLE_CONNECTION, L"%s ExecConnection(): m_pFilter->Filter_CompleteConnect()=0x%X\n" },
        { "exchange fails", [&] {
             m_rig.down->m_bMemInput = true;
             m_rig.Out()->m_hrAgreeExchange = E_ABORT;
         },
          E_ABORT, NULL },
        // A success code from the exchange would leave a connection behind a
        // failed Connect: it is undone too.
        { "exchange half succeeds", [&] { m_rig.Out()->m_hrAgreeExchange = S_FALSE; }, VFW_E_NO_ACCEPTABLE_TYPES, NULL },
        { "allocator refused downstream", [&] {
             m_rig.Out()->m_hrAgreeExchange = S_OK;
             m_rig.down->m_hrNotifyDefault = E_ABORT;
         },
          E_ABORT, L"%s Allocator agreement FAILED, hr=0x%X\n" },
    };
    for (const auto& c : cases)
    {
        c.setup();
        m_log.Reset();
        const int nDisconnects = m_rig.down->m_nDisconnect;
        EXPECT_EQ(c.hr, m_rig.f.Out()->Connect(m_rig.down->Pin(), m_rig.type.Ptr())) << c.pszCase;
        EXPECT_FALSE(m_rig.Out()->IsConnected()) << c.pszCase;
        EXPECT_GT(m_rig.down->m_nDisconnect, nDisconnects) << c.pszCase << ": downstream told";
        EXPECT_EQ(NULL, m_rig.Out()->m_spMemInput.p) << c.pszCase;
        EXPECT_EQ(eAS_None, m_rig.Out()->m_eAllocSrc) << c.pszCase;
        EXPECT_TRUE(m_rig.Out()->m_mt.IsValid()) << c.pszCase << ": the type stays while the input is connected";
        if (c.pszLine)
        {
            EXPECT_TRUE(m_log.HasLine(Fmt(c.pszLine, OutName().c_str(), c.hr))) << c.pszCase;
        }
    }

    // Nothing is left behind: the filter connects again.
    m_rig.down->m_hrNotifyDefault = S_OK;
    EXPECT_EQ(S_OK, m_rig.ConnectOutput());
    EXPECT_EQ(eAS_Internal, m_rig.Out()->m_eAllocSrc);
}

// An enumerator that claims items without handing any out ends the search
// through its list; the next list is tried.
TEST_F(NegotiationTest, ABrokenEnumeratorEndsItsList)
{
    dsfix::HangWatchdog watchdog(30000, "a broken media-type enumerator");
    CBrokenEnum* pEnum = new CBrokenEnum;
    m_rig.down->m_pEnum = pEnum;
    ASSERT_EQ(S_OK, m_rig.ConnectInput());
    EXPECT_EQ(S_OK, m_rig.ConnectOutput());
    EXPECT_EQ(1, pEnum->m_nNext);
    EXPECT_TRUE(m_log.HasAssert("ulMediaCount == 1"));
    m_rig.down->m_pEnum = NULL;
    pEnum->Release();
}

// A pin whose filter is gone refuses to connect instead of using it.
TEST_F(NegotiationTest, APinWhoseFilterIsGoneRefusesToConnect)
{
    ASSERT_EQ(S_OK, m_rig.ConnectInput());
    m_rig.Out()->SetFilter(NULL);
    EXPECT_EQ(E_UNEXPECTED, m_rig.f.Out()->Connect(m_rig.down->Pin(), NULL));
    EXPECT_TRUE(m_rig.down->m_received.empty());
    m_rig.Out()->SetFilter(m_rig.f.Get());
    ASSERT_EQ(S_OK, m_rig.f.In()->Disconnect());
    m_rig.In()->SetFilter(NULL);
    EXPECT_EQ(E_UNEXPECTED, m_rig.f.In()->ReceiveConnection(m_rig.up->Pin(), m_rig.type.Ptr()));
    EXPECT_FALSE(m_rig.In()->IsConnected());
    m_rig.In()->SetFilter(m_rig.f.Get());
}

} // namespace
