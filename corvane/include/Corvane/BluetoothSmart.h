#pragma once
// Bluetooth Smart discovery: the device nodes of paired Bluetooth LE devices
// that the Plug and Play manager holds, their GATT services, and the device
// paths of those services.
#include <Corvane/Ports.h>

#include <memory>
#include <vector>

namespace corvane {

// The locator of Bluetooth Smart devices. Its search runs inside BeginSearch
// on the caller's thread; its escape functions "GetSupportedServices" and
// "GetCharacteristicValues" read a device's services and characteristic values.
class CORVANE_API CBluetoothSmartPortLocator : public IPortLocator, public basalt::CMultiThreadObject {
public:
    // One Bluetooth Smart device node.
    struct DeviceDescription {
        ULONGLONG address;              // the 48-bit device address in the low bits
        basalt::ustring name;           // the node's friendly name
        std::vector<GUID> services;     // its GATT services, in the order the node lists its children
    };
    // One device interface of a GATT service.
    struct InterfaceDescription {
        ULONGLONG address;              // the device that offers it
        basalt::ustring path;           // its device path, for basalt::CMicrosoftGATT::Open
    };

    // Each answers a Windows error code, 0 on success; the vector is emptied first.
    static DWORD EnumerateAllDevices(std::vector<DeviceDescription>& devices);
    static DWORD EnumerateAllInterfaces(const GUID& interfaceClass, std::vector<InterfaceDescription>& interfaces);
    // The path of the interface of that class belonging to the device with
    // that address: ERROR_NOT_FOUND (1168) when no device has the address,
    // ERROR_NOINTERFACE (632) when it has no such interface.
    static DWORD BluetoothAddress2PhysicalPath(const GUID& interfaceClass, ULONGLONG address, basalt::ustring& path);

    CBluetoothSmartPortLocator();
    ~CBluetoothSmartPortLocator() override;
    CBluetoothSmartPortLocator(const CBluetoothSmartPortLocator&) = delete;
    CBluetoothSmartPortLocator& operator=(const CBluetoothSmartPortLocator&) = delete;

    bool RegisterNotice(boost::shared_ptr<INotice> notice, EEventType type) override;
    bool DeregisterNotice(boost::shared_ptr<INotice> notice, EEventType type) override;
    IPortAddr::EPortType GetType() const override;
    // The Bluetooth LE enumerator is present and started.
    bool IsHardwareAvailableAndPoweredOn() const override;
    boost::shared_ptr<IPropertySet> GetSettings() override;
    void SetSettings(boost::shared_ptr<IPropertySet> settings) override;
    boost::shared_ptr<IPropertySet> Escape(const wchar_t* name, boost::shared_ptr<IPropertySet> args) override;
    // Both words are ignored. Queues an address per device node found, then
    // fires eventStateChanged; a failed enumeration is queued as an error
    // (eventError) for GetNextAddress to raise.
    void BeginSearch(DWORD param1, DWORD param2) override;
    void EndSearch() override;
    bool IsRunning() const override;
    boost::shared_ptr<const IPortAddr> GetNextAddress() override;

    // The escape functions.
    class CGetSupportedServicesFunc;
    class CGetCharacteristicValuesFunc;

private:
    struct CState;
    std::unique_ptr<CState> m_state;
};

}  // namespace corvane
