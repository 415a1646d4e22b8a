// Our allocator carrying a real stream in Wine's filter graph: the test
// source fills its buffers and delivers them to a recording sink or to
// Wine's Null Renderer; a graph stopped while the source waits for a buffer
// stops at once, and every buffer comes back.
#include "AllocTest.h"

#include "dsfix/Graph.h"
#include "dsfix/Pattern.h"
#include "dsfix/TestSink.h"
#include "dsfix/TestSource.h"

#include <algorithm>

using namespace dsfix;

namespace
{

class Graph : public ::testing::Test
{
protected:
    ~Graph() override { EXPECT_EQ(0, LiveObjectCount()) << "fixture objects leaked"; }
    ComInit m_com;
};

ComPtr<TestSource> MakeSource(const TestSourceConfig& c)
{
    TestSource* p = nullptr;
    EXPECT_EQ(S_OK, TestSource::Create(c, &p));
    ComPtr<TestSource> r;
    r.Attach(p);
    return r;
}

TestSourceConfig SourceOn(IMemAllocator* pAlloc, long nSamples, REFERENCE_TIME tFrame)
{
    TestSourceConfig c;
    c.mediaTypes = { VideoType(MEDIASUBTYPE_RGB32, 64, 48, tFrame) };
    c.sampleCount = nSamples;
    c.frameDuration = tFrame;
    c.allocatorMode = SourceAllocator::Given;
    c.allocator = pAlloc;
    c.allocatorProperties = { 2, 0, 16, 0 };
    return c;
}

ComPtr<TestSink> MakeSink()
{
    TestSink* p = nullptr;
    EXPECT_EQ(S_OK, TestSink::Create(TestSinkConfig(), &p));
    ComPtr<TestSink> r;
    r.Attach(p);
    return r;
}

// Source straight into the sink.
HRESULT Build(TestGraph& g, TestSource* src, TestSink* sink)
{
    HRESULT hr = g.Create();
    if (SUCCEEDED(hr))
        hr = g.Add(src, L"source");
    if (SUCCEEDED(hr))
        hr = g.Add(sink, L"sink");
    if (SUCCEEDED(hr))
        hr = g.ConnectDirect(src->Pin(), sink->Pin());
    return hr;
}

// Every buffer is back and the allocator fully decommitted: it takes new
// properties again.
void ExpectAllBack(IMemAllocator* pAlloc)
{
    HRESULT hr = S_OK;
    FreeCount(pAlloc, &hr);
    EXPECT_EQ(VFW_E_NOT_COMMITTED, hr);
    ALLOCATOR_PROPERTIES req = Props(1, 16, 1, 0), actual;
    EXPECT_EQ(S_OK, pAlloc->SetProperties(&req, &actual));
}

TEST_F(Graph, AStreamThroughOurAllocatorArrivesIntact)
{
    HangWatchdog watchdog(60000, "stream through our allocator");
    ComPtr<IMemAllocator> alloc;
    ASSERT_EQ(S_OK, CreateOurAllocator(&alloc));
    ComPtr<TestSource> src = MakeSource(SourceOn(alloc, 40, 10000));
    ComPtr<TestSink> sink = MakeSink();
    {
        TestGraph g;
        ASSERT_EQ(S_OK, Build(g, src, sink));
        EXPECT_EQ(alloc.Get(), src->Records().allocator.allocator);
        EXPECT_EQ(alloc.Get(), sink->Records().notifiedAllocator);
        ASSERT_TRUE(g.RunToCompletion());

        const std::vector<SampleRecord> got = sink->Samples();
        ASSERT_EQ(40u, got.size());
        for (size_t i = 0; i < got.size(); ++i)
        {
            EXPECT_EQ(static_cast<long>(i), got[i].number);
            EXPECT_TRUE(got[i].patternOk) << "sample " << i;
            EXPECT_EQ(64 * 48 * 4, got[i].actualLength);
            EXPECT_EQ(64 * 48 * 4, got[i].size);
            EXPECT_EQ(0u, reinterpret_cast<UINT_PTR>(got[i].buffer) % 16);
        }
        // The pool's buffers served the whole stream.
        std::vector<BYTE*> buffers;
        for (const auto& r : got)
            if (std::find(buffers.begin(), buffers.end(), r.buffer) == buffers.end())
                buffers.push_back(r.buffer);
        EXPECT_LE(buffers.size(), 2u);
    }
    ExpectAllBack(alloc);
}

// The source waits for a buffer while the test holds the whole pool: a
// buffer given back wakes it, and a graph stopped while it waits stops at
// once, and every buffer comes back.
TEST_F(Graph, ASourceWaitingForABufferWakesOrStopsAtOnce)
{
    HangWatchdog watchdog(60000, "source waiting for a buffer");
    ComPtr<IMemAllocator> alloc;
    ASSERT_EQ(S_OK, CreateOurAllocator(&alloc));
    TestSourceConfig sc = SourceOn(alloc, 100, 10000);
    sc.credit = 0;
    ComPtr<TestSource> src = MakeSource(sc);
    ComPtr<TestSink> sink = MakeSink();
    TestGraph g;
    ASSERT_EQ(S_OK, Build(g, src, sink));
    ALLOCATOR_PROPERTIES props = {};
    ASSERT_EQ(S_OK, alloc->GetProperties(&props));

    for (int nRound = 0; nRound < 3; ++nRound)
    {
        SCOPED_TRACE(nRound);
        ASSERT_TRUE(SUCCEEDED(g.Run()));
        ComPtr<IMediaSample> a, b;
        ASSERT_EQ(S_OK, alloc->GetBuffer(&a, NULL, NULL, AM_GBF_NOWAIT));
        ASSERT_EQ(S_OK, alloc->GetBuffer(&b, NULL, NULL, AM_GBF_NOWAIT));
        const size_t nPushed = src->Pushes().size();
        src->Allow(1);
        Sleep(200);
        EXPECT_EQ(nPushed, src->Pushes().size()) << "the source did not wait";
        if (0 == nRound)
        {
            a.Reset();
            EXPECT_TRUE(src->WaitForPushed(nPushed + 1, 5000));
            EXPECT_EQ(S_OK, src->Pushes().back().getBufferHr);
            EXPECT_EQ(S_OK, src->Pushes().back().receiveHr);
            // Take the buffer back as soon as the sink lets it go: the next
            // push waits again.
            ASSERT_EQ(S_OK, alloc->GetBuffer(&a, NULL, NULL, 0));
            src->Allow(1);
            Sleep(200);
            EXPECT_EQ(nPushed + 1, src->Pushes().size()) << "the source did not wait";
        }
        const DWORD dwStart = GetTickCount();
        EXPECT_EQ(S_OK, g.Stop());
        EXPECT_LT(GetTickCount() - dwStart, 5000u);
        EXPECT_TRUE(src->WaitForStreamEnd(5000));
        // The stream ended because the allocator was decommitted under it.
        EXPECT_EQ(VFW_E_NOT_COMMITTED, src->Pushes().back().getBufferHr);
        a.Reset();
        b.Reset();
        ExpectAllBack(alloc);
        ALLOCATOR_PROPERTIES actual;
        ASSERT_EQ(S_OK, alloc->SetProperties(&props, &actual));
    }
    g.Release();
}

} // namespace
