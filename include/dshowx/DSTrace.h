// Trace and assertion for every object of a module built on the framework.
//
// A trace call is gated by its category and level before anything is
// formatted; a line that passes becomes one record (the level plus one as its
// first character, then at most 510 characters) handed to the log object that
// the module's first log client bound at load. Without a log object every
// record is dropped silently.
//
// Each source unit that includes this header owns one log client. The clients
// are constructed during the module's static initialisation, after the trace
// categories (which are constant-initialised) and before the module object,
// and destroyed in the reverse order; the first one constructed is the one
// every trace goes through.
#pragma once

#ifndef STRSAFE_NO_DEPRECATE
#define STRSAFE_NO_DEPRECATE
#endif
#include <windows.h>
#include <dshow.h>
#include <errors.h>
#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

#include "IDSLog.h"
#include <atltrace.h>
#include <dbgreport.h>
#include <sehguard.h>

// Trace levels: only levels up to eTL_Info ever leave the trace call.
enum eTraceLevel : UINT
{
    eTL_Always = 0,
    eTL_Exception = 1,
    eTL_Error = 2,
    eTL_Warning = 4,
    eTL_Info = 8,
    eTL_Verbose = 10,
    eTL_Detail = 12,
};

// Size of a trace record and of an assertion record, in WCHARs.
const size_t TRACE_RECORD_SIZE = 512;
// Size of the buffer _LogErrorText writes into, in WCHARs.
const size_t TRACE_ERRORTEXT_SIZE = 1024;

inline HRESULT _LogGetObject(IDSLog** ppLog);
inline void _LogWriteText(LPCWSTR pszText);
inline void _LogTrace(DWORD_PTR dwCategory, UINT nLevel, LPCWSTR pszFormat, ...);
inline bool _LogAssert(bool bCondition, const char* pszFile, int nLine, const char* pszExpression);
inline LPWSTR _LogErrorText(LPWSTR pszBuffer, LPCWSTR pszMessage, LPCWSTR pszName, DWORD dwCode);
inline DWORD _LogDumpCallStack(EXCEPTION_POINTERS* pep, HANDLE hThread, BOOL bFast, DWORD dwContinue);

// ATL's own checks and not-implemented notices go to the same log. The ATL
// headers include this one first, so the routing holds whatever the order in
// which a source unit includes them.
#ifndef ATLASSERT
#define ATLASSERT(expr) _LogAssert(!!(expr), __FILE__, __LINE__, #expr)
#endif
#ifndef ATLTRACE2
#define ATLTRACE2 _LogTrace
#endif

#ifdef ASSERT
#undef ASSERT
#endif
#define ASSERT(expr) _LogAssert(!!(expr), __FILE__, __LINE__, #expr)
// An assertion whose logged expression is the given text rather than the
// condition's source: for checks whose message is a sentence, and for checks
// whose source reads through a local or a member access where the log names
// the check itself.
#ifndef ASSERT_TEXT
#define ASSERT_TEXT(expr, text) _LogAssert(!!(expr), __FILE__, __LINE__, text)
#endif

using ATL::atlTraceGeneral;
using ATL::atlTraceCOM;
using ATL::atlTraceNotImpl;
using ATL::atlTraceWindowing;
using ATL::atlTraceControls;
using ATL::atlTraceException;

// Replaces, in place, every "|" by "\" (bToBar false) or every "\" by "|"
// (bToBar true), up to the terminating NUL.
inline void SwapPathSeparators(LPWSTR psz, bool bToBar)
{
    if (NULL == psz)
        return;
    const WCHAR chFrom = bToBar ? L'\\' : L'|';
    const WCHAR chTo = bToBar ? L'|' : L'\\';
    for (; *psz; ++psz)
        if (*psz == chFrom)
            *psz = chTo;
}

// Binds the log library named by HKCU "Software\_VoxaDEZ64" (default value,
// the library's full path with "|" for "\") and registers with its log object.
class CLogClient
{
public:
    CLogClient() noexcept;
    ~CLogClient();

    CLogClient(const CLogClient&) = delete;
    CLogClient& operator=(const CLogClient&) = delete;

    HRESULT GetLog(IDSLog** ppLog) const noexcept
    {
        if (NULL == ppLog)
            return E_POINTER;
        if (NULL == m_plog)
            return E_FAIL;
        *ppLog = m_plog;
        return S_OK;
    }

    PFN_GetLogObject m_pfnGetLogObject;
    HMODULE m_hModule;
    IDSLog* m_plog;
};

// The module's first log client: the one every trace goes through.
inline CLogClient* g_pFirstLogClient = NULL;

inline CLogClient::CLogClient() noexcept
    : m_pfnGetLogObject(NULL), m_hModule(NULL), m_plog(NULL)
{
    if (NULL == g_pFirstLogClient)
        g_pFirstLogClient = this;

    HKEY hKey = NULL;
    if (ERROR_SUCCESS != RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\_VoxaDEZ64", 0, KEY_READ, &hKey))
        return;
    // At most MAX_PATH WCHARs are read into a zero-filled buffer one WCHAR
    // longer; the path must end with a NUL within those MAX_PATH WCHARs: a
    // value that fills them without one is not a valid path.
    WCHAR szPath[MAX_PATH + 1] = {};
    DWORD cb = MAX_PATH * sizeof(WCHAR);
    const LONG lResult = RegQueryValueExW(hKey, NULL, NULL, NULL, reinterpret_cast<BYTE*>(szPath), &cb);
    RegCloseKey(hKey);
    if (ERROR_SUCCESS != lResult || wcsnlen(szPath, MAX_PATH) >= MAX_PATH)
        return;
    SwapPathSeparators(szPath, false);

    m_hModule = LoadLibraryW(szPath);
    if (NULL == m_hModule)
        return;
    m_pfnGetLogObject = reinterpret_cast<PFN_GetLogObject>(
        reinterpret_cast<void*>(GetProcAddress(m_hModule, "Exp_GetLogObject")));
    if (NULL == m_pfnGetLogObject)
    {
        FreeLibrary(m_hModule);
        m_hModule = NULL;
        return;
    }

    // A foreign library must not take the module down with it: any exception
    // raised by the export or by the registration unbinds the client.
    bool bRegistering = false;
    const BOOL bDone = SEH_Guard([this, &bRegistering] {
        if (S_OK == m_pfnGetLogObject(&m_plog) && NULL != m_plog)
        {
            bRegistering = true;
            m_plog->RegisterClient(&m_plog, 0, 0);
        }
        else
            m_plog = NULL; // a failing export may leave anything behind
    });
    if (!bDone)
    {
        // The cookie may already be on the log object's list; it points into
        // this module, which may be gone before the log library is.
        if (bRegistering && NULL != m_plog)
            SEH_Guard([this] { m_plog->UnregisterClient(reinterpret_cast<void**>(&m_plog)); });
        FreeLibrary(m_hModule);
        m_hModule = NULL;
        m_pfnGetLogObject = NULL;
        m_plog = NULL;
    }
}

inline CLogClient::~CLogClient()
{
    if (NULL != m_hModule)
    {
        if (NULL != m_plog)
            m_plog->UnregisterClient(reinterpret_cast<void**>(&m_plog));
        ASSERT(NULL == m_plog);
        m_plog = NULL;
        FreeLibrary(m_hModule);
        m_hModule = NULL;
    }
    if (g_pFirstLogClient == this)
        g_pFirstLogClient = NULL;
}

// Static initialisation order of a module, lowest first; termination runs in
// the reverse order. The trace categories need no slot: they are
// constant-initialised. ATL's module globals come first, then the log clients
// (one per source unit), then the module object, so that the module object
// traces from its constructor to its destructor.
#define DSX_INIT_PRIORITY_ATL 150
#define DSX_INIT_PRIORITY_LOGCLIENT 200
#define DSX_INIT_PRIORITY_MODULE 300
static CLogClient s_LogClient __attribute__((init_priority(DSX_INIT_PRIORITY_LOGCLIENT)));

inline HRESULT _LogGetObject(IDSLog** ppLog)
{
    if (NULL == ppLog)
        return E_POINTER;
    const CLogClient* pClient = g_pFirstLogClient;
    if (NULL == pClient)
        return E_FAIL;
    return pClient->GetLog(ppLog);
}

inline void _LogWriteText(LPCWSTR pszText)
{
    IDSLog* pLog = NULL;
    _LogGetObject(&pLog);
    if (NULL != pLog)
        pLog->OutputStringW(pszText);
}

// A trace line at this level can ever be written: lets a caller skip the
// formatting of arguments for lines that the trace call would drop.
inline constexpr bool TraceLevelPasses(UINT nLevel)
{
    return nLevel <= eTL_Info;
}

// The low 32 bits of an address, as the trace lines print it with 0x%X.
inline unsigned TraceAddress(const void* p)
{
    return static_cast<unsigned>(reinterpret_cast<UINT_PTR>(p));
}

inline void _LogTrace(DWORD_PTR dwCategory, UINT nLevel, LPCWSTR pszFormat, ...)
{
    if (0 == static_cast<DWORD>(dwCategory))
        return;
    if (!TraceLevelPasses(nLevel))
        return;
    const DWORD dwLastError = GetLastError();
    WCHAR szRecord[TRACE_RECORD_SIZE];
    szRecord[0] = static_cast<WCHAR>(nLevel + 1);
    szRecord[1] = 0;
    if (NULL != pszFormat)
    {
        va_list args;
        va_start(args, pszFormat);
        _vsnwprintf_s(szRecord + 1, TRACE_RECORD_SIZE - 1, _TRUNCATE, pszFormat, args);
        va_end(args);
    }
    szRecord[TRACE_RECORD_SIZE - 1] = 0;
    _LogWriteText(szRecord);
    SetLastError(dwLastError);
}

inline LPWSTR _LogErrorText(LPWSTR pszBuffer, LPCWSTR pszMessage, LPCWSTR pszName, DWORD dwCode)
{
    if (NULL == pszBuffer || NULL == pszName)
        return NULL;
    pszBuffer[0] = 0;
    _snwprintf_s(pszBuffer, TRACE_ERRORTEXT_SIZE, _TRUNCATE, L"%s=0x%08X (%i)\n%s\n", pszName,
                 dwCode, static_cast<int>(dwCode), pszMessage ? pszMessage : L"no message");
    pszBuffer[TRACE_ERRORTEXT_SIZE - 1] = 0;
    const size_t cchUsed = wcslen(pszBuffer);
    const size_t cchRoom = TRACE_ERRORTEXT_SIZE - cchUsed;
    if (cchRoom >= 2)
    {
        LPWSTR pszTail = pszBuffer + cchUsed;
        pszTail[0] = 0;
        if (0 == AMGetErrorTextW(static_cast<HRESULT>(dwCode), pszTail, static_cast<DWORD>(cchRoom)))
        {
            pszTail[0] = 0;
            if (0 == FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                    dwCode, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), pszTail,
                                    static_cast<DWORD>(cchRoom), NULL))
                pszTail[0] = 0;
        }
        pszBuffer[TRACE_ERRORTEXT_SIZE - 1] = 0;
    }
    for (size_t i = wcslen(pszBuffer); i > 0 && pszBuffer[i - 1] <= 32; --i)
        pszBuffer[i - 1] = 0;
    return pszBuffer;
}

inline bool _LogAssert(bool bCondition, const char* pszFile, int nLine, const char* pszExpression)
{
    if (bCondition)
        return true;
    const DWORD dwLastError = GetLastError();
    WCHAR szError[TRACE_ERRORTEXT_SIZE];
    _LogErrorText(szError, L"", L"GetLastError()", dwLastError);
    WCHAR szRecord[TRACE_RECORD_SIZE];
    szRecord[0] = 0;
    _snwprintf_s(szRecord, TRACE_RECORD_SIZE, _TRUNCATE, L"###Err###\n%hs(%i): ASSERT( \"%hs\" )\n%s\n",
                 pszFile ? pszFile : "", nLine, pszExpression ? pszExpression : "", szError);
    szRecord[TRACE_RECORD_SIZE - 1] = 0;
    _LogWriteText(szRecord);
    if (1 == _CrtDbgReport(_CRT_ASSERT, pszFile, nLine, NULL, "%s", pszExpression))
        DebugBreak();
    _LogWriteText(L"\nexit ASSERT");
    SetLastError(dwLastError);
    return false;
}

inline DWORD _LogDumpCallStack(EXCEPTION_POINTERS* pep, HANDLE hThread, BOOL bFast, DWORD dwContinue)
{
    if (IsDebuggerPresent())
    {
        WCHAR sz[128];
        _snwprintf_s(sz, 128, _TRUNCATE,
                     L"###Err### _LogDumpCallStack( pep=%08X, hThread=%08X, bFast=%i, dwContinue=%i )\n",
                     static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pep)),
                     static_cast<unsigned>(reinterpret_cast<UINT_PTR>(hThread)), bFast, dwContinue);
        _LogWriteText(sz);
    }
    IDSLog* pLog = NULL;
    if (SUCCEEDED(_LogGetObject(&pLog)) && NULL != pLog)
        pLog->DumpCallStack(pep, hThread, bFast);
    return dwContinue;
}

#include <atldef.h>
