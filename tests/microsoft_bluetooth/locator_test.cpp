// The locator: search passes, the class filter, the registry cache and its
// cache-only answer, stopping a search, settings and pairing escapes.
#include "BluetoothTestKit.h"

#include <basalt/Registry.h>

#include "kit/TestKit.h"

using namespace bttest;
using Microsoft::CBluetoothPortLocator;

namespace {

const ULONGLONG kPhone = 0x008025AB0002ULL;
const ULONGLONG kNameless = 0x008025AB0003ULL;
// A phone in limited discoverable mode: bit 13, beside the major class, is set.
const DWORD kPhoneClass = 0x5A220C;

class LocatorTest : public BluetoothTest {
protected:
    // Runs a search to its end; the addresses in order.
    std::vector<boost::shared_ptr<const corvane::IPortAddr>> Search(CBluetoothPortLocator& locator, DWORD filter,
                                                                    DWORD flags = 0) {
        boost::shared_ptr<EventCounter> events(new EventCounter);
        locator.RegisterNotice(events, corvane::eventStateChanged);
        locator.BeginSearch(filter, flags);
        EXPECT_TRUE(events->WaitFor(corvane::eventStateChanged));
        locator.EndSearch();
        std::vector<boost::shared_ptr<const corvane::IPortAddr>> found;
        while (auto address = locator.GetNextAddress()) found.push_back(address);
        locator.DeregisterNotice(events, corvane::eventAll);
        return found;
    }
    static basalt::ustring Name(const boost::shared_ptr<const corvane::IPortAddr>& address) {
        return basalt::ustring(address->GetFriendlyName());
    }
    static basalt::ustring PreviouslyFound() {
        basalt::ustring text;
        basalt::RegGetValue(HKEY_CURRENT_USER, corvane::kBluetoothCacheKey, L"PreviouslyFound", text);
        return text;
    }
};

}  // namespace

TEST_F(LocatorTest, ANamelessDeviceAsksForOneMorePassAndIsCachedByClass) {
    AddEchoDevice();
    ASSERT_TRUE(BthSimAddDevice(kNameless, L"Late", 0x001F00, BTHSIM_IN_RANGE, nullptr));
    BthSimSetNameDelay(kNameless, 5);
    CBluetoothPortLocator locator;
    auto found = Search(locator, static_cast<DWORD>(-1));
    // The second pass found the device's class in the cache, so it stopped there.
    EXPECT_EQ(BthSimGetCount(0, BTHSIM_COUNT_INQUIRY), 2u);
    ASSERT_EQ(found.size(), 4u);  // each device once per pass
    EXPECT_EQ(Name(found[0]), L"Echo");
    EXPECT_EQ(Name(found[1]), L"");
    EXPECT_EQ(PreviouslyFound(), L"550387777537,550387777539");
    corvane::CBluetoothCacheEntry entry;
    ASSERT_TRUE(corvane::ReadBluetoothCacheEntry(kNameless, entry));
    EXPECT_EQ(entry.classOfDevice, 0x001F00u);
    EXPECT_EQ(entry.name, L"");
}

TEST_F(LocatorTest, ACachedNameStandsInForOneTheRadioDidNotHear) {
    ASSERT_TRUE(BthSimAddDevice(kNameless, L"Late", 0x001F04, BTHSIM_IN_RANGE, nullptr));
    BthSimSetNameDelay(kNameless, 5);
    corvane::WriteBluetoothCacheEntry(kNameless, 0x001F00, L"Known Before");
    CBluetoothPortLocator locator;
    auto found = Search(locator, static_cast<DWORD>(-1));
    EXPECT_EQ(BthSimGetCount(0, BTHSIM_COUNT_INQUIRY), 1u);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(Name(found[0]), L"Known Before");
    EXPECT_EQ(found[0]->GetClassOfDevice(), 0x001F04u);  // the class as reported now
    corvane::CBluetoothCacheEntry entry;
    ASSERT_TRUE(corvane::ReadBluetoothCacheEntry(kNameless, entry));
    EXPECT_EQ(entry.name, L"Known Before") << "a device heard without its name keeps the cached one";
}

TEST_F(LocatorTest, TheClassFilterKeepsOtherDevicesOutOfQueueAndCache) {
    AddEchoDevice();
    ASSERT_TRUE(BthSimAddDevice(kPhone, L"Phone", kPhoneClass, BTHSIM_IN_RANGE, nullptr));
    CBluetoothPortLocator locator;
    auto found = Search(locator, 2);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(basalt::ustring(found[0]->GetPhysicalName()), L"00:80:25:AB:00:02");
    EXPECT_EQ(PreviouslyFound(), L"550387777538");
    corvane::CBluetoothCacheEntry entry;
    EXPECT_FALSE(corvane::ReadBluetoothCacheEntry(kDevice, entry));
}

TEST_F(LocatorTest, TheCacheAloneAnswersWithTheLastSearchFilteredAndPruned) {
    CBluetoothPortLocator locator;
    EXPECT_TRUE(Search(locator, static_cast<DWORD>(-1), CBluetoothPortLocator::flagCacheOnly).empty());

    AddEchoDevice();
    ASSERT_TRUE(BthSimAddDevice(kPhone, L"Phone", kPhoneClass, BTHSIM_IN_RANGE, nullptr));
    Search(locator, static_cast<DWORD>(-1));
    BthSimReset(FALSE);  // no radio traffic can answer from here on
    auto cached = Search(locator, static_cast<DWORD>(-1), CBluetoothPortLocator::flagCacheOnly);
    ASSERT_EQ(cached.size(), 2u);
    EXPECT_EQ(Name(cached[0]), L"Echo");
    EXPECT_EQ(Name(cached[1]), L"Phone");
    EXPECT_EQ(cached[1]->GetClassOfDevice(), kPhoneClass);
    EXPECT_EQ(Search(locator, 2, CBluetoothPortLocator::flagCacheOnly).size(), 1u);

    ::RegDeleteKeyW(HKEY_CURRENT_USER, (basalt::ustring(corvane::kBluetoothCacheKey) + L"\\00:80:25:AB:00:01").c_str());
    cached = Search(locator, static_cast<DWORD>(-1), CBluetoothPortLocator::flagCacheOnly);
    ASSERT_EQ(cached.size(), 1u);
    EXPECT_EQ(Name(cached[0]), L"Phone");
}

TEST_F(LocatorTest, EndSearchDuringASearchReportsCancelledBeforeTheAddresses) {
    AddEchoDevice();
    ASSERT_TRUE(BthSimAddDevice(kPhone, L"Phone", kPhoneClass, BTHSIM_IN_RANGE, nullptr));
    BthSimSetInquiryDelay(100);
    CBluetoothPortLocator locator;
    boost::shared_ptr<EventCounter> events(new EventCounter);
    locator.RegisterNotice(events, corvane::eventDataAvailable);
    locator.RegisterNotice(events, corvane::eventError);
    locator.RegisterNotice(events, corvane::eventStateChanged);
    locator.BeginSearch(static_cast<DWORD>(-1), 0);
    ASSERT_TRUE(events->WaitFor(corvane::eventDataAvailable));
    EXPECT_TRUE(locator.IsRunning());
    locator.EndSearch();
    EXPECT_FALSE(locator.IsRunning());
    EXPECT_EQ(events->Count(corvane::eventError), 1u);
    EXPECT_EQ(events->Count(corvane::eventStateChanged), 1u);
    try {
        locator.GetNextAddress();
        ADD_FAILURE() << "the stop was not reported";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(ERROR_CANCELLED));
    }
    EXPECT_TRUE(locator.GetNextAddress());
    EXPECT_EQ(PreviouslyFound(), L"");  // a stopped search leaves the list as it was
}

TEST_F(LocatorTest, SettingsShowTheRadioAndRefuseChanges) {
    BthSimSetRadio(TRUE, 0x0012AB34CD56ULL, L"BENCH-7", 0x3E0104);
    CBluetoothPortLocator locator;
    EXPECT_TRUE(locator.IsHardwareAvailableAndPoweredOn());
    auto settings = locator.GetSettings();
    EXPECT_EQ(static_cast<ULONG>(settings->Find(L"LocalCOD")->GetValue()), 0x3E0104u);
    EXPECT_EQ(basalt::ustring(static_cast<_bstr_t>(settings->Find(L"LocalAddr")->GetValue())), L"00:12:AB:34:CD:56");
    EXPECT_EQ(basalt::ustring(static_cast<_bstr_t>(settings->Find(L"LocalName")->GetValue())), L"BENCH-7");
    EXPECT_TRUE(static_cast<bool>(settings->Find(L"Connectable")->GetValue()));
    try {
        locator.SetSettings(settings);
        ADD_FAILURE() << "the radio's class was changed";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    }
    // A class that is no number is refused the same way, not as a conversion error.
    settings->SetValue(L"LocalCOD", _variant_t(L"not a class"));
    EXPECT_TRUE(testkit::ThrowsWinError([&] { locator.SetSettings(settings); }, L"CBtDrt::WriteLocalCOD",
                                        ERROR_NOT_SUPPORTED));
    boost::shared_ptr<corvane::CPropertySet> nullClass(new corvane::CPropertySet);
    _variant_t null;
    null.vt = VT_NULL;
    nullClass->AddCopy(corvane::CProperty(L"LocalCOD", corvane::IProperty::accessFull, VT_NULL, 0, 0, null));
    EXPECT_TRUE(testkit::ThrowsWinError([&] { locator.SetSettings(nullClass); }, L"CBtDrt::WriteLocalCOD",
                                        ERROR_NOT_SUPPORTED));
    BthSimSetRadio(FALSE, 0, nullptr, 0);
    EXPECT_FALSE(locator.IsHardwareAvailableAndPoweredOn());
}

TEST_F(LocatorTest, PairingEscapesPairAskAndRevoke) {
    ASSERT_TRUE(BthSimAddDevice(kDevice, L"Locked", 0x001F00, BTHSIM_IN_RANGE, L"4321"));
    CBluetoothPortLocator locator;
    auto list = locator.Escape(nullptr, boost::shared_ptr<corvane::IPropertySet>());
    ASSERT_TRUE(list);
    EXPECT_EQ(list->GetCount(), 3u);
    for (const wchar_t* name : {L"PairRequest", L"IsPaired", L"RevokePairing"}) {
        boost::shared_ptr<corvane::IProperty> entry = list->Find(name);
        ASSERT_TRUE(entry) << basalt::ustring(name).c_str();
        EXPECT_EQ(entry->GetVarType(), VT_EMPTY);
        EXPECT_EQ(entry->GetAccessPolicy(), corvane::IProperty::accessReadOnly);
    }
    auto isPaired = locator.Escape(L"IsPaired", boost::shared_ptr<corvane::IPropertySet>());
    isPaired->SetValue(L"Address", _variant_t(L"00:00:DE:AD:BE:EF"));
    EXPECT_FALSE(static_cast<bool>(locator.Escape(L"IsPaired", isPaired)->Find(L"")->GetValue()));

    auto pair = locator.Escape(L"PairRequest", boost::shared_ptr<corvane::IPropertySet>());
    pair->SetValue(L"Address", _variant_t(kDeviceText));
    pair->SetValue(L"PIN", _variant_t(L"4321"));
    locator.Escape(L"PairRequest", pair);
    isPaired->SetValue(L"Address", _variant_t(kDeviceText));
    EXPECT_TRUE(static_cast<bool>(locator.Escape(L"IsPaired", isPaired)->Find(L"")->GetValue()));
    locator.Escape(L"RevokePairing", isPaired);
    EXPECT_FALSE(static_cast<bool>(locator.Escape(L"IsPaired", isPaired)->Find(L"")->GetValue()));

    try {
        locator.Escape(L"ispaired", isPaired);
        ADD_FAILURE() << "letter case was ignored";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    }
}

TEST_F(LocatorTest, PairingEscapesWithoutTheirParametersFailWith87) {
    AddEchoDevice();
    CBluetoothPortLocator locator;
    const wchar_t kEscape[] = L"Microsoft::CBluetoothPortLocator::Escape";
    boost::shared_ptr<corvane::CPropertySet> none(new corvane::CPropertySet);
    for (const wchar_t* name : {L"PairRequest", L"IsPaired", L"RevokePairing"})
        EXPECT_TRUE(testkit::ThrowsWinError([&] { locator.Escape(name, none); }, kEscape, ERROR_INVALID_PARAMETER))
            << basalt::ustring(name).c_str();
    auto addressOnly = locator.Escape(L"IsPaired", boost::shared_ptr<corvane::IPropertySet>());
    addressOnly->SetValue(L"Address", _variant_t(kDeviceText));
    EXPECT_TRUE(testkit::ThrowsWinError([&] { locator.Escape(L"PairRequest", addressOnly); }, kEscape,
                                        ERROR_INVALID_PARAMETER));
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_PAIR) + BthSimGetCount(kDevice, BTHSIM_COUNT_REMOVE), 0u);
}

TEST_F(LocatorTest, CacheListPartsAreReadAsFarAsTheyAreNumbers) {
    corvane::WriteBluetoothCacheEntry(kDevice, 0x001F00, L"Echo");
    corvane::WriteBluetoothCacheEntry(kPhone, kPhoneClass, L"Phone");
    // Another program of the user wrote the list with blanks and a trailing mark.
    basalt::RegWriteValue(HKEY_CURRENT_USER, corvane::kBluetoothCacheKey, L"PreviouslyFound",
                          L"550387777537 ,x,550387777538;");
    CBluetoothPortLocator locator;
    auto cached = Search(locator, static_cast<DWORD>(-1), CBluetoothPortLocator::flagCacheOnly);
    ASSERT_EQ(cached.size(), 2u);
    EXPECT_EQ(Name(cached[0]), L"Echo");
    EXPECT_EQ(Name(cached[1]), L"Phone");
}
