// A host that logs the way a client module does: it reads the binding
// (HKCU "Software\_VoxaDEZ64", default value, "|" for "\"), loads that
// library, takes the log object from Exp_GetLogObject, registers, traces
// from two threads and unregisters. Then it shows where the log went and
// the lines this run added to it.
//
//   loghost.exe [lines per thread]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string>

#include "IDSLog.h"

namespace {

const int THREADS = 2;
IDSLog* s_pLog;
int s_nLines = 5;

DWORD WINAPI Tracer(void* pv)
{
    const int nThread = (int)(INT_PTR)pv;
    wchar_t sz[128];
    for (int i = 1; i <= s_nLines; ++i)
    {
        // The record's first character is the level plus one (9: level 8).
        wsprintfW(sz, L"\x09[loghost %d] line %d of %d", nThread, i, s_nLines);
        s_pLog->OutputStringW(sz);
        Sleep(1);
    }
    return 0;
}

bool ReadText(HKEY hRoot, const wchar_t* pszKey, const wchar_t* pszName, std::wstring* pText)
{
    HKEY h;
    if (RegOpenKeyExW(hRoot, pszKey, 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    wchar_t sz[261] = L"";
    DWORD cb = sizeof(sz) - sizeof(wchar_t);
    const LONG r = RegQueryValueExW(h, pszName, NULL, NULL, (BYTE*)sz, &cb);
    RegCloseKey(h);
    if (r != ERROR_SUCCESS)
        return false;
    *pText = sz;
    return true;
}

LONGLONG FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA fad;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &fad))
        return 0;
    return ((LONGLONG)fad.nFileSizeHigh << 32) | fad.nFileSizeLow;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1)
        s_nLines = atoi(argv[1]);

    std::wstring binding;
    if (!ReadText(HKEY_CURRENT_USER, L"Software\\_VoxaDEZ64", NULL, &binding))
    {
        printf("loghost: no log library is bound (HKCU\\Software\\_VoxaDEZ64)\n");
        return 1;
    }
    // The binding is also the name of the library's settings key.
    std::wstring logFile;
    ReadText(HKEY_CURRENT_USER, (L"Software\\_VoxaDEZ64\\" + binding).c_str(), L"Log", &logFile);
    wchar_t szExpanded[1024];
    ExpandEnvironmentStringsW(logFile.c_str(), szExpanded, 1024);
    logFile = szExpanded;
    const LONGLONG llStart = FileSize(logFile);

    std::wstring library = binding;
    for (wchar_t& c : library)
        if (c == L'|')
            c = L'\\';
    HMODULE hLog = LoadLibraryW(library.c_str());
    PFN_GetLogObject pfn = hLog ? (PFN_GetLogObject)(void*)GetProcAddress(hLog, "Exp_GetLogObject") : NULL;
    if (!pfn || pfn(&s_pLog) != S_OK)
    {
        printf("loghost: cannot get the log object from %ls\n", library.c_str());
        return 1;
    }
    IDSLog* pCookie = s_pLog;
    const HRESULT hr = s_pLog->RegisterClient(&pCookie, 0, 0);
    printf("loghost: library %ls, RegisterClient=0x%08lX\n", library.c_str(), (unsigned long)hr);

    HANDLE ah[THREADS];
    for (int t = 0; t < THREADS; ++t)
        ah[t] = CreateThread(NULL, 0, Tracer, (void*)(INT_PTR)(t + 1), 0, NULL);
    WaitForMultipleObjects(THREADS, ah, TRUE, INFINITE);
    for (HANDLE h : ah)
        CloseHandle(h);
    s_pLog->UnregisterClient((void**)&pCookie);
    FreeLibrary(hLog);

    printf("LOG_FILE=%ls\n", logFile.c_str());
    printf("LOG_OFFSET=%lld\n", llStart);
    return hr == S_OK ? 0 : 2;
}
