#include "ToshibaTestKit.h"

#include "BluetoothCache.h"
#include "kit/LibraryScope.h"

#include <basalt/Registry.h>

namespace tostest {

CTosBtSim& Sim() {
    static CTosBtSim sim;
    return sim;
}

void ToshibaTest::SetUp() {
    ASSERT_TRUE(Sim().IsLoaded()) << "TosBtApi.dll is not the simulator: run with CORVANE_SIMULATORS=1";
    Sim().TosBtSimReset();
    ::RegDeleteTreeW(HKEY_CURRENT_USER, corvane::kBluetoothCacheKey);
}

void ToshibaTest::TearDown() { Sim().TosBtSimReset(); }

boost::shared_ptr<const corvane::IPortAddr> ToshibaTest::Address(const wchar_t* text) {
    return corvane::CBluetoothPortAddr::CreateInstance(
        corvane::CBluetoothPortAddr::Str2BluetoothAddr(text, L':'), 0, L"", nullptr, 0, 0);
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > timeoutMs) return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
    return true;
}

}  // namespace tostest
