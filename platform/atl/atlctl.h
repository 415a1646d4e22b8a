// Property pages of our ATL stand-in: IPropertyPageImpl, the IPropertyPage
// of a page class T that is also a dialog (CDialogImpl<T>, dialog resource
// T::IDD), and the dialog-size computation it reports through GetPageInfo.
#pragma once

#include "atlcom.h"
#include "atlwin.h"

#include <ocidl.h>
#include <olectl.h>

namespace ATL
{

// A module string as a task-memory copy (NULL for id 0 or a missing string).
inline LPOLESTR _AtlLoadTaskMemString(UINT nID) noexcept
{
    if (nID == 0)
        return NULL;
    WCHAR sz[256];
    const int cch = ::LoadStringW(_AtlGetModuleInstance(), nID, sz, 256);
    if (cch <= 0)
        return NULL;
    LPOLESTR psz = static_cast<LPOLESTR>(::CoTaskMemAlloc((cch + 1) * sizeof(WCHAR)));
    if (psz != NULL)
        ::memcpy(psz, sz, (cch + 1) * sizeof(WCHAR));
    return psz;
}

// Skips a name-or-ordinal field of a dialog template.
inline const WORD* _AtlSkipDlgSzOrOrd(const WORD* p) noexcept
{
    if (*p == 0)
        return p + 1;
    if (*p == 0xFFFF)
        return p + 2;
    while (*p != 0)
        ++p;
    return p + 1;
}

// The size in pixels of a dialog template (classic or extended), measured
// in the dialog units of its own font as the dialog manager measures them;
// *pdwHelpID gets the extended template's help context (0 otherwise).
inline bool AtlGetDialogSize(const void* pTemplate, SIZE* pSize, DWORD* pdwHelpID = NULL) noexcept
{
    if (pTemplate == NULL || pSize == NULL)
        return false;
    const WORD* p = static_cast<const WORD*>(pTemplate);
    const bool bEx = (p[0] == 1 && p[1] == 0xFFFF);
    DWORD dwStyle = 0, dwHelpID = 0;
    short cx = 0, cy = 0;
    if (bEx)
    {
        ::memcpy(&dwHelpID, p + 2, sizeof(DWORD));
        ::memcpy(&dwStyle, p + 6, sizeof(DWORD));
        cx = static_cast<short>(p[11]);
        cy = static_cast<short>(p[12]);
        p += 13;
    }
    else
    {
        ::memcpy(&dwStyle, p, sizeof(DWORD));
        cx = static_cast<short>(p[7]);
        cy = static_cast<short>(p[8]);
        p += 9;
    }
    p = _AtlSkipDlgSzOrOrd(p); // menu
    p = _AtlSkipDlgSzOrOrd(p); // class
    p = _AtlSkipDlgSzOrOrd(p); // title

    int cxBase = 0, cyBase = 0;
    if (dwStyle & DS_SETFONT)
    {
        const WORD wPoints = *p++;
        LOGFONTW lf = {};
        if (bEx)
        {
            lf.lfWeight = *p++;
            lf.lfItalic = static_cast<BYTE>(*p & 0xFF);
            lf.lfCharSet = static_cast<BYTE>(*p >> 8);
            ++p;
        }
        else
            lf.lfCharSet = DEFAULT_CHARSET;
        ::lstrcpynW(lf.lfFaceName, reinterpret_cast<LPCWSTR>(p), LF_FACESIZE);
        const HDC hDC = ::GetDC(NULL);
        if (hDC != NULL)
        {
            lf.lfHeight = -::MulDiv(wPoints, ::GetDeviceCaps(hDC, LOGPIXELSY), 72);
            const HFONT hFont = ::CreateFontIndirectW(&lf);
            if (hFont != NULL)
            {
                const HGDIOBJ hOld = ::SelectObject(hDC, hFont);
                TEXTMETRICW tm = {};
                SIZE size = {};
                static const WCHAR szAlphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
                if (::GetTextMetricsW(hDC, &tm) && ::GetTextExtentPoint32W(hDC, szAlphabet, 52, &size))
                {
                    cxBase = (size.cx / 26 + 1) / 2;
                    cyBase = tm.tmHeight;
                }
                ::SelectObject(hDC, hOld);
                ::DeleteObject(hFont);
            }
            ::ReleaseDC(NULL, hDC);
        }
    }
    if (cxBase == 0 || cyBase == 0)
    {
        const LONG lUnits = ::GetDialogBaseUnits();
        cxBase = LOWORD(lUnits);
        cyBase = HIWORD(lUnits);
    }
    pSize->cx = ::MulDiv(cx, cxBase, 4);
    pSize->cy = ::MulDiv(cy, cyBase, 8);
    if (pdwHelpID != NULL)
        *pdwHelpID = dwHelpID;
    return true;
}

// ---------------------------------------------------------------------------
// IPropertyPageImpl

template <class T>
class ATL_NO_VTABLE IPropertyPageImpl : public IPropertyPage
{
public:
    IPropertyPageImpl() noexcept = default;
    virtual ~IPropertyPageImpl()
    {
        if (m_pPageSite != NULL)
            m_pPageSite->Release();
        ReleaseObjects();
    }
    IPropertyPageImpl(const IPropertyPageImpl&) = delete;
    IPropertyPageImpl& operator=(const IPropertyPageImpl&) = delete;

    // Marks the page changed or unchanged; a change to dirty tells the site.
    void SetDirty(BOOL bDirty) noexcept
    {
        if (m_bDirty == bDirty)
            return;
        m_bDirty = bDirty;
        if (bDirty && m_pPageSite != NULL)
            m_pPageSite->OnStatusChange(PROPPAGESTATUS_DIRTY | PROPPAGESTATUS_VALIDATE);
    }

    // The site may be set once; NULL releases it.
    STDMETHOD(SetPageSite)(IPropertyPageSite* pPageSite) override
    {
        ATLTRACE2(atlTraceControls, 2, L"IPropertyPageImpl::SetPageSite\n");
        if (pPageSite == NULL)
        {
            if (m_pPageSite != NULL)
                m_pPageSite->Release();
            m_pPageSite = NULL;
            return S_OK;
        }
        if (m_pPageSite != NULL)
            return E_UNEXPECTED;
        m_pPageSite = pPageSite;
        m_pPageSite->AddRef();
        return S_OK;
    }

    // Creates the page's dialog inside hWndParent at *pRect.
    STDMETHOD(Activate)(HWND hWndParent, LPCRECT pRect, BOOL /*bModal*/) override
    {
        ATLTRACE2(atlTraceControls, 2, L"IPropertyPageImpl::Activate\n");
        if (pRect == NULL)
            return E_POINTER;
        T* pT = static_cast<T*>(this);
        if (pT->m_hWnd != NULL)
            return E_UNEXPECTED;
        if (pT->Create(hWndParent) == NULL)
            return E_FAIL;
        Move(pRect);
        return S_OK;
    }

    STDMETHOD(Deactivate)() override
    {
        ATLTRACE2(atlTraceControls, 2, L"IPropertyPageImpl::Deactivate\n");
        T* pT = static_cast<T*>(this);
        if (pT->m_hWnd != NULL)
            pT->DestroyWindow();
        return S_OK;
    }

    // Title, doc string and help file from the ids; size from the dialog.
    STDMETHOD(GetPageInfo)(PROPPAGEINFO* pPageInfo) override
    {
        ATLTRACE2(atlTraceControls, 2, L"IPropertyPageImpl::GetPageInfo\n");
        if (pPageInfo == NULL)
            return E_POINTER;
        const HINSTANCE hInst = _AtlGetModuleInstance();
        const HRSRC hRsrc = ::FindResourceW(hInst, MAKEINTRESOURCEW(T::IDD), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
        if (hRsrc == NULL)
            return E_UNEXPECTED;
        const HGLOBAL hGlobal = ::LoadResource(hInst, hRsrc);
        const void* pTemplate = (hGlobal != NULL) ? ::LockResource(hGlobal) : NULL;
        if (pTemplate == NULL)
            return E_UNEXPECTED;
        SIZE size = {};
        DWORD dwHelpID = 0;
        AtlGetDialogSize(pTemplate, &size, &dwHelpID);
        pPageInfo->cb = sizeof(PROPPAGEINFO);
        pPageInfo->size = size;
        pPageInfo->pszTitle = _AtlLoadTaskMemString(m_dwTitleID);
        pPageInfo->pszDocString = _AtlLoadTaskMemString(m_dwDocStringID);
        pPageInfo->pszHelpFile = _AtlLoadTaskMemString(m_dwHelpFileID);
        pPageInfo->dwHelpContext = m_dwHelpContext != 0 ? m_dwHelpContext : dwHelpID;
        return S_OK;
    }

    // Holds its own references on the objects; 0 objects releases them.
    STDMETHOD(SetObjects)(ULONG nObjects, IUnknown** ppUnk) override
    {
        ATLTRACE2(atlTraceControls, 2, L"IPropertyPageImpl::SetObjects\n");
        if (nObjects != 0 && ppUnk == NULL)
            return E_POINTER;
        IUnknown** ppNew = NULL;
        if (nObjects != 0)
        {
            ppNew = new (std::nothrow) IUnknown*[nObjects];
            if (ppNew == NULL)
                return E_OUTOFMEMORY;
            for (ULONG i = 0; i < nObjects; ++i)
            {
                ppNew[i] = ppUnk[i];
                if (ppNew[i] != NULL)
                    ppNew[i]->AddRef();
            }
        }
        ReleaseObjects();
        m_ppUnk = ppNew;
        m_nObjects = nObjects;
        return S_OK;
    }

    STDMETHOD(Show)(UINT nCmdShow) override
    {
        ATLTRACE2(atlTraceControls, 2, L"IPropertyPageImpl::Show\n");
        T* pT = static_cast<T*>(this);
        if (pT->m_hWnd == NULL)
            return E_UNEXPECTED;
        ::ShowWindow(pT->m_hWnd, nCmdShow);
        return S_OK;
    }

    STDMETHOD(Move)(LPCRECT pRect) override
    {
        ATLTRACE2(atlTraceControls, 2, L"IPropertyPageImpl::Move\n");
        if (pRect == NULL)
            return E_POINTER;
        T* pT = static_cast<T*>(this);
        if (pT->m_hWnd == NULL)
            return E_UNEXPECTED;
        ::MoveWindow(pT->m_hWnd, pRect->left, pRect->top, pRect->right - pRect->left, pRect->bottom - pRect->top,
                     TRUE);
        return S_OK;
    }

    STDMETHOD(IsPageDirty)() override
    {
        ATLTRACE2(atlTraceControls, 2, L"IPropertyPageImpl::IsPageDirty\n");
        return m_bDirty ? S_OK : S_FALSE;
    }

    STDMETHOD(Apply)() override
    {
        ATLTRACE2(atlTraceControls, 2, L"IPropertyPageImpl::Apply\n");
        return S_OK;
    }

    STDMETHOD(Help)(LPCOLESTR /*pszHelpDir*/) override { ATLTRACENOTIMPL(L"IPropertyPageImpl::Help"); }

    // Keyboard messages for the page's dialog go through the dialog manager.
    STDMETHOD(TranslateAccelerator)(MSG* pMsg) override
    {
        ATLTRACE2(atlTraceControls, 2, L"IPropertyPageImpl::TranslateAccelerator\n");
        if (pMsg == NULL)
            return E_POINTER;
        T* pT = static_cast<T*>(this);
        if (pT->m_hWnd == NULL || pMsg->message < WM_KEYFIRST || pMsg->message > WM_KEYLAST)
            return S_FALSE;
        if (pMsg->hwnd != pT->m_hWnd && !::IsChild(pT->m_hWnd, pMsg->hwnd))
            return S_FALSE;
        return ::IsDialogMessageW(pT->m_hWnd, pMsg) ? S_OK : S_FALSE;
    }

    IPropertyPageSite* m_pPageSite = NULL;
    IUnknown** m_ppUnk = NULL;
    ULONG m_nObjects = 0;
    BOOL m_bDirty = FALSE;
    UINT m_dwTitleID = 0;
    UINT m_dwHelpFileID = 0;
    UINT m_dwDocStringID = 0;
    DWORD m_dwHelpContext = 0;

private:
    void ReleaseObjects() noexcept
    {
        for (ULONG i = 0; i < m_nObjects; ++i)
            if (m_ppUnk[i] != NULL)
                m_ppUnk[i]->Release();
        delete[] m_ppUnk;
        m_ppUnk = NULL;
        m_nObjects = 0;
    }
};

} // namespace ATL
