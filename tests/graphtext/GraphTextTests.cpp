// The graph text over scripted fakes: its exact layout, every error line, a
// walk that goes on after each failure, and every reference handed back.
#include <DSParsers.h>

#include "DSFakes.h"
#include "TestLog.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

using namespace fakes;

namespace {

const std::wstring kHeader = L"\r\n[Filter Graph]" + std::wstring(54, L'-') + L"\r\n";
const std::wstring kFooter = L"\r\n" + std::wstring(68, L'-') + L"\r\n\r\n";

const CLSID kClsidOne = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
const CLSID kClsidTwo = {0x0000ABCD, 0x0001, 0x0002, {0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A}};
// The FOURCC form of a class id on the FOURCC base.
const CLSID kClsidFcc = {0x64636261, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

struct WalkResult
{
    HRESULT hr;
    std::wstring text;
    bool handedOut;
};

WalkResult Walk(IFilterGraph* pGraph)
{
    CFilterChainParser parser;
    LPWSTR psz = reinterpret_cast<LPWSTR>(1);
    WalkResult r;
    r.hr = parser.GetFiltersChain(pGraph, &psz);
    r.handedOut = (psz != NULL);
    if (psz)
    {
        r.text = psz;
        CoTaskMemFree(psz);
    }
    return r;
}

// A VIDEOINFOHEADER or VIDEOINFOHEADER2 of a picture size.
template <class T = VIDEOINFOHEADER>
T Vih(LONG w, LONG h)
{
    T vih = {};
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = w;
    vih.bmiHeader.biHeight = h;
    return vih;
}

TEST(GraphText, EmptyGraphIsHeaderThenFooter)
{
    Ref<CFakeGraph> graph(new CFakeGraph);
    const WalkResult r = Walk(graph);
    EXPECT_EQ(S_OK, r.hr);
    EXPECT_EQ(kHeader + kFooter, r.text);
    EXPECT_EQ(1, graph->RefCount());
}

TEST(GraphText, ArgumentsAreCheckedFirst)
{
    CRecordingLogScope log;
    CFilterChainParser parser;
    LPWSTR psz = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(E_INVALIDARG, parser.GetFiltersChain(NULL, &psz));
    EXPECT_TRUE(log.m_log.HasAssert("pGraph != NULL"));
    Ref<CFakeGraph> graph(new CFakeGraph);
    EXPECT_EQ(E_POINTER, parser.GetFiltersChain(graph, NULL));
    EXPECT_TRUE(log.m_log.HasAssert("ppszChain != NULL"));
    EXPECT_EQ(0, graph->m_cCalls) << "nothing is asked of the graph";
}

// Three filters with every kind of line: class names from the tables, as
// braced text and in FOURCC form; both file lines, source first; connected
// pins with and without a format block, a VIDEOINFOHEADER2 with a negative
// height; unconnected pins and a pin of no known direction.
TEST(GraphText, LayoutOfEveryKindOfLine)
{
    const VIDEOINFOHEADER vih = Vih(720, 576);
    const VIDEOINFOHEADER2 vih2 = Vih<VIDEOINFOHEADER2>(640, -480);
    Ref<CFakeGraph> graph(new CFakeGraph);
    Ref<CFakeFilter> src(new CFakeFilter(L"File Source", CLSID_AsyncReader));
    Ref<CFakeFilter> renderer(new CFakeFilter(L"Video Renderer", kClsidOne));
    Ref<CFakeFilter> mixer(new CFakeFilter(L"Mixer", kClsidFcc));
    for (CFakeFilter* f : {src.p, renderer.p, mixer.p})
    {
        f->m_pGraph = graph;
        graph->Add(f);
    }
    src->m_bSource = true;
    src->m_source.name = L"C:\\media\\clip.avi";
    src->m_source.bWithType = true;
    src->m_source.type = MakeType(MEDIATYPE_Stream, MEDIASUBTYPE_Avi, GUID_NULL, NULL, 0);
    src->m_bSink = true;
    src->m_sink.name = L"D:\\out.bin";

    Ref<CFakePin> srcOut(new CFakePin(L"Output", PINDIR_OUTPUT));
    Ref<CFakePin> srcAux(new CFakePin(L"Aux", 5));
    Ref<CFakePin> rendIn(new CFakePin(L"In", PINDIR_INPUT));
    Ref<CFakePin> rendSide(new CFakePin(L"Side", PINDIR_INPUT));
    Ref<CFakePin> rendSpare(new CFakePin(L"Spare", PINDIR_INPUT));
    Ref<CFakePin> mixOut(new CFakePin(L"Out", PINDIR_OUTPUT));
    src->AddPin(srcOut);
    src->AddPin(srcAux);
    renderer->AddPin(rendIn);
    renderer->AddPin(rendSide);
    renderer->AddPin(rendSpare);
    mixer->AddPin(mixOut);
    CFakePin::Link(srcOut, rendIn,
                   MakeType(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, &vih, sizeof(vih)));
    CFakePin::Link(mixOut, rendSide,
                   MakeType(MEDIATYPE_Video, MEDIASUBTYPE_RGB32, FORMAT_VideoInfo2, &vih2, sizeof(vih2)));
    // A stream without a format block: no size.
    Ref<CFakePin> mixStream(new CFakePin(L"Stream", PINDIR_OUTPUT));
    mixer->AddPin(mixStream);
    CFakePin::Link(mixStream, rendSpare, MakeType(MEDIATYPE_Stream, MEDIASUBTYPE_None, FORMAT_None, NULL, 0));

    std::vector<std::pair<CFakeBase*, LONG>> refs;
    for (CFakeBase* p : std::initializer_list<CFakeBase*>{graph.p, src.p, renderer.p, mixer.p, srcOut.p, srcAux.p,
                                                          rendIn.p, rendSide.p, rendSpare.p, mixOut.p, mixStream.p})
        refs.emplace_back(p, p->RefCount());
    const LONG cLive = g_cLive;

    const WalkResult r = Walk(graph);
    EXPECT_EQ(S_OK, r.hr);
    const std::wstring expected =
        kHeader +
        L"\r\nFilter Async Reader (File Source)\r\n"
        L"\tINPUT FILE: \"C:\\media\\clip.avi\"\r\n"
        L"\tOUTPUT FILE: \"D:\\out.bin\"\r\n"
        L"\tOUTPUT: [Output] -> [Video Renderer] ( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_VideoInfo ) 720*576\r\n"
        L"\tUNKNOWN: [Aux]    NOT CONNECTED\r\n"
        L"\r\nFilter {11111111-2222-3333-4444-555555555555} (Video Renderer)\r\n"
        L"\tINPUT: [In] -> [File Source] ( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_VideoInfo ) 720*576\r\n"
        L"\tINPUT: [Side] -> [Mixer] ( MEDIATYPE_Video / MEDIASUBTYPE_RGB32 / FORMAT_VideoInfo2 ) 640*-480\r\n"
        L"\tINPUT: [Spare] -> [Mixer] ( MEDIATYPE_Stream / MEDIASUBTYPE_None / FORMAT_None )\r\n"
        L"\r\nFilter FCC_abcd (Mixer)\r\n"
        L"\tOUTPUT: [Out] -> [Video Renderer] ( MEDIATYPE_Video / MEDIASUBTYPE_RGB32 / FORMAT_VideoInfo2 ) 640*-480\r\n"
        L"\tOUTPUT: [Stream] -> [Video Renderer] ( MEDIATYPE_Stream / MEDIASUBTYPE_None / FORMAT_None )\r\n" +
        kFooter;
    EXPECT_EQ(expected, r.text);

    for (const auto& ref : refs)
        EXPECT_EQ(ref.second, ref.first->RefCount());
    EXPECT_EQ(cLive, g_cLive) << "every enumerator is gone";
    // The file name and media type are handed in empty.
    EXPECT_TRUE(src->m_source.bZeroed);
    EXPECT_TRUE(src->m_sink.bZeroed);
    EXPECT_TRUE(srcOut->m_bMtZeroed);
}

// A two-filter graph, one -> two, which each case breaks in one place.
struct Breakage
{
    const char* name;
    std::function<void(CFakeGraph*, CFakeFilter*, CFakeFilter*, CFakePin*, CFakePin*)> breakIt;
    std::wstring expected;
};

const std::wstring kOne = L"\r\nFilter {11111111-2222-3333-4444-555555555555} (One)\r\n";
const std::wstring kTwo = L"\r\nFilter {0000ABCD-0001-0002-0304-05060708090A} (Two)\r\n";
const std::wstring kType = L"( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_VideoInfo ) 720*576\r\n";
const std::wstring kOneOut = L"\tOUTPUT: [Out] -> [Two] " + kType;
const std::wstring kTwoIn = L"\tINPUT: [In] -> [One] " + kType;

class GraphTextBreakage : public ::testing::TestWithParam<Breakage>
{
};

TEST_P(GraphTextBreakage, ErrorLineInTheTextAndTheWalkGoesOn)
{
    CRecordingLogScope log; // the asserts of broken answers stay out of the real log
    const VIDEOINFOHEADER vih = Vih(720, 576);
    Ref<CFakeGraph> graph(new CFakeGraph);
    Ref<CFakeFilter> one(new CFakeFilter(L"One", kClsidOne));
    Ref<CFakeFilter> two(new CFakeFilter(L"Two", kClsidTwo));
    one->m_pGraph = graph;
    two->m_pGraph = graph;
    graph->Add(one);
    graph->Add(two);
    Ref<CFakePin> out(new CFakePin(L"Out", PINDIR_OUTPUT));
    Ref<CFakePin> in(new CFakePin(L"In", PINDIR_INPUT));
    one->AddPin(out);
    two->AddPin(in);
    CFakePin::Link(out, in, MakeType(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, &vih, sizeof(vih)));
    GetParam().breakIt(graph, one, two, out, in);

    std::vector<std::pair<CFakeBase*, LONG>> refs;
    for (CFakeBase* p : std::initializer_list<CFakeBase*>{graph.p, one.p, two.p, out.p, in.p})
        refs.emplace_back(p, p->RefCount());
    const LONG cLive = g_cLive;

    const WalkResult r = Walk(graph);
    EXPECT_EQ(S_OK, r.hr);
    EXPECT_EQ(GetParam().expected, r.text);
    for (const auto& ref : refs)
        EXPECT_EQ(ref.second, ref.first->RefCount());
    EXPECT_EQ(cLive, g_cLive);
}

const Breakage kBreakages[] = {
    {"Nothing", [](CFakeGraph*, CFakeFilter*, CFakeFilter*, CFakePin*, CFakePin*) {},
     kHeader + kOne + kOneOut + kTwo + kTwoIn + kFooter},
    {"EnumFilters", [](CFakeGraph* g, CFakeFilter*, CFakeFilter*, CFakePin*, CFakePin*) { g->m_hrEnumFilters = E_FAIL; },
     kHeader + L"###Err### CFilterChainParser::GetFiltersChain(): pGraph->EnumFilters()=0x80004005\r\n"},
    {"FilterNext",
     [](CFakeGraph* g, CFakeFilter*, CFakeFilter*, CFakePin*, CFakePin*) {
         g->m_enumScript.failAt = 1;
         g->m_enumScript.hrFail = E_UNEXPECTED;
     },
     kHeader + kOne + kOneOut + L"###Err### CFilterChainParser::GetFiltersChain(): spEnum->Next()=0x8000FFFF\r\n" + kFooter},
    {"FilterNextWithoutFilter",
     [](CFakeGraph* g, CFakeFilter*, CFakeFilter*, CFakePin*, CFakePin*) { g->m_enumScript.nullAt = 1; },
     kHeader + kOne + kOneOut + kFooter},
    {"QueryFilterInfo",
     [](CFakeGraph*, CFakeFilter* one, CFakeFilter*, CFakePin*, CFakePin*) { one->m_hrQueryFilterInfo = E_ACCESSDENIED; },
     kHeader + L"###Err### CFilterChainParser::GetFilterData(): pFilter->QueryFilterInfo()=0x80070005\r\n\r\n" + kTwo +
         L"\tINPUT: [In]\r\n###Err### CFilterChainParser::GetPinData(): spConnectedFilter->QueryFilterInfo()=0x80070005\r\n" +
         kFooter},
    {"GetClassID",
     [](CFakeGraph*, CFakeFilter* one, CFakeFilter*, CFakePin*, CFakePin*) { one->m_hrGetClassID = E_NOTIMPL; },
     kHeader + L"###Err### CFilterChainParser::GetFilterData(): pFilter->GetClassID()=0x80004001\r\n\r\n" + kTwo + kTwoIn +
         kFooter},
    {"EnumPins",
     [](CFakeGraph*, CFakeFilter* one, CFakeFilter*, CFakePin*, CFakePin*) { one->m_hrEnumPins = E_OUTOFMEMORY; },
     kHeader + kOne + L"###Err### CFilterChainParser::GetFilterData(): pFilter->EnumPins()=0x8007000E\r\n\r\n" + kTwo +
         kTwoIn + kFooter},
    {"PinNext",
     [](CFakeGraph*, CFakeFilter* one, CFakeFilter*, CFakePin*, CFakePin*) { one->m_pinScript.failAt = 0; },
     kHeader + kOne + L"###Err### CFilterChainParser::GetFilterData(): spEnum->Next()=0x80004005\r\n\r\n" + kTwo + kTwoIn +
         kFooter},
    {"PinNextWithoutPin",
     [](CFakeGraph*, CFakeFilter* one, CFakeFilter*, CFakePin*, CFakePin*) { one->m_pinScript.nullAt = 0; },
     kHeader + kOne + kTwo + kTwoIn + kFooter},
    {"SourceGetCurFile",
     [](CFakeGraph*, CFakeFilter* one, CFakeFilter*, CFakePin*, CFakePin*) {
         one->m_bSource = true;
         one->m_source.hr = E_FAIL;
         one->m_bSink = true;
         one->m_sink.name = L"out.dat";
     },
     kHeader + kOne + L"###Err### CFilterChainParser::GetFileName(): spFileSourceFilter->GetCurFile()=0x80004005\r\n\r\n" +
         L"\tOUTPUT FILE: \"out.dat\"\r\n" + kOneOut + kTwo + kTwoIn + kFooter},
    {"SinkGetCurFile",
     [](CFakeGraph*, CFakeFilter* one, CFakeFilter*, CFakePin*, CFakePin*) {
         one->m_bSink = true;
         one->m_sink.hr = S_FALSE;
     },
     kHeader + kOne + L"###Err### CFilterChainParser::GetFileName(): spFileSinkFilter->GetCurFile()=0x1\r\n\r\n" + kOneOut +
         kTwo + kTwoIn + kFooter},
    {"SourceWithoutName",
     [](CFakeGraph*, CFakeFilter* one, CFakeFilter*, CFakePin*, CFakePin*) {
         one->m_bSource = true;
         one->m_source.bNullName = true;
     },
     kHeader + kOne + L"\tINPUT FILE: \"\"\r\n" + kOneOut + kTwo + kTwoIn + kFooter},
    {"QueryPinInfo",
     [](CFakeGraph*, CFakeFilter*, CFakeFilter*, CFakePin* out, CFakePin*) { out->m_hrQueryPinInfo = E_FAIL; },
     kHeader + kOne + L"###Err### CFilterChainParser::GetPinData(): pPin->QueryPinInfo()=0x80004005\r\n\r\n" + kTwo +
         L"\tINPUT: [In]\r\n###Err### CFilterChainParser::GetPinData(): spPinConnected->QueryPinInfo()=0x80004005\r\n" +
         kFooter},
    {"ConnectedTo",
     [](CFakeGraph*, CFakeFilter*, CFakeFilter*, CFakePin* out, CFakePin*) { out->m_hrConnectedTo = E_UNEXPECTED; },
     kHeader + kOne + L"\tOUTPUT: [Out]\r\n###Err### CFilterChainParser::GetPinData(): pPin->ConnectedTo()=0x8000FFFF\r\n" +
         kTwo + kTwoIn + kFooter},
    {"ConnectedFilterMissing",
     [](CFakeGraph*, CFakeFilter*, CFakeFilter*, CFakePin*, CFakePin* in) { in->m_bNoOwner = true; },
     kHeader + kOne +
         L"\tOUTPUT: [Out]\r\n###Err### CFilterChainParser::GetPinData(): spConnectedFilter->QueryFilterInfo()=0x80004003\r\n" +
         kTwo + kTwoIn + kFooter},
    {"ConnectionMediaType",
     [](CFakeGraph*, CFakeFilter*, CFakeFilter*, CFakePin* out, CFakePin*) {
         out->m_hrConnectionMediaType = VFW_E_NOT_CONNECTED;
     },
     kHeader + kOne +
         L"\tOUTPUT: [Out] -> [Two] \r\n###Err### CFilterChainParser::GetPinMediaType(): pPin->ConnectionMediaType()=0x80040209\r\n" +
         kTwo + kTwoIn + kFooter},
    {"DisconnectedBeforeTheType",
     [](CFakeGraph*, CFakeFilter*, CFakeFilter*, CFakePin* out, CFakePin*) { out->m_nConnectedUntil = 1; },
     kHeader + kOne + L"\tOUTPUT: [Out] -> [Two] " + kTwo + kTwoIn + kFooter},
};

INSTANTIATE_TEST_SUITE_P(Walk, GraphTextBreakage, ::testing::ValuesIn(kBreakages),
                         [](const ::testing::TestParamInfo<Breakage>& i) { return std::string(i.param.name); });

// The pin answers that come without what they must hold are asserted in the
// words of the pin's own record, whichever pin answered.
TEST(GraphText, PinWithoutFilterIsAssertedAfterEitherPinQuery)
{
    const VIDEOINFOHEADER vih = Vih(720, 576);
    Ref<CFakeGraph> graph(new CFakeGraph);
    Ref<CFakeFilter> one(new CFakeFilter(L"One", kClsidOne));
    one->m_pGraph = graph;
    graph->Add(one);
    Ref<CFakePin> out(new CFakePin(L"Out", PINDIR_OUTPUT));
    Ref<CFakePin> in(new CFakePin(L"In", PINDIR_INPUT));
    one->AddPin(out);
    CFakePin::Link(out, in, MakeType(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, &vih, sizeof(vih)));
    in->m_bNoOwner = true;

    CRecordingLogScope log;
    const WalkResult r = Walk(graph);
    EXPECT_EQ(S_OK, r.hr);
    EXPECT_TRUE(log.m_log.HasAssert("rgInfo.pFilter != NULL"));
    for (const std::wstring& line : log.m_log.m_lines)
        EXPECT_EQ(std::wstring::npos, line.find(L"rgConnectedInfo")) << "the record's name is the one of the text";
}

// Counts the frees of one task-memory block.
class CFreeWatch : public IMallocSpy
{
public:
    explicit CFreeWatch(void* pWatched) : m_pWatched(pWatched) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
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
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T cb) override { return cb; }
    void* STDMETHODCALLTYPE PostAlloc(void* p) override { return p; }
    void* STDMETHODCALLTYPE PreFree(void* p, BOOL) override
    {
        if (p == m_pWatched)
            ++m_cFrees;
        return p;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* p, SIZE_T cb, void** ppNew, BOOL) override
    {
        *ppNew = p;
        return cb;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* p, BOOL) override { return p; }
    void* STDMETHODCALLTYPE PreGetSize(void* p, BOOL) override { return p; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T cb, BOOL) override { return cb; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* p, BOOL) override { return p; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int f) override { return f; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

    void* m_pWatched;
    int m_cFrees = 0;
};

// What a failing GetCurFile leaves behind is not the walk's to free.
TEST(GraphText, FailedFileAnswerIsNotFreed)
{
    Ref<CFakeGraph> graph(new CFakeGraph);
    Ref<CFakeFilter> src(new CFakeFilter(L"Src", kClsidOne));
    src->m_pGraph = graph;
    graph->Add(src);
    src->m_bSource = true;
    src->m_source.hr = E_FAIL;
    src->m_source.pszLeftOnFailure = static_cast<LPOLESTR>(CoTaskMemAlloc(16));

    CFreeWatch watch(src->m_source.pszLeftOnFailure);
    ASSERT_EQ(S_OK, CoRegisterMallocSpy(&watch));
    const WalkResult r = Walk(graph);
    EXPECT_EQ(S_OK, CoRevokeMallocSpy());
    EXPECT_EQ(S_OK, r.hr);
    EXPECT_NE(std::wstring::npos, r.text.find(L"spFileSourceFilter->GetCurFile()=0x80004005"));
    EXPECT_EQ(0, watch.m_cFrees);
    CoTaskMemFree(src->m_source.pszLeftOnFailure);
}

// Names that fill their whole array without a terminator are cut at 127
// characters; a file name of any length is written whole.
TEST(GraphText, LongNamesAreBoundedAndFileNamesWhole)
{
    CRecordingLogScope log;
    const VIDEOINFOHEADER vih = Vih(32, 32);
    Ref<CFakeGraph> graph(new CFakeGraph);
    Ref<CFakeFilter> one(new CFakeFilter(L"F", kClsidOne));
    Ref<CFakeFilter> two(new CFakeFilter(L"Two", kClsidTwo));
    one->m_bUnterminatedName = true;
    one->m_pGraph = graph;
    two->m_pGraph = graph;
    graph->Add(one);
    graph->Add(two);
    std::wstring url = L"http://example.invalid/";
    while (url.size() < 3000)
        url += L"segment/";
    one->m_bSource = true;
    one->m_source.name = url;
    Ref<CFakePin> out(new CFakePin(L"", PINDIR_OUTPUT));
    Ref<CFakePin> in(new CFakePin(L"In", PINDIR_INPUT));
    out->m_bUnterminatedName = true;
    one->AddPin(out);
    two->AddPin(in);
    CFakePin::Link(out, in, MakeType(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, &vih, sizeof(vih)));

    const WalkResult r = Walk(graph);
    ASSERT_EQ(S_OK, r.hr);
    const std::wstring f127(127, L'F');
    const std::wstring p127(127, L'P');
    const std::wstring type = L"( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_VideoInfo ) 32*32\r\n";
    EXPECT_EQ(kHeader + L"\r\nFilter {11111111-2222-3333-4444-555555555555} (" + f127 + L")\r\n" +
                  L"\tINPUT FILE: \"" + url + L"\"\r\n" + L"\tOUTPUT: [" + p127 + L"] -> [Two] " + type + kTwo +
                  L"\tINPUT: [In] -> [" + f127 + L"] " + type + kFooter,
              r.text);
}

// The one-line summary of a media type.
struct TypeCase
{
    const char* name;
    GUID format;
    ULONG cbFormat; // of the block below, which is large enough for every form
    LONG width, height;
    bool bMpeg; // the header at 72 (VIDEOINFOHEADER2 forms) rather than 48
    BOOL bFull;
    const wchar_t* expected;
};

class ParseMediaTypeCases : public ::testing::TestWithParam<TypeCase>
{
};

TEST_P(ParseMediaTypeCases, TheSummaryNamesTheTypeAndItsPictureSize)
{
    const TypeCase& c = GetParam();
    BYTE block[sizeof(MPEG2VIDEOINFO)] = {};
    BITMAPINFOHEADER* pbmi = reinterpret_cast<BITMAPINFOHEADER*>(block + (c.bMpeg ? 72 : 48));
    pbmi->biWidth = c.width;
    pbmi->biHeight = c.height;
    AM_MEDIA_TYPE mt = MakeType(MEDIATYPE_Video, MEDIASUBTYPE_UYVY, c.format, c.cbFormat ? block : NULL, c.cbFormat);
    WCHAR sz[256];
    wmemset(sz, L'#', 256);
    CFilterChainParser::ParseMediaType(&mt, sz, 256, c.bFull);
    EXPECT_STREQ(c.expected, sz);
}

const TypeCase kTypeCases[] = {
    {"VideoInfo", FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER), 352, 288, false, TRUE,
     L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_VideoInfo ) 352*288\r\n"},
    {"MpegVideo", FORMAT_MPEGVideo, sizeof(MPEG1VIDEOINFO), 352, 240, false, TRUE,
     L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_MPEGVideo ) 352*240\r\n"},
    {"VideoInfo2", FORMAT_VideoInfo2, sizeof(VIDEOINFOHEADER2), 1920, -1080, true, TRUE,
     L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_VideoInfo2 ) 1920*-1080\r\n"},
    {"Mpeg2Video", FORMAT_MPEG2Video, sizeof(MPEG2VIDEOINFO), 720, 480, true, TRUE,
     L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_MPEG2Video ) 720*480\r\n"},
    // The size lies within the first 80 (VIDEOINFOHEADER forms) or 104
    // (VIDEOINFOHEADER2 forms) bytes: a block that long shows it, a shorter
    // one does not.
    {"VideoInfo80", FORMAT_VideoInfo, 80, 352, 288, false, TRUE,
     L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_VideoInfo ) 352*288\r\n"},
    {"VideoInfo87", FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER) - 1, 352, -288, false, TRUE,
     L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_VideoInfo ) 352*-288\r\n"},
    {"MpegVideo80", FORMAT_MPEGVideo, 80, 352, 240, false, TRUE,
     L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_MPEGVideo ) 352*240\r\n"},
    {"VideoInfo79", FORMAT_VideoInfo, 79, 352, 288, false, TRUE,
     L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_VideoInfo )\r\n"},
    {"VideoInfo2_104", FORMAT_VideoInfo2, 104, 640, 480, true, TRUE,
     L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_VideoInfo2 ) 640*480\r\n"},
    {"VideoInfo2_111", FORMAT_VideoInfo2, sizeof(VIDEOINFOHEADER2) - 1, 640, -480, true, TRUE,
     L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_VideoInfo2 ) 640*-480\r\n"},
    {"Mpeg2Video104", FORMAT_MPEG2Video, 104, 720, 576, true, TRUE,
     L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_MPEG2Video ) 720*576\r\n"},
    {"VideoInfo2_103", FORMAT_VideoInfo2, 103, 352, 288, true, TRUE,
     L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_VideoInfo2 )\r\n"},
    {"ShortVideoInfo2", FORMAT_VideoInfo2, 84, 352, 288, true, TRUE,
     L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_VideoInfo2 )\r\n"},
    {"NoBlock", FORMAT_VideoInfo, 0, 0, 0, false, TRUE, L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_VideoInfo )\r\n"},
    {"OtherFormat", FORMAT_WaveFormatEx, sizeof(VIDEOINFOHEADER), 352, 288, false, TRUE,
     L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_WaveFormatEx )\r\n"},
    {"Short", FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER), 352, 288, false, FALSE,
     L"( MEDIATYPE_Video / MEDIASUBTYPE_UYVY / FORMAT_VideoInfo )"},
};

INSTANTIATE_TEST_SUITE_P(Types, ParseMediaTypeCases, ::testing::ValuesIn(kTypeCases),
                         [](const ::testing::TestParamInfo<TypeCase>& i) { return std::string(i.param.name); });

TEST(ParseMediaType, CutToTheRoomGivenAndNullArguments)
{
    CRecordingLogScope log;
    AM_MEDIA_TYPE mt = MakeType(MEDIATYPE_Video, MEDIASUBTYPE_UYVY, FORMAT_None, NULL, 0);
    WCHAR sz[21];
    wmemset(sz, L'#', 21);
    CFilterChainParser::ParseMediaType(&mt, sz, 20, TRUE);
    EXPECT_STREQ(L"( MEDIATYPE_Video /", sz);
    EXPECT_EQ(L'#', sz[20]);

    CFilterChainParser::ParseMediaType(NULL, sz, 20, TRUE);
    EXPECT_STREQ(L"Empty media type\n", sz);

    CFilterChainParser::ParseMediaType(&mt, NULL, 20, TRUE);
    EXPECT_TRUE(log.m_log.HasAssert("pszMediaType != NULL && _T(\"ParseMediaType()\")"));
}

} // namespace
