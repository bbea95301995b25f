#pragma once
// What the TCP tests share beside the kit: the simulated receiver as a child
// process, and small helpers around a port.
#include "TCP.h"

#include "kit/LibraryScope.h"
#include "kit/TestKit.h"

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

using testkit::Caught;
using testkit::CPortReader;
using testkit::CRecorder;

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

// A device played by the test itself on a loopback socket, for byte-exact
// looks at the dialogue that the simulated receiver does not give: script
// runs on the accepted connection on a thread of its own, joined when the
// object goes; the connection closes when script returns.
// Makes SOCKET a listener on a free port of the loopback address and answers that port.
unsigned short ListenOnLoopback(basalt::CWSASocket& socket, int backlog);

class ScriptedDevice {
public:
    class End {
    public:
        explicit End(basalt::CWSASocket& socket) : m_socket(socket) {}
        void Send(const std::string& bytes);
        // The bytes up to and including the next line feed; what came when the port closed.
        std::string ReadLine();
        // The next size bytes, taken in reads of at most piece bytes with a
        // pause of pauseMs before each; fewer when the port closes first.
        std::string Receive(size_t size, DWORD piece, DWORD pauseMs);

    private:
        basalt::CWSASocket& m_socket;
    };

    explicit ScriptedDevice(std::function<void(End&)> script);
    ~ScriptedDevice();
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    boost::shared_ptr<const corvane::IPortAddr> Address(const wchar_t* password = L"") const;

private:
    basalt::CWSASocket m_listener;
    unsigned short m_port = 0;
    std::thread m_thread;
};

boost::shared_ptr<const corvane::IPortAddr> SimAddress(const SimProcess& sim, const wchar_t* password = L"",
                                                       const wchar_t* host = L"127.0.0.1");
boost::shared_ptr<corvane::CTCPPort> MakePort(const boost::shared_ptr<const corvane::IPortAddr>& address);

// Runs each case on a thread of its own and waits for all: the dialogue's
// five-second time limits then cost five seconds once, not once per case.
void Concurrently(const std::vector<std::function<void()>>& cases);

}  // namespace tcptest
