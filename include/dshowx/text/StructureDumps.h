// Debug dumps of DirectShow structures: media types and their format blocks,
// allocator properties, memory, VBI headers and colour controls.
#pragma once

#include "FilterChainParser.h"
#include "TraceText.h"
#include "DSTrace.h"
#include "DSTypes.h"

#include <atlbase.h>
#include <ddraw.h>
#include <stdlib.h>

// Debug dumps: the contents of DirectShow objects and structures written into
// the trace as readable lines. Every dump takes the trace category value and
// the level first, and does nothing at all (no query call, no formatting)
// unless a trace line of that category and level would be written. Each line
// is one trace call at that level; failures of the objects' query methods
// become "###Err###" lines, and a dump never fails its caller.
//
// Structures are read only as far as the caller's size says they reach: a
// format block shorter than its structure shows what fits.

// Longest line prefix a dump keeps (caller's text, cut).
const size_t DUMP_PREFIX_SIZE = 256;
// Longest block TraceMemory shows for a wave format's extra bytes or an
// MPEG-2 sequence header.
const int DUMP_MEMORY_MAX = 1024;
// Largest capability structure a stream configuration may announce: the two
// real ones are 128 and 52 bytes.
const int DUMP_STREAM_CAPS_MAX = 64 * 1024;

// The trace gate, as the trace call applies it, and a log to take the lines:
// without one, a dump would ask and format only for its lines to be dropped.
inline bool DumpPasses(DWORD_PTR dwCategory, UINT nLevel)
{
    if (0 == static_cast<DWORD>(dwCategory) || !TraceLevelPasses(nLevel))
        return false;
    IDSLog* pLog = NULL;
    return SUCCEEDED(_LogGetObject(&pLog)) && NULL != pLog;
}

// The line prefix of a dump. Title: the caller's prefix and one blank, or the
// dump's own title without one; blank: the caller's prefix and one blank, or
// nothing; as is: the caller's prefix, or nothing.
class CDumpPrefix
{
public:
    enum eKind
    {
        eTitle,
        eBlank,
        eAsIs,
    };

    CDumpPrefix(LPCWSTR pszPrefix, eKind eHow, LPCWSTR pszTitle = L"")
    {
        CTextBuilder text(m_sz, DUMP_PREFIX_SIZE);
        if (NULL == pszPrefix)
            text.Text(eTitle == eHow ? pszTitle : L"");
        else
        {
            text.Text(pszPrefix);
            if (eAsIs != eHow)
                text.Text(L" ");
        }
    }

    operator LPCWSTR() const { return m_sz; }

private:
    WCHAR m_sz[DUMP_PREFIX_SIZE];
};

inline bool TraceMemory(DWORD_PTR dwCategory, UINT nLevel, int cb, const void* pv, LPCWSTR pszTitle);
inline void Debug_MediaType(DWORD_PTR dwCategory, UINT nLevel, const AM_MEDIA_TYPE* pmt, LPCWSTR pszPrefix = NULL);

// The wave format and what follows it, reading at most cbAvailable bytes
// (the structure and its cbSize extra bytes when the caller gives no size).
inline void DumpWaveFormatEx(DWORD_PTR dwCategory, UINT nLevel, const WAVEFORMATEX* pwfx, size_t cbAvailable,
                             LPCWSTR pszPrefix)
{
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eBlank);
    _LogTrace(dwCategory, nLevel, L"%sWAVEFORMATEX: Tag=0x%X, chan=%i, nPerSec=%i, nAvg=%i, align=%i, bits=%i  size=%i\n",
              static_cast<LPCWSTR>(P), pwfx->wFormatTag, pwfx->nChannels, static_cast<int>(pwfx->nSamplesPerSec),
              static_cast<int>(pwfx->nAvgBytesPerSec), pwfx->nBlockAlign, pwfx->wBitsPerSample, pwfx->cbSize);
    if (0 == pwfx->cbSize)
        return;
    const size_t cbExtraThere = cbAvailable - sizeof(WAVEFORMATEX);
    if (22 == pwfx->cbSize && cbExtraThere >= 22)
    {
        // The block holds the whole structure (checked above); read it as bytes.
        WAVEFORMATEXTENSIBLE wfe;
        memcpy(&wfe, pwfx, sizeof(wfe));
        WCHAR szSubFormat[GUID_NAME_WORK_SIZE];
        _LogTrace(dwCategory, nLevel, L"%sWAVEFORMATEXTENSIBLE: ValidBitsPerSample=%i, ChannelMask=0x%X, SubFormat=%s\n",
                  static_cast<LPCWSTR>(P), wfe.Samples.wValidBitsPerSample, static_cast<unsigned>(wfe.dwChannelMask),
                  Guid2Name(wfe.SubFormat, szSubFormat, GUID_NAME_WORK_SIZE));
        return;
    }
    size_t cbExtra = pwfx->cbSize < cbExtraThere ? pwfx->cbSize : cbExtraThere;
    if (cbExtra > static_cast<size_t>(DUMP_MEMORY_MAX))
        cbExtra = DUMP_MEMORY_MAX;
    TraceMemory(dwCategory, nLevel, static_cast<int>(cbExtra), pwfx + 1,
                pwfx->cbSize > DUMP_MEMORY_MAX ? L"WAVEFORMATEX first 1024 extra bytes: " : L"WAVEFORMATEX extra bytes: ");
}

// A wave format; its cbSize extra bytes are read behind it.
inline void Debug_WaveFormatEx(DWORD_PTR dwCategory, UINT nLevel, const WAVEFORMATEX* pwfx, LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    if (NULL == pwfx)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### Debug_WaveFormatEx() : Empty WAVEFORMATEX pointer\n");
        return;
    }
    DumpWaveFormatEx(dwCategory, nLevel, pwfx, sizeof(WAVEFORMATEX) + pwfx->cbSize, pszPrefix);
}

inline void Debug_BitmapInfoHeader(DWORD_PTR dwCategory, UINT nLevel, const BITMAPINFOHEADER* pbmi,
                                   LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eTitle, L"BITMAPINFOHEADER: ");
    if (NULL == pbmi)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_BitmapInfoHeader(): Empty header pointer\n",
                  static_cast<LPCWSTR>(P));
        return;
    }
    WCHAR szFcc[FOURCC_TEXT_SIZE];
    _LogTrace(dwCategory, nLevel, L"%ssize=%i, w=%i, h=%i, planes=%i, bits=%i, compress=%s, sizeImg=%i\n",
              static_cast<LPCWSTR>(P), static_cast<int>(pbmi->biSize), static_cast<int>(pbmi->biWidth),
              static_cast<int>(pbmi->biHeight), pbmi->biPlanes, pbmi->biBitCount, Fourcc2Name(pbmi->biCompression, szFcc),
              static_cast<int>(pbmi->biSizeImage));

    WCHAR szMore[128];
    szMore[0] = 0;
    size_t cch = 0;
    if (0 != pbmi->biXPelsPerMeter || 0 != pbmi->biYPelsPerMeter)
    {
        _snwprintf_s(szMore, 128, _TRUNCATE, L"XPels=%i, YPels=%i", static_cast<int>(pbmi->biXPelsPerMeter),
                     static_cast<int>(pbmi->biYPelsPerMeter));
        cch = wcslen(szMore);
    }
    if (0 != pbmi->biClrUsed || 0 != pbmi->biClrImportant)
        _snwprintf_s(szMore + cch, 128 - cch, _TRUNCATE, cch ? L", ClrUsed=%u, ClrImp=%u" : L"ClrUsed=%u, ClrImp=%u",
                     static_cast<unsigned>(pbmi->biClrUsed), static_cast<unsigned>(pbmi->biClrImportant));
    if (0 != szMore[0])
        _LogTrace(dwCategory, nLevel, L"%s%s\n", static_cast<LPCWSTR>(P), szMore);
}

inline void Debug_DvInfo(DWORD_PTR dwCategory, UINT nLevel, const DVINFO* pdv, LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eTitle, L"DVINFO: ");
    if (NULL == pdv)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_DvInfo(): Empty DVINFO pointer\n", static_cast<LPCWSTR>(P));
        return;
    }
    _LogTrace(dwCategory, nLevel,
              L"%s\n\tdwDVAAuxSrc =%08X, dwDVAAuxCtl =%08X (1st 5/6 DIF seq)\n\tdwDVAAuxSrc1=%08X, dwDVAAuxCtl1=%08X (2nd 5/6 "
              L"DIF seq)\n\tdwDVVAuxSrc =%08X, dwDVVAuxCtl =%08X (Video)\n\tdwDVReserved[0]=%08X, dwDVReserved[1]=%08X\n",
              static_cast<LPCWSTR>(P), static_cast<unsigned>(pdv->dwDVAAuxSrc), static_cast<unsigned>(pdv->dwDVAAuxCtl),
              static_cast<unsigned>(pdv->dwDVAAuxSrc1), static_cast<unsigned>(pdv->dwDVAAuxCtl1),
              static_cast<unsigned>(pdv->dwDVVAuxSrc), static_cast<unsigned>(pdv->dwDVVAuxCtl),
              static_cast<unsigned>(pdv->dwDVReserved[0]), static_cast<unsigned>(pdv->dwDVReserved[1]));
}

// The rectangle line shared by VIDEOINFOHEADER and VIDEOINFOHEADER2, whose
// first 48 bytes are laid out alike.
inline void DumpVideoRectangles(DWORD_PTR dwCategory, UINT nLevel, const VIDEOINFOHEADER* pvih, LPCWSTR P)
{
    WCHAR szAvgT[50];
    _LogTrace(dwCategory, nLevel, L"%ssrc=[%i,%i:%i,%i], targ=[%i,%i:%i,%i], rate=%u, errRate=%u, AvgT=%s\n", P,
              static_cast<int>(pvih->rcSource.left), static_cast<int>(pvih->rcSource.top),
              static_cast<int>(pvih->rcSource.right), static_cast<int>(pvih->rcSource.bottom),
              static_cast<int>(pvih->rcTarget.left), static_cast<int>(pvih->rcTarget.top),
              static_cast<int>(pvih->rcTarget.right), static_cast<int>(pvih->rcTarget.bottom),
              static_cast<unsigned>(pvih->dwBitRate), static_cast<unsigned>(pvih->dwBitErrorRate),
              ReferenceTimeToText(pvih->AvgTimePerFrame, szAvgT));
}

// The format block of a media type whose size and pointer are both set.
inline void DumpFormatBlock(DWORD_PTR dwCategory, UINT nLevel, const AM_MEDIA_TYPE* pmt, LPCWSTR P)
{
    const size_t cb = pmt->cbFormat;
    const BYTE* pb = pmt->pbFormat;
    size_t cbWanted = 0;
    const bool bVideoInfo =
        IsEqualGUID(pmt->formattype, FORMAT_VideoInfo) || IsEqualGUID(pmt->formattype, FORMAT_MPEGVideo);
    const bool bVideoInfo2 =
        IsEqualGUID(pmt->formattype, FORMAT_VideoInfo2) || IsEqualGUID(pmt->formattype, FORMAT_MPEG2Video);
    if (bVideoInfo)
    {
        cbWanted = sizeof(VIDEOINFOHEADER);
        if (cb >= offsetof(VIDEOINFOHEADER, bmiHeader))
            DumpVideoRectangles(dwCategory, nLevel, reinterpret_cast<const VIDEOINFOHEADER*>(pb), P);
        if (cb >= sizeof(VIDEOINFOHEADER))
            Debug_BitmapInfoHeader(dwCategory, nLevel, &reinterpret_cast<const VIDEOINFOHEADER*>(pb)->bmiHeader, P);
    }
    else if (bVideoInfo2)
    {
        const bool bMpeg2 = IsEqualGUID(pmt->formattype, FORMAT_MPEG2Video);
        cbWanted = bMpeg2 ? sizeof(MPEG2VIDEOINFO) : sizeof(VIDEOINFOHEADER2);
        const VIDEOINFOHEADER2* pvih2 = reinterpret_cast<const VIDEOINFOHEADER2*>(pb);
        if (cb >= offsetof(VIDEOINFOHEADER2, dwInterlaceFlags))
            DumpVideoRectangles(dwCategory, nLevel, reinterpret_cast<const VIDEOINFOHEADER*>(pb), P);
        if (cb >= offsetof(VIDEOINFOHEADER2, bmiHeader))
            _LogTrace(dwCategory, nLevel, L"%silace=0x%X%s, copProt=0x%X, aspect={%i,%i}, ctrl=0x%X\n", P,
                      static_cast<unsigned>(pvih2->dwInterlaceFlags),
                      (pvih2->dwInterlaceFlags & 0x1) ? L" (INTERLACED)" : L"",
                      static_cast<unsigned>(pvih2->dwCopyProtectFlags), static_cast<int>(pvih2->dwPictAspectRatioX),
                      static_cast<int>(pvih2->dwPictAspectRatioY), static_cast<unsigned>(pvih2->dwControlFlags));
        if (bMpeg2 && cb >= sizeof(MPEG2VIDEOINFO))
        {
            const MPEG2VIDEOINFO* pm2 = reinterpret_cast<const MPEG2VIDEOINFO*>(pb);
            _LogTrace(dwCategory, nLevel,
                      L"%sstartCode=0x%X, cbHeader=%u, profile=%u, level=%u, flags=0x%X, seqHeader[0]=0x%X\n", P,
                      static_cast<unsigned>(pm2->dwStartTimeCode), static_cast<unsigned>(pm2->cbSequenceHeader),
                      static_cast<unsigned>(pm2->dwProfile), static_cast<unsigned>(pm2->dwLevel),
                      static_cast<unsigned>(pm2->dwFlags), static_cast<unsigned>(pm2->dwSequenceHeader[0]));
            const size_t cbThere = cb - offsetof(MPEG2VIDEOINFO, dwSequenceHeader);
            size_t cbShown = pm2->cbSequenceHeader < cbThere ? pm2->cbSequenceHeader : cbThere;
            if (cbShown > static_cast<size_t>(DUMP_MEMORY_MAX))
                cbShown = DUMP_MEMORY_MAX;
            TraceMemory(dwCategory, nLevel, static_cast<int>(cbShown), pm2->dwSequenceHeader,
                        pm2->cbSequenceHeader <= static_cast<DWORD>(DUMP_MEMORY_MAX)
                            ? L"dwSequenceHeader[] bytes: "
                            : L"dwSequenceHeader[] first 1024 bytes: ");
        }
        if (cb >= sizeof(VIDEOINFOHEADER2))
            Debug_BitmapInfoHeader(dwCategory, nLevel, &pvih2->bmiHeader, P);
    }
    else if (IsEqualGUID(pmt->formattype, FORMAT_WaveFormatEx))
    {
        // A PCMWAVEFORMAT block ends before cbSize: it has no extra bytes.
        cbWanted = sizeof(PCMWAVEFORMAT);
        if (cb >= sizeof(WAVEFORMATEX))
            DumpWaveFormatEx(dwCategory, nLevel, reinterpret_cast<const WAVEFORMATEX*>(pb), cb, P);
        else if (cb >= sizeof(PCMWAVEFORMAT))
        {
            WAVEFORMATEX wfx;
            ZeroMemory(&wfx, sizeof(wfx));
            memcpy(&wfx, pb, sizeof(PCMWAVEFORMAT));
            DumpWaveFormatEx(dwCategory, nLevel, &wfx, sizeof(wfx), P);
        }
    }
    else if (IsEqualGUID(pmt->formattype, FORMAT_DvInfo))
    {
        cbWanted = sizeof(DVINFO);
        if (cb >= sizeof(DVINFO))
            Debug_DvInfo(dwCategory, nLevel, reinterpret_cast<const DVINFO*>(pb), P);
    }
    if (cb < cbWanted)
        _LogTrace(dwCategory, nLevel, L"###Err### Debug_MediaType(): format block too short, cbFormat=%i, needed %i\n",
                  static_cast<int>(cb), static_cast<int>(cbWanted));
}

inline void Debug_MediaType(DWORD_PTR dwCategory, UINT nLevel, const AM_MEDIA_TYPE* pmt, LPCWSTR pszPrefix)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    if (NULL == pmt)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### Debug_MediaType(): Empty media type pointer\n");
        return;
    }
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eTitle, L"MT: ");
    WCHAR szSummary[GUID_NAME_WORK_SIZE];
    CFilterChainParser::ParseMediaType(pmt, szSummary, GUID_NAME_WORK_SIZE, FALSE);
    _LogTrace(dwCategory, nLevel, L"%s%s, size=%i, cbForm=%i, fix:%s, compr:%s\n", static_cast<LPCWSTR>(P), szSummary,
              static_cast<int>(pmt->lSampleSize), static_cast<int>(pmt->cbFormat), pmt->bFixedSizeSamples ? L"Y" : L"N",
              pmt->bTemporalCompression ? L"Y" : L"N");
    if (NULL != pmt->pUnk)
        _LogTrace(dwCategory, nLevel, L"%s@@@@ pUnk = 0x%p\n", static_cast<LPCWSTR>(P), pmt->pUnk);
    if ((0 == pmt->cbFormat) != (NULL == pmt->pbFormat))
    {
        _LogTrace(dwCategory, nLevel, L"###Err### Debug_MediaType(): bad format parameters, cbFormat=%i, pbFormat=0x%X\n",
                  static_cast<int>(pmt->cbFormat), static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pmt->pbFormat)));
        return;
    }
    if (0 != pmt->cbFormat)
        DumpFormatBlock(dwCategory, nLevel, pmt, P);
}

inline void Debug_AllocatorProps(DWORD_PTR dwCategory, UINT nLevel, const ALLOCATOR_PROPERTIES* pProps,
                                 LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eBlank);
    if (NULL == pProps)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_AllocatorProps(): Empty pointer\n", static_cast<LPCWSTR>(P));
        return;
    }
    _LogTrace(dwCategory, nLevel, L"%s{ %i, %i, %i, %i }\n", static_cast<LPCWSTR>(P), static_cast<int>(pProps->cBuffers),
              static_cast<int>(pProps->cbBuffer), static_cast<int>(pProps->cbAlign), static_cast<int>(pProps->cbPrefix));
}

// Hexadecimal and character lines of cb bytes at pv, 16 bytes a line, under a
// header line; false when there was nothing to show (only the header).
inline bool TraceMemory(DWORD_PTR dwCategory, UINT nLevel, int cb, const void* pv, LPCWSTR pszTitle)
{
    if (!DumpPasses(dwCategory, nLevel))
        return false;
    if (NULL != pszTitle)
        _LogTrace(dwCategory, nLevel, L"%s Trace from address 0x%p (%i bytes)\n", pszTitle, pv, cb);
    else
        _LogTrace(dwCategory, nLevel, L"Trace from address 0x%p (%i bytes)\n", pv, cb);
    if (NULL == pv || cb <= 0)
        return false;

    static const WCHAR s_szHex[] = L"0123456789ABCDEF";
    const BYTE* pb = static_cast<const BYTE*>(pv);
    for (int nLine = 0; nLine < cb; nLine += 16)
    {
        // 16 * 3 + 2 + 2 + 2 = 54 characters before the character column.
        WCHAR szLine[54 + 16 + 1];
        int i = 0;
        for (int nPos = 0; nPos < 16; ++nPos)
        {
            if (nLine + nPos < cb)
            {
                szLine[i++] = s_szHex[pb[nLine + nPos] >> 4];
                szLine[i++] = s_szHex[pb[nLine + nPos] & 0xF];
            }
            else
            {
                szLine[i++] = L' ';
                szLine[i++] = L' ';
            }
            szLine[i++] = L' ';
            if (3 == nPos || 11 == nPos)
                szLine[i++] = L' ';
            else if (7 == nPos)
            {
                szLine[i++] = L'|';
                szLine[i++] = L' ';
            }
        }
        szLine[i++] = L' ';
        szLine[i++] = L' ';
        for (int nPos = 0; nPos < 16 && nLine + nPos < cb; ++nPos)
        {
            const BYTE b = pb[nLine + nPos];
            szLine[i++] = (b >= 0x20 && b <= 0x7F) ? static_cast<WCHAR>(b) : L'.';
        }
        szLine[i] = 0;
        _LogTrace(dwCategory, nLevel, L"0x%p: %s\n", pb + nLine, szLine);
    }
    _LogTrace(dwCategory, nLevel, L"\n");
    return true;
}

inline void Debug_KsVBIInfoHeader(DWORD_PTR dwCategory, UINT nLevel, const KS_VBIINFOHEADER* pVBI,
                                  LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eAsIs);
    if (NULL == pVBI)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_KsVBIInfoHeader(): Empty pointer to struct\n",
                  static_cast<LPCWSTR>(P));
        return;
    }
    _LogTrace(dwCategory, nLevel, L"%s: KS_VBIINFOHEADER: StartLine=%u, EndLine=%u, SamplingFrequency=%u\n",
              static_cast<LPCWSTR>(P), static_cast<unsigned>(pVBI->StartLine), static_cast<unsigned>(pVBI->EndLine),
              static_cast<unsigned>(pVBI->SamplingFrequency));
    _LogTrace(dwCategory, nLevel,
              L"%s: KS_VBIINFOHEADER: Min/Max LineStartTime: %u:%u, ActualLine Start/End Time=%u:%u\n",
              static_cast<LPCWSTR>(P), static_cast<unsigned>(pVBI->MinLineStartTime),
              static_cast<unsigned>(pVBI->MaxLineStartTime), static_cast<unsigned>(pVBI->ActualLineStartTime),
              static_cast<unsigned>(pVBI->ActualLineEndTime));
    _LogTrace(dwCategory, nLevel,
              L"%s: KS_VBIINFOHEADER: VideoStandard=0x%X, SamplesPerLine=%u, StrideInBytes=%u, BufferSize=%u\n",
              static_cast<LPCWSTR>(P), static_cast<unsigned>(pVBI->VideoStandard),
              static_cast<unsigned>(pVBI->SamplesPerLine), static_cast<unsigned>(pVBI->StrideInBytes),
              static_cast<unsigned>(pVBI->BufferSize));
}

// The overlay colour controls whose flags are set. A NULL structure gives
// one error line.
inline void Debug_ColorControls(DWORD_PTR dwCategory, UINT nLevel, const DDCOLORCONTROL* pcc)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    if (NULL == pcc)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### Debug_ColorControls(): Empty pointer\n");
        return;
    }
    const struct
    {
        DWORD dwFlag;
        LPCWSTR pszFormat;
        LONG lValue;
    } rgFields[] = {
        { DDCOLOR_BRIGHTNESS, L"  Brightness=%i", pcc->lBrightness },
        { DDCOLOR_CONTRAST, L"  Contrast=%i", pcc->lContrast },
        { DDCOLOR_HUE, L"  Hue=%i", pcc->lHue },
        { DDCOLOR_SATURATION, L"  Saturation=%i", pcc->lSaturation },
        { DDCOLOR_SHARPNESS, L"  Sharpness=%i", pcc->lSharpness },
        { DDCOLOR_GAMMA, L"  Gamma=%i", pcc->lGamma },
        { DDCOLOR_COLORENABLE, L"  ColorEnable=%i", pcc->lColorEnable },
    };
    WCHAR szText[256];
    szText[0] = 0;
    size_t cch = 0;
    for (const auto& field : rgFields)
    {
        if (0 == (pcc->dwFlags & field.dwFlag))
            continue;
        _snwprintf_s(szText + cch, 256 - cch, _TRUNCATE, field.pszFormat, static_cast<int>(field.lValue));
        cch += wcslen(szText + cch);
    }
    _LogTrace(dwCategory, nLevel, L"*** Surface properties : dwFlags=0x%X%s\n", static_cast<unsigned>(pcc->dwFlags), szText);
}
