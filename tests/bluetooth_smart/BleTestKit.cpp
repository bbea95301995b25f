#include "BleTestKit.h"

#include <cstdio>

namespace bletest {

namespace {

const DWORD kHangMs = 90000;
HANDLE g_watchdog = nullptr;

void CALLBACK Hung(void*, BOOLEAN) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::fprintf(stderr, "\n%s.%s hung: still running after %lu ms\n", test ? test->test_suite_name() : "?",
                 test ? test->name() : "?", kHangMs);
    std::fflush(stderr);
    ::ExitProcess(3);
}

// Every node these tests (and the simulator's helper) register.
void RemoveNodes() {
    for (const wchar_t* prefix : {L"BTHLE\\", L"BTHLEDEVICE\\", L"BTH\\MS_BTHLE\\", L"USB\\VID_BLETEST", L"ROOT\\BLETEST"})
        BleSimRemoveNodes(prefix);
}

}  // namespace

void CEventCounter::RegisterForAll(corvane::INotifier& notifier, const boost::shared_ptr<CEventCounter>& self) {
    for (int type = corvane::eventDataAvailable; type <= corvane::eventTerminated; ++type)
        notifier.RegisterNotice(self, static_cast<corvane::EEventType>(type));
}

bool CEventCounter::WaitFor(corvane::EEventType type, long count, DWORD timeoutMs) {
    DWORD deadline = ::GetTickCount() + timeoutMs;
    while (Count(type) < count) {
        LONG remaining = static_cast<LONG>(deadline - ::GetTickCount());
        if (remaining <= 0 || ::WaitForSingleObject(m_changed.GetHandle(), static_cast<DWORD>(remaining)) != WAIT_OBJECT_0)
            return Count(type) >= count;
    }
    return true;
}

CEventWait::CEventWait(corvane::INotifier& notifier, corvane::EEventType type)
    : m_notifier(notifier), m_type(type), m_notice(corvane::INotice::CreateInstance(m_overlapped)) {
    EXPECT_TRUE(m_notifier.RegisterNotice(m_notice, m_type));
}

CEventWait::~CEventWait() { m_notifier.DeregisterNotice(m_notice, m_type); }

bool CEventWait::Wait(DWORD timeoutMs) {
    return ::WaitForSingleObject(m_overlapped.GetEventHandle(), timeoutMs) == WAIT_OBJECT_0;
}

void CBleTest::SetUp() {
    ::CreateTimerQueueTimer(&g_watchdog, nullptr, Hung, nullptr, kHangMs, 0, WT_EXECUTEONLYONCE);
    BleSimReset();
    RemoveNodes();
}

void CBleTest::TearDown() {
    RemoveNodes();
    BleSimReset();
    if (g_watchdog) ::DeleteTimerQueueTimer(nullptr, g_watchdog, INVALID_HANDLE_VALUE);
    g_watchdog = nullptr;
}

void CBleTest::AddLinkDevice(ULONGLONG address, DWORD flags) {
    ASSERT_TRUE(BleSimAddDevice(address, L"Sim Receiver", flags));
    ASSERT_EQ(0u, BleSimRegisterNodes(address));
}

boost::shared_ptr<const corvane::IPortAddr> CBleTest::Address(const wchar_t* text) {
    return corvane::CBluetoothSmartPortAddr::CreateInstance(text, 0, L"Sim Receiver");
}

boost::shared_ptr<corvane::IPort> CBleTest::MakePort(const wchar_t* text) {
    return corvane::CreateBluetoothSmartPort(Address(text));
}

void CRawLinkTest::SetUp() {
    CBleTest::SetUp();
    AddLinkDevice(kDevice);
    ASSERT_TRUE(BleSimSetRawMode(kDevice, TRUE));
    port = MakePort();
    port->Open();
}

void CRawLinkTest::TearDown() {
    port.reset();
    CBleTest::TearDown();
}

Bytes CRawLinkTest::Take(DWORD* flags, DWORD timeoutMs) {
    BYTE frame[64];
    DWORD size = BleSimTakeFrame(kDevice, frame, sizeof frame, flags, timeoutMs);
    EXPECT_NE(0u, size) << "the port wrote nothing within " << timeoutMs << " ms";
    return Bytes(frame, frame + std::min<DWORD>(size, sizeof frame));
}

bool CRawLinkTest::Quiet(DWORD timeoutMs) {
    BYTE frame[64];
    return BleSimTakeFrame(kDevice, frame, sizeof frame, nullptr, timeoutMs) == 0;
}

void CRawLinkTest::Inject(const Bytes& value, USHORT attribute) {
    ASSERT_TRUE(BleSimInjectValue(kDevice, attribute, value.data(), static_cast<DWORD>(value.size())));
}

void CRawLinkTest::LinkUp(const Bytes& parameters) {
    ASSERT_EQ(Bytes{0xC0}, Take());
    Bytes frame = {0xC1};
    frame.insert(frame.end(), parameters.begin(), parameters.end());
    Inject(frame);
    Bytes confirm = Take();
    ASSERT_EQ(4u, confirm.size());
    ASSERT_EQ(0xC2, confirm[0]);
    Inject({0xC6});
}

Bytes ReceiveAll(corvane::IPort& port, size_t count, DWORD timeoutMs) {
    CEventWait data(port, corvane::eventDataAvailable);
    Bytes received;
    BYTE buffer[4096];
    DWORD deadline = ::GetTickCount() + timeoutMs;
    for (;;) {
        data.Reset();  // before emptying the stream: bytes after that set it again
        for (DWORD got; (got = port.Recv(buffer, sizeof buffer)) != 0;)
            received.insert(received.end(), buffer, buffer + got);
        if (received.size() >= count) break;
        LONG remaining = static_cast<LONG>(deadline - ::GetTickCount());
        if (remaining <= 0 || !data.Wait(static_cast<DWORD>(remaining))) {
            ADD_FAILURE() << "no eventDataAvailable within " << timeoutMs << " ms: " << received.size() << " of "
                          << count << " bytes arrived";
            break;
        }
    }
    return received;
}

Bytes DeviceReceiveAll(ULONGLONG address, size_t count, DWORD timeoutMs) {
    DWORD held = BleSimWaitDeviceReceived(address, static_cast<DWORD>(count), timeoutMs);
    EXPECT_GE(held, count) << "the device received " << held << " of " << count << " bytes within " << timeoutMs
                           << " ms";
    Bytes received(held);
    received.resize(BleSimDeviceReceive(address, received.data(), static_cast<DWORD>(received.size())));
    return received;
}

Bytes Pattern(size_t count, unsigned seed) {
    Bytes bytes(count);
    unsigned state = seed * 2654435761u + 1;
    for (BYTE& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<BYTE>(state >> 16);
    }
    return bytes;
}

bool RunningOnWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace bletest
