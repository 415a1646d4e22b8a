// The symbol engine of the log library: dbghelp, loaded by name when the
// library loads, set up once on first use, and the caller-module prefix that
// opens every message. dbghelp is not thread-safe: every call into it is made
// under this object's lock, guarded so that a fault inside dbghelp never
// leaves the lock held. No lock of the log object is held meanwhile.
#pragma once

#include <windows.h>
#include <dbghelp.h>

#include "LogText.h"

class CDbgHelp
{
public:
    enum
    {
        eNotSetUp = 0,
        eReady = 1,
        eFailed = 2,
    };

    // Loads dbghelp.dll and looks its functions up; records the load error.
    void Load();
    // Ends the symbol engine and frees dbghelp. When the process is ending,
    // dbghelp may already be detached and is left alone. Once released, the
    // object makes no call into dbghelp any more; a second call does nothing.
    void Release(bool bProcessEnding);

    HMODULE Module() const { return m_hModule; }
    DWORD LoadError() const { return m_dwLoadError; }
    int State() const { return m_nState; }

    // Sets the symbol engine up once; TRUE when it is ready.
    BOOL InitSymbols();

    // The calling module's prefix ("PLAYER: ") into pszBuf (cbSize bytes),
    // for the first frame outside the module [pOwnStart, pOwnEnd). pCaller,
    // when given, is the return address of the module's entry that was
    // called: outside the module, it is that frame. Left unchanged when the
    // symbol engine is not ready.
    void GetCallerModulePrefix(char* pszBuf, UINT cbSize, const void* pOwnStart, const void* pOwnEnd,
                               const void* pCaller = NULL);

    // Calls into dbghelp; each gives 0 when dbghelp or the function is missing.
    BOOL SymInitialize(HANDLE hProcess, PCSTR pszSearchPath, BOOL bInvade);
    BOOL SymCleanup(HANDLE hProcess);
    DWORD SymSetOptions(DWORD dwOptions);
    DWORD SymGetOptions();
    DWORD64 SymLoadModule64(HANDLE hProcess, HANDLE hFile, PCSTR pszImage, PCSTR pszModule, DWORD64 qwBase,
                            DWORD dwSize);

    // The modules of the process, one line each with its version text, and
    // with bLoadSymbols their symbols loaded (a module whose symbols are not
    // found is marked). *ppText receives a heap text the caller frees with
    // free(). FALSE, and *ppText null, when the symbol engine is not ready or
    // the modules cannot be listed. After Release it makes no dbghelp call.
    BOOL GetModuleList(char** ppText, BOOL bLoadSymbols);

private:
    HMODULE m_hModule;
    DWORD m_dwLoadError;
    volatile LONG m_nState;
    FARPROC m_apfn[15];
    CRITICAL_SECTION m_cs;
    bool m_bLockReady;
    volatile bool m_bReleased; // dbghelp may be gone: no call into it any more
};

// Version text of a file into pszOut (cbOut bytes, cut to fit): its file and
// product versions, flag words, size and last-write time, or the reason there
// is none ("Version info not found, error 1813").
void GetFileVersionText(const char* pszPath, char* pszOut, int cbOut);
// The same text for a loaded module, read from its mapped image (the file
// only for its size and time); a NULL module reads the file.
void GetModuleVersionText(HMODULE hModule, const char* pszPath, char* pszOut, int cbOut);

// Allocation base of the module that holds the first frame of the calling
// thread's stack outside [pOwnStart, pOwnEnd), found with the system's
// unwinder; NULL when no such frame is found within 64 frames.
void* FindCallerAllocationBase(const void* pOwnStart, const void* pOwnEnd);

// The prefix for a frame's allocation base (see ShapeModulePrefix); "N/A: "
// when it is no module. True when it is a loaded module.
bool ModulePrefixOf(void* pAllocationBase, char* pszBuf, UINT cbSize);

extern CDbgHelp g_DbgHelp;

// Prefixes of the modules that call the log, by the range of each module's
// image, so that a line from a module seen before costs no call to the
// system. An entry is used only while no module was unloaded since it was
// taken (another module may then lie at the same addresses), and only while
// unloads are watched. Threads read and fill it without a lock.
class CModulePrefixCache
{
public:
    // The prefix of the module that holds pAddress (see ModulePrefixOf)
    // into pszBuf (cbSize bytes).
    void PrefixOf(const void* pAddress, char* pszBuf, UINT cbSize);

private:
    enum { ENTRIES = 8 };
    struct Entry
    {
        volatile LONG nSeq; // odd while the entry is being filled
        LONG nUnloads;      // unloads counted when it was taken
        ULONG_PTR uStart;
        ULONG_PTR uEnd;
        char szPrefix[LOG_PREFIX_SIZE];
    };
    Entry m_aEntries[ENTRIES];
    volatile LONG m_nNext;
};

extern CModulePrefixCache g_CallerPrefixes;

// Counts module unloads through the system's notification while the library
// is loaded (the cache above keeps nothing otherwise). Stop before the
// library's code goes away.
void WatchModuleUnloads();
void StopWatchingModuleUnloads();
