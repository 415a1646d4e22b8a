// The settings entry points as a user runs them: rundll32 on a copy of
// Dez64.dll. rundll32 under Wine always ends with 0, so the tests check the
// registry and the log, never its exit code. They change the binding value
// (held under the log_binding lock) and put it back.
#include <gtest/gtest.h>

#include "LogTestSupport.h"

using namespace logtest;

namespace {

bool RunEntry(const std::string& dll, const char* pszEntry)
{
    return RunChild("rundll32.exe \"" + dll + "\"," + pszEntry, {}, 60000).bFinished;
}

std::vector<std::string> SubkeysOf(const std::string& key)
{
    std::vector<std::string> subs;
    HKEY h;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return subs;
    char sz[256];
    for (DWORD i = 0, cch = sizeof(sz); RegEnumKeyExA(h, i, sz, &cch, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
         ++i, cch = sizeof(sz))
        subs.push_back(sz);
    RegCloseKey(h);
    return subs;
}

TEST(EntryPoints, DefaultBindsTheCopyAndTheLogFollows)
{
    BindingGuard binding;
    TempFolder dir("default");
    const std::string dll = dir.CopyIn("Dez64.dll");
    const std::string key = SettingsKeyOf(dll);
    ASSERT_TRUE(RunEntry(dll, "default"));

    EXPECT_EQ(PipePath(dll), QueryText(HKEY_CURRENT_USER, BINDING_KEY, NULL));
    EXPECT_EQ(dir / "log.log", QueryText(HKEY_CURRENT_USER, key, "Log"));
    EXPECT_EQ(8, QueryDword(HKEY_CURRENT_USER, key, "Level"));
    EXPECT_EQ(0, QueryDword(HKEY_CURRENT_USER, key, "Recreate"));
    EXPECT_EQ(0, QueryDword(HKEY_CURRENT_USER, key, "Timestamp"));
    EXPECT_EQ(0, QueryDword(HKEY_CURRENT_USER, key, "ProcessSeparate"));

    // A host now logs beside the library, appending run after run.
    for (int i = 0; i < 2; ++i)
    {
        const ChildResult r = RunChild("\"" + ProgramFolderA() + "logchild.exe\" register \"" + dll + "\" \"" +
                                       (dir / "results.txt") + "\"");
        ASSERT_TRUE(r.bFinished);
    }
    const std::string text = ReadWholeFile(dir / "log.log");
    EXPECT_EQ(2u, Count(text, "Log is open, cut here"));
    EXPECT_EQ(6u, MessagesOf(text).size());

    ASSERT_TRUE(RunEntry(dll, "uninstall"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, key));
}

TEST(EntryPoints, UninstallRemovesThisCopyAndWhatBecomesEmpty)
{
    BindingGuard binding;
    TempFolder dir("uninstall");
    const std::string dll = dir.CopyIn("Dez64.dll");
    const std::string key = SettingsKeyOf(dll);
    ASSERT_TRUE(RunEntry(dll, "default"));
    ASSERT_TRUE(KeyExists(HKEY_CURRENT_USER, key));
    const bool bAlone = SubkeysOf(BINDING_KEY).size() == 1;

    ASSERT_TRUE(RunEntry(dll, "uninstall"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, key));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software"));
    if (bAlone)
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, BINDING_KEY)) << "the binding goes with the last settings key";
    else
        EXPECT_EQ(PipePath(dll), QueryText(HKEY_CURRENT_USER, BINDING_KEY, NULL))
            << "other copies' settings remain: the binding stays";

    // A second copy's settings keep the binding key, even when it names this copy.
    TempFolder other("uninstall_other");
    const std::string otherDll = other.CopyIn("Dez64.dll");
    ASSERT_TRUE(RunEntry(otherDll, "default"));
    ASSERT_TRUE(RunEntry(dll, "default"));
    ASSERT_TRUE(RunEntry(dll, "uninstall"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, key));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, SettingsKeyOf(otherDll)));
    EXPECT_EQ(PipePath(dll), QueryText(HKEY_CURRENT_USER, BINDING_KEY, NULL));
    RunEntry(otherDll, "uninstall");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, SettingsKeyOf(otherDll)));
}

} // namespace
