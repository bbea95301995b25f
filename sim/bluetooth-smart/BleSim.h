#pragma once
// Control interface of the simulated Bluetooth LE stack (the simulator's
// BluetoothApis.dll). Programs that load the simulator in place of the
// system's library use these extra exports to make devices, shape the radio
// channel and watch what crosses it; see README.md.
#include <windows.h>

#ifdef BLESIM_BUILD
#define BLESIM_API extern "C" __declspec(dllexport)
#else
#define BLESIM_API extern "C" __declspec(dllimport)
#endif

// How one device's radio channel treats frames, each direction alike (with
// generators of their own). Probabilities are in thousandths. Control frames
// of the link (connect, parameters, confirm, accepted, abort) travel as
// acknowledged writes and indications: only delay applies to them unless
// BLESIM_CHANNEL_LOSSY_CONTROL is set.
typedef struct BLESIM_CHANNEL {
    DWORD delayMs;            // one-way delay of every frame
    DWORD lossPermille;       // frames dropped
    DWORD duplicatePermille;  // frames delivered twice, the copy right behind
    DWORD reorderPermille;    // frames held back ...
    DWORD reorderDepth;       // ... until 1 to this many later frames overtook them (default 3)
    DWORD framesPerSecond;    // frames leaving per second and direction; 0: no limit
    DWORD seed;               // the same seed gives the same decisions
    DWORD flags;
} BLESIM_CHANNEL;
#define BLESIM_CHANNEL_LOSSY_CONTROL 0x1

typedef struct BLESIM_COUNTERS {
    DWORD framesFromPort;      // values written to the data characteristic
    DWORD framesToPort;        // value-change notifications delivered to callbacks
    DWORD framesDropped;       // by the channel, both directions
    DWORD framesDuplicated;
    DWORD framesReordered;
    DWORD deviceResent;        // data frames the device sent again
    DWORD deviceAcks;          // ACKs and NAKs the device sent
    DWORD deviceNaks;
    DWORD deviceDuplicates;    // payloads the device received outside its window
    DWORD linked;              // the device considers the link up
    DWORD window;              // W and T the device uses
    DWORD timerUnit;
    ULONGLONG bytesFromPort;   // payload bytes the device received in order
    ULONGLONG bytesToPort;     // payload bytes the device took from its queue
} BLESIM_COUNTERS;

// Device flags for BleSimAddDevice.
#define BLESIM_DEVICE_DATA_SERVICE 0x1  // the link service {F000A050-008B-4000-B000-000000000000}, characteristic 0xA002
#define BLESIM_DEVICE_ECHO 0x2          // what the device receives on the link, it sends back
#define BLESIM_DEVICE_LITERAL 0x4       // the device follows the plain link rules (see BleSimSetLiteral)

// Characteristic properties for BleSimAddCharacteristic.
#define BLESIM_PROP_READ 0x01
#define BLESIM_PROP_WRITE 0x02
#define BLESIM_PROP_WRITE_NO_RESPONSE 0x04
#define BLESIM_PROP_NOTIFY 0x08
#define BLESIM_PROP_INDICATE 0x10

// Operations that BleSimSetFailure makes fail.
#define BLESIM_FAIL_NONE 0
#define BLESIM_FAIL_OPEN 1           // BleSimOpenDevice
#define BLESIM_FAIL_WRITE 2          // BluetoothGATTSetCharacteristicValue
#define BLESIM_FAIL_READ 3           // BluetoothGATTGetCharacteristicValue
#define BLESIM_FAIL_REGISTER 4       // BluetoothGATTRegisterEvent
#define BLESIM_FAIL_DESCRIPTOR 5     // BluetoothGATTSetDescriptorValue
#define BLESIM_FAIL_LIST 6           // BluetoothGATTGetCharacteristics
#define BLESIM_FAIL_UNREGISTER 7     // BluetoothGATTUnregisterEvent: refused, the callbacks go on

// --- Devices ---------------------------------------------------------------
// The simulator starts with one device, 00:11:22:33:44:55 "Corvane BLE
// Simulator", with the link service, echoing what it receives.
//
// Removes every device and closes the channel; open service handles fail from then on.
BLESIM_API BOOL WINAPI BleSimReset(void);
// A device with the Generic Access service (device name readable) and, with
// BLESIM_DEVICE_DATA_SERVICE, the link service. False if the address is taken.
BLESIM_API BOOL WINAPI BleSimAddDevice(ULONGLONG address, const wchar_t* name, DWORD flags);
BLESIM_API BOOL WINAPI BleSimRemoveDevice(ULONGLONG address);
BLESIM_API BOOL WINAPI BleSimAddService(ULONGLONG address, const GUID* service);
// A characteristic with a 16-bit UUID (longUuid null) or a 128-bit one.
BLESIM_API BOOL WINAPI BleSimAddCharacteristic(ULONGLONG address, const GUID* service, USHORT shortUuid,
                                               const GUID* longUuid, DWORD properties,
                                               const BYTE* value, DWORD size);

// --- The link --------------------------------------------------------------
BLESIM_API BOOL WINAPI BleSimSetChannel(ULONGLONG address, const BLESIM_CHANNEL* channel);
// The six bytes p0..p5 the device answers a connect request with
// (default 00 01 10 20 50 FF: W 32, T 100).
BLESIM_API BOOL WINAPI BleSimSetLinkParameters(ULONGLONG address, const BYTE parameters[6]);
BLESIM_API BOOL WINAPI BleSimSetEcho(ULONGLONG address, BOOL echo);
// With literal on, the device's end of the link follows the plain rules as
// devices in the field do: up to W frames in flight, an acknowledgement that
// names no frame it holds empties its window, copies are kept a modulus
// ahead (the resend flag is ignored). Off (the default), it runs Corvane's
// own engine with fast recovery. Set it before the port opens.
BLESIM_API BOOL WINAPI BleSimSetLiteral(ULONGLONG address, BOOL literal);
// Bytes the device sends to the port over the link; answers how many it took.
BLESIM_API DWORD WINAPI BleSimDeviceSend(ULONGLONG address, const void* data, DWORD size);
// Bytes the device received in order (not with echo); null or 0: how many wait.
BLESIM_API DWORD WINAPI BleSimDeviceReceive(ULONGLONG address, void* buffer, DWORD size);
// Waits until the device holds at least count bytes received in order (not
// with echo), or timeoutMs passed; answers how many it holds. Woken by each
// frame the device takes, not by polling.
BLESIM_API DWORD WINAPI BleSimWaitDeviceReceived(ULONGLONG address, DWORD count, DWORD timeoutMs);
BLESIM_API BOOL WINAPI BleSimGetCounters(ULONGLONG address, BLESIM_COUNTERS* counters);

// --- Raw frames --------------------------------------------------------------
// With raw on, the device runs no link protocol: each value the port writes
// is queued for BleSimTakeFrame, and BleSimInjectValue forges notifications.
BLESIM_API BOOL WINAPI BleSimSetRawMode(ULONGLONG address, BOOL raw);
// The oldest value the port wrote, waiting up to timeoutMs; answers its size
// (0 when none came) and the write flags.
BLESIM_API DWORD WINAPI BleSimTakeFrame(ULONGLONG address, BYTE* frame, DWORD capacity, DWORD* flags,
                                        DWORD timeoutMs);
// A value-change notification of any size, delivered from the stack's thread
// after the channel's delay. attributeHandle 0: the data characteristic's.
BLESIM_API BOOL WINAPI BleSimInjectValue(ULONGLONG address, USHORT attributeHandle, const BYTE* value,
                                         DWORD size);

// Makes one GATT operation on the device fail with hr (S_OK: succeed again).
BLESIM_API BOOL WINAPI BleSimSetFailure(ULONGLONG address, DWORD operation, HRESULT hr);

// --- Device nodes for SetupAPI ------------------------------------------------
// Registers the device's node (enumerator BTHLE, friendly name, address,
// children) and one child node with a present device interface per service,
// as the Plug and Play manager holds a paired device. 0 or a Win32 error.
BLESIM_API DWORD WINAPI BleSimRegisterNodes(ULONGLONG address);
// One node of the Bluetooth setup class with what a test needs, any part null
// to leave it out; interfaceClass adds a present interface of that class.
// children is a list of texts, each ended by NUL, the list by another NUL.
BLESIM_API DWORD WINAPI BleSimRegisterNode(const wchar_t* instanceId, const wchar_t* friendlyName,
                                           const wchar_t* addressText, const wchar_t* children,
                                           const GUID* interfaceClass);
// Removes every node whose instance id begins with prefix (ignoring case),
// with its interfaces; answers how many.
BLESIM_API DWORD WINAPI BleSimRemoveNodes(const wchar_t* prefix);
// The node of the Bluetooth LE enumerator (matching device id BTH\MS_BTHLE).
BLESIM_API DWORD WINAPI BleSimRegisterRadio(void);

// --- The seam ------------------------------------------------------------------
// Opens a service device by the path of its interface; the simulated devices
// have no kernel object that CreateFileW could open.
BLESIM_API HANDLE WINAPI BleSimOpenDevice(const wchar_t* path, DWORD access, DWORD share, DWORD flags);
