// Echo throughput through the Toshiba stack's virtual COM port against the
// serial port on the same COM port in the same run:
//   toshiba: Toshiba::CBluetoothPort -> virtual COM22 -> simulated echo device on COM42
//   serial:  CSerialPort on COM22 -> bare echo loop on COM42
// Both ports move bytes with the same two workers, so the ratio shows what
// the stack's window traffic and set-up cost on top of the line; expect
// about 1.
#include "BenchTable.h"
#include "Common.h"
#include "Serial/Serial.h"
#include "ToshibaBluetooth/ToshibaBluetooth.h"

#include <TosBtSim.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using namespace corvane;

const size_t kBytes = 1u << 20;
const int kRounds = 3;

double Seconds() {
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return double(now.QuadPart) / double(frequency.QuadPart);
}

void Pump() {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

// Sends kBytes and reads their echo; bytes per second, 0 when the echo stalls or differs.
double EchoRate(IPort& port) {
    std::vector<char> out(kBytes), in(0x10000);
    for (size_t i = 0; i < kBytes; ++i) out[i] = static_cast<char>(i * 13);
    size_t sent = 0, received = 0;
    double start = Seconds();
    DWORD idle = ::GetTickCount();
    while (received < kBytes) {
        if (sent < kBytes) sent += port.Send(out.data() + sent, static_cast<DWORD>(std::min<size_t>(kBytes - sent, 0x4000)));
        DWORD got = port.Recv(in.data(), static_cast<DWORD>(in.size()));
        for (DWORD i = 0; i < got; ++i)
            if (in[i] != out[received + i]) return 0;
        received += got;
        if (got) idle = ::GetTickCount();
        else if (::GetTickCount() - idle > 5000) return 0;
        else {
            Pump();
            ::Sleep(0);
        }
    }
    return double(kBytes) / (Seconds() - start);
}

// The serial baseline's far end: echoes on the peer port until told to stop.
void BareEcho(std::atomic<bool>& stop) {
    HANDLE handle = ::CreateFileW(L"\\\\.\\COM42", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ::GetCommState(handle, &dcb);
    dcb.BaudRate = 115200;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = FALSE;
    ::SetCommState(handle, &dcb);
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 20, 0, 1000};
    ::SetCommTimeouts(handle, &timeouts);
    std::vector<char> buffer(65536);
    while (!stop) {
        DWORD got = 0, written = 0;
        if (::ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got)
            ::WriteFile(handle, buffer.data(), got, &written, nullptr);
    }
    ::CloseHandle(handle);
}

}  // namespace

int main() {
    CLibraryScope library;
    CTosBtSim sim;
    if (!sim.IsLoaded()) {
        std::fprintf(stderr, "bench_toshiba_bluetooth: TosBtApi.dll is not the simulator (CORVANE_SIMULATORS=1?)\n");
        return 2;
    }
    sim.TosBtSimReset();
    try {
        double toshiba = 0, serial = 0;
        for (int round = 0; round < kRounds; ++round) {
            {
                Toshiba::CBluetoothPort port(CBluetoothPortAddr::CreateInstance(0x008025000001ULL, 0, L"", nullptr, 0, 0));
                port.SetBufferSize(1 << 20, 1 << 16);  // a pseudo-terminal outruns any radio
                port.Open();
                toshiba = std::max(toshiba, EchoRate(port));
            }
            {
                std::atomic<bool> stop(false);
                std::thread echo(BareEcho, std::ref(stop));
                CSerialPort port(boost::shared_ptr<const IPortAddr>(new CSerialPortAddr(L"COM22", L"")));
                port.Open();
                serial = std::max(serial, EchoRate(port));
                port.Close();
                stop = true;
                echo.join();
            }
        }
        std::printf("toshiba port echo: %.1f KiB/s\n", toshiba / 1024);
        std::printf("serial port echo:  %.1f KiB/s (baseline, same COM pair)\n", serial / 1024);
        std::printf("ratio toshiba/serial: %.2f\n", serial > 0 ? toshiba / serial : 0.0);
        bench::Throughput("toshiba", "echo (bare: serial port on the same COM pair)", toshiba / 1024, serial / 1024, "KiB/s");
    } catch (const basalt::CStdException& e) {
        std::fprintf(stderr, "bench_toshiba_bluetooth: %s\n", e.what());
        return 1;
    }
    return 0;
}
