// Bluetooth Smart in corvane.exe:
//   corvane list ble                 paired Bluetooth Smart devices (the list command's locator)
//   corvane services ADDRESS         the GATT services a device node names
//   corvane read ADDRESS SERVICE     every readable characteristic of one service
//   corvane open ble ADDRESS         a terminal on the link (the open command's
//                                    transport table takes MakeBluetoothSmartAddress)
// SERVICE is a UUID in braces or the four hexadecimal digits of an assigned one (180F).
#include "List.h"

#include <cwctype>

namespace tool {

namespace {

const ListRegistration s_list({L"ble", L"Bluetooth Smart devices", corvane::IPortAddr::portBluetoothSmart,
                               corvane::driverDefault});

// The escape's parameter template with its arguments filled in.
boost::shared_ptr<corvane::IPropertySet> Arguments(corvane::IPortLocator& locator, const wchar_t* function,
                                                   const std::vector<std::pair<const wchar_t*, std::wstring>>& values) {
    boost::shared_ptr<corvane::IPropertySet> args = locator.Escape(function, boost::shared_ptr<corvane::IPropertySet>());
    for (const auto& value : values) args->SetValue(value.first, _variant_t(value.second.c_str()));
    return args;
}

// The library's Bluetooth Smart locator and addresses read the colon form.
bool IsAddress(const std::wstring& command, const std::wstring& text) {
    ULONGLONG ignored = 0;
    return ReadDeviceAddress(command, text, ignored);
}

std::wstring ColonForm(const std::wstring& text) {
    ULONGLONG device = 0;
    ReadDeviceAddress(L"", text, device);
    return std::wstring(corvane::CBluetoothPortAddr::BluetoothAddr2Str(device, L':'));
}

// 180F gives the assigned number's full UUID; anything else is passed as it is.
std::wstring ServiceText(const std::wstring& text) {
    bool shortForm = text.size() == 4;
    for (wchar_t c : text) shortForm = shortForm && std::iswxdigit(c);
    if (!shortForm) return text;
    std::wstring upper = text;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    return L"{0000" + upper + L"-0000-1000-8000-00805F9B34FB}";
}

// The escape names a characteristic with an assigned number by that number
// in an otherwise zero UUID, {00002A00-0000-0000-0000-000000000000}; users
// look up the full form of the Bluetooth base UUID, and the number itself.
const wchar_t kZeroTail[] = L"-0000-0000-0000-000000000000}";

std::wstring AssignedNumber(const std::wstring& name) {
    bool assigned = name.size() == 38 && name.compare(0, 5, L"{0000") == 0 && name.compare(9, 29, kZeroTail) == 0;
    for (size_t i = 5; assigned && i < 9; ++i) assigned = std::iswxdigit(name[i]) != 0;
    return assigned ? name.substr(5, 4) : L"";
}

std::wstring Hex(const std::vector<BYTE>& bytes) {
    std::wstring text;
    for (BYTE byte : bytes) {
        wchar_t pair[4];
        swprintf(pair, 4, text.empty() ? L"%02X" : L" %02X", byte);
        text += pair;
    }
    return text;
}

// The value as text when every byte is printable ASCII, else empty.
// The value as text when every byte is printable, else empty; quoted in a
// table (where the quotes show where it starts and ends), bare in JSON.
std::wstring Printable(const std::vector<BYTE>& bytes, bool quoted) {
    std::wstring text;
    for (BYTE byte : bytes) {
        if (byte < 0x20 || byte > 0x7E) return L"";
        text.push_back(static_cast<wchar_t>(byte));
    }
    return text.empty() || !quoted ? text : L"\"" + text + L"\"";
}

std::vector<BYTE> BytesOf(const _variant_t& value) {
    std::vector<BYTE> bytes;
    if (value.vt != (VT_ARRAY | VT_UI1) || !value.parray) return bytes;
    LONG low = 0, high = -1;
    ::SafeArrayGetLBound(value.parray, 1, &low);
    ::SafeArrayGetUBound(value.parray, 1, &high);
    for (LONG i = low; i <= high; ++i) {
        BYTE byte = 0;
        ::SafeArrayGetElement(value.parray, &i, &byte);
        bytes.push_back(byte);
    }
    return bytes;
}

int Services(const Args& arguments) {
    Args args = arguments;
    const bool json = TakeJsonOption(args);
    if (args.size() != 1) {
        Err(L"usage: corvane services ADDRESS [--json]   (ADDRESS as 00:11:22:33:44:55 or 001122334455)\n");
        return exitUsage;
    }
    if (!IsAddress(L"services", args[0])) return exitUsage;
    corvane::CBluetoothSmartPortLocator locator;
    SetFailureHint(L"cannot read the services of " + args[0] + L"; corvane list ble shows the paired devices");
    boost::shared_ptr<corvane::IPropertySet> result =
        locator.Escape(L"GetSupportedServices", Arguments(locator, L"GetSupportedServices", {{L"Address", ColonForm(args[0])}}));
    if (result->GetCount() == 0) {
        Err(L"no services known for " + args[0] + L" (is the device paired?)\n");
        if (json) PrintTable({{L"SERVICE"}});
        return exitNothing;
    }
    // One UUID a line, for scripts; JSON has a heading for it.
    Rows rows = {{L"SERVICE"}};
    for (DWORD i = 0; i < result->GetCount(); ++i) {
        if (json) rows.push_back({std::wstring(result->GetAt(i)->GetName())});
        else Out(std::wstring(result->GetAt(i)->GetName()) + L"\n");
    }
    if (json) PrintTable(rows);
    return exitDone;
}

int Read(const Args& arguments) {
    Args args = arguments;
    const bool json = TakeJsonOption(args);
    if (args.size() != 2) {
        Err(L"usage: corvane read ADDRESS SERVICE [--json]   (SERVICE as {UUID} or 180F)\n");
        return exitUsage;
    }
    if (!IsAddress(L"read", args[0])) return exitUsage;
    corvane::CBluetoothSmartPortLocator locator;
    SetFailureHint(L"no service " + args[1] + L" on " + args[0] + L"; corvane services " + args[0] +
                   L" lists them");
    boost::shared_ptr<corvane::IPropertySet> result;
    try {
        result = locator.Escape(L"GetCharacteristicValues",
                                Arguments(locator, L"GetCharacteristicValues",
                                          {{L"Address", ColonForm(args[0])}, {L"Service", ServiceText(args[1])}}));
    } catch (const basalt::CWinException& e) {
        // The device itself is unknown, rather than the service.
        if (e.GetErrorCode() == ERROR_NOT_FOUND)
            SetFailureHint(L"no device " + args[0] + L" is known; corvane list ble shows the paired devices");
        throw;
    }
    Rows rows = {{L"CHARACTERISTIC", L"NUMBER", L"VALUE", L"TEXT"}};
    for (DWORD i = 0; i < result->GetCount(); ++i) {
        boost::shared_ptr<corvane::IProperty> property = result->GetAt(i);
        std::vector<BYTE> bytes = BytesOf(property->GetValue());
        std::wstring name(property->GetName()), number = AssignedNumber(name);
        rows.push_back({number.empty() ? name : ServiceText(number), number, bytes.empty() ? L"(empty)" : Hex(bytes),
                        Printable(bytes, !json)});
    }
    if (result->GetCount() == 0) Err(L"no readable characteristics in " + args[1] + L" on " + args[0] + L"\n");
    PrintTable(rows);
    return result->GetCount() == 0 ? exitNothing : exitDone;
}

}  // namespace

// The address of "corvane open ble ADDRESS"; empty (after saying why) when
// the text is not a Bluetooth address.
boost::shared_ptr<const corvane::IPortAddr> MakeBluetoothSmartAddress(const std::wstring& target) {
    if (!IsAddress(L"open ble", target)) return boost::shared_ptr<const corvane::IPortAddr>();
    return corvane::CBluetoothSmartPortAddr::CreateInstance(ColonForm(target).c_str(), 0, L"");
}

namespace {

const CommandRegistration s_services({L"services", L"ADDRESS [--json]",
                                      L"the GATT services of a paired Bluetooth Smart device", Services});
const CommandRegistration s_read({L"read", L"ADDRESS SERVICE [--json]",
                                  L"the readable characteristics of one GATT service, in hex and as text", Read});

}  // namespace

}  // namespace tool
