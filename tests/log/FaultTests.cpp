// Faults around the log object, each made by a fixture: a fault in the
// symbol engine while the header is written, a reservation that is never
// committed, a module that registers while it is being loaded (under the
// system's loader lock), a log on a full device and a log under a file-size
// limit. None may hang or end the host, and every call that meets the fault
// reports it as an HRESULT. Each scenario runs in a child of its own, on a
// private copy of Dez64.dll; the program runs with dbghelp loaded native
// first, so that a child placed beside the substitute dbghelp.dll loads it.
#include <gtest/gtest.h>

#include <iostream>

#include "Log.h"
#include "LogScenario.h"

using namespace logtest;

namespace {

const char* const MODULE_LINE = R"re(^\t\[0x[0-9A-F]{16}\] "([^"]+)" (.*)$)re";

TEST(LogFaults, FaultWhileTheHeaderIsWrittenLeavesTheLogUsable)
{
    LogScenario s("headerfault");
    ASSERT_TRUE(CopyFileA((ProgramFolderA() + "fakedbghelp.dll").c_str(), (s.Dir() / "dbghelp.dll").c_str(), FALSE));
    s.Settings({});
    Results r = s.Run("headerfault", {"FAKEDBGHELP_FAULT=1"}, true);
    ASSERT_EQ("yes", r["finished"]);
    EXPECT_EQ("done", r["writer"]) << "a thread that logs after the registration is blocked";
    EXPECT_EQ("0", r["end"]);
    EXPECT_EQ("no", r["register_fault"]) << "the fault left the log through the registration";
    EXPECT_EQ("0x00000000", r["register"]);

    const std::string text = ReadWholeFile(s.LogPath());
    const std::vector<std::string> expected = {"4 LOGCHILD: from another thread after the registration",
                                               "4 LOGCHILD: from the registering thread"};
    EXPECT_EQ(expected, MessagesOf(text));
    // The modules whose symbols faulted are listed as without symbols.
    size_t nModules = 0;
    bool bOpening = false;
    for (const std::string& line : SplitLines(text))
    {
        if (line == "List of modules in process:")
            bOpening = true;
        else if (bOpening && std::regex_match(line, std::regex(MODULE_LINE)))
        {
            ++nModules;
            EXPECT_NE(std::string::npos, line.find(" ### Symbols not found")) << line;
        }
        else
            bOpening = false;
    }
    EXPECT_GE(nModules, 4u);
    EXPECT_EQ(1u, Count(text, "Log is close, cut here"));
}

TEST(LogFaults, UncommittedReservationIsDroppedCountedAndItsLateCommitRefused)
{
    LogScenario s("abandon");
    s.Settings({});
    Results r = s.Run("abandon");
    ASSERT_EQ("yes", r["finished"]);
    ASSERT_EQ("done", r["writes"]) << "writers wait for good behind a reservation that is never committed";
    EXPECT_EQ("0", r["end"]);
    EXPECT_EQ("done", r["holder"]);
    EXPECT_EQ("0x800705B4", r["late_commit"]);

    const std::string text = ReadWholeFile(s.LogPath());
    std::vector<std::string> expected = {"2 ###Err### LOG dropped 1 reserved line(s) not committed within 1000 ms"};
    for (int i = 0; i < 1300; ++i)
    {
        char sz[32];
        wsprintfA(sz, "4 LOGCHILD: line %04d", i);
        expected.push_back(sz);
    }
    expected.push_back("4 LOGCHILD: after the late commit");
    const std::vector<std::string> messages = MessagesOf(text);
    EXPECT_EQ(expected, messages);
    EXPECT_EQ(std::string::npos, text.find("late line"));
}

TEST(LogFaults, FirstRegistrationWhileAModuleRegistersUnderTheLoaderLock)
{
    // The file cannot be created (its folder is missing): the failure is
    // shown to the user while the module's loading holds the loader lock.
    LogScenario s("loaderlock");
    s.Settings({SettingValue::Text("Log", s.Dir() / "missing\\log.log")});
    Results r = s.Run("loaderlock");
    ASSERT_EQ("yes", r["finished"]);
    ASSERT_EQ("done", r["threads"]) << "the registration and the module's loading wait for each other";
    EXPECT_EQ("0", r["end"]);
    EXPECT_EQ("0x80070003", r["register"]);
    // The module registers while the first registration opens the file or
    // after it failed to.
    EXPECT_TRUE(r["holder_register"] == "0x80070003" || r["holder_register"] == "0x00000000") << r["holder_register"];
    EXPECT_EQ("0x00000000", r["holder_unregister"]);
    EXPECT_TRUE(s.Dir().Find("*.log").empty());
}

TEST(LogFaults, LogOnAFullDeviceStopsWithDiskFull)
{
    const char* const pszFull = "Z:\\dev\\full";
    const HANDLE hFull = CreateFileA(pszFull, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (hFull != INVALID_HANDLE_VALUE)
        CloseHandle(hFull);
    else
        GTEST_SKIP() << "no full device at " << pszFull << " (the tests run under Wine, whose Z: is the root)";
    LogScenario s("fulldevice");
    s.Settings({SettingValue::Text("Log", pszFull), SettingValue::Dword("Recreate", 0)});
    Results r = s.Run("stopped");
    ASSERT_EQ("yes", r["finished"]);
    EXPECT_EQ("0", r["end"]);
    // ERROR_DISK_FULL from the header's first write, then from every call.
    EXPECT_EQ("0x80070070", r["register"]);
    EXPECT_EQ("0x00000000", r["flush"]);
    EXPECT_EQ("0x80070070", r["buffer"]);
    EXPECT_EQ("0x80070070", r["stack"]);
    EXPECT_EQ("0x80070070", r["key"]);
    EXPECT_EQ("null", r["cookie"]);
}

// A failure of the file as an HRESULT: 0x8007xxxx, not success.
bool IsWin32Failure(const std::string& hr)
{
    return hr.size() == 10 && hr.compare(0, 6, "0x8007") == 0 && hr != "0x80070000";
}

// What a log that stopped on a failed write may still hold of its file,
// looked at while its process lives on: its handle (the file could not be
// renamed, as no handle of the log lets others delete it) and the lock that
// keeps the writes of processes apart (another process could then never
// write the file again). "" when nothing, else what.
std::string WhatAFailedWriteLeftBehind(const std::string& log)
{
    std::string left;
    const std::string moved = log + ".moved";
    if (!MoveFileA(log.c_str(), moved.c_str()))
        left += "the file is still open (rename: error " + std::to_string(GetLastError()) + "); ";
    else if (!MoveFileA(moved.c_str(), log.c_str()))
        left += "the file could not be moved back; ";
    HANDLE hFile = CreateFileA(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return left + "the file cannot be opened";
    static CFileGuard s_guard;
    s_guard.Open(hFile);
    HANDLE hTaker = CreateThread(
        NULL, 0,
        [](void*) -> DWORD {
            DWORD dwLast = 0xFFFFFFFF;
            s_guard.Enter(&dwLast);
            s_guard.Leave(dwLast);
            return 0;
        },
        NULL, 0, NULL);
    if (WaitForSingleObject(hTaker, 5000) != WAIT_OBJECT_0)
    {
        left += "the lock of the file's writers is still held";
        TerminateThread(hTaker, 1);
    }
    else
        s_guard.Close();
    CloseHandle(hTaker);
    CloseHandle(hFile);
    return left;
}

TEST(LogFaults, FileSizeLimitStopsTheLogAndEveryCallSaysSo)
{
    char szLoader[MAX_PATH] = "";
    if (!GetEnvironmentVariableA("WINELOADER", szLoader, sizeof(szLoader)))
        GTEST_SKIP() << "not under Wine: no Unix shell to start a child with a file-size limit";
    if (GetFileAttributesA("Z:\\usr\\bin\\prlimit") == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "prlimit (util-linux) is missing";
    const long long LIMIT = 256 * 1024;
    // What crosses the limit: each kind of dump, a line, and a line written
    // while a module that registers with the log is being loaded.
    for (const char* pszKind : {"buffer", "stack", "key", "line", "loaderlock"})
    {
        LogScenario s("limit");
        s.Settings({});
        std::string left;
        Results r = s.RunUnderFileLimit((std::string("limit-") + pszKind).c_str(), LIMIT, szLoader,
                                        [&] { left = WhatAFailedWriteLeftBehind(s.LogPath()); });
        EXPECT_EQ("", left) << pszKind;
        ASSERT_EQ("yes", r["finished"]) << pszKind << ": the child did not end";
        EXPECT_EQ("0", r["end"]) << pszKind;
        EXPECT_EQ("0x00000000", r["register"]) << pszKind;
        EXPECT_EQ("0x00000000", r["fill"]) << pszKind << ", room left " << r["room"];
        const std::string error = r["later_buffer"];
        EXPECT_TRUE(IsWin32Failure(error)) << pszKind << ": " << error;
        EXPECT_EQ(error, r["later_stack"]) << pszKind;
        EXPECT_EQ(error, r["later_key"]) << pszKind;
        EXPECT_EQ("0x00000000", r["flush"]) << pszKind;
        // Every line from the failure on is reported as not logged.
        EXPECT_TRUE(IsWin32Failure(r["after_line"])) << pszKind << ": " << r["after_line"];
        if (std::string(pszKind) == "line")
        {
            EXPECT_TRUE(IsWin32Failure(r["crossing_line"])) << pszKind << ": " << r["crossing_line"];
        }
        if (r["crossing"] != "line")
        {
            EXPECT_EQ(error, r["crossing"]) << pszKind << ": the dump that met the limit";
        }
        if (std::string(pszKind) == "loaderlock")
        {
            EXPECT_EQ("done", r["threads"]) << "the failed write and the module's loading wait for each other";
            // The module registered before or after the log stopped.
            EXPECT_TRUE(r["holder_register"] == "0x00000000" || r["holder_register"] == error) << r["holder_register"];
        }
        EXPECT_LE(atoll(r["final_size"].c_str()), LIMIT) << pszKind;
        const std::string text = ReadWholeFile(s.LogPath());
        EXPECT_NE(std::string::npos, text.find("LOGCHILD: before the limit")) << pszKind;
        EXPECT_EQ(std::string::npos, text.find("after the limit")) << pszKind;
        EXPECT_EQ(std::string::npos, text.find("Log is close, cut here")) << pszKind;
    }
}

} // namespace
