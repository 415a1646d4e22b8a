// The spy filter's timer: report lines, flush-latency list, the shared
// processor frequency, and the paths where the frequency is unknown or the
// tick counts are out of the ordinary.
#include <Perf.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestLog.h"

namespace {

// Keeps the process-wide frequency as the test found it.
class PerfTest : public ::testing::Test
{
protected:
    void SetUp() override { m_dwSavedFreq = CPerf::s_dwFreq; }
    void TearDown() override { CPerf::s_dwFreq = m_dwSavedFreq; }

    // The records written while a scope lived that contain sWhat.
    static std::vector<std::wstring> With(const CRecordingLog& log, const std::wstring& sWhat)
    {
        std::vector<std::wstring> v;
        for (const std::wstring& s : log.m_lines)
            if (s.find(sWhat) != std::wstring::npos)
                v.push_back(s);
        return v;
    }

    DWORD m_dwSavedFreq = 0;
};

// A level-2 record: the level plus one, then the text.
std::wstring Level2(const std::wstring& s)
{
    return std::wstring(1, static_cast<wchar_t>(3)) + s;
}

TEST_F(PerfTest, TheReportLineGivesTheDurationInMilliseconds)
{
    const struct
    {
        LONGLONG llStart, llStop;
        DWORD dwFreq;
        LPCWSTR pszName;
        LPCWSTR pszLine;
    } cases[] = {
        { 0, 3000000, 2000, L"[Spy 3]", L"[Spy 3] Dur=1.500 ms\n" },
        { 1000, 3001000, 2000, NULL, L"[Perf]  Dur=1.500 ms\n" },
        { 5, 5, 3000, L"[Spy 1]", L"[Spy 1] Dur=0.000 ms\n" },
        { 0, 2999, 3000, L"[Spy 1]", L"[Spy 1] Dur=0.000 ms\n" },      // under a microsecond
        { 0, 3000, 3000, L"[Spy 1]", L"[Spy 1] Dur=0.001 ms\n" },
        { 0, 123456789, 1, L"[Spy 1]", L"[Spy 1] Dur=123456.789 ms\n" },
        // Two cores whose counters disagree: the counter went back.
        { 5000000, 1000, 2000, L"[Spy 2]", L"[Spy 2] Dur=0.000 ms\n" },
        // Beyond 2^32 microseconds (72 minutes at this rate): no wrap.
        { 0, 10000000000000LL, 2000, L"[Spy 2]", L"[Spy 2] Dur=5000000.000 ms\n" },
        // Beyond the 32-bit millisecond range: the largest value, not a wrap.
        { 0, 0x7FFFFFFFFFFFFFFFLL, 1, L"[Spy 2]", L"[Spy 2] Dur=4294967295.999 ms\n" },
        { -0x7FFFFFFFFFFFFFFFLL, 0x7FFFFFFFFFFFFFFFLL, 1, L"[Spy 2]", L"[Spy 2] Dur=0.000 ms\n" },
    };
    CPerf perf;
    for (const auto& c : cases)
    {
        CPerf::s_dwFreq = c.dwFreq;
        perf.m_llStart = c.llStart;
        perf.m_llStop = c.llStop;
        CRecordingLogScope log;
        perf.Report(c.pszName);
        ASSERT_EQ(1u, log.m_log.m_lines.size()) << c.pszLine;
        EXPECT_EQ(Level2(c.pszLine), log.m_log.m_lines[0]);
    }
}

TEST_F(PerfTest, StartAndStopReadTheCounter)
{
    CPerf perf;
    const LONGLONG llBefore = CPerf::ReadCounter();
    perf.Start();
    Sleep(1);
    perf.Stop();
    EXPECT_LE(llBefore, perf.m_llStart);
    EXPECT_LT(perf.m_llStart, perf.m_llStop);
    CRecordingLogScope log;
    perf.Report(L"[Spy 9]");
    ASSERT_EQ(1u, log.m_log.m_lines.size());
    const std::wstring& s = log.m_log.m_lines[0];
    unsigned nMs = 0, nFrac = 0;
    wchar_t szTail[8] = {};
    EXPECT_EQ(3, swscanf(s.c_str() + 1, L"[Spy 9] Dur=%u.%3u %2ls", &nMs, &nFrac, szTail)) << s;
    EXPECT_STREQ(L"ms", szTail);
}

// Without a frequency neither Report nor FlushReport divides: the failed
// check is logged, the count line still comes, the values do not.
TEST_F(PerfTest, ZeroFrequencyIsReportedNotDividedBy)
{
    CPerf perf;
    perf.FlushBegin();
    ASSERT_TRUE(perf.FlushEnd());
    CPerf::s_dwFreq = 0;
    perf.m_llStart = 0;
    perf.m_llStop = 3000000;

    CRecordingLogScope log;
    perf.Report(L"[Spy 1]");
    EXPECT_TRUE(log.m_log.HasAssert("s_dwFreq != 0"));
    EXPECT_TRUE(With(log.m_log, L"Dur=").empty());

    log.m_log.m_lines.clear();
    perf.FlushReport(L"[Perf - Flush] ");
    EXPECT_TRUE(log.m_log.HasAssert("s_dwFreq != 0"));
    EXPECT_EQ((std::vector<std::wstring>{ Level2(L"[Perf - Flush]  Result for 1 tests\n") }),
              With(log.m_log, L"Result for"));
    EXPECT_TRUE(With(log.m_log, L"\r\n").empty()) << "no list";

    UINT nMs = 7, nFrac = 7;
    EXPECT_FALSE(CPerf::TicksToMs(3000000, 0, &nMs, &nFrac));
    EXPECT_EQ(0u, nMs);
    EXPECT_EQ(0u, nFrac);
}

TEST_F(PerfTest, FlushEndWithoutFlushBeginRecordsNothing)
{
    CPerf perf;
    EXPECT_FALSE(perf.FlushEnd());
    EXPECT_EQ(0, perf.m_arrFlush.GetSize());

    perf.FlushBegin();
    EXPECT_TRUE(perf.FlushEnd());
    EXPECT_FALSE(perf.FlushEnd()) << "the first sample disarms";
    EXPECT_EQ(1, perf.m_arrFlush.GetSize());
    EXPECT_GE(perf.m_arrFlush[0], 0);
}

TEST_F(PerfTest, SecondFlushBeforeASampleRestartsTheMeasurement)
{
    CPerf perf;
    perf.FlushBegin();
    const LONGLONG llFirst = perf.m_llFlushStart;
    Sleep(2);
    perf.FlushBegin();
    const LONGLONG llSecond = perf.m_llFlushStart;
    EXPECT_LT(llFirst, llSecond);
    EXPECT_TRUE(perf.FlushEnd());
    const LONGLONG llAfter = CPerf::ReadCounter();
    ASSERT_EQ(1, perf.m_arrFlush.GetSize());
    EXPECT_LE(perf.m_arrFlush[0], llAfter - llSecond);
}

// The room for every latency is taken at construction: recording never moves
// the storage (FlushReport may read it from another thread meanwhile), and
// the 101st and later latencies are dropped.
TEST_F(PerfTest, AtMostOneHundredLatenciesWithoutAllocation)
{
    CPerf perf;
    EXPECT_EQ(CPerf::MAX_FLUSH_TESTS, perf.m_arrFlush.m_nAllocSize);
    const LONGLONG* pStorage = perf.m_arrFlush.m_aT;
    ASSERT_NE(nullptr, pStorage);
    for (int i = 0; i < 150; ++i)
    {
        perf.FlushBegin();
        EXPECT_TRUE(perf.FlushEnd()) << i;
        EXPECT_EQ(pStorage, perf.m_arrFlush.m_aT) << i;
    }
    EXPECT_EQ(100, perf.m_arrFlush.GetSize());
    EXPECT_EQ(CPerf::MAX_FLUSH_TESTS, perf.m_arrFlush.m_nAllocSize);

    CPerf::s_dwFreq = 2000;
    for (int nStop = 0; nStop < 2; ++nStop)
    {
        CRecordingLogScope log;
        perf.FlushReport(L"[Perf - Flush] ");
        ASSERT_EQ(2u, log.m_log.m_lines.size());
        EXPECT_EQ(Level2(L"[Perf - Flush]  Result for 100 tests\n"), log.m_log.m_lines[0]) << "Stop " << nStop;
    }
    EXPECT_EQ(100, perf.m_arrFlush.GetSize()) << "the list is kept";
}

// With less room than asked (the reservation failed), FlushEnd records what
// fits and allocates nothing.
TEST_F(PerfTest, FlushEndNeverGrowsTheList)
{
    CPerf perf;
    perf.m_arrFlush.RemoveAll();
    EXPECT_TRUE(perf.m_arrFlush.Reserve(2));
    const LONGLONG* pStorage = perf.m_arrFlush.m_aT;
    for (int i = 0; i < 5; ++i)
    {
        perf.FlushBegin();
        EXPECT_TRUE(perf.FlushEnd());
    }
    EXPECT_EQ(2, perf.m_arrFlush.GetSize());
    EXPECT_EQ(pStorage, perf.m_arrFlush.m_aT);

    perf.m_arrFlush.RemoveAll(); // no room at all
    perf.FlushBegin();
    EXPECT_TRUE(perf.FlushEnd());
    EXPECT_EQ(0, perf.m_arrFlush.GetSize());
    EXPECT_EQ(nullptr, perf.m_arrFlush.m_aT);
}

TEST_F(PerfTest, FlushLatenciesAreReportedAsAList)
{
    CPerf perf;
    for (int i = 0; i < 4; ++i)
    {
        perf.FlushBegin();
        perf.FlushEnd();
    }
    // Known latencies in place of the measured ones.
    perf.m_arrFlush[0] = 3000000;
    perf.m_arrFlush[1] = 2000;
    perf.m_arrFlush[2] = 0;
    perf.m_arrFlush[3] = 2000LL * 1000 * 4500000; // 75 minutes
    CPerf::s_dwFreq = 2000;

    CRecordingLogScope log;
    perf.FlushReport(L"[Perf - Flush] ");
    perf.FlushReport(NULL);
    const std::wstring sList = Level2(L"\r\n1.500\r\n0.001\r\n0.000\r\n4500000.000\r\n");
    EXPECT_EQ((std::vector<std::wstring>{ Level2(L"[Perf - Flush]  Result for 4 tests\n"), sList,
                                           Level2(L"[Perf]  Result for 4 tests\n"), sList }),
              log.m_log.m_lines);
}

// The list text is one record: the record's size cuts it, never overruns it.
TEST_F(PerfTest, LongListIsCutByTheRecord)
{
    CPerf perf;
    for (int i = 0; i < CPerf::MAX_FLUSH_TESTS; ++i)
    {
        perf.FlushBegin();
        perf.FlushEnd();
        perf.m_arrFlush[i] = 2000LL * (1000000 + i); // "1000.<i>" ms
    }
    CPerf::s_dwFreq = 2000;
    CRecordingLogScope log;
    perf.FlushReport(L"[Perf - Flush] ");
    ASSERT_EQ(2u, log.m_log.m_lines.size());
    const std::wstring& s = log.m_log.m_lines[1];
    EXPECT_EQ(TRACE_RECORD_SIZE - 1, s.size());
    EXPECT_EQ(0u, s.find(Level2(L"\r\n1000.000\r\n1000.001\r\n1000.002\r\n")));

    // The whole text, built apart, holds all hundred lines.
    WCHAR sz[CPerf::FLUSH_TEXT_SIZE];
    ASSERT_TRUE(CPerf::FormatLatencies(sz, CPerf::FLUSH_TEXT_SIZE, perf.m_arrFlush.m_aT, 100, 2000));
    const std::wstring sAll(sz);
    EXPECT_EQ(2u + 100u * 10u, sAll.size());
    EXPECT_NE(std::wstring::npos, sAll.find(L"\r\n1000.099\r\n"));
}

// The widest possible list still fits the text buffer, and a small buffer is
// filled and terminated without a write past it.
TEST_F(PerfTest, LatencyTextStaysInItsBuffer)
{
    std::vector<LONGLONG> widest(CPerf::MAX_FLUSH_TESTS, 0x7FFFFFFFFFFFFFFFLL);
    std::vector<WCHAR> buf(CPerf::FLUSH_TEXT_SIZE + 16, 0x5A5A);
    ASSERT_TRUE(CPerf::FormatLatencies(buf.data(), CPerf::FLUSH_TEXT_SIZE, widest.data(), 100, 1));
    EXPECT_EQ(2u + 100u * 16u, wcslen(buf.data())); // "4294967295.999\r\n" each
    for (size_t i = CPerf::FLUSH_TEXT_SIZE; i < buf.size(); ++i)
        ASSERT_EQ(0x5A5A, buf[i]);

    for (size_t cch : { 1u, 2u, 3u, 7u, 20u })
    {
        std::vector<WCHAR> small(cch + 8, 0x5A5A);
        CPerf::FormatLatencies(small.data(), cch, widest.data(), 100, 1);
        EXPECT_LT(wcsnlen(small.data(), cch), cch) << cch;
        for (size_t i = cch; i < small.size(); ++i)
            ASSERT_EQ(0x5A5A, small[i]) << cch;
    }
}

// The first timer of the process measures the frequency; later ones take it.
TEST_F(PerfTest, FrequencyIsMeasuredOncePerProcess)
{
    CPerf::s_dwFreq = 0;
    {
        CPerf perf;
    }
    EXPECT_NE(0u, CPerf::s_dwFreq);
    DWORD dwExpected = 0;
    ASSERT_TRUE(GetProcFreq(&dwExpected, false));
    EXPECT_EQ(dwExpected, CPerf::s_dwFreq);

    CPerf::s_dwFreq = 1234;
    {
        CPerf perf;
        EXPECT_EQ(0, perf.m_llStart);
        EXPECT_EQ(0, perf.m_llStop);
        EXPECT_EQ(0, perf.m_bFlush);
        EXPECT_EQ(0, perf.m_arrFlush.GetSize());
    }
    EXPECT_EQ(1234u, CPerf::s_dwFreq);
}

} // namespace
