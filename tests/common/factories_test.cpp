// How the exported factories choose among the classic Bluetooth stacks (the
// probe, its fallback and what it lets through), watched through stand-in
// drivers put into the library's table.
#include "corvane/Common.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace corvane;

namespace {
const EDriver kNoDriver = static_cast<EDriver>(0);
const EDriver kUnknownDriver = static_cast<EDriver>(4);
const EDriver kAllDrivers[] = {kNoDriver, driverDefault, driverMicrosoft, driverToshiba, kUnknownDriver};

// How a stand-in fails.
enum EFault { faultNone, faultWin, faultStd, faultForeign };

void Raise(EFault fault, const wchar_t* function) {
    switch (fault) {
    case faultNone: return;
    case faultWin: throw basalt::CWinException(__LINE__, L"Test", function, ERROR_DEVICE_NOT_CONNECTED);
    case faultStd: throw basalt::CStdException(__LINE__, L"Test", function);
    case faultForeign: throw std::runtime_error("not from the helper library");
    }
}

// What the stand-ins saw, and how they behave.
struct CWorld {
    std::vector<std::string> log;
    int liveLocators[2] = {0, 0};  // Microsoft, Toshiba
    bool powered[2] = {true, true};
    EFault locatorFault[2] = {faultNone, faultNone};
    EFault askFault[2] = {faultNone, faultNone};
    EFault portFault = faultNone;
} g_world;

void Note(const std::string& what) { g_world.log.push_back(what); }

class CStandInPort : public IPort {
public:
    CStandInPort(const char* kind, const PortAddrPtr& address) : kind(kind), m_address(address) {}
    std::string kind;

    bool RegisterNotice(boost::shared_ptr<INotice>, EEventType) override { return false; }
    bool DeregisterNotice(boost::shared_ptr<INotice>, EEventType) override { return false; }
    bool IsOpen() const override { return false; }
    void Close() override {}
    void SetBufferSize(DWORD, DWORD) override {}
    void GetBufferSize(DWORD*, DWORD*) override {}
    void Purge(DWORD) override {}
    DWORD Send(const void*, DWORD) override { return 0; }
    DWORD Recv(void*, DWORD) override { return 0; }
    boost::shared_ptr<IPropertySet> Escape(const wchar_t*, boost::shared_ptr<IPropertySet>) override { return {}; }
    PortAddrPtr GetAddress() const override { return m_address; }
    void Open() override {}
    bool IoControl(DWORD, DWORD*) override { return false; }
    boost::shared_ptr<IPropertySet> GetSettings() override { return {}; }
    void SetSettings(boost::shared_ptr<IPropertySet>) override {}
    boost::shared_ptr<IPropertySet> GetStatus() override { return {}; }

private:
    PortAddrPtr m_address;
};

class CStandInLocator : public IPortLocator {
public:
    explicit CStandInLocator(const char* kind, int stack = -1) : kind(kind), m_stack(stack) {
        if (m_stack >= 0) ++g_world.liveLocators[m_stack];
    }
    ~CStandInLocator() override {
        if (m_stack >= 0) --g_world.liveLocators[m_stack];
    }
    std::string kind;

    bool RegisterNotice(boost::shared_ptr<INotice>, EEventType) override { return false; }
    bool DeregisterNotice(boost::shared_ptr<INotice>, EEventType) override { return false; }
    IPortAddr::EPortType GetType() const override { return IPortAddr::portBluetooth; }
    bool IsHardwareAvailableAndPoweredOn() const override {
        Note(kind + " asked");
        Raise(g_world.askFault[m_stack], L"IsHardwareAvailableAndPoweredOn");
        return g_world.powered[m_stack];
    }
    boost::shared_ptr<IPropertySet> GetSettings() override { return {}; }
    void SetSettings(boost::shared_ptr<IPropertySet>) override {}
    boost::shared_ptr<IPropertySet> Escape(const wchar_t*, boost::shared_ptr<IPropertySet>) override { return {}; }
    void BeginSearch(DWORD, DWORD) override {}
    void EndSearch() override {}
    bool IsRunning() const override { return false; }
    PortAddrPtr GetNextAddress() override { return {}; }

private:
    int m_stack;
};

class CStandInServer : public IStreamServer {
public:
    CStandInServer(const boost::shared_ptr<const IServerDescription>& service, AcceptCallback callback,
                   DWORD context)
        : service(service), callback(callback), context(context) {}
    boost::shared_ptr<const IServerDescription> service;
    AcceptCallback callback;
    DWORD context;

    bool RegisterNotice(boost::shared_ptr<INotice>, EEventType) override { return false; }
    bool DeregisterNotice(boost::shared_ptr<INotice>, EEventType) override { return false; }
    bool IsRunning() const override { return false; }
    void Start() override {}
    void Stop() override {}
    boost::shared_ptr<IPort> GetNextPort() override { return {}; }
};

template <const char* Kind>
boost::shared_ptr<IPort> MakePort(const PortAddrPtr& address) {
    std::string kind = Kind;
    Note(kind + " made");
    Raise(g_world.portFault, L"port");
    return boost::shared_ptr<IPort>(new CStandInPort(Kind, address));
}

// A Bluetooth port: notes which locators were alive while it was made.
template <const char* Kind>
boost::shared_ptr<IPort> MakeBluetoothPort(const PortAddrPtr& address) {
    Note(std::string(Kind) + " made with " + std::to_string(g_world.liveLocators[0]) + "+" +
         std::to_string(g_world.liveLocators[1]) + " locators");
    Raise(g_world.portFault, L"port");
    return boost::shared_ptr<IPort>(new CStandInPort(Kind, address));
}

template <const char* Kind>
boost::shared_ptr<IPortLocator> MakeLocator() {
    return boost::shared_ptr<IPortLocator>(new CStandInLocator(Kind));
}

template <const char* Kind, int Stack>
boost::shared_ptr<IPortLocator> MakeStackLocator() {
    Note(std::string(Kind) + " made");
    Raise(g_world.locatorFault[Stack], L"locator");
    return boost::shared_ptr<IPortLocator>(new CStandInLocator(Kind, Stack));
}

boost::shared_ptr<IStreamServer> MakeServer(const boost::shared_ptr<const IServerDescription>& service,
                                            AcceptCallback callback, DWORD context) {
    Note("ms server made");
    Raise(g_world.portFault, L"server");
    return boost::shared_ptr<IStreamServer>(new CStandInServer(service, callback, context));
}

extern const char kSerial[] = "serial", kUSB[] = "usb", kTCP[] = "tcp", kSmart[] = "smart",
                  kMsPort[] = "ms port", kToshibaPort[] = "toshiba port", kSerialLoc[] = "serial locator",
                  kUSBLoc[] = "usb locator", kSmartLoc[] = "smart locator", kMsLoc[] = "ms locator",
                  kToshibaLoc[] = "toshiba locator";

std::string KindOf(const boost::shared_ptr<IPort>& port) {
    return port ? static_cast<CStandInPort&>(*port).kind : "none";
}
std::string KindOf(const boost::shared_ptr<IPortLocator>& locator) {
    return locator ? static_cast<CStandInLocator&>(*locator).kind : "none";
}

int __stdcall Accept(PortAddrPtr, PortAddrPtr, DWORD) { return 0; }

class Factories : public ::testing::Test {
protected:
    void SetUp() override {
        g_world = CWorld();
        CDriverTable& d = Drivers();
        d.serialPort = MakePort<kSerial>;
        d.usbPort = MakePort<kUSB>;
        d.tcpPort = MakePort<kTCP>;
        d.bluetoothSmartPort = MakePort<kSmart>;
        d.microsoftBluetoothPort = MakeBluetoothPort<kMsPort>;
        d.toshibaBluetoothPort = MakeBluetoothPort<kToshibaPort>;
        d.serialLocator = MakeLocator<kSerialLoc>;
        d.usbLocator = MakeLocator<kUSBLoc>;
        d.bluetoothSmartLocator = MakeLocator<kSmartLoc>;
        d.microsoftBluetoothLocator = MakeStackLocator<kMsLoc, 0>;
        d.toshibaBluetoothLocator = MakeStackLocator<kToshibaLoc, 1>;
        d.microsoftBluetoothServer = MakeServer;
    }
    void TearDown() override {
        Drivers() = DefaultDrivers();
        EXPECT_EQ(g_world.liveLocators[0] + g_world.liveLocators[1], 0) << "a temporary locator leaked";
    }

    static PortAddrPtr Address(IPortAddr::EPortType type) {
        return IPortAddr::CreateInstance(type, 0, L"00:11:22:33:44:55", L"", L"", L"", 0, 0, L"");
    }
    static std::string BluetoothPort() {
        return KindOf(IPort::CreateInstance(Address(IPortAddr::portBluetooth), driverDefault));
    }
    static std::string BluetoothLocator() {
        return KindOf(IPortLocator::CreateInstance(IPortAddr::portBluetooth, driverDefault));
    }
};
}  // namespace

TEST_F(Factories, ClassicBluetoothPortsByExplicitDriver) {
    auto address = Address(IPortAddr::portBluetooth);
    EXPECT_EQ(KindOf(IPort::CreateInstance(address, driverMicrosoft)), kMsPort);
    EXPECT_EQ(KindOf(IPort::CreateInstance(address, driverToshiba)), "none");
    EXPECT_EQ(KindOf(IPort::CreateInstance(address, kNoDriver)), "none");
    EXPECT_EQ(KindOf(IPort::CreateInstance(address, kUnknownDriver)), "none");
    // Explicit drivers do not probe.
    EXPECT_EQ(g_world.log, std::vector<std::string>({"ms port made with 0+0 locators"}));
}

TEST_F(Factories, DefaultBluetoothPortPrefersAPoweredMicrosoftStack) {
    EXPECT_EQ(BluetoothPort(), kMsPort);
    // The Microsoft locator is still alive while its port is made; Toshiba is not asked.
    EXPECT_EQ(g_world.log, std::vector<std::string>({"ms locator made", "ms locator asked",
                                                     "ms port made with 1+0 locators"}));
}

TEST_F(Factories, DefaultBluetoothPortFallsBackToToshiba) {
    g_world.powered[0] = false;
    EXPECT_EQ(BluetoothPort(), kToshibaPort);
    // The Toshiba locator is gone before its port is made.
    EXPECT_EQ(g_world.log,
              std::vector<std::string>({"ms locator made", "ms locator asked", "toshiba locator made",
                                        "toshiba locator asked", "toshiba port made with 0+0 locators"}));

    g_world.powered[1] = false;
    EXPECT_EQ(BluetoothPort(), "none");
}

TEST_F(Factories, DefaultBluetoothPortSkipsAStackThatThrowsHelperExceptions) {
    for (EFault fault : {faultWin, faultStd}) {
        g_world = CWorld();
        g_world.locatorFault[0] = fault;
        EXPECT_EQ(BluetoothPort(), kToshibaPort) << "Microsoft locator construction " << fault;

        g_world = CWorld();
        g_world.askFault[0] = fault;
        EXPECT_EQ(BluetoothPort(), kToshibaPort) << "Microsoft radio query " << fault;

        g_world = CWorld();
        g_world.powered[0] = false;
        g_world.locatorFault[1] = fault;
        EXPECT_EQ(BluetoothPort(), "none") << "Toshiba locator construction " << fault;

        g_world = CWorld();
        g_world.powered[0] = false;
        g_world.askFault[1] = fault;
        EXPECT_EQ(BluetoothPort(), "none") << "Toshiba radio query " << fault;
    }
    // A port that cannot be made sends the probe on to the next stack, and then to nothing.
    g_world = CWorld();
    g_world.portFault = faultWin;
    EXPECT_EQ(BluetoothPort(), "none");
    EXPECT_EQ(g_world.log.back(), "toshiba port made with 0+0 locators");
}

TEST_F(Factories, ProbingLetsOtherExceptionsThrough) {
    g_world.locatorFault[0] = faultForeign;
    EXPECT_THROW(BluetoothPort(), std::runtime_error);
    EXPECT_THROW(BluetoothLocator(), std::runtime_error);
    EXPECT_THROW(IStreamServer::CreateInstance(nullptr, nullptr, 0, driverDefault), std::runtime_error);
}

TEST_F(Factories, DirectCasesPassConstructorExceptionsOn) {
    g_world.portFault = faultWin;
    EXPECT_THROW(IPort::CreateInstance(Address(IPortAddr::portSerial), driverDefault), basalt::CWinException);
    EXPECT_THROW(IPort::CreateInstance(Address(IPortAddr::portBluetooth), driverMicrosoft),
                 basalt::CWinException);
    EXPECT_THROW(IStreamServer::CreateInstance(nullptr, nullptr, 0, driverMicrosoft), basalt::CWinException);
    g_world.portFault = faultNone;
    g_world.locatorFault[1] = faultWin;
    EXPECT_THROW(IPortLocator::CreateInstance(IPortAddr::portBluetooth, driverToshiba), basalt::CWinException);
}

TEST_F(Factories, DefaultBluetoothLocatorIsTheFirstPoweredStack) {
    EXPECT_EQ(BluetoothLocator(), kMsLoc);
    g_world.powered[0] = false;
    EXPECT_EQ(BluetoothLocator(), kToshibaLoc);
    g_world.askFault[0] = faultWin;
    EXPECT_EQ(BluetoothLocator(), kToshibaLoc);
    g_world.powered[1] = false;
    EXPECT_EQ(BluetoothLocator(), "none");
    g_world.powered[1] = true;
    g_world.locatorFault[1] = faultStd;
    EXPECT_EQ(BluetoothLocator(), "none");
    // The locator handed out is the one that was asked, not a second one.
    g_world = CWorld();
    auto locator = IPortLocator::CreateInstance(IPortAddr::portBluetooth, driverDefault);
    EXPECT_EQ(g_world.log, std::vector<std::string>({"ms locator made", "ms locator asked"}));
    EXPECT_EQ(g_world.liveLocators[0], 1);
}

TEST_F(Factories, StreamServerOnlyOnAPoweredMicrosoftStack) {
    auto service = IServerDescription::CreateInstance(GUID_NULL, L"Rover", L"");
    auto server = IStreamServer::CreateInstance(service, Accept, 42, driverMicrosoft);
    ASSERT_TRUE(server);
    auto& standIn = static_cast<CStandInServer&>(*server);
    EXPECT_EQ(standIn.service, service);
    EXPECT_EQ(standIn.callback, Accept);
    EXPECT_EQ(standIn.context, 42u);
    EXPECT_EQ(g_world.log, std::vector<std::string>({"ms server made"}));  // no probing

    EXPECT_TRUE(IStreamServer::CreateInstance(service, Accept, 0, driverDefault));
    for (EDriver driver : {kNoDriver, driverToshiba, kUnknownDriver})
        EXPECT_FALSE(IStreamServer::CreateInstance(service, Accept, 0, driver)) << driver;

    g_world.powered[0] = false;
    EXPECT_FALSE(IStreamServer::CreateInstance(service, Accept, 0, driverDefault));
    g_world = CWorld();
    g_world.locatorFault[0] = faultWin;
    EXPECT_FALSE(IStreamServer::CreateInstance(service, Accept, 0, driverDefault));
    g_world = CWorld();
    g_world.portFault = faultStd;
    EXPECT_FALSE(IStreamServer::CreateInstance(service, Accept, 0, driverDefault));
    // There is no Toshiba server to fall back to.
    for (const std::string& line : g_world.log) EXPECT_EQ(line.find("toshiba"), std::string::npos);
}
