#include <DSTrace.h>
#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ErrorText, NullArgumentsGiveNull)
{
    WCHAR sz[TRACE_ERRORTEXT_SIZE];
    EXPECT_EQ(nullptr, _LogErrorText(nullptr, L"m", L"n", 0));
    EXPECT_EQ(nullptr, _LogErrorText(sz, L"m", nullptr, 0));
}

TEST(ErrorText, ACodeWithoutANameGivesTheCodeAndNoMessage)
{
    WCHAR sz[TRACE_ERRORTEXT_SIZE];
    ASSERT_EQ(sz, _LogErrorText(sz, nullptr, L"Code", 0x80004005));
    EXPECT_EQ(0, wcsncmp(sz, L"Code=0x80004005 (-2147467259)\nno message\n", 41)) << sz;
}

TEST(ErrorText, EmptyMessageGivesAnEmptyLine)
{
    WCHAR sz[TRACE_ERRORTEXT_SIZE];
    ASSERT_EQ(sz, _LogErrorText(sz, L"", L"GetLastError()", 5));
    const std::wstring sHead = L"GetLastError()=0x00000005 (5)\n\n";
    EXPECT_EQ(sHead, std::wstring(sz).substr(0, sHead.size())) << sz;
}

TEST(ErrorText, EndsWithoutBlanksOrLineEnds)
{
    for (DWORD dwCode : { 0u, 2u, 5u, 0x80004005u, 0x8004025Fu, 0xDEADBEEFu })
    {
        WCHAR sz[TRACE_ERRORTEXT_SIZE];
        _LogErrorText(sz, L"message \r\n", L"Code", dwCode);
        const size_t cch = wcslen(sz);
        ASSERT_GT(cch, 0u);
        EXPECT_GT(sz[cch - 1], L' ') << dwCode;
    }
}

TEST(ErrorText, LongInputsStayWithinTheBuffer)
{
    const struct
    {
        size_t cchName, cchMessage;
    } cases[] = { { 3000, 0 }, { 0, 3000 }, { 1000, 10 }, { 1005, 0 }, { 1010, 0 }, { 1023, 0 }, { 1024, 1024 } };
    for (const auto& c : cases)
    {
        const std::wstring sName(c.cchName + 1, L'n'), sMessage(c.cchMessage, L'm');
        // The text may use 1024 WCHARs; what follows must stay untouched.
        WCHAR sz[TRACE_ERRORTEXT_SIZE + 64];
        wmemset(sz, 0x5A5A, TRACE_ERRORTEXT_SIZE + 64);
        ASSERT_EQ(sz, _LogErrorText(sz, sMessage.c_str(), sName.c_str(), 2)) << c.cchName;
        EXPECT_LT(wcsnlen(sz, TRACE_ERRORTEXT_SIZE), TRACE_ERRORTEXT_SIZE) << c.cchName;
        for (size_t i = TRACE_ERRORTEXT_SIZE; i < TRACE_ERRORTEXT_SIZE + 64; ++i)
            ASSERT_EQ(0x5A5A, sz[i]) << c.cchName << " " << i;
        EXPECT_EQ(0u, std::wstring(sz).find(sName.substr(0, 100))) << c.cchName;
    }
}

TEST(SwapPathSeparators, SwapsBarsAndBackslashesBothWays)
{
    WCHAR sz[] = L"C:|x|y\\z";
    SwapPathSeparators(sz, false);
    EXPECT_STREQ(L"C:\\x\\y\\z", sz);
    SwapPathSeparators(sz, true);
    EXPECT_STREQ(L"C:|x|y|z", sz);
}

// Only the one separator is turned into the other, in place, and only up to
// the terminating NUL: what lies behind it stays as it was. A null text is
// taken too, and has nothing to turn.
TEST(SwapPathSeparators, TurnsOneSeparatorUpToTheEndOfTheText)
{
    const struct
    {
        const wchar_t* pszText;
        bool bToBar;
        const wchar_t* pszExpected;
    } cases[] = {
        { L"C:|Program Files|Dez64.dll", false, L"C:\\Program Files\\Dez64.dll" },
        { L"C:\\Program Files\\Dez64.dll", true, L"C:|Program Files|Dez64.dll" },
        { L"C:\\x|y", false, L"C:\\x\\y" },
        { L"C:\\x|y", true, L"C:|x|y" },
        { L"||\\\\", false, L"\\\\\\\\" },
        { L"no separator", true, L"no separator" },
        { L"", false, L"" },
    };
    const wchar_t kBehind[] = L"|\\|\\";
    for (const auto& c : cases)
    {
        // The text, its NUL, then separators that belong to no text.
        WCHAR sz[64];
        const size_t cch = wcslen(c.pszText);
        ASSERT_LT(cch + 1 + 5, 64u);
        wmemcpy(sz, c.pszText, cch + 1);
        wmemcpy(sz + cch + 1, kBehind, 5);
        SwapPathSeparators(sz, c.bToBar);
        EXPECT_EQ(std::wstring(c.pszExpected), std::wstring(sz)) << cch;
        EXPECT_EQ(0, wmemcmp(sz + cch + 1, kBehind, 5)) << "beyond the NUL of a text of " << cch;
    }
    SwapPathSeparators(nullptr, false);
    SwapPathSeparators(nullptr, true);
}

} // namespace
