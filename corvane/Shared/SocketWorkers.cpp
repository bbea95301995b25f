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
    for (;;) {
        // Completions are taken in the order the sends started, so the
        // worker waits for the oldest only, and for none when none is in
        // flight. A record's event is never reset here: the socket clears it
        // as each send begins, as every overlapped operation does, and one
        // left set by a send that completed at once is not waited for.
        const HANDLE handles[3] = {p.stop, p.wake, m_slots[m_oldest].record.hEvent};
        DWORD woken = ::WaitForMultipleObjects(m_pending > 0 ? 3 : 2, handles, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0) {
            for (int i = 0; i < m_pending; ++i) CancelPending(m_slots[(m_oldest + i) % 2].record);
            return;
        }
        if (woken == WAIT_OBJECT_0 + 1) {
            // With both slots busy, the next completion drains what came meanwhile.
            SendQueued();
        } else if (woken == WAIT_OBJECT_0 + 2) {
            Completed(file);
        } else {
            throw basalt::CWinException(__LINE__, file, L"WaitForMultipleObjects", ::GetLastError());
        }
    }
}

void CSocketWorkers::Completed(const wchar_t* file) {
    CSendSlot& oldest = m_slots[m_oldest];
    DWORD sent = 0;
    p.socket.GetOverlappedResult(oldest.record, sent, true);
    oldest.bytes.Completed(sent);
    --m_pending;
    if (oldest.bytes.HasRest()) {
        // A stream socket ends an overlapped send when it took every byte or
        // failed; one that took part and reported success would leave the
        // next send's bytes ahead of its rest, so the byte order is lost.
        if (m_pending > 0) throw basalt::CWinException(__LINE__, file, L"WSASend", ERROR_INTERNAL_ERROR);
        // Alone, it goes on with its rest (SendQueued starts at m_oldest).
    } else {
        m_oldest = (m_oldest + 1) % 2;
    }
    // What the client queued meanwhile goes at once.
    SendQueued();
}

void CSocketWorkers::SendQueued() {
    while (m_pending < 2) {
        CSendSlot& slot = m_slots[(m_oldest + m_pending) % 2];
        bool pending = slot.bytes.WriteQueued(p.outgoing, p.stopping, [&](const BYTE* data, DWORD size, DWORD& sent) {
            return !p.socket.Send(data, size, sent, slot.record);  // true: its completion wakes us
        });
        // Nothing left pending: nothing is queued (or the port is closing).
        if (!pending) return;
        ++m_pending;
    }
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
