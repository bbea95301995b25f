#include "LinkEngine.h"

#include <basalt/Exceptions.h>

#include <algorithm>
#include <cstring>

namespace corvane {

namespace {

const wchar_t kFile[] = L"BluetoothSmart";
const wchar_t kWorker[] = L"corvane::CBluetoothSmartPort::ThreadProcFn";

bool IsControl(BYTE first) { return (first & link::controlBits) == link::controlBits; }

}  // namespace

// ---------------------------------------------------------------------------
// CFrameSlots

DWORD CFrameSlots::SlotOf(const BYTE* value, DWORD size) {
    // Control frames and bare acknowledgements share the last slot: a newer
    // one replacing an older one loses nothing, acknowledgements being
    // cumulative. A data frame that carries an ACK or NAK in byte 0 goes to
    // the slot of its sequence byte like any other: in the shared slot, the
    // next acknowledgement would overwrite its payload before the worker
    // took it, and the sender would have to resend it after a time-out.
    if (size < 2 || (value[0] & link::controlBits) == link::controlBits) return otherSlot;
    return value[1];
}

bool CFrameSlots::File(const BYTE* value, DWORD size) {
    if (!IsAllocated() || value == nullptr || size < 1 || size > link::maxFrame) return false;
    BYTE* slot = &m_slots[SlotOf(value, size) * slotSize];
    slot[0] = static_cast<BYTE>(size);
    std::memcpy(slot + 1, value, size);
    return true;
}

DWORD CFrameSlots::Take(DWORD index, BYTE* frame) {
    if (!IsAllocated() || index >= slotCount) return 0;
    BYTE* slot = &m_slots[index * slotSize];
    DWORD size = slot[0];
    if (size == 0) return 0;
    std::memcpy(frame, slot + 1, size);
    slot[0] = 0;
    return size;
}

// ---------------------------------------------------------------------------
// CLinkEngine

CLinkEngine::CLinkEngine(ERole role, ILinkIO& io, const CLinkRules& rules)
    : m_role(role), m_io(io), m_rules(rules), m_offered{0x00, 0x01, 0x10, 0x20, 0x50, 0xFF} {
    m_fillBuffer.resize(link::maxWindow * link::maxPayload);
    Reset();
}

void CLinkEngine::Start(DWORD now) {
    Reset();
    if (m_role == rolePort) {
        const BYTE request = link::connectRequest;
        WriteControl(&request, 1);
    }
}

void CLinkEngine::Reset() {
    m_window = link::initialWindow;
    m_timerUnit = link::initialTimerUnit;
    m_linked = false;
    m_rxNext = 1;
    m_txNext = 1;
    m_gapSince = 0;
    m_rxSinceAck = 0;
    m_ackOwed = false;
    m_sendNow = false;
    m_paramsSentAt = 0;
    m_reorder.clear();
    m_sendWindow.clear();
    m_counters = CCounters();
}

void CLinkEngine::SetOfferedParameters(const BYTE parameters[6]) {
    std::memcpy(m_offered, parameters, sizeof m_offered);
}

// A device may cap the timer unit at 0; the unit then counts as 1 (10 ms),
// or every send phase would count as a time-out and the worker would spin.
DWORD CLinkEngine::TimerSpan() const { return std::max<DWORD>(m_timerUnit, 1) * 10; }

DWORD CLinkEngine::GetWaitTimeout() const { return TimerSpan() / 3; }

DWORD CLinkEngine::GetSendLimit() const {
    // 3W/8 rather than W in flight: see CLinkRules::limitInFlight for the
    // aliasing of sequence numbers that a full window lets through.
    return m_rules.limitInFlight ? std::max<DWORD>(m_window * 3 / 8, 1) : m_window;
}

DWORD CLinkEngine::GetAckThreshold() const {
    // A third of what the sender may have in flight (4 of 12), not of W: the
    // sender waits on these acknowledgements to refill its smaller window.
    return m_rules.ackThirdOfFlight ? std::max<DWORD>(GetSendLimit() / 3, 1) : m_window / 3;
}

bool CLinkEngine::IsAckDue() const { return m_ackOwed || m_rxSinceAck >= GetAckThreshold(); }

bool CLinkEngine::TakeSendNow() {
    bool now = m_sendNow;
    m_sendNow = false;
    return now;
}

void CLinkEngine::WriteControl(const BYTE* frame, DWORD size) {
    m_io.WriteFrame(frame, size, true);
    ++m_counters.framesWritten;
}

// ---------------------------------------------------------------------------
// Receive phase

void CLinkEngine::Receive(const BYTE* frame, DWORD size, DWORD now) {
    if (frame == nullptr || size < 1 || size > link::maxFrame) return;
    if (IsControl(frame[0])) {
        ReceiveControl(frame, size, now);
        return;
    }
    if (!m_linked) return;  // data before the link is up belongs to no numbering yet

    BYTE kind = frame[0] & link::controlBits;
    if (size > 2) ReceivePayload(frame[1], frame + 2, size - 2);
    if (kind == link::ackKind || kind == link::nakKind)
        ReceiveAcknowledgement(kind == link::nakKind, frame[0] & link::numberMask, now);
}

void CLinkEngine::ReceiveControl(const BYTE* frame, DWORD size, DWORD now) {
    if (m_role == rolePort) {
        if (frame[0] == link::linkParameters && size == 7) {
            const BYTE* p = frame + 1;
            if (p[0] > 1 || p[1] < 1) throw basalt::CWinException(__LINE__, kFile, kWorker, ERROR_INTERNAL_ERROR);
            BYTE window = std::max(p[2], p[3]);
            // A window below 2 leaves a single sequence number, so a resent
            // frame could not be told from the next one (and 0 would divide
            // by zero): no link can be reliable on it.
            if (window < 2) throw basalt::CWinException(__LINE__, kFile, kWorker, ERROR_INTERNAL_ERROR);
            // Above 32 the sequence number collides with the resend flag 0x20
            // (and above 64 the 6-bit ACK number stops naming a frame). The
            // device learns the window from the confirm, so offering it a
            // smaller one than it allows is safe, where refusing would leave
            // the device unusable.
            m_window = std::min(window, link::maxWindow);
            m_timerUnit = std::min(std::max<BYTE>(100, p[4]), p[5]);
            const BYTE confirm[4] = {link::linkConfirm, 0x01, m_window, m_timerUnit};
            WriteControl(confirm, sizeof confirm);
        } else if (frame[0] == link::linkAccepted && size == 1) {
            m_linked = true;
            m_sendNow = true;  // bytes queued while unlinked go out now, not at the next time-out
        } else if (frame[0] == link::linkAbort && size == 1) {
            throw basalt::CWinException(__LINE__, kFile, kWorker, ERROR_INTERNAL_ERROR);
        }
        return;
    }

    // The device: a connect request starts a new link (the port numbers from 1
    // again after every Open); a confirm names the window and timer to use.
    if (frame[0] == link::connectRequest && size == 1) {
        Reset();
        BYTE parameters[7] = {link::linkParameters};
        std::memcpy(parameters + 1, m_offered, sizeof m_offered);
        WriteControl(parameters, sizeof parameters);
        m_paramsSentAt = Stamp(now);
    } else if (frame[0] == link::linkConfirm && size == 4) {
        if (frame[1] != 0x01 || frame[2] < 2 || frame[2] > link::maxWindow) {
            const BYTE abort = link::linkAbort;
            WriteControl(&abort, 1);
            m_linked = false;
            m_paramsSentAt = 0;
            return;
        }
        if (!m_linked) {
            m_window = frame[2];
            m_timerUnit = frame[3];
        }
        m_paramsSentAt = 0;
        m_linked = true;
        const BYTE accepted = link::linkAccepted;
        WriteControl(&accepted, 1);
    }
}

DWORD CLinkEngine::Unwrap(BYTE sequence) const {
    DWORD q = m_rxNext / m_window;
    DWORD r = m_rxNext % m_window;
    return sequence >= r ? q * m_window + sequence : (q + 1) * m_window + sequence;
}

void CLinkEngine::ReceivePayload(BYTE sequence, const BYTE* payload, DWORD size) {
    // The resend flag marks a frame, it is not part of its number; with W at
    // most 32 the number never uses that bit.
    if (m_rules.stripResendFlag) sequence &= static_cast<BYTE>(~link::resendFlag);
    DWORD number = Unwrap(sequence);
    if (m_rules.rejectOutsideWindow) {
        // A new frame is never more than the sender's in-flight limit ahead
        // of rxNext; anything else is a copy of a frame already delivered
        // (its number unwraps a whole modulus too far). Storing it would
        // deliver it in place of the real frame later. The sender evidently
        // missed our ACK: send a fresh one.
        if (sequence >= m_window || number - m_rxNext >= GetSendLimit()) {
            ++m_counters.duplicates;
            m_ackOwed = true;
            return;
        }
    }
    m_reorder[number].assign(payload, payload + size);
}

void CLinkEngine::ReceiveAcknowledgement(bool nak, BYTE number, DWORD now) {
    auto match = m_sendWindow.end();
    for (auto entry = m_sendWindow.begin(); entry != m_sendWindow.end(); ++entry)
        if (entry->first % m_window == number) {
            match = entry;
            break;
        }

    if (match == m_sendWindow.end()) ++m_counters.unmatchedAcks;
    if (match != m_sendWindow.end()) {
        m_sendWindow.erase(m_sendWindow.begin(), std::next(match));
    } else if (!m_rules.keepUnmatched) {
        m_sendWindow.clear();
    }
    // (keepUnmatched) A number that names no frame in flight acknowledges
    // nothing new: a NAK repeats the last ACK's number, a late ACK an older
    // one. Emptying the window for it would throw away frames the receiver
    // never got.

    if (nak) {
        // Everything still unacknowledged goes out again at once.
        for (auto& entry : m_sendWindow) entry.second.sentAt = 0;
    } else if (match != m_sendWindow.end() || !m_rules.keepUnmatched) {
        // The device is alive and taking frames: restart the resend timer. A
        // stale or repeated ACK says nothing about the frames still in flight
        // and must not put their resend off.
        for (auto& entry : m_sendWindow) entry.second.sentAt = Stamp(now);
    }
    m_sendNow = true;
}

// ---------------------------------------------------------------------------
// Delivery step

void CLinkEngine::Deliver(DWORD now) {
    while (!m_reorder.empty()) {
        auto lowest = m_reorder.begin();
        if (lowest->first == m_rxNext) {
            const std::vector<BYTE>& payload = lowest->second;
            m_io.Deliver(payload.data(), static_cast<DWORD>(payload.size()));
            ++m_rxNext;
            ++m_rxSinceAck;
            m_gapSince = 0;
            m_reorder.erase(lowest);
        } else if (lowest->first < m_rxNext) {
            m_reorder.erase(lowest);
        } else {
            m_gapSince = Stamp(now);
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// Send phase

void CLinkEngine::FillWindow() {
    DWORD limit = GetSendLimit();
    if (m_sendWindow.size() >= limit) return;
    DWORD room = static_cast<DWORD>(limit - m_sendWindow.size()) * link::maxPayload;
    DWORD taken = m_io.TakeOutgoing(m_fillBuffer.data(), std::min<DWORD>(room, m_fillBuffer.size()));
    for (DWORD offset = 0; offset < taken; offset += link::maxPayload) {
        CEntry& entry = m_sendWindow[m_txNext++];
        entry.sentAt = 0;
        entry.sent = false;
        entry.size = static_cast<BYTE>(std::min<DWORD>(taken - offset, link::maxPayload));
        std::memcpy(entry.payload, &m_fillBuffer[offset], entry.size);
    }
}

void CLinkEngine::SendPhase(DWORD now) {
    if (!m_linked) {
        // The device repeats its parameters until the port confirms them.
        if (m_role == roleDevice && m_paramsSentAt != 0 && now - m_paramsSentAt >= TimerSpan()) {
            BYTE parameters[7] = {link::linkParameters};
            std::memcpy(parameters + 1, m_offered, sizeof m_offered);
            WriteControl(parameters, sizeof parameters);
            m_paramsSentAt = Stamp(now);
        }
        return;
    }

    FillWindow();

    auto start = m_sendWindow.end();
    if (!m_sendWindow.empty()) {
        if (now - m_sendWindow.begin()->second.sentAt >= TimerSpan()) {
            start = m_sendWindow.begin();
            if (m_sendWindow.begin()->second.sentAt != 0) ++m_counters.timeouts;
        } else {
            start = std::find_if(m_sendWindow.begin(), m_sendWindow.end(),
                                 [](const std::pair<const DWORD, CEntry>& e) { return e.second.sentAt == 0; });
        }
    }

    BYTE acknowledgement = 0;
    if (m_gapSince != 0 && now - m_gapSince > TimerSpan()) {
        acknowledgement = link::nakKind;
        m_gapSince = 0;
        ++m_counters.naksSent;
    } else if (m_rxSinceAck != 0 || m_ackOwed) {
        acknowledgement = link::ackKind;
        ++m_counters.acksSent;
    }
    if (acknowledgement != 0)
        acknowledgement |= static_cast<BYTE>(((m_rxNext - 1) % m_window) & link::numberMask);
    m_rxSinceAck = 0;
    m_ackOwed = false;

    // The acknowledgement rides in the first frame of the burst only.
    BYTE frame[link::maxFrame];
    while (acknowledgement != 0 || start != m_sendWindow.end()) {
        frame[0] = acknowledgement;
        acknowledgement = 0;
        DWORD size = 1;
        if (start != m_sendWindow.end()) {
            CEntry& entry = start->second;
            frame[1] = static_cast<BYTE>(start->first % m_window);
            if (entry.sentAt != 0) frame[1] |= link::resendFlag;
            std::memcpy(frame + 2, entry.payload, entry.size);
            size = 2 + entry.size;
            ++m_counters.dataFrames;
            if (entry.sent) ++m_counters.resentFrames;
            entry.sent = true;
            entry.sentAt = Stamp(now);
            ++start;
        }
        m_io.WriteFrame(frame, size, false);
        ++m_counters.framesWritten;
    }
}

}  // namespace corvane
