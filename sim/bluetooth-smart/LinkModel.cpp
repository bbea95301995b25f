#include "LinkModel.h"

#include "DeviceLink.h"

#include <basalt/Exceptions.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <vector>

namespace link_model {

namespace {

const std::uint64_t kNever = UINT64_MAX;

// Virtual microseconds since the start, and the tick count the engines see.
struct CClock {
    DWORD startTick;
    std::uint64_t nowUs;
    DWORD Tick() const { return startTick + static_cast<DWORD>(nowUs / 1000); }
    // The time at which the tick count reaches tick (ticks compare unsigned).
    std::uint64_t TimeOfTick(DWORD tick) const {
        DWORD elapsedMs = tick - startTick;
        return static_cast<std::uint64_t>(elapsedMs) * 1000;
    }
};

// The port's side: its engine behind the port's own worker loop
// (CLinkWorker), with the wait on the send-now, frame and notice events and
// its time-out modelled, and the wake-up latency that lets frames pile up in
// the slots.
class CPortModel : public corvane::ILinkIO, private corvane::ILinkSlots {
public:
    CPortModel(const CModelConfig& config, CClock& clock, blesim::CFrameChannel& up, CModelResult& result)
        : m_engine(corvane::CLinkEngine::rolePort, *this, config.portRules),
          m_worker(m_engine, *this),
          m_clock(clock),
          m_up(up),
          m_result(result),
          m_random(config.seed * 7919ull + 3),
          m_latencyUs(config.wakeLatencyUs),
          m_sendSeed(config.seed * 2 + 1),
          m_receiveSeed(config.seed * 2 + 2),
          m_toSend(config.bytesUp),
          m_sent(0),
          m_sendNow(false),
          m_frame(false),
          m_notice(false),
          m_wakeAt(kNever),
          m_deadline(0),
          m_lastProgressUs(0),
          m_trace(config.trace),
          m_dropDataFrame(config.dropPortDataFrame),
          m_dataFrames(0) {
        std::fill(std::begin(m_firstSentUs), std::end(m_firstSentUs), kNever);
        m_slots.Allocate();
    }

    // Open: the worker writes the connect request and waits; the client has
    // queued its bytes, so the outgoing stream's notice is set.
    void Start() {
        m_worker.Start(m_clock.Tick());
        Rewait();
        Signal(m_notice);
    }

    // The stack's callback: file the frame, set the frame event.
    void File(const blesim::CFrame& frame) {
        if (m_trace) m_trace(m_clock.nowUs / 1000.0, ">P", frame.data, frame.size);
        if (m_slots.File(frame.data, frame.size, m_clock.Tick())) Signal(m_frame);
    }

    std::uint64_t NextWake() const { return std::min(m_wakeAt, m_deadline); }

    // The worker from a wake-up until it waits again with nothing set:
    // WaitForMultipleObjects answers the lowest signalled index first.
    void Run() {
        m_wakeAt = kNever;
        for (int round = 0; round < 1000; ++round) {
            corvane::CLinkWorker::EWake wake;
            if (m_sendNow) {
                m_sendNow = false;
                wake = corvane::CLinkWorker::wakeSendNow;
            } else if (m_frame) {
                m_frame = false;
                wake = corvane::CLinkWorker::wakeFrame;
            } else if (m_notice) {
                m_notice = false;
                wake = corvane::CLinkWorker::wakePending;
            } else if (m_clock.nowUs >= m_deadline) {
                wake = corvane::CLinkWorker::wakeTimeout;
            } else {
                return;
            }
            if (m_worker.OnWake(wake, m_clock.Tick())) m_sendNow = true;
            Rewait();
        }
    }

    const corvane::CLinkEngine& Engine() const { return m_engine; }
    size_t Received() const { return m_received; }
    std::uint64_t LastProgressUs() const { return m_lastProgressUs; }

private:
    DWORD TakeSlot(DWORD slot, BYTE* frame, DWORD& filedAt) override { return m_slots.Take(slot, frame, filedAt); }

    void Rewait() { m_deadline = m_clock.nowUs + m_worker.GetWaitTimeout() * 1000ull; }

    // An event set from outside the worker wakes it after a latency.
    void Signal(bool& event) {
        event = true;
        std::uint64_t wake = m_clock.nowUs + (m_latencyUs ? m_random.Below(m_latencyUs + 1) : 0);
        m_wakeAt = std::min(m_wakeAt, wake);
    }

    void WriteFrame(const BYTE* frame, DWORD size, bool control) override {
        if (m_trace) m_trace(m_clock.nowUs / 1000.0, "P>", frame, size);
        if (size > 2 && !control) {
            // How long a frame waited from its first send to its first resend.
            BYTE sequence = frame[1] & static_cast<BYTE>(~corvane::link::resendFlag);
            if ((frame[1] & corvane::link::resendFlag) == 0) {
                m_firstSentUs[sequence] = m_clock.nowUs;
            } else if (m_firstSentUs[sequence] != kNever) {
                m_result.resendWaitUs += m_clock.nowUs - m_firstSentUs[sequence];
                ++m_result.resendsTimed;
                m_firstSentUs[sequence] = kNever;
            }
        }
        if (size > 2 && !control && ++m_dataFrames == m_dropDataFrame) return;
        m_up.Submit(frame, size, control, m_clock.nowUs);
    }

    DWORD TakeOutgoing(BYTE* buffer, DWORD size) override {
        DWORD count = static_cast<DWORD>(std::min<size_t>(size, m_toSend - m_sent));
        for (DWORD i = 0; i < count; ++i) buffer[i] = StreamByte(m_sendSeed, m_sent + i);
        m_sent += count;
        // EndDrain fires eventOutgoingPending while bytes remain: the
        // worker's own notice wakes it again at once.
        if (m_sent < m_toSend) m_notice = true;
        return count;
    }

    void Deliver(const BYTE* data, DWORD size) override {
        if (m_trace) m_trace(m_clock.nowUs / 1000.0, "P=", data, size);
        for (DWORD i = 0; i < size && m_result.intact; ++i) {
            BYTE want = StreamByte(m_receiveSeed, m_received + i);
            if (data[i] != want) {
                std::ostringstream text;
                text << "device-to-port byte " << (m_received + i) << " is " << int(data[i]) << ", not "
                     << int(want);
                m_result.intact = false;
                m_result.failure = text.str();
            }
        }
        m_received += size;
        m_lastProgressUs = m_clock.nowUs;
    }

    corvane::CLinkEngine m_engine;
    corvane::CLinkWorker m_worker;
    corvane::CFrameSlots m_slots;
    CClock& m_clock;
    blesim::CFrameChannel& m_up;
    CModelResult& m_result;
    blesim::CRandom m_random;
    DWORD m_latencyUs;
    DWORD m_sendSeed;
    DWORD m_receiveSeed;
    size_t m_toSend;
    size_t m_sent;
    size_t m_received = 0;
    bool m_sendNow;
    bool m_frame;
    bool m_notice;
    std::uint64_t m_wakeAt;
    std::uint64_t m_deadline;
    std::uint64_t m_lastProgressUs;
    std::function<void(double, const char*, const BYTE*, DWORD)> m_trace;
    DWORD m_dropDataFrame;
    DWORD m_dataFrames;
    std::uint64_t m_firstSentUs[corvane::link::resendFlag];  // by sequence number
};

}  // namespace

void CModelConfig::SetChannel(DWORD delayMs, DWORD lossPermille, DWORD reorderPermille,
                              DWORD duplicatePermille, DWORD framesPerSecond, DWORD channelSeed) {
    for (BLESIM_CHANNEL* channel : {&up, &down}) {
        *channel = BLESIM_CHANNEL();
        channel->delayMs = delayMs;
        channel->lossPermille = lossPermille;
        channel->reorderPermille = reorderPermille;
        channel->reorderDepth = 3;
        channel->duplicatePermille = duplicatePermille;
        channel->framesPerSecond = framesPerSecond;
        channel->seed = channelSeed;
    }
}

BYTE StreamByte(DWORD seed, std::uint64_t position) {
    std::uint64_t z = position * 0x9E3779B97F4A7C15ull + seed * 0xD1B54A32D192ED03ull;
    z = (z ^ (z >> 29)) * 0xBF58476D1CE4E5B9ull;
    return static_cast<BYTE>(z >> 56);
}

std::string CModelResult::Describe() const {
    std::ostringstream text;
    text << (Ok() ? "ok" : "FAILED");
    if (!failure.empty()) text << " (" << failure << ")";
    text << ": up " << deliveredUp << " B, down " << deliveredDown << " B in " << elapsedMs
         << " ms, longest stall " << longestStallMs << " ms; port frames " << port.framesWritten << " resent "
         << port.resentFrames << " timeouts " << port.timeouts << " naks " << port.naksSent << " dup "
         << port.duplicates << "; device frames " << device.framesWritten << " resent " << device.resentFrames
         << "; dropped " << upChannel.dropped << "/" << downChannel.dropped;
    return text.str();
}

CModelResult RunLinkModel(const CModelConfig& config) {
    CModelResult result;
    CClock clock = {config.startTick, 0};
    blesim::CFrameChannel up(config.up, 1);
    blesim::CFrameChannel down(config.down, 2);
    CPortModel port(config, clock, up, result);

    blesim::CDeviceLink device(config.deviceRules);
    if (config.plainDevice) device.SetPlain(true, config.plainMark, config.plainTimer);
    device.SetParameters(config.parameters);
    device.SetEmitter([&](const BYTE* frame, DWORD size, bool control) {
        if (config.trace) config.trace(clock.nowUs / 1000.0, "D>", frame, size);
        down.Submit(frame, size, control, clock.nowUs);
    });
    DWORD deviceSendSeed = config.seed * 2 + 2;
    DWORD deviceReceiveSeed = config.seed * 2 + 1;
    {
        std::vector<BYTE> stream(config.bytesDown);
        for (size_t i = 0; i < stream.size(); ++i) stream[i] = StreamByte(deviceSendSeed, i);
        device.Queue(stream.data(), stream.size(), clock.Tick());
    }
    size_t deviceReceived = 0;
    std::uint64_t deviceProgressUs = 0;
    std::vector<BYTE> taken(4096);

    const std::uint64_t limitUs = config.timeLimitMs * 1000;
    try {
        port.Start();
        while (result.intact) {
            if (port.Received() >= config.bytesDown && deviceReceived >= config.bytesUp) {
                result.complete = true;
                break;
            }
            std::uint64_t next = std::min({up.NextDue(), down.NextDue(), port.NextWake(),
                                           clock.TimeOfTick(device.NextTimer())});
            if (next < clock.nowUs) next = clock.nowUs;
            if (next > limitUs) break;
            std::uint64_t progress = std::max(port.LastProgressUs(), deviceProgressUs);
            result.longestStallMs = std::max(result.longestStallMs, (next - progress) / 1000);
            clock.nowUs = next;

            blesim::CFrame frame;
            while (up.Pop(clock.nowUs, frame)) {
                if (config.trace) config.trace(clock.nowUs / 1000.0, ">D", frame.data, frame.size);
                device.OnFrame(frame.data, frame.size, clock.Tick());
                for (size_t count; (count = device.TakeReceived(taken.data(), taken.size())) != 0;) {
                    for (size_t i = 0; i < count && result.intact; ++i) {
                        BYTE want = StreamByte(deviceReceiveSeed, deviceReceived + i);
                        if (taken[i] != want) {
                            std::ostringstream text;
                            text << "port-to-device byte " << (deviceReceived + i) << " is " << int(taken[i])
                                 << ", not " << int(want);
                            result.intact = false;
                            result.failure = text.str();
                        }
                    }
                    deviceReceived += count;
                    deviceProgressUs = clock.nowUs;
                }
            }
            while (down.Pop(clock.nowUs, frame)) port.File(frame);
            if (port.NextWake() <= clock.nowUs) port.Run();
            if (clock.TimeOfTick(device.NextTimer()) <= clock.nowUs) device.OnTimer(clock.Tick());
        }
    } catch (const basalt::CWinException& e) {
        result.told = e.GetErrorCode() == ERROR_INVALID_DATA;
        result.intact = result.intact && result.told;
        result.failure = std::string("port worker ended: ") + e.what() + " (line " + std::to_string(e.GetLine()) + ")";
    } catch (const basalt::CStdException& e) {
        result.intact = false;
        result.failure = std::string("port worker ended: ") + e.what();
    }
    if (!result.complete && result.intact && result.failure.empty()) result.failure = "stalled until the time limit";

    result.deliveredUp = deviceReceived;
    result.deliveredDown = port.Received();
    result.elapsedMs = clock.nowUs / 1000;
    result.port = port.Engine().GetCounters();
    result.portSawEngine = port.Engine().IsPeerOnEngine();
    result.device = device.GetCounters();
    result.upChannel = up.GetCounters();
    result.downChannel = down.GetCounters();
    return result;
}

}  // namespace link_model
