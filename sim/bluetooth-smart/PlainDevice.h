#pragma once
// A device end that follows the plain link rules and nothing else, written
// apart from the port's engine so that a misreading the engine and its plain
// mode share shows up as a failure: connect request answered with the
// parameters, confirm answered with link accepted, data frames numbered
// modulo W, an ACK after W / 3 frames in order or on the timer, a NAK after
// T x 10 ms of gap, the whole window again with the resend mark after
// T x 10 ms without an acknowledgement, and an ACK or NAK that names no
// frame it holds empties its window. Up to W frames are in flight.
#include <basalt/Config.h>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace blesim {

class CPlainDevice {
public:
    // The rules leave open what a receiver does with the resend mark 0x20 in
    // a sequence byte: take it off (it is no part of the number) or read the
    // byte as it stands (a marked copy then lands a modulus away).
    enum EMark { markStripped, markKept };
    // They leave open, too, when the timer's send phase comes (the ACK of
    // fewer than W / 3 frames, the NAK of a gap, the time-out): every third
    // of T x 10 ms, or only once a third of T x 10 ms passed in which
    // nothing woke the device (a loop that waits that long for its next
    // event: each frame that arrives starts the wait again).
    enum ETimer { timerPeriodic, timerAfterQuiet };

    struct CCounters {
        DWORD framesWritten = 0;
        DWORD dataFrames = 0;
        DWORD resentFrames = 0;
        DWORD timeouts = 0;
        DWORD acksSent = 0;
        DWORD naksSent = 0;
        DWORD emptiedWindows = 0;  // ACKs or NAKs that matched no frame held
    };

    typedef std::function<void(const BYTE* frame, DWORD size, bool control)> Emitter;
    // Moves up to size queued bytes into buffer; answers how many.
    typedef std::function<DWORD(BYTE* buffer, DWORD size)> Source;
    typedef std::function<void(const BYTE* data, DWORD size)> Sink;

    CPlainDevice(Emitter emit, Source take, Sink deliver);

    void SetMark(EMark mark) { m_mark = mark; }
    void SetTimer(ETimer timer) { m_timer = timer; }
    void SetParameters(const BYTE parameters[6]);

    void OnFrame(const BYTE* frame, DWORD size, DWORD now);
    // The timer's send phase, due at NextTimer().
    void OnTimer(DWORD now);
    DWORD NextTimer() const { return TimerBase() + Period(); }
    // The application queued bytes.
    void OnQueued(DWORD now) { SendPhase(now); }

    bool IsLinked() const { return m_linked; }
    BYTE GetWindow() const { return m_w; }
    BYTE GetTimerUnit() const { return m_t; }
    const CCounters& GetCounters() const { return m_counters; }

private:
    struct CSent {
        DWORD sentAt;  // 0: to go out at once
        std::vector<BYTE> payload;
    };

    void OnControl(const BYTE* frame, DWORD size);
    void OnAcknowledgement(bool nak, BYTE number, DWORD now);
    void Deliver(DWORD now);
    void SendPhase(DWORD now);
    void Emit(const BYTE* frame, DWORD size, bool control);
    DWORD Span() const { return m_t * 10u; }
    DWORD Period() const { return Span() / 3 ? Span() / 3 : 1; }
    // What the timer counts from.
    DWORD TimerBase() const { return m_timer == timerAfterQuiet ? m_lastWake : m_lastSendPhase; }
    static DWORD Stamp(DWORD now) { return now ? now : 1; }

    Emitter m_emit;
    Source m_take;
    Sink m_deliver;
    EMark m_mark;
    ETimer m_timer;
    BYTE m_params[6];
    BYTE m_w;
    BYTE m_t;
    bool m_linked;
    std::uint32_t m_rxNext;
    std::uint32_t m_txNext;
    DWORD m_gapSince;
    DWORD m_rxSinceAck;
    bool m_sendNow;
    DWORD m_lastSendPhase;
    DWORD m_lastWake;  // the last frame or send phase
    std::map<std::uint32_t, std::vector<BYTE>> m_held;
    std::map<std::uint32_t, CSent> m_window;
    CCounters m_counters;
};

}  // namespace blesim
