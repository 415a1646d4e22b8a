// The debug runtime's report function, which the mingw runtime lacks.
//
// _CrtDbgReport answers 1 ("debug") when a debugger is attached, so that the
// caller breaks into it, and 0 ("go on") otherwise. It never opens a box: a
// failed check in a host without a debugger must not block its thread.
#pragma once

#include <windows.h>
#include <crtdbg.h>
#include <stdarg.h>
#include <stdio.h>

inline int __cdecl _CrtDbgReport(int nReportType, const char* pszFile, int nLine,
                                 const char* pszModule, const char* pszFormat, ...)
{
    static const char* const s_apszType[] = { "Warning", "Error", "Assertion Failed" };
    char szMessage[512] = "";
    if (pszFormat)
    {
        va_list args;
        va_start(args, pszFormat);
        _vsnprintf_s(szMessage, sizeof(szMessage), _TRUNCATE, pszFormat, args);
        va_end(args);
    }
    char szReport[1024];
    _snprintf_s(szReport, sizeof(szReport), _TRUNCATE, "%s(%d) : %s%s%s: %s\n",
                pszFile ? pszFile : "", nLine, pszModule ? pszModule : "", pszModule ? ": " : "",
                (nReportType >= 0 && nReportType < 3) ? s_apszType[nReportType] : "Report",
                szMessage);
    OutputDebugStringA(szReport);
    return IsDebuggerPresent() ? 1 : 0;
}
