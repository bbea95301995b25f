#pragma once
// What the Toshiba tests share: a fixture that starts each case from the
// simulator's default world and an empty registry cache, a message pump (the
// stack answers only while the thread that owns the windows pumps), and a
// notice that counts events.
#include "ToshibaBluetooth/ToshibaBluetooth.h"

#include <TosBtSim.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

namespace tostest {

const wchar_t kEchoDevice[] = L"00:80:25:00:00:01";
const wchar_t kLineDevice[] = L"00:80:25:00:00:02";

CTosBtSim& Sim();

class ToshibaTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    static boost::shared_ptr<const corvane::IPortAddr> Address(const wchar_t* text);
};

// Dispatches the thread's messages until done() or the time-out; done's answer.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000);

class EventCounter : public corvane::INotice {
public:
    int Notify(corvane::EEventType type) override {
        ++m_counts[type];
        return 0;
    }
    unsigned Count(corvane::EEventType type) const { return m_counts[type]; }

private:
    std::atomic<unsigned> m_counts[11] = {};
};

}  // namespace tostest
