#pragma once
// The port to a device reached over TCP/IP. Open resolves the host, connects,
// runs the device's short text login when it offers one, then a send worker
// and a receive worker move bytes between the socket and the two streams.
#include "Shared/SocketWorkers.h"
#include "Shared/StreamPort.h"
#include "Shared/WorkerWake.h"

#include <basalt/Sockets.h>
#include <basalt/Threads.h>

#include <atomic>
#include <string>

namespace corvane {

class CTCPPort : public CStreamPort {
public:
    // Each step of the login dialogue waits this long for the device.
    static const DWORD dialogueTimeoutMs = 5000;
    static const DWORD defaultBufferSize = 0x10000;
    // The most one receive asks for, cut to the incoming stream's free room:
    // 1 KiB receives cap the port near a kernel round trip per KiB, far below
    // what loopback or a LAN carries.
    static constexpr DWORD receiveChunk = 0x10000;

    explicit CTCPPort(boost::shared_ptr<const IPortAddr> address);
    ~CTCPPort() override;

    bool IsOpen() const override;
    void Close() override;
    void Open() override;

private:
    sockaddr_in ResolveAddress(const basalt::ustring& host, const basalt::ustring& service) const;

    // The login dialogue, on the client's thread inside Open.
    void Auth(const basalt::ustring& password);
    void SyncSend(const basalt::ustring& text, DWORD limitMs);
    // Receives into text until it holds expected (ignoring letter case unless
    // exact); throws 1460 when limitMs pass first, 10061 when the peer closes.
    // The raw bytes are kept in m_dialogueBytes too.
    void SyncRecv(basalt::ustring& text, DWORD limitMs, const wchar_t* expected, bool exact);

    void SendThreadProcFn();
    void RecvThreadProcFn();
    // The received bytes less the reply line's line feed when it opens them.
    DWORD DropDueLineFeed(BYTE* area, DWORD received);
    // The worker loops on this port's socket, streams and records.
    CSocketWorkers Workers(HANDLE wake);
    // Stores a failure of a worker for the client's next call (eventError).
    void StoreWorkerError(const wchar_t* function);

    CWorkerPair m_workers;
    basalt::CWSASocket m_socket;
    basalt::COverlapped m_sendRecord;
    basalt::COverlapped m_recvRecord;
    // Bytes of the dialogue's current wait; after Auth, those that were not
    // part of the dialogue (the data of a device that asks for no login, or
    // what followed the reply line), handed to the incoming stream by Open.
    std::string m_dialogueBytes;
    // The reply line's carriage return ended the dialogue's last receive: its
    // line feed, when one comes, opens the receive worker's first receive.
    bool m_lineFeedDue = false;
};

// The factory of TCP ports, for IPort::CreateInstance; an empty pointer for
// an empty address.
boost::shared_ptr<IPort> CreateTCPPort(boost::shared_ptr<const IPortAddr> address);

}  // namespace corvane
