// The spy filter's property page (see FilterPP.h).
#include "FilterPP.h"

#include <commctrl.h>
#include <commdlg.h>
#include <errors.h>

#include <math.h>
#include <strsafe.h>

namespace
{
const WCHAR kCaption[] = L"Spy Filter";
} // namespace

// ---------------------------------------------------------------------------
// Error boxes

void FormatErrorMessage(LPWSTR pszMessage, size_t cchMessage, LPCWSTR pszText, HRESULT hr, LPCWSTR pszInsert)
{
    ATLASSERT(pszMessage != NULL && cchMessage > 4);
    pszMessage[0] = 0;
    StringCchCopyW(pszMessage, cchMessage, pszText != NULL ? pszText : L"");
    const size_t n = wcslen(pszMessage);
    if (hr == 0)
        return;

    WCHAR szSystem[1024] = L"";
    DWORD cchSystem = 0;
    if (HRESULT_FACILITY(hr) == FACILITY_ITF)
        cchSystem = AMGetErrorTextW(hr, szSystem, 1024);
    if (cchSystem == 0)
    {
        szSystem[0] = 0;
        cchSystem = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                   static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), szSystem, 1024,
                                   NULL);
    }
    szSystem[1023] = 0;
    if (cchSystem != 0 && szSystem[0] != 0)
    {
        if (n > 0 && n < cchMessage - 1)
            StringCchCatW(pszMessage, cchMessage, L"\n");
        const WCHAR* pInsertAt = (pszInsert != NULL && pszInsert[0] != 0) ? wcsstr(szSystem, L"%1") : NULL;
        if (pInsertAt != NULL)
        {
            // The system text with its first "%1" replaced by the insert.
            const size_t cchBefore = static_cast<size_t>(pInsertAt - szSystem);
            size_t len = wcslen(pszMessage);
            if (len + cchBefore < cchMessage)
            {
                StringCchCopyNW(pszMessage + len, cchMessage - len, szSystem, cchBefore);
                StringCchCatW(pszMessage, cchMessage, pszInsert);
                StringCchCatW(pszMessage, cchMessage, pInsertAt + 2);
            }
        }
        else
            StringCchCatW(pszMessage, cchMessage, szSystem);
    }
    const size_t len = wcslen(pszMessage);
    if (len > 0 && len < cchMessage - 3 && pszMessage[len - 1] != L'\r' && pszMessage[len - 1] != L'\n')
        StringCchCatW(pszMessage, cchMessage, L"\r\n");
    const size_t lenNow = wcslen(pszMessage);
    StringCchPrintfW(pszMessage + lenNow, cchMessage - lenNow, L"Error 0x%X", static_cast<unsigned>(hr));
}

int ShowErrorMessage(HWND hWndOwner, LPCWSTR pszText, LPCWSTR pszCaption, HRESULT hr, UINT uType, LPCWSTR pszInsert)
{
    WCHAR szMessage[1024];
    FormatErrorMessage(szMessage, 1024, pszText, hr, pszInsert);
    if (uType == 0)
        uType = FAILED(hr) ? MB_ICONERROR : (hr != 0 ? MB_ICONWARNING : 0);
    const HWND hOwner = ::IsWindow(hWndOwner) ? hWndOwner : ::GetActiveWindow();
    return ::MessageBoxW(hOwner, szMessage, pszCaption, uType);
}

// ---------------------------------------------------------------------------
// The page object

CSpyFilterPP::CSpyFilterPP() noexcept : m_bInitialized(FALSE)
{
    m_hWnd = NULL;
    m_dwTitleID = IDS_TITLESpyFilterPP;
    m_dwHelpFileID = IDS_HELPFILESpyFilterPP;
    m_dwDocStringID = IDS_DOCSTRINGSpyFilterPP;
}

HRESULT CSpyFilterPP::FinalConstruct()
{
    _LogTrace(atlTraceGeneral, eTL_Error, L"CSpyFilterPP::FinalConstruct()\n");
    return CoCreateFreeThreadedMarshaler(GetControllingUnknown(), &m_spMarshaler);
}

void CSpyFilterPP::FinalRelease()
{
    _LogTrace(atlTraceGeneral, eTL_Error, L"CSpyFilterPP::FinalRelease()\n");
    m_spFilter.Release();
    m_spMarshaler.Release();
}

HWND CSpyFilterPP::Create(HWND hWndParent)
{
    INITCOMMONCONTROLSEX icc = { sizeof(icc), ICC_BAR_CLASSES };
    InitCommonControlsEx(&icc);
    return CDialogImpl<CSpyFilterPP>::Create(hWndParent);
}

STDMETHODIMP CSpyFilterPP::GetPageInfo(PROPPAGEINFO* pPageInfo)
{
    const HRESULT hr = IPropertyPageImpl<CSpyFilterPP>::GetPageInfo(pPageInfo);
    if (SUCCEEDED(hr))
    {
        CoTaskMemFree(pPageInfo->pszDocString);
        pPageInfo->pszDocString = NULL;
        CoTaskMemFree(pPageInfo->pszHelpFile);
        pPageInfo->pszHelpFile = NULL;
    }
    return hr;
}

STDMETHODIMP CSpyFilterPP::Apply()
{
    _LogTrace(atlTraceControls, eTL_Info, L"CSpyFilterPP::Apply()\n");
    return S_OK;
}

// ---------------------------------------------------------------------------
// Messages

LRESULT CSpyFilterPP::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    ATLASSERT(m_nObjects == 1);
    ATLASSERT(m_ppUnk != NULL && m_ppUnk[0] != NULL);
    m_bInitialized = FALSE;
    BOOL bDynReconnect = TRUE;
    LONG bForcePassthru = FALSE;
    BOOL bMTEnumRedir = TRUE;

    if (!m_spFilter && m_nObjects >= 1 && m_ppUnk != NULL && m_ppUnk[0] != NULL)
    {
        const HRESULT hr = m_ppUnk[0]->QueryInterface(IID_INRVSpyFilter, reinterpret_cast<void**>(&m_spFilter));
        if (FAILED(hr) || !m_spFilter)
        {
            _LogTrace(atlTraceGeneral, eTL_Error, L"###Err### CSpyFilterPP::OnInitDialog(): m_ppUnk[0]->QI()=0x%X\n",
                      static_cast<unsigned>(hr));
            m_spFilter.Release();
        }
    }

    if (m_spFilter)
    {
        bDynReconnect = (m_spFilter->IsDynReconnecEnabled() == S_OK);
        const HRESULT hr = m_spFilter->IsPassthruAllocatorForced(&bForcePassthru);
        ATLASSERT(hr == S_OK);
        if (FAILED(hr))
            bForcePassthru = FALSE;
        bMTEnumRedir = (m_spFilter->IsMTEnumRedirEnabled() == S_OK);
    }

    SetDlgItemText(IDC_BITRATE_CURRENT, L"");
    SetDlgItemText(IDC_BITRATE_AVERAGE, L"");
    CheckDlgButton(IDC_DYN_RECONNECT, bDynReconnect ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(IDC_FORCE_PASSTHRU, bForcePassthru ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(IDC_DISABLE_MTENUM, bMTEnumRedir ? BST_UNCHECKED : BST_CHECKED);

    SendDlgItemMessage(IDC_RATE_SLIDER, TBM_SETRANGE, FALSE, MAKELPARAM(0, 100));
    SendDlgItemMessage(IDC_RATE_SLIDER, TBM_SETPAGESIZE, 0, 10);
    for (int tic = 10; tic < 100; tic += 10)
        SendDlgItemMessage(IDC_RATE_SLIDER, TBM_SETTIC, 0, tic);

    double dRate = 1.0;
    if (m_spFilter)
    {
        CComPtr<IMediaSeeking> spMediaSeeking;
        HRESULT hr = GetMediaSeeking(&spMediaSeeking);
        if (SUCCEEDED(hr))
            hr = spMediaSeeking->GetRate(&dRate);
        if (FAILED(hr))
            dRate = 1.0;
    }
    CheckDlgButton(IDC_BACKWARD, dRate < 0.0 ? BST_CHECKED : BST_UNCHECKED);
    SendDlgItemMessage(IDC_RATE_SLIDER, TBM_SETPOS, TRUE, GetPosFromRate(dRate));
    ShowRate(dRate);

    m_bInitialized = TRUE;
    if (m_spFilter)
        SetTimer(TIMER_ID, TIMER_PERIOD);
    return TRUE;
}

void CSpyFilterPP::ShowBitrate(int nID, ULONG nBitrate)
{
    WCHAR sz[64];
    if (nBitrate / 1000 == 0)
        StringCchPrintfW(sz, 64, L"%u bit/s", nBitrate);
    else
        StringCchPrintfW(sz, 64, L"%u.%03u Kbit/s", nBitrate / 1000, nBitrate % 1000);
    SetDlgItemText(nID, sz);
}

LRESULT CSpyFilterPP::OnTimer(UINT, WPARAM, LPARAM, BOOL&)
{
    if (!m_spFilter)
    {
        KillTimer(TIMER_ID);
        return 0;
    }
    ULONG nCurrent = 0, nAverage = 0;
    HRESULT hr = m_spFilter->GetBitrate(&nCurrent, &nAverage);
    ATLASSERT(hr == S_OK);
    ShowBitrate(IDC_BITRATE_CURRENT, nCurrent);
    ShowBitrate(IDC_BITRATE_AVERAGE, nAverage);

    WCHAR sz[128];
    CComPtr<IMediaSeeking> spMediaSeeking;
    LONGLONG llCurrent = 0, llStop = 0;
    hr = GetMediaSeeking(&spMediaSeeking);
    if (SUCCEEDED(hr))
        hr = spMediaSeeking->GetPositions(&llCurrent, &llStop);
    if (SUCCEEDED(hr))
    {
        // 100-ns units rounded to whole milliseconds.
        const ULONGLONG ullCurrent = static_cast<ULONGLONG>(llCurrent + 5000) / 10000;
        const ULONGLONG ullStop = static_cast<ULONGLONG>(llStop + 5000) / 10000;
        StringCchPrintfW(sz, 128, L"Position %u.%03u from %u.%03u", static_cast<unsigned>(ullCurrent / 1000),
                         static_cast<unsigned>(ullCurrent % 1000), static_cast<unsigned>(ullStop / 1000),
                         static_cast<unsigned>(ullStop % 1000));
    }
    else
        StringCchPrintfW(sz, 128, L"Error 0x%X", static_cast<unsigned>(hr));
    SetDlgItemText(IDC_POSITION, sz);
    return 0;
}

LRESULT CSpyFilterPP::OnHScroll(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    if (m_bInitialized && m_spFilter && reinterpret_cast<HWND>(lParam) == GetDlgItem(IDC_RATE_SLIDER))
        ApplyRate();
    return 0;
}

LRESULT CSpyFilterPP::OnDestroy(UINT, WPARAM, LPARAM, BOOL& bHandled)
{
    KillTimer(TIMER_ID);
    m_bInitialized = FALSE;
    bHandled = FALSE;
    return 0;
}

LRESULT CSpyFilterPP::OnDynReconnect(WORD, WORD, HWND, BOOL&)
{
    if (m_bInitialized && m_spFilter)
        m_spFilter->EnableDynReconnect(IsDlgButtonChecked(IDC_DYN_RECONNECT) == BST_CHECKED);
    return 0;
}

LRESULT CSpyFilterPP::OnForcePassthru(WORD, WORD, HWND, BOOL&)
{
    if (m_bInitialized && m_spFilter)
    {
        const HRESULT hr = m_spFilter->ForcePassthruAllocator(IsDlgButtonChecked(IDC_FORCE_PASSTHRU) == BST_CHECKED);
        if (FAILED(hr))
            ShowError(L"Can't force pass-through allocator", hr);
    }
    return 0;
}

LRESULT CSpyFilterPP::OnDisableMTEnum(WORD, WORD, HWND, BOOL&)
{
    if (m_bInitialized && m_spFilter)
        m_spFilter->EnableMTEnumRedir(IsDlgButtonChecked(IDC_DISABLE_MTENUM) == BST_UNCHECKED);
    return 0;
}

LRESULT CSpyFilterPP::OnBackward(WORD, WORD, HWND, BOOL&)
{
    if (m_bInitialized && m_spFilter)
        ApplyRate();
    return 0;
}

LRESULT CSpyFilterPP::OnCaptureFrame(WORD, WORD, HWND, BOOL&)
{
    if (!m_bInitialized || !m_spFilter)
        return 0;
    WCHAR szFile[MAX_PATH] = L"";
    if (!SelectFile(szFile))
        return 0;
    const size_t len = wcslen(szFile);
    const tagCaptureFileType eCFT = (len > 3 && lstrcmpiW(szFile + len - 4, L".bmp") == 0) ? eCFT_Bmp : eCFT_Bin;
    CComBSTR bstrFile(szFile);
    const HRESULT hr = m_spFilter->CaptureFrame(bstrFile, eCFT);
    if (FAILED(hr))
        ShowError(L"Can't capture frame", hr);
    return 0;
}

// ---------------------------------------------------------------------------
// Helpers

HRESULT CSpyFilterPP::GetMediaSeeking(IMediaSeeking** ppMediaSeeking)
{
    ATLASSERT(ppMediaSeeking != NULL);
    if (ppMediaSeeking == NULL)
        return E_POINTER;
    *ppMediaSeeking = NULL;
    if (!m_spFilter)
        return E_FAIL;
    CComQIPtr<IBaseFilter> spFilter(m_spFilter);
    ATLASSERT(spFilter != NULL);
    if (!spFilter)
        return E_NOINTERFACE;
    FILTER_INFO fi = {};
    HRESULT hr = spFilter->QueryFilterInfo(&fi);
    ATLASSERT(hr == S_OK && fi.pGraph != NULL);
    if (FAILED(hr))
        return hr;
    if (fi.pGraph == NULL)
        return E_FAIL;
    IMediaSeeking* pMediaSeeking = NULL;
    hr = fi.pGraph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&pMediaSeeking));
    fi.pGraph->Release();
    ATLASSERT(pMediaSeeking != NULL);
    if (FAILED(hr))
        return hr;
    // Success without an interface counts as a graph without seeking.
    if (pMediaSeeking == NULL)
        return E_NOINTERFACE;
    *ppMediaSeeking = pMediaSeeking;
    return S_OK;
}

double CSpyFilterPP::GetRateFromPos(int pos)
{
    if (pos < 0)
        pos = 0;
    if (pos > 100)
        pos = 100;
    return pow(10.0, (pos - 50) / 50.0);
}

int CSpyFilterPP::GetPosFromRate(double dRate)
{
    const double r = fabs(dRate);
    if (r < 0.00001)
    {
        ATLASSERT(dRate >= 0.00001);
        return 0;
    }
    int pos = static_cast<int>(50.0 * log10(r) + 50.0);
    if (pos < 0)
        pos = 0;
    if (pos > 100)
        pos = 100;
    return pos;
}

void CSpyFilterPP::ApplyRate()
{
    const int pos = static_cast<int>(SendDlgItemMessage(IDC_RATE_SLIDER, TBM_GETPOS));
    double dRate = GetRateFromPos(pos);
    if (IsDlgButtonChecked(IDC_BACKWARD) == BST_CHECKED)
        dRate = -dRate;
    CComPtr<IMediaSeeking> spMediaSeeking;
    HRESULT hr = GetMediaSeeking(&spMediaSeeking);
    if (SUCCEEDED(hr))
        hr = spMediaSeeking->SetRate(dRate);
    if (FAILED(hr))
    {
        ShowError(L"Can't change playback rate", hr);
        if (!spMediaSeeking || FAILED(spMediaSeeking->GetRate(&dRate)))
            dRate = 1.0;
        CheckDlgButton(IDC_BACKWARD, dRate < 0.0 ? BST_CHECKED : BST_UNCHECKED);
        SendDlgItemMessage(IDC_RATE_SLIDER, TBM_SETPOS, TRUE, GetPosFromRate(dRate));
    }
    ShowRate(dRate);
}

void CSpyFilterPP::ShowRate(double dRate)
{
    const ULONGLONG a = static_cast<ULONGLONG>(fabs(dRate) * 1000.0 + 0.5);
    WCHAR sz[64];
    StringCchPrintfW(sz, 64, dRate >= 0.0 ? L"%u.%03u" : L"-%u.%03u", static_cast<unsigned>(a / 1000),
                     static_cast<unsigned>(a % 1000));
    SetDlgItemText(IDC_RATE_TEXT, sz);
}

BOOL CSpyFilterPP::SelectFile(WCHAR* pszFile)
{
    ATLASSERT(pszFile != NULL);
    if (pszFile == NULL)
        return FALSE;
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400W;
    ofn.hwndOwner = m_hWnd;
    ofn.lpstrFilter = L"Binary files (.bin)\0*.bin\0Bitmap files (.bmp)\0*.bmp\0All files\0*.*\0";
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = pszFile;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrTitle = L"Select file";
    ofn.lpstrDefExt = L"bin";
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOREADONLYRETURN | OFN_EXPLORER;
    return GetSaveFileNameW(&ofn);
}

void CSpyFilterPP::ShowError(LPCWSTR pszText, HRESULT hr)
{
    ShowErrorMessage(m_hWnd, pszText, kCaption, hr, 0, NULL);
}
