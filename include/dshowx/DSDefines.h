// Identifiers the platform headers lack, and the FOURCC classifiers.
//
// The classifiers take a FOURCC, or the first 32 bits (Data1) of an RGB
// media-subtype GUID, which is how the framework names uncompressed RGB
// layouts that have no FOURCC of their own.
#pragma once

#include "DSTrace.h"

#include <mmreg.h>
#include <amvideo.h>
#include <dvdmedia.h>
#include <uuids.h>

// The media subtype of a FOURCC: {FOURCC-0000-0010-8000-00AA00389B71}.
#define DSX_FOURCC_SUBTYPE(a, b, c, d)                                                          \
    {                                                                                        \
        static_cast<unsigned long>(MAKEFOURCC(a, b, c, d)), 0x0000, 0x0010,                  \
        {                                                                                    \
            0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71                                   \
        }                                                                                    \
    }

namespace dsx
{
// FOURCC subtypes that the platform headers do not declare (or declare only
// in codec headers that nothing else here needs).
inline constexpr GUID MEDIASUBTYPE_I420 = DSX_FOURCC_SUBTYPE('I', '4', '2', '0');
inline constexpr GUID MEDIASUBTYPE_IYU2 = DSX_FOURCC_SUBTYPE('I', 'Y', 'U', '2');
inline constexpr GUID MEDIASUBTYPE_HDYC = DSX_FOURCC_SUBTYPE('H', 'D', 'Y', 'C');
inline constexpr GUID MEDIASUBTYPE_Y422 = DSX_FOURCC_SUBTYPE('Y', '4', '2', '2');
inline constexpr GUID MEDIASUBTYPE_Y444 = DSX_FOURCC_SUBTYPE('Y', '4', '4', '4');
inline constexpr GUID MEDIASUBTYPE_AVC1 = DSX_FOURCC_SUBTYPE('A', 'V', 'C', '1');
inline constexpr GUID MEDIASUBTYPE_H264 = DSX_FOURCC_SUBTYPE('H', '2', '6', '4');
inline constexpr GUID MEDIASUBTYPE_h264 = DSX_FOURCC_SUBTYPE('h', '2', '6', '4');

// Data1 of the RGB media subtypes.
const DWORD FCC_RGB8 = 0xE436EB7A;
const DWORD FCC_RGB565 = 0xE436EB7B;
const DWORD FCC_RGB555 = 0xE436EB7C;
const DWORD FCC_RGB24 = 0xE436EB7D;
const DWORD FCC_RGB32 = 0xE436EB7E;
const DWORD FCC_ARGB32 = 0x773C9AC0;
} // namespace dsx

// What the classifiers know of one code: bits per pixel, and whether it is
// planar and whether it is RGB (-1 where that is not known).
struct FourccClass
{
    DWORD dwFcc;
    UINT nBits;
    signed char nPlanar;
    signed char nRGB;
};

inline const FourccClass* FindFourccClass(DWORD dwFcc)
{
    static const FourccClass s_rgClasses[] = {
        { MAKEFOURCC('r', '2', '1', '0'), 32, 0, 1 },
        { MAKEFOURCC('v', '2', '1', '0'), 20, 0, 0 },
        { MAKEFOURCC('I', '4', '2', '0'), 12, 1, 0 },
        { MAKEFOURCC('Y', 'V', '1', '2'), 12, 1, 0 },
        // An 8-bit luma plane and one 2x2-subsampled UV plane: 12 bits.
        { MAKEFOURCC('N', 'V', '1', '2'), 12, 1, 0 },
        { MAKEFOURCC('Y', '4', '2', '2'), 16, 1, 0 },
        { MAKEFOURCC('Y', '4', '4', '4'), 24, 1, 0 },
        { MAKEFOURCC('Y', 'U', 'Y', '2'), 16, 0, 0 },
        { MAKEFOURCC('U', 'Y', 'V', 'Y'), 16, 0, 0 },
        { MAKEFOURCC('Y', 'V', 'Y', 'U'), 16, 0, 0 },
        { MAKEFOURCC('H', 'D', 'Y', 'C'), 16, 0, 0 },
        { MAKEFOURCC('I', 'Y', 'U', '2'), 24, 0, 0 },
        { MAKEFOURCC('Y', 'V', 'U', '9'), 9, -1, -1 },
        { dsx::FCC_RGB8, 8, 0, 1 },
        { dsx::FCC_RGB565, 16, 0, 1 },
        { dsx::FCC_RGB555, 16, 0, 1 },
        { dsx::FCC_RGB24, 24, 0, 1 },
        { dsx::FCC_RGB32, 32, 0, 1 },
        { dsx::FCC_ARGB32, 32, 0, 1 },
    };
    for (const FourccClass& c : s_rgClasses)
        if (c.dwFcc == dwFcc)
            return &c;
    return NULL;
}

// Bits per pixel of a FOURCC or RGB code; 0 for a code it does not know.
inline UINT Fcc2Bits(DWORD dwFcc)
{
    const FourccClass* pClass = FindFourccClass(dwFcc);
    if (!ASSERT_TEXT(pClass != NULL, "Fcc2Bits(): unknown FOURCC code"))
        return 0;
    return pClass->nBits;
}

// True for layouts that keep luma and chroma in separate planes.
inline bool IsPlanar(DWORD dwFcc)
{
    const FourccClass* pClass = FindFourccClass(dwFcc);
    if (!ASSERT_TEXT(pClass != NULL && pClass->nPlanar >= 0, "IsPlanar(): unknown FOURCC code"))
        return false;
    return pClass->nPlanar > 0;
}

// True for RGB layouts.
inline bool IsRGB(DWORD dwFcc)
{
    const FourccClass* pClass = FindFourccClass(dwFcc);
    if (!ASSERT_TEXT(pClass != NULL && pClass->nRGB >= 0, "IsRGB(): unknown FOURCC code"))
        return false;
    return pClass->nRGB > 0;
}
