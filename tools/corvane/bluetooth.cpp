// Classic Bluetooth commands: pairing through the locator's escapes, the
// local radio's settings, and a stream server that prints its connections.
// "corvane list bluetooth" and "corvane open bluetooth" are rows of the list
// and open commands.
#include "List.h"

#include <cstdio>

namespace tool {

namespace {

const ListRegistration s_classic({L"bluetooth", L"classic Bluetooth devices in range [--cache] [--class N|NAME] [--driver D]",
                                  corvane::IPortAddr::portBluetooth, corvane::driverDefault});

boost::shared_ptr<corvane::IPortLocator> ClassicLocator() {
    auto locator = corvane::IPortLocator::CreateInstance(corvane::IPortAddr::portBluetooth, corvane::driverDefault);
    if (!locator) Err(L"error: no Bluetooth stack answers on this machine\n");
    return locator;
}

// Runs one of the locator's pairing escapes with its parameters filled in.
boost::shared_ptr<corvane::IPropertySet> Pairing(corvane::IPortLocator& locator, const wchar_t* function,
                                                  const std::wstring& address, const wchar_t* pin) {
    auto args = locator.Escape(function, boost::shared_ptr<corvane::IPropertySet>());
    args->SetValue(L"Address", _variant_t(address.c_str()));
    if (pin) args->SetValue(L"PIN", _variant_t(pin));
    return locator.Escape(function, args);
}

// The address in the colon form the escapes read; empty after saying why.
std::wstring CheckedAddress(const wchar_t* command, const std::wstring& text) {
    ULONGLONG device = 0;
    if (!ReadDeviceAddress(command, text, device)) return L"";
    return std::wstring(corvane::CBluetoothPortAddr::BluetoothAddr2Str(device, L':'));
}

int Pair(const Args& args) {
    if (args.empty() || args.size() > 2) {
        Err(L"usage: corvane pair ADDRESS [PIN]\n");
        return exitUsage;
    }
    std::wstring address = CheckedAddress(L"pair", args[0]);
    if (address.empty()) return exitUsage;
    auto locator = ClassicLocator();
    if (!locator) return exitFailed;
    SetFailureHint(L"pairing with " + address + L" failed; is it in range (corvane list bluetooth), and is the PIN right?");
    Pairing(*locator, L"PairRequest", address, args.size() > 1 ? args[1].c_str() : L"");
    bool paired = Pairing(*locator, L"IsPaired", address, nullptr)->Find(L"")->GetValue();
    Out(address + (paired ? L" paired\n" : L" not paired\n"));
    return paired ? exitDone : exitFailed;
}

int Unpair(const Args& args) {
    if (args.size() != 1) {
        Err(L"usage: corvane unpair ADDRESS\n");
        return exitUsage;
    }
    std::wstring address = CheckedAddress(L"unpair", args[0]);
    if (address.empty()) return exitUsage;
    auto locator = ClassicLocator();
    if (!locator) return exitFailed;
    SetFailureHint(L"cannot remove the pairing with " + address + L"; is it paired?");
    Pairing(*locator, L"RevokePairing", address, nullptr);
    Out(address + L" unpaired\n");
    return exitDone;
}

int Radio(const Args& arguments) {
    Args args = arguments;
    TakeJsonOption(args);
    if (!args.empty()) {
        Err(L"usage: corvane radio [--json]\n");
        return exitUsage;
    }
    auto locator = ClassicLocator();
    if (!locator) return exitFailed;
    SetFailureHint(L"cannot read the local radio's settings; is a Bluetooth radio present and on?");
    auto settings = locator->GetSettings();
    SetFailureHint(L"");
    if (!settings) {
        Err(L"error: the Bluetooth stack reports no radio settings\n");
        return exitFailed;
    }
    Rows rows = {{L"SETTING", L"VALUE"}};
    for (DWORD i = 0; i < settings->GetCount(); ++i) {
        auto property = settings->GetAt(i);
        const _variant_t value = property->GetValue();
        Cell cell(std::wstring(property->GetValueText(1033)));
        if (value.vt == VT_BOOL) cell = Cell::Flag(V_BOOL(&value) != VARIANT_FALSE);
        if (property->GetName() == _bstr_t(L"LocalCOD")) {
            wchar_t hex[16];
            std::swprintf(hex, 16, L"0x%06lX", static_cast<unsigned long>(static_cast<ULONG>(property->GetValue())));
            cell = Cell(hex);
        }
        rows.push_back({std::wstring(property->GetName()), cell});
    }
    PrintTable(rows);
    return exitDone;
}

int __stdcall PrintCaller(boost::shared_ptr<const corvane::IPortAddr>, boost::shared_ptr<const corvane::IPortAddr> remote,
                          DWORD) {
    Out(L"connection from " + (remote ? std::wstring(remote->GetPhysicalName()) : std::wstring(L"?")) + L"\n");
    return CF_ACCEPT;
}

// The serial port profile's class, so that devices looking for a serial port find it.
const GUID kSerialPortService = {0x00001101, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};

int Serve(const Args& args) {
    if (args.empty() || (args.size() != 1 && args.size() != 3) || (args.size() == 3 && args[1] != L"--for")) {
        Err(L"usage: corvane serve NAME [--for SECONDS]\n");
        return 1;
    }
    DWORD limitMs = INFINITE, seconds = 0;
    if (args.size() == 3) {
        if (!ReadWholeNumber(L"serve", L"--for", L"seconds", args[2], seconds)) return exitUsage;
        // Longer than a DWORD of milliseconds holds is as good as for ever.
        if (seconds < INFINITE / 1000) limitMs = seconds * 1000;
    }
    auto description = corvane::IServerDescription::CreateInstance(kSerialPortService, args[0].c_str(), L"corvane serve");
    auto server = corvane::IStreamServer::CreateInstance(description, PrintCaller, 0, corvane::driverDefault);
    if (!server) {
        Err(L"error: no Bluetooth stack with a server answers on this machine\n");
        return 2;
    }
    basalt::COverlapped accepted, data;
    auto acceptedNotice = corvane::INotice::CreateInstance(accepted);
    auto dataNotice = corvane::INotice::CreateInstance(data);
    server->RegisterNotice(acceptedNotice, corvane::eventConnectionAccepted);
    server->Start();
    Out(L"serving \"" + args[0] + L"\"; each connection is shown with what it sends\n");
    std::vector<boost::shared_ptr<corvane::IPort>> ports;
    DWORD start = ::GetTickCount();
    for (;;) {
        DWORD elapsed = ::GetTickCount() - start;
        if (limitMs != INFINITE && elapsed >= limitMs) break;
        HANDLE waits[2] = {accepted.GetEventHandle(), data.GetEventHandle()};
        ::WaitForMultipleObjects(2, waits, FALSE, limitMs == INFINITE ? INFINITE : limitMs - elapsed);
        accepted.GetEvent().Reset();
        data.GetEvent().Reset();
        while (auto port = server->GetNextPort()) {
            port->RegisterNotice(dataNotice, corvane::eventDataAvailable);
            ports.push_back(port);
            Out(L"accepted port " + std::to_wstring(ports.size()) + L"\n");
        }
        for (size_t i = 0; i < ports.size(); ++i) {
            char buffer[4096];
            try {
                while (DWORD n = ports[i]->Recv(buffer, sizeof buffer)) {
                    std::fwrite(buffer, 1, n, stdout);
                    std::fflush(stdout);
                }
            } catch (const basalt::CStdException& e) {
                Out(L"port " + std::to_wstring(i + 1) + L" ended: " + std::wstring(e.Describe()) + L"\n");
                ports[i]->Close();
            }
        }
    }
    for (auto& port : ports) port->DeregisterNotice(dataNotice, corvane::eventAll);
    server->DeregisterNotice(acceptedNotice, corvane::eventAll);
    server->Stop();
    return 0;
}

const CommandRegistration s_pair({L"pair", L"ADDRESS [PIN]", L"pair with a classic Bluetooth device", Pair});
const CommandRegistration s_unpair({L"unpair", L"ADDRESS", L"remove a classic Bluetooth pairing", Unpair});
const CommandRegistration s_radio({L"radio", L"[--json]", L"the local Bluetooth radio's settings", Radio});
const CommandRegistration s_serve({L"serve", L"NAME [--for SECONDS]",
                                   L"publish a Bluetooth service and show each connection", Serve});

}  // namespace

}  // namespace tool
