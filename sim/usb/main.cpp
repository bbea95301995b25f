// usbsim: registers the simulated instruments' device nodes with SetupAPI
// (once per Wine prefix or test machine), removes them, or lists the world.
#include "UsbSim.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int Usage() {
    std::fwprintf(stderr, L"usage: usbsim register | unregister | list\n"
                          L"  register    adds the default instrument's device node and interface to SetupAPI\n"
                          L"  unregister  removes every node of the simulated vendor\n"
                          L"  list        the default instrument's serial number and interface path\n");
    return 1;
}

// UsbSim.dll from this program's own folder: the tool belongs to the simulator.
HMODULE LoadSimulator() {
    wchar_t path[MAX_PATH];
    DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    std::wstring folder(path, n);
    folder.erase(folder.find_last_of(L"\\/") + 1);
    return ::LoadLibraryExW((folder + L"UsbSim.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return Usage();
    USBSIM_API sim;
    if (!UsbSimLoadApi(LoadSimulator(), &sim)) {
        std::fwprintf(stderr, L"usbsim: UsbSim.dll is not beside this program\n");
        return 2;
    }
    std::wstring command = argv[1];
    if (command == L"register") {
        DWORD error = sim.RegisterNodes();
        if (error) std::fwprintf(stderr, L"usbsim: registering the nodes failed with error %lu\n", error);
        return error ? 2 : 0;
    }
    if (command == L"unregister") {
        std::wprintf(L"%lu nodes removed\n", sim.RemoveNodes(nullptr));
        return 0;
    }
    if (command == L"list") {
        wchar_t path[512];
        if (sim.GetPath(USBSIM_DEFAULT_SERIAL, path, 512) == 0) std::wprintf(L"%ls  %ls\n", USBSIM_DEFAULT_SERIAL, path);
        return 0;
    }
    return Usage();
}
