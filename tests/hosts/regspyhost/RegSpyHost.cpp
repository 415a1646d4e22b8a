// Uses the spy filter as an application would once Morphlet.dll is
// registered: looks the filter up in the "Norvaleth Filters" category, creates
// it by its CLSID (COM loads the module named by the registration), runs
// the test source's timed YUY2 pictures through it into Wine's Null Renderer
// to the end of the stream, and reads the stream's bitrate through the
// filter's own interface INRVSpyFilter. The spy's own lines go to the log
// file as with any other host.
//
//   regspyhost.exe [samples]
#include "dsfix/Graph.h"
#include "dsfix/TestSource.h"

#include "Morphlet.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>

namespace {

// {76726F4E-BB61-47AC-A545-912B367DE469}
const CLSID CLSID_NorvalethCategory = { 0x76726f4e, 0xbb61, 0x47ac, { 0xa5, 0x45, 0x91, 0x2b, 0x36, 0x7d, 0xe4, 0x69 } };

const LONG kWidth = 320;
const LONG kHeight = 240;
const REFERENCE_TIME kFrame = 100000; // 10 ms

std::wstring ReadBag(IPropertyBag* pBag, LPCOLESTR pszName)
{
    VARIANT v;
    VariantInit(&v);
    std::wstring s;
    if (SUCCEEDED(pBag->Read(pszName, &v, NULL)) && v.vt == VT_BSTR)
        s = v.bstrVal;
    VariantClear(&v);
    return s;
}

// Prints the filters the category lists; true when the spy is among them.
bool ListCategory()
{
    dsfix::ComPtr<ICreateDevEnum> spDevEnum;
    dsfix::ComPtr<IEnumMoniker> spEnum;
    if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, NULL, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                reinterpret_cast<void**>(&spDevEnum))) ||
        S_OK != spDevEnum->CreateClassEnumerator(CLSID_NorvalethCategory, &spEnum, 0))
    {
        printf("regspyhost: the category \"Norvaleth Filters\" is empty or missing\n");
        return false;
    }
    WCHAR szSpy[40];
    StringFromGUID2(CLSID_SpyFilter, szSpy, 40);
    bool bFound = false;
    dsfix::ComPtr<IMoniker> spMoniker;
    while (S_OK == spEnum->Next(1, &spMoniker, NULL))
    {
        dsfix::ComPtr<IPropertyBag> spBag;
        if (FAILED(spMoniker->BindToStorage(NULL, NULL, IID_IPropertyBag, reinterpret_cast<void**>(&spBag))))
            continue;
        const std::wstring sClsid = ReadBag(spBag, L"CLSID");
        printf("regspyhost: category \"Norvaleth Filters\" lists %ls %ls\n", ReadBag(spBag, L"FriendlyName").c_str(),
               sClsid.c_str());
        if (0 == _wcsicmp(sClsid.c_str(), szSpy))
            bFound = true;
    }
    return bFound;
}

std::wstring RegisteredServer()
{
    WCHAR sz[MAX_PATH + 1] = L"";
    DWORD cb = MAX_PATH * sizeof(WCHAR);
    RegGetValueW(HKEY_CLASSES_ROOT, L"CLSID\\{3C7E52D0-9A41-4F0B-8D26-51B7E0A4C913}\\InprocServer32", NULL,
                 RRF_RT_REG_SZ, NULL, sz, &cb);
    return sz;
}

std::wstring ReadText(HKEY hRoot, const std::wstring& sKey, LPCWSTR pszName)
{
    WCHAR sz[MAX_PATH + 1] = L"";
    DWORD cb = MAX_PATH * sizeof(WCHAR);
    if (ERROR_SUCCESS != RegGetValueW(hRoot, sKey.c_str(), pszName, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ |
                                      RRF_NOEXPAND, NULL, sz, &cb))
        return std::wstring();
    return sz;
}

// The log file of the bound log library (its settings key is named after the
// binding), or empty.
std::wstring LogFilePath()
{
    const std::wstring sBinding = ReadText(HKEY_CURRENT_USER, L"Software\\_VoxaDEZ64", NULL);
    if (sBinding.empty())
        return std::wstring();
    const std::wstring sLog = ReadText(HKEY_CURRENT_USER, L"Software\\_VoxaDEZ64\\" + sBinding, L"Log");
    WCHAR sz[1024] = L"";
    ExpandEnvironmentStringsW(sLog.c_str(), sz, 1024);
    return sz;
}

// The text appended to the file since byte llFrom.
std::string ReadFrom(const std::wstring& sPath, LONGLONG llFrom)
{
    std::string sText;
    const HANDLE h = CreateFileW(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 NULL, OPEN_EXISTING, 0, NULL);
    if (INVALID_HANDLE_VALUE == h)
        return sText;
    LARGE_INTEGER li;
    li.QuadPart = llFrom;
    SetFilePointerEx(h, li, NULL, FILE_BEGIN);
    char buf[65536];
    DWORD cbRead = 0;
    while (ReadFile(h, buf, sizeof(buf), &cbRead, NULL) && cbRead > 0)
        sText.append(buf, cbRead);
    CloseHandle(h);
    return sText;
}

LONGLONG FileSize(const std::wstring& sPath)
{
    WIN32_FILE_ATTRIBUTE_DATA fad;
    if (sPath.empty() || !GetFileAttributesExW(sPath.c_str(), GetFileExInfoStandard, &fad))
        return 0;
    return (static_cast<LONGLONG>(fad.nFileSizeHigh) << 32) | fad.nFileSizeLow;
}

// Occurrences of sPart in sText.
size_t CountOf(const std::string& sText, const std::string& sPart)
{
    size_t n = 0;
    for (size_t i = sText.find(sPart); i != std::string::npos; i = sText.find(sPart, i + 1))
        ++n;
    return n;
}

} // namespace

int main(int argc, char** argv)
{
    long nSamples = (argc > 1) ? atol(argv[1]) : 100;
    if (nSamples < 1)
        nSamples = 1;
    dsfix::ComInit com;

    const std::wstring sLog = LogFilePath();
    const LONGLONG llStart = FileSize(sLog);
    const bool bListed = ListCategory();
    dsfix::ComPtr<IBaseFilter> spSpy;
    HRESULT hr = CoCreateInstance(CLSID_SpyFilter, NULL, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void**>(&spSpy));
    if (FAILED(hr))
    {
        printf("regspyhost: CoCreateInstance(CLSID_SpyFilter) failed, hr=0x%08lX (is Morphlet.dll registered?)\n",
               static_cast<unsigned long>(hr));
        return 1;
    }
    printf("regspyhost: the spy filter made by CoCreateInstance from %ls\n", RegisteredServer().c_str());

    dsfix::TestSourceConfig config;
    config.mediaTypes = { dsfix::VideoType(MEDIASUBTYPE_YUY2, kWidth, kHeight, kFrame) };
    config.sampleCount = nSamples;
    config.frameDuration = kFrame;
    dsfix::TestSource* pSource = NULL;
    bool bDone = false;
    long nPassed = 0;
    {
        dsfix::TestGraph graph;
        dsfix::ComPtr<IBaseFilter> spRenderer;
        if (FAILED(hr = graph.Create()) || FAILED(hr = dsfix::TestSource::Create(config, &pSource)) ||
            FAILED(hr = graph.Add(pSource, L"Test Source")) || FAILED(hr = graph.Add(spSpy, L"Spy Filter")) ||
            FAILED(hr = graph.AddNew(dsfix::CLSID_WineNullRenderer, L"Null Renderer", &spRenderer)) ||
            FAILED(hr = graph.ConnectDirect(pSource->Pin(), dsfix::FindPin(spSpy, PINDIR_INPUT))) ||
            FAILED(hr = graph.ConnectDirect(dsfix::FindPin(spSpy, PINDIR_OUTPUT),
                                            dsfix::FindPin(spRenderer, PINDIR_INPUT))))
        {
            printf("regspyhost: the graph cannot be built, hr=0x%08lX\n", static_cast<unsigned long>(hr));
        }
        else
        {
            bDone = graph.RunToCompletion(60000 + static_cast<DWORD>(nSamples) * 100);
            for (const dsfix::PushRecord& r : pSource->Pushes())
                if (S_OK == r.receiveHr)
                    ++nPassed;
        }
        graph.Release();
    }

    // The filter's figures, asked through its own interface.
    ULONG nCurrent = 0;
    ULONG nAverage = 0;
    bool bBitrate = false;
    {
        dsfix::ComPtr<INRVSpyFilter> spItf;
        hr = spSpy->QueryInterface(IID_INRVSpyFilter, reinterpret_cast<void**>(&spItf));
        if (SUCCEEDED(hr))
            hr = spItf->GetBitrate(&nCurrent, &nAverage);
        bBitrate = SUCCEEDED(hr);
        if (bBitrate)
            printf("== bitrate through INRVSpyFilter: %lu bit/s at the last sample, %lu bit/s on average\n",
                   static_cast<unsigned long>(nCurrent), static_cast<unsigned long>(nAverage));
        else
            printf("regspyhost: INRVSpyFilter::GetBitrate failed, hr=0x%08lX\n", static_cast<unsigned long>(hr));
    }
    if (pSource)
        pSource->Release();
    spSpy.Reset();
    // Releasing the last object lets the module go; its log client then
    // has written everything.
    CoFreeUnusedLibrariesEx(0, 0);
    printf("== stream %s through the registered spy filter: %ld of %ld samples passed to the renderer\n",
           bDone ? "complete" : "NOT complete", nPassed, nSamples);
    const std::string sText = ReadFrom(sLog, llStart);
    printf("== log file %ls: %u sample lines of the spy from this run, the first two:\n",
           sLog.empty() ? L"(none)" : sLog.c_str(), static_cast<unsigned>(CountOf(sText, "] tS=")));
    size_t nShown = 0;
    for (size_t i = sText.find("] tS="); i != std::string::npos && nShown < 2; i = sText.find("] tS=", i + 1), ++nShown)
    {
        const size_t nBegin = sText.rfind('\n', i);
        const size_t nFrom = (nBegin == std::string::npos) ? 0 : nBegin + 1;
        const size_t nEnd = sText.find_first_of("\r\n", i);
        printf("%s\n", sText.substr(nFrom, (nEnd == std::string::npos ? sText.size() : nEnd) - nFrom).c_str());
    }
    return (bListed && bDone && nPassed == nSamples && bBitrate) ? 0 : 2;
}
