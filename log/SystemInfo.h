// The system-information block of the log header: operating system,
// processor, memory, display devices, drives, IDE channel timing and the
// hardware devices known to the registry. The registry is only read, under
// the root key given (HKEY_LOCAL_MACHINE for the header).
#pragma once

#include <windows.h>

#include "LogText.h"

const int SYSTEM_BLOCK_SIZE = 65536; // bytes of the whole block, NUL included
const int SYSTEM_SECTION_SIZE = 6144; // bytes of one section's work buffer

// The whole block into pszOut (cbOut bytes). It always ends with its closing
// "---8<---" line; a text that does not fit loses its last lines, never part
// of one. Returns its length.
int GetSystemInfoText(HKEY hRoot, char* pszOut, int cbOut);

// The sections of the block, each appended to pText. bNT tells whether the
// system is of the NT family (the OS text decides).
bool GetOSVersionText(CBoundedText* pText);
void GetProcessorText(HKEY hRoot, bool bNT, CBoundedText* pText);
void GetMemoryText(CBoundedText* pText);
void GetSystemText(CBoundedText* pText);
void GetDisplayText(CBoundedText* pText);
void GetDrivesText(CBoundedText* pText);
void GetIdeConfigText(HKEY hRoot, bool bNT, CBoundedText* pText);
void GetHardwareText(HKEY hRoot, bool bNT, CBoundedText* pText);
