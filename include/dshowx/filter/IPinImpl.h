// IPinImpl: what both pins answer alike.
#pragma once

#include "DSEnums.h"
#include "PinTraceText.h"
#include "text/StructureDumps.h"
#include "text/TraceText.h"
#include "DSTrace.h"
#include "DSTypes.h"
#include "Wrappers.h"

#include <atlbase.h>
#include <atlcom.h>

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
