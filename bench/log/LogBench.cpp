// Log throughput: trace records through OutputStringW into the log file,
// against a baseline that writes the very same line bytes with one WriteFile
// per line; and the cost of a line whose level is muted. Both measured in
// this run, on a private copy of Dez64.dll.
//
//   log_bench.exe [lines]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "IDSLog.h"
#include "LogTestSupport.h"

using namespace logtest;

namespace {

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

// The ring lines of a log file, each with its CR LF.
std::vector<std::string> RingLines(const std::string& text)
{
    std::vector<std::string> lines;
    for (const std::string& line : SplitLines(text))
        if (!MessageOf(line).empty())
            lines.push_back(line + "\r\n");
    return lines;
}

// Writes the lines with one WriteFile each, through an append handle (as the
// log opens its file) or a plain write handle.
double WriteBaseline(const std::string& path, const std::vector<std::string>& lines, DWORD dwAccess)
{
    HANDLE h = CreateFileA(path.c_str(), dwAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    LARGE_INTEGER a, b;
    QueryPerformanceCounter(&a);
    for (const std::string& line : lines)
    {
        DWORD cb;
        WriteFile(h, line.data(), (DWORD)line.size(), &cb, NULL);
    }
    QueryPerformanceCounter(&b);
    CloseHandle(h);
    return Seconds(a, b);
}

} // namespace

int main(int argc, char** argv)
{
    const int nLines = argc > 1 ? atoi(argv[1]) : 100000;
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

    wchar_t sz[128];
    pLog->OutputStringW(L"\x09warm-up");
    LARGE_INTEGER a, b;
    QueryPerformanceCounter(&a);
    for (int i = 0; i < nLines; ++i)
    {
        wsprintfW(sz, L"\x09[Spy 1 In] Receive: sample %d, start %d.%03d ms, flags 0x%X", i, i * 40, i % 1000, i & 7);
        pLog->OutputStringW(sz);
    }
    QueryPerformanceCounter(&b);
    const double dLog = Seconds(a, b);

    QueryPerformanceCounter(&a);
    for (int i = 0; i < nMuted; ++i)
        pLog->OutputStringW(L"\x0B[Spy 1 In] verbose line");
    QueryPerformanceCounter(&b);
    const double dMuted = Seconds(a, b);

    pLog->UnregisterClient((void**)&pClient);
    FreeLibrary(hDll);

    std::vector<std::string> lines = RingLines(ReadWholeFile(log));
    if (!lines.empty())
        lines.erase(lines.begin()); // the warm-up line
    size_t cb = 0;
    for (const std::string& line : lines)
        cb += line.size();
    const double dBase = WriteBaseline(dir / "baseline.log", lines, FILE_APPEND_DATA);
    const double dPlain = WriteBaseline(dir / "plain.log", lines, GENERIC_WRITE);

    printf("lines written:             %d (%u in the file, %.1f bytes each)\n", nLines, (unsigned)lines.size(),
           lines.empty() ? 0.0 : double(cb) / lines.size());
    printf("log, OutputStringW:        %10.0f lines/s  (%.3f us per line)\n", nLines / dLog, dLog * 1e6 / nLines);
    printf("baseline, WriteFile/line:  %10.0f lines/s  (%.3f us per line, append handle as the log's)\n",
           lines.size() / dBase, dBase * 1e6 / lines.size());
    printf("plain WriteFile/line:      %10.0f lines/s  (%.3f us per line, plain write handle)\n",
           lines.size() / dPlain, dPlain * 1e6 / lines.size());
    printf("ratio log/baseline:        %.2fx per line (target: within 3x); against the plain handle %.2fx\n",
           (dLog / nLines) / (dBase / lines.size()), (dLog / nLines) / (dPlain / lines.size()));
    printf("muted line:                %.1f ns per call (target: under 200 ns)\n", dMuted * 1e9 / nMuted);
    return lines.size() == (size_t)nLines ? 0 : 2;
}
