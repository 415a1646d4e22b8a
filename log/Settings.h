// Settings of the log library in the registry: one settings key per copy of
// the library, named after its full path ("\" written as "|"), under
// "Software\_VoxaDEZ64", whose default value binds client modules to one copy.
// Every function takes the root key, so that it can work on a private key.
#pragma once

#include <windows.h>
#include <commdlg.h>

#include "LogText.h"

#define LOG_BINDING_KEY "Software\\_VoxaDEZ64"

struct LOGSETTINGS
{
    char szLog[LOG_NAME_SIZE]; // log file name, variables expanded (at most LOG_PATH_SIZE - 1 characters)
    UINT nLevel;               // highest level written
    BOOL bRecreate;            // create the file anew at each open
    BOOL bTimestamp;           // the open time goes into the name
    BOOL bProcessSeparate;     // the process id goes into the name
};

// Reads the settings of the copy at pszLibraryPath. 0 on success, else
// the Win32 error that keeps the log off (13 for a "Log" value that is not a
// non-empty REG_SZ, 206 for a name that expands beyond 259 characters).
DWORD ReadSettings(HKEY hRoot, const char* pszLibraryPath, LOGSETTINGS* pSettings);

// Binds the copy at pszLibraryPath and gives it the default settings: the
// log file "log.log" beside the library, level 8, appending, no timestamp,
// one file for all processes.
DWORD WriteDefaultSettings(HKEY hRoot, const char* pszLibraryPath);

// Removes the settings key of the copy at pszLibraryPath and every key above
// it that becomes empty, up to (not including) "Software".
DWORD RemoveSettings(HKEY hRoot, const char* pszLibraryPath);

// State of the install dialog.
struct CInstallDlg
{
    HWND hDlg;                 // the child dialog inside the save-file dialog
    OPENFILENAMEA ofn;
    int nLevel;
    BOOL bRecreate;
    BOOL bMakeDefault;
    BOOL bTimestamp;
    BOOL bProcessSeparate;
    char szFile[LOG_PATH_SIZE];
};

// Control ids of the install dialog's own controls.
enum
{
    IDC_LEVEL = 201,
    IDC_MAKEDEFAULT = 202,
    IDC_RECREATE = 203,
    IDC_APPEND = 204,
    IDC_TIMESTAMP = 205,
    IDC_SEPARATE = 206,
};

const int LOG_TEMPLATE_SIZE = 4096;

// The install dialog's controls as an in-memory dialog template for the
// explorer-style save-file dialog. Returns the bytes used (0 when cbBlock is
// too small).
int BuildDialogTemplate(BYTE* pBlock, int cbBlock);

// The install dialog's hook procedure.
UINT_PTR CALLBACK InstallDlgHook(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);

// Shows the install dialog for the copy at pszLibraryPath and writes what the
// user confirms. 0 on success or cancel, else the error that ended the work.
DWORD RunInstallDialog(HKEY hRoot, const char* pszLibraryPath);
