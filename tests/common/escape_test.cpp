// The escape protocol: listing, describing and running an owner's commands.
#include "CorvaneAux/Escape.h"

#include <gtest/gtest.h>

using namespace corvane;

namespace {
typedef boost::shared_ptr<IPropertySet> SetPtr;

int g_destroyed = 0;

// Upper-cases its "Text" argument; a missing argument is the command's own error.
class CShoutFunc : public CEscapeFunction {
public:
    explicit CShoutFunc(int* calls) : CEscapeFunction(L"Shout", 0), m_calls(calls) {}
    ~CShoutFunc() { ++g_destroyed; }

    SetPtr GetParameters() const override {
        SetPtr parameters(new CPropertySet);
        parameters->Add(boost::shared_ptr<IProperty>(
            new CProperty(L"Text", IProperty::accessFull, VT_BSTR, 0, 0, _variant_t(L"hello"))));
        return parameters;
    }
    SetPtr Invoke(SetPtr args) override {
        ++*m_calls;
        boost::shared_ptr<IProperty> text = args->Find(L"Text");
        if (!text)
            throw basalt::CWinException(__LINE__, L"Test", L"CShoutFunc::Invoke", ERROR_INVALID_PARAMETER);
        basalt::ustring loud(_bstr_t(text->GetValue()));
        boost::shared_ptr<CPropertySet> result(new CPropertySet);
        result->AddCopy(CProperty(L"Result", IProperty::accessReadOnly, VT_BSTR, 0, 0,
                                  _variant_t(loud.strupr().c_str())));
        return result;
    }

private:
    int* m_calls;
};

// No arguments and no result.
class CResetFunc : public CEscapeFunction {
public:
    CResetFunc(const wchar_t* name, BYTE level, int* calls) : CEscapeFunction(name, level), m_calls(calls) {}
    ~CResetFunc() { ++g_destroyed; }
    SetPtr Invoke(SetPtr) override {
        ++*m_calls;
        return SetPtr();
    }

private:
    int* m_calls;
};

// An owner as drivers write them.
class CDevice {
public:
    CDevice() {
        m_escapes.Register(boost::shared_ptr<CEscapeFunction>(new CShoutFunc(&shouts)));
        m_escapes.Register(boost::shared_ptr<CEscapeFunction>(new CResetFunc(L"Reset", 3, &resets)));
    }
    SetPtr Escape(const wchar_t* name, SetPtr args) { return m_escapes.Escape(name, args); }

    int shouts = 0, resets = 0;
    CEscapeFunctionManager<CEscapeFunction> m_escapes;
};

SetPtr Args(const wchar_t* text) { return IPropertySet::CreateInstance(text); }

void ExpectUnknownCommand(CDevice& device, const wchar_t* name, SetPtr args) {
    try {
        device.Escape(name, args);
        ADD_FAILURE() << "no error for an unknown command";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
        EXPECT_EQ(e.GetFile(), L"Escape");
        EXPECT_EQ(e.GetFunction(), L"CEscapeFunctionManager<class CEscapeFunction>::GetFunctionPtr");
    }
}
}  // namespace

TEST(Escape, ANullNameListsTheCommandsInNameOrder) {
    CDevice device;
    SetPtr list = device.Escape(nullptr, Args(L"Id=\"ignored\",vt=VT_I4,Value=1;"));
    ASSERT_TRUE(list);
    ASSERT_EQ(list->GetCount(), 2u);
    const std::pair<const wchar_t*, BYTE> expected[] = {{L"Reset", 3}, {L"Shout", 0}};
    for (DWORD i = 0; i < 2; ++i) {
        boost::shared_ptr<IProperty> entry = list->GetAt(i);
        EXPECT_EQ(basalt::ustring(entry->GetName()), expected[i].first);
        EXPECT_EQ(entry->GetAccessPolicy(), IProperty::accessReadOnly);
        EXPECT_EQ(entry->GetVarType(), VT_EMPTY);
        EXPECT_EQ(entry->GetFlags(), 0u);
        EXPECT_EQ(entry->GetPL(), expected[i].second);
        EXPECT_EQ(entry->GetValue().vt, VT_EMPTY);
    }
    EXPECT_EQ(device.shouts + device.resets, 0);  // listing runs nothing

    CEscapeFunctionManager<CEscapeFunction> none;
    SetPtr empty = none.Escape(nullptr, SetPtr());
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->GetCount(), 0u);
}

TEST(Escape, NoArgumentsDescribeTheCommand) {
    CDevice device;
    SetPtr parameters = device.Escape(L"Shout", SetPtr());
    ASSERT_TRUE(parameters);
    ASSERT_EQ(parameters->GetCount(), 1u);
    EXPECT_EQ(basalt::ustring(parameters->GetAt(0)->GetName()), L"Text");
    EXPECT_EQ(parameters->GetAt(0)->GetVarType(), VT_BSTR);

    // A command without arguments describes itself with a new empty set each time.
    SetPtr none = device.Escape(L"Reset", SetPtr());
    ASSERT_TRUE(none);
    EXPECT_EQ(none->GetCount(), 0u);
    EXPECT_NE(none, device.Escape(L"Reset", SetPtr()));
    EXPECT_EQ(device.shouts + device.resets, 0);
}

TEST(Escape, ArgumentsRunTheCommand) {
    CDevice device;
    // The client's way: fill in a copy of the template.
    SetPtr args = device.Escape(L"Shout", SetPtr())->Clone();
    ASSERT_TRUE(args->SetValue(L"Text", _variant_t(L"rover")));
    SetPtr result = device.Escape(L"Shout", args);
    ASSERT_TRUE(result);
    EXPECT_EQ(basalt::ustring(_bstr_t(result->Find(L"Result")->GetValue())), L"ROVER");
    EXPECT_EQ(device.shouts, 1);

    // A command without result answers an empty pointer; an empty argument set still runs it.
    EXPECT_FALSE(device.Escape(L"Reset", Args(L"")));
    EXPECT_EQ(device.resets, 1);
}

TEST(Escape, UnknownCommandsAreRefusedWithCodeOne) {
    CDevice device;
    ExpectUnknownCommand(device, L"Launch", SetPtr());
    ExpectUnknownCommand(device, L"Launch", Args(L""));
    ExpectUnknownCommand(device, L"shout", SetPtr());  // names are exact
    ExpectUnknownCommand(device, L"Shout ", SetPtr());
    ExpectUnknownCommand(device, L"", SetPtr());
    EXPECT_EQ(device.shouts + device.resets, 0);
}

TEST(Escape, ACommandsOwnErrorsPassThroughUnchanged) {
    CDevice device;
    try {
        device.Escape(L"Shout", Args(L"Id=\"Other\",vt=VT_I4,Value=1;"));
        ADD_FAILURE() << "no error for a missing argument";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(e.GetFunction(), L"CShoutFunc::Invoke");
    }
}

TEST(Escape, RegisteringANameAgainReplacesTheCommand) {
    CDevice device;
    int replaced = 0;
    g_destroyed = 0;
    device.m_escapes.Register(boost::shared_ptr<CEscapeFunction>(new CResetFunc(L"Shout", 7, &replaced)));
    EXPECT_EQ(g_destroyed, 1);  // the old one is gone, as its own type
    EXPECT_EQ(device.m_escapes.GetCount(), 2u);
    EXPECT_EQ(device.Escape(nullptr, SetPtr())->Find(L"Shout")->GetPL(), 7);
    device.Escape(L"Shout", Args(L""));
    EXPECT_EQ(replaced, 1);
    EXPECT_EQ(device.shouts, 0);

    EXPECT_THROW(device.m_escapes.Register(boost::shared_ptr<CEscapeFunction>()), basalt::CWinException);
}

TEST(Escape, CommandsEndWithTheirOwner) {
    g_destroyed = 0;
    { CDevice device; }
    EXPECT_EQ(g_destroyed, 2);
}
