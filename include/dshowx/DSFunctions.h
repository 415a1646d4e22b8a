// Small functions of the framework that stand on the trace header: a memory
// copy that survives a fault, and DirectShow pin helpers.
#pragma once

#include "DSTrace.h"

#include <string.h>

// Copies cb bytes and survives a fault while doing so: the exception's call
// stack goes to the log, one error line is traced, and the result is FALSE.
// TRUE when every byte was copied.
inline BOOL SEH_CopyMemory(void* pDst, const void* pSrc, size_t cb)
{
    DWORD dwCode = 0;
    if (SEH_Guard([pDst, pSrc, cb] { memcpy(pDst, pSrc, cb); },
                  [](EXCEPTION_POINTERS* pep) -> LONG {
                      return static_cast<LONG>(_LogDumpCallStack(pep, NULL, FALSE, EXCEPTION_EXECUTE_HANDLER));
                  },
                  &dwCode))
        return TRUE;
    _LogTrace(atlTraceGeneral, eTL_Exception,
              L"###Err### SEH_CopyMemory( pDst=0x%X, pSrc=0x%X, cb=0x%X ): Exception 0x%X\n",
              static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pDst)),
              static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pSrc)), static_cast<unsigned>(cb), dwCode);
    return FALSE;
}

// The filter that owns pPin, with the reference that QueryPinInfo added.
inline HRESULT GetPinFilter(IPin* pPin, IBaseFilter** ppFilter)
{
    if (!ASSERT(pPin != NULL && ppFilter != NULL))
        return E_POINTER;
    *ppFilter = NULL;
    PIN_INFO rgPinInfo;
    ZeroMemory(&rgPinInfo, sizeof(rgPinInfo));
    const HRESULT hr = pPin->QueryPinInfo(&rgPinInfo);
    if (FAILED(hr))
        return hr;
    *ppFilter = rgPinInfo.pFilter;
    return NULL != *ppFilter ? S_OK : E_FAIL;
}

// The class identifier of the filter that owns pPin.
inline HRESULT GetPinFilterClsid(IPin* pPin, CLSID* pclsid)
{
    if (!ASSERT(pPin != NULL && pclsid != NULL))
        return E_INVALIDARG;
    IBaseFilter* pFilter = NULL;
    HRESULT hr = GetPinFilter(pPin, &pFilter);
    if (FAILED(hr))
        return hr;
    hr = pFilter->GetClassID(pclsid);
    pFilter->Release();
    return hr;
}
