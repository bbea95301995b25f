#pragma once
// What the stream suites add to the kit: a notice that counts without
// allocating, and the kit's pattern as bytes.
#include "Streams.h"
#include "kit/TestKit.h"

#include <atomic>
#include <vector>

namespace streams_test {

using testkit::CRecorder;
using testkit::PatternAt;

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

inline std::vector<BYTE> PatternBytes(std::uint64_t from, size_t count) {
    std::string bytes = testkit::Pattern(count, from);
    return std::vector<BYTE>(bytes.begin(), bytes.end());
}

}  // namespace streams_test
