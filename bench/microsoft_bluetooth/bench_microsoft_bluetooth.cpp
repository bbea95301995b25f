// Echo throughput of a Microsoft Bluetooth port against the simulated stack's
// echoing device, both ways at once, against a bare loop on a socket made
// through the same stack (same device, same channel, the port's receive size
// of 64 KiB), so the ratio shows what the port and its streams add. Then the
// round trip of one byte out and one back, the port against the bare socket,
// in alternating batches.
#include "BenchTable.h"
#include "Common.h"
#include "MicrosoftBluetooth/MicrosoftBluetooth.h"
#include "MicrosoftBluetooth/Winsock.h"

#include <BthSim.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

const ULONGLONG kEcho = 0x008025000001ULL;  // the default world's echoing device, channel 1
const size_t kBytes = 8u << 20;
const DWORD kBlock = 0x10000;
const int kRounds = 3;

typedef std::chrono::steady_clock Clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double PortRun() {
    Microsoft::CBluetoothPort port(corvane::CBluetoothPortAddr::CreateInstance(kEcho, 0, nullptr, nullptr, 0, 0));
    // The client sleeps on the port's notices as an application would: the
    // writer until the outgoing stream has emptied when it is full, the
    // reader until bytes arrive.
    bench::AutoResetNotice arrived, emptied;
    port.RegisterNotice(arrived.notice, corvane::eventDataAvailable);
    port.RegisterNotice(emptied.notice, corvane::eventOutgoingEmpty);
    port.Open();
    port.SetBufferSize(4u << 20, 4u << 20);
    std::vector<BYTE> out(kBlock, 0x5A), in(kBlock);
    Clock::time_point start = Clock::now();
    std::thread writer([&] {
        for (size_t done = 0; done < kBytes;) {
            DWORD taken = port.Send(out.data(), static_cast<DWORD>(std::min<size_t>(kBlock, kBytes - done)));
            if (taken == 0) emptied.event.Wait(1000);
            done += taken;
        }
    });
    for (size_t got = 0; got < kBytes;) {
        DWORD n = port.Recv(in.data(), kBlock);
        if (n == 0) arrived.event.Wait(1000);
        got += n;
    }
    double seconds = Seconds(start);
    writer.join();
    return kBytes / seconds / 1e6;
}

basalt::CWSASocket ConnectBare() {
    basalt::CWSASocket socket;
    socket.UseCalls(&Microsoft::BthWinsock().sockets);
    socket.Create(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM, nullptr, 0, WSA_FLAG_OVERLAPPED);
    SOCKADDR_BTH peer;
    std::memset(&peer, 0, sizeof peer);
    peer.addressFamily = AF_BTH;
    peer.btAddr = kEcho;
    peer.port = 1;
    socket.ConnectLL(reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    return socket;
}

double BareRun() {
    basalt::CWSASocket socket = ConnectBare();
    std::vector<char> out(kBlock, 0x5A), in(Microsoft::CBluetoothPort::receiveChunk);
    Clock::time_point start = Clock::now();
    std::thread writer([&] {
        basalt::CWSAOverlapped record;
        for (size_t done = 0; done < kBytes;) {
            DWORD sent = 0;
            record.Prepare();
            if (!socket.Send(out.data(), static_cast<DWORD>(std::min<size_t>(kBlock, kBytes - done)), sent, record))
                socket.GetOverlappedResult(record, sent, true);
            done += sent;
        }
    });
    basalt::CWSAOverlapped record;
    for (size_t got = 0; got < kBytes;) {
        DWORD received = 0;
        record.Prepare();
        if (!socket.Recv(in.data(), static_cast<DWORD>(in.size()), received, record))
            socket.GetOverlappedResult(record, received, true);
        if (received == 0) break;
        got += received;
    }
    double seconds = Seconds(start);
    writer.join();
    return kBytes / seconds / 1e6;
}

void PortRoundTrips(std::vector<double>& samples, int rounds) {
    Microsoft::CBluetoothPort port(corvane::CBluetoothPortAddr::CreateInstance(kEcho, 0, nullptr, nullptr, 0, 0));
    bench::AutoResetNotice data;
    port.RegisterNotice(data.notice, corvane::eventDataAvailable);
    port.Open();
    bench::PortRoundTrips(port, data, samples, rounds);
    port.Close();
    port.DeregisterNotice(data.notice, corvane::eventAll);
}

void BareRoundTrips(std::vector<double>& samples, int rounds) {
    basalt::CWSASocket socket = ConnectBare();
    basalt::CWSAOverlapped record;
    char c = 'b';
    for (int round = 0; round < rounds; ++round) {
        double start = bench::Now();
        DWORD done = 0;
        record.Prepare();
        if (!socket.Send(&c, 1, done, record)) socket.GetOverlappedResult(record, done, true);
        record.Prepare();
        if (!socket.Recv(&c, 1, done, record)) socket.GetOverlappedResult(record, done, true);
        if (done != 1) throw basalt::CWinException(__LINE__, L"bench", L"no echo", WAIT_TIMEOUT);
        samples.push_back(bench::Now() - start);
    }
}

// The bare loop's calls, made by a sending and a receiving thread for the client.
void HandOffRoundTrips(std::vector<double>& samples, int rounds) {
    basalt::CWSASocket socket = ConnectBare();
    basalt::CWSAOverlapped sendRecord, recvRecord;
    char out = 'h', in = 0;
    bench::HandOffRoundTrips(
        [&] {
            DWORD done = 0;
            sendRecord.Prepare();
            if (!socket.Send(&out, 1, done, sendRecord)) socket.GetOverlappedResult(sendRecord, done, true);
        },
        [&] {
            DWORD done = 0;
            recvRecord.Prepare();
            if (!socket.Recv(&in, 1, done, recvRecord)) socket.GetOverlappedResult(recvRecord, done, true);
            return done == 1;
        },
        samples, rounds);
}

}  // namespace

int main() {
    try {
        corvane::CLibraryScope scope;
        BthSimReset(TRUE);
        double port = 0, bare = 0;
        for (int round = 0; round < kRounds; ++round) {
            bare = std::max(bare, BareRun());
            port = std::max(port, PortRun());
        }
        std::printf("RFCOMM echo, %u MiB each way, best of %d\n", static_cast<unsigned>(kBytes >> 20), kRounds);
        std::printf("  bare socket loop : %8.1f MB/s\n", bare);
        std::printf("  CBluetoothPort   : %8.1f MB/s\n", port);
        std::printf("  ratio            : %8.2f (goal 0.90)\n", port / bare);
        std::vector<double> portSamples, bareSamples, handOffSamples;
        bench::Alternate(PortRoundTrips, BareRoundTrips, HandOffRoundTrips, portSamples, bareSamples, handOffSamples);
        bench::Percentiles portLatency = bench::Summarise(portSamples), bareLatency = bench::Summarise(bareSamples);
        bench::Percentiles handOffLatency = bench::Summarise(handOffSamples);
        std::printf("round trip, 1 byte each way, %d rounds: port p50 %.0f us p99 %.0f us, bare p50 %.0f us p99 %.0f us\n",
                    bench::kLatencyRounds, portLatency.p50, portLatency.p99, bareLatency.p50, bareLatency.p99);
        std::printf("        (bare loop through a sending and a receiving thread: p50 %.0f us p99 %.0f us)\n",
                    handOffLatency.p50, handOffLatency.p99);
        bench::Throughput("bluetooth (RFCOMM)", "echo, both ways at once", port, bare, "MB/s");
        bench::Latency("bluetooth (RFCOMM)", "round trip, 1 byte", portLatency, bareLatency);
        bench::HandOffLatency("bluetooth (RFCOMM)", "round trip, 1 byte", portLatency, handOffLatency);
        return 0;
    } catch (const basalt::CStdException& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 2;
    }
}
