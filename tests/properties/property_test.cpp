// Properties: assignment under policies and constraints, texts, comparison.
#include "Expect.h"
#include "corvane/Properties.h"

using namespace corvane;

namespace {
const IProperty::EAccessPolicy kFull = IProperty::accessFull;

COptionSet Parities() {
    COptionSet set(VT_BSTR);
    set.AddOption(_variant_t(L"N"), L"None");
    set.AddOption(_variant_t(L"E"), L"Even");
    return set;
}
}  // namespace

TEST(Property, ReadOnlyAcceptsItsCurrentValueOnlyButInitValueChangesIt) {
    CProperty port(L"Port", IProperty::accessReadOnly, VT_UI4, 0, 0, _variant_t(L"3"));
    EXPECT_TRUE(port.SetValue(_variant_t(L"3"), 1033));
    EXPECT_FALSE(port.SetValue(_variant_t(4L), 1033));
    EXPECT_FALSE(port.SetValue(_variant_t(), 1033));
    EXPECT_EQ(port.GetValue().ulVal, 3u);
    EXPECT_TRUE(port.InitValue(_variant_t(4L)));
    EXPECT_EQ(port.GetValue().ulVal, 4u);
    EXPECT_EQ(port.GetAccessPolicy(), IProperty::accessReadOnly);
}

TEST(Property, ConstraintsRefuseWhatTheyDoNotAllowButNotEmptyOrNull) {
    CProperty parity(L"Parity", kFull, VT_BSTR, 0, 0, _variant_t(L"N"), Parities());
    CProperty name(L"Name", kFull, VT_BSTR, 0, 0, _variant_t(L"ab"), _variant_t(1L), _variant_t(3L));
    CProperty timeout(L"T", kFull, VT_I4, 0, 0, _variant_t(L"-5"), _variant_t(-10L), _variant_t(10.5));
    EXPECT_FALSE(parity.SetValue(_variant_t(L"e"), 1033));  // texts match case and all
    EXPECT_TRUE(parity.SetValue(_variant_t(L"E"), 1033));
    EXPECT_EQ(Text(parity.GetDisplayText(1033)), L"Even");
    EXPECT_TRUE(name.SetValue(_variant_t(L"abc"), 1033));  // a text range bounds the length
    EXPECT_FALSE(name.SetValue(_variant_t(L"abcd"), 1033));
    EXPECT_FALSE(name.SetValue(_variant_t(L""), 1033));
    EXPECT_TRUE(timeout.SetValue(_variant_t(L"10"), 1033));
    EXPECT_FALSE(timeout.SetValue(_variant_t(-11L), 1033));
    EXPECT_FALSE(timeout.SetValue(_variant_t(L"x"), 1033));
    _variant_t null;
    null.vt = VT_NULL;
    for (CProperty* property : {&parity, &name, &timeout}) {
        EXPECT_TRUE(property->SetValue(null, 1033));
        EXPECT_EQ(property->GetValue().vt, VT_NULL);
        EXPECT_EQ(Text(property->GetValueText(1033)), L"???");
        EXPECT_TRUE(property->SetValue(_variant_t(), 1033));
        EXPECT_EQ(Text(property->GetValueText(1033)), L"");
    }
    // A value the constraint refuses leaves a new property empty, without error.
    EXPECT_EQ(CProperty(L"P", kFull, VT_BSTR, 0, 0, _variant_t(L"O"), Parities()).GetValue().vt, VT_EMPTY);
    // Ranges on types without a numeric order fail once a value is checked.
    CProperty when(L"When", kFull, VT_DATE, 0, 0, _variant_t(), _variant_t(1.0), _variant_t(2.0));
    EXPECT_TRUE(ThrowsWinError([&] { when.SetValue(_variant_t(L"1/1/2000"), 1033); },
                               L"CProperty::CompareNumbers", 1630));
    CProperty bad(L"Bad", kFull, VT_I4, 0, 0, _variant_t(), _variant_t(L"low"), _variant_t(5L));
    EXPECT_THROW(bad.SetValue(_variant_t(1L), 1033), _com_error);
}

TEST(Property, BooleansGetFalseAndTrueAsOptions) {
    CProperty plain(L"Echo", kFull, VT_BOOL, 1, 0, _variant_t(L"True"));
    CProperty ranged(L"Echo", kFull, VT_BOOL, 1, 0, _variant_t(true), _variant_t(false), _variant_t(true));
    for (CProperty* property : {&plain, &ranged}) {
        EXPECT_EQ(property->GetConstraint(), static_cast<DWORD>(IProperty::constraintOptions));
        ASSERT_EQ(property->GetOptions().GetCount(), 2u);
        EXPECT_EQ(property->GetOptions().GetAt(0)->GetValue().boolVal, VARIANT_FALSE);
        EXPECT_EQ(property->GetMin().vt, VT_EMPTY);  // bounds go with the range
        EXPECT_EQ(Text(property->GetValueText(1033)), L"True");  // flag bit 0: VARIANT_LOCALBOOL
        EXPECT_TRUE(property->SetValue(_variant_t(L"False"), 1033));
    }
    COptionSet onlyTrue(VT_BOOL);
    onlyTrue.AddOption(_variant_t(true), L"on");
    EXPECT_EQ(CProperty(L"E", kFull, VT_BOOL, 0, 0, _variant_t(true), onlyTrue).GetOptions().GetCount(), 1u);
}

TEST(Property, TextsFollowTheLocale) {
    CProperty number(L"R", kFull, VT_R8, 0, 0, _variant_t(3.25));
    EXPECT_EQ(Text(number.GetValueText(1031)), L"3,25");
    EXPECT_TRUE(number.SetValue(_variant_t(L"1,5"), 1031));
    EXPECT_EQ(Text(number.GetValueText(1033)), L"1.5");
    // No text names an array type, but C++ code may build one.
    CProperty blob(L"Blob", kFull, VT_ARRAY | VT_UI1, 0, 0, _variant_t(L"abcd"));
    EXPECT_EQ(Text(blob.GetValueText(1033)), L"BLOB: 8 Bytes");
    EXPECT_TRUE(ThrowsWinError([&] { blob.Save(); }, L"CProperty::VT2Str", 1630));
}

TEST(Property, CompareLooksAtValueNameAccessConstraintTypeBoundsAndOptions) {
    CProperty a(L"Baud", kFull, VT_UI4, 0, 0, _variant_t(9600L), _variant_t(1L), _variant_t(10000L));
    CProperty b(L"Baud", kFull, VT_UI4, 1, 9, _variant_t(9600L), _variant_t(1L), _variant_t(10000L));
    b.SetAnnotationA(L"note");
    EXPECT_TRUE(a.Compare(b, true));  // flags, level and annotations take no part
    b.SetValue(_variant_t(1200L), 1033);
    EXPECT_FALSE(a.Compare(b, true));
    EXPECT_TRUE(a.Compare(b, false));
    const _variant_t none, high(10000L);
    EXPECT_FALSE(a.Compare(CProperty(L"baud", kFull, VT_UI4, 0, 0, none, _variant_t(1L), high), false));
    EXPECT_FALSE(a.Compare(CProperty(L"Baud", kFull, VT_UI4, 0, 0, none, _variant_t(1UL), high), false));
    COptionSet renamed(VT_BSTR);
    renamed.AddOption(_variant_t(L"N"), L"none");
    renamed.AddOption(_variant_t(L"E"), L"Even");
    CProperty parity(L"P", kFull, VT_BSTR, 0, 0, _variant_t(L"N"), Parities());
    EXPECT_FALSE(parity.Compare(CProperty(L"P", kFull, VT_BSTR, 0, 0, _variant_t(L"N"), renamed), true));

    boost::shared_ptr<IProperty> clone = parity.Clone();
    clone->SetValue(_variant_t(L"E"), 1033);
    EXPECT_EQ(Text(parity.GetValueText(1033)), L"N");
    EXPECT_FALSE(clone->GetDependencies());
}
