// A system whose stack lacks the extended pairing calls (its Bthprops.cpl has
// no "Ex" entry points): the driver registers its handlers with the basic
// call, and the basic handler answers the stack with the PIN a client gave.
// These cases run from bin/basic-stack/, beside the simulator built that way
// (CTest entry microsoft_bluetooth_basic); against the full stack they are skipped.
#include "BluetoothTestKit.h"

#include "kit/TestKit.h"

using namespace bttest;
using Microsoft::CBluetoothPort;

namespace {

class BasicStackTest : public BluetoothTest {
protected:
    void SetUp() override {
        BluetoothTest::SetUp();
        HMODULE stack = ::GetModuleHandleW(L"Bthprops.cpl");
        ASSERT_TRUE(stack);
        int extended = 0;
        for (const char* name : {"BluetoothAuthenticateDeviceEx", "BluetoothRegisterForAuthenticationEx",
                                 "BluetoothSendAuthenticationResponseEx"})
            if (::GetProcAddress(stack, name)) ++extended;
        if (extended == 3) GTEST_SKIP() << "the loaded stack has the extended calls";
        ASSERT_EQ(extended, 0) << "a stack with some of the extended calls only";
    }
    void TearDown() override {
        SetAuthenticationPin(kDevice, nullptr);
        BluetoothTest::TearDown();
    }
};

BTHSIM_ANSWER Ask() {
    BTHSIM_ANSWER answer = {};
    EXPECT_TRUE(BthSimRequestPairing(kDevice, BLUETOOTH_AUTHENTICATION_METHOD_LEGACY, 0, &answer));
    return answer;
}

std::string PinOf(const BTHSIM_ANSWER& answer) {
    return std::string(reinterpret_cast<const char*>(answer.pin), answer.pinLength);
}

}  // namespace

TEST_F(BasicStackTest, TheBasicHandlerAnswersWithTheStoredPinAndSaysWhetherTheStackTookIt) {
    AddEchoDevice();
    ASSERT_TRUE(SetAuthenticationPin(kDevice, L"4321"));
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_HANDLERS), 1u);
    BTHSIM_ANSWER answer = Ask();
    EXPECT_TRUE(answer.handlerResult);
    EXPECT_TRUE(answer.responded);
    EXPECT_EQ(PinOf(answer), "4321");

    // A new PIN is answered by the same registration.
    ASSERT_TRUE(SetAuthenticationPin(kDevice, L"98"));
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_HANDLERS), 1u);
    EXPECT_EQ(PinOf(Ask()), "98");

    // An empty PIN is a PIN: it is answered, empty.
    ASSERT_TRUE(SetAuthenticationPin(kDevice, L""));
    answer = Ask();
    EXPECT_TRUE(answer.handlerResult);
    EXPECT_TRUE(answer.responded);
    EXPECT_EQ(answer.pinLength, 0u);

    // A response the stack refuses: the handler answers FALSE.
    BthSimFailNext(0, BTHSIM_OP_RESPOND, ERROR_NOT_READY, 1);
    EXPECT_FALSE(Ask().handlerResult);
    EXPECT_TRUE(Ask().handlerResult);

    ASSERT_TRUE(SetAuthenticationPin(kDevice, nullptr));
    EXPECT_EQ(BthSimGetCount(0, BTHSIM_COUNT_HANDLERS), 0u);
}

// A registration the basic call refuses fails with that call's name and the
// code it returned, and leaves nothing behind: the next PIN registers anew.
TEST_F(BasicStackTest, ARefusedBasicRegistrationFailsWithItsCodeAndStoresNothing) {
    AddEchoDevice();
    BthSimFailNext(0, BTHSIM_OP_REGISTER, ERROR_NOT_ENOUGH_MEMORY, 1);
    EXPECT_TRUE(testkit::ThrowsWinError([] { SetAuthenticationPin(kDevice, L"4321"); },
                                        L"BluetoothRegisterForAuthentication", ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_FALSE(IsAuthenticationPinSet(kDevice));
    EXPECT_EQ(BthSimGetCount(0, BTHSIM_COUNT_HANDLERS), 0u);
    EXPECT_FALSE(SetAuthenticationPin(kDevice, nullptr));  // nothing to remove

    ASSERT_TRUE(SetAuthenticationPin(kDevice, L"4321"));
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_HANDLERS), 1u);
    EXPECT_EQ(PinOf(Ask()), "4321");
}

TEST_F(BasicStackTest, PairingWithoutTheExtendedCallUsesThePinCallAndTheBasicHandler) {
    ASSERT_TRUE(BthSimAddDevice(kDevice, L"Locked", 0x001F00, BTHSIM_IN_RANGE, L"4321"));
    CBtDrt api;
    ASSERT_TRUE(SetAuthenticationPin(kDevice, L"0000"));
    // A system from 6.2 on whose stack has no extended call: the PIN call,
    // with the radio, and the handler's wrong answer is refused.
    EXPECT_TRUE(testkit::ThrowsWinError([&] { api.PairRequest(kDevice, nullptr, 10, 0); },
                                        L"BluetoothAuthenticateDevice", ERROR_NOT_AUTHENTICATED));
    ASSERT_TRUE(SetAuthenticationPin(kDevice, L"4321"));
    api.PairRequest(kDevice, nullptr, 10, 0);
    EXPECT_TRUE(api.IsAuthenticated(kDevice));
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_PAIR_RADIO), 2u);
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_PAIR_EX), 0u);
}

TEST_F(BasicStackTest, APortWithAPinReachesADeviceThatAsksForIt) {
    ASSERT_TRUE(BthSimAddDevice(kDevice, L"Locked", 0x001F00, BTHSIM_IN_RANGE, L"1234"));
    const USHORT serial = 0x1101;
    ASSERT_TRUE(BthSimAddRecord(kDevice, &serial, 1, 3, BTHSIM_SERVICE_ECHO));
    CBluetoothPort port(Address(kDeviceText, L"1234"));
    port.Open();  // the device asks for the PIN on the first connect
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(BthSimGetDeviceFlags(kDevice) & BTHSIM_AUTHENTICATED, static_cast<DWORD>(BTHSIM_AUTHENTICATED));
    EXPECT_EQ(BthSimGetCount(kDevice, BTHSIM_COUNT_HANDLERS), 0u);  // withdrawn once open
    EXPECT_TRUE(TransferIntact(PortSender(port), PortReceiver(port), 1024));
}
