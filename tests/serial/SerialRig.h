#pragma once
// What the serial tests share beside the kit: the ports of the null-modem
// cable (sim/nullmodem) as addresses, and a device filter that stands in
// front of a real COM port to refuse or fail what a test asks it to.
#include "Serial/Serial.h"

#include "Common.h"
#include "kit/LibraryScope.h"
#include "kit/TestKit.h"

#include <Cable.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace serialtest {

#define SKIP_WITHOUT_RIG()                                                                        \
    if (!nullmodem::IsPresent())                                                                  \
    GTEST_SKIP() << "no null-modem cable: run through ctest, which lays it (sim/nullmodem/with-rig.sh)"

// The port under test, as an address: \\.\COMn.
boost::shared_ptr<const corvane::IPortAddr> RigAddress();

// A real COM port with a filter in front: rates it refuses, capabilities it
// reports instead of the driver's, calls it fails on request, and the line
// errors of the cable that Wine does not report.
class CFilteredPort : public basalt::CCommPort {
public:
    // Refuses every rate but these in SetCommState (none given: all pass).
    std::vector<DWORD> acceptedRates;
    // Replaces dwSettableBaud of GetCommProperties when set.
    bool replaceSettableBaud = false;
    DWORD settableBaud = 0;
    // Wine's ClearCommError reports no line errors; with a cable here the
    // filter reports those the cable delivered since the last report, as a
    // driver would.
    nullmodem::CCable* cable = nullptr;
    // The API that fails next with failCode ("GetCommModemStatus", "SetupComm"...).
    void FailNext(const std::wstring& function, DWORD code);
    int SetCommStateCalls() const { return m_setStateCalls; }
    // How many WaitCommEvent calls have returned. Wine compares the lines
    // with those it saw when a wait began, and forgets a change that came
    // between two waits (Windows keeps it for the next wait): a test changes
    // a line only once the worker waits again.
    int WaitsIssued() const { return m_waits; }
    // Every CE_* bit a caller of ClearCommError was told, and ClearCommBreak calls.
    DWORD ErrorsReported() const { return m_reported; }
    int BreaksCleared() const { return m_breaksCleared; }
    // The flags of every PurgeComm call, in order.
    std::vector<DWORD> Purged() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_purged;
    }

    void SetCommState(const DCB& dcb) override;
    void GetCommProperties(COMMPROP& properties) override;
    DWORD GetCommModemStatus() override;
    void SetupComm(DWORD inQueue, DWORD outQueue) override;
    void SetCommMask(DWORD mask) override;
    bool WaitCommEvent(DWORD* mask, OVERLAPPED* overlapped) override;
    void ClearCommError(DWORD* errors, COMSTAT* status) override;
    void ClearCommBreak() override;
    void PurgeComm(DWORD flags) override;

private:
    void MaybeFail(const wchar_t* function);
    std::mutex m_lock;
    std::wstring m_failing;
    DWORD m_failCode = 0;
    int m_setStateCalls = 0;
    std::atomic<int> m_waits{0};
    unsigned m_framesSeen = 0, m_breaksSeen = 0;
    std::atomic<DWORD> m_reported{0};
    std::atomic<int> m_breaksCleared{0};
    std::vector<DWORD> m_purged;
};

}  // namespace serialtest
