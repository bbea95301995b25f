#pragma once
#include <Corvane/Config.h>

#include <set>

namespace corvane {

// Orders variants by basalt::VariantCompare. Transparent, so that a set of
// _variant_t can be searched with a plain VARIANT without copying it.
struct VariantLess {
    typedef void is_transparent;
    bool operator()(const VARIANT& a, const VARIANT& b) const {
        return basalt::VariantCompare(a, b) < 0;
    }
};
typedef std::set<_variant_t, VariantLess> VariantSet;

// One allowed value of a property, with an optional display name.
class IOption {
public:
    virtual ~IOption() {}
    virtual _variant_t GetValue() const = 0;
    // The name if it has one, else the value as text under lcid, else "???".
    virtual _bstr_t GetName(LCID lcid) const = 0;
    virtual _bstr_t GetDescription() const = 0;
    virtual BYTE GetFlag() const = 0;
    virtual bool Compare(const IOption& other) const = 0;
};

// The allowed values of a property, all of one type. Enumerations are
// identified by cursor numbers; several may be open at once.
class IOptionSet {
public:
    virtual ~IOptionSet() {}
    virtual DWORD GetCount() const = 0;
    virtual VARTYPE GetVarType() const = 0;
    // Returned options point into the set: valid until the set changes.
    virtual const IOption* GetAt(DWORD index) const = 0;
    virtual const IOption* GetFirst(DWORD* cursor) = 0;
    virtual const IOption* GetNext(DWORD cursor) = 0;
    virtual bool EndEnumeration(DWORD cursor) = 0;
    virtual bool Compare(const IOptionSet& other) const = 0;
    virtual void Remove(const VARIANT& value) = 0;
};

class ILink {
public:
    virtual ~ILink() {}
    virtual _variant_t GetValue() const = 0;
    virtual const VariantSet& GetValues() const = 0;
    virtual bool Contains(VARIANT value) const = 0;
};

class IDependency {
public:
    virtual ~IDependency() {}
    virtual _bstr_t GetName() const = 0;
    virtual DWORD GetCount() const = 0;
    virtual bool Check(const VARIANT& key, const VARIANT& value) const = 0;
};

class IDependencySet {
public:
    virtual ~IDependencySet() {}
    virtual DWORD GetCount() const = 0;
    virtual boost::shared_ptr<IDependency> Find(const wchar_t* name) const = 0;
    virtual boost::shared_ptr<IDependency> GetAt(DWORD index) const = 0;
};

// One named, typed value with an access policy and an optional constraint
// (a list of options or a range), readable from and writable to one line of text:
//   Id="Baud",vt=VT_UI4,Flags=0,PL=0,Value=9600,Options={9600,"",0}|{19200,"",0}
class IProperty {
public:
    enum EAccessPolicy { accessFull = 0, accessReadOnly = 1 };
    // What GetConstraint answers: which rule SetValue applies besides the type.
    enum EConstraint {
        constraintNone = 0,     // any value convertible to the type
        constraintOptions = 1,  // one of GetOptions' values
        constraintRange = 2     // GetMin <= value <= GetMax; for VT_BSTR the text's length
    };

    // Reads a property from its text form; throws basalt::CWinException
    // ("CProperty::Load" 87 and the others of the text reader) on malformed text.
    static CORVANE_API boost::shared_ptr<IProperty> CreateInstance(const wchar_t* text);

    virtual ~IProperty() {}
    virtual _bstr_t GetName() const = 0;
    virtual EAccessPolicy GetAccessPolicy() const = 0;
    virtual DWORD GetConstraint() const = 0;
    virtual VARTYPE GetVarType() const = 0;
    virtual DWORD GetFlags() const = 0;
    virtual BYTE GetPL() const = 0;
    virtual _variant_t GetValue() const = 0;
    virtual _variant_t GetMin() const = 0;
    virtual _variant_t GetMax() const = 0;
    virtual _bstr_t GetValueText(LCID lcid) const = 0;
    virtual _bstr_t GetDisplayText(LCID lcid) const = 0;
    // False when the policy or the constraint refuses the value.
    virtual bool SetValue(const VARIANT& value, LCID lcid) = 0;
    virtual IOptionSet& GetOptions() = 0;
    virtual boost::shared_ptr<IDependencySet> GetDependencies() const = 0;
    virtual bool Compare(const IProperty& other, bool withValue) const = 0;
    virtual _bstr_t GetAnnotationA() const = 0;
    virtual _bstr_t GetAnnotationB() const = 0;
    virtual boost::shared_ptr<IProperty> Clone() const = 0;
    virtual void Load(const wchar_t* text) = 0;
    virtual _bstr_t Save() const = 0;
};

// An ordered collection of properties with unique names. Its text form is
// each property's text followed by a semicolon.
class IPropertySet {
public:
    static CORVANE_API boost::shared_ptr<IPropertySet> CreateInstance(const wchar_t* text);

    virtual ~IPropertySet() {}
    virtual DWORD GetCount() const = 0;
    virtual void Clear() = 0;
    virtual bool Add(boost::shared_ptr<IProperty> property) = 0;
    virtual boost::shared_ptr<IProperty> GetAt(DWORD index) const = 0;
    virtual boost::shared_ptr<IProperty> Find(const wchar_t* name) const = 0;
    virtual bool SetValueAt(DWORD index, const VARIANT& value) = 0;
    virtual bool SetValue(const wchar_t* name, const VARIANT& value) = 0;
    virtual bool Compare(const IPropertySet& other, bool withValue) const = 0;
    virtual boost::shared_ptr<IPropertySet> Clone() const = 0;
    virtual void Load(const wchar_t* text) = 0;
    virtual _bstr_t Save() const = 0;
};

}  // namespace corvane
