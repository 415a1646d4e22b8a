// Measures, in one run, what a trace call costs the filter module when its
// line goes nowhere:
// - gated off by its category (value zero) or by its level (above 8): the
//   gate alone, which must stay far below 20 ns;
// - let through with no log bound: formatted, then dropped;
// each against a baseline call of the same shape that does nothing.
#include <DSTrace.h>

#include <stdio.h>

namespace {

// A registered category whose value is zero: its lines are silent.
ATL::CTraceCategory g_traceOff(L"traceOff", 0);

__attribute__((noinline)) void EmptyCall(DWORD_PTR dwCategory, UINT nLevel, LPCWSTR pszFormat, ...)
{
    asm volatile("" : : "r"(dwCategory), "r"(nLevel), "r"(pszFormat) : "memory");
}

double Now()
{
    static LARGE_INTEGER s_freq;
    if (0 == s_freq.QuadPart)
        QueryPerformanceFrequency(&s_freq);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(s_freq.QuadPart);
}

// Nanoseconds per call: the best of several runs of n calls.
template <class F>
double PerCall(F f, int n)
{
    double best = 1e30;
    for (int nRun = 0; nRun < 7; ++nRun)
    {
        const double t0 = Now();
        for (int i = 0; i < n; ++i)
            f(i);
        const double ns = (Now() - t0) * 1e9 / n;
        if (ns < best)
            best = ns;
    }
    return best;
}

} // namespace

int main()
{
    const int kGated = 20000000;
    const int kFormatted = 1000000;

    // Measure the "no log" case with no log, whatever the binding says.
    IDSLog* pBound = NULL;
    const bool bWasBound = S_OK == _LogGetObject(&pBound);
    if (bWasBound)
        g_pFirstLogClient->m_plog = NULL;

    const double nsBaseline = PerCall([](int i) { EmptyCall(atlTraceGeneral, eTL_Info, L"[%i] baseline\n", i); }, kGated);
    const double nsCategory = PerCall([](int i) { _LogTrace(g_traceOff, eTL_Info, L"[%i] category off\n", i); }, kGated);
    const double nsLevel = PerCall([](int i) { _LogTrace(atlTraceGeneral, eTL_Verbose, L"[%i] verbose\n", i); }, kGated);
    const double nsNoLog =
        PerCall([](int i) { _LogTrace(atlTraceGeneral, eTL_Info, L"[%i] %s: no log bound, hr=0x%X\n", i, L"[Spy 1]", 0x80004005u); },
                kFormatted);

    if (bWasBound)
        g_pFirstLogClient->m_plog = pBound;

    printf("trace call cost (best of 7 runs)\n");
    printf("  baseline: empty non-inlined call of the same shape   %7.2f ns\n", nsBaseline);
    printf("  gated off by a zero category                         %7.2f ns  (%.2fx baseline)\n", nsCategory,
           nsCategory / nsBaseline);
    printf("  gated off by level 10 (above 8)                      %7.2f ns  (%.2fx baseline)\n", nsLevel,
           nsLevel / nsBaseline);
    printf("  level 8, formatted, no log bound                     %7.2f ns  (%.2fx baseline)\n", nsNoLog,
           nsNoLog / nsBaseline);
    printf("target: a gated trace call under 20 ns: %s\n",
           (nsCategory < 20.0 && nsLevel < 20.0) ? "met" : "NOT met");
    return 0;
}
