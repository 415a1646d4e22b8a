// The spy filter's About page (see AboutMorphlet.h).
#include "AboutMorphlet.h"

LRESULT CAboutSpyFilter::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    // The compiler's build date and time ("Mar 19 2015", "16:35:59").
    WCHAR szDate[16] = L"", szTime[16] = L"";
    MultiByteToWideChar(CP_ACP, 0, __DATE__, -1, szDate, 16);
    MultiByteToWideChar(CP_ACP, 0, __TIME__, -1, szTime, 16);
    InitAbout(szDate, szTime);
    SetDlgItemText(IDC_ABOUT_NAME, L"Norvaleth Spy Filter");
    return FALSE;
}
