// A registry key saved whole when a test begins and put back exactly when it
// ends: the key with all its values and subkeys, or no key.
//
// Registry keys are global to the Wine prefix, which each test program has
// to itself; within a program, tests that save the same key run one after
// another.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

class CSavedKey
{
public:
    CSavedKey(HKEY hRoot, LPCWSTR pszPath) : m_hRoot(hRoot), m_sPath(pszPath) { m_pSaved = Save(hRoot, pszPath); }
    ~CSavedKey()
    {
        RegDeleteTreeW(m_hRoot, m_sPath.c_str());
        if (m_pSaved)
            Restore(m_hRoot, m_sPath.c_str(), *m_pSaved);
    }
    CSavedKey(const CSavedKey&) = delete;
    CSavedKey& operator=(const CSavedKey&) = delete;

    // Writes a value of the key (NULL: its default value) as the given
    // bytes, creating the key where it is missing.
    static bool SetRaw(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszName, DWORD dwType, const void* pData, DWORD cb)
    {
        HKEY hKey = NULL;
        if (ERROR_SUCCESS != RegCreateKeyExW(hRoot, pszPath, 0, NULL, 0, KEY_WRITE, NULL, &hKey, NULL))
            return false;
        const LONG l = RegSetValueExW(hKey, pszName, 0, dwType, static_cast<const BYTE*>(pData), cb);
        RegCloseKey(hKey);
        return ERROR_SUCCESS == l;
    }
    // Removes the key with its subkeys; a missing key counts as removed.
    static bool RemoveKey(HKEY hRoot, LPCWSTR pszPath)
    {
        const LONG l = RegDeleteTreeW(hRoot, pszPath);
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

    HKEY m_hRoot;
    std::wstring m_sPath;
    std::unique_ptr<Key> m_pSaved;
};
