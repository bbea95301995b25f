// The port's link protocol on the wire: the test plays the device frame by
// frame through the simulator's raw mode and checks each value the port writes.
#include "BleTestKit.h"

using namespace bletest;

namespace {

const DWORD kData = BLUETOOTH_GATT_FLAG_WRITE_WITHOUT_RESPONSE;

Bytes Data(BYTE ack, BYTE sequence, const Bytes& payload) {
    Bytes frame(2 + payload.size());
    frame[0] = ack;
    frame[1] = sequence;
    std::copy(payload.begin(), payload.end(), frame.begin() + 2);
    return frame;
}

}  // namespace

TEST_F(CRawLinkTest, HandshakeIsAnsweredWithTheWindowAndTimerChosen) {
    DWORD flags = 99;
    EXPECT_EQ(Bytes{0xC0}, Take(&flags));
    EXPECT_EQ(0u, flags) << "control frames are written with a response";

    Inject({0xC1, 0x00, 0x01, 0x10, 0x20, 0x50, 0xFF});
    EXPECT_EQ((Bytes{0xC2, 0x01, 0x20, 0x64}), Take(&flags));
    EXPECT_EQ(0u, flags);
    // Every parameters frame is answered, a later one too.
    Inject({0xC1, 0x00, 0x01, 0x10, 0x20, 200, 150});
    EXPECT_EQ((Bytes{0xC2, 0x01, 0x20, 150}), Take());
    Inject({0xC1, 0x00, 0x01, 0x10, 0x20, 0x50, 50});
    EXPECT_EQ((Bytes{0xC2, 0x01, 0x20, 50}), Take());
    Inject({0xC6});

    port->Send("x", 1);
    EXPECT_EQ(Data(0x00, 1, {'x'}), Take(&flags));
    EXPECT_EQ(kData, flags);
}

TEST_F(CRawLinkTest, FortyBytesGoOutAsThreeFramesWithoutResponse) {
    LinkUp();
    Bytes bytes = Pattern(40, 3);
    port->Send(bytes.data(), 40);
    for (BYTE sequence = 1; sequence <= 3; ++sequence) {
        DWORD flags = 0;
        Bytes frame = Take(&flags);
        size_t offset = (sequence - 1) * 18u;
        size_t length = sequence < 3 ? 18 : 4;
        EXPECT_EQ(Data(0x00, sequence, Bytes(bytes.begin() + offset, bytes.begin() + offset + length)), frame);
        EXPECT_EQ(kData, flags);
    }
}

TEST_F(CRawLinkTest, InvalidParametersEndTheWorkerAndRecvRaises1359) {
    CEventWait error(*port, corvane::eventError);
    ASSERT_EQ(Bytes{0xC0}, Take());
    Inject({0xC1, 0x02, 0x01, 0x10, 0x20, 0x50, 0xFF});
    ASSERT_TRUE(error.Wait(3000)) << "no eventError within 3 s";
    basalt::ustring function;
    EXPECT_EQ(DWORD(ERROR_INTERNAL_ERROR), ErrorOf([&] { port->Recv(nullptr, 0); }, &function));
    EXPECT_EQ(basalt::ustring(L"corvane::CBluetoothSmartPort::ThreadProcFn"), function);
    EXPECT_TRUE(port->IsOpen());
    EXPECT_TRUE(Quiet(200)) << "no confirm for refused parameters";
}

TEST_F(CRawLinkTest, ParametersWithoutUsableWindowAndLinkAbortRaise1359) {
    const Bytes refused[] = {{0xC1, 0x00, 0x00, 0x10, 0x20, 0x50, 0xFF},  // p1 of 0
                             {0xC1, 0x00, 0x01, 0x00, 0x00, 0x50, 0xFF},  // W of 0
                             {0xD5}};
    for (const Bytes& frame : refused) {
        CEventWait error(*port, corvane::eventError);
        port->Open();  // a fresh worker
        ASSERT_EQ(Bytes{0xC0}, Take());
        Inject(frame);
        ASSERT_TRUE(error.Wait(3000)) << "no eventError within 3 s, first byte " << int(frame[0]);
        EXPECT_EQ(DWORD(ERROR_INTERNAL_ERROR), ErrorOf([&] { port->Recv(nullptr, 0); })) << "first byte " << int(frame[0]);
    }
}

// A gap: the port NAKs the last frame that came in order, which it left out
// of its ACKs, soon after the gap appears. Never "0" while nothing came in
// order (to a device on the plain rules that names frame 32 of a full
// window), and never a number it named already: either would empty the
// device's window.
TEST_F(CRawLinkTest, GapIsAnsweredWithANakOfTheFrameTheDeviceStillHolds) {
    LinkUp({0x00, 0x01, 0x10, 0x20, 0x50, 10});  // T = 10: 100 ms
    Inject(Data(0x00, 3, {7}));
    EXPECT_TRUE(Quiet(250)) << "nothing arrived in order: nothing to acknowledge, and no NAK 0";
    Inject(Data(0x00, 1, {5}));
    DWORD flags = 0;
    EXPECT_EQ(Bytes{0x81}, Take(&flags, 1000));
    EXPECT_EQ(kData, flags);
    EXPECT_TRUE(Quiet(250)) << "1 named once";
    EXPECT_EQ((Bytes{5}), ReceiveAll(*port, 1, 1000));

    // The device sends the rest of its window again, unmarked.
    Inject(Data(0x00, 2, {6}));
    Inject(Data(0x00, 3, {7}));
    EXPECT_EQ((Bytes{6, 7}), ReceiveAll(*port, 2, 2000));
    // On a busy machine the worker's timer may pass between the two frames
    // and acknowledge 2 on its own first; either way 3 is acknowledged, and
    // nothing else is written on the way.
    Bytes ack = Take(nullptr, 1000);
    if (ack == Bytes{0x42}) ack = Take(nullptr, 1000);
    EXPECT_EQ(Bytes{0x43}, ack);
}

TEST_F(CRawLinkTest, AckFollowsAThirdOfTheFramesInFlightAtOnce) {
    LinkUp({0x00, 0x01, 0x10, 0x20, 0xFF, 0xFF});  // T = 255: the timer would wait 850 ms
    ASSERT_TRUE(Quiet(100)) << "link accepted, nothing to send yet";
    for (BYTE sequence = 1; sequence <= 4; ++sequence) Inject(Data(0x00, sequence, {sequence}));
    // Within the worker's 850 ms wait: the frames woke it, not its timer.
    // (When it goes out is the engine's part, timed in the link tests.) It
    // names 3: while frames flow, the newest stays with the device, for a
    // NAK to name; the timer's pass names it.
    EXPECT_EQ(Bytes{0x43}, Take(nullptr, 700));
    EXPECT_EQ((Bytes{1, 2, 3, 4}), ReceiveAll(*port, 4, 1000));
    EXPECT_EQ(Bytes{0x44}, Take(nullptr, 2000));
}

TEST_F(CRawLinkTest, UnacknowledgedFramesAreResentWithTheFlag) {
    LinkUp({0x00, 0x01, 0x10, 0x20, 0x50, 10});  // T = 10: 100 ms
    port->Send("abc", 3);
    EXPECT_EQ(Data(0x00, 1, {'a', 'b', 'c'}), Take());
    // After T x 10 ms (the engine's tests time it); here the worker's own
    // timer brings it, with nothing else to wake it.
    EXPECT_EQ(Data(0x00, 0x21, {'a', 'b', 'c'}), Take(nullptr, 1000));

    // Acknowledged, it is not sent again.
    Inject({0x41});
    EXPECT_TRUE(Quiet(300));
}

TEST_F(CRawLinkTest, ValuesOfWrongSizeOrOtherAttributesAreIgnored) {
    ASSERT_EQ(Bytes{0xC0}, Take());
    Inject({0xC1, 0x00, 0x01, 0x10, 0x20, 0x50, 0xFF});
    ASSERT_EQ(4u, Take().size());
    Bytes accepted = {0xC6};
    Bytes tooLong(21, 0xC6);
    Inject(tooLong);
    Inject({});
    Inject(accepted, 1);  // the Generic Access service's first handle
    port->Send("q", 1);
    EXPECT_TRUE(Quiet(300)) << "still not linked";
    Inject(accepted);
    EXPECT_EQ(Data(0x00, 1, {'q'}), Take());
}

// Unacknowledged, the default rules keep 24 of 32 frames in flight (a plain
// device acknowledges only after 10); "PlainDevice" false chooses the
// engine's own rules, which keep 12.
TEST_F(CRawLinkTest, FramesInFlightFollowTheChosenRules) {
    for (bool plainDevice : {true, false}) {
        if (!plainDevice) {
            port->SetSettings(
                corvane::IPropertySet::CreateInstance(L"Id=\"PlainDevice\",Flags=0,PL=0,vt=VT_BOOL,Value=0;"));
            port->Close();
            while (!Quiet(100)) {
            }
            port->Open();
        }
        LinkUp({0x00, 0x01, 0x10, 0x20, 0xFF, 0xFF});  // T = 255: no resend within the test
        Bytes bytes = Pattern(30 * 18, 3);
        ASSERT_EQ(bytes.size(), port->Send(bytes.data(), static_cast<DWORD>(bytes.size())));
        size_t frames = 0;
        while (!Quiet(300)) ++frames;
        EXPECT_EQ(plainDevice ? 24u : 12u, frames) << (plainDevice ? "default" : "\"PlainDevice\" false");
    }
}
