#pragma once
// What the serial tests share: the two COM ports of the null-modem rig
// (tests/serial/rig: the port under test and its peer at the far end of the
// cable), a notice that records events, and a device filter that stands in
// front of a real COM port to refuse or fail what a test asks it to.
#include "Serial.h"

#include "Common.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace serialtest {

// The rig's ports, from the environment that with-rig.sh sets up; empty when
// the program runs without the rig.
std::wstring RigPort();  // "COM5": the port under test
std::wstring RigPeer();  // "COM6": the far end of its cable
bool HasRig();

#define SKIP_WITHOUT_RIG()                                                                        \
    if (!serialtest::HasRig())                                                                    \
    GTEST_SKIP() << "no serial rig: run through ctest, which starts tests/serial/rig/with-rig.sh"

// A port address of the rig: \\.\COMn.
boost::shared_ptr<const corvane::IPortAddr> RigAddress();

// The shared line state of the cable (tests/serial/rig/linestate.h), reached
// through Wine's Z: drive: RING has no wire in a null-modem cable, and a
// hold stops the bridge from taking the port's bytes, as a peer that does
// not read.
class CCable {
public:
    CCable();
    // Both ends drive no line, see no RING, and are not held.
    void Reset();
    void SetRing(int end, bool on);
    void SetHold(int end, bool on);
    bool IsStopped(int end);  // the bridge stops the end's output now

    static const int port = 0, peer = 1;

private:
    void WriteField(size_t offset, DWORD value);
    DWORD ReadField(size_t offset);
    basalt::CHandle m_file;
};

// The far end, driven directly through basalt::CCommPort.
class CPeer {
public:
    CPeer();
    ~CPeer();

    void Write(const std::string& bytes);
    // Up to count bytes, waiting at most timeoutMs in all.
    std::string Read(size_t count, DWORD timeoutMs);
    // The MS_*_ON bits the peer sees.
    DWORD ModemStatus() { return m_device.GetCommModemStatus(); }
    void Escape(DWORD function) { m_device.EscapeCommFunction(function); }

private:
    basalt::CCommPort m_device;
    basalt::COverlapped m_record;
};

// A notice that keeps every event it was told, in order, and lets a test wait.
class CRecorder : public corvane::INotice {
public:
    int Notify(corvane::EEventType type) override;

    // Registers on every event type of a notifier.
    static boost::shared_ptr<CRecorder> Listen(corvane::INotifier& notifier);
    std::vector<corvane::EEventType> Events() const;
    size_t Count(corvane::EEventType type) const;
    // Waits until type has been told more than `seen` times.
    bool WaitFor(corvane::EEventType type, size_t seen = 0, DWORD timeoutMs = 3000) const;
    void Clear();

private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<corvane::EEventType> m_events;
};

// A real COM port with a filter in front: rates it refuses, capabilities it
// reports instead of the driver's, calls it fails on request.
class CFilteredPort : public basalt::CCommPort {
public:
    // Refuses every rate but these in SetCommState (none given: all pass).
    std::vector<DWORD> acceptedRates;
    // Replaces dwSettableBaud of GetCommProperties when set.
    bool replaceSettableBaud = false;
    DWORD settableBaud = 0;
    // The API that fails next with failCode ("GetCommModemStatus", "SetupComm"...).
    void FailNext(const std::wstring& function, DWORD code);
    int SetCommStateCalls() const { return m_setStateCalls; }
    // How many WaitCommEvent calls have returned. Wine compares the lines
    // with those it saw when a wait began, and forgets a change that came
    // between two waits (Windows keeps it for the next wait): a test changes
    // a line only once the worker waits again.
    int WaitsIssued() const { return m_waits; }

    void SetCommState(const DCB& dcb) override;
    void GetCommProperties(COMMPROP& properties) override;
    DWORD GetCommModemStatus() override;
    void SetupComm(DWORD inQueue, DWORD outQueue) override;
    void SetCommMask(DWORD mask) override;
    bool WaitCommEvent(DWORD* mask, OVERLAPPED* overlapped) override;

private:
    void MaybeFail(const wchar_t* function);
    std::mutex m_lock;
    std::wstring m_failing;
    DWORD m_failCode = 0;
    int m_setStateCalls = 0;
    std::atomic<int> m_waits{0};
};

// Polls condition every few milliseconds until it holds or timeoutMs pass.
bool Eventually(const std::function<bool()>& condition, DWORD timeoutMs = 3000);

// Bytes 0..255 repeating, offset by seed: a mix-up shows as a wrong byte.
std::string Pattern(size_t size, unsigned seed);

}  // namespace serialtest
