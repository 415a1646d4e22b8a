// Texts of pin directions and quality messages in trace lines.
#pragma once

#include "DSTrace.h"
#include "text/TraceText.h"

#include <dshow.h>

// Text of a pin direction in trace lines.
inline LPCWSTR PinDirText(PIN_DIRECTION ePinDir)
{
    return (PINDIR_INPUT == ePinDir) ? L"In" : L"Out";
}

// Text of a quality message's type.
inline LPCWSTR QualityTypeText(const Quality& q)
{
    return (0 != q.Type) ? L"Flood" : L"Famine";
}

// The trace line of a quality message that either pin is handed.
inline void TraceQualityNotify(LPCWSTR pszTraceName, IBaseFilter* pSelf, const Quality& q)
{
    WCHAR szLate[50];
    WCHAR szTime[50];
    _LogTrace(atlTraceCOM, eTL_Verbose, L"%s IQualityControl::Notify( 0x%X, %s, %i, %s, %s )\n", pszTraceName,
              static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pSelf)), QualityTypeText(q), q.Proportion,
              ReferenceTimeToText(q.Late, szLate), ReferenceTimeToText(q.TimeStamp, szTime));
}
