#include "Log.h"

#include <new>
#include <stdlib.h>
#include <string.h>

#include "SymbolEngine.h"

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

// The counts of lines dropped, by cause, as lines of the log's own.
const char* const s_apszDroppedNotice[eDropCauses] = {
    "###Err### LOG dropped %u reserved line(s) not committed within %u ms\n",
    "###Err### LOG dropped %u line(s) that waited more than %u ms for the log file's header\n",
    "###Err### LOG dropped %u line(s) that found every slot given up and held\n",
};
const DWORD s_adwDroppedMs[eDropCauses] = {RESERVATION_TIMEOUT_MS, HEADER_WAIT_MS, 0};

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
      m_dwLastThread(0xFFFFFFFF), m_nCommitWaiters(0), m_bHeaderWaitOver(false), m_dwFatalPending(0), m_bOpening(false),
      m_bHeaderDone(false), m_bClosing(false)
{
    ZeroMemory(m_ring, sizeof(m_ring));
    ZeroMemory(&m_slotAtOnce, sizeof(m_slotAtOnce));
    ZeroMemory((void*)m_anDropped, sizeof(m_anDropped));
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
    m_guard.Enter(&m_dwLastThread); // the closing writes in one hold of the file
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
    m_guard.Leave(m_dwLastThread);
    m_guard.Close();
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
    // ended or faulted before its commit) is given up and counted; its slot
    // stays out of use until its holder commits, since the holder may still
    // write into it. While the first registration writes the file's header,
    // the ring holds every line: a full ring waits for the header, once and
    // at most HEADER_WAIT_MS; lines that find it full after that are dropped
    // and counted until the header is out.
    int nStepped = 0;
    for (;;)
    {
        while (m_nUsed >= LOG_RING_SIZE)
        {
            LOGSLOT& oldest = m_ring[m_nReadIndex];
            if (oldest.nState != eSlotReserved && HoldsLines())
            {
                if (m_bHeaderWaitOver)
                {
                    LeaveCriticalSection(&m_cs);
                    return DropLine(eDropOpening);
                }
                const DWORD dwStart = GetTickCount();
                ++m_nCommitWaiters;
                for (DWORD dwWaited = 0; HoldsLines() && m_nUsed >= LOG_RING_SIZE && dwWaited < HEADER_WAIT_MS;
                     dwWaited = GetTickCount() - dwStart)
                    SleepConditionVariableCS(&m_cvCommit, &m_cs, HEADER_WAIT_MS - dwWaited);
                --m_nCommitWaiters;
                if (HoldsLines() && m_nUsed >= LOG_RING_SIZE)
                {
                    m_bHeaderWaitOver = true;
                    LeaveCriticalSection(&m_cs);
                    return DropLine(eDropOpening);
                }
                continue;
            }
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
                oldest.nState = eSlotGivenUp;
                --m_nPending;
                InterlockedIncrement(&m_anDropped[eDropGivenUp]);
                continue;
            }
            ++m_nCommitWaiters;
            SleepConditionVariableCS(&m_cvCommit, &m_cs, RESERVATION_TIMEOUT_MS - dwAge);
            --m_nCommitWaiters;
        }
        if (m_ring[m_nWriteIndex].nState != eSlotGivenUp)
            break;
        // A slot given up and still held: step over it, as the flush does.
        m_nWriteIndex = (m_nWriteIndex + 1) % LOG_RING_SIZE;
        ++m_nUsed;
        if (++nStepped >= LOG_RING_SIZE)
        {
            LeaveCriticalSection(&m_cs);
            return DropLine(eDropNoSlot);
        }
    }
    const int nIndex = m_nWriteIndex;
    LOGSLOT& slot = m_ring[nIndex];
    slot.szText[0] = 0;
    slot.nState = eSlotReserved;
    slot.dwThreadId = dwThreadId;
    slot.dwReservedAt = GetTickCount();
    m_nWriteIndex = (nIndex + 1) % LOG_RING_SIZE;
    ++m_nPending;
    ++m_nUsed;
    LeaveCriticalSection(&m_cs);
    *pnIndex = nIndex;
    *ppszText = slot.szText;
    *pcchRoom = LOG_TEXT_SIZE;
    return S_OK;
}

// A line that the log could not take: counted for the file (the next flush
// writes the count), and its writer told so.
HRESULT CLog::DropLine(int nCause)
{
    InterlockedIncrement(&m_anDropped[nCause]);
    return HResultFromWin32(ERROR_TIMEOUT);
}

// Why the log does not write lines now, as an HRESULT.
HRESULT CLog::LineError() const
{
    const DWORD dwError = *(volatile const DWORD*)&m_dwError;
    return HResultFromWin32(dwError ? dwError : ERROR_INVALID_HANDLE);
}

HRESULT CLog::CommitLine(UINT nIndex, int nKind, int nLevel)
{
    if (nIndex >= (UINT)LOG_RING_SIZE)
        return E_INVALIDARG;
    const DWORD dwThreadId = GetCurrentThreadId();
    const int nPriority = PriorityHint(nIndex, dwThreadId);
    const bool bKeep = TakesLines();
    EnterCriticalSection(&m_cs);
    LOGSLOT& slot = m_ring[nIndex];
    if (slot.nState == eSlotGivenUp)
    {
        // This reservation was given up while its thread held it: the line
        // was counted as dropped then. The slot goes back into use; the
        // flush frees it when it passes it.
        const bool bHolder = slot.dwThreadId == dwThreadId;
        if (bHolder)
            slot.nState = eSlotDropped;
        LeaveCriticalSection(&m_cs);
        return bHolder ? HResultFromWin32(ERROR_TIMEOUT) : E_INVALIDARG;
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
    // reservation is still open (its commit then writes this line too) or
    // the header is still being written (its end writes it).
    Flush();
    if (!bKeep || *(volatile const DWORD*)&m_dwError != 0)
        return LineError();
    return S_OK;
}

// The committing thread's priority when its line is likely to open with the
// columns, because the line before it in the file is another thread's (or
// none); else PRIORITY_UNKNOWN. Asking the system is a round trip to the
// server under Wine (several to tens of microseconds, up to ten times the
// line's write), and a thread's following lines print no priority. Only the
// server holds a thread's priority there: every true way of asking (this
// pseudo handle, a real handle, NtQueryInformationThread itself) is the same
// round trip (bench/log times them). The hint is read without the lock:
// where it proves wrong, the line's writer asks (PriorityOf).
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
    if (*(volatile int*)&m_nUsed == 0 && m_anDropped[eDropGivenUp] == 0 && m_anDropped[eDropOpening] == 0 &&
        m_anDropped[eDropNoSlot] == 0)
        return S_OK; // nothing waits: every committed line has been written
    EnterCriticalSection(&m_csWrite);
    FlushLocked();
    LeaveCriticalSection(&m_csWrite);
    ShowPendingFatalError();
    return S_OK;
}

void CLog::FlushLocked()
{
    // Lines wait in the ring while the file's header is being written; the
    // end of the header writes them.
    if (HoldsLines())
        return;
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
            if (nState != eSlotReady && nState != eSlotDropped && nState != eSlotGivenUp)
                break;
            ++nRun;
        }
        LeaveCriticalSection(&m_cs);
        LONG anDropped[eDropCauses];
        bool bDropped = false;
        for (int nCause = 0; nCause < eDropCauses; ++nCause)
        {
            anDropped[nCause] = m_anDropped[nCause] != 0 ? InterlockedExchange(&m_anDropped[nCause], 0) : 0;
            bDropped = bDropped || anDropped[nCause] != 0;
        }
        if (nRun == 0 && !bDropped)
            break;
        EnterFile();

        // The run's lines go to the file with one write (more only when they
        // do not fit the buffer).
        int cb = 0;
        auto Take = [&](const LOGSLOT& slot) {
            if (cb > FLUSH_BUFFER_SIZE - LOG_LINE_SIZE)
            {
                WriteHeld(m_achFlush, cb);
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
        for (int nCause = 0; nCause < eDropCauses; ++nCause)
        {
            if (anDropped[nCause] == 0 || !IsHealthy())
                continue;
            LOGSLOT notice;
            ZeroMemory(&notice, sizeof(notice));
            notice.nState = eSlotReady;
            notice.dwThreadId = GetCurrentThreadId();
            notice.pszApartment = "?";
            notice.nPriority = PRIORITY_UNKNOWN;
            notice.nLevel = 2;
            wsprintfA(notice.szText, s_apszDroppedNotice[nCause], (unsigned)anDropped[nCause],
                      (unsigned)s_adwDroppedMs[nCause]);
            Take(notice);
        }
        for (int i = 0; i < nRun; ++i)
        {
            const LOGSLOT& slot = m_ring[(nFirst + i) % LOG_RING_SIZE];
            if (slot.nState == eSlotReady && IsHealthy())
                Take(slot);
        }
        if (cb > 0)
            WriteHeld(m_achFlush, cb);
        LeaveFile();

        EnterCriticalSection(&m_cs);
        for (int i = 0; i < nRun; ++i)
        {
            // A slot given up stays out of use while its holder may write.
            LOGSLOT& slot = m_ring[(nFirst + i) % LOG_RING_SIZE];
            if (slot.nState != eSlotGivenUp)
                slot.nState = eSlotFree;
        }
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
        EnterCriticalSection(&m_csWrite);
        m_bOpening = false;
        LeaveCriticalSection(&m_csWrite);
        // Writers waiting for the header go on; the lines held while it was
        // written go to the file (or are freed, when the open failed).
        EnterCriticalSection(&m_cs);
        LeaveCriticalSection(&m_cs);
        WakeAllConditionVariable(&m_cvCommit);
        Flush();
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
    const char* pszBack = NULL;
    const HRESULT hr = LogDebugString(psz, __builtin_return_address(0), &pszBack);
    if (pszBack && IsDebuggerPresent())
        OutputDebugStringA(pszBack);
    SetLastError(dwLastError);
    return hr == S_OK ? 0 : (int)hr;
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
    HRESULT hr = S_OK;
    if (szText[0])
    {
        const char* pszBack = NULL;
        hr = LogDebugString(szText, __builtin_return_address(0), &pszBack);
        if (pszBack && IsDebuggerPresent())
            OutputDebugStringA(pszBack);
    }
    SetLastError(dwLastError);
    return hr == S_OK ? 0 : (int)hr;
}

// A line written straight to the file when the ring holds nothing: no
// earlier line waits, so it goes to the file in its turn, with the same
// bytes as through the ring, at the cost of one lock instead of a slot's
// reservation, commit and flush. False when the ring must take it.
bool CLog::WriteLineAtOnce(const char* pszPrefix, const char* pszText, int nLevel, HRESULT* phr)
{
    if (*(volatile int*)&m_nUsed != 0 || m_anDropped[eDropGivenUp] != 0 || m_anDropped[eDropOpening] != 0 ||
        m_anDropped[eDropNoSlot] != 0)
        return false;
    EnterCriticalSection(&m_csWrite);
    // A reservation made before this call is seen here (the count changes
    // under m_cs, whose release publishes it); one made from now on is
    // written after this line: its flush waits for m_csWrite.
    const bool bAtOnce = *(volatile int*)&m_nUsed == 0 && IsHealthy();
    if (!bAtOnce)
    {
        LeaveCriticalSection(&m_csWrite);
        return false;
    }
    LOGSLOT& slot = m_slotAtOnce;
    ComposeSlotText(slot.szText, pszPrefix, pszText);
    slot.nState = eSlotReady;
    slot.nKind = 0;
    slot.nLevel = nLevel;
    slot.dwThreadId = GetCurrentThreadId();
    slot.pszApartment = "?";
    m_guard.Enter(&m_dwLastThread);
    slot.nPriority = slot.dwThreadId == m_dwLastThread ? PRIORITY_UNKNOWN : GetThreadPriority(GetCurrentThread());
    SYSTEMTIME st;
    m_clock.Now(&st);
    WriteHeld(m_achFlush, FormatLine(m_achFlush, slot, &st));
    m_guard.Leave(m_dwLastThread);
    LeaveCriticalSection(&m_csWrite);
    ShowPendingFatalError();
    *phr = *(volatile const DWORD*)&m_dwError != 0 ? LineError() : S_OK;
    return true;
}

// pCaller: the return address of the entry the client called. *ppszBack
// gets the text for the debugger, or NULL. S_OK when the line was taken,
// muted or meant for the debugger alone; otherwise why it was not logged.
HRESULT CLog::LogDebugString(const char* pszText, const void* pCaller, const char** ppszBack)
{
    *ppszBack = NULL;
    if (strcmp(pszText, "ATL: ") == 0)
        return S_OK;
    if (strcmp(pszText, "\r\n") == 0)
    {
        *ppszBack = pszText;
        return S_OK;
    }
    UINT nLevel = 4;
    const BYTE bFirst = (BYTE)pszText[0];
    if (bFirst >= 1 && bFirst <= 31)
    {
        nLevel = bFirst - 1;
        ++pszText;
    }
    if (IsLevelMuted(nLevel))
        return S_OK;
    *ppszBack = pszText;
    if (!TakesLines())
        return LineError(); // the log cannot write it: only the debugger gets it
    char szPrefix[LOG_PREFIX_SIZE] = "";
    g_DbgHelp.GetCallerModulePrefix(szPrefix, sizeof(szPrefix), g_hLogModule, g_pLogModuleEnd, pCaller);
    HRESULT hrDirect;
    if (WriteLineAtOnce(szPrefix, pszText, (int)nLevel, &hrDirect))
        return hrDirect;
    int nIndex;
    char* pszSlot;
    int cchRoom;
    const HRESULT hr = ReserveLine(&nIndex, &pszSlot, &cchRoom);
    if (hr != S_OK)
        return hr;
    ComposeSlotText(pszSlot, szPrefix, pszText);
    return CommitLine(nIndex, 0, (int)nLevel);
}
