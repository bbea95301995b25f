// The property factories through Corvane.dll, as a client uses them: objects
// behind interfaces, failures caught across the DLL boundary.
#include <Corvane.h>

#include <comdef.h>

#include "properties/Expect.h"

using corvane::IProperty;
using corvane::IPropertySet;

TEST(PropertyApi, ReadsSetsAndSavesThroughTheInterfaces) {
    boost::shared_ptr<IPropertySet> settings = IPropertySet::CreateInstance(
        L"Id=\"Baud\",vt=VT_UI4,Flags=0,PL=0,Value=9600,Options={9600,\"slow\",0}|{19200};"
        L"Id=\"Name\",AP=read-only,vt=VT_BSTR,Flags=0,PL=0,Value=\"receiver\",Min=1,Max=16;");
    ASSERT_EQ(settings->GetCount(), 2u);
    EXPECT_EQ(Text(settings->GetAt(0)->GetDisplayText(1033)), L"slow");
    EXPECT_TRUE(settings->SetValue(L"Baud", _variant_t(19200UL)));
    EXPECT_FALSE(settings->SetValue(L"Baud", _variant_t(38400UL)));
    EXPECT_FALSE(settings->SetValue(L"Name", _variant_t(L"other")));
    boost::shared_ptr<IPropertySet> copy = settings->Clone();
    EXPECT_TRUE(IPropertySet::CreateInstance(settings->Save())->Compare(*copy, true));

    boost::shared_ptr<IProperty> baud = IProperty::CreateInstance(settings->GetAt(0)->Save());
    EXPECT_TRUE(baud->Compare(*settings->GetAt(0), true));
    DWORD cursor = 0;
    ASSERT_TRUE(baud->GetOptions().GetFirst(&cursor));
    EXPECT_EQ(baud->GetOptions().GetNext(cursor)->GetValue().ulVal, 19200u);
    EXPECT_TRUE(baud->GetOptions().EndEnumeration(cursor));
}

TEST(PropertyApi, ReaderErrorsCrossTheBoundary) {
    const struct {
        const wchar_t* text;
        const wchar_t* function;
        DWORD code;
    } cases[] = {
        {L"Id=\"x\",Value=1", L"CProperty::Load", ERROR_INVALID_PARAMETER},
        {L"vt=VT_I4,Value={}}", L"CProperty::split", ERROR_INVALID_PARAMETER},
        {L"vt=VT_STRING", L"CProperty::Str2VT", ERROR_UNSUPPORTED_TYPE},
        {L"vt=VT_I4,Options={1}|{one}", L"COption::COption", ERROR_INVALID_PARAMETER},
        {L"vt=VT_CY,Value=1,Min=0,Max=2", L"CProperty::CompareNumbers", ERROR_UNSUPPORTED_TYPE},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(ThrowsWinError([&] { IProperty::CreateInstance(c.text); }, c.function, c.code)) << c.text;
        const std::wstring inSet = std::wstring(L"vt=VT_I4;") + c.text;
        EXPECT_TRUE(ThrowsWinError([&] { IPropertySet::CreateInstance(inSet.c_str()); }, c.function, c.code));
    }
    try {
        IPropertySet::CreateInstance(nullptr)->Load(L"Id=\"broken\"");
        FAIL() << "no exception";
    } catch (const basalt::CStdException& e) {  // through the base class too
        EXPECT_EQ(e.GetFile(), L"Properties");
        EXPECT_NE(std::string(e.what()).find("CProperty::Load"), std::string::npos);
    }
    EXPECT_THROW(IProperty::CreateInstance(L"vt=VT_BSTR,Min=low,Max=5"), _com_error);
}

namespace {
// A set of another implementation that has lost its property.
class CHollowSet : public IPropertySet {
public:
    DWORD GetCount() const override { return 1; }
    void Clear() override {}
    bool Add(boost::shared_ptr<IProperty>) override { return false; }
    boost::shared_ptr<IProperty> GetAt(DWORD) const override { return {}; }
    boost::shared_ptr<IProperty> Find(const wchar_t*) const override { return {}; }
    bool SetValueAt(DWORD, const VARIANT&) override { return false; }
    bool SetValue(const wchar_t*, const VARIANT&) override { return false; }
    bool Compare(const IPropertySet&, bool) const override { return false; }
    boost::shared_ptr<IPropertySet> Clone() const override { return {}; }
    void Load(const wchar_t*) override {}
    _bstr_t Save() const override { return L""; }
};
}  // namespace

TEST(PropertyApi, CompareWithAHollowSetIsAnInternalError) {
    CHollowSet hollow;
    EXPECT_TRUE(ThrowsWinError([&] { IPropertySet::CreateInstance(L"vt=VT_I4;")->Compare(hollow, false); },
                               L"CPropertySet::Compare", ERROR_INTERNAL_ERROR));
}
