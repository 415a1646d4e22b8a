// The filter module as a COM client sees it: Morphlet.dll loaded from the
// test's folder, its four exports, and the spy filter's identifiers.
#pragma once

#ifndef STRSAFE_NO_DEPRECATE
#define STRSAFE_NO_DEPRECATE
#endif
#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include <string>

namespace morphlet
{

// {3C7E52D0-9A41-4F0B-8D26-51B7E0A4C913}
const CLSID CLSID_SpyFilter = { 0x3c7e52d0, 0x9a41, 0x4f0b, { 0x8d, 0x26, 0x51, 0xb7, 0xe0, 0xa4, 0xc9, 0x13 } };
const wchar_t kSpyClsid[] = L"{3C7E52D0-9A41-4F0B-8D26-51B7E0A4C913}";

typedef HRESULT(STDAPICALLTYPE* PFN_CanUnloadNow)();
typedef HRESULT(STDAPICALLTYPE* PFN_GetClassObject)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* PFN_Register)();

// Morphlet.dll, loaded for the object's lifetime.
class CModule
{
public:
    CModule() : m_h(LoadLibraryW(L"Morphlet.dll"))
    {
        if (m_h == NULL)
            return;
        CanUnloadNow = reinterpret_cast<PFN_CanUnloadNow>(reinterpret_cast<void*>(GetProcAddress(m_h, "DllCanUnloadNow")));
        GetClassObject =
            reinterpret_cast<PFN_GetClassObject>(reinterpret_cast<void*>(GetProcAddress(m_h, "DllGetClassObject")));
        Register = reinterpret_cast<PFN_Register>(reinterpret_cast<void*>(GetProcAddress(m_h, "DllRegisterServer")));
        Unregister = reinterpret_cast<PFN_Register>(reinterpret_cast<void*>(GetProcAddress(m_h, "DllUnregisterServer")));
    }
    ~CModule()
    {
        if (m_h != NULL)
            FreeLibrary(m_h);
    }
    CModule(const CModule&) = delete;
    CModule& operator=(const CModule&) = delete;

    bool Loaded() const { return m_h != NULL && CanUnloadNow && GetClassObject && Register && Unregister; }
    HMODULE Handle() const { return m_h; }
    std::wstring Path() const
    {
        WCHAR sz[MAX_PATH] = L"";
        GetModuleFileNameW(m_h, sz, MAX_PATH);
        return sz;
    }

    PFN_CanUnloadNow CanUnloadNow = NULL;
    PFN_GetClassObject GetClassObject = NULL;
    PFN_Register Register = NULL;
    PFN_Register Unregister = NULL;

private:
    HMODULE m_h;
};

// Runs regsvr32.exe with the arguments and the module's path, as a user
// does; its exit code (0xFFFFFFFF when it did not end within a minute).
inline DWORD RunRegsvr32(const std::wstring& sArgs, const std::wstring& sModule)
{
    std::wstring sCmd = L"regsvr32.exe " + sArgs + L" \"" + sModule + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(NULL, &sCmd[0], NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return 0xFFFFFFFF;
    DWORD dwExit = 0xFFFFFFFF;
    if (WAIT_OBJECT_0 == WaitForSingleObject(pi.hProcess, 60000))
        GetExitCodeProcess(pi.hProcess, &dwExit);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return dwExit;
}

inline std::string Hr(HRESULT hr)
{
    char sz[16];
    snprintf(sz, sizeof(sz), "0x%08lX", static_cast<unsigned long>(hr));
    return sz;
}

} // namespace morphlet
