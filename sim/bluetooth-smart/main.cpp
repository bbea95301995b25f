// blesim.exe: registers the simulator's device nodes with SetupAPI, so that
// programs using the simulator find its default device through the Plug and
// Play manager (run it once per Wine prefix or test machine).
#include "BleSim.h"

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    const wchar_t* command = argc > 1 ? argv[1] : L"";
    if (wcscmp(command, L"register") == 0) {
        DWORD error = BleSimRegisterNodes(0x001122334455ull);
        if (!error) error = BleSimRegisterRadio();
        if (error) std::fwprintf(stderr, L"blesim: registering failed with error %lu\n", error);
        else std::wprintf(L"registered 00:11:22:33:44:55 \"Corvane BLE Simulator\"\n");
        return error ? 2 : 0;
    }
    if (wcscmp(command, L"unregister") == 0) {
        DWORD removed = BleSimRemoveNodes(L"BTHLE\\DEV_001122334455\\") +
                        BleSimRemoveNodes(L"BTHLEDEVICE\\") + BleSimRemoveNodes(L"BTH\\MS_BTHLE\\SIM_");
        std::wprintf(L"removed %lu nodes\n", removed);
        return 0;
    }
    std::fwprintf(stderr, L"usage: blesim register | unregister\n");
    return 1;
}
