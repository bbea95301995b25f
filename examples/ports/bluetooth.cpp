// A classic Bluetooth client: bluetooth.exe ADDRESS [PIN] opens the serial
// port service of a device (paired first when a PIN is given) and echoes a line.
#include "Session.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::printf("usage: bluetooth ADDRESS [PIN], the address as 00:80:25:00:00:01\n");
        return 1;
    }
    ULONGLONG device = corvane::CBluetoothPortAddr::Str2BluetoothAddr(argv[1], L':');
    if (device == corvane::invalidBluetoothAddress) {
        std::printf("FAILED: '%ls' is not a Bluetooth address\n", argv[1]);
        return 1;
    }
    // A null PIN means none; the stack asks the registered handlers if the device wants one.
    boost::shared_ptr<const corvane::IPortAddr> address =
        corvane::CBluetoothPortAddr::CreateInstance(device, 0, L"", argc > 2 ? argv[2] : nullptr, 0, 0);
    return example::Run(corvane::IPort::CreateInstance(address, corvane::driverDefault), "the Bluetooth device");
}
