// The exports of the simulator's BluetoothApis.dll: the GATT functions of the
// system's library, with its signatures, and the control functions of BleSim.h.
#include "Stack.h"

using blesim::CStack;

#define GATT_API extern "C" __declspec(dllexport)

GATT_API HRESULT WINAPI BluetoothGATTGetServices(HANDLE hDevice, USHORT ServicesBufferCount,
                                                 PBTH_LE_GATT_SERVICE ServicesBuffer,
                                                 USHORT* ServicesBufferActual, ULONG Flags) {
    return CStack::Get().GetServices(hDevice, ServicesBufferCount, ServicesBuffer, ServicesBufferActual);
}

GATT_API HRESULT WINAPI BluetoothGATTGetCharacteristics(HANDLE hDevice, PBTH_LE_GATT_SERVICE Service,
                                                        USHORT CharacteristicsBufferCount,
                                                        PBTH_LE_GATT_CHARACTERISTIC CharacteristicsBuffer,
                                                        USHORT* CharacteristicsBufferActual, ULONG Flags) {
    return CStack::Get().GetCharacteristics(hDevice, Service, CharacteristicsBufferCount, CharacteristicsBuffer,
                                            CharacteristicsBufferActual);
}

GATT_API HRESULT WINAPI BluetoothGATTGetDescriptors(HANDLE hDevice, PBTH_LE_GATT_CHARACTERISTIC Characteristic,
                                                    USHORT DescriptorsBufferCount,
                                                    PBTH_LE_GATT_DESCRIPTOR DescriptorsBuffer,
                                                    USHORT* DescriptorsBufferActual, ULONG Flags) {
    return CStack::Get().GetDescriptors(hDevice, Characteristic, DescriptorsBufferCount, DescriptorsBuffer,
                                        DescriptorsBufferActual);
}

GATT_API HRESULT WINAPI BluetoothGATTGetCharacteristicValue(HANDLE hDevice,
                                                            PBTH_LE_GATT_CHARACTERISTIC Characteristic,
                                                            ULONG CharacteristicValueDataSize,
                                                            PBTH_LE_GATT_CHARACTERISTIC_VALUE CharacteristicValue,
                                                            USHORT* CharacteristicValueSizeRequired, ULONG Flags) {
    return CStack::Get().GetCharacteristicValue(hDevice, Characteristic, CharacteristicValueDataSize,
                                                CharacteristicValue, CharacteristicValueSizeRequired);
}

GATT_API HRESULT WINAPI BluetoothGATTSetCharacteristicValue(HANDLE hDevice,
                                                            PBTH_LE_GATT_CHARACTERISTIC Characteristic,
                                                            PBTH_LE_GATT_CHARACTERISTIC_VALUE CharacteristicValue,
                                                            BTH_LE_GATT_RELIABLE_WRITE_CONTEXT ReliableWriteContext,
                                                            ULONG Flags) {
    return CStack::Get().SetCharacteristicValue(hDevice, Characteristic, CharacteristicValue, Flags);
}

GATT_API HRESULT WINAPI BluetoothGATTGetDescriptorValue(HANDLE hDevice, PBTH_LE_GATT_DESCRIPTOR Descriptor,
                                                        ULONG DescriptorValueDataSize,
                                                        PBTH_LE_GATT_DESCRIPTOR_VALUE DescriptorValue,
                                                        USHORT* DescriptorValueSizeRequired, ULONG Flags) {
    return CStack::Get().GetDescriptorValue(hDevice, Descriptor, DescriptorValueDataSize, DescriptorValue,
                                            DescriptorValueSizeRequired);
}

GATT_API HRESULT WINAPI BluetoothGATTSetDescriptorValue(HANDLE hDevice, PBTH_LE_GATT_DESCRIPTOR Descriptor,
                                                        PBTH_LE_GATT_DESCRIPTOR_VALUE DescriptorValue, ULONG Flags) {
    return CStack::Get().SetDescriptorValue(hDevice, Descriptor, DescriptorValue);
}

GATT_API HRESULT WINAPI BluetoothGATTRegisterEvent(HANDLE hService, BTH_LE_GATT_EVENT_TYPE EventType,
                                                   PVOID EventParameterIn, PFNBLUETOOTH_GATT_EVENT_CALLBACK Callback,
                                                   PVOID CallbackContext, BLUETOOTH_GATT_EVENT_HANDLE* pEventHandle,
                                                   ULONG Flags) {
    return CStack::Get().RegisterEvent(hService, EventType, EventParameterIn, Callback, CallbackContext,
                                       pEventHandle);
}

GATT_API HRESULT WINAPI BluetoothGATTUnregisterEvent(BLUETOOTH_GATT_EVENT_HANDLE EventHandle, ULONG Flags) {
    return CStack::Get().UnregisterEvent(EventHandle);
}

// --- Control ------------------------------------------------------------------

BLESIM_API BOOL WINAPI BleSimReset(void) {
    CStack::Get().Reset();
    return TRUE;
}

BLESIM_API BOOL WINAPI BleSimAddDevice(ULONGLONG address, const wchar_t* name, DWORD flags) {
    return CStack::Get().AddDevice(address, name, flags);
}

BLESIM_API BOOL WINAPI BleSimRemoveDevice(ULONGLONG address) { return CStack::Get().RemoveDevice(address); }

BLESIM_API BOOL WINAPI BleSimAddService(ULONGLONG address, const GUID* service) {
    return service && CStack::Get().AddService(address, *service);
}

BLESIM_API BOOL WINAPI BleSimAddCharacteristic(ULONGLONG address, const GUID* service, USHORT shortUuid,
                                               const GUID* longUuid, DWORD properties, const BYTE* value,
                                               DWORD size) {
    return service && CStack::Get().AddCharacteristic(address, *service, shortUuid, longUuid, properties, value, size);
}

BLESIM_API BOOL WINAPI BleSimSetChannel(ULONGLONG address, const BLESIM_CHANNEL* channel) {
    return channel && CStack::Get().SetChannel(address, *channel);
}

BLESIM_API BOOL WINAPI BleSimSetLinkParameters(ULONGLONG address, const BYTE parameters[6]) {
    return parameters && CStack::Get().SetLinkParameters(address, parameters);
}

BLESIM_API BOOL WINAPI BleSimSetEcho(ULONGLONG address, BOOL echo) { return CStack::Get().SetEcho(address, echo != FALSE); }

BLESIM_API BOOL WINAPI BleSimSetLiteral(ULONGLONG address, BOOL literal) {
    return CStack::Get().SetLiteral(address, literal != FALSE);
}

BLESIM_API DWORD WINAPI BleSimDeviceSend(ULONGLONG address, const void* data, DWORD size) {
    return CStack::Get().DeviceSend(address, data, size);
}

BLESIM_API DWORD WINAPI BleSimDeviceReceive(ULONGLONG address, void* buffer, DWORD size) {
    return CStack::Get().DeviceReceive(address, buffer, size);
}

BLESIM_API DWORD WINAPI BleSimWaitDeviceReceived(ULONGLONG address, DWORD count, DWORD timeoutMs) {
    return CStack::Get().WaitReceived(address, count, timeoutMs);
}

BLESIM_API BOOL WINAPI BleSimGetCounters(ULONGLONG address, BLESIM_COUNTERS* counters) {
    return counters && CStack::Get().GetCounters(address, *counters);
}

BLESIM_API BOOL WINAPI BleSimSetRawMode(ULONGLONG address, BOOL raw) {
    return CStack::Get().SetRawMode(address, raw != FALSE);
}

BLESIM_API DWORD WINAPI BleSimTakeFrame(ULONGLONG address, BYTE* frame, DWORD capacity, DWORD* flags,
                                        DWORD timeoutMs) {
    return CStack::Get().TakeFrame(address, frame, capacity, flags, timeoutMs);
}

BLESIM_API BOOL WINAPI BleSimInjectValue(ULONGLONG address, USHORT attributeHandle, const BYTE* value, DWORD size) {
    return (value || size == 0) && CStack::Get().InjectValue(address, attributeHandle, value, size);
}

BLESIM_API BOOL WINAPI BleSimSetFailure(ULONGLONG address, DWORD operation, HRESULT hr) {
    return CStack::Get().SetFailure(address, operation, hr);
}

BLESIM_API HANDLE WINAPI BleSimOpenDevice(const wchar_t* path, DWORD access, DWORD share, DWORD flags) {
    return CStack::Get().Open(path);
}
