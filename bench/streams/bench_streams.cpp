// bench_streams: how fast bytes pass through a stream compared with a plain
// memcpy of the same chunks, and how long an OVERLAPPED notice takes to wake a
// waiting worker compared with a bare SetEvent. Both baselines are measured in
// the same run, so the ratios hold on any machine.
#include "BenchTable.h"
#include "Streams.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

using namespace corvane;

namespace {

// Through a pointer the compiler cannot see through, so that the baseline is
// the same library call the ring makes and is never folded away.
void* (*volatile g_memcpy)(void*, const void*, size_t) = std::memcpy;

const DWORD kCapacity = 0x10000;   // a serial port's outgoing stream
const double kRunSeconds = 0.25;   // per measurement; the best of kRepeats counts
const int kRepeats = 5;

// Bytes per second of body(chunk), run in batches until kRunSeconds passed.
template <class Body>
double BytesPerSecond(DWORD chunk, Body body) {
    double best = 0;
    for (int repeat = 0; repeat < kRepeats; ++repeat) {
        std::uint64_t bytes = 0;
        double start = bench::Now(), elapsed = 0;
        do {
            for (int i = 0; i < 256; ++i) body();
            bytes += 256ull * chunk;
            elapsed = bench::Now() - start;
        } while (elapsed < kRunSeconds);
        best = std::max(best, bytes / elapsed);
    }
    return best;
}

void Throughput() {
    std::printf("Throughput: MB/s and ns per chunk, best of %d runs of %.2f s, ring of %lu bytes\n",
                kRepeats, kRunSeconds, static_cast<unsigned long>(kCapacity));
    std::printf("%-7s | %7s %6s | %7s %6s %6s | %7s %6s %6s\n", "chunk", "memcpy", "ns", "Write+", "ns",
                "ratio", "Fill+", "ns", "ratio");
    std::printf("%-7s | %7s %6s | %7s %6s %6s | %7s %6s %6s\n", "", "", "", "Drain", "", "", "Read", "",
                "");
    for (DWORD chunk : {64u, 1024u, 4096u, 16384u}) {
        std::vector<BYTE> source(chunk, 0x5A), target(chunk);
        double copy = BytesPerSecond(chunk, [&] { g_memcpy(target.data(), source.data(), chunk); });

        CStreamOutgoing outgoing(kCapacity);
        double drain = BytesPerSecond(chunk, [&] {
            outgoing.Write(source.data(), chunk);
            DWORD size;
            outgoing.BeginDrain(&size);  // the device would take the bytes from the area it answers here
            outgoing.EndDrain(size);
        });

        CStreamIncoming incoming(kCapacity);
        double fill = BytesPerSecond(chunk, [&] {
            incoming.BeginFill(chunk);  // the device would write into the area it answers here
            incoming.EndFill(chunk);
            incoming.Read(target.data(), chunk);
        });
        auto nanoseconds = [&](double rate) { return chunk / rate * 1e9; };
        std::printf("%-7lu | %7.0f %6.0f | %7.0f %6.0f %6.2f | %7.0f %6.0f %6.2f\n",
                    static_cast<unsigned long>(chunk), copy / 1e6, nanoseconds(copy), drain / 1e6,
                    nanoseconds(drain), drain / copy, fill / 1e6, nanoseconds(fill), fill / copy);
        if (chunk == 64 || chunk == 4096) {
            std::string size = std::to_string(chunk) + " B chunks";
            bench::Throughput("stream", "Write+Drain, " + size + " (bare: memcpy)", drain / 1e6, copy / 1e6, "MB/s");
            bench::Throughput("stream", "Fill+Read, " + size + " (bare: memcpy)", fill / 1e6, copy / 1e6, "MB/s");
        }
    }

    // What every stream call pays before it copies a byte.
    basalt::CCriticalSection lock;
    double start = bench::Now();
    const int pairs = 1000000;
    for (int i = 0; i < pairs; ++i) {
        lock.Lock();
        lock.Unlock();
    }
    std::printf("(one uncontended critical section enter + leave: %.0f ns; a round trip takes three)\n",
                (bench::Now() - start) / pairs * 1e9);
}

struct Percentiles {
    double p50, p90, p99;
};

Percentiles Summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[static_cast<size_t>(q * (samples.size() - 1))] * 1e6; };
    return {at(0.5), at(0.9), at(0.99)};
}

// Microseconds from signal(), on this thread, until a thread waiting on event
// runs again; the waiter answers on an event of its own before the next round.
template <class Signal>
Percentiles WakeLatency(HANDLE event, Signal signal, int rounds) {
    basalt::CEvent answered(false, false);
    std::vector<double> samples;
    samples.reserve(rounds);
    double woke = 0;
    std::thread waiter([&] {
        for (int round = 0; round < rounds; ++round) {
            ::WaitForSingleObject(event, INFINITE);
            woke = bench::Now();
            ::ResetEvent(event);
            answered.Set();
        }
    });
    for (int round = 0; round < rounds; ++round) {
        double start = bench::Now();
        signal();
        answered.Wait();
        samples.push_back(woke - start);
    }
    waiter.join();
    return Summarise(samples);
}

void Latency() {
    const int rounds = 2000;
    basalt::CEvent bare(true, false);
    Percentiles setEvent = WakeLatency(bare.GetHandle(), [&] { bare.Set(); }, rounds);

    // A receive worker's EndFill, heard by a client waiting on an OVERLAPPED notice.
    CStreamIncoming stream(kCapacity);
    basalt::COverlapped overlapped;
    stream.RegisterNotice(INotice::CreateInstance(overlapped), eventDataAvailable);
    Percentiles endFill = WakeLatency(overlapped.hEvent, [&] {
        stream.BeginFill(1);
        stream.EndFill(1);
    }, rounds);

    std::printf("\nWake-up of a waiting thread (microseconds, %d rounds)\n", rounds);
    std::printf("%-26s %8s %8s %8s\n", "", "p50", "p90", "p99");
    std::printf("%-26s %8.1f %8.1f %8.1f\n", "SetEvent", setEvent.p50, setEvent.p90, setEvent.p99);
    std::printf("%-26s %8.1f %8.1f %8.1f\n", "EndFill + OVERLAPPED notice", endFill.p50, endFill.p90,
                endFill.p99);
    bench::Latency("stream", "wake-up by notice (bare: SetEvent)", bench::Percentiles{endFill.p50, endFill.p99},
                   bench::Percentiles{setEvent.p50, setEvent.p99});
}

}  // namespace

int main() {
    Throughput();
    Latency();
    return 0;
}
