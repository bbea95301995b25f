#pragma once
// One device information set of SetupAPI, with the reads that device
// enumeration needs: registry and unified device properties as text, and the
// device paths of device interfaces.
#include <basalt/Config.h>
#include <basalt/ustring.h>

#include <setupapi.h>

#include <vector>

namespace basalt {

class BASALT_API CSetupAPI {
public:
    CSetupAPI() : m_set(INVALID_HANDLE_VALUE) {}
    ~CSetupAPI() { Destroy(); }
    CSetupAPI(const CSetupAPI&) = delete;
    CSetupAPI& operator=(const CSetupAPI&) = delete;

    // SetupDiGetClassDevsW for a setup class or, with DIGCF_DEVICEINTERFACE, an
    // interface class. False with the last error kept when it fails.
    bool GetClassDevs(const GUID* classGuid, DWORD flags);
    void Destroy();
    bool IsValid() const { return m_set != INVALID_HANDLE_VALUE; }
    HDEVINFO GetHandle() const { return m_set; }

    // False when index is past the last element (or on failure).
    bool EnumDeviceInfo(DWORD index, SP_DEVINFO_DATA& device) const;
    bool EnumDeviceInterfaces(const GUID& interfaceClass, DWORD index, SP_DEVICE_INTERFACE_DATA& data) const;
    // The interface's device path and its device node: the size query must
    // fail with ERROR_INSUFFICIENT_BUFFER, the second call succeed; false
    // otherwise.
    bool GetDeviceInterfaceDetail(SP_DEVICE_INTERFACE_DATA& data, ustring& path, SP_DEVINFO_DATA& device) const;

    // Nonzero with the text filled in when the device has the property
    // (a string, or the first string of a list); zero otherwise.
    BOOL GetDeviceProperty(SP_DEVINFO_DATA& device, const DEVPROPKEY& key, ustring& value) const;
    // Nonzero with every text of a string list (or the one text of a string).
    BOOL GetDeviceProperty(SP_DEVINFO_DATA& device, const DEVPROPKEY& key, std::vector<ustring>& values) const;
    // A SPDRP_ property as text. SPDRP_ENUMERATOR_NAME is also answered where
    // the system's SetupAPI does not keep it (Wine): the enumerator is the
    // first component of the device instance id, which is what Windows reports.
    BOOL GetDeviceRegistryProperty(SP_DEVINFO_DATA& device, DWORD property, ustring& value) const;
    bool GetDeviceInstanceId(SP_DEVINFO_DATA& device, ustring& id) const;

private:
    // The raw bytes of a unified property and its type; false when absent.
    bool ReadProperty(SP_DEVINFO_DATA& device, const DEVPROPKEY& key, std::vector<BYTE>& bytes,
                      DEVPROPTYPE& type) const;

    HDEVINFO m_set;
};

}  // namespace basalt
