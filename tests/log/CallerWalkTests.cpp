// The caller prefix's frame search against a walk with dbghelp's StackWalk64
// done the symbol engine's way (context from RtlCaptureContext; program
// counter, stack and frame from RIP, RSP and RDI; stop at the first frame
// outside the module). The module looked from is this program; the callers
// are in prefixcaller.dll, in the system, or in this program itself.
#include <gtest/gtest.h>

#include <windows.h>
#include <dbghelp.h>

#include "SymbolEngine.h"

namespace {

const BYTE* s_pStart;
const BYTE* s_pEnd;

void FindOwnImage()
{
    s_pStart = (const BYTE*)GetModuleHandleA(NULL);
    const IMAGE_NT_HEADERS* pNt = (const IMAGE_NT_HEADERS*)(s_pStart + ((const IMAGE_DOS_HEADER*)s_pStart)->e_lfanew);
    s_pEnd = s_pStart + pNt->OptionalHeader.SizeOfImage;
}

__attribute__((noinline)) void* WalkWithDbgHelp()
{
    CONTEXT ctx;
    RtlCaptureContext(&ctx);
    STACKFRAME64 frame = {};
    frame.AddrPC.Offset = ctx.Rip;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrStack.Offset = ctx.Rsp;
    frame.AddrStack.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = ctx.Rdi;
    frame.AddrFrame.Mode = AddrModeFlat;
    void* pLast = (void*)s_pStart;
    for (int i = 0; i < 64; ++i)
    {
        if (!StackWalk64(IMAGE_FILE_MACHINE_AMD64, GetCurrentProcess(), GetCurrentThread(), &frame, &ctx, NULL,
                         SymFunctionTableAccess64, SymGetModuleBase64, NULL) ||
            frame.AddrFrame.Offset == 0)
            break;
        MEMORY_BASIC_INFORMATION mbi;
        if (!VirtualQuery((void*)frame.AddrPC.Offset, &mbi, sizeof(mbi)))
            break;
        pLast = mbi.AllocationBase;
        if (pLast != (void*)s_pStart)
            return pLast;
    }
    return NULL; // no frame outside: "N/A: "
}

struct Found
{
    void* pFast;
    void* pWalked;
    volatile int nDepth;
};

__attribute__((noinline)) void* FindBoth(void* pv)
{
    Found* p = (Found*)pv;
    p->pFast = FindCallerAllocationBase(s_pStart, s_pEnd);
    p->pWalked = WalkWithDbgHelp();
    return pv;
}

// A few frames of this program between the caller and the search.
__attribute__((noinline)) void* Deeper(void* pv)
{
    Found* p = (Found*)pv;
    if (p->nDepth-- > 0)
        Deeper(pv);
    else
        FindBoth(pv);
    p->nDepth += 0; // keeps the recursion a call, not a jump
    return pv;
}

DWORD WINAPI ThreadStart(void* pv)
{
    FindBoth(pv);
    return 0;
}

std::string PrefixOf(void* pBase)
{
    char sz[64] = "";
    ModulePrefixOf(pBase, sz, sizeof(sz));
    return sz;
}

class CallerWalk : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FindOwnImage();
        m_hCaller = LoadLibraryA("prefixcaller.dll");
        ASSERT_NE(nullptr, m_hCaller);
        m_pfnInvoke = (PFN_Invoke)(void*)GetProcAddress(m_hCaller, "PrefixCaller_Invoke");
        ASSERT_NE(nullptr, m_pfnInvoke);
        // Every module loaded into dbghelp, so that its walk reaches them.
        ASSERT_TRUE(SymInitialize(GetCurrentProcess(), NULL, TRUE));
    }
    void TearDown() override
    {
        SymCleanup(GetCurrentProcess());
        FreeLibrary(m_hCaller);
    }

    typedef void* (WINAPI* PFN_Invoke)(void* (*)(void*), void*);
    HMODULE m_hCaller = NULL;
    PFN_Invoke m_pfnInvoke = NULL;
};

TEST_F(CallerWalk, TheFastWalkAndTheStackWalkFindTheCallerInAnotherModule)
{
    Found found = {};
    m_pfnInvoke(FindBoth, &found);
    EXPECT_EQ((void*)m_hCaller, found.pFast);
    EXPECT_EQ(found.pWalked, found.pFast);
    EXPECT_EQ("PREFIXCALLER: ", PrefixOf(found.pFast));
}

TEST_F(CallerWalk, SeveralFramesOfTheModuleBeforeTheCaller)
{
    Found found = {};
    found.nDepth = 5;
    m_pfnInvoke(Deeper, &found);
    EXPECT_EQ((void*)m_hCaller, found.pFast);
    EXPECT_EQ(found.pWalked, found.pFast);
}

TEST_F(CallerWalk, AThreadStartedInTheModuleEndsAtTheSystemsThreadStart)
{
    // The thread's first frame outside is the system's thread start. (The
    // StackWalk64 loop above stops earlier here: it also ends on a zero frame
    // address, which comes from whatever RDI held, so it is not compared.)
    Found found = {};
    HANDLE h = CreateThread(NULL, 0, ThreadStart, &found, 0, NULL);
    ASSERT_NE(nullptr, h);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
    EXPECT_EQ((void*)GetModuleHandleA("kernel32.dll"), found.pFast);
    EXPECT_EQ("KERNEL32: ", PrefixOf(found.pFast));
}

TEST(CallerPrefix, NoPrefixWithoutSymbolEngine)
{
    FindOwnImage();
    CDbgHelp none = {}; // never loaded
    char sz[64] = "";
    none.GetCallerModulePrefix(sz, sizeof(sz), s_pStart, s_pEnd);
    EXPECT_STREQ("", sz);
    EXPECT_EQ("N/A: ", PrefixOf(NULL));
    int nLocal = 0;
    EXPECT_EQ("N/A: ", PrefixOf(&nLocal)) << "a stack address is no module";
}

} // namespace
