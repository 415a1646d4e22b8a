#include "dsfix/Pattern.h"

#include <gtest/gtest.h>

#include <vector>

namespace dsfix {
namespace {

TEST(Pattern, RoundTripsNumberAndBytes)
{
    std::vector<uint8_t> buf(1000);
    FillPattern(123456, buf.data(), buf.size());
    uint32_t n = 0;
    size_t bad = 99;
    ASSERT_TRUE(CheckPattern(buf.data(), buf.size(), &n, &bad));
    EXPECT_EQ(123456u, n);
    EXPECT_EQ(0u, bad);
}

TEST(Pattern, FindsTheFirstChangedByte)
{
    std::vector<uint8_t> buf(4096);
    FillPattern(7, buf.data(), buf.size());
    for (size_t at : {size_t(4), size_t(5), size_t(1000), size_t(4095)}) {
        std::vector<uint8_t> b = buf;
        b[at] ^= 0x01;
        uint32_t n = 0;
        size_t bad = 0;
        EXPECT_FALSE(CheckPattern(b.data(), b.size(), &n, &bad)) << at;
        EXPECT_EQ(at, bad);
    }
}

TEST(Pattern, NeighbouringSamplesDifferInMostBytes)
{
    // A sample delivered under another sample's number must not pass.
    std::vector<uint8_t> a(256), b(256);
    FillPattern(10, a.data(), a.size());
    FillPattern(11, b.data(), b.size());
    b[0] = a[0];
    size_t bad = 0;
    EXPECT_FALSE(CheckPattern(b.data(), b.size(), nullptr, &bad));
    EXPECT_LT(bad, 8u);
    size_t same = 0;
    for (size_t i = 4; i < a.size(); ++i) same += a[i] == b[i];
    EXPECT_LT(same, 16u);
}

TEST(Pattern, ShortSampleHasNoNumber)
{
    uint8_t b[3] = {1, 2, 3};
    uint32_t n = 77;
    EXPECT_FALSE(CheckPattern(b, 3, &n, nullptr));
    EXPECT_EQ(77u, n);
    EXPECT_NE(Checksum(b, 3), Checksum(b, 2));
}

} // namespace
} // namespace dsfix
