// Small DirectShow helpers of the framework.
#pragma once

#include "DSTrace.h"

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
