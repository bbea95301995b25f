#pragma once
// Notices that record or count a stream's events, and a byte pattern that
// tells each position of a long stream apart.
#include "Streams.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace streams_test {

class CEventLog : public corvane::INotice {
public:
    int Notify(corvane::EEventType type) override { return events.push_back(type), 1; }
    std::vector<int> Take() {  // and forget them
        std::vector<int> taken;
        taken.swap(events);
        return taken;
    }
    std::vector<int> events;
};

// Allocates nothing and may be told from any thread.
class CEventCounter : public corvane::INotice {
public:
    int Notify(corvane::EEventType type) override { return ++counts[type], 1; }
    std::atomic<long> counts[11] = {};
};

inline void RegisterForAll(corvane::INotifier& notifier, boost::shared_ptr<corvane::INotice> notice) {
    for (int type = corvane::eventDataAvailable; type <= corvane::eventTerminated; ++type)
        notifier.RegisterNotice(notice, static_cast<corvane::EEventType>(type));
}

// Neighbouring positions, and positions a ring's capacity apart, differ.
inline BYTE Pattern(std::uint64_t position) {
    return static_cast<BYTE>((position * 0x9E3779B97F4A7C15ull) >> 56);
}

inline std::vector<BYTE> PatternBytes(std::uint64_t from, size_t count) {
    std::vector<BYTE> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = Pattern(from + i);
    return bytes;
}

}  // namespace streams_test
