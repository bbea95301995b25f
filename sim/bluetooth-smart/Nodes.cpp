// Device nodes for the Plug and Play manager, so that programs find the
// simulated devices through SetupAPI as they find paired ones: a node of the
// BTHLE enumerator per device (friendly name, address, children) and a child
// node with a device interface per GATT service.
#include "Stack.h"

#include <initguid.h>
#include <devguid.h>
#include <devpkey.h>
#include <objbase.h>
#include <setupapi.h>
#include <SetupNodes.h>

#include <cwctype>
#include <string>
#include <vector>

// mingw-w64's setupapi.h leaves this one out; the system exports it.
extern "C" WINBOOL WINAPI SetupDiSetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*, DEVPROPTYPE,
                                                   const BYTE*, DWORD, DWORD);

DEFINE_DEVPROPKEY(DEVPKEY_BleSim_DeviceAddress, 0x2bd67d8b, 0x8beb, 0x48d5, 0x87, 0xe0, 0x6c, 0xda, 0x34, 0x28, 0x04,
                  0x0a, 1);

namespace {

using simnodes::CDeviceSet;


std::wstring AddressText(ULONGLONG address) {
    wchar_t text[13];
    swprintf(text, 13, L"%012llX", address & 0xFFFFFFFFFFFFull);
    return text;
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40];
    ::StringFromGUID2(guid, text, 40);
    return text;
}

DWORD SetText(HDEVINFO set, SP_DEVINFO_DATA& device, const DEVPROPKEY& key, const std::wstring& text,
              DEVPROPTYPE type) {
    DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    if (!SetupDiSetDevicePropertyW(set, &device, &key, type, reinterpret_cast<const BYTE*>(text.c_str()), bytes, 0))
        return ::GetLastError();
    return 0;
}

// Marks an interface present: the Plug and Play manager does so when a driver
// enables it; Wine's SetupAPI reads the Linked value of its Control key.
DWORD Enable(const std::wstring& path, const GUID& interfaceClass) {
    if (path.compare(0, 4, L"\\\\?\\") != 0) return ERROR_INVALID_DATA;
    std::wstring key = L"System\\CurrentControlSet\\Control\\DeviceClasses\\" + GuidText(interfaceClass) + L"\\##?#" +
                       path.substr(4) + L"\\#\\Control";
    HKEY control;
    LONG result = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                    &control, nullptr);
    if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
    DWORD linked = 1;
    result = ::RegSetValueExW(control, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked), sizeof linked);
    ::RegCloseKey(control);
    return static_cast<DWORD>(result);
}

}  // namespace

BLESIM_API DWORD WINAPI BleSimRegisterNode(const wchar_t* instanceId, const wchar_t* friendlyName,
                                           const wchar_t* addressText, const wchar_t* children,
                                           const GUID* interfaceClass) {
    if (!instanceId || !*instanceId) return ERROR_INVALID_PARAMETER;
    CDeviceSet set(::SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_BLUETOOTH, nullptr));
    if (!set.IsValid()) return ::GetLastError();
    SP_DEVINFO_DATA device = {};
    if (DWORD error = simnodes::MakeOrOpenNode(set.Get(), instanceId, GUID_DEVCLASS_BLUETOOTH,
                                               L"Simulated Bluetooth LE device", device))
        return error;
    if (friendlyName) {
        DWORD bytes = static_cast<DWORD>((wcslen(friendlyName) + 1) * sizeof(wchar_t));
        if (!::SetupDiSetDeviceRegistryPropertyW(set.Get(), &device, SPDRP_FRIENDLYNAME,
                                                 reinterpret_cast<const BYTE*>(friendlyName), bytes))
            return ::GetLastError();
    }
    if (addressText) {
        if (DWORD error = SetText(set.Get(), device, DEVPKEY_BleSim_DeviceAddress, addressText, DEVPROP_TYPE_STRING))
            return error;
    }
    if (children) {
        std::wstring list;
        for (const wchar_t* child = children; *child; child += wcslen(child) + 1) list.append(child).push_back(L'\0');
        if (DWORD error = SetText(set.Get(), device, DEVPKEY_Device_Children, list, DEVPROP_TYPE_STRING_LIST))
            return error;
    }
    if (interfaceClass) {
        SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
        if (!::SetupDiCreateDeviceInterfaceW(set.Get(), &device, interfaceClass, nullptr, 0, &data))
            return ::GetLastError();
        DWORD required = 0;
        ::SetupDiGetDeviceInterfaceDetailW(set.Get(), &data, nullptr, 0, &required, nullptr);
        std::vector<BYTE> buffer(required + sizeof(wchar_t));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!::SetupDiGetDeviceInterfaceDetailW(set.Get(), &data, detail, required, nullptr, nullptr))
            return ::GetLastError();
        if (DWORD error = Enable(detail->DevicePath, *interfaceClass)) return error;
    }
    return 0;
}

BLESIM_API DWORD WINAPI BleSimRegisterNodes(ULONGLONG address) {
    std::wstring name;
    std::vector<GUID> services;
    if (!blesim::CStack::Get().Describe(address, name, services)) return ERROR_NOT_FOUND;
    std::wstring digits = AddressText(address);
    std::wstring instance = L"SIM_" + digits;
    std::wstring children;
    for (const GUID& service : services) {
        std::wstring child = L"BTHLEDEVICE\\" + GuidText(service) + L"_DEV_VID&000000_PID&0000_REV&0000_" + digits +
                             L"\\" + instance;
        if (DWORD error = BleSimRegisterNode(child.c_str(), nullptr, digits.c_str(), nullptr, &service)) return error;
        children.append(child).push_back(L'\0');
    }
    children.push_back(L'\0');
    std::wstring parent = L"BTHLE\\DEV_" + digits + L"\\" + instance;
    return BleSimRegisterNode(parent.c_str(), name.c_str(), digits.c_str(), children.c_str(), nullptr);
}

BLESIM_API DWORD WINAPI BleSimRemoveNodes(const wchar_t* prefix) {
    if (!prefix) return 0;
    return simnodes::RemoveNodes(GUID_DEVCLASS_BLUETOOTH, prefix);
}

// The node of the Bluetooth LE enumerator that a locator asks whether the
// radio is up.
BLESIM_API DWORD WINAPI BleSimRegisterRadio(void) {
    CDeviceSet set(::SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_BLUETOOTH, nullptr));
    if (!set.IsValid()) return ::GetLastError();
    const wchar_t* instance = L"BTH\\MS_BTHLE\\SIM_RADIO";
    SP_DEVINFO_DATA device = {};
    if (DWORD error = simnodes::MakeOrOpenNode(set.Get(), instance, GUID_DEVCLASS_BLUETOOTH,
                                               L"Simulated Bluetooth LE enumerator", device))
        return error;
    return SetText(set.Get(), device, DEVPKEY_Device_MatchingDeviceId, L"BTH\\MS_BTHLE", DEVPROP_TYPE_STRING);
}
