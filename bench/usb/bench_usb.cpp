// Throughput of a USB port through the simulated echoing instrument, against
// a bare overlapped loop that moves the same bytes over the same device files
// (the simulator's seam) in the same run:
//   port:  CUSBPort::Send -> send worker -> OUT pipe -> echo -> IN pipe -> receive worker -> CUSBPort::Recv
//   bare:  one thread keeping one 1 MiB WriteFile and one 64 KiB ReadFile in flight
// twice: with the instrument's IN pipe at 40 MiB/s, what a USB 2.0 bulk pipe
// carries in practice (does the port keep the pipe busy?), and unlimited
// (what the port's copies and thread hand-offs cost per byte).
// Then the round trip of one byte out and one back through the echo, the port
// against the bare loop, in alternating batches.
// Run with CORVANE_SIMULATORS=1 and UsbSim.dll beside the program (wine-run does).
#include "UsbSim.h"
#include "BenchTable.h"
#include "Common.h"
#include "USB/USB.h"

#include <basalt/Library.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace {

const DWORD kBusRate = 40u << 20;
const DWORD kWriteBlock = 0x100000;
const int kRounds = 3;

std::wstring DefaultPath(USBSIM_API& sim) {
    wchar_t path[512];
    if (sim.GetPath(USBSIM_DEFAULT_SERIAL, path, 512) != 0) throw std::runtime_error("no default instrument");
    return path;
}

void Control(basalt::CFile& file, DWORD code, const void* input, DWORD size) {
    if (!file.IoControl(code, input, size, nullptr, 0, nullptr)) throw std::runtime_error("DeviceIoControl failed");
}

// The device files opened and bound as the port does it (one pass).
struct BareFiles {
    basalt::CFile reading, writing;

    explicit BareFiles(const std::wstring& path) {
        reading.Open(path.c_str(), GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
        writing.Open(path.c_str(), GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
        BYTE block[corvane::usb::prepareBlockSize];
        corvane::usb::MakePrepareBlock(block);
        Control(writing, corvane::usb::ioctlPrepare, block, sizeof block);
        BYTE in = 0x81, out = 0x02;
        Control(reading, corvane::usb::ioctlBindPipe, &in, 1);
        Control(writing, corvane::usb::ioctlBindPipe, &out, 1);
    }
};

// How often a run waited: the bare loop for a completion, the port's client
// for its notice. Each wait that blocks hands the processor to another thread.
struct Waits {
    ULONGLONG count = 0;
};

// The bare loop.
double BareRun(const std::wstring& path, ULONGLONG kBytes, Waits& waits) {
    BareFiles files(path);
    basalt::CFile &reading = files.reading, &writing = files.writing;

    std::vector<BYTE> source(kWriteBlock, 0x5A), sink(corvane::usb::readChunk);
    basalt::COverlapped readRecord, writeRecord;
    ULONGLONG written = 0, read = 0;
    bool writing_ = false, reading_ = false;
    DWORD start = ::GetTickCount();
    while (read < kBytes) {
        DWORD done = 0;
        while (!writing_ && written < kBytes) {
            if (!writing.Write(source.data(), kWriteBlock, done, writeRecord)) writing_ = true;
            else written += done;
        }
        while (!reading_ && read < kBytes) {
            if (!reading.Read(sink.data(), static_cast<DWORD>(sink.size()), done, readRecord)) reading_ = true;
            else read += done;
        }
        HANDLE events[2] = {readRecord.GetEventHandle(), writeRecord.GetEventHandle()};
        ++waits.count;
        DWORD woken = ::WaitForMultipleObjects(writing_ ? 2 : 1, events, FALSE, 10000);
        if (woken == WAIT_OBJECT_0) {
            reading.GetOverlappedResult(readRecord, done, true);
            read += done;
            reading_ = false;
        } else if (woken == WAIT_OBJECT_0 + 1) {
            writing.GetOverlappedResult(writeRecord, done, true);
            written += done;
            writing_ = false;
        } else {
            throw std::runtime_error("the bare loop stalled");
        }
    }
    DWORD elapsed = std::max<DWORD>(1, ::GetTickCount() - start);
    return kBytes / 1048576.0 / (elapsed / 1000.0);
}

double PortRun(const std::wstring& path, ULONGLONG kBytes, Waits& waits) {
    boost::shared_ptr<const corvane::IPortAddr> address(new corvane::CUSBPortAddr(path.c_str(), L"bench"));
    boost::shared_ptr<corvane::IPort> port = corvane::IPort::CreateInstance(address, corvane::driverDefault);
    port->Open();
    bench::AutoResetNotice wake;
    port->RegisterNotice(wake.notice, corvane::eventDataAvailable);
    port->RegisterNotice(wake.notice, corvane::eventOutgoingEmpty);
    std::vector<BYTE> source(kWriteBlock, 0x5A), sink(0x100000);
    ULONGLONG queued = 0, received = 0;
    DWORD start = ::GetTickCount();
    while (received < kBytes) {
        // Less than the incoming stream's 4 MiB in flight, so that nothing overflows.
        if (queued < kBytes && queued - received < 0x300000)
            queued += port->Send(source.data(), static_cast<DWORD>(std::min<ULONGLONG>(kWriteBlock, kBytes - queued)));
        DWORD n = port->Recv(sink.data(), static_cast<DWORD>(sink.size()));
        received += n;
        if (n > 0) continue;
        ++waits.count;
        if (!wake.event.Wait(10000)) throw std::runtime_error("the port stalled");
    }
    DWORD elapsed = std::max<DWORD>(1, ::GetTickCount() - start);
    port->DeregisterNotice(wake.notice, corvane::eventAll);
    port->Close();
    return kBytes / 1048576.0 / (elapsed / 1000.0);
}

// One write and one read of a byte, each waited for, as a plain client of the driver would.
void BareRoundTrips(BareFiles& files, std::vector<double>& samples, int rounds) {
    basalt::COverlapped readRecord, writeRecord;
    std::vector<BYTE> sink(corvane::usb::readChunk);
    BYTE c = 'b';
    for (int round = 0; round < rounds; ++round) {
        double start = bench::Now();
        DWORD done = 0;
        if (!files.writing.Write(&c, 1, done, writeRecord)) files.writing.GetOverlappedResult(writeRecord, done, true);
        if (!files.reading.Read(sink.data(), static_cast<DWORD>(sink.size()), done, readRecord))
            files.reading.GetOverlappedResult(readRecord, done, true);
        if (done != 1) throw std::runtime_error("no echo on the bare loop");
        samples.push_back(bench::Now() - start);
    }
}

// The bare loop's calls, made by a sending and a receiving thread for the client.
void HandOffRoundTrips(BareFiles& files, std::vector<double>& samples, int rounds) {
    basalt::COverlapped readRecord, writeRecord;
    std::vector<BYTE> sink(corvane::usb::readChunk);
    BYTE c = 'h';
    bench::HandOffRoundTrips(
        [&] {
            DWORD done = 0;
            if (!files.writing.Write(&c, 1, done, writeRecord))
                files.writing.GetOverlappedResult(writeRecord, done, true);
        },
        [&] {
            DWORD done = 0;
            if (!files.reading.Read(sink.data(), static_cast<DWORD>(sink.size()), done, readRecord))
                files.reading.GetOverlappedResult(readRecord, done, true);
            return done == 1;
        },
        samples, rounds);
}

void Latency(USBSIM_API& sim, const std::wstring& path, bench::Percentiles& port, bench::Percentiles& bare,
             bench::Percentiles& handOff) {
    if (sim.SetBusRate(USBSIM_DEFAULT_SERIAL, 0) != 0) throw std::runtime_error("SetBusRate failed");
    std::vector<double> portSamples, bareSamples, handOffSamples;
    for (int i = 0; i < bench::kLatencyBatches; ++i) {
        const int batch = bench::kLatencyRounds / bench::kLatencyBatches;
        {
            BareFiles files(path);
            BareRoundTrips(files, bareSamples, batch);
        }
        {
            BareFiles files(path);
            HandOffRoundTrips(files, handOffSamples, batch);
        }
        boost::shared_ptr<const corvane::IPortAddr> address(new corvane::CUSBPortAddr(path.c_str(), L"bench"));
        boost::shared_ptr<corvane::IPort> usb = corvane::IPort::CreateInstance(address, corvane::driverDefault);
        bench::AutoResetNotice data;
        usb->RegisterNotice(data.notice, corvane::eventDataAvailable);
        usb->Open();
        bench::PortRoundTrips(*usb, data, portSamples, batch);
        usb->DeregisterNotice(data.notice, corvane::eventAll);
        usb->Close();
    }
    port = bench::Summarise(portSamples);
    bare = bench::Summarise(bareSamples);
    handOff = bench::Summarise(handOffSamples);
}

struct Figures {
    double port = 0, bare = 0;
    Waits portWaits, bareWaits;  // over all rounds
};

Figures Measure(USBSIM_API& sim, const std::wstring& path, DWORD busRate, ULONGLONG bytes) {
    if (sim.SetBusRate(USBSIM_DEFAULT_SERIAL, busRate) != 0) throw std::runtime_error("SetBusRate failed");
    Figures best;
    for (int round = 0; round < kRounds; ++round) {
        best.bare = std::max(best.bare, BareRun(path, bytes, best.bareWaits));
        best.port = std::max(best.port, PortRun(path, bytes, best.portWaits));
    }
    return best;
}

}  // namespace

int main() {
    corvane::CLibraryScope library;
    Figures paced, unlimited;
    bench::Percentiles portLatency, bareLatency, handOffLatency;
    const ULONGLONG pacedBytes = 24ull << 20, unlimitedBytes = 64ull << 20;
    try {
        basalt::CLibrary simulator(L"UsbSim.dll");
        USBSIM_API sim;
        if (!basalt::CFile::IsSimulated() || !UsbSimLoadApi(simulator.Get(), &sim))
            throw std::runtime_error("UsbSim.dll is not beside the program, or CORVANE_SIMULATORS is unset");
        std::wstring path = DefaultPath(sim);
        std::printf("USB port through the simulated echoing instrument, best of %d\n", kRounds);
        paced = Measure(sim, path, kBusRate, pacedBytes);
        unlimited = Measure(sim, path, 0, unlimitedBytes);
        Latency(sim, path, portLatency, bareLatency, handOffLatency);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_usb: %s\n", e.what());
        return 2;
    }
    std::printf("IN pipe 40 MiB/s, %llu MiB   port %7.1f MiB/s   bare overlapped loop %7.1f MiB/s   ratio %.2f\n",
                pacedBytes >> 20, paced.port, paced.bare, paced.port / paced.bare);
    std::printf("unlimited, %llu MiB         port %7.1f MiB/s   bare overlapped loop %7.1f MiB/s   ratio %.2f\n",
                unlimitedBytes >> 20, unlimited.port, unlimited.bare, unlimited.port / unlimited.bare);
    // Unlimited, the port's client is woken about once per 64 KiB read (each
    // read's end tells eventDataAvailable), beside the bare loop's own waits:
    // at the bare loop's rate 64 KiB takes about as long as one wake-up of a
    // waiting thread under Wine (bench_streams).
    const double runs = kRounds * (unlimitedBytes / double(corvane::usb::readChunk));
    std::printf("  waits per 64 KiB, unlimited: port's client %.2f, bare loop %.2f; 64 KiB at the bare rate: %.0f us\n",
                unlimited.portWaits.count / runs, unlimited.bareWaits.count / runs,
                corvane::usb::readChunk / (unlimited.bare * 1048576.0) * 1e6);
    std::printf("round trip, 1 byte each way, %d rounds: port p50 %.0f us p99 %.0f us, bare p50 %.0f us p99 %.0f us\n",
                bench::kLatencyRounds, portLatency.p50, portLatency.p99, bareLatency.p50, bareLatency.p99);
    // The simulated driver completes the bare loop's read at once, the echo
    // being there already: it waits for nothing, where the port's workers
    // wake three times a round trip.
    std::printf("        (bare loop through a sending and a receiving thread: p50 %.0f us p99 %.0f us)\n",
                handOffLatency.p50, handOffLatency.p99);
    std::printf("goal: ratio 0.90 or more on the 40 MiB/s pipe, latency 0.80\n");
    bench::Throughput("usb", "echo, IN pipe at 40 MiB/s", paced.port, paced.bare);
    bench::Throughput("usb", "echo, unlimited pipe", unlimited.port, unlimited.bare);
    bench::Latency("usb", "round trip, 1 byte", portLatency, bareLatency);
    bench::HandOffLatency("usb", "round trip, 1 byte", portLatency, handOffLatency);
    return 0;
}
