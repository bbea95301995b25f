// The locator's escape functions "GetSupportedServices" and
// "GetCharacteristicValues" over registered nodes and simulated devices.
#include "BleTestKit.h"

#include "Properties.h"

using namespace bletest;
using corvane::IPropertySet;

namespace {

const GUID kSensor = {0x12345678, 0x9ABC, 0x4DEF, {0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
const GUID kLongCharacteristic = {0xAABBCCDD, 0x1122, 0x4334, {0x95, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC}};

boost::shared_ptr<IPropertySet> Args(const wchar_t* address, const wchar_t* service = nullptr) {
    boost::shared_ptr<corvane::CPropertySet> args(new corvane::CPropertySet);
    args->AddCopy(corvane::CProperty(L"Address", corvane::IProperty::accessFull, VT_BSTR, 0, 0, _variant_t(address)));
    if (service)
        args->AddCopy(corvane::CProperty(L"Service", corvane::IProperty::accessFull, VT_BSTR, 0, 0, _variant_t(service)));
    return args;
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40];
    ::StringFromGUID2(guid, text, 40);
    return text;
}

Bytes BytesOf(const _variant_t& value) {
    EXPECT_EQ(VT_ARRAY | VT_UI1, value.vt);
    if (value.vt != (VT_ARRAY | VT_UI1)) return Bytes();
    LONG low = 0, high = -1;
    ::SafeArrayGetLBound(value.parray, 1, &low);
    ::SafeArrayGetUBound(value.parray, 1, &high);
    EXPECT_EQ(0, low);
    Bytes bytes;
    for (LONG i = low; i <= high; ++i) {
        BYTE byte = 0;
        ::SafeArrayGetElement(value.parray, &i, &byte);
        bytes.push_back(byte);
    }
    return bytes;
}

class CEscapeTest : public CBleTest {
protected:
    boost::shared_ptr<IPropertySet> Escape(const wchar_t* name, boost::shared_ptr<IPropertySet> args) {
        return locator.Escape(name, args);
    }
    corvane::CBluetoothSmartPortLocator locator;
};

}  // namespace

TEST_F(CEscapeTest, ParameterTemplatesNameTheArguments) {
    auto services = Escape(L"GetSupportedServices", boost::shared_ptr<IPropertySet>());
    ASSERT_EQ(1u, services->GetCount());
    auto values = Escape(L"GetCharacteristicValues", boost::shared_ptr<IPropertySet>());
    ASSERT_EQ(2u, values->GetCount());
    for (const wchar_t* name : {L"Address", L"Service"}) {
        auto property = values->Find(name);
        ASSERT_TRUE(property) << name;
        EXPECT_EQ(VT_BSTR, property->GetVarType());
        EXPECT_EQ(VT_EMPTY, property->GetValue().vt);
        EXPECT_EQ(corvane::IProperty::accessFull, property->GetAccessPolicy());
        EXPECT_EQ(0u, property->GetFlags());
        EXPECT_EQ(0, property->GetPL());
    }
    EXPECT_TRUE(services->Find(L"Address"));
}

TEST_F(CEscapeTest, SupportedServicesComeFromTheNodeOnceEach) {
    std::wstring children = L"BTHLEDEVICE\\{0000180F-0000-1000-8000-00805F9B34FB}_DEV_001122334455\\1";
    children.push_back(L'\0');
    children += L"BTHLEDEVICE\\{0000180F-0000-1000-8000-00805F9B34FB}_DEV_001122334455\\2";
    children.push_back(L'\0');
    children += L"BTHLEDEVICE\\{00001800-0000-1000-8000-00805F9B34FB}_DEV_001122334455\\3";
    children.append(2, L'\0');
    // The node alone: the device is out of range (no simulated device at all).
    ASSERT_EQ(0u, BleSimRegisterNode(L"BTHLE\\DEV_001122334455\\1", L"Away", L"001122334455", children.c_str(), nullptr));

    auto result = Escape(L"GetSupportedServices", Args(kDeviceText));
    ASSERT_EQ(2u, result->GetCount());
    for (DWORD i = 0; i < 2; ++i) {
        auto property = result->GetAt(i);
        EXPECT_EQ(VT_EMPTY, property->GetVarType());
        EXPECT_EQ(corvane::IProperty::accessReadOnly, property->GetAccessPolicy());
    }
    EXPECT_TRUE(result->Find(L"{00001800-0000-1000-8000-00805F9B34FB}"));
    EXPECT_TRUE(result->Find(L"{0000180F-0000-1000-8000-00805F9B34FB}"));

    EXPECT_EQ(0u, Escape(L"GetSupportedServices", Args(kOtherText))->GetCount()) << "an unknown device";
    EXPECT_EQ(0u, Escape(L"GetSupportedServices", Args(L"nonsense"))->GetCount());
}

TEST_F(CEscapeTest, ArgumentsAreCheckedBeforeAnythingElse) {
    basalt::ustring function;
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), ErrorOf([&] { Escape(L"GetSupportedServices", Args(L"00:00:00:00:00:00")); }, &function));
    EXPECT_EQ(basalt::ustring(L"corvane::CBluetoothSmartPortLocator::CGetSupportedServicesFunc::Invoke"), function);
    boost::shared_ptr<IPropertySet> empty(new corvane::CPropertySet);
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), ErrorOf([&] { Escape(L"GetSupportedServices", empty); }));

    const wchar_t* values = L"GetCharacteristicValues";
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), ErrorOf([&] { Escape(values, Args(kDeviceText)); }, &function));
    EXPECT_EQ(basalt::ustring(L"corvane::CBluetoothSmartPortLocator::CGetCharacteristicValuesFunc::Invoke"), function);
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), ErrorOf([&] { Escape(values, Args(L"00:00:00:00:00:00", L"{00001800-0000-1000-8000-00805F9B34FB}")); }));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), ErrorOf([&] { Escape(values, Args(kDeviceText, L"not a uuid")); }));
}

TEST_F(CEscapeTest, CharacteristicValuesOfAServiceAreReadFromTheDevice) {
    ASSERT_TRUE(BleSimAddDevice(kDevice, L"Sensor", 0));
    ASSERT_TRUE(BleSimAddService(kDevice, &kSensor));
    const BYTE level[] = {0x5A};
    const BYTE serial[] = {'S', 'N', '4', '2'};
    ASSERT_TRUE(BleSimAddCharacteristic(kDevice, &kSensor, 0x2A19, nullptr, BLESIM_PROP_READ, level, 1));
    ASSERT_TRUE(BleSimAddCharacteristic(kDevice, &kSensor, 0, &kLongCharacteristic, BLESIM_PROP_READ, serial, 4));
    ASSERT_TRUE(BleSimAddCharacteristic(kDevice, &kSensor, 0x2A00, nullptr, BLESIM_PROP_READ, nullptr, 0));
    ASSERT_TRUE(BleSimAddCharacteristic(kDevice, &kSensor, 0x2A06, nullptr, BLESIM_PROP_WRITE, level, 1));
    ASSERT_EQ(0u, BleSimRegisterNodes(kDevice));

    auto result = Escape(L"GetCharacteristicValues", Args(kDeviceText, GuidText(kSensor).c_str()));
    ASSERT_EQ(3u, result->GetCount()) << "the written-only characteristic is left out";
    // A 16-bit UUID lies in the low half of the first field.
    auto battery = result->Find(L"{00002A19-0000-0000-0000-000000000000}");
    ASSERT_TRUE(battery);
    EXPECT_EQ(VT_ARRAY | VT_UI1, battery->GetVarType());
    EXPECT_EQ(corvane::IProperty::accessReadOnly, battery->GetAccessPolicy());
    EXPECT_EQ((Bytes{0x5A}), BytesOf(battery->GetValue()));
    auto name = result->Find(L"{00002A00-0000-0000-0000-000000000000}");
    ASSERT_TRUE(name);
    EXPECT_TRUE(BytesOf(name->GetValue()).empty()) << "an empty value is an array of 0 bytes";
    auto longOne = result->Find(L"{AABBCCDD-1122-4334-9566-778899AABBCC}");
    ASSERT_TRUE(longOne);
    EXPECT_EQ((Bytes{'S', 'N', '4', '2'}), BytesOf(longOne->GetValue()));

    // A name reads back as a GUID: a client may pass it on.
    GUID back;
    EXPECT_TRUE(basalt::ustring(result->GetAt(0)->GetName()).String2GUID(back));
}

TEST_F(CEscapeTest, CharacteristicValuesNameWhatIsMissing) {
    const wchar_t* values = L"GetCharacteristicValues";
    EXPECT_EQ(DWORD(ERROR_NOT_FOUND), ErrorOf([&] { Escape(values, Args(kDeviceText, GuidText(kSensor).c_str())); }));
    EXPECT_EQ(DWORD(ERROR_NOT_FOUND), ErrorOf([&] { Escape(values, Args(L"garbage", GuidText(kSensor).c_str())); }));
    AddLinkDevice(kDevice);
    basalt::ustring function;
    EXPECT_EQ(632u, ErrorOf([&] { Escape(values, Args(kDeviceText, GuidText(kSensor).c_str())); }, &function));
    EXPECT_EQ(basalt::ustring(L"corvane::CBluetoothSmartPortLocator::CGetCharacteristicValuesFunc::Invoke"), function);

    // A read that fails leaves with the stack's error and no partial result.
    BleSimSetFailure(kDevice, BLESIM_FAIL_READ, HRESULT_FROM_WIN32(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(DWORD(ERROR_SEM_TIMEOUT), ErrorOf([&] { Escape(values, Args(kDeviceText, GuidText(kGenericAccess).c_str())); }, &function));
    EXPECT_EQ(basalt::ustring(L"BluetoothGATTGetCharacteristicValue"), function);
}
