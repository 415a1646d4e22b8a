// Text helpers for trace lines: reference times, grouped numbers, GUID names
// and FOURCC codes. Each writes into a buffer the caller supplies and returns
// it, so that it serves directly as a %s argument.
#pragma once

#include "DSGuidNames.h"
#include "DSTypes.h"
#include "Containers.h"
#include "Functions.h"

#include <atlbase.h>
#include <ddraw.h>
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

// Writes the text of a whole filter graph: every filter with its class name,
// friendly name and source or sink file, every pin with its direction, name,
// the filter it is connected to and the connection's media type. The text is
// a file format (it goes to the log file as it is), so its layout is fixed:
//
//   CR LF "[Filter Graph]" 54 dashes CR LF
//   per filter: CR LF "Filter <class> (<name>)" CR LF
//               TAB "INPUT FILE: "<file>"" CR LF   (IFileSourceFilter)
//               TAB "OUTPUT FILE: "<file>"" CR LF  (IFileSinkFilter)
//               per pin: TAB "<dir>: [<pin>]" then either
//                        "    NOT CONNECTED" CR LF, or
//                        " -> [<connected filter>] ( <major> / <sub> / <format> ) <w>*<h>" CR LF
//   CR LF 68 dashes CR LF CR LF
//
// Failures of the graph's, filters' and pins' calls become "###Err###" lines
// in the text and the walk goes on; only a buffer that cannot grow ends it.
// Names and texts from other filters are bounded before they are formatted.
class CFilterChainParser
{
public:
    // Longest line formatted at once, and longest media-type line.
    static const size_t LINE_SIZE = 512;
    static const size_t MEDIATYPE_LINE_SIZE = 256;
    static const size_t CLASS_NAME_SIZE = 256;

    CFilterChainParser()
    {
        m_szClassName[0] = 0;
        GuidNamesSortOnce();
    }

    CFilterChainParser(const CFilterChainParser&) = delete;
    CFilterChainParser& operator=(const CFilterChainParser&) = delete;

    // On S_OK *ppszChain holds the whole text in task memory, freed by the
    // caller with CoTaskMemFree; on failure it is NULL.
    HRESULT GetFiltersChain(IFilterGraph* pGraph, LPWSTR* ppszChain)
    {
        if (!ASSERT(pGraph != NULL))
            return E_INVALIDARG;
        if (!ASSERT(ppszChain != NULL))
            return E_POINTER;
        *ppszChain = NULL;

        CWideStringBuffer buf;
        if (!buf.Reserve(CWideStringBuffer::GRANULE) ||
            !buf.Append(L"\r\n[Filter Graph]------------------------------------------------------\r\n"))
            return E_OUTOFMEMORY;

        CComPtr<IEnumFilters> spEnum;
        HRESULT hr = pGraph->EnumFilters(&spEnum);
        if (SUCCEEDED(hr) && !spEnum)
            hr = E_POINTER;
        if (FAILED(hr))
        {
            if (!AppendFormat(buf, L"###Err### CFilterChainParser::GetFiltersChain(): pGraph->EnumFilters()=0x%X\r\n",
                              hr))
                return E_OUTOFMEMORY;
            *ppszChain = buf.Detach();
            return S_OK;
        }

        spEnum->Reset();
        for (;;)
        {
            CComPtr<IBaseFilter> spFilter;
            ULONG cFetched = 0;
            hr = spEnum->Next(1, &spFilter, &cFetched);
            if (S_FALSE == hr)
                break;
            if (S_OK != hr)
            {
                if (!AppendFormat(buf, L"###Err### CFilterChainParser::GetFiltersChain(): spEnum->Next()=0x%X\r\n", hr))
                    return E_OUTOFMEMORY;
                break;
            }
            ASSERT(cFetched == 1);
            // An enumerator that answers S_OK without a filter has nothing more to give.
            if (!spFilter)
                break;
            if (!GetFilterData(buf, spFilter))
                return E_OUTOFMEMORY;
        }

        if (!buf.Append(L"\r\n--------------------------------------------------------------------\r\n\r\n"))
            return E_OUTOFMEMORY;
        *ppszChain = buf.Detach();
        return S_OK;
    }

    // The filter line, its file lines and its pin lines.
    bool GetFilterData(CWideStringBuffer& buf, IBaseFilter* pFilter)
    {
        if (!ASSERT(pFilter != NULL))
            return true;

        FILTER_INFO rgFilterInfo;
        ZeroMemory(&rgFilterInfo, sizeof(rgFilterInfo));
        HRESULT hr = pFilter->QueryFilterInfo(&rgFilterInfo);
        if (FAILED(hr))
            return AppendFormat(buf, L"###Err### CFilterChainParser::GetFilterData(): pFilter->QueryFilterInfo()=0x%X\r\n\r\n",
                                hr);
        if (NULL != rgFilterInfo.pGraph)
            rgFilterInfo.pGraph->Release();
        rgFilterInfo.achName[MAX_FILTER_NAME - 1] = 0;

        CLSID clsid = GUID_NULL;
        hr = pFilter->GetClassID(&clsid);
        if (FAILED(hr))
            return AppendFormat(buf, L"###Err### CFilterChainParser::GetFilterData(): pFilter->GetClassID()=0x%X\r\n\r\n", hr);

        if (!AppendFormat(buf, L"\r\nFilter %s (%s)\r\n", ClassNameText(clsid), rgFilterInfo.achName))
            return false;
        if (!GetFileName(buf, pFilter))
            return false;

        CComPtr<IEnumPins> spEnum;
        hr = pFilter->EnumPins(&spEnum);
        if (SUCCEEDED(hr) && !spEnum)
            hr = E_POINTER;
        if (FAILED(hr))
            return AppendFormat(buf, L"###Err### CFilterChainParser::GetFilterData(): pFilter->EnumPins()=0x%X\r\n\r\n", hr);

        spEnum->Reset();
        for (;;)
        {
            CComPtr<IPin> spPin;
            ULONG cFetched = 0;
            hr = spEnum->Next(1, &spPin, &cFetched);
            if (S_FALSE == hr)
                break;
            if (S_OK != hr)
                return AppendFormat(buf, L"###Err### CFilterChainParser::GetFilterData(): spEnum->Next()=0x%X\r\n\r\n", hr);
            ASSERT(cFetched == 1);
            if (!spPin)
                break;
            if (!GetPinData(buf, spPin))
                return false;
        }
        return true;
    }

    // The source and sink file lines, source first.
    bool GetFileName(CWideStringBuffer& buf, IBaseFilter* pFilter)
    {
        if (!ASSERT(pFilter != NULL))
            return true;
        CComQIPtr<IFileSourceFilter> spFileSourceFilter(pFilter);
        if (spFileSourceFilter)
        {
            LPOLESTR pszFile = NULL;
            AM_MEDIA_TYPE mt;
            ZeroMemory(&mt, sizeof(mt));
            const HRESULT hr = spFileSourceFilter->GetCurFile(&pszFile, &mt);
            if (!AppendFileLine(buf, hr, pszFile, &mt, L"\tINPUT FILE: \"",
                                L"###Err### CFilterChainParser::GetFileName(): spFileSourceFilter->GetCurFile()=0x%X\r\n\r\n"))
                return false;
        }
        CComQIPtr<IFileSinkFilter> spFileSinkFilter(pFilter);
        if (spFileSinkFilter)
        {
            LPOLESTR pszFile = NULL;
            AM_MEDIA_TYPE mt;
            ZeroMemory(&mt, sizeof(mt));
            const HRESULT hr = spFileSinkFilter->GetCurFile(&pszFile, &mt);
            if (!AppendFileLine(buf, hr, pszFile, &mt, L"\tOUTPUT FILE: \"",
                                L"###Err### CFilterChainParser::GetFileName(): spFileSinkFilter->GetCurFile()=0x%X\r\n\r\n"))
                return false;
        }
        return true;
    }

    // One pin line: direction and name, then the connected filter and the
    // connection's media type, or NOT CONNECTED.
    bool GetPinData(CWideStringBuffer& buf, IPin* pPin)
    {
        if (!ASSERT(pPin != NULL))
            return true;

        PIN_INFO rgInfo;
        ZeroMemory(&rgInfo, sizeof(rgInfo));
        HRESULT hr = pPin->QueryPinInfo(&rgInfo);
        if (FAILED(hr))
            return AppendFormat(buf, L"###Err### CFilterChainParser::GetPinData(): pPin->QueryPinInfo()=0x%X\r\n\r\n", hr);
        ASSERT(rgInfo.pFilter != NULL);
        if (NULL != rgInfo.pFilter)
            rgInfo.pFilter->Release();
        rgInfo.achName[MAX_PIN_NAME - 1] = 0;

        LPCWSTR pszDir = L"UNKNOWN";
        if (PINDIR_INPUT == rgInfo.dir)
            pszDir = L"INPUT";
        else if (PINDIR_OUTPUT == rgInfo.dir)
            pszDir = L"OUTPUT";
        if (!AppendFormat(buf, L"\t%s: [%s]", pszDir, rgInfo.achName))
            return false;

        CComPtr<IPin> spPinConnected;
        hr = pPin->ConnectedTo(&spPinConnected);
        if (VFW_E_NOT_CONNECTED == hr)
            return buf.Append(L"    NOT CONNECTED\r\n");
        if (SUCCEEDED(hr) && !spPinConnected)
            hr = E_POINTER;
        if (FAILED(hr))
            return AppendFormat(buf, L"\r\n###Err### CFilterChainParser::GetPinData(): pPin->ConnectedTo()=0x%X\r\n", hr);

        PIN_INFO rgConnectedInfo;
        ZeroMemory(&rgConnectedInfo, sizeof(rgConnectedInfo));
        hr = spPinConnected->QueryPinInfo(&rgConnectedInfo);
        if (FAILED(hr))
            return AppendFormat(buf, L"\r\n###Err### CFilterChainParser::GetPinData(): spPinConnected->QueryPinInfo()=0x%X\r\n",
                                hr);
        ASSERT_TEXT(rgConnectedInfo.pFilter != NULL, "rgInfo.pFilter != NULL");
        CComPtr<IBaseFilter> spConnectedFilter;
        spConnectedFilter.Attach(rgConnectedInfo.pFilter);

        FILTER_INFO rgFilterInfo;
        ZeroMemory(&rgFilterInfo, sizeof(rgFilterInfo));
        hr = spConnectedFilter ? spConnectedFilter->QueryFilterInfo(&rgFilterInfo) : E_POINTER;
        if (FAILED(hr))
            return AppendFormat(buf,
                                L"\r\n###Err### CFilterChainParser::GetPinData(): spConnectedFilter->QueryFilterInfo()=0x%X\r\n",
                                hr);
        ASSERT(rgFilterInfo.pGraph != NULL);
        if (NULL != rgFilterInfo.pGraph)
            rgFilterInfo.pGraph->Release();
        rgFilterInfo.achName[MAX_FILTER_NAME - 1] = 0;
        if (!AppendFormat(buf, L" -> [%s] ", rgFilterInfo.achName))
            return false;

        return GetPinMediaType(buf, pPin);
    }

    // The connection's media type as a summary with the picture size.
    bool GetPinMediaType(CWideStringBuffer& buf, IPin* pPin)
    {
        if (!ASSERT(pPin != NULL))
            return true;
        {
            CComPtr<IPin> spPinConnected;
            if (S_OK != pPin->ConnectedTo(&spPinConnected))
                return true;
        }
        AM_MEDIA_TYPE mt;
        ZeroMemory(&mt, sizeof(mt));
        const HRESULT hr = pPin->ConnectionMediaType(&mt);
        if (S_OK != hr)
        {
            // A failed call may have left anything in the record: only a
            // success hands over what it holds.
            if (SUCCEEDED(hr))
                MTFreeContents(&mt);
            return AppendFormat(buf, L"\r\n###Err### CFilterChainParser::GetPinMediaType(): pPin->ConnectionMediaType()=0x%X\r\n",
                                hr);
        }
        WCHAR szMediaType[MEDIATYPE_LINE_SIZE];
        ParseMediaType(&mt, szMediaType, MEDIATYPE_LINE_SIZE, TRUE);
        MTFreeContents(&mt);
        return buf.Append(szMediaType);
    }

    // One-line summary of a media type, "( major / subtype / format )", with
    // bFull the picture size of a video format and the line end as well.
    // Written into psz and cut to cch - 1 characters.
    static void ParseMediaType(const AM_MEDIA_TYPE* pmt, WCHAR* psz, UINT cch, BOOL bFull)
    {
        if (!ASSERT_TEXT(psz != NULL, "pszMediaType != NULL && _T(\"ParseMediaType()\")"))
            return;
        if (0 == cch)
            return;
        if (NULL == pmt)
        {
            wcsncpy_s(psz, cch, L"Empty media type\n", _TRUNCATE);
            return;
        }
        WCHAR szMajor[GUID_NAME_WORK_SIZE];
        WCHAR szSub[GUID_NAME_WORK_SIZE];
        WCHAR szFormat[GUID_NAME_WORK_SIZE];
        Guid2Name(pmt->majortype, szMajor, GUID_NAME_WORK_SIZE);
        Guid2Name(pmt->subtype, szSub, GUID_NAME_WORK_SIZE);
        Guid2Name(pmt->formattype, szFormat, GUID_NAME_WORK_SIZE);

        WCHAR szSize[32];
        szSize[0] = 0;
        LONG lWidth = 0;
        LONG lHeight = 0;
        if (bFull && VideoPictureSize(pmt, &lWidth, &lHeight))
            _snwprintf_s(szSize, 32, _TRUNCATE, L" %d*%d", static_cast<int>(lWidth), static_cast<int>(lHeight));

        WCHAR szWork[LINE_SIZE];
        _snwprintf_s(szWork, LINE_SIZE, _TRUNCATE, bFull ? L"( %s / %s / %s )%s\r\n" : L"( %s / %s / %s )", szMajor,
                     szSub, szFormat, szSize);
        szWork[LINE_SIZE - 1] = 0;
        wcsncpy_s(psz, cch, szWork, _TRUNCATE);
    }

    // The picture size of a video format block: biWidth and biHeight of the
    // header at 48 bytes (VIDEOINFOHEADER and MPEG-1 forms) or at 72
    // (VIDEOINFOHEADER2 and MPEG-2 forms). Both lie within the first 80
    // (resp. 104) bytes, so a block that long is enough, though shorter than
    // its whole structure. false for any other type or a shorter block.
    static bool VideoPictureSize(const AM_MEDIA_TYPE* pmt, LONG* plWidth, LONG* plHeight)
    {
        if (NULL == pmt || NULL == pmt->pbFormat)
            return false;
        ULONG cbHeader = 0;
        ULONG cbNeeded = 0;
        if (IsEqualGUID(pmt->formattype, FORMAT_VideoInfo) || IsEqualGUID(pmt->formattype, FORMAT_MPEGVideo))
        {
            cbHeader = offsetof(VIDEOINFOHEADER, bmiHeader);
            cbNeeded = 80;
        }
        else if (IsEqualGUID(pmt->formattype, FORMAT_VideoInfo2) || IsEqualGUID(pmt->formattype, FORMAT_MPEG2Video))
        {
            cbHeader = offsetof(VIDEOINFOHEADER2, bmiHeader);
            cbNeeded = 104;
        }
        else
            return false;
        if (pmt->cbFormat < cbNeeded)
            return false;
        const BYTE* pbHeader = pmt->pbFormat + cbHeader;
        memcpy(plWidth, pbHeader + offsetof(BITMAPINFOHEADER, biWidth), sizeof(LONG));
        memcpy(plHeight, pbHeader + offsetof(BITMAPINFOHEADER, biHeight), sizeof(LONG));
        return true;
    }

private:
    // The class name of a filter: its name in the GUID tables, else the
    // wave-tag, FOURCC or braced form.
    LPCWSTR ClassNameText(const CLSID& clsid)
    {
        return Guid2Name(clsid, m_szClassName, CLASS_NAME_SIZE);
    }

    // Formats one line of at most LINE_SIZE - 1 characters and appends it.
    static bool AppendFormat(CWideStringBuffer& buf, LPCWSTR pszFormat, ...)
    {
        WCHAR szLine[LINE_SIZE];
        szLine[0] = 0;
        va_list args;
        va_start(args, pszFormat);
        _vsnwprintf_s(szLine, LINE_SIZE, _TRUNCATE, pszFormat, args);
        va_end(args);
        szLine[LINE_SIZE - 1] = 0;
        return buf.Append(szLine);
    }

    // The file line of GetCurFile's answer, or its error line. The name is
    // appended whole, however long, and a missing name is written as empty.
    // Only a successful answer's name and media type are freed: a failed call
    // may have left anything in them.
    static bool AppendFileLine(CWideStringBuffer& buf, HRESULT hr, LPOLESTR pszFile, AM_MEDIA_TYPE* pmt,
                               LPCWSTR pszOpening, LPCWSTR pszErrorFormat)
    {
        if (S_OK != hr)
        {
            if (SUCCEEDED(hr))
            {
                CoTaskMemFree(pszFile);
                MTFreeContents(pmt);
            }
            return AppendFormat(buf, pszErrorFormat, hr);
        }
        const bool bDone = buf.Append(pszOpening) && buf.Append(NULL != pszFile ? pszFile : L"") && buf.Append(L"\"\r\n");
        CoTaskMemFree(pszFile);
        MTFreeContents(pmt);
        return bDone;
    }

    WCHAR m_szClassName[CLASS_NAME_SIZE];
};

// Debug dumps: the contents of DirectShow objects and structures written into
// the trace as readable lines. Every dump takes the trace category value and
// the level first, and does nothing at all (no query call, no formatting)
// unless a trace line of that category and level would be written. Each line
// is one trace call at that level; failures of the objects' query methods
// become "###Err###" lines, and a dump never fails its caller.
//
// Structures are read only as far as the caller's size says they reach: a
// format block shorter than its structure shows what fits.

// Longest line prefix a dump keeps (caller's text, cut).
const size_t DUMP_PREFIX_SIZE = 256;
// Longest block TraceMemory shows for a wave format's extra bytes or an
// MPEG-2 sequence header.
const int DUMP_MEMORY_MAX = 1024;
// Largest capability structure a stream configuration may announce: the two
// real ones are 128 and 52 bytes.
const int DUMP_STREAM_CAPS_MAX = 64 * 1024;

// The trace gate, as the trace call applies it, and a log to take the lines:
// without one, a dump would ask and format only for its lines to be dropped.
inline bool DumpPasses(DWORD_PTR dwCategory, UINT nLevel)
{
    if (0 == static_cast<DWORD>(dwCategory) || nLevel > eTL_Info)
        return false;
    IDSLog* pLog = NULL;
    return SUCCEEDED(_LogGetObject(&pLog)) && NULL != pLog;
}

// The line prefix of a dump. Title: the caller's prefix and one blank, or the
// dump's own title without one; blank: the caller's prefix and one blank, or
// nothing; as is: the caller's prefix, or nothing.
class CDumpPrefix
{
public:
    enum eKind
    {
        eTitle,
        eBlank,
        eAsIs,
    };

    CDumpPrefix(LPCWSTR pszPrefix, eKind eHow, LPCWSTR pszTitle = L"")
    {
        CTextBuilder text(m_sz, DUMP_PREFIX_SIZE);
        if (NULL == pszPrefix)
            text.Text(eTitle == eHow ? pszTitle : L"");
        else
        {
            text.Text(pszPrefix);
            if (eAsIs != eHow)
                text.Text(L" ");
        }
    }

    operator LPCWSTR() const { return m_sz; }

private:
    WCHAR m_sz[DUMP_PREFIX_SIZE];
};

inline bool TraceMemory(DWORD_PTR dwCategory, UINT nLevel, int cb, const void* pv, LPCWSTR pszTitle);
inline void Debug_MediaType(DWORD_PTR dwCategory, UINT nLevel, const AM_MEDIA_TYPE* pmt, LPCWSTR pszPrefix = NULL);

// The wave format and what follows it, reading at most cbAvailable bytes
// (the structure and its cbSize extra bytes when the caller gives no size).
inline void DumpWaveFormatEx(DWORD_PTR dwCategory, UINT nLevel, const WAVEFORMATEX* pwfx, size_t cbAvailable,
                             LPCWSTR pszPrefix)
{
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eBlank);
    _LogTrace(dwCategory, nLevel, L"%sWAVEFORMATEX: Tag=0x%X, chan=%i, nPerSec=%i, nAvg=%i, align=%i, bits=%i  size=%i\n",
              static_cast<LPCWSTR>(P), pwfx->wFormatTag, pwfx->nChannels, static_cast<int>(pwfx->nSamplesPerSec),
              static_cast<int>(pwfx->nAvgBytesPerSec), pwfx->nBlockAlign, pwfx->wBitsPerSample, pwfx->cbSize);
    if (0 == pwfx->cbSize)
        return;
    const size_t cbExtraThere = cbAvailable - sizeof(WAVEFORMATEX);
    if (22 == pwfx->cbSize && cbExtraThere >= 22)
    {
        // The block holds the whole structure (checked above); read it as bytes.
        WAVEFORMATEXTENSIBLE wfe;
        memcpy(&wfe, pwfx, sizeof(wfe));
        WCHAR szSubFormat[GUID_NAME_WORK_SIZE];
        _LogTrace(dwCategory, nLevel, L"%sWAVEFORMATEXTENSIBLE: ValidBitsPerSample=%i, ChannelMask=0x%X, SubFormat=%s\n",
                  static_cast<LPCWSTR>(P), wfe.Samples.wValidBitsPerSample, static_cast<unsigned>(wfe.dwChannelMask),
                  Guid2Name(wfe.SubFormat, szSubFormat, GUID_NAME_WORK_SIZE));
        return;
    }
    size_t cbExtra = pwfx->cbSize < cbExtraThere ? pwfx->cbSize : cbExtraThere;
    if (cbExtra > static_cast<size_t>(DUMP_MEMORY_MAX))
        cbExtra = DUMP_MEMORY_MAX;
    TraceMemory(dwCategory, nLevel, static_cast<int>(cbExtra), pwfx + 1,
                pwfx->cbSize > DUMP_MEMORY_MAX ? L"WAVEFORMATEX first 1024 extra bytes: " : L"WAVEFORMATEX extra bytes: ");
}

// A wave format; its cbSize extra bytes are read behind it.
inline void Debug_WaveFormatEx(DWORD_PTR dwCategory, UINT nLevel, const WAVEFORMATEX* pwfx, LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    if (NULL == pwfx)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### Debug_WaveFormatEx() : Empty WAVEFORMATEX pointer\n");
        return;
    }
    DumpWaveFormatEx(dwCategory, nLevel, pwfx, sizeof(WAVEFORMATEX) + pwfx->cbSize, pszPrefix);
}

inline void Debug_BitmapInfoHeader(DWORD_PTR dwCategory, UINT nLevel, const BITMAPINFOHEADER* pbmi,
                                   LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eTitle, L"BITMAPINFOHEADER: ");
    if (NULL == pbmi)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_BitmapInfoHeader(): Empty header pointer\n",
                  static_cast<LPCWSTR>(P));
        return;
    }
    WCHAR szFcc[FOURCC_TEXT_SIZE];
    _LogTrace(dwCategory, nLevel, L"%ssize=%i, w=%i, h=%i, planes=%i, bits=%i, compress=%s, sizeImg=%i\n",
              static_cast<LPCWSTR>(P), static_cast<int>(pbmi->biSize), static_cast<int>(pbmi->biWidth),
              static_cast<int>(pbmi->biHeight), pbmi->biPlanes, pbmi->biBitCount, Fourcc2Name(pbmi->biCompression, szFcc),
              static_cast<int>(pbmi->biSizeImage));

    WCHAR szMore[128];
    szMore[0] = 0;
    size_t cch = 0;
    if (0 != pbmi->biXPelsPerMeter || 0 != pbmi->biYPelsPerMeter)
    {
        _snwprintf_s(szMore, 128, _TRUNCATE, L"XPels=%i, YPels=%i", static_cast<int>(pbmi->biXPelsPerMeter),
                     static_cast<int>(pbmi->biYPelsPerMeter));
        cch = wcslen(szMore);
    }
    if (0 != pbmi->biClrUsed || 0 != pbmi->biClrImportant)
        _snwprintf_s(szMore + cch, 128 - cch, _TRUNCATE, cch ? L", ClrUsed=%u, ClrImp=%u" : L"ClrUsed=%u, ClrImp=%u",
                     static_cast<unsigned>(pbmi->biClrUsed), static_cast<unsigned>(pbmi->biClrImportant));
    if (0 != szMore[0])
        _LogTrace(dwCategory, nLevel, L"%s%s\n", static_cast<LPCWSTR>(P), szMore);
}

inline void Debug_DvInfo(DWORD_PTR dwCategory, UINT nLevel, const DVINFO* pdv, LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eTitle, L"DVINFO: ");
    if (NULL == pdv)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_DvInfo(): Empty DVINFO pointer\n", static_cast<LPCWSTR>(P));
        return;
    }
    _LogTrace(dwCategory, nLevel,
              L"%s\n\tdwDVAAuxSrc =%08X, dwDVAAuxCtl =%08X (1st 5/6 DIF seq)\n\tdwDVAAuxSrc1=%08X, dwDVAAuxCtl1=%08X (2nd 5/6 "
              L"DIF seq)\n\tdwDVVAuxSrc =%08X, dwDVVAuxCtl =%08X (Video)\n\tdwDVReserved[0]=%08X, dwDVReserved[1]=%08X\n",
              static_cast<LPCWSTR>(P), static_cast<unsigned>(pdv->dwDVAAuxSrc), static_cast<unsigned>(pdv->dwDVAAuxCtl),
              static_cast<unsigned>(pdv->dwDVAAuxSrc1), static_cast<unsigned>(pdv->dwDVAAuxCtl1),
              static_cast<unsigned>(pdv->dwDVVAuxSrc), static_cast<unsigned>(pdv->dwDVVAuxCtl),
              static_cast<unsigned>(pdv->dwDVReserved[0]), static_cast<unsigned>(pdv->dwDVReserved[1]));
}

// The rectangle line shared by VIDEOINFOHEADER and VIDEOINFOHEADER2, whose
// first 48 bytes are laid out alike.
inline void DumpVideoRectangles(DWORD_PTR dwCategory, UINT nLevel, const VIDEOINFOHEADER* pvih, LPCWSTR P)
{
    WCHAR szAvgT[50];
    _LogTrace(dwCategory, nLevel, L"%ssrc=[%i,%i:%i,%i], targ=[%i,%i:%i,%i], rate=%u, errRate=%u, AvgT=%s\n", P,
              static_cast<int>(pvih->rcSource.left), static_cast<int>(pvih->rcSource.top),
              static_cast<int>(pvih->rcSource.right), static_cast<int>(pvih->rcSource.bottom),
              static_cast<int>(pvih->rcTarget.left), static_cast<int>(pvih->rcTarget.top),
              static_cast<int>(pvih->rcTarget.right), static_cast<int>(pvih->rcTarget.bottom),
              static_cast<unsigned>(pvih->dwBitRate), static_cast<unsigned>(pvih->dwBitErrorRate),
              ReferenceTimeToText(pvih->AvgTimePerFrame, szAvgT));
}

// The format block of a media type whose size and pointer are both set.
inline void DumpFormatBlock(DWORD_PTR dwCategory, UINT nLevel, const AM_MEDIA_TYPE* pmt, LPCWSTR P)
{
    const size_t cb = pmt->cbFormat;
    const BYTE* pb = pmt->pbFormat;
    size_t cbWanted = 0;
    const bool bVideoInfo =
        IsEqualGUID(pmt->formattype, FORMAT_VideoInfo) || IsEqualGUID(pmt->formattype, FORMAT_MPEGVideo);
    const bool bVideoInfo2 =
        IsEqualGUID(pmt->formattype, FORMAT_VideoInfo2) || IsEqualGUID(pmt->formattype, FORMAT_MPEG2Video);
    if (bVideoInfo)
    {
        cbWanted = sizeof(VIDEOINFOHEADER);
        if (cb >= offsetof(VIDEOINFOHEADER, bmiHeader))
            DumpVideoRectangles(dwCategory, nLevel, reinterpret_cast<const VIDEOINFOHEADER*>(pb), P);
        if (cb >= sizeof(VIDEOINFOHEADER))
            Debug_BitmapInfoHeader(dwCategory, nLevel, &reinterpret_cast<const VIDEOINFOHEADER*>(pb)->bmiHeader, P);
    }
    else if (bVideoInfo2)
    {
        const bool bMpeg2 = IsEqualGUID(pmt->formattype, FORMAT_MPEG2Video);
        cbWanted = bMpeg2 ? sizeof(MPEG2VIDEOINFO) : sizeof(VIDEOINFOHEADER2);
        const VIDEOINFOHEADER2* pvih2 = reinterpret_cast<const VIDEOINFOHEADER2*>(pb);
        if (cb >= offsetof(VIDEOINFOHEADER2, dwInterlaceFlags))
            DumpVideoRectangles(dwCategory, nLevel, reinterpret_cast<const VIDEOINFOHEADER*>(pb), P);
        if (cb >= offsetof(VIDEOINFOHEADER2, bmiHeader))
            _LogTrace(dwCategory, nLevel, L"%silace=0x%X%s, copProt=0x%X, aspect={%i,%i}, ctrl=0x%X\n", P,
                      static_cast<unsigned>(pvih2->dwInterlaceFlags),
                      (pvih2->dwInterlaceFlags & 0x1) ? L" (INTERLACED)" : L"",
                      static_cast<unsigned>(pvih2->dwCopyProtectFlags), static_cast<int>(pvih2->dwPictAspectRatioX),
                      static_cast<int>(pvih2->dwPictAspectRatioY), static_cast<unsigned>(pvih2->dwControlFlags));
        if (bMpeg2 && cb >= sizeof(MPEG2VIDEOINFO))
        {
            const MPEG2VIDEOINFO* pm2 = reinterpret_cast<const MPEG2VIDEOINFO*>(pb);
            _LogTrace(dwCategory, nLevel,
                      L"%sstartCode=0x%X, cbHeader=%u, profile=%u, level=%u, flags=0x%X, seqHeader[0]=0x%X\n", P,
                      static_cast<unsigned>(pm2->dwStartTimeCode), static_cast<unsigned>(pm2->cbSequenceHeader),
                      static_cast<unsigned>(pm2->dwProfile), static_cast<unsigned>(pm2->dwLevel),
                      static_cast<unsigned>(pm2->dwFlags), static_cast<unsigned>(pm2->dwSequenceHeader[0]));
            const size_t cbThere = cb - offsetof(MPEG2VIDEOINFO, dwSequenceHeader);
            size_t cbShown = pm2->cbSequenceHeader < cbThere ? pm2->cbSequenceHeader : cbThere;
            if (cbShown > static_cast<size_t>(DUMP_MEMORY_MAX))
                cbShown = DUMP_MEMORY_MAX;
            TraceMemory(dwCategory, nLevel, static_cast<int>(cbShown), pm2->dwSequenceHeader,
                        pm2->cbSequenceHeader <= static_cast<DWORD>(DUMP_MEMORY_MAX)
                            ? L"dwSequenceHeader[] bytes: "
                            : L"dwSequenceHeader[] first 1024 bytes: ");
        }
        if (cb >= sizeof(VIDEOINFOHEADER2))
            Debug_BitmapInfoHeader(dwCategory, nLevel, &pvih2->bmiHeader, P);
    }
    else if (IsEqualGUID(pmt->formattype, FORMAT_WaveFormatEx))
    {
        // A PCMWAVEFORMAT block ends before cbSize: it has no extra bytes.
        cbWanted = sizeof(PCMWAVEFORMAT);
        if (cb >= sizeof(WAVEFORMATEX))
            DumpWaveFormatEx(dwCategory, nLevel, reinterpret_cast<const WAVEFORMATEX*>(pb), cb, P);
        else if (cb >= sizeof(PCMWAVEFORMAT))
        {
            WAVEFORMATEX wfx;
            ZeroMemory(&wfx, sizeof(wfx));
            memcpy(&wfx, pb, sizeof(PCMWAVEFORMAT));
            DumpWaveFormatEx(dwCategory, nLevel, &wfx, sizeof(wfx), P);
        }
    }
    else if (IsEqualGUID(pmt->formattype, FORMAT_DvInfo))
    {
        cbWanted = sizeof(DVINFO);
        if (cb >= sizeof(DVINFO))
            Debug_DvInfo(dwCategory, nLevel, reinterpret_cast<const DVINFO*>(pb), P);
    }
    if (cb < cbWanted)
        _LogTrace(dwCategory, nLevel, L"###Err### Debug_MediaType(): format block too short, cbFormat=%i, needed %i\n",
                  static_cast<int>(cb), static_cast<int>(cbWanted));
}

inline void Debug_MediaType(DWORD_PTR dwCategory, UINT nLevel, const AM_MEDIA_TYPE* pmt, LPCWSTR pszPrefix)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    if (NULL == pmt)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### Debug_MediaType(): Empty media type pointer\n");
        return;
    }
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eTitle, L"MT: ");
    WCHAR szSummary[GUID_NAME_WORK_SIZE];
    CFilterChainParser::ParseMediaType(pmt, szSummary, GUID_NAME_WORK_SIZE, FALSE);
    _LogTrace(dwCategory, nLevel, L"%s%s, size=%i, cbForm=%i, fix:%s, compr:%s\n", static_cast<LPCWSTR>(P), szSummary,
              static_cast<int>(pmt->lSampleSize), static_cast<int>(pmt->cbFormat), pmt->bFixedSizeSamples ? L"Y" : L"N",
              pmt->bTemporalCompression ? L"Y" : L"N");
    if (NULL != pmt->pUnk)
        _LogTrace(dwCategory, nLevel, L"%s@@@@ pUnk = 0x%p\n", static_cast<LPCWSTR>(P), pmt->pUnk);
    if ((0 == pmt->cbFormat) != (NULL == pmt->pbFormat))
    {
        _LogTrace(dwCategory, nLevel, L"###Err### Debug_MediaType(): bad format parameters, cbFormat=%i, pbFormat=0x%X\n",
                  static_cast<int>(pmt->cbFormat), static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pmt->pbFormat)));
        return;
    }
    if (0 != pmt->cbFormat)
        DumpFormatBlock(dwCategory, nLevel, pmt, P);
}

inline void Debug_Sample(DWORD_PTR dwCategory, UINT nLevel, IMediaSample* pSample, LPCWSTR pszPrefix = NULL,
                         BOOL bBuffer = FALSE)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eBlank);
    if (NULL == pSample)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sEmpty sample pointer\n", static_cast<LPCWSTR>(P));
        return;
    }

    // The parts of the line: "tS=%s  tE=%s", "tS=%s  tE=? (0x%X)" or
    // "tS/tE=? (0x%X)"; "mS=%s  mE=%s" or "mS/mE=? (0x%X)"; " TF=0x%X sId=0x%X".
    WCHAR szTimes[128];
    WCHAR sz1[50];
    WCHAR sz2[50];
    REFERENCE_TIME tStart = 0;
    REFERENCE_TIME tStop = 0;
    HRESULT hr = pSample->GetTime(&tStart, &tStop);
    {
        CTextBuilder text(szTimes, 128);
        if (S_OK == hr)
            text.Text(L"tS=").Text(ReferenceTimeToText(tStart, sz1)).Text(L"  tE=").Text(ReferenceTimeToText(tStop, sz2));
        else if (VFW_S_NO_STOP_TIME == hr)
            text.Text(L"tS=").Text(ReferenceTimeToText(tStart, sz1)).Text(L"  tE=? (0x").Hex(static_cast<ULONG>(hr))
                .Text(L")");
        else
            text.Text(L"tS/tE=? (0x").Hex(static_cast<ULONG>(hr)).Text(L")");
    }

    WCHAR szMediaTimes[128];
    LONGLONG llStart = 0;
    LONGLONG llStop = 0;
    hr = pSample->GetMediaTime(&llStart, &llStop);
    {
        CTextBuilder text(szMediaTimes, 128);
        if (S_OK == hr)
            text.Text(L"mS=").Text(LongLongToText(llStart, sz1)).Text(L"  mE=").Text(LongLongToText(llStop, sz2));
        else
            text.Text(L"mS/mE=? (0x").Hex(static_cast<ULONG>(hr)).Text(L")");
    }

    const unsigned nSync = (S_OK == pSample->IsSyncPoint()) ? 1 : 0;
    const unsigned nPreroll = (S_OK == pSample->IsPreroll()) ? 1 : 0;
    const unsigned nDiscontinuity = (S_OK == pSample->IsDiscontinuity()) ? 1 : 0;

    WCHAR szProps[64];
    szProps[0] = 0;
    {
        CComQIPtr<IMediaSample2> spSample2(pSample);
        if (spSample2)
        {
            AM_SAMPLE2_PROPERTIES props;
            ZeroMemory(&props, sizeof(props));
            // Up to and with the stream id: the part every version of the structure has.
            const DWORD cbProps = offsetof(AM_SAMPLE2_PROPERTIES, dwStreamId) + sizeof(props.dwStreamId);
            if (S_OK == spSample2->GetProperties(cbProps, reinterpret_cast<BYTE*>(&props)))
                CTextBuilder(szProps, 64)
                    .Text(L" TF=0x")
                    .Hex(props.dwTypeSpecificFlags)
                    .Text(L" sId=0x")
                    .Hex(props.dwStreamId);
        }
    }

    WCHAR szBuffer[96];
    szBuffer[0] = 0;
    if (bBuffer)
    {
        BYTE* pb = NULL;
        hr = pSample->GetPointer(&pb);
        const long cbSize = pSample->GetSize();
        const long cbActual = pSample->GetActualDataLength();
        if (SUCCEEDED(hr))
            _snwprintf_s(szBuffer, 96, _TRUNCATE, L" al=%i s=%i p=0x%p", static_cast<int>(cbActual),
                         static_cast<int>(cbSize), pb);
        else
            _snwprintf_s(szBuffer, 96, _TRUNCATE, L" al=%i s=%i p=? (0x%X)", static_cast<int>(cbActual),
                         static_cast<int>(cbSize), hr);
    }

    _LogTrace(dwCategory, nLevel, L"%s%s  %s flags={%u%u%u}%s%s\n", static_cast<LPCWSTR>(P), szTimes, szMediaTimes, nSync,
              nPreroll, nDiscontinuity, szProps, szBuffer);

    AM_MEDIA_TYPE* pmt = NULL;
    hr = pSample->GetMediaType(&pmt);
    if (S_OK == hr && NULL != pmt)
    {
        _LogTrace(dwCategory, nLevel, L"%sMedia type attached to sample:\n", static_cast<LPCWSTR>(P));
        Debug_MediaType(dwCategory, nLevel, pmt, NULL);
    }
    if (SUCCEEDED(hr))
        MTDelete(pmt);
}

inline void Debug_SampleLag(DWORD_PTR dwCategory, UINT nLevel, IMediaSample* pSample, REFERENCE_TIME tStart,
                            IReferenceClock* pRefClock, LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eBlank);
    if (NULL == pSample)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_SampleLag(): Empty pointer to IMediaSample\n",
                  static_cast<LPCWSTR>(P));
        return;
    }
    if (NULL == pRefClock)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_SampleLag(): Empty pointer to IReferenceClock\n",
                  static_cast<LPCWSTR>(P));
        return;
    }
    REFERENCE_TIME tS = 0;
    REFERENCE_TIME tE = 0;
    const HRESULT hrSample = pSample->GetTime(&tS, &tE);
    REFERENCE_TIME tClock = 0;
    const HRESULT hrClock = pRefClock->GetTime(&tClock);
    const bool bSample = SUCCEEDED(hrSample);
    const bool bClock = (S_OK == hrClock || S_FALSE == hrClock);
    LPCWSTR pszMark = (S_FALSE == hrClock) ? L" (S_FALSE)" : L"";
    WCHAR sz1[50];
    WCHAR sz2[50];
    WCHAR sz3[50];
    WCHAR sz4[50];
    if (bSample && bClock)
        _LogTrace(dwCategory, nLevel, L"%sDiff=%s, tS=%s, tStart=%s, clock=%s%s\n", static_cast<LPCWSTR>(P),
                  ReferenceTimeToText(tS + tStart - tClock, sz1), ReferenceTimeToText(tS, sz2),
                  ReferenceTimeToText(tStart, sz3), ReferenceTimeToText(tClock, sz4), pszMark);
    else if (bSample)
        _LogTrace(dwCategory, nLevel, L"###Err### %spRefClock->GetTime()=0x%X, tS=%s, tStart=%s\n",
                  static_cast<LPCWSTR>(P), hrClock, ReferenceTimeToText(tS, sz1), ReferenceTimeToText(tStart, sz2));
    else if (bClock)
        _LogTrace(dwCategory, nLevel, L"%spSample->GetTime()=0x%X, shift=%s, clock=%s%s, tStart=%s\n",
                  static_cast<LPCWSTR>(P), hrSample, ReferenceTimeToText(tClock - tStart, sz1),
                  ReferenceTimeToText(tClock, sz2), pszMark, ReferenceTimeToText(tStart, sz3));
    else
        _LogTrace(dwCategory, nLevel, L"###Err### %spSample->GetTime()=0x%X, pRefClock->GetTime()=0x%X\n",
                  static_cast<LPCWSTR>(P), hrSample, hrClock);
}

inline void Debug_Allocator(DWORD_PTR dwCategory, UINT nLevel, IMemAllocator* pAllocator, LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eBlank);
    if (NULL == pAllocator)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_Allocator(): Empty allocator pointer\n", static_cast<LPCWSTR>(P));
        return;
    }
    ALLOCATOR_PROPERTIES props;
    ZeroMemory(&props, sizeof(props));
    const HRESULT hr = pAllocator->GetProperties(&props);
    if (SUCCEEDED(hr))
        _LogTrace(dwCategory, nLevel, L"%sIMemAllocator=0x%p, props = { %i, %i, %i, %i }\n", static_cast<LPCWSTR>(P),
                  pAllocator, static_cast<int>(props.cBuffers), static_cast<int>(props.cbBuffer),
                  static_cast<int>(props.cbAlign), static_cast<int>(props.cbPrefix));
    else
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_Allocator(): pAllocator->GetProperties()=0x%X\n",
                  static_cast<LPCWSTR>(P), hr);
}

inline void Debug_AllocatorProps(DWORD_PTR dwCategory, UINT nLevel, const ALLOCATOR_PROPERTIES* pProps,
                                 LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eBlank);
    if (NULL == pProps)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_AllocatorProps(): Empty pointer\n", static_cast<LPCWSTR>(P));
        return;
    }
    _LogTrace(dwCategory, nLevel, L"%s{ %i, %i, %i, %i }\n", static_cast<LPCWSTR>(P), static_cast<int>(pProps->cBuffers),
              static_cast<int>(pProps->cbBuffer), static_cast<int>(pProps->cbAlign), static_cast<int>(pProps->cbPrefix));
}

// Hexadecimal and character lines of cb bytes at pv, 16 bytes a line, under a
// header line; false when there was nothing to show (only the header).
inline bool TraceMemory(DWORD_PTR dwCategory, UINT nLevel, int cb, const void* pv, LPCWSTR pszTitle)
{
    if (!DumpPasses(dwCategory, nLevel))
        return false;
    if (NULL != pszTitle)
        _LogTrace(dwCategory, nLevel, L"%s Trace from address 0x%p (%i bytes)\n", pszTitle, pv, cb);
    else
        _LogTrace(dwCategory, nLevel, L"Trace from address 0x%p (%i bytes)\n", pv, cb);
    if (NULL == pv || cb <= 0)
        return false;

    static const WCHAR s_szHex[] = L"0123456789ABCDEF";
    const BYTE* pb = static_cast<const BYTE*>(pv);
    for (int nLine = 0; nLine < cb; nLine += 16)
    {
        // 16 * 3 + 2 + 2 + 2 = 54 characters before the character column.
        WCHAR szLine[54 + 16 + 1];
        int i = 0;
        for (int nPos = 0; nPos < 16; ++nPos)
        {
            if (nLine + nPos < cb)
            {
                szLine[i++] = s_szHex[pb[nLine + nPos] >> 4];
                szLine[i++] = s_szHex[pb[nLine + nPos] & 0xF];
            }
            else
            {
                szLine[i++] = L' ';
                szLine[i++] = L' ';
            }
            szLine[i++] = L' ';
            if (3 == nPos || 11 == nPos)
                szLine[i++] = L' ';
            else if (7 == nPos)
            {
                szLine[i++] = L'|';
                szLine[i++] = L' ';
            }
        }
        szLine[i++] = L' ';
        szLine[i++] = L' ';
        for (int nPos = 0; nPos < 16 && nLine + nPos < cb; ++nPos)
        {
            const BYTE b = pb[nLine + nPos];
            szLine[i++] = (b >= 0x20 && b <= 0x7F) ? static_cast<WCHAR>(b) : L'.';
        }
        szLine[i] = 0;
        _LogTrace(dwCategory, nLevel, L"0x%p: %s\n", pb + nLine, szLine);
    }
    _LogTrace(dwCategory, nLevel, L"\n");
    return true;
}

// The media types a pin offers, between a BEGIN and an END line.
inline void Debug_PinMediaTypes(DWORD_PTR dwCategory, UINT nLevel, IPin* pPin)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    _LogTrace(dwCategory, nLevel, L"----------------------------------- Pin media types : BEGIN\n");
    if (NULL == pPin)
        _LogTrace(dwCategory, nLevel, L"Debug_PinMediaTypes(): Empty pin pointer\n");
    else
    {
        CComPtr<IEnumMediaTypes> spEnumMT;
        HRESULT hr = pPin->EnumMediaTypes(&spEnumMT);
        if (SUCCEEDED(hr) && !spEnumMT)
            hr = E_POINTER;
        if (FAILED(hr))
            _LogTrace(dwCategory, nLevel, L"###Err### Debug_PinMediaTypes(): pPin->EnumMediaTypes()=0x%X\n", hr);
        else if (FAILED(hr = spEnumMT->Reset()))
            _LogTrace(dwCategory, nLevel, L"###Err### Debug_PinMediaTypes(): spEnumMT->Reset()=0x%X\n", hr);
        else
        {
            for (;;)
            {
                AM_MEDIA_TYPE* pmt = NULL;
                ULONG cFetched = 0;
                hr = spEnumMT->Next(1, &pmt, &cFetched);
                if (S_FALSE == hr)
                {
                    MTDelete(pmt);
                    break;
                }
                if (S_OK != hr)
                {
                    _LogTrace(dwCategory, nLevel, L"###Err### Debug_PinMediaTypes(): spEnumMT->Next()=0x%X\n", hr);
                    break;
                }
                if (1 != cFetched || NULL == pmt)
                {
                    // An enumerator that answers S_OK without a type would
                    // answer so for ever: the list ends here.
                    _LogTrace(dwCategory, nLevel,
                              L"###Err### Debug_PinMediaTypes(): bad data from spEnumMT->Next(): cFetched=%i, pmt=0x%p\n",
                              static_cast<int>(cFetched), pmt);
                    MTDelete(pmt);
                    break;
                }
                Debug_MediaType(dwCategory, nLevel, pmt, NULL);
                MTDelete(pmt);
            }
        }
    }
    _LogTrace(dwCategory, nLevel, L"----------------------------------- Pin media types : END\n");
}

// The class name of the filter that owns a pin, after the caller's prefix.
inline void Debug_FilterFromPin(DWORD_PTR dwCategory, UINT nLevel, LPCWSTR pszPrefix, IPin* pPin)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eAsIs);
    if (NULL == pPin)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_FilterFromPin(): Empty pin pointer\n", static_cast<LPCWSTR>(P));
        return;
    }
    PIN_INFO rgPinInfo;
    ZeroMemory(&rgPinInfo, sizeof(rgPinInfo));
    HRESULT hr = pPin->QueryPinInfo(&rgPinInfo);
    if (FAILED(hr))
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_FilterFromPin(): pPin->QueryPinInfo()=0x%X\n",
                  static_cast<LPCWSTR>(P), hr);
        return;
    }
    CComPtr<IBaseFilter> spFilter;
    spFilter.Attach(rgPinInfo.pFilter);
    if (!spFilter)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_FilterFromPin(): rgPinInfo.pFilter == NULL\n",
                  static_cast<LPCWSTR>(P));
        return;
    }
    CLSID clsid = GUID_NULL;
    hr = spFilter->GetClassID(&clsid);
    if (FAILED(hr))
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_FilterFromPin(): pFilter->GetClassID()=0x%X\n",
                  static_cast<LPCWSTR>(P), hr);
        return;
    }
    WCHAR szName[GUID_NAME_WORK_SIZE];
    _LogTrace(dwCategory, nLevel, L"%sfilter [%s]\n", static_cast<LPCWSTR>(P), Guid2Name(clsid, szName, GUID_NAME_WORK_SIZE));
}

// The names of the analog video standards set in a value, joined by "|".
inline LPWSTR VideoStandardNames(DWORD dwStandard, WCHAR* psz, size_t cch)
{
    static const struct
    {
        DWORD dwBit;
        LPCWSTR pszName;
    } s_rgNames[] = {
        { AnalogVideo_NTSC_M, L"NTSC_M" },     { AnalogVideo_NTSC_M_J, L"NTSC_M_J" }, { AnalogVideo_NTSC_433, L"NTSC_433" },
        { AnalogVideo_PAL_B, L"PAL_B" },       { AnalogVideo_PAL_D, L"PAL_D" },       { AnalogVideo_PAL_G, L"PAL_G" },
        { AnalogVideo_PAL_H, L"PAL_H" },       { AnalogVideo_PAL_I, L"PAL_I" },       { AnalogVideo_PAL_M, L"PAL_M" },
        { AnalogVideo_PAL_N, L"PAL_N" },       { AnalogVideo_PAL_60, L"PAL_60" },     { AnalogVideo_SECAM_B, L"SECAM_B" },
        { AnalogVideo_SECAM_D, L"SECAM_D" },   { AnalogVideo_SECAM_G, L"SECAM_G" },   { AnalogVideo_SECAM_H, L"SECAM_H" },
        { AnalogVideo_SECAM_K, L"SECAM_K" },   { AnalogVideo_SECAM_K1, L"SECAM_K1" }, { AnalogVideo_SECAM_L, L"SECAM_L" },
        { AnalogVideo_SECAM_L1, L"SECAM_L1" }, { AnalogVideo_PAL_N_COMBO, L"PAL_N_COMBO" },
    };
    psz[0] = 0;
    size_t cchUsed = 0;
    for (int nBit = 0; nBit < 32; ++nBit)
    {
        const DWORD dwBit = 1u << nBit;
        if (0 == (dwStandard & dwBit))
            continue;
        LPCWSTR pszName = L"UNK";
        for (const auto& row : s_rgNames)
            if (row.dwBit == dwBit)
                pszName = row.pszName;
        _snwprintf_s(psz + cchUsed, cch - cchUsed, _TRUNCATE, cchUsed ? L"|%s" : L"%s", pszName);
        cchUsed += wcslen(psz + cchUsed);
    }
    return psz;
}

// The stream capabilities of a capture pin: each media type it offers with
// its video or audio capability structure.
inline void Debug_AMStreamConfig(DWORD_PTR dwCategory, UINT nLevel, IUnknown* pUnk, LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eAsIs);
    if (NULL == pUnk)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_AMStreamConfig(): Empty interface pointer\n",
                  static_cast<LPCWSTR>(P));
        return;
    }
    CComQIPtr<IAMStreamConfig> spConfig(pUnk);
    if (!spConfig)
    {
        _LogTrace(dwCategory, nLevel, L"### %sDebug_AMStreamConfig(): IAMStreamConfig not supported\n",
                  static_cast<LPCWSTR>(P));
        return;
    }
    int nCount = 0;
    int nSize = 0;
    HRESULT hr = spConfig->GetNumberOfCapabilities(&nCount, &nSize);
    if (S_OK != hr)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_AMStreamConfig(): GetNumberOfCapabilities()=0x%X\n",
                  static_cast<LPCWSTR>(P), hr);
        return;
    }
    _LogTrace(dwCategory, nLevel, L"=================================== %sIAMStreamConfig: count %i, size %i\n",
              static_cast<LPCWSTR>(P), nCount, nSize);

    // The capability buffer is sized by the pin's own answer: at least the
    // larger of the two real structures, and nothing for a size no real
    // structure has.
    const bool bSizeSound = nSize > 0 && nSize <= DUMP_STREAM_CAPS_MAX;
    const size_t cbCaps = (bSizeSound && static_cast<size_t>(nSize) > sizeof(VIDEO_STREAM_CONFIG_CAPS))
                              ? static_cast<size_t>(nSize)
                              : sizeof(VIDEO_STREAM_CONFIG_CAPS);
    BYTE* pbCaps = bSizeSound ? static_cast<BYTE*>(malloc(cbCaps)) : NULL;
    for (int i = 0; i < nCount; ++i)
    {
        if (NULL == pbCaps)
        {
            _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_AMStreamConfig(): GetStreamCaps( %i ): Unknown struct\n",
                      static_cast<LPCWSTR>(P), i);
            continue;
        }
        ZeroMemory(pbCaps, cbCaps);
        AM_MEDIA_TYPE* pmt = NULL;
        hr = spConfig->GetStreamCaps(i, &pmt, pbCaps);
        if (S_OK != hr)
        {
            _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_AMStreamConfig(): GetStreamCaps( %i )=0x%X\n",
                      static_cast<LPCWSTR>(P), i, hr);
            if (SUCCEEDED(hr))
                MTDelete(pmt);
            continue;
        }
        WCHAR szPrefix[DUMP_PREFIX_SIZE];
        _snwprintf_s(szPrefix, DUMP_PREFIX_SIZE, _TRUNCATE, L"%s%2i MT: ", static_cast<LPCWSTR>(P), i);
        Debug_MediaType(dwCategory, nLevel, pmt, szPrefix);

        WCHAR SP[DUMP_PREFIX_SIZE];
        _snwprintf_s(SP, DUMP_PREFIX_SIZE, _TRUNCATE, L"%s%2i SC: ", static_cast<LPCWSTR>(P), i);
        WCHAR szGuid[GUID_NAME_WORK_SIZE];
        if (sizeof(VIDEO_STREAM_CONFIG_CAPS) == static_cast<size_t>(nSize))
        {
            const VIDEO_STREAM_CONFIG_CAPS* pv = reinterpret_cast<const VIDEO_STREAM_CONFIG_CAPS*>(pbCaps);
            WCHAR szStandards[512];
            WCHAR sz1[50];
            WCHAR sz2[50];
            _LogTrace(dwCategory, nLevel, L"%sguid: %s, VideoStandard: %s (0x%X)\n", SP,
                      Guid2Name(pv->guid, szGuid, GUID_NAME_WORK_SIZE),
                      VideoStandardNames(pv->VideoStandard, szStandards, 512), static_cast<unsigned>(pv->VideoStandard));
            _LogTrace(dwCategory, nLevel,
                      L"%sInputSize: [%i,%i], MinCroppingSize: [%i,%i], MaxCroppingSize: [%i,%i]\n", SP,
                      static_cast<int>(pv->InputSize.cx), static_cast<int>(pv->InputSize.cy),
                      static_cast<int>(pv->MinCroppingSize.cx), static_cast<int>(pv->MinCroppingSize.cy),
                      static_cast<int>(pv->MaxCroppingSize.cx), static_cast<int>(pv->MaxCroppingSize.cy));
            _LogTrace(dwCategory, nLevel, L"%sCropGranularityX=%i, CropGranularityY=%i, CropAlignX=%i, CropAlignY=%i\n", SP,
                      pv->CropGranularityX, pv->CropGranularityY, pv->CropAlignX, pv->CropAlignY);
            _LogTrace(dwCategory, nLevel,
                      L"%sMinOutputSize: [%i,%i], MaxOutputSize: [%i,%i], OutputGranularityX=%i, OutputGranularityY=%i\n",
                      SP, static_cast<int>(pv->MinOutputSize.cx), static_cast<int>(pv->MinOutputSize.cy),
                      static_cast<int>(pv->MaxOutputSize.cx), static_cast<int>(pv->MaxOutputSize.cy),
                      pv->OutputGranularityX, pv->OutputGranularityY);
            _LogTrace(dwCategory, nLevel, L"%sStretchTapsX=%i, StretchTapsY=%i, ShrinkTapsX=%i, ShrinkTapsY=%i\n", SP,
                      pv->StretchTapsX, pv->StretchTapsY, pv->ShrinkTapsX, pv->ShrinkTapsY);
            _LogTrace(dwCategory, nLevel,
                      L"%sMinFrameInterval=%s, MaxFrameInterval=%s, MinBitsPerSecond=%i, MaxBitsPerSecond=%i\n", SP,
                      ReferenceTimeToText(pv->MinFrameInterval, sz1), ReferenceTimeToText(pv->MaxFrameInterval, sz2),
                      static_cast<int>(pv->MinBitsPerSecond), static_cast<int>(pv->MaxBitsPerSecond));
        }
        else if (sizeof(AUDIO_STREAM_CONFIG_CAPS) == static_cast<size_t>(nSize))
        {
            const AUDIO_STREAM_CONFIG_CAPS* pa = reinterpret_cast<const AUDIO_STREAM_CONFIG_CAPS*>(pbCaps);
            _LogTrace(dwCategory, nLevel, L"%sguid: %s, MinimumChannels=%u, MaximumChannels=%u, ChannelsGranularity=%u\n", SP,
                      Guid2Name(pa->guid, szGuid, GUID_NAME_WORK_SIZE), static_cast<unsigned>(pa->MinimumChannels),
                      static_cast<unsigned>(pa->MaximumChannels), static_cast<unsigned>(pa->ChannelsGranularity));
            _LogTrace(dwCategory, nLevel,
                      L"%sMinimumBitsPerSample=%u, MaximumBitsPerSample=%u, BitsPerSampleGranularity=%u\n", SP,
                      static_cast<unsigned>(pa->MinimumBitsPerSample), static_cast<unsigned>(pa->MaximumBitsPerSample),
                      static_cast<unsigned>(pa->BitsPerSampleGranularity));
            _LogTrace(dwCategory, nLevel,
                      L"%sMinimumSampleFrequency=%u, MaximumSampleFrequency=%u, SampleFrequencyGranularity=%u\n", SP,
                      static_cast<unsigned>(pa->MinimumSampleFrequency), static_cast<unsigned>(pa->MaximumSampleFrequency),
                      static_cast<unsigned>(pa->SampleFrequencyGranularity));
        }
        else
            _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_AMStreamConfig(): GetStreamCaps( %i ): Unknown struct\n",
                      static_cast<LPCWSTR>(P), i);
        _LogTrace(dwCategory, nLevel, L"\n");
        MTDelete(pmt);
    }
    free(pbCaps);
    _LogTrace(dwCategory, nLevel, L"=================================== IAMStreamConfig: END\n");
}

inline void Debug_KsVBIInfoHeader(DWORD_PTR dwCategory, UINT nLevel, const KS_VBIINFOHEADER* pVBI,
                                  LPCWSTR pszPrefix = NULL)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    const CDumpPrefix P(pszPrefix, CDumpPrefix::eAsIs);
    if (NULL == pVBI)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### %sDebug_KsVBIInfoHeader(): Empty pointer to struct\n",
                  static_cast<LPCWSTR>(P));
        return;
    }
    _LogTrace(dwCategory, nLevel, L"%s: KS_VBIINFOHEADER: StartLine=%u, EndLine=%u, SamplingFrequency=%u\n",
              static_cast<LPCWSTR>(P), static_cast<unsigned>(pVBI->StartLine), static_cast<unsigned>(pVBI->EndLine),
              static_cast<unsigned>(pVBI->SamplingFrequency));
    _LogTrace(dwCategory, nLevel,
              L"%s: KS_VBIINFOHEADER: Min/Max LineStartTime: %u:%u, ActualLine Start/End Time=%u:%u\n",
              static_cast<LPCWSTR>(P), static_cast<unsigned>(pVBI->MinLineStartTime),
              static_cast<unsigned>(pVBI->MaxLineStartTime), static_cast<unsigned>(pVBI->ActualLineStartTime),
              static_cast<unsigned>(pVBI->ActualLineEndTime));
    _LogTrace(dwCategory, nLevel,
              L"%s: KS_VBIINFOHEADER: VideoStandard=0x%X, SamplesPerLine=%u, StrideInBytes=%u, BufferSize=%u\n",
              static_cast<LPCWSTR>(P), static_cast<unsigned>(pVBI->VideoStandard),
              static_cast<unsigned>(pVBI->SamplesPerLine), static_cast<unsigned>(pVBI->StrideInBytes),
              static_cast<unsigned>(pVBI->BufferSize));
}

// The overlay colour controls whose flags are set. A NULL structure gives
// one error line.
inline void Debug_ColorControls(DWORD_PTR dwCategory, UINT nLevel, const DDCOLORCONTROL* pcc)
{
    if (!DumpPasses(dwCategory, nLevel))
        return;
    if (NULL == pcc)
    {
        _LogTrace(dwCategory, nLevel, L"###Err### Debug_ColorControls(): Empty pointer\n");
        return;
    }
    const struct
    {
        DWORD dwFlag;
        LPCWSTR pszFormat;
        LONG lValue;
    } rgFields[] = {
        { DDCOLOR_BRIGHTNESS, L"  Brightness=%i", pcc->lBrightness },
        { DDCOLOR_CONTRAST, L"  Contrast=%i", pcc->lContrast },
        { DDCOLOR_HUE, L"  Hue=%i", pcc->lHue },
        { DDCOLOR_SATURATION, L"  Saturation=%i", pcc->lSaturation },
        { DDCOLOR_SHARPNESS, L"  Sharpness=%i", pcc->lSharpness },
        { DDCOLOR_GAMMA, L"  Gamma=%i", pcc->lGamma },
        { DDCOLOR_COLORENABLE, L"  ColorEnable=%i", pcc->lColorEnable },
    };
    WCHAR szText[256];
    szText[0] = 0;
    size_t cch = 0;
    for (const auto& field : rgFields)
    {
        if (0 == (pcc->dwFlags & field.dwFlag))
            continue;
        _snwprintf_s(szText + cch, 256 - cch, _TRUNCATE, field.pszFormat, static_cast<int>(field.lValue));
        cch += wcslen(szText + cch);
    }
    _LogTrace(dwCategory, nLevel, L"*** Surface properties : dwFlags=0x%X%s\n", static_cast<unsigned>(pcc->dwFlags), szText);
}
