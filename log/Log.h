// The log object: the single IDSLog of the process. Clients register with
// it, hand it trace lines through a ring of fixed slots, and it writes every
// line, with its thread, priority, time and level columns, into one log file
// that opens with a header and ends with a closing block.
//
// Several processes may write one log file. Their writes to it are
// serialised by a lock of their own in memory that they share, named after
// the file (CFileGuard): under it each write lands whole at the end of the
// file, and a line opens with its columns whenever the line before it in the
// file is another process's.
//
// Locks: m_csWrite serialises everything that writes the file (the flush,
// the dumps and the raw writer) and guards the client list; m_cs guards the
// ring's slots and counters and is taken only briefly, inside m_csWrite when
// both are needed. They are the innermost locks of the process: nothing that
// may wait for another lock runs under them (no module lookup, no message
// text, no new thread, no registry), so that a client may call the log while
// it holds the system's loader lock. Opening the file and writing its header
// (settings, system information, module list) take no lock of the log; the
// fatal-error box is shown after the lock is left.
#pragma once

#include <windows.h>

#include "IDSLog.h"
#include "LogText.h"

// One ring slot.
struct LOGSLOT
{
    int nState;               // eSlotFree, eSlotReserved, eSlotReady, eSlotDropped or eSlotGivenUp
    int nKind;                // 0 message, 64 dump header, 65 asks for an immediate flush
    DWORD dwThreadId;         // the reserving thread, then the committing thread
    const char* pszApartment; // always "?"
    int nPriority;            // the committing thread's priority, or PRIORITY_UNKNOWN
    int nLevel;
    char szText[LOG_TEXT_SIZE];
    DWORD dwReservedAt; // tick count of the reservation
};

enum
{
    eSlotFree = 0,
    eSlotReserved = 1,
    eSlotReady = 2,
    eSlotDropped = 3, // committed while the log could not write it, or committed after its give-up: freed unwritten
    // Given up while reserved: its holder may still write its text, so the
    // slot is out of use until the holder's late commit (which is refused)
    // returns it. The flush steps over it, and so does the ring when it
    // comes round to it again.
    eSlotGivenUp = 4,
};

// A slot's priority that was not asked for at its commit: the thread's
// following lines print none, and asking costs a round trip to the system.
// Whoever writes the line asks when its line opens with the columns after
// all.
const int PRIORITY_UNKNOWN = (int)0x80000000;

// How long a reservation may stay uncommitted while writers wait for its
// slot (the ring is full behind it): then it is given up and counted.
const DWORD RESERVATION_TIMEOUT_MS = 1000;

// How long a writer that finds the ring full waits for the file's header
// while the first registration writes it; then its line, and every line
// that finds the ring full until the header is out, is dropped and counted.
const DWORD HEADER_WAIT_MS = 5000;

// Lines the log could not take, by cause; each count is written into the
// file as a line of the log's own.
enum
{
    eDropGivenUp,   // reservations given up
    eDropOpening,   // no room while the file's header was being written
    eDropNoSlot,    // every slot given up and held
    eDropCauses
};

// The lock that the processes writing one file share (see above). Each
// process holds it only while it writes (a few microseconds); a process
// that ended while holding it is found out and its hold taken over.
class CFileGuard
{
public:
    CFileGuard() : m_hMapping(NULL), m_pShared(NULL), m_nDepth(0), m_bHeld(false), m_llTag(0) {}
    ~CFileGuard() { Close(); }
    // Joins the guard of the file behind hFile; without it (the file has no
    // identity, or the system offers no shared memory) writes are
    // serialised in this process only.
    void Open(HANDLE hFile);
    void Close();
    // Nested holds are counted; the caller holds the log's m_csWrite.
    // *pdwLastThread, the thread of this log's last line, becomes 0xFFFFFFFF
    // when the file's last line is not that one.
    void Enter(DWORD* pdwLastThread);
    void Leave(DWORD dwLastThread);

private:
    struct SHARED
    {
        volatile LONG64 llOwner;    // tag of the holder, 0 when free
        volatile LONG64 llLastLog;  // tag of the log that wrote the file's last line
        volatile LONG lLastThread;  // and its thread
    };
    HANDLE m_hMapping;
    SHARED* m_pShared;
    int m_nDepth;
    bool m_bHeld;
    LONG64 m_llTag; // this log's: its process id above, an id of its own below
};

// Room for the lines of one flush, written with one call.
const int FLUSH_BUFFER_SIZE = 32768;

// Local time of a line: the system's precise time in UTC, turned into local
// time with the bias that applied at the start of its minute. Every change
// of the bias (a daylight-saving transition) falls on a whole minute, so
// asking the system once a minute gives the same answer as GetLocalTime
// for every line, at a fraction of its cost.
class CLineClock
{
public:
    CLineClock();
    void Now(SYSTEMTIME* pst);

private:
    typedef VOID(WINAPI* PFN_GetTime)(LPFILETIME);
    PFN_GetTime m_pfnGetTime;
    ULONGLONG m_qwMinute; // UTC start of the minute below, 100-ns units; 0 for none
    SYSTEMTIME m_stMinute; // its local time
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
    DWORD WriteHeld(const void* pData, DWORD cb);

private:
    bool IsFileOpen() const { return m_hFile != NULL && m_hFile != INVALID_HANDLE_VALUE; }
    // Lines and dumps are taken once the header is written, until the log fails.
    bool IsHealthy() const { return *(volatile const DWORD*)&m_dwError == 0 && m_bHeaderDone && IsFileOpen(); }
    // Lines are taken: the log can write them, or will once the header
    // that the first registration is writing is out.
    bool TakesLines() const { return IsHealthy() || (*(volatile const DWORD*)&m_dwError == 0 && m_bOpening); }
    // The ring's lines wait for the header.
    bool HoldsLines() const { return m_dwError == 0 && !m_bHeaderDone && m_bOpening; }

    HRESULT LogDebugString(const char* pszText, const void* pCaller, const char** ppszBack);
    HRESULT DropLine(int nCause);
    bool WriteLineAtOnce(const char* pszPrefix, const char* pszText, int nLevel, HRESULT* phr);
    HRESULT LineError() const;
    int PriorityHint(UINT nIndex, DWORD dwThreadId);
    int PriorityOf(DWORD dwThreadId);
    void FlushLocked();
    // One line into pszLine (LOG_LINE_SIZE bytes); returns its length. With
    // no time given, the line takes the current one.
    int FormatLine(char* pszLine, const LOGSLOT& slot, const SYSTEMTIME* pst);
    void ShowPendingFatalError();
    void OpenLogFileGuarded();
    BOOL OpenLogFile();
    void WriteHeader(const char* pszLibraryPath);
    void EnterFile();
    void LeaveFile();
    void WriteClosingBlock(const char* pszModules);
    void WriteOutForShutdown();
    bool AddClient(void* pClient);
    HRESULT CheckDumpTarget();
    void WriteDumpHeader(const char* pszText);
    HRESULT WriteBufferBlock(int cb, const char* pData, int cbReadable);
    void DumpKeyRecursive(CHeapText& text, HKEY hKey, const char* pszName);
    void DumpValue(CHeapText& text, const char* pszName, DWORD dwType, const BYTE* pbData, DWORD cbData);

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
    int m_nCommitWaiters;          // writers waiting for it
    volatile LONG m_anDropped[eDropCauses]; // lines dropped, not yet noted in the file
    bool m_bHeaderWaitOver;        // a wait for the header ran out: no more waits for it
    volatile LONG m_dwFatalPending; // a write failure to show once the lock is left
    volatile bool m_bOpening;      // the first registration is opening the file
    volatile bool m_bHeaderDone;
    bool m_bClosing;
    CLineClock m_clock;              // under m_csWrite
    CFileGuard m_guard;              // under m_csWrite
    char m_achFlush[FLUSH_BUFFER_SIZE]; // under m_csWrite
    LOGSLOT m_slotAtOnce;               // under m_csWrite: the line written at once
};

// Shows "Log fatal error" with the system's text for dwError, on a thread of
// its own so that the failing call never waits for the user. It takes the
// loader lock: never call it under the log's locks.
void ShowFatalError(DWORD dwError, const char* pszStep, const char* pszLogFile);

// The library's globals.
extern CLog* volatile g_pLog;
extern HMODULE g_hLogModule;        // allocation base of the library's code
extern const void* g_pLogModuleEnd; // end of the library's image
extern DWORD g_adwTls[2];           // slots of the hook layer, TLS_OUT_OF_INDEXES when not held
extern volatile bool g_bProcessEnding;

// Finds the library's own module from an address of its code.
void LocateLogModule(const void* pOwnCode);
