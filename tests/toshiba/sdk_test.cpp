// The stack wrapper's failures: texts from the string table, the exception's
// copies, and the stack's addresses.
#include "ToshibaTestKit.h"

namespace tostest {
namespace {

using Toshiba::CToshibaBluetoothException;

TEST(ToshibaException, StatusesPickTheirTextsAndUnknownOnesFallBack) {
    EXPECT_EQ(basalt::ustring(L"This device doesn't support this function."),
              CToshibaBluetoothException(1, L"f", L"g", -1095).GetErrorMessage());
    EXPECT_EQ(basalt::ustring(L"TosBtMng.exe isn't running."),
              CToshibaBluetoothException(1, L"f", L"g", -3000).GetErrorMessage());
    EXPECT_EQ(basalt::ustring(L"The operation completed successfully."),
              CToshibaBluetoothException(1, L"f", L"g", 0).GetErrorMessage());
    // Gaps in the stack's numbering, and numbers beyond it, have no text of their own.
    for (LONG status : {-1005L, -1L, -5L, -6L, -8L, 3L, -3006L})
        EXPECT_EQ(basalt::ustring(L"There is no description for this error."),
                  CToshibaBluetoothException(1, L"f", L"g", status).GetErrorMessage())
            << status;
}

TEST(ToshibaException, EveryTableEntryHasATextInTheLibrary) {
    for (LONG status = -3100; status <= 10; ++status) {
        UINT id = CToshibaBluetoothException::MessageId(status);
        ASSERT_GE(id, 209u);
        ASSERT_LE(id, 249u);
        EXPECT_FALSE(CToshibaBluetoothException(1, L"f", L"g", status).GetErrorMessage().empty()) << status;
    }
}

TEST(ToshibaException, SourceCodeAndClonesKeepWhatTheFailureSaid) {
    CToshibaBluetoothException original(42, L"ToshibaBluetooth", L"BtConnectSDP", -3000);
    EXPECT_EQ(basalt::ustring(L"-3000"), original.GetErrorCodeStr());
    EXPECT_EQ(basalt::ustring(L"Toshiba Bluetooth Stack"), original.GetSource());
    boost::shared_ptr<basalt::CStdException> copy = original.Clone();
    try {
        copy->Throw();
        FAIL() << "Throw returned";
    } catch (const CToshibaBluetoothException& thrown) {
        EXPECT_EQ(-3000, thrown.GetStatus());
        EXPECT_EQ(42, thrown.GetLine());
        EXPECT_EQ(basalt::ustring(L"ToshibaBluetooth"), thrown.GetFile());
        EXPECT_EQ(basalt::ustring(L"BtConnectSDP"), thrown.GetFunction());
    }
}

TEST(ToshibaAddress, SixBytesMostSignificantFirst) {
    BYTE bytes[6];
    Toshiba::ToStackAddress(0x0080250A0B0CULL, bytes);
    const BYTE expected[6] = {0x00, 0x80, 0x25, 0x0A, 0x0B, 0x0C};
    EXPECT_EQ(0, memcmp(expected, bytes, 6));
    EXPECT_EQ(0x0080250A0B0CULL, Toshiba::FromStackAddress(bytes));
}

class ToshibaSdkTest : public ToshibaTest {};

TEST_F(ToshibaSdkTest, FailedCallsThrowTheStackStatusUnderTheEntryPointsName) {
    Toshiba::CToshibaBluetoothSDK sdk;
    try {
        sdk.DisconnectSDP(0x7777);
        FAIL() << "no exception";
    } catch (const CToshibaBluetoothException& e) {
        EXPECT_EQ(basalt::ustring(L"DisconnectSDP"), e.GetFunction());
        EXPECT_EQ(-9, e.GetStatus());
    }
    try {
        sdk.CloseAPI();  // never opened
        FAIL() << "no exception";
    } catch (const CToshibaBluetoothException& e) {
        EXPECT_EQ(basalt::ustring(L"BtCloseAPI"), e.GetFunction());
        EXPECT_EQ(-3003, e.GetStatus());
    }
}

TEST_F(ToshibaSdkTest, LocalNamesTravelAsUtf8AndLongOnesAreCut) {
    Toshiba::CToshibaBluetoothSDK sdk;
    sdk.SetLocalDeviceName(L"Caf\u00e9 radio");
    EXPECT_EQ(basalt::ustring(L"Caf\u00e9 radio"), sdk.GetLocalDeviceName());
    std::wstring longName(300, L'x');
    sdk.SetLocalDeviceName(basalt::ustring(longName.c_str()));
    EXPECT_EQ(250u, sdk.GetLocalDeviceName().length());
}

}  // namespace
}  // namespace tostest
