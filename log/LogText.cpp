#include "LogText.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

HRESULT HResultFromWin32(DWORD dwError)
{
    if ((LONG)dwError <= 0)
        return (HRESULT)dwError;
    return (HRESULT)(0x80070000u | (dwError & 0xFFFFu));
}

namespace {

// Decimal digits of v, at least nMinDigits of them (leading zeros), at pszOut;
// returns the end.
char* PutUnsigned(char* pszOut, unsigned v, int nMinDigits)
{
    char szDigits[12];
    int n = 0;
    do
    {
        szDigits[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    while (n < nMinDigits)
        szDigits[n++] = '0';
    while (n)
        *pszOut++ = szDigits[--n];
    return pszOut;
}

// As "%*i": a signed value right-aligned in nWidth places.
char* PutSignedWidth(char* pszOut, int v, int nWidth)
{
    char szText[16];
    char* p = szText;
    unsigned u = (unsigned)v;
    if (v < 0)
    {
        *p++ = '-';
        u = 0u - u;
    }
    p = PutUnsigned(p, u, 1);
    for (int nPad = nWidth - (int)(p - szText); nPad > 0; --nPad)
        *pszOut++ = ' ';
    memcpy(pszOut, szText, p - szText);
    return pszOut + (p - szText);
}

// As "%04X".
char* PutHex4(char* pszOut, unsigned v)
{
    static const char s_achHex[] = "0123456789ABCDEF";
    char szDigits[8];
    int n = 0;
    do
    {
        szDigits[n++] = s_achHex[v & 15];
        v >>= 4;
    } while (v);
    while (n < 4)
        szDigits[n++] = '0';
    while (n)
        *pszOut++ = szDigits[--n];
    return pszOut;
}

} // namespace

// The columns are formatted by hand, character for character as the formats
// in the comments give them: they open every line, and the system's
// formatter costs several times as much.
int FormatTimeColumn(char* pszOut, const SYSTEMTIME& st, bool bFull)
{
    char* p = pszOut;
    if (st.wYear == 0xFFFF)
    {
        memcpy(p, "        .---", 12);
        p += 12;
    }
    else if (bFull)
    {
        // "%02i:%02i:%02i.%03i"
        p = PutUnsigned(p, st.wHour, 2);
        *p++ = ':';
        p = PutUnsigned(p, st.wMinute, 2);
        *p++ = ':';
        p = PutUnsigned(p, st.wSecond, 2);
        *p++ = '.';
        p = PutUnsigned(p, st.wMilliseconds, 3);
    }
    else
    {
        // "        .%03i"
        memcpy(p, "        .", 9);
        p = PutUnsigned(p + 9, st.wMilliseconds, 3);
    }
    *p = 0;
    return (int)(p - pszOut);
}

int FormatColumnGroup(char* pszOut, DWORD dwThreadId, const char* pszApartment, int nPriority,
                      const SYSTEMTIME& st, DWORD dwLastThread, const SYSTEMTIME& stLast)
{
    char* p = pszOut;
    if (dwThreadId != dwLastThread)
    {
        // "%04X %s%3i %s\t"
        p = PutHex4(p, (unsigned)(dwThreadId & 0xFFFFF));
        *p++ = ' ';
        const int cchApartment = lstrlenA(pszApartment);
        memcpy(p, pszApartment, cchApartment);
        p = PutSignedWidth(p + cchApartment, nPriority, 3);
        *p++ = ' ';
        p += FormatTimeColumn(p, st, true);
        *p++ = '\t';
    }
    else if (memcmp(&st, &stLast, sizeof(st)) == 0)
    {
        memcpy(p, "\t\t\t", 3);
        p += 3;
    }
    else
    {
        // "\t  %s\t": the full time when any field from the year to the
        // second differs, in the order of SYSTEMTIME.
        const bool bFull = memcmp(&st, &stLast, offsetof(SYSTEMTIME, wMilliseconds)) != 0;
        memcpy(p, "\t  ", 3);
        p += 3;
        p += FormatTimeColumn(p, st, bFull);
        *p++ = '\t';
    }
    *p = 0;
    return (int)(p - pszOut);
}

int FormatLevel(char* pszOut, int nLevel)
{
    // "%i "
    char* p = PutSignedWidth(pszOut, nLevel, 0);
    *p++ = ' ';
    *p = 0;
    return (int)(p - pszOut);
}

int ConvertRecord(const wchar_t* pszRecord, int cchMax, char* pszOut, int cbOut)
{
    if (cbOut <= 0)
        return 0;
    // Plain ASCII is copied as it comes: every ANSI code page keeps the
    // first 128 characters as they are. Anything else is the system's.
    int cch = 0;
    while (cch < cchMax && pszRecord[cch])
    {
        const wchar_t wch = pszRecord[cch];
        if (wch >= 0x80 || cch >= cbOut - 1)
            break;
        pszOut[cch++] = (char)wch;
    }
    if (cch >= cchMax || !pszRecord[cch])
    {
        pszOut[cch] = 0;
        return cch;
    }
    int cchIn = cch;
    while (cchIn < cchMax && pszRecord[cchIn])
        ++cchIn;
    const int cchOut = WideCharToMultiByte(CP_ACP, 0, pszRecord, cchIn, pszOut, cbOut - 1, NULL, NULL);
    pszOut[cchOut > 0 ? cchOut : 0] = 0;
    return cchOut > 0 ? cchOut : 0;
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

CBoundedText::CBoundedText(char* pszBuf, int cbBuf)
    : m_psz(pszBuf), m_cb(cbBuf), m_cch(0), m_cbReserve(0), m_bRefused(false)
{
    if (m_cb > 0)
        m_psz[0] = 0;
}

bool CBoundedText::Add(const char* pszChunk)
{
    const int cchChunk = pszChunk ? lstrlenA(pszChunk) : 0;
    // The chunk, the reserve and the NUL must fit.
    if (m_cb <= 0 || cchChunk > m_cb - 1 - m_cbReserve - m_cch)
    {
        m_bRefused = true;
        return false;
    }
    if (cchChunk)
        memcpy(m_psz + m_cch, pszChunk, cchChunk);
    m_cch += cchChunk;
    m_psz[m_cch] = 0;
    return true;
}

bool CBoundedText::Printf(const char* pszFormat, ...)
{
    char szChunk[1025]; // wvsprintfA writes at most 1024 characters and the NUL
    va_list args;
    va_start(args, pszFormat);
    wvsprintfA(szChunk, pszFormat, args);
    va_end(args);
    return Add(szChunk);
}

// Copies at most cchMax characters of pszText into pszOut (cchMax + 1 bytes);
// a null text gives an empty one.
static const char* CutText(char* pszOut, const char* pszText, int cchMax)
{
    lstrcpynA(pszOut, pszText ? pszText : "", cchMax + 1);
    return pszOut;
}

bool OsVersionText(char* pszOut, const OSVERSIONINFOA& vi)
{
    int n;
    bool bNT = false;
    if (vi.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        n = wsprintfA(pszOut, "%s ver. %i.%i, build %i.%i.%i", vi.dwMinorVersion ? "Windows98" : "Windows95",
                      (int)vi.dwMajorVersion, (int)vi.dwMinorVersion, (int)HIBYTE(HIWORD(vi.dwBuildNumber)),
                      (int)LOBYTE(HIWORD(vi.dwBuildNumber)), (int)LOWORD(vi.dwBuildNumber));
    else
    {
        bNT = vi.dwPlatformId == VER_PLATFORM_WIN32_NT;
        const char* pszName = vi.dwMajorVersion < 5 ? "WindowsNT" : vi.dwMinorVersion ? "WindowsXP" : "Windows2000";
        n = wsprintfA(pszOut, "%s ver. %i.%i, build %i", pszName, (int)vi.dwMajorVersion, (int)vi.dwMinorVersion,
                      (int)vi.dwBuildNumber);
    }
    char szPack[sizeof(vi.szCSDVersion)];
    CutText(szPack, vi.szCSDVersion, sizeof(szPack) - 1); // the record's text may lack its NUL
    if (szPack[0])
        n += wsprintfA(pszOut + n, ", %s", szPack);
    return bNT;
}

int MeasuredMhz(ULONGLONG qwTscDelta, LONGLONG llTicks, LONGLONG llFrequency)
{
    if (llTicks <= 0 || llFrequency <= 0)
        return 0;
    const double dMhz = (double)qwTscDelta * (double)llFrequency / (double)llTicks / 1000000.0;
    if (!(dMhz >= 0) || dMhz >= 2147483647.0)
        return 0;
    return (int)dMhz;
}

int MemoryText(char* pszOut, const MEMORYSTATUS& ms)
{
    return wsprintfA(pszOut,
                     "\tPhysical :\ttotal %u MB,\tavailable %u MB\r\n"
                     "\tVirtual :\ttotal %u MB,\tavailable %u MB\r\n"
                     "\tPage file :\ttotal %u MB,\tavailable %u MB",
                     (unsigned)(ms.dwTotalPhys >> 20), (unsigned)(ms.dwAvailPhys >> 20),
                     (unsigned)(ms.dwTotalVirtual >> 20), (unsigned)(ms.dwAvailVirtual >> 20),
                     (unsigned)(ms.dwTotalPageFile >> 20), (unsigned)(ms.dwAvailPageFile >> 20));
}

int DisplayFlagsText(char* pszOut, DWORD dwStateFlags, DWORD dwDisplayFlags)
{
    static const struct
    {
        DWORD dwFlag;
        const char* pszWord;
    } s_aState[] = {
        {0x4, "PRIMARY "},          {0x2, "multi "},   {0x1, "desktop "},
        {0x8, "mirror "},           {0x8000000, "ModesPruned "}, {0x20, "removable "},
        {0x10, "VGACompatible "},   {0x4000000, "remote "},      {0x2000000, "disconnect "},
    };
    pszOut[0] = 0;
    for (const auto& s : s_aState)
        if (dwStateFlags & s.dwFlag)
            lstrcatA(pszOut, s.pszWord);
    // One word for the display flags, by their value.
    switch (dwDisplayFlags)
    {
    case 1:
        lstrcatA(pszOut, "gray");
        break;
    case 2:
        lstrcatA(pszOut, "interlaced");
        break;
    case 4:
        lstrcatA(pszOut, "testmode");
        break;
    }
    return lstrlenA(pszOut);
}

int DisplayDeviceLine(char* pszOut, int nIndex, const char* pszName, int nWidth, int nHeight, int nBits, int nHz,
                      const char* pszString, const char* pszFlags)
{
    char szName[32], szString[128], szFlags[160];
    return wsprintfA(pszOut, "\t[%i] '%s', %i*%i*%ibpp %iHz, '%s', [%s] %s\r\n", nIndex,
                     CutText(szName, pszName, sizeof(szName) - 1), nWidth, nHeight, nBits, nHz,
                     CutText(szString, pszString, sizeof(szString) - 1),
                     CutText(szFlags, pszFlags, sizeof(szFlags) - 1), "");
}

int CurrentModeText(char* pszOut, int nWidth, int nHeight, int nBits, int nRefresh)
{
    int n = wsprintfA(pszOut, "Current display mode: %i*%i*%ibpp, ", nWidth, nHeight, nBits);
    if (nRefresh == 0 || nRefresh == 1)
        n += wsprintfA(pszOut + n, "default refresh (%i)", nRefresh);
    else
        n += wsprintfA(pszOut + n, "%iHz", nRefresh);
    return n;
}

const char* DriveTypeName(UINT nType)
{
    static const char* const s_apszTypes[] = {"UNKNOWN", "NO_ROOT_DIR", "REMOVABLE", "FIXED",
                                              "REMOTE",  "CDROM",       "RAMDISK"};
    return nType < sizeof(s_apszTypes) / sizeof(s_apszTypes[0]) ? s_apszTypes[nType] : "absolutely unknown";
}

int TimingModeText(char* pszOut, const char* pszValueName, DWORD dwMode)
{
    char szName[64];
    CutText(szName, pszValueName, sizeof(szName) - 1);
    const char* pszMode = NULL;
    switch (dwMode)
    {
    case 0x10010:
    case 0xFFFFF:
        pszMode = "UDMA5/ATA100";
        break;
    case 0xFFFF:
    case 0x8010:
        pszMode = "UDMA4/ATA66";
        break;
    case 0x2010:
        pszMode = "UDMA2/ATA33";
        break;
    case 0x410:
        pszMode = "MW DMA2/PIO4";
        break;
    case 0x1F:
        pszMode = "--- PIO only --- ###ERROR###";
        break;
    case 0xFFFFFFFF:
        pszMode = "maximum possible";
        break;
    }
    if (pszMode)
        return wsprintfA(pszOut, "%s: %s", szName, pszMode);
    return wsprintfA(pszOut, "%s: \t\tunknown %08X", szName, (unsigned)dwMode);
}

int VersionFlagsText(char* pszOut, DWORD dwFileFlags)
{
    static const struct
    {
        DWORD dwFlag;
        const char* pszWord;
    } s_aFlags[] = {
        {0x1, "+DEBUG"},         {0x2, "+PRERELEASE"},   {0x4, "+PATCHED"},
        {0x8, "+PRIVATEBUILD"},  {0x10, "+INFOINFERRED"}, {0x20, "+SPECIALBUILD"},
    };
    char szAll[80] = "";
    for (const auto& f : s_aFlags)
        if (dwFileFlags & f.dwFlag)
            lstrcatA(szAll, f.pszWord);
    lstrcpyA(pszOut, szAll[0] ? szAll + 1 : szAll); // without the first "+"
    return lstrlenA(pszOut);
}

int FormatVersionText(char* pszOut, int cbOut, const VS_FIXEDFILEINFO& ffi, DWORD nFileSize,
                      const SYSTEMTIME& stWrite)
{
    if (cbOut <= 0)
        return 0;
    char szFlags[80];
    VersionFlagsText(szFlags, ffi.dwFileFlags);
    char szText[256];
    wsprintfA(szText, "%d.%d.%d.%d (%d.%d.%d.%d) %s {%i %i/%i/%i %i:%02i:%02i}", (int)HIWORD(ffi.dwFileVersionMS),
              (int)LOWORD(ffi.dwFileVersionMS), (int)HIWORD(ffi.dwFileVersionLS), (int)LOWORD(ffi.dwFileVersionLS),
              (int)HIWORD(ffi.dwProductVersionMS), (int)LOWORD(ffi.dwProductVersionMS),
              (int)HIWORD(ffi.dwProductVersionLS), (int)LOWORD(ffi.dwProductVersionLS), szFlags, (int)nFileSize,
              (int)stWrite.wYear, (int)stWrite.wMonth, (int)stWrite.wDay, (int)stWrite.wHour, (int)stWrite.wMinute,
              (int)stWrite.wSecond);
    lstrcpynA(pszOut, szText, cbOut);
    return lstrlenA(pszOut);
}

int ModuleLine(char* pszOut, const void* pBase, const char* pszPath, const char* pszVersion, bool bNoSymbols)
{
    char szPath[LOG_PATH_SIZE], szVersion[256];
    const ULONGLONG qwBase = (ULONGLONG)(UINT_PTR)pBase;
    return wsprintfA(pszOut, "\t[0x%08X%08X] \"%s\" %s%s\r\n", (unsigned)(qwBase >> 32), (unsigned)qwBase,
                     CutText(szPath, pszPath, sizeof(szPath) - 1), CutText(szVersion, pszVersion, sizeof(szVersion) - 1),
                     bNoSymbols ? " ### Symbols not found" : "");
}

bool CHeapText::Reserve(size_t cb)
{
    if (cb <= m_cb)
        return true;
    // To the size needed or twice the old capacity, whichever is larger.
    size_t cbNew = m_cb * 2 > cb ? m_cb * 2 : cb;
    if (cbNew == 0)
        cbNew = 1024;
    char* pNew = (char*)realloc(m_psz, cbNew);
    if (!pNew)
        return false;
    if (!m_psz)
        pNew[0] = 0;
    m_psz = pNew;
    m_cb = cbNew;
    return true;
}

bool CHeapText::Add(const char* pszChunk, size_t cch)
{
    if (!Reserve(m_cch + cch + 1))
    {
        m_bFailed = true;
        return false;
    }
    memcpy(m_psz + m_cch, pszChunk, cch);
    m_cch += cch;
    m_psz[m_cch] = 0;
    return true;
}

bool CHeapText::Add(const char* pszChunk)
{
    return Add(pszChunk, strlen(pszChunk));
}

bool CHeapText::Printf(const char* pszFormat, ...)
{
    char szChunk[1025]; // wvsprintfA writes at most 1024 characters and the NUL
    va_list args;
    va_start(args, pszFormat);
    const int cch = wvsprintfA(szChunk, pszFormat, args);
    va_end(args);
    return Add(szChunk, cch > 0 ? (size_t)cch : 0);
}

char* CHeapText::Detach()
{
    char* psz = m_psz;
    m_psz = NULL;
    m_cch = m_cb = 0;
    return psz;
}
