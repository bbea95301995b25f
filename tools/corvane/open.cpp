// corvane open TRANSPORT TARGET [OPTIONS]: opens a port and becomes a
// terminal. Standard input goes to Send, received bytes go to standard
// output; notices on events drive both, and Ctrl-C closes the port cleanly.
// Transports are rows of a table: each turns its target and options into an
// address, and the terminal is the same for all.
#include "Command.h"
#include "List.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <map>
#include <memory>

namespace tool {

// Defined with the Bluetooth Smart commands (ble.cpp).
boost::shared_ptr<const corvane::IPortAddr> MakeBluetoothSmartAddress(const std::wstring& target);
// Defined with the USB commands (usb.cpp).
boost::shared_ptr<const corvane::IPortAddr> MakeUsbAddress(const std::wstring& target);
// Defined with the serial commands (serial.cpp): applies --baud, --data,
// --parity, --stop and --flow to an open port and answers an exit code.
int ConfigureSerialPort(corvane::IPort& port, const std::map<std::wstring, std::wstring>& options);
// The same options checked before anything is opened; false after saying what is wrong.
bool CheckSerialOptions(const std::map<std::wstring, std::wstring>& options);

namespace {

typedef std::map<std::wstring, std::wstring> Options;
typedef boost::shared_ptr<const corvane::IPortAddr> AddressPtr;

struct Transport {
    const wchar_t* name;
    const wchar_t* target;                  // what the target argument is, for the help text
    std::vector<const wchar_t*> options;    // the options it takes besides the common ones
    // An empty pointer (after saying why on standard error) for a bad target.
    AddressPtr (*makeAddress)(const std::wstring& target, const Options& options);
    // Applies the options to the open port (may be null); answers an exit code.
    int (*configure)(corvane::IPort& port, const Options& options);
    // Checks the values of the options before anything is opened (may be
    // null); false after saying what is wrong.
    bool (*check)(const Options& options);
};

AddressPtr MakeSerialAddress(const std::wstring& target, const Options&) {
    if (!IsComName(target)) return AddressPtr();
    return corvane::IPortAddr::CreateInstance(corvane::IPortAddr::portSerial, 0, target.c_str(), target.c_str(), L"",
                                              L"", 0, 0, L"");
}

AddressPtr MakeTcpAddress(const std::wstring& target, const Options& options) {
    size_t colon = target.rfind(L':');
    std::wstring host = colon == std::wstring::npos ? L"" : target.substr(0, colon);
    std::wstring service = colon == std::wstring::npos ? L"" : target.substr(colon + 1);
    bool digits = !service.empty() && service.size() <= 5 &&
                  service.find_first_not_of(L"0123456789") == std::wstring::npos;
    if (host.empty() || !digits || std::stoul(service) == 0 || std::stoul(service) > 65535) {
        Err(L"corvane open tcp: expected HOST:PORT with a port from 1 to 65535, got '" + target + L"'\n");
        return AddressPtr();
    }
    Options::const_iterator password = options.find(L"--password");
    return corvane::IPortAddr::CreateInstance(corvane::IPortAddr::portTCP, 0, host.c_str(), target.c_str(),
                                              nullptr, password == options.end() ? L"" : password->second.c_str(),
                                              0, 0, service.c_str());
}

AddressPtr MakeBleAddress(const std::wstring& target, const Options&) {
    return MakeBluetoothSmartAddress(target);
}

AddressPtr MakeUsbTarget(const std::wstring& target, const Options&) { return MakeUsbAddress(target); }

AddressPtr MakeBluetoothTarget(const std::wstring& target, const Options& options) {
    ULONGLONG device = 0;
    if (!ReadDeviceAddress(L"open bluetooth", target, device)) return AddressPtr();
    Options::const_iterator pin = options.find(L"--pin");
    return corvane::CBluetoothPortAddr::CreateInstance(device, 0, L"", pin == options.end() ? nullptr : pin->second.c_str(),
                                                       0, 0);
}

const std::vector<Transport>& Transports() {
    static const std::vector<Transport> transports = {
        {L"serial", L"COMn", {L"--baud", L"--data", L"--parity", L"--stop", L"--flow", L"--eol"}, MakeSerialAddress,
         ConfigureSerialPort, CheckSerialOptions},
        {L"tcp", L"HOST:PORT", {L"--password"}, MakeTcpAddress, nullptr, nullptr},
        {L"ble", L"ADDRESS", {}, MakeBleAddress, nullptr, nullptr},
        {L"usb", L"PATH|SERIAL", {}, MakeUsbTarget, nullptr, nullptr},
        {L"bluetooth", L"ADDRESS", {L"--driver", L"--pin"}, MakeBluetoothTarget, nullptr, nullptr},
    };
    return transports;
}

// Time from the end of standard input to closing the port, so that the
// device's last answer is still shown. It runs whatever the device sends: a
// streaming instrument is never quiet.
const DWORD kDefaultLingerMs = 500;

// Set by Ctrl-C. It lives as long as the process, as the console handler
// that sets it stays installed: a handle closed with a terminal could by then
// name another object.
basalt::CEvent& Interrupted() {
    static basalt::CEvent* const interrupted = new basalt::CEvent;
    return *interrupted;
}

BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    Interrupted().Set();
    return TRUE;
}

// An OVERLAPPED notice with the event it sets.
struct Signal {
    basalt::COverlapped record;
    boost::shared_ptr<corvane::INotice> notice = corvane::INotice::CreateInstance(record);
    HANDLE Handle() const { return record.GetEventHandle(); }
};

// Feeds standard input to the port until it ends, waiting for room when the
// outgoing stream is full; then waits until what it queued has been sent and
// sets done. Runs on a thread of its own, because reading standard input blocks.
// Standard input's line ends as the device wants them (empty: as they are).
std::string WithLineEnds(const char* bytes, DWORD count, const std::string& lineEnd) {
    if (lineEnd.empty()) return std::string(bytes, count);
    std::string text;
    for (DWORD i = 0; i < count; ++i) {
        if (bytes[i] == '\n') text += lineEnd;
        else if (bytes[i] != '\r') text += bytes[i];
    }
    return text;
}

void PumpInput(boost::shared_ptr<corvane::IPort> port, std::shared_ptr<Signal> room,
               std::shared_ptr<basalt::CEvent> done, const std::string& lineEnd) {
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    char buffer[4096];
    DWORD count = 0;
    bool queued = false;
    try {
        while (::ReadFile(input, buffer, sizeof buffer, &count, nullptr) && count > 0) {
            std::string bytes = WithLineEnds(buffer, count, lineEnd);
            for (DWORD taken = 0; taken < bytes.size();) {
                room->record.GetEvent().Reset();
                taken += port->Send(bytes.data() + taken, static_cast<DWORD>(bytes.size()) - taken);
                queued = true;
                if (taken < bytes.size()) room->record.GetEvent().Wait();
            }
        }
        // The outgoing stream says when it has drained; nothing queued, nothing to wait for.
        if (queued) room->record.GetEvent().Wait(5000);
    } catch (const basalt::CStdException&) {
        // The port failed or closed: the main loop reports it.
    }
    done->Set();
}

struct CInputPump {
    boost::shared_ptr<corvane::IPort> port;
    std::shared_ptr<Signal> room;
    std::shared_ptr<basalt::CEvent> done;
    std::string lineEnd;
};

DWORD WINAPI RunInputPump(void* parameter) {
    std::unique_ptr<CInputPump> pump(static_cast<CInputPump*>(parameter));
    PumpInput(pump->port, pump->room, pump->done, pump->lineEnd);
    return 0;
}

// PumpInput on a Win32 thread that nobody waits for (its handle is closed at
// once): with MinGW's thread library, a std::thread detached before it has
// started now and then starts with a null state and faults.
bool StartInputPump(boost::shared_ptr<corvane::IPort> port, std::shared_ptr<Signal> room,
                    std::shared_ptr<basalt::CEvent> done, const std::string& lineEnd) {
    std::unique_ptr<CInputPump> pump(new CInputPump{port, room, done, lineEnd});
    HANDLE thread = ::CreateThread(nullptr, 0, RunInputPump, pump.get(), 0, nullptr);
    if (!thread) return false;
    pump.release();  // the thread owns it now
    ::CloseHandle(thread);
    return true;
}

// Writes everything waiting in the incoming stream to standard output. Throws
// the error a worker stored. False when the reader of our output has gone
// (a closed pipe, as after "| head -n 3").
bool DrainOutput(corvane::IPort& port) {
    char buffer[0x10000];
    while (DWORD count = port.Recv(buffer, sizeof buffer)) {
        if (std::fwrite(buffer, 1, count, stdout) != count || std::fflush(stdout) != 0) return false;
    }
    return true;
}

// Closes the port and drops every notice when the terminal ends, however it
// ends: the notices point into this function's frame.
class ClosingGuard {
public:
    explicit ClosingGuard(corvane::IPort& port) : m_port(port) {}
    ~ClosingGuard() {
        try {
            m_port.Close();
        } catch (const basalt::CStdException&) {
            // Ending anyway; the error that brought us here is the one reported.
        }
        m_port.DeregisterNotice(boost::shared_ptr<corvane::INotice>(), corvane::eventAll);
    }

private:
    corvane::IPort& m_port;
};

// target: the device as the user named it, for the report of a lost connection.
int Terminal(const boost::shared_ptr<corvane::IPort>& port, const std::wstring& target, DWORD lingerMs,
             const std::string& lineEnd) {
    Signal data, ended;
    // Shared with the input thread, which may outlive this function.
    auto room = std::make_shared<Signal>();
    auto inputDone = std::make_shared<basalt::CEvent>();
    port->RegisterNotice(data.notice, corvane::eventDataAvailable);
    port->RegisterNotice(data.notice, corvane::eventError);
    port->RegisterNotice(ended.notice, corvane::eventTerminated);
    port->RegisterNotice(room->notice, corvane::eventOutgoingEmpty);
    ClosingGuard closing(*port);
    if (!StartInputPump(port, room, inputDone, lineEnd)) {
        Err(L"corvane open: no thread for standard input\n");
        return 1;
    }

    HANDLE waits[] = {Interrupted().GetHandle(), data.Handle(), ended.Handle(), inputDone->GetHandle()};
    bool lingering = false;
    DWORD lingerStart = 0;
    try {
        for (;;) {
            data.record.GetEvent().Reset();
            if (!DrainOutput(*port)) {
                Err(L"the reader of the output has gone\n");
                break;
            }
            DWORD waitMs = INFINITE;
            if (lingering) {
                DWORD elapsed = ::GetTickCount() - lingerStart;
                if (elapsed >= lingerMs) break;
                waitMs = lingerMs - elapsed;
            }
            DWORD woken = WaitPumping(4, waits, waitMs);
            if (woken == WAIT_OBJECT_0) break;
            if (woken == WAIT_TIMEOUT) continue;
            if (woken == WAIT_OBJECT_0 + 2) {
                // The receive worker ended: what it left behind, or the error it stored.
                DrainOutput(*port);
                Err(L"the connection ended\n");
                break;
            }
            if (woken == WAIT_OBJECT_0 + 3) {
                inputDone->Reset();
                lingering = true;
                lingerStart = ::GetTickCount();
            }
            if (woken == WAIT_FAILED)
                throw basalt::CWinException(__LINE__, L"open", L"WaitForMultipleObjects", ::GetLastError());
        }
    } catch (const basalt::CStdException& e) {
        // The port hands out what came before a lost connection, then its
        // error. A device that hung up has ended the session; anything else
        // is a failure, reported with what was lost.
        auto win = dynamic_cast<const basalt::CWinException*>(&e);
        if (!win || win->GetErrorCode() != ERROR_GRACEFUL_DISCONNECT) {
            SetFailureHint(L"the connection to " + target + L" was lost");
            throw;
        }
        Err(L"the device hung up\n");
    }
    // The input thread may still be reading; it ends with the process.
    Err(L"closed\n");
    return 0;
}

int Usage() {
    Err(L"usage: corvane open TRANSPORT TARGET [OPTIONS]\n  transports:\n");
    for (const Transport& t : Transports()) {
        std::wstring line = L"    " + std::wstring(t.name) + L" " + t.target;
        for (const wchar_t* option : t.options) line += L" [" + std::wstring(option) + L" VALUE]";
        Err(line + L" [--linger MS]\n");
    }
    Err(L"  --linger MS: how long to go on showing what the device sends after standard input\n"
        L"    has ended, in milliseconds (default 500); the terminal also ends when the\n"
        L"    device hangs up, on Ctrl-C, or when the reader of its output has gone\n");
    return exitUsage;
}

int RunOpen(const Args& args) {
    if (args.size() < 2) return Usage();
    const Transport* transport = nullptr;
    for (const Transport& t : Transports())
        if (args[0] == t.name) transport = &t;
    if (!transport) {
        Err(L"corvane open: unknown transport '" + args[0] + L"'\n");
        return Usage();
    }
    Options options;
    for (size_t i = 2; i < args.size(); i += 2) {
        bool known = args[i] == L"--linger";
        for (const wchar_t* option : transport->options) known = known || args[i] == option;
        if (!known || i + 1 >= args.size()) {
            Err(L"corvane open: " + std::wstring(known ? L"missing value for " : L"unknown option ") + args[i] + L"\n");
            return Usage();
        }
        options[args[i]] = args[i + 1];
    }
    DWORD lingerMs = kDefaultLingerMs;
    if (options.count(L"--linger") && !ReadWholeNumber(L"open", L"--linger", L"milliseconds", options[L"--linger"], lingerMs))
        return exitUsage;

    std::string lineEnd;
    if (options.count(L"--eol")) {
        const std::wstring& eol = options[L"--eol"];
        lineEnd = eol == L"cr" ? "\r" : eol == L"lf" ? "\n" : eol == L"crlf" ? "\r\n" : "";
        if (lineEnd.empty()) {
            Err(L"corvane open: --eol takes cr, lf or crlf; got '" + eol + L"'\n");
            return exitUsage;
        }
    }
    if (transport->check && !transport->check(options)) return exitUsage;
    corvane::EDriver driver = corvane::driverDefault;
    if (options.count(L"--driver") && !ParseDriver(options[L"--driver"], driver)) return exitUsage;
    // A USB serial number is looked up here, so it comes after every check of the command line.
    AddressPtr address = transport->makeAddress(args[1], options);
    if (!address) return exitUsage;
    if (driver == corvane::driverToshiba) {
        // The library makes Toshiba ports only through its default choice,
        // which takes the Toshiba stack when the Microsoft stack has no radio.
        boost::shared_ptr<corvane::IPortLocator> microsoft =
            corvane::IPortLocator::CreateInstance(corvane::IPortAddr::portBluetooth, corvane::driverMicrosoft);
        if (microsoft && microsoft->IsHardwareAvailableAndPoweredOn()) {
            Err(L"corvane open: the Microsoft stack has a radio, so the library's default choice is that stack;\n"
                L"  Toshiba ports are made only when it has none\n");
            return 2;
        }
        driver = corvane::driverDefault;
    }
    boost::shared_ptr<corvane::IPort> port = corvane::IPort::CreateInstance(address, driver);
    if (!port) {
        Err(L"corvane open: this library has no driver for " + std::wstring(transport->name) + L" ports\n");
        return 2;
    }

    Interrupted().Reset();
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    // Bytes pass through as they are.
    _setmode(_fileno(stdout), _O_BINARY);
    Err(L"opening " + args[1] + L"...\n");
    std::wstring hint = L"cannot open " + args[1] + L"; corvane list " + transport->name + L" shows what is there";
    if (transport->makeAddress == MakeBluetoothTarget) hint += L", and a device that asks for a PIN needs --pin";
    if (transport->makeAddress == MakeTcpAddress) hint = L"cannot connect to " + args[1] + L"; check the host, the port and --password";
    SetFailureHint(hint);
    port->Open();
    SetFailureHint(L"");
    if (transport->configure) {
        int status = transport->configure(*port, options);
        if (status != exitDone) return status;
    }
    Err(L"open; standard input goes to the device, Ctrl-C closes\n");
    return Terminal(port, args[1], lingerMs, lineEnd);
}

CommandRegistration s_open({L"open", L"TRANSPORT TARGET [OPTIONS]",
                            L"open a port as a terminal: serial COMn [--baud N] [--data 5-8] "
                            L"[--parity none|odd|even|mark|space] [--stop 1|1.5|2] [--flow none|rtscts|dsrdtr] "
                            L"[--eol cr|lf|crlf] | tcp HOST:PORT [--password P] | ble ADDRESS | usb PATH|SERIAL | "
                            L"bluetooth ADDRESS [--pin P] [--driver default|microsoft|toshiba]; all take [--linger MS]",
                            RunOpen});

}  // namespace

}  // namespace tool
