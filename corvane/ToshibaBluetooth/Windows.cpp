#include "ToshibaBluetooth/Windows.h"

namespace Toshiba {

namespace {

void RegisterClasses() {
    WNDCLASSEXW port = {};
    port.cbSize = sizeof port;
    port.style = CS_HREDRAW | CS_VREDRAW;
    port.lpfnWndProc = PortWindowProc;
    port.hInstance = corvane::GetLibraryModule();
    port.lpszClassName = kPortWindowClass;
    if (!::RegisterClassExW(&port)) throw basalt::CWinException(__LINE__, L"ToshibaBluetooth", L"RegisterClassExW", ::GetLastError());
    WNDCLASSEXW locator = port;
    locator.lpfnWndProc = LocatorWindowProc;
    locator.lpszClassName = kLocatorWindowClass;
    if (!::RegisterClassExW(&locator)) throw basalt::CWinException(__LINE__, L"ToshibaBluetooth", L"RegisterClassExW", ::GetLastError());
}

void UnregisterClasses() {
    ::UnregisterClassW(kPortWindowClass, corvane::GetLibraryModule());
    ::UnregisterClassW(kLocatorWindowClass, corvane::GetLibraryModule());
}

corvane::CStaticTableRegistration s_windows(corvane::orderToshibaWindows, L"Toshiba window classes",
                                            RegisterClasses, UnregisterClasses);

}  // namespace

HWND CreateServiceWindow(const wchar_t* windowClass, const wchar_t* title) {
    // Hidden: only the stack's messages matter, never the window's looks.
    HWND window = ::CreateWindowExW(0, windowClass, title, WS_OVERLAPPEDWINDOW, 0, 0, 1, 1, nullptr, nullptr,
                                    corvane::GetLibraryModule(), nullptr);
    if (!window) throw basalt::CWinException(__LINE__, L"ToshibaBluetooth", L"CreateWindowExW", ::GetLastError());
    return window;
}

}  // namespace Toshiba
