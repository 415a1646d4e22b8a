// The spy filter's About page.
#pragma once

#include <AboutPropertyPage.h>

#include "Morphlet.h"
#include "resource.h"

class ATL_NO_VTABLE CAboutSpyFilter : public CComObjectRootEx<CComSingleThreadModel>,
                                      public CComCoClass<CAboutSpyFilter, &CLSID_AboutSpyFilter>,
                                      public CDialogImpl<CAboutSpyFilter>,
                                      public CAboutPropertyPage<CAboutSpyFilter>
{
public:
    enum { IDD = IDD_ABOUTSPYFILTER };

    CAboutSpyFilter() noexcept { m_dwTitleID = IDS_TITLEAboutSpyFilter; }

    DECLARE_REGISTRY_RESOURCEID(IDR_ABOUTSPYFILTER)

    BEGIN_COM_MAP(CAboutSpyFilter)
        COM_INTERFACE_ENTRY(IPropertyPage)
    END_COM_MAP()

    BEGIN_MSG_MAP(CAboutSpyFilter)
        MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    END_MSG_MAP()

private:
    LRESULT OnInitDialog(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
};
