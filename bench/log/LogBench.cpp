// Where the time of one log line goes, against the line's own write (see
// bench/common/LineCost.h): trace records of the spy's kind through a
// private copy of Dez64.dll, stage by stage, each set against one WriteFile
// of the same bytes on an appending handle in the same run; and the cost of
// a muted line.
//
//   log_bench.exe [lines per round]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "LineCost.h"
#include "LogTestSupport.h"

using namespace logtest;

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

    printf("one log line against its own write: %d lines a round, best of %d rounds, the stages taking turns\n",
           nLines, nRounds);
    linecost::Print(f);
    printf("targets:\n");
    const double dRatio = f.dWhole / f.dWrite;
    printf("  a line at most 1.25x its write:  %.2fx  %s\n", dRatio, dRatio <= 1.25 ? "met" : "NOT met");
    const double dMutedNs = dMuted * 1e3;
    printf("  a muted line under 50 ns:        %.1f ns  %s\n", dMutedNs, dMutedNs < 50 ? "met" : "NOT met");
    return 0;
}
