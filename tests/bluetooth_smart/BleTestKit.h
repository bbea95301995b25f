#pragma once
// What the Bluetooth Smart tests share: a fixture that starts every test with
// an empty simulated stack and no device nodes and ends a hung test by name,
// a notice that counts events, and waiting helpers around a port that wait on
// the port's own notices (a notice that fails to wake its waiter makes the
// wait run into its deadline and fail, which polling would hide).
#include "BleSim.h"
#include "BluetoothSmart/BluetoothSmart.h"
#include "kit/TestKit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace bletest {

typedef std::vector<BYTE> Bytes;

const ULONGLONG kDevice = 0x001122334455ull;
const wchar_t kDeviceText[] = L"00:11:22:33:44:55";
const ULONGLONG kOther = 0x0A0B0C0D0E0Full;
const wchar_t kOtherText[] = L"0A:0B:0C:0D:0E:0F";
// The link service, and Generic Access in its full form.
const GUID kLinkService = {0xF000A050, 0x008B, 0x4000, {0xB0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
const GUID kGenericAccess = {0x00001800, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};

// Counts every event it is told; may be told from any thread.
class CEventCounter : public corvane::INotice {
public:
    CEventCounter() : m_changed(false, false) {}
    int Notify(corvane::EEventType type) override {
        ++m_counts[type];
        m_changed.Set();
        return 1;
    }
    long Count(corvane::EEventType type) const { return m_counts[type].load(); }
    void RegisterForAll(corvane::INotifier& notifier, const boost::shared_ptr<CEventCounter>& self);
    // Waits until type was told at least count times; false after timeoutMs.
    bool WaitFor(corvane::EEventType type, long count, DWORD timeoutMs);

private:
    std::atomic<long> m_counts[11] = {};
    basalt::CEvent m_changed;  // auto reset: a notification came
};

// Waits for one event type of a port through the library's OVERLAPPED
// notice: its event is set by the notice alone. Register before the action
// that fires the event.
class CEventWait {
public:
    CEventWait(corvane::INotifier& notifier, corvane::EEventType type);
    ~CEventWait();
    CEventWait(const CEventWait&) = delete;
    CEventWait& operator=(const CEventWait&) = delete;
    void Reset() { m_overlapped.GetEvent().Reset(); }
    // True when the event was fired within timeoutMs (or since the last Reset).
    bool Wait(DWORD timeoutMs);

private:
    corvane::INotifier& m_notifier;
    corvane::EEventType m_type;
    basalt::COverlapped m_overlapped;
    boost::shared_ptr<corvane::INotice> m_notice;
};

// Every test starts and ends with the simulator empty and no node of ours.
// A test still running after a minute and a half ends the program with its
// name, rather than hanging the whole run until CTest kills it unnamed.
class CBleTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A simulated device with the link service, registered with SetupAPI.
    void AddLinkDevice(ULONGLONG address, DWORD flags = BLESIM_DEVICE_DATA_SERVICE);
    static boost::shared_ptr<const corvane::IPortAddr> Address(const wchar_t* text = kDeviceText);
    static boost::shared_ptr<corvane::IPort> MakePort(const wchar_t* text = kDeviceText);
};

// A port to a device in raw mode, whose link the test plays frame by frame.
class CRawLinkTest : public CBleTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // The next value the port writes, with its flags; fails the test on a time-out.
    Bytes Take(DWORD* flags = nullptr, DWORD timeoutMs = 2000);
    // True when the port writes nothing within timeoutMs.
    bool Quiet(DWORD timeoutMs);
    void Inject(const Bytes& value, USHORT attribute = 0);
    // Connect request, parameters, confirm, accepted.
    void LinkUp(const Bytes& parameters = {0x00, 0x01, 0x10, 0x20, 0x50, 0xFF});

    boost::shared_ptr<corvane::IPort> port;
};

// Receives from the port until count bytes came, waking on
// eventDataAvailable; fails the test, naming what arrived, if the event does
// not come within timeoutMs.
Bytes ReceiveAll(corvane::IPort& port, size_t count, DWORD timeoutMs);
// Waits for the simulated device to hold count received bytes (on the
// simulator's event); fails the test when it does not within timeoutMs.
Bytes DeviceReceiveAll(ULONGLONG address, size_t count, DWORD timeoutMs);
using testkit::ErrorOf;
Bytes Pattern(size_t count, unsigned seed);
// Wine's SetupAPI never reports a device node started.
bool RunningOnWine();

}  // namespace bletest
