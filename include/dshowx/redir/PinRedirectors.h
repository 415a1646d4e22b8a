// The pin redirectors: IKsPropertySet and IMediaSeeking answered by the pin
// on the far side of the filter, with IVoxaRedirect and the texts they trace.
#pragma once

#include "DSTrace.h"
#include "text/TraceText.h"

#include <MixerPinConfig.h>
#include <sehguard.h>

#include <atlbase.h>
#include <atlcom.h>

// Lets the holder of a redirecting object drop the interface it keeps from
// the far side, so that the next call looks for it again.
// {71D4C3C1-58E6-4B1F-A0C9-2E7B6D5F8A31}
struct IVoxaRedirect : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Reconnect() = 0;
};
__CRT_UUID_DECL(IVoxaRedirect, 0x71d4c3c1, 0x58e6, 0x4b1f, 0xa0, 0xc9, 0x2e, 0x7b, 0x6d, 0x5f, 0x8a, 0x31)
inline constexpr IID IID_IVoxaRedirect = { 0x71d4c3c1, 0x58e6, 0x4b1f, { 0xa0, 0xc9, 0x2e, 0x7b, 0x6d, 0x5f, 0x8a, 0x31 } };

namespace DSRedirect
{

// The name of a format GUID, "NULL" for no GUID.
inline LPCWSTR FormatName(const GUID* pFormat, WCHAR* pszName)
{
    if (NULL == pFormat)
        return L"NULL";
    return Guid2Name(*pFormat, pszName, GUID_NAME_WORK_SIZE);
}

// The text of a time, "NULL" for no time.
inline LPCWSTR TimeText(const LONGLONG* pTime, WCHAR* pszConv)
{
    if (NULL == pTime)
        return L"NULL";
    return ReferenceTimeToText(*pTime, pszConv);
}

inline LONGLONG ValueOr0(const LONGLONG* p)
{
    return (NULL != p) ? *p : 0;
}

// The result line of a redirected call: "Redirection: <call>=0x<hr>" when
// the far side was asked, "Can't redirect <call>" when there was none.
inline void TraceResult(DWORD_PTR dwCategory, UINT nLevel, bool bRedirected, LPCWSTR pszCall, HRESULT hr)
{
    if (bRedirected)
        _LogTrace(dwCategory, nLevel, L"Redirection: %s=0x%X\n", pszCall, static_cast<unsigned>(hr));
    else
        _LogTrace(dwCategory, nLevel, L"Can't redirect %s\n", pszCall);
}

// The name of an aspect-ratio mode.
inline LPCWSTR AspectRatioModeName(int nMode)
{
    switch (nMode)
    {
    case AM_ARMODE_STRETCHED:
        return L"AM_ARMODE_STRETCHED";
    case AM_ARMODE_LETTER_BOX:
        return L"AM_ARMODE_LETTER_BOX";
    case AM_ARMODE_CROP:
        return L"AM_ARMODE_CROP";
    case AM_ARMODE_STRETCHED_AS_PRIMARY:
        return L"AM_ARMODE_STRETCHED_AS_PRIMARY";
    default:
        return L"UNKNOWN AM_ASPECT_RATIO_MODE";
    }
}

} // namespace DSRedirect

// ---------------------------------------------------------------------------
// IKsPropertySet, answered by the pin on the far side

template <class T>
class ATL_NO_VTABLE IKsPropertySetRedir : public IKsPropertySet
{
public:
    STDMETHOD(Set)(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData,
                   LPVOID pPropData, DWORD cbPropData) override
    {
        static const LPCWSTR kCall =
            L"IKsPropertySet::Set(guidPropSet,dwPropID,pInstanceData,cbInstanceData,pPropData,cbPropData)";
        WCHAR szName[GUID_NAME_WORK_SIZE];
        _LogTrace(atlTraceCOM, eTL_Info,
                  L"%s: IKsPropertySet::Set( guid=%s, ID=%u, pInst=0x%X, cbInst=%u, pProp=0x%X, cbProp=%u )\n",
                  GetTraceName(), Guid2Name(guidPropSet, szName, GUID_NAME_WORK_SIZE), dwPropID,
                  TraceAddress(pInstanceData), cbInstanceData, TraceAddress(pPropData), cbPropData);
        HRESULT hr = E_NOTIMPL;
        CComPtr<IKsPropertySet> sp;
        QueryRedirect(&sp);
        if (sp)
            hr = sp->Set(guidPropSet, dwPropID, pInstanceData, cbInstanceData, pPropData, cbPropData);
        DSRedirect::TraceResult(atlTraceGeneral, eTL_Info, !!sp, kCall, hr);
        return hr;
    }
    STDMETHOD(Get)(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData,
                   LPVOID pPropData, DWORD cbPropData, DWORD* pcbReturned) override
    {
        static const LPCWSTR kCall = L"IKsPropertySet::Get(guidPropSet,dwPropID, pInstanceData,cbInstanceData,"
                                     L"pPropData,cbPropData, pcbReturned)";
        WCHAR szName[GUID_NAME_WORK_SIZE];
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IKsPropertySet::Get( guidPropSet=%s, dwPropID=%u )\n", GetTraceName(),
                  Guid2Name(guidPropSet, szName, GUID_NAME_WORK_SIZE), dwPropID);
        HRESULT hr = E_NOTIMPL;
        CComPtr<IKsPropertySet> sp;
        QueryRedirect(&sp);
        if (sp)
            hr = sp->Get(guidPropSet, dwPropID, pInstanceData, cbInstanceData, pPropData, cbPropData, pcbReturned);
        DSRedirect::TraceResult(atlTraceGeneral, eTL_Info, !!sp, kCall, hr);
        return hr;
    }
    STDMETHOD(QuerySupported)(REFGUID guidPropSet, DWORD dwPropID, DWORD* pTypeSupport) override
    {
        static const LPCWSTR kCall = L"IKsPropertySet::QuerySupported(guidPropSet,dwPropID,pTypeSupport)";
        WCHAR szName[GUID_NAME_WORK_SIZE];
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IKsPropertySet::QuerySupported( guidPropSet=%s, dwPropID=%u )\n",
                  GetTraceName(), Guid2Name(guidPropSet, szName, GUID_NAME_WORK_SIZE), dwPropID);
        HRESULT hr = E_NOTIMPL;
        CComPtr<IKsPropertySet> sp;
        QueryRedirect(&sp);
        if (sp)
            hr = sp->QuerySupported(guidPropSet, dwPropID, pTypeSupport);
        DSRedirect::TraceResult(atlTraceGeneral, eTL_Info, !!sp, kCall, hr);
        return hr;
    }

    virtual LPCWSTR GetTraceName() = 0;

    // The far pin's IKsPropertySet, a new reference; *pp NULL without it.
    HRESULT QueryRedirect(IKsPropertySet** pp)
    {
        *pp = NULL;
        return static_cast<T*>(this)->T::_PinBase::QueryRedirect(IID_IKsPropertySet, reinterpret_cast<void**>(pp));
    }
};

// ---------------------------------------------------------------------------
// IMediaSeeking, answered by the pin on the far side

template <class T>
class ATL_NO_VTABLE IMediaSeekingRedir : public IMediaSeeking
{
    // One redirected call: fn(peer) when the far side offers IMediaSeeking,
    // then the result line (pszCall) unless onSuccess(hr) wrote its own line
    // for a success. E_NOTIMPL without the far side.
    template <class Fn, class OnSuccess>
    HRESULT Forward(UINT nLevel, LPCWSTR pszCall, Fn fn, OnSuccess onSuccess)
    {
        HRESULT hr = E_NOTIMPL;
        CComPtr<IMediaSeeking> sp;
        QueryRedirect(&sp);
        if (sp)
        {
            hr = fn(sp.p);
            if (SUCCEEDED(hr) && onSuccess(hr))
                return hr;
        }
        DSRedirect::TraceResult(atlTraceGeneral, nLevel, !!sp, pszCall, hr);
        return hr;
    }
    template <class Fn>
    HRESULT Forward(UINT nLevel, LPCWSTR pszCall, Fn fn)
    {
        return Forward(nLevel, pszCall, fn, [](HRESULT) { return false; });
    }

public:
    STDMETHOD(GetCapabilities)(DWORD* pCapabilities) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IMediaSeeking::GetCapabilities()\n", GetTraceName());
        return Forward(eTL_Info, L"IMediaSeeking::GetCapabilities(pCapabilities)",
                       [=](IMediaSeeking* p) { return p->GetCapabilities(pCapabilities); });
    }
    STDMETHOD(CheckCapabilities)(DWORD* pCapabilities) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IMediaSeeking::CheckCapabilities()\n", GetTraceName());
        const DWORD dwIn = (NULL != pCapabilities) ? *pCapabilities : 0;
        return Forward(
            eTL_Info, L"IMediaSeeking::CheckCapabilities()",
            [=](IMediaSeeking* p) { return p->CheckCapabilities(pCapabilities); },
            [=](HRESULT) {
                _LogTrace(atlTraceGeneral, eTL_Info, L"%s IMediaSeeking::CheckCapabilities(): in=0x%X, out=0x%X\n",
                          GetTraceName(), dwIn, (NULL != pCapabilities) ? *pCapabilities : 0);
                return true;
            });
    }
    STDMETHOD(IsFormatSupported)(const GUID* pFormat) override
    {
        WCHAR szName[GUID_NAME_WORK_SIZE];
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IMediaSeeking::IsFormatSupported( %s )\n", GetTraceName(),
                  DSRedirect::FormatName(pFormat, szName));
        return Forward(eTL_Info, L"IMediaSeeking::IsFormatSupported(pFormat)",
                       [=](IMediaSeeking* p) { return p->IsFormatSupported(pFormat); });
    }
    STDMETHOD(QueryPreferredFormat)(GUID* pFormat) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IMediaSeeking::QueryPreferredFormat()\n", GetTraceName());
        return Forward(eTL_Info, L"IMediaSeeking::QueryPreferredFormat(pFormat)",
                       [=](IMediaSeeking* p) { return p->QueryPreferredFormat(pFormat); });
    }
    STDMETHOD(GetTimeFormat)(GUID* pFormat) override
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s IMediaSeeking::GetTimeFormat()\n", GetTraceName());
        return Forward(eTL_Verbose, L"IMediaSeeking::GetTimeFormatW(pFormat)",
                       [=](IMediaSeeking* p) { return p->GetTimeFormat(pFormat); });
    }
    STDMETHOD(IsUsingTimeFormat)(const GUID* pFormat) override
    {
        WCHAR szName[GUID_NAME_WORK_SIZE];
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s IMediaSeeking::IsUsingTimeFormat( %s )\n", GetTraceName(),
                  DSRedirect::FormatName(pFormat, szName));
        return Forward(eTL_Verbose, L"IMediaSeeking::IsUsingTimeFormat(pFormat)",
                       [=](IMediaSeeking* p) { return p->IsUsingTimeFormat(pFormat); });
    }
    STDMETHOD(SetTimeFormat)(const GUID* pFormat) override
    {
        WCHAR szName[GUID_NAME_WORK_SIZE];
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IMediaSeeking::SetTimeFormat( %s )\n", GetTraceName(),
                  DSRedirect::FormatName(pFormat, szName));
        return Forward(eTL_Info, L"IMediaSeeking::SetTimeFormat(pFormat)",
                       [=](IMediaSeeking* p) { return p->SetTimeFormat(pFormat); });
    }
    STDMETHOD(GetDuration)(LONGLONG* pDuration) override
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s IMediaSeeking::GetDuration()\n", GetTraceName());
        return Forward(
            eTL_Verbose, L"IMediaSeeking::GetDuration()", [=](IMediaSeeking* p) { return p->GetDuration(pDuration); },
            [=](HRESULT) {
                ASSERT(pDuration != NULL);
                _LogTrace(atlTraceGeneral, eTL_Verbose, L"%s IMediaSeeking::GetDuration(): duration=%I64i\n",
                          GetTraceName(), DSRedirect::ValueOr0(pDuration));
                return true;
            });
    }
    STDMETHOD(GetStopPosition)(LONGLONG* pStop) override
    {
        _LogTrace(atlTraceCOM, eTL_Verbose, L"%s IMediaSeeking::GetStopPosition()\n", GetTraceName());
        return Forward(eTL_Verbose, L"IMediaSeeking::GetStopPosition(pStop)",
                       [=](IMediaSeeking* p) { return p->GetStopPosition(pStop); });
    }
    STDMETHOD(GetCurrentPosition)(LONGLONG* pCurrent) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IMediaSeeking::GetCurrentPosition()\n", GetTraceName());
        return Forward(eTL_Info, L"IMediaSeeking::GetCurrentPosition(pCurrent)",
                       [=](IMediaSeeking* p) { return p->GetCurrentPosition(pCurrent); });
    }
    STDMETHOD(ConvertTimeFormat)(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                                 const GUID* pSourceFormat) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IMediaSeeking::ConvertTimeFormat()\n", GetTraceName());
        return Forward(
            eTL_Info, L"IMediaSeeking::ConvertTimeFormat()",
            [=](IMediaSeeking* p) { return p->ConvertTimeFormat(pTarget, pTargetFormat, Source, pSourceFormat); },
            [=](HRESULT) {
                WCHAR szTarget[GUID_NAME_WORK_SIZE];
                WCHAR szSource[GUID_NAME_WORK_SIZE];
                _LogTrace(atlTraceGeneral, eTL_Info, L"%s IMediaSeeking::ConvertTimeFormat(): %I64i {%s} = %I64i {%s} \n",
                          GetTraceName(), DSRedirect::ValueOr0(pTarget),
                          DSRedirect::FormatName(pTargetFormat, szTarget), Source,
                          DSRedirect::FormatName(pSourceFormat, szSource));
                return true;
            });
    }
    STDMETHOD(SetPositions)(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags) override
    {
        WCHAR szCurrent[REFERENCE_TIME_TEXT_SIZE];
        WCHAR szStop[REFERENCE_TIME_TEXT_SIZE];
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IMediaSeeking::SetPositions( %s, 0x%X, %s, 0x%X )\n", GetTraceName(),
                  DSRedirect::TimeText(pCurrent, szCurrent), dwCurrentFlags, DSRedirect::TimeText(pStop, szStop),
                  dwStopFlags);
        return Forward(eTL_Info, L"IMediaSeeking::SetPositions(pCurrent, dwCurrentFlags, pStop, dwStopFlags)",
                       [=](IMediaSeeking* p) { return p->SetPositions(pCurrent, dwCurrentFlags, pStop, dwStopFlags); });
    }
    STDMETHOD(GetPositions)(LONGLONG* pCurrent, LONGLONG* pStop) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IMediaSeeking::GetPositions()\n", GetTraceName());
        return Forward(
            eTL_Info, L"IMediaSeeking::GetPositions()", [=](IMediaSeeking* p) { return p->GetPositions(pCurrent, pStop); },
            [=](HRESULT) {
                _LogTrace(atlTraceGeneral, eTL_Info, L"%s IMediaSeeking::GetPositions(): current=%I64i, stop=%I64i\n",
                          GetTraceName(), DSRedirect::ValueOr0(pCurrent), DSRedirect::ValueOr0(pStop));
                return true;
            });
    }
    STDMETHOD(GetAvailable)(LONGLONG* pEarliest, LONGLONG* pLatest) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IMediaSeeking::GetAvailable()\n", GetTraceName());
        return Forward(eTL_Info, L"IMediaSeeking::GetAvailable(pEarliest, pLatest)",
                       [=](IMediaSeeking* p) { return p->GetAvailable(pEarliest, pLatest); });
    }
    STDMETHOD(SetRate)(double dRate) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IMediaSeeking::SetRate( %g )\n", GetTraceName(), dRate);
        return Forward(eTL_Info, L"IMediaSeeking::SetRate(dRate)", [=](IMediaSeeking* p) { return p->SetRate(dRate); });
    }
    STDMETHOD(GetRate)(double* pdRate) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IMediaSeeking::GetRate()\n", GetTraceName());
        return Forward(eTL_Info, L"IMediaSeeking::GetRate(pdRate)",
                       [=](IMediaSeeking* p) { return p->GetRate(pdRate); });
    }
    STDMETHOD(GetPreroll)(LONGLONG* pllPreroll) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s IMediaSeeking::GetPreroll()\n", GetTraceName());
        return Forward(eTL_Info, L"IMediaSeeking::GetPreroll(pllPreroll)",
                       [=](IMediaSeeking* p) { return p->GetPreroll(pllPreroll); });
    }

    virtual LPCWSTR GetTraceName() = 0;

    // The far pin's IMediaSeeking, a new reference; *pp NULL without it.
    HRESULT QueryRedirect(IMediaSeeking** pp)
    {
        *pp = NULL;
        return static_cast<T*>(this)->T::_PinBase::QueryRedirect(IID_IMediaSeeking, reinterpret_cast<void**>(pp));
    }
};
