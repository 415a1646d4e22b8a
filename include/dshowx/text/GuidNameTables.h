// The GUID-name tables: well-known platform identifiers and known filter
// classes, each row a GUID and its printable name.
//
// The rows stay in the order written here until the first lookup sorts them
// in place (see DSParsers.h), so the tables are writable storage.
#pragma once

#include "DSDefines.h"

#include <dmodshow.h>
#include <ks.h>
#include <ksmedia.h>

// Identifiers of the browser, scripting and document interfaces; their
// declaring headers are large and nothing else here needs them.
extern "C" const IID IID_IActiveScript;
extern "C" const IID IID_IHTMLDocument2;
extern "C" const IID IID_IHTMLLocation;
extern "C" const IID IID_IHTMLWindow2;
extern "C" const IID IID_IObjectSafety;
extern "C" const IID IID_IOleCommandTarget;
extern "C" const IID IID_IWebBrowser2;
extern "C" const IID IID_IWebBrowserApp;

// One row of a GUID-name table.
struct GuidNameRow
{
    const GUID* pGuid;
    const WCHAR* pszName;
};
static_assert(sizeof(GuidNameRow) == 16, "a row is two pointers");

// One table in the list of tables.
struct GuidNameNode
{
    GuidNameRow* pGuidName;
    unsigned long long cElems;
    GuidNameNode* pNext;
};

namespace dsx
{
// Identifiers that no linked library defines.
inline constexpr GUID CLSID_NullRenderer = { 0xC1F400A4, 0x3F08, 0x11D3, { 0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37 } };
inline constexpr GUID CLSID_WMESink = { 0x33156162, 0x81D6, 0x11D3, { 0x80, 0x06, 0x00, 0xC0, 0x4F, 0xA3, 0x0A, 0x73 } };
// The value mingw-w64's htmlguid.h gives; the header only declares it for
// code linked against a library that none of ours links.
inline constexpr GUID CLSID_HTMLViewer = { 0x25336920, 0x03F9, 0x11CF, { 0x8F, 0xD0, 0x00, 0xAA, 0x00, 0x68, 0x6F, 0x13 } };
inline constexpr GUID IID_IDirectDraw3 = { 0x618F8AD4, 0x8B7A, 0x11D0, { 0x8F, 0xCC, 0x00, 0xC0, 0x4F, 0xD9, 0x18, 0x9D } };
inline constexpr GUID KSDATAFORMAT_SUBTYPE_RAW8 = { STATIC_KSDATAFORMAT_SUBTYPE_RAW8 };
inline constexpr GUID KSDATAFORMAT_SUBTYPE_CC = { STATIC_KSDATAFORMAT_SUBTYPE_CC };
inline constexpr GUID KSDATAFORMAT_SUBTYPE_NABTS = { STATIC_KSDATAFORMAT_SUBTYPE_NABTS };
inline constexpr GUID KSDATAFORMAT_SPECIFIER_VBI = { STATIC_KSDATAFORMAT_SPECIFIER_VBI };
inline constexpr GUID PROPSETID_VIDCAP_VIDEOCOMPRESSION = { STATIC_PROPSETID_VIDCAP_VIDEOCOMPRESSION };
// The FOURCC 'urls' type that the headers declare; the linked library's
// constant of this name carries the value of MEDIATYPE_LMRT instead.
inline constexpr GUID MEDIATYPE_URL_STREAM = DSX_FOURCC_SUBTYPE('u', 'r', 'l', 's');

// Class identifiers of the known filters.
inline constexpr GUID g_rgKnownFilterClsids[] = {
    { 0x3C7E52D0, 0x9A41, 0x4F0B, { 0x8D, 0x26, 0x51, 0xB7, 0xE0, 0xA4, 0xC9, 0x13 } }, // Norvaleth Spy Filter
    { 0x9BC1B781, 0x85E3, 0x11D2, { 0x98, 0xD0, 0x00, 0x80, 0xC8, 0x4E, 0x9C, 0x39 } }, // CyberLink V/SP Decoder
    { 0x9BC1B780, 0x85E3, 0x11D2, { 0x98, 0xD0, 0x00, 0x80, 0xC8, 0x4E, 0x9C, 0x39 } }, // CyberLink Audio Decoder
    { 0x8ACD52ED, 0x9C2D, 0x4008, { 0x91, 0x29, 0xDC, 0xE9, 0x55, 0xD8, 0x60, 0x65 } }, // CyberLink V/SP Decoder 6
    { 0x284DC28A, 0x4A7D, 0x442C, { 0xBC, 0x2E, 0xD7, 0x48, 0x05, 0x56, 0xE4, 0xD8 } }, // CyberLink Audio Decoder 6
    { 0x43E11D60, 0x7538, 0x11D1, { 0xAB, 0x9F, 0x00, 0xA0, 0x24, 0x0A, 0xC1, 0x14 } }, // MGI Soft DVD Navigator
    { 0x7EF53EA1, 0x98E5, 0x11D2, { 0xBF, 0xEA, 0x00, 0x60, 0x97, 0xC5, 0x0E, 0x25 } }, // MGISoft Video Decoder
    { 0x1EDECD41, 0x8B69, 0x11D1, { 0xBF, 0xE9, 0x00, 0x60, 0x97, 0xC5, 0x0D, 0xC9 } }, // MGISoft Audio Decoder
    { 0xFF482321, 0x94EE, 0x11D1, { 0xBF, 0xE9, 0x00, 0x60, 0x97, 0xC5, 0x0D, 0xC9 } }, // MGISoft Subtitle Decoder
    { 0x0246CA20, 0x776D, 0x11D2, { 0x80, 0x10, 0x00, 0x10, 0x4B, 0x9B, 0x85, 0x92 } }, // InterVideo Video Decoder
    { 0x7E2E0DC1, 0x31FD, 0x11D2, { 0x9C, 0x21, 0x00, 0x10, 0x4B, 0x38, 0x01, 0xF6 } }, // InterVideo Audio Decoder
    { 0x145BC783, 0xFC0C, 0x11CF, { 0xBE, 0x4B, 0x00, 0xAA, 0x00, 0x3F, 0x29, 0xA1 } }, // DirectDVD V/SP Decoder
    { 0x145BC782, 0xFC0C, 0x11CF, { 0xBE, 0x4B, 0x00, 0xAA, 0x00, 0x3F, 0x29, 0xA1 } }, // DirectDVD Audio Decoder
    { 0x595E37C1, 0xA479, 0x11D1, { 0xBC, 0x3C, 0x00, 0x60, 0x97, 0xB1, 0x8A, 0xBC } }, // CineMaster DVD Decoder
    { 0xA753A1EC, 0x973E, 0x4718, { 0xAF, 0x8E, 0xA3, 0xF5, 0x54, 0xD4, 0x5C, 0x44 } }, // AC3 Audio Decoder
    { 0x731B8692, 0x4001, 0x46D4, { 0xB1, 0xA5, 0x33, 0xEC, 0x79, 0x2B, 0x45, 0x01 } }, // Moonlight MPEG2 Demux
    { 0xF50B3F13, 0x19C4, 0x11CF, { 0xAA, 0x9A, 0x02, 0x60, 0x8C, 0x9B, 0xAB, 0xA2 } }, // Elecard MPEG2 Video Decoder
    { 0xE32C3B01, 0xC81B, 0x4D01, { 0x8A, 0xD4, 0x2B, 0x93, 0xF7, 0xFA, 0x54, 0x4C } }, // Moonlight Audio Decoder
    { 0x61DC8C73, 0x3303, 0x4A3B, { 0x86, 0xDC, 0x20, 0xFB, 0xC2, 0x50, 0xDC, 0xB1 } }, // honetech Mpeg2 Video Decoder
    { 0xCE1B27BE, 0x851B, 0x45DD, { 0xAB, 0x26, 0x44, 0x38, 0x9A, 0x8F, 0x71, 0xB4 } }, // GPL MPEG-1/2 Decoder
    { 0xCB51EFC2, 0x40D6, 0x11D3, { 0xB2, 0x65, 0x00, 0xA0, 0xC9, 0xA3, 0xA5, 0x6F } }, // Ligos MPEG Video Decoder
    { 0x96F36D37, 0xC979, 0x4836, { 0x8A, 0x5D, 0xC4, 0xA5, 0xA1, 0x08, 0x48, 0x28 } }, // Ligos MPEG/AC3/LPCM Audio Decoder
    { 0x78766964, 0x0000, 0x0010, { 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71 } }, // DivX MPEG-4 Video Decoder
    { 0x0E6772C0, 0xDD80, 0x11D4, { 0xB5, 0x8F, 0xA8, 0x6B, 0x66, 0xD0, 0x61, 0x1C } }, // 3ivx D4 Video Decoder
    { 0x04FE9017, 0xF873, 0x410E, { 0x87, 0x1E, 0xAB, 0x91, 0x66, 0x1A, 0x4E, 0xF7 } }, // fdshow video decoder
    { 0x64697678, 0x0000, 0x0010, { 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71 } }, // XviD MPEG-4 Video Decoder
    { 0x38BE3000, 0xDBF4, 0x11D0, { 0x86, 0x0E, 0x00, 0xA0, 0x24, 0xCF, 0xEF, 0x6D } }, // MPEG Layer-3 Decoder
    { 0x30355649, 0x0000, 0x0010, { 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71 } }, // Indeo video 5.10 Decompressor
    { 0xE30629D2, 0x27E5, 0x11CE, { 0x87, 0x5D, 0x00, 0x60, 0x8C, 0xB7, 0x80, 0x66 } }, // ACM Audio Capture
    { 0xD3CD7858, 0x971A, 0x4838, { 0xAC, 0xEC, 0x40, 0xCA, 0x5D, 0x52, 0x9D, 0xC8 } }, // Morgan Stream Switcher
    { 0xAAA22F7E, 0x5AA0, 0x49D9, { 0x8C, 0x8D, 0xB5, 0x2B, 0x1A, 0xA9, 0x2E, 0xB7 } }, // Decklink Audio Capture
    { 0x1BCC3EF4, 0x724F, 0x4A45, { 0xB6, 0x1D, 0x8D, 0x4B, 0xBF, 0x32, 0xC5, 0xBF } }, // Decklink Audio Capture 2
    { 0xBC90EE8C, 0xF8DC, 0x4776, { 0x8D, 0xCF, 0x24, 0x92, 0x9C, 0x13, 0xF9, 0xD2 } }, // Decklink Audio Capture 3
    { 0x1EF51542, 0xB849, 0x4337, { 0xB7, 0xAE, 0xC9, 0x80, 0xC1, 0x3F, 0x86, 0xBF } }, // Decklink Audio Capture 4
    { 0xDE6DB48D, 0x66EE, 0x477A, { 0xBE, 0x4B, 0x52, 0x2B, 0x22, 0x53, 0xCD, 0x95 } }, // Decklink Audio Capture 5
    { 0xB8E0C8A1, 0x777D, 0x4727, { 0xA5, 0x42, 0x6D, 0xF0, 0xDF, 0x1E, 0x1D, 0x1C } }, // Decklink Audio Capture 6
    { 0xED1441F5, 0xA132, 0x44E7, { 0x90, 0x27, 0x14, 0xDB, 0x56, 0x74, 0x14, 0x9B } }, // Decklink Audio Capture 7
    { 0x37BD18AA, 0xF5BD, 0x434C, { 0xB0, 0xC5, 0x7A, 0xE5, 0x70, 0xC3, 0x77, 0xA5 } }, // Decklink Audio Capture 8
};
} // namespace dsx

// Well-known platform identifiers: interfaces, media and format types, time
// formats, property sets, pin and filter categories, and the platform's own
// filters and property pages.
// Six names have no value on this platform and have no row: the Wave
// Parser, Overlay Mixer 2 and Still Video Source classes, MEDIASUBTYPE_AAC
// and MEDIASUBTYPE_H264ByteStream are declared by no header, and
// IID_ITimerService (ocmm.h) is declared without a value that any library
// defines.
inline GuidNameRow g_rgGuidNamesWellKnown[] = {
    { &GUID_NULL, L"GUID_NULL" },
    { &CLSID_FilterGraph, L"Filter Graph" },
    { &CLSID_DvdGraphBuilder, L"DVD Graph Builder" },
    { &CLSID_CaptureGraphBuilder, L"Capture Graph Builder" },
    { &CLSID_SystemClock, L"System Reference clock" },
    { &CLSID_DVDNavigator, L"DVD Navigator" },
    { &CLSID_AsyncReader, L"Async Reader" },
    { &CLSID_URLReader, L"File Source (URL)" },
    { &CLSID_Colour, L"Colour space convertor" },
    { &CLSID_InfTee, L"Infinite Pin Tee Filter" },
    { &CLSID_SmartTee, L"Smart Tee Filter" },
    { &CLSID_VfwCapture, L"Vfw Capture Filter" },
    { &CLSID_CMpegAudioCodec, L"MPEG-1 Audio Decoder" },
    { &CLSID_CMpegVideoCodec, L"MPEG-1 Video Decoder" },
    { &CLSID_ACMWrapper, L"ACM wrapper" },
    { &CLSID_AviDest, L"Avi Mux" },
    { &CLSID_AviSplitter, L"Avi Splitter" },
    { &CLSID_AVICo, L"AVI Compressor" },
    { &CLSID_AVIDec, L"AVI Decompressor" },
    { &CLSID_AVIDraw, L"AVI Draw Filter" },
    { &CLSID_MPEG1Splitter, L"MPEG-1 Stream Splitter" },
    { &CLSID_MPEG2Demultiplexer, L"MPEG-2 Demultiplexer" },
    { &CLSID_MMSPLITTER, L"MPEG-2 Splitter" },
    { &CLSID_DVMux, L"DV Mux" },
    { &CLSID_DVSplitter, L"DV Splitter" },
    { &CLSID_DVVideoCodec, L"DV Video Decoder" },
    { &CLSID_DVVideoEnc, L"DV Video Encoder" },
    { &CLSID_Line21Decoder, L"Line21 Decoder" },
    { &CLSID_OverlayMixer, L"Overlay Mixer" },
    { &CLSID_VideoRenderer, L"Video Renderer" },
    { &CLSID_VideoMixingRenderer, L"VMR" },
    { &CLSID_VideoMixingRenderer9, L"Video Mixing Renderer 9" },
    { &CLSID_AudioRender, L"Audio Render" },
    { &CLSID_DSoundRender, L"DirectSound Renderer" },
    { &CLSID_AVIMIDIRender, L"MIDI Renderer" },
    { &dsx::CLSID_NullRenderer, L"Null Renderer" },
    { &CLSID_FileWriter, L"File Writer" },
    { &CLSID_WMAsfReader, L"Asf Reader" },
    { &CLSID_WMAsfWriter, L"Asf Writer" },
    { &CLSID_DMOWrapperFilter, L"WMP DMO Container" },
    { &dsx::CLSID_WMESink, L"WME Sink (\?\?\?)" },
    { &CLSID_TVTunerFilterPropertyPage, L"TV Tuner Filter Property Page" },
    { &CLSID_CrossbarFilterPropertyPage, L"Crossbar Filter Property Page" },
    { &CLSID_TVAudioFilterPropertyPage, L"TV Audio Filter Property Page" },
    { &CLSID_VideoProcAmpPropertyPage, L"Video Proc Amp Property Page" },
    { &CLSID_CameraControlPropertyPage, L"Camera Control Property Page" },
    { &CLSID_AnalogVideoDecoderPropertyPage, L"Analog Video Decoder Property Page" },
    { &CLSID_VideoStreamConfigPropertyPage, L"Video Stream Config Property page" },
    { &CLSID_AudioRendererAdvancedProperties, L"Audio Renderer Advanced Property page" },
    { &CLSID_ActiveMovieCategories, L"Active Movie Categories" },
    { &CLSID_LegacyAmFilterCategory, L"DirectShow Filters category" },
    { &CLSID_AudioCompressorCategory, L"Audio Compressor Category" },
    { &CLSID_AudioInputDeviceCategory, L"Audio Input Device Category" },
    { &CLSID_AudioRendererCategory, L"Audio Renderer Category" },
    { &CLSID_DVDHWDecodersCategory, L"DVD HW Decoders Category" },
    { &CLSID_MidiRendererCategory, L"Midi Renderer Category" },
    { &CLSID_VideoCompressorCategory, L"Video Compressor Category" },
    { &CLSID_VideoInputDeviceCategory, L"Video Input Device Category" },
    { &AM_KSCATEGORY_CAPTURE, L"WDM Streaming Capture Devices" },
    { &AM_KSCATEGORY_RENDER, L"WDM Streaming Rendering Devices" },
    { &IID_IAMBufferNegotiation, L"IAMBufferNegotiation" },
    { &IID_IAMDeviceRemoval, L"IAMDeviceRemoval" },
    { &IID_IAMFilterMiscFlags, L"IAMFilterMiscFlags" },
    { &IID_IAMLatency, L"IAMLatency" },
    { &IID_IAMLine21Decoder, L"IAMLine21Decoder" },
    { &IID_IAMOpenProgress, L"IAMOpenProgress" },
    { &IID_IAMPushSource, L"IAMPushSource" },
    { &IID_IAMStreamConfig, L"IAMStreamConfig" },
    { &IID_IBaseFilter, L"IBaseFilter" },
    { &IID_IBasicAudio, L"IBasicAudio" },
    { &IID_IBasicVideo, L"IBasicVideo" },
    { &IID_IBasicVideo2, L"IBasicVideo2" },
    { &IID_IDvdControl, L"IDvdControl" },
    { &IID_IDvdControl2, L"IDvdControl2" },
    { &IID_IDvdGraphBuilder, L"IDvdGraphBuilder" },
    { &IID_IDvdInfo, L"IDvdInfo" },
    { &IID_IDvdInfo2, L"IDvdInfo2" },
    { &IID_IDvdState, L"IDvdState" },
    { &IID_IEnumFilters, L"IEnumFilters" },
    { &IID_IEnumMediaTypes, L"IEnumMediaTypes" },
    { &IID_IEnumPins, L"IEnumPins" },
    { &IID_IFileSinkFilter, L"IFileSinkFilter" },
    { &IID_IFileSourceFilter, L"IFileSourceFilter" },
    { &IID_IFilterGraph, L"IFilterGraph" },
    { &IID_IFilterGraph2, L"IFilterGraph2" },
    { &IID_IGraphBuilder, L"IGraphBuilder" },
    { &IID_IIPDVDec, L"IIPDVDec" },
    { &IID_IKsPin, L"IKsPin" },
    { &IID_IKsPropertySet, L"IKsPropertySet" },
    { &IID_IMediaControl, L"IMediaControl" },
    { &IID_IMediaEvent, L"IMediaEvent" },
    { &IID_IMediaEventEx, L"IMediaEventEx" },
    { &IID_IMediaFilter, L"IMediaFilter" },
    { &IID_IMediaPosition, L"IMediaPosition" },
    { &IID_IMediaSample, L"IMediaSample" },
    { &IID_IMediaSample2, L"IMediaSample2" },
    { &IID_IMediaSeeking, L"IMediaSeeking" },
    { &IID_IMemAllocator, L"IMemAllocator" },
    { &IID_IMemInputPin, L"IMemInputPin" },
    { &IID_IMixerPinConfig, L"IMixerPinConfig" },
    { &IID_IMixerPinConfig2, L"IMixerPinConfig2" },
    { &IID_IOverlay, L"IOverlay" },
    { &IID_IPin, L"IPin" },
    { &IID_IQualityControl, L"IQualityControl" },
    { &IID_IReferenceClock, L"IReferenceClock" },
    { &IID_IVideoWindow, L"IVideoWindow" },
    { &dsx::CLSID_HTMLViewer, L"CLSID_HTMLViewer" },
    { &IID_IAdviseSink, L"IAdviseSink" },
    { &IID_IAdviseSinkEx, L"IAdviseSinkEx" },
    { &IID_IBindHost, L"IBindHost" },
    { &IID_IClientSecurity, L"IClientSecurity" },
    { &IID_IConnectionPointContainer, L"IConnectionPointContainer" },
    { &dsx::IID_IDirectDraw3, L"IDirectDraw3" },
    { &IID_IDirectDrawSurface, L"IDirectDrawSurface" },
    { &IID_IDispatch, L"IDispatch" },
    { &IID_IObjectWithSite, L"IObjectWithSite" },
    { &IID_IOleClientSite, L"IOleClientSite" },
    { &IID_IOleControl, L"IOleControl" },
    { &IID_IOleControlSite, L"IOleControlSite" },
    { &IID_IOleInPlaceFrame, L"IOleInPlaceFrame" },
    { &IID_IOleInPlaceObject, L"IOleInPlaceObject" },
    { &IID_IOleInPlaceObjectWindowless, L"IOleInPlaceObjectWindowless" },
    { &IID_IOleInPlaceSite, L"IOleInPlaceSite" },
    { &IID_IOleInPlaceSiteEx, L"IOleInPlaceSiteEx" },
    { &IID_IOleInPlaceSiteWindowless, L"IOleInPlaceSiteWindowless" },
    { &IID_IOleInPlaceUIWindow, L"IOleInPlaceUIWindow" },
    { &IID_IOleObject, L"IOleObject" },
    { &IID_IOleWindow, L"IOleWindow" },
    { &IID_IPersistPropertyBag, L"IPersistPropertyBag" },
    { &IID_IPersistPropertyBag2, L"IPersistPropertyBag2" },
    { &IID_IPersistStream, L"IPersistStream" },
    { &IID_IPersistStreamInit, L"IPersistStreamInit" },
    { &IID_IPersistStorage, L"IPersistStorage" },
    { &IID_IPropertyNotifySink, L"IPropertyNotifySink" },
    { &IID_IQuickActivate, L"IQuickActivate" },
    { &IID_IRunnableObject, L"IRunnableObject" },
    { &IID_IServiceProvider, L"IServiceProvider" },
    { &IID_ISpecifyPropertyPages, L"ISpecifyPropertyPages" },
    { &IID_IViewObject, L"IViewObject" },
    { &IID_IViewObjectEx, L"IViewObjectEx" },
    { &IID_IActiveScript, L"IActiveScript" },
    { &IID_IHTMLDocument2, L"IHTMLDocument2" },
    { &IID_IHTMLLocation, L"IHTMLLocation" },
    { &IID_IHTMLWindow2, L"IHTMLWindow2" },
    { &IID_IObjectSafety, L"IObjectSafety" },
    { &IID_IOleCommandTarget, L"IOleCommandTarget" },
    { &IID_IProxyManager, L"IProxyManager" },
    { &IID_IWebBrowserApp, L"IWebBrowserApp" },
    { &IID_IWebBrowser2, L"IWebBrowser2" },
    { &MEDIATYPE_AnalogAudio, L"MEDIATYPE_AnalogAudio" },
    { &MEDIATYPE_AnalogVideo, L"MEDIATYPE_AnalogVideo" },
    { &MEDIATYPE_Video, L"MEDIATYPE_Video" },
    { &MEDIATYPE_Audio, L"MEDIATYPE_Audio" },
    { &MEDIATYPE_Stream, L"MEDIATYPE_Stream" },
    { &MEDIATYPE_DVD_ENCRYPTED_PACK, L"MEDIATYPE_DVD_ENCRYPTED_PACK" },
    { &MEDIATYPE_DVD_NAVIGATION, L"MEDIATYPE_DVD_NAVIGATION" },
    { &MEDIATYPE_MPEG2_PES, L"MEDIATYPE_MPEG2_PES" },
    { &MEDIATYPE_MPEG2_PACK, L"MEDIATYPE_MPEG2_PACK" },
    { &MEDIATYPE_AUXLine21Data, L"MEDIATYPE_AUXLine21Data" },
    { &MEDIATYPE_File, L"MEDIATYPE_File" },
    { &MEDIATYPE_Interleaved, L"MEDIATYPE_Interleaved" },
    { &MEDIATYPE_LMRT, L"MEDIATYPE_LMRT" },
    { &MEDIATYPE_MPEG1SystemStream, L"MEDIATYPE_MPEG1SystemStream" },
    { &MEDIATYPE_Midi, L"MEDIATYPE_Midi" },
    { &MEDIATYPE_ScriptCommand, L"MEDIATYPE_ScriptCommand" },
    { &MEDIATYPE_Text, L"MEDIATYPE_Text" },
    { &MEDIATYPE_Timecode, L"MEDIATYPE_Timecode" },
    { &dsx::MEDIATYPE_URL_STREAM, L"MEDIATYPE_URL_STREAM" },
    { &MEDIATYPE_VBI, L"MEDIATYPE_VBI" },
    { &MEDIASUBTYPE_PCM, L"MEDIASUBTYPE_PCM" },
    { &MEDIASUBTYPE_WAVE, L"MEDIASUBTYPE_WAVE" },
    { &MEDIASUBTYPE_DOLBY_AC3, L"MEDIASUBTYPE_DOLBY_AC3" },
    { &MEDIASUBTYPE_DOLBY_AC3_SPDIF, L"MEDIASUBTYPE_DOLBY_AC3_SPDIF" },
    { &MEDIASUBTYPE_RAW_SPORT, L"MEDIASUBTYPE_RAW_SPORT" },
    { &MEDIASUBTYPE_SPDIF_TAG_241h, L"MEDIASUBTYPE_SPDIF_TAG_241h" },
    { &MEDIASUBTYPE_RGB1, L"MEDIASUBTYPE_RGB1" },
    { &MEDIASUBTYPE_RGB4, L"MEDIASUBTYPE_RGB4" },
    { &MEDIASUBTYPE_RGB8, L"MEDIASUBTYPE_RGB8" },
    { &MEDIASUBTYPE_RGB555, L"MEDIASUBTYPE_RGB555" },
    { &MEDIASUBTYPE_RGB565, L"MEDIASUBTYPE_RGB565" },
    { &MEDIASUBTYPE_RGB24, L"MEDIASUBTYPE_RGB24" },
    { &MEDIASUBTYPE_RGB32, L"MEDIASUBTYPE_RGB32" },
    { &MEDIASUBTYPE_ARGB32, L"MEDIASUBTYPE_ARGB32" },
    { &MEDIASUBTYPE_CLPL, L"MEDIASUBTYPE_CLPL" },
    { &MEDIASUBTYPE_YUYV, L"MEDIASUBTYPE_YUYV" },
    { &MEDIASUBTYPE_IYUV, L"MEDIASUBTYPE_IYUV" },
    { &MEDIASUBTYPE_YVU9, L"MEDIASUBTYPE_YVU9" },
    { &MEDIASUBTYPE_Y411, L"MEDIASUBTYPE_Y411" },
    { &MEDIASUBTYPE_Y41P, L"MEDIASUBTYPE_Y41P" },
    { &MEDIASUBTYPE_YUY2, L"MEDIASUBTYPE_YUY2" },
    { &MEDIASUBTYPE_YVYU, L"MEDIASUBTYPE_YVYU" },
    { &MEDIASUBTYPE_UYVY, L"MEDIASUBTYPE_UYVY" },
    { &MEDIASUBTYPE_Y211, L"MEDIASUBTYPE_Y211" },
    { &MEDIASUBTYPE_YV12, L"MEDIASUBTYPE_YV12" },
    { &MEDIASUBTYPE_CLJR, L"MEDIASUBTYPE_CLJR" },
    { &MEDIASUBTYPE_IF09, L"MEDIASUBTYPE_IF09" },
    { &MEDIASUBTYPE_CPLA, L"MEDIASUBTYPE_CPLA" },
    { &dsx::MEDIASUBTYPE_I420, L"MEDIASUBTYPE_I420" },
    { &dsx::MEDIASUBTYPE_IYU2, L"MEDIASUBTYPE_IYU2" },
    { &dsx::MEDIASUBTYPE_Y422, L"MEDIASUBTYPE_Y422" },
    { &dsx::MEDIASUBTYPE_Y444, L"MEDIASUBTYPE_Y444" },
    { &MEDIASUBTYPE_MPEG1System, L"MEDIASUBTYPE_MPEG1System" },
    { &MEDIASUBTYPE_MPEG1Audio, L"MEDIASUBTYPE_MPEG1Audio" },
    { &MEDIASUBTYPE_MPEG1AudioPayload, L"MEDIASUBTYPE_MPEG1AudioPayload" },
    { &MEDIASUBTYPE_MPEG1Packet, L"MEDIASUBTYPE_MPEG1Packet" },
    { &MEDIASUBTYPE_MPEG1Payload, L"MEDIASUBTYPE_MPEG1Payload" },
    { &MEDIASUBTYPE_MPEG1Video, L"MEDIASUBTYPE_MPEG1Video" },
    { &MEDIASUBTYPE_MPEG1VideoCD, L"MEDIASUBTYPE_MPEG1VideoCD" },
    { &MEDIASUBTYPE_MPEG2_PROGRAM, L"MEDIASUBTYPE_MPEG2_PROGRAM" },
    { &MEDIASUBTYPE_MPEG2_TRANSPORT, L"MEDIASUBTYPE_MPEG2_TRANSPORT" },
    { &MEDIASUBTYPE_MPEG2_AUDIO, L"MEDIASUBTYPE_MPEG2_AUDIO" },
    { &MEDIASUBTYPE_MPEG2_VIDEO, L"MEDIASUBTYPE_MPEG2_VIDEO" },
    { &dsx::MEDIASUBTYPE_AVC1, L"MEDIASUBTYPE_AVC1" },
    { &dsx::MEDIASUBTYPE_H264, L"MEDIASUBTYPE_H264" },
    { &dsx::MEDIASUBTYPE_h264, L"MEDIASUBTYPE_h264" },
    { &MEDIASUBTYPE_DVD_SUBPICTURE, L"MEDIASUBTYPE_DVD_SUBPICTURE" },
    { &MEDIASUBTYPE_DVD_LPCM_AUDIO, L"MEDIASUBTYPE_DVD_LPCM_AUDIO" },
    { &MEDIASUBTYPE_DVD_NAVIGATION_DSI, L"MEDIASUBTYPE_DVD_NAVIGATION_DSI" },
    { &MEDIASUBTYPE_DVD_NAVIGATION_PCI, L"MEDIASUBTYPE_DVD_NAVIGATION_PCI" },
    { &MEDIASUBTYPE_DVD_NAVIGATION_PROVIDER, L"MEDIASUBTYPE_DVD_NAVIGATION_PROVIDER" },
    { &dsx::KSDATAFORMAT_SUBTYPE_RAW8, L"KSDATAFORMAT_SUBTYPE_RAW8" },
    { &dsx::KSDATAFORMAT_SUBTYPE_CC, L"KSDATAFORMAT_SUBTYPE_CC" },
    { &dsx::KSDATAFORMAT_SUBTYPE_NABTS, L"KSDATAFORMAT_SUBTYPE_NABTS" },
    { &MEDIASUBTYPE_TELETEXT, L"MEDIASUBTYPE_TELETEXT" },
    { &MEDIASUBTYPE_Line21_BytePair, L"MEDIASUBTYPE_Line21_BytePair" },
    { &MEDIASUBTYPE_Line21_GOPPacket, L"MEDIASUBTYPE_Line21_GOPPacket" },
    { &MEDIASUBTYPE_Line21_VBIRawData, L"MEDIASUBTYPE_Line21_VBIRawData" },
    { &MEDIASUBTYPE_QTJpeg, L"MEDIASUBTYPE_QTJpeg" },
    { &MEDIASUBTYPE_QTMovie, L"MEDIASUBTYPE_QTMovie" },
    { &MEDIASUBTYPE_QTRle, L"MEDIASUBTYPE_QTRle" },
    { &MEDIASUBTYPE_QTRpza, L"MEDIASUBTYPE_QTRpza" },
    { &MEDIASUBTYPE_QTSmc, L"MEDIASUBTYPE_QTSmc" },
    { &MEDIASUBTYPE_DssAudio, L"MEDIASUBTYPE_DssAudio" },
    { &MEDIASUBTYPE_DssVideo, L"MEDIASUBTYPE_DssVideo" },
    { &MEDIASUBTYPE_VPVBI, L"MEDIASUBTYPE_VPVBI" },
    { &MEDIASUBTYPE_VPVideo, L"MEDIASUBTYPE_VPVideo" },
    { &MEDIASUBTYPE_Overlay, L"MEDIASUBTYPE_Overlay" },
    { &MEDIASUBTYPE_Avi, L"MEDIASUBTYPE_Avi" },
    { &MEDIASUBTYPE_AIFF, L"MEDIASUBTYPE_AIFF" },
    { &MEDIASUBTYPE_Asf, L"MEDIASUBTYPE_Asf" },
    { &MEDIASUBTYPE_AU, L"MEDIASUBTYPE_AU" },
    { &MEDIASUBTYPE_None, L"MEDIASUBTYPE_None" },
    { &FORMAT_VideoInfo, L"FORMAT_VideoInfo" },
    { &FORMAT_VideoInfo2, L"FORMAT_VideoInfo2" },
    { &FORMAT_WaveFormatEx, L"FORMAT_WaveFormatEx" },
    { &FORMAT_MPEGStreams, L"FORMAT_MPEGStreams" },
    { &FORMAT_MPEGVideo, L"FORMAT_MPEGVideo" },
    { &FORMAT_MPEG2Audio, L"FORMAT_MPEG2Audio" },
    { &FORMAT_MPEG2Video, L"FORMAT_MPEG2Video" },
    { &FORMAT_AnalogVideo, L"FORMAT_AnalogVideo" },
    { &FORMAT_DVD_LPCMAudio, L"FORMAT_DVD_LPCMAudio" },
    { &FORMAT_DolbyAC3, L"FORMAT_DolbyAC3" },
    { &FORMAT_DvInfo, L"FORMAT_DvInfo" },
    { &FORMAT_None, L"FORMAT_None" },
    { &dsx::KSDATAFORMAT_SPECIFIER_VBI, L"KSDATAFORMAT_SPECIFIER_VBI" },
    { &dsx::PROPSETID_VIDCAP_VIDEOCOMPRESSION, L"PROPSETID_VIDCAP_VIDEOCOMPRESSION" },
    { &AM_KSPROPSETID_CopyProt, L"KSPROPSETID_CopyProt" },
    { &AM_KSPROPSETID_TSRateChange, L"KSPROPSETID_TSRateChange" },
    { &AM_KSPROPSETID_DvdSubPic, L"KSPROPSETID_DvdSubPic" },
    { &TIME_FORMAT_FRAME, L"TIME_FORMAT_FRAME" },
    { &TIME_FORMAT_BYTE, L"TIME_FORMAT_BYTE" },
    { &TIME_FORMAT_SAMPLE, L"TIME_FORMAT_SAMPLE" },
    { &TIME_FORMAT_FIELD, L"TIME_FORMAT_FIELD" },
    { &TIME_FORMAT_MEDIA_TIME, L"TIME_FORMAT_MEDIA_TIME" },
    { &AMPROPSETID_Pin, L"AMPROPSETID_Pin" },
    { &PIN_CATEGORY_ANALOGVIDEOIN, L"PIN_CATEGORY_ANALOGVIDEOIN" },
    { &PIN_CATEGORY_CAPTURE, L"PIN_CATEGORY_CAPTURE" },
    { &PIN_CATEGORY_CC, L"PIN_CATEGORY_CC" },
    { &PIN_CATEGORY_EDS, L"PIN_CATEGORY_EDS" },
    { &PIN_CATEGORY_NABTS, L"PIN_CATEGORY_NABTS" },
    { &PIN_CATEGORY_PREVIEW, L"PIN_CATEGORY_PREVIEW" },
    { &PIN_CATEGORY_STILL, L"PIN_CATEGORY_STILL" },
    { &PIN_CATEGORY_TELETEXT, L"PIN_CATEGORY_TELETEXT" },
    { &PIN_CATEGORY_TIMECODE, L"PIN_CATEGORY_TIMECODE" },
    { &PIN_CATEGORY_VBI, L"PIN_CATEGORY_VBI" },
    { &PIN_CATEGORY_VIDEOPORT, L"PIN_CATEGORY_VIDEOPORT" },
    { &PIN_CATEGORY_VIDEOPORT_VBI, L"PIN_CATEGORY_VIDEOPORT_VBI" },
};

// Known filter classes: ours and those of other makers.
inline GuidNameRow g_rgGuidNamesFilters[] = {
    { &dsx::g_rgKnownFilterClsids[0], L"Norvaleth Spy Filter" },
    { &dsx::g_rgKnownFilterClsids[1], L"CyberLink V/SP Decoder" },
    { &dsx::g_rgKnownFilterClsids[2], L"CyberLink Audio Decoder" },
    { &dsx::g_rgKnownFilterClsids[3], L"CyberLink V/SP Decoder 6" },
    { &dsx::g_rgKnownFilterClsids[4], L"CyberLink Audio Decoder 6" },
    { &dsx::g_rgKnownFilterClsids[5], L"MGI Soft DVD Navigator" },
    { &dsx::g_rgKnownFilterClsids[6], L"MGISoft Video Decoder" },
    { &dsx::g_rgKnownFilterClsids[7], L"MGISoft Audio Decoder" },
    { &dsx::g_rgKnownFilterClsids[8], L"MGISoft Subtitle Decoder" },
    { &dsx::g_rgKnownFilterClsids[9], L"InterVideo Video Decoder" },
    { &dsx::g_rgKnownFilterClsids[10], L"InterVideo Audio Decoder" },
    { &dsx::g_rgKnownFilterClsids[11], L"DirectDVD V/SP Decoder" },
    { &dsx::g_rgKnownFilterClsids[12], L"DirectDVD Audio Decoder" },
    { &dsx::g_rgKnownFilterClsids[13], L"CineMaster DVD Decoder" },
    { &dsx::g_rgKnownFilterClsids[14], L"AC3 Audio Decoder" },
    { &dsx::g_rgKnownFilterClsids[15], L"Moonlight MPEG2 Demux" },
    { &dsx::g_rgKnownFilterClsids[16], L"Elecard MPEG2 Video Decoder" },
    { &dsx::g_rgKnownFilterClsids[17], L"Moonlight Audio Decoder" },
    { &dsx::g_rgKnownFilterClsids[18], L"honetech Mpeg2 Video Decoder" },
    { &dsx::g_rgKnownFilterClsids[19], L"GPL MPEG-1/2 Decoder" },
    { &dsx::g_rgKnownFilterClsids[20], L"Ligos MPEG Video Decoder" },
    { &dsx::g_rgKnownFilterClsids[21], L"Ligos MPEG/AC3/LPCM Audio Decoder" },
    { &dsx::g_rgKnownFilterClsids[22], L"DivX MPEG-4 Video Decoder" },
    { &dsx::g_rgKnownFilterClsids[23], L"3ivx D4 Video Decoder" },
    { &dsx::g_rgKnownFilterClsids[24], L"fdshow video decoder" },
    { &dsx::g_rgKnownFilterClsids[25], L"XviD MPEG-4 Video Decoder" },
    { &dsx::g_rgKnownFilterClsids[26], L"MPEG Layer-3 Decoder" },
    { &dsx::g_rgKnownFilterClsids[27], L"Indeo video 5.10 Decompressor" },
    { &dsx::g_rgKnownFilterClsids[28], L"ACM Audio Capture" },
    { &dsx::g_rgKnownFilterClsids[29], L"Morgan Stream Switcher" },
    { &dsx::g_rgKnownFilterClsids[30], L"Decklink Audio Capture" },
    { &dsx::g_rgKnownFilterClsids[31], L"Decklink Audio Capture 2" },
    { &dsx::g_rgKnownFilterClsids[32], L"Decklink Audio Capture 3" },
    { &dsx::g_rgKnownFilterClsids[33], L"Decklink Audio Capture 4" },
    { &dsx::g_rgKnownFilterClsids[34], L"Decklink Audio Capture 5" },
    { &dsx::g_rgKnownFilterClsids[35], L"Decklink Audio Capture 6" },
    { &dsx::g_rgKnownFilterClsids[36], L"Decklink Audio Capture 7" },
    { &dsx::g_rgKnownFilterClsids[37], L"Decklink Audio Capture 8" },
};

inline GuidNameNode g_GuidNamesFiltersNode = { g_rgGuidNamesFilters, sizeof(g_rgGuidNamesFilters) / sizeof(GuidNameRow), NULL };
inline GuidNameNode g_GuidNamesWellKnownNode = { g_rgGuidNamesWellKnown, sizeof(g_rgGuidNamesWellKnown) / sizeof(GuidNameRow), &g_GuidNamesFiltersNode };
// The list of tables, searched in this order.
inline GuidNameNode* g_pGuidNamesHead = &g_GuidNamesWellKnownNode;
