// The sample copiers: the plain copier's steps against a recording sample,
// and the video copier re-laying every layout of the picture-format table
// between two line widths, in buffers that end where unmapped memory
// begins, so that any byte read or written past either buffer faults.
#include "FakeSample.h"

#include <algorithm>

using dsfix::ComPtr;

static ::testing::Environment* const g_pComEnv = ::testing::AddGlobalTestEnvironment(new CComEnvironment);

namespace
{

// cb bytes that end exactly where a no-access page begins.
class CGuardedBuffer
{
public:
    explicit CGuardedBuffer(size_t cb) : m_cb(cb)
    {
        const size_t cbPage = 4096;
        const size_t cbData = (cb + cbPage - 1) / cbPage * cbPage;
        m_pBase = static_cast<BYTE*>(VirtualAlloc(NULL, cbData + 2 * cbPage, MEM_RESERVE, PAGE_NOACCESS));
        if (m_pBase && cbData)
            VirtualAlloc(m_pBase + cbPage, cbData, MEM_COMMIT, PAGE_READWRITE);
        m_p = m_pBase + cbPage + cbData - cb;
    }
    ~CGuardedBuffer() { VirtualFree(m_pBase, 0, MEM_RELEASE); }
    CGuardedBuffer(const CGuardedBuffer&) = delete;
    CGuardedBuffer& operator=(const CGuardedBuffer&) = delete;

    BYTE* Get() const { return m_p; }
    size_t Size() const { return m_cb; }
    // The first byte past the buffer: unmapped.
    BYTE* End() const { return m_p + m_cb; }

private:
    BYTE* m_pBase = NULL;
    BYTE* m_p = NULL;
    size_t m_cb;
};

CMType VideoType(const GUID& subtype, LONG lWidth, LONG lHeight)
{
    CMType mt(MEDIATYPE_Video, subtype);
    mt.formattype = FORMAT_VideoInfo;
    mt.cbFormat = sizeof(VIDEOINFOHEADER);
    mt.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(mt.cbFormat));
    ZeroMemory(mt.pbFormat, mt.cbFormat);
    BITMAPINFOHEADER& bmi = reinterpret_cast<VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader;
    bmi.biSize = sizeof(BITMAPINFOHEADER);
    bmi.biWidth = lWidth;
    bmi.biHeight = lHeight;
    bmi.biCompression = subtype.Data1;
    return mt;
}

// ---------------------------------------------------------------------------
// The plain copier.

const BYTE kSource[100] = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 };

struct PlainCase
{
    const char* name;
    WORD wMask;
    LONG lActual;
    bool bNullSource;
    LONG cbDst;           // destination size
    HRESULT hrGetPointer; // destination answers
    bool bNullPointer;
    HRESULT hrSetActual;
    HRESULT hr;        // the copier's result
    const char* calls; // the destination calls, in order
    LONG lActualAfter; // the destination's actual length afterwards (it starts at 77)
    bool bCopied;
};

const PlainCase g_rgPlain[] = {
    { "copy", PM_BUFFER | PM_ACTLEN, 10, false, 100, S_OK, false, S_OK, S_OK, "GetPointer GetSize SetActualDataLength",
      10, true },
    { "emptyCopy", PM_BUFFER | PM_ACTLEN, 0, false, 100, S_OK, false, S_OK, S_OK, "SetActualDataLength", 0, false },
    { "lengthOnly", PM_ACTLEN, 10, false, 100, S_OK, false, S_OK, S_OK, "GetPointer GetSize SetActualDataLength", 10,
      false },
    { "otherBitsIgnored", PM_START | PM_MEDIATYPE, 10, false, 100, S_OK, false, S_OK, S_OK, "", 77, false },
    { "bufferWithoutLength", PM_BUFFER, 10, false, 100, S_OK, false, S_OK, E_INVALIDARG, "", 77, false },
    { "nullSource", PM_BUFFER | PM_ACTLEN, 10, true, 100, S_OK, false, S_OK, E_INVALIDARG, "", 77, false },
    { "negativeLength", PM_BUFFER | PM_ACTLEN, -1, false, 100, S_OK, false, S_OK, E_INVALIDARG, "", 77, false },
    { "destinationTooSmall", PM_BUFFER | PM_ACTLEN, 10, false, 9, S_OK, false, S_OK, E_FAIL, "GetPointer GetSize", 77,
      false },
    { "getPointerFails", PM_BUFFER | PM_ACTLEN, 10, false, 100, E_UNEXPECTED, false, S_OK, E_UNEXPECTED, "GetPointer",
      77, false },
    { "getPointerSFalse", PM_BUFFER | PM_ACTLEN, 10, false, 100, S_FALSE, false, S_OK, E_FAIL, "GetPointer", 77,
      false },
    { "nullPointer", PM_BUFFER | PM_ACTLEN, 10, false, 100, S_OK, true, S_OK, E_FAIL, "GetPointer", 77, false },
    { "setLengthSFalse", PM_BUFFER | PM_ACTLEN, 10, false, 100, S_OK, false, S_FALSE, E_FAIL,
      "GetPointer GetSize SetActualDataLength", 77, false },
    { "setLengthFails", PM_ACTLEN, 0, false, 100, S_OK, false, VFW_E_BUFFER_OVERFLOW, VFW_E_BUFFER_OVERFLOW,
      "SetActualDataLength", 77, false },
};

void PrintTo(const PlainCase& c, std::ostream* os)
{
    *os << c.name;
}

class Plain : public ::testing::TestWithParam<PlainCase>
{
};

TEST_P(Plain, CopiesWithTheListedStepsAndResults)
{
    const PlainCase& c = GetParam();
    CLogCapture log;
    BYTE rgDst[100];
    memset(rgDst, 0xEE, sizeof(rgDst));
    CFakeSample dst;
    dst.pBuffer = c.bNullPointer ? NULL : rgDst;
    dst.cbBuffer = c.cbDst;
    dst.hrGetPointer = c.hrGetPointer;
    dst.hrSetActual = c.hrSetActual;
    dst.lActual = 77;
    CSampleCopier copier;
    EXPECT_EQ(c.hr, copier.CopyBuffer(&dst, c.bNullSource ? NULL : kSource, c.lActual, c.wMask));
    std::string calls;
    for (const auto& s : dst.calls)
        calls += (calls.empty() ? "" : " ") + s;
    EXPECT_EQ(c.calls, calls);
    EXPECT_EQ(c.lActualAfter, dst.lActual);
    if (c.bCopied)
    {
        EXPECT_EQ(0, memcmp(rgDst, kSource, c.lActual));
        EXPECT_EQ(0xEE, rgDst[c.lActual]);
    }
    else
    {
        EXPECT_EQ(0xEE, rgDst[0]);
    }
    if (E_FAIL == c.hr || E_UNEXPECTED == c.hr)
    {
        EXPECT_TRUE(log->Has(L"###Err### CSampleCopier::CopyBuffer(): "));
    }
    if (0 == strcmp(c.name, "destinationTooSmall"))
    {
        EXPECT_TRUE(log->Has(L"###Err### CSampleCopier::CopyBuffer(): GetSize()=9, lActual=10\n"));
    }
}

INSTANTIATE_TEST_SUITE_P(Copier, Plain, ::testing::ValuesIn(g_rgPlain),
                         [](const ::testing::TestParamInfo<PlainCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// The video copier over every layout of the picture-format table.

// What the test knows of a layout, independently of the copier: the bytes
// of one line, and whether two half-width chroma planes follow the lines.
struct LayoutInfo
{
    UINT nBits;
    bool bPlanar;
};

UINT LineBytes(const LayoutInfo& l, UINT nWidth)
{
    return l.bPlanar ? nWidth : (nWidth * l.nBits / 8 + 3) / 4 * 4;
}

size_t PictureBytes(const LayoutInfo& l, UINT nWidth, UINT nHeight)
{
    const size_t cbLuma = static_cast<size_t>(LineBytes(l, nWidth)) * nHeight;
    return l.bPlanar ? cbLuma + cbLuma / 2 : cbLuma;
}

struct VideoCase
{
    int nFormat; // row of the picture-format table
    UINT nWidthSrc;
    UINT nWidthDst;
    UINT nHeight;
    bool bTopDownDst; // the destination type gives its height as negative
};

std::string VideoCaseName(const VideoCase& c)
{
    WCHAR sz[32];
    Fourcc2Name(CPictureFormats::s_rgFormats[c.nFormat].pSubtype->Data1, sz);
    std::string s;
    for (const WCHAR* p = sz; *p; ++p)
        s += isalnum(*p) ? static_cast<char>(*p) : '_';
    return s + "_" + std::to_string(c.nWidthSrc) + "to" + std::to_string(c.nWidthDst) + "x" +
           std::to_string(c.nHeight) + (c.bTopDownDst ? "_topdown" : "");
}

void PrintTo(const VideoCase& c, std::ostream* os)
{
    *os << VideoCaseName(c);
}

std::vector<VideoCase> VideoCases()
{
    std::vector<VideoCase> v;
    for (int n = 0; n < static_cast<int>(CPictureFormats::s_cFormats); ++n)
    {
        v.push_back({ n, 36, 52, 10, false }); // line by line
        v.push_back({ n, 36, 36, 10, true });  // one whole copy
    }
    v.push_back({ 0, 720, 768, 576, false }); // YUY2, 1440-byte lines 1440 and 1536 apart
    v.push_back({ 4, 720, 768, 576, false }); // I420
    v.push_back({ 8, 3, 4, 4, false });       // RGB24: 12-byte lines on both sides
    v.push_back({ 6, 2, 20, 6, false });      // RGB32: widths far apart
    return v;
}

class Video : public ::testing::TestWithParam<VideoCase>
{
};

TEST_P(Video, RelaysThePictureWithinBothBuffers)
{
    const VideoCase& c = GetParam();
    const PictureFormat& row = CPictureFormats::s_rgFormats[c.nFormat];
    const LayoutInfo layout = { row.nBitsPerPixel, row.bPlanar != 0 };
    const UINT cbLineSrc = LineBytes(layout, c.nWidthSrc), cbLineDst = LineBytes(layout, c.nWidthDst);
    const UINT cbPicture = LineBytes(layout, c.nWidthSrc);

    CGuardedBuffer src(PictureBytes(layout, c.nWidthSrc, c.nHeight));
    CGuardedBuffer dst(PictureBytes(layout, c.nWidthDst, c.nHeight));
    for (size_t i = 0; i < src.Size(); ++i)
        src.Get()[i] = static_cast<BYTE>(i * 31 + i / 251);
    memset(dst.Get(), 0xEE, dst.Size());

    COverlayMixerCopier copier;
    const CMType mtSrc = VideoType(*row.pSubtype, c.nWidthSrc, c.nHeight);
    const CMType mtDst =
        VideoType(*row.pSubtype, c.nWidthDst, c.bTopDownDst ? -static_cast<LONG>(c.nHeight) : c.nHeight);
    ASSERT_EQ(S_OK, copier.SetSrcProperties(&mtSrc));
    ASSERT_EQ(S_OK, copier.SetDstProperties(&mtDst));

    CFakeSample sample;
    sample.pBuffer = dst.Get();
    sample.cbBuffer = static_cast<LONG>(dst.Size());
    ASSERT_EQ(S_OK, copier.CopyBuffer(&sample, src.Get(), static_cast<LONG>(src.Size()), 0, PM_BUFFER));
    EXPECT_EQ(static_cast<LONG>(dst.Size()), sample.lActual);

    // What the destination must hold: each line's picture bytes at the
    // destination's line distance, the rest untouched.
    std::vector<BYTE> expected(dst.Size(), 0xEE);
    for (UINT y = 0; y < c.nHeight; ++y)
        memcpy(&expected[static_cast<size_t>(y) * cbLineDst], src.Get() + static_cast<size_t>(y) * cbLineSrc,
               cbPicture);
    if (layout.bPlanar)
    {
        // Two chroma planes, h / 2 lines each of half the luma line, after
        // the luma plane on both sides: h half lines in all.
        const size_t offSrc = static_cast<size_t>(cbLineSrc) * c.nHeight;
        const size_t offDst = static_cast<size_t>(cbLineDst) * c.nHeight;
        for (UINT y = 0; y < c.nHeight; ++y)
            memcpy(&expected[offDst + static_cast<size_t>(y) * (cbLineDst / 2)],
                   src.Get() + offSrc + static_cast<size_t>(y) * (cbLineSrc / 2), cbPicture / 2);
    }
    if (cbLineSrc == cbLineDst)
    {
        // A whole copy moves the padding of each line too.
        EXPECT_EQ(0, memcmp(src.Get(), dst.Get(), dst.Size()));
    }
    else
    {
        EXPECT_EQ(0, memcmp(expected.data(), dst.Get(), dst.Size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Copier, Video, ::testing::ValuesIn(VideoCases()),
                         [](const ::testing::TestParamInfo<VideoCase>& i) { return VideoCaseName(i.param); });

// A buffer too small by one byte on either side is refused before anything
// is read or written.
TEST(VideoCopier, BuffersAreMeasuredBeforeTheCopy)
{
    for (int nFormat : { 0, 2, 8 })
    {
        SCOPED_TRACE(nFormat);
        CLogCapture log;
        const PictureFormat& row = CPictureFormats::s_rgFormats[nFormat];
        const LayoutInfo layout = { row.nBitsPerPixel, row.bPlanar != 0 };
        COverlayMixerCopier copier;
        const CMType mtSrc = VideoType(*row.pSubtype, 16, 8), mtDst = VideoType(*row.pSubtype, 32, 8);
        ASSERT_EQ(S_OK, copier.SetSrcProperties(&mtSrc));
        ASSERT_EQ(S_OK, copier.SetDstProperties(&mtDst));
        const LONG cbSrc = static_cast<LONG>(PictureBytes(layout, 16, 8));
        const LONG cbDst = static_cast<LONG>(PictureBytes(layout, 32, 8));
        CGuardedBuffer src(cbSrc), dst(cbDst - 1);
        memset(src.Get(), 1, cbSrc);
        memset(dst.Get(), 0xEE, cbDst - 1);
        CFakeSample sample;
        sample.pBuffer = dst.Get();
        sample.cbBuffer = cbDst - 1;
        sample.lActual = 5;
        EXPECT_EQ(E_FAIL, copier.CopyBuffer(&sample, src.Get(), cbSrc, cbSrc, PM_BUFFER | PM_ACTLEN));
        EXPECT_TRUE(log->Has(L"###Err### COverlayMixerCopier::CopyBuffer(): GetSize()="));
        sample.cbBuffer = cbDst; // claims more than it has: the source check still comes first
        EXPECT_EQ(E_FAIL, copier.CopyBuffer(&sample, src.Get(), cbSrc - 1, cbSrc, PM_BUFFER | PM_ACTLEN));
        EXPECT_TRUE(log->Has(L"###Err### COverlayMixerCopier::CopyBuffer(): source GetSize()="));
        EXPECT_EQ(E_FAIL, copier.CopyBuffer(&sample, src.Get(), -1, cbSrc, PM_BUFFER));
        EXPECT_EQ(5, sample.lActual);
        EXPECT_TRUE(std::all_of(dst.Get(), dst.End(), [](BYTE b) { return b == 0xEE; }));
    }
}

// The snapshot hands the video copier the source's buffer; how much of it
// holds data (the actual length, or whether it was loaded at all) plays no
// part. The source buffer is measured by its size against the picture.
TEST(VideoCopier, TheSourceIsMeasuredByItsSizeNotItsActualLength)
{
    CLogCapture log;
    const PictureFormat& row = CPictureFormats::s_rgFormats[0]; // YUY2
    const LayoutInfo layout = { row.nBitsPerPixel, row.bPlanar != 0 };
    const CMType mtSrc = VideoType(*row.pSubtype, 16, 8), mtDst = VideoType(*row.pSubtype, 32, 8);
    const LONG cbSrc = static_cast<LONG>(PictureBytes(layout, 16, 8));
    const LONG cbDst = static_cast<LONG>(PictureBytes(layout, 32, 8));
    CGuardedBuffer src(cbSrc);
    for (LONG i = 0; i < cbSrc; ++i)
        src.Get()[i] = static_cast<BYTE>(i * 13 + 1);
    std::vector<BYTE> expected(cbDst, 0xEE);
    for (UINT y = 0; y < 8; ++y)
        memcpy(&expected[y * LineBytes(layout, 32)], src.Get() + y * LineBytes(layout, 16), LineBytes(layout, 16));

    const struct
    {
        const char* pszCase;
        WORD wMask;
        LONG lActualSrc;
    } cases[] = {
        { "buffer only", PM_BUFFER, cbSrc },
        { "no data in it", PM_BUFFER | PM_ACTLEN, 0 },
        { "less data than a picture", PM_BUFFER | PM_ACTLEN, 5 },
        { "a whole picture", PM_BUFFER | PM_ACTLEN, cbSrc },
    };
    for (const auto& c : cases)
    {
        CGuardedBuffer dst(cbDst);
        memset(dst.Get(), 0xEE, cbDst);
        CFakeSample source;
        source.pBuffer = src.Get();
        source.cbBuffer = cbSrc;
        source.lActual = c.lActualSrc;
        CFakeSample sample;
        sample.pBuffer = dst.Get();
        sample.cbBuffer = cbDst;
        CSampleT<COverlayMixerCopier> snapshot;
        ASSERT_EQ(S_OK, snapshot.SetSrcProperties(&mtSrc)) << c.pszCase;
        ASSERT_EQ(S_OK, snapshot.SetDstProperties(&mtDst)) << c.pszCase;
        EXPECT_EQ(S_OK, snapshot.Copy(&sample, &source, c.wMask)) << c.pszCase;
        EXPECT_EQ(0, memcmp(expected.data(), dst.Get(), cbDst)) << c.pszCase;
    }
    EXPECT_FALSE(log->Has(L"###Err### ")) << "no refusal on the way";

    // A source buffer one byte short of the picture is refused, whatever
    // length it claims, before anything is written.
    CGuardedBuffer shortSrc(cbSrc - 1);
    CGuardedBuffer dst(cbDst);
    memset(dst.Get(), 0xEE, cbDst);
    CFakeSample source;
    source.pBuffer = shortSrc.Get();
    source.cbBuffer = cbSrc - 1;
    source.lActual = cbSrc - 1;
    CFakeSample sample;
    sample.pBuffer = dst.Get();
    sample.cbBuffer = cbDst;
    CSampleT<COverlayMixerCopier> snapshot;
    ASSERT_EQ(S_OK, snapshot.SetSrcProperties(&mtSrc));
    ASSERT_EQ(S_OK, snapshot.SetDstProperties(&mtDst));
    EXPECT_EQ(E_FAIL, snapshot.Copy(&sample, &source, PM_BUFFER | PM_ACTLEN));
    const std::wstring sLine = L"###Err### COverlayMixerCopier::CopyBuffer(): source GetSize()=" +
                               std::to_wstring(cbSrc - 1) + L", source picture=" + std::to_wstring(cbSrc) + L"\n";
    EXPECT_TRUE(log->Has(sLine.c_str())) << sLine;
    EXPECT_TRUE(std::all_of(dst.Get(), dst.End(), [](BYTE b) { return b == 0xEE; }));
}

TEST(VideoCopier, PropertiesMustMatchOnBothSides)
{
    CLogCapture log;
    const CMType yuy2 = VideoType(MEDIASUBTYPE_YUY2, 720, 576);
    const CMType uyvy = VideoType(MEDIASUBTYPE_UYVY, 768, 576);
    const CMType yuy2Tall = VideoType(MEDIASUBTYPE_YUY2, 768, 480);
    const CMType yuy2TopDown = VideoType(MEDIASUBTYPE_YUY2, 768, -576);
    {
        COverlayMixerCopier copier;
        ASSERT_EQ(S_OK, copier.SetSrcProperties(&yuy2));
        EXPECT_EQ(E_FAIL, copier.SetDstProperties(&uyvy));
        EXPECT_TRUE(log->Has(L"###Err### COverlayMixerCopier::SetProperties( DST ): properties are different, source "
                             L"YUY2, height=576, destination UYVY, height=576\n"));
        EXPECT_EQ(E_FAIL, copier.SetDstProperties(&yuy2Tall));
        EXPECT_TRUE(log->Has(L"source YUY2, height=576, destination YUY2, height=480\n"));
        // Nothing was stored: the copier is still without a destination.
        EXPECT_EQ(0u, copier.nWidthDst);
        EXPECT_EQ(S_OK, copier.SetDstProperties(&yuy2TopDown));
        EXPECT_EQ(576u, copier.nHeight);
        EXPECT_EQ(768u, copier.nWidthDst);
    }
    {
        // The same check from the source side.
        COverlayMixerCopier copier;
        ASSERT_EQ(S_OK, copier.SetDstProperties(&uyvy));
        EXPECT_EQ(E_FAIL, copier.SetSrcProperties(&yuy2));
        EXPECT_TRUE(log->Has(L"###Err### COverlayMixerCopier::SetProperties( SRC ): properties are different, source "
                             L"YUY2, height=576, destination UYVY, height=576\n"));
    }
}

TEST(VideoCopier, RefusesTypesItCannotCopy)
{
    CLogCapture log;
    COverlayMixerCopier copier;
    EXPECT_EQ(E_INVALIDARG, copier.SetSrcProperties(NULL));
    CMType audio(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, copier.SetSrcProperties(&audio));
    EXPECT_TRUE(log->Has(L"###Err### COverlayMixerCopier::SetProperties( SRC ): CMTHelp::MTParseVideo()=0x80040200\n"));
    const CMType noWidth = VideoType(MEDIASUBTYPE_YUY2, 0, 576), noHeight = VideoType(MEDIASUBTYPE_YUY2, 720, 0),
                 negWidth = VideoType(MEDIASUBTYPE_YUY2, -720, 576);
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, copier.SetDstProperties(&noWidth));
    EXPECT_TRUE(log->Has(L"###Err### COverlayMixerCopier::SetProperties( DST ): bad media type\n"));
    // The refused type is dumped with the error.
    EXPECT_EQ(eTL_Error, RecordLevel(log->Find(L"MT: ")));
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, copier.SetDstProperties(&noHeight));
    EXPECT_EQ(VFW_E_INVALIDMEDIATYPE, copier.SetDstProperties(&negWidth));
    const GUID nv12 = DSX_FOURCC_SUBTYPE('N', 'V', '1', '2');
    const CMType mtNV12 = VideoType(nv12, 720, 576);
    EXPECT_EQ(VFW_E_INVALIDSUBTYPE, copier.SetSrcProperties(&mtNV12));
    EXPECT_TRUE(log->Has(L"###Err### COverlayMixerCopier::SetProperties( SRC ): unsupported subtype "));
    EXPECT_EQ(0u, copier.fccType);
    EXPECT_EQ(-1, copier.nFormat);
}

TEST(VideoCopier, CopyBufferArgumentsAndUnsetSides)
{
    CLogCapture log;
    BYTE rg[64] = {};
    CFakeSample sample;
    sample.pBuffer = rg;
    sample.cbBuffer = sizeof(rg);
    COverlayMixerCopier copier;
    EXPECT_EQ(E_INVALIDARG, copier.CopyBuffer(NULL, rg, 64, 64, PM_BUFFER | PM_ACTLEN));
    EXPECT_EQ(S_OK, copier.CopyBuffer(&sample, rg, 64, 64, PM_ACTLEN));
    EXPECT_TRUE(sample.calls.empty());
    EXPECT_EQ(E_INVALIDARG, copier.CopyBuffer(&sample, NULL, 64, 64, PM_BUFFER | PM_ACTLEN));
    EXPECT_EQ(E_FAIL, copier.CopyBuffer(&sample, rg, 64, 64, PM_BUFFER | PM_ACTLEN));
    EXPECT_TRUE(log->Has(L"###Err### COverlayMixerCopier::CopyBuffer(): fccType="));
    EXPECT_TRUE(log->Has(L", nWidthSrc=0, nWidthDst=0, nHeight=0\n"));
    const CMType src = VideoType(MEDIASUBTYPE_RGB32, 4, 2);
    ASSERT_EQ(S_OK, copier.SetSrcProperties(&src));
    EXPECT_EQ(E_FAIL, copier.CopyBuffer(&sample, rg, 64, 64, PM_BUFFER | PM_ACTLEN));
    EXPECT_TRUE(sample.calls.empty());

    const CMType dst = VideoType(MEDIASUBTYPE_RGB32, 8, 2);
    ASSERT_EQ(S_OK, copier.SetDstProperties(&dst));
    sample.hrGetPointer = E_UNEXPECTED;
    EXPECT_EQ(E_UNEXPECTED, copier.CopyBuffer(&sample, rg, 64, 64, PM_BUFFER | PM_ACTLEN));
    sample.hrGetPointer = S_OK;
    sample.pBuffer = NULL;
    EXPECT_EQ(E_FAIL, copier.CopyBuffer(&sample, rg, 64, 64, PM_BUFFER | PM_ACTLEN));
    EXPECT_TRUE(log->Has(L"###Err### COverlayMixerCopier::CopyBuffer(): GetPointer()=S_OK, pbDst==NULL\n"));
}

TEST(VideoCopier, ANarrowerDestinationIsRefused)
{
    const CMType src = VideoType(MEDIASUBTYPE_YUY2, 768, 4), dst = VideoType(MEDIASUBTYPE_YUY2, 720, 4);
    COverlayMixerCopier copier;
    ASSERT_EQ(S_OK, copier.SetSrcProperties(&src));
    ASSERT_EQ(S_OK, copier.SetDstProperties(&dst));
    std::vector<BYTE> rgSrc(768 * 2 * 4), rgDst(768 * 2 * 4, 0xEE);
    CFakeSample sample;
    sample.pBuffer = rgDst.data();
    sample.cbBuffer = static_cast<LONG>(rgDst.size());
    EXPECT_EQ(E_INVALIDARG,
              copier.CopyBuffer(&sample, rgSrc.data(), static_cast<LONG>(rgSrc.size()), 0, PM_BUFFER));
    EXPECT_EQ(0xEE, rgDst[0]);
}

// A destination so wide that its line size does not fit in 32 bits reads as
// a few bytes a line. The copier measures the buffer by that size; the copy
// must not then write whole source lines into it, over the neighbours that
// share the allocator's block.
TEST(VideoCopier, ADestinationLineBeyond32BitsIsRefused)
{
    CLogCapture log;
    const CMType src = VideoType(MEDIASUBTYPE_RGB32, 100, 2), dst = VideoType(MEDIASUBTYPE_RGB32, 0x40000001, 2);
    COverlayMixerCopier copier;
    ASSERT_EQ(S_OK, copier.SetSrcProperties(&src));
    ASSERT_EQ(S_OK, copier.SetDstProperties(&dst));
    std::vector<BYTE> rgSrc(400 * 2, 1), rgBlock(1024, 0xEE);
    CFakeSample sample;
    sample.pBuffer = rgBlock.data();
    sample.cbBuffer = 16; // the sample's own buffer; the rest of the block is its neighbours'
    // Refused before a byte moves: the destination's measured size is of
    // no use for a line size that does not fit in 32 bits.
    EXPECT_TRUE(FAILED(
        copier.CopyBuffer(&sample, rgSrc.data(), static_cast<LONG>(rgSrc.size()), 0, PM_BUFFER)));
    EXPECT_TRUE(std::all_of(rgBlock.begin(), rgBlock.end(), [](BYTE b) { return b == 0xEE; }));

    // CopyData itself, with either width cut short.
    BYTE a[64] = {}, b[64] = {};
    EXPECT_EQ(E_INVALIDARG, CPictureFormats::CopyData(a, b, 6, 4, 2, 0x40000001, 0));
    EXPECT_EQ(E_INVALIDARG, CPictureFormats::CopyData(a, b, 6, 4, 2, 0, 0x40000001));
}

// ---------------------------------------------------------------------------
// CopyData itself.

TEST(CopyData, RefusesBadArguments)
{
    CLogCapture log;
    BYTE a[64], b[64];
    struct
    {
        BYTE* pDst;
        const BYTE* pSrc;
        int nFormat;
        UINT nWidth;
        int nHeight;
        UINT nWidthDst, nWidthSrc;
    } rg[] = {
        { NULL, b, 0, 4, 2, 0, 0 }, { a, NULL, 0, 4, 2, 0, 0 }, { a, b, -1, 4, 2, 0, 0 }, { a, b, 12, 4, 2, 0, 0 },
        { a, b, 0, 0, 2, 0, 0 },    { a, b, 0, 4, 0, 0, 0 },    { a, b, 0, 4, 2, 2, 0 },  { a, b, 0, 4, 2, 0, 2 },
    };
    for (const auto& c : rg)
        EXPECT_EQ(E_INVALIDARG,
                  CPictureFormats::CopyData(c.pDst, c.pSrc, c.nFormat, c.nWidth, c.nHeight, c.nWidthDst, c.nWidthSrc));
    // Each refusal is asserted with the text of its check.
    for (const char* pszCheck : { "pSrc != NULL && pDst != NULL", "nFormat >= 0 && nFormat < s_cFormats",
                                  "nPictureWidth > 0 && nPictureHeight != 0",
                                  "nPictureWidth <= nWidthSrc && nPictureWidth <= nWidthDst" })
        EXPECT_TRUE(log->HasAssert(pszCheck)) << pszCheck;
}

// A fault while copying becomes E_UNEXPECTED with the guarded copy's line.
TEST(CopyData, AFaultingCopyIsReportedNotRaised)
{
    CLogCapture log;
    CGuardedBuffer src(64);
    std::vector<BYTE> dst(4096);
    // The source's last line lies past its buffer.
    EXPECT_EQ(E_UNEXPECTED, CPictureFormats::CopyData(dst.data(), src.Get(), 6, 4, 8, 8, 4));
    const std::wstring line = log->Find(L"###Err### SEH_CopyMemory( ");
    EXPECT_EQ(eTL_Exception, RecordLevel(line));
    EXPECT_NE(std::wstring::npos, line.find(L"): Exception 0xC0000005\n"));
    // The lines that fitted were copied.
    memset(src.Get(), 9, 64);
    EXPECT_EQ(E_UNEXPECTED, CPictureFormats::CopyData(dst.data(), src.Get(), 6, 4, 8, 8, 4));
    EXPECT_EQ(9, dst[0]);
    EXPECT_EQ(9, dst[32 * 3 + 15]);

    // Through the copier: a source that claims a picture it does not have.
    const CMType mtSrc = VideoType(MEDIASUBTYPE_RGB32, 4, 8), mtDst = VideoType(MEDIASUBTYPE_RGB32, 8, 8);
    COverlayMixerCopier copier;
    ASSERT_EQ(S_OK, copier.SetSrcProperties(&mtSrc));
    ASSERT_EQ(S_OK, copier.SetDstProperties(&mtDst));
    CFakeSample sample;
    sample.pBuffer = dst.data();
    sample.cbBuffer = static_cast<LONG>(dst.size());
    EXPECT_EQ(E_UNEXPECTED, copier.CopyBuffer(&sample, src.End() - 16, 128, 128, PM_BUFFER | PM_ACTLEN));
    EXPECT_TRUE(log->Has(L"###Err### COverlayMixerCopier::CopyBuffer(): CPictureFormats::CopyData()=0x8000FFFF\n"));
}

} // namespace
