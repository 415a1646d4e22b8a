// The filter module Morphlet.dll: an in-process COM server of three
// creatable classes, the spy filter, its property page and its About page. Its module object keeps the lock count
// (live objects and server locks) behind DllCanUnloadNow.
#include "AboutMorphlet.h"
#include "FilterPP.h"
#include "Filter.h"

namespace
{
BEGIN_OBJECT_MAP(ObjectMap)
    OBJECT_ENTRY(CLSID_SpyFilter, CSpyFilter)
    OBJECT_ENTRY(CLSID_SpyFilterPP, CSpyFilterPP)
    OBJECT_ENTRY(CLSID_AboutSpyFilter, CAboutSpyFilter)
END_OBJECT_MAP()

class CMorphletModule : public CAtlDllModuleT<CMorphletModule>
{
public:
    DECLARE_LIBID(LIBID_SPYFILTERLib)

    CMorphletModule() noexcept : CAtlDllModuleT<CMorphletModule>(ObjectMap) {}
};

// Made after the log clients and gone before them, so that every object's
// traces reach the log.
CMorphletModule _AtlModule __attribute__((init_priority(DSX_INIT_PRIORITY_MODULE)));

// Registration runs with the thread's locale switched to the system's, so
// that the registry texts do not depend on the caller's locale; the caller's
// locale comes back on every path.
class CSystemLocale
{
public:
    CSystemLocale() noexcept : m_lcid(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~CSystemLocale() { SetThreadLocale(m_lcid); }
    CSystemLocale(const CSystemLocale&) = delete;
    CSystemLocale& operator=(const CSystemLocale&) = delete;

private:
    LCID m_lcid;
};
} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID lpReserved)
{
    return _AtlModule.DllMain(dwReason, lpReserved);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return _AtlModule.DllCanUnloadNow();
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    return _AtlModule.DllGetClassObject(rclsid, riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    CSystemLocale locale;
    return _AtlModule.DllRegisterServer();
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    CSystemLocale locale;
    return _AtlModule.DllUnregisterServer();
}
