#include "Stack.h"

#include <objbase.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>

namespace blesim {

const GUID kDataService = {0xF000A050, 0x008B, 0x4000, {0xB0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
const GUID kDataCharacteristic = {0xF000A002, 0x008B, 0x4000, {0xB0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};

namespace {

// The Bluetooth base UUID: xxxxxxxx-0000-1000-8000-00805F9B34FB.
const GUID kBase = {0x00000000, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};
const USHORT kGenericAccess = 0x1800;
const USHORT kDeviceName = 0x2A00;
const USHORT kAppearance = 0x2A01;
const USHORT kConfigurationUuid = 0x2902;

const HRESULT kMoreData = HRESULT_FROM_WIN32(ERROR_MORE_DATA);
const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
const HRESULT kGone = HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);
const HRESULT kBadHandle = HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);

class CLock {
public:
    explicit CLock(CRITICAL_SECTION& section) : m_section(section) { ::EnterCriticalSection(&m_section); }
    ~CLock() { ::LeaveCriticalSection(&m_section); }

private:
    CRITICAL_SECTION& m_section;
};

bool IsBase(const GUID& uuid) {
    return uuid.Data1 <= 0xFFFF && uuid.Data2 == kBase.Data2 && uuid.Data3 == kBase.Data3 &&
           std::memcmp(uuid.Data4, kBase.Data4, 8) == 0;
}

// A service or characteristic UUID as the stack reports it: the short form
// for one of the base, the long form otherwise. The union is zeroed first,
// so a short UUID lies in the low half of the GUID's first field.
BTH_LE_UUID MakeUuid(const GUID& uuid) {
    BTH_LE_UUID result;
    std::memset(&result, 0, sizeof result);
    if (IsBase(uuid)) {
        result.IsShortUuid = TRUE;
        result.Value.ShortUuid = static_cast<USHORT>(uuid.Data1);
    } else {
        result.Value.LongUuid = uuid;
    }
    return result;
}

BTH_LE_UUID ShortUuid(USHORT value) {
    GUID uuid = kBase;
    uuid.Data1 = value;
    return MakeUuid(uuid);
}

// The two-call listing of the stack: the count alone, or the elements.
template <class T>
HRESULT Copy(const std::vector<T>& items, USHORT count, T* buffer, USHORT* actual) {
    if (actual == nullptr) return E_POINTER;
    *actual = static_cast<USHORT>(items.size());
    if (items.empty()) return kNotFound;
    if (buffer == nullptr || count < items.size()) return kMoreData;
    std::copy(items.begin(), items.end(), buffer);
    return S_OK;
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int length = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], length, nullptr, nullptr);
    return bytes;
}

}  // namespace

CService* CDevice::FindService(const GUID& uuid) {
    for (CService& service : services)
        if (IsEqualGUID(service.uuid, uuid)) return &service;
    return nullptr;
}

CCharacteristic* CDevice::FindCharacteristic(USHORT attributeHandle) {
    for (CService& service : services)
        for (CCharacteristic& characteristic : service.characteristics)
            if (characteristic.info.AttributeHandle == attributeHandle) return &characteristic;
    return nullptr;
}

CStack& CStack::Get() {
    // Never destroyed: the stack's thread may still run while the process ends.
    static CStack* stack = new CStack;
    return *stack;
}

CStack::CStack() : m_thread(nullptr) {
    ::InitializeCriticalSection(&m_lock);
    m_wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    m_frameWritten = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    m_received = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_thread = ::CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr);
    // Something to talk to before anyone configured a device.
    AddDevice(0x001122334455ull, L"Corvane BLE Simulator", BLESIM_DEVICE_DATA_SERVICE | BLESIM_DEVICE_ECHO);
}

namespace {

// BLESIM_TRACE names a file that gets one line per link frame: the time in
// ms, where the frame is ("P>" the port wrote it, ">D" the device took it,
// "D>" the device wrote it, ">P" it reached the port's callback), its bytes.
FILE* TraceFile() {
    static FILE* file = [] {
        const char* path = std::getenv("BLESIM_TRACE");
        return path && *path ? std::fopen(path, "w") : nullptr;
    }();
    return file;
}

void Trace(std::uint64_t nowUs, const char* where, const BYTE* frame, DWORD size) {
    FILE* file = TraceFile();
    if (!file) return;
    std::fprintf(file, "%10.2f %s", nowUs / 1000.0, where);
    for (DWORD i = 0; i < size; ++i) std::fprintf(file, " %02X", frame[i]);
    std::fprintf(file, "\n");
    std::fflush(file);
}

}  // namespace

std::uint64_t CStack::NowUs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return static_cast<std::uint64_t>(counter.QuadPart / frequency.QuadPart * 1000000 +
                                      counter.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart);
}

CDevice* CStack::FindDevice(ULONGLONG address) {
    auto found = m_devices.find(address & 0xFFFFFFFFFFFFull);
    return found == m_devices.end() ? nullptr : found->second.get();
}

HRESULT CStack::Failure(CDevice& device, DWORD operation) const {
    auto found = device.failures.find(operation);
    return found == device.failures.end() ? S_OK : found->second;
}

// ---------------------------------------------------------------------------
// Devices

void CStack::Reset() {
    CLock lock(m_lock);
    m_devices.clear();
    m_opened.clear();
    // Registrations stay until their owners withdraw them; they hear nothing.
    for (auto& registration : m_registrations) registration.second->address = ~0ull;
}

void CStack::AttachLink(CDevice& device) {
    device.link.reset(new CDeviceLink);
    CDevice* target = &device;
    device.link->SetEmitter([this, target](const BYTE* frame, DWORD size, bool control) {
        std::uint64_t now = NowUs();
        Trace(now, "D>", frame, size);
        target->down.Submit(frame, size, control, now);
        Wake();
    });
}

bool CStack::AddDevice(ULONGLONG address, const wchar_t* name, DWORD flags) {
    CLock lock(m_lock);
    address &= 0xFFFFFFFFFFFFull;
    if (FindDevice(address)) return false;
    std::unique_ptr<CDevice> device(new CDevice);
    device->address = address;
    device->name = name ? name : L"";
    device->nextHandle = 1;
    device->hasDataService = false;
    device->dataHandle = 0;
    device->raw = false;
    device->framesFromPort = 0;
    device->framesToPort = 0;
    BLESIM_CHANNEL plain = {};
    device->up.Configure(plain, 1);
    device->down.Configure(plain, 2);
    AttachLink(*device);
    CDevice& added = *device;
    m_devices[address] = std::move(device);

    // The lock is recursive: the additions below take it again.
    // Generic Access: the name and an appearance, both readable.
    GUID access = kBase;
    access.Data1 = kGenericAccess;
    AddService(address, access);
    std::string utf8 = Utf8(added.name);
    AddCharacteristic(address, access, kDeviceName, nullptr, BLESIM_PROP_READ,
                      reinterpret_cast<const BYTE*>(utf8.data()), static_cast<DWORD>(utf8.size()));
    const BYTE appearance[2] = {0x00, 0x00};
    AddCharacteristic(address, access, kAppearance, nullptr, BLESIM_PROP_READ, appearance, 2);

    if (flags & BLESIM_DEVICE_DATA_SERVICE) {
        AddService(address, kDataService);
        AddCharacteristic(address, kDataService, 0, &kDataCharacteristic,
                          BLESIM_PROP_WRITE | BLESIM_PROP_WRITE_NO_RESPONSE | BLESIM_PROP_NOTIFY, nullptr, 0);
        added.hasDataService = true;
        added.dataHandle = added.services.back().characteristics.back().info.AttributeHandle;
    }
    added.link->SetEcho((flags & BLESIM_DEVICE_ECHO) != 0);
    if (flags & BLESIM_DEVICE_LITERAL) added.link->SetPlain(true);
    return true;
}

bool CStack::RemoveDevice(ULONGLONG address) {
    CLock lock(m_lock);
    return m_devices.erase(address & 0xFFFFFFFFFFFFull) != 0;
}

bool CStack::AddService(ULONGLONG address, const GUID& uuid) {
    CLock lock(m_lock);
    CDevice* device = FindDevice(address);
    if (!device || device->FindService(uuid)) return false;
    CService service;
    service.uuid = uuid;
    std::memset(&service.info, 0, sizeof service.info);
    service.info.ServiceUuid = MakeUuid(uuid);
    service.info.AttributeHandle = device->nextHandle++;
    device->services.push_back(service);
    return true;
}

bool CStack::AddCharacteristic(ULONGLONG address, const GUID& serviceUuid, USHORT shortUuid,
                               const GUID* longUuid, DWORD properties, const BYTE* value, DWORD size) {
    CLock lock(m_lock);
    CDevice* device = FindDevice(address);
    CService* service = device ? device->FindService(serviceUuid) : nullptr;
    if (!service) return false;
    CCharacteristic characteristic;
    std::memset(&characteristic.info, 0, sizeof characteristic.info);
    characteristic.info.ServiceHandle = service->info.AttributeHandle;
    characteristic.info.CharacteristicUuid = longUuid ? MakeUuid(*longUuid) : ShortUuid(shortUuid);
    characteristic.info.AttributeHandle = device->nextHandle++;
    characteristic.info.CharacteristicValueHandle = device->nextHandle++;
    characteristic.info.IsReadable = (properties & BLESIM_PROP_READ) != 0;
    characteristic.info.IsWritable = (properties & BLESIM_PROP_WRITE) != 0;
    characteristic.info.IsWritableWithoutResponse = (properties & BLESIM_PROP_WRITE_NO_RESPONSE) != 0;
    characteristic.info.IsNotifiable = (properties & BLESIM_PROP_NOTIFY) != 0;
    characteristic.info.IsIndicatable = (properties & BLESIM_PROP_INDICATE) != 0;
    characteristic.value.assign(value, value + (value ? size : 0));
    characteristic.hasConfiguration = characteristic.info.IsNotifiable || characteristic.info.IsIndicatable;
    characteristic.configurationHandle = characteristic.hasConfiguration ? device->nextHandle++ : 0;
    characteristic.notify = false;
    characteristic.indicate = false;
    service->characteristics.push_back(characteristic);
    return true;
}

bool CStack::Describe(ULONGLONG address, std::wstring& name, std::vector<GUID>& services) {
    CLock lock(m_lock);
    CDevice* device = FindDevice(address);
    if (!device) return false;
    name = device->name;
    services.clear();
    for (const CService& service : device->services) services.push_back(service.uuid);
    return true;
}

// ---------------------------------------------------------------------------
// The link

bool CStack::SetChannel(ULONGLONG address, const BLESIM_CHANNEL& channel) {
    CLock lock(m_lock);
    CDevice* device = FindDevice(address);
    if (!device) return false;
    device->up.Configure(channel, 1);
    device->down.Configure(channel, 2);
    return true;
}

bool CStack::SetLinkParameters(ULONGLONG address, const BYTE parameters[6]) {
    CLock lock(m_lock);
    CDevice* device = FindDevice(address);
    if (!device) return false;
    device->link->SetParameters(parameters);
    return true;
}

bool CStack::SetLiteral(ULONGLONG address, bool literal) {
    CLock lock(m_lock);
    CDevice* device = FindDevice(address);
    if (!device || !device->link) return false;
    device->link->SetPlain(literal);
    return true;
}

bool CStack::SetEcho(ULONGLONG address, bool echo) {
    CLock lock(m_lock);
    CDevice* device = FindDevice(address);
    if (!device) return false;
    device->link->SetEcho(echo);
    return true;
}

DWORD CStack::DeviceSend(ULONGLONG address, const void* data, DWORD size) {
    CLock lock(m_lock);
    CDevice* device = FindDevice(address);
    if (!device || !data) return 0;
    device->link->Queue(static_cast<const BYTE*>(data), size, Tick(NowUs()));
    Wake();
    return size;
}

DWORD CStack::DeviceReceive(ULONGLONG address, void* buffer, DWORD size) {
    CLock lock(m_lock);
    CDevice* device = FindDevice(address);
    if (!device) return 0;
    if (!buffer || size == 0) return static_cast<DWORD>(device->link->GetReceivedCount());
    return static_cast<DWORD>(device->link->TakeReceived(static_cast<BYTE*>(buffer), size));
}

bool CStack::GetCounters(ULONGLONG address, BLESIM_COUNTERS& counters) {
    CLock lock(m_lock);
    CDevice* device = FindDevice(address);
    if (!device) return false;
    const corvane::CLinkEngine::CCounters link = device->link->GetCounters();
    const CFrameChannel::CCounters& up = device->up.GetCounters();
    const CFrameChannel::CCounters& down = device->down.GetCounters();
    std::memset(&counters, 0, sizeof counters);
    counters.framesFromPort = device->framesFromPort;
    counters.framesToPort = device->framesToPort;
    counters.framesDropped = up.dropped + down.dropped;
    counters.framesDuplicated = up.duplicated + down.duplicated;
    counters.framesReordered = up.reordered + down.reordered;
    counters.deviceResent = link.resentFrames;
    counters.deviceAcks = link.acksSent;
    counters.deviceNaks = link.naksSent;
    counters.deviceDuplicates = link.duplicates;
    counters.linked = device->link->IsLinked();
    counters.window = device->link->GetWindow();
    counters.timerUnit = device->link->GetTimerUnit();
    counters.bytesFromPort = device->link->BytesReceived();
    counters.bytesToPort = device->link->BytesSent();
    return true;
}

bool CStack::SetRawMode(ULONGLONG address, bool raw) {
    CLock lock(m_lock);
    CDevice* device = FindDevice(address);
    if (!device) return false;
    device->raw = raw;
    device->written.clear();
    if (!raw) AttachLink(*device);  // a fresh link for the next connect request
    return true;
}

DWORD CStack::TakeFrame(ULONGLONG address, BYTE* frame, DWORD capacity, DWORD* flags, DWORD timeoutMs) {
    DWORD deadline = ::GetTickCount() + timeoutMs;
    for (;;) {
        {
            CLock lock(m_lock);
            CDevice* device = FindDevice(address);
            if (!device) return 0;
            if (!device->written.empty()) {
                CRawFrame taken = device->written.front();
                device->written.pop_front();
                DWORD size = std::min<DWORD>(capacity, static_cast<DWORD>(taken.bytes.size()));
                if (frame && size) std::memcpy(frame, taken.bytes.data(), size);
                if (flags) *flags = taken.flags;
                return static_cast<DWORD>(taken.bytes.size());
            }
        }
        DWORD now = ::GetTickCount();
        if (static_cast<LONG>(deadline - now) <= 0) return 0;
        ::WaitForSingleObject(m_frameWritten, deadline - now);
    }
}

DWORD CStack::WaitReceived(ULONGLONG address, DWORD count, DWORD timeoutMs) {
    DWORD deadline = ::GetTickCount() + timeoutMs;
    for (;;) {
        ::ResetEvent(m_received);  // before looking: a frame after the look sets it again
        DWORD received;
        {
            CLock lock(m_lock);
            CDevice* device = FindDevice(address);
            if (!device || !device->link) return 0;
            received = static_cast<DWORD>(device->link->GetReceivedCount());
        }
        LONG remaining = static_cast<LONG>(deadline - ::GetTickCount());
        if (received >= count || remaining <= 0) return received;
        ::WaitForSingleObject(m_received, static_cast<DWORD>(remaining));
    }
}

bool CStack::InjectValue(ULONGLONG address, USHORT attributeHandle, const BYTE* value, DWORD size) {
    CLock lock(m_lock);
    CDevice* device = FindDevice(address);
    if (!device || size > sizeof(CFrame().data)) return false;
    // As a control frame: the channel delays it but neither loses nor reorders it.
    device->down.Submit(value, size, true, NowUs(), attributeHandle);
    Wake();
    return true;
}

bool CStack::SetFailure(ULONGLONG address, DWORD operation, HRESULT hr) {
    CLock lock(m_lock);
    CDevice* device = FindDevice(address);
    if (!device) return false;
    if (hr == S_OK) device->failures.erase(operation);
    else device->failures[operation] = hr;
    return true;
}

// ---------------------------------------------------------------------------
// Service devices

HANDLE CStack::Open(const wchar_t* path) {
    // \\?\bthledevice#{service}_dev_vid&..._001122334455#instance#{interface}:
    // the service is the first braced GUID, the address the last twelve
    // digits of the same component.
    std::wstring text = path ? path : L"";
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    size_t open = text.find(L'{');
    size_t close = open == std::wstring::npos ? open : text.find(L'}', open);
    size_t end = close == std::wstring::npos ? close : text.find(L'#', close);
    GUID service;
    if (end == std::wstring::npos || end < close + 13 ||
        ::CLSIDFromString(const_cast<wchar_t*>(text.substr(open, close - open + 1).c_str()), &service) != NOERROR) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    ULONGLONG address = 0;
    for (size_t i = end - 12; i < end; ++i) {
        wchar_t c = text[i];
        if (!std::iswxdigit(c)) {
            ::SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        address = address << 4 | static_cast<ULONGLONG>(c <= L'9' ? c - L'0' : c - L'A' + 10);
    }

    CLock lock(m_lock);
    CDevice* device = FindDevice(address);
    if (!device || !device->FindService(service)) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HRESULT failure = Failure(*device, BLESIM_FAIL_OPEN);
    if (failure != S_OK) {
        ::SetLastError(HRESULT_CODE(failure));
        return INVALID_HANDLE_VALUE;
    }
    // A kernel object of its own, so that the caller may close it as it
    // closes a device; the stack knows it by its value.
    HANDLE handle = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (handle) m_opened[handle] = COpened{address, service};
    return handle ? handle : INVALID_HANDLE_VALUE;
}

HRESULT CStack::Resolve(HANDLE handle, CDevice*& device, CService*& service) {
    auto opened = m_opened.find(handle);
    if (opened == m_opened.end()) return kBadHandle;
    device = FindDevice(opened->second.address);
    service = device ? device->FindService(opened->second.service) : nullptr;
    return service ? S_OK : kGone;
}

HRESULT CStack::GetServices(HANDLE handle, USHORT count, PBTH_LE_GATT_SERVICE buffer, USHORT* actual) {
    CLock lock(m_lock);
    CDevice* device;
    CService* service;
    HRESULT hr = Resolve(handle, device, service);
    if (FAILED(hr)) return hr;
    // A service device lists the one service it was opened for.
    return Copy(std::vector<BTH_LE_GATT_SERVICE>{service->info}, count, buffer, actual);
}

HRESULT CStack::GetCharacteristics(HANDLE handle, PBTH_LE_GATT_SERVICE parent, USHORT count,
                                   PBTH_LE_GATT_CHARACTERISTIC buffer, USHORT* actual) {
    CLock lock(m_lock);
    CDevice* device;
    CService* service;
    HRESULT hr = Resolve(handle, device, service);
    if (FAILED(hr)) return hr;
    if (parent && parent->AttributeHandle != service->info.AttributeHandle) return E_INVALIDARG;
    hr = Failure(*device, BLESIM_FAIL_LIST);
    if (FAILED(hr)) return hr;
    std::vector<BTH_LE_GATT_CHARACTERISTIC> items;
    for (const CCharacteristic& characteristic : service->characteristics) items.push_back(characteristic.info);
    return Copy(items, count, buffer, actual);
}

HRESULT CStack::GetDescriptors(HANDLE handle, PBTH_LE_GATT_CHARACTERISTIC parent, USHORT count,
                               PBTH_LE_GATT_DESCRIPTOR buffer, USHORT* actual) {
    CLock lock(m_lock);
    CDevice* device;
    CService* service;
    HRESULT hr = Resolve(handle, device, service);
    if (FAILED(hr)) return hr;
    if (!parent) return E_INVALIDARG;
    CCharacteristic* characteristic = device->FindCharacteristic(parent->AttributeHandle);
    if (!characteristic) return E_INVALIDARG;
    std::vector<BTH_LE_GATT_DESCRIPTOR> items;
    if (characteristic->hasConfiguration) {
        BTH_LE_GATT_DESCRIPTOR descriptor;
        std::memset(&descriptor, 0, sizeof descriptor);
        descriptor.ServiceHandle = characteristic->info.ServiceHandle;
        descriptor.CharacteristicHandle = characteristic->info.AttributeHandle;
        descriptor.DescriptorType = ClientCharacteristicConfiguration;
        descriptor.DescriptorUuid = ShortUuid(kConfigurationUuid);
        descriptor.AttributeHandle = characteristic->configurationHandle;
        items.push_back(descriptor);
    }
    return Copy(items, count, buffer, actual);
}

HRESULT CStack::GetCharacteristicValue(HANDLE handle, PBTH_LE_GATT_CHARACTERISTIC target, ULONG size,
                                       PBTH_LE_GATT_CHARACTERISTIC_VALUE value, USHORT* required) {
    CLock lock(m_lock);
    CDevice* device;
    CService* service;
    HRESULT hr = Resolve(handle, device, service);
    if (FAILED(hr)) return hr;
    CCharacteristic* characteristic = target ? device->FindCharacteristic(target->AttributeHandle) : nullptr;
    if (!characteristic) return E_INVALIDARG;
    if (!characteristic->info.IsReadable) return HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION);
    hr = Failure(*device, BLESIM_FAIL_READ);
    if (FAILED(hr)) return hr;
    size_t needed = std::max(offsetof(BTH_LE_GATT_CHARACTERISTIC_VALUE, Data) + characteristic->value.size(),
                             sizeof(BTH_LE_GATT_CHARACTERISTIC_VALUE));
    if (required) *required = static_cast<USHORT>(needed);
    if (!value || size < needed) return kMoreData;
    value->DataSize = static_cast<ULONG>(characteristic->value.size());
    if (!characteristic->value.empty())
        std::memcpy(value->Data, characteristic->value.data(), characteristic->value.size());
    return S_OK;
}

HRESULT CStack::SetCharacteristicValue(HANDLE handle, PBTH_LE_GATT_CHARACTERISTIC target,
                                       PBTH_LE_GATT_CHARACTERISTIC_VALUE value, ULONG flags) {
    CLock lock(m_lock);
    CDevice* device;
    CService* service;
    HRESULT hr = Resolve(handle, device, service);
    if (FAILED(hr)) return hr;
    CCharacteristic* characteristic = target ? device->FindCharacteristic(target->AttributeHandle) : nullptr;
    if (!characteristic || !value) return E_INVALIDARG;
    bool withoutResponse = (flags & BLUETOOTH_GATT_FLAG_WRITE_WITHOUT_RESPONSE) != 0;
    if (withoutResponse ? !characteristic->info.IsWritableWithoutResponse : !characteristic->info.IsWritable)
        return HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION);
    hr = Failure(*device, BLESIM_FAIL_WRITE);
    if (FAILED(hr)) return hr;

    const BYTE* bytes = value->Data;
    DWORD size = value->DataSize;
    if (device->hasDataService && characteristic->info.AttributeHandle == device->dataHandle) {
        ++device->framesFromPort;
        if (device->raw) {
            device->written.push_back(CRawFrame{std::vector<BYTE>(bytes, bytes + size), flags});
            ::SetEvent(m_frameWritten);
        } else {
            // A write with response is acknowledged by the device: only the
            // delay applies to it, as to every control frame.
            std::uint64_t now = NowUs();
            Trace(now, "P>", bytes, size);
            device->up.Submit(bytes, size, !withoutResponse, now);
            Wake();
        }
        return S_OK;
    }
    characteristic->value.assign(bytes, bytes + size);
    return S_OK;
}

HRESULT CStack::GetDescriptorValue(HANDLE handle, PBTH_LE_GATT_DESCRIPTOR descriptor, ULONG size,
                                   PBTH_LE_GATT_DESCRIPTOR_VALUE value, USHORT* required) {
    CLock lock(m_lock);
    CDevice* device;
    CService* service;
    HRESULT hr = Resolve(handle, device, service);
    if (FAILED(hr)) return hr;
    CCharacteristic* characteristic = descriptor ? device->FindCharacteristic(descriptor->CharacteristicHandle) : nullptr;
    if (!characteristic || !characteristic->hasConfiguration ||
        descriptor->AttributeHandle != characteristic->configurationHandle)
        return E_INVALIDARG;
    size_t needed = offsetof(BTH_LE_GATT_DESCRIPTOR_VALUE, Data) + 2;
    needed = std::max(needed, sizeof(BTH_LE_GATT_DESCRIPTOR_VALUE));
    if (required) *required = static_cast<USHORT>(needed);
    if (!value || size < needed) return kMoreData;
    std::memset(value, 0, needed);
    value->DescriptorType = ClientCharacteristicConfiguration;
    value->DescriptorUuid = ShortUuid(kConfigurationUuid);
    value->ClientCharacteristicConfiguration.IsSubscribeToNotification = characteristic->notify;
    value->ClientCharacteristicConfiguration.IsSubscribeToIndication = characteristic->indicate;
    value->DataSize = 2;
    value->Data[0] = static_cast<UCHAR>((characteristic->notify ? 1 : 0) | (characteristic->indicate ? 2 : 0));
    return S_OK;
}

HRESULT CStack::SetDescriptorValue(HANDLE handle, PBTH_LE_GATT_DESCRIPTOR descriptor,
                                   PBTH_LE_GATT_DESCRIPTOR_VALUE value) {
    CLock lock(m_lock);
    CDevice* device;
    CService* service;
    HRESULT hr = Resolve(handle, device, service);
    if (FAILED(hr)) return hr;
    if (!descriptor || !value) return E_INVALIDARG;
    CCharacteristic* characteristic = device->FindCharacteristic(descriptor->CharacteristicHandle);
    if (!characteristic || !characteristic->hasConfiguration ||
        descriptor->AttributeHandle != characteristic->configurationHandle ||
        value->DescriptorType != ClientCharacteristicConfiguration)
        return E_INVALIDARG;
    hr = Failure(*device, BLESIM_FAIL_DESCRIPTOR);
    if (FAILED(hr)) return hr;
    characteristic->notify = value->ClientCharacteristicConfiguration.IsSubscribeToNotification != FALSE;
    characteristic->indicate = value->ClientCharacteristicConfiguration.IsSubscribeToIndication != FALSE;
    return S_OK;
}

HRESULT CStack::RegisterEvent(HANDLE handle, BTH_LE_GATT_EVENT_TYPE type, void* parameter,
                              PFNBLUETOOTH_GATT_EVENT_CALLBACK callback, void* context,
                              BLUETOOTH_GATT_EVENT_HANDLE* result) {
    CLock lock(m_lock);
    CDevice* device;
    CService* service;
    HRESULT hr = Resolve(handle, device, service);
    if (FAILED(hr)) return hr;
    if (type != CharacteristicValueChangedEvent || !parameter || !callback || !result) return E_INVALIDARG;
    hr = Failure(*device, BLESIM_FAIL_REGISTER);
    if (FAILED(hr)) return hr;
    auto* block = static_cast<PBLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION>(parameter);
    if (block->NumCharacteristics == 0) return E_INVALIDARG;
    std::unique_ptr<CRegistration> registration(new CRegistration);
    registration->address = device->address;
    for (USHORT i = 0; i < block->NumCharacteristics; ++i)
        registration->handles.push_back(block->Characteristics[i].AttributeHandle);
    registration->callback = callback;
    registration->context = context;
    CRegistration* key = registration.get();
    m_registrations[key] = std::move(registration);
    *result = key;
    return S_OK;
}

HRESULT CStack::UnregisterEvent(BLUETOOTH_GATT_EVENT_HANDLE handle) {
    // The callbacks run with the lock held: once it is taken here, none of
    // this registration runs or will run.
    CLock lock(m_lock);
    auto found = m_registrations.find(static_cast<CRegistration*>(handle));
    if (found == m_registrations.end()) return kBadHandle;
    if (CDevice* device = FindDevice(found->second->address)) {
        HRESULT hr = Failure(*device, BLESIM_FAIL_UNREGISTER);
        if (FAILED(hr)) return hr;  // the registration stays: its callback still runs
    }
    m_registrations.erase(found);
    return S_OK;
}

// ---------------------------------------------------------------------------
// The stack's thread

DWORD WINAPI CStack::ThreadProc(void* stack) {
    static_cast<CStack*>(stack)->Run();
    return 0;
}

void CStack::Deliver(CDevice& device, const CFrame& frame) {
    USHORT attribute = frame.attribute ? frame.attribute : device.dataHandle;
    CCharacteristic* characteristic = device.FindCharacteristic(attribute);
    // A device notifies only what the client subscribed to; a forged value
    // of another attribute is delivered as it is.
    if (characteristic && !characteristic->notify && !characteristic->indicate && !frame.attribute) return;

    BYTE block[offsetof(BTH_LE_GATT_CHARACTERISTIC_VALUE, Data) + sizeof frame.data];
    auto* value = reinterpret_cast<PBTH_LE_GATT_CHARACTERISTIC_VALUE>(block);
    value->DataSize = frame.size;
    if (frame.size) std::memcpy(value->Data, frame.data, frame.size);
    BLUETOOTH_GATT_VALUE_CHANGED_EVENT event;
    event.ChangedAttributeHandle = attribute;
    event.CharacteristicValueDataSize = offsetof(BTH_LE_GATT_CHARACTERISTIC_VALUE, Data) + frame.size;
    event.CharacteristicValue = value;

    // Copied first: a callback may withdraw its own registration.
    std::vector<CRegistration> listeners;
    for (const auto& entry : m_registrations) {
        const CRegistration& registration = *entry.second;
        if (registration.address != device.address) continue;
        bool wanted = frame.attribute != 0 ||
                      std::find(registration.handles.begin(), registration.handles.end(), attribute) !=
                          registration.handles.end();
        if (wanted) listeners.push_back(registration);
    }
    if (!frame.attribute) ++device.framesToPort;
    for (const CRegistration& listener : listeners)
        listener.callback(CharacteristicValueChangedEvent, &event, listener.context);
}

void CStack::Run() {
    for (;;) {
        std::uint64_t next = UINT64_MAX;
        {
            CLock lock(m_lock);
            std::uint64_t now = NowUs();
            for (auto& entry : m_devices) {
                CDevice& device = *entry.second;
                CFrame frame;
                while (device.up.Pop(now, frame)) {
                    Trace(NowUs(), ">D", frame.data, frame.size);
                    if (!device.raw) device.link->OnFrame(frame.data, frame.size, Tick(now));
                    ::SetEvent(m_received);
                }
                // Delivering may remove the device from under the loop: look
                // it up again after every callback.
                ULONGLONG address = device.address;
                while (CDevice* current = FindDevice(address)) {
                    if (!current->down.Pop(now, frame)) break;
                    Trace(NowUs(), ">P", frame.data, frame.size);
                    Deliver(*current, frame);
                }
                if (!FindDevice(address)) break;
                if (!device.raw) device.link->OnTimer(Tick(now));
            }
            now = NowUs();
            for (auto& entry : m_devices) {
                CDevice& device = *entry.second;
                next = std::min({next, device.up.NextDue(), device.down.NextDue()});
                if (!device.raw) {
                    LONG wait = static_cast<LONG>(device.link->NextTimer() - Tick(now));
                    next = std::min<std::uint64_t>(next, now + (wait > 0 ? wait * 1000ull : 0));
                }
            }
            if (next != UINT64_MAX) next = next > now ? next - now : 0;
        }
        DWORD waitMs = next == UINT64_MAX ? INFINITE : static_cast<DWORD>((next + 999) / 1000);
        ::WaitForSingleObject(m_wake, waitMs);
    }
}

}  // namespace blesim
