// Goodput of a Bluetooth Smart port over the simulated channel, each way, at
// one-way delays of 10 and 50 ms and loss of 0, 2 and 10 %, beside the
// window-limited ideal: the frames the sender really keeps in flight (12 of
// W = 32) of 18 bytes per round trip, capped by the channel's frame rate.
//   port->device:  IPort::Send, counted as the simulated device delivers it
//   device->port:  the device sends, counted as IPort::Recv returns it
#include "BleSim.h"
#include "BluetoothSmart/BluetoothSmart.h"
#include "Common.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const ULONGLONG kDevice = 0x001122334455ull;
const DWORD kFramesPerSecond = 400;  // a few frames per connection interval
const DWORD kWarmUpMs = 1500;

DWORD MeasureMs(DWORD delayMs) { return delayMs >= 50 ? 8000 : 5000; }

double Ideal(DWORD delayMs, DWORD inFlight) {
    double roundTrip = 2.0 * delayMs / 1000.0;
    return std::min(inFlight * 18.0 / roundTrip, kFramesPerSecond * 18.0);
}

void Prepare(DWORD delayMs, DWORD lossPermille) {
    BleSimReset();
    BleSimRemoveNodes(L"BTHLE\\");
    BleSimRemoveNodes(L"BTHLEDEVICE\\");
    BleSimAddDevice(kDevice, L"Bench", BLESIM_DEVICE_DATA_SERVICE);
    BleSimRegisterNodes(kDevice);
    BLESIM_CHANNEL channel = {};
    channel.delayMs = delayMs;
    channel.lossPermille = lossPermille;
    channel.framesPerSecond = kFramesPerSecond;
    channel.seed = 1;
    BleSimSetChannel(kDevice, &channel);
}

bool WaitForLink(DWORD timeoutMs) {
    DWORD deadline = ::GetTickCount() + timeoutMs;
    BLESIM_COUNTERS counters;
    while (static_cast<LONG>(deadline - ::GetTickCount()) > 0) {
        if (BleSimGetCounters(kDevice, &counters) && counters.linked) return true;
        ::Sleep(5);
    }
    return false;
}

// Bytes per second from port to device, measured after a warm-up.
double PortToDevice(corvane::IPort& port, DWORD measureMs) {
    std::vector<BYTE> block(4096, 0x5A), sink(65536);
    ULONGLONG counted = 0;
    DWORD start = ::GetTickCount(), begin = 0;
    for (;;) {
        DWORD now = ::GetTickCount();
        if (now - start >= kWarmUpMs + measureMs) break;
        port.Send(block.data(), static_cast<DWORD>(block.size()));
        DWORD got = BleSimDeviceReceive(kDevice, sink.data(), static_cast<DWORD>(sink.size()));
        if (now - start >= kWarmUpMs) {
            if (!begin) begin = now;
            counted += got;
        }
        ::Sleep(2);
    }
    return counted * 1000.0 / std::max<DWORD>(::GetTickCount() - begin, 1);
}

double DeviceToPort(corvane::IPort& port, DWORD measureMs) {
    std::vector<BYTE> block(4096, 0xA5), sink(65536);
    ULONGLONG counted = 0, queued = 0;
    DWORD start = ::GetTickCount(), begin = 0;
    for (;;) {
        DWORD now = ::GetTickCount();
        if (now - start >= kWarmUpMs + measureMs) break;
        BLESIM_COUNTERS counters;
        BleSimGetCounters(kDevice, &counters);
        // Keep the device's queue from running dry, without piling up more.
        if (queued < counters.bytesToPort + 16384)
            queued += BleSimDeviceSend(kDevice, block.data(), static_cast<DWORD>(block.size()));
        DWORD got = port.Recv(sink.data(), static_cast<DWORD>(sink.size()));
        if (now - start >= kWarmUpMs) {
            if (!begin) begin = now;
            counted += got;
        }
        ::Sleep(2);
    }
    return counted * 1000.0 / std::max<DWORD>(::GetTickCount() - begin, 1);
}

}  // namespace

int main() {
    corvane::CLibraryScope library;
    std::printf("Bluetooth Smart port over the simulated channel, %lu frames/s each way, W 32 (12 in flight)\n",
                kFramesPerSecond);
    std::printf("%-7s %-6s %-14s %12s %12s %7s\n", "delay", "loss", "direction", "goodput B/s", "ideal B/s", "ratio");
    const DWORD inFlight = 12;
    for (DWORD delay : {10u, 50u}) {
        for (DWORD loss : {0u, 20u, 100u}) {
            for (int direction = 0; direction < 2; ++direction) {
                Prepare(delay, loss);
                auto port = corvane::CreateBluetoothSmartPort(
                    corvane::CBluetoothSmartPortAddr::CreateInstance(kDevice, 0, L"Bench"));
                double goodput = 0;
                try {
                    port->Open();
                    if (!WaitForLink(5000)) {
                        std::printf("link did not come up\n");
                        return 1;
                    }
                    goodput = direction == 0 ? PortToDevice(*port, MeasureMs(delay)) : DeviceToPort(*port, MeasureMs(delay));
                } catch (const basalt::CStdException& e) {
                    std::printf("failed: %s\n", e.what());
                    return 2;
                }
                double ideal = Ideal(delay, inFlight);
                std::printf("%-7s %-6s %-14s %12.0f %12.0f %7.2f\n", (std::to_string(delay) + " ms").c_str(),
                            (std::to_string(loss / 10) + " %").c_str(),
                            direction == 0 ? "port->device" : "device->port", goodput, ideal, goodput / ideal);
                std::fflush(stdout);
            }
        }
    }
    BleSimRemoveNodes(L"BTHLE\\");
    BleSimRemoveNodes(L"BTHLEDEVICE\\");
    return 0;
}
