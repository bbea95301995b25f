// The USB locator against device nodes registered with Wine's SetupAPI: which
// interface paths are taken, the serial numbers and names, and the queue.
#include "UsbTestKit.h"

#include <map>

using namespace usbtest;

namespace {

class UsbLocator : public CUsbTest {
protected:
    void SetUp() override {
        CUsbTest::SetUp();
        Sim().RemoveNodes(nullptr);
        ASSERT_EQ(0u, Sim().AddInstrument(L"USB\\VID_0C0A&PID_5503\\ab1234567cd", L"Device text", nullptr, 0));
        ASSERT_EQ(0u, Sim().AddInstrument(L"USB\\VID_0C0A&PID_5503\\NODESCRIPT1", nullptr, nullptr, 0));
        ASSERT_EQ(0u, Sim().AddInstrument(L"USB\\VID_0C0A&PID_5503\\SHORT12345", L"Ten", L"Ten", 0));
        ASSERT_EQ(0u, Sim().AddInstrument(L"USB\\VID_0C0A&PID_5503\\TWELVE123456", L"Twelve", L"Twelve", 0));
        ASSERT_EQ(0u, Sim().RegisterNodes());
        locator = corvane::IPortLocator::CreateInstance(corvane::IPortAddr::portUSB, corvane::driverMicrosoft);
        ASSERT_TRUE(locator);
    }

    // Friendly name by physical name, of everything queued.
    std::multimap<std::wstring, std::wstring> Drain() {
        std::multimap<std::wstring, std::wstring> found;
        while (boost::shared_ptr<const corvane::IPortAddr> address = locator->GetNextAddress()) {
            EXPECT_EQ(corvane::IPortAddr::portUSB, address->GetType());
            found.insert({std::wstring(address->GetPhysicalName()), std::wstring(address->GetFriendlyName())});
        }
        return found;
    }

    boost::shared_ptr<corvane::IPortLocator> locator;
};

TEST_F(UsbLocator, ListsElevenCharacterSerialsUnderTheThreeNameForms) {
    boost::shared_ptr<CEventCounter> counter(new CEventCounter);
    ASSERT_TRUE(locator->RegisterNotice(counter, corvane::eventDataAvailable));
    ASSERT_TRUE(locator->RegisterNotice(counter, corvane::eventStateChanged));
    locator->BeginSearch(0, 0);
    EXPECT_FALSE(locator->IsRunning());
    std::multimap<std::wstring, std::wstring> found = Drain();
    std::multimap<std::wstring, std::wstring> expected = {
        {PathOf(kSerial), L"TS-USB Test Receiver <TS00000042X>"},
        {PathOf(L"ab1234567cd"), L"Device text <AB1234567CD>"},
        {PathOf(L"NODESCRIPT1"), L"<NODESCRIPT1>"},
    };
    EXPECT_EQ(expected, found);
    EXPECT_EQ(3, counter->Count(corvane::eventDataAvailable));
    EXPECT_EQ(0, counter->Count(corvane::eventStateChanged));
}

TEST_F(UsbLocator, ASecondSearchQueuesEveryInstrumentAgain) {
    locator->BeginSearch(0, 0);
    locator->BeginSearch(1, 2);
    std::multimap<std::wstring, std::wstring> found = Drain();
    EXPECT_EQ(6u, found.size());
    EXPECT_EQ(2u, found.count(PathOf(L"ab1234567cd")));
    EXPECT_EQ(2u, found.count(PathOf(L"NODESCRIPT1")));
    EXPECT_FALSE(locator->GetNextAddress());
}

TEST_F(UsbLocator, AFoundAddressOpensAPort) {
    locator->BeginSearch(0, 0);
    boost::shared_ptr<const corvane::IPortAddr> address = locator->GetNextAddress();
    ASSERT_TRUE(address);
    boost::shared_ptr<corvane::IPort> port = corvane::IPort::CreateInstance(address, corvane::driverDefault);
    ASSERT_TRUE(port);
    port->Open();
    ASSERT_EQ(2u, port->Send("ok", 2));
    EXPECT_EQ((Bytes{'o', 'k'}), ReceiveAll(*port, 2, 3000));
}

TEST_F(UsbLocator, CommonAnswersOfASearchInsideBeginSearch) {
    EXPECT_EQ(corvane::IPortAddr::portUSB, locator->GetType());
    EXPECT_TRUE(locator->IsHardwareAvailableAndPoweredOn());
    EXPECT_FALSE(locator->GetSettings());
    basalt::ustring function;
    EXPECT_EQ(50u, ErrorOf([&] { locator->Escape(nullptr, boost::shared_ptr<corvane::IPropertySet>()); }, &function));
    EXPECT_EQ(L"CUSBPortLocator::Escape", function);
    EXPECT_FALSE(corvane::IPortLocator::CreateInstance(corvane::IPortAddr::portUSB, corvane::driverToshiba));
}

}  // namespace
