#include "ToshibaBluetooth/ToshibaBluetooth.h"
#include "ToshibaBluetooth/Windows.h"

#include <cstring>

namespace Toshiba {

using namespace corvane;

namespace {

const wchar_t kFile[] = L"ToshibaBluetooth";
const wchar_t kWndProc[] = L"Toshiba::CBluetoothPort::CServiceWindow::WndProc";
const wchar_t kOpen[] = L"Toshiba::CBluetoothPort::Open";
const WORD kDialupNetworkingClass = 0x1103;
const WORD kSerialPortClass = 0x1101;
const DWORD kCommKind = 3;
const DWORD kCommEvents = 0x7FB;     // every event but EV_TXEMPTY
const DWORD kWakeOnAnyInput = 0x1CBF;  // QS_ALLINPUT
const DWORD kBaudRate = 115200;

[[noreturn]] void Fail(int line, const wchar_t* function, DWORD code) {
    throw basalt::CWinException(line, kFile, function, code);
}

// Withdraws the PIN answer an Open installed, however Open ends.
class CPinAnswer {
public:
    CPinAnswer(CToshibaBluetoothSDK& sdk, const BYTE* device, const basalt::ustring& pin)
        : m_sdk(sdk), m_device(device), m_set(!pin.empty()) {
        if (m_set) m_sdk.SetAutoReplyPinCode(m_device, pin);
    }
    ~CPinAnswer() {
        if (!m_set) return;
        try {
            m_sdk.ClearAutoReplyPinCode(m_device);
        } catch (const basalt::CStdException&) {
            // The stack forgets it with the connection anyway.
        }
    }

private:
    CToshibaBluetoothSDK& m_sdk;
    const BYTE* m_device;
    bool m_set;
};

// The device's address as the stack takes it; 87 in function for a name that is no address.
void DeviceBytes(const boost::shared_ptr<const IPortAddr>& address, BYTE out[6], const wchar_t* function) {
    basalt::ustring name(static_cast<const wchar_t*>(address->GetPhysicalName()));
    ULONGLONG device = CBluetoothPortAddr::Str2BluetoothAddr(name.c_str(), L':');
    if (device == invalidBluetoothAddress) Fail(__LINE__, function, ERROR_INVALID_PARAMETER);
    ToStackAddress(device, out);
}

}  // namespace

LRESULT CALLBACK PortWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (message >= TosBt::msgSdpConnect && message <= TosBt::msgCommState &&
        CServiceWindow::Deliver(window, message, wParam, lParam, result))
        return result;
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// ---------------------------------------------------------------------------
// Escape functions

class CBluetoothPort::CRegisterForAuthenticationFunc : public CRegisterPinFunction<CBluetoothPort> {
public:
    explicit CRegisterForAuthenticationFunc(CBluetoothPort* port) : CRegisterPinFunction(port) {}
    boost::shared_ptr<IPropertySet> Invoke(boost::shared_ptr<IPropertySet> args) override {
        const wchar_t* const function = L"Toshiba::CBluetoothPort::CRegisterForAuthenticationFunc::Invoke";
        boost::shared_ptr<IProperty> pin = Argument(args, L"PIN");
        if (!pin) Fail(__LINE__, function, ERROR_INVALID_PARAMETER);
        if (!m_owner->m_address) Fail(__LINE__, function, ERROR_INTERNAL_ERROR);
        BYTE device[6];
        DeviceBytes(m_owner->m_address, device, function);
        basalt::ustring text(static_cast<_bstr_t>(pin->GetValue()));
        basalt::CLocker lock(m_owner->m_slots);
        m_owner->m_sdk.SetAutoReplyPinCode(device, text);
        return boost::shared_ptr<IPropertySet>(new CPropertySet);
    }
};

class CBluetoothPort::CUnregisterAuthenticationFunc : public COwnedEscapeFunction<CBluetoothPort> {
public:
    explicit CUnregisterAuthenticationFunc(CBluetoothPort* owner)
        : COwnedEscapeFunction(L"UnregisterForAuthentication", 0, owner) {}
    boost::shared_ptr<IPropertySet> Invoke(boost::shared_ptr<IPropertySet>) override {
        const wchar_t* const function = L"Toshiba::CBluetoothPort::CUnregisterAuthenticationFunc::Invoke";
        if (!m_owner->m_address) Fail(__LINE__, function, ERROR_INTERNAL_ERROR);
        BYTE device[6];
        DeviceBytes(m_owner->m_address, device, function);
        basalt::CLocker lock(m_owner->m_slots);
        m_owner->m_sdk.ClearAutoReplyPinCode(device);
        return boost::shared_ptr<IPropertySet>(new CPropertySet);
    }
};

// ---------------------------------------------------------------------------
// The port

CBluetoothPort::CBluetoothPort(boost::shared_ptr<const IPortAddr> address)
    : CStreamPort(address, {kFile, L"Toshiba::CBluetoothPort::Send", L"Toshiba::CBluetoothPort::Recv",
                            CBluetoothPort::minimumBufferSize, CBluetoothPort::minimumBufferSize,
                            CPortStreamRules::defaultIsFloor, CPortStreamRules::errorsInIncoming}),
      m_window(kPortWindowClass, L"ToshibaBluetoothPortWnd", this),
      m_sdpConnection(0),
      m_commConnection(0),
      m_serviceClass(0),
      m_channel(0),
      m_stage(stageIdle),
      m_searchResult(nullptr),
      m_sdpAnswered(false),
      m_sdpAnswersOwed(0),
      m_device(),
      m_cancel(true, false),
      m_done(true, false),
      m_error(true, false),
      m_closing(0),
      m_line(std::unique_ptr<basalt::CCommPort>(new basalt::CCommPort), m_streams) {
    if (!address) Fail(__LINE__, L"Toshiba::CBluetoothPort::CBluetoothPort", ERROR_INVALID_PARAMETER);
    m_escapes.Register(boost::shared_ptr<CEscapeFunction>(new CRegisterForAuthenticationFunc(this)));
    m_escapes.Register(boost::shared_ptr<CEscapeFunction>(new CUnregisterAuthenticationFunc(this)));
    m_sdk.OpenAPI(m_window.Get());
}

CBluetoothPort::~CBluetoothPort() {
    m_window.Unlink();
    CloseQuietly();
    try {
        m_sdk.CloseAPI();
    } catch (const basalt::CStdException&) {
    }
}

bool CBluetoothPort::CarriesBytes() const { return m_line.device->IsOpen(); }

bool CBluetoothPort::IsOpen() const {
    basalt::CLocker lock(m_slots);
    return m_commConnection != 0;
}

basalt::ustring CBluetoothPort::GetCommName() const {
    basalt::CLocker lock(m_slots);
    return m_commName;
}

void CBluetoothPort::Close() {
    // Before the lock: an Open waiting on the stack holds it, and ends on
    // this. Counted as well as signalled: an Open that took the lock just
    // before resets the event, and would then wait, holding the lock this
    // Close waits for, on a stack that may never answer.
    ++m_closing;
    m_cancel.Set();
    basalt::CLocker lock(m_slots);
    --m_closing;
    CloseLocked();
}

void CBluetoothPort::CloseLocked() {
    // An Open given up while its SDP connection was asked and not answered.
    if (m_stage == stageSdp && m_sdpConnection && !m_sdpAnswered) ++m_sdpAnswersOwed;
    m_sdpAnswered = false;
    m_line.stop.Set();
    if (m_recvThread.IsJoinable()) m_recvThread.Join();
    if (m_sendThread.IsJoinable()) m_sendThread.Join();
    if (m_line.device->IsOpen()) m_line.device->Close();
    // The stack's objects go whatever fails on the way: each is tried alone.
    if (m_sdpConnection) {
        try {
            m_sdk.DisconnectSDP(m_sdpConnection);
        } catch (const basalt::CStdException&) {
        }
        m_sdpConnection = 0;
    }
    if (!m_commName.empty()) {
        try {
            m_sdk.DisconnectCOMM(m_commName);
        } catch (const basalt::CStdException&) {
        }
        try {
            m_sdk.DestroyCOMM(m_commName);
        } catch (const basalt::CStdException&) {
        }
        m_commName.clear();
    }
    m_commConnection = 0;
    m_stage = stageIdle;
    try {
        m_sdk.NotifyEvent(0, m_window.Get(), 0);
    } catch (const basalt::CStdException&) {
    }
    try {
        m_sdk.MemFree(m_searchResult);
    } catch (const basalt::CStdException&) {
    }
    m_searchResult = nullptr;
    // Ports the stack still lists (left by a client that ended without Close)
    // would hold their COM names for good.
    try {
        for (const std::string& name : m_sdk.GetCOMMInfoList()) {
            try {
                m_sdk.DestroyCOMM(basalt::ustring(std::wstring(name.begin(), name.end()).c_str()));
            } catch (const basalt::CStdException&) {
            }
        }
    } catch (const basalt::CStdException&) {
    }
}

void CBluetoothPort::Open() {
    basalt::CLocker lock(m_slots);
    CloseLocked();
    m_sdpConnection = m_commConnection = 0;
    m_serviceClass = 0;
    m_channel = 0;
    m_cancel.Reset();
    m_done.Reset();
    m_error.Reset();
    m_line.stop.Reset();
    m_streams.Reset();
    DropStackMessages();
    try {
        DeviceBytes(m_address, m_device, kOpen);
        CPinAnswer pin(m_sdk, m_device, basalt::ustring(static_cast<const wchar_t*>(m_address->GetPassword())));

        m_stage = stageSdp;
        m_sdk.ConnectSDP(m_device, &m_sdpConnection, m_window.Get(), TosBt::msgSdpConnect, 0);
        Wait();
        m_sdk.DisconnectSDP(m_sdpConnection);
        m_sdpConnection = 0;
        if (!m_channel) Fail(__LINE__, kOpen, WSASERVICE_NOT_FOUND);

        m_stage = stageComm;
        m_sdk.NotifyEvent(TosBt::commEventMask, m_window.Get(), TosBt::msgCommEvent);
        boost::shared_ptr<basalt::CStdException> refused;
        for (unsigned n = 1; n <= 99 && m_commName.empty(); ++n) {
            basalt::ustring name;
            name.sprintf(L"COM%u", n);
            try {
                m_sdk.CreateCOMM(name, 0, kCommKind);
                m_commName = name;
            } catch (const CToshibaBluetoothException& e) {
                refused = e.Clone();
            }
        }
        if (m_commName.empty()) refused->Throw();
        Wait();
    } catch (...) {
        CloseLocked();
        throw;
    }
}

// The stack's messages still queued for the window, left by an earlier
// connection: a link loss among them would end this one.
void CBluetoothPort::DropStackMessages() {
    MSG message;
    while (::PeekMessageW(&message, m_window.Get(), TosBt::msgSdpConnect, TosBt::msgCommState, PM_REMOVE))
        if (message.message == TosBt::msgSdpConnect && m_sdpAnswersOwed) --m_sdpAnswersOwed;
}

// Pumps the thread's messages, the stack's answers among them, until the
// window procedure says done, stores an error, or Close cancels. A stored
// error wins over done: the stack may call a step done that failed on our
// side (a virtual COM port that did not open).
void CBluetoothPort::Wait() {
    m_done.Reset();
    // A Close waiting for the lock whose signal the Open's reset wiped out.
    if (m_closing) Fail(__LINE__, kOpen, ERROR_CANCELLED);
    const HANDLE handles[] = {m_cancel.GetHandle(), m_error.GetHandle(), m_done.GetHandle()};
    for (;;) {
        // Input already queued wakes the wait too, not only input that came
        // since the queue was last looked at: nothing else that looks at the
        // thread's queue can leave a stack's answer waiting unseen.
        DWORD woken = ::MsgWaitForMultipleObjectsEx(3, handles, INFINITE, kWakeOnAnyInput, MWMO_INPUTAVAILABLE);
        switch (woken) {
        case WAIT_OBJECT_0:
            Fail(__LINE__, kOpen, ERROR_CANCELLED);
        case WAIT_OBJECT_0 + 1:
            m_line.incoming.ThrowError();
            Fail(__LINE__, kOpen, ERROR_INTERNAL_ERROR);
        case WAIT_OBJECT_0 + 2:
            return;
        case WAIT_OBJECT_0 + 3: {
            // Every queued message goes on, not one per wake-up. Messages of
            // the thread's other windows (a locator's) are dispatched too
            // rather than lost.
            MSG message;
            while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
            break;
        }
        case WAIT_TIMEOUT:
            Fail(__LINE__, kOpen, WAIT_TIMEOUT);
        case WAIT_FAILED:
            Fail(__LINE__, L"WaitForMultipleObjects", ::GetLastError());
        default:
            Fail(__LINE__, kOpen, ERROR_INTERNAL_ERROR);
        }
    }
}

void CBluetoothPort::StoreFailure(int line, LONG status) {
    m_line.incoming.SetError(CToshibaBluetoothException(line, kFile, kWndProc, status));
    m_error.Set();
}

LRESULT CBluetoothPort::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    basalt::CLocker lock(m_slots);
    // Nothing may escape into the system's dispatcher: a failure is the
    // port's pending error, which the waiting Open re-raises.
    try {
        // Each message counts only in the step of Open that asked for it (a
        // link's state once the virtual port is being connected): the stack
        // may still answer a step or connection that was given up.
        switch (message) {
        case TosBt::msgSdpConnect:
            // The answer to a connection given up: not this one's, whatever it says.
            if (m_sdpAnswersOwed) {
                --m_sdpAnswersOwed;
                break;
            }
            if (m_stage != stageSdp) break;
            m_sdpAnswered = true;
            if (wParam == TosBt::sdpConnectFailed) StoreFailure(__LINE__, static_cast<LONG>(lParam));
            else if (wParam == TosBt::sdpConnected) Search(kDialupNetworkingClass);
            break;
        case TosBt::msgSearch:
            if (m_stage != stageSearch) break;
            if (wParam == TosBt::searchFailed) {
                StoreFailure(__LINE__, static_cast<LONG>(lParam));
            } else if (wParam == TosBt::searchResults) {
                TakeSearchResults();
            } else if (wParam == TosBt::searchFinished) {
                // Many serial devices announce only the serial port profile.
                if (m_serviceClass == kDialupNetworkingClass && !m_channel) Search(kSerialPortClass);
                else m_done.Set();
            }
            break;
        case TosBt::msgCommEvent:
            if (m_stage == stageComm && HIWORD(lParam) == 0 && !m_commName.empty())
                m_sdk.ConnectCOMM2(m_commName, m_device, m_channel, kCommKind, &m_commConnection, 0, m_window.Get(),
                                   TosBt::msgCommConnect, 0);
            break;
        case TosBt::msgCommConnect:
            if (m_stage != stageComm) break;
            if (wParam == TosBt::commConnectFailed) StoreFailure(__LINE__, static_cast<LONG>(lParam));
            else if (wParam == TosBt::commConnected) ConnectComm();
            else if (wParam == TosBt::commReady) {
                // The virtual port did not open (ConnectComm stored why):
                // no line for the workers, and Open fails with that error.
                if (m_error.IsSet()) break;
                m_stage = stageOpen;
                m_recvThread = basalt::CThread::Create(RecvThreadProc, this);
                m_sendThread = basalt::CThread::Create(SendThreadProc, this);
                m_done.Set();
            }
            break;
        case TosBt::msgCommState:
            if (m_stage != stageComm && m_stage != stageOpen) break;
            if (wParam == TosBt::commLinkLost) {
                m_line.incoming.SetError(basalt::CWinException(__LINE__, kFile, kWndProc, ERROR_GRACEFUL_DISCONNECT));
                m_error.Set();
            }
            break;
        }
    } catch (const basalt::CStdException& e) {
        m_line.incoming.SetError(e);
        m_error.Set();
    }
    return 0;
}

void CBluetoothPort::Search(WORD serviceClass) {
    m_stage = stageSearch;
    m_serviceClass = serviceClass;
    const BYTE uuid[2] = {static_cast<BYTE>(serviceClass >> 8), static_cast<BYTE>(serviceClass)};
    // The service class list and the protocol descriptor list: the channel is in the latter.
    const WORD attributes[] = {0x0001, 0x0004};
    void* pattern = nullptr;
    void* list = nullptr;
    m_sdk.MakeServiceSearchPattern(uuid, sizeof uuid, &pattern);
    try {
        m_sdk.MakeAttributeIDList(attributes, 2, &list);
        m_sdk.ServiceSearchAttribute(m_sdpConnection, pattern, list, &m_searchResult, m_window.Get(), TosBt::msgSearch, 0);
    } catch (...) {
        m_sdk.MemFree(list);
        m_sdk.MemFree(pattern);
        throw;
    }
    m_sdk.MemFree(list);
    m_sdk.MemFree(pattern);
}

void CBluetoothPort::TakeSearchResults() {
    void* analysed = nullptr;
    void* result = m_searchResult;
    m_searchResult = nullptr;
    try {
        m_sdk.AnalyzeServiceAttributeLists(result, &analysed);
    } catch (...) {
        m_sdk.MemFree(result);
        throw;
    }
    m_sdk.MemFree(result);
    if (!analysed) return;
    DWORD count = 0;
    std::memcpy(&count, analysed, sizeof count);
    TosBt::CProtocolParameters parameters;
    if (count && m_sdk.AnalyzeProtocolParameter(static_cast<const BYTE*>(analysed) + sizeof(DWORD), parameters) &&
        (parameters.flags & TosBt::protocolHasChannel))
        m_channel = parameters.channel;
    m_sdk.FreeAnalyzedAttributeList(analysed);
}

void CBluetoothPort::ConnectComm() {
    basalt::ustring path(L"\\\\.\\");
    path += m_commName;
    m_line.device->Open(path.c_str(), FILE_FLAG_OVERLAPPED);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    m_line.device->GetCommState(dcb);
    dcb.BaudRate = kBaudRate;
    // The radio link is flow-controlled: the virtual port holds the output while the link is busy.
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    m_line.device->SetCommState(dcb);
    m_line.device->SetCommTimeouts(serial::PortTimeouts(kBaudRate));
    m_line.device->SetCommMask(kCommEvents);
    try {
        m_line.device->SetupComm(minimumBufferSize, minimumBufferSize);
    } catch (const basalt::CWinException&) {
        // Queue sizes are a recommendation; virtual ports often refuse them.
    }
    m_line.device->PurgeComm(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    m_sdk.NotifyCOMM(m_commName, 2, m_device, m_commConnection, m_window.Get(), TosBt::msgCommState, 0);
}

DWORD WINAPI CBluetoothPort::RecvThreadProc(void* port) {
    serial::ReceiveLoop(static_cast<CBluetoothPort*>(port)->m_line);
    return 0;
}

DWORD WINAPI CBluetoothPort::SendThreadProc(void* port) {
    // No stall tolerance here: a virtual port that takes nothing has lost its link.
    serial::SendLoop(static_cast<CBluetoothPort*>(port)->m_line, std::function<bool()>(),
                     L"Toshiba::CBluetoothPort::SendThreadProcFn");
    return 0;
}

}  // namespace Toshiba

namespace corvane {
boost::shared_ptr<IPort> CreateToshibaBluetoothPort(boost::shared_ptr<const IPortAddr> address) {
    return boost::shared_ptr<IPort>(new Toshiba::CBluetoothPort(address));
}
}  // namespace corvane
