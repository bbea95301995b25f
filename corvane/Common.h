#pragma once
// The library's own pieces shared by its units: the module and its start-up,
// the address classes that are not exported, the two descriptions, and the
// table through which the port factories reach the drivers.
#include <Corvane.h>

#include <vector>

namespace corvane {

// ---------------------------------------------------------------------------
// The module and its start-up

// The module that holds the library's resources (its string table). In the
// DLL it is recorded at load; code linked into another module finds the
// module containing it, so the lookup never answers NULL.
HMODULE GetLibraryModule();

// Process-wide state of a driver (option lists, registries, window classes),
// built when the library starts and torn down when it ends, in the reverse
// order. Drivers register theirs with a static object in their unit:
//   static CStaticTableRegistration s_table(orderSerialOptions, L"serial options",
//                                           BuildOptions, FreeOptions);
// A lower order is built earlier and torn down later.
typedef void (*StaticTableFn)();
enum EStaticTableOrder {
    orderSerialOptions = 100,
    orderBluetoothAuthentication = 200,
    orderToshibaWindows = 300,
};
class CStaticTableRegistration {
public:
    CStaticTableRegistration(int order, const wchar_t* name, StaticTableFn build,
                             StaticTableFn tearDown);
};

// Starting and ending the library: Winsock 2.2, then the static tables. The
// DLL does this from its entry point; a program that links the library's
// objects statically holds a CLibraryScope instead. Scopes nest: the first
// starts, the last ends.
class CLibraryScope {
public:
    CLibraryScope();
    ~CLibraryScope();
    CLibraryScope(const CLibraryScope&) = delete;
    CLibraryScope& operator=(const CLibraryScope&) = delete;

    static bool IsStarted();
    // Names of the tables built so far, in the order they were built.
    static std::vector<basalt::ustring> BuiltTables();
};

// ---------------------------------------------------------------------------
// Addresses and descriptions

// Keeps a text with its exact length (embedded NULs included).
_bstr_t MakeBstr(const std::wstring& text);

// An address that is a device name and a friendly name, nothing more: the
// serial and USB kinds, which differ only in their type and the name's form.
class CNamedPortAddr : public IPortAddr {
public:
    CNamedPortAddr(const wchar_t* physicalName, const wchar_t* friendlyName)
        : m_physicalName(physicalName), m_friendlyName(friendlyName) {}

    DWORD GetClassOfDevice() const override { return 0; }
    _bstr_t GetPhysicalName() const override { return MakeBstr(m_physicalName); }
    _bstr_t GetService() const override { return MakeBstr(L""); }
    _bstr_t GetFriendlyName() const override { return MakeBstr(m_friendlyName); }
    _bstr_t GetLogin() const override { return MakeBstr(L""); }
    _bstr_t GetPassword() const override { return MakeBstr(L""); }
    int GetRSSI() const override { return 0; }
    unsigned int GetSignalQuality() const override { return 0; }

protected:
    basalt::ustring m_physicalName;
    basalt::ustring m_friendlyName;
};

// A COM port. The name is kept in its device form, \\.\COMn.
class CSerialPortAddr : public CNamedPortAddr {
public:
    CSerialPortAddr(const wchar_t* physicalName, const wchar_t* friendlyName);
    EPortType GetType() const override { return portSerial; }
};

// An instrument on the maker's USB driver; the physical name is its device path.
class CUSBPortAddr : public CNamedPortAddr {
public:
    CUSBPortAddr(const wchar_t* physicalName, const wchar_t* friendlyName)
        : CNamedPortAddr(physicalName, friendlyName) {}
    EPortType GetType() const override { return portUSB; }
};

// A device reached over TCP/IP: host name or dotted address, and the port
// number in decimal as its service.
class CTCPPortAddr : public IPortAddr {
public:
    CTCPPortAddr(const wchar_t* host, const wchar_t* service, const wchar_t* friendlyName,
                 const wchar_t* password);

    EPortType GetType() const override { return portTCP; }
    DWORD GetClassOfDevice() const override { return 0; }
    _bstr_t GetPhysicalName() const override { return MakeBstr(m_host); }
    _bstr_t GetService() const override { return MakeBstr(m_service); }
    _bstr_t GetFriendlyName() const override { return MakeBstr(m_friendlyName); }
    _bstr_t GetLogin() const override { return MakeBstr(L""); }
    _bstr_t GetPassword() const override { return MakeBstr(m_password); }
    int GetRSSI() const override { return 0; }
    unsigned int GetSignalQuality() const override { return 0; }

private:
    basalt::ustring m_host;
    basalt::ustring m_service;
    basalt::ustring m_friendlyName;
    basalt::ustring m_password;
};

class CDeviceDescription : public IDeviceDescription {
public:
    CDeviceDescription(EClassOfDevice deviceClass, boost::shared_ptr<IPropertySet> set1,
                       boost::shared_ptr<IPropertySet> set2, boost::shared_ptr<IPropertySet> set3)
        : m_class(deviceClass), m_set1(set1), m_set2(set2), m_set3(set3) {}

    EClassOfDevice GetClass() const override { return m_class; }
    boost::shared_ptr<IPropertySet> GetPropertySet1() const override { return m_set1; }
    boost::shared_ptr<IPropertySet> GetPropertySet2() const override { return m_set2; }
    boost::shared_ptr<IPropertySet> GetPropertySet3() const override { return m_set3; }

private:
    EClassOfDevice m_class;
    boost::shared_ptr<IPropertySet> m_set1;
    boost::shared_ptr<IPropertySet> m_set2;
    boost::shared_ptr<IPropertySet> m_set3;
};

class CBluetoothServerDescription : public IServerDescription {
public:
    CBluetoothServerDescription(const GUID& serviceClass, const wchar_t* serviceName,
                                const wchar_t* comment)
        : m_serviceClass(serviceClass), m_serviceName(serviceName), m_comment(comment) {}

    DWORD GetKind() const override { return 0; }
    GUID GetServiceClassId() const override { return m_serviceClass; }
    _bstr_t GetServiceName() const override { return MakeBstr(m_serviceName); }
    _bstr_t GetComment() const override { return MakeBstr(m_comment); }
    _bstr_t GetReserved() const override { return MakeBstr(L""); }
    DWORD GetReservedWord() const override { return 0; }

private:
    GUID m_serviceClass;
    basalt::ustring m_serviceName;
    basalt::ustring m_comment;
};

// ---------------------------------------------------------------------------
// The drivers behind the port factories

typedef boost::shared_ptr<const IPortAddr> PortAddrPtr;
typedef boost::shared_ptr<IPort> (*PortMaker)(const PortAddrPtr& address);
typedef boost::shared_ptr<IPortLocator> (*LocatorMaker)();
typedef boost::shared_ptr<IStreamServer> (*ServerMaker)(
    const boost::shared_ptr<const IServerDescription>& service, AcceptCallback callback,
    DWORD context);

// One maker per driver class. A maker answers an empty pointer while its
// driver is not part of the library; otherwise it constructs the class
// (constructor exceptions pass through). The factories choose among them;
// white-box tests substitute makers to watch the choice.
struct CDriverTable {
    PortMaker serialPort;
    PortMaker usbPort;
    PortMaker tcpPort;
    PortMaker bluetoothSmartPort;
    PortMaker microsoftBluetoothPort;
    PortMaker toshibaBluetoothPort;
    LocatorMaker serialLocator;
    LocatorMaker usbLocator;
    LocatorMaker bluetoothSmartLocator;
    LocatorMaker microsoftBluetoothLocator;
    LocatorMaker toshibaBluetoothLocator;
    ServerMaker microsoftBluetoothServer;
};
CDriverTable& Drivers();
// The makers the library was built with.
CDriverTable DefaultDrivers();

}  // namespace corvane
