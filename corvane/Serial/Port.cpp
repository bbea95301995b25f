// The COM port: option tables and settings, Open with its baud probe, the
// worker threads on the line (Shared/ComLine) and the line-control escape.
#include "Serial/Serial.h"

#include "Common.h"

#include <cmath>
#include <memory>

namespace corvane {

namespace {

const wchar_t kFile[] = L"Serial";

[[noreturn]] void Fail(int line, const wchar_t* function, DWORD code) {
    throw basalt::CWinException(line, kFile, function, code);
}

}  // namespace

// ===========================================================================
// Option tables

namespace serial {

namespace {

COptionTables* g_tables = nullptr;

// Values are made in the table's own type, so that building the tables
// converts nothing (it runs while the library loads).
CCapabilityOption Rate(DWORD rate, DWORD bit) {
    return {bit, COption(_variant_t(static_cast<unsigned long>(rate)), VT_UI4)};
}
CCapabilityOption Bits(BYTE bits, DWORD bit) { return {bit, COption(_variant_t(bits), VT_UI1)}; }
CCapabilityOption Named(int value, const wchar_t* name, DWORD bit) {
    _variant_t number;
    V_VT(&number) = VT_INT;
    V_INT(&number) = value;
    return {bit, COption(number, VT_INT, name)};
}

void BuildTables() {
    std::unique_ptr<COptionTables> tables(new COptionTables);
    for (const CBaudRate& rate : BaudRates()) tables->baudRates.push_back(Rate(rate.rate, rate.bit));
    tables->dataBits = {Bits(5, DATABITS_5), Bits(6, DATABITS_6), Bits(7, DATABITS_7),
                        Bits(8, DATABITS_8), Bits(16, DATABITS_16)};
    tables->parity = {Named(NOPARITY, L"No parity", PARITY_NONE), Named(ODDPARITY, L"Odd", PARITY_ODD),
                      Named(EVENPARITY, L"Even", PARITY_EVEN), Named(MARKPARITY, L"Mark", PARITY_MARK),
                      Named(SPACEPARITY, L"Space", PARITY_SPACE)};
    tables->stopBits = {Named(ONESTOPBIT, L"1 stop bit", STOPBITS_10),
                        Named(ONE5STOPBITS, L"1.5 stop bits", STOPBITS_15),
                        Named(TWOSTOPBITS, L"2 stop bits", STOPBITS_20)};
    tables->dtrControl = {Named(DTR_CONTROL_DISABLE, L"Disable", 0), Named(DTR_CONTROL_ENABLE, L"Enable", 0),
                          Named(DTR_CONTROL_HANDSHAKE, L"Handshake", 0)};
    tables->rtsControl = {Named(RTS_CONTROL_DISABLE, L"Disable", 0),
                          Named(RTS_CONTROL_ENABLE, L"Enable", PCF_RTSCTS),
                          Named(RTS_CONTROL_HANDSHAKE, L"Handshake", PCF_RTSCTS),
                          Named(RTS_CONTROL_TOGGLE, L"Toggle", PCF_RTSCTS)};
    tables->lineCommands = {Named(SETXOFF, L"SETXOFF", 0),   Named(SETXON, L"SETXON", 0),
                            Named(SETRTS, L"SETRTS", 0),     Named(CLRRTS, L"CLRRTS", 0),
                            Named(SETDTR, L"SETDTR", 0),     Named(CLRDTR, L"CLRDTR", 0),
                            Named(SETBREAK, L"SETBREAK", 0), Named(CLRBREAK, L"CLRBREAK", 0)};
    delete g_tables;
    g_tables = tables.release();
}

void FreeTables() {
    delete g_tables;
    g_tables = nullptr;
}

CStaticTableRegistration s_tables(orderSerialOptions, L"serial options", BuildTables, FreeTables);

}  // namespace

const COptionTables& OptionTables() {
    if (!g_tables) Fail(__LINE__, L"CSerialPort::OptionTables", ERROR_INTERNAL_ERROR);
    return *g_tables;
}

const std::vector<CBaudRate>& BaudRates() {
    // BAUD_* up to 128000 (57600, 115200 and 128000 are not in bit order);
    // 153600 and up carry bits of the library's own.
    static const std::vector<CBaudRate> rates = {
        {75, BAUD_075},       {110, BAUD_110},       {134, BAUD_134_5},     {150, BAUD_150},
        {300, BAUD_300},      {600, BAUD_600},       {1200, BAUD_1200},     {1800, BAUD_1800},
        {2400, BAUD_2400},    {4800, BAUD_4800},     {7200, BAUD_7200},     {9600, BAUD_9600},
        {14400, BAUD_14400},  {19200, BAUD_19200},   {38400, BAUD_38400},   {56000, BAUD_56K},
        {57600, BAUD_57600},  {115200, BAUD_115200}, {128000, BAUD_128K},   {153600, 0x80000},
        {230400, 0x100000},   {460800, 0x200000},    {921600, 0x400000}};
    return rates;
}

COptionSet OfferedOptions(const CapabilityTable& table, DWORD capabilities, VARTYPE vt) {
    COptionSet options(vt, COptionSet::orderSorted);
    for (const CCapabilityOption& entry : table)
        if (entry.bit == 0 || (entry.bit & capabilities)) options.Add(entry.option, lcidLibrary);
    return options;
}

namespace {

// The value of a named property coerced to vt, or false when the set does not name it.
bool Named(const IPropertySet& settings, const wchar_t* name, VARTYPE vt, _variant_t& value) {
    boost::shared_ptr<IProperty> property = settings.Find(name);
    if (!property) return false;
    value = property->GetValue();
    value.ChangeType(vt);
    return true;
}

// Bit fields take the low bits of the number: one, or two for the line controls.
DWORD Bits(const IPropertySet& settings, const wchar_t* name, DWORD current, DWORD width) {
    _variant_t value;
    if (!Named(settings, name, VT_UI4, value)) return current;
    return V_UI4(&value) & ((1u << width) - 1);
}

}  // namespace

void ApplySettings(const IPropertySet& settings, DCB& dcb) {
    _variant_t value;
    if (Named(settings, L"BaudRate", VT_UI4, value)) dcb.BaudRate = V_UI4(&value);
    dcb.fParity = Bits(settings, L"fParity", dcb.fParity, 1);
    dcb.fOutxCtsFlow = Bits(settings, L"fOutxCtsFlow", dcb.fOutxCtsFlow, 1);
    dcb.fOutxDsrFlow = Bits(settings, L"fOutxDsrFlow", dcb.fOutxDsrFlow, 1);
    dcb.fDtrControl = Bits(settings, L"fDtrControl", dcb.fDtrControl, 2);
    dcb.fDsrSensitivity = Bits(settings, L"fDsrSensitivity", dcb.fDsrSensitivity, 1);
    dcb.fTXContinueOnXoff = Bits(settings, L"fTXContinueOnXoff", dcb.fTXContinueOnXoff, 1);
    dcb.fOutX = Bits(settings, L"fOutX", dcb.fOutX, 1);
    dcb.fInX = Bits(settings, L"fInX", dcb.fInX, 1);
    dcb.fErrorChar = Bits(settings, L"fErrorChar", dcb.fErrorChar, 1);
    dcb.fNull = Bits(settings, L"fNull", dcb.fNull, 1);
    dcb.fRtsControl = Bits(settings, L"fRtsControl", dcb.fRtsControl, 2);
    dcb.fAbortOnError = Bits(settings, L"fAbortOnError", dcb.fAbortOnError, 1);
    if (Named(settings, L"XonLim", VT_UI2, value)) dcb.XonLim = V_UI2(&value);
    if (Named(settings, L"XoffLim", VT_UI2, value)) dcb.XoffLim = V_UI2(&value);
    if (Named(settings, L"ByteSize", VT_UI1, value)) dcb.ByteSize = V_UI1(&value);
    if (Named(settings, L"Parity", VT_UI1, value)) dcb.Parity = V_UI1(&value);
    if (Named(settings, L"StopBits", VT_UI1, value)) dcb.StopBits = V_UI1(&value);
    if (Named(settings, L"XonChar", VT_I1, value)) dcb.XonChar = V_I1(&value);
    if (Named(settings, L"XoffChar", VT_I1, value)) dcb.XoffChar = V_I1(&value);
    if (Named(settings, L"ErrorChar", VT_I1, value)) dcb.ErrorChar = V_I1(&value);
    if (Named(settings, L"EofChar", VT_I1, value)) dcb.EofChar = V_I1(&value);
    if (Named(settings, L"EvtChar", VT_I1, value)) dcb.EvtChar = V_I1(&value);
}

}  // namespace serial

// ===========================================================================
// Settings as a property set

namespace {

typedef IProperty::EAccessPolicy Policy;

void AddPlain(CPropertySet& set, const wchar_t* name, Policy policy, VARTYPE vt, const _variant_t& value) {
    set.AddCopy(CProperty(name, policy, vt, 0, 0, value));
}

void AddFlag(CPropertySet& set, const wchar_t* name, Policy policy, DWORD bit) {
    // VT_BOOL: the property gives itself the options false and true.
    AddPlain(set, name, policy, VT_BOOL, _variant_t(bit != 0));
}

void AddChoice(CPropertySet& set, const wchar_t* name, Policy policy, VARTYPE vt, const _variant_t& value,
               const serial::CapabilityTable& table, DWORD capabilities) {
    set.AddCopy(CProperty(name, policy, vt, 0, 0, value, serial::OfferedOptions(table, capabilities, vt)));
}

}  // namespace

boost::shared_ptr<IPropertySet> CSerialPort::CreatePropertySet(const COMMPROP& properties, const DCB& dcb,
                                                              IProperty::EAccessPolicy policy) {
    const serial::COptionTables& tables = serial::OptionTables();
    const DWORD params = properties.dwSettableParams;
    const DWORD provider = properties.dwProvCapabilities;
    const Policy readOnly = IProperty::accessReadOnly;
    auto settable = [&](DWORD bit) { return (params & bit) ? policy : readOnly; };
    const Policy handshake = settable(SP_HANDSHAKING);
    const Policy xchars = (provider & PCF_SETXCHAR) ? handshake : readOnly;

    CPropertySet set;
    AddChoice(set, L"BaudRate", settable(SP_BAUD), VT_UI4, _variant_t(static_cast<unsigned long>(dcb.BaudRate)),
              tables.baudRates, properties.dwSettableBaud);
    if (provider & PCF_PARITY_CHECK) AddFlag(set, L"fParity", settable(SP_PARITY_CHECK), dcb.fParity);
    if (provider & PCF_RTSCTS) AddFlag(set, L"fOutxCtsFlow", handshake, dcb.fOutxCtsFlow);
    if (provider & PCF_DTRDSR) {
        AddFlag(set, L"fOutxDsrFlow", handshake, dcb.fOutxDsrFlow);
        AddChoice(set, L"fDtrControl", handshake, VT_UI4, _variant_t(static_cast<unsigned long>(dcb.fDtrControl)),
                  tables.dtrControl, provider);
        AddFlag(set, L"fDsrSensitivity", handshake, dcb.fDsrSensitivity);
    }
    if (provider & PCF_XONXOFF) {
        AddFlag(set, L"fTXContinueOnXoff", handshake, dcb.fTXContinueOnXoff);
        AddFlag(set, L"fOutX", handshake, dcb.fOutX);
        AddFlag(set, L"fInX", handshake, dcb.fInX);
    }
    if (provider & PCF_PARITY_CHECK) AddFlag(set, L"fErrorChar", policy, dcb.fErrorChar);
    AddFlag(set, L"fNull", policy, dcb.fNull);
    AddChoice(set, L"fRtsControl", handshake, VT_UI4, _variant_t(static_cast<unsigned long>(dcb.fRtsControl)),
              tables.rtsControl, provider);
    AddFlag(set, L"fAbortOnError", policy, dcb.fAbortOnError);
    if (provider & PCF_XONXOFF) {
        AddPlain(set, L"XonLim", handshake, VT_UI2, _variant_t(static_cast<unsigned short>(dcb.XonLim)));
        AddPlain(set, L"XoffLim", handshake, VT_UI2, _variant_t(static_cast<unsigned short>(dcb.XoffLim)));
    }
    AddChoice(set, L"ByteSize", settable(SP_DATABITS), VT_UI1, _variant_t(dcb.ByteSize), tables.dataBits,
              properties.wSettableData);
    AddChoice(set, L"Parity", settable(SP_PARITY), VT_UI1, _variant_t(dcb.Parity), tables.parity,
              properties.wSettableStopParity);
    AddChoice(set, L"StopBits", settable(SP_STOPBITS), VT_UI1, _variant_t(dcb.StopBits), tables.stopBits,
              properties.wSettableStopParity);
    if (provider & PCF_XONXOFF) {
        AddPlain(set, L"XonChar", xchars, VT_I1, _variant_t(dcb.XonChar));
        AddPlain(set, L"XoffChar", xchars, VT_I1, _variant_t(dcb.XoffChar));
    }
    if (provider & PCF_SPECIALCHARS) {
        AddPlain(set, L"ErrorChar", policy, VT_I1, _variant_t(dcb.ErrorChar));
        AddPlain(set, L"EofChar", policy, VT_I1, _variant_t(dcb.EofChar));
        AddPlain(set, L"EvtChar", policy, VT_I1, _variant_t(dcb.EvtChar));
    }
    return set.Clone();
}

// ===========================================================================
// The port

CSerialPort::CState::CState(boost::shared_ptr<const IPortAddr> address, std::unique_ptr<basalt::CCommPort> device)
    : serial::CStreamsFirst({kFile, L"CSerialPort::Send", L"CSerialPort::Recv", serial::defaultIncomingSize,
                             serial::defaultOutgoingSize, CPortStreamRules::zeroIsDefault,
                             CPortStreamRules::errorsInIncoming}),
      serial::CLine(std::move(device), streams),
      address(address),
      probedBauds(0),
      stallTolerant(false) {}

CSerialPort::CSerialPort(boost::shared_ptr<const IPortAddr> address)
    : CSerialPort(address, std::unique_ptr<basalt::CCommPort>(new basalt::CCommPort)) {}

CSerialPort::CSerialPort(boost::shared_ptr<const IPortAddr> address, std::unique_ptr<basalt::CCommPort> device)
    : m_state(new CState(address, std::move(device))) {
    if (!address || !m_state->device) Fail(__LINE__, L"CSerialPort::CSerialPort", ERROR_INVALID_PARAMETER);
    m_state->escapes.Register(boost::shared_ptr<CEscapeFunction>(new CEscapeCommFunction(this)));
}

CSerialPort::~CSerialPort() {
    try {
        Close();
    } catch (...) {
        // Nobody to tell: Close has stopped what it could.
    }
}

bool CSerialPort::RegisterNotice(boost::shared_ptr<INotice> notice, EEventType type) {
    return m_state->streams.RegisterNotice(notice, type);
}

bool CSerialPort::DeregisterNotice(boost::shared_ptr<INotice> notice, EEventType type) {
    return m_state->streams.DeregisterNotice(notice, type);
}

bool CSerialPort::IsOpen() const { return m_state->device->IsOpen(); }

void CSerialPort::Close() {
    CState& s = *m_state;
    // Not under the port's lock: the sending worker takes it to read the
    // stall tolerance, and is joined here.
    s.stop.Set();
    if (s.sendThread.IsJoinable()) s.sendThread.Join();
    if (s.recvThread.IsJoinable()) s.recvThread.Join();
    if (s.device->IsOpen()) s.device->Close();
    s.streams.Reset();
    CObjectLocker lock(*this);
    s.probedBauds = 0;
}

void CSerialPort::SetBufferSize(DWORD incoming, DWORD outgoing) { m_state->streams.SetBufferSize(incoming, outgoing); }

void CSerialPort::GetBufferSize(DWORD* incoming, DWORD* outgoing) {
    m_state->streams.GetBufferSize(incoming, outgoing);
}

void CSerialPort::Purge(DWORD flags) {
    m_state->streams.Purge(flags);
    // Only the clear bits reach the device: the abort bits would cancel the
    // workers' operations under them.
    DWORD clear = flags & (PURGE_TXCLEAR | PURGE_RXCLEAR);
    if (!clear) return;
    if (clear & PURGE_RXCLEAR) {
        // The receive worker may be reading the bytes this flushes. Its read
        // is cancelled (the abort bits would cancel its wait and the sender's
        // write too), so that it neither waits for bytes that will never come
        // (Windows) nor takes the flush for a broken device (Wine fails the
        // read with 109); the purge count, odd while a purge is under way,
        // tells it why the read ended.
        struct CPurgeCount {
            volatile LONG& count;
            explicit CPurgeCount(volatile LONG& c) : count(c) { ::InterlockedIncrement(&count); }
            ~CPurgeCount() { ::InterlockedIncrement(&count); }
        } counted(m_state->purges);
        m_state->device->PurgeComm(clear);
        m_state->device->CancelIo(&m_state->readRecord);
        return;
    }
    m_state->device->PurgeComm(clear);
}

DWORD CSerialPort::Send(const void* data, DWORD size) { return m_state->streams.Send(IsOpen(), data, size); }

DWORD CSerialPort::Recv(void* buffer, DWORD size) { return m_state->streams.Recv(IsOpen(), buffer, size); }

boost::shared_ptr<IPropertySet> CSerialPort::Escape(const wchar_t* name, boost::shared_ptr<IPropertySet> args) {
    return m_state->escapes.Escape(name, args);
}

boost::shared_ptr<const IPortAddr> CSerialPort::GetAddress() const { return m_state->address; }

void CSerialPort::Open() {
    Close();
    CState& s = *m_state;
    try {
        s.stop.Reset();
        s.waitRecord.Prepare();
        s.writeRecord.Prepare();
        s.readRecord.Prepare();
        basalt::ustring name(s.address->GetPhysicalName());
        s.device->Open(name.c_str(), FILE_FLAG_OVERLAPPED);
        s.device->ClearCommError(nullptr, nullptr);

        DCB saved = {};
        s.device->GetCommState(saved);
        // Which rates the driver takes: COMMPROP does not tell for the rates
        // above 128000, and many drivers report less than they accept.
        DWORD probed = 0;
        for (const serial::CBaudRate& rate : serial::BaudRates()) {
            DCB trial = saved;
            trial.BaudRate = rate.rate;
            try {
                s.device->SetCommState(trial);
                probed |= rate.bit;
            } catch (const basalt::CStdException&) {
                // A rate the driver refuses is not offered.
            }
        }
        {
            CObjectLocker lock(*this);
            s.probedBauds = probed;
        }
        s.device->SetCommState(saved);
        s.device->SetCommTimeouts(serial::PortTimeouts(saved.BaudRate));
        s.device->SetCommMask(serial::eventMask);
        try {
            s.device->SetupComm(serial::defaultIncomingSize, serial::defaultOutgoingSize);
        } catch (const basalt::CWinException&) {
            // Queue sizes are a recommendation; virtual ports often refuse them.
        }
        s.device->PurgeComm(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

        s.sendThread = basalt::CThread::Create(SendThreadProc, this);
        s.recvThread = basalt::CThread::Create(RecvThreadProc, this);
    } catch (...) {
        Close();
        throw;
    }
}

bool CSerialPort::IoControl(DWORD code, DWORD* value) {
    if (code > 1) return false;
    if (!value) Fail(__LINE__, L"CSerialPort::IoControl", ERROR_INVALID_PARAMETER);
    CObjectLocker lock(*this);
    if (code == 0)
        *value = m_state->stallTolerant ? 1 : 0;
    else
        m_state->stallTolerant = *value != 0;
    return true;
}

boost::shared_ptr<IPropertySet> CSerialPort::GetSettings() {
    CState& s = *m_state;
    COMMPROP properties = {};
    s.device->GetCommProperties(properties);
    DCB dcb = {};
    s.device->GetCommState(dcb);
    {
        CObjectLocker lock(*this);
        properties.dwSettableBaud |= s.probedBauds;
    }
    return CreatePropertySet(properties, dcb, IProperty::accessFull);
}

void CSerialPort::SetSettings(boost::shared_ptr<IPropertySet> settings) {
    if (!settings) Fail(__LINE__, L"CSerialPort::SetSettings", ERROR_INVALID_PARAMETER);
    CState& s = *m_state;
    DCB dcb = {};
    s.device->GetCommState(dcb);
    serial::ApplySettings(*settings, dcb);
    s.device->SetCommState(dcb);
    s.device->SetCommTimeouts(serial::PortTimeouts(dcb.BaudRate));
}

boost::shared_ptr<IPropertySet> CSerialPort::GetStatus() {
    if (!IsOpen()) Fail(__LINE__, L"CSerialPort::GetStatus", ERROR_INVALID_HANDLE);
    const DWORD status = m_state->incoming.GetStatusWord();
    static const struct {
        const wchar_t* name;
        DWORD bit;
    } lines[] = {{L"CTS", MS_CTS_ON}, {L"DSR", MS_DSR_ON}, {L"RING", MS_RING_ON}, {L"RLSD", MS_RLSD_ON}};
    boost::shared_ptr<CPropertySet> set(new CPropertySet);
    for (const auto& line : lines)
        set->AddCopy(CProperty(line.name, IProperty::accessReadOnly, VT_BOOL, 0, 0,
                               _variant_t((status & line.bit) != 0)));
    return set;
}

// ===========================================================================
// The workers

DWORD WINAPI CSerialPort::SendThreadProc(void* port) {
    static_cast<CSerialPort*>(port)->SendThreadProcFn();
    return 0;
}

DWORD WINAPI CSerialPort::RecvThreadProc(void* port) {
    static_cast<CSerialPort*>(port)->RecvThreadProcFn();
    return 0;
}

void CSerialPort::RecvThreadProcFn() { serial::ReceiveLoop(*m_state); }

void CSerialPort::SendThreadProcFn() {
    CState& s = *m_state;
    basalt::CCriticalSection& lock = GetCriticalSection();
    serial::SendLoop(s, [&s, &lock] {
        basalt::CLocker guard(lock);
        return s.stallTolerant;
    }, L"CSerialPort::SendThreadProcFn");
}

// ===========================================================================
// "EscapeCommFunction"

CSerialPort::CEscapeCommFunction::CEscapeCommFunction(CSerialPort* port)
    : CEscapeFunction(L"EscapeCommFunction", 0), m_port(port) {}

boost::shared_ptr<IPropertySet> CSerialPort::CEscapeCommFunction::GetParameters() const {
    COptionSet commands = serial::OfferedOptions(serial::OptionTables().lineCommands, 0, VT_UI4);
    boost::shared_ptr<CPropertySet> parameters(new CPropertySet);
    parameters->AddCopy(
        CProperty(L"Func", IProperty::accessFull, VT_UI4, 0, 0, _variant_t(0UL), commands));
    return parameters;
}

boost::shared_ptr<IPropertySet> CSerialPort::CEscapeCommFunction::Invoke(boost::shared_ptr<IPropertySet> args) {
    const wchar_t* const function = L"CSerialPort::CEscapeCommFunction::Invoke";
    if (!m_port->IsOpen()) Fail(__LINE__, function, ERROR_INVALID_HANDLE);
    if (!args) Fail(__LINE__, function, ERROR_INVALID_PARAMETER);
    boost::shared_ptr<IProperty> func = args->Find(L"Func");
    if (!func) Fail(__LINE__, function, ERROR_INVALID_PARAMETER);
    _variant_t code = func->GetValue();
    code.ChangeType(VT_UI4);
    // The driver judges the code: it refuses those it does not know.
    m_port->m_state->device->EscapeCommFunction(V_UI4(&code));
    return {};
}

boost::shared_ptr<IPort> CreateSerialPort(boost::shared_ptr<const IPortAddr> address) {
    return boost::shared_ptr<IPort>(new CSerialPort(address));
}

}  // namespace corvane
