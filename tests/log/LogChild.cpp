// One scenario of the log object per process: the log object is process-wide
// state that never resets, so every scenario runs in a child of its own.
//
//   logchild.exe <scenario> <path of a Dez64.dll copy> <result file>
//
// The child loads the library, drives it through its export and writes what
// it saw as "name=value" lines into the result file; the test reads the log
// file and the results after the child ended.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

#include <sehguard.h>

#include "IDSLog.h"
#include "LogTestSupport.h"

namespace {

// Ring slots, and how long a torture reservation stalls: past the log's
// give-up of 1000 ms.
const int LOG_RING_SIZE = 1200;
const DWORD RESERVATION_STALL_MS = 1600;

FILE* s_pResults;
HMODULE s_hLog;
IDSLog* s_pLog;

void Result(const char* pszName, const std::string& value)
{
    fprintf(s_pResults, "%s=%s\n", pszName, value.c_str());
    fflush(s_pResults);
}

std::string Hex(unsigned long v)
{
    char sz[16];
    sprintf(sz, "0x%08lX", v);
    return sz;
}

bool Load(const char* pszDll)
{
    s_hLog = LoadLibraryA(pszDll);
    if (!s_hLog)
    {
        Result("load", "failed " + std::to_string(GetLastError()));
        return false;
    }
    PFN_GetLogObject pfn = (PFN_GetLogObject)(void*)GetProcAddress(s_hLog, "Exp_GetLogObject");
    const HRESULT hr = pfn ? pfn(&s_pLog) : E_FAIL;
    Result("get", Hex(hr));
    return SUCCEEDED(hr) && s_pLog;
}

void Unload()
{
    FreeLibrary(s_hLog);
    Result("unloaded", "yes");
}

std::string LogFileOf(const char* pszDll)
{
    std::string s = pszDll;
    return s.substr(0, s.find_last_of('\\')) + "\\log.log";
}

// Registers, writes three lines of levels 2, 4 and 4 (the last without a
// level character), unregisters and unloads.
int Register(const char* pszDll)
{
    if (!Load(pszDll))
        return 1;
    IDSLog* pClient = s_pLog;
    Result("register", Hex(s_pLog->RegisterClient(&pClient, 0, 0)));
    s_pLog->OutputStringW(L"\x03level two");
    s_pLog->OutputStringW(L"\x05level four");
    s_pLog->OutputStringW(L"hello");
    char sz[1024] = "";
    GetEnvironmentVariableA("_NT_SYMBOL_PATH", sz, sizeof(sz));
    Result("symbolpath", sz);
    HMODULE hDbgHelp = GetModuleHandleA("dbghelp.dll");
    typedef LONG(WINAPI * PFN_Calls)();
    typedef DWORD(WINAPI * PFN_Options)();
    PFN_Calls pfnCalls = hDbgHelp ? (PFN_Calls)(void*)GetProcAddress(hDbgHelp, "FakeDbgHelp_InitCalls") : NULL;
    PFN_Options pfnOptions = hDbgHelp ? (PFN_Options)(void*)GetProcAddress(hDbgHelp, "SymGetOptions") : NULL;
    if (pfnCalls && pfnOptions)
    {
        Result("fake_initcalls", std::to_string(pfnCalls()));
        Result("fake_options", Hex(pfnOptions()));
    }
    s_pLog->UnregisterClient((void**)&pClient);
    Result("cookie", pClient ? "set" : "null");
    Unload();
    return 0;
}

// The line layout cases: level characters, muting, the exact "ATL: ", line
// breaks, the cut at 256 characters, the ANSI entry and code-page mapping.
int Messages(const char* pszDll)
{
    if (!Load(pszDll))
        return 1;
    IDSLog* pClient = s_pLog;
    Result("register", Hex(s_pLog->RegisterClient(&pClient, 0, 0)));
    Result("null_w", std::to_string(s_pLog->OutputStringW(NULL)));
    Result("empty_w", std::to_string(s_pLog->OutputStringW(L"")));
    Result("null_a", std::to_string(s_pLog->OutputStringA(NULL)));
    Result("empty_a", std::to_string(s_pLog->OutputStringA("")));
    s_pLog->OutputStringW(L"\x09level eight");
    s_pLog->OutputStringW(L"no level character");
    s_pLog->OutputStringW(L"\x01level zero");
    s_pLog->OutputStringW(L"\x0Blevel ten");
    s_pLog->OutputStringW(L"ATL: ");
    s_pLog->OutputStringW(L"ATL: more");
    s_pLog->OutputStringW(L"\r\n");
    s_pLog->OutputStringW(L"a\nb");
    s_pLog->OutputStringW(L"c\n\n\nd");
    s_pLog->OutputStringW(L"e\r\nf");
    s_pLog->OutputStringW(L"ends in a line feed\n");
    s_pLog->OutputStringW(std::wstring(245, L'w').c_str()); // with the prefix exactly 255 characters
    s_pLog->OutputStringW(std::wstring(246, L'v').c_str()); // one more: cut
    s_pLog->OutputStringW((L"\x09" + std::wstring(300, L'x')).c_str());
    s_pLog->OutputStringA("\x03via ANSI");
    s_pLog->OutputStringW(L"caf\x00E9 and \x4E2D");
    SetLastError(1234);
    s_pLog->OutputStringW(L"last error kept");
    Result("lasterror", std::to_string(GetLastError()));
    s_pLog->UnregisterClient((void**)&pClient);
    Unload();
    return 0;
}

// The interface's plain answers and four clients in a row.
int Api(const char* pszDll)
{
    if (!Load(pszDll))
        return 1;
    PFN_GetLogObject pfn = (PFN_GetLogObject)(void*)GetProcAddress(s_hLog, "Exp_GetLogObject");
    Result("get_null", Hex(pfn(NULL)));
    IDSLog* pSecond = NULL;
    Result("get_again", Hex(pfn(&pSecond)));
    Result("same", pSecond == s_pLog ? "yes" : "no");
    Result("reserved", Hex(s_pLog->Reserved(1, 2, 3)));
    IDSLog* pUnknown = s_pLog;
    Result("unregister_unknown", Hex(s_pLog->UnregisterClient((void**)&pUnknown)));
    Result("unknown_cookie", pUnknown ? "set" : "null");
    Result("unregister_null", Hex(s_pLog->UnregisterClient(NULL)));
    Result("muted_9", std::to_string(s_pLog->IsLevelMuted(9)));
    Result("muted_8", std::to_string(s_pLog->IsLevelMuted(8)));

    IDSLog* apClients[4];
    std::string hrs;
    for (IDSLog*& p : apClients)
    {
        p = s_pLog;
        hrs += Hex(s_pLog->RegisterClient(&p, 0, 0)) + " ";
    }
    Result("four", hrs);
    s_pLog->OutputStringW(L"after four clients");

    Result("commit_out_of_range", Hex(s_pLog->CommitLine(1200, 0, 4)));
    int nIndex = -1, cchRoom = 0;
    char* pszText = NULL;
    Result("reserve", Hex(s_pLog->ReserveLine(&nIndex, &pszText, &cchRoom)));
    Result("room", std::to_string(cchRoom));
    lstrcpyA(pszText, "committed by hand");
    Result("commit", Hex(s_pLog->CommitLine(nIndex, 0, 3)));
    Result("commit_again", Hex(s_pLog->CommitLine(nIndex, 0, 3)));
    // A client that fills its whole slot, leaving no room for the NUL.
    s_pLog->ReserveLine(&nIndex, &pszText, &cchRoom);
    memset(pszText, 'z', cchRoom);
    Result("commit_full", Hex(s_pLog->CommitLine(nIndex, 0, 5)));
    Result("reserve_null", Hex(s_pLog->ReserveLine(NULL, &pszText, &cchRoom)));
    Result("flush", Hex(s_pLog->Flush()));
    Result("dump_stack", Hex(s_pLog->DumpCallStack(NULL, NULL, FALSE)));
    Result("dump_buffer", Hex(s_pLog->DumpBuffer(3, "abc")));
    Result("dump_key", Hex(s_pLog->DumpRegistryKey(HKEY_CURRENT_USER, "Software")));
    s_pLog->OutputStringW(L"still writing");
    for (IDSLog*& p : apClients)
        s_pLog->UnregisterClient((void**)&p);
    Unload();
    return 0;
}

// Lines and flushes before the first registration, and a second session
// after all clients left.
int Early(const char* pszDll)
{
    if (!Load(pszDll))
        return 1;
    s_pLog->OutputStringW(L"early line");
    s_pLog->Flush();
    IDSLog* pUnknown = s_pLog;
    s_pLog->UnregisterClient((void**)&pUnknown);
    IDSLog* pClient = s_pLog;
    Result("register1", Hex(s_pLog->RegisterClient(&pClient, 0, 0)));
    s_pLog->OutputStringW(L"first session");
    s_pLog->UnregisterClient((void**)&pClient);
    pClient = s_pLog;
    Result("register2", Hex(s_pLog->RegisterClient(&pClient, 0, 0)));
    s_pLog->OutputStringW(L"second session");
    s_pLog->UnregisterClient((void**)&pClient);
    Unload();
    return 0;
}

// Two clients still registered when the library unloads.
int Live(const char* pszDll)
{
    if (!Load(pszDll))
        return 1;
    static IDSLog* s_p1;
    static IDSLog* s_p2;
    s_p1 = s_pLog;
    s_p2 = s_pLog;
    Result("register1", Hex(s_pLog->RegisterClient(&s_p1, 0, 0)));
    Result("register2", Hex(s_pLog->RegisterClient(&s_p2, 0, 0)));
    Result("register_null", Hex(s_pLog->RegisterClient(NULL, 0, 0)));
    s_pLog->OutputStringW(L"last line before unload");
    Unload();
    Result("cookies", !s_p1 && !s_p2 ? "null" : "set");
    return 0;
}

// The process ends with the client still registered and the library loaded,
// as a host that simply exits.
int Exit(const char* pszDll)
{
    if (!Load(pszDll))
        return 1;
    static IDSLog* s_pClient;
    s_pClient = s_pLog;
    Result("register", Hex(s_pLog->RegisterClient(&s_pClient, 0, 0)));
    s_pLog->OutputStringW(L"last line before exit");
    Result("end", "0");
    fclose(s_pResults);
    ExitProcess(0);
}

// Committed lines wait behind an older reservation until it is committed.
int Reserved(const char* pszDll)
{
    if (!Load(pszDll))
        return 1;
    IDSLog* pClient = s_pLog;
    Result("register", Hex(s_pLog->RegisterClient(&pClient, 0, 0)));
    int nIndex;
    char* pszText;
    int cchRoom;
    s_pLog->ReserveLine(&nIndex, &pszText, &cchRoom);
    lstrcpyA(pszText, "held line");
    s_pLog->OutputStringW(L"behind one");
    s_pLog->OutputStringW(L"behind two");
    const std::string path = LogFileOf(pszDll);
    const std::string before = ReadWholeFile(path);
    Result("before_held", before.find("held line") == std::string::npos ? "absent" : "present");
    Result("before_behind", before.find("behind") == std::string::npos ? "absent" : "present");
    s_pLog->CommitLine(nIndex, 0, 4);
    const std::string after = ReadWholeFile(path);
    const size_t a = after.find("held line"), b = after.find("behind one"), c = after.find("behind two");
    Result("after", a != std::string::npos && a < b && b != std::string::npos && b < c && c != std::string::npos
                        ? "in order"
                        : "wrong");
    s_pLog->UnregisterClient((void**)&pClient);
    Unload();
    return 0;
}

// Lines from this program and from another module.
int Prefix(const char* pszDll)
{
    if (!Load(pszDll))
        return 1;
    IDSLog* pClient = s_pLog;
    Result("register", Hex(s_pLog->RegisterClient(&pClient, 0, 0)));
    s_pLog->OutputStringW(L"from the program");
    HMODULE hCaller = LoadLibraryA("prefixcaller.dll");
    typedef int(WINAPI * PFN_Output)(IDSLog*, const wchar_t*);
    PFN_Output pfn = hCaller ? (PFN_Output)(void*)GetProcAddress(hCaller, "PrefixCaller_Output") : NULL;
    Result("caller", pfn ? "loaded" : "missing");
    if (pfn)
        pfn(s_pLog, L"from another module");
    s_pLog->UnregisterClient((void**)&pClient);
    Unload();
    return 0;
}

// Writes a line, waits until the test says go (the other child holds the
// same file open by then), writes another.
int Shared(const char* pszDll, const std::string& goFile)
{
    if (!Load(pszDll))
        return 1;
    IDSLog* pClient = s_pLog;
    Result("register", Hex(s_pLog->RegisterClient(&pClient, 0, 0)));
    s_pLog->OutputStringW(L"before the other");
    Result("registered", "yes");
    for (int i = 0; i < 600 && GetFileAttributesA(goFile.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(50);
    s_pLog->OutputStringW(L"after the other");
    s_pLog->UnregisterClient((void**)&pClient);
    Unload();
    return 0;
}

// Runs fn on a thread of its own and waits for it.
template <class F>
void OnOtherThread(F fn)
{
    struct Thunk
    {
        static DWORD WINAPI Run(void* pv)
        {
            (*(F*)pv)();
            return 0;
        }
    };
    HANDLE h = CreateThread(NULL, 0, Thunk::Run, &fn, 0, NULL);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
}

const char* const GOLDEN_KEY = "Software\\_DezLogGoldenDump";

// A registry key of every value type, with a subkey, for the key dump.
void MakeGoldenKey()
{
    HKEY h = NULL, hSub = NULL;
    RegCreateKeyExA(HKEY_CURRENT_USER, GOLDEN_KEY, 0, NULL, 0, KEY_WRITE, NULL, &h, NULL);
    RegSetValueExA(h, NULL, 0, REG_SZ, (const BYTE*)"default text", 13);
    RegSetValueExA(h, "path", 0, REG_SZ, (const BYTE*)"C:\\Program Files\\x.dll", 23);
    const DWORD dw = 0x1234ABCD;
    RegSetValueExA(h, "number", 0, REG_DWORD, (const BYTE*)&dw, sizeof(dw));
    BYTE ab[20];
    for (int i = 0; i < 20; ++i)
        ab[i] = (BYTE)(i * 13);
    RegSetValueExA(h, "bytes", 0, REG_BINARY, ab, sizeof(ab));
    RegSetValueExA(h, "multi", 0, REG_MULTI_SZ, (const BYTE*)"one\0two\0", 9);
    RegSetValueExA(h, "empty", 0, REG_BINARY, NULL, 0);
    RegSetValueExA(h, "expand", 0, REG_EXPAND_SZ, (const BYTE*)"%TEMP%\\a", 9);
    RegCreateKeyExA(h, "sub", 0, NULL, 0, KEY_WRITE, NULL, &hSub, NULL);
    RegSetValueExA(hSub, "inner", 0, REG_DWORD, (const BYTE*)&dw, sizeof(dw));
    RegCloseKey(hSub);
    RegCloseKey(h);
}

// Every kind of line and dump the log writes, in a fixed order, so that the
// file can be compared byte for byte (less times and ids) with the same run
// on another build.
int Golden(const char* pszDll)
{
    if (!Load(pszDll))
        return 1;
    IDSLog* pClient = s_pLog;
    Result("register", Hex(s_pLog->RegisterClient(&pClient, 0, 0)));
    IDSLog* pLog = s_pLog;

    // One thread: levels, muting, the exact texts, line breaks, cuts.
    pLog->OutputStringW(L"\x09level eight");
    pLog->OutputStringW(L"no level character");
    pLog->OutputStringW(L"\x01level zero");
    pLog->OutputStringW(L"\x0Blevel ten");
    pLog->OutputStringW(L"ATL: ");
    pLog->OutputStringW(L"ATL: more");
    pLog->OutputStringW(L"\r\n");
    pLog->OutputStringW(L"a\nb");
    pLog->OutputStringW(L"c\n\n\nd");
    pLog->OutputStringW(L"e\r\nf");
    pLog->OutputStringW(L"g\r\r\n\n\rh\n");
    pLog->OutputStringW(L"ends in a line feed\n");
    pLog->OutputStringW(L"\x05\t tab and blank first");
    pLog->OutputStringW(std::wstring(245, L'w').c_str());
    pLog->OutputStringW(std::wstring(246, L'v').c_str());
    pLog->OutputStringW((L"\x09" + std::wstring(300, L'x')).c_str());
    pLog->OutputStringW((L"\x05" + std::wstring(120, L'y') + L"\n" + std::wstring(120, L'z')).c_str());
    pLog->OutputStringW(L"\x05");
    pLog->OutputStringA("\x03via ANSI");
    pLog->OutputStringA("ANSI without a level");
    pLog->OutputStringA("\x0A" "ANSI level nine");
    pLog->OutputStringA("caf\xE9 in ANSI");
    pLog->OutputStringW(L"caf\x00E9 and \x4E2D");
    pLog->OutputStringW(L"\x1F" L"level thirty");

    // Another thread, and back.
    OnOtherThread([pLog] {
        pLog->OutputStringW(L"\x05" L"from another thread");
        pLog->OutputStringW(L"\x03" L"and again");
    });
    pLog->OutputStringW(L"\x05" L"back on the first thread");

    // Lines written by hand: kinds and levels, an empty text.
    int nIndex;
    char* pszText;
    int cchRoom;
    pLog->ReserveLine(&nIndex, &pszText, &cchRoom);
    lstrcpyA(pszText, "by hand, level 3");
    pLog->CommitLine(nIndex, 0, 3);
    pLog->ReserveLine(&nIndex, &pszText, &cchRoom);
    pLog->CommitLine(nIndex, 65, 4);
    pLog->ReserveLine(&nIndex, &pszText, &cchRoom);
    lstrcpyA(pszText, "kind 64 with a text\r\nand a second line");
    pLog->CommitLine(nIndex, 64, 6);

    // Lines behind a held reservation: written in one flush with its line.
    int nHeld;
    char* pszHeld;
    pLog->ReserveLine(&nHeld, &pszHeld, &cchRoom);
    lstrcpyA(pszHeld, "held line");
    pLog->OutputStringW(L"behind one");
    pLog->OutputStringW(L"\x02" L"behind two");
    OnOtherThread([pLog] { pLog->OutputStringW(L"\x05other thread behind"); });
    pLog->OutputStringW(L"behind three");
    pLog->CommitLine(nHeld, 0, 4);

    // From another module.
    HMODULE hCaller = LoadLibraryA("prefixcaller.dll");
    typedef int(WINAPI * PFN_Output)(IDSLog*, const wchar_t*);
    PFN_Output pfn = hCaller ? (PFN_Output)(void*)GetProcAddress(hCaller, "PrefixCaller_Output") : NULL;
    Result("caller", pfn ? "loaded" : "missing");
    if (pfn)
        pfn(pLog, L"\x05" L"from another module");

    // The dumps.
    Result("dump_empty", Hex(pLog->DumpBuffer(0, "")));
    static const char s_abBlock[] = "first\r\nsecond\nthird\0after a NUL";
    Result("dump_block", Hex(pLog->DumpBuffer(sizeof(s_abBlock) - 1, s_abBlock)));
    Result("dump_stack", Hex(pLog->DumpCallStack(NULL, NULL, FALSE)));
    pLog->OutputStringW(L"\x05" L"between the dumps");
    MakeGoldenKey();
    Result("dump_key", Hex(pLog->DumpRegistryKey(HKEY_CURRENT_USER, GOLDEN_KEY)));
    RegDeleteKeyA(HKEY_CURRENT_USER, (std::string(GOLDEN_KEY) + "\\sub").c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, GOLDEN_KEY);
    Result("dump_missing", Hex(pLog->DumpRegistryKey(HKEY_CURRENT_USER, "Software\\_DezLogGoldenMissing")));
    OnOtherThread([pLog] { pLog->DumpBuffer(5, "other"); });
    pLog->OutputStringW(L"\x05last line");

    pLog->UnregisterClient((void**)&pClient);
    Unload();
    return 0;
}

// Lines of two threads whose priorities change between their lines: each
// line that opens with the columns must show its thread's priority of the
// moment, also when another thread's commit writes it.
int Priority(const char* pszDll)
{
    if (!Load(pszDll))
        return 1;
    IDSLog* pClient = s_pLog;
    Result("register", Hex(s_pLog->RegisterClient(&pClient, 0, 0)));
    IDSLog* pLog = s_pLog;
    struct Other
    {
        IDSLog* pLog;
        HANDLE hGo, hDone;
        int nStep;
    } other = {pLog, CreateEventA(NULL, FALSE, FALSE, NULL), CreateEventA(NULL, FALSE, FALSE, NULL), 0};
    auto Step = [&other]() {
        SetEvent(other.hGo);
        WaitForSingleObject(other.hDone, 10000);
    };
    HANDLE hThread = CreateThread(
        NULL, 0,
        [](void* pv) -> DWORD {
            Other* p = (Other*)pv;
            for (int nStep = 0; nStep < 3; ++nStep)
            {
                WaitForSingleObject(p->hGo, 10000);
                if (nStep == 0)
                    p->pLog->OutputStringW(L"x1 at normal");
                else if (nStep == 1)
                {
                    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST);
                    p->pLog->OutputStringW(L"x2 at lowest");
                }
                else
                {
                    // Written by the other thread's commit, after this one
                    // changed its priority again.
                    p->pLog->OutputStringW(L"x3 at lowest");
                    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
                }
                SetEvent(p->hDone);
            }
            return 0;
        },
        &other, 0, NULL);
    pLog->OutputStringW(L"m1 at normal");
    Step();
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    pLog->OutputStringW(L"m2 at highest");
    Step();
    int nHeld, cchRoom;
    char* pszHeld;
    pLog->ReserveLine(&nHeld, &pszHeld, &cchRoom);
    lstrcpyA(pszHeld, "m3 at highest");
    Step();
    pLog->CommitLine(nHeld, 0, 4);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    WaitForSingleObject(hThread, 10000);
    CloseHandle(hThread);
    pLog->UnregisterClient((void**)&pClient);
    Unload();
    return 0;
}

// Waits for a thread at most dwMs; "done" or "hung".
std::string Joined(HANDLE hThread, DWORD dwMs)
{
    return WaitForSingleObject(hThread, dwMs) == WAIT_OBJECT_0 ? "done" : "hung";
}

// A child whose log stays blocked must still end: after the results are
// written it ends itself, whatever its threads wait for.
int EndBlocked(int n)
{
    Result("end", std::to_string(n));
    fclose(s_pResults);
    TerminateProcess(GetCurrentProcess(), n);
    return n;
}

// The registration runs into a fault while it writes the header (the
// substitute dbghelp faults in SymLoadModule64); the caller guards the call
// as the framework's log client does. Another thread then logs: the log must
// not be left locked.
int HeaderFault(const char* pszDll)
{
    if (!Load(pszDll))
        return 1;
    static IDSLog* s_pClient;
    s_pClient = s_pLog;
    HRESULT hr = E_PENDING;
    const BOOL bDone = SEH_Guard([&hr] { hr = s_pLog->RegisterClient(&s_pClient, 0, 0); });
    Result("register_fault", bDone ? "no" : "yes");
    Result("register", Hex(hr));
    HANDLE hWriter = CreateThread(
        NULL, 0,
        [](void*) -> DWORD {
            s_pLog->OutputStringW(L"from another thread after the registration");
            return 0;
        },
        NULL, 0, NULL);
    const std::string writer = Joined(hWriter, 10000);
    Result("writer", writer);
    if (writer != "done")
        return EndBlocked(5);
    s_pLog->OutputStringW(L"from the registering thread");
    s_pLog->UnregisterClient((void**)&s_pClient);
    Unload();
    return 0;
}

// A reservation that is not committed while the ring fills: the writers
// must go on after a bounded wait, the line is dropped and counted, and its
// late commit is refused.
int Abandon(const char* pszDll)
{
    if (!Load(pszDll))
        return 1;
    IDSLog* pClient = s_pLog;
    Result("register", Hex(s_pLog->RegisterClient(&pClient, 0, 0)));
    static HANDLE s_hReserved, s_hLate;
    static HRESULT s_hrLate = E_PENDING;
    s_hReserved = CreateEventA(NULL, TRUE, FALSE, NULL);
    s_hLate = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE hHolder = CreateThread(
        NULL, 0,
        [](void*) -> DWORD {
            int nIndex, cchRoom;
            char* pszText;
            s_pLog->ReserveLine(&nIndex, &pszText, &cchRoom);
            lstrcpyA(pszText, "late line");
            SetEvent(s_hReserved);
            WaitForSingleObject(s_hLate, 60000);
            s_hrLate = s_pLog->CommitLine(nIndex, 0, 4);
            return 0;
        },
        NULL, 0, NULL);
    WaitForSingleObject(s_hReserved, 10000);
    HANDLE hWriter = CreateThread(
        NULL, 0,
        [](void*) -> DWORD {
            wchar_t sz[32];
            for (int i = 0; i < 1300; ++i)
            {
                wsprintfW(sz, L"line %04d", i);
                s_pLog->OutputStringW(sz);
            }
            return 0;
        },
        NULL, 0, NULL);
    const std::string writes = Joined(hWriter, 30000);
    Result("writes", writes);
    if (writes != "done")
        return EndBlocked(5);
    SetEvent(s_hLate);
    Result("holder", Joined(hHolder, 10000));
    Result("late_commit", Hex(s_hrLate));
    s_pLog->OutputStringW(L"after the late commit");
    s_pLog->UnregisterClient((void**)&pClient);
    Unload();
    return 0;
}

// Loads loaderhold.dll on a thread of its own: its loading registers with
// the log while it holds the loader lock. *phInLoader is set once the lock
// is held. hOther, a thread created suspended, is resumed first and runs
// before the lock is taken (a thread that starts while the loader lock is
// held waits for it before it runs any code).
HANDLE StartHolderModule(HANDLE* phInLoader, HANDLE hOther)
{
    static char s_szEvent[64];
    wsprintfA(s_szEvent, "loaderhold_%lu", GetCurrentProcessId());
    *phInLoader = CreateEventA(NULL, TRUE, FALSE, s_szEvent);
    char sz[32];
    wsprintfA(sz, "%I64X", (unsigned long long)(UINT_PTR)s_pLog);
    SetEnvironmentVariableA("LOADERHOLD_LOG", sz);
    SetEnvironmentVariableA("LOADERHOLD_EVENT", s_szEvent);
    ResumeThread(hOther);
    Sleep(100); // past its start, waiting for the event
    return CreateThread(
        NULL, 0,
        [](void*) -> DWORD {
            HMODULE h = LoadLibraryA((ProgramFolderA() + "loaderhold.dll").c_str());
            return h ? 0 : 1;
        },
        NULL, 0, NULL);
}

void HolderResults()
{
    HMODULE h = GetModuleHandleA("loaderhold.dll");
    typedef void(WINAPI * PFN_Results)(HRESULT*, HRESULT*);
    PFN_Results pfn = h ? (PFN_Results)(void*)GetProcAddress(h, "LoaderHold_Results") : NULL;
    HRESULT hrRegister = E_PENDING, hrUnregister = E_PENDING;
    if (pfn)
        pfn(&hrRegister, &hrUnregister);
    Result("holder_register", Hex(hrRegister));
    Result("holder_unregister", Hex(hrUnregister));
}

// The first registration, on one thread, while a module that registers
// too is being loaded on another. With a log file that cannot be created,
// the registration reports its failure to the user (the fatal-error box).
int LoaderLockOpen(const char* pszDll)
{
    if (!Load(pszDll))
        return 1;
    // The registering thread is started first: a thread that starts while
    // the loader lock is held waits for it before it runs any code.
    static HANDLE s_hInLoader;
    static IDSLog* s_pClient;
    static HRESULT s_hr = E_PENDING;
    s_pClient = s_pLog;
    HANDLE hRegister = CreateThread(
        NULL, 0,
        [](void*) -> DWORD {
            WaitForSingleObject(s_hInLoader, 10000);
            s_hr = s_pLog->RegisterClient(&s_pClient, 0, 0);
            return 0;
        },
        NULL, CREATE_SUSPENDED, NULL);
    HANDLE hLoader = StartHolderModule(&s_hInLoader, hRegister);
    const std::string registered = Joined(hRegister, 15000);
    const std::string loaded = Joined(hLoader, 15000);
    Result("threads", registered == "done" && loaded == "done" ? "done" : "hung");
    if (registered != "done" || loaded != "done")
        return EndBlocked(5);
    Result("register", Hex(s_hr));
    HolderResults();
    s_pLog->OutputStringW(L"after the module loaded");
    s_pLog->UnregisterClient((void**)&s_pClient);
    Unload();
    return 0;
}

LONGLONG FileSizeOf(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA fad;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &fad))
        return -1;
    return ((LONGLONG)fad.nFileSizeHigh << 32) | fad.nFileSizeLow;
}

// The process runs with a limit on the size of the files it writes
// (DEZLOG_LIMIT bytes): the log file is filled to just below it, then one
// write of the kind named crosses it. The log must stop, report the failure
// to the call that met it and to every later one, and the process go on.
int Limit(const char* pszDll, const std::string& kind)
{
    char sz[32] = "";
    GetEnvironmentVariableA("DEZLOG_LIMIT", sz, sizeof(sz));
    const LONGLONG llLimit = _atoi64(sz);
    if (!Load(pszDll))
        return 1;
    IDSLog* pClient = s_pLog;
    Result("register", Hex(s_pLog->RegisterClient(&pClient, 0, 0)));
    s_pLog->OutputStringW(L"before the limit");
    const std::string log = LogFileOf(pszDll);
    const LONGLONG llSize = FileSizeOf(log);
    const LONGLONG llFill = llLimit - llSize - 100;
    Result("size", std::to_string(llSize));
    if (llSize <= 0 || llFill <= 0)
        return 6;
    std::string fill((size_t)llFill, 'f');
    Result("fill", Hex(s_pLog->DumpBuffer((int)fill.size(), fill.data())));
    Result("room", std::to_string(llLimit - FileSizeOf(log)));
    if (kind == "buffer")
    {
        std::string block(500, 'b');
        Result("crossing", Hex(s_pLog->DumpBuffer((int)block.size(), block.data())));
    }
    else if (kind == "stack")
        Result("crossing", Hex(s_pLog->DumpCallStack(NULL, NULL, FALSE)));
    else if (kind == "key")
    {
        HKEY h = NULL;
        const std::string key = "Software\\_DezLogLimitKey_" + std::to_string(GetCurrentProcessId());
        RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, NULL, 0, KEY_WRITE, NULL, &h, NULL);
        std::string bytes(400, 'k');
        RegSetValueExA(h, "bytes", 0, REG_BINARY, (const BYTE*)bytes.data(), (DWORD)bytes.size());
        RegCloseKey(h);
        Result("crossing", Hex(s_pLog->DumpRegistryKey(HKEY_CURRENT_USER, key.c_str())));
        RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
    }
    else if (kind == "line")
    {
        Result("crossing_line", Hex((unsigned long)s_pLog->OutputStringW(std::wstring(240, L'l').c_str())));
        Result("crossing", "line");
    }
    else if (kind == "loaderlock")
    {
        // The crossing line is written while a module that registers with
        // the log is being loaded: the failure must not wait for the loader
        // lock while it holds the log's.
        static HANDLE s_hInLoader;
        // Committed by hand: the line goes straight to the ring (a trace
        // line would first look up its caller's module, which under Wine
        // waits for the loader lock before the log is entered).
        HANDLE hWriter = CreateThread(
            NULL, 0,
            [](void*) -> DWORD {
                WaitForSingleObject(s_hInLoader, 10000);
                int nIndex, cchRoom;
                char* pszText;
                s_pLog->ReserveLine(&nIndex, &pszText, &cchRoom);
                memset(pszText, 'l', 240);
                pszText[240] = 0;
                s_pLog->CommitLine(nIndex, 0, 4);
                return 0;
            },
            NULL, CREATE_SUSPENDED, NULL);
        HANDLE hLoader = StartHolderModule(&s_hInLoader, hWriter);
        const std::string written = Joined(hWriter, 15000);
        const std::string loaded = Joined(hLoader, 15000);
        Result("threads", written == "done" && loaded == "done" ? "done" : "hung");
        if (written != "done" || loaded != "done")
            return EndBlocked(5);
        HolderResults();
        Result("crossing", "line");
    }
    // The test looks at what the failure left behind while this process
    // lives on, then says go.
    Result("stopped", "yes");
    const std::string go = log.substr(0, log.find_last_of('\\')) + "\\go";
    for (int i = 0; i < 300 && GetFileAttributesA(go.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(50);
    Result("after_line", Hex((unsigned long)s_pLog->OutputStringW(L"after the limit")));
    Result("flush", Hex(s_pLog->Flush()));
    Result("later_buffer", Hex(s_pLog->DumpBuffer(3, "abc")));
    Result("later_stack", Hex(s_pLog->DumpCallStack(NULL, NULL, FALSE)));
    Result("later_key", Hex(s_pLog->DumpRegistryKey(HKEY_CURRENT_USER, "Software")));
    Result("final_size", std::to_string(FileSizeOf(log)));
    s_pLog->UnregisterClient((void**)&pClient);
    Unload();
    return 0;
}

// Registers and uses every writing call once, reporting each result.
int Stopped(const char* pszDll)
{
    if (!Load(pszDll))
        return 1;
    IDSLog* pClient = s_pLog;
    Result("register", Hex(s_pLog->RegisterClient(&pClient, 0, 0)));
    s_pLog->OutputStringW(L"a line");
    Result("flush", Hex(s_pLog->Flush()));
    Result("buffer", Hex(s_pLog->DumpBuffer(3, "abc")));
    Result("stack", Hex(s_pLog->DumpCallStack(NULL, NULL, FALSE)));
    Result("key", Hex(s_pLog->DumpRegistryKey(HKEY_CURRENT_USER, "Software")));
    s_pLog->UnregisterClient((void**)&pClient);
    Result("cookie", pClient ? "set" : "null");
    Unload();
    return 0;
}

// A reservation made by hand on a thread of its own, as a writer that
// stalls between its reservation and its commit. Start returns once the
// slot is reserved and its text written; Late writes more text into the
// slot (the stalled writer going on) and commits it, then the thread logs
// nAfter lines of its own and makes one more reservation by hand.
class HeldReservation
{
public:
    void Start(const char* pszText, int nAfter = 0)
    {
        m_pszText = pszText;
        m_nAfter = nAfter;
        m_hReserved = CreateEventA(NULL, TRUE, FALSE, NULL);
        m_hLate = CreateEventA(NULL, TRUE, FALSE, NULL);
        m_hThread = CreateThread(NULL, 0, Run, this, 0, &m_dwThreadId);
        WaitForSingleObject(m_hReserved, 10000);
    }
    // Writes pszLate into the slot and commits (or, with bCommit false,
    // leaves the reservation as it is and goes on); false when the thread
    // hangs.
    bool Late(const char* pszLate, bool bCommit = true)
    {
        m_pszLate = pszLate;
        m_bCommit = bCommit;
        SetEvent(m_hLate);
        return WaitForSingleObject(m_hThread, 30000) == WAIT_OBJECT_0;
    }
    HRESULT hrReserve = E_PENDING, hrCommit = E_PENDING, hrAgain = E_PENDING;
    int nAfterFailed = 0;
    DWORD m_dwThreadId = 0;

private:
    static DWORD WINAPI Run(void* pv)
    {
        HeldReservation* p = (HeldReservation*)pv;
        int nIndex, cchRoom;
        char* pszText = NULL;
        p->hrReserve = s_pLog->ReserveLine(&nIndex, &pszText, &cchRoom);
        if (pszText)
            lstrcpyA(pszText, p->m_pszText);
        SetEvent(p->m_hReserved);
        WaitForSingleObject(p->m_hLate, 60000);
        if (pszText && p->m_pszLate)
            lstrcpyA(pszText, p->m_pszLate);
        if (p->m_bCommit)
            p->hrCommit = s_pLog->CommitLine(nIndex, 0, 4);
        char sz[64];
        for (int i = 0; i < p->m_nAfter; ++i)
        {
            wsprintfA(sz, "holder's line %04d", i);
            if (s_pLog->OutputStringA(sz) != 0)
                ++p->nAfterFailed;
        }
        if (p->m_nAfter)
        {
            p->hrAgain = s_pLog->ReserveLine(&nIndex, &pszText, &cchRoom);
            if (p->hrAgain == S_OK)
            {
                lstrcpyA(pszText, "holder's new reservation");
                p->hrAgain = s_pLog->CommitLine(nIndex, 0, 4);
            }
        }
        return 0;
    }
    const char* m_pszText = "";
    const char* m_pszLate = NULL;
    int m_nAfter = 0;
    bool m_bCommit = true;
    HANDLE m_hReserved = NULL, m_hLate = NULL, m_hThread = NULL;
};

// Writes numbered lines "<tag> %04d"; the number of calls that reported a failure.
int WriteNumbered(const char* pszTag, int n)
{
    int nFailed = 0;
    char sz[64];
    for (int i = 0; i < n; ++i)
    {
        wsprintfA(sz, "%s %04d", pszTag, i);
        if (s_pLog->OutputStringA(sz) != 0)
            ++nFailed;
    }
    return nFailed;
}

// The start of a give-up scenario: the library loaded, a client
// registered, a holder's reservation made and the ring filled behind it
// with nLines numbered lines. NULL when the library is not there.
IDSLog** StartBehindAHolder(const char* pszDll, HeldReservation* pHolder, int nAfter, int nLines)
{
    if (!Load(pszDll))
        return NULL;
    static IDSLog* s_pClient;
    s_pClient = s_pLog;
    Result("register", Hex(s_pLog->RegisterClient(&s_pClient, 0, 0)));
    pHolder->Start("first holder's line", nAfter);
    Result("first_reserve", Hex(pHolder->hrReserve));
    Result("lines_failed", std::to_string(WriteNumbered("line", nLines)));
    return &s_pClient;
}

// The end of a scenario: its last line, the client gone, the library unloaded.
int EndWithLine(IDSLog** ppClient, const char* pszLast)
{
    Result("after", Hex(s_pLog->OutputStringA(pszLast)));
    s_pLog->UnregisterClient((void**)ppClient);
    Unload();
    return 0;
}

// A writer stalls with a reserved slot; the ring fills behind it, so the
// next reservation gives the stalled one up. The stalled writer then writes
// into its slot and commits late: its late text must land nowhere, and the
// new reservation keep its own line.
int GiveUpReuse(const char* pszDll)
{
    HeldReservation first;
    IDSLog** ppClient = StartBehindAHolder(pszDll, &first, 0, LOG_RING_SIZE - 1);
    if (!ppClient)
        return 1;
    Result("tid_main", std::to_string(GetCurrentThreadId()));
    int nIndex = -1, cchRoom;
    char* pszText = NULL;
    const DWORD dwStart = GetTickCount();
    const HRESULT hrReserve = s_pLog->ReserveLine(&nIndex, &pszText, &cchRoom);
    Result("main_reserve", Hex(hrReserve));
    Result("main_waited", std::to_string(GetTickCount() - dwStart));
    if (pszText)
        lstrcpyA(pszText, "main thread's own line");
    Result("first_done", first.Late("LATE TEXT OF THE FIRST HOLDER") ? "yes" : "hung");
    Result("first_commit", Hex(first.hrCommit));
    Result("main_commit", Hex(s_pLog->CommitLine(nIndex, 0, 4)));
    return EndWithLine(ppClient, "after the late commit");
}

// Two reservations given up one after the other, the second one while the
// first holder is still stalled: each late commit is refused, and neither
// commits the other's line.
int GiveUpTwice(const char* pszDll)
{
    HeldReservation first;
    IDSLog** ppClient = StartBehindAHolder(pszDll, &first, 0, LOG_RING_SIZE - 1);
    if (!ppClient)
        return 1;
    int nIndex = -1, cchRoom;
    char* pszText = NULL;
    Result("second_reserve", Hex(s_pLog->ReserveLine(&nIndex, &pszText, &cchRoom)));
    if (pszText)
        lstrcpyA(pszText, "second holder's line");
    static int s_nOtherFailed;
    static DWORD s_dwOtherMs;
    HANDLE hOther = CreateThread(
        NULL, 0,
        [](void*) -> DWORD {
            const DWORD dwStart = GetTickCount();
            s_nOtherFailed = WriteNumbered("other", LOG_RING_SIZE);
            s_dwOtherMs = GetTickCount() - dwStart;
            return 0;
        },
        NULL, 0, NULL);
    const std::string other = Joined(hOther, 30000);
    Result("other", other);
    if (other != "done")
        return EndBlocked(5);
    Result("other_failed", std::to_string(s_nOtherFailed));
    Result("other_ms", std::to_string(s_dwOtherMs));
    Result("first_done", first.Late("LATE TEXT OF THE FIRST HOLDER") ? "yes" : "hung");
    Result("first_commit", Hex(first.hrCommit));
    if (pszText)
        lstrcpyA(pszText, "LATE TEXT OF THE SECOND HOLDER");
    Result("second_commit", Hex(s_pLog->CommitLine(nIndex, 0, 4)));
    return EndWithLine(ppClient, "after both late commits");
}

// What a give-up leaves behind. The holder commits late (bCommit) or
// never, and logs on from its thread: its lines (through the whole ring
// twice) and a reservation by hand are taken as any other thread's. After a
// late commit the ring has all its slots again: a fresh reservation held
// while the ring fills to its last slot is not given up.
int GiveUpAfter(const char* pszDll, bool bCommit)
{
    HeldReservation first;
    IDSLog** ppClient = StartBehindAHolder(pszDll, &first, 2 * LOG_RING_SIZE + 10, LOG_RING_SIZE + 10);
    if (!ppClient)
        return 1;
    Result("first_done", first.Late(bCommit ? "LATE TEXT OF THE FIRST HOLDER" : NULL, bCommit) ? "yes" : "hung");
    Result("first_commit", Hex(first.hrCommit));
    Result("holder_failed", std::to_string(first.nAfterFailed));
    Result("holder_again", Hex(first.hrAgain));
    if (bCommit)
    {
        HeldReservation full;
        full.Start("held while the ring fills");
        Result("fill_failed", std::to_string(WriteNumbered("fill", LOG_RING_SIZE - 1)));
        Result("full_done", full.Late(NULL) ? "yes" : "hung");
        Result("full_commit", Hex(full.hrCommit));
    }
    return EndWithLine(ppClient, "the last line");
}

// A first client registers on a thread of its own (it opens the file and
// writes the header); a second client registers a little later, while the
// header is being written, and logs at once. nLines lines of the second
// client, each call's failure counted.
int HeaderClients(const char* pszDll, int nLines)
{
    if (!Load(pszDll))
        return 1;
    static IDSLog* s_pFirst;
    static HANDLE s_hStarted;
    static HRESULT s_hrFirst = E_PENDING;
    static volatile LONG s_bFirstDone;
    s_pFirst = s_pLog;
    s_hStarted = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE hFirst = CreateThread(
        NULL, 0,
        [](void*) -> DWORD {
            SetEvent(s_hStarted);
            s_hrFirst = s_pLog->RegisterClient(&s_pFirst, 0, 0);
            InterlockedExchange(&s_bFirstDone, 1);
            return 0;
        },
        NULL, 0, NULL);
    WaitForSingleObject(s_hStarted, 10000);
    Sleep(28);
    IDSLog* pSecond = s_pLog;
    const DWORD dwStart = GetTickCount();
    Result("second_register", Hex(s_pLog->RegisterClient(&pSecond, 0, 0)));
    Result("during_header", s_bFirstDone ? "no" : "yes");
    Result("second_failed", std::to_string(WriteNumbered("second client's line", nLines)));
    Result("second_ms", std::to_string(GetTickCount() - dwStart));
    Result("header_out", s_bFirstDone ? "yes" : "no");
    const std::string first = Joined(hFirst, 30000);
    Result("first", first);
    if (first != "done")
        return EndBlocked(5);
    Result("first_register", Hex(s_hrFirst));
    s_pLog->UnregisterClient((void**)&pSecond);
    s_pLog->UnregisterClient((void**)&s_pFirst);
    Unload();
    return 0;
}

int EnvInt(const char* pszName, int nDefault)
{
    char sz[32] = "";
    return GetEnvironmentVariableA(pszName, sz, sizeof(sz)) ? atoi(sz) : nDefault;
}

struct TORTURE
{
    int nProcess, nProcesses, nWriters, nLines, nStalls;
    volatile LONG nWritten;
    LONG anFailed[16];
    DWORD adwThread[16];
    HRESULT ahrStall[4];
    DWORD adwStaller[4];
};
TORTURE s_torture;

DWORD WINAPI TortureWriter(void* pv)
{
    const int w = (int)(INT_PTR)pv;
    s_torture.adwThread[w] = GetCurrentThreadId();
    char sz[256];
    for (int i = 0; i < s_torture.nLines; ++i)
    {
        wsprintfA(sz, "P%d W%d L%05d %s", s_torture.nProcess, w, i, logtest::TortureFiller(s_torture.nProcess, w, i).c_str());
        if (s_pLog->OutputStringA(sz) != 0)
            ++s_torture.anFailed[w];
        InterlockedIncrement(&s_torture.nWritten);
    }
    return 0;
}

// A reservation that stalls past the give-up while the writers fill the
// ring behind it, then writes into its slot and commits late. Staller n
// reserves once the writers have written 100 * (n + 1) lines.
DWORD WINAPI TortureStaller(void* pv)
{
    const int n = (int)(INT_PTR)pv;
    s_torture.adwStaller[n] = GetCurrentThreadId();
    for (int i = 0; i < 5000 && s_torture.nWritten < 100 * (n + 1); ++i)
        Sleep(1);
    int nIndex, cchRoom;
    char* pszText = NULL;
    s_torture.ahrStall[n] = s_pLog->ReserveLine(&nIndex, &pszText, &cchRoom);
    if (s_torture.ahrStall[n] != S_OK)
        return 0;
    wsprintfA(pszText, "P%d S%d stalled line", s_torture.nProcess, n);
    Sleep(RESERVATION_STALL_MS);
    wsprintfA(pszText, "P%d S%d LATE TEXT", s_torture.nProcess, n);
    s_torture.ahrStall[n] = s_pLog->CommitLine(nIndex, 0, 4);
    return 0;
}

// One of several processes that write one log file at once (the test
// starts them together through a go file): a first client opens the file
// while a second registers during its header and logs at once; writer
// threads write numbered lines; a staller's reservations stall past the
// give-up. TORTURE_ID, TORTURE_PROCESSES, TORTURE_WRITERS, TORTURE_LINES,
// TORTURE_STALLS.
int Torture(const char* pszDll, const std::string& goFile)
{
    s_torture.nProcess = EnvInt("TORTURE_ID", 0);
    s_torture.nProcesses = EnvInt("TORTURE_PROCESSES", 1);
    s_torture.nWriters = EnvInt("TORTURE_WRITERS", 4);
    s_torture.nLines = EnvInt("TORTURE_LINES", 1000);
    s_torture.nStalls = EnvInt("TORTURE_STALLS", 0);
    if (s_torture.nWriters > 16 || s_torture.nStalls > 4)
        return 6;
    if (!Load(pszDll))
        return 1;
    Result("ready", "yes");
    for (int i = 0; i < 600 && GetFileAttributesA(goFile.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(50);
    static IDSLog* s_pFirst;
    static HANDLE s_hStarted;
    static HRESULT s_hrFirst = E_PENDING;
    s_pFirst = s_pLog;
    s_hStarted = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE hFirst = CreateThread(
        NULL, 0,
        [](void*) -> DWORD {
            SetEvent(s_hStarted);
            s_hrFirst = s_pLog->RegisterClient(&s_pFirst, 0, 0);
            return 0;
        },
        NULL, 0, NULL);
    WaitForSingleObject(s_hStarted, 10000);
    Sleep(20);
    IDSLog* pSecond = s_pLog;
    Result("second_register", Hex(s_pLog->RegisterClient(&pSecond, 0, 0)));
    // The second client's own lines, written while the header is.
    int nSecondFailed = 0;
    char sz[256];
    for (int i = 0; i < 200; ++i)
    {
        wsprintfA(sz, "P%d B L%05d %s", s_torture.nProcess, i, logtest::TortureFiller(s_torture.nProcess, 99, i).c_str());
        if (s_pLog->OutputStringA(sz) != 0)
            ++nSecondFailed;
    }
    // The writers and stallers once the file is open (the other processes'
    // headers may still be on their way).
    // Then all processes' writers start together.
    WaitForSingleObject(hFirst, 30000);
    const std::string folder = goFile.substr(0, goFile.find_last_of('\\') + 1);
    CloseHandle(CreateFileA((folder + "open" + std::to_string(s_torture.nProcess)).c_str(), GENERIC_WRITE, 0, NULL,
                            CREATE_ALWAYS, 0, NULL));
    for (int i = 0; i < 600; ++i)
    {
        int nOpen = 0;
        for (int p = 0; p < s_torture.nProcesses; ++p)
            nOpen += GetFileAttributesA((folder + "open" + std::to_string(p)).c_str()) != INVALID_FILE_ATTRIBUTES;
        if (nOpen == s_torture.nProcesses)
            break;
        Sleep(10);
    }
    std::vector<HANDLE> threads;
    for (int w = 0; w < s_torture.nWriters; ++w)
        threads.push_back(CreateThread(NULL, 0, TortureWriter, (void*)(INT_PTR)w, 0, NULL));
    for (int n = 0; n < s_torture.nStalls; ++n)
        threads.push_back(CreateThread(NULL, 0, TortureStaller, (void*)(INT_PTR)n, 0, NULL));
    threads.push_back(hFirst);
    const bool bDone = WaitForMultipleObjects((DWORD)threads.size(), threads.data(), TRUE, 60000) == WAIT_OBJECT_0;
    Result("threads", bDone ? "done" : "hung");
    if (!bDone)
        return EndBlocked(5);
    Result("first_register", Hex(s_hrFirst));
    Result("tid_B", std::to_string(GetCurrentThreadId()));
    Result("failed_B", std::to_string(nSecondFailed));
    for (int w = 0; w < s_torture.nWriters; ++w)
    {
        Result(("tid_W" + std::to_string(w)).c_str(), std::to_string(s_torture.adwThread[w]));
        Result(("failed_W" + std::to_string(w)).c_str(), std::to_string(s_torture.anFailed[w]));
    }
    for (int n = 0; n < s_torture.nStalls; ++n)
    {
        Result(("stall" + std::to_string(n)).c_str(), Hex(s_torture.ahrStall[n]));
        Result(("tid_S" + std::to_string(n)).c_str(), std::to_string(s_torture.adwStaller[n]));
    }
    s_pLog->UnregisterClient((void**)&pSecond);
    s_pLog->UnregisterClient((void**)&s_pFirst);
    Unload();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
        return 2;
    s_pResults = fopen(argv[3], "w");
    if (!s_pResults)
        return 3;
    const std::string scenario = argv[1];
    const char* pszDll = argv[2];
    int n = 4;
    if (scenario == "register")
        n = Register(pszDll);
    else if (scenario == "messages")
        n = Messages(pszDll);
    else if (scenario == "api")
        n = Api(pszDll);
    else if (scenario == "early")
        n = Early(pszDll);
    else if (scenario == "live")
        n = Live(pszDll);
    else if (scenario == "reserved")
        n = Reserved(pszDll);
    else if (scenario == "prefix")
        n = Prefix(pszDll);
    else if (scenario == "priority")
        n = Priority(pszDll);
    else if (scenario == "headerfault")
        n = HeaderFault(pszDll);
    else if (scenario == "abandon")
        n = Abandon(pszDll);
    else if (scenario == "loaderlock")
        n = LoaderLockOpen(pszDll);
    else if (scenario.compare(0, 6, "limit-") == 0)
        n = Limit(pszDll, scenario.substr(6));
    else if (scenario == "stopped")
        n = Stopped(pszDll);
    else if (scenario == "golden")
        n = Golden(pszDll);
    else if (scenario == "exit")
        n = Exit(pszDll);
    else if (scenario == "giveupreuse")
        n = GiveUpReuse(pszDll);
    else if (scenario == "giveuptwice")
        n = GiveUpTwice(pszDll);
    else if (scenario == "giveupafter")
        n = GiveUpAfter(pszDll, true);
    else if (scenario == "giveupnocommit")
        n = GiveUpAfter(pszDll, false);
    else if (scenario == "headerclients")
        n = HeaderClients(pszDll, 4);
    else if (scenario == "headerwait")
        n = HeaderClients(pszDll, 1300);
    else if (scenario == "torture")
    {
        std::string go = argv[3];
        n = Torture(pszDll, go.substr(0, go.find_last_of('\\')) + "\\go");
    }
    else if (scenario == "shared")
    {
        std::string go = argv[3];
        n = Shared(pszDll, go.substr(0, go.find_last_of('\\')) + "\\go");
    }
    Result("end", std::to_string(n));
    fclose(s_pResults);
    return n;
}
