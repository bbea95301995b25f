#pragma once
// The Windows side of the null-modem cable: what a program under test reaches
// while with-rig.sh runs it. The cable joins two COM ports (CORVANE_RIG_PORT,
// the port under test, and CORVANE_RIG_PEER, its far end); CCable drives what
// a real cable would carry besides bytes (RING, a peer that stops reading,
// framing errors and breaks), CPeer is a plain program at the far end.
#include <basalt/CommPort.h>

#include <string>

namespace nullmodem {

// The ports and the state file that with-rig.sh names; empty without the cable.
std::wstring PortName();  // "COM5"
std::wstring PeerName();  // "COM6"
bool IsPresent();

// The shared line state (linestate.h), reached through Wine's Z: drive.
class CCable {
public:
    static const int port = 0, peer = 1;

    CCable();
    // Both ends drive no line, see no RING, and are not held.
    void Reset();
    void SetRing(int end, bool on);
    // A held end's bytes are not taken by the bridge, as by a peer that stops reading.
    void SetHold(int end, bool on);
    bool IsStopped(int end);  // the bridge stops the end's output now
    // What end receives next: a character with a bad stop bit, or a break.
    void AddFramingError(int end);
    void AddBreak(int end);
    // The counts so far, as the end's driver reads them.
    unsigned FramingErrors(int end);
    unsigned Breaks(int end);
    // The line speed in baud that the end's driver set last (0 when unknown).
    unsigned Speed(int end);

private:
    void WriteField(size_t offset, DWORD value);
    DWORD ReadField(size_t offset);
    basalt::CHandle m_file;
};

// The far end, driven directly through basalt::CCommPort.
class CPeer {
public:
    CPeer();
    ~CPeer();

    void Write(const std::string& bytes);
    // Up to count bytes, waiting at most timeoutMs in all.
    std::string Read(size_t count, DWORD timeoutMs);
    // The MS_*_ON bits the peer sees.
    DWORD ModemStatus() { return m_device.GetCommModemStatus(); }
    void Escape(DWORD function) { m_device.EscapeCommFunction(function); }

private:
    basalt::CCommPort m_device;
    basalt::COverlapped m_record;
};

}  // namespace nullmodem
