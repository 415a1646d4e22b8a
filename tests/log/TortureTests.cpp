// Several processes append to one log file at once, each with several
// writer threads, a second client that registers while the first one
// writes the header, and (in the torture) reservations that stall past the
// give-up and commit late. A checker reads the file and proves every line
// whole, once, under its own thread's id and in its thread's order, and
// every missing line counted in a "dropped" line of its own process.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "LogScenario.h"

using namespace logtest;

namespace {

struct TortureRun
{
    int nProcesses, nWriters, nLines, nStalls;
};

const int SECOND_CLIENT_LINES = 200;
const int SECOND_CLIENT = 99; // the writer number of the second client's lines
const int STALLER = -1;       // the writer number of a staller (it has no lines)

void RunAndCheck(const TortureRun& run)
{
    LogScenario s("torture");
    s.Settings({SettingValue::Dword("Recreate", 0)});
    std::vector<HANDLE> procs;
    std::vector<std::string> results;
    for (int p = 0; p < run.nProcesses; ++p)
    {
        results.push_back(s.Dir() / ("torture" + std::to_string(p) + ".txt"));
        std::string cmd = "\"" + s.Child() + "\" torture \"" + s.Dll() + "\" \"" + results.back() + "\"";
        std::string env;
        for (const std::string& e : {"TORTURE_ID=" + std::to_string(p), "TORTURE_PROCESSES=" + std::to_string(run.nProcesses),
                                     "TORTURE_WRITERS=" + std::to_string(run.nWriters),
                                     "TORTURE_LINES=" + std::to_string(run.nLines),
                                     "TORTURE_STALLS=" + std::to_string(run.nStalls)})
            SetEnvironmentVariableA(e.substr(0, e.find('=')).c_str(), e.substr(e.find('=') + 1).c_str());
        STARTUPINFOA si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi;
        ASSERT_TRUE(CreateProcessA(NULL, &cmd[0], NULL, NULL, FALSE, 0, NULL, ProgramFolderA().c_str(), &si, &pi));
        CloseHandle(pi.hThread);
        procs.push_back(pi.hProcess);
    }
    // All of them loaded, then started together.
    for (int i = 0; i < 600; ++i)
    {
        bool bAll = true;
        for (const std::string& r : results)
            bAll = bAll && ReadWholeFile(r).find("ready=") != std::string::npos;
        if (bAll)
            break;
        Sleep(50);
    }
    WriteWholeFile(s.Dir() / "go", "go");
    for (HANDLE h : procs)
    {
        if (WaitForSingleObject(h, 60000) != WAIT_OBJECT_0)
        {
            ADD_FAILURE() << "a child did not end";
            TerminateProcess(h, 99);
        }
        CloseHandle(h);
    }

    // What each child says: its threads, and the calls that reported a failure.
    std::map<DWORD, std::pair<int, int>> whoIs; // masked thread id: process, writer (-1 for none)
    std::vector<long> anTold(run.nProcesses, 0);
    for (int p = 0; p < run.nProcesses; ++p)
    {
        std::map<std::string, std::string> r;
        std::string lf;
        for (char c : ReadWholeFile(results[p]))
            if (c != '\r')
                lf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        for (const std::string& line : SplitLines(lf))
        {
            const size_t eq = line.find('=');
            if (eq != std::string::npos)
                r[line.substr(0, eq)] = line.substr(eq + 1);
        }
        ASSERT_EQ("0", r["end"]) << "process " << p;
        EXPECT_EQ("0x00000000", r["first_register"]) << "process " << p;
        EXPECT_EQ("0x00000000", r["second_register"]) << "process " << p;
        whoIs[(DWORD)std::stoul(r["tid_B"]) & 0xFFFFF] = {p, SECOND_CLIENT};
        anTold[p] += std::stol(r["failed_B"]);
        for (int w = 0; w < run.nWriters; ++w)
        {
            whoIs[(DWORD)std::stoul(r["tid_W" + std::to_string(w)]) & 0xFFFFF] = {p, w};
            anTold[p] += std::stol(r["failed_W" + std::to_string(w)]);
        }
        for (int n = 0; n < run.nStalls; ++n)
        {
            // A staller may write the count of a give-up (its reservation
            // waits on a full ring and flushes it); its own lines are none.
            whoIs[(DWORD)std::stoul(r["tid_S" + std::to_string(n)]) & 0xFFFFF] = {p, STALLER};
            const std::string hr = r["stall" + std::to_string(n)];
            // The writers fill the ring behind every stalled reservation.
            EXPECT_EQ("0x800705B4", hr) << "process " << p << " stall " << n << ": its late commit";
            if (hr == "0x800705B4")
            {
                ++anTold[p];
            }
        }
    }
    ASSERT_FALSE(::testing::Test::HasFailure());

    const std::string text = ReadWholeFile(s.LogPath());
    EXPECT_EQ((size_t)run.nProcesses, Count(text, "Log is open, cut here"));
    EXPECT_EQ((size_t)run.nProcesses, Count(text, "Log is close, cut here"));
    EXPECT_EQ(std::string::npos, text.find("LATE")) << "a late commit's text reached the file";
    const std::regex reLine(R"(^4 LOGCHILD: P(\d) (?:W(\d+)|B) L(\d{5}) ([a-z]+)$)");
    const std::regex reStalled(R"(^4 LOGCHILD: P(\d) S(\d) stalled line$)");
    const std::regex reDropped(R"(^2 ###Err### LOG dropped (\d+) .*$)");
    const std::regex reThread(R"(^([0-9A-F]{4,5}) )");
    std::vector<long> anFound(run.nProcesses, 0), anDropped(run.nProcesses, 0);
    std::set<std::string> seen;
    std::map<std::pair<int, int>, int> next; // (process, writer): the next number it may have
    int nBad = 0;
    auto Bad = [&](size_t nLine, const std::string& line, const char* pszWhy) {
        if (++nBad <= 10)
            ADD_FAILURE() << "line " << nLine << " " << pszWhy << ": " << line.substr(0, 200);
    };
    DWORD dwThread = 0; // masked id of the thread the line is filed under, 0 for none
    size_t nLine = 0;
    for (const std::string& line : SplitLines(text))
    {
        ++nLine;
        std::smatch m;
        const bool bFirst = std::regex_match(line, m, FirstOfThread());
        if (bFirst)
        {
            std::smatch t;
            std::regex_search(line, t, reThread);
            dwThread = (DWORD)std::stoul(t[1], nullptr, 16);
        }
        else if (!std::regex_match(line, m, SameThread()))
        {
            dwThread = 0;
            if (line.find("LOGCHILD: P") != std::string::npos || line.find("LOG dropped") != std::string::npos)
                Bad(nLine, line, "torn");
            continue;
        }
        const std::string message = m[1];
        const auto who = whoIs.find(dwThread);
        std::smatch mm;
        if (std::regex_match(message, mm, reDropped))
        {
            if (who == whoIs.end())
                Bad(nLine, line, "dropped count under no thread of a child");
            else
                anDropped[who->second.first] += std::stol(mm[1]);
            continue;
        }
        if (std::regex_match(message, mm, reStalled))
        {
            Bad(nLine, line, "a reservation given up, in the file");
            continue;
        }
        if (!std::regex_match(message, mm, reLine))
        {
            Bad(nLine, line, "garbled");
            continue;
        }
        const int p = std::stoi(mm[1]);
        const int w = mm[2].matched ? std::stoi(mm[2]) : SECOND_CLIENT;
        const int i = std::stoi(mm[3]);
        if (p >= run.nProcesses || mm[4] != TortureFiller(p, w, i))
        {
            Bad(nLine, line, "cut or run into another");
            continue;
        }
        if (who == whoIs.end() || who->second != std::make_pair(p, w))
            Bad(nLine, line, "under another thread");
        if (!seen.insert(message).second)
            Bad(nLine, line, "twice");
        else
            ++anFound[p];
        int& nNext = next[{p, w}];
        if (i < nNext)
            Bad(nLine, line, "out of its thread's order");
        nNext = i + 1;
    }
    EXPECT_EQ(0, nBad);
    const long nPerProcess = (long)run.nWriters * run.nLines + SECOND_CLIENT_LINES + run.nStalls;
    for (int p = 0; p < run.nProcesses; ++p)
    {
        EXPECT_EQ(nPerProcess - anFound[p], anDropped[p]) << "process " << p << ": lines missing against lines counted";
        EXPECT_EQ(anTold[p], anDropped[p]) << "process " << p << ": lines counted against calls told of a failure";
    }
}

// Two processes of four writers each, as many lines as they can.
TEST(LogTorture, ProcessesAppendingToOneFileKeepEveryLineWhole)
{
    RunAndCheck({2, 4, 20000, 0});
}

// Three processes; every line kept or counted while reservations stall
// past the give-up and clients register during the header.
TEST(LogTorture, ProcessesThreadsStallsAndLateClients)
{
    RunAndCheck({3, 4, 6000, 2});
}

} // namespace
