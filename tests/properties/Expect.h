#pragma once
// Checks shared by the property suites.
#include <Corvane/Properties.h>

#include "kit/TestKit.h"

#include <string>

using testkit::ThrowsWinError;

inline std::wstring Text(const _bstr_t& text) {
    const wchar_t* chars = text;
    return std::wstring(chars ? chars : L"", text.length());
}
