// The USB locator: every present device with the maker's driver interface
// whose path carries an 11-character serial number, listed inside
// BeginSearch and queued behind whatever an earlier search queued.
#include "USB/USB.h"

#include "Common.h"

#include <basalt/Library.h>
#include <basalt/SetupAPI.h>

#include <vector>

namespace corvane {

namespace {

const wchar_t kFile[] = L"USB";

[[noreturn]] void Fail(int line, const wchar_t* function, DWORD code) {
    throw basalt::CWinException(line, kFile, function, code);
}

// {325DDF96-938C-11D3-9E34-0080C82727F4}: the interface the maker's driver exposes.
const GUID kInterfaceClass = {0x325DDF96, 0x938C, 0x11D3, {0x9E, 0x34, 0x00, 0x80, 0xC8, 0x27, 0x27, 0xF4}};
// DEVPKEY_Device_BusReportedDeviceDesc: the product text the device itself reports.
const DEVPROPKEY kBusReportedDescription = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};

typedef BOOL(WINAPI* GetDevicePropertyFn)(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*, DEVPROPTYPE*, PBYTE, DWORD,
                                          PDWORD, DWORD);

// UTF-16 text of a property buffer that may lack its terminator.
basalt::ustring TextOf(const std::vector<BYTE>& bytes, DWORD size) {
    const wchar_t* units = reinterpret_cast<const wchar_t*>(bytes.data());
    size_t count = (size < bytes.size() ? size : bytes.size()) / sizeof(wchar_t), length = 0;
    while (length < count && units[length] != L'\0') ++length;
    return basalt::ustring(units, length);
}

basalt::ustring InterfacePath(const basalt::CSetupAPI& devices, SP_DEVICE_INTERFACE_DATA& data,
                              SP_DEVINFO_DATA& device) {
    DWORD required = 0;
    if (!::SetupDiGetDeviceInterfaceDetailW(devices.GetHandle(), &data, nullptr, 0, &required, nullptr) &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        Fail(__LINE__, L"SetupDiGetDeviceInterfaceDetailW", ::GetLastError());
    // DWORDs keep the structure aligned; room for at least its fixed part.
    size_t bytes = required > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ? required
                                                                          : sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    std::vector<DWORD> buffer(bytes / sizeof(DWORD) + 2, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    device.cbSize = sizeof device;
    if (!::SetupDiGetDeviceInterfaceDetailW(devices.GetHandle(), &data, detail,
                                            static_cast<DWORD>(buffer.size() * sizeof(DWORD)), nullptr, &device))
        Fail(__LINE__, L"SetupDiGetDeviceInterfaceDetailW", ::GetLastError());
    return basalt::ustring(detail->DevicePath);
}

basalt::ustring DeviceDescription(const basalt::CSetupAPI& devices, SP_DEVINFO_DATA& device) {
    DWORD type = 0, size = 0;
    if (!::SetupDiGetDeviceRegistryPropertyW(devices.GetHandle(), &device, SPDRP_DEVICEDESC, &type, nullptr, 0,
                                             &size)) {
        DWORD error = ::GetLastError();
        // A node without a description (error 13) is listed by its serial
        // number: ending the search there would hide every instrument behind
        // it, and the name made of the serial number alone is what a device
        // with neither description gets anyway.
        if (error == ERROR_INVALID_DATA) return basalt::ustring();
        if (error != ERROR_INSUFFICIENT_BUFFER) Fail(__LINE__, L"SetupDiGetDeviceRegistryPropertyW", error);
    }
    std::vector<BYTE> bytes(size);
    if (!::SetupDiGetDeviceRegistryPropertyW(devices.GetHandle(), &device, SPDRP_DEVICEDESC, &type, bytes.data(), size,
                                             &size))
        Fail(__LINE__, L"SetupDiGetDeviceRegistryPropertyW", ::GetLastError());
    return TextOf(bytes, size);
}

// Empty when the device reports none or the read fails: it only names the device.
basalt::ustring BusReportedDescription(GetDevicePropertyFn getProperty, const basalt::CSetupAPI& devices,
                                       SP_DEVINFO_DATA& device) {
    if (!getProperty) return basalt::ustring();
    DEVPROPTYPE type = 0;
    DWORD size = 0;
    if (!getProperty(devices.GetHandle(), &device, &kBusReportedDescription, &type, nullptr, 0, &size, 0) &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return basalt::ustring();
    std::vector<BYTE> bytes(size);
    if (!getProperty(devices.GetHandle(), &device, &kBusReportedDescription, &type, bytes.data(), size, &size, 0))
        return basalt::ustring();
    return TextOf(bytes, size);
}

}  // namespace

CUSBPortLocator::CUSBPortLocator() : CImmediateLocator(kFile, L"CUSBPortLocator::Escape") {}

void CUSBPortLocator::BeginSearch(DWORD, DWORD) {
    basalt::CSetupAPI devices;
    if (!devices.GetClassDevs(&kInterfaceClass, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE))
        Fail(__LINE__, L"SetupDiGetClassDevs", ::GetLastError());
    basalt::CLibrary setupApi(L"Setupapi.dll");
    // A system without the call (before version 6) lists its devices by their
    // device descriptions rather than failing every search, one that finds
    // nothing included.
    GetDevicePropertyFn getProperty = setupApi.Resolve<GetDevicePropertyFn>("SetupDiGetDevicePropertyW");

    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof data;
        if (!::SetupDiEnumDeviceInterfaces(devices.GetHandle(), nullptr, &kInterfaceClass, index, &data)) {
            if (::GetLastError() == ERROR_NO_MORE_ITEMS) return;
            Fail(__LINE__, L"SetupDiEnumDeviceInterfaces", ::GetLastError());
        }
        SP_DEVINFO_DATA device = {};
        basalt::ustring path = InterfacePath(devices, data, device);
        basalt::ustring description = DeviceDescription(devices, device);
        basalt::ustring busDescription = BusReportedDescription(getProperty, devices, device);
        basalt::ustring serial;
        if (!usb::SerialNumberOfPath(path, serial)) continue;
        Queue(path, usb::FriendlyName(busDescription, description, serial));
    }
}

void CUSBPortLocator::Queue(const basalt::ustring& path, const basalt::ustring& friendlyName) {
    basalt::CLocker lock(m_lock);
    m_found.push_back(boost::shared_ptr<const IPortAddr>(new CUSBPortAddr(path.c_str(), friendlyName.c_str())));
    m_notifier.Fire(eventDataAvailable);
}

boost::shared_ptr<const IPortAddr> CUSBPortLocator::GetNextAddress() {
    basalt::CLocker lock(m_lock);
    if (m_found.empty()) return boost::shared_ptr<const IPortAddr>();
    boost::shared_ptr<const IPortAddr> address = m_found.front();
    m_found.pop_front();
    return address;
}

boost::shared_ptr<IPortLocator> CreateUSBPortLocator() {
    return boost::shared_ptr<IPortLocator>(new CUSBPortLocator);
}

}  // namespace corvane
