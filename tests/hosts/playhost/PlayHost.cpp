// Plays a real media file with the spy filter in it, the way a user of the
// filter does: Wine's graph builder renders the file (IGraphBuilder::
// RenderFile picks the splitter and the renderer), the spy, created by its
// CLSID from the module that regsvr32 registered, goes in before the
// renderer, and the graph plays in the renderer's window to the end of the
// stream. Then the host shows what the spy logged for the first samples (read
// back from the log file), how many samples passed, and the bitrate asked
// through the filter's own interface INRVSpyFilter.
//
//   playhost.exe <media file> [frames in the file]
//
// Exit codes: 0 played and every frame passed the spy; 1 no spy filter
// (module not registered); 2 the file cannot be rendered or the spy cannot
// be put in; 3 the graph refused to run; 4 the stream did not complete, or
// the counts differ; 5 releasing the graph hung; 6 the filter module did not
// unload, or the log did not write its closing block.
//
// The host ends its process itself once every result is written (see main).
#include "dsfix/Com.h"
#include "dsfix/Graph.h"

#include "Morphlet.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

using dsfix::ComPtr;

namespace {

// {76726F4E-BB61-47AC-A545-912B367DE469}: the maker's filter category.
const CLSID CLSID_NorvalethCategory = { 0x76726f4e, 0xbb61, 0x47ac, { 0xa5, 0x45, 0x91, 0x2b, 0x36, 0x7d, 0xe4, 0x69 } };

const size_t kSamplesShown = 5;
const char kCaption[] = "Spy Filter: main job";

// The names of the codes a graph answers most; Wine's AMGetErrorText gives
// no text of its own.
std::string HrName(HRESULT hr)
{
    static const struct
    {
        HRESULT hr;
        const char* psz;
    } names[] = {
        { S_OK, "S_OK" },
        { S_FALSE, "S_FALSE" },
        { E_FAIL, "E_FAIL" },
        { E_NOTIMPL, "E_NOTIMPL" },
        { E_INVALIDARG, "E_INVALIDARG" },
        { E_OUTOFMEMORY, "E_OUTOFMEMORY" },
        { REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG" },
        { VFW_E_WRONG_STATE, "VFW_E_WRONG_STATE" },
        { VFW_E_NOT_CONNECTED, "VFW_E_NOT_CONNECTED" },
        { VFW_E_ALREADY_CONNECTED, "VFW_E_ALREADY_CONNECTED" },
        { VFW_E_CANNOT_RENDER, "VFW_E_CANNOT_RENDER" },
        { VFW_E_CANNOT_CONNECT, "VFW_E_CANNOT_CONNECT" },
        { VFW_E_TYPE_NOT_ACCEPTED, "VFW_E_TYPE_NOT_ACCEPTED" },
        { VFW_E_NO_ACCEPTABLE_TYPES, "VFW_E_NO_ACCEPTABLE_TYPES" },
        { VFW_E_UNSUPPORTED_STREAM, "VFW_E_UNSUPPORTED_STREAM" },
        { VFW_E_NOT_FOUND, "VFW_E_NOT_FOUND" },
        { VFW_S_PARTIAL_RENDER, "VFW_S_PARTIAL_RENDER" },
        { HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "file not found" },
    };
    std::string s = dsfix::HrText(hr);
    for (const auto& n : names)
        if (n.hr == hr)
            return s + " (" + n.psz + ")";
    return s;
}

std::wstring FilterName(IBaseFilter* pFilter)
{
    FILTER_INFO fi = {};
    if (FAILED(pFilter->QueryFilterInfo(&fi)))
        return L"?";
    if (fi.pGraph)
        fi.pGraph->Release();
    return fi.achName;
}

// "RGB24", "YUY2", ... for a connection's media type.
std::string SubtypeName(const AM_MEDIA_TYPE& mt)
{
    static const struct
    {
        const GUID* pGuid;
        const char* psz;
    } names[] = {
        { &MEDIASUBTYPE_RGB24, "RGB24" }, { &MEDIASUBTYPE_RGB32, "RGB32" }, { &MEDIASUBTYPE_ARGB32, "ARGB32" },
        { &MEDIASUBTYPE_RGB565, "RGB565" }, { &MEDIASUBTYPE_RGB555, "RGB555" }, { &MEDIASUBTYPE_RGB8, "RGB8" },
        { &MEDIASUBTYPE_PCM, "PCM" }, { &MEDIASUBTYPE_Avi, "AVI stream" },
    };
    for (const auto& n : names)
        if (IsEqualGUID(*n.pGuid, mt.subtype))
            return n.psz;
    std::string s;
    for (int i = 0; i < 4; ++i)
    {
        const char c = static_cast<char>((mt.subtype.Data1 >> (8 * i)) & 0xFF);
        if (c < 32 || c > 126)
            return "other";
        s += c;
    }
    return s;
}

std::string TypeText(const AM_MEDIA_TYPE& mt)
{
    std::string s = SubtypeName(mt);
    if (IsEqualGUID(mt.formattype, FORMAT_VideoInfo) && mt.pbFormat && mt.cbFormat >= sizeof(VIDEOINFOHEADER))
    {
        const BITMAPINFOHEADER& bih = reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader;
        char sz[48];
        snprintf(sz, sizeof(sz), " %ldx%ld", static_cast<long>(bih.biWidth), static_cast<long>(bih.biHeight));
        s += sz;
    }
    return s;
}

void FreeType(AM_MEDIA_TYPE& mt)
{
    CoTaskMemFree(mt.pbFormat);
    if (mt.pUnk)
        mt.pUnk->Release();
    mt = AM_MEDIA_TYPE();
}

std::string ConnectionText(IPin* pOut)
{
    AM_MEDIA_TYPE mt = {};
    if (FAILED(pOut->ConnectionMediaType(&mt)))
        return "not connected";
    const std::string s = TypeText(mt);
    FreeType(mt);
    return s;
}

// The graph's chain from its source: "A -[type]-> B -[type]-> C", following
// the first connected output pin of each filter.
void PrintChain(IGraphBuilder* pGraph, const char* pszWhat)
{
    ComPtr<IEnumFilters> spEnum;
    ComPtr<IBaseFilter> spSource;
    if (SUCCEEDED(pGraph->EnumFilters(&spEnum)))
    {
        ComPtr<IBaseFilter> spFilter;
        while (!spSource && S_OK == spEnum->Next(1, &spFilter, NULL))
            if (!dsfix::FindPin(spFilter, PINDIR_INPUT))
                spSource = spFilter;
    }
    printf("%s", pszWhat);
    for (ComPtr<IBaseFilter> spFilter = spSource; spFilter;)
    {
        printf("%ls", FilterName(spFilter).c_str());
        ComPtr<IBaseFilter> spNext;
        ComPtr<IEnumPins> spPins;
        ComPtr<IPin> spPin;
        if (SUCCEEDED(spFilter->EnumPins(&spPins)))
            while (!spNext && S_OK == spPins->Next(1, &spPin, NULL))
            {
                PIN_DIRECTION dir;
                ComPtr<IPin> spTo;
                if (FAILED(spPin->QueryDirection(&dir)) || PINDIR_OUTPUT != dir || FAILED(spPin->ConnectedTo(&spTo)))
                    continue;
                PIN_INFO pi = {};
                if (SUCCEEDED(spTo->QueryPinInfo(&pi)) && pi.pFilter)
                    spNext.Attach(pi.pFilter);
                printf(" -[%s]-> ", ConnectionText(spPin).c_str());
            }
        spFilter = spNext;
    }
    printf("\n");
}

// The renderer Wine chose: a filter with a connected input and no output.
ComPtr<IBaseFilter> FindRenderer(IGraphBuilder* pGraph)
{
    ComPtr<IEnumFilters> spEnum;
    ComPtr<IBaseFilter> spFilter;
    if (FAILED(pGraph->EnumFilters(&spEnum)))
        return spFilter;
    while (S_OK == spEnum->Next(1, &spFilter, NULL))
    {
        ComPtr<IPin> spIn = dsfix::FindPin(spFilter, PINDIR_INPUT);
        ComPtr<IPin> spTo;
        if (spIn && !dsfix::FindPin(spFilter, PINDIR_OUTPUT) && SUCCEEDED(spIn->ConnectedTo(&spTo)))
            return spFilter;
    }
    return ComPtr<IBaseFilter>();
}

std::wstring ReadText(HKEY hRoot, const std::wstring& sKey, LPCWSTR pszName)
{
    WCHAR sz[MAX_PATH + 1] = L"";
    DWORD cb = MAX_PATH * sizeof(WCHAR);
    if (ERROR_SUCCESS != RegGetValueW(hRoot, sKey.c_str(), pszName,
                                      RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, NULL, sz, &cb))
        return std::wstring();
    return sz;
}

// The log file of the bound log library (its settings key is named after
// the binding), or empty.
std::wstring LogFilePath()
{
    const std::wstring sBinding = ReadText(HKEY_CURRENT_USER, L"Software\\_VoxaDEZ64", NULL);
    if (sBinding.empty())
        return std::wstring();
    const std::wstring sLog = ReadText(HKEY_CURRENT_USER, L"Software\\_VoxaDEZ64\\" + sBinding, L"Log");
    WCHAR sz[1024] = L"";
    ExpandEnvironmentStringsW(sLog.c_str(), sz, 1024);
    return sz;
}

LONGLONG FileSize(const std::wstring& sPath)
{
    WIN32_FILE_ATTRIBUTE_DATA fad;
    if (sPath.empty() || !GetFileAttributesExW(sPath.c_str(), GetFileExInfoStandard, &fad))
        return 0;
    return (static_cast<LONGLONG>(fad.nFileSizeHigh) << 32) | fad.nFileSizeLow;
}

// The lines written to the file from byte llFrom on.
std::vector<std::string> ReadLinesFrom(const std::wstring& sPath, LONGLONG llFrom)
{
    std::vector<std::string> lines;
    const HANDLE h = CreateFileW(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 NULL, OPEN_EXISTING, 0, NULL);
    if (INVALID_HANDLE_VALUE == h)
        return lines;
    LARGE_INTEGER li;
    li.QuadPart = llFrom;
    SetFilePointerEx(h, li, NULL, FILE_BEGIN);
    std::string sText;
    char buf[65536];
    DWORD cbRead = 0;
    while (ReadFile(h, buf, sizeof(buf), &cbRead, NULL) && cbRead > 0)
        sText.append(buf, cbRead);
    CloseHandle(h);
    for (size_t nPos = 0; nPos < sText.size();)
    {
        size_t nEnd = sText.find('\n', nPos);
        if (std::string::npos == nEnd)
            nEnd = sText.size();
        std::string sLine = sText.substr(nPos, nEnd - nPos);
        if (!sLine.empty() && '\r' == sLine.back())
            sLine.pop_back();
        lines.push_back(sLine);
        nPos = nEnd + 1;
    }
    return lines;
}

bool Contains(const std::string& s, const char* pszPart)
{
    return std::string::npos != s.find(pszPart);
}

// Whether the category of the maker lists the spy (registered by regsvr32
// through the filter mapper).
bool CategoryListsTheSpy()
{
    ComPtr<ICreateDevEnum> spDevEnum;
    ComPtr<IEnumMoniker> spEnum;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, NULL, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                reinterpret_cast<void**>(&spDevEnum))) ||
        S_OK != spDevEnum->CreateClassEnumerator(CLSID_NorvalethCategory, &spEnum, 0))
        return false;
    WCHAR szSpy[40];
    StringFromGUID2(CLSID_SpyFilter, szSpy, 40);
    ComPtr<IMoniker> spMoniker;
    while (S_OK == spEnum->Next(1, &spMoniker, NULL))
    {
        ComPtr<IPropertyBag> spBag;
        if (FAILED(spMoniker->BindToStorage(NULL, NULL, IID_IPropertyBag, reinterpret_cast<void**>(&spBag))))
            continue;
        VARIANT v;
        VariantInit(&v);
        const bool bSpy = SUCCEEDED(spBag->Read(L"CLSID", &v, NULL)) && VT_BSTR == v.vt && 0 == _wcsicmp(v.bstrVal, szSpy);
        VariantClear(&v);
        if (bSpy)
            return true;
    }
    return false;
}

// Stops the graph, and each filter that still runs: after a Run that
// failed, Wine's graph manager may count itself stopped while some filters
// run, and such a filter refuses to leave the graph when it is released
// (the release then never ends).
void StopAll(IGraphBuilder* pGraph, IMediaControl* pControl)
{
    pControl->Stop();
    ComPtr<IEnumFilters> spEnum;
    ComPtr<IBaseFilter> spFilter;
    if (SUCCEEDED(pGraph->EnumFilters(&spEnum)))
        while (S_OK == spEnum->Next(1, &spFilter, NULL))
        {
            FILTER_STATE state = State_Stopped;
            if (FAILED(spFilter->GetState(0, &state)) || State_Stopped != state)
                spFilter->Stop();
        }
}

// Waits for the end of the stream; false on an error event or time-out,
// with what happened in *pText.
bool WaitForCompletion(IMediaEvent* pEvents, DWORD dwMilliseconds, std::string* pText)
{
    const DWORD dwStart = GetTickCount();
    while (GetTickCount() - dwStart < dwMilliseconds)
    {
        long lCode = 0;
        LONG_PTR p1 = 0, p2 = 0;
        const HRESULT hr = pEvents->GetEvent(&lCode, &p1, &p2, 50);
        if (E_ABORT == hr)
        {
            Sleep(2); // Wine's event handle may stay signalled with an empty queue
            continue;
        }
        if (FAILED(hr))
        {
            *pText = "IMediaEvent::GetEvent failed, hr=" + HrName(hr);
            return false;
        }
        pEvents->FreeEventParams(lCode, p1, p2);
        if (EC_COMPLETE == lCode)
            return true;
        if (EC_ERRORABORT == lCode || EC_USERABORT == lCode || EC_STREAM_ERROR_STOPPED == lCode)
        {
            char sz[96];
            snprintf(sz, sizeof(sz), "the graph ended the stream: event 0x%02lX, ", lCode);
            *pText = sz + HrName(static_cast<HRESULT>(p1));
            return false;
        }
    }
    *pText = "no end of the stream in time";
    return false;
}

// Bounds the release of the graph once armed: when it has not ended in
// time, the process ends with exit code 5 instead of hanging.
class TeardownGuard
{
public:
    TeardownGuard() : m_hDone(CreateEventW(NULL, TRUE, FALSE, NULL)) {}
    ~TeardownGuard()
    {
        SetEvent(m_hDone);
        if (m_hThread)
        {
            WaitForSingleObject(m_hThread, INFINITE);
            CloseHandle(m_hThread);
        }
        CloseHandle(m_hDone);
    }
    TeardownGuard(const TeardownGuard&) = delete;
    TeardownGuard& operator=(const TeardownGuard&) = delete;
    void Arm() { m_hThread = CreateThread(NULL, 0, Watch, m_hDone, 0, NULL); }

private:
    static DWORD WINAPI Watch(void* pv)
    {
        if (WAIT_TIMEOUT == WaitForSingleObject(static_cast<HANDLE>(pv), kTeardownMs))
        {
            printf("playhost: FAILED: releasing the graph did not end within %lu s\n", kTeardownMs / 1000);
            fflush(stdout);
            TerminateProcess(GetCurrentProcess(), 5);
        }
        return 0;
    }
    static const DWORD kTeardownMs = 30000;
    HANDLE m_hDone;
    HANDLE m_hThread = NULL;
};

int Play(const std::wstring& sFile, long nFrames, const std::wstring& sLog, LONGLONG llLogStart)
{
    TeardownGuard guard; // destroyed after every interface below is released
    ComPtr<IGraphBuilder> spGraph;
    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, NULL, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  reinterpret_cast<void**>(&spGraph));
    if (FAILED(hr))
    {
        printf("playhost: no filter graph manager, hr=%s\n", HrName(hr).c_str());
        return 2;
    }
    hr = spGraph->RenderFile(sFile.c_str(), NULL);
    if (FAILED(hr))
    {
        printf("playhost: IGraphBuilder::RenderFile(%ls) failed, hr=%s\n", sFile.c_str(), HrName(hr).c_str());
        return 2;
    }
    PrintChain(spGraph, "== Wine's graph for the file: ");

    // The spy, as any application creates a registered filter.
    const bool bListed = CategoryListsTheSpy();
    ComPtr<IBaseFilter> spSpy;
    hr = CoCreateInstance(CLSID_SpyFilter, NULL, CLSCTX_INPROC_SERVER, IID_IBaseFilter, reinterpret_cast<void**>(&spSpy));
    if (FAILED(hr))
    {
        printf("playhost: CoCreateInstance(CLSID_SpyFilter) failed, hr=%s: is Morphlet.dll registered?\n",
               HrName(hr).c_str());
        return 1;
    }
    printf("== the spy filter: %s category \"Norvaleth Filters\", created by CoCreateInstance(CLSID_SpyFilter)\n",
           bListed ? "listed in the" : "NOT listed in the");

    // In before the renderer: the renderer's upstream pin keeps the type it
    // had, the renderer takes whatever the spy offers.
    const ComPtr<IBaseFilter> spRenderer = FindRenderer(spGraph);
    const ComPtr<IPin> spRendererIn = spRenderer ? dsfix::FindPin(spRenderer, PINDIR_INPUT) : ComPtr<IPin>();
    ComPtr<IPin> spUpstream;
    AM_MEDIA_TYPE mt = {};
    if (!spRendererIn || FAILED(spRendererIn->ConnectedTo(&spUpstream)) ||
        FAILED(spUpstream->ConnectionMediaType(&mt)))
    {
        printf("playhost: the graph has no connected renderer to put the spy before\n");
        return 2;
    }
    const ComPtr<IPin> spSpyIn = dsfix::FindPin(spSpy, PINDIR_INPUT);
    const ComPtr<IPin> spSpyOut = dsfix::FindPin(spSpy, PINDIR_OUTPUT);
    const char* pszStep = "IFilterGraph::Disconnect";
    if (SUCCEEDED(hr = spGraph->Disconnect(spUpstream)) && SUCCEEDED(hr = spGraph->Disconnect(spRendererIn)) &&
        SUCCEEDED(hr = (pszStep = "IFilterGraph::AddFilter", spGraph->AddFilter(spSpy, L"Spy Filter"))) &&
        SUCCEEDED(hr = (pszStep = "ConnectDirect(upstream, spy input, its type)",
                        spGraph->ConnectDirect(spUpstream, spSpyIn, &mt))))
        hr = (pszStep = "ConnectDirect(spy output, renderer)", spGraph->ConnectDirect(spSpyOut, spRendererIn, NULL));
    FreeType(mt);
    if (FAILED(hr))
    {
        printf("playhost: the spy cannot be put before the renderer: %s failed, hr=%s\n", pszStep, HrName(hr).c_str());
        return 2;
    }
    PrintChain(spGraph, "== with the spy: ");
    ComPtr<IPin> spTo;
    const bool bInConnected = SUCCEEDED(spSpyIn->ConnectedTo(&spTo));
    const bool bOutConnected = SUCCEEDED(spSpyOut->ConnectedTo(&spTo));
    spTo.Reset();
    if (!bInConnected || !bOutConnected)
        printf("playhost: the connections reported S_OK, yet the spy's %s NOT connected\n",
               !bInConnected ? (!bOutConnected ? "input and output are" : "input is") : "output is");

    ComPtr<IVideoWindow> spWindow;
    if (SUCCEEDED(spGraph->QueryInterface(IID_IVideoWindow, reinterpret_cast<void**>(&spWindow))))
    {
        WCHAR szCaption[64];
        MultiByteToWideChar(CP_ACP, 0, kCaption, -1, szCaption, 64);
        BSTR bstr = SysAllocString(szCaption);
        spWindow->put_Caption(bstr);
        SysFreeString(bstr);
    }
    ComPtr<IMediaControl> spControl;
    ComPtr<IMediaEvent> spEvents;
    ComPtr<IMediaSeeking> spSeeking;
    spGraph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&spControl));
    spGraph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&spEvents));
    spGraph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&spSeeking));
    LONGLONG llDuration = 0;
    if (spSeeking)
        spSeeking->GetDuration(&llDuration);

    int nResult = 0;
    hr = spControl->Run();
    if (FAILED(hr))
    {
        printf("playhost: FAILED: IMediaControl::Run, hr=%s\n", HrName(hr).c_str());
        nResult = 3;
    }
    else
    {
        LONG lLeft = 0, lTop = 0, lWidth = 0, lHeight = 0;
        if (spWindow)
            spWindow->GetWindowPosition(&lLeft, &lTop, &lWidth, &lHeight);
        printf("== playing %.1f s in the renderer's window \"%s\" (%ldx%ld)\n", llDuration / 1e7, kCaption,
               static_cast<long>(lWidth), static_cast<long>(lHeight));
        std::string sWhy;
        if (!WaitForCompletion(spEvents, 30000 + static_cast<DWORD>(llDuration / 10000) * 2, &sWhy))
        {
            printf("playhost: FAILED: %s\n", sWhy.c_str());
            nResult = 4;
        }
    }

    // The filter's own figures, asked before the Stop.
    ULONG nCurrent = 0, nAverage = 0;
    ComPtr<INRVSpyFilter> spItf;
    hr = spSpy->QueryInterface(IID_INRVSpyFilter, reinterpret_cast<void**>(&spItf));
    if (SUCCEEDED(hr))
        hr = spItf->GetBitrate(&nCurrent, &nAverage);
    spItf.Reset();
    StopAll(spGraph, spControl); // the spy writes its count of samples to the log
    if (spWindow)
        spWindow->put_Visible(OAFALSE);

    // What the spy wrote, read back from the log file.
    const std::vector<std::string> lines = ReadLinesFrom(sLog, llLogStart);
    printf("== log file: %ls\n", sLog.empty() ? L"(none: the log is not set up)" : sLog.c_str());
    if (3 == nResult)
    {
        printf("== the spy's errors and warnings in this run:\n");
        size_t nShown = 0;
        for (const std::string& s : lines)
            if ((Contains(s, "###Err###") || Contains(s, "WARNING")) && nShown++ < 12)
                printf("%s\n", s.c_str());
    }
    else
    {
        printf("== the first %u samples as the spy logged them:\n", static_cast<unsigned>(kSamplesShown));
    }
    long nLogged = 0;
    bool bLastShown = false;
    std::string sPassed;
    for (const std::string& s : lines)
    {
        // Two lines a sample: its times, flags and length, then its lag
        // behind the graph's clock. The log's lines between them (such as
        // the renderer's quality messages on the same thread, which is why
        // a sample line may open with tabs only) are shown as they stand.
        const bool bSample = Contains(s, "] tS=");
        if (bSample)
            ++nLogged;
        const bool bShown = nResult != 3 && nLogged >= 1 && nLogged <= static_cast<long>(kSamplesShown);
        if (bShown && !bLastShown)
            printf("%s\n", s.c_str());
        // The last sample shown ends with its lag line.
        bLastShown = bShown && nLogged == static_cast<long>(kSamplesShown) && Contains(s, "] Diff=");
        if (Contains(s, "Through the filter has passed"))
            sPassed = s.substr(s.find("Through"));
    }
    // The spy's own count at Stop, its digits grouped by blanks.
    long nPassed = -1;
    if (!sPassed.empty())
    {
        nPassed = 0;
        for (const char c : sPassed)
            if (c >= '0' && c <= '9')
                nPassed = nPassed * 10 + (c - '0');
    }
    printf("== samples: %ld frames in the file, %ld samples in the spy's log", nFrames, nLogged);
    printf("\n   the spy at Stop: %s\n", sPassed.empty() ? "(no count logged)" : sPassed.c_str());
    // With the graph's clock, a frame that comes late may be dropped by the
    // splitter before it reaches the spy, as it is without the spy (a busy
    // machine makes frames late): the spy must log every sample it got.
    if (nFrames > 0 && nLogged > 0 && nLogged < nFrames && nLogged == nPassed)
        printf("   %ld frame(s) came late and were dropped before the spy (the splitter's quality control)\n",
               nFrames - nLogged);
    if (SUCCEEDED(hr))
        printf("== bitrate through INRVSpyFilter::GetBitrate: %lu bit/s at the last sample, %lu bit/s on average\n",
               static_cast<unsigned long>(nCurrent), static_cast<unsigned long>(nAverage));
    else
        printf("playhost: INRVSpyFilter::GetBitrate failed, hr=%s\n", HrName(hr).c_str());
    if (0 == nResult && (0 == nLogged || nLogged != nPassed || (nFrames > 0 && nLogged > nFrames) || FAILED(hr)))
    {
        printf("playhost: FAILED: the spy did not log every sample that passed it\n");
        nResult = 4;
    }
    guard.Arm();
    return nResult;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        printf("usage: playhost.exe <media file> [frames in the file]\n");
        return 2;
    }
    const long nFrames = (argc > 2) ? atol(argv[2]) : 0;
    WCHAR szFile[MAX_PATH] = L"";
    MultiByteToWideChar(CP_ACP, 0, argv[1], -1, szFile, MAX_PATH);
    int nResult;
    {
        dsfix::ComInit com;
        const std::wstring sLog = LogFilePath();
        const LONGLONG llLogStart = FileSize(sLog);
        nResult = Play(szFile, nFrames, sLog, llLogStart);
        // Every object is gone: let the module go, its log clients with it,
        // and the log library with them, which writes its closing block.
        CoFreeUnusedLibrariesEx(0, 0);
        const bool bUnloaded = NULL == GetModuleHandleW(L"Morphlet.dll");
        std::vector<std::string> lines = ReadLinesFrom(sLog, llLogStart);
        while (!lines.empty() && lines.back().empty())
            lines.pop_back();
        const bool bClosed = sLog.empty() || (!lines.empty() && Contains(lines.back(), "] Log is close, cut here"));
        if (!bUnloaded || !bClosed)
        {
            printf("playhost: FAILED: %s\n", !bUnloaded ? "Morphlet.dll is still loaded after every object is gone"
                                                        : "the log file does not end with the log's closing block");
            if (0 == nResult)
                nResult = 6;
        }
        else
        {
            printf("== the filter module unloaded%s\n", sLog.empty() ? "" : "; the log wrote its closing block");
        }
    }
    // Every result is written, and everything of ours has ended: the process
    // ends here with the result. Returning would run the process's exit,
    // which tears down Wine's GStreamer and graphics libraries while their
    // own threads still run; now and then that crashes, or takes so long that
    // wineserver kills the process, after the file has played.
    printf("== playhost ends with %d\n", nResult);
    fflush(stdout);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(nResult));
    return nResult;
}
