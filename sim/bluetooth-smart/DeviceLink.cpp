#include "DeviceLink.h"

#include <algorithm>
#include <cstring>

namespace blesim {

namespace {

// Drops the consumed front of a byte queue once it is the larger part, so
// that queues stay contiguous without moving bytes on every take.
void Compact(std::vector<BYTE>& bytes, size_t& start) {
    if (start == bytes.size()) {
        bytes.clear();
        start = 0;
    } else if (start > 4096 && start * 2 > bytes.size()) {
        bytes.erase(bytes.begin(), bytes.begin() + start);
        start = 0;
    }
}

}  // namespace

CDeviceLink::CDeviceLink(const corvane::CLinkRules& rules)
    : m_engine(corvane::CLinkEngine::roleDevice, *this, rules),
      m_offered{0x00, 0x01, 0x10, 0x20, 0x50, 0xFF},
      m_echo(false),
      m_lastSendPhase(0),
      m_outgoingStart(0),
      m_receivedStart(0),
      m_bytesReceived(0),
      m_bytesSent(0) {}

void CDeviceLink::SetPlain(bool plain, CPlainDevice::EMark mark, CPlainDevice::ETimer timer) {
    m_plain.reset();
    if (!plain) return;
    m_plain.reset(new CPlainDevice([this](const BYTE* frame, DWORD size, bool control) { WriteFrame(frame, size, control); },
                                   [this](BYTE* buffer, DWORD size) { return TakeOutgoing(buffer, size); },
                                   [this](const BYTE* data, DWORD size) { Deliver(data, size); }));
    m_plain->SetMark(mark);
    m_plain->SetTimer(timer);
    m_plain->SetParameters(m_offered);
}

corvane::CLinkEngine::CCounters CDeviceLink::GetCounters() const {
    if (!m_plain) return m_engine.GetCounters();
    const CPlainDevice::CCounters& plain = m_plain->GetCounters();
    corvane::CLinkEngine::CCounters counters = {};
    counters.framesWritten = plain.framesWritten;
    counters.dataFrames = plain.dataFrames;
    counters.resentFrames = plain.resentFrames;
    counters.timeouts = plain.timeouts;
    counters.acksSent = plain.acksSent;
    counters.naksSent = plain.naksSent;
    counters.unmatchedAcks = plain.emptiedWindows;
    return counters;
}

void CDeviceLink::SetParameters(const BYTE parameters[6]) {
    std::memcpy(m_offered, parameters, 6);
    m_engine.SetOfferedParameters(parameters);
    if (m_plain) m_plain->SetParameters(parameters);
}

void CDeviceLink::OnFrame(const BYTE* frame, DWORD size, DWORD now) {
    if (m_plain) {
        m_plain->OnFrame(frame, size, now);
        return;
    }
    m_engine.Receive(frame, size, now);
    size_t queued = GetQueued();
    m_engine.Deliver(now);
    bool sendNow = m_engine.TakeSendNow();
    // An echo goes out with the acknowledgement of what it echoes.
    if (sendNow || m_engine.IsAckDue(now) || GetQueued() > queued) SendPhase(now);
}

void CDeviceLink::OnTimer(DWORD now) {
    if (m_plain) {
        m_plain->OnTimer(now);
        return;
    }
    if (now - m_lastSendPhase >= m_engine.GetWaitTimeout()) SendPhase(now);
}

void CDeviceLink::Queue(const BYTE* data, size_t size, DWORD now) {
    m_outgoing.insert(m_outgoing.end(), data, data + size);
    SendPhase(now);
}

size_t CDeviceLink::TakeReceived(BYTE* buffer, size_t size) {
    size_t count = std::min(size, GetReceivedCount());
    if (count) std::memcpy(buffer, m_received.data() + m_receivedStart, count);
    m_receivedStart += count;
    Compact(m_received, m_receivedStart);
    return count;
}

void CDeviceLink::SendPhase(DWORD now) {
    if (m_plain) {
        m_plain->OnQueued(now);
        return;
    }
    m_lastSendPhase = now;
    m_engine.SendPhase(now);
}

void CDeviceLink::WriteFrame(const BYTE* frame, DWORD size, bool control) {
    if (m_emit) m_emit(frame, size, control);
}

DWORD CDeviceLink::TakeOutgoing(BYTE* buffer, DWORD size) {
    DWORD count = static_cast<DWORD>(std::min<size_t>(size, GetQueued()));
    if (count) std::memcpy(buffer, m_outgoing.data() + m_outgoingStart, count);
    m_outgoingStart += count;
    m_bytesSent += count;
    Compact(m_outgoing, m_outgoingStart);
    return count;
}

void CDeviceLink::Deliver(const BYTE* data, DWORD size) {
    m_bytesReceived += size;
    if (m_echo) {
        // Queued for the next send phase, which the delivery's ACK brings soon.
        m_outgoing.insert(m_outgoing.end(), data, data + size);
    } else {
        m_received.insert(m_received.end(), data, data + size);
    }
}

}  // namespace blesim
