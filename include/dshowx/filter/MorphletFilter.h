// CMorphlet: a filter with one input and one output pin, its state change and
// the default filter-level hooks.
#pragma once

#include "BaseFilter.h"
#include "text/ObjectDumps.h"
#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"

#include <atlbase.h>
#include <atlcom.h>

#include <memory>
#include <new>

// ---------------------------------------------------------------------------
// Transform filter templates

// A filter with exactly one input pin and one output pin: owns them, runs
// the state change, and supplies the default filter-level hooks.
template <class T, class TIn, class TOut>
class CMorphlet : public CBaseFilter<T>
{
public:
    CMorphlet() noexcept {}

    virtual ~CMorphlet()
    {
        if (m_apOut)
            m_apOut->SetFilter(NULL);
        m_apOut.Release();
        if (m_apIn)
            m_apIn->SetFilter(NULL);
        m_apIn.Release();
    }

    // Creates a pin object with one reference (the caller's): cookie set
    // before its final construction, then named.
    template <class TPin>
    static HRESULT CreatePin(CComObject<TPin>** ppPinObject, DWORD dwCookie, LPCWSTR pszName)
    {
        if (!ASSERT(ppPinObject != NULL))
            return E_POINTER;
        *ppPinObject = NULL;
        CComObject<TPin>* p = NULL;
        try
        {
            p = new (std::nothrow) CComObject<TPin>();
        }
        catch (...)
        {
            p = NULL;
        }
        if (NULL == p)
            return E_OUTOFMEMORY;
        p->m_dwCookie = dwCookie;
        const HRESULT hr = ATL::_AtlFinalConstructObject(p);
        if (S_OK != hr)
        {
            delete p;
            return FAILED(hr) ? hr : E_FAIL;
        }
        p->AddRef();
        p->SetName(pszName);
        *ppPinObject = p;
        return S_OK;
    }

    HRESULT CreatePins(LPCWSTR pszIn, LPCWSTR pszOut)
    {
        const LPCWSTR pszInName = (NULL != pszIn && 0 != pszIn[0]) ? pszIn : L"In";
        const LPCWSTR pszOutName = (NULL != pszOut && 0 != pszOut[0]) ? pszOut : L"Out";
        ClearPins();
        HRESULT hr = CreatePin<TIn>(&m_apIn, PINDIR_INPUT, pszInName);
        if (S_OK == hr)
            hr = CreatePin<TOut>(&m_apOut, PINDIR_OUTPUT, pszOutName);
        if (S_OK != hr)
        {
            m_apOut.Release();
            m_apIn.Release();
            return FAILED(hr) ? hr : E_FAIL;
        }
        T* pT = static_cast<T*>(this);
        m_apIn->SetFilter(pT);
        m_apOut->SetFilter(pT);
        return S_OK;
    }

    // Lets both pins go, output first. Each pin loses its link to the filter
    // before the filter's reference goes, since a host may still hold it.
    void ClearPins()
    {
        ASSERT(static_cast<T*>(this)->FilterState() == State_Stopped);
        if (m_apOut)
        {
            ASSERT(!m_apOut->IsConnected());
            m_apOut->ClearPin();
            m_apOut->SetFilter(NULL);
            m_apOut.Release();
        }
        if (m_apIn)
        {
            ASSERT(!m_apIn->IsConnected());
            m_apIn->ClearPin();
            m_apIn->SetFilter(NULL);
            m_apIn.Release();
        }
    }

    // Called by the filter class when it leaves its graph; the pins stay.
    void Reset()
    {
        if (m_apOut)
            m_apOut->ClearPin();
        if (m_apIn)
            m_apIn->ClearPin();
        CBaseFilter<T>::Reset();
    }

    BOOL AreAllPinsConnected() const
    {
        return m_apIn && m_apOut && m_apIn->IsConnected() && m_apOut->IsConnected();
    }

    // The state change, under the filter lock: Paused and Running need both
    // pins connected; the output allocator is committed (or decommitted for
    // Stopped) first, and the state moves only when that succeeded.
    HRESULT Filter_SetFilterState(FILTER_STATE eState, REFERENCE_TIME tStart)
    {
        if (!ASSERT(eState == State_Stopped || eState == State_Paused || eState == State_Running))
            return E_INVALIDARG;
        if (State_Stopped != eState && !AreAllPinsConnected())
        {
            CBaseFilter<T>::SetFilterState(State_Stopped, tStart);
            return VFW_E_WRONG_STATE;
        }
        if (!m_apOut)
            return VFW_E_NOT_CONNECTED;
        const HRESULT hr = m_apOut->AllocatorActivate(State_Stopped != eState);
        if (S_OK == hr)
            CBaseFilter<T>::SetFilterState(eState, tStart);
        return hr;
    }

    // The pin at nIndex (0 input, 1 output) with a reference; S_FALSE for any
    // other index or a pin that does not exist.
    HRESULT GetPin(UINT nIndex, IPin** ppPin)
    {
        if (0 == nIndex && m_apIn)
        {
            ASSERT_TEXT(m_apIn->m_pFilter != NULL, "m_apIn->m_pFilter != NULL && _T(\"m_apIn->SetFilter() is not called\")");
            return m_apIn.CopyTo(ppPin);
        }
        if (1 == nIndex && m_apOut)
        {
            ASSERT_TEXT(m_apOut->m_pFilter != NULL,
                        "m_apOut->m_pFilter != NULL && _T(\"m_apOut->SetFilter() is not called\")");
            return m_apOut.CopyTo(ppPin);
        }
        return S_FALSE;
    }

    // A quality message from downstream goes upstream through the input pin.
    HRESULT Filter_QualityNotify(DWORD dwCookie, IBaseFilter* pSelf, Quality q)
    {
        ASSERT(dwCookie == PINDIR_OUTPUT);
        if (!ASSERT(m_apIn != NULL))
            return E_UNEXPECTED;
        return m_apIn->Notify(pSelf, q);
    }

    HRESULT Filter_EndOfStream(DWORD dwCookie)
    {
        CComPtr<IPin> spDownstream;
        const HRESULT hr = GetDownstreamPin(dwCookie, &spDownstream);
        return (S_OK == hr) ? spDownstream->EndOfStream() : hr;
    }

    HRESULT Filter_BeginFlush(DWORD dwCookie)
    {
        CComPtr<IPin> spDownstream;
        const HRESULT hr = GetDownstreamPin(dwCookie, &spDownstream);
        return (S_OK == hr) ? spDownstream->BeginFlush() : hr;
    }

    HRESULT Filter_EndFlush(DWORD dwCookie)
    {
        CComPtr<IPin> spDownstream;
        const HRESULT hr = GetDownstreamPin(dwCookie, &spDownstream);
        return (S_OK == hr) ? spDownstream->EndFlush() : hr;
    }

    HRESULT Filter_NewSegment(DWORD dwCookie, REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
    {
        CComPtr<IPin> spDownstream;
        const HRESULT hr = GetDownstreamPin(dwCookie, &spDownstream);
        return (S_OK == hr) ? spDownstream->NewSegment(tStart, tStop, dRate) : hr;
    }

    // How long a question from the input side waits for an output pin that
    // holds its lock while it calls out (see CCallOutGate).
    static constexpr DWORD OUTPUT_PIN_WAIT_MS = 200;

    // A pin's media type follows its connection; the output pin keeps its
    // type while the input stays connected (it is the type upstream sends).
    // Each type is reset under its own pin's lock, since its enumerators copy
    // it under that lock (input, then output: the usual order).
    void Filter_DisconnectPin(DWORD dwCookie)
    {
        if (!m_apIn || !m_apOut)
            return;
        if (PINDIR_INPUT == dwCookie)
        {
            {
                typename TIn::ObjectLock lockIn(m_apIn.p);
                m_apIn->m_mt.Reset();
            }
            // The input pin's lock is held here (its Disconnect), and a
            // connecting output pin holds its own lock while it asks its
            // neighbours: behind such a holder the wait is bounded, and the
            // output's type is left to its connection.
            CRITICAL_SECTION& csOut = m_apOut->m_critsec.m_sec;
            if (!m_apOut->m_gateCallOut.EnterUnlessCalledOut(csOut, OUTPUT_PIN_WAIT_MS))
            {
                _LogTrace(atlTraceGeneral, eTL_Warning,
                          L"WARNING. %s Filter_DisconnectPin(): output pin busy for %u ms, its type is left to its "
                          L"connection\n",
                          static_cast<T*>(this)->GetTraceName(), static_cast<unsigned>(OUTPUT_PIN_WAIT_MS));
                return;
            }
            CCritSecLeave leave(csOut);
            if (!m_apOut->IsConnected())
                m_apOut->m_mt.Reset();
        }
        else if (PINDIR_OUTPUT == dwCookie)
        {
            typename TOut::ObjectLock lockOut(m_apOut.p);
            if (!m_apIn->IsConnected())
                m_apOut->m_mt.Reset();
        }
        else
            ASSERT_TEXT(FALSE, "CMorphlet::Filter_DisconnectPin(): Unknown cookie");
    }

    // riid of the pin connected to the filter's other pin: the downstream pin
    // for the input pin (cookie 0), the upstream pin for the output pin
    // (cookie 1). E_NOTIMPL when that side is not connected.
    HRESULT Filter_QueryPeerInterface(DWORD dwCookie, REFIID riid, void** ppv)
    {
        CComPtr<IPin> spPeer;
        const HRESULT hr = Filter_GetPeerPin(dwCookie, &spPeer);
        if (FAILED(hr))
            return hr;
        return spPeer->QueryInterface(riid, ppv);
    }

    // The pin connected to the filter's other pin, counted; E_NOTIMPL when
    // that side is not connected.
    HRESULT Filter_GetPeerPin(DWORD dwCookie, IPin** ppPeer)
    {
        *ppPeer = NULL;
        CComPtr<IPin> spPeer;
        if (PINDIR_INPUT == dwCookie && m_apOut)
            spPeer = m_apOut->GetConnectedPin();
        else if (PINDIR_OUTPUT == dwCookie && m_apIn)
            spPeer = m_apIn->m_spConnected;
        if (!spPeer)
            return E_NOTIMPL;
        *ppPeer = spPeer.Detach();
        return S_OK;
    }

    CComObjectAutoPtr<TIn> m_apIn;
    CComObjectAutoPtr<TOut> m_apOut;

private:
    // For the hooks that pass a call from the input pin downstream: the pin
    // connected to the output pin, counted, or VFW_E_NOT_CONNECTED.
    HRESULT GetDownstreamPin(DWORD dwCookie, IPin** ppPin)
    {
        ASSERT(dwCookie == PINDIR_INPUT);
        if (!ASSERT(m_apOut != NULL))
            return E_UNEXPECTED;
        CComPtr<IPin> spPin = m_apOut->GetConnectedPin();
        if (!spPin)
            return VFW_E_NOT_CONNECTED;
        *ppPin = spPin.Detach();
        return S_OK;
    }
};
