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
    SwapPathSeparators(nullptr, true);
}

} // namespace
