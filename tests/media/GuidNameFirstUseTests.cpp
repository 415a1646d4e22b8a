// The first use of the GUID-name tables in a fresh process: nothing is found
// before they are sorted, and threads that come first at the same time all
// get correct names while the tables end up sorted exactly once, every row
// kept. Its own program, since the sort happens once per process.
#include <DSParsers.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<const GUID*, const WCHAR*>> SnapshotRows()
{
    std::vector<std::pair<const GUID*, const WCHAR*>> rows;
    for (const GuidNameNode* pNode = g_pGuidNamesHead; pNode; pNode = pNode->pNext)
        for (unsigned long long i = 0; i < pNode->cElems; ++i)
            rows.emplace_back(pNode->pGuidName[i].pGuid, pNode->pGuidName[i].pszName);
    return rows;
}

TEST(GuidNamesFirstUse, ConcurrentFirstCallsSortOnce)
{
    // Before any sort a lookup finds nothing, and Guid2Name's callers fall
    // back to the other forms.
    ASSERT_EQ(0, g_lGuidNamesSorted);
    EXPECT_STREQ(L"", GuidNamesLookup(&IID_IPin));
    EXPECT_STREQ(L"", GuidNamesLookup(&GUID_NULL));

    auto before = SnapshotRows();
    ASSERT_EQ(277u + 38u, before.size());

    const int cThreads = 16;
    HANDLE hStart = CreateEventW(NULL, TRUE, FALSE, NULL);
    std::vector<size_t> rgWrong(cThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < cThreads; ++t)
    {
        threads.emplace_back([&, t] {
            WaitForSingleObject(hStart, INFINITE);
            // Each thread walks the rows from another starting point.
            for (size_t k = 0; k < before.size(); ++k)
            {
                const auto& row = before[(k + t * 19) % before.size()];
                WCHAR sz[128];
                if (0 != wcscmp(row.second, Guid2Name(*row.first, sz, 128)))
                    ++rgWrong[t];
            }
        });
    }
    SetEvent(hStart);
    for (auto& th : threads)
        th.join();
    CloseHandle(hStart);
    for (int t = 0; t < cThreads; ++t)
        EXPECT_EQ(0u, rgWrong[t]) << "thread " << t;

    // Sorted, and the same rows as before.
    for (const GuidNameNode* pNode = g_pGuidNamesHead; pNode; pNode = pNode->pNext)
        for (unsigned long long i = 1; i < pNode->cElems; ++i)
            EXPECT_LT(memcmp(pNode->pGuidName[i - 1].pGuid, pNode->pGuidName[i].pGuid, sizeof(GUID)), 0);
    auto after = SnapshotRows();
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(before, after);
    EXPECT_STREQ(L"IPin", GuidNamesLookup(&IID_IPin));
}

} // namespace
