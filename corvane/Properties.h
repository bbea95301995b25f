#pragma once
// The property model: options and option sets, dependencies and links,
// properties and property sets, and their one-line text form.
//
// Building settings or escape results from C++:
//
//   COptionSet rates(VT_UI4);
//   rates.AddOption(_variant_t(9600UL));
//   rates.AddOption(_variant_t(19200UL), L"fast");
//   CPropertySet set;
//   set.AddCopy(CProperty(L"Baud", IProperty::accessFull, VT_UI4, 0, 0, _variant_t(9600UL), rates));
//   set.AddCopy(CProperty(L"Timeout", IProperty::accessFull, VT_UI4, 0, 0, _variant_t(500UL),
//                         _variant_t(0UL), _variant_t(60000UL)));
//   set.AddCopy(CProperty(L"Port", IProperty::accessReadOnly, VT_BSTR, 0, 0, _variant_t(L"COM3")));
//
// Give range bounds the property's own type (for VT_BSTR: texts of the two
// lengths): the text form reads bounds back in that type, and Compare wants
// the same type on both sides.
#include <Corvane/Properties.h>

#include <map>
#include <set>
#include <vector>

namespace corvane {

// US English: the locale the library converts under wherever it chooses one.
const LCID lcidLibrary = 1033;

class COption : public IOption {
public:
    // The value is converted to vt (unless vt is VT_EMPTY or already the
    // value's type) under lcid; a value that does not convert throws
    // CWinException "COption::COption" 87. Null texts leave the fields empty.
    COption(const VARIANT& value, VARTYPE vt, const wchar_t* name = nullptr,
            const wchar_t* description = nullptr, BYTE flag = 0, LCID lcid = lcidLibrary);

    _variant_t GetValue() const override { return m_value; }
    _bstr_t GetName(LCID lcid) const override;
    _bstr_t GetDescription() const override;
    BYTE GetFlag() const override { return m_flag; }
    bool Compare(const IOption& other) const override;

    const _variant_t& Value() const { return m_value; }
    // Converts the value in place; false (value unchanged) when it does not convert.
    bool ChangeType(VARTYPE vt, LCID lcid);

private:
    basalt::ustring m_name;
    basalt::ustring m_description;
    _variant_t m_value;
    BYTE m_flag;
};

// Options of one type, kept sorted by value or in the order they were added.
// No two options have values that compare equal.
class COptionSet : public IOptionSet {
public:
    enum EOrder { orderSorted = 0, orderInsertion = 1 };

    explicit COptionSet(VARTYPE vt = VT_EMPTY, DWORD order = orderSorted);
    // Copies the open enumerations too.
    COptionSet(const COptionSet& other);
    // Takes the other's order and forgets every enumeration. Options of another
    // type are re-added converted to this set's type (AddOption, so an option
    // that does not convert throws "COption::COption" 87).
    COptionSet& operator=(const COptionSet& other);

    DWORD GetCount() const override;
    VARTYPE GetVarType() const override { return m_vt; }
    const IOption* GetAt(DWORD index) const override;
    const IOption* GetFirst(DWORD* cursor) override { return EnumFirst(cursor); }
    const IOption* GetNext(DWORD cursor) override { return EnumNext(cursor); }
    bool EndEnumeration(DWORD cursor) override { return EnumEnd(cursor); }
    bool Compare(const IOptionSet& other) const override;
    void Remove(const VARIANT& value) override;

    void swap(COptionSet& other) noexcept;

    DWORD GetOrder() const { return m_order; }
    // Empties the set (and its enumerations); VT_NULL keeps the current type.
    void SetType(VARTYPE vt);
    // False when the value does not convert to the set's type or is present already.
    bool Add(const COption& option, LCID lcid = lcidLibrary);
    // As Add, for an option built with the set's type; a value that does not
    // convert throws "COption::COption" 87.
    bool AddOption(const VARIANT& value, const wchar_t* name = nullptr,
                   const wchar_t* description = nullptr, BYTE flag = 0, LCID lcid = lcidLibrary);

private:
    struct Less {
        typedef void is_transparent;
        bool operator()(const COption& a, const COption& b) const { return Cmp(a.Value(), b.Value()); }
        bool operator()(const COption& a, const VARIANT& b) const { return Cmp(a.Value(), b); }
        bool operator()(const VARIANT& a, const COption& b) const { return Cmp(a, b.Value()); }
        static bool Cmp(const VARIANT& a, const VARIANT& b) { return basalt::VariantCompare(a, b) < 0; }
    };
    typedef std::set<COption, Less> Sorted;

    // Enumerations are bookkeeping, not contents: const comparisons and
    // lookups enumerate too, so the cursors are mutable.
    struct Cursor {  // an enumeration ended however the scope is left
        explicit Cursor(const COptionSet* set) : set(set) {}
        ~Cursor() {
            if (set && number) set->EnumEnd(number);
        }
        const COptionSet* set;
        DWORD number = 0;
    };
    const IOption* EnumFirst(DWORD* cursor) const;
    const IOption* EnumNext(DWORD cursor) const;
    bool EnumEnd(DWORD cursor) const;
    void ForgetCursors();
    // The first option, in the set's order, for which match(option) holds;
    // enumerates with a cursor of its own and ends it.
    template <class Match>
    const IOption* FindFirst(Match match) const;

    VARTYPE m_vt;
    DWORD m_order;
    Sorted m_sorted;
    std::vector<COption> m_inserted;
    mutable DWORD m_nextCursor;
    mutable std::map<DWORD, Sorted::const_iterator> m_sortedCursors;
    mutable std::map<DWORD, size_t> m_insertedCursors;

    friend class CProperty;
};

// A set of values allowed when a dependency's key holds one value.
class CLink : public ILink {
public:
    explicit CLink(const VARIANT& value, const VariantSet& values = VariantSet());

    _variant_t GetValue() const override { return m_value; }
    const VariantSet& GetValues() const override { return m_values; }
    bool Contains(VARIANT value) const override;

private:
    _variant_t m_value;
    VariantSet m_values;
};

typedef std::map<_variant_t, CLink, VariantLess> LinkMap;

class CDependency : public IDependency {
public:
    explicit CDependency(const wchar_t* name, const LinkMap& links = LinkMap());

    _bstr_t GetName() const override;
    DWORD GetCount() const override { return static_cast<DWORD>(m_links.size()); }
    bool Check(const VARIANT& key, const VARIANT& value) const override;

private:
    basalt::ustring m_name;
    LinkMap m_links;
};

typedef std::map<basalt::ustring, CDependency> DependencyMap;

class CDependencySet : public IDependencySet {
public:
    explicit CDependencySet(const DependencyMap& dependencies = DependencyMap())
        : m_dependencies(dependencies) {}

    void swap(CDependencySet& other) noexcept { m_dependencies.swap(other.m_dependencies); }

    DWORD GetCount() const override { return static_cast<DWORD>(m_dependencies.size()); }
    boost::shared_ptr<IDependency> Find(const wchar_t* name) const override;
    boost::shared_ptr<IDependency> GetAt(DWORD index) const override;

private:
    DependencyMap m_dependencies;
};

class CProperty : public IProperty {
public:
    // An empty, untyped property: what the text reader starts from.
    CProperty();
    // Plain: any value convertible to vt.
    CProperty(const wchar_t* name, EAccessPolicy access, VARTYPE vt, DWORD flags, BYTE level,
              const VARIANT& value);
    // Options: one of the set's values (the set is copied by assignment).
    CProperty(const wchar_t* name, EAccessPolicy access, VARTYPE vt, DWORD flags, BYTE level,
              const VARIANT& value, const COptionSet& options);
    // Range: minimum <= value <= maximum (VT_BSTR: the length of the text).
    CProperty(const wchar_t* name, EAccessPolicy access, VARTYPE vt, DWORD flags, BYTE level,
              const VARIANT& value, const VARIANT& minimum, const VARIANT& maximum);
    // In every form a value the constraint refuses leaves the property empty,
    // and a VT_BOOL property that is not of the options form gets the options
    // false and true.

    CProperty(const CProperty& other);
    CProperty& operator=(const CProperty& other);
    void swap(CProperty& other) noexcept;

    _bstr_t GetName() const override;
    EAccessPolicy GetAccessPolicy() const override { return m_access; }
    DWORD GetConstraint() const override { return m_constraint; }
    VARTYPE GetVarType() const override { return m_vt; }
    DWORD GetFlags() const override { return m_flags; }
    BYTE GetPL() const override { return m_level; }
    _variant_t GetValue() const override { return m_value; }
    _variant_t GetMin() const override { return m_min; }
    _variant_t GetMax() const override { return m_max; }
    _bstr_t GetValueText(LCID lcid) const override;
    _bstr_t GetDisplayText(LCID lcid) const override;
    bool SetValue(const VARIANT& value, LCID lcid) override;
    IOptionSet& GetOptions() override { return m_options; }
    boost::shared_ptr<IDependencySet> GetDependencies() const override;
    bool Compare(const IProperty& other, bool withValue) const override;
    _bstr_t GetAnnotationA() const override;
    _bstr_t GetAnnotationB() const override;
    boost::shared_ptr<IProperty> Clone() const override;
    void Load(const wchar_t* text) override;
    _bstr_t Save() const override;

    virtual void SetAnnotationA(const wchar_t* text);
    virtual void SetAnnotationB(const wchar_t* text);
    virtual COptionSet& GetOptionSet() { return m_options; }
    // SetValue under lcidLibrary, as if the property were not read-only.
    virtual bool InitValue(const VARIANT& value);

    const COptionSet& Options() const { return m_options; }

    // Type names of the text form ("VT_UI4"); a type without a name throws
    // CWinException "CProperty::VT2Str" / "CProperty::Str2VT" 1630.
    static basalt::ustring VT2Str(VARTYPE vt);
    static VARTYPE Str2VT(const wchar_t* name);
    // "full", "read-only"; another policy throws "CProperty::AccessPolicy2Str" 1630.
    static basalt::ustring AccessPolicy2Str(EAccessPolicy access);
    // -1, 0, 1 with b converted to a's type (a number or VT_BOOL, else
    // "CProperty::CompareNumbers" 1630; a failed conversion throws _com_error).
    static int CompareNumbers(const VARIANT& a, const VARIANT& b);
    // Cuts text at the commas outside quotes and braces (and at every U+00A4);
    // empty fields are dropped. A closing brace too many throws "CProperty::split" 87.
    static void split(const wchar_t* text, wchar_t separator, std::vector<basalt::ustring>& fields);

private:
    struct Fields {};  // tags the constructor that only stores the fields

    // ",Options=..." (or ",Options*=..."), empty for an empty list.
    basalt::ustring SaveOptions() const;
    CProperty(Fields, DWORD constraint, const wchar_t* name, EAccessPolicy access, VARTYPE vt,
              DWORD flags, BYTE level);
    // InitValue, then the boolean rule.
    void Init(const VARIANT& value);
    USHORT ConversionFlags() const;

    basalt::ustring m_name;
    EAccessPolicy m_access;
    DWORD m_constraint;
    VARTYPE m_vt;
    DWORD m_flags;
    BYTE m_level;
    _variant_t m_value;
    _variant_t m_min;
    _variant_t m_max;
    COptionSet m_options;
    CDependencySet m_dependencies;
    basalt::ustring m_annotationA;
    basalt::ustring m_annotationB;
};

// Properties with distinct names, in the order they were added.
class CPropertySet : public IPropertySet {
public:
    CPropertySet() = default;
    // Shares the other set's property objects.
    CPropertySet(const CPropertySet& other) = default;

    DWORD GetCount() const override { return static_cast<DWORD>(m_properties.size()); }
    void Clear() override;
    bool Add(boost::shared_ptr<IProperty> property) override;
    boost::shared_ptr<IProperty> GetAt(DWORD index) const override;
    boost::shared_ptr<IProperty> Find(const wchar_t* name) const override;
    bool SetValueAt(DWORD index, const VARIANT& value) override;
    bool SetValue(const wchar_t* name, const VARIANT& value) override;
    bool Compare(const IPropertySet& other, bool withValue) const override;
    boost::shared_ptr<IPropertySet> Clone() const override;
    void Load(const wchar_t* text) override;
    _bstr_t Save() const override;

    // Adds a copy of the property; false when its name is taken.
    virtual bool AddCopy(const IProperty& property);

private:
    std::map<basalt::ustring, DWORD> m_index;
    std::vector<boost::shared_ptr<IProperty>> m_properties;
};

}  // namespace corvane
