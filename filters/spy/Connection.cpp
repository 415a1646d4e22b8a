// The spy filter's connection behaviour: a change of the input type carried
// downstream while the graph runs, the graph's reconnection of the input pin
// after every output connection (so that one allocator can serve both
// connections), the retry of the output allocator agreement with other
// types, and the pass-through allocator mode, in which the input pin answers
// upstream as the downstream pin would.
//
// The invariant: after any connection, reconnection or change of type that
// the filter starts or takes part in, either both pins are connected with
// types their neighbours accepted in ReceiveConnection, so that the chain can
// run, or the call that started it fails and the connections are as they
// were before it (the last working pair of types is restored). A call never
// answers S_OK for a chain that is only half made. The pieces:
// - while the output is connected, the input takes no type that the
//   downstream pin refused to connect with (Filter_QueryAcceptMT; a
//   downstream pin may accept a type in QueryAccept that it then refuses in
//   ReceiveConnection);
// - a new input type reaches the output through ReconnectOutput, which checks
//   that the downstream pin took it and otherwise brings the last working
//   type back, so that the input's new type is refused and upstream offers
//   its next one;
// - an output connection made for the input's sake, or to restore, does not
//   have the input reconnected again, and a connection asked for with a
//   complete type ends with that type or fails (AgreeExchange);
// - an output connection whose reconnection of the input fails, or leaves
//   either pin unconnected, is undone and the input gets its old connection
//   back (COutput::Connect, Filter_CompleteConnectOutput);
// - the pass-through mode ends with any failed reconnection, and while it
//   lasts an output connection it did not make keeps the input's type;
// - a setter that reconnects (ForcePassthruAllocator) runs only while the
//   whole graph is stopped and restores both connections when it fails.
// Wine runs the graph's reconnections on the caller's thread, so their
// outcome is checked at once; where the graph reconnects later, the pins are
// left to it.
#include "Filter.h"

#include <DSFunctions.h>
#include <DSVideo.h>

namespace
{
// {1B544C20-FD0B-11CE-8C63-00AA0044B51E}
const CLSID kClsidAviSplitter = { 0x1B544C20, 0xFD0B, 0x11CE, { 0x8C, 0x63, 0x00, 0xAA, 0x00, 0x44, 0xB5, 0x1E } };
// {CD8743A1-3736-11D0-9E69-00C04FD7C15B}
const CLSID kClsidOverlayMixer = { 0xCD8743A1, 0x3736, 0x11D0, { 0x9E, 0x69, 0x00, 0xC0, 0x4F, 0xD7, 0xC1, 0x5B } };

// TRUE when pmt's subtype is a YUV row of the picture-format table.
BOOL IsYuvPicture(const AM_MEDIA_TYPE* pmt)
{
    for (const PictureFormat& rgFormat : CPictureFormats::s_rgFormats)
        if (rgFormat.bYUV && IsEqualGUID(*rgFormat.pSubtype, pmt->subtype))
            return TRUE;
    return FALSE;
}
} // namespace

// ---------------------------------------------------------------------------
// Input pin: template or pass-through proxy

STDMETHODIMP CInput::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt)
{
    if (m_pFilter && m_pFilter->m_bReconnecting)
    {
        HRESULT hr = m_pFilter->PassThru_ReceiveConnection(pConnector, pmt);
        if (S_OK != hr)
            return hr;
        hr = CInputPin<CInput, CSpyFilter>::ReceiveConnection(pConnector, pmt);
        // The output connection made for this one is undone with it, so
        // that the output is not left connected under an unconnected input.
        if (S_OK != hr)
            static_cast<IPin*>(m_pFilter->m_apOut.p)->Disconnect();
        return hr;
    }
    return CInputPin<CInput, CSpyFilter>::ReceiveConnection(pConnector, pmt);
}

STDMETHODIMP CInput::Disconnect()
{
    if (!IsConnected())
        return S_OK;
    if (m_pFilter && m_pFilter->m_bReconnecting)
    {
        const HRESULT hr = m_pFilter->PassThru_Disconnect();
        if (S_OK != hr)
            return hr;
    }
    return IPinImpl<CInput>::Disconnect();
}

STDMETHODIMP CInput::ConnectionMediaType(AM_MEDIA_TYPE* pmt)
{
    if (m_pFilter && m_pFilter->m_bReconnecting)
        return m_pFilter->PassThru_ConnectionMediaType(pmt);
    return IPinImpl<CInput>::ConnectionMediaType(pmt);
}

STDMETHODIMP CInput::QueryAccept(const AM_MEDIA_TYPE* pmt)
{
    if (m_pFilter && m_pFilter->m_bReconnecting)
        return m_pFilter->PassThru_QueryAccept(pmt);
    return IPinImpl<CInput>::QueryAccept(pmt);
}

STDMETHODIMP CInput::EnumMediaTypes(IEnumMediaTypes** ppEnum)
{
    if (m_pFilter && m_pFilter->m_bReconnecting)
        return m_pFilter->PassThru_EnumMediaTypes(ppEnum);
    return IPinImpl<CInput>::EnumMediaTypes(ppEnum);
}

STDMETHODIMP CInput::GetAllocator(IMemAllocator** ppAllocator)
{
    if (m_pFilter && m_pFilter->m_bReconnecting)
    {
        const HRESULT hr = m_pFilter->PassThru_GetAllocator(ppAllocator);
        m_bOwnAllocator = FALSE;
        return hr;
    }
    const HRESULT hr = CMemInputPinFilter<CInput>::GetAllocator(ppAllocator);
    m_bOwnAllocator = (S_OK == hr) ? TRUE : FALSE;
    return hr;
}

STDMETHODIMP CInput::NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly)
{
    if (m_pFilter && m_pFilter->m_bReconnecting)
    {
        const HRESULT hr = m_pFilter->PassThru_NotifyAllocator(pAllocator, bReadOnly);
        if (S_OK != hr)
            return hr;
        return CMemInputPinFilter<CInput>::NotifyAllocator(pAllocator, bReadOnly);
    }
    HRESULT hr = CMemInputPinFilter<CInput>::NotifyAllocator(pAllocator, bReadOnly);
    if (S_OK != hr || !m_pFilter)
        return hr;
    hr = m_pFilter->Filter_CompleteConnectInput();
    if (FAILED(hr))
    {
        ObjectLock lock(this);
        m_pFilter->Filter_DisconnectPin(m_dwCookie);
        ClearConnection();
    }
    return hr;
}

STDMETHODIMP CInput::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps)
{
    if (m_pFilter && m_pFilter->m_bReconnecting)
        return m_pFilter->PassThru_GetAllocatorRequirements(pProps);
    return CMemInputPinFilter<CInput>::GetAllocatorRequirements(pProps);
}

STDMETHODIMP CInput::ReceiveCanBlock()
{
    if (m_pFilter && m_pFilter->m_bReconnecting)
        return m_pFilter->PassThru_ReceiveCanBlock();
    return CMemInputPinFilter<CInput>::ReceiveCanBlock();
}

// ---------------------------------------------------------------------------
// Output pin

STDMETHODIMP COutput::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
{
    if (NULL != pReceivePin)
    {
        CComPtr<IBaseFilter> spFilter;
        HRESULT hr = GetPinFilter(pReceivePin, &spFilter);
        ASSERT_TEXT(S_OK == hr, "hr == S_OK");
        if (S_OK == hr)
        {
            FILTER_INFO info;
            ZeroMemory(&info, sizeof(info));
            hr = spFilter->QueryFilterInfo(&info);
            ASSERT_TEXT(S_OK == hr, "hr == S_OK");
            if (S_OK == hr)
            {
                _LogTrace(atlTraceGeneral, eTL_Error, L"Name: '%s'\n", info.achName);
                if (info.pGraph)
                    info.pGraph->Release();
            }
        }
    }
    // A complete type is the only type this connection may end with; a
    // connection nested in this one (Wine reconnects on this thread) has its
    // own. The flag is set under the pin's lock, which the template's
    // connection holds throughout, so that a Connect on another thread waits
    // before it changes the flag of this one.
    // The input's type is copied before the pin's lock is taken (the input
    // pin's lock comes first), for the questions the connection asks about
    // it; a connection nested in one that holds the lock keeps the copy of
    // the outer one.
    CMType mtInNow;
    BYTE bInNow = FALSE;
    const bool bNested = IsLockOwner();
    if (!bNested && m_pFilter && m_pFilter->m_apIn)
    {
        CInput::ObjectLock lockIn(m_pFilter->m_apIn.p);
        if (m_pFilter->m_apIn->IsConnected() && SUCCEEDED(mtInNow.Set(&m_pFilter->m_apIn->m_mt)))
            bInNow = TRUE;
    }
    HRESULT hr = S_OK;
    {
        CCallOutLock lock(m_gateCallOut, m_critsec.m_sec);
        const BYTE bTypeGivenOuter = m_bTypeGiven;
        m_bTypeGiven = IsGuidSet(pmt) ? TRUE : FALSE;
        if (!bNested)
            m_bInAtConnect = bInNow && SUCCEEDED(m_mtInAtConnect.Set(&mtInNow)) ? TRUE : FALSE;
        hr = COutputPin<COutput, CSpyFilter>::Connect(pReceivePin, pmt);
        m_bTypeGiven = bTypeGivenOuter;
        if (!bNested)
            m_bInAtConnect = FALSE;
    }
    CSpyFilter* pFilter = m_pFilter;
    if (S_OK != hr || !pFilter)
        return hr;

    // The input's connection as it stands, to be given back when its
    // reconnection fails.
    CComPtr<IPin> spUp;
    CMType mtIn;
    {
        CInput::ObjectLock lockIn(pFilter->m_apIn.p);
        spUp = pFilter->m_apIn->m_spConnected;
        mtIn.Set(&pFilter->m_apIn->m_mt);
    }
    hr = pFilter->Filter_CompleteConnectOutput();
    if (FAILED(hr))
    {
        {
            ObjectLock lock(this);
            if (IsConnected())
            {
                pFilter->Filter_DisconnectPin(m_dwCookie);
                ClearConnection();
            }
        }
        if (spUp)
            pFilter->RestoreInput(spUp, &mtIn);
    }
    return hr;
}

HRESULT COutput::AgreeExchange()
{
    // The pass-through mode's own connection: the downstream allocator is
    // agreed through the input pin. Any other connection made while the
    // mode lasts (the graph may reconnect this pin for a neighbour) agrees
    // its allocator as usual.
    if (m_pFilter && CSpyStep::IsRunning(m_pFilter, eStep_PassThruConnect))
        return S_OK;
    HRESULT hr = AgreeAllocator();
    if (S_OK == hr)
        return S_OK;
    // A connection asked for with a complete type ends with that type or
    // not at all.
    if (m_bTypeGiven)
        return FAILED(hr) ? hr : E_FAIL;

    CComPtr<IEnumMediaTypes> spEnum;
    hr = static_cast<IPin*>(this)->EnumMediaTypes(&spEnum);
    if (FAILED(hr) || !spEnum)
    {
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s: AgreeExchange(): EnumMediaTypes()=0x%X\n", m_szTraceName,
                  hr);
        return E_FAIL;
    }
    CMType mtKept;
    if (FAILED(mtKept.Set(&m_mt)))
        return E_OUTOFMEMORY;
    m_arrSubtypes.Add(m_mt.subtype);
    if (!ASSERT_TEXT(m_spConnected != NULL, "m_spConnected != NULL"))
        return E_UNEXPECTED;
    CComPtr<IPin> spDown = m_spConnected;

    for (;;)
    {
        AM_MEDIA_TYPE* pmt = NULL;
        ULONG n = 0;
        hr = spEnum->Next(1, &pmt, &n);
        if (S_OK != hr)
        {
            MTDelete(pmt);
            break;
        }
        const bool bOne = ASSERT_TEXT(n == 1, "n == 1");
        if (!ASSERT_TEXT(pmt != NULL, "pmt != NULL") || !bOne)
        {
            MTDelete(pmt);
            hr = E_UNEXPECTED;
            break;
        }
        // The type that has just failed would only fail again.
        if (MTIsEqual(pmt, &mtKept))
        {
            MTDelete(pmt);
            continue;
        }
        HRESULT hrStep = m_mt.Set(pmt);
        ASSERT_TEXT(S_OK == hrStep, "hr == S_OK");
        _LogTrace(atlTraceGeneral, eTL_Info, L"-----------------------------\n");
        Debug_MediaType(atlTraceGeneral, eTL_Info, pmt);
        spDown->Disconnect();
        hrStep = spDown->QueryAccept(pmt);
        if (S_OK != hrStep)
        {
            _LogTrace(atlTraceGeneral, eTL_Info, L"%s: AgreeExchange(): m_spConnected->QueryAccept()=0x%X\n",
                      m_szTraceName, hrStep);
            MTDelete(pmt);
            continue;
        }
        hrStep = spDown->ReceiveConnection(static_cast<IPin*>(this), pmt);
        if (S_OK != hrStep)
        {
            TypeRefused(spDown, pmt, hrStep);
            _LogTrace(atlTraceGeneral, eTL_Info, L"%s: AgreeExchange(): m_spConnected->ReceiveConnection()=0x%X\n",
                      m_szTraceName, hrStep);
            MTDelete(pmt);
            continue;
        }
        _LogTrace(atlTraceGeneral, eTL_Info, L"%s: AgreeExchange(): connection accepted\n", m_szTraceName);
        hrStep = AgreeAllocator();
        if (S_OK != hrStep)
            m_arrSubtypes.Add(pmt->subtype);
        MTDelete(pmt);
        if (S_OK == hrStep)
            return S_OK;
    }
    m_mt.Set(&mtKept);
    return FAILED(hr) ? hr : E_FAIL;
}

// ---------------------------------------------------------------------------
// The filter's connection hooks

HRESULT CSpyFilter::Filter_CompleteConnect(DWORD dwCookie)
{
    if (PINDIR_INPUT == dwCookie)
    {
        Debug_PinMediaTypes(atlTraceGeneral, eTL_Error, static_cast<IPin*>(m_apIn.p));
        if (m_apIn->m_spConnected)
            Debug_AMStreamConfig(atlTraceGeneral, eTL_Error, m_apIn->m_spConnected);
        if (IsEqualGUID(m_apIn->m_mt.formattype, dsx::KSDATAFORMAT_SPECIFIER_VBI) &&
            m_apIn->m_mt.cbFormat >= sizeof(KS_VBIINFOHEADER) && NULL != m_apIn->m_mt.pbFormat)
            Debug_KsVBIInfoHeader(atlTraceGeneral, eTL_Error,
                                  reinterpret_cast<const KS_VBIINFOHEADER*>(m_apIn->m_mt.pbFormat), L"[In] ");

        // A first connection: the output side follows once the allocator is
        // known. But while the output stands connected with another type, the
        // downstream pin must really connect with this one: the output is
        // reconnected with it now, so that a refusal is the answer to this
        // ReceiveConnection and upstream offers its next type (not every
        // upstream pin tries another type after a failed allocator).
        if (!m_apIn->m_spAllocIn)
        {
            if (m_bReconnecting || State_Stopped != FilterState() || !m_apOut->IsConnected())
                return S_OK;
            CMType mtNew;
            HRESULT hr = mtNew.Set(&m_apIn->m_mt);
            if (FAILED(hr))
                return hr;
            {
                if (!EnterOutputForInput(L"Filter_CompleteConnect", L"its type is left to its connection"))
                    return S_OK;
                CCritSecLeave leave(m_apOut->m_critsec.m_sec);
                if (MTIsEqual(&m_apOut->m_mt, &mtNew))
                    return S_OK;
            }
            return ReconnectOutput(&mtNew);
        }

        // A change of type on the live connection.
        CMType mtNew;
        HRESULT hr = mtNew.Set(&m_apIn->m_mt);
        if (FAILED(hr))
            return hr;
        if (!m_apOut->IsConnected())
        {
            if (!EnterOutputForInput(L"Filter_CompleteConnect", L"its type is left to its connection"))
                return S_OK;
            CCritSecLeave leave(m_apOut->m_critsec.m_sec);
            return m_apOut->m_mt.Set(&mtNew);
        }
        if (State_Stopped == FilterState())
            return ReconnectOutput(&mtNew);

        if (!m_apIn->m_spAllocIn.IsEqualObject(m_apOut->GetAllocatorOut()))
        {
            ASSERT_TEXT(FALSE, "CSpyFilter::Filter_CompleteConnect(): Separate allocators are used");
            return E_FAIL;
        }
        CComPtr<IPin> spDown = m_apOut->GetConnectedPin();
        if (!spDown)
            return VFW_E_NOT_CONNECTED;
        CMType mtKept;
        {
            if (!EnterOutputForInput(L"Filter_CompleteConnect", L"the change of type is refused"))
                return VFW_E_WRONG_STATE;
            CCritSecLeave leave(m_apOut->m_critsec.m_sec);
            hr = mtKept.Set(&m_apOut->m_mt);
            if (SUCCEEDED(hr))
                hr = m_apOut->m_mt.Set(&mtNew);
        }
        if (FAILED(hr))
            return hr;
        hr = spDown->ReceiveConnection(static_cast<IPin*>(m_apOut.p), &mtNew);
        if (S_OK != hr)
        {
            _LogTrace(atlTraceGeneral, eTL_Error,
                      L"###Err### %s Filter_CompleteConnect(): Dynamic reconnection failed, ReceiveConnection()=0x%X\n",
                      m_szTraceName, hr);
            if (EnterOutputForInput(L"Filter_CompleteConnect", L"the refused type stays on it"))
            {
                CCritSecLeave leave(m_apOut->m_critsec.m_sec);
                m_apOut->m_mt.Set(&mtKept);
            }
            // A success code other than S_OK is a refusal too.
            return FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
        }
        return S_OK;
    }
    if (PINDIR_OUTPUT == dwCookie)
    {
        CComPtr<IMemInputPin> spMemInput;
        if (FAILED(m_apOut->GetConnectedMemInputPin(&spMemInput)) || !spMemInput)
        {
            _LogTrace(atlTraceGeneral, eTL_Error,
                      L"###Err### %s Filter_CompleteConnect(): downstream pin not support IMemInputPin\n", m_szTraceName);
            return VFW_E_NOT_SAMPLE_CONNECTION;
        }
        return S_OK;
    }
    ASSERT_TEXT(FALSE, "CTransInPlaceFilter::Filter_CompleteConnect(): Unknown cookie");
    return E_ABORT;
}

HRESULT CSpyFilter::Filter_CompleteConnectInput()
{
    if (!ASSERT_TEXT(m_apIn->IsConnected(), "m_apIn->IsConnected()"))
        return VFW_E_NOT_CONNECTED;
    CMType mtIn;
    HRESULT hr = S_OK;
    {
        CInput::ObjectLock lock(m_apIn.p);
        hr = mtIn.Set(&m_apIn->m_mt);
    }
    if (FAILED(hr))
        return hr;
    if (!m_apOut->IsConnected())
    {
        // The upstream pin may call here holding a lock of its own, while the
        // output pin, connecting on another thread, holds its lock and asks
        // the upstream pin: behind a connecting output pin the wait is
        // bounded. An output pin that stays in its connection that long
        // leaves the type it offers to that connection, after which the
        // graph reconnects the input anyway. Behind the pin's other holders,
        // which keep its lock for moments, the call waits its turn.
        if (!EnterOutputForInput(L"Filter_CompleteConnectInput", L"its type is left to its connection"))
            return S_OK;
        CCritSecLeave leave(m_apOut->m_critsec.m_sec);
        return m_apOut->m_mt.Set(&mtIn);
    }
    if (State_Stopped == FilterState())
        return ReconnectOutput(&mtIn);
    CComPtr<IMemAllocator> spAllocIn = m_apIn->m_spAllocIn;
    if (!spAllocIn)
        return S_OK;

    // The allocator of a live type change: the downstream pin is told again.
    CComPtr<IMemAllocator> spAllocOut = m_apOut->GetAllocatorOut();
    ASSERT_TEXT(spAllocOut != NULL, "m_apOut->m_spAllocOut != NULL");
    if (!spAllocIn.IsEqualObject(spAllocOut))
    {
        ASSERT_TEXT(FALSE, "CSpyFilter::Filter_CompleteConnectInput(): Allocators are different");
        return E_FAIL;
    }
    m_apOut->AllocatorActivate(false);
    CComPtr<IMemInputPin> spMemInput = m_apOut->GetConnectedMemInput();
    if (!ASSERT_TEXT(spMemInput != NULL, "m_apOut->m_spMemInput != NULL"))
        return E_UNEXPECTED;
    hr = spMemInput->NotifyAllocator(spAllocIn, m_apIn->m_bReadOnly);
    if (FAILED(hr))
        _LogTrace(atlTraceGeneral, eTL_Error,
                  L"###Err### %s Filter_CompleteConnectInput(): Allocator agreement for dynamic reconnection failed, "
                  L"NotifyAllocator()=0x%X\n",
                  m_szTraceName, hr);
    else
        m_apOut->AllocatorActivate(true);
    return hr;
}

HRESULT CSpyFilter::Filter_CompleteConnectOutput()
{
    // The pass-through mode's own output connection, and an output
    // connection made for the input's sake, leave the input as it is.
    if (m_bReconnecting || CSpyStep::IsRunning(this, eStep_KeepInput | eStep_Restoring))
        return S_OK;
    // Without an input connection there is nothing the graph could
    // reconnect.
    if (!ASSERT_TEXT(m_apIn->IsConnected(), "m_apIn->IsConnected()"))
        return VFW_E_NOT_CONNECTED;
    const bool bForced = 0 != m_bForcePassthru;
    if (bForced)
    {
        _LogTrace(atlTraceGeneral, eTL_Error, L"%s Filter_CompleteConnectOutput(): Reconnection\n", m_szTraceName);
        m_bReconnecting = 1;
    }
    const bool bOutputBefore = m_apOut->IsConnected() ? true : false;
    HRESULT hr = ReconnectPin(static_cast<IPin*>(m_apIn.p), NULL);
    // Where the graph reconnected the input at once, the input must stand
    // connected now, and the output too when it was; anything else is a
    // half-made chain.
    if (SUCCEEDED(hr) && (!m_apIn->IsConnected() || (bOutputBefore && !m_apOut->IsConnected())))
    {
        _LogTrace(atlTraceGeneral, eTL_Error,
                  L"###Err### %s Filter_CompleteConnectOutput(): the reconnection left the %s pin unconnected\n",
                  m_szTraceName, m_apIn->IsConnected() ? L"output" : L"input");
        hr = VFW_E_NOT_CONNECTED;
    }
    // A failed reconnection must not leave the mode behind: without its
    // stored downstream pin the next output connection would be taken for
    // the mode's own and agree no allocator.
    if (bForced && FAILED(hr))
        EndPassThru();
    return hr;
}

BOOL CSpyFilter::Filter_QueryAcceptMT(DWORD dwCookie, const AM_MEDIA_TYPE* pmt)
{
    if (!ASSERT(pmt != NULL))
        return FALSE;
    Debug_MediaType(atlTraceGeneral, eTL_Info, pmt, L"[Query] ");
    if (PINDIR_OUTPUT == dwCookie && CSpyStep::IsRunning(this, eStep_PassThruConnect | eStep_Restoring))
        return TRUE;
    // While the pass-through mode lasts the input is not reconnected after
    // an output connection that the mode did not make (the graph may
    // reconnect the output for a neighbour): such a connection may only
    // carry the type the input has.
    if (PINDIR_OUTPUT == dwCookie && m_bReconnecting && m_apIn && m_apIn->IsConnected())
    {
        if (!IsInputType(pmt))
        {
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"%s Filter_QueryAcceptMT(): the pass-through mode keeps the input's media type\n",
                      m_szTraceName);
            return FALSE;
        }
    }
    if (!CTransInPlaceFilter::Filter_QueryAcceptMT(dwCookie, pmt))
        return AcceptChangedYuvType(dwCookie, pmt);
    if (m_apOut && m_apOut->IsConnected())
    {
        // The downstream pin's QueryAccept may accept what it then refuses
        // to connect with: the input takes no type it refused before.
        if (PINDIR_INPUT == dwCookie && m_apOut->WasRefusedDownstream(pmt))
        {
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"%s Filter_QueryAcceptMT(): Downstream filter refused this media type in ReceiveConnection\n",
                      m_szTraceName);
            return FALSE;
        }
        return m_apOut->IsNewSubtype(pmt->subtype);
    }
    return TRUE;
}

HRESULT CSpyFilter::ReconnectOutput(const AM_MEDIA_TYPE* pmt)
{
    CComPtr<IPin> spDown = m_apOut->GetConnectedPin();
    CMType mtOld;
    {
        if (!EnterOutputForInput(L"ReconnectOutput", L"its type is left to its connection"))
            return S_OK;
        CCritSecLeave leave(m_apOut->m_critsec.m_sec);
        const HRESULT hrCopy = mtOld.Set(&m_apOut->m_mt);
        if (FAILED(hrCopy))
            return hrCopy;
    }
    const LONG nGeneration = m_apOut->ConnectGeneration();
    HRESULT hr = S_OK;
    {
        CSpyStep step(this, eStep_KeepInput);
        hr = MakeReconnect(static_cast<IPin*>(m_apOut.p), pmt);
    }
    // Nothing happened on this thread: the types were equal, or the graph
    // reconnects later.
    if (nGeneration == m_apOut->ConnectGeneration() || !spDown)
        return hr;
    if (SUCCEEDED(hr))
    {
        COutput::ObjectLock lock(m_apOut.p);
        if (m_apOut->IsConnected() && MTIsEqual(&m_apOut->m_mt, pmt))
            return S_OK;
        hr = VFW_E_TYPE_NOT_ACCEPTED;
    }
    _LogTrace(atlTraceGeneral, eTL_Error,
              L"###Err### %s ReconnectOutput(): the downstream pin did not connect with the new type, hr=0x%X; the "
              L"last working type is restored\n",
              m_szTraceName, hr);
    // Recorded with the failure itself: one that speaks of the downstream
    // pin's state (not stopped, still connected) says nothing of the type.
    m_apOut->TypeRefused(spDown, pmt, hr);
    RestoreOutput(spDown, &mtOld);
    return hr;
}

bool CSpyFilter::EnterOutputForInput(LPCWSTR pszStep, LPCWSTR pszOutcome)
{
    if (m_apOut->m_gateCallOut.EnterUnlessCalledOut(m_apOut->m_critsec.m_sec, OUTPUT_PIN_WAIT_MS))
        return true;
    _LogTrace(atlTraceGeneral, eTL_Warning, L"WARNING. %s %s(): output pin busy for %u ms, %s\n", m_szTraceName, pszStep,
              static_cast<unsigned>(OUTPUT_PIN_WAIT_MS), pszOutcome);
    return false;
}

BOOL CSpyFilter::IsInputType(const AM_MEDIA_TYPE* pmt)
{
    if (m_apOut->IsLockOwner())
        return m_apOut->m_bInAtConnect && MTIsEqual(&m_apOut->m_mtInAtConnect, pmt);
    CInput::ObjectLock lockIn(m_apIn.p);
    return MTIsEqual(&m_apIn->m_mt, pmt);
}

void CSpyFilter::CopyPinTypes(CMType* pIn, CMType* pOut)
{
    {
        CInput::ObjectLock lockIn(m_apIn.p);
        pIn->Set(&m_apIn->m_mt);
    }
    COutput::ObjectLock lockOut(m_apOut.p);
    pOut->Set(&m_apOut->m_mt);
}

HRESULT CSpyFilter::RestoreOutput(IPin* spDown, const AM_MEDIA_TYPE* pmt)
{
    IPin* pOut = static_cast<IPin*>(m_apOut.p);
    CSpyStep step(this, eStep_Restoring);
    if (m_apOut->IsConnected())
    {
        CComPtr<IPin> spNow = m_apOut->GetConnectedPin();
        COutput::ObjectLock lock(m_apOut.p);
        if (spNow.IsEqualObject(spDown) && MTIsEqual(&m_apOut->m_mt, pmt))
            return S_OK;
        Filter_DisconnectPin(PINDIR_OUTPUT);
        m_apOut->ClearConnection();
    }
    const HRESULT hr = pOut->Connect(spDown, pmt);
    if (FAILED(hr))
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s RestoreOutput(): Connect()=0x%X\n", m_szTraceName, hr);
    return hr;
}

HRESULT CSpyFilter::RestoreInput(IPin* spUp, const AM_MEDIA_TYPE* pmt)
{
    if (m_apIn->IsConnected())
        return S_OK;
    // A pass-through mode that did not come through has nothing to stand in
    // for.
    if (m_bReconnecting && (!m_spDownstreamPin || !m_apOut->IsConnected()))
        EndPassThru();
    const HRESULT hr = spUp->Connect(static_cast<IPin*>(m_apIn.p), pmt);
    if (FAILED(hr))
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s RestoreInput(): Connect()=0x%X\n", m_szTraceName, hr);
    return hr;
}

BOOL CSpyFilter::AcceptChangedYuvType(DWORD dwCookie, const AM_MEDIA_TYPE* pmt)
{
    if (PINDIR_OUTPUT != dwCookie || !m_apIn || !m_apOut || !m_apIn->IsConnected() || !m_apOut->IsConnected())
        return FALSE;
    if (!IsYuvPicture(pmt))
        return FALSE;
    CComPtr<IPin> spUp = m_apIn->m_spConnected;
    CComPtr<IPin> spDown = m_apOut->GetConnectedPin();
    if (!spUp || !spDown)
        return FALSE;
    CLSID clsidUp = GUID_NULL;
    CLSID clsidDown = GUID_NULL;
    if (FAILED(GetPinFilterClsid(spUp, &clsidUp)) || FAILED(GetPinFilterClsid(spDown, &clsidDown)))
        return FALSE;
    if (!IsEqualGUID(clsidUp, kClsidAviSplitter) || !IsEqualGUID(clsidDown, kClsidOverlayMixer))
        return FALSE;
    _LogTrace(atlTraceGeneral, eTL_Error,
              L"%s Filter_QueryAcceptMT(): we between AviSplitter and OverlayMixer, accepts changed YUV type\n",
              m_szTraceName);
    return TRUE;
}
