// The world of the simulated stack: its default devices and the control
// functions of BthSim.h.
#include "Stack.h"

#include <cstdlib>
#include <cwchar>

namespace bthsim {

Stack& TheStack() {
    // Never destroyed: session threads may still look at it while the process ends.
    static Stack* stack = new Stack;
    return *stack;
}

Device* FindDevice(Stack& stack, ULONGLONG address) {
    auto found = stack.devices.find(address);
    return found == stack.devices.end() ? nullptr : &found->second;
}

DWORD TakeFailure(Failure& failure) {
    if (failure.count == 0) return 0;
    --failure.count;
    return failure.code;
}

DWORD TakeFailure(Device& device, DWORD operation) { return TakeFailure(device.failures[operation]); }

std::wstring AddressText(ULONGLONG address) {
    wchar_t text[24];
    ::swprintf(text, 24, L"%02X:%02X:%02X:%02X:%02X:%02X", static_cast<unsigned>(address >> 40) & 0xFF,
               static_cast<unsigned>(address >> 32) & 0xFF, static_cast<unsigned>(address >> 24) & 0xFF,
               static_cast<unsigned>(address >> 16) & 0xFF, static_cast<unsigned>(address >> 8) & 0xFF,
               static_cast<unsigned>(address) & 0xFF);
    return text;
}

// "(00:80:25:00:00:01)" as the system writes it, or without the parentheses.
bool ParseAddress(const wchar_t* text, ULONGLONG& address) {
    address = 0;
    int digits = 0;
    for (const wchar_t* p = text; *p; ++p) {
        wchar_t c = *p;
        int value;
        if (c >= L'0' && c <= L'9') value = c - L'0';
        else if (c >= L'A' && c <= L'F') value = c - L'A' + 10;
        else if (c >= L'a' && c <= L'f') value = c - L'a' + 10;
        else if (c == L':' || c == L'(' || c == L')') continue;
        else return false;
        address = address << 4 | static_cast<ULONGLONG>(value);
        ++digits;
    }
    return digits == 12;
}

void CloseParked(Device& device) {
    for (SOCKET end : device.parked) ::closesocket(end);
    device.parked.clear();
}

void AddRecord(Device& device, std::vector<USHORT> classes, ULONG channel, DWORD behaviour, const wchar_t* name,
               unsigned uuidBytes = 2) {
    Record record{classes, channel, behaviour, BuildRecord(classes, channel, name, uuidBytes)};
    device.records.push_back(record);
}

Device& AddDevice(Stack& stack, ULONGLONG address, const wchar_t* name, ULONG classOfDevice, DWORD flags,
                  const wchar_t* pin) {
    Device& device = stack.devices[address];
    CloseParked(device);
    device = Device();
    device.address = address;
    device.name = name ? name : L"";
    device.classOfDevice = classOfDevice;
    device.flags = flags;
    device.hasPin = pin != nullptr;
    device.pin = pin ? pin : L"";
    return device;
}

void ClearWorld(Stack& stack) {
    for (auto& entry : stack.devices) CloseParked(entry.second);
    stack.devices.clear();
    stack.registrations.clear();
    stack.published.clear();
    stack.incoming.clear();
    stack.radioPresent = true;
    stack.radioAddress = 0x0015833C4D5EULL;
    stack.radioName = L"CORVANE-PC";
    stack.radioClass = 0x1C010C;  // a laptop offering networking, transfer and audio services
    stack.discoverable = false;
    stack.connectable = true;
    stack.inquiryDelayMs = 0;
    stack.inquiries = 0;
    stack.caller = false;
    stack.publishFailure = Failure();
    stack.acceptFailure = Failure();
    stack.registerFailure = Failure();
    stack.respondFailure = Failure();
    stack.nextLocalChannel = 1;
}

void BuildDefaultWorld(Stack& stack) {
    ClearWorld(stack);
    const DWORD paired = BTHSIM_REMEMBERED | BTHSIM_AUTHENTICATED | BTHSIM_IN_RANGE;
    AddRecord(AddDevice(stack, 0x008025000001ULL, L"Corvane Echo", 0x001F00, paired, nullptr), {0x1101}, 1,
              BTHSIM_SERVICE_ECHO, L"Serial Port");
    AddRecord(AddDevice(stack, 0x008025000002ULL, L"Corvane Lines", 0x001F00, paired, nullptr), {0x1101}, 2,
              BTHSIM_SERVICE_LINES, L"NMEA");
    Device& pin = AddDevice(stack, 0x008025000003ULL, L"Corvane PIN", 0x001F00, BTHSIM_IN_RANGE, L"1234");
    AddRecord(pin, {0x1101}, 3, BTHSIM_SERVICE_ECHO, L"Serial Port");
    AddRecord(pin, {0x1103}, 4, BTHSIM_SERVICE_ECHO, L"Dial-up Networking");
    Device& phone = AddDevice(stack, 0x008025000004ULL, L"Simulated Phone", 0x5A020C, BTHSIM_IN_RANGE, nullptr);
    phone.nameDelay = 1;  // the first inquiry hears no name
    AddDevice(stack, 0x008025000005ULL, L"Corvane Caller", 0x001F00, paired, nullptr);
    stack.caller = true;
}

namespace {
struct CInitialWorld {
    CInitialWorld() {
        // Loaded once for good: the world must outlive each caller's
        // load and unload of the library (the driver loads it per operation),
        // and the devices' session threads run code of this module.
        HMODULE self = nullptr;
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                             reinterpret_cast<LPCWSTR>(&TheStack), &self);
        Stack& stack = TheStack();
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        BuildDefaultWorld(stack);
        wchar_t value[8];
        DWORD n = ::GetEnvironmentVariableW(L"BTHSIM_NO_RADIO", value, 8);
        if (n > 0 && n < 8 && !(n == 1 && value[0] == L'0')) stack.radioPresent = false;
    }
} s_initialWorld;
}  // namespace

}  // namespace bthsim

using namespace bthsim;

void WINAPI BthSimReset(BOOL defaultWorld) {
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    if (defaultWorld) BuildDefaultWorld(stack);
    else ClearWorld(stack);
}

void WINAPI BthSimSetRadio(BOOL present, ULONGLONG address, const wchar_t* name, ULONG classOfDevice) {
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    stack.radioPresent = present != FALSE;
    if (address) stack.radioAddress = address;
    if (name) stack.radioName = name;
    if (classOfDevice) stack.radioClass = classOfDevice;
}

BOOL WINAPI BthSimAddDevice(ULONGLONG address, const wchar_t* name, ULONG classOfDevice, DWORD flags, const wchar_t* pin) {
    if (address == 0 || address >> 48) return FALSE;
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    AddDevice(stack, address, name, classOfDevice, flags, pin);
    return TRUE;
}

void WINAPI BthSimRemoveDevice(ULONGLONG address) {
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    if (Device* device = FindDevice(stack, address)) CloseParked(*device);
    stack.devices.erase(address);
}

void WINAPI BthSimSetDeviceFlags(ULONGLONG address, DWORD flags) {
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    if (Device* device = FindDevice(stack, address)) device->flags = flags;
}

DWORD WINAPI BthSimGetDeviceFlags(ULONGLONG address) {
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    Device* device = FindDevice(stack, address);
    return device ? device->flags : 0;
}

void WINAPI BthSimSetNameDelay(ULONGLONG address, DWORD inquiries) {
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    if (Device* device = FindDevice(stack, address)) {
        device->nameDelay = inquiries;
        device->heard = 0;
    }
}

BOOL WINAPI BthSimAddRecord(ULONGLONG address, const USHORT* classes, DWORD count, ULONG channel, DWORD behaviour) {
    if (channel > 30 || (count && !classes)) return FALSE;
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    Device* device = FindDevice(stack, address);
    if (!device) return FALSE;
    unsigned uuidBytes = (behaviour & BTHSIM_RECORD_UUID128) ? 16 : (behaviour & BTHSIM_RECORD_UUID32) ? 4 : 2;
    AddRecord(*device, std::vector<USHORT>(classes, classes + count), channel,
              behaviour & ~static_cast<DWORD>(BTHSIM_RECORD_UUID32 | BTHSIM_RECORD_UUID128), nullptr, uuidBytes);
    return TRUE;
}

void WINAPI BthSimSetInquiryDelay(DWORD milliseconds) {
    std::lock_guard<std::recursive_mutex> lock(TheStack().lock);
    TheStack().inquiryDelayMs = milliseconds;
}

void WINAPI BthSimFailNext(ULONGLONG address, DWORD operation, DWORD code, DWORD count) {
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    if (operation == BTHSIM_OP_PUBLISH || operation == BTHSIM_OP_ACCEPT || operation == BTHSIM_OP_REGISTER ||
        operation == BTHSIM_OP_RESPOND) {
        Failure& failure = operation == BTHSIM_OP_PUBLISH    ? stack.publishFailure
                           : operation == BTHSIM_OP_ACCEPT   ? stack.acceptFailure
                           : operation == BTHSIM_OP_REGISTER ? stack.registerFailure
                                                             : stack.respondFailure;
        failure = Failure{code, count};
        return;
    }
    if (Device* device = FindDevice(stack, address)) device->failures[operation] = Failure{code, count};
}

DWORD WINAPI BthSimGetCount(ULONGLONG address, DWORD counter) {
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    if (counter == BTHSIM_COUNT_INQUIRY) return stack.inquiries;
    if (counter == BTHSIM_COUNT_LISTENING) return CountListening(stack);
    if (counter == BTHSIM_COUNT_HANDLERS) {
        DWORD n = 0;
        for (const auto& entry : stack.registrations)
            if (address == 0 || entry.second.device == address) ++n;
        return n;
    }
    Device* device = FindDevice(stack, address);
    return device ? device->counts[counter] : 0;
}

DWORD WINAPI BthSimGetConnectLog(ULONGLONG address, ULONG* channels, DWORD capacity) {
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    Device* device = FindDevice(stack, address);
    if (!device) return 0;
    for (DWORD i = 0; i < capacity && i < device->connectLog.size(); ++i) channels[i] = device->connectLog[i];
    return static_cast<DWORD>(device->connectLog.size());
}

BOOL WINAPI BthSimRequestPairing(ULONGLONG address, DWORD method, ULONG value, BTHSIM_ANSWER* answer) {
    BTHSIM_ANSWER local;
    if (!AskHandler(address, method, value, local)) return FALSE;
    if (answer) *answer = local;
    return TRUE;
}
