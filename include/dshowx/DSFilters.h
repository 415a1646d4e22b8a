// The filter and pin templates of the framework.
//
// A filter class T derives from CComObjectRootEx<CComMultiThreadModel> (its
// critical section is the filter lock), from CTransInPlaceFilter<T,TIn,TOut>
// (state, pins, state change, the default hooks) and from IBaseFilterImpl<T>
// (the COM interface). Its pin classes derive from CInputPin<TIn,T> or
// COutputPin<TOut,T> with the pin's one media type (CMTSingle); the output
// pin class also from CTransInPlaceAllocator<TOut>.
//
// The templates call the filter class and the pin classes statically, by
// name: a class replaces a default hook by declaring a member of the same
// name. Every hook that a pin calls on its filter gets the pin's cookie first
// (0 input, 1 output, the pin's direction).
//
// What the classes supply besides their COM maps:
// - the filter class: GetTraceName, GetObjectCLSID (its coclass),
//   Filter_JoinFilterGraph (bind the pins on a join, Reset on a leave),
//   FinalConstruct with CreatePins and FinalRelease with ClearPins;
// - each pin class: GetTraceName, FinalConstruct and FinalRelease;
// - the input pin class: ReleaseAllocator (drops the input connection's
//   allocator when the connection ends);
// - the output pin class: m_bMTEnumRedir, the media-type enumeration switch.
//
// Pins are COM objects of their own, with their own reference counts; the
// filter owns them, a pin holds only a plain pointer to its filter. When the
// filter lets its pins go it breaks that link first, so that a pin a host still
// holds answers its calls without the filter (every use of the link checks it).
//
// Locks, outermost first: the filter lock, the output pin's object lock, the
// output pin's allocator lock (a leaf: nothing is called under it but AddRef
// and Release). The input pin's object lock is held across the flush hooks,
// which reach the downstream pin through a counted copy of it taken under
// the allocator lock.
#pragma once

#include "DSEnums.h"
#include "DSParsers.h"
#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"

#include <atlbase.h>
#include <atlcom.h>

#include <new>

// Text of a pin direction in trace lines.
inline LPCWSTR PinDirText(PIN_DIRECTION ePinDir)
{
    return (PINDIR_INPUT == ePinDir) ? L"In" : L"Out";
}

// ---------------------------------------------------------------------------
// Base filter

// What every filter of the framework has: its name and graph, its clock, its
// state and start time, and the operations the other templates call on it.
template <class T>
class CBaseFilter
{
public:
    CBaseFilter() noexcept
        : m_pFilterGraphJoin(NULL), m_pEventSink(NULL), m_eState(State_Stopped), m_tStart(0), m_bFirstRun(TRUE)
    {
        m_szName[0] = 0;
    }

    virtual LPCWSTR GetTraceName() = 0;
    virtual IUnknown* GetUnknown() = 0;

    virtual ~CBaseFilter()
    {
        ASSERT(m_eState == State_Stopped);
        m_spClock.Release();
    }

    FILTER_STATE FilterState() const { return m_eState; }

    // Moves the state; called by the state change under the filter lock. The
    // graph text goes to the log each time the filter leaves Stopped. A value
    // that is no filter state changes nothing.
    HRESULT SetFilterState(FILTER_STATE eState, REFERENCE_TIME tStart)
    {
        if (!ASSERT(eState == State_Stopped || eState == State_Paused || eState == State_Running))
            return E_INVALIDARG;
        if (State_Stopped != eState && m_bFirstRun)
            ParseGraphToLogFile();
        m_bFirstRun = (State_Stopped == eState);
        if (State_Running == eState)
            m_tStart = tStart;
        m_eState = eState;
        return S_OK;
    }

    // Back to the state of a filter outside any graph.
    void Reset()
    {
        ASSERT(m_eState == State_Stopped);
        m_eState = State_Stopped;
        m_pFilterGraphJoin = NULL;
        m_pEventSink = NULL;
        m_spClock.Release();
        m_tStart = 0;
        m_bFirstRun = TRUE;
        m_szName[0] = 0;
    }

    // Hands the text of the joined graph to the log object. The text goes
    // over in the thread's ANSI code page, with its length in bytes, since
    // the log object writes exactly the bytes it is given.
    void ParseGraphToLogFile()
    {
        T* pT = static_cast<T*>(this);
        CComPtr<IFilterGraph> spGraph = m_pFilterGraphJoin;
        if (!spGraph)
        {
            _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s CBaseFilter::ParseGraphToLogFile(): empty graph pointer\n",
                      pT->GetTraceName());
            return;
        }
        LPWSTR pszChain = NULL;
        HRESULT hr = S_OK;
        {
            CFilterChainParser parser;
            hr = parser.GetFiltersChain(spGraph, &pszChain);
        }
        if (FAILED(hr) || NULL == pszChain)
        {
            _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s CBaseFilter::ParseGraphToLogFile(): GetFiltersChain()=0x%X\n",
                      pT->GetTraceName(), FAILED(hr) ? hr : E_FAIL);
            CoTaskMemFree(pszChain);
            return;
        }
        IDSLog* pLog = NULL;
        if (SUCCEEDED(_LogGetObject(&pLog)) && NULL != pLog)
            DumpText(pLog, pszChain);
        CoTaskMemFree(pszChain);
    }

    // Has the graph reconnect a connected pin, unless nothing would change.
    HRESULT MakeReconnect(IPin* pPin, const AM_MEDIA_TYPE* pmt)
    {
        T* pT = static_cast<T*>(this);
        if (!ASSERT(m_pFilterGraphJoin != NULL))
            return VFW_E_NOT_IN_GRAPH;
        if (!ASSERT(pPin != NULL))
            return E_POINTER;
        if (State_Stopped != m_eState)
            return VFW_E_NOT_STOPPED;
        {
            CComPtr<IPin> spPeer;
            if (S_OK != pPin->ConnectedTo(&spPeer))
                return S_OK;
        }
        PIN_DIRECTION ePinDir = PINDIR_INPUT;
        HRESULT hr = pPin->QueryDirection(&ePinDir);
        if (FAILED(hr))
            return hr;
        ASSERT(ePinDir == PINDIR_INPUT || ePinDir == PINDIR_OUTPUT);
        _LogTrace(atlTraceGeneral, eTL_Info, L"%s CBaseFilter::MakeReconnect( %s )\n", pT->GetTraceName(),
                  PinDirText(ePinDir));
        if (PINDIR_INPUT == ePinDir)
            return ReconnectPin(pPin, pmt);

        CMType mt;
        hr = pPin->ConnectionMediaType(&mt);
        if (FAILED(hr))
        {
            _LogTrace(atlTraceGeneral, eTL_Error,
                      L"###Err### %s CBaseFilter::MakeReconnect( Out ): pPin->ConnectionMediaType()=0x%X\n",
                      pT->GetTraceName(), hr);
            return hr;
        }
        if (MTIsEqual(&mt, pmt))
        {
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"%s CBaseFilter::MakeReconnect( Out ): reconnection stopped - media types are equal\n",
                      pT->GetTraceName());
            return S_OK;
        }
        return ReconnectPin(pPin, pmt);
    }

    // Has the graph reconnect a pin, with the proposed type where the graph
    // takes one.
    HRESULT ReconnectPin(IPin* pPin, const AM_MEDIA_TYPE* pmt)
    {
        T* pT = static_cast<T*>(this);
        _LogTrace(atlTraceGeneral, eTL_Verbose, L"%s CBaseFilter::ReconnectPin()\n", pT->GetTraceName());
        if (!ASSERT(m_pFilterGraphJoin != NULL))
            return VFW_E_NOT_IN_GRAPH;
        CComQIPtr<IFilterGraph2> spGraph2(m_pFilterGraphJoin);
        if (spGraph2)
            return spGraph2->ReconnectEx(pPin, pmt);
        return m_pFilterGraphJoin->Reconnect(pPin);
    }

    WCHAR m_szName[128];
    IFilterGraph* m_pFilterGraphJoin;
    IMediaEventSink* m_pEventSink;
    CComPtr<IReferenceClock> m_spClock;
    FILTER_STATE m_eState;
    REFERENCE_TIME m_tStart;
    BYTE m_bFirstRun;

private:
    void DumpText(IDSLog* pLog, LPCWSTR pszText)
    {
        T* pT = static_cast<T*>(this);
        const int cbNeeded = WideCharToMultiByte(CP_THREAD_ACP, 0, pszText, -1, NULL, 0, NULL, NULL);
        if (cbNeeded <= 0)
        {
            _LogTrace(atlTraceGeneral, eTL_Error,
                      L"###Err### %s CBaseFilter::ParseGraphToLogFile(): WideCharToMultiByte()=0x%X\n",
                      pT->GetTraceName(), AtlHresultFromLastError());
            return;
        }
        char* pszAnsi = new (std::nothrow) char[cbNeeded];
        if (NULL == pszAnsi)
        {
            _LogTrace(atlTraceGeneral, eTL_Error,
                      L"###Err### %s CBaseFilter::ParseGraphToLogFile(): no memory for %i bytes of text\n",
                      pT->GetTraceName(), cbNeeded);
            return;
        }
        const int cb = WideCharToMultiByte(CP_THREAD_ACP, 0, pszText, -1, pszAnsi, cbNeeded, NULL, NULL);
        if (cb <= 0)
            _LogTrace(atlTraceGeneral, eTL_Error,
                      L"###Err### %s CBaseFilter::ParseGraphToLogFile(): WideCharToMultiByte()=0x%X\n",
                      pT->GetTraceName(), AtlHresultFromLastError());
        else
            pLog->DumpBuffer(cb - 1, pszAnsi);
        delete[] pszAnsi;
    }
};

// IBaseFilter (with IMediaFilter and IPersist) for filter class T.
template <class T>
class ATL_NO_VTABLE IBaseFilterImpl : public IBaseFilter
{
public:
    STDMETHOD(GetClassID)(CLSID* pClassID) override
    {
        T* pT = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s IBaseFilterImpl::GetClassID\n", pT->GetTraceName());
        if (!ASSERT(pClassID != NULL))
            return E_INVALIDARG;
        *pClassID = T::GetObjectCLSID();
        return S_OK;
    }

    // A running filter is paused first, through its own Pause.
    STDMETHOD(Stop)() override
    {
        T* pT = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IBaseFilterImpl::Stop\n", pT->GetTraceName());
        const HRESULT hr = PauseFirst(State_Running, L"Stop", L"State_Running", atlTraceCOM, L"stop after pause");
        if (FAILED(hr))
            return hr;
        typename T::ObjectLock lock(pT);
        return pT->Filter_SetFilterState(State_Stopped, 0);
    }

    STDMETHOD(Pause)() override
    {
        T* pT = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IBaseFilterImpl::Pause\n", pT->GetTraceName());
        typename T::ObjectLock lock(pT);
        return pT->Filter_SetFilterState(State_Paused, 0);
    }

    // A stopped filter is paused first, through its own Pause.
    STDMETHOD(Run)(REFERENCE_TIME tStart) override
    {
        T* pT = static_cast<T*>(this);
        WCHAR szStart[50];
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IBaseFilterImpl::Run( %s )\n", pT->GetTraceName(),
                  ReferenceTimeToText(tStart, szStart));
        const HRESULT hr = PauseFirst(State_Stopped, L"Run", L"State_Stopped", atlTraceGeneral, L"run after pause");
        if (FAILED(hr))
            return hr;
        typename T::ObjectLock lock(pT);
        return pT->Filter_SetFilterState(State_Running, tStart);
    }

    // The state is never intermediate: the timeout is not used.
    STDMETHOD(GetState)(DWORD, FILTER_STATE* State) override
    {
        T* pT = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s IBaseFilterImpl::GetState\n", pT->GetTraceName());
        if (!ASSERT(State != NULL))
            return E_POINTER;
        *State = pT->m_eState;
        return S_OK;
    }

    STDMETHOD(SetSyncSource)(IReferenceClock* pClock) override
    {
        T* pT = static_cast<T*>(this);
        typename T::ObjectLock lock(pT);
        pT->m_spClock = pClock;
        const unsigned uClock = static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pClock));
        if (NULL == pClock)
        {
            _LogTrace(atlTraceGeneral, eTL_Info, L"%s IBaseFilterImpl::SetSyncSource( NULL )\n", pT->GetTraceName());
            return S_OK;
        }
        CComQIPtr<IPersist> spPersist(pClock);
        if (!spPersist)
        {
            _LogTrace(atlTraceGeneral, eTL_Warning, L"WARNING. %s IBaseFilterImpl::SetSyncSource( 0x%X ): clock hasn't CLSID\n",
                      pT->GetTraceName(), uClock);
            return S_OK;
        }
        CLSID clsid = CLSID_NULL;
        const HRESULT hr = spPersist->GetClassID(&clsid);
        if (FAILED(hr))
        {
            _LogTrace(atlTraceGeneral, eTL_Error,
                      L"###Err### %s IBaseFilterImpl::SetSyncSource( 0x%X ): spPersist->GetClassID()=0x%X\n",
                      pT->GetTraceName(), uClock, hr);
            return S_OK;
        }
        WCHAR szName[128];
        _LogTrace(atlTraceGeneral, eTL_Info, L"%s IBaseFilterImpl::SetSyncSource( 0x%X ): CLSID = %s\n",
                  pT->GetTraceName(), uClock, Guid2Name(clsid, szName, 128));
        return S_OK;
    }

    STDMETHOD(GetSyncSource)(IReferenceClock** pClock) override
    {
        T* pT = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IBaseFilterImpl::GetSyncSource\n", pT->GetTraceName());
        if (!ASSERT(pClock != NULL))
            return E_POINTER;
        typename T::ObjectLock lock(pT);
        return pT->m_spClock.CopyTo(pClock);
    }

    STDMETHOD(EnumPins)(IEnumPins** ppEnum) override
    {
        T* pT = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s IBaseFilterImpl::EnumPins\n", pT->GetTraceName());
        typename T::ObjectLock lock(pT);
        return CComDSEnum<CPinAccessor<T>, IEnumPins>::Create(ppEnum, pT, 0);
    }

    // The pin whose identifier is exactly Id (case and length count).
    STDMETHOD(FindPin)(LPCWSTR Id, IPin** ppPin) override
    {
        T* pT = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IBaseFilterImpl::FindPin\n", pT->GetTraceName());
        if (!ASSERT(ppPin != NULL && Id != NULL))
            return E_POINTER;
        *ppPin = NULL;
        CComPtr<IEnumPins> spEnum;
        HRESULT hr = static_cast<IBaseFilter*>(pT)->EnumPins(&spEnum);
        if (FAILED(hr))
            return hr;
        spEnum->Reset();
        CComPtr<IPin> spPin;
        do
        {
            spPin.Release();
            ULONG cFetched = 0;
            hr = spEnum->Next(1, &spPin, &cFetched);
            if (S_OK != hr)
                break;
            ASSERT(cFetched == 1);
            if (!ASSERT(spPin != NULL))
            {
                hr = E_UNEXPECTED;
                break;
            }
            LPWSTR pszId = NULL;
            hr = spPin->QueryId(&pszId);
            if (S_OK != hr)
            {
                CoTaskMemFree(pszId);
                break;
            }
            hr = (NULL != pszId && 0 == wcscmp(pszId, Id)) ? S_OK : VFW_E_NOT_FOUND;
            CoTaskMemFree(pszId);
        } while (S_OK != hr);

        if (S_OK == hr)
        {
            *ppPin = spPin.Detach();
            return S_OK;
        }
        if (S_FALSE == hr)
            return VFW_E_NOT_FOUND;
        return SUCCEEDED(hr) ? E_FAIL : hr;
    }

    STDMETHOD(QueryFilterInfo)(FILTER_INFO* pInfo) override
    {
        T* pT = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s IBaseFilterImpl::QueryFilterInfo\n", pT->GetTraceName());
        if (!ASSERT(pInfo != NULL))
            return E_INVALIDARG;
        lstrcpynW(pInfo->achName, pT->m_szName, MAX_FILTER_NAME);
        pInfo->pGraph = pT->m_pFilterGraphJoin;
        if (NULL != pInfo->pGraph)
            pInfo->pGraph->AddRef();
        return S_OK;
    }

    // Joins pGraph under pName (cut to 127 characters), or leaves the graph
    // for a NULL pGraph. The graph and its event sink are held without a
    // reference: the graph owns the filter.
    STDMETHOD(JoinFilterGraph)(IFilterGraph* pGraph, LPCWSTR pName) override
    {
        T* pT = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IBaseFilterImpl::JoinFilterGraph( 0x%08X, '%s' )\n", pT->GetTraceName(),
                  static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pGraph)), pName ? pName : L"null");
        typename T::ObjectLock lock(pT);
        if (!ASSERT(pT->m_pFilterGraphJoin == NULL || pGraph == NULL))
            return E_FAIL;
        pT->m_pFilterGraphJoin = NULL;
        pT->m_pEventSink = NULL;
        pT->m_szName[0] = 0;
        if (NULL != pGraph)
        {
            pT->m_pFilterGraphJoin = pGraph;
            IMediaEventSink* pSink = NULL;
            if (SUCCEEDED(pGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&pSink))) &&
                NULL != pSink)
            {
                pT->m_pEventSink = pSink;
                pSink->Release();
            }
            if (NULL != pName)
                lstrcpynW(pT->m_szName, pName, MAX_FILTER_NAME);
        }
        const HRESULT hr = pT->Filter_JoinFilterGraph(NULL != pGraph);
        if (NULL != pGraph && FAILED(hr))
        {
            pT->m_pFilterGraphJoin = NULL;
            pT->m_pEventSink = NULL;
            pT->m_szName[0] = 0;
        }
        return hr;
    }

    STDMETHOD(QueryVendorInfo)(LPWSTR*) override { ATLTRACENOTIMPL(L"IBaseFilterImpl::QueryVendorInfo"); }

    virtual LPCWSTR GetTraceName() = 0;

private:
    // When the filter is in eFrom, pauses it through its own IBaseFilter (so
    // that a derived Pause runs), outside the filter lock, which Pause takes
    // itself. The failure of that Pause is the result.
    HRESULT PauseFirst(FILTER_STATE eFrom, LPCWSTR pszCall, LPCWSTR pszFrom, DWORD_PTR dwDoneCategory,
                       LPCWSTR pszDone)
    {
        T* pT = static_cast<T*>(this);
        {
            typename T::ObjectLock lock(pT);
            if (eFrom != pT->m_eState)
                return S_OK;
        }
        _LogTrace(atlTraceGeneral, eTL_Warning,
                  L"WARNING. %s IBaseFilterImpl::%s(): current state is %s, call Pause() command\n",
                  pT->GetTraceName(), pszCall, pszFrom);
        const HRESULT hr = static_cast<IBaseFilter*>(pT)->Pause();
        if (FAILED(hr))
        {
            _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s IBaseFilterImpl::%s(): Pause()=0x%X\n",
                      pT->GetTraceName(), pszCall, hr);
            return hr;
        }
        _LogTrace(dwDoneCategory, eTL_Info, L"%s IBaseFilterImpl::%s(): %s\n", pT->GetTraceName(), pszCall, pszDone);
        return S_OK;
    }
};

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

    // Asks the pin on the far side of the filter for riid.
    HRESULT QueryRedirect(REFIID riid, void** ppv)
    {
        if (!ASSERT(m_pFilter != NULL))
            return E_ABORT;
        return m_pFilter->Filter_QueryPeerInterface(m_dwCookie, riid, ppv);
    }

    TFilter* m_pFilter;
};

// IPin for pin class T: what both pins answer alike. The operations one
// direction does not offer answer E_NOTIMPL here; the input and output pin
// templates supply their own.
template <class T>
class ATL_NO_VTABLE IPinImpl : public IPin
{
public:
    STDMETHOD(Connect)(IPin*, const AM_MEDIA_TYPE*) override { ATLTRACENOTIMPL(L"IPinImpl::Connect"); }
    STDMETHOD(ReceiveConnection)(IPin*, const AM_MEDIA_TYPE*) override
    {
        ATLTRACENOTIMPL(L"IPinImpl::ReceiveConnection");
    }

    // Refused while the filter is not stopped; otherwise the filter hook
    // runs, then the pin class clears its connection, both under the pin lock.
    STDMETHOD(Disconnect)() override
    {
        T* pPin = Enter(eTL_Info, L"%s IPinImpl::Disconnect() [%s]\n");
        typename T::ObjectLock lock(pPin);
        if (!pPin->IsConnected())
            return S_FALSE;
        if (!ASSERT(pPin->m_pFilter != NULL))
            return E_UNEXPECTED;
        if (State_Stopped != pPin->m_pFilter->FilterState())
            return VFW_E_NOT_STOPPED;
        pPin->m_pFilter->Filter_DisconnectPin(pPin->m_dwCookie);
        pPin->ClearConnection();
        return S_OK;
    }

    STDMETHOD(ConnectedTo)(IPin** ppPin) override
    {
        T* pPin = Enter(eTL_Verbose, L"%s IPinImpl::ConnectedTo() [%s]\n");
        if (!ASSERT(ppPin != NULL))
            return E_POINTER;
        *ppPin = NULL;
        if (!pPin->IsConnected())
            return VFW_E_NOT_CONNECTED;
        return pPin->m_spConnected.CopyTo(ppPin);
    }

    // A deep copy of the connection type. Unconnected, *pmt is set to the
    // empty type, so that a caller may free it the usual way.
    STDMETHOD(ConnectionMediaType)(AM_MEDIA_TYPE* pmt) override
    {
        T* pPin = Enter(eTL_Verbose, L"%s IPinImpl::ConnectionMediaType() [%s]\n");
        if (!ASSERT(pmt != NULL))
            return E_POINTER;
        typename T::ObjectLock lock(pPin);
        if (!pPin->IsConnected())
        {
            MTInit(pmt, GUID_NULL, GUID_NULL);
            return VFW_E_NOT_CONNECTED;
        }
        return pPin->m_mt.CopyTo(pmt);
    }

    STDMETHOD(QueryPinInfo)(PIN_INFO* pInfo) override
    {
        T* pPin = Enter(eTL_Verbose, L"%s IPinImpl::QueryPinInfo() [%s]\n");
        if (!ASSERT(pInfo != NULL))
            return E_POINTER;
        pInfo->pFilter = NULL;
        if (NULL != pPin->m_pFilter)
            pPin->m_pFilter->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&pInfo->pFilter));
        else
            _LogTrace(atlTraceGeneral, eTL_Error,
                      L"###Err### %s IPinImpl::QueryPinInfo(): link between filter and pin is broken, pPin->m_pFilter==NULL\n",
                      pPin->GetTraceName());
        pInfo->dir = pPin->m_ePinDir;
        lstrcpynW(pInfo->achName, pPin->m_wszName, MAX_PIN_NAME);
        return S_OK;
    }

    STDMETHOD(QueryDirection)(PIN_DIRECTION* pPinDir) override
    {
        T* pPin = Enter(eTL_Verbose, L"%s IPinImpl::QueryDirection() [%s]\n");
        if (!ASSERT(pPinDir != NULL))
            return E_POINTER;
        *pPinDir = pPin->m_ePinDir;
        return S_OK;
    }

    STDMETHOD(QueryId)(LPWSTR* Id) override
    {
        T* pPin = Enter(eTL_Verbose, L"%s IPinImpl::QueryId() [%s]\n");
        if (!ASSERT(Id != NULL))
            return E_POINTER;
        const size_t cch = wcslen(pPin->m_wszName) + 1;
        *Id = static_cast<LPWSTR>(CoTaskMemAlloc(cch * sizeof(WCHAR)));
        if (NULL == *Id)
            return E_OUTOFMEMORY;
        memcpy(*Id, pPin->m_wszName, cch * sizeof(WCHAR));
        return S_OK;
    }

    // S_OK or S_FALSE, never an error.
    STDMETHOD(QueryAccept)(const AM_MEDIA_TYPE* pmt) override
    {
        T* pPin = Enter(eTL_Verbose, L"%s IPinImpl::QueryAccept() [%s]\n");
        const bool bAccepted = FALSE != pPin->QueryAcceptMT(pmt);
        _LogTrace(atlTraceGeneral, eTL_Info, L"%s IPinImpl::QueryAccept()=%s [%s]\n", pPin->GetTraceName(),
                  bAccepted ? L"S_OK" : L"S_FALSE", PinDirText(pPin->m_ePinDir));
        return bAccepted ? S_OK : S_FALSE;
    }

    // An enumerator over the pin's one media type.
    STDMETHOD(EnumMediaTypes)(IEnumMediaTypes** ppEnum) override
    {
        T* pPin = Enter(eTL_Verbose, L"%s IPinImpl::EnumMediaTypes() [%s]\n");
        typename T::ObjectLock lock(pPin);
        return CComDSEnum<CMediaTypesAccessor<T>, IEnumMediaTypes>::Create(ppEnum, pPin, 0);
    }

    STDMETHOD(QueryInternalConnections)(IPin**, ULONG*) override
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s IPinImpl::QueryInternalConnections not implemented\n",
                  static_cast<T*>(this)->GetTraceName());
        return E_NOTIMPL;
    }

    STDMETHOD(EndOfStream)() override { ATLTRACENOTIMPL(L"IPinImpl::EndOfStream"); }
    STDMETHOD(BeginFlush)() override { ATLTRACENOTIMPL(L"IPinImpl::BeginFlush"); }
    STDMETHOD(EndFlush)() override { ATLTRACENOTIMPL(L"IPinImpl::EndFlush"); }
    STDMETHOD(NewSegment)(REFERENCE_TIME, REFERENCE_TIME, double) override
    {
        ATLTRACENOTIMPL(L"IPinImpl::NewSegment");
    }

    virtual LPCWSTR GetTraceName() = 0;

private:
    // Writes an operation's entry line (the pin's trace name, then its
    // direction) and gives the pin.
    T* Enter(UINT nLevel, LPCWSTR pszFormat)
    {
        T* pPin = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, nLevel, pszFormat, pPin->GetTraceName(), PinDirText(pPin->m_ePinDir));
        return pPin;
    }
};

// Text of a quality message's type.
inline LPCWSTR QualityTypeText(const Quality& q)
{
    return (0 != q.Type) ? L"Flood" : L"Famine";
}

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
        if (ASSERT(this->m_pFilter != NULL))
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
        if (ASSERT(this->m_pFilter != NULL))
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
        TraceNotify(TraceName(), pSelf, q);
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

    static void TraceNotify(LPCWSTR pszTraceName, IBaseFilter* pSelf, const Quality& q)
    {
        WCHAR szLate[50];
        WCHAR szTime[50];
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s IQualityControl::Notify( 0x%X, %s, %i, %s, %s )\n", pszTraceName,
                  static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pSelf)), QualityTypeText(q), q.Proportion,
                  ReferenceTimeToText(q.Late, szLate), ReferenceTimeToText(q.TimeStamp, szTime));
    }

    IQualityControl* m_pQSink;
    BYTE m_bFlushing;
    REFERENCE_TIME m_tStart;
    REFERENCE_TIME m_tStop;
    double m_dRate;
};

// The output pin: its allocator lock, the downstream pin's IMemInputPin, the
// quality sink, the media-type enumeration that may offer the upstream types,
// and the default end of a connection.
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

    // The default end of a connection: the allocator agreement is undone and
    // the downstream pin is told to disconnect. The media type stays.
    void ClearConnection()
    {
        T* pPin = static_cast<T*>(this);
        if (!pPin->IsConnected())
            return;
        CComPtr<IPin> spPeer;
        {
            CCritSecLock lock(m_csAllocator);
            pPin->Reset();
            m_spMemInput.Release();
            spPeer.Attach(this->m_spConnected.Detach());
        }
        spPeer->Disconnect();
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
                pPin->QueryRedirect(IID_IPin, reinterpret_cast<void**>(&spUpstream));
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
        CInputPin<T, TFilter>::TraceNotify(TraceName(), pSelf, q);
        CComPtr<IQualityControl> spSink;
        TFilter* pFilter = NULL;
        {
            typename T::ObjectLock lock(static_cast<T*>(this));
            spSink = m_pQSink;
            pFilter = this->m_pFilter;
        }
        if (spSink)
            return spSink->Notify(pSelf, q);
        if (!ASSERT(pFilter != NULL))
            return E_UNEXPECTED;
        return pFilter->Filter_QualityNotify(this->m_dwCookie, pSelf, q);
    }

    CComAutoCriticalSection m_csAllocator;
    CComPtr<IMemInputPin> m_spMemInput;
    IQualityControl* m_pQSink;
};

// ---------------------------------------------------------------------------
// The output pin's allocator

// Where the output pin's allocator comes from.
enum eAllocSrc
{
    eAS_None = 0,
    eAS_Upstream = 1,
    eAS_Internal = 2,
    eAS_Downstream = 3,
};

// The output pin's record of its allocator, with commit and decommit on state
// changes. T is the output pin class. Every write of the allocator pointer
// happens under the pin's allocator lock.
template <class T>
class CAllocatorMatch
{
public:
    CAllocatorMatch() noexcept : m_bActivate(FALSE), m_eAllocSrc(eAS_None) { ZeroMemory(&m_propsOut, sizeof(m_propsOut)); }

    void AttachAllocator(IMemAllocator* pAllocator, eAllocSrc eSrc)
    {
        T* pPin = static_cast<T*>(this);
        ASSERT(pAllocator != NULL);
        ASSERT(eSrc != eAS_None);
        if (NULL == pAllocator)
            return;
        ALLOCATOR_PROPERTIES props;
        ZeroMemory(&props, sizeof(props));
        const HRESULT hr = pAllocator->GetProperties(&props);
        ASSERT_TEXT(S_OK == hr, "CAllocatorMatch::AttachAllocator(): GetProperties() != S_OK");
        {
            CCritSecLock lock(pPin->m_csAllocator);
            m_propsOut = props;
            m_spAllocOut = pAllocator;
            m_eAllocSrc = eSrc;
        }
        _LogTrace(atlTraceGeneral, eTL_Info, L"@@@@ %s CAllocatorMatch::AttachAllocator(): use %s allocator\n",
                  pPin->GetTraceName(),
                  eAS_Upstream == eSrc ? L"upstream" : (eAS_Downstream == eSrc ? L"downstream" : L"internal"));
        Debug_Allocator(atlTraceGeneral, eTL_Info, pAllocator);
    }

    // Commits (TRUE) or decommits (FALSE) the output allocator, once per
    // change: the call that finds it already so does nothing. Needs the pin
    // connected and an allocator attached.
    HRESULT AllocatorActivate(bool bActivate)
    {
        T* pPin = static_cast<T*>(this);
        typename T::ObjectLock lock(pPin);
        if (!pPin->IsConnected())
            return VFW_E_NOT_CONNECTED;
        CComPtr<IMemAllocator> spAllocator;
        {
            CCritSecLock lockAllocator(pPin->m_csAllocator);
            spAllocator = m_spAllocOut;
        }
        if (!ASSERT_TEXT(spAllocator != NULL, "m_spAllocOut != NULL"))
            return VFW_E_NO_ALLOCATOR;
        if ((FALSE != m_bActivate) == bActivate)
            return S_OK;
        HRESULT hr = S_OK;
        if (bActivate)
        {
            hr = spAllocator->Commit();
            if (S_OK == hr)
            {
                ALLOCATOR_PROPERTIES props;
                ZeroMemory(&props, sizeof(props));
                hr = spAllocator->GetProperties(&props);
                ASSERT_TEXT(S_OK == hr, "CAllocatorMatch::AllocatorActivate(): GetProperties() != S_OK");
                CCritSecLock lockAllocator(pPin->m_csAllocator);
                m_propsOut = props;
            }
        }
        else
            hr = spAllocator->Decommit();
        if (S_OK != hr)
            return FAILED(hr) ? hr : E_FAIL;
        m_bActivate = bActivate ? TRUE : FALSE;
        return S_OK;
    }

    // Lets the output allocator go (decommitted first).
    void Reset()
    {
        T* pPin = static_cast<T*>(this);
        CComPtr<IMemAllocator> spOld;
        {
            CCritSecLock lock(pPin->m_csAllocator);
            spOld.Attach(m_spAllocOut.Detach());
            ZeroMemory(&m_propsOut, sizeof(m_propsOut));
            m_bActivate = FALSE;
            m_eAllocSrc = eAS_None;
        }
        if (spOld)
            spOld->Decommit();
    }

    ALLOCATOR_PROPERTIES m_propsOut;
    CComPtr<IMemAllocator> m_spAllocOut;
    BYTE m_bActivate;
    eAllocSrc m_eAllocSrc;
};

// The in-place agreement of the output pin's allocator.
template <class T>
class CTransInPlaceAllocator : public CAllocatorMatch<T>
{
};

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

    // A pin's media type follows its connection; the output pin keeps its
    // type while the input stays connected (it is the type upstream sends).
    void Filter_DisconnectPin(DWORD dwCookie)
    {
        if (!m_apIn || !m_apOut)
            return;
        if (PINDIR_INPUT == dwCookie)
        {
            m_apIn->m_mt.Reset();
            if (!m_apOut->IsConnected())
                m_apOut->m_mt.Reset();
        }
        else if (PINDIR_OUTPUT == dwCookie)
        {
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
        if (PINDIR_INPUT == dwCookie && m_apOut)
            spPeer = m_apOut->GetConnectedPin();
        else if (PINDIR_OUTPUT == dwCookie && m_apIn)
            spPeer = m_apIn->m_spConnected;
        if (!spPeer)
            return E_NOTIMPL;
        return spPeer->QueryInterface(riid, ppv);
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

// An in-place transform filter: one buffer passes through, so a media type
// is acceptable on one side only when the neighbour on the other side takes
// it too.
template <class T, class TIn, class TOut>
class CTransInPlaceFilter : public CMorphlet<T, TIn, TOut>
{
public:
    CTransInPlaceFilter() noexcept : m_bSeparateAllocators(FALSE) {}

    BOOL Filter_QueryAcceptMT(DWORD dwCookie, const AM_MEDIA_TYPE* pmt)
    {
        T* pT = static_cast<T*>(this);
        ASSERT(pmt != NULL);
        if (!IsGuidSet(pmt))
            return FALSE;
        if (PINDIR_INPUT == dwCookie)
        {
            if (!ASSERT(this->m_apOut != NULL))
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
            if (!ASSERT(this->m_apIn != NULL))
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

    BYTE m_bSeparateAllocators;
};
