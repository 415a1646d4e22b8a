// The sample snapshot mask and the copiers that write a snapshot's buffer
// into another sample: byte for byte, or one picture between line widths.
#pragma once

#include "AllocatorPools.h"
#include "DSTrace.h"
#include "DSTypes.h"
#include "DSVideo.h"
#include "text/StructureDumps.h"
#include "text/TraceText.h"

#include <string.h>

// ---------------------------------------------------------------------------
// Sample snapshot mask: the properties a CSampleT loads and saves.

const WORD PM_START = 0x0001;
const WORD PM_STOP = 0x0002;
const WORD PM_MEDIATIME = 0x0004;
const WORD PM_SYNCPOINT = 0x0010;
const WORD PM_PREROLL = 0x0020;
const WORD PM_DISCONTINUITY = 0x0040;
const WORD PM_TYPEFLAGS = 0x0080;
const WORD PM_MEDIATYPE = 0x0100;
const WORD PM_BUFFER = 0x1000;
const WORD PM_ACTLEN = 0x2000;
const WORD PM_STREAMID = 0x8000;
// Whatever the sample has.
const WORD PM_ALL = 0xFFFF;

// A failed copier step: one error line, then an assertion that names it.
#define DSX_COPIER_ERROR(failure, format, ...)                                                                         \
    do                                                                                                                 \
    {                                                                                                                  \
        _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### " format, __VA_ARGS__);                                      \
        ASSERT_TEXT(false, failure);                                                                                   \
    } while (0)

// ---------------------------------------------------------------------------
// Copiers: write a snapshot's buffer into another sample.

// Copies the bytes one to one.
class CSampleCopier
{
public:
    // The snapshot's call, with the size of the source buffer as well: the
    // plain copy needs no more than the actual length, which the snapshot
    // never loads larger than its buffer.
    HRESULT CopyBuffer(IMediaSample* pDst, const BYTE* pbSrc, LONG cbSrc, LONG lActual, WORD wMask)
    {
        (void)cbSrc;
        return CopyBuffer(pDst, pbSrc, lActual, wMask);
    }

    HRESULT CopyBuffer(IMediaSample* pDst, const BYTE* pbSrc, LONG lActual, WORD wMask)
    {
        wMask &= (PM_BUFFER | PM_ACTLEN);
        if (wMask & PM_BUFFER)
        {
            if (!ASSERT(pbSrc != NULL))
                return E_INVALIDARG;
            if (!ASSERT(wMask & PM_ACTLEN))
                return E_INVALIDARG;
        }
        if (wMask & PM_ACTLEN)
        {
            // A negative length would be a huge copy.
            if (!ASSERT(lActual >= 0))
                return E_INVALIDARG;
            if (0 == lActual)
                wMask &= ~PM_BUFFER;
        }
        if (0 == wMask)
            return S_OK;
        if (!ASSERT(pDst != NULL))
            return E_INVALIDARG;
        BYTE* pbDst = NULL;
        if (0 != lActual)
        {
            const HRESULT hr = pDst->GetPointer(&pbDst);
            if (S_OK != hr)
            {
                DSX_COPIER_ERROR("CSampleCopier::CopyBuffer(): GetPointer() FAILED",
                                 L"CSampleCopier::CopyBuffer(): GetPointer()=0x%X\n", static_cast<unsigned>(hr));
                return FAILED(hr) ? hr : E_FAIL;
            }
            if (NULL == pbDst)
            {
                DSX_COPIER_ERROR("CSampleCopier::CopyBuffer(): pbDst == NULL",
                                 L"CSampleCopier::CopyBuffer(): GetPointer()=S_OK, pbDst==NULL\n", 0);
                return E_FAIL;
            }
            const LONG cbDst = pDst->GetSize();
            if (cbDst < lActual)
            {
                DSX_COPIER_ERROR("CSampleCopier::CopyBuffer(): GetSize() < lActual",
                                 L"CSampleCopier::CopyBuffer(): GetSize()=%i, lActual=%i\n", static_cast<int>(cbDst),
                                 static_cast<int>(lActual));
                return E_FAIL;
            }
        }
        const HRESULT hr = pDst->SetActualDataLength(lActual);
        if (S_OK != hr)
        {
            DSX_COPIER_ERROR("CSampleCopier::CopyBuffer(): SetActualDataLength() FAILED",
                             L"CSampleCopier::CopyBuffer(): SetActualDataLength( %i )=0x%X\n",
                             static_cast<int>(lActual), static_cast<unsigned>(hr));
            return FAILED(hr) ? hr : E_FAIL;
        }
        if (wMask & PM_BUFFER)
            memcpy(pbDst, pbSrc, static_cast<size_t>(lActual));
        return S_OK;
    }
};

// Copies one video picture between two samples whose line widths differ.
// Both sides must have the same layout and height; the picture is as wide
// as the source.
class COverlayMixerCopier
{
public:
    COverlayMixerCopier() noexcept : nFormat(-1), fccType(0), nHeight(0), nWidthSrc(0), nWidthDst(0) {}

    HRESULT SetSrcProperties(const AM_MEDIA_TYPE* pmt) { return SetProperties(pmt, TRUE); }
    HRESULT SetDstProperties(const AM_MEDIA_TYPE* pmt) { return SetProperties(pmt, FALSE); }

    HRESULT SetProperties(const AM_MEDIA_TYPE* pmt, BOOL bSource)
    {
        LPCWSTR pszSide = bSource ? L"SRC" : L"DST";
        if (!ASSERT(pmt != NULL))
            return E_INVALIDARG;
        DWORD dwFcc = 0;
        LONG lWidth = 0, lHeight = 0;
        const HRESULT hr = CMTHelp::MTParseVideo(pmt, &dwFcc, &lWidth, &lHeight, NULL);
        if (FAILED(hr))
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::SetProperties(): CMTHelp::MTParseVideo() FAILED",
                             L"COverlayMixerCopier::SetProperties( %s ): CMTHelp::MTParseVideo()=0x%X\n", pszSide,
                             static_cast<unsigned>(hr));
            Debug_MediaType(atlTraceGeneral, eTL_Error, pmt);
            return hr;
        }
        // A negative width is no picture either: it would read as a huge one.
        if (lWidth <= 0 || 0 == lHeight)
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::SetProperties(): bad media type",
                             L"COverlayMixerCopier::SetProperties( %s ): bad media type\n", pszSide);
            Debug_MediaType(atlTraceGeneral, eTL_Error, pmt);
            return VFW_E_INVALIDMEDIATYPE;
        }
        const int nNewFormat = CPictureFormats::FindFormat(dwFcc);
        if (nNewFormat < 0)
        {
            WCHAR szName[GUID_NAME_WORK_SIZE];
            DSX_COPIER_ERROR("COverlayMixerCopier::SetProperties(): unsupported subtype",
                             L"COverlayMixerCopier::SetProperties( %s ): unsupported subtype %s\n", pszSide,
                             Guid2Name(pmt->subtype, szName, GUID_NAME_WORK_SIZE));
            return VFW_E_INVALIDSUBTYPE;
        }
        const UINT nNewHeight =
            static_cast<UINT>(lHeight < 0 ? 0 - static_cast<int64_t>(lHeight) : static_cast<int64_t>(lHeight));
        const UINT nOtherWidth = bSource ? nWidthDst : nWidthSrc;
        if (0 != fccType && 0 != nOtherWidth && (dwFcc != fccType || nNewHeight != nHeight))
        {
            WCHAR szSrc[FOURCC_TEXT_SIZE + 40], szDst[FOURCC_TEXT_SIZE + 40];
            Fourcc2Name(bSource ? dwFcc : fccType, szSrc);
            Fourcc2Name(bSource ? fccType : dwFcc, szDst);
            DSX_COPIER_ERROR("COverlayMixerCopier::SetProperties(): properties are different",
                             L"COverlayMixerCopier::SetProperties( %s ): properties are different, source %s, "
                             L"height=%u, destination %s, height=%u\n",
                             pszSide, szSrc, bSource ? nNewHeight : nHeight, szDst, bSource ? nHeight : nNewHeight);
            return E_FAIL;
        }
        if (0 == fccType)
        {
            fccType = dwFcc;
            nFormat = nNewFormat;
            nHeight = nNewHeight;
        }
        if (bSource)
            nWidthSrc = static_cast<UINT>(lWidth);
        else
            nWidthDst = static_cast<UINT>(lWidth);
        return S_OK;
    }

    // Bytes of one picture at a line size: the luma lines and, for a planar
    // layout, the chroma planes after them (rounded up, so that it covers
    // every way the copy walks them).
    uint64_t PictureBytes(UINT nWidth) const
    {
        const PictureFormat& rgFormat = CPictureFormats::s_rgFormats[nFormat];
        const uint64_t cbLuma = static_cast<uint64_t>(CPictureFormats::GetStride(rgFormat, nWidth)) * nHeight;
        return rgFormat.bPlanar ? cbLuma + (cbLuma + 1) / 2 : cbLuma;
    }

    // Re-lays the picture at pbSrc, a buffer of cbSrc bytes, into pDst. Both
    // buffers are measured first: each must hold the picture at its own line
    // size, since an allocator's buffers lie side by side in one block and an
    // overrun would land in a neighbour's data. How much of the source holds
    // data (lActual, PM_ACTLEN) plays no part. The destination's actual
    // length becomes the size of the picture written, so that the sample
    // carries its picture downstream.
    HRESULT CopyBuffer(IMediaSample* pDst, const BYTE* pbSrc, LONG cbSrc, LONG lActual, WORD wMask)
    {
        (void)lActual;
        if (!ASSERT(pDst != NULL))
            return E_INVALIDARG;
        if (!(wMask & PM_BUFFER))
            return S_OK;
        if (!ASSERT(pbSrc != NULL))
            return E_INVALIDARG;
        if (0 == fccType || 0 == nHeight || 0 == nWidthSrc || 0 == nWidthDst || nFormat < 0)
        {
            WCHAR szFcc[FOURCC_TEXT_SIZE + 40];
            DSX_COPIER_ERROR("COverlayMixerCopier::CopyBuffer(): properties not set",
                             L"COverlayMixerCopier::CopyBuffer(): fccType=%s, nWidthSrc=%u, nWidthDst=%u, nHeight=%u\n",
                             Fourcc2Name(fccType, szFcc), nWidthSrc, nWidthDst, nHeight);
            return E_FAIL;
        }
        const uint64_t cbSrcPicture = PictureBytes(nWidthSrc);
        if (cbSrc < 0 || static_cast<uint64_t>(cbSrc) < cbSrcPicture)
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::CopyBuffer(): source GetSize() < source picture size",
                             L"COverlayMixerCopier::CopyBuffer(): source GetSize()=%i, source picture=%I64u\n",
                             static_cast<int>(cbSrc), static_cast<unsigned long long>(cbSrcPicture));
            return E_FAIL;
        }
        BYTE* pbDst = NULL;
        HRESULT hr = pDst->GetPointer(&pbDst);
        if (S_OK != hr)
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::CopyBuffer(): GetPointer() FAILED",
                             L"COverlayMixerCopier::CopyBuffer(): GetPointer()=0x%X\n", static_cast<unsigned>(hr));
            return FAILED(hr) ? hr : E_FAIL;
        }
        if (NULL == pbDst)
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::CopyBuffer(): pbDst == NULL",
                             L"COverlayMixerCopier::CopyBuffer(): GetPointer()=S_OK, pbDst==NULL\n", 0);
            return E_FAIL;
        }
        const uint64_t cbDstPicture = PictureBytes(nWidthDst);
        const LONG cbDst = pDst->GetSize();
        if (cbDst < 0 || static_cast<uint64_t>(cbDst) < cbDstPicture)
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::CopyBuffer(): GetSize() < destination picture size",
                             L"COverlayMixerCopier::CopyBuffer(): GetSize()=%i, destination picture=%I64u\n",
                             static_cast<int>(cbDst), static_cast<unsigned long long>(cbDstPicture));
            return E_FAIL;
        }
        hr = CPictureFormats::CopyData(pbDst, pbSrc, nFormat, nWidthSrc, static_cast<int>(nHeight), nWidthDst, 0);
        if (FAILED(hr))
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::CopyBuffer(): CPictureFormats::CopyData() FAILED",
                             L"COverlayMixerCopier::CopyBuffer(): CPictureFormats::CopyData()=0x%X\n",
                             static_cast<unsigned>(hr));
            return hr;
        }
        hr = pDst->SetActualDataLength(static_cast<LONG>(cbDstPicture));
        if (S_OK != hr)
        {
            DSX_COPIER_ERROR("COverlayMixerCopier::CopyBuffer(): SetActualDataLength() FAILED",
                             L"COverlayMixerCopier::CopyBuffer(): SetActualDataLength( %i )=0x%X\n",
                             static_cast<int>(cbDstPicture), static_cast<unsigned>(hr));
            return FAILED(hr) ? hr : E_FAIL;
        }
        return hr;
    }

    int nFormat;
    DWORD fccType;
    UINT nHeight;
    UINT nWidthSrc;
    UINT nWidthDst;
};
