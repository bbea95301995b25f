#include "BluetoothSmart/BluetoothSmart.h"
#include "BluetoothSmart/Escapes.h"

#include <basalt/SetupAPI.h>

#include <cfgmgr32.h>

#include <deque>

namespace corvane {

namespace {

const wchar_t kFile[] = L"BluetoothSmart";

// The setup class of Bluetooth devices and the device properties read, as
// Windows defines them (the GUID and number form the key).
const GUID kBluetoothClass = {0xE0CBF06C, 0xCD8B, 0x4647, {0xBB, 0x8A, 0x26, 0x3B, 0x43, 0xF0, 0xF9, 0x74}};
const DEVPROPKEY kChildren = {{0x4340A6C5, 0x93FA, 0x4706, {0x97, 0x2C, 0x7B, 0x64, 0x80, 0x08, 0xA5, 0xA7}}, 9};
const DEVPROPKEY kMatchingDeviceId = {{0xA8B865DD, 0x2E3D, 0x4094, {0xAD, 0x97, 0xE5, 0x93, 0xA7, 0x0C, 0x75, 0xD6}}, 8};
const DEVPROPKEY kBluetoothAddress = {{0x2BD67D8B, 0x8BEB, 0x48D5, {0x87, 0xE0, 0x6C, 0xDA, 0x34, 0x28, 0x04, 0x0A}}, 1};

// The class of device given to the addresses found: the Positioning bit.
const DWORD kClassOfDevice = 0x10000;

// ERROR_NOINTERFACE, which mingw-w64's winerror.h lacks.
const DWORD kNoInterface = 632;

ULONGLONG ReadAddress(const basalt::ustring& text) { return _wcstoui64(text.c_str(), nullptr, 16); }

// The first braced part of a child's instance id, as a GUID; false when it
// has none or it does not read as one.
bool ServiceOfChild(const basalt::ustring& child, GUID& service) {
    size_t open = child.find(L'{');
    if (open == basalt::ustring::npos) return false;
    size_t close = child.find(L'}', open);
    if (close == basalt::ustring::npos) return false;
    return basalt::ustring(child.substr(open, close - open + 1)).String2GUID(service);
}

}  // namespace

struct CBluetoothSmartPortLocator::CState {
    std::deque<boost::shared_ptr<const IPortAddr>> addresses;
    std::deque<boost::shared_ptr<const basalt::CStdException>> errors;
    CNotifier notifier;
    CEscapeFunctionManager<CEscapeFunction> escapes;
};

// ---------------------------------------------------------------------------
// The static helpers

DWORD CBluetoothSmartPortLocator::EnumerateAllDevices(std::vector<DeviceDescription>& devices) {
    devices.clear();
    basalt::CSetupAPI set;
    if (!set.GetClassDevs(&kBluetoothClass, DIGCF_PRESENT)) return ::GetLastError();
    try {
        SP_DEVINFO_DATA device;
        for (DWORD index = 0; set.EnumDeviceInfo(index, device); ++index) {
            std::vector<basalt::ustring> children;
            set.GetDeviceProperty(device, kChildren, children);
            basalt::ustring name, enumerator, address;
            if (!set.GetDeviceRegistryProperty(device, SPDRP_FRIENDLYNAME, name)) continue;
            if (!set.GetDeviceRegistryProperty(device, SPDRP_ENUMERATOR_NAME, enumerator)) continue;
            if (!set.GetDeviceProperty(device, kBluetoothAddress, address)) continue;
            if (name.empty() || address.empty() || enumerator.compareNoCase(L"BTHLE") != 0) continue;

            DeviceDescription description;
            description.address = ReadAddress(address);
            description.name = name;
            for (const basalt::ustring& child : children) {
                GUID service;
                if (ServiceOfChild(child, service)) description.services.push_back(service);
            }
            devices.push_back(description);
        }
    } catch (const basalt::CStdException&) {
        return ERROR_NOT_SUPPORTED;
    }
    return 0;
}

DWORD CBluetoothSmartPortLocator::EnumerateAllInterfaces(const GUID& interfaceClass,
                                                         std::vector<InterfaceDescription>& interfaces) {
    interfaces.clear();
    basalt::CSetupAPI set;
    if (!set.GetClassDevs(&interfaceClass, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) return ::GetLastError();
    try {
        SP_DEVICE_INTERFACE_DATA data;
        for (DWORD index = 0; set.EnumDeviceInterfaces(interfaceClass, index, data); ++index) {
            basalt::ustring path, address;
            SP_DEVINFO_DATA device;
            if (!set.GetDeviceInterfaceDetail(data, path, device)) continue;
            if (!set.GetDeviceProperty(device, kBluetoothAddress, address) || address.empty()) continue;
            InterfaceDescription description;
            description.address = ReadAddress(address);
            description.path = path;
            interfaces.push_back(description);
        }
    } catch (const basalt::CStdException&) {
        return ERROR_NOT_SUPPORTED;
    }
    return 0;
}

DWORD CBluetoothSmartPortLocator::BluetoothAddress2PhysicalPath(const GUID& interfaceClass, ULONGLONG address,
                                                                basalt::ustring& path) {
    path.clear();
    std::vector<DeviceDescription> devices;
    std::vector<InterfaceDescription> interfaces;
    EnumerateAllDevices(devices);
    EnumerateAllInterfaces(interfaceClass, interfaces);
    bool known = false;
    for (const DeviceDescription& device : devices) known = known || device.address == address;
    if (!known) return ERROR_NOT_FOUND;
    for (const InterfaceDescription& description : interfaces)
        if (description.address == address) {
            path = description.path;
            return 0;
        }
    return kNoInterface;
}

// ---------------------------------------------------------------------------
// The locator

CBluetoothSmartPortLocator::CBluetoothSmartPortLocator() : m_state(new CState) {
    m_state->escapes.Register(boost::shared_ptr<CEscapeFunction>(new CGetSupportedServicesFunc(this)));
    m_state->escapes.Register(boost::shared_ptr<CEscapeFunction>(new CGetCharacteristicValuesFunc(this)));
}

CBluetoothSmartPortLocator::~CBluetoothSmartPortLocator() {}

bool CBluetoothSmartPortLocator::RegisterNotice(boost::shared_ptr<INotice> notice, EEventType type) {
    return m_state->notifier.RegisterNotice(notice, type);
}

bool CBluetoothSmartPortLocator::DeregisterNotice(boost::shared_ptr<INotice> notice, EEventType type) {
    return m_state->notifier.DeregisterNotice(notice, type);
}

IPortAddr::EPortType CBluetoothSmartPortLocator::GetType() const { return IPortAddr::portBluetoothSmart; }

bool CBluetoothSmartPortLocator::IsHardwareAvailableAndPoweredOn() const {
    try {
        basalt::CSetupAPI set;
        if (!set.GetClassDevs(&kBluetoothClass, DIGCF_PRESENT)) return false;
        SP_DEVINFO_DATA device;
        for (DWORD index = 0; set.EnumDeviceInfo(index, device); ++index) {
            basalt::ustring id;
            if (!set.GetDeviceProperty(device, kMatchingDeviceId, id) || id.compareNoCase(L"bth\\ms_bthle") != 0)
                continue;
            ULONG status = 0, problem = 0;
            if (::CM_Get_DevNode_Status(&status, &problem, device.DevInst, 0) == CR_SUCCESS && (status & DN_STARTED))
                return true;
        }
    } catch (const basalt::CStdException&) {
    }
    return false;
}

boost::shared_ptr<IPropertySet> CBluetoothSmartPortLocator::GetSettings() { return boost::shared_ptr<IPropertySet>(); }

void CBluetoothSmartPortLocator::SetSettings(boost::shared_ptr<IPropertySet>) {}

boost::shared_ptr<IPropertySet> CBluetoothSmartPortLocator::Escape(const wchar_t* name,
                                                                   boost::shared_ptr<IPropertySet> args) {
    return m_state->escapes.Escape(name, args);
}

void CBluetoothSmartPortLocator::BeginSearch(DWORD, DWORD) {
    std::vector<DeviceDescription> devices;
    DWORD result = EnumerateAllDevices(devices);
    CObjectLocker lock(*this);
    if (result != 0) {
        m_state->errors.push_back(boost::shared_ptr<const basalt::CStdException>(
            new basalt::CWinException(__LINE__, kFile, L"EnumerateAllDevices", result)));
        m_state->notifier.Fire(eventError);
        return;
    }
    for (const DeviceDescription& device : devices) {
        m_state->addresses.push_back(
            CBluetoothSmartPortAddr::CreateInstance(device.address, kClassOfDevice, device.name.c_str()));
        m_state->notifier.Fire(eventDataAvailable);
    }
    m_state->notifier.Fire(eventStateChanged);
}

void CBluetoothSmartPortLocator::EndSearch() {}

bool CBluetoothSmartPortLocator::IsRunning() const { return false; }

boost::shared_ptr<const IPortAddr> CBluetoothSmartPortLocator::GetNextAddress() {
    CObjectLocker lock(*this);
    if (!m_state->errors.empty()) {
        boost::shared_ptr<const basalt::CStdException> error = m_state->errors.front();
        m_state->errors.pop_front();
        error->Throw();
    }
    if (m_state->addresses.empty()) return boost::shared_ptr<const IPortAddr>();
    boost::shared_ptr<const IPortAddr> address = m_state->addresses.front();
    m_state->addresses.pop_front();
    return address;
}

boost::shared_ptr<IPortLocator> CreateBluetoothSmartPortLocator() {
    return boost::shared_ptr<IPortLocator>(new CBluetoothSmartPortLocator);
}

}  // namespace corvane
