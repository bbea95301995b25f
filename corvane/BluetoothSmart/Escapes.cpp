#include "BluetoothSmart/Escapes.h"
#include "BluetoothSmart/BluetoothSmart.h"

#include <basalt/GATT.h>
#include <basalt/Variant.h>

#include <cstring>
#include <map>
#include <set>

namespace corvane {

namespace {

const wchar_t kFile[] = L"BluetoothSmart";
const wchar_t kServicesInvoke[] = L"corvane::CBluetoothSmartPortLocator::CGetSupportedServicesFunc::Invoke";
const wchar_t kValuesInvoke[] = L"corvane::CBluetoothSmartPortLocator::CGetCharacteristicValuesFunc::Invoke";

struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return basalt::CompareGUID(a, b) < 0; }
};

// An argument as text; a value of another type is converted first, one
// that does not convert reads as an empty text.
basalt::ustring TextOf(const boost::shared_ptr<IProperty>& property) {
    _variant_t value = property->GetValue();
    if (value.vt != VT_BSTR && !basalt::VariantChangeType(lcidLibrary, VT_BSTR, value, 0, false))
        return basalt::ustring();
    return basalt::ustring(value.bstrVal ? value.bstrVal : L"");
}

// The argument named, or CWinException 87 when the set lacks it.
boost::shared_ptr<IProperty> Argument(const boost::shared_ptr<IPropertySet>& args, const wchar_t* name,
                                      const wchar_t* function) {
    boost::shared_ptr<IProperty> property = Argument(args, name);
    if (!property) throw basalt::CWinException(__LINE__, kFile, function, ERROR_INVALID_PARAMETER);
    return property;
}

ULONGLONG AddressArgument(const boost::shared_ptr<IProperty>& property, const wchar_t* function) {
    ULONGLONG address = CBluetoothPortAddr::Str2BluetoothAddr(TextOf(property).c_str(), L':');
    if (address == 0) throw basalt::CWinException(__LINE__, kFile, function, ERROR_INVALID_PARAMETER);
    return address;
}

// A template argument: editable, no flags, level 0, empty.
void AddTemplate(CPropertySet& set, const wchar_t* name) {
    set.AddCopy(CProperty(name, IProperty::accessFull, VT_BSTR, 0, 0, _variant_t()));
}

}  // namespace

// ---------------------------------------------------------------------------
// "GetSupportedServices"

CBluetoothSmartPortLocator::CGetSupportedServicesFunc::CGetSupportedServicesFunc(CBluetoothSmartPortLocator* owner)
    : COwnedEscapeFunction(L"GetSupportedServices", 0, owner) {}

boost::shared_ptr<IPropertySet> CBluetoothSmartPortLocator::CGetSupportedServicesFunc::GetParameters() const {
    boost::shared_ptr<CPropertySet> parameters(new CPropertySet);
    AddTemplate(*parameters, L"Address");
    return parameters;
}

boost::shared_ptr<IPropertySet> CBluetoothSmartPortLocator::CGetSupportedServicesFunc::Invoke(
    boost::shared_ptr<IPropertySet> args) {
    ULONGLONG address = AddressArgument(Argument(args, L"Address", kServicesInvoke), kServicesInvoke);

    std::vector<DeviceDescription> devices;
    EnumerateAllDevices(devices);
    std::set<GUID, GuidLess> services;  // one entry per service however often the node names it
    for (const DeviceDescription& device : devices)
        if (device.address == address) {
            services.insert(device.services.begin(), device.services.end());
            break;
        }

    boost::shared_ptr<CPropertySet> result(new CPropertySet);
    for (const GUID& service : services) {
        wchar_t name[128];
        if (::StringFromGUID2(service, name, 128))
            result->AddCopy(CProperty(name, IProperty::accessReadOnly, VT_EMPTY, 0, 0, _variant_t()));
    }
    return result;
}

// ---------------------------------------------------------------------------
// "GetCharacteristicValues"

CBluetoothSmartPortLocator::CGetCharacteristicValuesFunc::CGetCharacteristicValuesFunc(
    CBluetoothSmartPortLocator* owner)
    : COwnedEscapeFunction(L"GetCharacteristicValues", 0, owner) {}

boost::shared_ptr<IPropertySet> CBluetoothSmartPortLocator::CGetCharacteristicValuesFunc::GetParameters() const {
    boost::shared_ptr<CPropertySet> parameters(new CPropertySet);
    AddTemplate(*parameters, L"Address");
    AddTemplate(*parameters, L"Service");
    return parameters;
}

boost::shared_ptr<IPropertySet> CBluetoothSmartPortLocator::CGetCharacteristicValuesFunc::Invoke(
    boost::shared_ptr<IPropertySet> args) {
    boost::shared_ptr<IProperty> addressArgument = Argument(args, L"Address", kValuesInvoke);
    boost::shared_ptr<IProperty> serviceArgument = Argument(args, L"Service", kValuesInvoke);
    ULONGLONG address = AddressArgument(addressArgument, kValuesInvoke);
    GUID service;
    if (!TextOf(serviceArgument).String2GUID(service))
        throw basalt::CWinException(__LINE__, kFile, kValuesInvoke, ERROR_INVALID_PARAMETER);

    basalt::ustring path;
    DWORD result = BluetoothAddress2PhysicalPath(service, address, path);
    if (result != 0) throw basalt::CWinException(__LINE__, kFile, kValuesInvoke, result);

    basalt::CMicrosoftGATT gatt;
    gatt.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_OVERLAPPED);
    std::vector<BTH_LE_GATT_CHARACTERISTIC> characteristics;
    gatt.GetAllCharacteristics(characteristics);
    // Keyed by the UUID's 16 value bytes as they stand: a 16-bit UUID lies in
    // the low half of the first field.
    std::map<GUID, std::vector<BYTE>, GuidLess> values;
    for (const BTH_LE_GATT_CHARACTERISTIC& characteristic : characteristics) {
        if (!characteristic.IsReadable) continue;
        std::vector<BYTE> value;
        gatt.GetCharacteristicValue(characteristic, value, 0);
        GUID key;
        std::memcpy(&key, &characteristic.CharacteristicUuid.Value, sizeof key);
        values[key] = value;
    }

    boost::shared_ptr<CPropertySet> set(new CPropertySet);
    for (const auto& entry : values) {
        basalt::ustring name = basalt::ustring::GUID2String(entry.first);
        SAFEARRAY* array = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(entry.second.size()));
        if (name.empty() || !array) {
            if (array) ::SafeArrayDestroy(array);
            continue;
        }
        for (LONG index = 0; index < static_cast<LONG>(entry.second.size()); ++index) {
            BYTE byte = entry.second[index];
            ::SafeArrayPutElement(array, &index, &byte);
        }
        VARIANT bytes;
        ::VariantInit(&bytes);
        bytes.vt = VT_ARRAY | VT_UI1;
        bytes.parray = array;
        _variant_t value(bytes, false);  // takes the array
        set->AddCopy(CProperty(name.c_str(), IProperty::accessReadOnly, VT_ARRAY | VT_UI1, 0, 0, value));
    }
    return set;
}

}  // namespace corvane
