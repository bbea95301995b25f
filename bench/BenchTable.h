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

// Round trips of a port: Send one byte, sleep on the eventDataAvailable
// notice that signals data, Recv the echo.
inline void PortRoundTrips(corvane::IPort& port, basalt::COverlapped& data, std::vector<double>& samples, int rounds) {
    char c = 'p';
    for (int round = 0; round < rounds; ++round) {
        double start = Now();
        data.GetEvent().Reset();
        port.Send(&c, 1);
        while (port.Recv(&c, 1) == 0)
            if (!data.GetEvent().Wait(5000)) throw std::runtime_error("no echo through the port");
        samples.push_back(Now() - start);
    }
}

}  // namespace bench
