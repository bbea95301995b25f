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

class CLiteralPortTest : public CPortTest {
protected:
    CLiteralPortTest() : CPortTest(CLinkRules::Literal()) {}
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

TEST_F(CPortTest, SenderKeepsAtMost12FramesUnacknowledged) {
    LinkUp();
    EXPECT_EQ(12u, SendFrames(40).size());
    EXPECT_EQ(12u, engine.GetSendWindowCount());
    EXPECT_TRUE(SendFrames(0, kStart + 1).empty());
}

TEST_F(CLiteralPortTest, LiteralSenderFillsTheWholeWindow) {
    LinkUp();
    EXPECT_EQ(32u, SendFrames(40).size());
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

TEST_F(CPortTest, NakSendsTheWindowAgainAtOnceWithoutTheFlag) {
    LinkUp();
    ASSERT_EQ(3u, SendFrames(3).size());
    Receive({0x81}, kStart + 10);  // frame 1 arrived, a gap after it
    engine.SendPhase(kStart + 10);
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(2u, written.size());
    EXPECT_EQ(2, written[0].bytes[1]);
    EXPECT_EQ(3, written[1].bytes[1]);
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

TEST_F(CLiteralPortTest, LiteralNakRepeatingTheLastAckThrowsTheWindowAway) {
    LinkUp();
    ASSERT_EQ(3u, SendFrames(3).size());
    Receive({0x80}, kStart + 10);
    EXPECT_EQ(0u, engine.GetSendWindowCount()) << "three frames lost for good";
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

// --- Receiving ----------------------------------------------------------------------

TEST_F(CPortTest, FramesOfOnePassAreDeliveredInNumberOrder) {
    LinkUp();
    CFrameSlots slots;
    slots.Allocate();
    for (BYTE sequence : {3, 1, 2}) {
        Bytes frame = Frame(0x00, sequence, {sequence, sequence});
        ASSERT_TRUE(slots.File(frame.data(), static_cast<DWORD>(frame.size())));
    }
    BYTE frame[link::maxFrame];
    for (DWORD position = 0; position < CFrameSlots::slotCount; ++position)
        if (DWORD size = slots.Take(CFrameSlots::SlotAt(position), frame)) engine.Receive(frame, size, kStart);
    engine.Deliver(kStart);
    EXPECT_EQ((Bytes{1, 1, 2, 2, 3, 3}), io.delivered);
    EXPECT_EQ(4u, engine.GetRxNext());
    EXPECT_EQ(0u, engine.GetGapSince());
}

TEST_F(CPortTest, GapOlderThanTheTimerSpanIsAnsweredWithANak) {
    LinkUp();
    Receive(Frame(0x00, 3, {7}));
    engine.Deliver(kStart);
    EXPECT_TRUE(io.delivered.empty());
    EXPECT_EQ(1u, engine.GetReorderCount());
    EXPECT_EQ(kStart, engine.GetGapSince());

    engine.SendPhase(kStart + kSpan);
    EXPECT_TRUE(io.Take().empty()) << "not older than T x 10 ms yet";
    engine.SendPhase(kStart + kSpan + 1);
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(Bytes{0x80}, written[0].bytes);
    EXPECT_EQ(0u, engine.GetGapSince());

    // With data waiting, the NAK rides in byte 0 of the burst's first frame.
    engine.Deliver(kStart + 2 * kSpan);
    io.queue = Sequence(20);
    engine.SendPhase(kStart + 3 * kSpan + 2);
    written = io.Take();
    ASSERT_EQ(2u, written.size());
    EXPECT_EQ(0x80, written[0].bytes[0]);
    EXPECT_EQ(0x00, written[1].bytes[0]);
}

TEST_F(CPortTest, AckGoesOutAfterAThirdOfTheFramesInFlight) {
    LinkUp();
    for (BYTE sequence = 1; sequence <= 3; ++sequence) Receive(Frame(0x00, sequence, {sequence}));
    engine.Deliver(kStart);
    EXPECT_FALSE(engine.IsAckDue());
    Receive(Frame(0x00, 4, {4}));
    engine.Deliver(kStart);
    EXPECT_TRUE(engine.IsAckDue()) << "4 frames: a third of the 12 the device may send";
    engine.SendPhase(kStart);
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(Bytes{0x44}, written[0].bytes);
    EXPECT_FALSE(engine.IsAckDue());
}

TEST_F(CLiteralPortTest, LiteralAckGoesOutAfterAThirdOfW) {
    LinkUp();
    for (BYTE sequence = 1; sequence <= 9; ++sequence) Receive(Frame(0x00, sequence, {sequence}));
    engine.Deliver(kStart);
    EXPECT_FALSE(engine.IsAckDue());
    Receive(Frame(0x00, 10, {10}));
    engine.Deliver(kStart);
    EXPECT_TRUE(engine.IsAckDue());
    engine.SendPhase(kStart);
    EXPECT_EQ(Bytes{0x4A}, io.Take().at(0).bytes);
}

TEST_F(CPortTest, ResentFrameIsNumberedWithoutItsFlag) {
    LinkUp();
    Receive(Frame(0x00, 0x21, {9}));
    engine.Deliver(kStart);
    EXPECT_EQ(Bytes{9}, io.delivered);
}

TEST_F(CLiteralPortTest, LiteralReceiverUnwrapsAResentFrameAModulusAhead) {
    LinkUp();
    Receive(Frame(0x00, 0x21, {9}));
    engine.Deliver(kStart);
    EXPECT_TRUE(io.delivered.empty());
    EXPECT_EQ(1u, engine.GetReorderCount());
}

TEST_F(CPortTest, CopyOfADeliveredFrameIsDroppedAndAnsweredWithAFreshAck) {
    LinkUp();
    Receive(Frame(0x00, 1, {1}));
    Receive(Frame(0x00, 2, {2}));
    engine.Deliver(kStart);
    engine.SendPhase(kStart);
    io.Take();

    Receive(Frame(0x00, 1, {1}));  // the ACK was lost, the device resends
    engine.Deliver(kStart);
    EXPECT_EQ(0u, engine.GetReorderCount());
    EXPECT_TRUE(engine.IsAckDue());
    engine.SendPhase(kStart);
    std::vector<CWritten> written = io.Take();
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(Bytes{0x42}, written[0].bytes);
    EXPECT_EQ((Bytes{1, 2}), io.delivered);
}

TEST_F(CLiteralPortTest, LiteralReceiverKeepsACopyToDeliverInPlaceOfALaterFrame) {
    LinkUp();
    Receive(Frame(0x00, 1, {1}));
    engine.Deliver(kStart);
    Receive(Frame(0x00, 1, {1}));  // unwraps to 33
    for (BYTE sequence = 2; sequence <= 31; ++sequence) Receive(Frame(0x00, sequence, {sequence}));
    Receive(Frame(0x00, 0, {32}));
    engine.Deliver(kStart);
    EXPECT_EQ(34u, engine.GetRxNext());
    EXPECT_EQ(1, io.delivered.back()) << "frame 33 was the copy of frame 1";
}

TEST(FrameSlots, LinkAcceptedIsTakenBeforeTheDataOfTheSamePass) {
    CRecorder io;
    CLinkEngine engine(CLinkEngine::rolePort, io);
    engine.Start(kStart);
    const BYTE parameters[] = {0xC1, 0x00, 0x01, 0x10, 0x20, 0x50, 0xFF};
    engine.Receive(parameters, 7, kStart);
    CFrameSlots slots;
    slots.Allocate();
    const BYTE accepted[] = {0xC6};
    const BYTE data[] = {0x00, 1, 42};
    slots.File(accepted, 1);
    slots.File(data, 3);
    BYTE frame[link::maxFrame];
    for (DWORD position = 0; position < CFrameSlots::slotCount; ++position)
        if (DWORD size = slots.Take(CFrameSlots::SlotAt(position), frame)) engine.Receive(frame, size, kStart);
    engine.Deliver(kStart);
    EXPECT_EQ(Bytes{42}, io.delivered);
}

// --- Frame slots --------------------------------------------------------------------

TEST(FrameSlots, ValuesGoToTheSlotOfTheirSequenceByteOrToTheLastSlot) {
    CFrameSlots slots;
    const BYTE data[21] = {0x00, 7, 1, 2};
    EXPECT_FALSE(slots.File(data, 4)) << "nothing is filed before Open allocates";
    slots.Allocate();
    EXPECT_FALSE(slots.File(data, 0));
    EXPECT_FALSE(slots.File(data, 21));

    EXPECT_EQ(7u, CFrameSlots::SlotOf(data, 4));
    const BYTE ack[] = {0x41, 7, 1};
    EXPECT_EQ(7u, CFrameSlots::SlotOf(ack, 3)) << "a payload must not share the acknowledgements' slot";
    EXPECT_EQ(256u, CFrameSlots::SlotOf(ack, 1));
    EXPECT_EQ(256u, CFrameSlots::SlotOf(data, 1));
    const BYTE control[] = {0xC1, 0, 1, 16, 32, 80, 255};
    EXPECT_EQ(256u, CFrameSlots::SlotOf(control, 7));

    ASSERT_TRUE(slots.File(data, 4));
    const BYTE newer[] = {0x00, 7, 9};
    ASSERT_TRUE(slots.File(newer, 3));
    BYTE frame[20];
    ASSERT_EQ(3u, slots.Take(7, frame)) << "an unprocessed frame is overwritten";
    EXPECT_EQ(9, frame[2]);
    EXPECT_EQ(0u, slots.Take(7, frame));
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
