// IMemInputPinImpl and CMemInputPinFilter: the input pin's IMemInputPin, its
// sample checks and its allocator questions.
#pragma once

#include "alloc/MediaSample.h"
#include "text/ObjectDumps.h"
#include "text/StructureDumps.h"
#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"

#include <atlbase.h>
#include <atlcom.h>

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
