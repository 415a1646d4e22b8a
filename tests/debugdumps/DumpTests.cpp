// Dumps of structures: media types with each kind of format block (and
// blocks too short for their structure), memory, bitmap and wave headers,
// DV information, VBI headers and colour controls.
#include "DumpFakes.h"

#include <functional>

using namespace dumps;

namespace {

const DWORD_PTR kCat = atlTraceGeneral;

std::wstring Hex32(const void* p)
{
    wchar_t sz[16];
    swprintf(sz, 16, L"%X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
    return sz;
}

TEST(TraceMemory, TwentyBytesMakeTwoLinesAndAnEmptyOne)
{
    BYTE b[20];
    for (int i = 0; i < 20; ++i)
        b[i] = static_cast<BYTE>(i);
    b[1] = 0x7F;
    b[2] = 0x80;
    b[3] = 'A';
    CRecordingLogScope log;
    EXPECT_TRUE(TraceMemory(kCat, 4, 20, b, L"Title:"));
    const std::vector<std::wstring> expected = {
        L"Title: Trace from address 0x" + Ptr(b) + L" (20 bytes)\n",
        L"0x" + Ptr(b) + L": 00 7F 80 41  04 05 06 07 | 08 09 0A 0B  0C 0D 0E 0F   .\x7F.A............\n",
        L"0x" + Ptr(b + 16) + L": 10 11 12 13              |                            ....\n",
        L"\n",
    };
    EXPECT_EQ(expected, Lines(log.m_log, 4));
    // The character column starts at character 54 of the line text.
    EXPECT_EQ(L'.', expected[1][4 + 16 + 54]);
}

TEST(TraceMemory, NothingToShowWritesOnlyTheHeader)
{
    BYTE b[4] = {};
    CRecordingLogScope log;
    EXPECT_FALSE(TraceMemory(kCat, 8, 0, b, NULL));
    EXPECT_FALSE(TraceMemory(kCat, 8, 16, NULL, NULL));
    EXPECT_FALSE(TraceMemory(kCat, 8, -5, b, NULL));
    const std::vector<std::wstring> expected = {
        L"Trace from address 0x" + Ptr(b) + L" (0 bytes)\n",
        L"Trace from address 0x" + Ptr(nullptr) + L" (16 bytes)\n",
        L"Trace from address 0x" + Ptr(b) + L" (-5 bytes)\n",
    };
    EXPECT_EQ(expected, Lines(log.m_log));
}

// A media type over a format block that the case builds.
struct TypeCase
{
    const char* name;
    std::function<void(AM_MEDIA_TYPE&, std::vector<BYTE>&)> build;
    // The expected lines, given the format block's address.
    std::function<std::vector<std::wstring>(const BYTE*)> expected;
};

using Lines_t = std::vector<std::wstring>;

std::function<Lines_t(const BYTE*)> Fixed(Lines_t lines)
{
    return [lines](const BYTE*) { return lines; };
}

// What TraceMemory writes for cb bytes at pb, built here on its own.
Lines_t MemoryLines(const std::wstring& title, const BYTE* pb, int cb)
{
    Lines_t v = {title + L" Trace from address 0x" + Ptr(pb) + L" (" + std::to_wstring(cb) + L" bytes)\n"};
    for (int n = 0; n < cb; n += 16)
    {
        std::wstring hex, chars;
        for (int i = 0; i < 16; ++i)
        {
            wchar_t sz[4] = L"  ";
            if (n + i < cb)
            {
                swprintf(sz, 4, L"%02X", pb[n + i]);
                const BYTE b = pb[n + i];
                chars += (b >= 0x20 && b <= 0x7F) ? static_cast<wchar_t>(b) : L'.';
            }
            hex += sz;
            hex += (i == 3 || i == 11) ? L"  " : (i == 7 ? L" | " : L" ");
        }
        v.push_back(L"0x" + Ptr(pb + n) + L": " + hex + L"  " + chars + L"\n");
    }
    v.push_back(L"\n");
    return v;
}

Lines_t operator+(Lines_t a, const Lines_t& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

template <class T>
T& Place(std::vector<BYTE>& block, size_t cb)
{
    block.assign(cb < sizeof(T) ? sizeof(T) : cb, 0);
    return *reinterpret_cast<T*>(block.data());
}

void Video(AM_MEDIA_TYPE& mt, const GUID& format, size_t cb)
{
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_YUY2;
    mt.formattype = format;
    mt.bFixedSizeSamples = TRUE;
    mt.lSampleSize = 829440;
    mt.cbFormat = static_cast<ULONG>(cb);
}

// The fields VIDEOINFOHEADER and VIDEOINFOHEADER2 share.
template <class T>
void FillVideoHeader(T& vih)
{
    vih.rcSource = {0, 0, 720, 576};
    vih.rcTarget = {1, 2, 3, 4};
    vih.dwBitRate = 1000;
    vih.dwBitErrorRate = 2;
    vih.AvgTimePerFrame = 400000;
}

void FillBitmap(BITMAPINFOHEADER& bmi)
{
    bmi.biSize = sizeof(BITMAPINFOHEADER);
    bmi.biWidth = 720;
    bmi.biHeight = -576;
    bmi.biPlanes = 1;
    bmi.biBitCount = 16;
    bmi.biCompression = MAKEFOURCC('Y', 'U', 'Y', '2');
    bmi.biSizeImage = 829440;
}

void Audio(AM_MEDIA_TYPE& mt, std::vector<BYTE>& block, WORD cbSize, size_t cbBlock, WORD wTag = WAVE_FORMAT_PCM)
{
    WAVEFORMATEX& wfx = Place<WAVEFORMATEX>(block, cbBlock < sizeof(WAVEFORMATEXTENSIBLE) ? sizeof(WAVEFORMATEXTENSIBLE) : cbBlock);
    wfx.wFormatTag = wTag;
    wfx.nChannels = 2;
    wfx.nSamplesPerSec = 44100;
    wfx.nAvgBytesPerSec = 176400;
    wfx.nBlockAlign = 4;
    wfx.wBitsPerSample = 16;
    wfx.cbSize = cbSize;
    for (size_t i = sizeof(WAVEFORMATEX); i < block.size(); ++i)
        block[i] = static_cast<BYTE>(0xA0 + (i - sizeof(WAVEFORMATEX)));
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = MEDIASUBTYPE_PCM;
    mt.formattype = FORMAT_WaveFormatEx;
    mt.bFixedSizeSamples = TRUE;
    mt.lSampleSize = 4;
    mt.cbFormat = static_cast<ULONG>(cbBlock);
}

const std::wstring kVideoSummary =
    L"MT: ( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_VideoInfo ), size=829440, cbForm=88, fix:Y, compr:N\n";
const std::wstring kRectangles = L"MT: src=[0,0:720,576], targ=[1,2:3,4], rate=1000, errRate=2, AvgT=0.040\n";
const std::wstring kBitmap = L"MT:  size=40, w=720, h=-576, planes=1, bits=16, compress=YUY2, sizeImg=829440\n";
const std::wstring kAudioSummary =
    L"MT: ( MEDIATYPE_Audio / MEDIASUBTYPE_PCM / FORMAT_WaveFormatEx ), size=4, cbForm=%, fix:Y, compr:N\n";

std::wstring AudioSummary(int cb)
{
    std::wstring s = kAudioSummary;
    s.replace(s.find(L'%'), 1, std::to_wstring(cb));
    return s;
}

std::wstring Wave(int cbSize)
{
    return L"MT:  WAVEFORMATEX: Tag=0x1, chan=2, nPerSec=44100, nAvg=176400, align=4, bits=16  size=" +
           std::to_wstring(cbSize) + L"\n";
}

class MediaTypeDump : public ::testing::TestWithParam<TypeCase>
{
};

TEST_P(MediaTypeDump, EachFormatIsDumpedAsItsLines)
{
    AM_MEDIA_TYPE mt = {};
    std::vector<BYTE> block;
    GetParam().build(mt, block);
    if (mt.cbFormat && !mt.pbFormat)
        mt.pbFormat = block.data();
    CRecordingLogScope log;
    Debug_MediaType(kCat, 8, &mt);
    EXPECT_EQ(GetParam().expected(block.data()), Lines(log.m_log));
}

const TypeCase kTypeCases[] = {
    {"VideoInfo",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) {
         VIDEOINFOHEADER& vih = Place<VIDEOINFOHEADER>(block, sizeof(VIDEOINFOHEADER));
         FillVideoHeader(vih);
         FillBitmap(vih.bmiHeader);
         Video(mt, FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER));
     },
     Fixed({kVideoSummary, kRectangles, kBitmap})},
    {"VideoInfoWithPelsAndColours",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) {
         VIDEOINFOHEADER& vih = Place<VIDEOINFOHEADER>(block, sizeof(VIDEOINFOHEADER));
         FillVideoHeader(vih);
         FillBitmap(vih.bmiHeader);
         vih.bmiHeader.biXPelsPerMeter = 2835;
         vih.bmiHeader.biClrImportant = 7;
         Video(mt, FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER));
     },
     Fixed({kVideoSummary, kRectangles, kBitmap, L"MT:  XPels=2835, YPels=0, ClrUsed=0, ClrImp=7\n"})},
    {"VideoInfoTooShortForTheBitmap",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) {
         FillVideoHeader(Place<VIDEOINFOHEADER>(block, sizeof(VIDEOINFOHEADER)));
         Video(mt, FORMAT_VideoInfo, 60);
     },
     Fixed({L"MT: ( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_VideoInfo ), size=829440, cbForm=60, fix:Y, compr:N\n",
      kRectangles, L"###Err### Debug_MediaType(): format block too short, cbFormat=60, needed 88\n"})},
    {"VideoInfoTooShortForAnything",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) {
         FillVideoHeader(Place<VIDEOINFOHEADER>(block, sizeof(VIDEOINFOHEADER)));
         Video(mt, FORMAT_MPEGVideo, 47);
     },
     Fixed({L"MT: ( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_MPEGVideo ), size=829440, cbForm=47, fix:Y, compr:N\n",
      L"###Err### Debug_MediaType(): format block too short, cbFormat=47, needed 88\n"})},
    {"VideoInfo2Interlaced",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) {
         VIDEOINFOHEADER2& vih = Place<VIDEOINFOHEADER2>(block, sizeof(VIDEOINFOHEADER2));
         FillVideoHeader(vih);
         vih.dwInterlaceFlags = 0x5;
         vih.dwCopyProtectFlags = 0x1;
         vih.dwPictAspectRatioX = 16;
         vih.dwPictAspectRatioY = 9;
         vih.dwControlFlags = 0x80;
         FillBitmap(vih.bmiHeader);
         Video(mt, FORMAT_VideoInfo2, sizeof(VIDEOINFOHEADER2));
     },
     Fixed({L"MT: ( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_VideoInfo2 ), size=829440, cbForm=112, fix:Y, compr:N\n",
      kRectangles, L"MT: ilace=0x5 (INTERLACED), copProt=0x1, aspect={16,9}, ctrl=0x80\n", kBitmap})},
    {"VideoInfo2Progressive",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) {
         VIDEOINFOHEADER2& vih = Place<VIDEOINFOHEADER2>(block, sizeof(VIDEOINFOHEADER2));
         FillVideoHeader(vih);
         vih.dwInterlaceFlags = 0x2;
         FillBitmap(vih.bmiHeader);
         Video(mt, FORMAT_VideoInfo2, 100);
     },
     Fixed({L"MT: ( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_VideoInfo2 ), size=829440, cbForm=100, fix:Y, compr:N\n",
      kRectangles, L"MT: ilace=0x2, copProt=0x0, aspect={0,0}, ctrl=0x0\n",
      L"###Err### Debug_MediaType(): format block too short, cbFormat=100, needed 112\n"})},
    {"Mpeg2VideoShortHeader",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) {
         const size_t cb = offsetof(MPEG2VIDEOINFO, dwSequenceHeader) + 20;
         MPEG2VIDEOINFO& m2 = Place<MPEG2VIDEOINFO>(block, cb);
         FillVideoHeader(m2.hdr);
         FillBitmap(m2.hdr.bmiHeader);
         m2.dwStartTimeCode = 0x12;
         m2.cbSequenceHeader = 20;
         m2.dwProfile = 4;
         m2.dwLevel = 8;
         m2.dwFlags = 0x3;
         BYTE* pSeq = reinterpret_cast<BYTE*>(m2.dwSequenceHeader);
         for (int i = 0; i < 20; ++i)
             pSeq[i] = static_cast<BYTE>(0x30 + i);
         Video(mt, FORMAT_MPEG2Video, cb);
     },
     [](const BYTE* pb) {
         return Lines_t{L"MT: ( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_MPEG2Video ), size=829440, cbForm=152, fix:Y, "
                        L"compr:N\n",
                        kRectangles, L"MT: ilace=0x0, copProt=0x0, aspect={0,0}, ctrl=0x0\n",
                        L"MT: startCode=0x12, cbHeader=20, profile=4, level=8, flags=0x3, seqHeader[0]=0x33323130\n"} +
                MemoryLines(L"dwSequenceHeader[] bytes: ", pb + offsetof(MPEG2VIDEOINFO, dwSequenceHeader), 20) +
                Lines_t{kBitmap};
     }},
    {"Mpeg2VideoLongHeader",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) {
         const size_t cb = offsetof(MPEG2VIDEOINFO, dwSequenceHeader) + 2000;
         MPEG2VIDEOINFO& m2 = Place<MPEG2VIDEOINFO>(block, cb);
         FillVideoHeader(m2.hdr);
         FillBitmap(m2.hdr.bmiHeader);
         m2.cbSequenceHeader = 2000;
         BYTE* pSeq = reinterpret_cast<BYTE*>(m2.dwSequenceHeader);
         for (int i = 0; i < 2000; ++i)
             pSeq[i] = static_cast<BYTE>(i * 7);
         Video(mt, FORMAT_MPEG2Video, cb);
     },
     [](const BYTE* pb) {
         return Lines_t{L"MT: ( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_MPEG2Video ), size=829440, cbForm=2132, fix:Y, "
                        L"compr:N\n",
                        kRectangles, L"MT: ilace=0x0, copProt=0x0, aspect={0,0}, ctrl=0x0\n",
                        L"MT: startCode=0x0, cbHeader=2000, profile=0, level=0, flags=0x0, seqHeader[0]=0x150E0700\n"} +
                MemoryLines(L"dwSequenceHeader[] first 1024 bytes: ", pb + offsetof(MPEG2VIDEOINFO, dwSequenceHeader),
                            1024) +
                Lines_t{kBitmap};
     }},
    {"WaveFormatEx",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) { Audio(mt, block, 0, sizeof(WAVEFORMATEX)); },
     Fixed({AudioSummary(18), Wave(0)})},
    {"WaveFormatExtensible",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) {
         Audio(mt, block, 22, sizeof(WAVEFORMATEXTENSIBLE), WAVE_FORMAT_EXTENSIBLE);
         WAVEFORMATEXTENSIBLE& wfe = *reinterpret_cast<WAVEFORMATEXTENSIBLE*>(block.data());
         wfe.Samples.wValidBitsPerSample = 24;
         wfe.dwChannelMask = 0x3;
         wfe.SubFormat = MEDIASUBTYPE_PCM;
     },
     Fixed({AudioSummary(40),
      L"MT:  WAVEFORMATEX: Tag=0xFFFE, chan=2, nPerSec=44100, nAvg=176400, align=4, bits=16  size=22\n",
      L"MT:  WAVEFORMATEXTENSIBLE: ValidBitsPerSample=24, ChannelMask=0x3, SubFormat=MEDIASUBTYPE_PCM\n"})},
    {"WaveFormatExTwoExtraBytes",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) { Audio(mt, block, 2, sizeof(WAVEFORMATEX) + 2); },
     [](const BYTE* pb) {
         return Lines_t{AudioSummary(20), Wave(2)} + MemoryLines(L"WAVEFORMATEX extra bytes: ", pb + 18, 2);
     }},
    {"WaveFormatExManyExtraBytes",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) { Audio(mt, block, 2000, sizeof(WAVEFORMATEX) + 2000); },
     [](const BYTE* pb) {
         return Lines_t{AudioSummary(2018), Wave(2000)} +
                MemoryLines(L"WAVEFORMATEX first 1024 extra bytes: ", pb + 18, 1024);
     }},
    {"WaveFormatExExtraBytesBeyondTheBlock",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) { Audio(mt, block, 100, sizeof(WAVEFORMATEX) + 3); },
     [](const BYTE* pb) {
         return Lines_t{AudioSummary(21), Wave(100)} + MemoryLines(L"WAVEFORMATEX extra bytes: ", pb + 18, 3);
     }},
    // A 16-byte PCMWAVEFORMAT block holds every field but cbSize, which is
    // not read past the block (the 7 behind it is not the block's): no extra
    // bytes, and no error.
    {"PcmWaveFormat",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) { Audio(mt, block, 7, sizeof(PCMWAVEFORMAT)); },
     Fixed({AudioSummary(16), Wave(0)})},
    {"WaveFormatTooShort",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) { Audio(mt, block, 0, 15); },
     Fixed({AudioSummary(15), L"###Err### Debug_MediaType(): format block too short, cbFormat=15, needed 16\n"})},
    {"DvInfo",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) {
         DVINFO& dv = Place<DVINFO>(block, sizeof(DVINFO));
         dv.dwDVAAuxSrc = 0xD1;
         dv.dwDVAAuxCtl = 0xD2;
         dv.dwDVAAuxSrc1 = 0xD3;
         dv.dwDVAAuxCtl1 = 0xD4;
         dv.dwDVVAuxSrc = 0xD5;
         dv.dwDVVAuxCtl = 0xD6;
         dv.dwDVReserved[0] = 0xD7;
         dv.dwDVReserved[1] = 0xFFFFFFFF;
         mt.majortype = MEDIATYPE_Interleaved;
         mt.subtype = MEDIASUBTYPE_dvsd;
         mt.formattype = FORMAT_DvInfo;
         mt.cbFormat = sizeof(DVINFO);
     },
     Fixed({L"MT: ( MEDIATYPE_Interleaved / FCC_dvsd / FORMAT_DvInfo ), size=0, cbForm=32, fix:N, compr:N\n",
      L"MT:  \n\tdwDVAAuxSrc =000000D1, dwDVAAuxCtl =000000D2 (1st 5/6 DIF seq)\n\tdwDVAAuxSrc1=000000D3, "
      L"dwDVAAuxCtl1=000000D4 (2nd 5/6 DIF seq)\n\tdwDVVAuxSrc =000000D5, dwDVVAuxCtl =000000D6 (Video)\n"
      L"\tdwDVReserved[0]=000000D7, dwDVReserved[1]=FFFFFFFF\n"})},
    {"OtherFormat",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>& block) {
         block.assign(8, 0xEE);
         mt.majortype = MEDIATYPE_Stream;
         mt.subtype = MEDIASUBTYPE_Avi;
         mt.formattype = FORMAT_None;
         mt.bTemporalCompression = TRUE;
         mt.cbFormat = 8;
     },
     Fixed({L"MT: ( MEDIATYPE_Stream / MEDIASUBTYPE_Avi / FORMAT_None ), size=0, cbForm=8, fix:N, compr:Y\n"})},
    {"NoFormatBlock",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>&) {
         mt.majortype = MEDIATYPE_Video;
         mt.subtype = MEDIASUBTYPE_YUY2;
         mt.formattype = FORMAT_VideoInfo;
     },
     Fixed({L"MT: ( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_VideoInfo ), size=0, cbForm=0, fix:N, compr:N\n"})},
    {"SizeWithoutBlock",
     [](AM_MEDIA_TYPE& mt, std::vector<BYTE>&) {
         mt.majortype = MEDIATYPE_Video;
         mt.formattype = FORMAT_VideoInfo;
         mt.cbFormat = 88;
     },
     Fixed({L"MT: ( MEDIATYPE_Video / GUID_NULL / FORMAT_VideoInfo ), size=0, cbForm=88, fix:N, compr:N\n",
      L"###Err### Debug_MediaType(): bad format parameters, cbFormat=88, pbFormat=0x0\n"})},
};

INSTANTIATE_TEST_SUITE_P(Formats, MediaTypeDump, ::testing::ValuesIn(kTypeCases),
                         [](const ::testing::TestParamInfo<TypeCase>& i) { return std::string(i.param.name); });

TEST(MediaTypeDump, CallersPrefixUnknownAndBlockWithoutSize)
{
    Ref<CCountedUnknown> unk(new CCountedUnknown);
    BYTE block[8] = {};
    AM_MEDIA_TYPE mt = {};
    mt.majortype = MEDIATYPE_Audio;
    mt.subtype = MEDIASUBTYPE_PCM;
    mt.formattype = FORMAT_WaveFormatEx;
    mt.pbFormat = block;
    mt.pUnk = unk;
    CRecordingLogScope log;
    Debug_MediaType(kCat, 2, &mt, L"[In]");
    const Lines_t expected = {
        L"[In] ( MEDIATYPE_Audio / MEDIASUBTYPE_PCM / FORMAT_WaveFormatEx ), size=0, cbForm=0, fix:N, compr:N\n",
        L"[In] @@@@ pUnk = 0x" + Ptr(static_cast<IUnknown*>(unk.p)) + L"\n",
        L"###Err### Debug_MediaType(): bad format parameters, cbFormat=0, pbFormat=0x" + Hex32(block) + L"\n",
    };
    EXPECT_EQ(expected, Lines(log.m_log, 2));
    EXPECT_EQ(1, unk->RefCount());
}

struct BitmapCase
{
    const char* name;
    LONG xPels, yPels;
    DWORD clrUsed, clrImportant;
    const wchar_t* second; // NULL: no second line
};

class BitmapSecondLine : public ::testing::TestWithParam<BitmapCase>
{
};

TEST_P(BitmapSecondLine, OnlyWhenSomethingIsToBeSaid)
{
    const BitmapCase& c = GetParam();
    BITMAPINFOHEADER bmi = {};
    bmi.biSize = 40;
    bmi.biWidth = 8;
    bmi.biHeight = 2;
    bmi.biPlanes = 1;
    bmi.biBitCount = 24;
    bmi.biXPelsPerMeter = c.xPels;
    bmi.biYPelsPerMeter = c.yPels;
    bmi.biClrUsed = c.clrUsed;
    bmi.biClrImportant = c.clrImportant;
    CRecordingLogScope log;
    Debug_BitmapInfoHeader(kCat, 8, &bmi);
    Lines_t expected = {L"BITMAPINFOHEADER: size=40, w=8, h=2, planes=1, bits=24, compress=BI_RGB, sizeImg=0\n"};
    if (c.second)
        expected.push_back(std::wstring(L"BITMAPINFOHEADER: ") + c.second + L"\n");
    EXPECT_EQ(expected, Lines(log.m_log));
}

const BitmapCase kBitmapCases[] = {
    {"Nothing", 0, 0, 0, 0, NULL},
    {"PelsOnly", 0, 3780, 0, 0, L"XPels=0, YPels=3780"},
    {"ColoursOnly", 0, 0, 256, 0, L"ClrUsed=256, ClrImp=0"},
    {"Both", 2835, 2835, 16, 16, L"XPels=2835, YPels=2835, ClrUsed=16, ClrImp=16"},
};

INSTANTIATE_TEST_SUITE_P(Cases, BitmapSecondLine, ::testing::ValuesIn(kBitmapCases),
                         [](const ::testing::TestParamInfo<BitmapCase>& i) { return std::string(i.param.name); });

TEST(StructureDumps, WaveDvVbiAndColourControlsWithCallersPrefix)
{
    WAVEFORMATEX wfx[2] = {};
    wfx[0].wFormatTag = WAVE_FORMAT_PCM;
    wfx[0].nChannels = 1;
    wfx[0].nSamplesPerSec = 8000;
    wfx[0].nAvgBytesPerSec = 8000;
    wfx[0].nBlockAlign = 1;
    wfx[0].wBitsPerSample = 8;
    wfx[0].cbSize = 1;
    reinterpret_cast<BYTE*>(wfx + 1)[0] = 0x5A;
    DVINFO dv = {};
    KS_VBIINFOHEADER vbi = {10, 21, 28636360, 1, 2, 3, 4, 0x20, 1600, 1600, 33600};
    DDCOLORCONTROL cc = {};
    cc.dwFlags = DDCOLOR_BRIGHTNESS | DDCOLOR_HUE | DDCOLOR_COLORENABLE;
    cc.lBrightness = 750;
    cc.lContrast = 99;
    cc.lHue = -180;
    cc.lColorEnable = 1;
    DDCOLORCONTROL none = {};

    CRecordingLogScope log;
    Debug_WaveFormatEx(kCat, 4, wfx, L"A");
    Debug_WaveFormatEx(kCat, 4, wfx);
    Debug_DvInfo(kCat, 4, &dv, L"D");
    Debug_KsVBIInfoHeader(kCat, 4, &vbi, L"[In] ");
    Debug_KsVBIInfoHeader(kCat, 4, &vbi);
    Debug_ColorControls(kCat, 4, &cc);
    Debug_ColorControls(kCat, 4, &none);
    const BYTE* pExtra = reinterpret_cast<const BYTE*>(wfx + 1);
    const Lines_t expected = Lines_t{
        L"A WAVEFORMATEX: Tag=0x1, chan=1, nPerSec=8000, nAvg=8000, align=1, bits=8  size=1\n"} +
        MemoryLines(L"WAVEFORMATEX extra bytes: ", pExtra, 1) +
        Lines_t{L"WAVEFORMATEX: Tag=0x1, chan=1, nPerSec=8000, nAvg=8000, align=1, bits=8  size=1\n"} +
        MemoryLines(L"WAVEFORMATEX extra bytes: ", pExtra, 1) +
        Lines_t{
            L"D \n\tdwDVAAuxSrc =00000000, dwDVAAuxCtl =00000000 (1st 5/6 DIF seq)\n\tdwDVAAuxSrc1=00000000, "
            L"dwDVAAuxCtl1=00000000 (2nd 5/6 DIF seq)\n\tdwDVVAuxSrc =00000000, dwDVVAuxCtl =00000000 (Video)\n"
            L"\tdwDVReserved[0]=00000000, dwDVReserved[1]=00000000\n",
            L"[In] : KS_VBIINFOHEADER: StartLine=10, EndLine=21, SamplingFrequency=28636360\n",
            L"[In] : KS_VBIINFOHEADER: Min/Max LineStartTime: 1:2, ActualLine Start/End Time=3:4\n",
            L"[In] : KS_VBIINFOHEADER: VideoStandard=0x20, SamplesPerLine=1600, StrideInBytes=1600, BufferSize=33600\n",
            L": KS_VBIINFOHEADER: StartLine=10, EndLine=21, SamplingFrequency=28636360\n",
            L": KS_VBIINFOHEADER: Min/Max LineStartTime: 1:2, ActualLine Start/End Time=3:4\n",
            L": KS_VBIINFOHEADER: VideoStandard=0x20, SamplesPerLine=1600, StrideInBytes=1600, BufferSize=33600\n",
            L"*** Surface properties : dwFlags=0x45  Brightness=750  Hue=-180  ColorEnable=1\n",
            L"*** Surface properties : dwFlags=0x0\n",
        };
    EXPECT_EQ(expected, Lines(log.m_log, 4));
}

// A NULL structure or object: one error line at the dump's level, nothing else.
TEST(StructureDumps, NullPointersGiveOneErrorLine)
{
    CRecordingLogScope log;
    Debug_MediaType(kCat, 2, NULL, L"x");
    Debug_WaveFormatEx(kCat, 2, NULL, L"x");
    Debug_BitmapInfoHeader(kCat, 2, NULL);
    Debug_BitmapInfoHeader(kCat, 2, NULL, L"x");
    Debug_DvInfo(kCat, 2, NULL);
    Debug_Sample(kCat, 2, NULL, L"x");
    Debug_SampleLag(kCat, 2, NULL, 0, NULL, L"x");
    Debug_Allocator(kCat, 2, NULL, L"x");
    Debug_AllocatorProps(kCat, 2, NULL);
    Debug_FilterFromPin(kCat, 2, L"x ", NULL);
    Debug_AMStreamConfig(kCat, 2, NULL, L"x ");
    Debug_KsVBIInfoHeader(kCat, 2, NULL, L"x ");
    Debug_ColorControls(kCat, 2, NULL);
    Debug_PinMediaTypes(kCat, 2, NULL);
    const Lines_t expected = {
        L"###Err### Debug_MediaType(): Empty media type pointer\n",
        L"###Err### Debug_WaveFormatEx() : Empty WAVEFORMATEX pointer\n",
        L"###Err### BITMAPINFOHEADER: Debug_BitmapInfoHeader(): Empty header pointer\n",
        L"###Err### x Debug_BitmapInfoHeader(): Empty header pointer\n",
        L"###Err### DVINFO: Debug_DvInfo(): Empty DVINFO pointer\n",
        L"###Err### x Empty sample pointer\n",
        L"###Err### x Debug_SampleLag(): Empty pointer to IMediaSample\n",
        L"###Err### x Debug_Allocator(): Empty allocator pointer\n",
        L"###Err### Debug_AllocatorProps(): Empty pointer\n",
        L"###Err### x Debug_FilterFromPin(): Empty pin pointer\n",
        L"###Err### x Debug_AMStreamConfig(): Empty interface pointer\n",
        L"###Err### x Debug_KsVBIInfoHeader(): Empty pointer to struct\n",
        L"###Err### Debug_ColorControls(): Empty pointer\n",
        L"----------------------------------- Pin media types : BEGIN\n",
        L"Debug_PinMediaTypes(): Empty pin pointer\n",
        L"----------------------------------- Pin media types : END\n",
    };
    EXPECT_EQ(expected, Lines(log.m_log, 2));
}

} // namespace
