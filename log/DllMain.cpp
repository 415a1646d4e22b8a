// Start and end of the log library, and its exports.
#include <stdlib.h>
#include <new>

#include "SymbolEngine.h"
#include "Log.h"
#include "Settings.h"

namespace {

void DeleteLogObject()
{
    CLog* pLog = g_pLog;
    g_pLog = NULL;
    delete pLog;
}

void ReleaseDbgHelp()
{
    StopWatchingModuleUnloads();
    g_DbgHelp.Release(g_bProcessEnding);
}

// The library's start, in this order: the log object's pointer and its
// terminator, the library's own module, dbghelp and its terminator. The
// terminators run in reverse order when the library unloads: dbghelp is
// released first, then the log object writes its closing block.
struct CLibraryStart
{
    CLibraryStart()
    {
        g_pLog = NULL;
        atexit(DeleteLogObject);
        LocateLogModule((const void*)&DeleteLogObject);
        g_DbgHelp.Load();
        WatchModuleUnloads();
        atexit(ReleaseDbgHelp);
    }
} s_start;

// The library's own full path; false when it does not fit LOG_PATH_SIZE.
bool GetLibraryPath(char (&szPath)[LOG_PATH_SIZE + 1])
{
    const DWORD cch = GetModuleFileNameA(g_hLogModule, szPath, LOG_PATH_SIZE);
    return cch != 0 && cch < LOG_PATH_SIZE;
}

} // namespace

// Guards the making of the log object. A second object, made by a thread
// that lost a race and then thrown away, would take the library's globals
// (its module handle, its TLS slots) with it when it is destroyed.
static SRWLOCK s_lockCreate = SRWLOCK_INIT;

extern "C" HRESULT WINAPI Exp_GetLogObject(IDSLog** ppLog)
{
    if (!ppLog)
        return E_POINTER;
    *ppLog = NULL;
    CLog* pLog = __atomic_load_n(&g_pLog, __ATOMIC_ACQUIRE);
    if (!pLog)
    {
        AcquireSRWLockExclusive(&s_lockCreate);
        pLog = g_pLog;
        if (!pLog)
        {
            pLog = new (std::nothrow) CLog;
            // Published with a full barrier: a thread that finds the pointer
            // finds the object whole.
            if (pLog)
                InterlockedExchangePointer((void* volatile*)&g_pLog, pLog);
        }
        ReleaseSRWLockExclusive(&s_lockCreate);
        if (!pLog)
            return E_OUTOFMEMORY;
    }
    *ppLog = pLog;
    return S_OK;
}

// The settings entry points, in the form rundll32 calls; their arguments are
// not used.
extern "C" void CALLBACK Exp_Default(HWND, HINSTANCE, LPSTR, int)
{
    char szPath[LOG_PATH_SIZE + 1];
    if (GetLibraryPath(szPath))
        WriteDefaultSettings(HKEY_CURRENT_USER, szPath);
}

extern "C" void CALLBACK Exp_Install(HWND, HINSTANCE, LPSTR, int)
{
    char szPath[LOG_PATH_SIZE + 1];
    if (GetLibraryPath(szPath))
        RunInstallDialog(HKEY_CURRENT_USER, szPath);
}

extern "C" void CALLBACK Exp_Uninstall(HWND, HINSTANCE, LPSTR, int)
{
    char szPath[LOG_PATH_SIZE + 1];
    if (GetLibraryPath(szPath))
        RemoveSettings(HKEY_CURRENT_USER, szPath);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID pReserved)
{
    // The terminators run after this call; when the process is ending they
    // must leave dbghelp alone and may find locks of ended threads.
    if (dwReason == DLL_PROCESS_DETACH)
        g_bProcessEnding = pReserved != NULL;
    return TRUE;
}
