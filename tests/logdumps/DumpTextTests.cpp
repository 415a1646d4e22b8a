// Text of the log object's dumps on its own: header lines, root key names,
// exception names and the report of an exception made up by hand (nothing is
// raised).
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "LogDumps.h"
#include "MadeUpException.h"
#include "ProgramFolder.h"

namespace {

TEST(DumpText, HeaderFitsItsSlotOrIsCut)
{
    char sz[LOG_TEXT_SIZE];
    CutDumpHeader(sz, "Out the registry key ", "HKEY_CURRENT_USER\\Software");
    EXPECT_STREQ("Out the registry key HKEY_CURRENT_USER\\Software", sz);

    const std::string fits(255 - 4, 'k');
    CutDumpHeader(sz, "Out ", fits.c_str());
    EXPECT_EQ("Out " + fits, std::string(sz));

    const std::string longName(511, 'n');
    CutDumpHeader(sz, "Out the registry key ", longName.c_str());
    const std::string cut = sz;
    ASSERT_EQ(255u, cut.size());
    EXPECT_EQ("Out the registry key " + std::string(252 - 21, 'n') + "...", cut);
}

TEST(DumpText, RootKeysAreNamed)
{
    const std::pair<HKEY, const char*> roots[] = {
        {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},         {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
        {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},       {HKEY_USERS, "HKEY_USERS"},
        {HKEY_PERFORMANCE_DATA, "HKEY_PERFORMANCE_DATA"}, {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"},
        {HKEY_DYN_DATA, "HKEY_DYN_DATA"},
    };
    char sz[32];
    for (const auto& root : roots)
        EXPECT_STREQ(root.second, RootKeyName(root.first, sz));
    EXPECT_STREQ("HKEY 0x0000000000001234", RootKeyName((HKEY)(ULONG_PTR)0x1234, sz));
}

TEST(DumpText, ExceptionCodesGetTheirNamesOrUnknown)
{
    EXPECT_STREQ("ACCESS_VIOLATION", ExceptionName(0xC0000005));
    EXPECT_STREQ("GUARD_PAGE", ExceptionName(0x80000001));
    EXPECT_STREQ("STACK_OVERFLOW", ExceptionName(0xC00000FD));
    EXPECT_STREQ("INT_DIVIDE_BY_ZERO", ExceptionName(0xC0000094));
    EXPECT_STREQ("Unknown exception code", ExceptionName(0xE06D7363));
    EXPECT_STREQ("Unknown exception code", ExceptionName(0));
}

std::string Report(const EXCEPTION_POINTERS* pep)
{
    char sz[EXCEPTION_REPORT_SIZE];
    const int n = BuildCallStackReport(sz, EXCEPTION_REPORT_SIZE, pep);
    EXPECT_EQ((size_t)n, strlen(sz));
    return std::string(sz, n);
}

std::string Hex8(DWORD64 v)
{
    char sz[24];
    wsprintfA(sz, "%08X:%08X", (DWORD)(v >> 32), (DWORD)v);
    return sz;
}

TEST(DumpText, NoExceptionPointersGiveAShortReport)
{
    EXPECT_EQ("Dumping calls stack\r\n### ExceptionPointers = NULL\r\n### Stack walk not ready yet for 64 bit version ###\r\n",
              Report(NULL));
}

// The report of an access violation in this program's code.
TEST(DumpText, AnAccessViolationIsReportedWithTheApplicationAndRegisters)
{
    MadeUpAccessViolation av;
    CONTEXT& ctx = av.ctx;
    ctx.Rax = 0x0123456789ABCDEFull;
    ctx.R15 = 0xFEDCBA9876543210ull;
    const std::string r = Report(&av.ep);

    const std::string exe = ProgramPathA();
    EXPECT_EQ(0u, r.find("Dumping calls stack\r\n\tApplication: " + exe + " (0.0.0.0)\r\n\r\n***\r\n")) << r;
    EXPECT_NE(std::string::npos, r.find("\r\nException code: C0000005 ACCESS_VIOLATION\r\n")) << r;
    char szFault[64];
    wsprintfA(szFault, "Fault Address: %08X 01:", (DWORD)ctx.Rip);
    EXPECT_NE(std::string::npos, r.find(szFault)) << r;
    const std::regex reFault("Fault Address: [0-9A-F]{8} 01:[0-9A-F]{8} (.*) \\(0\\.0\\.0\\.0\\)\r\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r, m, reFault)) << r;
    EXPECT_EQ(exe, m[1].str());
    EXPECT_NE(std::string::npos, r.find("Program counter RIP: " + Hex8(ctx.Rip) + "\r\nInteger registers:\r\n"));
    EXPECT_NE(std::string::npos, r.find("\tRAX: 01234567:89ABCDEF    RBX: " + Hex8(ctx.Rbx) + "    RCX: "));
    EXPECT_NE(std::string::npos, r.find("    R15: FEDCBA98:76543210\r\n"));
    char szSeg[160];
    wsprintfA(szSeg, "\tCS: %04X    DS: %04X    ES: %04X    FS: %04X    GS: %04X    SS: %04X    flags: %04X\r\n\r\n***\r\n",
              ctx.SegCs, ctx.SegDs, ctx.SegEs, ctx.SegFs, ctx.SegGs, ctx.SegSs, ctx.EFlags);
    EXPECT_NE(std::string::npos, r.find(std::string("Segment Registers and processor flags:\r\n") + szSeg));
    const std::string tail = "EXCEPTION_ACCESS_VIOLATION details: (write to 0x00000010)\r\n"
                             "### Stack walk not ready yet for 64 bit version ###\r\n";
    EXPECT_EQ(r.size() - tail.size(), r.rfind(tail)) << r;
}

// A program counter outside any module (a call through a null pointer, or
// code in the heap): no module, section 0, and nothing read from it.
TEST(DumpText, FaultOutsideAnyModule)
{
    void* pHeap = HeapAlloc(GetProcessHeap(), 0, 64);
    for (DWORD64 rip : {(DWORD64)0, (DWORD64)(ULONG_PTR)pHeap})
    {
        CONTEXT ctx = {};
        RtlCaptureContext(&ctx);
        ctx.Rip = rip;
        EXCEPTION_RECORD rec = {};
        rec.ExceptionCode = 0xE06D7363;
        rec.ExceptionAddress = (void*)(ULONG_PTR)rip;
        rec.NumberParameters = 1;
        EXCEPTION_POINTERS ep = {&rec, &ctx};
        const std::string r = Report(&ep);
        EXPECT_NE(std::string::npos, r.find("Exception code: E06D7363 Unknown exception code\r\n")) << r;
        char szFault[80];
        wsprintfA(szFault, "Fault Address: %08X 00:%08X  (0.0.0.0)\r\n", (DWORD)rip, (DWORD)rip);
        EXPECT_NE(std::string::npos, r.find(szFault)) << r;
        EXPECT_EQ(std::string::npos, r.find("details")) << "only an access violation has details";
    }
    HeapFree(GetProcessHeap(), 0, pHeap);

    // Pointers with a record or a context missing.
    EXCEPTION_POINTERS ep = {NULL, NULL};
    const std::string r = Report(&ep);
    EXPECT_NE(std::string::npos, r.find("### ExceptionRecord = 0x00000000, ContextRecord = 0x00000000\r\n")) << r;
}

} // namespace
