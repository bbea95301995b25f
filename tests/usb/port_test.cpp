// The USB port end to end against a simulated instrument: opening with each
// descriptor and preparation answer, the two passes as the instrument sees
// them, bytes both ways, the instrument vanishing, and the port's lifecycle.
#include "UsbTestKit.h"

#include <tlhelp32.h>

#include <cstring>

using namespace usbtest;
using corvane::EEventType;

namespace {

class UsbPort : public CUsbTest {};

TEST_F(UsbPort, OpensWithEachDescriptorTheDriverCanServeAndRefusesTheOthers) {
    boost::shared_ptr<corvane::IPort> port = MakePort();
    ASSERT_TRUE(port);
    port->Open();
    EXPECT_TRUE(port->IsOpen());
    port->Close();
    EXPECT_FALSE(port->IsOpen());

    // The interrupt endpoint is not a data pipe: the bulk pair behind it is bound.
    ASSERT_EQ(0u, Sim().SetDescriptorVariant(kSerial, USBSIM_DESCRIPTOR_INTERRUPT_FIRST));
    Sim().ClearControlLog(kSerial);
    port->Open();
    std::vector<BYTE> bound;
    for (const USBSIM_CONTROL& entry : ControlLog())
        if (entry.code == corvane::usb::ioctlBindPipe) bound.push_back(static_cast<BYTE>(entry.argument));
    EXPECT_EQ((std::vector<BYTE>{0x85, 0x04, 0x85, 0x04}), bound);
    port->Close();

    for (DWORD variant : {DWORD(USBSIM_DESCRIPTOR_ONE_ENDPOINT), DWORD(USBSIM_DESCRIPTOR_MALFORMED)}) {
        ASSERT_EQ(0u, Sim().SetDescriptorVariant(kSerial, variant));
        basalt::ustring function;
        EXPECT_EQ(1359u, ErrorOf([&] { port->Open(); }, &function)) << "variant " << variant;
        EXPECT_EQ(L"CUSBPort::Open", function);
        EXPECT_FALSE(port->IsOpen());
        // A failed Open leaves nothing open on the instrument.
        EXPECT_EQ(0u, Counters().openHandles);
    }
}

// A descriptor longer than 255 bytes: its total length needs both bytes of
// the field, and the whole of it is read before the pipes are looked for (the
// bulk pair comes last, behind 34 interrupt endpoints).
TEST_F(UsbPort, ADescriptorOfMoreThan255BytesIsReadWhole) {
    const BYTE endpoints = 36;
    const WORD total = 9 + 9 + 7 * endpoints;  // 270
    std::vector<BYTE> bytes = {9, 2, static_cast<BYTE>(total & 0xFF), static_cast<BYTE>(total >> 8), 1, 1, 0, 0x80, 50,
                               9, 4, 0, 0, endpoints, 0xFF, 0, 0, 0};
    for (BYTE i = 0; i + 2 < endpoints; ++i) bytes.insert(bytes.end(), {7, 5, 0x83, 3, 8, 0, 10});
    bytes.insert(bytes.end(), {7, 5, 0x86, 2, 64, 0, 0});
    bytes.insert(bytes.end(), {7, 5, 0x07, 2, 64, 0, 0});
    ASSERT_EQ(size_t(total), bytes.size());
    ASSERT_EQ(0u, Sim().SetDescriptor(kSerial, bytes.data(), static_cast<DWORD>(bytes.size())));
    Sim().ClearControlLog(kSerial);
    boost::shared_ptr<corvane::IPort> port = MakePort();
    port->Open();
    EXPECT_TRUE(port->IsOpen());
    std::vector<BYTE> bound;
    for (const USBSIM_CONTROL& entry : ControlLog())
        if (entry.code == corvane::usb::ioctlBindPipe) bound.push_back(static_cast<BYTE>(entry.argument));
    EXPECT_EQ((std::vector<BYTE>{0x86, 0x07, 0x86, 0x07}), bound);
}

TEST_F(UsbPort, PreparationAnswersDecideWhetherOpenGoesOn) {
    boost::shared_ptr<corvane::IPort> port = MakePort();
    // The driver's "already prepared" is no failure.
    ASSERT_EQ(0u, Sim().SetPrepareError(kSerial, corvane::usb::errorAlreadyPrepared));
    port->Open();
    EXPECT_TRUE(port->IsOpen());
    port->Close();

    basalt::ustring function;
    ASSERT_EQ(0u, Sim().SetPrepareError(kSerial, ERROR_BAD_COMMAND));
    EXPECT_EQ(DWORD(ERROR_OPEN_FAILED), ErrorOf([&] { port->Open(); }, &function));
    EXPECT_EQ(L"DeviceIoControl", function);
    ASSERT_EQ(0u, Sim().SetPrepareError(kSerial, ERROR_GEN_FAILURE));
    EXPECT_EQ(DWORD(ERROR_GEN_FAILURE), ErrorOf([&] { port->Open(); }));
    EXPECT_EQ(0u, Counters().openHandles);

    ASSERT_EQ(0u, Sim().Unplug(kSerial));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), ErrorOf([&] { port->Open(); }, &function));
    EXPECT_EQ(L"CreateFile", function);
}

TEST_F(UsbPort, TheInstrumentSeesTwoPassesAndTheFirstPassCodeOnlyOnce) {
    boost::shared_ptr<corvane::IPort> port = MakePort();
    port->Open();
    const DWORD r = GENERIC_READ, w = GENERIC_WRITE;
    using namespace corvane::usb;
    const std::vector<std::pair<DWORD, DWORD>> pass = {
        {ioctlPrepare, w}, {ioctlGetDescriptor, w}, {ioctlGetDescriptor, w}, {ioctlBindPipe, r}, {ioctlBindPipe, w}};
    std::vector<std::pair<DWORD, DWORD>> expected = pass;
    expected.push_back({ioctlFirstPassDone, w});
    expected.insert(expected.end(), pass.begin(), pass.end());
    std::vector<std::pair<DWORD, DWORD>> seen;
    for (const USBSIM_CONTROL& entry : ControlLog()) {
        seen.push_back({entry.code, entry.access});
        EXPECT_EQ(0u, entry.result) << std::hex << entry.code;
    }
    EXPECT_EQ(expected, seen);
    // Two opens per pass; the first pass's handles were closed before the second's.
    EXPECT_EQ(4u, Counters().opens);
    EXPECT_EQ(2u, Counters().openHandles);
}

// Several megabytes each way, more than one 64 KiB read and more than the
// 4 MiB streams hold at once, so that both workers wrap, wait and resume.
TEST_F(UsbPort, EchoCarriesMegabytesIntactAndInOrder) {
    boost::shared_ptr<corvane::IPort> port = MakePort();
    port->Open();
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    ASSERT_TRUE(port->RegisterNotice(counter, corvane::eventIncomingOverflow));
    const Bytes sent = Pattern(6 * 1024 * 1024 + 123, 7);
    Bytes received;
    received.reserve(sent.size());
    size_t queued = 0;
    BYTE buffer[0x10000];
    ASSERT_TRUE(WaitUntil(
        [&] {
            // The incoming stream drops what it has no room for: keep less
            // than its 4 MiB in flight.
            if (queued < sent.size() && queued - received.size() < 0x300000)
                queued += port->Send(sent.data() + queued, static_cast<DWORD>(std::min<size_t>(sent.size() - queued, 0x30000)));
            DWORD n = port->Recv(buffer, sizeof buffer);
            received.insert(received.end(), buffer, buffer + n);
            return received.size() >= sent.size();
        },
        30000))
        << received.size() << " of " << sent.size();
    EXPECT_TRUE(received == sent);
    EXPECT_EQ(0, counter->Count(corvane::eventIncomingOverflow));
    EXPECT_GT(Counters().largestWrite, corvane::usb::readChunk);
    EXPECT_EQ(corvane::usb::readChunk, Counters().largestRead);
}

// Writes the driver completes at once leave their record's event set: a
// sender that waited for it would wake again and again, asking the driver
// for results of writes long done.
TEST_F(UsbPort, AnIdlePortMakesNoDriverCallsOnceItsWritesCompleted) {
    boost::shared_ptr<corvane::IPort> port = MakePort();
    port->Open();
    const Bytes sent = Pattern(3000, 5);
    Bytes received;
    for (size_t at = 0; at < sent.size(); at += 1000) {
        ASSERT_EQ(1000u, port->Send(sent.data() + at, 1000));
        Bytes piece = ReceiveAll(*port, 1000);
        received.insert(received.end(), piece.begin(), piece.end());
    }
    ASSERT_TRUE(received == sent);
    // The receiver's next read, which it starts after handing over the last bytes.
    ASSERT_TRUE(WaitUntil([&] { return Counters().pendingReads == 1; }));
    ULONGLONG before = Counters().calls;
    ::Sleep(200);
    EXPECT_EQ(before, Counters().calls);
    port->Close();
}

TEST_F(UsbPort, SinkAndLineModesMoveBytesOneWay) {
    ASSERT_EQ(0u, Sim().SetMode(kSerial, USBSIM_MODE_SINK, 0));
    boost::shared_ptr<corvane::IPort> port = MakePort();
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    ASSERT_TRUE(port->RegisterNotice(counter, corvane::eventOutgoingEmpty));
    port->Open();
    const Bytes sent = Pattern(300000, 11);
    ASSERT_EQ(sent.size(), port->Send(sent.data(), static_cast<DWORD>(sent.size())));
    ASSERT_TRUE(WaitUntil([&] { return counter->Count(corvane::eventOutgoingEmpty) > 0; }));
    Bytes taken(sent.size() + 1);
    DWORD n = 0;
    ASSERT_EQ(0u, Sim().DeviceReceive(kSerial, taken.data(), static_cast<DWORD>(taken.size()), &n));
    taken.resize(n);
    EXPECT_TRUE(taken == sent);

    ASSERT_EQ(0u, Sim().SetMode(kSerial, USBSIM_MODE_LINES, 0));
    Bytes lines = ReceiveAll(*port, 200000);
    ASSERT_GE(lines.size(), 200000u);
    EXPECT_EQ(0, std::memcmp(lines.data(), "000001 TS00000042X", 18));
}

TEST_F(UsbPort, InstrumentVanishingDuringAReadEndsTheReceiverWith1226) {
    boost::shared_ptr<corvane::IPort> port = MakePort();
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    for (EEventType type : {corvane::eventDataAvailable, corvane::eventError, corvane::eventTerminated})
        ASSERT_TRUE(port->RegisterNotice(counter, type));
    port->Open();
    ASSERT_EQ(0u, Sim().DeviceSend(kSerial, "last words", 10));
    ASSERT_TRUE(WaitUntil([&] { return counter->Count(corvane::eventDataAvailable) > 0; }));
    // The receiver is back in a pending read when the instrument goes.
    ASSERT_TRUE(WaitUntil([&] { return Counters().pendingReads == 1; }));
    ASSERT_EQ(0u, Sim().Unplug(kSerial));
    ASSERT_TRUE(WaitUntil([&] { return counter->Count(corvane::eventTerminated) == 1; }));
    EXPECT_EQ(1, counter->Count(corvane::eventError));

    basalt::ustring function;
    char buffer[32] = {};
    DWORD n = 0;
    // The bytes that came before the loss first, then the loss.
    EXPECT_EQ(0u, ErrorOf([&] { n = port->Recv(buffer, sizeof buffer); }, &function));
    EXPECT_EQ(10u, n);
    EXPECT_EQ(0, std::memcmp(buffer, "last words", 10));
    EXPECT_EQ(DWORD(ERROR_GRACEFUL_DISCONNECT), ErrorOf([&] { port->Recv(buffer, sizeof buffer); }, &function));
    EXPECT_EQ(L"CUSBPort::RecvThreadProcFn", function);
}

// The send worker's failure reaches the client's next Send, not only Recv:
// otherwise a client that only sends would queue into a dead port forever.
TEST_F(UsbPort, InstrumentVanishingUnderTheSenderFailsTheNextSend) {
    ASSERT_EQ(0u, Sim().SetMode(kSerial, USBSIM_MODE_SINK, 0));
    boost::shared_ptr<corvane::IPort> port = MakePort();
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    ASSERT_TRUE(port->RegisterNotice(counter, corvane::eventError));
    port->Open();
    ASSERT_EQ(0u, Sim().Unplug(kSerial));
    ASSERT_EQ(3u, port->Send("abc", 3));
    ASSERT_TRUE(WaitUntil([&] { return counter->Count(corvane::eventError) >= 2; }));
    basalt::ustring function;
    EXPECT_EQ(DWORD(ERROR_DEVICE_NOT_CONNECTED), ErrorOf([&] { port->Send("d", 1); }, &function));
    EXPECT_EQ(L"WriteFile", function);
    // Closing clears the stored errors: the port opens again once the instrument is back.
    port->Close();
    ASSERT_EQ(0u, Sim().Plug(kSerial));
    ASSERT_EQ(0u, Sim().SetMode(kSerial, USBSIM_MODE_ECHO, 0));
    port->Open();
    ASSERT_EQ(2u, port->Send("up", 2));
    EXPECT_EQ((Bytes{'u', 'p'}), ReceiveAll(*port, 2, 3000));
}

TEST_F(UsbPort, BufferSizesDefaultToFourMegabytesAndKeepWhatTheyHold) {
    boost::shared_ptr<corvane::IPort> port = MakePort();
    port->SetBufferSize(100, 200);
    DWORD incoming = 0, outgoing = 0;
    port->GetBufferSize(&incoming, &outgoing);
    EXPECT_EQ(100u, incoming);
    EXPECT_EQ(200u, outgoing);
    port->SetBufferSize(0, 0);
    port->GetBufferSize(&incoming, &outgoing);
    EXPECT_EQ(0x400000u, incoming);
    EXPECT_EQ(0x400000u, outgoing);

    basalt::ustring function;
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), ErrorOf([&] { port->Send("x", 1); }, &function));
    EXPECT_EQ(L"CUSBPort::Send", function);
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), ErrorOf([&] { port->Recv(nullptr, 0); }, &function));
    EXPECT_EQ(L"CUSBPort::Recv", function);
}

// A client that drops all its notices with the wildcards must not silence
// the send worker, which wakes through a notice of its own on the same stream.
TEST_F(UsbPort, WildcardDeregistrationLeavesTheSenderAwake) {
    boost::shared_ptr<corvane::IPort> port = MakePort();
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    ASSERT_TRUE(port->RegisterNotice(counter, corvane::eventOutgoingPending));
    port->Open();
    EXPECT_TRUE(port->DeregisterNotice(boost::shared_ptr<corvane::INotice>(), corvane::eventAll));
    ASSERT_EQ(5u, port->Send("hello", 5));
    Bytes echoed = ReceiveAll(*port, 5, 3000);
    EXPECT_EQ((Bytes{'h', 'e', 'l', 'l', 'o'}), echoed);
    EXPECT_EQ(0, counter->Count(corvane::eventOutgoingPending));
    // Reopening after the wildcard works the same.
    port->Close();
    port->Open();
    port->DeregisterNotice(boost::shared_ptr<corvane::INotice>(), corvane::eventOutgoingPending);
    ASSERT_EQ(3u, port->Send("abc", 3));
    EXPECT_EQ((Bytes{'a', 'b', 'c'}), ReceiveAll(*port, 3, 3000));
}

DWORD ThreadCount() {
    DWORD count = 0;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
    ::CloseHandle(snapshot);
    return count;
}

// The value the process's next handle gets. Handle tables hand out the
// lowest free slot, so a handle leaked since the last probe takes the slot and
// moves the probe. (Wine answers GetProcessHandleCount with 0: no use here.)
HANDLE NextHandleValue() {
    HANDLE probe = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::CloseHandle(probe);
    return probe;
}

TEST_F(UsbPort, RepeatedOpenAndCloseLeaksNoHandleThreadOrLog) {
    boost::shared_ptr<corvane::IPort> port = MakePort();
    // Once first, so that lazily made process-wide objects are already there.
    port->Open();
    port->Send("warm", 4);
    ReceiveAll(*port, 4, 3000);
    port->Close();
    HANDLE probe = NextHandleValue();
    DWORD threads = ThreadCount();
    size_t logs = basalt::CLogFileServer::Ref().GetOpenLogCount();
    for (int round = 0; round < 40; ++round) {
        port->Open();
        if (round % 2) {
            port->Send("ping", 4);
            EXPECT_EQ(4u, ReceiveAll(*port, 4, 3000).size());
        }
        port->Close();
    }
    EXPECT_EQ(probe, NextHandleValue());
    EXPECT_EQ(threads, ThreadCount());
    EXPECT_EQ(logs, basalt::CLogFileServer::Ref().GetOpenLogCount());
    EXPECT_EQ(0u, Counters().openHandles);
    // An open port's two handles are each in the log-file server under the path.
    port->Open();
    EXPECT_EQ(logs + 2, basalt::CLogFileServer::Ref().GetOpenLogCount());
    port.reset();  // the destructor closes
    EXPECT_EQ(logs, basalt::CLogFileServer::Ref().GetOpenLogCount());
}

}  // namespace

namespace {

class UsbFlow : public CUsbTest {};

// A client that stops reading: the IN pipe holds the instrument back (the
// echo's own buffer fills and its writes wait), nothing overflows, and every
// byte comes back once the client reads again; Close ends a receiver that
// waits for room.
TEST_F(UsbFlow, AClientThatStopsReadingLosesNothingAndCloseEndsTheWait) {
    boost::shared_ptr<corvane::IPort> port = MakePort();
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    ASSERT_TRUE(port->RegisterNotice(counter, corvane::eventIncomingOverflow));
    port->SetBufferSize(102400, 0);
    port->Open();
    const Bytes sent = Pattern(1500000, 29);
    size_t queued = 0;
    ASSERT_TRUE(WaitUntil([&] {
        queued += port->Send(sent.data() + queued, static_cast<DWORD>(sent.size() - queued));
        return queued == sent.size();
    }, 5000));
    ASSERT_TRUE(WaitUntil([&] { return port->Recv(nullptr, 0) == 102400; }));
    ::Sleep(300);
    EXPECT_EQ(102400u, port->Recv(nullptr, 0));
    // A larger stream while the receiver waits for room: it fills that too
    // (whole packets: both sizes are multiples of 512).
    port->SetBufferSize(256000, 0);
    EXPECT_TRUE(WaitUntil([&] { return port->Recv(nullptr, 0) == 256000; }));
    EXPECT_TRUE(ReceiveAll(*port, sent.size(), 20000) == sent);
    EXPECT_EQ(0, counter->Count(corvane::eventIncomingOverflow));

    ASSERT_EQ(0u, Sim().SetMode(kSerial, USBSIM_MODE_LINES, 0));
    ASSERT_TRUE(WaitUntil([&] { return port->Recv(nullptr, 0) >= 256000 - corvane::usb::packetSize; }));
    testkit::WithinDeadline(10000, "Close", [&] { port->Close(); });
    EXPECT_EQ(0u, Counters().openHandles);
}

// A driver that ends every write at once with nothing taken: the sender
// stops with the loss of the connection instead of offering the bytes
// again without end, and Close returns.
TEST_F(UsbFlow, WritesThatTakeNothingEndTheSenderAndCloseReturns) {
    ASSERT_EQ(0u, Sim().SetMode(kSerial, USBSIM_MODE_ZERO_WRITES, 0));
    boost::shared_ptr<corvane::IPort> port = MakePort();
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    ASSERT_TRUE(port->RegisterNotice(counter, corvane::eventError));
    port->Open();
    ASSERT_EQ(3u, port->Send("abc", 3));
    ASSERT_TRUE(WaitUntil([&] { return counter->Count(corvane::eventError) >= 1; }));
    basalt::ustring function;
    EXPECT_EQ(DWORD(ERROR_GRACEFUL_DISCONNECT), ErrorOf([&] { port->Send("d", 1); }, &function));
    EXPECT_EQ(L"CUSBPort::SendThreadProcFn", function);
    testkit::WithinDeadline(10000, "Close", [&] { port->Close(); });
}

}  // namespace
