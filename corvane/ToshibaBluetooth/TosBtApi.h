#pragma once
// The Toshiba stack's application library, TosBtApi.dll, as this library
// calls it: the entry points' signatures, the window messages the stack posts
// and the offsets of the record fields the driver reads. Every entry point
// returns a BOOL and writes its status through its last argument. Shared with
// the simulated stack (sim/bluetooth-toshiba), which exports the same names.
#include <windows.h>

namespace TosBt {

typedef BYTE BDADDR[6];  // most significant byte first

// Messages the driver asks the stack to post, and what their wParam says.
const UINT msgDiscovery = 0x8001;
const WPARAM discoveryFailed = 0x600000, discoveryCleared = 0x600001, discoveryResults = 0x600080,
             discoveryFinished = 0x6000FF;
const UINT msgSdpConnect = 0x8002;
const WPARAM sdpConnectFailed = 0x700000, sdpConnected = 0x700080;
const UINT msgSearch = 0x8003;
const WPARAM searchFailed = 0x700400, searchResults = 0x700480, searchFinished = 0x7004FF;
const UINT msgCommEvent = 0x8004;  // a virtual port was made: high word of lParam 0
const DWORD commEventMask = 0x800000;
const UINT msgCommConnect = 0x8005;
const WPARAM commConnectFailed = 0x800200, commConnected = 0x800280, commReady = 0x8002FF;
const UINT msgCommState = 0x8006;
const WPARAM commLinkLost = 0x800440;
// Failure messages carry the stack's status in lParam.

// Discovery result list: a 32-bit count, then records this far apart.
const size_t discoveryRecordsAt = 4, discoveryRecordSize = 264;
const size_t deviceAddressAt = 8, deviceClassAt = 14, deviceNameAt = 18, deviceNameSize = 248;
// Virtual-port list: a 32-bit count, then records this far apart.
const size_t commRecordsAt = 4, commRecordSize = 29, commNameAt = 8, commNameSize = 21;
// The SDP result block and the analysed attribute lists: a 32-bit count of
// records, then the records (CServiceRecord) one after the other.
struct CServiceRecord {
    WORD serviceClass;
    BYTE channel;  // the RFCOMM server channel, 0 when the record offers none
    BYTE reserved;
};
// The protocol parameters of one analysed record.
struct CProtocolParameters {
    DWORD flags;  // bit 3: channel holds an RFCOMM server channel
    BYTE channel;
};
const DWORD protocolHasChannel = 8;

struct CLocalInfo {
    BDADDR address;
    BYTE reserved[250];
};

}  // namespace TosBt

// The entry points, in the order the driver resolves them.
#define TOSBT_ENTRY_POINTS(X)                                                                              \
    X(BtOpenAPI, (HWND window, const char* application, LONG* status))                                   \
    X(BtCloseAPI, (LONG * status))                                                                         \
    X(BtGetLocalInfo2, (TosBt::CLocalInfo * info, LONG * status))                                          \
    X(BtSetLocalDeviceName, (const BYTE* name, LONG* status))                                              \
    X(BtGetLocalDeviceName, (BYTE * name, LONG * status))                                                  \
    X(BtSetClassOfDevice, (DWORD classOfDevice, LONG * status))                                            \
    X(BtGetClassOfDevice, (DWORD * classOfDevice, LONG * status))                                          \
    X(BtGetDiscoverabilityMode, (DWORD * mode, LONG * status))                                             \
    X(BtGetConnectabilityMode, (DWORD * mode, LONG * status))                                              \
    X(BtGetPairingMode, (DWORD * mode, LONG * status))                                                     \
    X(BtDiscoverRemoteDevice2, (void** list, DWORD flags, HWND window, UINT message, LPARAM param, LONG* status)) \
    X(BtCancelDiscoverRemoteDevice, (LONG * status))                                                       \
    X(BtMemFree, (void* block, LONG* status))                                                                            \
    X(BtConnect, (const BYTE* address, LONG* status))                                                      \
    X(BtDisconnect, (const BYTE* address, LONG* status))                                                   \
    X(BtSendData, (const void* data, DWORD size, LONG* status))                                            \
    X(BtRecvData, (void* data, DWORD size, LONG* status))                                                  \
    X(BtCreateCOMM, (const char* name, DWORD flags, DWORD kind, LONG* status))                             \
    X(BtDestroyCOMM, (const char* name, LONG* status))                                                     \
    X(BtConnectCOMM, (const char* name, const BYTE* address, LONG* status))                                \
    X(BtConnectCOMM2, (const char* name, const BYTE* address, BYTE channel, DWORD kind, WORD* connection,  \
                       DWORD flags, HWND window, UINT message, LPARAM param, LONG* status))                 \
    X(BtDisconnectCOMM, (const char* name, LONG* status))                                                  \
    X(BtNotifyCOMM, (const char* name, DWORD mask, const BYTE* address, WORD connection, HWND window,     \
                     UINT message, LPARAM param, LONG* status))                                            \
    X(BtGetCOMMInfoList2, (void** list, LONG* status))                                                     \
    X(BtNotifyEvent, (DWORD mask, HWND window, UINT message, LONG* status))                                \
    X(BtSetAutoConnectCOMMInfo, (const char* name, const BYTE* address, LONG* status))                     \
    X(BtSetAutoConnectCOMMState, (const char* name, DWORD state, LONG* status))                            \
    X(BtConnectSDP, (const BYTE* address, WORD* connection, HWND window, UINT message, LPARAM param,       \
                     LONG* status))                                                                        \
    X(BtDisconnectSDP, (WORD connection, LONG * status))                                                   \
    X(BtMakeServiceSearchPattern2, (const BYTE* uuid, DWORD size, void** pattern, LONG* status))         \
    X(BtServiceSearch2, (WORD connection, const void* pattern, void** result, HWND window, UINT message,  \
                         LPARAM param, LONG* status))                                                      \
    X(BtServiceAttribute2, (WORD connection, DWORD record, const void* attributes, void** result,         \
                            HWND window, UINT message, LPARAM param, LONG* status))                        \
    X(BtMakeAttributeIDList2, (const WORD* ids, DWORD count, void** list, LONG* status))                   \
    X(BtAnalyzeProtocolParameter2, (const void* record, TosBt::CProtocolParameters* parameters,           \
                                    LONG* status))                                                         \
    X(BtAnalyzeServiceAttributeLists2, (const void* result, void** analysed, LONG* status))                \
    X(BtFreePBTANALYZEDATTRLIST2, (void* analysed, LONG* status))                                          \
    X(BtServiceSearchAttribute2, (WORD connection, const void* pattern, const void* attributes,           \
                                  void** result, HWND window, UINT message, LPARAM param, LONG* status))   \
    X(BtSetAutoReplyPinCode, (const BYTE* address, const char* pin, LONG* status))                         \
    X(BtClearAutoReplyPinCode, (const BYTE* address, LONG* status))
