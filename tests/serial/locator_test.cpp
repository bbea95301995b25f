// The COM port locator over device nodes this test registers with the Setup
// API and over values it adds to the registry's serial device map.
#include "SerialRig.h"

#include <cwchar>

using namespace corvane;
using testkit::CRecorder;

namespace {

const wchar_t kEnumerator[] = L"CorvaneSerialTest";  // names our nodes ROOT\CORVANESERIALTEST\NNNN
const wchar_t kMapPrefix[] = L"\\Device\\CorvaneTest";
const wchar_t kDeviceMap[] = L"Hardware\\DeviceMap\\SerialComm";
// {86E0D1E0-8089-11D0-9CE4-08003E301F73} and {4D36E978-E325-11CE-BFC1-08002BE10318}.
const GUID kComPortClass = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

void Check(bool ok, const char* what) {
    if (!ok) FAIL() << what << " failed, error " << ::GetLastError();
}

// Device nodes and device-map values of this test; a test program that
// ended early left its own behind, so they go before and after.
class CTestPorts {
public:
    CTestPorts() { RemoveAll(); }
    ~CTestPorts() { RemoveAll(); }

    void AddDevice(const GUID& setupClass, const wchar_t* friendlyName, const wchar_t* portName) {
        HDEVINFO set = ::SetupDiCreateDeviceInfoList(&setupClass, nullptr);
        Check(set != INVALID_HANDLE_VALUE, "SetupDiCreateDeviceInfoList");
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        Check(::SetupDiCreateDeviceInfoW(set, kEnumerator, &setupClass, nullptr, nullptr, DICD_GENERATE_ID, &device),
              "SetupDiCreateDeviceInfo");
        Check(::SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr), "SetupDiRegisterDeviceInfo");
        if (friendlyName)
            Check(::SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME,
                                                      reinterpret_cast<const BYTE*>(friendlyName),
                                                      static_cast<DWORD>((wcslen(friendlyName) + 1) * sizeof(wchar_t))),
                  "SetupDiSetDeviceRegistryProperty");
        HKEY key = ::SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
        Check(key != INVALID_HANDLE_VALUE, "SetupDiCreateDevRegKey");
        if (portName)
            ::RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(portName),
                             static_cast<DWORD>((wcslen(portName) + 1) * sizeof(wchar_t)));
        ::RegCloseKey(key);
        ::SetupDiDestroyDeviceInfoList(set);
    }

    // \Device\CorvaneTest<suffix> = portName
    void AddMapEntry(const wchar_t* suffix, const wchar_t* portName) {
        HKEY key = nullptr;
        Check(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDeviceMap, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) ==
                  ERROR_SUCCESS,
              "RegCreateKeyEx");
        std::wstring name = std::wstring(kMapPrefix) + suffix;
        ::RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(portName),
                         static_cast<DWORD>((wcslen(portName) + 1) * sizeof(wchar_t)));
        ::RegCloseKey(key);
    }

private:
    void RemoveAll() {
        for (const GUID* setupClass : {&kComPortClass, &kPortsClass}) {
            HDEVINFO set = ::SetupDiGetClassDevsW(setupClass, nullptr, nullptr, 0);
            if (set == INVALID_HANDLE_VALUE) continue;
            SP_DEVINFO_DATA device = {};
            device.cbSize = sizeof device;
            std::vector<SP_DEVINFO_DATA> ours;
            for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &device); ++i) {
                wchar_t id[512] = {};
                if (::SetupDiGetDeviceInstanceIdW(set, &device, id, 512, nullptr) &&
                    ::_wcsnicmp(id, L"ROOT\\CORVANESERIALTEST\\", 23) == 0)
                    ours.push_back(device);
            }
            for (SP_DEVINFO_DATA& node : ours) ::SetupDiRemoveDevice(set, &node);
            ::SetupDiDestroyDeviceInfoList(set);
        }
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceMap, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) return;
        std::vector<std::wstring> names;
        wchar_t name[256];
        for (DWORD i = 0;; ++i) {
            DWORD length = 256;
            if (::RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            if (std::wstring(name, length).compare(0, wcslen(kMapPrefix), kMapPrefix) == 0) names.push_back(name);
        }
        for (const std::wstring& value : names) ::RegDeleteValueW(key, value.c_str());
        ::RegCloseKey(key);
    }
};

struct CFound {
    std::wstring port, friendlyName;
    bool operator==(const CFound& other) const { return port == other.port && friendlyName == other.friendlyName; }
};
void PrintTo(const CFound& found, std::ostream* out) {
    *out << basalt::ustring(found.port.c_str()).ToCodePage(CP_UTF8) << " \""
         << basalt::ustring(found.friendlyName.c_str()).ToCodePage(CP_UTF8) << "\"";
}

// Every address queued, in order; those of this test's ports (COM4... and
// the printer port LPT7) apart.
std::vector<CFound> Drain(IPortLocator& locator, size_t* total = nullptr) {
    std::vector<CFound> ours;
    size_t count = 0;
    while (boost::shared_ptr<const IPortAddr> address = locator.GetNextAddress()) {
        ++count;
        EXPECT_EQ(address->GetType(), IPortAddr::portSerial);
        std::wstring port(address->GetPhysicalName());
        if (port.compare(0, 8, L"\\\\.\\COM4") == 0 || port.find(L"LPT7") != std::wstring::npos)
            ours.push_back({port, std::wstring(address->GetFriendlyName())});
    }
    if (total) *total = count;
    return ours;
}

// The system's Setup API, except that the first call of one function that
// would have succeeded fails instead, with code.
class CFailingSetup : public serial::CSetupApi {
public:
    CFailingSetup(const std::wstring& failing, DWORD code) : m_failing(failing), m_code(code) {}
    // From now on every call does as the system's.
    void Heal() { m_failing.clear(); }

    HDEVINFO GetClassDevs(const GUID* setupClass, DWORD flags) override {
        HDEVINFO set = serial::CSetupApi::GetClassDevs(setupClass, flags);
        if (set == INVALID_HANDLE_VALUE || m_failing != L"SetupDiGetClassDevs") return set;
        serial::CSetupApi::DestroyDeviceInfoList(set);
        Fails(L"SetupDiGetClassDevs");
        return INVALID_HANDLE_VALUE;
    }
    BOOL EnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* device) override {
        return serial::CSetupApi::EnumDeviceInfo(set, index, device) && !Fails(L"SetupDiEnumDeviceInfo");
    }
    BOOL GetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, DWORD* type, BYTE* buffer,
                                   DWORD size, DWORD* required) override {
        return serial::CSetupApi::GetDeviceRegistryProperty(set, device, property, type, buffer, size, required) &&
               !Fails(L"SetupDiGetDeviceRegistryPropertyW");
    }
    HKEY OpenDevRegKey(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD scope, DWORD profile, DWORD keyType,
                       REGSAM access) override {
        HKEY key = serial::CSetupApi::OpenDevRegKey(set, device, scope, profile, keyType, access);
        if (key == INVALID_HANDLE_VALUE || m_failing != L"SetupDiOpenDevRegKey") return key;
        ::RegCloseKey(key);
        Fails(L"SetupDiOpenDevRegKey");
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }

private:
    bool Fails(const wchar_t* function) {
        if (m_failing != function) return false;
        m_failing.clear();
        ::SetLastError(m_code);
        return true;
    }
    std::wstring m_failing;
    DWORD m_code;
};

class SerialLocatorTest : public ::testing::Test {
protected:
    CTestPorts ports;
    boost::shared_ptr<IPortLocator> locator = CreateSerialPortLocator();
};

}  // namespace

TEST_F(SerialLocatorTest, SetupDevicesAndTheDeviceMapMergeByPortName) {
    ports.AddDevice(kPortsClass, L"Instrument cable (COM41)", L"COM41");
    ports.AddDevice(kPortsClass, L"Printer (LPT7)", L"LPT7");  // the same setup class, but no COM port
    ports.AddDevice(kComPortClass, L"USB serial (COM410)", L"COM410");
    ports.AddDevice(kPortsClass, L"Bluetooth link (com42)", L"com42");
    ports.AddDevice(kPortsClass, nullptr, L"COM44");  // no friendly name: the Setup API pass skips it
    ports.AddMapEntry(L"41", L"COM41");
    ports.AddMapEntry(L"42", L"Com42");
    ports.AddMapEntry(L"43", L"COM43");

    boost::shared_ptr<CRecorder> events = CRecorder::Listen(*locator);
    locator->BeginSearch(0, 0);
    EXPECT_FALSE(locator->IsRunning());
    size_t total = 0;
    std::vector<CFound> found = Drain(*locator, &total);
    EXPECT_EQ(found, (std::vector<CFound>{{L"\\\\.\\COM41", L"Instrument cable (COM41)"},
                                          {L"\\\\.\\COM410", L"USB serial (COM410)"},
                                          {L"\\\\.\\COM42", L"Bluetooth link (com42)"},
                                          {L"\\\\.\\COM43", L"\\Device\\CorvaneTest43"}}));
    // One notice per address, then the end of the search.
    std::vector<EEventType> told = events->Events();
    ASSERT_EQ(told.size(), total + 1);
    EXPECT_EQ(events->Count(eventDataAvailable), total);
    EXPECT_EQ(told.back(), eventStateChanged);
    EXPECT_EQ(events->Count(eventError), 0u);
}

TEST_F(SerialLocatorTest, ASearchReplacesWhatAnEarlierSearchLeftQueued) {
    ports.AddDevice(kPortsClass, L"Instrument cable (COM45)", L"COM45");
    locator->BeginSearch(0, 0);
    locator->BeginSearch(0, 0);
    std::vector<CFound> found = Drain(*locator);
    EXPECT_EQ(found, (std::vector<CFound>{{L"\\\\.\\COM45", L"Instrument cable (COM45)"}}));
    EXPECT_FALSE(locator->GetNextAddress());
}

// A failing Setup API call ends the Setup API pass, but not the search: its
// error comes first, then what the device map found.
TEST_F(SerialLocatorTest, SetupApiFailuresAreStoredAndTheDeviceMapStillCounts) {
    ports.AddDevice(kPortsClass, L"Instrument cable (COM41)", L"COM41");
    ports.AddMapEntry(L"43", L"COM43");
    for (const wchar_t* function : {L"SetupDiGetClassDevs", L"SetupDiEnumDeviceInfo",
                                    L"SetupDiGetDeviceRegistryPropertyW", L"SetupDiOpenDevRegKey"}) {
        SCOPED_TRACE(basalt::ustring(function).ToCodePage(CP_UTF8));
        CSerialPortLocator failing(std::unique_ptr<serial::CSetupApi>(new CFailingSetup(function, ERROR_GEN_FAILURE)));
        boost::shared_ptr<CRecorder> events = CRecorder::Listen(failing);
        failing.BeginSearch(0, 0);
        EXPECT_TRUE(testkit::ThrowsWinError([&] { failing.GetNextAddress(); }, function, ERROR_GEN_FAILURE));
        std::vector<CFound> found = Drain(failing);
        ASSERT_FALSE(found.empty());
        EXPECT_EQ(found.back(), (CFound{L"\\\\.\\COM43", L"\\Device\\CorvaneTest43"}));
        std::vector<EEventType> told = events->Events();
        ASSERT_FALSE(told.empty());
        EXPECT_EQ(told.front(), eventError);
        EXPECT_EQ(told.back(), eventStateChanged);
        EXPECT_EQ(events->Count(eventError), 1u);
    }
}

// A search's stored error is its own: the next search, failing nowhere,
// answers an address with its first GetNextAddress.
TEST_F(SerialLocatorTest, AGoodSearchForgetsTheErrorOfAFailedOne) {
    ports.AddDevice(kPortsClass, L"Instrument cable (COM41)", L"COM41");
    CFailingSetup* setup = new CFailingSetup(L"SetupDiGetClassDevs", ERROR_GEN_FAILURE);
    CSerialPortLocator locator{std::unique_ptr<serial::CSetupApi>(setup)};
    locator.BeginSearch(0, 0);
    setup->Heal();
    locator.BeginSearch(0, 0);
    boost::shared_ptr<const IPortAddr> first;
    EXPECT_NO_THROW(first = locator.GetNextAddress());
    ASSERT_TRUE(first);
}
