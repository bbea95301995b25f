// The whole link in the discrete-event model: byte streams both ways through
// a channel that loses, reorders and duplicates frames, with the port's
// rules as the engine runs them and, for comparison, the plain ones.
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

CModelConfig WithRules(CModelConfig config, const CLinkRules& rules) {
    config.portRules = rules;
    config.deviceRules = rules;
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

// --- Why the engine departs from the plain rules --------------------------------

// In this model the plain rules survive reordering alone too: a late ACK
// that strips the window wrongly only removes frames that arrive anyway.
TEST(PlainRules, CarryBothStreamsOverAPerfectChannel) {
    for (DWORD seed = 1; seed <= 6; ++seed) {
        CModelConfig config = WithRules(Hostile(seed, 0, 0), CLinkRules::Literal());
        CModelResult result = RunLinkModel(config);
        EXPECT_TRUE(result.Ok()) << Label(config) << ": " << result.Describe();
    }
}

TEST(PlainRules, LoseOrCorruptDataWhenASingleFrameIsLost) {
    int failed = 0;
    for (DWORD lost = 40; lost < 50; ++lost) {
        CModelConfig config = Hostile(3, 0, 0);
        config.dropPortDataFrame = lost;
        CModelResult plain = RunLinkModel(WithRules(config, CLinkRules::Literal()));
        if (!plain.Ok()) ++failed;
        CModelResult reliable = RunLinkModel(config);
        EXPECT_TRUE(reliable.Ok()) << "frame " << lost << ": " << reliable.Describe();
    }
    EXPECT_EQ(10, failed);
}

// Each change alone back to the plain rule: some run loses or corrupts data.
TEST(PlainRules, EachReliabilityChangeIsNeeded) {
    struct {
        const char* name;
        bool CLinkRules::*rule;
    } changes[] = {{"limitInFlight", &CLinkRules::limitInFlight},
                   {"keepUnmatched", &CLinkRules::keepUnmatched},
                   {"stripResendFlag", &CLinkRules::stripResendFlag},
                   {"rejectOutsideWindow", &CLinkRules::rejectOutsideWindow}};
    for (const auto& change : changes) {
        CLinkRules rules = CLinkRules::Reliable();
        rules.*change.rule = false;
        int failed = 0;
        for (DWORD seed = 1; seed <= 6; ++seed) {
            CModelConfig config = WithRules(Hostile(seed, 50, 100), rules);
            config.timeLimitMs = 300 * 1000;
            if (!RunLinkModel(config).Ok()) ++failed;
        }
        std::printf("without %s: %d of 6 runs failed\n", change.name, failed);
        EXPECT_GT(failed, 0) << "without " << change.name;
    }
}
