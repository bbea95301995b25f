// The simulated radio channel: what the hostile-link tests rely on it to do.
#include "Channel.h"

#include <gtest/gtest.h>

#include <vector>

using blesim::CFrame;
using blesim::CFrameChannel;

namespace {

BLESIM_CHANNEL Settings(DWORD loss, DWORD reorder, DWORD duplicate, DWORD framesPerSecond = 0, DWORD seed = 7) {
    BLESIM_CHANNEL settings = {};
    settings.delayMs = 10;
    settings.lossPermille = loss;
    settings.reorderPermille = reorder;
    settings.duplicatePermille = duplicate;
    settings.reorderDepth = 3;
    settings.framesPerSecond = framesPerSecond;
    settings.seed = seed;
    return settings;
}

// Sends frames numbered 0..count-1, one per millisecond, and answers the
// numbers in the order they came out.
std::vector<int> Carry(CFrameChannel& channel, int count, bool control = false) {
    std::vector<int> out;
    std::uint64_t now = 0;
    CFrame frame;
    for (int i = 0; i < count; ++i, now += 1000) {
        BYTE data[2] = {static_cast<BYTE>(i & 0xFF), static_cast<BYTE>(i >> 8)};
        channel.Submit(data, 2, control, now);
        while (channel.Pop(now, frame)) out.push_back(frame.data[0] | frame.data[1] << 8);
    }
    while (channel.NextDue() != UINT64_MAX) {
        now = std::max(now, channel.NextDue());
        while (channel.Pop(now, frame)) out.push_back(frame.data[0] | frame.data[1] << 8);
    }
    return out;
}

}  // namespace

TEST(Channel, SameSeedMakesTheSameDecisions) {
    CFrameChannel a(Settings(100, 200, 50), 1), b(Settings(100, 200, 50), 1), c(Settings(100, 200, 50), 2);
    std::vector<int> first = Carry(a, 2000);
    EXPECT_EQ(first, Carry(b, 2000));
    EXPECT_NE(first, Carry(c, 2000)) << "the other direction draws its own sequence";
}

TEST(Channel, LosesDuplicatesAndReordersAtTheRatesAsked) {
    CFrameChannel channel(Settings(100, 200, 50), 1);
    std::vector<int> out = Carry(channel, 10000);
    const CFrameChannel::CCounters& counters = channel.GetCounters();
    EXPECT_NEAR(1000, counters.dropped, 150);
    EXPECT_NEAR(450, counters.duplicated, 100);
    EXPECT_EQ(out.size(), counters.delivered);
    EXPECT_EQ(10000u - counters.dropped + counters.duplicated, out.size());
}

TEST(Channel, ReordersByAtMostTheDepth) {
    CFrameChannel channel(Settings(0, 300, 0), 1);
    std::vector<int> out = Carry(channel, 5000);
    ASSERT_EQ(5000u, out.size());
    // A frame comes out at most reorderDepth places after a later one.
    int worst = 0;
    for (size_t i = 0; i < out.size(); ++i)
        for (size_t j = i + 1; j < out.size() && j < i + 10; ++j)
            if (out[j] < out[i]) worst = std::max<int>(worst, out[i] - out[j]);
    EXPECT_EQ(3, worst);
}

TEST(Channel, ControlFramesOnlyWaitTheDelay) {
    CFrameChannel channel(Settings(500, 500, 500), 1);
    std::vector<int> out = Carry(channel, 500, true);
    ASSERT_EQ(500u, out.size());
    for (int i = 0; i < 500; ++i) EXPECT_EQ(i, out[i]);
}

TEST(Channel, FrameRateSpacesDeparturesAndDelayHoldsArrivals) {
    CFrameChannel channel(Settings(0, 0, 0, 400), 1);
    BYTE data[1] = {1};
    for (int i = 0; i < 4; ++i) channel.Submit(data, 1, false, 0);
    CFrame frame;
    EXPECT_FALSE(channel.Pop(9999, frame));
    EXPECT_TRUE(channel.Pop(10000, frame));
    EXPECT_EQ(12500u, channel.NextDue()) << "one frame every 2.5 ms";
    EXPECT_TRUE(channel.Pop(17500, frame));
    EXPECT_TRUE(channel.Pop(17500, frame));
    EXPECT_TRUE(channel.Pop(17500, frame));
    EXPECT_TRUE(channel.IsEmpty());
}
