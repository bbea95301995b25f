// The whole link in the discrete-event model: byte streams both ways through
// a channel that loses, reorders and duplicates frames against the
// simulator's own device, and through a lossless one against a device on the
// plain rules.
#include "LinkModel.h"

#include <gtest/gtest.h>

#include <string>

using corvane::CLinkRules;
using link_model::CModelConfig;
using link_model::CModelResult;
using link_model::RunLinkModel;

namespace {

// A channel of its own delay per seed, 400 frames a second each way (about
// what a short connection interval carries).
CModelConfig Hostile(DWORD seed, DWORD lossPermille, DWORD reorderPermille, DWORD duplicatePermille = 0) {
    CModelConfig config;
    config.seed = seed;
    config.SetChannel(5 + (seed * 7) % 50, lossPermille, reorderPermille, duplicatePermille, 400, seed);
    return config;
}

std::string Label(const CModelConfig& config) {
    return "seed " + std::to_string(config.seed) + ", loss " + std::to_string(config.up.lossPermille) +
           "/1000, reorder " + std::to_string(config.up.reorderPermille) + "/1000, duplicate " +
           std::to_string(config.up.duplicatePermille) + "/1000";
}

}  // namespace

// The test that must never be weakened: for every seed, up to 20 % loss,
// reordering by up to three places, 100 KB each way arrive whole and in order
// and the link never stalls for good.
TEST(HostileLink, BothStreamsArriveIntactThroughLossAndReordering) {
    for (DWORD loss : {0u, 20u, 100u, 200u})
        for (DWORD reorder : {0u, 100u, 250u})
            for (DWORD seed = 1; seed <= 16; ++seed) {
                CModelConfig config = Hostile(seed, loss, reorder);
                CModelResult result = RunLinkModel(config);
                ASSERT_TRUE(result.Ok()) << Label(config) << ": " << result.Describe();
                EXPECT_LT(result.longestStallMs, 30000u) << Label(config) << ": " << result.Describe();
            }
}

// One-way traffic: the other direction carries bare acknowledgements only,
// which the channel reorders among themselves.
TEST(HostileLink, OneWayStreamsSurviveReorderedAcknowledgements) {
    for (DWORD seed = 1; seed <= 24; ++seed) {
        CModelConfig config = Hostile(seed, 150, 300);
        if (seed % 2) config.bytesDown = 0;
        else config.bytesUp = 0;
        CModelResult result = RunLinkModel(config);
        ASSERT_TRUE(result.Ok()) << Label(config) << ": " << result.Describe();
    }
}

// Copies right behind the original are dropped by the receive window, and
// late copies too as long as fewer than 20 newer frames overtook them.
TEST(HostileLink, DuplicatedFramesAreAbsorbed) {
    for (DWORD duplicate : {100u, 300u})
        for (DWORD seed = 1; seed <= 8; ++seed) {
            CModelConfig config = Hostile(seed, 100, 150, duplicate);
            CModelResult result = RunLinkModel(config);
            ASSERT_TRUE(result.Ok()) << Label(config) << ": " << result.Describe();
            EXPECT_GT(result.port.duplicates + result.device.duplicates, 0u);
        }
}

// --- Against a device that follows the plain rules ------------------------------

// What reaches the port from a real device: a lossless, in-order link layer,
// frames at up to about 1,500 a second or a whole window of 32 at once, and
// a worker that a busy machine wakes up to 50 ms late. The plain device keeps
// all 32 frames in flight and empties its window on any acknowledgement that
// names no frame it holds, so one repeated or backward ACK loses data.
TEST(LiteralDevice, StreamsArriveIntactThroughBurstsLateWakeUpsAndHighRates) {
    for (DWORD framesPerSecond : {0u, 400u, 1000u, 1500u})  // 0: no spacing, whole-window bursts
        for (DWORD lateMs : {0u, 15u, 30u, 50u})
            for (DWORD seed = 1; seed <= 20; ++seed) {
                CModelConfig config;
                config.seed = seed;
                config.SetChannel(5 + (seed * 7) % 50, 0, 0, 0, framesPerSecond, seed);
                config.deviceRules = CLinkRules::LiteralDevice();
                config.wakeLatencyUs = lateMs ? lateMs * 1000 : 400;
                config.bytesUp = config.bytesDown = 24 * 1024;
                if (seed % 3 == 1) config.bytesUp = 0;  // bare acknowledgements one way
                if (seed % 4 == 0) config.parameters[3] = 0x10;  // W 16
                CModelResult result = RunLinkModel(config);
                ASSERT_TRUE(result.Ok()) << framesPerSecond << " frames/s, up to " << lateMs << " ms late, "
                                         << Label(config) << ": " << result.Describe();
                EXPECT_EQ(0u, result.port.timeouts + result.device.timeouts) << Label(config);
            }
}

// --- Fast recovery, against this engine's own device -----------------------------

// Reordering deeper than the in-flight limit: a late copy must lag more
// numbers than the sender can have in flight before its alias could pass.
// Fast recovery takes 24 places, the engine's own rules 16. The default
// rules take 8; deeper, a run may end in a stored error, never in a wrong
// byte or a stall.
TEST(FastRecovery, StreamsSurviveReorderingByUpTo24Places) {
    const struct {
        const char* name;
        CLinkRules rules;
        DWORD intactTo;  // deepest reordering that must arrive whole
    } ports[] = {{"fast", CLinkRules::Fast(), 24}, {"engine", CLinkRules::Reliable(), 16},
                 {"default", CLinkRules::PlainSafe(), 8}};
    for (const auto& port : ports)
        for (DWORD depth : {8u, 16u, 24u})
            for (DWORD seed = 1; seed <= 10; ++seed) {
                if (depth > 16 && port.intactTo < 24) continue;
                CModelConfig config = Hostile(seed, 50, 200, 50);
                config.up.reorderDepth = config.down.reorderDepth = depth;
                config.bytesUp = config.bytesDown = 40 * 1024;
                config.portRules = port.rules;
                config.timeLimitMs = 600 * 1000;
                CModelResult result = RunLinkModel(config);
                if (depth <= port.intactTo)
                    ASSERT_TRUE(result.Ok()) << port.name << ", depth " << depth << ", " << Label(config) << ": "
                                             << result.Describe();
                else
                    ASSERT_TRUE(result.intact && (result.complete || result.told))
                        << port.name << ", depth " << depth << ", " << Label(config) << ": " << result.Describe();
            }
}
