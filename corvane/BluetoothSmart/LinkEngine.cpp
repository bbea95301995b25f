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

bool CFrameSlots::File(const BYTE* value, DWORD size, DWORD now) {
    if (!IsAllocated() || value == nullptr || size < 1 || size > link::maxFrame) return false;
    DWORD index = SlotOf(value, size);
    BYTE* slot = &m_slots[index * slotSize];
    slot[0] = static_cast<BYTE>(size);
    std::memcpy(slot + 1, value, size);
    m_filedAt[index] = now;
    return true;
}

DWORD CFrameSlots::Take(DWORD index, BYTE* frame, DWORD& filedAt) {
    if (!IsAllocated() || index >= slotCount) return 0;
    BYTE* slot = &m_slots[index * slotSize];
    DWORD size = slot[0];
    if (size == 0) return 0;
    std::memcpy(frame, slot + 1, size);
    slot[0] = 0;
    filedAt = m_filedAt[index];
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
        m_connectSentAt = Stamp(now);
    }
}

void CLinkEngine::Reset() {
    m_window = link::initialWindow;
    m_timerUnit = link::initialTimerUnit;
    m_linked = false;
    m_rxNext = 1;
    m_txNext = 1;
    m_gapSince = 0;
    m_gapOpened = 0;
    m_rxSinceAck = 0;
    m_ackOwed = false;
    m_copySeen = false;
    m_sendNow = false;
    m_peerOnEngine = false;
    m_riskyCopy = m_riskyCopyAt = 0;
    m_unmatchedSinceProgress = m_timeoutsSinceProgress = 0;
    m_lastAck = 0;
    m_lastAckAt = 0;
    m_passAt = 0;
    m_rxHighest = 0;
    m_lastDataAt = 0;
    m_srtt = m_rttvar = m_rto = 0;
    m_backoff = 1;
    m_paramsSentAt = 0;
    m_reorder.clear();
    m_beyond.clear();
    m_delivered.assign(link::maxWindow, CDelivered{0, {}});
    m_acksSent.clear();
    m_acksTimed.clear();
    m_peerHas = 0;
    m_peerHasAfterPass = 0;
    m_blockedSince = 0;
    m_copies.clear();
    m_roundTripHigh = 0;
    m_connectSentAt = 0;
    m_linkRoundTrip = 0;
    m_sendWindow.clear();
    m_counters = CCounters();
}

void CLinkEngine::SetOfferedParameters(const BYTE parameters[6]) {
    std::memcpy(m_offered, parameters, sizeof m_offered);
}

// A device may cap the timer unit at 0; the unit then counts as 1 (10 ms),
// or every send phase would count as a time-out and the worker would spin.
DWORD CLinkEngine::TimerSpan() const { return std::max<DWORD>(m_timerUnit, 1) * 10; }

DWORD CLinkEngine::GetWaitTimeout() const {
    DWORD timeout = TimerSpan() / 3;
    if (NaksEarly() && IsAckWanted()) {
        // An acknowledgement held back by the spacing goes when it ends, and
        // a gap is NAKed T / 4 ms after it appeared.
        auto left = [&](DWORD since) { return since < AckSpacing() ? AckSpacing() - since : 0; };
        DWORD wait = m_lastAckAt != 0 ? left(m_passAt - m_lastAckAt) : 0;
        if (m_gapOpened != 0 && m_rxNext - 1 > m_lastAck) wait = std::max(wait, left(m_passAt - m_gapOpened));
        if (wait != 0) timeout = std::min(timeout, wait);
    }
    // The adaptive time-out has to be looked at sooner than a third of T.
    if (m_rules.fastRecovery && m_rto && !m_sendWindow.empty())
        timeout = std::min(timeout, std::max<DWORD>(m_rto * m_backoff / 2, 5));
    return timeout;
}

DWORD CLinkEngine::GetSendLimit() const {
    // 3W/8 or, with fast recovery, W/4 rather than W in flight: see
    // CLinkRules::limitInFlight.
    if (!m_rules.limitInFlight) return m_window;
    // Three quarters of W (24 of 32): the plain device acknowledges after a
    // third of W, so that many keep it busy between ACKs, and the rest, up
    // to W - 1, is room for probes.
    if (m_rules.safePlainSend && !m_peerOnEngine)
        return std::max<DWORD>(std::min<DWORD>(m_window * 3 / 4, m_window - 1), 1);
    return std::max<DWORD>(m_rules.fastRecovery ? m_window / 4 : m_window * 3 / 8, 1);
}

DWORD CLinkEngine::GetMostOutstanding() const {
    return std::max<DWORD>(m_window - std::max<DWORD>(m_window * 3 / 8, 1), 1);
}

DWORD CLinkEngine::GetPeerLimit() const {
    // What a peer on these rules may have in flight, which the receive
    // window takes in any order: 3W/8 (12 of 32), or W/4 with fast
    // recovery. A peer that sends more (a plain device, or this engine in
    // its default rules against one with fast recovery) has the rest taken
    // only in order; see CLinkRules::guardReceiveWindow.
    return std::max<DWORD>(m_rules.fastRecovery ? m_window / 4 : m_window * 3 / 8, 1);
}

DWORD CLinkEngine::GetAckThreshold() const {
    // A third of what the peer may have in flight (4 of 12, 2 of 8), not of
    // W: the peer waits on these acknowledgements to refill its window.
    return m_rules.ackThirdOfFlight ? std::max<DWORD>(GetPeerLimit() / 3, 1) : m_window / 3;
}

DWORD CLinkEngine::AckFloor() const {
    // Half the round trip of the handshake, which took a frame each way, but
    // no more than T / 4 ms, in case the device was slow to answer it.
    return std::min(m_linkRoundTrip / 2, AckSpacing());
}

DWORD CLinkEngine::AckSpacing() const { return std::max<DWORD>(TimerSpan() / 40, 1); }

bool CLinkEngine::IsAckSpaced(DWORD now) const {
    return !NaksEarly() || m_lastAckAt == 0 || now - m_lastAckAt >= AckSpacing();
}

bool CLinkEngine::IsAckDue(DWORD now) const { return IsAckWanted() && IsAckSpaced(now); }

bool CLinkEngine::IsAckWanted() const {
    if (m_rxSinceAck >= GetAckThreshold()) return true;
    if (!m_rules.forwardAcks) return false;
    // A gap, or a copy of a frame we hold, while the last frame received in
    // order is not acknowledged yet: the peer is waiting on that ACK (with
    // fast recovery, a NAK) to send what is missing. A forward ACK is safe.
    if ((m_gapSince != 0 || m_copySeen) && m_rxNext - 1 > m_lastAck) return true;
    return m_ackOwed;
}

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

void CLinkEngine::Receive(const BYTE* frame, DWORD size, DWORD now, DWORD arrived) {
    if (frame == nullptr || size < 1 || size > link::maxFrame) return;
    if (IsControl(frame[0])) {
        ReceiveControl(frame, size, now, arrived);
        return;
    }
    if (!m_linked) return;  // data before the link is up belongs to no numbering yet

    BYTE kind = frame[0] & link::controlBits;
    if (size > 2) ReceivePayload(frame[1], frame + 2, size - 2, now, arrived);
    if (kind == link::ackKind || kind == link::nakKind)
        ReceiveAcknowledgement(kind == link::nakKind, frame[0] & link::numberMask, now, arrived);
}

void CLinkEngine::ReceiveControl(const BYTE* frame, DWORD size, DWORD now, DWORD arrived) {
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
            if (m_linkRoundTrip == 0 && m_connectSentAt != 0)
                m_linkRoundTrip = std::max<DWORD>(arrived - m_connectSentAt, 1);
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

void CLinkEngine::ReceivePayload(BYTE sequence, const BYTE* payload, DWORD size, DWORD now, DWORD arrived) {
    bool resent = (sequence & link::resendFlag) != 0;
    if (m_rules.safePlainReceive) {
        sequence &= static_cast<BYTE>(~link::resendFlag);
        if (sequence >= m_window) {
            ++m_counters.unplaced;
            return;
        }
        DWORD number = Unwrap(sequence);
        if (PlacePlain(number, resent, payload, size, now, arrived)) m_reorder[number].assign(payload, payload + size);
        return;
    }
    // The resend flag marks a frame, it is not part of its number; with W at
    // most 32 the number never uses that bit.
    if (m_rules.stripResendFlag) sequence &= static_cast<BYTE>(~link::resendFlag);
    DWORD number = Unwrap(sequence);
    if (m_rules.guardReceiveWindow) {
        if (sequence >= m_window) {
            ++m_counters.duplicates;
            return;
        }
        // A peer on this engine's rules has at most the in-flight limit
        // (12, or 8 with fast recovery on both ends) beyond what we last
        // acknowledged, for it cannot know of anything later.
        if (number - m_lastAck > GetPeerLimit()) {
            // A plain device sends up to W at once: its frames come in order,
            // each right after the highest one, which a late copy never is.
            // Settled once the whole pass is in, since slots are taken in
            // index order, not in order of arrival.
            auto found = m_beyond.find(number);
            if (found == m_beyond.end()) found = m_beyond.emplace(number, CBeyond{resent, {}}).first;
            found->second.resent = found->second.resent && resent;  // a first send outweighs a copy
            found->second.payload.assign(payload, payload + size);
            return;
        }
        m_rxHighest = std::max(m_rxHighest, number);
    }
    m_reorder[number].assign(payload, payload + size);
}

bool CLinkEngine::ContinuesStream(DWORD number) const {
    // Right after the highest frame held or delivered: a plain device sends
    // its frames in order, the first time.
    DWORD highest = m_reorder.empty() ? m_rxNext - 1 : std::max(m_rxNext - 1, m_reorder.rbegin()->first);
    return number == highest + 1;
}

DWORD CLinkEngine::AckedBefore(DWORD when) const {
    for (auto ack = m_acksTimed.rbegin(); ack != m_acksTimed.rend(); ++ack)
        if (static_cast<LONG>(when - ack->at) >= 0) return ack->number;
    return 0;
}

bool CLinkEngine::NakInQuestion(DWORD alias, DWORD now) const {
    // A plain device answers a NAK at once; its frames arrive within a round
    // trip, which the plain rules need well under T x 10 ms. Newest first,
    // so that a frame looks at the last T x 10 ms only.
    for (auto ack = m_acksTimed.rbegin(); ack != m_acksTimed.rend() && now - ack->at <= TimerSpan(); ++ack)
        if (ack->nak && ack->number < alias) return true;
    return false;
}

bool CLinkEngine::PlacePlain(DWORD number, bool resent, const BYTE* payload, DWORD size, DWORD now, DWORD arrived) {
    // The device sends nothing beyond W past the last number we named: this
    // is a copy of a frame delivered a modulus before.
    if (number > m_lastAck + m_window) {
        ++m_counters.unplaced;
        m_copySeen = true;
        return false;
    }
    if (number > m_window) {
        DWORD alias = number - m_window;
        // A device holds alias only if it may have missed our ACKs from alias
        // on; then this may be its copy (resent, or one the channel doubled),
        // and a copy has the payload delivered under alias. A frame resent
        // after a time-out may also be a copy from before those ACKs, that a
        // reordering channel held back: a plain device resends T x 10 ms
        // after the last ACK it had at the soonest, so one that arrives
        // sooner went out before our later ACKs reached it, from a window
        // that ended W after the last ACK sent T x 10 ms before it arrived.
        bool beforeOurAcks = resent && number > AckedBefore(arrived - TimerSpan()) + m_window;
        if (alias > m_peerHas || beforeOurAcks || NakInQuestion(alias, now)) {
            const CDelivered& delivered = m_delivered[alias % m_window];
            bool same = delivered.number == alias && delivered.payload.size() == size &&
                        std::equal(payload, payload + size, delivered.payload.begin());
            // A first send that continues the stream where it stands is the
            // frame it says, even with the payload of the one a modulus
            // before (a stream that repeats itself), unless the device may
            // be answering a NAK of ours that named a number below alias:
            // then it sends again, unmarked, what we may have since had.
            bool fresh = !resent && same && ContinuesStream(number) && !NakInQuestion(alias, now);
            if ((same || delivered.number != alias) && !fresh) {
                // Dropped for good if it is the next frame due and nothing
                // else comes to fill its place: tell the client instead.
                if (number == m_rxNext) {
                    if (m_blockedSince == 0) m_blockedSince = Stamp(now);
                    else if (now - m_blockedSince > 6 * TimerSpan())
                        throw basalt::CWinException(__LINE__, kFile, kWorker, ERROR_INVALID_DATA);
                }
                ++m_counters.unplaced;
                m_copySeen = true;
                // The device resent the very frame our last ACK named, T x 5
                // ms after that ACK, by when it had arrived if it was not
                // lost: the device still holds that frame, so naming it again
                // is safe, and nothing else would end its resending.
                if (same && resent && alias == m_lastAck && now - m_lastAckAt >= TimerSpan() / 2) m_ackOwed = true;
                return false;
            }
        }
        // The device sent this frame, so it had an ACK naming number - W or
        // later: the first of ours that did. Taken into account after the
        // pass: its slots are read in index order, not in order of arrival,
        // and a frame of the same pass may have left the device before.
        auto had = std::lower_bound(m_acksSent.begin(), m_acksSent.end(), alias);
        if (had != m_acksSent.end()) m_peerHasAfterPass = std::max(m_peerHasAfterPass, *had);
    }
    return true;
}

void CLinkEngine::SettleBeyond(DWORD now) {
    for (auto& entry : m_beyond) {
        if (entry.first == m_rxHighest + 1 && !entry.second.resent) {
            m_rxHighest = entry.first;
            m_reorder[entry.first].swap(entry.second.payload);
        } else {
            // A copy of a frame already delivered. Resent after a time-out
            // although our last ACK went out T x 5 ms ago, long enough to
            // have reached the peer: that ACK was lost, repeat it.
            ++m_counters.duplicates;
            m_copySeen = true;
            if (m_rules.fastRecovery || (entry.second.resent && now - m_lastAckAt >= TimerSpan() / 2))
                m_ackOwed = true;
        }
    }
    m_beyond.clear();
}

void CLinkEngine::SampleRoundTrip(DWORD sample) {
    // Smoothed round trip and its mean deviation, gains 1/8 and 1/4.
    if (m_srtt == 0) {
        m_srtt = std::max<DWORD>(sample, 1);
        m_rttvar = sample / 2;
    } else {
        DWORD deviation = sample > m_srtt ? sample - m_srtt : m_srtt - sample;
        m_rttvar = (3 * m_rttvar + deviation) / 4;
        m_srtt = (7 * m_srtt + sample) / 8;
    }
    // Never below 10 ms (the tick's grain) nor above the plain time-out.
    m_rto = std::min(std::max<DWORD>(m_srtt + 4 * m_rttvar, 10), TimerSpan());
    m_backoff = 1;
}

void CLinkEngine::ReceiveAcknowledgementPlain(bool nak, BYTE number, DWORD now, DWORD arrived) {
    DWORD base = m_sendWindow.empty() ? m_txNext : m_sendWindow.begin()->first;
    DWORD acked = base - 1;
    // The one number at or after the last acknowledged frame that matches:
    // at most W - 1 frames are in flight.
    DWORD named = acked + (number + m_window - acked % m_window) % m_window;
    m_sendNow = true;
    if (named >= m_txNext) {
        ++m_counters.unmatchedAcks;  // names nothing sent: a late one
        return;
    }
    if (named != acked) {
        // Sooner after that frame first went than any round trip takes: an
        // older number, whose ACK frames sent since overtook (the device
        // ACKs up to every frame); read as the newer frame, it would drop
        // frames the device lacks, and newer ones would take their numbers.
        const CEntry& entry = m_sendWindow.find(named)->second;
        if (entry.firstSent != 0 && static_cast<LONG>(arrived - entry.firstSent) < static_cast<LONG>(AckFloor())) {
            ++m_counters.unmatchedAcks;
            return;
        }
    }
    if (!nak && named == acked && !m_sendWindow.empty() && m_sendWindow.begin()->second.sends != 0 &&
        !m_peerOnEngine) {
        // The same number again: only a peer on this engine's rules repeats
        // an ACK (for a copy, or for frames beyond what its receive window
        // takes, which it drops). It drops copies too, unless so many
        // frames are outstanding that a late one could pass for a frame a
        // modulus ahead: until they are fewer, frames go again only as
        // below, one at a time once the peer shows it lacks them.
        m_peerOnEngine = true;
        m_copies.clear();
        if (!SendsPlainSafe()) {
            // Then what is in flight goes again now, as after a NAK on the
            // default rules.
            for (auto& entry : m_sendWindow) entry.second.sentAt = 0;
            return;
        }
    }
    if (nak && !m_peerOnEngine) {
        // A plain device NAKs a gap only after T x 10 ms, and the gap at the
        // frame after named opened only once a later frame arrived, after
        // that frame first went out. A NAK much sooner than that comes from
        // a device on this engine's rules, which NAKs a gap at once.
        auto gap = m_sendWindow.find(named + 1);
        if (gap != m_sendWindow.end() && gap->second.firstSent != 0 &&
            static_cast<LONG>(arrived - gap->second.firstSent) < static_cast<LONG>(TimerSpan() / 2)) {
            m_peerOnEngine = true;
            m_copies.clear();
            if (!SendsPlainSafe()) {
                ReceiveAcknowledgement(nak, number, now, arrived);
                return;
            }
        }
    }
    if (named != acked) {
        // The device delivered the frames through named. An ACK of a third
        // of W at once is the one a plain device sends as the frame that
        // completes them arrives (others wait for its timer); if each went
        // once, the newest times the round trip, up to the ACK's arrival
        // (the worker may take it late). One sent again means the ACK waited
        // for a loss to be repaired.
        const CEntry& newest = m_sendWindow.find(named)->second;
        bool once = std::all_of(m_sendWindow.begin(), m_sendWindow.upper_bound(named),
                                [](const std::pair<const DWORD, CEntry>& e) { return e.second.sends == 1; });
        if (once && named - acked >= std::max<DWORD>(m_window / 3, 1)) {
            DWORD sample = arrived - newest.firstSent;
            if (static_cast<LONG>(sample) >= 0)
                m_roundTripHigh = sample >= m_roundTripHigh ? sample : m_roundTripHigh - (m_roundTripHigh - sample) / 16;
        }
        m_sendWindow.erase(m_sendWindow.begin(), m_sendWindow.upper_bound(named));
    }
    // A copy went only after T x 15 ms without an answer. If it filled a gap,
    // the device delivers and ACKs within a third of T x 10 ms; so an ACK
    // that names it, with nothing new sent since, shows it was needed. A NAK
    // that names it first shows the device had the frame already (it NAKs
    // only after T x 10 ms of gap): the copy waits a modulus ahead.
    for (auto copy = m_copies.begin(); copy != m_copies.end();) {
        if (named >= copy->frame && nak) copy->stale = true;
        if (named >= copy->frame && !nak && !copy->stale && copy->txNext == m_txNext)
            copy = m_copies.erase(copy);
        else
            ++copy;
    }
    if (m_sendWindow.empty()) return;
    // The device lacked the frame after named when it wrote this. A NAK
    // comes after T x 10 ms of gap, long after that frame went out; an ACK
    // proves it lost if it went out more than T x 2.5 ms before the ACK
    // arrived (the round trip is taken to be shorter). The arrival counts,
    // not when the worker got round to the ACK: a worker woken late would
    // take a frame still on its way for lost, and its copy would reach a
    // device that already had it, which files it a modulus ahead. Then it
    // goes again, and only it: the device may hold the frames after it and
    // delivers them as soon as it has it, so a copy of one of those arriving
    // later would be filed a modulus ahead.
    CEntry& next = m_sendWindow.begin()->second;
    // (A peer on this engine's rules answers every frame it cannot use with
    // a repeated ACK, so there the time since that frame last went counts,
    // not since its timer started again.)
    DWORD since = m_peerOnEngine ? next.lastSent : next.sentAt;
    bool lost = nak || (next.sentAt != 0 && static_cast<LONG>(arrived - since) > static_cast<LONG>(LossAge()));
    // The device is taking frames: the resend timer starts again for those
    // in flight (an entry marked to go out at once keeps its mark).
    if (named != acked)
        for (auto& entry : m_sendWindow)
            if (entry.second.sentAt != 0) entry.second.sentAt = Stamp(now);
    if (lost) next.sentAt = 0;
}

DWORD CLinkEngine::LossAge() const {
    // T x 2.5 ms, or half as much again as the longest recent round trip
    // where the link or the stack's thread is slower than that.
    return std::max<DWORD>(TimerSpan() / 4, m_roundTripHigh + m_roundTripHigh / 2);
}

void CLinkEngine::ReceiveAcknowledgement(bool nak, BYTE number, DWORD now, DWORD arrived) {
    if (SendsPlainSafe()) {
        ReceiveAcknowledgementPlain(nak, number, now, arrived);
        return;
    }
    auto match = m_sendWindow.end();
    for (auto entry = m_sendWindow.begin(); entry != m_sendWindow.end(); ++entry)
        if (entry->first % m_window == number) {
            match = entry;
            break;
        }

    if (match == m_sendWindow.end()) {
        ++m_counters.unmatchedAcks;
        if (!nak && !m_sendWindow.empty()) ++m_unmatchedSinceProgress;
    }
    if (match != m_sendWindow.end()) {
        m_unmatchedSinceProgress = m_timeoutsSinceProgress = 0;
        // Only frames sent once time the round trip: for one sent again, the
        // ACK may answer either copy, and an ACK that waited for a resent
        // frame before it measures the loss, not the link.
        bool once = true;
        for (auto entry = m_sendWindow.begin(); entry != std::next(match); ++entry) once = once && entry->second.sends == 1;
        if (once) SampleRoundTrip(now - match->second.firstSent);
        m_sendWindow.erase(m_sendWindow.begin(), std::next(match));
        m_backoff = 1;  // the frame that was resent is through
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
    m_passAt = now;
    SettleBeyond(now);
    if (m_peerHasAfterPass > m_peerHas) {
        m_peerHas = m_peerHasAfterPass;
        m_acksSent.erase(m_acksSent.begin(), std::lower_bound(m_acksSent.begin(), m_acksSent.end(), m_peerHas));
    }
    while (!m_reorder.empty()) {
        auto lowest = m_reorder.begin();
        if (lowest->first == m_rxNext) {
            const std::vector<BYTE>& payload = lowest->second;
            m_io.Deliver(payload.data(), static_cast<DWORD>(payload.size()));
            if (m_rules.safePlainReceive) {
                CDelivered& delivered = m_delivered[m_rxNext % m_window];
                delivered.number = m_rxNext;
                delivered.payload = payload;
            }
            ++m_rxNext;
            ++m_rxSinceAck;
            m_blockedSince = 0;
            m_gapSince = 0;
            m_gapOpened = 0;
            m_lastDataAt = Stamp(now);
            m_reorder.erase(lowest);
        } else if (lowest->first < m_rxNext) {
            m_reorder.erase(lowest);
        } else {
            m_gapSince = Stamp(now);
            if (m_gapOpened == 0) m_gapOpened = Stamp(now);
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// Send phase

void CLinkEngine::FillWindow(DWORD now) {
    DWORD limit = GetSendLimit();
    if (m_sendWindow.size() >= limit) return;
    DWORD room = static_cast<DWORD>(limit - m_sendWindow.size()) * link::maxPayload;
    if (m_riskyCopyAt != 0 && now - m_riskyCopyAt >= LossAge()) m_riskyCopyAt = 0;
    if (m_riskyCopyAt != 0) {
        // A copy sent while more were outstanding than the device's receive
        // window tells from copies may still be on its way, overtaken by
        // later frames: until it has surely arrived, no frame is numbered so
        // far beyond it that the device could take the copy for that one.
        DWORD end = m_riskyCopy + GetMostOutstanding();
        room = m_txNext >= end ? 0 : std::min<DWORD>(room, (end - m_txNext) * link::maxPayload);
        if (room == 0) return;
    }
    DWORD taken = m_io.TakeOutgoing(m_fillBuffer.data(), std::min<DWORD>(room, m_fillBuffer.size()));
    for (DWORD offset = 0; offset < taken; offset += link::maxPayload) {
        CEntry& entry = m_sendWindow[m_txNext++];
        entry.sentAt = 0;
        entry.firstSent = entry.lastSent = 0;
        entry.sends = 0;
        entry.size = static_cast<BYTE>(std::min<DWORD>(taken - offset, link::maxPayload));
        std::memcpy(entry.payload, &m_fillBuffer[offset], entry.size);
    }
}

BYTE CLinkEngine::ChooseAcknowledgement(DWORD now) {
    DWORD number = 0;
    BYTE kind = 0;
    if (!m_rules.forwardAcks) {
        if (m_gapSince != 0 && now - m_gapSince > TimerSpan()) {
            kind = link::nakKind;
            m_gapSince = 0;
        } else if (m_rxSinceAck != 0) {
            kind = link::ackKind;
        }
        number = m_rxNext - 1;
    } else if (!IsAckSpaced(now)) {
        // Too soon after the last one: wait, keeping what asks for it.
        return 0;
    } else {
        DWORD received = m_rxNext - 1;
        bool gapOld = m_gapSince != 0 && now - m_gapSince > TimerSpan();
        // Against a device not known to run this engine, the NAK waits T / 4
        // ms, by when a channel that reorders by up to 8 places has let the
        // missing frame through if it was only late.
        bool early = m_gapSince != 0 &&
                     (m_rules.fastRecovery || (NaksEarly() && now - m_gapOpened >= AckSpacing()));
        if ((gapOld || early) && received > m_lastAck) {
            // Names a frame the peer still holds: it removes the frames
            // before and sends the rest again at once.
            kind = link::nakKind;
            number = received;
            m_gapSince = 0;
        } else if (received == 0 && m_role == roleDevice && m_gapOpened != 0 && now - m_gapOpened > TimerSpan()) {
            // Frame 1 is missing and nothing has been named yet. The device
            // NAKs "0" as a plain device does: every port's sender reads it
            // from the start of its numbering, none keeps frame 32 in
            // flight then. Otherwise a port that waits to be told what is
            // missing (the plain-safe rules) would wait in vain. Timed from
            // when the gap opened, then from this NAK: the port's
            // acknowledgements, each a receive pass that finds the gap
            // again, would put it off for as long as data flows.
            kind = link::nakKind;
            number = 0;
            m_gapSince = 0;
            m_gapOpened = Stamp(now);
        } else {
            // While data flows (a frame came in order in the last T ms),
            // fast recovery leaves the newest frame unacknowledged, for a
            // NAK to name when a gap appears; a later phase, or a copy of
            // it, has it acknowledged.
            bool flowing = m_lastDataAt != 0 && now - m_lastDataAt < TimerSpan() / 10 && m_gapSince == 0 && !m_ackOwed;
            // So does the receiver that NAKs early, and it keeps that frame
            // out of its ACKs while the gap is younger than its NAK: a plain
            // device drops its window for a NAK of a frame it no longer holds.
            bool hold = m_rules.fastRecovery ? flowing : NaksEarly() && (flowing || m_gapSince != 0);
            number = hold && received != 0 ? received - 1 : received;
            if (number > m_lastAck) {
                kind = link::ackKind;
            } else if (m_ackOwed && m_lastAck != 0) {
                // The peer resent a frame we had acknowledged long ago: our
                // ACK was lost. (No ACK before the first frame: "0" would
                // name the newest frame of a full window.)
                kind = link::ackKind;
                number = m_lastAck;
                ++m_counters.repeatedAcks;
            }
        }
    }
    m_ackOwed = false;
    m_copySeen = false;
    if (kind != 0) {
        if (kind == link::nakKind) ++m_counters.naksSent;
        else ++m_counters.acksSent;
        m_lastAck = number;
        m_lastAckAt = Stamp(now);
        if (m_rules.safePlainReceive) {
            m_acksSent.push_back(number);
            // Those of the last 2 x T x 10 ms and the newest before them.
            m_acksTimed.push_back(CAckSent{number, Stamp(now), kind == link::nakKind});
            while (m_acksTimed.size() > 1 && now - m_acksTimed[1].at > 2 * TimerSpan()) m_acksTimed.pop_front();
        }
    }
    // Plain rules: every decision starts the count afresh. Otherwise frames
    // stay counted until an ACK names them, so that a phase that had nothing
    // new to name does not put off the next ACK.
    m_rxSinceAck = m_rules.forwardAcks ? m_rxNext - 1 - m_lastAck : 0;
    if (kind == 0) return 0;
    return static_cast<BYTE>(kind | ((number % m_window) & link::numberMask));
}

void CLinkEngine::SendPhase(DWORD now) {
    m_passAt = now;
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

    if (SendsPlainSafe()) {
        SendPhasePlain(now);
        return;
    }
    FillWindow(now);

    auto start = m_sendWindow.end();
    auto stop = m_sendWindow.end();
    if (!m_sendWindow.empty()) {
        CEntry& lowest = m_sendWindow.begin()->second;
        if (now - lowest.sentAt >= TimerSpan()) {
            start = m_sendWindow.begin();
            if (lowest.sentAt != 0) {
                ++m_counters.timeouts;
                // (Plain-safe rules, past a device on the engine's rules) The
                // device keeps acknowledging a number that names nothing in
                // flight, time-out after time-out: it lacks frames an ACK
                // misread through reordering removed, and will never have
                // them. Tell the client rather than wait for ever.
                if (m_rules.safePlainSend && ++m_timeoutsSinceProgress >= 8 && m_unmatchedSinceProgress >= 8)
                    throw basalt::CWinException(__LINE__, kFile, kWorker, ERROR_INVALID_DATA);
            }
        } else {
            start = std::find_if(m_sendWindow.begin(), m_sendWindow.end(),
                                 [](const std::pair<const DWORD, CEntry>& e) { return e.second.sentAt == 0; });
            if (start == m_sendWindow.end() && m_rules.fastRecovery && m_rto && lowest.sentAt != 0 &&
                now - lowest.sentAt >= m_rto * m_backoff) {
                // Only the lowest frame goes early: one lost frame is the
                // likely cause, and the others may well have arrived.
                start = m_sendWindow.begin();
                stop = std::next(start);
                m_backoff = std::min<DWORD>(m_backoff * 2, 64);
                ++m_counters.earlyResends;
            }
        }
    }

    BYTE acknowledgement = ChooseAcknowledgement(now);

    // The acknowledgement rides in the first frame of the burst only.
    BYTE frame[link::maxFrame];
    while (acknowledgement != 0 || start != stop) {
        frame[0] = acknowledgement;
        acknowledgement = 0;
        DWORD size = 1;
        if (start != stop) {
            CEntry& entry = start->second;
            frame[1] = static_cast<BYTE>(start->first % m_window);
            bool resend = m_rules.flagEveryResend ? entry.sends != 0 : entry.sentAt != 0;
            if (resend) frame[1] |= link::resendFlag;
            std::memcpy(frame + 2, entry.payload, entry.size);
            size = 2 + entry.size;
            ++m_counters.dataFrames;
            if (entry.sends) ++m_counters.resentFrames;
            if (entry.sends == 0) entry.firstSent = now;
            entry.lastSent = now;
            if (entry.sends < 255) ++entry.sends;
            entry.sentAt = Stamp(now);
            ++start;
        }
        m_io.WriteFrame(frame, size, false);
        ++m_counters.framesWritten;
    }
}

void CLinkEngine::WriteData(DWORD number, CEntry& entry, BYTE acknowledgement, bool flag, DWORD now) {
    BYTE frame[link::maxFrame];
    frame[0] = acknowledgement;
    frame[1] = static_cast<BYTE>(number % m_window);
    if (flag) frame[1] |= link::resendFlag;
    std::memcpy(frame + 2, entry.payload, entry.size);
    ++m_counters.dataFrames;
    if (entry.sends) ++m_counters.resentFrames;
    if (entry.sends == 0) entry.firstSent = now;
    entry.lastSent = now;
    if (entry.sends < 255) ++entry.sends;
    entry.sentAt = Stamp(now);
    m_io.WriteFrame(frame, 2 + entry.size, false);
    ++m_counters.framesWritten;
}

void CLinkEngine::SendPhasePlain(DWORD now) {
    FillWindow(now);
    bool resendLowest = false;
    if (!m_sendWindow.empty()) {
        CEntry& lowest = m_sendWindow.begin()->second;
        bool unsent = std::any_of(m_sendWindow.begin(), m_sendWindow.end(),
                                  [](const std::pair<const DWORD, CEntry>& e) { return e.second.sentAt == 0; });
        // Half as long again as T x 10 ms: a device that misses a frame
        // NAKs T x 10 ms after the last one arrived, and every frame sent
        // sooner would put that NAK off once more.
        if (!unsent && now - lowest.sentAt >= TimerSpan() + TimerSpan() / 2) {
            ++m_counters.timeouts;
            // Nothing heard: a new frame asks the device where it stands;
            // only with none to send does the lowest go again.
            DWORD inFlight = m_txNext - m_sendWindow.begin()->first;
            DWORD taken = 0;
            if (inFlight < (m_peerOnEngine ? GetMostOutstanding() : static_cast<DWORD>(m_window) - 1)) {
                BYTE payload[link::maxPayload];
                taken = m_io.TakeOutgoing(payload, link::maxPayload);
                if (taken) {
                    CEntry& entry = m_sendWindow[m_txNext++];
                    entry.sentAt = 0;
                    entry.firstSent = entry.lastSent = 0;
                    entry.sends = 0;
                    entry.size = static_cast<BYTE>(taken);
                    std::memcpy(entry.payload, payload, taken);
                    ++m_counters.probes;
                }
            }
            resendLowest = taken == 0;
            for (auto& entry : m_sendWindow)
                if (entry.second.sentAt != 0) entry.second.sentAt = Stamp(now);
        }
    }

    BYTE acknowledgement = ChooseAcknowledgement(now);
    if (resendLowest) {
        auto lowest = m_sendWindow.begin();
        // The device may have had it, and then files this copy a modulus ahead.
        // (Once per frame: what was sent since the first copy counts.)
        if (std::none_of(m_copies.begin(), m_copies.end(), [&](const CCopy& copy) { return copy.frame == lowest->first; }))
            m_copies.push_back(CCopy{lowest->first, m_txNext, false});
        WriteData(lowest->first, lowest->second, acknowledgement, true, now);
        acknowledgement = 0;
    }
    for (auto& entry : m_sendWindow) {
        if (entry.second.sentAt != 0) continue;
        if (entry.second.sends == 0) {
            // A copy filed at copy + W is delivered once the device has the
            // frame before it: tell the client instead.
            for (const CCopy& copy : m_copies)
                if (entry.first + 1 >= copy.frame + m_window)
                    throw basalt::CWinException(__LINE__, kFile, kWorker, ERROR_INVALID_DATA);
        }
        if (entry.second.sends != 0 && m_peerOnEngine) {
            m_riskyCopy = entry.first;
            m_riskyCopyAt = Stamp(now);
        }
        // A frame sent again carries the flag, so that a receiver can tell
        // it from a first send.
        WriteData(entry.first, entry.second, acknowledgement, entry.second.sends != 0, now);
        acknowledgement = 0;
    }
    if (acknowledgement != 0) {
        m_io.WriteFrame(&acknowledgement, 1, false);
        ++m_counters.framesWritten;
    }
}

// ---------------------------------------------------------------------------
// CLinkWorker

bool CLinkWorker::OnWake(EWake wake, DWORD now) {
    if (wake == wakeFrame) {
        ReceivePass(now);
        m_engine.Deliver(now);
        if (m_engine.IsAckDue(now)) m_engine.SendPhase(now);
    } else {
        m_engine.SendPhase(now);
    }
    return m_engine.TakeSendNow();
}

void CLinkWorker::ReceivePass(DWORD now) {
    BYTE frame[link::maxFrame];
    for (DWORD position = 0; position < CFrameSlots::slotCount; ++position) {
        DWORD filedAt = now;
        DWORD size = m_slots.TakeSlot(CFrameSlots::SlotAt(position), frame, filedAt);
        if (size == 0) continue;
        // The stack files while the pass runs. A data frame found before the
        // link is up may follow a link accepted filed in the shared slot
        // after this pass took it (the device sends accepted first): take
        // that slot again, or the frame is dropped and waits for a resend.
        if (position != 0 && !m_engine.IsLinked()) {
            BYTE shared[link::maxFrame];
            DWORD sharedAt = now;
            if (DWORD sharedSize = m_slots.TakeSlot(CFrameSlots::otherSlot, shared, sharedAt))
                m_engine.Receive(shared, sharedSize, now, sharedAt);
        }
        m_engine.Receive(frame, size, now, filedAt);
    }
}

}  // namespace corvane
