// CInputPin: flushing, end of stream, new segments and quality messages of
// the input pin.
#pragma once

#include "IPinImpl.h"
#include "Pin.h"
#include "PinTraceText.h"
#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"

#include <atlbase.h>
#include <atlcom.h>

// The input pin: flushing and the last segment, end of stream, flushes and
// new segments handed to the filter, and quality messages sent upstream.
template <class T, class TFilter>
class ATL_NO_VTABLE CInputPin : public CPinBase<T, TFilter>, public IPinImpl<T>, public IQualityControl
{
public:
    CInputPin() noexcept : CPinBase<T, TFilter>(PINDIR_INPUT), m_pQSink(NULL) { ResetSegment(); }

    LPCWSTR TraceName() { return static_cast<T*>(this)->GetTraceName(); }

    void ResetSegment()
    {
        m_bFlushing = FALSE;
        m_tStart = 0;
        m_tStop = 0;
        m_dRate = 1.0;
    }

    void ClearPin()
    {
        m_pQSink = NULL;
        ResetSegment();
        CPinBase<T, TFilter>::ClearPin();
    }

    // The default end of a connection: the input allocator goes (through the
    // pin class's ReleaseAllocator), then the peer, then the segment.
    void ClearConnection()
    {
        static_cast<T*>(this)->ReleaseAllocator();
        this->m_spConnected.Release();
        ResetSegment();
    }

    // Pin-level hooks with their defaults: every sample's attached type is
    // looked at; no change of type while the filter runs.
    BOOL CheckSampleMT() { return TRUE; }
    BOOL IsDynReconnectAllowed() { return FALSE; }

    // Takes a connection from an output pin while the filter is stopped, or,
    // when the pin class allows it, a new type from the same peer while the
    // filter runs. The whole negotiation holds the pin lock.
    STDMETHOD(ReceiveConnection)(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override
    {
        T* pPin = static_cast<T*>(this);
        this->TraceConnectionStart(L"+++++++++++++++ %s receive connection from ", pConnector, pmt);
        const HRESULT hr = AcceptConnection(pConnector, pmt);
        if (FAILED(hr))
            _LogTrace(atlTraceCOM, eTL_Info, L"WARNING. %s connection not accepted, hr=0x%X\n", pPin->GetTraceName(), hr);
        return hr;
    }

    // Refused while flushing; otherwise the filter's hook, outside the lock.
    STDMETHOD(EndOfStream)() override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IPinImpl::EndOfStream\n", TraceName());
        TFilter* pFilter = NULL;
        {
            typename T::ObjectLock lock(static_cast<T*>(this));
            if (m_bFlushing)
                return E_UNEXPECTED;
            pFilter = this->m_pFilter;
        }
        if (!ASSERT(pFilter != NULL))
            return E_UNEXPECTED;
        return pFilter->Filter_EndOfStream(this->m_dwCookie);
    }

    // The flag is set whatever the filter's hook answers.
    STDMETHOD(BeginFlush)() override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IPinImpl::BeginFlush\n", TraceName());
        typename T::ObjectLock lock(static_cast<T*>(this));
        m_bFlushing = TRUE;
        HRESULT hr = E_UNEXPECTED;
        if (ASSERT_TEXT(this->m_pFilter != NULL, "pFilter != NULL"))
            hr = this->m_pFilter->Filter_BeginFlush(this->m_dwCookie);
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IPinImpl::BeginFlush()=0x%X\n", TraceName(), hr);
        return hr;
    }

    // The segment is reset whatever the filter's hook answers.
    STDMETHOD(EndFlush)() override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IPinImpl::EndFlush\n", TraceName());
        typename T::ObjectLock lock(static_cast<T*>(this));
        HRESULT hr = E_UNEXPECTED;
        if (ASSERT_TEXT(this->m_pFilter != NULL, "pFilter != NULL"))
            hr = this->m_pFilter->Filter_EndFlush(this->m_dwCookie);
        ResetSegment();
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IPinImpl::EndFlush() = 0x%X\n", TraceName(), hr);
        return hr;
    }

    // The values are kept even when the filter's hook then fails.
    STDMETHOD(NewSegment)(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override
    {
        WCHAR szStart[50];
        WCHAR szStop[50];
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IPinImpl::NewSegment( tS=%s, tE=%s, rate=%g )\n", TraceName(),
                  ReferenceTimeToText(tStart, szStart), ReferenceTimeToText(tStop, szStop), dRate);
        TFilter* pFilter = NULL;
        {
            typename T::ObjectLock lock(static_cast<T*>(this));
            m_tStart = tStart;
            m_tStop = tStop;
            m_dRate = dRate;
            pFilter = this->m_pFilter;
        }
        if (!ASSERT(pFilter != NULL))
            return E_UNEXPECTED;
        return pFilter->Filter_NewSegment(this->m_dwCookie, tStart, tStop, dRate);
    }

    // The sink is not counted: its owner clears it before going away.
    STDMETHOD(SetSink)(IQualityControl* piqc) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IQualityControl::SetSink\n", TraceName());
        typename T::ObjectLock lock(static_cast<T*>(this));
        m_pQSink = piqc;
        return S_OK;
    }

    // To the sink when one is set, else to the upstream pin.
    STDMETHOD(Notify)(IBaseFilter* pSelf, Quality q) override
    {
        TraceQualityNotify(TraceName(), pSelf, q);
        CComPtr<IQualityControl> spTarget;
        {
            typename T::ObjectLock lock(static_cast<T*>(this));
            if (NULL != m_pQSink)
                spTarget = m_pQSink;
            else if (!this->IsConnected())
                return VFW_E_NOT_CONNECTED;
            else if (FAILED(this->m_spConnected->QueryInterface(IID_IQualityControl,
                                                                reinterpret_cast<void**>(&spTarget))) ||
                     !spTarget)
                return E_NOINTERFACE;
        }
        return spTarget->Notify(pSelf, q);
    }

    IQualityControl* m_pQSink;
    BYTE m_bFlushing;
    REFERENCE_TIME m_tStart;
    REFERENCE_TIME m_tStop;
    double m_dRate;

private:
    HRESULT AcceptConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt)
    {
        T* pPin = static_cast<T*>(this);
        ASSERT_TEXT(this->m_ePinDir == PINDIR_INPUT, "m_ePinDir == PINDIR_INPUT");
        if (!ASSERT(pConnector != NULL))
            return E_POINTER;
        if (!ASSERT(pmt != NULL))
            return E_POINTER;

        typename T::ObjectLock lock(pPin);
        TFilter* pFilter = this->m_pFilter;
        if (!ASSERT_TEXT(pFilter != NULL, "m_pFilter != NULL"))
            return E_UNEXPECTED;
        if (!this->IsCounterpart(pConnector))
            return VFW_E_INVALID_DIRECTION;
        const BOOL bConnected = this->IsConnected();
        if (State_Stopped == pFilter->FilterState())
        {
            if (bConnected)
                return VFW_E_ALREADY_CONNECTED;
        }
        else
        {
            if (!pPin->IsDynReconnectAllowed())
                return VFW_E_NOT_STOPPED;
            if (!bConnected)
            {
                ASSERT_TEXT(false, "CInputPin<>::ReceiveConnection(): Attempt of dynamic reconnection of free pin");
                return VFW_E_NOT_CONNECTED;
            }
            if (!this->m_spConnected.IsEqualObject(pConnector))
            {
                ASSERT_TEXT(false, "CInputPin<>::ReceiveConnection(): Dynamic reconnection with different pin");
                return E_FAIL;
            }
        }
        if (!pPin->QueryAcceptMT(pmt))
            return VFW_E_TYPE_NOT_ACCEPTED;

        CMType mtSaved;
        HRESULT hr = this->ReplaceMediaType(pmt, &mtSaved);
        if (FAILED(hr))
            return hr;
        if (bConnected)
            hr = pFilter->Filter_CompleteConnect(this->m_dwCookie);
        else
        {
            this->m_spConnected = pConnector;
            hr = pFilter->Filter_CompleteConnect(this->m_dwCookie);
            if (FAILED(hr))
                this->m_spConnected.Release();
        }
        if (FAILED(hr))
            pPin->m_mt.Set(&mtSaved);
        return hr;
    }
};
