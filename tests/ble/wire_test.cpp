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
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    counter->RegisterForAll(*port, counter);
    ASSERT_EQ(Bytes{0xC0}, Take());
    Inject({0xC1, 0x02, 0x01, 0x10, 0x20, 0x50, 0xFF});
    DWORD deadline = ::GetTickCount() + 3000;
    while (counter->Count(corvane::eventError) == 0 && static_cast<LONG>(deadline - ::GetTickCount()) > 0) ::Sleep(5);
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
        port->Open();  // a fresh worker
        ASSERT_EQ(Bytes{0xC0}, Take());
        Inject(frame);
        DWORD deadline = ::GetTickCount() + 3000;
        DWORD code = 0;
        while (code == 0 && static_cast<LONG>(deadline - ::GetTickCount()) > 0) {
            code = ErrorOf([&] { port->Recv(nullptr, 0); });
            if (!code) ::Sleep(5);
        }
        EXPECT_EQ(DWORD(ERROR_INTERNAL_ERROR), code) << "first byte " << int(frame[0]);
    }
}

TEST_F(CRawLinkTest, GapOlderThanTheTimerIsAnsweredWithANak) {
    LinkUp({0x00, 0x01, 0x10, 0x20, 0x50, 10});  // T = 10: 100 ms
    Inject(Data(0x00, 3, {7}));
    EXPECT_TRUE(Quiet(60)) << "the gap is younger than T x 10 ms";
    DWORD flags = 0;
    EXPECT_EQ(Bytes{0x80}, Take(&flags, 1000));
    EXPECT_EQ(kData, flags);
    EXPECT_EQ(0u, port->Recv(nullptr, 0)) << "frame 3 waits for 1 and 2";

    Inject(Data(0x00, 1, {5}));
    Inject(Data(0x00, 2, {6}));
    EXPECT_EQ((Bytes{5, 6, 7}), ReceiveAll(*port, 3, 2000));
}

TEST_F(CRawLinkTest, AckFollowsAThirdOfTheFramesInFlightAtOnce) {
    LinkUp({0x00, 0x01, 0x10, 0x20, 0xFF, 0xFF});  // T = 255: the timer would wait 850 ms
    ASSERT_TRUE(Quiet(100)) << "link accepted, nothing to send yet";
    for (BYTE sequence = 1; sequence <= 4; ++sequence) Inject(Data(0x00, sequence, {sequence}));
    DWORD start = ::GetTickCount();
    EXPECT_EQ(Bytes{0x44}, Take(nullptr, 2000));
    EXPECT_LT(::GetTickCount() - start, 500u) << "without waiting for the timer";
    EXPECT_EQ((Bytes{1, 2, 3, 4}), ReceiveAll(*port, 4, 1000));
}

TEST_F(CRawLinkTest, UnacknowledgedFramesAreResentWithTheFlag) {
    LinkUp({0x00, 0x01, 0x10, 0x20, 0x50, 10});  // T = 10: 100 ms
    port->Send("abc", 3);
    EXPECT_EQ(Data(0x00, 1, {'a', 'b', 'c'}), Take());
    DWORD start = ::GetTickCount();
    EXPECT_EQ(Data(0x00, 0x21, {'a', 'b', 'c'}), Take(nullptr, 1000));
    EXPECT_GE(::GetTickCount() - start, 80u);

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
