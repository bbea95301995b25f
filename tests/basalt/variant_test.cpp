#include <Basalt.h>

#include <cmath>
#include <comutil.h>
#include <gtest/gtest.h>

TEST(Variant, CompareOrdersByTypeThenContents) {
    EXPECT_LT(basalt::VariantCompare(_variant_t(1L), _variant_t(2L)), 0);
    EXPECT_EQ(basalt::VariantCompare(_variant_t(7L), _variant_t(7L)), 0);
    EXPECT_NE(basalt::VariantCompare(_variant_t(7L), _variant_t(7.0)), 0);  // types differ
    EXPECT_LT(basalt::VariantCompare(_variant_t(false), _variant_t(true)), 0);
    EXPECT_EQ(basalt::VariantCompare(_variant_t(L"abc"), _variant_t(L"abc")), 0);
    EXPECT_NE(basalt::VariantCompare(_variant_t(L"abc"), _variant_t(L"ABC")), 0);
    _variant_t nan(std::nan(""));
    EXPECT_EQ(basalt::VariantCompare(nan, nan), 0);
    EXPECT_GT(basalt::VariantCompare(nan, _variant_t(1e300)), 0);
}

TEST(Variant, ChangeTypeConvertsInPlaceOrLeavesValue) {
    _variant_t value(L"3.25");
    ASSERT_TRUE(basalt::VariantChangeType(1033, VT_R8, value, 0, false));
    EXPECT_EQ(value.vt, VT_R8);
    EXPECT_DOUBLE_EQ(value.dblVal, 3.25);

    _variant_t text(L"not a number");
    EXPECT_FALSE(basalt::VariantChangeType(1033, VT_I4, text, 0, false));
    EXPECT_EQ(text.vt, VT_BSTR);
    try {
        basalt::VariantChangeType(1033, VT_I4, text, 0, true);
        FAIL() << "no exception";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetFunction(), L"VariantChangeTypeEx");
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(DISP_E_TYPEMISMATCH));
    }

    _variant_t flag(true);
    ASSERT_TRUE(basalt::VariantChangeType(1033, VT_BSTR, flag, VARIANT_LOCALBOOL, false));
    EXPECT_STREQ(flag.bstrVal, L"True");
}

TEST(Variant, NamesOrderIgnoringCase) {
    basalt::LessStrWN less;
    EXPECT_TRUE(less(L"alpha", L"BETA"));
    EXPECT_FALSE(less(L"Beta", L"beta"));
    EXPECT_FALSE(less(L"beta", L"Beta"));
}
