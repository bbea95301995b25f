// Bytes through an open TCP port: large transfers with every byte once and in
// order, and what the streams report when the client falls behind.
#include "TcpSupport.h"

#include <chrono>
#include <future>
#include <random>

namespace {

using tcptest::MakePort;
using tcptest::SimAddress;
using tcptest::SimProcess;

// Sends size pseudo-random bytes in chunks of random size through an echoing
// receiver and checks that exactly the same bytes come back. At most one
// incoming buffer's worth is left in flight, so nothing may overflow.
void EchoRandomly(corvane::IPort& port, size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(random());
    std::uniform_int_distribution<DWORD> chunk(1, 9000);

    tcptest::CPortReader waiter(port);
    const size_t window = 0x8000;
    size_t sent = 0;
    std::string received;
    received.reserve(size);
    DWORD start = ::GetTickCount();
    while (received.size() < size) {
        ASSERT_LT(::GetTickCount() - start, 30000u) << "stalled at " << received.size() << " of " << size;
        if (sent < size && sent - received.size() < window) {
            DWORD want = static_cast<DWORD>(std::min<size_t>({chunk(random), size - sent, window}));
            sent += port.Send(data.data() + sent, want);
        }
        if (sent == size || sent - received.size() >= window) waiter.WaitForBytes(1, 1000);
        received += waiter.Take();
    }
    ASSERT_EQ(received.size(), size);
    // Compare in pieces, so that a failure points at the first bad region.
    for (size_t at = 0; at < size; at += 4096)
        ASSERT_EQ(received.compare(at, 4096, data, at, 4096), 0) << "first difference near byte " << at;
}

TEST(TcpTransfer, EveryByteComesBackOnceAndInOrderThroughAnEcho) {
    SimProcess sim(L"--once");
    auto port = MakePort(SimAddress(sim));
    auto events = tcptest::CRecorder::Listen(*port);
    port->Open();
    EchoRandomly(*port, 3 << 20, 20240611);
    EXPECT_EQ(events->Count(corvane::eventIncomingOverflow), 0u);
    EXPECT_EQ(events->Count(corvane::eventError), 0u);
}

// A device that reads slower than the client queues fills the socket, so the
// send worker keeps two sends pending most of the time; the device must still
// get every byte once and in the order sent.
TEST(TcpTransfer, SendsLeftPendingBehindASlowDeviceArriveInTheOrderQueued) {
    const size_t size = 16 << 20;
    std::mt19937 random(20261208);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(random());
    std::string arrived;
    std::promise<void> done;
    {
        tcptest::ScriptedDevice device([&](tcptest::ScriptedDevice::End& end) {
            end.Send("{{unit 7}}\r\nLogin:");
            end.ReadLine();
            end.Send("Password:");
            end.ReadLine();
            end.Send("READY\r\n");
            arrived = end.Receive(size, 0x10000, 1);
            done.set_value();
        });
        auto port = MakePort(device.Address());
        auto events = tcptest::CRecorder::Listen(*port);
        port->Open();
        DWORD start = ::GetTickCount();
        for (size_t queued = 0; queued < size;) {
            ASSERT_LT(::GetTickCount() - start, 30000u) << "stalled at " << queued << " of " << size;
            DWORD n = port->Send(data.data() + queued, static_cast<DWORD>(std::min<size_t>(size - queued, 0x10000)));
            queued += n;
            // Full: wait for the worker to take what is queued.
            if (n == 0)
                events->WaitFor(corvane::eventOutgoingEmpty, events->Count(corvane::eventOutgoingEmpty) + 1, 1000);
        }
        // The port stays open until the device has read what it expects.
        ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
        EXPECT_EQ(events->Count(corvane::eventError), 0u);
    }
    ASSERT_EQ(arrived.size(), size);
    for (size_t at = 0; at < size; at += 4096)
        ASSERT_EQ(arrived.compare(at, 4096, data, at, 4096), 0) << "first difference near byte " << at;
}

// Lines that follow the login reply closely share its receive: they must
// still be the first bytes the client reads.
TEST(TcpTransfer, AStreamArrivesLineByLineFromItsFirstByteWithoutGaps) {
    SimProcess sim(L"--mode stream --rate 0 --once");
    auto port = MakePort(SimAddress(sim));
    // Large enough for everything this test reads, so no byte can be dropped.
    port->SetBufferSize(0x800000, 0);
    port->Open();
    tcptest::CPortReader waiter(*port);
    const size_t lineLength = 49;  // "0000000042 ABC...XYZ0123456789\r\n"
    const unsigned lines = 40000;
    std::string text = waiter.Receive(static_cast<DWORD>(lineLength * lines), 30000);
    ASSERT_EQ(text.size(), lineLength * lines);
    for (unsigned i = 0; i < lines; ++i) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%010u ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\r\n", i);
        ASSERT_EQ(text.compare(i * lineLength, lineLength, expected), 0) << "line " << i;
    }
}

TEST(TcpTransfer, SentBytesAllReachTheDeviceBeforeOutgoingEmpty) {
    SimProcess sim(L"--mode sink --once");
    auto port = MakePort(SimAddress(sim));
    auto events = tcptest::CRecorder::Listen(*port);
    port->Open();
    std::string block(50000, 'z');
    size_t total = 0;
    for (int i = 0; i < 40; ++i) {
        // Fill the outgoing stream, then wait for it to drain.
        size_t queued = 0;
        while (queued < block.size()) queued += port->Send(block.data() + queued, static_cast<DWORD>(block.size() - queued));
        total += queued;
        ASSERT_TRUE(events->WaitFor(corvane::eventOutgoingEmpty, static_cast<size_t>(i + 1), 5000));
    }
    port->Close();
    EXPECT_TRUE(sim.WaitForLine("data: " + std::to_string(total) + " bytes in")) << sim.Transcript();
}

// The numbered lines of a streaming receiver, from line first on.
void ExpectLines(const std::string& text, unsigned first) {
    const size_t lineLength = 49;
    ASSERT_EQ(text.size() % lineLength, 0u);
    for (unsigned i = 0; i < text.size() / lineLength; ++i) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%010u ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\r\n", first + i);
        ASSERT_EQ(text.compare(i * lineLength, lineLength, expected), 0) << "line " << first + i;
    }
}

// A client that stops reading holds the receiver back through TCP's own
// window: the stream fills to its capacity and no further, nothing is
// dropped, and every line arrives once the client reads again.
TEST(TcpTransfer, AClientThatStopsReadingHoldsTheDeviceBackAndLosesNothing) {
    SimProcess sim(L"--mode stream --rate 0 --lines 30000 --once");
    auto port = MakePort(SimAddress(sim));
    auto events = tcptest::CRecorder::Listen(*port);
    port->SetBufferSize(4096, 4096);
    DWORD incoming = 0, outgoing = 0;
    port->GetBufferSize(&incoming, &outgoing);
    EXPECT_EQ(incoming, 4096u);
    EXPECT_EQ(outgoing, 4096u);
    port->Open();
    ASSERT_TRUE(testkit::Eventually([&] { return port->Recv(nullptr, 0) == 4096; }, 5000));
    ::Sleep(500);
    EXPECT_EQ(port->Recv(nullptr, 0), 4096u);

    // A larger stream while the worker waits for room: it fills that too.
    port->SetBufferSize(8000, 0);
    EXPECT_TRUE(testkit::Eventually([&] { return port->Recv(nullptr, 0) == 8000; }, 5000));
    // A smaller one keeps every byte held.
    port->SetBufferSize(100, 0);
    port->GetBufferSize(&incoming, nullptr);
    EXPECT_EQ(incoming, 8000u);

    tcptest::CPortReader reader(*port);
    std::string text = reader.Receive(49 * 30000, 30000);
    ExpectLines(text, 0);
    EXPECT_EQ(text.size(), 49u * 30000);
    EXPECT_EQ(events->Count(corvane::eventIncomingOverflow), 0u);
    // The receiver's close comes after its last line, and nothing else.
    EXPECT_FALSE(reader.WaitForBytes(1, 5000));
    auto closed = dynamic_cast<const basalt::CWinException*>(reader.GetError());
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->GetErrorCode(), static_cast<DWORD>(ERROR_GRACEFUL_DISCONNECT));
}

TEST(TcpTransfer, CloseEndsAWorkerThatWaitsForRoomAndPurgesTellBothStreams) {
    SimProcess sim(L"--mode stream --rate 0");
    auto port = MakePort(SimAddress(sim));
    auto events = tcptest::CRecorder::Listen(*port);
    port->SetBufferSize(4096, 4096);
    port->Open();
    ASSERT_TRUE(testkit::Eventually([&] { return port->Recv(nullptr, 0) == 4096; }, 5000));

    // Purging both directions is told as both streams being empty, and the
    // emptied stream fills again from where the device is.
    events->Clear();
    port->Purge(PURGE_TXCLEAR | PURGE_RXCLEAR);
    EXPECT_GE(events->Count(corvane::eventOutgoingEmpty), 1u);
    EXPECT_GE(events->Count(corvane::eventIncomingEmpty), 1u);
    EXPECT_TRUE(testkit::Eventually([&] { return port->Recv(nullptr, 0) == 4096; }, 5000));

    testkit::WithinDeadline(10000, "Close", [&] { port->Close(); });
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(events->Count(corvane::eventIncomingOverflow), 0u);
    port->SetBufferSize(0, 0);
    DWORD incoming = 0, outgoing = 0;
    port->GetBufferSize(&incoming, &outgoing);
    EXPECT_EQ(incoming, 0x10000u);
    EXPECT_EQ(outgoing, 0x10000u);
}

}  // namespace
