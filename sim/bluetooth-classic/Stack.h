#pragma once
// The state of the simulated classic Bluetooth stack: one radio, devices with
// their service records, authentication registrations, published services
// and the Bluetooth sockets handed out. One lock guards it all; nothing slow
// (a handler call, a connect, an inquiry delay) runs while it is held.
#include "BthSim.h"

#include <ws2bth.h>

// The toolchain declares a few of these without the system's stdcall
// convention; the simulator defines its own below.
#define BluetoothSdpGetElementData BluetoothSdpGetElementData_toolchain
#define BluetoothRegisterForAuthentication BluetoothRegisterForAuthentication_toolchain
#define BluetoothRegisterForAuthenticationEx BluetoothRegisterForAuthenticationEx_toolchain
#define BluetoothSdpEnumAttributes BluetoothSdpEnumAttributes_toolchain
#include <bluetoothapis.h>
#undef BluetoothSdpGetElementData
#undef BluetoothRegisterForAuthentication
#undef BluetoothRegisterForAuthenticationEx
#undef BluetoothSdpEnumAttributes

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#define BTHSIM_EXPORT extern "C" __declspec(dllexport)

namespace bthsim {

typedef BOOL(CALLBACK* AuthCallback)(LPVOID, BLUETOOTH_DEVICE_INFO*);
typedef BOOL(CALLBACK* AuthCallbackEx)(LPVOID, BLUETOOTH_AUTHENTICATION_CALLBACK_PARAMS*);

struct Record {
    std::vector<USHORT> classes;
    ULONG channel;
    DWORD behaviour;
    std::vector<BYTE> bytes;  // the record as SDP data elements
};

struct Failure {
    DWORD code = 0;
    DWORD count = 0;
};

struct Device {
    ULONGLONG address = 0;
    std::wstring name;
    ULONG classOfDevice = 0;
    DWORD flags = 0;
    bool hasPin = false;
    std::wstring pin;
    DWORD nameDelay = 0;  // inquiries that report no name
    DWORD heard = 0;      // inquiries that reported the device
    std::vector<Record> records;
    std::map<DWORD, Failure> failures;
    std::map<DWORD, DWORD> counts;
    std::vector<ULONG> connectLog;
    std::deque<SOCKET> parked;  // device ends of BTHSIM_SERVICE_HOLD connections
};

struct Registration {
    ULONGLONG device;
    AuthCallback callback;
    AuthCallbackEx callbackEx;
    void* context;
};

struct Published {
    GUID serviceClass;
    std::wstring name;
    ULONG channel;
};

// A Bluetooth socket: an ordinary loopback socket and what Bluetooth says of it.
struct SocketState {
    ULONG channel = 0;       // bound or connected channel
    ULONGLONG peer = 0;      // the device at the other end
    bool bound = false;
};

// A pairing in progress: what the handler answered through the response calls.
struct PairingRequest {
    ULONGLONG device;
    DWORD method;
    ULONG value;
    BTHSIM_ANSWER answer;
};

struct Stack {
    std::recursive_mutex lock;
    std::condition_variable_any changed;

    bool radioPresent = true;
    ULONGLONG radioAddress = 0;
    std::wstring radioName;
    ULONG radioClass = 0;
    bool discoverable = false;
    bool connectable = true;
    DWORD inquiryDelayMs = 0;
    DWORD inquiries = 0;
    bool caller = false;  // the default world's device that dials every published service

    std::map<ULONGLONG, Device> devices;
    std::map<ULONGLONG, Registration> registrations;  // by handle value
    ULONGLONG nextRegistration = 1;
    std::vector<Published> published;
    std::map<SOCKET, SocketState> sockets;
    std::map<USHORT, ULONGLONG> incoming;  // loopback port of a dialling device's end -> its address
    ULONG nextLocalChannel = 1;
    Failure publishFailure;
    Failure acceptFailure;
    Failure registerFailure;
    Failure respondFailure;
    PairingRequest* pairing = nullptr;  // the one in progress, answered by the response calls
};

Stack& TheStack();
Device* FindDevice(Stack& stack, ULONGLONG address);
// Consumes one injected failure; 0 when none is due.
DWORD TakeFailure(Device& device, DWORD operation);

void BuildDefaultWorld(Stack& stack);
// uuidBytes: the size the service classes are written in (2, 4 or 16).
std::vector<BYTE> BuildRecord(const std::vector<USHORT>& classes, ULONG channel, const wchar_t* name,
                              unsigned uuidBytes = 2);
// Consumes one injected stack-wide failure; 0 when none is due.
DWORD TakeFailure(Failure& failure);

// Runs a pairing through the device's registered handler on a thread of the
// stack's own and waits for it; false when no handler is registered.
bool AskHandler(ULONGLONG device, DWORD method, ULONG value, BTHSIM_ANSWER& answer);
// Whether an answer pairs the device (its PIN, or the value it showed).
bool AnswerPairs(const Device& device, const BTHSIM_ANSWER& answer, ULONG value);

// Sessions: what a device does with the connections it takes.
void StartSession(SOCKET deviceEnd, ULONGLONG device, DWORD behaviour);
// A connected pair of loopback sockets: `client` (made by the caller) is
// connected to a new socket returned as the other end.
SOCKET ConnectLoopback(SOCKET client);
void CloseParked(Device& device);
// Bound sockets that are still open; forgets the closed ones.
DWORD CountListening(Stack& stack);

std::wstring AddressText(ULONGLONG address);
bool ParseAddress(const wchar_t* text, ULONGLONG& address);

}  // namespace bthsim
