#include "ToshibaBluetooth/Windows.h"

#include <basalt/Sync.h>

#include <map>

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

struct CServiceWindow::CLink {
    basalt::CCriticalSection use;  // held while the owner handles a message
    void* owner;
    Handler handler;
};

struct CServiceWindow::CMap {
    basalt::CCriticalSection lock;
    std::map<HWND, boost::shared_ptr<CLink>> links;
};

CServiceWindow::CMap& CServiceWindow::Map() {
    static CMap* map = new CMap;  // windows may outlive static destruction
    return *map;
}

CServiceWindow::CServiceWindow(const wchar_t* windowClass, const wchar_t* title, void* owner, Handler handler)
    : m_window(nullptr), m_link(new CLink) {
    m_link->owner = owner;
    m_link->handler = handler;
    // Hidden: only the stack's messages matter, never the window's looks.
    m_window = ::CreateWindowExW(0, windowClass, title, WS_OVERLAPPEDWINDOW, 0, 0, 1, 1, nullptr, nullptr,
                                 corvane::GetLibraryModule(), nullptr);
    if (!m_window) throw basalt::CWinException(__LINE__, L"ToshibaBluetooth", L"CreateWindowExW", ::GetLastError());
    CMap& map = Map();
    basalt::CLocker lock(map.lock);
    map.links[m_window] = m_link;
}

CServiceWindow::~CServiceWindow() {
    Unlink();
    if (::GetWindowThreadProcessId(m_window, nullptr) == ::GetCurrentThreadId()) ::DestroyWindow(m_window);
    else ::PostMessageW(m_window, WM_CLOSE, 0, 0);  // its procedure, owner-less now, leaves it to DefWindowProcW
}

void CServiceWindow::Unlink() {
    {
        CMap& map = Map();
        basalt::CLocker lock(map.lock);
        map.links.erase(m_window);
    }
    basalt::CLocker use(m_link->use);
    m_link->owner = nullptr;
}

bool CServiceWindow::Deliver(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    boost::shared_ptr<CLink> link;
    {
        CMap& map = Map();
        basalt::CLocker lock(map.lock);
        auto found = map.links.find(window);
        if (found == map.links.end()) return false;
        link = found->second;
    }
    basalt::CLocker use(link->use);
    if (!link->owner) return false;
    result = link->handler(link->owner, message, wParam, lParam);
    return true;
}

}  // namespace Toshiba
