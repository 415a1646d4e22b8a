#include "SystemInfo.h"

#include <string.h>
#include <x86intrin.h>

namespace {

const char s_szBlockEnd[] = "\r\n---8<---\r\n";
// Room kept after the display device lines for the current-mode line.
const int CURRENT_MODE_ROOM = 128;
const int REG_TEXT_SIZE = 256; // bytes read of a registry text, at most

// A registry text of at most REG_TEXT_SIZE bytes into pszOut (REG_TEXT_SIZE
// + 1 bytes); empty when the value is missing, longer or not a text.
void ReadRegText(HKEY hKey, const char* pszName, char* pszOut)
{
    DWORD dwType = 0, cb = REG_TEXT_SIZE;
    if (RegQueryValueExA(hKey, pszName, NULL, &dwType, (BYTE*)pszOut, &cb) != ERROR_SUCCESS ||
        (dwType != REG_SZ && dwType != REG_EXPAND_SZ && dwType != REG_MULTI_SZ) || cb > (DWORD)REG_TEXT_SIZE)
        cb = 0;
    pszOut[cb] = 0; // the stored text need not end with its NUL
}

// A 4-byte registry value; false when it is missing or of another size.
bool ReadRegDword(HKEY hKey, const char* pszName, DWORD* pdw)
{
    DWORD dw = 0, cb = sizeof(dw);
    if (RegQueryValueExA(hKey, pszName, NULL, NULL, (BYTE*)&dw, &cb) != ERROR_SUCCESS || cb != sizeof(dw))
        return false;
    *pdw = dw;
    return true;
}

// Appends one device line of an enumerator; false when the text is full.
bool GetDeviceText(HKEY hEnumerator, const char* pszDevice, bool bNT, CBoundedText* pText)
{
    HKEY hDevice;
    if (RegOpenKeyExA(hEnumerator, pszDevice, 0, KEY_READ, &hDevice) != ERROR_SUCCESS)
        return true;
    char szInstance[128];
    DWORD cch = sizeof(szInstance);
    HKEY hInstance = NULL;
    const bool bOpened = RegEnumKeyExA(hDevice, 0, szInstance, &cch, NULL, NULL, NULL, NULL) == ERROR_SUCCESS &&
                         RegOpenKeyExA(hDevice, szInstance, 0, KEY_READ, &hInstance) == ERROR_SUCCESS;
    RegCloseKey(hDevice);
    if (!bOpened)
        return true;
    if (bNT)
    {
        HKEY hControl;
        if (RegOpenKeyExA(hInstance, "Control", 0, KEY_READ, &hControl) != ERROR_SUCCESS)
        {
            RegCloseKey(hInstance);
            return true;
        }
        RegCloseKey(hControl);
    }
    char szClass[REG_TEXT_SIZE + 2], szName[REG_TEXT_SIZE + 1], szMaker[REG_TEXT_SIZE + 1];
    ReadRegText(hInstance, "Class", szClass);
    if (!szClass[0])
        ReadRegText(hInstance, "CompatibleIDs", szClass);
    ReadRegText(hInstance, "FriendlyName", szName);
    if (!szName[0])
        ReadRegText(hInstance, "DeviceDesc", szName);
    ReadRegText(hInstance, "Mfg", szMaker);
    RegCloseKey(hInstance);
    lstrcatA(szClass, ":");
    return pText->Printf("\t%-15s\t%s (%s)\r\n", szClass, szName, szMaker);
}

} // namespace

bool GetOSVersionText(CBoundedText* pText)
{
    OSVERSIONINFOA vi;
    ZeroMemory(&vi, sizeof(vi));
    vi.dwOSVersionInfoSize = sizeof(vi);
    if (!GetVersionExA(&vi))
        return true; // no text; this library runs only on the NT family
    char szText[256 + sizeof(vi.szCSDVersion)];
    const bool bNT = OsVersionText(szText, vi);
    pText->Add(szText);
    return bNT;
}

void GetProcessorText(HKEY hRoot, bool bNT, CBoundedText* pText)
{
    if (bNT)
    {
        char szIdentifier[REG_TEXT_SIZE + 1] = "";
        DWORD dwMhz = 0;
        HKEY hKey;
        if (RegOpenKeyExA(hRoot, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", 0, KEY_READ, &hKey) ==
            ERROR_SUCCESS)
        {
            ReadRegText(hKey, "Identifier", szIdentifier);
            ReadRegDword(hKey, "~MHz", &dwMhz);
            RegCloseKey(hKey);
        }
        pText->Printf("%s (%i MHz)", szIdentifier, (int)dwMhz);
    }
    else
        pText->Add("???");

    // The time-stamp counter against the performance counter over 10 ms, or
    // against the millisecond timer over 40 ms when that gives no ticks.
    LONGLONG llTicks = 0, llFrequency = 0;
    ULONGLONG qwTsc = 0;
    LARGE_INTEGER liFrequency;
    if (QueryPerformanceFrequency(&liFrequency) && liFrequency.QuadPart > 0)
    {
        LARGE_INTEGER a, b;
        QueryPerformanceCounter(&a);
        const ULONGLONG qwTscA = __rdtsc();
        Sleep(10);
        QueryPerformanceCounter(&b);
        qwTsc = __rdtsc() - qwTscA;
        llTicks = b.QuadPart - a.QuadPart;
        llFrequency = liFrequency.QuadPart;
    }
    if (llTicks <= 0)
    {
        const DWORD dwA = timeGetTime();
        const ULONGLONG qwTscA = __rdtsc();
        Sleep(40);
        const DWORD dwB = timeGetTime();
        qwTsc = __rdtsc() - qwTscA;
        llTicks = (LONGLONG)(DWORD)(dwB - dwA);
        llFrequency = 1000;
    }
    const int nMhz = MeasuredMhz(qwTsc, llTicks, llFrequency);
    if (nMhz)
        pText->Printf(", calculated freq %i MHz", nMhz);
    else
        pText->Add(", cannot calculate processor frequency !!!");
}

void GetMemoryText(CBoundedText* pText)
{
    MEMORYSTATUS ms;
    ZeroMemory(&ms, sizeof(ms));
    ms.dwLength = sizeof(ms);
    GlobalMemoryStatus(&ms);
    char szText[512];
    MemoryText(szText, ms);
    pText->Add(szText);
}

void GetSystemText(CBoundedText* pText)
{
    SYSTEM_INFO si;
    ZeroMemory(&si, sizeof(si));
    GetSystemInfo(&si);
    pText->Printf("OEM ID: %u, number of processors: %u, page size: %u, processor type: %u", (unsigned)si.dwOemId,
                  (unsigned)si.dwNumberOfProcessors, (unsigned)si.dwPageSize, (unsigned)si.dwProcessorType);
}

void GetDisplayText(CBoundedText* pText)
{
    pText->SetReserve(CURRENT_MODE_ROOM);
    for (DWORD i = 0;; ++i)
    {
        DISPLAY_DEVICEA dd;
        ZeroMemory(&dd, sizeof(dd));
        dd.cb = sizeof(dd);
        if (!EnumDisplayDevicesA(NULL, i, &dd, 0))
            break;
        dd.DeviceName[sizeof(dd.DeviceName) - 1] = 0;
        DEVMODEA dm;
        ZeroMemory(&dm, sizeof(dm));
        dm.dmSize = sizeof(dm);
        if (!EnumDisplaySettingsA(dd.DeviceName, ENUM_CURRENT_SETTINGS, &dm))
        {
            ZeroMemory(&dm, sizeof(dm)); // no current mode: its numbers print as 0
            dm.dmSize = sizeof(dm);
        }
        char szFlags[160];
        DisplayFlagsText(szFlags, dd.StateFlags, dm.dmDisplayFlags);
        char szLine[400];
        DisplayDeviceLine(szLine, (int)i, dd.DeviceName, (int)dm.dmPelsWidth, (int)dm.dmPelsHeight,
                          (int)dm.dmBitsPerPel, (int)dm.dmDisplayFrequency, dd.DeviceString, szFlags);
        if (!pText->Add(szLine))
            break;
    }
    pText->SetReserve(0);
    HDC hdc = GetDC(NULL);
    if (!hdc)
        return;
    char szMode[128];
    CurrentModeText(szMode, GetDeviceCaps(hdc, HORZRES), GetDeviceCaps(hdc, VERTRES), GetDeviceCaps(hdc, BITSPIXEL),
                    GetDeviceCaps(hdc, VREFRESH));
    ReleaseDC(NULL, hdc);
    pText->Add(szMode);
}

void GetDrivesText(CBoundedText* pText)
{
    if (!pText->Add("\tletter type fs free total label flags\r\n"))
        return;
    char szRoots[2048];
    const DWORD cchRoots = GetLogicalDriveStringsA(sizeof(szRoots) - 2, szRoots);
    if (cchRoots == 0 || cchRoots > sizeof(szRoots) - 2)
        return;
    szRoots[cchRoots] = szRoots[cchRoots + 1] = 0; // the list ends with an empty root
    for (const char* pszRoot = szRoots; *pszRoot; pszRoot += lstrlenA(pszRoot) + 1)
    {
        char szLineBuf[1024];
        CBoundedText line(szLineBuf, sizeof(szLineBuf));
        line.SetReserve(2); // for the line end
        char szRoot[LOG_PATH_SIZE];
        lstrcpynA(szRoot, pszRoot, sizeof(szRoot));
        const UINT nType = GetDriveTypeA(szRoot);
        line.Printf("\t%s %-10s", szRoot, DriveTypeName(nType));
        char szLabel[MAX_PATH + 1], szFileSystem[MAX_PATH + 1];
        DWORD dwFlags = 0;
        if (nType != DRIVE_REMOVABLE && nType != DRIVE_REMOTE &&
            GetVolumeInformationA(szRoot, szLabel, sizeof(szLabel), NULL, NULL, &dwFlags, szFileSystem,
                                  sizeof(szFileSystem)))
        {
            line.Printf(" %-6s", szFileSystem);
            ULARGE_INTEGER uFree, uTotal;
            if (GetDiskFreeSpaceExA(szRoot, &uFree, &uTotal, NULL))
                line.Printf(" %8dmb %8dmb", (int)(uFree.QuadPart >> 20), (int)(uTotal.QuadPart >> 20));
            else
                line.Printf(" %22s", " ");
            line.Printf(" %-16s", szLabel);
            line.Printf(" flags[%08X]", (unsigned)dwFlags);
            char szVideo[16];
            wsprintfA(szVideo, "%c:\\VIDEO_TS", szRoot[0]);
            const DWORD dwAttributes = GetFileAttributesA(szVideo);
            if (dwAttributes != INVALID_FILE_ATTRIBUTES)
                line.Printf(" VIDEO_TS is present: %08X", (unsigned)dwAttributes);
        }
        line.SetReserve(0);
        line.Add("\r\n");
        if (!pText->Add(line.Text()))
            break;
    }
}

void GetIdeConfigText(HKEY hRoot, bool bNT, CBoundedText* pText)
{
    if (!bNT)
    {
        pText->Add("Such info is not provided by Win9x");
        return;
    }
    HKEY hClass;
    if (RegOpenKeyExA(hRoot, "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96A-E325-11CE-BFC1-08002BE10318}", 0,
                      KEY_READ, &hClass) != ERROR_SUCCESS)
        return;
    static const char* const s_apszChannels[2][3] = {
        {"MasterDeviceTimingMode", "MasteDeviceTimingModeAllowed", "UserMasteDeviceTimingModeAllowed"},
        {"SlaveDeviceTimingMode", "SlaveDeviceTimingModeAllowed", "UserSlaveDeviceTimingModeAllowed"},
    };
    bool bRoom = true;
    for (DWORD i = 0; bRoom; ++i)
    {
        char szName[32];
        DWORD cch = sizeof(szName);
        if (RegEnumKeyExA(hClass, i, szName, &cch, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        HKEY hController;
        if (RegOpenKeyExA(hClass, szName, 0, KEY_READ, &hController) != ERROR_SUCCESS)
            break;
        for (const auto& apszValues : s_apszChannels)
            for (const char* pszValue : apszValues)
            {
                DWORD dwMode;
                if (!ReadRegDword(hController, pszValue, &dwMode))
                    continue;
                char szMode[128];
                TimingModeText(szMode, pszValue, dwMode);
                bRoom = bRoom && pText->Printf("\t[%s] %s\r\n", szName, szMode);
                break;
            }
        RegCloseKey(hController);
    }
    RegCloseKey(hClass);
}

void GetHardwareText(HKEY hRoot, bool bNT, CBoundedText* pText)
{
    HKEY hEnum;
    const LONG lOpen = RegOpenKeyExA(hRoot, bNT ? "SYSTEM\\CurrentControlSet\\Enum" : "Enum", 0, KEY_READ, &hEnum);
    if (lOpen != ERROR_SUCCESS)
    {
        pText->Printf("Can't open subkey for hardware enumeration, hr=0x%X\r\n",
                      (unsigned)HResultFromWin32((DWORD)lOpen));
        return;
    }
    bool bRoom = true;
    for (DWORD i = 0; bRoom; ++i)
    {
        char szEnumerator[256];
        DWORD cch = sizeof(szEnumerator);
        if (RegEnumKeyExA(hEnum, i, szEnumerator, &cch, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        if (strcmp(szEnumerator, "Root") == 0)
            continue;
        HKEY hEnumerator;
        const LONG lSub = RegOpenKeyExA(hEnum, szEnumerator, 0, KEY_READ, &hEnumerator);
        if (lSub != ERROR_SUCCESS)
        {
            bRoom = pText->Printf("Can't open hardware subkey %s, hr=0x%X\r\n", szEnumerator,
                                  (unsigned)HResultFromWin32((DWORD)lSub));
            continue;
        }
        bRoom = pText->Add(szEnumerator);
        for (DWORD j = 0; bRoom; ++j)
        {
            char szDevice[256];
            DWORD cchDevice = sizeof(szDevice);
            if (RegEnumKeyExA(hEnumerator, j, szDevice, &cchDevice, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
                break;
            bRoom = GetDeviceText(hEnumerator, szDevice, bNT, pText);
        }
        RegCloseKey(hEnumerator);
    }
    RegCloseKey(hEnum);
}

int GetSystemInfoText(HKEY hRoot, char* pszOut, int cbOut)
{
    if (!pszOut || cbOut <= 0)
        return 0;
    CBoundedText block(pszOut, cbOut);
    block.SetReserve(sizeof(s_szBlockEnd) - 1);
    char szWork[SYSTEM_SECTION_SIZE];

    CBoundedText os(szWork, sizeof(szWork));
    const bool bNT = GetOSVersionText(&os);
    block.Add("OS version: ");
    block.Add(os.Text());
    block.Add("\r\n");

    CBoundedText processor(szWork, sizeof(szWork));
    GetProcessorText(hRoot, bNT, &processor);
    block.Add("Processor: ");
    block.Add(processor.Text());
    block.Add("\r\n");

    CBoundedText memory(szWork, sizeof(szWork));
    GetMemoryText(&memory);
    block.Add("Memory status:\r\n");
    block.Add(memory.Text());
    block.Add("\r\n");

    CBoundedText system(szWork, sizeof(szWork));
    GetSystemText(&system);
    block.Add("System information: ");
    block.Add(system.Text());
    block.Add("\r\n");

    CBoundedText display(szWork, sizeof(szWork));
    GetDisplayText(&display);
    block.Add("Display info:\r\n");
    block.Add(display.Text());
    block.Add("\r\n");

    CBoundedText drives(szWork, sizeof(szWork));
    GetDrivesText(&drives);
    block.Add("Drives information:\r\n");
    block.Add(drives.Text());

    CBoundedText ide(szWork, sizeof(szWork));
    GetIdeConfigText(hRoot, bNT, &ide);
    block.Add("IDE config:\r\n");
    block.Add(ide.Text());

    block.Add("Hardware information:\r\n");
    GetHardwareText(hRoot, bNT, &block);

    block.SetReserve(0);
    block.Add(s_szBlockEnd);
    return block.Length();
}
