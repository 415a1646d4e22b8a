// The state the line path keeps: the line clock, which asks the
// system for the local time once a minute, and the prefixes kept per module.
#include <gtest/gtest.h>

#include <windows.h>

#include "SymbolEngine.h"
#include "Log.h"
#include "LogTestSupport.h"

using namespace logtest;

namespace {

ULONGLONG Ticks(const SYSTEMTIME& st)
{
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    return ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

// The line's time is the local time of the moment: between the system's
// local times taken before and after it (the system's clock may be coarser,
// by up to a scheduler tick), also across many minutes' starts.
TEST(LineClock, GivesTheLocalTimeOfTheMoment)
{
    CLineClock clock;
    const ULONGLONG TICKS_PER_MS = 10000;
    for (int i = 0; i < 200; ++i)
    {
        SYSTEMTIME stBefore, stLine, stAfter;
        GetLocalTime(&stBefore);
        clock.Now(&stLine);
        GetLocalTime(&stAfter);
        EXPECT_LE(Ticks(stBefore), Ticks(stLine) + TICKS_PER_MS) << i;
        EXPECT_LE(Ticks(stLine), Ticks(stAfter) + 20 * TICKS_PER_MS) << i;
        EXPECT_EQ(stBefore.wDayOfWeek == stAfter.wDayOfWeek ? stBefore.wDayOfWeek : stLine.wDayOfWeek,
                  stLine.wDayOfWeek);
        Sleep(i % 20 == 0 ? 5 : 0);
    }
}

// A prefix is kept by the range of its module's image. When that module
// unloads and another one is loaded at the same addresses, the kept prefix
// must not name the first.
TEST(CallerPrefix, KeptPrefixesDoNotOutliveTheirModule)
{
    TempFolder dir("prefixes");
    const std::string first = dir / "firstcaller.dll", second = dir / "secondcaller.dll";
    const std::string source = ProgramFolderA() + "prefixcaller.dll";
    ASSERT_TRUE(CopyFileA(source.c_str(), first.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(source.c_str(), second.c_str(), FALSE));
    WatchModuleUnloads();
    HMODULE hFirst = LoadLibraryA(first.c_str());
    ASSERT_NE(nullptr, hFirst);
    const void* pCode = (const void*)GetProcAddress(hFirst, "PrefixCaller_Output");
    ASSERT_NE(nullptr, pCode);
    char sz[LOG_PREFIX_SIZE];
    g_CallerPrefixes.PrefixOf(pCode, sz, sizeof(sz));
    EXPECT_STREQ("FIRSTCALLER: ", sz);
    g_CallerPrefixes.PrefixOf(pCode, sz, sizeof(sz));
    EXPECT_STREQ("FIRSTCALLER: ", sz) << "kept";
    FreeLibrary(hFirst);
    HMODULE hSecond = LoadLibraryA(second.c_str());
    ASSERT_NE(nullptr, hSecond);
    if (hSecond != hFirst)
    {
        FreeLibrary(hSecond);
        StopWatchingModuleUnloads();
        GTEST_SKIP() << "the second module was not loaded where the first one was";
    }
    g_CallerPrefixes.PrefixOf(pCode, sz, sizeof(sz));
    EXPECT_STREQ("SECONDCALLER: ", sz);
    FreeLibrary(hSecond);
    StopWatchingModuleUnloads();
}

} // namespace
