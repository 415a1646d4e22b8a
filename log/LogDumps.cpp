// The log object's dumps: a block of bytes, an exception report and a
// registry key in REGEDIT4 form, each written whole into the log file under
// a header line of its own. Every file write of the library is serialised by
// m_csWrite, the flush of the ring included, so no ring line can land inside
// a block.
#include "Log.h"

#include <sehguard.h>

#include "LogDumps.h"

namespace {

// Pages are at least this large: touching one byte in each step of this
// size touches every page of a range.
const int PAGE_STEP = 4096;

// How many of the cb bytes at pData can be read, from the start: every page
// of the range is touched once, under a guard.
int ReadableLength(const char* pData, int cb)
{
    int cbReadable = 0;
    while (cbReadable < cb)
    {
        const char* p = pData + cbReadable;
        if (!SEH_Guard([p] { (void)*(const volatile char*)p; }))
            break;
        const int cbStep = PAGE_STEP - (int)((UINT_PTR)p % PAGE_STEP);
        cbReadable += cbStep < cb - cbReadable ? cbStep : cb - cbReadable;
    }
    return cbReadable;
}

// A dump's header line: a slot that never enters the ring.
void FillDumpSlot(LOGSLOT* pSlot, int nPriority, const char* pszText)
{
    ZeroMemory(pSlot, sizeof(*pSlot));
    pSlot->nState = eSlotReserved;
    pSlot->nKind = 64;
    pSlot->dwThreadId = GetCurrentThreadId();
    pSlot->pszApartment = "?";
    pSlot->nPriority = nPriority;
    pSlot->nLevel = 1;
    lstrcpynA(pSlot->szText, pszText, LOG_TEXT_SIZE);
}

} // namespace

void CLog::WriteDumpHeader(const char* pszText)
{
    LOGSLOT slot;
    FillDumpSlot(&slot, CurrentThreadPriority(), pszText);
    FormatLine(slot, NULL);
}

HRESULT CLog::CheckDumpTarget()
{
    if (m_dwError != 0)
        return HResultFromWin32(m_dwError);
    // No file yet (nobody registered): the dump is refused, but the log stays
    // usable, as for a line before the first registration.
    if (!IsFileOpen())
        return HResultFromWin32(ERROR_INVALID_HANDLE);
    return S_OK;
}

HRESULT CLog::WriteBufferBlock(int cb, const char* pData)
{
    const HRESULT hr = CheckDumpTarget();
    if (FAILED(hr))
        return hr;
    char szHeader[64];
    wsprintfA(szHeader, "Buffer %i bytes starting at 0x%08X\r\n", cb, (unsigned)(UINT_PTR)pData);
    WriteDumpHeader(szHeader);
    // Memory that cannot be read ends the block with a notice, instead of
    // faulting in the caller or failing the file write (which would stop the
    // log for good). The readable bytes still go out in one write.
    HRESULT hrBlock = S_OK;
    const int cbReadable = cb > 0 ? ReadableLength(pData, cb) : 0;
    if (cbReadable > 0)
        WriteRaw(pData, (DWORD)cbReadable);
    if (cbReadable < cb)
    {
        LogPrintf("\r\n###Err### %i bytes at 0x%08X cannot be read", cb - cbReadable,
                  (unsigned)(UINT_PTR)(pData + cbReadable));
        hrBlock = HResultFromWin32(ERROR_NOACCESS);
    }
    LogWrite("\r\n<EOB>\r\n");
    return hrBlock;
}

HRESULT CLog::DumpBuffer(int cb, const char* pData)
{
    // A negative count, or bytes that are not there, would make the log
    // write whatever memory follows: nothing is written.
    if (cb < 0 || (cb > 0 && !pData))
        return E_INVALIDARG;
    EnterCriticalSection(&m_csWrite);
    const HRESULT hr = WriteBufferBlock(cb, pData);
    LeaveCriticalSection(&m_csWrite);
    return hr;
}

HRESULT CLog::DumpCallStack(EXCEPTION_POINTERS* pep, HANDLE, BOOL)
{
    // Built before the lock, on the stack: no heap in an exception filter.
    char szReport[EXCEPTION_REPORT_SIZE];
    const int cchReport = BuildCallStackReport(szReport, EXCEPTION_REPORT_SIZE, pep);

    EnterCriticalSection(&m_csWrite);
    HRESULT hr = CheckDumpTarget();
    if (SUCCEEDED(hr))
    {
        WriteDumpHeader("");
        hr = WriteBufferBlock(cchReport, szReport);
    }
    LeaveCriticalSection(&m_csWrite);
    return hr;
}

HRESULT CLog::DumpRegistryKey(HKEY hRoot, const char* pszSubKey)
{
    if (!pszSubKey)
        pszSubKey = "";
    char szRoot[32];
    RootKeyName(hRoot, szRoot);
    const int cchFull = lstrlenA(szRoot) + 1 + lstrlenA(pszSubKey);
    char* pszFull = (char*)HeapAlloc(GetProcessHeap(), 0, cchFull + 1);
    if (!pszFull)
        return E_OUTOFMEMORY;
    lstrcpyA(pszFull, szRoot);
    lstrcatA(pszFull, "\\");
    lstrcatA(pszFull, pszSubKey);

    EnterCriticalSection(&m_csWrite);
    HRESULT hr = CheckDumpTarget();
    if (SUCCEEDED(hr))
    {
        char szHeader[LOG_TEXT_SIZE];
        CutDumpHeader(szHeader, "Out the registry key ", pszFull);
        WriteDumpHeader(szHeader);
        HKEY hKey = NULL;
        if (RegOpenKeyExA(hRoot, pszSubKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
            hr = E_FAIL;
        else
        {
            LogWrite("\r\n-------------------------------8<---------------------------------\r\nREGEDIT4\r\n");
            DumpKeyRecursive(hKey, pszFull);
            LogWrite("\r\n-------------------------------8<---------------------------------\r\n");
            RegCloseKey(hKey);
        }
    }
    LeaveCriticalSection(&m_csWrite);
    HeapFree(GetProcessHeap(), 0, pszFull);
    return hr;
}

// One registry key and everything below it, in REGEDIT4 form. Names and
// texts of any length are written in pieces; a value that changed while it
// was read, or whose name is too long to read, is left out.
void CLog::DumpKeyRecursive(HKEY hKey, const char* pszName)
{
    LogWrite("\r\n[");
    LogWrite(pszName);
    LogWrite("]\r\n");

    for (DWORD dwIndex = 0;; ++dwIndex)
    {
        char szValue[256];
        DWORD cchValue = sizeof(szValue);
        DWORD dwType = 0;
        DWORD cbData = 0;
        LONG lResult = RegEnumValueA(hKey, dwIndex, szValue, &cchValue, NULL, &dwType, NULL, &cbData);
        if (lResult == ERROR_MORE_DATA)
            continue;
        if (lResult != ERROR_SUCCESS)
            break;
        // One byte more than the data, so that a text stored without its
        // terminator ends all the same.
        BYTE* pbData = (BYTE*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cbData + 1);
        if (!pbData)
            break;
        DWORD cbRead = cbData;
        lResult = RegQueryValueExA(hKey, szValue, NULL, &dwType, pbData, &cbRead);
        if (lResult == ERROR_SUCCESS && cbRead <= cbData)
        {
            pbData[cbRead] = 0;
            DumpValue(szValue, dwType, pbData, cbRead);
        }
        HeapFree(GetProcessHeap(), 0, pbData);
    }

    for (DWORD dwIndex = 0;; ++dwIndex)
    {
        char szSub[256];
        DWORD cchSub = sizeof(szSub);
        const LONG lResult = RegEnumKeyExA(hKey, dwIndex, szSub, &cchSub, NULL, NULL, NULL, NULL);
        if (lResult == ERROR_MORE_DATA)
            continue;
        if (lResult != ERROR_SUCCESS)
            break;
        HKEY hSub = NULL;
        if (RegOpenKeyExA(hKey, szSub, 0, KEY_READ, &hSub) != ERROR_SUCCESS)
            continue;
        const int cchFull = lstrlenA(pszName) + 1 + lstrlenA(szSub);
        char* pszFull = (char*)HeapAlloc(GetProcessHeap(), 0, cchFull + 1);
        if (pszFull)
        {
            lstrcpyA(pszFull, pszName);
            lstrcatA(pszFull, "\\");
            lstrcatA(pszFull, szSub);
            DumpKeyRecursive(hSub, pszFull);
            HeapFree(GetProcessHeap(), 0, pszFull);
        }
        RegCloseKey(hSub);
    }
}

// One value: a text with its backslashes doubled, a DWORD in hexadecimal, and
// every other type (a DWORD of another size included) as its bytes.
void CLog::DumpValue(const char* pszName, DWORD dwType, const BYTE* pbData, DWORD cbData)
{
    if (dwType == REG_SZ)
    {
        const char* pszText = (const char*)pbData;
        const int cchText = lstrlenA(pszText);
        char* pszEscaped = (char*)HeapAlloc(GetProcessHeap(), 0, 2 * (SIZE_T)cchText + 1);
        if (!pszEscaped)
            return;
        int n = 0;
        for (int i = 0; i < cchText; ++i)
        {
            if (pszText[i] == '\\')
                pszEscaped[n++] = '\\';
            pszEscaped[n++] = pszText[i];
        }
        pszEscaped[n] = 0;
        LogWrite("\"");
        LogWrite(pszName);
        LogWrite("\"=\"");
        LogWrite(pszEscaped);
        LogWrite("\"\r\n");
        HeapFree(GetProcessHeap(), 0, pszEscaped);
        return;
    }
    LogWrite("\"");
    LogWrite(pszName);
    if (dwType == REG_DWORD && cbData == sizeof(DWORD))
    {
        DWORD dw;
        memcpy(&dw, pbData, sizeof(dw));
        LogPrintf("\"=dword:%08x\r\n", dw);
        return;
    }
    // Sixteen bytes a line, each line but the last ending with ",\".
    char szLine[16 * 3 + 8];
    lstrcpyA(szLine, "\"=hex:");
    int n = lstrlenA(szLine);
    for (DWORD i = 0; i < cbData; ++i)
    {
        if (i % 16 == 0)
        {
            lstrcpyA(szLine + n, "\\\r\n  ");
            LogWrite(szLine);
            n = 0;
        }
        n += wsprintfA(szLine + n, i + 1 < cbData ? "%02x," : "%02x", pbData[i]);
    }
    lstrcpyA(szLine + n, "\r\n");
    LogWrite(szLine);
}
