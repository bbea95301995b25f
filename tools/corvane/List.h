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

struct ListRegistration {
    explicit ListRegistration(const ListTransport& transport) { ListTransports().push_back(transport); }
};

}  // namespace tool
