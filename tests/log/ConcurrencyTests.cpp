// Eight threads write numbered lines through OutputStringW while another
// thread holds a reserved slot for 50 ms: every line must reach the file
// exactly once, whole, and in order within its thread. The ring (1200 slots)
// fills up while the reservation is held, so writers must wait instead of
// reusing slots. And threads that ask a freshly loaded library for its log
// object all at once must all get the one object, which then opens its file.
// This program is the only user of its Dez64.dll copies.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>

#include "IDSLog.h"
#include "LogTestSupport.h"

using namespace logtest;

namespace {

const int WRITERS = 8;
const int LINES = 20000;

IDSLog* s_pLog;
std::atomic<long> s_nWritten;
std::atomic<long> s_nWrittenDuringHold;

DWORD WINAPI Writer(void* pv)
{
    const int nThread = (int)(INT_PTR)pv;
    wchar_t sz[64];
    for (int i = 0; i < LINES; ++i)
    {
        wsprintfW(sz, L"T%d L%05d", nThread, i);
        s_pLog->OutputStringW(sz);
        ++s_nWritten;
    }
    return 0;
}

DWORD WINAPI Holder(void*)
{
    while (s_nWritten < 5000)
        Sleep(0);
    int nIndex;
    char* pszText;
    int cchRoom;
    s_pLog->ReserveLine(&nIndex, &pszText, &cchRoom);
    const long nBefore = s_nWritten;
    lstrcpyA(pszText, "held reservation");
    Sleep(50);
    s_nWrittenDuringHold = s_nWritten - nBefore;
    s_pLog->CommitLine(nIndex, 0, 4);
    return 0;
}

TEST(LogConcurrency, EightWritersKeepTheirLinesInOrderAroundAHeldReservation)
{
    TempFolder dir("concurrency");
    const std::string dll = dir.CopyIn("Dez64.dll");
    const std::string log = dir / "log.log";
    SettingsKey key(HKEY_CURRENT_USER, dll,
                    {SettingValue::Text("Log", log), SettingValue::Dword("Level", 8), SettingValue::Dword("Recreate", 1)});
    HMODULE hDll = LoadLibraryA(dll.c_str());
    ASSERT_NE(nullptr, hDll);
    PFN_GetLogObject pfn = (PFN_GetLogObject)(void*)GetProcAddress(hDll, "Exp_GetLogObject");
    ASSERT_EQ(S_OK, pfn(&s_pLog));
    IDSLog* pClient = s_pLog;
    ASSERT_EQ(S_OK, s_pLog->RegisterClient(&pClient, 0, 0));

    HANDLE ah[WRITERS + 1];
    for (int t = 0; t < WRITERS; ++t)
        ah[t] = CreateThread(NULL, 0, Writer, (void*)(INT_PTR)t, 0, NULL);
    ah[WRITERS] = CreateThread(NULL, 0, Holder, NULL, 0, NULL);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(WRITERS + 1, ah, TRUE, 300000));
    for (HANDLE h : ah)
        CloseHandle(h);
    s_pLog->UnregisterClient((void**)&pClient);
    FreeLibrary(hDll);

    const std::string text = ReadWholeFile(log);
    const std::regex reLine(R"(^4 [A-Z_]+: T(\d) L(\d{5})$)");
    int anNext[WRITERS] = {};
    int nHeld = 0, nOther = 0;
    size_t nLine = 0, nHeldAt = 0;
    for (const std::string& message : MessagesOf(text))
    {
        ++nLine;
        std::smatch m;
        if (std::regex_match(message, m, reLine))
        {
            const int t = std::stoi(m[1]), i = std::stoi(m[2]);
            if (t < WRITERS && i == anNext[t])
                ++anNext[t];
            else
                ADD_FAILURE() << "line " << nLine << " out of order: " << message << " (expected L" << anNext[t] << ")";
        }
        else if (message == "4 held reservation")
        {
            ++nHeld;
            nHeldAt = nLine;
        }
        else if (++nOther <= 5)
            ADD_FAILURE() << "garbled line " << nLine << ": " << message;
    }
    for (int t = 0; t < WRITERS; ++t)
        EXPECT_EQ(LINES, anNext[t]) << "thread " << t;
    EXPECT_EQ(1, nHeld);
    EXPECT_EQ(0, nOther);
    // The reservation was taken while the writers were busy, and they went
    // on until the ring was full.
    EXPECT_GT(nHeldAt, 5000u);
    EXPECT_LT(nHeldAt, (size_t)WRITERS * LINES);
    EXPECT_GE(s_nWrittenDuringHold.load(), 1000);
    EXPECT_EQ(1u, Count(text, "Log is close, cut here"));
}

// Threads released together, each asking the export for the log object.
const int ASKERS = 8;
PFN_GetLogObject s_pfnGet;
HANDLE s_hGo;
IDSLog* s_apAsked[ASKERS];
HRESULT s_ahrAsked[ASKERS];

DWORD WINAPI Asker(void* pv)
{
    const int n = (int)(INT_PTR)pv;
    WaitForSingleObject(s_hGo, INFINITE);
    s_ahrAsked[n] = s_pfnGet(&s_apAsked[n]);
    return 0;
}

// A second object made by a thread that lost the race would, when thrown
// away, take the library's globals with it (its module handle, its TLS
// slots): the object that stays could then not find its settings. Each round
// loads the library afresh, so that every round is a first call.
TEST(LogConcurrency, FirstCallsFromManyThreadsShareOneObject)
{
    TempFolder dir("firstcall");
    const std::string dll = dir.CopyIn("Dez64.dll");
    const std::string log = dir / "log.log";
    SettingsKey key(HKEY_CURRENT_USER, dll,
                    {SettingValue::Text("Log", log), SettingValue::Dword("Level", 8), SettingValue::Dword("Recreate", 0)});
    s_hGo = CreateEventA(NULL, TRUE, FALSE, NULL);
    const int ROUNDS = 20;
    for (int nRound = 0; nRound < ROUNDS; ++nRound)
    {
        HMODULE hDll = LoadLibraryA(dll.c_str());
        ASSERT_NE(nullptr, hDll);
        s_pfnGet = (PFN_GetLogObject)(void*)GetProcAddress(hDll, "Exp_GetLogObject");
        ASSERT_NE(nullptr, s_pfnGet);
        ResetEvent(s_hGo);
        HANDLE ah[ASKERS];
        for (int t = 0; t < ASKERS; ++t)
        {
            s_apAsked[t] = NULL;
            s_ahrAsked[t] = E_UNEXPECTED;
            ah[t] = CreateThread(NULL, 0, Asker, (void*)(INT_PTR)t, 0, NULL);
        }
        Sleep(5); // all of them waiting at the start line
        SetEvent(s_hGo);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(ASKERS, ah, TRUE, 60000));
        for (HANDLE h : ah)
            CloseHandle(h);

        IDSLog* pFirst = NULL;
        EXPECT_EQ(S_OK, s_pfnGet(&pFirst));
        for (int t = 0; t < ASKERS; ++t)
        {
            EXPECT_EQ(S_OK, s_ahrAsked[t]) << "round " << nRound << ", thread " << t;
            EXPECT_EQ(pFirst, s_apAsked[t]) << "round " << nRound << ", thread " << t;
        }
        IDSLog* pClient = pFirst;
        EXPECT_EQ(S_OK, pFirst->RegisterClient(&pClient, 0, 0)) << "round " << nRound;
        char sz[32];
        wsprintfA(sz, "round %02d", nRound);
        pFirst->OutputStringA(sz);
        pFirst->UnregisterClient((void**)&pClient);
        FreeLibrary(hDll);
        if (HasFailure())
            break;
    }
    CloseHandle(s_hGo);

    // One open banner, one closing banner and one line for each round.
    const std::string text = ReadWholeFile(log);
    EXPECT_EQ((size_t)ROUNDS, Count(text, "Log is open, cut here"));
    EXPECT_EQ((size_t)ROUNDS, Count(text, "Log is close, cut here"));
    for (int nRound = 0; nRound < ROUNDS; ++nRound)
    {
        char sz[32];
        wsprintfA(sz, ": round %02d\r\n", nRound);
        EXPECT_EQ(1u, Count(text, sz)) << sz;
    }
}

} // namespace
