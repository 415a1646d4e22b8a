// Text helpers of the log library: the columns of a log line, the banners'
// time text, file naming and the caller prefix. They take all their inputs as
// parameters and touch no global state, so they can be checked on their own.
#pragma once

#include <windows.h>

// Sizes shared by the log library.
const int LOG_RING_SIZE = 1200;      // slots in the message ring
const int LOG_TEXT_SIZE = 256;       // bytes of one slot's text, NUL included
const int LOG_LINE_SIZE = 2048;      // bytes of one formatted line
const int LOG_PREFIX_SIZE = 64;      // bytes of the caller prefix, NUL included
const int LOG_NAME_SIZE = 292;       // bytes of the log file's final name
const int LOG_PATH_SIZE = 260;       // bytes of a path read from the system

// A Win32 code as an HRESULT: 0 stays 0, a positive code c becomes
// 0x80070000 | (c & 0xFFFF), a negative value passes unchanged.
HRESULT HResultFromWin32(DWORD dwError);

// Time column of a line into pszOut (at least 16 bytes): "hh:mm:ss.mmm" when
// bFull, "        .mmm" otherwise, "        .---" for a time whose wYear is
// 0xFFFF (a line without a time of its own). Returns its length.
int FormatTimeColumn(char* pszOut, const SYSTEMTIME& st, bool bFull);

// First column group of a line into pszOut (at least 64 bytes), chosen by
// comparing the line's thread and time with those of the line before it.
// Returns its length.
int FormatColumnGroup(char* pszOut, DWORD dwThreadId, const char* pszApartment, int nPriority,
                      const SYSTEMTIME& st, DWORD dwLastThread, const SYSTEMTIME& stLast);

// Message text of a line: CR and LF runs become line breaks, continuation
// lines are indented by four tabs, and the text ends with CR LF. nRoom is the
// number of characters pszOut may take; one more byte takes the NUL. An empty
// message gives nothing at all. Returns the length written.
int NormaliseMessage(char* pszOut, int nRoom, const char* pszMessage);

// "Local 2026/Dec/8 13:05:42.007" into pszOut (at least 64 bytes).
int LocalTimeText(char* pszOut, const SYSTEMTIME& st);

// A signed 64-bit value in groups of three digits ("1 234 567") into pszOut
// (at least 32 bytes).
int GroupedNumber(char* pszOut, LONGLONG llValue);

// Puts the open time into a log file name (a buffer of LOG_NAME_SIZE bytes):
// "stem_YYYY-MM-DD_hh.mm.ss.ext", or the stamp appended when the name has no
// extension. A name that would grow too long stays as it is.
void ApplyTimestamp(char* pszName, const SYSTEMTIME& st);

// Puts "_%04X" of the process id into a log file name (a buffer of
// LOG_NAME_SIZE bytes) in front of its extension, or at its end.
void ApplyProcessSeparate(char* pszName, DWORD dwProcessId);

// Caller prefix from a module's full path: the file name without ".dll" or
// ".exe", upper-cased, cut to cbSize - 3 characters, followed by ": ".
// A path without "\" gives "N/A: "; a size of 2 or less an empty text.
void ShapeModulePrefix(const char* pszPath, char* pszOut, UINT cbSize);

// The library's path as one registry key name: every "\" becomes "|".
// Returns false when it does not fit cbOut bytes.
bool MakePipePath(const char* pszPath, char* pszOut, int cbOut);

// Default log file of a library: its directory followed by "log.log", or
// "c:\Temp\log.log" when the path has no directory. pszOut holds
// LOG_PATH_SIZE bytes; false when the name would not fit.
bool MakeDefaultLogName(const char* pszLibraryPath, char* pszOut);

// Symbol search path of the process into pszOut (cchOut bytes): the Windows
// directory's "Symbols\dll\" folder, then the _DSPDB text when it is set
// (pszDspdb not null), then the executable's directory. A segment that does not
// fit is left out. False when the Windows directory is missing.
bool BuildSymbolPath(char* pszOut, int cchOut, const char* pszWindowsDir,
                     const char* pszDspdb, const char* pszExePath);
