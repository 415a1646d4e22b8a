// Media types: the owning wrapper CMType and the MT functions that copy,
// compare, duplicate and validate AM_MEDIA_TYPE records.
//
// Every copy keeps one rule: pbFormat is NULL exactly when cbFormat is 0. A
// source that breaks it is refused with E_UNEXPECTED and the destination is
// left as it was, because the format block is duplicated before anything of
// the destination is touched.
#pragma once

#include "DSVideo.h"

static_assert(sizeof(VIDEOINFOHEADER) == 88, "VIDEOINFOHEADER");
static_assert(sizeof(VIDEOINFOHEADER2) == 112, "VIDEOINFOHEADER2");
static_assert(sizeof(MPEG1VIDEOINFO) == 104, "MPEG1VIDEOINFO");
static_assert(sizeof(MPEG2VIDEOINFO) == 136, "MPEG2VIDEOINFO");
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX");
static_assert(offsetof(VIDEOINFOHEADER, bmiHeader) == 48, "header inside VIDEOINFOHEADER");
static_assert(offsetof(VIDEOINFOHEADER2, bmiHeader) == 72, "header inside VIDEOINFOHEADER2");

// TRUE when p points at a GUID other than GUID_NULL.
inline BOOL IsGuidSet(const GUID* p)
{
    return NULL != p && !IsEqualGUID(*p, GUID_NULL);
}

// TRUE when a media type with a major type was given.
inline BOOL IsGuidSet(const AM_MEDIA_TYPE* pmt)
{
    return NULL != pmt && IsGuidSet(&pmt->majortype);
}

inline void MTInit(AM_MEDIA_TYPE* pmt, const GUID& majortype, const GUID& subtype)
{
    if (!ASSERT(pmt != NULL))
        return;
    ZeroMemory(pmt, sizeof(AM_MEDIA_TYPE));
    pmt->majortype = majortype;
    pmt->subtype = subtype;
    pmt->bFixedSizeSamples = TRUE;
    pmt->lSampleSize = 1;
}

// Frees what the record owns (format block, pUnk reference).
inline void MTFreeContents(AM_MEDIA_TYPE* pmt)
{
    if (NULL != pmt->pbFormat)
        CoTaskMemFree(pmt->pbFormat);
    pmt->pbFormat = NULL;
    pmt->cbFormat = 0;
    if (NULL != pmt->pUnk)
        pmt->pUnk->Release();
    pmt->pUnk = NULL;
}

inline void MTReset(AM_MEDIA_TYPE* pmt, const GUID& majortype, const GUID& subtype)
{
    if (NULL == pmt)
        return;
    MTFreeContents(pmt);
    MTInit(pmt, majortype, subtype);
}

// Frees a free-standing media type: its format block, its pUnk reference and
// the record itself. NULL does nothing.
inline void MTDelete(AM_MEDIA_TYPE* pmt)
{
    if (NULL == pmt)
        return;
    MTFreeContents(pmt);
    CoTaskMemFree(pmt);
}

// A new task-memory block of cb bytes: a copy of pSrc, or zero-filled.
inline BYTE* MTAllocFormat(ULONG cb, const BYTE* pSrc)
{
    if (!ASSERT(cb > 0))
        return NULL;
    BYTE* pb = static_cast<BYTE*>(CoTaskMemAlloc(cb));
    if (!ASSERT_TEXT(pb != NULL, "MTAllocFormat() : CoTaskMemAlloc() == NULL"))
        return NULL;
    if (NULL != pSrc)
        memcpy(pb, pSrc, cb);
    else
        ZeroMemory(pb, cb);
    return pb;
}

// Duplicates the format block of pmt into *ppbFormat (NULL for no block).
inline HRESULT MTCopyFormat(const AM_MEDIA_TYPE* pmt, BYTE** ppbFormat)
{
    if (!ASSERT(pmt != NULL))
        return E_INVALIDARG;
    if (!ASSERT(ppbFormat != NULL))
        return E_POINTER;
    *ppbFormat = NULL;
    if (NULL != pmt->pbFormat)
    {
        if (!ASSERT(pmt->cbFormat != 0))
            return E_UNEXPECTED;
        *ppbFormat = MTAllocFormat(pmt->cbFormat, pmt->pbFormat);
        return NULL != *ppbFormat ? S_OK : E_OUTOFMEMORY;
    }
    if (!ASSERT(pmt->cbFormat == 0))
        return E_UNEXPECTED;
    return S_OK;
}

// Deep copy into a record that holds nothing to free. Copying a record onto
// itself changes nothing.
inline HRESULT MTCopy(AM_MEDIA_TYPE* pDst, const AM_MEDIA_TYPE* pSrc)
{
    if (!ASSERT(pDst != NULL))
        return E_INVALIDARG;
    if (pDst == pSrc)
        return S_OK;
    BYTE* pbFormat = NULL;
    const HRESULT hr = MTCopyFormat(pSrc, &pbFormat);
    if (FAILED(hr))
        return hr;
    *pDst = *pSrc;
    pDst->pbFormat = pbFormat;
    if (NULL != pDst->pUnk)
        pDst->pUnk->AddRef();
    return S_OK;
}

// A new free-standing copy (record and format block in task memory), or NULL.
inline AM_MEDIA_TYPE* MTDup(const AM_MEDIA_TYPE* pmt)
{
    if (NULL == pmt)
        return NULL;
    AM_MEDIA_TYPE* pNew = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!ASSERT_TEXT(pNew != NULL, "MTDup() : CoTaskMemAlloc() == NULL"))
        return NULL;
    if (FAILED(MTCopy(pNew, pmt)))
    {
        CoTaskMemFree(pNew);
        return NULL;
    }
    return pNew;
}

inline HRESULT MTDupTo(const AM_MEDIA_TYPE* pmt, AM_MEDIA_TYPE** ppmt)
{
    if (!ASSERT(ppmt != NULL))
        return E_POINTER;
    *ppmt = MTDup(pmt);
    return NULL != *ppmt ? S_OK : E_FAIL;
}

// Subtype equality that lets FOURCC subtypes differ in the case of letters.
inline bool IsEqualSubtype(const GUID& a, const GUID& b)
{
    static const BYTE s_rgFourccTail[12] = { 0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                             0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71 };
    const BYTE* pa = reinterpret_cast<const BYTE*>(&a);
    const BYTE* pb = reinterpret_cast<const BYTE*>(&b);
    if (0 != memcmp(pa + 4, pb + 4, 12))
        return false;
    if (a.Data1 == b.Data1)
        return true;
    if (0 != memcmp(pa + 4, s_rgFourccTail, 12))
        return false;
    for (int i = 0; i < 4; ++i)
    {
        const BYTE ba = static_cast<BYTE>(a.Data1 >> (8 * i));
        const BYTE bb = static_cast<BYTE>(b.Data1 >> (8 * i));
        if (ba < 32 || ba > 126 || bb < 32 || bb > 126)
            return false;
        const BYTE la = ba | 0x20;
        if (la >= 'a' && la <= 'z')
        {
            if (la != (bb | 0x20))
                return false;
        }
        else if (ba != bb)
            return false;
    }
    return true;
}

// Equality of two media types: major type, subtype (FOURCC case aside),
// format type and format block. Sample size and flags and pUnk take no part.
inline bool MTIsEqual(const AM_MEDIA_TYPE* a, const AM_MEDIA_TYPE* b)
{
    if (NULL == a || NULL == b)
        return false;
    if (a == b)
        return true;
    if (!IsEqualGUID(a->majortype, b->majortype))
        return false;
    if (!IsEqualSubtype(a->subtype, b->subtype))
        return false;
    if (!IsEqualGUID(a->formattype, b->formattype))
        return false;
    if (a->cbFormat != b->cbFormat)
        return false;
    if (0 == a->cbFormat)
        return true;
    // A record with a size but no block equals nothing.
    if (NULL == a->pbFormat || NULL == b->pbFormat)
        return false;
    return 0 == memcmp(a->pbFormat, b->pbFormat, a->cbFormat);
}

inline bool operator==(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b)
{
    return MTIsEqual(&a, &b);
}

inline bool operator!=(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b)
{
    return !MTIsEqual(&a, &b);
}

// Video validation: a video major type, a subtype, and a format block of one
// of the video format types at least as large as its structure. With
// bExtendedOnly only the VIDEOINFOHEADER2 and MPEG2VIDEOINFO forms pass.
inline HRESULT MTCheckVideo(const AM_MEDIA_TYPE* pmt, bool bExtendedOnly)
{
    if (!ASSERT(pmt != NULL))
        return E_POINTER;
    if (!IsEqualGUID(pmt->majortype, MEDIATYPE_Video))
        return VFW_E_INVALIDMEDIATYPE;
    if (IsEqualGUID(pmt->subtype, GUID_NULL))
        return VFW_E_INVALIDSUBTYPE;
    if (0 == pmt->cbFormat || NULL == pmt->pbFormat)
        return VFW_E_INVALIDMEDIATYPE;
    if (IsEqualGUID(pmt->formattype, FORMAT_VideoInfo2))
        return pmt->cbFormat >= sizeof(VIDEOINFOHEADER2) ? S_OK : VFW_E_INVALIDMEDIATYPE;
    if (IsEqualGUID(pmt->formattype, FORMAT_MPEG2Video))
        return pmt->cbFormat >= sizeof(MPEG2VIDEOINFO) ? S_OK : VFW_E_INVALIDMEDIATYPE;
    if (bExtendedOnly)
        return VFW_E_INVALIDMEDIATYPE;
    if (IsEqualGUID(pmt->formattype, FORMAT_VideoInfo))
        return pmt->cbFormat >= sizeof(VIDEOINFOHEADER) ? S_OK : VFW_E_INVALIDMEDIATYPE;
    if (IsEqualGUID(pmt->formattype, FORMAT_MPEGVideo))
        return pmt->cbFormat >= sizeof(MPEG1VIDEOINFO) ? S_OK : VFW_E_INVALIDMEDIATYPE;
    return VFW_E_INVALIDMEDIATYPE;
}

// Row of the picture-format table whose subtype is exactly *pSubtype, or -1.
inline int MTFindPictureFormat(const GUID* pSubtype)
{
    if (NULL == pSubtype)
        return -1;
    for (size_t i = 0; i < CPictureFormats::s_cFormats; ++i)
        if (IsEqualGUID(*CPictureFormats::s_rgFormats[i].pSubtype, *pSubtype))
            return static_cast<int>(i);
    return -1;
}

// S_OK for a valid YUV video type of the picture-format table, S_FALSE for an
// RGB one, VFW_E_INVALIDSUBTYPE for a subtype outside the table.
inline HRESULT MTIsYUVVideo(const AM_MEDIA_TYPE* pmt, bool bExtendedOnly)
{
    const HRESULT hr = MTCheckVideo(pmt, bExtendedOnly);
    if (FAILED(hr))
        return hr;
    const int nFormat = MTFindPictureFormat(&pmt->subtype);
    if (nFormat < 0)
        return VFW_E_INVALIDSUBTYPE;
    return CPictureFormats::s_rgFormats[nFormat].bYUV ? S_OK : S_FALSE;
}

// The BITMAPINFOHEADER inside a video format block, or NULL when there is
// none or the block is too small to hold it.
inline BITMAPINFOHEADER* MTGetBitmapInfoHeader(const AM_MEDIA_TYPE* pmt)
{
    if (NULL == pmt || NULL == pmt->pbFormat)
        return NULL;
    const ULONG cbFormat = pmt->cbFormat;
    if (IsEqualGUID(pmt->formattype, FORMAT_VideoInfo) || IsEqualGUID(pmt->formattype, FORMAT_MPEGVideo))
    {
        if (!ASSERT(cbFormat >= sizeof(VIDEOINFOHEADER)))
            return NULL;
        return &reinterpret_cast<VIDEOINFOHEADER*>(pmt->pbFormat)->bmiHeader;
    }
    if (IsEqualGUID(pmt->formattype, FORMAT_VideoInfo2) || IsEqualGUID(pmt->formattype, FORMAT_MPEG2Video))
    {
        if (!ASSERT(cbFormat >= sizeof(VIDEOINFOHEADER2)))
            return NULL;
        return &reinterpret_cast<VIDEOINFOHEADER2*>(pmt->pbFormat)->bmiHeader;
    }
    return NULL;
}

// The WAVEFORMATEX of an audio format block, or NULL when there is none or
// the block is too small to hold it.
inline WAVEFORMATEX* MTGetWaveFormatEx(const AM_MEDIA_TYPE* pmt)
{
    if (NULL == pmt || NULL == pmt->pbFormat || !IsEqualGUID(pmt->formattype, FORMAT_WaveFormatEx))
        return NULL;
    const ULONG cbFormat = pmt->cbFormat;
    if (!ASSERT(cbFormat >= sizeof(WAVEFORMATEX)))
        return NULL;
    return reinterpret_cast<WAVEFORMATEX*>(pmt->pbFormat);
}

// An AM_MEDIA_TYPE that owns its format block and holds a reference on pUnk.
class CMType : public AM_MEDIA_TYPE
{
public:
    CMType(const GUID& majortype = GUID_NULL, const GUID& subtype = GUID_NULL)
    {
        MTInit(this, majortype, subtype);
    }

    CMType(const CMType& mt)
    {
        MTInit(this, GUID_NULL, GUID_NULL);
        const HRESULT hr = Set(&mt);
        ASSERT_TEXT(SUCCEEDED(hr), "CMType(const CMType& mt) FAILED");
    }

    ~CMType()
    {
        MTFreeContents(this);
    }

    // Assignment is a deep copy, as construction is; a failed copy leaves the
    // object as it was.
    CMType& operator=(const CMType& rhs)
    {
        const HRESULT hr = Set(&rhs);
        ASSERT_TEXT(SUCCEEDED(hr), "CMType::operator=(const CMType& mt) FAILED");
        return *this;
    }

    CMType& operator=(const AM_MEDIA_TYPE* pSrc)
    {
        const HRESULT hr = Set(pSrc);
        ASSERT_TEXT(SUCCEEDED(hr), "CMType::operator=(const AM_MEDIA_TYPE* pmt) FAILED");
        return *this;
    }

    operator AM_MEDIA_TYPE*() { return this; }
    operator const AM_MEDIA_TYPE*() const { return this; }

    // Deep copy into this object, which may already own a type. NULL empties it.
    HRESULT Set(const AM_MEDIA_TYPE* pSrc)
    {
        if (NULL == pSrc)
        {
            Reset();
            return S_OK;
        }
        if (static_cast<const AM_MEDIA_TYPE*>(this) == pSrc)
            return S_OK;
        BYTE* pbNew = NULL;
        const HRESULT hr = MTCopyFormat(pSrc, &pbNew);
        if (FAILED(hr))
            return hr;
        // The new reference is taken before the old one goes, so that a pUnk
        // shared by both types never drops to zero in between.
        if (NULL != pSrc->pUnk)
            pSrc->pUnk->AddRef();
        MTFreeContents(this);
        *static_cast<AM_MEDIA_TYPE*>(this) = *pSrc;
        pbFormat = pbNew;
        return S_OK;
    }

    void Reset() { MTReset(this, GUID_NULL, GUID_NULL); }

    HRESULT CopyTo(AM_MEDIA_TYPE* pDst) const { return MTCopy(pDst, this); }

    bool IsValid() const { return !IsEqualGUID(majortype, GUID_NULL); }

    BOOL IsVideo() const { return IsEqualGUID(majortype, MEDIATYPE_Video); }
};

// A pin's list of media types with exactly one entry: its connection type.
class CMTSingle
{
public:
    // The held type as a new free-standing copy for index 0; S_FALSE for any
    // other index or while no type is set.
    HRESULT GetMediaType(UINT index, AM_MEDIA_TYPE** ppmt) const
    {
        if (!m_mt.IsValid() || 0 != index)
            return S_FALSE;
        return MTDupTo(&m_mt, ppmt);
    }

    CMType m_mt;
};

class CMTHelp
{
public:
    // FOURCC (the subtype's first 32 bits), width, height (sign kept) and
    // image size of a video media type. Every out pointer may be NULL.
    static HRESULT MTParseVideo(const AM_MEDIA_TYPE* pmt, DWORD* pdwFcc, LONG* pnWidth, LONG* pnHeight,
                                DWORD* pcbImage)
    {
        if (pdwFcc)
            *pdwFcc = 0;
        if (pnWidth)
            *pnWidth = 0;
        if (pnHeight)
            *pnHeight = 0;
        if (pcbImage)
            *pcbImage = 0;
        const HRESULT hr = MTCheckVideo(pmt, FALSE);
        if (FAILED(hr))
            return hr;
        const bool bVideoInfo =
            IsEqualGUID(pmt->formattype, FORMAT_VideoInfo) || IsEqualGUID(pmt->formattype, FORMAT_MPEGVideo);
        const BITMAPINFOHEADER* pbmi = reinterpret_cast<const BITMAPINFOHEADER*>(
            pmt->pbFormat + (bVideoInfo ? offsetof(VIDEOINFOHEADER, bmiHeader) : offsetof(VIDEOINFOHEADER2, bmiHeader)));
        if (pdwFcc)
            *pdwFcc = pmt->subtype.Data1;
        if (pnWidth)
            *pnWidth = pbmi->biWidth;
        if (pnHeight)
            *pnHeight = pbmi->biHeight;
        if (pcbImage)
            *pcbImage = pbmi->biSizeImage;
        return S_OK;
    }
};
