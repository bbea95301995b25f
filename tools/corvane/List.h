#pragma once
// corvane list TRANSPORT: each transport that can discover devices adds
// itself with a static ListRegistration in its own source file:
//   ListRegistration s_ble({L"ble", L"Bluetooth Smart devices", corvane::IPortAddr::portBluetoothSmart,
//                           corvane::driverDefault});
// The command then runs that transport's locator and prints what it finds.
#include "Command.h"

namespace tool {

struct ListTransport {
    const wchar_t* name;     // the word after "list"
    const wchar_t* summary;  // what it lists, for the help text
    corvane::IPortAddr::EPortType type;
    corvane::EDriver driver;
};

std::vector<ListTransport>& ListTransports();

// "--driver" values: default, microsoft, toshiba. False (after saying so) for others.
bool ParseDriver(const std::wstring& text, corvane::EDriver& driver);

// Waits for the handle while dispatching this thread's window messages: some
// stacks answer through hidden windows that this thread owns.
DWORD WaitPumping(DWORD count, const HANDLE* handles, DWORD timeoutMs);

struct ListRegistration {
    explicit ListRegistration(const ListTransport& transport) { ListTransports().push_back(transport); }
};

}  // namespace tool
