#pragma once
// What every benchmark shares: one row format for the collected table that
// scripts/bench.sh prints, a clock, the percentiles of a latency run and the
// port's side of one.
// A row is a line of its own, "table: | transport | measure | port | bare |
// ratio |", the ratio always so that higher is better: port / bare for a
// throughput, bare / port for a latency.
#include <windows.h>

#include "Common.h"

#include <basalt/Sync.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace bench {

inline double Now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency;
}

inline void Row(const char* transport, const std::string& measure, const std::string& port, const std::string& bare,
                double ratio) {
    std::printf("table: | %s | %s | %s | %s | %.2f |\n", transport, measure.c_str(), port.c_str(), bare.c_str(), ratio);
    std::fflush(stdout);
}

inline std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

inline void Throughput(const char* transport, const std::string& measure, double port, double bare,
                       const char* unit = "MiB/s") {
    std::string suffix = std::string(" ") + unit;
    Row(transport, measure, Format("%.1f", port) + suffix, Format("%.1f", bare) + suffix, bare > 0 ? port / bare : 0);
}

// Round trips in seconds; the 50th and 99th percentiles in microseconds.
struct Percentiles {
    double p50 = 0, p99 = 0;
};

inline Percentiles Summarise(std::vector<double> seconds) {
    Percentiles result;
    if (seconds.empty()) return result;
    std::sort(seconds.begin(), seconds.end());
    auto at = [&](double q) { return seconds[static_cast<size_t>(q * (seconds.size() - 1))] * 1e6; };
    result.p50 = at(0.5);
    result.p99 = at(0.99);
    return result;
}

// Two rows, p50 and p99, for a request/response run of the port beside the bare loop.
inline void Latency(const char* transport, const std::string& what, const Percentiles& port, const Percentiles& bare) {
    Row(transport, what + " p50", Format("%.0f us", port.p50), Format("%.0f us", bare.p50),
        port.p50 > 0 ? bare.p50 / port.p50 : 0);
    Row(transport, what + " p99", Format("%.0f us", port.p99), Format("%.0f us", bare.p99),
        port.p99 > 0 ? bare.p99 / port.p99 : 0);
}

// Rounds of a request/response measurement, port and bare in alternating
// batches, so that a slow stretch of the machine falls on both alike.
const int kLatencyRounds = 2000;
const int kLatencyBatches = 10;

// Runs port(samples, n) and bare(samples, n) alternately, n rounds a batch;
// each appends one round trip in seconds per round.
template <class Port, class Bare>
void Alternate(Port port, Bare bare, std::vector<double>& portSamples, std::vector<double>& bareSamples) {
    const int batch = kLatencyRounds / kLatencyBatches;
    for (int i = 0; i < kLatencyBatches; ++i) {
        bare(bareSamples, batch);
        port(portSamples, batch);
    }
}

// Runs three loops alternately, n rounds a batch: the port, the bare loop,
// and the bare loop through the port's hand-offs (see HandOffRoundTrips).
template <class Port, class Bare, class HandOff>
void Alternate(Port port, Bare bare, HandOff handOff, std::vector<double>& portSamples,
               std::vector<double>& bareSamples, std::vector<double>& handOffSamples) {
    const int batch = kLatencyRounds / kLatencyBatches;
    for (int i = 0; i < kLatencyBatches; ++i) {
        bare(bareSamples, batch);
        handOff(handOffSamples, batch);
        port(portSamples, batch);
    }
}

// The shape of a port's round trip without the port: the client hands the
// byte to a sending thread and sleeps until a receiving thread, woken by the
// echo, wakes it in turn. send() and receive() are the bare loop's own calls
// for one byte, each returning when it is done (receive false: no echo). A
// port whose workers send and receive for the client makes these two
// hand-offs on every round trip, so this loop is what its design costs
// before any of its code runs. The threads run at the workers' priority.
template <class Send, class Receive>
void HandOffRoundTrips(Send send, Receive receive, std::vector<double>& samples, int rounds) {
    basalt::CEvent go(false, false), back(false, false);
    auto fail = [](const char* what) {
        std::fprintf(stderr, "hand-off loop: %s\n", what);
        std::fflush(stderr);
        // A thread may be stuck in its call: no join could end this run.
        ::ExitProcess(2);
    };
    auto guarded = [&](auto body) {
        return [&, body] {
            ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
            try {
                body();
            } catch (const std::exception& e) {
                fail(e.what());
            } catch (...) {
                fail("a call failed");
            }
        };
    };
    std::thread sender(guarded([&] {
        for (int round = 0; round < rounds; ++round) {
            go.Wait();
            send();
        }
    }));
    std::thread receiver(guarded([&] {
        for (int round = 0; round < rounds; ++round) {
            if (!receive()) fail("no echo");
            back.Set();
        }
    }));
    for (int round = 0; round < rounds; ++round) {
        double start = Now();
        go.Set();
        if (!back.Wait(5000)) fail("no echo within 5 s");
        samples.push_back(Now() - start);
    }
    sender.join();
    receiver.join();
}

// The row of a port's round trip beside the hand-off loop's: how close the
// port comes to what its design costs (bare / port as in Latency).
inline void HandOffLatency(const char* transport, const std::string& what, const Percentiles& port,
                           const Percentiles& handOff) {
    Row(transport, what + " p50 (bare: the bare loop through two thread hand-offs)", Format("%.0f us", port.p50),
        Format("%.0f us", handOff.p50), port.p50 > 0 ? handOff.p50 / port.p50 : 0);
}

// The client's notice of a latency run: its event resets itself, as the
// hand-off loop's do, so that the client spends no call on a reset.
struct AutoResetNotice {
    basalt::CEvent event{false, false};
    OVERLAPPED record{};
    boost::shared_ptr<corvane::INotice> notice;
    AutoResetNotice() {
        record.hEvent = event.GetHandle();
        notice = corvane::INotice::CreateInstance(record);
    }
};

// Round trips of a port: Send one byte, sleep on the eventDataAvailable
// notice that signals data, Recv the echo. A notice fired for a byte that
// Recv took already leaves the event set: the next round then looks once more.
inline void PortRoundTrips(corvane::IPort& port, AutoResetNotice& data, std::vector<double>& samples, int rounds) {
    char c = 'p';
    for (int round = 0; round < rounds; ++round) {
        double start = Now();
        port.Send(&c, 1);
        while (port.Recv(&c, 1) == 0)
            if (!data.event.Wait(5000)) throw std::runtime_error("no echo through the port");
        samples.push_back(Now() - start);
    }
}

}  // namespace bench
