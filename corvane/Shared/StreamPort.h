#pragma once
// What every port does with its two streams, written once: notices on both
// streams, their sizes, purging, and Send and Recv with their checks. A port
// keeps only what is its own: opening, closing, its workers and settings.
//
// CPortStreams is the plumbing itself, usable by any port class; the serial
// port, whose class is public, forwards to it. CStreamPort is the internal
// base of the other ports: it answers the interface's stream operations and
// the ones a port without settings answers the same way.
#include "Streams.h"

#include <CorvaneAux/Escape.h>
#include <basalt/Threads.h>

#include <atomic>

namespace corvane {

// How one port class fills the stream operations.
struct CPortStreamRules {
    const wchar_t* file;          // the source its exceptions name
    const wchar_t* sendFunction;  // the function strings of its closed-port errors
    const wchar_t* recvFunction;
    DWORD defaultIncoming;
    DWORD defaultOutgoing;
    // SetBufferSize: what a size below the default means.
    enum ESizes {
        zeroIsDefault,  // only 0 stands for the default; any other size is taken
        defaultIsFloor  // a size below the default is raised to it
    } sizes;
    // Where the workers store their errors: Send re-raises those of the
    // incoming stream before queuing; the outgoing stream's own are
    // re-raised by its Write in any case.
    enum EErrors { errorsInOwnStream, errorsInIncoming } errors;
};

class CPortStreams {
public:
    explicit CPortStreams(const CPortStreamRules& rules);
    CPortStreams(const CPortStreams&) = delete;
    CPortStreams& operator=(const CPortStreams&) = delete;

    // On the incoming stream, then on the outgoing stream only if that worked.
    bool RegisterNotice(boost::shared_ptr<INotice> notice, EEventType type);
    bool DeregisterNotice(boost::shared_ptr<INotice> notice, EEventType type);
    void SetBufferSize(DWORD incoming, DWORD outgoing);
    void GetBufferSize(DWORD* incoming, DWORD* outgoing) const;
    // PURGE_TXCLEAR empties the outgoing stream, PURGE_RXCLEAR the incoming one.
    void Purge(DWORD flags);
    // open says whether the port carries bytes now: a closed port throws 6,
    // null data with a size 87, both under the port's function string.
    DWORD Send(bool open, const void* data, DWORD size);
    DWORD Recv(bool open, void* buffer, DWORD size);
    // Both streams back to a new stream's state, registrations kept.
    void Reset();

    CStreamIncoming incoming;
    CStreamOutgoing outgoing;

private:
    [[noreturn]] void Fail(int line, const wchar_t* function, DWORD code) const;

    const CPortStreamRules m_rules;
};

class CStreamPort : public IPort {
public:
    bool RegisterNotice(boost::shared_ptr<INotice> notice, EEventType type) override;
    bool DeregisterNotice(boost::shared_ptr<INotice> notice, EEventType type) override;
    void SetBufferSize(DWORD incoming, DWORD outgoing) override;
    void GetBufferSize(DWORD* incoming, DWORD* outgoing) override;
    void Purge(DWORD flags) override;
    DWORD Send(const void* data, DWORD size) override;
    DWORD Recv(void* buffer, DWORD size) override;

    boost::shared_ptr<const IPortAddr> GetAddress() const override;
    // The port's escape functions (none unless the port registers some).
    boost::shared_ptr<IPropertySet> Escape(const wchar_t* name, boost::shared_ptr<IPropertySet> args) override;
    // A port without controls, settings or status: false, empty, ignored, empty.
    bool IoControl(DWORD code, DWORD* value) override;
    boost::shared_ptr<IPropertySet> GetSettings() override;
    void SetSettings(boost::shared_ptr<IPropertySet> settings) override;
    boost::shared_ptr<IPropertySet> GetStatus() override;

protected:
    CStreamPort(boost::shared_ptr<const IPortAddr> address, const CPortStreamRules& rules);
    CStreamPort(const CStreamPort&) = delete;
    CStreamPort& operator=(const CStreamPort&) = delete;

    // For the port's destructor, which has no one to tell of a failure: Close,
    // which stops what it can before it throws.
    void CloseQuietly() noexcept;

    // Whether Send and Recv may use the streams: IsOpen, unless the port
    // can tell it more cheaply or without a lock that Open holds.
    virtual bool CarriesBytes() const { return IsOpen(); }

    boost::shared_ptr<const IPortAddr> m_address;
    CPortStreams m_streams;
    CEscapeFunctionManager<CEscapeFunction> m_escapes;
};

// A worker thread of a port running the member function Fn of port, e.g.
//     m_worker = StartWorker<CBluetoothSmartPort, &CBluetoothSmartPort::ThreadProcFn>(this);
template <class T, void (T::*Fn)()>
DWORD WINAPI WorkerEntry(void* object) {
    (static_cast<T*>(object)->*Fn)();
    return 0;
}
template <class T, void (T::*Fn)()>
basalt::CThread StartWorker(T* port) {
    return basalt::CThread::Create(&WorkerEntry<T, Fn>, port);
}

// The send and receive workers of a port, and how they are told to end.
class CWorkerPair {
public:
    CWorkerPair() : stop(true, false) {}

    // Before the workers start: the stop event cleared.
    void Rearm() {
        stop.Reset();
        stopping = false;
    }
    template <class T, void (T::*SendFn)(), void (T::*RecvFn)()>
    void Start(T* port) {
        sendThread = StartWorker<T, SendFn>(port);
        recvThread = StartWorker<T, RecvFn>(port);
    }
    // Tells both to end and waits for each, without a time limit; harmless
    // when none runs.
    void Stop() {
        stopping = true;
        stop.Set();
        sendThread.Join();
        recvThread.Join();
    }

    basalt::CEvent stop;                // manual reset: the workers end when it is set
    std::atomic<bool> stopping{false};  // set with stop, for a busy loop between its waits
    basalt::CThread sendThread;
    basalt::CThread recvThread;
};

}  // namespace corvane
