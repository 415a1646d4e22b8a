// The log library's text helpers, checked on their own.
#include <gtest/gtest.h>

#include <climits>
#include <string.h>
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

// The columns are formatted by hand: they must give the very bytes of the
// system's formatter, for every priority the system can answer (its error
// value included), every thread id and every level.
TEST(LogText, ColumnsAreTheSystemFormattersBytes)
{
    const SYSTEMTIME st = Time(2026, 1, 2, 3, 4, 5, 6);
    const SYSTEMTIME other = Time(2026, 1, 2, 3, 4, 5, 7);
    for (int nPriority : {-15, -7, -2, -1, 0, 1, 2, 6, 15, 99, -99, 100, -100, (int)THREAD_PRIORITY_ERROR_RETURN})
        for (DWORD dwThread : {0x0u, 0xFu, 0x1A4u, 0xFFFFu, 0x10000u, 0xFFFFFu, 0x12345678u})
        {
            char szExpected[64], sz[64];
            wsprintfA(szExpected, "%04X %s%3i %s\t", (unsigned)(dwThread & 0xFFFFF), "?", nPriority, "03:04:05.006");
            EXPECT_EQ((int)strlen(szExpected), FormatColumnGroup(sz, dwThread, "?", nPriority, st, dwThread + 1, other));
            EXPECT_STREQ(szExpected, sz);
        }
    for (int nLevel : {0, 1, 8, 9, 30, 31, 64, 65, -1})
    {
        char szExpected[16], sz[16];
        wsprintfA(szExpected, "%i ", nLevel);
        EXPECT_EQ((int)strlen(szExpected), FormatLevel(sz, nLevel));
        EXPECT_STREQ(szExpected, sz);
    }
}

// A wide record in the ANSI code page: the bytes WideCharToMultiByte gives,
// up to the record's NUL or the limit, whatever the characters.
TEST(LogText, ConvertRecordAsTheSystemConverts)
{
    const std::wstring cases[] = {
        L"",
        L"\x09plain ASCII with a level character",
        L"caf\x00E9 and \x4E2D",
        L"\x7F\x80 edges",
        std::wstring(700, L'a'),
        std::wstring(590, L'b') + L"\x00E9" + std::wstring(20, L'c'),
    };
    for (const std::wstring& w : cases)
    {
        const int cchIn = w.size() < 600 ? (int)w.size() : 600;
        char szExpected[2048] = "";
        const int cch = WideCharToMultiByte(CP_ACP, 0, w.c_str(), cchIn, szExpected, sizeof(szExpected) - 1, NULL, NULL);
        szExpected[cch > 0 ? cch : 0] = 0;
        char sz[2048];
        EXPECT_EQ((int)strlen(szExpected), ConvertRecord(w.c_str(), 600, sz, sizeof(sz))) << w.size();
        EXPECT_STREQ(szExpected, sz) << w.size();
    }
}

TEST(LogText, MessagesEndWithCrLfAndIndentTheirFollowingLines)
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

TEST(LogText, ThePrefixIsTheUpperCaseModuleName)
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

TEST(LogText, TheSymbolPathJoinsTheWholeSegmentsThatFit)
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

TEST(LogText, BoundedTextTakesWholeChunksOnly)
{
    char sz[16];
    memset(sz, '#', sizeof(sz));
    CBoundedText text(sz, 12); // 11 characters and the NUL
    EXPECT_TRUE(text.Add("hello "));
    EXPECT_FALSE(text.Add("world!")); // one too many: refused whole
    EXPECT_STREQ("hello ", sz);
    EXPECT_TRUE(text.Refused());
    EXPECT_TRUE(text.Add("world")); // a chunk that fits still goes in
    EXPECT_STREQ("hello world", sz);
    EXPECT_EQ(11, text.Length());
    EXPECT_EQ(std::string(4, '#'), std::string(sz + 12, 4)); // nothing beyond the buffer

    CBoundedText reserved(sz, 12);
    reserved.SetReserve(4);
    EXPECT_TRUE(reserved.Add("1234567"));
    EXPECT_FALSE(reserved.Printf("%i", 8)); // would eat into the reserve
    reserved.SetReserve(0);
    EXPECT_TRUE(reserved.Printf("%s", "abcd"));
    EXPECT_STREQ("1234567abcd", sz);

    CBoundedText none(sz, 0);
    EXPECT_FALSE(none.Add(""));
    EXPECT_EQ(0, none.Length());
}

OSVERSIONINFOA Version(DWORD dwPlatform, DWORD dwMajor, DWORD dwMinor, DWORD dwBuild, const char* pszPack)
{
    OSVERSIONINFOA vi = {};
    vi.dwOSVersionInfoSize = sizeof(vi);
    vi.dwPlatformId = dwPlatform;
    vi.dwMajorVersion = dwMajor;
    vi.dwMinorVersion = dwMinor;
    vi.dwBuildNumber = dwBuild;
    lstrcpyA(vi.szCSDVersion, pszPack);
    return vi;
}

TEST(LogText, TheOsVersionTextNamesPlatformVersionAndBuild)
{
    struct Case
    {
        OSVERSIONINFOA vi;
        bool bNT;
        const char* pszExpected;
    } cases[] = {
        {Version(VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x04000565, ""), false, "Windows95 ver. 4.0, build 4.0.1381"},
        {Version(VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A0898, " A "), false,
         "Windows98 ver. 4.10, build 4.10.2200,  A "},
        {Version(VER_PLATFORM_WIN32_NT, 4, 0, 1381, "Service Pack 6"), true,
         "WindowsNT ver. 4.0, build 1381, Service Pack 6"},
        {Version(VER_PLATFORM_WIN32_NT, 5, 0, 2195, ""), true, "Windows2000 ver. 5.0, build 2195"},
        {Version(VER_PLATFORM_WIN32_NT, 6, 1, 7601, "Service Pack 1"), true,
         "WindowsXP ver. 6.1, build 7601, Service Pack 1"},
        {Version(VER_PLATFORM_WIN32_NT, 6, 2, 9200, ""), true, "WindowsXP ver. 6.2, build 9200"},
        {Version(VER_PLATFORM_WIN32_NT, 10, 0, 19045, ""), true, "Windows2000 ver. 10.0, build 19045"},
    };
    for (const Case& c : cases)
    {
        char sz[512];
        EXPECT_EQ(c.bNT, OsVersionText(sz, c.vi)) << c.pszExpected;
        EXPECT_STREQ(c.pszExpected, sz);
    }
    // A service-pack text that fills its whole field without a NUL.
    OSVERSIONINFOA full = Version(VER_PLATFORM_WIN32_NT, 6, 1, 7601, "");
    memset(full.szCSDVersion, 'p', sizeof(full.szCSDVersion));
    char sz[512];
    OsVersionText(sz, full);
    EXPECT_EQ("WindowsXP ver. 6.1, build 7601, " + std::string(127, 'p'), sz);
}

TEST(LogText, MeasuredMhzIsTruncatedAndZeroWithoutTicks)
{
    EXPECT_EQ(2400, MeasuredMhz(24000000, 100000, 10000000)); // 10 ms of a 10 MHz counter
    EXPECT_EQ(2400, MeasuredMhz(96000000, 40, 1000));         // 40 ms of the millisecond timer
    EXPECT_EQ(2399, MeasuredMhz(23999999, 100000, 10000000)); // truncated
    EXPECT_EQ(0, MeasuredMhz(24000000, 0, 10000000));         // no ticks: no division by zero
    EXPECT_EQ(0, MeasuredMhz(24000000, -5, 10000000));
    EXPECT_EQ(0, MeasuredMhz(24000000, 100000, 0));
    EXPECT_EQ(0, MeasuredMhz(~0ull, 1, 10000000)); // beyond an int
}

TEST(LogText, MemoryIsWrittenInWholeMegabytes)
{
    MEMORYSTATUS ms = {};
    ms.dwTotalPhys = (SIZE_T)24103 << 20;
    ms.dwAvailPhys = ((SIZE_T)23353 << 20) + 12345;
    ms.dwTotalVirtual = (SIZE_T)134217727 << 20;
    ms.dwAvailVirtual = (SIZE_T)1 << 20;
    ms.dwTotalPageFile = (SIZE_T)3 << 20;
    ms.dwAvailPageFile = 0;
    char sz[512];
    MemoryText(sz, ms);
    EXPECT_STREQ("\tPhysical :\ttotal 24103 MB,\tavailable 23353 MB\r\n"
                 "\tVirtual :\ttotal 134217727 MB,\tavailable 1 MB\r\n"
                 "\tPage file :\ttotal 3 MB,\tavailable 0 MB",
                 sz);
}

TEST(LogText, DisplayStateFlagsAreNamed)
{
    struct Case
    {
        DWORD dwState;
        DWORD dwDisplay;
        const char* pszExpected;
    } cases[] = {
        {0x5, 0, "PRIMARY desktop "},
        {0x8000000 | 0x4000000 | 0x2000000 | 0x3F, 0,
         "PRIMARY multi desktop mirror ModesPruned removable VGACompatible remote disconnect "},
        {0, 1, "gray"},
        {0x4, 2, "PRIMARY interlaced"},
        {0, 4, "testmode"},
        {0, 3, ""}, // one word for one value, none for others
        {0x40, 8, ""},
    };
    for (const Case& c : cases)
    {
        char sz[160];
        DisplayFlagsText(sz, c.dwState, c.dwDisplay);
        EXPECT_STREQ(c.pszExpected, sz) << std::hex << c.dwState << " " << c.dwDisplay;
    }

    char sz[400];
    DisplayDeviceLine(sz, 0, "\\\\.\\DISPLAY1", 1024, 768, 32, 60, "Wine Adapter", "PRIMARY desktop ");
    EXPECT_STREQ("\t[0] '\\\\.\\DISPLAY1', 1024*768*32bpp 60Hz, 'Wine Adapter', [PRIMARY desktop ] \r\n", sz);
    // Texts are held to the sizes of the device record.
    DisplayDeviceLine(sz, 12, std::string(40, 'n').c_str(), 0, 0, 0, 0, std::string(200, 's').c_str(), "");
    EXPECT_EQ("\t[12] '" + std::string(31, 'n') + "', 0*0*0bpp 0Hz, '" + std::string(127, 's') + "', [] \r\n", sz);

    struct Mode
    {
        int nRefresh;
        const char* pszExpected;
    } modes[] = {
        {0, "Current display mode: 1920*1080*32bpp, default refresh (0)"},
        {1, "Current display mode: 1920*1080*32bpp, default refresh (1)"},
        {60, "Current display mode: 1920*1080*32bpp, 60Hz"},
    };
    for (const Mode& m : modes)
    {
        CurrentModeText(sz, 1920, 1080, 32, m.nRefresh);
        EXPECT_STREQ(m.pszExpected, sz);
    }
}

TEST(LogText, DriveTypeAndTimingModeNames)
{
    const char* const types[] = {"UNKNOWN", "NO_ROOT_DIR", "REMOVABLE", "FIXED", "REMOTE",
                                 "CDROM",   "RAMDISK",     "absolutely unknown"};
    for (UINT i = 0; i < 8; ++i)
        EXPECT_STREQ(types[i], DriveTypeName(i));
    EXPECT_STREQ("absolutely unknown", DriveTypeName(0xFFFFFFFF));

    struct Case
    {
        DWORD dwMode;
        const char* pszMode;
    } cases[] = {
        {0x10010, "UDMA5/ATA100"},   {0xFFFFF, "UDMA5/ATA100"},
        {0xFFFF, "UDMA4/ATA66"},     {0x8010, "UDMA4/ATA66"},
        {0x2010, "UDMA2/ATA33"},     {0x410, "MW DMA2/PIO4"},
        {0x1F, "--- PIO only --- ###ERROR###"}, {0xFFFFFFFF, "maximum possible"},
        {0x12AB, "\t\tunknown 000012AB"}, {0, "\t\tunknown 00000000"},
    };
    for (const Case& c : cases)
    {
        char sz[128];
        TimingModeText(sz, "SlaveDeviceTimingMode", c.dwMode);
        EXPECT_EQ(std::string("SlaveDeviceTimingMode: ") + c.pszMode, sz);
    }
    char sz[128];
    TimingModeText(sz, std::string(100, 'v').c_str(), 0x410);
    EXPECT_EQ(std::string(63, 'v') + ": MW DMA2/PIO4", sz);
}

TEST(LogText, VersionFlagsAreJoinedByPlus)
{
    struct Case
    {
        DWORD dwFlags;
        const char* pszExpected;
    } cases[] = {
        {0, ""},
        {0x1, "DEBUG"},
        {0x3, "DEBUG+PRERELEASE"},
        {0x24, "PATCHED+SPECIALBUILD"},
        {0x3F, "DEBUG+PRERELEASE+PATCHED+PRIVATEBUILD+INFOINFERRED+SPECIALBUILD"},
        {0xFFFFFFC0, ""},
    };
    for (const Case& c : cases)
    {
        char sz[80];
        VersionFlagsText(sz, c.dwFlags);
        EXPECT_STREQ(c.pszExpected, sz) << std::hex << c.dwFlags;
    }

    VS_FIXEDFILEINFO ffi = {};
    ffi.dwFileVersionMS = MAKELONG(2, 1);
    ffi.dwFileVersionLS = MAKELONG(65535, 3);
    ffi.dwProductVersionMS = MAKELONG(6, 5);
    ffi.dwProductVersionLS = MAKELONG(8, 7);
    ffi.dwFileFlags = 0x3;
    const SYSTEMTIME st = Time(2026, 12, 8, 9, 5, 2, 999);
    char sz[256];
    FormatVersionText(sz, sizeof(sz), ffi, 135168, st);
    EXPECT_STREQ("1.2.3.65535 (5.6.7.8) DEBUG+PRERELEASE {135168 2026/12/8 9:05:02}", sz);
    ffi.dwFileFlags = 0;
    FormatVersionText(sz, sizeof(sz), ffi, 0, st);
    EXPECT_STREQ("1.2.3.65535 (5.6.7.8)  {0 2026/12/8 9:05:02}", sz);
    memset(sz, '#', sizeof(sz));
    EXPECT_EQ(9, FormatVersionText(sz, 10, ffi, 0, st)); // cut to its buffer
    EXPECT_STREQ("1.2.3.655", sz);
    EXPECT_EQ('#', sz[10]);
}

TEST(LogText, AModuleLineHoldsAddressPathVersionAndMissingSymbols)
{
    char sz[1024];
    ModuleLine(sz, (void*)0x140000000ull, "Z:\\bin\\player.exe", "1.2.3.4 (1.2.3.4)  {1 2026/1/2 3:04:05}", false);
    EXPECT_STREQ("\t[0x0000000140000000] \"Z:\\bin\\player.exe\" 1.2.3.4 (1.2.3.4)  {1 2026/1/2 3:04:05}\r\n", sz);
    ModuleLine(sz, (void*)0x7FFE12345678ull, "C:\\a.dll", "Version info not found, error 1813", true);
    EXPECT_STREQ("\t[0x00007FFE12345678] \"C:\\a.dll\" Version info not found, error 1813 ### Symbols not found\r\n",
                 sz);
    // Over-long texts are held to a path and a version text.
    ModuleLine(sz, NULL, std::string(900, 'p').c_str(), std::string(900, 'v').c_str(), true);
    EXPECT_EQ("\t[0x0000000000000000] \"" + std::string(259, 'p') + "\" " + std::string(255, 'v') +
                  " ### Symbols not found\r\n",
              sz);
}

} // namespace
