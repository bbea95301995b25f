// CBluetoothSmartPort against the simulated stack: its life cycle, its errors
// and the byte stream through the simulated device.
#include "BleTestKit.h"

using namespace bletest;
using corvane::CBluetoothSmartPort;

namespace {

const wchar_t kOpen[] = L"corvane::CBluetoothSmartPort::Open";

// A transfer's channel and link: timer unit 5 (50 ms), so that a lost frame
// costs little time.
void FastLink(ULONGLONG address, DWORD lossPermille, DWORD reorderPermille, DWORD duplicatePermille, DWORD seed) {
    const BYTE parameters[6] = {0x00, 0x01, 0x10, 0x20, 0x50, 0x05};
    BleSimSetLinkParameters(address, parameters);
    BLESIM_CHANNEL channel = {};
    channel.delayMs = 2;
    channel.lossPermille = lossPermille;
    channel.reorderPermille = reorderPermille;
    channel.duplicatePermille = duplicatePermille;
    channel.reorderDepth = 3;
    channel.seed = seed;
    BleSimSetChannel(address, &channel);
}

// Sends data through the port while taking what comes back, until both are done.
void Exchange(corvane::IPort& port, const Bytes& out, Bytes& in, size_t expected, DWORD timeoutMs) {
    size_t sent = 0;
    BYTE buffer[4096];
    DWORD deadline = ::GetTickCount() + timeoutMs;
    while ((sent < out.size() || in.size() < expected) && static_cast<LONG>(deadline - ::GetTickCount()) > 0) {
        if (sent < out.size()) sent += port.Send(out.data() + sent, static_cast<DWORD>(out.size() - sent));
        DWORD got = port.Recv(buffer, sizeof buffer);
        in.insert(in.end(), buffer, buffer + got);
        if (got == 0) ::Sleep(2);
    }
}

}  // namespace

TEST_F(CBleTest, PortIsMadeOnlyForBluetoothSmartAddresses) {
    basalt::ustring function;
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER),
              ErrorOf([] { CBluetoothSmartPort port((boost::shared_ptr<const corvane::IPortAddr>())); }, &function));
    EXPECT_EQ(basalt::ustring(L"corvane::CBluetoothSmartPort::CBluetoothSmartPort"), function);
    auto classic = corvane::CBluetoothPortAddr::CreateInstance(kDevice, 0, L"", nullptr, 0, 0);
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), ErrorOf([&] { CBluetoothSmartPort port(classic); }));

    auto port = MakePort();
    EXPECT_EQ(basalt::ustring(kDeviceText), basalt::ustring(port->GetAddress()->GetPhysicalName()));
    EXPECT_FALSE(port->IsOpen());
}

TEST_F(CBleTest, ClosedPortRefusesSendAndRecvAndHasNoExtras) {
    auto port = MakePort();
    BYTE byte = 0;
    basalt::ustring function;
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), ErrorOf([&] { port->Send(&byte, 1); }, &function));
    EXPECT_EQ(basalt::ustring(L"corvane::CBluetoothSmartPort::Send"), function);
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), ErrorOf([&] { port->Recv(&byte, 1); }, &function));
    EXPECT_EQ(basalt::ustring(L"corvane::CBluetoothSmartPort::Recv"), function);
    port->Close();  // harmless
    EXPECT_FALSE(port->Escape(nullptr, boost::shared_ptr<corvane::IPropertySet>()));
    EXPECT_FALSE(port->Escape(L"GetSupportedServices", boost::shared_ptr<corvane::IPropertySet>()));
    DWORD value = 0;
    EXPECT_FALSE(port->IoControl(1, &value));
    EXPECT_FALSE(port->GetSettings());
    EXPECT_FALSE(port->GetStatus());
    port->SetSettings(boost::shared_ptr<corvane::IPropertySet>());

    DWORD incoming = 0, outgoing = 0;
    port->GetBufferSize(&incoming, &outgoing);
    EXPECT_EQ(0x10000u, incoming);
    EXPECT_EQ(0x10000u, outgoing);
    port->SetBufferSize(100, 0x20000);
    port->GetBufferSize(&incoming, &outgoing);
    EXPECT_EQ(0x10000u, incoming) << "raised to the floor";
    EXPECT_EQ(0x20000u, outgoing);
}

TEST_F(CBleTest, OpenNamesWhatIsMissing) {
    basalt::ustring function;
    // No device node for the address.
    auto port = MakePort();
    EXPECT_EQ(DWORD(ERROR_NOT_FOUND), ErrorOf([&] { port->Open(); }, &function));
    EXPECT_EQ(basalt::ustring(kOpen), function);
    EXPECT_FALSE(port->IsOpen());

    // A device without the link service.
    AddLinkDevice(kOther, 0);
    auto other = MakePort(kOtherText);
    EXPECT_EQ(632u, ErrorOf([&] { other->Open(); }, &function));
    EXPECT_EQ(basalt::ustring(kOpen), function);

    // The link service without its data characteristic.
    const ULONGLONG bare = 0x0000000000BBull;
    ASSERT_TRUE(BleSimAddDevice(bare, L"Bare", 0));
    ASSERT_TRUE(BleSimAddService(bare, &kLinkService));
    ASSERT_EQ(0u, BleSimRegisterNodes(bare));
    auto third = MakePort(L"00:00:00:00:00:BB");
    EXPECT_EQ(DWORD(ERROR_INTERNAL_ERROR), ErrorOf([&] { third->Open(); }, &function));
    EXPECT_EQ(basalt::ustring(kOpen), function);
    EXPECT_FALSE(third->IsOpen()) << "a failed Open closes the port";
}

TEST_F(CBleTest, OpenPassesTheStacksFailuresOnAndClosesFirst) {
    AddLinkDevice(kDevice);
    auto port = MakePort();
    BleSimSetFailure(kDevice, BLESIM_FAIL_REGISTER, E_ACCESSDENIED);
    basalt::ustring function;
    // The stack's HRESULT arrives as the Win32 code inside it.
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), ErrorOf([&] { port->Open(); }, &function));
    EXPECT_EQ(basalt::ustring(L"BluetoothGATTRegisterEvent"), function);
    EXPECT_FALSE(port->IsOpen());

    // A refused subscription is no reason to fail.
    BleSimSetFailure(kDevice, BLESIM_FAIL_REGISTER, S_OK);
    BleSimSetFailure(kDevice, BLESIM_FAIL_DESCRIPTOR, E_FAIL);
    port->Open();
    EXPECT_TRUE(port->IsOpen());
}

TEST_F(CBleTest, EchoDeviceReturnsTheStreamAndEventsArrive) {
    AddLinkDevice(kDevice, BLESIM_DEVICE_DATA_SERVICE | BLESIM_DEVICE_ECHO);
    auto port = MakePort();
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    counter->RegisterForAll(*port, counter);
    port->Open();
    ASSERT_TRUE(port->IsOpen());

    Bytes sent = Pattern(5000, 1);
    EXPECT_EQ(5000u, port->Send(sent.data(), static_cast<DWORD>(sent.size())));
    EXPECT_EQ(sent, ReceiveAll(*port, sent.size(), 10000));
    EXPECT_GT(counter->Count(corvane::eventDataAvailable), 0);
    EXPECT_GT(counter->Count(corvane::eventOutgoingEmpty), 0);
    EXPECT_GT(counter->Count(corvane::eventIncomingEmpty), 0);
    EXPECT_EQ(0, counter->Count(corvane::eventError));

    // Reopened with the same registrations, the link starts afresh.
    port->Close();
    EXPECT_FALSE(port->IsOpen());
    port->Open();
    EXPECT_EQ(3u, port->Send("abc", 3));
    EXPECT_EQ((Bytes{'a', 'b', 'c'}), ReceiveAll(*port, 3, 5000));
    long before = counter->Count(corvane::eventDataAvailable);
    port.reset();  // the destructor closes
    EXPECT_GE(before, 1);
}

TEST_F(CBleTest, BothStreamsSurviveAHostileChannelThroughThePort) {
    // The many-seed version of this runs in the link model (test_ble_link);
    // here a few seeds go through the real worker, callback and simulator.
    for (DWORD seed = 1; seed <= 3; ++seed) {
        BleSimReset();
        AddLinkDevice(kDevice);
        FastLink(kDevice, 100, 100, 50, seed);
        auto port = MakePort();
        port->Open();
        Bytes up = Pattern(24000, seed), down = Pattern(24000, seed + 100);
        BleSimDeviceSend(kDevice, down.data(), static_cast<DWORD>(down.size()));
        Bytes in;
        Exchange(*port, up, in, down.size(), 40000);
        EXPECT_EQ(down, in) << "device to port, seed " << seed;
        DWORD deadline = ::GetTickCount() + 20000;
        while (BleSimDeviceReceive(kDevice, nullptr, 0) < up.size() && static_cast<LONG>(deadline - ::GetTickCount()) > 0)
            ::Sleep(5);
        Bytes arrived(up.size());
        arrived.resize(BleSimDeviceReceive(kDevice, arrived.data(), static_cast<DWORD>(arrived.size())));
        EXPECT_EQ(up, arrived) << "port to device, seed " << seed;
        BLESIM_COUNTERS counters;
        ASSERT_TRUE(BleSimGetCounters(kDevice, &counters));
        EXPECT_GT(counters.framesDropped, 0u);
        RecordProperty("dropped" + std::to_string(seed), static_cast<int>(counters.framesDropped));
    }
}

TEST_F(CBleTest, WorkerStoresAFailedWriteForTheNextCall) {
    AddLinkDevice(kDevice, BLESIM_DEVICE_DATA_SERVICE | BLESIM_DEVICE_ECHO);
    auto port = MakePort();
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    counter->RegisterForAll(*port, counter);
    port->Open();
    port->Send("x", 1);
    ASSERT_EQ((Bytes{'x'}), ReceiveAll(*port, 1, 5000));

    BleSimSetFailure(kDevice, BLESIM_FAIL_WRITE, HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
    port->Send("y", 1);
    DWORD deadline = ::GetTickCount() + 5000;
    while (counter->Count(corvane::eventError) == 0 && static_cast<LONG>(deadline - ::GetTickCount()) > 0) ::Sleep(5);
    ASSERT_EQ(1, counter->Count(corvane::eventError));
    basalt::ustring function;
    EXPECT_EQ(DWORD(ERROR_DEVICE_NOT_CONNECTED), ErrorOf([&] { port->Recv(nullptr, 0); }, &function));
    EXPECT_EQ(basalt::ustring(L"BluetoothGATTSetCharacteristicValue"), function);
    EXPECT_EQ(DWORD(ERROR_DEVICE_NOT_CONNECTED), ErrorOf([&] { port->Send("z", 1); }));
    EXPECT_TRUE(port->IsOpen()) << "the port stays open until the client closes it";

    BleSimSetFailure(kDevice, BLESIM_FAIL_WRITE, S_OK);
    port->Open();  // reopening forgets the error
    EXPECT_EQ(1u, port->Send("z", 1));
    EXPECT_EQ((Bytes{'z'}), ReceiveAll(*port, 1, 5000));
}

TEST_F(CBleTest, SendWithoutDataIsRefused) {
    AddLinkDevice(kDevice);
    auto port = MakePort();
    port->Open();
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), ErrorOf([&] { port->Send(nullptr, 5); }));
    EXPECT_EQ(0u, port->Send(nullptr, 0));
}
