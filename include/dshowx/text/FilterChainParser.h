// The filter graph as text: every filter and pin with its connection.
#pragma once

#include "TraceText.h"
#include "DSTypes.h"
#include "Containers.h"
#include "Functions.h"

#include <atlbase.h>

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
