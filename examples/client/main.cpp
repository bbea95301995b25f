// A client of the Corvane SDK: reads settings from their text form, changes
// one, and shows how the library reports bad input.
#include <Corvane.h>

#include <cstdio>

static int failures = 0;
static void Check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++failures;
}

int wmain() {
    using corvane::IProperty;
    using corvane::IPropertySet;

    boost::shared_ptr<IPropertySet> settings = IPropertySet::CreateInstance(
        L"Id=\"Baud\",vt=VT_UI4,Flags=0,PL=0,Value=9600,Options={9600,\"\",0}|{19200,\"\",0};"
        L"Id=\"Name\",AP=read-only,vt=VT_BSTR,Flags=0,PL=0,Value=\"rover\";");
    Check(settings->GetCount() == 2, "two properties read from text");
    boost::shared_ptr<IProperty> baud = settings->Find(L"Baud");
    Check(baud && baud->GetVarType() == VT_UI4 && baud->GetValue() == _variant_t(9600UL), "Baud is VT_UI4 9600");
    Check(settings->SetValue(L"Baud", _variant_t(L"19200")), "Baud accepts 19200 given as text");
    Check(!settings->SetValue(L"Baud", _variant_t(4800UL)), "Baud refuses a value outside its options");
    Check(!settings->SetValue(L"Name", _variant_t(L"other")), "a read-only property keeps its value");
    Check(IPropertySet::CreateInstance(settings->Save())->Compare(*settings, true), "text form round-trips");

    try {
        IProperty::CreateInstance(L"Id=\"x\",Value=1");  // no type
        Check(false, "a text without a type is refused");
    } catch (const basalt::CWinException& e) {
        Check(e.GetFunction() == L"CProperty::Load" && e.GetErrorCode() == ERROR_INVALID_PARAMETER,
              "CProperty::Load 87 caught as basalt::CWinException");
    }
    try {
        IProperty::CreateInstance(L"Id=\"x\",vt=VT_WHATEVER");
        Check(false, "an unknown type is refused");
    } catch (const basalt::CStdException& e) {
        Check(e.GetFunction() == L"CProperty::Str2VT", "CProperty::Str2VT caught as basalt::CStdException");
        std::printf("      %s\n", e.what());
    }
    return failures == 0 ? 0 : 1;
}
