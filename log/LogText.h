// Text helpers of the log library: the columns of a log line, the banners'
// time text, file naming and the caller prefix. They take all their inputs as
// parameters and touch no global state, so they can be checked on their own.
#pragma once

#include <windows.h>

#include <stdlib.h>

// Sizes shared by the log library.
const int LOG_RING_SIZE = 1200;      // slots in the message ring
const int LOG_TEXT_SIZE = 256;       // bytes of one slot's text, NUL included
const int LOG_LINE_SIZE = 2048;      // bytes of one formatted line
const int LOG_PREFIX_SIZE = 64;      // bytes of the caller prefix, NUL included
const int LOG_NAME_SIZE = 292;       // bytes of the log file's final name
const int LOG_PATH_SIZE = 260;       // bytes of a path read from the system

// A Win32 code as an HRESULT: 0 stays 0, a positive code c becomes
// 0x80070000 | (c & 0xFFFF), a negative value passes unchanged.
HRESULT HResultFromWin32(DWORD dwError);

// Time column of a line into pszOut (at least 16 bytes): "hh:mm:ss.mmm" when
// bFull, "        .mmm" otherwise, "        .---" for a time whose wYear is
// 0xFFFF (a line without a time of its own). Returns its length.
int FormatTimeColumn(char* pszOut, const SYSTEMTIME& st, bool bFull);

// First column group of a line into pszOut (at least 64 bytes), chosen by
// comparing the line's thread and time with those of the line before it.
// Returns its length.
int FormatColumnGroup(char* pszOut, DWORD dwThreadId, const char* pszApartment, int nPriority,
                      const SYSTEMTIME& st, DWORD dwLastThread, const SYSTEMTIME& stLast);

// The level column of a line, "%i " with the level, into pszOut (at least 16
// bytes). Returns its length.
int FormatLevel(char* pszOut, int nLevel);

// A wide trace record in the ANSI code page, as WideCharToMultiByte with
// CP_ACP gives it, into pszOut (cbOut bytes, NUL-terminated): at most cchMax
// characters, up to the record's NUL. Returns the length written.
int ConvertRecord(const wchar_t* pszRecord, int cchMax, char* pszOut, int cbOut);

// Message text of a line: CR and LF runs become line breaks, continuation
// lines are indented by four tabs, and the text ends with CR LF. nRoom is the
// number of characters pszOut may take; one more byte takes the NUL. An empty
// message gives nothing at all. Returns the length written.
int NormaliseMessage(char* pszOut, int nRoom, const char* pszMessage);

// "Local 2026/Dec/8 13:05:42.007" into pszOut (at least 64 bytes).
int LocalTimeText(char* pszOut, const SYSTEMTIME& st);

// A signed 64-bit value in groups of three digits ("1 234 567") into pszOut
// (at least 32 bytes).
int GroupedNumber(char* pszOut, LONGLONG llValue);

// Puts the open time into a log file name (a buffer of LOG_NAME_SIZE bytes):
// "stem_YYYY-MM-DD_hh.mm.ss.ext", or the stamp appended when the name has no
// extension. A name that would grow too long stays as it is.
void ApplyTimestamp(char* pszName, const SYSTEMTIME& st);

// Puts "_%04X" of the process id into a log file name (a buffer of
// LOG_NAME_SIZE bytes) in front of its extension, or at its end.
void ApplyProcessSeparate(char* pszName, DWORD dwProcessId);

// Caller prefix from a module's full path: the file name without ".dll" or
// ".exe", upper-cased, cut to cbSize - 3 characters, followed by ": ".
// A path without "\" gives "N/A: "; a size of 2 or less an empty text.
void ShapeModulePrefix(const char* pszPath, char* pszOut, UINT cbSize);

// The library's path as one registry key name: every "\" becomes "|".
// Returns false when it does not fit cbOut bytes.
bool MakePipePath(const char* pszPath, char* pszOut, int cbOut);

// Default log file of a library: its directory followed by "log.log", or
// "c:\Temp\log.log" when the path has no directory. pszOut holds
// LOG_PATH_SIZE bytes; false when the name would not fit.
bool MakeDefaultLogName(const char* pszLibraryPath, char* pszOut);

// Symbol search path of the process into pszOut (cchOut bytes): the Windows
// directory's "Symbols\dll\" folder, then the _DSPDB text when it is set
// (pszDspdb not null), then the executable's directory. A segment that does not
// fit is left out. False when the Windows directory is missing.
bool BuildSymbolPath(char* pszOut, int cchOut, const char* pszWindowsDir,
                     const char* pszDspdb, const char* pszExePath);

// Appends whole chunks to a fixed buffer. A chunk that does not fit, with
// the reserve kept free behind it, is refused and the text stays as it was,
// so the text only ever holds whole lines and always ends with its NUL.
class CBoundedText
{
public:
    CBoundedText(char* pszBuf, int cbBuf);

    // Bytes that every later chunk must leave free (for a closing chunk).
    void SetReserve(int cbReserve) { m_cbReserve = cbReserve; }
    bool Add(const char* pszChunk);
    // One formatted chunk of at most 1024 characters.
    bool Printf(const char* pszFormat, ...);

    const char* Text() const { return m_psz; }
    int Length() const { return m_cch; }
    // True once a chunk was refused.
    bool Refused() const { return m_bRefused; }

private:
    char* m_psz;
    int m_cb;
    int m_cch;
    int m_cbReserve;
    bool m_bRefused;
};

// Operating-system text of a version record ("WindowsXP ver. 6.1, build
// 7601, Service Pack 1") into pszOut (at least 256 bytes). True on the NT
// platform.
bool OsVersionText(char* pszOut, const OSVERSIONINFOA& vi);

// Processor frequency in MHz from a time-stamp-counter difference measured
// over nTicks ticks of a counter running at llFrequency ticks a second; 0 when
// it cannot be computed.
int MeasuredMhz(ULONGLONG qwTscDelta, LONGLONG llTicks, LONGLONG llFrequency);

// Memory text of the system block from a memory status (amounts in MB).
int MemoryText(char* pszOut, const MEMORYSTATUS& ms);

// Flags text of a display device: its state-flag words and its display-flags
// word, each followed by a blank. pszOut holds at least 160 bytes.
int DisplayFlagsText(char* pszOut, DWORD dwStateFlags, DWORD dwDisplayFlags);

// One device line of the display text, "\t[0] 'name', 1024*768*32bpp 60Hz,
// 'string', [flags] \r\n". pszOut holds at least 400 bytes; the texts are cut
// to the sizes of the display-device record.
int DisplayDeviceLine(char* pszOut, int nIndex, const char* pszName, int nWidth, int nHeight, int nBits, int nHz,
                      const char* pszString, const char* pszFlags);

// "Current display mode: 1024*768*32bpp, 60Hz" (or "default refresh (n)" for
// a refresh of 0 or 1). pszOut holds at least 128 bytes.
int CurrentModeText(char* pszOut, int nWidth, int nHeight, int nBits, int nRefresh);

// Name of a drive type as GetDriveTypeA gives it ("FIXED").
const char* DriveTypeName(UINT nType);

// "Name: UDMA2/ATA33" for an IDE channel's timing-mode value. pszOut holds at
// least 128 bytes; the name is cut to 63 characters.
int TimingModeText(char* pszOut, const char* pszValueName, DWORD dwMode);

// The flag words of a fixed file version ("DEBUG+PRERELEASE"), empty for
// none. pszOut holds at least 80 bytes.
int VersionFlagsText(char* pszOut, DWORD dwFileFlags);

// Version text of a file: "1.2.3.4 (1.2.3.4) DEBUG {size y/m/d h:mm:ss}" into
// pszOut (cbOut bytes, cut to fit).
int FormatVersionText(char* pszOut, int cbOut, const VS_FIXEDFILEINFO& ffi, DWORD nFileSize,
                      const SYSTEMTIME& stWrite);

// One line of the module list: "\t[0x<16 hex digits>] "path" version" and
// " ### Symbols not found" when asked, then CR LF. pszOut holds at least
// 1024 bytes; the path and the version are cut to 259 and 255 characters.
int ModuleLine(char* pszOut, const void* pBase, const char* pszPath, const char* pszVersion, bool bNoSymbols);

// A growing text on the C heap (its owner frees a detached text with free()).
// A chunk that cannot be added for want of memory is left out and noted.
class CHeapText
{
public:
    CHeapText() : m_psz(NULL), m_cch(0), m_cb(0), m_bFailed(false) {}
    ~CHeapText() { free(m_psz); }
    CHeapText(const CHeapText&) = delete;
    CHeapText& operator=(const CHeapText&) = delete;

    bool Reserve(size_t cb);
    bool Add(const char* pszChunk);
    bool Add(const char* pszChunk, size_t cch);
    // One formatted chunk of at most 1024 characters.
    bool Printf(const char* pszFormat, ...);
    char* Detach();

    const char* Text() const { return m_psz ? m_psz : ""; }
    size_t Length() const { return m_cch; }
    // True once a chunk was left out.
    bool Failed() const { return m_bFailed; }

private:
    char* m_psz;
    size_t m_cch;
    size_t m_cb;
    bool m_bFailed;
};
