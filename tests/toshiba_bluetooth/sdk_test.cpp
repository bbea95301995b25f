// The stack wrapper's failures: texts from the string table, the exception's
// copies, and the stack's addresses.
#include "ToshibaTestKit.h"

namespace tostest {
namespace {

using Toshiba::CToshibaBluetoothException;

// Gaps in the stack's numbering, and numbers beyond it, have no text of their own.
TEST(ToshibaException, UndocumentedStatusesFallBackToNoDescription) {
    for (LONG status : {-1005L, -1L, -5L, -6L, -8L, -12L, -999L, 3L, -3006L}) {
        EXPECT_EQ(212u, CToshibaBluetoothException::MessageId(status)) << status;
        EXPECT_EQ(basalt::ustring(L"There is no description for this error."),
                  CToshibaBluetoothException(1, L"f", L"g", status).GetErrorMessage())
            << status;
    }
}

// Every status the stack documents, with the string-table text it selects.
TEST(ToshibaException, EachDocumentedStatusSelectsItsOwnText) {
    const struct {
        LONG status;
        UINT id;
        const wchar_t* text;
    } documented[] = {
        {0, 209, L"The operation completed successfully."},
        {1, 210, L"Device information of BDADDR specified has not been registered in SDP-DB."},
        {2, 211, L"There are old service records (no longer valid) in SDP-DB searched."},
        {-2, 213, L"Device isn't functioning."},
        {-3, 214, L"DeviceIoCtrl failure (driver error)."},
        {-4, 215, L"Memory allocation failure."},
        {-7, 216, L"Connection failure."},
        {-9, 217, L"Invalid parameter."},
        {-10, 218, L"Pending asynchronous request."},
        {-11, 219, L"Invalid data received."},
        {-1000, 220, L"SDP transaction processing failure."},
        {-1001, 221, L"Inquiry processing failure."},
        {-1002, 222, L"Remote name acquisition processing failure."},
        {-1003, 223, L"Specified number of TosBtMng function from TosBtAPI is invalid."},
        {-1095, 224, L"This device doesn't support this function."},
        {-1994, 225, L"SDP transaction processing failure. Insufficient resources to satisfy request."},
        {-1995, 226, L"SDP transaction processing failure. Invalid continuation state."},
        {-1996, 227, L"SDP transaction processing failure. Invalid PDU size."},
        {-1997, 228, L"SDP transaction processing failure. Invalid request syntax."},
        {-1998, 229, L"SDP transaction processing failure. Invalid service record handle."},
        {-1999, 230, L"SDP transaction processing failure. Invalid or unsupported SDP version."},
        {-2000, 231, L"Failure in opening SDP-DB file."},
        {-2001, 232, L"Failure in closing SDP-DB file."},
        {-2002, 233, L"Cannot read from SDP-DB file."},
        {-2003, 234, L"Cannot write to SDP-DB file."},
        {-2004, 235, L"Failure in acquiring the size of SDP-DB file."},
        {-2005, 236, L"Invalid or unsupported SDP-DB file."},
        {-2006, 237, L"A value of service record handle specified is invalid."},
        {-2007, 238, L"Data of specified search pattern is invalid."},
        {-2008, 239, L"Data of service record included in SDP-DB is invalid."},
        {-2009, 240, L"Data of specified attributes list is invalid."},
        {-2010, 241, L"Data of specified attribute ID list is invalid."},
        {-2011, 242, L"SDP-DB maintenance failure."},
        {-2012, 243, L"Registry access error."},
        {-3000, 244, L"TosBtMng.exe isn't running."},
        {-3001, 245, L"Failure in creating a window for receiving messages from TosBtMng.exe"},
        {-3002, 246, L"Attribute list(s) processing failure."},
        {-3003, 247, L"BtOpenAPI() hasn't been called yet or BtCloseAPI() has already been called."},
        {-3004, 248, L"TosBtAPI cannot be used."},
        {-3005, 249, L"Cannot start TosBtMng.exe"},
    };
    for (const auto& entry : documented) {
        EXPECT_EQ(entry.id, CToshibaBluetoothException::MessageId(entry.status)) << entry.status;
        EXPECT_EQ(basalt::ustring(entry.text), CToshibaBluetoothException(1, L"f", L"g", entry.status).GetErrorMessage())
            << entry.status;
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
