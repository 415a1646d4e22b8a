// The spy filter's timer: how long the downstream filter takes to accept a
// sample (delivery time) and how long the stream takes to bring the first
// sample after a flush (flush latency, what a seek costs), measured with the
// processor's time-stamp counter.
//
// Start, Stop, Report and FlushEnd run on the streaming thread, FlushBegin on
// the thread that flushes, FlushReport on the graph's thread at Stop; there is
// no lock. The latency list never reallocates after construction, so that
// FlushReport may read it while FlushEnd appends.
#pragma once

#include "DSTrace.h"
#include "Containers.h"
#include "Functions.h"

#include <atomic>
#include <limits.h>
#include <x86intrin.h>

class CPerf
{
public:
    // Latencies kept: the first ones measured, never more.
    static constexpr int MAX_FLUSH_TESTS = 100;
    // Room of the text that FlushReport builds, in WCHARs.
    static constexpr size_t FLUSH_TEXT_SIZE = 2048;

    CPerf() noexcept
        : m_llStart(0), m_llStop(0), m_bFlush(0), m_llFlushStart(0)
    {
        if (0 == s_dwFreq)
        {
            DWORD dwFreq = 0;
            if (GetProcFreq(&dwFreq, false) && dwFreq != 0)
                s_dwFreq = dwFreq;
            else
                _LogAssert(false, __FILE__, __LINE__, "CPerf::CPerf(): GetProcFreq() FAILED");
        }
        // All the room the list will ever use; when it cannot be had, FlushEnd
        // records only what fits in what there is.
        m_arrFlush.Reserve(MAX_FLUSH_TESTS);
    }

    CPerf(const CPerf&) = delete;
    CPerf& operator=(const CPerf&) = delete;

    void Start() noexcept { m_llStart = ReadCounter(); }
    void Stop() noexcept { m_llStop = ReadCounter(); }

    // Traces the last Start-Stop interval, "<name> Dur=<ms>.<thousandths> ms".
    void Report(LPCWSTR pszName) const
    {
        UINT nMs = 0;
        UINT nFrac = 0;
        if (!ASSERT(s_dwFreq != 0) || !TicksToMs(Elapsed(m_llStart, m_llStop), s_dwFreq, &nMs, &nFrac))
            return;
        _LogTrace(atlTraceGeneral, eTL_Error, L"%s Dur=%u.%03u ms\n", pszName ? pszName : L"[Perf] ", nMs, nFrac);
    }

    // Arms a flush-latency measurement; a later flush before the next sample
    // restarts it.
    void FlushBegin() noexcept
    {
        m_llFlushStart = ReadCounter();
        // The start tick is in place before the flag that lets FlushEnd read it.
        std::atomic_thread_fence(std::memory_order_release);
        m_bFlush = 1;
    }

    // Ends an armed measurement: false when none was armed. The latency is
    // kept while the list has room (never more than MAX_FLUSH_TESTS); nothing
    // is allocated here.
    bool FlushEnd() noexcept
    {
        const LONGLONG llTime = ReadCounter();
        if (0 == m_bFlush)
            return false;
        m_bFlush = 0;
        std::atomic_thread_fence(std::memory_order_acquire);
        if (m_arrFlush.GetSize() >= MAX_FLUSH_TESTS || m_arrFlush.GetSize() >= m_arrFlush.m_nAllocSize)
            return true;
        m_arrFlush.Add(Elapsed(m_llFlushStart, llTime));
        return true;
    }

    // Traces the number of latencies kept, then all of them in one record,
    // one "<ms>.<thousandths>" per line in the order measured. The list stays.
    void FlushReport(LPCWSTR pszPrefix) const
    {
        const bool bFreq = ASSERT(s_dwFreq != 0);
        LPCWSTR pszName = pszPrefix ? pszPrefix : L"[Perf] ";
        const int nCount = m_arrFlush.GetSize();
        _LogTrace(atlTraceGeneral, eTL_Error, L"%s Result for %u tests\n", pszName, static_cast<UINT>(nCount));
        if (!bFreq)
            return;

        WCHAR szText[FLUSH_TEXT_SIZE];
        FormatLatencies(szText, FLUSH_TEXT_SIZE, m_arrFlush.m_aT, nCount, s_dwFreq);
        // The text goes as an argument: it is data, not a format.
        _LogTrace(atlTraceGeneral, eTL_Error, L"%s", szText);
    }

    // Splits a tick count into whole milliseconds and thousandths at dwFreq
    // ticks per microsecond. False (both 0) when dwFreq is 0. A negative count
    // (two cores whose counters disagree) gives 0; a count beyond the 32-bit
    // millisecond range gives its largest value.
    static bool TicksToMs(LONGLONG llTicks, DWORD dwFreq, UINT* pnMs, UINT* pnFrac) noexcept
    {
        *pnMs = 0;
        *pnFrac = 0;
        if (0 == dwFreq)
            return false;
        if (llTicks <= 0)
            return true;
        const ULONGLONG ullUs = static_cast<ULONGLONG>(llTicks) / dwFreq;
        const ULONGLONG ullMs = ullUs / 1000;
        if (ullMs > UINT_MAX)
        {
            *pnMs = UINT_MAX;
            *pnFrac = 999;
            return true;
        }
        *pnMs = static_cast<UINT>(ullMs);
        *pnFrac = static_cast<UINT>(ullUs % 1000);
        return true;
    }

    // Writes "\r\n" and then "<ms>.<thousandths>\r\n" for each of the nCount
    // tick counts into psz (cch WCHARs, always terminated; what does not fit
    // is cut). False when dwFreq is 0 (psz holds "\r\n" only).
    static bool FormatLatencies(LPWSTR psz, size_t cch, const LONGLONG* pllTicks, int nCount, DWORD dwFreq)
    {
        if (NULL == psz || cch < 1)
            return false;
        psz[0] = 0;
        _snwprintf_s(psz, cch, _TRUNCATE, L"\r\n");
        if (0 == dwFreq)
            return false;
        size_t cchUsed = wcslen(psz);
        for (int i = 0; i < nCount && cchUsed + 1 < cch; ++i)
        {
            UINT nMs = 0;
            UINT nFrac = 0;
            TicksToMs(pllTicks[i], dwFreq, &nMs, &nFrac);
            _snwprintf_s(psz + cchUsed, cch - cchUsed, _TRUNCATE, L"%u.%03u\r\n", nMs, nFrac);
            cchUsed += wcslen(psz + cchUsed);
        }
        return true;
    }

    static LONGLONG ReadCounter() noexcept { return static_cast<LONGLONG>(__rdtsc()); }

    // Ticks from llFrom to llTo, taken modulo 2^64 so that a counter passing
    // the top of the signed range still gives the true (small) difference.
    static LONGLONG Elapsed(LONGLONG llFrom, LONGLONG llTo) noexcept
    {
        return static_cast<LONGLONG>(static_cast<ULONGLONG>(llTo) - static_cast<ULONGLONG>(llFrom));
    }

    // Time-stamp-counter ticks per microsecond, shared by every timer of the
    // process; 0 until a construction has measured it.
    static inline DWORD s_dwFreq = 0;

    LONGLONG m_llStart;      // tick at Start
    LONGLONG m_llStop;       // tick at Stop
    volatile BYTE m_bFlush;  // a flush-latency measurement is armed
    LONGLONG m_llFlushStart; // tick at the flush that armed it
    CSimpleArray2<LONGLONG> m_arrFlush; // latencies in ticks, in the order measured
};
