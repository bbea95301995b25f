// The USB port: an instrument's two bulk pipes on the maker's kernel driver.
// The device path is opened twice, once to read and once to write; control
// codes prepare the device, read its configuration descriptor and bind each
// handle to one pipe; then a receive and a send worker move the bytes.
#include "USB/USB.h"

#include <cstring>
#include <vector>

namespace corvane {

namespace {

const wchar_t kFile[] = L"USB";

[[noreturn]] void Fail(int line, const wchar_t* function, DWORD code) {
    throw basalt::CWinException(line, kFile, function, code);
}

}  // namespace

// ---------------------------------------------------------------------------
// Pure logic

namespace usb {

void MakePrepareBlock(BYTE (&block)[prepareBlockSize]) {
    CPrepareBlock fields = {{0, 1, 0, 0}, 0x1000, {}};
    std::memcpy(block, &fields, sizeof fields);
}

bool ParseConfigurationDescriptor(const BYTE* bytes, size_t size, CPipes& pipes) {
    const size_t endpointLength = 7;
    if (!bytes || size == 0) return false;
    size_t interfaceAt = bytes[0];
    // The interface's length and endpoint count must lie inside what we have.
    if (interfaceAt + 5 > size) return false;
    size_t count = bytes[interfaceAt + 4];
    size_t endpointsAt = interfaceAt + bytes[interfaceAt];
    if (count < 2 || endpointsAt > size || size - endpointsAt != count * endpointLength) return false;
    bool haveIn = false, haveOut = false;
    for (size_t i = 0; i < count; ++i) {
        const BYTE* endpoint = bytes + endpointsAt + i * endpointLength;
        if (endpoint[0] != endpointLength) return false;
    }
    for (size_t i = 0; i < count && !(haveIn && haveOut); ++i) {
        const BYTE* endpoint = bytes + endpointsAt + i * endpointLength;
        BYTE address = endpoint[2], attributes = endpoint[3];
        if ((attributes & 3) != 2) continue;  // control, isochronous or interrupt
        if (address & 0x80) {
            pipes.in = address;
            haveIn = true;
        } else {
            pipes.out = address;
            haveOut = true;
        }
    }
    // Binding a pipe the device does not have would fail later with a vaguer error.
    return haveIn && haveOut;
}

bool SerialNumberOfPath(const basalt::ustring& path, basalt::ustring& serial) {
    std::vector<basalt::ustring> parts;
    path.split(L'#', parts);
    if (parts.size() != 4 || parts[2].size() != 11) return false;
    serial = parts[2];
    serial.strupr();
    return true;
}

basalt::ustring FriendlyName(const basalt::ustring& busDescription, const basalt::ustring& deviceDescription,
                             const basalt::ustring& serial) {
    basalt::ustring name;
    if (!busDescription.empty()) return name.sprintf(L"%s <%s>", busDescription.c_str(), serial.c_str());
    if (!deviceDescription.empty()) return name.sprintf(L"%s <%s>", deviceDescription.c_str(), serial.c_str());
    return name.sprintf(L"<%s>", serial.c_str());
}

}  // namespace usb

// ---------------------------------------------------------------------------
// The port

CUSBPort::CUSBPort(boost::shared_ptr<const IPortAddr> address)
    : CStreamPort(address, {kFile, L"CUSBPort::Send", L"CUSBPort::Recv", usb::defaultBufferSize, usb::defaultBufferSize,
                            CPortStreamRules::zeroIsDefault, CPortStreamRules::errorsInOwnStream}),
      m_wakeNotice(m_wake.CreateNotice()) {}

CUSBPort::~CUSBPort() { CloseQuietly(); }

bool CUSBPort::IsOpen() const { return m_reading.IsOpen() && m_writing.IsOpen(); }

void CUSBPort::Close() {
    m_workers.Stop();
    m_streams.outgoing.SetWorkerNotice(boost::shared_ptr<INotice>());
    basalt::CLogFileServer::Ref().CloseLogFile(m_writing);
    m_reading.Close();
    m_writing.Close();
    m_streams.Reset();
}

void CUSBPort::Open() {
    Close();
    if (!m_address) Fail(__LINE__, L"CUSBPort::Open", ERROR_INVALID_PARAMETER);
    try {
        basalt::ustring path(m_address->GetPhysicalName());
        m_workers.Rearm();
        m_readRecord.Prepare();
        m_writeRecord.Prepare();
        // The driver wants the device opened, bound and let go once before
        // the handles that carry data are opened.
        OpenPass(path, true);
        OpenPass(path, false);

        m_wake.Clear();
        // Held apart from the client's notices: no deregistration of theirs
        // can silence the send worker.
        m_streams.outgoing.SetWorkerNotice(m_wakeNotice);
        m_workers.Start<CUSBPort, &CUSBPort::SendThreadProcFn, &CUSBPort::RecvThreadProcFn>(this);
    } catch (...) {
        Close();
        throw;
    }
}

void CUSBPort::OpenPass(const basalt::ustring& path, bool first) {
    m_reading.Open(path.c_str(), GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
    m_writing.Open(path.c_str(), GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
    basalt::CLogFileServer::Ref().Attach(m_reading);
    basalt::CLogFileServer::Ref().Attach(m_writing);

    Prepare();
    usb::CPipes pipes = ReadPipes();
    Control(m_reading, usb::ioctlBindPipe, &pipes.in, 1, __LINE__);
    Control(m_writing, usb::ioctlBindPipe, &pipes.out, 1, __LINE__);
    if (!first) return;
    Control(m_writing, usb::ioctlFirstPassDone, nullptr, 0, __LINE__);
    basalt::CLogFileServer::Ref().CloseLogFile(m_writing);
    m_reading.Close();
    m_writing.Close();
}

void CUSBPort::Prepare() {
    BYTE block[usb::prepareBlockSize];
    usb::MakePrepareBlock(block);
    if (m_writing.IoControl(usb::ioctlPrepare, block, sizeof block, nullptr, 0, nullptr)) return;
    DWORD error = ::GetLastError();
    if (error == usb::errorAlreadyPrepared) return;
    // The driver's "bad command" here means the device did not take the
    // preparation: for the client, the port could not be opened.
    Fail(__LINE__, L"DeviceIoControl", error == ERROR_BAD_COMMAND ? ERROR_OPEN_FAILED : error);
}

usb::CPipes CUSBPort::ReadPipes() {
    const DWORD request[2] = {0, 2};
    BYTE head[9] = {};
    DWORD returned = 0;
    if (!m_writing.IoControl(usb::ioctlGetDescriptor, request, sizeof request, head, sizeof head, &returned))
        Fail(__LINE__, L"DeviceIoControl", ::GetLastError());
    // A short answer that reports success leaves no error of its own: its
    // last error would tell the client "the operation completed successfully"
    // for an open that failed, so it is reported as the driver's fault.
    if (returned != sizeof head) Fail(__LINE__, L"DeviceIoControl", ERROR_INTERNAL_ERROR);
    DWORD total = head[2] | (static_cast<DWORD>(head[3]) << 8);
    std::vector<BYTE> descriptor(total);
    returned = 0;
    if (!m_writing.IoControl(usb::ioctlGetDescriptor, request, sizeof request, descriptor.data(), total, &returned))
        Fail(__LINE__, L"DeviceIoControl", ::GetLastError());
    // Only what the driver wrote is the descriptor.
    usb::CPipes pipes = {0, 0};
    if (!usb::ParseConfigurationDescriptor(descriptor.data(), returned < total ? returned : total, pipes))
        Fail(__LINE__, L"CUSBPort::Open", ERROR_INTERNAL_ERROR);
    return pipes;
}

void CUSBPort::Control(basalt::CFile& file, DWORD code, const void* input, DWORD inputSize, int line) {
    if (!file.IoControl(code, input, inputSize, nullptr, 0, nullptr)) Fail(line, L"DeviceIoControl", ::GetLastError());
}

// ---------------------------------------------------------------------------
// The workers

void CUSBPort::RecvThreadProcFn() {
    try {
        basalt::CThread::SetCurrentPriority(THREAD_PRIORITY_HIGHEST);
        HANDLE handles[2] = {m_workers.stop.GetHandle(), m_readRecord.GetEventHandle()};
        for (;;) {
            // An instrument that sends without pause completes every read at
            // once, so the stop is looked at here too.
            if (m_workers.stopping) break;
            // Only what the stream has room for: the pipe holds the instrument
            // back while a slow client lets the stream fill, where taking the
            // bytes would drop them as an overflow. Reads come in whole
            // packets: one that ends inside a packet could overrun on the bus.
            DWORD room = 0;
            BYTE* area = m_streams.incoming.BeginFillRoom(usb::readChunk, usb::packetSize, &room);
            if (!area) {
                if (!m_streams.incoming.AwaitRoom(m_workers.stop.GetHandle())) break;
                continue;
            }
            if (room >= usb::packetSize) room -= room % usb::packetSize;
            DWORD received = 0;
            if (m_reading.Read(area, room, received, m_readRecord)) {
                // The driver ends reads at once with nothing when the instrument is gone.
                if (received == 0) Fail(__LINE__, L"CUSBPort::RecvThreadProcFn", ERROR_GRACEFUL_DISCONNECT);
                m_streams.incoming.EndFill(received);
                continue;
            }
            DWORD woken = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            if (woken == WAIT_OBJECT_0) {
                CancelPending(m_reading, m_readRecord);
                break;
            }
            if (woken != WAIT_OBJECT_0 + 1) Fail(__LINE__, L"WaitForMultipleObjects", ::GetLastError());
            m_reading.GetOverlappedResult(m_readRecord, received, true);
            // Nothing here is the instrument leaving; the next read reports it at once.
            m_streams.incoming.EndFill(received);
        }
    } catch (const basalt::CStdException& e) {
        m_streams.incoming.SetError(e);
    } catch (...) {
        StoreWorkerError(m_streams.incoming, L"CUSBPort::RecvThreadProcFn");
    }
    m_streams.incoming.Fire(eventTerminated);
}

void CUSBPort::SendThreadProcFn() {
    try {
        basalt::CThread::SetCurrentPriority(THREAD_PRIORITY_HIGHEST);
        // Bytes queued before the worker listened are written all the same.
        if (m_streams.outgoing.GetCount() > 0) m_wake.Set();
        HANDLE handles[3] = {m_workers.stop.GetHandle(), m_wake.GetHandle(), m_writeRecord.GetEventHandle()};
        // Whether a write is pending; its bytes have left the stream already
        // (a purge no longer reaches them).
        bool inFlight = false;
        m_inFlight.Clear();
        for (;;) {
            // The write's record only while a write is in flight: the driver
            // clears its event as each write begins, and one left set by a
            // write that completed at once is not waited for.
            DWORD woken = ::WaitForMultipleObjects(inFlight ? 3 : 2, handles, FALSE, INFINITE);
            if (woken == WAIT_OBJECT_0) {
                if (inFlight) CancelPending(m_writing, m_writeRecord);
                break;
            }
            if (woken == WAIT_OBJECT_0 + 1) {
                // With a write in flight, its completion writes what came meanwhile.
                if (!inFlight) inFlight = WriteQueued();
            } else if (woken == WAIT_OBJECT_0 + 2) {
                DWORD sent = 0;
                m_writing.GetOverlappedResult(m_writeRecord, sent, true);
                CheckWritten(sent);
                m_inFlight.Completed(sent);
                // What the client queued meanwhile goes at once.
                inFlight = WriteQueued();
            } else {
                Fail(__LINE__, L"WaitForMultipleObjects", ::GetLastError());
            }
        }
    } catch (const basalt::CStdException& e) {
        // On the outgoing stream, so that the client's next Send reports it.
        m_streams.outgoing.SetError(e);
    } catch (...) {
        StoreWorkerError(m_streams.outgoing, L"CUSBPort::SendThreadProcFn");
    }
}

bool CUSBPort::WriteQueued() {
    return m_inFlight.WriteQueued(m_streams.outgoing, m_workers.stopping,
                                  [this](const BYTE* data, DWORD size, DWORD& sent) {
                                      if (!m_writing.Write(data, size, sent, m_writeRecord))
                                          return true;  // its completion wakes us
                                      CheckWritten(sent);
                                      return false;
                                  });
}

void CUSBPort::CheckWritten(DWORD sent) {
    // A write the driver ends with nothing taken would be offered again at
    // once, and again, with the worker never back at its wait to see the stop.
    if (sent == 0) Fail(__LINE__, L"CUSBPort::SendThreadProcFn", ERROR_GRACEFUL_DISCONNECT);
}

void CUSBPort::CancelPending(basalt::CFile& file, basalt::COverlapped& record) {
    file.Cancel(record);
    DWORD transferred = 0;
    try {
        file.GetOverlappedResult(record, transferred, true);
    } catch (const basalt::CWinException&) {
        // Aborted, as asked: the port is closing and the bytes no longer matter.
    }
}

void CUSBPort::StoreWorkerError(CStreamBase& stream, const wchar_t* function) {
    try {
        stream.SetError(basalt::CWinException(__LINE__, kFile, function, ERROR_INTERNAL_ERROR));
    } catch (...) {
        // Nothing is left to report with; the worker ends all the same.
    }
}

boost::shared_ptr<IPort> CreateUSBPort(boost::shared_ptr<const IPortAddr> address) {
    if (!address) return boost::shared_ptr<IPort>();
    return boost::shared_ptr<IPort>(new CUSBPort(address));
}

}  // namespace corvane
