#pragma once
// The Bluetooth side of Winsock, as the driver reaches it.
//
// The driver calls Winsock as it would on any system; only the calls whose
// meaning depends on the Bluetooth address family or name space go through
// this table: creating, connecting, binding, naming and accepting a socket
// and receiving on it (basalt::CSocketCalls), and the SDP lookup and
// publication. By default the
// table holds the system's own functions. A stand-in Bthprops.cpl (a
// simulator beside the program) may export
//     void WINAPI BthSimWinsockCalls(CBthWinsockCalls* calls)
// and fill it: its sockets are then ordinary loopback sockets underneath, and
// every other call on them (send, overlapped results, network events,
// close) stays the system's. The system's Bthprops.cpl has no such
// export, so on Windows nothing changes.
#include <basalt/Sockets.h>

#include <ws2bth.h>

namespace Microsoft {

struct CBthWinsockCalls {
    basalt::CSocketCalls sockets;
    INT(WSAAPI* lookupServiceBegin)(LPWSAQUERYSETW, DWORD, LPHANDLE);
    INT(WSAAPI* lookupServiceNext)(HANDLE, DWORD, LPDWORD, LPWSAQUERYSETW);
    INT(WSAAPI* lookupServiceEnd)(HANDLE);
    INT(WSAAPI* setService)(LPWSAQUERYSETW, WSAESETSERVICEOP, DWORD);
    INT(WSAAPI* addressToString)(LPSOCKADDR, DWORD, LPWSAPROTOCOL_INFOW, LPWSTR, LPDWORD);
};

typedef void(WINAPI* BthSimWinsockCallsFn)(CBthWinsockCalls* calls);

// The table for this process, settled on first use.
const CBthWinsockCalls& BthWinsock();

}  // namespace Microsoft
