#pragma once
// A discrete-event model of a Bluetooth Smart link: the port's engine and
// worker loop (CLinkWorker, the same steps the port runs) behind a model of
// its waits (the 257 frame slots, the send-now, frame and notice events with
// the wait's time-out, a wake-up latency that lets frames pile up in the
// slots), the simulated device's end (this engine's rules or the plain ones),
// and a channel in each direction. Virtual time, so a run that moves 100 KB each way through a lossy
// channel costs milliseconds, and a seed replays it exactly.
#include "BluetoothSmart/LinkEngine.h"
#include "Channel.h"
#include "PlainDevice.h"

#include <cstdint>
#include <functional>
#include <string>

namespace link_model {

struct CModelConfig {
    BLESIM_CHANNEL up = {};    // port to device
    BLESIM_CHANNEL down = {};  // device to port
    corvane::CLinkRules portRules = corvane::CLinkRules::PlainSafe();  // the port's default
    // The simulated device's rules; CLinkRules::LiteralDevice() for a device
    // that follows the plain rules.
    corvane::CLinkRules deviceRules = corvane::CLinkRules::Fast();
    // The device end written apart from the engine from the plain rules
    // alone (CPlainDevice); deviceRules are then not used.
    bool plainDevice = false;
    blesim::CPlainDevice::EMark plainMark = blesim::CPlainDevice::markStripped;
    blesim::CPlainDevice::ETimer plainTimer = blesim::CPlainDevice::timerPeriodic;
    BYTE parameters[6] = {0x00, 0x01, 0x10, 0x20, 0x50, 0xFF};  // W 32, T 100
    size_t bytesUp = 100 * 1024;
    size_t bytesDown = 100 * 1024;
    // The port's worker runs up to this long (evenly drawn) after one of its
    // events is set: a busy machine waking a thread late.
    DWORD wakeLatencyUs = 400;
    std::uint64_t timeLimitMs = 3600 * 1000;
    // GetTickCount at the start: close to the wrap, so every run crosses it.
    DWORD startTick = 0xFFFFF000;
    DWORD seed = 1;
    // One fault at a chosen place instead of random ones: the Nth frame with
    // a payload that the port writes is lost (0: none).
    DWORD dropPortDataFrame = 0;
    // Told of every frame as it leaves and arrives, for chasing a failure:
    // (time in ms, "P>" port wrote / "D>" device wrote / ">P" / ">D" arrived, frame).
    std::function<void(double, const char*, const BYTE*, DWORD)> trace;

    // The same loss, reordering and duplication both ways.
    void SetChannel(DWORD delayMs, DWORD lossPermille, DWORD reorderPermille, DWORD duplicatePermille,
                    DWORD framesPerSecond, DWORD channelSeed);
};

struct CModelResult {
    bool intact = true;     // every delivered byte was the next one of its stream
    bool complete = false;  // both streams arrived whole
    // The port stored an error it raised itself because the stream could no
    // longer be trusted (ERROR_INVALID_DATA), before any wrong byte: told.
    bool told = false;
    // The port's sender saw the device repeat an ACK, which only a device on
    // the engine's own rules does (CLinkEngine::IsPeerOnEngine).
    bool portSawEngine = false;
    std::string failure;    // what went wrong first, for the test's message
    size_t deliveredUp = 0;
    size_t deliveredDown = 0;
    std::uint64_t elapsedMs = 0;
    std::uint64_t longestStallMs = 0;  // longest time without a delivered byte
    // The port's data frames sent again, and the time from first send to
    // first resend summed over them.
    std::uint64_t resendsTimed = 0;
    std::uint64_t resendWaitUs = 0;
    corvane::CLinkEngine::CCounters port = {};
    corvane::CLinkEngine::CCounters device = {};
    blesim::CFrameChannel::CCounters upChannel = {};
    blesim::CFrameChannel::CCounters downChannel = {};

    bool Ok() const { return intact && complete; }
    std::string Describe() const;
};

CModelResult RunLinkModel(const CModelConfig& config);

// The byte at one position of a test stream; streams of other seeds differ.
BYTE StreamByte(DWORD seed, std::uint64_t position);

}  // namespace link_model
