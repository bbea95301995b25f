// The API loader and the process-wide authentication registry: what the
// handlers answer the stack, and when the registry touches the stack at all.
#include "BluetoothTestKit.h"

#include "kit/TestKit.h"

using namespace bttest;

namespace {

class LoaderTest : public BluetoothTest {
protected:
    void TearDown() override {
        SetAuthenticationPin(kDevice, nullptr);
        BluetoothTest::TearDown();
    }
};

BTHSIM_ANSWER Ask(DWORD method, ULONG value = 0) {
    BTHSIM_ANSWER answer = {};
    EXPECT_TRUE(BthSimRequestPairing(kDevice, method, value, &answer));
    return answer;
}

}  // namespace

TEST_F(LoaderTest, ALegacyAnswerCarriesThePinsUtf8BytesCutTo16) {
    AddEchoDevice();
    ASSERT_TRUE(SetAuthenticationPin(kDevice, L"0123456789abcdefXYZ"));
    BTHSIM_ANSWER answer = Ask(BLUETOOTH_AUTHENTICATION_METHOD_LEGACY);
    EXPECT_TRUE(answer.handlerResult);
    EXPECT_EQ(answer.pinLength, 16u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(answer.pin), answer.pinLength), "0123456789abcdef");

    // Updating the PIN keeps the one registration and answers the new text.
    ASSERT_TRUE(SetAuthenticationPin(kDevice, L"\u00c4\u00df1"));
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_HANDLERS), 1u);
    answer = Ask(BLUETOOTH_AUTHENTICATION_METHOD_LEGACY);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(answer.pin), answer.pinLength), "\xC3\x84\xC3\x9F" "1");
}

TEST_F(LoaderTest, ComparisonsAndPasskeysAreAcceptedAndOutOfBandIsNot) {
    AddEchoDevice();
    ASSERT_TRUE(SetAuthenticationPin(kDevice, L""));
    BTHSIM_ANSWER answer = Ask(BLUETOOTH_AUTHENTICATION_METHOD_NUMERIC_COMPARISON, 123456);
    EXPECT_TRUE(answer.handlerResult);
    EXPECT_EQ(answer.method, static_cast<DWORD>(BLUETOOTH_AUTHENTICATION_METHOD_NUMERIC_COMPARISON));
    EXPECT_EQ(answer.value, 123456u);
    answer = Ask(BLUETOOTH_AUTHENTICATION_METHOD_PASSKEY, 999);
    EXPECT_EQ(answer.value, 999u);
    answer = Ask(BLUETOOTH_AUTHENTICATION_METHOD_PASSKEY_NOTIFICATION, 314159);
    EXPECT_TRUE(answer.handlerResult);
    EXPECT_TRUE(answer.responded);
    EXPECT_EQ(answer.method, static_cast<DWORD>(BLUETOOTH_AUTHENTICATION_METHOD_PASSKEY_NOTIFICATION));
    EXPECT_EQ(answer.value, 314159u);
    answer = Ask(BLUETOOTH_AUTHENTICATION_METHOD_OOB);
    EXPECT_FALSE(answer.handlerResult);
    EXPECT_FALSE(answer.responded);
}

TEST_F(LoaderTest, RemovingWhatWasNeverRegisteredAsksNothingOfTheStack) {
    BthSimSetRadio(FALSE, 0, nullptr, 0);  // any call into the stack would now fail
    EXPECT_FALSE(SetAuthenticationPin(kDevice, nullptr));
    BthSimSetRadio(TRUE, 0, nullptr, 0);
    ASSERT_TRUE(SetAuthenticationPin(kDevice, L"1"));
    EXPECT_TRUE(SetAuthenticationPin(kDevice, nullptr));
    EXPECT_EQ(BthSimGetCount(0, BTHSIM_COUNT_HANDLERS), 0u);
    EXPECT_FALSE(SetAuthenticationPin(kDevice, nullptr));
}

TEST_F(LoaderTest, NoRadioFailsWith1062AndTheRadioItselfIsReported) {
    BthSimSetRadio(FALSE, 0, nullptr, 0);
    try {
        CBtDrt api;
        ADD_FAILURE() << "a stack without a radio was taken";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
        EXPECT_EQ(e.GetFunction(), L"BluetoothFindFirstRadio");
    }
    BthSimSetRadio(TRUE, 0x0012AB34CD56ULL, L"BENCH-7", 0x3E0104);
    CBtDrt api;
    EXPECT_EQ(api.GetLocalAddress(), 0x0012AB34CD56ULL);
    EXPECT_EQ(api.GetLocalName(), L"BENCH-7");
    EXPECT_EQ(api.GetLocalCOD(), 0x3E0104u);
    EXPECT_THROW(CBtDrt::WriteLocalCOD(0), basalt::CWinException);
}

TEST_F(LoaderTest, PairingFollowsTheSystemVersion) {
    const ULONGLONG other = kDevice + 1;
    ASSERT_TRUE(BthSimAddDevice(kDevice, L"Locked", 0x001F00, BTHSIM_IN_RANGE, L"4321"));
    ASSERT_TRUE(BthSimAddDevice(other, L"Open", 0x001F00, BTHSIM_IN_RANGE, nullptr));
    CBtDrt api;
    EXPECT_TRUE(testkit::ThrowsWinError([&] { api.PairRequest(kDevice, L"4321", 4, 10); }, L"CBtDrt::PairRequest",
                                        ERROR_OLD_WIN_VERSION));
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_PAIR), 0u);

    // Version 5 names the radio only for a device with a registered PIN.
    api.PairRequest(other, L"1", 5, 1);
    EXPECT_EQ(BthSimGetCount(other, BTHSIM_COUNT_PAIR), 1u);
    EXPECT_EQ(BthSimGetCount(other, BTHSIM_COUNT_PAIR_RADIO), 0u);
    ASSERT_TRUE(SetAuthenticationPin(kDevice, L"4321"));
    api.PairRequest(kDevice, nullptr, 5, 1);
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_PAIR_RADIO), 1u);
    EXPECT_TRUE(api.IsAuthenticated(kDevice));
    api.RemoveDevice(kDevice);

    // Before 6.2 every system names the radio and uses the PIN call.
    api.PairRequest(other, L"1", 6, 1);
    EXPECT_EQ(BthSimGetCount(other, BTHSIM_COUNT_PAIR_RADIO), 1u);
    EXPECT_EQ(BthSimGetCount(other, BTHSIM_COUNT_PAIR_EX), 0u);

    // From 6.2 the extended call pairs through the registered handler.
    for (DWORD major : {6u, 10u}) {
        api.PairRequest(kDevice, nullptr, major, major == 6 ? 2 : 0);
        EXPECT_TRUE(api.IsAuthenticated(kDevice));
        api.RemoveDevice(kDevice);
    }
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_PAIR_EX), 2u);
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_PAIR), 1u);
}

TEST_F(LoaderTest, PairRequestPairsThroughTheRegisteredPinAndRefusesAWrongOne) {
    ASSERT_TRUE(BthSimAddDevice(kDevice, L"Locked", 0x001F00, BTHSIM_IN_RANGE, L"4321"));
    CBtDrt api;
    EXPECT_FALSE(api.IsAuthenticated(kDevice));
    EXPECT_FALSE(api.IsAuthenticated(0x0000DEADBEEFULL));  // unknown to the stack: not an error
    ASSERT_TRUE(SetAuthenticationPin(kDevice, L"0000"));
    EXPECT_THROW(api.PairRequest(kDevice, nullptr), basalt::CWinException);
    ASSERT_TRUE(SetAuthenticationPin(kDevice, L"4321"));
    api.PairRequest(kDevice, nullptr);
    EXPECT_TRUE(api.IsAuthenticated(kDevice));
    api.RemoveDevice(kDevice);
    EXPECT_FALSE(api.IsAuthenticated(kDevice));
}
