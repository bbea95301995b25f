#include "World.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>

namespace usbsim {

namespace {

const ULONG_PTR kStatusPending = 0x103;
const ULONG_PTR kStatusCancelled = 0xC0000120;
const ULONG_PTR kStatusNotConnected = 0xC000009D;

const DWORD kPrepare = 0x80942024;
const DWORD kGetDescriptor = 0x80942006;
const DWORD kBindPipe = 0x80942078;
const DWORD kFirstPassDone = 0x80942054;

class CLock {
public:
    explicit CLock(CRITICAL_SECTION& section) : m_section(section) { ::EnterCriticalSection(&m_section); }
    ~CLock() { ::LeaveCriticalSection(&m_section); }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

private:
    CRITICAL_SECTION& m_section;
};

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

bool SameText(const std::wstring& a, const wchar_t* b) { return b && Lower(a) == Lower(b); }

// What a driver does when an operation ends: count, then status, then the event.
void Complete(OVERLAPPED* record, ULONG_PTR status, DWORD count) {
    record->InternalHigh = count;
    ::MemoryBarrier();
    record->Internal = status;
    if (record->hEvent) ::SetEvent(record->hEvent);
}

void Begin(OVERLAPPED* record) {
    record->InternalHigh = 0;
    record->Internal = kStatusPending;
    if (record->hEvent) ::ResetEvent(record->hEvent);
}

BOOL Failure(DWORD error) {
    ::SetLastError(error);
    return FALSE;
}

bool Has(const std::deque<PendingIo>& queue, OVERLAPPED* record) {
    for (const PendingIo& io : queue)
        if (io.record == record) return true;
    return false;
}

}  // namespace

std::vector<BYTE> Descriptor(DWORD variant) {
    const BYTE configuration[9] = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    BYTE interface[9] = {9, 4, 0, 0, 2, 0xFF, 0, 0, 0};
    std::vector<std::vector<BYTE>> endpoints;
    switch (variant) {
    case USBSIM_DESCRIPTOR_BULK_PAIR:
        endpoints = {{7, 5, 0x81, 2, 0x00, 0x02, 0}, {7, 5, 0x02, 2, 0x00, 0x02, 0}};
        break;
    case USBSIM_DESCRIPTOR_ONE_ENDPOINT:
        endpoints = {{7, 5, 0x81, 2, 0x00, 0x02, 0}};
        break;
    case USBSIM_DESCRIPTOR_MALFORMED:
        endpoints = {{7, 5, 0x81, 2, 0x00, 0x02, 0}, {6, 5, 0x02, 2, 0x00, 0x02}};
        break;
    case USBSIM_DESCRIPTOR_INTERRUPT_FIRST:
        endpoints = {{7, 5, 0x83, 3, 0x08, 0x00, 10}, {7, 5, 0x04, 2, 0x00, 0x02, 0}, {7, 5, 0x85, 2, 0x00, 0x02, 0}};
        break;
    default:
        return std::vector<BYTE>();
    }
    interface[4] = static_cast<BYTE>(endpoints.size());
    std::vector<BYTE> bytes(configuration, configuration + 9);
    bytes.insert(bytes.end(), interface, interface + 9);
    for (const std::vector<BYTE>& endpoint : endpoints) bytes.insert(bytes.end(), endpoint.begin(), endpoint.end());
    bytes[2] = static_cast<BYTE>(bytes.size() & 0xFF);
    bytes[3] = static_cast<BYTE>(bytes.size() >> 8);
    return bytes;
}

World& World::Get() {
    // Never destroyed: handles may be closed while the process ends.
    static World* world = new World;
    return *world;
}

World::World() {
    ::InitializeCriticalSection(&m_lock);
    AddInstrument(USBSIM_DEFAULT_INSTANCE, L"Corvane USB receiver", L"CV-USB Receiver (simulated)", USBSIM_MODE_ECHO);
}

std::shared_ptr<Instrument> World::Find(const wchar_t* serial) const {
    for (const std::shared_ptr<Instrument>& instrument : m_instruments)
        if (SameText(instrument->serial, serial)) return instrument;
    return std::shared_ptr<Instrument>();
}

SimFile* World::FileOf(HANDLE handle) {
    std::map<HANDLE, SimFile>::iterator file = m_files.find(handle);
    return file == m_files.end() ? nullptr : &file->second;
}

// ---------------------------------------------------------------------------
// The seam

HANDLE World::CreateFile(const wchar_t* path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                         DWORD disposition, DWORD flags, HANDLE templateFile) {
    std::shared_ptr<Instrument> instrument;
    {
        CLock lock(m_lock);
        for (const std::shared_ptr<Instrument>& candidate : m_instruments)
            if (path && SameText(candidate->path, path)) instrument = candidate;
    }
    if (!instrument) {
        // The driver's namespace: a path of the simulated vendor that no
        // instrument answers is an instrument that is not there.
        std::wstring prefix = L"\\\\?\\" + Lower(USBSIM_INSTANCE_PREFIX);
        std::replace(prefix.begin(), prefix.end(), L'\\', L'#');
        prefix.replace(0, 4, L"\\\\?\\");
        if (path && Lower(path).compare(0, prefix.size(), prefix) == 0) {
            ::SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        return ::CreateFileW(path, access, share, security, disposition, flags, templateFile);
    }
    CLock lock(m_lock);
    if (!instrument->present) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Pipes are moved with overlapped reads and writes only.
    if (!(flags & FILE_FLAG_OVERLAPPED) || disposition != OPEN_EXISTING ||
        (access & (GENERIC_READ | GENERIC_WRITE)) == 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // One handle per direction: a second reader or writer would steal bytes.
    if (((access & GENERIC_READ) && instrument->reader) || ((access & GENERIC_WRITE) && instrument->writer)) {
        ::SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    // A real kernel object stands for the file, so that its value is unique
    // and a leaked handle shows in the process's handle count.
    HANDLE token = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!token) return INVALID_HANDLE_VALUE;
    SimFile file;
    file.instrument = instrument;
    file.access = access;
    m_files[token] = file;
    if (access & GENERIC_READ) instrument->reader = token;
    if (access & GENERIC_WRITE) instrument->writer = token;
    ++instrument->counters.opens;
    ++instrument->counters.openHandles;
    return token;
}

BOOL World::CloseHandle(HANDLE handle) {
    {
        CLock lock(m_lock);
        SimFile* file = FileOf(handle);
        if (file) {
            Instrument& instrument = *file->instrument;
            bool found = false;
            // Closing a file ends what is pending on it, as the kernel does.
            CancelFileIo(handle, nullptr, found);
            if (instrument.reader == handle) instrument.reader = nullptr;
            if (instrument.writer == handle) instrument.writer = nullptr;
            --instrument.counters.openHandles;
            m_files.erase(handle);
        }
    }
    return ::CloseHandle(handle);
}

BOOL World::DeviceIoControl(HANDLE handle, DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize,
                            DWORD* returned, OVERLAPPED* record) {
    CLock lock(m_lock);
    SimFile* file = FileOf(handle);
    if (!file) return ::DeviceIoControl(handle, code, input, inputSize, output, outputSize, returned, record);
    Instrument& instrument = *file->instrument;
    if (returned) *returned = 0;
    const BYTE* in = static_cast<const BYTE*>(input);
    USBSIM_CONTROL entry = {code, (file->access & GENERIC_WRITE) ? DWORD(GENERIC_WRITE) : DWORD(GENERIC_READ),
                            code == kBindPipe && in && inputSize == 1 ? in[0] : 0u, 0};
    DWORD error = 0;
    bool writing = (file->access & GENERIC_WRITE) != 0;
    if (!instrument.present) {
        error = ERROR_DEVICE_NOT_CONNECTED;
    } else if (record) {
        error = ERROR_INVALID_PARAMETER;  // the driver answers its control codes at once
    } else if (code == kPrepare) {
        BYTE expected[260] = {0, 0, 1, 0, 0, 0, 0, 0, 0x00, 0x10, 0, 0};
        if (!writing) error = ERROR_ACCESS_DENIED;
        else if (inputSize != 260 || !in || std::memcmp(in, expected, 260) != 0) error = ERROR_INVALID_PARAMETER;
        else error = instrument.prepareError;
    } else if (code == kGetDescriptor) {
        const DWORD* words = static_cast<const DWORD*>(input);
        if (!writing) error = ERROR_ACCESS_DENIED;
        else if (inputSize != 8 || !words || words[0] != 0 || words[1] != 2 || !output) error = ERROR_INVALID_PARAMETER;
        else {
            DWORD n = std::min<DWORD>(outputSize, static_cast<DWORD>(instrument.descriptor.size()));
            std::memcpy(output, instrument.descriptor.data(), n);
            if (returned) *returned = n;
        }
    } else if (code == kBindPipe) {
        if (inputSize != 1 || !in || in[0] == 0) error = ERROR_INVALID_PARAMETER;
        // IN pipes are read, OUT pipes written: a handle bound the other way is useless.
        else if (((in[0] & 0x80) != 0) == writing) error = ERROR_INVALID_PARAMETER;
        else file->pipe = in[0];
    } else if (code == kFirstPassDone) {
        if (!writing || inputSize != 0) error = ERROR_INVALID_PARAMETER;
    } else {
        error = ERROR_INVALID_FUNCTION;
    }
    entry.result = error;
    instrument.log.push_back(entry);
    return error ? Failure(error) : TRUE;
}

BOOL World::ReadFile(HANDLE handle, void* buffer, DWORD size, DWORD* done, OVERLAPPED* record) {
    CLock lock(m_lock);
    SimFile* file = FileOf(handle);
    if (!file) return ::ReadFile(handle, buffer, size, done, record);
    Instrument& instrument = *file->instrument;
    ++instrument.counters.calls;
    if (!record || !buffer) return Failure(ERROR_INVALID_PARAMETER);
    if (!(file->access & GENERIC_READ) || !(file->pipe & 0x80)) return Failure(ERROR_INVALID_FUNCTION);
    if (done) *done = 0;
    Begin(record);
    instrument.counters.largestRead = std::max(instrument.counters.largestRead, size);
    if (!instrument.present) {
        // The driver ends reads of a vanished instrument at once, empty.
        Complete(record, 0, 0);
        return TRUE;
    }
    instrument.reads.push_back(PendingIo{handle, record, static_cast<BYTE*>(buffer), nullptr, size, 0});
    Pump(instrument);
    if (Has(instrument.reads, record)) return Failure(ERROR_IO_PENDING);
    if (done) *done = static_cast<DWORD>(record->InternalHigh);
    return TRUE;
}

BOOL World::WriteFile(HANDLE handle, const void* data, DWORD size, DWORD* done, OVERLAPPED* record) {
    CLock lock(m_lock);
    SimFile* file = FileOf(handle);
    if (!file) return ::WriteFile(handle, data, size, done, record);
    Instrument& instrument = *file->instrument;
    ++instrument.counters.calls;
    if (!record || (!data && size)) return Failure(ERROR_INVALID_PARAMETER);
    if (!(file->access & GENERIC_WRITE) || file->pipe == 0 || (file->pipe & 0x80)) return Failure(ERROR_INVALID_FUNCTION);
    if (done) *done = 0;
    if (!instrument.present) return Failure(ERROR_DEVICE_NOT_CONNECTED);
    Begin(record);
    instrument.counters.largestWrite = std::max(instrument.counters.largestWrite, size);
    const BYTE* bytes = static_cast<const BYTE*>(data);
    if (instrument.mode == USBSIM_MODE_ZERO_WRITES) {
        Complete(record, 0, 0);
        return TRUE;
    }
    if (instrument.mode != USBSIM_MODE_ECHO) {
        if (instrument.mode == USBSIM_MODE_SINK) instrument.received.insert(instrument.received.end(), bytes, bytes + size);
        instrument.counters.bytesToDevice += size;
        Complete(record, 0, size);
        if (done) *done = size;
        return TRUE;
    }
    instrument.writes.push_back(PendingIo{handle, record, nullptr, bytes, size, 0});
    Pump(instrument);
    if (Has(instrument.writes, record)) return Failure(ERROR_IO_PENDING);
    if (done) *done = static_cast<DWORD>(record->InternalHigh);
    return TRUE;
}

BOOL World::GetOverlappedResult(HANDLE handle, OVERLAPPED* record, DWORD* done, BOOL wait) {
    {
        CLock lock(m_lock);
        SimFile* file = FileOf(handle);
        if (!file) return ::GetOverlappedResult(handle, record, done, wait);
        ++file->instrument->counters.calls;
    }
    if (!record) return Failure(ERROR_INVALID_PARAMETER);
    if (record->Internal == kStatusPending) {
        if (!wait) return Failure(ERROR_IO_INCOMPLETE);
        ::WaitForSingleObject(record->hEvent ? record->hEvent : handle, INFINITE);
    }
    ::MemoryBarrier();
    if (done) *done = static_cast<DWORD>(record->InternalHigh);
    switch (record->Internal) {
    case 0:
        return TRUE;
    case kStatusCancelled:
        return Failure(ERROR_OPERATION_ABORTED);
    case kStatusNotConnected:
        return Failure(ERROR_DEVICE_NOT_CONNECTED);
    default:
        return Failure(ERROR_GEN_FAILURE);
    }
}

BOOL World::CancelIoEx(HANDLE handle, OVERLAPPED* record) {
    CLock lock(m_lock);
    if (!FileOf(handle)) return ::CancelIoEx(handle, record);
    bool found = false;
    CancelFileIo(handle, record, found);
    return found ? TRUE : Failure(ERROR_NOT_FOUND);
}

void World::CancelFileIo(HANDLE handle, OVERLAPPED* record, bool& found) {
    SimFile* file = FileOf(handle);
    if (!file) return;
    for (std::deque<PendingIo>* queue : {&file->instrument->reads, &file->instrument->writes}) {
        for (std::deque<PendingIo>::iterator io = queue->begin(); io != queue->end();) {
            if (io->file == handle && (!record || io->record == record)) {
                Complete(io->record, kStatusCancelled, io->done);
                io = queue->erase(io);
                found = true;
            } else {
                ++io;
            }
        }
    }
}

// ---------------------------------------------------------------------------
// The instrument's side

void World::AppendLine(Instrument& instrument) {
    char line[96];
    int n = std::snprintf(line, sizeof line, "%06lu %ls simulated receiver line\r\n",
                          static_cast<unsigned long>(++instrument.lineNumber), instrument.serial.c_str());
    if (n > 0) instrument.toHost.insert(instrument.toHost.end(), line, line + std::min<int>(n, sizeof line - 1));
}

void World::Pump(Instrument& instrument) {
    for (bool moved = true; moved && instrument.present;) {
        moved = false;
        while (!instrument.writes.empty()) {
            PendingIo& write = instrument.writes.front();
            size_t room = instrument.echoBuffer > instrument.toHost.size() ? instrument.echoBuffer - instrument.toHost.size() : 0;
            DWORD n = static_cast<DWORD>(std::min<size_t>(room, write.size - write.done));
            if (n == 0 && write.size > 0) break;
            instrument.toHost.insert(instrument.toHost.end(), write.data + write.done, write.data + write.done + n);
            write.done += n;
            instrument.counters.bytesToDevice += n;
            moved = moved || n > 0;
            if (write.done < write.size) break;
            Complete(write.record, 0, write.done);
            instrument.writes.pop_front();
        }
        if (instrument.mode == USBSIM_MODE_LINES && instrument.linePeriodMs == 0 && instrument.toHost.empty() &&
            !instrument.reads.empty()) {
            while (instrument.toHost.size() < instrument.reads.front().size) AppendLine(instrument);
        }
        while (!instrument.reads.empty() && !instrument.toHost.empty()) {
            PendingIo& read = instrument.reads.front();
            DWORD n = static_cast<DWORD>(std::min<size_t>(read.size, instrument.toHost.size()));
            if (!TakeBusCredit(instrument, n)) break;  // the clock completes it later
            std::copy(instrument.toHost.begin(), instrument.toHost.begin() + n, read.buffer);
            instrument.toHost.erase(instrument.toHost.begin(), instrument.toHost.begin() + n);
            instrument.counters.bytesToHost += n;
            Complete(read.record, 0, n);
            instrument.reads.pop_front();
            moved = true;
        }
    }
    instrument.counters.pendingReads = static_cast<DWORD>(instrument.reads.size());
    instrument.counters.pendingWrites = static_cast<DWORD>(instrument.writes.size());
}

bool World::TakeBusCredit(Instrument& instrument, DWORD count) {
    if (instrument.busRate == 0) return true;
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    if (instrument.busCreditedAt == 0) instrument.busCreditedAt = now.QuadPart;
    instrument.busCredit += double(now.QuadPart - instrument.busCreditedAt) * instrument.busRate / double(frequency.QuadPart);
    instrument.busCreditedAt = now.QuadPart;
    // An idle bus carries nothing ahead: no more credit than one read and 10 ms.
    double limit = std::max<double>(count, instrument.busRate / 100.0);
    instrument.busCredit = std::min(instrument.busCredit, limit);
    if (instrument.busCredit < count) return false;
    instrument.busCredit -= count;
    return true;
}

void World::Gone(Instrument& instrument) {
    instrument.present = false;
    instrument.toHost.clear();
    for (PendingIo& read : instrument.reads) Complete(read.record, 0, 0);
    for (PendingIo& write : instrument.writes) Complete(write.record, kStatusNotConnected, write.done);
    instrument.reads.clear();
    instrument.writes.clear();
    instrument.counters.pendingReads = instrument.counters.pendingWrites = 0;
}

DWORD WINAPI World::ClockProc(void* argument) {
    World& world = *static_cast<World*>(argument);
    for (;;) {
        // The instruments' own time: the bus and the line generator move in
        // steps of about a millisecond, which is all their rates need.
        ::Sleep(1);
        CLock lock(world.m_lock);
        DWORD now = ::GetTickCount();
        for (const std::shared_ptr<Instrument>& instrument : world.m_instruments) {
            if (!instrument->present) continue;
            if (instrument->busRate && !instrument->reads.empty()) world.Pump(*instrument);
            if (instrument->mode != USBSIM_MODE_LINES || instrument->linePeriodMs == 0) continue;
            if (static_cast<LONG>(now - instrument->nextLineTick) < 0) continue;
            if (instrument->toHost.size() < instrument->echoBuffer) world.AppendLine(*instrument);
            instrument->nextLineTick = now + instrument->linePeriodMs;
            world.Pump(*instrument);
        }
    }
    return 0;
}

void World::StartClock() {
    if (m_clock) return;
    // Runs for the life of the process: it only ever waits or takes the lock briefly.
    m_clock = ::CreateThread(nullptr, 0, ClockProc, this, 0, nullptr);
}

// ---------------------------------------------------------------------------
// Control

DWORD World::Reset() {
    CLock lock(m_lock);
    for (const std::shared_ptr<Instrument>& instrument : m_instruments) Gone(*instrument);
    m_instruments.clear();
    return 0;
}

DWORD World::AddInstrument(const wchar_t* instanceId, const wchar_t* description, const wchar_t* busDescription,
                           DWORD mode) {
    if (!instanceId || mode > USBSIM_MODE_ZERO_WRITES) return ERROR_INVALID_PARAMETER;
    std::wstring id(instanceId);
    size_t last = id.rfind(L'\\');
    if (last == std::wstring::npos || last + 1 == id.size()) return ERROR_INVALID_PARAMETER;
    CLock lock(m_lock);
    if (Find(id.substr(last + 1).c_str())) return ERROR_ALREADY_EXISTS;
    std::shared_ptr<Instrument> instrument = std::make_shared<Instrument>();
    instrument->instanceId = id;
    instrument->serial = id.substr(last + 1);
    std::wstring path = Lower(id);
    std::replace(path.begin(), path.end(), L'\\', L'#');
    instrument->path = L"\\\\?\\" + path + L"#" + USBSIM_INTERFACE_CLASS_TEXT;
    instrument->hasDescription = description != nullptr;
    instrument->description = description ? description : L"";
    instrument->hasBusDescription = busDescription != nullptr;
    instrument->busDescription = busDescription ? busDescription : L"";
    instrument->descriptor = Descriptor(USBSIM_DESCRIPTOR_BULK_PAIR);
    instrument->mode = mode;
    m_instruments.push_back(instrument);
    return 0;
}

DWORD World::RemoveInstrument(const wchar_t* serial) {
    CLock lock(m_lock);
    for (std::vector<std::shared_ptr<Instrument>>::iterator it = m_instruments.begin(); it != m_instruments.end(); ++it) {
        if (!SameText((*it)->serial, serial)) continue;
        Gone(**it);
        m_instruments.erase(it);
        return 0;
    }
    return ERROR_NOT_FOUND;
}

DWORD World::GetPath(const wchar_t* serial, wchar_t* path, DWORD capacity) {
    CLock lock(m_lock);
    std::shared_ptr<Instrument> instrument = Find(serial);
    if (!instrument) return ERROR_NOT_FOUND;
    if (!path || capacity <= instrument->path.size()) return ERROR_INSUFFICIENT_BUFFER;
    std::copy(instrument->path.begin(), instrument->path.end(), path);
    path[instrument->path.size()] = L'\0';
    return 0;
}

DWORD World::SetDescriptorVariant(const wchar_t* serial, DWORD variant) {
    std::vector<BYTE> bytes = Descriptor(variant);
    if (bytes.empty()) return ERROR_INVALID_PARAMETER;
    return SetDescriptor(serial, bytes.data(), static_cast<DWORD>(bytes.size()));
}

DWORD World::SetDescriptor(const wchar_t* serial, const BYTE* bytes, DWORD size) {
    if (!bytes && size) return ERROR_INVALID_PARAMETER;
    CLock lock(m_lock);
    std::shared_ptr<Instrument> instrument = Find(serial);
    if (!instrument) return ERROR_NOT_FOUND;
    instrument->descriptor.assign(bytes, bytes + size);
    return 0;
}

DWORD World::SetPrepareError(const wchar_t* serial, DWORD error) {
    CLock lock(m_lock);
    std::shared_ptr<Instrument> instrument = Find(serial);
    if (!instrument) return ERROR_NOT_FOUND;
    instrument->prepareError = error;
    return 0;
}

DWORD World::SetMode(const wchar_t* serial, DWORD mode, DWORD linePeriodMs) {
    if (mode > USBSIM_MODE_ZERO_WRITES) return ERROR_INVALID_PARAMETER;
    CLock lock(m_lock);
    std::shared_ptr<Instrument> instrument = Find(serial);
    if (!instrument) return ERROR_NOT_FOUND;
    instrument->mode = mode;
    instrument->linePeriodMs = linePeriodMs;
    instrument->nextLineTick = ::GetTickCount();
    if (mode == USBSIM_MODE_LINES && linePeriodMs) StartClock();
    Pump(*instrument);
    return 0;
}

DWORD World::SetEchoBuffer(const wchar_t* serial, DWORD bytes) {
    if (bytes == 0) return ERROR_INVALID_PARAMETER;
    CLock lock(m_lock);
    std::shared_ptr<Instrument> instrument = Find(serial);
    if (!instrument) return ERROR_NOT_FOUND;
    instrument->echoBuffer = bytes;
    Pump(*instrument);
    return 0;
}

DWORD World::SetBusRate(const wchar_t* serial, DWORD bytesPerSecond) {
    CLock lock(m_lock);
    std::shared_ptr<Instrument> instrument = Find(serial);
    if (!instrument) return ERROR_NOT_FOUND;
    instrument->busRate = bytesPerSecond;
    instrument->busCredit = 0;
    instrument->busCreditedAt = 0;
    if (bytesPerSecond) StartClock();
    Pump(*instrument);
    return 0;
}

DWORD World::DeviceSend(const wchar_t* serial, const void* data, DWORD size) {
    if (!data && size) return ERROR_INVALID_PARAMETER;
    CLock lock(m_lock);
    std::shared_ptr<Instrument> instrument = Find(serial);
    if (!instrument) return ERROR_NOT_FOUND;
    if (!instrument->present) return ERROR_DEVICE_NOT_CONNECTED;
    const BYTE* bytes = static_cast<const BYTE*>(data);
    instrument->toHost.insert(instrument->toHost.end(), bytes, bytes + size);
    Pump(*instrument);
    return 0;
}

DWORD World::DeviceReceive(const wchar_t* serial, void* buffer, DWORD size, DWORD* taken) {
    if (!taken) return ERROR_INVALID_PARAMETER;
    CLock lock(m_lock);
    std::shared_ptr<Instrument> instrument = Find(serial);
    if (!instrument) return ERROR_NOT_FOUND;
    if (!buffer) {
        *taken = static_cast<DWORD>(instrument->received.size());
        return 0;
    }
    DWORD n = static_cast<DWORD>(std::min<size_t>(size, instrument->received.size()));
    std::copy(instrument->received.begin(), instrument->received.begin() + n, static_cast<BYTE*>(buffer));
    instrument->received.erase(instrument->received.begin(), instrument->received.begin() + n);
    *taken = n;
    return 0;
}

DWORD World::Unplug(const wchar_t* serial) {
    CLock lock(m_lock);
    std::shared_ptr<Instrument> instrument = Find(serial);
    if (!instrument) return ERROR_NOT_FOUND;
    Gone(*instrument);
    return 0;
}

DWORD World::Plug(const wchar_t* serial) {
    CLock lock(m_lock);
    std::shared_ptr<Instrument> instrument = Find(serial);
    if (!instrument) return ERROR_NOT_FOUND;
    // Handles of the earlier attachment stay dead, as after a real re-plug.
    if (instrument->present) return 0;
    std::shared_ptr<Instrument> fresh = std::make_shared<Instrument>(*instrument);
    fresh->present = true;
    fresh->reader = fresh->writer = nullptr;
    fresh->counters.openHandles = 0;
    for (std::shared_ptr<Instrument>& slot : m_instruments)
        if (slot == instrument) slot = fresh;
    return 0;
}

DWORD World::GetControlLog(const wchar_t* serial, USBSIM_CONTROL* entries, DWORD* count) {
    if (!count || (!entries && *count)) return ERROR_INVALID_PARAMETER;
    CLock lock(m_lock);
    std::shared_ptr<Instrument> instrument = Find(serial);
    if (!instrument) return ERROR_NOT_FOUND;
    DWORD n = std::min<DWORD>(*count, static_cast<DWORD>(instrument->log.size()));
    std::copy(instrument->log.begin(), instrument->log.begin() + n, entries);
    *count = n;
    return 0;
}

DWORD World::ClearControlLog(const wchar_t* serial) {
    CLock lock(m_lock);
    std::shared_ptr<Instrument> instrument = Find(serial);
    if (!instrument) return ERROR_NOT_FOUND;
    instrument->log.clear();
    return 0;
}

DWORD World::GetCounters(const wchar_t* serial, USBSIM_COUNTERS* counters) {
    if (!counters) return ERROR_INVALID_PARAMETER;
    CLock lock(m_lock);
    std::shared_ptr<Instrument> instrument = Find(serial);
    if (!instrument) return ERROR_NOT_FOUND;
    *counters = instrument->counters;
    return 0;
}

std::vector<Instrument> World::Snapshot() {
    CLock lock(m_lock);
    std::vector<Instrument> copies;
    for (const std::shared_ptr<Instrument>& instrument : m_instruments) {
        Instrument copy;
        copy.instanceId = instrument->instanceId;
        copy.serial = instrument->serial;
        copy.path = instrument->path;
        copy.description = instrument->description;
        copy.busDescription = instrument->busDescription;
        copy.hasDescription = instrument->hasDescription;
        copy.hasBusDescription = instrument->hasBusDescription;
        copies.push_back(copy);
    }
    return copies;
}

}  // namespace usbsim
