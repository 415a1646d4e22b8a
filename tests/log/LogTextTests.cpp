// The log library's text helpers, checked on their own.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "LogText.h"

namespace {

SYSTEMTIME Time(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, WORD ms)
{
    SYSTEMTIME st = {};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    st.wMilliseconds = ms;
    return st;
}

TEST(LogText, HResultFromWin32)
{
    EXPECT_EQ((HRESULT)0, HResultFromWin32(0));
    EXPECT_EQ((HRESULT)0x80070002, HResultFromWin32(2));
    EXPECT_EQ((HRESULT)0x8007007E, HResultFromWin32(126));
    EXPECT_EQ((HRESULT)0x80072345, HResultFromWin32(0x12345));
    EXPECT_EQ((HRESULT)0x80004005, HResultFromWin32(0x80004005));
}

TEST(LogText, ColumnGroupFollowsThreadAndTime)
{
    const SYSTEMTIME last = Time(2026, 12, 8, 13, 5, 42, 7);
    struct Case
    {
        DWORD dwThread;
        SYSTEMTIME st;
        const char* pszExpected;
    } cases[] = {
        {0x1A4, last, "01A4 ?  2 13:05:42.007\t"},                        // another thread
        {0x123456, Time(2026, 12, 8, 9, 1, 2, 3), "23456 ?  2 09:01:02.003\t"}, // id cut to 20 bits
        {0x20, last, "\t\t\t"},                                           // same thread, same time
        {0x20, Time(2026, 12, 8, 13, 5, 42, 8), "\t          .008\t"},      // only the milliseconds differ
        {0x20, Time(2026, 12, 8, 13, 5, 43, 7), "\t  13:05:43.007\t"},      // another second
        {0x20, Time(2026, 12, 9, 13, 5, 42, 7), "\t  13:05:42.007\t"},      // another day
        {0x20, Time(0xFFFF, 12, 8, 13, 5, 42, 7), "\t          .---\t"},    // no time of its own
    };
    for (const Case& c : cases)
    {
        char sz[64];
        const int n = FormatColumnGroup(sz, c.dwThread, "?", 2, c.st, 0x20, last);
        EXPECT_STREQ(c.pszExpected, sz);
        EXPECT_EQ(lstrlenA(c.pszExpected), n);
    }
    SYSTEMTIME none = last;
    none.wYear = 0xFFFF;
    char sz[64];
    FormatColumnGroup(sz, 0x20, "?", -15, none, 0x20, none);
    EXPECT_STREQ("\t\t\t", sz); // a second timeless line of a flush
    FormatColumnGroup(sz, 0x21, "?", -15, none, 0x20, none);
    EXPECT_STREQ("0021 ?-15         .---\t", sz);
}

TEST(LogText, NormaliseMessage)
{
    struct Case
    {
        const char* pszMessage;
        int nRoom;
        const char* pszExpected;
    } cases[] = {
        {"a", 100, "a\r\n"},
        {"a\nb", 100, "a\r\n\t\t\t\tb\r\n"},
        {"a\n\n\nb", 100, "a\r\n\r\n\r\n\t\t\t\tb\r\n"},
        {"a\r\nb", 100, "a\r\n\t\t\t\tb\r\n"},
        {"a\r\rb", 100, "a\r\n\t\t\t\tb\r\n"}, // a run without LF counts as one
        {"a\n", 100, "a\r\n"},
        {"a\n\n", 100, "a\r\n\r\n"},
        {"\nb", 100, "\r\n\t\t\t\tb\r\n"},
        {"", 100, ""},
        {"abc", 2, "\r\n"},
        {"abc", 1, ""},
        {"abc", 0, ""},
        {"abcdef", 5, "abc\r\n"},
        {"ab\ncd", 9, "ab\r\n"},                 // no room for a continuation
        {"ab\ncd", 11, "ab\r\n\t\t\t\tc\r\n"},
        {"a\n\n\n\nb", 8, "a\r\n\r\n\r\n"},     // empty lines while room remains
    };
    for (const Case& c : cases)
    {
        char sz[128];
        memset(sz, 'X', sizeof(sz));
        const int n = NormaliseMessage(sz, c.nRoom, c.pszMessage);
        EXPECT_STREQ(c.pszExpected, sz) << c.pszMessage << " room " << c.nRoom;
        EXPECT_EQ(lstrlenA(c.pszExpected), n);
        EXPECT_LE(n, c.nRoom < 0 ? 0 : c.nRoom);
    }
}

TEST(LogText, LocalTimeTextAndGroupedNumber)
{
    char sz[64];
    LocalTimeText(sz, Time(2026, 12, 8, 13, 5, 42, 7));
    EXPECT_STREQ("Local 2026/Dec/8 13:05:42.007", sz);
    LocalTimeText(sz, Time(2027, 1, 31, 0, 0, 0, 0));
    EXPECT_STREQ("Local 2027/Jan/31 00:00:00.000", sz);

    struct Case
    {
        LONGLONG ll;
        const char* pszExpected;
    } cases[] = {
        {0, "0"},
        {7, "7"},
        {1000, "1 000"},
        {1234567, "1 234 567"},
        {-1234, "-1 234"},
        {1000000000000000000LL, "1 000 000 000 000 000 000"},
        {LLONG_MAX, "9 223 372 036 854 775 807"},
        {LLONG_MIN, "-9 223 372 036 854 775 808"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(lstrlenA(c.pszExpected), GroupedNumber(sz, c.ll));
        EXPECT_STREQ(c.pszExpected, sz);
    }
}

TEST(LogText, TimestampAndProcessNames)
{
    const SYSTEMTIME st = Time(2026, 12, 8, 13, 5, 42, 0);
    struct Case
    {
        const char* pszName;
        const char* pszExpected;
    } stamps[] = {
        {"c:\\logs\\app.log", "c:\\logs\\app_2026-12-08_13.05.42.log"},
        {"c:\\logs\\app", "c:\\logs\\app2026-12-08_13.05.42"},
        {"c:\\logs.d\\app", "c:\\logs.d\\app2026-12-08_13.05.42"},
        {"c:/logs/a.b.log", "c:/logs/a.b_2026-12-08_13.05.42.log"},
    };
    for (const Case& c : stamps)
    {
        char sz[LOG_NAME_SIZE];
        lstrcpyA(sz, c.pszName);
        ApplyTimestamp(sz, st);
        EXPECT_STREQ(c.pszExpected, sz);
    }
    // A name that would grow too long stays as it is.
    std::string longName = "c:\\" + std::string(240, 'n') + ".log";
    char sz[LOG_NAME_SIZE];
    lstrcpyA(sz, longName.c_str());
    ApplyTimestamp(sz, st);
    EXPECT_EQ(longName, sz);

    struct PidCase
    {
        const char* pszName;
        DWORD dwPid;
        const char* pszExpected;
    } pids[] = {
        {"c:\\logs\\app.log", 0x1A4, "c:\\logs\\app_01A4.log"},
        {"c:\\logs\\app", 0x1A4, "c:\\logs\\app_01A4"},
        {"c:\\logs.d\\app", 0x1A4, "c:\\logs.d\\app_01A4"},
        {"C:app", 0x1A4, "C:app_01A4"},
        {"c:\\logs\\app.log", 0x12345, "c:\\logs\\app_12345.log"},
    };
    for (const PidCase& c : pids)
    {
        lstrcpyA(sz, c.pszName);
        ApplyProcessSeparate(sz, c.dwPid);
        EXPECT_STREQ(c.pszExpected, sz);
    }
    // The longest name the settings allow still takes the suffix whole.
    std::string longest = "c:\\" + std::string(252, 'n') + ".log";
    lstrcpyA(sz, longest.c_str());
    ApplyProcessSeparate(sz, 0xFFFFFFFF);
    EXPECT_EQ("c:\\" + std::string(252, 'n') + "_FFFFFFFF.log", sz);
}

TEST(LogText, ModulePrefix)
{
    const std::string longPath = "C:\\" + std::string(100, 'm') + ".dll";
    struct Case
    {
        const char* pszPath;
        UINT cbSize;
        const char* pszExpected;
    } cases[] = {
        {"C:\\Program Files\\player.exe", 64, "PLAYER: "},
        {"C:\\x\\Morphlet.DLL", 64, "MORPHLET: "},
        {"C:\\a.exe", 64, "A: "},
        {"C:\\.exe", 64, ".EXE: "},
        {"C:\\x\\tool.com", 64, "TOOL.COM: "},
        {"C:\\x\\abcdefgh.dll", 6, "ABC: "},
        {"C:\\x\\abcdefgh.dll", 3, ": "},
        {"C:\\x\\abcdefgh.dll", 2, ""},
        {"player.exe", 64, "N/A: "},
        {NULL, 64, "N/A: "},
        {longPath.c_str(), 64, NULL},
    };
    for (const Case& c : cases)
    {
        char sz[64];
        memset(sz, 'X', sizeof(sz));
        ShapeModulePrefix(c.pszPath, sz, c.cbSize);
        if (c.pszExpected)
            EXPECT_STREQ(c.pszExpected, sz);
        else
            EXPECT_EQ(std::string(61, 'M') + ": ", sz); // at most 63 characters and the NUL
    }
}

TEST(LogText, PipePathAndDefaultLogName)
{
    char sz[LOG_PATH_SIZE];
    ASSERT_TRUE(MakePipePath("Z:\\tmp\\t1\\Dez64.dll", sz, sizeof(sz)));
    EXPECT_STREQ("Z:|tmp|t1|Dez64.dll", sz);
    EXPECT_FALSE(MakePipePath("C:\\abc", sz, 6));

    ASSERT_TRUE(MakeDefaultLogName("Z:\\tmp\\t1\\Dez64.dll", sz));
    EXPECT_STREQ("Z:\\tmp\\t1\\log.log", sz);
    ASSERT_TRUE(MakeDefaultLogName("C:/x/Dez64.dll", sz));
    EXPECT_STREQ("C:/x/log.log", sz);
    ASSERT_TRUE(MakeDefaultLogName("Dez64.dll", sz));
    EXPECT_STREQ("c:\\Temp\\log.log", sz);
    // The longest folder that still leaves room for "log.log".
    const std::string fits = "C:\\" + std::string(248, 'f') + "\\Dez64.dll";
    ASSERT_TRUE(MakeDefaultLogName(fits.c_str(), sz));
    EXPECT_EQ("C:\\" + std::string(248, 'f') + "\\log.log", sz);
    const std::string tooLong = "C:\\" + std::string(249, 'f') + "\\Dez64.dll";
    EXPECT_FALSE(MakeDefaultLogName(tooLong.c_str(), sz));
}

TEST(LogText, SymbolPath)
{
    char sz[780];
    ASSERT_TRUE(BuildSymbolPath(sz, sizeof(sz), "C:\\windows", NULL, "C:\\apps\\player.exe"));
    EXPECT_STREQ("C:\\windows\\Symbols\\dll\\;C:\\apps\\", sz);
    ASSERT_TRUE(BuildSymbolPath(sz, sizeof(sz), "C:\\windows", "D:\\pdb", "C:\\apps\\player.exe"));
    EXPECT_STREQ("C:\\windows\\Symbols\\dll\\;D:\\pdb;C:\\apps\\", sz);
    ASSERT_TRUE(BuildSymbolPath(sz, sizeof(sz), "C:\\windows", NULL, ""));
    EXPECT_STREQ("C:\\windows\\Symbols\\dll\\", sz);
    EXPECT_FALSE(BuildSymbolPath(sz, sizeof(sz), "", NULL, "C:\\apps\\player.exe"));

    // Segments that do not fit are left out, never cut.
    const std::string windows(259, 'w'), pdb(261, 'p'), exe = "C:\\" + std::string(250, 'e') + "\\x.exe";
    ASSERT_TRUE(BuildSymbolPath(sz, sizeof(sz), windows.c_str(), pdb.c_str(), exe.c_str()));
    EXPECT_EQ(windows + "\\Symbols\\dll\\;" + pdb, sz);
    EXPECT_LT(lstrlenA(sz), 780);
}

} // namespace
