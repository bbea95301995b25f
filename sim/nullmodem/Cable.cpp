#include "Cable.h"

#include "linestate.h"

#include <basalt/Exceptions.h>

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <vector>

namespace nullmodem {

namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    DWORD length = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return length && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + " failed, error " + std::to_string(::GetLastError()));
}

size_t EndField(int end, size_t field) { return offsetof(rig_state, end) + end * sizeof(rig_end) + field; }

}  // namespace

std::wstring PortName() { return Environment(L"CORVANE_RIG_PORT"); }
std::wstring PeerName() { return Environment(L"CORVANE_RIG_PEER"); }
bool IsPresent() { return !PortName().empty() && !PeerName().empty() && !Environment(L"CORVANE_RIG_STATE").empty(); }

CCable::CCable() {
    // A Unix path reaches Windows programs through the Z: drive.
    std::wstring path = L"Z:" + Environment(L"CORVANE_RIG_STATE");
    std::replace(path.begin(), path.end(), L'/', L'\\');
    m_file.Reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr));
    Check(m_file.IsValid(), "opening the cable's state");
}

void CCable::WriteField(size_t offset, DWORD value) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    DWORD written = 0;
    Check(::WriteFile(m_file.Get(), &value, sizeof value, &written, &at) && written == sizeof value,
          "writing the cable's state");
}

DWORD CCable::ReadField(size_t offset) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    DWORD value = 0, read = 0;
    Check(::ReadFile(m_file.Get(), &value, sizeof value, &read, &at) && read == sizeof value,
          "reading the cable's state");
    return value;
}

void CCable::Reset() {
    for (int end = 0; end < 2; ++end) {
        WriteField(EndField(end, offsetof(rig_end, outputs)), 0);
        WriteField(EndField(end, offsetof(rig_end, ring)), 0);
        WriteField(EndField(end, offsetof(rig_end, hold)), 0);
    }
}

void CCable::SetRing(int end, bool on) { WriteField(EndField(end, offsetof(rig_end, ring)), on ? 1 : 0); }
void CCable::SetHold(int end, bool on) { WriteField(EndField(end, offsetof(rig_end, hold)), on ? 1 : 0); }
bool CCable::IsStopped(int end) { return ReadField(EndField(end, offsetof(rig_end, stopped))) != 0; }
// Counters only grow (a driver compares them with what it saw last); the
// test program is their only writer.
void CCable::AddFramingError(int end) { WriteField(EndField(end, offsetof(rig_end, frame)), FramingErrors(end) + 1); }
void CCable::AddBreak(int end) { WriteField(EndField(end, offsetof(rig_end, brk)), Breaks(end) + 1); }
unsigned CCable::FramingErrors(int end) { return ReadField(EndField(end, offsetof(rig_end, frame))); }
unsigned CCable::Breaks(int end) { return ReadField(EndField(end, offsetof(rig_end, brk))); }
unsigned CCable::Speed(int end) { return ReadField(EndField(end, offsetof(rig_end, speed))); }

CPeer::CPeer() {
    m_device.Open((L"\\\\.\\" + PeerName()).c_str(), FILE_FLAG_OVERLAPPED);
    // Reads return what is there, or wait up to 100 ms for a first byte.
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 100, 0, 0};
    m_device.SetCommTimeouts(timeouts);
    m_device.PurgeComm(PURGE_RXCLEAR | PURGE_TXCLEAR);
}

CPeer::~CPeer() { m_device.CancelIo(); }

void CPeer::Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD count = 0;
        m_record.Prepare();
        if (!m_device.WriteFile(bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &count, &m_record))
            m_device.GetOverlappedResult(&m_record, &count, true);
        done += count;
    }
}

std::string CPeer::Read(size_t count, DWORD timeoutMs) {
    std::string bytes;
    DWORD start = ::GetTickCount();
    std::vector<char> buffer(65536);
    for (DWORD elapsed = 0; bytes.size() < count && elapsed < timeoutMs; elapsed = ::GetTickCount() - start) {
        DWORD got = 0, want = static_cast<DWORD>(std::min(buffer.size(), count - bytes.size()));
        m_record.Prepare();
        if (!m_device.ReadFile(buffer.data(), want, &got, &m_record)) {
            // Wine may keep a read pending past its time-out when nothing
            // comes: the time limit is this function's own.
            if (!m_record.GetEvent().Wait(timeoutMs - elapsed)) m_device.CancelIo(&m_record);
            try {
                m_device.GetOverlappedResult(&m_record, &got, true);
            } catch (const basalt::CStdException&) {
                got = 0;  // cancelled
            }
        }
        bytes.append(buffer.data(), got);
    }
    return bytes;
}

}  // namespace nullmodem
