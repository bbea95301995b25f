// corvane list TRANSPORT: runs the transport's locator and prints one row
// per device found: its port (physical name) and its friendly name.
#include "List.h"

#include <algorithm>

#include <cwchar>

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
    Err(L"usage: corvane list TRANSPORT [--json]\n\ntransports:\n");
    for (const ListTransport& transport : ListTransports())
        Err(L"  " + std::wstring(transport.name) + L"\t" + transport.summary + L"\n");
    return exitUsage;
}

// Device names in the \\.\ namespace are shown as users type them.
std::wstring Shown(const std::wstring& physicalName) {
    return physicalName.compare(0, 4, L"\\\\.\\") == 0 ? physicalName.substr(4) : physicalName;
}

const DWORD kSearchLimitMs = 60000;

std::wstring ClassCell(const corvane::IPortAddr& address) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%06lX", static_cast<unsigned long>(address.GetClassOfDevice()));
    return text;
}

// Takes what the locator has queued so far; a search error is reported and
// the addresses found in spite of it follow. Each new device is shown on
// standard error at once, as a search of real radios takes tens of seconds.
void Collect(corvane::IPortLocator& locator, bool classic, Rows& rows, int& status) {
    for (;;) {
        boost::shared_ptr<const corvane::IPortAddr> address;
        try {
            address = locator.GetNextAddress();
        } catch (const basalt::CStdException& e) {
            // The stop that EndSearch asks for when the time limit has cut the search is no failure.
            auto win = dynamic_cast<const basalt::CWinException*>(&e);
            if (!win || win->GetErrorCode() != ERROR_CANCELLED) status = ReportError(e);
            continue;
        }
        if (!address) return;
        Row row = {Shown(std::wstring(address->GetPhysicalName())),
                                         std::wstring(address->GetFriendlyName())};
        if (classic) row.push_back(ClassCell(*address));
        // A search of several passes hands out a device once per pass: one
        // row each, with the latest name it was given.
        auto same = std::find_if(rows.begin() + 1, rows.end(),
                                 [&](const Row& r) { return r[0] == row[0]; });
        if (same == rows.end()) {
            if (classic) Err(L"found " + row[0].text + (row[1].text.empty() ? L"" : L" " + row[1].text) + L"\n");
            rows.push_back(row);
        } else if (!row[1].text.empty()) {
            *same = row;
        }
    }
}

int Search(const ListTransport& transport, DWORD classFilter, DWORD flags) {
    // OVERLAPPED notices: one for each device found or error stored, one for
    // the end of the search. Declared before the locator, so that they outlive
    // it: a search worker may fire into them until the locator's destructor
    // has joined it.
    basalt::COverlapped found, ended;
    boost::shared_ptr<corvane::INotice> foundNotice = corvane::INotice::CreateInstance(found);
    boost::shared_ptr<corvane::INotice> endedNotice = corvane::INotice::CreateInstance(ended);
    boost::shared_ptr<corvane::IPortLocator> locator =
        corvane::IPortLocator::CreateInstance(transport.type, transport.driver);
    if (!locator) {
        Err(L"error: this library has no " + std::wstring(transport.name) + L" locator\n");
        return exitFailed;
    }
    const bool classic = transport.type == corvane::IPortAddr::portBluetooth;
    Rows rows = {{L"PORT", L"NAME"}};
    if (classic) rows[0].push_back(L"CLASS");
    int status = exitDone;
    locator->RegisterNotice(foundNotice, corvane::eventDataAvailable);
    locator->RegisterNotice(foundNotice, corvane::eventError);
    locator->RegisterNotice(endedNotice, corvane::eventStateChanged);
    locator->BeginSearch(classFilter, flags);
    const DWORD start = ::GetTickCount();
    bool cut = false;
    // The search is over when the locator says so: a worker fires the end
    // while its thread still runs (IsRunning stays true until EndSearch has
    // joined it), and a search made inside BeginSearch has ended before it
    // returns, notice or not.
    while (!ended.GetEvent().IsSet() && locator->IsRunning()) {
        DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= kSearchLimitMs) {
            cut = true;
            break;
        }
        HANDLE handles[] = {found.GetEventHandle(), ended.GetEventHandle()};
        WaitPumping(2, handles, kSearchLimitMs - elapsed);
        found.GetEvent().Reset();
        Collect(*locator, classic, rows, status);
    }
    locator->EndSearch();
    Collect(*locator, classic, rows, status);
    locator->DeregisterNotice(foundNotice, corvane::eventAll);
    locator->DeregisterNotice(endedNotice, corvane::eventAll);
    if (cut)
        Err(L"the search was stopped after " + std::to_wstring(kSearchLimitMs / 1000) +
            L" s; the devices found by then follow\n");
    PrintTable(rows);
    if (status == exitDone && rows.size() == 1) status = exitNothing;
    return status;
}

// A major device class by its number (0-31) or name; false (after saying so) for others.
bool ParseClass(const std::wstring& text, DWORD& major) {
    static const wchar_t* const kNames[] = {L"misc",     L"computer", L"phone",    L"network", L"audio",
                                            L"peripheral", L"imaging", L"wearable", L"toy",     L"health"};
    for (DWORD i = 0; i < 10; ++i)
        if (basalt::ustring(text).compareNoCase(kNames[i]) == 0) {
            major = i;
            return true;
        }
    bool digits = !text.empty() && text.size() <= 2 && text.find_first_not_of(L"0123456789") == std::wstring::npos;
    if (digits && std::stoul(text) <= 31) {
        major = std::stoul(text);
        return true;
    }
    Err(L"corvane list: unknown device class '" + text + L"': give 0-31 or one of misc, computer, phone, "
        L"network, audio, peripheral, imaging, wearable, toy, health\n");
    return false;
}

int List(const Args& arguments) {
    Args args = arguments;
    TakeJsonOption(args);
    if (args.empty()) return ListUsage();
    // Classic Bluetooth searches take a major device class (any: -1), can be
    // answered from the cache of the last search (flag 2) and may name the
    // stack's driver.
    DWORD classFilter = static_cast<DWORD>(-1), flags = 0;
    corvane::EDriver driver = corvane::driverDefault;
    bool driverNamed = false;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == L"--cache") {
            flags |= 2;
        } else if (args[i] == L"--class" && i + 1 < args.size()) {
            if (!ParseClass(args[++i], classFilter)) return exitUsage;
        } else if (args[i] == L"--driver" && i + 1 < args.size()) {
            if (!ParseDriver(args[++i], driver)) return exitUsage;
            driverNamed = true;
        } else {
            Err(L"corvane list: unknown option '" + args[i] + L"'\n\n");
            return ListUsage();
        }
    }
    for (ListTransport transport : ListTransports()) {
        if (args[0] != transport.name) continue;
        bool classic = transport.type == corvane::IPortAddr::portBluetooth;
        if (!classic && args.size() > 1) return ListUsage();
        if (driverNamed) transport.driver = driver;
        return Search(transport, classic ? classFilter : 0, flags);
    }
    Err(L"corvane list: unknown transport '" + args[0] + L"'\n\n");
    return ListUsage();
}

const CommandRegistration s_list({L"list", L"TRANSPORT [--json]", L"list the devices a transport finds (corvane list serial)",
                                  List});

}  // namespace

}  // namespace tool
