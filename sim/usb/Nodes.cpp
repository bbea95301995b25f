// Device nodes for the Plug and Play manager, so that the locator finds the
// simulated instruments through SetupAPI as it finds attached ones: one node
// of the USB setup class per instrument with its device description, the
// description the bus reported, and an interface of the driver's class.
#include "World.h"

#include <initguid.h>
#include <devguid.h>
#include <devpkey.h>
#include <setupapi.h>
#include <SetupNodes.h>

#include <string>
#include <vector>

// mingw-w64's setupapi.h leaves this one out; the system exports it.
extern "C" WINBOOL WINAPI SetupDiSetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*, DEVPROPTYPE,
                                                   const BYTE*, DWORD, DWORD);

namespace {

using simnodes::CDeviceSet;

// {325DDF96-938C-11D3-9E34-0080C82727F4}
const GUID kInterfaceClass = {0x325DDF96, 0x938C, 0x11D3, {0x9E, 0x34, 0x00, 0x80, 0xC8, 0x27, 0x27, 0xF4}};


// Marks an interface present: a driver does so when it enables the
// interface; Wine's SetupAPI reads the Linked value of its Control key.
DWORD Enable(const std::wstring& path) {
    if (path.compare(0, 4, L"\\\\?\\") != 0) return ERROR_INVALID_DATA;
    std::wstring key = std::wstring(L"System\\CurrentControlSet\\Control\\DeviceClasses\\") +
                       USBSIM_INTERFACE_CLASS_TEXT + L"\\##?#" + path.substr(4) + L"\\#\\Control";
    HKEY control;
    LONG result = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &control,
                                    nullptr);
    if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
    DWORD linked = 1;
    result = ::RegSetValueExW(control, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked), sizeof linked);
    ::RegCloseKey(control);
    return static_cast<DWORD>(result);
}

DWORD RegisterNode(const usbsim::Instrument& instrument) {
    CDeviceSet set(::SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_USB, nullptr));
    if (!set.IsValid()) return ::GetLastError();
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    const wchar_t* description = instrument.hasDescription ? instrument.description.c_str() : nullptr;
    if (DWORD error = simnodes::MakeOrOpenNode(set.Get(), instrument.instanceId.c_str(), GUID_DEVCLASS_USB,
                                               description, device))
        return error;
    if (instrument.hasBusDescription) {
        const std::wstring& text = instrument.busDescription;
        DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
        if (!SetupDiSetDevicePropertyW(set.Get(), &device, &DEVPKEY_Device_BusReportedDeviceDesc, DEVPROP_TYPE_STRING,
                                       reinterpret_cast<const BYTE*>(text.c_str()), bytes, 0))
            return ::GetLastError();
    }
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    if (!::SetupDiCreateDeviceInterfaceW(set.Get(), &device, &kInterfaceClass, nullptr, 0, &data))
        return ::GetLastError();
    DWORD required = 0;
    ::SetupDiGetDeviceInterfaceDetailW(set.Get(), &data, nullptr, 0, &required, nullptr);
    std::vector<DWORD> buffer(required / sizeof(DWORD) + 2);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!::SetupDiGetDeviceInterfaceDetailW(set.Get(), &data, detail, static_cast<DWORD>(buffer.size() * sizeof(DWORD)),
                                            nullptr, nullptr))
        return ::GetLastError();
    return Enable(detail->DevicePath);
}

}  // namespace

extern "C" DWORD __cdecl UsbSimRegisterNodes(void) {
    for (const usbsim::Instrument& instrument : usbsim::World::Get().Snapshot())
        if (DWORD error = RegisterNode(instrument)) return error;
    return 0;
}

extern "C" DWORD __cdecl UsbSimRemoveNodes(const wchar_t* prefix) {
    if (!prefix) prefix = USBSIM_INSTANCE_PREFIX;
    return simnodes::RemoveNodes(GUID_DEVCLASS_USB, prefix);
}
