// The running test program's path and its folder: the build puts every test
// program beside the libraries, child programs and data files the tests use.
// The folder comes with its final "\", ready for a file name.
#pragma once

#include <windows.h>

#include <string>

inline std::wstring ProgramPath()
{
    WCHAR sz[MAX_PATH];
    const DWORD cch = GetModuleFileNameW(NULL, sz, MAX_PATH);
    return std::wstring(sz, cch);
}

inline std::string ProgramPathA()
{
    char sz[MAX_PATH];
    const DWORD cch = GetModuleFileNameA(NULL, sz, MAX_PATH);
    return std::string(sz, cch);
}

inline std::wstring ProgramFolder()
{
    const std::wstring s = ProgramPath();
    return s.substr(0, s.find_last_of(L'\\') + 1);
}

inline std::string ProgramFolderA()
{
    const std::string s = ProgramPathA();
    return s.substr(0, s.find_last_of('\\') + 1);
}
