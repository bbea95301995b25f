#include <basalt/GATT.h>
#include <basalt/Library.h>
#include <basalt/Exceptions.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace basalt {

namespace {

const wchar_t kFile[] = L"GATT";

// A failed HRESULT as the code the exception carries: Win32 failures keep
// their Win32 code, so that callers compare with ERROR_NOT_FOUND and friends.
DWORD CodeOf(HRESULT hr) {
    if (HRESULT_FACILITY(hr) == FACILITY_WIN32) return HRESULT_CODE(hr);
    return static_cast<DWORD>(hr);
}

[[noreturn]] void Fail(int line, const wchar_t* function, HRESULT hr) {
    throw CWinException(line, kFile, function, CodeOf(hr));
}

template <class Fn>
Fn Resolve(HMODULE library, const char* name) {
    return library ? reinterpret_cast<Fn>(::GetProcAddress(library, name)) : nullptr;
}

template <class Fn>
Fn Require(Fn function, const wchar_t* name) {
    if (function == nullptr) {
        // The library is missing (before Windows 8) or lacks the entry point.
        DWORD code = CGATTFunctions::Get().library ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND;
        throw CWinException(__LINE__, kFile, name, code);
    }
    return function;
}

const HRESULT kMoreData = HRESULT_FROM_WIN32(ERROR_MORE_DATA);
const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// The stack's two-call listing: ask for the count, then fill. No element is
// an empty list, however the stack says it (S_OK with 0, or ERROR_NOT_FOUND).
template <class T, class Query>
void List(std::vector<T>& items, const wchar_t* function, Query query) {
    items.clear();
    USHORT count = 0;
    HRESULT hr = query(static_cast<USHORT>(0), static_cast<T*>(nullptr), &count);
    if (hr == kNotFound || (SUCCEEDED(hr) && count == 0)) return;
    if (hr != kMoreData && FAILED(hr)) Fail(__LINE__, function, hr);
    // The device may gain elements between the two calls: ask again then.
    for (int attempt = 0; attempt < 4; ++attempt) {
        items.resize(count);
        USHORT actual = 0;
        hr = query(count, items.data(), &actual);
        if (SUCCEEDED(hr)) {
            items.resize(actual < count ? actual : count);
            return;
        }
        if (hr != kMoreData || actual <= count) Fail(__LINE__, function, hr);
        count = actual;
    }
    Fail(__LINE__, function, hr);
}

}  // namespace

const CGATTFunctions& CGATTFunctions::Get() {
    static const CGATTFunctions functions = [] {
        CGATTFunctions f = {};
        // Never freed: callbacks registered with it may run until the last
        // registration is withdrawn, possibly at process exit.
        static const CLibrary* const library = new CLibrary(L"BluetoothApis.dll");
        f.library = library->Get();
        f.getServices = Resolve<GetServicesFn>(f.library, "BluetoothGATTGetServices");
        f.getCharacteristics = Resolve<GetCharacteristicsFn>(f.library, "BluetoothGATTGetCharacteristics");
        f.getDescriptors = Resolve<GetDescriptorsFn>(f.library, "BluetoothGATTGetDescriptors");
        f.getCharacteristicValue =
            Resolve<GetCharacteristicValueFn>(f.library, "BluetoothGATTGetCharacteristicValue");
        f.setCharacteristicValue =
            Resolve<SetCharacteristicValueFn>(f.library, "BluetoothGATTSetCharacteristicValue");
        f.setDescriptorValue = Resolve<SetDescriptorValueFn>(f.library, "BluetoothGATTSetDescriptorValue");
        f.registerEvent = Resolve<RegisterEventFn>(f.library, "BluetoothGATTRegisterEvent");
        f.unregisterEvent = Resolve<UnregisterEventFn>(f.library, "BluetoothGATTUnregisterEvent");
        f.openDevice = Resolve<OpenDeviceFn>(f.library, "BleSimOpenDevice");
        return f;
    }();
    return functions;
}

CMicrosoftGATT::CMicrosoftGATT() {}

CMicrosoftGATT::~CMicrosoftGATT() {}

const CGATTFunctions& CMicrosoftGATT::Functions(const wchar_t* function) const {
    if (!IsOpen()) throw CWinException(__LINE__, kFile, function, ERROR_INVALID_HANDLE);
    return CGATTFunctions::Get();
}

void CMicrosoftGATT::Open(const wchar_t* path, DWORD access, DWORD share, DWORD flags) {
    Close();
    if (path == nullptr || *path == L'\0') throw CWinException(__LINE__, kFile, L"CreateFile", ERROR_INVALID_PARAMETER);
    const CGATTFunctions& f = CGATTFunctions::Get();
    HANDLE handle = f.openDevice ? f.openDevice(path, access, share, flags)
                                 : ::CreateFileW(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        DWORD error = ::GetLastError();
        throw CWinException(__LINE__, kFile, L"CreateFile", error ? error : ERROR_OPEN_FAILED);
    }
    m_device.Reset(handle);
}

void CMicrosoftGATT::Close() { m_device.Close(); }

void CMicrosoftGATT::GetServices(std::vector<BTH_LE_GATT_SERVICE>& services) const {
    const wchar_t* name = L"BluetoothGATTGetServices";
    auto fn = Require(Functions(name).getServices, name);
    HANDLE device = m_device.Get();
    List(services, name, [&](USHORT count, BTH_LE_GATT_SERVICE* buffer, USHORT* actual) {
        return fn(device, count, buffer, actual, BLUETOOTH_GATT_FLAG_NONE);
    });
}

void CMicrosoftGATT::GetAllCharacteristics(std::vector<BTH_LE_GATT_CHARACTERISTIC>& characteristics) const {
    const wchar_t* name = L"BluetoothGATTGetCharacteristics";
    auto fn = Require(Functions(name).getCharacteristics, name);
    HANDLE device = m_device.Get();
    // On a service device the service argument may stay null: the opened
    // service is the parent.
    List(characteristics, name, [&](USHORT count, BTH_LE_GATT_CHARACTERISTIC* buffer, USHORT* actual) {
        return fn(device, nullptr, count, buffer, actual, BLUETOOTH_GATT_FLAG_NONE);
    });
}

void CMicrosoftGATT::GetDescriptors(const BTH_LE_GATT_CHARACTERISTIC& characteristic,
                                    std::vector<BTH_LE_GATT_DESCRIPTOR>& descriptors) const {
    const wchar_t* name = L"BluetoothGATTGetDescriptors";
    auto fn = Require(Functions(name).getDescriptors, name);
    HANDLE device = m_device.Get();
    BTH_LE_GATT_CHARACTERISTIC parent = characteristic;
    List(descriptors, name, [&](USHORT count, BTH_LE_GATT_DESCRIPTOR* buffer, USHORT* actual) {
        return fn(device, &parent, count, buffer, actual, BLUETOOTH_GATT_FLAG_NONE);
    });
}

void CMicrosoftGATT::GetAllDescriptors(std::vector<BTH_LE_GATT_DESCRIPTOR>& descriptors) const {
    descriptors.clear();
    std::vector<BTH_LE_GATT_CHARACTERISTIC> characteristics;
    GetAllCharacteristics(characteristics);
    std::vector<BTH_LE_GATT_DESCRIPTOR> some;
    for (const BTH_LE_GATT_CHARACTERISTIC& characteristic : characteristics) {
        GetDescriptors(characteristic, some);
        descriptors.insert(descriptors.end(), some.begin(), some.end());
    }
}

USHORT CMicrosoftGATT::ShortForm(const BTH_LE_UUID& uuid) {
    if (uuid.IsShortUuid) return uuid.Value.ShortUuid;
    return static_cast<USHORT>(uuid.Value.LongUuid.Data1 & 0xFFFF);
}

bool CMicrosoftGATT::FindCharacteristicByUUID(USHORT serviceUuid, USHORT characteristicUuid,
                                              BTH_LE_GATT_CHARACTERISTIC& characteristic) const {
    std::vector<BTH_LE_GATT_CHARACTERISTIC> characteristics;
    GetAllCharacteristics(characteristics);

    // The services tell which attribute handle the wanted one starts at; a
    // stack that lists none for a service device leaves the characteristic's
    // own UUID to decide.
    std::vector<BTH_LE_GATT_SERVICE> services;
    try {
        GetServices(services);
    } catch (const CWinException&) {
        services.clear();
    }
    bool anyService = false;
    USHORT serviceHandle = 0;
    for (const BTH_LE_GATT_SERVICE& service : services)
        if (ShortForm(service.ServiceUuid) == serviceUuid) {
            anyService = true;
            serviceHandle = service.AttributeHandle;
            break;
        }
    if (!services.empty() && !anyService) return false;

    for (const BTH_LE_GATT_CHARACTERISTIC& candidate : characteristics) {
        if (ShortForm(candidate.CharacteristicUuid) != characteristicUuid) continue;
        if (anyService && candidate.ServiceHandle != serviceHandle) continue;
        characteristic = candidate;
        return true;
    }
    return false;
}

void CMicrosoftGATT::GetCharacteristicValue(const BTH_LE_GATT_CHARACTERISTIC& characteristic,
                                            std::vector<BYTE>& value, ULONG flags) const {
    const wchar_t* name = L"BluetoothGATTGetCharacteristicValue";
    auto fn = Require(Functions(name).getCharacteristicValue, name);
    BTH_LE_GATT_CHARACTERISTIC parent = characteristic;
    USHORT required = 0;
    HRESULT hr = fn(m_device.Get(), &parent, 0, nullptr, &required, flags);
    if (hr != kMoreData && FAILED(hr)) Fail(__LINE__, name, hr);
    std::vector<BYTE> buffer(std::max<size_t>(required, sizeof(BTH_LE_GATT_CHARACTERISTIC_VALUE)));
    auto* result = reinterpret_cast<PBTH_LE_GATT_CHARACTERISTIC_VALUE>(buffer.data());
    hr = fn(m_device.Get(), &parent, static_cast<ULONG>(buffer.size()), result, nullptr, flags);
    if (FAILED(hr)) Fail(__LINE__, name, hr);
    size_t room = buffer.size() - offsetof(BTH_LE_GATT_CHARACTERISTIC_VALUE, Data);
    size_t size = result->DataSize < room ? result->DataSize : room;
    value.assign(result->Data, result->Data + size);
}

void CMicrosoftGATT::SetCharacteristicValue(const BTH_LE_GATT_CHARACTERISTIC& characteristic,
                                            const BYTE* data, ULONG size, ULONG flags) const {
    const wchar_t* name = L"BluetoothGATTSetCharacteristicValue";
    auto fn = Require(Functions(name).setCharacteristicValue, name);
    // Big enough for the largest value the link writes without allocating.
    BYTE small[64];
    std::vector<BYTE> large;
    size_t bytes = std::max<size_t>(offsetof(BTH_LE_GATT_CHARACTERISTIC_VALUE, Data) + size,
                                    sizeof(BTH_LE_GATT_CHARACTERISTIC_VALUE));
    BYTE* block = small;
    if (bytes > sizeof small) {
        large.resize(bytes);
        block = large.data();
    }
    auto* value = reinterpret_cast<PBTH_LE_GATT_CHARACTERISTIC_VALUE>(block);
    value->DataSize = size;
    if (size) std::memcpy(value->Data, data, size);
    BTH_LE_GATT_CHARACTERISTIC parent = characteristic;
    HRESULT hr = fn(m_device.Get(), &parent, value, 0, flags);
    if (FAILED(hr)) Fail(__LINE__, name, hr);
}

void CMicrosoftGATT::SetDescriptorValue(const BTH_LE_GATT_DESCRIPTOR& descriptor,
                                        const BTH_LE_GATT_DESCRIPTOR_VALUE& value, ULONG flags) const {
    const wchar_t* name = L"BluetoothGATTSetDescriptorValue";
    auto fn = Require(Functions(name).setDescriptorValue, name);
    BTH_LE_GATT_DESCRIPTOR target = descriptor;
    BTH_LE_GATT_DESCRIPTOR_VALUE copy = value;
    HRESULT hr = fn(m_device.Get(), &target, &copy, flags);
    if (FAILED(hr)) Fail(__LINE__, name, hr);
}

void CMicrosoftGATT::RegisterEvent(BTH_LE_GATT_EVENT_TYPE type, void* parameter,
                                   PFNBLUETOOTH_GATT_EVENT_CALLBACK callback, void* context,
                                   BLUETOOTH_GATT_EVENT_HANDLE* handle, ULONG flags) const {
    const wchar_t* name = L"BluetoothGATTRegisterEvent";
    auto fn = Require(Functions(name).registerEvent, name);
    HRESULT hr = fn(m_device.Get(), type, parameter, callback, context, handle, flags);
    if (FAILED(hr)) Fail(__LINE__, name, hr);
}

void CMicrosoftGATT::UnregisterEvent(BLUETOOTH_GATT_EVENT_HANDLE handle, ULONG flags) const {
    const wchar_t* name = L"BluetoothGATTUnregisterEvent";
    // A registration outlives nothing: withdrawing it needs no open device.
    auto fn = Require(CGATTFunctions::Get().unregisterEvent, name);
    HRESULT hr = fn(handle, flags);
    if (FAILED(hr)) Fail(__LINE__, name, hr);
}

}  // namespace basalt
