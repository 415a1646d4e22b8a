// Where the time of one log line goes, against the line's own write (see
// bench/common/LineCost.h): trace records of the spy's kind through a
// private copy of Dez64.dll, stage by stage, each set against one WriteFile
// of the same bytes on an appending handle in the same run; and the cost of
// a muted line. And the ways of keeping the writes of several processes to
// one file apart, each around the same appending WriteFile: the lock in
// shared memory that the log takes, a byte-range lock (LockFileEx) and a
// named mutex.
//
//   log_bench.exe [lines per round]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "LineCost.h"
#include "LogTestSupport.h"

using namespace logtest;

namespace {

// Microseconds per line: WriteFile of line on an appending handle, alone
// and inside each way of keeping processes apart; best of nRounds, the
// ways taking turns.
struct GuardCosts
{
    double dWrite = 1e30, dShared = 1e30, dRange = 1e30, dMutex = 1e30;
};

GuardCosts MeasureGuards(const std::string& folder, const std::string& line, int nLines, int nRounds)
{
    GuardCosts c;
    const std::string path = folder + "\\guards.log";
    HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return c;
    CFileGuard guard;
    guard.Open(h);
    HANDLE hMutex = CreateMutexA(NULL, FALSE, "DezLogBenchMutex");
    DWORD dwLast = 0xFFFFFFFF;
    auto Write = [&] {
        DWORD cb;
        WriteFile(h, line.data(), (DWORD)line.size(), &cb, NULL);
    };
    auto Best = [](double& dBest, double d) { dBest = d < dBest ? d : dBest; };
    for (int nRound = 0; nRound < nRounds; ++nRound)
    {
        Best(c.dWrite, linecost::PerCall([&](int) { Write(); }, nLines));
        Best(c.dShared, linecost::PerCall(
                            [&](int) {
                                guard.Enter(&dwLast);
                                Write();
                                guard.Leave(dwLast);
                            },
                            nLines));
        Best(c.dRange, linecost::PerCall(
                           [&](int) {
                               OVERLAPPED ov = {};
                               ov.Offset = 0xFFFFFFF0;
                               ov.OffsetHigh = 0x7FFFFFFF;
                               LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &ov);
                               Write();
                               UnlockFileEx(h, 0, 1, 0, &ov);
                           },
                           nLines));
        Best(c.dMutex, linecost::PerCall(
                           [&](int) {
                               WaitForSingleObject(hMutex, INFINITE);
                               Write();
                               ReleaseMutex(hMutex);
                           },
                           nLines));
    }
    CloseHandle(hMutex);
    guard.Close();
    CloseHandle(h);
    DeleteFileA(path.c_str());
    return c;
}

} // namespace

int main(int argc, char** argv)
{
    const int nLines = argc > 1 ? atoi(argv[1]) : 10000;
    const int nRounds = 15;
    const int nMuted = 2000000;

    TempFolder dir("bench");
    const std::string dll = dir.CopyIn("Dez64.dll");
    const std::string log = dir / "log.log";
    SettingsKey key(HKEY_CURRENT_USER, dll,
                    {SettingValue::Text("Log", log), SettingValue::Dword("Level", 8), SettingValue::Dword("Recreate", 1)});
    HMODULE hDll = LoadLibraryA(dll.c_str());
    PFN_GetLogObject pfn = hDll ? (PFN_GetLogObject)(void*)GetProcAddress(hDll, "Exp_GetLogObject") : NULL;
    IDSLog* pLog = NULL;
    if (!pfn || pfn(&pLog) != S_OK)
    {
        printf("cannot load %s\n", dll.c_str());
        return 1;
    }
    IDSLog* pClient = pLog;
    if (pLog->RegisterClient(&pClient, 0, 0) != S_OK)
    {
        printf("cannot open the log\n");
        return 1;
    }

    // A trace line of the spy's kind, different for each i.
    std::vector<std::wstring> records(nLines);
    for (int i = 0; i < nLines; ++i)
    {
        wchar_t sz[128];
        wsprintfW(sz, L"\x09[Spy 1 In] Receive: sample %d, start %d.%03d ms, flags 0x%X", i, i * 40, i % 1000, i & 7);
        records[i] = sz;
    }
    const linecost::Figures f = linecost::Measure(pLog, log, records, nRounds);
    const double dMuted =
        linecost::BestPerCall([&](int) { pLog->OutputStringW(L"\x0B[Spy 1 In] verbose line"); }, nMuted, 5);
    pLog->UnregisterClient((void**)&pClient);
    FreeLibrary(hDll);
    if (!f.bOk)
        return 2;
    const std::string line(81, 'g');
    const GuardCosts g = MeasureGuards(dir.Path(), line.substr(0, 79) + "\r\n", nLines / 4, nRounds);

    printf("one log line against its own write: %d lines a round, best of %d rounds, the stages taking turns\n",
           nLines, nRounds);
    linecost::Print(f);
    printf("  %-62s %8s   %s\n", "processes kept apart around the same appending WriteFile", "per line", "/ write");
    const struct
    {
        const char* psz;
        double d;
    } guards[] = {{"WriteFile alone", g.dWrite},
                  {"in the lock in shared memory (what the log takes)", g.dShared},
                  {"in a byte-range lock (LockFileEx, UnlockFileEx)", g.dRange},
                  {"in a named mutex (wait, release)", g.dMutex}};
    for (const auto& x : guards)
        printf("  %-62s %8.3f us %6.2fx\n", x.psz, x.d, x.d / g.dWrite);
    printf("targets:\n");
    const double dRatio = f.dWhole / f.dWrite;
    printf("  a line at most 1.25x its write:  %.2fx  %s\n", dRatio, dRatio <= 1.25 ? "met" : "NOT met");
    const double dMutedNs = dMuted * 1e3;
    printf("  a muted line under 50 ns:        %.1f ns  %s\n", dMutedNs, dMutedNs < 50 ? "met" : "NOT met");
    return 0;
}
