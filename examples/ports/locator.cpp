// A locator search: locator.exe searches for classic Bluetooth devices, told
// when the search ends by an OVERLAPPED notice, then reads the devices found
// before from the cache, told by a window message, and lists both. A search
// runs on a worker of the locator and fires eventStateChanged from it when it
// stops; a cache answer fires it on the caller's thread inside BeginSearch.
#include "Session.h"

typedef boost::shared_ptr<corvane::IPortLocator> LocatorPtr;
const DWORD kAnyClass = static_cast<DWORD>(-1);  // else a major device class (bits 12..8)
const DWORD kFromCache = 2;  // answers from the devices found before, at once

static int List(corvane::IPortLocator& locator) {
    int found = 0;
    // A search error is raised here, before the addresses found in spite of it.
    while (boost::shared_ptr<const corvane::IPortAddr> address = locator.GetNextAddress()) {
        std::printf("  %ls  %ls\n", static_cast<const wchar_t*>(address->GetPhysicalName()),
                    static_cast<const wchar_t*>(address->GetFriendlyName()));
        ++found;
    }
    return found;
}

static void WaitWithEvent(corvane::IPortLocator& locator) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    boost::shared_ptr<corvane::INotice> notice = corvane::INotice::CreateInstance(overlapped);
    locator.RegisterNotice(notice, corvane::eventStateChanged);
    locator.BeginSearch(kAnyClass, 0);  // flags 0: ask the radio (an inquiry)
    // A search may end before BeginSearch returns: then no event comes.
    while (locator.IsRunning()) ::WaitForSingleObject(overlapped.hEvent, 500);
    locator.DeregisterNotice(notice, corvane::eventAll);
    ::CloseHandle(overlapped.hEvent);
}

static void WaitWithMessages(corvane::IPortLocator& locator) {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    boost::shared_ptr<corvane::INotice> notice = corvane::INotice::CreateInstance(window, example::kPortMessage, 0);
    locator.RegisterNotice(notice, corvane::eventStateChanged);
    locator.BeginSearch(kAnyClass, kFromCache);
    ::SetTimer(window, 1, 500, nullptr);  // looks again now and then, as above
    MSG msg;
    while (locator.IsRunning() && ::GetMessageW(&msg, nullptr, 0, 0) > 0)
        if (msg.message != example::kPortMessage && msg.message != WM_TIMER) ::DispatchMessageW(&msg);
    locator.DeregisterNotice(notice, corvane::eventAll);
    ::DestroyWindow(window);
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
        WaitWithEvent(*locator);
        std::printf("found, told by an event:\n");
        int first = List(*locator);
        WaitWithMessages(*locator);
        std::printf("found, told by a message:\n");
        int second = List(*locator);
        if (first == 0 || second == 0) std::printf("FAILED: a search found no device\n");
        return first && second ? 0 : 1;
    } catch (const basalt::CStdException& e) {
        return example::Fail("Bluetooth search", e);
    }
}
