#include "Settings.h"

#include <stdlib.h>
#include <string.h>

namespace {

// "Software\_VoxaDEZ64\<pipe path>" for the copy at pszLibraryPath.
bool SettingsKeyName(const char* pszLibraryPath, char* pszOut, int cbOut)
{
    const int cchBase = lstrlenA(LOG_BINDING_KEY "\\");
    if (cbOut <= cchBase)
        return false;
    lstrcpyA(pszOut, LOG_BINDING_KEY "\\");
    return MakePipePath(pszLibraryPath, pszOut + cchBase, cbOut - cchBase);
}

const int KEY_NAME_SIZE = 32 + LOG_PATH_SIZE;

// A DWORD setting counts only as a REG_DWORD of exactly 4 bytes.
bool QueryDword(HKEY hKey, const char* pszName, DWORD* pdw)
{
    DWORD dwType = 0, dw = 0, cb = sizeof(dw);
    if (RegQueryValueExA(hKey, pszName, NULL, &dwType, (BYTE*)&dw, &cb) != ERROR_SUCCESS || dwType != REG_DWORD ||
        cb != sizeof(dw))
        return false;
    *pdw = dw;
    return true;
}

DWORD SetDword(HKEY hKey, const char* pszName, DWORD dw)
{
    return RegSetValueExA(hKey, pszName, 0, REG_DWORD, (const BYTE*)&dw, sizeof(dw));
}

DWORD SetString(HKEY hKey, const char* pszName, const char* psz)
{
    return RegSetValueExA(hKey, pszName, 0, REG_SZ, (const BYTE*)psz, lstrlenA(psz) + 1);
}

// Sets the binding value to the pipe path of pszLibraryPath.
DWORD WriteBinding(HKEY hRoot, const char* pszLibraryPath)
{
    char szPipe[LOG_PATH_SIZE + 1];
    if (!MakePipePath(pszLibraryPath, szPipe, sizeof(szPipe)))
        return ERROR_FILENAME_EXCED_RANGE;
    HKEY hKey;
    DWORD dwError = RegCreateKeyExA(hRoot, LOG_BINDING_KEY, 0, NULL, 0, KEY_WRITE, NULL, &hKey, NULL);
    if (dwError != ERROR_SUCCESS)
        return dwError;
    dwError = SetString(hKey, NULL, szPipe);
    RegCloseKey(hKey);
    return dwError;
}

// Writes the five settings into the copy's settings key.
DWORD WriteSettings(HKEY hRoot, const char* pszLibraryPath, const char* pszLog, DWORD dwLevel, DWORD dwRecreate,
                    DWORD dwTimestamp, DWORD dwSeparate)
{
    char szKey[KEY_NAME_SIZE];
    if (!SettingsKeyName(pszLibraryPath, szKey, sizeof(szKey)))
        return ERROR_FILENAME_EXCED_RANGE;
    HKEY hKey;
    DWORD dwError = RegCreateKeyExA(hRoot, szKey, 0, NULL, 0, KEY_WRITE, NULL, &hKey, NULL);
    if (dwError != ERROR_SUCCESS)
        return dwError;
    const DWORD aErrors[] = {
        SetString(hKey, "Log", pszLog),
        SetDword(hKey, "Level", dwLevel),
        SetDword(hKey, "Recreate", dwRecreate),
        SetDword(hKey, "Timestamp", dwTimestamp),
        SetDword(hKey, "ProcessSeparate", dwSeparate),
    };
    RegCloseKey(hKey);
    for (DWORD e : aErrors)
        if (e != ERROR_SUCCESS)
            return e;
    return ERROR_SUCCESS;
}

// Reads "Log" as a NUL-terminated REG_SZ of at most LOG_PATH_SIZE bytes.
DWORD QueryLogName(HKEY hKey, char (&szRaw)[LOG_PATH_SIZE + 1])
{
    DWORD dwType = 0, cb = LOG_PATH_SIZE;
    const DWORD dwError = RegQueryValueExA(hKey, "Log", NULL, &dwType, (BYTE*)szRaw, &cb);
    if (dwError != ERROR_SUCCESS)
    {
        szRaw[0] = 0;
        return dwError;
    }
    // A text stored without its terminator that fills the whole room is one
    // character longer than a path may be: refused like a longer value.
    if (cb == LOG_PATH_SIZE && szRaw[cb - 1] != 0)
    {
        szRaw[0] = 0;
        return ERROR_MORE_DATA;
    }
    szRaw[cb] = 0;
    if (dwType != REG_SZ || cb <= 1)
    {
        szRaw[0] = 0;
        return ERROR_INVALID_DATA;
    }
    return ERROR_SUCCESS;
}

// Writes the template's fields, each checked against the block's size.
class CTemplateWriter
{
public:
    CTemplateWriter(BYTE* pBlock, int cbBlock) : m_p(pBlock), m_cb(cbBlock) {}

    void Word(WORD w) { Bytes(&w, sizeof(w)); }
    void Dword(DWORD dw) { Bytes(&dw, sizeof(dw)); }
    void Short(short n) { Bytes(&n, sizeof(n)); }
    void Text(const char* psz)
    {
        do
            Word((WORD)(BYTE)*psz);
        while (*psz++);
    }
    void Align()
    {
        while (m_n % sizeof(DWORD))
        {
            const BYTE b = 0;
            Bytes(&b, 1);
        }
    }
    int Size() const { return m_bFits ? m_n : 0; }

private:
    void Bytes(const void* pv, int cb)
    {
        if (m_n + cb > m_cb)
        {
            m_bFits = false;
            return;
        }
        memcpy(m_p + m_n, pv, cb);
        m_n += cb;
    }

    BYTE* m_p;
    int m_cb;
    int m_n = 0;
    bool m_bFits = true;
};

struct TEMPLATEITEM
{
    WORD wId;
    const char* pszClass;
    const char* pszText;
    DWORD dwStyle;
    short x, y, cx, cy;
};

const TEMPLATEITEM s_aItems[] = {
    {IDC_LEVEL, "Edit", "", WS_BORDER | ES_NUMBER | ES_AUTOHSCROLL, 75, 0, 21, 12},
    {0xFFFF, "Static", "Logging level (0..16):", 0, 5, 2, 68, 8},
    {IDC_MAKEDEFAULT, "Button", "Make this copy of log object default", BS_AUTOCHECKBOX, 4, 16, 150, 10},
    {IDC_SEPARATE, "Button", "Make separate log for each proccess", BS_AUTOCHECKBOX, 160, 16, 400, 10},
    {IDC_APPEND, "Button", "Add new log to the end of the old file", BS_AUTORADIOBUTTON, 4, 30, 300, 10},
    {IDC_RECREATE, "Button", "Recreate log file on each start", BS_AUTORADIOBUTTON, 4, 40, 300, 10},
    {IDC_TIMESTAMP, "Button", "Create new log file with timestamped name", BS_AUTORADIOBUTTON, 4, 50, 300, 10},
};

} // namespace

DWORD ReadSettings(HKEY hRoot, const char* pszLibraryPath, LOGSETTINGS* pSettings)
{
    pSettings->szLog[0] = 0;
    pSettings->nLevel = 8;
    pSettings->bRecreate = TRUE;
    pSettings->bTimestamp = FALSE;
    pSettings->bProcessSeparate = FALSE;

    char szKey[KEY_NAME_SIZE];
    if (!SettingsKeyName(pszLibraryPath, szKey, sizeof(szKey)))
        return ERROR_FILENAME_EXCED_RANGE;
    HKEY hKey;
    DWORD dwError = RegOpenKeyExA(hRoot, szKey, 0, KEY_READ, &hKey);
    if (dwError != ERROR_SUCCESS)
        return dwError;

    char szRaw[LOG_PATH_SIZE + 1];
    dwError = QueryLogName(hKey, szRaw);
    if (dwError == ERROR_SUCCESS)
    {
        SetLastError(0);
        const DWORD cch = ExpandEnvironmentStringsA(szRaw, pSettings->szLog, LOG_PATH_SIZE);
        if (cch == 0)
        {
            dwError = GetLastError();
            if (dwError == 0)
                dwError = ERROR_INVALID_DATA;
        }
        else if (cch > LOG_PATH_SIZE)
            dwError = ERROR_FILENAME_EXCED_RANGE; // the expansion was cut: no log rather than a wrong name
    }
    if (dwError == ERROR_SUCCESS)
    {
        DWORD dw;
        if (QueryDword(hKey, "Level", &dw))
            pSettings->nLevel = dw;
        if (QueryDword(hKey, "Recreate", &dw))
            pSettings->bRecreate = dw != 0;
        if (QueryDword(hKey, "Timestamp", &dw))
            pSettings->bTimestamp = dw != 0;
        if (QueryDword(hKey, "ProcessSeparate", &dw))
            pSettings->bProcessSeparate = dw != 0;
    }
    else
        pSettings->szLog[0] = 0;
    RegCloseKey(hKey);
    return dwError;
}

DWORD WriteDefaultSettings(HKEY hRoot, const char* pszLibraryPath)
{
    char szLog[LOG_PATH_SIZE];
    if (!MakeDefaultLogName(pszLibraryPath, szLog))
        return ERROR_FILENAME_EXCED_RANGE;
    WriteBinding(hRoot, pszLibraryPath); // a failure here does not stop the settings
    return WriteSettings(hRoot, pszLibraryPath, szLog, 8, 0, 0, 0);
}

DWORD RemoveSettings(HKEY hRoot, const char* pszLibraryPath)
{
    char szName[KEY_NAME_SIZE];
    if (!SettingsKeyName(pszLibraryPath, szName, sizeof(szName)))
        return ERROR_FILENAME_EXCED_RANGE;
    for (;;)
    {
        char* pszCut = strrchr(szName, '\\');
        if (!pszCut)
            return ERROR_SUCCESS;
        *pszCut = 0;
        const char* pszChild = pszCut + 1;
        if (lstrcmpiA(pszChild, "Software") == 0)
            return ERROR_SUCCESS;

        HKEY hParent;
        DWORD dwError = RegOpenKeyExA(hRoot, szName, 0, KEY_READ, &hParent);
        if (dwError == ERROR_FILE_NOT_FOUND)
            continue;
        if (dwError != ERROR_SUCCESS)
            return dwError;
        DWORD nSubkeys = 0;
        for (;;)
        {
            char szSub[256];
            DWORD cch = sizeof(szSub);
            if (RegEnumKeyExA(hParent, nSubkeys, szSub, &cch, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
                break;
            ++nSubkeys;
        }
        dwError = RegDeleteKeyA(hParent, pszChild);
        RegCloseKey(hParent);
        if (!((dwError == ERROR_SUCCESS && nSubkeys <= 1) || dwError == ERROR_FILE_NOT_FOUND))
            return dwError;
    }
}

int BuildDialogTemplate(BYTE* pBlock, int cbBlock)
{
    CTemplateWriter w(pBlock, cbBlock);
    w.Dword(WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | DS_SETFONT);
    w.Dword(WS_EX_CONTROLPARENT);
    w.Word((WORD)(sizeof(s_aItems) / sizeof(s_aItems[0])));
    w.Short(0);
    w.Short(0);
    w.Short(290);
    w.Short(68);
    w.Word(0);  // no menu
    w.Word(0);  // the default class
    w.Text(""); // no title
    w.Word(8);
    w.Text("MS Sans Serif");
    for (const TEMPLATEITEM& item : s_aItems)
    {
        w.Align();
        w.Dword(item.dwStyle | WS_CHILD | WS_VISIBLE);
        w.Dword(0);
        w.Short(item.x);
        w.Short(item.y);
        w.Short(item.cx);
        w.Short(item.cy);
        w.Word(item.wId);
        w.Text(item.pszClass);
        w.Text(item.pszText);
        w.Word(0); // no creation data
    }
    return w.Size();
}

UINT_PTR CALLBACK InstallDlgHook(HWND hDlg, UINT uMsg, WPARAM, LPARAM lParam)
{
    if (uMsg == WM_INITDIALOG)
    {
        CInstallDlg* pState = (CInstallDlg*)((OPENFILENAMEA*)lParam)->lCustData;
        SetWindowLongPtrA(hDlg, GWLP_USERDATA, (LONG_PTR)pState);
        pState->hDlg = hDlg;
        char szLevel[16];
        wsprintfA(szLevel, "%i", pState->nLevel);
        SetDlgItemTextA(hDlg, IDC_LEVEL, szLevel);
        CheckDlgButton(hDlg, IDC_MAKEDEFAULT, BST_CHECKED);
        const int nRadio = pState->bTimestamp ? IDC_TIMESTAMP : pState->bRecreate ? IDC_RECREATE : IDC_APPEND;
        CheckRadioButton(hDlg, IDC_RECREATE, IDC_TIMESTAMP, nRadio);
        CheckDlgButton(hDlg, IDC_SEPARATE, pState->bProcessSeparate ? BST_CHECKED : BST_UNCHECKED);
    }
    else if (uMsg == WM_NOTIFY && ((NMHDR*)lParam)->code == CDN_FILEOK)
    {
        CInstallDlg* pState = (CInstallDlg*)GetWindowLongPtrA(hDlg, GWLP_USERDATA);
        if (pState)
        {
            char szLevel[64];
            GetDlgItemTextA(hDlg, IDC_LEVEL, szLevel, sizeof(szLevel));
            pState->nLevel = atoi(szLevel);
            pState->bMakeDefault = IsDlgButtonChecked(hDlg, IDC_MAKEDEFAULT) == BST_CHECKED;
            pState->bRecreate = IsDlgButtonChecked(hDlg, IDC_RECREATE) == BST_CHECKED;
            pState->bTimestamp = IsDlgButtonChecked(hDlg, IDC_TIMESTAMP) == BST_CHECKED;
            pState->bProcessSeparate = IsDlgButtonChecked(hDlg, IDC_SEPARATE) == BST_CHECKED;
        }
    }
    return 0;
}

DWORD RunInstallDialog(HKEY hRoot, const char* pszLibraryPath)
{
    CInstallDlg state;
    ZeroMemory(&state, sizeof(state));
    state.nLevel = 8;
    state.bMakeDefault = TRUE;
    char szInitialDir[LOG_PATH_SIZE] = "";

    char szKey[KEY_NAME_SIZE];
    if (!SettingsKeyName(pszLibraryPath, szKey, sizeof(szKey)))
        return ERROR_FILENAME_EXCED_RANGE;
    HKEY hKey;
    if (RegOpenKeyExA(hRoot, szKey, 0, KEY_READ, &hKey) == ERROR_SUCCESS)
    {
        char szRaw[LOG_PATH_SIZE + 1];
        if (QueryLogName(hKey, szRaw) == ERROR_SUCCESS)
        {
            char* pszSlash = strrchr(szRaw, '\\');
            if (pszSlash)
            {
                *pszSlash = 0;
                lstrcpynA(szInitialDir, szRaw, sizeof(szInitialDir));
                lstrcpynA(state.szFile, pszSlash + 1, sizeof(state.szFile));
            }
            else
                lstrcpynA(state.szFile, szRaw, sizeof(state.szFile));
        }
        DWORD dw;
        if (QueryDword(hKey, "Level", &dw))
            state.nLevel = (int)dw;
        if (QueryDword(hKey, "Recreate", &dw))
            state.bRecreate = dw != 0;
        if (QueryDword(hKey, "Timestamp", &dw))
            state.bTimestamp = dw != 0;
        if (QueryDword(hKey, "ProcessSeparate", &dw))
            state.bProcessSeparate = dw != 0;
        RegCloseKey(hKey);
    }

    BYTE* pTemplate = (BYTE*)GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, LOG_TEMPLATE_SIZE);
    if (!pTemplate)
        return ERROR_NOT_ENOUGH_MEMORY;
    BuildDialogTemplate(pTemplate, LOG_TEMPLATE_SIZE);

    OPENFILENAMEA& ofn = state.ofn;
    ofn.lStructSize = sizeof(OPENFILENAMEA);
    ofn.hwndOwner = NULL;
    ofn.hInstance = (HINSTANCE)pTemplate; // with a fixed block the handle is the pointer
    ofn.lpstrFilter = "Log files\0*.log\0All files\0*.*\0";
    ofn.lpstrFile = state.szFile;
    ofn.nMaxFile = sizeof(state.szFile);
    ofn.lpstrInitialDir = szInitialDir[0] ? szInitialDir : NULL;
    ofn.lpstrTitle = "Install 64-bit version of Glimmerode Log object";
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_ENABLEHOOK | OFN_ENABLETEMPLATEHANDLE | OFN_EXPLORER |
                OFN_ENABLESIZING;
    ofn.lpstrDefExt = "log";
    ofn.lCustData = (LPARAM)&state;
    ofn.lpfnHook = InstallDlgHook;

    DWORD dwError = ERROR_SUCCESS;
    if (GetSaveFileNameA(&ofn))
    {
        if (state.bMakeDefault)
            WriteBinding(hRoot, pszLibraryPath);
        dwError = WriteSettings(hRoot, pszLibraryPath, state.szFile, (DWORD)state.nLevel, state.bRecreate ? 1 : 0,
                                state.bTimestamp ? 1 : 0, state.bProcessSeparate ? 1 : 0);
    }
    GlobalFree(pTemplate);
    return dwError;
}
