// What a client sees of Corvane.dll as a whole: its start-up, and the
// factories' answers for combinations that no driver serves.
#include <Corvane.h>

#include <gtest/gtest.h>

using corvane::EDriver;
using corvane::IPort;
using corvane::IPortAddr;
using corvane::IPortLocator;
using corvane::IStreamServer;

namespace {
const EDriver kNoDriver = static_cast<EDriver>(0);
const EDriver kUnknownDriver = static_cast<EDriver>(4);

// An address of a type the library does not know.
class CForeignAddr : public IPortAddr {
public:
    EPortType GetType() const override { return static_cast<EPortType>(5); }
    DWORD GetClassOfDevice() const override { return 0; }
    _bstr_t GetPhysicalName() const override { return L"x"; }
    _bstr_t GetService() const override { return L""; }
    _bstr_t GetFriendlyName() const override { return L""; }
    _bstr_t GetLogin() const override { return L""; }
    _bstr_t GetPassword() const override { return L""; }
    int GetRSSI() const override { return 0; }
    unsigned int GetSignalQuality() const override { return 0; }
};

boost::shared_ptr<const IPortAddr> Address(IPortAddr::EPortType type) {
    const wchar_t* names[] = {L"COM3", L"00:11:22:33:44:55", L"usb#1", L"127.0.0.1",
                              L"00:11:22:33:44:55"};
    return IPortAddr::CreateInstance(type, 0, names[type], L"", L"", L"", 0, 0, L"1");
}
}  // namespace

// The library starts Winsock when it is loaded: this program never calls
// WSAStartup itself.
TEST(Library, SocketsWorkWithoutTheClientStartingWinsock) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(s, INVALID_SOCKET) << "WSAGetLastError " << ::WSAGetLastError();
    if (s != INVALID_SOCKET) ::closesocket(s);
}

// The choice among drivers is tested white-box; here only that the DLL's
// factories answer combinations no driver serves with an empty pointer.
TEST(Factories, AnswerUnservedCombinationsWithAnEmptyPointer) {
    boost::shared_ptr<const IPortAddr> foreign(new CForeignAddr);
    for (EDriver driver : {kNoDriver, corvane::driverToshiba, kUnknownDriver}) {
        for (auto type : {IPortAddr::portSerial, IPortAddr::portUSB, IPortAddr::portTCP, IPortAddr::portBluetooth})
            EXPECT_FALSE(IPort::CreateInstance(Address(type), driver)) << type << "/" << driver;
        EXPECT_FALSE(IPortLocator::CreateInstance(IPortAddr::portUSB, driver)) << driver;
        auto service = corvane::IServerDescription::CreateInstance(GUID_NULL, L"Rover", L"");
        EXPECT_FALSE(IStreamServer::CreateInstance(service, nullptr, 0, driver)) << driver;
    }
    for (EDriver driver : {kNoDriver, corvane::driverDefault, corvane::driverMicrosoft,
                           corvane::driverToshiba, kUnknownDriver}) {
        EXPECT_FALSE(IPort::CreateInstance(foreign, driver)) << driver;
        EXPECT_FALSE(IPort::CreateInstance(nullptr, driver)) << driver;
        EXPECT_FALSE(IPortLocator::CreateInstance(IPortAddr::portTCP, driver)) << driver;
        EXPECT_FALSE(IPortLocator::CreateInstance(static_cast<IPortAddr::EPortType>(5), driver));
    }
}
