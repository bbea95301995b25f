// The property model: options, dependencies, properties and property sets,
// and the one-line text form of a property (last section).
#include "Properties.h"

#include <comdef.h>  // defines _com_issue_error, which the COM support classes call

#include <iterator>

namespace corvane {

namespace {

const wchar_t kFile[] = L"Properties";

[[noreturn]] void Fail(int line, const wchar_t* function, DWORD code) {
    throw basalt::CWinException(line, kFile, function, code);
}

_bstr_t ToBstr(const std::wstring& text) {
    return _bstr_t(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())), false);
}

// A deep copy that dereferences VT_BYREF; false for a variant no VARIANT may
// hold (VT_PTR and friends), which _variant_t's own copy would throw for.
bool CopyVariant(_variant_t& target, const VARIANT& source) {
    return SUCCEEDED(::VariantCopyInd(&target, const_cast<VARIANT*>(&source)));
}

// "Same type, same contents".
bool Same(const VARIANT& a, const VARIANT& b) { return basalt::VariantCompare(a, b) == 0; }

std::wstring TextOf(const BSTR text) { return std::wstring(text ? text : L"", ::SysStringLen(text)); }

}  // namespace

// ---------------------------------------------------------------- COption

COption::COption(const VARIANT& value, VARTYPE vt, const wchar_t* name, const wchar_t* description,
                 BYTE flag, LCID lcid)
    : m_name(name), m_description(description), m_flag(flag) {
    if (!CopyVariant(m_value, value) ||
        (vt != VT_EMPTY && vt != m_value.vt && !ChangeType(vt, lcid)))
        Fail(__LINE__, L"COption::COption", ERROR_INVALID_PARAMETER);
}

bool COption::ChangeType(VARTYPE vt, LCID lcid) {
    return basalt::VariantChangeType(lcid, vt, m_value, 0, false);
}

_bstr_t COption::GetName(LCID lcid) const {
    if (!m_name.empty()) return ToBstr(m_name);
    _variant_t text(m_value);
    if (!basalt::VariantChangeType(lcid, VT_BSTR, text, 0, false)) return L"???";
    return _bstr_t(text);
}

_bstr_t COption::GetDescription() const { return ToBstr(m_description); }

bool COption::Compare(const IOption& other) const {
    return Same(m_value, other.GetValue()) &&
           basalt::ustring(GetName(lcidLibrary)) == basalt::ustring(other.GetName(lcidLibrary));
}

// ------------------------------------------------------------- COptionSet

COptionSet::COptionSet(VARTYPE vt, DWORD order) : m_vt(vt), m_order(order), m_nextCursor(1) {}

COptionSet::COptionSet(const COptionSet& other)
    : m_vt(other.m_vt),
      m_order(other.m_order),
      m_sorted(other.m_sorted),
      m_inserted(other.m_inserted),
      m_nextCursor(other.m_nextCursor),
      m_insertedCursors(other.m_insertedCursors) {
    // Positions in the other set become the same positions in this one.
    for (const auto& entry : other.m_sortedCursors)
        m_sortedCursors[entry.first] =
            std::next(m_sorted.cbegin(), std::distance(other.m_sorted.cbegin(), entry.second));
}

COptionSet& COptionSet::operator=(const COptionSet& other) {
    COptionSet result(m_vt, other.m_order);
    if (m_vt == other.m_vt) {
        result.m_sorted = other.m_sorted;
        result.m_inserted = other.m_inserted;
    } else {
        for (DWORD i = 0, n = other.GetCount(); i < n; ++i) {
            const COption& option = *static_cast<const COption*>(other.GetAt(i));
            result.AddOption(option.Value(), option.GetName(lcidLibrary),
                             option.GetDescription(), option.GetFlag(), lcidLibrary);
        }
    }
    swap(result);
    return *this;
}

void COptionSet::swap(COptionSet& other) noexcept {
    std::swap(m_vt, other.m_vt);
    std::swap(m_order, other.m_order);
    m_sorted.swap(other.m_sorted);  // iterators stay valid and follow their elements
    m_inserted.swap(other.m_inserted);
    std::swap(m_nextCursor, other.m_nextCursor);
    m_sortedCursors.swap(other.m_sortedCursors);
    m_insertedCursors.swap(other.m_insertedCursors);
}

DWORD COptionSet::GetCount() const {
    return static_cast<DWORD>(m_order == orderSorted ? m_sorted.size() : m_inserted.size());
}

const IOption* COptionSet::GetAt(DWORD index) const {
    if (index >= GetCount()) return nullptr;
    if (m_order == orderSorted) return &*std::next(m_sorted.begin(), index);
    return &m_inserted[index];
}

const IOption* COptionSet::EnumFirst(DWORD* cursor) const {
    if (!cursor || GetCount() == 0) return nullptr;
    DWORD number = m_nextCursor;
    if (m_order == orderSorted)
        m_sortedCursors[number] = m_sorted.cbegin();
    else
        m_insertedCursors[number] = 0;
    ++m_nextCursor;
    *cursor = number;
    return GetAt(0);
}

const IOption* COptionSet::EnumNext(DWORD cursor) const {
    if (m_order == orderSorted) {
        auto open = m_sortedCursors.find(cursor);
        if (open == m_sortedCursors.end() || open->second == m_sorted.cend()) return nullptr;
        if (++open->second == m_sorted.cend()) return nullptr;
        return &*open->second;
    }
    auto open = m_insertedCursors.find(cursor);
    if (open == m_insertedCursors.end() || open->second >= m_inserted.size()) return nullptr;
    if (++open->second >= m_inserted.size()) return nullptr;
    return &m_inserted[open->second];
}

bool COptionSet::EnumEnd(DWORD cursor) const {
    return (m_sortedCursors.erase(cursor) + m_insertedCursors.erase(cursor)) != 0;
}

void COptionSet::ForgetCursors() {
    m_sortedCursors.clear();
    m_insertedCursors.clear();
}

template <class Match>
const IOption* COptionSet::FindFirst(Match match) const {
    Cursor cursor(this);
    for (const IOption* option = EnumFirst(&cursor.number); option; option = EnumNext(cursor.number))
        if (match(*static_cast<const COption*>(option))) return option;
    return nullptr;
}

bool COptionSet::Compare(const IOptionSet& other) const {
    if (m_vt != other.GetVarType() || GetCount() != other.GetCount()) return false;
    if (GetCount() == 0) return true;
    // The other side is enumerated with cursors too when it is one of ours
    // (its enumerations are bookkeeping); another implementation by index.
    const COptionSet* peer = dynamic_cast<const COptionSet*>(&other);
    Cursor mine(this), theirs(peer);
    const IOption* a = EnumFirst(&mine.number);
    const IOption* b = peer ? peer->EnumFirst(&theirs.number) : other.GetAt(0);
    for (DWORD i = 1; a && b; ++i) {
        if (!a->Compare(*b)) return false;
        a = EnumNext(mine.number);
        b = peer ? peer->EnumNext(theirs.number) : other.GetAt(i);
    }
    return !a && !b;
}

void COptionSet::Remove(const VARIANT& value) {
    if (m_order == orderSorted) {
        auto found = m_sorted.find(value);
        if (found == m_sorted.end()) return;
        auto next = std::next(found);
        // An enumeration standing on the option goes on from its successor.
        for (auto& open : m_sortedCursors)
            if (open.second == found) open.second = next;
        m_sorted.erase(found);
        return;
    }
    for (size_t i = 0; i < m_inserted.size(); ++i) {
        if (!Same(m_inserted[i].Value(), value)) continue;
        m_inserted.erase(m_inserted.begin() + static_cast<std::ptrdiff_t>(i));
        for (auto& open : m_insertedCursors)
            if (open.second > i) --open.second;
        return;
    }
}

void COptionSet::SetType(VARTYPE vt) {
    if (vt != VT_NULL) m_vt = vt;
    if (m_order == orderSorted) {
        m_sorted.clear();
        m_sortedCursors.clear();
    } else {
        m_inserted.clear();
        m_insertedCursors.clear();
    }
}

bool COptionSet::Add(const COption& option, LCID lcid) {
    COption copy(option);
    if (!copy.ChangeType(m_vt, lcid)) return false;
    if (m_order == orderSorted) return m_sorted.insert(copy).second;
    for (const COption& present : m_inserted)
        if (Same(present.Value(), copy.Value())) return false;
    m_inserted.push_back(copy);
    return true;
}

bool COptionSet::AddOption(const VARIANT& value, const wchar_t* name, const wchar_t* description,
                           BYTE flag, LCID lcid) {
    COption option(value, m_vt, name, description, flag, lcid);
    // A set of type VT_EMPTY converts nothing, so it takes only empty values.
    if (option.Value().vt != m_vt) return false;
    return Add(option, lcid);
}

// ------------------------------------------------------ links, dependencies

CLink::CLink(const VARIANT& value, const VariantSet& values) : m_value(value), m_values(values) {}

bool CLink::Contains(VARIANT value) const {
    return !m_values.empty() && m_values.find(value) != m_values.end();
}

CDependency::CDependency(const wchar_t* name, const LinkMap& links) : m_name(name), m_links(links) {}

_bstr_t CDependency::GetName() const { return ToBstr(m_name); }

bool CDependency::Check(const VARIANT& key, const VARIANT& value) const {
    auto link = m_links.find(key);
    return link == m_links.end() || link->second.Contains(value);
}

boost::shared_ptr<IDependency> CDependencySet::Find(const wchar_t* name) const {
    auto found = m_dependencies.find(basalt::ustring(name));
    if (found == m_dependencies.end()) return boost::shared_ptr<IDependency>();
    return boost::shared_ptr<IDependency>(new CDependency(found->second));
}

boost::shared_ptr<IDependency> CDependencySet::GetAt(DWORD index) const {
    if (index >= m_dependencies.size()) return boost::shared_ptr<IDependency>();
    return boost::shared_ptr<IDependency>(new CDependency(std::next(m_dependencies.begin(), index)->second));
}

// -------------------------------------------------------------- CProperty

CProperty::CProperty(Fields, DWORD constraint, const wchar_t* name, EAccessPolicy access, VARTYPE vt,
                     DWORD flags, BYTE level)
    : m_name(name),
      m_access(access),
      m_constraint(constraint),
      m_vt(vt),
      m_flags(flags),
      m_level(level),
      m_options(vt, COptionSet::orderSorted) {}

CProperty::CProperty() : CProperty(Fields(), constraintNone, L"", accessFull, VT_EMPTY, 0, 0) {}

CProperty::CProperty(const wchar_t* name, EAccessPolicy access, VARTYPE vt, DWORD flags, BYTE level,
                     const VARIANT& value)
    : CProperty(Fields(), constraintNone, name, access, vt, flags, level) {
    Init(value);
}

CProperty::CProperty(const wchar_t* name, EAccessPolicy access, VARTYPE vt, DWORD flags, BYTE level,
                     const VARIANT& value, const COptionSet& options)
    : CProperty(Fields(), constraintOptions, name, access, vt, flags, level) {
    m_options = options;
    InitValue(value);  // the options are the caller's: no boolean pair added
}

CProperty::CProperty(const wchar_t* name, EAccessPolicy access, VARTYPE vt, DWORD flags, BYTE level,
                     const VARIANT& value, const VARIANT& minimum, const VARIANT& maximum)
    : CProperty(Fields(), constraintRange, name, access, vt, flags, level) {
    // Bounds are kept as given; one no VARIANT may hold throws _com_error.
    _com_util::CheckError(::VariantCopyInd(&m_min, const_cast<VARIANT*>(&minimum)));
    _com_util::CheckError(::VariantCopyInd(&m_max, const_cast<VARIANT*>(&maximum)));
    Init(value);
}

CProperty::CProperty(const CProperty& other) = default;

CProperty& CProperty::operator=(const CProperty& other) {
    CProperty copy(other);
    swap(copy);
    return *this;
}

void CProperty::swap(CProperty& other) noexcept {
    m_name.swap(other.m_name);
    std::swap(m_access, other.m_access);
    std::swap(m_constraint, other.m_constraint);
    std::swap(m_vt, other.m_vt);
    std::swap(m_flags, other.m_flags);
    std::swap(m_level, other.m_level);
    // Swapping the raw structures hands each BSTR or array to its new owner.
    std::swap(static_cast<VARIANT&>(m_value), static_cast<VARIANT&>(other.m_value));
    std::swap(static_cast<VARIANT&>(m_min), static_cast<VARIANT&>(other.m_min));
    std::swap(static_cast<VARIANT&>(m_max), static_cast<VARIANT&>(other.m_max));
    m_options.swap(other.m_options);
    m_dependencies.swap(other.m_dependencies);
    m_annotationA.swap(other.m_annotationA);
    m_annotationB.swap(other.m_annotationB);
}

void CProperty::Init(const VARIANT& value) {
    InitValue(value);
    if (m_vt != VT_BOOL) return;
    // A switch lists its two states, so that clients can offer them by name.
    m_options.AddOption(_variant_t(false));
    m_options.AddOption(_variant_t(true));
    m_constraint = constraintOptions;
    // Bounds belong to a range; an options property has none.
    m_min.Clear();
    m_max.Clear();
}

USHORT CProperty::ConversionFlags() const { return (m_flags & 1) ? VARIANT_LOCALBOOL : 0; }

_bstr_t CProperty::GetName() const { return ToBstr(m_name); }
_bstr_t CProperty::GetAnnotationA() const { return ToBstr(m_annotationA); }
_bstr_t CProperty::GetAnnotationB() const { return ToBstr(m_annotationB); }
void CProperty::SetAnnotationA(const wchar_t* text) { m_annotationA = text; }
void CProperty::SetAnnotationB(const wchar_t* text) { m_annotationB = text; }

bool CProperty::SetValue(const VARIANT& value, LCID lcid) {
    _variant_t work;
    if (!CopyVariant(work, value)) return false;
    if (m_access == accessReadOnly)
        return basalt::VariantChangeType(lcid, m_vt, work, ConversionFlags(), false) &&
               Same(work, m_value);
    if (value.vt == VT_EMPTY || value.vt == VT_NULL) {
        m_value = work;
        return true;
    }
    if (!basalt::VariantChangeType(lcid, m_vt, work, ConversionFlags(), false)) return false;

    if (m_constraint == constraintOptions) {
        const bool byText = m_vt == VT_BSTR;
        const IOption* match = m_options.FindFirst([&](const COption& option) {
            if (!byText) return Same(option.Value(), work);
            // Texts match character for character, letter case included.
            _variant_t text(option.Value());
            return basalt::VariantChangeType(lcidLibrary, VT_BSTR, text, 0, false) &&
                   TextOf(text.bstrVal) == TextOf(work.bstrVal);
        });
        if (!match) return false;
        m_value = static_cast<const COption*>(match)->Value();
        return true;
    }
    if (m_constraint == constraintRange) {
        bool inside;
        if (m_vt == VT_BSTR) {
            // The bounds are lengths; bounds that are no numbers admit nothing.
            _variant_t low(m_min), high(m_max);
            inside = basalt::VariantChangeType(lcidLibrary, VT_UI4, low, 0, false) &&
                     basalt::VariantChangeType(lcidLibrary, VT_UI4, high, 0, false) &&
                     low.ulVal <= ::SysStringLen(work.bstrVal) &&
                     ::SysStringLen(work.bstrVal) <= high.ulVal;
        } else {
            inside = CompareNumbers(work, m_min) >= 0 && CompareNumbers(work, m_max) <= 0;
        }
        if (!inside) return false;
    }
    std::swap(static_cast<VARIANT&>(m_value), static_cast<VARIANT&>(work));
    return true;
}

bool CProperty::InitValue(const VARIANT& value) {
    struct Restore {
        EAccessPolicy& field;
        EAccessPolicy saved;
        ~Restore() { field = saved; }
    } restore{m_access, m_access};
    m_access = accessFull;
    return SetValue(value, lcidLibrary);
}

_bstr_t CProperty::GetValueText(LCID lcid) const {
    if (m_value.vt == VT_EMPTY) return L"";
    if (m_value.vt & VT_ARRAY) {
        SAFEARRAY* array = (m_value.vt & VT_BYREF) ? (m_value.pparray ? *m_value.pparray : nullptr)
                                                   : m_value.parray;
        long long bytes = 0;
        for (UINT dim = 1; array && dim <= ::SafeArrayGetDim(array); ++dim) {
            LONG low = 0, high = -1;
            ::SafeArrayGetLBound(array, dim, &low);
            ::SafeArrayGetUBound(array, dim, &high);
            bytes += (static_cast<long long>(high) - low + 1) * ::SafeArrayGetElemsize(array);
        }
        basalt::ustring blob(L"BLOB"), unit(L"Bytes"), text;
        basalt::CTranslatorInstance::Ref().XlateEx(blob);
        basalt::CTranslatorInstance::Ref().XlateEx(unit);
        text.sprintf(L"%s: %d %s", blob.c_str(), static_cast<int>(bytes), unit.c_str());
        return ToBstr(text);
    }
    _variant_t text(m_value);
    if (!basalt::VariantChangeType(lcid, VT_BSTR, text, ConversionFlags(), false)) return L"???";
    return _bstr_t(text);
}

_bstr_t CProperty::GetDisplayText(LCID lcid) const {
    if (m_value.vt == VT_EMPTY) return L"";
    if (m_constraint == constraintOptions) {
        const IOption* match =
            m_options.FindFirst([&](const COption& option) { return Same(option.Value(), m_value); });
        if (match) return match->GetName(lcid);
    }
    return GetValueText(lcid);
}

boost::shared_ptr<IDependencySet> CProperty::GetDependencies() const {
    if (m_dependencies.GetCount() == 0) return boost::shared_ptr<IDependencySet>();
    return boost::shared_ptr<IDependencySet>(new CDependencySet(m_dependencies));
}

bool CProperty::Compare(const IProperty& other, bool withValue) const {
    if (withValue && !(Same(m_value, other.GetValue()) &&
                       basalt::ustring(GetValueText(lcidLibrary)) ==
                           basalt::ustring(other.GetValueText(lcidLibrary))))
        return false;
    if (m_name != basalt::ustring(other.GetName()) || m_access != other.GetAccessPolicy() ||
        m_constraint != other.GetConstraint() || m_vt != other.GetVarType() ||
        !Same(m_min, other.GetMin()) || !Same(m_max, other.GetMax()))
        return false;
    // GetOptions is not const in the interface, though it changes nothing.
    const CProperty* peer = dynamic_cast<const CProperty*>(&other);
    const IOptionSet& options =
        peer ? static_cast<const IOptionSet&>(peer->m_options) : const_cast<IProperty&>(other).GetOptions();
    return (m_options.GetCount() == 0 && options.GetCount() == 0) || m_options.Compare(options);
}

boost::shared_ptr<IProperty> CProperty::Clone() const {
    return boost::shared_ptr<IProperty>(new CProperty(*this));
}

int CProperty::CompareNumbers(const VARIANT& a, const VARIANT& b) {
    const VARTYPE vt = a.vt;
    switch (vt) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_INT: case VT_UI4:
    case VT_UINT: case VT_I8: case VT_UI8: case VT_R4: case VT_R8: case VT_BOOL:
        break;
    default:
        Fail(__LINE__, L"CProperty::CompareNumbers", ERROR_UNSUPPORTED_TYPE);
    }
    _variant_t x(a), y(b);
    y.ChangeType(vt);  // throws _com_error when b is no number
    auto three = [](auto p, auto q) { return p < q ? -1 : (q < p ? 1 : 0); };
    switch (vt) {
    case VT_I1: return three(static_cast<signed char>(x.cVal), static_cast<signed char>(y.cVal));
    case VT_UI1: return three(x.bVal, y.bVal);
    case VT_I2: return three(x.iVal, y.iVal);
    case VT_UI2: return three(x.uiVal, y.uiVal);
    case VT_I4: return three(x.lVal, y.lVal);
    case VT_INT: return three(x.intVal, y.intVal);
    case VT_UI4: return three(x.ulVal, y.ulVal);
    case VT_UINT: return three(x.uintVal, y.uintVal);
    case VT_I8: return three(x.llVal, y.llVal);
    case VT_UI8: return three(x.ullVal, y.ullVal);
    case VT_R4: return three(x.fltVal, y.fltVal);  // NaN: neither less nor greater
    case VT_R8: return three(x.dblVal, y.dblVal);
    default: return three(x.boolVal != VARIANT_FALSE, y.boolVal != VARIANT_FALSE);
    }
}

// ----------------------------------------------------------- CPropertySet

void CPropertySet::Clear() {
    m_index.clear();
    m_properties.clear();
}

bool CPropertySet::Add(boost::shared_ptr<IProperty> property) {
    if (!property) return false;
    basalt::ustring name(property->GetName());
    if (m_index.count(name)) return false;
    m_properties.reserve(m_properties.size() + 1);  // the push_back below cannot fail
    m_index[name] = static_cast<DWORD>(m_properties.size());
    m_properties.push_back(property);
    return true;
}

bool CPropertySet::AddCopy(const IProperty& property) { return Add(property.Clone()); }

boost::shared_ptr<IProperty> CPropertySet::GetAt(DWORD index) const {
    return index < m_properties.size() ? m_properties[index] : boost::shared_ptr<IProperty>();
}

boost::shared_ptr<IProperty> CPropertySet::Find(const wchar_t* name) const {
    auto found = m_index.find(basalt::ustring(name));
    return found == m_index.end() ? boost::shared_ptr<IProperty>() : m_properties[found->second];
}

bool CPropertySet::SetValueAt(DWORD index, const VARIANT& value) {
    return index < m_properties.size() && m_properties[index]->SetValue(value, lcidLibrary);
}

bool CPropertySet::SetValue(const wchar_t* name, const VARIANT& value) {
    boost::shared_ptr<IProperty> property = Find(name);
    return property && property->SetValue(value, lcidLibrary);
}

bool CPropertySet::Compare(const IPropertySet& other, bool withValue) const {
    if (GetCount() != other.GetCount()) return false;
    for (DWORD i = 0; i < GetCount(); ++i) {
        boost::shared_ptr<IProperty> mine = GetAt(i), theirs = other.GetAt(i);
        if (!mine || !theirs) Fail(__LINE__, L"CPropertySet::Compare", ERROR_INTERNAL_ERROR);
        if (!mine->Compare(*theirs, withValue)) return false;
    }
    return true;
}

boost::shared_ptr<IPropertySet> CPropertySet::Clone() const {
    boost::shared_ptr<CPropertySet> copy(new CPropertySet(*this));
    copy->m_properties.clear();
    for (const auto& property : m_properties) copy->m_properties.push_back(property->Clone());
    return copy;
}

void CPropertySet::Load(const wchar_t* text) {
    Clear();
    std::vector<basalt::ustring> pieces;
    basalt::ustring(text).split(L';', pieces);
    for (const basalt::ustring& piece : pieces) {
        CProperty property;
        property.Load(piece.c_str());
        AddCopy(property);  // a second property of a taken name is dropped
    }
}

_bstr_t CPropertySet::Save() const {
    basalt::ustring text;
    for (const auto& property : m_properties) {
        text += basalt::ustring(property->Save());
        text += L';';
    }
    return ToBstr(text);
}

// ------------------------------------------------------------- factories

boost::shared_ptr<IProperty> IProperty::CreateInstance(const wchar_t* text) {
    CProperty property;
    property.Load(text);
    return boost::shared_ptr<IProperty>(new CProperty(property));
}

boost::shared_ptr<IPropertySet> IPropertySet::CreateInstance(const wchar_t* text) {
    CPropertySet set;
    set.Load(text);
    return boost::shared_ptr<IPropertySet>(new CPropertySet(set));
}

// -------------------------------------------------------------- text form
//
//   Id="Baud",AP=read-only,vt=VT_UI4,Flags=0,PL=0,Value=9600,Options={9600,"9600",0}|{19200,"fast",0}
//   Id="Name",vt=VT_BSTR,Flags=0,PL=0,Value="COM3",Min=1,Max=8
//
// The writer keeps to this established form wherever it reads back to the
// same property, and departs from it only where it would lose something:
//  - values are converted to text under the library's locale, as the reader
//    does: the user's default would make "1,5" of 1.5 in many countries,
//    which the reader takes for fifteen;
//  - R4 and R8 values take the fewest of 15 to 17 digits that read back to
//    the very same number (the OLE text has 15 at most);
//  - a value that no text can express (a NaN, an error code) is written
//    empty, and an empty Value, Min or Max reads back as the empty value;
//  - Flags keeps all 32 bits;
//  - the reader removes the one quote the writer put at each end of a text
//    value, so that a string does not grow quotes on every save and load;
//  - a name, text value or option list that the form cannot carry (a ';' or
//    '=' anywhere, quotes or braces that would change where fields end, '|'
//    or braces at the ends of an option, U+00A4) is written under the key
//    "Id*", "Value*" or "Options*" with those characters percent-encoded.
//    Readers of the established form ignore keys they do not know.
// Text option values go unquoted, as in the established form, unless they
// need the quotes to keep their commas, braces or ends.
namespace {

const struct {
    const wchar_t* name;
    VARTYPE vt;
} kTypeNames[] = {
    {L"VT_EMPTY", VT_EMPTY},     {L"VT_NULL", VT_NULL},       {L"VT_I2", VT_I2},
    {L"VT_I4", VT_I4},           {L"VT_R4", VT_R4},           {L"VT_R8", VT_R8},
    {L"VT_CY", VT_CY},           {L"VT_DATE", VT_DATE},       {L"VT_BSTR", VT_BSTR},
    {L"VT_ERROR", VT_ERROR},     {L"VT_BOOL", VT_BOOL},       {L"VT_DECIMAL", VT_DECIMAL},
    {L"VT_I1", VT_I1},           {L"VT_UI1", VT_UI1},         {L"VT_UI2", VT_UI2},
    {L"VT_UI4", VT_UI4},         {L"VT_I8", VT_I8},           {L"VT_UI8", VT_UI8},
    {L"VT_INT", VT_INT},         {L"VT_UINT", VT_UINT},       {L"VT_VOID", VT_VOID},
    {L"VT_HRESULT", VT_HRESULT}, {L"VT_PTR", VT_PTR},         {L"VT_LPSTR", VT_LPSTR},
    {L"VT_LPWSTR", VT_LPWSTR},   {L"VT_FILETIME", VT_FILETIME}, {L"VT_BLOB", VT_BLOB},
    {L"VT_CF", VT_CF},           {L"VT_CLSID", VT_CLSID},
};

const wchar_t kFieldMark = L'\u00A4';  // what split turns boundary commas into

void StripQuotes(basalt::ustring& text) {
    if (!text.empty() && text.front() == L'"') text.erase(0, 1);
    if (!text.empty() && text.back() == L'"') text.pop_back();
}

[[noreturn]] void FailLoad(int line) { Fail(line, L"CProperty::Load", ERROR_INVALID_PARAMETER); }

// A name or text between quotes: one quote goes at each end, those inside
// stay ("a""b" is a""b).
basalt::ustring Unquoted(basalt::ustring text) {
    StripQuotes(text);
    return text;
}

// ---- the extended keys: texts the established form cannot carry

bool NeedsEscape(wchar_t c) {
    return c < 0x20 || c == L' ' || c == L'%' || c == L'"' || c == L',' || c == L';' || c == L'=' ||
           c == L'|' || c == L'{' || c == L'}' || c == kFieldMark;
}

basalt::ustring Escaped(const basalt::ustring& text) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    basalt::ustring out;
    for (wchar_t c : text) {
        if (!NeedsEscape(c)) {
            out += c;
            continue;
        }
        out += L'%';
        out += kHex[(c >> 4) & 0xF];
        out += kHex[c & 0xF];
    }
    return out;
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

basalt::ustring Unescaped(const basalt::ustring& text) {
    basalt::ustring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'%') {
            out += text[i];
            continue;
        }
        int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
        int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
        if (low < 0) FailLoad(__LINE__);
        out += static_cast<wchar_t>(high * 16 + low);
        i += 2;
    }
    return out;
}

// Where the cutting into fields stands while it walks a text: inside quotes
// or not (every quote toggles), and how deep in braces outside quotes.
struct CFieldScan {
    bool quoted = false;
    int depth = 0;  // below zero after a closing brace too many

    // Takes c; true when it is a comma between fields.
    bool Boundary(wchar_t c) {
        if (c == L'"')
            quoted = !quoted;
        else if (quoted)
            return false;
        else if (c == L'{')
            ++depth;
        else if (c == L'}')
            --depth;
        else
            return c == L',' && depth == 0;
        return false;
    }
};

// True when a field ends where the reader will end it: quotes and braces
// balanced, no comma between fields inside, nothing that a property set or
// the key's own '=' would cut at.
bool StandsAlone(const basalt::ustring& field) {
    if (field.find_first_of(L";\u00A4") != basalt::ustring::npos) return false;
    CFieldScan scan;
    size_t equals = 0;
    for (wchar_t c : field) {
        if (c == L'=') ++equals;
        if (scan.Boundary(c) || scan.depth < 0) return false;
    }
    return !scan.quoted && scan.depth == 0 && equals == 1;
}

// Reads text in type vt; false when it does not convert.
bool ReadAs(const std::wstring& text, VARTYPE vt, _variant_t& value) {
    value = ToBstr(text);
    return basalt::VariantChangeType(lcidLibrary, vt, value, 0, false);
}

// The text a value of a property of type vt is written as: the OLE text,
// unless the reader could not turn it back into vt — then the empty text,
// which reads back as the empty value (a NaN, a VT_ERROR code, a null
// outside VT_NULL). Floating values take the shortest form that reads back
// to the very same number: the OLE text has 15 digits at most.
basalt::ustring WrittenText(const VARIANT& value, VARTYPE vt) {
    if (value.vt == VT_EMPTY) return basalt::ustring();
    // Any text reads back as null in a VT_NULL property; there is no other for null.
    if (value.vt == VT_NULL) return vt == VT_NULL ? L"Null" : L"";
    _variant_t converted;
    if (!CopyVariant(converted, value) ||
        !basalt::VariantChangeType(lcidLibrary, VT_BSTR, converted, 0, false))
        return basalt::ustring();
    basalt::ustring text(TextOf(converted.bstrVal));
    _variant_t back;
    if (!ReadAs(text, vt, back)) return basalt::ustring();
    if (value.vt != vt || (vt != VT_R4 && vt != VT_R8) || Same(back, value)) return text;
    // 9 significant digits tell every float apart, 17 every double.
    const double number = vt == VT_R4 ? value.fltVal : value.dblVal;
    for (int digits = vt == VT_R4 ? 9 : 16; digits <= (vt == VT_R4 ? 9 : 17); ++digits) {
        basalt::ustring exact;
        exact.sprintf(L"%.*g", digits, number);
        if (ReadAs(exact, vt, back) && Same(back, value)) return exact;
    }
    return text;  // the reader's rounding: the nearest it can do
}

// Texts are enclosed in quotes: the reader removes them, and inside them
// commas, braces and an empty text survive the cutting into fields.
basalt::ustring Quoted(const basalt::ustring& text) { return L"\"" + text + L"\""; }

// key="text" when that reads back as text, else key*=escaped text.
basalt::ustring QuotedField(const wchar_t* key, const basalt::ustring& text) {
    basalt::ustring field(key);
    field += L"=";
    field += Quoted(text);
    if (StandsAlone(field)) return field;
    field = key;
    field += L"*=";
    field += Escaped(text);
    return field;
}

// One option as the established form writes it: {value,"name",flag}, the
// value quoted when quote is set. Empty when the option's list cannot carry it.
basalt::ustring LiteralOption(const basalt::ustring& value, bool quote, const basalt::ustring& name, int flag) {
    basalt::ustring entry(L"{"), number;
    entry += quote ? Quoted(value) : value;
    entry += L",";
    entry += Quoted(name);
    entry += number.sprintf(L",%d}", flag);
    if (entry.find(L'|') != basalt::ustring::npos || !StandsAlone(basalt::ustring(L"x=") += entry))
        return basalt::ustring();
    // What the reader makes of it: the outer braces go, then the fields.
    size_t first = entry.find_first_not_of(L'{'), last = entry.find_last_not_of(L'}');
    if (first == basalt::ustring::npos || last == basalt::ustring::npos || first > last) return basalt::ustring();
    std::vector<basalt::ustring> fields;
    try {
        CProperty::split(entry.substr(first, last - first + 1).c_str(), L',', fields);
    } catch (const basalt::CWinException&) {
        return basalt::ustring();  // braces of the value that the reader would take for its own
    }
    if (fields.size() != 3) return basalt::ustring();
    StripQuotes(fields[0]);
    StripQuotes(fields[1]);
    return fields[0] == value && fields[1] == name ? entry : basalt::ustring();
}

// "key=value" into its two parts (an empty part counts).
void SplitPair(const basalt::ustring& field, std::vector<basalt::ustring>& parts) {
    field.split(L'=', parts, true);
    if (parts.size() != 2) FailLoad(__LINE__);
}

// A Value, Min or Max text. An empty text is the empty value: that is what
// an empty value is written as, whatever the type.
_variant_t ReadValue(basalt::ustring text, VARTYPE vt, bool unquote) {
    _variant_t value;
    if (text.empty()) return value;
    // The writer quotes a text value; without this a string would grow a pair
    // of quotes on every save and load.
    if (unquote && vt == VT_BSTR) text = Unquoted(text);
    if (!ReadAs(text, vt, value)) FailLoad(__LINE__);
    return value;
}

void ReadOptions(const basalt::ustring& list, VARTYPE vt, COptionSet& options, bool escaped) {
    if (vt == VT_EMPTY) FailLoad(__LINE__);
    options.SetType(vt);
    std::vector<basalt::ustring> entries, fields;
    list.split(L'|', entries);
    for (basalt::ustring& entry : entries) {
        entry.trim();
        if (entry.empty() || entry.front() != L'{' || entry.back() != L'}') FailLoad(__LINE__);
        size_t first = entry.find_first_not_of(L'{'), last = entry.find_last_not_of(L'}');
        basalt::ustring inner;
        if (first != basalt::ustring::npos && last != basalt::ustring::npos && first <= last)
            inner = entry.substr(first, last - first + 1);
        CProperty::split(inner.c_str(), L',', fields);
        if (fields.empty() || fields.size() > 3) FailLoad(__LINE__);
        for (basalt::ustring& field : fields) field = escaped ? Unescaped(Unquoted(field)) : Unquoted(field);
        BYTE flag = fields.size() == 3 ? static_cast<BYTE>(fields[2].atoi64()) : 0;
        // A value present already is not added again.
        options.AddOption(_variant_t(ToBstr(fields[0])), fields.size() >= 2 ? fields[1].c_str() : nullptr,
                          nullptr, flag, lcidLibrary);
    }
}

}  // namespace

basalt::ustring CProperty::VT2Str(VARTYPE vt) {
    for (const auto& type : kTypeNames)
        if (type.vt == vt) return type.name;
    Fail(__LINE__, L"CProperty::VT2Str", ERROR_UNSUPPORTED_TYPE);
}

VARTYPE CProperty::Str2VT(const wchar_t* name) {
    for (const auto& type : kTypeNames)
        if (basalt::ustring(name).compareNoCase(type.name) == 0) return type.vt;
    Fail(__LINE__, L"CProperty::Str2VT", ERROR_UNSUPPORTED_TYPE);
}

basalt::ustring CProperty::AccessPolicy2Str(EAccessPolicy access) {
    switch (access) {
    case accessFull: return L"full";
    case accessReadOnly: return L"read-only";
    }
    Fail(__LINE__, L"CProperty::AccessPolicy2Str", ERROR_UNSUPPORTED_TYPE);
}

void CProperty::split(const wchar_t* text, wchar_t, std::vector<basalt::ustring>& fields) {
    basalt::ustring marked(text);
    CFieldScan scan;
    for (wchar_t& c : marked) {
        if (scan.Boundary(c)) c = kFieldMark;
        if (scan.depth < 0) Fail(__LINE__, L"CProperty::split", ERROR_INVALID_PARAMETER);
    }
    marked.split(kFieldMark, fields);
}

_bstr_t CProperty::Save() const {
    basalt::ustring text(QuotedField(L"Id", m_name)), number;
    if (m_access != accessFull) text += L",AP=" + AccessPolicy2Str(m_access);
    text += L",vt=" + VT2Str(m_vt);
    text += number.sprintf(L",Flags=%u,PL=%u", static_cast<unsigned>(m_flags),
                           static_cast<unsigned>(m_level));
    const basalt::ustring value = WrittenText(m_value, m_vt);
    text += L",";
    text += m_value.vt == VT_BSTR ? QuotedField(L"Value", value) : basalt::ustring(L"Value=") += value;
    if (m_constraint == constraintOptions) text += SaveOptions();
    if (m_constraint == constraintRange)
        text += L",Min=" + WrittenText(m_min, m_vt) + L",Max=" + WrittenText(m_max, m_vt);
    return ToBstr(text);
}

basalt::ustring CProperty::SaveOptions() const {
    struct CWritten {
        basalt::ustring value, name;
        int flag;
        bool text;
    };
    std::vector<CWritten> written;
    for (DWORD i = 0; i < m_options.GetCount(); ++i) {
        const COption& option = *static_cast<const COption*>(m_options.GetAt(i));
        CWritten w;
        w.value = WrittenText(option.Value(), m_vt);
        w.name = static_cast<const wchar_t*>(option.GetName(lcidLibrary));
        w.flag = static_cast<int>(option.GetFlag());
        w.text = option.Value().vt == VT_BSTR;
        // An option no text can name (a NaN, an error code) cannot be read back.
        if (!w.value.empty() || w.text) written.push_back(w);
    }
    // An empty list is left out: the reader refuses one of type VT_EMPTY.
    if (written.empty()) return basalt::ustring();

    basalt::ustring list(L",Options="), number;
    for (const CWritten& w : written) {
        basalt::ustring entry = LiteralOption(w.value, false, w.name, w.flag);
        if (entry.empty() && w.text) entry = LiteralOption(w.value, true, w.name, w.flag);
        if (entry.empty()) break;
        if (&w != &written.front()) list += L"|";
        list += entry;
        if (&w == &written.back()) return list;
    }
    // Some option cannot be carried as it is: the whole list goes escaped,
    // its fields quoted so that an empty text still makes a field.
    list = L",Options*=";
    for (const CWritten& w : written) {
        if (&w != &written.front()) list += L"|";
        list += L"{";
        list += Quoted(Escaped(w.value));
        list += L",";
        list += Quoted(Escaped(w.name));
        list += number.sprintf(L",%d}", w.flag);
    }
    return list;
}

void CProperty::Load(const wchar_t* text) {
    std::vector<basalt::ustring> fields, pair;
    split(text, L',', fields);

    // The type first, since every value is read in it. This search takes
    // the fields as they stand: "vt" must follow its comma directly.
    VARTYPE vt = VT_EMPTY;
    bool typed = false;
    for (const basalt::ustring& field : fields) {
        SplitPair(field, pair);
        if (pair[0].compareNoCase(L"vt") == 0) {
            vt = Str2VT(pair[1].c_str());
            typed = true;
            break;
        }
    }
    if (!typed) FailLoad(__LINE__);

    basalt::ustring name;
    EAccessPolicy access = accessFull;
    DWORD flags = 0;
    BYTE level = 0;
    _variant_t value, minimum, maximum;
    COptionSet options(VT_EMPTY, COptionSet::orderInsertion);  // the text's order
    for (basalt::ustring& field : fields) {
        field.trim();
        SplitPair(field, pair);
        const basalt::ustring& key = pair[0];
        basalt::ustring& right = pair[1];
        if (key.compareNoCase(L"Id") == 0) {
            name = Unquoted(right);
        } else if (key.compareNoCase(L"Id*") == 0) {
            name = Unescaped(right);
        } else if (key.compareNoCase(L"AP") == 0) {
            if (right.compareNoCase(L"full") == 0)
                access = accessFull;
            else if (right.compareNoCase(L"read-only") == 0)
                access = accessReadOnly;
            else
                FailLoad(__LINE__);
        } else if (key.compareNoCase(L"Flags") == 0) {
            flags = static_cast<DWORD>(right.atoi64());  // all 32 bits, "%u" wrote them
        } else if (key.compareNoCase(L"PL") == 0) {
            level = static_cast<BYTE>(right.atoi64());
        } else if (key.compareNoCase(L"Value") == 0) {
            value = ReadValue(right, vt, true);
        } else if (key.compareNoCase(L"Value*") == 0) {
            if (!ReadAs(Unescaped(right), vt, value)) FailLoad(__LINE__);
        } else if (key.compareNoCase(L"Min") == 0) {
            minimum = ReadValue(right, vt, false);
        } else if (key.compareNoCase(L"Max") == 0) {
            maximum = ReadValue(right, vt, false);
        } else if (key.compareNoCase(L"Options") == 0 || key.compareNoCase(L"Options*") == 0) {
            ReadOptions(right, vt, options, key.back() == L'*');
        }
    }

    // Bounds of zero mean "no range". Their test is the default conversion to
    // a boolean, which throws _com_error for a bound that is no number (a
    // VT_BSTR bound "abc"); the property is left as it was.
    CProperty read;
    if (options.GetCount() > 0)
        read = CProperty(name.c_str(), access, vt, flags, level, value, options);
    else if (static_cast<bool>(minimum) || static_cast<bool>(maximum))
        read = CProperty(name.c_str(), access, vt, flags, level, value, minimum, maximum);
    else
        read = CProperty(name.c_str(), access, vt, flags, level, value);
    swap(read);
}

}  // namespace corvane
