#include <windows.h>
#include "IDSLog.h"

extern "C" HRESULT WINAPI Exp_GetLogObject(IDSLog** ppLog)
{
    if (!ppLog)
        return E_POINTER;
    *ppLog = NULL;
    return E_NOTIMPL;
}

extern "C" void CALLBACK Exp_Default(HWND, HINSTANCE, LPSTR, int) {}
extern "C" void CALLBACK Exp_Install(HWND, HINSTANCE, LPSTR, int) {}
extern "C" void CALLBACK Exp_Uninstall(HWND, HINSTANCE, LPSTR, int) {}
