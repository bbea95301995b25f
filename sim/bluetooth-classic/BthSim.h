#pragma once
// Control interface of the simulated classic Bluetooth stack (Bthprops.cpl).
// Every function is WINAPI and takes device addresses as 64-bit numbers
// (0x008025000001 is 00:80:25:00:00:01).
#include <winsock2.h>
#include <windows.h>

// Programs reach these functions through the static library bthsim_client,
// which finds them in the Bthprops.cpl that basalt::CLibrary loads (an import
// of Bthprops.cpl by name would get Wine's built-in library instead).
#if defined(BTHSIM_BUILD)
#define BTHSIM_API __declspec(dllexport)
#elif defined(BTHSIM_CLIENT)
#define BTHSIM_API
#else
#define BTHSIM_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Device flags.
#define BTHSIM_REMEMBERED 0x01     // the stack lists it without an inquiry
#define BTHSIM_AUTHENTICATED 0x02  // paired
#define BTHSIM_IN_RANGE 0x04       // answers inquiries, lookups and connections
#define BTHSIM_NUMERIC 0x08        // pairs by numeric comparison instead of a PIN
#define BTHSIM_STALE_KEY 0x10      // paired here, but the device forgot the key:
                                   // lookups fail 10108, connects 10022, until removed and paired again
#define BTHSIM_CONNECTED 0x20      // reported as connected

// What a service record's channel does with a connection.
#define BTHSIM_SERVICE_ECHO 0   // sends back every byte
#define BTHSIM_SERVICE_LINES 1  // sends a numbered line every 20 ms, ignores input
#define BTHSIM_SERVICE_SINK 2   // reads and drops everything
#define BTHSIM_SERVICE_CLOSE 3  // closes the connection at once
#define BTHSIM_SERVICE_HOLD 4   // parks the device's end for BthSimTakeConnection

// Operations that BthSimFailNext can make fail.
#define BTHSIM_OP_CONNECT 1  // the Winsock error of the next connects
#define BTHSIM_OP_LOOKUP 2   // the Winsock error of the next SDP lookups (WSALookupServiceBegin)
#define BTHSIM_OP_PUBLISH 3  // the Winsock error of the next WSASetService registrations
#define BTHSIM_OP_RECEIVE 4  // the Winsock error of the next receives on connections to the device
#define BTHSIM_OP_ACCEPT 5   // the Winsock error of the next accepts on any listening socket (address ignored)
#define BTHSIM_OP_REGISTER 6 // the result of the next authentication handler registrations (address ignored)
#define BTHSIM_OP_RESPOND 7  // the result of the next authentication responses (address ignored)

// Counters of BthSimGetCount.
#define BTHSIM_COUNT_REMOVE 1    // BluetoothRemoveDevice calls for the device
#define BTHSIM_COUNT_PAIR 2      // BluetoothAuthenticateDevice calls
#define BTHSIM_COUNT_PAIR_EX 3   // BluetoothAuthenticateDeviceEx calls
#define BTHSIM_COUNT_LOOKUP 4    // SDP lookups begun
#define BTHSIM_COUNT_CONNECT 5   // connect attempts
#define BTHSIM_COUNT_HANDLERS 6  // authentication handlers registered now (address 0: all)
#define BTHSIM_COUNT_INQUIRY 7   // inquiries issued (address ignored)
#define BTHSIM_COUNT_PAIR_RADIO 8  // BluetoothAuthenticateDevice calls that named the radio
#define BTHSIM_COUNT_LISTENING 9   // Bluetooth sockets bound to a channel and still open (address ignored)

// Ored into BthSimAddRecord's behaviour: the record writes its service classes
// as 32-bit or 128-bit UUIDs instead of 16-bit ones, as some devices do.
#define BTHSIM_RECORD_UUID32 0x100
#define BTHSIM_RECORD_UUID128 0x200

// What a registered authentication handler answered (BthSimRequestPairing).
typedef struct BTHSIM_ANSWER {
    BOOL handlerResult;    // what the handler returned
    BOOL responded;        // it sent a response
    DWORD method;          // the response's method (1 legacy, 3 numeric comparison, 5 passkey)
    BYTE pin[16];          // a legacy response's PIN bytes
    DWORD pinLength;
    ULONG value;           // numeric value or passkey
} BTHSIM_ANSWER;

// The world. Reset(TRUE) restores the default world (see README), Reset(FALSE)
// leaves a radio and no devices, no published services, nothing registered.
BTHSIM_API void WINAPI BthSimReset(BOOL defaultWorld);
// present FALSE: no radio at all (also at start when BTHSIM_NO_RADIO=1).
BTHSIM_API void WINAPI BthSimSetRadio(BOOL present, ULONGLONG address, const wchar_t* name, ULONG classOfDevice);
// pin: what a legacy pairing must answer (null: any answer pairs).
BTHSIM_API BOOL WINAPI BthSimAddDevice(ULONGLONG address, const wchar_t* name, ULONG classOfDevice, DWORD flags,
                                       const wchar_t* pin);
BTHSIM_API void WINAPI BthSimRemoveDevice(ULONGLONG address);
BTHSIM_API void WINAPI BthSimSetDeviceFlags(ULONGLONG address, DWORD flags);
BTHSIM_API DWORD WINAPI BthSimGetDeviceFlags(ULONGLONG address);
// The device's name is reported empty by its first `inquiries` inquiries.
BTHSIM_API void WINAPI BthSimSetNameDelay(ULONGLONG address, DWORD inquiries);
// A service record: its service class list (16-bit UUIDs), the RFCOMM channel
// in its protocol list (0: a record without one) and what the channel does.
BTHSIM_API BOOL WINAPI BthSimAddRecord(ULONGLONG address, const USHORT* classes, DWORD count, ULONG channel,
                                       DWORD behaviour);
// Each device an inquiry reports takes this long (default 0).
BTHSIM_API void WINAPI BthSimSetInquiryDelay(DWORD milliseconds);
// The next `count` operations of that kind on the device fail with `code`.
BTHSIM_API void WINAPI BthSimFailNext(ULONGLONG address, DWORD operation, DWORD code, DWORD count);
BTHSIM_API DWORD WINAPI BthSimGetCount(ULONGLONG address, DWORD counter);
// The channels of the connect attempts to the device, in order; answers their number.
BTHSIM_API DWORD WINAPI BthSimGetConnectLog(ULONGLONG address, ULONG* channels, DWORD capacity);
// Asks the handler registered for the device, from a stack thread, as a
// pairing would; FALSE when none is registered.
BTHSIM_API BOOL WINAPI BthSimRequestPairing(ULONGLONG address, DWORD method, ULONG value, BTHSIM_ANSWER* answer);
// The device's end of the oldest parked connection (BTHSIM_SERVICE_HOLD), a
// blocking socket the caller owns; INVALID_SOCKET when none came in time.
BTHSIM_API SOCKET WINAPI BthSimTakeConnection(ULONGLONG address, DWORD timeoutMs);
// The device dials a service published with WSASetService on this computer;
// answers its end (the caller owns it), INVALID_SOCKET when nothing is published
// for the class.
BTHSIM_API SOCKET WINAPI BthSimConnectToService(ULONGLONG device, const GUID* serviceClass);
// The services published now: classes and channels; answers their number.
BTHSIM_API DWORD WINAPI BthSimGetPublished(GUID* classes, ULONG* channels, DWORD capacity);

#ifdef __cplusplus
}
#endif
