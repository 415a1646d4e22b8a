// Without dbghelp (this program runs with it disabled, and so do its
// children) the log object writes nothing and says why at registration.
#include <gtest/gtest.h>

#include "LogScenario.h"

using namespace logtest;

namespace {

TEST(LogWithoutDbgHelp, RegistrationFailsAndNoFileIsMade)
{
    ASSERT_EQ(nullptr, LoadLibraryA("dbghelp.dll")) << "dbghelp must be disabled for this program";
    LogScenario s("nodbghelp");
    s.Settings({});
    Results r = s.Run("register");
    ASSERT_EQ("0", r["end"]);
    EXPECT_EQ("0x8007007E", r["register"]);
    EXPECT_EQ("null", r["cookie"]);
    EXPECT_EQ("", r["symbolpath"]);
    EXPECT_FALSE(FileExists(s.LogPath()));
    EXPECT_TRUE(s.Dir().Find("*.log").empty());
}

} // namespace
