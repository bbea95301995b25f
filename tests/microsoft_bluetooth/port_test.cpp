// The RFCOMM port against the simulated stack: channel discovery, the connect
// walk and its retries, PIN handling, the workers' data path and their end.
#include "BluetoothTestKit.h"

#include "kit/TestKit.h"

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace bttest;
using Microsoft::CBluetoothPort;

namespace {

DWORD OpenError(CBluetoothPort& port, std::wstring* function = nullptr) {
    try {
        port.Open();
    } catch (const basalt::CWinException& e) {
        if (function) *function = e.GetFunction();
        return e.GetErrorCode();
    }
    return 0;
}

std::vector<ULONG> ConnectLog(ULONGLONG device) {
    ULONG channels[32];
    DWORD n = BthSimGetConnectLog(device, channels, 32);
    return std::vector<ULONG>(channels, channels + std::min<DWORD>(n, 32));
}

DWORD ThreadsOfThisProcess() {
    DWORD count = 0;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    std::memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
    ::CloseHandle(snapshot);
    return count;
}

class PortTest : public BluetoothTest {};

// A text property whose value is a null string.
class NullTextProperty : public corvane::CProperty {
public:
    explicit NullTextProperty(const wchar_t* name)
        : CProperty(name, accessFull, VT_BSTR, 0, 0, _variant_t(L"")) {}
    _variant_t GetValue() const override {
        _variant_t value;
        value.vt = VT_BSTR;
        value.bstrVal = nullptr;
        return value;
    }
};

}  // namespace

TEST_F(PortTest, MovesAMegabyteEachWayIntactThroughAnEchoingDevice) {
    AddEchoDevice();
    CBluetoothPort port(Address());
    boost::shared_ptr<EventCounter> events(new EventCounter);
    port.RegisterNotice(events, corvane::eventIncomingOverflow);
    port.Open();
    ASSERT_TRUE(port.IsOpen());
    // The echo comes back faster than any radio: room for all of it.
    port.SetBufferSize(2 << 20, 0);
    EXPECT_TRUE(TransferIntact(PortSender(port), PortReceiver(port), 1 << 20));
    EXPECT_EQ(events->Count(corvane::eventIncomingOverflow), 0u);
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(PortTest, BytesComeAndGoUnchangedWhenTheDeviceEndIsDrivenByHand) {
    AddEchoDevice(kDevice, BTHSIM_SERVICE_HOLD);
    CBluetoothPort port(Address());
    port.Open();
    SOCKET device = BthSimTakeConnection(kDevice, 5000);
    ASSERT_NE(device, INVALID_SOCKET);
    // The device sends faster than any radio: room for all of it.
    port.SetBufferSize(2 << 20, 0);
    EXPECT_TRUE(TransferIntact(SocketSender(device), PortReceiver(port), 1 << 20));
    EXPECT_TRUE(TransferIntact(PortSender(port), SocketReceiver(device), 1 << 20));
    ::closesocket(device);
}

TEST_F(PortTest, ADeviceWithoutSerialOrDialupRecordsFailsDetection) {
    ASSERT_TRUE(BthSimAddDevice(kDevice, L"Headset", 0x200404, kPaired, nullptr));
    const USHORT audio = 0x1108;
    BthSimAddRecord(kDevice, &audio, 1, 5, BTHSIM_SERVICE_ECHO);
    CBluetoothPort port(Address());
    std::wstring function;
    EXPECT_EQ(OpenError(port, &function), static_cast<DWORD>(WSASERVICE_NOT_FOUND));
    EXPECT_EQ(function, L"DetectRFCommChannel");
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(ConnectLog(kDevice).empty());
}

TEST_F(PortTest, DialupChannelsAreTriedFirstAndEachClassInReverseOrder) {
    ASSERT_TRUE(BthSimAddDevice(kDevice, L"Both", 0x001F00, kPaired, nullptr));
    const USHORT serial = 0x1101, dialup = 0x1103;
    BthSimAddRecord(kDevice, &serial, 1, 1, BTHSIM_SERVICE_ECHO);
    BthSimAddRecord(kDevice, &dialup, 1, 3, BTHSIM_SERVICE_ECHO);
    BthSimAddRecord(kDevice, &serial, 1, 2, BTHSIM_SERVICE_ECHO);
    BthSimAddRecord(kDevice, &dialup, 1, 4, BTHSIM_SERVICE_ECHO);
    // "Already connected" moves the walk on to the next channel.
    BthSimFailNext(kDevice, BTHSIM_OP_CONNECT, WSAEISCONN, 3);
    CBluetoothPort port(Address());
    port.Open();
    EXPECT_EQ(ConnectLog(kDevice), (std::vector<ULONG>{4, 3, 2, 1}));
}

TEST_F(PortTest, StalePairingIsRenewedOnlyWhenAutoRevokeIsOn) {
    AddEchoDevice();
    BthSimFailNext(kDevice, BTHSIM_OP_CONNECT, WSAEINVAL, 1);
    CBluetoothPort renewing(Address());
    renewing.Open();
    EXPECT_TRUE(renewing.IsOpen());
    EXPECT_EQ(ConnectLog(kDevice), (std::vector<ULONG>{1, 1}));
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_REMOVE), 1u);
    EXPECT_TRUE(BthSimGetDeviceFlags(kDevice) & BTHSIM_AUTHENTICATED);
    renewing.Close();

    CBluetoothPort strict(Address());
    auto args = strict.Escape(L"SetAutoRevokePairing", boost::shared_ptr<corvane::IPropertySet>());
    args->SetValue(L"Enable", _variant_t(false));
    strict.Escape(L"SetAutoRevokePairing", args);
    BthSimFailNext(kDevice, BTHSIM_OP_CONNECT, WSAEINVAL, 1);
    EXPECT_EQ(OpenError(strict), static_cast<DWORD>(WSAEINVAL));
    EXPECT_EQ(ConnectLog(kDevice).size(), 3u);
    EXPECT_FALSE(strict.IsOpen());
}

TEST_F(PortTest, ARefusedSdpQueryPairsAgainAndAsksOnce) {
    AddEchoDevice();
    BthSimSetDeviceFlags(kDevice, kPaired | BTHSIM_STALE_KEY);
    CBluetoothPort port(Address());
    port.Open();
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_LOOKUP), 3u);  // refused, asked again, then the dial-up class
    EXPECT_FALSE(BthSimGetDeviceFlags(kDevice) & BTHSIM_STALE_KEY);
}

// With auto-revoke off the port leaves the stack's pairings alone: a device
// the stack knows but has not paired is not removed before the connect, and
// a device that refuses the SDP query fails detection instead of being paired
// afresh.
TEST_F(PortTest, WithAutoRevokeOffNoPairingIsRemovedOrRenewed) {
    AddEchoDevice();
    BthSimSetDeviceFlags(kDevice, BTHSIM_REMEMBERED | BTHSIM_IN_RANGE);
    CBluetoothPort strict(Address());
    auto args = strict.Escape(L"SetAutoRevokePairing", boost::shared_ptr<corvane::IPropertySet>());
    args->SetValue(L"Enable", _variant_t(false));
    strict.Escape(L"SetAutoRevokePairing", args);
    strict.Open();
    EXPECT_TRUE(strict.IsOpen());
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_REMOVE), 0u);
    strict.Close();

    BthSimSetDeviceFlags(kDevice, kPaired | BTHSIM_STALE_KEY);
    std::wstring function;
    EXPECT_EQ(OpenError(strict, &function), static_cast<DWORD>(WSASERVICE_NOT_FOUND));
    EXPECT_EQ(function, L"DetectRFCommChannel");
    EXPECT_FALSE(strict.IsOpen());
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_LOOKUP), 3u);  // the first Open's two, then the refused one
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_REMOVE), 0u);
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_PAIR) + BthSimGetCount(kDevice, BTHSIM_COUNT_PAIR_EX), 0u);
    EXPECT_TRUE(BthSimGetDeviceFlags(kDevice) & BTHSIM_STALE_KEY);

    // The same device with auto-revoke on: removed before the connect.
    BthSimSetDeviceFlags(kDevice, BTHSIM_REMEMBERED | BTHSIM_IN_RANGE);
    CBluetoothPort revoking(Address());
    revoking.Open();
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_REMOVE), 1u);
}

TEST_F(PortTest, APinIsAnsweredThroughTheHandlerAndTheRegistrationEndsWithOpen) {
    ASSERT_TRUE(BthSimAddDevice(kDevice, L"Locked", 0x001F00, BTHSIM_IN_RANGE, L"1234"));
    const USHORT serial = 0x1101;
    BthSimAddRecord(kDevice, &serial, 1, 1, BTHSIM_SERVICE_ECHO);

    CBluetoothPort noPin(Address());
    EXPECT_EQ(OpenError(noPin), static_cast<DWORD>(WSAEACCES));
    CBluetoothPort wrongPin(Address(kDeviceText, L"9999"));
    EXPECT_EQ(OpenError(wrongPin), static_cast<DWORD>(WSAEACCES));
    EXPECT_EQ(BthSimGetCount(0, BTHSIM_COUNT_HANDLERS), 0u);

    CBluetoothPort rightPin(Address(kDeviceText, L"1234"));
    rightPin.Open();
    EXPECT_TRUE(BthSimGetDeviceFlags(kDevice) & BTHSIM_AUTHENTICATED);
    EXPECT_EQ(BthSimGetCount(0, BTHSIM_COUNT_HANDLERS), 0u);
}

TEST_F(PortTest, AnEmptyPinIsAPinButNoPinInstallsNoHandler) {
    ASSERT_TRUE(BthSimAddDevice(kDevice, L"Empty", 0x001F00, BTHSIM_IN_RANGE, L""));
    const USHORT serial = 0x1101;
    BthSimAddRecord(kDevice, &serial, 1, 1, BTHSIM_SERVICE_ECHO);
    CBluetoothPort none(Address());
    EXPECT_EQ(OpenError(none), static_cast<DWORD>(WSAEACCES));
    CBluetoothPort empty(Address(kDeviceText, L""));
    empty.Open();
    EXPECT_TRUE(empty.IsOpen());
}

TEST_F(PortTest, ARemoteCloseStoresConnectionLostAndEndsTheReceiver) {
    AddEchoDevice(kDevice, BTHSIM_SERVICE_HOLD);
    CBluetoothPort port(Address());
    boost::shared_ptr<EventCounter> events(new EventCounter);
    port.RegisterNotice(events, corvane::eventTerminated);
    port.RegisterNotice(events, corvane::eventError);
    port.Open();
    SOCKET device = BthSimTakeConnection(kDevice, 5000);
    ASSERT_NE(device, INVALID_SOCKET);
    ::send(device, "last words", 10, 0);
    ::closesocket(device);
    ASSERT_TRUE(events->WaitFor(corvane::eventTerminated));
    EXPECT_EQ(events->Count(corvane::eventError), 1u);
    // Bytes that arrived before the close are handed out first, then the loss.
    char buffer[16];
    EXPECT_EQ(port.Recv(buffer, sizeof buffer), 10u);
    EXPECT_EQ(std::string(buffer, 10), "last words");
    try {
        port.Recv(buffer, sizeof buffer);
        ADD_FAILURE() << "Recv after a lost connection succeeded";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(ERROR_GRACEFUL_DISCONNECT));
    }
    try {
        port.Send("x", 1);
        ADD_FAILURE() << "Send after a lost connection succeeded";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(ERROR_GRACEFUL_DISCONNECT));
    }
}

TEST_F(PortTest, AClientsWildcardDeregistrationDoesNotSilenceTheSender) {
    AddEchoDevice();
    CBluetoothPort port(Address());
    port.Open();
    port.DeregisterNotice(boost::shared_ptr<corvane::INotice>(), corvane::eventAll);
    EXPECT_TRUE(TransferIntact(PortSender(port), PortReceiver(port), 64 * 1024));
}

TEST_F(PortTest, RepeatedOpenAndCloseLeaveNoHandleOrThreadBehind) {
    AddEchoDevice();
    CBluetoothPort port(Address());
    port.Open();  // the first open loads what stays loaded
    port.Close();
    DWORD handles = 0, before = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &handles);
    DWORD threads = ThreadsOfThisProcess();
    for (int i = 0; i < 20; ++i) {
        port.Open();
        port.Send("ping", 4);
        port.Close();
    }
    // The simulated device's own session threads end shortly after each close.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::GetProcessHandleCount(::GetCurrentProcess(), &before);
    EXPECT_LE(before, handles + 4);
    EXPECT_LE(ThreadsOfThisProcess(), threads + 1);
}

TEST_F(PortTest, ClosedPortsRefuseTrafficAndBuffersHaveAFloor) {
    CBluetoothPort port(Address());
    EXPECT_THROW(port.Send("x", 1), basalt::CWinException);
    EXPECT_THROW(port.Recv(nullptr, 0), basalt::CWinException);
    port.SetBufferSize(100, 100);
    DWORD incoming = 0, outgoing = 0;
    port.GetBufferSize(&incoming, &outgoing);
    EXPECT_EQ(incoming, 0x10000u);
    EXPECT_EQ(outgoing, 0x10000u);
}

TEST_F(PortTest, AutoRevokeWantsABoolean) {
    CBluetoothPort port(Address());
    auto args = port.Escape(L"SetAutoRevokePairing", boost::shared_ptr<corvane::IPropertySet>());
    boost::shared_ptr<corvane::IPropertySet> numeric = corvane::IPropertySet::CreateInstance(L"Id=\"Enable\",vt=VT_I4,Flags=0,PL=0,Value=0;");
    try {
        port.Escape(L"SetAutoRevokePairing", numeric);
        ADD_FAILURE() << "a number was taken for a boolean";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_TRUE(port.GetAutoRevokePairing());
}

// A client that stops reading: the echo's replies wait in the RFCOMM
// connection (the stream stays at its capacity), none is dropped, and all
// come back in order once the client reads again.
TEST_F(PortTest, AClientThatStopsReadingLosesNoEchoedByte) {
    AddEchoDevice();
    CBluetoothPort port(Address());
    boost::shared_ptr<EventCounter> events(new EventCounter);
    port.RegisterNotice(events, corvane::eventIncomingOverflow);
    port.Open();
    const std::string sent = testkit::Pattern(600000, 7);
    std::thread sender([&] {
        for (size_t done = 0; done < sent.size();) {
            DWORD n = port.Send(sent.data() + done, static_cast<DWORD>(sent.size() - done));
            if (n == 0) ::Sleep(2);
            done += n;
        }
    });
    ASSERT_TRUE(testkit::Eventually([&] { return port.Recv(nullptr, 0) == CBluetoothPort::defaultBufferSize; }, 10000));
    ::Sleep(500);
    EXPECT_EQ(port.Recv(nullptr, 0), CBluetoothPort::defaultBufferSize);
    std::string received;
    std::vector<char> buffer(0x10000);
    DWORD start = ::GetTickCount();
    while (received.size() < sent.size() && ::GetTickCount() - start < 30000) {
        DWORD n = port.Recv(buffer.data(), static_cast<DWORD>(buffer.size()));
        received.append(buffer.data(), n);
        if (n == 0) ::Sleep(1);
    }
    sender.join();
    EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size() << " bytes";
    EXPECT_EQ(events->Count(corvane::eventIncomingOverflow), 0u);
}

TEST_F(PortTest, ServiceClassesAreReadInEveryUuidForm) {
    ASSERT_TRUE(BthSimAddDevice(kDevice, L"Wide", 0x001F00, kPaired, nullptr));
    const USHORT serial = 0x1101, dialup = 0x1103;
    BthSimAddRecord(kDevice, &serial, 1, 2, BTHSIM_SERVICE_ECHO | BTHSIM_RECORD_UUID32);
    BthSimAddRecord(kDevice, &dialup, 1, 3, BTHSIM_SERVICE_ECHO | BTHSIM_RECORD_UUID128);
    CBluetoothPort port(Address());
    BthSimFailNext(kDevice, BTHSIM_OP_CONNECT, WSAEISCONN, 1);  // on to the next channel
    port.Open();
    EXPECT_EQ(ConnectLog(kDevice), (std::vector<ULONG>{3, 2}));
}

TEST_F(PortTest, ARecordWithoutAChannelIsDialledByTheRfcommProtocol) {
    ASSERT_TRUE(BthSimAddDevice(kDevice, L"Bare", 0x001F00, kPaired, nullptr));
    const USHORT serial = 0x1101, other = 0x1108;
    BthSimAddRecord(kDevice, &serial, 1, 0, BTHSIM_SERVICE_ECHO);
    BthSimAddRecord(kDevice, &other, 1, 6, BTHSIM_SERVICE_ECHO);
    CBluetoothPort port(Address());
    port.Open();  // channel 0 with the protocol's class reaches the device's RFCOMM service
    EXPECT_EQ(ConnectLog(kDevice), (std::vector<ULONG>{0}));
    EXPECT_TRUE(TransferIntact(PortSender(port), PortReceiver(port), 1024));
}

TEST_F(PortTest, OpenFailuresCarryTheirDocumentedCodes) {
    AddEchoDevice();
    // A closed handle met as an HRESULT is a device that is not ready.
    BthSimFailNext(kDevice, BTHSIM_OP_CONNECT, 0x80070006, 1);
    CBluetoothPort port(Address());
    EXPECT_EQ(OpenError(port), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_FALSE(port.IsOpen());
    // A PIN the stack would not take a handler for is an authentication failure.
    BthSimFailNext(0, BTHSIM_OP_REGISTER, ERROR_NOT_ENOUGH_MEMORY, 1);
    CBluetoothPort withPin(Address(kDeviceText, L"1234"));
    EXPECT_EQ(OpenError(withPin), static_cast<DWORD>(ERROR_NOT_AUTHENTICATED));
    EXPECT_EQ(BthSimGetCount(0, BTHSIM_COUNT_HANDLERS), 0u);
}

TEST_F(PortTest, AStackDisconnectCodeIsAConnectionLostAndOtherErrorsStayAsTheyAre) {
    AddEchoDevice();
    for (DWORD code : {static_cast<DWORD>(WSAEDISCON), static_cast<DWORD>(WSAECONNRESET)}) {
        BthSimFailNext(kDevice, BTHSIM_OP_RECEIVE, code, 1);
        CBluetoothPort port(Address());
        boost::shared_ptr<EventCounter> events(new EventCounter);
        port.RegisterNotice(events, corvane::eventTerminated);
        port.Open();
        ASSERT_TRUE(events->WaitFor(corvane::eventTerminated));
        char buffer[4];
        EXPECT_EQ(testkit::ErrorOf([&] { port.Recv(buffer, sizeof buffer); }),
                  code == WSAEDISCON ? static_cast<DWORD>(ERROR_GRACEFUL_DISCONNECT) : code);
    }
}

TEST_F(PortTest, AuthenticationEscapesRegisterAndRemoveTheDevicesPin) {
    AddEchoDevice();
    CBluetoothPort port(Address());
    auto args = port.Escape(L"RegisterForAuthentication", boost::shared_ptr<corvane::IPropertySet>());
    ASSERT_TRUE(args && args->Find(L"PIN"));
    args->SetValue(L"PIN", _variant_t(L"2468"));
    port.Escape(L"RegisterForAuthentication", args);
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_HANDLERS), 1u);
    BTHSIM_ANSWER answer = {};
    ASSERT_TRUE(BthSimRequestPairing(kDevice, BLUETOOTH_AUTHENTICATION_METHOD_LEGACY, 0, &answer));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(answer.pin), answer.pinLength), "2468");

    port.Escape(L"UnregisterForAuthentication", boost::shared_ptr<corvane::IPropertySet>(new corvane::CPropertySet));
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_HANDLERS), 0u);

    // A text holding a null string (a client's own property can hand one
    // over) is no PIN: nothing is registered.
    boost::shared_ptr<corvane::CPropertySet> nullPin(new corvane::CPropertySet);
    nullPin->Add(boost::shared_ptr<corvane::IProperty>(new NullTextProperty(L"PIN")));
    port.Escape(L"RegisterForAuthentication", nullPin);
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_HANDLERS), 0u);

    EXPECT_TRUE(testkit::ThrowsWinError(
        [&] { port.Escape(L"RegisterForAuthentication", boost::shared_ptr<corvane::IPropertySet>(new corvane::CPropertySet)); },
        L"Microsoft::CBluetoothPort::CRegisterForAuthenticationFunc::Invoke", ERROR_INVALID_PARAMETER));
}

namespace {

// The device's end of a held connection sending the kit's pattern on a
// thread of its own, as fast as the connection takes it, until it has sent
// total bytes, the connection fails, or the object goes.
class CDevicePusher {
public:
    CDevicePusher(SOCKET device, size_t total) : m_device(device), m_total(total) {
        u_long nonBlocking = 1;
        ::ioctlsocket(m_device, FIONBIO, &nonBlocking);
        m_thread = std::thread([this] { Push(); });
    }
    ~CDevicePusher() {
        m_stop = true;
        m_thread.join();
        ::closesocket(m_device);
    }
    size_t Sent() const { return m_sent; }

private:
    void Push() {
        std::vector<char> chunk(4096);
        while (!m_stop && m_sent < m_total) {
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(m_device, &writable);
            timeval wait = {0, 20000};
            if (::select(0, nullptr, &writable, nullptr, &wait) <= 0) continue;
            size_t n = std::min(chunk.size(), m_total - m_sent);
            for (size_t i = 0; i < n; ++i) chunk[i] = static_cast<char>(testkit::PatternAt(m_sent + i));
            int sent = ::send(m_device, chunk.data(), static_cast<int>(n), 0);
            if (sent > 0) m_sent += static_cast<size_t>(sent);
            else if (::WSAGetLastError() != WSAEWOULDBLOCK) return;
        }
    }
    SOCKET m_device;
    size_t m_total;
    std::atomic<size_t> m_sent{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Everything the port's incoming stream hands out until count bytes came or
// 30 seconds passed.
std::string ReadBack(corvane::IPort& port, size_t count) {
    std::string received;
    std::vector<char> buffer(0x10000);
    DWORD start = ::GetTickCount();
    while (received.size() < count && ::GetTickCount() - start < 30000) {
        DWORD n = port.Recv(buffer.data(), static_cast<DWORD>(std::min(buffer.size(), count - received.size())));
        received.append(buffer.data(), n);
        if (n == 0) ::Sleep(1);
    }
    return received;
}

}  // namespace

// The device sends far more than the stream holds while the client reads
// nothing: the receiver waits for room at the stream's floor capacity, goes
// on into the larger stream that the client then asks for, and every byte
// reaches the client once, in order.
TEST_F(PortTest, ALargerStreamWhileTheReceiverWaitsForRoomTakesMoreAndLosesNothing) {
    AddEchoDevice(kDevice, BTHSIM_SERVICE_HOLD);
    CBluetoothPort port(Address());
    boost::shared_ptr<EventCounter> events(new EventCounter);
    port.RegisterNotice(events, corvane::eventIncomingOverflow);
    port.Open();
    SOCKET device = BthSimTakeConnection(kDevice, 5000);
    ASSERT_NE(device, INVALID_SOCKET);
    const size_t total = 600000;
    const DWORD floor = CBluetoothPort::defaultBufferSize;
    CDevicePusher pusher(device, total);
    ASSERT_TRUE(testkit::Eventually([&] { return port.Recv(nullptr, 0) == floor; }, 10000));

    port.SetBufferSize(3 * floor, 0);
    DWORD incoming = 0, outgoing = 0;
    port.GetBufferSize(&incoming, &outgoing);
    EXPECT_EQ(incoming, 3 * floor);
    EXPECT_TRUE(testkit::Eventually([&] { return port.Recv(nullptr, 0) == 3 * floor; }, 10000))
        << port.Recv(nullptr, 0) << " bytes held";

    std::string received = ReadBack(port, total);
    // The pusher counts a send after it returns: the client may have read
    // the last bytes before that.
    EXPECT_TRUE(testkit::Eventually([&] { return pusher.Sent() == total; }, 5000)) << pusher.Sent() << " sent";
    ASSERT_EQ(received.size(), total);
    EXPECT_TRUE(received == testkit::Pattern(total)) << "the bytes differ";
    EXPECT_EQ(events->Count(corvane::eventIncomingOverflow), 0u);
}

// Close must not wait for room that a client who stopped reading will never
// make; the port opens again afterwards and carries bytes.
TEST_F(PortTest, CloseEndsAReceiverThatWaitsForRoom) {
    AddEchoDevice(kDevice, BTHSIM_SERVICE_HOLD);
    CBluetoothPort port(Address());
    port.Open();
    SOCKET device = BthSimTakeConnection(kDevice, 5000);
    ASSERT_NE(device, INVALID_SOCKET);
    {
        CDevicePusher pusher(device, 8 << 20);
        ASSERT_TRUE(testkit::Eventually(
            [&] { return port.Recv(nullptr, 0) == CBluetoothPort::defaultBufferSize; }, 10000));
        testkit::WithinDeadline(10000, "Close", [&] { port.Close(); });
        EXPECT_FALSE(port.IsOpen());
    }

    port.Open();
    device = BthSimTakeConnection(kDevice, 5000);
    ASSERT_NE(device, INVALID_SOCKET);
    CDevicePusher pusher(device, 1000);
    EXPECT_TRUE(ReadBack(port, 1000) == testkit::Pattern(1000));
}
