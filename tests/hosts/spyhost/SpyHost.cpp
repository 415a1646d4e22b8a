// Runs one stream through the spy filter as an application would: the test
// source (timed YUY2 pictures), the spy, Wine's Null Renderer, in Wine's
// filter graph manager, to the end of the stream. The spy traces through the
// log library that this program's log client bound at load. Then the host
// shows the log file, the lines of the first samples read back from it, how
// many samples passed and at what bitrate.
//
//   spyhost.exe [samples]
#include "SpyFilter.h"

#include "dsfix/Graph.h"
#include "dsfix/TestSource.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

const LONG kWidth = 320;
const LONG kHeight = 240;
const REFERENCE_TIME kFrame = 100000; // 10 ms: 100 pictures a second
const size_t kSamplesShown = 5;

bool ReadText(HKEY hRoot, const std::wstring& sKey, LPCWSTR pszName, std::wstring* pText)
{
    HKEY h = NULL;
    if (ERROR_SUCCESS != RegOpenKeyExW(hRoot, sKey.c_str(), 0, KEY_READ, &h))
        return false;
    WCHAR sz[MAX_PATH + 1] = L"";
    DWORD cb = sizeof(WCHAR) * MAX_PATH;
    const LONG l = RegQueryValueExW(h, pszName, NULL, NULL, reinterpret_cast<BYTE*>(sz), &cb);
    RegCloseKey(h);
    if (ERROR_SUCCESS != l)
        return false;
    sz[cb / sizeof(WCHAR)] = 0;
    *pText = sz;
    return true;
}

// The log file that the bound log library writes: its settings key is named
// after the binding.
std::wstring LogFilePath()
{
    std::wstring sBinding;
    std::wstring sLog;
    if (!ReadText(HKEY_CURRENT_USER, L"Software\\_VoxaDEZ64", NULL, &sBinding) ||
        !ReadText(HKEY_CURRENT_USER, L"Software\\_VoxaDEZ64\\" + sBinding, L"Log", &sLog))
        return std::wstring();
    WCHAR sz[1024];
    ExpandEnvironmentStringsW(sLog.c_str(), sz, 1024);
    return sz;
}

LONGLONG FileSize(const std::wstring& sPath)
{
    WIN32_FILE_ATTRIBUTE_DATA fad;
    if (sPath.empty() || !GetFileAttributesExW(sPath.c_str(), GetFileExInfoStandard, &fad))
        return 0;
    return (static_cast<LONGLONG>(fad.nFileSizeHigh) << 32) | fad.nFileSizeLow;
}

// The lines written to the file from byte llFrom on.
std::vector<std::string> ReadLinesFrom(const std::wstring& sPath, LONGLONG llFrom)
{
    std::vector<std::string> lines;
    const HANDLE h = CreateFileW(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 NULL, OPEN_EXISTING, 0, NULL);
    if (INVALID_HANDLE_VALUE == h)
        return lines;
    LARGE_INTEGER li;
    li.QuadPart = llFrom;
    SetFilePointerEx(h, li, NULL, FILE_BEGIN);
    std::string sText;
    char buf[65536];
    DWORD cbRead = 0;
    while (ReadFile(h, buf, sizeof(buf), &cbRead, NULL) && cbRead > 0)
        sText.append(buf, cbRead);
    CloseHandle(h);
    size_t nPos = 0;
    while (nPos < sText.size())
    {
        size_t nEnd = sText.find('\n', nPos);
        if (std::string::npos == nEnd)
            nEnd = sText.size();
        std::string sLine = sText.substr(nPos, nEnd - nPos);
        if (!sLine.empty() && '\r' == sLine.back())
            sLine.pop_back();
        lines.push_back(sLine);
        nPos = nEnd + 1;
    }
    return lines;
}

} // namespace

int main(int argc, char** argv)
{
    long nSamples = (argc > 1) ? atol(argv[1]) : 250;
    if (nSamples < 1)
        nSamples = 1;
    dsfix::ComInit com;

    const std::wstring sLog = LogFilePath();
    const LONGLONG llStart = FileSize(sLog);
    if (NULL == g_pFirstLogClient || NULL == g_pFirstLogClient->m_plog)
        printf("spyhost: no log library is bound (HKCU\\Software\\_VoxaDEZ64): the spy's lines go nowhere\n");

    // The filter, made through its class.
    CComObject<CSpyFilter>* pSpy = NULL;
    HRESULT hr = CComObject<CSpyFilter>::CreateInstance(&pSpy);
    if (FAILED(hr))
    {
        printf("spyhost: the spy filter cannot be created, hr=0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    pSpy->AddRef();

    dsfix::TestSourceConfig config;
    config.mediaTypes = { dsfix::VideoType(MEDIASUBTYPE_YUY2, kWidth, kHeight, kFrame) };
    config.sampleCount = nSamples;
    config.frameDuration = kFrame;
    dsfix::TestSource* pSource = NULL;
    bool bDone = false;
    long nPushed = 0;
    long nPassed = 0;
    ULONGLONG ullCounted = 0;
    {
        dsfix::TestGraph graph;
        dsfix::ComPtr<IBaseFilter> spRenderer;
        if (FAILED(hr = graph.Create()) || FAILED(hr = dsfix::TestSource::Create(config, &pSource)) ||
            FAILED(hr = graph.Add(pSource, L"Test Source")) ||
            FAILED(hr = graph.Add(static_cast<IBaseFilter*>(pSpy), L"Spy Filter")) ||
            FAILED(hr = graph.AddNew(dsfix::CLSID_WineNullRenderer, L"Null Renderer", &spRenderer)) ||
            FAILED(hr = graph.ConnectDirect(pSource->Pin(), static_cast<IPin*>(pSpy->m_apIn.p), NULL)) ||
            FAILED(hr = graph.ConnectDirect(static_cast<IPin*>(pSpy->m_apOut.p),
                                            dsfix::FindPin(spRenderer, PINDIR_INPUT), NULL)))
        {
            printf("spyhost: the graph cannot be built, hr=0x%08lX\n", static_cast<unsigned long>(hr));
        }
        else
        {
            printf("spyhost: test source (YUY2 %ldx%ld, %ld samples of %lld ms) -> %ls -> Null Renderer\n", kWidth,
                   kHeight, nSamples, static_cast<long long>(kFrame / 10000), pSpy->GetTraceName());
            // The count is read before the Stop, which reports it to the log
            // and starts it again.
            bDone = SUCCEEDED(graph.Run()) &&
                    graph.WaitForEvent(EC_COMPLETE, 60000 + static_cast<DWORD>(nSamples) * 100);
            ullCounted = pSpy->m_llSamples;
            bDone = (S_OK == graph.Stop()) && bDone;
            for (const dsfix::PushRecord& r : pSource->Pushes())
            {
                ++nPushed;
                if (S_OK == r.receiveHr)
                    ++nPassed;
            }
        }
        graph.Release();
    }
    if (pSource)
        pSource->Release();

    if (g_pFirstLogClient && g_pFirstLogClient->m_plog)
        g_pFirstLogClient->m_plog->Flush();

    printf("== log file: %ls\n", sLog.empty() ? L"(none)" : sLog.c_str());
    printf("== the first %u samples as the spy logged them:\n", static_cast<unsigned>(kSamplesShown));
    const std::wstring sName = pSpy->GetTraceName();
    const std::string sDump = std::string(sName.begin(), sName.end()) + " tS=";
    const std::string sLag = std::string(sName.begin(), sName.end()) + " Diff=";
    size_t nShown = 0;
    for (const std::string& s : ReadLinesFrom(sLog, llStart))
    {
        const bool bDump = std::string::npos != s.find(sDump);
        if (bDump && ++nShown > kSamplesShown)
            break;
        if (bDump || std::string::npos != s.find(sLag))
            printf("%s\n", s.c_str());
    }
    if (0 == nShown)
        printf("   (no sample lines found in the log file)\n");

    // The filter's own figures: the count and the bitrate over the stream.
    const DWORD nCurrent = pSpy->m_nBitrate;
    const ULONGLONG ullAverage =
        (pSpy->m_llTotalTime > 0)
            ? static_cast<ULONGLONG>(pSpy->m_llTotalBytes) * 8ULL * 10000000ULL / static_cast<ULONGLONG>(pSpy->m_llTotalTime)
            : 0;
    printf("== stream %s: %ld samples pushed, %ld passed to the renderer, %llu counted by the spy\n",
           bDone ? "complete" : "NOT complete", nPushed, nPassed, static_cast<unsigned long long>(ullCounted));
    printf("== bitrate: %lu bit/s at the last sample, %llu bit/s over %lld bytes in %lld ms\n",
           static_cast<unsigned long>(nCurrent), static_cast<unsigned long long>(ullAverage),
           static_cast<long long>(pSpy->m_llTotalBytes), static_cast<long long>(pSpy->m_llTotalTime / 10000));
    pSpy->Release();
    return (bDone && nPassed == nSamples && 0 != nShown) ? 0 : 2;
}
