// What a client sees of Corvane.dll as a whole: its start-up, and the
// factories' answers for addresses of no known type.
#include <Corvane.h>

#include <gtest/gtest.h>

using corvane::EDriver;
using corvane::IPort;
using corvane::IPortAddr;
using corvane::IPortLocator;

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

}  // namespace

// The library starts Winsock when it is loaded: this program never calls
// WSAStartup itself.
TEST(Library, SocketsWorkWithoutTheClientStartingWinsock) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(s, INVALID_SOCKET) << "WSAGetLastError " << ::WSAGetLastError();
    if (s != INVALID_SOCKET) ::closesocket(s);
}

// Addresses the library did not make, or none at all, get an empty pointer
// from every factory, never a crash.
TEST(Factories, AnswerAddressesOfNoKnownTypeWithAnEmptyPointer) {
    boost::shared_ptr<const IPortAddr> foreign(new CForeignAddr);
    for (EDriver driver : {kNoDriver, corvane::driverDefault, corvane::driverMicrosoft,
                           corvane::driverToshiba, kUnknownDriver}) {
        EXPECT_FALSE(IPort::CreateInstance(foreign, driver)) << driver;
        EXPECT_FALSE(IPort::CreateInstance(nullptr, driver)) << driver;
        EXPECT_FALSE(IPortLocator::CreateInstance(static_cast<IPortAddr::EPortType>(5), driver));
    }
}
