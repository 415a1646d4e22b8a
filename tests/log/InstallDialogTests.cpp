// The install dialog, run by rundll32 as a user runs it, and driven from this
// process the way a user would fill it: it runs with a display (Wine's null
// graphics driver in a copy of the prefix). The registry is checked after
// rundll32 ended. Also the fatal-error box, found and dismissed.
#include <gtest/gtest.h>

#include "IDSLog.h"
#include "LogTestSupport.h"

using namespace logtest;

namespace {

const char* const TITLE = "Install 64-bit version of Glimmerode Log object";
const int FILE_NAME_FIELD = 0x047C;

HWND WaitForWindow(const char* pszTitle, DWORD dwTimeout = 30000)
{
    for (DWORD t = 0; t < dwTimeout; t += 50)
    {
        HWND h = FindWindowA(NULL, pszTitle);
        if (h && IsWindowVisible(h))
            return h;
        Sleep(50);
    }
    return NULL;
}

BOOL CALLBACK FindOwnControls(HWND hChild, LPARAM lParam)
{
    if (GetDlgItem(hChild, 201))
    {
        *(HWND*)lParam = hChild;
        return FALSE;
    }
    return TRUE;
}

std::string TextOf(HWND hDlg, int nId)
{
    char sz[512] = "";
    GetDlgItemTextA(hDlg, nId, sz, sizeof(sz));
    return sz;
}

bool Checked(HWND hDlg, int nId)
{
    return IsDlgButtonChecked(hDlg, nId) == BST_CHECKED;
}

void Click(HWND hDlg, int nId)
{
    SendMessageA(GetDlgItem(hDlg, nId), BM_CLICK, 0, 0);
}

// What the dialog showed when it opened.
struct Shown
{
    std::string level, file;
    bool bDefault, bRecreate, bAppend, bTimestamp, bSeparate;
};

// What the user does before closing it.
struct Actions
{
    const char* pszLevel; // NULL: leave as shown
    int nRadio;           // 0: leave as shown
    bool bToggleSeparate;
    bool bToggleDefault;
    std::string file; // empty: leave as shown
    bool bCancel;
};

class InstallRun
{
public:
    InstallRun() : m_dir("install") { m_dll = m_dir.CopyIn("Dez64.dll"); }
    const TempFolder& Dir() const { return m_dir; }
    const std::string& Dll() const { return m_dll; }
    std::string Key() const { return SettingsKeyOf(m_dll); }

    // Runs rundll32 <dll>,install, fills the dialog and closes it.
    bool Run(const Actions& a, Shown* pShown)
    {
        STARTUPINFOA si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi;
        std::string cmd = "rundll32.exe \"" + m_dll + "\",install";
        if (!CreateProcessA(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
            return false;
        bool bDriven = Drive(a, pShown);
        if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0)
        {
            TerminateProcess(pi.hProcess, 99); // never leave a dialog waiting
            WaitForSingleObject(pi.hProcess, 5000);
            bDriven = false;
        }
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return bDriven;
    }

private:
    static bool Drive(const Actions& a, Shown* pShown)
    {
        HWND hDlg = WaitForWindow(TITLE);
        if (!hDlg)
            return false;
        HWND hOwn = NULL;
        for (int i = 0; i < 100 && !hOwn; ++i)
        {
            EnumChildWindows(hDlg, FindOwnControls, (LPARAM)&hOwn);
            if (!hOwn)
                Sleep(50);
        }
        if (!hOwn)
            return false;
        Sleep(200); // let the dialog finish its start
        pShown->level = TextOf(hOwn, 201);
        pShown->file = TextOf(hDlg, FILE_NAME_FIELD);
        pShown->bDefault = Checked(hOwn, 202);
        pShown->bRecreate = Checked(hOwn, 203);
        pShown->bAppend = Checked(hOwn, 204);
        pShown->bTimestamp = Checked(hOwn, 205);
        pShown->bSeparate = Checked(hOwn, 206);
        if (a.bCancel)
        {
            PostMessageA(hDlg, WM_COMMAND, IDCANCEL, 0);
            return true;
        }
        if (a.pszLevel)
            SetDlgItemTextA(hOwn, 201, a.pszLevel);
        if (a.nRadio)
            Click(hOwn, a.nRadio);
        if (a.bToggleSeparate)
            Click(hOwn, 206);
        if (a.bToggleDefault)
            Click(hOwn, 202);
        if (!a.file.empty())
            SetDlgItemTextA(hDlg, FILE_NAME_FIELD, a.file.c_str());
        PostMessageA(hDlg, WM_COMMAND, IDOK, 0);
        return true;
    }

    TempFolder m_dir;
    std::string m_dll;
};

class InstallDialog : public ::testing::Test
{
protected:
    BindingGuard m_binding;
};

TEST_F(InstallDialog, FirstInstallShowsDefaultsAndCancelWritesNothing)
{
    InstallRun run;
    const std::string before = QueryText(HKEY_CURRENT_USER, BINDING_KEY, NULL);
    Shown shown = {};
    ASSERT_TRUE(run.Run({NULL, 0, false, false, "", true}, &shown));
    EXPECT_EQ("8", shown.level);
    EXPECT_TRUE(shown.bDefault);
    EXPECT_TRUE(shown.bAppend);
    EXPECT_FALSE(shown.bRecreate);
    EXPECT_FALSE(shown.bTimestamp);
    EXPECT_FALSE(shown.bSeparate);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, run.Key()));
    EXPECT_EQ(before, QueryText(HKEY_CURRENT_USER, BINDING_KEY, NULL));
}

TEST_F(InstallDialog, ExistingSettingsAreShownAndTheChoiceWritten)
{
    InstallRun run;
    SettingsKey key(HKEY_CURRENT_USER, run.Dll(),
                    {SettingValue::Text("Log", run.Dir() / "app.log"), SettingValue::Dword("Level", 3),
                     SettingValue::Dword("Recreate", 1), SettingValue::Dword("Timestamp", 0),
                     SettingValue::Dword("ProcessSeparate", 1)});
    Shown shown = {};
    // A bare file name lands in the folder the dialog opened in: the one of
    // the old "Log" value.
    ASSERT_TRUE(run.Run({"5", 205, false, false, "chosen.log", false}, &shown));
    EXPECT_EQ("3", shown.level);
    EXPECT_EQ("app.log", shown.file);
    EXPECT_TRUE(shown.bRecreate);
    EXPECT_FALSE(shown.bAppend);
    EXPECT_TRUE(shown.bSeparate);

    EXPECT_EQ(run.Dir() / "chosen.log", QueryText(HKEY_CURRENT_USER, run.Key(), "Log"));
    EXPECT_EQ(5, QueryDword(HKEY_CURRENT_USER, run.Key(), "Level"));
    EXPECT_EQ(0, QueryDword(HKEY_CURRENT_USER, run.Key(), "Recreate"));
    EXPECT_EQ(1, QueryDword(HKEY_CURRENT_USER, run.Key(), "Timestamp"));
    EXPECT_EQ(1, QueryDword(HKEY_CURRENT_USER, run.Key(), "ProcessSeparate"));
    EXPECT_EQ(PipePath(run.Dll()), QueryText(HKEY_CURRENT_USER, BINDING_KEY, NULL));
}

TEST_F(InstallDialog, RadioChoicesAndKeepingTheBinding)
{
    struct Case
    {
        int nRadio;
        long long llRecreate, llTimestamp;
    } cases[] = {{203, 1, 0}, {204, 0, 0}};
    for (const Case& c : cases)
    {
        InstallRun run;
        const std::string before = QueryText(HKEY_CURRENT_USER, BINDING_KEY, NULL);
        SettingsKey key(HKEY_CURRENT_USER, run.Dll(), {});
        Shown shown = {};
        ASSERT_TRUE(run.Run({NULL, c.nRadio, true, true, run.Dir() / "radio.log", false}, &shown));
        EXPECT_EQ(run.Dir() / "radio.log", QueryText(HKEY_CURRENT_USER, run.Key(), "Log"));
        EXPECT_EQ(8, QueryDword(HKEY_CURRENT_USER, run.Key(), "Level"));
        EXPECT_EQ(c.llRecreate, QueryDword(HKEY_CURRENT_USER, run.Key(), "Recreate")) << c.nRadio;
        EXPECT_EQ(c.llTimestamp, QueryDword(HKEY_CURRENT_USER, run.Key(), "Timestamp")) << c.nRadio;
        EXPECT_EQ(1, QueryDword(HKEY_CURRENT_USER, run.Key(), "ProcessSeparate"));
        EXPECT_EQ(before, QueryText(HKEY_CURRENT_USER, BINDING_KEY, NULL)) << "make-default was cleared";
    }
}

TEST(FatalErrorBox, ShownOnItsOwnThreadAndTheLibraryStaysUntilClosed)
{
    TempFolder dir("fatal");
    const std::string dll = dir.CopyIn("Dez64.dll");
    const std::string log = dir / "missing\\log.log";
    SettingsKey key(HKEY_CURRENT_USER, dll, {SettingValue::Text("Log", log)});
    HMODULE hDll = LoadLibraryA(dll.c_str());
    ASSERT_NE(nullptr, hDll);
    PFN_GetLogObject pfn = (PFN_GetLogObject)(void*)GetProcAddress(hDll, "Exp_GetLogObject");
    IDSLog* pLog = NULL;
    ASSERT_EQ(S_OK, pfn(&pLog));
    IDSLog* pClient = pLog;
    EXPECT_EQ((HRESULT)0x80070003, pLog->RegisterClient(&pClient, 0, 0)) << "the call does not wait for the box";
    pLog->UnregisterClient((void**)&pClient);

    HWND hBox = WaitForWindow("Log fatal error");
    ASSERT_NE(nullptr, hBox);
    const std::string text = TextOf(hBox, 0xFFFF);
    EXPECT_EQ(0u, text.find("GetLastError()=0x00000003 (3)\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\r\nLogfile '" + log + "'\r\n")) << text;

    // Unloading while the box is up keeps the library until it is closed.
    FreeLibrary(hDll);
    EXPECT_NE(nullptr, GetModuleHandleA(dll.c_str()));
    PostMessageA(hBox, WM_COMMAND, IDOK, 0);
    for (int i = 0; i < 200 && GetModuleHandleA(dll.c_str()); ++i)
        Sleep(50);
    EXPECT_EQ(nullptr, GetModuleHandleA(dll.c_str()));
    EXPECT_FALSE(FileExists(log));
}

} // namespace
