// The stream server: publication, the client's verdict on each connection,
// accepted ports carrying data, restarting; and the factories' choice of the
// Microsoft classes.
#include "BluetoothTestKit.h"

#include "kit/TestKit.h"

using namespace bttest;
using Microsoft::CBluetoothStreamServer;

namespace {

const GUID kService = {0x7c2f3d10, 0x5a1b, 0x4e6c, {0x9d, 0x21, 0x3a, 0x44, 0x10, 0x8e, 0x6b, 0x02}};

std::atomic<int> g_verdict{CF_ACCEPT};
std::atomic<ULONGLONG> g_remote{0};

int __stdcall Verdict(boost::shared_ptr<const corvane::IPortAddr> local,
                      boost::shared_ptr<const corvane::IPortAddr> remote, DWORD context) {
    if (remote) g_remote = corvane::CBluetoothPortAddr::Str2BluetoothAddr(
                    static_cast<const wchar_t*>(remote->GetPhysicalName()), L':');
    return context == 42 && local ? g_verdict.load() : CF_REJECT;
}

class ServerTest : public BluetoothTest {
protected:
    void SetUp() override {
        BluetoothTest::SetUp();
        g_verdict = CF_ACCEPT;
        g_remote = 0;
        AddEchoDevice();
        m_events.reset(new EventCounter);
        m_server.reset(new CBluetoothStreamServer(corvane::IServerDescription::CreateInstance(kService, L"Test", L"c"),
                                                  Verdict, 42));
        m_server->RegisterNotice(m_events, corvane::eventConnectionAccepted);
        m_server->RegisterNotice(m_events, corvane::eventTerminated);
    }
    void TearDown() override {
        m_server.reset();
        BluetoothTest::TearDown();
    }

    boost::shared_ptr<EventCounter> m_events;
    std::unique_ptr<CBluetoothStreamServer> m_server;
};

}  // namespace

TEST_F(ServerTest, AnAcceptedPortCarriesAMegabyteEachWay) {
    m_server->Start();
    EXPECT_FALSE(m_server->IsRunning());
    EXPECT_EQ(BthSimGetPublished(nullptr, nullptr, 0), 1u);
    SOCKET device = BthSimConnectToService(kDevice, &kService);
    ASSERT_NE(device, INVALID_SOCKET);
    ASSERT_TRUE(m_events->WaitFor(corvane::eventConnectionAccepted));
    EXPECT_EQ(g_remote.load(), kDevice);
    boost::shared_ptr<corvane::IPort> port = m_server->GetNextPort();
    ASSERT_TRUE(port);
    EXPECT_TRUE(port->IsOpen());
    EXPECT_FALSE(m_server->GetNextPort());
    // The device sends faster than any radio: room for all of it, so that
    // none is dropped as an overflow while the test reads.
    port->SetBufferSize(2 << 20, 0);
    EXPECT_TRUE(TransferIntact(SocketSender(device), PortReceiver(*port), 1 << 20));
    EXPECT_TRUE(TransferIntact(PortSender(*port), SocketReceiver(device), 1 << 20));
    ::closesocket(device);
}

TEST_F(ServerTest, ARefusedConnectionQueuesNothingAndTheServerGoesOn) {
    m_server->Start();
    g_verdict = CF_REJECT;
    SOCKET refused = BthSimConnectToService(kDevice, &kService);
    ASSERT_NE(refused, INVALID_SOCKET);
    char byte;
    EXPECT_LE(::recv(refused, &byte, 1, 0), 0);  // the device sees its connection end
    ::closesocket(refused);
    EXPECT_FALSE(m_server->GetNextPort());
    EXPECT_EQ(m_events->Count(corvane::eventConnectionAccepted), 0u);

    g_verdict = CF_ACCEPT;
    SOCKET kept = BthSimConnectToService(kDevice, &kService);
    ASSERT_TRUE(m_events->WaitFor(corvane::eventConnectionAccepted));
    EXPECT_TRUE(m_server->GetNextPort());
    ::closesocket(kept);
}

TEST_F(ServerTest, StopWithdrawsTheRecordAndStartPublishesItAgain) {
    m_server->Start();
    m_server->Stop();
    EXPECT_EQ(BthSimGetPublished(nullptr, nullptr, 0), 0u);
    EXPECT_TRUE(m_events->WaitFor(corvane::eventTerminated));
    EXPECT_EQ(BthSimConnectToService(kDevice, &kService), INVALID_SOCKET);
    m_server->Start();
    m_server->Start();  // a second Start restarts rather than publishing twice
    EXPECT_EQ(BthSimGetPublished(nullptr, nullptr, 0), 1u);
    SOCKET device = BthSimConnectToService(kDevice, &kService);
    ASSERT_TRUE(m_events->WaitFor(corvane::eventConnectionAccepted));
    EXPECT_TRUE(m_server->GetNextPort());
    ::closesocket(device);
}

TEST_F(ServerTest, AFailedPublicationIsReportedAsWSASetService) {
    BthSimFailNext(0, BTHSIM_OP_PUBLISH, WSAEACCES, 1);
    try {
        m_server->Start();
        ADD_FAILURE() << "the publication failure was lost";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetFunction(), L"WSASetService");
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(WSAEACCES));
    }
    // Nothing of the failed start stays behind: no listener holds a channel.
    EXPECT_EQ(BthSimGetCount(0, BTHSIM_COUNT_LISTENING), 0u);
    m_server->Start();
    EXPECT_EQ(BthSimGetPublished(nullptr, nullptr, 0), 1u);
}

TEST_F(ServerTest, AWouldBlockAcceptIsPassedOverAndAnyOtherFailureIsKeptUntilStop) {
    m_server->RegisterNotice(m_events, corvane::eventError);
    m_server->Start();
    BthSimFailNext(0, BTHSIM_OP_ACCEPT, WSAEWOULDBLOCK, 1);
    SOCKET dropped = BthSimConnectToService(kDevice, &kService);
    char byte;
    EXPECT_LE(::recv(dropped, &byte, 1, 0), 0);
    ::closesocket(dropped);
    SOCKET kept = BthSimConnectToService(kDevice, &kService);
    ASSERT_TRUE(m_events->WaitFor(corvane::eventConnectionAccepted));
    EXPECT_TRUE(m_server->GetNextPort());
    ::closesocket(kept);

    BthSimFailNext(0, BTHSIM_OP_ACCEPT, WSAENETDOWN, 1);
    SOCKET failed = BthSimConnectToService(kDevice, &kService);
    ASSERT_TRUE(m_events->WaitFor(corvane::eventTerminated));
    EXPECT_EQ(m_events->Count(corvane::eventError), 1u);
    ::closesocket(failed);
    for (int call = 0; call < 2; ++call)
        EXPECT_EQ(testkit::ErrorOf([&] { m_server->GetNextPort(); }), static_cast<DWORD>(WSAENETDOWN));
    m_server->Stop();
    EXPECT_FALSE(m_server->GetNextPort());
}

TEST_F(ServerTest, WithoutACallbackEveryConnectionIsAccepted) {
    CBluetoothStreamServer open(corvane::IServerDescription::CreateInstance(kService, L"Open", L"c"), nullptr, 0);
    boost::shared_ptr<EventCounter> events(new EventCounter);
    open.RegisterNotice(events, corvane::eventConnectionAccepted);
    open.Start();
    SOCKET device = BthSimConnectToService(kDevice, &kService);
    ASSERT_NE(device, INVALID_SOCKET);
    ASSERT_TRUE(events->WaitFor(corvane::eventConnectionAccepted));
    EXPECT_TRUE(open.GetNextPort());
    ::closesocket(device);
}

TEST(ServerDescription, AnEmptyDescriptionIsRefused) {
    try {
        CBluetoothStreamServer server(boost::shared_ptr<const corvane::IServerDescription>(), nullptr, 0);
        ADD_FAILURE() << "a server without a description was made";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

class FactoryTest : public BluetoothTest {};

TEST_F(FactoryTest, TheDefaultDriverIsTheMicrosoftStackWhileItHasARadio) {
    auto address = Address();
    auto port = corvane::IPort::CreateInstance(address, corvane::driverDefault);
    EXPECT_TRUE(boost::dynamic_pointer_cast<Microsoft::CBluetoothPort>(port));
    auto locator = corvane::IPortLocator::CreateInstance(corvane::IPortAddr::portBluetooth, corvane::driverDefault);
    EXPECT_TRUE(boost::dynamic_pointer_cast<Microsoft::CBluetoothPortLocator>(locator));
    auto description = corvane::IServerDescription::CreateInstance(kService, L"Test", L"");
    EXPECT_TRUE(corvane::IStreamServer::CreateInstance(description, nullptr, 0, corvane::driverDefault));

    // Without the Microsoft radio the default goes on to the Toshiba stack;
    // here that stack is absent too.
    corvane::CDriverTable saved = corvane::Drivers();
    corvane::Drivers().toshibaBluetoothLocator = [] { return boost::shared_ptr<corvane::IPortLocator>(); };
    BthSimSetRadio(FALSE, 0, nullptr, 0);
    EXPECT_FALSE(corvane::IPort::CreateInstance(address, corvane::driverDefault));
    EXPECT_FALSE(corvane::IPortLocator::CreateInstance(corvane::IPortAddr::portBluetooth, corvane::driverDefault));
    EXPECT_FALSE(corvane::IStreamServer::CreateInstance(description, nullptr, 0, corvane::driverDefault));
    corvane::Drivers() = saved;
    // Asked for by name, the driver is made all the same and fails when used.
    EXPECT_TRUE(corvane::IPort::CreateInstance(address, corvane::driverMicrosoft));
}
