// The guarded call: faults and raised exceptions inside a guard come back as
// FALSE with their code, the filter sees the live exception, guards nest and
// work on many threads at once, and the caller's state survives.
#include <sehguard.h>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// Addresses that fault: the first page is never mapped, and a reserved page
// is never committed.
volatile int* const kNullPage = reinterpret_cast<volatile int*>(0x10);

struct ReservedPage
{
    ReservedPage() : p(static_cast<BYTE*>(VirtualAlloc(NULL, 4096, MEM_RESERVE, PAGE_NOACCESS))) {}
    ~ReservedPage() { VirtualFree(p, 0, MEM_RELEASE); }
    BYTE* p;
};

char g_szSink[64];

__attribute__((noinline)) void WriteTo(volatile int* p, int v) { *p = v; }
__attribute__((noinline)) int ReadFrom(volatile int* p) { return *p; }

TEST(SehGuard, BodyThatReturnsGivesTrue)
{
    int n = 0;
    DWORD dwCode = 0xDEAD;
    EXPECT_TRUE(SEH_Guard([&] { n = 42; }, &dwCode));
    EXPECT_EQ(42, n);
    EXPECT_EQ(0u, dwCode);
}

TEST(SehGuard, FaultsAndRaisedExceptionsGiveFalseWithTheirCode)
{
    ReservedPage page;
    ASSERT_NE(nullptr, page.p);
    struct Case
    {
        const char* name;
        void (*body)(void*);
        DWORD dwCode;
    };
    static void* s_pReserved;
    s_pReserved = page.p;
    const Case cases[] = {
        { "write near NULL", [](void*) { WriteTo(kNullPage, 1); }, EXCEPTION_ACCESS_VIOLATION },
        { "read of a reserved page", [](void*) { ReadFrom(static_cast<volatile int*>(s_pReserved)); },
          EXCEPTION_ACCESS_VIOLATION },
        { "copy from a reserved page",
          [](void*) {
              memcpy(g_szSink, s_pReserved, sizeof(g_szSink));
              asm volatile("" : : "r"(g_szSink) : "memory"); // the copy is used
          },
          EXCEPTION_ACCESS_VIOLATION },
        { "RaiseException", [](void*) { RaiseException(0xE0001234, 0, 0, NULL); }, 0xE0001234 },
        { "integer division by zero",
          [](void*) {
              volatile int nZero = 0;
              volatile int n = 7 / nZero;
              (void)n;
          },
          EXCEPTION_INT_DIVIDE_BY_ZERO },
        { "breakpoint", [](void*) { DebugBreak(); }, EXCEPTION_BREAKPOINT },
    };
    for (const Case& c : cases)
    {
        SEH_GUARD guard = { NULL, NULL, 0 };
        EXPECT_FALSE(SEH_GuardedCall(c.body, NULL, &guard)) << c.name;
        EXPECT_EQ(c.dwCode, guard.dwExceptionCode) << c.name;
    }
}

TEST(SehGuard, FilterSeesTheLiveExceptionBeforeTheStackIsLeft)
{
    struct Seen
    {
        DWORD dwCode = 0;
        ULONG_PTR uAccess = 99, uAddress = 0;
        DWORD64 rip = 0;
        DWORD dwThread = 0;
        int nCalls = 0;
    } seen;
    DWORD dwCode = 0;
    const BOOL bDone = SEH_Guard([] { WriteTo(kNullPage, 5); },
                                 [&](EXCEPTION_POINTERS* pep) -> LONG {
                                     ++seen.nCalls;
                                     seen.dwCode = pep->ExceptionRecord->ExceptionCode;
                                     seen.uAccess = pep->ExceptionRecord->ExceptionInformation[0];
                                     seen.uAddress = pep->ExceptionRecord->ExceptionInformation[1];
                                     seen.rip = pep->ContextRecord->Rip;
                                     seen.dwThread = GetCurrentThreadId();
                                     return EXCEPTION_EXECUTE_HANDLER;
                                 },
                                 &dwCode);
    EXPECT_FALSE(bDone);
    EXPECT_EQ(1, seen.nCalls);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), seen.dwCode);
    EXPECT_EQ(1u, seen.uAccess); // a write
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(kNullPage), seen.uAddress);
    // The faulting instruction is the store in WriteTo.
    EXPECT_GE(seen.rip, reinterpret_cast<DWORD64>(&WriteTo));
    EXPECT_LT(seen.rip, reinterpret_cast<DWORD64>(&WriteTo) + 64);
    EXPECT_EQ(GetCurrentThreadId(), seen.dwThread);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), dwCode);
}

TEST(SehGuard, ContinueExecutionResumesAtTheRaise)
{
    int nAfter = 0;
    int nFilter = 0;
    DWORD dwCode = 0;
    const BOOL bDone = SEH_Guard(
        [&] {
            RaiseException(0xE0000001, 0, 0, NULL); // continuable
            ++nAfter;
        },
        [&](EXCEPTION_POINTERS*) -> LONG {
            ++nFilter;
            return EXCEPTION_CONTINUE_EXECUTION;
        },
        &dwCode);
    EXPECT_TRUE(bDone);
    EXPECT_EQ(1, nFilter);
    EXPECT_EQ(1, nAfter);
    EXPECT_EQ(0u, dwCode);
}

TEST(SehGuard, NestedGuardsAskTheInnermostFirst)
{
    std::string order;
    DWORD dwOuter = 0, dwInner = 0;
    BOOL bInner = TRUE;
    int nOuterGoesOn = 0;

    // The inner guard takes the fault; the outer body goes on and its own
    // fault is taken by the outer guard.
    const BOOL bOuter = SEH_Guard(
        [&] {
            bInner = SEH_Guard([] { WriteTo(kNullPage, 1); },
                               [&](EXCEPTION_POINTERS*) -> LONG {
                                   order += "inner ";
                                   return EXCEPTION_EXECUTE_HANDLER;
                               },
                               &dwInner);
            ++nOuterGoesOn;
            RaiseException(0xE0000002, 0, 0, NULL);
            ++nOuterGoesOn; // not reached
        },
        [&](EXCEPTION_POINTERS* pep) -> LONG {
            order += "outer(" + std::to_string(pep->ExceptionRecord->ExceptionCode == 0xE0000002) + ") ";
            return EXCEPTION_EXECUTE_HANDLER;
        },
        &dwOuter);
    EXPECT_FALSE(bInner);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), dwInner);
    EXPECT_FALSE(bOuter);
    EXPECT_EQ(0xE0000002u, dwOuter);
    EXPECT_EQ(1, nOuterGoesOn);
    EXPECT_EQ("inner outer(1) ", order);

    // An inner guard that declines passes the fault to the outer one.
    order.clear();
    bInner = TRUE;
    const BOOL bOuter2 = SEH_Guard(
        [&] {
            bInner = SEH_Guard([] { WriteTo(kNullPage, 1); },
                               [&](EXCEPTION_POINTERS*) -> LONG {
                                   order += "inner ";
                                   return EXCEPTION_CONTINUE_SEARCH;
                               });
        },
        [&](EXCEPTION_POINTERS*) -> LONG {
            order += "outer ";
            return EXCEPTION_EXECUTE_HANDLER;
        },
        &dwOuter);
    EXPECT_FALSE(bOuter2);
    EXPECT_TRUE(bInner); // the inner guard never returned: it was unwound
    EXPECT_EQ("inner outer ", order);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), dwOuter);
}

// Many live values in callee-saved registers across the guarded call must
// come back intact after the stack is unwound out of a fault.
__attribute__((noinline)) long long KeepValuesAcrossAFault(long long seed)
{
    volatile long long sink = 0;
    long long a = seed * 3, b = seed * 5, c = seed * 7, d = seed * 11, e = seed * 13, f = seed * 17,
              g = seed * 19;
    double x = seed * 0.5, y = seed * 0.25, z = seed * 0.125;
    for (int i = 0; i < 3; ++i)
    {
        DWORD dwCode = 0;
        SEH_Guard([&] { sink = sink + ReadFrom(kNullPage); }, &dwCode);
        a += 1; b += 2; c += 3; d += 4; e += 5; f += 6; g += 7;
        x += 1; y += 1; z += 1;
    }
    return a + b + c + d + e + f + g + static_cast<long long>(x + y + z) + sink;
}

TEST(SehGuard, CallerRegistersSurviveTheUnwind)
{
    const long long seed = 1000;
    const long long expected = seed * (3 + 5 + 7 + 11 + 13 + 17 + 19) + 3 * (1 + 2 + 3 + 4 + 5 + 6 + 7) +
                               static_cast<long long>(seed * 0.875 + 9);
    EXPECT_EQ(expected, KeepValuesAcrossAFault(seed));
}

TEST(SehGuard, CppExceptionsPassThroughADecliningGuard)
{
    bool bCaught = false;
    BOOL bDone = TRUE;
    try
    {
        bDone = SEH_Guard([] { throw std::runtime_error("through"); },
                          [](EXCEPTION_POINTERS*) -> LONG { return EXCEPTION_CONTINUE_SEARCH; });
    }
    catch (const std::runtime_error& e)
    {
        bCaught = std::string("through") == e.what();
    }
    EXPECT_TRUE(bCaught);
    EXPECT_TRUE(bDone); // untouched: the guard was left by the C++ unwind

    // A C++ exception caught inside the body never reaches the guard.
    int nFilter = 0;
    EXPECT_TRUE(SEH_Guard(
        [] {
            try
            {
                throw 5;
            }
            catch (int)
            {
            }
        },
        [&](EXCEPTION_POINTERS*) -> LONG {
            ++nFilter;
            return EXCEPTION_EXECUTE_HANDLER;
        }));
    EXPECT_EQ(0, nFilter);
}

TEST(SehGuard, AnAcceptingGuardStopsACppException)
{
    DWORD dwCode = 0;
    EXPECT_FALSE(SEH_Guard([] { throw std::runtime_error("stopped"); }, &dwCode));
    EXPECT_NE(0u, dwCode);
}

TEST(SehGuard, GuardsOnManyThreadsTakeTheirOwnFaults)
{
    const int kThreads = 8;
    const int kRounds = 2000;
    std::atomic<int> nWrongThread(0), nWrongResult(0), nFilterCalls(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const DWORD dwSelf = GetCurrentThreadId();
            for (int i = 0; i < kRounds; ++i)
            {
                const bool bFault = ((i + t) % 3) != 0;
                int nDone = 0;
                DWORD dwCode = 0;
                const BOOL bDone = SEH_Guard(
                    [&] {
                        if (bFault)
                            WriteTo(kNullPage, i);
                        nDone = i + 1;
                    },
                    [&](EXCEPTION_POINTERS*) -> LONG {
                        ++nFilterCalls;
                        if (GetCurrentThreadId() != dwSelf)
                            ++nWrongThread;
                        return EXCEPTION_EXECUTE_HANDLER;
                    },
                    &dwCode);
                const bool bRight = bFault ? (!bDone && 0 == nDone && EXCEPTION_ACCESS_VIOLATION == dwCode)
                                           : (bDone && i + 1 == nDone && 0 == dwCode);
                if (!bRight)
                    ++nWrongResult;
            }
        });
    for (std::thread& th : threads)
        th.join();
    int nFaults = 0;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kRounds; ++i)
            nFaults += ((i + t) % 3) != 0;
    EXPECT_EQ(0, nWrongThread.load());
    EXPECT_EQ(0, nWrongResult.load());
    EXPECT_EQ(nFaults, nFilterCalls.load());
}

} // namespace
