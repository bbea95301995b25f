#pragma once
// Control of the simulated Toshiba stack (TosBtApi.dll): the world of remote
// devices it finds and serves, and the failures it is told to play. Test
// programs and tools resolve these at run time from the loaded library.
#include <windows.h>

#ifdef TOSBTSIM_BUILD
#define TOSBTSIM_API extern "C" __declspec(dllexport)
#else
#define TOSBTSIM_API extern "C" __declspec(dllimport)
#endif

enum ETosBtSimFault {
    tosbtNoFault = 0,
    tosbtSdpConnectFails = 1,  // BtConnectSDP answers 0x700000
    tosbtSearchFails = 2,      // the service search answers 0x700400
    tosbtNoChannel = 3,        // records come back without an RFCOMM channel
    tosbtCommConnectFails = 4, // BtConnectCOMM2 answers 0x800200
    tosbtLinkLost = 5,         // the device goes after `after` bytes: 0x8006 / 0x800440
    tosbtManagerDown = 6,      // BtOpenAPI fails with -3000
    tosbtDiscoveryFails = 7,   // discovery reports one batch, then 0x600000
    tosbtSilent = 8,           // BtConnectSDP is taken but never answered
    tosbtDiscoveryClears = 9,  // discovery reports one batch, 0x600001 (found list dropped), then the rest
    tosbtEmptyResults = 10,    // a search for a class the device lacks answers an empty result list (a
                               // record left behind its count of 0), then finishes
    tosbtChannelUnflagged = 11, // records whose protocol list has no RFCOMM part: their parameters analyse
                                // without the channel flag (bit 3) while the channel byte still holds a number
};

enum ETosBtSimBehaviour {
    tosbtEcho = 0,   // sends back every byte it receives
    tosbtLines = 1,  // sends "line N\r\n" every 20 ms, ignores what it receives
};

// The default world: "Echo Device" 00:80:25:00:00:01 (serial port class only)
// and "Line Streamer" 00:80:25:00:00:02 (dial-up networking class), no fault,
// no virtual ports.
TOSBTSIM_API void WINAPI TosBtSimReset();
TOSBTSIM_API void WINAPI TosBtSimClearDevices();
// address: six bytes, most significant first. serviceClass 0: no service. A
// device added again offers that service too, on its own channel and with
// its own behaviour (class of device and name stay as first given).
TOSBTSIM_API void WINAPI TosBtSimAddDevice(const BYTE* address, DWORD classOfDevice, const char* name,
                                           WORD serviceClass, BYTE channel, int behaviour);
TOSBTSIM_API void WINAPI TosBtSimSetFault(int fault, DWORD after);
// The modes the local radio reports (1 each, but pairing 0, after a reset).
TOSBTSIM_API void WINAPI TosBtSimSetModes(DWORD discoverability, DWORD connectability, DWORD pairing);
// A virtual port the stack lists without a device (as left behind by a client that died).
TOSBTSIM_API void WINAPI TosBtSimAddStalePort(const char* name);
TOSBTSIM_API DWORD WINAPI TosBtSimPortCount();
// Bytes the devices have received since the reset.
TOSBTSIM_API DWORD WINAPI TosBtSimBytesReceived();
// SDP connections asked for since the reset, answered or not.
TOSBTSIM_API DWORD WINAPI TosBtSimSdpRequests();
// Messages of that number (0x8001 to 0x8006) the stack has queued for its
// clients' windows since the reset: a test waits on it, without pumping, until
// the answers it wants to arrive together are all queued.
TOSBTSIM_API DWORD WINAPI TosBtSimPosted(UINT message);
// While held, every call of BtGetCOMMInfoList2 (a port's Close asks for the
// list) waits until released; TosBtSimWaitPortListCaller waits up to timeoutMs
// for a call to be waiting and tells whether one is. A test holds a port in
// the middle of its Close or Open that way.
TOSBTSIM_API void WINAPI TosBtSimHoldPortList(BOOL hold);
TOSBTSIM_API BOOL WINAPI TosBtSimWaitPortListCaller(DWORD timeoutMs);
// The silent stack answers the SDP connections it took so far: each fails
// with 0x700000 and this status (to free a client a test has seen hang).
TOSBTSIM_API void WINAPI TosBtSimAnswerSilently(LONG status);
// The silent stack answers the oldest SDP connection it took: connected (a
// search on it then works), or failed with status. FALSE when none waits.
TOSBTSIM_API BOOL WINAPI TosBtSimAnswerOldest(BOOL connected, LONG status);

#ifndef TOSBTSIM_BUILD
#include <basalt/Library.h>

// The control functions, resolved from the TosBtApi.dll the driver loads
// (the simulator beside the program when CORVANE_SIMULATORS asks for it).
class CTosBtSim {
public:
    CTosBtSim() : m_library(L"TosBtApi.dll") {
#define TOSBTSIM_RESOLVE(name) name = m_library.Resolve<decltype(name)>(#name);
        TOSBTSIM_RESOLVE(TosBtSimReset) TOSBTSIM_RESOLVE(TosBtSimClearDevices) TOSBTSIM_RESOLVE(TosBtSimAddDevice)
        TOSBTSIM_RESOLVE(TosBtSimSetFault) TOSBTSIM_RESOLVE(TosBtSimSetModes) TOSBTSIM_RESOLVE(TosBtSimAddStalePort)
        TOSBTSIM_RESOLVE(TosBtSimPortCount) TOSBTSIM_RESOLVE(TosBtSimBytesReceived)
        TOSBTSIM_RESOLVE(TosBtSimSdpRequests) TOSBTSIM_RESOLVE(TosBtSimPosted)
        TOSBTSIM_RESOLVE(TosBtSimHoldPortList) TOSBTSIM_RESOLVE(TosBtSimWaitPortListCaller)
        TOSBTSIM_RESOLVE(TosBtSimAnswerSilently) TOSBTSIM_RESOLVE(TosBtSimAnswerOldest)
#undef TOSBTSIM_RESOLVE
    }
    // False when the loaded library is not the simulator.
    bool IsLoaded() const { return TosBtSimReset != nullptr; }

    void (WINAPI* TosBtSimReset)();
    void (WINAPI* TosBtSimClearDevices)();
    void (WINAPI* TosBtSimAddDevice)(const BYTE*, DWORD, const char*, WORD, BYTE, int);
    void (WINAPI* TosBtSimSetFault)(int, DWORD);
    void (WINAPI* TosBtSimSetModes)(DWORD, DWORD, DWORD);
    void (WINAPI* TosBtSimAddStalePort)(const char*);
    DWORD (WINAPI* TosBtSimPortCount)();
    DWORD (WINAPI* TosBtSimBytesReceived)();
    DWORD (WINAPI* TosBtSimSdpRequests)();
    DWORD (WINAPI* TosBtSimPosted)(UINT);
    void (WINAPI* TosBtSimHoldPortList)(BOOL);
    BOOL (WINAPI* TosBtSimWaitPortListCaller)(DWORD);
    void (WINAPI* TosBtSimAnswerSilently)(LONG);
    BOOL (WINAPI* TosBtSimAnswerOldest)(BOOL, LONG);

private:
    basalt::CLibrary m_library;
};
#endif
