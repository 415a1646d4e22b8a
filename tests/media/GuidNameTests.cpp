// Text helpers: reference times, grouped numbers, FOURCC codes and GUID names.
#include <DSParsers.h>

#include "TestLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

GUID Guid(const wchar_t* psz)
{
    GUID g = GUID_NULL;
    EXPECT_EQ(S_OK, CLSIDFromString(psz, &g)) << psz;
    return g;
}

// A GUID of the FOURCC base {XXXXXXXX-0000-0010-8000-00AA00389B71}.
GUID BaseGuid(DWORD dwData1)
{
    GUID g = MEDIASUBTYPE_YUY2;
    g.Data1 = dwData1;
    return g;
}

std::wstring Name(const GUID& g, UINT nMaxSym = 128)
{
    WCHAR sz[128];
    return Guid2Name(g, sz, nMaxSym);
}

TEST(TimeText, ReferenceTimesAreWrittenInSecondsAndTicks)
{
    const struct
    {
        REFERENCE_TIME t;
        const wchar_t* pszText;
    } s_rgCases[] = {
        { 0, L"0.000" },
        { 1, L"0.000'0001" },
        { 12345678, L"1.234'5678" },
        { 10000000, L"1.000" },
        { 1230450000, L"123.045" },
        { -1, L"-0.000'0001" },
        { -5000, L"-0.000'5000" },
        { -10000, L"-0.001" },
        { -15000000, L"-1.500" },
        { -15000001, L"-1.500'0001" },
        { 9999999999999999LL, L"999999999.999'9999" },
        { 10000000000000000LL, L"1000000000.000" },
        { 20000000000000000LL, L"2000000000.000" },
        { 20000000000000001LL, L"2000000000.000'0001" },
        { -15000000000000000LL, L"-1500000000.000" },
        { -10000000000000000LL, L"-1000000000.000" },
        { MAXLONGLONG - 1, L"922337203685.477'5806" },
        { MINLONGLONG + 1, L"-922337203685.477'5807" },
        { MAXLONGLONG, L"MAXLONGLONG" },
        { MINLONGLONG, L"MINLONGLONG" },
    };
    for (const auto& c : s_rgCases)
    {
        WCHAR sz[50];
        wmemset(sz, L'#', 50);
        EXPECT_EQ(sz, ReferenceTimeToText(c.t, sz));
        EXPECT_STREQ(c.pszText, sz) << c.t;
        EXPECT_LT(wcslen(sz), REFERENCE_TIME_TEXT_SIZE);
    }
}

TEST(TimeText, NumbersAreGroupedByThousands)
{
    const struct
    {
        LONGLONG n;
        const wchar_t* pszText;
    } s_rgCases[] = {
        { 0, L"0" },
        { 7, L"7" },
        { 999, L"999" },
        { 1000, L"1 000" },
        { 1000001, L"1 000 001" },
        { 1234567, L"1 234 567" },
        { 1000000000000LL, L"1 000 000 000 000" },
        { -1, L"-1" },
        { -1000, L"-1 000" },
        { -999999, L"-999 999" },
        { MAXLONGLONG - 1, L"9 223 372 036 854 775 806" },
        { MINLONGLONG + 1, L"-9 223 372 036 854 775 807" },
        { MAXLONGLONG, L"MAXLONGLONG" },
        { MINLONGLONG, L"MINLONGLONG" },
    };
    for (const auto& c : s_rgCases)
    {
        WCHAR sz[50];
        wmemset(sz, L'#', 50);
        EXPECT_EQ(sz, LongLongToText(c.n, sz));
        EXPECT_STREQ(c.pszText, sz) << c.n;
        EXPECT_LT(wcslen(sz), LONGLONG_TEXT_SIZE);
    }
}

// Times and numbers of every magnitude and sign, against texts the bounded
// formatter makes by the rules: a time is its sign, its whole seconds, a
// point, three digits of milliseconds and, when not 0, an apostrophe and four
// digits of 100-ns units; a number is its sign and its digits in groups of
// three from the right, separated by blanks.
TEST(TimeText, EveryMagnitudeAsTheFormatterWritesIt)
{
    std::vector<LONGLONG> values;
    for (LONGLONG p = 1;; p *= 10)
    {
        for (LONGLONG v : {p - 1, p, p + 1, p / 2 * 3, p / 3 * 7})
        {
            values.push_back(v);
            values.push_back(-v);
        }
        if (p > MAXLONGLONG / 10)
            break;
    }
    ULONGLONG x = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 3000; ++i)
    {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        const LONGLONG v = static_cast<LONGLONG>(x >> (i % 62));
        values.push_back(i % 2 ? v : -v);
    }
    for (LONGLONG v : values)
    {
        if (v == MINLONGLONG || v == MAXLONGLONG)
            continue;
        const ULONGLONG u = v < 0 ? 0 - static_cast<ULONGLONG>(v) : static_cast<ULONGLONG>(v);
        const wchar_t* pszSign = v < 0 ? L"-" : L"";
        WCHAR szWanted[64];
        const unsigned frac = static_cast<unsigned>(u % 10000);
        if (frac)
            _snwprintf_s(szWanted, 64, _TRUNCATE, L"%s%I64u.%03u'%04u", pszSign, u / 10000000,
                         static_cast<unsigned>(u / 10000 % 1000), frac);
        else
            _snwprintf_s(szWanted, 64, _TRUNCATE, L"%s%I64u.%03u", pszSign, u / 10000000,
                         static_cast<unsigned>(u / 10000 % 1000));
        WCHAR sz[50];
        EXPECT_STREQ(szWanted, ReferenceTimeToText(v, sz)) << v;

        WCHAR szDigits[32];
        _snwprintf_s(szDigits, 32, _TRUNCATE, L"%I64u", u);
        std::wstring grouped = pszSign;
        const size_t cchDigits = wcslen(szDigits);
        for (size_t i = 0; i < cchDigits; ++i)
        {
            if (i > 0 && (cchDigits - i) % 3 == 0)
                grouped += L' ';
            grouped += szDigits[i];
        }
        EXPECT_EQ(grouped, LongLongToText(v, sz)) << v;
    }
}

TEST(TimeText, NullBuffersGiveNullAndAnAssertion)
{
    CRecordingLogScope log;
    EXPECT_EQ(nullptr, ReferenceTimeToText(0, NULL));
    EXPECT_EQ(nullptr, LongLongToText(0, NULL));
    EXPECT_TRUE(log.m_log.HasAssert("pszConv != NULL"));
    EXPECT_EQ(nullptr, Fourcc2Str(0, NULL));
    EXPECT_TRUE(log.m_log.HasAssert("pszFCC != NULL && _T(\"Fourcc2Str()\")"));
    EXPECT_EQ(nullptr, Fourcc2Name(0, NULL));
    EXPECT_TRUE(log.m_log.HasAssert("pszFCC != NULL && _T(\"Fourcc2Name()\")"));
}

TEST(FourccText, CharactersCompressionNamesOrNumbers)
{
    const struct
    {
        DWORD fcc;
        const wchar_t* pszStr;
        const wchar_t* pszName;
    } s_rgCases[] = {
        { MAKEFOURCC('Y', 'U', 'Y', '2'), L"YUY2", L"YUY2" },
        { MAKEFOURCC('y', 'v', '1', '2'), L"yv12", L"yv12" },
        { 0x20202020, L"    ", L"    " },
        { 0, L"", L"BI_RGB" },
        { 1, L"", L"BI_RLE8" },
        { 2, L"", L"BI_RLE4" },
        { 3, L"", L"BI_BITFIELDS" },
        { 16, L"", L"0x00000010" },
        { 0xE436EB78, L"", L"RGB1" },
        { 0xE436EB79, L"", L"RGB4" },
        { 0xE436EB7A, L"", L"RGB8" },
        { 0xE436EB7B, L"", L"RGB565" },
        { 0xE436EB7C, L"", L"RGB555" },
        { 0xE436EB7D, L"", L"RGB24" },
        { 0xE436EB7E, L"", L"RGB32" },
        { 0x297C55AF, L"", L"ARGB1555" },
        { 0x6E6415E6, L"", L"ARGB4444" },
        { 0x773C9AC0, L"", L"ARGB32" },
        { 0x7F595559, L"", L"0x7F595559" },
        { 0x32595519, L"", L"0x32595519" },
        { 0xFFFFFFFF, L"", L"0xFFFFFFFF" },
    };
    for (const auto& c : s_rgCases)
    {
        WCHAR sz[FOURCC_TEXT_SIZE];
        EXPECT_EQ(sz, Fourcc2Str(c.fcc, sz));
        EXPECT_STREQ(c.pszStr, sz) << std::hex << c.fcc;
        EXPECT_EQ(sz, Fourcc2Name(c.fcc, sz));
        EXPECT_STREQ(c.pszName, sz) << std::hex << c.fcc;
    }
}

TEST(GuidNames, FallbacksForUnknownGuids)
{
    EXPECT_EQ(L"GUID_NULL", Name(GUID_NULL));
    EXPECT_EQ(L"TAG_0x55(MP3)", Name(BaseGuid(0x55)));
    EXPECT_EQ(L"TAG_0x161", Name(BaseGuid(0x161)));
    EXPECT_EQ(L"TAG_0xFFFE", Name(BaseGuid(0xFFFE)));
    EXPECT_EQ(L"MEDIASUBTYPE_PCM", Name(BaseGuid(1))) << "a tag in the table prints by name";
    // 0xFFFF is not below 0xFFFF: it is no tag, its bytes are not printable.
    EXPECT_EQ(L"{0000FFFF-0000-0010-8000-00AA00389B71}", Name(BaseGuid(0xFFFF)));
    EXPECT_EQ(L"FCC_abcd", Name(BaseGuid(MAKEFOURCC('a', 'b', 'c', 'd'))));
    EXPECT_EQ(L"FCC_HDYC", Name(BaseGuid(MAKEFOURCC('H', 'D', 'Y', 'C'))));
    EXPECT_EQ(L"{01636261-0000-0010-8000-00AA00389B71}", Name(BaseGuid(MAKEFOURCC('a', 'b', 'c', '\x01'))));
    EXPECT_EQ(L"{80636261-0000-0010-8000-00AA00389B71}", Name(BaseGuid(MAKEFOURCC('a', 'b', 'c', '\x80'))));
    GUID other = BaseGuid(MAKEFOURCC('a', 'b', 'c', 'd'));
    other.Data4[7] = 0x72;
    EXPECT_EQ(L"{64636261-0000-0010-8000-00AA00389B72}", Name(other)) << "not the FOURCC base";
    EXPECT_EQ(L"{12345678-9ABC-DEF0-1234-56789ABCDEF0}", Name(Guid(L"{12345678-9abc-def0-1234-56789abcdef0}")));
}

TEST(GuidNames, TruncatedToTheBuffer)
{
    EXPECT_EQ(L"IPin", Name(IID_IPin, 5));
    EXPECT_EQ(L"IBas", Name(IID_IBaseFilter, 5));
    EXPECT_EQ(L"", Name(IID_IBaseFilter, 1));
    EXPECT_EQ(L"TAG_", Name(BaseGuid(0x55), 5));
    EXPECT_EQ(L"{1234", Name(Guid(L"{12345678-9abc-def0-1234-56789abcdef0}"), 6));

    CRecordingLogScope log;
    WCHAR sz[8] = L"keep";
    LPWSTR psz = Guid2Name(IID_IPin, sz, 0);
    ASSERT_NE(nullptr, psz);
    EXPECT_STREQ(L"", psz);
    EXPECT_STREQ(L"keep", sz);
    EXPECT_TRUE(log.m_log.HasAssert("nMaxSym > 0 && _T(\"Guid2Name()\")"));
    psz = Guid2Name(IID_IPin, NULL, 8);
    ASSERT_NE(nullptr, psz);
    EXPECT_STREQ(L"", psz);
    EXPECT_TRUE(log.m_log.HasAssert("pszName != NULL && _T(\"Guid2Name()\")"));
}

TEST(GuidNames, PlatformConstantsGetTheirNames)
{
    const struct
    {
        const GUID* pGuid;
        const wchar_t* pszName;
    } s_rgCases[] = {
        { &IID_IPin, L"IPin" },
        { &IID_IBaseFilter, L"IBaseFilter" },
        { &IID_IMemInputPin, L"IMemInputPin" },
        { &IID_IMediaSeeking, L"IMediaSeeking" },
        { &IID_IKsPropertySet, L"IKsPropertySet" },
        { &IID_IMixerPinConfig, L"IMixerPinConfig" },
        { &IID_IUnknown, L"" },
        { &IID_IDispatch, L"IDispatch" },
        { &IID_IWebBrowser2, L"IWebBrowser2" },
        { &MEDIATYPE_Video, L"MEDIATYPE_Video" },
        { &MEDIATYPE_LMRT, L"MEDIATYPE_LMRT" },
        { &MEDIATYPE_Audio, L"MEDIATYPE_Audio" },
        { &MEDIASUBTYPE_YUY2, L"MEDIASUBTYPE_YUY2" },
        { &MEDIASUBTYPE_RGB24, L"MEDIASUBTYPE_RGB24" },
        { &MEDIASUBTYPE_ARGB32, L"MEDIASUBTYPE_ARGB32" },
        { &MEDIASUBTYPE_MPEG2_VIDEO, L"MEDIASUBTYPE_MPEG2_VIDEO" },
        { &FORMAT_VideoInfo, L"FORMAT_VideoInfo" },
        { &FORMAT_VideoInfo2, L"FORMAT_VideoInfo2" },
        { &FORMAT_WaveFormatEx, L"FORMAT_WaveFormatEx" },
        { &FORMAT_MPEG2Video, L"FORMAT_MPEG2Video" },
        { &TIME_FORMAT_MEDIA_TIME, L"TIME_FORMAT_MEDIA_TIME" },
        { &PIN_CATEGORY_CAPTURE, L"PIN_CATEGORY_CAPTURE" },
        { &AMPROPSETID_Pin, L"AMPROPSETID_Pin" },
        { &CLSID_FilterGraph, L"Filter Graph" },
        { &CLSID_AsyncReader, L"Async Reader" },
        { &CLSID_AviSplitter, L"Avi Splitter" },
        { &CLSID_VideoRenderer, L"Video Renderer" },
        { &CLSID_VideoMixingRenderer9, L"Video Mixing Renderer 9" },
        { &CLSID_LegacyAmFilterCategory, L"DirectShow Filters category" },
        { &CLSID_VideoInputDeviceCategory, L"Video Input Device Category" },
        { &AM_KSCATEGORY_CAPTURE, L"WDM Streaming Capture Devices" },
    };
    for (const auto& c : s_rgCases)
    {
        const std::wstring strExpected = c.pszName[0] ? c.pszName : L"{00000000-0000-0000-C000-000000000046}";
        EXPECT_EQ(strExpected, Name(*c.pGuid));
    }
}

TEST(GuidNames, KnownGuidValuesGetTheirNames)
{
    const struct
    {
        const wchar_t* pszGuid;
        const wchar_t* pszName;
    } s_rgCases[] = {
        { L"{E436EBB1-524F-11CE-9F53-0020AF0BA770}", L"System Reference clock" },
        { L"{1643E180-90F5-11CE-97D5-00AA0055595A}", L"Colour space convertor" },
        { L"{25336920-03F9-11CF-8FD0-00AA00686F13}", L"CLSID_HTMLViewer" },
        { L"{33156162-81D6-11D3-8006-00C04FA30A73}", L"WME Sink (\?\?\?)" },
        { L"{DA4E3DA0-D07D-11D0-BD50-00A0C911CE86}", L"Active Movie Categories" },
        { L"{34363268-0000-0010-8000-00AA00389B71}", L"MEDIASUBTYPE_h264" },
        { L"{34363248-0000-0010-8000-00AA00389B71}", L"MEDIASUBTYPE_H264" },
        { L"{30323449-0000-0010-8000-00AA00389B71}", L"MEDIASUBTYPE_I420" },
        { L"{083863F1-70DE-11D0-BD40-00A0C911CE86}", L"DirectShow Filters category" },
        { L"{736C7275-0000-0010-8000-00AA00389B71}", L"MEDIATYPE_URL_STREAM" },
        { L"{1B544C20-FD0B-11CE-8C63-00AA0044B51E}", L"Avi Splitter" },
        { L"{CD8743A1-3736-11D0-9E69-00C04FD7C15B}", L"Overlay Mixer" },
        // uuids.h's CLSID_MMSPLITTER and dmodshow.h's CLSID_DMOWrapperFilter.
        { L"{3AE86B20-7BE8-11D1-ABE6-00A0C905F375}", L"MPEG-2 Splitter" },
        { L"{94297043-BD82-4DFD-B0DE-8177739C6D20}", L"WMP DMO Container" },
        { L"{C1F400A4-3F08-11D3-9F0B-006008039E37}", L"Null Renderer" },
        { L"{3C7E52D0-9A41-4F0B-8D26-51B7E0A4C913}", L"Norvaleth Spy Filter" },
    { L"{9BC1B781-85E3-11D2-98D0-0080C84E9C39}", L"CyberLink V/SP Decoder" },
    { L"{9BC1B780-85E3-11D2-98D0-0080C84E9C39}", L"CyberLink Audio Decoder" },
    { L"{8ACD52ED-9C2D-4008-9129-DCE955D86065}", L"CyberLink V/SP Decoder 6" },
    { L"{284DC28A-4A7D-442C-BC2E-D7480556E4D8}", L"CyberLink Audio Decoder 6" },
    { L"{43E11D60-7538-11D1-AB9F-00A0240AC114}", L"MGI Soft DVD Navigator" },
    { L"{7EF53EA1-98E5-11D2-BFEA-006097C50E25}", L"MGISoft Video Decoder" },
    { L"{1EDECD41-8B69-11D1-BFE9-006097C50DC9}", L"MGISoft Audio Decoder" },
    { L"{FF482321-94EE-11D1-BFE9-006097C50DC9}", L"MGISoft Subtitle Decoder" },
    { L"{0246CA20-776D-11D2-8010-00104B9B8592}", L"InterVideo Video Decoder" },
    { L"{7E2E0DC1-31FD-11D2-9C21-00104B3801F6}", L"InterVideo Audio Decoder" },
    { L"{145BC783-FC0C-11CF-BE4B-00AA003F29A1}", L"DirectDVD V/SP Decoder" },
    { L"{145BC782-FC0C-11CF-BE4B-00AA003F29A1}", L"DirectDVD Audio Decoder" },
    { L"{595E37C1-A479-11D1-BC3C-006097B18ABC}", L"CineMaster DVD Decoder" },
    { L"{A753A1EC-973E-4718-AF8E-A3F554D45C44}", L"AC3 Audio Decoder" },
    { L"{731B8692-4001-46D4-B1A5-33EC792B4501}", L"Moonlight MPEG2 Demux" },
    { L"{F50B3F13-19C4-11CF-AA9A-02608C9BABA2}", L"Elecard MPEG2 Video Decoder" },
    { L"{E32C3B01-C81B-4D01-8AD4-2B93F7FA544C}", L"Moonlight Audio Decoder" },
    { L"{61DC8C73-3303-4A3B-86DC-20FBC250DCB1}", L"honetech Mpeg2 Video Decoder" },
    { L"{CE1B27BE-851B-45DD-AB26-44389A8F71B4}", L"GPL MPEG-1/2 Decoder" },
    { L"{CB51EFC2-40D6-11D3-B265-00A0C9A3A56F}", L"Ligos MPEG Video Decoder" },
    { L"{96F36D37-C979-4836-8A5D-C4A5A1084828}", L"Ligos MPEG/AC3/LPCM Audio Decoder" },
    { L"{78766964-0000-0010-8000-00AA00389B71}", L"DivX MPEG-4 Video Decoder" },
    { L"{0E6772C0-DD80-11D4-B58F-A86B66D0611C}", L"3ivx D4 Video Decoder" },
    { L"{04FE9017-F873-410E-871E-AB91661A4EF7}", L"fdshow video decoder" },
    { L"{64697678-0000-0010-8000-00AA00389B71}", L"XviD MPEG-4 Video Decoder" },
    { L"{38BE3000-DBF4-11D0-860E-00A024CFEF6D}", L"MPEG Layer-3 Decoder" },
    { L"{30355649-0000-0010-8000-00AA00389B71}", L"Indeo video 5.10 Decompressor" },
    { L"{E30629D2-27E5-11CE-875D-00608CB78066}", L"ACM Audio Capture" },
    { L"{D3CD7858-971A-4838-ACEC-40CA5D529DC8}", L"Morgan Stream Switcher" },
    { L"{AAA22F7E-5AA0-49D9-8C8D-B52B1AA92EB7}", L"Decklink Audio Capture" },
    { L"{1BCC3EF4-724F-4A45-B61D-8D4BBF32C5BF}", L"Decklink Audio Capture 2" },
    { L"{BC90EE8C-F8DC-4776-8DCF-24929C13F9D2}", L"Decklink Audio Capture 3" },
    { L"{1EF51542-B849-4337-B7AE-C980C13F86BF}", L"Decklink Audio Capture 4" },
    { L"{DE6DB48D-66EE-477A-BE4B-522B2253CD95}", L"Decklink Audio Capture 5" },
    { L"{B8E0C8A1-777D-4727-A542-6DF0DF1E1D1C}", L"Decklink Audio Capture 6" },
    { L"{ED1441F5-A132-44E7-9027-14DB5674149B}", L"Decklink Audio Capture 7" },
    { L"{37BD18AA-F5BD-434C-B0C5-7AE570C377A5}", L"Decklink Audio Capture 8" },
    };
    for (const auto& c : s_rgCases)
        EXPECT_EQ(c.pszName, Name(Guid(c.pszGuid))) << c.pszGuid;
}

// Rows whose identifiers have no value in the platform headers or their
// libraries: five are declared nowhere, and IID_ITimerService is declared
// without a value that any library defines.
const wchar_t* const s_rgUnbuilt[] = {
    L"Wave Parser",   L"Overlay Mixer 2",  L"Still Video Source", L"ITimerService",
    L"MEDIASUBTYPE_AAC", L"MEDIASUBTYPE_H264ByteStream",
};

// The names of the well-known table, in the order it is written.
const wchar_t* const s_rgWellKnownNames[] = {
    L"GUID_NULL", L"Filter Graph", L"DVD Graph Builder", L"Capture Graph Builder", L"System Reference clock",
    L"DVD Navigator", L"Async Reader", L"File Source (URL)", L"Colour space convertor", L"Infinite Pin Tee Filter",
    L"Smart Tee Filter", L"Vfw Capture Filter", L"MPEG-1 Audio Decoder", L"MPEG-1 Video Decoder", L"ACM wrapper",
    L"Avi Mux", L"Avi Splitter", L"AVI Compressor", L"AVI Decompressor", L"AVI Draw Filter",
    L"MPEG-1 Stream Splitter", L"MPEG-2 Demultiplexer", L"MPEG-2 Splitter", L"Wave Parser", L"DV Mux",
    L"DV Splitter", L"DV Video Decoder", L"DV Video Encoder", L"Line21 Decoder", L"Overlay Mixer",
    L"Overlay Mixer 2", L"Video Renderer", L"VMR", L"Video Mixing Renderer 9", L"Audio Render",
    L"DirectSound Renderer", L"MIDI Renderer", L"Null Renderer", L"File Writer", L"Asf Reader", L"Asf Writer",
    L"WMP DMO Container", L"WME Sink (\?\?\?)", L"Still Video Source", L"TV Tuner Filter Property Page",
    L"Crossbar Filter Property Page", L"TV Audio Filter Property Page", L"Video Proc Amp Property Page",
    L"Camera Control Property Page", L"Analog Video Decoder Property Page", L"Video Stream Config Property page",
    L"Audio Renderer Advanced Property page", L"Active Movie Categories", L"DirectShow Filters category",
    L"Audio Compressor Category", L"Audio Input Device Category", L"Audio Renderer Category",
    L"DVD HW Decoders Category", L"Midi Renderer Category", L"Video Compressor Category",
    L"Video Input Device Category", L"WDM Streaming Capture Devices", L"WDM Streaming Rendering Devices",
    L"IAMBufferNegotiation", L"IAMDeviceRemoval", L"IAMFilterMiscFlags", L"IAMLatency", L"IAMLine21Decoder",
    L"IAMOpenProgress", L"IAMPushSource", L"IAMStreamConfig", L"IBaseFilter", L"IBasicAudio", L"IBasicVideo",
    L"IBasicVideo2", L"IDvdControl", L"IDvdControl2", L"IDvdGraphBuilder", L"IDvdInfo", L"IDvdInfo2", L"IDvdState",
    L"IEnumFilters", L"IEnumMediaTypes", L"IEnumPins", L"IFileSinkFilter", L"IFileSourceFilter", L"IFilterGraph",
    L"IFilterGraph2", L"IGraphBuilder", L"IIPDVDec", L"IKsPin", L"IKsPropertySet", L"IMediaControl", L"IMediaEvent",
    L"IMediaEventEx", L"IMediaFilter", L"IMediaPosition", L"IMediaSample", L"IMediaSample2", L"IMediaSeeking",
    L"IMemAllocator", L"IMemInputPin", L"IMixerPinConfig", L"IMixerPinConfig2", L"IOverlay", L"IPin",
    L"IQualityControl", L"IReferenceClock", L"IVideoWindow", L"CLSID_HTMLViewer", L"IAdviseSink", L"IAdviseSinkEx",
    L"IBindHost", L"IClientSecurity", L"IConnectionPointContainer", L"IDirectDraw3", L"IDirectDrawSurface",
    L"IDispatch", L"IObjectWithSite", L"IOleClientSite", L"IOleControl", L"IOleControlSite", L"IOleInPlaceFrame",
    L"IOleInPlaceObject", L"IOleInPlaceObjectWindowless", L"IOleInPlaceSite", L"IOleInPlaceSiteEx",
    L"IOleInPlaceSiteWindowless", L"IOleInPlaceUIWindow", L"IOleObject", L"IOleWindow", L"IPersistPropertyBag",
    L"IPersistPropertyBag2", L"IPersistStream", L"IPersistStreamInit", L"IPersistStorage", L"IPropertyNotifySink",
    L"IQuickActivate", L"IRunnableObject", L"IServiceProvider", L"ISpecifyPropertyPages", L"IViewObject",
    L"IViewObjectEx", L"IActiveScript", L"IHTMLDocument2", L"IHTMLLocation", L"IHTMLWindow2", L"IObjectSafety",
    L"IOleCommandTarget", L"IProxyManager", L"ITimerService", L"IWebBrowserApp", L"IWebBrowser2",
    L"MEDIATYPE_AnalogAudio", L"MEDIATYPE_AnalogVideo", L"MEDIATYPE_Video", L"MEDIATYPE_Audio", L"MEDIATYPE_Stream",
    L"MEDIATYPE_DVD_ENCRYPTED_PACK", L"MEDIATYPE_DVD_NAVIGATION", L"MEDIATYPE_MPEG2_PES", L"MEDIATYPE_MPEG2_PACK",
    L"MEDIATYPE_AUXLine21Data", L"MEDIATYPE_File", L"MEDIATYPE_Interleaved", L"MEDIATYPE_LMRT",
    L"MEDIATYPE_MPEG1SystemStream", L"MEDIATYPE_Midi", L"MEDIATYPE_ScriptCommand", L"MEDIATYPE_Text",
    L"MEDIATYPE_Timecode", L"MEDIATYPE_URL_STREAM", L"MEDIATYPE_VBI", L"MEDIASUBTYPE_PCM", L"MEDIASUBTYPE_WAVE",
    L"MEDIASUBTYPE_DOLBY_AC3", L"MEDIASUBTYPE_DOLBY_AC3_SPDIF", L"MEDIASUBTYPE_AAC", L"MEDIASUBTYPE_RAW_SPORT",
    L"MEDIASUBTYPE_SPDIF_TAG_241h", L"MEDIASUBTYPE_RGB1", L"MEDIASUBTYPE_RGB4", L"MEDIASUBTYPE_RGB8",
    L"MEDIASUBTYPE_RGB555", L"MEDIASUBTYPE_RGB565", L"MEDIASUBTYPE_RGB24", L"MEDIASUBTYPE_RGB32",
    L"MEDIASUBTYPE_ARGB32", L"MEDIASUBTYPE_CLPL", L"MEDIASUBTYPE_YUYV", L"MEDIASUBTYPE_IYUV", L"MEDIASUBTYPE_YVU9",
    L"MEDIASUBTYPE_Y411", L"MEDIASUBTYPE_Y41P", L"MEDIASUBTYPE_YUY2", L"MEDIASUBTYPE_YVYU", L"MEDIASUBTYPE_UYVY",
    L"MEDIASUBTYPE_Y211", L"MEDIASUBTYPE_YV12", L"MEDIASUBTYPE_CLJR", L"MEDIASUBTYPE_IF09", L"MEDIASUBTYPE_CPLA",
    L"MEDIASUBTYPE_I420", L"MEDIASUBTYPE_IYU2", L"MEDIASUBTYPE_Y422", L"MEDIASUBTYPE_Y444",
    L"MEDIASUBTYPE_MPEG1System", L"MEDIASUBTYPE_MPEG1Audio", L"MEDIASUBTYPE_MPEG1AudioPayload",
    L"MEDIASUBTYPE_MPEG1Packet", L"MEDIASUBTYPE_MPEG1Payload", L"MEDIASUBTYPE_MPEG1Video",
    L"MEDIASUBTYPE_MPEG1VideoCD", L"MEDIASUBTYPE_MPEG2_PROGRAM", L"MEDIASUBTYPE_MPEG2_TRANSPORT",
    L"MEDIASUBTYPE_MPEG2_AUDIO", L"MEDIASUBTYPE_MPEG2_VIDEO", L"MEDIASUBTYPE_AVC1", L"MEDIASUBTYPE_H264ByteStream",
    L"MEDIASUBTYPE_H264", L"MEDIASUBTYPE_h264", L"MEDIASUBTYPE_DVD_SUBPICTURE", L"MEDIASUBTYPE_DVD_LPCM_AUDIO",
    L"MEDIASUBTYPE_DVD_NAVIGATION_DSI", L"MEDIASUBTYPE_DVD_NAVIGATION_PCI", L"MEDIASUBTYPE_DVD_NAVIGATION_PROVIDER",
    L"KSDATAFORMAT_SUBTYPE_RAW8", L"KSDATAFORMAT_SUBTYPE_CC", L"KSDATAFORMAT_SUBTYPE_NABTS",
    L"MEDIASUBTYPE_TELETEXT", L"MEDIASUBTYPE_Line21_BytePair", L"MEDIASUBTYPE_Line21_GOPPacket",
    L"MEDIASUBTYPE_Line21_VBIRawData", L"MEDIASUBTYPE_QTJpeg", L"MEDIASUBTYPE_QTMovie", L"MEDIASUBTYPE_QTRle",
    L"MEDIASUBTYPE_QTRpza", L"MEDIASUBTYPE_QTSmc", L"MEDIASUBTYPE_DssAudio", L"MEDIASUBTYPE_DssVideo",
    L"MEDIASUBTYPE_VPVBI", L"MEDIASUBTYPE_VPVideo", L"MEDIASUBTYPE_Overlay", L"MEDIASUBTYPE_Avi",
    L"MEDIASUBTYPE_AIFF", L"MEDIASUBTYPE_Asf", L"MEDIASUBTYPE_AU", L"MEDIASUBTYPE_None", L"FORMAT_VideoInfo",
    L"FORMAT_VideoInfo2", L"FORMAT_WaveFormatEx", L"FORMAT_MPEGStreams", L"FORMAT_MPEGVideo", L"FORMAT_MPEG2Audio",
    L"FORMAT_MPEG2Video", L"FORMAT_AnalogVideo", L"FORMAT_DVD_LPCMAudio", L"FORMAT_DolbyAC3", L"FORMAT_DvInfo",
    L"FORMAT_None", L"KSDATAFORMAT_SPECIFIER_VBI", L"PROPSETID_VIDCAP_VIDEOCOMPRESSION", L"KSPROPSETID_CopyProt",
    L"KSPROPSETID_TSRateChange", L"KSPROPSETID_DvdSubPic", L"TIME_FORMAT_FRAME", L"TIME_FORMAT_BYTE",
    L"TIME_FORMAT_SAMPLE", L"TIME_FORMAT_FIELD", L"TIME_FORMAT_MEDIA_TIME", L"AMPROPSETID_Pin",
    L"PIN_CATEGORY_ANALOGVIDEOIN", L"PIN_CATEGORY_CAPTURE", L"PIN_CATEGORY_CC", L"PIN_CATEGORY_EDS",
    L"PIN_CATEGORY_NABTS", L"PIN_CATEGORY_PREVIEW", L"PIN_CATEGORY_STILL", L"PIN_CATEGORY_TELETEXT",
    L"PIN_CATEGORY_TIMECODE", L"PIN_CATEGORY_VBI", L"PIN_CATEGORY_VIDEOPORT", L"PIN_CATEGORY_VIDEOPORT_VBI",
};

TEST(GuidNames, EveryRowResolvesToItsName)
{
    WCHAR sz[128];
    Guid2Name(GUID_NULL, sz, 128); // sorts the tables
    size_t cRows = 0;
    std::vector<std::wstring> names;
    for (const GuidNameNode* pNode = g_pGuidNamesHead; pNode; pNode = pNode->pNext)
    {
        for (unsigned long long i = 0; i < pNode->cElems; ++i)
        {
            const GuidNameRow& row = pNode->pGuidName[i];
            EXPECT_EQ(row.pszName, Name(*row.pGuid)) << "a GUID listed twice, or a lookup that misses";
            if (i > 0)
            {
                EXPECT_LT(memcmp(pNode->pGuidName[i - 1].pGuid, row.pGuid, sizeof(GUID)), 0) << row.pszName;
            }
            if (pNode == g_pGuidNamesHead)
                names.push_back(row.pszName);
            ++cRows;
        }
    }
    EXPECT_EQ(277u + 38u, cRows);

    // The well-known table holds exactly the listed names, less the rows that
    // could not be built.
    std::vector<std::wstring> expected;
    for (const wchar_t* psz : s_rgWellKnownNames)
        if (std::find_if(std::begin(s_rgUnbuilt), std::end(s_rgUnbuilt),
                         [psz](const wchar_t* p) { return 0 == wcscmp(p, psz); }) == std::end(s_rgUnbuilt))
            expected.push_back(psz);
    EXPECT_EQ(283u, sizeof(s_rgWellKnownNames) / sizeof(s_rgWellKnownNames[0]));
    std::sort(expected.begin(), expected.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(expected, names);
}

} // namespace
