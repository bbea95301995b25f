// Goodput of the Bluetooth Smart link each way against the window-limited
// ideal (the frames the sender keeps in flight, 18 bytes each, per round
// trip, capped by the channel's frame rate), at 0 to 10 % loss, for both
// peers: the simulated device on this engine's rules and one on the plain
// rules, with the port's default rules, with the engine's own rules
// ("PlainDevice" false), with fast recovery, and (as the baseline) with the
// plain rules.
//   1. The link model in virtual time (the port's own worker loop and engine):
//      50 KB one way, averaged over seeds, so loss is measured, not guessed.
//   2. The real port through the simulated stack, in real time, briefly:
//      port->device: IPort::Send, counted as the simulated device delivers it
//      device->port: the device sends, counted as IPort::Recv returns it
#include "BleSim.h"
#include "BluetoothSmart/BluetoothSmart.h"
#include "Common.h"
#include "LinkModel.h"
#include "Properties.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const ULONGLONG kDevice = 0x001122334455ull;
const DWORD kFramesPerSecond = 400;  // a few frames per connection interval
const DWORD kWarmUpMs = 1000;

DWORD MeasureMs(DWORD) { return 2500; }

double Ideal(DWORD delayMs, DWORD inFlight) {
    double roundTrip = 2.0 * delayMs / 1000.0;
    return std::min(inFlight * 18.0 / roundTrip, kFramesPerSecond * 18.0);
}

void Prepare(DWORD delayMs, DWORD lossPermille, bool literal) {
    BleSimReset();
    BleSimRemoveNodes(L"BTHLE\\");
    BleSimRemoveNodes(L"BTHLEDEVICE\\");
    BleSimAddDevice(kDevice, L"Bench", BLESIM_DEVICE_DATA_SERVICE | (literal ? BLESIM_DEVICE_LITERAL : 0));
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

// 4 KiB of varied bytes: no two 18-byte frames W apart carry the same payload
// (with one byte repeated, every frame resent after a loss would look like a
// copy of the one a modulus before; the README says what that costs).
std::vector<BYTE> Block() {
    std::vector<BYTE> block(4096);
    DWORD state = 0x2545F491;
    for (BYTE& b : block) {
        state = state * 1103515245 + 12345;
        b = static_cast<BYTE>(state >> 16);
    }
    return block;
}

// Bytes per second from port to device, measured after a warm-up.
double PortToDevice(corvane::IPort& port, DWORD measureMs) {
    std::vector<BYTE> block = Block(), sink(65536);
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
    std::vector<BYTE> block = Block(), sink(65536);
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

// --- The link model ------------------------------------------------------------

struct CPeer {
    const char* name;
    corvane::CLinkRules rules;
    DWORD inFlight;  // what this peer keeps in flight as a sender
    bool plain;      // the independent plain-rules device end instead of the engine
    blesim::CPlainDevice::EMark mark;
    blesim::CPlainDevice::ETimer timer;
};

struct CPortRules {
    const char* name;
    corvane::CLinkRules rules;
    DWORD inFlight;
};

// Mean goodput (B/s) over seeds of one stream one way; counts corrupt runs.
double ModelGoodput(const CPortRules& port, const CPeer& peer, bool toDevice, DWORD delayMs, DWORD lossPermille,
                    int& corrupt, int& stalled, int& told, int& firstFailed, DWORD reorderPermille = 0,
                    DWORD reorderDepth = 0, DWORD wakeLatencyMs = 50, double* resendWaitMs = nullptr) {
    const int seeds = 100;
    const size_t bytes = 50 * 1024;
    double total = 0;
    std::uint64_t resends = 0, waitUs = 0;
    for (int seed = 1; seed <= seeds; ++seed) {
        link_model::CModelConfig config;
        config.seed = seed;
        config.SetChannel(delayMs, lossPermille, reorderPermille, 0, kFramesPerSecond, seed);
        if (reorderDepth) config.up.reorderDepth = config.down.reorderDepth = reorderDepth;
        config.portRules = port.rules;
        config.deviceRules = peer.rules;
        config.plainDevice = peer.plain;
        config.plainMark = peer.mark;
        config.plainTimer = peer.timer;
        config.wakeLatencyUs = wakeLatencyMs * 1000;
        config.bytesUp = toDevice ? bytes : 0;
        config.bytesDown = toDevice ? 0 : bytes;
        config.timeLimitMs = 600 * 1000;
        link_model::CModelResult result = link_model::RunLinkModel(config);
        if (!result.Ok() && (firstFailed == 0 || (!result.intact && corrupt == 0))) firstFailed = seed;
        if (!result.intact) ++corrupt;
        else if (result.told) ++told;
        else if (!result.complete) ++stalled;
        if (result.Ok()) total += bytes * 1000.0 / std::max<std::uint64_t>(result.elapsedMs, 1);
        resends += result.resendsTimed;
        waitUs += result.resendWaitUs;
    }
    // The mean time from a frame's first send to its first resend.
    if (resendWaitMs) *resendWaitMs = resends ? waitUs / 1000.0 / resends : 0;
    return total / seeds;
}

// A line for the collected benchmark table, naming the port rules by the
// setting that chooses them.
std::string SummaryRow(const std::string& portName, bool toDevice, DWORD lossPermille, double goodput, double ideal,
                       int corrupt, int stalled, int told) {
    const char* rules = portName == "default" ? "default rules" : "engine rules (\"PlainDevice\" false)";
    char row[320];
    std::snprintf(row, sizeof row,
                  "table: | bluetooth smart | goodput %s, plain device, port on %s, %lu %% loss (%d/100 corrupt, "
                  "%d stalled, %d told) | %.0f B/s | %.0f B/s | %.2f |",
                  toDevice ? "port\u2192device" : "device\u2192port", rules, lossPermille / 10, corrupt, stalled, told,
                  goodput, ideal, goodput / ideal);
    return row;
}

// Lossless, what the port's late wake-ups cost against the plain device: the
// port keeps 24 frames in flight, the device acknowledges every 10, so each
// ACK has to be answered before the other 14 have gone, about 35 ms at 400
// frames a second.
void RunWakeLatency(const CPeer& peer, const CPortRules& port) {
    std::printf("\nLossless, %s device, %s port, by how late the port's worker wakes (at most)\n", peer.name,
                port.name);
    for (DWORD late : {0u, 10u, 25u, 50u})
        for (bool toDevice : {true, false}) {
            int corrupt = 0, stalled = 0, told = 0, firstFailed = 0;
            double goodput = ModelGoodput(port, peer, toDevice, 10, 0, corrupt, stalled, told, firstFailed, 0, 0, late);
            double ideal = Ideal(10, toDevice ? port.inFlight : peer.inFlight);
            std::printf("%-12s %-8s %2lu ms late   %-13s %11.0f %11.0f %6.2f\n", peer.name, port.name,
                        static_cast<unsigned long>(late), toDevice ? "port->device" : "device->port", goodput, ideal,
                        goodput / ideal);
            std::fflush(stdout);
        }
}

// The devices and port rules the link model rows compare.
const CPeer kOwnEngine = {"own engine", corvane::CLinkRules::Fast(), 8, false, blesim::CPlainDevice::markStripped,
                          blesim::CPlainDevice::timerPeriodic};
const CPeer kPlain = {"plain rules", corvane::CLinkRules::LiteralDevice(), 32, true,
                      blesim::CPlainDevice::markStripped, blesim::CPlainDevice::timerPeriodic};
const CPeer kPlainMark = {"plain, mark", corvane::CLinkRules::LiteralDevice(), 32, true,
                          blesim::CPlainDevice::markKept, blesim::CPlainDevice::timerPeriodic};
const CPeer kPlainQuiet = {"plain, quiet", corvane::CLinkRules::LiteralDevice(), 32, true,
                           blesim::CPlainDevice::markStripped, blesim::CPlainDevice::timerAfterQuiet};
const CPortRules kDefaultPort = {"default", corvane::CLinkRules::PlainSafe(), 24};
const CPortRules kEnginePort = {"engine", corvane::CLinkRules::Reliable(), 12};

// plainOnly: only the plain device against the default port rules.
void RunModel(bool plainOnly) {
    std::vector<std::string> summary;
    const CPeer peers[] = {kOwnEngine, kPlain, kPlainMark, kPlainQuiet};
    const CPortRules ports[] = {kDefaultPort, kEnginePort, {"fast", corvane::CLinkRules::Fast(), 8},
                                {"plain", corvane::CLinkRules::Literal(), 32}};
    std::printf(
        "Link model, virtual time: 50 KB one way, 100 seeds, %lu frames/s, 10 ms one-way delay, W 32,\n"
        "wake-ups up to 50 ms late; \"plain rules\" is the plain device end apart from the engine\n"
        "(resend mark taken off, its timer every third of T x 10 ms), \"plain, mark\" the same reading\n"
        "the mark as part of the number, \"plain, quiet\" the same with a timer that waits for a third\n"
        "of T x 10 ms in which no frame arrived; \"resend ms\": the port's mean time from a frame's first\n"
        "send to its first resend (T x 10 ms is 1000 ms)\n",
        kFramesPerSecond);
    std::printf("%-12s %-8s %-5s %-13s %11s %11s %6s %9s  %s\n", "device", "port", "loss", "direction", "goodput B/s",
                "ideal B/s", "ratio", "resend ms", "runs lost");
    for (const CPeer& peer : peers)
        for (const CPortRules& port : ports)
            for (DWORD loss : {0u, 10u, 20u, 50u, 100u})
                for (bool toDevice : {true, false}) {
                    if (plainOnly && (!peer.plain || peer.mark != blesim::CPlainDevice::markStripped ||
                                      (std::string(port.name) != "default" && std::string(port.name) != "engine")))
                        continue;
                    int corrupt = 0, stalled = 0, told = 0, firstFailed = 0;
                    double wait = 0;
                    double goodput = ModelGoodput(port, peer, toDevice, 10, loss, corrupt, stalled, told, firstFailed,
                                                  0, 0, 50, &wait);
                    double ideal = Ideal(10, toDevice ? port.inFlight : peer.inFlight);
                    char lost[64] = "";
                    if (corrupt || stalled || told)
                        std::snprintf(lost, sizeof lost, "%d corrupt, %d stalled, %d told", corrupt, stalled, told);
                    if (firstFailed)
                        std::snprintf(lost + std::strlen(lost), sizeof lost - std::strlen(lost), " (first: seed %d)", firstFailed);
                    std::printf("%-12s %-8s %-5s %-13s %11.0f %11.0f %6.2f %9.0f  %s\n", peer.name, port.name,
                                (std::to_string(loss / 10) + " %").c_str(), toDevice ? "port->device" : "device->port",
                                goodput, ideal, goodput / ideal, wait, lost);
                    std::fflush(stdout);
                    if (peer.plain && peer.mark == blesim::CPlainDevice::markStripped &&
                        peer.timer == blesim::CPlainDevice::timerPeriodic &&
                        (std::string(port.name) == "default" || std::string(port.name) == "engine"))
                        summary.push_back(SummaryRow(std::string(port.name), toDevice, loss, goodput, ideal, corrupt, stalled, told));
                }
    for (const std::string& row : summary) std::printf("%s\n", row.c_str());
    if (!plainOnly) RunWakeLatency(kPlain, kDefaultPort);
}

// A channel that reorders too (which a GATT link does not): a tenth of the
// frames overtaken by 1 to 8 later ones.
void RunReordering() {
    const CPeer peers[] = {kOwnEngine, kPlain, kPlainQuiet};
    const CPortRules ports[] = {kDefaultPort, kEnginePort};
    std::printf("\nThe same, 10 %% of the frames overtaken by up to 8 later ones\n");
    for (const CPeer& peer : peers)
        for (const CPortRules& port : ports)
            for (DWORD loss : {0u, 20u})
                for (bool toDevice : {true, false}) {
                    int corrupt = 0, stalled = 0, told = 0, firstFailed = 0;
                    double goodput =
                        ModelGoodput(port, peer, toDevice, 10, loss, corrupt, stalled, told, firstFailed, 100, 8);
                    double ideal = Ideal(10, toDevice ? port.inFlight : peer.inFlight);
                    std::printf("%-12s %-8s %-5s %-13s %11.0f %11.0f %6.2f %d corrupt, %d stalled, %d told (first: seed %d)\n",
                                peer.name, port.name, (std::to_string(loss / 10) + " %").c_str(),
                                toDevice ? "port->device" : "device->port", goodput, ideal, goodput / ideal, corrupt,
                                stalled, told, firstFailed);
                    std::fflush(stdout);
                }
}

}  // namespace

// One run against the plain device with every frame printed, for chasing a
// failure with the default port rules: --trace SEED LOSS-PERMILLE up|down
// [engine] [reorder]: against the device on the engine's own rules; through
// the reordering channel of RunReordering.
int TraceRun(DWORD seed, DWORD lossPermille, bool toDevice, bool engineDevice, bool reorder) {
    link_model::CModelConfig config;
    config.seed = seed;
    config.SetChannel(10, lossPermille, reorder ? 100 : 0, 0, kFramesPerSecond, seed);
    if (reorder) config.up.reorderDepth = config.down.reorderDepth = 8;
    config.portRules = corvane::CLinkRules::PlainSafe();
    config.plainDevice = !engineDevice;
    if (engineDevice) config.deviceRules = corvane::CLinkRules::Fast();
    config.wakeLatencyUs = 50 * 1000;
    config.bytesUp = toDevice ? 50 * 1024 : 0;
    config.bytesDown = toDevice ? 0 : 50 * 1024;
    config.timeLimitMs = 600 * 1000;
    config.trace = [](double ms, const char* what, const BYTE* frame, DWORD size) {
        std::printf("%10.3f %s", ms, what);
        for (DWORD i = 0; i < size && i < 4; ++i) std::printf(" %02X", frame[i]);
        std::printf(size > 4 ? " ...(%lu)\n" : "\n", size);
    };
    link_model::CModelResult result = link_model::RunLinkModel(config);
    std::printf("%s\n", result.Describe().c_str());
    return result.Ok() ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc > 4 && std::string(argv[1]) == "--trace")
        return TraceRun(std::stoul(argv[2]), std::stoul(argv[3]), std::string(argv[4]) == "up",
                        argc > 5 && std::string(argv[5]) == "engine", argc > 6 && std::string(argv[6]) == "reorder");
    if (argc > 1 && std::string(argv[1]) == "--reorder") {
        RunReordering();
        return 0;
    }
    bool plainOnly = argc > 1 && std::string(argv[1]) == "--plain";
    if (argc < 2 || std::string(argv[1]) != "--realtime") RunModel(plainOnly);
    if (plainOnly || (argc > 1 && std::string(argv[1]) == "--model")) return 0;

    corvane::CLibraryScope library;
    std::printf("\nThe port through the simulated stack, real time, %lu frames/s each way, W 32\n", kFramesPerSecond);
    std::printf("%-12s %-8s %-7s %-6s %-14s %12s %12s %7s\n", "device", "port", "delay", "loss", "direction",
                "goodput B/s", "ideal B/s", "ratio");
    struct {
        bool literal;
        bool fast;
        DWORD loss;
    } runs[] = {{false, false, 0}, {false, false, 20}, {false, true, 20}, {true, false, 0}, {true, false, 20}};
    for (const auto& run : runs) {
        const DWORD delay = 10;
        for (int direction = 0; direction < 2; ++direction) {
            Prepare(delay, run.loss, run.literal);
            auto port = corvane::CreateBluetoothSmartPort(
                corvane::CBluetoothSmartPortAddr::CreateInstance(kDevice, 0, L"Bench"));
            double goodput = 0;
            try {
                if (run.fast) {
                    auto settings = corvane::IPropertySet::CreateInstance(L"Id=\"FastRecovery\",vt=VT_BOOL,Flags=0,PL=0,Value=-1;");
                    port->SetSettings(settings);
                }
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
            // In flight: the port 24 (8 with fast recovery), the device 8, or 32 on the plain rules.
            double ideal = Ideal(delay, direction == 0 ? (run.fast ? 8 : 24) : (run.literal ? 32 : 8));
            std::printf("%-12s %-8s %-7s %-6s %-14s %12.0f %12.0f %7.2f\n", run.literal ? "plain rules" : "own engine",
                        run.fast ? "fast" : "default", (std::to_string(delay) + " ms").c_str(),
                        (std::to_string(run.loss / 10) + " %").c_str(),
                        direction == 0 ? "port->device" : "device->port", goodput, ideal, goodput / ideal);
            std::fflush(stdout);
        }
    }
    BleSimRemoveNodes(L"BTHLE\\");
    BleSimRemoveNodes(L"BTHLEDEVICE\\");
    return 0;
}
