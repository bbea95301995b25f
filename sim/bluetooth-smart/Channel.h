#pragma once
// One direction of a simulated radio channel: frames enter at a time, leave
// after the delay, spaced by the frame rate, and on the way the channel drops,
// duplicates and reorders them with a seeded generator. Pure logic in
// microseconds: the simulator runs it against the clock, the link model of
// the tests against virtual time.
#include "BleSim.h"

#include <cstdint>
#include <list>
#include <map>
#include <utility>

namespace blesim {

// A small, fast generator whose sequence is the same on every platform.
class CRandom {
public:
    explicit CRandom(std::uint64_t seed = 1) : m_state(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // True with probability permille / 1000.
    bool Chance(DWORD permille) { return permille != 0 && Next() % 1000 < permille; }
    DWORD Below(DWORD bound) { return bound ? static_cast<DWORD>(Next() % bound) : 0; }

private:
    std::uint64_t m_state;
};

struct CFrame {
    BYTE data[64];
    DWORD size;
    bool control;
    USHORT attribute;  // the value's attribute, 0 for the link's data characteristic
};

class CFrameChannel {
public:
    struct CCounters {
        DWORD submitted;
        DWORD delivered;
        DWORD dropped;
        DWORD duplicated;
        DWORD reordered;
    };

    // stream tells the directions of one channel apart: each gets its own
    // sequence from the same seed.
    explicit CFrameChannel(const BLESIM_CHANNEL& settings = BLESIM_CHANNEL(), DWORD stream = 0);

    void Configure(const BLESIM_CHANNEL& settings, DWORD stream);
    const BLESIM_CHANNEL& GetSettings() const { return m_settings; }
    // Forgets every frame on the way (the counters stay).
    void Clear();

    // A frame enters at nowUs. Frames larger than CFrame holds are cut.
    void Submit(const BYTE* data, DWORD size, bool control, std::uint64_t nowUs, USHORT attribute = 0);
    // When the next frame is due; UINT64_MAX when none is on the way.
    std::uint64_t NextDue() const;
    // Takes the next frame due at or before nowUs; false when none is.
    bool Pop(std::uint64_t nowUs, CFrame& frame);
    bool IsEmpty() const { return m_queue.empty() && m_held.empty(); }

    const CCounters& GetCounters() const { return m_counters; }

private:
    typedef std::pair<std::uint64_t, std::uint64_t> Key;  // arrival, order of placing
    struct CHeld {
        CFrame frame;
        DWORD remaining;        // later frames still to overtake it
        std::uint64_t arrival;  // its own arrival
        std::uint64_t deadline; // released then even if traffic stops
    };

    void Place(const CFrame& frame, std::uint64_t arrival, bool exempt);
    void Enqueue(const CFrame& frame, std::uint64_t arrival);
    void ReleaseExpired(std::uint64_t nowUs);

    BLESIM_CHANNEL m_settings;
    CRandom m_random;
    std::uint64_t m_lastDeparture;
    bool m_departed;  // a frame left since the last Clear
    std::uint64_t m_order;
    std::multimap<Key, CFrame> m_queue;
    std::list<CHeld> m_held;
    CCounters m_counters;
};

}  // namespace blesim
