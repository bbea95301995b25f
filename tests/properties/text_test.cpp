// The one-line text form of a property: what the writer produces, what the
// reader accepts and refuses, and that every kind of property survives both.
#include "Expect.h"
#include "corvane/Properties.h"

#include <limits>
#include <vector>

using namespace corvane;

namespace {
const IProperty::EAccessPolicy kFull = IProperty::accessFull;

_variant_t As(VARTYPE vt, const wchar_t* text) {
    _variant_t value;
    if (!text) return value;
    value = text;
    EXPECT_TRUE(basalt::VariantChangeType(1033, vt, value, 0, false)) << text;
    return value;
}

CProperty Loaded(const std::wstring& text) {
    CProperty property;
    property.Load(text.c_str());
    return property;
}

std::wstring Saved(const IProperty& property) { return Text(property.Save()); }

// Save, load, compare with values; a second save repeats the first.
::testing::AssertionResult RoundTrips(const CProperty& property) {
    const std::wstring text = Saved(property);
    try {
        CProperty back = Loaded(text);
        if (!property.Compare(back, true)) return ::testing::AssertionFailure() << "reads back different";
        if (Saved(back) != text) return ::testing::AssertionFailure() << "saves differently";
    } catch (const basalt::CStdException& e) {
        return ::testing::AssertionFailure() << "does not read back: " << e.what();
    }
    return ::testing::AssertionSuccess();
}

// The first text is the value, all of them the options; bounds where given.
struct Sample {
    VARTYPE vt;
    std::vector<const wchar_t*> values;
    const wchar_t* low;
    const wchar_t* high;
};

const Sample kSamples[] = {
    {VT_EMPTY, {}, nullptr, nullptr},
    {VT_NULL, {L"x"}, nullptr, nullptr},  // any text reads as null
    {VT_I2, {L"-1234", L"5", L"32767"}, L"-2000", L"2000"},
    {VT_I4, {L"-123456", L"0"}, L"-200000", L"0"},
    {VT_R4, {L"0.1", L"1.234568E-20", L"16777216"}, L"-1", L"1E+10"},
    {VT_R8, {L"0.30000000000000004", L"0.3333333333333333", L"-7"}, L"-1", L"1"},
    {VT_CY, {L"1.2345", L"-3"}, L"0", L"10"},
    {VT_DATE, {L"6/18/2020 12:00:01 PM", L"1/1/1990"}, L"1/1/1980", L"1/1/2100"},
    {VT_BSTR, {L"hello, {world}", L"", L"a,b", L"{x}", L" padded "}, L"0", L"40"},
    {VT_ERROR, {}, nullptr, nullptr},
    {VT_BOOL, {L"True", L"False"}, L"False", L"True"},
    {VT_DECIMAL, {L"123.456", L"-79228162514264337593543950335"}, L"0", L"1000"},
    {VT_I1, {L"-5", L"127"}, L"-128", L"0"},
    {VT_UI1, {L"200", L"0"}, L"0", L"255"},
    {VT_UI2, {L"60000", L"1"}, L"1", L"65535"},
    {VT_UI4, {L"4000000000", L"9600"}, L"0", L"4294967295"},
    {VT_I8, {L"-9223372036854775808", L"1"}, L"-9223372036854775808", L"0"},
    {VT_UI8, {L"18446744073709551615", L"2"}, L"2", L"18446744073709551615"},
    {VT_INT, {L"-7", L"8"}, L"-7", L"8"},
    {VT_UINT, {L"7", L"8"}, L"7", L"8"},
    // Types no VARIANT value can have: empty properties of them still travel.
    {VT_VOID, {}, nullptr, nullptr}, {VT_HRESULT, {}, nullptr, nullptr}, {VT_PTR, {}, nullptr, nullptr},
    {VT_LPSTR, {}, nullptr, nullptr}, {VT_LPWSTR, {}, nullptr, nullptr}, {VT_FILETIME, {}, nullptr, nullptr},
    {VT_BLOB, {}, nullptr, nullptr},  {VT_CF, {}, nullptr, nullptr},      {VT_CLSID, {}, nullptr, nullptr},
};
}  // namespace

TEST(PropertyText, WriterFormat) {
    COptionSet rates(VT_UI4);
    rates.AddOption(_variant_t(19200UL), L"fast", L"not written", 3);
    rates.AddOption(_variant_t(9600UL));
    EXPECT_EQ(Saved(CProperty(L"Baud", kFull, VT_UI4, 0, 2, _variant_t(9600L), rates)),
              L"Id=\"Baud\",vt=VT_UI4,Flags=0,PL=2,Value=9600,Options={9600,\"9600\",0}|{19200,\"fast\",3}");
    EXPECT_EQ(Saved(CProperty(L"Name", IProperty::accessReadOnly, VT_BSTR, 4294967295u, 255, _variant_t(L"ab"),
                              _variant_t(L"1"), _variant_t(L"3"))),
              L"Id=\"Name\",AP=read-only,vt=VT_BSTR,Flags=4294967295,PL=255,Value=\"ab\",Min=1,Max=3");
    // Text options go unquoted, unless commas, braces or the empty text need the quotes.
    COptionSet texts(VT_BSTR, COptionSet::orderInsertion);
    texts.AddOption(_variant_t(L"a"));
    texts.AddOption(_variant_t(L"a,b"));
    texts.AddOption(_variant_t(L""), L"nothing");
    EXPECT_EQ(Saved(CProperty(L"T", kFull, VT_BSTR, 0, 0, _variant_t(), texts)),
              L"Id=\"T\",vt=VT_BSTR,Flags=0,PL=0,Value=,Options={a,\"a\",0}|{\"a,b\",\"a,b\",0}|{\"\",\"nothing\",0}");
}

TEST(PropertyText, QuotesInsideTextsReadAsWrittenAndEveryTextTravels) {
    // Inner quotes are kept; only one at each end goes.
    EXPECT_EQ(Text(Loaded(L"Id=\"a\"\"b\",vt=VT_I4").GetName()), L"a\"\"b");
    EXPECT_EQ(Text(Loaded(L"vt=VT_BSTR,Value=\"say \"hi\"\"").GetValueText(1033)), L"say \"hi\"");
    EXPECT_EQ(Text(Loaded(L"vt=VT_BSTR,Options={\"\"x\"\"}").GetOptions().GetAt(0)->GetName(1033)), L"\"x\"");

    // What the established form cannot carry goes under a starred key, which
    // its readers skip; all else keeps the established form.
    CProperty odd(L"a\"b;c", kFull, VT_BSTR, 0, 0, _variant_t(L"x=1|y"));
    EXPECT_EQ(Saved(odd), L"Id*=a%22b%3Bc,vt=VT_BSTR,Flags=0,PL=0,Value*=x%3D1%7Cy");
    EXPECT_TRUE(RoundTrips(odd));
    COptionSet bars(VT_BSTR, COptionSet::orderInsertion);
    bars.AddOption(_variant_t(L"a|b"), L"}");
    bars.AddOption(_variant_t(L"plain"));
    CProperty listed(L"L", kFull, VT_BSTR, 0, 0, _variant_t(L"plain"), bars);
    EXPECT_EQ(Saved(listed), L"Id=\"L\",vt=VT_BSTR,Flags=0,PL=0,Value=\"plain\",Options*={\"a%7Cb\",\"%7D\",0}|{\"plain\",\"plain\",0}");
    EXPECT_TRUE(RoundTrips(listed));

    // A set of them too: a semicolon no longer cuts a property in two.
    CPropertySet set;
    CProperty first(L"first", kFull, VT_BSTR, 0, 0, _variant_t(L"one;two"));
    set.AddCopy(first);
    set.AddCopy(listed);
    boost::shared_ptr<IPropertySet> back = IPropertySet::CreateInstance(set.Save());
    EXPECT_TRUE(set.Compare(*back, true)) << Text(set.Save());
}

TEST(PropertyText, LoadStartsTheOptionsEnumerationAfresh) {
    CProperty property = Loaded(L"vt=VT_I4,Options={1}|{2}");
    DWORD cursor = 0;
    ASSERT_TRUE(property.GetOptions().GetFirst(&cursor));
    ASSERT_TRUE(property.GetOptions().GetFirst(&cursor));
    property.Load(L"vt=VT_I4,Options={3}|{4}");
    ASSERT_TRUE(property.GetOptions().GetFirst(&cursor));
    EXPECT_EQ(cursor, 1u);
    EXPECT_EQ(property.GetOptions().GetNext(cursor)->GetValue().lVal, 4);
}

TEST(PropertyText, ReaderAcceptsAnyCaseSpacesAndOrder) {
    CProperty read = Loaded(L"  Max=10 ,ID=\"x\",vt=vt_ui2, FLAGS=-1 , pl=300,\tVALUE=5\t, min=1 ,color=red");
    EXPECT_EQ(Saved(read), L"Id=\"x\",vt=VT_UI2,Flags=4294967295,PL=44,Value=5,Min=1,Max=10");
    EXPECT_EQ(Loaded(L"vt=VT_I4,AP=READ-ONLY,Value=1,Value=2").GetValue().lVal, 2);  // the last wins
    EXPECT_EQ(Loaded(L"vt=VT_I4,Value=0,Min=0,Max=0").GetConstraint(), static_cast<DWORD>(IProperty::constraintNone));
    EXPECT_EQ(Loaded(L"vt=VT_I4,Value=11,Min=1,Max=10").GetValue().vt, VT_EMPTY);
    EXPECT_EQ(Loaded(L"vt=VT_I4,Value=3,Options={1}|{2}").GetValue().vt, VT_EMPTY);
    // Options keep the text's order, drop repeats, and may carry extra braces.
    CProperty listed = Loaded(L"vt=VT_I4,Value=2,Options=  {3,\"three\",7} ||{{1}}|{3}| {2,\"two\"} ");
    ASSERT_EQ(listed.GetOptions().GetCount(), 3u);
    EXPECT_EQ(listed.GetOptions().GetAt(0)->GetFlag(), 7);
    EXPECT_EQ(listed.GetOptions().GetAt(1)->GetValue().lVal, 1);
    EXPECT_EQ(Text(listed.GetDisplayText(1033)), L"two");
    // A text value loses the writer's quotes; an empty value text is the empty value.
    EXPECT_EQ(Text(Loaded(L"vt=VT_BSTR,Value=\"a, b\"").GetValueText(1033)), L"a, b");
    EXPECT_EQ(Loaded(L"vt=VT_BSTR,Value=\"\"").GetValue().vt, VT_BSTR);
    EXPECT_EQ(Loaded(L"vt=VT_BSTR,Value=").GetValue().vt, VT_EMPTY);
    EXPECT_EQ(Loaded(L"vt=VT_PTR\u00A4Value=").GetValue().vt, VT_EMPTY);  // U+00A4 cuts like a comma

    std::vector<basalt::ustring> fields;
    CProperty::split(L"a=\"x,{y\",b={1,2}|{3},,c={4", L',', fields);
    EXPECT_EQ(fields, (std::vector<basalt::ustring>{L"a=\"x,{y\"", L"b={1,2}|{3}", L"c={4"}));
}

TEST(PropertyText, MalformedTextsRaiseTheirErrorsAndChangeNothing) {
    const struct {
        const wchar_t* text;
        const wchar_t* function;
        DWORD code;
    } cases[] = {
        {L"", L"CProperty::Load", 87},
        {L"Id=\"x\", vt=VT_I4", L"CProperty::Load", 87},  // the type search does not trim
        {L"Id,vt=VT_I4", L"CProperty::Load", 87},
        {L"vt=VT_I4,Value", L"CProperty::Load", 87},
        {L"vt=VT_I4,Value=1=2", L"CProperty::Load", 87},
        {L"vt=VT_I4,AP=rw", L"CProperty::Load", 87},
        {L"vt=VT_UI1,Max=256", L"CProperty::Load", 87},
        {L"vt=VT_EMPTY,Options={1}", L"CProperty::Load", 87},
        {L"vt=VT_I4,Options={1}|2", L"CProperty::Load", 87},
        {L"vt=VT_I4,Options={1}|{}", L"CProperty::Load", 87},
        {L"vt=VT_I4,Options={1,\"a\",0,5}", L"CProperty::Load", 87},
        {L"vt=VT_BSTR,Options={a,\"x|y\",0}", L"CProperty::Load", 87},
        {L"Id=\"a\"b\",vt=VT_I4", L"CProperty::Load", 87},  // the odd quote runs over the fields after it
        {L"vt=VT_I4,Options={x}", L"COption::COption", 87},
        {L"vt=VT_I4,Value=1}", L"CProperty::split", 87},
        {L"vt=VT_VARIANT", L"CProperty::Str2VT", 1630},
        {L"vt=VT_DATE,Value=1/1/2000,Min=1/1/1999,Max=1/1/2001", L"CProperty::CompareNumbers", 1630},
    };
    CProperty kept(L"Kept", IProperty::accessReadOnly, VT_I4, 0, 0, _variant_t(1L));
    const CProperty before(kept);
    for (const auto& c : cases) {
        EXPECT_TRUE(ThrowsWinError([&] { kept.Load(c.text); }, c.function, c.code)) << c.text;
        EXPECT_TRUE(kept.Compare(before, true)) << c.text;
    }
    EXPECT_THROW(kept.Load(L"vt=VT_BSTR,Min=x,Max=3"), _com_error);  // the bounds' boolean test
    EXPECT_TRUE(kept.Compare(before, true));
}

TEST(PropertyText, EveryNamedTypePolicyAndConstraintRoundTrips) {
    int checked = 0;
    auto check = [&](const CProperty& property) {
        EXPECT_TRUE(RoundTrips(property));
        ++checked;
    };
    for (const Sample& sample : kSamples) {
        const VARTYPE vt = sample.vt;
        const _variant_t value = As(vt, sample.values.empty() ? nullptr : sample.values[0]);
        EXPECT_EQ(CProperty::Str2VT(CProperty::VT2Str(vt).c_str()), vt);
        for (IProperty::EAccessPolicy access : {kFull, IProperty::accessReadOnly}) {
            SCOPED_TRACE(Text(CProperty::VT2Str(vt)) + (access == kFull ? L" full" : L" read-only"));
            const wchar_t* name = L"a, {b} | c";
            check(CProperty(name, access, vt, 1, 7, value));
            if (sample.values.size() > 1) {
                COptionSet options(vt, COptionSet::orderInsertion);
                for (size_t i = 0; i < sample.values.size(); ++i)
                    options.AddOption(As(vt, sample.values[i]), i % 2 ? L"named, {}" : nullptr, nullptr,
                                      static_cast<BYTE>(i));
                check(CProperty(name, access, vt, 0, 0, value, options));
            }
            if (sample.low) {
                // CY, DATE and DECIMAL have no numeric order: their ranges hold no value.
                const bool ordered = vt != VT_CY && vt != VT_DATE && vt != VT_DECIMAL;
                check(CProperty(name, access, vt, 0, 0, ordered ? value : _variant_t(), As(vt, sample.low),
                                As(vt, sample.high)));
            }
        }
    }
    EXPECT_EQ(checked, 2 * (29 + 17 + 17));
}

TEST(PropertyText, ValuesTheReaderCannotReachReadBackAsNearAsItCan) {
    for (double number : {0.1 + 0.2, 1.0 / 3, 100.0 / 7})  // need 16 or 17 digits
        EXPECT_EQ(Loaded(Saved(CProperty(L"r", kFull, VT_R8, 0, 0, _variant_t(number)))).GetValue().dblVal, number);
    // Wine's reader reaches some doubles only approximately: what it read is stable.
    EXPECT_TRUE(RoundTrips(Loaded(L"vt=VT_R8,Value=123456789.123456789")));
    // A null outside VT_NULL, a NaN and an error code have no text the reader
    // takes: they are written empty, so that the text still loads.
    _variant_t error;
    error.vt = VT_ERROR;
    CProperty nan(L"f", kFull, VT_R8, 0, 0, _variant_t(std::numeric_limits<double>::quiet_NaN()));
    CProperty code(L"e", kFull, VT_ERROR, 0, 0, error);
    CProperty nulled(L"n", kFull, VT_I4, 0, 0, As(VT_NULL, L""));
    for (const CProperty* property : {&nan, &code, &nulled}) {
        ASSERT_NE(property->GetValue().vt, VT_EMPTY);
        CProperty read = Loaded(Saved(*property));
        EXPECT_EQ(read.GetValue().vt, VT_EMPTY);
        EXPECT_TRUE(read.Compare(*property, false));
    }
}
