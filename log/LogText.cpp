#include "LogText.h"

#include <string.h>

HRESULT HResultFromWin32(DWORD dwError)
{
    if ((LONG)dwError <= 0)
        return (HRESULT)dwError;
    return (HRESULT)(0x80070000u | (dwError & 0xFFFFu));
}

int FormatTimeColumn(char* pszOut, const SYSTEMTIME& st, bool bFull)
{
    if (st.wYear == 0xFFFF)
    {
        lstrcpyA(pszOut, "        .---");
        return 12;
    }
    if (bFull)
        return wsprintfA(pszOut, "%02i:%02i:%02i.%03i", st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return wsprintfA(pszOut, "        .%03i", st.wMilliseconds);
}

int FormatColumnGroup(char* pszOut, DWORD dwThreadId, const char* pszApartment, int nPriority,
                      const SYSTEMTIME& st, DWORD dwLastThread, const SYSTEMTIME& stLast)
{
    char szTime[16];
    if (dwThreadId != dwLastThread)
    {
        FormatTimeColumn(szTime, st, true);
        return wsprintfA(pszOut, "%04X %s%3i %s\t", (unsigned)(dwThreadId & 0xFFFFF), pszApartment, nPriority,
                         szTime);
    }
    if (memcmp(&st, &stLast, sizeof(st)) == 0)
    {
        lstrcpyA(pszOut, "\t\t\t");
        return 3;
    }
    // Every field from the year to the second, in the order of SYSTEMTIME.
    const bool bFull = memcmp(&st, &stLast, offsetof(SYSTEMTIME, wMilliseconds)) != 0;
    FormatTimeColumn(szTime, st, bFull);
    return wsprintfA(pszOut, "\t  %s\t", szTime);
}

int NormaliseMessage(char* pszOut, int nRoom, const char* pszMessage)
{
    if (nRoom == 2)
    {
        lstrcpyA(pszOut, "\r\n");
        return 2;
    }
    if (nRoom < 2 || !pszMessage || !*pszMessage)
    {
        if (nRoom >= 0)
            pszOut[0] = 0;
        return 0;
    }
    // Two characters are always kept for the final CR LF.
    int n = 0;
    const char* p = pszMessage;
    for (;;)
    {
        while (*p && *p != '\r' && *p != '\n' && n < nRoom - 2)
            pszOut[n++] = *p++;
        if (*p != '\r' && *p != '\n')
            break; // end of the text, or no room left
        int nLF = 0;
        for (; *p == '\r' || *p == '\n'; ++p)
            nLF += *p == '\n';
        for (int i = 1; i < nLF && n + 4 <= nRoom; ++i)
        {
            pszOut[n++] = '\r';
            pszOut[n++] = '\n';
        }
        if (!*p || n + 8 > nRoom)
            break;
        memcpy(pszOut + n, "\r\n\t\t\t\t", 6);
        n += 6;
    }
    pszOut[n++] = '\r';
    pszOut[n++] = '\n';
    pszOut[n] = 0;
    return n;
}

int LocalTimeText(char* pszOut, const SYSTEMTIME& st)
{
    static const char* const s_aMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* pszMonth = st.wMonth >= 1 && st.wMonth <= 12 ? s_aMonths[st.wMonth - 1] : "???";
    return wsprintfA(pszOut, "Local %u/%s/%u %02i:%02i:%02i.%03i", st.wYear, pszMonth, st.wDay, st.wHour,
                     st.wMinute, st.wSecond, st.wMilliseconds);
}

int GroupedNumber(char* pszOut, LONGLONG llValue)
{
    char* p = pszOut;
    ULONGLONG u = (ULONGLONG)llValue;
    if (llValue < 0)
    {
        *p++ = '-';
        u = 0 - u; // also right for the most negative value
    }
    bool bPrinted = false;
    for (ULONGLONG nDiv = 1000000000000000000ull;; nDiv /= 1000)
    {
        const unsigned nGroup = (unsigned)((u / nDiv) % 1000);
        if (bPrinted)
            p += wsprintfA(p, " %03u", nGroup);
        else if (nGroup != 0 || nDiv == 1)
        {
            p += wsprintfA(p, "%u", nGroup);
            bPrinted = true;
        }
        if (nDiv == 1)
            break;
    }
    return (int)(p - pszOut);
}

// Index of the last character of pszName that is one of pszSet, or -1.
static int FindLastOf(const char* pszName, const char* pszSet)
{
    for (int i = lstrlenA(pszName) - 1; i >= 0; --i)
        if (strchr(pszSet, pszName[i]))
            return i;
    return -1;
}

void ApplyTimestamp(char* pszName, const SYSTEMTIME& st)
{
    char szStamp[64];
    const int cchStamp = wsprintfA(szStamp, "%04u-%02u-%02u_%02u.%02u.%02u", st.wYear, st.wMonth, st.wDay,
                                   st.wHour, st.wMinute, st.wSecond);
    const int cchName = lstrlenA(pszName);
    const int iDot = FindLastOf(pszName, ".\\/");
    char szNew[LOG_NAME_SIZE];
    if (iDot >= 0 && pszName[iDot] == '.')
    {
        const int cchStem = iDot, cchExt = cchName - iDot - 1;
        if (cchStem + cchStamp + cchExt + 2 >= LOG_PATH_SIZE)
            return;
        memcpy(szNew, pszName, cchStem);
        wsprintfA(szNew + cchStem, "_%s.%s", szStamp, pszName + iDot + 1);
    }
    else
    {
        if (cchName + cchStamp >= LOG_PATH_SIZE)
            return;
        wsprintfA(szNew, "%s%s", pszName, szStamp);
    }
    lstrcpyA(pszName, szNew);
}

void ApplyProcessSeparate(char* pszName, DWORD dwProcessId)
{
    char szSuffix[16];
    const int cchSuffix = wsprintfA(szSuffix, "_%04X", (unsigned)dwProcessId);
    const int cchName = lstrlenA(pszName);
    if (cchName + cchSuffix >= LOG_NAME_SIZE)
        return; // names come from a buffer of LOG_PATH_SIZE, so this never cuts one
    const int iDot = FindLastOf(pszName, "./\\:");
    if (iDot >= 0 && pszName[iDot] == '.')
    {
        memmove(pszName + iDot + cchSuffix, pszName + iDot, cchName - iDot + 1);
        memcpy(pszName + iDot, szSuffix, cchSuffix);
    }
    else
        lstrcpyA(pszName + cchName, szSuffix);
}

void ShapeModulePrefix(const char* pszPath, char* pszOut, UINT cbSize)
{
    if (cbSize <= 2)
    {
        if (cbSize)
            pszOut[0] = 0;
        return;
    }
    const char* pszSlash = pszPath ? strrchr(pszPath, '\\') : NULL;
    if (!pszSlash)
    {
        lstrcpynA(pszOut, "N/A: ", cbSize);
        return;
    }
    const char* pszName = pszSlash + 1;
    UINT cch = lstrlenA(pszName);
    if (cch > 4 && (lstrcmpiA(pszName + cch - 4, ".dll") == 0 || lstrcmpiA(pszName + cch - 4, ".exe") == 0))
        cch -= 4;
    if (cch > cbSize - 3)
        cch = cbSize - 3;
    for (UINT i = 0; i < cch; ++i)
    {
        const char c = pszName[i];
        pszOut[i] = c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
    }
    pszOut[cch] = ':';
    pszOut[cch + 1] = ' ';
    pszOut[cch + 2] = 0;
}

bool MakePipePath(const char* pszPath, char* pszOut, int cbOut)
{
    const int cch = lstrlenA(pszPath);
    if (cch >= cbOut)
        return false;
    for (int i = 0; i <= cch; ++i)
        pszOut[i] = pszPath[i] == '\\' ? '|' : pszPath[i];
    return true;
}

bool MakeDefaultLogName(const char* pszLibraryPath, char* pszOut)
{
    const int iSep = FindLastOf(pszLibraryPath, "\\/");
    if (iSep < 0)
    {
        lstrcpyA(pszOut, "c:\\Temp\\log.log");
        return true;
    }
    if (iSep + 1 + 7 >= LOG_PATH_SIZE)
        return false;
    memcpy(pszOut, pszLibraryPath, iSep + 1);
    lstrcpyA(pszOut + iSep + 1, "log.log");
    return true;
}

// Appends pszSegment when it fits whole; returns whether it did.
static bool AppendWhole(char* pszOut, int cchOut, const char* pszSegment)
{
    const int cch = lstrlenA(pszOut), cchSegment = lstrlenA(pszSegment);
    if (cch + cchSegment >= cchOut)
        return false;
    memcpy(pszOut + cch, pszSegment, cchSegment + 1);
    return true;
}

bool BuildSymbolPath(char* pszOut, int cchOut, const char* pszWindowsDir, const char* pszDspdb,
                     const char* pszExePath)
{
    pszOut[0] = 0;
    if (!pszWindowsDir || !*pszWindowsDir)
        return false;
    if (!AppendWhole(pszOut, cchOut, pszWindowsDir) || !AppendWhole(pszOut, cchOut, "\\Symbols\\dll\\"))
    {
        pszOut[0] = 0;
        return false;
    }
    if (pszDspdb)
    {
        const int cch = lstrlenA(pszOut);
        if (!AppendWhole(pszOut, cchOut, ";") || !AppendWhole(pszOut, cchOut, pszDspdb))
            pszOut[cch] = 0;
    }
    const char* pszSlash = pszExePath ? strrchr(pszExePath, '\\') : NULL;
    if (pszSlash)
    {
        const int cch = lstrlenA(pszOut);
        const int cchDir = (int)(pszSlash - pszExePath) + 1;
        if (cch + 1 + cchDir < cchOut)
        {
            pszOut[cch] = ';';
            memcpy(pszOut + cch + 1, pszExePath, cchDir);
            pszOut[cch + 1 + cchDir] = 0;
        }
    }
    return true;
}
