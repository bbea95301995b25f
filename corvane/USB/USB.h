#pragma once
// The USB driver inside the library: the port that moves bytes over the two
// bulk pipes of an instrument on the maker's kernel driver, and the locator
// that lists the instruments present.
#include "Shared/BytesInFlight.h"
#include "Shared/ImmediateLocator.h"
#include "Shared/StreamPort.h"
#include "Shared/WorkerWake.h"

#include <basalt/File.h>
#include <basalt/Threads.h>

#include <atomic>
#include <deque>
#include <vector>

namespace corvane {

namespace usb {

const DWORD defaultBufferSize = 0x400000;
// One read asks the driver for this much; the pipe hands out what it has.
const DWORD readChunk = 0x10000;
// The largest packet of a high-speed bulk pipe: no read asks for less.
const DWORD packetSize = 512;

// The driver's control codes, all sent without an OVERLAPPED record.
const DWORD ioctlPrepare = 0x80942024;           // writing handle, the 260-byte block below
const DWORD ioctlGetDescriptor = 0x80942006;     // writing handle, the configuration descriptor
const DWORD ioctlBindPipe = 0x80942078;          // either handle, one endpoint address
const DWORD ioctlFirstPassDone = 0x80942054;     // writing handle, first pass only
const DWORD prepareBlockSize = 260;
// The driver's answer to a device it already prepared: not a failure.
const DWORD errorAlreadyPrepared = 0xE0001005;

// The block sent with ioctlPrepare: 16-bit words 0, 1, 0, 0, then the 32-bit
// value 0x1000, the rest zero. Packed: the driver reads it byte for byte,
// the same on both architectures.
#pragma pack(push, 1)
struct CPrepareBlock {
    WORD words[4];
    DWORD value;
    BYTE rest[prepareBlockSize - 12];
};
#pragma pack(pop)
void MakePrepareBlock(BYTE (&block)[prepareBlockSize]);

// The two bulk pipes found in a configuration descriptor.
struct CPipes {
    BYTE in;   // endpoint address with bit 7 set
    BYTE out;
};

// Reads a configuration descriptor (configuration part, one interface, then
// its endpoints). False when it is malformed: the parts overrun the bytes,
// fewer than 2 endpoints, not exactly 7 bytes per endpoint after the
// interface, an endpoint descriptor not 7 bytes long, or no bulk IN and bulk
// OUT endpoint among them. Pure: tests feed it byte arrays.
bool ParseConfigurationDescriptor(const BYTE* bytes, size_t size, CPipes& pipes);

// The serial number of an interface path of 4 parts split at "#" whose third
// part has exactly 11 characters, in upper case; false for any other path.
bool SerialNumberOfPath(const basalt::ustring& path, basalt::ustring& serial);

// The name a found instrument is listed under: "BUS <SERIAL>" when the bus
// reported a description, else "DEVICE <SERIAL>" when it has one, else "<SERIAL>".
basalt::ustring FriendlyName(const basalt::ustring& busDescription, const basalt::ustring& deviceDescription,
                             const basalt::ustring& serial);

}  // namespace usb

class CUSBPort : public CStreamPort {
public:
    explicit CUSBPort(boost::shared_ptr<const IPortAddr> address);
    ~CUSBPort() override;

    bool IsOpen() const override;
    void Close() override;
    void Open() override;

private:
    // One pass of Open: both files opened and bound to their pipes.
    void OpenPass(const basalt::ustring& path, bool first);
    void Prepare();
    usb::CPipes ReadPipes();
    void Control(basalt::CFile& file, DWORD code, const void* input, DWORD inputSize, int line);

    void SendThreadProcFn();
    void RecvThreadProcFn();
    // Hands what is queued to overlapped writes (see CBytesInFlight); true
    // when a write is left pending.
    bool WriteQueued();
    // A write of queued bytes that took none: the instrument takes no more (1226).
    void CheckWritten(DWORD sent);
    // A worker leaving with its operation pending cancels it and waits for its
    // end: nothing may write into the record or the staging buffer afterwards.
    void CancelPending(basalt::CFile& file, basalt::COverlapped& record);
    // Stores a failure that is not of the helper library's family (eventError).
    void StoreWorkerError(CStreamBase& stream, const wchar_t* function);

    CWorkerPair m_workers;
    basalt::CFile m_reading;
    basalt::CFile m_writing;
    basalt::COverlapped m_readRecord;
    basalt::COverlapped m_writeRecord;
    CBytesInFlight m_inFlight;  // the send worker's bytes on their way

    // The send worker's wake-up: a notice on the outgoing stream for
    // eventOutgoingPending, registered while the worker runs.
    CWorkerWake m_wake;
    boost::shared_ptr<INotice> m_wakeNotice;
};

class CUSBPortLocator : public CImmediateLocator {
public:
    CUSBPortLocator();

    IPortAddr::EPortType GetType() const override { return IPortAddr::portUSB; }
    // Lists every present instrument into the queue, appending to what is queued.
    void BeginSearch(DWORD, DWORD) override;
    boost::shared_ptr<const IPortAddr> GetNextAddress() override;

private:
    void Queue(const basalt::ustring& path, const basalt::ustring& friendlyName);

    basalt::CCriticalSection m_lock;
    std::deque<boost::shared_ptr<const IPortAddr>> m_found;
};

boost::shared_ptr<IPort> CreateUSBPort(boost::shared_ptr<const IPortAddr> address);
boost::shared_ptr<IPortLocator> CreateUSBPortLocator();

}  // namespace corvane
