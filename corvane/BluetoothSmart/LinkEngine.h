#pragma once
// The link protocol that carries a byte stream over one GATT characteristic,
// without the characteristic: the engine writes and receives whole values of
// 1 to 20 bytes through ILinkIO and is told the time, so that the port, the
// simulated device and the discrete-event model of the tests all run the
// same code against any channel.
//
// Frames (byte 0 decides):
//   0xC0..0xFF  control: C0 connect request (1), C1 link parameters p0..p5 (7),
//               C2 link confirm 01 W T (4), C6 link accepted (1), D5 link abort (1)
//   else        data: byte 0 = 0x40|n (ACK n), 0x80|n (NAK n) or 0x00 (none);
//               byte 1 = sequence number (absolute number mod W, 0x20 added on
//               a resend); bytes 2.. = 1 to 18 payload bytes.
//
// A port drives the engine from its worker through CLinkWorker (below):
//   Start(now);                                  connect request
//   frames filed:  Receive(frame) for each, then Deliver(now),
//                  then SendPhase(now) if IsAckDue(now)
//   send-now, data queued, time-out (GetWaitTimeout):  SendPhase(now)
//   TakeSendNow() after Receive: wake at once for a send phase.
#include <basalt/Config.h>

#include <deque>
#include <map>
#include <vector>

namespace corvane {

namespace link {
const BYTE connectRequest = 0xC0;
const BYTE linkParameters = 0xC1;
const BYTE linkConfirm = 0xC2;
const BYTE linkAccepted = 0xC6;
const BYTE linkAbort = 0xD5;

const BYTE controlBits = 0xC0;  // both set: a control frame
const BYTE ackKind = 0x40;
const BYTE nakKind = 0x80;
const BYTE numberMask = 0x3F;   // the acknowledged number in byte 0
const BYTE resendFlag = 0x20;   // in the sequence byte of a frame resent after a time-out

const DWORD maxFrame = 20;      // one characteristic value
const DWORD maxPayload = 18;
// The largest window the sequence byte can carry beside the resend flag.
const BYTE maxWindow = 32;
// Sequence modulus and timer unit before a handshake sets them.
const BYTE initialWindow = 32;
const BYTE initialTimerUnit = 255;
}  // namespace link

// Which of the link rules the engine applies. The plain rules (Literal) are
// what devices in the field run; every departure below is named by the
// fault it prevents. The port runs PlainSafe() unless its client chooses the
// engine's own rules (Reliable()) or fast recovery (Fast()); the simulated
// device runs Fast(), or LiteralDevice() to stand for a device that follows
// the plain rules.
//
// The sequence number is the absolute number modulo W (at most 32), so an
// acknowledgement or a data frame that arrives late names a frame a whole
// modulus away from the one it was sent for, and a plain device treats an
// acknowledgement that names a frame it no longer holds as one for its whole
// window: it drops everything unacknowledged.
struct CLinkRules {
    // The sender keeps at most 3W / 8 frames unacknowledged (12 of 32), not
    // W: with W in flight, a copy resent after a lost ACK unwraps to the
    // very next number the receiver expects. The receiver trusts the same
    // 12 beyond its last ACK, so a late copy has to lag 20 numbers behind
    // before its alias could be taken. With fast recovery both are W / 4
    // (8), so that reordering by up to 24 places cannot corrupt the stream.
    // (Not fewer than 12 by default: a plain receiver acknowledges only
    // after W / 3 frames, 10, or on its timer. More would serve a plain
    // receiver faster but lets copies through this engine's guard.)
    bool limitInFlight;
    // An ACK or NAK whose number matches no frame in the send window removes
    // nothing and restarts no timer (a NAK still sends the window again),
    // instead of emptying the window: a NAK nearly always repeats the last
    // ACK's number, and a late ACK names a frame already removed.
    bool keepUnmatched;
    // The receiver reads the sequence number without the resend flag 0x20,
    // which is not part of it (W is at most 32, so a number never has it).
    bool stripResendFlag;
    // The receiver keeps a payload only where the peer can have sent a new
    // frame: up to the last number it acknowledged plus the peer's in-flight
    // limit, or, for a frame sent once, right after the highest one seen (a
    // plain device sends up to W at once, in order). Anything else is a late
    // copy of a delivered frame, whose number unwraps a modulus too far;
    // kept, it would be delivered in place of the real frame.
    bool guardReceiveWindow;
    // Acknowledgements only move forward: no ACK or NAK names a number at or
    // below the last one sent, so none can name a frame the peer already
    // removed and make a plain device drop its window (a repeated ACK with a
    // full window matches the newest entry; with fewer, nothing). So the
    // plain NAK (rxNext - 1 after T x 10 ms of gap, by when that number was
    // acknowledged) goes out only if it names a new number; instead a gap,
    // or a copy, is answered at once with an ACK of what came in order, if
    // that is new. A frame resent that is a copy of a delivered one means
    // our ACK was lost: it is repeated then, but only once T x 5 ms passed
    // since the last one, by when that ACK had reached the peer if it was
    // not lost. Frames stay counted until an ACK names them.
    bool forwardAcks;
    // Every resend carries the flag 0x20, not only those after a time-out,
    // so the receiver can tell a first send from a copy.
    bool flagEveryResend;
    // Fast recovery, for a peer known to discard stale copies (this engine):
    // the receiver acknowledges rxNext - 2 while data flows, so that the peer
    // keeps one frame a NAK can name, and sends that NAK as soon as a gap
    // appears; the sender resends its lowest frame after an adaptive
    // time-out (smoothed round trip plus four times its deviation, sampled
    // from frames sent once, doubled on each resend) instead of waiting
    // T x 10 ms; repeated ACKs go out at once. All of this makes copies that
    // a plain device files a modulus ahead.
    bool fastRecovery;
    // The receiver acknowledges after a third of the frames in flight rather
    // than a third of W, which would keep the sender waiting on most of its
    // smaller window.
    bool ackThirdOfFlight;
    // (PlainSafe) Against a plain device, which files every frame by its number modulo
    // W and so takes a copy of a frame it already delivered for the frame a
    // modulus ahead:
    //  - as sender, nothing goes out twice unless the device has shown it
    //    lacks it: a NAK names what it has, so what follows goes again, and
    //    so does the frame after an ACK's number if it went out T x 2.5 ms
    //    (or half as much again as the longest recent round trip) before
    //    that ACK arrived (the arrival, not when the worker took it);
    //    after T x 15 ms without an acknowledgement (the device NAKs a gap
    //    T x 10 ms after the last frame arrived, and a frame sooner would put
    //    that off) a new frame goes out as a probe (the device acknowledges
    //    it if our frames all arrived, or NAKs the gap it makes), and only
    //    with nothing new to send is the lowest frame sent again. Such a copy
    //    may have been filed a modulus ahead, so the link stores an error
    //    rather than let the device reach that number, unless an ACK naming
    //    it, with nothing new sent since and no NAK naming it first, proves
    //    the copy was needed. That copy carries the flag 0x20, as does every
    //    frame sent again, so that a receiver can tell a copy from a first
    //    send. Acknowledgements are placed among the frames in flight (at
    //    most W - 1, so each number names one frame); one naming none of
    //    them is a late one and changes nothing.
    //  - as receiver, a frame whose number could also be that of a frame
    //    delivered a modulus before, still held by a device that may not have
    //    had our acknowledgement, is taken only if its payload differs from
    //    that frame's (a copy would be equal); once a frame shows that the
    //    device had a later ACK of ours (it sent beyond what the older ones
    //    allowed), the older frames are no longer in question, except for a
    //    frame resent after a time-out that arrives sooner than T x 10 ms
    //    after those ACKs went: a plain device resends T x 10 ms after the
    //    last ACK it had at the soonest, so a channel that reorders held it
    //    back from before. And, while the device is not known to be on this
    //    engine's rules, two acknowledgements are at least T / 4 ms apart,
    //    by when a channel that reorders by up to 8 places at 400 frames a
    //    second has let the first through (2.5 ms a place, 20 ms in all):
    //    one overtaken names, modulo W, a frame of the device's newer window,
    //    and the plain device drops the frames before it unsent. A GATT link
    //    does not reorder; the spacing costs little, for the ACK after W / 3
    //    frames comes later than that, and only an early one waits. The
    //    plain NAK comes T x 10 ms after a gap, and the device's time-out
    //    as long after its last ACK, so that each lost frame would cost
    //    that much: instead, while frames flow, the newest one is left out
    //    of our ACKs, so that the device still holds it when a gap appears,
    //    and T / 4 ms into the gap a NAK names it; the device then sends
    //    the rest of its window again, unmarked, so a frame that arrives
    //    unmarked within T x 10 ms of a NAK is compared with the one a
    //    modulus before, as a copy may be.
    //  - a device that repeats an ACK (names the frame it named last time
    //    again) is on this engine's rules: a plain device acknowledges only
    //    frames it has just taken in order. Its receiver takes only a few
    //    frames beyond its ACK in any order and drops copies, so from then
    //    on the sender works as the default rules do (the frames in flight
    //    go again at once) and keeps no copy in question.
    bool safePlainSend;
    bool safePlainReceive;

    static CLinkRules Literal() { return CLinkRules{false, false, false, false, false, false, false, false, false, false}; }
    // A device that follows the plain rules and ignores the resend flag.
    static CLinkRules LiteralDevice() {
        CLinkRules rules = Literal();
        rules.stripResendFlag = true;
        return rules;
    }
    // For a peer known to run this engine: safe through reordering and
    // doubled frames, not against a plain device under loss.
    static CLinkRules Reliable() { return CLinkRules{true, true, true, true, true, true, false, true, false, false}; }
    // The port's default. Against a peer on the plain rules on an in-order
    // channel: never a wrong byte either way (see safePlainSend and
    // safePlainReceive), slower under loss. Against a peer on this engine's
    // rules: the sender finds out from the peer's repeated ACKs or early NAKs
    // and works as Reliable() does; through reordering by up to 8 places the
    // stream arrives whole or the link stores an error.
    static CLinkRules PlainSafe() { return CLinkRules{true, true, true, false, true, true, false, true, true, true}; }
    static CLinkRules Fast() { return CLinkRules{true, true, true, true, true, true, true, true, false, false}; }
};

// What the engine needs of its transport and of the client's streams.
class ILinkIO {
public:
    virtual ~ILinkIO() {}
    // Writes one frame as one value: a control frame with a response, a data
    // frame without. Throws what the transport throws.
    virtual void WriteFrame(const BYTE* frame, DWORD size, bool control) = 0;
    // Moves up to size queued bytes, oldest first, into buffer and removes them
    // from the queue; answers how many.
    virtual DWORD TakeOutgoing(BYTE* buffer, DWORD size) = 0;
    // Hands bytes received in order to the client.
    virtual void Deliver(const BYTE* data, DWORD size) = 0;
};

// The 257 slots between the stack's value-change callback and the worker: a
// frame with a sequence byte goes to the slot of that byte, control frames and
// one-byte acknowledgements to slot 256; a frame not yet taken is overwritten. Allocates only in Allocate, so
// that filing from the stack's thread costs a copy. Each slot keeps the tick
// at which its frame was filed: the worker may take it much later, and what
// an acknowledgement proves depends on when it arrived. No lock: the owner
// holds one.
class CFrameSlots {
public:
    static const DWORD slotCount = 257;
    static const DWORD otherSlot = 256;
    static const DWORD slotSize = 1 + link::maxFrame;  // length byte, then the frame

    void Allocate() {
        m_slots.assign(slotCount * slotSize, 0);
        m_filedAt.assign(slotCount, 0);
    }
    void Free() {
        std::vector<BYTE>().swap(m_slots);
        std::vector<DWORD>().swap(m_filedAt);
    }
    bool IsAllocated() const { return !m_slots.empty(); }

    // The slot a value goes to, for a value of 1 to 20 bytes.
    static DWORD SlotOf(const BYTE* value, DWORD size);
    // The slot a receive pass takes at its position-th step (0 to 256): the
    // last slot first, then the data slots in index order. A device sends
    // link accepted and then its first data frames, which often land in the
    // same pass; taken in plain index order they would come before the link
    // is up, be dropped and wait for a resend after a time-out.
    static DWORD SlotAt(DWORD position) { return position == 0 ? otherSlot : position - 1; }
    // Files a value of 1 to 20 bytes that arrived at tick now; false (nothing
    // filed) for any other size or while the slots are not allocated.
    bool File(const BYTE* value, DWORD size, DWORD now);
    // Copies the frame of one slot into frame (maxFrame bytes) and empties the
    // slot; answers its length, 0 when the slot was empty, and when it was filed.
    DWORD Take(DWORD slot, BYTE* frame, DWORD& filedAt);

private:
    std::vector<BYTE> m_slots;
    std::vector<DWORD> m_filedAt;
};

class CLinkEngine {
public:
    enum ERole {
        rolePort,    // asks for the link and accepts the device's parameters
        roleDevice,  // offers parameters and accepts the port's confirm
    };

    CLinkEngine(ERole role, ILinkIO& io, const CLinkRules& rules = CLinkRules::Reliable());
    CLinkEngine(const CLinkEngine&) = delete;
    CLinkEngine& operator=(const CLinkEngine&) = delete;

    // Back to a new link's state: unlinked, W 32, T 255, numbering from 1, no
    // frame held. The port writes the connect request; the device waits for it.
    void Start(DWORD now);

    // The receive phase for one frame, which arrived at tick arrived (the
    // worker may take it later, at now). Port: invalid link parameters and a
    // link abort throw CWinException 1359 ("corvane::CBluetoothSmartPort::ThreadProcFn").
    void Receive(const BYTE* frame, DWORD size, DWORD now, DWORD arrived);
    void Receive(const BYTE* frame, DWORD size, DWORD now) { Receive(frame, size, now, now); }
    // Hands the payloads that continue the stream to ILinkIO::Deliver.
    void Deliver(DWORD now);
    // Fills the send window from the queue and writes what is due: unsent
    // frames (after a time-out: the whole window) and at most one ACK or NAK.
    void SendPhase(DWORD now);

    // After a receive pass: enough frames arrived in order, a gap calls for
    // an early NAK, or a lost ACK is to be repeated, so that an
    // acknowledgement goes out now.
    bool IsAckDue(DWORD now) const;
    // As IsAckDue, whatever the time since the last acknowledgement.
    bool IsAckWanted() const;
    // An ACK or NAK was processed since the last call: send at once.
    bool TakeSendNow();
    // How long the worker waits for something to happen: a third of T × 10 ms.
    DWORD GetWaitTimeout() const;

    // Changes the rules; meant for before a link starts (the simulated
    // device switching between its own rules and the plain ones).
    void SetRules(const CLinkRules& rules) { m_rules = rules; }
    // Device: the six parameter bytes it answers a connect request with.
    void SetOfferedParameters(const BYTE parameters[6]);

    // The state, for the device's driver and for tests.
    ERole GetRole() const { return m_role; }
    const CLinkRules& GetRules() const { return m_rules; }
    // (safePlainSend) The peer repeated an ACK, so it runs this engine's
    // rules: the sender has left the plain-safe rules for this link.
    bool IsPeerOnEngine() const { return m_peerOnEngine; }
    bool IsLinked() const { return m_linked; }
    BYTE GetWindow() const { return m_window; }
    BYTE GetTimerUnit() const { return m_timerUnit; }
    DWORD GetRxNext() const { return m_rxNext; }
    DWORD GetTxNext() const { return m_txNext; }
    DWORD GetRxSinceAck() const { return m_rxSinceAck; }
    // The absolute number the last ACK or NAK named (0: none yet).
    DWORD GetLastAcknowledged() const { return m_lastAck; }
    // The sender's adaptive time-out in ms (fast recovery), 0 before a sample.
    DWORD GetRetransmitTimeout() const { return m_rto; }
    DWORD GetGapSince() const { return m_gapSince; }
    size_t GetSendWindowCount() const { return m_sendWindow.size(); }
    size_t GetReorderCount() const { return m_reorder.size(); }
    // Frames the sender may have unacknowledged at once.
    DWORD GetSendLimit() const;
    // Frames sent and not acknowledged that a receiver on the default rules
    // can take without a late copy passing for a frame a modulus ahead:
    // W less what it takes beyond its last ACK in any order (20 of 32).
    DWORD GetMostOutstanding() const;
    // Frames beyond the last acknowledged one that the receive window takes
    // in any order (more only in order).
    DWORD GetPeerLimit() const;
    // In-order frames after which the receiver acknowledges.
    DWORD GetAckThreshold() const;

    // Counters, for tests and benchmarks.
    struct CCounters {
        DWORD framesWritten;
        DWORD dataFrames;         // frames with a payload, first sends and resends
        DWORD resentFrames;       // payload frames sent again (time-out or NAK)
        DWORD timeouts;           // send phases that found the window timed out
        DWORD acksSent;
        DWORD naksSent;
        DWORD duplicates;         // payloads received outside the receive window
        DWORD unmatchedAcks;      // ACKs or NAKs that matched no window entry
        DWORD earlyResends;       // lowest frames resent after the adaptive time-out
        DWORD repeatedAcks;       // ACKs that repeated the last number for a lost one
        DWORD probes;             // new frames sent to learn what an unanswered window did
        DWORD unplaced;           // frames or copies the receiver could not place and dropped
    };
    const CCounters& GetCounters() const { return m_counters; }

private:
    struct CEntry {
        DWORD sentAt;     // 0: not sent yet, or to be sent again at once
        DWORD firstSent;  // when it first went out, for round-trip samples
        DWORD lastSent;   // when it last went out
        BYTE sends;       // how often it went out
        BYTE size;
        BYTE payload[link::maxPayload];
    };

    void Reset();
    void ReceiveControl(const BYTE* frame, DWORD size, DWORD now, DWORD arrived);
    void ReceivePayload(BYTE sequence, const BYTE* payload, DWORD size, DWORD now, DWORD arrived);
    // Frames of the last pass that lie beyond the peer's in-flight limit:
    // kept if they continue the highest frame seen, else dropped as copies.
    void SettleBeyond(DWORD now);
    void SampleRoundTrip(DWORD sample);
    // The ACK or NAK byte the send phase puts in its first frame, or 0.
    BYTE ChooseAcknowledgement(DWORD now);
    void ReceiveAcknowledgement(bool nak, BYTE number, DWORD now, DWORD arrived);
    // The absolute number of a sequence number, the first at or after rxNext.
    DWORD Unwrap(BYTE sequence) const;
    // (safePlainSend) How old, when an ACK arrives, the frame after the one
    // it names must be for the ACK to prove that frame lost.
    DWORD LossAge() const;
    // (safePlain) Whether a payload numbered number is taken.
    bool PlacePlain(DWORD number, bool resent, const BYTE* payload, DWORD size, DWORD now, DWORD arrived);
    // The number the newest of our ACKs and NAKs sent at or before when named (0: none).
    DWORD AckedBefore(DWORD when) const;
    // (safePlainReceive) Whether number comes right after the highest frame held.
    bool ContinuesStream(DWORD number) const;
    // (safePlainReceive) Whether a recent NAK of ours named a number below alias.
    bool NakInQuestion(DWORD alias, DWORD now) const;
    void ReceiveAcknowledgementPlain(bool nak, BYTE number, DWORD now, DWORD arrived);
    void SendPhasePlain(DWORD now);
    // The send side follows safePlainSend: asked for, and the peer has not
    // shown that it runs this engine's rules.
    bool SendsPlainSafe() const {
        return m_rules.safePlainSend && !(m_peerOnEngine && m_txNext - SendBase() <= GetMostOutstanding());
    }
    // The lowest number not yet acknowledged.
    DWORD SendBase() const { return m_sendWindow.empty() ? m_txNext : m_sendWindow.begin()->first; }
    void WriteData(DWORD number, CEntry& entry, BYTE acknowledgement, bool flag, DWORD now);
    void FillWindow(DWORD now);
    void WriteControl(const BYTE* frame, DWORD size);
    // T × 10 ms, at least 10 ms: a timer unit of 0 would resend on every pass.
    DWORD TimerSpan() const;
    // (safePlainReceive) The least time between two acknowledgements, T / 4
    // ms, and whether it has passed: see CLinkRules::safePlainReceive.
    DWORD AckSpacing() const;
    bool IsAckSpaced(DWORD now) const;
    // (safePlainReceive) While the device is not known to run this engine:
    // the receiver leaves the newest frame out of its ACKs while frames flow
    // and NAKs a gap T / 4 ms after it appears, naming that frame.
    bool NaksEarly() const { return m_rules.safePlainReceive && !m_peerOnEngine; }
    // (Plain rules, sender) No ACK or NAK names a frame that first went less
    // than this long before it arrived.
    DWORD AckFloor() const;
    // A tick that is never 0, which marks "not sent" and "no gap": at the
    // wrap of the tick count, the millisecond before (never one ahead, which
    // would read as 49 days old).
    static DWORD Stamp(DWORD now) { return now ? now : now - 1; }

    ERole m_role;
    ILinkIO& m_io;
    CLinkRules m_rules;
    BYTE m_offered[6];

    BYTE m_window;
    BYTE m_timerUnit;
    bool m_linked;
    DWORD m_rxNext;
    DWORD m_txNext;
    DWORD m_gapSince;
    DWORD m_gapOpened;  // when the gap at rxNext was first found, 0: none
    DWORD m_rxSinceAck;
    bool m_ackOwed;   // a copy of a delivered frame asks for the last ACK again
    bool m_copySeen;  // a copy of a delivered frame came in since the last ACK
    bool m_sendNow;
    bool m_peerOnEngine;  // see IsPeerOnEngine
    // The newest copy sent to such a peer while more than GetMostOutstanding
    // frames were, and when (0: none on its way).
    DWORD m_riskyCopy, m_riskyCopyAt;
    // ACKs that named nothing in flight, and time-outs, since one named a frame.
    DWORD m_unmatchedSinceProgress, m_timeoutsSinceProgress;
    DWORD m_lastAck;    // absolute number the last ACK or NAK named
    DWORD m_lastAckAt;  // when it went out, 0: never
    DWORD m_passAt;     // the time of the last delivery step or send phase
    DWORD m_rxHighest;  // highest absolute number received and kept
    DWORD m_lastDataAt; // when a payload last arrived in order
    DWORD m_srtt, m_rttvar, m_rto, m_backoff;  // adaptive time-out, ms
    struct CBeyond {
        bool resent;
        std::vector<BYTE> payload;
    };
    std::map<DWORD, CBeyond> m_beyond;
    // (safePlain) Receiver: the last W payloads delivered, by number modulo
    // W; the numbers our ACKs and NAKs named that the device may not have
    // had; the highest one it must have had; our ACKs and NAKs of the last
    // 2 x T x 10 ms and the newest before them, with when; since when the
    // next frame due was dropped as a possible copy (0: not).
    struct CDelivered {
        DWORD number;
        std::vector<BYTE> payload;
    };
    std::vector<CDelivered> m_delivered;
    std::vector<DWORD> m_acksSent;
    DWORD m_peerHas;
    DWORD m_peerHasAfterPass;
    struct CAckSent {
        DWORD number, at;
        bool nak;
    };
    std::deque<CAckSent> m_acksTimed;
    DWORD m_blockedSince;
    // Sender: frames sent again that the device may already have had (it
    // then files the copy a modulus ahead), each with txNext when it went
    // and whether a NAK showed the device had the frame; the highest recent
    // round trip from a first send to the ACK that named it.
    struct CCopy {
        DWORD frame;
        DWORD txNext;
        bool stale;
    };
    std::vector<CCopy> m_copies;
    DWORD m_roundTripHigh;
    // Port: when the connect request went, and the time from then until the
    // link parameters arrived (0: not yet).
    DWORD m_connectSentAt, m_linkRoundTrip;
    DWORD m_paramsSentAt;  // device: when the parameters last went out, 0 when confirmed
    std::map<DWORD, std::vector<BYTE>> m_reorder;
    std::map<DWORD, CEntry> m_sendWindow;
    std::vector<BYTE> m_fillBuffer;
    CCounters m_counters;
};

// What the worker's loop needs of the frame slots: take one slot's frame
// (under whatever lock guards the slots), answering its length or 0.
class ILinkSlots {
public:
    virtual ~ILinkSlots() {}
    // filedAt: the tick at which the frame arrived.
    virtual DWORD TakeSlot(DWORD slot, BYTE* frame, DWORD& filedAt) = 0;
};

// The port worker's loop between two waits, apart from the waiting itself,
// so that the port and the discrete-event model of the tests run the same
// steps: the port maps its WaitForMultipleObjects result to a wake-up, the
// model its simulated events.
class CLinkWorker {
public:
    enum EWake {
        wakeSendNow,  // the worker's own send-now event
        wakeFrame,    // the callback filed frames
        wakePending,  // the outgoing stream has bytes
        wakeTimeout,  // nothing happened for GetWaitTimeout ms
    };

    CLinkWorker(CLinkEngine& engine, ILinkSlots& slots) : m_engine(engine), m_slots(slots) {}

    // Starts the link: the connect request.
    void Start(DWORD now) { m_engine.Start(now); }
    // Does what one wake-up calls for; answers true when the send-now event
    // is to be set (an acknowledgement came in: send at once).
    bool OnWake(EWake wake, DWORD now);
    // The time limit of the next wait.
    DWORD GetWaitTimeout() const { return m_engine.GetWaitTimeout(); }

private:
    // Every filed frame to the engine: the shared slot first (link accepted
    // before the data behind it), then the data slots in index order.
    void ReceivePass(DWORD now);

    CLinkEngine& m_engine;
    ILinkSlots& m_slots;
};

}  // namespace corvane
