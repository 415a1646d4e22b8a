// A whole file read at once, to check what the code under test wrote. The
// file may still be open elsewhere, for writing or deleting; one that cannot
// be opened reads as empty.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

inline std::string ReadOpenedFile(HANDLE h)
{
    std::string s;
    if (INVALID_HANDLE_VALUE == h)
        return s;
    char buf[65536];
    DWORD cb = 0;
    while (ReadFile(h, buf, sizeof(buf), &cb, NULL) && cb)
        s.append(buf, cb);
    CloseHandle(h);
    return s;
}

inline std::string ReadWholeFile(const std::wstring& sPath)
{
    return ReadOpenedFile(CreateFileW(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      NULL, OPEN_EXISTING, 0, NULL));
}

inline std::string ReadWholeFile(const std::string& path)
{
    return ReadOpenedFile(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      NULL, OPEN_EXISTING, 0, NULL));
}

inline std::vector<BYTE> ReadFileBytes(const std::wstring& sPath)
{
    const std::string s = ReadWholeFile(sPath);
    return std::vector<BYTE>(s.begin(), s.end());
}
