// The log file: opening with its header, the raw writer, the closing block
// and the fatal-error box.
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <sehguard.h>

#include "SymbolEngine.h"
#include "Log.h"
#include "Settings.h"
#include "SystemInfo.h"

namespace {

const char s_szOpenBanner[] =
    "[%s] Log is open, cut here ======================== 8< =============================\r\n";
const char s_szCloseBanner[] =
    "[%s] Log is close, cut here ======================== 8< =============================\r\n";

// Creates or opens the log file for appending. Every write of an append
// handle lands at the end of the file; under Wine it is placed there by
// asking the file's size first, so two processes that write at once may
// both write at the same place: CFileGuard keeps them apart. To start a new
// file, the old one is first truncated.
HANDLE CreateLogFile(const char* pszName, bool bRecreate)
{
    if (bRecreate)
    {
        HANDLE h = CreateFileA(pszName, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL);
        if (h == INVALID_HANDLE_VALUE)
            return h;
        CloseHandle(h);
    }
    return CreateFileA(pszName, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

struct FATALBOX
{
    HMODULE hPinned; // keeps the library loaded while the box is up
    char szText[2048];
};

DWORD WINAPI FatalBoxThread(void* pv)
{
    FATALBOX* pBox = (FATALBOX*)pv;
    MessageBoxA(NULL, pBox->szText, "Log fatal error", MB_ICONERROR);
    const HMODULE hPinned = pBox->hPinned;
    HeapFree(GetProcessHeap(), 0, pBox);
    if (hPinned)
        FreeLibraryAndExitThread(hPinned, 0);
    return 0;
}

// True when the process with this id has ended (or never was).
bool IsProcessGone(DWORD dwProcessId)
{
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, dwProcessId);
    if (!h)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool bGone = WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
    CloseHandle(h);
    return bGone;
}

} // namespace

void CFileGuard::Open(HANDLE hFile)
{
    Close();
    static LONG s_nLogs;
    m_llTag = ((LONG64)GetCurrentProcessId() << 32) | (DWORD)InterlockedIncrement(&s_nLogs);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(hFile, &info))
        return;
    // Named after the file itself, whatever path each process opened it by.
    char szName[64];
    wsprintfA(szName, "DezLogFile_%08X_%08X%08X", (unsigned)info.dwVolumeSerialNumber, (unsigned)info.nFileIndexHigh,
              (unsigned)info.nFileIndexLow);
    m_hMapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(SHARED), szName);
    if (!m_hMapping)
        return;
    m_pShared = (SHARED*)MapViewOfFile(m_hMapping, FILE_MAP_WRITE, 0, 0, sizeof(SHARED));
    if (!m_pShared)
    {
        CloseHandle(m_hMapping);
        m_hMapping = NULL;
    }
}

void CFileGuard::Close()
{
    if (m_pShared)
        UnmapViewOfFile((void*)m_pShared);
    if (m_hMapping)
        CloseHandle(m_hMapping);
    m_pShared = NULL;
    m_hMapping = NULL;
    m_nDepth = 0;
    m_bHeld = false;
}

void CFileGuard::Enter(DWORD* pdwLastThread)
{
    if (m_nDepth++ > 0 || !m_pShared)
        return;
    // A hold lasts one write: spin briefly, then yield, then sleep. A
    // holder that is gone (its process ended while it wrote) is found out
    // and its hold taken over; a living one always lets go. While this
    // process ends, a thread of its own that the system ended may have held
    // it: then the closing writes go on without it after a while.
    DWORD dwSince = 0;
    for (int nTry = 0;; ++nTry)
    {
        const LONG64 llOwner = InterlockedCompareExchange64(&m_pShared->llOwner, m_llTag, 0);
        if (llOwner == 0 || llOwner == m_llTag)
        {
            m_bHeld = true;
            break;
        }
        if (nTry < 64)
        {
            YieldProcessor();
            continue;
        }
        if (nTry < 128)
        {
            SwitchToThread();
            continue;
        }
        Sleep(1);
        if (!dwSince)
            dwSince = GetTickCount();
        if (GetTickCount() - dwSince < 100)
            continue;
        dwSince = GetTickCount();
        const DWORD dwOwnerProcess = (DWORD)((ULONG64)llOwner >> 32);
        if (dwOwnerProcess == GetCurrentProcessId() ? g_bProcessEnding : IsProcessGone(dwOwnerProcess))
        {
            if (InterlockedCompareExchange64(&m_pShared->llOwner, m_llTag, llOwner) == llOwner)
            {
                m_bHeld = true;
                break;
            }
        }
    }
    if (m_pShared->llLastLog != m_llTag || (DWORD)m_pShared->lLastThread != *pdwLastThread)
        *pdwLastThread = 0xFFFFFFFF; // another log wrote the file's last line
}

void CFileGuard::Leave(DWORD dwLastThread)
{
    if (m_nDepth == 0 || --m_nDepth > 0 || !m_pShared)
        return;
    m_pShared->llLastLog = m_llTag;
    m_pShared->lLastThread = (LONG)dwLastThread;
    // Only the holder changes a hold that is not a dead process's: a plain
    // store lets go, after the stores above (x64 keeps stores in order).
    if (m_bHeld && m_pShared->llOwner == m_llTag)
    {
        _ReadWriteBarrier();
        m_pShared->llOwner = 0;
    }
    m_bHeld = false;
}

void CLog::EnterFile()
{
    EnterCriticalSection(&m_csWrite);
    m_guard.Enter(&m_dwLastThread);
}

void CLog::LeaveFile()
{
    m_guard.Leave(m_dwLastThread);
    LeaveCriticalSection(&m_csWrite);
}

void LocateLogModule(const void* pOwnCode)
{
    MEMORY_BASIC_INFORMATION mbi;
    if (!VirtualQuery(pOwnCode, &mbi, sizeof(mbi)))
        return;
    BYTE* pBase = (BYTE*)mbi.AllocationBase;
    g_hLogModule = (HMODULE)pBase;
    const IMAGE_DOS_HEADER* pDos = (const IMAGE_DOS_HEADER*)pBase;
    const IMAGE_NT_HEADERS* pNt = (const IMAGE_NT_HEADERS*)(pBase + pDos->e_lfanew);
    g_pLogModuleEnd = pBase + pNt->OptionalHeader.SizeOfImage;
}

void ShowFatalError(DWORD dwError, const char*, const char* pszLogFile)
{
    FATALBOX* pBox = (FATALBOX*)HeapAlloc(GetProcessHeap(), 0, sizeof(FATALBOX));
    if (!pBox)
        return;
    char szMessage[1025];
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, dwError,
                        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), szMessage, 1024, NULL))
        lstrcpyA(szMessage, "Error message not found");
    wsprintfA(pBox->szText, "GetLastError()=0x%08X (%i)\r\n%s\r\nLogfile '%s'\r\n", (unsigned)dwError, (int)dwError,
              szMessage, pszLogFile ? pszLogFile : "");
    pBox->hPinned = NULL;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCSTR)(void*)&FatalBoxThread, &pBox->hPinned);
    HANDLE hThread = CreateThread(NULL, 0, FatalBoxThread, pBox, 0, NULL);
    if (!hThread)
    {
        if (pBox->hPinned)
            FreeLibrary(pBox->hPinned);
        HeapFree(GetProcessHeap(), 0, pBox);
        return;
    }
    CloseHandle(hThread);
}

DWORD CLog::WriteRaw(const void* pData, DWORD cb)
{
    if (!pData || cb == 0)
        return 0;
    EnterFile();
    const DWORD cbWritten = WriteHeld(pData, cb);
    LeaveFile();
    return cbWritten;
}

// The caller holds m_csWrite and the file (EnterFile).
DWORD CLog::WriteHeld(const void* pData, DWORD cb)
{
    DWORD cbWritten = 0;
    if (m_dwError == 0 && IsFileOpen() && pData && cb)
    {
        SetLastError(0);
        if (!WriteFile(m_hFile, pData, cb, &cbWritten, NULL) || cbWritten != cb)
        {
            DWORD dwError = GetLastError();
            if (dwError == 0)
                dwError = ERROR_WRITE_FAULT;
            m_dwError = dwError;
            // The box is shown once the lock is left (it takes the loader
            // lock); none while the library unloads: its thread could outlive
            // the code.
            if (!m_bClosing)
                InterlockedExchange(&m_dwFatalPending, (LONG)dwError);
            CloseHandle(m_hFile);
            m_hFile = NULL;
            cbWritten = 0;
        }
    }
    return cbWritten;
}

HRESULT CLog::LogWrite(const char* pszText)
{
    return WriteRaw(pszText, pszText ? lstrlenA(pszText) : 0) ? S_OK : E_FAIL;
}

HRESULT CLog::LogPrintf(const char* pszFormat, ...)
{
    char szText[1025]; // wvsprintfA writes at most 1024 characters and the NUL
    va_list args;
    va_start(args, pszFormat);
    wvsprintfA(szText, pszFormat, args);
    va_end(args);
    return LogWrite(szText);
}

// Opens the file and writes its header with no lock of the log held. The
// settings, the system block and the module list call far into the system
// and into dbghelp: a fault there stops the log (its callers are told by the
// registration's result) instead of leaving the registration half done.
void CLog::OpenLogFileGuarded()
{
    DWORD dwCode = 0;
    if (SEH_Guard([this] { OpenLogFile(); }, &dwCode))
        return;
    EnterCriticalSection(&m_csWrite);
    if (m_dwError == 0)
        m_dwError = ERROR_NOACCESS; // the fault stopped the log
    if (IsFileOpen())
        CloseHandle(m_hFile);
    m_hFile = NULL;
    LeaveCriticalSection(&m_csWrite);
}

BOOL CLog::OpenLogFile()
{
    if (m_dwError != 0)
        return FALSE;
    if (IsFileOpen())
    {
        m_dwError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    char szLibrary[LOG_PATH_SIZE + 1];
    const DWORD cchLibrary = GetModuleFileNameA(g_hLogModule, szLibrary, LOG_PATH_SIZE);
    if (cchLibrary == 0 || cchLibrary >= LOG_PATH_SIZE)
    {
        m_dwError = cchLibrary ? ERROR_FILENAME_EXCED_RANGE : GetLastError();
        if (m_dwError == 0)
            m_dwError = ERROR_MOD_NOT_FOUND;
        return FALSE;
    }
    LOGSETTINGS settings;
    const DWORD dwError = ReadSettings(HKEY_CURRENT_USER, szLibrary, &settings);
    if (dwError != 0)
    {
        m_dwError = dwError; // no settings, no log, no box
        return FALSE;
    }
    m_nLevel = settings.nLevel;

    char szName[LOG_NAME_SIZE];
    lstrcpyA(szName, settings.szLog);
    SYSTEMTIME st;
    GetLocalTime(&st);
    if (settings.bTimestamp)
        ApplyTimestamp(szName, st);
    if (settings.bProcessSeparate)
        ApplyProcessSeparate(szName, GetCurrentProcessId());
    lstrcpyA(m_szLogFile, szName);

    SetLastError(0);
    HANDLE hFile = CreateLogFile(szName, settings.bRecreate || settings.bTimestamp);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        m_dwError = GetLastError();
        if (m_dwError == 0)
            m_dwError = ERROR_OPEN_FAILED;
        ShowFatalError(m_dwError, "Cannot create the log file", szName);
        m_hFile = NULL;
        return FALSE;
    }
    EnterCriticalSection(&m_csWrite);
    m_hFile = hFile;
    m_guard.Open(hFile);
    LeaveCriticalSection(&m_csWrite);
    SetFilePointer(hFile, 0, NULL, FILE_END);
    // Lines wait in the ring for the header; dumps are refused until it is
    // written, as before the file was open.
    WriteHeader(szLibrary);
    return TRUE;
}

// The header's texts are gathered first (the module list with its symbols
// takes long, and asking the system for them may wait for its loader lock),
// then written in one hold of the file, so that no other process's lines
// land inside it. It ends with m_bHeaderDone set.
void CLog::WriteHeader(const char* pszLibraryPath)
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    char szTime[64];
    LocalTimeText(szTime, st);

    char szExe[LOG_PATH_SIZE + 1];
    const DWORD cchExe = GetModuleFileNameA(NULL, szExe, LOG_PATH_SIZE);
    if (cchExe == 0 || cchExe >= LOG_PATH_SIZE)
        szExe[0] = 0;
    char szDir[LOG_PATH_SIZE + 1];
    const DWORD cchDir = GetCurrentDirectoryA(sizeof(szDir), szDir);
    if (cchDir == 0 || cchDir >= sizeof(szDir))
        szDir[0] = 0;

    // Free space on the file's folder: the name up to its last separator.
    char szFolder[LOG_NAME_SIZE];
    lstrcpyA(szFolder, m_szLogFile);
    int iCut = lstrlenA(szFolder) - 1;
    while (iCut >= 0 && !strchr("/\\:", szFolder[iCut]))
        --iCut;
    szFolder[iCut + 1] = 0;
    ULARGE_INTEGER uFree;
    if (!GetDiskFreeSpaceExA(szFolder[0] ? szFolder : NULL, &uFree, NULL, NULL))
        uFree.QuadPart = 0;
    char szFree[32];
    GroupedNumber(szFree, (LONGLONG)uFree.QuadPart);

    char* pszSystem = (char*)HeapAlloc(GetProcessHeap(), 0, SYSTEM_BLOCK_SIZE);
    if (pszSystem)
        GetSystemInfoText(HKEY_LOCAL_MACHINE, pszSystem, SYSTEM_BLOCK_SIZE);
    char* pszList = NULL;
    if (!g_DbgHelp.GetModuleList(&pszList, TRUE))
    {
        free(pszList);
        pszList = NULL;
    }

    EnterFile();
    LogPrintf(s_szOpenBanner, szTime);
    LogWrite("Fields: THREADID APPARTMENTID PRIORITY TIME MESSAGE\r\n");
    LogWrite("APPARTMENTID (work only on nt4/2k/xp):\r\n"
             "\ts (STA), m (MTA), N (NTA), - (COM isn't initialized), ! (exception on detect)\r\n");
    LogWrite("\r\n");
    LogPrintf("Process ID=0x%04X, PROCESS: %s\r\n", (unsigned)GetCurrentProcessId(), szExe);
    LogPrintf("Current directory: %s\r\n", szDir);
    LogPrintf("DLL: %s\r\n", pszLibraryPath);
    LogPrintf("LOG: %s\r\n", m_szLogFile);
    LogPrintf("Free space for log: %s bytes\r\n", szFree);
    if (pszSystem)
        LogWrite(pszSystem);
    LogWrite("List of modules in process:\r\n");
    if (pszList)
        LogWrite(pszList);
    LogWrite("\r\n");
    m_bHeaderDone = true;
    LeaveFile();
    if (pszSystem)
        HeapFree(GetProcessHeap(), 0, pszSystem);
    free(pszList);
}

void CLog::WriteClosingBlock(const char* pszModules)
{
    if (!IsFileOpen())
        return;
    LogWrite("\r\nList of modules before unloading the logging module:\r\n");
    if (pszModules)
        LogWrite(pszModules);
    LogWrite("\r\n");
    SYSTEMTIME st;
    GetLocalTime(&st);
    char szTime[64];
    LocalTimeText(szTime, st);
    LogPrintf(s_szCloseBanner, szTime);
    if (IsFileOpen())
        CloseHandle(m_hFile);
    m_hFile = NULL;
}
