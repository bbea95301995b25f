// corvane list TRANSPORT: runs the transport's locator and prints one row
// per device found: its port (physical name) and its friendly name.
#include "List.h"

namespace tool {

std::vector<ListTransport>& ListTransports() {
    static std::vector<ListTransport> transports;
    return transports;
}

bool ParseDriver(const std::wstring& text, corvane::EDriver& driver) {
    if (text == L"default") driver = corvane::driverDefault;
    else if (text == L"microsoft") driver = corvane::driverMicrosoft;
    else if (text == L"toshiba") driver = corvane::driverToshiba;
    else {
        Err(L"error: unknown driver '" + text + L"': use default, microsoft or toshiba\n");
        return false;
    }
    return true;
}

DWORD WaitPumping(DWORD count, const HANDLE* handles, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        DWORD elapsed = ::GetTickCount() - start;
        DWORD left = timeoutMs == INFINITE ? INFINITE : (elapsed >= timeoutMs ? 0 : timeoutMs - elapsed);
        DWORD woken = ::MsgWaitForMultipleObjects(count, handles, FALSE, left, QS_ALLINPUT);
        if (woken != WAIT_OBJECT_0 + count) return woken;
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
}

namespace {

int ListUsage() {
    Err(L"usage: corvane list TRANSPORT [--driver default|microsoft|toshiba]\n\ntransports:\n");
    for (const ListTransport& transport : ListTransports())
        Err(L"  " + std::wstring(transport.name) + L"\t" + transport.summary + L"\n");
    return 1;
}

// Device names in the \\.\ namespace are shown as users type them.
std::wstring Shown(const std::wstring& physicalName) {
    return physicalName.compare(0, 4, L"\\\\.\\") == 0 ? physicalName.substr(4) : physicalName;
}

int Search(const ListTransport& transport) {
    // The OVERLAPPED notice tells when a search that runs on a worker ends.
    // Declared before the locator, so that it outlives it: a search worker
    // may fire into it until the locator's destructor has joined it.
    OVERLAPPED ended = {};
    basalt::CEvent event;
    ended.hEvent = event.GetHandle();
    boost::shared_ptr<corvane::IPortLocator> locator =
        corvane::IPortLocator::CreateInstance(transport.type, transport.driver);
    if (!locator) {
        Err(L"error: this library has no " + std::wstring(transport.name) + L" locator\n");
        return 2;
    }
    boost::shared_ptr<corvane::INotice> notice = corvane::INotice::CreateInstance(ended);
    locator->RegisterNotice(notice, corvane::eventStateChanged);
    // Classic Bluetooth locators filter by major device class: all of them here.
    locator->BeginSearch(transport.type == corvane::IPortAddr::portBluetooth ? 0xFFFFFFFF : 0, 0);
    if (locator->IsRunning()) {
        HANDLE handle = event.GetHandle();
        WaitPumping(1, &handle, 60000);
    }
    locator->EndSearch();

    std::vector<std::vector<std::wstring>> rows = {{L"PORT", L"NAME"}};
    int status = 0;
    for (;;) {
        boost::shared_ptr<const corvane::IPortAddr> address;
        try {
            address = locator->GetNextAddress();
        } catch (const basalt::CStdException& e) {
            // A search error comes first; what was found in spite of it follows.
            status = ReportError(e);
            continue;
        }
        if (!address) break;
        rows.push_back({Shown(std::wstring(address->GetPhysicalName())), std::wstring(address->GetFriendlyName())});
    }
    locator->DeregisterNotice(notice, corvane::eventAll);
    PrintTable(rows);
    return status;
}

int List(const Args& args) {
    if (args.size() != 1 && args.size() != 3) return ListUsage();
    corvane::EDriver driver = corvane::driverDefault;
    if (args.size() == 3 && (args[1] != L"--driver" || !ParseDriver(args[2], driver))) return ListUsage();
    for (ListTransport transport : ListTransports()) {
        if (args[0] != transport.name) continue;
        if (args.size() == 3) transport.driver = driver;
        return Search(transport);
    }
    Err(L"corvane list: unknown transport '" + args[0] + L"'\n\n");
    return ListUsage();
}

const ListRegistration s_bluetooth({L"bluetooth", L"classic Bluetooth devices in range",
                                     corvane::IPortAddr::portBluetooth, corvane::driverDefault});

const CommandRegistration s_list({L"list", L"TRANSPORT", L"list the devices a transport finds (corvane list serial)",
                                  List});

}  // namespace

}  // namespace tool
