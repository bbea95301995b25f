#include <basalt/Exceptions.h>
#include <basalt/Sockets.h>

#include <utility>

namespace basalt {

namespace {

// The code is read here, at the failing call, before anything can overwrite it.
[[noreturn]] void ThrowWSAError(int line, const wchar_t* api) {
    DWORD code = static_cast<DWORD>(::WSAGetLastError());
    throw CWinException(line, L"Sockets", api, code);
}

}  // namespace

const CSocketCalls& SystemSocketCalls() {
    static const CSocketCalls calls = {::WSASocketW, ::WSAConnect, ::bind, ::getsockname, ::WSAAccept, ::WSARecv};
    return calls;
}

bool IsValidIP(const wchar_t* text) {
    if (!text) return false;
    int parts = 0;
    const wchar_t* p = text;
    for (;;) {
        int digits = 0;
        unsigned value = 0;
        const wchar_t* first = p;
        while (*p >= L'0' && *p <= L'9') {
            if (++digits > 3) return false;
            value = value * 10 + static_cast<unsigned>(*p - L'0');
            ++p;
        }
        if (digits == 0 || value > 255) return false;
        if (digits > 1 && *first == L'0') return false;
        ++parts;
        if (*p == L'\0') return parts == 4;
        if (*p != L'.' || parts == 4) return false;
        ++p;
    }
}

CWinsock::CWinsock() {
    WSADATA data;
    int result = ::WSAStartup(MAKEWORD(2, 2), &data);
    // WSAStartup answers its error instead of setting the last error.
    if (result != 0) throw CWinException(__LINE__, L"Sockets", L"WSAStartup", static_cast<DWORD>(result));
}

CWinsock::~CWinsock() { ::WSACleanup(); }

CWSASocket::~CWSASocket() { Close(); }

CWSASocket::CWSASocket(CWSASocket&& other) noexcept : m_calls(other.m_calls) { m_socket = other.Detach(); }

CWSASocket& CWSASocket::operator=(CWSASocket&& other) noexcept {
    if (this != &other) {
        Close();
        m_calls = other.m_calls;
        m_socket = other.Detach();
    }
    return *this;
}

SOCKET CWSASocket::Detach() { return std::exchange(m_socket, INVALID_SOCKET); }

void CWSASocket::Create(int family, int type, int protocol, WSAPROTOCOL_INFOW* info, GROUP group,
                        DWORD flags) {
    Close();
    SOCKET created = Calls().socket(family, type, protocol, info, group, flags);
    if (created == INVALID_SOCKET) ThrowWSAError(__LINE__, L"WSASocket");
    m_socket = created;
}

void CWSASocket::ConnectLL(const sockaddr* name, int length, WSABUF* callerData, WSABUF* calleeData,
                           QOS* socketQos, QOS* groupQos) {
    if (Calls().connect(m_socket, name, length, callerData, calleeData, socketQos, groupQos) == SOCKET_ERROR)
        ThrowWSAError(__LINE__, L"WSAConnect");
}

void CWSASocket::BindLL(const sockaddr* name, int length) {
    if (Calls().bind(m_socket, name, length) == SOCKET_ERROR) ThrowWSAError(__LINE__, L"bind");
}

void CWSASocket::Listen(int backlog) {
    if (::listen(m_socket, backlog) == SOCKET_ERROR) ThrowWSAError(__LINE__, L"listen");
}

CWSASocket CWSASocket::AcceptLL(sockaddr* address, int* length, LPCONDITIONPROC condition,
                                DWORD_PTR context) {
    SOCKET accepted = Calls().accept(m_socket, address, length, condition, context);
    if (accepted == INVALID_SOCKET) {
        int code = ::WSAGetLastError();
        if (code == WSAECONNREFUSED || code == WSATRY_AGAIN) return CWSASocket(INVALID_SOCKET, m_calls);
        ThrowWSAError(__LINE__, L"WSAAccept");
    }
    return CWSASocket(accepted, m_calls);
}

bool CWSASocket::Send(const void* data, DWORD size, DWORD& sent, WSAOVERLAPPED& overlapped) {
    WSABUF buffer;
    buffer.len = size;
    buffer.buf = static_cast<char*>(const_cast<void*>(data));
    DWORD count = 0;
    if (::WSASend(m_socket, &buffer, 1, &count, 0, &overlapped, nullptr) == 0) {
        sent = count;
        return true;
    }
    if (::WSAGetLastError() == WSA_IO_PENDING) return false;
    ThrowWSAError(__LINE__, L"WSASend");
}

bool CWSASocket::Recv(void* buffer, DWORD size, DWORD& received, WSAOVERLAPPED& overlapped) {
    WSABUF area;
    area.len = size;
    area.buf = static_cast<char*>(buffer);
    DWORD count = 0;
    m_recvFlags = 0;
    if (Calls().recv(m_socket, &area, 1, &count, &m_recvFlags, &overlapped, nullptr) == 0) {
        received = count;
        return true;
    }
    if (::WSAGetLastError() == WSA_IO_PENDING) return false;
    ThrowWSAError(__LINE__, L"WSARecv");
}

bool CWSASocket::GetOverlappedResult(WSAOVERLAPPED& overlapped, DWORD& transferred, bool wait) {
    DWORD count = 0;
    DWORD flags = 0;
    if (::WSAGetOverlappedResult(m_socket, &overlapped, &count, wait ? TRUE : FALSE, &flags)) {
        transferred = count;
        return true;
    }
    if (!wait && ::WSAGetLastError() == WSA_IO_INCOMPLETE) return false;
    ThrowWSAError(__LINE__, L"WSAGetOverlappedResult");
}

bool CWSASocket::Cancel(WSAOVERLAPPED& overlapped) {
    if (::CancelIoEx(reinterpret_cast<HANDLE>(m_socket), &overlapped)) return true;
    DWORD code = ::GetLastError();
    if (code == ERROR_NOT_FOUND) return false;
    throw CWinException(__LINE__, L"Sockets", L"CancelIoEx", code);
}

int CWSASocket::Select(bool read, bool write, bool error, DWORD timeoutMs) {
    fd_set sets[3];
    bool wanted[3] = {read, write, error};
    for (int i = 0; i < 3; ++i) {
        FD_ZERO(&sets[i]);
        if (wanted[i]) FD_SET(m_socket, &sets[i]);
    }
    timeval limit;
    limit.tv_sec = static_cast<long>(timeoutMs / 1000);
    limit.tv_usec = static_cast<long>((timeoutMs % 1000) * 1000);
    int result = ::select(0, read ? &sets[0] : nullptr, write ? &sets[1] : nullptr,
                          error ? &sets[2] : nullptr, timeoutMs == INFINITE ? nullptr : &limit);
    if (result == SOCKET_ERROR) ThrowWSAError(__LINE__, L"select");
    return result;
}

void CWSASocket::EventSelect(WSAEVENT event, long events) {
    if (::WSAEventSelect(m_socket, event, events) == SOCKET_ERROR) ThrowWSAError(__LINE__, L"WSAEventSelect");
}

void CWSASocket::GetSockNameLL(sockaddr* address, int* length) const {
    if (Calls().getsockname(m_socket, address, length) == SOCKET_ERROR) ThrowWSAError(__LINE__, L"getsockname");
}

void CWSASocket::Shutdown(int how) {
    if (::shutdown(m_socket, how) == SOCKET_ERROR) ThrowWSAError(__LINE__, L"shutdown");
}

void CWSASocket::SetOption(int level, int name, const void* value, int length) {
    if (::setsockopt(m_socket, level, name, static_cast<const char*>(value), length) == SOCKET_ERROR)
        ThrowWSAError(__LINE__, L"setsockopt");
}

void CWSASocket::GetSockName(sockaddr* address, int* length) const {
    if (::getsockname(m_socket, address, length) == SOCKET_ERROR) ThrowWSAError(__LINE__, L"getsockname");
}

void CWSASocket::Close() noexcept {
    if (m_socket != INVALID_SOCKET) ::closesocket(std::exchange(m_socket, INVALID_SOCKET));
}

}  // namespace basalt
