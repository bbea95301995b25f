// The independent plain-rules device end: what a device in the field does,
// checked against the link rules, so that the port's tests against it stand
// on a device that does not share the port's reading of them.
#include "LinkModel.h"
#include "PlainDevice.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

namespace {

typedef std::vector<BYTE> Bytes;

struct CPlainFixture : ::testing::Test {
    std::deque<Bytes> written;
    Bytes queued, delivered;
    blesim::CPlainDevice device{
        [this](const BYTE* frame, DWORD size, bool) { written.emplace_back(frame, frame + size); },
        [this](BYTE* buffer, DWORD size) {
            DWORD count = std::min<DWORD>(size, static_cast<DWORD>(queued.size()));
            std::copy(queued.begin(), queued.begin() + count, buffer);
            queued.erase(queued.begin(), queued.begin() + count);
            return count;
        },
        [this](const BYTE* data, DWORD size) { delivered.insert(delivered.end(), data, data + size); }};

    Bytes Take() {
        if (written.empty()) return Bytes();
        Bytes frame = written.front();
        written.pop_front();
        return frame;
    }
    void Give(Bytes frame, DWORD now = 1000) { device.OnFrame(frame.data(), static_cast<DWORD>(frame.size()), now); }
    // Connect and confirm W 32, T 100 (1000 ms).
    void LinkUp() {
        Give({0xC0});
        ASSERT_EQ((Bytes{0xC1, 0x00, 0x01, 0x10, 0x20, 0x50, 0xFF}), Take());
        Give({0xC2, 0x01, 0x20, 0x64});
        ASSERT_EQ(Bytes{0xC6}, Take());
        ASSERT_TRUE(device.IsLinked());
    }
};

TEST_F(CPlainFixture, SendsInOrderAndResendsTheWholeWindowMarkedAfterTheTimer) {
    LinkUp();
    queued.assign(40, 0x11);
    device.OnQueued(1000);
    EXPECT_EQ(20u, Take().size());
    Bytes second = Take(), third = Take();
    EXPECT_EQ(2, second[1]);
    EXPECT_EQ((Bytes{0x00, 3, 0x11, 0x11, 0x11, 0x11}), third);
    device.OnTimer(1500);
    EXPECT_TRUE(written.empty()) << "not yet T x 10 ms";
    device.OnTimer(2000);
    ASSERT_EQ(3u, written.size());
    EXPECT_EQ(0x21, Take()[1]);
    EXPECT_EQ(0x22, Take()[1]);
    EXPECT_EQ(0x23, Take()[1]);
    // ACK 1 removes frame 1 only and restarts the timer of the rest; NAK 2
    // removes frame 2 and sends frame 3 again at once, unmarked.
    Give({0x41}, 2100);
    EXPECT_TRUE(written.empty());
    Give({0x82}, 2110);
    EXPECT_EQ((Bytes{0x00, 3, 0x11, 0x11, 0x11, 0x11}), Take());
    // An ACK naming a frame it no longer holds empties its window.
    Give({0x42}, 2200);
    device.OnTimer(9000);
    EXPECT_TRUE(written.empty());
    EXPECT_EQ(1u, device.GetCounters().emptiedWindows);
}

TEST_F(CPlainFixture, AcknowledgesAfterAThirdOfTheWindowAndNaksAGapAfterTheTimer) {
    LinkUp();
    for (BYTE s = 1; s <= 9; ++s) Give({0x00, s, s});
    EXPECT_TRUE(written.empty()) << "9 frames: below W / 3";
    Give({0x00, 10, 10});
    EXPECT_EQ(Bytes{0x4A}, Take());
    Give({0x00, 12, 12}, 1100);
    device.OnTimer(1500);
    EXPECT_TRUE(written.empty()) << "the gap is not T x 10 ms old";
    device.OnTimer(2101);
    EXPECT_EQ(Bytes{0x8A}, Take());
    EXPECT_EQ(10u, delivered.size());
}

// The rules leave open whether frames that keep arriving put the timer off.
TEST_F(CPlainFixture, TimerComesEveryThirdOfTheSpanOrAfterAsLongWithoutFramesAsSwitched) {
    for (blesim::CPlainDevice::ETimer timer :
         {blesim::CPlainDevice::timerPeriodic, blesim::CPlainDevice::timerAfterQuiet}) {
        bool periodic = timer == blesim::CPlainDevice::timerPeriodic;
        DWORD t = periodic ? 10000 : 20000;  // each reading on its own stretch of time
        device.SetTimer(timer);
        LinkUp();
        Give({0x00, 1, 1}, t);
        device.OnTimer(t + 400);
        ASSERT_EQ(Bytes{0x41}, Take());
        Give({0x00, 2, 2}, t + 500);
        Give({0x00, 3, 3}, t + 600);
        EXPECT_EQ(periodic ? t + 733 : t + 933, device.NextTimer());
        device.OnTimer(t + 733);
        if (periodic) {
            EXPECT_EQ(Bytes{0x43}, Take());
        } else {
            EXPECT_TRUE(written.empty()) << "a frame came 133 ms before";
        }
        device.OnTimer(t + 933);
        if (!periodic) {
            EXPECT_EQ(Bytes{0x43}, Take());
        }
        EXPECT_TRUE(written.empty());
        delivered.clear();
    }
}

// The rules leave open what the resend mark means to a receiver.
TEST_F(CPlainFixture, ReadsAMarkedCopyAsTheFrameOrAModulusAheadAsSwitched) {
    for (blesim::CPlainDevice::EMark mark : {blesim::CPlainDevice::markStripped, blesim::CPlainDevice::markKept}) {
        delivered.clear();
        device.SetMark(mark);
        LinkUp();
        Give({0x00, 1, 'a'});
        Give({0x00, 0x22, 'b'});  // frame 2 resent after a time-out; its first send was lost
        Give({0x00, 3, 'c'});
        if (mark == blesim::CPlainDevice::markStripped)
            EXPECT_EQ((Bytes{'a', 'b', 'c'}), delivered);
        else
            EXPECT_EQ(Bytes{'a'}, delivered) << "0x22 read as 34 leaves a gap at 2";
        written.clear();
    }
}

// Lossless, both ends follow the plain rules apart from each other's code.
TEST(PlainDeviceModel, CarriesBothStreamsIntactWithoutLoss) {
    for (DWORD seed = 1; seed <= 20; ++seed) {
        link_model::CModelConfig config;
        config.seed = seed;
        config.SetChannel(10, 0, 0, 0, 400, seed);
        config.plainDevice = true;
        config.bytesUp = config.bytesDown = 20 * 1024;
        config.wakeLatencyUs = 2000;
        link_model::CModelResult result = link_model::RunLinkModel(config);
        EXPECT_TRUE(result.Ok()) << "seed " << seed << ": " << result.Describe();
    }
}

}  // namespace

namespace {

// One stream one way against the plain device on an in-order channel.
link_model::CModelResult PlainRun(const corvane::CLinkRules& rules, DWORD seed, DWORD lossPermille, bool toDevice,
                                  blesim::CPlainDevice::ETimer timer = blesim::CPlainDevice::timerPeriodic) {
    link_model::CModelConfig config;
    config.seed = seed;
    config.SetChannel(10, lossPermille, 0, 0, 400, seed);
    config.portRules = rules;
    config.plainDevice = true;
    config.plainTimer = timer;
    config.wakeLatencyUs = 50 * 1000;  // a busy machine waking the worker late
    config.bytesUp = toDevice ? 8 * 1024 : 0;
    config.bytesDown = toDevice ? 0 : 8 * 1024;
    config.timeLimitMs = 120 * 1000;
    return link_model::RunLinkModel(config);
}

}  // namespace

// The plain-safe rules carry the stream whole to either end at any loss:
// never a wrong byte, and no run stalls (a stored error would count as told,
// not as corrupt, but none is needed on an in-order channel).
// Either reading of the device's timer.
TEST(PlainDeviceModel, PlainSafeRulesCarryTheStreamWholeUnderLoss) {
    for (blesim::CPlainDevice::ETimer timer :
         {blesim::CPlainDevice::timerPeriodic, blesim::CPlainDevice::timerAfterQuiet})
        for (DWORD loss : {10u, 20u, 50u, 100u})
            for (bool toDevice : {true, false})
                for (DWORD seed = 1; seed <= 100; ++seed) {
                    link_model::CModelResult result =
                        PlainRun(corvane::CLinkRules::PlainSafe(), seed, loss, toDevice, timer);
                    ASSERT_TRUE(result.Ok())
                        << (toDevice ? "port to device" : "device to port") << ", loss " << loss << " permille, seed "
                        << seed << ", timer " << timer << ": " << result.Describe();
                    ASSERT_FALSE(result.portSawEngine) << "the plain device repeated an ACK, seed " << seed;
                }
}

// Lossless, they carry the stream whole both ways.
TEST(PlainDeviceModel, PlainSafeRulesCarryTheStreamWholeWithoutLoss) {
    for (bool toDevice : {true, false})
        for (DWORD seed = 1; seed <= 20; ++seed) {
            link_model::CModelResult result = PlainRun(corvane::CLinkRules::PlainSafe(), seed, 0, toDevice);
            EXPECT_TRUE(result.Ok()) << (toDevice ? "port to device" : "device to port") << ", seed " << seed << ": "
                                     << result.Describe();
        }
}

// A channel that reorders frames by up to 8 places, with and without loss:
// the plain-safe rules carry the stream whole both ways. From the device,
// after a loss, its time-out resends the window marked, and a copy the
// channel holds back arrives after our next ACKs, numbered a modulus below
// a frame the device may now send; and our ACKs themselves may overtake
// one another, so that the device reads an old number in its new window.
TEST(PlainDeviceModel, PlainSafeRulesCarryTheStreamWholeThroughReorderingBy8) {
    for (DWORD loss : {0u, 20u, 50u})
        for (bool toDevice : {true, false})
            for (DWORD seed = 1; seed <= 100; ++seed) {
                link_model::CModelConfig config;
                config.seed = seed;
                config.SetChannel(10, loss, 200, 0, 400, seed);
                config.up.reorderDepth = config.down.reorderDepth = 8;
                config.portRules = corvane::CLinkRules::PlainSafe();
                config.plainDevice = true;
                config.wakeLatencyUs = 50 * 1000;
                config.bytesUp = toDevice ? 8 * 1024 : 0;
                config.bytesDown = toDevice ? 0 : 8 * 1024;
                config.timeLimitMs = 120 * 1000;
                link_model::CModelResult result = link_model::RunLinkModel(config);
                ASSERT_TRUE(result.Ok()) << (toDevice ? "port to device" : "device to port") << ", loss " << loss
                                         << " permille, seed " << seed << ": " << result.Describe();
            }
}

// Against a device on the engine's own rules, which takes only a few frames
// beyond its last ACK in any order and drops the rest, the plain-safe sender
// learns what the device is from its repeated ACKs and neither stalls nor
// lets a copy pass for a frame a modulus ahead: every run arrives whole or
// is told (a copy it could not rule out).
TEST(PlainDeviceModel, PlainSafeRulesCarryTheStreamToADeviceOnTheEngine) {
    int told = 0;
    for (DWORD loss : {10u, 20u, 50u, 100u})
        for (DWORD seed = 1; seed <= 100; ++seed) {
            link_model::CModelConfig config;
            config.seed = seed;
            config.SetChannel(10, loss, 0, 0, 400, seed);
            config.portRules = corvane::CLinkRules::PlainSafe();
            config.wakeLatencyUs = 50 * 1000;
            config.bytesUp = 8 * 1024;
            config.bytesDown = 0;
            config.timeLimitMs = 120 * 1000;
            link_model::CModelResult result = link_model::RunLinkModel(config);
            ASSERT_TRUE(result.intact && (result.complete || result.told))
                << "loss " << loss << " permille, seed " << seed << ": " << result.Describe();
            if (result.told) ++told;
        }
    EXPECT_LT(told, 40) << "of 400 runs";
}
