#include "DbgHelp.h"

#include <string.h>

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
    if (bProcessEnding || !m_hModule)
        return;
    EnterCriticalSection(&m_cs);
    if (m_nState == eReady)
        SymCleanup(GetCurrentProcess());
    FreeLibrary(m_hModule);
    LeaveCriticalSection(&m_cs);
}

BOOL CDbgHelp::InitSymbols()
{
    if (!m_hModule || !m_bLockReady)
        return FALSE;
    if (m_nState == eReady)
        return TRUE;
    EnterCriticalSection(&m_cs);
    if (m_nState == eNotSetUp)
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
                SymSetOptions(SymGetOptions() | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES);
                if (SymInitialize(GetCurrentProcess(), NULL, FALSE))
                    m_nState = eReady;
            }
        }
    }
    const BOOL bReady = m_nState == eReady;
    LeaveCriticalSection(&m_cs);
    return bReady;
}

void CDbgHelp::GetCallerModulePrefix(char* pszBuf, UINT cbSize, const void* pOwnStart, const void* pOwnEnd)
{
    if (!InitSymbols())
        return;
    ModulePrefixOf(FindCallerAllocationBase(pOwnStart, pOwnEnd), pszBuf, cbSize);
}

BOOL CDbgHelp::SymInitialize(HANDLE hProcess, PCSTR pszSearchPath, BOOL bInvade)
{
    PFN_SymInitialize pfn = m_hModule ? (PFN_SymInitialize)(void*)m_apfn[eSymInitialize] : NULL;
    return pfn ? pfn(hProcess, pszSearchPath, bInvade) : FALSE;
}

BOOL CDbgHelp::SymCleanup(HANDLE hProcess)
{
    PFN_SymCleanup pfn = m_hModule ? (PFN_SymCleanup)(void*)m_apfn[eSymCleanup] : NULL;
    return pfn ? pfn(hProcess) : FALSE;
}

DWORD CDbgHelp::SymSetOptions(DWORD dwOptions)
{
    PFN_SymSetOptions pfn = m_hModule ? (PFN_SymSetOptions)(void*)m_apfn[eSymSetOptions] : NULL;
    return pfn ? pfn(dwOptions) : 0;
}

DWORD CDbgHelp::SymGetOptions()
{
    PFN_SymGetOptions pfn = m_hModule ? (PFN_SymGetOptions)(void*)m_apfn[eSymGetOptions] : NULL;
    return pfn ? pfn() : 0;
}

DWORD64 CDbgHelp::SymLoadModule64(HANDLE hProcess, HANDLE hFile, PCSTR pszImage, PCSTR pszModule, DWORD64 qwBase,
                                  DWORD dwSize)
{
    PFN_SymLoadModule64 pfn = m_hModule ? (PFN_SymLoadModule64)(void*)m_apfn[eSymLoadModule64] : NULL;
    return pfn ? pfn(hProcess, hFile, pszImage, pszModule, qwBase, dwSize) : 0;
}

__attribute__((noinline)) void* FindCallerAllocationBase(const void* pOwnStart, const void* pOwnEnd)
{
    CONTEXT ctx;
    RtlCaptureContext(&ctx);
    for (int i = 0; i < MAX_CALLER_FRAMES; ++i)
    {
        const DWORD64 pc = ctx.Rip;
        if (pc == 0)
            return NULL;
        DWORD64 qwImageBase = 0;
        PRUNTIME_FUNCTION pFunction = RtlLookupFunctionEntry(pc, &qwImageBase, NULL);
        if (pc < (DWORD64)pOwnStart || pc >= (DWORD64)pOwnEnd)
        {
            // Code with unwind data lies in a mapped image, whose base is
            // its allocation base; anything else is asked of the system.
            if (pFunction && qwImageBase)
                return (void*)qwImageBase;
            MEMORY_BASIC_INFORMATION mbi;
            if (!VirtualQuery((void*)pc, &mbi, sizeof(mbi)))
                return NULL;
            return mbi.AllocationBase;
        }
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

void ModulePrefixOf(void* pAllocationBase, char* pszBuf, UINT cbSize)
{
    char szPath[LOG_PATH_SIZE + 1];
    ZeroMemory(szPath, sizeof(szPath));
    if (!pAllocationBase || !GetModuleFileNameA((HMODULE)pAllocationBase, szPath, LOG_PATH_SIZE))
        szPath[0] = 0;
    ShapeModulePrefix(szPath[0] ? szPath : NULL, pszBuf, cbSize);
}
