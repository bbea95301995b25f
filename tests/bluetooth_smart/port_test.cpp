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

// The port's one setting, with a value of the text form ("vt=...,Value=...").
boost::shared_ptr<corvane::IPropertySet> FastRecovery(const wchar_t* value) {
    return corvane::IPropertySet::CreateInstance(
        (std::wstring(L"Id=\"FastRecovery\",Flags=0,PL=0,") + value + L";").c_str());
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

TEST_F(CBleTest, ClosedPortRefusesSendAndRecv) {
    auto port = MakePort();
    BYTE byte = 0;
    basalt::ustring function;
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), ErrorOf([&] { port->Send(&byte, 1); }, &function));
    EXPECT_EQ(basalt::ustring(L"corvane::CBluetoothSmartPort::Send"), function);
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), ErrorOf([&] { port->Recv(&byte, 1); }, &function));
    EXPECT_EQ(basalt::ustring(L"corvane::CBluetoothSmartPort::Recv"), function);
    port->Close();  // harmless

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

// The notice's event must stay set until the client looks: a client that
// waits after the bytes came still wakes. (A pulse instead of a set would
// pass every test that happens to be waiting already.)
TEST_F(CBleTest, OverlappedNoticeStaysSetForAClientThatWaitsLate) {
    AddLinkDevice(kDevice, BLESIM_DEVICE_DATA_SERVICE | BLESIM_DEVICE_ECHO);
    auto port = MakePort();
    CEventWait data(*port, corvane::eventDataAvailable);
    // Told after the OVERLAPPED notice: notices of one event go in order of registration.
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    port->RegisterNotice(counter, corvane::eventDataAvailable);
    port->Open();
    port->Send("late", 4);
    ASSERT_TRUE(counter->WaitFor(corvane::eventDataAvailable, 1, 5000)) << "no eventDataAvailable within 5 s";
    EXPECT_TRUE(data.Wait(0)) << "the OVERLAPPED event was not left set";
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
    // The many-seed version of this runs in the link model (test_bluetooth_smart_link);
    // here a few seeds go through the real worker, callback and simulator.
    for (DWORD seed = 1; seed <= 3; ++seed) {
        BleSimReset();
        AddLinkDevice(kDevice);
        FastLink(kDevice, 100, 100, 50, seed);
        auto port = MakePort();
        if (seed == 3) port->SetSettings(FastRecovery(L"vt=VT_BOOL,Value=-1"));
        port->Open();
        Bytes up = Pattern(24000, seed), down = Pattern(24000, seed + 100);
        BleSimDeviceSend(kDevice, down.data(), static_cast<DWORD>(down.size()));
        ASSERT_EQ(up.size(), port->Send(up.data(), static_cast<DWORD>(up.size())));
        EXPECT_EQ(down, ReceiveAll(*port, down.size(), 40000)) << "device to port, seed " << seed;
        EXPECT_EQ(up, DeviceReceiveAll(kDevice, up.size(), 20000)) << "port to device, seed " << seed;
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
    CEventWait error(*port, corvane::eventError);
    port->Open();
    port->Send("x", 1);
    ASSERT_EQ((Bytes{'x'}), ReceiveAll(*port, 1, 5000));

    BleSimSetFailure(kDevice, BLESIM_FAIL_WRITE, HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
    port->Send("y", 1);
    ASSERT_TRUE(error.Wait(5000)) << "no eventError within 5 s";
    EXPECT_EQ(1, counter->Count(corvane::eventError));
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

// A device on the plain rules, whole windows at once through the real worker,
// callback and simulated stack: both streams arrive whole.
TEST_F(CBleTest, DeviceOnThePlainRulesCarriesBothStreamsInBursts) {
    AddLinkDevice(kDevice, BLESIM_DEVICE_DATA_SERVICE | BLESIM_DEVICE_LITERAL);
    BLESIM_CHANNEL channel = {};
    channel.delayMs = 5;  // no frame rate: every burst arrives at once
    BleSimSetChannel(kDevice, &channel);
    auto port = MakePort();
    port->Open();
    Bytes up = Pattern(20000, 7), down = Pattern(20000, 8);
    BleSimDeviceSend(kDevice, down.data(), static_cast<DWORD>(down.size()));
    ASSERT_EQ(up.size(), port->Send(up.data(), static_cast<DWORD>(up.size())));
    EXPECT_EQ(down, ReceiveAll(*port, down.size(), 20000));
    EXPECT_EQ(up, DeviceReceiveAll(kDevice, up.size(), 20000));
    // Whether the device timed out and resent its window depends on how late
    // this machine woke the worker; that acknowledgements go out in time is
    // the link engine's tests' to show, in virtual time.
}

TEST_F(CRawLinkTest, FastRecoveryKeepsOneFrameUnacknowledgedAndNaksAGapAtOnce) {
    ASSERT_EQ(Bytes{0xC0}, Take());  // the fixture's link, without the setting
    port->SetSettings(FastRecovery(L"vt=VT_BOOL,Value=-1"));
    port->Open();  // applies from the next link
    LinkUp({0x00, 0x01, 0x10, 0x20, 0xFF, 0xFF});  // T = 255: no timer acknowledges in between
    Inject({0x00, 1, 'a'});
    Inject({0x00, 2, 'b'});
    EXPECT_EQ(Bytes{0x41}, Take()) << "frame 2 stays with the device";
    Inject({0x00, 4, 'd'});
    EXPECT_EQ(Bytes{0x82}, Take(nullptr, 500)) << "the gap is answered at once";

    // A value that is no boolean is ignored like any setting the port cannot use.
    port->SetSettings(FastRecovery(L"vt=VT_BSTR,Value=\"maybe\""));
    port->Open();
    LinkUp({0x00, 0x01, 0x10, 0x20, 0xFF, 0xFF});
    Inject({0x00, 1, 'a'});
    Inject({0x00, 2, 'b'});
    EXPECT_EQ(Bytes{0x41}, Take()) << "fast recovery stays on";

    port->SetSettings(FastRecovery(L"vt=VT_BOOL,Value=0"));
    port->Open();
    LinkUp({0x00, 0x01, 0x10, 0x20, 0xFF, 0xFF});
    Inject({0x00, 1, 'a'});
    Inject({0x00, 2, 'b'});
    Inject({0x00, 4, 'd'});
    // The default rules keep the newest frame back too, and NAK the gap
    // (T / 4 ms into it; the link tests time it). Whatever the passes: ACKs
    // name less than 2, then one NAK names 2, nothing names a number twice.
    BYTE frame[64];
    Bytes named;
    for (DWORD size; (size = BleSimTakeFrame(kDevice, frame, sizeof frame, nullptr, 300)) != 0;) {
        named.push_back(frame[0]);
        EXPECT_EQ(1u, size);
    }
    ASSERT_FALSE(named.empty());
    EXPECT_EQ(0x82, named.back()) << "the NAK of 2 last";
    for (size_t i = 0; i + 1 < named.size(); ++i) EXPECT_EQ(0x41, named[i]) << "at most an ACK of 1 before it";
    EXPECT_LE(named.size(), 2u);
    EXPECT_EQ((Bytes{'a', 'b'}), ReceiveAll(*port, 2, 1000));
}

// A stack that refuses to end the value-change registration may go on
// calling back: the port closes all the same, frames that still come do no
// harm, and the next Open registers afresh.
TEST_F(CBleTest, CloseSurvivesARefusedUnregistrationAndTheNextOpenWorks) {
    AddLinkDevice(kDevice, BLESIM_DEVICE_DATA_SERVICE | BLESIM_DEVICE_ECHO);
    auto port = MakePort();
    port->Open();
    EXPECT_EQ((Bytes{'h', 'i'}), (port->Send("hi", 2), ReceiveAll(*port, 2, 5000)));
    BleSimSetFailure(kDevice, BLESIM_FAIL_UNREGISTER, E_FAIL);
    port->Close();
    EXPECT_FALSE(port->IsOpen());
    // The registration is still live: the device's frames reach the callback.
    BleSimDeviceSend(kDevice, "late", 4);
    ::Sleep(100);
    BleSimSetFailure(kDevice, BLESIM_FAIL_UNREGISTER, S_OK);
    port->Open();
    EXPECT_EQ(3u, port->Send("abc", 3));
    EXPECT_EQ((Bytes{'a', 'b', 'c'}), ReceiveAll(*port, 3, 5000));

    // The port gone, a callback of a registration the stack kept still lands safely.
    BleSimSetFailure(kDevice, BLESIM_FAIL_UNREGISTER, E_FAIL);
    port.reset();
    BleSimDeviceSend(kDevice, "after", 5);
    ::Sleep(100);
    BleSimSetFailure(kDevice, BLESIM_FAIL_UNREGISTER, S_OK);
}

TEST_F(CBleTest, FactoryMakesThisPortAndLocatorForEveryDriverValue) {
    auto address = Address();
    for (int value : {0, 1, 2, 3, 4, 99}) {
        auto driver = static_cast<corvane::EDriver>(value);
        auto port = corvane::IPort::CreateInstance(address, driver);
        ASSERT_TRUE(port) << "driver " << value;
        EXPECT_TRUE(dynamic_cast<CBluetoothSmartPort*>(port.get())) << "driver " << value;
        EXPECT_EQ(address, port->GetAddress());
        auto locator = corvane::IPortLocator::CreateInstance(corvane::IPortAddr::portBluetoothSmart, driver);
        ASSERT_TRUE(locator) << "driver " << value;
        EXPECT_TRUE(dynamic_cast<corvane::CBluetoothSmartPortLocator*>(locator.get())) << "driver " << value;
    }
}

// Unlinked, the port keeps what Send queues: 64 KiB at most, the rest
// refused with eventOutgoingOverflow; Purge drops it before it goes out.
TEST_F(CRawLinkTest, OutgoingStreamOverflowsAt64KiBAndPurgeDropsWhatWaits) {
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    counter->RegisterForAll(*port, counter);
    port->SetBufferSize(10, 10);
    DWORD incoming = 0, outgoing = 0;
    port->GetBufferSize(&incoming, &outgoing);
    EXPECT_EQ(65536u, incoming);
    EXPECT_EQ(65536u, outgoing);
    Bytes big = Pattern(70000, 3);
    EXPECT_EQ(65536u, port->Send(big.data(), static_cast<DWORD>(big.size())));
    EXPECT_EQ(1, counter->Count(corvane::eventOutgoingOverflow));
    port->Purge(PURGE_TXCLEAR);
    LinkUp();
    EXPECT_TRUE(Quiet(300)) << "purged bytes went out";
    EXPECT_EQ(2u, port->Send("xy", 2));
    EXPECT_EQ((Bytes{0x00, 1, 'x', 'y'}), Take());

    Inject({0x00, 1, 'a', 'b'});
    ASSERT_TRUE(counter->WaitFor(corvane::eventDataAvailable, 1, 5000));
    port->Purge(PURGE_RXCLEAR);
    BYTE buffer[8];
    EXPECT_EQ(0u, port->Recv(buffer, sizeof buffer)) << "PURGE_RXCLEAR left bytes";
}

// Close empties both streams: bytes queued unsent and bytes received unread
// are gone when the port opens again.
TEST_F(CRawLinkTest, CloseEmptiesBothStreams) {
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    counter->RegisterForAll(*port, counter);
    LinkUp();
    Inject({0x00, 1, 'u', 'n', 'r', 'e', 'a', 'd'});
    ASSERT_TRUE(counter->WaitFor(corvane::eventDataAvailable, 1, 5000));
    port->Close();
    // What the closed link wrote (it may have acknowledged frame 1 first).
    while (!Quiet(0)) {
    }
    port->Open();
    EXPECT_EQ(Bytes{0xC0}, Take());
    EXPECT_EQ(6u, port->Send("queued", 6));  // unlinked: waits in the stream
    BYTE buffer[8];
    EXPECT_EQ(0u, port->Recv(buffer, sizeof buffer)) << "received bytes outlived Close";
    port->Close();
    port->Open();
    Inject({0xC1, 0x00, 0x01, 0x10, 0x20, 0x50, 0xFF});
    EXPECT_EQ((Bytes{0xC0}), Take());
    EXPECT_EQ((Bytes{0xC2, 0x01, 0x20, 0x64}), Take());
    Inject({0xC6});
    EXPECT_TRUE(Quiet(300)) << "queued bytes outlived Close";
}

// By default a lossy in-order channel to a device on the plain rules carries
// each stream intact through the real worker and callback, on a busy machine
// too (run it beside a loaded CPU: the worker then wakes late and the ACKs it
// takes look older than they are).
TEST_F(CBleTest, DefaultRulesCarryTheStreamsIntactThroughLossToAPlainDevice) {
    AddLinkDevice(kDevice, BLESIM_DEVICE_DATA_SERVICE | BLESIM_DEVICE_LITERAL);
    FastLink(kDevice, 30, 0, 0, 5);
    // T 20 (200 ms): the plain device NAKs a gap only after T x 10 ms of
    // quiet, which a busy machine's scheduling should not be able to fake.
    const BYTE parameters[6] = {0x00, 0x01, 0x10, 0x20, 0x50, 20};
    BleSimSetLinkParameters(kDevice, parameters);
    auto port = MakePort();
    port->Open();
    Bytes up = Pattern(6000, 11), down = Pattern(6000, 12);
    ASSERT_EQ(up.size(), port->Send(up.data(), static_cast<DWORD>(up.size())));
    EXPECT_EQ(up, DeviceReceiveAll(kDevice, up.size(), 30000));
    BleSimDeviceSend(kDevice, down.data(), static_cast<DWORD>(down.size()));
    EXPECT_EQ(down, ReceiveAll(*port, down.size(), 30000));
    BLESIM_COUNTERS counters;
    ASSERT_TRUE(BleSimGetCounters(kDevice, &counters));
    EXPECT_GT(counters.framesDropped, 0u);
}
