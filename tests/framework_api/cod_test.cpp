// Class-of-device words translated through the string table of Corvane.dll.
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

TEST(ClassOfDevice, TranslatesACompleteWord) {
    Translation t = Translate(0x5A020C);
    EXPECT_EQ(t.major, L"Phone");
    EXPECT_EQ(t.minor, L"Smart");
    EXPECT_EQ(t.services, L"Networking;Capturing;Object XFER;Telephony");
}

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
    };
    for (const auto& c : cases) {
        Translation t = Translate(c.word);
        EXPECT_EQ(t.major, c.major) << std::hex << c.word;
        EXPECT_EQ(t.minor, L"") << std::hex << c.word;
        EXPECT_EQ(t.services, L"") << std::hex << c.word;
    }
}

TEST(ClassOfDevice, EveryMajorClassHasItsText) {
    const wchar_t* named[] = {L"Miscellaneous", L"Computer", L"Phone", L"LAN Access",
                              L"Audio", L"Peripheral", L"Imaging"};
    for (DWORD major = 0; major < 32; ++major) {
        const wchar_t* expected = major < 7 ? named[major] : major == 31 ? L"Unclassified" : L"Miscellaneous";
        EXPECT_EQ(Translate(major << 8).major, expected) << major;
    }
    // Bits above the service classes and the format bits are not read.
    EXPECT_EQ(Translate(0xFF000000u | 0x0203).major, L"Phone");
}

TEST(ClassOfDevice, EveryMinorClassHasItsText) {
    struct {
        DWORD major;
        std::vector<std::pair<DWORD, const wchar_t*>> minors;
    } tables[] = {
        {1, {{0, L"Unclassified"}, {1, L"Desktop"}, {2, L"Server"}, {3, L"Laptop"},
             {4, L"Handheld"}, {5, L"Palm"}, {6, L"Wearable"}}},
        {2, {{0, L"Unclassified"}, {1, L"Cellular"}, {2, L"Cordless"}, {3, L"Smart"},
             {4, L"Wired Modem"}}},
        {4, {{0, L"Unclassified"}, {1, L"Headset"}, {2, L"Hands Free"},
             {3, L"Headset Hands Free"}, {4, L"Microphone"}, {5, L"Loudspeaker"},
             {6, L"Headphones"}, {7, L"Portable Audio"}, {8, L"Car Audio"}, {9, L"Set Top Box"},
             {10, L"HiFi Audio"}, {11, L"VCR"}, {12, L"Video Camera"}, {13, L"Camcorder"},
             {14, L"Video Monitor"}, {15, L"Video Display Loudspeaker"},
             {16, L"Video Display Conferencing"}, {18, L"Gaming Toy"}}},
        {5, {{0, L"No Category"}, {1, L"Joystick"}, {2, L"Gamepad"}, {3, L"Remote Control"},
             {4, L"Sensing"}}},
        {6, {{4, L"Display Mask"}, {8, L"Camera Mask"}, {16, L"Scanner Mask"}, {32, L"Printer Mask"}}},
    };
    for (const auto& table : tables)
        for (const auto& minor : table.minors) {
            Translation t = Translate(Word(table.major, minor.first));
            EXPECT_EQ(t.minor, minor.second) << table.major << "/" << minor.first;
            EXPECT_EQ(t.services, L"");
        }
}

TEST(ClassOfDevice, ServiceClassesJoinInBitOrder) {
    const std::pair<int, const wchar_t*> bits[] = {
        {13, L"Limited"},   {16, L"Positioning"}, {17, L"Networking"}, {18, L"Rendering"},
        {19, L"Capturing"}, {20, L"Object XFER"}, {21, L"Audio"},      {22, L"Telephony"},
        {23, L"Information"}};
    std::wstring all;
    for (const auto& bit : bits) {
        EXPECT_EQ(Translate(1u << bit.first).services, bit.second) << bit.first;
        all += (all.empty() ? L"" : L";") + std::wstring(bit.second);
    }
    EXPECT_EQ(Translate(0xFFE000).services, all);
    // Bits 14 and 15 have no text.
    EXPECT_EQ(Translate(0xC000).services, L"");
    EXPECT_EQ(Translate(0xC000 | (1u << 16)).services, L"Positioning");
}
