#include <basalt/Exceptions.h>
#include <basalt/Threads.h>

#include <utility>

namespace basalt {

namespace {

[[noreturn]] void ThrowLastError(int line, const wchar_t* api) {
    DWORD code = ::GetLastError();
    throw CWinException(line, L"Threads", api, code);
}

}  // namespace

CThread::CThread(CThread&& other) noexcept
    : m_handle(std::move(other.m_handle)), m_id(other.m_id), m_exitCode(other.m_exitCode) {
    other.m_id = 0;
    other.m_exitCode = STILL_ACTIVE;
}

CThread& CThread::operator=(CThread&& other) {
    if (this != &other) {
        Join();
        m_handle = std::move(other.m_handle);
        m_id = other.m_id;
        m_exitCode = other.m_exitCode;
        other.m_id = 0;
        other.m_exitCode = STILL_ACTIVE;
    }
    return *this;
}

CThread::~CThread() {
    if (!m_handle) return;
    if (m_id != ::GetCurrentThreadId()) ::WaitForSingleObject(m_handle.Get(), INFINITE);
}

CThread CThread::Create(Procedure procedure, void* argument, int priority) {
    CThread thread;
    thread.m_handle.Reset(
        ::CreateThread(nullptr, 0, procedure, argument, CREATE_SUSPENDED, &thread.m_id));
    if (!thread.m_handle) ThrowLastError(__LINE__, L"CreateThread");
    if (priority != THREAD_PRIORITY_NORMAL &&
        !::SetThreadPriority(thread.m_handle.Get(), priority)) {
        DWORD code = ::GetLastError();
        // It never ran, so it holds nothing: ending it here is safe.
        ::TerminateThread(thread.m_handle.Get(), code);
        ::WaitForSingleObject(thread.m_handle.Get(), INFINITE);
        thread.m_handle.Close();
        throw CWinException(__LINE__, L"Threads", L"SetThreadPriority", code);
    }
    if (::ResumeThread(thread.m_handle.Get()) == static_cast<DWORD>(-1)) {
        DWORD code = ::GetLastError();
        ::TerminateThread(thread.m_handle.Get(), code);
        ::WaitForSingleObject(thread.m_handle.Get(), INFINITE);
        thread.m_handle.Close();
        throw CWinException(__LINE__, L"Threads", L"ResumeThread", code);
    }
    return thread;
}

bool CThread::IsRunning() const {
    if (!m_handle) return false;
    DWORD result = ::WaitForSingleObject(m_handle.Get(), 0);
    if (result == WAIT_FAILED) ThrowLastError(__LINE__, L"WaitForSingleObject");
    return result == WAIT_TIMEOUT;
}

bool CThread::Join(DWORD timeout) {
    if (!m_handle) return true;
    // A thread waiting for its own end would wait forever.
    if (m_id == ::GetCurrentThreadId())
        throw CWinException(__LINE__, L"Threads", L"basalt::CThread::Join", ERROR_POSSIBLE_DEADLOCK);
    DWORD result = ::WaitForSingleObject(m_handle.Get(), timeout);
    if (result == WAIT_TIMEOUT) return false;
    if (result == WAIT_FAILED) ThrowLastError(__LINE__, L"WaitForSingleObject");
    DWORD code = STILL_ACTIVE;
    if (!::GetExitCodeThread(m_handle.Get(), &code)) ThrowLastError(__LINE__, L"GetExitCodeThread");
    m_exitCode = code;
    m_handle.Close();
    m_id = 0;
    return true;
}

void CThread::SetPriority(int priority) {
    if (!::SetThreadPriority(m_handle.Get(), priority)) ThrowLastError(__LINE__, L"SetThreadPriority");
}

int CThread::GetPriority() const {
    int priority = ::GetThreadPriority(m_handle.Get());
    if (priority == THREAD_PRIORITY_ERROR_RETURN) ThrowLastError(__LINE__, L"GetThreadPriority");
    return priority;
}

void CThread::SetCurrentPriority(int priority) {
    if (!::SetThreadPriority(::GetCurrentThread(), priority))
        ThrowLastError(__LINE__, L"SetThreadPriority");
}

}  // namespace basalt
