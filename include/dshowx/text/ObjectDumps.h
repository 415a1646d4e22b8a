// Debug dumps of DirectShow objects: samples, allocators, a pin's media
// types and filter, and a capture pin's stream capabilities.
#pragma once

#include "StructureDumps.h"
#include "TraceText.h"
#include "DSTrace.h"
#include "DSTypes.h"

#include <atlbase.h>
#include <stdlib.h>

inline void Debug_Sample(DWORD_PTR dwCategory, UINT nLevel, IMediaSample* pSample, LPCWSTR pszPrefix = NULL,
                         BOOL bBuffer = FALSE)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eBlank);
    if (NULL == pSample)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sEmpty sample pointer\n", static_cast<LPCWSTR>(P));
        return;
    }

    // The parts of the line: "tS=%s  tE=%s", "tS=%s  tE=? (0x%X)" or
    // "tS/tE=? (0x%X)"; "mS=%s  mE=%s" or "mS/mE=? (0x%X)"; " TF=0x%X sId=0x%X".
    WCHAR szTimes[128];
    WCHAR sz1[50];
    WCHAR sz2[50];
    REFERENCE_TIME tStart = 0;
    REFERENCE_TIME tStop = 0;
    HRESULT hr = pSample->GetTime(&tStart, &tStop);
    {
        CTextBuilder text(szTimes, 128);
        if (S_OK == hr)
            text.Text(L"tS=").Text(ReferenceTimeToText(tStart, sz1)).Text(L"  tE=").Text(ReferenceTimeToText(tStop, sz2));
        else if (VFW_S_NO_STOP_TIME == hr)
            text.Text(L"tS=").Text(ReferenceTimeToText(tStart, sz1)).Text(L"  tE=? (0x").Hex(static_cast<ULONG>(hr))
                .Text(L")");
        else
            text.Text(L"tS/tE=? (0x").Hex(static_cast<ULONG>(hr)).Text(L")");
    }

    WCHAR szMediaTimes[128];
    LONGLONG llStart = 0;
    LONGLONG llStop = 0;
    hr = pSample->GetMediaTime(&llStart, &llStop);
    {
        CTextBuilder text(szMediaTimes, 128);
        if (S_OK == hr)
            text.Text(L"mS=").Text(LongLongToText(llStart, sz1)).Text(L"  mE=").Text(LongLongToText(llStop, sz2));
        else
            text.Text(L"mS/mE=? (0x").Hex(static_cast<ULONG>(hr)).Text(L")");
    }

    const unsigned nSync = (S_OK == pSample->IsSyncPoint()) ? 1 : 0;
    const unsigned nPreroll = (S_OK == pSample->IsPreroll()) ? 1 : 0;
    const unsigned nDiscontinuity = (S_OK == pSample->IsDiscontinuity()) ? 1 : 0;

    WCHAR szProps[64];
    szProps[0] = 0;
    {
        CComQIPtr<IMediaSample2> spSample2(pSample);
        if (spSample2)
        {
            AM_SAMPLE2_PROPERTIES props;
            ZeroMemory(&props, sizeof(props));
            // Up to and with the stream id: the part every version of the structure has.
            const DWORD cbProps = offsetof(AM_SAMPLE2_PROPERTIES, dwStreamId) + sizeof(props.dwStreamId);
            if (S_OK == spSample2->GetProperties(cbProps, reinterpret_cast<BYTE*>(&props)))
                CTextBuilder(szProps, 64)
                    .Text(L" TF=0x")
                    .Hex(props.dwTypeSpecificFlags)
                    .Text(L" sId=0x")
                    .Hex(props.dwStreamId);
        }
    }

    WCHAR szBuffer[96];
    szBuffer[0] = 0;
    if (bBuffer)
    {
        BYTE* pb = NULL;
        hr = pSample->GetPointer(&pb);
        const long cbSize = pSample->GetSize();
        const long cbActual = pSample->GetActualDataLength();
        if (SUCCEEDED(hr))
            _snwprintf_s(szBuffer, 96, _TRUNCATE, L" al=%i s=%i p=0x%p", static_cast<int>(cbActual),
                         static_cast<int>(cbSize), pb);
        else
            _snwprintf_s(szBuffer, 96, _TRUNCATE, L" al=%i s=%i p=? (0x%X)", static_cast<int>(cbActual),
                         static_cast<int>(cbSize), hr);
    }

    _LogTrace(dwCategory, nLevel, L"%s%s  %s flags={%u%u%u}%s%s\n", static_cast<LPCWSTR>(P), szTimes, szMediaTimes, nSync,
              nPreroll, nDiscontinuity, szProps, szBuffer);

    AM_MEDIA_TYPE* pmt = NULL;
    hr = pSample->GetMediaType(&pmt);
    if (S_OK == hr && NULL != pmt)
    {
        _LogTrace(dwCategory, nLevel, L"%sMedia type attached to sample:\n", static_cast<LPCWSTR>(P));
        Debug_MediaType(dwCategory, nLevel, pmt, NULL);
    }
    if (SUCCEEDED(hr))
        MTDelete(pmt);
}

inline void Debug_SampleLag(DWORD_PTR dwCategory, UINT nLevel, IMediaSample* pSample, REFERENCE_TIME tStart,
                            IReferenceClock* pRefClock, LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eBlank);
    if (NULL == pSample)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_SampleLag(): Empty pointer to IMediaSample\n",
                  static_cast<LPCWSTR>(P));
        return;
    }
    if (NULL == pRefClock)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_SampleLag(): Empty pointer to IReferenceClock\n",
                  static_cast<LPCWSTR>(P));
        return;
    }
    REFERENCE_TIME tS = 0;
    REFERENCE_TIME tE = 0;
    const HRESULT hrSample = pSample->GetTime(&tS, &tE);
    REFERENCE_TIME tClock = 0;
    const HRESULT hrClock = pRefClock->GetTime(&tClock);
    const bool bSample = SUCCEEDED(hrSample);
    const bool bClock = (S_OK == hrClock || S_FALSE == hrClock);
    LPCWSTR pszMark = (S_FALSE == hrClock) ? L" (S_FALSE)" : L"";
    WCHAR sz1[50];
    WCHAR sz2[50];
    WCHAR sz3[50];
    WCHAR sz4[50];
    if (bSample && bClock)
        _LogTrace(dwCategory, nLevel, L"%sDiff=%s, tS=%s, tStart=%s, clock=%s%s\n", static_cast<LPCWSTR>(P),
                  ReferenceTimeToText(tS + tStart - tClock, sz1), ReferenceTimeToText(tS, sz2),
                  ReferenceTimeToText(tStart, sz3), ReferenceTimeToText(tClock, sz4), pszMark);
    else if (bSample)
        _LogTrace(dwCategory, nLevel, L"###Err### %spRefClock->GetTime()=0x%X, tS=%s, tStart=%s\n",
                  static_cast<LPCWSTR>(P), hrClock, ReferenceTimeToText(tS, sz1), ReferenceTimeToText(tStart, sz2));
    else if (bClock)
        _LogTrace(dwCategory, nLevel, L"%spSample->GetTime()=0x%X, shift=%s, clock=%s%s, tStart=%s\n",
                  static_cast<LPCWSTR>(P), hrSample, ReferenceTimeToText(tClock - tStart, sz1),
                  ReferenceTimeToText(tClock, sz2), pszMark, ReferenceTimeToText(tStart, sz3));
    else
        _LogTrace(dwCategory, nLevel, L"###Err### %spSample->GetTime()=0x%X, pRefClock->GetTime()=0x%X\n",
                  static_cast<LPCWSTR>(P), hrSample, hrClock);
}

inline void Debug_Allocator(DWORD_PTR dwCategory, UINT nLevel, IMemAllocator* pAllocator, LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eBlank);
    if (NULL == pAllocator)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_Allocator(): Empty allocator pointer\n", static_cast<LPCWSTR>(P));
        return;
    }
    ALLOCATOR_PROPERTIES props;
    ZeroMemory(&props, sizeof(props));
    const HRESULT hr = pAllocator->GetProperties(&props);
    if (SUCCEEDED(hr))
        _LogTrace(dwCategory, nLevel, L"%sIMemAllocator=0x%p, props = { %i, %i, %i, %i }\n", static_cast<LPCWSTR>(P),
                  pAllocator, static_cast<int>(props.cBuffers), static_cast<int>(props.cbBuffer),
                  static_cast<int>(props.cbAlign), static_cast<int>(props.cbPrefix));
    else
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_Allocator(): pAllocator->GetProperties()=0x%X\n",
                  static_cast<LPCWSTR>(P), hr);
}

// The media types a pin offers, between a BEGIN and an END line.
inline void Debug_PinMediaTypes(DWORD_PTR dwCategory, UINT nLevel, IPin* pPin)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    _LogTrace(dwCategory, nLevel, L"----------------------------------- Pin media types : BEGIN\n");
    if (NULL == pPin)
        _LogTrace(dwCategory, nLevel, L"Debug_PinMediaTypes(): Empty pin pointer\n");
    else
    {
        CComPtr<IEnumMediaTypes> spEnumMT;
        HRESULT hr = pPin->EnumMediaTypes(&spEnumMT);
        if (SUCCEEDED(hr) && !spEnumMT)
            hr = E_POINTER;
        if (FAILED(hr))
            _LogTrace(dwCategory, nLevel, L"###Err### Debug_PinMediaTypes(): pPin->EnumMediaTypes()=0x%X\n", hr);
        else if (FAILED(hr = spEnumMT->Reset()))
            _LogTrace(dwCategory, nLevel, L"###Err### Debug_PinMediaTypes(): spEnumMT->Reset()=0x%X\n", hr);
        else
        {
            for (;;)
            {
                AM_MEDIA_TYPE* pmt = NULL;
                ULONG cFetched = 0;
                hr = spEnumMT->Next(1, &pmt, &cFetched);
                if (S_FALSE == hr)
                {
                    MTDelete(pmt);
                    break;
                }
                if (S_OK != hr)
                {
                    _LogTrace(dwCategory, nLevel, L"###Err### Debug_PinMediaTypes(): spEnumMT->Next()=0x%X\n", hr);
                    break;
                }
                if (1 != cFetched || NULL == pmt)
                {
                    // An enumerator that answers S_OK without a type would
                    // answer so for ever: the list ends here.
                    _LogTrace(dwCategory, nLevel,
                              L"###Err### Debug_PinMediaTypes(): bad data from spEnumMT->Next(): cFetched=%i, pmt=0x%p\n",
                              static_cast<int>(cFetched), pmt);
                    MTDelete(pmt);
                    break;
                }
                Debug_MediaType(dwCategory, nLevel, pmt, NULL);
                MTDelete(pmt);
            }
        }
    }
    _LogTrace(dwCategory, nLevel, L"----------------------------------- Pin media types : END\n");
}

// The class name of the filter that owns a pin, after the caller's prefix.
inline void Debug_FilterFromPin(DWORD_PTR dwCategory, UINT nLevel, LPCWSTR pszPrefix, IPin* pPin)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eAsIs);
    if (NULL == pPin)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_FilterFromPin(): Empty pin pointer\n", static_cast<LPCWSTR>(P));
        return;
    }
    PIN_INFO rgPinInfo;
    ZeroMemory(&rgPinInfo, sizeof(rgPinInfo));
    HRESULT hr = pPin->QueryPinInfo(&rgPinInfo);
    if (FAILED(hr))
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_FilterFromPin(): pPin->QueryPinInfo()=0x%X\n",
                  static_cast<LPCWSTR>(P), hr);
        return;
    }
    CComPtr<IBaseFilter> spFilter;
    spFilter.Attach(rgPinInfo.pFilter);
    if (!spFilter)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_FilterFromPin(): rgPinInfo.pFilter == NULL\n",
                  static_cast<LPCWSTR>(P));
        return;
    }
    CLSID clsid = GUID_NULL;
    hr = spFilter->GetClassID(&clsid);
    if (FAILED(hr))
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_FilterFromPin(): pFilter->GetClassID()=0x%X\n",
                  static_cast<LPCWSTR>(P), hr);
        return;
    }
    WCHAR szName[GUID_NAME_WORK_SIZE];
    _LogTrace(dwCategory, nLevel, L"%sfilter [%s]\n", static_cast<LPCWSTR>(P), Guid2Name(clsid, szName, GUID_NAME_WORK_SIZE));
}

// The names of the analog video standards set in a value, joined by "|".
inline LPWSTR VideoStandardNames(DWORD dwStandard, WCHAR* psz, size_t cch)
{
    static const struct
    {
        DWORD dwBit;
        LPCWSTR pszName;
    } s_rgNames[] = {
        { AnalogVideo_NTSC_M, L"NTSC_M" },     { AnalogVideo_NTSC_M_J, L"NTSC_M_J" }, { AnalogVideo_NTSC_433, L"NTSC_433" },
        { AnalogVideo_PAL_B, L"PAL_B" },       { AnalogVideo_PAL_D, L"PAL_D" },       { AnalogVideo_PAL_G, L"PAL_G" },
        { AnalogVideo_PAL_H, L"PAL_H" },       { AnalogVideo_PAL_I, L"PAL_I" },       { AnalogVideo_PAL_M, L"PAL_M" },
        { AnalogVideo_PAL_N, L"PAL_N" },       { AnalogVideo_PAL_60, L"PAL_60" },     { AnalogVideo_SECAM_B, L"SECAM_B" },
        { AnalogVideo_SECAM_D, L"SECAM_D" },   { AnalogVideo_SECAM_G, L"SECAM_G" },   { AnalogVideo_SECAM_H, L"SECAM_H" },
        { AnalogVideo_SECAM_K, L"SECAM_K" },   { AnalogVideo_SECAM_K1, L"SECAM_K1" }, { AnalogVideo_SECAM_L, L"SECAM_L" },
        { AnalogVideo_SECAM_L1, L"SECAM_L1" }, { AnalogVideo_PAL_N_COMBO, L"PAL_N_COMBO" },
    };
    psz[0] = 0;
    size_t cchUsed = 0;
    for (int nBit = 0; nBit < 32; ++nBit)
    {
        const DWORD dwBit = 1u << nBit;
        if (0 == (dwStandard & dwBit))
            continue;
        LPCWSTR pszName = L"UNK";
        for (const auto& row : s_rgNames)
            if (row.dwBit == dwBit)
                pszName = row.pszName;
        _snwprintf_s(psz + cchUsed, cch - cchUsed, _TRUNCATE, cchUsed ? L"|%s" : L"%s", pszName);
        cchUsed += wcslen(psz + cchUsed);
    }
    return psz;
}

// The stream capabilities of a capture pin: each media type it offers with
// its video or audio capability structure.
inline void Debug_AMStreamConfig(DWORD_PTR dwCategory, UINT nLevel, IUnknown* pUnk, LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eAsIs);
    if (NULL == pUnk)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_AMStreamConfig(): Empty interface pointer\n",
                  static_cast<LPCWSTR>(P));
        return;
    }
    CComQIPtr<IAMStreamConfig> spConfig(pUnk);
    if (!spConfig)
    {
        _LogTrace(dwCategory, nLevel, L"### %sDebug_AMStreamConfig(): IAMStreamConfig not supported\n",
                  static_cast<LPCWSTR>(P));
        return;
    }
    int nCount = 0;
    int nSize = 0;
    HRESULT hr = spConfig->GetNumberOfCapabilities(&nCount, &nSize);
    if (S_OK != hr)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_AMStreamConfig(): GetNumberOfCapabilities()=0x%X\n",
                  static_cast<LPCWSTR>(P), hr);
        return;
    }
    _LogTrace(dwCategory, nLevel, L"=================================== %sIAMStreamConfig: count %i, size %i\n",
              static_cast<LPCWSTR>(P), nCount, nSize);

    // The capability buffer is sized by the pin's own answer: at least the
    // larger of the two real structures, and nothing for a size no real
    // structure has.
    const bool bSizeSound = nSize > 0 && nSize <= DUMP_STREAM_CAPS_MAX;
    const size_t cbCaps = (bSizeSound && static_cast<size_t>(nSize) > sizeof(VIDEO_STREAM_CONFIG_CAPS))
                              ? static_cast<size_t>(nSize)
                              : sizeof(VIDEO_STREAM_CONFIG_CAPS);
    BYTE* pbCaps = bSizeSound ? static_cast<BYTE*>(malloc(cbCaps)) : NULL;
    for (int i = 0; i < nCount; ++i)
    {
        if (NULL == pbCaps)
        {
            _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_AMStreamConfig(): GetStreamCaps( %i ): Unknown struct\n",
                      static_cast<LPCWSTR>(P), i);
            continue;
        }
        ZeroMemory(pbCaps, cbCaps);
        AM_MEDIA_TYPE* pmt = NULL;
        hr = spConfig->GetStreamCaps(i, &pmt, pbCaps);
        if (S_OK != hr)
        {
            _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_AMStreamConfig(): GetStreamCaps( %i )=0x%X\n",
                      static_cast<LPCWSTR>(P), i, hr);
            if (SUCCEEDED(hr))
                MTDelete(pmt);
            continue;
        }
        WCHAR szPrefix[DUMP_PREFIX_SIZE];
        _snwprintf_s(szPrefix, DUMP_PREFIX_SIZE, _TRUNCATE, L"%s%2i MT: ", static_cast<LPCWSTR>(P), i);
        Debug_MediaType(dwCategory, nLevel, pmt, szPrefix);

        WCHAR SP[DUMP_PREFIX_SIZE];
        _snwprintf_s(SP, DUMP_PREFIX_SIZE, _TRUNCATE, L"%s%2i SC: ", static_cast<LPCWSTR>(P), i);
        WCHAR szGuid[GUID_NAME_WORK_SIZE];
        if (sizeof(VIDEO_STREAM_CONFIG_CAPS) == static_cast<size_t>(nSize))
        {
            const VIDEO_STREAM_CONFIG_CAPS* pv = reinterpret_cast<const VIDEO_STREAM_CONFIG_CAPS*>(pbCaps);
            WCHAR szStandards[512];
            WCHAR sz1[50];
            WCHAR sz2[50];
            _LogTrace(dwCategory, nLevel, L"%sguid: %s, VideoStandard: %s (0x%X)\n", SP,
                      Guid2Name(pv->guid, szGuid, GUID_NAME_WORK_SIZE),
                      VideoStandardNames(pv->VideoStandard, szStandards, 512), static_cast<unsigned>(pv->VideoStandard));
            _LogTrace(dwCategory, nLevel,
                      L"%sInputSize: [%i,%i], MinCroppingSize: [%i,%i], MaxCroppingSize: [%i,%i]\n", SP,
                      static_cast<int>(pv->InputSize.cx), static_cast<int>(pv->InputSize.cy),
                      static_cast<int>(pv->MinCroppingSize.cx), static_cast<int>(pv->MinCroppingSize.cy),
                      static_cast<int>(pv->MaxCroppingSize.cx), static_cast<int>(pv->MaxCroppingSize.cy));
            _LogTrace(dwCategory, nLevel, L"%sCropGranularityX=%i, CropGranularityY=%i, CropAlignX=%i, CropAlignY=%i\n", SP,
                      pv->CropGranularityX, pv->CropGranularityY, pv->CropAlignX, pv->CropAlignY);
            _LogTrace(dwCategory, nLevel,
                      L"%sMinOutputSize: [%i,%i], MaxOutputSize: [%i,%i], OutputGranularityX=%i, OutputGranularityY=%i\n",
                      SP, static_cast<int>(pv->MinOutputSize.cx), static_cast<int>(pv->MinOutputSize.cy),
                      static_cast<int>(pv->MaxOutputSize.cx), static_cast<int>(pv->MaxOutputSize.cy),
                      pv->OutputGranularityX, pv->OutputGranularityY);
            _LogTrace(dwCategory, nLevel, L"%sStretchTapsX=%i, StretchTapsY=%i, ShrinkTapsX=%i, ShrinkTapsY=%i\n", SP,
                      pv->StretchTapsX, pv->StretchTapsY, pv->ShrinkTapsX, pv->ShrinkTapsY);
            _LogTrace(dwCategory, nLevel,
                      L"%sMinFrameInterval=%s, MaxFrameInterval=%s, MinBitsPerSecond=%i, MaxBitsPerSecond=%i\n", SP,
                      ReferenceTimeToText(pv->MinFrameInterval, sz1), ReferenceTimeToText(pv->MaxFrameInterval, sz2),
                      static_cast<int>(pv->MinBitsPerSecond), static_cast<int>(pv->MaxBitsPerSecond));
        }
        else if (sizeof(AUDIO_STREAM_CONFIG_CAPS) == static_cast<size_t>(nSize))
        {
            const AUDIO_STREAM_CONFIG_CAPS* pa = reinterpret_cast<const AUDIO_STREAM_CONFIG_CAPS*>(pbCaps);
            _LogTrace(dwCategory, nLevel, L"%sguid: %s, MinimumChannels=%u, MaximumChannels=%u, ChannelsGranularity=%u\n", SP,
                      Guid2Name(pa->guid, szGuid, GUID_NAME_WORK_SIZE), static_cast<unsigned>(pa->MinimumChannels),
                      static_cast<unsigned>(pa->MaximumChannels), static_cast<unsigned>(pa->ChannelsGranularity));
            _LogTrace(dwCategory, nLevel,
                      L"%sMinimumBitsPerSample=%u, MaximumBitsPerSample=%u, BitsPerSampleGranularity=%u\n", SP,
                      static_cast<unsigned>(pa->MinimumBitsPerSample), static_cast<unsigned>(pa->MaximumBitsPerSample),
                      static_cast<unsigned>(pa->BitsPerSampleGranularity));
            _LogTrace(dwCategory, nLevel,
                      L"%sMinimumSampleFrequency=%u, MaximumSampleFrequency=%u, SampleFrequencyGranularity=%u\n", SP,
                      static_cast<unsigned>(pa->MinimumSampleFrequency), static_cast<unsigned>(pa->MaximumSampleFrequency),
                      static_cast<unsigned>(pa->SampleFrequencyGranularity));
        }
        else
            _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_AMStreamConfig(): GetStreamCaps( %i ): Unknown struct\n",
                      static_cast<LPCWSTR>(P), i);
        _LogTrace(dwCategory, nLevel, L"\n");
        MTDelete(pmt);
    }
    free(pbCaps);
    _LogTrace(dwCategory, nLevel, L"=================================== IAMStreamConfig: END\n");
}
