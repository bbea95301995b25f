// Factories, addresses and descriptions, and the library's entry point.
#include "Common.h"
#include "BluetoothSmart/BluetoothSmart.h"
#include "MicrosoftBluetooth/MicrosoftBluetooth.h"
#include "ToshibaBluetooth/ToshibaBluetooth.h"
#include "Serial/Serial.h"
#include "TCP.h"
#include "USB/USB.h"

#include <algorithm>
#include <atomic>
#include <cwchar>

namespace corvane {

_bstr_t MakeBstr(const std::wstring& text) {
    BSTR copy = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!copy) throw basalt::CWinException(__LINE__, L"Common", L"SysAllocStringLen", ERROR_OUTOFMEMORY);
    return _bstr_t(copy, false);
}

// ===========================================================================
// Serial, USB and TCP addresses

namespace {
const wchar_t kDevicePrefix[] = L"\\\\.\\";  // the device namespace, \\.\ in front of COMn
}

CSerialPortAddr::CSerialPortAddr(const wchar_t* physicalName, const wchar_t* friendlyName)
    : CNamedPortAddr(physicalName, friendlyName) {
    // COM10 and above open only through the device namespace; the prefix is
    // added once, whatever case a caller gave it in.
    if (::_wcsnicmp(m_physicalName.c_str(), kDevicePrefix, 4) != 0)
        m_physicalName.insert(0, kDevicePrefix);
}

CTCPPortAddr::CTCPPortAddr(const wchar_t* host, const wchar_t* service, const wchar_t* friendlyName,
                           const wchar_t* password)
    : m_host(host), m_service(service), m_friendlyName(friendlyName), m_password(password) {}

// ===========================================================================
// Bluetooth addresses

namespace {
// The stored PIN: the exact text given, or the one-NUL marker when there is none.
basalt::ustring PinOf(const wchar_t* pin) {
    return pin ? basalt::ustring(pin) : basalt::ustring(noPinMarker, 1);
}

// Address text as the factories read it: bytes separated by ':' or twelve digits.
ULONGLONG ReadAddressText(const wchar_t* text) {
    bool colons = text && std::wcschr(text, L':') != nullptr;
    return CBluetoothPortAddr::Str2BluetoothAddr(text, colons ? L':' : L'\0');
}

bool IsBlank(wchar_t c) { return c == L' '; }
}  // namespace

CBluetoothPortAddr::CBluetoothPortAddr(ULONGLONG address, DWORD classOfDevice,
                                       const wchar_t* friendlyName, const wchar_t* pin, int rssi,
                                       unsigned int signalQuality)
    : m_address(address),
      m_classOfDevice(classOfDevice),
      m_friendlyName(friendlyName),
      m_pin(PinOf(pin)),
      m_rssi(rssi),
      m_signalQuality(signalQuality) {}

CBluetoothPortAddr::CBluetoothPortAddr(const CBluetoothPortAddr& other) = default;
CBluetoothPortAddr::~CBluetoothPortAddr() = default;

IPortAddr::EPortType CBluetoothPortAddr::GetType() const { return portBluetooth; }
DWORD CBluetoothPortAddr::GetClassOfDevice() const { return m_classOfDevice; }
_bstr_t CBluetoothPortAddr::GetPhysicalName() const {
    return MakeBstr(BluetoothAddr2Str(m_address, L':'));
}
_bstr_t CBluetoothPortAddr::GetService() const { return MakeBstr(L""); }
_bstr_t CBluetoothPortAddr::GetFriendlyName() const { return MakeBstr(m_friendlyName); }
_bstr_t CBluetoothPortAddr::GetLogin() const { return MakeBstr(L""); }
_bstr_t CBluetoothPortAddr::GetPassword() const { return MakeBstr(m_pin); }
int CBluetoothPortAddr::GetRSSI() const { return m_rssi; }
unsigned int CBluetoothPortAddr::GetSignalQuality() const { return m_signalQuality; }

boost::shared_ptr<const IPortAddr> CBluetoothPortAddr::CreateInstance(
    ULONGLONG address, DWORD classOfDevice, const wchar_t* friendlyName, const wchar_t* pin,
    int rssi, unsigned int signalQuality) {
    return boost::shared_ptr<const IPortAddr>(
        new CBluetoothPortAddr(address, classOfDevice, friendlyName, pin, rssi, signalQuality));
}

boost::shared_ptr<const IPortAddr> CBluetoothPortAddr::CreateInstance(
    const wchar_t* address, DWORD classOfDevice, const wchar_t* friendlyName, const wchar_t* pin,
    int rssi, unsigned int signalQuality) {
    return CreateInstance(ReadAddressText(address), classOfDevice, friendlyName, pin, rssi,
                          signalQuality);
}

basalt::ustring CBluetoothPortAddr::BluetoothAddr2Str(ULONGLONG address, wchar_t separator) {
    // Byte by byte rather than through a format built from the separator, so
    // that a separator such as '%' prints as itself.
    basalt::ustring text;
    for (int shift = 40; shift >= 0; shift -= 8) {
        basalt::ustring byte;
        byte.sprintf(L"%02X", static_cast<unsigned int>((address >> shift) & 0xFF));
        text += byte;
        if (shift > 0 && separator != L'\0') text += separator;
    }
    return text;
}

ULONGLONG CBluetoothPortAddr::Str2BluetoothAddr(const wchar_t* text, wchar_t separator) {
    if (!text) return invalidBluetoothAddress;
    unsigned long bytes[6];
    if (separator != L'\0') {
        std::vector<basalt::ustring> parts;
        basalt::ustring(text).split(separator, parts);
        std::vector<basalt::ustring> kept;
        for (basalt::ustring part : parts) {
            // Only spaces are trimmed: what users type around the separators.
            size_t first = 0, last = part.size();
            while (first < last && IsBlank(part[first])) ++first;
            while (last > first && IsBlank(part[last - 1])) --last;
            if (last > first) kept.push_back(part.substr(first, last - first));
        }
        if (kept.size() != 6) return invalidBluetoothAddress;
        for (size_t i = 0; i < 6; ++i) bytes[i] = std::wcstoul(kept[i].c_str(), nullptr, 16);
    } else {
        unsigned int digits[6];
        if (std::swscanf(text, L"%02X%02X%02X%02X%02X%02X", &digits[0], &digits[1], &digits[2],
                         &digits[3], &digits[4], &digits[5]) != 6)
            return invalidBluetoothAddress;
        std::copy(digits, digits + 6, bytes);
    }
    // A part is not cut to 8 bits: an over-long part spills into the bytes before it.
    ULONGLONG address = 0;
    for (unsigned long byte : bytes) address = (address << 8) | byte;
    return address;
}

CBluetoothSmartPortAddr::CBluetoothSmartPortAddr(ULONGLONG address, DWORD classOfDevice,
                                                 const wchar_t* friendlyName)
    : CBluetoothPortAddr(address, classOfDevice, friendlyName, nullptr, 0, 0) {}

CBluetoothSmartPortAddr::CBluetoothSmartPortAddr(const CBluetoothSmartPortAddr& other) = default;
CBluetoothSmartPortAddr::~CBluetoothSmartPortAddr() = default;

IPortAddr::EPortType CBluetoothSmartPortAddr::GetType() const { return portBluetoothSmart; }

boost::shared_ptr<const IPortAddr> CBluetoothSmartPortAddr::CreateInstance(
    ULONGLONG address, DWORD classOfDevice, const wchar_t* friendlyName) {
    return boost::shared_ptr<const IPortAddr>(
        new CBluetoothSmartPortAddr(address, classOfDevice, friendlyName));
}

boost::shared_ptr<const IPortAddr> CBluetoothSmartPortAddr::CreateInstance(
    const wchar_t* address, DWORD classOfDevice, const wchar_t* friendlyName) {
    return CreateInstance(ReadAddressText(address), classOfDevice, friendlyName);
}

boost::shared_ptr<const IPortAddr> IPortAddr::CreateInstance(
    EPortType type, DWORD classOfDevice, const wchar_t* physicalName, const wchar_t* friendlyName,
    const wchar_t* /*login*/, const wchar_t* password, int rssi, unsigned int signalQuality,
    const wchar_t* service) {
    typedef boost::shared_ptr<const IPortAddr> Ptr;
    switch (type) {
    case portSerial:
        return Ptr(new CSerialPortAddr(physicalName, friendlyName));
    case portBluetooth:
        return CBluetoothPortAddr::CreateInstance(physicalName, classOfDevice, friendlyName,
                                                  password, rssi, signalQuality);
    case portUSB:
        return Ptr(new CUSBPortAddr(physicalName, friendlyName));
    case portTCP:
        return Ptr(new CTCPPortAddr(physicalName, service, friendlyName, password));
    case portBluetoothSmart:
        return CBluetoothSmartPortAddr::CreateInstance(physicalName, classOfDevice, friendlyName);
    }
    return Ptr();
}

// ===========================================================================
// Class of device

namespace {
// String-table ids of the class-of-device texts (corvane/Strings.rc).
UINT MajorClassId(DWORD major) {
    if (major >= 1 && major <= 6) return 131 + major;
    return major == 31 ? 138 : 131;  // 7 to 30 are reserved: shown as miscellaneous
}

// 0 when the major has no text for this minor field.
UINT MinorClassId(DWORD major, DWORD minor) {
    switch (major) {
    case 1:  // computer
        return minor <= 6 ? 139 + minor : 0;
    case 2:  // phone
        return minor <= 4 ? 146 + minor : 0;
    case 4:  // audio; 17 is unassigned
        if (minor <= 16) return 151 + minor;
        return minor == 18 ? 168 : 0;
    case 5:  // peripheral, the whole field as one number
        return minor <= 4 ? 169 + minor : 0;
    case 6:  // imaging: one bit each; a device naming several gets no text
        switch (minor) {
        case 4: return 174;
        case 8: return 175;
        case 16: return 176;
        case 32: return 177;
        }
        return 0;
    }
    return 0;
}

const struct {
    int bit;
    UINT id;
} kServiceClasses[] = {{13, 178}, {16, 179}, {17, 180}, {18, 181}, {19, 182},
                       {20, 183}, {21, 184}, {22, 185}, {23, 186}};

basalt::ustring LoadText(UINT id) {
    basalt::ustring text;
    text.xload(GetLibraryModule(), id);
    return text;
}
}  // namespace

void IPortAddr::TranslateCOD(DWORD classOfDevice, _bstr_t& majorClass, _bstr_t& minorClass,
                             _bstr_t& serviceClasses) {
    majorClass = MakeBstr(L"");
    minorClass = MakeBstr(L"");
    serviceClasses = MakeBstr(L"");

    DWORD major = (classOfDevice >> 8) & 0x1F;
    DWORD minor = (classOfDevice >> 2) & 0x3F;
    majorClass = MakeBstr(LoadText(MajorClassId(major)));
    if (UINT id = MinorClassId(major, minor)) minorClass = MakeBstr(LoadText(id));

    basalt::ustring services;
    for (const auto& service : kServiceClasses) {
        if (!(classOfDevice & (1UL << service.bit))) continue;
        if (!services.empty()) services += L';';
        services += LoadText(service.id);
    }
    serviceClasses = MakeBstr(services);
}

// ===========================================================================
// Descriptions

boost::shared_ptr<const IDeviceDescription> IDeviceDescription::CreateInstance(
    EClassOfDevice deviceClass, boost::shared_ptr<IPropertySet> set1,
    boost::shared_ptr<IPropertySet> set2, boost::shared_ptr<IPropertySet> set3) {
    return boost::shared_ptr<const IDeviceDescription>(
        new CDeviceDescription(deviceClass, set1, set2, set3));
}

boost::shared_ptr<const IServerDescription> IServerDescription::CreateInstance(
    const GUID& serviceClass, const wchar_t* serviceName, const wchar_t* comment) {
    return boost::shared_ptr<const IServerDescription>(
        new CBluetoothServerDescription(serviceClass, serviceName, comment));
}

// ===========================================================================
// The drivers behind the factories

namespace {
// Until a driver is part of the library its makers answer an empty pointer;
// a driver plugs in by replacing the body of its maker here.
boost::shared_ptr<IPort> MakeSerialPort(const PortAddrPtr& address) { return CreateSerialPort(address); }
boost::shared_ptr<IPort> MakeUSBPort(const PortAddrPtr& address) { return CreateUSBPort(address); }
boost::shared_ptr<IPort> MakeTCPPort(const PortAddrPtr& address) { return CreateTCPPort(address); }
boost::shared_ptr<IPort> MakeBluetoothSmartPort(const PortAddrPtr& address) {
    return CreateBluetoothSmartPort(address);
}
boost::shared_ptr<IPort> MakeMicrosoftBluetoothPort(const PortAddrPtr& address) {
    return CreateMicrosoftBluetoothPort(address);
}
boost::shared_ptr<IPort> MakeToshibaBluetoothPort(const PortAddrPtr& address) {
    return CreateToshibaBluetoothPort(address);
}
boost::shared_ptr<IPortLocator> MakeSerialLocator() { return CreateSerialPortLocator(); }
boost::shared_ptr<IPortLocator> MakeUSBLocator() { return CreateUSBPortLocator(); }
boost::shared_ptr<IPortLocator> MakeBluetoothSmartLocator() { return CreateBluetoothSmartPortLocator(); }
boost::shared_ptr<IPortLocator> MakeMicrosoftBluetoothLocator() { return CreateMicrosoftBluetoothPortLocator(); }
boost::shared_ptr<IPortLocator> MakeToshibaBluetoothLocator() { return CreateToshibaBluetoothPortLocator(); }
boost::shared_ptr<IStreamServer> MakeMicrosoftBluetoothServer(
    const boost::shared_ptr<const IServerDescription>& service, AcceptCallback callback, DWORD context) {
    return CreateMicrosoftBluetoothServer(service, callback, context);
}

// Serial, USB and TCP have one driver, which answers to both names.
bool IsSystemDriver(EDriver driver) { return driver == driverDefault || driver == driverMicrosoft; }

// Whether a stack answers: its locator exists and finds its radio powered on.
// Only the helper library's exceptions mean "this stack is not usable".
bool StackAnswers(LocatorMaker make, boost::shared_ptr<IPortLocator>& locator) {
    try {
        locator = make();
        if (locator && locator->IsHardwareAvailableAndPoweredOn()) return true;
    } catch (const basalt::CStdException&) {
    }
    locator.reset();
    return false;
}

// driverDefault for a Bluetooth address: the Microsoft stack first, then Toshiba.
boost::shared_ptr<IPort> ProbeBluetoothPort(const PortAddrPtr& address) {
    const CDriverTable& drivers = Drivers();
    {
        boost::shared_ptr<IPortLocator> locator;
        // The Microsoft locator stays alive while its port is made.
        try {
            if (StackAnswers(drivers.microsoftBluetoothLocator, locator))
                return drivers.microsoftBluetoothPort(address);
        } catch (const basalt::CStdException&) {
        }
    }
    try {
        boost::shared_ptr<IPortLocator> locator;
        if (!StackAnswers(drivers.toshibaBluetoothLocator, locator)) return {};
        // The Toshiba stack serves one client object at a time: its locator goes first.
        locator.reset();
        return drivers.toshibaBluetoothPort(address);
    } catch (const basalt::CStdException&) {
        return {};
    }
}
}  // namespace

CDriverTable DefaultDrivers() {
    CDriverTable table = {MakeSerialPort,
                          MakeUSBPort,
                          MakeTCPPort,
                          MakeBluetoothSmartPort,
                          MakeMicrosoftBluetoothPort,
                          MakeToshibaBluetoothPort,
                          MakeSerialLocator,
                          MakeUSBLocator,
                          MakeBluetoothSmartLocator,
                          MakeMicrosoftBluetoothLocator,
                          MakeToshibaBluetoothLocator,
                          MakeMicrosoftBluetoothServer};
    return table;
}

CDriverTable& Drivers() {
    static CDriverTable table = DefaultDrivers();
    return table;
}

boost::shared_ptr<IPort> IPort::CreateInstance(boost::shared_ptr<const IPortAddr> address,
                                               EDriver driver) {
    if (!address) return {};
    const CDriverTable& drivers = Drivers();
    switch (address->GetType()) {
    case IPortAddr::portSerial:
        return IsSystemDriver(driver) ? drivers.serialPort(address) : nullptr;
    case IPortAddr::portUSB:
        return IsSystemDriver(driver) ? drivers.usbPort(address) : nullptr;
    case IPortAddr::portTCP:
        return IsSystemDriver(driver) ? drivers.tcpPort(address) : nullptr;
    case IPortAddr::portBluetoothSmart:
        return drivers.bluetoothSmartPort(address);
    case IPortAddr::portBluetooth:
        if (driver == driverMicrosoft) return drivers.microsoftBluetoothPort(address);
        if (driver == driverDefault) return ProbeBluetoothPort(address);
        return {};
    }
    return {};
}

boost::shared_ptr<IPortLocator> IPortLocator::CreateInstance(IPortAddr::EPortType type,
                                                             EDriver driver) {
    const CDriverTable& drivers = Drivers();
    switch (type) {
    case IPortAddr::portSerial:
        return drivers.serialLocator();
    case IPortAddr::portUSB:
        return IsSystemDriver(driver) ? drivers.usbLocator() : nullptr;
    case IPortAddr::portTCP:
        return {};  // TCP devices are not discovered
    case IPortAddr::portBluetoothSmart:
        return drivers.bluetoothSmartLocator();
    case IPortAddr::portBluetooth: {
        if (driver == driverMicrosoft) return drivers.microsoftBluetoothLocator();
        if (driver == driverToshiba) return drivers.toshibaBluetoothLocator();
        if (driver != driverDefault) return {};
        boost::shared_ptr<IPortLocator> locator;
        if (StackAnswers(drivers.microsoftBluetoothLocator, locator)) return locator;
        if (StackAnswers(drivers.toshibaBluetoothLocator, locator)) return locator;
        return {};
    }
    }
    return {};
}

boost::shared_ptr<IStreamServer> IStreamServer::CreateInstance(
    boost::shared_ptr<const IServerDescription> service, AcceptCallback callback, DWORD context,
    EDriver driver) {
    const CDriverTable& drivers = Drivers();
    if (driver == driverMicrosoft) return drivers.microsoftBluetoothServer(service, callback, context);
    if (driver != driverDefault) return {};  // the Toshiba stack has no server
    try {
        boost::shared_ptr<IPortLocator> locator;
        if (!StackAnswers(drivers.microsoftBluetoothLocator, locator)) return {};
        return drivers.microsoftBluetoothServer(service, callback, context);
    } catch (const basalt::CStdException&) {
        return {};
    }
}

// ===========================================================================
// The module and its start-up

namespace {
// Set at load; found on first use when linked statically.
std::atomic<HMODULE> g_module{nullptr};

struct CStaticTable {
    int order;
    basalt::ustring name;
    StaticTableFn build;
    StaticTableFn tearDown;
};

struct CLibraryState {
    basalt::CCriticalSection lock;
    std::vector<CStaticTable> registered;  // by order, then by registration
    std::vector<CStaticTable> built;       // in the order they were built
    int users = 0;
    bool winsock = false;
};

// Made on first use: registrations run while static objects are still being made.
CLibraryState& State() {
    static CLibraryState state;
    return state;
}

void Report(const wchar_t* what, const basalt::ustring& name) {
    basalt::ustring line;
    line.sprintf(L"Corvane: %s of %s failed\n", what, name.c_str());
    ::OutputDebugStringW(line.c_str());
}

// Runs under the loader lock when called from the entry point: nothing may
// escape, a table that fails is left out (its driver's calls then fail on
// their own) and is not torn down.
void BuildTable(CLibraryState& state, const CStaticTable& table) {
    try {
        table.build();
        state.built.push_back(table);
    } catch (...) {
        Report(L"building", table.name);
    }
}

void Start(HMODULE module) {
    CLibraryState& state = State();
    basalt::CLocker lock(state.lock);
    if (module) g_module = module;
    if (state.users++ > 0) return;
    WSADATA data;
    // Loading goes on without Winsock: only the socket drivers need it.
    state.winsock = ::WSAStartup(0x0202, &data) == 0;
    for (const CStaticTable& table : state.registered) BuildTable(state, table);
}

void Stop() {
    CLibraryState& state = State();
    basalt::CLocker lock(state.lock);
    if (state.users == 0 || --state.users > 0) return;
    while (!state.built.empty()) {
        CStaticTable table = state.built.back();
        state.built.pop_back();
        try {
            table.tearDown();
        } catch (...) {
            Report(L"tearing down", table.name);
        }
    }
    if (state.winsock) ::WSACleanup();
    state.winsock = false;
}
}  // namespace

HMODULE GetLibraryModule() {
    if (!g_module) {
        // Linked into another module: the one holding this code.
        HMODULE module = nullptr;
        ::GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&GetLibraryModule), &module);
        g_module = module;
    }
    return g_module;
}

CStaticTableRegistration::CStaticTableRegistration(int order, const wchar_t* name,
                                                   StaticTableFn build, StaticTableFn tearDown) {
    CLibraryState& state = State();
    basalt::CLocker lock(state.lock);
    CStaticTable table = {order, name, build, tearDown};
    auto at = std::upper_bound(state.registered.begin(), state.registered.end(), order,
                               [](int o, const CStaticTable& t) { return o < t.order; });
    state.registered.insert(at, table);
    // A unit loaded after the start still gets its table.
    if (state.users > 0) BuildTable(state, table);
}

CLibraryScope::CLibraryScope() { Start(nullptr); }
CLibraryScope::~CLibraryScope() { Stop(); }

bool CLibraryScope::IsStarted() {
    CLibraryState& state = State();
    basalt::CLocker lock(state.lock);
    return state.users > 0;
}

std::vector<basalt::ustring> CLibraryScope::BuiltTables() {
    CLibraryState& state = State();
    basalt::CLocker lock(state.lock);
    std::vector<basalt::ustring> names;
    for (const CStaticTable& table : state.built) names.push_back(table.name);
    return names;
}

}  // namespace corvane

// The DLL's entry point; a static link of the library's objects never calls it.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        ::DisableThreadLibraryCalls(instance);
        corvane::Start(instance);
        break;
    case DLL_PROCESS_DETACH:
        // At process exit (reserved set) the other threads are gone, killed
        // wherever they were, and the loader lock is held: tearing down
        // Winsock or tables then can deadlock on a lock a dead thread held.
        // The system reclaims everything anyway; only FreeLibrary cleans up.
        if (!reserved) corvane::Stop();
        break;
    }
    return TRUE;
}
