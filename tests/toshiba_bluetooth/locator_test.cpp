// The locator: results handed out as the stack's list grows, the class
// filter, failures told once, the shared registry cache; and the factories'
// choice of stack for driverDefault.
#include "ToshibaTestKit.h"

#include "Shared/BluetoothCache.h"
#include "ToshibaBluetooth/Windows.h"

#include <map>
#include <memory>

namespace tostest {
namespace {

using Toshiba::CBluetoothPortLocator;

class ToshibaLocatorTest : public ToshibaTest {
protected:
    std::vector<basalt::ustring> Search(CBluetoothPortLocator& locator, DWORD filter, EventCounter& events) {
        locator.BeginSearch(filter, 0);
        EXPECT_TRUE(locator.IsRunning());
        EXPECT_TRUE(PumpUntil([&] { return events.Count(corvane::eventStateChanged) > 0; }));
        EXPECT_FALSE(locator.IsRunning());
        return Drain(locator);
    }
    static std::vector<basalt::ustring> Drain(CBluetoothPortLocator& locator) {
        std::vector<basalt::ustring> names;
        while (boost::shared_ptr<const corvane::IPortAddr> address = locator.GetNextAddress())
            names.push_back(basalt::ustring(static_cast<const wchar_t*>(address->GetPhysicalName())));
        return names;
    }
};

TEST_F(ToshibaLocatorTest, GrowingResultListHandsOutEachDeviceOnceAndFillsTheCache) {
    // Three devices: the stack reports two, then all three.
    const BYTE third[6] = {0x00, 0x80, 0x25, 0x00, 0x00, 0x03};
    Sim().TosBtSimAddDevice(third, 0x001F00, "", 0x1101, 3, tosbtEcho);
    corvane::WriteBluetoothCacheEntry(0x008025000003ULL, 0x001F00, L"Remembered");
    CBluetoothPortLocator locator;
    boost::shared_ptr<EventCounter> events(new EventCounter);
    locator.RegisterNotice(events, corvane::eventDataAvailable);
    locator.RegisterNotice(events, corvane::eventStateChanged);
    locator.BeginSearch(0xFFFFFFFF, 0);
    ASSERT_TRUE(PumpUntil([&] { return events->Count(corvane::eventStateChanged) > 0; }));
    std::map<basalt::ustring, basalt::ustring> found;  // address -> name
    while (boost::shared_ptr<const corvane::IPortAddr> address = locator.GetNextAddress())
        found[basalt::ustring(static_cast<const wchar_t*>(address->GetPhysicalName()))] =
            basalt::ustring(static_cast<const wchar_t*>(address->GetFriendlyName()));
    ASSERT_EQ(3u, found.size());
    EXPECT_EQ(3u, events->Count(corvane::eventDataAvailable));
    // A device heard without a name is named from the cache; the others keep theirs.
    EXPECT_EQ(basalt::ustring(L"Remembered"), found[L"00:80:25:00:00:03"]);
    EXPECT_EQ(basalt::ustring(L"Echo Device"), found[kEchoDevice]);
    corvane::CBluetoothCacheEntry entry;
    ASSERT_TRUE(corvane::ReadBluetoothCacheEntry(0x008025000003ULL, entry));
    EXPECT_EQ(basalt::ustring(L"Remembered"), entry.name);
    ASSERT_TRUE(corvane::ReadBluetoothCacheEntry(0x008025000001ULL, entry));
    EXPECT_EQ(basalt::ustring(L"Echo Device"), entry.name);
    EXPECT_EQ(3u, corvane::ReadBluetoothCacheList(-1).size());
}

TEST_F(ToshibaLocatorTest, FilterPassesOnlyTheMajorClassAsked) {
    CBluetoothPortLocator locator;
    boost::shared_ptr<EventCounter> events(new EventCounter);
    locator.RegisterNotice(events, corvane::eventStateChanged);
    std::vector<basalt::ustring> peripherals = Search(locator, 5, *events);
    ASSERT_EQ(1u, peripherals.size());
    EXPECT_EQ(basalt::ustring(kLineDevice), peripherals[0]);
    boost::shared_ptr<EventCounter> again(new EventCounter);
    locator.RegisterNotice(again, corvane::eventStateChanged);
    EXPECT_TRUE(Search(locator, 6, *again).empty());
}

TEST_F(ToshibaLocatorTest, DiscoveryFailureIsThrownOnceThenTheFindsFollow) {
    Sim().TosBtSimSetFault(tosbtDiscoveryFails, 0);
    CBluetoothPortLocator locator;
    boost::shared_ptr<EventCounter> events(new EventCounter);
    locator.RegisterNotice(events, corvane::eventError);
    locator.BeginSearch(0xFFFFFFFF, 0);
    ASSERT_TRUE(PumpUntil([&] { return events->Count(corvane::eventError) > 0; }));
    EXPECT_FALSE(locator.IsRunning());
    try {
        locator.GetNextAddress();
        FAIL() << "no stored failure";
    } catch (const Toshiba::CToshibaBluetoothException& e) {
        EXPECT_EQ(basalt::ustring(L"Toshiba::CBluetoothPortLocator::CServiceWindow::WndProc"), e.GetFunction());
    }
    EXPECT_EQ(1u, Drain(locator).size());  // the first batch, reported before the failure
    // A failure left untold goes with its search.
    locator.BeginSearch(0xFFFFFFFF, 0);
    ASSERT_TRUE(PumpUntil([&] { return events->Count(corvane::eventError) > 1; }));
    Sim().TosBtSimSetFault(tosbtNoFault, 0);
    boost::shared_ptr<EventCounter> next(new EventCounter);
    locator.RegisterNotice(next, corvane::eventStateChanged);
    std::vector<basalt::ustring> found;
    EXPECT_NO_THROW(found = Search(locator, 0xFFFFFFFF, *next));
    EXPECT_EQ(2u, found.size());
}

// The stack drops what it had found (0x600001) and goes on: what it reports
// after that is all the search hands out and remembers.
TEST_F(ToshibaLocatorTest, AFoundListTheStackDropsIsDroppedFromTheSearch) {
    Sim().TosBtSimSetFault(tosbtDiscoveryClears, 0);
    CBluetoothPortLocator locator;
    boost::shared_ptr<EventCounter> events(new EventCounter);
    locator.RegisterNotice(events, corvane::eventStateChanged);
    std::vector<basalt::ustring> found = Search(locator, 0xFFFFFFFF, *events);
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ(basalt::ustring(kLineDevice), found[0]);
    EXPECT_EQ(1u, corvane::ReadBluetoothCacheList(-1).size());
}

TEST_F(ToshibaLocatorTest, CacheOnlySearchAnswersAtOnceWithoutTheRadio) {
    boost::shared_ptr<EventCounter> events(new EventCounter);
    {
        CBluetoothPortLocator locator;
        locator.RegisterNotice(events, corvane::eventStateChanged);
        locator.RegisterNotice(events, corvane::eventDataAvailable);
        // Empty cache: the events still come, and nothing is found.
        locator.BeginSearch(0xFFFFFFFF, 2);
        EXPECT_FALSE(locator.IsRunning());
        EXPECT_EQ(1u, events->Count(corvane::eventStateChanged));
        EXPECT_EQ(1u, events->Count(corvane::eventDataAvailable));
        EXPECT_TRUE(Drain(locator).empty());
        boost::shared_ptr<EventCounter> radio(new EventCounter);
        locator.RegisterNotice(radio, corvane::eventStateChanged);
        EXPECT_EQ(2u, Search(locator, 0xFFFFFFFF, *radio).size());
    }
    Sim().TosBtSimClearDevices();
    CBluetoothPortLocator locator;
    locator.BeginSearch(0x1F, 2);
    std::vector<basalt::ustring> cached = Drain(locator);
    ASSERT_EQ(1u, cached.size());
    EXPECT_EQ(basalt::ustring(kEchoDevice), cached[0]);
}

TEST_F(ToshibaLocatorTest, AnEndedSearchsLateMessagesChangeNothing) {
    CBluetoothPortLocator locator;
    boost::shared_ptr<EventCounter> events(new EventCounter);
    locator.RegisterNotice(events, corvane::eventStateChanged);
    ASSERT_EQ(2u, Search(locator, 0xFFFFFFFF, *events).size());
    boost::shared_ptr<EventCounter> late(new EventCounter);
    locator.RegisterNotice(late, corvane::eventDataAvailable);
    locator.RegisterNotice(late, corvane::eventStateChanged);
    locator.BeginSearch(0xFFFFFFFF, 0);
    locator.EndSearch();
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(0u, late->Count(corvane::eventDataAvailable) + late->Count(corvane::eventStateChanged));
    EXPECT_FALSE(locator.GetNextAddress());
    EXPECT_EQ(2u, corvane::ReadBluetoothCacheList(-1).size());
}

// A search started again while the first one's answers (one device, both,
// finished) are still queued, after none to all of them: the new search
// hands out both devices and writes both to the cache list.
TEST_F(ToshibaLocatorTest, ARestartedSearchIsNotEndedByTheAnswersOfTheOneItReplaced) {
    CBluetoothPortLocator locator;
    for (DWORD queued = 0; queued <= 3; ++queued) {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, corvane::kBluetoothCacheKey);
        boost::shared_ptr<EventCounter> events(new EventCounter);
        locator.RegisterNotice(events, corvane::eventStateChanged);
        DWORD before = Sim().TosBtSimPosted(TosBt::msgDiscovery);
        locator.BeginSearch(0xFFFFFFFF, 0);
        ASSERT_TRUE(WaitUntil([&] { return Sim().TosBtSimPosted(TosBt::msgDiscovery) >= before + queued; }));
        locator.BeginSearch(0xFFFFFFFF, 0);
        ASSERT_TRUE(PumpUntil([&] { return events->Count(corvane::eventStateChanged) > 0; })) << queued;
        EXPECT_FALSE(locator.IsRunning());
        EXPECT_EQ(2u, Drain(locator).size()) << queued;
        EXPECT_EQ(2u, corvane::ReadBluetoothCacheList(-1).size()) << queued;
        // The first search's late answers change nothing either.
        ASSERT_TRUE(WaitUntil([&] { return Sim().TosBtSimPosted(TosBt::msgDiscovery) >= before + 6; }));
        PumpQueued();
        EXPECT_EQ(1u, events->Count(corvane::eventStateChanged)) << queued;
        EXPECT_FALSE(locator.GetNextAddress()) << queued;
        locator.DeregisterNotice(events, corvane::eventStateChanged);
    }
}

// The window's messages name a search, not the locator: a parameter that no
// search was given is ignored rather than followed as a pointer.
TEST_F(ToshibaLocatorTest, AMessageForNoSearchOfTheLocatorChangesNothing) {
    CBluetoothPortLocator locator;
    boost::shared_ptr<EventCounter> events(new EventCounter);
    locator.RegisterNotice(events, corvane::eventStateChanged);
    locator.BeginSearch(0xFFFFFFFF, 0);
    HWND window = ThreadWindow(Toshiba::kLocatorWindowClass);
    ASSERT_TRUE(window);
    ::PostMessageW(window, TosBt::msgDiscovery, TosBt::discoveryFinished, 0x5EA7C4);
    PumpQueued();
    EXPECT_TRUE(locator.IsRunning());
    ASSERT_TRUE(PumpUntil([&] { return events->Count(corvane::eventStateChanged) > 0; }));
    EXPECT_EQ(2u, Drain(locator).size());
}

// A locator made on one thread and released on another: only its own thread
// can destroy its window, which it does when it next pumps.
TEST_F(ToshibaLocatorTest, ALocatorReleasedOffItsWindowsThreadTakesTheWindowAlong) {
    EXPECT_TRUE(WindowGoesWithItsObject(
        Toshiba::kLocatorWindowClass, [] { return std::shared_ptr<void>(new CBluetoothPortLocator); },
        TosBt::msgDiscovery, TosBt::discoveryFinished));
}

TEST_F(ToshibaLocatorTest, SettingsReadAndWriteTheLocalRadio) {
    CBluetoothPortLocator locator;
    EXPECT_TRUE(locator.IsHardwareAvailableAndPoweredOn());
    boost::shared_ptr<corvane::CPropertySet> changes(new corvane::CPropertySet);
    changes->AddCopy(corvane::CProperty(L"LocalName", corvane::IProperty::accessFull, VT_BSTR, 0, 0, _variant_t(L"Bench")));
    changes->AddCopy(corvane::CProperty(L"LocalCOD", corvane::IProperty::accessFull, VT_UI4, 0, 0, _variant_t(0x200404UL)));
    locator.SetSettings(changes);
    boost::shared_ptr<corvane::IPropertySet> settings = locator.GetSettings();
    EXPECT_EQ(basalt::ustring(L"Bench"), basalt::ustring(static_cast<_bstr_t>(settings->Find(L"LocalName")->GetValue())));
    EXPECT_EQ(0x200404UL, static_cast<ULONG>(settings->Find(L"LocalCOD")->GetValue()));
    EXPECT_EQ(basalt::ustring(L"00:1B:DC:0F:00:01"),
              basalt::ustring(static_cast<_bstr_t>(settings->Find(L"LocalAddr")->GetValue())));
    // Each mode is on only when the stack reports 1.
    const struct {
        DWORD modes[3];
        bool on[3];
    } cases[] = {{{1, 1, 0}, {true, true, false}}, {{1, 2, 1}, {true, false, true}}, {{2, 1, 3}, {false, true, false}}};
    for (const auto& c : cases) {
        Sim().TosBtSimSetModes(c.modes[0], c.modes[1], c.modes[2]);
        settings = locator.GetSettings();
        EXPECT_EQ(c.on[0], static_cast<bool>(settings->Find(L"Discoverable")->GetValue())) << c.modes[0];
        EXPECT_EQ(c.on[1], static_cast<bool>(settings->Find(L"Connectable")->GetValue())) << c.modes[1];
        EXPECT_EQ(c.on[2], static_cast<bool>(settings->Find(L"Authentication")->GetValue())) << c.modes[2];
    }
    // The stack's manager gone after the locator was made: no radio to report.
    Sim().TosBtSimSetFault(tosbtManagerDown, 0);
    EXPECT_FALSE(locator.IsHardwareAvailableAndPoweredOn());
}

// The factories: driverDefault takes the Microsoft stack when it answers,
// Toshiba's when only it does, and nothing when neither does.
class ToshibaFactoryTest : public ToshibaTest {
protected:
    void SetUp() override {
        ToshibaTest::SetUp();
        m_saved = corvane::Drivers();
        corvane::Drivers().microsoftBluetoothLocator = [] { return boost::shared_ptr<corvane::IPortLocator>(); };
    }
    void TearDown() override {
        corvane::Drivers() = m_saved;
        ToshibaTest::TearDown();
    }
    corvane::CDriverTable m_saved;
};

TEST_F(ToshibaFactoryTest, DefaultFallsBackToToshibaWithoutTheMicrosoftStack) {
    boost::shared_ptr<corvane::IPortLocator> locator =
        corvane::IPortLocator::CreateInstance(corvane::IPortAddr::portBluetooth, corvane::driverDefault);
    EXPECT_TRUE(dynamic_cast<CBluetoothPortLocator*>(locator.get()));
    locator.reset();
    boost::shared_ptr<corvane::IPort> port = corvane::IPort::CreateInstance(Address(kEchoDevice), corvane::driverDefault);
    EXPECT_TRUE(dynamic_cast<Toshiba::CBluetoothPort*>(port.get()));
    // Named, the Toshiba driver makes locators only.
    EXPECT_TRUE(dynamic_cast<CBluetoothPortLocator*>(
        corvane::IPortLocator::CreateInstance(corvane::IPortAddr::portBluetooth, corvane::driverToshiba).get()));
    EXPECT_FALSE(corvane::IPort::CreateInstance(Address(kEchoDevice), corvane::driverToshiba));
}

TEST_F(ToshibaFactoryTest, NeitherStackGivesNothing) {
    Sim().TosBtSimSetFault(tosbtManagerDown, 0);
    EXPECT_FALSE(corvane::IPortLocator::CreateInstance(corvane::IPortAddr::portBluetooth, corvane::driverDefault));
    EXPECT_FALSE(corvane::IPort::CreateInstance(Address(kEchoDevice), corvane::driverDefault));
}

}  // namespace
}  // namespace tostest
