// The worker loops of the ports on stream sockets.
#include "Shared/SocketWorkers.h"

namespace corvane {

void CSocketWorkers::Receive(DWORD chunk, const wchar_t* file, const wchar_t* function, DWORD closedCode,
                             const Filter& filter) {
    const HANDLE handles[2] = {p.stop, p.recvRecord.hEvent};
    auto take = [&](BYTE* area, DWORD received) {
        p.incoming.EndFill(filter ? filter(area, received) : received);
    };
    for (;;) {
        // A device that sends without pause completes every receive at once,
        // so the stop is looked at here too; the flag spares a kernel call
        // per receive.
        if (p.stopping) return;
        // Only as much as the stream has room for: a client that reads slowly
        // leaves the rest in the socket, whose window holds the device back,
        // instead of the stream dropping it as an overflow.
        DWORD room = 0;
        BYTE* area = p.incoming.BeginFillRoom(chunk, 1, &room);
        if (!area) {
            if (!p.incoming.AwaitRoom(p.stop)) return;
            continue;
        }
        DWORD received = 0;
        if (p.socket.Recv(area, room, received, p.recvRecord)) {
            if (received == 0) throw basalt::CWinException(__LINE__, file, function, closedCode);
            take(area, received);
            continue;
        }
        DWORD woken = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0) {
            CancelPending(p.recvRecord);
            return;
        }
        if (woken != WAIT_OBJECT_0 + 1)
            throw basalt::CWinException(__LINE__, file, L"WaitForMultipleObjects", ::GetLastError());
        p.socket.GetOverlappedResult(p.recvRecord, received, true);
        // Zero bytes here is the peer's close; the next receive reports it at once.
        take(area, received);
    }
}

void CSocketWorkers::Send(const wchar_t* file) {
    // Bytes queued before the worker listened are sent all the same.
    if (p.outgoing.GetCount() > 0) ::SetEvent(p.wake);
    const HANDLE handles[3] = {p.stop, p.wake, p.sendRecord.hEvent};
    // Whether a send is pending. The bytes it carries have left the stream
    // already (a purge no longer reaches them).
    bool inFlight = false;
    for (;;) {
        DWORD woken = ::WaitForMultipleObjects(3, handles, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0) {
            if (inFlight) CancelPending(p.sendRecord);
            return;
        }
        if (woken == WAIT_OBJECT_0 + 1) {
            // Reset before draining: bytes queued from now on set it again.
            ::ResetEvent(p.wake);
            // With a send in flight, its completion drains what came meanwhile.
            if (!inFlight) inFlight = SendQueued();
        } else if (woken == WAIT_OBJECT_0 + 2) {
            ::ResetEvent(p.sendRecord.hEvent);
            // A completion already taken (a send that completed at once) leaves the event set.
            if (!inFlight) continue;
            DWORD sent = 0;
            p.socket.GetOverlappedResult(p.sendRecord, sent, true);
            m_inFlight.Completed(sent);
            // What the client queued meanwhile goes at once.
            inFlight = SendQueued();
        } else {
            throw basalt::CWinException(__LINE__, file, L"WaitForMultipleObjects", ::GetLastError());
        }
    }
}

bool CSocketWorkers::SendQueued() {
    return m_inFlight.WriteQueued(p.outgoing, p.stopping, [this](const BYTE* data, DWORD size, DWORD& sent) {
        if (!p.socket.Send(data, size, sent, p.sendRecord)) return true;  // its completion wakes us
        ::ResetEvent(p.sendRecord.hEvent);
        return false;
    });
}

void CSocketWorkers::CancelPending(WSAOVERLAPPED& record) {
    p.socket.Cancel(record);
    DWORD transferred = 0;
    try {
        p.socket.GetOverlappedResult(record, transferred, true);
    } catch (const basalt::CWinException&) {
        // Aborted, as asked: the port is closing and the bytes no longer matter.
    }
}

}  // namespace corvane
