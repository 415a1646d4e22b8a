// "rundll32 Dez64.dll,default" done in this process: the log library at the
// given path is loaded, its "default" entry point called as rundll32 calls
// it (it writes the log's binding and settings for that copy, with its log
// file beside it), and the library let go. Call it under
// ASSERT_NO_FATAL_FAILURE: a library or entry point that is missing fails
// the test.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

inline void RunDefaultOf(HMODULE h)
{
    ASSERT_NE(nullptr, h);
    typedef void(CALLBACK * PFN_ENTRY)(HWND, HINSTANCE, LPSTR, int);
    PFN_ENTRY pfn = reinterpret_cast<PFN_ENTRY>(reinterpret_cast<void*>(GetProcAddress(h, "default")));
    ASSERT_NE(nullptr, pfn);
    char szEmpty[] = "";
    pfn(NULL, h, szEmpty, SW_SHOWNORMAL);
    FreeLibrary(h);
}

inline void RunDefault(const std::wstring& sLibrary)
{
    RunDefaultOf(LoadLibraryW(sLibrary.c_str()));
}

inline void RunDefault(const std::string& library)
{
    RunDefaultOf(LoadLibraryA(library.c_str()));
}
