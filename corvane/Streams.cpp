// The stream buffers between a port's client and its workers.
#include "Streams.h"

#include <algorithm>
#include <cstring>

namespace corvane {

CByteRing::CByteRing(DWORD capacity) : m_data(capacity), m_start(0), m_count(0), m_lent(false) {}

BYTE* CByteRing::GetWriteRun(DWORD* length) {
    DWORD capacity = GetCapacity();
    DWORD position = m_start + m_count;
    if (position >= capacity) position -= capacity;
    *length = std::min(GetFree(), capacity - position);
    return m_data.data() + position;
}

DWORD CByteRing::Commit(DWORD size) {
    size = std::min(size, GetFree());
    m_count += size;
    return size;
}

BYTE* CByteRing::GetReadRun(DWORD* length) {
    *length = std::min(m_count, GetCapacity() - m_start);
    return m_data.data() + m_start;
}

void CByteRing::Reclaim() {
    m_lent = false;
    if (m_count == 0) m_start = 0;
}

void CByteRing::Clear() {
    if (m_lent) {
        // A fill in place lands where the next Append would have written.
        m_start += m_count;
        if (m_start >= GetCapacity()) m_start -= GetCapacity();
    } else {
        m_start = 0;
    }
    m_count = 0;
}

void CByteRing::Renew(std::vector<BYTE>* lentMemory) {
    std::vector<BYTE> data(GetCapacity());
    m_data.swap(data);
    if (m_lent && lentMemory) lentMemory->swap(data);
    m_start = m_count = 0;
    m_lent = false;
}

DWORD CByteRing::Append(const BYTE* data, DWORD size) {
    DWORD capacity = GetCapacity();
    size = std::min(size, capacity - m_count);
    if (size == 0) return 0;
    // start < capacity and count <= capacity, so this is below 2 * capacity.
    DWORD position = m_start + m_count;
    if (position >= capacity) position -= capacity;
    DWORD first = std::min(size, capacity - position);
    std::memcpy(&m_data[position], data, first);
    if (first < size) std::memcpy(&m_data[0], data + first, size - first);
    m_count += size;
    return size;
}

DWORD CByteRing::CopyOut(BYTE* buffer, DWORD size) const {
    size = std::min(size, m_count);
    if (size == 0) return 0;
    DWORD first = std::min(size, GetCapacity() - m_start);
    std::memcpy(buffer, &m_data[m_start], first);
    if (first < size) std::memcpy(buffer + first, &m_data[0], size - first);
    return size;
}

DWORD CByteRing::Remove(DWORD size) {
    size = std::min(size, m_count);
    m_count -= size;
    m_start += size;
    if (m_start >= GetCapacity()) m_start -= GetCapacity();
    // An empty ring starts over at 0, so that the next append is one piece
    // more often; not while a worker holds a pointer into it.
    if (m_count == 0 && !m_lent) m_start = 0;
    return size;
}

void CByteRing::Resize(DWORD capacity, std::vector<BYTE>* lentMemory) {
    if (capacity == GetCapacity()) return;
    // A fresh vector, so that shrinking gives the memory back too.
    std::vector<BYTE> data(capacity);
    DWORD kept = CopyOut(data.data(), std::min(m_count, capacity));
    m_data.swap(data);
    if (m_lent && lentMemory) lentMemory->swap(data);
    m_start = 0;
    m_count = kept;
    m_lent = false;
}

CStreamBase::CStreamBase(DWORD capacity)
    : m_statusWord(0), m_stagedLength(0), m_reserved(0), m_place(placeNone), m_area(nullptr), m_ring(capacity) {}

DWORD CStreamBase::GetCount() const {
    basalt::CLocker lock(GetLock());
    return m_ring.GetCount();
}

DWORD CStreamBase::GetCapacity() const {
    basalt::CLocker lock(GetLock());
    return m_ring.GetCapacity();
}

void CStreamBase::SetCapacity(DWORD requested) {
    basalt::CLocker lock(GetLock());
    DWORD before = m_ring.GetCapacity();
    m_ring.Resize(std::max(requested, m_ring.GetCount() + m_reserved), &m_retired);
    if (m_ring.GetCapacity() == before) return;
    // The worker's pointer is into the memory the ring had.
    if (m_place == placeRing) m_place = placeRetired;
    if (m_ring.GetCapacity() > before) RoomMadeLocked();
}

void CStreamBase::SetStatusWord(DWORD status) {
    basalt::CLocker lock(GetLock());
    m_statusWord = status;
    FireLocked(eventStateChanged);
}

DWORD CStreamBase::GetStatusWord() const {
    basalt::CLocker lock(GetLock());
    return m_statusWord;
}

void CStreamBase::SetError(const basalt::CStdException& error) {
    // Cloned outside the lock: the copy allocates and needs nothing of ours.
    boost::shared_ptr<const basalt::CStdException> copy = error.Clone();
    basalt::CLocker lock(GetLock());
    m_error.swap(copy);
    FireLocked(eventError);
}

bool CStreamBase::HasError() const {
    basalt::CLocker lock(GetLock());
    return static_cast<bool>(m_error);
}

void CStreamBase::ThrowError() const {
    basalt::CLocker lock(GetLock());
    ThrowErrorLocked();
}

void CStreamBase::ThrowErrorLocked() const {
    if (m_error) m_error->Throw();
}

void CStreamBase::Reset(bool dropNotices) {
    basalt::CLocker lock(GetLock());
    if (dropNotices) DeregisterNotice(boost::shared_ptr<INotice>(), eventAll);
    m_statusWord = 0;
    m_stagedLength = 0;
    m_reserved = 0;
    m_error.reset();
    EndOperation();
    m_ring.Clear();
    RoomMadeLocked();
}

BYTE* CStreamBase::Stage(DWORD size) {
    EndOperation();
    if (m_staging.size() < size) m_staging.resize(size);
    m_stagedLength = size;
    m_place = placeStaging;
    return m_area = m_staging.data();
}

BYTE* CStreamBase::LendRing(BYTE* area, DWORD size) {
    EndOperation();
    m_ring.Lend();
    m_stagedLength = size;
    m_place = placeRing;
    return m_area = area;
}

void CStreamBase::EndOperation() {
    if (m_place == placeRing) m_ring.Reclaim();
    // Memory the size of a former capacity: given back, not kept.
    if (m_place == placeRetired) std::vector<BYTE>().swap(m_retired);
    m_place = placeNone;
    m_area = nullptr;
}

CStreamIncoming::CStreamIncoming(DWORD capacity) : CStreamBase(capacity), m_room(true, false), m_roomWanted(0) {}

void CStreamIncoming::Clear() {
    basalt::CLocker lock(GetLock());
    m_ring.Clear();
    RoomMadeLocked();
    FireLocked(eventIncomingEmpty);
}

DWORD CStreamIncoming::Read(void* buffer, DWORD size) {
    basalt::CLocker lock(GetLock());
    // Unlike Write, the error waits for the ring to empty: re-raising it at
    // once would hide bytes that arrived before it, and a port that is closed
    // or reset loses them for good.
    if (m_ring.GetCount() == 0) ThrowErrorLocked();
    if (!buffer || size == 0) return m_ring.GetCount();
    DWORD moved = m_ring.CopyOut(static_cast<BYTE*>(buffer), size);
    m_ring.Remove(moved);
    if (moved > 0) RoomMadeLocked();
    FireLocked(m_ring.GetCount() > 0 ? eventDataAvailable : eventIncomingEmpty);
    return moved;
}

BYTE* CStreamIncoming::BeginFill(DWORD size) {
    basalt::CLocker lock(GetLock());
    DWORD run = 0;
    BYTE* area = m_ring.GetWriteRun(&run);
    // In place only when all of it fits: the surplus of a larger fill is
    // dropped as an overflow, which needs the bytes outside the ring.
    return size > 0 && run >= size ? LendRing(area, size) : Stage(size);
}

DWORD CStreamIncoming::EndFill(DWORD received) {
    basalt::CLocker lock(GetLock());
    DWORD offered = m_place == placeNone ? 0 : std::min(received, m_stagedLength);
    m_stagedLength = 0;
    m_reserved = 0;
    // In place the bytes are where an Append would put them: Read and Clear,
    // which could move that place, keep it while the ring is lent, and
    // SetCapacity leaves them in the retired memory.
    DWORD taken = m_place == placeRing ? m_ring.Commit(offered) : m_ring.Append(m_area, offered);
    EndOperation();
    if (taken > 0) FireLocked(eventDataAvailable);
    if (taken < offered) FireLocked(eventIncomingOverflow);
    return taken;
}

BYTE* CStreamIncoming::BeginFillRoom(DWORD most, DWORD least, DWORD* size) {
    basalt::CLocker lock(GetLock());
    least = std::max<DWORD>(1, std::min(least, m_ring.GetCapacity()));
    DWORD room = std::min(most, m_ring.GetFree());
    if (room < least) {
        *size = 0;
        // Under the lock, so that room made after this look sets the event again.
        m_roomWanted = least;
        m_room.Reset();
        EndOperation();
        m_stagedLength = 0;
        return nullptr;
    }
    DWORD run = 0;
    BYTE* area = m_ring.GetWriteRun(&run);
    bool inPlace = run >= least;
    if (inPlace) room = std::min(room, run);
    *size = room;
    m_reserved = room;
    return inPlace ? LendRing(area, room) : Stage(room);
}

bool CStreamIncoming::AwaitRoom(HANDLE stop) {
    const HANDLE handles[2] = {stop, m_room.GetHandle()};
    DWORD woken = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0) return false;
    if (woken != WAIT_OBJECT_0 + 1)
        throw basalt::CWinException(__LINE__, L"Streams", L"WaitForMultipleObjects", ::GetLastError());
    return true;
}

void CStreamIncoming::RoomMadeLocked() {
    // Only a worker that found the ring full waits: every other Read costs no kernel call.
    if (m_roomWanted == 0 || m_ring.GetFree() < std::min(m_roomWanted, m_ring.GetCapacity())) return;
    m_roomWanted = 0;
    m_room.Set();
}

void CStreamOutgoing::Clear() {
    basalt::CLocker lock(GetLock());
    // A chunk in flight is forgotten: its EndDrain removes nothing. When it
    // is in the ring's memory, the client's next bytes go to fresh memory,
    // so that they neither change it under the worker nor wait for its end.
    if (m_place == placeRing) {
        m_ring.Renew(&m_retired);
        m_place = placeRetired;
    } else {
        m_ring.Clear();
    }
    m_stagedLength = 0;
    FireLocked(eventOutgoingEmpty);
}

DWORD CStreamOutgoing::Write(const void* data, DWORD size) {
    basalt::CLocker lock(GetLock());
    ThrowErrorLocked();
    if (size == 0) return 0;
    if (!data)
        throw basalt::CWinException(__LINE__, L"Streams", L"CStreamOutgoing::Write",
                                    ERROR_INVALID_PARAMETER);
    DWORD before = m_ring.GetCount();
    DWORD queued = m_ring.Append(static_cast<const BYTE*>(data), size);
    // Bytes already queued mean the worker was woken for them, or has them
    // in flight and looks again at their EndDrain: only the first byte wakes it.
    if (queued > 0) FirePendingLocked(before == 0);
    if (queued < size) FireLocked(eventOutgoingOverflow);
    return queued;
}

BYTE* CStreamOutgoing::BeginDrain(DWORD* size) {
    basalt::CLocker lock(GetLock());
    DWORD count = m_ring.GetCount();
    if (size) *size = count;
    if (count == 0) {
        EndOperation();
        m_stagedLength = 0;
        return nullptr;
    }
    DWORD run = 0;
    BYTE* oldest = m_ring.GetReadRun(&run);
    if (run == count) return LendRing(oldest, count);
    BYTE* staging = Stage(count);
    m_ring.CopyOut(staging, count);
    return staging;
}

DWORD CStreamOutgoing::GetDrainLength() const {
    basalt::CLocker lock(GetLock());
    return m_stagedLength;
}

DWORD CStreamOutgoing::EndDrain(DWORD sent) {
    basalt::CLocker lock(GetLock());
    // Given back first, so that an emptied ring starts over at 0.
    EndOperation();
    DWORD removed = m_ring.Remove(std::min(sent, m_stagedLength));
    m_stagedLength = 0;
    if (m_ring.GetCount() > 0)
        FirePendingLocked(true);
    else
        FireLocked(eventOutgoingEmpty);
    return removed;
}

DWORD CStreamOutgoing::Take(BYTE* buffer, DWORD size) {
    basalt::CLocker lock(GetLock());
    DWORD count = std::min(size, m_ring.GetCount());
    if (count == 0) return 0;
    m_ring.CopyOut(buffer, count);
    m_ring.Remove(count);
    if (m_ring.GetCount() > 0)
        FirePendingLocked(true);
    else
        FireLocked(eventOutgoingEmpty);
    return count;
}

void CStreamOutgoing::SetWorkerNotice(boost::shared_ptr<INotice> notice) {
    basalt::CLocker lock(GetLock());
    m_workerNotice.swap(notice);
}

void CStreamOutgoing::FirePendingLocked(bool wakeWorker) {
    FireLocked(eventOutgoingPending);
    if (wakeWorker && m_workerNotice) m_workerNotice->Notify(eventOutgoingPending);
}

}  // namespace corvane
