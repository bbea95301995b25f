// Option sets: order, uniqueness, enumerations, comparison, conversion on assignment.
#include "Expect.h"
#include "corvane/Properties.h"

#include <vector>

using namespace corvane;

namespace {
COptionSet Rates(DWORD order) {
    COptionSet set(VT_UI4, order);
    for (unsigned long rate : {115200UL, 9600UL, 19200UL}) EXPECT_TRUE(set.AddOption(_variant_t(rate)));
    return set;
}

std::vector<unsigned long> Values(const COptionSet& set) {
    std::vector<unsigned long> values;
    for (DWORD i = 0; i < set.GetCount(); ++i) values.push_back(set.GetAt(i)->GetValue().ulVal);
    return values;
}
}  // namespace

TEST(OptionSet, KeepsOneOptionPerValueSortedOrAsAdded) {
    EXPECT_EQ(Values(Rates(COptionSet::orderSorted)), (std::vector<unsigned long>{9600, 19200, 115200}));
    for (DWORD order : {COptionSet::orderSorted, COptionSet::orderInsertion}) {
        COptionSet set = Rates(order);
        EXPECT_FALSE(set.AddOption(_variant_t(L"9600")));  // equal once converted
        EXPECT_FALSE(set.Add(COption(_variant_t(L"fast"), VT_EMPTY)));
        EXPECT_TRUE(ThrowsWinError([&] { set.AddOption(_variant_t(L"fast")); }, L"COption::COption", 87));
        EXPECT_EQ(Values(set), Values(Rates(order)));
    }
    EXPECT_EQ(Values(Rates(COptionSet::orderInsertion)), (std::vector<unsigned long>{115200, 9600, 19200}));
    EXPECT_FALSE(COptionSet(VT_EMPTY).AddOption(_variant_t(1L)));  // an untyped set takes only empty values
    EXPECT_EQ(Text(COption(_variant_t(2.5), VT_R8).GetName(1033)), L"2.5");
    _variant_t error;
    error.vt = VT_ERROR;
    EXPECT_EQ(Text(COption(error, VT_ERROR).GetName(1033)), L"???");
}

TEST(OptionSet, EnumerationsAreNumberedIndependentAndCopied) {
    COptionSet set = Rates(COptionSet::orderSorted), empty(VT_I4);
    DWORD first = 77, second = 0;
    EXPECT_EQ(empty.GetFirst(&first), nullptr);
    EXPECT_EQ(first, 77u);
    set.GetFirst(&first);
    set.GetFirst(&second);
    EXPECT_EQ(first * 10 + second, 12u);
    EXPECT_EQ(set.GetNext(first)->GetValue().ulVal, 19200u);
    EXPECT_EQ(set.GetNext(first)->GetValue().ulVal, 115200u);
    EXPECT_EQ(set.GetNext(first), nullptr);
    EXPECT_EQ(set.GetNext(first), nullptr);  // stays open at the end
    EXPECT_TRUE(set.EndEnumeration(first));
    EXPECT_FALSE(set.EndEnumeration(first));

    COptionSet copy(set);  // carries the open enumeration, at its position
    EXPECT_EQ(copy.GetNext(second)->GetValue().ulVal, 19200u);
    copy.Remove(_variant_t(115200UL));
    EXPECT_EQ(copy.GetNext(second), nullptr);
    copy = set;  // assignment numbers afresh
    EXPECT_EQ(copy.GetNext(second), nullptr);
    EXPECT_EQ((copy.GetFirst(&first), first), 1u);
}

TEST(OptionSet, CompareWalksTheOrderInUseAndEndsItsEnumerations) {
    COptionSet sorted = Rates(COptionSet::orderSorted), inserted = Rates(COptionSet::orderInsertion);
    COptionSet reversed(VT_UI4, COptionSet::orderInsertion);
    for (unsigned long rate : {19200UL, 9600UL, 115200UL}) reversed.AddOption(_variant_t(rate));
    EXPECT_TRUE(sorted.Compare(Rates(COptionSet::orderSorted)));
    EXPECT_FALSE(inserted.Compare(reversed));
    EXPECT_FALSE(sorted.Compare(inserted));
    EXPECT_TRUE(COptionSet(VT_I4).Compare(COptionSet(VT_I4)));
    EXPECT_FALSE(COptionSet(VT_I4).Compare(COptionSet(VT_I2)));
    DWORD cursor = 0;
    sorted.GetFirst(&cursor);
    EXPECT_FALSE(sorted.EndEnumeration(cursor - 1));
}

TEST(OptionSet, AssignmentFromAnotherTypeConvertsEveryOption) {
    COptionSet texts(VT_BSTR, COptionSet::orderInsertion), numbers(VT_I4);
    texts.AddOption(_variant_t(L"20"), L"twenty", L"desc", 3);
    texts.AddOption(_variant_t(L"10"));
    numbers = texts;
    ASSERT_EQ(numbers.GetCount(), 2u);
    EXPECT_EQ(numbers.GetVarType(), VT_I4);
    EXPECT_EQ(numbers.GetAt(0)->GetValue().lVal, 20);
    EXPECT_EQ(numbers.GetAt(0)->GetFlag(), 3);
    EXPECT_EQ(Text(numbers.GetAt(1)->GetName(1033)), L"10");

    COptionSet words(VT_BSTR);
    words.AddOption(_variant_t(L"ten"));
    EXPECT_TRUE(ThrowsWinError([&] { numbers = words; }, L"COption::COption", 87));
    EXPECT_EQ(numbers.GetCount(), 2u);  // unchanged
}

TEST(Dependency, ChecksOnlyKeysThatHaveALink) {
    LinkMap links;
    links.emplace(_variant_t(L"fast"), CLink(_variant_t(L"fast"), VariantSet{_variant_t(1L), _variant_t(2L)}));
    links.emplace(_variant_t(L"off"), CLink(_variant_t(L"off")));
    CDependency mode(L"Mode", links);
    EXPECT_TRUE(mode.Check(_variant_t(L"fast"), _variant_t(2L)));
    EXPECT_FALSE(mode.Check(_variant_t(L"fast"), _variant_t(2.0)));
    EXPECT_FALSE(mode.Check(_variant_t(L"off"), _variant_t(1L)));  // an empty link allows nothing
    EXPECT_TRUE(mode.Check(_variant_t(L"slow"), _variant_t(9L)));
    DependencyMap map;
    map.emplace(L"Mode", mode);
    EXPECT_EQ(CDependencySet(map).Find(L"Mode")->GetCount(), 2u);
    EXPECT_FALSE(CDependencySet(map).GetAt(1));
}
