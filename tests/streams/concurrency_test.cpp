// A worker and a client on one stream at once, with random chunk sizes,
// wrap-around and capacity changes: every byte arrives once and in order,
// and overflow drops only the surplus and says so.
#include "StreamTestKit.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

using namespace corvane;
using namespace streams_test;

namespace {

const std::uint64_t kTotalBytes = 3u << 20;
const DWORD kDeadlineMs = 30000;  // a lost wake-up shows as a failure, not a hang

bool InTime(DWORD start) { return ::GetTickCount() - start < kDeadlineMs; }

// Checks bytes[0..count) against the pattern from position on.
bool Matches(const BYTE* bytes, size_t count, std::uint64_t position) {
    for (size_t i = 0; i < count; ++i)
        if (bytes[i] != PatternAt(position + i)) {
            ADD_FAILURE() << "wrong byte at stream position " << position + i;
            return false;
        }
    return true;
}

}  // namespace

TEST(StreamConcurrency, IncomingFillAndReadLoseNothing) {
    CStreamIncoming stream(4096);
    basalt::COverlapped dataAvailable;
    stream.RegisterNotice(INotice::CreateInstance(dataAvailable), eventDataAvailable);
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    stream.RegisterNotice(counter, eventIncomingOverflow);

    std::atomic<bool> workerDone(false), ok(true);
    std::uint64_t taken = 0;
    long overflows = 0;
    const DWORD start = ::GetTickCount();
    std::thread worker([&] {
        std::mt19937 random(11);
        while (taken < kTotalBytes && ok && InTime(start)) {
            DWORD size = 1 + random() % 3000, received = random() % (size + 1);
            BYTE* staging = stream.BeginFill(size);
            for (DWORD i = 0; i < received; ++i) staging[i] = PatternAt(taken + i);
            DWORD appended = stream.EndFill(received);
            // The device's next bytes carry on from the last one taken.
            taken += appended;
            if (appended < received) { ++overflows; ::Sleep(0); }
        }
        workerDone = true;
    });

    std::mt19937 random(12);
    std::vector<BYTE> buffer(8192);
    std::uint64_t read = 0;
    for (unsigned round = 1; ok && InTime(start); ++round) {
        dataAvailable.Prepare();
        bool finished = workerDone;
        DWORD got = stream.Read(buffer.data(), 1 + random() % 8192);
        ok = Matches(buffer.data(), got, read);
        read += got;
        if (got == 0 && finished) break;
        if (got == 0) dataAvailable.GetEvent().Wait(100);
        if (round % 16 == 0) stream.SetCapacity(1 + random() % 6000);
    }
    worker.join();
    ASSERT_TRUE(ok);
    EXPECT_GE(taken, kTotalBytes) << "deadline passed";
    EXPECT_EQ(read, taken);
    EXPECT_GT(overflows, 0) << "the test never made the ring overflow";
    EXPECT_EQ(counter->counts[eventIncomingOverflow], overflows);
}

TEST(StreamConcurrency, OutgoingWriteAndPartialDrainLoseNothing) {
    CStreamOutgoing stream(4096);
    basalt::COverlapped pending;
    stream.RegisterNotice(INotice::CreateInstance(pending), eventOutgoingPending);
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    stream.RegisterNotice(counter, eventOutgoingOverflow);

    std::atomic<bool> clientDone(false), ok(true);
    std::uint64_t sent = 0;
    const DWORD start = ::GetTickCount();
    std::thread worker([&] {
        std::mt19937 random(21);
        while (ok && InTime(start)) {
            pending.Prepare();
            bool finished = clientDone;
            DWORD size = 0;
            BYTE* chunk = stream.BeginDrain(&size);
            if (!chunk) {
                if (finished) break;
                pending.GetEvent().Wait(100);
                continue;
            }
            // A slow device: the client writes and resizes meanwhile, which
            // must not disturb the chunk in flight.
            if (random() % 4 == 0) ::Sleep(0);
            DWORD taken = random() % (size + 1);
            ok = Matches(chunk, taken, sent) && stream.EndDrain(taken) == taken;
            sent += taken;
        }
    });

    std::mt19937 random(22);
    std::uint64_t queued = 0;
    long overflows = 0;
    for (unsigned round = 1; queued < kTotalBytes && ok && InTime(start); ++round) {
        DWORD size = 1 + random() % 3000;
        DWORD accepted = stream.Write(PatternBytes(queued, size).data(), size);
        queued += accepted;
        if (accepted < size) { ++overflows; ::Sleep(0); }
        if (round % 16 == 0) stream.SetCapacity(1 + random() % 6000);
    }
    clientDone = true;
    pending.GetEvent().Set();
    worker.join();
    ASSERT_TRUE(ok);
    EXPECT_GE(queued, kTotalBytes) << "deadline passed";
    EXPECT_EQ(sent, queued);
    EXPECT_GT(overflows, 0) << "the test never filled the ring";
    EXPECT_EQ(counter->counts[eventOutgoingOverflow], overflows);
}
