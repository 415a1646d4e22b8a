// Dumps that ask objects: samples, their lateness against a clock,
// allocators, a pin's media types and filter, and stream capabilities.
#include "DumpFakes.h"

using namespace dumps;
using fakes::CFakeFilter;
using fakes::CFakePin;

namespace {

const DWORD_PTR kCat = atlTraceGeneral;
using Lines_t = std::vector<std::wstring>;

// A sample with times, media times, flags, IMediaSample2 and a buffer.
TEST(SampleDump, EveryPartOfTheLine)
{
    BYTE buffer[16];
    Ref<CFakeSample> s(new CFakeSample);
    s->m_tStart = 12345678;
    s->m_tStop = 12745678;
    s->m_hrMediaTime = S_OK;
    s->m_llStart = 1000;
    s->m_llStop = 1001;
    s->m_hrSync = S_OK;
    s->m_hrDiscontinuity = S_OK;
    s->m_bSample2 = true;
    s->m_dwTypeFlags = 0x4;
    s->m_dwStreamId = 0x2;
    s->m_pBuffer = buffer;
    s->m_cbSize = 16;
    s->m_cbActual = 12;
    CRecordingLogScope log;
    Debug_Sample(kCat, 0, s, L"[Spy 1]", TRUE);
    const Lines_t expected = {L"[Spy 1] tS=1.234'5678  tE=1.274'5678  mS=1 000  mE=1 001 flags={101} TF=0x4 sId=0x2 al=12 s=16 p=0x" +
                              Ptr(buffer) + L"\n"};
    EXPECT_EQ(expected, Lines(log.m_log, 0));
    EXPECT_EQ(36u, s->m_cbPropsAsked);
    EXPECT_EQ(1, s->RefCount());
}

struct SampleCase
{
    const char* name;
    std::function<void(CFakeSample*)> setup;
    BOOL bBuffer;
    const wchar_t* expected;
};

class SampleDumpCases : public ::testing::TestWithParam<SampleCase>
{
};

TEST_P(SampleDumpCases, TheSampleIsDumpedOnOneLine)
{
    Ref<CFakeSample> s(new CFakeSample);
    s->m_tStart = 10000;
    s->m_tStop = 20000;
    GetParam().setup(s);
    CRecordingLogScope log;
    Debug_Sample(kCat, 0, s, NULL, GetParam().bBuffer);
    EXPECT_EQ(Lines_t{GetParam().expected}, Lines(log.m_log, 0));
    EXPECT_EQ(1, s->RefCount());
}

const SampleCase kSampleCases[] = {
    {"StartOnly", [](CFakeSample* s) { s->m_hrTime = VFW_S_NO_STOP_TIME; }, FALSE,
     L"tS=0.001  tE=? (0x40270)  mS/mE=? (0x80040251) flags={000}\n"},
    {"NoTimes", [](CFakeSample* s) { s->m_hrTime = VFW_E_SAMPLE_TIME_NOT_SET; }, FALSE,
     L"tS/tE=? (0x80040249)  mS/mE=? (0x80040251) flags={000}\n"},
    {"PrerollOnly", [](CFakeSample* s) { s->m_hrPreroll = S_OK; }, FALSE,
     L"tS=0.001  tE=0.002  mS/mE=? (0x80040251) flags={010}\n"},
    {"PropertiesRefused",
     [](CFakeSample* s) {
         s->m_bSample2 = true;
         s->m_hrProps = E_INVALIDARG;
     },
     FALSE, L"tS=0.001  tE=0.002  mS/mE=? (0x80040251) flags={000}\n"},
    {"NoPointer",
     [](CFakeSample* s) {
         s->m_hrPointer = E_POINTER;
         s->m_cbSize = 100;
         s->m_cbActual = -1;
     },
     TRUE, L"tS=0.001  tE=0.002  mS/mE=? (0x80040251) flags={000} al=-1 s=100 p=? (0x80004003)\n"},
};

INSTANTIATE_TEST_SUITE_P(Samples, SampleDumpCases, ::testing::ValuesIn(kSampleCases),
                         [](const ::testing::TestParamInfo<SampleCase>& i) { return std::string(i.param.name); });

// An attached type is dumped under "MT: " and freed with its pUnk.
TEST(SampleDump, AnAttachedTypeIsDumpedAndFreedWithItsPUnk)
{
    Ref<CCountedUnknown> unk(new CCountedUnknown);
    AM_MEDIA_TYPE mt = fakes::MakeType(MEDIATYPE_Video, MEDIASUBTYPE_RGB24, GUID_NULL, NULL, 0);
    mt.pUnk = unk;
    Ref<CFakeSample> s(new CFakeSample);
    s->m_hrTime = VFW_E_SAMPLE_TIME_NOT_SET;
    s->m_pmtAttached = &mt;
    CRecordingLogScope log;
    Debug_Sample(kCat, 2, s, L"p");
    const Lines_t expected = {
        L"p tS/tE=? (0x80040249)  mS/mE=? (0x80040251) flags={000}\n",
        L"p Media type attached to sample:\n",
        L"MT: ( MEDIATYPE_Video / MEDIASUBTYPE_RGB24 / GUID_NULL ), size=0, cbForm=0, fix:N, compr:N\n",
        L"MT: @@@@ pUnk = 0x" + Ptr(static_cast<IUnknown*>(unk.p)) + L"\n",
    };
    EXPECT_EQ(expected, Lines(log.m_log, 2));
    EXPECT_EQ(1, unk->RefCount()) << "the sample's copy of the type is freed";
}

struct LagCase
{
    const char* name;
    HRESULT hrSample;
    HRESULT hrClock;
    const wchar_t* expected;
};

class SampleLagCases : public ::testing::TestWithParam<LagCase>
{
};

// tS 2 s, stream start 1 s, clock 2.5 s: the sample is half a second early.
TEST_P(SampleLagCases, TheLagLineComparesTheSampleWithTheClock)
{
    Ref<CFakeSample> s(new CFakeSample);
    s->m_hrTime = GetParam().hrSample;
    s->m_tStart = 20000000;
    s->m_tStop = 20400000;
    Ref<CFakeClock> clock(new CFakeClock);
    clock->m_hr = GetParam().hrClock;
    clock->m_tTime = 25000000;
    CRecordingLogScope log;
    Debug_SampleLag(kCat, 0, s, 10000000, clock, L"[Spy 1]");
    EXPECT_EQ(Lines_t{GetParam().expected}, Lines(log.m_log, 0));
}

const LagCase kLagCases[] = {
    {"BothRead", S_OK, S_OK, L"[Spy 1] Diff=0.500, tS=2.000, tStart=1.000, clock=2.500\n"},
    {"ClockSFalse", VFW_S_NO_STOP_TIME, S_FALSE, L"[Spy 1] Diff=0.500, tS=2.000, tStart=1.000, clock=2.500 (S_FALSE)\n"},
    {"ClockFailed", S_OK, E_FAIL, L"###Err### [Spy 1] pRefClock->GetTime()=0x80004005, tS=2.000, tStart=1.000\n"},
    {"SampleFailed", VFW_E_SAMPLE_TIME_NOT_SET, S_FALSE,
     L"[Spy 1] pSample->GetTime()=0x80040249, shift=1.500, clock=2.500 (S_FALSE), tStart=1.000\n"},
    {"BothFailed", VFW_E_SAMPLE_TIME_NOT_SET, E_UNEXPECTED,
     L"###Err### [Spy 1] pSample->GetTime()=0x80040249, pRefClock->GetTime()=0x8000FFFF\n"},
};

INSTANTIATE_TEST_SUITE_P(Lag, SampleLagCases, ::testing::ValuesIn(kLagCases),
                         [](const ::testing::TestParamInfo<LagCase>& i) { return std::string(i.param.name); });

TEST(SampleLag, AMissingClockIsAnErrorAndTheSampleIsNotAsked)
{
    Ref<CFakeSample> s(new CFakeSample);
    CRecordingLogScope log;
    Debug_SampleLag(kCat, 0, s, 0, NULL);
    EXPECT_EQ(Lines_t{L"###Err### Debug_SampleLag(): Empty pointer to IReferenceClock\n"}, Lines(log.m_log, 0));
    EXPECT_EQ(0, s->m_cCalls);
}

// A caller's prefix and its blank are cut together at 255 characters.
TEST(SampleLag, LongPrefixIsCutWithItsBlank)
{
    Ref<CFakeSample> s(new CFakeSample);
    for (size_t cch : {254u, 255u, 300u})
    {
        const std::wstring prefix(cch, L'p');
        CRecordingLogScope log;
        Debug_SampleLag(kCat, 0, s, 0, NULL, prefix.c_str());
        const std::wstring kept = (prefix + L" ").substr(0, 255);
        EXPECT_EQ(Lines_t{L"###Err### " + kept + L"Debug_SampleLag(): Empty pointer to IReferenceClock\n"},
                  Lines(log.m_log, 0))
            << cch;
    }
}

TEST(AllocatorDump, DumpsThePropertiesOrTheFailure)
{
    Ref<CFakeAllocator> a(new CFakeAllocator);
    a->m_props = {4, 65536, 16, 8};
    ALLOCATOR_PROPERTIES props = {1, 1, 1, 0};
    CRecordingLogScope log;
    Debug_Allocator(kCat, 8, a, L"@@@@ [Spy 1 Out]");
    EXPECT_TRUE(a->m_bZeroed);
    a->m_hr = VFW_E_SIZENOTSET;
    Debug_Allocator(kCat, 8, a);
    Debug_AllocatorProps(kCat, 8, &props, L"req");
    const Lines_t expected = {
        L"@@@@ [Spy 1 Out] IMemAllocator=0x" + Ptr(static_cast<IMemAllocator*>(a.p)) + L", props = { 4, 65536, 16, 8 }\n",
        L"###Err### Debug_Allocator(): pAllocator->GetProperties()=0x80040212\n",
        L"req { 1, 1, 1, 0 }\n",
    };
    EXPECT_EQ(expected, Lines(log.m_log));
}

const std::wstring kBegin = L"----------------------------------- Pin media types : BEGIN\n";
const std::wstring kEnd = L"----------------------------------- Pin media types : END\n";

struct PinTypesCase
{
    const char* name;
    std::function<void(CFakePin*, CFakeMediaTypes*)> setup;
    Lines_t between;
};

class PinMediaTypes : public ::testing::TestWithParam<PinTypesCase>
{
};

TEST_P(PinMediaTypes, BetweenBeginAndEnd)
{
    Ref<CFakePin> pin(new CFakePin(L"In", PINDIR_INPUT));
    Ref<CFakeMediaTypes> types(new CFakeMediaTypes);
    types->m_types = {fakes::MakeType(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, GUID_NULL, NULL, 0),
                      fakes::MakeType(MEDIATYPE_Video, MEDIASUBTYPE_UYVY, GUID_NULL, NULL, 0)};
    pin->m_pMediaTypes = types;
    GetParam().setup(pin, types);
    CRecordingLogScope log;
    Debug_PinMediaTypes(kCat, 2, pin);
    Lines_t expected = {kBegin};
    expected.insert(expected.end(), GetParam().between.begin(), GetParam().between.end());
    expected.push_back(kEnd);
    EXPECT_EQ(expected, Lines(log.m_log, 2));
    EXPECT_EQ(1, pin->RefCount());
    EXPECT_EQ(1, types->RefCount());
}

const std::wstring kYuy2 = L"MT: ( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / GUID_NULL ), size=0, cbForm=0, fix:N, compr:N\n";
const std::wstring kUyvy = L"MT: ( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / GUID_NULL ), size=0, cbForm=0, fix:N, compr:N\n";

const PinTypesCase kPinTypesCases[] = {
    {"Two", [](CFakePin*, CFakeMediaTypes*) {}, {kYuy2, kUyvy}},
    {"EnumFails", [](CFakePin* p, CFakeMediaTypes*) { p->m_hrEnumMediaTypes = E_OUTOFMEMORY; },
     {L"###Err### Debug_PinMediaTypes(): pPin->EnumMediaTypes()=0x8007000E\n"}},
    {"ResetFails", [](CFakePin*, CFakeMediaTypes* t) { t->m_hrReset = VFW_E_ENUM_OUT_OF_SYNC; },
     {L"###Err### Debug_PinMediaTypes(): spEnumMT->Reset()=0x80040203\n"}},
    {"NextFails", [](CFakePin*, CFakeMediaTypes* t) { t->m_nFailAt = 1; },
     {kYuy2, L"###Err### Debug_PinMediaTypes(): spEnumMT->Next()=0x8000FFFF\n"}},
    // An enumerator that answers S_OK with nothing would answer so for ever.
    {"BadDataEndsTheList", [](CFakePin*, CFakeMediaTypes* t) { t->m_nBadAt = 1; },
     {kYuy2, L"###Err### Debug_PinMediaTypes(): bad data from spEnumMT->Next(): cFetched=0, pmt=0x0000000000000000\n"}},
};

INSTANTIATE_TEST_SUITE_P(Pins, PinMediaTypes, ::testing::ValuesIn(kPinTypesCases),
                         [](const ::testing::TestParamInfo<PinTypesCase>& i) { return std::string(i.param.name); });

TEST(FilterFromPin, GivesTheClassNameOrTheFailure)
{
    Ref<CFakeFilter> filter(new CFakeFilter(L"F", CLSID_AsyncReader));
    Ref<CFakePin> pin(new CFakePin(L"Out", PINDIR_OUTPUT));
    filter->AddPin(pin);
    CRecordingLogScope log;
    Debug_FilterFromPin(kCat, 8, L"+++++++++++++++ [Spy 1 In] receive connection from ", pin);
    filter->m_hrGetClassID = E_NOTIMPL;
    Debug_FilterFromPin(kCat, 8, NULL, pin);
    pin->m_bNoOwner = true;
    Debug_FilterFromPin(kCat, 8, L"P ", pin);
    pin->m_hrQueryPinInfo = E_FAIL;
    Debug_FilterFromPin(kCat, 8, L"P ", pin);
    const Lines_t expected = {
        L"+++++++++++++++ [Spy 1 In] receive connection from filter [Async Reader]\n",
        L"###Err### Debug_FilterFromPin(): pFilter->GetClassID()=0x80004001\n",
        L"###Err### P Debug_FilterFromPin(): rgPinInfo.pFilter == NULL\n",
        L"###Err### P Debug_FilterFromPin(): pPin->QueryPinInfo()=0x80004005\n",
    };
    EXPECT_EQ(expected, Lines(log.m_log));
    EXPECT_EQ(1, filter->RefCount());
}

TEST(VideoStandards, NamesJoinedAndUnknownBits)
{
    WCHAR sz[512];
    EXPECT_STREQ(L"NTSC_M|PAL_B", VideoStandardNames(0x11, sz, 512));
    EXPECT_STREQ(L"UNK", VideoStandardNames(0x8, sz, 512));
    EXPECT_STREQ(L"", VideoStandardNames(0, sz, 512));
    EXPECT_STREQ(L"PAL_N_COMBO|UNK|UNK", VideoStandardNames(0x80200000 | 0x100000, sz, 512));
}

std::vector<BYTE> Bytes(const void* p, size_t cb)
{
    return std::vector<BYTE>(static_cast<const BYTE*>(p), static_cast<const BYTE*>(p) + cb);
}

TEST(StreamConfigDump, VideoCapabilitiesAreDumpedFieldByField)
{
    VIDEO_STREAM_CONFIG_CAPS caps = {};
    caps.guid = FORMAT_VideoInfo;
    caps.VideoStandard = 0x11;
    caps.InputSize = {720, 576};
    caps.MinCroppingSize = {1, 2};
    caps.MaxCroppingSize = {3, 4};
    caps.CropGranularityX = 5;
    caps.CropGranularityY = 6;
    caps.CropAlignX = 7;
    caps.CropAlignY = 8;
    caps.MinOutputSize = {9, 10};
    caps.MaxOutputSize = {11, 12};
    caps.OutputGranularityX = 13;
    caps.OutputGranularityY = 14;
    caps.StretchTapsX = 15;
    caps.StretchTapsY = 16;
    caps.ShrinkTapsX = 17;
    caps.ShrinkTapsY = 18;
    caps.MinFrameInterval = 333333;
    caps.MaxFrameInterval = 10000000;
    caps.MinBitsPerSecond = 100;
    caps.MaxBitsPerSecond = 200;
    VIDEO_STREAM_CONFIG_CAPS caps2 = caps;
    caps2.VideoStandard = 0;

    Ref<CFakeStreamConfig> sc(new CFakeStreamConfig);
    sc->m_nSize = sizeof(VIDEO_STREAM_CONFIG_CAPS);
    sc->m_types = {fakes::MakeType(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, GUID_NULL, NULL, 0),
                   fakes::MakeType(MEDIATYPE_Video, MEDIASUBTYPE_UYVY, GUID_NULL, NULL, 0),
                   fakes::MakeType(MEDIATYPE_Video, MEDIASUBTYPE_UYVY, GUID_NULL, NULL, 0)};
    sc->m_caps = {Bytes(&caps, sizeof(caps)), Bytes(&caps2, sizeof(caps2)), Bytes(&caps2, sizeof(caps2))};
    sc->m_nFailAt = 2;
    CRecordingLogScope log;
    Debug_AMStreamConfig(kCat, 2, static_cast<IAMStreamConfig*>(sc.p), L"[In] ");
    const std::wstring sc0 = L"[In]  0 SC: ";
    const Lines_t expected = {
        L"=================================== [In] IAMStreamConfig: count 3, size 128\n",
        L"[In]  0 MT:  ( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / GUID_NULL ), size=0, cbForm=0, fix:N, compr:N\n",
        sc0 + L"guid: FORMAT_VideoInfo, VideoStandard: NTSC_M|PAL_B (0x11)\n",
        sc0 + L"InputSize: [720,576], MinCroppingSize: [1,2], MaxCroppingSize: [3,4]\n",
        sc0 + L"CropGranularityX=5, CropGranularityY=6, CropAlignX=7, CropAlignY=8\n",
        sc0 + L"MinOutputSize: [9,10], MaxOutputSize: [11,12], OutputGranularityX=13, OutputGranularityY=14\n",
        sc0 + L"StretchTapsX=15, StretchTapsY=16, ShrinkTapsX=17, ShrinkTapsY=18\n",
        sc0 + L"MinFrameInterval=0.033'3333, MaxFrameInterval=1.000, MinBitsPerSecond=100, MaxBitsPerSecond=200\n",
        L"\n",
        L"[In]  1 MT:  ( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / GUID_NULL ), size=0, cbForm=0, fix:N, compr:N\n",
        L"[In]  1 SC: guid: FORMAT_VideoInfo, VideoStandard:  (0x0)\n",
        L"[In]  1 SC: InputSize: [720,576], MinCroppingSize: [1,2], MaxCroppingSize: [3,4]\n",
        L"[In]  1 SC: CropGranularityX=5, CropGranularityY=6, CropAlignX=7, CropAlignY=8\n",
        L"[In]  1 SC: MinOutputSize: [9,10], MaxOutputSize: [11,12], OutputGranularityX=13, OutputGranularityY=14\n",
        L"[In]  1 SC: StretchTapsX=15, StretchTapsY=16, ShrinkTapsX=17, ShrinkTapsY=18\n",
        L"[In]  1 SC: MinFrameInterval=0.033'3333, MaxFrameInterval=1.000, MinBitsPerSecond=100, MaxBitsPerSecond=200\n",
        L"\n",
        L"###Err### [In] Debug_AMStreamConfig(): GetStreamCaps( 2 )=0x80004005\n",
        L"=================================== IAMStreamConfig: END\n",
    };
    EXPECT_EQ(expected, Lines(log.m_log, 2));
    EXPECT_EQ(1, sc->RefCount());
}

TEST(StreamConfigDump, AudioCapabilitiesAndUnknownSizes)
{
    AUDIO_STREAM_CONFIG_CAPS caps = {};
    caps.guid = MEDIATYPE_Audio;
    caps.MinimumChannels = 1;
    caps.MaximumChannels = 2;
    caps.ChannelsGranularity = 1;
    caps.MinimumBitsPerSample = 8;
    caps.MaximumBitsPerSample = 16;
    caps.BitsPerSampleGranularity = 8;
    caps.MinimumSampleFrequency = 8000;
    caps.MaximumSampleFrequency = 48000;
    caps.SampleFrequencyGranularity = 1;
    Ref<CFakeStreamConfig> sc(new CFakeStreamConfig);
    sc->m_nSize = sizeof(AUDIO_STREAM_CONFIG_CAPS);
    sc->m_types = {fakes::MakeType(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, GUID_NULL, NULL, 0)};
    sc->m_caps = {Bytes(&caps, sizeof(caps))};
    CRecordingLogScope log;
    Debug_AMStreamConfig(kCat, 2, static_cast<IAMStreamConfig*>(sc.p));
    // A size no real structure has: the types are still listed.
    sc->m_nSize = 20;
    sc->m_caps = {std::vector<BYTE>(20, 0xCC)};
    Debug_AMStreamConfig(kCat, 2, static_cast<IAMStreamConfig*>(sc.p));
    // A size no buffer should be made for: GetStreamCaps is not asked.
    sc->m_nSize = 0x7FFFFFFF;
    const int cAsked = sc->m_cGetStreamCaps;
    Debug_AMStreamConfig(kCat, 2, static_cast<IAMStreamConfig*>(sc.p));
    EXPECT_EQ(cAsked, sc->m_cGetStreamCaps);
    const std::wstring mt0 = L" 0 MT:  ( MEDIATYPE_Audio / MEDIASUBTYPE_PCM / GUID_NULL ), size=0, cbForm=0, fix:N, compr:N\n";
    const Lines_t expected = {
        L"=================================== IAMStreamConfig: count 1, size 52\n",
        mt0,
        L" 0 SC: guid: MEDIATYPE_Audio, MinimumChannels=1, MaximumChannels=2, ChannelsGranularity=1\n",
        L" 0 SC: MinimumBitsPerSample=8, MaximumBitsPerSample=16, BitsPerSampleGranularity=8\n",
        L" 0 SC: MinimumSampleFrequency=8000, MaximumSampleFrequency=48000, SampleFrequencyGranularity=1\n",
        L"\n",
        L"=================================== IAMStreamConfig: END\n",
        L"=================================== IAMStreamConfig: count 1, size 20\n",
        mt0,
        L"###Err### Debug_AMStreamConfig(): GetStreamCaps( 0 ): Unknown struct\n",
        L"\n",
        L"=================================== IAMStreamConfig: END\n",
        L"=================================== IAMStreamConfig: count 1, size 2147483647\n",
        L"###Err### Debug_AMStreamConfig(): GetStreamCaps( 0 ): Unknown struct\n",
        L"=================================== IAMStreamConfig: END\n",
    };
    EXPECT_EQ(expected, Lines(log.m_log, 2));
}

TEST(StreamConfigDump, NotOfferedOrNoCapabilities)
{
    Ref<CFakeStreamConfig> sc(new CFakeStreamConfig);
    sc->m_bOffered = false;
    CRecordingLogScope log;
    Debug_AMStreamConfig(kCat, 2, static_cast<IAMStreamConfig*>(sc.p), L"x ");
    sc->m_bOffered = true;
    sc->m_nSize = 128;
    Debug_AMStreamConfig(kCat, 2, static_cast<IAMStreamConfig*>(sc.p));
    sc->m_hrCount = E_NOTIMPL;
    Debug_AMStreamConfig(kCat, 2, static_cast<IAMStreamConfig*>(sc.p));
    const Lines_t expected = {
        L"### x Debug_AMStreamConfig(): IAMStreamConfig not supported\n",
        L"=================================== IAMStreamConfig: count 0, size 128\n",
        L"=================================== IAMStreamConfig: END\n",
        L"###Err### Debug_AMStreamConfig(): GetNumberOfCapabilities()=0x80004001\n",
    };
    EXPECT_EQ(expected, Lines(log.m_log, 2));
    EXPECT_EQ(1, sc->RefCount());
}

} // namespace
