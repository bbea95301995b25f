// The two workers on an open COM device, and the time-outs they run under.
#include "Shared/ComLine.h"
#include "Shared/WorkerWake.h"

#include <cmath>

namespace corvane {

namespace {
// The workers' errors name the serial driver, whose workers they are first.
const wchar_t kFile[] = L"Serial";

// Cancels a read or write of the device's and waits for its end, so that
// nothing writes into the record or the buffer afterwards.
void CancelAndWait(basalt::CCommPort& device, basalt::COverlapped& record) noexcept {
    try {
        device.CancelIo(&record);
        DWORD ignored = 0;
        device.GetOverlappedResult(&record, &ignored, true);
    } catch (const basalt::CStdException&) {
        // A cancelled operation ends in error.
    }
}

}  // namespace

namespace serial {

DWORD WriteTimeMs(DWORD baud, DWORD count) {
    if (baud == 0) return 0;
    return static_cast<DWORD>(std::ceil(double(count) * 1000.0 * 8.0 * 2.0 / double(baud)));
}

COMMTIMEOUTS PortTimeouts(DWORD baud) {
    COMMTIMEOUTS timeouts = {};
    timeouts.WriteTotalTimeoutMultiplier = WriteTimeMs(baud);
    timeouts.WriteTotalTimeoutConstant = writeTimeoutConstantMs;
    return timeouts;
}

CLine::CLine(std::unique_ptr<basalt::CCommPort> device, CPortStreams& streams)
    : stop(true, false),
      device(std::move(device)),
      waitEvents(0),
      outgoing(streams.outgoing),
      incoming(streams.incoming),
      purges(0) {}

}  // namespace serial

namespace {

// The receiving worker's steps, apart from its loop.
class CReceiver {
public:
    explicit CReceiver(serial::CLine& state) : s(state), waitPending(false), stopped(false) {}

    // What the events in the mask call for; the rest only woke the worker.
    void Handle(DWORD events) {
        if (events & EV_ERR) {
            DWORD errors = 0;
            s.device->ClearCommError(&errors, nullptr);
            if (errors & CE_BREAK) s.device->ClearCommBreak();
        }
        if (events & EV_RXCHAR) Receive();
        if (events & (EV_CTS | EV_DSR | EV_RLSD | EV_RING)) s.incoming.SetStatusWord(s.device->GetCommModemStatus());
    }

    // Close asked the worker to stop while it was reading.
    bool Stopped() const { return stopped; }

    // Reads what arrived between the last read and the start of the wait. A
    // wait for EV_RXCHAR need not end for bytes that came before it began
    // (seen under Wine at full speed: a transfer's last kilobytes sat in the
    // driver until more came, and the reader gave up on them). The wait
    // stays pending and ends on a later event; a read that then finds
    // nothing is harmless.
    void ReceiveArrivedBeforeWait() {
        if (waitPending) Receive();
    }

    // True when an event was ready at once (in s.waitEvents).
    bool StartWait() {
        s.waitRecord.Prepare();
        waitPending = !s.device->WaitCommEvent(&s.waitEvents, &s.waitRecord);
        return !waitPending;
    }

    void EndWait() {
        DWORD ignored = 0;
        waitPending = false;
        s.device->GetOverlappedResult(&s.waitRecord, &ignored, true);
    }

    // Leaves nothing pending behind the worker. Wine does not end a
    // WaitCommEvent that is cancelled; setting the mask ends it there as on
    // Windows, where the cancel alone does.
    void AbandonWait() noexcept {
        if (!waitPending) return;
        waitPending = false;
        try {
            s.device->CancelIo(&s.waitRecord);
            s.device->SetCommMask(serial::eventMask);
            DWORD ignored = 0;
            s.device->GetOverlappedResult(&s.waitRecord, &ignored, true);
        } catch (const basalt::CStdException&) {
            // Ended in error, as a cancelled wait does.
        }
    }

private:
    // Only what is queued already, so the read never waits for more; unless
    // a client's purge flushes those bytes under it. So the read is waited
    // for together with the stop event, and a read that fails across a purge
    // counts as flushed, not as a broken device (Wine fails it with 109).
    void Receive() {
        for (;;) {
            COMSTAT status = {};
            s.device->ClearCommError(nullptr, &status);
            DWORD queued = status.cbInQue;
            if (queued == 0) return;
            BYTE* buffer = s.incoming.BeginFill(queued);
            DWORD received = 0;
            s.readRecord.Prepare();
            const LONG purges = s.purges;
            try {
                if (!s.device->ReadFile(buffer, queued, &received, &s.readRecord) && !AwaitRead(received)) return;
            } catch (const basalt::CWinException&) {
                bool purged = s.purges != purges || (purges & 1);
                if (!purged) throw;
                // Bytes that came after the flush may have told their event
                // already: look again.
                continue;
            }
            s.readRecord.GetEvent().Reset();
            if (received) s.incoming.EndFill(received);
            return;
        }
    }

    // Waits for the pending read; false when the stop event came first, after
    // the read is cancelled.
    bool AwaitRead(DWORD& received) {
        const HANDLE handles[] = {s.stop.GetHandle(), s.readRecord.GetEventHandle()};
        DWORD woken = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0) {
            stopped = true;
            CancelAndWait(*s.device, s.readRecord);
            return false;
        }
        if (woken != WAIT_OBJECT_0 + 1)
            throw basalt::CWinException(__LINE__, kFile, L"WaitForMultipleObjects", ::GetLastError());
        s.device->GetOverlappedResult(&s.readRecord, &received, true);
        return true;
    }

    serial::CLine& s;
    bool waitPending;
    bool stopped;
};

}  // namespace

void serial::ReceiveLoop(CLine& s) {
    basalt::CThread::SetCurrentPriority(THREAD_PRIORITY_HIGHEST);
    CReceiver receiver(s);
    try {
        // EV_RING asks for the modem status: the client hears the lines at once.
        s.waitEvents = EV_RING;
        bool process = true;
        const HANDLE handles[] = {s.stop.GetHandle(), s.waitRecord.GetEventHandle()};
        for (;;) {
            while (process && !receiver.Stopped()) {
                receiver.Handle(s.waitEvents);
                process = !receiver.Stopped() && receiver.StartWait();
            }
            if (receiver.Stopped()) break;
            receiver.ReceiveArrivedBeforeWait();
            if (receiver.Stopped()) break;
            DWORD woken = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            if (woken == WAIT_OBJECT_0) break;
            if (woken != WAIT_OBJECT_0 + 1)
                throw basalt::CWinException(__LINE__, kFile, L"WaitForMultipleObjects", ::GetLastError());
            receiver.EndWait();
            process = true;
        }
    } catch (const basalt::CStdException& e) {
        s.incoming.SetError(e);
    }
    receiver.AbandonWait();
    s.incoming.Fire(eventTerminated);
}

namespace {

// The sending worker's state and steps, apart from its loop.
class CSender {
public:
    CSender(serial::CLine& state, const std::function<bool()>& tolerant, const wchar_t* stallFunction)
        : s(state),
          tolerant(tolerant),
          stallFunction(stallFunction),
          lastProgress(::GetTickCount()),
          fresh(true),
          writePending(false) {}

    bool IsWriting() const { return writePending; }

    // Hands the device all that is queued, again while writes complete at once.
    void Drain() {
        for (;;) {
            DWORD size = 0;
            BYTE* data = s.outgoing.BeginDrain(&size);
            if (!data) return;
            DWORD sent = 0;
            s.writeRecord.Prepare();
            if (!s.device->WriteFile(data, size, &sent, &s.writeRecord)) {
                writePending = true;
                return;
            }
            // Completed at once: the record's event is set all the same, and
            // must not report this write a second time.
            s.writeRecord.GetEvent().Reset();
            Finished(sent);
            if (sent == 0 || s.outgoing.GetCount() == 0) return;
        }
    }

    void WriteDone() {
        DWORD sent = 0;
        s.device->GetOverlappedResult(&s.writeRecord, &sent, true);
        s.writeRecord.GetEvent().Reset();
        writePending = false;
        Finished(sent);
    }

    void AbandonWrite() noexcept {
        if (!writePending) return;
        writePending = false;
        CancelAndWait(*s.device, s.writeRecord);
    }

private:
    // A write that moved nothing ended at its time-out: flow control holds
    // the output. After a second without progress the output gets one more
    // second; then it counts as stalled, unless the client tolerates that.
    void Finished(DWORD sent) {
        s.outgoing.EndDrain(sent);  // wakes the next drain while bytes remain
        DWORD now = ::GetTickCount();
        if (sent) {
            lastProgress = now;
            fresh = true;
            return;
        }
        if (now - lastProgress > 1000 && !(tolerant && tolerant())) {
            if (!fresh) throw basalt::CWinException(__LINE__, kFile, stallFunction, ERROR_WRITE_FAULT);
            lastProgress = now;
            fresh = false;
        }
        ::Sleep(10);
    }

    serial::CLine& s;
    const std::function<bool()>& tolerant;
    const wchar_t* stallFunction;
    DWORD lastProgress;
    bool fresh;
    bool writePending;
};

}  // namespace

void serial::SendLoop(CLine& s, const std::function<bool()>& tolerant, const wchar_t* stallFunction) {
    basalt::CThread::SetCurrentPriority(THREAD_PRIORITY_HIGHEST);
    // Each Send, and each drain that leaves bytes behind, sets this event.
    CWorkerWake wake;
    s.outgoing.SetWorkerNotice(wake.CreateNotice());
    CSender sender(s, tolerant, stallFunction);
    try {
        // Bytes a client queued while the port was opening.
        if (s.outgoing.GetCount()) wake.Set();
        const HANDLE handles[] = {s.stop.GetHandle(), wake.GetHandle(), s.writeRecord.GetEventHandle()};
        for (;;) {
            DWORD woken = ::WaitForMultipleObjects(3, handles, FALSE, INFINITE);
            if (woken == WAIT_OBJECT_0) break;
            if (woken == WAIT_OBJECT_0 + 1) {
                if (!sender.IsWriting()) sender.Drain();
            } else if (woken == WAIT_OBJECT_0 + 2) {
                if (sender.IsWriting())
                    sender.WriteDone();
                else
                    s.writeRecord.GetEvent().Reset();  // no write of ours to report
            } else {
                throw basalt::CWinException(__LINE__, kFile, L"WaitForMultipleObjects", ::GetLastError());
            }
        }
    } catch (const basalt::CStdException& e) {
        s.incoming.SetError(e);
    }
    sender.AbandonWrite();
    s.outgoing.SetWorkerNotice(boost::shared_ptr<INotice>());
}

}  // namespace corvane
