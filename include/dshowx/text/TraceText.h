// Text helpers for trace lines: the text builder, reference times, grouped
// numbers, GUID names and FOURCC codes.
#pragma once

#include "GuidNameTables.h"
#include "DSTypes.h"
#include "Containers.h"
#include "Functions.h"

#include <atlbase.h>
#include <stdlib.h>

// Longest texts, terminator included: "-922337203685.477'5807" and
// "-9 223 372 036 854 775 806"; callers pass buffers of about 50 characters.
const size_t REFERENCE_TIME_TEXT_SIZE = 23;
const size_t LONGLONG_TEXT_SIZE = 27;
// The longest FOURCC text ("BI_BITFIELDS") and the terminator.
const size_t FOURCC_TEXT_SIZE = 13;
// The work buffer of Guid2Name.
const size_t GUID_NAME_WORK_SIZE = 128;

// A text built piece by piece in a caller's buffer of cch WCHARs (at least
// one): each piece is what the bounded formatter writes for it ("%s", "%u",
// "%03u", "%d", "%X"), and the whole is cut at cch - 1 characters as the
// formatter cuts it. The texts of every sample's lines are built this way:
// the formatter's parsing of its format costs several times the digits.
class CTextBuilder
{
public:
    CTextBuilder(WCHAR* psz, size_t cch) noexcept : m_psz(psz), m_cchMax(cch - 1), m_cch(0) { m_psz[0] = 0; }

    CTextBuilder& Text(LPCWSTR psz) noexcept
    {
        while (*psz && m_cch < m_cchMax)
            m_psz[m_cch++] = *psz++;
        m_psz[m_cch] = 0;
        return *this;
    }

    // In decimal, with leading zeros up to nDigits digits.
    CTextBuilder& Unsigned(ULONGLONG n, unsigned nDigits = 1) noexcept
    {
        WCHAR sz[24];
        WCHAR* p = sz + 23;
        *p = 0;
        do
        {
            *--p = static_cast<WCHAR>(L'0' + n % 10);
            n /= 10;
        } while (0 != n || static_cast<unsigned>(sz + 23 - p) < nDigits);
        return Text(p);
    }

    CTextBuilder& Signed(LONGLONG n) noexcept
    {
        if (n >= 0)
            return Unsigned(static_cast<ULONGLONG>(n));
        Text(L"-");
        return Unsigned(0 - static_cast<ULONGLONG>(n));
    }

    // In upper-case hexadecimal, no leading zeros.
    CTextBuilder& Hex(ULONG n) noexcept
    {
        WCHAR sz[12];
        WCHAR* p = sz + 11;
        *p = 0;
        do
        {
            *--p = L"0123456789ABCDEF"[n & 0xF];
            n >>= 4;
        } while (0 != n);
        return Text(p);
    }

private:
    WCHAR* m_psz;
    size_t m_cchMax;
    size_t m_cch;
};

// The two extreme values print as words; true when n is one of them.
inline bool LimitToText(LONGLONG n, WCHAR* pszConv)
{
    if (n != MINLONGLONG && n != MAXLONGLONG)
        return false;
    wcscpy_s(pszConv, sizeof("MINLONGLONG"), n == MINLONGLONG ? L"MINLONGLONG" : L"MAXLONGLONG");
    return true;
}

// A REFERENCE_TIME (100-ns units) as seconds, milliseconds and, when not 0,
// the remaining 100-ns units: 12345678 gives "1.234'5678".
inline LPWSTR ReferenceTimeToText(REFERENCE_TIME t, WCHAR* pszConv)
{
    if (!ASSERT(pszConv != NULL))
        return NULL;
    if (LimitToText(t, pszConv))
        return pszConv;
    const LONGLONG ms = t / 10000;
    const unsigned frac = static_cast<unsigned>(llabs(t - ms * 10000));
    const LONGLONG s = ms / 1000;
    const unsigned msec = static_cast<unsigned>(llabs(ms - s * 1000));
    const LONGLONG hi = s / 1000000000;
    const LONGLONG lo = s - hi * 1000000000;
    CTextBuilder text(pszConv, REFERENCE_TIME_TEXT_SIZE);
    if (hi != 0)
        text.Signed(hi).Unsigned(static_cast<ULONGLONG>(llabs(lo)), 9);
    else if (t < 0 && lo == 0)
        text.Text(L"-0"); // less than one second below zero: the seconds alone would lose the sign
    else
        text.Signed(lo);
    text.Text(L".").Unsigned(msec, 3);
    if (frac)
        text.Text(L"'").Unsigned(frac, 4);
    return pszConv;
}

// A LONGLONG in groups of three digits separated by blanks: "-1 000".
inline LPWSTR LongLongToText(LONGLONG n, WCHAR* pszConv)
{
    if (!ASSERT(pszConv != NULL))
        return NULL;
    if (LimitToText(n, pszConv))
        return pszConv;
    CTextBuilder text(pszConv, LONGLONG_TEXT_SIZE);
    if (n < 0)
    {
        text.Text(L"-");
        n = -n;
    }
    bool bStarted = false;
    for (LONGLONG nDiv = 1000000000000000000LL; nDiv > 0; nDiv /= 1000)
    {
        const unsigned nGroup = static_cast<unsigned>(n / nDiv);
        n %= nDiv;
        if (!bStarted && nGroup == 0 && nDiv > 1)
            continue;
        if (bStarted)
            text.Text(L" ").Unsigned(nGroup, 3);
        else
            text.Unsigned(nGroup);
        bStarted = true;
    }
    return pszConv;
}

// Orders two rows by the raw bytes of their GUIDs.
inline int __cdecl GuidNameCompare(const void* p1, const void* p2)
{
    return memcmp(static_cast<const GuidNameRow*>(p1)->pGuid, static_cast<const GuidNameRow*>(p2)->pGuid,
                  sizeof(GUID));
}

// Set once every table of the list is sorted; lookups before that find nothing.
inline volatile LONG g_lGuidNamesSorted = FALSE;
inline INIT_ONCE g_GuidNamesSortOnce = INIT_ONCE_STATIC_INIT;

inline BOOL CALLBACK GuidNamesSortCallback(PINIT_ONCE, PVOID, PVOID*)
{
    for (GuidNameNode* pNode = g_pGuidNamesHead; NULL != pNode; pNode = pNode->pNext)
    {
        if (!ASSERT(pNode->pGuidName != NULL && pNode->cElems > 0))
            continue;
        qsort(pNode->pGuidName, static_cast<size_t>(pNode->cElems), sizeof(GuidNameRow), GuidNameCompare);
    }
    InterlockedExchange(&g_lGuidNamesSorted, TRUE);
    return TRUE;
}

// Sorts every table of the list, once per process. Threads that come first at
// the same time wait for the one that sorts, so the tables are never sorted
// twice or read half sorted.
inline void GuidNamesSortOnce()
{
    if (NULL == g_pGuidNamesHead)
        return;
    InitOnceExecuteOnce(&g_GuidNamesSortOnce, GuidNamesSortCallback, NULL, NULL);
}

// The name of a GUID in the tables, or the empty string when it is in none
// (or the tables are not sorted yet).
inline LPCWSTR GuidNamesLookup(const GUID* pGuid)
{
    if (NULL == pGuid || NULL == g_pGuidNamesHead || !InterlockedCompareExchange(&g_lGuidNamesSorted, 0, 0))
        return L"";
    const GuidNameRow rgKey = { pGuid, NULL };
    for (const GuidNameNode* pNode = g_pGuidNamesHead; NULL != pNode; pNode = pNode->pNext)
    {
        if (NULL == pNode->pGuidName || 0 == pNode->cElems)
            continue;
        const GuidNameRow* pRow = static_cast<const GuidNameRow*>(
            bsearch(&rgKey, pNode->pGuidName, static_cast<size_t>(pNode->cElems), sizeof(GuidNameRow), GuidNameCompare));
        if (NULL != pRow)
            return pRow->pszName;
    }
    return L"";
}

// The four characters of a FOURCC (lowest byte first) when all are printable
// ASCII, else the empty string. pszFCC needs 5 WCHARs.
inline LPWSTR Fourcc2Str(DWORD fcc, WCHAR* pszFCC)
{
    if (!ASSERT_TEXT(pszFCC != NULL, "pszFCC != NULL && _T(\"Fourcc2Str()\")"))
        return NULL;
    pszFCC[0] = 0;
    for (int i = 0; i < 4; ++i)
    {
        const BYTE b = static_cast<BYTE>(fcc >> (8 * i));
        if (b < 0x20 || b > 0x7E)
            return pszFCC;
    }
    for (int i = 0; i < 4; ++i)
        pszFCC[i] = static_cast<WCHAR>(static_cast<BYTE>(fcc >> (8 * i)));
    pszFCC[4] = 0;
    return pszFCC;
}

// A FOURCC as its four characters, else as a compression name, else as
// "0x%08X". pszFCC needs FOURCC_TEXT_SIZE WCHARs.
inline LPWSTR Fourcc2Name(DWORD fcc, WCHAR* pszFCC)
{
    if (!ASSERT_TEXT(pszFCC != NULL, "pszFCC != NULL && _T(\"Fourcc2Name()\")"))
        return NULL;
    static const struct
    {
        DWORD dwCode;
        const WCHAR* pszName;
    } s_rgCompressions[] = {
        { 0, L"BI_RGB" },
        { 1, L"BI_RLE8" },
        { 2, L"BI_RLE4" },
        { 3, L"BI_BITFIELDS" },
        { 0xE436EB78, L"RGB1" },
        { 0xE436EB79, L"RGB4" },
        { 0xE436EB7A, L"RGB8" },
        { 0xE436EB7B, L"RGB565" },
        { 0xE436EB7C, L"RGB555" },
        { 0xE436EB7D, L"RGB24" },
        { 0xE436EB7E, L"RGB32" },
        { 0x297C55AF, L"ARGB1555" },
        { 0x6E6415E6, L"ARGB4444" },
        { 0x773C9AC0, L"ARGB32" },
    };
    if (0 != *Fourcc2Str(fcc, pszFCC))
        return pszFCC;
    for (const auto& row : s_rgCompressions)
    {
        if (row.dwCode == fcc)
        {
            wcscpy_s(pszFCC, FOURCC_TEXT_SIZE, row.pszName);
            return pszFCC;
        }
    }
    _snwprintf_s(pszFCC, FOURCC_TEXT_SIZE, _TRUNCATE, L"0x%08X", static_cast<unsigned>(fcc));
    return pszFCC;
}

// A GUID as its name from the tables; else, for a GUID of the FOURCC base
// {XXXXXXXX-0000-0010-8000-00AA00389B71}, as a wave-format tag "TAG_0x%X" or
// as "FCC_" and its four characters; else as braced text. At most nMaxSym
// characters, the terminator included.
inline LPWSTR Guid2Name(const GUID& guid, WCHAR* pszName, UINT nMaxSym)
{
    static WCHAR s_szEmpty[1] = { 0 };
    if (!ASSERT_TEXT(pszName != NULL, "pszName != NULL && _T(\"Guid2Name()\")"))
        return (s_szEmpty[0] = 0, s_szEmpty);
    if (!ASSERT_TEXT(nMaxSym > 0, "nMaxSym > 0 && _T(\"Guid2Name()\")"))
        return (s_szEmpty[0] = 0, s_szEmpty);

    GuidNamesSortOnce();
    const WCHAR* pszFound = GuidNamesLookup(&guid);
    if (0 != pszFound[0])
    {
        wcsncpy_s(pszName, nMaxSym, pszFound, _TRUNCATE);
        return pszName;
    }

    static const BYTE s_rgBaseTail[12] = { 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71 };
    WCHAR szWork[GUID_NAME_WORK_SIZE] = {};
    WCHAR szFcc[FOURCC_TEXT_SIZE];
    if (0 == memcmp(reinterpret_cast<const BYTE*>(&guid) + 4, s_rgBaseTail, sizeof(s_rgBaseTail)))
    {
        if (guid.Data1 < 0xFFFF)
            _snwprintf_s(szWork, GUID_NAME_WORK_SIZE, _TRUNCATE, L"TAG_0x%X%s", static_cast<unsigned>(guid.Data1),
                         0x55 == guid.Data1 ? L"(MP3)" : L"");
        else if (0 != *Fourcc2Str(guid.Data1, szFcc))
            _snwprintf_s(szWork, GUID_NAME_WORK_SIZE, _TRUNCATE, L"FCC_%s", szFcc);
        else
            GuidToText(guid, szWork);
    }
    else
        GuidToText(guid, szWork);
    wcsncpy_s(pszName, nMaxSym, szWork, _TRUNCATE);
    return pszName;
}
