#include "PlainDevice.h"

#include <algorithm>
#include <cstring>

namespace blesim {

CPlainDevice::CPlainDevice(Emitter emit, Source take, Sink deliver)
    : m_emit(emit),
      m_take(take),
      m_deliver(deliver),
      m_mark(markStripped),
      m_timer(timerPeriodic),
      m_params{0x00, 0x01, 0x10, 0x20, 0x50, 0xFF},
      m_w(32),
      m_t(255),
      m_linked(false),
      m_rxNext(1),
      m_txNext(1),
      m_gapSince(0),
      m_rxSinceAck(0),
      m_sendNow(false),
      m_lastSendPhase(0),
      m_lastWake(0) {}

void CPlainDevice::SetParameters(const BYTE parameters[6]) { std::memcpy(m_params, parameters, 6); }

void CPlainDevice::Emit(const BYTE* frame, DWORD size, bool control) {
    ++m_counters.framesWritten;
    if (m_emit) m_emit(frame, size, control);
}

void CPlainDevice::OnControl(const BYTE* frame, DWORD size) {
    if (frame[0] == 0xC0 && size == 1) {
        // A new link: everything from the last one is forgotten.
        m_linked = false;
        m_rxNext = m_txNext = 1;
        m_gapSince = m_rxSinceAck = 0;
        m_held.clear();
        m_window.clear();
        BYTE answer[7] = {0xC1};
        std::memcpy(answer + 1, m_params, 6);
        Emit(answer, 7, true);
    } else if (frame[0] == 0xC2 && size == 4 && frame[1] == 0x01 && frame[2] != 0) {
        m_w = frame[2];
        m_t = frame[3];
        m_linked = true;
        const BYTE accepted = 0xC6;
        Emit(&accepted, 1, true);
    }
}

void CPlainDevice::OnFrame(const BYTE* frame, DWORD size, DWORD now) {
    if (size == 0 || size > 20) return;
    m_lastWake = now;
    if ((frame[0] & 0xC0) == 0xC0) {
        OnControl(frame, size);
        return;
    }
    if (!m_linked) return;
    if (size > 2) {
        BYTE s = frame[1];
        if (m_mark == markStripped) s &= static_cast<BYTE>(~0x20);
        std::uint32_t base = m_rxNext - m_rxNext % m_w;
        std::uint32_t number = s >= m_rxNext % m_w ? base + s : base + m_w + s;
        m_held[number].assign(frame + 2, frame + size);
    }
    BYTE kind = frame[0] & 0xC0;
    if (kind == 0x40 || kind == 0x80) OnAcknowledgement(kind == 0x80, frame[0] & 0x3F, now);
    Deliver(now);
    if (m_sendNow || m_rxSinceAck >= m_w / 3u) SendPhase(now);
}

void CPlainDevice::OnAcknowledgement(bool nak, BYTE number, DWORD now) {
    bool matched = false;
    while (!m_window.empty() && !matched) {
        matched = m_window.begin()->first % m_w == number;
        m_window.erase(m_window.begin());
    }
    if (!matched) ++m_counters.emptiedWindows;
    for (auto& entry : m_window) entry.second.sentAt = nak ? 0 : Stamp(now);
    m_sendNow = true;
}

void CPlainDevice::Deliver(DWORD now) {
    while (!m_held.empty()) {
        auto lowest = m_held.begin();
        if (lowest->first > m_rxNext) {
            m_gapSince = Stamp(now);
            return;
        }
        if (lowest->first == m_rxNext) {
            m_deliver(lowest->second.data(), static_cast<DWORD>(lowest->second.size()));
            ++m_rxNext;
            ++m_rxSinceAck;
            m_gapSince = 0;
        }
        m_held.erase(lowest);
    }
}

void CPlainDevice::OnTimer(DWORD now) {
    if (now - TimerBase() >= Period()) SendPhase(now);
}

void CPlainDevice::SendPhase(DWORD now) {
    m_lastSendPhase = m_lastWake = now;
    m_sendNow = false;
    if (!m_linked) return;
    BYTE buffer[18];
    while (m_window.size() < m_w) {
        DWORD count = m_take(buffer, sizeof buffer);
        if (count == 0) break;
        m_window[m_txNext++] = CSent{0, std::vector<BYTE>(buffer, buffer + count)};
    }
    auto start = m_window.end();
    if (!m_window.empty()) {
        if (now - m_window.begin()->second.sentAt >= Span()) {
            start = m_window.begin();
            ++m_counters.timeouts;
        } else {
            start = std::find_if(m_window.begin(), m_window.end(),
                                 [](const std::pair<const std::uint32_t, CSent>& e) { return e.second.sentAt == 0; });
        }
    }
    BYTE acknowledgement = 0;
    BYTE number = static_cast<BYTE>((m_rxNext - 1) % m_w);
    if (m_gapSince != 0 && now - m_gapSince > Span()) {
        acknowledgement = 0x80 | number;
        m_gapSince = 0;
        ++m_counters.naksSent;
    } else if (m_rxSinceAck != 0) {
        acknowledgement = 0x40 | number;
        ++m_counters.acksSent;
    }
    m_rxSinceAck = 0;
    while (acknowledgement || start != m_window.end()) {
        BYTE frame[20] = {acknowledgement};
        DWORD size = 1;
        if (start != m_window.end()) {
            CSent& sent = start->second;
            frame[1] = static_cast<BYTE>(start->first % m_w) | (sent.sentAt ? 0x20 : 0);
            std::memcpy(frame + 2, sent.payload.data(), sent.payload.size());
            size = 2 + static_cast<DWORD>(sent.payload.size());
            ++m_counters.dataFrames;
            if (sent.sentAt) ++m_counters.resentFrames;
            sent.sentAt = Stamp(now);
            ++start;
        }
        Emit(frame, size, false);
        acknowledgement = 0;
    }
}

}  // namespace blesim
