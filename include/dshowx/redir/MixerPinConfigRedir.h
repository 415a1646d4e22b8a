// The mixer pin configuration redirector: a tear-off of the input pin that
// forwards IMixerPinConfig and IMixerPinConfig2 to the pin it keeps.
#pragma once

#include "PinRedirectors.h"
#include "DSTrace.h"
#include "text/StructureDumps.h"
#include "text/TraceText.h"

#include <MixerPinConfig.h>
#include <sehguard.h>

#include <atlbase.h>
#include <atlcom.h>

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
