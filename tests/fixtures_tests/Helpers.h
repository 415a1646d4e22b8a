// Shared pieces of the fixture tests.
#pragma once

#include "dsfix/Graph.h"
#include "dsfix/Pattern.h"
#include "dsfix/TestSink.h"
#include "dsfix/TestSource.h"

#include <gtest/gtest.h>

#include <vector>

namespace dsfix {

inline ComPtr<TestSource> MakeSource(const TestSourceConfig& c)
{
    TestSource* p = nullptr;
    EXPECT_EQ(S_OK, TestSource::Create(c, &p));
    ComPtr<TestSource> r;
    r.Attach(p);
    return r;
}

inline ComPtr<TestSink> MakeSink(const TestSinkConfig& c)
{
    TestSink* p = nullptr;
    EXPECT_EQ(S_OK, TestSink::Create(c, &p));
    ComPtr<TestSink> r;
    r.Attach(p);
    return r;
}

// 64x48 RGB32 frames of 1 ms: 12288 bytes each.
inline MediaType SmallVideo(const GUID& subtype = MEDIASUBTYPE_RGB32)
{
    return VideoType(subtype, 64, 48, 10000);
}

inline TestSourceConfig VideoSource(long samples, const GUID& subtype = MEDIASUBTYPE_RGB32)
{
    TestSourceConfig c;
    c.mediaTypes = {SmallVideo(subtype)};
    c.sampleCount = samples;
    c.frameDuration = 10000;
    return c;
}

// Every sample 0..count-1 arrived once, in order, with every byte intact,
// its full length and its time stamps.
inline void ExpectStreamIntact(const std::vector<SampleRecord>& got, long count, long length,
                               REFERENCE_TIME duration)
{
    ASSERT_EQ(static_cast<size_t>(count), got.size());
    std::vector<uint8_t> expect(static_cast<size_t>(length));
    for (long i = 0; i < count; ++i) {
        const SampleRecord& r = got[static_cast<size_t>(i)];
        EXPECT_EQ(i, r.number) << "sample " << i;
        EXPECT_TRUE(r.patternOk) << "sample " << i << " first bad byte " << r.firstBad;
        EXPECT_EQ(length, r.actualLength) << "sample " << i;
        FillPattern(static_cast<uint32_t>(i), expect.data(), expect.size());
        EXPECT_EQ(Checksum(expect.data(), expect.size()), r.checksum) << "sample " << i;
        if (duration > 0) {
            EXPECT_EQ(S_OK, r.timeHr) << "sample " << i;
            EXPECT_EQ(i * duration, r.start) << "sample " << i;
            EXPECT_EQ((i + 1) * duration, r.stop) << "sample " << i;
        }
    }
}

// Each test holds its own COM apartment, and ends with no fixture object
// alive: every reference the graph and the Wine filters took was returned.
class FixtureTest : public ::testing::Test {
protected:
    ~FixtureTest() override { EXPECT_EQ(0, LiveObjectCount()) << "fixture objects leaked"; }
    ComInit m_com;
};

} // namespace dsfix
