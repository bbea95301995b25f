#include "BtDrtApi.h"

#include <cstring>
#include <map>
#include <mutex>

namespace {

const wchar_t kFile[] = L"BtDrtApi";
const wchar_t kLibrary[] = L"Bthprops.cpl";

[[noreturn]] void Fail(int line, const wchar_t* function, DWORD code) {
    throw basalt::CWinException(line, kFile, function, code);
}

// The answers a client gave, per device, for the stack's pairing requests.
struct CAuthEntry {
    HBLUETOOTH_AUTHENTICATION_REGISTRATION handle;
    basalt::ustring pin;
};
struct CAuthRegistry {
    basalt::CCriticalSection lock;
    std::map<ULONGLONG, CAuthEntry> entries;
};

// Never destroyed: the stack may call a handler on its own thread at any
// time, also while the process ends.
CAuthRegistry& Registry() {
    static CAuthRegistry* registry = new CAuthRegistry;
    return *registry;
}

BLUETOOTH_DEVICE_INFO MakeDeviceInfo(ULONGLONG device) {
    BLUETOOTH_DEVICE_INFO info;
    std::memset(&info, 0, sizeof info);
    info.dwSize = sizeof info;
    info.Address.ullLong = device;
    return info;
}

template <typename Fn>
void ResolveRequired(const basalt::CLibrary& library, const char* name, Fn& function) {
    function = library.Resolve<Fn>(name);
    if (!function) throw basalt::CWinException(__LINE__, L"Library", L"GetProcAddress", ::GetLastError());
}

}  // namespace

// ---------------------------------------------------------------------------
// CBtDrt

CBtDrt::CBtDrt() : m_library(kLibrary), m_radio(nullptr) {
    if (!m_library.IsLoaded()) throw basalt::CWinException(__LINE__, L"Library", L"LoadLibrary", m_library.GetError());
    ResolveRequired(m_library, "BluetoothAuthenticateDevice", m_authenticateDevice);
    m_authenticateDeviceEx = m_library.Resolve<decltype(m_authenticateDeviceEx)>("BluetoothAuthenticateDeviceEx");
    ResolveRequired(m_library, "BluetoothEnableDiscovery", m_enableDiscovery);
    ResolveRequired(m_library, "BluetoothEnableIncomingConnections", m_enableIncomingConnections);
    ResolveRequired(m_library, "BluetoothEnumerateInstalledServices", m_enumerateInstalledServices);
    ResolveRequired(m_library, "BluetoothFindFirstRadio", m_findFirstRadio);
    ResolveRequired(m_library, "BluetoothFindNextRadio", m_findNextRadio);
    ResolveRequired(m_library, "BluetoothFindRadioClose", m_findRadioClose);
    ResolveRequired(m_library, "BluetoothGetDeviceInfo", m_getDeviceInfo);
    ResolveRequired(m_library, "BluetoothGetRadioInfo", m_getRadioInfo);
    ResolveRequired(m_library, "BluetoothIsConnectable", m_isConnectable);
    ResolveRequired(m_library, "BluetoothIsDiscoverable", m_isDiscoverable);
    ResolveRequired(m_library, "BluetoothRegisterForAuthentication", m_registerForAuthentication);
    m_registerForAuthenticationEx =
        m_library.Resolve<decltype(m_registerForAuthenticationEx)>("BluetoothRegisterForAuthenticationEx");
    ResolveRequired(m_library, "BluetoothRemoveDevice", m_removeDevice);
    ResolveRequired(m_library, "BluetoothSendAuthenticationResponse", m_sendAuthenticationResponse);
    m_sendAuthenticationResponseEx =
        m_library.Resolve<decltype(m_sendAuthenticationResponseEx)>("BluetoothSendAuthenticationResponseEx");
    ResolveRequired(m_library, "BluetoothUnregisterAuthentication", m_unregisterAuthentication);
    ResolveRequired(m_library, "BluetoothFindFirstDevice", m_findFirstDevice);
    ResolveRequired(m_library, "BluetoothFindNextDevice", m_findNextDevice);
    ResolveRequired(m_library, "BluetoothFindDeviceClose", m_findDeviceClose);

    BLUETOOTH_FIND_RADIO_PARAMS params = {sizeof params};
    HBLUETOOTH_RADIO_FIND find = m_findFirstRadio(&params, &m_radio);
    if (!find) {
        DWORD code = ::GetLastError();
        // "No more items" on the first radio means there is none at all.
        Fail(__LINE__, L"BluetoothFindFirstRadio", code == ERROR_NO_MORE_ITEMS ? ERROR_SERVICE_NOT_ACTIVE : code);
    }
    m_findRadioClose(find);
}

CBtDrt::~CBtDrt() {
    if (m_radio) ::CloseHandle(m_radio);
}

bool CBtDrt::IsDiscoverable() { return m_isDiscoverable(m_radio) > 0; }
bool CBtDrt::IsConnectable() { return m_isConnectable(m_radio) > 0; }

void CBtDrt::SetDiscoverable(bool on) {
    // A radio that can be found but not reached is no use: connections first.
    if (on && !m_enableIncomingConnections(m_radio, TRUE))
        Fail(__LINE__, L"BluetoothEnableIncomingConnections", ::GetLastError());
    if (!m_enableDiscovery(m_radio, on ? TRUE : FALSE)) Fail(__LINE__, L"BluetoothEnableDiscovery", ::GetLastError());
}

void CBtDrt::SetConnectable(bool on) {
    // The stack refuses to stop connections while the radio is discoverable.
    if (!on && !m_enableDiscovery(m_radio, FALSE)) Fail(__LINE__, L"BluetoothEnableDiscovery", ::GetLastError());
    if (!m_enableIncomingConnections(m_radio, on ? TRUE : FALSE))
        Fail(__LINE__, L"BluetoothEnableIncomingConnections", ::GetLastError());
}

BLUETOOTH_RADIO_INFO CBtDrt::ReadRadioInfo() {
    BLUETOOTH_RADIO_INFO info;
    std::memset(&info, 0, sizeof info);
    info.dwSize = sizeof info;
    DWORD result = m_getRadioInfo(m_radio, &info);
    if (result != ERROR_SUCCESS) Fail(__LINE__, L"BluetoothGetRadioInfo", result);
    return info;
}

DWORD CBtDrt::GetLocalCOD() { return ReadRadioInfo().ulClassofDevice; }
ULONGLONG CBtDrt::GetLocalAddress() { return ReadRadioInfo().address.ullLong; }

basalt::ustring CBtDrt::GetLocalName() {
    BLUETOOTH_RADIO_INFO info = ReadRadioInfo();
    info.szName[BLUETOOTH_MAX_NAME_SIZE - 1] = L'\0';
    return basalt::ustring(info.szName);
}

void CBtDrt::WriteLocalCOD(DWORD) { Fail(__LINE__, L"CBtDrt::WriteLocalCOD", ERROR_NOT_SUPPORTED); }

bool CBtDrt::IsAuthenticated(ULONGLONG device) {
    BLUETOOTH_DEVICE_INFO info = MakeDeviceInfo(device);
    DWORD result = m_getDeviceInfo(m_radio, &info);
    if (result == ERROR_SUCCESS) return info.fAuthenticated != FALSE;
    if (result == ERROR_NOT_FOUND) return false;
    Fail(__LINE__, L"BluetoothGetDeviceInfo", result);
}

void CBtDrt::RemoveDevice(ULONGLONG device) {
    BLUETOOTH_ADDRESS address;
    address.ullLong = device;
    DWORD result = m_removeDevice(&address);
    if (result != ERROR_SUCCESS) Fail(__LINE__, L"BluetoothRemoveDevice", result);
}

void CBtDrt::UnregisterAuthentication(HBLUETOOTH_AUTHENTICATION_REGISTRATION handle) {
    if (!m_unregisterAuthentication(handle)) Fail(__LINE__, L"BluetoothUnregisterAuthentication", ::GetLastError());
}

void CBtDrt::RegisterAuthenticationHandler(ULONGLONG device, void* context,
                                           HBLUETOOTH_AUTHENTICATION_REGISTRATION* handle) {
    BLUETOOTH_DEVICE_INFO info = MakeDeviceInfo(device);
    if (m_registerForAuthenticationEx) {
        basalt::CLocker lock(Registry().lock);
        HRESULT result = m_registerForAuthenticationEx(&info, handle, ExtendedHandler, context);
        if (result != S_OK) Fail(__LINE__, L"BluetoothRegisterForAuthenticationEx", static_cast<DWORD>(result));
        return;
    }
    DWORD result = m_registerForAuthentication(&info, handle, BasicHandler, context);
    if (result != ERROR_SUCCESS) Fail(__LINE__, L"BluetoothRegisterForAuthentication", result);
}

CBtDrt::EPairingCall CBtDrt::ChoosePairingCall(DWORD major, DWORD minor, bool hasEx) {
    if (major < 5) return pairingUnsupported;
    if (major == 5) return pairingLegacyRegistered;
    return (major * 256 + minor >= 0x602 && hasEx) ? pairingEx : pairingLegacy;
}

DWORD CBtDrt::PairRequest(ULONGLONG device, const wchar_t* pin) {
    OSVERSIONINFOW version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ::GetVersionExW(&version);
#pragma GCC diagnostic pop
    return PairRequest(device, pin, version.dwMajorVersion, version.dwMinorVersion);
}

DWORD CBtDrt::PairRequest(ULONGLONG device, const wchar_t* pin, DWORD major, DWORD minor) {
    BLUETOOTH_DEVICE_INFO info = MakeDeviceInfo(device);
    basalt::ustring passkey(pin);
    PWSTR key = passkey.empty() ? nullptr : &passkey[0];
    ULONG length = static_cast<ULONG>(passkey.size());

    switch (ChoosePairingCall(major, minor, m_authenticateDeviceEx != nullptr)) {
    case pairingUnsupported:
        Fail(__LINE__, L"CBtDrt::PairRequest", ERROR_OLD_WIN_VERSION);
    case pairingLegacyRegistered: {
        // Before version 6 the stack asks a registered handler only when it is given the radio.
        bool registered;
        {
            basalt::CLocker lock(Registry().lock);
            registered = Registry().entries.count(device) != 0;
        }
        DWORD result = m_authenticateDevice(nullptr, registered ? m_radio : nullptr, &info, key, length);
        if (result != ERROR_SUCCESS) Fail(__LINE__, L"BluetoothAuthenticateDevice", result);
        return 0;
    }
    case pairingEx: {
        HRESULT result = m_authenticateDeviceEx(nullptr, m_radio, &info, nullptr, MITMProtectionNotRequired);
        if (result != S_OK) Fail(__LINE__, L"BluetoothAuthenticateDeviceEx", static_cast<DWORD>(result));
        return 0;
    }
    case pairingLegacy: {
        DWORD result = m_authenticateDevice(nullptr, m_radio, &info, key, length);
        if (result != ERROR_SUCCESS) Fail(__LINE__, L"BluetoothAuthenticateDevice", result);
        return 0;
    }
    }
    return 0;
}

HBLUETOOTH_DEVICE_FIND CBtDrt::FindFirstDevice(BLUETOOTH_DEVICE_SEARCH_PARAMS* params, BLUETOOTH_DEVICE_INFO* info) {
    return m_findFirstDevice(params, info);
}

BOOL CBtDrt::FindNextDevice(HBLUETOOTH_DEVICE_FIND find, BLUETOOTH_DEVICE_INFO* info) {
    return m_findNextDevice(find, info);
}

BOOL CBtDrt::FindDeviceClose(HBLUETOOTH_DEVICE_FIND find) { return m_findDeviceClose(find); }

void CBtDrt::FillPinAnswer(const basalt::ustring& pin, BLUETOOTH_PIN_INFO& answer) {
    std::string bytes = pin.ToCodePage(CP_UTF8);
    size_t length = bytes.size() < BTH_MAX_PIN_SIZE ? bytes.size() : BTH_MAX_PIN_SIZE;
    std::memcpy(answer.pin, bytes.data(), length);
    answer.pinLength = static_cast<UCHAR>(length);
}

// ---------------------------------------------------------------------------
// The handlers the stack calls, on threads of its own. They answer FALSE
// whenever they cannot answer, the stack's own failures included: an
// exception has nowhere to go from here.

BOOL CALLBACK CBtDrt::BasicHandler(LPVOID, BLUETOOTH_DEVICE_INFO* device) {
    if (!device) return FALSE;
    try {
        CBtDrt api;
        basalt::ustring pin;
        {
            basalt::CLocker lock(Registry().lock);
            auto found = Registry().entries.find(device->Address.ullLong);
            if (found == Registry().entries.end()) return FALSE;
            pin = found->second.pin;
        }
        return api.m_sendAuthenticationResponse(api.m_radio, device, &pin[0]) == ERROR_SUCCESS ? TRUE : FALSE;
    } catch (...) {
        return FALSE;
    }
}

BOOL CALLBACK CBtDrt::ExtendedHandler(LPVOID, BLUETOOTH_AUTHENTICATION_CALLBACK_PARAMS* request) {
    try {
        CBtDrt api;
        if (!request || !api.m_sendAuthenticationResponseEx) return FALSE;
        BLUETOOTH_AUTHENTICATE_RESPONSE response;
        std::memset(&response, 0, sizeof response);
        response.bthAddressRemote = request->deviceInfo.Address;
        response.authMethod = request->authenticationMethod;
        response.negativeResponse = 0;
        switch (request->authenticationMethod) {
        case BLUETOOTH_AUTHENTICATION_METHOD_LEGACY: {
            basalt::CLocker lock(Registry().lock);
            auto found = Registry().entries.find(request->deviceInfo.Address.ullLong);
            if (found == Registry().entries.end()) return FALSE;
            FillPinAnswer(found->second.pin, response.pinInfo);
            break;
        }
        case BLUETOOTH_AUTHENTICATION_METHOD_NUMERIC_COMPARISON:
            // The client asked for the device by giving a PIN: the comparison is accepted.
            response.numericCompInfo.NumericValue = request->Numeric_Value;
            break;
        case BLUETOOTH_AUTHENTICATION_METHOD_PASSKEY_NOTIFICATION:
        case BLUETOOTH_AUTHENTICATION_METHOD_PASSKEY:
            response.passkeyInfo.passkey = request->Passkey;
            break;
        default:  // out-of-band data is not something a PIN can answer
            return FALSE;
        }
        return api.m_sendAuthenticationResponseEx(api.m_radio, &response) == S_OK ? TRUE : FALSE;
    } catch (...) {
        return FALSE;
    }
}

bool SetAuthenticationPin(ULONGLONG device, const wchar_t* pin) {
    CAuthRegistry& registry = Registry();
    basalt::CLocker lock(registry.lock);
    auto found = registry.entries.find(device);
    if (!pin) {
        // Removing what was never there must not need a stack.
        if (found == registry.entries.end()) return false;
        CBtDrt api;
        api.UnregisterAuthentication(found->second.handle);
        registry.entries.erase(found);
        return true;
    }
    if (found != registry.entries.end()) {
        found->second.pin = pin;
        return true;
    }
    CBtDrt api;
    CAuthEntry entry = {nullptr, basalt::ustring(pin)};
    api.RegisterAuthenticationHandler(device, nullptr, &entry.handle);
    registry.entries[device] = entry;
    return true;
}

bool IsAuthenticationPinSet(ULONGLONG device) {
    basalt::CLocker lock(Registry().lock);
    return Registry().entries.count(device) != 0;
}

// ---------------------------------------------------------------------------
// Microsoft::CBthpropsLib

namespace Microsoft {

CBthpropsLib::CBthpropsLib() : basalt::CLibrary(kLibrary) {
    BluetoothSdpGetContainerElementData =
        Resolve<decltype(BluetoothSdpGetContainerElementData)>("BluetoothSdpGetContainerElementData");
    BluetoothSdpGetElementData = Resolve<decltype(BluetoothSdpGetElementData)>("BluetoothSdpGetElementData");
    BluetoothSdpEnumAttributes = Resolve<decltype(BluetoothSdpEnumAttributes)>("BluetoothSdpEnumAttributes");
}

CBthpropsLib& CBthpropsLib::Instance() {
    // Made on first use and kept to the end of the process: the stack's
    // threads may still walk a record while the library unloads.
    static std::once_flag once;
    static CBthpropsLib* instance = nullptr;
    std::call_once(once, [] { instance = new CBthpropsLib; });
    return *instance;
}

}  // namespace Microsoft
