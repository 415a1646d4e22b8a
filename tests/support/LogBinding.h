// Sets the log binding (HKCU "Software\_VoxaDEZ64", its default value: a
// library path with "|" for every "\") for a test, and puts back at the end
// exactly what was there: the key with all its values and subkeys, or no key.
//
// The binding is global to the Wine prefix, which each test program has to
// itself; within a program, tests that use this run one after another.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

class CLogBinding
{
public:
    static constexpr LPCWSTR kKey = L"Software\\_VoxaDEZ64";

    CLogBinding() { m_pSaved = Save(HKEY_CURRENT_USER, kKey); }
    ~CLogBinding()
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
        if (m_pSaved)
            Restore(HKEY_CURRENT_USER, kKey, *m_pSaved);
    }
    CLogBinding(const CLogBinding&) = delete;
    CLogBinding& operator=(const CLogBinding&) = delete;

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
        HKEY hKey = NULL;
        if (ERROR_SUCCESS != RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, NULL, 0, KEY_WRITE, NULL, &hKey, NULL))
            return false;
        const LONG l = RegSetValueExW(hKey, NULL, 0, dwType, static_cast<const BYTE*>(pData), cb);
        RegCloseKey(hKey);
        return ERROR_SUCCESS == l;
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
    bool RemoveKey()
    {
        const LONG l = RegDeleteTreeW(HKEY_CURRENT_USER, kKey);
        return ERROR_SUCCESS == l || ERROR_FILE_NOT_FOUND == l;
    }

private:
    struct Value
    {
        std::wstring sName;
        DWORD dwType;
        std::vector<BYTE> data;
    };
    struct Key
    {
        std::vector<Value> values;
        std::vector<std::pair<std::wstring, std::unique_ptr<Key>>> subkeys;
    };

    static std::unique_ptr<Key> Save(HKEY hParent, LPCWSTR pszName)
    {
        HKEY hKey = NULL;
        if (ERROR_SUCCESS != RegOpenKeyExW(hParent, pszName, 0, KEY_READ, &hKey))
            return nullptr;
        std::unique_ptr<Key> pKey(new Key);
        for (DWORD i = 0;; ++i)
        {
            WCHAR szName[16384];
            DWORD cchName = 16384, dwType = 0, cb = 0;
            if (ERROR_SUCCESS != RegEnumValueW(hKey, i, szName, &cchName, NULL, &dwType, NULL, &cb))
                break;
            Value v{ szName, dwType, std::vector<BYTE>(cb) };
            cchName = 16384;
            RegEnumValueW(hKey, i, szName, &cchName, NULL, &dwType, v.data.data(), &cb);
            v.data.resize(cb);
            pKey->values.push_back(std::move(v));
        }
        for (DWORD i = 0;; ++i)
        {
            WCHAR szName[256];
            DWORD cchName = 256;
            if (ERROR_SUCCESS != RegEnumKeyExW(hKey, i, szName, &cchName, NULL, NULL, NULL, NULL))
                break;
            pKey->subkeys.emplace_back(szName, Save(hKey, szName));
        }
        RegCloseKey(hKey);
        return pKey;
    }

    static void Restore(HKEY hParent, LPCWSTR pszName, const Key& key)
    {
        HKEY hKey = NULL;
        if (ERROR_SUCCESS != RegCreateKeyExW(hParent, pszName, 0, NULL, 0, KEY_WRITE, NULL, &hKey, NULL))
            return;
        for (const Value& v : key.values)
            RegSetValueExW(hKey, v.sName.empty() ? NULL : v.sName.c_str(), 0, v.dwType, v.data.data(),
                           static_cast<DWORD>(v.data.size()));
        for (const auto& sub : key.subkeys)
            if (sub.second)
                Restore(hKey, sub.first.c_str(), *sub.second);
        RegCloseKey(hKey);
    }

    std::unique_ptr<Key> m_pSaved;
};
