// The COM port locator: the Setup API's port devices, completed by the
// registry's serial device map, handed out in order of port name.
#include "Serial/Serial.h"

#include "Common.h"

namespace corvane {

namespace {

const wchar_t kFile[] = L"Serial";

[[noreturn]] void Fail(int line, const wchar_t* function, DWORD code) {
    throw basalt::CWinException(line, kFile, function, code);
}

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}: COM port devices (the interface class).
const GUID kComPortClass = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
// {4D36E978-E325-11CE-BFC1-08002BE10318}: the Ports setup class (COM and LPT).
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

const wchar_t kDeviceMap[] = L"Hardware\\DeviceMap\\SerialComm";

// Owns a registry key; closes it however the scope is left.
class CRegKey {
public:
    CRegKey() : m_key(nullptr) {}
    ~CRegKey() { Close(); }
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    void Reset(HKEY key) {
        Close();
        m_key = key;
    }
    void Close() {
        if (m_key) ::RegCloseKey(m_key);
        m_key = nullptr;
    }
    HKEY Get() const { return m_key; }

private:
    HKEY m_key;
};

// Owns a device information set; destroys it however the scope is left.
class CDeviceList {
public:
    CDeviceList(serial::CSetupApi& api, HDEVINFO set) : m_api(api), m_set(set) {}
    ~CDeviceList() {
        if (IsValid()) m_api.DestroyDeviceInfoList(m_set);
    }
    CDeviceList(const CDeviceList&) = delete;
    CDeviceList& operator=(const CDeviceList&) = delete;
    bool IsValid() const { return m_set != INVALID_HANDLE_VALUE; }
    HDEVINFO Get() const { return m_set; }

private:
    serial::CSetupApi& m_api;
    HDEVINFO m_set;
};

// UTF-16 text of a registry or property buffer that may lack its terminator.
basalt::ustring TextOf(const std::vector<BYTE>& bytes) {
    const wchar_t* units = reinterpret_cast<const wchar_t*>(bytes.data());
    size_t count = bytes.size() / sizeof(wchar_t), length = 0;
    while (length < count && units[length] != L'\0') ++length;
    return basalt::ustring(std::wstring(units, length).c_str());
}

// A text value of an open key. False when it is absent or holds no text;
// a value that fails to read once its size is known throws.
bool ReadText(HKEY key, const wchar_t* name, basalt::ustring& text) {
    DWORD type = 0, size = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    std::vector<BYTE> bytes(size + sizeof(wchar_t));
    LONG result = ::RegQueryValueExW(key, name, nullptr, &type, bytes.data(), &size);
    if (result != ERROR_SUCCESS) Fail(__LINE__, L"RegQueryValueEx", static_cast<DWORD>(result));
    bytes.resize(size);
    text = TextOf(bytes);
    return true;
}

}  // namespace

CSerialPortLocator::CSerialPortLocator()
    : CImmediateLocator(kFile, L"CSerialPortLocator::Escape"), m_setup(new serial::CSetupApi) {}

CSerialPortLocator::CSerialPortLocator(std::unique_ptr<serial::CSetupApi> setup)
    : CImmediateLocator(kFile, L"CSerialPortLocator::Escape"), m_setup(std::move(setup)) {
    if (!m_setup) Fail(__LINE__, L"CSerialPortLocator::CSerialPortLocator", ERROR_INVALID_PARAMETER);
}

void CSerialPortLocator::BeginSearch(DWORD, DWORD) {
    {
        basalt::CLocker lock(m_lock);
        m_found.clear();
        m_errors.clear();
    }
    PortMap ports;
    try {
        SearchSetupClass(kComPortClass, ports);
        SearchSetupClass(kPortsClass, ports);
    } catch (const basalt::CWinException& e) {
        // What the Setup API found so far stays; the device map may add more.
        basalt::CLocker lock(m_lock);
        m_errors.push_back(e);
        m_notifier.Fire(eventError);
    }
    SearchDeviceMap(ports);
    {
        basalt::CLocker lock(m_lock);
        for (const PortMap::value_type& port : ports) {
            m_found.push_back(boost::shared_ptr<const IPortAddr>(
                new CSerialPortAddr(port.first.c_str(), port.second.c_str())));
            m_notifier.Fire(eventDataAvailable);
        }
    }
    m_notifier.Fire(eventStateChanged);
}

void CSerialPortLocator::SearchSetupClass(const GUID& setupClass, PortMap& ports) {
    serial::CSetupApi& api = *m_setup;
    CDeviceList devices(api, api.GetClassDevs(&setupClass, DIGCF_PRESENT));
    if (!devices.IsValid()) Fail(__LINE__, L"SetupDiGetClassDevs", ::GetLastError());
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    DWORD index = 0;
    for (; api.EnumDeviceInfo(devices.Get(), index, &device); ++index) {
        DWORD type = 0, size = 0;
        // A device without a friendly name is left to the device map.
        if (!api.GetDeviceRegistryProperty(devices.Get(), &device, SPDRP_FRIENDLYNAME, &type, nullptr, 0, &size) &&
            ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            continue;
        std::vector<BYTE> bytes(size);
        if (!api.GetDeviceRegistryProperty(devices.Get(), &device, SPDRP_FRIENDLYNAME, &type, bytes.data(), size,
                                           &size))
            Fail(__LINE__, L"SetupDiGetDeviceRegistryPropertyW", ::GetLastError());
        bytes.resize(size);
        basalt::ustring friendlyName = TextOf(bytes);

        CRegKey key;
        HKEY opened = api.OpenDevRegKey(devices.Get(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (opened == INVALID_HANDLE_VALUE) Fail(__LINE__, L"SetupDiOpenDevRegKey", ::GetLastError());
        key.Reset(opened);
        basalt::ustring portName;
        if (!ReadText(key.Get(), L"PortName", portName)) continue;
        portName.strupr();
        // Printer ports share the setup class.
        if (portName.find(L"COM") != basalt::ustring::npos) ports[portName] = friendlyName;
    }
    if (::GetLastError() != ERROR_NO_MORE_ITEMS) Fail(__LINE__, L"SetupDiEnumDeviceInfo", ::GetLastError());
}

void CSerialPortLocator::SearchDeviceMap(PortMap& ports) {
    CRegKey key;
    HKEY opened = nullptr;
    LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceMap, 0, KEY_READ, &opened);
    // A machine without serial ports has no map at all.
    if (result == ERROR_FILE_NOT_FOUND) return;
    if (result != ERROR_SUCCESS) Fail(__LINE__, L"RegOpenKeyEx", static_cast<DWORD>(result));
    key.Reset(opened);
    DWORD longestName = 0;
    result = ::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                &longestName, nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS) Fail(__LINE__, L"RegQueryInfoKey", static_cast<DWORD>(result));
    std::vector<basalt::ustring> names;
    for (DWORD index = 0;; ++index) {
        std::vector<wchar_t> name(longestName + 1);
        DWORD length = static_cast<DWORD>(name.size());
        result = ::RegEnumValueW(key.Get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) Fail(__LINE__, L"RegEnumValue", static_cast<DWORD>(result));
        names.push_back(basalt::ustring(std::wstring(name.data(), length).c_str()));
    }
    // Value name \Device\SerialN, data the port name as the driver spells it.
    for (const basalt::ustring& name : names) {
        basalt::ustring portName;
        if (ReadText(key.Get(), name.c_str(), portName) && ports.find(portName) == ports.end())
            ports[portName] = name;
    }
}

boost::shared_ptr<const IPortAddr> CSerialPortLocator::GetNextAddress() {
    basalt::CLocker lock(m_lock);
    if (!m_errors.empty()) {
        basalt::CWinException error = m_errors.front();
        m_errors.pop_front();
        throw error;
    }
    if (m_found.empty()) return {};
    boost::shared_ptr<const IPortAddr> address = m_found.front();
    m_found.pop_front();
    return address;
}

boost::shared_ptr<IPortLocator> CreateSerialPortLocator() {
    return boost::shared_ptr<IPortLocator>(new CSerialPortLocator);
}

}  // namespace corvane
