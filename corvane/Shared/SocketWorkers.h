#pragma once
// The two worker loops of a port whose device is a connected stream socket:
// the TCP port and the classic Bluetooth (RFCOMM) port share them. The port
// owns everything they use; its worker procedures raise their priority, call
// a loop, and store what it throws.
#include "Shared/BytesInFlight.h"

#include <basalt/Sockets.h>
#include <basalt/Sync.h>

#include <atomic>
#include <functional>
#include <vector>

namespace corvane {

class CSocketWorkers {
public:
    struct CParts {
        basalt::CWSASocket& socket;
        CStreamIncoming& incoming;
        CStreamOutgoing& outgoing;
        HANDLE stop;                        // set by Close
        const std::atomic<bool>& stopping;  // set with stop: a busy receive loop looks at it
        WSAOVERLAPPED& recvRecord;          // its hEvent an event of its own
        WSAOVERLAPPED& sendRecord;
        HANDLE wake;  // a CWorkerWake's: set when bytes are queued, cleared by the wait that sees it
    };
    // What a receive hands the incoming stream: the bytes received, with the
    // port's own adjustment (the count it leaves).
    typedef std::function<DWORD(BYTE* area, DWORD received)> Filter;

    explicit CSocketWorkers(const CParts& parts)
        : p(parts), m_slots{CSendSlot(p.sendRecord), CSendSlot(m_secondRecord)} {}

    // Receives into the incoming stream's free room, at most chunk bytes at a
    // time, until the stop event; with the stream full it waits for the client
    // to make room and receives nothing meanwhile. Returns at the stop, after
    // cancelling the pending receive. The peer's
    // close throws CWinException(file, function, closedCode); failures of the
    // socket throw as they come.
    void Receive(DWORD chunk, const wchar_t* file, const wchar_t* function, DWORD closedCode,
                 const Filter& filter = Filter());
    // Sends what the outgoing stream queues until the stop event, with up to
    // two sends in flight: the socket goes on with the second while the
    // worker wakes for the first's completion and stages the next. Failures
    // throw, a failed wait with the port's file name.
    void Send(const wchar_t* file);

private:
    // One send in flight: its record and the bytes it carries.
    struct CSendSlot {
        WSAOVERLAPPED& record;
        CBytesInFlight bytes;
        explicit CSendSlot(WSAOVERLAPPED& r) : record(r) {}
    };

    // Starts sends of what is queued until both slots hold one or nothing is
    // left; a slot whose send went only in part goes on with its rest first.
    void SendQueued();
    // The oldest send completed: takes its result, then starts what follows.
    void Completed(const wchar_t* file);
    // A loop leaving while its operation is pending cancels it and waits for
    // its end, so that nothing writes into the record or the stream's staging
    // buffer once the worker is gone.
    void CancelPending(WSAOVERLAPPED& record);

    CParts p;
    basalt::CWSAOverlapped m_secondRecord;
    CSendSlot m_slots[2];
    int m_oldest = 0;   // the slot whose send completes next
    int m_pending = 0;  // how many sends are in flight, from m_oldest on
};

}  // namespace corvane
