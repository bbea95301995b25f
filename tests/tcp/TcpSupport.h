#pragma once
// What the TCP tests share: the simulated receiver as a child process, a
// notice that records every event in order, and small helpers around a port.
#include "TCP.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tcptest {

// corvane-sim.exe, started beside this test program with the given options.
// It prints "listening on 127.0.0.1:PORT" first; the constructor waits for
// that line. Its output is collected line by line; the process is ended when
// the object goes.
class SimProcess {
public:
    explicit SimProcess(const std::wstring& options);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    unsigned short Port() const { return m_port; }
    std::wstring PortText() const { return std::to_wstring(m_port); }
    std::vector<std::string> Lines() const;
    // Waits for a line holding fragment; the whole output so far is searched.
    bool WaitForLine(const std::string& fragment, DWORD timeoutMs = 5000) const;
    bool HasLine(const std::string& fragment) const;
    // All output, for failure messages.
    std::string Transcript() const;

private:
    void ReadOutput();
    // Ends the process and the reading of its output.
    void Stop();

    PROCESS_INFORMATION m_process = {};
    basalt::CHandle m_output;
    std::thread m_reader;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<std::string> m_lines;
    std::string m_partial;
    bool m_ended = false;
    unsigned short m_port = 0;
};

// A notice that remembers what it was told, in order.
class EventRecorder : public corvane::INotice {
public:
    int Notify(corvane::EEventType type) override;

    // Registers this recorder on the port for every event type.
    void ListenTo(corvane::IPort& port, const boost::shared_ptr<EventRecorder>& self);
    std::vector<corvane::EEventType> Events() const;
    // Waits until type has been told count times in all.
    bool WaitFor(corvane::EEventType type, DWORD timeoutMs, size_t count = 1) const;
    size_t Count(corvane::EEventType type) const;
    void Clear();

private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_told;
    std::vector<corvane::EEventType> m_events;
};

boost::shared_ptr<const corvane::IPortAddr> SimAddress(const SimProcess& sim, const wchar_t* password = L"",
                                                       const wchar_t* host = L"127.0.0.1");
boost::shared_ptr<corvane::CTCPPort> MakePort(const boost::shared_ptr<const corvane::IPortAddr>& address);

// An OVERLAPPED notice the way a client uses one: registered for data,
// errors and the workers' end, waited for on its event.
class DataWaiter {
public:
    explicit DataWaiter(corvane::IPort& port);
    ~DataWaiter();
    // Waits until the port has at least count bytes waiting, or timeoutMs pass.
    bool WaitForBytes(DWORD count, DWORD timeoutMs);
    // Receives exactly count bytes, waiting for them as they come.
    std::string Receive(DWORD count, DWORD timeoutMs);

private:
    corvane::IPort& m_port;
    basalt::COverlapped m_record;
    boost::shared_ptr<corvane::INotice> m_notice;
};

// Runs each case on a thread of its own and waits for all: the dialogue's
// five-second time limits then cost five seconds once, not once per case.
void Concurrently(const std::vector<std::function<void()>>& cases);

// What fn threw as E; empty (and a test failure) when it threw nothing.
template <class E, class Fn>
std::unique_ptr<E> Caught(Fn fn) {
    try {
        fn();
    } catch (const E& e) {
        return std::unique_ptr<E>(new E(e));
    }
    ADD_FAILURE() << "nothing was thrown";
    return nullptr;
}

// Runs fn and answers the milliseconds it took.
template <class Fn>
DWORD Elapsed(Fn fn) {
    DWORD start = ::GetTickCount();
    fn();
    return ::GetTickCount() - start;
}

}  // namespace tcptest
