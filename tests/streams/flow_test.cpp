// The flow-controlled fill of an incoming stream: a worker takes only the
// free room, keeps it whatever the client does with the capacity, and waits
// for room without looking again.
#include "StreamTestKit.h"

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include <future>

using namespace corvane;
using namespace streams_test;

namespace {

DWORD Fill(CStreamIncoming& stream, std::uint64_t from, DWORD most, DWORD least = 1) {
    DWORD size = 0;
    BYTE* area = stream.BeginFillRoom(most, least, &size);
    if (!area) return 0;
    auto bytes = PatternBytes(from, size);
    std::copy(bytes.begin(), bytes.end(), area);
    return stream.EndFill(size);
}

std::vector<BYTE> ReadAll(CStreamIncoming& stream) {
    std::vector<BYTE> bytes(stream.GetCount());
    bytes.resize(stream.Read(bytes.data(), static_cast<DWORD>(bytes.size())));
    return bytes;
}

// Waits in AwaitRoom on a thread of its own, as a worker does, with a stop
// event of its own: set by the test, or on leaving, so that a wake-up that
// never comes fails the test instead of hanging it.
struct CWaiter {
    explicit CWaiter(CStreamIncoming& stream)
        : stop(true, false),
          result(std::async(std::launch::async, [&stream, this] { return stream.AwaitRoom(stop.GetHandle()); })) {}
    ~CWaiter() { stop.Set(); }
    bool Woke(DWORD ms = 5000) { return result.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready; }
    basalt::CEvent stop;
    std::future<bool> result;
};

}  // namespace

TEST(FlowControlledFill, TakesOnlyTheRoomAndNeverOverflows) {
    CStreamIncoming stream(16);
    auto counter = boost::make_shared<CEventCounter>();
    RegisterForAll(stream, counter);
    EXPECT_EQ(Fill(stream, 0, 10), 10u);
    EXPECT_EQ(Fill(stream, 10, 100), 6u);
    DWORD size = 99;
    EXPECT_EQ(stream.BeginFillRoom(100, 1, &size), nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(ReadAll(stream), PatternBytes(0, 16));
    EXPECT_EQ(counter->counts[eventIncomingOverflow], 0);

    // A worker that wants a whole packet waits for it; on a stream smaller
    // than that, the whole capacity is enough.
    BYTE taken[3];
    Fill(stream, 0, 100);
    stream.Read(taken, 3);
    EXPECT_EQ(Fill(stream, 0, 100, 4), 0u);
    stream.Read(taken, 1);
    EXPECT_EQ(Fill(stream, 16, 100, 4), 4u);
    stream.Clear();
    EXPECT_EQ(Fill(stream, 0, 100, 512), 16u);
}

TEST(FlowControlledFill, RoomReservedForAFillSurvivesAShrinkingCapacity) {
    CStreamIncoming stream(64);
    auto counter = boost::make_shared<CEventCounter>();
    RegisterForAll(stream, counter);
    Fill(stream, 0, 20);
    DWORD size = 0;
    BYTE* area = stream.BeginFillRoom(1000, 1, &size);
    ASSERT_EQ(size, 44u);
    // The client shrinks the stream while the worker's receive is under way.
    stream.SetCapacity(8);
    EXPECT_EQ(stream.GetCapacity(), 64u);
    auto bytes = PatternBytes(20, size);
    std::copy(bytes.begin(), bytes.end(), area);
    EXPECT_EQ(stream.EndFill(size), 44u);
    EXPECT_EQ(counter->counts[eventIncomingOverflow], 0);
    // Without a fill under way, the floor is the bytes held again.
    BYTE taken[4];
    stream.Read(taken, 4);
    stream.SetCapacity(8);
    EXPECT_EQ(stream.GetCapacity(), 60u);
    EXPECT_EQ(ReadAll(stream), PatternBytes(4, 60));
}

TEST(FlowControlledFill, AWaitingWorkerWakesOnRoomOrStop) {
    CStreamIncoming stream(8);
    DWORD size = 0;
    Fill(stream, 0, 8);

    // A Read that makes room wakes it; one of a full stream's count queries does not.
    ASSERT_EQ(stream.BeginFillRoom(8, 1, &size), nullptr);
    {
        CWaiter waiter(stream);
        EXPECT_EQ(stream.Read(nullptr, 0), 8u);
        EXPECT_FALSE(waiter.Woke(200));
        BYTE byte;
        stream.Read(&byte, 1);
        ASSERT_TRUE(waiter.Woke());
        EXPECT_TRUE(waiter.result.get());
    }
    EXPECT_EQ(Fill(stream, 8, 8), 1u);

    // So does a larger capacity, the client's own choice while the worker waits.
    ASSERT_EQ(stream.BeginFillRoom(8, 1, &size), nullptr);
    {
        CWaiter waiter(stream);
        EXPECT_FALSE(waiter.Woke(100));
        stream.SetCapacity(12);
        ASSERT_TRUE(waiter.Woke());
        EXPECT_TRUE(waiter.result.get());
    }
    EXPECT_EQ(Fill(stream, 9, 8), 4u);

    // And a purge; the stop ends a wait that no room would end.
    ASSERT_EQ(stream.BeginFillRoom(8, 1, &size), nullptr);
    {
        CWaiter waiter(stream);
        stream.Clear();
        ASSERT_TRUE(waiter.Woke());
    }
    EXPECT_EQ(Fill(stream, 0, 100), 12u);
    ASSERT_EQ(stream.BeginFillRoom(8, 1, &size), nullptr);
    {
        CWaiter waiter(stream);
        EXPECT_FALSE(waiter.Woke(100));
        waiter.stop.Set();
        ASSERT_TRUE(waiter.Woke());
        EXPECT_FALSE(waiter.result.get());
    }
}

// The client's Send wakes the sending worker for the first queued byte; more
// bytes while it has them in hand need no second wake-up.
namespace {

// An outgoing stream with a sending worker's notice and a client's counter.
struct CWorkerAndClient {
    CWorkerAndClient(DWORD capacity, EEventType clientEvent) : stream(capacity) {
        stream.SetWorkerNotice(INotice::CreateInstance(worker));
        stream.RegisterNotice(client, clientEvent);
    }
    CStreamOutgoing stream;
    basalt::COverlapped worker;
    boost::shared_ptr<CEventCounter> client = boost::make_shared<CEventCounter>();
};

}  // namespace

TEST(WorkerNotice, WakesOnTheFirstQueuedByteAndAfterEachPartialDrain) {
    CWorkerAndClient ends(64, eventOutgoingPending);
    CStreamOutgoing& stream = ends.stream;
    basalt::COverlapped& worker = ends.worker;
    auto& client = ends.client;
    BYTE bytes[4] = {1, 2, 3, 4};
    stream.Write(bytes, 4);
    EXPECT_TRUE(worker.GetEvent().IsSet());
    worker.GetEvent().Reset();
    DWORD size = 0;
    stream.BeginDrain(&size);
    stream.Write(bytes, 4);
    EXPECT_FALSE(worker.GetEvent().IsSet());
    EXPECT_EQ(client->counts[eventOutgoingPending], 2) << "the client's notices hear every Write";
    stream.EndDrain(size);
    EXPECT_TRUE(worker.GetEvent().IsSet()) << "the bytes queued during the drain";
    worker.GetEvent().Reset();
    stream.BeginDrain(&size);
    stream.EndDrain(size);
    stream.Write(bytes, 1);
    EXPECT_TRUE(worker.GetEvent().IsSet()) << "an emptied stream's next byte";
}

// A worker that keeps its bytes until the transport took them takes them in
// one step: oldest first, across the ring's wrap, with the events EndDrain
// fires, and what stays queued wakes it again.
TEST(WorkerTake, CopiesOnceOldestFirstAndFiresAsADrain) {
    CWorkerAndClient ends(8, eventOutgoingEmpty);
    CStreamOutgoing& stream = ends.stream;
    basalt::COverlapped& worker = ends.worker;
    auto& client = ends.client;
    const BYTE first[6] = {1, 2, 3, 4, 5, 6}, second[5] = {7, 8, 9, 10, 11};
    stream.Write(first, 6);
    worker.GetEvent().Reset();
    BYTE taken[8] = {};
    ASSERT_EQ(4u, stream.Take(taken, 4));
    EXPECT_EQ((std::vector<BYTE>{1, 2, 3, 4}), std::vector<BYTE>(taken, taken + 4));
    EXPECT_EQ(0, client->counts[eventOutgoingEmpty]);
    EXPECT_TRUE(worker.GetEvent().IsSet()) << "two bytes still queued";
    worker.GetEvent().Reset();
    stream.Write(second, 5);  // wraps: 5, 6, then 7 to 11 from the ring's start
    ASSERT_EQ(7u, stream.GetCount());
    EXPECT_EQ(7u, stream.Take(taken, sizeof taken));
    EXPECT_EQ((std::vector<BYTE>{5, 6, 7, 8, 9, 10, 11}), std::vector<BYTE>(taken, taken + 7));
    EXPECT_EQ(1, client->counts[eventOutgoingEmpty]);
    EXPECT_EQ(0u, stream.GetCount());
    EXPECT_EQ(0u, stream.Take(taken, sizeof taken));
}
