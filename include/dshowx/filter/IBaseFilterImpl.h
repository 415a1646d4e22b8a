// IBaseFilterImpl: IBaseFilter (with IMediaFilter and IPersist) for a filter
// class.
#pragma once

#include "DSEnums.h"
#include "text/TraceText.h"
#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"

#include <atlbase.h>
#include <atlcom.h>

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
