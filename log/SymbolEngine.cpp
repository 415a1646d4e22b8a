#include "SymbolEngine.h"

#include <stdlib.h>
#include <string.h>
#include <tlhelp32.h>

#include <sehguard.h>

#include "LogText.h"

CDbgHelp g_DbgHelp;

namespace {

// dbghelp's functions, looked up in this order.
const char* const s_apszFunctions[15] = {
    "UnDecorateSymbolName", "UnDecorateSymbolNameW", "SymInitialize",         "SymInitializeW",
    "SymCleanup",           "SymSetOptions",         "SymGetOptions",         "SymFromAddr",
    "SymFromAddrW",         "SymGetLineFromAddr64",  "SymGetLineFromAddrW64", "SymLoadModule64",
    "StackWalk64",          "SymFunctionTableAccess64", "SymGetModuleBase64",
};

enum
{
    eSymInitialize = 2,
    eSymCleanup = 4,
    eSymSetOptions = 5,
    eSymGetOptions = 6,
    eSymLoadModule64 = 11,
};

typedef BOOL(WINAPI* PFN_SymInitialize)(HANDLE, PCSTR, BOOL);
typedef BOOL(WINAPI* PFN_SymCleanup)(HANDLE);
typedef DWORD(WINAPI* PFN_SymSetOptions)(DWORD);
typedef DWORD(WINAPI* PFN_SymGetOptions)();
typedef DWORD64(WINAPI* PFN_SymLoadModule64)(HANDLE, HANDLE, PCSTR, PCSTR, DWORD64, DWORD);

const int SYMBOL_PATH_SIZE = 780;
const int MAX_CALLER_FRAMES = 64;

} // namespace

void CDbgHelp::Load()
{
    if (!m_bLockReady)
    {
        InitializeCriticalSection(&m_cs);
        m_bLockReady = true;
    }
    SetLastError(0);
    m_hModule = LoadLibraryA("dbghelp.dll");
    if (!m_hModule)
    {
        m_dwLoadError = GetLastError();
        if (m_dwLoadError == 0)
            m_dwLoadError = ERROR_MOD_NOT_FOUND;
        m_nState = eFailed;
        return;
    }
    m_dwLoadError = 0;
    for (int i = 0; i < 15; ++i)
        m_apfn[i] = GetProcAddress(m_hModule, s_apszFunctions[i]);
}

void CDbgHelp::Release(bool bProcessEnding)
{
    if (!m_hModule || m_bReleased)
        return;
    if (bProcessEnding)
    {
        m_bReleased = true;
        return;
    }
    EnterCriticalSection(&m_cs);
    if (m_nState == eReady)
        SymCleanup(GetCurrentProcess());
    m_bReleased = true;
    FreeLibrary(m_hModule);
    LeaveCriticalSection(&m_cs);
}

BOOL CDbgHelp::InitSymbols()
{
    if (!m_hModule || !m_bLockReady)
        return FALSE;
    if (m_nState == eReady)
        return TRUE;
    if (m_bReleased)
        return FALSE; // never set up on a library that may be gone
    EnterCriticalSection(&m_cs);
    if (m_nState == eNotSetUp && !m_bReleased)
    {
        m_nState = eFailed; // never tried again
        char szWindows[LOG_PATH_SIZE];
        const UINT cchWindows = GetWindowsDirectoryA(szWindows, sizeof(szWindows));
        if (cchWindows != 0 && cchWindows < sizeof(szWindows))
        {
            char szDspdb[LOG_PATH_SIZE + 1];
            const DWORD cchDspdb = ExpandEnvironmentStringsA("%_DSPDB%", szDspdb, sizeof(szDspdb));
            const bool bDspdb = cchDspdb != 0 && cchDspdb <= sizeof(szDspdb) && strcmp(szDspdb, "%_DSPDB%") != 0;
            char szExe[LOG_PATH_SIZE + 1] = "";
            const DWORD cchExe = GetModuleFileNameA(NULL, szExe, LOG_PATH_SIZE);
            if (cchExe == 0 || cchExe >= LOG_PATH_SIZE)
                szExe[0] = 0;
            char szPath[SYMBOL_PATH_SIZE];
            if (BuildSymbolPath(szPath, sizeof(szPath), szWindows, bDspdb ? szDspdb : NULL, szExe))
            {
                SetEnvironmentVariableA("_NT_SYMBOL_PATH", szPath);
                // A fault inside dbghelp leaves the engine not set up, and
                // never this object's lock held.
                BOOL bInitialized = FALSE;
                SEH_Guard([this, &bInitialized] {
                    SymSetOptions(SymGetOptions() | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES);
                    bInitialized = SymInitialize(GetCurrentProcess(), NULL, FALSE);
                });
                if (bInitialized)
                    m_nState = eReady;
            }
        }
    }
    const BOOL bReady = m_nState == eReady;
    LeaveCriticalSection(&m_cs);
    return bReady;
}

void CDbgHelp::GetCallerModulePrefix(char* pszBuf, UINT cbSize, const void* pOwnStart, const void* pOwnEnd,
                                     const void* pCaller)
{
    if (!InitSymbols())
        return;
    // The return address of the library's entry is the first frame outside
    // it: the walk would stop there. Only when the entry was called from the
    // library itself is the stack walked.
    if (pCaller && (pCaller < pOwnStart || pCaller >= pOwnEnd))
        g_CallerPrefixes.PrefixOf(pCaller, pszBuf, cbSize);
    else
        ModulePrefixOf(FindCallerAllocationBase(pOwnStart, pOwnEnd), pszBuf, cbSize);
}

BOOL CDbgHelp::SymInitialize(HANDLE hProcess, PCSTR pszSearchPath, BOOL bInvade)
{
    PFN_SymInitialize pfn = m_hModule && !m_bReleased ? (PFN_SymInitialize)(void*)m_apfn[eSymInitialize] : NULL;
    return pfn ? pfn(hProcess, pszSearchPath, bInvade) : FALSE;
}

BOOL CDbgHelp::SymCleanup(HANDLE hProcess)
{
    PFN_SymCleanup pfn = m_hModule && !m_bReleased ? (PFN_SymCleanup)(void*)m_apfn[eSymCleanup] : NULL;
    return pfn ? pfn(hProcess) : FALSE;
}

DWORD CDbgHelp::SymSetOptions(DWORD dwOptions)
{
    PFN_SymSetOptions pfn = m_hModule && !m_bReleased ? (PFN_SymSetOptions)(void*)m_apfn[eSymSetOptions] : NULL;
    return pfn ? pfn(dwOptions) : 0;
}

DWORD CDbgHelp::SymGetOptions()
{
    PFN_SymGetOptions pfn = m_hModule && !m_bReleased ? (PFN_SymGetOptions)(void*)m_apfn[eSymGetOptions] : NULL;
    return pfn ? pfn() : 0;
}

DWORD64 CDbgHelp::SymLoadModule64(HANDLE hProcess, HANDLE hFile, PCSTR pszImage, PCSTR pszModule, DWORD64 qwBase,
                                  DWORD dwSize)
{
    PFN_SymLoadModule64 pfn = m_hModule && !m_bReleased ? (PFN_SymLoadModule64)(void*)m_apfn[eSymLoadModule64] : NULL;
    return pfn ? pfn(hProcess, hFile, pszImage, pszModule, qwBase, dwSize) : 0;
}


BOOL CDbgHelp::GetModuleList(char** ppText, BOOL bLoadSymbols)
{
    if (!ppText)
        return FALSE;
    *ppText = NULL;
    if (!InitSymbols())
        return FALSE;
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetCurrentProcessId());
    if (hSnapshot == INVALID_HANDLE_VALUE)
        return FALSE;
    MODULEENTRY32 me;
    ZeroMemory(&me, sizeof(me));
    me.dwSize = sizeof(me);
    if (!Module32First(hSnapshot, &me))
    {
        CloseHandle(hSnapshot);
        return FALSE;
    }
    CHeapText text;
    if (!text.Reserve(4096))
    {
        CloseHandle(hSnapshot);
        return FALSE;
    }
    do
    {
        // The record's texts are cut to their arrays, whatever the system left there.
        me.szModule[sizeof(me.szModule) - 1] = 0;
        me.szExePath[sizeof(me.szExePath) - 1] = 0;
        bool bNoSymbols = false;
        if (bLoadSymbols)
        {
            // A fault while a module's symbols load marks it as without
            // symbols; the list goes on, and the lock is left.
            DWORD64 qwLoaded = 0;
            EnterCriticalSection(&m_cs);
            SEH_Guard([this, &me, &qwLoaded] {
                qwLoaded = SymLoadModule64(GetCurrentProcess(), NULL, me.szExePath, me.szModule,
                                           (DWORD64)(UINT_PTR)me.modBaseAddr, me.modBaseSize);
            });
            LeaveCriticalSection(&m_cs);
            bNoSymbols = qwLoaded == 0;
        }
        char szVersion[256];
        // Read from the mapped image, not through the file: the list is also
        // written while modules are being unloaded, under the loader lock,
        // where taking a new reference on a module that is going away would
        // unload its imports a second time.
        GetModuleVersionText(me.hModule, me.szExePath, szVersion, sizeof(szVersion));
        char szLine[1025];
        ModuleLine(szLine, me.hModule, me.szExePath, szVersion, bNoSymbols);
        if (!text.Add(szLine))
            break; // out of memory: the list so far
        me.dwSize = sizeof(me);
    } while (Module32Next(hSnapshot, &me));
    CloseHandle(hSnapshot);
    *ppText = text.Detach();
    return TRUE;
}

namespace
{
// The text of a version block that was read: the fixed part, with the size
// and the last write time of the file.
void VersionTextOfBlock(const char* pszPath, const void* pInfo, char* pszText, int cbText)
{
    VS_FIXEDFILEINFO* pFixed = NULL;
    UINT cbFixed = 0;
    if (!VerQueryValueA(pInfo, "\\", (void**)&pFixed, &cbFixed))
        lstrcpynA(pszText, "### VerQueryValue() FAILED", cbText);
    else if (!pFixed || cbFixed < sizeof(VS_FIXEDFILEINFO))
        lstrcpynA(pszText, "### VerQueryValue(): bad returned data", cbText);
    else
    {
        WIN32_FILE_ATTRIBUTE_DATA fad;
        SYSTEMTIME stWrite;
        ZeroMemory(&stWrite, sizeof(stWrite));
        if (pszPath && GetFileAttributesExA(pszPath, GetFileExInfoStandard, &fad))
            FileTimeToSystemTime(&fad.ftLastWriteTime, &stWrite);
        else
            ZeroMemory(&fad, sizeof(fad));
        FormatVersionText(pszText, cbText, *pFixed, fad.nFileSizeLow, stWrite);
    }
}
} // namespace

void GetFileVersionText(const char* pszPath, char* pszOut, int cbOut)
{
    if (!pszOut || cbOut <= 0)
        return;
    char szText[256];
    DWORD dwHandle = 0;
    SetLastError(0);
    const DWORD cbInfo = pszPath ? GetFileVersionInfoSizeA(pszPath, &dwHandle) : 0;
    if (cbInfo == 0)
    {
        wsprintfA(szText, "Version info not found, error %i", (int)GetLastError());
        lstrcpynA(pszOut, szText, cbOut);
        return;
    }
    void* pInfo = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cbInfo);
    if (!pInfo)
    {
        wsprintfA(szText, "### Version info error %i", ERROR_NOT_ENOUGH_MEMORY);
        lstrcpynA(pszOut, szText, cbOut);
        return;
    }
    if (!GetFileVersionInfoA(pszPath, 0, cbInfo, pInfo))
        wsprintfA(szText, "### Version info error %i", (int)GetLastError());
    else
        VersionTextOfBlock(pszPath, pInfo, szText, sizeof(szText));
    HeapFree(GetProcessHeap(), 0, pInfo);
    lstrcpynA(pszOut, szText, cbOut);
}

void GetModuleVersionText(HMODULE hModule, const char* pszPath, char* pszOut, int cbOut)
{
    if (!pszOut || cbOut <= 0)
        return;
    if (!hModule)
    {
        GetFileVersionText(pszPath, pszOut, cbOut);
        return;
    }
    char szText[256];
    SetLastError(0);
    HRSRC hRes = FindResourceA(hModule, MAKEINTRESOURCEA(VS_VERSION_INFO), (LPCSTR)RT_VERSION);
    const DWORD cbRes = hRes ? SizeofResource(hModule, hRes) : 0;
    HGLOBAL hData = cbRes ? LoadResource(hModule, hRes) : NULL;
    const void* pRes = hData ? LockResource(hData) : NULL;
    if (!pRes)
    {
        const DWORD dwError = GetLastError();
        wsprintfA(szText, "Version info not found, error %i", (int)(dwError ? dwError : ERROR_RESOURCE_TYPE_NOT_FOUND));
        lstrcpynA(pszOut, szText, cbOut);
        return;
    }
    // A copy with room behind it, as the version functions expect of a block
    // they did not read themselves.
    void* pInfo = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)cbRes * 2);
    if (!pInfo)
    {
        wsprintfA(szText, "### Version info error %i", ERROR_NOT_ENOUGH_MEMORY);
        lstrcpynA(pszOut, szText, cbOut);
        return;
    }
    memcpy(pInfo, pRes, cbRes);
    VersionTextOfBlock(pszPath, pInfo, szText, sizeof(szText));
    HeapFree(GetProcessHeap(), 0, pInfo);
    lstrcpynA(pszOut, szText, cbOut);
}

namespace {

// Allocation base of the code at pc, and whether it is a mapped image.
void* AllocationBaseOfCode(DWORD64 pc, bool* pbImage)
{
    // Code with unwind data lies in a mapped image, whose base is its
    // allocation base; anything else is asked of the system.
    DWORD64 qwImageBase = 0;
    if (RtlLookupFunctionEntry(pc, &qwImageBase, NULL) && qwImageBase)
    {
        *pbImage = true;
        return (void*)qwImageBase;
    }
    *pbImage = false;
    MEMORY_BASIC_INFORMATION mbi;
    if (!VirtualQuery((void*)pc, &mbi, sizeof(mbi)))
        return NULL;
    return mbi.AllocationBase;
}

} // namespace

__attribute__((noinline)) void* FindCallerAllocationBase(const void* pOwnStart, const void* pOwnEnd)
{
    CONTEXT ctx;
    RtlCaptureContext(&ctx);
    for (int i = 0; i < MAX_CALLER_FRAMES; ++i)
    {
        const DWORD64 pc = ctx.Rip;
        if (pc == 0)
            return NULL;
        if (pc < (DWORD64)pOwnStart || pc >= (DWORD64)pOwnEnd)
        {
            bool bImage;
            return AllocationBaseOfCode(pc, &bImage);
        }
        DWORD64 qwImageBase = 0;
        PRUNTIME_FUNCTION pFunction = RtlLookupFunctionEntry(pc, &qwImageBase, NULL);
        if (pFunction)
        {
            void* pHandlerData = NULL;
            DWORD64 qwEstablisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, qwImageBase, pc, pFunction, &ctx, &pHandlerData, &qwEstablisher,
                             NULL);
        }
        else
        {
            // A leaf function: its return address is on top of the stack.
            ctx.Rip = *(DWORD64*)ctx.Rsp;
            ctx.Rsp += 8;
        }
    }
    return NULL;
}

bool ModulePrefixOf(void* pAllocationBase, char* pszBuf, UINT cbSize)
{
    char szPath[LOG_PATH_SIZE + 1];
    ZeroMemory(szPath, sizeof(szPath));
    if (!pAllocationBase || !GetModuleFileNameA((HMODULE)pAllocationBase, szPath, LOG_PATH_SIZE))
        szPath[0] = 0;
    ShapeModulePrefix(szPath[0] ? szPath : NULL, pszBuf, cbSize);
    return szPath[0] != 0;
}

// Module unloads, counted by the system's notification; while it is not
// registered no prefix is kept.
namespace {

volatile LONG s_nUnloads;
volatile bool s_bWatching;
void* s_pNotifyCookie;

typedef VOID(CALLBACK* PFN_DllNotification)(ULONG nReason, const void* pData, PVOID pContext);
typedef LONG(NTAPI* PFN_LdrRegisterDllNotification)(ULONG nFlags, PFN_DllNotification pfn, PVOID pContext,
                                                    PVOID* ppCookie);
typedef LONG(NTAPI* PFN_LdrUnregisterDllNotification)(PVOID pCookie);

const ULONG DLL_NOTIFICATION_UNLOADED = 2;

// Runs under the loader lock: it only counts.
VOID CALLBACK OnDllNotification(ULONG nReason, const void*, PVOID)
{
    if (nReason == DLL_NOTIFICATION_UNLOADED)
        InterlockedIncrement(&s_nUnloads);
}

FARPROC NtdllFunction(const char* pszName)
{
    HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
    return hNtdll ? GetProcAddress(hNtdll, pszName) : NULL;
}

} // namespace

CModulePrefixCache g_CallerPrefixes;

void WatchModuleUnloads()
{
    if (s_bWatching)
        return;
    PFN_LdrRegisterDllNotification pfn =
        (PFN_LdrRegisterDllNotification)(void*)NtdllFunction("LdrRegisterDllNotification");
    if (pfn && pfn(0, OnDllNotification, NULL, &s_pNotifyCookie) == 0)
        s_bWatching = true;
}

void StopWatchingModuleUnloads()
{
    if (!s_bWatching)
        return;
    s_bWatching = false;
    InterlockedIncrement(&s_nUnloads); // nothing kept so far is used again
    PFN_LdrUnregisterDllNotification pfn =
        (PFN_LdrUnregisterDllNotification)(void*)NtdllFunction("LdrUnregisterDllNotification");
    if (pfn)
        pfn(s_pNotifyCookie);
    s_pNotifyCookie = NULL;
}

void CModulePrefixCache::PrefixOf(const void* pAddress, char* pszBuf, UINT cbSize)
{
    const ULONG_PTR uAddress = (ULONG_PTR)pAddress;
    const bool bKeep = s_bWatching && cbSize == LOG_PREFIX_SIZE;
    const LONG nUnloads = s_nUnloads;
    if (bKeep)
    {
        for (Entry& e : m_aEntries)
        {
            // Read between two equal even sequence numbers: whole.
            const LONG nSeq = __atomic_load_n(&e.nSeq, __ATOMIC_ACQUIRE);
            if ((nSeq & 1) || e.nUnloads != nUnloads || uAddress < e.uStart || uAddress >= e.uEnd)
                continue;
            memcpy(pszBuf, e.szPrefix, LOG_PREFIX_SIZE);
            __atomic_thread_fence(__ATOMIC_ACQUIRE);
            if (__atomic_load_n(&e.nSeq, __ATOMIC_RELAXED) == nSeq && e.nUnloads == nUnloads)
            {
                pszBuf[LOG_PREFIX_SIZE - 1] = 0;
                return;
            }
        }
    }
    bool bImage = false;
    void* pBase = AllocationBaseOfCode(uAddress, &bImage);
    const bool bModule = ModulePrefixOf(pBase, pszBuf, cbSize);
    if (!bKeep || !bImage || !bModule || s_nUnloads != nUnloads)
        return;
    // A loaded module's range, from its headers.
    const BYTE* pb = (const BYTE*)pBase;
    const IMAGE_DOS_HEADER* pDos = (const IMAGE_DOS_HEADER*)pb;
    if (pDos->e_magic != IMAGE_DOS_SIGNATURE)
        return;
    const IMAGE_NT_HEADERS* pNt = (const IMAGE_NT_HEADERS*)(pb + pDos->e_lfanew);
    if (pNt->Signature != IMAGE_NT_SIGNATURE || uAddress >= (ULONG_PTR)pb + pNt->OptionalHeader.SizeOfImage)
        return;
    Entry& e = m_aEntries[(ULONG)InterlockedIncrement(&m_nNext) % ENTRIES];
    const LONG nSeq = e.nSeq;
    if ((nSeq & 1) || InterlockedCompareExchange(&e.nSeq, nSeq + 1, nSeq) != nSeq)
        return; // another thread is filling it
    e.uStart = (ULONG_PTR)pb;
    e.uEnd = (ULONG_PTR)pb + pNt->OptionalHeader.SizeOfImage;
    e.nUnloads = nUnloads;
    memcpy(e.szPrefix, pszBuf, LOG_PREFIX_SIZE);
    e.szPrefix[LOG_PREFIX_SIZE - 1] = 0;
    __atomic_store_n(&e.nSeq, nSeq + 2, __ATOMIC_RELEASE);
}
