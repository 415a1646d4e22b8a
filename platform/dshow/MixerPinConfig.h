// The video mixer pin's configuration interfaces, which the mingw-w64
// DirectShow headers do not declare. Their identifiers are the ones
// uuids.h defines (IID_IMixerPinConfig, IID_IMixerPinConfig2).
#pragma once

#include <windows.h>
#include <ddraw.h>
#include <strmif.h>
#include <uuids.h>

// How a mixer fits a stream's picture into its rectangle.
typedef enum _AM_ASPECT_RATIO_MODE
{
    AM_ARMODE_STRETCHED = 0,
    AM_ARMODE_LETTER_BOX = 1,
    AM_ARMODE_CROP = 2,
    AM_ARMODE_STRETCHED_AS_PRIMARY = 3
} AM_ASPECT_RATIO_MODE;

// Position, Z order, colour key, blending, aspect ratio and transparency of
// the stream a mixer input pin receives.
struct IMixerPinConfig : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE SetRelativePosition(DWORD dwLeft, DWORD dwTop, DWORD dwRight,
                                                          DWORD dwBottom) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRelativePosition(DWORD* pdwLeft, DWORD* pdwTop, DWORD* pdwRight,
                                                          DWORD* pdwBottom) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetZOrder(DWORD dwZOrder) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetZOrder(DWORD* pdwZOrder) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetColorKey(COLORKEY* pColorKey) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetColorKey(COLORKEY* pColorKey, DWORD* pColor) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBlendingParameter(DWORD dwBlendingParameter) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBlendingParameter(DWORD* pdwBlendingParameter) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetAspectRatioMode(AM_ASPECT_RATIO_MODE amAspectRatioMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAspectRatioMode(AM_ASPECT_RATIO_MODE* pamAspectRatioMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetStreamTransparent(BOOL bStreamTransparent) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStreamTransparent(BOOL* pbStreamTransparent) = 0;
};

// Adds the overlay surface's colour controls.
struct IMixerPinConfig2 : public IMixerPinConfig
{
    virtual HRESULT STDMETHODCALLTYPE SetOverlaySurfaceColorControls(LPDDCOLORCONTROL pColorControl) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetOverlaySurfaceColorControls(LPDDCOLORCONTROL pColorControl) = 0;
};

__CRT_UUID_DECL(IMixerPinConfig, 0x593cdde1, 0x0759, 0x11d1, 0x9e, 0x69, 0x00, 0xc0, 0x4f, 0xd7, 0xc1, 0x5b)
__CRT_UUID_DECL(IMixerPinConfig2, 0xebf47182, 0x8764, 0x11d1, 0x9e, 0x69, 0x00, 0xc0, 0x4f, 0xd7, 0xc1, 0x5b)
