#pragma once
// The two byte streams of every port, between the client's Send and Recv and
// the port's workers. A stream is a bounded ring with its own lock and
// notifier: each change of fill level is fired as an event while the lock is
// held, from the thread that made the change.
//
// Worker side, without holding the lock during the slow device call:
//     receive:  BYTE* p = in.BeginFill(n);  <read up to n bytes into p>;  in.EndFill(got);
//     send:     DWORD n; BYTE* p = out.BeginDrain(&n);  <write p[0..n)>;  out.EndDrain(sent);
// The pointer stays valid until the matching End call, whatever the client does
// to the stream meanwhile; each stream has one worker, the only user of it.
// Where the bytes fit in one piece, the pointer is into the ring itself, so
// that they are copied once between the device and the client; else into a
// staging buffer.
#include "Notices.h"

#include <vector>

namespace corvane {

// A bounded ring of bytes: the arithmetic only, no lock and no events. The
// oldest byte is at the start; data wraps at the capacity. Copies are at most
// two pieces; only the constructor and Resize allocate.
class CByteRing {
public:
    explicit CByteRing(DWORD capacity = 0);

    DWORD GetCapacity() const { return static_cast<DWORD>(m_data.size()); }
    DWORD GetCount() const { return m_count; }
    DWORD GetFree() const { return GetCapacity() - m_count; }

    // The free room where the next Append would write, and in *length how
    // much of it runs on in one piece: a worker may fill it in place, then Commit.
    BYTE* GetWriteRun(DWORD* length);
    // Takes size bytes written in place at GetWriteRun's pointer (no more than
    // the free room); returns that number.
    DWORD Commit(DWORD size);
    // The oldest byte, and in *length how many run on from it in one piece.
    BYTE* GetReadRun(DWORD* length);

    // While lent, a worker writes or reads the ring's memory through a
    // pointer of the two above, outside any lock: Remove and Clear keep the
    // place of the next Append instead of starting over at 0. Resize and
    // Renew end the loan and move the old memory into *lentMemory, which then
    // stays valid for the worker.
    void Lend() { m_lent = true; }
    void Reclaim();

    // Appends as many of the size bytes as there is room for; returns that number.
    DWORD Append(const BYTE* data, DWORD size);
    // Copies up to size of the oldest bytes without removing them; returns the number copied.
    DWORD CopyOut(BYTE* buffer, DWORD size) const;
    // Drops up to size of the oldest bytes; returns the number dropped.
    DWORD Remove(DWORD size);
    // New capacity; keeps the oldest min(count, capacity) bytes in order.
    void Resize(DWORD capacity, std::vector<BYTE>* lentMemory = nullptr);
    void Clear();
    // Empty, in fresh memory of the same capacity.
    void Renew(std::vector<BYTE>* lentMemory);

private:
    std::vector<BYTE> m_data;
    DWORD m_start;
    DWORD m_count;
    bool m_lent;
};

// What both directions share: the ring, the staging buffer the worker uses
// outside the lock, the line status word and the error a worker stored.
class CStreamBase : public CNotifier {
public:
    explicit CStreamBase(DWORD capacity);

    DWORD GetCount() const;
    DWORD GetCapacity() const;
    // Never below the bytes held (and the room a fill under way reserved),
    // so that none is lost.
    void SetCapacity(DWORD requested);

    // The line status a receiving worker saw (serial: the modem status bits);
    // setting it fires eventStateChanged.
    void SetStatusWord(DWORD status);
    DWORD GetStatusWord() const;

    // Keeps a copy of what a worker caught, replacing any earlier one, and
    // fires eventError. Read or Write then re-raise it until Reset.
    void SetError(const basalt::CStdException& error);
    bool HasError() const;
    // Re-raises the stored error as the object the worker met; nothing when none.
    void ThrowError() const;

    // Back to a new stream's state, the capacity kept: empty, no staged
    // operation, status 0, no error; the registrations go too if dropNotices.
    // Fires nothing.
    void Reset(bool dropNotices);
    // Empties the stream on the client's request and fires the direction's event.
    virtual void Clear() = 0;

protected:
    // Where the bytes of the worker's operation under way are.
    enum EPlace {
        placeNone,
        placeStaging,  // the staging buffer
        placeRing,     // the ring's own memory, lent to the worker
        placeRetired,  // memory the ring had when the operation began, kept until its end
    };

    // All with the lock held.
    void ThrowErrorLocked() const;
    // Grows the staging buffer to at least size; it never shrinks, so a worker
    // that keeps to its usual sizes causes no allocation.
    BYTE* Stage(DWORD size);
    // The ring's own memory at area for an operation of size bytes: the
    // worker fills or drains it in place, one copy fewer than through staging.
    BYTE* LendRing(BYTE* area, DWORD size);
    // After the worker's operation: the ring's memory is its own again.
    void EndOperation();
    // Told when the ring's free room may have grown.
    virtual void RoomMadeLocked() {}

    DWORD m_statusWord;
    DWORD m_stagedLength;  // bytes of the operation under way
    DWORD m_reserved;      // room of the ring promised to a flow-controlled fill under way
    EPlace m_place;
    BYTE* m_area;                 // the worker's bytes of the operation under way
    std::vector<BYTE> m_retired;  // see placeRetired
    boost::shared_ptr<const basalt::CStdException> m_error;
    std::vector<BYTE> m_staging;
    CByteRing m_ring;
};

// Filled by the receiving worker, emptied by the client.
class CStreamIncoming : public CStreamBase {
public:
    explicit CStreamIncoming(DWORD capacity);

    // Empties the ring and fires eventIncomingEmpty. A fill under way still lands.
    void Clear() override;
    // With no buffer or size 0 answers the count; else moves up to size bytes
    // out and fires eventDataAvailable if bytes remain, eventIncomingEmpty if
    // none. Returns the number moved. A stored error is re-raised only once
    // the ring is empty: the bytes a device sent before the connection broke
    // (its last words before closing) are handed out first.
    DWORD Read(void* buffer, DWORD size);
    // A buffer of at least size bytes for the worker to receive into.
    BYTE* BeginFill(DWORD size);
    // Takes up to received bytes of the fill into the ring, as many as fit:
    // eventDataAvailable when any was taken, then eventIncomingOverflow when
    // some were dropped. Returns the number taken.
    DWORD EndFill(DWORD received);

    // The fill of a worker whose transport holds its sender back by itself
    // (a TCP window, say): rather than receive what the ring cannot take and
    // drop it, the worker takes only the free room, at most most bytes (only
    // the piece before the end of the ring's memory when that piece holds
    // least: the bytes then need no second copy), and
    // that room stays reserved until EndFill, whatever the client does with
    // the capacity meanwhile. Null and *size 0 when the room is below least
    // (cut to the capacity, so that a small stream still fills): the worker
    // then waits in AwaitRoom and leaves the bytes to the transport.
    BYTE* BeginFillRoom(DWORD most, DWORD least, DWORD* size);
    // After a BeginFillRoom that found no room: waits, without a time limit,
    // until the client's Read, Clear or SetCapacity makes some, or until stop
    // is set. False on stop; a failed wait throws.
    bool AwaitRoom(HANDLE stop);

protected:
    void RoomMadeLocked() override;

private:
    basalt::CEvent m_room;  // set when room was made for a worker that waits for it
    DWORD m_roomWanted;     // room a waiting worker needs; 0 when none waits
};

// Filled by the client, emptied by the sending worker. Bytes stay in the ring
// until EndDrain confirms them, so what the device did not take is offered
// again by the next BeginDrain.
class CStreamOutgoing : public CStreamBase {
public:
    explicit CStreamOutgoing(DWORD capacity) : CStreamBase(capacity) {}

    // Empties the ring, forgets the chunk in flight, fires eventOutgoingEmpty.
    void Clear() override;
    // The sending worker's own wake-up: told of eventOutgoingPending with the
    // registered notices, but held apart from them, so that no deregistration
    // of a client's (an empty notice with eventAll) can silence the worker.
    // An empty notice detaches it.
    void SetWorkerNotice(boost::shared_ptr<INotice> notice);
    // Re-raises a stored error first. Queues as many bytes as fit:
    // eventOutgoingPending when any was queued, then eventOutgoingOverflow when
    // some were refused. Returns the number queued.
    DWORD Write(const void* data, DWORD size);
    // Every queued byte, oldest first, and its length in *size; null when
    // nothing is queued.
    BYTE* BeginDrain(DWORD* size);
    // Length of the chunk in flight; 0 when none.
    DWORD GetDrainLength() const;
    // Removes the sent bytes (at most the chunk's length) and fires
    // eventOutgoingPending if bytes remain, else eventOutgoingEmpty. With 0 it
    // removes nothing and only fires, which wakes a sending worker.
    DWORD EndDrain(DWORD sent);
    // BeginDrain and EndDrain of all of it in one, copying the queued bytes
    // (at most size) straight into buffer rather than through the stream's
    // own copy: for a worker that keeps the bytes until its transport took
    // them. Answers how many.
    DWORD Take(BYTE* buffer, DWORD size);

private:
    // eventOutgoingPending to the client's notices; the worker notice only
    // when wakeWorker: a worker already woken, or with a chunk in flight
    // whose EndDrain will look again, needs no kernel call per Write.
    void FirePendingLocked(bool wakeWorker);

    boost::shared_ptr<INotice> m_workerNotice;
};

}  // namespace corvane
