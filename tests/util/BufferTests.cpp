// The growing wide-character buffer in task memory.
#include <Containers.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(WideStringBuffer, GrowsInGranulesAboveTheRequest)
{
    CWideStringBuffer buf;
    EXPECT_EQ(nullptr, buf.GetText());
    ASSERT_TRUE(buf.Reserve(4096));
    EXPECT_EQ(8192u, buf.GetCapacity());
    EXPECT_STREQ(L"", buf.GetText());

    // Enough room already: nothing moves.
    const wchar_t* pOld = buf.GetText();
    ASSERT_TRUE(buf.Reserve(8192));
    EXPECT_EQ(pOld, buf.GetText());
    EXPECT_EQ(8192u, buf.GetCapacity());

    ASSERT_TRUE(buf.Reserve(1));
    EXPECT_EQ(8192u, buf.GetCapacity());

    CWideStringBuffer small;
    ASSERT_TRUE(small.Reserve(0));
    EXPECT_EQ(4096u, small.GetCapacity());
}

TEST(WideStringBuffer, AppendKeepsTheTextTerminatedAcrossGrowth)
{
    CWideStringBuffer buf;
    ASSERT_TRUE(buf.Append(L""));
    EXPECT_EQ(nullptr, buf.GetText()) << "an empty text allocates nothing";

    std::wstring expected;
    const std::wstring piece(1000, L'x');
    for (int i = 0; i < 9; ++i)
    {
        std::wstring p = piece;
        p[0] = static_cast<wchar_t>(L'0' + i);
        ASSERT_TRUE(buf.Append(p.c_str()));
        expected += p;
        ASSERT_EQ(expected.size(), buf.GetLength());
        ASSERT_EQ(expected, std::wstring(buf.GetText()));
    }
    // 9001 characters with the terminator: the granule above is 12288.
    EXPECT_EQ(12288u, buf.GetCapacity());
}

TEST(WideStringBuffer, DetachHandsOverTheBlockAndEmpties)
{
    CWideStringBuffer buf;
    ASSERT_TRUE(buf.Append(L"graph"));
    LPWSTR psz = buf.Detach();
    ASSERT_NE(nullptr, psz);
    EXPECT_STREQ(L"graph", psz);
    EXPECT_EQ(nullptr, buf.GetText());
    EXPECT_EQ(0u, buf.GetCapacity());
    EXPECT_EQ(0u, buf.GetLength());
    CoTaskMemFree(psz);

    // Usable again after handing out.
    ASSERT_TRUE(buf.Append(L"again"));
    EXPECT_STREQ(L"again", buf.GetText());
}

TEST(WideStringBuffer, ARoomThatCannotBeHadFreesTheTextAndFails)
{
    CWideStringBuffer buf;
    ASSERT_TRUE(buf.Append(L"lost"));
    EXPECT_FALSE(buf.Reserve(0xFFFFFFFFu));
    EXPECT_EQ(nullptr, buf.GetText());
    EXPECT_EQ(0u, buf.GetCapacity());
    EXPECT_EQ(0u, buf.GetLength());
}

} // namespace
