#include <basalt/Exceptions.h>
#include <basalt/Sync.h>

namespace basalt {

namespace {

[[noreturn]] void ThrowLastError(int line, const wchar_t* api) {
    DWORD code = ::GetLastError();
    throw CWinException(line, L"Sync", api, code);
}

// True when signalled; false on time-out. Abandoned counts as signalled.
bool WaitOne(HANDLE handle, DWORD timeout, int line) {
    DWORD result = ::WaitForSingleObject(handle, timeout);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return true;
    if (result == WAIT_TIMEOUT) return false;
    ThrowLastError(line, L"WaitForSingleObject");
}

}  // namespace

// Short spins before sleeping: the stream locks are held for a copy of a few
// kilobytes at most, far less than a trip through the kernel.
CCriticalSection::CCriticalSection() { ::InitializeCriticalSectionAndSpinCount(&m_section, 1000); }
CCriticalSection::~CCriticalSection() { ::DeleteCriticalSection(&m_section); }

void CHandle::Reset(HANDLE handle) noexcept {
    handle = Normalise(handle);
    if (m_handle && m_handle != handle) ::CloseHandle(m_handle);
    m_handle = handle;
}

CEvent::CEvent(bool manualReset, bool initialState, const wchar_t* name)
    : m_handle(::CreateEventW(nullptr, manualReset, initialState, name)) {
    if (!m_handle) ThrowLastError(__LINE__, L"CreateEvent");
}

void CEvent::Set() {
    if (!::SetEvent(m_handle.Get())) ThrowLastError(__LINE__, L"SetEvent");
}

void CEvent::Reset() {
    if (!::ResetEvent(m_handle.Get())) ThrowLastError(__LINE__, L"ResetEvent");
}

bool CEvent::Wait(DWORD timeout) const { return WaitOne(m_handle.Get(), timeout, __LINE__); }

CMutex::CMutex(bool initialOwner, const wchar_t* name)
    : m_handle(::CreateMutexW(nullptr, initialOwner, name)) {
    if (!m_handle) ThrowLastError(__LINE__, L"CreateMutex");
}

void CMutex::Lock() { WaitOne(m_handle.Get(), INFINITE, __LINE__); }

bool CMutex::TryLock(DWORD timeout) { return WaitOne(m_handle.Get(), timeout, __LINE__); }

void CMutex::Unlock() {
    if (!::ReleaseMutex(m_handle.Get())) ThrowLastError(__LINE__, L"ReleaseMutex");
}

COverlapped::COverlapped() : OVERLAPPED{}, m_event(true, false) { hEvent = m_event.GetHandle(); }

void COverlapped::Prepare() {
    Internal = 0;
    InternalHigh = 0;
    Offset = 0;
    OffsetHigh = 0;
    m_event.Reset();
}

CWSAEvent::CWSAEvent() : m_event(::WSACreateEvent()) {
    if (m_event == WSA_INVALID_EVENT) {
        int code = ::WSAGetLastError();
        throw CWinException(__LINE__, L"Sync", L"WSACreateEvent", static_cast<DWORD>(code));
    }
}

CWSAEvent::~CWSAEvent() { ::WSACloseEvent(m_event); }

void CWSAEvent::Set() {
    if (!::WSASetEvent(m_event)) {
        int code = ::WSAGetLastError();
        throw CWinException(__LINE__, L"Sync", L"WSASetEvent", static_cast<DWORD>(code));
    }
}

void CWSAEvent::Reset() {
    if (!::WSAResetEvent(m_event)) {
        int code = ::WSAGetLastError();
        throw CWinException(__LINE__, L"Sync", L"WSAResetEvent", static_cast<DWORD>(code));
    }
}

CWSAOverlapped::CWSAOverlapped() : WSAOVERLAPPED{} { hEvent = m_event.GetHandle(); }

void CWSAOverlapped::Prepare() {
    Internal = 0;
    InternalHigh = 0;
    Offset = 0;
    OffsetHigh = 0;
    m_event.Reset();
}

}  // namespace basalt
