#pragma once
#include <Corvane/Properties.h>

namespace corvane {

// The address of one device, for any transport. Created once, never changed;
// held through boost::shared_ptr<const IPortAddr>.
class IPortAddr {
public:
    enum EPortType {
        portSerial = 0,
        portBluetooth = 1,
        portUSB = 2,
        portTCP = 3,
        portBluetoothSmart = 4,
    };

    // Makes the address of one port type from the arguments that type uses:
    //   serial, USB      physicalName, friendlyName
    //   Bluetooth        physicalName (device address text), classOfDevice,
    //                    friendlyName, password (the PIN; null: no PIN), rssi, signalQuality
    //   TCP              physicalName (host), service (port number), friendlyName, password
    //   Bluetooth Smart  physicalName (device address text), classOfDevice, friendlyName
    // login is accepted and used by no type. An empty pointer for any other type.
    static CORVANE_API boost::shared_ptr<const IPortAddr> CreateInstance(
        EPortType type, DWORD classOfDevice, const wchar_t* physicalName, const wchar_t* friendlyName,
        const wchar_t* login, const wchar_t* password, int rssi, unsigned int signalQuality,
        const wchar_t* service);

    // The display texts of a Bluetooth class-of-device word: its major class, its
    // minor class (empty when the major has no such entry) and its service
    // classes joined by ";".
    static CORVANE_API void TranslateCOD(DWORD classOfDevice, _bstr_t& majorClass,
                                         _bstr_t& minorClass, _bstr_t& serviceClasses);

    virtual ~IPortAddr() {}
    virtual EPortType GetType() const = 0;
    virtual DWORD GetClassOfDevice() const = 0;
    virtual _bstr_t GetPhysicalName() const = 0;
    virtual _bstr_t GetService() const = 0;
    virtual _bstr_t GetFriendlyName() const = 0;
    virtual _bstr_t GetLogin() const = 0;
    virtual _bstr_t GetPassword() const = 0;
    virtual int GetRSSI() const = 0;
    virtual unsigned int GetSignalQuality() const = 0;
};

// A 48-bit Bluetooth device address in the low bits of a 64-bit number. Text
// that does not read as an address gives this value (printed FF:FF:FF:FF:FF:FF).
constexpr ULONGLONG invalidBluetoothAddress = ~0ULL;

// The PIN of a Bluetooth address made without one: one character, NUL. An
// empty PIN (length 0) is a real PIN; only this exact text means "none".
constexpr wchar_t noPinMarker[1] = {L'\0'};
inline bool IsNoPinMarker(const _bstr_t& pin) {
    return pin.length() == 1 && static_cast<const wchar_t*>(pin)[0] == L'\0';
}

// A classic Bluetooth (RFCOMM) device. Its physical name is the device address
// as text with ':' between the bytes; its password is the PIN, which keeps its
// exact length (it may hold NUL characters).
class CORVANE_API CBluetoothPortAddr : public IPortAddr {
public:
    // friendlyName may be null (an empty name); pin null means no PIN.
    // The first argument of the text overload is read with Str2BluetoothAddr
    // (':' as separator when the text holds one, else twelve digits). Pass
    // literal addresses as 0x...ULL: a bare 0 would match both overloads.
    static boost::shared_ptr<const IPortAddr> CreateInstance(ULONGLONG address, DWORD classOfDevice,
                                                             const wchar_t* friendlyName,
                                                             const wchar_t* pin, int rssi,
                                                             unsigned int signalQuality);
    static boost::shared_ptr<const IPortAddr> CreateInstance(const wchar_t* address,
                                                             DWORD classOfDevice,
                                                             const wchar_t* friendlyName,
                                                             const wchar_t* pin, int rssi,
                                                             unsigned int signalQuality);

    // The six bytes of the low 48 bits, most significant first, as two upper-case
    // hexadecimal digits each, with separator between them (none when it is 0).
    static basalt::ustring BluetoothAddr2Str(ULONGLONG address, wchar_t separator);
    // Reads what BluetoothAddr2Str writes. With a separator: six parts, blanks
    // around them and empty parts ignored; with 0: twelve hexadecimal digits.
    // invalidBluetoothAddress when the text does not read.
    static ULONGLONG Str2BluetoothAddr(const wchar_t* text, wchar_t separator);

    CBluetoothPortAddr(ULONGLONG address, DWORD classOfDevice, const wchar_t* friendlyName,
                       const wchar_t* pin, int rssi, unsigned int signalQuality);
    CBluetoothPortAddr(const CBluetoothPortAddr& other);
    ~CBluetoothPortAddr() override;

    EPortType GetType() const override;
    DWORD GetClassOfDevice() const override;
    _bstr_t GetPhysicalName() const override;
    _bstr_t GetService() const override;
    _bstr_t GetFriendlyName() const override;
    _bstr_t GetLogin() const override;
    _bstr_t GetPassword() const override;
    int GetRSSI() const override;
    unsigned int GetSignalQuality() const override;

    // The device address as a number.
    ULONGLONG GetAddress() const { return m_address; }

private:
    CBluetoothPortAddr& operator=(const CBluetoothPortAddr&) = delete;

    ULONGLONG m_address;
    DWORD m_classOfDevice;
    basalt::ustring m_friendlyName;
    basalt::ustring m_pin;
    int m_rssi;
    unsigned int m_signalQuality;
};

// A Bluetooth Smart device: a Bluetooth address without PIN, RSSI or signal quality.
class CORVANE_API CBluetoothSmartPortAddr : public CBluetoothPortAddr {
public:
    static boost::shared_ptr<const IPortAddr> CreateInstance(ULONGLONG address, DWORD classOfDevice,
                                                             const wchar_t* friendlyName);
    static boost::shared_ptr<const IPortAddr> CreateInstance(const wchar_t* address,
                                                             DWORD classOfDevice,
                                                             const wchar_t* friendlyName);

    CBluetoothSmartPortAddr(ULONGLONG address, DWORD classOfDevice, const wchar_t* friendlyName);
    CBluetoothSmartPortAddr(const CBluetoothSmartPortAddr& other);
    ~CBluetoothSmartPortAddr() override;

    EPortType GetType() const override;
};

// A container of a device's class and three property sets, handed to clients.
class IDeviceDescription {
public:
    enum EClassOfDevice : DWORD {};

    static CORVANE_API boost::shared_ptr<const IDeviceDescription> CreateInstance(
        EClassOfDevice deviceClass, boost::shared_ptr<IPropertySet> set1,
        boost::shared_ptr<IPropertySet> set2, boost::shared_ptr<IPropertySet> set3);

    virtual ~IDeviceDescription() {}
    virtual EClassOfDevice GetClass() const = 0;
    virtual boost::shared_ptr<IPropertySet> GetPropertySet1() const = 0;
    virtual boost::shared_ptr<IPropertySet> GetPropertySet2() const = 0;
    virtual boost::shared_ptr<IPropertySet> GetPropertySet3() const = 0;
};

// The Bluetooth service a stream server publishes.
class IServerDescription {
public:
    // name and comment are copied; null gives an empty text.
    static CORVANE_API boost::shared_ptr<const IServerDescription> CreateInstance(
        const GUID& serviceClass, const wchar_t* serviceName, const wchar_t* comment);

    virtual ~IServerDescription() {}
    // 0 for a Bluetooth service description, the only kind a server accepts.
    virtual DWORD GetKind() const = 0;
    virtual GUID GetServiceClassId() const = 0;
    virtual _bstr_t GetServiceName() const = 0;
    virtual _bstr_t GetComment() const = 0;
    virtual _bstr_t GetReserved() const = 0;  // always empty
    virtual DWORD GetReservedWord() const = 0;  // always 0
};

}  // namespace corvane
