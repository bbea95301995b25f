#pragma once
#include <basalt/Config.h>

namespace basalt {

// True for a dotted IPv4 address "a.b.c.d": four decimal parts of 0 to 255.
// Leading zeros are refused, because inet_addr would read "010" as octal.
BASALT_API bool IsValidIP(const wchar_t* text);

// Winsock 2.2 for the life of the object, for programs that use sockets
// without Corvane.dll (which starts Winsock when it is loaded).
class BASALT_API CWinsock {
public:
    CWinsock();  // throws CWinException "WSAStartup"
    ~CWinsock();
    CWinsock(const CWinsock&) = delete;
    CWinsock& operator=(const CWinsock&) = delete;
};

// The Winsock calls whose meaning depends on the socket's address family. A
// socket uses the system's own unless it is given another table; a stand-in
// for an address family the platform lacks answers these with ordinary
// sockets underneath, so that every other call (send, overlapped results,
// network events, close) stays the system's. The receive is among them so
// that a stand-in can report the errors of its family's links.
struct CSocketCalls {
    SOCKET(WSAAPI* socket)(int, int, int, LPWSAPROTOCOL_INFOW, GROUP, DWORD);
    int(WSAAPI* connect)(SOCKET, const sockaddr*, int, LPWSABUF, LPWSABUF, LPQOS, LPQOS);
    int(WSAAPI* bind)(SOCKET, const sockaddr*, int);
    int(WSAAPI* getsockname)(SOCKET, sockaddr*, int*);
    SOCKET(WSAAPI* accept)(SOCKET, sockaddr*, LPINT, LPCONDITIONPROC, DWORD_PTR);
    int(WSAAPI* recv)(SOCKET, LPWSABUF, DWORD, LPDWORD, LPDWORD, LPWSAOVERLAPPED, LPWSAOVERLAPPED_COMPLETION_ROUTINE);
};
BASALT_API const CSocketCalls& SystemSocketCalls();

// An owned Winsock socket. Every member copies one Winsock call; a failure
// throws CWinException carrying the Winsock function's name and
// WSAGetLastError(). The overlapped Send and Recv answer true when the
// operation completed at once (the count is then set) and false when it is
// pending (take its result with GetOverlappedResult).
class BASALT_API CWSASocket {
public:
    CWSASocket() = default;
    explicit CWSASocket(SOCKET socket, const CSocketCalls* calls = nullptr)
        : m_socket(socket), m_calls(calls) {}
    ~CWSASocket();
    CWSASocket(const CWSASocket&) = delete;
    CWSASocket& operator=(const CWSASocket&) = delete;
    CWSASocket(CWSASocket&& other) noexcept;
    CWSASocket& operator=(CWSASocket&& other) noexcept;

    bool IsCreated() const { return m_socket != INVALID_SOCKET; }
    SOCKET GetHandle() const { return m_socket; }
    // Gives up ownership; the object is then closed.
    SOCKET Detach();

    // The family calls of this socket from now on (null: the system's); a
    // socket it accepts inherits them.
    void UseCalls(const CSocketCalls* calls) noexcept { m_calls = calls; }

    // WSASocketW. A socket already held is closed first.
    void Create(int family, int type, int protocol, WSAPROTOCOL_INFOW* info = nullptr,
                GROUP group = 0, DWORD flags = WSA_FLAG_OVERLAPPED);
    // WSAConnect: blocks until the connection stands or fails.
    void ConnectLL(const sockaddr* name, int length, WSABUF* callerData = nullptr,
                   WSABUF* calleeData = nullptr, QOS* socketQos = nullptr, QOS* groupQos = nullptr);
    void BindLL(const sockaddr* name, int length);
    void Listen(int backlog = SOMAXCONN);
    // WSAAccept: blocks until a connection arrives (a socket in event-select
    // mode throws 10035 instead); address and length may be null. A connection
    // that the condition refused (WSAECONNREFUSED) or deferred (WSATRY_AGAIN)
    // answers an empty socket: it is the condition's verdict, not a failure of
    // the listening socket.
    CWSASocket AcceptLL(sockaddr* address = nullptr, int* length = nullptr,
                        LPCONDITIONPROC condition = nullptr, DWORD_PTR context = 0);

    bool Send(const void* data, DWORD size, DWORD& sent, WSAOVERLAPPED& overlapped);
    bool Recv(void* buffer, DWORD size, DWORD& received, WSAOVERLAPPED& overlapped);
    // WSAGetOverlappedResult. Without wait it answers false while the
    // operation is still in progress; with wait it blocks and answers true.
    bool GetOverlappedResult(WSAOVERLAPPED& overlapped, DWORD& transferred, bool wait = true);
    // CancelIoEx for one pending operation. False when it was not pending any
    // more. Either way its completion still comes and must be waited for
    // before the record or the buffer is reused.
    bool Cancel(WSAOVERLAPPED& overlapped);
    // select on this socket alone: read, write and error ask for the sets it is
    // put in. Answers the number of sets it is ready in, 0 when the time limit
    // (in milliseconds; INFINITE waits without one) passed first.
    int Select(bool read, bool write, bool error, DWORD timeoutMs);

    // WSAEventSelect: the network events given set the event.
    void EventSelect(WSAEVENT event, long events);
    // getsockname through the socket's family calls: the address the stack
    // assigned, in the family's own form.
    void GetSockNameLL(sockaddr* address, int* length) const;

    void Shutdown(int how);
    void SetOption(int level, int name, const void* value, int length);
    // getsockname; for an IPv4 socket the port in host order is PortOf(address).
    void GetSockName(sockaddr* address, int* length) const;
    static USHORT PortOf(const sockaddr_in& address) { return ntohs(address.sin_port); }

    // closesocket; harmless when nothing is held. Never throws: there is
    // nothing a caller could do about a socket that does not close.
    void Close() noexcept;

private:
    const CSocketCalls& Calls() const noexcept { return m_calls ? *m_calls : SystemSocketCalls(); }

    SOCKET m_socket = INVALID_SOCKET;
    const CSocketCalls* m_calls = nullptr;
    // WSARecv keeps the address of its flags until a pending receive completes.
    DWORD m_recvFlags = 0;
};

}  // namespace basalt
