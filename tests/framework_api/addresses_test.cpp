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

// A description only stores its sets: a set that holds nothing will do.
class CEmptySet : public corvane::IPropertySet {
public:
    DWORD GetCount() const override { return 0; }
    void Clear() override {}
    bool Add(boost::shared_ptr<corvane::IProperty>) override { return false; }
    boost::shared_ptr<corvane::IProperty> GetAt(DWORD) const override { return {}; }
    boost::shared_ptr<corvane::IProperty> Find(const wchar_t*) const override { return {}; }
    bool SetValueAt(DWORD, const VARIANT&) override { return false; }
    bool SetValue(const wchar_t*, const VARIANT&) override { return false; }
    bool Compare(const IPropertySet&, bool) const override { return false; }
    boost::shared_ptr<IPropertySet> Clone() const override { return {}; }
    void Load(const wchar_t*) override {}
    _bstr_t Save() const override { return L""; }
};

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
    for (const auto& address : {colons, digits, number}) {
        EXPECT_EQ(address->GetType(), IPortAddr::portBluetooth);
        EXPECT_EQ(Text(address->GetPhysicalName()), L"00:11:22:AA:BB:CC");
        EXPECT_EQ(address->GetClassOfDevice(), 0x1F00u);
        EXPECT_EQ(Text(address->GetFriendlyName()), L"Rover");
        EXPECT_EQ(Text(address->GetPassword()), L"1234");
        EXPECT_EQ(address->GetRSSI(), -50);
        EXPECT_EQ(address->GetSignalQuality(), 3u);
        EXPECT_EQ(Text(address->GetService()), L"");
        EXPECT_EQ(Text(address->GetLogin()), L"");
    }
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

TEST(BluetoothAddress, ExportedClassesCopyEveryField) {
    CBluetoothPortAddr classic(0x0A0B0C0D0E0FULL, 0x240404, L"Headset", L"1234", -70, 9);
    CBluetoothPortAddr copy(classic);
    EXPECT_EQ(copy.GetAddress(), 0x0A0B0C0D0E0FULL);
    EXPECT_EQ(copy.GetClassOfDevice(), 0x240404u);
    EXPECT_EQ(Text(copy.GetFriendlyName()), L"Headset");
    EXPECT_EQ(Text(copy.GetPassword()), L"1234");
    EXPECT_EQ(copy.GetRSSI(), -70);
    EXPECT_EQ(copy.GetSignalQuality(), 9u);

    CBluetoothSmartPortAddr smart(0x0A0B0C0D0E0FULL, 0x1F00, L"Rover");
    CBluetoothSmartPortAddr smartCopy(smart);
    const IPortAddr& reader = smartCopy;
    EXPECT_EQ(reader.GetType(), IPortAddr::portBluetoothSmart);
    EXPECT_EQ(Text(reader.GetPhysicalName()), L"0A:0B:0C:0D:0E:0F");
    EXPECT_TRUE(corvane::IsNoPinMarker(reader.GetPassword()));
    EXPECT_EQ(reader.GetRSSI(), 0);
    EXPECT_EQ(reader.GetSignalQuality(), 0u);
}

TEST(PortAddressFactory, MakesEachTypeFromTheArgumentsItUses) {
    auto serial = Make(IPortAddr::portSerial, L"COM7", L"secret", L"80");
    EXPECT_EQ(serial->GetType(), IPortAddr::portSerial);
    EXPECT_EQ(Text(serial->GetPhysicalName()), L"\\\\.\\COM7");
    EXPECT_EQ(Text(serial->GetFriendlyName()), L"Rover");
    EXPECT_EQ(Text(serial->GetPassword()), L"");
    EXPECT_EQ(Text(serial->GetService()), L"");
    EXPECT_EQ(serial->GetClassOfDevice(), 0u);
    EXPECT_EQ(serial->GetRSSI(), 0);

    auto usb = Make(IPortAddr::portUSB, L"\\\\?\\usb#vid_1234&pid_0001#42", L"secret", L"80");
    EXPECT_EQ(usb->GetType(), IPortAddr::portUSB);
    EXPECT_EQ(Text(usb->GetPhysicalName()), L"\\\\?\\usb#vid_1234&pid_0001#42");
    EXPECT_EQ(Text(usb->GetPassword()), L"");

    auto tcp = Make(IPortAddr::portTCP, L"192.168.0.10", L"secret", L"5017");
    EXPECT_EQ(tcp->GetType(), IPortAddr::portTCP);
    EXPECT_EQ(Text(tcp->GetPhysicalName()), L"192.168.0.10");
    EXPECT_EQ(Text(tcp->GetService()), L"5017");
    EXPECT_EQ(Text(tcp->GetPassword()), L"secret");
    EXPECT_EQ(Text(tcp->GetLogin()), L"");  // the login argument is not kept
    EXPECT_EQ(tcp->GetClassOfDevice(), 0u);

    auto bluetooth = Make(IPortAddr::portBluetooth, L"00:11:22:33:44:55", L"1234");
    EXPECT_EQ(bluetooth->GetType(), IPortAddr::portBluetooth);
    EXPECT_EQ(Text(bluetooth->GetPhysicalName()), L"00:11:22:33:44:55");
    EXPECT_EQ(bluetooth->GetClassOfDevice(), 0x5A020Cu);
    EXPECT_EQ(Text(bluetooth->GetPassword()), L"1234");
    EXPECT_EQ(bluetooth->GetRSSI(), -40);
    EXPECT_EQ(bluetooth->GetSignalQuality(), 7u);

    auto smart = Make(IPortAddr::portBluetoothSmart, L"001122334455", L"1234");
    EXPECT_EQ(smart->GetType(), IPortAddr::portBluetoothSmart);
    EXPECT_EQ(Text(smart->GetPhysicalName()), L"00:11:22:33:44:55");
    EXPECT_EQ(smart->GetClassOfDevice(), 0x5A020Cu);
    EXPECT_TRUE(corvane::IsNoPinMarker(smart->GetPassword()));  // a Smart address has no PIN
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

TEST(Descriptions, HandBackWhatTheyWereMadeWith) {
    boost::shared_ptr<corvane::IPropertySet> set(new CEmptySet);
    auto device = corvane::IDeviceDescription::CreateInstance(
        static_cast<corvane::IDeviceDescription::EClassOfDevice>(7), set, nullptr, set);
    EXPECT_EQ(device->GetClass(), 7u);
    EXPECT_EQ(device->GetPropertySet1(), set);
    EXPECT_FALSE(device->GetPropertySet2());
    EXPECT_EQ(device->GetPropertySet3(), set);

    const GUID spp = {0x00001101, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};
    std::wstring name = L"Rover data";
    auto server = corvane::IServerDescription::CreateInstance(spp, name.c_str(), L"corrections");
    name = L"changed";  // the description keeps its own copy
    EXPECT_EQ(server->GetKind(), 0u);
    EXPECT_TRUE(IsEqualGUID(server->GetServiceClassId(), spp));
    EXPECT_EQ(Text(server->GetServiceName()), L"Rover data");
    EXPECT_EQ(Text(server->GetComment()), L"corrections");
    EXPECT_EQ(Text(server->GetReserved()), L"");
    EXPECT_EQ(server->GetReservedWord(), 0u);
    auto unnamed = corvane::IServerDescription::CreateInstance(spp, nullptr, nullptr);
    EXPECT_EQ(Text(unnamed->GetServiceName()), L"");
}
