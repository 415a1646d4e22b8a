// The growable array: growth, refusal, reserved room, adding its own elements.
#include <Containers.h>

#include <gtest/gtest.h>

namespace {

GUID MakeGuid(DWORD n)
{
    GUID guid = {n, 0x1234, 0x5678, {0x90, 0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, static_cast<BYTE>(n)}};
    return guid;
}

TEST(SimpleArray2, GrowsByDoubling)
{
    CSimpleArray2<GUID> a;
    EXPECT_EQ(0, a.GetSize());
    EXPECT_EQ(0, a.m_nAllocSize);
    EXPECT_EQ(nullptr, a.m_aT);
    const int anCapacity[] = {1, 2, 4, 4, 8, 8, 8, 8, 16};
    for (int i = 0; i < static_cast<int>(sizeof(anCapacity) / sizeof(anCapacity[0])); ++i)
    {
        ASSERT_TRUE(a.Add(MakeGuid(i)));
        EXPECT_EQ(i + 1, a.GetSize());
        EXPECT_EQ(anCapacity[i], a.m_nAllocSize) << "after " << i + 1 << " elements";
    }
    for (int i = 0; i < a.GetSize(); ++i)
        EXPECT_EQ(MakeGuid(i), a[i]);

    a.RemoveAll();
    EXPECT_EQ(0, a.GetSize());
    EXPECT_EQ(0, a.m_nAllocSize);
    EXPECT_EQ(nullptr, a.m_aT);
    ASSERT_TRUE(a.Add(MakeGuid(7)));
    EXPECT_EQ(1, a.m_nAllocSize);
}

TEST(SimpleArray2, FindGivesTheFirstEqualElement)
{
    CSimpleArray2<GUID> a;
    EXPECT_EQ(-1, a.Find(GUID_NULL));
    const DWORD an[] = {5, 6, 5, 7, 6};
    for (DWORD n : an)
        ASSERT_TRUE(a.Add(MakeGuid(n)));
    EXPECT_EQ(0, a.Find(MakeGuid(5)));
    EXPECT_EQ(1, a.Find(MakeGuid(6)));
    EXPECT_EQ(3, a.Find(MakeGuid(7)));
    EXPECT_EQ(-1, a.Find(MakeGuid(8)));
    EXPECT_EQ(-1, a.Find(GUID_NULL));
}

// The element to add lives in the storage that growing moves and frees.
TEST(SimpleArray2, AddsItsOwnElementsWhileGrowing)
{
    CSimpleArray2<GUID> a;
    ASSERT_TRUE(a.Add(MakeGuid(100)));
    for (int i = 1; i < 40; ++i)
    {
        const bool bFull = (a.GetSize() == a.m_nAllocSize);
        const int nFrom = (i % 2) ? 0 : a.GetSize() - 1;
        const GUID expected = a[nFrom];
        ASSERT_TRUE(a.Add(a[nFrom])) << i;
        EXPECT_EQ(expected, a[a.GetSize() - 1]) << "step " << i << (bFull ? " (grown)" : "");
    }
    for (int i = 0; i < a.GetSize(); ++i)
        EXPECT_EQ(MakeGuid(100), a[i]);

    // Large enough that the heap gives a block it frees back to the system:
    // reading the old storage after growing would fault.
    CSimpleArray2<GUID> big;
    ASSERT_TRUE(big.Reserve(65536));
    for (DWORD n = 0; n < 65536; ++n)
        ASSERT_TRUE(big.Add(MakeGuid(n)));
    ASSERT_TRUE(big.Add(big[0]));
    ASSERT_TRUE(big.Add(big[65535]));
    EXPECT_EQ(65538, big.GetSize());
    EXPECT_EQ(MakeGuid(0), big[65536]);
    EXPECT_EQ(MakeGuid(65535), big[65537]);

    CSimpleArray2<LONGLONG> b;
    ASSERT_TRUE(b.Add(0x1122334455667788LL));
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(b.Add(b[b.GetSize() - 1] + 1));
    for (int i = 0; i < b.GetSize(); ++i)
        EXPECT_EQ(0x1122334455667788LL + i, b[i]);
}

// Beyond INT_MAX bytes the array refuses to grow and stays as it was. The
// counts are faked, so that no such block is needed.
template <class T>
void ExpectRefusalAt(int nSize)
{
    CSimpleArray2<T> a;
    ASSERT_TRUE(a.Add(T()));
    T* const aT = a.m_aT;
    a.m_nSize = a.m_nAllocSize = nSize;
    const BOOL bAdded = a.Add(T());
    const int nSizeAfter = a.m_nSize;
    const int nAllocAfter = a.m_nAllocSize;
    T* const aTAfter = a.m_aT;
    a.m_nSize = a.m_nAllocSize = 1;
    EXPECT_FALSE(bAdded);
    EXPECT_EQ(nSize, nSizeAfter);
    EXPECT_EQ(nSize, nAllocAfter);
    EXPECT_EQ(aT, aTAfter);
}

TEST(SimpleArray2, RefusesToGrowBeyondItsLimit)
{
    // The next doubling would pass INT_MAX / sizeof(T): 134217727 GUIDs, 268435455 64-bit values.
    ExpectRefusalAt<GUID>(67108864);
    ExpectRefusalAt<LONGLONG>(134217728);
    ExpectRefusalAt<LONGLONG>(INT_MAX / 8);

    CSimpleArray2<GUID> a;
    EXPECT_FALSE(a.Reserve(INT_MAX / 16 + 1));
    EXPECT_FALSE(a.Reserve(INT_MAX));
    EXPECT_EQ(nullptr, a.m_aT);
    EXPECT_EQ(0, a.m_nAllocSize);
    CSimpleArray2<LONGLONG> b;
    EXPECT_FALSE(b.Reserve(INT_MAX / 8 + 1));
    EXPECT_EQ(nullptr, b.m_aT);
}

TEST(SimpleArray2, ReservedRoomTakesAddsWithoutAllocating)
{
    CSimpleArray2<LONGLONG> a;
    EXPECT_TRUE(a.Reserve(0));
    EXPECT_EQ(nullptr, a.m_aT);
    ASSERT_TRUE(a.Reserve(100));
    EXPECT_EQ(0, a.GetSize());
    EXPECT_EQ(100, a.m_nAllocSize);
    LONGLONG* const aT = a.m_aT;
    ASSERT_NE(nullptr, aT);
    for (LONGLONG i = 0; i < 100; ++i)
        ASSERT_TRUE(a.Add(i * 3));
    EXPECT_EQ(aT, a.m_aT) << "no allocation within the reserved room";
    EXPECT_TRUE(a.Reserve(50));
    EXPECT_EQ(100, a.m_nAllocSize);
    ASSERT_TRUE(a.Add(300));
    EXPECT_EQ(200, a.m_nAllocSize);
    for (int i = 0; i < a.GetSize(); ++i)
        EXPECT_EQ(i * 3, a[i]);
}

} // namespace
