// The port over the stack's virtual COM ports, end to end: the service
// search, the virtual port's life, bytes both ways, and each way the stack
// or the link can fail.
#include "ToshibaTestKit.h"

#include "ToshibaBluetooth/Windows.h"

#include <Cable.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tostest {
namespace {

using Toshiba::CBluetoothPort;
using Toshiba::CToshibaBluetoothException;

class ToshibaPortTest : public ToshibaTest {};

// Sends size bytes of a pattern while reading the echo, pumping messages on
// the side (the port's window lives on this thread); false on a mismatch.
::testing::AssertionResult EchoIntact(CBluetoothPort& port, size_t size) {
    std::vector<BYTE> out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<BYTE>((i * 7 + i / 251) & 0xFF);
    size_t sent = 0, received = 0;
    std::vector<BYTE> in(8192);
    DWORD last = ::GetTickCount();
    while (received < size) {
        if (sent < size) sent += port.Send(out.data() + sent, static_cast<DWORD>(std::min<size_t>(size - sent, 8192)));
        DWORD got = port.Recv(in.data(), static_cast<DWORD>(in.size()));
        for (DWORD i = 0; i < got; ++i, ++received)
            if (in[i] != out[received])
                return ::testing::AssertionFailure() << "byte " << received << " differs";
        if (got) last = ::GetTickCount();
        else if (::GetTickCount() - last > 15000) return ::testing::AssertionFailure() << "stalled at " << received;
        else ::Sleep(1);
    }
    return ::testing::AssertionSuccess();
}

// Opens the port once more and checks that it carries bytes; a watchdog
// closes it should Open wait for an answer the port dropped.
::testing::AssertionResult OpensAgain(CBluetoothPort& port) {
    basalt::CEvent opened;
    std::thread watchdog([&] {
        if (!opened.Wait(10000)) port.Close();
    });
    std::string failure;
    try {
        port.Open();
    } catch (const basalt::CStdException& e) {
        failure = std::string("the next Open failed: ") + e.what();
    }
    opened.Set();
    watchdog.join();
    if (!failure.empty()) return ::testing::AssertionFailure() << failure;
    if (!port.IsOpen()) return ::testing::AssertionFailure() << "the next Open left the port closed";
    return EchoIntact(port, 1000);
}

TEST_F(ToshibaPortTest, EchoDeviceOfferingOnlyTheSerialClassIsReachedAndCarriesAMegabyteIntact) {
    CBluetoothPort port(Address(kEchoDevice));
    // A pseudo-terminal outruns any radio: the stream gets room for it.
    port.SetBufferSize(1 << 20, 1 << 16);
    boost::shared_ptr<EventCounter> events(new EventCounter);
    port.RegisterNotice(events, corvane::eventIncomingOverflow);
    EXPECT_FALSE(port.IsOpen());
    port.Open();  // the device answers no dial-up search: found by the second
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(basalt::ustring(L"COM21"), port.GetCommName());
    EXPECT_TRUE(EchoIntact(port, 1 << 20));
    EXPECT_EQ(0u, events->Count(corvane::eventIncomingOverflow));
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(0u, Sim().TosBtSimPortCount());
    // A second Open finds the virtual port free again.
    port.Open();
    EXPECT_TRUE(EchoIntact(port, 1000));
}

// The cable tells the speed the virtual port's driver was set to.
TEST_F(ToshibaPortTest, TheVirtualPortIsSetTo115200Baud) {
    CBluetoothPort port(Address(kEchoDevice));
    port.Open();
    nullmodem::CCable cable;
    EXPECT_TRUE(WaitUntil([&] { return cable.Speed(nullmodem::CCable::port) == 115200; }, 2000))
        << "set to " << cable.Speed(nullmodem::CCable::port);
}

TEST_F(ToshibaPortTest, ADeviceOfferingBothClassesIsReachedOnItsDialupChannel) {
    // Beside its dial-up service (channel 2, streaming lines), the line
    // device gets a serial port service on channel 7 that echoes.
    const BYTE lineDevice[6] = {0x00, 0x80, 0x25, 0x00, 0x00, 0x02};
    Sim().TosBtSimAddDevice(lineDevice, 0, nullptr, 0x1101, 7, tosbtEcho);
    CBluetoothPort port(Address(kLineDevice));
    port.Open();
    std::string text;
    char buffer[256];
    ASSERT_TRUE(PumpUntil([&] {
        DWORD got = port.Recv(buffer, sizeof buffer);
        text.append(buffer, got);
        return text.size() > 40;
    }));
    // Lines sent before the port purged its new device may be cut; the rest follow in order.
    size_t first = text.find("\r\nline ");
    ASSERT_NE(std::string::npos, first);
    unsigned a = 0, b = 0;
    ASSERT_EQ(1, sscanf(text.c_str() + first + 2, "line %u", &a));
    size_t second = text.find("\r\nline ", first + 2);
    ASSERT_NE(std::string::npos, second);
    ASSERT_EQ(1, sscanf(text.c_str() + second + 2, "line %u", &b));
    EXPECT_EQ(a + 1, b);
}

TEST_F(ToshibaPortTest, CloseDestroysEveryVirtualPortTheStackLists) {
    Sim().TosBtSimAddStalePort("COM30");
    CBluetoothPort port(Address(kEchoDevice));
    port.Open();  // begins with a Close: the stale port goes already
    EXPECT_EQ(1u, Sim().TosBtSimPortCount());
    Sim().TosBtSimAddStalePort("COM31");
    Sim().TosBtSimAddStalePort("COM32");
    EXPECT_EQ(3u, Sim().TosBtSimPortCount());
    port.Close();
    EXPECT_EQ(0u, Sim().TosBtSimPortCount());
}

TEST_F(ToshibaPortTest, BufferSizesHaveAFloorAndClosedPortsRefuseTraffic) {
    CBluetoothPort port(Address(kEchoDevice));
    port.SetBufferSize(0, 0);
    DWORD in = 0, out = 0;
    port.GetBufferSize(&in, &out);
    EXPECT_EQ(4096u, in);
    EXPECT_EQ(4096u, out);
    port.SetBufferSize(10000, 5000);
    port.GetBufferSize(&in, &out);
    EXPECT_GE(in, 10000u);
    EXPECT_GE(out, 5000u);
    char byte = 0;
    try {
        port.Send(&byte, 1);
        FAIL() << "closed port sent";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(6u, e.GetErrorCode());
        EXPECT_EQ(basalt::ustring(L"Toshiba::CBluetoothPort::Send"), e.GetFunction());
    }
    EXPECT_THROW(port.Recv(&byte, 1), basalt::CWinException);
}

// Each stack failure ends Open with its own error and leaves no virtual port behind.
TEST_F(ToshibaPortTest, StackFailuresEndOpenAndLeaveNothingBehind) {
    struct {
        int fault;
        LONG status;
    } cases[] = {{tosbtSdpConnectFails, -7}, {tosbtSearchFails, -1000}, {tosbtCommConnectFails, -7}};
    for (const auto& c : cases) {
        Sim().TosBtSimSetFault(c.fault, 0);
        CBluetoothPort port(Address(kEchoDevice));
        try {
            port.Open();
            ADD_FAILURE() << "fault " << c.fault << " opened";
        } catch (const CToshibaBluetoothException& e) {
            EXPECT_EQ(c.status, e.GetStatus()) << c.fault;
            EXPECT_EQ(basalt::ustring(L"Toshiba::CBluetoothPort::CServiceWindow::WndProc"), e.GetFunction());
        }
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(0u, Sim().TosBtSimPortCount()) << c.fault;

        // The same port opens once the stack works again: an answered
        // failure leaves no answer owed that would swallow the next one's.
        // A watchdog closes it should the Open wait for an answer it dropped.
        Sim().TosBtSimSetFault(tosbtNoFault, 0);
        EXPECT_TRUE(OpensAgain(port)) << "fault " << c.fault;
    }
}

// The stack makes and connects a virtual port that then does not open as a
// COM port (TOSBTSIM_PORTS names COM23, which no cable backs): Open fails
// with CreateFile's error although the stack calls the port ready, starts no
// worker, and leaves the port closed, not "open" with a dead line.
TEST_F(ToshibaPortTest, AVirtualPortThatDoesNotOpenFailsOpenWithItsReason) {
    const char* saved = std::getenv("TOSBTSIM_PORTS");
    const std::string restore = std::string("TOSBTSIM_PORTS=") + (saved ? saved : "");
    _putenv("TOSBTSIM_PORTS=23:43");
    {
        CBluetoothPort port(Address(kEchoDevice));
        try {
            port.Open();
            ADD_FAILURE() << "opened on a virtual port that does not open";
        } catch (const basalt::CWinException& e) {
            EXPECT_EQ(basalt::ustring(L"CreateFile"), e.GetFunction()) << e.Describe().ToCodePage(CP_UTF8);
            EXPECT_NE(static_cast<DWORD>(ERROR_INVALID_HANDLE), e.GetErrorCode());
        }
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(0u, Sim().TosBtSimPortCount());
        char byte = 0;
        try {
            port.Recv(&byte, 1);
            ADD_FAILURE() << "Recv on a port that did not open";
        } catch (const basalt::CWinException& e) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), e.GetErrorCode());
        }
    }
    _putenv(restore.c_str());
    // The stack's own ports open again afterwards.
    CBluetoothPort port(Address(kEchoDevice));
    port.Open();
    EXPECT_TRUE(EchoIntact(port, 1000));
}

// No channel in the records, or a number in the channel byte of parameters
// that lack the channel flag (a protocol list without an RFCOMM part).
TEST_F(ToshibaPortTest, NoChannelOrUnknownDeviceIsServiceNotFound) {
    for (int fault : {tosbtNoChannel, tosbtChannelUnflagged}) {
        Sim().TosBtSimSetFault(fault, 0);
        CBluetoothPort port(Address(kEchoDevice));
        try {
            port.Open();
            ADD_FAILURE() << "fault " << fault << ": opened without a channel";
        } catch (const basalt::CWinException& e) {
            EXPECT_EQ(10108u, e.GetErrorCode()) << fault;
            EXPECT_EQ(basalt::ustring(L"Toshiba::CBluetoothPort::Open"), e.GetFunction()) << fault;
        }
        EXPECT_FALSE(port.IsOpen()) << fault;
    }
}

TEST_F(ToshibaPortTest, ManagerNotRunningFailsConstruction) {
    Sim().TosBtSimSetFault(tosbtManagerDown, 0);
    try {
        CBluetoothPort port(Address(kEchoDevice));
        FAIL() << "made without the stack";
    } catch (const CToshibaBluetoothException& e) {
        EXPECT_EQ(-3000, e.GetStatus());
        EXPECT_EQ(basalt::ustring(L"BtOpenAPI"), e.GetFunction());
    }
}

TEST_F(ToshibaPortTest, CloseFromAnotherThreadCancelsAnOpenWaitingOnTheStack) {
    Sim().TosBtSimSetFault(tosbtSilent, 0);
    CBluetoothPort port(Address(kEchoDevice));
    // Close once Open waits on the stack: a Close before Open starts is
    // undone by the Open itself.
    std::thread closer([&] {
        for (DWORD start = ::GetTickCount(); !Sim().TosBtSimSdpRequests() && ::GetTickCount() - start < 10000;)
            ::Sleep(5);
        ::Sleep(50);
        port.Close();
    });
    try {
        port.Open();
        ADD_FAILURE() << "opened a silent stack";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(1223u, e.GetErrorCode());
        EXPECT_EQ(basalt::ustring(L"Toshiba::CBluetoothPort::Open"), e.GetFunction());
    }
    closer.join();
    EXPECT_FALSE(port.IsOpen());
}

// Close lands while Open holds the lock (held by the stack in the Close that
// Open begins with), before Open resets its events; the stack then never
// answers. The Close still cancels that Open, and both return.
TEST_F(ToshibaPortTest, ACloseWaitingForTheLockCancelsTheOpenHoldingIt) {
    Sim().TosBtSimSetFault(tosbtSilent, 0);
    Sim().TosBtSimHoldPortList(TRUE);
    std::unique_ptr<CBluetoothPort> port;
    std::atomic<bool> openEnded{false}, closed{false};
    DWORD openError = 0;
    std::thread opener([&] {
        port.reset(new CBluetoothPort(Address(kEchoDevice)));
        try {
            port->Open();
        } catch (const basalt::CWinException& e) {
            openError = e.GetErrorCode();
        } catch (const CToshibaBluetoothException& e) {
            ADD_FAILURE() << "Open ended on the stack's status " << e.GetStatus();
        }
        openEnded = true;
    });
    ASSERT_TRUE(Sim().TosBtSimWaitPortListCaller(10000));
    std::thread closer([&] {
        port->Close();
        closed = true;
    });
    ::Sleep(200);  // for Close to signal and wait for the lock; shorter only hides the fault
    Sim().TosBtSimHoldPortList(FALSE);
    bool ended = WaitUntil([&] { return openEnded && closed; }, 20000);
    if (!ended) Sim().TosBtSimAnswerSilently(-7);  // frees the Open whose cancel was lost
    opener.join();
    closer.join();
    EXPECT_TRUE(ended) << "Open and Close waited for each other";
    EXPECT_EQ(1223u, openError);
    EXPECT_FALSE(port->IsOpen());
}

// The stack's link-loss message of a connection stays queued (nobody pumped)
// past its Close: the next Open is not ended by it.
TEST_F(ToshibaPortTest, ALinkLossLeftQueuedByTheLastConnectionLeavesTheNextAlone) {
    Sim().TosBtSimSetFault(tosbtLinkLost, 1000);
    CBluetoothPort port(Address(kEchoDevice));
    port.Open();
    std::vector<char> block(1000, 'a');
    ASSERT_EQ(1000u, port.Send(block.data(), 1000));
    ASSERT_TRUE(WaitUntil([] { return Sim().TosBtSimPosted(TosBt::msgCommState) > 0; }));
    port.Close();
    Sim().TosBtSimSetFault(tosbtNoFault, 0);
    port.Open();
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(EchoIntact(port, 1000));
    // Nor is one that comes while a later Open waits on the stack's SDP
    // answer: that Open goes on waiting, and ends on the answer.
    port.Close();
    Sim().TosBtSimSetFault(tosbtSilent, 0);
    HWND window = ThreadWindow(Toshiba::kPortWindowClass);
    ASSERT_TRUE(window);
    DWORD requests = Sim().TosBtSimSdpRequests();
    std::atomic<bool> ended{false};
    std::thread stack([&] {
        WaitUntil([&] { return Sim().TosBtSimSdpRequests() > requests; });
        ::PostMessageW(window, TosBt::msgCommState, TosBt::commLinkLost, 0);
        WaitUntil([&] { return ended.load(); }, 500);  // an Open the loss ended would be back by then
        Sim().TosBtSimAnswerSilently(-7);
    });
    try {
        port.Open();
        ADD_FAILURE() << "opened a silent stack";
    } catch (const CToshibaBluetoothException& e) {
        EXPECT_EQ(-7, e.GetStatus());
    } catch (const basalt::CWinException& e) {
        ADD_FAILURE() << "ended by another connection's link loss: " << e.GetErrorCode();
    }
    ended = true;
    stack.join();
}

// An Open given up on a silent stack, whose late failure answer stays queued
// (nobody pumped): the next Open is not ended by it.
TEST_F(ToshibaPortTest, AnAnswerLeftQueuedForAGivenUpOpenLeavesTheNextAlone) {
    Sim().TosBtSimSetFault(tosbtSilent, 0);
    CBluetoothPort port(Address(kEchoDevice));
    std::thread closer([&] {
        WaitUntil([] { return Sim().TosBtSimSdpRequests() > 0; });
        port.Close();
    });
    EXPECT_THROW(port.Open(), basalt::CWinException);
    closer.join();
    DWORD before = Sim().TosBtSimPosted(TosBt::msgSdpConnect);
    Sim().TosBtSimAnswerSilently(-7);
    ASSERT_EQ(before + 1, Sim().TosBtSimPosted(TosBt::msgSdpConnect));
    Sim().TosBtSimSetFault(tosbtNoFault, 0);
    EXPECT_NO_THROW(port.Open());
    EXPECT_TRUE(port.IsOpen());
}

// The stack answers an SDP connection whose Open was given up only once the
// next Open has asked for its own: the late answer (a failure) is not the
// next Open's, which goes on to its own answer and opens.
TEST_F(ToshibaPortTest, ALateAnswerForAGivenUpOpenIsNotTakenByTheNext) {
    Sim().TosBtSimSetFault(tosbtSilent, 0);
    CBluetoothPort port(Address(kEchoDevice));
    std::thread closer([&] {
        WaitUntil([] { return Sim().TosBtSimSdpRequests() > 0; });
        port.Close();
    });
    EXPECT_THROW(port.Open(), basalt::CWinException);
    closer.join();
    std::thread stack([] {
        WaitUntil([] { return Sim().TosBtSimSdpRequests() > 1; });
        EXPECT_TRUE(Sim().TosBtSimAnswerOldest(FALSE, -7));  // the given-up connection's
        EXPECT_TRUE(Sim().TosBtSimAnswerOldest(TRUE, 0));    // this Open's own
    });
    try {
        port.Open();
    } catch (const CToshibaBluetoothException& e) {
        ADD_FAILURE() << "ended by the answer of the Open before: " << e.GetStatus();
    }
    stack.join();
    ASSERT_TRUE(port.IsOpen());
    EXPECT_TRUE(EchoIntact(port, 1000));
}

// The stack takes the SDP connection (it has a handle) and answers it with a
// failure only while Open waits: that failure was the Open's own answer, so
// none is owed any more, and the next Open takes its own answer and opens. A
// watchdog closes the port should that Open wait for an answer it dropped.
TEST_F(ToshibaPortTest, AFailureAnsweredToAWaitingOpenLeavesNoAnswerOwed) {
    Sim().TosBtSimSetFault(tosbtSilent, 0);
    CBluetoothPort port(Address(kEchoDevice));
    std::thread stack([] {
        WaitUntil([] { return Sim().TosBtSimSdpRequests() > 0; });
        Sim().TosBtSimAnswerSilently(-7);
    });
    try {
        port.Open();
        ADD_FAILURE() << "opened on a failed SDP connection";
    } catch (const CToshibaBluetoothException& e) {
        EXPECT_EQ(-7, e.GetStatus());
    }
    stack.join();
    EXPECT_FALSE(port.IsOpen());

    Sim().TosBtSimSetFault(tosbtNoFault, 0);
    EXPECT_TRUE(OpensAgain(port));
}

// A search for a class the device lacks may answer with an empty list whose
// buffer still holds an old record behind the count of 0: no record, so no
// channel, and the serial port search follows.
TEST_F(ToshibaPortTest, AnEmptyResultListOffersNoChannel) {
    Sim().TosBtSimSetFault(tosbtEmptyResults, 0);
    CBluetoothPort port(Address(kEchoDevice));
    EXPECT_NO_THROW(port.Open());
    ASSERT_TRUE(port.IsOpen());
    EXPECT_TRUE(EchoIntact(port, 1000));
}

// A port made on one thread and released on another: only its own thread can
// destroy its window, which it does when it next pumps; the stack's messages
// that come meanwhile find no port.
TEST_F(ToshibaPortTest, APortReleasedOffItsWindowsThreadTakesTheWindowAlong) {
    EXPECT_TRUE(WindowGoesWithItsObject(
        Toshiba::kPortWindowClass, [] { return std::shared_ptr<void>(new CBluetoothPort(Address(kEchoDevice))); },
        TosBt::msgCommState, TosBt::commLinkLost));
}

TEST_F(ToshibaPortTest, LinkLostKeepsTheBytesAlreadyReceivedThenFails) {
    Sim().TosBtSimSetFault(tosbtLinkLost, 2000);
    CBluetoothPort port(Address(kEchoDevice));
    boost::shared_ptr<EventCounter> events(new EventCounter);
    port.RegisterNotice(events, corvane::eventError);
    port.Open();
    std::vector<char> block(1000, 'a');
    ASSERT_EQ(1000u, port.Send(block.data(), 1000));
    // The echo arrives in full before the link breaks on the next block.
    ASSERT_TRUE(PumpUntil([&] { return Sim().TosBtSimBytesReceived() >= 1000; }));
    PumpUntil([] { return false; }, 300);
    ASSERT_EQ(1000u, port.Send(block.data(), 1000));
    ASSERT_TRUE(PumpUntil([&] { return events->Count(corvane::eventError) > 0; }));
    char buffer[4096];
    size_t received = 0;
    bool failed = false;
    try {
        for (DWORD start = ::GetTickCount(); ::GetTickCount() - start < 5000;) {
            DWORD got = port.Recv(buffer, sizeof buffer);
            received += got;
            if (!got) ::Sleep(1);
        }
    } catch (const basalt::CWinException& e) {
        failed = true;
        EXPECT_EQ(1226u, e.GetErrorCode());
        EXPECT_EQ(basalt::ustring(L"Toshiba::CBluetoothPort::CServiceWindow::WndProc"), e.GetFunction());
    }
    EXPECT_TRUE(failed) << "the lost link was never reported";
    // The first block's echo at least; the device may have echoed part of
    // the second before the link broke.
    EXPECT_GE(received, 1000u);
    EXPECT_LT(received, 2000u);
    EXPECT_THROW(port.Send(block.data(), 1), basalt::CWinException);
}

TEST_F(ToshibaPortTest, AuthenticationEscapesNeedAPin) {
    CBluetoothPort port(Address(kEchoDevice));
    boost::shared_ptr<corvane::IPropertySet> list = port.Escape(nullptr, {});
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->Find(L"RegisterForAuthentication"));
    EXPECT_TRUE(list->Find(L"UnregisterForAuthentication"));
    boost::shared_ptr<corvane::CPropertySet> empty(new corvane::CPropertySet);
    try {
        port.Escape(L"RegisterForAuthentication", empty);
        FAIL() << "registered without a PIN";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(87u, e.GetErrorCode());
    }
    boost::shared_ptr<corvane::IPropertySet> args = port.Escape(L"RegisterForAuthentication", {});
    ASSERT_TRUE(args && args->Find(L"PIN"));
    args->Find(L"PIN")->SetValue(_variant_t(L"1234"), 0);
    EXPECT_NO_THROW(port.Escape(L"RegisterForAuthentication", args));
    EXPECT_NO_THROW(port.Escape(L"UnregisterForAuthentication", empty));
}

}  // namespace
}  // namespace tostest
