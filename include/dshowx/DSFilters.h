// The filter and pin templates of the framework.
//
// A filter class T derives from CComObjectRootEx<CComMultiThreadModel> (its
// critical section is the filter lock), from CTransInPlaceFilter<T,TIn,TOut>
// (state, pins, state change, the default hooks) and from IBaseFilterImpl<T>
// (the COM interface). Its pin classes derive from CInputPin<TIn,T> with
// CMemInputPinFilter<TIn> (IMemInputPin), or from COutputPin<TOut,T> with
// CTransInPlaceAllocator<TOut>, each with the pin's one media type
// (CMTSingle).
//
// The templates call the filter class and the pin classes statically, by
// name: a class replaces a default hook by declaring a member of the same
// name. Every hook that a pin calls on its filter gets the pin's cookie first
// (0 input, 1 output, the pin's direction).
//
// What the classes supply besides their COM maps:
// - the filter class: GetTraceName, GetObjectCLSID (its coclass),
//   Filter_JoinFilterGraph (bind the pins on a join, Reset on a leave),
//   Filter_CompleteConnect (a connection of either pin is complete),
//   Filter_SendSample (a sample that passed the input pin's checks),
//   FinalConstruct with CreatePins and FinalRelease with ClearPins;
// - each pin class: GetTraceName, FinalConstruct and FinalRelease;
// - the output pin class: m_bMTEnumRedir, the media-type enumeration switch,
//   and AgreeExchange (the step after a type was agreed; AgreeAllocator is
//   the default work for it).
// The input pin class may allow a change of type while the filter runs
// (IsDynReconnectAllowed) or skip the types attached to samples
// (CheckSampleMT).
//
// Pins are COM objects of their own, with their own reference counts; the
// filter owns them, a pin holds only a plain pointer to its filter. When the
// filter lets its pins go it breaks that link first, so that a pin a host still
// holds answers its calls without the filter (every use of the link checks it).
//
// Locks, outermost first: the filter lock, the input pin's object lock, the
// output pin's object lock, the output pin's allocator lock (a leaf: nothing
// is called under it but AddRef and Release). The input pin's lock is held
// across its allocator questions, which may take the output pin's lock, and
// across the flush hooks, which reach the downstream pin through a counted
// copy of it. A connection holds its pin's lock across the calls to the
// neighbour, which on Wine may reconnect pins of this filter on the same
// thread (the locks are re-entrant). The input pin's receive lock is taken
// with no other lock held and is held over each sample's whole way
// downstream; the streaming thread reads the output connection only through
// counted copies taken under the allocator lock (GetConnectedPin,
// GetConnectedMemInput, GetSample), so a wait for a buffer or a blocking
// downstream pin holds no lock the graph thread needs to stop the filter.
#pragma once

#include "DSAllocators.h"
#include "DSEnums.h"
#include "DSParsers.h"
#include "DSRedirect.h"
#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"

#include <atlbase.h>
#include <atlcom.h>

#include <memory>
#include <new>

// Text of a pin direction in trace lines.
inline LPCWSTR PinDirText(PIN_DIRECTION ePinDir)
{
    return (PINDIR_INPUT == ePinDir) ? L"In" : L"Out";
}

// ---------------------------------------------------------------------------
// Filter categories

// The maker's own filter category, "Norvaleth Filters".
// {76726F4E-BB61-47AC-A545-912B367DE469}
inline constexpr CLSID CLSID_NorvalethCategory = { 0x76726f4e, 0xbb61, 0x47ac, { 0xa5, 0x45, 0x91, 0x2b, 0x36, 0x7d, 0xe4, 0x69 } };
// A second category of the maker: a filter registered into the maker's own
// category is first taken out of this one.
// {5A0E8F13-2C6B-4D97-B3E4-8F1A7C9D0E26}
inline constexpr CLSID CLSID_NorvalethCategory2 = { 0x5a0e8f13, 0x2c6b, 0x4d97, { 0xb3, 0xe4, 0x8f, 0x1a, 0x7c, 0x9d, 0x0e, 0x26 } };

// Creates the filter category *pCategory with the filter mapper (bRegister
// TRUE; a category that exists is left alone) or removes it once no filter
// is left in it (FALSE). With pszName NULL it only asks whether the category
// exists: TRUE gives S_OK or the registry's error for the missing key, FALSE
// gives S_OK or S_FALSE. Removal answers S_FALSE when the category is not
// there, still holds filters or cannot be deleted.
inline HRESULT VoxaRegisterCategory(BOOL bRegister, const CLSID* pCategory, LPCWSTR pszName, DWORD dwMerit)
{
    if (!ASSERT(pCategory != NULL))
        return E_POINTER;
    // The filter mapper's list of categories, and the category's name in it.
    WCHAR szGuid[40];
    WCHAR szKey[256];
    if (0 == StringFromGUID2(CLSID_ActiveMovieCategories, szGuid, 40))
        return E_UNEXPECTED;
    _snwprintf_s(szKey, 256, _TRUNCATE, L"CLSID\\%s\\Instance", szGuid);
    if (0 == StringFromGUID2(*pCategory, szGuid, 40))
        return E_UNEXPECTED;

    HKEY hCategories = NULL;
    LONG r = RegOpenKeyExW(HKEY_CLASSES_ROOT, szKey, 0, READ_CONTROL, &hCategories);
    if (ERROR_SUCCESS == r)
    {
        HKEY hCategory = NULL;
        r = RegOpenKeyExW(hCategories, szGuid, 0, READ_CONTROL, &hCategory);
        if (ERROR_SUCCESS == r)
            RegCloseKey(hCategory);
    }
    const bool bExists = (ERROR_SUCCESS == r);

    HRESULT hr = S_OK;
    if (NULL == pszName)
    {
        hr = bRegister ? HRESULT_FROM_WIN32(r) : (bExists ? S_OK : S_FALSE);
    }
    else if (bRegister)
    {
        if (!bExists)
        {
            CComPtr<IFilterMapper2> spMapper;
            hr = spMapper.CoCreateInstance(CLSID_FilterMapper2, NULL, CLSCTX_INPROC_SERVER);
            if (S_OK != hr || !spMapper)
            {
                ASSERT_TEXT(FALSE, "VoxaRegisterCategory( TRUE ): CoCreateInstance(CLSID_FilterMapper2) FAILED");
                hr = FAILED(hr) ? hr : E_FAIL;
            }
            else
            {
                hr = spMapper->CreateCategory(*pCategory, dwMerit, pszName);
                ASSERT_TEXT(hr == S_OK,
                            "hr == S_OK && _T(\"VoxaRegisterCategory( TRUE ): IFilterMapper2::CreateCategory() FAILED\")");
                // A category that could not be created is a failed registration.
                hr = FAILED(hr) ? hr : S_OK;
            }
        }
    }
    else
    {
        hr = S_FALSE;
        HKEY hClsid = NULL;
        const LONG l = RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY,
                                     &hClsid);
        if (ERROR_SUCCESS != l)
        {
            ASSERT_TEXT(FALSE, "VoxaRegisterCategory( FALSE ): keyClsid.Open( CLSID ) FAILED");
            hr = HRESULT_FROM_WIN32(l);
        }
        else
        {
            WCHAR szInstance[64];
            _snwprintf_s(szInstance, 64, _TRUNCATE, L"%s\\Instance", szGuid);
            HKEY hInstance = NULL;
            DWORD nSubKeys = 0;
            if (ERROR_SUCCESS == RegOpenKeyExW(hClsid, szInstance, 0, KEY_QUERY_VALUE, &hInstance))
            {
                const LONG lInfo = RegQueryInfoKeyW(hInstance, NULL, NULL, NULL, &nSubKeys, NULL, NULL, NULL, NULL,
                                                    NULL, NULL, NULL);
                RegCloseKey(hInstance);
                // Only an empty category goes.
                if (ERROR_SUCCESS == lInfo && 0 == nSubKeys)
                {
                    if (ERROR_SUCCESS != RegDeleteTreeW(hClsid, szGuid))
                        ASSERT_TEXT(FALSE, "VoxaRegisterCategory( FALSE ): CLSID -> RecurseDeleteKey() FAILED");
                    else if (NULL == hCategories || ERROR_SUCCESS != RegDeleteTreeW(hCategories, szGuid))
                        ASSERT_TEXT(FALSE, "VoxaRegisterCategory( FALSE ): ActiveMovie -> RecurseDeleteKey() FAILED");
                    else
                        hr = S_OK;
                }
            }
            RegCloseKey(hClsid);
        }
    }
    if (NULL != hCategories)
        RegCloseKey(hCategories);
    return hr;
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
    // that is no filter state counts as a start for the graph text (it is
    // not Stopped) but leaves the state and the start time alone; the answer
    // is always S_OK.
    HRESULT SetFilterState(FILTER_STATE eState, REFERENCE_TIME tStart)
    {
        if (State_Stopped != eState && m_bFirstRun)
            ParseGraphToLogFile();
        m_bFirstRun = (State_Stopped == eState);
        if (State_Running == eState)
            m_tStart = tStart;
        if (State_Stopped == eState || State_Paused == eState || State_Running == eState)
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

    // Registers filter class T (its CLSID clsid, the name its class key
    // gives, dwMerit and T's pin records) in the filter category *pCategory
    // with the filter mapper, or only removes it from there (bRegister
    // FALSE). Registering removes the old registration first, so the filter
    // is registered once however often this runs. A filter that was not
    // registered is removed with success.
    static HRESULT RegisterFilter(BOOL bRegister, const CLSID& clsid, DWORD dwMerit, const CLSID* pCategory)
    {
        if (!ASSERT(pCategory != NULL))
            return E_POINTER;
        CComPtr<IFilterMapper2> spMapper;
        HRESULT hr = spMapper.CoCreateInstance(CLSID_FilterMapper2, NULL, CLSCTX_INPROC_SERVER);
        if (FAILED(hr))
            return hr;
        if (!spMapper)
            return E_FAIL;

        if (InlineIsEqualGUID(*pCategory, CLSID_NorvalethCategory))
            spMapper->UnregisterFilter(&CLSID_NorvalethCategory2, NULL, clsid);
        hr = spMapper->UnregisterFilter(pCategory, NULL, clsid);
        if (HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) == hr)
            hr = S_OK;
        if (!bRegister)
            return hr;

        // The filter's name: the default value of its class key, which the
        // class's registry script wrote.
        WCHAR szKey[64] = L"CLSID\\";
        GuidToText(clsid, szKey + 6);
        HKEY hKey = NULL;
        LONG l = RegOpenKeyExW(HKEY_CLASSES_ROOT, szKey, 0, KEY_READ, &hKey);
        if (ERROR_SUCCESS != l)
        {
            ASSERT_TEXT(FALSE, "RegisterFilter( TRUE ): COM-object not registered");
            return HRESULT_FROM_WIN32(l);
        }
        // 128 WCHARs are read; the one more keeps a name that fills them
        // terminated.
        WCHAR szName[128 + 1] = {};
        DWORD cb = 128 * sizeof(WCHAR);
        DWORD dwType = REG_NONE;
        l = RegQueryValueExW(hKey, NULL, NULL, &dwType, reinterpret_cast<BYTE*>(szName), &cb);
        RegCloseKey(hKey);
        if (ERROR_SUCCESS != l || REG_SZ != dwType || cb < sizeof(WCHAR))
        {
            ASSERT_TEXT(FALSE, "RegisterFilter( TRUE ): name of filter not found");
            return (ERROR_SUCCESS != l) ? HRESULT_FROM_WIN32(l) : E_FAIL;
        }
        szName[cb / sizeof(WCHAR)] = 0;

        // T's pin records, copied into one array.
        const int n = T::GetPinRegData(-1, NULL);
        if (!ASSERT(n >= 0))
            return E_UNEXPECTED;
        std::unique_ptr<REGFILTERPINS[]> apPins;
        if (n > 0)
        {
            apPins.reset(new (std::nothrow) REGFILTERPINS[n]);
            if (!apPins)
                return E_OUTOFMEMORY;
            for (int i = 0; i < n; ++i)
            {
                const REGFILTERPINS* pPin = NULL;
                T::GetPinRegData(i, &pPin);
                // A missing record would register a pin that is not there.
                if (!ASSERT(pPin != NULL))
                    return E_UNEXPECTED;
                apPins[i] = *pPin;
            }
        }
        REGFILTER2 rf2;
        rf2.dwVersion = 1;
        rf2.dwMerit = dwMerit;
        rf2.cPins = static_cast<ULONG>(n);
        rf2.rgPins = apPins.get();
        return spMapper->RegisterFilter(clsid, szName, NULL, pCategory, NULL, &rf2);
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
        // Read once: a disconnection on another thread may clear the pointer
        // at any moment, and S_OK must always come with a pin. (The pin read
        // stays alive: its filter holds it.)
        IPin* pConnected = *static_cast<IPin* volatile*>(&pPin->m_spConnected.p);
        if (NULL == pConnected)
            return VFW_E_NOT_CONNECTED;
        pConnected->AddRef();
        *ppPin = pConnected;
        return S_OK;
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

// ---------------------------------------------------------------------------
// Input pin streaming

// IMemInputPin of input pin class T: the checks every arriving sample passes
// before the filter's Filter_SendSample sees it, batches, and the record of
// the allocator that upstream announced. The pin lock covers the checks and a
// change of type only; the filter gets the sample under the receive lock, so
// samples reach it one at a time, and nothing it does downstream holds the
// pin lock.
template <class T>
class ATL_NO_VTABLE IMemInputPinImpl : public IMemInputPin
{
public:
    // A receive lock that cannot be made fails the pin's creation.
    IMemInputPinImpl() : m_bReadOnly(FALSE), m_nStoppedWarnings(0)
    {
        ZeroMemory(&m_props, sizeof(m_props));
        if (!InitializeCriticalSectionAndSpinCount(&m_csReceive, 0))
            throw AtlHresultFromLastError();
    }
    ~IMemInputPinImpl() { DeleteCriticalSection(&m_csReceive); }

    IMemInputPinImpl(const IMemInputPinImpl&) = delete;
    IMemInputPinImpl& operator=(const IMemInputPinImpl&) = delete;

    // Lets the input connection's allocator go (decommitted first); the
    // Decommit result comes back.
    HRESULT ReleaseAllocator()
    {
        HRESULT hr = S_OK;
        if (m_spAllocIn)
        {
            hr = m_spAllocIn->Decommit();
            m_spAllocIn.Release();
        }
        m_bReadOnly = FALSE;
        ZeroMemory(&m_props, sizeof(m_props));
        m_nStoppedWarnings = 0;
        return hr;
    }

    STDMETHOD(GetAllocator)(IMemAllocator**) override { ATLTRACENOTIMPL(L"IMemInputPinImpl::GetAllocator"); }

    // Records the allocator; the one recorded before is decommitted unless it
    // is the same object.
    STDMETHOD(NotifyAllocator)(IMemAllocator* pAllocator, BOOL bReadOnly) override
    {
        T* pPin = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IMemInputPinImpl::NotifyAllocator( 0x%X%s)\n", pPin->GetTraceName(),
                  static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pAllocator)), bReadOnly ? L", READ ONLY " : L" ");
        if (!ASSERT(pAllocator != NULL))
            return E_POINTER;
        typename T::ObjectLock lock(pPin);
        if (m_spAllocIn && !m_spAllocIn.IsEqualObject(pAllocator))
            pPin->ReleaseAllocator();
        else
            ZeroMemory(&m_props, sizeof(m_props));
        m_spAllocIn = pAllocator;
        m_bReadOnly = bReadOnly;
        const HRESULT hr = m_spAllocIn->GetProperties(&m_props);
        if (FAILED(hr))
        {
            ZeroMemory(&m_props, sizeof(m_props));
            _LogTrace(atlTraceGeneral, eTL_Warning,
                      L"WARNING. %s IMemInputPinImpl::NotifyAllocator(): m_spAllocIn->GetProperties()=0x%X\n",
                      pPin->GetTraceName(), hr);
        }
        else
            _LogTrace(atlTraceGeneral, eTL_Info, L"%s IMemInputPinImpl::NotifyAllocator(): props = { %i, %i, %i, %i }\n",
                      pPin->GetTraceName(), static_cast<int>(m_props.cBuffers), static_cast<int>(m_props.cbBuffer),
                      static_cast<int>(m_props.cbAlign), static_cast<int>(m_props.cbPrefix));
        return S_OK;
    }

    STDMETHOD(GetAllocatorRequirements)(ALLOCATOR_PROPERTIES*) override
    {
        ATLTRACENOTIMPL(L"IMemInputPinImpl::GetAllocatorRequirements");
    }

    // Not connected, flushing or stopped: refused; a refused attached type:
    // refused. Otherwise the filter's answer comes back unchanged.
    STDMETHOD(Receive)(IMediaSample* pSample) override
    {
        T* pPin = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s IMemInputPinImpl::Receive\n", pPin->GetTraceName());
        if (!ASSERT(pSample != NULL))
            return E_POINTER;
        CComPtr<IMediaSample> spSample(pSample);
        decltype(pPin->m_pFilter) pFilter = NULL;
        {
            typename T::ObjectLock lock(pPin);
            if (!pPin->IsConnected())
            {
                _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### %s IMemInputPinImpl::Receive(): Input pin not connected\n",
                          pPin->GetTraceName());
                return VFW_E_NOT_CONNECTED;
            }
            if (pPin->m_bFlushing)
            {
                _LogTrace(atlTraceGeneral, eTL_Warning,
                          L"WARNING. %s IMemInputPinImpl::Receive(): pin in flush state, sample rejected\n",
                          pPin->GetTraceName());
                return S_FALSE;
            }
            pFilter = pPin->m_pFilter;
            if (!ASSERT(pFilter != NULL))
                return E_UNEXPECTED;
            if (State_Stopped == pFilter->FilterState())
            {
                if (m_nStoppedWarnings < 10)
                {
                    ++m_nStoppedWarnings;
                    _LogTrace(atlTraceGeneral, eTL_Warning,
                              L"WARNING. %s IMemInputPinImpl::Receive(): FilterState() == State_Stopped\n",
                              pPin->GetTraceName());
                }
                return VFW_E_WRONG_STATE;
            }
            m_nStoppedWarnings = 0;
            if (pPin->CheckSampleMT())
            {
                const HRESULT hr = pPin->SetMediaTypeFromSample(pSample);
                if (FAILED(hr))
                    return hr;
            }
        }
        CCritSecLock lockReceive(m_csReceive);
        return pFilter->Filter_SendSample(pPin->m_dwCookie, pSample);
    }

    // The samples one by one through this pin's own Receive, until one is
    // not taken with S_OK. The count includes a sample answered with S_FALSE;
    // after a failure it is the number of samples received before it.
    STDMETHOD(ReceiveMultiple)(IMediaSample** pSamples, long nSamples, long* nSamplesProcessed) override
    {
        T* pPin = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s IMemInputPinImpl::ReceiveMultiple( %u )\n", pPin->GetTraceName(),
                  static_cast<unsigned>(nSamples));
        if (!ASSERT_TEXT(pSamples != NULL, "ppSamples != NULL"))
            return E_POINTER;
        if (!ASSERT(nSamplesProcessed != NULL))
            return E_POINTER;
        if (!ASSERT(nSamples > 0))
            return E_INVALIDARG;
        *nSamplesProcessed = 0;
        HRESULT hr = S_OK;
        long i = 0;
        while (i < nSamples && S_OK == hr)
        {
            hr = static_cast<IMemInputPin*>(pPin)->Receive(pSamples[i]);
            if (S_OK != hr)
                _LogTrace(atlTraceGeneral, eTL_Warning,
                          L"WARNING. %s IMemInputPinImpl::ReceiveMultiple( %u ): pPin->Receive( sample %i )=0x%X\n",
                          pPin->GetTraceName(), static_cast<unsigned>(nSamples), static_cast<int>(i), hr);
            ++i;
        }
        *nSamplesProcessed = FAILED(hr) ? i - 1 : i;
        return hr;
    }

    STDMETHOD(ReceiveCanBlock)() override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IMemInputPinImpl::ReceiveCanBlock()\n",
                  static_cast<T*>(this)->GetTraceName());
        return S_OK;
    }

    virtual LPCWSTR GetTraceName() = 0;

    CRITICAL_SECTION m_csReceive;
    CComPtr<IMemAllocator> m_spAllocIn;
    BOOL m_bReadOnly;
    ALLOCATOR_PROPERTIES m_props;
    UINT32 m_nStoppedWarnings;
};

// The input pin's allocator questions, answered by the filter's hooks.
template <class T>
class ATL_NO_VTABLE CMemInputPinFilter : public IMemInputPinImpl<T>
{
public:
    // The filter decides first; only an allocator it takes with S_OK is
    // recorded.
    STDMETHOD(NotifyAllocator)(IMemAllocator* pAllocator, BOOL bReadOnly) override
    {
        T* pPin = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Info, L"%s CMemInputPinFilter::NotifyAllocator( 0x%X%s)\n", pPin->GetTraceName(),
                  static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pAllocator)), bReadOnly ? L", READ ONLY " : L" ");
        if (!ASSERT(pAllocator != NULL))
            return E_POINTER;
        typename T::ObjectLock lock(pPin);
        if (!ASSERT(pPin->m_pFilter != NULL))
            return E_UNEXPECTED;
        const HRESULT hr = pPin->m_pFilter->Filter_NotifyAllocator(pPin->m_dwCookie, pAllocator, bReadOnly);
        if (S_OK != hr)
        {
            _LogTrace(atlTraceGeneral, eTL_Warning,
                      L"WARNING. %s CMemInputPinFilter::NotifyAllocator(): Filter_NotifyAllocator()=0x%X\n",
                      pPin->GetTraceName(), hr);
            return hr;
        }
        return IMemInputPinImpl<T>::NotifyAllocator(pAllocator, bReadOnly);
    }

    // An allocator is handed out only with S_OK; any other answer of the
    // filter hands out none (a success code without an allocator becomes
    // VFW_E_NO_ALLOCATOR, so that no caller takes it for one).
    STDMETHOD(GetAllocator)(IMemAllocator** ppAllocator) override
    {
        T* pPin = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Info, L"%s CMemInputPinFilter::GetAllocator\n", pPin->GetTraceName());
        if (!ASSERT(ppAllocator != NULL))
            return E_POINTER;
        *ppAllocator = NULL;
        typename T::ObjectLock lock(pPin);
        if (!ASSERT(pPin->m_pFilter != NULL))
            return E_UNEXPECTED;
        HRESULT hr = pPin->m_pFilter->Filter_GetAllocator(pPin->m_dwCookie, ppAllocator);
        if (S_OK == hr && !ASSERT_TEXT(*ppAllocator != NULL,
                                       "_T(\"CMemInputPinFilter::GetAllocator()\") && *ppAllocator != NULL"))
            hr = VFW_E_NO_ALLOCATOR;
        if (S_OK != hr)
        {
            ASSERT_TEXT(*ppAllocator == NULL, "_T(\"CMemInputPinFilter::GetAllocator()\") && *ppAllocator == NULL");
            if (NULL != *ppAllocator)
                (*ppAllocator)->Release();
            *ppAllocator = NULL;
            if (SUCCEEDED(hr))
                hr = VFW_E_NO_ALLOCATOR;
            _LogTrace(atlTraceGeneral, eTL_Warning,
                      L"WARNING. %s CMemInputPinFilter::GetAllocator(): can't get allocator from filter, hr=0x%X\n",
                      pPin->GetTraceName(), hr);
            return hr;
        }
        _LogTrace(atlTraceCOM, eTL_Info, L"%s CMemInputPinFilter::GetAllocator()=S_OK, pAllocator=0x%X\n",
                  pPin->GetTraceName(), static_cast<unsigned>(reinterpret_cast<UINT_PTR>(*ppAllocator)));
        return S_OK;
    }

    STDMETHOD(GetAllocatorRequirements)(ALLOCATOR_PROPERTIES* pProps) override
    {
        T* pPin = static_cast<T*>(this);
        _LogTrace(atlTraceCOM, eTL_Info, L"%s CMemInputPinFilter::GetAllocatorRequirements\n", pPin->GetTraceName());
        if (!ASSERT(pProps != NULL))
            return E_POINTER;
        typename T::ObjectLock lock(pPin);
        if (!ASSERT(pPin->m_pFilter != NULL))
            return E_UNEXPECTED;
        const HRESULT hr = pPin->m_pFilter->Filter_GetAllocatorRequirements(pPin->m_dwCookie, pProps);
        if (S_OK != hr)
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"%s CMemInputPinFilter::GetAllocatorRequirements(): Filter_GetAllocatorRequirements()=0x%X\n",
                      pPin->GetTraceName(), hr);
        else
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"%s CMemInputPinFilter::GetAllocatorRequirements(): properties = { %i, %i, %i, %i }\n",
                      pPin->GetTraceName(), static_cast<int>(pProps->cBuffers), static_cast<int>(pProps->cbBuffer),
                      static_cast<int>(pProps->cbAlign), static_cast<int>(pProps->cbPrefix));
        return hr;
    }
};

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
// changes, and the rules for allocator properties. T is the output pin class.
// Every write of the allocator pointer happens under the pin's allocator
// lock; nothing but AddRef and Release is called under it.
template <class T>
class CAllocatorMatch
{
public:
    CAllocatorMatch() noexcept : m_bActivate(FALSE), m_eAllocSrc(eAS_None) { ZeroMemory(&m_propsOut, sizeof(m_propsOut)); }

    // {1, 1, 1, 0}: one buffer of one byte, no alignment, no prefix.
    static void SetDefaultProps(ALLOCATOR_PROPERTIES* p)
    {
        p->cBuffers = 1;
        p->cbBuffer = 1;
        p->cbAlign = 1;
        p->cbPrefix = 0;
    }

    static void NormalizeProps(ALLOCATOR_PROPERTIES* p)
    {
        if (p->cBuffers < 1)
            p->cBuffers = 1;
        if (p->cbBuffer < 1)
            p->cbBuffer = 1;
        if (0 == p->cbAlign)
            p->cbAlign = 1;
    }

    // Each field of *pDst becomes the larger of the two (signed).
    static void MergeProps(ALLOCATOR_PROPERTIES* pDst, const ALLOCATOR_PROPERTIES* pSrc)
    {
        pDst->cBuffers = pDst->cBuffers > pSrc->cBuffers ? pDst->cBuffers : pSrc->cBuffers;
        pDst->cbBuffer = pDst->cbBuffer > pSrc->cbBuffer ? pDst->cbBuffer : pSrc->cbBuffer;
        pDst->cbAlign = pDst->cbAlign > pSrc->cbAlign ? pDst->cbAlign : pSrc->cbAlign;
        pDst->cbPrefix = pDst->cbPrefix > pSrc->cbPrefix ? pDst->cbPrefix : pSrc->cbPrefix;
    }

    // S_OK when the actual properties give at least what is required and the
    // actual alignment is a power of two (0 passes that part of the test).
    static HRESULT CheckProps(const ALLOCATOR_PROPERTIES* pRequired, const ALLOCATOR_PROPERTIES* pActual)
    {
        if (pRequired->cBuffers > pActual->cBuffers || pRequired->cbBuffer > pActual->cbBuffer ||
            pRequired->cbAlign > pActual->cbAlign)
            return E_FAIL;
        const unsigned uAlign = static_cast<unsigned>(pActual->cbAlign);
        if (((0u - uAlign) & uAlign) != uAlign)
            return E_FAIL;
        if (pRequired->cbPrefix > pActual->cbPrefix)
            return E_FAIL;
        return S_OK;
    }

    // TRUE when a field of pRequired is larger than that of pActual.
    static BOOL ExceedsProps(const ALLOCATOR_PROPERTIES* pRequired, const ALLOCATOR_PROPERTIES* pActual)
    {
        return pRequired->cBuffers > pActual->cBuffers || pRequired->cbBuffer > pActual->cbBuffer ||
               pRequired->cbAlign > pActual->cbAlign || pRequired->cbPrefix > pActual->cbPrefix;
    }

    void AttachAllocator(IMemAllocator* pAllocator, eAllocSrc eSrc)
    {
        T* pPin = static_cast<T*>(this);
        ASSERT(pAllocator != NULL);
        ASSERT_TEXT(eSrc != eAS_None, "eAllocSrc != eAS_None");
        if (NULL == pAllocator)
            return;
        ALLOCATOR_PROPERTIES props;
        ZeroMemory(&props, sizeof(props));
        const HRESULT hr = pAllocator->GetProperties(&props);
        ASSERT_TEXT(S_OK == hr, "CAllocatorMatch::AttachAllocator(): GetProperties() != S_OK");
        CComPtr<IMemAllocator> spOld;
        {
            CCritSecLock lock(pPin->m_csAllocator);
            spOld.Attach(m_spAllocOut.Detach());
            m_propsOut = props;
            m_spAllocOut = pAllocator;
            m_eAllocSrc = eSrc;
        }
        _LogTrace(atlTraceGeneral, eTL_Info, L"@@@@ %s CAllocatorMatch::AttachAllocator(): use %s allocator\n",
                  pPin->GetTraceName(),
                  eAS_Upstream == eSrc ? L"upstream" : (eAS_Downstream == eSrc ? L"downstream" : L"internal"));
        Debug_Allocator(atlTraceGeneral, eTL_Info, pAllocator);
    }

    // The output allocator, counted, or NULL; safe on any thread.
    CComPtr<IMemAllocator> GetAllocatorOut()
    {
        T* pPin = static_cast<T*>(this);
        CCritSecLock lock(pPin->m_csAllocator);
        return m_spAllocOut;
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
        CComPtr<IMemAllocator> spAllocator = GetAllocatorOut();
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

    // Lets the output allocator go (decommitted first, outside the lock).
    void Reset()
    {
        CComPtr<IMemAllocator> spOld;
        DetachAllocator(&spOld);
        if (spOld)
            spOld->Decommit();
    }

    // Empties the record and hands the allocator it held to *ppOld (with the
    // record's reference), for the caller to decommit outside the lock.
    void DetachAllocator(IMemAllocator** ppOld)
    {
        T* pPin = static_cast<T*>(this);
        CCritSecLock lock(pPin->m_csAllocator);
        *ppOld = m_spAllocOut.Detach();
        ZeroMemory(&m_propsOut, sizeof(m_propsOut));
        m_bActivate = FALSE;
        m_eAllocSrc = eAS_None;
    }

    ALLOCATOR_PROPERTIES m_propsOut;
    CComPtr<IMemAllocator> m_spAllocOut;
    BYTE m_bActivate;
    eAllocSrc m_eAllocSrc;
};

// The in-place agreement of the output pin's allocator: one allocator for
// both connections wherever the neighbours allow it. T is the output pin
// class; its filter supplies Filter_GetTransInPlaceAlloc.
template <class T>
class CTransInPlaceAllocator : public CAllocatorMatch<T>
{
public:
    typedef CAllocatorMatch<T> _Match;

    // A new allocator of the framework.
    static HRESULT CreateAllocator(IMemAllocator** ppAllocator)
    {
        return CMemoryAllocatorT<CBufferOnVirtualAlloc>::CreateInstance(ppAllocator);
    }

    // What the downstream pin asks for, never below {1, 1, 1, 0}.
    void GetDownstreamRequirements(IMemInputPin* pMemInput, ALLOCATOR_PROPERTIES* pProps)
    {
        ASSERT(pMemInput != NULL);
        ZeroMemory(pProps, sizeof(*pProps));
        if (NULL == pMemInput || FAILED(pMemInput->GetAllocatorRequirements(pProps)))
            ZeroMemory(pProps, sizeof(*pProps));
        ALLOCATOR_PROPERTIES propsDefault;
        _Match::SetDefaultProps(&propsDefault);
        _Match::MergeProps(pProps, &propsDefault);
        _Match::NormalizeProps(pProps);
    }

    // Hands pAllocator to the downstream pin; unless it is read-only it is
    // first given the required properties, and must grant them.
    HRESULT NotifyDownstream(IMemInputPin* pMemInput, IMemAllocator* pAllocator, const ALLOCATOR_PROPERTIES* pRequired,
                             bool bReadOnly)
    {
        if (!ASSERT(pMemInput != NULL) || !ASSERT(pAllocator != NULL) || !ASSERT(pRequired != NULL))
            return E_POINTER;
        if (!bReadOnly)
        {
            ALLOCATOR_PROPERTIES propsRequest = *pRequired;
            ALLOCATOR_PROPERTIES propsActual;
            ZeroMemory(&propsActual, sizeof(propsActual));
            HRESULT hr = pAllocator->SetProperties(&propsRequest, &propsActual);
            if (FAILED(hr))
                return hr;
            hr = _Match::CheckProps(pRequired, &propsActual);
            if (FAILED(hr))
                return hr;
        }
        return pMemInput->NotifyAllocator(pAllocator, bReadOnly ? TRUE : FALSE);
    }

    // The agreement at output connection time: the input connection's
    // allocator, then the downstream pin's, then a new one of ours; the
    // first that the downstream pin takes becomes the output allocator.
    HRESULT AllocatorAgree(IMemInputPin* pMemInput)
    {
        T* pPin = static_cast<T*>(this);
        _LogTrace(atlTraceGeneral, eTL_Info, L"@@@@ %s CTransInPlaceAllocator::AllocatorAgree()\n", pPin->GetTraceName());
        if (!ASSERT(pMemInput != NULL))
            return E_POINTER;
        auto* pFilter = pPin->m_pFilter;
        if (!ASSERT(pFilter != NULL))
            return E_UNEXPECTED;

        CComPtr<IMemAllocator> spAllocIn;
        bool bUseIn = true;
        bool bReadOnly = false;
        HRESULT hr = pFilter->Filter_GetTransInPlaceAlloc(pPin->m_dwCookie, &spAllocIn, &bUseIn, &bReadOnly);
        if (FAILED(hr))
        {
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"###Err### %s CTransInPlaceAllocator::AllocatorAgree(): Filter_GetTransInPlaceAlloc()=0x%X\n",
                      pPin->GetTraceName(), hr);
            return hr;
        }
        ALLOCATOR_PROPERTIES propsIn;
        ZeroMemory(&propsIn, sizeof(propsIn));
        if (spAllocIn)
        {
            hr = spAllocIn->GetProperties(&propsIn);
            ASSERT(hr == S_OK);
        }
        else
            bUseIn = false;

        ALLOCATOR_PROPERTIES propsReq;
        GetDownstreamRequirements(pMemInput, &propsReq);
        _Match::MergeProps(&propsReq, &propsIn);
        if (bUseIn && _Match::ExceedsProps(&propsReq, &propsIn))
            bUseIn = !bReadOnly;

        CComPtr<IMemAllocator> spAllocDown;
        if (FAILED(pMemInput->GetAllocator(&spAllocDown)) || !spAllocDown)
        {
            spAllocDown.Release();
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"%s CTransInPlaceAllocator::AllocatorAgree(): Downstream filter hasn't allocator\n",
                      pPin->GetTraceName());
        }

        CComPtr<IMemAllocator> spChosen;
        hr = E_FAIL;
        if (bUseIn)
        {
            hr = NotifyDownstream(pMemInput, spAllocIn, &propsReq, bReadOnly);
            if (SUCCEEDED(hr))
            {
                this->AttachAllocator(spAllocIn, eAS_Upstream);
                spChosen = spAllocIn;
            }
        }
        if (!spChosen && spAllocDown)
        {
            hr = NotifyDownstream(pMemInput, spAllocDown, &propsReq, false);
            if (SUCCEEDED(hr))
            {
                this->AttachAllocator(spAllocDown, eAS_Downstream);
                spChosen = spAllocDown;
            }
        }
        if (!spChosen)
        {
            CComPtr<IMemAllocator> spAllocNew;
            hr = CreateAllocator(&spAllocNew);
            if (SUCCEEDED(hr))
                hr = NotifyDownstream(pMemInput, spAllocNew, &propsReq, false);
            if (SUCCEEDED(hr))
            {
                this->AttachAllocator(spAllocNew, eAS_Internal);
                spChosen = spAllocNew;
            }
        }
        if (!spChosen)
        {
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"###Err### %s CTransInPlaceAllocator::AllocatorAgree(): allocator agreement failed, hr=0x%X\n",
                      pPin->GetTraceName(), hr);
            return FAILED(hr) ? hr : E_FAIL;
        }
        // The input connection keeps its own allocator until upstream
        // notifies again: whether samples must be copied is known now.
        if (spAllocIn)
            pFilter->m_bSeparateAllocators = spChosen.IsEqualObject(spAllocIn) ? FALSE : TRUE;
        return S_OK;
    }

    // Makes the allocator that upstream newly notified the output allocator
    // too. S_OK: agreed; S_FALSE: not agreed, both sides as they were; a
    // failure: the old state could not be restored.
    HRESULT AgreePassThroughAllocator(DWORD dwCookie, IMemAllocator* pUpAlloc, bool bReadOnly)
    {
        T* pPin = static_cast<T*>(this);
        (void)dwCookie;
        _LogTrace(atlTraceGeneral, eTL_Info, L"@@@@ %s CTransInPlaceAllocator::AgreePassThroughAllocator()\n",
                  pPin->GetTraceName());
        if (!ASSERT(pUpAlloc != NULL))
            return E_POINTER;
        ASSERT_TEXT(!this->m_bActivate, "!m_bActivate");
        ASSERT_TEXT(pPin->IsConnected(), "pOutPin->IsConnected()");
        CComPtr<IMemInputPin> spMemInput = pPin->GetConnectedMemInput();
        CComPtr<IMemAllocator> spAllocOut = this->GetAllocatorOut();
        if (!ASSERT_TEXT(spMemInput != NULL, "pOutPin->m_spMemInput != NULL") ||
            !ASSERT_TEXT(spAllocOut != NULL, "m_spAllocOut != NULL"))
            return E_UNEXPECTED;

        ALLOCATOR_PROPERTIES propsUp;
        ZeroMemory(&propsUp, sizeof(propsUp));
        HRESULT hr = pUpAlloc->GetProperties(&propsUp);
        // Without the upstream properties the agreement goes on from zero:
        // the output allocator's properties are then what is asked for.
        const bool bPropsKnown = SUCCEEDED(hr);
        if (!bPropsKnown)
        {
            ZeroMemory(&propsUp, sizeof(propsUp));
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"###Err### %s CTransInPlaceAllocator::AgreePassThroughAllocator(): pUpAlloc->GetProperties()=0x%X\n",
                      pPin->GetTraceName(), hr);
            ASSERT_TEXT(false, "CTransInPlaceAllocator::AgreePassThroughAllocator(): pUpAlloc->GetProperties() FAILED");
        }
        if (bReadOnly && FAILED(_Match::CheckProps(&this->m_propsOut, &propsUp)))
        {
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"###Err### %s CTransInPlaceAllocator::AgreePassThroughAllocator(): Read-only upstream allocator "
                      L"can't be used as pass through allocator\n",
                      pPin->GetTraceName());
            return S_FALSE;
        }
        ALLOCATOR_PROPERTIES propsReq = propsUp;
        if (!bReadOnly)
            _Match::MergeProps(&propsReq, &this->m_propsOut);
        hr = NotifyDownstream(spMemInput, pUpAlloc, &propsReq, bReadOnly);
        if (SUCCEEDED(hr))
        {
            this->Reset();
            this->AttachAllocator(pUpAlloc, eAS_Upstream);
            return S_OK;
        }
        _LogTrace(atlTraceGeneral, eTL_Info,
                  L"WARNING. %s CTransInPlaceAllocator::AgreePassThroughAllocator(): agreement of pass-through allocator "
                  L"failed, hr=0x%X\n",
                  pPin->GetTraceName(), hr);
        // Properties that were never read cannot be put back.
        if (!bReadOnly && bPropsKnown)
        {
            ALLOCATOR_PROPERTIES propsRestore = propsUp;
            ALLOCATOR_PROPERTIES propsActual;
            ZeroMemory(&propsActual, sizeof(propsActual));
            hr = pUpAlloc->SetProperties(&propsRestore, &propsActual);
            if (FAILED(hr))
            {
                _LogTrace(atlTraceGeneral, eTL_Info,
                          L"###Err### %s CTransInPlaceAllocator::AgreePassThroughAllocator(): Restore upstream allocator: "
                          L"pUpAlloc->SetProperties()=0x%X\n",
                          pPin->GetTraceName(), hr);
                ASSERT_TEXT(false, "CTransInPlaceAllocator::AgreePassThroughAllocator(): Restore upstream allocator FAILED");
                return hr;
            }
            if (0 != memcmp(&propsActual, &propsUp, sizeof(propsUp)))
                _LogTrace(atlTraceGeneral, eTL_Info,
                          L"WARNING. %s CTransInPlaceAllocator::AgreePassThroughAllocator(): properties changed: "
                          L"old=[%i,%i,%i,%i], new=[%i,%i,%i,%i]\n",
                          pPin->GetTraceName(), static_cast<int>(propsUp.cBuffers), static_cast<int>(propsUp.cbBuffer),
                          static_cast<int>(propsUp.cbAlign), static_cast<int>(propsUp.cbPrefix),
                          static_cast<int>(propsActual.cBuffers), static_cast<int>(propsActual.cbBuffer),
                          static_cast<int>(propsActual.cbAlign), static_cast<int>(propsActual.cbPrefix));
        }
        hr = spMemInput->NotifyAllocator(spAllocOut, FALSE);
        if (FAILED(hr))
        {
            _LogTrace(atlTraceGeneral, eTL_Info,
                      L"###Err### %s CTransInPlaceAllocator::AgreePassThroughAllocator(): Restore downstream allocator: "
                      L"pOutPin->m_spMemInput->NotifyAllocator()=0x%X\n",
                      pPin->GetTraceName(), hr);
            ASSERT_TEXT(false, "CTransInPlaceAllocator::AgreePassThroughAllocator(): Restore downstream allocator FAILED");
            return hr;
        }
        return S_FALSE;
    }
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
            typename TOut::ObjectLock lockOut(m_apOut.p);
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

// An in-place transform filter: one buffer passes through, so a media type
// is acceptable on one side only when the neighbour on the other side takes
// it too.
template <class T, class TIn, class TOut>
class CTransInPlaceFilter : public CMorphlet<T, TIn, TOut>
{
public:
    CTransInPlaceFilter() noexcept : m_bSeparateAllocators(FALSE) {}

    // How long a question from upstream waits for a busy output pin.
    static constexpr DWORD OUTPUT_PIN_WAIT_MS = 200;

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
