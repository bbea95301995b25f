// The serial transport of corvane.exe:
//   corvane list serial                  the machine's COM ports
//   corvane settings COMn                the port's settings
//   corvane settings COMn NAME=VALUE...  changes them, then shows them
#include "List.h"

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
    std::vector<std::vector<std::wstring>> rows = {{L"SETTING", L"VALUE", L"ACCESS", L"OPTIONS"}};
    for (DWORD i = 0; i < settings.GetCount(); ++i) {
        boost::shared_ptr<corvane::IProperty> property = settings.GetAt(i);
        bool readOnly = property->GetAccessPolicy() == corvane::IProperty::accessReadOnly;
        rows.push_back({Text(property->GetName()), Shown(property->GetValue(), property->GetDisplayText(1033)),
                        readOnly ? L"read-only" : L"", OptionList(*property)});
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

int Settings(const Args& args) {
    if (args.empty()) {
        Err(L"usage: corvane settings COMn [NAME=VALUE ...]\n");
        return 1;
    }
    boost::shared_ptr<const corvane::IPortAddr> address = corvane::IPortAddr::CreateInstance(
        corvane::IPortAddr::portSerial, 0, args[0].c_str(), args[0].c_str(), L"", L"", 0, 0, L"");
    boost::shared_ptr<corvane::IPort> port = corvane::IPort::CreateInstance(address, corvane::driverDefault);
    if (!port) {
        Err(L"error: this library has no serial port driver\n");
        return 2;
    }
    port->Open();
    SetPtr settings = port->GetSettings();
    if (args.size() > 1) {
        SetPtr changes = Changes(*settings, Args(args.begin() + 1, args.end()));
        if (!changes) return 1;
        port->SetSettings(changes);
        settings = port->GetSettings();
    }
    port->Close();
    PrintSettings(*settings);
    return 0;
}

const CommandRegistration s_settings({L"settings", L"COMn [NAME=VALUE ...]",
                                      L"show a COM port's settings, or change them", Settings});

}  // namespace

}  // namespace tool
