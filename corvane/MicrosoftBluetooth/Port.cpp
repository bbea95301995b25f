#include "MicrosoftBluetooth/MicrosoftBluetooth.h"

#include "MicrosoftBluetooth/Winsock.h"

#include <algorithm>
#include <cstring>

namespace Microsoft {

using namespace corvane;

namespace {

const wchar_t kFile[] = L"MicrosoftBluetooth";
const CPortStreamRules kStreamRules = {kFile, L"Microsoft::CBluetoothPort::Send", L"Microsoft::CBluetoothPort::Recv",
                                       CBluetoothPort::defaultBufferSize, CBluetoothPort::defaultBufferSize,
                                       CPortStreamRules::defaultIsFloor, CPortStreamRules::errorsInIncoming};

const GUID kL2capProtocol = {0x00000100, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};
const GUID kRfcommProtocol = {0x00000003, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};
const DWORD kLookupFlags = LUP_FLUSHCACHE | LUP_RETURN_BLOB | LUP_RETURN_ADDR | LUP_NEAREST;
const DWORD kLookupBufferSize = 5000;

[[noreturn]] void Fail(int line, const wchar_t* function, DWORD code) {
    throw basalt::CWinException(line, kFile, function, code);
}

basalt::CWinException WithCode(const basalt::CWinException& e, DWORD code) {
    return basalt::CWinException(e.GetLine(), e.GetFile().c_str(), e.GetFunction().c_str(), code);
}

struct CClassWalk {
    CBthpropsLib* library;
    std::vector<USHORT> classes;
};

BOOL CALLBACK CollectServiceClasses(ULONG attribute, LPBYTE value, ULONG size, LPVOID context) {
    CClassWalk& walk = *static_cast<CClassWalk*>(context);
    if (attribute != 0x0001) return TRUE;
    CBthpropsLib& library = *walk.library;
    if (!library.BluetoothSdpGetElementData || !library.BluetoothSdpGetContainerElementData) return TRUE;
    SDP_ELEMENT_DATA list;
    if (library.BluetoothSdpGetElementData(value, size, &list) != ERROR_SUCCESS || list.type != SDP_TYPE_SEQUENCE)
        return TRUE;
    HBLUETOOTH_CONTAINER_ELEMENT cursor = nullptr;
    SDP_ELEMENT_DATA element;
    while (library.BluetoothSdpGetContainerElementData(list.data.sequence.value, list.data.sequence.length, &cursor,
                                                       &element) == ERROR_SUCCESS) {
        if (element.type != SDP_TYPE_UUID) continue;
        // Every UUID form starts with a 32-bit field whose low half is the
        // short form; the sub-type code is not looked at, since stacks differ
        // in the code they give a 32-bit UUID.
        USHORT uuid = static_cast<USHORT>(element.data.uuid32);
        if (std::find(walk.classes.begin(), walk.classes.end(), uuid) == walk.classes.end())
            walk.classes.push_back(uuid);
    }
    return TRUE;
}

}  // namespace

bool IsNullText(const VARIANT& value) {
    return value.vt == VT_NULL || value.vt == VT_EMPTY || (value.vt == VT_BSTR && !value.bstrVal);
}

bool RecordHasServiceClass(const BYTE* record, ULONG size, USHORT uuid16) {
    CBthpropsLib& library = CBthpropsLib::Instance();
    if (!library.BluetoothSdpEnumAttributes || !record) return false;
    CClassWalk walk = {&library, {}};
    // A record that does not parse lists nothing, whatever was read before the fault.
    if (!library.BluetoothSdpEnumAttributes(const_cast<LPBYTE>(record), size, CollectServiceClasses, &walk))
        walk.classes.clear();
    return std::find(walk.classes.begin(), walk.classes.end(), uuid16) != walk.classes.end();
}

// ---------------------------------------------------------------------------
// Escape functions

class CBluetoothPort::CRegisterForAuthenticationFunc : public CRegisterPinFunction<CBluetoothPort> {
public:
    explicit CRegisterForAuthenticationFunc(CBluetoothPort* port) : CRegisterPinFunction(port) {}
    boost::shared_ptr<IPropertySet> Invoke(boost::shared_ptr<IPropertySet> args) override {
        static const wchar_t kName[] = L"Microsoft::CBluetoothPort::CRegisterForAuthenticationFunc::Invoke";
        ULONGLONG device = m_owner->DeviceAddress(kName);
        boost::shared_ptr<IProperty> pin = Argument(args, L"PIN");
        if (!pin) Fail(__LINE__, kName, ERROR_INVALID_PARAMETER);
        _variant_t value = pin->GetValue();
        if (IsNullText(value)) {
            SetAuthenticationPin(device, nullptr);
        } else {
            basalt::ustring text(static_cast<_bstr_t>(value));
            SetAuthenticationPin(device, text.c_str());
        }
        return boost::shared_ptr<IPropertySet>();
    }
};

class CBluetoothPort::CUnregisterAuthenticationFunc : public COwnedEscapeFunction<CBluetoothPort> {
public:
    explicit CUnregisterAuthenticationFunc(CBluetoothPort* owner)
        : COwnedEscapeFunction(L"UnregisterForAuthentication", 0, owner) {}
    boost::shared_ptr<IPropertySet> Invoke(boost::shared_ptr<IPropertySet>) override {
        SetAuthenticationPin(m_owner->DeviceAddress(L"Microsoft::CBluetoothPort::CUnregisterAuthenticationFunc::Invoke"),
                             nullptr);
        return boost::shared_ptr<IPropertySet>();
    }
};

class CBluetoothPort::CSetAutoRevokePairingFunc : public COwnedEscapeFunction<CBluetoothPort> {
public:
    explicit CSetAutoRevokePairingFunc(CBluetoothPort* owner)
        : COwnedEscapeFunction(L"SetAutoRevokePairing", 0, owner) {}
    boost::shared_ptr<IPropertySet> GetParameters() const override { return OneParameter(L"Enable", VT_BOOL, true); }
    boost::shared_ptr<IPropertySet> Invoke(boost::shared_ptr<IPropertySet> args) override {
        boost::shared_ptr<IProperty> enable = Argument(args, L"Enable");
        _variant_t value = enable ? enable->GetValue() : _variant_t();
        if (!enable || value.vt != VT_BOOL)
            Fail(__LINE__, L"Microsoft::CBluetoothPort::CSetAutoRevokePairingFunc::Invoke", ERROR_INVALID_PARAMETER);
        m_owner->m_autoRevoke = value.boolVal != VARIANT_FALSE;
        return boost::shared_ptr<IPropertySet>();
    }
};

// ---------------------------------------------------------------------------
// Life

CBluetoothPort::CBluetoothPort(boost::shared_ptr<const IPortAddr> address)
    : CStreamPort(address, kStreamRules) {
    RegisterEscapes();
}

CBluetoothPort::CBluetoothPort(basalt::CWSASocket&& accepted)
    : CStreamPort(boost::shared_ptr<const IPortAddr>(), kStreamRules),
      m_socket(std::move(accepted)) {
    SOCKADDR_BTH local;
    std::memset(&local, 0, sizeof local);
    int length = sizeof local;
    m_socket.GetSockNameLL(reinterpret_cast<sockaddr*>(&local), &length);
    m_address = CBluetoothPortAddr::CreateInstance(local.btAddr, 0, nullptr, nullptr, 0, 0);
    RegisterEscapes();
    m_streams.Reset();
    m_workers.Rearm();
    m_sendRecord.Prepare();
    m_recvRecord.Prepare();
    m_open = true;
    try {
        StartWorkers();
    } catch (...) {
        // A send worker already running must not outlive the half-made port.
        Close();
        throw;
    }
}

void CBluetoothPort::RegisterEscapes() {
    m_escapes.Register(boost::shared_ptr<CEscapeFunction>(new CRegisterForAuthenticationFunc(this)));
    m_escapes.Register(boost::shared_ptr<CEscapeFunction>(new CUnregisterAuthenticationFunc(this)));
    m_escapes.Register(boost::shared_ptr<CEscapeFunction>(new CSetAutoRevokePairingFunc(this)));
    // The send worker's wake-up, held apart from the client's notices so that
    // no deregistration of theirs can silence the worker.
    m_streams.outgoing.SetWorkerNotice(m_wake.CreateNotice());
}

CBluetoothPort::~CBluetoothPort() { CloseQuietly(); }

// A flag beside the socket: a client may ask while Open or Close changes it.
bool CBluetoothPort::IsOpen() const { return m_open; }

void CBluetoothPort::Close() {
    basalt::CLocker lock(m_lock);
    m_workers.Stop();
    m_open = false;
    m_socket.Close();
}

ULONGLONG CBluetoothPort::DeviceAddress(const wchar_t* function) const {
    if (!m_address) Fail(__LINE__, function, ERROR_INTERNAL_ERROR);
    return CBluetoothPortAddr::Str2BluetoothAddr(static_cast<const wchar_t*>(m_address->GetPhysicalName()), L':');
}

// ---------------------------------------------------------------------------
// Open

void CBluetoothPort::Open() {
    basalt::CLocker lock(m_lock);
    Close();
    m_streams.Reset();
    bool registered = false;
    try {
        OpenSteps(registered);
    } catch (const basalt::CWinException& e) {
        if (registered) {
            try {
                SetAuthenticationPin(DeviceAddress(L"Microsoft::CBluetoothPort::Open"), nullptr);
            } catch (const basalt::CStdException&) {
                // The open's own failure is the one to report.
            }
        }
        Close();
        // A closed handle met by a lower layer as an HRESULT: the device is not ready.
        if (e.GetErrorCode() == 0x80070006) throw WithCode(e, ERROR_NOT_READY);
        throw;
    }
}

void CBluetoothPort::OpenSteps(bool& registered) {
    ULONGLONG device = DeviceAddress(L"Microsoft::CBluetoothPort::Open");

    // A pairing the stack remembers but the device may have dropped gets in
    // the way of a fresh one; without a stack this simply fails later.
    try {
        CBtDrt api;
        if (!api.IsAuthenticated(device) && m_autoRevoke) api.RemoveDevice(device);
    } catch (const basalt::CWinException&) {
    }

    _bstr_t password = m_address->GetPassword();
    bool hasPin = !IsNoPinMarker(password);
    basalt::ustring pin(hasPin ? static_cast<const wchar_t*>(password) : L"");
    if (hasPin) {
        try {
            registered = SetAuthenticationPin(device, pin.c_str());
        } catch (const basalt::CWinException& e) {
            throw WithCode(e, ERROR_NOT_AUTHENTICATED);
        }
    }

    std::vector<ULONG> channels;
    if (!DetectRFCommChannel(device, kSerialPortClass, m_autoRevoke, channels) ||
        !DetectRFCommChannel(device, kDialupNetworkingClass, m_autoRevoke, channels) || channels.empty())
        Fail(__LINE__, L"DetectRFCommChannel", WSASERVICE_NOT_FOUND);

    m_workers.Rearm();
    m_sendRecord.Prepare();
    m_recvRecord.Prepare();
    m_socket.UseCalls(&BthWinsock().sockets);
    m_socket.Create(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM, nullptr, 0, WSA_FLAG_OVERLAPPED);
    m_open = true;
    ConnectWalk(device, channels, hasPin ? pin : basalt::ustring());
    StartWorkers();

    if (registered) {
        registered = false;
        SetAuthenticationPin(device, nullptr);
    }
}

void CBluetoothPort::ConnectWalk(ULONGLONG device, const std::vector<ULONG>& channels, const basalt::ustring& pin) {
    // The last channels found belong to the last service class asked for.
    for (auto channel = channels.rbegin(); channel != channels.rend(); ++channel) {
        SOCKADDR_BTH peer;
        std::memset(&peer, 0, sizeof peer);
        peer.addressFamily = AF_BTH;
        peer.btAddr = device;
        peer.port = *channel;
        if (*channel == 0) peer.serviceClassId = kRfcommProtocol;
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                m_socket.ConnectLL(reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
                return;
            } catch (const basalt::CWinException& e) {
                if (e.GetErrorCode() == WSAEINVAL && attempt == 0 && m_autoRevoke) {
                    // The stack holds a key the device no longer knows: pair afresh.
                    CBtDrt api;
                    api.RemoveDevice(device);
                    api.PairRequest(device, pin.empty() ? nullptr : pin.c_str());
                    continue;
                }
                if (e.GetErrorCode() == WSAEISCONN) break;
                throw;
            }
        }
    }
}

bool CBluetoothPort::DetectRFCommChannel(ULONGLONG device, USHORT uuid16, bool autoRevoke,
                                         std::vector<ULONG>& channels) {
    const CBthWinsockCalls& winsock = BthWinsock();
    SOCKADDR_BTH address;
    std::memset(&address, 0, sizeof address);
    address.addressFamily = AF_BTH;
    address.btAddr = device;
    wchar_t text[128];
    DWORD length = 128;
    basalt::ustring context;
    if (winsock.addressToString(reinterpret_cast<sockaddr*>(&address), sizeof address, nullptr, text, &length) == 0)
        context = text;
    else
        context = CBluetoothPortAddr::BluetoothAddr2Str(device, L':');

    WSAQUERYSETW query;
    std::memset(&query, 0, sizeof query);
    query.dwSize = sizeof query;
    query.dwNameSpace = NS_BTH;
    GUID protocol = kL2capProtocol;
    query.lpServiceClassId = &protocol;
    query.lpszContext = &context[0];

    HANDLE lookup = nullptr;
    if (winsock.lookupServiceBegin(&query, kLookupFlags, &lookup) != 0) {
        if (::WSAGetLastError() != WSASERVICE_NOT_FOUND || !autoRevoke) return false;
        // The device refuses a computer whose key it forgot: pair afresh and ask again.
        CBtDrt api;
        try {
            api.RemoveDevice(device);
        } catch (const basalt::CWinException&) {
        }
        api.PairRequest(device, nullptr);
        if (winsock.lookupServiceBegin(&query, kLookupFlags, &lookup) != 0) return false;
    }
    // 8-byte units keep the answer's pointers aligned.
    std::vector<ULONGLONG> buffer(kLookupBufferSize / sizeof(ULONGLONG) + 1);
    WSAQUERYSETW* result = reinterpret_cast<WSAQUERYSETW*>(buffer.data());
    for (;;) {
        DWORD size = kLookupBufferSize;
        if (winsock.lookupServiceNext(lookup, kLookupFlags, &size, result) != 0) break;
        if (!result->lpBlob || !RecordHasServiceClass(result->lpBlob->pBlobData, result->lpBlob->cbSize, uuid16))
            continue;
        if (result->dwNumberOfCsAddrs < 1 || !result->lpcsaBuffer || !result->lpcsaBuffer->RemoteAddr.lpSockaddr)
            continue;
        channels.push_back(reinterpret_cast<const SOCKADDR_BTH*>(result->lpcsaBuffer->RemoteAddr.lpSockaddr)->port);
    }
    winsock.lookupServiceEnd(lookup);
    return true;
}

// ---------------------------------------------------------------------------
// The workers

void CBluetoothPort::StartWorkers() {
    m_workers.Start<CBluetoothPort, &CBluetoothPort::SendThreadProcFn, &CBluetoothPort::RecvThreadProcFn>(this);
}

corvane::CSocketWorkers CBluetoothPort::Workers() {
    return corvane::CSocketWorkers({m_socket, m_streams.incoming, m_streams.outgoing, m_workers.stop.GetHandle(),
                                    m_workers.stopping, m_recvRecord, m_sendRecord, m_wake.GetHandle()});
}

void CBluetoothPort::RecvThreadProcFn() {
    try {
        basalt::CThread::SetCurrentPriority(THREAD_PRIORITY_HIGHEST);
        Workers().Receive(receiveChunk, kFile, L"Microsoft::CBluetoothPort::RecvThreadProcFn",
                          ERROR_GRACEFUL_DISCONNECT);
    } catch (const basalt::CWinException& e) {
        // A disconnect the stack reports by its own code is the same lost connection.
        if (e.GetErrorCode() == WSAEDISCON) m_streams.incoming.SetError(WithCode(e, ERROR_GRACEFUL_DISCONNECT));
        else m_streams.incoming.SetError(e);
    } catch (const basalt::CStdException& e) {
        m_streams.incoming.SetError(e);
    }
    m_streams.incoming.Fire(eventTerminated);
}

void CBluetoothPort::SendThreadProcFn() {
    try {
        basalt::CThread::SetCurrentPriority(THREAD_PRIORITY_HIGHEST);
        Workers().Send(kFile);
    } catch (const basalt::CStdException& e) {
        m_streams.incoming.SetError(e);
    }
}

}  // namespace Microsoft

namespace corvane {
boost::shared_ptr<IPort> CreateMicrosoftBluetoothPort(boost::shared_ptr<const IPortAddr> address) {
    if (!address) return boost::shared_ptr<IPort>();
    return boost::shared_ptr<IPort>(new Microsoft::CBluetoothPort(address));
}
}  // namespace corvane
