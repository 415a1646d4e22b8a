// Small Windows functions of the framework.
#pragma once

#include "DSTrace.h"

// Braced upper-case text of a GUID, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}":
// 38 characters and a NUL, so pszName needs at least 39 WCHARs.
inline LPWSTR GuidToText(const GUID& guid, LPWSTR pszName)
{
    ASSERT(pszName != NULL);
    if (NULL == pszName)
        return NULL;
    _snwprintf_s(pszName, 39, _TRUNCATE, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                 static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                 guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return pszName;
}

