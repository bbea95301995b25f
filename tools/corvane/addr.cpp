// corvane addr TYPE NAME [FRIENDLY] [PASSWORD] [SERVICE]: makes an address and
// shows its fields as the library reads them.
// corvane cod HEX: the display texts of a Bluetooth class-of-device word.
#include "Command.h"

#include <cwctype>

namespace tool {
namespace {

using corvane::IPortAddr;

std::wstring Str(const _bstr_t& text) {
    const wchar_t* chars = text;
    return std::wstring(chars ? chars : L"", text.length());
}

std::wstring Hex(DWORD value, int digits) {
    basalt::ustring text;
    text.sprintf(L"0x%0*lX", digits, static_cast<unsigned long>(value));
    return text;
}

const wchar_t* const kTypeNames[] = {L"serial", L"bluetooth", L"usb", L"tcp", L"ble"};

// A name of kTypeNames (any case) or its number; false for anything else.
bool ReadType(const std::wstring& word, IPortAddr::EPortType& type) {
    for (int i = 0; i < 5; ++i)
        if (basalt::ustring(word).compareNoCase(kTypeNames[i]) == 0 ||
            word == std::to_wstring(i)) {
            type = static_cast<IPortAddr::EPortType>(i);
            return true;
        }
    return false;
}

bool IsBluetooth(IPortAddr::EPortType type) {
    return type == IPortAddr::portBluetooth || type == IPortAddr::portBluetoothSmart;
}

// Texts are quoted so that an empty one shows; the PIN of an address made
// without one is the library's one-NUL marker.
std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }
std::wstring PasswordCell(const _bstr_t& password) {
    if (corvane::IsNoPinMarker(password)) return L"(no PIN)";
    std::wstring text = Str(password);
    return Quoted(text) + L" (" + std::to_wstring(text.size()) + L" characters)";
}

int Addr(const Args& args) {
    IPortAddr::EPortType type;
    if (args.size() < 2 || args.size() > 5) {
        Err(L"usage: corvane addr TYPE NAME [FRIENDLY] [PASSWORD] [SERVICE]\n"
            L"  TYPE: serial, bluetooth, usb, tcp, ble (or 0-4)\n"
            L"  NAME: COM3, a USB device path, a host, or a Bluetooth address such as\n"
            L"        00:11:22:AA:BB:CC or 001122AABBCC\n"
            L"  PASSWORD: the PIN of a Bluetooth address (left out: no PIN)\n"
            L"  SERVICE: the TCP port number\n");
        return 1;
    }
    if (!ReadType(args[0], type)) {
        Err(L"error: unknown port type '" + args[0] + L"': use serial, bluetooth, usb, tcp, ble or 0-4\n");
        return 1;
    }
    const std::wstring& name = args[1];
    ULONGLONG typed = 0;
    if (IsBluetooth(type) && !ReadDeviceAddress(L"addr", name, typed)) return exitUsage;
    const wchar_t* friendly = args.size() > 2 ? args[2].c_str() : L"";
    const wchar_t* password = args.size() > 3 ? args[3].c_str() : (IsBluetooth(type) ? nullptr : L"");
    const wchar_t* service = args.size() > 4 ? args[4].c_str() : L"";

    boost::shared_ptr<const IPortAddr> address =
        IPortAddr::CreateInstance(type, 0, name.c_str(), friendly, L"", password, 0, 0, service);
    Rows rows{
        {L"type", std::to_wstring(address->GetType()) + L" (" + kTypeNames[address->GetType()] + L")"},
        {L"physical name", Str(address->GetPhysicalName())}};
    if (IsBluetooth(type)) {
        // The number itself: its text form shows only the low 48 bits.
        ULONGLONG device = dynamic_cast<const corvane::CBluetoothPortAddr&>(*address).GetAddress();
        rows.push_back({L"device address",
                        std::wstring(corvane::CBluetoothPortAddr::BluetoothAddr2Str(device, L':')) +
                            L"  " + corvane::CBluetoothPortAddr::BluetoothAddr2Str(device, 0)});
        rows.push_back({L"class of device", Hex(address->GetClassOfDevice(), 6)});
    }
    rows.push_back({L"friendly name", Quoted(Str(address->GetFriendlyName()))});
    rows.push_back({L"service", Quoted(Str(address->GetService()))});
    rows.push_back({L"login", Quoted(Str(address->GetLogin()))});
    rows.push_back({L"password", PasswordCell(address->GetPassword())});
    rows.push_back({L"rssi", std::to_wstring(address->GetRSSI())});
    rows.push_back({L"signal quality", std::to_wstring(address->GetSignalQuality())});
    PrintTable(rows);
    return exitDone;
}

// Hexadecimal digits, with or without 0x, at most 32 bits.
bool ReadWord(std::wstring text, DWORD& word) {
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) text.erase(0, 2);
    if (text.empty() || text.size() > 8) return false;
    for (wchar_t c : text)
        if (!std::iswxdigit(c)) return false;
    word = static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 16));
    return true;
}

int Cod(const Args& args) {
    DWORD word = 0;
    if (args.size() != 1) {
        Err(L"usage: corvane cod HEX\n  HEX: a class-of-device word, e.g. 5A020C\n");
        return 1;
    }
    if (!ReadWord(args[0], word)) {
        Err(L"error: '" + args[0] + L"' is not a class-of-device word: give up to eight "
            L"hexadecimal digits, e.g. 5A020C\n");
        return 1;
    }
    _bstr_t major, minor, services;
    IPortAddr::TranslateCOD(word, major, minor, services);
    auto orNone = [](const std::wstring& text) { return text.empty() ? L"(none)" : text; };
    PrintTable({{L"class of device", Hex(word, 6)},
                {L"major class", orNone(Str(major)) + L" (" + std::to_wstring((word >> 8) & 0x1F) + L")"},
                {L"minor class", orNone(Str(minor)) + L" (" + std::to_wstring((word >> 2) & 0x3F) + L")"},
                {L"service classes", orNone(Str(services))}});
    return 0;
}

CommandRegistration s_addrCommand({L"addr", L"TYPE NAME [FRIENDLY] [PASSWORD] [SERVICE]",
                            L"show an address as the library reads it", Addr});
CommandRegistration s_codCommand({L"cod", L"HEX", L"translate a Bluetooth class-of-device word", Cod});

}  // namespace
}  // namespace tool
