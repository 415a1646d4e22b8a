// Media types: copying, assignment, duplication, comparison and validation,
// with a count of the task-memory blocks every operation takes and gives back.
#include <DSTypes.h>

#include "TestLog.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

// An IUnknown that counts its references.
class CCountedUnknown : public IUnknown
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown))
        {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_cRef; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        --m_cRef;
        if (m_cRef < m_cMin)
            m_cMin = m_cRef;
        return m_cRef;
    }
    LONG m_cRef = 1;
    LONG m_cMin = 1; // the lowest count ever reached
};

// Counts the task-memory blocks allocated and freed while it is registered.
class CCountingMallocSpy : public IMallocSpy
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMallocSpy))
        {
            *ppv = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T cbRequest) override { return cbRequest; }
    void* STDMETHODCALLTYPE PostAlloc(void* pActual) override
    {
        if (pActual)
        {
            ++m_cAllocs;
            m_live.insert(pActual);
        }
        return pActual;
    }
    void* STDMETHODCALLTYPE PreFree(void* pRequest, BOOL) override
    {
        if (pRequest && m_live.erase(pRequest))
            ++m_cFrees;
        return pRequest;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* pRequest, SIZE_T cbRequest, void** ppNewRequest, BOOL) override
    {
        m_live.erase(pRequest);
        *ppNewRequest = pRequest;
        return cbRequest;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* pActual, BOOL) override
    {
        if (pActual)
            m_live.insert(pActual);
        return pActual;
    }
    void* STDMETHODCALLTYPE PreGetSize(void* pRequest, BOOL) override { return pRequest; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T cbActual, BOOL) override { return cbActual; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* pRequest, BOOL) override { return pRequest; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int fActual) override { return fActual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

    size_t m_cAllocs = 0;
    size_t m_cFrees = 0;
    std::set<void*> m_live;
};

// A video type with a VIDEOINFOHEADER of the given picture.
CMType MakeVideo(const GUID& subtype, LONG nWidth, LONG nHeight, WORD nBits, DWORD dwCompression)
{
    CMType mt(MEDIATYPE_Video, subtype);
    VIDEOINFOHEADER vih = {};
    vih.AvgTimePerFrame = 400000;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = nWidth;
    vih.bmiHeader.biHeight = nHeight;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = nBits;
    vih.bmiHeader.biCompression = dwCompression;
    vih.bmiHeader.biSizeImage = static_cast<DWORD>(nWidth * (nHeight < 0 ? -nHeight : nHeight) * nBits / 8);
    AM_MEDIA_TYPE src = mt;
    src.formattype = FORMAT_VideoInfo;
    src.cbFormat = sizeof(vih);
    src.pbFormat = reinterpret_cast<BYTE*>(&vih);
    EXPECT_EQ(S_OK, mt.Set(&src));
    return mt;
}

// A record that no copy may accept, and the result a copy gives for it.
struct BadType
{
    const char* pszName;
    ULONG cbFormat;
    bool bBlock; // pbFormat points at a real (small) block
    HRESULT hrCopy;
};

const BadType s_rgBadTypes[] = {
    { "block without size", 0, true, E_UNEXPECTED },
    { "size without block", 5, false, E_UNEXPECTED },
};

AM_MEDIA_TYPE MakeBad(const BadType& bad, BYTE* pBlock)
{
    AM_MEDIA_TYPE mt = {};
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_RGB32;
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = bad.cbFormat;
    mt.pbFormat = bad.bBlock ? pBlock : NULL;
    return mt;
}

bool IsEmptyType(const AM_MEDIA_TYPE& mt)
{
    return IsEqualGUID(mt.majortype, GUID_NULL) && IsEqualGUID(mt.subtype, GUID_NULL) && mt.bFixedSizeSamples &&
           !mt.bTemporalCompression && mt.lSampleSize == 1 && IsEqualGUID(mt.formattype, GUID_NULL) &&
           mt.pUnk == NULL && mt.cbFormat == 0 && mt.pbFormat == NULL;
}

TEST(MType, ANewTypeHoldsItsGuidsAndDefaults)
{
    CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    EXPECT_TRUE(IsEqualGUID(mt.majortype, MEDIATYPE_Audio));
    EXPECT_TRUE(IsEqualGUID(mt.subtype, MEDIASUBTYPE_PCM));
    EXPECT_TRUE(mt.bFixedSizeSamples);
    EXPECT_EQ(1u, mt.lSampleSize);
    EXPECT_TRUE(mt.IsValid());
    EXPECT_FALSE(mt.IsVideo());
    EXPECT_EQ(static_cast<AM_MEDIA_TYPE*>(mt), static_cast<AM_MEDIA_TYPE*>(&mt));

    CMType empty;
    EXPECT_TRUE(IsEmptyType(empty));
    EXPECT_FALSE(empty.IsValid());

    EXPECT_FALSE(IsGuidSet(static_cast<const GUID*>(NULL)));
    EXPECT_FALSE(IsGuidSet(&GUID_NULL));
    EXPECT_TRUE(IsGuidSet(&MEDIATYPE_Video));
    EXPECT_FALSE(IsGuidSet(static_cast<const AM_MEDIA_TYPE*>(&empty)));
    EXPECT_TRUE(IsGuidSet(static_cast<const AM_MEDIA_TYPE*>(&mt)));
}

TEST(MType, SetCopiesDeeplyAndHoldsOneReference)
{
    CCountedUnknown unk;
    CMType src = MakeVideo(MEDIASUBTYPE_RGB24, 4, 2, 24, BI_RGB);
    src.pUnk = &unk;
    unk.AddRef();
    src.lSampleSize = 24;
    {
        CMType dst(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
        ASSERT_EQ(S_OK, dst.Set(&src));
        EXPECT_NE(src.pbFormat, dst.pbFormat);
        EXPECT_EQ(0, memcmp(src.pbFormat, dst.pbFormat, src.cbFormat));
        EXPECT_EQ(24u, dst.lSampleSize);
        EXPECT_EQ(3, unk.m_cRef);
        EXPECT_TRUE(dst == src);
        EXPECT_TRUE(dst.IsVideo());

        // Setting the object to itself keeps its block and its reference.
        BYTE* pbBefore = dst.pbFormat;
        EXPECT_EQ(S_OK, dst.Set(&dst));
        EXPECT_EQ(pbBefore, dst.pbFormat);
        EXPECT_EQ(3, unk.m_cRef);

        // Setting NULL gives the empty type and drops the reference.
        EXPECT_EQ(S_OK, dst.Set(NULL));
        EXPECT_TRUE(IsEmptyType(dst));
        EXPECT_EQ(2, unk.m_cRef);

        ASSERT_EQ(S_OK, dst.Set(&src));
        EXPECT_EQ(3, unk.m_cRef);
    }
    EXPECT_EQ(2, unk.m_cRef);
    src.Reset();
    EXPECT_EQ(1, unk.m_cRef);
}

TEST(MType, SetKeepsASharedReferenceAlive)
{
    // Both types hold the same pUnk; replacing one by the other must not let
    // the count touch zero in between.
    CCountedUnknown unk;
    CMType a(MEDIATYPE_Video, MEDIASUBTYPE_RGB32);
    a.pUnk = &unk; // a owns the one reference
    CMType b(MEDIATYPE_Video, MEDIASUBTYPE_RGB24);
    AM_MEDIA_TYPE view = a;
    view.pbFormat = NULL;
    ASSERT_EQ(S_OK, b.Set(&view));
    EXPECT_EQ(2, unk.m_cRef);
    a.pUnk = NULL; // hand a's reference to nobody: b now holds the last but one
    unk.Release();
    ASSERT_EQ(S_OK, b.Set(&view));
    EXPECT_EQ(1, unk.m_cRef);
    EXPECT_EQ(1, unk.m_cMin) << "the count fell to zero while b still used the object";
    b.Reset();
    EXPECT_EQ(0, unk.m_cRef);
}

TEST(MType, CopyConstructionAndAssignmentAreDeep)
{
    CCountedUnknown unk;
    CMType src = MakeVideo(MEDIASUBTYPE_YUY2, 4, 2, 16, MAKEFOURCC('Y', 'U', 'Y', '2'));
    src.pUnk = &unk;
    unk.AddRef();
    {
        CMType copy(src);
        EXPECT_NE(src.pbFormat, copy.pbFormat);
        EXPECT_TRUE(copy == src);
        EXPECT_EQ(3, unk.m_cRef);

        CMType assigned(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
        assigned = src;
        EXPECT_NE(src.pbFormat, assigned.pbFormat);
        EXPECT_TRUE(assigned == src);
        EXPECT_EQ(4, unk.m_cRef);

        // Save, assign and restore, as negotiation does with a pin's type.
        CMType saved(assigned);
        assigned = CMType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
        EXPECT_EQ(4, unk.m_cRef);
        assigned = saved;
        EXPECT_TRUE(assigned == src);
        EXPECT_EQ(5, unk.m_cRef);

        assigned = static_cast<const AM_MEDIA_TYPE*>(NULL);
        EXPECT_TRUE(IsEmptyType(assigned));
        EXPECT_EQ(4, unk.m_cRef);
    }
    EXPECT_EQ(2, unk.m_cRef);
    src.Reset();
    EXPECT_EQ(1, unk.m_cRef);
}

TEST(MType, BadTypesAreRefusedAndLeaveTheDestinationAlone)
{
    CRecordingLogScope log;
    BYTE rgBlock[16] = { 1, 2, 3 };
    for (const BadType& bad : s_rgBadTypes)
    {
        SCOPED_TRACE(bad.pszName);
        const AM_MEDIA_TYPE src = MakeBad(bad, rgBlock);

        BYTE* pb = reinterpret_cast<BYTE*>(1);
        EXPECT_EQ(bad.hrCopy, MTCopyFormat(&src, &pb));
        EXPECT_EQ(nullptr, pb);

        AM_MEDIA_TYPE raw;
        memset(&raw, 0xAB, sizeof(raw));
        EXPECT_EQ(bad.hrCopy, MTCopy(&raw, &src));
        EXPECT_EQ(0xABABABABu, raw.cbFormat);

        CMType dst = MakeVideo(MEDIASUBTYPE_RGB24, 2, 2, 24, BI_RGB);
        const CMType before(dst);
        BYTE* pbBefore = dst.pbFormat;
        EXPECT_EQ(bad.hrCopy, dst.Set(&src));
        EXPECT_EQ(pbBefore, dst.pbFormat);
        EXPECT_TRUE(dst == before);

        // Comparing two such records reads neither block (a size of 0 means
        // there is no block to compare). Both point at one block, so a
        // comparison that trusted the size would run off its end.
        const AM_MEDIA_TYPE other = MakeBad(bad, rgBlock);
        EXPECT_EQ(0 == bad.cbFormat, MTIsEqual(&src, &other));
        EXPECT_TRUE(MTIsEqual(&src, &src));

        EXPECT_EQ(nullptr, MTDup(&src));
        AM_MEDIA_TYPE* pmt = reinterpret_cast<AM_MEDIA_TYPE*>(1);
        EXPECT_EQ(E_FAIL, MTDupTo(&src, &pmt));
        EXPECT_EQ(nullptr, pmt);
    }
    EXPECT_TRUE(log.m_log.HasAssert("pmt->cbFormat != 0"));
    EXPECT_TRUE(log.m_log.HasAssert("pmt->cbFormat == 0"));
}

TEST(MType, NullRecordsAndPointers)
{
    CRecordingLogScope log;
    BYTE* pb = NULL;
    EXPECT_EQ(E_INVALIDARG, MTCopyFormat(NULL, &pb));
    CMType mt(MEDIATYPE_Video, MEDIASUBTYPE_RGB32);
    EXPECT_EQ(E_POINTER, MTCopyFormat(&mt, NULL));
    EXPECT_EQ(E_INVALIDARG, MTCopy(NULL, &mt));
    AM_MEDIA_TYPE raw = {};
    EXPECT_EQ(E_INVALIDARG, MTCopy(&raw, NULL));
    EXPECT_EQ(E_INVALIDARG, mt.CopyTo(NULL));
    EXPECT_EQ(nullptr, MTDup(NULL));
    EXPECT_EQ(E_POINTER, MTDupTo(&mt, NULL));
    AM_MEDIA_TYPE* pmt = reinterpret_cast<AM_MEDIA_TYPE*>(1);
    EXPECT_EQ(E_FAIL, MTDupTo(NULL, &pmt));
    EXPECT_EQ(nullptr, pmt);
    MTDelete(NULL);
    MTReset(NULL, GUID_NULL, GUID_NULL);
    EXPECT_EQ(nullptr, MTAllocFormat(0, NULL));
    EXPECT_FALSE(MTIsEqual(NULL, &mt));
    EXPECT_FALSE(MTIsEqual(&mt, NULL));
    EXPECT_EQ(E_POINTER, MTCheckVideo(NULL, false));
    EXPECT_EQ(nullptr, MTGetBitmapInfoHeader(NULL));
    EXPECT_EQ(nullptr, MTGetWaveFormatEx(NULL));
    EXPECT_TRUE(log.m_log.HasAssert("pmt != NULL"));
    EXPECT_TRUE(log.m_log.HasAssert("ppbFormat != NULL"));
    EXPECT_TRUE(log.m_log.HasAssert("pDst != NULL"));
    EXPECT_TRUE(log.m_log.HasAssert("ppmt != NULL"));
    EXPECT_TRUE(log.m_log.HasAssert("cb > 0"));
}

TEST(MType, CopyOntoItselfChangesNothing)
{
    CCountedUnknown unk;
    CMType mt = MakeVideo(MEDIASUBTYPE_RGB32, 2, 2, 32, BI_RGB);
    mt.pUnk = &unk;
    unk.AddRef();
    BYTE* pbBefore = mt.pbFormat;
    EXPECT_EQ(S_OK, MTCopy(&mt, &mt));
    EXPECT_EQ(pbBefore, mt.pbFormat);
    EXPECT_EQ(2, unk.m_cRef);
}

TEST(MType, DupAndDeleteAcrossAnInterface)
{
    CCountedUnknown unk;
    CMType src = MakeVideo(MEDIASUBTYPE_UYVY, 8, 4, 16, MAKEFOURCC('U', 'Y', 'V', 'Y'));
    src.pUnk = &unk;
    unk.AddRef();
    AM_MEDIA_TYPE* pmt = NULL;
    ASSERT_EQ(S_OK, MTDupTo(&src, &pmt));
    ASSERT_NE(nullptr, pmt);
    EXPECT_NE(src.pbFormat, pmt->pbFormat);
    EXPECT_TRUE(MTIsEqual(pmt, &src));
    EXPECT_EQ(3, unk.m_cRef);
    MTDelete(pmt);
    EXPECT_EQ(2, unk.m_cRef);

    CMType noFormat(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    pmt = MTDup(&noFormat);
    ASSERT_NE(nullptr, pmt);
    EXPECT_EQ(nullptr, pmt->pbFormat);
    EXPECT_EQ(0u, pmt->cbFormat);
    MTDelete(pmt);
}

TEST(MType, ASingleTypeListOffersItsOneTypeAtIndexZero)
{
    CMTSingle single;
    AM_MEDIA_TYPE* pmt = reinterpret_cast<AM_MEDIA_TYPE*>(1);
    EXPECT_EQ(S_FALSE, single.GetMediaType(0, &pmt)) << "no type set";
    EXPECT_EQ(reinterpret_cast<AM_MEDIA_TYPE*>(1), pmt);

    single.m_mt = MakeVideo(MEDIASUBTYPE_RGB565, 2, 2, 16, BI_RGB);
    EXPECT_EQ(S_FALSE, single.GetMediaType(1, &pmt));
    EXPECT_EQ(reinterpret_cast<AM_MEDIA_TYPE*>(1), pmt);
    ASSERT_EQ(S_OK, single.GetMediaType(0, &pmt));
    EXPECT_TRUE(MTIsEqual(pmt, &single.m_mt));
    EXPECT_NE(single.m_mt.pbFormat, pmt->pbFormat);
    MTDelete(pmt);
    EXPECT_EQ(E_POINTER, single.GetMediaType(0, NULL));
}

TEST(MTEqual, IgnoresSampleFieldsAndComparesTheBlock)
{
    CCountedUnknown unk;
    CMType a = MakeVideo(MEDIASUBTYPE_RGB24, 4, 2, 24, BI_RGB);
    CMType b(a);
    b.bFixedSizeSamples = FALSE;
    b.bTemporalCompression = TRUE;
    b.lSampleSize = 12345;
    b.pUnk = &unk;
    unk.AddRef();
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a != b);
    EXPECT_TRUE(MTIsEqual(&a, &a));

    reinterpret_cast<VIDEOINFOHEADER*>(b.pbFormat)->bmiHeader.biHeight = -2;
    EXPECT_FALSE(a == b) << "format blocks differ by one field";
    EXPECT_TRUE(a != b);

    CMType c(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    CMType d(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    d.lSampleSize = 4;
    EXPECT_TRUE(c == d) << "no format block on either side";
    d.formattype = FORMAT_WaveFormatEx;
    EXPECT_FALSE(c == d);
    CMType e(MEDIATYPE_Video, MEDIASUBTYPE_PCM);
    EXPECT_FALSE(c == e);
    CMType f(MEDIATYPE_Audio, MEDIASUBTYPE_IEEE_FLOAT);
    EXPECT_FALSE(c == f);
}

// A format block has no size limit: two records whose large blocks hold the
// same bytes are equal, and every copy of such a record succeeds and holds
// the same bytes.
TEST(MTEqual, LargeFormatBlocksAreComparedAndCopiedWhole)
{
    CRecordingLogScope log;
    const ULONG cb = 16 * 1024 * 1024 + 4096;
    std::vector<BYTE> blockA(cb);
    for (ULONG i = 0; i < cb; ++i)
        blockA[i] = static_cast<BYTE>(i * 7 + (i >> 12));
    std::vector<BYTE> blockB(blockA);
    AM_MEDIA_TYPE a = {};
    a.majortype = MEDIATYPE_Video;
    a.subtype = MEDIASUBTYPE_RGB32;
    a.formattype = FORMAT_VideoInfo;
    a.cbFormat = cb;
    a.pbFormat = blockA.data();
    AM_MEDIA_TYPE b = a;
    b.pbFormat = blockB.data();

    EXPECT_TRUE(MTIsEqual(&a, &b));
    blockB[cb - 1] ^= 1;
    EXPECT_FALSE(MTIsEqual(&a, &b)) << "the last byte takes part";
    blockB[cb - 1] ^= 1;

    CMType mt;
    ASSERT_EQ(S_OK, mt.Set(&a));
    ASSERT_EQ(cb, mt.cbFormat);
    EXPECT_NE(blockA.data(), mt.pbFormat);
    EXPECT_TRUE(MTIsEqual(&mt, &b));

    AM_MEDIA_TYPE* pDup = MTDup(&a);
    ASSERT_NE(nullptr, pDup);
    EXPECT_EQ(cb, pDup->cbFormat);
    EXPECT_EQ(0, memcmp(pDup->pbFormat, blockA.data(), cb));
    MTDelete(pDup);
    EXPECT_EQ(0u, log.m_log.CountAsserts());
}

GUID Fourcc(DWORD dw)
{
    GUID g = MEDIASUBTYPE_YUY2;
    g.Data1 = dw;
    return g;
}

TEST(MTEqual, SubtypeComparisonToleratesFourccCase)
{
    const GUID upper = Fourcc(MAKEFOURCC('Y', 'U', 'Y', '2'));
    const GUID lower = Fourcc(MAKEFOURCC('y', 'u', 'y', '2'));
    EXPECT_TRUE(IsEqualSubtype(upper, lower));
    EXPECT_TRUE(IsEqualSubtype(lower, upper));
    EXPECT_TRUE(IsEqualSubtype(upper, upper));
    EXPECT_FALSE(IsEqualSubtype(upper, Fourcc(MAKEFOURCC('Y', 'U', 'Y', 'V'))));
    // '2' and '2' ^ 0x20 ('\x12') are not letters: the digit must match exactly.
    EXPECT_FALSE(IsEqualSubtype(Fourcc(MAKEFOURCC('Y', 'U', 'Y', '2')), Fourcc(MAKEFOURCC('Y', 'U', 'Y', '\x12'))));
    // '@' and '`' differ only in bit 0x20 but are not letters.
    EXPECT_FALSE(IsEqualSubtype(Fourcc(MAKEFOURCC('@', 'U', 'Y', '2')), Fourcc(MAKEFOURCC('`', 'U', 'Y', '2'))));

    // The same Data1 values with another tail are not FOURCC subtypes.
    GUID otherUpper = upper;
    GUID otherLower = lower;
    otherUpper.Data4[7] = otherLower.Data4[7] = 0x72;
    EXPECT_FALSE(IsEqualSubtype(otherUpper, otherLower));
    EXPECT_FALSE(IsEqualSubtype(upper, otherUpper));

    // A byte outside 32..126 never matches without case, even with itself
    // changed only in bit 0x20.
    EXPECT_FALSE(IsEqualSubtype(Fourcc(0x41414101), Fourcc(0x41414121)));
    EXPECT_FALSE(IsEqualSubtype(Fourcc(0x7F595559), Fourcc(0x5F595559)));

    CMType a(MEDIATYPE_Video, upper);
    CMType b(MEDIATYPE_Video, lower);
    EXPECT_TRUE(a == b);
}

// A video type with a format block of cb bytes of the given format type.
struct VideoCase
{
    const char* pszName;
    GUID formattype;
    ULONG cbFormat;
    bool bExtendedOnly;
    HRESULT hr;
};

TEST(MTCheckVideo, FormatTypesAndMinimumSizes)
{
    const VideoCase s_rgCases[] = {
        { "VideoInfo 87", FORMAT_VideoInfo, 87, false, VFW_E_INVALIDMEDIATYPE },
        { "VideoInfo 88", FORMAT_VideoInfo, 88, false, S_OK },
        { "VideoInfo2 111", FORMAT_VideoInfo2, 111, false, VFW_E_INVALIDMEDIATYPE },
        { "VideoInfo2 112", FORMAT_VideoInfo2, 112, false, S_OK },
        { "MPEGVideo 103", FORMAT_MPEGVideo, 103, false, VFW_E_INVALIDMEDIATYPE },
        { "MPEGVideo 104", FORMAT_MPEGVideo, 104, false, S_OK },
        { "MPEG2Video 135", FORMAT_MPEG2Video, 135, false, VFW_E_INVALIDMEDIATYPE },
        { "MPEG2Video 136", FORMAT_MPEG2Video, 136, false, S_OK },
        { "WaveFormatEx", FORMAT_WaveFormatEx, 200, false, VFW_E_INVALIDMEDIATYPE },
        { "no format type", GUID_NULL, 200, false, VFW_E_INVALIDMEDIATYPE },
        { "VideoInfo extended only", FORMAT_VideoInfo, 88, true, VFW_E_INVALIDMEDIATYPE },
        { "MPEGVideo extended only", FORMAT_MPEGVideo, 104, true, VFW_E_INVALIDMEDIATYPE },
        { "VideoInfo2 extended only", FORMAT_VideoInfo2, 112, true, S_OK },
        { "MPEG2Video extended only", FORMAT_MPEG2Video, 136, true, S_OK },
        { "MPEG2Video 135 extended only", FORMAT_MPEG2Video, 135, true, VFW_E_INVALIDMEDIATYPE },
    };
    std::vector<BYTE> block(256);
    for (const VideoCase& c : s_rgCases)
    {
        SCOPED_TRACE(c.pszName);
        AM_MEDIA_TYPE mt = {};
        mt.majortype = MEDIATYPE_Video;
        mt.subtype = MEDIASUBTYPE_RGB32;
        mt.formattype = c.formattype;
        mt.cbFormat = c.cbFormat;
        mt.pbFormat = block.data();
        EXPECT_EQ(c.hr, MTCheckVideo(&mt, c.bExtendedOnly));
    }
}

TEST(MTCheckVideo, ChecksRunInOrder)
{
    std::vector<BYTE> block(256);
    AM_MEDIA_TYPE mt = {};
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = GUID_NULL;
    mt.formattype = FORMAT_VideoInfo;
    // Not video comes before everything else.
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, MTCheckVideo(&mt, false));
    // A missing subtype comes before the missing block.
    mt.majortype = MEDIATYPE_Video;
    EXPECT_EQ(VFW_E_INVALIDSUBTYPE, MTCheckVideo(&mt, false));
    // ... and is refused even with a fine format.
    mt.cbFormat = 88;
    mt.pbFormat = block.data();
    EXPECT_EQ(VFW_E_INVALIDSUBTYPE, MTCheckVideo(&mt, false));
    // Then the block.
    mt.subtype = MEDIASUBTYPE_RGB32;
    mt.pbFormat = NULL;
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, MTCheckVideo(&mt, false));
    mt.pbFormat = block.data();
    mt.cbFormat = 0;
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, MTCheckVideo(&mt, false));
    mt.cbFormat = 88;
    EXPECT_EQ(S_OK, MTCheckVideo(&mt, false));
}

TEST(MTIsYUVVideo, DecidesByThePictureFormat)
{
    EXPECT_EQ(S_FALSE, MTIsYUVVideo(MakeVideo(MEDIASUBTYPE_RGB32, 2, 2, 32, BI_RGB), false));
    EXPECT_EQ(S_OK, MTIsYUVVideo(MakeVideo(MEDIASUBTYPE_YUY2, 2, 2, 16, MAKEFOURCC('Y', 'U', 'Y', '2')), false));
    EXPECT_EQ(S_OK, MTIsYUVVideo(MakeVideo(dsx::MEDIASUBTYPE_HDYC, 2, 2, 16, MAKEFOURCC('H', 'D', 'Y', 'C')), false));
    EXPECT_EQ(VFW_E_INVALIDSUBTYPE, MTIsYUVVideo(MakeVideo(MEDIASUBTYPE_NV12, 2, 2, 12, MAKEFOURCC('N', 'V', '1', '2')), false));
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, MTIsYUVVideo(CMType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM), false));
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE,
              MTIsYUVVideo(MakeVideo(MEDIASUBTYPE_YUY2, 2, 2, 16, MAKEFOURCC('Y', 'U', 'Y', '2')), true));

    EXPECT_EQ(6, MTFindPictureFormat(&MEDIASUBTYPE_RGB32));
    EXPECT_EQ(4, MTFindPictureFormat(&dsx::MEDIASUBTYPE_I420));
    EXPECT_EQ(-1, MTFindPictureFormat(&MEDIASUBTYPE_NV12));
    EXPECT_EQ(-1, MTFindPictureFormat(NULL));
    // The lookup is exact: a lower-case FOURCC is another subtype here.
    const GUID yuy2Lower = Fourcc(MAKEFOURCC('y', 'u', 'y', '2'));
    EXPECT_EQ(-1, MTFindPictureFormat(&yuy2Lower));
}

TEST(MTFormat, HeaderAccessChecksTheBlockSize)
{
    CRecordingLogScope log;
    std::vector<BYTE> block(200);
    AM_MEDIA_TYPE mt = {};
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_RGB32;
    mt.pbFormat = block.data();

    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = 88;
    EXPECT_EQ(block.data() + 48, reinterpret_cast<BYTE*>(MTGetBitmapInfoHeader(&mt)));
    mt.formattype = FORMAT_MPEGVideo;
    EXPECT_EQ(block.data() + 48, reinterpret_cast<BYTE*>(MTGetBitmapInfoHeader(&mt)));
    mt.cbFormat = 87;
    EXPECT_EQ(nullptr, MTGetBitmapInfoHeader(&mt));
    EXPECT_TRUE(log.m_log.HasAssert("cbFormat >= sizeof(VIDEOINFOHEADER)"));

    mt.formattype = FORMAT_VideoInfo2;
    mt.cbFormat = 112;
    EXPECT_EQ(block.data() + 72, reinterpret_cast<BYTE*>(MTGetBitmapInfoHeader(&mt)));
    mt.formattype = FORMAT_MPEG2Video;
    EXPECT_EQ(block.data() + 72, reinterpret_cast<BYTE*>(MTGetBitmapInfoHeader(&mt)));
    mt.cbFormat = 111;
    EXPECT_EQ(nullptr, MTGetBitmapInfoHeader(&mt));
    EXPECT_TRUE(log.m_log.HasAssert("cbFormat >= sizeof(VIDEOINFOHEADER2)"));

    mt.formattype = FORMAT_WaveFormatEx;
    mt.cbFormat = 18;
    EXPECT_EQ(nullptr, MTGetBitmapInfoHeader(&mt));
    EXPECT_EQ(reinterpret_cast<WAVEFORMATEX*>(block.data()), MTGetWaveFormatEx(&mt));
    mt.cbFormat = 17;
    EXPECT_EQ(nullptr, MTGetWaveFormatEx(&mt));
    EXPECT_TRUE(log.m_log.HasAssert("cbFormat >= sizeof(WAVEFORMATEX)"));
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = 100;
    EXPECT_EQ(nullptr, MTGetWaveFormatEx(&mt));
    mt.pbFormat = NULL;
    EXPECT_EQ(nullptr, MTGetBitmapInfoHeader(&mt));
}

TEST(MTParseVideo, ReadsTheHeaderOfEachFormatType)
{
    DWORD dwFcc = 1;
    LONG nWidth = 1, nHeight = 1;
    DWORD cbImage = 1;
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE,
              CMTHelp::MTParseVideo(CMType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM), &dwFcc, &nWidth, &nHeight, &cbImage));
    EXPECT_EQ(0u, dwFcc);
    EXPECT_EQ(0, nWidth);
    EXPECT_EQ(0, nHeight);
    EXPECT_EQ(0u, cbImage);

    const CMType vi = MakeVideo(MEDIASUBTYPE_RGB24, 640, -480, 24, BI_RGB);
    ASSERT_EQ(S_OK, CMTHelp::MTParseVideo(vi, &dwFcc, &nWidth, &nHeight, &cbImage));
    EXPECT_EQ(0xE436EB7Du, dwFcc);
    EXPECT_EQ(640, nWidth);
    EXPECT_EQ(-480, nHeight);
    EXPECT_EQ(640u * 480 * 3, cbImage);
    EXPECT_EQ(S_OK, CMTHelp::MTParseVideo(vi, NULL, NULL, NULL, NULL));

    // VIDEOINFOHEADER2 keeps its header at offset 72.
    VIDEOINFOHEADER2 vih2 = {};
    vih2.bmiHeader.biWidth = 720;
    vih2.bmiHeader.biHeight = 576;
    vih2.bmiHeader.biSizeImage = 829440;
    AM_MEDIA_TYPE mt2 = {};
    mt2.majortype = MEDIATYPE_Video;
    mt2.subtype = MEDIASUBTYPE_UYVY;
    mt2.formattype = FORMAT_VideoInfo2;
    mt2.cbFormat = sizeof(vih2);
    mt2.pbFormat = reinterpret_cast<BYTE*>(&vih2);
    ASSERT_EQ(S_OK, CMTHelp::MTParseVideo(&mt2, &dwFcc, &nWidth, &nHeight, &cbImage));
    EXPECT_EQ(MAKEFOURCC('U', 'Y', 'V', 'Y'), dwFcc);
    EXPECT_EQ(720, nWidth);
    EXPECT_EQ(576, nHeight);
    EXPECT_EQ(829440u, cbImage);
}

// Every operation above and below, run under a malloc spy: each task-memory
// block taken is given back.
TEST(MTLeaks, EveryBlockIsGivenBack)
{
    ASSERT_EQ(S_OK, CoInitializeEx(NULL, COINIT_MULTITHREADED));
    CCountingMallocSpy spy;
    ASSERT_EQ(S_OK, CoRegisterMallocSpy(&spy));
    {
        CRecordingLogScope log;
        CCountedUnknown unk;
        CMType src = MakeVideo(MEDIASUBTYPE_RGB24, 4, 2, 24, BI_RGB);
        src.pUnk = &unk;
        unk.AddRef();
        CMType a(src);
        CMType b;
        b = a;
        b = src;
        b = static_cast<const AM_MEDIA_TYPE*>(&a);
        a.Set(NULL);
        a.Set(&b);
        a.Set(&a);
        MTCopy(&a, &a);

        AM_MEDIA_TYPE* pmt = MTDup(&src);
        MTDelete(pmt);
        ASSERT_EQ(S_OK, MTDupTo(&src, &pmt));
        CMType c;
        c.Set(pmt);
        MTDelete(pmt);

        AM_MEDIA_TYPE raw = {};
        ASSERT_EQ(S_OK, src.CopyTo(&raw));
        MTReset(&raw, GUID_NULL, GUID_NULL);

        CMTSingle single;
        single.m_mt = src;
        ASSERT_EQ(S_OK, single.GetMediaType(0, &pmt));
        MTDelete(pmt);

        BYTE rgBlock[16] = {};
        for (const BadType& bad : s_rgBadTypes)
        {
            const AM_MEDIA_TYPE badType = MakeBad(bad, rgBlock);
            AM_MEDIA_TYPE dst = {};
            MTCopy(&dst, &badType);
            a.Set(&badType);
            MTDelete(MTDup(&badType));
        }
        src.Reset();
        a.Reset();
        b.Reset();
        c.Reset();
        single.m_mt.Reset();
        EXPECT_EQ(1, unk.m_cRef);
    }
    const size_t cAllocs = spy.m_cAllocs;
    const size_t cLive = spy.m_live.size();
    EXPECT_EQ(S_OK, CoRevokeMallocSpy());
    CoUninitialize();
    EXPECT_GE(cAllocs, 10u) << "the spy saw the allocations";
    EXPECT_EQ(0u, cLive) << "blocks not given back";
}

} // namespace
