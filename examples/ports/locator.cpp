// A locator search: locator.exe searches for classic Bluetooth devices, told
// when the search ends by an OVERLAPPED notice, then reads the devices found
// before from the cache, told by a window message, and lists both. A search
// runs on a worker of the locator and fires eventStateChanged from it when it
// stops; a cache answer fires it on the caller's thread inside BeginSearch.
#include "Session.h"

typedef boost::shared_ptr<corvane::IPortLocator> LocatorPtr;
const DWORD kAnyClass = static_cast<DWORD>(-1);  // else a major device class (bits 12..8)
const DWORD kFromCache = 2;  // answers from the devices found before, at once
const DWORD kSearchMs = 60000;

static int List(corvane::IPortLocator& locator) {
    int found = 0;
    // A search error is raised here, before the addresses found in spite of it;
    // a device heard in several passes of one inquiry comes once per pass.
    while (boost::shared_ptr<const corvane::IPortAddr> address = locator.GetNextAddress()) {
        std::printf("  %ls  %ls\n", static_cast<const wchar_t*>(address->GetPhysicalName()),
                    static_cast<const wchar_t*>(address->GetFriendlyName()));
        ++found;
    }
    return found;
}

// Waits for the search's eventStateChanged; false when it took too long.
static bool WaitWithEvent(corvane::IPortLocator& locator) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset
    boost::shared_ptr<corvane::INotice> notice = corvane::INotice::CreateInstance(overlapped);
    locator.RegisterNotice(notice, corvane::eventStateChanged);
    locator.BeginSearch(kAnyClass, 0);  // flags 0: ask the radio (an inquiry, seconds on a real one)
    // The event stays set if the search stopped before this wait began.
    bool stopped = ::WaitForSingleObject(overlapped.hEvent, kSearchMs) == WAIT_OBJECT_0;
    locator.EndSearch();  // stops a search still running; waits for its thread
    locator.DeregisterNotice(notice, corvane::eventAll);
    ::CloseHandle(overlapped.hEvent);
    return stopped;
}

// The same, told by a window message; the cache answers inside BeginSearch,
// so the message is already waiting in this thread's queue.
static bool WaitWithMessages(corvane::IPortLocator& locator) {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (!window) return false;
    boost::shared_ptr<corvane::INotice> notice = corvane::INotice::CreateInstance(window, example::kPortMessage, 0);
    locator.RegisterNotice(notice, corvane::eventStateChanged);
    locator.BeginSearch(kAnyClass, kFromCache);
    ::SetTimer(window, 1, kSearchMs, nullptr);
    bool stopped = false;
    MSG msg;
    while (!stopped && ::GetMessageW(&msg, nullptr, 0, 0) > 0 && msg.message != WM_TIMER) {
        if (msg.message == example::kPortMessage) stopped = msg.wParam == corvane::eventStateChanged;
        else ::DispatchMessageW(&msg);
    }
    locator.EndSearch();
    locator.DeregisterNotice(notice, corvane::eventAll);
    ::DestroyWindow(window);
    return stopped;
}

int wmain() {
    LocatorPtr locator = corvane::IPortLocator::CreateInstance(corvane::IPortAddr::portBluetooth, corvane::driverDefault);
    if (!locator) {
        std::printf("FAILED: no Bluetooth locator\n");
        return 1;
    }
    if (!locator->IsHardwareAvailableAndPoweredOn()) {
        std::printf("FAILED: no Bluetooth radio, or it is switched off\n");
        return 1;
    }
    try {
        bool told = WaitWithEvent(*locator);
        std::printf("found by an inquiry, told by an event%s:\n", told ? "" : " (cut at 60 s)");
        int first = List(*locator);
        bool heard = WaitWithMessages(*locator);
        std::printf("found before, from the cache, told by a message:\n");
        int second = List(*locator);
        if (!heard) std::printf("FAILED: no window message came from the cache answer\n");
        if (first == 0 || second == 0) std::printf("FAILED: a search found no device\n");
        return heard && first && second ? 0 : 1;
    } catch (const basalt::CStdException& e) {
        return example::Fail("Bluetooth search", e);
    }
}
