#pragma once
// The bytes a send worker has taken out of the outgoing stream and handed to
// its transport (a socket, a USB pipe), kept until the transport took them
// all. They leave the stream as the write starts, so the client refills the
// stream while the transport is busy and the next write goes as soon as this
// one completes.
#include "Streams.h"

#include <atomic>
#include <vector>

namespace corvane {

class CBytesInFlight {
public:
    // Hands what is queued to write, again while writes complete at once and
    // bytes remain, until a write is left pending (true) or nothing is queued
    // or stopping is set (false). write(data, size, sent) starts one
    // overlapped write: true when it is left pending, else false with the
    // bytes taken in sent.
    template <class Write>
    bool WriteQueued(CStreamOutgoing& outgoing, const std::atomic<bool>& stopping, Write write) {
        for (;;) {
            if (stopping) return false;
            // A write that took only part of its bytes goes on with the rest first.
            if (m_offset < m_size) {
                if (WriteRest(write)) return true;
                continue;
            }
            DWORD queued = outgoing.GetCount();
            if (queued == 0) return false;
            // Grown only, never shrunk or cleared: each byte is copied once.
            if (m_bytes.size() < queued) m_bytes.resize(queued);
            // Fires eventOutgoingEmpty, or eventOutgoingPending when bytes were
            // queued meanwhile.
            m_size = outgoing.Take(m_bytes.data(), static_cast<DWORD>(m_bytes.size()));
            m_offset = 0;
            if (m_size == 0) return false;  // purged meanwhile
            if (WriteRest(write)) return true;
        }
    }
    // The pending write completed, having taken sent bytes.
    void Completed(DWORD sent) { m_offset += sent; }
    // Whether bytes taken are still to be written.
    bool HasRest() const { return m_offset < m_size; }
    void Clear() { m_size = m_offset = 0; }

private:
    template <class Write>
    bool WriteRest(Write& write) {
        DWORD sent = 0;
        if (write(m_bytes.data() + m_offset, m_size - m_offset, sent)) return true;
        m_offset += sent;
        return false;
    }

    std::vector<BYTE> m_bytes;
    DWORD m_size = 0;  // of the bytes taken, from the start of m_bytes
    DWORD m_offset = 0;
};

}  // namespace corvane
