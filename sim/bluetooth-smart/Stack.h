#pragma once
// The simulated Bluetooth LE stack behind the simulator's BluetoothApis.dll:
// devices with their GATT database, the service handles opened on them, the
// value-change registrations, and the stack's own thread that carries frames
// over each device's channel and calls the registered callbacks.
#include "BleSim.h"
#include "Channel.h"
#include "DeviceLink.h"

#include <basalt/GATT.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace blesim {

// The link service and its data characteristic.
extern const GUID kDataService;      // {F000A050-008B-4000-B000-000000000000}
extern const GUID kDataCharacteristic;  // {F000A002-008B-4000-B000-000000000000}

struct CCharacteristic {
    BTH_LE_GATT_CHARACTERISTIC info;
    std::vector<BYTE> value;
    bool hasConfiguration;       // a client characteristic configuration descriptor
    USHORT configurationHandle;
    bool notify;                 // what the client wrote to it
    bool indicate;
};

struct CService {
    GUID uuid;
    BTH_LE_GATT_SERVICE info;
    std::vector<CCharacteristic> characteristics;
};

struct CRawFrame {
    std::vector<BYTE> bytes;
    DWORD flags;
};

struct CDevice {
    ULONGLONG address;
    std::wstring name;
    std::vector<CService> services;
    USHORT nextHandle;
    bool hasDataService;
    USHORT dataHandle;           // attribute handle of the data characteristic

    std::unique_ptr<CDeviceLink> link;
    CFrameChannel up;            // port to device
    CFrameChannel down;          // device to port
    bool raw;
    std::deque<CRawFrame> written;  // raw mode: what the port wrote
    std::map<DWORD, HRESULT> failures;
    DWORD framesFromPort;
    DWORD framesToPort;

    CService* FindService(const GUID& uuid);
    CCharacteristic* FindCharacteristic(USHORT attributeHandle);
};

struct CRegistration {
    ULONGLONG address;
    std::vector<USHORT> handles;  // characteristics it listens to
    PFNBLUETOOTH_GATT_EVENT_CALLBACK callback;
    void* context;
};

struct COpened {
    ULONGLONG address;
    GUID service;
};

class CStack {
public:
    static CStack& Get();

    // Everything below takes the stack's lock itself.
    void Reset();
    bool AddDevice(ULONGLONG address, const wchar_t* name, DWORD flags);
    bool RemoveDevice(ULONGLONG address);
    bool AddService(ULONGLONG address, const GUID& service);
    bool AddCharacteristic(ULONGLONG address, const GUID& service, USHORT shortUuid, const GUID* longUuid,
                           DWORD properties, const BYTE* value, DWORD size);
    bool SetChannel(ULONGLONG address, const BLESIM_CHANNEL& channel);
    bool SetLinkParameters(ULONGLONG address, const BYTE parameters[6]);
    bool SetEcho(ULONGLONG address, bool echo);
    bool SetLiteral(ULONGLONG address, bool literal);
    DWORD DeviceSend(ULONGLONG address, const void* data, DWORD size);
    DWORD DeviceReceive(ULONGLONG address, void* buffer, DWORD size);
    bool GetCounters(ULONGLONG address, BLESIM_COUNTERS& counters);
    bool SetRawMode(ULONGLONG address, bool raw);
    DWORD TakeFrame(ULONGLONG address, BYTE* frame, DWORD capacity, DWORD* flags, DWORD timeoutMs);
    DWORD WaitReceived(ULONGLONG address, DWORD count, DWORD timeoutMs);
    bool InjectValue(ULONGLONG address, USHORT attributeHandle, const BYTE* value, DWORD size);
    bool SetFailure(ULONGLONG address, DWORD operation, HRESULT hr);
    // The device's name and services, for registering its nodes.
    bool Describe(ULONGLONG address, std::wstring& name, std::vector<GUID>& services);

    HANDLE Open(const wchar_t* path);

    // The GATT functions.
    HRESULT GetServices(HANDLE device, USHORT count, PBTH_LE_GATT_SERVICE buffer, USHORT* actual);
    HRESULT GetCharacteristics(HANDLE device, PBTH_LE_GATT_SERVICE service, USHORT count,
                               PBTH_LE_GATT_CHARACTERISTIC buffer, USHORT* actual);
    HRESULT GetDescriptors(HANDLE device, PBTH_LE_GATT_CHARACTERISTIC characteristic, USHORT count,
                           PBTH_LE_GATT_DESCRIPTOR buffer, USHORT* actual);
    HRESULT GetCharacteristicValue(HANDLE device, PBTH_LE_GATT_CHARACTERISTIC characteristic, ULONG size,
                                   PBTH_LE_GATT_CHARACTERISTIC_VALUE value, USHORT* required);
    HRESULT SetCharacteristicValue(HANDLE device, PBTH_LE_GATT_CHARACTERISTIC characteristic,
                                   PBTH_LE_GATT_CHARACTERISTIC_VALUE value, ULONG flags);
    HRESULT GetDescriptorValue(HANDLE device, PBTH_LE_GATT_DESCRIPTOR descriptor, ULONG size,
                               PBTH_LE_GATT_DESCRIPTOR_VALUE value, USHORT* required);
    HRESULT SetDescriptorValue(HANDLE device, PBTH_LE_GATT_DESCRIPTOR descriptor,
                               PBTH_LE_GATT_DESCRIPTOR_VALUE value);
    HRESULT RegisterEvent(HANDLE device, BTH_LE_GATT_EVENT_TYPE type, void* parameter,
                          PFNBLUETOOTH_GATT_EVENT_CALLBACK callback, void* context,
                          BLUETOOTH_GATT_EVENT_HANDLE* handle);
    HRESULT UnregisterEvent(BLUETOOTH_GATT_EVENT_HANDLE handle);

private:
    CStack();

    // With the lock held.
    CDevice* FindDevice(ULONGLONG address);
    // The device and service an opened handle names; an HRESULT on failure.
    HRESULT Resolve(HANDLE device, CDevice*& found, CService*& service);
    HRESULT Failure(CDevice& device, DWORD operation) const;
    void AttachLink(CDevice& device);
    static std::uint64_t NowUs();
    static DWORD Tick(std::uint64_t us) { return static_cast<DWORD>(us / 1000); }

    // The stack's thread: carries due frames, runs the devices' timers.
    static DWORD WINAPI ThreadProc(void* stack);
    void Run();
    void Wake() { ::SetEvent(m_wake); }
    void Deliver(CDevice& device, const CFrame& frame);

    CRITICAL_SECTION m_lock;
    HANDLE m_wake;
    HANDLE m_frameWritten;  // raw mode: a frame was queued
    HANDLE m_received;      // manual reset: a device took a frame from the port
    HANDLE m_thread;
    std::map<ULONGLONG, std::unique_ptr<CDevice>> m_devices;
    std::map<HANDLE, COpened> m_opened;
    std::map<CRegistration*, std::unique_ptr<CRegistration>> m_registrations;
};

}  // namespace blesim
