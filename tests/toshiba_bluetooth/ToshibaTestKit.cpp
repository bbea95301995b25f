#include "ToshibaTestKit.h"

#include "Shared/BluetoothCache.h"
#include "kit/LibraryScope.h"

#include <basalt/Registry.h>

namespace tostest {

CTosBtSim& Sim() {
    static CTosBtSim sim;
    return sim;
}

void ToshibaTest::SetUp() {
    ASSERT_TRUE(Sim().IsLoaded()) << "TosBtApi.dll is not the simulator: run with CORVANE_SIMULATORS=1";
    Sim().TosBtSimReset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, corvane::kBluetoothCacheKey);
}

void ToshibaTest::TearDown() { Sim().TosBtSimReset(); }

boost::shared_ptr<const corvane::IPortAddr> ToshibaTest::Address(const wchar_t* text) {
    return corvane::CBluetoothPortAddr::CreateInstance(
        corvane::CBluetoothPortAddr::Str2BluetoothAddr(text, L':'), 0, L"", nullptr, 0, 0);
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > timeoutMs) return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        PumpQueued();
    }
    return true;
}

void PumpQueued() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    for (DWORD start = ::GetTickCount(); !done(); ::Sleep(2))
        if (::GetTickCount() - start > timeoutMs) return false;
    return true;
}

namespace {

struct CWindowSearch {
    const wchar_t* windowClass;
    HWND found;
};

// The platform calls it with its own calling convention: no lambda converts to that on i686.
BOOL CALLBACK MatchWindowClass(HWND window, LPARAM parameter) {
    CWindowSearch& search = *reinterpret_cast<CWindowSearch*>(parameter);
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    if (wcscmp(name, search.windowClass) != 0) return TRUE;
    search.found = window;
    return FALSE;
}

}  // namespace

HWND ThreadWindow(const wchar_t* windowClass) {
    CWindowSearch search = {windowClass, nullptr};
    ::EnumThreadWindows(::GetCurrentThreadId(), MatchWindowClass, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

namespace {
const UINT kRunWork = WM_APP + 0x77;
}  // namespace

CWindowThread::CWindowThread() : m_thread([this] { Pump(); }) {
    WaitUntil([this] { return m_id != 0; });
}

CWindowThread::~CWindowThread() {
    ::PostThreadMessageW(m_id, WM_QUIT, 0, 0);
    m_thread.join();
}

void CWindowThread::Pump() {
    MSG message;
    ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue, before anyone posts to it
    m_id = ::GetCurrentThreadId();
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!message.hwnd && message.message == kRunWork) {
            (*reinterpret_cast<const std::function<void()>*>(message.lParam))();
            ::SetEvent(reinterpret_cast<HANDLE>(message.wParam));
            continue;
        }
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

void CWindowThread::Run(const std::function<void()>& work) {
    HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(done);
    ASSERT_TRUE(::PostThreadMessageW(m_id, kRunWork, reinterpret_cast<WPARAM>(done), reinterpret_cast<LPARAM>(&work)));
    ::WaitForSingleObject(done, INFINITE);
    ::CloseHandle(done);
}

::testing::AssertionResult WindowGoesWithItsObject(const wchar_t* windowClass,
                                                   const std::function<std::shared_ptr<void>()>& make,
                                                   UINT message, WPARAM wParam) {
    CWindowThread owner;
    std::shared_ptr<void> object;
    HWND window = nullptr;
    owner.Run([&] {
        object = make();
        window = ThreadWindow(windowClass);
    });
    if (!window) return ::testing::AssertionFailure() << "the object made no window";
    object.reset();
    ::PostMessageW(window, message, wParam, 0);
    bool alive = true;
    owner.Run([&] { alive = ::IsWindow(window) != FALSE; });
    if (alive) return ::testing::AssertionFailure() << "the window outlived its object";
    return ::testing::AssertionSuccess();
}

}  // namespace tostest
