#include "TCP.h"

#include <algorithm>
#include <cstring>

namespace corvane {

namespace {

const wchar_t kFile[] = L"TCP";
// The device's greeting ends with this; prompts and reply follow it.
const wchar_t kGreetingEnd[] = L"}}\r\n";

[[noreturn]] void Fail(int line, const wchar_t* function, DWORD code) {
    throw basalt::CWinException(line, kFile, function, code);
}

// UTF-8 bytes of one receive, NULs included; a sequence cut between two
// receives decodes as two replacement characters.
basalt::ustring DecodeUtf8(const char* bytes, DWORD count) {
    if (count == 0) return basalt::ustring();
    int length = ::MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(count), nullptr, 0);
    basalt::ustring text(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) ::MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(count), &text[0], length);
    return text;
}

}  // namespace

CTCPPort::CTCPPort(boost::shared_ptr<const IPortAddr> address)
    : CStreamPort(address,
                  {kFile, L"CTCPPort::Send", L"CTCPPort::Recv", CTCPPort::defaultBufferSize,
                   CTCPPort::defaultBufferSize, CPortStreamRules::zeroIsDefault, CPortStreamRules::errorsInIncoming}) {}

CTCPPort::~CTCPPort() { CloseQuietly(); }

bool CTCPPort::IsOpen() const { return m_socket.IsCreated(); }

void CTCPPort::Close() {
    m_workers.Stop();
    m_socket.Close();
    m_streams.Reset();
}

void CTCPPort::Open() {
    Close();
    if (!m_address) Fail(__LINE__, L"CTCPPort::Open", ERROR_INVALID_PARAMETER);
    try {
        basalt::ustring host(m_address->GetPhysicalName());
        basalt::ustring service(m_address->GetService());
        m_workers.Rearm();
        m_sendRecord.Prepare();
        m_recvRecord.Prepare();

        m_socket.Create(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        sockaddr_in peer = ResolveAddress(host, service);
        m_socket.ConnectLL(reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
        Auth(basalt::ustring(m_address->GetPassword()));
        // What the dialogue received beyond its own texts is the device's data.
        if (!m_dialogueBytes.empty()) {
            DWORD count = static_cast<DWORD>(m_dialogueBytes.size());
            std::memcpy(m_streams.incoming.BeginFill(count), m_dialogueBytes.data(), count);
            m_streams.incoming.EndFill(count);
            m_dialogueBytes.clear();
        }

        // The dialogue's operations completed with their events set.
        m_sendRecord.Prepare();
        m_recvRecord.Prepare();
        m_workers.Start<CTCPPort, &CTCPPort::SendThreadProcFn, &CTCPPort::RecvThreadProcFn>(this);
    } catch (...) {
        Close();
        throw;
    }
}

sockaddr_in CTCPPort::ResolveAddress(const basalt::ustring& host, const basalt::ustring& service) const {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(_wtoi(service.c_str())));
    std::string name = host.ToCodePage(CP_UTF8);
    if (basalt::IsValidIP(host.c_str())) {
        address.sin_addr.s_addr = inet_addr(name.c_str());
        return address;
    }
    // gethostbyname reads an empty name as this machine: no address names nothing.
    if (name.empty()) Fail(__LINE__, L"gethostbyname", WSAHOST_NOT_FOUND);
    const hostent* entry = gethostbyname(name.c_str());
    if (!entry) Fail(__LINE__, L"gethostbyname", static_cast<DWORD>(WSAGetLastError()));
    // Only IPv4 fits the socket; a name without such an address has no data for it.
    if (entry->h_addrtype != AF_INET || entry->h_length != sizeof(in_addr) || !entry->h_addr_list ||
        !entry->h_addr_list[0])
        Fail(__LINE__, L"gethostbyname", WSANO_DATA);
    std::memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof(in_addr));
    return address;
}

// ---------------------------------------------------------------------------
// The login dialogue

void CTCPPort::Auth(const basalt::ustring& password) {
    basalt::ustring text;
    m_dialogueBytes.clear();
    m_lineFeedDue = false;
    try {
        SyncRecv(text, dialogueTimeoutMs, kGreetingEnd, false);
    } catch (const basalt::CWinException& e) {
        // A device that does not greet asks for no login: the port opens as it
        // is, and what the device sent meanwhile is its data.
        if (e.GetErrorCode() == ERROR_TIMEOUT) return;
        throw;
    }
    text.erase(0, text.find(kGreetingEnd) + std::wcslen(kGreetingEnd));
    SyncRecv(text, dialogueTimeoutMs, L"Login:", false);
    // A TCP address has no login name: the device takes an empty line.
    SyncSend(L"\r\n", dialogueTimeoutMs);

    text.clear();
    m_dialogueBytes.clear();
    SyncRecv(text, dialogueTimeoutMs, L"Password:", false);
    basalt::ustring line;
    SyncSend(line.sprintf(L"%s\r\n", password.c_str()), dialogueTimeoutMs);

    text.clear();
    m_dialogueBytes.clear();
    SyncRecv(text, dialogueTimeoutMs, L"\r", false);
    basalt::ustring reply(text.substr(0, text.find(L'\r')));
    if (reply.compare(0, 2, L"RE") == 0) {
        // Data the device sent right behind its reply line came in the same
        // receive and is kept; the line's own line feed is not data.
        size_t end = m_dialogueBytes.find('\r') + 1;
        // No waiting for a line feed that may trail in a later packet: the
        // receive worker drops it from the front of its first receive.
        m_lineFeedDue = end == m_dialogueBytes.size();
        if (end < m_dialogueBytes.size() && m_dialogueBytes[end] == '\n') ++end;
        m_dialogueBytes.erase(0, end);
        return;
    }
    m_dialogueBytes.clear();
    const wchar_t* message = reply.compareNoCase(L"login incorrect") == 0 ? L"Invalid password." : reply.c_str();
    throw basalt::CCommException(__LINE__, kFile, L"CTCPPort::Auth", message, L"Receiver");
}

void CTCPPort::SyncSend(const basalt::ustring& text, DWORD limitMs) {
    std::string bytes = text.ToCodePage(CP_UTF8);
    DWORD start = ::GetTickCount();
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD sent = 0;
        if (!m_socket.Send(bytes.data() + done, static_cast<DWORD>(bytes.size() - done), sent, m_sendRecord))
            m_socket.GetOverlappedResult(m_sendRecord, sent, true);
        done += sent;
        if (done < bytes.size() && ::GetTickCount() - start >= limitMs)
            Fail(__LINE__, L"CTCPPort::SyncSend", ERROR_TIMEOUT);
    }
}

void CTCPPort::SyncRecv(basalt::ustring& text, DWORD limitMs, const wchar_t* expected, bool exact) {
    DWORD start = ::GetTickCount();
    basalt::ustring wanted(expected);
    if (!exact) wanted.strupr();
    char buffer[1024];
    // Only the new text is looked at, with enough of the old before it for a
    // match split between two receives: a chatty device costs no more per receive.
    size_t searched = 0;
    for (;;) {
        size_t from = searched >= wanted.size() ? searched - wanted.size() + 1 : 0;
        basalt::ustring tail(text.substr(from));
        if (!exact) tail.strupr();
        if (tail.find(wanted) != basalt::ustring::npos) return;
        searched = text.size();
        DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= limitMs) Fail(__LINE__, L"CTCPPort::SyncRecv", ERROR_TIMEOUT);
        // The bytes are kept for the incoming stream, and no more than it
        // holds: the rest stays in the socket, whose window holds the device
        // back, as the receive worker does once the stream is full.
        size_t capacity = m_streams.incoming.GetCapacity();
        DWORD room =
            static_cast<DWORD>(std::min<size_t>(sizeof buffer, capacity - std::min(capacity, m_dialogueBytes.size())));
        if (room == 0) {
            ::Sleep(limitMs - elapsed);
            continue;
        }
        if (m_socket.Select(true, false, false, limitMs - elapsed) == 0) continue;
        DWORD received = 0;
        if (!m_socket.Recv(buffer, room, received, m_recvRecord))
            m_socket.GetOverlappedResult(m_recvRecord, received, true);
        // The device hung up in the middle of the dialogue.
        if (received == 0) Fail(__LINE__, L"CTCPPort::SyncRecv", WSAECONNREFUSED);
        m_dialogueBytes.append(buffer, received);
        text += DecodeUtf8(buffer, received);
    }
}

// ---------------------------------------------------------------------------
// The workers

CSocketWorkers CTCPPort::Workers(HANDLE wake) {
    return CSocketWorkers({m_socket, m_streams.incoming, m_streams.outgoing, m_workers.stop.GetHandle(),
                           m_workers.stopping, m_recvRecord, m_sendRecord, wake});
}

void CTCPPort::RecvThreadProcFn() {
    try {
        basalt::CThread::SetCurrentPriority(THREAD_PRIORITY_HIGHEST);
        Workers(nullptr).Receive(receiveChunk, kFile, L"CTCPPort::RecvThreadProcFn", ERROR_GRACEFUL_DISCONNECT,
                                 [this](BYTE* area, DWORD received) { return DropDueLineFeed(area, received); });
    } catch (const basalt::CStdException& e) {
        m_streams.incoming.SetError(e);
    } catch (...) {
        StoreWorkerError(L"CTCPPort::RecvThreadProcFn");
    }
    m_streams.incoming.Fire(eventTerminated);
}

DWORD CTCPPort::DropDueLineFeed(BYTE* area, DWORD received) {
    if (!m_lineFeedDue || received == 0) return received;
    m_lineFeedDue = false;
    if (area[0] != '\n') return received;
    std::memmove(area, area + 1, --received);
    return received;
}

void CTCPPort::SendThreadProcFn() {
    // The worker wakes on its own event, which the outgoing stream sets
    // through its worker notice whenever bytes are queued.
    CWorkerWake wake;
    try {
        basalt::CThread::SetCurrentPriority(THREAD_PRIORITY_HIGHEST);
        m_streams.outgoing.SetWorkerNotice(wake.CreateNotice());
        Workers(wake.GetHandle()).Send(kFile);
    } catch (const basalt::CStdException& e) {
        m_streams.incoming.SetError(e);
    } catch (...) {
        StoreWorkerError(L"CTCPPort::SendThreadProcFn");
    }
    m_streams.outgoing.SetWorkerNotice(boost::shared_ptr<INotice>());
}

void CTCPPort::StoreWorkerError(const wchar_t* function) {
    try {
        m_streams.incoming.SetError(basalt::CWinException(__LINE__, kFile, function, ERROR_INTERNAL_ERROR));
    } catch (...) {
        // Nothing is left to report with; the worker ends all the same.
    }
}

boost::shared_ptr<IPort> CreateTCPPort(boost::shared_ptr<const IPortAddr> address) {
    if (!address) return boost::shared_ptr<IPort>();
    return boost::shared_ptr<IPort>(new CTCPPort(address));
}

}  // namespace corvane
