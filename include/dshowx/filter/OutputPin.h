// COutputPin: the output pin's connection negotiation, its downstream
// IMemInputPin, quality sink and media-type enumeration.
#pragma once

#include "DSEnums.h"
#include "IPinImpl.h"
#include "Pin.h"
#include "PinTraceText.h"
#include "alloc/SampleSnapshot.h"
#include "text/ObjectDumps.h"
#include "text/StructureDumps.h"
#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"

#include <atlbase.h>
#include <atlcom.h>

// ---------------------------------------------------------------------------
// The output pin: its allocator lock, the downstream pin's IMemInputPin, the
// quality sink, the media-type enumeration that may offer the upstream types,
// the negotiation of a connection, and the default end of a connection.
//
// The connected pin, the downstream IMemInputPin and the output allocator are
// written under the allocator lock, so that the streaming thread can take
// counted copies of them (GetConnectedPin, GetConnectedMemInput, GetSample)
// while the graph thread ends the connection.
template <class T, class TFilter>
class ATL_NO_VTABLE COutputPin : public CPinBase<T, TFilter>, public IPinImpl<T>, public IQualityControl
{
public:
    COutputPin() : CPinBase<T, TFilter>(PINDIR_OUTPUT), m_pQSink(NULL) {}

    LPCWSTR TraceName() { return static_cast<T*>(this)->GetTraceName(); }

    void ClearPin()
    {
        m_pQSink = NULL;
        CPinBase<T, TFilter>::ClearPin();
    }

    // The downstream pin, with a reference of its own, or NULL. Safe on any
    // thread while the connection may end on another.
    CComPtr<IPin> GetConnectedPin()
    {
        CCritSecLock lock(m_csAllocator);
        return this->m_spConnected;
    }

    // The downstream pin's IMemInputPin, counted, or NULL; safe on the
    // streaming thread like GetConnectedPin.
    CComPtr<IMemInputPin> GetConnectedMemInput()
    {
        CCritSecLock lock(m_csAllocator);
        return m_spMemInput;
    }

    // The default end of a connection: the allocator agreement is undone and
    // the downstream pin is told to disconnect. The media type stays. The
    // allocator is decommitted and the downstream pin called after the
    // allocator lock is released.
    void ClearConnection()
    {
        T* pPin = static_cast<T*>(this);
        if (!pPin->IsConnected())
            return;
        CComPtr<IMemAllocator> spAllocator;
        CComPtr<IMemInputPin> spMemInput;
        CComPtr<IPin> spPeer;
        {
            CCritSecLock lock(m_csAllocator);
            pPin->DetachAllocator(&spAllocator);
            spMemInput.Attach(m_spMemInput.Detach());
            spPeer.Attach(this->m_spConnected.Detach());
            ++m_nConnectGeneration;
        }
        if (spAllocator)
            spAllocator->Decommit();
        if (spPeer)
            spPeer->Disconnect();
    }

    // Connects to pReceivePin while the filter is stopped: with a complete
    // type only that type; otherwise the downstream pin's types, then this
    // pin's own, then the filter's fallback (Filter_AgreeMT). Once a type is
    // agreed the pin class's AgreeExchange finishes the connection (the
    // allocator); when that fails the connection is undone. The whole
    // negotiation holds the pin lock.
    STDMETHOD(Connect)(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override
    {
        T* pPin = static_cast<T*>(this);
        this->TraceConnectionStart(L"*************** %s start of connection to ", pReceivePin, pmt);
        const HRESULT hr = ConnectCore(pReceivePin, pmt);
        if (S_OK == hr)
        {
            _LogTrace(atlTraceGeneral, eTL_Info, L"*************** %s connection established\n", pPin->GetTraceName());
            return S_OK;
        }
        _LogTrace(atlTraceGeneral, eTL_Info, L"*** WARNING *** %s connection not accepted, hr=0x%X\n",
                  pPin->GetTraceName(), hr);
        return FAILED(hr) ? hr : VFW_E_NO_ACCEPTABLE_TYPES;
    }

    // The downstream pin's types, then this pin's own.
    HRESULT AgreeMT(IPin* pReceivePin)
    {
        if (!ASSERT(pReceivePin != NULL))
            return E_POINTER;
        const HRESULT hr = AgreeExternMT(pReceivePin);
        if (S_OK == hr)
            return S_OK;
        return AgreeInnerMT(pReceivePin);
    }

    HRESULT AgreeExternMT(IPin* pReceivePin)
    {
        if (!ASSERT(pReceivePin != NULL))
            return E_POINTER;
        CComPtr<IEnumMediaTypes> spEnum;
        HRESULT hr = pReceivePin->EnumMediaTypes(&spEnum);
        if (SUCCEEDED(hr))
            hr = TryMediaTypes(pReceivePin, spEnum);
        return AgreeResult(hr, L"AgreeExternMT");
    }

    // This pin's own types, as its IPin::EnumMediaTypes gives them (the
    // upstream types when redirection is on).
    HRESULT AgreeInnerMT(IPin* pReceivePin)
    {
        if (!ASSERT(pReceivePin != NULL))
            return E_POINTER;
        CComPtr<IEnumMediaTypes> spEnum;
        HRESULT hr = static_cast<IPin*>(static_cast<T*>(this))->EnumMediaTypes(&spEnum);
        if (SUCCEEDED(hr))
            hr = TryMediaTypes(pReceivePin, spEnum);
        return AgreeResult(hr, L"AgreeInnerMT");
    }

    // Tries each type of pEnum until one connects. An enumerator that claims
    // an item and hands out none ends the search.
    HRESULT TryMediaTypes(IPin* pReceivePin, IEnumMediaTypes* pEnum)
    {
        _LogTrace(atlTraceGeneral, eTL_Verbose, L"%s TryMediaTypes\n", TraceName());
        if (!ASSERT(pEnum != NULL))
            return E_POINTER;
        HRESULT hr = pEnum->Reset();
        if (FAILED(hr))
            return hr;
        for (;;)
        {
            AM_MEDIA_TYPE* pmt = NULL;
            ULONG ulMediaCount = 0;
            hr = pEnum->Next(1, &pmt, &ulMediaCount);
            if (S_OK != hr)
            {
                MTDelete(pmt);
                break;
            }
            const bool bOne = ASSERT(ulMediaCount == 1);
            if (!ASSERT(pmt != NULL) || !bOne)
            {
                MTDelete(pmt);
                break;
            }
            const HRESULT hrAttempt = AttemptConnection(pReceivePin, pmt);
            MTDelete(pmt);
            if (S_OK == hrAttempt)
                return S_OK;
        }
        return FAILED(hr) ? hr : VFW_E_NO_ACCEPTABLE_TYPES;
    }

    // One type, when this side accepts it: the pin takes it and asks the
    // downstream pin; a refusal puts the previous type back.
    HRESULT AttemptConnection(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
    {
        T* pPin = static_cast<T*>(this);
        _LogTrace(atlTraceGeneral, eTL_Verbose, L"%s AttemptConnection\n", TraceName());
        if (!ASSERT(pmt != NULL))
            return E_POINTER;
        if (!pPin->QueryAcceptMT(pmt))
            return VFW_E_TYPE_NOT_ACCEPTED;
        CMType mtSaved;
        HRESULT hr = this->ReplaceMediaType(pmt, &mtSaved);
        if (FAILED(hr))
            return hr;
        hr = ExecConnection(pReceivePin);
        if (S_OK == hr)
            return S_OK;
        pPin->m_mt.Set(&mtSaved);
        return FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
    }

    // Offers the pin's type to pReceivePin. The pin counts as connected while
    // the downstream pin decides, so that it can ask us back.
    HRESULT ExecConnection(IPin* pReceivePin)
    {
        T* pPin = static_cast<T*>(this);
        _LogTrace(atlTraceGeneral, eTL_Verbose, L"%s ExecConnection\n", TraceName());
        TFilter* pFilter = this->m_pFilter;
        if (!ASSERT_TEXT(pFilter != NULL, "m_pFilter != NULL"))
            return E_UNEXPECTED;
        if (!ASSERT(pReceivePin != NULL))
            return E_POINTER;
        ASSERT_TEXT(this->IsCounterpart(pReceivePin), "IsCounterpart(pReceivePin)");
        CMType mt;
        HRESULT hr = mt.Set(&pPin->m_mt);
        if (FAILED(hr))
            return hr;
        if (!mt.IsValid())
            return VFW_E_TYPE_NOT_ACCEPTED;

        CComPtr<IPin> spSelf(static_cast<IPin*>(pPin));
        SetConnected(pReceivePin);
        const LONG nGeneration = m_nConnectGeneration;
        hr = pReceivePin->ReceiveConnection(spSelf, &mt);
        if (nGeneration != m_nConnectGeneration)
        {
            // The downstream pin had the graph reconnect or disconnect this
            // pin while it decided (Wine does that on this thread).
            _LogTrace(atlTraceGeneral, eTL_Warning,
                      L"WARNING. %s ExecConnection(): connection changed while the downstream pin decided, "
                      L"ReceiveConnection()=0x%X\n",
                      TraceName(), hr);
            // A connection that call made, and that both ends know of,
            // stands, and the negotiation ends here; so does an accepted one.
            if (S_OK == hr || IsMutuallyConnected())
            {
                if (S_OK == hr && !this->IsConnected())
                    pReceivePin->Disconnect();
                m_bSettledInside = TRUE;
                return S_OK;
            }
            // Refused, and nothing was made inside: the type failed like any
            // refused type, and the next one is tried.
            if (this->m_spConnected.IsEqualObject(pReceivePin))
                SetConnected(NULL);
            pPin->TypeRefused(pReceivePin, &mt, hr);
            return FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
        }
        if (S_OK != hr)
        {
            _LogTrace(atlTraceGeneral, eTL_Info, L"%s ExecConnection(): m_spConnected->ReceiveConnection()=0x%X\n",
                      TraceName(), hr);
            SetConnected(NULL);
            pPin->TypeRefused(pReceivePin, &mt, hr);
            return FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
        }
        _LogTrace(atlTraceGeneral, eTL_Info, L"%s ExecConnection(): connection accepted\n", TraceName());
        Debug_MediaType(atlTraceGeneral, eTL_Info, &mt);
        hr = pFilter->Filter_CompleteConnect(this->m_dwCookie);
        if (S_OK == hr)
            return S_OK;
        _LogTrace(atlTraceGeneral, eTL_Info, L"%s ExecConnection(): m_pFilter->Filter_CompleteConnect()=0x%X\n",
                  TraceName(), hr);
        pReceivePin->Disconnect();
        SetConnected(NULL);
        return FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
    }

    // Pin-level hook: pReceivePin refused pmt in ReceiveConnection with hr.
    // The default forgets it.
    void TypeRefused(IPin*, const AM_MEDIA_TYPE*, HRESULT) {}

    // Counts every change of the connected pin (see m_nConnectGeneration).
    LONG ConnectGeneration() const { return m_nConnectGeneration; }

    // The pin is connected to a pin that says it is connected to this one.
    BOOL IsMutuallyConnected()
    {
        CComPtr<IPin> spPeer = GetConnectedPin();
        if (!spPeer)
            return FALSE;
        CComPtr<IPin> spBack;
        if (S_OK != spPeer->ConnectedTo(&spBack) || !spBack)
            return FALSE;
        return spBack.IsEqualObject(static_cast<IPin*>(static_cast<T*>(this)));
    }

    // The default allocator step of AgreeExchange: the in-place agreement
    // with the downstream pin's IMemInputPin, which is kept on success.
    HRESULT AgreeAllocator()
    {
        T* pPin = static_cast<T*>(this);
        ASSERT(!m_spMemInput);
        CComPtr<IMemInputPin> spMemInput;
        HRESULT hr = this->GetConnectedMemInputPin(&spMemInput);
        if (SUCCEEDED(hr) && !spMemInput)
            hr = E_NOINTERFACE;
        if (SUCCEEDED(hr))
            hr = pPin->AllocatorAgree(spMemInput);
        if (S_OK == hr)
        {
            {
                CCritSecLock lock(m_csAllocator);
                m_spMemInput = spMemInput;
            }
            _LogTrace(atlTraceGeneral, eTL_Info, L"%s Allocator agreement successful\n", TraceName());
            return S_OK;
        }
        _LogTrace(atlTraceGeneral, eTL_Info, L"%s Allocator agreement FAILED, hr=0x%X\n", TraceName(), hr);
        return FAILED(hr) ? hr : E_FAIL;
    }

    // An empty delivery sample of the output allocator. The allocator is
    // taken under the allocator lock; the wait for a free buffer holds no
    // lock at all.
    HRESULT GetSample(IMediaSample** ppSample, DWORD dwFlags)
    {
        T* pPin = static_cast<T*>(this);
        if (!ASSERT(ppSample != NULL))
            return E_POINTER;
        *ppSample = NULL;
        CComPtr<IMemAllocator> spMemAlloc = pPin->GetAllocatorOut();
        if (!spMemAlloc)
            return VFW_E_NO_ALLOCATOR;
        const HRESULT hr = spMemAlloc->GetBuffer(ppSample, NULL, NULL, dwFlags);
        if (S_OK == hr)
            return S_OK;
        if (NULL != *ppSample)
        {
            (*ppSample)->Release();
            *ppSample = NULL;
        }
        if (0 != (dwFlags & AM_GBF_NOWAIT) && VFW_E_TIMEOUT == hr)
            _LogTrace(atlTraceGeneral, eTL_Verbose, L"###Err### %s GetSample(): spMemAlloc->GetBuffer()=VFW_E_TIMEOUT\n",
                      TraceName());
        else if (VFW_E_NOT_COMMITTED == hr)
            _LogTrace(atlTraceGeneral, eTL_Error, L"%s GetSample(): spMemAlloc->GetBuffer()=VFW_E_NOT_COMMITTED\n",
                      TraceName());
        else
            _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s GetSample(): spMemAlloc->GetBuffer()=0x%X\n", TraceName(),
                      hr);
        return FAILED(hr) ? hr : E_FAIL;
    }

    // The same, then the snapshot of the sample's buffer, attached type and
    // type-specific flags.
    template <class TCopier>
    HRESULT GetSample(IMediaSample** ppSample, CSampleT<TCopier>* pSnapshot, DWORD dwFlags)
    {
        const HRESULT hr = GetSample(ppSample, dwFlags);
        if (S_OK != hr || NULL == pSnapshot)
            return hr;
        const HRESULT hrLoad = pSnapshot->Load(*ppSample, PM_BUFFER | PM_MEDIATYPE | PM_TYPEFLAGS);
        return (S_FALSE == hrLoad) ? S_OK : hrLoad;
    }

    // With redirection on (the pin class's m_bMTEnumRedir exactly 1) and an
    // upstream pin connected to the filter's input, the upstream pin's own
    // enumerator, so that downstream sees the upstream types; otherwise the
    // pin's own one-type enumerator. The upstream pin is called outside the
    // pin's lock.
    STDMETHOD(EnumMediaTypes)(IEnumMediaTypes** ppEnum) override
    {
        T* pPin = static_cast<T*>(this);
        CComPtr<IPin> spUpstream;
        {
            typename T::ObjectLock lock(pPin);
            if (1 == pPin->m_bMTEnumRedir)
                pPin->_PinBase::QueryRedirect(IID_IPin, reinterpret_cast<void**>(&spUpstream));
            if (!spUpstream)
                return IPinImpl<T>::EnumMediaTypes(ppEnum);
        }
        return spUpstream->EnumMediaTypes(ppEnum);
    }

    STDMETHOD(SetSink)(IQualityControl* piqc) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IQualityControl::SetSink\n", TraceName());
        typename T::ObjectLock lock(static_cast<T*>(this));
        m_pQSink = piqc;
        return S_OK;
    }

    // To the sink when one is set, else to the filter's hook (which sends the
    // message upstream through the input pin).
    STDMETHOD(Notify)(IBaseFilter* pSelf, Quality q) override
    {
        TraceQualityNotify(TraceName(), pSelf, q);
        CComPtr<IQualityControl> spSink;
        TFilter* pFilter = NULL;
        {
            typename T::ObjectLock lock(static_cast<T*>(this));
            spSink = m_pQSink;
            pFilter = this->m_pFilter;
        }
        if (spSink)
            return spSink->Notify(pSelf, q);
        if (!ASSERT_TEXT(pFilter != NULL, "pPin->m_pFilter != NULL"))
            return E_UNEXPECTED;
        return pFilter->Filter_QualityNotify(this->m_dwCookie, pSelf, q);
    }

    CComAutoCriticalSection m_csAllocator;
    // The pin's own lock is held across calls to the neighbours while the
    // pin connects; questions from upstream pass the gate (Wrappers.h).
    CCallOutGate m_gateCallOut;
    CComPtr<IMemInputPin> m_spMemInput;
    IQualityControl* m_pQSink;

private:
    HRESULT ConnectCore(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
    {
        T* pPin = static_cast<T*>(this);
        ASSERT_TEXT(this->m_ePinDir == PINDIR_OUTPUT, "m_ePinDir == PINDIR_OUTPUT");
        if (!ASSERT(pReceivePin != NULL))
            return E_POINTER;

        typename T::ObjectLock lock(pPin);
        TFilter* pFilter = this->m_pFilter;
        if (!ASSERT_TEXT(pFilter != NULL, "m_pFilter != NULL"))
            return E_UNEXPECTED;
        if (this->IsConnected())
            return VFW_E_ALREADY_CONNECTED;
        if (!this->IsCounterpart(pReceivePin))
            return VFW_E_INVALID_DIRECTION;
        if (State_Stopped != pFilter->FilterState())
            return VFW_E_NOT_STOPPED;

        HRESULT hr = S_OK;
        if (IsGuidSet(pmt))
            hr = AttemptConnection(pReceivePin, pmt);
        else
        {
            hr = AgreeMT(pReceivePin);
            if (S_OK != hr)
                hr = pFilter->Filter_AgreeMT(this->m_dwCookie, pReceivePin);
        }
        if (S_OK != hr)
            return hr;
        if (m_bSettledInside)
        {
            m_bSettledInside = FALSE;
            return this->IsConnected() ? S_OK : VFW_E_NOT_CONNECTED;
        }

        // Anything but S_OK undoes the connection: a success code would
        // otherwise leave the pins connected under a failed Connect.
        hr = pPin->AgreeExchange();
        if (S_OK == hr)
            return S_OK;
        pFilter->Filter_DisconnectPin(this->m_dwCookie);
        pPin->ClearConnection();
        return hr;
    }

    // The end of AgreeExternMT and AgreeInnerMT: the trace and the result,
    // a success code other than S_OK turned into VFW_E_NO_ACCEPTABLE_TYPES.
    HRESULT AgreeResult(HRESULT hr, LPCWSTR pszStep)
    {
        if (S_OK == hr)
        {
            _LogTrace(atlTraceGeneral, eTL_Verbose, L"%s %s() successful\n", TraceName(), pszStep);
            return S_OK;
        }
        _LogTrace(atlTraceGeneral, eTL_Info, L"%s %s() FAILED, hr=0x%X\n", TraceName(), pszStep, hr);
        return FAILED(hr) ? hr : VFW_E_NO_ACCEPTABLE_TYPES;
    }

    void SetConnected(IPin* pPin)
    {
        CCritSecLock lock(m_csAllocator);
        this->m_spConnected = pPin;
        ++m_nConnectGeneration;
    }

    // Counts every change of the connected pin, so that a negotiation sees
    // a change made by a call nested in its own downstream call.
    LONG m_nConnectGeneration = 0;
    // Such a nested call settled the connection being negotiated.
    BYTE m_bSettledInside = FALSE;
};
