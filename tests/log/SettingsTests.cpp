// The settings reader and writers on a private registry root (a key of its
// own under HKCU stands in for HKEY_CURRENT_USER), and the install dialog's
// template bytes.
#include <gtest/gtest.h>

#include <string>

#include "LogTestSupport.h"
#include "Settings.h"

using namespace logtest;

namespace {

const char* const DLL = "Z:\\tmp\\t1\\Dez64.dll";
const char* const PIPE_KEY = "Software\\_VoxaDEZ64\\Z:|tmp|t1|Dez64.dll";

// A private root key, removed with everything below it at the end.
class PrivateRoot
{
public:
    PrivateRoot()
    {
        static LONG s_n;
        m_name = "Software\\DezLogTests\\" + std::to_string(GetCurrentProcessId()) + "_" +
                 std::to_string(InterlockedIncrement(&s_n));
        RegCreateKeyExA(HKEY_CURRENT_USER, m_name.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &m_h, NULL);
        HKEY hSoftware;
        RegCreateKeyExA(m_h, "Software", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hSoftware, NULL);
        RegCloseKey(hSoftware);
    }
    ~PrivateRoot()
    {
        RegCloseKey(m_h);
        DeleteTree(HKEY_CURRENT_USER, m_name);
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\DezLogTests"); // only once it is empty
    }
    operator HKEY() const { return m_h; }

private:
    std::string m_name;
    HKEY m_h = NULL;
};

TEST(ReadSettings, EachValueIsReadOrFallsBackToItsDefault)
{
    char szTemp[MAX_PATH];
    GetEnvironmentVariableA("TEMP", szTemp, MAX_PATH);
    struct Case
    {
        const char* pszWhat;
        std::vector<SettingValue> values;
        DWORD dwResult;
        std::string log;
        UINT nLevel;
        BOOL bRecreate, bTimestamp, bSeparate;
    } cases[] = {
        {"only Log", {SettingValue::Text("Log", "C:\\logs\\app.log")}, 0, "C:\\logs\\app.log", 8, TRUE, FALSE, FALSE},
        {"all set",
         {SettingValue::Text("Log", "C:\\a.log"), SettingValue::Dword("Level", 12), SettingValue::Dword("Recreate", 0),
          SettingValue::Dword("Timestamp", 5), SettingValue::Dword("ProcessSeparate", 1)},
         0, "C:\\a.log", 12, FALSE, TRUE, TRUE},
        {"expanded", {SettingValue::Text("Log", "%TEMP%\\x.log")}, 0, std::string(szTemp) + "\\x.log", 8, TRUE, FALSE,
         FALSE},
        {"Level as text",
         {SettingValue::Text("Log", "C:\\a.log"), SettingValue::Text("Level", "2")},
         0, "C:\\a.log", 8, TRUE, FALSE, FALSE},
        {"Level of two bytes",
         {SettingValue::Text("Log", "C:\\a.log"), SettingValue::Raw("Level", REG_DWORD, std::string("\x02\x00", 2))},
         0, "C:\\a.log", 8, TRUE, FALSE, FALSE},
        {"Log as REG_EXPAND_SZ", {SettingValue::Text("Log", "%TEMP%\\x.log", REG_EXPAND_SZ)}, 13, "", 8, TRUE, FALSE,
         FALSE},
        {"Log empty", {SettingValue::Text("Log", "")}, 13, "", 8, TRUE, FALSE, FALSE},
        {"Log as DWORD", {SettingValue::Dword("Log", 1)}, 13, "", 8, TRUE, FALSE, FALSE},
        {"Log missing", {SettingValue::Dword("Level", 1)}, ERROR_FILE_NOT_FOUND, "", 8, TRUE, FALSE, FALSE},
        // 259 characters and the NUL fill the buffer exactly; one more does not fit.
        {"Log of 260 bytes", {SettingValue::Text("Log", "C:\\" + std::string(256, 'l'))}, 0,
         "C:\\" + std::string(256, 'l'), 8, TRUE, FALSE, FALSE},
        {"Log without NUL", {SettingValue::Raw("Log", REG_SZ, "C:\\" + std::string(256, 'l'))}, 0,
         "C:\\" + std::string(256, 'l'), 8, TRUE, FALSE, FALSE},
        {"Log of 260 bytes without NUL", {SettingValue::Raw("Log", REG_SZ, std::string(260, 'l'))}, ERROR_MORE_DATA,
         "", 8, TRUE, FALSE, FALSE},
        {"Log of 261 bytes", {SettingValue::Text("Log", "C:\\" + std::string(257, 'l'))}, ERROR_MORE_DATA, "", 8,
         TRUE, FALSE, FALSE},
        {"expansion beyond the buffer", {SettingValue::Text("Log", "%TEMP%\\" + std::string(250, 'x'))},
         ERROR_FILENAME_EXCED_RANGE, "", 8, TRUE, FALSE, FALSE},
    };
    for (const Case& c : cases)
    {
        PrivateRoot root;
        SettingsKey key(root, DLL, c.values);
        LOGSETTINGS s;
        memset(&s, 0x55, sizeof(s));
        EXPECT_EQ(c.dwResult, ReadSettings(root, DLL, &s)) << c.pszWhat;
        EXPECT_EQ(c.log, s.szLog) << c.pszWhat;
        EXPECT_EQ(c.nLevel, s.nLevel) << c.pszWhat;
        EXPECT_EQ(c.bRecreate, s.bRecreate) << c.pszWhat;
        EXPECT_EQ(c.bTimestamp, s.bTimestamp) << c.pszWhat;
        EXPECT_EQ(c.bSeparate, s.bProcessSeparate) << c.pszWhat;
    }
    PrivateRoot root;
    LOGSETTINGS s;
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, ReadSettings(root, DLL, &s)) << "no settings key";
}

TEST(DefaultSettings, DefaultWritesTheBindingAndTheDefaultValues)
{
    PrivateRoot root;
    ASSERT_EQ(0u, WriteDefaultSettings(root, DLL));
    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(QueryValue(root, "Software\\_VoxaDEZ64", NULL, &type, &data));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ(std::string("Z:|tmp|t1|Dez64.dll") + '\0', data);
    EXPECT_EQ("Z:\\tmp\\t1\\log.log", QueryText(root, PIPE_KEY, "Log"));
    EXPECT_EQ(8, QueryDword(root, PIPE_KEY, "Level"));
    EXPECT_EQ(0, QueryDword(root, PIPE_KEY, "Recreate"));
    EXPECT_EQ(0, QueryDword(root, PIPE_KEY, "Timestamp"));
    EXPECT_EQ(0, QueryDword(root, PIPE_KEY, "ProcessSeparate"));

    // A library whose folder leaves no room for the file name writes nothing.
    PrivateRoot root2;
    const std::string tooLong = "C:\\" + std::string(249, 'f') + "\\Dez64.dll";
    EXPECT_EQ((DWORD)ERROR_FILENAME_EXCED_RANGE, WriteDefaultSettings(root2, tooLong.c_str()));
    EXPECT_FALSE(KeyExists(root2, "Software\\_VoxaDEZ64"));
}

TEST(RemoveSettings, DeletesOnlyWhatBecomesEmpty)
{
    const char* const OTHER = "C:\\other\\Dez64.dll";
    const std::string otherKey = "Software\\_VoxaDEZ64\\C:|other|Dez64.dll";
    {
        // Alone: the settings key and the binding go, "Software" stays.
        PrivateRoot root;
        WriteDefaultSettings(root, DLL);
        EXPECT_EQ(0u, RemoveSettings(root, DLL));
        EXPECT_FALSE(KeyExists(root, "Software\\_VoxaDEZ64"));
        EXPECT_TRUE(KeyExists(root, "Software"));
    }
    {
        // Another copy's settings remain: only this copy's key goes, the
        // binding stays even though it names this copy.
        PrivateRoot root;
        WriteDefaultSettings(root, OTHER);
        WriteDefaultSettings(root, DLL);
        EXPECT_EQ(0u, RemoveSettings(root, DLL));
        EXPECT_FALSE(KeyExists(root, PIPE_KEY));
        EXPECT_TRUE(KeyExists(root, otherKey));
        EXPECT_EQ("Z:|tmp|t1|Dez64.dll", QueryText(root, "Software\\_VoxaDEZ64", NULL));
    }
    {
        // This copy has no key: the walk climbs, and the binding key is not
        // deleted while another copy's settings are under it.
        PrivateRoot root;
        WriteDefaultSettings(root, OTHER);
        EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, RemoveSettings(root, DLL));
        EXPECT_TRUE(KeyExists(root, otherKey));
        EXPECT_EQ("C:|other|Dez64.dll", QueryText(root, "Software\\_VoxaDEZ64", NULL));
    }
    {
        // Nothing there at all: nothing to do, "Software" stays.
        PrivateRoot root;
        EXPECT_EQ(0u, RemoveSettings(root, DLL));
        EXPECT_TRUE(KeyExists(root, "Software"));
    }
}

// Reads the template back the way the dialog manager does.
class TemplateReader
{
public:
    explicit TemplateReader(const BYTE* p) : m_p(p) {}
    WORD Word() { return Get<WORD>(); }
    DWORD Dword() { return Get<DWORD>(); }
    short Short() { return Get<short>(); }
    std::string Text()
    {
        std::string s;
        for (WORD w; (w = Word()) != 0;)
            s += (char)w;
        return s;
    }
    void Align() { m_n = (m_n + 3) & ~3; }

private:
    template <class T> T Get()
    {
        T t;
        memcpy(&t, m_p + m_n, sizeof(T));
        m_n += sizeof(T);
        return t;
    }
    const BYTE* m_p;
    size_t m_n = 0;
};

TEST(InstallTemplate, TheDialogTemplateIsBuiltByteForByteAndRefusesASmallBlock)
{
    BYTE block[LOG_TEMPLATE_SIZE];
    const int cb = BuildDialogTemplate(block, sizeof(block));
    ASSERT_GT(cb, 0);
    EXPECT_EQ(0, BuildDialogTemplate(block, 100)) << "a block too small is refused";

    TemplateReader r(block);
    EXPECT_EQ(0x56000040u, r.Dword());
    EXPECT_EQ(0x00010000u, r.Dword());
    EXPECT_EQ(7, r.Word());
    EXPECT_EQ(0, r.Short());
    EXPECT_EQ(0, r.Short());
    EXPECT_EQ(290, r.Short());
    EXPECT_EQ(68, r.Short());
    EXPECT_EQ(0, r.Word()) << "menu";
    EXPECT_EQ(0, r.Word()) << "class";
    EXPECT_EQ("", r.Text()) << "title";
    EXPECT_EQ(8, r.Word());
    EXPECT_EQ("MS Sans Serif", r.Text());

    struct Item
    {
        WORD wId;
        const char* pszClass;
        const char* pszText;
        DWORD dwStyle;
        short x, y, cx, cy;
    } items[] = {
        {201, "Edit", "", 0x50802080, 75, 0, 21, 12},
        {0xFFFF, "Static", "Logging level (0..16):", 0x50000000, 5, 2, 68, 8},
        {202, "Button", "Make this copy of log object default", 0x50000003, 4, 16, 150, 10},
        {206, "Button", "Make separate log for each proccess", 0x50000003, 160, 16, 400, 10},
        {204, "Button", "Add new log to the end of the old file", 0x50000009, 4, 30, 300, 10},
        {203, "Button", "Recreate log file on each start", 0x50000009, 4, 40, 300, 10},
        {205, "Button", "Create new log file with timestamped name", 0x50000009, 4, 50, 300, 10},
    };
    for (const Item& item : items)
    {
        r.Align();
        EXPECT_EQ(item.dwStyle, r.Dword()) << item.wId;
        EXPECT_EQ(0u, r.Dword());
        EXPECT_EQ(item.x, r.Short());
        EXPECT_EQ(item.y, r.Short());
        EXPECT_EQ(item.cx, r.Short());
        EXPECT_EQ(item.cy, r.Short());
        EXPECT_EQ(item.wId, r.Word());
        EXPECT_EQ(item.pszClass, r.Text());
        EXPECT_EQ(item.pszText, r.Text());
        EXPECT_EQ(0, r.Word()) << "creation data";
    }
}

} // namespace
