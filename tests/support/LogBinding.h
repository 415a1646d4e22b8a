// Sets the log binding (HKCU "Software\_VoxaDEZ64", its default value: a
// library path with "|" for every "\") for a test, and puts back at the end
// exactly what was there: the key with all its values and subkeys, or no key.
//
// The binding is global to the Wine prefix, which each test program has to
// itself; within a program, tests that use this run one after another.
#pragma once

#include <windows.h>

#include "SavedKey.h"

#include <string>

class CLogBinding
{
public:
    static constexpr LPCWSTR kKey = L"Software\\_VoxaDEZ64";

    CLogBinding() : m_saved(HKEY_CURRENT_USER, kKey) {}

    // "\" to "|", as the log library writes the value.
    static std::wstring ToBars(std::wstring s)
    {
        for (wchar_t& ch : s)
            if (L'\\' == ch)
                ch = L'|';
        return s;
    }

    // Writes the default value as a NUL-terminated text of the given type.
    bool Set(const std::wstring& sValue, DWORD dwType = REG_SZ)
    {
        return SetRaw(dwType, sValue.c_str(), static_cast<DWORD>((sValue.size() + 1) * sizeof(wchar_t)));
    }
    // Writes the default value as the given bytes.
    bool SetRaw(DWORD dwType, const void* pData, DWORD cb)
    {
        return CSavedKey::SetRaw(HKEY_CURRENT_USER, kKey, NULL, dwType, pData, cb);
    }
    // Leaves the key without a default value (its subkeys stay).
    bool RemoveValue()
    {
        HKEY hKey = NULL;
        if (ERROR_SUCCESS != RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, NULL, 0, KEY_WRITE, NULL, &hKey, NULL))
            return false;
        const LONG l = RegDeleteValueW(hKey, NULL);
        RegCloseKey(hKey);
        return ERROR_SUCCESS == l || ERROR_FILE_NOT_FOUND == l;
    }
    // Removes the key altogether.
    bool RemoveKey() { return CSavedKey::RemoveKey(HKEY_CURRENT_USER, kKey); }

private:
    CSavedKey m_saved;
};
