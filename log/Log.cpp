#include "Log.h"

#include <new>
#include <stdlib.h>
#include <string.h>

#include "DbgHelp.h"

CLog* volatile g_pLog;
HMODULE g_hLogModule;
const void* g_pLogModuleEnd;
DWORD g_adwTls[2] = {TLS_OUT_OF_INDEXES, TLS_OUT_OF_INDEXES};
volatile bool g_bProcessEnding;

namespace {

// Takes a lock for the closing work. When the process is ending, a thread
// that the system already ended may still own the lock: wait a little, then
// go on without it (every other thread is gone by then).
bool EnterForShutdown(CRITICAL_SECTION* pcs)
{
    if (!g_bProcessEnding)
    {
        EnterCriticalSection(pcs);
        return true;
    }
    for (int i = 0; i < 200; ++i)
    {
        if (TryEnterCriticalSection(pcs))
            return true;
        Sleep(1);
    }
    return false;
}

// True when a pointer-sized variable at pv can be written.
bool IsWritableVariable(void* pv)
{
    MEMORY_BASIC_INFORMATION mbi;
    if (!VirtualQuery(pv, &mbi, sizeof(mbi)) || mbi.State != MEM_COMMIT)
        return false;
    const DWORD dwWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (!(mbi.Protect & dwWritable) || (mbi.Protect & PAGE_GUARD))
        return false;
    return (BYTE*)pv + sizeof(void*) <= (BYTE*)mbi.BaseAddress + mbi.RegionSize;
}

// Prefix and text into a slot: whole when they fit, else cut to 252
// characters followed by "...", never in the middle of a double-byte
// character.
void ComposeSlotText(char* pszSlot, const char* pszPrefix, const char* pszText)
{
    const int cchPrefix = lstrlenA(pszPrefix);
    const int cchText = lstrlenA(pszText);
    memcpy(pszSlot, pszPrefix, cchPrefix);
    if (cchPrefix + cchText + 1 <= LOG_TEXT_SIZE)
    {
        memcpy(pszSlot + cchPrefix, pszText, cchText + 1);
        return;
    }
    const int cchCut = LOG_TEXT_SIZE - 4 - cchPrefix;
    int cch = 0;
    while (cch < cchCut)
    {
        const int nStep = IsDBCSLeadByte((BYTE)pszText[cch]) && pszText[cch + 1] ? 2 : 1;
        if (cch + nStep > cchCut)
            break;
        cch += nStep;
    }
    memcpy(pszSlot + cchPrefix, pszText, cch);
    lstrcpyA(pszSlot + cchPrefix + cch, "...");
}

// Wide trace records are converted up to this many characters: far more
// than one line can hold, and within the conversion buffer in any code page.
const int MAX_WIDE_INPUT = 600;
const int CONVERTED_SIZE = 2048;

const ULONGLONG TICKS_PER_MINUTE = 600000000ull;

// The count of reservations given up, as a line of the log's own.
const char s_szDroppedNotice[] = "###Err### LOG dropped %u reserved line(s) not committed within %u ms\n";

} // namespace

CLineClock::CLineClock() : m_qwMinute(0)
{
    ZeroMemory(&m_stMinute, sizeof(m_stMinute));
    // The precise clock where the system has it (Windows 8 on).
    HMODULE hKernel = GetModuleHandleA("kernel32.dll");
    m_pfnGetTime = hKernel ? (PFN_GetTime)(void*)GetProcAddress(hKernel, "GetSystemTimePreciseAsFileTime") : NULL;
    if (!m_pfnGetTime)
        m_pfnGetTime = GetSystemTimeAsFileTime;
}

void CLineClock::Now(SYSTEMTIME* pst)
{
    FILETIME ft;
    m_pfnGetTime(&ft);
    const ULONGLONG qwNow = ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    const ULONGLONG qwMinute = qwNow - qwNow % TICKS_PER_MINUTE;
    if (qwMinute != m_qwMinute)
    {
        FILETIME ftMinute, ftLocal;
        ftMinute.dwLowDateTime = (DWORD)qwMinute;
        ftMinute.dwHighDateTime = (DWORD)(qwMinute >> 32);
        if (!FileTimeToLocalFileTime(&ftMinute, &ftLocal) || !FileTimeToSystemTime(&ftLocal, &m_stMinute))
        {
            m_qwMinute = 0;
            GetLocalTime(pst);
            return;
        }
        m_qwMinute = qwMinute;
    }
    // A bias is a whole number of minutes: the local minute starts with it.
    const ULONGLONG qwInto = qwNow - qwMinute;
    *pst = m_stMinute;
    pst->wSecond = (WORD)(m_stMinute.wSecond + qwInto / 10000000);
    pst->wMilliseconds = (WORD)(qwInto % 10000000 / 10000);
}

CLog::CLog()
    : m_apClients(NULL), m_nClients(0), m_nClientsAlloc(0), m_nLevel(8), m_dwError(0), m_hFile(NULL),
      m_nReadIndex(0), m_nWriteIndex(0), m_nPending(0), m_nUsed(0), m_bFlushScheduled(FALSE), m_nFlushThreshold(1),
      m_dwLastThread(0xFFFFFFFF), m_nCommitWaiters(0), m_nDropped(0), m_dwFatalPending(0), m_bOpening(false),
      m_bHeaderDone(false), m_bClosing(false)
{
    ZeroMemory(m_ring, sizeof(m_ring));
    ZeroMemory(&m_stLast, sizeof(m_stLast));
    ZeroMemory(m_szLogFile, sizeof(m_szLogFile));
    InitializeCriticalSection(&m_cs);
    InitializeCriticalSection(&m_csWrite);
    InitializeConditionVariable(&m_cvCommit);
}

CLog::~CLog()
{
    m_bClosing = true;
    // Taken before the lock: listing the modules takes the loader lock.
    char* pszModules = NULL;
    if (IsFileOpen() && m_dwError == 0)
        g_DbgHelp.GetModuleList(&pszModules, FALSE);
    const bool bLocked = EnterForShutdown(&m_csWrite);
    WriteOutForShutdown();
    if (m_nClients > 0)
    {
        LogPrintf("\r\nLOG is shutting down with %i live references!\r\n", m_nClients);
        for (int i = 0; i < m_nClients; ++i)
            if (m_apClients[i] && IsWritableVariable(m_apClients[i]))
                *(void**)m_apClients[i] = NULL;
    }
    for (DWORD& dwTls : g_adwTls)
    {
        if (dwTls != TLS_OUT_OF_INDEXES)
            TlsFree(dwTls);
        dwTls = TLS_OUT_OF_INDEXES;
    }
    WriteClosingBlock(pszModules);
    g_hLogModule = NULL;
    if (bLocked)
        LeaveCriticalSection(&m_csWrite);
    free(pszModules);
    DeleteCriticalSection(&m_cs);
    DeleteCriticalSection(&m_csWrite);
    if (m_apClients)
        HeapFree(GetProcessHeap(), 0, m_apClients);
}

BOOL CLog::IsLevelMuted(UINT nLevel)
{
    return nLevel > m_nLevel;
}

HRESULT CLog::ReserveLine(int* pnIndex, char** ppszText, int* pcchRoom)
{
    if (!pnIndex || !ppszText || !pcchRoom)
        return E_POINTER;
    const DWORD dwThreadId = GetCurrentThreadId();
    EnterCriticalSection(&m_cs);
    // A slot is handed out again only after its line went to the file: when
    // the ring is full, write the ready lines first, or wait for the commit
    // of the reservation that holds the oldest slot. A reservation that
    // stays open longer than RESERVATION_TIMEOUT_MS (its thread may have
    // ended or faulted before its commit) is given up and counted.
    while (m_nUsed >= LOG_RING_SIZE)
    {
        LOGSLOT& oldest = m_ring[m_nReadIndex];
        if (oldest.nState != eSlotReserved)
        {
            LeaveCriticalSection(&m_cs);
            Flush();
            EnterCriticalSection(&m_cs);
            continue;
        }
        const DWORD dwAge = GetTickCount() - oldest.dwReservedAt;
        if (dwAge >= RESERVATION_TIMEOUT_MS)
        {
            oldest.nState = eSlotDropped;
            oldest.dwAbandonedBy = oldest.dwThreadId;
            --m_nPending;
            InterlockedIncrement(&m_nDropped);
            continue;
        }
        ++m_nCommitWaiters;
        SleepConditionVariableCS(&m_cvCommit, &m_cs, RESERVATION_TIMEOUT_MS - dwAge);
        --m_nCommitWaiters;
    }
    const int nIndex = m_nWriteIndex;
    LOGSLOT& slot = m_ring[nIndex];
    slot.szText[0] = 0;
    slot.nState = eSlotReserved;
    slot.dwThreadId = dwThreadId;
    slot.dwReservedAt = GetTickCount();
    if (slot.dwAbandonedBy == dwThreadId)
        slot.dwAbandonedBy = 0; // this thread reserves anew: it is not the late one
    m_nWriteIndex = (nIndex + 1) % LOG_RING_SIZE;
    ++m_nPending;
    ++m_nUsed;
    LeaveCriticalSection(&m_cs);
    *pnIndex = nIndex;
    *ppszText = slot.szText;
    *pcchRoom = LOG_TEXT_SIZE;
    return S_OK;
}

HRESULT CLog::CommitLine(UINT nIndex, int nKind, int nLevel)
{
    if (nIndex >= (UINT)LOG_RING_SIZE)
        return E_INVALIDARG;
    const DWORD dwThreadId = GetCurrentThreadId();
    const int nPriority = PriorityHint(nIndex, dwThreadId);
    const bool bKeep = IsHealthy();
    EnterCriticalSection(&m_cs);
    LOGSLOT& slot = m_ring[nIndex];
    if (slot.dwAbandonedBy == dwThreadId)
    {
        // This thread's reservation was given up while it held it; the slot
        // may be another's by now.
        slot.dwAbandonedBy = 0;
        LeaveCriticalSection(&m_cs);
        return HResultFromWin32(ERROR_TIMEOUT);
    }
    if (slot.nState != eSlotReserved)
    {
        LeaveCriticalSection(&m_cs);
        return E_INVALIDARG;
    }
    slot.szText[LOG_TEXT_SIZE - 1] = 0;
    slot.nState = bKeep ? eSlotReady : eSlotDropped;
    slot.nKind = nKind;
    slot.nLevel = nLevel;
    slot.dwThreadId = dwThreadId;
    slot.pszApartment = "?";
    slot.nPriority = nPriority;
    --m_nPending;
    const bool bWaiters = m_nCommitWaiters > 0;
    LeaveCriticalSection(&m_cs);
    if (bWaiters)
        WakeAllConditionVariable(&m_cvCommit);
    // The committed line is in the file on return, unless an older
    // reservation is still open: its commit then writes this line too.
    Flush();
    return S_OK;
}

// The committing thread's priority when its line is likely to open with the
// columns, because the line before it in the file is another thread's (or
// none); else PRIORITY_UNKNOWN. Asking the system is a round trip to the
// server under Wine (tens of microseconds, ten times the line's write), and
// a thread's following lines print no priority. The hint is read without the
// lock: where it proves wrong, the line's writer asks (PriorityOf).
int CLog::PriorityHint(UINT nIndex, DWORD dwThreadId)
{
    const int nRead = *(volatile const int*)&m_nReadIndex;
    const DWORD dwBefore = (int)nIndex == nRead ? *(volatile const DWORD*)&m_dwLastThread
                                                : *(volatile const DWORD*)&m_ring[(nIndex + LOG_RING_SIZE - 1) % LOG_RING_SIZE].dwThreadId;
    return dwBefore == dwThreadId ? PRIORITY_UNKNOWN : GetThreadPriority(GetCurrentThread());
}

// A thread's priority now: the calling thread's, or another's through a
// handle of its own (THREAD_PRIORITY_ERROR_RETURN when it has ended).
int CLog::PriorityOf(DWORD dwThreadId)
{
    if (dwThreadId == GetCurrentThreadId())
        return GetThreadPriority(GetCurrentThread());
    HANDLE hThread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, dwThreadId);
    if (!hThread)
        return THREAD_PRIORITY_ERROR_RETURN;
    const int nPriority = GetThreadPriority(hThread);
    CloseHandle(hThread);
    return nPriority;
}

HRESULT CLog::Flush()
{
    if (*(volatile int*)&m_nUsed == 0 && *(volatile LONG*)&m_nDropped == 0)
        return S_OK; // nothing waits: every committed line has been written
    EnterCriticalSection(&m_csWrite);
    FlushLocked();
    LeaveCriticalSection(&m_csWrite);
    ShowPendingFatalError();
    return S_OK;
}

void CLog::FlushLocked()
{
    m_bFlushScheduled = TRUE;
    SYSTEMTIME st;
    bool bTimed = false;
    for (;;)
    {
        // Take the run of committed slots at the read index; nobody else
        // touches them until they are freed below.
        EnterCriticalSection(&m_cs);
        const int nFirst = m_nReadIndex;
        int nRun = 0;
        while (nRun < m_nUsed)
        {
            const int nState = m_ring[(nFirst + nRun) % LOG_RING_SIZE].nState;
            if (nState != eSlotReady && nState != eSlotDropped)
                break;
            ++nRun;
        }
        LeaveCriticalSection(&m_cs);
        const LONG nDropped = m_nDropped != 0 ? InterlockedExchange(&m_nDropped, 0) : 0;
        if (nRun == 0 && nDropped == 0)
            break;

        // The run's lines go to the file with one write (more only when they
        // do not fit the buffer).
        int cb = 0;
        auto Take = [&](const LOGSLOT& slot) {
            if (cb > FLUSH_BUFFER_SIZE - LOG_LINE_SIZE)
            {
                WriteRaw(m_achFlush, cb);
                cb = 0;
            }
            if (!bTimed)
            {
                m_clock.Now(&st);
                bTimed = true;
                cb += FormatLine(m_achFlush + cb, slot, &st);
                st.wYear = 0xFFFF; // the later lines of this flush have no time of their own
            }
            else
                cb += FormatLine(m_achFlush + cb, slot, &st);
        };
        if (nDropped > 0 && IsHealthy())
        {
            LOGSLOT notice;
            ZeroMemory(&notice, sizeof(notice));
            notice.nState = eSlotReady;
            notice.dwThreadId = GetCurrentThreadId();
            notice.pszApartment = "?";
            notice.nPriority = PRIORITY_UNKNOWN;
            notice.nLevel = 2;
            wsprintfA(notice.szText, s_szDroppedNotice, (unsigned)nDropped, (unsigned)RESERVATION_TIMEOUT_MS);
            Take(notice);
        }
        for (int i = 0; i < nRun; ++i)
        {
            const LOGSLOT& slot = m_ring[(nFirst + i) % LOG_RING_SIZE];
            if (slot.nState == eSlotReady && IsHealthy())
                Take(slot);
        }
        if (cb > 0)
            WriteRaw(m_achFlush, cb);

        EnterCriticalSection(&m_cs);
        for (int i = 0; i < nRun; ++i)
            m_ring[(nFirst + i) % LOG_RING_SIZE].nState = eSlotFree;
        m_nReadIndex = (nFirst + nRun) % LOG_RING_SIZE;
        m_nUsed -= nRun;
        // An empty ring starts again at its first slot: a thread that writes
        // line after line then uses one slot, which stays in the cache,
        // instead of walking the whole ring.
        if (m_nUsed == 0)
            m_nReadIndex = m_nWriteIndex = 0;
        LeaveCriticalSection(&m_cs);
    }
    m_bFlushScheduled = FALSE;
}

void CLog::WriteOutForShutdown()
{
    const bool bLocked = EnterForShutdown(&m_cs);
    SYSTEMTIME st;
    GetLocalTime(&st);
    char szLine[LOG_LINE_SIZE];
    for (int n = 0, i = m_nReadIndex; n < m_nUsed; ++n, i = (i + 1) % LOG_RING_SIZE)
    {
        LOGSLOT& slot = m_ring[i];
        if (slot.nState == eSlotReady && IsHealthy())
        {
            WriteRaw(szLine, FormatLine(szLine, slot, &st));
            st.wYear = 0xFFFF;
        }
        slot.nState = eSlotFree;
    }
    m_nUsed = 0;
    m_nPending = 0;
    m_nReadIndex = m_nWriteIndex;
    if (bLocked)
        LeaveCriticalSection(&m_cs);
}

int CLog::FormatLine(char* pszLine, const LOGSLOT& slot, const SYSTEMTIME* pst)
{
    SYSTEMTIME st;
    if (pst)
        st = *pst;
    else
        m_clock.Now(&st);
    int nPriority = slot.nPriority;
    if (nPriority == PRIORITY_UNKNOWN && slot.dwThreadId != m_dwLastThread)
        nPriority = PriorityOf(slot.dwThreadId); // the columns are written after all
    int n = FormatColumnGroup(pszLine, slot.dwThreadId, slot.pszApartment ? slot.pszApartment : "?", nPriority, st,
                              m_dwLastThread, m_stLast);
    m_dwLastThread = slot.dwThreadId;
    m_stLast = st;
    n += FormatLevel(pszLine + n, slot.nLevel);
    if (!slot.szText[0] && slot.nKind != 64)
    {
        // A ring line always ends its line; only a dump's header runs on.
        pszLine[n++] = '\r';
        pszLine[n++] = '\n';
    }
    else
        n += NormaliseMessage(pszLine + n, LOG_LINE_SIZE - n - 1, slot.szText);
    return n;
}

void CLog::ShowPendingFatalError()
{
    const DWORD dwError = m_dwFatalPending != 0 ? (DWORD)InterlockedExchange(&m_dwFatalPending, 0) : 0;
    if (dwError)
        ShowFatalError(dwError, "Cannot write to log", m_szLogFile);
}

bool CLog::AddClient(void* pClient)
{
    if (m_nClients == m_nClientsAlloc)
    {
        const int nAlloc = m_nClientsAlloc ? m_nClientsAlloc * 2 : 4;
        void* pNew = m_apClients ? HeapReAlloc(GetProcessHeap(), 0, m_apClients, nAlloc * sizeof(void*))
                                 : HeapAlloc(GetProcessHeap(), 0, nAlloc * sizeof(void*));
        if (!pNew)
            return false;
        m_apClients = (void**)pNew;
        m_nClientsAlloc = nAlloc;
    }
    m_apClients[m_nClients++] = pClient;
    return true;
}

// Clients register while their modules load, under the system's loader
// lock: the lock of the log guards only the client list here. The first
// registration opens the file after leaving it.
HRESULT CLog::RegisterClient(void* pClient, UINT_PTR, UINT_PTR)
{
    EnterCriticalSection(&m_csWrite);
    const bool bOpen = m_dwError == 0 && m_nClients == 0 && !m_bOpening;
    if (bOpen)
        m_bOpening = true;
    const bool bAdded = AddClient(pClient);
    LeaveCriticalSection(&m_csWrite);
    if (bOpen)
    {
        for (DWORD& dwTls : g_adwTls)
            if (dwTls == TLS_OUT_OF_INDEXES)
                dwTls = TlsAlloc();
        const DWORD dwLoadError = g_DbgHelp.LoadError();
        if (dwLoadError)
            m_dwError = dwLoadError;
        // A client coming back after all clients left finds the file open
        // and goes on writing into it.
        if (!IsFileOpen())
            OpenLogFileGuarded();
        m_bOpening = false;
    }
    ShowPendingFatalError();
    return bAdded ? HResultFromWin32(m_dwError) : E_OUTOFMEMORY;
}

HRESULT CLog::UnregisterClient(void** ppClient)
{
    if (!ppClient)
        return S_OK;
    EnterCriticalSection(&m_csWrite);
    int nKept = 0;
    for (int i = 0; i < m_nClients; ++i)
        if (m_apClients[i] != (void*)ppClient)
            m_apClients[nKept++] = m_apClients[i];
    m_nClients = nKept;
    if (m_nClients == 0)
        FlushLocked();
    LeaveCriticalSection(&m_csWrite);
    *ppClient = NULL;
    ShowPendingFatalError();
    return S_OK;
}

HRESULT CLog::Reserved(UINT_PTR, UINT_PTR, UINT_PTR)
{
    return E_NOTIMPL;
}

int CLog::OutputStringA(const char* psz)
{
    if (!psz || !*psz)
        return 1;
    // A muted line is neither logged nor handed back: it costs no more.
    const BYTE bFirst = (BYTE)psz[0];
    if (bFirst >= 1 && bFirst <= 31 && IsLevelMuted(bFirst - 1))
        return 0;
    const DWORD dwLastError = GetLastError();
    const char* pszBack = LogDebugString(psz, __builtin_return_address(0));
    if (pszBack && IsDebuggerPresent())
        OutputDebugStringA(pszBack);
    SetLastError(dwLastError);
    return 0;
}

int CLog::OutputStringW(const wchar_t* psz)
{
    if (!psz || !*psz)
        return 1;
    // A muted line is neither logged nor handed back: it costs no more (its
    // level character converts to itself in every code page).
    const wchar_t wchFirst = psz[0];
    if (wchFirst >= 1 && wchFirst <= 31 && IsLevelMuted(wchFirst - 1))
        return 0;
    const DWORD dwLastError = GetLastError();
    char szText[CONVERTED_SIZE];
    ConvertRecord(psz, MAX_WIDE_INPUT, szText, sizeof(szText));
    if (szText[0])
    {
        const char* pszBack = LogDebugString(szText, __builtin_return_address(0));
        if (pszBack && IsDebuggerPresent())
            OutputDebugStringA(pszBack);
    }
    SetLastError(dwLastError);
    return 0;
}

// pCaller: the return address of the entry the client called.
const char* CLog::LogDebugString(const char* pszText, const void* pCaller)
{
    if (strcmp(pszText, "ATL: ") == 0)
        return NULL;
    if (strcmp(pszText, "\r\n") == 0)
        return pszText;
    UINT nLevel = 4;
    const BYTE bFirst = (BYTE)pszText[0];
    if (bFirst >= 1 && bFirst <= 31)
    {
        nLevel = bFirst - 1;
        ++pszText;
    }
    if (IsLevelMuted(nLevel))
        return NULL;
    if (!IsHealthy())
        return pszText; // the log cannot write it: only the debugger gets it
    char szPrefix[LOG_PREFIX_SIZE] = "";
    g_DbgHelp.GetCallerModulePrefix(szPrefix, sizeof(szPrefix), g_hLogModule, g_pLogModuleEnd, pCaller);
    int nIndex;
    char* pszSlot;
    int cchRoom;
    if (ReserveLine(&nIndex, &pszSlot, &cchRoom) != S_OK)
        return pszText;
    ComposeSlotText(pszSlot, szPrefix, pszText);
    CommitLine(nIndex, 0, (int)nLevel);
    return pszText;
}
