// The pass-through allocator mode: while the input pin is reconnected after
// an output connection with the switch on, the input pin stands in for the
// downstream pin and answers upstream's connection and allocator requests by
// asking it (the input pin's calls of Connection.cpp come here while the mode
// lasts).
#include "Filter.h"

void CSpyFilter::EndPassThru()
{
    m_spDownstreamPin.Release();
    m_bReconnecting = 0;
}

HRESULT CSpyFilter::PassThru_ReceiveConnection(IPin*, const AM_MEDIA_TYPE* pmt)
{
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s PassThru_ReceiveConnection()\n", m_szTraceName);
    if (!ASSERT_TEXT(m_spDownstreamPin != NULL, "m_spDownstreamPin != NULL"))
        return E_FAIL;
    if (!ASSERT_TEXT(!m_apOut->IsConnected(), "!m_apOut->IsConnected()"))
        return E_FAIL;
    CComPtr<IPin> spDown = m_spDownstreamPin;
    CSpyStep step(this, eStep_PassThruConnect);
    return static_cast<IPin*>(m_apOut.p)->Connect(spDown, pmt);
}

HRESULT CSpyFilter::PassThru_Disconnect()
{
    if (!m_apOut->IsConnected())
    {
        _LogTrace(atlTraceGeneral, eTL_Error, L"%s PassThru_Disconnect(): output already disconnected\n",
                  m_szTraceName);
        EndPassThru();
        return S_OK;
    }
    // The mode changes only once the output's Disconnect succeeded (it is
    // refused while the filter is not stopped).
    if (!m_spDownstreamPin)
    {
        _LogTrace(atlTraceGeneral, eTL_Error, L"%s PassThru_Disconnect(): start reconnection\n", m_szTraceName);
        CComPtr<IPin> spDown = m_apOut->GetConnectedPin();
        ASSERT_TEXT(spDown != NULL, "m_spDownstreamPin != NULL");
        const HRESULT hr = static_cast<IPin*>(m_apOut.p)->Disconnect();
        if (S_OK == hr)
            m_spDownstreamPin = spDown;
        return hr;
    }
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s PassThru_Disconnect(): stop reconnection\n", m_szTraceName);
    const HRESULT hr = static_cast<IPin*>(m_apOut.p)->Disconnect();
    if (S_OK == hr)
        EndPassThru();
    return hr;
}

HRESULT CSpyFilter::PassThru_ConnectionMediaType(AM_MEDIA_TYPE* pmt)
{
    if (!ASSERT_TEXT(m_spDownstreamPin != NULL, "m_spDownstreamPin != NULL"))
        return E_FAIL;
    if (!ASSERT_TEXT(m_apOut->IsConnected(), "m_apOut->IsConnected()"))
        return E_FAIL;
    return m_spDownstreamPin->ConnectionMediaType(pmt);
}

HRESULT CSpyFilter::PassThru_QueryAccept(const AM_MEDIA_TYPE* pmt)
{
    if (!ASSERT_TEXT(m_spDownstreamPin != NULL, "m_spDownstreamPin != NULL"))
        return E_FAIL;
    return m_spDownstreamPin->QueryAccept(pmt);
}

HRESULT CSpyFilter::PassThru_EnumMediaTypes(IEnumMediaTypes** ppEnum)
{
    if (!ASSERT_TEXT(m_spDownstreamPin != NULL, "m_spDownstreamPin != NULL"))
        return E_FAIL;
    return m_spDownstreamPin->EnumMediaTypes(ppEnum);
}

namespace
{
// The downstream pin's IMemInputPin; E_NOINTERFACE when it has none.
HRESULT DownstreamMemInput(IPin* pPin, IMemInputPin** ppMemInput)
{
    *ppMemInput = NULL;
    const HRESULT hr = pPin->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(ppMemInput));
    if (!ASSERT_TEXT(SUCCEEDED(hr) && *ppMemInput != NULL, "spMemInputPin != NULL"))
        return FAILED(hr) ? hr : E_NOINTERFACE;
    return S_OK;
}
} // namespace

HRESULT CSpyFilter::PassThru_GetAllocator(IMemAllocator** ppAllocator)
{
    if (!ASSERT_TEXT(m_spDownstreamPin != NULL, "m_spDownstreamPin != NULL"))
        return E_FAIL;
    CComPtr<IMemInputPin> spMemInputPin;
    HRESULT hr = DownstreamMemInput(m_spDownstreamPin, &spMemInputPin);
    if (FAILED(hr))
        return hr;
    hr = spMemInputPin->GetAllocator(ppAllocator);
    if (FAILED(hr))
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s PassThru_GetAllocator(): GetAllocator()=0x%X\n",
                  m_szTraceName, hr);
    else
        _LogTrace(atlTraceGeneral, eTL_Error, L"%s PassThru_GetAllocator(): GetAllocator()=S_OK, *ppAllocator=0x%08X\n",
                  m_szTraceName,
                  static_cast<unsigned>(reinterpret_cast<UINT_PTR>(ppAllocator ? *ppAllocator : NULL)));
    return hr;
}

HRESULT CSpyFilter::PassThru_NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly)
{
    if (!ASSERT_TEXT(m_spDownstreamPin != NULL, "m_spDownstreamPin != NULL"))
        return E_FAIL;
    CComPtr<IMemInputPin> spMemInputPin;
    HRESULT hr = DownstreamMemInput(m_spDownstreamPin, &spMemInputPin);
    if (FAILED(hr))
        return hr;
    hr = spMemInputPin->NotifyAllocator(pAllocator, bReadOnly);
    if (FAILED(hr))
    {
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s PassThru_NotifyAllocator(): GetAllocator()=0x%X\n",
                  m_szTraceName, hr);
        return hr;
    }
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s PassThru_NotifyAllocator(): NotifyAllocator()=S_OK, pAllocator=0x%08X\n",
              m_szTraceName, static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pAllocator)));
    {
        CCritSecLock lock(m_apOut->m_csAllocator);
        m_apOut->m_spMemInput = spMemInputPin;
    }
    m_apOut->AttachAllocator(pAllocator, eAS_Upstream);
    return hr;
}

HRESULT CSpyFilter::PassThru_GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps)
{
    if (!ASSERT_TEXT(m_spDownstreamPin != NULL, "m_spDownstreamPin != NULL"))
        return E_FAIL;
    CComPtr<IMemInputPin> spMemInputPin;
    HRESULT hr = DownstreamMemInput(m_spDownstreamPin, &spMemInputPin);
    if (FAILED(hr))
        return hr;
    hr = spMemInputPin->GetAllocatorRequirements(pProps);
    if (FAILED(hr))
        _LogTrace(atlTraceGeneral, eTL_Error,
                  L"###Err### %s PassThru_GetAllocatorRequirements(): GetAllocatorRequirements()=0x%X\n", m_szTraceName,
                  hr);
    else
    {
        _LogTrace(atlTraceGeneral, eTL_Error, L"%s PassThru_GetAllocatorRequirements()\n", m_szTraceName);
        Debug_AllocatorProps(atlTraceGeneral, eTL_Error, pProps);
    }
    return hr;
}

HRESULT CSpyFilter::PassThru_ReceiveCanBlock()
{
    if (!ASSERT_TEXT(m_spDownstreamPin != NULL, "m_spDownstreamPin != NULL"))
        return E_FAIL;
    CComPtr<IMemInputPin> spMemInputPin;
    HRESULT hr = DownstreamMemInput(m_spDownstreamPin, &spMemInputPin);
    if (FAILED(hr))
        return hr;
    hr = spMemInputPin->ReceiveCanBlock();
    _LogTrace(atlTraceGeneral, eTL_Error, L"%s PassThru_ReceiveCanBlock(): ReceiveCanBlock()=0x%X\n", m_szTraceName,
              hr);
    return hr;
}
