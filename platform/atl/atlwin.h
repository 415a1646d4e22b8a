// Windows of our ATL stand-in: the window handle wrapper CWindow, window
// traits, message maps, CWindowImpl (a class whose messages go through its
// message map; here made only by subclassing an existing window) and
// CDialogImpl (a modeless dialog made from a dialog resource of the module).
//
// A window object finds itself from its window through a window property;
// messages its map does not handle go to the window's previous procedure
// (subclassed windows) or to the dialog manager (dialogs).
#pragma once

#include "atlbase.h"

// <windowsx.h> names a macro SubclassWindow; here it is a member.
#ifdef SubclassWindow
#undef SubclassWindow
#endif

namespace ATL
{

// A window handle with the calls made on it; owns nothing.
class CWindow
{
public:
    explicit CWindow(HWND hWnd = NULL) noexcept : m_hWnd(hWnd) {}
    operator HWND() const noexcept { return m_hWnd; }

    BOOL IsWindow() const noexcept { return ::IsWindow(m_hWnd); }
    HWND GetDlgItem(int nID) const noexcept { return ::GetDlgItem(m_hWnd, nID); }
    HWND GetParent() const noexcept { return ::GetParent(m_hWnd); }
    LRESULT SendMessage(UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0) const noexcept
    {
        return ::SendMessageW(m_hWnd, uMsg, wParam, lParam);
    }
    LRESULT SendDlgItemMessage(int nID, UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0) const noexcept
    {
        return ::SendDlgItemMessageW(m_hWnd, nID, uMsg, wParam, lParam);
    }
    BOOL SetDlgItemText(int nID, LPCWSTR psz) const noexcept { return ::SetDlgItemTextW(m_hWnd, nID, psz); }
    BOOL CheckDlgButton(int nID, UINT nCheck) const noexcept { return ::CheckDlgButton(m_hWnd, nID, nCheck); }
    UINT IsDlgButtonChecked(int nID) const noexcept { return ::IsDlgButtonChecked(m_hWnd, nID); }
    BOOL SetWindowText(LPCWSTR psz) const noexcept { return ::SetWindowTextW(m_hWnd, psz); }
    int GetWindowTextLength() const noexcept { return ::GetWindowTextLengthW(m_hWnd); }
    int GetWindowText(LPWSTR psz, int cch) const noexcept { return ::GetWindowTextW(m_hWnd, psz, cch); }
    DWORD GetStyle() const noexcept { return static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_STYLE)); }
    BOOL ModifyStyle(DWORD dwRemove, DWORD dwAdd) const noexcept
    {
        const DWORD dwStyle = GetStyle();
        const DWORD dwNew = (dwStyle & ~dwRemove) | dwAdd;
        if (dwStyle == dwNew)
            return FALSE;
        ::SetWindowLongPtrW(m_hWnd, GWL_STYLE, static_cast<LONG_PTR>(dwNew));
        return TRUE;
    }
    BOOL GetClientRect(LPRECT pRect) const noexcept { return ::GetClientRect(m_hWnd, pRect); }
    BOOL Invalidate(BOOL bErase = TRUE) const noexcept { return ::InvalidateRect(m_hWnd, NULL, bErase); }
    BOOL ShowWindow(int nCmdShow) const noexcept { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL MoveWindow(int x, int y, int cx, int cy, BOOL bRepaint = TRUE) const noexcept
    {
        return ::MoveWindow(m_hWnd, x, y, cx, cy, bRepaint);
    }
    UINT_PTR SetTimer(UINT_PTR nID, UINT nElapse) const noexcept { return ::SetTimer(m_hWnd, nID, nElapse, NULL); }
    BOOL KillTimer(UINT_PTR nID) const noexcept { return ::KillTimer(m_hWnd, nID); }
    HWND SetFocus() const noexcept { return ::SetFocus(m_hWnd); }
    HWND SetCapture() const noexcept { return ::SetCapture(m_hWnd); }
    HDC GetDC() const noexcept { return ::GetDC(m_hWnd); }
    int ReleaseDC(HDC hDC) const noexcept { return ::ReleaseDC(m_hWnd, hDC); }
    BOOL ScreenToClient(LPPOINT pt) const noexcept { return ::ScreenToClient(m_hWnd, pt); }
    BOOL DestroyWindow() noexcept
    {
        if (!::DestroyWindow(m_hWnd))
            return FALSE;
        m_hWnd = NULL;
        return TRUE;
    }

    HWND m_hWnd;
};

// The styles a window class is made with.
template <DWORD t_dwStyle = 0, DWORD t_dwExStyle = 0>
class CWinTraits
{
public:
    static DWORD GetWndStyle(DWORD dwStyle) noexcept { return dwStyle == 0 ? t_dwStyle : dwStyle; }
    static DWORD GetWndExStyle(DWORD dwExStyle) noexcept { return dwExStyle == 0 ? t_dwExStyle : dwExStyle; }
};

typedef CWinTraits<WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0> CControlWinTraits;

// A class with a message map (BEGIN_MSG_MAP ... END_MSG_MAP).
class CMessageMap
{
public:
    virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                      DWORD dwMsgMapID = 0) = 0;
};

// Name of the window property that leads from a window to its object.
constexpr LPCWSTR _AtlWindowObjectProp = L"ATL.WindowObject";

// ---------------------------------------------------------------------------
// CWindowImpl: a window whose messages go through the class's message map.

template <class TBase = CWindow, class TWinTraits = CControlWinTraits>
class ATL_NO_VTABLE CWindowImplBaseT : public TBase, public CMessageMap
{
public:
    CWindowImplBaseT() noexcept : m_pfnSuperWindowProc(::DefWindowProcW) {}
    virtual ~CWindowImplBaseT() = default;

    // Called after the window's last message (WM_NCDESTROY); the object is
    // no longer attached then.
    virtual void OnFinalMessage(HWND) {}
    virtual WNDPROC GetWindowProc() { return WindowProc; }

    // Makes an existing window's messages pass through this object first.
    BOOL SubclassWindow(HWND hWnd) noexcept
    {
        ATLASSERT(this->m_hWnd == NULL);
        ATLASSERT(::IsWindow(hWnd));
        if (this->m_hWnd != NULL || !::IsWindow(hWnd))
            return FALSE;
        if (!::SetPropW(hWnd, _AtlWindowObjectProp, static_cast<HANDLE>(this)))
            return FALSE;
        const WNDPROC pfnOld =
            reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(GetWindowProc())));
        if (pfnOld == NULL)
        {
            ::RemovePropW(hWnd, _AtlWindowObjectProp);
            return FALSE;
        }
        m_pfnSuperWindowProc = pfnOld;
        this->m_hWnd = hWnd;
        return TRUE;
    }

    // Gives the window its previous procedure back.
    HWND UnsubclassWindow() noexcept
    {
        const HWND hWnd = this->m_hWnd;
        if (hWnd == NULL)
            return NULL;
        ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuperWindowProc));
        ::RemovePropW(hWnd, _AtlWindowObjectProp);
        m_pfnSuperWindowProc = ::DefWindowProcW;
        this->m_hWnd = NULL;
        return hWnd;
    }

    LRESULT DefWindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam) noexcept
    {
        return ::CallWindowProcW(m_pfnSuperWindowProc, this->m_hWnd, uMsg, wParam, lParam);
    }

    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        CWindowImplBaseT* pThis = static_cast<CWindowImplBaseT*>(::GetPropW(hWnd, _AtlWindowObjectProp));
        if (pThis == NULL)
            return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
        LRESULT lRes = 0;
        if (!pThis->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lRes, 0))
            lRes = pThis->DefWindowProc(uMsg, wParam, lParam);
        if (uMsg == WM_NCDESTROY && pThis->m_hWnd == hWnd)
        {
            pThis->UnsubclassWindow();
            pThis->OnFinalMessage(hWnd);
        }
        return lRes;
    }

    WNDPROC m_pfnSuperWindowProc;
};

template <class T, class TBase = CWindow, class TWinTraits = CControlWinTraits>
class ATL_NO_VTABLE CWindowImpl : public CWindowImplBaseT<TBase, TWinTraits>
{
public:
    typedef TWinTraits _WinTraits;
};

// ---------------------------------------------------------------------------
// CDialogImpl: a modeless dialog from the module's dialog resource T::IDD.

template <class T, class TBase = CWindow>
class ATL_NO_VTABLE CDialogImpl : public TBase, public CMessageMap
{
public:
    virtual ~CDialogImpl() = default;

    virtual void OnFinalMessage(HWND) {}

    // Creates the dialog as a child or owned window of hWndParent; NULL
    // when the dialog cannot be made.
    HWND Create(HWND hWndParent, LPARAM dwInitParam = 0) noexcept
    {
        ATLASSERT(this->m_hWnd == NULL);
        s_pCreating = this;
        const HWND hWnd = ::CreateDialogParamW(_AtlGetModuleInstance(), MAKEINTRESOURCEW(T::IDD), hWndParent,
                                               DialogProc, dwInitParam);
        s_pCreating = NULL;
        ATLASSERT(hWnd == NULL || this->m_hWnd == hWnd);
        return hWnd;
    }

    BOOL DestroyWindow() noexcept
    {
        ATLASSERT(::IsWindow(this->m_hWnd));
        return ::DestroyWindow(this->m_hWnd);
    }

    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        CDialogImpl* pThis = static_cast<CDialogImpl*>(::GetPropW(hWnd, _AtlWindowObjectProp));
        if (pThis == NULL)
        {
            // The first message of a dialog being created by this thread.
            pThis = s_pCreating;
            if (pThis == NULL)
                return FALSE;
            s_pCreating = NULL;
            pThis->m_hWnd = hWnd;
            ::SetPropW(hWnd, _AtlWindowObjectProp, static_cast<HANDLE>(pThis));
        }
        LRESULT lRes = 0;
        const BOOL bHandled = pThis->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lRes, 0);
        if (uMsg == WM_NCDESTROY)
        {
            ::RemovePropW(hWnd, _AtlWindowObjectProp);
            pThis->m_hWnd = NULL;
            pThis->OnFinalMessage(hWnd);
            return FALSE;
        }
        if (!bHandled)
            return FALSE;
        switch (uMsg)
        {
        // These answer through the procedure's own result.
        case WM_INITDIALOG:
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_QUERYDRAGICON:
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
            return static_cast<INT_PTR>(lRes);
        default:
            ::SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, lRes);
            return TRUE;
        }
    }

private:
    static inline thread_local CDialogImpl* s_pCreating = NULL;
};

} // namespace ATL

// ---------------------------------------------------------------------------
// Message maps
//
// BEGIN_MSG_MAP(x) ... END_MSG_MAP() declares the messages class x handles,
// tried in order. A handler may clear bHandled to let the search go on.

#define BEGIN_MSG_MAP(theClass)                                                                     \
public:                                                                                             \
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult, \
                              DWORD dwMsgMapID = 0) override                                         \
    {                                                                                               \
        BOOL bHandled = TRUE;                                                                       \
        (void)hWnd;                                                                                 \
        (void)uMsg;                                                                                 \
        (void)wParam;                                                                               \
        (void)lParam;                                                                               \
        (void)lResult;                                                                              \
        (void)bHandled;                                                                             \
        if (dwMsgMapID == 0)                                                                        \
        {

#define MESSAGE_HANDLER(msg, func)                              \
    if (uMsg == (msg))                                          \
    {                                                           \
        bHandled = TRUE;                                        \
        lResult = func(uMsg, wParam, lParam, bHandled);         \
        if (bHandled)                                           \
            return TRUE;                                        \
    }

#define COMMAND_ID_HANDLER(id, func)                                                                   \
    if (uMsg == WM_COMMAND && (id) == LOWORD(wParam))                                                  \
    {                                                                                                  \
        bHandled = TRUE;                                                                               \
        lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled);      \
        if (bHandled)                                                                                  \
            return TRUE;                                                                               \
    }

// The messages the map of a base class handles (a class that has one).
#define CHAIN_MSG_MAP(theChainClass)                                                            \
    if (theChainClass::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult, 0))            \
        return TRUE;

#define END_MSG_MAP() \
        }             \
        return FALSE; \
    }
