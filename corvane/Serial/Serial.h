#pragma once
// The COM port driver inside the library (this folder): the port's state, its
// settings (option tables, DCB to properties and back), the line-control
// escape, and the locator that lists the machine's COM ports. The workers on
// the COM device are shared with the Toshiba driver (Shared/ComLine).
#include <Corvane/Serial.h>

#include "CorvaneAux/Escape.h"
#include "Shared/ComLine.h"
#include "Shared/ImmediateLocator.h"
#include "Shared/StreamPort.h"

#include <basalt/Threads.h>

#include <setupapi.h>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace corvane {

// ---------------------------------------------------------------------------
// Settings: pure logic on values

namespace serial {

const DWORD defaultIncomingSize = 0x20000;
const DWORD defaultOutgoingSize = 0x10000;

// One entry of an option table: offered when its capability bit is present
// in the word the table is checked against (0: always offered).
struct CCapabilityOption {
    DWORD bit;
    COption option;
};
typedef std::vector<CCapabilityOption> CapabilityTable;

// The tables the settings offer, built when the library starts and torn down
// when it ends.
struct COptionTables {
    CapabilityTable baudRates;     // 23 rates, VT_UI4; bits of dwSettableBaud or the probe
    CapabilityTable dataBits;      // 5 to 8 and 16, VT_UI1; bits of wSettableData
    CapabilityTable parity;        // named, VT_INT; bits of wSettableStopParity
    CapabilityTable stopBits;      // named, VT_INT; bits of wSettableStopParity
    CapabilityTable dtrControl;    // named, VT_INT; always
    CapabilityTable rtsControl;    // named, VT_INT; "Disable" always, the rest with PCF_RTSCTS
    CapabilityTable lineCommands;  // the EscapeCommFunction codes, named, VT_INT
};
// Throws 1359 while the library has not built them.
const COptionTables& OptionTables();

// The rates the baud probe tries, in table order, with their bits. The bits
// above 128000 are the library's own: Win32 has none for those rates.
struct CBaudRate {
    DWORD rate;
    DWORD bit;
};
const std::vector<CBaudRate>& BaudRates();


// The options of table whose bits are present in capabilities, as a set of
// type vt ordered by value.
COptionSet OfferedOptions(const CapabilityTable& table, DWORD capabilities, VARTYPE vt);
// Writes the DCB fields named in settings into dcb; the others keep their
// values. A value that does not convert throws _com_error.
void ApplySettings(const IPropertySet& settings, DCB& dcb);

}  // namespace serial

// ---------------------------------------------------------------------------
// The port

namespace serial {
// The streams, made before the line that works on them.
struct CStreamsFirst {
    explicit CStreamsFirst(const CPortStreamRules& rules) : streams(rules) {}
    CPortStreams streams;
};
}  // namespace serial

struct CSerialPort::CState : serial::CStreamsFirst, serial::CLine {
    explicit CState(boost::shared_ptr<const IPortAddr> address, std::unique_ptr<basalt::CCommPort> device);

    CEscapeFunctionManager<CEscapeFunction> escapes;
    boost::shared_ptr<const IPortAddr> address;
    basalt::CThread sendThread;
    basalt::CThread recvThread;
    DWORD probedBauds;         // guarded by the port's lock
    bool stallTolerant;        // guarded by the port's lock
};

class CSerialPort::CEscapeCommFunction : public CEscapeFunction {
public:
    explicit CEscapeCommFunction(CSerialPort* port);
    ~CEscapeCommFunction() {}
    CEscapeCommFunction(const CEscapeCommFunction&) = delete;
    CEscapeCommFunction& operator=(const CEscapeCommFunction&) = delete;

    // "Func" (VT_UI4), offering the line-control commands.
    boost::shared_ptr<IPropertySet> GetParameters() const override;
    // Hands "Func" to EscapeCommFunction on the device; no result.
    boost::shared_ptr<IPropertySet> Invoke(boost::shared_ptr<IPropertySet> args) override;

private:
    CSerialPort* m_port;
};

// ---------------------------------------------------------------------------
// The locator

namespace serial {

// The Setup API calls of the locator's search, one member per function with
// the function's own arguments, each calling the system's: a test derives
// from it to make one of them fail.
class CSetupApi {
public:
    virtual ~CSetupApi() {}
    virtual HDEVINFO GetClassDevs(const GUID* setupClass, DWORD flags) {
        return ::SetupDiGetClassDevsW(setupClass, nullptr, nullptr, flags);
    }
    virtual BOOL EnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* device) {
        return ::SetupDiEnumDeviceInfo(set, index, device);
    }
    virtual BOOL GetDeviceRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, DWORD* type,
                                           BYTE* buffer, DWORD size, DWORD* required) {
        return ::SetupDiGetDeviceRegistryPropertyW(set, device, property, type, buffer, size, required);
    }
    virtual HKEY OpenDevRegKey(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD scope, DWORD profile, DWORD keyType,
                               REGSAM access) {
        return ::SetupDiOpenDevRegKey(set, device, scope, profile, keyType, access);
    }
    virtual BOOL DestroyDeviceInfoList(HDEVINFO set) { return ::SetupDiDestroyDeviceInfoList(set); }
};

}  // namespace serial

class CSerialPortLocator : public CImmediateLocator {
public:
    CSerialPortLocator();
    // With Setup API calls of the caller's making.
    explicit CSerialPortLocator(std::unique_ptr<serial::CSetupApi> setup);

    IPortAddr::EPortType GetType() const override { return IPortAddr::portSerial; }
    // The whole search, on the caller's thread: the Setup API's COM ports,
    // then those the registry's serial device map adds, queued by port name.
    void BeginSearch(DWORD, DWORD) override;
    boost::shared_ptr<const IPortAddr> GetNextAddress() override;

    // Port name -> display name, each port name once whatever its case.
    typedef std::map<basalt::ustring, basalt::ustring, basalt::LessStrWN> PortMap;

private:
    void SearchSetupClass(const GUID& setupClass, PortMap& ports);
    void SearchDeviceMap(PortMap& ports);

    std::unique_ptr<serial::CSetupApi> m_setup;
    basalt::CCriticalSection m_lock;
    std::deque<boost::shared_ptr<const IPortAddr>> m_found;
    std::deque<basalt::CWinException> m_errors;
};

// The makers behind IPort::CreateInstance and IPortLocator::CreateInstance.
boost::shared_ptr<IPort> CreateSerialPort(boost::shared_ptr<const IPortAddr> address);
boost::shared_ptr<IPortLocator> CreateSerialPortLocator();

}  // namespace corvane
