#pragma once
// The Bluetooth LE GATT functions of Windows, loaded at run time from
// BluetoothApis.dll (they exist from Windows 8 on; loading them late keeps
// Basalt.dll loadable on older systems and lets a simulator stand in), and one
// opened GATT service device.
#include <basalt/Config.h>
#include <basalt/Sync.h>

#include <vector>

// The structures of the Windows Bluetooth LE API, in its layout. The mingw-w64
// headers have none of them; an SDK that has them is used as it is.
#if __has_include(<bthledef.h>) && defined(_MSC_VER)
#include <bthledef.h>
#else
typedef struct _BTH_LE_UUID {
    BOOLEAN IsShortUuid;
    union {
        USHORT ShortUuid;
        GUID LongUuid;
    } Value;
} BTH_LE_UUID, *PBTH_LE_UUID;

typedef struct _BTH_LE_GATT_SERVICE {
    BTH_LE_UUID ServiceUuid;
    USHORT AttributeHandle;
} BTH_LE_GATT_SERVICE, *PBTH_LE_GATT_SERVICE;

typedef struct _BTH_LE_GATT_CHARACTERISTIC {
    USHORT ServiceHandle;
    BTH_LE_UUID CharacteristicUuid;
    USHORT AttributeHandle;
    USHORT CharacteristicValueHandle;
    BOOLEAN IsBroadcastable;
    BOOLEAN IsReadable;
    BOOLEAN IsWritable;
    BOOLEAN IsWritableWithoutResponse;
    BOOLEAN IsSignedWritable;
    BOOLEAN IsNotifiable;
    BOOLEAN IsIndicatable;
    BOOLEAN HasExtendedProperties;
} BTH_LE_GATT_CHARACTERISTIC, *PBTH_LE_GATT_CHARACTERISTIC;

typedef struct _BTH_LE_GATT_CHARACTERISTIC_VALUE {
    ULONG DataSize;
    UCHAR Data[1];
} BTH_LE_GATT_CHARACTERISTIC_VALUE, *PBTH_LE_GATT_CHARACTERISTIC_VALUE;

typedef enum _BTH_LE_GATT_DESCRIPTOR_TYPE {
    CharacteristicExtendedProperties,
    CharacteristicUserDescription,
    ClientCharacteristicConfiguration,
    ServerCharacteristicConfiguration,
    CharacteristicFormat,
    CharacteristicAggregateFormat,
    CustomDescriptor
} BTH_LE_GATT_DESCRIPTOR_TYPE;

typedef struct _BTH_LE_GATT_DESCRIPTOR {
    USHORT ServiceHandle;
    USHORT CharacteristicHandle;
    BTH_LE_GATT_DESCRIPTOR_TYPE DescriptorType;
    BTH_LE_UUID DescriptorUuid;
    USHORT AttributeHandle;
} BTH_LE_GATT_DESCRIPTOR, *PBTH_LE_GATT_DESCRIPTOR;

typedef struct _BTH_LE_GATT_DESCRIPTOR_VALUE {
    BTH_LE_GATT_DESCRIPTOR_TYPE DescriptorType;
    BTH_LE_UUID DescriptorUuid;
    union {
        struct {
            BOOLEAN IsReliableWriteEnabled;
            BOOLEAN IsAuxiliariesWritable;
        } CharacteristicExtendedProperties;
        struct {
            BOOLEAN IsSubscribeToNotification;
            BOOLEAN IsSubscribeToIndication;
        } ClientCharacteristicConfiguration;
        struct {
            BOOLEAN IsBroadcast;
        } ServerCharacteristicConfiguration;
        struct {
            UCHAR Format;
            UCHAR Exponent;
            BTH_LE_UUID Unit;
            UCHAR NameSpace;
            BTH_LE_UUID Description;
        } CharacteristicFormat;
    };
    ULONG DataSize;
    UCHAR Data[1];
} BTH_LE_GATT_DESCRIPTOR_VALUE, *PBTH_LE_GATT_DESCRIPTOR_VALUE;

typedef enum _BTH_LE_GATT_EVENT_TYPE { CharacteristicValueChangedEvent } BTH_LE_GATT_EVENT_TYPE;

typedef VOID(CALLBACK* PFNBLUETOOTH_GATT_EVENT_CALLBACK)(BTH_LE_GATT_EVENT_TYPE EventType,
                                                         PVOID EventOutParameter, PVOID Context);

typedef struct _BLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION {
    USHORT NumCharacteristics;
    BTH_LE_GATT_CHARACTERISTIC Characteristics[1];
} BLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION, *PBLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION;

typedef struct _BLUETOOTH_GATT_VALUE_CHANGED_EVENT {
    USHORT ChangedAttributeHandle;
    size_t CharacteristicValueDataSize;
    PBTH_LE_GATT_CHARACTERISTIC_VALUE CharacteristicValue;
} BLUETOOTH_GATT_VALUE_CHANGED_EVENT, *PBLUETOOTH_GATT_VALUE_CHANGED_EVENT;

typedef ULONGLONG BTH_LE_GATT_RELIABLE_WRITE_CONTEXT;
typedef HANDLE BLUETOOTH_GATT_EVENT_HANDLE;

#define BLUETOOTH_GATT_FLAG_NONE 0x00000000
#define BLUETOOTH_GATT_FLAG_CONNECTION_ENCRYPTED 0x00000001
#define BLUETOOTH_GATT_FLAG_CONNECTION_AUTHENTICATED 0x00000002
#define BLUETOOTH_GATT_FLAG_FORCE_READ_FROM_DEVICE 0x00000004
#define BLUETOOTH_GATT_FLAG_FORCE_READ_FROM_CACHE 0x00000008
#define BLUETOOTH_GATT_FLAG_SIGNED_WRITE 0x00000010
#define BLUETOOTH_GATT_FLAG_WRITE_WITHOUT_RESPONSE 0x00000020
#define BLUETOOTH_GATT_FLAG_RETURN_ALL 0x00000040
#endif

namespace basalt {

// The GATT functions of BluetoothApis.dll, resolved once per process. A
// missing library or entry point is not fatal until a GATT operation is used.
struct CGATTFunctions {
    typedef HRESULT(WINAPI* GetServicesFn)(HANDLE, USHORT, PBTH_LE_GATT_SERVICE, USHORT*, ULONG);
    typedef HRESULT(WINAPI* GetCharacteristicsFn)(HANDLE, PBTH_LE_GATT_SERVICE, USHORT,
                                                  PBTH_LE_GATT_CHARACTERISTIC, USHORT*, ULONG);
    typedef HRESULT(WINAPI* GetDescriptorsFn)(HANDLE, PBTH_LE_GATT_CHARACTERISTIC, USHORT,
                                              PBTH_LE_GATT_DESCRIPTOR, USHORT*, ULONG);
    typedef HRESULT(WINAPI* GetCharacteristicValueFn)(HANDLE, PBTH_LE_GATT_CHARACTERISTIC, ULONG,
                                                      PBTH_LE_GATT_CHARACTERISTIC_VALUE, USHORT*, ULONG);
    typedef HRESULT(WINAPI* SetCharacteristicValueFn)(HANDLE, PBTH_LE_GATT_CHARACTERISTIC,
                                                      PBTH_LE_GATT_CHARACTERISTIC_VALUE,
                                                      BTH_LE_GATT_RELIABLE_WRITE_CONTEXT, ULONG);
    typedef HRESULT(WINAPI* SetDescriptorValueFn)(HANDLE, PBTH_LE_GATT_DESCRIPTOR,
                                                  PBTH_LE_GATT_DESCRIPTOR_VALUE, ULONG);
    typedef HRESULT(WINAPI* RegisterEventFn)(HANDLE, BTH_LE_GATT_EVENT_TYPE, PVOID,
                                             PFNBLUETOOTH_GATT_EVENT_CALLBACK, PVOID,
                                             BLUETOOTH_GATT_EVENT_HANDLE*, ULONG);
    typedef HRESULT(WINAPI* UnregisterEventFn)(BLUETOOTH_GATT_EVENT_HANDLE, ULONG);
    // A library that stands in for the system's (a simulator, whose devices
    // have no kernel object to open) may offer its own open, with the
    // signature of CreateFileW's first four arguments; the system's has none.
    typedef HANDLE(WINAPI* OpenDeviceFn)(const wchar_t* path, DWORD access, DWORD share, DWORD flags);

    HMODULE library;
    GetServicesFn getServices;
    GetCharacteristicsFn getCharacteristics;
    GetDescriptorsFn getDescriptors;
    GetCharacteristicValueFn getCharacteristicValue;
    SetCharacteristicValueFn setCharacteristicValue;
    SetDescriptorValueFn setDescriptorValue;
    RegisterEventFn registerEvent;
    UnregisterEventFn unregisterEvent;
    OpenDeviceFn openDevice;  // may be null

    // The process's table; loads the library on first use.
    static BASALT_API const CGATTFunctions& Get();
};

// One GATT service device of a paired Bluetooth LE device, opened by its
// device path. Failures throw CWinException (file "GATT") with the name of the
// failing function; a failed HRESULT of the Win32 facility carries its Win32
// code (ERROR_NOT_FOUND, ...), any other HRESULT itself.
class BASALT_API CMicrosoftGATT {
public:
    CMicrosoftGATT();
    ~CMicrosoftGATT();
    CMicrosoftGATT(const CMicrosoftGATT&) = delete;
    CMicrosoftGATT& operator=(const CMicrosoftGATT&) = delete;

    // Closes what is open, then opens the device path with CreateFileW's
    // access, share mode and flags (OPEN_EXISTING).
    void Open(const wchar_t* path, DWORD access, DWORD share, DWORD flags);
    void Close();
    bool IsOpen() const { return m_device.IsValid(); }
    HANDLE GetHandle() const { return m_device.Get(); }

    // The services of the device; on a service device, that service.
    void GetServices(std::vector<BTH_LE_GATT_SERVICE>& services) const;
    // Every characteristic of the opened service.
    void GetAllCharacteristics(std::vector<BTH_LE_GATT_CHARACTERISTIC>& characteristics) const;
    void GetDescriptors(const BTH_LE_GATT_CHARACTERISTIC& characteristic,
                        std::vector<BTH_LE_GATT_DESCRIPTOR>& descriptors) const;
    // Every descriptor of every characteristic of the opened service.
    void GetAllDescriptors(std::vector<BTH_LE_GATT_DESCRIPTOR>& descriptors) const;
    // The characteristic with 16-bit UUID characteristicUuid of the service
    // with 16-bit UUID serviceUuid. A 128-bit UUID counts by the 16 bits of
    // its base form (bits 0..15 of its first field), as the assigned numbers
    // and the vendors' bases place them. False when there is none.
    bool FindCharacteristicByUUID(USHORT serviceUuid, USHORT characteristicUuid,
                                  BTH_LE_GATT_CHARACTERISTIC& characteristic) const;

    void GetCharacteristicValue(const BTH_LE_GATT_CHARACTERISTIC& characteristic,
                                std::vector<BYTE>& value, ULONG flags) const;
    void SetCharacteristicValue(const BTH_LE_GATT_CHARACTERISTIC& characteristic, const BYTE* data,
                                ULONG size, ULONG flags) const;
    void SetDescriptorValue(const BTH_LE_GATT_DESCRIPTOR& descriptor,
                            const BTH_LE_GATT_DESCRIPTOR_VALUE& value, ULONG flags) const;

    void RegisterEvent(BTH_LE_GATT_EVENT_TYPE type, void* parameter,
                       PFNBLUETOOTH_GATT_EVENT_CALLBACK callback, void* context,
                       BLUETOOTH_GATT_EVENT_HANDLE* handle, ULONG flags) const;
    // The stack calls no callback of the registration after this returns.
    void UnregisterEvent(BLUETOOTH_GATT_EVENT_HANDLE handle, ULONG flags) const;

    // The 16 bits that name a UUID in the rule of FindCharacteristicByUUID.
    static USHORT ShortForm(const BTH_LE_UUID& uuid);

private:
    const CGATTFunctions& Functions(const wchar_t* function) const;

    CHandle m_device;
};

}  // namespace basalt
