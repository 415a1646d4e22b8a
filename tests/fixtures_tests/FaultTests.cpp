// The fault fixtures do what they claim before other tests rely on them: the
// fault is a real access violation, the no-access block cannot be read, and
// the lock creation fails exactly once, only where it was armed.
#include "dsfix/Faults.h"

#include <sehguard.h>

#include <gtest/gtest.h>

namespace {

TEST(FaultFixtures, FaultIsAnAccessViolationThatAGuardCatches)
{
    DWORD dwCode = 0;
    EXPECT_FALSE(SEH_Guard([] { dsfix::Fault(); }, &dwCode));
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), dwCode);
}

TEST(FaultFixtures, ANoAccessBlockFaultsOnRead)
{
    dsfix::NoAccessBlock block(100);
    ASSERT_NE(nullptr, block.Get());
    EXPECT_GE(block.Size(), 100u);
    volatile BYTE b = 0;
    DWORD dwCode = 0;
    BYTE* p = block.Get();
    EXPECT_FALSE(SEH_Guard([p, &b] { b = *reinterpret_cast<volatile BYTE*>(p + 50); }, &dwCode));
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), dwCode);
}

DWORD WINAPI CreateOneLock(void* p)
{
    CRITICAL_SECTION cs;
    const BOOL b = InitializeCriticalSectionAndSpinCount(&cs, 0);
    if (b)
        DeleteCriticalSection(&cs);
    *static_cast<BOOL*>(p) = b;
    return 0;
}

TEST(FaultFixtures, TheChosenLockCreationFailsOnceOnTheArmedThreadOnly)
{
    dsfix::LockCreationFault fault;
    ASSERT_TRUE(fault.IsActive()) << "the program imports the lock creation";
    fault.FailNth(2, ERROR_NO_SYSTEM_RESOURCES);

    BOOL bOther = FALSE;
    HANDLE h = CreateThread(nullptr, 0, &CreateOneLock, &bOther, 0, nullptr);
    ASSERT_NE(nullptr, h);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 10000));
    CloseHandle(h);
    EXPECT_TRUE(bOther) << "another thread is not counted";

    CRITICAL_SECTION cs[4];
    BOOL rgb[4];
    DWORD rgErr[4];
    for (int i = 0; i < 4; ++i)
    {
        SetLastError(0);
        rgb[i] = InitializeCriticalSectionAndSpinCount(&cs[i], 0);
        rgErr[i] = GetLastError();
    }
    EXPECT_TRUE(rgb[0]);
    EXPECT_FALSE(rgb[1]);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES), rgErr[1]);
    EXPECT_TRUE(rgb[2]);
    EXPECT_TRUE(rgb[3]);
    EXPECT_TRUE(fault.Fired());
    EXPECT_EQ(4, fault.Count());
    for (int i = 0; i < 4; ++i)
        if (rgb[i])
            DeleteCriticalSection(&cs[i]);
}

TEST(FaultFixtures, TheImportIsPutBackWhenTheFixtureGoes)
{
    {
        dsfix::LockCreationFault fault;
        fault.FailNth(1);
    }
    CRITICAL_SECTION cs;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 0));
    DeleteCriticalSection(&cs);
}

} // namespace
