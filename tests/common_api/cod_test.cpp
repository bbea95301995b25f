// Class-of-device words translated through the string table of Corvane.dll:
// the fields without a text (a complete word is translated by the tool's
// test, tests/tool); the texts themselves are the table's.
#include <Corvane.h>

#include <gtest/gtest.h>

namespace {
struct Translation {
    std::wstring major, minor, services;
};

Translation Translate(DWORD classOfDevice) {
    _bstr_t major(L"stale"), minor(L"stale"), services(L"stale");
    corvane::IPortAddr::TranslateCOD(classOfDevice, major, minor, services);
    return {static_cast<const wchar_t*>(major), static_cast<const wchar_t*>(minor),
            static_cast<const wchar_t*>(services)};
}

DWORD Word(DWORD major, DWORD minor) { return (major << 8) | (minor << 2); }
}  // namespace

TEST(ClassOfDevice, MinorFieldsWithoutTextStayEmpty) {
    struct {
        DWORD word;
        const wchar_t* major;
    } cases[] = {
        {0x1F00, L"Unclassified"},
        {0x0000, L"Miscellaneous"},
        {0x0444, L"Audio"},     // audio minor 17 is unassigned
        {0x0630, L"Imaging"},   // display and camera together name no single kind
        {0x0300, L"LAN Access"},  // this major has no minor texts at all
        {0x03FC, L"LAN Access"},
        {Word(1, 7), L"Computer"},
        {Word(2, 5), L"Phone"},
        {Word(4, 19), L"Audio"},
        {Word(5, 5), L"Peripheral"},
        {Word(5, 16), L"Peripheral"},  // the upper peripheral bits are not split off
        {Word(6, 0), L"Imaging"},
        {Word(6, 1), L"Imaging"},
        {Word(6, 60), L"Imaging"},
        {0x1F00 | 0xC000, L"Unclassified"},  // service bits 14 and 15 have no text
        {0xFF000000u | 0x1F00, L"Unclassified"},  // nor has anything above the service classes
    };
    for (const auto& c : cases) {
        Translation t = Translate(c.word);
        EXPECT_EQ(t.major, c.major) << std::hex << c.word;
        EXPECT_EQ(t.minor, L"") << std::hex << c.word;
        EXPECT_EQ(t.services, L"") << std::hex << c.word;
    }
}

