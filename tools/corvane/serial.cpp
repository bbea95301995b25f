// The serial transport of corvane.exe:
//   corvane list serial                  the machine's COM ports
//   corvane settings COMn                the port's settings
//   corvane settings COMn NAME=VALUE...  changes them, then shows them
#include "List.h"

#include <map>

namespace tool {

namespace {

const ListRegistration s_listSerial({L"serial", L"COM ports", corvane::IPortAddr::portSerial,
                                     corvane::driverDefault});

typedef boost::shared_ptr<corvane::IPropertySet> SetPtr;

std::wstring Text(const _bstr_t& text) { return text.length() ? std::wstring(text) : std::wstring(); }

// Flags read better as words than as OLE's 0 and -1.
std::wstring Shown(const _variant_t& value, const _bstr_t& text) {
    if (value.vt == VT_BOOL) return V_BOOL(&value) ? L"true" : L"false";
    return Text(text);
}

std::wstring OptionList(corvane::IProperty& property) {
    const corvane::IOptionSet& options = property.GetOptions();
    std::wstring list;
    for (DWORD i = 0; i < options.GetCount(); ++i) {
        if (i) list += L", ";
        list += Shown(options.GetAt(i)->GetValue(), options.GetAt(i)->GetName(1033));
    }
    return list;
}

void PrintSettings(const corvane::IPropertySet& settings) {
    Rows rows = {{L"SETTING", L"VALUE", L"ACCESS", L"OPTIONS"}};
    for (DWORD i = 0; i < settings.GetCount(); ++i) {
        boost::shared_ptr<corvane::IProperty> property = settings.GetAt(i);
        bool readOnly = property->GetAccessPolicy() == corvane::IProperty::accessReadOnly;
        const _variant_t value = property->GetValue();
        Cell shown = value.vt == VT_BOOL ? Cell::Flag(V_BOOL(&value) != VARIANT_FALSE)
                                         : Cell(Shown(value, property->GetDisplayText(1033)));
        rows.push_back({Text(property->GetName()), shown, readOnly ? L"read-only" : L"full", OptionList(*property)});
    }
    PrintTable(rows);
}

// An option may be named as it is shown ("Even", "true") as well as by its value ("2", "-1").
_variant_t ValueFor(corvane::IProperty& property, const std::wstring& text) {
    const corvane::IOptionSet& options = property.GetOptions();
    for (DWORD i = 0; i < options.GetCount(); ++i) {
        const corvane::IOption& option = *options.GetAt(i);
        if (basalt::ustring(Shown(option.GetValue(), option.GetName(1033)).c_str()).compareNoCase(text.c_str()) == 0)
            return option.GetValue();
    }
    return _variant_t(text.c_str());
}

// The changes NAME=VALUE as a set of the named settings only; empty (after
// saying why) when one is malformed, unknown or refused.
SetPtr Changes(const corvane::IPropertySet& current, const Args& assignments) {
    SetPtr changes = corvane::IPropertySet::CreateInstance(L"");
    for (const std::wstring& assignment : assignments) {
        size_t equals = assignment.find(L'=');
        if (equals == std::wstring::npos || equals == 0) {
            Err(L"error: expected NAME=VALUE, got '" + assignment + L"'\n");
            return SetPtr();
        }
        std::wstring name = assignment.substr(0, equals), value = assignment.substr(equals + 1);
        boost::shared_ptr<corvane::IProperty> setting = current.Find(name.c_str());
        if (!setting) {
            Err(L"error: the port has no setting '" + name + L"'\n");
            return SetPtr();
        }
        boost::shared_ptr<corvane::IProperty> changed = setting->Clone();
        if (!changed->SetValue(ValueFor(*changed, value), 1033)) {
            std::wstring why = changed->GetAccessPolicy() == corvane::IProperty::accessReadOnly
                                   ? L" (read-only)"
                                   : changed->GetOptions().GetCount() ? L" (options: " + OptionList(*changed) + L")"
                                                                      : L"";
            Err(L"error: " + name + L" does not take '" + value + L"'" + why + L"\n");
            return SetPtr();
        }
        changes->Add(changed);
    }
    return changes;
}

// The assignments whose setting reads back otherwise after SetSettings:
// a port may keep its old value without refusing the change.
std::vector<std::wstring> NotHeld(const corvane::IPropertySet& changes, const corvane::IPropertySet& after) {
    std::vector<std::wstring> failed;
    for (DWORD i = 0; i < changes.GetCount(); ++i) {
        boost::shared_ptr<corvane::IProperty> wanted = changes.GetAt(i);
        boost::shared_ptr<corvane::IProperty> now = after.Find(wanted->GetName());
        if (!now || now->GetValue() != wanted->GetValue())
            failed.push_back(Text(wanted->GetName()) + L"=" + Shown(wanted->GetValue(), wanted->GetDisplayText(1033)) +
                             L" (reads back " +
                             (now ? Shown(now->GetValue(), now->GetDisplayText(1033)) : std::wstring(L"nothing")) + L")");
    }
    return failed;
}

// Applies the changes and answers each assignment that did not hold. A
// port that refuses the change as a whole is reported first (the user's line
// names what was asked, then the library's error); what the port reads back
// then tells which assignments it kept from taking.
std::vector<std::wstring> Apply(corvane::IPort& port, const SetPtr& changes, const Args& assignments,
                                const std::wstring& portName, bool& refused) {
    std::wstring asked;
    for (const std::wstring& assignment : assignments) asked += L" " + assignment;
    refused = false;
    SetFailureHint(portName + L" refused the new settings" + asked);
    try {
        port.SetSettings(changes);
    } catch (const basalt::CStdException& e) {
        ReportError(e);
        refused = true;
    }
    SetFailureHint(L"");
    return NotHeld(*changes, *port.GetSettings());
}

}  // namespace

bool IsComName(const std::wstring& text) {
    bool ok = text.size() > 3 && text.size() <= 6 && basalt::ustring(text.substr(0, 3)).compareNoCase(L"COM") == 0 &&
              text.find_first_not_of(L"0123456789", 3) == std::wstring::npos && text[3] != L'0';
    if (!ok) Err(L"corvane: '" + text + L"' is not a COM port name; expected COMn, such as COM3\n");
    return ok;
}

namespace {

int Settings(const Args& arguments) {
    Args args = arguments;
    TakeJsonOption(args);
    if (args.empty()) {
        Err(L"usage: corvane settings COMn [NAME=VALUE ...] [--json]\n");
        return exitUsage;
    }
    if (!IsComName(args[0])) return exitUsage;
    boost::shared_ptr<const corvane::IPortAddr> address = corvane::IPortAddr::CreateInstance(
        corvane::IPortAddr::portSerial, 0, args[0].c_str(), args[0].c_str(), L"", L"", 0, 0, L"");
    boost::shared_ptr<corvane::IPort> port = corvane::IPort::CreateInstance(address, corvane::driverDefault);
    if (!port) {
        Err(L"error: this library has no serial port driver\n");
        return exitFailed;
    }
    SetFailureHint(L"cannot open " + args[0] + L"; corvane list serial lists the COM ports");
    port->Open();
    SetFailureHint(L"");
    SetPtr settings = port->GetSettings();
    std::vector<std::wstring> failed;
    bool refused = false;
    if (args.size() > 1) {
        Args assignments(args.begin() + 1, args.end());
        SetPtr changes = Changes(*settings, assignments);
        if (!changes) return exitUsage;
        failed = Apply(*port, changes, assignments, args[0], refused);
        settings = port->GetSettings();
    }
    port->Close();
    PrintSettings(*settings);
    for (const std::wstring& assignment : failed)
        Err(L"error: " + args[0] + L" did not take " + assignment + L"\n");
    return failed.empty() && !refused ? exitDone : exitFailed;
}

// "--parity even" and its kin as the assignments "settings" takes.
bool SerialAssignments(const std::map<std::wstring, std::wstring>& options, Args& assignments) {
    static const std::map<std::wstring, std::vector<std::pair<std::wstring, std::vector<std::wstring>>>> kWords = {
        {L"--parity", {{L"none", {L"Parity=0", L"fParity=false"}}, {L"odd", {L"Parity=1", L"fParity=true"}},
                       {L"even", {L"Parity=2", L"fParity=true"}}, {L"mark", {L"Parity=3", L"fParity=true"}},
                       {L"space", {L"Parity=4", L"fParity=true"}}}},
        {L"--stop", {{L"1", {L"StopBits=0"}}, {L"1.5", {L"StopBits=1"}}, {L"2", {L"StopBits=2"}}}},
        {L"--flow", {{L"none", {L"fOutxCtsFlow=false", L"fOutxDsrFlow=false", L"fRtsControl=Enable",
                                L"fDtrControl=Enable"}},
                     {L"rtscts", {L"fOutxCtsFlow=true", L"fRtsControl=Handshake"}},
                     {L"dsrdtr", {L"fOutxDsrFlow=true", L"fDtrControl=Handshake"}}}},
        {L"--data", {{L"5", {L"ByteSize=5"}}, {L"6", {L"ByteSize=6"}}, {L"7", {L"ByteSize=7"}}, {L"8", {L"ByteSize=8"}}}},
    };
    for (const auto& option : options) {
        if (option.first == L"--baud") {
            DWORD rate = 0;
            if (!ReadWholeNumber(L"open serial", L"--baud", L"bits per second", option.second, rate)) return false;
            if (rate == 0) {
                Err(L"corvane open serial: --baud takes a rate above 0 bits per second\n");
                return false;
            }
            assignments.push_back(L"BaudRate=" + option.second);
            continue;
        }
        auto words = kWords.find(option.first);
        if (words == kWords.end()) continue;
        std::wstring choices;
        bool found = false;
        for (const auto& word : words->second) {
            choices += (choices.empty() ? L"" : L", ") + word.first;
            if (word.first != option.second) continue;
            assignments.insert(assignments.end(), word.second.begin(), word.second.end());
            found = true;
        }
        if (!found) {
            Err(L"corvane open serial: " + option.first + L" takes " + choices + L"; got '" + option.second + L"'\n");
            return false;
        }
    }
    return true;
}

}  // namespace

bool CheckSerialOptions(const std::map<std::wstring, std::wstring>& options) {
    Args ignored;
    return SerialAssignments(options, ignored);
}

int ConfigureSerialPort(corvane::IPort& port, const std::map<std::wstring, std::wstring>& options) {
    Args assignments;
    if (!SerialAssignments(options, assignments)) return exitUsage;
    if (assignments.empty()) return exitDone;
    SetPtr changes = Changes(*port.GetSettings(), assignments);
    if (!changes) return exitUsage;
    bool refused = false;
    std::vector<std::wstring> failed = Apply(port, changes, assignments, L"the port", refused);
    for (const std::wstring& assignment : failed) Err(L"error: the port did not take " + assignment + L"\n");
    return failed.empty() && !refused ? exitDone : exitFailed;
}

namespace {

const CommandRegistration s_settings({L"settings", L"COMn [NAME=VALUE ...] [--json]",
                                      L"show a COM port's settings, or change them", Settings});

}  // namespace

}  // namespace tool
