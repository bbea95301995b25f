#pragma once
// Escape functions: the named commands a port or locator offers beside the
// common interface, and the table through which its Escape reaches them.
//
// An owner keeps a CEscapeFunctionManager<CEscapeFunction> member, registers
// its commands in its constructor and forwards Escape:
//   m_escapes.Register(boost::shared_ptr<CEscapeFunction>(new CEscapeCommFunction(this)));
//   boost::shared_ptr<IPropertySet> Escape(const wchar_t* name,
//                                          boost::shared_ptr<IPropertySet> args) override {
//       return m_escapes.Escape(name, args);
//   }
#include "corvane/Properties.h"

#include <map>

namespace corvane {

// One command. Derived commands keep a plain pointer to their owner: they
// live in the owner's manager and never outlive it.
class CEscapeFunction {
public:
    CEscapeFunction(const wchar_t* name, BYTE level) : m_name(name), m_level(level) {}

    virtual basalt::ustring GetName() const { return m_name; }
    virtual BYTE GetPL() const { return m_level; }
    // The arguments the command takes, as a template a client fills in: each
    // argument with its type, default and options. None here.
    virtual boost::shared_ptr<IPropertySet> GetParameters() const {
        return boost::shared_ptr<IPropertySet>(new CPropertySet);
    }
    // Runs the command; an empty pointer when it has no result.
    virtual boost::shared_ptr<IPropertySet> Invoke(boost::shared_ptr<IPropertySet> args) = 0;

protected:
    // Not virtual: a command is owned by a boost::shared_ptr made from its
    // derived type, which destroys it as that type. Protected, so that
    // nothing deletes it through this class.
    ~CEscapeFunction() {}

private:
    basalt::ustring m_name;
    BYTE m_level;
};

// A command of an owner of type TOwner (a port, a locator), which it reaches
// through m_owner.
template <class TOwner>
class COwnedEscapeFunction : public CEscapeFunction {
public:
    COwnedEscapeFunction(const wchar_t* name, BYTE level, TOwner* owner)
        : CEscapeFunction(name, level), m_owner(owner) {}
    COwnedEscapeFunction(const COwnedEscapeFunction&) = delete;
    COwnedEscapeFunction& operator=(const COwnedEscapeFunction&) = delete;

protected:
    ~COwnedEscapeFunction() {}

    TOwner* const m_owner;
};

// The parameters of a command that takes one argument: its name, its type and
// the default a client starts from.
inline boost::shared_ptr<IPropertySet> OneParameter(const wchar_t* name, VARTYPE vt, const _variant_t& value) {
    boost::shared_ptr<CPropertySet> set(new CPropertySet);
    set->AddCopy(CProperty(name, IProperty::accessFull, vt, 0, 0, value));
    return set;
}

// The argument of that name, empty when args is empty or lacks it.
inline boost::shared_ptr<IProperty> Argument(const boost::shared_ptr<IPropertySet>& args, const wchar_t* name) {
    return args ? args->Find(name) : boost::shared_ptr<IProperty>();
}

// The commands of one owner by name (exact, case-sensitive). Filled once by
// the owner's constructor and only read afterwards, so it takes no lock; a
// command that touches its owner's state takes the owner's lock itself.
template <class TFunction>
class CEscapeFunctionManager {
public:
    typedef boost::shared_ptr<TFunction> FunctionPtr;

    // Stores the function under its name, replacing one of the same name.
    void Register(const FunctionPtr& function) {
        if (!function)
            throw basalt::CWinException(__LINE__, L"Escape",
                                        L"CEscapeFunctionManager<class CEscapeFunction>::Register",
                                        ERROR_INVALID_PARAMETER);
        m_functions[function->GetName()] = function;
    }

    // Throws ERROR_INVALID_FUNCTION for a name that is not stored.
    FunctionPtr GetFunctionPtr(const wchar_t* name) const {
        typename Map::const_iterator found = m_functions.find(basalt::ustring(name));
        if (found == m_functions.end())
            throw basalt::CWinException(__LINE__, L"Escape",
                                        L"CEscapeFunctionManager<class CEscapeFunction>::GetFunctionPtr",
                                        ERROR_INVALID_FUNCTION);
        return found->second;
    }

    // One read-only, untyped, empty property per command, in name order,
    // carrying the command's level; an empty set when there are none.
    boost::shared_ptr<IPropertySet> GetFunctionList() const {
        boost::shared_ptr<CPropertySet> list(new CPropertySet);
        for (const typename Map::value_type& entry : m_functions)
            list->AddCopy(CProperty(entry.first.c_str(), IProperty::accessReadOnly, VT_EMPTY, 0,
                                    entry.second->GetPL(), _variant_t()));
        return list;
    }

    boost::shared_ptr<IPropertySet> GetParameters(const wchar_t* name) const {
        return GetFunctionPtr(name)->GetParameters();
    }

    boost::shared_ptr<IPropertySet> Invoke(const wchar_t* name,
                                           boost::shared_ptr<IPropertySet> args) const {
        return GetFunctionPtr(name)->Invoke(args);
    }

    // What an owner's Escape answers: a null name lists the commands, no
    // arguments describe one, otherwise it runs. A command's own errors pass
    // through unchanged.
    boost::shared_ptr<IPropertySet> Escape(const wchar_t* name,
                                           boost::shared_ptr<IPropertySet> args) const {
        if (!name) return GetFunctionList();
        if (!args) return GetParameters(name);
        return Invoke(name, args);
    }

    DWORD GetCount() const { return static_cast<DWORD>(m_functions.size()); }

private:
    typedef std::map<basalt::ustring, FunctionPtr> Map;
    Map m_functions;
};

}  // namespace corvane
