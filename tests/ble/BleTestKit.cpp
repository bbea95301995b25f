#include "BleTestKit.h"

namespace bletest {

namespace {

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

void CBleTest::SetUp() {
    BleSimReset();
    RemoveNodes();
}

void CBleTest::TearDown() {
    RemoveNodes();
    BleSimReset();
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
    Bytes received;
    BYTE buffer[4096];
    DWORD deadline = ::GetTickCount() + timeoutMs;
    while (received.size() < count && static_cast<LONG>(deadline - ::GetTickCount()) > 0) {
        DWORD got = port.Recv(buffer, sizeof buffer);
        if (got == 0) ::Sleep(2);
        received.insert(received.end(), buffer, buffer + got);
    }
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
