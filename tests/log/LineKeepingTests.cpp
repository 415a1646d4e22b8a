// A line is in the file whole, once and under its own thread, or counted
// in a "dropped" line of the log, and its writer is told: reservations
// given up while their writers still hold them, clients that register and
// log while the first registration writes the file's header, and the state
// that a give-up leaves behind. Each scenario runs in a child of its own,
// on a private copy of Dez64.dll.
#include <gtest/gtest.h>

#include <iostream>

#include "LogScenario.h"

using namespace logtest;

namespace {

std::vector<std::string> Numbered(const char* pszTag, int n)
{
    std::vector<std::string> lines;
    for (int i = 0; i < n; ++i)
    {
        char sz[64];
        wsprintfA(sz, "4 LOGCHILD: %s %04d", pszTag, i);
        lines.push_back(sz);
    }
    return lines;
}

std::vector<std::string> Joined(std::vector<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

const char* const GIVEN_UP = "2 ###Err### LOG dropped 1 reserved line(s) not committed within 1000 ms";
const char* const REFUSED = "0x800705B4"; // ERROR_TIMEOUT

// The slot of a reservation given up is not handed out while its writer
// still holds it: the next reservation gets a slot of its own and keeps its
// line; the stalled writer's late text lands nowhere and its commit is
// refused.
TEST(LineKeeping, GivenUpSlotIsNotHandedOutWhileItsWriterHoldsIt)
{
    LogScenario s("giveupreuse");
    s.Settings({});
    Results r = s.Run("giveupreuse");
    ASSERT_EQ("0", r["end"]);
    EXPECT_EQ("0x00000000", r["first_reserve"]);
    EXPECT_EQ("0", r["lines_failed"]);
    EXPECT_EQ("0x00000000", r["main_reserve"]);
    EXPECT_GE(std::stoi(r["main_waited"]), 900) << "the full ring waits for the stalled reservation";
    EXPECT_EQ("yes", r["first_done"]);
    EXPECT_EQ(REFUSED, r["first_commit"]);
    EXPECT_EQ("0x00000000", r["main_commit"]);
    EXPECT_EQ("0x00000000", r["after"]);

    const std::string text = ReadWholeFile(s.LogPath());
    EXPECT_EQ(std::string::npos, text.find("LATE TEXT")) << "the late text landed in another line";
    EXPECT_EQ(std::string::npos, text.find("first holder's line"));
    const std::vector<std::string> expected =
        Joined({{GIVEN_UP}, Numbered("line", 1199), {"4 main thread's own line", "4 LOGCHILD: after the late commit"}});
    EXPECT_EQ(expected, MessagesOf(text));
    // The main thread's line is filed under its own id: the lines before it
    // are the same thread's, so it continues their run without columns.
    const std::vector<std::string> lines = SplitLines(text);
    for (size_t i = 0; i < lines.size(); ++i)
        if (MessageOf(lines[i]) == "4 main thread's own line")
        {
            EXPECT_TRUE(std::regex_match(lines[i], SameThread())) << lines[i];
            EXPECT_EQ("4 LOGCHILD: line 1198", MessageOf(lines[i - 1]));
        }
}

// A second reservation given up while the first writer is still stalled:
// both late commits are refused, neither commits the other's line, the
// count says 2, and the writer behind them waits once.
TEST(LineKeeping, SecondGiveUpKeepsEachLateCommitRefused)
{
    LogScenario s("giveuptwice");
    s.Settings({});
    Results r = s.Run("giveuptwice");
    ASSERT_EQ("0", r["end"]);
    ASSERT_EQ("done", r["other"]);
    EXPECT_EQ("0", r["lines_failed"]);
    EXPECT_EQ("0", r["other_failed"]);
    // The other writer waits a full second once, for the second stall; the
    // first one, given up before, holds nobody back again.
    EXPECT_GE(std::stoi(r["other_ms"]), 900);
    EXPECT_LT(std::stoi(r["other_ms"]), 1900) << "a second wait behind a stall already given up";
    EXPECT_EQ("0x00000000", r["second_reserve"]);
    EXPECT_EQ(REFUSED, r["first_commit"]);
    EXPECT_EQ(REFUSED, r["second_commit"]);
    EXPECT_EQ("0x00000000", r["after"]);

    const std::string text = ReadWholeFile(s.LogPath());
    EXPECT_EQ(std::string::npos, text.find("LATE TEXT"));
    EXPECT_EQ(std::string::npos, text.find("holder's line"));
    const std::vector<std::string> expected = Joined({{GIVEN_UP},
                                                      Numbered("line", 1199),
                                                      {GIVEN_UP},
                                                      Numbered("other", 1200),
                                                      {"4 LOGCHILD: after both late commits"}});
    EXPECT_EQ(expected, MessagesOf(text));
}

// Nothing of a give-up stays behind once its late commit is refused: the
// holder's thread logs again (lines through the whole ring twice, and a
// reservation by hand), and the ring has every slot back, so a fresh
// reservation held while 1199 lines fill the ring is not given up.
TEST(LineKeeping, GiveUpLeavesNothingBehind)
{
    LogScenario s("giveupafter");
    s.Settings({});
    Results r = s.Run("giveupafter");
    ASSERT_EQ("0", r["end"]);
    EXPECT_EQ("0", r["lines_failed"]);
    EXPECT_EQ("yes", r["first_done"]);
    EXPECT_EQ(REFUSED, r["first_commit"]);
    EXPECT_EQ("0", r["holder_failed"]) << "the holder's thread is refused after its late commit";
    EXPECT_EQ("0x00000000", r["holder_again"]);
    EXPECT_EQ("0", r["fill_failed"]);
    EXPECT_EQ("yes", r["full_done"]);
    EXPECT_EQ("0x00000000", r["full_commit"]) << "a slot stayed out of use after the late commit";
    EXPECT_EQ("0x00000000", r["after"]);

    const std::string text = ReadWholeFile(s.LogPath());
    const std::vector<std::string> messages = MessagesOf(text);
    EXPECT_EQ(1u, Count(text, "LOG dropped")) << "one give-up, counted once";
    const std::vector<std::string> expected =
        Joined({{GIVEN_UP}, Numbered("line", 1210), Numbered("holder's line", 2410),
                {"4 holder's new reservation", "4 held while the ring fills"}, Numbered("fill", 1199),
                {"4 LOGCHILD: the last line"}});
    EXPECT_EQ(expected, messages);
}

// A writer whose reservation was given up does not commit it and logs on
// from the same thread: nothing of the give-up holds its later lines back.
TEST(LineKeeping, WriterThatLeavesItsGivenUpReservationLogsOn)
{
    LogScenario s("giveupnocommit");
    s.Settings({});
    Results r = s.Run("giveupnocommit");
    ASSERT_EQ("0", r["end"]);
    EXPECT_EQ("0", r["lines_failed"]);
    EXPECT_EQ("yes", r["first_done"]);
    EXPECT_EQ("0", r["holder_failed"]) << "the thread is still taken for the late writer of its given-up slot";
    EXPECT_EQ("0x00000000", r["holder_again"]);
    EXPECT_EQ("0x00000000", r["after"]);
    const std::string text = ReadWholeFile(s.LogPath());
    EXPECT_EQ(1u, Count(text, "LOG dropped"));
    const std::vector<std::string> expected =
        Joined({{GIVEN_UP}, Numbered("line", 1210), Numbered("holder's line", 2410),
                {"4 holder's new reservation", "4 LOGCHILD: the last line"}});
    EXPECT_EQ(expected, MessagesOf(text));
}

// A second client registers 28 ms after the first, while the first writes
// the header, and logs at once: its lines are kept (they follow the
// header), and every call says so.
TEST(LineKeeping, ClientRegisteringDuringTheHeaderKeepsItsLines)
{
    LogScenario s("headerclients");
    s.Settings({});
    Results r = s.Run("headerclients");
    ASSERT_EQ("0", r["end"]);
    EXPECT_EQ("0x00000000", r["first_register"]);
    EXPECT_EQ("0x00000000", r["second_register"]);
    EXPECT_EQ("0", r["second_failed"]);
    if (r["during_header"] != "yes")
        std::cout << "note: the header was written before the second client registered\n";
    const std::string text = ReadWholeFile(s.LogPath());
    EXPECT_EQ(Numbered("second client's line", 4), MessagesOf(text));
    EXPECT_LT(text.find("List of modules in process:"), text.find("second client's line 0000"));
}

// The header takes long (the symbol engine stalls for 8 s): the second
// client's lines fill the ring, its next line waits for the header once, at
// most 5 s, and from then on every line that finds the ring full is dropped
// at once, counted, and its call told; the lines kept reach the file.
TEST(LineKeeping, HeaderThatTakesLongEndsInACountedDrop)
{
    LogScenario s("headerwait");
    ASSERT_TRUE(CopyFileA((ProgramFolderA() + "fakedbghelp.dll").c_str(), (s.Dir() / "dbghelp.dll").c_str(), FALSE));
    s.Settings({});
    Results r = s.Run("headerwait", {"FAKEDBGHELP_SLOW=8000"}, true);
    ASSERT_EQ("0", r["end"]);
    EXPECT_EQ("0x00000000", r["first_register"]);
    EXPECT_EQ("0x00000000", r["second_register"]);
    EXPECT_EQ("yes", r["during_header"]);
    ASSERT_EQ("no", r["header_out"]) << "the header was out before the second client's lines";
    const int nFailed = std::stoi(r["second_failed"]);
    EXPECT_EQ(100, nFailed) << "1300 lines, 1200 of them held in the ring";
    const int nMs = std::stoi(r["second_ms"]);
    EXPECT_GE(nMs, 4500) << "no wait for the header";
    EXPECT_LT(nMs, 7500) << "more than one wait for the header";

    const std::string text = ReadWholeFile(s.LogPath());
    const std::vector<std::string> expected =
        Joined({{"2 ###Err### LOG dropped " + std::to_string(nFailed) +
                 " line(s) that waited more than 5000 ms for the log file's header"},
                Numbered("second client's line", 1200)});
    EXPECT_EQ(expected, MessagesOf(text));
}

} // namespace
