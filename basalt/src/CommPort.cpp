#include <basalt/CommPort.h>
#include <basalt/Exceptions.h>

namespace basalt {

namespace {

const wchar_t kFile[] = L"CommPort";

// The code is read here, first thing after the failing call.
[[noreturn]] void Fail(int line, const wchar_t* function) {
    DWORD code = ::GetLastError();
    throw CWinException(line, kFile, function, code);
}

// A total time-out ends an operation with STATUS_TIMEOUT, a success status:
// Windows reports it complete with the bytes moved so far. Wine's
// GetOverlappedResult answers FALSE and ERROR_TIMEOUT instead.
const ULONG_PTR kStatusTimeout = 0x00000102;

}  // namespace

CCommPort::~CCommPort() {}

void CCommPort::Open(const wchar_t* name, DWORD flags) {
    Close();
    HANDLE handle = ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) Fail(__LINE__, L"CreateFile");
    m_handle.Reset(handle);
}

bool CCommPort::IsOpen() const { return m_handle.IsValid(); }

void CCommPort::Close() { m_handle.Close(); }

void CCommPort::ClearCommError(DWORD* errors, COMSTAT* status) {
    DWORD ignored = 0;
    if (!::ClearCommError(m_handle.Get(), errors ? errors : &ignored, status))
        Fail(__LINE__, L"ClearCommError");
}

void CCommPort::ClearCommBreak() {
    if (!::ClearCommBreak(m_handle.Get())) Fail(__LINE__, L"ClearCommBreak");
}

DWORD CCommPort::GetCommModemStatus() {
    DWORD status = 0;
    if (!::GetCommModemStatus(m_handle.Get(), &status)) Fail(__LINE__, L"GetCommModemStatus");
    return status;
}

void CCommPort::GetCommState(DCB& dcb) {
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(m_handle.Get(), &dcb)) Fail(__LINE__, L"GetCommState");
}

void CCommPort::SetCommState(const DCB& dcb) {
    DCB copy = dcb;  // the API takes a non-const pointer
    if (!::SetCommState(m_handle.Get(), &copy)) Fail(__LINE__, L"SetCommState");
}

void CCommPort::GetCommProperties(COMMPROP& properties) {
    if (!::GetCommProperties(m_handle.Get(), &properties)) Fail(__LINE__, L"GetCommProperties");
}

void CCommPort::GetCommTimeouts(COMMTIMEOUTS& timeouts) {
    if (!::GetCommTimeouts(m_handle.Get(), &timeouts)) Fail(__LINE__, L"GetCommTimeouts");
}

void CCommPort::SetCommTimeouts(const COMMTIMEOUTS& timeouts) {
    COMMTIMEOUTS copy = timeouts;
    if (!::SetCommTimeouts(m_handle.Get(), &copy)) Fail(__LINE__, L"SetCommTimeouts");
}

DWORD CCommPort::GetCommMask() {
    DWORD mask = 0;
    if (!::GetCommMask(m_handle.Get(), &mask)) Fail(__LINE__, L"GetCommMask");
    return mask;
}

void CCommPort::SetCommMask(DWORD mask) {
    if (!::SetCommMask(m_handle.Get(), mask)) Fail(__LINE__, L"SetCommMask");
}

void CCommPort::SetupComm(DWORD inQueue, DWORD outQueue) {
    if (!::SetupComm(m_handle.Get(), inQueue, outQueue)) Fail(__LINE__, L"SetupComm");
}

void CCommPort::PurgeComm(DWORD flags) {
    if (!::PurgeComm(m_handle.Get(), flags)) Fail(__LINE__, L"PurgeComm");
}

void CCommPort::EscapeCommFunction(DWORD function) {
    if (!::EscapeCommFunction(m_handle.Get(), function)) Fail(__LINE__, L"EscapeCommFunction");
}

bool CCommPort::WaitCommEvent(DWORD* mask, OVERLAPPED* overlapped) {
    if (::WaitCommEvent(m_handle.Get(), mask, overlapped)) return true;
    if (::GetLastError() != ERROR_IO_PENDING) Fail(__LINE__, L"WaitCommEvent");
    return false;
}

bool CCommPort::ReadFile(void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped) {
    *count = 0;
    if (::ReadFile(m_handle.Get(), buffer, size, count, overlapped)) return true;
    if (::GetLastError() != ERROR_IO_PENDING) Fail(__LINE__, L"ReadFile");
    return false;
}

bool CCommPort::WriteFile(const void* data, DWORD size, DWORD* count, OVERLAPPED* overlapped) {
    *count = 0;
    if (::WriteFile(m_handle.Get(), data, size, count, overlapped)) return true;
    if (::GetLastError() != ERROR_IO_PENDING) Fail(__LINE__, L"WriteFile");
    return false;
}

bool CCommPort::GetOverlappedResult(OVERLAPPED* overlapped, DWORD* count, bool wait) {
    *count = 0;
    if (::GetOverlappedResult(m_handle.Get(), overlapped, count, wait ? TRUE : FALSE)) return true;
    DWORD code = ::GetLastError();
    if (code == ERROR_IO_INCOMPLETE && !wait) return false;
    if (overlapped->Internal == kStatusTimeout) {
        *count = static_cast<DWORD>(overlapped->InternalHigh);
        return true;
    }
    ::SetLastError(code);
    Fail(__LINE__, L"GetOverlappedResult");
}

bool CCommPort::CancelIo(OVERLAPPED* overlapped) {
    if (::CancelIoEx(m_handle.Get(), overlapped)) return true;
    if (::GetLastError() != ERROR_NOT_FOUND) Fail(__LINE__, L"CancelIoEx");
    return false;
}

}  // namespace basalt
