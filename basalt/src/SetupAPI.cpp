#include <basalt/SetupAPI.h>

namespace basalt {

namespace {

// Text from a buffer of UTF-16 units that may lack its terminator.
ustring TextAt(const wchar_t* units, size_t count) {
    size_t length = 0;
    while (length < count && units[length] != L'\0') ++length;
    return ustring(std::wstring(units, length).c_str());
}

}  // namespace

bool CSetupAPI::GetClassDevs(const GUID* classGuid, DWORD flags) {
    Destroy();
    m_set = ::SetupDiGetClassDevsW(classGuid, nullptr, nullptr, flags);
    return IsValid();
}

void CSetupAPI::Destroy() {
    if (IsValid()) ::SetupDiDestroyDeviceInfoList(m_set);
    m_set = INVALID_HANDLE_VALUE;
}

bool CSetupAPI::EnumDeviceInfo(DWORD index, SP_DEVINFO_DATA& device) const {
    device.cbSize = sizeof device;
    return IsValid() && ::SetupDiEnumDeviceInfo(m_set, index, &device) != FALSE;
}

bool CSetupAPI::EnumDeviceInterfaces(const GUID& interfaceClass, DWORD index,
                                     SP_DEVICE_INTERFACE_DATA& data) const {
    data.cbSize = sizeof data;
    return IsValid() && ::SetupDiEnumDeviceInterfaces(m_set, nullptr, &interfaceClass, index, &data) != FALSE;
}

bool CSetupAPI::GetDeviceInterfaceDetail(SP_DEVICE_INTERFACE_DATA& data, ustring& path,
                                         SP_DEVINFO_DATA& device) const {
    path.clear();
    DWORD required = 0;
    if (::SetupDiGetDeviceInterfaceDetailW(m_set, &data, nullptr, 0, &required, nullptr) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return false;
    // The header is 8 bytes on x64 and 6 on x86 (packed): the size field holds
    // the header's size, never the buffer's.
    std::vector<BYTE> buffer(required + sizeof(wchar_t));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    device.cbSize = sizeof device;
    if (!::SetupDiGetDeviceInterfaceDetailW(m_set, &data, detail, required, nullptr, &device)) return false;
    size_t units = (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
    path = TextAt(detail->DevicePath, units);
    return true;
}

bool CSetupAPI::ReadProperty(SP_DEVINFO_DATA& device, const DEVPROPKEY& key, std::vector<BYTE>& bytes,
                             DEVPROPTYPE& type) const {
    bytes.clear();
    DWORD required = 0;
    type = DEVPROP_TYPE_EMPTY;
    if (::SetupDiGetDevicePropertyW(m_set, &device, &key, &type, nullptr, 0, &required, 0))
        return true;  // present and empty
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || required == 0) return false;
    bytes.resize(required);
    return ::SetupDiGetDevicePropertyW(m_set, &device, &key, &type, bytes.data(), required, &required, 0) != FALSE;
}

BOOL CSetupAPI::GetDeviceProperty(SP_DEVINFO_DATA& device, const DEVPROPKEY& key, ustring& value) const {
    value.clear();
    std::vector<ustring> values;
    if (!GetDeviceProperty(device, key, values)) return FALSE;
    if (!values.empty()) value = values.front();
    return TRUE;
}

BOOL CSetupAPI::GetDeviceProperty(SP_DEVINFO_DATA& device, const DEVPROPKEY& key,
                                  std::vector<ustring>& values) const {
    values.clear();
    std::vector<BYTE> bytes;
    DEVPROPTYPE type;
    if (!IsValid() || !ReadProperty(device, key, bytes, type)) return FALSE;
    if (type != DEVPROP_TYPE_STRING && type != DEVPROP_TYPE_STRING_LIST) return FALSE;
    const wchar_t* units = reinterpret_cast<const wchar_t*>(bytes.data());
    size_t count = bytes.size() / sizeof(wchar_t);
    if (type == DEVPROP_TYPE_STRING) {
        values.push_back(TextAt(units, count));
        return TRUE;
    }
    // A list: texts one after the other, each with its terminator, and an
    // empty text at the end.
    size_t at = 0;
    while (at < count && units[at] != L'\0') {
        ustring text = TextAt(units + at, count - at);
        at += text.size() + 1;
        values.push_back(text);
    }
    return TRUE;
}

bool CSetupAPI::GetDeviceInstanceId(SP_DEVINFO_DATA& device, ustring& id) const {
    id.clear();
    DWORD required = 0;
    ::SetupDiGetDeviceInstanceIdW(m_set, &device, nullptr, 0, &required);
    if (required == 0) return false;
    std::vector<wchar_t> buffer(required + 1, L'\0');
    if (!::SetupDiGetDeviceInstanceIdW(m_set, &device, buffer.data(), required + 1, &required)) return false;
    id = TextAt(buffer.data(), buffer.size());
    return true;
}

BOOL CSetupAPI::GetDeviceRegistryProperty(SP_DEVINFO_DATA& device, DWORD property, ustring& value) const {
    value.clear();
    if (!IsValid()) return FALSE;
    DWORD type = 0, required = 0;
    std::vector<BYTE> buffer(256);
    BOOL ok = ::SetupDiGetDeviceRegistryPropertyW(m_set, &device, property, &type, buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), &required);
    if (!ok && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && required > buffer.size()) {
        buffer.resize(required);
        ok = ::SetupDiGetDeviceRegistryPropertyW(m_set, &device, property, &type, buffer.data(),
                                                 static_cast<DWORD>(buffer.size()), &required);
    }
    if (ok) {
        if (type != REG_SZ && type != REG_MULTI_SZ && type != REG_EXPAND_SZ) return FALSE;
        value = TextAt(reinterpret_cast<const wchar_t*>(buffer.data()), required / sizeof(wchar_t));
        return TRUE;
    }
    if (property == SPDRP_ENUMERATOR_NAME) {
        ustring id;
        if (!GetDeviceInstanceId(device, id)) return FALSE;
        size_t separator = id.find(L'\\');
        if (separator == 0 || separator == ustring::npos) return FALSE;
        value = ustring(id.substr(0, separator).c_str());
        return TRUE;
    }
    return FALSE;
}

}  // namespace basalt
