// CBaseFilter: what every filter of the framework has.
#pragma once

#include "FilterCategory.h"
#include "PinTraceText.h"
#include "text/FilterChainParser.h"
#include "text/TraceText.h"
#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"

#include <atlbase.h>
#include <atlcom.h>

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
