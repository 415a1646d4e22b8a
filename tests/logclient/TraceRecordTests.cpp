// What a module built on the framework hands to its log object: the trace
// gate and record, the assertion's records, the not-implemented notice, the
// call-stack hand-over and the guarded copy; and what happens with no log.
#include "LogClientTest.h"

namespace {

const DWORD_PTR kCategory = 1;

class TraceRecord : public BoundToFakeLog
{
protected:
    void SetUp() override
    {
        BoundToFakeLog::SetUp();
        ASSERT_TRUE(m_module.IsLoaded());
        m_fake.Reset(); // forget the registrations made at load
    }
    CTraceModule m_module;
};

std::wstring Record(UINT nLevel, const std::wstring& sText)
{
    return std::wstring(1, static_cast<wchar_t>(nLevel + 1)) + sText;
}

TEST_F(TraceRecord, LevelsUpToEightAreSentWithTheLevelPlusOneFirst)
{
    const UINT anSent[] = { 0, 1, 2, 4, 8, 3, 5, 6, 7 };
    const UINT anDropped[] = { 9, 10, 12, 0x80000000u, 0xFFFFFFFFu };
    std::vector<std::wstring> expected;
    for (UINT n : anSent)
    {
        const std::wstring sText = L"level " + std::to_wstring(n);
        m_module.TM_Trace(kCategory, n, sText.c_str());
        expected.push_back(Record(n, sText));
    }
    for (UINT n : anDropped)
        m_module.TM_Trace(kCategory, n, L"dropped");
    EXPECT_EQ(expected, m_fake.Lines());
}

TEST_F(TraceRecord, ACategoryIsSilentWhenItsLowHalfIsZero)
{
    const struct
    {
        DWORD_PTR dwCategory;
        bool bSent;
    } cases[] = {
        { 0, false },
        { 0x100000000ull, false },
        { 0xFFFFFFFF00000000ull, false },
        { 0x100000001ull, true },
        { 0x80000000ull, true },
        { 0xFFFFFFFFFFFFFFFFull, true },
    };
    for (const auto& c : cases)
    {
        m_fake.Reset();
        m_module.TM_Trace(c.dwCategory, 2, L"x");
        EXPECT_EQ(c.bSent ? 1u : 0u, m_fake.Lines().size()) << std::hex << c.dwCategory;
    }
}

TEST_F(TraceRecord, AtlCategoriesAreRegisteredAndTraceable)
{
    std::vector<DWORD_PTR> values;
    for (int i = 0; i < 6; ++i)
    {
        const DWORD_PTR dw = m_module.TM_TraceAtl(i, 8, L"atl");
        EXPECT_NE(0u, static_cast<DWORD>(dw)) << i;
        for (DWORD_PTR other : values)
            EXPECT_NE(other, dw) << i;
        values.push_back(dw);
    }
    EXPECT_EQ(6u, m_fake.Lines().size());
}

TEST_F(TraceRecord, TextIsFormattedWithWindowsConventions)
{
    m_module.TM_TraceSample(kCategory, 4);
    EXPECT_EQ(std::vector<std::wstring>{ Record(4, L"wide|narrow|-5|0xBEEF|4\n") }, m_fake.Lines());
}

TEST_F(TraceRecord, LongTextIsCutTo510Characters)
{
    const size_t acch[] = { 509, 510, 511, 600, 5000 };
    for (size_t cch : acch)
    {
        m_fake.Reset();
        std::wstring sText;
        for (size_t i = 0; i < cch; ++i)
            sText += static_cast<wchar_t>(L'a' + i % 26);
        m_module.TM_Trace(kCategory, 8, sText.c_str());
        const std::vector<FAKELOG_RECORD> records = m_fake.Records(FLC_OutputStringW);
        ASSERT_EQ(1u, records.size()) << cch;
        const size_t cchKept = cch < 510 ? cch : 510;
        EXPECT_EQ(static_cast<int>(cchKept + 1), records[0].cchText) << cch;
        EXPECT_EQ(Record(8, sText.substr(0, cchKept)), std::wstring(records[0].szText)) << cch;
    }
}

TEST_F(TraceRecord, TraceLeavesTheLastErrorAsItWas)
{
    EXPECT_EQ(1234u, m_module.TM_TraceKeepsLastError(1234));
    EXPECT_EQ(1u, m_fake.Lines().size());
}

TEST_F(TraceRecord, FailedAssertionSendsItsTextThenExitAndGoesOn)
{
    EXPECT_EQ(5u, m_module.TM_Assert(FALSE, "src\\file.cpp", 42, "p != NULL", 5));
    const std::vector<std::wstring> lines = m_fake.Lines();
    ASSERT_EQ(2u, lines.size());
    const std::wstring sHead = L"###Err###\nsrc\\file.cpp(42): ASSERT( \"p != NULL\" )\nGetLastError()=0x00000005 (5)\n\n";
    EXPECT_EQ(sHead, lines[0].substr(0, sHead.size()));
    EXPECT_GT(lines[0].size(), sHead.size()); // the error's own text follows
    EXPECT_EQ(L'\n', lines[0].back());
    EXPECT_EQ(L"\nexit ASSERT", lines[1]);

    // A holding condition writes nothing.
    m_fake.Reset();
    EXPECT_EQ(7u, m_module.TM_Assert(TRUE, "f", 1, "e", 7));
    EXPECT_TRUE(m_fake.Records().empty());
}

TEST_F(TraceRecord, AssertionMacrosReachTheLogAndTheNextStatementRuns)
{
    const struct
    {
        const char* name;
        int (*WINAPI* pfn)(int);
        int nFail, nFailResult, nHold, nHoldResult;
        const wchar_t* pszSource;
        const wchar_t* pszExpression;
    } cases[] = {
        { "ASSERT", &m_module.TM_AssertMacro, 4, 8, 3, 6, L"Module.cpp(", L"ASSERT( \"n == 3\" )\n" },
        { "ATLASSERT", &m_module.TM_AtlAssert, 1, 2, 7, 8, L"UnitB.cpp(", L"ASSERT( \"n == 7\" )\n" },
    };
    for (const auto& c : cases)
    {
        m_fake.Reset();
        EXPECT_EQ(c.nHoldResult, (*c.pfn)(c.nHold)) << c.name;
        EXPECT_TRUE(m_fake.Lines().empty()) << c.name;
        EXPECT_EQ(c.nFailResult, (*c.pfn)(c.nFail)) << c.name;
        const std::vector<std::wstring> lines = m_fake.Lines();
        ASSERT_EQ(2u, lines.size()) << c.name;
        EXPECT_EQ(0u, lines[0].find(L"###Err###\n")) << c.name;
        EXPECT_NE(std::wstring::npos, lines[0].find(c.pszSource)) << c.name;
        EXPECT_NE(std::wstring::npos, lines[0].find(c.pszExpression)) << c.name;
        EXPECT_EQ(L"\nexit ASSERT", lines[1]) << c.name;
    }
}

TEST_F(TraceRecord, LongAssertionIsCutTo511Characters)
{
    const std::string sFile(700, 'f');
    m_module.TM_Assert(FALSE, sFile.c_str(), 1, "e", 0);
    const std::vector<FAKELOG_RECORD> records = m_fake.Records(FLC_OutputStringW);
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(511, records[0].cchText);
    EXPECT_EQ(L"###Err###\n" + std::wstring(501, L'f'), std::wstring(records[0].szText));
}

TEST_F(TraceRecord, NotImplementedNoticeGoesOutAtLevelZero)
{
    EXPECT_EQ(E_NOTIMPL, m_module.TM_NotImpl());
    EXPECT_EQ(std::vector<std::wstring>{ Record(0, L"ATL: UnitB_NotImpl not implemented.\n") }, m_fake.Lines());
}

TEST_F(TraceRecord, TheLogObjectIsHandedOutAsItIs)
{
    EXPECT_EQ(E_POINTER, m_module.TM_GetObject(NULL));
    IDSLog* pLog = NULL;
    EXPECT_EQ(S_OK, m_module.TM_GetObject(&pLog));
    EXPECT_EQ(m_fake.Object(0), pLog);
    for (int nUnit = 0; nUnit < 4; ++nUnit)
    {
        EXPECT_EQ(E_POINTER, m_module.TM_ClientGetLog(nUnit, NULL));
        IDSLog* p = NULL;
        EXPECT_EQ(S_OK, m_module.TM_ClientGetLog(nUnit, &p));
        EXPECT_EQ(m_fake.Object(0), p);
    }
    EXPECT_TRUE(m_fake.Records().empty()); // nothing counted, nothing called
}

TEST_F(TraceRecord, DumpCallStackHandsTheExceptionToTheLog)
{
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = 0xE0000042;
    CONTEXT context = {};
    EXCEPTION_POINTERS ep = { &record, &context };
    const HANDLE hThread = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(0x1234));
    EXPECT_EQ(7u, m_module.TM_DumpCallStack(&ep, hThread, TRUE, 7));
    const std::vector<FAKELOG_RECORD> records = m_fake.Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(FLC_DumpCallStack, records[0].nCall);
    EXPECT_EQ(reinterpret_cast<UINT_PTR>(&ep), records[0].a[0]);
    EXPECT_EQ(0x1234u, records[0].a[1]);
    EXPECT_EQ(1u, records[0].a[2]);
    EXPECT_EQ(0xE0000042u, records[0].dwExceptionCode);
}

// Memory that cannot be read or written.
struct CReservedPage
{
    CReservedPage() : p(static_cast<BYTE*>(VirtualAlloc(NULL, 4096, MEM_RESERVE, PAGE_NOACCESS))) {}
    ~CReservedPage() { VirtualFree(p, 0, MEM_RELEASE); }
    BYTE* p;
};

std::wstring CopyErrorLine(const void* pDst, const void* pSrc, size_t cb)
{
    WCHAR sz[200];
    _snwprintf_s(sz, 200, _TRUNCATE, L"###Err### SEH_CopyMemory( pDst=0x%X, pSrc=0x%X, cb=0x%X ): Exception 0x%X\n",
                 static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pDst)),
                 static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pSrc)), static_cast<unsigned>(cb),
                 static_cast<unsigned>(EXCEPTION_ACCESS_VIOLATION));
    return Record(1, sz);
}

TEST_F(TraceRecord, AFaultInAGuardedCopyIsLoggedAndReportedAsFalse)
{
    CReservedPage page;
    ASSERT_NE(nullptr, page.p);
    BYTE abSrc[64], abDst[64];
    for (int i = 0; i < 64; ++i)
        abSrc[i] = static_cast<BYTE>(i * 3);

    const struct
    {
        const char* name;
        void* pDst;
        const void* pSrc;
        ULONG_PTR uFaultAddress;
    } cases[] = {
        { "unreadable source", abDst, page.p, reinterpret_cast<ULONG_PTR>(page.p) },
        { "unwritable destination", page.p, abSrc, reinterpret_cast<ULONG_PTR>(page.p) },
    };
    for (const auto& c : cases)
    {
        m_fake.Reset();
        EXPECT_FALSE(m_module.TM_CopyMemory(c.pDst, c.pSrc, sizeof(abSrc))) << c.name;
        const std::vector<FAKELOG_RECORD> records = m_fake.Records();
        ASSERT_EQ(2u, records.size()) << c.name;
        // First the call stack, with the live exception, no thread and a full dump.
        EXPECT_EQ(FLC_DumpCallStack, records[0].nCall) << c.name;
        EXPECT_NE(0u, records[0].a[0]) << c.name;
        EXPECT_EQ(0u, records[0].a[1]) << c.name;
        EXPECT_EQ(0u, records[0].a[2]) << c.name;
        EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), records[0].dwExceptionCode) << c.name;
        EXPECT_EQ(c.uFaultAddress, records[0].uExceptionInfo1) << c.name;
        EXPECT_EQ(GetCurrentThreadId(), records[0].dwThread) << c.name;
        // Then the error line.
        EXPECT_EQ(FLC_OutputStringW, records[1].nCall) << c.name;
        EXPECT_EQ(CopyErrorLine(c.pDst, c.pSrc, sizeof(abSrc)), std::wstring(records[1].szText)) << c.name;
    }

    // The process goes on, and so do copies.
    m_fake.Reset();
    EXPECT_TRUE(m_module.TM_CopyMemory(abDst, abSrc, sizeof(abSrc)));
    EXPECT_EQ(0, memcmp(abDst, abSrc, sizeof(abSrc)));
    EXPECT_TRUE(m_fake.Records().empty());
}

TEST_F(TraceRecord, GuardedCopiesFaultOnSeveralThreadsAtOnce)
{
    CReservedPage page;
    const int kThreads = 6, kRounds = 50;
    struct Arg
    {
        CTraceModule* pModule;
        BYTE* pBad;
        int nWrong;
    } args[kThreads];
    HANDLE ah[kThreads];
    for (int t = 0; t < kThreads; ++t)
    {
        args[t] = { &m_module, page.p, 0 };
        ah[t] = CreateThread(
            NULL, 0,
            [](void* p) -> DWORD {
                Arg& a = *static_cast<Arg*>(p);
                BYTE ab[32] = {}, abOut[32];
                for (int i = 0; i < kRounds; ++i)
                {
                    if (a.pModule->TM_CopyMemory(abOut, a.pBad, sizeof(abOut)))
                        ++a.nWrong;
                    if (!a.pModule->TM_CopyMemory(abOut, ab, sizeof(ab)))
                        ++a.nWrong;
                }
                return 0;
            },
            &args[t], 0, NULL);
    }
    WaitForMultipleObjects(kThreads, ah, TRUE, INFINITE);
    for (int t = 0; t < kThreads; ++t)
    {
        CloseHandle(ah[t]);
        EXPECT_EQ(0, args[t].nWrong) << t;
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kRounds), m_fake.Records(FLC_DumpCallStack).size());
    EXPECT_EQ(static_cast<size_t>(kThreads * kRounds), m_fake.Lines().size());
}

// No log library bound: everything runs and nothing reaches any log.
class NoLogBound : public BoundToFakeLog
{
protected:
    void SetUp() override
    {
        BoundToFakeLog::SetUp();
        ASSERT_TRUE(m_binding.RemoveKey());
        m_pModule.reset(new CTraceModule);
        ASSERT_TRUE(m_pModule->IsLoaded());
    }
    void TearDown() override
    {
        m_pModule.reset();
        EXPECT_TRUE(m_fake.Records().empty());
    }
    std::unique_ptr<CTraceModule> m_pModule;
};

TEST_F(NoLogBound, GetObjectFailsAndLeavesThePointer)
{
    CTraceModule& module = *m_pModule;
    EXPECT_EQ(E_POINTER, module.TM_GetObject(NULL));
    IDSLog* const pSentinel = reinterpret_cast<IDSLog*>(static_cast<UINT_PTR>(0x5A5A));
    IDSLog* pLog = pSentinel;
    EXPECT_EQ(E_FAIL, module.TM_GetObject(&pLog));
    EXPECT_EQ(pSentinel, pLog);
    for (int nUnit = 0; nUnit < 4; ++nUnit)
    {
        EXPECT_EQ(E_POINTER, module.TM_ClientGetLog(nUnit, NULL));
        EXPECT_EQ(E_FAIL, module.TM_ClientGetLog(nUnit, &pLog));
        EXPECT_EQ(pSentinel, pLog);
    }
}

TEST_F(NoLogBound, DumpCallStackReturnsItsContinueCode)
{
    EXCEPTION_RECORD record = {};
    CONTEXT context = {};
    EXCEPTION_POINTERS ep = { &record, &context };
    for (DWORD dw : { 0u, 1u, 0xFFFFFFFFu })
        EXPECT_EQ(dw, m_pModule->TM_DumpCallStack(&ep, NULL, FALSE, dw));
}

TEST_F(NoLogBound, TracesAssertionsAndGuardedCopiesRunSilently)
{
    CTraceModule& module = *m_pModule;
    module.TM_Trace(kCategory, 0, L"nobody listens");
    EXPECT_EQ(9u, module.TM_Assert(FALSE, "f.cpp", 1, "false", 9));
    EXPECT_EQ(E_NOTIMPL, module.TM_NotImpl());
    CReservedPage page;
    BYTE ab[16] = {};
    EXPECT_FALSE(module.TM_CopyMemory(ab, page.p, sizeof(ab)));
    EXPECT_TRUE(module.TM_CopyMemory(ab, ab + 8, 8));
}

} // namespace
