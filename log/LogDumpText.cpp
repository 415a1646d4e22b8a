#include "LogDumps.h"

namespace {

// Appends to a bounded text; what does not fit is cut.
class CReportText
{
public:
    CReportText(char* psz, int cb) : m_psz(psz), m_cb(cb), m_n(0) { m_psz[0] = 0; }

    void Add(const char* pszText)
    {
        const int cchText = lstrlenA(pszText);
        const int cchCopy = cchText < m_cb - 1 - m_n ? cchText : m_cb - 1 - m_n;
        if (cchCopy <= 0)
            return;
        memcpy(m_psz + m_n, pszText, cchCopy);
        m_n += cchCopy;
        m_psz[m_n] = 0;
    }
    void Printf(const char* pszFormat, ...)
    {
        char szPiece[1025]; // wvsprintfA writes at most 1024 characters and the NUL
        va_list args;
        va_start(args, pszFormat);
        wvsprintfA(szPiece, pszFormat, args);
        va_end(args);
        Add(szPiece);
    }
    int Length() const { return m_n; }

private:
    char* m_psz;
    int m_cb;
    int m_n;
};

// The four parts of a file's fixed version, most significant first; all 0
// when the file has none.
void FileVersionOf(const char* pszPath, WORD awVersion[4])
{
    awVersion[0] = awVersion[1] = awVersion[2] = awVersion[3] = 0;
    DWORD dwHandle = 0;
    const DWORD cbInfo = GetFileVersionInfoSizeA(pszPath, &dwHandle);
    if (cbInfo == 0)
        return;
    void* pInfo = HeapAlloc(GetProcessHeap(), 0, cbInfo);
    if (!pInfo)
        return;
    VS_FIXEDFILEINFO* pFixed = NULL;
    UINT cbFixed = 0;
    if (GetFileVersionInfoA(pszPath, 0, cbInfo, pInfo) && VerQueryValueA(pInfo, "\\", (void**)&pFixed, &cbFixed) &&
        pFixed && cbFixed >= sizeof(VS_FIXEDFILEINFO))
    {
        awVersion[0] = HIWORD(pFixed->dwFileVersionMS);
        awVersion[1] = LOWORD(pFixed->dwFileVersionMS);
        awVersion[2] = HIWORD(pFixed->dwFileVersionLS);
        awVersion[3] = LOWORD(pFixed->dwFileVersionLS);
    }
    HeapFree(GetProcessHeap(), 0, pInfo);
}

// True when cb bytes at pv lie in committed, readable memory of one region.
bool IsReadable(const void* pv, SIZE_T cb)
{
    MEMORY_BASIC_INFORMATION mbi;
    if (!VirtualQuery(pv, &mbi, sizeof(mbi)) || mbi.State != MEM_COMMIT)
        return false;
    if ((mbi.Protect & (PAGE_NOACCESS | PAGE_GUARD)) || mbi.Protect == 0)
        return false;
    return (const BYTE*)pv + cb <= (const BYTE*)mbi.BaseAddress + mbi.RegionSize;
}

// Where an address lies: its module's file name and version, the number of
// the section that holds it (from 1) and the offset in that section. An
// address outside any module image gives no name, section 0 and the address
// itself; nothing is read that is not a readable image header.
struct CodePlace
{
    char szModule[MAX_PATH];
    int nSection;
    DWORD dwOffset;
    WORD awVersion[4];
};

void LocateCode(DWORD64 qwAddress, CodePlace* pPlace)
{
    ZeroMemory(pPlace, sizeof(*pPlace));
    pPlace->dwOffset = (DWORD)qwAddress;
    MEMORY_BASIC_INFORMATION mbi;
    if (!VirtualQuery((const void*)(ULONG_PTR)qwAddress, &mbi, sizeof(mbi)) || mbi.Type != MEM_IMAGE ||
        !mbi.AllocationBase)
        return;
    const BYTE* pBase = (const BYTE*)mbi.AllocationBase;
    if (!IsReadable(pBase, sizeof(IMAGE_DOS_HEADER)))
        return;
    const IMAGE_DOS_HEADER* pDos = (const IMAGE_DOS_HEADER*)pBase;
    if (pDos->e_magic != IMAGE_DOS_SIGNATURE || pDos->e_lfanew <= 0 || pDos->e_lfanew > 0x10000)
        return;
    const IMAGE_NT_HEADERS64* pNt = (const IMAGE_NT_HEADERS64*)(pBase + pDos->e_lfanew);
    if (!IsReadable(pNt, sizeof(*pNt)) || pNt->Signature != IMAGE_NT_SIGNATURE)
        return;
    if (!GetModuleFileNameA((HMODULE)pBase, pPlace->szModule, MAX_PATH))
        pPlace->szModule[0] = 0;
    FileVersionOf(pPlace->szModule, pPlace->awVersion);

    const DWORD64 qwRva = qwAddress - (DWORD64)(ULONG_PTR)pBase;
    pPlace->dwOffset = (DWORD)qwRva;
    const IMAGE_SECTION_HEADER* pSection = IMAGE_FIRST_SECTION(pNt);
    const WORD nSections = pNt->FileHeader.NumberOfSections;
    if (!IsReadable(pSection, (SIZE_T)nSections * sizeof(IMAGE_SECTION_HEADER)))
        return;
    for (WORD i = 0; i < nSections; ++i, ++pSection)
    {
        const DWORD64 qwStart = pSection->VirtualAddress;
        const DWORD cbSize = pSection->Misc.VirtualSize > pSection->SizeOfRawData ? pSection->Misc.VirtualSize
                                                                                  : pSection->SizeOfRawData;
        if (qwRva >= qwStart && qwRva <= qwStart + cbSize)
        {
            pPlace->nSection = i + 1;
            pPlace->dwOffset = (DWORD)(qwRva - qwStart);
            return;
        }
    }
}

#define HI32(q) ((DWORD)((DWORD64)(q) >> 32))
#define LO32(q) ((DWORD)(DWORD64)(q))

void AddExceptionReport(CReportText& text, const EXCEPTION_POINTERS* pep)
{
    char szExe[MAX_PATH];
    if (!GetModuleFileNameA(NULL, szExe, MAX_PATH))
        szExe[0] = 0;
    WORD awExe[4];
    FileVersionOf(szExe, awExe);
    text.Printf("\tApplication: %hs (%d.%d.%d.%d)\r\n", szExe, awExe[0], awExe[1], awExe[2], awExe[3]);

    const EXCEPTION_RECORD* pRecord = pep->ExceptionRecord;
    const CONTEXT* pContext = pep->ContextRecord;
    if (!pRecord || !pContext)
    {
        text.Printf("### ExceptionRecord = 0x%08X, ContextRecord = 0x%08X\r\n", LO32(pRecord), LO32(pContext));
        return;
    }
    CodePlace place;
    LocateCode(pContext->Rip, &place);
    text.Printf("\r\n***\r\nException code: %08X %s\r\nFault Address: %08X %02X:%08X %hs (%d.%d.%d.%d)\r\n"
                "Program counter RIP: %08X:%08X\r\nInteger registers:\r\n",
                pRecord->ExceptionCode, ExceptionName(pRecord->ExceptionCode), LO32(pRecord->ExceptionAddress),
                place.nSection, place.dwOffset, place.szModule, place.awVersion[0], place.awVersion[1],
                place.awVersion[2], place.awVersion[3], HI32(pContext->Rip), LO32(pContext->Rip));
    text.Printf("\tRAX: %08X:%08X    RBX: %08X:%08X    RCX: %08X:%08X    RDX: %08X:%08X\r\n", HI32(pContext->Rax),
                LO32(pContext->Rax), HI32(pContext->Rbx), LO32(pContext->Rbx), HI32(pContext->Rcx), LO32(pContext->Rcx),
                HI32(pContext->Rdx), LO32(pContext->Rdx));
    text.Printf("\tRSP: %08X:%08X    RBP: %08X:%08X    RSI: %08X:%08X    RDI: %08X:%08X\r\n", HI32(pContext->Rsp),
                LO32(pContext->Rsp), HI32(pContext->Rbp), LO32(pContext->Rbp), HI32(pContext->Rsi), LO32(pContext->Rsi),
                HI32(pContext->Rdi), LO32(pContext->Rdi));
    text.Printf("\tR8:  %08X:%08X    R9:  %08X:%08X    R10: %08X:%08X    R11: %08X:%08X\r\n", HI32(pContext->R8),
                LO32(pContext->R8), HI32(pContext->R9), LO32(pContext->R9), HI32(pContext->R10), LO32(pContext->R10),
                HI32(pContext->R11), LO32(pContext->R11));
    text.Printf("\tR12: %08X:%08X    R13: %08X:%08X    R14: %08X:%08X    R15: %08X:%08X\r\n", HI32(pContext->R12),
                LO32(pContext->R12), HI32(pContext->R13), LO32(pContext->R13), HI32(pContext->R14), LO32(pContext->R14),
                HI32(pContext->R15), LO32(pContext->R15));
    text.Printf("Segment Registers and processor flags:\r\n"
                "\tCS: %04X    DS: %04X    ES: %04X    FS: %04X    GS: %04X    SS: %04X    flags: %04X\r\n\r\n***\r\n",
                pContext->SegCs, pContext->SegDs, pContext->SegEs, pContext->SegFs, pContext->SegGs, pContext->SegSs,
                pContext->EFlags);
    if (pRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && pRecord->NumberParameters >= 2)
        text.Printf("EXCEPTION_ACCESS_VIOLATION details: (%s 0x%08x)\r\n",
                    pRecord->ExceptionInformation[0] ? "write to" : "read from", LO32(pRecord->ExceptionInformation[1]));
}

} // namespace

void CutDumpHeader(char* pszOut, const char* pszOpening, const char* pszText)
{
    CReportText text(pszOut, LOG_TEXT_SIZE);
    text.Add(pszOpening);
    text.Add(pszText);
    if (lstrlenA(pszOpening) + lstrlenA(pszText) < LOG_TEXT_SIZE)
        return;
    int cch = 0;
    while (cch < LOG_TEXT_SIZE - 4)
    {
        const int nStep = IsDBCSLeadByte((BYTE)pszOut[cch]) && pszOut[cch + 1] ? 2 : 1;
        if (cch + nStep > LOG_TEXT_SIZE - 4)
            break;
        cch += nStep;
    }
    lstrcpyA(pszOut + cch, "...");
}

const char* RootKeyName(HKEY hRoot, char* pszOut)
{
    static const struct
    {
        HKEY hKey;
        const char* pszName;
    } s_rgRoots[] = {
        {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},   {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
        {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"}, {HKEY_USERS, "HKEY_USERS"},
        {HKEY_PERFORMANCE_DATA, "HKEY_PERFORMANCE_DATA"}, {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"},
        {HKEY_DYN_DATA, "HKEY_DYN_DATA"},
    };
    for (const auto& root : s_rgRoots)
        if (root.hKey == hRoot)
            return lstrcpyA(pszOut, root.pszName);
    wsprintfA(pszOut, "HKEY 0x%08X%08X", HI32((ULONG_PTR)hRoot), LO32((ULONG_PTR)hRoot));
    return pszOut;
}

const char* ExceptionName(DWORD dwCode)
{
    static const struct
    {
        DWORD dwCode;
        const char* pszName;
    } s_rgNames[] = {
        {0x80000001, "GUARD_PAGE"},
        {0x80000002, "DATATYPE_MISALIGNMENT"},
        {0x80000003, "BREAKPOINT"},
        {0x80000004, "SINGLE_STEP"},
        {0xC0000005, "ACCESS_VIOLATION"},
        {0xC0000006, "IN_PAGE_ERROR"},
        {0xC0000008, "INVALID_HANDLE"},
        {0xC000001D, "ILLEGAL_INSTRUCTION"},
        {0xC0000025, "NONCONTINUABLE_EXCEPTION"},
        {0xC0000026, "INVALID_DISPOSITION"},
        {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
        {0xC000008D, "FLT_DENORMAL_OPERAND"},
        {0xC000008E, "FLT_DIVIDE_BY_ZERO"},
        {0xC000008F, "FLT_INEXACT_RESULT"},
        {0xC0000090, "FLT_INVALID_OPERATION"},
        {0xC0000091, "FLT_OVERFLOW"},
        {0xC0000092, "FLT_STACK_CHECK"},
        {0xC0000093, "FLT_UNDERFLOW"},
        {0xC0000094, "INT_DIVIDE_BY_ZERO"},
        {0xC0000095, "INT_OVERFLOW"},
        {0xC0000096, "PRIV_INSTRUCTION"},
        {0xC00000FD, "STACK_OVERFLOW"},
    };
    for (const auto& row : s_rgNames)
        if (row.dwCode == dwCode)
            return row.pszName;
    return "Unknown exception code";
}

int BuildCallStackReport(char* pszOut, int cbOut, const EXCEPTION_POINTERS* pep)
{
    CReportText text(pszOut, cbOut);
    text.Add("Dumping calls stack\r\n");
    if (!pep)
        text.Add("### ExceptionPointers = NULL\r\n");
    else
        AddExceptionReport(text, pep);
    text.Add("### Stack walk not ready yet for 64 bit version ###\r\n");
    return text.Length();
}
