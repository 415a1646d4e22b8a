// Text of the log object's dumps: header lines, root key names and the
// exception report. They touch no state of the log object.
#pragma once

#include <windows.h>

#include "LogText.h"

// Room of the exception report: it takes less than 2 KB, and it is built on
// the stack of an exception filter, where a large frame could fault again.
const int EXCEPTION_REPORT_SIZE = 4096;

// pszOpening then pszText into a slot's text (LOG_TEXT_SIZE bytes): whole
// when they fit, else cut to 252 characters followed by "...".
void CutDumpHeader(char* pszOut, const char* pszOpening, const char* pszText);

// Name of a predefined root key ("HKEY_CURRENT_USER"); any other handle as
// "HKEY 0x" and its value. pszOut holds 32 bytes.
const char* RootKeyName(HKEY hRoot, char* pszOut);

// Name of an exception code ("ACCESS_VIOLATION"), or "Unknown exception code".
const char* ExceptionName(DWORD dwCode);

// The block of DumpCallStack into pszOut (cbOut bytes, cut to fit): the
// opening line, the exception report of pep (or a line that there is none)
// and the stack-walk notice. Returns its length.
int BuildCallStackReport(char* pszOut, int cbOut, const EXCEPTION_POINTERS* pep);
