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

// A dump's header line: a slot that never enters the ring. Its priority is
// asked for only when the line opens with the columns.
void FillDumpSlot(LOGSLOT* pSlot, const char* pszText)
{
    ZeroMemory(pSlot, sizeof(*pSlot));
    pSlot->nState = eSlotReserved;
    pSlot->nKind = 64;
    pSlot->dwThreadId = GetCurrentThreadId();
    pSlot->pszApartment = "?";
    pSlot->nPriority = PRIORITY_UNKNOWN;
    pSlot->nLevel = 1;
    lstrcpynA(pSlot->szText, pszText, LOG_TEXT_SIZE);
}

} // namespace

void CLog::WriteDumpHeader(const char* pszText)
{
    LOGSLOT slot;
    FillDumpSlot(&slot, pszText);
    char szLine[LOG_LINE_SIZE];
    WriteRaw(szLine, FormatLine(szLine, slot, NULL));
}

HRESULT CLog::CheckDumpTarget()
{
    if (m_dwError != 0)
        return HResultFromWin32(m_dwError);
    // No file yet (nobody registered, or its header is still being written):
    // the dump is refused, but the log stays usable, as for a line before
    // the first registration.
    if (!IsHealthy())
        return HResultFromWin32(ERROR_INVALID_HANDLE);
    return S_OK;
}

// The caller holds m_csWrite; cbReadable of the cb bytes can be read.
HRESULT CLog::WriteBufferBlock(int cb, const char* pData, int cbReadable)
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
    if (cbReadable > 0)
        WriteRaw(pData, (DWORD)cbReadable);
    if (cbReadable < cb)
    {
        LogPrintf("\r\n###Err### %i bytes at 0x%08X cannot be read", cb - cbReadable,
                  (unsigned)(UINT_PTR)(pData + cbReadable));
        hrBlock = HResultFromWin32(ERROR_NOACCESS);
    }
    LogWrite("\r\n<EOB>\r\n");
    // A write that failed stopped the log: the dump says so.
    if (m_dwError != 0)
        return HResultFromWin32(m_dwError);
    return hrBlock;
}

HRESULT CLog::DumpBuffer(int cb, const char* pData)
{
    // A negative count, or bytes that are not there, would make the log
    // write whatever memory follows: nothing is written.
    if (cb < 0 || (cb > 0 && !pData))
        return E_INVALIDARG;
    // Memory is probed before the lock: a fault's dispatch takes locks of
    // the system.
    const int cbReadable = cb > 0 ? ReadableLength(pData, cb) : 0;
    EnterFile();
    const HRESULT hr = WriteBufferBlock(cb, pData, cbReadable);
    LeaveFile();
    ShowPendingFatalError();
    return hr;
}

HRESULT CLog::DumpCallStack(EXCEPTION_POINTERS* pep, HANDLE, BOOL)
{
    // Built before the lock, on the stack: no heap in an exception filter.
    char szReport[EXCEPTION_REPORT_SIZE];
    const int cchReport = BuildCallStackReport(szReport, EXCEPTION_REPORT_SIZE, pep);

    EnterFile();
    HRESULT hr = CheckDumpTarget();
    if (SUCCEEDED(hr))
    {
        WriteDumpHeader("");
        hr = WriteBufferBlock(cchReport, szReport, cchReport);
    }
    LeaveFile();
    ShowPendingFatalError();
    return hr;
}

HRESULT CLog::DumpRegistryKey(HKEY hRoot, const char* pszSubKey)
{
    if (!pszSubKey)
        pszSubKey = "";
    {
        // Nothing to write into: the key is not read at all.
        const HRESULT hr = CheckDumpTarget();
        if (FAILED(hr))
            return hr;
    }
    char szRoot[32];
    RootKeyName(hRoot, szRoot);
    const int cchFull = lstrlenA(szRoot) + 1 + lstrlenA(pszSubKey);
    char* pszFull = (char*)HeapAlloc(GetProcessHeap(), 0, cchFull + 1);
    if (!pszFull)
        return E_OUTOFMEMORY;
    lstrcpyA(pszFull, szRoot);
    lstrcatA(pszFull, "\\");
    lstrcatA(pszFull, pszSubKey);

    // The key is read before the lock (the registry is the system's), and
    // its block written whole under it.
    CHeapText block;
    HKEY hKey = NULL;
    const bool bOpened = RegOpenKeyExA(hRoot, pszSubKey, 0, KEY_READ, &hKey) == ERROR_SUCCESS;
    if (bOpened)
    {
        block.Add("\r\n-------------------------------8<---------------------------------\r\nREGEDIT4\r\n");
        DumpKeyRecursive(block, hKey, pszFull);
        block.Add("\r\n-------------------------------8<---------------------------------\r\n");
        RegCloseKey(hKey);
    }

    EnterFile();
    HRESULT hr = CheckDumpTarget();
    if (SUCCEEDED(hr))
    {
        char szHeader[LOG_TEXT_SIZE];
        CutDumpHeader(szHeader, "Out the registry key ", pszFull);
        WriteDumpHeader(szHeader);
        if (!bOpened)
            hr = E_FAIL;
        else
        {
            WriteRaw(block.Text(), (DWORD)block.Length());
            if (block.Failed())
                hr = E_OUTOFMEMORY; // the block is cut where memory ran out
        }
        // A write that failed stopped the log: the dump says so.
        if (m_dwError != 0)
            hr = HResultFromWin32(m_dwError);
    }
    LeaveFile();
    ShowPendingFatalError();
    HeapFree(GetProcessHeap(), 0, pszFull);
    return hr;
}

// One registry key and everything below it, in REGEDIT4 form. Names and
// texts of any length are taken whole; a value that changed while it was
// read, or whose name is too long to read, is left out.
void CLog::DumpKeyRecursive(CHeapText& text, HKEY hKey, const char* pszName)
{
    text.Add("\r\n[");
    text.Add(pszName);
    text.Add("]\r\n");

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
            DumpValue(text, szValue, dwType, pbData, cbRead);
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
            DumpKeyRecursive(text, hSub, pszFull);
            HeapFree(GetProcessHeap(), 0, pszFull);
        }
        RegCloseKey(hSub);
    }
}

// One value: a text with its backslashes doubled, a DWORD in hexadecimal, and
// every other type (a DWORD of another size included) as its bytes.
void CLog::DumpValue(CHeapText& text, const char* pszName, DWORD dwType, const BYTE* pbData, DWORD cbData)
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
        text.Add("\"");
        text.Add(pszName);
        text.Add("\"=\"");
        text.Add(pszEscaped);
        text.Add("\"\r\n");
        HeapFree(GetProcessHeap(), 0, pszEscaped);
        return;
    }
    text.Add("\"");
    text.Add(pszName);
    if (dwType == REG_DWORD && cbData == sizeof(DWORD))
    {
        DWORD dw;
        memcpy(&dw, pbData, sizeof(dw));
        text.Printf("\"=dword:%08x\r\n", dw);
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
            text.Add(szLine);
            n = 0;
        }
        n += wsprintfA(szLine + n, i + 1 < cbData ? "%02x," : "%02x", pbData[i]);
    }
    lstrcpyA(szLine + n, "\r\n");
    text.Add(szLine);
}
