#pragma once
// What the USB tests share: the simulator's control table, a fixture that
// starts every test with one known instrument and no stray nodes, a notice
// that counts events, and waiting helpers.
#include "UsbSim.h"
#include "USB/USB.h"
#include "kit/TestKit.h"

#include <basalt/Library.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <vector>

namespace usbtest {

typedef std::vector<BYTE> Bytes;

// The instrument every port test starts with; the path carries it in lower case.
const wchar_t kInstance[] = L"USB\\VID_0C0A&PID_5502\\TS00000042X";
const wchar_t kSerial[] = L"TS00000042X";

// Counts every event it is told; may be told from any thread.
class CEventCounter : public corvane::INotice {
public:
    int Notify(corvane::EEventType type) override {
        ++m_counts[type];
        return 1;
    }
    long Count(corvane::EEventType type) const { return m_counts[type].load(); }

private:
    std::atomic<long> m_counts[11] = {};
};

// The simulator's table, from the very module Basalt's CFile uses.
USBSIM_API& Sim();

class CUsbTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static std::wstring PathOf(const wchar_t* serial = kSerial);
    static boost::shared_ptr<corvane::IPort> MakePort(const wchar_t* serial = kSerial);
    // The control codes the instrument received, oldest first.
    static std::vector<USBSIM_CONTROL> ControlLog(const wchar_t* serial = kSerial);
    static USBSIM_COUNTERS Counters(const wchar_t* serial = kSerial);
};

// True once condition holds; false after timeoutMs.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = 5000);
// Receives from the port until count bytes came or timeoutMs passed.
Bytes ReceiveAll(corvane::IPort& port, size_t count, DWORD timeoutMs = 5000);
// count bytes of a seeded generator.
Bytes Pattern(size_t count, unsigned seed);

using testkit::ErrorOf;

}  // namespace usbtest
