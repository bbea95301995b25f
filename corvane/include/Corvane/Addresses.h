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
