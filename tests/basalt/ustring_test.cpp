#include <Basalt.h>

#include <gtest/gtest.h>

using basalt::ustring;

TEST(UString, SprintfTakesWideStringsForPercentS) {
    ustring text;
    text.sprintf(L"%s=\"%s\",%u", L"Id", L"Baud", 9600u);
    EXPECT_EQ(text, L"Id=\"Baud\",9600");
    text.sprintf(L"%s", std::wstring(5000, L'x').c_str());
    EXPECT_EQ(text.size(), 5000u);
}

TEST(UString, SplitDropsEmptyPiecesUnlessAsked) {
    std::vector<ustring> pieces;
    ustring(L";a;;b;").split(L';', pieces);
    EXPECT_EQ(pieces, (std::vector<ustring>{L"a", L"b"}));
    ustring(L"Value=").split(L'=', pieces, true);
    EXPECT_EQ(pieces, (std::vector<ustring>{L"Value", L""}));
    ustring(L"").split(L';', pieces);
    EXPECT_TRUE(pieces.empty());
    ustring(L"").split(L'=', pieces, true);
    EXPECT_EQ(pieces.size(), 1u);
}

TEST(UString, GuidTextRoundTripsAndRejectsGarbage) {
    const GUID guid = {0x00001101, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};
    ustring text = ustring::GUID2String(guid);
    EXPECT_EQ(text, L"{00001101-0000-1000-8000-00805F9B34FB}");
    GUID back = {};
    ASSERT_TRUE(text.String2GUID(back));
    EXPECT_EQ(basalt::CompareGUID(guid, back), 0);
    ASSERT_TRUE(ustring(L"00001101-0000-1000-8000-00805f9b34fb").String2GUID(back));
    EXPECT_EQ(basalt::CompareGUID(guid, back), 0);
    for (const wchar_t* bad : {L"", L"{00001101-0000-1000-8000-00805F9B34F}", L"00001101x0000-1000-8000-00805F9B34FB",
                               L"{0000110G-0000-1000-8000-00805F9B34FB}"})
        EXPECT_FALSE(ustring(bad).String2GUID(back)) << bad;
}

TEST(UString, CodePagesRoundTripOutsideAscii) {
    ustring text(L"Grad \u00B0 \u00A4 \u4E2D");
    std::string utf8 = text.ToCodePage(CP_UTF8);
    EXPECT_EQ(ustring::FromCodePage(utf8.c_str(), CP_UTF8), text);
}
