#pragma once
// The COM port driver inside the library: the port's state and workers, its
// settings (option tables, DCB to properties and back), the line-control
// escape, and the locator that lists the machine's COM ports.
#include <Corvane/Serial.h>

#include "CorvaneAux/Escape.h"
#include "Streams.h"

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
// Every event except EV_TXEMPTY: data, errors, breaks and each modem line.
const DWORD eventMask = EV_RXCHAR | EV_RXFLAG | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR |
                        EV_RING | EV_PERR | EV_RX80FULL;
const DWORD writeTimeoutConstantMs = 100;

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

// Milliseconds that count bytes take at baud, allowing twice the time of 8
// bits each: ceil(count * 16000 / baud); 0 for baud 0.
DWORD WriteTimeMs(DWORD baud, DWORD count = 1);
// No read time-outs (reads ask only for what is queued); writes may take
// their per-byte time plus a constant, so that a held output ends the write.
COMMTIMEOUTS PortTimeouts(DWORD baud);

// The options of table whose bits are present in capabilities, as a set of
// type vt ordered by value.
COptionSet OfferedOptions(const CapabilityTable& table, DWORD capabilities, VARTYPE vt);
// Writes the DCB fields named in settings into dcb; the others keep their
// values. A value that does not convert throws _com_error.
void ApplySettings(const IPropertySet& settings, DCB& dcb);

// ---------------------------------------------------------------------------
// The two workers on an open COM device: shared by every driver that moves
// bytes over a COM port (the serial port, and virtual COM ports of a stack).

struct CLine {
    CLine(std::unique_ptr<basalt::CCommPort> device, DWORD incomingSize, DWORD outgoingSize);

    basalt::CEvent stop;
    std::unique_ptr<basalt::CCommPort> device;
    basalt::COverlapped waitRecord;
    basalt::COverlapped writeRecord;
    basalt::COverlapped readRecord;
    // Where WaitCommEvent puts the events: it belongs to the operation, not
    // to the worker's stack, since the operation can end after the worker.
    DWORD waitEvents;
    CStreamOutgoing outgoing;
    CStreamIncoming incoming;  // also the modem status word and every worker's error
    // Twice the client purges of the input so far, odd during one: a read
    // that fails across a purge was flushed, not broken.
    volatile LONG purges;
};

// The receiving worker: runs until the stop event; stores its failure in the
// incoming stream and fires eventTerminated when it ends.
void ReceiveLoop(CLine& line);
// The sending worker: runs until the stop event; stores its failure in the
// incoming stream. An output without progress for two seconds fails with
// ERROR_WRITE_FAULT in stallFunction unless tolerant (may be empty) says so.
void SendLoop(CLine& line, const std::function<bool()>& tolerant, const wchar_t* stallFunction);

}  // namespace serial

// ---------------------------------------------------------------------------
// The port

struct CSerialPort::CState : serial::CLine {
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

class CSerialPortLocator : public IPortLocator {
public:
    CSerialPortLocator();
    // With Setup API calls of the caller's making.
    explicit CSerialPortLocator(std::unique_ptr<serial::CSetupApi> setup);

    bool RegisterNotice(boost::shared_ptr<INotice> notice, EEventType type) override;
    bool DeregisterNotice(boost::shared_ptr<INotice> notice, EEventType type) override;
    IPortAddr::EPortType GetType() const override { return IPortAddr::portSerial; }
    bool IsHardwareAvailableAndPoweredOn() const override { return true; }
    boost::shared_ptr<IPropertySet> GetSettings() override { return {}; }
    void SetSettings(boost::shared_ptr<IPropertySet>) override {}
    boost::shared_ptr<IPropertySet> Escape(const wchar_t* name,
                                           boost::shared_ptr<IPropertySet> args) override;
    // The whole search, on the caller's thread: the Setup API's COM ports,
    // then those the registry's serial device map adds, queued by port name.
    void BeginSearch(DWORD, DWORD) override;
    void EndSearch() override {}
    bool IsRunning() const override { return false; }
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
    CNotifier m_notifier;
};

// The makers behind IPort::CreateInstance and IPortLocator::CreateInstance.
boost::shared_ptr<IPort> CreateSerialPort(boost::shared_ptr<const IPortAddr> address);
boost::shared_ptr<IPortLocator> CreateSerialPortLocator();

}  // namespace corvane
