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
#include <memory>
#include <thread>

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
// Dispatches the messages queued for the thread now.
void PumpQueued();
// Waits, without pumping, until done() or the time-out; done's answer. The
// stack's answers stay queued meanwhile.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000);
// The calling thread's window of that class; null when it has none.
HWND ThreadWindow(const wchar_t* windowClass);

// A thread that owns windows and pumps their messages, as a client's window
// thread does. Run's work runs there after every message posted to the
// thread before it has been dispatched.
class CWindowThread {
public:
    CWindowThread();
    ~CWindowThread();
    CWindowThread(const CWindowThread&) = delete;
    CWindowThread& operator=(const CWindowThread&) = delete;

    void Run(const std::function<void()>& work);

private:
    void Pump();

    std::atomic<DWORD> m_id{0};
    std::thread m_thread;
};

// Makes an object on a window thread of its own and releases it on the
// calling thread, then posts the stack's message (lParam 0) to its window of
// that class: success when that window is gone once its thread has pumped.
::testing::AssertionResult WindowGoesWithItsObject(const wchar_t* windowClass,
                                                   const std::function<std::shared_ptr<void>()>& make,
                                                   UINT message, WPARAM wParam);

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
