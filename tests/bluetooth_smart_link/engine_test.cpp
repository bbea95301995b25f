// The link engine on values: what it writes and delivers for each frame.
#include "BluetoothSmart/LinkEngine.h"

#include <basalt/Exceptions.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using corvane::CFrameSlots;
using corvane::CLinkEngine;
using corvane::CLinkRules;
namespace link = corvane::link;

namespace {

typedef std::vector<BYTE> Bytes;

struct CWritten {
    Bytes bytes;
    bool control;
};

// Records what the engine writes and delivers; its queue plays the outgoing stream.
class CRecorder : public corvane::ILinkIO {
public:
    void WriteFrame(const BYTE* frame, DWORD size, bool control) override {
        written.push_back({Bytes(frame, frame + size), control});
    }
    DWORD TakeOutgoing(BYTE* buffer, DWORD size) override {
        DWORD count = static_cast<DWORD>(std::min<size_t>(size, queue.size()));
        std::copy(queue.begin(), queue.begin() + count, buffer);
        queue.erase(queue.begin(), queue.begin() + count);
        return count;
    }
    void Deliver(const BYTE* data, DWORD size) override { delivered.insert(delivered.end(), data, data + size); }

    std::vector<CWritten> Take() {
        std::vector<CWritten> taken;
        taken.swap(written);
        return taken;
    }

    std::vector<CWritten> written;
    Bytes queue;
    Bytes delivered;
};

Bytes Sequence(size_t count, BYTE first = 0) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<BYTE>(first + i);
    return bytes;
}

Bytes Frame(BYTE ack, BYTE sequence, const Bytes& payload) {
    Bytes frame = {ack, sequence};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

const DWORD kStart = 1000000;  // a tick well away from 0
const DWORD kSpan = 1000;      // T × 10 ms with T = 100

class CPortTest : public ::testing::Test {
protected:
    explicit CPortTest(const CLinkRules& rules = CLinkRules::Reliable()) : engine(CLinkEngine::rolePort, io, rules) {}

    void Receive(const Bytes& frame, DWORD now = kStart) {
        engine.Receive(frame.data(), static_cast<DWORD>(frame.size()), now);
    }

    // Connect request, parameters, confirm, accepted; what was written is dropped.
    void LinkUp(const Bytes& parameters = {0x00, 0x01, 0x10, 0x20, 0x50, 0xFF}) {
        engine.Start(kStart);
        Bytes frame = {link::linkParameters};
        frame.insert(frame.end(), parameters.begin(), parameters.end());
        Receive(frame);
        Receive({link::linkAccepted});
        io.Take();
    }

    // Queues count payload frames' worth and sends them; answers the frames.
    std::vector<CWritten> SendFrames(size_t frames, DWORD now = kStart) {
        Bytes bytes = Sequence(frames * link::maxPayload);
        io.queue.insert(io.queue.end(), bytes.begin(), bytes.end());
        engine.SendPhase(now);
        return io.Take();
    }

    // The error code a frame ends the link with; 0 when it does not.
    DWORD ErrorOf(const Bytes& frame) {
        try {
            Receive(frame);
        } catch (const basalt::CWinException& e) {
            EXPECT_EQ(basalt::ustring(L"corvane::CBluetoothSmartPort::ThreadProcFn"), e.GetFunction());
            EXPECT_EQ(basalt::ustring(L"BluetoothSmart"), e.GetFile());
            return e.GetErrorCode();
        }
        return 0;
    }

    CRecorder io;
    CLinkEngine engine;
};

}  // namespace

// --- Handshake ------------------------------------------------------------------

TEST_F(CPortTest, HandshakeTakesWindowAndTimerFromTheParameters) {
    engine.Start(kStart);
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(Bytes{0xC0}, written[0].bytes);
    EXPECT_TRUE(written[0].control);

    Receive({0xC1, 0x00, 0x01, 0x10, 0x20, 0x50, 0xFF});
    written = io.Take();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ((Bytes{0xC2, 0x01, 0x20, 0x64}), written[0].bytes);
    EXPECT_TRUE(written[0].control);
    EXPECT_EQ(32, engine.GetWindow());
    EXPECT_EQ(100, engine.GetTimerUnit());
    EXPECT_EQ(333u, engine.GetWaitTimeout());
    EXPECT_FALSE(engine.IsLinked());

    Receive({0xC6});
    EXPECT_TRUE(engine.IsLinked());
    EXPECT_TRUE(io.Take().empty());
}

TEST_F(CPortTest, TimerUnitIsAtLeast100UnlessTheDeviceCapsItLower) {
    struct {
        BYTE p4, p5, timer;
    } cases[] = {{200, 150, 150}, {0x50, 50, 50}, {250, 255, 250}, {0, 255, 100}, {0, 0, 0}};
    for (const auto& c : cases) {
        engine.Start(kStart);
        io.Take();
        Receive({0xC1, 0x00, 0x01, 0x10, 0x20, c.p4, c.p5});
        std::vector<CWritten> written = io.Take();
        ASSERT_EQ(1u, written.size());
        EXPECT_EQ((Bytes{0xC2, 0x01, 0x20, c.timer}), written[0].bytes) << int(c.p4) << "/" << int(c.p5);
    }
    // A unit of 0 still leaves the worker a time-out to wait with.
    EXPECT_GT(engine.GetWaitTimeout(), 0u);
}

TEST_F(CPortTest, WindowAboveThe32ThatSequenceBytesCarryIsClamped) {
    engine.Start(kStart);
    io.Take();
    Receive({0xC1, 0x01, 0x01, 0x10, 0x40, 0x64, 0xFF});
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ((Bytes{0xC2, 0x01, 0x20, 0x64}), written[0].bytes);
    EXPECT_EQ(32, engine.GetWindow());
}

TEST_F(CPortTest, LaterParametersFrameIsAnsweredAndLeavesTheLinkRunning) {
    LinkUp();
    SendFrames(2);
    Receive({0xC1, 0x00, 0x01, 0x08, 0x10, 0x64, 0xFF});
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ((Bytes{0xC2, 0x01, 0x10, 0x64}), written[0].bytes);
    EXPECT_TRUE(engine.IsLinked());
    EXPECT_EQ(3u, engine.GetTxNext());
    EXPECT_EQ(2u, engine.GetSendWindowCount());
    EXPECT_EQ(16, engine.GetWindow());
}

TEST_F(CPortTest, InvalidParametersAndAbortEndTheLinkWith1359) {
    const Bytes bad[] = {
        {0xC1, 0x02, 0x01, 0x10, 0x20, 0x50, 0xFF},  // p0 above 1
        {0xC1, 0x00, 0x00, 0x10, 0x20, 0x50, 0xFF},  // p1 of 0
        {0xC1, 0x00, 0x01, 0x00, 0x00, 0x50, 0xFF},  // W of 0
        {0xC1, 0x00, 0x01, 0x01, 0x00, 0x50, 0xFF},  // W of 1: one sequence number for every frame
        {0xD5},
    };
    for (const Bytes& frame : bad) {
        engine.Start(kStart);
        io.Take();
        EXPECT_EQ(DWORD(ERROR_INTERNAL_ERROR), ErrorOf(frame)) << int(frame[0]);
        EXPECT_TRUE(io.Take().empty()) << "no confirm for a refused frame";
    }
}

TEST_F(CPortTest, ControlFramesOfAnotherLengthOrKindAreIgnored) {
    engine.Start(kStart);
    io.Take();
    const Bytes ignored[] = {{0xC1, 0x00, 0x01, 0x10, 0x20, 0x50},  // six bytes
                             {0xC6, 0x00},
                             {0xD5, 0x00},
                             {0xC0},                                // the port's own request
                             {0xC2, 0x01, 0x20, 0x64},
                             {0xE7}};
    for (const Bytes& frame : ignored) EXPECT_EQ(0u, ErrorOf(frame));
    EXPECT_TRUE(io.Take().empty());
    EXPECT_FALSE(engine.IsLinked());
}

TEST_F(CPortTest, DataBeforeTheLinkIsAcceptedIsDroppedAndNothingIsSent) {
    engine.Start(kStart);
    Receive({0xC1, 0x00, 0x01, 0x10, 0x20, 0x50, 0xFF});
    io.Take();
    Receive(Frame(0x00, 1, {1, 2, 3}));
    engine.Deliver(kStart);
    EXPECT_TRUE(io.delivered.empty());
    EXPECT_TRUE(SendFrames(1).empty());
    EXPECT_EQ(size_t(link::maxPayload), io.queue.size()) << "queued bytes wait for the link";
}

// --- Sending ----------------------------------------------------------------------

TEST_F(CPortTest, FortyBytesLeaveAsFramesOf18And18And4InOneBurst) {
    LinkUp();
    io.queue = Sequence(40);
    engine.SendPhase(kStart);
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(3u, written.size());
    EXPECT_EQ(Frame(0x00, 1, Sequence(18, 0)), written[0].bytes);
    EXPECT_EQ(Frame(0x00, 2, Sequence(18, 18)), written[1].bytes);
    EXPECT_EQ(Frame(0x00, 3, Sequence(4, 36)), written[2].bytes);
    for (const CWritten& frame : written) EXPECT_FALSE(frame.control) << "data frames go without response";
    EXPECT_EQ(3u, engine.GetSendWindowCount());
    EXPECT_TRUE(io.queue.empty());
}

TEST_F(CPortTest, SenderKeepsAtMost12FramesUnacknowledgedAnd8WithFastRecovery) {
    LinkUp();
    EXPECT_EQ(12u, SendFrames(40).size());
    EXPECT_EQ(12u, engine.GetSendWindowCount());
    EXPECT_TRUE(SendFrames(0, kStart + 1).empty());

    CRecorder fastIo;
    CLinkEngine fast(CLinkEngine::rolePort, fastIo, CLinkRules::Fast());
    fast.Start(kStart);
    const BYTE parameters[] = {0xC1, 0x00, 0x01, 0x10, 0x20, 0x50, 0xFF}, accepted[] = {0xC6};
    fast.Receive(parameters, 7, kStart);
    fast.Receive(accepted, 1, kStart);
    fastIo.queue = Sequence(40 * link::maxPayload);
    fast.SendPhase(kStart);
    EXPECT_EQ(8u, fast.GetSendWindowCount());
}

TEST_F(CPortTest, AckRemovesThroughItsNumberAndUnackedFramesAreResentWithTheFlag) {
    LinkUp();
    ASSERT_EQ(5u, SendFrames(5).size());
    Receive({0x43}, kStart + 100);  // frames 1 to 3
    EXPECT_TRUE(engine.TakeSendNow());
    EXPECT_EQ(2u, engine.GetSendWindowCount());

    // The ACK restarted the timer of frames 4 and 5.
    engine.SendPhase(kStart + 100 + kSpan - 1);
    EXPECT_TRUE(io.Take().empty());
    engine.SendPhase(kStart + 100 + kSpan);
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(2u, written.size());
    EXPECT_EQ(0x24, written[0].bytes[1]);
    EXPECT_EQ(0x25, written[1].bytes[1]);
    EXPECT_EQ(Sequence(18, 54), Bytes(written[0].bytes.begin() + 2, written[0].bytes.end()));
}

TEST_F(CPortTest, NakSendsTheRestAgainAtOnceMarkedAsResent) {
    LinkUp();
    ASSERT_EQ(3u, SendFrames(3).size());
    Receive({0x81}, kStart + 10);  // frame 1 arrived, a gap after it
    engine.SendPhase(kStart + 10);
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(2u, written.size());
    EXPECT_EQ(0x22, written[0].bytes[1]) << "the receiver can tell the copy from a first send";
    EXPECT_EQ(0x23, written[1].bytes[1]);
}

TEST_F(CPortTest, AckOrNakMatchingNoFrameRemovesNothing) {
    LinkUp();
    ASSERT_EQ(3u, SendFrames(3).size());
    // "Nothing new": the number of the last frame before the window.
    Receive({0x40}, kStart + 10);
    EXPECT_EQ(3u, engine.GetSendWindowCount());
    engine.SendPhase(kStart + 10);
    EXPECT_TRUE(io.Take().empty()) << "a stale ACK must not put the resend off or trigger one";
    // A NAK repeating that number still asks for the window.
    Receive({0x80}, kStart + 20);
    EXPECT_EQ(3u, engine.GetSendWindowCount());
    engine.SendPhase(kStart + 20);
    EXPECT_EQ(3u, io.Take().size());
}

TEST_F(CPortTest, TimeoutResendsTheWholeWindowAcrossTheTickWrap) {
    const DWORD start = 0xFFFFFF00;
    engine.Start(start);
    Receive({0xC1, 0x00, 0x01, 0x10, 0x20, 0x50, 0xFF}, start);
    Receive({0xC6}, start);
    io.Take();
    ASSERT_EQ(2u, SendFrames(2, start).size());
    engine.SendPhase(start + kSpan - 1);
    EXPECT_TRUE(io.Take().empty());
    engine.SendPhase(start + kSpan);  // past the wrap
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(2u, written.size());
    EXPECT_EQ(0x21, written[0].bytes[1]);
    EXPECT_EQ(0x22, written[1].bytes[1]);
    EXPECT_EQ(1u, engine.GetCounters().timeouts);
}

// Seventy frames each way, so that the numbering wraps twice: every ACK names
// the last frame received modulo W, and the sender's window follows it.
TEST_F(CPortTest, AcknowledgementsFollowTheSequenceAcrossTheWrap) {
    LinkUp();
    for (DWORD number = 1; number <= 70; ++number) {
        Receive(Frame(0x00, static_cast<BYTE>(number % 32), {static_cast<BYTE>(number)}));
        engine.Deliver(kStart);
        engine.SendPhase(kStart);
        std::vector<CWritten> written = io.Take();
        ASSERT_EQ(1u, written.size()) << "frame " << number;
        EXPECT_EQ(Bytes{static_cast<BYTE>(0x40 | number % 32)}, written[0].bytes) << "frame " << number;
    }
    EXPECT_EQ(Sequence(70, 1), io.delivered);

    io.queue = Sequence(70 * link::maxPayload);
    DWORD sent = 0;
    for (int round = 0; round < 20 && sent < 70; ++round) {
        engine.SendPhase(kStart);
        for (const CWritten& frame : io.Take()) {
            ++sent;
            ASSERT_EQ(BYTE(sent % 32), frame.bytes.at(1)) << "frame " << sent;
        }
        // The device acknowledges all but the newest frame of the burst.
        DWORD window = static_cast<DWORD>(engine.GetSendWindowCount());
        ASSERT_GT(window, 0u);
        Receive({static_cast<BYTE>(0x40 | (sent - 1) % 32)});
        EXPECT_EQ(1u, engine.GetSendWindowCount()) << "after frame " << sent;
    }
    EXPECT_EQ(70u, sent);
}

// --- Receiving ----------------------------------------------------------------------

TEST_F(CPortTest, FramesOfOnePassAreDeliveredInNumberOrder) {
    LinkUp();
    CFrameSlots slots;
    slots.Allocate();
    for (BYTE sequence : {3, 1, 2}) {
        Bytes frame = Frame(0x00, sequence, {sequence, sequence});
        ASSERT_TRUE(slots.File(frame.data(), static_cast<DWORD>(frame.size()), kStart));
    }
    BYTE frame[link::maxFrame];
    DWORD filedAt = 0;
    for (DWORD position = 0; position < CFrameSlots::slotCount; ++position)
        if (DWORD size = slots.Take(CFrameSlots::SlotAt(position), frame, filedAt)) engine.Receive(frame, size, kStart, filedAt);
    engine.Deliver(kStart);
    EXPECT_EQ((Bytes{1, 1, 2, 2, 3, 3}), io.delivered);
    EXPECT_EQ(4u, engine.GetRxNext());
    EXPECT_EQ(0u, engine.GetGapSince());
}

// A NAK of a number already acknowledged (here 0, before any frame) names
// nothing a device holds: a device on the plain rules would empty its window
// and lose frames 1 and 2. A gap is answered with an ACK of what did arrive
// in order, at once, and never with an older number.
TEST_F(CPortTest, GapIsAnsweredWithAForwardAckAndNeverWithAnAcknowledgedNumber) {
    LinkUp();
    Receive(Frame(0x00, 3, {7}));
    engine.Deliver(kStart);
    EXPECT_TRUE(io.delivered.empty());
    EXPECT_EQ(1u, engine.GetReorderCount());
    EXPECT_EQ(kStart, engine.GetGapSince());
    engine.SendPhase(kStart + kSpan + 1);
    EXPECT_TRUE(io.Take().empty()) << "no NAK 0";

    Receive(Frame(0x00, 1, {5}), kStart + kSpan + 2);
    engine.Deliver(kStart + kSpan + 2);
    EXPECT_TRUE(engine.IsAckDue(kStart + kSpan + 2)) << "the device waits on it to resend frame 2";
    engine.SendPhase(kStart + kSpan + 2);
    EXPECT_EQ(Bytes{0x41}, io.Take().at(0).bytes);
    engine.SendPhase(kStart + 3 * kSpan);
    EXPECT_TRUE(io.Take().empty()) << "no NAK 1 either";

    // With data waiting, an acknowledgement rides in byte 0 of the burst's first frame.
    Receive(Frame(0x00, 2, {6}), kStart + 3 * kSpan);
    engine.Deliver(kStart + 3 * kSpan);
    EXPECT_EQ((Bytes{5, 6, 7}), io.delivered);
    io.queue = Sequence(20);
    engine.SendPhase(kStart + 3 * kSpan);
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(2u, written.size());
    EXPECT_EQ(0x43, written[0].bytes[0]);
    EXPECT_EQ(0x00, written[1].bytes[0]);
}

TEST_F(CPortTest, AckGoesOutAfterAThirdOfTheFramesInFlight) {
    LinkUp();
    for (BYTE sequence = 1; sequence <= 3; ++sequence) Receive(Frame(0x00, sequence, {sequence}));
    engine.Deliver(kStart);
    EXPECT_FALSE(engine.IsAckDue(kStart));
    Receive(Frame(0x00, 4, {4}));
    engine.Deliver(kStart);
    EXPECT_TRUE(engine.IsAckDue(kStart)) << "4 frames: a third of the 12 the device may send";
    engine.SendPhase(kStart);
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(Bytes{0x44}, written[0].bytes);
    EXPECT_FALSE(engine.IsAckDue(kStart));
}

TEST_F(CPortTest, ResentFrameIsNumberedWithoutItsFlag) {
    LinkUp();
    Receive(Frame(0x00, 0x21, {9}));
    engine.Deliver(kStart);
    EXPECT_EQ(Bytes{9}, io.delivered);
}

// A device on the plain rules sends a whole window at once, in order.
TEST_F(CPortTest, FullWindowBurstIsKeptAndAcknowledgedOnce) {
    LinkUp();
    CFrameSlots slots;
    slots.Allocate();
    for (DWORD number = 1; number <= 32; ++number) {
        Bytes frame = Frame(0x00, static_cast<BYTE>(number % 32), {static_cast<BYTE>(number)});
        ASSERT_TRUE(slots.File(frame.data(), static_cast<DWORD>(frame.size()), kStart));
    }
    BYTE frame[link::maxFrame];
    DWORD filedAt = 0;
    for (DWORD position = 0; position < CFrameSlots::slotCount; ++position)
        if (DWORD size = slots.Take(CFrameSlots::SlotAt(position), frame, filedAt)) engine.Receive(frame, size, kStart, filedAt);
    engine.Deliver(kStart);
    EXPECT_EQ(Sequence(32, 1), io.delivered);
    engine.SendPhase(kStart);
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(Bytes{0x40}, written[0].bytes) << "ACK 32";
    EXPECT_EQ(0u, engine.GetCounters().duplicates);
}

// Copies of delivered frames are dropped without an answer, except a copy
// resent after a time-out well after our last ACK: that ACK was lost, and
// only then may it be repeated.
TEST_F(CPortTest, CopiesOfDeliveredFramesAreDroppedAndOnlyALostAckIsRepeated) {
    LinkUp();
    Receive(Frame(0x00, 1, {1}));
    Receive(Frame(0x00, 2, {2}));
    engine.Deliver(kStart);
    engine.SendPhase(kStart);
    ASSERT_EQ(Bytes{0x42}, io.Take().at(0).bytes);

    Receive(Frame(0x00, 1, {1}), kStart + 10);  // a copy on the way
    engine.Deliver(kStart + 10);
    EXPECT_EQ(0u, engine.GetReorderCount()) << "not kept as frame 33";
    EXPECT_FALSE(engine.IsAckDue(kStart + 10));
    Receive(Frame(0x00, 0x21, {1}), kStart + 100);  // resent, crossing our ACK
    engine.Deliver(kStart + 100);
    EXPECT_FALSE(engine.IsAckDue(kStart + 100));
    engine.SendPhase(kStart + 100);
    EXPECT_TRUE(io.Take().empty()) << "a repeated ACK would empty a plain device's window";

    Receive(Frame(0x00, 0x21, {1}), kStart + kSpan);  // resent long after the ACK: it was lost
    engine.Deliver(kStart + kSpan);
    EXPECT_TRUE(engine.IsAckDue(kStart + kSpan));
    engine.SendPhase(kStart + kSpan);
    EXPECT_EQ(Bytes{0x42}, io.Take().at(0).bytes);
    EXPECT_EQ((Bytes{1, 2}), io.delivered);
    EXPECT_EQ(1u, engine.GetCounters().repeatedAcks);
}

TEST(FastRecovery, ReceiverKeepsOneFrameForAnEarlyNak) {
    CRecorder io;
    CLinkEngine engine(CLinkEngine::rolePort, io, CLinkRules::Fast());
    engine.Start(kStart);
    const BYTE parameters[] = {0xC1, 0x00, 0x01, 0x10, 0x20, 0x50, 0xFF}, accepted[] = {0xC6};
    engine.Receive(parameters, 7, kStart);
    engine.Receive(accepted, 1, kStart);
    io.Take();
    for (BYTE sequence : {1, 2}) {
        Bytes frame = Frame(0x00, sequence, {sequence});
        engine.Receive(frame.data(), static_cast<DWORD>(frame.size()), kStart);
    }
    engine.Deliver(kStart);
    ASSERT_TRUE(engine.IsAckDue(kStart));
    engine.SendPhase(kStart);
    EXPECT_EQ(Bytes{0x41}, io.Take().at(0).bytes) << "frame 2 stays with the sender";

    Bytes later = Frame(0x00, 4, {4});  // frame 3 lost
    engine.Receive(later.data(), static_cast<DWORD>(later.size()), kStart + 5);
    engine.Deliver(kStart + 5);
    ASSERT_TRUE(engine.IsAckDue(kStart + 5)) << "a gap is answered at once";
    engine.SendPhase(kStart + 5);
    EXPECT_EQ(Bytes{0x82}, io.Take().at(0).bytes);
    EXPECT_FALSE(engine.IsAckDue(kStart + 6)) << "one NAK per gap";
}

TEST(FastRecovery, SenderResendsOnlyTheLowestFrameAfterTheAdaptiveTimeout) {
    CRecorder io;
    CLinkEngine engine(CLinkEngine::rolePort, io, CLinkRules::Fast());
    engine.Start(kStart);
    const BYTE parameters[] = {0xC1, 0x00, 0x01, 0x10, 0x20, 0x50, 0xFF}, accepted[] = {0xC6};
    engine.Receive(parameters, 7, kStart);
    engine.Receive(accepted, 1, kStart);
    io.queue = Sequence(4 * link::maxPayload);
    engine.SendPhase(kStart);
    const BYTE ack1[] = {0x41};
    engine.Receive(ack1, 1, kStart + 40);  // a 40 ms round trip
    EXPECT_EQ(120u, engine.GetRetransmitTimeout()) << "40 + 4 x 20";
    io.Take();

    engine.SendPhase(kStart + 40 + 119);
    EXPECT_TRUE(io.Take().empty());
    engine.SendPhase(kStart + 40 + 120);
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(0x22, written[0].bytes[1]);
    engine.SendPhase(kStart + 40 + 120 + 239);
    EXPECT_TRUE(io.Take().empty()) << "the time-out doubles after a resend";
    engine.SendPhase(kStart + 40 + 120 + 240);
    EXPECT_EQ(1u, io.Take().size());
}

// Slots the stack fills while the worker's pass runs: link accepted and the
// first data frame land after the pass took the shared slot, and before it
// reaches the data frame's slot.
class CFilledDuringPass : public corvane::ILinkSlots {
public:
    CFilledDuringPass() { slots.Allocate(); }
    DWORD TakeSlot(DWORD slot, BYTE* frame, DWORD& filedAt) override {
        DWORD size = slots.Take(slot, frame, filedAt);
        if (slot == CFrameSlots::otherSlot && !filed) {
            filed = true;
            const BYTE accepted[] = {0xC6};
            const BYTE data[] = {0x00, 1, 42};
            slots.File(accepted, 1, 0);
            slots.File(data, 3, 0);
        }
        return size;
    }

    CFrameSlots slots;
    bool filed = false;
};

TEST(FrameSlots, LinkAcceptedFiledDuringAPassStillComesBeforeTheDataBehindIt) {
    CRecorder io;
    CLinkEngine engine(CLinkEngine::rolePort, io);
    CFilledDuringPass slots;
    corvane::CLinkWorker worker(engine, slots);
    worker.Start(kStart);
    const BYTE parameters[] = {0xC1, 0x00, 0x01, 0x10, 0x20, 0x50, 0xFF};
    engine.Receive(parameters, 7, kStart);
    worker.OnWake(corvane::CLinkWorker::wakeFrame, kStart);
    EXPECT_TRUE(engine.IsLinked());
    EXPECT_EQ(Bytes{42}, io.delivered) << "the frame behind link accepted is not dropped";
}

// --- Frame slots --------------------------------------------------------------------

TEST(FrameSlots, ValuesGoToTheSlotOfTheirSequenceByteOrToTheLastSlot) {
    CFrameSlots slots;
    const BYTE data[21] = {0x00, 7, 1, 2};
    EXPECT_FALSE(slots.File(data, 4, 0)) << "nothing is filed before Open allocates";
    slots.Allocate();
    EXPECT_FALSE(slots.File(data, 0, 0));
    EXPECT_FALSE(slots.File(data, 21, 0));

    EXPECT_EQ(7u, CFrameSlots::SlotOf(data, 4));
    const BYTE ack[] = {0x41, 7, 1};
    EXPECT_EQ(7u, CFrameSlots::SlotOf(ack, 3)) << "a payload must not share the acknowledgements' slot";
    EXPECT_EQ(256u, CFrameSlots::SlotOf(ack, 1));
    EXPECT_EQ(256u, CFrameSlots::SlotOf(data, 1));
    const BYTE control[] = {0xC1, 0, 1, 16, 32, 80, 255};
    EXPECT_EQ(256u, CFrameSlots::SlotOf(control, 7));

    ASSERT_TRUE(slots.File(data, 4, 100));
    const BYTE newer[] = {0x00, 7, 9};
    ASSERT_TRUE(slots.File(newer, 3, 140));
    BYTE frame[20];
    DWORD filedAt = 0;
    ASSERT_EQ(3u, slots.Take(7, frame, filedAt)) << "an unprocessed frame is overwritten";
    EXPECT_EQ(9, frame[2]);
    EXPECT_EQ(140u, filedAt) << "the newer frame's arrival";
    EXPECT_EQ(0u, slots.Take(7, frame, filedAt));
}

// --- The device's end -------------------------------------------------------------

TEST(DeviceEnd, AnswersTheRequestAndAdoptsTheConfirmedWindow) {
    CRecorder io;
    CLinkEngine device(CLinkEngine::roleDevice, io);
    const BYTE offered[6] = {0x00, 0x01, 0x08, 0x10, 0x64, 0x96};
    device.SetOfferedParameters(offered);
    const BYTE request[] = {0xC0};
    device.Receive(request, 1, kStart);
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ((Bytes{0xC1, 0x00, 0x01, 0x08, 0x10, 0x64, 0x96}), written[0].bytes);

    const BYTE confirm[] = {0xC2, 0x01, 0x10, 0x50};
    device.Receive(confirm, 4, kStart);
    written = io.Take();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(Bytes{0xC6}, written[0].bytes);
    EXPECT_TRUE(device.IsLinked());
    EXPECT_EQ(16, device.GetWindow());
    EXPECT_EQ(80, device.GetTimerUnit());

    device.Receive(request, 1, kStart);
    const BYTE refused[] = {0xC2, 0x01, 0x00, 0x50};
    io.Take();
    device.Receive(refused, 4, kStart);
    written = io.Take();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(Bytes{0xD5}, written[0].bytes);
    EXPECT_FALSE(device.IsLinked());
}

namespace {
struct CLiteralPortTest : CPortTest {
    CLiteralPortTest() : CPortTest(CLinkRules::Literal()) {}
};
}  // namespace

// On the plain rules a gap is answered by a NAK of rxNext - 1 only once it
// is more than T x 10 ms old (1000 ms with T = 100), not after T ms.
TEST_F(CLiteralPortTest, PlainNakWaitsForTTimesTenMillisecondsOfGap) {
    LinkUp();
    Receive(Frame(0x00, 3, {'c'}));
    engine.Deliver(kStart);
    engine.SendPhase(kStart + 150);
    engine.SendPhase(kStart + kSpan / 2);
    engine.SendPhase(kStart + kSpan);
    EXPECT_TRUE(io.Take().empty()) << "no NAK before the gap is T x 10 ms old";
    engine.SendPhase(kStart + kSpan + 1);
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(Bytes{0x80}, written[0].bytes);
    EXPECT_FALSE(written[0].control);
}

// --- Plain-safe rules -----------------------------------------------------------

namespace {
struct CPlainSafeTest : CPortTest {
    CPlainSafeTest() : CPortTest(CLinkRules::PlainSafe()) {}
    // The sequence bytes of the data frames written.
    static Bytes Sequences(const std::vector<CWritten>& written) {
        Bytes sequences;
        for (const CWritten& frame : written)
            if (frame.bytes.size() > 2) sequences.push_back(frame.bytes[1]);
        return sequences;
    }
};
}  // namespace

// A NAK from a plain device names what it has; only the frame after it goes
// again, since the device delivers what it holds beyond as soon as that one
// arrives and would file a later copy of those a modulus ahead.
TEST_F(CPlainSafeTest, NakResendsOnlyTheFrameAfterItsNumberWithTheFlag) {
    LinkUp();
    EXPECT_EQ(Sequence(5, 1), Sequences(SendFrames(5)));
    Receive({0x82}, kStart + 1200);
    engine.SendPhase(kStart + 1200);
    EXPECT_EQ((Bytes{0x23}), Sequences(io.Take()));
    EXPECT_EQ(3u, engine.GetSendWindowCount());
    // A late NAK naming a frame long acknowledged changes nothing.
    Receive({0x9F}, kStart + 1300);
    engine.SendPhase(kStart + 1300);
    EXPECT_TRUE(io.Take().empty());
    EXPECT_EQ(3u, engine.GetSendWindowCount());
}

// Unanswered for T x 10 ms, the window is not sent again: a new frame asks
// the device where it stands. With nothing new to send the lowest frame goes
// again, and the link stores an error rather than let the device reach the
// number a modulus above it, where the copy may have been filed.
TEST_F(CPlainSafeTest, UnansweredWindowIsProbedWithANewFrameAndALoneResendIsGuarded) {
    LinkUp();
    SendFrames(3);
    io.queue = Sequence(18);
    engine.SendPhase(kStart + kSpan);
    EXPECT_EQ((Bytes{4}), Sequences(io.Take())) << "a probe, not the window again";
    engine.SendPhase(kStart + 2 * kSpan);
    EXPECT_EQ((Bytes{0x21}), Sequences(io.Take())) << "nothing queued: the lowest, flagged";
    // The device acknowledges through 4 after new frames were sent: the copy
    // of 1 may sit at 33, so frame 32 is not sent.
    io.queue = Sequence(18 * 30);
    engine.SendPhase(kStart + 2 * kSpan + 10);
    Receive({0x44}, kStart + 2 * kSpan + 20);
    try {
        for (DWORD step = 0; step < 10; ++step) {
            Receive({static_cast<BYTE>(0x40 | ((engine.GetTxNext() - 1) % 32))}, kStart + 2 * kSpan + 30 + step);
            engine.SendPhase(kStart + 2 * kSpan + 30 + step);
        }
        ADD_FAILURE() << "frame " << engine.GetTxNext() << " went out";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(DWORD(ERROR_INVALID_DATA), e.GetErrorCode());
        EXPECT_EQ(basalt::ustring(L"corvane::CBluetoothSmartPort::ThreadProcFn"), e.GetFunction());
    }
    for (const CWritten& frame : io.Take()) {
        if (frame.bytes.size() > 2) {
            EXPECT_NE(0, frame.bytes[1] & 0x1F) << "frame 32 went out";
        }
    }
}

// An ACK proves the frame after the one it names lost only if that frame
// went out well before the ACK arrived. The arrival counts, not when a late
// worker takes the ACK: a frame still on its way would otherwise go again,
// to a device that files the copy a modulus ahead.
TEST_F(CPlainSafeTest, AckTakenLateByTheWorkerIsJudgedByItsArrival) {
    for (bool late : {true, false}) {
        io.queue.clear();
        LinkUp();
        SendFrames(5);
        DWORD arrived = late ? kStart + 5 : kStart + kSpan + 10;
        engine.Receive(Bytes{0x42}.data(), 1, kStart + kSpan + 10, arrived);
        engine.SendPhase(kStart + kSpan + 10);
        if (late)
            EXPECT_TRUE(Sequences(io.Take()).empty()) << "frame 3 was sent 5 ms before ACK 2 arrived";
        else
            EXPECT_EQ((Bytes{0x23}), Sequences(io.Take())) << "frame 3 was sent T x 10 ms before ACK 2 arrived";
    }
}

// After a copy sent for want of an answer, a NAK that names the frame shows
// the device had it already, so the copy waits a modulus ahead; an ACK that
// follows cannot clear it, and the link stores an error before the number
// below the copy's would go out.
TEST_F(CPlainSafeTest, CopyANakShowedTheDeviceHadIsNotClearedByALaterAck) {
    for (bool nakFirst : {true, false}) {
        io.queue.clear();
        LinkUp();
        SendFrames(3);
        engine.SendPhase(kStart + kSpan);
        EXPECT_TRUE(io.Take().empty()) << "T x 10 ms: the device may still NAK a gap";
        engine.SendPhase(kStart + kSpan + kSpan / 2);
        EXPECT_EQ((Bytes{0x21}), Sequences(io.Take())) << "nothing queued: the lowest, flagged";
        if (nakFirst) Receive({0x81}, kStart + 2 * kSpan);  // has 1, lacks 2
        Receive({0x43}, kStart + 2 * kSpan + 10);  // everything through 3
        io.queue = Sequence(18 * 40);
        DWORD error = 0;
        try {
            for (DWORD step = 0; step < 10; ++step) {
                DWORD now = kStart + 2 * kSpan + 20 + step;
                engine.SendPhase(now);
                Bytes sent = Sequences(io.Take());
                if (!sent.empty()) Receive({static_cast<BYTE>(0x40 | (sent.back() & 0x1F))}, now);
            }
        } catch (const basalt::CWinException& e) {
            error = e.GetErrorCode();
        }
        if (nakFirst)
            EXPECT_EQ(DWORD(ERROR_INVALID_DATA), error) << "the copy of 1 sits at 33";
        else
            EXPECT_EQ(0u, error) << "an ACK with nothing new sent since shows the copy was needed";
    }
}

// As receiver: a frame whose number is also that of a delivered frame a
// modulus before, which the device may still hold, is a copy when its
// payload is that frame's, and is taken when it differs.
TEST_F(CPlainSafeTest, PossibleCopyIsTakenOnlyWithAPayloadOfItsOwn) {
    LinkUp();
    for (BYTE s = 1; s <= 31; ++s) Receive(Frame(0x00, s, {s}));
    Receive(Frame(0x00, 0, {32}));
    engine.Deliver(kStart);
    engine.SendPhase(kStart);  // ACK 32: the device may not have it
    io.Take();
    Receive(Frame(0x00, 0x21, {1}), kStart + 10);  // the device's copy of 1
    Receive(Frame(0x00, 0x22, {99}), kStart + 10);  // frame 34: not a copy of 2
    engine.Deliver(kStart + 10);
    EXPECT_EQ(32u, io.delivered.size());
    Receive(Frame(0x00, 1, {33}), kStart + 20);
    engine.Deliver(kStart + 20);
    ASSERT_EQ(34u, io.delivered.size());
    EXPECT_EQ(33, io.delivered[32]);
    EXPECT_EQ(99, io.delivered[33]);
}

// A plain device names a number again only in a NAK (rxNext - 1, what its
// last ACK named). An ACK that repeats the last one comes from a device on
// this engine's rules, which answers so a frame it cannot take and drops
// copies: from then on the sender sends what is in flight again at once.
TEST_F(CPlainSafeTest, RepeatedAckShowsADeviceOnTheEngineAndTheWindowGoesAgain) {
    LinkUp();
    SendFrames(5);
    Receive({0x42}, kStart + 100);
    engine.SendPhase(kStart + 100);
    EXPECT_TRUE(Sequences(io.Take()).empty());
    Receive({0x82}, kStart + kSpan + 100);  // the plain device's NAK of a gap at 3
    EXPECT_FALSE(engine.IsPeerOnEngine());
    engine.SendPhase(kStart + kSpan + 100);
    EXPECT_EQ((Bytes{0x23}), Sequences(io.Take()));

    Receive({0x42}, kStart + kSpan + 120);
    EXPECT_TRUE(engine.IsPeerOnEngine());
    engine.SendPhase(kStart + kSpan + 120);
    EXPECT_EQ((Bytes{0x23, 0x24, 0x25}), Sequences(io.Take()));
    // And it keeps no more in flight than the engine's own rules.
    io.queue = Sequence(18 * 20);
    Receive({0x45}, kStart + kSpan + 130);
    engine.SendPhase(kStart + kSpan + 130);
    EXPECT_EQ(12u, engine.GetSendWindowCount());
}

// With more frames outstanding than the device's receive window can tell
// from copies (20 of 32), a copy could still pass for a frame a modulus
// ahead: then only the lowest frame goes again, once the device shows it
// lacks it, until fewer are outstanding.
TEST_F(CPlainSafeTest, DeviceOnTheEngineGetsOneFrameAtATimeWhileManyAreOutstanding) {
    LinkUp();
    SendFrames(24);
    Receive({0x42}, kStart + 100);
    engine.SendPhase(kStart + 100);
    io.Take();
    Receive({0x42}, kStart + 110);
    ASSERT_TRUE(engine.IsPeerOnEngine());
    engine.SendPhase(kStart + 110);
    EXPECT_TRUE(Sequences(io.Take()).empty()) << "frame 3 went out 110 ms ago: it may still be on its way";
    Receive({0x42}, kStart + 400);
    engine.SendPhase(kStart + 400);
    EXPECT_EQ((Bytes{0x23}), Sequences(io.Take()));
    // Through 4: 20 outstanding, and the window goes again.
    Receive({0x44}, kStart + 450);
    engine.SendPhase(kStart + 450);
    EXPECT_EQ(20u, Sequences(io.Take()).size());
}

// A plain device NAKs a gap only after T x 10 ms, counted from a frame that
// followed the missing one. A NAK within half of that after the missing frame
// first went out comes from a device on this engine's rules.
TEST_F(CPlainSafeTest, NakSoonerThanThePlainTimerShowsADeviceOnTheEngine) {
    for (DWORD after : {kSpan / 2 - 10, kSpan + 50}) {
        LinkUp();
        SendFrames(5);
        Receive({0x82}, kStart + after);
        EXPECT_EQ(after < kSpan / 2, engine.IsPeerOnEngine()) << "NAK " << after << " ms after frame 3 went";
        engine.SendPhase(kStart + after);
        // Either way frame 3 goes again; on the engine's rules so do the rest.
        Bytes expected = after < kSpan / 2 ? Bytes{0x23, 0x24, 0x25} : Bytes{0x23};
        EXPECT_EQ(expected, Sequences(io.Take()));
    }
}

// The device on this engine's rules has no number to name while frame 1 is
// missing; T x 10 ms after that gap opened it NAKs "0" as a plain device does,
// which every port's sender reads as "frame 1 is missing". (A port, facing a
// plain sender that may have frame 32 in flight, never does.)
TEST(DeviceEnd, NaksZeroWhileFrameOneIsMissing) {
    for (CLinkEngine::ERole role : {CLinkEngine::roleDevice, CLinkEngine::rolePort}) {
        CRecorder io;
        CLinkEngine engine(role, io, CLinkRules::Fast());
        if (role == CLinkEngine::roleDevice) {
            const BYTE request[] = {0xC0}, confirm[] = {0xC2, 0x01, 0x20, 0x64};
            engine.Receive(request, 1, kStart);
            engine.Receive(confirm, 4, kStart);
        } else {
            engine.Start(kStart);
            const BYTE parameters[] = {0xC1, 0x00, 0x01, 0x10, 0x20, 0x50, 0xFF}, accepted[] = {0xC6};
            engine.Receive(parameters, 7, kStart);
            engine.Receive(accepted, 1, kStart);
        }
        io.Take();
        Bytes frame = Frame(0x00, 2, {'b'});
        engine.Receive(frame.data(), static_cast<DWORD>(frame.size()), kStart);
        engine.Deliver(kStart);
        // The other end's acknowledgements keep coming, each pass finding the gap again.
        engine.Deliver(kStart + kSpan / 2);
        engine.SendPhase(kStart + kSpan);
        EXPECT_TRUE(io.Take().empty()) << "no NAK before the gap is T x 10 ms old";
        engine.SendPhase(kStart + kSpan + 1);
        std::vector<CWritten> written = io.Take();
        if (role == CLinkEngine::roleDevice) {
            ASSERT_EQ(1u, written.size());
            EXPECT_EQ(Bytes{0x80}, written[0].bytes);
            // Then again T x 10 ms after that NAK, if frame 1 is still missing.
            engine.Deliver(kStart + kSpan + 2);
            engine.SendPhase(kStart + 2 * kSpan + 1);
            EXPECT_TRUE(io.Take().empty());
            engine.SendPhase(kStart + 2 * kSpan + 2);
            written = io.Take();
            ASSERT_EQ(1u, written.size());
            EXPECT_EQ(Bytes{0x80}, written[0].bytes);
        } else {
            EXPECT_TRUE(written.empty()) << "the port named frame 32";
        }
    }
}

// A stream that repeats itself: frame 33 has the payload of frame 1. Sent
// the first time (unmarked) right after the highest frame held, it is the
// frame it says; marked, it may be the device's copy of frame 1, and is not
// taken while the device may not have had our ACK of frame 1.
TEST_F(CPlainSafeTest, RepeatingStreamIsTakenInOrderAndAMarkedCopyIsNot) {
    LinkUp();
    for (BYTE s = 1; s <= 31; ++s) Receive(Frame(0x00, s, {'x'}));
    Receive(Frame(0x00, 0, {'x'}));
    engine.Deliver(kStart);
    engine.SendPhase(kStart);  // ACK 32
    io.Take();
    Receive(Frame(0x00, 0x21, {'x'}), kStart + 10);  // marked: maybe the copy of 1
    engine.Deliver(kStart + 10);
    EXPECT_EQ(32u, io.delivered.size());
    for (BYTE s = 1; s <= 8; ++s) Receive(Frame(0x00, s, {'x'}), kStart + 20);  // 33 to 40, the first time
    engine.Deliver(kStart + 20);
    EXPECT_EQ(40u, io.delivered.size());
}

// After our NAK of 40, the device sends again, unmarked, what follows 40 in
// its window; if we had those meanwhile, they are copies a modulus behind,
// even where one reads as the very next frame due.
TEST_F(CPlainSafeTest, UnmarkedFrameAfterOurNakIsComparedWithTheOneAModulusBefore) {
    LinkUp();
    auto seq = [](DWORD number) { return static_cast<BYTE>(number % 32); };
    // Long enough before the first ACK that frames no longer flow: it names 32.
    for (DWORD n = 1; n <= 32; ++n) Receive(Frame(0x00, seq(n), {static_cast<BYTE>(n)}), kStart - kSpan / 5);
    engine.Deliver(kStart - kSpan / 5);
    engine.SendPhase(kStart);
    ASSERT_EQ(Bytes{0x40}, io.Take().at(0).bytes);
    for (DWORD n = 33; n <= 64; ++n)
        if (n != 41) Receive(Frame(0x00, seq(n), {static_cast<BYTE>(n)}), kStart + 10);
    engine.Deliver(kStart + 10);
    engine.SendPhase(kStart + 10 + kSpan + 1);  // NAK 40
    ASSERT_EQ(Bytes{0x88}, io.Take().at(0).bytes);
    for (DWORD n = 65; n <= 72; ++n) Receive(Frame(0x00, seq(n), {static_cast<BYTE>(n)}), kStart + kSpan + 15);
    engine.Deliver(kStart + kSpan + 15);
    ASSERT_EQ(40u, io.delivered.size());
    Receive(Frame(0x00, 0x20 | seq(41), {41}), kStart + kSpan + 20);  // the time-out's copy of 41
    engine.Deliver(kStart + kSpan + 20);
    ASSERT_EQ(72u, io.delivered.size());
    engine.SendPhase(kStart + kSpan + 40);  // T / 4 ms after the NAK
    ASSERT_EQ(Bytes{0x47}, io.Take().at(0).bytes) << "ACK 71: frames flow, 72 stays with the device";
    // Answering the NAK, the device sends 41 again unmarked: it reads as 73,
    // the next frame due, but has the payload delivered as 41.
    Receive(Frame(0x00, seq(41), {41}), kStart + kSpan + 45);
    engine.Deliver(kStart + kSpan + 45);
    EXPECT_EQ(72u, io.delivered.size()) << "the copy of 41 taken for frame 73";
}

// While frames flow, the newest is left out of our ACKs, so that the device
// still holds it when a gap appears, and T / 4 ms into the gap a NAK names
// it: the device sends the rest of its window again at once. (A plain
// device drops its whole window for a number it no longer holds, and NAKs
// itself only T x 10 ms into a gap.)
TEST_F(CPlainSafeTest, GapIsNakedSoonNamingTheNewestFrameLeftOutOfAcks) {
    LinkUp();
    for (BYTE s = 1; s <= 4; ++s) Receive(Frame(0x00, s, {s}));
    engine.Deliver(kStart);
    ASSERT_TRUE(engine.IsAckDue(kStart)) << "4 frames: a third of the 12 in flight";
    engine.SendPhase(kStart);
    EXPECT_EQ(Bytes{0x43}, io.Take().at(0).bytes) << "frame 4 stays with the device";

    Receive(Frame(0x00, 6, {6}), kStart + 30);  // 5 is lost
    engine.Deliver(kStart + 30);
    engine.SendPhase(kStart + 30);
    EXPECT_TRUE(io.Take().empty()) << "no ACK of 4 while the gap is young";
    EXPECT_EQ(kSpan / 40, engine.GetWaitTimeout()) << "the worker wakes for the NAK";
    engine.SendPhase(kStart + 30 + kSpan / 40 - 1);
    EXPECT_TRUE(io.Take().empty());
    engine.SendPhase(kStart + 30 + kSpan / 40);
    EXPECT_EQ(Bytes{0x84}, io.Take().at(0).bytes);

    // The device sends 5 and 6 again, unmarked; then nothing more comes,
    // and a later phase names 6.
    Receive(Frame(0x00, 5, {5}), kStart + 70);
    Receive(Frame(0x00, 6, {6}), kStart + 70);
    engine.Deliver(kStart + 70);
    EXPECT_EQ((Bytes{1, 2, 3, 4, 5, 6}), io.delivered);
    engine.SendPhase(kStart + 70 + kSpan / 10);
    EXPECT_EQ(Bytes{0x46}, io.Take().at(0).bytes);
    engine.SendPhase(kStart + 70 + kSpan);
    EXPECT_TRUE(io.Take().empty()) << "nothing named twice";
}

// The device ACKs up to every frame, so a late ACK may be overtaken by many:
// read from the window as it stands, its number names a frame just sent.
// Sooner after that frame first went than half the handshake's round trip,
// it cannot name it, and changes nothing; a real ACK of it later does.
TEST_F(CPlainSafeTest, AckSoonerThanARoundTripAfterItsFrameIsAnOlderOne) {
    engine.Start(kStart - 80);
    Receive({link::linkParameters, 0x00, 0x01, 0x10, 0x20, 0x50, 0xFF});  // 80 ms after the request
    Receive({link::linkAccepted});
    io.Take();
    SendFrames(44);                      // 1 to 24 go, the rest waits
    Receive({0x54}, kStart + 100);       // ACK 20
    engine.SendPhase(kStart + 100);      // 25 to 44
    ASSERT_EQ(24u, engine.GetSendWindowCount());
    Receive({0x4B}, kStart + 110);       // ACK 11, or 43 sent 10 ms before
    EXPECT_EQ(24u, engine.GetSendWindowCount()) << "a late ACK of 11 read as one of 43";
    Receive({0x4B}, kStart + 160);
    EXPECT_EQ(1u, engine.GetSendWindowCount()) << "the ACK of 43";
}
