#pragma once
// The hidden windows through which the stack answers: their classes, made
// when the library starts, and their procedures.
#include "Common.h"

namespace Toshiba {

const wchar_t kPortWindowClass[] = L"TosBtPortWnd";
const wchar_t kLocatorWindowClass[] = L"TosBtLocatorWnd";

LRESULT CALLBACK PortWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK LocatorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// A hidden, top-level window of the class, owned by the calling thread.
HWND CreateServiceWindow(const wchar_t* windowClass, const wchar_t* title);

}  // namespace Toshiba
