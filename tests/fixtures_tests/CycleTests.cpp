// Run/Pause/Stop cycles while the source streams: every Stop returns (a
// hang ends the program as a failure), every stream restarts from sample 0.
#include "Helpers.h"

namespace dsfix {
namespace {

enum class Renderer { WineNull, TestSink };

void PrintTo(Renderer r, std::ostream* os) { *os << (r == Renderer::WineNull ? "WineNullRenderer" : "TestSink"); }

class Cycles : public FixtureTest, public ::testing::WithParamInterface<Renderer> {};

INSTANTIATE_TEST_SUITE_P(Downstream, Cycles, ::testing::Values(Renderer::WineNull, Renderer::TestSink),
                         [](const ::testing::TestParamInfo<Renderer>& i) {
                             return i.param == Renderer::WineNull ? "WineNullRenderer" : "TestSink";
                         });

// Wine's Null Renderer blocks Receive while paused, so a Stop there meets a
// streaming thread blocked downstream; the test sink never blocks, so a Stop
// there races with a thread pushing as fast as it can.
TEST_P(Cycles, FiftyRunPauseStopCyclesWhileStreaming)
{
    const int cycles = 50;
    HangWatchdog watchdog(120000, "50 Run/Pause/Stop cycles");
    TestSourceConfig sc = VideoSource(1000000);
    auto src = MakeSource(sc);
    auto sink = MakeSink({});
    TestGraph g;
    ASSERT_EQ(S_OK, g.Create());
    ASSERT_EQ(S_OK, g.Add(src, L"source"));
    ComPtr<IBaseFilter> renderer;
    if (GetParam() == Renderer::WineNull) {
        ASSERT_EQ(S_OK, g.AddNew(CLSID_WineNullRenderer, L"null", &renderer));
    } else {
        renderer = sink.Get();
        ASSERT_EQ(S_OK, g.Add(sink, L"sink"));
    }
    ASSERT_EQ(S_OK, g.ConnectDirect(src->Pin(), FindPin(renderer, PINDIR_INPUT)));

    for (int i = 0; i < cycles; ++i) {
        SCOPED_TRACE(i);
        src->ClearRecords();
        sink->ClearRecords();
        if (i % 2 == 0) {
            // Run, Pause (streaming continues into a paused graph), Stop.
            ASSERT_TRUE(SUCCEEDED(g.Run()));
            ASSERT_TRUE(src->WaitForPushed(3, 10000));
            ASSERT_TRUE(SUCCEEDED(g.Pause()));
            src->WaitForPushed(6, 20);
        } else {
            // Pause, Run, Stop straight from Running.
            ASSERT_TRUE(SUCCEEDED(g.Pause()));
            ASSERT_TRUE(SUCCEEDED(g.Run()));
            ASSERT_TRUE(src->WaitForPushed(3, 10000));
        }
        ASSERT_EQ(S_OK, g.Stop());
        FILTER_STATE st;
        EXPECT_EQ(S_OK, src->GetState(0, &st));
        EXPECT_EQ(State_Stopped, st);
        EXPECT_TRUE(src->WaitForStreamEnd(0)) << "streaming thread still running after Stop";

        // Each stream starts again at sample 0 and keeps its order.
        std::vector<PushRecord> pushes = src->Pushes();
        for (size_t k = 0; k < pushes.size(); ++k) {
            EXPECT_EQ(static_cast<long>(k), pushes[k].number);
            EXPECT_EQ(i + 1, pushes[k].stream);
        }
        if (GetParam() == Renderer::TestSink) {
            std::vector<SampleRecord> got = sink->Samples();
            for (size_t k = 0; k < got.size(); ++k) {
                EXPECT_EQ(static_cast<long>(k), got[k].number);
                EXPECT_TRUE(got[k].patternOk);
            }
        }
    }
    SourceRecords rec = src->Records();
    EXPECT_EQ(cycles, rec.streamsStarted);
    EXPECT_EQ(cycles, rec.streamsFinished);
    EXPECT_EQ(0, rec.endOfStreamsSent);
}

} // namespace
} // namespace dsfix
