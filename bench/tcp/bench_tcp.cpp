// Throughput of a TCP port over loopback, both ways, against a bare
// overlapped Winsock loop moving the same bytes in the same run:
//   send:    CTCPPort::Send        -> peer sink    vs  WSASend loop   -> peer sink
//            (the best of 64 KiB sends one or two in flight and 1 MiB sends)
//   receive: peer source -> CTCPPort::Recv         vs  peer source    -> WSARecv loop
// The receive loop uses the port's own receive size (64 KiB, the best bare
// loop), so the ratio shows what the port adds. Then the round trip of one
// byte out and one byte back through an echoing peer, the port against a
// bare socket, in alternating batches.
#include "BenchTable.h"
#include "Common.h"
#include "TCP.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using basalt::CWSASocket;

const ULONGLONG kBytes = 32ull << 20;
const DWORD kBlock = 0x10000;
const int kRounds = 5;

struct Listener {
    CWSASocket socket;
    unsigned short port = 0;

    Listener() {
        socket.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socket.BindLL(reinterpret_cast<sockaddr*>(&address), sizeof address);
        socket.Listen(4);
        int length = sizeof address;
        socket.GetSockName(reinterpret_cast<sockaddr*>(&address), &length);
        port = CWSASocket::PortOf(address);
    }
};

// Blocking transfers on an overlapped socket.
DWORD SendSome(CWSASocket& socket, const char* data, DWORD size, basalt::COverlapped& record) {
    DWORD sent = 0;
    record.Prepare();
    if (!socket.Send(data, size, sent, record)) socket.GetOverlappedResult(record, sent, true);
    return sent;
}

DWORD RecvSome(CWSASocket& socket, char* buffer, DWORD size, basalt::COverlapped& record) {
    DWORD received = 0;
    record.Prepare();
    if (!socket.Recv(buffer, size, received, record)) socket.GetOverlappedResult(record, received, true);
    return received;
}

void ReadLine(CWSASocket& socket, basalt::COverlapped& record) {
    char c = 0;
    while (c != '\n')
        if (RecvSome(socket, &c, 1, record) == 0) throw std::runtime_error("peer left during login");
}

// The device's side of the login, kept short.
void PeerLogin(CWSASocket& socket) {
    basalt::COverlapped record;
    const std::string greeting = "{{bench}}\r\nLogin:";
    SendSome(socket, greeting.data(), static_cast<DWORD>(greeting.size()), record);
    ReadLine(socket, record);
    SendSome(socket, "Password:", 9, record);
    ReadLine(socket, record);
    SendSome(socket, "READY\r\n", 7, record);
}

void Sink(CWSASocket& socket, ULONGLONG total) {
    basalt::COverlapped record;
    std::vector<char> buffer(kBlock);
    for (ULONGLONG got = 0; got < total;) {
        DWORD n = RecvSome(socket, buffer.data(), kBlock, record);
        if (n == 0) break;
        got += n;
    }
}

void Source(CWSASocket& socket, ULONGLONG total) {
    basalt::COverlapped record;
    std::vector<char> block(kBlock, 'x');
    try {
        for (ULONGLONG sent = 0; sent < total;)
            sent += SendSome(socket, block.data(), static_cast<DWORD>(std::min<ULONGLONG>(kBlock, total - sent)), record);
    } catch (const basalt::CStdException&) {
        // The reader went first; its own count tells the result.
    }
}

// The peer's thread: joined when the measurement ends, however it ends. A
// failure on it is kept for the main thread to report.
class PeerThread {
public:
    template <class Fn>
    explicit PeerThread(Fn fn)
        : m_thread([this, fn] {
              try {
                  fn();
              } catch (const std::exception& e) {
                  m_error = e.what();
              }
          }) {}
    // While an error unwinds, the peer may still wait for a connection that
    // never comes: it is left behind, and the process ends with the report.
    ~PeerThread() {
        if (!m_thread.joinable()) return;
        if (std::uncaught_exceptions() > 0) m_thread.detach();
        else m_thread.join();
    }
    void Join() {
        if (m_thread.joinable()) m_thread.join();
        if (!m_error.empty()) throw std::runtime_error("peer: " + m_error);
    }

private:
    std::string m_error;
    std::thread m_thread;
};

CWSASocket Connect(unsigned short port) {
    CWSASocket socket;
    socket.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socket.ConnectLL(reinterpret_cast<sockaddr*>(&address), sizeof address);
    return socket;
}

boost::shared_ptr<corvane::CTCPPort> MakePort(unsigned short port) {
    std::wstring service = std::to_wstring(port);
    return boost::shared_ptr<corvane::CTCPPort>(new corvane::CTCPPort(corvane::IPortAddr::CreateInstance(
        corvane::IPortAddr::portTCP, 0, L"127.0.0.1", L"bench", nullptr, L"", 0, 0, service.c_str())));
}

double Seconds(LARGE_INTEGER start) {
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return double(now.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now;
}

// Counts one event type, to tell whether a run dropped bytes.
class Counter : public corvane::INotice {
public:
    int Notify(corvane::EEventType) override { return ++m_count, 1; }
    long Count() const { return m_count; }

private:
    volatile long m_count = 0;
};

double PortSend(DWORD outgoingBuffer) {
    Listener listener;
    PeerThread peer([&] {
        CWSASocket socket = listener.socket.AcceptLL();
        PeerLogin(socket);
        Sink(socket, kBytes);
    });
    auto port = MakePort(listener.port);
    port->SetBufferSize(0, outgoingBuffer);
    port->Open();
    // Room comes back when the worker has sent what it took.
    bench::AutoResetNotice room;
    port->RegisterNotice(room.notice, corvane::eventOutgoingEmpty);
    std::vector<char> block(kBlock, 'y');
    LARGE_INTEGER start = Now();
    for (ULONGLONG queued = 0; queued < kBytes;) {
        DWORD n = port->Send(block.data(), static_cast<DWORD>(std::min<ULONGLONG>(kBlock, kBytes - queued)));
        queued += n;
        if (n < kBlock && queued < kBytes) room.event.Wait();
    }
    peer.Join();
    double seconds = Seconds(start);
    port->DeregisterNotice(room.notice, corvane::eventAll);
    return kBytes / seconds;
}

// The rate at which sendAll(socket, block) moves kBytes in blocks of
// blockSize to a sink peer.
template <class SendAll>
double BareSendRate(DWORD blockSize, SendAll sendAll) {
    Listener listener;
    PeerThread peer([&] {
        CWSASocket socket = listener.socket.AcceptLL();
        Sink(socket, kBytes);
    });
    CWSASocket socket = Connect(listener.port);
    std::vector<char> block(blockSize, 'y');
    LARGE_INTEGER start = Now();
    sendAll(socket, block);
    peer.Join();
    return kBytes / Seconds(start);
}

// One send of blockSize bytes at a time.
double BareSend(DWORD blockSize) {
    return BareSendRate(blockSize, [](CWSASocket& socket, const std::vector<char>& block) {
        basalt::COverlapped record;
        const ULONGLONG size = block.size();
        for (ULONGLONG sent = 0; sent < kBytes;)
            sent += SendSome(socket, block.data(), static_cast<DWORD>(std::min(size, kBytes - sent)), record);
    });
}

// Two 64 KiB sends in flight, the next started while the last is pending,
// as the port's worker does it.
double BareSendTwoInFlight() {
    return BareSendRate(kBlock, [](CWSASocket& socket, const std::vector<char>& block) {
        basalt::COverlapped records[2];
        bool pending[2] = {false, false};
        ULONGLONG started = 0;
        for (int next = 0; started < kBytes || pending[0] || pending[1]; next ^= 1) {
            DWORD sent = 0;
            if (pending[next]) {
                socket.GetOverlappedResult(records[next], sent, true);
                pending[next] = false;
            }
            if (started >= kBytes) continue;
            DWORD size = static_cast<DWORD>(std::min<ULONGLONG>(kBlock, kBytes - started));
            records[next].Prepare();
            pending[next] = !socket.Send(block.data(), size, sent, records[next]);
            started += size;
        }
    });
}

double PortRecv(long& overflows) {
    Listener listener;
    PeerThread peer([&] {
        CWSASocket socket = listener.socket.AcceptLL();
        PeerLogin(socket);
        Source(socket, kBytes);
        // Stay until the port leaves: a close now would be stored as the
        // port's error ahead of the bytes still in its stream.
        char c;
        basalt::COverlapped record;
        while (RecvSome(socket, &c, 1, record) > 0) {}
    });
    auto port = MakePort(listener.port);
    // Room for a burst, so that the count measures speed rather than drops.
    port->SetBufferSize(0x800000, 0);
    bench::AutoResetNotice data;
    auto counter = boost::shared_ptr<Counter>(new Counter);
    port->RegisterNotice(data.notice, corvane::eventDataAvailable);
    port->RegisterNotice(data.notice, corvane::eventTerminated);
    port->RegisterNotice(counter, corvane::eventIncomingOverflow);
    port->Open();
    std::vector<char> buffer(kBlock);
    LARGE_INTEGER start = Now();
    ULONGLONG got = 0;
    while (got < kBytes) {
        DWORD n = port->Recv(buffer.data(), kBlock);
        got += n;
        if (n == 0 && !data.event.Wait(5000)) break;
    }
    double seconds = Seconds(start);
    overflows = counter->Count();
    port->Close();
    peer.Join();
    port->DeregisterNotice(boost::shared_ptr<corvane::INotice>(), corvane::eventAll);
    return got / seconds;
}

double BareRecv(DWORD chunk) {
    Listener listener;
    PeerThread peer([&] {
        CWSASocket socket = listener.socket.AcceptLL();
        Source(socket, kBytes);
    });
    CWSASocket socket = Connect(listener.port);
    basalt::COverlapped record;
    std::vector<char> buffer(chunk);
    LARGE_INTEGER start = Now();
    ULONGLONG got = 0;
    while (got < kBytes) {
        DWORD n = RecvSome(socket, buffer.data(), chunk, record);
        if (n == 0) break;
        got += n;
    }
    double seconds = Seconds(start);
    peer.Join();
    return got / seconds;
}

// The peer's end of a latency run: each byte goes straight back.
void EchoBytes(CWSASocket& socket) {
    basalt::COverlapped record;
    char c = 0;
    while (RecvSome(socket, &c, 1, record) == 1) SendSome(socket, &c, 1, record);
}

void BareRoundTrips(CWSASocket& socket, std::vector<double>& samples, int rounds) {
    basalt::COverlapped record;
    char c = 'b';
    for (int round = 0; round < rounds; ++round) {
        double start = bench::Now();
        SendSome(socket, &c, 1, record);
        if (RecvSome(socket, &c, 1, record) != 1) throw std::runtime_error("no echo on the bare socket");
        samples.push_back(bench::Now() - start);
    }
}

// The bare loop's calls, made by a sending and a receiving thread for the client.
void HandOffRoundTrips(CWSASocket& socket, std::vector<double>& samples, int rounds) {
    basalt::COverlapped sendRecord, recvRecord;
    char out = 'h', in = 0;
    bench::HandOffRoundTrips([&] { SendSome(socket, &out, 1, sendRecord); },
                             [&] { return RecvSome(socket, &in, 1, recvRecord) == 1; }, samples, rounds);
}

void Latency(bench::Percentiles& port, bench::Percentiles& bare, bench::Percentiles& handOff) {
    Listener portListener, bareListener;
    PeerThread portPeer([&] {
        CWSASocket socket = portListener.socket.AcceptLL();
        PeerLogin(socket);
        EchoBytes(socket);
    });
    PeerThread barePeer([&] {
        CWSASocket socket = bareListener.socket.AcceptLL();
        EchoBytes(socket);
    });
    auto tcp = MakePort(portListener.port);
    bench::AutoResetNotice data;
    tcp->RegisterNotice(data.notice, corvane::eventDataAvailable);
    tcp->Open();
    CWSASocket socket = Connect(bareListener.port);
    std::vector<double> portSamples, bareSamples, handOffSamples;
    bench::Alternate([&](std::vector<double>& s, int n) { bench::PortRoundTrips(*tcp, data, s, n); },
                     [&](std::vector<double>& s, int n) { BareRoundTrips(socket, s, n); },
                     [&](std::vector<double>& s, int n) { HandOffRoundTrips(socket, s, n); }, portSamples, bareSamples,
                     handOffSamples);
    tcp->Close();
    tcp->DeregisterNotice(data.notice, corvane::eventAll);
    socket.Shutdown(SD_SEND);
    portPeer.Join();
    barePeer.Join();
    port = bench::Summarise(portSamples);
    bare = bench::Summarise(bareSamples);
    handOff = bench::Summarise(handOffSamples);
}

double Best(const std::vector<double>& runs) { return *std::max_element(runs.begin(), runs.end()); }

}  // namespace

int main() {
    corvane::CLibraryScope library;
    std::printf("TCP port over loopback, %llu MiB per run, best of %d\n", kBytes >> 20, kRounds);
    std::fflush(stdout);
    std::vector<double> portSend, portSendLarge, bareSend, portRecv, bareRecv, bareRecvLarge;
    long overflows = 0, totalOverflows = 0;
    bench::Percentiles portLatency, bareLatency, handOffLatency;
    try {
        for (int round = 0; round < kRounds; ++round) {
            portSend.push_back(PortSend(0));
            portSendLarge.push_back(PortSend(0x100000));
            // The best of three loops: 64 KiB sends one or two in flight, and 1 MiB sends.
            bareSend.push_back(std::max({BareSend(kBlock), BareSendTwoInFlight(), BareSend(0x100000)}));
            portRecv.push_back(PortRecv(overflows));
            totalOverflows += overflows;
            bareRecv.push_back(BareRecv(corvane::CTCPPort::receiveChunk));
            bareRecvLarge.push_back(BareRecv(kBlock));
        }
        Latency(portLatency, bareLatency, handOffLatency);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_tcp: %s\n", e.what());
        return 2;
    }
    const double mb = 1024.0 * 1024.0;
    std::printf("send    port %7.1f MiB/s   bare WSASend, best of 64 KiB one or two in flight and 1 MiB %7.1f MiB/s   ratio %.2f\n",
                Best(portSend) / mb, Best(bareSend) / mb, Best(portSend) / Best(bareSend));
    std::printf("        (port with a 1 MiB outgoing buffer %7.1f MiB/s, ratio %.2f)\n", Best(portSendLarge) / mb,
                Best(portSendLarge) / Best(bareSend));
    std::printf("receive port %7.1f MiB/s   bare WSARecv 64 KiB %7.1f MiB/s   ratio %.2f\n",
                Best(portRecv) / mb, Best(bareRecv) / mb, Best(portRecv) / Best(bareRecv));
    std::printf("        (second bare run %7.1f MiB/s; incoming overflows in all runs: %ld)\n",
                Best(bareRecvLarge) / mb, totalOverflows);
    std::printf("round trip, 1 byte each way, %d rounds: port p50 %.0f us p99 %.0f us, bare p50 %.0f us p99 %.0f us\n",
                bench::kLatencyRounds, portLatency.p50, portLatency.p99, bareLatency.p50, bareLatency.p99);
    std::printf("        (bare loop through a sending and a receiving thread: p50 %.0f us p99 %.0f us)\n",
                handOffLatency.p50, handOffLatency.p99);
    std::printf("goal: ratio 0.90 or more both ways, latency 0.80\n");
    bench::Throughput("tcp", "send, default 64 KiB buffers", Best(portSend) / mb, Best(bareSend) / mb);
    bench::Throughput("tcp", "send, 1 MiB outgoing buffer", Best(portSendLarge) / mb, Best(bareSend) / mb);
    bench::Throughput("tcp", "receive (bare: 64 KiB WSARecv)", Best(portRecv) / mb,
                      std::max(Best(bareRecv), Best(bareRecvLarge)) / mb);
    bench::Latency("tcp", "round trip, 1 byte", portLatency, bareLatency);
    bench::HandOffLatency("tcp", "round trip, 1 byte", portLatency, handOffLatency);
    return 0;
}
