#pragma once
// The system's classic Bluetooth API, loaded from Bthprops.cpl at run time,
// and the process-wide registry through which the stack's pairing requests
// are answered with the PIN a client gave for a device.
#include "Common.h"

#include <basalt/Library.h>

#include <bluetoothapis.h>

// The toolchain's header declares some of these callbacks and one parser
// without the stdcall convention the system uses: the driver keeps its own
// pointer types so that a 32-bit build calls them correctly.
typedef BOOL(CALLBACK* BthAuthenticationCallback)(LPVOID context, BLUETOOTH_DEVICE_INFO* device);
typedef BOOL(CALLBACK* BthAuthenticationCallbackEx)(LPVOID context,
                                                    BLUETOOTH_AUTHENTICATION_CALLBACK_PARAMS* request);
typedef BOOL(CALLBACK* BthEnumAttributesCallback)(ULONG attribute, LPBYTE value, ULONG size, LPVOID context);

// One object per operation: loads the library, resolves the radio and device
// calls and holds the first local radio.
class CBtDrt {
public:
    // Throws CWinException "BluetoothFindFirstRadio" 1062 when there is no radio.
    CBtDrt();
    virtual ~CBtDrt();
    CBtDrt(const CBtDrt&) = delete;
    CBtDrt& operator=(const CBtDrt&) = delete;

    bool IsDiscoverable();
    bool IsConnectable();
    void SetDiscoverable(bool on);
    void SetConnectable(bool on);
    DWORD GetLocalCOD();
    ULONGLONG GetLocalAddress();
    basalt::ustring GetLocalName();
    // The stack offers no way to change the radio's class: always throws 50.
    [[noreturn]] static void WriteLocalCOD(DWORD classOfDevice);

    // False for a device the stack does not know.
    bool IsAuthenticated(ULONGLONG device);
    void RemoveDevice(ULONGLONG device);
    void UnregisterAuthentication(HBLUETOOTH_AUTHENTICATION_REGISTRATION handle);
    void RegisterAuthenticationHandler(ULONGLONG device, void* context,
                                       HBLUETOOTH_AUTHENTICATION_REGISTRATION* handle);
    // Starts pairing with the call the system's version offers; pin may be null.
    DWORD PairRequest(ULONGLONG device, const wchar_t* pin);
    // The same as on a system of this version (PairRequest passes the running one's).
    DWORD PairRequest(ULONGLONG device, const wchar_t* pin, DWORD major, DWORD minor);

    HBLUETOOTH_DEVICE_FIND FindFirstDevice(BLUETOOTH_DEVICE_SEARCH_PARAMS* params, BLUETOOTH_DEVICE_INFO* info);
    BOOL FindNextDevice(HBLUETOOTH_DEVICE_FIND find, BLUETOOTH_DEVICE_INFO* info);
    BOOL FindDeviceClose(HBLUETOOTH_DEVICE_FIND find);

    // Which call PairRequest makes on a system of this version.
    enum EPairingCall { pairingUnsupported, pairingLegacyRegistered, pairingEx, pairingLegacy };
    static EPairingCall ChoosePairingCall(DWORD major, DWORD minor, bool hasEx);

    // Fills a legacy answer: the PIN's UTF-8 bytes, cut to the 16 a PIN holds.
    static void FillPinAnswer(const basalt::ustring& pin, BLUETOOTH_PIN_INFO& answer);

private:
    BLUETOOTH_RADIO_INFO ReadRadioInfo();
    static BOOL CALLBACK BasicHandler(LPVOID context, BLUETOOTH_DEVICE_INFO* device);
    static BOOL CALLBACK ExtendedHandler(LPVOID context, BLUETOOTH_AUTHENTICATION_CALLBACK_PARAMS* request);
    friend bool SetAuthenticationPin(ULONGLONG device, const wchar_t* pin);

    basalt::CLibrary m_library;
    HANDLE m_radio;
    DWORD(WINAPI* m_authenticateDevice)(HWND, HANDLE, BLUETOOTH_DEVICE_INFO*, PWSTR, ULONG);
    HRESULT(WINAPI* m_authenticateDeviceEx)(HWND, HANDLE, BLUETOOTH_DEVICE_INFO*, PBLUETOOTH_OOB_DATA_INFO,
                                            BLUETOOTH_AUTHENTICATION_REQUIREMENTS);
    BOOL(WINAPI* m_enableDiscovery)(HANDLE, BOOL);
    BOOL(WINAPI* m_enableIncomingConnections)(HANDLE, BOOL);
    DWORD(WINAPI* m_enumerateInstalledServices)(HANDLE, BLUETOOTH_DEVICE_INFO*, DWORD*, GUID*);
    HBLUETOOTH_RADIO_FIND(WINAPI* m_findFirstRadio)(BLUETOOTH_FIND_RADIO_PARAMS*, HANDLE*);
    BOOL(WINAPI* m_findNextRadio)(HBLUETOOTH_RADIO_FIND, HANDLE*);
    BOOL(WINAPI* m_findRadioClose)(HBLUETOOTH_RADIO_FIND);
    DWORD(WINAPI* m_getDeviceInfo)(HANDLE, BLUETOOTH_DEVICE_INFO*);
    DWORD(WINAPI* m_getRadioInfo)(HANDLE, BLUETOOTH_RADIO_INFO*);
    BOOL(WINAPI* m_isConnectable)(HANDLE);
    BOOL(WINAPI* m_isDiscoverable)(HANDLE);
    DWORD(WINAPI* m_registerForAuthentication)(BLUETOOTH_DEVICE_INFO*, HBLUETOOTH_AUTHENTICATION_REGISTRATION*,
                                               BthAuthenticationCallback, PVOID);
    HRESULT(WINAPI* m_registerForAuthenticationEx)(const BLUETOOTH_DEVICE_INFO*,
                                                   HBLUETOOTH_AUTHENTICATION_REGISTRATION*,
                                                   BthAuthenticationCallbackEx, PVOID);
    DWORD(WINAPI* m_removeDevice)(BLUETOOTH_ADDRESS*);
    DWORD(WINAPI* m_sendAuthenticationResponse)(HANDLE, BLUETOOTH_DEVICE_INFO*, LPWSTR);
    HRESULT(WINAPI* m_sendAuthenticationResponseEx)(HANDLE, BLUETOOTH_AUTHENTICATE_RESPONSE*);
    BOOL(WINAPI* m_unregisterAuthentication)(HBLUETOOTH_AUTHENTICATION_REGISTRATION);
    HBLUETOOTH_DEVICE_FIND(WINAPI* m_findFirstDevice)(BLUETOOTH_DEVICE_SEARCH_PARAMS*, BLUETOOTH_DEVICE_INFO*);
    BOOL(WINAPI* m_findNextDevice)(HBLUETOOTH_DEVICE_FIND, BLUETOOTH_DEVICE_INFO*);
    BOOL(WINAPI* m_findDeviceClose)(HBLUETOOTH_DEVICE_FIND);
};

// Installs (with a PIN), updates or removes (pin null) the answer to the
// stack's pairing requests for one device. False when there was nothing to
// remove. An empty PIN is a PIN: the device is answered with it.
bool SetAuthenticationPin(ULONGLONG device, const wchar_t* pin);
// Whether a PIN is registered for the device (for the driver's own checks).
bool IsAuthenticationPinSet(ULONGLONG device);

namespace Microsoft {

// The library once per process, with its SDP parsers; each is null when the
// library lacks it.
class CBthpropsLib : public basalt::CLibrary {
public:
    static CBthpropsLib& Instance();

    DWORD(WINAPI* BluetoothSdpGetContainerElementData)(LPBYTE, ULONG, HBLUETOOTH_CONTAINER_ELEMENT*,
                                                      SDP_ELEMENT_DATA*);
    DWORD(WINAPI* BluetoothSdpGetElementData)(LPBYTE, ULONG, SDP_ELEMENT_DATA*);
    BOOL(WINAPI* BluetoothSdpEnumAttributes)(LPBYTE, ULONG, BthEnumAttributesCallback, LPVOID);

private:
    CBthpropsLib();
};

}  // namespace Microsoft
