#pragma once
// The device's end of the link: the port's protocol engine in its device
// role, driven the way a small radio module drives it. Each frame is handled
// as it arrives (receive, deliver, acknowledge when due); a send phase runs
// when the application queues bytes, after an acknowledgement came in, and
// every third of the timer unit. Pure logic without threads or clock: the
// simulator calls it under its lock from the stack's thread, the link model
// of the tests from its event loop.
#include "BluetoothSmart/LinkEngine.h"
#include "PlainDevice.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace blesim {

class CDeviceLink : private corvane::ILinkIO {
public:
    // Receives every frame the device writes; control frames are indications,
    // data frames notifications.
    typedef std::function<void(const BYTE* frame, DWORD size, bool control)> Emitter;

    // The device runs this engine's rules with fast recovery (its port drops
    // stale copies) unless told to follow the plain rules.
    explicit CDeviceLink(const corvane::CLinkRules& rules = corvane::CLinkRules::Fast());
    void SetRules(const corvane::CLinkRules& rules) { m_engine.SetRules(rules); }
    // Switches the device to the independent plain-rules end (CPlainDevice)
    // with the given reading of the resend mark, or back to the engine.
    void SetPlain(bool plain, CPlainDevice::EMark mark = CPlainDevice::markStripped,
                  CPlainDevice::ETimer timer = CPlainDevice::timerPeriodic);
    bool IsPlain() const { return m_plain != nullptr; }

    void SetEmitter(Emitter emitter) { m_emit = emitter; }
    void SetParameters(const BYTE parameters[6]);
    // With echo, what the device receives it sends back instead of keeping it.
    void SetEcho(bool echo) { m_echo = echo; }

    // A frame from the port.
    void OnFrame(const BYTE* frame, DWORD size, DWORD now);
    // Runs the periodic send phase when its time has come.
    void OnTimer(DWORD now);
    // When OnTimer has something to do next (a tick, compared unsigned).
    DWORD NextTimer() const {
        return m_plain ? m_plain->NextTimer() : m_lastSendPhase + m_engine.GetWaitTimeout();
    }

    // Bytes for the port; a send phase runs at once.
    void Queue(const BYTE* data, size_t size, DWORD now);
    size_t GetQueued() const { return m_outgoing.size() - m_outgoingStart; }
    // Bytes received in order and not yet taken (none with echo).
    size_t TakeReceived(BYTE* buffer, size_t size);
    size_t GetReceivedCount() const { return m_received.size() - m_receivedStart; }

    const corvane::CLinkEngine& Engine() const { return m_engine; }
    // The counters of whichever end runs (the plain end fills what it has).
    corvane::CLinkEngine::CCounters GetCounters() const;
    bool IsLinked() const { return m_plain ? m_plain->IsLinked() : m_engine.IsLinked(); }
    BYTE GetWindow() const { return m_plain ? m_plain->GetWindow() : m_engine.GetWindow(); }
    BYTE GetTimerUnit() const { return m_plain ? m_plain->GetTimerUnit() : m_engine.GetTimerUnit(); }
    std::uint64_t BytesReceived() const { return m_bytesReceived; }
    std::uint64_t BytesSent() const { return m_bytesSent; }

private:
    void WriteFrame(const BYTE* frame, DWORD size, bool control) override;
    DWORD TakeOutgoing(BYTE* buffer, DWORD size) override;
    void Deliver(const BYTE* data, DWORD size) override;
    void SendPhase(DWORD now);

    corvane::CLinkEngine m_engine;
    std::unique_ptr<CPlainDevice> m_plain;
    BYTE m_offered[6];
    Emitter m_emit;
    bool m_echo;
    DWORD m_lastSendPhase;
    std::vector<BYTE> m_outgoing;
    size_t m_outgoingStart;
    std::vector<BYTE> m_received;
    size_t m_receivedStart;
    std::uint64_t m_bytesReceived;
    std::uint64_t m_bytesSent;
};

}  // namespace blesim
