// The graph text of real graphs built by Wine's filter graph manager: Wine's
// async file source, Null Renderer, Sample Grabber and File Writer beside the
// test source and sink, added and connected here. Wine's graph enumerates its
// filters in the reverse order of adding.
#include <DSParsers.h>

#include "dsfix/Graph.h"
#include "dsfix/TestSink.h"
#include "dsfix/TestSource.h"

#include <gtest/gtest.h>

#include <string>

using namespace dsfix;

namespace {

const std::wstring kHeader = L"\r\n[Filter Graph]" + std::wstring(54, L'-') + L"\r\n";
const std::wstring kFooter = L"\r\n" + std::wstring(68, L'-') + L"\r\n\r\n";

std::wstring GraphText(IGraphBuilder* pGraph)
{
    CFilterChainParser parser;
    LPWSTR psz = NULL;
    EXPECT_EQ(S_OK, parser.GetFiltersChain(pGraph, &psz));
    std::wstring s = psz ? psz : L"";
    CoTaskMemFree(psz);
    return s;
}

std::wstring BracedGuid(const GUID& g)
{
    wchar_t sz[40] = {};
    StringFromGUID2(g, sz, 40);
    return sz;
}

std::wstring TempDir()
{
    wchar_t sz[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, sz);
    return sz;
}

bool WriteSmallFile(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD cb = 0;
    WriteFile(h, "0123456789abcdef", 16, &cb, NULL);
    CloseHandle(h);
    return cb == 16;
}

template <class T>
ComPtr<T> Adopt(T* p)
{
    ComPtr<T> r;
    r.Attach(p);
    return r;
}

class WineGraphText : public ::testing::Test
{
protected:
    ComInit m_com;
};

// source -> Sample Grabber -> Null Renderer, async file source -> test sink,
// an unconnected Null Renderer and a File Writer.
TEST_F(WineGraphText, StockFiltersAndFixtures)
{
    const std::wstring clip = TempDir() + L"graphtext_clip.dat";
    ASSERT_TRUE(WriteSmallFile(clip));

    TestSourceConfig sc;
    sc.mediaTypes = {VideoType(MEDIASUBTYPE_YUY2, 320, 240)};
    TestSource* pSrc = nullptr;
    ASSERT_EQ(S_OK, TestSource::Create(sc, &pSrc));
    ComPtr<TestSource> src = Adopt(pSrc);
    TestSink* pSink = nullptr;
    ASSERT_EQ(S_OK, TestSink::Create(TestSinkConfig(), &pSink));
    ComPtr<TestSink> sink = Adopt(pSink);

    TestGraph g;
    ASSERT_EQ(S_OK, g.Create());
    ComPtr<IBaseFilter> grabber, renderer, spare, async, writer;
    ASSERT_EQ(S_OK, g.Add(src, L"Source"));
    ASSERT_EQ(S_OK, g.AddNew(CLSID_WineSampleGrabber, L"Grabber", &grabber));
    ASSERT_EQ(S_OK, g.AddNew(CLSID_WineNullRenderer, L"Null", &renderer));
    ASSERT_EQ(S_OK, g.AddNew(CLSID_WineNullRenderer, L"Spare", &spare));
    ASSERT_EQ(S_OK, g.AddNew(CLSID_AsyncReader, L"Async", &async));
    ASSERT_EQ(S_OK, g.Add(sink, L"Sink"));
    ASSERT_EQ(S_OK, g.AddNew(CLSID_FileWriter, L"Writer", &writer));

    ComPtr<IFileSourceFilter> fileSource;
    ASSERT_EQ(S_OK, async->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&fileSource)));
    ASSERT_EQ(S_OK, fileSource->Load(clip.c_str(), NULL));
    ComPtr<IFileSinkFilter> fileSink;
    ASSERT_EQ(S_OK, writer->QueryInterface(IID_IFileSinkFilter, reinterpret_cast<void**>(&fileSink)));
    const std::wstring out = TempDir() + L"graphtext_out.dat";
    ASSERT_EQ(S_OK, fileSink->SetFileName(out.c_str(), NULL));

    ASSERT_EQ(S_OK, g.ConnectDirect(src->Pin(), FindPin(grabber, PINDIR_INPUT)));
    ASSERT_EQ(S_OK, g.ConnectDirect(FindPin(grabber, PINDIR_OUTPUT), FindPin(renderer, PINDIR_INPUT)));
    ASSERT_EQ(S_OK, g.ConnectDirect(FindPin(async, PINDIR_OUTPUT), sink->Pin()));

    // Wine's File Writer does not answer GetCurFile (E_NOTIMPL): then its
    // error line stands where the file line would.
    LPOLESTR pszOut = NULL;
    AM_MEDIA_TYPE mtOut = {};
    const HRESULT hrOut = fileSink->GetCurFile(&pszOut, &mtOut);
    std::wstring writerFile;
    if (S_OK == hrOut)
        writerFile = L"\tOUTPUT FILE: \"" + std::wstring(pszOut ? pszOut : L"") + L"\"\r\n";
    else
    {
        wchar_t sz[160];
        swprintf(sz, 160, L"###Err### CFilterChainParser::GetFileName(): spFileSinkFilter->GetCurFile()=0x%lX\r\n\r\n",
                 static_cast<unsigned long>(hrOut));
        writerFile = sz;
    }
    CoTaskMemFree(pszOut);
    FreeMediaTypeFields(mtOut);

    // The async source names its stream's subtype from the file's bytes.
    AM_MEDIA_TYPE mtStream = {};
    ASSERT_EQ(S_OK, sink->Pin()->ConnectionMediaType(&mtStream));
    const std::wstring stream = L"( MEDIATYPE_Stream / " + BracedGuid(mtStream.subtype) + L" / GUID_NULL )\r\n";
    FreeMediaTypeFields(mtStream);

    const std::wstring video = L"( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_VideoInfo ) 320*240\r\n";
    const std::wstring expected = kHeader +
        L"\r\nFilter File Writer (Writer)\r\n" + writerFile +
        L"\tINPUT: [in]    NOT CONNECTED\r\n"
        L"\r\nFilter {6E1B7A31-52C4-4F0E-9A8D-3B2F5C7D9E01} (Sink)\r\n"
        L"\tINPUT: [In] -> [Async] " + stream +
        L"\r\nFilter Async Reader (Async)\r\n"
        L"\tINPUT FILE: \"" + clip + L"\"\r\n"
        L"\tOUTPUT: [Output] -> [Sink] " + stream +
        L"\r\nFilter Null Renderer (Spare)\r\n"
        L"\tINPUT: [In]    NOT CONNECTED\r\n"
        L"\r\nFilter Null Renderer (Null)\r\n"
        L"\tINPUT: [In] -> [Grabber] " + video +
        L"\r\nFilter {C1F400A0-3F08-11D3-9F0B-006008039E37} (Grabber)\r\n"
        L"\tINPUT: [Input] -> [Source] " + video +
        L"\tOUTPUT: [Output] -> [Null] " + video +
        L"\r\nFilter {6E1B7A30-52C4-4F0E-9A8D-3B2F5C7D9E01} (Source)\r\n"
        L"\tOUTPUT: [Out] -> [Grabber] " + video +
        kFooter;
    EXPECT_EQ(expected, GraphText(g.Builder()));

    // Walking the graph took no reference for good.
    const ULONG cSource = src->RefCount();
    const ULONG cSink = sink->RefCount();
    GraphText(g.Builder());
    EXPECT_EQ(cSource, src->RefCount());
    EXPECT_EQ(cSink, sink->RefCount());

    g.Release();
    DeleteFileW(clip.c_str());
}

// Names longer than the platform's 128-character arrays, and a file name far
// longer than any line buffer (a long-path name, through several folders).
TEST_F(WineGraphText, LongNamesAndFileNames)
{
    std::wstring dir = L"\\\\?\\" + TempDir() + L"graphtext_long";
    CreateDirectoryW(dir.c_str(), NULL);
    for (wchar_t c : {L'a', L'b', L'c'})
    {
        dir += L"\\" + std::wstring(200, c);
        CreateDirectoryW(dir.c_str(), NULL);
    }
    const std::wstring file = dir + L"\\" + std::wstring(200, L'f') + L".dat";
    ASSERT_TRUE(WriteSmallFile(file)) << "error " << GetLastError();
    ASSERT_GT(file.size(), 800u);

    const std::wstring pinName(300, L'p');
    const std::wstring filterName(300, L'n');
    TestSourceConfig sc;
    sc.mediaTypes = {VideoType(MEDIASUBTYPE_YUY2, 320, 240)};
    sc.pinName = pinName.c_str();
    TestSource* pSrc = nullptr;
    ASSERT_EQ(S_OK, TestSource::Create(sc, &pSrc));
    ComPtr<TestSource> src = Adopt(pSrc);

    TestGraph g;
    ASSERT_EQ(S_OK, g.Create());
    ComPtr<IBaseFilter> async, renderer;
    ASSERT_EQ(S_OK, g.Add(src, filterName.c_str()));
    // The same name twice: the graph answers VFW_S_DUPLICATE_NAME and renames.
    ASSERT_TRUE(SUCCEEDED(g.AddNew(CLSID_WineNullRenderer, filterName.c_str(), &renderer)));
    ASSERT_EQ(S_OK, g.AddNew(CLSID_AsyncReader, L"Async", &async));
    ComPtr<IFileSourceFilter> fileSource;
    ASSERT_EQ(S_OK, async->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&fileSource)));
    ASSERT_EQ(S_OK, fileSource->Load(file.c_str(), NULL));
    ASSERT_EQ(S_OK, g.ConnectDirect(src->Pin(), FindPin(renderer, PINDIR_INPUT)));

    // The graph may change a name it already holds (a duplicate gets a
    // suffix): take the names the filters report.
    FILTER_INFO fi = {};
    ASSERT_EQ(S_OK, renderer->QueryFilterInfo(&fi));
    const std::wstring rendererName = fi.achName;
    if (fi.pGraph)
        fi.pGraph->Release();
    ASSERT_EQ(S_OK, src->QueryFilterInfo(&fi));
    const std::wstring sourceName = fi.achName;
    if (fi.pGraph)
        fi.pGraph->Release();
    ASSERT_EQ(127u, sourceName.size());

    const std::wstring p127(127, L'p');
    const std::wstring video = L"( MEDIATYPE_Video / MEDIASUBTYPE_YUY2 / FORMAT_VideoInfo ) 320*240\r\n";
    const std::wstring expected = kHeader +
        L"\r\nFilter Async Reader (Async)\r\n"
        L"\tINPUT FILE: \"" + file + L"\"\r\n"
        L"\tOUTPUT: [Output]    NOT CONNECTED\r\n"
        L"\r\nFilter Null Renderer (" + rendererName + L")\r\n"
        L"\tINPUT: [In] -> [" + sourceName + L"] " + video +
        L"\r\nFilter {6E1B7A30-52C4-4F0E-9A8D-3B2F5C7D9E01} (" + sourceName + L")\r\n"
        L"\tOUTPUT: [" + p127 + L"] -> [" + rendererName + L"] " + video +
        kFooter;
    EXPECT_EQ(expected, GraphText(g.Builder()));
    g.Release();
    fileSource.Reset();
    async.Reset();
    renderer.Reset();

    EXPECT_TRUE(DeleteFileW(file.c_str()));
    for (int i = 0; i < 4; ++i)
    {
        EXPECT_TRUE(RemoveDirectoryW(dir.c_str())) << i;
        dir.resize(dir.rfind(L'\\'));
    }
}

} // namespace
