#pragma once
// What the Microsoft Bluetooth tests share: a fixture that starts each case
// from an empty simulated world and an empty registry cache, and a notice
// that counts the events it is told.
#include "Shared/BluetoothCache.h"
#include "MicrosoftBluetooth/MicrosoftBluetooth.h"

#include <BthSim.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace bttest {

const ULONGLONG kDevice = 0x008025AB0001ULL;
const wchar_t kDeviceText[] = L"00:80:25:AB:00:01";
const DWORD kPaired = BTHSIM_REMEMBERED | BTHSIM_AUTHENTICATED | BTHSIM_IN_RANGE;

class BluetoothTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A paired device in range with one serial-port record on channel 1.
    void AddEchoDevice(ULONGLONG address = kDevice, DWORD behaviour = BTHSIM_SERVICE_ECHO);
    static boost::shared_ptr<const corvane::IPortAddr> Address(const wchar_t* text = kDeviceText,
                                                               const wchar_t* pin = nullptr);
};

// Counts each event type; waits for one with a limit.
class EventCounter : public corvane::INotice {
public:
    int Notify(corvane::EEventType type) override;
    unsigned Count(corvane::EEventType type) const { return m_counts[type]; }
    bool WaitFor(corvane::EEventType type, unsigned count = 1, DWORD timeoutMs = 5000) const;

private:
    std::atomic<unsigned> m_counts[11] = {};
};

// Pushes size bytes of a counting pattern through a sender and checks them
// at a receiver, both running at once; the failure names the first bad byte.
typedef std::function<DWORD(const BYTE*, DWORD)> Sender;
typedef std::function<DWORD(BYTE*, DWORD)> Receiver;
::testing::AssertionResult TransferIntact(Sender send, Receiver receive, size_t size);

// A device end (a plain socket of the simulator) as sender and receiver.
Sender SocketSender(SOCKET socket);
Receiver SocketReceiver(SOCKET socket);
// A port as sender and receiver; its receiver waits briefly when nothing is there.
Sender PortSender(corvane::IPort& port);
Receiver PortReceiver(corvane::IPort& port);

}  // namespace bttest
