#pragma once
// The two workers on an open COM device, shared by every driver that moves
// bytes over a COM port: the serial port, and the virtual COM ports of a
// Bluetooth stack. They run under the time-outs given here.
#include "Shared/StreamPort.h"

#include <basalt/Threads.h>

#include <functional>
#include <memory>

namespace corvane {

namespace serial {

// Every event except EV_TXEMPTY: data, errors, breaks and each modem line.
const DWORD eventMask = EV_RXCHAR | EV_RXFLAG | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR |
                        EV_RING | EV_PERR | EV_RX80FULL;
const DWORD writeTimeoutConstantMs = 100;

// Milliseconds that count bytes take at baud, allowing twice the time of 8
// bits each: ceil(count * 16000 / baud); 0 for baud 0.
DWORD WriteTimeMs(DWORD baud, DWORD count = 1);
// No read time-outs (reads ask only for what is queued); writes may take
// their per-byte time plus a constant, so that a held output ends the write.
COMMTIMEOUTS PortTimeouts(DWORD baud);

struct CLine {
    // The workers move bytes between the device and the streams of its owner.
    CLine(std::unique_ptr<basalt::CCommPort> device, CPortStreams& streams);

    basalt::CEvent stop;
    std::unique_ptr<basalt::CCommPort> device;
    basalt::COverlapped waitRecord;
    basalt::COverlapped writeRecord;
    basalt::COverlapped readRecord;
    // Where WaitCommEvent puts the events: it belongs to the operation, not
    // to the worker's stack, since the operation can end after the worker.
    DWORD waitEvents;
    CStreamOutgoing& outgoing;
    CStreamIncoming& incoming;  // also the modem status word and every worker's error
    // Twice the client purges of the input so far, odd during one: a read
    // that fails across a purge was flushed, not broken.
    volatile LONG purges;
};

// The receiving worker: runs until the stop event; stores its failure in the
// incoming stream and fires eventTerminated when it ends.
void ReceiveLoop(CLine& line);
// The sending worker: runs until the stop event; stores its failure in the
// incoming stream. An output without progress for two seconds fails with
// ERROR_WRITE_FAULT in stallFunction unless tolerant (may be empty) says so.
void SendLoop(CLine& line, const std::function<bool()>& tolerant, const wchar_t* stallFunction);

}  // namespace serial

}  // namespace corvane
