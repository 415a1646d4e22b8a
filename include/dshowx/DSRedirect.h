// Interface redirection: a pin of a transform filter answers an interface by
// asking the pin on the far side of the filter (the pin connected to the
// filter's other pin), so that the filters on both sides find each other's
// interfaces as if the filter were not there.
//
// - IKsPropertySetRedir<T> and IMediaSeekingRedir<T> are parts of the pin
//   class T itself. They keep nothing: every call asks the far side again
//   through the pin's redirect query (CPinBase::QueryRedirect) and forwards
//   the call, or answers E_NOTIMPL when the far side is gone. The pin's
//   interface map offers them through CPinBase::QueryRedirectEntry, that is
//   only while the far side offers the interface.
// - CTearOffMixerPinConfigFix<TOwner> is a tear-off of the owner pin that
//   answers IMixerPinConfig and IMixerPinConfig2. It keeps the far pin's
//   interface (its host) once found; three setters report success while
//   there is no host. IVoxaRedirect::Reconnect drops the kept host.
//
// A pin class T using these supplies GetTraceName and derives from
// CPinBase<T, TFilter> (which gives T::_PinBase).
#pragma once

#include "DSParsers.h"
#include "DSTrace.h"

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

// The low 32 bits of a pointer, as trace lines show pointers.
inline unsigned Low32(const void* p)
{
    return static_cast<unsigned>(reinterpret_cast<UINT_PTR>(p));
}

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
                  DSRedirect::Low32(pInstanceData), cbInstanceData, DSRedirect::Low32(pPropData), cbPropData);
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

// ---------------------------------------------------------------------------
// IMixerPinConfig and IMixerPinConfig2, answered by the kept host

// The forwarding operations; T supplies QueryRedirect(REFIID, void**) as its
// _Redirector base's (the tear-off's host query) and GetTraceName.
template <class T>
class ATL_NO_VTABLE IMixerPinConfigRedir : public IMixerPinConfig2
{
    // One forwarded call on the host's interface I: fn(host), then the result
    // line (pszCall) unless onSuccess(hr) wrote its own for a success.
    template <class I, class Fn, class OnSuccess>
    HRESULT Forward(LPCWSTR pszCall, Fn fn, OnSuccess onSuccess)
    {
        HRESULT hr = E_NOTIMPL;
        CComPtr<I> sp;
        QueryRedirect(&sp);
        if (sp)
        {
            hr = fn(sp.p);
            if (SUCCEEDED(hr) && onSuccess(hr))
                return hr;
        }
        DSRedirect::TraceResult(atlTraceCOM, eTL_Info, !!sp, pszCall, hr);
        return hr;
    }
    template <class Fn>
    HRESULT Forward(LPCWSTR pszCall, Fn fn)
    {
        return Forward<IMixerPinConfig>(pszCall, fn, [](HRESULT) { return false; });
    }

public:
    STDMETHOD(SetRelativePosition)(DWORD dwLeft, DWORD dwTop, DWORD dwRight, DWORD dwBottom) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMixerPinConfig::SetRelativePosition( rect = [%i:%i]:[%i:%i] )\n",
                  GetTraceName(), dwLeft, dwTop, dwRight, dwBottom);
        return Forward(L"IMixerPinConfig::SetRelativePosition(dwLeft, dwTop, dwRight, dwBottom)",
                       [=](IMixerPinConfig* p) { return p->SetRelativePosition(dwLeft, dwTop, dwRight, dwBottom); });
    }
    STDMETHOD(GetRelativePosition)(DWORD* pdwLeft, DWORD* pdwTop, DWORD* pdwRight, DWORD* pdwBottom) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMixerPinConfig::GetRelativePosition\n", GetTraceName());
        return Forward<IMixerPinConfig>(
            L"IMixerPinConfig::GetRelativePosition()",
            [=](IMixerPinConfig* p) { return p->GetRelativePosition(pdwLeft, pdwTop, pdwRight, pdwBottom); },
            [=](HRESULT hr) {
                _LogTrace(atlTraceCOM, eTL_Info,
                          L"%s: IMixerPinConfig::GetRelativePosition()=0x%X, rect = [%i:%i]:[%i:%i]\n", GetTraceName(),
                          static_cast<unsigned>(hr), Value(pdwLeft), Value(pdwTop), Value(pdwRight), Value(pdwBottom));
                return true;
            });
    }
    STDMETHOD(SetZOrder)(DWORD dwZOrder) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMixerPinConfig::SetZOrder\n", GetTraceName());
        return Forward(L"IMixerPinConfig::SetZOrder(dwZOrder)",
                       [=](IMixerPinConfig* p) { return p->SetZOrder(dwZOrder); });
    }
    STDMETHOD(GetZOrder)(DWORD* pdwZOrder) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMixerPinConfig::GetZOrder\n", GetTraceName());
        return Forward(L"IMixerPinConfig::GetZOrder(pdwZOrder)",
                       [=](IMixerPinConfig* p) { return p->GetZOrder(pdwZOrder); });
    }
    STDMETHOD(SetColorKey)(COLORKEY* pColorKey) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMixerPinConfig::SetColorKey\n", GetTraceName());
        return Forward(L"IMixerPinConfig::SetColorKey(pColorKey)",
                       [=](IMixerPinConfig* p) { return p->SetColorKey(pColorKey); });
    }
    STDMETHOD(GetColorKey)(COLORKEY* pColorKey, DWORD* pColor) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMixerPinConfig::GetColorKey\n", GetTraceName());
        return Forward(L"IMixerPinConfig::GetColorKey(pColorKey, pColor)",
                       [=](IMixerPinConfig* p) { return p->GetColorKey(pColorKey, pColor); });
    }
    STDMETHOD(SetBlendingParameter)(DWORD dwBlendingParameter) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMixerPinConfig::SetBlendingParameter\n", GetTraceName());
        return Forward(L"IMixerPinConfig::SetBlendingParameter(dwBlendingParameter)",
                       [=](IMixerPinConfig* p) { return p->SetBlendingParameter(dwBlendingParameter); });
    }
    STDMETHOD(GetBlendingParameter)(DWORD* pdwBlendingParameter) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMixerPinConfig::GetBlendingParameter\n", GetTraceName());
        return Forward(L"IMixerPinConfig::GetBlendingParameter(pdwBlendingParameter)",
                       [=](IMixerPinConfig* p) { return p->GetBlendingParameter(pdwBlendingParameter); });
    }
    STDMETHOD(SetAspectRatioMode)(AM_ASPECT_RATIO_MODE amAspectRatioMode) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMixerPinConfig::SetAspectRatioMode( %s )\n", GetTraceName(),
                  DSRedirect::AspectRatioModeName(amAspectRatioMode));
        return Forward(L"IMixerPinConfig::SetAspectRatioMode(amAspectRatioMode)",
                       [=](IMixerPinConfig* p) { return p->SetAspectRatioMode(amAspectRatioMode); });
    }
    STDMETHOD(GetAspectRatioMode)(AM_ASPECT_RATIO_MODE* pamAspectRatioMode) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMixerPinConfig::GetAspectRatioMode\n", GetTraceName());
        return Forward<IMixerPinConfig>(
            L"IMixerPinConfig::GetAspectRatioMode()",
            [=](IMixerPinConfig* p) { return p->GetAspectRatioMode(pamAspectRatioMode); },
            [=](HRESULT hr) {
                _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMixerPinConfig::GetAspectRatioMode()=0x%X, AspectRatioMode = %s\n",
                          GetTraceName(), static_cast<unsigned>(hr),
                          DSRedirect::AspectRatioModeName(NULL != pamAspectRatioMode ? *pamAspectRatioMode : -1));
                return true;
            });
    }
    STDMETHOD(SetStreamTransparent)(BOOL bStreamTransparent) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMixerPinConfig::SetStreamTransparent\n", GetTraceName());
        return Forward(L"IMixerPinConfig::SetStreamTransparent(bStreamTransparent)",
                       [=](IMixerPinConfig* p) { return p->SetStreamTransparent(bStreamTransparent); });
    }
    STDMETHOD(GetStreamTransparent)(BOOL* pbStreamTransparent) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMixerPinConfig::GetStreamTransparent\n", GetTraceName());
        return Forward(L"IMixerPinConfig::GetStreamTransparent(pbStreamTransparent)",
                       [=](IMixerPinConfig* p) { return p->GetStreamTransparent(pbStreamTransparent); });
    }
    STDMETHOD(SetOverlaySurfaceColorControls)(LPDDCOLORCONTROL pColorControl) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMixerPinConfig::SetOverlaySurfaceColorControls\n", GetTraceName());
        if (NULL != pColorControl)
        {
            _LogTrace(atlTraceCOM, eTL_Info,
                      L"DDCOLORCONTROL : dwSize=%u  dwFlags=0x%X  lBrightness=%i  lContrast=%i  lHue=%i\n",
                      pColorControl->dwSize, pColorControl->dwFlags, pColorControl->lBrightness,
                      pColorControl->lContrast, pColorControl->lHue);
            _LogTrace(atlTraceCOM, eTL_Info,
                      L"DDCOLORCONTROL : lSaturation=%i  lSharpness=%i  lGamma=%i  lColorEnable=%i\n",
                      pColorControl->lSaturation, pColorControl->lSharpness, pColorControl->lGamma,
                      pColorControl->lColorEnable);
        }
        return Forward<IMixerPinConfig2>(
            L"IMixerPinConfig2::SetOverlaySurfaceColorControls()",
            [=](IMixerPinConfig2* p) { return p->SetOverlaySurfaceColorControls(pColorControl); },
            [](HRESULT) { return false; });
    }
    STDMETHOD(GetOverlaySurfaceColorControls)(LPDDCOLORCONTROL pColorControl) override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IMixerPinConfig::GetOverlaySurfaceColorControls\n", GetTraceName());
        if (NULL != pColorControl)
            _LogTrace(atlTraceCOM, eTL_Info, L"DDCOLORCONTROL : dwSize=%u  dwFlags=0x%X\n", pColorControl->dwSize,
                      pColorControl->dwFlags);
        return Forward<IMixerPinConfig2>(
            L"IMixerPinConfig2::GetOverlaySurfaceColorControls()",
            [=](IMixerPinConfig2* p) { return p->GetOverlaySurfaceColorControls(pColorControl); },
            [=](HRESULT) {
                Debug_ColorControls(atlTraceCOM, eTL_Info, pColorControl);
                return true;
            });
    }

    virtual LPCWSTR GetTraceName() = 0;

    // The host's IMixerPinConfig (or IMixerPinConfig2), a new reference;
    // *pp NULL without it.
    HRESULT QueryRedirect(IMixerPinConfig** pp)
    {
        return static_cast<T*>(this)->T::_Redirector::QueryRedirect(IID_IMixerPinConfig, reinterpret_cast<void**>(pp));
    }
    HRESULT QueryRedirect(IMixerPinConfig2** pp)
    {
        return static_cast<T*>(this)->T::_Redirector::QueryRedirect(IID_IMixerPinConfig2,
                                                                    reinterpret_cast<void**>(pp));
    }

private:
    static int Value(const DWORD* p) { return (NULL != p) ? static_cast<int>(*p) : 0; }
};

// The forwarding operations, with the three setters that report success
// while there is no host (a decoder that configures a mixer before the
// mixer is connected behind the filter must not fail for it).
template <class T>
class ATL_NO_VTABLE IMixerPinConfigRedirFix : public IMixerPinConfigRedir<T>
{
    typedef IMixerPinConfigRedir<T> _Base;

    // TRUE when there is a host; else the "host not set" line.
    bool HasHost(LPCWSTR pszCall)
    {
        CComPtr<IMixerPinConfig> sp;
        _Base::QueryRedirect(&sp);
        if (sp)
            return true;
        _LogTrace(atlTraceGeneral, eTL_Info, L"%s: IMixerPinConfig::%s(): host not set, return S_OK\n",
                  this->GetTraceName(), pszCall);
        return false;
    }

public:
    STDMETHOD(SetRelativePosition)(DWORD dwLeft, DWORD dwTop, DWORD dwRight, DWORD dwBottom) override
    {
        if (!HasHost(L"SetRelativePosition"))
            return S_OK;
        return _Base::SetRelativePosition(dwLeft, dwTop, dwRight, dwBottom);
    }
    STDMETHOD(SetAspectRatioMode)(AM_ASPECT_RATIO_MODE amAspectRatioMode) override
    {
        if (!HasHost(L"SetAspectRatioMode"))
            return S_OK;
        return _Base::SetAspectRatioMode(amAspectRatioMode);
    }
    STDMETHOD(SetStreamTransparent)(BOOL bStreamTransparent) override
    {
        if (!HasHost(L"SetStreamTransparent"))
            return S_OK;
        return _Base::SetStreamTransparent(bStreamTransparent);
    }
};

// A tear-off of the owner pin TOwner that forwards the interfaces of TRedir
// to the pin on the far side of the owner's filter (the host), which it
// keeps once found. bPreQuery non-zero makes creation fail without a host.
//
// The kept host is read and replaced under the tear-off's own lock, and
// every call works on a counted copy of it, so that a Reconnect on one
// thread cannot free the host under a call on another; the far pin itself
// is asked outside the lock.
template <class TOwner, class TRedir, int bPreQuery>
class ATL_NO_VTABLE CTearOffRedirector : public CComTearOffObjectBase<TOwner, CComMultiThreadModel>,
                                         public TRedir,
                                         public IVoxaRedirect
{
public:
    typedef CTearOffRedirector _Redirector;

    HRESULT FinalConstruct()
    {
        _LogTrace(atlTraceGeneral, eTL_Error, L"%s: FinalConstruct\n", this->GetTraceName());
        if (0 == bPreQuery)
            return S_OK;
        IUnknown* p = NULL;
        const HRESULT hr = QueryRedirect(IID_IMixerPinConfig, reinterpret_cast<void**>(&p));
        if (NULL != p)
            p->Release();
        if (FAILED(hr))
        {
            WCHAR szName[GUID_NAME_WORK_SIZE];
            _LogTrace(atlTraceGeneral, eTL_Warning, L"WARNING. %s: FinalConstruct(): QueryRedirect( %s )=0x%X\n",
                      this->GetTraceName(), Guid2Name(IID_IMixerPinConfig, szName, GUID_NAME_WORK_SIZE),
                      static_cast<unsigned>(hr));
            return hr;
        }
        return S_OK;
    }

    // The owner reference goes when the tear-off object is destroyed, after
    // this.
    void FinalRelease()
    {
        _LogTrace(atlTraceGeneral, eTL_Error, L"%s: FinalRelease\n", this->GetTraceName());
        m_spHost.Release();
    }

    // The host's interface riid; E_NOINTERFACE while there is no host.
    HRESULT QueryRedirect(REFIID riid, void** ppv)
    {
        ASSERT_TEXT(this->m_pOwner != NULL, "m_pOwner != NULL");
        if (NULL == ppv)
            return E_POINTER;
        *ppv = NULL;
        CComPtr<IMixerPinConfig> spHost = GetHost();
        if (!spHost)
            return E_NOINTERFACE;
        return spHost->QueryInterface(riid, ppv);
    }

    STDMETHOD(Reconnect)() override
    {
        _LogTrace(atlTraceCOM, eTL_Info, L"%s: IVoxaRedirect::Reconnect\n", this->GetTraceName());
        IMixerPinConfig* pOld = NULL;
        this->Lock();
        pOld = m_spHost.Detach();
        this->Unlock();
        if (NULL != pOld)
            pOld->Release();
        return S_OK;
    }

    CComPtr<IMixerPinConfig> m_spHost;

private:
    // The kept host, counted; asks the owner's far side when none is kept.
    CComPtr<IMixerPinConfig> GetHost()
    {
        CComPtr<IMixerPinConfig> spHost;
        this->Lock();
        spHost = m_spHost;
        this->Unlock();
        if (spHost || NULL == this->m_pOwner)
            return spHost;

        // Only the far pin's QueryInterface runs guarded: a fault unwinds
        // without releasing anything, so the counted far pin is held here,
        // outside the guard. A fault leaves whatever the QueryInterface wrote
        // unreleased: it may not be a valid interface.
        CComPtr<IPin> spPeer;
        if (FAILED(this->m_pOwner->TOwner::_PinBase::GetRedirectPeer(&spPeer)) || !spPeer)
            return spHost;
        IPin* pPeer = spPeer;
        IMixerPinConfig* pFound = NULL;
        DWORD dwCode = 0;
        const BOOL bDone = SEH_Guard(
            [pPeer, &pFound] { pPeer->QueryInterface(IID_IMixerPinConfig, reinterpret_cast<void**>(&pFound)); },
            [](EXCEPTION_POINTERS* pep) -> LONG {
                return static_cast<LONG>(_LogDumpCallStack(pep, NULL, FALSE, EXCEPTION_EXECUTE_HANDLER));
            },
            &dwCode);
        if (!bDone)
        {
            WCHAR szIID[64];
            _LogTrace(atlTraceGeneral, eTL_Exception, L"###Err### %s: QueryRedirect( %s ): Exception 0x%X\n",
                      this->GetTraceName(), GuidToText(IID_IMixerPinConfig, szIID), dwCode);
            return spHost;
        }
        if (NULL == pFound)
            return spHost;

        // Another thread may have kept a host meanwhile: the first one stays.
        this->Lock();
        if (!m_spHost)
            m_spHost = pFound;
        spHost = m_spHost;
        this->Unlock();
        pFound->Release();
        return spHost;
    }
};

// The mixer pin configuration tear-off of an input pin: IMixerPinConfig and
// IMixerPinConfig2 of the pin connected to the filter's output.
template <class TOwner>
class ATL_NO_VTABLE CTearOffMixerPinConfigFix
    : public CTearOffRedirector<TOwner, IMixerPinConfigRedirFix<CTearOffMixerPinConfigFix<TOwner>>, 0>
{
public:
    BEGIN_COM_MAP(CTearOffMixerPinConfigFix)
        COM_INTERFACE_ENTRY(IMixerPinConfig)
        COM_INTERFACE_ENTRY(IMixerPinConfig2)
        COM_INTERFACE_ENTRY(IVoxaRedirect)
    END_COM_MAP()

    LPCWSTR GetTraceName() override { return L"CTearOffMixerPinConfigFix"; }
};
