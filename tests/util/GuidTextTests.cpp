// The braced text of a GUID.
#include <Functions.h>

#include <gtest/gtest.h>

namespace {

TEST(GuidToText, BracedUpperCaseText)
{
    const GUID guidAllOnes = {0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
    const GUID guidBytes = {0x01020304, 0x0506, 0x0708, {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0xA0}};
    struct Case
    {
        const GUID* pGuid;
        const wchar_t* pszText;
    };
    const Case aCases[] = {
        {&IID_IPin, L"{56A86891-0AD4-11CE-B03A-0020AF0BA770}"},
        {&GUID_NULL, L"{00000000-0000-0000-0000-000000000000}"},
        {&guidAllOnes, L"{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}"},
        {&guidBytes, L"{01020304-0506-0708-090A-0B0C0D0E0FA0}"},
    };
    for (const Case& c : aCases)
    {
        WCHAR sz[48];
        wmemset(sz, L'#', 48);
        EXPECT_EQ(sz, GuidToText(*c.pGuid, sz));
        EXPECT_STREQ(c.pszText, sz);
        EXPECT_EQ(L'#', sz[39]) << "39 WCHARs written at most";
    }
}

TEST(GuidToText, NullBufferGivesNull)
{
    EXPECT_EQ(nullptr, GuidToText(IID_IPin, NULL));
}

} // namespace
