#pragma once
// What the simulators that register device nodes with SetupAPI share: an
// owned device information set, and the removal of their nodes.
#include <windows.h>
#include <setupapi.h>

#include <cwchar>
#include <string>

namespace simnodes {

// Owns a device information set.
class CDeviceSet {
public:
    explicit CDeviceSet(HDEVINFO set) : m_set(set) {}
    ~CDeviceSet() {
        if (m_set != INVALID_HANDLE_VALUE) ::SetupDiDestroyDeviceInfoList(m_set);
    }
    CDeviceSet(const CDeviceSet&) = delete;
    CDeviceSet& operator=(const CDeviceSet&) = delete;
    HDEVINFO Get() const { return m_set; }
    bool IsValid() const { return m_set != INVALID_HANDLE_VALUE; }

private:
    HDEVINFO m_set;
};

// Removes the nodes of the setup class whose instance ids begin with prefix
// (in any letter case); answers how many went.
inline DWORD RemoveNodes(const GUID& setupClass, const wchar_t* prefix) {
    CDeviceSet set(::SetupDiGetClassDevsW(&setupClass, nullptr, nullptr, 0));
    if (!set.IsValid()) return 0;
    size_t length = std::wcslen(prefix);
    DWORD removed = 0;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set.Get(), index, &device);) {
        wchar_t id[512] = {};
        ::SetupDiGetDeviceInstanceIdW(set.Get(), &device, id, 512, nullptr);
        if (_wcsnicmp(id, prefix, length) == 0 && ::SetupDiRemoveDevice(set.Get(), &device)) {
            ++removed;  // the set shrank: the same index names the next node
        } else {
            ++index;
        }
        device.cbSize = sizeof device;
    }
    return removed;
}

// Makes the node instanceId of setupClass and registers it, or opens it when
// it is there already. A node whose key was left half-written (by a program
// killed while it registered or removed the node) can be neither made nor
// opened: its key, which only a simulator's node can have, is deleted and
// the node made afresh. Answers 0 or the error.
inline DWORD MakeOrOpenNode(HDEVINFO set, const wchar_t* instanceId, const GUID& setupClass,
                            const wchar_t* description, SP_DEVINFO_DATA& device) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        device.cbSize = sizeof device;
        if (::SetupDiCreateDeviceInfoW(set, instanceId, &setupClass, description, nullptr, 0, &device))
            return ::SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr) ? 0 : ::GetLastError();
        DWORD error = ::GetLastError();
        if (error != ERROR_DEVINST_ALREADY_EXISTS) return error;
        if (::SetupDiOpenDeviceInfoW(set, instanceId, nullptr, 0, &device)) return 0;
        std::wstring key = std::wstring(L"System\\CurrentControlSet\\Enum\\") + instanceId;
        if (::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str()) != ERROR_SUCCESS) return error;
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
    }
    return ERROR_DEVINST_ALREADY_EXISTS;
}

}  // namespace simnodes
