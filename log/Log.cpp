#include "Log.h"

#include <new>
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

const ULONG_PTR PRIORITY_CACHED = (ULONG_PTR)1 << 63;
const DWORD PRIORITY_REFRESH_MS = 100;

// Wide trace records are converted up to this many characters: far more
// than one line can hold, and within the conversion buffer in any code page.
const int MAX_WIDE_INPUT = 600;
const int CONVERTED_SIZE = 2048;

} // namespace

CLog::CLog()
    : m_apClients(NULL), m_nClients(0), m_nClientsAlloc(0), m_nLevel(8), m_dwError(0), m_hFile(NULL),
      m_nReadIndex(0), m_nWriteIndex(0), m_nPending(0), m_nUsed(0), m_bFlushScheduled(FALSE), m_nFlushThreshold(1),
      m_dwLastThread(0xFFFFFFFF), m_dwPriorityTls(TlsAlloc()), m_bClosing(false)
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
    WriteClosingBlock();
    g_hLogModule = NULL;
    if (bLocked)
        LeaveCriticalSection(&m_csWrite);
    if (m_dwPriorityTls != TLS_OUT_OF_INDEXES)
        TlsFree(m_dwPriorityTls);
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
    EnterCriticalSection(&m_cs);
    // A slot is handed out again only after its line went to the file: when
    // the ring is full, write the ready lines first, or wait for the commit
    // of the reservation that holds the oldest slot.
    while (m_nUsed >= LOG_RING_SIZE)
    {
        if (m_ring[m_nReadIndex].nState == eSlotReserved)
            SleepConditionVariableCS(&m_cvCommit, &m_cs, INFINITE);
        else
        {
            LeaveCriticalSection(&m_cs);
            Flush();
            EnterCriticalSection(&m_cs);
        }
    }
    const int nIndex = m_nWriteIndex;
    LOGSLOT& slot = m_ring[nIndex];
    slot.szText[0] = 0;
    slot.nState = eSlotReserved;
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
    const int nPriority = CurrentThreadPriority();
    const bool bKeep = IsHealthy();
    EnterCriticalSection(&m_cs);
    LOGSLOT& slot = m_ring[nIndex];
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
    LeaveCriticalSection(&m_cs);
    WakeAllConditionVariable(&m_cvCommit);
    // The committed line is in the file on return, unless an older
    // reservation is still open: its commit then writes this line too.
    Flush();
    return S_OK;
}

// The calling thread's priority. Asking the system costs a round trip to
// the kernel (tens of microseconds under Wine), more than the rest of a line,
// so each thread's answer is kept for PRIORITY_REFRESH_MS.
int CLog::CurrentThreadPriority()
{
    if (m_dwPriorityTls == TLS_OUT_OF_INDEXES)
        return GetThreadPriority(GetCurrentThread());
    const DWORD dwNow = GetTickCount() & 0x7FFFFFFF;
    const ULONG_PTR uCached = (ULONG_PTR)TlsGetValue(m_dwPriorityTls);
    if (uCached & PRIORITY_CACHED)
    {
        const DWORD dwThen = (DWORD)(uCached >> 32) & 0x7FFFFFFF;
        if (((dwNow - dwThen) & 0x7FFFFFFF) < PRIORITY_REFRESH_MS)
            return (int)(LONG)(DWORD)uCached;
    }
    const int nPriority = GetThreadPriority(GetCurrentThread());
    TlsSetValue(m_dwPriorityTls, (void*)(PRIORITY_CACHED | ((ULONG_PTR)dwNow << 32) | (DWORD)nPriority));
    return nPriority;
}

HRESULT CLog::Flush()
{
    if (*(volatile int*)&m_nUsed == 0)
        return S_OK; // nothing waits: every committed line has been written
    EnterCriticalSection(&m_csWrite);
    FlushLocked();
    LeaveCriticalSection(&m_csWrite);
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
        if (nRun == 0)
            break;

        for (int i = 0; i < nRun; ++i)
        {
            const LOGSLOT& slot = m_ring[(nFirst + i) % LOG_RING_SIZE];
            if (slot.nState != eSlotReady || !IsHealthy())
                continue; // thrown away: the log cannot write it
            if (!bTimed)
            {
                GetLocalTime(&st);
                bTimed = true;
                FormatLine(slot, &st);
                st.wYear = 0xFFFF; // the later lines of this flush have no time of their own
            }
            else
                FormatLine(slot, &st);
        }

        EnterCriticalSection(&m_cs);
        for (int i = 0; i < nRun; ++i)
            m_ring[(nFirst + i) % LOG_RING_SIZE].nState = eSlotFree;
        m_nReadIndex = (nFirst + nRun) % LOG_RING_SIZE;
        m_nUsed -= nRun;
        LeaveCriticalSection(&m_cs);
    }
    m_bFlushScheduled = FALSE;
}

void CLog::WriteOutForShutdown()
{
    const bool bLocked = EnterForShutdown(&m_cs);
    SYSTEMTIME st;
    GetLocalTime(&st);
    for (int n = 0, i = m_nReadIndex; n < m_nUsed; ++n, i = (i + 1) % LOG_RING_SIZE)
    {
        LOGSLOT& slot = m_ring[i];
        if (slot.nState == eSlotReady && IsHealthy())
        {
            FormatLine(slot, &st);
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

void CLog::FormatLine(const LOGSLOT& slot, const SYSTEMTIME* pst)
{
    if (!IsHealthy())
        return;
    SYSTEMTIME st;
    if (pst)
        st = *pst;
    else
        GetLocalTime(&st);
    char szLine[LOG_LINE_SIZE];
    int n = FormatColumnGroup(szLine, slot.dwThreadId, slot.pszApartment ? slot.pszApartment : "?", slot.nPriority,
                              st, m_dwLastThread, m_stLast);
    m_dwLastThread = slot.dwThreadId;
    m_stLast = st;
    n += wsprintfA(szLine + n, "%i ", slot.nLevel);
    if (!slot.szText[0] && slot.nKind != 64)
    {
        // A ring line always ends its line; only a dump's header runs on.
        szLine[n++] = '\r';
        szLine[n++] = '\n';
    }
    else
        n += NormaliseMessage(szLine + n, LOG_LINE_SIZE - n - 1, slot.szText);
    WriteRaw(szLine, n);
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

HRESULT CLog::RegisterClient(void* pClient, UINT_PTR, UINT_PTR)
{
    EnterCriticalSection(&m_csWrite);
    if (m_dwError == 0 && m_nClients == 0)
    {
        for (DWORD& dwTls : g_adwTls)
            if (dwTls == TLS_OUT_OF_INDEXES)
                dwTls = TlsAlloc();
        m_dwError = g_DbgHelp.LoadError();
        // A client coming back after all clients left finds the file open
        // and goes on writing into it.
        if (!IsFileOpen())
            OpenLogFile();
    }
    const HRESULT hr = AddClient(pClient) ? HResultFromWin32(m_dwError) : E_OUTOFMEMORY;
    LeaveCriticalSection(&m_csWrite);
    return hr;
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
    *ppClient = NULL;
    if (m_nClients == 0)
        FlushLocked();
    LeaveCriticalSection(&m_csWrite);
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
    const DWORD dwLastError = GetLastError();
    const char* pszBack = LogDebugString(psz);
    if (pszBack && IsDebuggerPresent())
        OutputDebugStringA(pszBack);
    SetLastError(dwLastError);
    return 0;
}

int CLog::OutputStringW(const wchar_t* psz)
{
    if (!psz || !*psz)
        return 1;
    const DWORD dwLastError = GetLastError();
    int cchIn = 0;
    while (cchIn < MAX_WIDE_INPUT && psz[cchIn])
        ++cchIn;
    char szText[CONVERTED_SIZE];
    const int cch = WideCharToMultiByte(CP_ACP, 0, psz, cchIn, szText, sizeof(szText) - 1, NULL, NULL);
    szText[cch > 0 ? cch : 0] = 0;
    if (szText[0])
    {
        const char* pszBack = LogDebugString(szText);
        if (pszBack && IsDebuggerPresent())
            OutputDebugStringA(pszBack);
    }
    SetLastError(dwLastError);
    return 0;
}

const char* CLog::LogDebugString(const char* pszText)
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
    g_DbgHelp.GetCallerModulePrefix(szPrefix, sizeof(szPrefix), g_hLogModule, g_pLogModuleEnd);
    int nIndex;
    char* pszSlot;
    int cchRoom;
    if (ReserveLine(&nIndex, &pszSlot, &cchRoom) != S_OK)
        return pszText;
    ComposeSlotText(pszSlot, szPrefix, pszText);
    CommitLine(nIndex, 0, (int)nLevel);
    return pszText;
}
