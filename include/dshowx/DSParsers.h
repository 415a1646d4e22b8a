// Text helpers for trace lines: reference times, grouped numbers, GUID names
// and FOURCC codes. Each writes into a buffer the caller supplies and returns
// it, so that it serves directly as a %s argument.
#pragma once

#include "DSGuidNames.h"
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
    if (hi != 0)
    {
        const unsigned lo9 = static_cast<unsigned>(llabs(lo));
        if (frac)
            _snwprintf_s(pszConv, REFERENCE_TIME_TEXT_SIZE, _TRUNCATE, L"%d%09u.%03u'%04u", static_cast<int>(hi),
                         lo9, msec, frac);
        else
            _snwprintf_s(pszConv, REFERENCE_TIME_TEXT_SIZE, _TRUNCATE, L"%d%09u.%03u", static_cast<int>(hi), lo9,
                         msec);
    }
    else if (t < 0 && lo == 0)
    {
        // Less than one second below zero: "%d" of 0 would lose the sign.
        if (frac)
            _snwprintf_s(pszConv, REFERENCE_TIME_TEXT_SIZE, _TRUNCATE, L"-%u.%03u'%04u", 0u, msec, frac);
        else
            _snwprintf_s(pszConv, REFERENCE_TIME_TEXT_SIZE, _TRUNCATE, L"-%u.%03u", 0u, msec);
    }
    else
    {
        if (frac)
            _snwprintf_s(pszConv, REFERENCE_TIME_TEXT_SIZE, _TRUNCATE, L"%d.%03u'%04u", static_cast<int>(lo), msec,
                         frac);
        else
            _snwprintf_s(pszConv, REFERENCE_TIME_TEXT_SIZE, _TRUNCATE, L"%d.%03u", static_cast<int>(lo), msec);
    }
    return pszConv;
}

// A LONGLONG in groups of three digits separated by blanks: "-1 000".
inline LPWSTR LongLongToText(LONGLONG n, WCHAR* pszConv)
{
    if (!ASSERT(pszConv != NULL))
        return NULL;
    if (LimitToText(n, pszConv))
        return pszConv;
    size_t cch = 0;
    if (n < 0)
    {
        pszConv[cch++] = L'-';
        n = -n;
    }
    pszConv[cch] = 0;
    bool bStarted = false;
    for (LONGLONG nDiv = 1000000000000000000LL; nDiv > 0; nDiv /= 1000)
    {
        const unsigned nGroup = static_cast<unsigned>(n / nDiv);
        n %= nDiv;
        if (!bStarted && nGroup == 0 && nDiv > 1)
            continue;
        _snwprintf_s(pszConv + cch, LONGLONG_TEXT_SIZE - cch, _TRUNCATE, bStarted ? L" %03u" : L"%u", nGroup);
        cch += wcslen(pszConv + cch);
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
        ASSERT(rgConnectedInfo.pFilter != NULL);
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
        if (bFull)
        {
            const BITMAPINFOHEADER* pbmi = VideoBitmapInfoHeader(pmt);
            if (NULL != pbmi)
                _snwprintf_s(szSize, 32, _TRUNCATE, L" %d*%d", static_cast<int>(pbmi->biWidth),
                             static_cast<int>(pbmi->biHeight));
        }

        WCHAR szWork[LINE_SIZE];
        _snwprintf_s(szWork, LINE_SIZE, _TRUNCATE, bFull ? L"( %s / %s / %s )%s\r\n" : L"( %s / %s / %s )", szMajor,
                     szSub, szFormat, szSize);
        szWork[LINE_SIZE - 1] = 0;
        wcsncpy_s(psz, cch, szWork, _TRUNCATE);
    }

    // The header inside a video format block (VIDEOINFOHEADER and MPEG-1
    // forms at 48 bytes, VIDEOINFOHEADER2 and MPEG-2 forms at 72), or NULL
    // when the type has none or its block is shorter than its structure.
    static const BITMAPINFOHEADER* VideoBitmapInfoHeader(const AM_MEDIA_TYPE* pmt)
    {
        if (NULL == pmt || NULL == pmt->pbFormat)
            return NULL;
        if (IsEqualGUID(pmt->formattype, FORMAT_VideoInfo) || IsEqualGUID(pmt->formattype, FORMAT_MPEGVideo))
            return pmt->cbFormat >= sizeof(VIDEOINFOHEADER)
                       ? &reinterpret_cast<const VIDEOINFOHEADER*>(pmt->pbFormat)->bmiHeader
                       : NULL;
        if (IsEqualGUID(pmt->formattype, FORMAT_VideoInfo2) || IsEqualGUID(pmt->formattype, FORMAT_MPEG2Video))
            return pmt->cbFormat >= sizeof(VIDEOINFOHEADER2)
                       ? &reinterpret_cast<const VIDEOINFOHEADER2*>(pmt->pbFormat)->bmiHeader
                       : NULL;
        return NULL;
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
