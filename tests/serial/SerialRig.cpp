#include "SerialRig.h"

#include "serial/rig/linestate.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <stdexcept>

namespace serialtest {

namespace {

// The library's start for this statically linked program: the serial option
// tables among it.
class LibraryEnvironment : public ::testing::Environment {
public:
    void SetUp() override { m_scope.reset(new corvane::CLibraryScope); }
    void TearDown() override { m_scope.reset(); }

private:
    std::unique_ptr<corvane::CLibraryScope> m_scope;
};

[[maybe_unused]] const ::testing::Environment* const s_library =
    ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

std::wstring Environment(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    DWORD length = ::GetEnvironmentVariableW(name, value, MAX_PATH);
    return length && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + " failed, error " + std::to_string(::GetLastError()));
}

}  // namespace

std::wstring RigPort() { return Environment(L"CORVANE_RIG_PORT"); }
std::wstring RigPeer() { return Environment(L"CORVANE_RIG_PEER"); }
bool HasRig() { return !RigPort().empty() && !RigPeer().empty() && !Environment(L"CORVANE_RIG_STATE").empty(); }

boost::shared_ptr<const corvane::IPortAddr> RigAddress() {
    return boost::shared_ptr<const corvane::IPortAddr>(new corvane::CSerialPortAddr(RigPort().c_str(), L"rig"));
}

// ---------------------------------------------------------------------------

CCable::CCable() {
    // A Unix path reaches Windows programs through the Z: drive.
    std::wstring path = L"Z:" + Environment(L"CORVANE_RIG_STATE");
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
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

namespace {
size_t EndField(int end, size_t field) { return offsetof(rig_state, end) + end * sizeof(rig_end) + field; }
}  // namespace

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

// ---------------------------------------------------------------------------

CPeer::CPeer() {
    m_device.Open((L"\\\\.\\" + RigPeer()).c_str(), FILE_FLAG_OVERLAPPED);
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
    while (bytes.size() < count && ::GetTickCount() - start < timeoutMs) {
        DWORD got = 0, want = static_cast<DWORD>(std::min(buffer.size(), count - bytes.size()));
        m_record.Prepare();
        if (!m_device.ReadFile(buffer.data(), want, &got, &m_record))
            m_device.GetOverlappedResult(&m_record, &got, true);
        bytes.append(buffer.data(), got);
    }
    return bytes;
}

// ---------------------------------------------------------------------------

int CRecorder::Notify(corvane::EEventType type) {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_events.push_back(type);
    }
    m_changed.notify_all();
    return 1;
}

boost::shared_ptr<CRecorder> CRecorder::Listen(corvane::INotifier& notifier) {
    boost::shared_ptr<CRecorder> recorder(new CRecorder);
    for (int type = corvane::eventDataAvailable; type <= corvane::eventTerminated; ++type)
        notifier.RegisterNotice(recorder, static_cast<corvane::EEventType>(type));
    return recorder;
}

std::vector<corvane::EEventType> CRecorder::Events() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_events;
}

size_t CRecorder::Count(corvane::EEventType type) const {
    std::lock_guard<std::mutex> hold(m_lock);
    return std::count(m_events.begin(), m_events.end(), type);
}

bool CRecorder::WaitFor(corvane::EEventType type, size_t seen, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        return static_cast<size_t>(std::count(m_events.begin(), m_events.end(), type)) > seen;
    });
}

void CRecorder::Clear() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_events.clear();
}

// ---------------------------------------------------------------------------

void CFilteredPort::FailNext(const std::wstring& function, DWORD code) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_failing = function;
    m_failCode = code;
}

void CFilteredPort::MaybeFail(const wchar_t* function) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_failing != function) return;
    m_failing.clear();
    throw basalt::CWinException(__LINE__, L"CommPort", function, m_failCode);
}

void CFilteredPort::SetCommState(const DCB& dcb) {
    ++m_setStateCalls;
    MaybeFail(L"SetCommState");
    if (!acceptedRates.empty() &&
        std::find(acceptedRates.begin(), acceptedRates.end(), dcb.BaudRate) == acceptedRates.end())
        throw basalt::CWinException(__LINE__, L"CommPort", L"SetCommState", ERROR_INVALID_PARAMETER);
    basalt::CCommPort::SetCommState(dcb);
}

void CFilteredPort::GetCommProperties(COMMPROP& properties) {
    basalt::CCommPort::GetCommProperties(properties);
    if (replaceSettableBaud) properties.dwSettableBaud = settableBaud;
}

DWORD CFilteredPort::GetCommModemStatus() {
    MaybeFail(L"GetCommModemStatus");
    return basalt::CCommPort::GetCommModemStatus();
}

void CFilteredPort::SetupComm(DWORD inQueue, DWORD outQueue) {
    MaybeFail(L"SetupComm");
    basalt::CCommPort::SetupComm(inQueue, outQueue);
}

void CFilteredPort::SetCommMask(DWORD mask) {
    MaybeFail(L"SetCommMask");
    basalt::CCommPort::SetCommMask(mask);
}

bool CFilteredPort::WaitCommEvent(DWORD* mask, OVERLAPPED* overlapped) {
    bool ready = basalt::CCommPort::WaitCommEvent(mask, overlapped);
    ++m_waits;
    return ready;
}

// ---------------------------------------------------------------------------

bool Eventually(const std::function<bool()>& condition, DWORD timeoutMs) {
    DWORD start = ::GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (::GetTickCount() - start >= timeoutMs) return false;
        ::Sleep(5);
    }
}

std::string Pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed + i / 251) & 0xFF);
    return bytes;
}

}  // namespace serialtest
