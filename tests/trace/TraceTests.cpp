#include <DSTrace.h>
#include <gtest/gtest.h>

namespace {

TEST(ErrorText, NullArgumentsGiveNull)
{
    WCHAR sz[TRACE_ERRORTEXT_SIZE];
    EXPECT_EQ(nullptr, _LogErrorText(nullptr, L"m", L"n", 0));
    EXPECT_EQ(nullptr, _LogErrorText(sz, L"m", nullptr, 0));
}

TEST(ErrorText, NameCodeAndMessage)
{
    WCHAR sz[TRACE_ERRORTEXT_SIZE];
    ASSERT_EQ(sz, _LogErrorText(sz, nullptr, L"Code", 0x80004005));
    EXPECT_EQ(0, wcsncmp(sz, L"Code=0x80004005 (-2147467259)\nno message\n", 41)) << sz;
}

TEST(SwapPathSeparators, BothDirections)
{
    WCHAR sz[] = L"C:|x|y\\z";
    SwapPathSeparators(sz, false);
    EXPECT_STREQ(L"C:\\x\\y\\z", sz);
    SwapPathSeparators(sz, true);
    EXPECT_STREQ(L"C:|x|y|z", sz);
    SwapPathSeparators(nullptr, true);
}

} // namespace
