// Fill levels and the events they fire, one thread at a time.
#include "StreamTestKit.h"

#include <gtest/gtest.h>

using namespace corvane;
using namespace streams_test;
using Events = std::vector<EEventType>;

namespace {

// A stream with every event logged, and the worker's and client's moves.
template <class TStream>
struct Logged {
    explicit Logged(DWORD capacity) : stream(capacity), log(CRecorder::Listen(stream)) {}
    DWORD Receive(std::uint64_t from, DWORD count) {
        auto bytes = PatternBytes(from, count);
        std::copy(bytes.begin(), bytes.end(), stream.BeginFill(count));
        return stream.EndFill(count);
    }
    std::vector<BYTE> Read(DWORD size) {
        std::vector<BYTE> bytes(size);
        bytes.resize(stream.Read(bytes.data(), size));
        return bytes;
    }
    DWORD Write(std::uint64_t from, DWORD count) { return stream.Write(PatternBytes(from, count).data(), count); }
    std::vector<BYTE> Staged() {
        DWORD size = 12345;
        BYTE* staging = stream.BeginDrain(&size);
        return staging ? std::vector<BYTE>(staging, staging + size) : std::vector<BYTE>();
    }
    TStream stream;
    boost::shared_ptr<CRecorder> log;
};

}  // namespace

TEST(OutgoingStream, QueuesWhatFitsAndOffersUnconfirmedBytesAgain) {
    Logged<CStreamOutgoing> f(16);
    EXPECT_EQ(f.Write(0, 10), 10u);
    EXPECT_EQ(f.Write(10, 10), 6u);
    EXPECT_EQ(f.Write(16, 3), 0u);
    EXPECT_EQ(f.Write(16, 0), 0u);
    EXPECT_EQ(f.log->Take(), (Events{eventOutgoingPending, eventOutgoingPending, eventOutgoingOverflow,
                                     eventOutgoingOverflow}));
    EXPECT_THROW(f.stream.Write(nullptr, 5), basalt::CWinException);

    EXPECT_EQ(f.Staged(), PatternBytes(0, 16));
    EXPECT_EQ(f.stream.EndDrain(3), 3u);
    EXPECT_EQ(f.Staged(), PatternBytes(3, 13));
    EXPECT_EQ(f.stream.GetDrainLength(), 13u);
    EXPECT_EQ(f.stream.EndDrain(20), 13u);  // never more than was staged
    EXPECT_EQ(f.log->Take(), (Events{eventOutgoingPending, eventOutgoingEmpty}));
    EXPECT_TRUE(f.Staged().empty());
    EXPECT_EQ(f.stream.EndDrain(0), 0u);  // only fires: wakes a sending worker
    EXPECT_EQ(f.log->Take(), (Events{eventOutgoingEmpty}));

    // A purge while a chunk is in flight: its confirmation must not eat the
    // bytes queued since.
    f.Write(0, 8);
    f.Staged();
    f.stream.Clear();
    f.Write(100, 4);
    EXPECT_EQ(f.stream.EndDrain(8), 0u);
    EXPECT_EQ(f.Staged(), PatternBytes(100, 4));
    EXPECT_EQ(f.log->Take(), (Events{eventOutgoingPending, eventOutgoingEmpty, eventOutgoingPending,
                                     eventOutgoingPending}));
}

TEST(IncomingStream, ReadsOldestFirstAndFillDropsOnlyTheSurplus) {
    Logged<CStreamIncoming> f(16);
    EXPECT_EQ(f.Receive(0, 10), 10u);
    EXPECT_EQ(f.Read(4), PatternBytes(0, 4));
    EXPECT_EQ(f.stream.Read(nullptr, 100), 6u);  // a count query fires nothing
    EXPECT_EQ(f.Receive(10, 13), 10u);
    EXPECT_EQ(f.Receive(20, 1), 0u);
    EXPECT_EQ(f.log->Take(), (Events{eventDataAvailable, eventDataAvailable, eventDataAvailable,
                                     eventIncomingOverflow, eventIncomingOverflow}));
    EXPECT_EQ(f.Read(100), PatternBytes(4, 16));  // crosses the end of the ring
    EXPECT_EQ(f.Read(5).size(), 0u);
    EXPECT_EQ(f.log->Take(), (Events{eventIncomingEmpty, eventIncomingEmpty}));

    // A worker cannot hand in more than it asked room for, nor anything without asking.
    f.stream.BeginFill(4);
    EXPECT_EQ(f.stream.EndFill(4000), 4u);
    EXPECT_EQ(f.stream.EndFill(4), 0u);
    f.stream.Clear();
    EXPECT_EQ(f.log->Take(), (Events{eventDataAvailable, eventIncomingEmpty}));

    // One byte left is still data: only the Read that takes the last tells of an empty stream.
    f.Receive(0, 2);
    EXPECT_EQ(f.Read(1).size(), 1u);
    EXPECT_EQ(f.Read(1).size(), 1u);
    EXPECT_EQ(f.log->Take(), (Events{eventDataAvailable, eventDataAvailable, eventIncomingEmpty}));
}

TEST(Streams, CapacityChangesKeepEveryByteInOrder) {
    Logged<CStreamIncoming> f(16);
    f.Receive(0, 10);
    f.Read(8);
    f.Receive(10, 12);  // 14 bytes from index 8, wrapped
    f.stream.SetCapacity(4);
    EXPECT_EQ(f.stream.GetCapacity(), 14u);
    f.stream.SetCapacity(64);
    EXPECT_EQ(f.Receive(22, 40), 40u);
    f.stream.SetCapacity(13);
    EXPECT_EQ(f.stream.GetCapacity(), 54u);
    EXPECT_EQ(f.Read(200), PatternBytes(8, 54));

    f.stream.SetCapacity(0);
    f.log->Take();
    EXPECT_EQ(f.Receive(0, 5), 0u);
    EXPECT_EQ(f.log->Take(), (Events{eventIncomingOverflow}));
}

TEST(Streams, ResetEmptiesQuietlyAndDropsRegistrationsOnlyWhenAsked) {
    Logged<CStreamOutgoing> f(16);
    f.stream.SetStatusWord(0x30);
    f.Write(0, 5);
    f.Staged();
    EXPECT_EQ(f.log->Take(), (Events{eventStateChanged, eventOutgoingPending}));

    f.stream.Reset(false);
    EXPECT_EQ(f.log->Take(), Events{});
    EXPECT_EQ(f.stream.GetCount() + f.stream.GetStatusWord() + f.stream.GetDrainLength(), 0u);
    EXPECT_EQ(f.stream.GetCapacity(), 16u);
    f.Write(0, 1);
    EXPECT_EQ(f.log->Take(), (Events{eventOutgoingPending}));

    f.stream.Reset(true);
    f.Write(0, 1);
    EXPECT_EQ(f.log->Take(), Events{});
}

// A worker's operation in the ring's own memory, while the client reads,
// purges and resizes: every byte lands once, in order, and the bytes under
// the worker's pointer never change.
TEST(InPlaceFill, LandsWhereTheNextByteBelongsWhateverTheClientDid) {
    Logged<CStreamIncoming> f(16);
    auto fill = [&](BYTE* area, std::uint64_t from, DWORD count) {
        auto bytes = PatternBytes(from, count);
        std::copy(bytes.begin(), bytes.end(), area);
        return f.stream.EndFill(count);
    };
    f.Receive(0, 4);
    BYTE* area = f.stream.BeginFill(6);
    EXPECT_EQ(f.Read(4), PatternBytes(0, 4));  // empties the ring under the fill
    EXPECT_EQ(fill(area, 4, 6), 6u);
    EXPECT_EQ(f.Read(16), PatternBytes(4, 6));

    f.Receive(10, 5);
    area = f.stream.BeginFill(6);
    f.stream.Clear();
    EXPECT_EQ(fill(area, 20, 6), 6u);
    f.Receive(26, 3);
    EXPECT_EQ(f.Read(16), PatternBytes(20, 9));

    // Grown, then shrunk to what it holds, while filled: the fill lands all
    // the same, as long as there is room for it.
    f.Receive(40, 9);
    DWORD room = 0;
    area = f.stream.BeginFillRoom(8, 1, &room);
    ASSERT_EQ(room, 7u) << "in one piece, up to the end of the memory";
    EXPECT_EQ(f.Read(16), PatternBytes(40, 9));
    f.stream.SetCapacity(64);
    f.stream.SetCapacity(1);
    EXPECT_EQ(f.stream.GetCapacity(), 7u) << "the room of the fill stays reserved";
    EXPECT_EQ(fill(area, 30, 7), 7u);
    EXPECT_EQ(f.Read(16), PatternBytes(30, 7));

    f.stream.SetCapacity(16);
    f.Receive(0, 10);
    area = f.stream.BeginFill(6);
    f.stream.SetCapacity(10);  // a plain fill reserves nothing: its bytes no longer fit
    f.log->Take();
    EXPECT_EQ(fill(area, 10, 6), 0u);
    EXPECT_EQ(f.log->Take(), (Events{eventIncomingOverflow}));
    EXPECT_EQ(f.Read(16), PatternBytes(0, 10));
}

TEST(InPlaceDrain, ChunkInFlightStaysIntactAndThePurgeCostsNoRoom) {
    Logged<CStreamOutgoing> f(16);
    f.Write(0, 8);
    DWORD size = 0;
    const BYTE* chunk = f.stream.BeginDrain(&size);
    ASSERT_EQ(size, 8u);
    f.stream.Clear();
    f.log->Take();
    EXPECT_EQ(f.Write(100, 16), 16u) << "the purged chunk takes no room from the client";
    EXPECT_EQ(f.log->Take(), (Events{eventOutgoingPending}));
    EXPECT_EQ(std::vector<BYTE>(chunk, chunk + size), PatternBytes(0, 8));
    EXPECT_EQ(f.stream.EndDrain(8), 0u);
    EXPECT_EQ(f.Staged(), PatternBytes(100, 16));
    f.stream.EndDrain(16);

    f.Write(0, 8);
    chunk = f.stream.BeginDrain(&size);
    f.stream.SetCapacity(32);
    f.Write(8, 20);
    f.stream.SetCapacity(28);
    EXPECT_EQ(std::vector<BYTE>(chunk, chunk + size), PatternBytes(0, 8));
    EXPECT_EQ(f.stream.EndDrain(5), 5u);
    EXPECT_EQ(f.Staged(), PatternBytes(5, 23));
}
