// The spy filter's property page: the filter's bitrate, the graph's playback
// position, the filter's three switches, the graph's playback rate and
// direction, and the capture of the next frame. Every control acts on the
// filter or the graph at once, so the page never has anything to apply.
#pragma once

#include <atlctl.h>
#include <DSTrace.h>

#include <strmif.h>

#include "Morphlet.h"
#include "resource.h"

// A message box with text, then the system's (or DirectShow's) text of hr
// and the line "Error 0x..." (hr 0 shows the text alone). uType 0 chooses
// the error icon for a failure and the warning icon for a success code;
// insert replaces the first "%1" of the system text. Returns the box's
// result.
int ShowErrorMessage(HWND hWndOwner, LPCWSTR pszText, LPCWSTR pszCaption, HRESULT hr, UINT uType = 0,
                     LPCWSTR pszInsert = NULL);

// The text ShowErrorMessage shows (at most cchMessage - 1 characters).
void FormatErrorMessage(LPWSTR pszMessage, size_t cchMessage, LPCWSTR pszText, HRESULT hr, LPCWSTR pszInsert);

class ATL_NO_VTABLE CSpyFilterPP : public CComObjectRootEx<CComMultiThreadModel>,
                                   public CComCoClass<CSpyFilterPP, &CLSID_SpyFilterPP>,
                                   public IPropertyPageImpl<CSpyFilterPP>,
                                   public CDialogImpl<CSpyFilterPP>
{
public:
    enum { IDD = IDD_SPYFILTERPP };
    // The timer that refreshes the bitrate and the position.
    static constexpr UINT_PTR TIMER_ID = 1;
    static constexpr UINT TIMER_PERIOD = 300;

    CSpyFilterPP() noexcept;

    DECLARE_REGISTRY_RESOURCEID(IDR_SPYFILTERPP)
    DECLARE_PROTECT_FINAL_CONSTRUCT()
    DECLARE_GET_CONTROLLING_UNKNOWN()

    BEGIN_COM_MAP(CSpyFilterPP)
        COM_INTERFACE_ENTRY(IPropertyPage)
        COM_INTERFACE_ENTRY_AGGREGATE(IID_IMarshal, m_spMarshaler.p)
    END_COM_MAP()

    BEGIN_MSG_MAP(CSpyFilterPP)
        MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
        MESSAGE_HANDLER(WM_TIMER, OnTimer)
        MESSAGE_HANDLER(WM_HSCROLL, OnHScroll)
        COMMAND_ID_HANDLER(IDC_DYN_RECONNECT, OnDynReconnect)
        COMMAND_ID_HANDLER(IDC_FORCE_PASSTHRU, OnForcePassthru)
        COMMAND_ID_HANDLER(IDC_DISABLE_MTENUM, OnDisableMTEnum)
        COMMAND_ID_HANDLER(IDC_BACKWARD, OnBackward)
        COMMAND_ID_HANDLER(IDC_CAPTURE_FRAME, OnCaptureFrame)
        MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    END_MSG_MAP()

    HRESULT FinalConstruct();
    void FinalRelease();

    // The dialog, made sure of its track-bar class first.
    HWND Create(HWND hWndParent);

    // IPropertyPage: the page reports neither a doc string nor a help file,
    // and has nothing to apply.
    STDMETHOD(GetPageInfo)(PROPPAGEINFO* pPageInfo) override;
    STDMETHOD(Apply)() override;

    // The track bar's positions 0..100 against rates 0.1..10 (logarithmic).
    static double GetRateFromPos(int pos);
    static int GetPosFromRate(double dRate);

    CComPtr<INRVSpyFilter> m_spFilter;
    CComPtr<IUnknown> m_spMarshaler;
    BYTE m_bInitialized;

private:
    LRESULT OnInitDialog(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnTimer(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnHScroll(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnDestroy(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
    LRESULT OnDynReconnect(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
    LRESULT OnForcePassthru(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
    LRESULT OnDisableMTEnum(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
    LRESULT OnBackward(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
    LRESULT OnCaptureFrame(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);

    // The seeking interface of the graph the filter is in.
    HRESULT GetMediaSeeking(IMediaSeeking** ppMediaSeeking);
    // Sends the rate chosen on the page to the graph; on failure shows the
    // error and the graph's rate (1.0 without one) instead.
    void ApplyRate();
    void ShowRate(double dRate);
    void ShowBitrate(int nID, ULONG nBitrate);
    BOOL SelectFile(WCHAR* pszFile);
    void ShowError(LPCWSTR pszText, HRESULT hr);
};
