// The About page of a product: a property page (IPropertyPage) over the
// class's dialog T::IDD that shows the product name in a bold font, a
// version line from the module's version block and build date, the maker's
// texts with two links (controls 303 and 304) and a copyright warning notice
// (control 305). The page class T derives from CDialogImpl<T> and from this
// template, and calls InitAbout from its WM_INITDIALOG handler.
#pragma once

#include <atlctl.h>
#include <Functions.h>

#include "UrlWin.h"

#include <strsafe.h>

// Controls of an About dialog.
#define IDC_ABOUT_NAME 301
#define IDC_ABOUT_VERSION 302
#define IDC_ABOUT_MAKER_URL 303
#define IDC_ABOUT_SUPPORT_URL 304
#define IDC_ABOUT_NOTICE 305

// The copyright warning notice under the maker's texts.
constexpr WCHAR kAboutCopyrightNotice[] =
    L"Warning: this computer program is protected by copyright law and international treaties. Unauthorized "
    L"reproduction or distribution of this program, or any portion of it, may result in severe civil and criminal "
    L"penalties, and will be prosecuted to the maximum extent possible under the law.";

// The version line: "1.2.0.0 (19-Mar-2015 16:35:59) [Debug] 64 bit" from the
// product version and the compiler's date ("Mmm dd yyyy", a blank for a
// leading zero of the day) and time texts.
inline void FormatAboutVersion(LPWSTR psz, size_t cch, const VS_FIXEDFILEINFO& fi, LPCWSTR pszDate, LPCWSTR pszTime)
{
    const int v1 = HIWORD(fi.dwProductVersionMS), v2 = LOWORD(fi.dwProductVersionMS);
    const int v3 = HIWORD(fi.dwProductVersionLS), v4 = LOWORD(fi.dwProductVersionLS);
    WCHAR d[12] = L"           ";
    // A short date text is read as blanks rather than past its end.
    for (size_t i = 0; i < 11 && pszDate[i] != 0; ++i)
        d[i] = pszDate[i];
    if (d[4] == L' ')
        StringCchPrintfW(psz, cch, L"%i.%i.%i.%i (%c-%c%c%c-%c%c%c%c %s)", v1, v2, v3, v4, d[5], d[0], d[1], d[2],
                         d[7], d[8], d[9], d[10], pszTime);
    else
        StringCchPrintfW(psz, cch, L"%i.%i.%i.%i (%c%c-%c%c%c-%c%c%c%c %s)", v1, v2, v3, v4, d[4], d[5], d[0], d[1],
                         d[2], d[7], d[8], d[9], d[10], pszTime);
    StringCchCatW(psz, cch, L" [Debug]");
    StringCchCatW(psz, cch, L" 64 bit");
}

template <class T>
class ATL_NO_VTABLE CAboutPropertyPage : public IPropertyPageImpl<T>
{
public:
    CAboutPropertyPage()
    {
        LOGFONTW lf = {};
        lf.lfHeight = -17;
        lf.lfWeight = FW_BOLD;
        lf.lfCharSet = DEFAULT_CHARSET;
        StringCchCopyW(lf.lfFaceName, LF_FACESIZE, L"Tahoma");
        m_hNameFont = ::CreateFontIndirectW(&lf);
        ATLASSERT(m_hNameFont != NULL);
    }
    ~CAboutPropertyPage() override
    {
        if (m_hNameFont != NULL)
            ::DeleteObject(m_hNameFont);
    }

    void InitAbout(LPCWSTR pszDate, LPCWSTR pszTime)
    {
        ATLASSERT(pszDate != NULL);
        ATLASSERT(pszTime != NULL);
        T* pT = static_cast<T*>(this);
        pT->SendDlgItemMessage(IDC_ABOUT_NAME, WM_SETFONT, reinterpret_cast<WPARAM>(m_hNameFont), TRUE);
        pT->SetDlgItemText(IDC_ABOUT_NOTICE, kAboutCopyrightNotice);
        VS_FIXEDFILEINFO fi = {};
        GetFileVersion(&fi, _AtlGetModuleInstance());
        WCHAR sz[128];
        FormatAboutVersion(sz, 128, fi, pszDate != NULL ? pszDate : L"", pszTime != NULL ? pszTime : L"");
        pT->SetDlgItemText(IDC_ABOUT_VERSION, sz);
        m_urlMaker.SubclassWindow(pT->GetDlgItem(IDC_ABOUT_MAKER_URL));
        m_urlSupport.SubclassWindow(pT->GetDlgItem(IDC_ABOUT_SUPPORT_URL));
    }

    STDMETHOD(GetPageInfo)(PROPPAGEINFO* pPageInfo) override
    {
        ATLTRACE2(atlTraceControls, 2, L"CAboutPropertyPage::GetPageInfo()\n");
        if (pPageInfo == NULL)
        {
            ATLTRACE2(atlTraceControls, 2, L"###Err### CAboutPropertyPage::GetPageInfo(): PROPPAGEINFO passed == NULL\n");
            return E_POINTER;
        }
        const HINSTANCE hInst = _AtlGetModuleInstance();
        const HRSRC hRsrc = ::FindResourceW(hInst, MAKEINTRESOURCEW(T::IDD), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
        if (hRsrc == NULL)
        {
            ATLTRACE2(atlTraceControls, 2, L"###Err### CAboutPropertyPage::GetPageInfo(): Could not find resource template\n");
            return E_UNEXPECTED;
        }
        const HGLOBAL hGlobal = ::LoadResource(hInst, hRsrc);
        const void* pTemplate = (hGlobal != NULL) ? ::LockResource(hGlobal) : NULL;
        if (pTemplate == NULL)
        {
            ATLTRACE2(atlTraceControls, 2, L"###Err### CAboutPropertyPage::GetPageInfo(): Could not load resource template\n");
            return E_UNEXPECTED;
        }
        DWORD dwHelpID = 0;
        SIZE size = {};
        AtlGetDialogSize(pTemplate, &size, &dwHelpID);
        pPageInfo->cb = sizeof(PROPPAGEINFO);
        pPageInfo->size = size;
        pPageInfo->pszTitle = _AtlLoadTaskMemString(this->m_dwTitleID);
        pPageInfo->pszDocString = NULL;
        pPageInfo->pszHelpFile = NULL;
        pPageInfo->dwHelpContext = dwHelpID;
        return S_OK;
    }

    HFONT m_hNameFont = NULL;
    CUrlWindow m_urlMaker;
    CUrlWindow m_urlSupport;
};
