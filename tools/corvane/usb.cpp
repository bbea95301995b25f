// USB in corvane.exe:
//   corvane list usb                 the instruments the USB locator finds
//   corvane open usb PATH|SERIAL     a terminal on an instrument's bulk pipes (the
//                                    open command's transport table takes MakeUsbAddress)
// SERIAL is the 11-character serial number the listing shows between < and >,
// in any letter case; the locator finds its interface path.
#include "List.h"

#include <cwctype>

namespace tool {

namespace {

const ListRegistration s_list({L"usb", L"instruments on the USB driver", corvane::IPortAddr::portUSB,
                               corvane::driverDefault});

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// The third "#" part of an interface path, upper case; empty for other paths.
std::wstring SerialOf(const std::wstring& path) {
    size_t first = path.find(L'#');
    size_t second = first == std::wstring::npos ? first : path.find(L'#', first + 1);
    size_t third = second == std::wstring::npos ? second : path.find(L'#', second + 1);
    if (third == std::wstring::npos) return std::wstring();
    return Upper(path.substr(second + 1, third - second - 1));
}

}  // namespace

boost::shared_ptr<const corvane::IPortAddr> MakeUsbAddress(const std::wstring& target) {
    typedef boost::shared_ptr<const corvane::IPortAddr> AddressPtr;
    // A device path is taken as it is.
    if (target.compare(0, 2, L"\\\\") == 0)
        return corvane::IPortAddr::CreateInstance(corvane::IPortAddr::portUSB, 0, target.c_str(), target.c_str(),
                                                  nullptr, nullptr, 0, 0, nullptr);
    boost::shared_ptr<corvane::IPortLocator> locator =
        corvane::IPortLocator::CreateInstance(corvane::IPortAddr::portUSB, corvane::driverDefault);
    if (!locator) {
        Err(L"corvane open usb: this library has no USB locator\n");
        return AddressPtr();
    }
    locator->BeginSearch(0, 0);
    while (AddressPtr address = locator->GetNextAddress())
        if (SerialOf(std::wstring(address->GetPhysicalName())) == Upper(target)) return address;
    Err(L"corvane open usb: no instrument with serial number '" + target + L"' (see corvane list usb)\n");
    return AddressPtr();
}

}  // namespace tool
