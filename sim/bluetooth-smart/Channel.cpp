#include "Channel.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace blesim {

CFrameChannel::CFrameChannel(const BLESIM_CHANNEL& settings, DWORD stream) : m_counters() {
    Configure(settings, stream);
}

void CFrameChannel::Configure(const BLESIM_CHANNEL& settings, DWORD stream) {
    m_settings = settings;
    if (m_settings.reorderDepth == 0) m_settings.reorderDepth = 3;
    m_random = CRandom((static_cast<std::uint64_t>(settings.seed) << 8) ^ (stream * 0x5851F42D4C957F2Dull) ^ 0xB1E5);
    m_lastDeparture = 0;
    m_departed = false;
    m_order = 0;
}

void CFrameChannel::Clear() {
    m_queue.clear();
    m_held.clear();
    m_lastDeparture = 0;
    m_departed = false;
}

void CFrameChannel::Submit(const BYTE* data, DWORD size, bool control, std::uint64_t nowUs, USHORT attribute) {
    ++m_counters.submitted;
    CFrame frame;
    frame.size = std::min<DWORD>(size, sizeof frame.data);
    if (frame.size) std::memcpy(frame.data, data, frame.size);
    frame.control = control;
    frame.attribute = attribute;

    // The frame leaves when the air is free; a lost frame used its air time too.
    std::uint64_t spacing = m_settings.framesPerSecond ? 1000000ull / m_settings.framesPerSecond : 0;
    std::uint64_t departure = nowUs;
    if (spacing && m_departed && m_lastDeparture + spacing > departure) departure = m_lastDeparture + spacing;
    m_lastDeparture = departure;
    m_departed = true;
    std::uint64_t arrival = departure + m_settings.delayMs * 1000ull;

    bool exempt = control && !(m_settings.flags & BLESIM_CHANNEL_LOSSY_CONTROL);
    if (!exempt && m_random.Chance(m_settings.lossPermille)) {
        ++m_counters.dropped;
        return;
    }
    Place(frame, arrival, exempt);
    if (!exempt && m_random.Chance(m_settings.duplicatePermille)) {
        ++m_counters.duplicated;
        Place(frame, arrival + 1, exempt);
    }
}

void CFrameChannel::Place(const CFrame& frame, std::uint64_t arrival, bool exempt) {
    bool hold = !exempt && m_random.Chance(m_settings.reorderPermille);
    // Frames held back are overtaken by this one; those that have let enough
    // frames by arrive right behind it.
    std::list<CHeld> released;
    for (auto held = m_held.begin(); held != m_held.end();) {
        auto next = std::next(held);
        if (--held->remaining == 0) released.splice(released.end(), m_held, held);
        held = next;
    }
    if (hold) {
        ++m_counters.reordered;
        CHeld held;
        held.frame = frame;
        held.remaining = 1 + m_random.Below(m_settings.reorderDepth);
        held.arrival = arrival;
        // When traffic stops, a held frame waits about as long as the frames
        // it was to let by would have taken.
        std::uint64_t spacing = m_settings.framesPerSecond ? 1000000ull / m_settings.framesPerSecond : 1000;
        held.deadline = arrival + held.remaining * std::max<std::uint64_t>(spacing, 1000);
        m_held.push_back(held);
    } else {
        Enqueue(frame, arrival);
    }
    for (const CHeld& held : released) Enqueue(held.frame, std::max(arrival, held.arrival));
}

void CFrameChannel::Enqueue(const CFrame& frame, std::uint64_t arrival) {
    m_queue.emplace(Key(arrival, m_order++), frame);
}

void CFrameChannel::ReleaseExpired(std::uint64_t nowUs) {
    for (auto held = m_held.begin(); held != m_held.end();) {
        if (held->deadline <= nowUs) {
            Enqueue(held->frame, held->deadline);
            held = m_held.erase(held);
        } else {
            ++held;
        }
    }
}

std::uint64_t CFrameChannel::NextDue() const {
    std::uint64_t due = m_queue.empty() ? UINT64_MAX : m_queue.begin()->first.first;
    for (const CHeld& held : m_held) due = std::min(due, held.deadline);
    return due;
}

bool CFrameChannel::Pop(std::uint64_t nowUs, CFrame& frame) {
    ReleaseExpired(nowUs);
    if (m_queue.empty() || m_queue.begin()->first.first > nowUs) return false;
    frame = m_queue.begin()->second;
    m_queue.erase(m_queue.begin());
    ++m_counters.delivered;
    return true;
}

}  // namespace blesim
