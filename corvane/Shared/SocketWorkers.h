#pragma once
// The two worker loops of a port whose device is a connected stream socket:
// the TCP port and the classic Bluetooth (RFCOMM) port share them. The port
// owns everything they use; its worker procedures raise their priority, call
// a loop, and store what it throws.
#include "Shared/BytesInFlight.h"

#include <basalt/Sockets.h>

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
        HANDLE wake;  // set by the outgoing stream's worker notice when bytes are queued
    };
    // What a receive hands the incoming stream: the bytes received, with the
    // port's own adjustment (the count it leaves).
    typedef std::function<DWORD(BYTE* area, DWORD received)> Filter;

    explicit CSocketWorkers(const CParts& parts) : p(parts) {}

    // Receives into the incoming stream's free room, at most chunk bytes at a
    // time, until the stop event; with the stream full it waits for the client
    // to make room and receives nothing meanwhile. Returns at the stop, after
    // cancelling the pending receive. The peer's
    // close throws CWinException(file, function, closedCode); failures of the
    // socket throw as they come.
    void Receive(DWORD chunk, const wchar_t* file, const wchar_t* function, DWORD closedCode,
                 const Filter& filter = Filter());
    // Sends what the outgoing stream queues until the stop event; failures
    // throw, a failed wait with the port's file name.
    void Send(const wchar_t* file);

private:
    // Hands what is queued to overlapped sends (see CBytesInFlight); true
    // when a send is left pending.
    bool SendQueued();
    // A loop leaving while its operation is pending cancels it and waits for
    // its end, so that nothing writes into the record or the stream's staging
    // buffer once the worker is gone.
    void CancelPending(WSAOVERLAPPED& record);

    CParts p;
    CBytesInFlight m_inFlight;
};

}  // namespace corvane
