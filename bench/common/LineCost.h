// Where the time of a log line goes, against the write of its own bytes:
// shared by the benchmarks of the log and of the spy. The log writes each
// committed line at once with one WriteFile on a handle that appends (several
// processes may share its file); that write is the floor of a line, and
// every figure is set against the same bytes written that way in the same
// run. The stages and the baseline take turns in rounds; each figure is the
// best round.
//
// Stages, through the log object (cumulative):
//   by hand     ReserveLine + CommitLine of the finished slot text: the ring,
//               the line's time, its columns, its message and the write
//   ANSI        OutputStringA of the converted record: + the caller's module
//               prefix and the slot text
//   whole line  OutputStringW of the wide record: + its conversion
// and, given by the caller, the trace call that makes the record (formatting
// in the filter module). The pieces inside, measured alone with the log
// library's own code: conversion, caller prefix, line time, column group and
// level, message text; the ring's share is what a hand-committed line costs
// beyond its write, time, columns and message.
#pragma once

#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "SymbolEngine.h"
#include "IDSLog.h"
#include "Log.h"
#include "LogText.h"

namespace linecost {

inline double Now()
{
    static LARGE_INTEGER s_freq;
    if (0 == s_freq.QuadPart)
        QueryPerformanceFrequency(&s_freq);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) / double(s_freq.QuadPart);
}

// Microseconds per call of f(i) for i below n, one run.
template <class F>
double PerCall(F f, int n)
{
    const double t0 = Now();
    for (int i = 0; i < n; ++i)
        f(i);
    return (Now() - t0) * 1e6 / n;
}

// The same, best of nRounds runs.
template <class F>
double BestPerCall(F f, int n, int nRounds)
{
    double dBest = 1e30;
    for (int nRound = 0; nRound < nRounds; ++nRound)
    {
        const double d = PerCall(f, n);
        if (d < dBest)
            dBest = d;
    }
    return dBest;
}

// The last n lines of a file, each with its CR LF.
inline std::vector<std::string> LastLines(const std::string& path, size_t n)
{
    std::vector<std::string> lines;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return lines;
    LARGE_INTEGER size;
    GetFileSizeEx(h, &size);
    const LONGLONG llTail = (LONGLONG)n * 600 < size.QuadPart ? (LONGLONG)n * 600 : size.QuadPart;
    LARGE_INTEGER at;
    at.QuadPart = size.QuadPart - llTail;
    SetFilePointerEx(h, at, NULL, FILE_BEGIN);
    std::string text((size_t)llTail, '\0');
    DWORD cbRead = 0;
    ReadFile(h, &text[0], (DWORD)llTail, &cbRead, NULL);
    CloseHandle(h);
    text.resize(cbRead);
    size_t end = text.size();
    while (lines.size() < n && end >= 2)
    {
        const size_t start = text.rfind("\r\n", end - 3);
        const size_t from = start == std::string::npos ? 0 : start + 2;
        lines.insert(lines.begin(), text.substr(from, end - from));
        if (start == std::string::npos)
            break;
        end = from;
    }
    return lines;
}

// The ways of asking the system for the calling thread's priority, each a
// true answer, and a plain round trip to the system for comparison: under
// Wine every one of them is a request to the Wine server, which alone holds
// a thread's priority. Each call is timed alone, the ways taking turns call
// by call, so that a slow spell of the machine (a server that must first
// wake up) falls on all of them; medians and 90th percentiles, microseconds.
struct PriorityCosts
{
    enum
    {
        eCurrent,   // GetThreadPriority(GetCurrentThread()): what the log asks
        eHandle,    // GetThreadPriority of a real handle of the thread
        eNative,    // NtQueryInformationThread(ThreadBasicInformation) directly
        eRoundTrip, // a wait on a signalled event: a plain server round trip
        eWays
    };
    double adMedian[eWays] = {};
    double adP90[eWays] = {};
    bool abTrue[eWays] = {}; // gave the thread's priority for every level tried
};

inline const char* PriorityWayName(int nWay)
{
    static const char* const s_apsz[PriorityCosts::eWays] = {
        "GetThreadPriority(GetCurrentThread()) (what the log asks)",
        "GetThreadPriority of a real handle of the thread",
        "NtQueryInformationThread(ThreadBasicInformation) directly",
        "for comparison: a wait on a signalled event (one round trip)",
    };
    return s_apsz[nWay];
}

inline PriorityCosts MeasurePriority(int nCalls)
{
    struct BasicInformation // THREAD_BASIC_INFORMATION
    {
        LONG lExitStatus;
        PVOID pTeb;
        HANDLE ahClientId[2];
        ULONG_PTR ulAffinity;
        LONG lPriority;
        LONG lBasePriority;
    };
    typedef LONG(WINAPI * PFN_Query)(HANDLE, int, PVOID, ULONG, PULONG);
    const int kThreadBasicInformation = 0;
    HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
    const PFN_Query pfnQuery = hNtdll ? (PFN_Query)(void*)GetProcAddress(hNtdll, "NtQueryInformationThread") : NULL;
    HANDLE hThread = NULL;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &hThread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    HANDLE hEvent = CreateEventA(NULL, TRUE, TRUE, NULL);
    auto Ask = [&](int nWay) -> int {
        switch (nWay)
        {
        case PriorityCosts::eCurrent:
            return GetThreadPriority(GetCurrentThread());
        case PriorityCosts::eHandle:
            return GetThreadPriority(hThread);
        case PriorityCosts::eNative:
        {
            BasicInformation info = {};
            if (!pfnQuery || pfnQuery(GetCurrentThread(), kThreadBasicInformation, &info, sizeof(info), NULL) < 0)
                return THREAD_PRIORITY_ERROR_RETURN;
            return info.lBasePriority;
        }
        default:
            return (int)WaitForSingleObject(hEvent, 0);
        }
    };

    PriorityCosts costs;
    const int anLevels[] = {THREAD_PRIORITY_IDLE,    THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_BELOW_NORMAL,
                            THREAD_PRIORITY_NORMAL,  THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                            THREAD_PRIORITY_TIME_CRITICAL};
    const int nBefore = GetThreadPriority(GetCurrentThread());
    for (int nWay = 0; nWay < PriorityCosts::eRoundTrip; ++nWay)
        costs.abTrue[nWay] = true;
    for (int nLevel : anLevels)
    {
        SetThreadPriority(GetCurrentThread(), nLevel);
        for (int nWay = 0; nWay < PriorityCosts::eRoundTrip; ++nWay)
            costs.abTrue[nWay] = costs.abTrue[nWay] && Ask(nWay) == nLevel;
    }
    SetThreadPriority(GetCurrentThread(), nBefore);

    std::vector<double> adTimes[PriorityCosts::eWays];
    for (int i = 0; i < nCalls; ++i)
        for (int nWay = 0; nWay < PriorityCosts::eWays; ++nWay)
        {
            const double t0 = Now();
            (void)Ask(nWay);
            adTimes[nWay].push_back((Now() - t0) * 1e6);
        }
    for (int nWay = 0; nWay < PriorityCosts::eWays; ++nWay)
    {
        std::vector<double>& ad = adTimes[nWay];
        std::sort(ad.begin(), ad.end());
        if (!ad.empty())
        {
            costs.adMedian[nWay] = ad[ad.size() / 2];
            costs.adP90[nWay] = ad[ad.size() * 9 / 10];
        }
    }
    if (hThread)
        CloseHandle(hThread);
    if (hEvent)
        CloseHandle(hEvent);
    return costs;
}

inline void PrintPriority(const PriorityCosts& costs)
{
    printf("  %-64s %11s %11s\n", "the thread's priority, asked for lines that open the columns", "median", "90%");
    for (int nWay = 0; nWay < PriorityCosts::eWays; ++nWay)
        printf("  %-64s %8.2f us %8.2f us%s\n", PriorityWayName(nWay), costs.adMedian[nWay], costs.adP90[nWay],
               nWay == PriorityCosts::eRoundTrip ? "" : (costs.abTrue[nWay] ? "" : "  (NOT true for every level)"));
}

struct Figures
{
    double dWrite = 1e30;  // WriteFile of the line's bytes
    double dHand = 1e30;   // by hand
    double dAnsi = 1e30;   // OutputStringA
    double dWhole = 1e30;  // OutputStringW
    double dTrace = 1e30;  // the caller's trace call per line (0 when none)
    double dConvert = 0, dPrefix = 0, dTime = 0, dColumns = 0, dMessage = 0, dLocalTime = 0;
    PriorityCosts priority;
    double dBytes = 0;     // bytes per line
    bool bOk = false;
};

// Measures the lines of records (wide trace records, level character first)
// through pLog, whose file is logPath. traceLines, when given, makes
// nTraceLines lines per call of its argument the way the product does (the
// records are what it hands to the log). nRounds rounds of records.size()
// lines each.
inline Figures Measure(IDSLog* pLog, const std::string& logPath, const std::vector<std::wstring>& records,
                       int nRounds, const std::function<void(int)>& traceLines = nullptr, int nTraceLines = 1)
{
    Figures f;
    const int n = (int)records.size();
    std::vector<std::string> narrow(n), slot(n);
    char szPrefix[LOG_PREFIX_SIZE] = "";
    ModulePrefixOf(GetModuleHandleA(NULL), szPrefix, sizeof(szPrefix));
    char szText[2048];
    for (int i = 0; i < n; ++i)
    {
        ConvertRecord(records[i].c_str(), 600, szText, sizeof(szText));
        narrow[i] = szText;
        slot[i] = std::string(szPrefix) + (narrow[i].c_str() + (narrow[i][0] >= 1 && narrow[i][0] <= 31 ? 1 : 0));
        if (slot[i].size() >= (size_t)LOG_TEXT_SIZE)
            slot[i].resize(LOG_TEXT_SIZE - 1);
    }
    const int nLevel = records.empty() || records[0][0] < 1 || records[0][0] > 31 ? 4 : records[0][0] - 1;

    // A first round of whole lines gives the baseline's bytes.
    for (int i = 0; i < n; ++i)
        pLog->OutputStringW(records[i].c_str());
    pLog->Flush();
    const std::vector<std::string> lines = LastLines(logPath, n);
    if (lines.size() != (size_t)n)
    {
        printf("line costs: %u of %d lines found in %s\n", (unsigned)lines.size(), n, logPath.c_str());
        return f;
    }
    size_t cb = 0;
    for (const std::string& line : lines)
        cb += line.size();
    f.dBytes = double(cb) / n;

    char szBase[MAX_PATH], szBaseFile[MAX_PATH];
    GetTempPathA(MAX_PATH, szBase);
    GetTempFileNameA(szBase, "lcb", 0, szBaseFile);
    HANDLE hBase = CreateFileA(szBaseFile, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    auto Best = [](double& dBest, double d) {
        if (d < dBest)
            dBest = d;
    };
    for (int nRound = 0; nRound < nRounds; ++nRound)
    {
        Best(f.dWrite, PerCall(
                           [&](int i) {
                               DWORD cbDone;
                               WriteFile(hBase, lines[i].data(), (DWORD)lines[i].size(), &cbDone, NULL);
                           },
                           n));
        Best(f.dHand, PerCall(
                          [&](int i) {
                              int nIndex, cchRoom;
                              char* pszSlot;
                              if (pLog->ReserveLine(&nIndex, &pszSlot, &cchRoom) == S_OK)
                              {
                                  memcpy(pszSlot, slot[i].c_str(), slot[i].size() + 1);
                                  pLog->CommitLine(nIndex, 0, nLevel);
                              }
                          },
                          n));
        Best(f.dAnsi, PerCall([&](int i) { pLog->OutputStringA(narrow[i].c_str()); }, n));
        Best(f.dWhole, PerCall([&](int i) { pLog->OutputStringW(records[i].c_str()); }, n));
        if (traceLines)
            Best(f.dTrace, PerCall(traceLines, n / nTraceLines) / nTraceLines);
    }
    CloseHandle(hBase);
    DeleteFileA(szBaseFile);
    if (!traceLines)
        f.dTrace = 0;

    // The pieces alone, with the library's own code.
    const int nPieceRounds = nRounds < 5 ? nRounds : 5;
    WatchModuleUnloads();
    char szOut[LOG_LINE_SIZE];
    f.dConvert = BestPerCall([&](int i) { ConvertRecord(records[i].c_str(), 600, szOut, sizeof(szOut)); }, n,
                             nPieceRounds);
    const void* pCaller = (const void*)&Now;
    f.dPrefix = BestPerCall([&](int) { g_CallerPrefixes.PrefixOf(pCaller, szPrefix, sizeof(szPrefix)); }, n,
                            nPieceRounds);
    StopWatchingModuleUnloads();
    CLineClock clock;
    SYSTEMTIME st, stLast;
    clock.Now(&stLast);
    f.dTime = BestPerCall([&](int) { clock.Now(&st); }, n, nPieceRounds);
    f.dLocalTime = BestPerCall([&](int) { GetLocalTime(&st); }, n, nPieceRounds);
    const DWORD dwThread = GetCurrentThreadId();
    f.dColumns = BestPerCall(
        [&](int i) {
            st.wMilliseconds = (WORD)(i % 1000);
            const int nCols = FormatColumnGroup(szOut, dwThread, "?", 0, st, dwThread, stLast);
            FormatLevel(szOut + nCols, nLevel);
            stLast = st;
        },
        n, nPieceRounds);
    f.dMessage = BestPerCall([&](int i) { NormaliseMessage(szOut, 2000, slot[i].c_str()); }, n, nPieceRounds);
    f.priority = MeasurePriority(300);
    f.bOk = true;
    return f;
}

inline void PrintRow(const char* pszName, double dUs, double dWrite)
{
    printf("  %-64s %8.3f us %7.2fx\n", pszName, dUs, dUs / dWrite);
}

// The figures as a table, each per line and against the line's write.
inline void Print(const Figures& f, const char* pszTrace = NULL)
{
    const double w = f.dWrite;
    printf("  stages, cumulative (%.1f bytes a line)                          per line   / write\n", f.dBytes);
    PrintRow("WriteFile of the line's bytes, appending (the baseline)", w, w);
    PrintRow("by hand: ring, time, columns, message, write", f.dHand, w);
    PrintRow("OutputStringA: + caller prefix and slot text", f.dAnsi, w);
    PrintRow("OutputStringW: + conversion = the log's whole line", f.dWhole, w);
    if (pszTrace)
        PrintRow(pszTrace, f.dTrace, w);
    printf("  where a line's time goes besides its write                      per line   / write\n");
    if (pszTrace)
        PrintRow("trace formatting in the filter module (trace call less log)", f.dTrace - f.dWhole, w);
    PrintRow("ring reserve/commit and flush (by hand less its parts)",
             f.dHand - w - f.dTime - f.dColumns - f.dMessage, w);
    PrintRow("line time (precise clock, local time once a minute)", f.dTime, w);
    PrintRow("column group and level", f.dColumns, w);
    PrintRow("message text (line breaks, CR LF)", f.dMessage, w);
    PrintRow("caller-module prefix (a known module)", f.dPrefix, w);
    PrintRow("slot text and entry (ANSI less by hand less prefix)", f.dAnsi - f.dHand - f.dPrefix, w);
    PrintRow("conversion of the wide record", f.dConvert, w);
    PrintRow("entry of the wide record (whole less ANSI less conversion)", f.dWhole - f.dAnsi - f.dConvert, w);
    PrintRow("the write itself", w, w);
    PrintRow("the log's whole line beyond its write", f.dWhole - w, w);
    printf("  for comparison                                                  per call   / write\n");
    PrintRow("GetLocalTime (the line time asked of the system)", f.dLocalTime, w);
    PrintPriority(f.priority);
}

} // namespace linecost
