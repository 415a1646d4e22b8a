// Picture formats, FOURCC classifiers, pin helpers and the bitmap writer.
//
// The bitmaps of the RGB layouts are also left in "media_bitmaps\" beside the
// test program, where a second test decodes them with an independent reader.
#include <DSFunctions.h>
#include <DSTypes.h>

#include "FileBytes.h"
#include "TestLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------- table

TEST(PictureFormats, FindFormatGivesTheRowOfAnExactSubtypeOrMinusOne)
{
    EXPECT_EQ(6, CPictureFormats::FindFormat(0xE436EB7E));
    EXPECT_EQ(0, CPictureFormats::FindFormat(MAKEFOURCC('Y', 'U', 'Y', '2')));
    EXPECT_EQ(4, CPictureFormats::FindFormat(MAKEFOURCC('I', '4', '2', '0')));
    EXPECT_EQ(11, CPictureFormats::FindFormat(MAKEFOURCC('H', 'D', 'Y', 'C')));
    EXPECT_EQ(-1, CPictureFormats::FindFormat(MAKEFOURCC('N', 'V', '1', '2')));
    EXPECT_EQ(-1, CPictureFormats::FindFormat(MAKEFOURCC('y', 'u', 'y', '2')));
    for (size_t i = 0; i < CPictureFormats::s_cFormats; ++i)
        EXPECT_EQ(static_cast<int>(i), CPictureFormats::FindFormat(CPictureFormats::s_rgFormats[i].pSubtype->Data1));
}

TEST(PictureFormats, SubtypesOfTheLocalRows)
{
    // The rows whose subtypes the platform does not declare use the FOURCC base.
    const struct
    {
        int nRow;
        const wchar_t* pszGuid;
    } s_rgRows[] = {
        { 4, L"{30323449-0000-0010-8000-00AA00389B71}" },
        { 5, L"{32555949-0000-0010-8000-00AA00389B71}" },
        { 11, L"{43594448-0000-0010-8000-00AA00389B71}" },
    };
    for (const auto& row : s_rgRows)
    {
        GUID g;
        ASSERT_EQ(S_OK, CLSIDFromString(row.pszGuid, &g));
        EXPECT_TRUE(IsEqualGUID(g, *CPictureFormats::s_rgFormats[row.nRow].pSubtype)) << row.nRow;
    }
}

TEST(PictureFormats, LineAndPictureSizes)
{
    const PictureFormat* rg = CPictureFormats::s_rgFormats;
    EXPECT_EQ(1924u, CPictureFormats::GetStride(rg[8], 641)) << "RGB24 lines are whole DWORDs";
    EXPECT_EQ(12u, CPictureFormats::GetStride(rg[8], 3));
    EXPECT_EQ(8u, CPictureFormats::GetStride(rg[9], 3)) << "RGB565";
    EXPECT_EQ(640u, CPictureFormats::GetStride(rg[2], 640)) << "planar: the luma line";
    EXPECT_EQ(1280u, CPictureFormats::GetStride(rg[0], 640));
    EXPECT_EQ(2160u, CPictureFormats::GetStride(rg[5], 720)) << "IYU2";

    EXPECT_EQ(460800u, CPictureFormats::ImageSize(rg[2], 640, 480)) << "YV12";
    EXPECT_EQ(460800u, CPictureFormats::ImageSize(rg[4], 640, -480)) << "I420, top-down";
    EXPECT_EQ(921600u, CPictureFormats::ImageSize(rg[8], 640, 480)) << "RGB24";
    EXPECT_EQ(1228800u, CPictureFormats::ImageSize(rg[7], 640, -480)) << "ARGB32";
    EXPECT_EQ(614400u, CPictureFormats::ImageSize(rg[11], 640, 480)) << "HDYC";

    UINT cb = 1;
    EXPECT_EQ(S_OK, CPictureFormats::GetImageSize(MAKEFOURCC('Y', 'V', '1', '2'), 640, -480, &cb));
    EXPECT_EQ(460800u, cb);
    EXPECT_EQ(S_OK, CPictureFormats::GetImageSize(0xE436EB7D, 641, 2, &cb));
    EXPECT_EQ(3848u, cb);
    EXPECT_EQ(E_INVALIDARG, CPictureFormats::GetImageSize(MAKEFOURCC('N', 'V', '1', '2'), 640, 480, &cb));
    EXPECT_EQ(0u, cb);
    EXPECT_EQ(E_POINTER, CPictureFormats::GetImageSize(0xE436EB7D, 640, 480, NULL));
}

// Sizes that 32 bits cannot hold must not wrap round to small ones, which a
// buffer would then seem large enough for.
TEST(PictureFormats, SizesBeyond32BitsDoNotWrap)
{
    const PictureFormat* rg = CPictureFormats::s_rgFormats;
    EXPECT_EQ(0xFFFFFFFCu, CPictureFormats::GetStride(rg[6], 0x3FFFFFFF)) << "the longest RGB32 line that fits";
    EXPECT_EQ(0xFFFFFFFFu, CPictureFormats::GetStride(rg[6], 0x40000000)) << "RGB32: 4 GiB would wrap to 0";
    EXPECT_EQ(0xFFFFFFFFu, CPictureFormats::GetStride(rg[8], 0x55555556)) << "RGB24";
    EXPECT_EQ(0xFFFFFFFFu, CPictureFormats::ImageSize(rg[6], 65536, 65536)) << "16 GiB would wrap to 0";
    EXPECT_EQ(0xFFFFFFFFu, CPictureFormats::ImageSize(rg[2], 65536, -65536)) << "YV12: 6 GiB would wrap to 2 GiB";
    EXPECT_EQ(0xFFFFFFFFu, CPictureFormats::ImageSize(rg[0], 0x80000000u, 1)) << "YUY2";

    UINT cb = 1;
    EXPECT_EQ(E_INVALIDARG, CPictureFormats::GetImageSize(0xE436EB7E, 65536, 65536, &cb));
    EXPECT_EQ(0u, cb);
    EXPECT_EQ(E_INVALIDARG, CPictureFormats::GetImageSize(MAKEFOURCC('Y', 'V', '1', '2'), 65536, -65536, &cb));
    EXPECT_EQ(0u, cb);
    EXPECT_EQ(S_OK, CPictureFormats::GetImageSize(0xE436EB7E, 0x3FFFFFFF, 1, &cb)) << "just below 4 GiB";
    EXPECT_EQ(0xFFFFFFFCu, cb);
}

TEST(PictureFormats, OddSizesAreReported)
{
    CRecordingLogScope log;
    CPictureFormats::GetStride(CPictureFormats::s_rgFormats[0], 3);
    EXPECT_TRUE(log.m_log.HasAssert("nWidth % rgFormat.nHorzYtoUV == 0"));
    CPictureFormats::ImageSize(CPictureFormats::s_rgFormats[2], 4, -3);
    EXPECT_TRUE(log.m_log.HasAssert("nHeight % rgFormat.nVertYtoUV == 0"));
}

// ---------------------------------------------------------------- classifiers

TEST(Fourcc, ClassifiersGiveTheBitsPlanarityAndRgbOfEachCode)
{
    const struct
    {
        DWORD dwFcc;
        UINT nBits;
        bool bPlanar;
        bool bRGB;
    } s_rgCodes[] = {
        { MAKEFOURCC('r', '2', '1', '0'), 32, false, true },
        { MAKEFOURCC('v', '2', '1', '0'), 20, false, false },
        { MAKEFOURCC('I', '4', '2', '0'), 12, true, false },
        { MAKEFOURCC('Y', 'V', '1', '2'), 12, true, false },
        { MAKEFOURCC('N', 'V', '1', '2'), 12, true, false },
        { MAKEFOURCC('Y', '4', '2', '2'), 16, true, false },
        { MAKEFOURCC('Y', '4', '4', '4'), 24, true, false },
        { MAKEFOURCC('Y', 'U', 'Y', '2'), 16, false, false },
        { MAKEFOURCC('U', 'Y', 'V', 'Y'), 16, false, false },
        { MAKEFOURCC('Y', 'V', 'Y', 'U'), 16, false, false },
        { MAKEFOURCC('H', 'D', 'Y', 'C'), 16, false, false },
        { MAKEFOURCC('I', 'Y', 'U', '2'), 24, false, false },
        { 0xE436EB7A, 8, false, true },
        { 0xE436EB7B, 16, false, true },
        { 0xE436EB7C, 16, false, true },
        { 0xE436EB7D, 24, false, true },
        { 0xE436EB7E, 32, false, true },
        { 0x773C9AC0, 32, false, true },
    };
    CRecordingLogScope log;
    for (const auto& c : s_rgCodes)
    {
        SCOPED_TRACE(c.dwFcc);
        EXPECT_EQ(c.nBits, Fcc2Bits(c.dwFcc));
        EXPECT_EQ(c.bPlanar, IsPlanar(c.dwFcc));
        EXPECT_EQ(c.bRGB, IsRGB(c.dwFcc));
    }
    EXPECT_EQ(0u, log.m_log.CountAsserts());

    EXPECT_EQ(9u, Fcc2Bits(MAKEFOURCC('Y', 'V', 'U', '9')));
    EXPECT_EQ(0u, log.m_log.CountAsserts());
    EXPECT_FALSE(IsPlanar(MAKEFOURCC('Y', 'V', 'U', '9')));
    EXPECT_TRUE(log.m_log.HasAssert("IsPlanar(): unknown FOURCC code"));
    EXPECT_FALSE(IsRGB(MAKEFOURCC('Y', 'V', 'U', '9')));
    EXPECT_TRUE(log.m_log.HasAssert("IsRGB(): unknown FOURCC code"));
    EXPECT_EQ(0u, Fcc2Bits(MAKEFOURCC('M', 'J', 'P', 'G')));
    EXPECT_TRUE(log.m_log.HasAssert("Fcc2Bits(): unknown FOURCC code"));
    EXPECT_FALSE(IsRGB(MAKEFOURCC('M', 'J', 'P', 'G')));
    EXPECT_FALSE(IsPlanar(MAKEFOURCC('M', 'J', 'P', 'G')));
}

// ---------------------------------------------------------------- pin helpers

// A pin whose QueryPinInfo answers as told; nothing else is offered.
class CInfoPin : public IPin
{
public:
    CInfoPin(HRESULT hr, IBaseFilter* pFilter) : m_hr(hr), m_pFilter(pFilter) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override
    {
        *ppv = NULL;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Disconnect() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* pInfo) override
    {
        if (SUCCEEDED(m_hr))
        {
            pInfo->pFilter = m_pFilter;
            if (m_pFilter)
                m_pFilter->AddRef();
        }
        return m_hr;
    }
    HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryId(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EndOfStream() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BeginFlush() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EndFlush() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return E_NOTIMPL; }

private:
    HRESULT m_hr;
    IBaseFilter* m_pFilter;
};

class PinHelpers : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(S_OK, CoInitializeEx(NULL, COINIT_MULTITHREADED)); }
    void TearDown() override { CoUninitialize(); }
};

TEST_F(PinHelpers, BadArgumentsAndPinsWithoutAFilterAreRefused)
{
    CRecordingLogScope log;
    IBaseFilter* pFilter = reinterpret_cast<IBaseFilter*>(1);
    CLSID clsid;
    CInfoPin noFilter(S_OK, NULL);
    EXPECT_EQ(E_POINTER, GetPinFilter(NULL, &pFilter));
    EXPECT_EQ(E_POINTER, GetPinFilter(&noFilter, NULL));
    EXPECT_TRUE(log.m_log.HasAssert("pPin != NULL && ppFilter != NULL"));
    EXPECT_EQ(E_INVALIDARG, GetPinFilterClsid(NULL, &clsid));
    EXPECT_EQ(E_INVALIDARG, GetPinFilterClsid(&noFilter, NULL));
    EXPECT_TRUE(log.m_log.HasAssert("pPin != NULL && pclsid != NULL"));

    EXPECT_EQ(E_FAIL, GetPinFilter(&noFilter, &pFilter));
    EXPECT_EQ(nullptr, pFilter);
    EXPECT_EQ(E_FAIL, GetPinFilterClsid(&noFilter, &clsid));

    CInfoPin failing(VFW_E_NOT_CONNECTED, NULL);
    pFilter = reinterpret_cast<IBaseFilter*>(1);
    EXPECT_EQ(VFW_E_NOT_CONNECTED, GetPinFilter(&failing, &pFilter));
    EXPECT_EQ(nullptr, pFilter);
    EXPECT_EQ(VFW_E_NOT_CONNECTED, GetPinFilterClsid(&failing, &clsid));
}

TEST_F(PinHelpers, ARealPinGivesItsFilterAndItsClassId)
{
    // The platform's Null Renderer {C1F400A4-3F08-11D3-9F0B-006008039E37}.
    CLSID clsidNull;
    ASSERT_EQ(S_OK, CLSIDFromString(L"{C1F400A4-3F08-11D3-9F0B-006008039E37}", &clsidNull));
    IBaseFilter* pRenderer = NULL;
    ASSERT_EQ(S_OK, CoCreateInstance(clsidNull, NULL, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     reinterpret_cast<void**>(&pRenderer)));
    IEnumPins* pEnum = NULL;
    ASSERT_EQ(S_OK, pRenderer->EnumPins(&pEnum));
    IPin* pPin = NULL;
    ASSERT_EQ(S_OK, pEnum->Next(1, &pPin, NULL));
    pEnum->Release();

    IBaseFilter* pFilter = NULL;
    ASSERT_EQ(S_OK, GetPinFilter(pPin, &pFilter));
    IUnknown* pUnk1 = NULL;
    IUnknown* pUnk2 = NULL;
    pFilter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnk1));
    pRenderer->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pUnk2));
    EXPECT_EQ(pUnk1, pUnk2);
    pUnk1->Release();
    pUnk2->Release();
    pFilter->Release();

    CLSID clsid = GUID_NULL;
    EXPECT_EQ(S_OK, GetPinFilterClsid(pPin, &clsid));
    EXPECT_TRUE(IsEqualGUID(clsidNull, clsid));

    pPin->Release();
    EXPECT_EQ(0u, pRenderer->Release()) << "the helpers gave back every reference";
}

// ---------------------------------------------------------------- bitmap writer

struct Rgb
{
    BYTE r, g, b;
};

// The known picture, 3 x 2, top row first: red, green, blue / white, black, yellow.
const int PIC_W = 3;
const int PIC_H = 2;
const Rgb s_rgPicture[PIC_H][PIC_W] = {
    { { 255, 0, 0 }, { 0, 255, 0 }, { 0, 0, 255 } },
    { { 255, 255, 255 }, { 0, 0, 0 }, { 255, 255, 0 } },
};

// One RGB layout the writer accepts and how a pixel is stored in it.
struct RgbLayout
{
    const char* pszName;
    DWORD dwFcc;
    UINT nBits;
    void (*pfnStore)(BYTE* p, Rgb c);
};

const RgbLayout s_rgLayouts[] = {
    { "rgb32", 0xE436EB7E, 32, [](BYTE* p, Rgb c) { p[0] = c.b; p[1] = c.g; p[2] = c.r; p[3] = 0; } },
    { "argb32", 0x773C9AC0, 32, [](BYTE* p, Rgb c) { p[0] = c.b; p[1] = c.g; p[2] = c.r; p[3] = 0xFF; } },
    { "rgb24", 0xE436EB7D, 24, [](BYTE* p, Rgb c) { p[0] = c.b; p[1] = c.g; p[2] = c.r; } },
    { "rgb565", 0xE436EB7B, 16,
      [](BYTE* p, Rgb c) {
          const WORD w = static_cast<WORD>(((c.r >> 3) << 11) | ((c.g >> 2) << 5) | (c.b >> 3));
          p[0] = LOBYTE(w);
          p[1] = HIBYTE(w);
      } },
    { "rgb555", 0xE436EB7C, 16,
      [](BYTE* p, Rgb c) {
          const WORD w = static_cast<WORD>(((c.r >> 3) << 10) | ((c.g >> 3) << 5) | (c.b >> 3));
          p[0] = LOBYTE(w);
          p[1] = HIBYTE(w);
      } },
};

// The known picture in DirectShow's layout: bottom row first for a positive
// height, top row first for a negative one; lines cbStride apart, the bytes
// past the pixels of a line filled with cbFill.
std::vector<BYTE> MakeBuffer(const RgbLayout& layout, bool bTopDown, UINT cbStride, BYTE cbFill)
{
    std::vector<BYTE> buf(cbStride * PIC_H, cbFill);
    for (int nLine = 0; nLine < PIC_H; ++nLine)
    {
        const int nRow = bTopDown ? nLine : PIC_H - 1 - nLine;
        for (int x = 0; x < PIC_W; ++x)
            layout.pfnStore(&buf[nLine * cbStride + x * layout.nBits / 8], s_rgPicture[nRow][x]);
    }
    return buf;
}

void PutWord(std::vector<BYTE>& v, WORD w)
{
    v.push_back(LOBYTE(w));
    v.push_back(HIBYTE(w));
}

void PutDword(std::vector<BYTE>& v, DWORD dw)
{
    PutWord(v, LOWORD(dw));
    PutWord(v, HIWORD(dw));
}

// The bitmap file the picture must give, written out field by field: a
// bottom-up picture with lines padded by zeros to whole DWORDs.
std::vector<BYTE> ExpectedBitmap(const RgbLayout& layout)
{
    const UINT cbLine = (PIC_W * layout.nBits / 8 + 3) & ~3u;
    const bool bMasks = layout.dwFcc == 0xE436EB7B;
    const UINT cbOff = bMasks ? 66 : 54;
    std::vector<BYTE> v;
    PutWord(v, 0x4D42);
    PutDword(v, cbOff + cbLine * PIC_H);
    PutDword(v, 0);
    PutDword(v, cbOff);
    PutDword(v, 40);
    PutDword(v, PIC_W);
    PutDword(v, PIC_H);
    PutWord(v, 1);
    PutWord(v, static_cast<WORD>(layout.nBits));
    PutDword(v, bMasks ? BI_BITFIELDS : BI_RGB);
    PutDword(v, cbLine * PIC_H);
    for (int i = 0; i < 4; ++i)
        PutDword(v, 0);
    if (bMasks)
    {
        PutDword(v, 0xF800);
        PutDword(v, 0x07E0);
        PutDword(v, 0x001F);
    }
    for (int nRow = PIC_H - 1; nRow >= 0; --nRow)
    {
        std::vector<BYTE> line(cbLine, 0);
        for (int x = 0; x < PIC_W; ++x)
            layout.pfnStore(&line[x * layout.nBits / 8], s_rgPicture[nRow][x]);
        v.insert(v.end(), line.begin(), line.end());
    }
    return v;
}

bool FileExists(const std::wstring& strPath)
{
    return GetFileAttributesW(strPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring Widen(const char* psz)
{
    return std::wstring(psz, psz + strlen(psz));
}

// A private temporary folder, removed with its files.
class BitmapWriter : public ::testing::Test
{
protected:
    void SetUp() override
    {
        WCHAR szTemp[MAX_PATH];
        GetTempPathW(MAX_PATH, szTemp);
        m_strDir = szTemp;
        m_strDir += L"media_bmp_" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(m_strDir.c_str(), NULL);
    }
    void TearDown() override
    {
        for (const auto& f : m_files)
            DeleteFileW(f.c_str());
        RemoveDirectoryW(m_strDir.c_str());
    }
    std::wstring Path(const std::wstring& strName)
    {
        m_files.push_back(m_strDir + L"\\" + strName);
        return m_files.back();
    }

    std::wstring m_strDir;
    std::vector<std::wstring> m_files;
};

TEST_F(BitmapWriter, EveryRgbLayoutByteForByte)
{
    // Also left beside the program for the decoder test.
    CreateDirectoryW(L"media_bitmaps", NULL);
    for (const RgbLayout& layout : s_rgLayouts)
    {
        SCOPED_TRACE(layout.pszName);
        const UINT cbLine = (PIC_W * layout.nBits / 8 + 3) & ~3u;
        const std::vector<BYTE> expected = ExpectedBitmap(layout);
        const struct
        {
            const wchar_t* pszSuffix;
            bool bTopDown;
            UINT cbRowSize; // 0: the computed line size
        } s_rgForms[] = {
            { L"", false, 0 },
            { L"_topdown", true, 0 },
            { L"_stride", false, cbLine + 8 },
            { L"_topdown_stride", true, cbLine + 4 },
        };
        for (const auto& form : s_rgForms)
        {
            SCOPED_TRACE(form.pszSuffix);
            const UINT cbStride = form.cbRowSize ? form.cbRowSize : cbLine;
            // Pixels, then zero padding up to the line size, then foreign bytes.
            std::vector<BYTE> buf = MakeBuffer(layout, form.bTopDown, cbStride, 0xCD);
            for (int nLine = 0; nLine < PIC_H; ++nLine)
                for (UINT i = PIC_W * layout.nBits / 8; i < cbLine; ++i)
                    buf[nLine * cbStride + i] = 0;
            const std::wstring strName = Widen(layout.pszName) + form.pszSuffix + L".bmp";
            const std::wstring strPath = Path(strName);
            const LONG lHeight = form.bTopDown ? -PIC_H : PIC_H;
            ASSERT_EQ(S_OK, SavePictureAsBitmap(strPath.c_str(), buf.data(), static_cast<DWORD>(buf.size()), layout.dwFcc,
                                                PIC_W, lHeight, form.cbRowSize));
            const std::vector<BYTE> written = ReadFileBytes(strPath);
            EXPECT_EQ(expected, written);
            if (form.cbRowSize == 0)
                CopyFileW(strPath.c_str(), (L"media_bitmaps\\" + strName).c_str(), FALSE);
        }
    }
}

TEST_F(BitmapWriter, ASmallRgb32PictureGetsItsHeadersAndPixels)
{
    const BYTE rgPixels[16] = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16 };
    const std::wstring strPath = Path(L"small.bmp");
    ASSERT_EQ(S_OK, SavePictureAsBitmap(strPath.c_str(), rgPixels, sizeof(rgPixels), 0xE436EB7E, 2, 2, 0));
    const std::vector<BYTE> v = ReadFileBytes(strPath);
    ASSERT_EQ(70u, v.size());
    BITMAPFILEHEADER bfh;
    BITMAPINFOHEADER bih;
    memcpy(&bfh, v.data(), 14);
    memcpy(&bih, v.data() + 14, 40);
    EXPECT_EQ(0x4D42, bfh.bfType);
    EXPECT_EQ(70u, bfh.bfSize);
    EXPECT_EQ(54u, bfh.bfOffBits);
    EXPECT_EQ(40u, bih.biSize);
    EXPECT_EQ(2, bih.biWidth);
    EXPECT_EQ(2, bih.biHeight);
    EXPECT_EQ(1, bih.biPlanes);
    EXPECT_EQ(32, bih.biBitCount);
    EXPECT_EQ(0u, bih.biCompression);
    EXPECT_EQ(16u, bih.biSizeImage);
    EXPECT_EQ(0, memcmp(rgPixels, v.data() + 54, 16)) << "a bottom-up buffer keeps its line order";
}

TEST_F(BitmapWriter, PackedYuvKeepsBufferOrder)
{
    // 4 x 2 YUY2, lines 12 bytes apart in the buffer (8 used).
    std::vector<BYTE> buf(24);
    for (size_t i = 0; i < buf.size(); ++i)
        buf[i] = static_cast<BYTE>(i + 1);
    for (const LONG lHeight : { 2L, -2L })
    {
        const std::wstring strPath = Path(L"yuy2.bmp");
        ASSERT_EQ(S_OK, SavePictureAsBitmap(strPath.c_str(), buf.data(), 20, MAKEFOURCC('Y', 'U', 'Y', '2'), 4,
                                            lHeight, 12));
        const std::vector<BYTE> v = ReadFileBytes(strPath);
        ASSERT_EQ(54u + 16, v.size());
        BITMAPINFOHEADER bih;
        memcpy(&bih, v.data() + 14, 40);
        EXPECT_EQ(MAKEFOURCC('Y', 'U', 'Y', '2'), bih.biCompression);
        EXPECT_EQ(16, bih.biBitCount);
        EXPECT_EQ(2, bih.biHeight);
        EXPECT_EQ(16u, bih.biSizeImage);
        EXPECT_EQ(0, memcmp(buf.data(), v.data() + 54, 8));
        EXPECT_EQ(0, memcmp(buf.data() + 12, v.data() + 62, 8));
    }
}

TEST_F(BitmapWriter, PlanarWritesLumaAndBothChromaPlanes)
{
    for (const DWORD dwFcc : { MAKEFOURCC('Y', 'V', '1', '2'), MAKEFOURCC('I', '4', '2', '0') })
    {
        // 4 x 4: luma 4 lines of 4, then two planes of 2 lines of 2.
        std::vector<BYTE> buf(24);
        for (size_t i = 0; i < buf.size(); ++i)
            buf[i] = static_cast<BYTE>(0x10 + i);
        std::wstring strPath = Path(L"planar.bmp");
        ASSERT_EQ(S_OK, SavePictureAsBitmap(strPath.c_str(), buf.data(), 24, dwFcc, 4, 4, 0));
        std::vector<BYTE> v = ReadFileBytes(strPath);
        ASSERT_EQ(54u + 24, v.size()) << "the file holds what its header announces";
        BITMAPFILEHEADER bfh;
        BITMAPINFOHEADER bih;
        memcpy(&bfh, v.data(), 14);
        memcpy(&bih, v.data() + 14, 40);
        EXPECT_EQ(78u, bfh.bfSize);
        EXPECT_EQ(dwFcc, bih.biCompression);
        EXPECT_EQ(12, bih.biBitCount);
        EXPECT_EQ(24u, bih.biSizeImage);
        EXPECT_EQ(0, memcmp(buf.data(), v.data() + 54, 24));

        // The same picture with lines 6 bytes apart: chroma lines 3 apart.
        std::vector<BYTE> wide(6 * 4 + 3 * 2 * 2, 0xEE);
        for (int y = 0; y < 4; ++y)
            memcpy(&wide[y * 6], &buf[y * 4], 4);
        for (int p = 0; p < 2; ++p)
            for (int y = 0; y < 2; ++y)
                memcpy(&wide[24 + p * 6 + y * 3], &buf[16 + p * 4 + y * 2], 2);
        strPath = Path(L"planar_stride.bmp");
        ASSERT_EQ(S_OK, SavePictureAsBitmap(strPath.c_str(), wide.data(), static_cast<DWORD>(wide.size()) - 1, dwFcc,
                                            4, -4, 6));
        v = ReadFileBytes(strPath);
        ASSERT_EQ(54u + 24, v.size());
        EXPECT_EQ(0, memcmp(buf.data(), v.data() + 54, 24));
    }
}

TEST_F(BitmapWriter, ArgumentErrorsCreateNoFile)
{
    CRecordingLogScope log;
    BYTE rgBuffer[4096] = {};
    const std::wstring strPath = Path(L"refused.bmp");
    const LPCWSTR psz = strPath.c_str();
    const struct
    {
        const char* pszName;
        LPCWSTR pszFile;
        const BYTE* pBuffer;
        DWORD cbBuffer;
        DWORD dwFcc;
        UINT nWidth;
        LONG lHeight;
        UINT cbRowSize;
        HRESULT hr;
        const char* pszAssert;
    } s_rgCases[] = {
        { "no file", NULL, rgBuffer, 4096, 0xE436EB7E, 2, 2, 0, E_INVALIDARG, "pszFile != NULL" },
        { "no buffer", psz, NULL, 4096, 0xE436EB7E, 2, 2, 0, E_POINTER, "pBuffer != NULL" },
        { "width 0", psz, rgBuffer, 4096, 0xE436EB7E, 0, 2, 0, E_INVALIDARG, "nWidth > 0" },
        { "height 0", psz, rgBuffer, 4096, 0xE436EB7E, 2, 0, 0, E_INVALIDARG, "lHeight != 0" },
        { "NV12", psz, rgBuffer, 4096, MAKEFOURCC('N', 'V', '1', '2'), 2, 2, 0, E_INVALIDARG, "Unsupported FOURCC" },
        { "v210", psz, rgBuffer, 4096, MAKEFOURCC('v', '2', '1', '0'), 6, 2, 0, E_INVALIDARG, "Unsupported FOURCC" },
        { "RGB8", psz, rgBuffer, 4096, 0xE436EB7A, 4, 2, 0, E_INVALIDARG, "Unsupported FOURCC" },
        { "YUY2 width 3", psz, rgBuffer, 4096, MAKEFOURCC('Y', 'U', 'Y', '2'), 3, 2, 0, E_INVALIDARG,
          "(nWidth % 2) == 0" },
        { "UYVY width 5", psz, rgBuffer, 4096, MAKEFOURCC('U', 'Y', 'V', 'Y'), 5, 2, 0, E_INVALIDARG,
          "(nWidth % 2) == 0" },
        { "YV12 width 3", psz, rgBuffer, 4096, MAKEFOURCC('Y', 'V', '1', '2'), 3, 2, 0, E_INVALIDARG,
          "(nWidth % 2) == 0" },
        { "I420 height 3", psz, rgBuffer, 4096, MAKEFOURCC('I', '4', '2', '0'), 4, 3, 0, E_INVALIDARG,
          "(nH % 2) == 0" },
        { "I420 height -3", psz, rgBuffer, 4096, MAKEFOURCC('I', '4', '2', '0'), 4, -3, 0, E_INVALIDARG,
          "(nH % 2) == 0" },
        { "RGB24 width 3 line 11", psz, rgBuffer, 4096, 0xE436EB7D, 3, 2, 11, E_INVALIDARG, "cbRow <= cbRowSize" },
        { "RGB565 width 3 line 7", psz, rgBuffer, 4096, 0xE436EB7B, 3, 2, 7, E_INVALIDARG, "cbRow <= cbRowSize" },
        { "buffer one byte short", psz, rgBuffer, 23, 0xE436EB7D, 3, 2, 0, E_INVALIDARG, "cbNeeded <= cbBuffer" },
        { "stride past the buffer", psz, rgBuffer, 4096, 0xE436EB7E, 2, 2, 4094, E_INVALIDARG,
          "cbNeeded <= cbBuffer" },
        { "planar chroma past the buffer", psz, rgBuffer, 23, MAKEFOURCC('Y', 'V', '1', '2'), 4, 4, 0, E_INVALIDARG,
          "cbNeeded <= cbBuffer" },
        { "header larger than the sample", psz, rgBuffer, 4096, 0xE436EB7E, 1920, -1080, 0, E_INVALIDARG,
          "cbNeeded <= cbBuffer" },
        { "line beyond 32 bits", psz, rgBuffer, 4096, 0xE436EB7E, 0x40000000, 2, 0, E_INVALIDARG,
          "cbRow <= 0xFFFFFFFFu" },
        { "file beyond 32 bits", psz, rgBuffer, 0xFFFFFFFF, 0xE436EB7E, 0x3FFFFFFF, 1, 0, E_INVALIDARG,
          "cbImage + cbOffBits <= 0xFFFFFFFFu" },
        { "lowest height", psz, rgBuffer, 4096, 0xE436EB7E, 2, -2147483647L - 1, 0, E_INVALIDARG, "cbNeeded <= cbBuffer" },
    };
    for (const auto& c : s_rgCases)
    {
        SCOPED_TRACE(c.pszName);
        log.m_log.m_lines.clear();
        EXPECT_EQ(c.hr, SavePictureAsBitmap(c.pszFile, c.pBuffer, c.cbBuffer, c.dwFcc, c.nWidth, c.lHeight,
                                            c.cbRowSize));
        EXPECT_FALSE(FileExists(strPath));
        EXPECT_TRUE(log.m_log.HasAssert(c.pszAssert));
    }

    // RGB24 of width 3 takes a line size of exactly 12.
    EXPECT_EQ(S_OK, SavePictureAsBitmap(psz, rgBuffer, 24, 0xE436EB7D, 3, 2, 12));
    EXPECT_EQ(54u + 24, ReadFileBytes(strPath).size());
}

TEST_F(BitmapWriter, CreateErrorsBecomeHresults)
{
    BYTE rgBuffer[16] = {};
    const std::wstring strPath = m_strDir + L"\\missing\\x.bmp";
    EXPECT_EQ(static_cast<HRESULT>(0x80070003),
              SavePictureAsBitmap(strPath.c_str(), rgBuffer, 16, 0xE436EB7E, 2, 2, 0));

    // A file held open without sharing cannot be replaced.
    const std::wstring strBusy = Path(L"busy.bmp");
    HANDLE h = CreateFileW(strBusy.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION),
              SavePictureAsBitmap(strBusy.c_str(), rgBuffer, 16, 0xE436EB7E, 2, 2, 0));
    CloseHandle(h);
}

} // namespace
