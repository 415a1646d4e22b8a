// The log object: the single IDSLog of the process. Clients register with
// it, hand it trace lines through a ring of fixed slots, and it writes every
// line, with its thread, priority, time and level columns, into one log file
// that opens with a header and ends with a closing block.
//
// Locks: m_csWrite serialises everything that writes the file (the flush,
// the header, the closing block, the dumps and the raw writer) and guards the
// client list; m_cs guards the ring's slots and counters and is taken only
// briefly, inside m_csWrite when both are needed. Neither is held while the
// log calls out of the library.
#pragma once

#include <windows.h>

#include "IDSLog.h"
#include "LogText.h"

// One ring slot.
struct LOGSLOT
{
    int nState;               // eSlotFree, eSlotReserved, eSlotReady or eSlotDropped
    int nKind;                // 0 message, 64 dump header, 65 asks for an immediate flush
    DWORD dwThreadId;         // the committing thread
    const char* pszApartment; // always "?"
    int nPriority;            // the committing thread's priority
    int nLevel;
    char szText[LOG_TEXT_SIZE];
};

enum
{
    eSlotFree = 0,
    eSlotReserved = 1,
    eSlotReady = 2,
    eSlotDropped = 3, // committed while the log could not write it: freed by the next flush unwritten
};

class CLog final : public IDSLog
{
public:
    CLog();
    ~CLog();

    BOOL STDMETHODCALLTYPE IsLevelMuted(UINT nLevel) override;
    HRESULT STDMETHODCALLTYPE ReserveLine(int* pnIndex, char** ppszText, int* pcchRoom) override;
    HRESULT STDMETHODCALLTYPE CommitLine(UINT nIndex, int nKind, int nLevel) override;
    HRESULT STDMETHODCALLTYPE Flush() override;
    HRESULT STDMETHODCALLTYPE DumpCallStack(EXCEPTION_POINTERS* pep, HANDLE hThread, BOOL bFast) override;
    HRESULT STDMETHODCALLTYPE DumpBuffer(int cb, const char* pData) override;
    HRESULT STDMETHODCALLTYPE DumpRegistryKey(HKEY hRoot, const char* pszSubKey) override;
    HRESULT STDMETHODCALLTYPE RegisterClient(void* pClient, UINT_PTR nReserved1, UINT_PTR nReserved2) override;
    HRESULT STDMETHODCALLTYPE UnregisterClient(void** ppClient) override;
    HRESULT STDMETHODCALLTYPE Reserved(UINT_PTR, UINT_PTR, UINT_PTR) override;
    int STDMETHODCALLTYPE OutputStringA(const char* psz) override;
    int STDMETHODCALLTYPE OutputStringW(const wchar_t* psz) override;

    // Writes a text straight to the file: 0 when bytes were written, else E_FAIL.
    HRESULT LogWrite(const char* pszText);
    HRESULT LogPrintf(const char* pszFormat, ...);
    // Writes bytes to the file; the number written, 0 on failure or when the
    // log cannot write (the failure then stops the log for good).
    DWORD WriteRaw(const void* pData, DWORD cb);

private:
    bool IsFileOpen() const { return m_hFile != NULL && m_hFile != INVALID_HANDLE_VALUE; }
    bool IsHealthy() const { return *(volatile const DWORD*)&m_dwError == 0 && IsFileOpen(); }

    const char* LogDebugString(const char* pszText);
    int CurrentThreadPriority();
    void FlushLocked();
    void FormatLine(const LOGSLOT& slot, const SYSTEMTIME* pst);
    BOOL OpenLogFile();
    void WriteHeader(const char* pszLibraryPath);
    void WriteClosingBlock();
    // The module list of the symbol engine, written whole; nothing when
    // there is none.
    void WriteModuleList(BOOL bLoadSymbols);
    void WriteOutForShutdown();
    bool AddClient(void* pClient);
    HRESULT CheckDumpTarget();
    void WriteDumpHeader(const char* pszText);
    HRESULT WriteBufferBlock(int cb, const char* pData);
    void DumpKeyRecursive(HKEY hKey, const char* pszName);
    void DumpValue(const char* pszName, DWORD dwType, const BYTE* pbData, DWORD cbData);

    void** m_apClients;
    int m_nClients;
    int m_nClientsAlloc;
    UINT m_nLevel;
    DWORD m_dwError;
    HANDLE m_hFile;
    LOGSLOT m_ring[LOG_RING_SIZE];
    int m_nReadIndex;
    int m_nWriteIndex;
    int m_nPending;
    int m_nUsed;
    BOOL m_bFlushScheduled;
    int m_nFlushThreshold;
    SYSTEMTIME m_stLast;
    DWORD m_dwLastThread;
    char m_szLogFile[LOG_NAME_SIZE];
    CRITICAL_SECTION m_cs;
    CRITICAL_SECTION m_csWrite;
    CONDITION_VARIABLE m_cvCommit; // signalled when a reserved slot is committed
    DWORD m_dwPriorityTls;         // each thread's last priority and when it was read
    bool m_bClosing;
};

// Shows "Log fatal error" with the system's text for dwError, on a thread of
// its own so that the failing call never waits for the user.
void ShowFatalError(DWORD dwError, const char* pszStep, const char* pszLogFile);

// The library's globals.
extern CLog* volatile g_pLog;
extern HMODULE g_hLogModule;        // allocation base of the library's code
extern const void* g_pLogModuleEnd; // end of the library's image
extern DWORD g_adwTls[2];           // slots of the hook layer, TLS_OUT_OF_INDEXES when not held
extern volatile bool g_bProcessEnding;

// Finds the library's own module from an address of its code.
void LocateLogModule(const void* pOwnCode);
