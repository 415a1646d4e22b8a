// The registrar of our ATL stand-in: runs a registry script (ATL's script
// syntax) to register or unregister a class.
//
// Only what the module's scripts use is understood:
//
//   HKCR                                   root key (HKCR, HKCU, HKLM, HKU or
//   {                                      their HKEY_... names)
//       [NoRemove|ForceRemove|Delete] name [= s 'text'] [{ ... }]
//       val name = s 'text'                a named value of the enclosing key
//   }
//
// Tokens are separated by white space: "{", "}" and "=" stand alone, and a
// bare word such as {GUID} is a name. Names are bare words or quoted ('...',
// with '' for a quote). Values are
// strings (s) only. %NAME% is replaced by the text given to AddReplacement;
// %% is a single %. The whole script is parsed before the registry is
// touched, so a script error changes nothing.
//
// Registering: a ForceRemove key is deleted with all its subkeys before it
// is written again; a Delete key is only deleted. Unregistering: a NoRemove
// key stays (its children are unregistered); a ForceRemove key goes with all
// its subkeys; any other key goes once its own children are gone, unless it
// still holds subkeys of someone else. Keys and values that are already gone
// are no error.
#pragma once

#include "atlbase.h"

#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace ATL
{

class CRegObject
{
public:
    CRegObject() = default;
    CRegObject(const CRegObject&) = delete;
    CRegObject& operator=(const CRegObject&) = delete;

    // Adds or replaces the text of %key%.
    HRESULT AddReplacement(LPCOLESTR key, LPCOLESTR item) noexcept
    {
        if (key == NULL || item == NULL || *key == 0)
            return E_INVALIDARG;
        try
        {
            for (auto& r : m_replacements)
                if (0 == _wcsicmp(r.first.c_str(), key))
                {
                    r.second = item;
                    return S_OK;
                }
            m_replacements.emplace_back(key, item);
            return S_OK;
        }
        catch (...)
        {
            return E_OUTOFMEMORY;
        }
    }
    HRESULT ClearReplacements() noexcept
    {
        m_replacements.clear();
        return S_OK;
    }

    HRESULT StringRegister(LPCOLESTR pszScript) noexcept { return RunScript(pszScript, TRUE); }
    HRESULT StringUnregister(LPCOLESTR pszScript) noexcept { return RunScript(pszScript, FALSE); }

    // Runs the script held as resource nID of type szType in hModule. The
    // resource is text in the ANSI code page (as a resource compiler stores a
    // script file), without a terminating NUL of its own.
    HRESULT ResourceUpdate(HMODULE hModule, UINT nID, LPCWSTR szType, BOOL bRegister) noexcept
    {
        SetLastError(0);
        const HRSRC hRes = FindResourceW(hModule, MAKEINTRESOURCEW(nID), szType);
        const HGLOBAL hData = (hRes != NULL) ? LoadResource(hModule, hRes) : NULL;
        const char* pText = (hData != NULL) ? static_cast<const char*>(LockResource(hData)) : NULL;
        const DWORD cb = (pText != NULL) ? SizeofResource(hModule, hRes) : 0;
        if (pText == NULL)
            return AtlHresultFromLastError();
        if (cb == 0 || cb > INT_MAX)
            return E_FAIL;
        const int cch = MultiByteToWideChar(CP_ACP, 0, pText, static_cast<int>(cb), NULL, 0);
        if (cch <= 0)
            return AtlHresultFromLastError();
        try
        {
            std::wstring s(static_cast<size_t>(cch), L'\0');
            if (MultiByteToWideChar(CP_ACP, 0, pText, static_cast<int>(cb), &s[0], cch) != cch)
                return AtlHresultFromLastError();
            return RunScript(s.c_str(), bRegister);
        }
        catch (...)
        {
            return E_OUTOFMEMORY;
        }
    }

private:
    struct Node
    {
        enum Flag { eNone, eNoRemove, eForceRemove, eDelete };
        Flag flag = eNone;
        bool bValue = false;    // "val name = ...": a named value, not a key
        bool bHasData = false;  // "= s '...'" given
        std::wstring sName;
        std::wstring sData;
        std::vector<Node> children;
    };
    struct Root
    {
        HKEY hKey;
        std::vector<Node> children;
    };
    struct Token
    {
        enum Kind { eWord, eQuoted, eOpen, eClose, eEquals };
        Kind kind;
        std::wstring text;
    };

    HRESULT RunScript(LPCOLESTR pszScript, BOOL bRegister) noexcept
    {
        if (pszScript == NULL)
            return E_INVALIDARG;
        try
        {
            std::vector<Token> tokens;
            if (!Tokenize(pszScript, tokens))
                return DISP_E_EXCEPTION;
            std::vector<Root> roots;
            size_t i = 0;
            while (i < tokens.size())
            {
                Root root;
                if (tokens[i].kind != Token::eWord || !RootKey(tokens[i].text, &root.hKey))
                    return DISP_E_EXCEPTION;
                ++i;
                if (i >= tokens.size() || tokens[i].kind != Token::eOpen)
                    return DISP_E_EXCEPTION;
                ++i;
                if (!ParseList(tokens, i, root.children))
                    return DISP_E_EXCEPTION;
                roots.push_back(std::move(root));
            }
            for (const Root& root : roots)
                for (const Node& n : root.children)
                {
                    const HRESULT hr = bRegister ? Register(root.hKey, n) : Unregister(root.hKey, n);
                    if (FAILED(hr))
                        return hr;
                }
            return S_OK;
        }
        catch (...)
        {
            return E_OUTOFMEMORY;
        }
    }

    static bool RootKey(const std::wstring& s, HKEY* phKey)
    {
        static const struct
        {
            LPCWSTR pszShort;
            LPCWSTR pszLong;
            HKEY hKey;
        } s_roots[] = {
            { L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT },
            { L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER },
            { L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE },
            { L"HKU", L"HKEY_USERS", HKEY_USERS },
        };
        for (const auto& r : s_roots)
            if (0 == _wcsicmp(s.c_str(), r.pszShort) || 0 == _wcsicmp(s.c_str(), r.pszLong))
            {
                *phKey = r.hKey;
                return true;
            }
        return false;
    }

    // Appends the replacement of the %NAME% that starts at p (after the
    // first %) and moves p past the closing %.
    bool Replace(LPCWSTR& p, std::wstring& out) const
    {
        LPCWSTR pEnd = wcschr(p, L'%');
        if (pEnd == NULL)
            return false;
        if (pEnd == p)
        {
            out += L'%';
            p = pEnd + 1;
            return true;
        }
        const std::wstring sKey(p, static_cast<size_t>(pEnd - p));
        for (const auto& r : m_replacements)
            if (0 == _wcsicmp(r.first.c_str(), sKey.c_str()))
            {
                out += r.second;
                p = pEnd + 1;
                return true;
            }
        return false;
    }

    bool Tokenize(LPCWSTR p, std::vector<Token>& tokens) const
    {
        for (;;)
        {
            while (*p != 0 && iswspace(*p))
                ++p;
            if (*p == 0)
                return true;
            Token t;
            if (*p == L'\'')
            {
                t.kind = Token::eQuoted;
                ++p;
                for (;;)
                {
                    if (*p == 0)
                        return false;
                    if (*p == L'\'')
                    {
                        if (p[1] != L'\'')
                            break;
                        t.text += L'\'';
                        p += 2;
                    }
                    else if (*p == L'%')
                    {
                        ++p;
                        if (!Replace(p, t.text))
                            return false;
                    }
                    else
                        t.text += *p++;
                }
                ++p;
            }
            else
            {
                t.kind = Token::eWord;
                while (*p != 0 && !iswspace(*p) && *p != L'\'')
                {
                    if (*p == L'%')
                    {
                        ++p;
                        if (!Replace(p, t.text))
                            return false;
                    }
                    else
                        t.text += *p++;
                }
                // Braces and the equals sign stand alone; "{...}" is a name.
                if (t.text == L"{")
                    t.kind = Token::eOpen;
                else if (t.text == L"}")
                    t.kind = Token::eClose;
                else if (t.text == L"=")
                    t.kind = Token::eEquals;
            }
            tokens.push_back(std::move(t));
        }
    }

    static bool IsWord(const Token& t, LPCWSTR psz) { return t.kind == Token::eWord && 0 == _wcsicmp(t.text.c_str(), psz); }

    // Parses entries up to and including the closing brace of their list.
    static bool ParseList(const std::vector<Token>& tokens, size_t& i, std::vector<Node>& nodes)
    {
        for (;;)
        {
            if (i >= tokens.size())
                return false;
            if (tokens[i].kind == Token::eClose)
            {
                ++i;
                return true;
            }
            Node n;
            if (IsWord(tokens[i], L"NoRemove"))
                n.flag = Node::eNoRemove;
            else if (IsWord(tokens[i], L"ForceRemove"))
                n.flag = Node::eForceRemove;
            else if (IsWord(tokens[i], L"Delete"))
                n.flag = Node::eDelete;
            if (n.flag != Node::eNone)
                ++i;
            if (i < tokens.size() && IsWord(tokens[i], L"val"))
            {
                n.bValue = true;
                ++i;
            }
            if (i >= tokens.size() || (tokens[i].kind != Token::eWord && tokens[i].kind != Token::eQuoted))
                return false;
            n.sName = tokens[i++].text;
            if (i < tokens.size() && tokens[i].kind == Token::eEquals)
            {
                // Only string data: "= s 'text'".
                if (i + 2 >= tokens.size() || !IsWord(tokens[i + 1], L"s") || tokens[i + 2].kind != Token::eQuoted)
                    return false;
                n.bHasData = true;
                n.sData = tokens[i + 2].text;
                i += 3;
            }
            bool bBraces = false;
            if (i < tokens.size() && tokens[i].kind == Token::eOpen)
            {
                bBraces = true;
                ++i;
                if (!ParseList(tokens, i, n.children))
                    return false;
            }
            // A value has data and no braces, and takes no key flag.
            if (n.bValue && (!n.bHasData || bBraces || n.flag != Node::eNone))
                return false;
            nodes.push_back(std::move(n));
        }
    }

    static HRESULT SetString(HKEY hKey, LPCWSTR pszName, const std::wstring& sData)
    {
        const DWORD cb = static_cast<DWORD>((sData.size() + 1) * sizeof(WCHAR));
        const LONG l = RegSetValueExW(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(sData.c_str()), cb);
        return (l == ERROR_SUCCESS) ? S_OK : HRESULT_FROM_WIN32(l);
    }

    static bool IsGone(LONG l) { return l == ERROR_FILE_NOT_FOUND || l == ERROR_PATH_NOT_FOUND; }

    static HRESULT Register(HKEY hParent, const Node& n)
    {
        if (n.bValue)
            return SetString(hParent, n.sName.c_str(), n.sData);
        if (n.flag == Node::eForceRemove || n.flag == Node::eDelete)
        {
            const LONG l = RegDeleteTreeW(hParent, n.sName.c_str());
            if (l != ERROR_SUCCESS && !IsGone(l))
                return HRESULT_FROM_WIN32(l);
            if (n.flag == Node::eDelete)
                return S_OK;
        }
        HKEY hKey = NULL;
        LONG l = RegCreateKeyExW(hParent, n.sName.c_str(), 0, NULL, 0, KEY_READ | KEY_WRITE, NULL, &hKey, NULL);
        if (l != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(l);
        HRESULT hr = n.bHasData ? SetString(hKey, NULL, n.sData) : S_OK;
        for (size_t i = 0; SUCCEEDED(hr) && i < n.children.size(); ++i)
            hr = Register(hKey, n.children[i]);
        RegCloseKey(hKey);
        return hr;
    }

    static HRESULT Unregister(HKEY hParent, const Node& n)
    {
        if (n.bValue)
        {
            const LONG l = RegDeleteValueW(hParent, n.sName.c_str());
            return (l == ERROR_SUCCESS || IsGone(l)) ? S_OK : HRESULT_FROM_WIN32(l);
        }
        if (n.flag == Node::eDelete)
            return S_OK;
        if (n.flag == Node::eForceRemove)
        {
            const LONG l = RegDeleteTreeW(hParent, n.sName.c_str());
            return (l == ERROR_SUCCESS || IsGone(l)) ? S_OK : HRESULT_FROM_WIN32(l);
        }
        HKEY hKey = NULL;
        LONG l = RegOpenKeyExW(hParent, n.sName.c_str(), 0, KEY_READ | KEY_WRITE, &hKey);
        if (IsGone(l))
            return S_OK;
        if (l != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(l);
        HRESULT hr = S_OK;
        for (size_t i = 0; SUCCEEDED(hr) && i < n.children.size(); ++i)
            hr = Unregister(hKey, n.children[i]);
        DWORD nSubKeys = 0;
        l = RegQueryInfoKeyW(hKey, NULL, NULL, NULL, &nSubKeys, NULL, NULL, NULL, NULL, NULL, NULL, NULL);
        RegCloseKey(hKey);
        if (FAILED(hr) || n.flag == Node::eNoRemove)
            return hr;
        if (l != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(l);
        if (nSubKeys != 0)
            return S_OK; // someone else's subkeys keep the key
        l = RegDeleteKeyW(hParent, n.sName.c_str());
        return (l == ERROR_SUCCESS || IsGone(l)) ? S_OK : HRESULT_FROM_WIN32(l);
    }

    std::vector<std::pair<std::wstring, std::wstring>> m_replacements;
};

} // namespace ATL

namespace ATL
{

inline HRESULT CAtlModule::UpdateRegistryFromResourceS(UINT nResID, BOOL bRegister) noexcept
{
    const HINSTANCE hInst = _AtlGetModuleInstance();
    const DWORD cchModule = 32768; // the longest path the system takes
    std::unique_ptr<WCHAR[]> pszModule(new (std::nothrow) WCHAR[cchModule]);
    if (!pszModule)
        return E_OUTOFMEMORY;
    HRESULT hr = _AtlGetModulePath(hInst, pszModule.get(), cchModule);
    if (FAILED(hr))
        return hr;
    CRegObject ro;
    hr = ro.AddReplacement(L"MODULE", pszModule.get());
    if (FAILED(hr))
        return hr;
    return ro.ResourceUpdate(hInst, nResID, L"REGISTRY", bRegister);
}

} // namespace ATL
