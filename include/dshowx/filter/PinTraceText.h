// Texts of pin directions and quality messages in trace lines.
#pragma once

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
