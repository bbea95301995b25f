#include "UsbTestKit.h"

#include "Common.h"

#include <random>

namespace usbtest {

USBSIM_API& Sim() {
    // Loaded the way Basalt loads it, so both reach the same instruments.
    static basalt::CLibrary library(L"UsbSim.dll");
    static USBSIM_API api = {};
    static bool loaded = UsbSimLoadApi(library.Get(), &api);
    if (!loaded) throw std::runtime_error("UsbSim.dll is not beside the test (CORVANE_SIMULATORS unset?)");
    return api;
}

void CUsbTest::SetUp() {
    ASSERT_TRUE(basalt::CFile::IsSimulated()) << "the device files do not reach the simulator";
    ASSERT_EQ(0u, Sim().Reset());
    ASSERT_EQ(0u, Sim().AddInstrument(kInstance, L"Test receiver", L"TS-USB Test Receiver", USBSIM_MODE_ECHO));
}

void CUsbTest::TearDown() {
    Sim().Reset();
    Sim().RemoveNodes(nullptr);
}

std::wstring CUsbTest::PathOf(const wchar_t* serial) {
    wchar_t path[512] = {};
    EXPECT_EQ(0u, Sim().GetPath(serial, path, 512));
    return path;
}

boost::shared_ptr<corvane::IPort> CUsbTest::MakePort(const wchar_t* serial) {
    boost::shared_ptr<const corvane::IPortAddr> address(
        new corvane::CUSBPortAddr(PathOf(serial).c_str(), L"test receiver"));
    return corvane::IPort::CreateInstance(address, corvane::driverDefault);
}

std::vector<USBSIM_CONTROL> CUsbTest::ControlLog(const wchar_t* serial) {
    std::vector<USBSIM_CONTROL> entries(64);
    DWORD count = static_cast<DWORD>(entries.size());
    EXPECT_EQ(0u, Sim().GetControlLog(serial, entries.data(), &count));
    entries.resize(count);
    return entries;
}

USBSIM_COUNTERS CUsbTest::Counters(const wchar_t* serial) {
    USBSIM_COUNTERS counters = {};
    EXPECT_EQ(0u, Sim().GetCounters(serial, &counters));
    return counters;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    while (!condition()) {
        if (::GetTickCount() - start > timeoutMs) return false;
        ::Sleep(1);
    }
    return true;
}

Bytes ReceiveAll(corvane::IPort& port, size_t count, DWORD timeoutMs) {
    Bytes bytes;
    BYTE buffer[0x10000];
    WaitUntil(
        [&] {
            DWORD n = port.Recv(buffer, sizeof buffer);
            bytes.insert(bytes.end(), buffer, buffer + n);
            return bytes.size() >= count;
        },
        timeoutMs);
    return bytes;
}

Bytes Pattern(size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (BYTE& byte : bytes) byte = static_cast<BYTE>(generator());
    return bytes;
}

}  // namespace usbtest
