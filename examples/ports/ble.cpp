// A Bluetooth Smart client: ble.exe ADDRESS opens the link to a device over
// its GATT service and echoes a line.
#include "Session.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::printf("usage: ble ADDRESS, the address as 00:11:22:33:44:55\n");
        return 1;
    }
    boost::shared_ptr<const corvane::IPortAddr> address =
        corvane::CBluetoothSmartPortAddr::CreateInstance(argv[1], 0, L"");
    if (!address) {
        std::printf("FAILED: '%ls' is not a Bluetooth address\n", argv[1]);
        return 1;
    }
    return example::Run(corvane::IPort::CreateInstance(address, corvane::driverDefault), "the Bluetooth Smart device");
}
