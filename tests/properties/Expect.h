#pragma once
// Checks shared by the property suites.
#include <Corvane/Properties.h>

#include <gtest/gtest.h>

#include <string>

// Whether f throws a CWinException with this function string and code.
template <class F>
::testing::AssertionResult ThrowsWinError(F f, const wchar_t* function, DWORD code) {
    try {
        f();
    } catch (const basalt::CWinException& e) {
        if (e.GetFunction() == function && e.GetErrorCode() == code) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "threw " << e.what();
    }
    return ::testing::AssertionFailure() << "did not throw";
}

inline std::wstring Text(const _bstr_t& text) {
    const wchar_t* chars = text;
    return std::wstring(chars ? chars : L"", text.length());
}
