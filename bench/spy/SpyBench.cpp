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
// and without the log, one short fixed line through the log and one plain
// WriteFile of such a line, to show where the added time goes.
//
//   spy_bench.exe [samples per run]
#include "SpyFilter.h"

#include "dsfix/Graph.h"
#include "dsfix/TestSource.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

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

// Takes the log away from every trace of the process while it lives, as if
// no binding had been found at load.
class CNoLog
{
public:
    CNoLog() : m_pLog(g_pFirstLogClient ? g_pFirstLogClient->m_plog : NULL)
    {
        if (g_pFirstLogClient)
            g_pFirstLogClient->m_plog = NULL;
    }
    ~CNoLog()
    {
        if (g_pFirstLogClient)
            g_pFirstLogClient->m_plog = m_pLog;
    }
    CNoLog(const CNoLog&) = delete;
    CNoLog& operator=(const CNoLog&) = delete;

private:
    IDSLog* m_pLog;
};

enum class Path
{
    Direct,          // the source's allocator: one of the class the spy's pins hand out
    DirectWine,      // the source's own allocator: Wine's memory allocator
    SpyLogged,       // source -> spy first, then spy -> renderer (as a graph builder does)
    SpyNoLog,        // the same, no log bound
    SharedLogged,    // the source brings an allocator of its own, which the spy passes on downstream
    SharedNoLog,     // the same, no log bound
};
const int kPaths = 6;

bool IsShared(Path path)
{
    return Path::SharedLogged == path || Path::SharedNoLog == path;
}
bool IsLogged(Path path)
{
    return Path::SpyLogged == path || Path::SharedLogged == path;
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
// and torn down after the timed part.
Result RunStream(Path path, bool bClock, long nSamples)
{
    Result result;
    dsfix::TestSourceConfig config;
    const REFERENCE_TIME tFrame = bClock ? 1 : 100000;
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
            CNoLog* pNoLog = (Path::SpyNoLog == path || Path::SharedNoLog == path) ? new CNoLog : NULL;
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
            delete pNoLog;
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
    double adBest[kPaths] = { 1e30, 1e30, 1e30, 1e30, 1e30, 1e30 };
    bool abMeasured[kPaths] = {};
    BOOL abSeparate[kPaths] = {}; // the spy copied each sample
    bool bOk = true;
    LONGLONG llLogBytes = 0; // written to the log file by the logged streams
    int nLoggedRuns = 0;
};

// Best of kRuns streams for each path; the paths take turns, so that a slow
// spell of the machine falls on all of them.
Figures Measure(const std::vector<Path>& paths, bool bClock, long nSamples, const std::wstring& sLogFile)
{
    Figures f;
    for (int nRun = 0; nRun < kRuns && f.bOk; ++nRun)
    {
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

void PrintTarget(const char* pszName, double dAdded, double dTarget)
{
    if (dAdded < dTarget)
        printf("  %-34s %6.2f us added, target under %.1f us: met\n", pszName, dAdded, dTarget);
    else
        printf("  %-34s %6.2f us added, target under %.1f us: NOT met, by %.2f us (%.1fx the target)\n", pszName,
               dAdded, dTarget, dAdded - dTarget, dAdded / dTarget);
}

// Microseconds per call, best of kLineRuns runs of n calls.
template <class F>
double PerCall(F f, int n)
{
    double dBest = 1e30;
    for (int nRun = 0; nRun < kLineRuns; ++nRun)
    {
        const double t0 = Now();
        for (int i = 0; i < n; ++i)
            f(i);
        const double dUs = (Now() - t0) * 1e6 / n;
        if (dUs < dBest)
            dBest = dUs;
    }
    return dBest;
}

// Microseconds per line written with WriteFile to a file opened for
// appending, the way a log keeps every line.
double PlainWrite(int n)
{
    WCHAR szDir[MAX_PATH];
    WCHAR szPath[MAX_PATH];
    if (0 == GetTempPathW(MAX_PATH, szDir) || 0 == GetTempFileNameW(szDir, L"spb", 0, szPath))
        return 0;
    const HANDLE h = CreateFileW(szPath, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (INVALID_HANDLE_VALUE == h)
        return 0;
    static const char s_szLine[] = "12:00:00.000 1234 0 ? 0 Bench.exe [Spy 99] a short fixed line\r\n";
    const double dUs = PerCall(
        [h](int) {
            DWORD cb = 0;
            WriteFile(h, s_szLine, sizeof(s_szLine) - 1, &cb, NULL);
        },
        n);
    CloseHandle(h);
    DeleteFileW(szPath);
    return dUs;
}

// The spy's two lines for one sample, measured outside the graph on a sample
// of Wine's memory allocator stamped as the test source stamps it.
void MeasureLines(long nSamples, bool bLogged, double dAddedLogged, double dAddedOff)
{
    dsfix::ComPtr<IMemAllocator> spAlloc;
    dsfix::ComPtr<IReferenceClock> spClock;
    if (FAILED(CoCreateInstance(CLSID_MemoryAllocator, NULL, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                reinterpret_cast<void**>(&spAlloc))) ||
        FAILED(CoCreateInstance(CLSID_SystemClock, NULL, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                                reinterpret_cast<void**>(&spClock))))
    {
        printf("spy_bench: no memory allocator or system clock for the line costs\n");
        return;
    }
    ALLOCATOR_PROPERTIES props = { 1, kWidth * kHeight * 2, 1, 0 };
    ALLOCATOR_PROPERTIES actual;
    dsfix::ComPtr<IMediaSample> spSample;
    if (FAILED(spAlloc->SetProperties(&props, &actual)) || FAILED(spAlloc->Commit()) ||
        FAILED(spAlloc->GetBuffer(&spSample, NULL, NULL, 0)))
    {
        printf("spy_bench: no sample for the line costs\n");
        return;
    }
    REFERENCE_TIME tS = 1234500000;
    REFERENCE_TIME tE = tS + 100000;
    spSample->SetTime(&tS, &tE);
    spSample->SetActualDataLength(kWidth * kHeight * 2);
    spSample->SetSyncPoint(TRUE);
    IMediaSample* pSample = spSample.Get();
    IReferenceClock* pClock = spClock.Get();
    LPCWSTR pszName = L"[Spy 99]";

    const int n = static_cast<int>(nSamples);
    auto lines = [=](IReferenceClock* pC) {
        return [=](int) {
            Debug_Sample(atlTraceGeneral, eTL_Always, pSample, pszName);
            Debug_SampleLag(atlTraceGeneral, eTL_Always, pSample, 0, pC, pszName);
        };
    };
    double dNoLogOff = 0;
    double dNoLogOn = 0;
    {
        CNoLog noLog;
        dNoLogOff = PerCall(lines(NULL), n);
        dNoLogOn = PerCall(lines(pClock), n);
    }
    printf("\nwhere the time goes: the spy's two lines for one sample, called directly (best of %d runs of %d)\n",
           kLineRuns, n);
    printf("  %-58s %8s %8s\n", "", "no clock", "clock");
    printf("  %-58s %8.2f %8.2f us\n", "no log bound: formatted, then dropped", dNoLogOff, dNoLogOn);
    double dLogOff = 0;
    if (bLogged)
    {
        dLogOff = PerCall(lines(NULL), n);
        const double dLogOn = PerCall(lines(pClock), n);
        const double dFixed =
            PerCall([](int) { _LogTrace(atlTraceGeneral, eTL_Always, L"[Spy 99] a short fixed line\n"); }, n);
        printf("  %-58s %8.2f %8.2f us\n", "log bound: formatted and written", dLogOff, dLogOn);
        printf("  %-58s %8.2f %8.2f us\n", "  of which the log's writing (bound - unbound)", dLogOff - dNoLogOff,
               dLogOn - dNoLogOn);
        printf("  %-58s %8.2f us\n", "one short fixed line through the bound log (no formatting)", dFixed);
        printf("  %-58s %8.2f us\n", "one line of that length by plain WriteFile (appending)", PlainWrite(n));
    }
    printf("the rest of the spy's work per sample: the added cost (graph clock off) less its two lines\n");
    printf("  %-58s %8.2f us\n", "tracing off", dAddedOff - dNoLogOff);
    if (bLogged)
        printf("  %-58s %8.2f us\n", "log writing", dAddedLogged - dLogOff);
    spSample.Reset();
    spAlloc->Decommit();
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

    bool bOk = true;
    double dAddedLogged = 0;
    double dAddedOff = 0;
    double dSharedLogged = 0;
    double dSharedOff = 0;
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
        Figures f = Measure(paths, bClock, nSamples, setup.sFile);
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
            dAddedLogged = (f.adBest[static_cast<int>(Path::SpyLogged)] - dBase) * 1e6 / nCounted;
            dAddedOff = (f.adBest[static_cast<int>(Path::SpyNoLog)] - dBase) * 1e6 / nCounted;
            dSharedLogged = (f.adBest[static_cast<int>(Path::SharedLogged)] - dBase) * 1e6 / nCounted;
            dSharedOff = (f.adBest[static_cast<int>(Path::SharedNoLog)] - dBase) * 1e6 / nCounted;
        }
    }

    printf("\ntargets (graph clock off):\n");
    if (bLogged)
        PrintTarget("spy with the log writing", dAddedLogged, 5.0);
    else
        printf("  %-40s not measured: no log bound\n", "spy with the log writing");
    PrintTarget("spy with tracing off", dAddedOff, 0.5);
    if (bLogged)
        PrintTarget("passing on, with the log writing", dSharedLogged, 5.0);
    PrintTarget("passing on, with tracing off", dSharedOff, 0.5);

    MeasureLines(nSamples, bLogged, dAddedLogged, dAddedOff);
    if (!bOk)
        return 2;
    return bLogged ? 0 : 1;
}
