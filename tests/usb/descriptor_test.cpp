// The pure pieces of the USB driver on plain values: the configuration
// descriptor (every ready-made variant of the simulator, and random damage),
// serial numbers taken from interface paths, and the names instruments are
// listed under.
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

TEST(UsbDescriptor, FindsTheBulkPipesAndRejectsWhatCannotCarryThem) {
    CPipes pipes = {0, 0};
    ASSERT_TRUE(Parse(Descriptor(USBSIM_DESCRIPTOR_BULK_PAIR), pipes));
    EXPECT_EQ(0x81, pipes.in);
    EXPECT_EQ(0x02, pipes.out);
    // An interrupt endpoint ahead of the bulk pair is passed over.
    ASSERT_TRUE(Parse(Descriptor(USBSIM_DESCRIPTOR_INTERRUPT_FIRST), pipes));
    EXPECT_EQ(0x85, pipes.in);
    EXPECT_EQ(0x04, pipes.out);
    EXPECT_FALSE(Parse(Descriptor(USBSIM_DESCRIPTOR_ONE_ENDPOINT), pipes));
    EXPECT_FALSE(Parse(Descriptor(USBSIM_DESCRIPTOR_MALFORMED), pipes));

    std::vector<BYTE> good = Descriptor(USBSIM_DESCRIPTOR_BULK_PAIR);
    std::vector<BYTE> trailing = good;
    trailing.push_back(0);  // one byte more than 7 per endpoint
    EXPECT_FALSE(Parse(trailing, pipes));
    std::vector<BYTE> twoIn = good;
    twoIn[25 + 2] = 0x82;  // the second endpoint IN too: no pipe to write to
    EXPECT_FALSE(Parse(twoIn, pipes));
    std::vector<BYTE> hugeConfiguration = good;
    hugeConfiguration[0] = 0xFF;  // the interface would lie past the end
    EXPECT_FALSE(Parse(hugeConfiguration, pipes));
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

TEST(UsbPaths, SerialNumberIsTheElevenCharacterThirdPartInUpperCase) {
    basalt::ustring serial;
    ASSERT_TRUE(corvane::usb::SerialNumberOfPath(
        L"\\\\?\\usb#vid_0c0a&pid_5501#cv10000001a#{325ddf96-938c-11d3-9e34-0080c82727f4}", serial));
    EXPECT_EQ(L"CV10000001A", serial);
    EXPECT_FALSE(corvane::usb::SerialNumberOfPath(L"\\\\?\\usb#vid_0c0a&pid_5501#cv10000001#{x}", serial));
    EXPECT_FALSE(corvane::usb::SerialNumberOfPath(L"\\\\?\\usb#vid_0c0a&pid_5501#cv10000001ab#{x}", serial));
    EXPECT_FALSE(corvane::usb::SerialNumberOfPath(L"\\\\?\\usb#vid_0c0a&pid_5501#cv10000001a", serial));
    EXPECT_FALSE(corvane::usb::SerialNumberOfPath(L"\\\\?\\usb#vid#cv10000001a#{x}#more", serial));
    EXPECT_FALSE(corvane::usb::SerialNumberOfPath(L"", serial));
}

TEST(UsbPaths, FriendlyNamePrefersTheBusDescriptionThenTheDeviceDescription) {
    EXPECT_EQ(L"Bus text <AB123456789>", corvane::usb::FriendlyName(L"Bus text", L"Device text", L"AB123456789"));
    EXPECT_EQ(L"Device text <AB123456789>", corvane::usb::FriendlyName(L"", L"Device text", L"AB123456789"));
    EXPECT_EQ(L"<AB123456789>", corvane::usb::FriendlyName(L"", L"", L"AB123456789"));
    // A percent sign in a description is text, not a format.
    EXPECT_EQ(L"100%s <AB123456789>", corvane::usb::FriendlyName(L"100%s", L"", L"AB123456789"));
}

}  // namespace
