// A hyperlink control: a static control, subclassed, that draws its own text
// underlined in the link colour, shows the hand cursor over it, and opens
// the text with the shell when clicked (or on Enter or space while it has
// the focus). An opened link takes the "visited" colour. The colours follow
// the browser's per-user link colours when those are set.
#pragma once

#include <atlwin.h>
#include <shellapi.h>

#include <stdlib.h>
#include <string.h>

template <class T, class TBase = CWindow, class TWinTraits = CControlWinTraits>
class ATL_NO_VTABLE CUrlImpl : public CWindowImpl<T, TBase, TWinTraits>
{
public:
    // Attaches the control to an existing window (a static control) and
    // makes it ready.
    BOOL SubclassWindow(HWND hWnd)
    {
        ATLASSERT(this->m_hWnd == NULL);
        ATLASSERT(::IsWindow(hWnd));
        const BOOL bRet = CWindowImpl<T, TBase, TWinTraits>::SubclassWindow(hWnd);
        if (bRet)
            static_cast<T*>(this)->Init();
        return bRet;
    }
};

class CUrlWindow
    : public CUrlImpl<CUrlWindow, CWindow,
                      CWinTraits<WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0>>
{
public:
    // The browser's per-user link colours.
    static constexpr LPCWSTR kSettingsKey = L"Software\\Microsoft\\Internet Explorer\\Settings";

    CUrlWindow() noexcept = default;
    ~CUrlWindow() override
    {
        if (::IsWindow(m_hWnd))
            ::DestroyWindow(m_hWnd);
        if (m_hLinkFont != NULL)
            ::DeleteObject(m_hLinkFont);
        delete[] m_lpstrLabel;
    }
    CUrlWindow(const CUrlWindow&) = delete;
    CUrlWindow& operator=(const CUrlWindow&) = delete;

    BEGIN_MSG_MAP(CUrlWindow)
        MESSAGE_HANDLER(WM_CREATE, OnCreate)
        MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
        MESSAGE_HANDLER(WM_PAINT, OnPaint)
        MESSAGE_HANDLER(WM_PRINTCLIENT, OnPaint)
        MESSAGE_HANDLER(WM_SETFOCUS, OnFocus)
        MESSAGE_HANDLER(WM_KILLFOCUS, OnFocus)
        MESSAGE_HANDLER(WM_MOUSEMOVE, OnMouseMove)
        MESSAGE_HANDLER(WM_LBUTTONDOWN, OnLButtonDown)
        MESSAGE_HANDLER(WM_LBUTTONUP, OnLButtonUp)
        MESSAGE_HANDLER(WM_CHAR, OnChar)
        MESSAGE_HANDLER(WM_GETDLGCODE, OnGetDlgCode)
        MESSAGE_HANDLER(WM_SETCURSOR, OnSetCursor)
    END_MSG_MAP()

    // The label, which is also the target opened; false when it cannot be
    // stored (the control then has no label).
    bool SetLabel(LPCWSTR lpstrLabel)
    {
        delete[] m_lpstrLabel;
        m_lpstrLabel = NULL;
        const size_t cch = (lpstrLabel != NULL) ? wcslen(lpstrLabel) : 0;
        m_lpstrLabel = new (std::nothrow) WCHAR[cch + 1];
        if (m_lpstrLabel == NULL)
            return false;
        if (cch != 0)
            ::memcpy(m_lpstrLabel, lpstrLabel, cch * sizeof(WCHAR));
        m_lpstrLabel[cch] = 0;
        CalcLabelRect();
        return true;
    }

    // Opens the label with the shell; TRUE when it opened.
    BOOL Navigate()
    {
        ATLASSERT(::IsWindow(m_hWnd));
        ATLASSERT(m_lpstrLabel != NULL);
        if (m_lpstrLabel == NULL)
            return FALSE;
        const DWORD_PTR dwRet = reinterpret_cast<DWORD_PTR>(
            ::ShellExecuteW(NULL, L"open", m_lpstrLabel, NULL, NULL, SW_SHOWNORMAL));
        ATLASSERT(dwRet > 32);
        if (dwRet <= 32)
            return FALSE;
        m_bOpened = TRUE;
        Invalidate(TRUE);
        return TRUE;
    }

    void Init()
    {
        ATLASSERT(::IsWindow(m_hWnd));
        WCHAR szClass[8] = L"";
        ::GetClassNameW(m_hWnd, szClass, 8);
        if (lstrcmpiW(szClass, L"static") == 0)
        {
            ModifyStyle(0, SS_NOTIFY);
            const DWORD dwType = GetStyle() & 0xFF;
            if ((dwType >= SS_ICON && dwType <= SS_WHITEFRAME) || dwType == SS_OWNERDRAW || dwType == SS_BITMAP ||
                dwType == SS_ENHMETAFILE)
                m_bDrawsLabel = FALSE;
        }
        m_hCursor = ::LoadCursorW(NULL, IDC_HAND);
        ATLASSERT(m_hCursor != NULL);
        if (m_bDrawsLabel)
        {
            const HFONT hFont = reinterpret_cast<HFONT>(::SendMessageW(GetParent(), WM_GETFONT, 0, 0));
            if (hFont != NULL && m_hLinkFont == NULL)
            {
                LOGFONTW lf = {};
                ::GetObjectW(hFont, sizeof(lf), &lf);
                lf.lfUnderline = TRUE;
                m_hLinkFont = ::CreateFontIndirectW(&lf);
            }
        }
        if (m_lpstrLabel == NULL)
        {
            const int cch = GetWindowTextLength();
            if (cch > 0)
            {
                WCHAR* psz = new (std::nothrow) WCHAR[cch + 1];
                if (psz != NULL)
                {
                    GetWindowText(psz, cch + 1);
                    SetLabel(psz);
                    delete[] psz;
                }
            }
        }
        CalcLabelRect();
        if (m_bDrawsLabel)
        {
            HKEY hKey = NULL;
            if (::RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ | KEY_WRITE, &hKey) == ERROR_SUCCESS)
            {
                ReadColor(hKey, L"Anchor Color", &m_clrNormal);
                ReadColor(hKey, L"Anchor Color Visited", &m_clrOpened);
                ::RegCloseKey(hKey);
            }
        }
    }

    // The label's rectangle: the text's own (drawn label) or the whole
    // client area.
    BOOL CalcLabelRect()
    {
        if (!::IsWindow(m_hWnd) || m_lpstrLabel == NULL)
            return FALSE;
        GetClientRect(&m_rcLabel);
        if (!m_bDrawsLabel)
            return TRUE;
        RECT rcClient = m_rcLabel;
        const HDC hDC = GetDC();
        if (hDC == NULL)
            return FALSE;
        const HGDIOBJ hOld = (m_hLinkFont != NULL) ? ::SelectObject(hDC, m_hLinkFont) : NULL;
        ::DrawTextW(hDC, m_lpstrLabel, -1, &m_rcLabel, DT_CALCRECT | DT_WORDBREAK | Alignment());
        if (hOld != NULL)
            ::SelectObject(hDC, hOld);
        ReleaseDC(hDC);
        const DWORD dwStyle = GetStyle();
        const LONG lSpace = rcClient.right - m_rcLabel.right;
        LONG lShift = 0;
        if (dwStyle & SS_CENTER)
            lShift = lSpace / 2;
        else if (dwStyle & SS_RIGHT)
            lShift = lSpace;
        ::OffsetRect(&m_rcLabel, lShift, 0);
        return TRUE;
    }

    void DrawLabel(HDC hDC)
    {
        ::SetBkMode(hDC, TRANSPARENT);
        ::SetTextColor(hDC, m_bOpened ? m_clrOpened : m_clrNormal);
        const HGDIOBJ hOld = (m_hLinkFont != NULL) ? ::SelectObject(hDC, m_hLinkFont) : NULL;
        if (m_lpstrLabel != NULL)
            ::DrawTextW(hDC, m_lpstrLabel, -1, &m_rcLabel, DT_WORDBREAK | Alignment());
        if (hOld != NULL)
            ::SelectObject(hDC, hOld);
        if (::GetFocus() == m_hWnd)
            ::DrawFocusRect(hDC, &m_rcLabel);
    }

    // "r,g,b" to a colour; CLR_INVALID without two commas or a third part.
    // The text is changed in place.
    static COLORREF ParseColor(WCHAR* s)
    {
        int c[3] = { -1, -1, -1 };
        WCHAR* p = s;
        for (int i = 0; i < 2; ++i)
        {
            WCHAR* pStart = p;
            while (*p != 0 && *p != L',')
                p = ::CharNextW(p);
            if (*p == L',')
            {
                *p = 0;
                c[i] = _wtoi(pStart);
                ++p;
            }
            if (c[i] == -1)
                return CLR_INVALID;
        }
        if (*p == 0)
            return CLR_INVALID;
        c[2] = _wtoi(p);
        return RGB(c[0] & 0xFF, c[1] & 0xFF, c[2] & 0xFF);
    }

    WCHAR* m_lpstrLabel = NULL;
    HCURSOR m_hCursor = NULL;
    HFONT m_hLinkFont = NULL;
    RECT m_rcLabel = {};
    BYTE m_bDrawsLabel = TRUE;
    BYTE m_bOpened = FALSE;
    COLORREF m_clrNormal = RGB(0, 0, 255);
    COLORREF m_clrOpened = RGB(128, 0, 128);

private:
    UINT Alignment() const
    {
        const DWORD dwStyle = GetStyle();
        if (dwStyle & SS_CENTER)
            return DT_CENTER;
        if (dwStyle & SS_RIGHT)
            return DT_RIGHT;
        return DT_LEFT;
    }

    void ReadColor(HKEY hKey, LPCWSTR pszValue, COLORREF* pclr)
    {
        // Twelve characters (24 bytes) hold the longest text, "255,255,255",
        // with its terminating NUL.
        WCHAR sz[12] = L"";
        DWORD dwType = 0, cb = sizeof(sz);
        if (::RegQueryValueExW(hKey, pszValue, NULL, &dwType, reinterpret_cast<BYTE*>(sz), &cb) != ERROR_SUCCESS ||
            dwType != REG_SZ)
            return;
        sz[11] = 0;
        const COLORREF clr = ParseColor(sz);
        ATLASSERT(clr != CLR_INVALID);
        if (clr != CLR_INVALID)
            *pclr = clr;
    }

    bool InLabel(LPARAM lParam) const
    {
        const POINT pt = { GET_X_LPARAM_(lParam), GET_Y_LPARAM_(lParam) };
        return ::PtInRect(&m_rcLabel, pt) != FALSE;
    }
    static int GET_X_LPARAM_(LPARAM l) { return static_cast<short>(LOWORD(l)); }
    static int GET_Y_LPARAM_(LPARAM l) { return static_cast<short>(HIWORD(l)); }

    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&)
    {
        Init();
        return 0;
    }
    LRESULT OnEraseBackground(UINT, WPARAM wParam, LPARAM, BOOL& bHandled)
    {
        if (!m_bDrawsLabel)
        {
            bHandled = FALSE;
            return 0;
        }
        const HDC hDC = reinterpret_cast<HDC>(wParam);
        const HBRUSH hBrush = reinterpret_cast<HBRUSH>(
            ::SendMessageW(GetParent(), WM_CTLCOLORSTATIC, wParam, reinterpret_cast<LPARAM>(m_hWnd)));
        if (hBrush != NULL)
        {
            RECT rc;
            GetClientRect(&rc);
            ::FillRect(hDC, &rc, hBrush);
        }
        return 1;
    }
    LRESULT OnPaint(UINT, WPARAM wParam, LPARAM, BOOL& bHandled)
    {
        if (!m_bDrawsLabel)
        {
            bHandled = FALSE;
            return 0;
        }
        if (wParam != 0)
            DrawLabel(reinterpret_cast<HDC>(wParam));
        else
        {
            PAINTSTRUCT ps;
            const HDC hDC = ::BeginPaint(m_hWnd, &ps);
            if (hDC != NULL)
                DrawLabel(hDC);
            ::EndPaint(m_hWnd, &ps);
        }
        return 0;
    }
    LRESULT OnFocus(UINT, WPARAM, LPARAM, BOOL& bHandled)
    {
        if (!m_bDrawsLabel)
        {
            bHandled = FALSE;
            return 0;
        }
        Invalidate(TRUE);
        return 0;
    }
    LRESULT OnMouseMove(UINT, WPARAM, LPARAM lParam, BOOL& bHandled)
    {
        if (m_lpstrLabel != NULL && InLabel(lParam))
        {
            ::SetCursor(m_hCursor);
            return 0;
        }
        bHandled = FALSE;
        return 0;
    }
    LRESULT OnLButtonDown(UINT, WPARAM, LPARAM lParam, BOOL&)
    {
        if (InLabel(lParam))
        {
            SetFocus();
            SetCapture();
        }
        return 0;
    }
    LRESULT OnLButtonUp(UINT, WPARAM, LPARAM lParam, BOOL&)
    {
        if (::GetCapture() == m_hWnd)
        {
            ::ReleaseCapture();
            // A control without a label never navigates.
            if (InLabel(lParam) && m_lpstrLabel != NULL)
                Navigate();
        }
        return 0;
    }
    LRESULT OnChar(UINT, WPARAM wParam, LPARAM, BOOL&)
    {
        if ((wParam == 13 || wParam == 32) && m_lpstrLabel != NULL)
            Navigate();
        return 0;
    }
    LRESULT OnGetDlgCode(UINT, WPARAM, LPARAM, BOOL&) { return DLGC_WANTCHARS; }
    LRESULT OnSetCursor(UINT, WPARAM, LPARAM, BOOL& bHandled)
    {
        POINT pt = {};
        ::GetCursorPos(&pt);
        ScreenToClient(&pt);
        if (m_lpstrLabel != NULL && ::PtInRect(&m_rcLabel, pt))
            return TRUE;
        bHandled = FALSE;
        return 0;
    }
};
