#pragma once
// What every test program may need: a notice that records events and lets a
// test wait for one, a reader that takes a port's bytes only when the port's
// own notice wakes it, error and byte-pattern helpers, and a deadline that
// turns a hang into a failure with a name. Header only: it compiles against
// whichever side of the library (the DLL or its objects) a program links.
#include <Corvane.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testkit {

// A notice that keeps every event it is told, in order; told from any thread.
class CRecorder : public corvane::INotice {
public:
    // A recorder registered on every event type of notifier.
    static boost::shared_ptr<CRecorder> Listen(corvane::INotifier& notifier) {
        boost::shared_ptr<CRecorder> recorder(new CRecorder);
        for (int type = corvane::eventDataAvailable; type <= corvane::eventTerminated; ++type)
            EXPECT_TRUE(notifier.RegisterNotice(recorder, static_cast<corvane::EEventType>(type)));
        return recorder;
    }

    int Notify(corvane::EEventType type) override {
        std::lock_guard<std::mutex> hold(m_lock);
        m_events.push_back(type);
        m_told.notify_all();
        return 1;
    }
    std::vector<corvane::EEventType> Events() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_events;
    }
    size_t Count(corvane::EEventType type) const {
        std::lock_guard<std::mutex> hold(m_lock);
        return CountLocked(type);
    }
    // Waits until type has been told count times in all.
    bool WaitFor(corvane::EEventType type, size_t count = 1, DWORD timeoutMs = 5000) const {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_told.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                               [&] { return CountLocked(type) >= count; });
    }
    void Clear() { Take(); }
    // The events so far, forgetting them.
    std::vector<corvane::EEventType> Take() {
        std::lock_guard<std::mutex> hold(m_lock);
        std::vector<corvane::EEventType> taken;
        taken.swap(m_events);
        return taken;
    }

private:
    size_t CountLocked(corvane::EEventType type) const {
        return static_cast<size_t>(std::count(m_events.begin(), m_events.end(), type));
    }
    mutable std::mutex m_lock;
    mutable std::condition_variable m_told;
    std::vector<corvane::EEventType> m_events;
};

// Takes what a port receives the way a client does: woken by an OVERLAPPED
// notice of the library (data, error, end), never by looking again. Each
// look checks the wake-up itself: bytes that arrived since the last look
// fired eventDataAvailable after that look reset the event, so the notice
// must have left it set. A lost wake-up (an event pulsed instead of set, a
// notice not fired) fails the test even when the bytes turn up.
class CPortReader {
public:
    explicit CPortReader(corvane::IPort& port)
        : m_port(port), m_notice(corvane::INotice::CreateInstance(m_record)) {
        for (corvane::EEventType type : {corvane::eventDataAvailable, corvane::eventError, corvane::eventTerminated})
            m_port.RegisterNotice(m_notice, type);
        // What came before the notice listened was announced to nobody.
        m_record.GetEvent().Reset();
        ReadAll();
    }
    ~CPortReader() { m_port.DeregisterNotice(m_notice, corvane::eventAll); }
    CPortReader(const CPortReader&) = delete;
    CPortReader& operator=(const CPortReader&) = delete;

    // Waits until count bytes are held, or timeoutMs pass, or the port
    // reports the error that ends its stream.
    bool WaitForBytes(size_t count, DWORD timeoutMs) {
        DWORD start = ::GetTickCount();
        while (m_held.size() < count && !m_error) {
            DWORD elapsed = ::GetTickCount() - start;
            bool woken = elapsed < timeoutMs && m_record.GetEvent().Wait(timeoutMs - elapsed);
            Look();
            if (!woken) break;
        }
        return m_held.size() >= count;
    }
    // Up to most of the bytes held, oldest first.
    std::string Take(size_t most = std::string::npos) {
        std::string taken = m_held.substr(0, most);
        m_held.erase(0, taken.size());
        return taken;
    }
    std::string Receive(size_t count, DWORD timeoutMs) {
        WaitForBytes(count, timeoutMs);
        return Take(count);
    }
    // The error the port raised once its stream was empty (a device that
    // hung up, say); null while none came.
    const basalt::CStdException* GetError() const { return m_error.get(); }

private:
    void Look() {
        size_t before = m_held.size();
        ReadAll();
        if (m_held.size() > before && !m_record.GetEvent().IsSet())
            ADD_FAILURE() << m_held.size() - before << " bytes arrived, but the port's notice left its event "
                          << "unset: a waiting client would not have woken";
        m_record.GetEvent().Reset();
        ReadAll();  // what came between the look and the reset
    }
    // Reads only what waits, as a client does: reading an empty stream would
    // tell eventIncomingEmpty for nothing. A worker's error comes once the
    // bytes before it are read, and is kept for the test to look at.
    void ReadAll() {
        if (m_error) return;
        char buffer[65536];
        try {
            while (DWORD waiting = m_port.Recv(nullptr, 0)) {
                DWORD got = m_port.Recv(buffer, std::min<DWORD>(waiting, sizeof buffer));
                m_held.append(buffer, got);
            }
        } catch (const basalt::CStdException& e) {
            m_error = e.Clone();
        }
    }

    corvane::IPort& m_port;
    basalt::COverlapped m_record;
    boost::shared_ptr<corvane::INotice> m_notice;
    std::string m_held;
    boost::shared_ptr<basalt::CStdException> m_error;
};

// What fn threw as E; empty when it threw nothing.
template <class E, class Fn>
std::unique_ptr<E> Caught(Fn fn) {
    try {
        fn();
    } catch (const E& e) {
        return std::unique_ptr<E>(new E(e));
    }
    return nullptr;
}

// The code of the CWinException fn throws (its function string in *function); 0 when none.
template <class Fn>
DWORD ErrorOf(Fn fn, basalt::ustring* function = nullptr) {
    std::unique_ptr<basalt::CWinException> error = Caught<basalt::CWinException>(fn);
    if (error && function) *function = error->GetFunction();
    return error ? error->GetErrorCode() : 0;
}

// Whether fn throws a CWinException with this function string and code.
template <class Fn>
::testing::AssertionResult ThrowsWinError(Fn fn, const wchar_t* function, DWORD code) {
    std::unique_ptr<basalt::CWinException> error = Caught<basalt::CWinException>(fn);
    if (!error) return ::testing::AssertionFailure() << "did not throw";
    if (error->GetFunction() == function && error->GetErrorCode() == code) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "threw " << error->what();
}

// Byte number position of an endless pattern: neighbours differ, and so do
// positions a power of two apart, so a lost, doubled or shifted byte shows.
inline BYTE PatternAt(std::uint64_t position) {
    return static_cast<BYTE>((position * 0x9E3779B97F4A7C15ull) >> 56);
}
inline std::string Pattern(size_t count, std::uint64_t from = 0) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>(PatternAt(from + i));
    return bytes;
}

// For what no notice announces (a line at the far end, a simulator's state):
// looks every few milliseconds until condition holds or timeoutMs pass.
inline bool Eventually(const std::function<bool()>& condition, DWORD timeoutMs = 3000) {
    DWORD start = ::GetTickCount();
    while (!condition()) {
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::Sleep(5);
    }
    return true;
}

// Runs fn; if it has not returned within limitMs, the program ends at once
// naming the test and what hung, rather than at CTest's time-out with no
// name: a thread stuck in the library cannot be taken back.
template <class Fn>
void WithinDeadline(DWORD limitMs, const char* what, Fn fn) {
    basalt::CEvent done;
    std::exception_ptr error;
    std::thread runner([&] {
        try {
            fn();
        } catch (...) {
            error = std::current_exception();
        }
        done.Set();
    });
    if (!done.Wait(limitMs)) {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::fprintf(stderr, "\n[ DEADLINE ] %s.%s: %s did not return within %lu ms\n",
                     test ? test->test_suite_name() : "?", test ? test->name() : "?", what,
                     static_cast<unsigned long>(limitMs));
        std::fflush(stderr);
        ::TerminateProcess(::GetCurrentProcess(), 3);
    }
    runner.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace testkit
