// The Bluetooth side of Winsock: RFCOMM sockets carried by loopback TCP
// sockets, SDP lookups answered from the devices' records, and services
// published with WSASetService that simulated devices can dial.
#include "Stack.h"

#include "MicrosoftBluetooth/Winsock.h"

#include <Detached.h>

#include <cstring>
#include <thread>

using namespace bthsim;

namespace {

const GUID kRfcommProtocol = {0x00000003, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB}};

SOCKADDR_BTH MakeAddress(ULONGLONG device, ULONG channel) {
    SOCKADDR_BTH address;
    std::memset(&address, 0, sizeof address);
    address.addressFamily = AF_BTH;
    address.btAddr = device;
    address.port = channel;
    return address;
}

int Refuse(int code) {
    ::WSASetLastError(code);
    return SOCKET_ERROR;
}

USHORT LocalPort(SOCKET socket) {
    sockaddr_in address;
    int length = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

bool SendAll(SOCKET socket, const char* data, int size) {
    while (size > 0) {
        int sent = ::send(socket, data, size, 0);
        if (sent <= 0) return false;
        data += sent;
        size -= sent;
    }
    return true;
}

void EchoSession(SOCKET end) {
    char buffer[8192];
    for (;;) {
        int got = ::recv(end, buffer, sizeof buffer, 0);
        if (got <= 0 || !SendAll(end, buffer, got)) break;
    }
    ::closesocket(end);
}

void LinesSession(SOCKET end) {
    for (unsigned n = 1;; ++n) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(end, &readable);
        timeval pause = {0, 20000};
        if (::select(0, &readable, nullptr, nullptr, &pause) > 0) {
            char buffer[256];
            if (::recv(end, buffer, sizeof buffer, 0) <= 0) break;  // input is ignored; a close ends it
        }
        char line[64];
        int length = ::wsprintfA(line, "$SIM,%06u,LINE FROM THE SIMULATED DEVICE\r\n", n);
        if (!SendAll(end, line, length)) break;
    }
    ::closesocket(end);
}

void SinkSession(SOCKET end) {
    char buffer[8192];
    while (::recv(end, buffer, sizeof buffer, 0) > 0) {
    }
    ::closesocket(end);
}

// --- the table the driver calls ---------------------------------------------

SOCKET WSAAPI SimSocket(int family, int type, int protocol, LPWSAPROTOCOL_INFOW, GROUP, DWORD flags) {
    if (family != AF_BTH || type != SOCK_STREAM || protocol != BTHPROTO_RFCOMM) {
        ::WSASetLastError(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    Stack& stack = TheStack();
    {
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        if (!stack.radioPresent) {
            ::WSASetLastError(WSAENETDOWN);
            return INVALID_SOCKET;
        }
    }
    SOCKET socket = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, flags);
    if (socket == INVALID_SOCKET) return socket;
    // RFCOMM has no Nagle delay to speak of: small writes leave at once.
    BOOL on = TRUE;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    stack.sockets[socket] = SocketState();  // a reused handle value starts afresh
    return socket;
}

int WSAAPI SimConnect(SOCKET socket, const sockaddr* name, int length, LPWSABUF, LPWSABUF, LPQOS, LPQOS) {
    if (!name || length < static_cast<int>(sizeof(SOCKADDR_BTH)) || name->sa_family != AF_BTH)
        return Refuse(WSAEFAULT);
    const SOCKADDR_BTH* target = reinterpret_cast<const SOCKADDR_BTH*>(name);
    Stack& stack = TheStack();
    ULONG channel = target->port;
    DWORD behaviour = BTHSIM_SERVICE_ECHO;
    {
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        auto state = stack.sockets.find(socket);
        if (state == stack.sockets.end()) return Refuse(WSAENOTSOCK);
        if (state->second.peer) return Refuse(WSAEISCONN);
        Device* device = FindDevice(stack, target->btAddr);
        if (!device || !(device->flags & BTHSIM_IN_RANGE)) return Refuse(WSAETIMEDOUT);
        ++device->counts[BTHSIM_COUNT_CONNECT];
        device->connectLog.push_back(channel);
        if (DWORD code = TakeFailure(*device, BTHSIM_OP_CONNECT)) return Refuse(static_cast<int>(code));
        if (device->flags & BTHSIM_STALE_KEY) return Refuse(WSAEINVAL);
        // Channel 0 asks for the RFCOMM service by protocol: the device's first channel.
        if (channel == 0 && IsEqualGUID(target->serviceClassId, kRfcommProtocol)) {
            for (const Record& record : device->records)
                if (record.channel) {
                    channel = record.channel;
                    break;
                }
        }
        const Record* found = nullptr;
        for (const Record& record : device->records)
            if (record.channel && record.channel == channel) found = &record;
        if (!found) return Refuse(WSAECONNREFUSED);
        behaviour = found->behaviour;
    }
    // A device that wants a PIN and has none yet pairs on the first connect.
    bool needsPairing;
    {
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        Device* device = FindDevice(stack, target->btAddr);
        needsPairing = device && device->hasPin && !(device->flags & BTHSIM_AUTHENTICATED);
    }
    if (needsPairing) {
        BTHSIM_ANSWER answer;
        if (!AskHandler(target->btAddr, BLUETOOTH_AUTHENTICATION_METHOD_LEGACY, 0, answer)) return Refuse(WSAEACCES);
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        Device* device = FindDevice(stack, target->btAddr);
        if (!device || !AnswerPairs(*device, answer, 0)) return Refuse(WSAEACCES);
        device->flags |= BTHSIM_AUTHENTICATED | BTHSIM_REMEMBERED;
    }
    SOCKET end = ConnectLoopback(socket);
    if (end == INVALID_SOCKET) return SOCKET_ERROR;
    {
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        SocketState& state = stack.sockets[socket];
        state.peer = target->btAddr;
        state.channel = channel;
    }
    StartSession(end, target->btAddr, behaviour);
    return 0;
}

// A receive on a connection to a device: the system's, unless a failure is due.
int WSAAPI SimRecv(SOCKET socket, LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags,
                   LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
    {
        Stack& stack = TheStack();
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        auto state = stack.sockets.find(socket);
        Device* device = state == stack.sockets.end() ? nullptr : FindDevice(stack, state->second.peer);
        if (device)
            if (DWORD code = TakeFailure(*device, BTHSIM_OP_RECEIVE)) return Refuse(static_cast<int>(code));
    }
    return ::WSARecv(socket, buffers, count, received, flags, overlapped, completion);
}

int WSAAPI SimBind(SOCKET socket, const sockaddr* name, int length) {
    if (!name || length < static_cast<int>(sizeof(SOCKADDR_BTH)) || name->sa_family != AF_BTH)
        return Refuse(WSAEFAULT);
    const SOCKADDR_BTH* wanted = reinterpret_cast<const SOCKADDR_BTH*>(name);
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    auto state = stack.sockets.find(socket);
    if (state == stack.sockets.end()) return Refuse(WSAENOTSOCK);
    if (state->second.bound) return Refuse(WSAEINVAL);
    ULONG channel = wanted->port;
    if (channel == BT_PORT_ANY) channel = stack.nextLocalChannel++;
    if (channel == 0 || channel > 30) return Refuse(WSAEINVAL);  // RFCOMM has 30 channels
    CountListening(stack);  // forgets sockets their owners closed, and the channels they held
    for (const auto& other : stack.sockets)
        if (other.second.bound && other.second.channel == channel) return Refuse(WSAEADDRINUSE);
    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return SOCKET_ERROR;
    state->second.bound = true;
    state->second.channel = channel;
    return 0;
}

int WSAAPI SimGetSockName(SOCKET socket, sockaddr* name, int* length) {
    if (!name || !length || *length < static_cast<int>(sizeof(SOCKADDR_BTH))) return Refuse(WSAEFAULT);
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    auto state = stack.sockets.find(socket);
    if (state == stack.sockets.end()) return Refuse(WSAENOTSOCK);
    SOCKADDR_BTH address = MakeAddress(stack.radioAddress, state->second.channel);
    std::memcpy(name, &address, sizeof address);
    *length = sizeof address;
    return 0;
}

SOCKET WSAAPI SimAccept(SOCKET listener, sockaddr* name, LPINT length, LPCONDITIONPROC condition, DWORD_PTR context) {
    Stack& stack = TheStack();
    ULONG channel;
    {
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        auto state = stack.sockets.find(listener);
        if (state == stack.sockets.end()) {
            ::WSASetLastError(WSAENOTSOCK);
            return INVALID_SOCKET;
        }
        channel = state->second.channel;
    }
    sockaddr_in peer;
    int peerLength = sizeof peer;
    SOCKET accepted = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength);
    if (accepted == INVALID_SOCKET) return accepted;  // WSAEWOULDBLOCK and friends pass through
    DWORD failure;
    {
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        failure = TakeFailure(stack.acceptFailure);
    }
    if (failure) {
        ::closesocket(accepted);  // the device sees its connection dropped
        ::WSASetLastError(static_cast<int>(failure));
        return INVALID_SOCKET;
    }
    ULONGLONG device = 0;
    SOCKADDR_BTH caller, callee;
    {
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        auto dialled = stack.incoming.find(ntohs(peer.sin_port));
        if (dialled != stack.incoming.end()) {
            device = dialled->second;
            stack.incoming.erase(dialled);
        }
        caller = MakeAddress(device, channel);
        callee = MakeAddress(stack.radioAddress, channel);
    }
    if (condition) {
        WSABUF callerId = {sizeof caller, reinterpret_cast<char*>(&caller)};
        WSABUF calleeId = {sizeof callee, reinterpret_cast<char*>(&callee)};
        GROUP group = 0;
        int verdict = condition(&callerId, nullptr, nullptr, nullptr, &calleeId, nullptr, &group, context);
        if (verdict != CF_ACCEPT) {
            ::closesocket(accepted);  // the device sees its connection refused
            ::WSASetLastError(verdict == CF_DEFER ? WSATRY_AGAIN : WSAECONNREFUSED);
            return INVALID_SOCKET;
        }
    }
    if (name && length && *length >= static_cast<int>(sizeof caller)) {
        std::memcpy(name, &caller, sizeof caller);
        *length = sizeof caller;
    }
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    SocketState state;
    state.channel = channel;
    state.peer = device;
    stack.sockets[accepted] = state;
    return accepted;
}

// --- SDP lookups ------------------------------------------------------------

struct Lookup {
    ULONGLONG device;
    std::vector<std::pair<std::vector<BYTE>, ULONG>> records;  // bytes, channel
    size_t next = 0;
};

INT WSAAPI SimLookupBegin(LPWSAQUERYSETW query, DWORD, LPHANDLE handle) {
    if (!query || !handle || query->dwNameSpace != NS_BTH || !query->lpszContext) return Refuse(WSAEINVAL);
    ULONGLONG address;
    if (!ParseAddress(query->lpszContext, address)) return Refuse(WSAEINVAL);
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    if (!stack.radioPresent) return Refuse(WSAENETDOWN);
    Device* device = FindDevice(stack, address);
    if (!device || !(device->flags & BTHSIM_IN_RANGE)) return Refuse(WSASERVICE_NOT_FOUND);
    ++device->counts[BTHSIM_COUNT_LOOKUP];
    if (DWORD code = TakeFailure(*device, BTHSIM_OP_LOOKUP)) return Refuse(static_cast<int>(code));
    // The device refuses the query link of a computer whose key it forgot.
    if (device->flags & BTHSIM_STALE_KEY) return Refuse(WSASERVICE_NOT_FOUND);
    Lookup* lookup = new Lookup;
    lookup->device = address;
    for (const Record& record : device->records) lookup->records.emplace_back(record.bytes, record.channel);
    *handle = lookup;
    return 0;
}

INT WSAAPI SimLookupNext(HANDLE handle, DWORD, LPDWORD length, LPWSAQUERYSETW result) {
    Lookup* lookup = static_cast<Lookup*>(handle);
    if (!lookup || !length) return Refuse(WSA_INVALID_HANDLE);
    if (lookup->next >= lookup->records.size()) return Refuse(WSA_E_NO_MORE);
    const auto& record = lookup->records[lookup->next];
    // The answer and everything it points to live in the caller's buffer.
    DWORD needed = sizeof(WSAQUERYSETW) + sizeof(CSADDR_INFO) + 2 * sizeof(SOCKADDR_BTH) + sizeof(BLOB) +
                   static_cast<DWORD>(record.first.size());
    if (!result || *length < needed) {
        *length = needed;
        return Refuse(WSAEFAULT);
    }
    BYTE* area = reinterpret_cast<BYTE*>(result);
    std::memset(area, 0, needed);
    CSADDR_INFO* addresses = reinterpret_cast<CSADDR_INFO*>(area + sizeof(WSAQUERYSETW));
    SOCKADDR_BTH* local = reinterpret_cast<SOCKADDR_BTH*>(addresses + 1);
    SOCKADDR_BTH* remote = local + 1;
    BLOB* blob = reinterpret_cast<BLOB*>(remote + 1);
    BYTE* bytes = reinterpret_cast<BYTE*>(blob + 1);
    *local = MakeAddress(TheStack().radioAddress, 0);
    *remote = MakeAddress(lookup->device, record.second);
    addresses->LocalAddr.lpSockaddr = reinterpret_cast<sockaddr*>(local);
    addresses->LocalAddr.iSockaddrLength = sizeof *local;
    addresses->RemoteAddr.lpSockaddr = reinterpret_cast<sockaddr*>(remote);
    addresses->RemoteAddr.iSockaddrLength = sizeof *remote;
    addresses->iSocketType = SOCK_STREAM;
    addresses->iProtocol = BTHPROTO_RFCOMM;
    std::memcpy(bytes, record.first.data(), record.first.size());
    blob->cbSize = static_cast<ULONG>(record.first.size());
    blob->pBlobData = bytes;
    result->dwSize = sizeof(WSAQUERYSETW);
    result->dwNameSpace = NS_BTH;
    result->dwNumberOfCsAddrs = 1;
    result->lpcsaBuffer = addresses;
    result->lpBlob = blob;
    ++lookup->next;
    return 0;
}

INT WSAAPI SimLookupEnd(HANDLE handle) {
    if (!handle) return Refuse(WSA_INVALID_HANDLE);
    delete static_cast<Lookup*>(handle);
    return 0;
}

// --- publication ------------------------------------------------------------

void CallerDials(GUID serviceClass);

INT WSAAPI SimSetService(LPWSAQUERYSETW query, WSAESETSERVICEOP operation, DWORD) {
    if (!query || query->dwNameSpace != NS_BTH || !query->lpServiceClassId) return Refuse(WSAEINVAL);
    Stack& stack = TheStack();
    std::unique_lock<std::recursive_mutex> lock(stack.lock);
    if (operation == RNRSERVICE_DELETE) {
        for (auto at = stack.published.begin(); at != stack.published.end(); ++at)
            if (IsEqualGUID(at->serviceClass, *query->lpServiceClassId)) {
                stack.published.erase(at);
                return 0;
            }
        return Refuse(WSASERVICE_NOT_FOUND);
    }
    if (operation != RNRSERVICE_REGISTER) return Refuse(WSAEINVAL);
    if (DWORD code = TakeFailure(stack.publishFailure)) return Refuse(static_cast<int>(code));
    if (query->dwNumberOfCsAddrs < 1 || !query->lpcsaBuffer || !query->lpcsaBuffer->LocalAddr.lpSockaddr ||
        query->lpcsaBuffer->LocalAddr.iSockaddrLength < static_cast<int>(sizeof(SOCKADDR_BTH)))
        return Refuse(WSAEINVAL);
    const SOCKADDR_BTH* local = reinterpret_cast<const SOCKADDR_BTH*>(query->lpcsaBuffer->LocalAddr.lpSockaddr);
    Published service = {*query->lpServiceClassId,
                         query->lpszServiceInstanceName ? query->lpszServiceInstanceName : L"", local->port};
    stack.published.push_back(service);
    if (stack.caller) {
        GUID serviceClass = service.serviceClass;
        sim::RunDetached([serviceClass] { CallerDials(serviceClass); });
    }
    return 0;
}

INT WSAAPI SimAddressToString(LPSOCKADDR address, DWORD length, LPWSAPROTOCOL_INFOW info, LPWSTR text,
                              LPDWORD textLength) {
    if (!address || address->sa_family != AF_BTH)
        return ::WSAAddressToStringW(address, length, info, text, textLength);
    if (length < sizeof(SOCKADDR_BTH) || !textLength) return Refuse(WSAEFAULT);
    // The system's form: the address in parentheses.
    std::wstring form = L"(" + AddressText(reinterpret_cast<SOCKADDR_BTH*>(address)->btAddr) + L")";
    if (!text || *textLength < form.size() + 1) {
        *textLength = static_cast<DWORD>(form.size() + 1);
        return Refuse(WSAEFAULT);
    }
    ::wcscpy(text, form.c_str());
    *textLength = static_cast<DWORD>(form.size() + 1);
    return 0;
}

// The default world's caller: dials each new service, greets, then echoes.
void CallerDials(GUID serviceClass) {
    ::Sleep(100);
    SOCKET end = BthSimConnectToService(0x008025000005ULL, &serviceClass);
    if (end == INVALID_SOCKET) return;
    static const char greeting[] = "HELLO FROM THE SIMULATED CALLER\r\n";
    SendAll(end, greeting, sizeof greeting - 1);
    EchoSession(end);
}

}  // namespace

namespace bthsim {

SOCKET ConnectLoopback(SOCKET client) {
    static std::mutex lock;
    static SOCKET listener = INVALID_SOCKET;
    static sockaddr_in where;
    std::lock_guard<std::mutex> serial(lock);
    if (listener == INVALID_SOCKET) {
        listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        std::memset(&where, 0, sizeof where);
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof where;
        if (listener == INVALID_SOCKET || ::bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&where), &length) != 0 || ::listen(listener, 16) != 0) {
            int code = ::WSAGetLastError();
            if (listener != INVALID_SOCKET) ::closesocket(listener);
            listener = INVALID_SOCKET;
            ::WSASetLastError(code);
            return INVALID_SOCKET;
        }
    }
    if (::connect(client, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) return INVALID_SOCKET;
    // Connections are serialised here, so the next one accepted is this one.
    SOCKET end = ::accept(listener, nullptr, nullptr);
    BOOL on = TRUE;
    if (end != INVALID_SOCKET) ::setsockopt(end, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return end;
}

void StartSession(SOCKET end, ULONGLONG device, DWORD behaviour) {
    switch (behaviour) {
    case BTHSIM_SERVICE_LINES:
        sim::RunDetached([end] { LinesSession(end); });
        break;
    case BTHSIM_SERVICE_SINK:
        sim::RunDetached([end] { SinkSession(end); });
        break;
    case BTHSIM_SERVICE_CLOSE:
        ::closesocket(end);
        break;
    case BTHSIM_SERVICE_HOLD: {
        Stack& stack = TheStack();
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        Device* owner = FindDevice(stack, device);
        if (!owner) {
            ::closesocket(end);
            break;
        }
        owner->parked.push_back(end);
        stack.changed.notify_all();
        break;
    }
    default:
        sim::RunDetached([end] { EchoSession(end); });
    }
}

}  // namespace bthsim

namespace bthsim {

DWORD CountListening(Stack& stack) {
    DWORD n = 0;
    for (auto state = stack.sockets.begin(); state != stack.sockets.end();) {
        int type = 0, length = sizeof type;
        if (::getsockopt(state->first, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) != 0) {
            state = stack.sockets.erase(state);  // closed by its owner
            continue;
        }
        if (state->second.bound) ++n;
        ++state;
    }
    return n;
}

}  // namespace bthsim

BTHSIM_EXPORT void WINAPI BthSimWinsockCalls(Microsoft::CBthWinsockCalls* calls) {
    if (!calls) return;
    calls->sockets.socket = SimSocket;
    calls->sockets.connect = SimConnect;
    calls->sockets.bind = SimBind;
    calls->sockets.getsockname = SimGetSockName;
    calls->sockets.accept = SimAccept;
    calls->sockets.recv = SimRecv;
    calls->lookupServiceBegin = SimLookupBegin;
    calls->lookupServiceNext = SimLookupNext;
    calls->lookupServiceEnd = SimLookupEnd;
    calls->setService = SimSetService;
    calls->addressToString = SimAddressToString;
}

SOCKET WINAPI BthSimTakeConnection(ULONGLONG address, DWORD timeoutMs) {
    Stack& stack = TheStack();
    std::unique_lock<std::recursive_mutex> lock(stack.lock);
    auto ready = [&] {
        Device* device = FindDevice(stack, address);
        return device && !device->parked.empty();
    };
    if (!stack.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) return INVALID_SOCKET;
    Device* device = FindDevice(stack, address);
    SOCKET end = device->parked.front();
    device->parked.pop_front();
    return end;
}

SOCKET WINAPI BthSimConnectToService(ULONGLONG device, const GUID* serviceClass) {
    if (!serviceClass) return INVALID_SOCKET;
    Stack& stack = TheStack();
    SOCKET listener = INVALID_SOCKET;
    {
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        for (const Published& service : stack.published) {
            if (!IsEqualGUID(service.serviceClass, *serviceClass)) continue;
            for (const auto& state : stack.sockets)
                if (state.second.bound && state.second.channel == service.channel) listener = state.first;
        }
    }
    if (listener == INVALID_SOCKET) return INVALID_SOCKET;
    sockaddr_in where;
    std::memset(&where, 0, sizeof where);
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    where.sin_port = htons(LocalPort(listener));
    SOCKET end = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (end == INVALID_SOCKET) return end;
    // The device's port must be known before the computer can accept it.
    sockaddr_in mine = where;
    mine.sin_port = 0;
    if (::bind(end, reinterpret_cast<sockaddr*>(&mine), sizeof mine) != 0) {
        ::closesocket(end);
        return INVALID_SOCKET;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(stack.lock);
        stack.incoming[LocalPort(end)] = device;
    }
    if (::connect(end, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        ::closesocket(end);
        return INVALID_SOCKET;
    }
    BOOL on = TRUE;
    ::setsockopt(end, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return end;
}

DWORD WINAPI BthSimGetPublished(GUID* classes, ULONG* channels, DWORD capacity) {
    Stack& stack = TheStack();
    std::lock_guard<std::recursive_mutex> lock(stack.lock);
    DWORD n = 0;
    for (const Published& service : stack.published) {
        if (n < capacity) {
            if (classes) classes[n] = service.serviceClass;
            if (channels) channels[n] = service.channel;
        }
        ++n;
    }
    return n;
}
