// The filter module with the real log library bound, as a user runs it after
// "rundll32 Dez64.dll,default": the module binds the log at load and lets it
// go while it unloads, when the log writes its closing block (the list of
// the process's modules) under the loader lock.
#include "LogBinding.h"
#include "LogDefault.h"
#include "LogTestSupport.h"

#include <gtest/gtest.h>

#include <dshow.h>
#include <objbase.h>

#include <string>

namespace
{

// A library that the module imports and that COM has loaded too keeps COM's
// reference after the module and the log are gone: the closing block must
// not take and drop references on modules that the loader is unloading.
TEST(BoundLog, UnloadingTheModuleLeavesItsImportsToTheirOtherUsers)
{
    CLogBinding binding;
    logtest::TempFolder dir("boundlog");
    ASSERT_NO_FATAL_FAILURE(RunDefault(dir.CopyIn("Dez64.dll")));
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(NULL, COINIT_MULTITHREADED)));

    HMODULE hModule = LoadLibraryW(L"Morphlet.dll");
    ASSERT_NE(nullptr, hModule);
    ASSERT_NE(nullptr, GetModuleHandleW(L"Dez64.dll")) << "the module bound the log at load";
    {
        // COM loads the graph manager's library, which the module imports.
        IGraphBuilder* pGraph = NULL;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, NULL, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                         reinterpret_cast<void**>(&pGraph)));
        pGraph->Release();
    }
    FreeLibrary(hModule);
    EXPECT_EQ(nullptr, GetModuleHandleW(L"Dez64.dll")) << "the log left with the module";

    const bool bQuartzLoaded = NULL != GetModuleHandleW(L"quartz.dll");
    EXPECT_TRUE(bQuartzLoaded) << "COM's reference on quartz.dll was dropped";
    // COM would call into the unloaded library when it lets its libraries go.
    if (bQuartzLoaded)
        CoUninitialize();
}

} // namespace
