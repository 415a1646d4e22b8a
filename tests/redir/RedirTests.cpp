// Interface redirection through the spy filter's pins: the output pin's
// IMediaSeeking asks the pin upstream of the filter, the input pin's
// IKsPropertySet and its mixer configuration tear-off ask the pin downstream.
// Checked with fake neighbours (what is offered when, the arguments and
// results that pass, the trace lines, reference counts, calls after the
// neighbour or the filter is gone) and in Wine's filter graph manager (the
// graph's own seeking reaching the upstream pin through the Null Renderer and
// the spy; Wine's Sample Grabber answering through the spy as it answers
// directly).
#include "SpyTestSupport.h"
#include "dsfix/Faults.h"

#include <algorithm>
#include <functional>

namespace {

// ---------------------------------------------------------------------------
// Fakes

// An upstream output pin that can answer IMediaSeeking with fixed values and
// records what it was asked.
class CSeekingPin : public CFakePin, public IMediaSeeking
{
public:
    CSeekingPin() : CFakePin(PINDIR_OUTPUT, L"Seeking Source") { m_types = { TestVideoType() }; }

    FAKE_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv && riid == IID_IMediaSeeking && m_bSeeking)
        {
            *ppv = static_cast<IMediaSeeking*>(this);
            AddRef();
            return S_OK;
        }
        return CFakePin::QueryInterface(riid, ppv);
    }
    // The graph reconnects the spy's input after its output connected: the
    // pin connects again with its first type.
    STDMETHODIMP Connect(IPin* pReceivePin, const AM_MEDIA_TYPE*) override
    {
        if (!pReceivePin)
            return E_POINTER;
        return pReceivePin->ReceiveConnection(static_cast<IPin*>(this), m_types[0].Ptr());
    }

    STDMETHODIMP GetCapabilities(DWORD* p) override { return Put(L"GetCapabilities", p, m_dwCaps); }
    STDMETHODIMP CheckCapabilities(DWORD* p) override
    {
        m_seek.push_back(L"CheckCapabilities");
        if (!p)
            return E_POINTER;
        const DWORD dwAsked = *p;
        *p &= m_dwCaps;
        return (*p == dwAsked) ? S_OK : (*p ? S_FALSE : E_FAIL);
    }
    // Media time and frames are supported; media time is in use.
    STDMETHODIMP IsFormatSupported(const GUID* p) override
    {
        m_seek.push_back(L"IsFormatSupported");
        m_pFormatAsked = p;
        return (p && (*p == TIME_FORMAT_MEDIA_TIME || *p == TIME_FORMAT_FRAME)) ? S_OK : S_FALSE;
    }
    STDMETHODIMP QueryPreferredFormat(GUID* p) override { return Put(L"QueryPreferredFormat", p, TIME_FORMAT_MEDIA_TIME); }
    STDMETHODIMP GetTimeFormat(GUID* p) override { return Put(L"GetTimeFormat", p, TIME_FORMAT_MEDIA_TIME); }
    STDMETHODIMP IsUsingTimeFormat(const GUID* p) override
    {
        m_seek.push_back(L"IsUsingTimeFormat");
        m_pFormatAsked = p;
        return (p && *p == TIME_FORMAT_MEDIA_TIME) ? S_OK : S_FALSE;
    }
    STDMETHODIMP SetTimeFormat(const GUID* p) override
    {
        m_seek.push_back(L"SetTimeFormat");
        return (p && *p == TIME_FORMAT_MEDIA_TIME) ? S_OK : E_INVALIDARG;
    }
    STDMETHODIMP GetDuration(LONGLONG* p) override { return Put(L"GetDuration", p, m_llDuration); }
    STDMETHODIMP GetStopPosition(LONGLONG* p) override { return Put(L"GetStopPosition", p, m_llStop); }
    STDMETHODIMP GetCurrentPosition(LONGLONG* p) override { return Put(L"GetCurrentPosition", p, m_llCurrent); }
    STDMETHODIMP ConvertTimeFormat(LONGLONG* pTarget, const GUID*, LONGLONG Source, const GUID*) override
    {
        return Put(L"ConvertTimeFormat", pTarget, Source * 2);
    }
    STDMETHODIMP SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags) override
    {
        m_seek.push_back(L"SetPositions");
        m_pSetCurrent = pCurrent;
        m_pSetStop = pStop;
        m_dwSetFlags = dwCurrentFlags | (dwStopFlags << 16);
        if (pCurrent)
            m_llCurrent = *pCurrent;
        if (pStop)
            m_llStop = *pStop;
        return S_OK;
    }
    STDMETHODIMP GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override
    {
        m_seek.push_back(L"GetPositions");
        if (pCurrent)
            *pCurrent = m_llCurrent;
        if (pStop)
            *pStop = m_llStop;
        return S_OK;
    }
    STDMETHODIMP GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) override
    {
        m_seek.push_back(L"GetAvailable");
        if (pEarliest)
            *pEarliest = m_llEarliest;
        if (pLatest)
            *pLatest = m_llDuration;
        return S_OK;
    }
    STDMETHODIMP SetRate(double d) override
    {
        m_seek.push_back(L"SetRate");
        if (d <= 0)
            return E_INVALIDARG;
        m_dRate = d;
        return S_OK;
    }
    STDMETHODIMP GetRate(double* p) override { return Put(L"GetRate", p, m_dRate); }
    STDMETHODIMP GetPreroll(LONGLONG*) override
    {
        m_seek.push_back(L"GetPreroll");
        return E_NOTIMPL;
    }

    bool m_bSeeking = true;
    DWORD m_dwCaps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanGetDuration;
    LONGLONG m_llDuration = 123456789;
    LONGLONG m_llCurrent = 0;
    LONGLONG m_llStop = 123456789;
    LONGLONG m_llEarliest = 0;
    double m_dRate = 1.0;
    const GUID* m_pFormatAsked = NULL;
    LONGLONG* m_pSetCurrent = NULL;
    LONGLONG* m_pSetStop = NULL;
    DWORD m_dwSetFlags = 0;
    std::vector<std::wstring> m_seek;

private:
    template <class V>
    HRESULT Put(LPCWSTR pszCall, V* p, V v)
    {
        m_seek.push_back(pszCall);
        if (!p)
            return E_POINTER;
        *p = v;
        return S_OK;
    }
};

// A downstream input pin that can answer IKsPropertySet, IMixerPinConfig and
// IMixerPinConfig2, or fault (a real access violation) when asked for the
// mixer.
class CMixerPin : public CFakePin, public IKsPropertySet, public IMixerPinConfig2
{
public:
    CMixerPin() : CFakePin(PINDIR_INPUT, L"Mixer") {}

    FAKE_IUNKNOWN
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv && riid == IID_IKsPropertySet && m_bKs)
            *ppv = static_cast<IKsPropertySet*>(this);
        else if (ppv && riid == IID_IMixerPinConfig && m_bMixer)
        {
            if (m_bRaise)
                dsfix::Fault();
            *ppv = static_cast<IMixerPinConfig*>(this);
        }
        else if (ppv && riid == IID_IMixerPinConfig2 && m_bMixer && m_bMixer2)
            *ppv = static_cast<IMixerPinConfig2*>(this);
        else
            return CFakePin::QueryInterface(riid, ppv);
        AddRef();
        return S_OK;
    }

    // IKsPropertySet
    STDMETHODIMP Set(REFGUID guid, DWORD dwId, LPVOID pInst, DWORD cbInst, LPVOID pProp, DWORD cbProp) override
    {
        m_calls.push_back(L"Ks::Set");
        m_ksGuid = guid;
        m_ksId = dwId;
        m_ksPointers = { pInst, pProp };
        m_ksSizes = { cbInst, cbProp };
        return m_hrKs;
    }
    STDMETHODIMP Get(REFGUID guid, DWORD dwId, LPVOID, DWORD, LPVOID pProp, DWORD cbProp, DWORD* pcb) override
    {
        m_calls.push_back(L"Ks::Get");
        m_ksGuid = guid;
        m_ksId = dwId;
        if (SUCCEEDED(m_hrKs) && pProp && cbProp >= sizeof(DWORD))
        {
            *static_cast<DWORD*>(pProp) = 0xC0FFEE;
            if (pcb)
                *pcb = sizeof(DWORD);
        }
        return m_hrKs;
    }
    STDMETHODIMP QuerySupported(REFGUID, DWORD, DWORD* pType) override
    {
        m_calls.push_back(L"Ks::QuerySupported");
        if (pType)
            *pType = KSPROPERTY_SUPPORT_GET;
        return m_hrKs;
    }

    // IMixerPinConfig2
    STDMETHODIMP SetRelativePosition(DWORD l, DWORD t, DWORD r, DWORD b) override
    {
        m_calls.push_back(L"SetRelativePosition");
        m_rect = { l, t, r, b };
        return S_OK;
    }
    STDMETHODIMP GetRelativePosition(DWORD* l, DWORD* t, DWORD* r, DWORD* b) override
    {
        m_calls.push_back(L"GetRelativePosition");
        *l = m_rect[0];
        *t = m_rect[1];
        *r = m_rect[2];
        *b = m_rect[3];
        return S_OK;
    }
    STDMETHODIMP SetZOrder(DWORD d) override { return Store(L"SetZOrder", m_dwZ, d); }
    STDMETHODIMP GetZOrder(DWORD* p) override { return Load(L"GetZOrder", p, m_dwZ); }
    STDMETHODIMP SetColorKey(COLORKEY*) override { return Store(L"SetColorKey", m_dwZ, m_dwZ); }
    STDMETHODIMP GetColorKey(COLORKEY*, DWORD*) override { return Store(L"GetColorKey", m_dwZ, m_dwZ); }
    STDMETHODIMP SetBlendingParameter(DWORD d) override { return Store(L"SetBlendingParameter", m_dwBlend, d); }
    STDMETHODIMP GetBlendingParameter(DWORD* p) override { return Load(L"GetBlendingParameter", p, m_dwBlend); }
    STDMETHODIMP SetAspectRatioMode(AM_ASPECT_RATIO_MODE e) override
    {
        return Store(L"SetAspectRatioMode", m_eMode, e);
    }
    STDMETHODIMP GetAspectRatioMode(AM_ASPECT_RATIO_MODE* p) override { return Load(L"GetAspectRatioMode", p, m_eMode); }
    STDMETHODIMP SetStreamTransparent(BOOL b) override { return Store(L"SetStreamTransparent", m_bTransparent, b); }
    STDMETHODIMP GetStreamTransparent(BOOL* p) override { return Load(L"GetStreamTransparent", p, m_bTransparent); }
    STDMETHODIMP SetOverlaySurfaceColorControls(LPDDCOLORCONTROL p) override
    {
        m_calls.push_back(L"SetOverlaySurfaceColorControls");
        if (p)
            m_cc = *p;
        return S_OK;
    }
    STDMETHODIMP GetOverlaySurfaceColorControls(LPDDCOLORCONTROL p) override
    {
        m_calls.push_back(L"GetOverlaySurfaceColorControls");
        if (!p)
            return E_POINTER;
        *p = m_cc;
        return S_OK;
    }

    bool m_bKs = true;
    bool m_bMixer = true;
    bool m_bMixer2 = true;
    bool m_bRaise = false;
    HRESULT m_hrKs = S_OK;
    GUID m_ksGuid = GUID_NULL;
    DWORD m_ksId = 0;
    std::vector<void*> m_ksPointers;
    std::vector<DWORD> m_ksSizes;
    std::vector<DWORD> m_rect = { 0, 0, 0, 0 };
    DWORD m_dwZ = 0;
    DWORD m_dwBlend = 0;
    AM_ASPECT_RATIO_MODE m_eMode = AM_ARMODE_STRETCHED;
    BOOL m_bTransparent = FALSE;
    DDCOLORCONTROL m_cc = {};

private:
    template <class V>
    HRESULT Store(LPCWSTR pszCall, V& v, V value)
    {
        m_calls.push_back(pszCall);
        v = value;
        return S_OK;
    }
    template <class V>
    HRESULT Load(LPCWSTR pszCall, V* p, V v)
    {
        m_calls.push_back(pszCall);
        if (!p)
            return E_POINTER;
        *p = v;
        return S_OK;
    }
};

// The count of a COM object: AddRef then Release.
ULONG RefCount(IUnknown* p)
{
    p->AddRef();
    return p->Release();
}

// The first pin of a filter in direction eDir, counted.
dsfix::ComPtr<IPin> FirstPin(IBaseFilter* pFilter, PIN_DIRECTION eDir)
{
    dsfix::ComPtr<IEnumPins> spEnum;
    dsfix::ComPtr<IPin> spFound;
    if (FAILED(pFilter->EnumPins(&spEnum)))
        return spFound;
    IPin* pPin = NULL;
    while (!spFound && S_OK == spEnum->Next(1, &pPin, NULL))
    {
        PIN_DIRECTION e = PINDIR_INPUT;
        if (SUCCEEDED(pPin->QueryDirection(&e)) && e == eDir)
            spFound = pPin;
        pPin->Release();
    }
    return spFound;
}

// The spy with a fake upstream pin connected to its input (a real
// connection) and a fake mixer pin recorded as its output's peer: the
// output pin cannot agree an allocator with a fake, so the peer is set
// directly, which is all the redirection reads.
class RedirTest : public FilterTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_log.IsBound());
        ASSERT_TRUE(CSpySettings::RemoveKey());
        ASSERT_TRUE(m_spy.Get());
    }
    void TearDown() override
    {
        if (m_spy.Get())
        {
            SetDownstream(NULL);
            m_spy.In()->Disconnect();
        }
        m_spy.Release();
        EXPECT_EQ(1, m_pUp->RefCount()) << "a reference on the upstream pin was not given back";
        EXPECT_EQ(1, m_pDown->RefCount()) << "a reference on the downstream pin was not given back";
        m_pUp->Release();
        m_pDown->Release();
    }

    void ConnectUpstream() { ASSERT_EQ(S_OK, m_spy.In()->ReceiveConnection(m_pUp->Pin(), m_pUp->m_types[0].Ptr())); }
    void SetDownstream(CFakePin* pPin)
    {
        m_spy->m_apOut->m_spConnected.Release();
        if (pPin)
            m_spy->m_apOut->m_spConnected = pPin->Pin();
    }
    std::wstring Out() { return m_spy->m_apOut->GetTraceName(); }

    CSpySettings m_settings;
    CFakeLogScope m_log;
    CSpyPtr m_spy;
    CSeekingPin* m_pUp = new CSeekingPin;
    CMixerPin* m_pDown = new CMixerPin;
};

// ---------------------------------------------------------------------------
// IMediaSeeking on the output pin

TEST_F(RedirTest, TheOutputPinOffersSeekingExactlyWhileTheUpstreamPinDoes)
{
    CComPtr<IMediaSeeking> sp;
    EXPECT_EQ(E_NOINTERFACE, m_spy.Out()->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&sp)))
        << "input not connected";
    EXPECT_EQ(E_POINTER, m_spy.Out()->QueryInterface(IID_IMediaSeeking, NULL));

    m_pUp->m_bSeeking = false;
    ConnectUpstream();
    EXPECT_EQ(E_NOINTERFACE, m_spy.Out()->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&sp)))
        << "upstream pin without seeking";
    EXPECT_TRUE(sp == NULL);

    m_pUp->m_bSeeking = true;
    const ULONG nOut = RefCount(m_spy.Out());
    ASSERT_EQ(S_OK, m_spy.Out()->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&sp)));
    // The output pin's own part, on the pin's own count: never the upstream
    // pin's interface, and no reference left on the upstream pin.
    EXPECT_NE(static_cast<IMediaSeeking*>(m_pUp), sp.p);
    EXPECT_EQ(static_cast<IMediaSeeking*>(m_spy->m_apOut.p), sp.p);
    EXPECT_EQ(nOut + 1, RefCount(m_spy.Out()));
    EXPECT_EQ(1, m_pUp->RefCount() - 1) << "the spy's input holds one reference, the test one";
    CComPtr<IPin> spBack;
    EXPECT_EQ(S_OK, sp->QueryInterface(IID_IPin, reinterpret_cast<void**>(&spBack)));
    EXPECT_EQ(m_spy.Out(), spBack.p);
    spBack.Release();
    sp.Release();
    EXPECT_EQ(nOut, RefCount(m_spy.Out()));
}

TEST_F(RedirTest, SeekingCallsReachTheUpstreamPinUnchangedAndTheirResultsComeBack)
{
    ConnectUpstream();
    CComPtr<IMediaSeeking> sp;
    ASSERT_EQ(S_OK, m_spy.Out()->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&sp)));
    m_log.Reset();

    LONGLONG ll = 0;
    EXPECT_EQ(S_OK, sp->GetDuration(&ll));
    EXPECT_EQ(123456789, ll);
    DWORD dwCaps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekBackwards;
    EXPECT_EQ(S_FALSE, sp->CheckCapabilities(&dwCaps)) << "the peer's success code passes unchanged";
    EXPECT_EQ(static_cast<DWORD>(AM_SEEKING_CanSeekAbsolute), dwCaps);
    EXPECT_EQ(E_INVALIDARG, sp->SetRate(-1.0)) << "the peer's failure passes unchanged";
    EXPECT_EQ(E_INVALIDARG, sp->SetTimeFormat(&TIME_FORMAT_FRAME));
    EXPECT_EQ(E_NOTIMPL, sp->GetPreroll(&ll));
    LONGLONG llCurrent = 20000000, llStop = 50000000;
    EXPECT_EQ(S_OK, sp->SetPositions(&llCurrent, AM_SEEKING_AbsolutePositioning, &llStop,
                                      AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame));
    EXPECT_EQ(&llCurrent, m_pUp->m_pSetCurrent) << "the caller's own pointers reach the peer";
    EXPECT_EQ(&llStop, m_pUp->m_pSetStop);
    EXPECT_EQ(static_cast<DWORD>(AM_SEEKING_AbsolutePositioning |
                                 ((AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame) << 16)),
              m_pUp->m_dwSetFlags);
    LONGLONG llGotCurrent = 0, llGotStop = 0;
    EXPECT_EQ(S_OK, sp->GetPositions(&llGotCurrent, &llGotStop));
    EXPECT_EQ(20000000, llGotCurrent);
    EXPECT_EQ(50000000, llGotStop);
    LONGLONG llTarget = 0;
    EXPECT_EQ(S_OK, sp->ConvertTimeFormat(&llTarget, NULL, 21, &TIME_FORMAT_MEDIA_TIME));
    EXPECT_EQ(42, llTarget);
    EXPECT_EQ((std::vector<std::wstring>{ L"GetDuration", L"CheckCapabilities", L"SetRate", L"SetTimeFormat",
                                          L"GetPreroll", L"SetPositions", L"GetPositions", L"ConvertTimeFormat" }),
              m_pUp->m_seek);

    // Entry lines at level 8 with the pin's name; a success trace replaces
    // the result line where there is one; level-10 calls leave nothing.
    const std::wstring sOut = Out();
    WCHAR szC[REFERENCE_TIME_TEXT_SIZE], szS[REFERENCE_TIME_TEXT_SIZE];
    WCHAR szFrame[GUID_NAME_WORK_SIZE], szMedia[GUID_NAME_WORK_SIZE];
    Guid2Name(TIME_FORMAT_FRAME, szFrame, GUID_NAME_WORK_SIZE);
    Guid2Name(TIME_FORMAT_MEDIA_TIME, szMedia, GUID_NAME_WORK_SIZE);
    const std::vector<std::wstring> expected = {
        Fmt(L"%s IMediaSeeking::CheckCapabilities()\n", sOut.c_str()),
        Fmt(L"%s IMediaSeeking::CheckCapabilities(): in=0x%X, out=0x%X\n", sOut.c_str(),
            AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekBackwards, AM_SEEKING_CanSeekAbsolute),
        Fmt(L"%s IMediaSeeking::SetRate( %g )\n", sOut.c_str(), -1.0),
        L"Redirection: IMediaSeeking::SetRate(dRate)=0x80070057\n",
        Fmt(L"%s IMediaSeeking::SetTimeFormat( %s )\n", sOut.c_str(), szFrame),
        L"Redirection: IMediaSeeking::SetTimeFormat(pFormat)=0x80070057\n",
        Fmt(L"%s IMediaSeeking::GetPreroll()\n", sOut.c_str()),
        L"Redirection: IMediaSeeking::GetPreroll(pllPreroll)=0x80004001\n",
        Fmt(L"%s IMediaSeeking::SetPositions( %s, 0x%X, %s, 0x%X )\n", sOut.c_str(),
            ReferenceTimeToText(20000000, szC), AM_SEEKING_AbsolutePositioning, ReferenceTimeToText(50000000, szS),
            AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame),
        L"Redirection: IMediaSeeking::SetPositions(pCurrent, dwCurrentFlags, pStop, dwStopFlags)=0x0\n",
        Fmt(L"%s IMediaSeeking::GetPositions()\n", sOut.c_str()),
        Fmt(L"%s IMediaSeeking::GetPositions(): current=20000000, stop=50000000\n", sOut.c_str()),
        Fmt(L"%s IMediaSeeking::ConvertTimeFormat()\n", sOut.c_str()),
        Fmt(L"%s IMediaSeeking::ConvertTimeFormat(): 42 {NULL} = 21 {%s} \n", sOut.c_str(), szMedia),
    };
    EXPECT_EQ(expected, m_log.Lines());
    for (const std::wstring& s : expected)
        EXPECT_EQ(eTL_Info, static_cast<UINT>(m_log.LevelOf(s))) << std::string(s.begin(), s.end());
}

// The seeking calls that ask about formats and the stream's extent reach the
// upstream pin's own method (never a neighbour's), with the caller's
// pointers, and bring back its answer; the level-8 ones leave their entry and
// result lines. Without the upstream pin each answers E_NOTIMPL, writes
// nothing and says it cannot redirect.
TEST_F(RedirTest, FormatAndExtentCallsReachTheUpstreamPinsOwnMethod)
{
    ConnectUpstream();
    CComPtr<IMediaSeeking> sp;
    ASSERT_EQ(S_OK, m_spy.Out()->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&sp)));
    m_pUp->m_llCurrent = 1111;
    m_pUp->m_llStop = 2222;
    m_pUp->m_llDuration = 3333;
    m_pUp->m_llEarliest = 44;
    const std::wstring sOut = Out();
    WCHAR szFrame[GUID_NAME_WORK_SIZE];
    Guid2Name(TIME_FORMAT_FRAME, szFrame, GUID_NAME_WORK_SIZE);
    const GUID guidFrame = TIME_FORMAT_FRAME;
    GUID guidPreferred = GUID_NULL;
    LONGLONG llStop = 0, llEarliest = 0, llLatest = 0;
    const struct
    {
        const char* pszCall;
        std::function<HRESULT()> call;
        HRESULT hr;
        std::function<bool()> answered; // the caller got the peer's answer
        const wchar_t* pszPeer;         // the method of the peer that ran
        std::vector<std::wstring> lines;
        const wchar_t* pszCant;         // the line without a peer (NULL: level 10, none)
    } cases[] = {
        { "IsFormatSupported", [&] { return sp->IsFormatSupported(&guidFrame); }, S_OK,
          [&] { return m_pUp->m_pFormatAsked == &guidFrame; }, L"IsFormatSupported",
          { Fmt(L"%s IMediaSeeking::IsFormatSupported( %s )\n", sOut.c_str(), szFrame),
            L"Redirection: IMediaSeeking::IsFormatSupported(pFormat)=0x0\n" },
          L"Can't redirect IMediaSeeking::IsFormatSupported(pFormat)\n" },
        { "QueryPreferredFormat", [&] { return sp->QueryPreferredFormat(&guidPreferred); }, S_OK,
          [&] { return IsEqualGUID(TIME_FORMAT_MEDIA_TIME, guidPreferred); }, L"QueryPreferredFormat",
          { Fmt(L"%s IMediaSeeking::QueryPreferredFormat()\n", sOut.c_str()),
            L"Redirection: IMediaSeeking::QueryPreferredFormat(pFormat)=0x0\n" },
          L"Can't redirect IMediaSeeking::QueryPreferredFormat(pFormat)\n" },
        { "IsUsingTimeFormat", [&] { return sp->IsUsingTimeFormat(&guidFrame); }, S_FALSE,
          [&] { return m_pUp->m_pFormatAsked == &guidFrame; }, L"IsUsingTimeFormat", {}, NULL },
        { "GetStopPosition", [&] { return sp->GetStopPosition(&llStop); }, S_OK, [&] { return 2222 == llStop; },
          L"GetStopPosition", {}, NULL },
        { "GetAvailable", [&] { return sp->GetAvailable(&llEarliest, &llLatest); }, S_OK,
          [&] { return 44 == llEarliest && 3333 == llLatest; }, L"GetAvailable",
          { Fmt(L"%s IMediaSeeking::GetAvailable()\n", sOut.c_str()),
            L"Redirection: IMediaSeeking::GetAvailable(pEarliest, pLatest)=0x0\n" },
          L"Can't redirect IMediaSeeking::GetAvailable(pEarliest, pLatest)\n" },
    };
    for (const auto& c : cases)
    {
        m_pUp->m_seek.clear();
        m_pUp->m_pFormatAsked = NULL;
        m_log.Reset();
        EXPECT_EQ(c.hr, c.call()) << c.pszCall;
        EXPECT_TRUE(c.answered()) << c.pszCall;
        EXPECT_EQ(std::vector<std::wstring>{ c.pszPeer }, m_pUp->m_seek) << c.pszCall;
        EXPECT_EQ(c.lines, m_log.Lines()) << c.pszCall;
        for (const std::wstring& s : c.lines)
            EXPECT_EQ(eTL_Info, static_cast<UINT>(m_log.LevelOf(s))) << c.pszCall;
    }

    // Without the upstream pin.
    ASSERT_EQ(S_OK, m_spy.In()->Disconnect());
    llStop = llEarliest = llLatest = 7;
    guidPreferred = GUID_NULL;
    for (const auto& c : cases)
    {
        m_pUp->m_seek.clear();
        m_log.Reset();
        EXPECT_EQ(E_NOTIMPL, c.call()) << c.pszCall << " without a peer";
        EXPECT_TRUE(m_pUp->m_seek.empty()) << c.pszCall << " without a peer";
        if (c.pszCant)
        {
            EXPECT_TRUE(m_log.HasLine(c.pszCant)) << c.pszCall << " without a peer";
        }
        else
        {
            EXPECT_TRUE(m_log.Lines().empty()) << c.pszCall << ": level 10 is never written";
        }
    }
    EXPECT_EQ(7, llStop);
    EXPECT_EQ(7, llEarliest);
    EXPECT_EQ(7, llLatest);
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, guidPreferred));
}

TEST_F(RedirTest, AHeldSeekingPointerAnswersNotImplementedOnceTheUpstreamPinIsGone)
{
    ConnectUpstream();
    CComPtr<IMediaSeeking> sp;
    ASSERT_EQ(S_OK, m_spy.Out()->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&sp)));
    ASSERT_EQ(S_OK, m_spy.In()->Disconnect());
    m_log.Reset();
    LONGLONG ll = 7;
    EXPECT_EQ(E_NOTIMPL, sp->GetCurrentPosition(&ll));
    EXPECT_EQ(7, ll) << "nothing is written without a peer";
    double d = 0;
    EXPECT_EQ(E_NOTIMPL, sp->GetRate(&d));
    EXPECT_EQ(E_NOTIMPL, sp->GetDuration(&ll));
    EXPECT_TRUE(m_log.HasLine(L"Can't redirect IMediaSeeking::GetCurrentPosition(pCurrent)\n"));
    EXPECT_TRUE(m_log.HasLine(L"Can't redirect IMediaSeeking::GetRate(pdRate)\n"));
    EXPECT_FALSE(m_log.HasLineContaining(L"GetDuration")) << "level 10 is never written";
    EXPECT_TRUE(m_pUp->m_seek.empty());
}

// ---------------------------------------------------------------------------
// IKsPropertySet on the input pin

TEST_F(RedirTest, TheInputPinsPropertySetIsTheDownstreamPinsWhileItHasOne)
{
    CComPtr<IKsPropertySet> sp;
    EXPECT_EQ(E_NOINTERFACE, m_spy.In()->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&sp)));
    m_pDown->m_bKs = false;
    SetDownstream(m_pDown);
    EXPECT_EQ(E_NOINTERFACE, m_spy.In()->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&sp)));
    // The output pin never offers it, whatever is connected.
    m_pDown->m_bKs = true;
    EXPECT_EQ(E_NOINTERFACE, m_spy.Out()->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&sp)));

    ASSERT_EQ(S_OK, m_spy.In()->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&sp)));
    EXPECT_EQ(static_cast<IKsPropertySet*>(m_spy->m_apIn.p), sp.p);
    m_log.Reset();

    BYTE inst[8] = {}, prop[16] = {};
    EXPECT_EQ(S_OK, sp->Set(AM_KSPROPSETID_CopyProt, 3, inst, sizeof(inst), prop, sizeof(prop)));
    EXPECT_TRUE(IsEqualGUID(AM_KSPROPSETID_CopyProt, m_pDown->m_ksGuid));
    EXPECT_EQ(3u, m_pDown->m_ksId);
    EXPECT_EQ((std::vector<void*>{ inst, prop }), m_pDown->m_ksPointers);
    EXPECT_EQ((std::vector<DWORD>{ 8, 16 }), m_pDown->m_ksSizes);
    DWORD dwValue = 0, cbReturned = 0;
    EXPECT_EQ(S_OK, sp->Get(AM_KSPROPSETID_CopyProt, 4, NULL, 0, &dwValue, sizeof(dwValue), &cbReturned));
    EXPECT_EQ(0xC0FFEEu, dwValue);
    EXPECT_EQ(sizeof(DWORD), cbReturned);

    m_pDown->m_hrKs = E_PROP_ID_UNSUPPORTED;
    EXPECT_EQ(E_PROP_ID_UNSUPPORTED, sp->Get(AM_KSPROPSETID_CopyProt, 5, NULL, 0, &dwValue, sizeof(dwValue), NULL));
    DWORD dwType = 0;
    EXPECT_EQ(E_PROP_ID_UNSUPPORTED, sp->QuerySupported(AM_KSPROPSETID_CopyProt, 5, &dwType));

    const std::wstring sIn = m_spy->m_apIn->GetTraceName();
    const std::vector<std::wstring> expected = {
        Fmt(L"%s: IKsPropertySet::Set( guid=KSPROPSETID_CopyProt, ID=3, pInst=0x%X, cbInst=8, pProp=0x%X, cbProp=16 )\n",
            sIn.c_str(), static_cast<unsigned>(reinterpret_cast<UINT_PTR>(inst)),
            static_cast<unsigned>(reinterpret_cast<UINT_PTR>(prop))),
        L"Redirection: IKsPropertySet::Set(guidPropSet,dwPropID,pInstanceData,cbInstanceData,pPropData,cbPropData)=0x0\n",
        Fmt(L"%s: IKsPropertySet::Get( guidPropSet=KSPROPSETID_CopyProt, dwPropID=4 )\n", sIn.c_str()),
        L"Redirection: IKsPropertySet::Get(guidPropSet,dwPropID, pInstanceData,cbInstanceData,pPropData,cbPropData, "
        L"pcbReturned)=0x0\n",
        Fmt(L"%s: IKsPropertySet::Get( guidPropSet=KSPROPSETID_CopyProt, dwPropID=5 )\n", sIn.c_str()),
        L"Redirection: IKsPropertySet::Get(guidPropSet,dwPropID, pInstanceData,cbInstanceData,pPropData,cbPropData, "
        L"pcbReturned)=0x80070490\n",
        Fmt(L"%s: IKsPropertySet::QuerySupported( guidPropSet=KSPROPSETID_CopyProt, dwPropID=5 )\n", sIn.c_str()),
        L"Redirection: IKsPropertySet::QuerySupported(guidPropSet,dwPropID,pTypeSupport)=0x80070490\n",
    };
    EXPECT_EQ(expected, m_log.Lines());

    // Once the downstream pin is gone the held pointer answers E_NOTIMPL.
    SetDownstream(NULL);
    m_log.Reset();
    EXPECT_EQ(E_NOTIMPL, sp->Set(AM_KSPROPSETID_CopyProt, 3, NULL, 0, NULL, 0));
    EXPECT_TRUE(m_log.HasLine(L"Can't redirect IKsPropertySet::Set(guidPropSet,dwPropID,pInstanceData,cbInstanceData,"
                              L"pPropData,cbPropData)\n"));
}

// ---------------------------------------------------------------------------
// The mixer configuration tear-off on the input pin

TEST_F(RedirTest, WithoutAMixerDownstreamTheTearOffAnswersAndThreeSettersSucceed)
{
    const ULONG nIn = RefCount(m_spy.In());
    CComPtr<IMixerPinConfig> sp;
    ASSERT_EQ(S_OK, m_spy.In()->QueryInterface(IID_IMixerPinConfig, reinterpret_cast<void**>(&sp)));
    EXPECT_EQ(nIn + 1, RefCount(m_spy.In())) << "the tear-off holds its pin";
    EXPECT_TRUE(m_log.HasLine(L"CTearOffMixerPinConfigFix: FinalConstruct\n"));

    struct Case
    {
        const char* pszName;
        std::function<HRESULT(IMixerPinConfig*)> call;
        HRESULT hr;
        std::wstring sLine;
    } cases[] = {
        { "SetStreamTransparent", [](IMixerPinConfig* p) { return p->SetStreamTransparent(TRUE); }, S_OK,
          L"CTearOffMixerPinConfigFix: IMixerPinConfig::SetStreamTransparent(): host not set, return S_OK\n" },
        { "SetRelativePosition", [](IMixerPinConfig* p) { return p->SetRelativePosition(0, 0, 100, 100); }, S_OK,
          L"CTearOffMixerPinConfigFix: IMixerPinConfig::SetRelativePosition(): host not set, return S_OK\n" },
        { "SetAspectRatioMode", [](IMixerPinConfig* p) { return p->SetAspectRatioMode(AM_ARMODE_CROP); }, S_OK,
          L"CTearOffMixerPinConfigFix: IMixerPinConfig::SetAspectRatioMode(): host not set, return S_OK\n" },
        { "GetStreamTransparent",
          [](IMixerPinConfig* p) {
              BOOL b = FALSE;
              return p->GetStreamTransparent(&b);
          },
          E_NOTIMPL, L"Can't redirect IMixerPinConfig::GetStreamTransparent(pbStreamTransparent)\n" },
        { "SetZOrder", [](IMixerPinConfig* p) { return p->SetZOrder(3); }, E_NOTIMPL,
          L"Can't redirect IMixerPinConfig::SetZOrder(dwZOrder)\n" },
    };
    for (const Case& c : cases)
    {
        m_log.Reset();
        EXPECT_EQ(c.hr, c.call(sp)) << c.pszName;
        EXPECT_TRUE(m_log.HasLine(c.sLine)) << c.pszName;
    }

    // Asking the tear-off for anything goes to the pin: no IVoxaRedirect.
    CComPtr<IUnknown> spRedirect;
    EXPECT_EQ(E_NOINTERFACE, sp->QueryInterface(IID_IVoxaRedirect, reinterpret_cast<void**>(&spRedirect)));
    CComPtr<IPin> spPin;
    EXPECT_EQ(S_OK, sp->QueryInterface(IID_IPin, reinterpret_cast<void**>(&spPin)));
    EXPECT_EQ(m_spy.In(), spPin.p);
    spPin.Release();
    // Each query makes a tear-off of its own.
    CComPtr<IMixerPinConfig2> sp2;
    ASSERT_EQ(S_OK, sp->QueryInterface(IID_IMixerPinConfig2, reinterpret_cast<void**>(&sp2)));
    EXPECT_NE(static_cast<IMixerPinConfig*>(sp2.p), sp.p);
    EXPECT_EQ(nIn + 2, RefCount(m_spy.In()));

    m_log.Reset();
    sp.Release();
    sp2.Release();
    EXPECT_EQ(2u, m_log.CountContaining(L"CTearOffMixerPinConfigFix: FinalRelease\n"));
    EXPECT_EQ(nIn, RefCount(m_spy.In()));
}

TEST_F(RedirTest, TheTearOffForwardsToTheMixerAndKeepsItUntilReconnect)
{
    SetDownstream(m_pDown);
    CComPtr<IMixerPinConfig2> sp;
    ASSERT_EQ(S_OK, m_spy.In()->QueryInterface(IID_IMixerPinConfig2, reinterpret_cast<void**>(&sp)));
    m_log.Reset();

    EXPECT_EQ(S_OK, sp->SetRelativePosition(1, 2, 3, 4));
    DWORD l = 0, t = 0, r = 0, b = 0;
    EXPECT_EQ(S_OK, sp->GetRelativePosition(&l, &t, &r, &b));
    EXPECT_EQ((std::vector<DWORD>{ 1, 2, 3, 4 }), (std::vector<DWORD>{ l, t, r, b }));
    EXPECT_EQ(S_OK, sp->SetAspectRatioMode(static_cast<AM_ASPECT_RATIO_MODE>(7)));
    EXPECT_EQ(7, static_cast<int>(m_pDown->m_eMode)) << "an unknown mode still goes through";
    AM_ASPECT_RATIO_MODE eMode = AM_ARMODE_STRETCHED;
    m_pDown->m_eMode = AM_ARMODE_LETTER_BOX;
    EXPECT_EQ(S_OK, sp->GetAspectRatioMode(&eMode));
    EXPECT_EQ(AM_ARMODE_LETTER_BOX, eMode);
    DDCOLORCONTROL cc = { sizeof(cc), DDCOLOR_BRIGHTNESS | DDCOLOR_HUE, 750, 0, 45, 0, 0, 0, 0, 0 };
    EXPECT_EQ(S_OK, sp->SetOverlaySurfaceColorControls(&cc));
    EXPECT_EQ(750, m_pDown->m_cc.lBrightness);
    DDCOLORCONTROL ccGot = { sizeof(ccGot), 0, 0, 0, 0, 0, 0, 0, 0, 0 };
    EXPECT_EQ(S_OK, sp->GetOverlaySurfaceColorControls(&ccGot));
    EXPECT_EQ(45, ccGot.lHue);

    const std::vector<std::wstring> expected = {
        L"CTearOffMixerPinConfigFix: IMixerPinConfig::SetRelativePosition( rect = [1:2]:[3:4] )\n",
        L"Redirection: IMixerPinConfig::SetRelativePosition(dwLeft, dwTop, dwRight, dwBottom)=0x0\n",
        L"CTearOffMixerPinConfigFix: IMixerPinConfig::GetRelativePosition\n",
        L"CTearOffMixerPinConfigFix: IMixerPinConfig::GetRelativePosition()=0x0, rect = [1:2]:[3:4]\n",
        L"CTearOffMixerPinConfigFix: IMixerPinConfig::SetAspectRatioMode( UNKNOWN AM_ASPECT_RATIO_MODE )\n",
        L"Redirection: IMixerPinConfig::SetAspectRatioMode(amAspectRatioMode)=0x0\n",
        L"CTearOffMixerPinConfigFix: IMixerPinConfig::GetAspectRatioMode\n",
        L"CTearOffMixerPinConfigFix: IMixerPinConfig::GetAspectRatioMode()=0x0, AspectRatioMode = AM_ARMODE_LETTER_BOX\n",
        L"CTearOffMixerPinConfigFix: IMixerPinConfig::SetOverlaySurfaceColorControls\n",
        Fmt(L"DDCOLORCONTROL : dwSize=%u  dwFlags=0x%X  lBrightness=750  lContrast=0  lHue=45\n",
            static_cast<unsigned>(sizeof(cc)), DDCOLOR_BRIGHTNESS | DDCOLOR_HUE),
        L"DDCOLORCONTROL : lSaturation=0  lSharpness=0  lGamma=0  lColorEnable=0\n",
        L"Redirection: IMixerPinConfig2::SetOverlaySurfaceColorControls()=0x0\n",
        L"CTearOffMixerPinConfigFix: IMixerPinConfig::GetOverlaySurfaceColorControls\n",
        Fmt(L"DDCOLORCONTROL : dwSize=%u  dwFlags=0x0\n", static_cast<unsigned>(sizeof(cc))),
    };
    const std::vector<std::wstring> lines = m_log.Lines();
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(expected, std::vector<std::wstring>(lines.begin(), lines.begin() + expected.size()));
    EXPECT_GT(lines.size(), expected.size()) << "the colour controls read back are dumped";

    // A new mixer downstream: the old tear-off keeps the old one, a new
    // tear-off finds the new one, and Reconnect makes the old one look again.
    CMixerPin* pOther = new CMixerPin;
    SetDownstream(pOther);
    EXPECT_EQ(S_OK, sp->SetZOrder(9));
    EXPECT_EQ(9u, m_pDown->m_dwZ);
    EXPECT_EQ(0u, pOther->m_dwZ);
    CComPtr<IMixerPinConfig> spNew;
    ASSERT_EQ(S_OK, m_spy.In()->QueryInterface(IID_IMixerPinConfig, reinterpret_cast<void**>(&spNew)));
    EXPECT_EQ(S_OK, spNew->SetZOrder(5));
    EXPECT_EQ(5u, pOther->m_dwZ);
    auto* pTearOff = static_cast<CTearOffMixerPinConfigFix<CInput>*>(static_cast<IMixerPinConfig*>(sp.p));
    m_log.Reset();
    EXPECT_EQ(S_OK, pTearOff->Reconnect());
    EXPECT_TRUE(m_log.HasLine(L"CTearOffMixerPinConfigFix: IVoxaRedirect::Reconnect\n"));
    EXPECT_EQ(1, m_pDown->RefCount()) << "Reconnect gave the old mixer back";
    EXPECT_EQ(S_OK, sp->SetZOrder(6));
    EXPECT_EQ(6u, pOther->m_dwZ);
    EXPECT_EQ(9u, m_pDown->m_dwZ);

    sp.Release();
    spNew.Release();
    SetDownstream(NULL);
    EXPECT_EQ(1, pOther->RefCount());
    pOther->Release();
}

TEST_F(RedirTest, AMixerWithoutTheSecondInterfaceLeavesOnlyTheColourControlsUnanswered)
{
    m_pDown->m_bMixer2 = false;
    SetDownstream(m_pDown);
    CComPtr<IMixerPinConfig2> sp;
    ASSERT_EQ(S_OK, m_spy.In()->QueryInterface(IID_IMixerPinConfig2, reinterpret_cast<void**>(&sp)));
    DDCOLORCONTROL cc = { sizeof(cc), 0, 0, 0, 0, 0, 0, 0, 0, 0 };
    EXPECT_EQ(E_NOTIMPL, sp->GetOverlaySurfaceColorControls(&cc));
    EXPECT_EQ(E_NOTIMPL, sp->SetOverlaySurfaceColorControls(NULL));
    EXPECT_TRUE(m_log.HasLine(L"Can't redirect IMixerPinConfig2::SetOverlaySurfaceColorControls()\n"));
    EXPECT_EQ(S_OK, sp->SetBlendingParameter(128));
    EXPECT_EQ(128u, m_pDown->m_dwBlend);
}

TEST_F(RedirTest, AFaultWhileLookingForTheMixerIsReportedAndTheLookRetried)
{
    CMixerPin* pRaising = new CMixerPin;
    pRaising->m_bRaise = true;
    SetDownstream(pRaising);
    const LONG nBefore = pRaising->RefCount();
    CComPtr<IMixerPinConfig> sp;
    ASSERT_EQ(S_OK, m_spy.In()->QueryInterface(IID_IMixerPinConfig, reinterpret_cast<void**>(&sp)));
    m_log.Reset();
    // Many looks, each faulting inside the downstream pin: every one is
    // answered, and none keeps a reference on the pin.
    const int kLooks = 20;
    for (int i = 0; i < kLooks; ++i)
    {
        EXPECT_EQ(S_OK, sp->SetStreamTransparent(TRUE)) << i;
        BOOL b = TRUE;
        EXPECT_EQ(E_NOTIMPL, sp->GetStreamTransparent(&b)) << i;
    }
    EXPECT_EQ(nBefore, pRaising->RefCount()) << "a fault in the downstream pin left references on it";
    const std::wstring sLine =
        L"###Err### CTearOffMixerPinConfigFix: QueryRedirect( {593CDDE1-0759-11D1-9E69-00C04FD7C15B} ): Exception "
        L"0xC0000005\n";
    EXPECT_EQ(eTL_Exception, static_cast<UINT>(m_log.LevelOf(sLine)));
    EXPECT_EQ(static_cast<size_t>(2 * kLooks), m_log.CountContaining(sLine.substr(0, 40)));

    pRaising->m_bRaise = false;
    BOOL b = TRUE;
    EXPECT_EQ(S_OK, sp->GetStreamTransparent(&b)) << "an empty cache is filled on a later call";
    EXPECT_TRUE(pRaising->m_calls.size() == 1);
    EXPECT_TRUE(m_log.HasLine(L"Redirection: IMixerPinConfig::GetStreamTransparent(pbStreamTransparent)=0x0\n"))
        << "the log goes on after the faults";
    sp.Release();
    SetDownstream(NULL);
    EXPECT_EQ(1, pRaising->RefCount()) << "every reference the spy took is back";
    pRaising->Release();
}

// ---------------------------------------------------------------------------
// Pins and tear-offs that outlive the filter

TEST_F(RedirTest, PartsHeldAfterTheFilterIsGoneAnswerWithAnErrorAndLetGo)
{
    ConnectUpstream();
    SetDownstream(m_pDown);
    CComPtr<IMediaSeeking> spSeek;
    CComPtr<IKsPropertySet> spKs;
    CComPtr<IMixerPinConfig> spMixerFresh;  // never used while the filter lived
    CComPtr<IMixerPinConfig> spMixerKept;   // has kept the mixer
    ASSERT_EQ(S_OK, m_spy.Out()->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&spSeek)));
    ASSERT_EQ(S_OK, m_spy.In()->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&spKs)));
    ASSERT_EQ(S_OK, m_spy.In()->QueryInterface(IID_IMixerPinConfig, reinterpret_cast<void**>(&spMixerFresh)));
    ASSERT_EQ(S_OK, m_spy.In()->QueryInterface(IID_IMixerPinConfig, reinterpret_cast<void**>(&spMixerKept)));
    ASSERT_EQ(S_OK, spMixerKept->SetZOrder(1));
    CComPtr<IPin> spIn = m_spy.In();
    CComPtr<IPin> spOut = m_spy.Out();
    SetDownstream(NULL);
    ASSERT_EQ(S_OK, m_spy.In()->Disconnect());
    m_spy.Release();
    ASSERT_TRUE(m_log.HasLineContaining(L"FinalRelease()\n"));
    m_log.Reset();

    LONGLONG ll = 0;
    EXPECT_EQ(E_NOTIMPL, spSeek->GetCurrentPosition(&ll));
    EXPECT_EQ(E_NOTIMPL, spKs->Get(AM_KSPROPSETID_CopyProt, 1, NULL, 0, NULL, 0, NULL));
    EXPECT_EQ(S_OK, spMixerFresh->SetStreamTransparent(TRUE));
    EXPECT_EQ(E_NOTIMPL, spMixerFresh->SetZOrder(2));
    EXPECT_EQ(S_OK, spMixerKept->SetZOrder(3)) << "the kept mixer is a counted reference of its own";
    EXPECT_EQ(3u, m_pDown->m_dwZ);
    EXPECT_TRUE(m_log.HasLine(L"Can't redirect IMediaSeeking::GetCurrentPosition(pCurrent)\n"));
    EXPECT_TRUE(m_log.HasAssert("m_pFilter != NULL"));

    // The pins no longer offer the redirected interfaces; the tear-off does
    // not need the filter to be made.
    CComPtr<IMediaSeeking> spSeek2;
    EXPECT_EQ(E_NOINTERFACE, spOut->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&spSeek2)));
    CComPtr<IKsPropertySet> spKs2;
    EXPECT_EQ(E_NOINTERFACE, spIn->QueryInterface(IID_IKsPropertySet, reinterpret_cast<void**>(&spKs2)));
    CComPtr<IMixerPinConfig2> spMixer2;
    EXPECT_EQ(S_OK, spIn->QueryInterface(IID_IMixerPinConfig2, reinterpret_cast<void**>(&spMixer2)));
    EXPECT_EQ(E_NOTIMPL, spMixer2->GetZOrder(reinterpret_cast<DWORD*>(&ll)));

    // Letting go of everything destroys the pins (FilterTest checks that no
    // framework object is left) and hands every neighbour reference back
    // (TearDown checks the fakes).
    spSeek.Release();
    spKs.Release();
    spMixerFresh.Release();
    spMixerKept.Release();
    spMixer2.Release();
    EXPECT_EQ(1u, RefCount(spIn)) << "only the test holds the input pin";
    EXPECT_EQ(1u, RefCount(spOut)) << "only the test holds the output pin";
}

// ---------------------------------------------------------------------------
// In Wine's filter graph manager

class RedirGraphTest : public FilterTest
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

TEST_F(RedirGraphTest, TheGraphsSeekingReachesTheUpstreamPinThroughTheRendererAndTheSpy)
{
    dsfix::HangWatchdog watchdog(60000, "graph seeking");
    CSeekingPin* pUp = new CSeekingPin;
    {
        CSpyPtr spy;
        dsfix::TestGraph graph;
        ASSERT_EQ(S_OK, graph.Create());
        ASSERT_EQ(S_OK, graph.Add(spy.Filter(), L"Spy"));
        dsfix::ComPtr<IBaseFilter> spRenderer;
        ASSERT_EQ(S_OK, graph.AddNew(dsfix::CLSID_WineNullRenderer, L"Null Renderer", &spRenderer));
        // The upstream pin stands outside the graph; the spy's output
        // connects to Wine's renderer through the graph.
        ASSERT_EQ(S_OK, spy.In()->ReceiveConnection(pUp->Pin(), pUp->m_types[0].Ptr()));
        dsfix::ComPtr<IPin> spRendererIn = FirstPin(spRenderer.Get(), PINDIR_INPUT);
        ASSERT_TRUE(spRendererIn);
        ASSERT_EQ(S_OK, graph.ConnectDirect(spy.Out(), spRendererIn.Get(), NULL));

        dsfix::ComPtr<IMediaSeeking> spGraphSeeking;
        ASSERT_EQ(S_OK, graph.Builder()->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&spGraphSeeking)));
        m_log.Reset();
        LONGLONG llDuration = 0;
        EXPECT_EQ(S_OK, spGraphSeeking->GetDuration(&llDuration));
        EXPECT_EQ(123456789, llDuration);
        EXPECT_NE(pUp->m_seek.end(), std::find(pUp->m_seek.begin(), pUp->m_seek.end(), L"GetDuration"));
        DWORD dwCaps = 0;
        EXPECT_EQ(S_OK, spGraphSeeking->GetCapabilities(&dwCaps));
        EXPECT_EQ(pUp->m_dwCaps, dwCaps);
        EXPECT_TRUE(m_log.HasLine(Fmt(L"%s IMediaSeeking::GetCapabilities()\n", spy->m_apOut->GetTraceName())));
        EXPECT_TRUE(m_log.HasLine(L"Redirection: IMediaSeeking::GetCapabilities(pCapabilities)=0x0\n"));

        spy.In()->Disconnect();
        spGraphSeeking.Reset();
        spRendererIn.Reset();
        spRenderer.Reset();
        graph.Release();
    }
    EXPECT_EQ(1, pUp->RefCount());
    pUp->Release();
}

TEST_F(RedirGraphTest, WinesSampleGrabberAnswersThroughTheSpyAsItAnswersDirectly)
{
    dsfix::HangWatchdog watchdog(60000, "grabber seeking");
    CSpyPtr spy;
    dsfix::TestGraph graph;
    ASSERT_EQ(S_OK, graph.Create());
    dsfix::TestSourceConfig config;
    config.mediaTypes = { TestVideoType() };
    dsfix::TestSource* pSource = NULL;
    ASSERT_EQ(S_OK, dsfix::TestSource::Create(config, &pSource));
    dsfix::ComPtr<dsfix::TestSource> spSource;
    spSource.Attach(pSource);
    dsfix::ComPtr<IBaseFilter> spGrabber, spRenderer;
    ASSERT_EQ(S_OK, graph.Add(spSource.Get(), L"Source"));
    ASSERT_EQ(S_OK, graph.AddNew(dsfix::CLSID_WineSampleGrabber, L"Grabber", &spGrabber));
    ASSERT_EQ(S_OK, graph.Add(spy.Filter(), L"Spy"));
    ASSERT_EQ(S_OK, graph.AddNew(dsfix::CLSID_WineNullRenderer, L"Null Renderer", &spRenderer));
    dsfix::ComPtr<IPin> spGrabberIn = FirstPin(spGrabber.Get(), PINDIR_INPUT);
    dsfix::ComPtr<IPin> spGrabberOut = FirstPin(spGrabber.Get(), PINDIR_OUTPUT);
    dsfix::ComPtr<IPin> spRendererIn = FirstPin(spRenderer.Get(), PINDIR_INPUT);
    ASSERT_TRUE(spGrabberIn && spGrabberOut && spRendererIn);
    ASSERT_EQ(S_OK, graph.ConnectDirect(spSource->Pin(), spGrabberIn.Get(), NULL));
    ASSERT_EQ(S_OK, graph.ConnectDirect(spGrabberOut.Get(), spy.In(), NULL));
    ASSERT_EQ(S_OK, graph.ConnectDirect(spy.Out(), spRendererIn.Get(), NULL));

    dsfix::ComPtr<IMediaSeeking> spDirect;
    const HRESULT hrDirect = spGrabberOut->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&spDirect));
    CComPtr<IMediaSeeking> spThrough;
    const HRESULT hrThrough = spy.Out()->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&spThrough));
    ASSERT_EQ(hrDirect, hrThrough) << "the spy offers seeking exactly when Wine's pin does";
    if (FAILED(hrDirect))
        GTEST_SKIP() << "this Wine's Sample Grabber offers no seeking on its output pin";

    m_log.Reset();
    LONGLONG llDirect = -1, llThrough = -1;
    EXPECT_EQ(spDirect->GetDuration(&llDirect), spThrough->GetDuration(&llThrough));
    EXPECT_EQ(llDirect, llThrough);
    DWORD dwDirect = 0xFFFF, dwThrough = 0xFFFF;
    const HRESULT hrCaps = spDirect->GetCapabilities(&dwDirect);
    EXPECT_EQ(hrCaps, spThrough->GetCapabilities(&dwThrough));
    EXPECT_EQ(dwDirect, dwThrough);
    GUID fmtDirect = GUID_NULL, fmtThrough = GUID_NULL;
    EXPECT_EQ(spDirect->GetTimeFormat(&fmtDirect), spThrough->GetTimeFormat(&fmtThrough));
    EXPECT_TRUE(IsEqualGUID(fmtDirect, fmtThrough));
    EXPECT_TRUE(m_log.HasLine(Fmt(L"Redirection: IMediaSeeking::GetCapabilities(pCapabilities)=0x%X\n", hrCaps)));

    spDirect.Reset();
    spThrough.Release();
    spGrabberIn.Reset();
    spGrabberOut.Reset();
    spRendererIn.Reset();
    graph.Release();
}

} // namespace
