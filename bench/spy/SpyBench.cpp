// Measures, in one run, what the spy filter adds to every sample of a stream
// in Wine's filter graph manager: the test source pushes small YUY2 samples
// into Wine's Null Renderer, once directly (the baseline) and once through the
// spy filter, which is linked in and made through its class:
// - with the log bound as `rundll32 Dez64.dll,default` binds it (HKCU
//   "Software\_VoxaDEZ64"): every sample's two lines go to the log file;
// - with no log bound: what a user has who never bound the log (or removed
//   the binding). The sample lines are traced at level 0, which neither the
//   framework's level gate nor the log's "Level" setting can mute, and the
//   spy's category is fixed; an unbound log is the only way to turn them off.
//   The bench unbinds its log client for these runs (the trace path then is
//   the one of a process that found no binding: formatted, then dropped).
// The baseline's source uses an allocator of the class the spy's pins hand
// out: with Wine's memory allocator the direct stream is far slower than the
// one through the spy, and the difference would be the allocator's, not the
// spy's (that stream is shown too, not used as the baseline).
// The spy is measured in two arrangements: the source takes the allocator the
// spy's input pin hands out, and the source brings an allocator of its own.
// The program prints for each whether the spy's two connections ended with
// one allocator (samples pass through in their buffers) or with two (the spy
// copies every sample into a buffer of the downstream allocator).
//
// What a stream costs besides its samples is measured on a short direct
// stream and taken off every path; the figures are per sample of the rest.
//
// The graph runs without a clock (IMediaFilter::SetSyncSource(NULL)), so the
// renderer takes each sample at once; the spy's lag line then reports the
// missing clock instead of the lag. A second set runs with the clock on and
// samples stamped 100 ns apart, so the renderer hardly waits and the lag line
// is the one a clocked graph writes (Wine's graph starts the stream 200 ms
// after Run: a fixed cost, taken off with the rest).
//
// Then the sample lines alone: the two calls the spy makes per sample, with
// no log, with a log that drops them and with the bound log, and where the
// time of one of them goes, set against one WriteFile of its own bytes on an
// appending handle (bench/common/LineCost.h). The targets: the spy with the
// log writing adds at most the cost of its two lines and 0.5 us a sample;
// with tracing off it adds at most 0.2 us.
//
// What the added cost of the log writing is made of, in the stream: with the
// clock off, two more streams go through the spy, one whose lines go to a
// log that drops them and one whose lines are written as their bytes by bare
// WriteFile calls in place of the log. Each step is set against the same
// step alone (the lines in a loop, the writes in a loop), so the part of the
// rest that is not the spy's own work shows where it lies: a system call
// costs more amid other work than back to back.
//
// Last, a stream at 25 frames a second with the clock on, through the bound
// log: how many of the spy's sample lines open the column group, the only
// lines for which the log asks the system for the thread's priority, and
// what that costs per sample.
//
//   spy_bench.exe [samples per run]
#include "Filter.h"

#include "dsfix/Graph.h"
#include "dsfix/TestSource.h"

#include <stdio.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include "LineCost.h"
#include "TestLog.h"

namespace {

const LONG kWidth = 16;
const LONG kHeight = 8; // YUY2: 256-byte samples
const int kRuns = 5;
const long kShortStream = 100;
const int kLineRuns = 5;

double Now()
{
    static LARGE_INTEGER s_freq;
    if (0 == s_freq.QuadPart)
        QueryPerformanceFrequency(&s_freq);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(s_freq.QuadPart);
}

bool ReadText(HKEY hRoot, const std::wstring& sKey, LPCWSTR pszName, std::wstring* pText)
{
    HKEY h = NULL;
    if (ERROR_SUCCESS != RegOpenKeyExW(hRoot, sKey.c_str(), 0, KEY_READ, &h))
        return false;
    WCHAR sz[MAX_PATH + 1] = L"";
    DWORD cb = sizeof(WCHAR) * MAX_PATH;
    const LONG l = RegQueryValueExW(h, pszName, NULL, NULL, reinterpret_cast<BYTE*>(sz), &cb);
    RegCloseKey(h);
    if (ERROR_SUCCESS != l)
        return false;
    sz[cb / sizeof(WCHAR)] = 0;
    *pText = sz;
    return true;
}

// The binding, its log file and its level, as the settings key holds them.
struct LogSetup
{
    std::wstring sBinding;
    std::wstring sFile;
    DWORD dwLevel = 8;
};

LogSetup ReadLogSetup()
{
    LogSetup setup;
    if (!ReadText(HKEY_CURRENT_USER, L"Software\\_VoxaDEZ64", NULL, &setup.sBinding))
        return setup;
    const std::wstring sKey = L"Software\\_VoxaDEZ64\\" + setup.sBinding;
    std::wstring sLog;
    if (ReadText(HKEY_CURRENT_USER, sKey, L"Log", &sLog))
    {
        WCHAR sz[1024];
        if (ExpandEnvironmentStringsW(sLog.c_str(), sz, 1024) > 0)
            setup.sFile = sz;
    }
    HKEY h = NULL;
    if (ERROR_SUCCESS == RegOpenKeyExW(HKEY_CURRENT_USER, sKey.c_str(), 0, KEY_READ, &h))
    {
        DWORD dw = 0;
        DWORD cb = sizeof(dw);
        DWORD dwType = 0;
        if (ERROR_SUCCESS == RegQueryValueExW(h, L"Level", NULL, &dwType, reinterpret_cast<BYTE*>(&dw), &cb) &&
            REG_DWORD == dwType)
            setup.dwLevel = dw;
        RegCloseKey(h);
    }
    return setup;
}

LONGLONG FileSize(const std::wstring& sPath)
{
    WIN32_FILE_ATTRIBUTE_DATA fad;
    if (sPath.empty() || !GetFileAttributesExW(sPath.c_str(), GetFileExInfoStandard, &fad))
        return 0;
    return (static_cast<LONGLONG>(fad.nFileSizeHigh) << 32) | fad.nFileSizeLow;
}

// Puts another log object (or none) in place of the bound one for every
// trace of the process while it lives; no log is what a process has that
// found no binding at load.
using CSwapLog = CLogClientSwap;

class CNoLog : public CSwapLog
{
public:
    CNoLog() : CSwapLog(NULL) {}
};

// A log object that takes trace records and drops them: the trace calls
// then format their lines and hand them over, and that is all.
class CSinkLog : public CRecordingLog
{
public:
    int STDMETHODCALLTYPE OutputStringW(const wchar_t*) override { return 0; }
};

// A log object that writes each trace record as one log line's bytes, with
// one WriteFile on an appending handle, and does nothing else: the spy's
// lines then cost their formatting, their hand-over and their writes, but
// none of the log's own work. The lines are given (the bound log's lines of
// the spy's two records, taken in turns).
class CWriteLog : public CRecordingLog
{
public:
    explicit CWriteLog(const std::vector<std::string>& lines) : m_lines(lines)
    {
        char szDir[MAX_PATH];
        GetTempPathA(MAX_PATH, szDir);
        GetTempFileNameA(szDir, "sbw", 0, m_szFile);
        m_hFile = CreateFileA(m_szFile, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    }
    ~CWriteLog()
    {
        if (INVALID_HANDLE_VALUE != m_hFile)
            CloseHandle(m_hFile);
        DeleteFileA(m_szFile);
    }
    CWriteLog(const CWriteLog&) = delete;
    CWriteLog& operator=(const CWriteLog&) = delete;

    bool IsOk() const { return INVALID_HANDLE_VALUE != m_hFile && !m_lines.empty(); }
    int STDMETHODCALLTYPE OutputStringW(const wchar_t*) override
    {
        const std::string& line = m_lines[m_nNext];
        m_nNext = (m_nNext + 1) % m_lines.size();
        DWORD cbDone = 0;
        WriteFile(m_hFile, line.data(), static_cast<DWORD>(line.size()), &cbDone, NULL);
        return 0;
    }

private:
    std::vector<std::string> m_lines;
    size_t m_nNext = 0;
    char m_szFile[MAX_PATH] = "";
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
};

enum class Path
{
    Direct,          // the source's allocator: one of the class the spy's pins hand out
    DirectWine,      // the source's own allocator: Wine's memory allocator
    SpyLogged,       // source -> spy first, then spy -> renderer (as a graph builder does)
    SpyNoLog,        // the same, no log bound
    SharedLogged,    // the source brings an allocator of its own, which the spy passes on downstream
    SharedNoLog,     // the same, no log bound
    SpySink,         // as SpyLogged, the lines handed to a log that drops them (CSinkLog)
    SpyWrite,        // as SpyLogged, each line written as its bytes alone (CWriteLog)
};
const int kPaths = 8;

// The stand-in logs of the paths SpySink and SpyWrite, set before the streams.
CSinkLog* g_pSinkLog = NULL;
CWriteLog* g_pWriteLog = NULL;

bool IsShared(Path path)
{
    return Path::SharedLogged == path || Path::SharedNoLog == path;
}
bool IsLogged(Path path)
{
    return Path::SpyLogged == path || Path::SharedLogged == path;
}

// The log object a path's stream traces into in place of the bound one, and
// whether it has one: NULL for the paths with no log bound.
bool IsStandIn(Path path, IDSLog** ppLog)
{
    *ppLog = NULL;
    switch (path)
    {
    case Path::SpyNoLog:
    case Path::SharedNoLog:
        return true;
    case Path::SpySink:
        *ppLog = g_pSinkLog;
        return true;
    case Path::SpyWrite:
        *ppLog = g_pWriteLog;
        return true;
    default:
        return false;
    }
}

struct Result
{
    double dSeconds = 0;
    bool bOk = false;
    BOOL bSeparateAllocators = FALSE;
};

HRESULT Connect(dsfix::TestGraph& graph, dsfix::TestSource* pSource, CComObject<CSpyFilter>* pSpy,
                IBaseFilter* pRenderer)
{
    const dsfix::ComPtr<IPin> spRendererIn = dsfix::FindPin(pRenderer, PINDIR_INPUT);
    IPin* pRendererIn = spRendererIn.Get();
    if (NULL == pSpy)
        return graph.ConnectDirect(pSource->Pin(), pRendererIn, NULL);
    IPin* pSpyIn = static_cast<IPin*>(pSpy->m_apIn.p);
    IPin* pSpyOut = static_cast<IPin*>(pSpy->m_apOut.p);
    // Upstream first, as a graph builder renders a stream.
    HRESULT hr = S_OK;
    if (FAILED(hr = graph.ConnectDirect(pSource->Pin(), pSpyIn, NULL)))
        return hr;
    return graph.ConnectDirect(pSpyOut, pRendererIn, NULL);
}

// One stream of nSamples from Run to EC_COMPLETE; the graph is built before
// and torn down after the timed part. tFrame: the samples' duration, 0 for
// the bench's own (1 with the clock on, 100000 without).
Result RunStream(Path path, bool bClock, long nSamples, REFERENCE_TIME tFrame = 0)
{
    Result result;
    dsfix::TestSourceConfig config;
    if (0 == tFrame)
        tFrame = bClock ? 1 : 100000;
    config.mediaTypes = { dsfix::VideoType(MEDIASUBTYPE_YUY2, kWidth, kHeight, tFrame) };
    config.sampleCount = nSamples;
    config.frameDuration = tFrame;
    if (Path::Direct == path || IsShared(path))
    {
        // The baseline moves its samples through the same kind of allocator
        // as the spy's connections, so that the difference is the spy's work
        // and not a faster or slower allocator.
        IMemAllocator* pAllocator = NULL;
        if (FAILED(COutput::CreateAllocator(&pAllocator)))
            return result;
        config.allocatorMode = dsfix::SourceAllocator::Given;
        config.allocator.Attach(pAllocator);
    }
    else if (Path::DirectWine == path)
        config.allocatorMode = dsfix::SourceAllocator::Own;

    CComObject<CSpyFilter>* pSpy = NULL;
    if (Path::Direct != path)
    {
        if (FAILED(CComObject<CSpyFilter>::CreateInstance(&pSpy)))
            return result;
        pSpy->AddRef();
    }
    dsfix::TestSource* pSource = NULL;
    if (SUCCEEDED(dsfix::TestSource::Create(config, &pSource)))
    {
        dsfix::TestGraph graph;
        dsfix::ComPtr<IBaseFilter> spRenderer;
        dsfix::ComPtr<IMediaFilter> spMediaFilter;
        HRESULT hr = S_OK;
        if (FAILED(hr = graph.Create()) || FAILED(hr = graph.Add(pSource, L"Test Source")) ||
            (pSpy && FAILED(hr = graph.Add(static_cast<IBaseFilter*>(pSpy), L"Spy Filter"))) ||
            FAILED(hr = graph.AddNew(dsfix::CLSID_WineNullRenderer, L"Null Renderer", &spRenderer)))
        {
            printf("spy_bench: the graph cannot be built, hr=0x%08lX\n", static_cast<unsigned long>(hr));
        }
        else if (!bClock && (FAILED(hr = graph.Builder()->QueryInterface(IID_IMediaFilter,
                                                                         reinterpret_cast<void**>(&spMediaFilter))) ||
                             FAILED(hr = spMediaFilter->SetSyncSource(NULL))))
        {
            printf("spy_bench: the graph's clock cannot be taken off, hr=0x%08lX\n", static_cast<unsigned long>(hr));
        }
        else if (FAILED(hr = Connect(graph, pSource, pSpy, spRenderer)))
        {
            printf("spy_bench: the graph cannot be connected, hr=0x%08lX\n", static_cast<unsigned long>(hr));
        }
        else
        {
            IDSLog* pStandIn = NULL;
            CSwapLog* pSwap = IsStandIn(path, &pStandIn) ? new CSwapLog(pStandIn) : NULL;
            // Paused first, and the pause complete (the first sample held by
            // the renderer): the timed part is the stream, not the start of
            // the streaming thread or the graph's change of state.
            OAFilterState state = State_Stopped;
            bool bDone = SUCCEEDED(graph.Pause()) && S_OK == graph.Control()->GetState(60000, &state) &&
                         State_Paused == state;
            const double t0 = Now();
            bDone = bDone && SUCCEEDED(graph.Run()) && graph.WaitForEvent(EC_COMPLETE, 600000);
            result.dSeconds = Now() - t0;
            // Read before the Stop, which reports the count and starts it again.
            const ULONGLONG ullCounted = pSpy ? pSpy->m_llSamples : 0;
            bDone = (S_OK == graph.Stop()) && bDone;
            delete pSwap;
            long nPassed = 0;
            for (const dsfix::PushRecord& r : pSource->Pushes())
                if (S_OK == r.receiveHr)
                    ++nPassed;
            result.bOk = bDone && nPassed == nSamples && (NULL == pSpy || ullCounted == static_cast<ULONGLONG>(nSamples));
            if (pSpy)
                result.bSeparateAllocators = pSpy->m_bSeparateAllocators;
            if (!result.bOk)
                printf("spy_bench: a stream did not complete (%ld of %ld samples passed)\n", nPassed, nSamples);
        }
        graph.Release();
        pSource->Release();
    }
    if (pSpy)
        pSpy->Release();
    return result;
}

struct Figures
{
    double adBest[kPaths];
    bool abMeasured[kPaths] = {};
    BOOL abSeparate[kPaths] = {}; // the spy copied each sample
    bool bOk = true;
    LONGLONG llLogBytes = 0; // written to the log file by the logged streams
    int nLoggedRuns = 0;
    double dLinesBest = 0;   // the spy's two lines alone through the bound log, us per sample

    Figures()
    {
        for (double& d : adBest)
            d = 1e30;
    }
};

// Best of kRuns streams for each path; the paths take turns, so that a slow
// spell of the machine falls on all of them.
// With pLines, the spy's two lines for one sample are also timed alone, in
// turns with the streams, over as many samples as a stream counts.
Figures Measure(const std::vector<Path>& paths, bool bClock, long nSamples, const std::wstring& sLogFile,
                const std::function<void(int)>* pLines = NULL)
{
    Figures f;
    if (pLines)
        f.dLinesBest = 1e30;
    for (int nRun = 0; nRun < kRuns && f.bOk; ++nRun)
    {
        if (pLines)
        {
            const double d = linecost::PerCall(*pLines, static_cast<int>(nSamples - kShortStream));
            if (d < f.dLinesBest)
                f.dLinesBest = d;
        }
        for (Path path : paths)
        {
            const int i = static_cast<int>(path);
            const LONGLONG llBefore = FileSize(sLogFile);
            const Result r = RunStream(path, bClock, nSamples);
            if (IsLogged(path))
            {
                if (g_pFirstLogClient && g_pFirstLogClient->m_plog)
                    g_pFirstLogClient->m_plog->Flush();
                f.llLogBytes += FileSize(sLogFile) - llBefore;
                ++f.nLoggedRuns;
            }
            f.bOk = f.bOk && r.bOk;
            f.abMeasured[i] = true;
            f.abSeparate[i] = r.bSeparateAllocators;
            if (r.dSeconds < f.adBest[i])
                f.adBest[i] = r.dSeconds;
        }
    }
    return f;
}

void PrintRow(const char* pszName, double dSeconds, double dBase, long nSamples, bool bBaseline)
{
    const double dRate = nSamples / dSeconds;
    const double dUs = dSeconds * 1e6 / nSamples;
    if (bBaseline)
        printf("  %-52s %10.0f %10.2f\n", pszName, dRate, dUs);
    else
        printf("  %-52s %10.0f %10.2f %10.2f %8.2fx\n", pszName, dRate, dUs, (dSeconds - dBase) * 1e6 / nSamples,
               dSeconds / dBase);
}

// Microseconds per call, best of kLineRuns runs of n calls.
template <class F>
double BestOfRuns(F f, int n)
{
    return linecost::BestPerCall(f, n, kLineRuns);
}

// A sample of the allocator class the spy's pins hand out (the one the
// stream's samples come from), stamped as the test source stamps it, and the
// spy's two lines for it as the spy writes them with the graph's clock off
// (the lag line then reports the missing clock).
class CLineSample
{
public:
    CLineSample()
    {
        IMemAllocator* pAllocator = NULL;
        if (FAILED(COutput::CreateAllocator(&pAllocator)))
            return;
        m_spAlloc.Attach(pAllocator);
        ALLOCATOR_PROPERTIES props = { 1, kWidth * kHeight * 2, 1, 0 };
        ALLOCATOR_PROPERTIES actual;
        if (FAILED(m_spAlloc->SetProperties(&props, &actual)) || FAILED(m_spAlloc->Commit()) ||
            FAILED(m_spAlloc->GetBuffer(&m_spSample, NULL, NULL, 0)))
            return;
        REFERENCE_TIME tS = 1234500000;
        REFERENCE_TIME tE = tS + 100000;
        m_spSample->SetTime(&tS, &tE);
        m_spSample->SetActualDataLength(kWidth * kHeight * 2);
        m_spSample->SetSyncPoint(TRUE);
        IMediaSample* pSample = m_spSample.Get();
        m_lines = [pSample](int) {
            Debug_Sample(atlTraceGeneral, eTL_Always, pSample, L"[Spy 99]");
            Debug_SampleLag(atlTraceGeneral, eTL_Always, pSample, 0, NULL, L"[Spy 99]");
        };
    }
    ~CLineSample()
    {
        m_spSample.Reset();
        if (m_spAlloc)
            m_spAlloc->Decommit();
    }
    CLineSample(const CLineSample&) = delete;
    CLineSample& operator=(const CLineSample&) = delete;

    // Null when no sample could be had.
    const std::function<void(int)>* Lines() const { return m_lines ? &m_lines : NULL; }

    // The two records the lines hand to the log.
    std::vector<std::wstring> Records() const
    {
        if (!m_lines)
            return std::vector<std::wstring>();
        CRecordingLog recorder;
        CSwapLog swap(&recorder);
        m_lines(0);
        return recorder.m_lines;
    }

private:
    dsfix::ComPtr<IMemAllocator> m_spAlloc;
    dsfix::ComPtr<IMediaSample> m_spSample;
    std::function<void(int)> m_lines;
};

// The bound log's lines (bytes as in its file) of the spy's two records,
// written after two lines of the same thread, as most of a stream's lines are.
std::vector<std::string> LoggedLines(const CLineSample& sample, const std::wstring& sLogFile)
{
    const std::vector<std::wstring> records = sample.Records();
    IDSLog* pLog = g_pFirstLogClient ? g_pFirstLogClient->m_plog : NULL;
    if (records.size() != 2 || NULL == pLog)
        return std::vector<std::string>();
    for (int i = 0; i < 2; ++i)
        for (const std::wstring& record : records)
            pLog->OutputStringW(record.c_str());
    pLog->Flush();
    char szFile[MAX_PATH * 3] = "";
    WideCharToMultiByte(CP_ACP, 0, sLogFile.c_str(), -1, szFile, sizeof(szFile), NULL, NULL);
    return linecost::LastLines(szFile, 2);
}

struct LineFigures
{
    double dNoLog = 0; // the two lines with no log bound, us per sample
    double dSink = 0;  // formatted and handed to a log that drops them
    linecost::Figures f; // one line through the bound log (f.bOk false when not measured)
};

// The spy's two lines for one sample, called directly: with no log, with a
// log that drops them and with the bound log, and where the time of one of
// them goes, against the write of its own bytes.
LineFigures MeasureLines(const CLineSample& sample, long nSamples, bool bLogged, const std::wstring& sLogFile)
{
    LineFigures lf;
    const std::function<void(int)>* pLines = sample.Lines();
    if (!pLines)
    {
        printf("spy_bench: no sample for the line costs\n");
        return lf;
    }
    const std::function<void(int)>& lines = *pLines;
    const int n = static_cast<int>(nSamples);
    {
        CNoLog noLog;
        lf.dNoLog = BestOfRuns(lines, n);
    }
    {
        CSinkLog sink;
        CSwapLog swap(&sink);
        lf.dSink = BestOfRuns(lines, n);
    }
    const std::vector<std::wstring> records = sample.Records();
    printf("\nwhere the time goes: the spy's two lines for one sample (graph clock off), called directly\n");
    printf("  %-64s %8.3f us\n", "no log bound: dropped before they are formatted", lf.dNoLog);
    printf("  %-64s %8.3f us\n", "formatted and handed to a log that drops them", lf.dSink);
    if (bLogged && records.size() == 2)
    {
        // The two records in turns, as the spy writes them.
        std::vector<std::wstring> all;
        const int nLines = n < 10000 ? n : 10000;
        for (int i = 0; i < nLines; ++i)
            all.push_back(records[i % 2]);
        IDSLog* pLog = g_pFirstLogClient->m_plog;
        char szFile[MAX_PATH * 3] = "";
        WideCharToMultiByte(CP_ACP, 0, sLogFile.c_str(), -1, szFile, sizeof(szFile), NULL, NULL);
        lf.f = linecost::Measure(pLog, szFile, all, kLineRuns * 3, lines, 2);
        if (lf.f.bOk)
        {
            printf("  %-64s %8.3f us\n", "formatted and written by the bound log", 2 * lf.f.dTrace);
            printf("one of these lines (per line, against the write of its own bytes):\n");
            linecost::Print(lf.f, "the trace call: formatting, hand-over and the log's whole line");
            linecost::PrintRow("trace formatting and hand-over alone (to a log that drops it)", lf.dSink / 2,
                               lf.f.dWrite);
        }
    }
    return lf;
}

// The bytes of a file from an offset on.
std::string ReadFrom(const std::wstring& sPath, LONGLONG llFrom)
{
    std::string text;
    HANDLE h = CreateFileW(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                           NULL);
    if (INVALID_HANDLE_VALUE == h)
        return text;
    LARGE_INTEGER size;
    LARGE_INTEGER at;
    at.QuadPart = llFrom;
    if (GetFileSizeEx(h, &size) && size.QuadPart > llFrom && SetFilePointerEx(h, at, NULL, FILE_BEGIN))
    {
        text.resize(static_cast<size_t>(size.QuadPart - llFrom));
        DWORD cbRead = 0;
        ReadFile(h, &text[0], static_cast<DWORD>(text.size()), &cbRead, NULL);
        text.resize(cbRead);
    }
    CloseHandle(h);
    return text;
}

// How often the spy's sample lines open the column group (thread, apartment,
// priority, time: the only lines for which the log asks for the thread's
// priority) in a stream at 25 frames a second with the graph's clock on.
struct ColumnGroups
{
    long nSamples = 0;
    long nLines = 0;   // the spy's sample lines (level 0)
    long nOpening = 0; // of them, lines that open the column group
    std::string sWhere; // the samples whose lines open it ("1, 2")
    bool bOk = false;
};

ColumnGroups CountColumnGroups(long nSamples, const std::wstring& sLogFile)
{
    ColumnGroups c;
    c.nSamples = nSamples;
    const LONGLONG llBefore = FileSize(sLogFile);
    const Result r = RunStream(Path::SpyLogged, true, nSamples, 400000);
    if (g_pFirstLogClient && g_pFirstLogClient->m_plog)
        g_pFirstLogClient->m_plog->Flush();
    const std::string text = ReadFrom(sLogFile, llBefore);
    long nLastSample = 0;
    size_t at = 0;
    while (at < text.size())
    {
        size_t end = text.find("\r\n", at);
        if (std::string::npos == end)
            end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 2;
        // The column group: the thread's (up to its first tab), three tabs,
        // or a tab, a time and a tab; the level follows.
        const bool bOpening = !line.empty() && '\t' != line[0];
        size_t nLevel = std::string::npos;
        if (bOpening)
            nLevel = line.find('\t');
        else if (0 == line.compare(0, 3, "\t\t\t"))
            nLevel = 2;
        else if (line.size() > 1)
            nLevel = line.find('\t', 1);
        if (std::string::npos == nLevel || 0 != line.compare(nLevel + 1, 2, "0 ") ||
            std::string::npos == line.find("[Spy ", nLevel))
            continue;
        ++c.nLines;
        if (bOpening)
        {
            ++c.nOpening;
            // Two lines a sample: the sample's and its lag line.
            const long nSample = (c.nLines + 1) / 2;
            if (nSample != nLastSample)
                c.sWhere += (c.sWhere.empty() ? "" : ", ") + std::to_string(nSample);
            nLastSample = nSample;
        }
    }
    c.bOk = r.bOk;
    return c;
}

} // namespace

int main(int argc, char** argv)
{
    long nSamples = (argc > 1) ? atol(argv[1]) : 20000;
    if (nSamples < 10 * kShortStream)
        nSamples = 10 * kShortStream;
    dsfix::ComInit com;

    const LogSetup setup = ReadLogSetup();
    const bool bLogged = NULL != g_pFirstLogClient && NULL != g_pFirstLogClient->m_plog;
    printf("spy filter cost per sample: test source (YUY2 %ldx%ld, %ld-byte samples) -> [spy] -> Wine's Null Renderer\n",
           kWidth, kHeight, kWidth * kHeight * 2);
    printf("%ld samples a stream, best of %d streams per path, the paths taking turns\n", nSamples, kRuns);
    if (bLogged)
        printf("log: bound (%ls), level %lu, file %ls\n", setup.sBinding.c_str(), static_cast<unsigned long>(setup.dwLevel),
               setup.sFile.empty() ? L"(none)" : setup.sFile.c_str());
    else
        printf("log: NOT bound (HKCU\\Software\\_VoxaDEZ64 names no loadable log library): run `rundll32 Dez64.dll,default`\n"
               "     first; only the figures with tracing off are measured\n");
    printf("tracing off = no log bound: the sample lines are level 0, which no level setting mutes\n");

    const CLineSample lineSample;
    // The stand-in logs of the breakdown: one that drops the lines, one that
    // only writes their bytes.
    CSinkLog sinkLog;
    std::vector<std::string> loggedLines;
    if (bLogged)
        loggedLines = LoggedLines(lineSample, setup.sFile);
    CWriteLog writeLog(loggedLines);
    const bool bBreakdown = bLogged && writeLog.IsOk();
    g_pSinkLog = &sinkLog;
    g_pWriteLog = bBreakdown ? &writeLog : NULL;

    bool bOk = true;
    double dTwoLines = 0;
    double adAdded[kPaths] = {};
    for (bool bClock : { false, true })
    {
        std::vector<Path> paths = { Path::Direct };
        if (!bClock)
            paths.push_back(Path::DirectWine);
        if (bLogged)
            paths.push_back(Path::SpyLogged);
        paths.push_back(Path::SpyNoLog);
        if (bLogged)
            paths.push_back(Path::SharedLogged);
        paths.push_back(Path::SharedNoLog);
        if (!bClock && bBreakdown)
        {
            paths.push_back(Path::SpySink);
            paths.push_back(Path::SpyWrite);
        }
        Figures f = Measure(paths, bClock, nSamples, setup.sFile, !bClock && bLogged ? lineSample.Lines() : NULL);
        bOk = bOk && f.bOk;
        // What a stream costs besides its samples (the graph's change of
        // state and its event; with the clock on, Wine's graph starts the
        // stream a fixed time after Run and the first sample waits for it),
        // measured as a short direct stream, is taken off every path.
        const double dStartWait =
            Measure({ Path::Direct }, bClock, kShortStream, std::wstring()).adBest[static_cast<int>(Path::Direct)];
        for (double& d : f.adBest)
            d -= dStartWait;
        const long nCounted = nSamples - kShortStream;
        printf("\n%s\n", bClock ? "graph clock on, samples stamped 100 ns apart, so that the renderer hardly waits"
                                : "graph clock off (IMediaFilter::SetSyncSource(NULL)): the renderer never waits");
        printf("  %-52s %10s %10s %10s %9s\n", "path", "samples/s", "us/sample", "added us", "ratio");
        printf("  (less a direct stream of %ld samples, %.2f ms, the start and the end of a stream; per sample\n"
               "   over the other %ld)\n", kShortStream, dStartWait * 1e3, nCounted);
        const double dBase = f.adBest[static_cast<int>(Path::Direct)];
        struct Row
        {
            Path path;
            const char* pszName;
        };
        const Row aRows[] = {
            { Path::DirectWine, "direct, Wine's memory allocator (not the baseline)" },
            { Path::SpyLogged, "spy, log writing" },
            { Path::SpyNoLog, "spy, no log bound (tracing off)" },
            { Path::SharedLogged, "spy, source's allocator passed on, log writing" },
            { Path::SharedNoLog, "spy, source's allocator passed on, tracing off" },
            { Path::SpySink, "spy, its lines handed to a log that drops them" },
            { Path::SpyWrite, "spy, its lines written as their bytes alone" },
        };
        PrintRow("direct (baseline)", dBase, dBase, nCounted, true);
        for (const Row& row : aRows)
        {
            const int i = static_cast<int>(row.path);
            if (!f.abMeasured[i])
                continue;
            PrintRow(row.pszName, f.adBest[i], dBase, nCounted, false);
        }
        for (Path path : { Path::SpyNoLog, Path::SharedNoLog })
            printf("  the spy's connections with %s: %s\n",
                   IsShared(path) ? "the source's allocator" : "the allocator the spy hands upstream",
                   f.abSeparate[static_cast<int>(path)] ? "separate allocators (the spy copies each sample)"
                                                        : "one allocator (samples pass through)");
        if (bLogged && f.nLoggedRuns > 0)
            printf("  the log file grew by %.0f bytes per sample\n",
                   static_cast<double>(f.llLogBytes) / (static_cast<double>(f.nLoggedRuns) * nSamples));
        if (!f.bOk)
            printf("  (a stream failed: these figures do not count)\n");
        if (!bClock)
        {
            for (int i = 0; i < kPaths; ++i)
                adAdded[i] = f.abMeasured[i] ? (f.adBest[i] - dBase) * 1e6 / nCounted : 0;
            dTwoLines = f.dLinesBest;
            if (bLogged)
                printf("  the spy's two lines alone, through the bound log (in turns with the streams): %.2f us\n",
                       dTwoLines);
        }
    }
    const double dAddedLogged = adAdded[static_cast<int>(Path::SpyLogged)];
    const double dAddedOff = adAdded[static_cast<int>(Path::SpyNoLog)];
    const double dSharedLogged = adAdded[static_cast<int>(Path::SharedLogged)];
    const double dSharedOff = adAdded[static_cast<int>(Path::SharedNoLog)];

    const LineFigures lf = MeasureLines(lineSample, nSamples, bLogged, setup.sFile);

    // The priority column in a stream at the pace of a real video.
    const long kPacedSamples = 50;
    if (bLogged && lf.f.bOk)
    {
        const ColumnGroups c = CountColumnGroups(kPacedSamples, setup.sFile);
        const double dPerSample = c.nSamples > 0 ? static_cast<double>(c.nOpening) / c.nSamples : 0;
        const double dPriority = lf.f.priority.adMedian[linecost::PriorityCosts::eCurrent];
        printf("\nthe priority column in a stream of %ld samples at 25 frames a second (graph clock on, 2 s)\n",
               c.nSamples);
        printf("  the spy's sample lines: %ld, of them opening the column group (thread, priority, time): %ld%s%s%s\n",
               c.nLines, c.nOpening, c.sWhere.empty() ? "" : " (of samples ", c.sWhere.c_str(),
               c.sWhere.empty() ? "" : ")");
        printf("  %.3f priority asks per sample, at %.2f us (median, above): %.3f us per sample over these 2 s%s\n",
               dPerSample, dPriority, dPerSample * dPriority, c.bOk ? "" : "  (the stream failed: does not count)");
        bOk = bOk && c.bOk;
    }

    printf("\nthe rest of the spy's work per sample: the added cost (graph clock off) less its two lines\n");
    printf("  %-64s %8.3f us\n", "tracing off", dAddedOff - lf.dNoLog);
    if (bLogged && dTwoLines > 0)
        printf("  %-64s %8.3f us\n", "log writing", dAddedLogged - dTwoLines);
    if (bBreakdown && lf.f.bOk)
    {
        // The stream with the lines in steps, each step measured in the
        // stream and alone: the lines handed to a log that drops them, then
        // the whole log. Beside them, the stream with the lines' bytes
        // written by bare WriteFile calls in place of the log, against a
        // loop of those writes alone.
        const double dSink = adAdded[static_cast<int>(Path::SpySink)];
        const double dBare = adAdded[static_cast<int>(Path::SpyWrite)];
        const double dFormatStream = dSink - dAddedOff;
        const double dLogStream = dAddedLogged - dSink;
        const double dLogAlone = dTwoLines - lf.dSink;
        const double dBareStream = dBare - dSink;
        const double dBareAlone = 2 * lf.f.dWrite;
        printf("\nwhere the added cost of the log writing goes (graph clock off), per sample   in the stream    alone\n");
        printf("  %-64s %8.3f us\n", "the spy's own work (tracing off)", dAddedOff);
        printf("  %-64s %8.3f us %8.3f us\n", "+ its two lines formatted and handed to a log that drops them",
               dFormatStream, lf.dSink);
        printf("  %-64s %8.3f us %8.3f us\n", "+ their two writes and the log's own work for them", dLogStream, dLogAlone);
        printf("  %-64s %8.3f us %8.3f us\n", "= the spy with the log writing", dAddedLogged, dTwoLines);
        printf("  %-64s %8.3f us %8.3f us\n", "for comparison: their bytes by two bare WriteFile calls, no log",
               dBareStream, dBareAlone);
        printf("  the rest (%.3f us) is the spy's own work (%.3f us) and the lines costing more in the stream\n"
               "  than in a loop of lines alone (%.3f us: formatting %.3f, writes and the log %.3f); the bare\n"
               "  writes of the same bytes cost %.3f us more in the stream than in a loop of writes alone: the\n"
               "  system call costs more between other work than back to back\n",
               dAddedLogged - dTwoLines, dAddedOff, dAddedLogged - dTwoLines - dAddedOff, dFormatStream - lf.dSink,
               dLogStream - dLogAlone, dBareStream - dBareAlone);
    }
    printf("\ntargets (graph clock off):\n");
    if (bLogged && dTwoLines > 0)
    {
        const double dRest = dAddedLogged - dTwoLines;
        printf("  spy with the log writing: %.2f us added, its two lines %.2f us, the rest %.2f us: %s (at most 0.5 us)\n",
               dAddedLogged, dTwoLines, dRest, dRest <= 0.5 ? "met" : "NOT met");
        const double dShared = dSharedLogged - dTwoLines;
        printf("  passing on, log writing:  %.2f us added, its two lines %.2f us, the rest %.2f us: %s (at most 0.5 us)\n",
               dSharedLogged, dTwoLines, dShared, dShared <= 0.5 ? "met" : "NOT met");
    }
    else
        printf("  %-40s not measured: no log bound\n", "spy with the log writing");
    printf("  spy with tracing off:     %.2f us added: %s (at most 0.2 us)\n", dAddedOff,
           dAddedOff <= 0.2 ? "met" : "NOT met");
    printf("  passing on, tracing off:  %.2f us added: %s (at most 0.2 us)\n", dSharedOff,
           dSharedOff <= 0.2 ? "met" : "NOT met");
    if (!bOk)
        return 2;
    return bLogged ? 0 : 1;
}
