// corvane props TEXT: reads a property set from its text form and shows it
// as a table, one property a row.
#include "Command.h"

namespace tool {
namespace {

std::wstring Str(const _bstr_t& text) {
    const wchar_t* chars = text;
    return std::wstring(chars ? chars : L"", text.length());
}

// The type as the text form names it ("VT_UI4"): the library writes it right
// after the name and the access policy.
std::wstring TypeName(const corvane::IProperty& property) {
    const std::wstring text = Str(property.Save());
    const size_t from = text.find(L",vt=", 5 + Str(property.GetName()).size());
    if (from == std::wstring::npos) return L"?";
    const size_t start = from + 4;
    return text.substr(start, text.find(L',', start) - start);
}

// A value in US English, as the text form writes it.
std::wstring ValueText(const _variant_t& value) {
    _variant_t text(value);
    if (!basalt::VariantChangeType(1033, VT_BSTR, text, 0, false)) return L"???";
    return Str(text.bstrVal);
}

// Texts are quoted, so that an empty text shows; a name of its own follows
// the value in parentheses.
std::wstring Shown(const _variant_t& value, const std::wstring& name) {
    std::wstring text = ValueText(value);
    const std::wstring plain = text;
    if (value.vt == VT_BSTR) text = L"\"" + text + L"\"";
    if (name != plain) text += L" (" + name + L")";
    return text;
}

// A flag without a name of its own is true or false.
Cell ValueCell(corvane::IProperty& property) {
    const _variant_t value = property.GetValue();
    if (value.vt == VT_EMPTY) return L"(empty)";
    if (value.vt == VT_NULL) return L"(null)";
    const std::wstring name = Str(property.GetDisplayText(1033));
    if (value.vt == VT_BOOL && name == ValueText(value)) return Cell::Flag(V_BOOL(&value) != VARIANT_FALSE);
    return Shown(value, name);
}

std::wstring ConstraintCell(corvane::IProperty& property) {
    if (property.GetConstraint() == corvane::IProperty::constraintRange) {
        // Bounds of a text property are lengths.
        std::wstring range = ValueText(property.GetMin()) + L" .. " + ValueText(property.GetMax());
        return property.GetVarType() == VT_BSTR ? L"length " + range : range;
    }
    if (property.GetConstraint() != corvane::IProperty::constraintOptions) return L"";
    const corvane::IOptionSet& options = property.GetOptions();
    std::wstring list;
    for (DWORD i = 0; i < options.GetCount(); ++i) {
        const corvane::IOption& option = *options.GetAt(i);
        if (!list.empty()) list += L" | ";
        list += Shown(option.GetValue(), Str(option.GetName(1033)));
    }
    return list.empty() ? L"(no options)" : list;
}

int Props(const Args& arguments) {
    Args args = arguments;
    const bool json = TakeJsonOption(args);
    if (args.size() != 1) {
        Err(L"usage: corvane props TEXT [--json]\n"
            L"  TEXT: properties separated by ';', e.g.\n"
            L"  Id=\"Baud\",vt=VT_UI4,Value=9600,Options={9600}|{19200,\"fast\"};\n");
        return exitUsage;
    }
    // Errors of the reader leave through main, which reports function, code and message.
    boost::shared_ptr<corvane::IPropertySet> set = corvane::IPropertySet::CreateInstance(args[0].c_str());
    Rows rows{{L"NAME", L"TYPE", L"ACCESS", L"VALUE", L"CONSTRAINT"}};
    for (DWORD i = 0; i < set->GetCount(); ++i) {
        boost::shared_ptr<corvane::IProperty> property = set->GetAt(i);
        rows.push_back({Str(property->GetName()), TypeName(*property),
                        property->GetAccessPolicy() == corvane::IProperty::accessReadOnly ? L"read-only"
                                                                                          : L"full",
                        ValueCell(*property), ConstraintCell(*property)});
    }
    PrintTable(rows);
    if (!json) Out(std::to_wstring(set->GetCount()) + (set->GetCount() == 1 ? L" property\n" : L" properties\n"));
    return exitDone;
}

const CommandRegistration registration({L"props", L"TEXT [--json]", L"show a property set given in its text form", Props});

}  // namespace
}  // namespace tool
