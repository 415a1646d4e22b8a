// The pin classes' roots: CPin (direction, cookie, name, connected pin) and
// CPinBase (the pin with its filter).
#pragma once

#include "PinTraceText.h"
#include "text/ObjectDumps.h"
#include "text/StructureDumps.h"
#include "text/TraceText.h"
#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"

#include <atlbase.h>
#include <atlcom.h>

// ---------------------------------------------------------------------------
// Pins

// The root of every pin class: direction, cookie, name and connected pin.
class CPin
{
public:
    explicit CPin(PIN_DIRECTION ePinDir) noexcept : m_dwCookie(0), m_ePinDir(ePinDir) { m_wszName[0] = 0; }

    virtual LPCWSTR GetTraceName() = 0;

    virtual ~CPin()
    {
        ASSERT(!IsConnected());
        m_spConnected.Release();
    }

    // A non-empty name is taken (at most 127 characters); NULL or an empty
    // one gives "In <cookie>" or "Out <cookie>".
    void SetName(LPCWSTR pszName)
    {
        if (NULL != pszName && 0 != pszName[0])
            lstrcpynW(m_wszName, pszName, MAX_PIN_NAME);
        else
            _snwprintf_s(m_wszName, MAX_PIN_NAME, _TRUNCATE, L"%s %u", PinDirText(m_ePinDir),
                         static_cast<unsigned>(m_dwCookie));
    }

    BOOL IsConnected() const { return NULL != m_spConnected.p; }

    // Whether pPin can connect to this pin: it answers the other direction.
    BOOL IsCounterpart(IPin* pPin)
    {
        if (NULL == pPin)
            return FALSE;
        PIN_DIRECTION ePinDirection = PINDIR_INPUT;
        if (FAILED(pPin->QueryDirection(&ePinDirection)))
            return FALSE;
        ASSERT(ePinDirection == PINDIR_INPUT || ePinDirection == PINDIR_OUTPUT);
        return ePinDirection != m_ePinDir;
    }

    HRESULT GetConnectedMemInputPin(IMemInputPin** pp)
    {
        if (!ASSERT(pp != NULL))
            return E_POINTER;
        *pp = NULL;
        if (!IsConnected())
            return VFW_E_NOT_CONNECTED;
        return m_spConnected->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(pp));
    }

    DWORD m_dwCookie;
    PIN_DIRECTION m_ePinDir;
    WCHAR m_wszName[MAX_PIN_NAME];
    CComPtr<IPin> m_spConnected;
};

// The pin with its filter: a plain pointer, never counted (the filter owns
// its pins). NULL once the filter has let the pin go.
template <class T, class TFilter>
class CPinBase : public CPin
{
public:
    explicit CPinBase(PIN_DIRECTION ePinDir) noexcept : CPin(ePinDir), m_pFilter(NULL) {}

    void SetFilter(TFilter* p) { m_pFilter = p; }

    BOOL QueryAcceptMT(const AM_MEDIA_TYPE* pmt)
    {
        if (NULL != m_pFilter)
            return m_pFilter->Filter_QueryAcceptMT(m_dwCookie, pmt);
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s QueryAcceptMT(): link between filter and pin is broken\n",
                  GetTraceName());
        return FALSE;
    }

    void ClearPin()
    {
        if (IsConnected())
            _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s ClearPin(): Pin not disconnected\n", GetTraceName());
    }

    // The pin base by name, for pin classes whose redirector parts add
    // QueryRedirect overloads of their own.
    typedef CPinBase _PinBase;

    // Asks the pin on the far side of the filter for riid: the downstream pin
    // for an input pin, the upstream pin for an output pin. E_ABORT once the
    // filter has let the pin go.
    HRESULT QueryRedirect(REFIID riid, void** ppv)
    {
        if (!ASSERT(m_pFilter != NULL))
            return E_ABORT;
        return m_pFilter->Filter_QueryPeerInterface(m_dwCookie, riid, ppv);
    }

    // The pin on the far side of the filter itself, counted, for a caller
    // that asks it under a guard: the reference must be held outside the
    // guarded call, which a fault leaves without releasing anything.
    // E_ABORT once the filter has let the pin go, E_NOTIMPL while the far
    // side is not connected.
    HRESULT GetRedirectPeer(IPin** ppPeer)
    {
        if (!ASSERT(m_pFilter != NULL))
            return E_ABORT;
        return m_pFilter->Filter_GetPeerPin(m_dwCookie, ppPeer);
    }

    // Interface-map entry of an interface the pin offers only while the pin
    // on the far side of the filter offers it: pv is the pin, dw the offset
    // of the pin's redirector part, which is what the caller gets (never the
    // far pin's own interface). E_NOINTERFACE while the far side lacks it.
    static HRESULT WINAPI QueryRedirectEntry(void* pv, REFIID riid, void** ppv, DWORD_PTR dw) noexcept
    {
        ASSERT(pv != NULL && ppv != NULL);
        if (NULL == ppv)
            return E_POINTER;
        *ppv = NULL;
        if (NULL == pv)
            return E_NOINTERFACE;
        IUnknown* p = NULL;
        static_cast<T*>(pv)->_PinBase::QueryRedirect(riid, reinterpret_cast<void**>(&p));
        if (NULL == p)
            return E_NOINTERFACE;
        p->Release();
        IUnknown* pPart = reinterpret_cast<IUnknown*>(reinterpret_cast<DWORD_PTR>(pv) + dw);
        pPart->AddRef();
        *ppv = pPart;
        return S_OK;
    }

    // The opening lines of a connection: pszFormat with the pin's trace name
    // as a prefix to the class of the neighbour pin's filter, then the type.
    void TraceConnectionStart(LPCWSTR pszFormat, IPin* pPin, const AM_MEDIA_TYPE* pmt)
    {
        WCHAR szPrefix[TRACE_RECORD_SIZE];
        _snwprintf_s(szPrefix, TRACE_RECORD_SIZE, _TRUNCATE, pszFormat, static_cast<T*>(this)->GetTraceName());
        Debug_FilterFromPin(atlTraceGeneral, eTL_Info, szPrefix, pPin);
        if (NULL != pmt)
            Debug_MediaType(atlTraceGeneral, eTL_Info, pmt);
        else
            _LogTrace(atlTraceGeneral, eTL_Info, L"Empty media type\n");
    }

    // Keeps a copy of the pin's type in *pSaved, then takes pmt; the pin's
    // type is untouched when either fails.
    HRESULT ReplaceMediaType(const AM_MEDIA_TYPE* pmt, CMType* pSaved)
    {
        T* pPin = static_cast<T*>(this);
        const HRESULT hr = pSaved->Set(&pPin->m_mt);
        if (FAILED(hr))
            return hr;
        return pPin->m_mt.Set(pmt);
    }

    // A media type attached to a sample becomes the pin's type when the pin
    // accepts it. S_FALSE (no type attached) and any other answer of the
    // sample come back as they are; a refused type, or a sample that claims
    // a type (S_OK) and gives none, gives VFW_E_INVALIDMEDIATYPE and the pin
    // keeps its type.
    HRESULT SetMediaTypeFromSample(IMediaSample* pSample)
    {
        T* pPin = static_cast<T*>(this);
        if (!ASSERT(pSample != NULL))
            return E_POINTER;
        AM_MEDIA_TYPE* pmt = NULL;
        HRESULT hr = pSample->GetMediaType(&pmt);
        if (S_OK != hr)
        {
            MTDelete(pmt);
            return hr;
        }
        _LogTrace(atlTraceGeneral, eTL_Info, L"%s SetMediaTypeFromSample(): new mediatype is received\n",
                  pPin->GetTraceName());
        ASSERT(pmt != NULL);
        if (NULL != pmt)
            Debug_MediaType(atlTraceGeneral, eTL_Error, pmt);
        if (NULL != pmt && pPin->QueryAcceptMT(pmt))
            hr = pPin->m_mt.Set(pmt);
        else
        {
            _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s SetMediaTypeFromSample(): new mediatype is not accepted\n",
                      pPin->GetTraceName());
            hr = VFW_E_INVALIDMEDIATYPE;
        }
        MTDelete(pmt);
        return hr;
    }

    TFilter* m_pFilter;
};
