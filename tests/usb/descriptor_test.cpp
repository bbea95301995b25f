// The pure pieces of the USB driver on plain values, where they meet input
// the end-to-end tests cannot give: damaged configuration descriptors, paths
// of the wrong shape, descriptions holding format characters.
#include "UsbTestKit.h"

#include <random>

using corvane::usb::CPipes;
using corvane::usb::ParseConfigurationDescriptor;

namespace {

std::vector<BYTE> Descriptor(DWORD variant) {
    std::vector<BYTE> bytes(256);
    DWORD size = static_cast<DWORD>(bytes.size());
    EXPECT_EQ(0u, usbtest::Sim().GetDescriptorVariant(variant, bytes.data(), &size));
    bytes.resize(size);
    return bytes;
}

bool Parse(const std::vector<BYTE>& bytes, CPipes& pipes) {
    return ParseConfigurationDescriptor(bytes.data(), bytes.size(), pipes);
}

// The simulator's ready-made variants are opened end to end (port_test); here
// the damage no ready-made variant carries.
TEST(UsbDescriptor, RejectsWhatCannotCarryTheBulkPipes) {
    CPipes pipes = {0, 0};
    std::vector<BYTE> good = Descriptor(USBSIM_DESCRIPTOR_BULK_PAIR);
    ASSERT_TRUE(Parse(good, pipes));  // each damage below is its only fault
    std::vector<BYTE> trailing = good;
    trailing.push_back(0);  // one byte more than 7 per endpoint
    EXPECT_FALSE(Parse(trailing, pipes));
    std::vector<BYTE> twoIn = good;
    twoIn[25 + 2] = 0x82;  // the second endpoint IN too: no pipe to write to
    EXPECT_FALSE(Parse(twoIn, pipes));
    std::vector<BYTE> hugeConfiguration = good;
    hugeConfiguration[0] = 0xFF;  // the interface would lie past the end
    EXPECT_FALSE(Parse(hugeConfiguration, pipes));
    for (BYTE length : {BYTE(6), BYTE(8)}) {
        std::vector<BYTE> wrongLength = good;
        wrongLength[25] = length;  // the second endpoint claims another length; the sizes still add up
        EXPECT_FALSE(Parse(wrongLength, pipes)) << int(length);
    }
    EXPECT_FALSE(ParseConfigurationDescriptor(good.data(), 0, pipes));
    EXPECT_FALSE(ParseConfigurationDescriptor(nullptr, 32, pipes));
}

// Descriptors come from a device: whatever it sends, the parser stays inside
// the bytes and accepts only a bulk IN and a bulk OUT endpoint.
TEST(UsbDescriptor, RandomDamageIsRejectedOrYieldsTwoBulkPipes) {
    std::mt19937 generator(20261206);
    const std::vector<BYTE> base = Descriptor(USBSIM_DESCRIPTOR_INTERRUPT_FIRST);
    for (int round = 0; round < 20000; ++round) {
        std::vector<BYTE> bytes = base;
        bytes.resize(generator() % (base.size() + 8));
        for (int flips = generator() % 4; flips >= 0 && !bytes.empty(); --flips)
            bytes[generator() % bytes.size()] = static_cast<BYTE>(generator());
        // A copy of exactly the right size, so that a read past it is a read past the heap block.
        std::vector<BYTE> exact(bytes);
        CPipes pipes = {0, 0};
        if (!Parse(exact, pipes)) continue;
        EXPECT_NE(0, pipes.in & 0x80);
        EXPECT_EQ(0, pipes.out & 0x80);
    }
}

TEST(UsbPaths, OnlyAPathOfFourPartsCarriesASerialNumber) {
    // Case and the lengths 10 and 12 are met by the locator end to end (locator_test).
    basalt::ustring serial;
    EXPECT_FALSE(corvane::usb::SerialNumberOfPath(L"\\\\?\\usb#vid_0c0a&pid_5501#cv10000001a", serial));
    EXPECT_FALSE(corvane::usb::SerialNumberOfPath(L"\\\\?\\usb#vid#cv10000001a#{x}#more", serial));
    EXPECT_FALSE(corvane::usb::SerialNumberOfPath(L"", serial));
}

// The three name forms are listed by the locator end to end (locator_test).
TEST(UsbPaths, APercentSignInADescriptionIsTextNotAFormat) {
    EXPECT_EQ(L"100%s <AB123456789>", corvane::usb::FriendlyName(L"100%s", L"", L"AB123456789"));
}

}  // namespace
