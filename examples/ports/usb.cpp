// A USB client: usb.exe [SERIAL] finds an instrument on the maker's driver
// (the first one, or the one with that serial number) and echoes a line.
#include "Session.h"

int wmain(int argc, wchar_t** argv) {
    boost::shared_ptr<corvane::IPortLocator> locator =
        corvane::IPortLocator::CreateInstance(corvane::IPortAddr::portUSB, corvane::driverDefault);
    if (!locator) {
        std::printf("FAILED: no USB locator\n");
        return 1;
    }
    try {
        // The USB search answers at once: the addresses wait when BeginSearch returns.
        locator->BeginSearch(0, 0);
        while (boost::shared_ptr<const corvane::IPortAddr> address = locator->GetNextAddress()) {
            std::wstring path = static_cast<const wchar_t*>(address->GetPhysicalName());
            std::printf("found %ls\n", path.c_str());
            // Interface paths carry the serial number in any case.
            std::wstring wanted = argc > 1 ? argv[1] : L"";
            ::CharUpperW(&path[0]);
            ::CharUpperW(&wanted[0]);
            if (path.find(wanted) == std::wstring::npos) continue;
            return example::Run(corvane::IPort::CreateInstance(address, corvane::driverDefault), "the USB instrument");
        }
    } catch (const basalt::CStdException& e) {
        return example::Fail("USB search", e);
    }
    std::printf("FAILED: no USB instrument found (is the driver installed, the instrument plugged in?)\n");
    return 1;
}
