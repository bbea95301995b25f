#pragma once
// What the simulators that register device nodes with SetupAPI share: an
// owned device information set, and the removal of their nodes.
#include <windows.h>
#include <setupapi.h>

#include <cwchar>

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

}  // namespace simnodes
