// Property sets: unique names, positions, shared and copied properties, text form.
#include "Expect.h"
#include "corvane/Properties.h"

using namespace corvane;

namespace {
const IProperty::EAccessPolicy kFull = IProperty::accessFull;

CPropertySet Settings() {
    COptionSet parities(VT_BSTR);
    parities.AddOption(_variant_t(L"N"), L"None");
    parities.AddOption(_variant_t(L"E"), L"Even");
    CPropertySet set;
    set.AddCopy(CProperty(L"Baud", kFull, VT_UI4, 0, 0, _variant_t(9600L), _variant_t(1UL), _variant_t(921600UL)));
    set.AddCopy(CProperty(L"Parity", kFull, VT_BSTR, 0, 0, _variant_t(L"N"), parities));
    set.AddCopy(CProperty(L"Port", IProperty::accessReadOnly, VT_BSTR, 0, 0, _variant_t(L"COM3")));
    set.AddCopy(CProperty(L"Echo", kFull, VT_BOOL, 1, 0, _variant_t(false)));
    return set;
}
}  // namespace

TEST(PropertySet, NamesAreUniqueAndPositionsStable) {
    CPropertySet set = Settings();
    EXPECT_FALSE(set.AddCopy(CProperty(L"Baud", kFull, VT_I2, 0, 0, _variant_t())));
    EXPECT_FALSE(set.Add(boost::shared_ptr<IProperty>()));
    EXPECT_TRUE(set.AddCopy(CProperty(L"baud", kFull, VT_I2, 0, 0, _variant_t())));  // case counts
    EXPECT_EQ(set.GetCount(), 5u);
    EXPECT_EQ(set.Find(L"Baud")->GetVarType(), VT_UI4);
    EXPECT_FALSE(set.GetAt(5));
    EXPECT_FALSE(set.SetValueAt(5, _variant_t(1L)));
    EXPECT_FALSE(set.SetValue(L"Stop", _variant_t(1L)));
    EXPECT_TRUE(set.SetValue(L"Port", _variant_t(L"COM3")));  // read-only, same value
    EXPECT_FALSE(set.SetValue(L"Port", _variant_t(L"COM4")));
    EXPECT_FALSE(set.SetValueAt(1, _variant_t(L"O")));
    set.Clear();
    EXPECT_FALSE(set.Find(L"Baud"));
    EXPECT_TRUE(set.AddCopy(CProperty(L"Baud", kFull, VT_UI4, 0, 0, _variant_t(1L))));
}

TEST(PropertySet, AddSharesWhileAddCopyAndCloneCopy) {
    boost::shared_ptr<IProperty> shared(new CProperty(L"Baud", kFull, VT_UI4, 0, 0, _variant_t(9600L)));
    CPropertySet set, copied;
    set.Add(shared);
    copied.AddCopy(*shared);
    shared->SetValue(_variant_t(1200L), 1033);
    EXPECT_EQ(set.Find(L"Baud")->GetValue().ulVal, 1200u);
    EXPECT_EQ(copied.Find(L"Baud")->GetValue().ulVal, 9600u);

    CPropertySet original = Settings();
    boost::shared_ptr<IPropertySet> clone = original.Clone();
    EXPECT_TRUE(clone->Compare(original, true));
    clone->SetValue(L"Baud", _variant_t(115200L));
    EXPECT_EQ(original.Find(L"Baud")->GetValue().ulVal, 9600u);
    EXPECT_EQ(clone->Find(L"Port"), clone->GetAt(2));  // the copied name map fits the clones
}

TEST(PropertySet, CompareIsPositional) {
    CPropertySet a = Settings(), b, c = Settings();
    for (DWORD i : {1u, 0u, 2u, 3u}) b.AddCopy(*a.GetAt(i));
    EXPECT_FALSE(a.Compare(b, false));
    c.SetValue(L"Baud", _variant_t(1L));
    EXPECT_FALSE(a.Compare(c, true));
    EXPECT_TRUE(a.Compare(c, false));
    c.AddCopy(CProperty(L"More", kFull, VT_I4, 0, 0, _variant_t()));
    EXPECT_FALSE(a.Compare(c, false));
}

TEST(PropertySet, TextIsEachPropertyFollowedByASemicolon) {
    CPropertySet two;
    two.AddCopy(CProperty(L"A", kFull, VT_I4, 0, 0, _variant_t(1L)));
    two.AddCopy(CProperty(L"B", kFull, VT_BSTR, 0, 0, _variant_t(L"x")));
    EXPECT_EQ(Text(two.Save()), L"Id=\"A\",vt=VT_I4,Flags=0,PL=0,Value=1;Id=\"B\",vt=VT_BSTR,Flags=0,PL=0,Value=\"x\";");
    CPropertySet set = Settings();
    boost::shared_ptr<IPropertySet> read = IPropertySet::CreateInstance(set.Save());
    EXPECT_TRUE(read->Compare(set, true));
    EXPECT_EQ(Text(read->Save()), Text(set.Save()));

    read->Load(L";;vt=VT_BSTR,Id=\"a\";vt=VT_I4,Id=\"a\";");  // a repeated name is dropped
    ASSERT_EQ(read->GetCount(), 1u);
    EXPECT_EQ(read->GetAt(0)->GetVarType(), VT_BSTR);
    read->Load(nullptr);
    EXPECT_EQ(read->GetCount(), 0u);
    // A bad property ends the reading; those before it stay. The semicolon
    // cut knows no quotes: the remainder of a value holding one is no property.
    EXPECT_TRUE(ThrowsWinError([&] { read->Load(L"vt=VT_BSTR,Id=\"a\",Value=\"x;y\";vt=VT_I4"); },
                               L"CProperty::Load", 87));
    ASSERT_EQ(read->GetCount(), 1u);
    EXPECT_EQ(Text(read->GetAt(0)->GetValueText(1033)), L"x");
}
