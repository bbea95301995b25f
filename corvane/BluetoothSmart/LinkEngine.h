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
//               a resend after a timeout); bytes 2.. = 1 to 18 payload bytes.
//
// A port drives the engine from its worker:
//   Start(now);                                  connect request
//   frames filed:  Receive(frame) for each, then Deliver(now),
//                  then SendPhase(now) if IsAckDue()
//   send-now, data queued, time-out (GetWaitTimeout):  SendPhase(now)
//   TakeSendNow() after Receive: wake at once for a send phase.
#include <basalt/Config.h>

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

// Which of the link rules the engine applies where the plain rules lose or
// corrupt data. The port and the simulated device run Reliable(); the tests
// run Literal() and each change alone to show the fault it prevents.
//
// The sequence number is the absolute number modulo W (at most 32), so an
// acknowledgement or a data frame that arrives late names a frame a whole
// modulus away from the one it was sent for. The changes keep every number
// in use far enough from its aliases that a channel reordering frames by a
// few places cannot bring one into play.
struct CLinkRules {
    // The sender keeps at most 3W / 8 frames unacknowledged (12 of 32), not
    // W: with W in flight an ACK of "nothing new" and one of "everything"
    // carry the same number. With 12, a late ACK has to lag 20 numbers
    // behind one that overtook it before its number names a frame of the
    // window, and a late copy of a data frame is never taken for a new one
    // unless 20 newer frames overtook it.
    bool limitInFlight;
    // An ACK or NAK whose number matches no frame in the send window removes
    // nothing and restarts no timer (a NAK still sends the window again),
    // instead of emptying the window: a NAK nearly always repeats the last
    // ACK's number.
    bool keepUnmatched;
    // The receiver reads the sequence number without the resend flag 0x20,
    // which is not part of it (W is at most 32, so a number never has it).
    bool stripResendFlag;
    // The receiver keeps only payloads numbered below rxNext plus the
    // in-flight limit and answers anything else, a late copy of a frame it
    // delivered, with a fresh ACK instead of keeping it as the frame a
    // modulus ahead.
    bool rejectOutsideWindow;
    // The receiver acknowledges after a third of the frames in flight (4)
    // rather than a third of W (10), which would keep the sender waiting on
    // most of its smaller window.
    bool ackThirdOfFlight;

    static CLinkRules Literal() { return CLinkRules{false, false, false, false, false}; }
    static CLinkRules Reliable() { return CLinkRules{true, true, true, true, true}; }
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
// that filing from the stack's thread costs a copy. No lock: the owner holds one.
class CFrameSlots {
public:
    static const DWORD slotCount = 257;
    static const DWORD otherSlot = 256;
    static const DWORD slotSize = 1 + link::maxFrame;  // length byte, then the frame

    void Allocate() { m_slots.assign(slotCount * slotSize, 0); }
    void Free() { std::vector<BYTE>().swap(m_slots); }
    bool IsAllocated() const { return !m_slots.empty(); }

    // The slot a value goes to, for a value of 1 to 20 bytes.
    static DWORD SlotOf(const BYTE* value, DWORD size);
    // The slot a receive pass takes at its position-th step (0 to 256): the
    // last slot first, then the data slots in index order. A device sends
    // link accepted and then its first data frames, which often land in the
    // same pass; taken in plain index order they would come before the link
    // is up, be dropped and wait for a resend after a time-out.
    static DWORD SlotAt(DWORD position) { return position == 0 ? otherSlot : position - 1; }
    // Files a value of 1 to 20 bytes; false (nothing filed) for any other size
    // or while the slots are not allocated.
    bool File(const BYTE* value, DWORD size);
    // Copies the frame of one slot into frame (maxFrame bytes) and empties the
    // slot; answers its length, 0 when the slot was empty.
    DWORD Take(DWORD slot, BYTE* frame);

private:
    std::vector<BYTE> m_slots;
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

    // The receive phase for one frame. Port: invalid link parameters and a
    // link abort throw CWinException 1359 ("corvane::CBluetoothSmartPort::ThreadProcFn").
    void Receive(const BYTE* frame, DWORD size, DWORD now);
    // Hands the payloads that continue the stream to ILinkIO::Deliver.
    void Deliver(DWORD now);
    // Fills the send window from the queue and writes what is due: unsent
    // frames (after a time-out: the whole window) and at most one ACK or NAK.
    void SendPhase(DWORD now);

    // After a receive pass: enough frames arrived in order, or a copy of a
    // delivered frame came in, for an acknowledgement to go out now.
    bool IsAckDue() const;
    // An ACK or NAK was processed since the last call: send at once.
    bool TakeSendNow();
    // How long the worker waits for something to happen: a third of T × 10 ms.
    DWORD GetWaitTimeout() const;

    // Device: the six parameter bytes it answers a connect request with.
    void SetOfferedParameters(const BYTE parameters[6]);

    // The state, for the device's driver and for tests.
    ERole GetRole() const { return m_role; }
    const CLinkRules& GetRules() const { return m_rules; }
    bool IsLinked() const { return m_linked; }
    BYTE GetWindow() const { return m_window; }
    BYTE GetTimerUnit() const { return m_timerUnit; }
    DWORD GetRxNext() const { return m_rxNext; }
    DWORD GetTxNext() const { return m_txNext; }
    DWORD GetRxSinceAck() const { return m_rxSinceAck; }
    DWORD GetGapSince() const { return m_gapSince; }
    size_t GetSendWindowCount() const { return m_sendWindow.size(); }
    size_t GetReorderCount() const { return m_reorder.size(); }
    // Frames the sender may have unacknowledged at once.
    DWORD GetSendLimit() const;
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
    };
    const CCounters& GetCounters() const { return m_counters; }

private:
    struct CEntry {
        DWORD sentAt;  // 0: not sent yet, or to be sent again at once
        bool sent;     // went out at least once (for the counters)
        BYTE size;
        BYTE payload[link::maxPayload];
    };

    void Reset();
    void ReceiveControl(const BYTE* frame, DWORD size, DWORD now);
    void ReceivePayload(BYTE sequence, const BYTE* payload, DWORD size);
    void ReceiveAcknowledgement(bool nak, BYTE number, DWORD now);
    // The absolute number of a sequence number, the first at or after rxNext.
    DWORD Unwrap(BYTE sequence) const;
    void FillWindow();
    void WriteControl(const BYTE* frame, DWORD size);
    // T × 10 ms, at least 10 ms: a timer unit of 0 would resend on every pass.
    DWORD TimerSpan() const;
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
    DWORD m_rxSinceAck;
    bool m_ackOwed;   // a copy of a delivered frame asks for a fresh ACK
    bool m_sendNow;
    DWORD m_paramsSentAt;  // device: when the parameters last went out, 0 when confirmed
    std::map<DWORD, std::vector<BYTE>> m_reorder;
    std::map<DWORD, CEntry> m_sendWindow;
    std::vector<BYTE> m_fillBuffer;
    CCounters m_counters;
};

}  // namespace corvane
