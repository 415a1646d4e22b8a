// Uncompressed video layouts: the picture-format table with its line-size and
// picture-size rules, and the writer that stores one raw picture as a .bmp
// file (frame capture).
#pragma once

#include "DSDefines.h"
#include "DSFunctions.h"

#include <stdint.h>

// One uncompressed video layout.
struct PictureFormat
{
    const GUID* pSubtype;
    USHORT nBitsPerPixel;
    BYTE nHorzYtoUV; // luma samples per chroma sample, horizontally
    BYTE nVertYtoUV; // and vertically
    BYTE nOffsetY;   // byte offsets of the components in a pixel group
    BYTE nOffsetU;
    BYTE nOffsetV;
    BYTE nStepY; // bytes between successive samples of a component
    BYTE nStepU;
    BYTE nStepV;
    BYTE bPlanar;
    BYTE bYUV;
};

class CPictureFormats
{
public:
    static const size_t s_cFormats = 12;
    // The row number is the format number used elsewhere (nFormat).
    static inline const PictureFormat s_rgFormats[s_cFormats] = {
        { &MEDIASUBTYPE_YUY2, 16, 2, 1, 0, 1, 3, 2, 4, 4, 0, 1 },
        { &MEDIASUBTYPE_UYVY, 16, 2, 1, 1, 0, 2, 2, 4, 4, 0, 1 },
        { &MEDIASUBTYPE_YV12, 12, 2, 2, 0, 0, 0, 1, 1, 1, 1, 1 },
        { &MEDIASUBTYPE_YVYU, 16, 2, 1, 0, 3, 1, 2, 4, 4, 0, 1 },
        { &dsx::MEDIASUBTYPE_I420, 12, 2, 2, 0, 0, 0, 1, 1, 1, 1, 1 },
        { &dsx::MEDIASUBTYPE_IYU2, 24, 1, 1, 2, 1, 0, 3, 3, 3, 0, 1 },
        { &MEDIASUBTYPE_RGB32, 32, 1, 1, 2, 1, 0, 4, 4, 4, 0, 0 },
        { &MEDIASUBTYPE_ARGB32, 32, 1, 1, 2, 1, 0, 4, 4, 4, 0, 0 },
        { &MEDIASUBTYPE_RGB24, 24, 1, 1, 2, 1, 0, 3, 3, 3, 0, 0 },
        { &MEDIASUBTYPE_RGB565, 16, 1, 1, 1, 0, 0, 2, 2, 2, 0, 0 },
        { &MEDIASUBTYPE_RGB555, 16, 1, 1, 1, 0, 0, 2, 2, 2, 0, 0 },
        { &dsx::MEDIASUBTYPE_HDYC, 16, 2, 1, 1, 0, 2, 2, 4, 4, 0, 1 },
    };

    // The first row whose subtype's Data1 is dwFcc, or -1.
    static int FindFormat(DWORD dwFcc)
    {
        for (size_t i = 0; i < s_cFormats; ++i)
            if (s_rgFormats[i].pSubtype->Data1 == dwFcc)
                return static_cast<int>(i);
        return -1;
    }

    // Bytes of one line: the luma line of a planar layout, else the pixels
    // rounded up to whole DWORDs. A line that 32 bits cannot hold gives
    // UINT_MAX, never a wrapped (small) size that a buffer would pass.
    static UINT GetStride(const PictureFormat& rgFormat, UINT nWidth)
    {
        ASSERT(nWidth % rgFormat.nHorzYtoUV == 0);
        return SizeOrMax(LineBytes(rgFormat, nWidth));
    }

    // Bytes of one picture, both chroma planes included for a planar layout;
    // UINT_MAX for a picture that 32 bits cannot hold.
    static UINT ImageSize(const PictureFormat& rgFormat, UINT nWidth, int nHeight)
    {
        ASSERT(nHeight % rgFormat.nVertYtoUV == 0);
        return SizeOrMax(PictureBytes(rgFormat, nWidth, nHeight));
    }

    // Copies one picture of nFormat between two buffers whose lines are of
    // different widths (0 for a width means the picture width). The planes of
    // a planar layout follow each other in both buffers. The caller makes
    // sure that each buffer holds the picture at its own width. S_OK;
    // E_INVALIDARG for bad arguments; E_UNEXPECTED when a copy faults (what
    // was copied before stays).
    static HRESULT CopyData(BYTE* pDst, const BYTE* pSrc, int nFormat, UINT nPictureWidth, int nPictureHeight,
                            UINT nWidthDst, UINT nWidthSrc)
    {
        if (!ASSERT(pSrc != NULL && pDst != NULL))
            return E_INVALIDARG;
        if (!ASSERT_TEXT(nFormat >= 0 && nFormat < static_cast<int>(s_cFormats),
                         "nFormat >= 0 && nFormat < s_cFormats"))
            return E_INVALIDARG;
        if (!ASSERT(nPictureWidth > 0 && nPictureHeight != 0))
            return E_INVALIDARG;
        const uint64_t nH = nPictureHeight < 0 ? 0 - static_cast<int64_t>(nPictureHeight) : nPictureHeight;
        if (0 == nWidthSrc)
            nWidthSrc = nPictureWidth;
        if (0 == nWidthDst)
            nWidthDst = nPictureWidth;
        if (!ASSERT(nPictureWidth <= nWidthSrc && nPictureWidth <= nWidthDst))
            return E_INVALIDARG;
        const PictureFormat& rgFormat = s_rgFormats[nFormat];
        const uint64_t cbStrideSrc = GetStride(rgFormat, nWidthSrc);
        const uint64_t cbStrideDst = GetStride(rgFormat, nWidthDst);
        const uint64_t cbLine = GetStride(rgFormat, nPictureWidth);
        // A width whose line size does not fit in 32 bits has no stride to
        // walk by (its size stops at UINT_MAX): lines would land far outside
        // the buffers the caller measured.
        if (!ASSERT(cbStrideSrc < UINT_MAX && cbStrideDst < UINT_MAX && cbLine <= cbStrideSrc &&
                    cbLine <= cbStrideDst))
            return E_INVALIDARG;
        if (cbStrideSrc == cbStrideDst && cbStrideSrc <= cbLine + 32)
        {
            uint64_t cb = cbStrideSrc * nH;
            if (rgFormat.bPlanar)
            {
                ASSERT(nH % rgFormat.nVertYtoUV == 0);
                cb = cbStrideSrc * (nH + nH / 2);
            }
            return SEH_CopyMemory(pDst, pSrc, static_cast<size_t>(cb)) ? S_OK : E_UNEXPECTED;
        }
        const BYTE* pbSrc = pSrc;
        BYTE* pbDst = pDst;
        for (uint64_t i = 0; i < nH; ++i, pbSrc += cbStrideSrc, pbDst += cbStrideDst)
            if (!SEH_CopyMemory(pbDst, pbSrc, static_cast<size_t>(cbLine)))
                return E_UNEXPECTED;
        if (!rgFormat.bPlanar)
            return S_OK;
        // Both chroma planes, walked as nH lines of half the luma line.
        ASSERT(nWidthSrc % rgFormat.nHorzYtoUV == 0 && nWidthDst % rgFormat.nHorzYtoUV == 0);
        for (uint64_t i = 0; i < nH; ++i, pbSrc += cbStrideSrc / 2, pbDst += cbStrideDst / 2)
            if (!SEH_CopyMemory(pbDst, pbSrc, static_cast<size_t>(cbLine / 2)))
                return E_UNEXPECTED;
        return S_OK;
    }

    static HRESULT GetImageSize(DWORD dwFcc, UINT nWidth, int nHeight, UINT* pcbImageSize)
    {
        if (!ASSERT(pcbImageSize != NULL))
            return E_POINTER;
        *pcbImageSize = 0;
        const int nFormat = FindFormat(dwFcc);
        if (nFormat < 0)
            return E_INVALIDARG;
        // A picture of 4 GiB or more has no size to give.
        if (PictureBytes(s_rgFormats[nFormat], nWidth, nHeight) > 0xFFFFFFFFu)
            return E_INVALIDARG;
        *pcbImageSize = ImageSize(s_rgFormats[nFormat], nWidth, nHeight);
        return S_OK;
    }

private:
    static uint64_t LineBytes(const PictureFormat& rgFormat, UINT nWidth)
    {
        if (rgFormat.bPlanar && rgFormat.bYUV)
            return nWidth;
        return (static_cast<uint64_t>(nWidth) * rgFormat.nBitsPerPixel / 8 + 3) & ~uint64_t(3);
    }

    static uint64_t PictureBytes(const PictureFormat& rgFormat, UINT nWidth, int nHeight)
    {
        const uint64_t nH = nHeight < 0 ? 0 - static_cast<int64_t>(nHeight) : nHeight;
        uint64_t cb = LineBytes(rgFormat, nWidth) * nH;
        if (rgFormat.bPlanar && rgFormat.bYUV)
            cb += 2 * static_cast<uint64_t>(nWidth / rgFormat.nHorzYtoUV) * (nH / rgFormat.nVertYtoUV);
        return cb;
    }

    static UINT SizeOrMax(uint64_t cb) { return cb > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<UINT>(cb); }
};

// Bitmap file layout: the 14-byte file header, the 40-byte info header and,
// for 5-6-5 pictures only, the three colour masks that tell readers how the
// 16 bits of a pixel divide (without them a 16-bit bitmap reads as 5-5-5).
const UINT BMP_FILEHEADER_SIZE = 14;
const UINT BMP_INFOHEADER_SIZE = 40;
const UINT BMP_MASKS_SIZE = 12;
static_assert(sizeof(BITMAPFILEHEADER) == BMP_FILEHEADER_SIZE, "packed file header");
static_assert(sizeof(BITMAPINFOHEADER) == BMP_INFOHEADER_SIZE, "info header");

namespace dsx
{
// Writes the whole block or fails: the Win32 error as HRESULT (E_FAIL when
// there is none), E_FAIL for a short write.
inline HRESULT WriteAll(HANDLE hFile, const void* pData, DWORD cb)
{
    DWORD cbWritten = 0;
    if (!WriteFile(hFile, pData, cb, &cbWritten, NULL))
    {
        const DWORD dwError = GetLastError();
        return dwError ? static_cast<HRESULT>(0x80070000 | (dwError & 0xFFFF)) : E_FAIL;
    }
    return cbWritten == cb ? S_OK : E_FAIL;
}

// Writes nLines lines of cbLine bytes taken cbStep apart (backwards when
// bBackwards, starting with the last line).
inline HRESULT WriteLines(HANDLE hFile, const BYTE* pFirst, uint64_t nLines, DWORD cbLine, uint64_t cbStep,
                          bool bBackwards)
{
    for (uint64_t i = 0; i < nLines; ++i)
    {
        const uint64_t nLine = bBackwards ? nLines - 1 - i : i;
        const HRESULT hr = WriteAll(hFile, pFirst + nLine * cbStep, cbLine);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}
} // namespace dsx

namespace dsx
{
// What the bitmap writer makes of a picture's description: its layout, its
// sizes in the buffer and in the file.
struct BitmapPicture
{
    UINT nBits = 0;
    bool bPlanar = false;
    bool bRGB = false;
    bool bMasks = false;       // 5-6-5: the colour masks follow the info header
    uint64_t nH = 0;           // lines
    uint64_t cbRow = 0;        // bytes of one line in the file
    uint64_t cbImage = 0;      // bytes of the picture in the file
    UINT cbRowSize = 0;        // distance between lines in the buffer
    uint64_t cbLuma = 0;       // planar: the luma plane in the buffer
    uint64_t cbChromaStep = 0; // planar: distance between chroma lines
    uint64_t nChromaLines = 0; // planar: lines of each chroma plane
    UINT cbOffBits = 0;        // where the pixels start in the file
};

// Checks, in the writer's order and with its assertions, that a picture of
// dwFcc, nWidth x lHeight with lines cbRowSize apart (0: the computed line
// size) can be written as a bitmap file; with bCheckBuffer also that
// cbBuffer bytes hold every line that is read. S_OK and *pPicture, else
// E_INVALIDARG. Without bCheckBuffer it tells, before any sample is there,
// whether a type's pictures can be written at all.
inline HRESULT PlanBitmap(DWORD dwFcc, UINT nWidth, LONG lHeight, UINT cbRowSize, bool bCheckBuffer, DWORD cbBuffer,
                          BitmapPicture* pPicture)
{
    if (!ASSERT(nWidth > 0))
        return E_INVALIDARG;
    if (!ASSERT(lHeight != 0))
        return E_INVALIDARG;

    static const DWORD s_rgSupported[] = {
        dsx::FCC_ARGB32, dsx::FCC_RGB32, dsx::FCC_RGB24, dsx::FCC_RGB565, dsx::FCC_RGB555,
        MAKEFOURCC('Y', 'U', 'Y', '2'), MAKEFOURCC('U', 'Y', 'V', 'Y'), MAKEFOURCC('Y', 'V', 'Y', 'U'),
        MAKEFOURCC('Y', 'V', '1', '2'), MAKEFOURCC('I', '4', '2', '0'),
    };
    bool bSupported = false;
    for (DWORD dw : s_rgSupported)
        bSupported = bSupported || dw == dwFcc;
    if (!ASSERT_TEXT(bSupported, "Unsupported FOURCC"))
        return E_INVALIDARG;

    BitmapPicture pic;
    pic.nH = lHeight < 0 ? 0 - static_cast<int64_t>(lHeight) : static_cast<uint64_t>(lHeight);
    pic.nBits = Fcc2Bits(dwFcc);
    pic.bPlanar = IsPlanar(dwFcc);
    pic.bRGB = IsRGB(dwFcc);
    const uint64_t nH = pic.nH;

    if (pic.bPlanar)
    {
        if (!ASSERT((nWidth % 2) == 0))
            return E_INVALIDARG;
        if (!ASSERT((nH % 2) == 0))
            return E_INVALIDARG;
        pic.cbRow = nWidth;
        pic.cbImage = nWidth * nH + (nWidth * nH) / 2;
    }
    else
    {
        if (!pic.bRGB && !ASSERT((nWidth % 2) == 0))
            return E_INVALIDARG;
        pic.cbRow = static_cast<uint64_t>(nWidth) * pic.nBits / 8;
        if (pic.bRGB)
            pic.cbRow = (pic.cbRow + 3) & ~uint64_t(3); // bitmap lines are whole DWORDs
        pic.cbImage = pic.cbRow * nH;
    }
    const uint64_t cbRow = pic.cbRow;

    // A line must fit the 32-bit line distance.
    if (!ASSERT(cbRow <= 0xFFFFFFFFu))
        return E_INVALIDARG;
    if (cbRowSize != 0)
    {
        if (!ASSERT(cbRow <= cbRowSize))
            return E_INVALIDARG;
    }
    else
        cbRowSize = static_cast<UINT>(cbRow);
    pic.cbRowSize = cbRowSize;

    // The buffer must hold every line that is read.
    pic.cbLuma = nH * cbRowSize;
    pic.cbChromaStep = cbRowSize / 2;
    pic.nChromaLines = nH / 2;
    if (bCheckBuffer)
    {
        uint64_t cbNeeded = (nH - 1) * cbRowSize + cbRow;
        if (pic.bPlanar)
            cbNeeded = pic.cbLuma + pic.nChromaLines * pic.cbChromaStep + (pic.nChromaLines - 1) * pic.cbChromaStep +
                       nWidth / 2;
        if (!ASSERT(cbNeeded <= cbBuffer))
            return E_INVALIDARG;
    }

    pic.bMasks = dwFcc == dsx::FCC_RGB565;
    pic.cbOffBits = BMP_FILEHEADER_SIZE + BMP_INFOHEADER_SIZE + (pic.bMasks ? BMP_MASKS_SIZE : 0);
    // Both sizes must fit the headers' 32-bit fields.
    const uint64_t cbImage = pic.cbImage;
    const uint64_t cbOffBits = pic.cbOffBits;
    if (!ASSERT(cbImage + cbOffBits <= 0xFFFFFFFFu))
        return E_INVALIDARG;
    *pPicture = pic;
    return S_OK;
}
} // namespace dsx

// Writes one picture from pBuffer (cbBuffer bytes) as a .bmp file.
// cbRowSize is the distance between lines in pBuffer, 0 for the computed line
// size. RGB pictures follow DirectShow's rule: a positive height is stored
// bottom-up, as in a bitmap file, a negative one top-down; the file is always
// bottom-up with a positive height. YUV pictures are written in buffer order
// with their FOURCC as compression; a planar picture's two chroma planes
// (each half the height, half the width and half the line distance of the
// luma plane) follow its luma lines in buffer order.
inline HRESULT SavePictureAsBitmap(LPCWSTR pszFile, const BYTE* pBuffer, DWORD cbBuffer, DWORD dwFcc, UINT nWidth,
                                   LONG lHeight, UINT cbRowSize)
{
    if (!ASSERT(pszFile != NULL))
        return E_INVALIDARG;
    if (!ASSERT(pBuffer != NULL))
        return E_POINTER;
    dsx::BitmapPicture pic;
    const HRESULT hrPlan = dsx::PlanBitmap(dwFcc, nWidth, lHeight, cbRowSize, true, cbBuffer, &pic);
    if (FAILED(hrPlan))
        return hrPlan;
    SetLastError(0);
    const HANDLE hFile = CreateFileW(pszFile, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (INVALID_HANDLE_VALUE == hFile)
    {
        const DWORD dwError = GetLastError();
        return dwError ? static_cast<HRESULT>(0x80070000 | (dwError & 0xFFFF)) : E_FAIL;
    }

    BYTE rgHeaders[BMP_FILEHEADER_SIZE + BMP_INFOHEADER_SIZE + BMP_MASKS_SIZE] = {};
    BITMAPFILEHEADER bfh = {};
    bfh.bfType = 0x4D42; // "BM"
    bfh.bfSize = static_cast<DWORD>(pic.cbImage + pic.cbOffBits);
    bfh.bfOffBits = pic.cbOffBits;
    BITMAPINFOHEADER bih = {};
    bih.biSize = BMP_INFOHEADER_SIZE;
    bih.biWidth = static_cast<LONG>(nWidth);
    bih.biHeight = static_cast<LONG>(pic.nH);
    bih.biPlanes = 1;
    bih.biBitCount = static_cast<WORD>(pic.nBits);
    bih.biCompression = pic.bMasks ? BI_BITFIELDS : (pic.bRGB ? BI_RGB : dwFcc);
    bih.biSizeImage = static_cast<DWORD>(pic.cbImage);
    memcpy(rgHeaders, &bfh, BMP_FILEHEADER_SIZE);
    memcpy(rgHeaders + BMP_FILEHEADER_SIZE, &bih, BMP_INFOHEADER_SIZE);
    if (pic.bMasks)
    {
        const DWORD rgMasks[3] = { 0xF800, 0x07E0, 0x001F };
        memcpy(rgHeaders + BMP_FILEHEADER_SIZE + BMP_INFOHEADER_SIZE, rgMasks, BMP_MASKS_SIZE);
    }

    HRESULT hr = dsx::WriteAll(hFile, rgHeaders, pic.cbOffBits);
    if (SUCCEEDED(hr))
    {
        // A top-down RGB buffer (negative height) is reversed into the
        // bottom-up file; every other picture keeps its buffer order.
        const bool bBackwards = pic.bRGB && lHeight < 0;
        hr = dsx::WriteLines(hFile, pBuffer, pic.nH, static_cast<DWORD>(pic.cbRow), pic.cbRowSize, bBackwards);
    }
    if (SUCCEEDED(hr) && pic.bPlanar)
    {
        const DWORD cbChromaRow = nWidth / 2;
        hr = dsx::WriteLines(hFile, pBuffer + pic.cbLuma, pic.nChromaLines, cbChromaRow, pic.cbChromaStep, false);
        if (SUCCEEDED(hr))
            hr = dsx::WriteLines(hFile, pBuffer + pic.cbLuma + pic.nChromaLines * pic.cbChromaStep, pic.nChromaLines, cbChromaRow,
                                 pic.cbChromaStep, false);
    }
    CloseHandle(hFile);
    return hr;
}
