// Throughput of a serial port on the null-modem cable (sim/nullmodem) against
// a bare overlapped Win32 loop moving the same bytes over the same COM port in
// the same run:
//   send:    CSerialPort::Send -> peer        vs  WriteFile loop -> peer
//   receive: peer -> CSerialPort::Recv        vs  peer -> ReadFile loop
// The peer at the far end of the cable is a bare loop in both cases. The
// ratio port / bare is printed per direction; the goal is 0.9 or more.
//
// Receiving, the port reads what EV_RXCHAR finds queued (cbInQue). A bare
// loop that does the same (WaitCommEvent, ClearCommError, ReadFile) is
// measured too: under Wine on a pseudo-terminal cbInQue never exceeds the
// terminal's 4 KiB line buffer and a pending WaitCommEvent is polled every
// millisecond, which bounds any event-driven reader, while a plain ReadFile
// of 64 KiB is not bound by either.
#include "BenchTable.h"
#include "Common.h"
#include "Serial/Serial.h"

#include <Cable.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace corvane;

const size_t kBytes = 4u << 20;
const DWORD kBlock = 0x10000;
const int kRounds = 3;

double Seconds() {
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return double(now.QuadPart) / double(frequency.QuadPart);
}

// A COM port driven directly: one overlapped operation at a time.
class CBarePort {
public:
    explicit CBarePort(const std::wstring& name) {
        m_device.Open((L"\\\\.\\" + name).c_str(), FILE_FLAG_OVERLAPPED);
        // Reads return what has arrived, or wait for a first byte.
        COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 1000, 0, 0};
        m_device.SetCommTimeouts(timeouts);
        m_device.PurgeComm(PURGE_RXCLEAR | PURGE_TXCLEAR);
    }

    void WriteAll(const char* data, size_t size) {
        while (size) {
            DWORD sent = 0, chunk = static_cast<DWORD>(std::min<size_t>(size, kBlock));
            m_record.Prepare();
            if (!m_device.WriteFile(data, chunk, &sent, &m_record)) m_device.GetOverlappedResult(&m_record, &sent, true);
            data += sent;
            size -= sent;
        }
    }

    // Reads until size bytes have come, or none for a second.
    size_t ReadAll(size_t size) {
        std::vector<char> buffer(kBlock);
        size_t total = 0;
        while (total < size) {
            DWORD got = 0;
            m_record.Prepare();
            if (!m_device.ReadFile(buffer.data(), kBlock, &got, &m_record))
                m_device.GetOverlappedResult(&m_record, &got, true);
            if (got == 0) break;
            total += got;
        }
        return total;
    }

    // The port's own way: wait for EV_RXCHAR, read what is queued.
    size_t ReadOnEvents(size_t size) {
        std::vector<char> buffer(kBlock);
        m_device.SetCommMask(EV_RXCHAR);
        size_t total = 0;
        DWORD idle = ::GetTickCount();
        while (total < size && ::GetTickCount() - idle < 1000) {
            DWORD events = 0, ignored = 0;
            m_record.Prepare();
            if (!m_device.WaitCommEvent(&events, &m_record)) {
                if (!m_record.GetEvent().Wait(1000)) break;
                m_device.GetOverlappedResult(&m_record, &ignored, true);
            }
            COMSTAT status = {};
            m_device.ClearCommError(nullptr, &status);
            DWORD got = 0, queued = std::min<DWORD>(status.cbInQue, kBlock);
            if (!queued) continue;
            m_record.Prepare();
            if (!m_device.ReadFile(buffer.data(), queued, &got, &m_record))
                m_device.GetOverlappedResult(&m_record, &got, true);
            total += got;
            idle = ::GetTickCount();
        }
        m_device.SetCommMask(0);
        return total;
    }

private:
    basalt::CCommPort m_device;
    basalt::COverlapped m_record;
};

// The client side of a port: waits on an OVERLAPPED notice for its events.
class CPortClient {
public:
    explicit CPortClient(IPort& port) : m_port(port), m_notice(new CNoticeOvl(m_record)) {
        port.RegisterNotice(m_notice, eventDataAvailable);
        port.RegisterNotice(m_notice, eventOutgoingPending);
        port.RegisterNotice(m_notice, eventOutgoingEmpty);
    }
    ~CPortClient() { m_port.DeregisterNotice(m_notice, eventAll); }

    void SendAll(const char* data, size_t size) {
        while (size) {
            DWORD taken = m_port.Send(data, static_cast<DWORD>(std::min<size_t>(size, kBlock)));
            data += taken;
            size -= taken;
            if (size && !taken) Wait();
        }
    }

    size_t RecvAll(size_t size) {
        std::vector<char> buffer(kBlock);
        size_t total = 0;
        while (total < size) {
            DWORD got = m_port.Recv(buffer.data(), kBlock);
            total += got;
            if (!got && !Wait()) break;
        }
        return total;
    }

private:
    // False after a second without an event.
    bool Wait() {
        bool woken = m_record.GetEvent().Wait(1000);
        m_record.GetEvent().Reset();
        return woken;
    }

    IPort& m_port;
    basalt::COverlapped m_record;
    boost::shared_ptr<INotice> m_notice;
};

// Bytes per second of one transfer: sender on this thread, receiver on another.
template <class Send, class Receive>
double Rate(Send send, Receive receive) {
    size_t received = 0;
    double start = Seconds();
    std::thread receiver([&] { received = receive(); });
    send();
    receiver.join();
    double elapsed = Seconds() - start;
    // A transfer that lost bytes (the serial port drops what overflows its
    // incoming stream when the reader falls behind) counts as no figure; the
    // other rounds and measures still run.
    if (received != kBytes) {
        std::printf("  (a transfer ended after %zu of %zu bytes; that round counts as 0)\n", received, kBytes);
        return 0;
    }
    return double(kBytes) / elapsed;
}

}  // namespace

int main() {
    std::wstring portName = nullmodem::PortName(), peerName = nullmodem::PeerName();
    if (!nullmodem::IsPresent()) {
        std::fprintf(stderr, "bench_serial: no null-modem cable; run it through the run_bench_serial target\n");
        return 1;
    }
    try {
        CLibraryScope library;
        const std::string data(kBytes, '\x5A');
        boost::shared_ptr<const IPortAddr> address(new CSerialPortAddr(portName.c_str(), L""));
        double best[5] = {0, 0, 0, 0, 0};  // port send, bare send, port receive, bare receive, bare on events
        for (int round = 0; round < kRounds; ++round) {
            {
                CBarePort peer(peerName);
                CSerialPort port(address);
                port.Open();
                CPortClient client(port);
                best[0] = std::max(best[0], Rate([&] { client.SendAll(data.data(), kBytes); },
                                                 [&] { return peer.ReadAll(kBytes); }));
                best[2] = std::max(best[2], Rate([&] { peer.WriteAll(data.data(), kBytes); },
                                                 [&] { return client.RecvAll(kBytes); }));
            }
            {
                CBarePort peer(peerName);
                CBarePort bare(portName);
                best[1] = std::max(best[1], Rate([&] { bare.WriteAll(data.data(), kBytes); },
                                                 [&] { return peer.ReadAll(kBytes); }));
                best[3] = std::max(best[3], Rate([&] { peer.WriteAll(data.data(), kBytes); },
                                                 [&] { return bare.ReadAll(kBytes); }));
                best[4] = std::max(best[4], Rate([&] { peer.WriteAll(data.data(), kBytes); },
                                                 [&] { return bare.ReadOnEvents(kBytes); }));
            }
        }
        std::printf("serial throughput, %zu bytes each way, best of %d rounds (KiB/s)\n", kBytes, kRounds);
        std::printf("  send     port %8.0f   bare %8.0f   ratio %.2f\n", best[0] / 1024, best[1] / 1024,
                    best[0] / best[1]);
        std::printf("  receive  port %8.0f   bare %8.0f   ratio %.2f\n", best[2] / 1024, best[3] / 1024,
                    best[2] / best[3]);
        std::printf("  receive  port %8.0f   bare, reading on EV_RXCHAR as the port does %8.0f   ratio %.2f\n",
                    best[2] / 1024, best[4] / 1024, best[2] / best[4]);
        bench::Throughput("serial", "send (bare: overlapped WriteFile)", best[0] / 1024, best[1] / 1024, "KiB/s");
        bench::Throughput("serial", "receive (bare: plain ReadFile)", best[2] / 1024, best[3] / 1024, "KiB/s");
        bench::Throughput("serial", "receive (bare: ReadFile on EV_RXCHAR)", best[2] / 1024, best[4] / 1024, "KiB/s");
        return 0;
    } catch (const basalt::CStdException& e) {
        std::fprintf(stderr, "bench_serial: %s\n", e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_serial: %s\n", e.what());
    }
    return 2;
}
