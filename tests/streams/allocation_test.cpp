// Moving bytes through a stream allocates nothing once the staging buffer has
// grown to the sizes in use: a heap lock on every chunk would stall the
// high-priority workers behind the client's threads.
#include "StreamTestKit.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

namespace {
thread_local long t_allocations = 0;
}

// The stream code is linked into this program, so its allocations come here.
// (GCC takes the malloc/free pair for a mismatch once it inlines them.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    ++t_allocations;
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

using namespace corvane;

TEST(StreamAllocations, NoneOnceTheStagingBufferHasGrown) {
    CStreamIncoming incoming(4096);
    CStreamOutgoing outgoing(4096);
    boost::shared_ptr<streams_test::CEventCounter> counter(new streams_test::CEventCounter);
    streams_test::RegisterForAll(incoming, counter);
    streams_test::RegisterForAll(outgoing, counter);
    std::vector<BYTE> bytes(4096, 0x5A), buffer(3000);
    DWORD size;
    // The staging buffers reach their working sizes, on the operations that
    // do not fit the ring's memory in one piece: the largest fill asked for,
    // and all that the outgoing ring can hold, wrapped.
    incoming.BeginFill(3000);
    incoming.EndFill(3000);
    incoming.BeginFill(3000);
    incoming.EndFill(0);
    incoming.Read(buffer.data(), 3000);
    outgoing.Write(bytes.data(), 4096);
    outgoing.BeginDrain(&size);
    outgoing.EndDrain(3000);
    outgoing.Write(bytes.data(), 3000);
    outgoing.BeginDrain(&size);
    outgoing.EndDrain(size);

    long before = t_allocations;
    for (DWORD round = 0; round < 200; ++round) {
        DWORD chunk = 1 + round * 37 % 3000;
        incoming.BeginFill(chunk);
        incoming.EndFill(chunk);  // overflows now and then, which fires too
        incoming.Read(buffer.data(), 1 + round * 53 % 3000);
        outgoing.Write(bytes.data(), chunk);
        if (outgoing.BeginDrain(&size)) outgoing.EndDrain(size / 2);
    }
    EXPECT_EQ(t_allocations - before, 0);
    EXPECT_GT(counter->counts[eventIncomingOverflow] + counter->counts[eventOutgoingOverflow], 1);

    incoming.BeginFill(5000);  // larger than ever: this one grows the buffer
    EXPECT_GT(t_allocations - before, 0);
}
