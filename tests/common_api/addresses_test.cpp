// Addresses as a client builds and reads them through Corvane.dll.
#include <Corvane.h>

#include <gtest/gtest.h>

#include <random>

using corvane::CBluetoothPortAddr;
using corvane::CBluetoothSmartPortAddr;
using corvane::IPortAddr;
using corvane::invalidBluetoothAddress;

namespace {
const ULONGLONG k001122334455 = 0x001122334455ULL;

ULONGLONG Read(const wchar_t* text, wchar_t separator) {
    return CBluetoothPortAddr::Str2BluetoothAddr(text, separator);
}

std::wstring Text(const _bstr_t& text) {
    const wchar_t* p = text;
    return std::wstring(p ? p : L"", text.length());
}

boost::shared_ptr<const IPortAddr> Make(IPortAddr::EPortType type, const wchar_t* physical,
                                        const wchar_t* password = L"", const wchar_t* service = L"") {
    return IPortAddr::CreateInstance(type, 0x5A020C, physical, L"Rover", L"someone", password, -40,
                                     7, service);
}
}  // namespace

TEST(BluetoothAddressText, ReadsTheFormsUsersType) {
    EXPECT_EQ(Read(L"00:11:22:33:44:55", L':'), k001122334455);
    EXPECT_EQ(Read(L"00 : 11 :22: 33 :44 : 55", L':'), k001122334455);
    EXPECT_EQ(Read(L"  00:11:22:33:44:55  ", L':'), k001122334455);
    EXPECT_EQ(Read(L"00::11:22:33:44:55", L':'), k001122334455);  // the empty part is dropped
    EXPECT_EQ(Read(L":00:11:22:33:44:55:", L':'), k001122334455);
    EXPECT_EQ(Read(L"aa:bb:cc:dd:ee:ff", L':'), 0xAABBCCDDEEFFULL);
    EXPECT_EQ(Read(L"0:1:2:3:4:5", L':'), 0x000102030405ULL);
    EXPECT_EQ(Read(L"00-11-22-33-44-55", L'-'), k001122334455);
    EXPECT_EQ(Read(L"001122334455", 0), k001122334455);
    EXPECT_EQ(Read(L"0011223344556677", 0), k001122334455);  // digits after the twelfth are ignored
    EXPECT_EQ(Read(L"  001122334455", 0), k001122334455);
    EXPECT_EQ(Read(L"aAbBcCdDeEfF", 0), 0xAABBCCDDEEFFULL);
    // Digits are taken two at a time, blanks between pairs skipped; a short
    // last pair is a byte of its own.
    EXPECT_EQ(Read(L"00 11 22 33 44 55", 0), k001122334455);
    EXPECT_EQ(Read(L"00112233445", 0), 0x001122334405ULL);
}

TEST(BluetoothAddressText, RefusesWhatIsNotAnAddress) {
    for (const wchar_t* text : {L"00:11:22:33:44", L"00:11:22:33:44:55:66", L"", L":::::",
                                L"  :  :  :  :  :  ", L"00;11;22;33;44;55", L"Rover"})
        EXPECT_EQ(Read(text, L':'), invalidBluetoothAddress) << text;
    for (const wchar_t* text : {L"", L"0011223344", L"xx1122334455", L"00:11:22:33:44:55"})
        EXPECT_EQ(Read(text, 0), invalidBluetoothAddress) << text;
    EXPECT_EQ(Read(nullptr, L':'), invalidBluetoothAddress);
    EXPECT_EQ(Read(nullptr, 0), invalidBluetoothAddress);
}

TEST(BluetoothAddressText, PartsAreReadAsFarAsTheyAreHexadecimal) {
    // A part ends at its first non-digit; a part without digits counts as 0.
    EXPECT_EQ(Read(L"00:11:22:33:44:5z", L':'), 0x001122334405ULL);
    EXPECT_EQ(Read(L"zz:11:22:33:44:55", L':'), 0x001122334455ULL);
    // A part is not cut to one byte: its high bits overlap the part before.
    EXPECT_EQ(Read(L"00:11:22:33:44:155", L':'), 0x001122334555ULL);
    EXPECT_EQ(Read(L"00:00:00:00:00:FFFFFFFF", L':'), 0xFFFFFFFFULL);
}

TEST(BluetoothAddressText, PrintsBytesMostSignificantFirst) {
    EXPECT_EQ(CBluetoothPortAddr::BluetoothAddr2Str(0xA1B2C3D4E5F6ULL, L'-'), L"A1-B2-C3-D4-E5-F6");
    EXPECT_EQ(CBluetoothPortAddr::BluetoothAddr2Str(0xA1B2C3D4E5F6ULL, 0), L"A1B2C3D4E5F6");
    EXPECT_EQ(CBluetoothPortAddr::BluetoothAddr2Str(0x000102030405ULL, L':'), L"00:01:02:03:04:05");
    EXPECT_EQ(CBluetoothPortAddr::BluetoothAddr2Str(invalidBluetoothAddress, L':'), L"FF:FF:FF:FF:FF:FF");
    EXPECT_EQ(CBluetoothPortAddr::BluetoothAddr2Str(0xABCD001122334455ULL, L':'), L"00:11:22:33:44:55");
    EXPECT_EQ(CBluetoothPortAddr::BluetoothAddr2Str(0x010203040506ULL, L'%'), L"01%02%03%04%05%06");
}

TEST(BluetoothAddressText, RandomAddressesSurviveBothFormsAndStrayBlanks) {
    std::mt19937_64 random(20240611);
    for (int i = 0; i < 2000; ++i) {
        ULONGLONG address = random() & 0xFFFFFFFFFFFFULL;
        wchar_t separator = L":-._ "[i % 5];
        std::wstring text = CBluetoothPortAddr::BluetoothAddr2Str(address, separator);
        ASSERT_EQ(Read(text.c_str(), separator), address) << text;
        ASSERT_EQ(Read(CBluetoothPortAddr::BluetoothAddr2Str(address, 0).c_str(), 0), address);
        if (separator == L':') {
            std::wstring padded;
            for (wchar_t c : text) padded += c == L':' ? (i % 2 ? L" : " : L"::") : std::wstring(1, c);
            ASSERT_EQ(Read(padded.c_str(), L':'), address) << padded;
        }
    }
}

TEST(BluetoothAddress, ReadsItsTextWithOrWithoutSeparators) {
    auto colons = CBluetoothPortAddr::CreateInstance(L"00:11:22:aa:bb:cc", 0x1F00, L"Rover", L"1234", -50, 3);
    auto digits = CBluetoothPortAddr::CreateInstance(L"001122AABBCC", 0x1F00, L"Rover", L"1234", -50, 3);
    auto number = CBluetoothPortAddr::CreateInstance(0x001122AABBCCULL, 0x1F00, L"Rover", L"1234", -50, 3);
    for (const auto& address : {colons, digits, number})
        EXPECT_EQ(Text(address->GetPhysicalName()), L"00:11:22:AA:BB:CC");
    // Unreadable text still makes an address, one that names no device.
    auto bad = CBluetoothPortAddr::CreateInstance(L"Rover", 0, L"", nullptr, 0, 0);
    EXPECT_EQ(Text(bad->GetPhysicalName()), L"FF:FF:FF:FF:FF:FF");
}

TEST(BluetoothAddress, KeepsThePinExactlyAndMarksItsAbsence) {
    auto none = CBluetoothPortAddr::CreateInstance(0x1ULL, 0, L"", nullptr, 0, 0);
    EXPECT_EQ(none->GetPassword().length(), 1u);
    EXPECT_EQ(static_cast<const wchar_t*>(none->GetPassword())[0], L'\0');
    EXPECT_TRUE(corvane::IsNoPinMarker(none->GetPassword()));

    auto empty = CBluetoothPortAddr::CreateInstance(0x1ULL, 0, L"", L"", 0, 0);
    EXPECT_EQ(empty->GetPassword().length(), 0u);
    EXPECT_FALSE(corvane::IsNoPinMarker(empty->GetPassword()));

    auto four = CBluetoothPortAddr::CreateInstance(0x1ULL, 0, L"", L"0000", 0, 0);
    EXPECT_EQ(Text(four->GetPassword()), L"0000");
    EXPECT_FALSE(corvane::IsNoPinMarker(four->GetPassword()));

    // A null name is an empty one.
    auto unnamed = CBluetoothPortAddr::CreateInstance(0x1ULL, 0, nullptr, nullptr, 0, 0);
    EXPECT_EQ(Text(unnamed->GetFriendlyName()), L"");
}

// Each type keeps only what it uses: no password, service or radio values
// for serial and USB, no class or login for TCP, no PIN for Bluetooth Smart.
TEST(PortAddressFactory, EachTypeKeepsOnlyTheArgumentsItUses) {
    auto serial = Make(IPortAddr::portSerial, L"COM7", L"secret", L"80");
    EXPECT_EQ(serial->GetType(), IPortAddr::portSerial);
    EXPECT_EQ(Text(serial->GetPassword()) + Text(serial->GetService()), L"");
    EXPECT_EQ(serial->GetClassOfDevice(), 0u);
    EXPECT_EQ(serial->GetRSSI(), 0);
    auto usb = Make(IPortAddr::portUSB, L"\\\\?\\usb#vid_1234&pid_0001#42", L"secret", L"80");
    EXPECT_EQ(Text(usb->GetPhysicalName()), L"\\\\?\\usb#vid_1234&pid_0001#42");
    EXPECT_EQ(Text(usb->GetPassword()), L"");

    auto tcp = Make(IPortAddr::portTCP, L"192.168.0.10", L"secret", L"5017");
    EXPECT_EQ(Text(tcp->GetService()), L"5017");
    EXPECT_EQ(Text(tcp->GetPassword()), L"secret");
    EXPECT_EQ(Text(tcp->GetLogin()), L"");
    EXPECT_EQ(tcp->GetClassOfDevice(), 0u);

    auto bluetooth = Make(IPortAddr::portBluetooth, L"00:11:22:33:44:55", L"1234");
    EXPECT_EQ(Text(bluetooth->GetPassword()), L"1234");
    EXPECT_EQ(bluetooth->GetClassOfDevice(), 0x5A020Cu);
    EXPECT_EQ(bluetooth->GetRSSI(), -40);
    auto smart = Make(IPortAddr::portBluetoothSmart, L"001122334455", L"1234");
    EXPECT_EQ(Text(smart->GetPhysicalName()), L"00:11:22:33:44:55");
    EXPECT_TRUE(corvane::IsNoPinMarker(smart->GetPassword()));
    EXPECT_EQ(smart->GetRSSI(), 0);

    EXPECT_FALSE(Make(static_cast<IPortAddr::EPortType>(5), L"COM1"));
    EXPECT_FALSE(Make(static_cast<IPortAddr::EPortType>(-1), L"COM1"));
}

TEST(PortAddressFactory, SerialNamesGetTheDevicePrefixOnce) {
    EXPECT_EQ(Text(Make(IPortAddr::portSerial, L"COM7")->GetPhysicalName()), L"\\\\.\\COM7");
    EXPECT_EQ(Text(Make(IPortAddr::portSerial, L"\\\\.\\COM7")->GetPhysicalName()), L"\\\\.\\COM7");
    EXPECT_EQ(Text(Make(IPortAddr::portSerial, L"\\\\.\\com7")->GetPhysicalName()), L"\\\\.\\com7");
    EXPECT_EQ(Text(Make(IPortAddr::portSerial, L"\\\\")->GetPhysicalName()), L"\\\\.\\\\\\");
    EXPECT_EQ(Text(Make(IPortAddr::portSerial, L"")->GetPhysicalName()), L"\\\\.\\");
}

TEST(PortAddressFactory, NullTextsAreEmptyNotFatal) {
    auto tcp = IPortAddr::CreateInstance(IPortAddr::portTCP, 0, nullptr, nullptr, nullptr, nullptr,
                                         0, 0, nullptr);
    ASSERT_TRUE(tcp);
    EXPECT_EQ(Text(tcp->GetPhysicalName()), L"");
    EXPECT_EQ(Text(tcp->GetService()), L"");
    auto bluetooth = IPortAddr::CreateInstance(IPortAddr::portBluetooth, 0, nullptr, nullptr,
                                               nullptr, nullptr, 0, 0, nullptr);
    ASSERT_TRUE(bluetooth);
    EXPECT_EQ(Text(bluetooth->GetPhysicalName()), L"FF:FF:FF:FF:FF:FF");
    EXPECT_TRUE(corvane::IsNoPinMarker(bluetooth->GetPassword()));
}

