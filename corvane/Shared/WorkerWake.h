#pragma once
// The wake-up of a send worker: the outgoing stream's worker notice sets it
// whenever the client queues bytes for an idle worker.
//
// Its event resets itself: the wait that returns for it has cleared it, so
// bytes queued from then on set it again, and the worker goes straight to
// its transport. A manual-reset event would cost a kernel call to reset on
// every wake, on the way of every byte the client sends.
#include "Notices.h"

#include <basalt/Sync.h>

namespace corvane {

class CWorkerWake {
public:
    CWorkerWake() : m_event(false, false), m_record{} { m_record.hEvent = m_event.GetHandle(); }
    CWorkerWake(const CWorkerWake&) = delete;  // its notice holds the record's address
    CWorkerWake& operator=(const CWorkerWake&) = delete;

    // For the stream's SetWorkerNotice.
    boost::shared_ptr<INotice> CreateNotice() { return boost::shared_ptr<INotice>(new CNoticeOvl(m_record)); }
    HANDLE GetHandle() const noexcept { return m_event.GetHandle(); }
    // For bytes queued before the worker listened.
    void Set() { m_event.Set(); }
    // Forgets a wake left from an earlier session of the port.
    void Clear() { m_event.Reset(); }

private:
    basalt::CEvent m_event;
    OVERLAPPED m_record;
};

}  // namespace corvane
