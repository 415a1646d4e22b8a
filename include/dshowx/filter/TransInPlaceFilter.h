// CTransInPlaceFilter: the in-place transform filter, whose one buffer passes
// through.
#pragma once

#include "InPlaceAllocator.h"
#include "MorphletFilter.h"
#include "alloc/MemoryAllocator.h"
#include "alloc/SampleSnapshot.h"
#include "text/ObjectDumps.h"
#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"

#include <atlbase.h>
#include <atlcom.h>

// An in-place transform filter: one buffer passes through, so a media type
// is acceptable on one side only when the neighbour on the other side takes
// it too.
template <class T, class TIn, class TOut>
class CTransInPlaceFilter : public CMorphlet<T, TIn, TOut>
{
public:
    CTransInPlaceFilter() noexcept : m_bSeparateAllocators(FALSE) {}

    using CMorphlet<T, TIn, TOut>::OUTPUT_PIN_WAIT_MS;

    BOOL Filter_QueryAcceptMT(DWORD dwCookie, const AM_MEDIA_TYPE* pmt)
    {
        T* pT = static_cast<T*>(this);
        ASSERT(pmt != NULL);
        if (!IsGuidSet(pmt))
            return FALSE;
        if (PINDIR_INPUT == dwCookie)
        {
            if (!ASSERT_TEXT(this->m_apOut != NULL, "m_apOut != NULL"))
                return FALSE;
            CComPtr<IPin> spDownstream = this->m_apOut->GetConnectedPin();
            if (!spDownstream)
                return TRUE;
            if (S_OK == spDownstream->QueryAccept(pmt))
                return TRUE;
            _LogTrace(atlTraceGeneral, eTL_Info, L"%s Filter_QueryAcceptMT(): Downstream filter don't accept media type\n",
                      pT->GetTraceName());
            return FALSE;
        }
        if (PINDIR_OUTPUT == dwCookie)
        {
            if (!ASSERT_TEXT(this->m_apIn != NULL, "m_apIn != NULL"))
                return FALSE;
            CComPtr<IPin> spUpstream = this->m_apIn->m_spConnected;
            if (!spUpstream)
                return FALSE;
            if (this->m_apOut && this->m_apOut->IsConnected())
            {
                _LogTrace(atlTraceGeneral, eTL_Info, L"%s Filter_QueryAcceptMT(): Inverse query about change of media type\n",
                          pT->GetTraceName());
                Debug_MediaType(atlTraceGeneral, eTL_Info, pmt);
            }
            if (S_OK == spUpstream->QueryAccept(pmt))
                return TRUE;
            _LogTrace(atlTraceGeneral, eTL_Info, L"%s Filter_QueryAcceptMT(): Upstream filter don't accept media type\n",
                      pT->GetTraceName());
            return FALSE;
        }
        ASSERT_TEXT(FALSE, "CTransInPlaceFilter::Filter_QueryAcceptMT(): Unknown cookie");
        return FALSE;
    }

    void Filter_DisconnectPin(DWORD dwCookie)
    {
        CMorphlet<T, TIn, TOut>::Filter_DisconnectPin(dwCookie);
        m_bSeparateAllocators = FALSE;
    }

    // The in-place filter's last resort for an output connection: the types
    // of the upstream pin, offered downstream one by one.
    HRESULT Filter_AgreeMT(DWORD dwCookie, IPin* pReceivePin)
    {
        T* pT = static_cast<T*>(this);
        ASSERT(dwCookie == PINDIR_OUTPUT);
        if (!ASSERT_TEXT(this->m_apIn != NULL && this->m_apOut != NULL, "m_apIn != NULL && m_apOut != NULL"))
            return E_UNEXPECTED;
        if (!ASSERT(pReceivePin != NULL))
            return E_POINTER;
        CComPtr<IPin> spUpstream = this->m_apIn->m_spConnected;
        if (!spUpstream)
            return E_FAIL;
        CComPtr<IEnumMediaTypes> spEnum;
        HRESULT hr = spUpstream->EnumMediaTypes(&spEnum);
        if (S_OK != hr || !spEnum)
            return FAILED(hr) ? hr : E_FAIL;
        _LogTrace(atlTraceGeneral, eTL_Info, L"%s Filter_AgreeMT(): Try to connect output pin with upstream media types\n",
                  pT->GetTraceName());
        return this->m_apOut->TryMediaTypes(pReceivePin, spEnum);
    }

    // The allocator the input pin offers upstream: the output allocator when
    // the output is connected with the input's type (one buffer then passes
    // through), else a new allocator of ours for every call.
    //
    // The upstream pin may ask while it holds a lock of its own, and the
    // output pin holds its lock while it connects, which asks the upstream
    // pin: behind a connecting output pin the wait is bounded, and when the
    // connection keeps the pin that long the answer is a new allocator (as
    // for an output that is not connected), with a warning. Behind other
    // holders of the output pin's lock, which keep it for moments, the call
    // waits its turn and the answer does not change.
    HRESULT Filter_GetAllocator(DWORD dwCookie, IMemAllocator** ppAllocator)
    {
        ASSERT(dwCookie == PINDIR_INPUT);
        if (!ASSERT_TEXT(this->m_apIn != NULL && this->m_apOut != NULL, "m_apIn != NULL && m_apOut != NULL"))
            return E_UNEXPECTED;
        if (!ASSERT(ppAllocator != NULL))
            return E_POINTER;
        *ppAllocator = NULL;
        CRITICAL_SECTION& csOut = this->m_apOut->m_critsec.m_sec;
        if (!this->m_apOut->m_gateCallOut.EnterUnlessCalledOut(csOut, OUTPUT_PIN_WAIT_MS))
            _LogTrace(atlTraceGeneral, eTL_Warning,
                      L"WARNING. %s Filter_GetAllocator(): output pin busy for %u ms, a new allocator is handed out\n",
                      static_cast<T*>(this)->GetTraceName(), static_cast<unsigned>(OUTPUT_PIN_WAIT_MS));
        else
        {
            CCritSecLeave leave(csOut);
            if (this->m_apOut->IsConnected() && MTIsEqual(&this->m_apOut->m_mt, &this->m_apIn->m_mt))
            {
                // Connected but without an allocator (between a reconnection
                // and its agreement): a new one, never a NULL one.
                CComPtr<IMemAllocator> spAllocOut = this->m_apOut->GetAllocatorOut();
                if (ASSERT_TEXT(spAllocOut != NULL, "m_apOut->m_spAllocOut != NULL"))
                {
                    *ppAllocator = spAllocOut.Detach();
                    return S_OK;
                }
            }
        }
        return TOut::CreateAllocator(ppAllocator);
    }

    // Upstream notified its allocator. With the output connected: separated
    // allocators unless it is the output allocator; when the output allocator
    // was the input's one passed through, the new one is passed through in
    // its place, and a failure to restore disconnects the output.
    HRESULT Filter_NotifyAllocator(DWORD dwCookie, IMemAllocator* pAllocator, BOOL bReadOnly)
    {
        T* pT = static_cast<T*>(this);
        if (!ASSERT(pAllocator != NULL))
            return E_POINTER;
        if (!ASSERT_TEXT(this->m_apIn != NULL && this->m_apOut != NULL, "m_apIn != NULL && m_apOut != NULL"))
            return E_UNEXPECTED;
        if (!this->m_apOut->IsConnected())
            return S_OK;
        m_bSeparateAllocators = this->m_apOut->GetAllocatorOut().IsEqualObject(pAllocator) ? FALSE : TRUE;
        if (m_bSeparateAllocators && eAS_Upstream == this->m_apOut->m_eAllocSrc)
        {
            const HRESULT hr = this->m_apOut->AgreePassThroughAllocator(dwCookie, pAllocator, 1 == bReadOnly);
            if (FAILED(hr))
            {
                _LogTrace(atlTraceGeneral, eTL_Error,
                          L"###Err### %s Filter_NotifyAllocator(): Re-agreement of allocator for output pin failed, hr=0x%X\n",
                          pT->GetTraceName(), hr);
                static_cast<IPin*>(this->m_apOut.p)->Disconnect();
                return hr;
            }
            m_bSeparateAllocators = this->m_apOut->GetAllocatorOut().IsEqualObject(pAllocator) ? FALSE : TRUE;
        }
        if (m_bSeparateAllocators)
            _LogTrace(atlTraceGeneral, eTL_Info, L"@@@@ %s Filter_NotifyAllocator(): Use separated allocators\n",
                      pT->GetTraceName());
        else
            _LogTrace(atlTraceGeneral, eTL_Info, L"@@@@ %s Filter_NotifyAllocator(): Use through-pass allocator\n",
                      pT->GetTraceName());
        return S_OK;
    }

    // What the downstream pin asks of an allocator; E_NOTIMPL while the output
    // is not connected.
    HRESULT Filter_GetAllocatorRequirements(DWORD dwCookie, ALLOCATOR_PROPERTIES* pProps)
    {
        (void)dwCookie;
        if (!ASSERT(pProps != NULL))
            return E_POINTER;
        if (!ASSERT_TEXT(this->m_apOut != NULL, "m_apOut != NULL"))
            return E_UNEXPECTED;
        CComPtr<IPin> spDownstream = this->m_apOut->GetConnectedPin();
        if (!spDownstream)
            return E_NOTIMPL;
        CComPtr<IMemInputPin> spMemInput;
        HRESULT hr = spDownstream->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&spMemInput));
        if (FAILED(hr) || !spMemInput)
            return FAILED(hr) ? hr : E_NOINTERFACE;
        return spMemInput->GetAllocatorRequirements(pProps);
    }

    // The input connection's allocator for the output agreement, usable
    // unless it is read-only; S_FALSE while the input is not connected.
    HRESULT Filter_GetTransInPlaceAlloc(DWORD dwCookie, IMemAllocator** ppAllocIn, bool* pbUseInAllocator,
                                        bool* pbReadOnly)
    {
        ASSERT(dwCookie == PINDIR_OUTPUT);
        if (!ASSERT(ppAllocIn != NULL) || !ASSERT(pbUseInAllocator != NULL) || !ASSERT(pbReadOnly != NULL))
            return E_POINTER;
        *ppAllocIn = NULL;
        *pbUseInAllocator = false;
        *pbReadOnly = false;
        if (!ASSERT_TEXT(this->m_apIn != NULL, "m_apIn != NULL"))
            return E_UNEXPECTED;
        if (!this->m_apIn->IsConnected())
            return S_FALSE;
        CComPtr<IMemAllocator> spAllocIn = this->m_apIn->m_spAllocIn;
        ASSERT_TEXT(this->m_apIn->m_spAllocIn != NULL, "m_apIn->m_spAllocIn != NULL");
        *ppAllocIn = spAllocIn.Detach();
        *pbReadOnly = (1 == this->m_apIn->m_bReadOnly);
        *pbUseInAllocator = !*pbReadOnly;
        return S_OK;
    }

    BYTE m_bSeparateAllocators;
};
