#pragma once
#include <basalt/Config.h>

namespace basalt {

// A Win32 critical section: recursive, owned by one thread at a time.
class BASALT_API CCriticalSection {
public:
    CCriticalSection();
    ~CCriticalSection();
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Lock() { EnterCriticalSection(&m_section); }
    void Unlock() { LeaveCriticalSection(&m_section); }
    // Takes the lock only if no other thread holds it.
    bool TryLock() { return TryEnterCriticalSection(&m_section) != FALSE; }

private:
    CRITICAL_SECTION m_section;
};

// Holds a lock for the life of a scope.
template <class TLock>
class CLockerT {
public:
    explicit CLockerT(TLock& lock) : m_lock(lock) { m_lock.Lock(); }
    ~CLockerT() { m_lock.Unlock(); }
    CLockerT(const CLockerT&) = delete;
    CLockerT& operator=(const CLockerT&) = delete;

private:
    TLock& m_lock;
};

using CLocker = CLockerT<CCriticalSection>;

// Owns one kernel handle and closes it. Both null and INVALID_HANDLE_VALUE
// (what CreateFile answers on failure) mean "no handle" and are kept as null.
class BASALT_API CHandle {
public:
    CHandle() noexcept : m_handle(nullptr) {}
    explicit CHandle(HANDLE handle) noexcept : m_handle(Normalise(handle)) {}
    ~CHandle() { Close(); }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    CHandle(CHandle&& other) noexcept : m_handle(other.Release()) {}
    CHandle& operator=(CHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    HANDLE Get() const noexcept { return m_handle; }
    bool IsValid() const noexcept { return m_handle != nullptr; }
    explicit operator bool() const noexcept { return IsValid(); }

    // Closes the handle held, if any, and takes ownership of another.
    void Reset(HANDLE handle = nullptr) noexcept;
    // Gives up ownership without closing.
    HANDLE Release() noexcept {
        HANDLE handle = m_handle;
        m_handle = nullptr;
        return handle;
    }
    void Close() noexcept { Reset(); }

private:
    static HANDLE Normalise(HANDLE handle) noexcept {
        return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
    }
    HANDLE m_handle;
};

// A Win32 event object. Failures throw CWinException with the API's name.
class BASALT_API CEvent {
public:
    // Manual-reset by default: overlapped I/O and notices rely on the event
    // staying set until someone resets it.
    explicit CEvent(bool manualReset = true, bool initialState = false, const wchar_t* name = nullptr);
    CEvent(CEvent&&) noexcept = default;
    CEvent& operator=(CEvent&&) noexcept = default;

    HANDLE GetHandle() const noexcept { return m_handle.Get(); }
    void Set();
    void Reset();
    // True when the event was signalled within timeout milliseconds.
    bool Wait(DWORD timeout = INFINITE) const;
    bool IsSet() const { return Wait(0); }

private:
    CHandle m_handle;
};

// A Win32 mutex: like a critical section, but a kernel object that can sit in
// a WaitForMultipleObjects array or be shared by name between processes.
class BASALT_API CMutex {
public:
    explicit CMutex(bool initialOwner = false, const wchar_t* name = nullptr);
    CMutex(CMutex&&) noexcept = default;
    CMutex& operator=(CMutex&&) noexcept = default;

    HANDLE GetHandle() const noexcept { return m_handle.Get(); }
    // An abandoned mutex (its owner ended without releasing it) is taken all
    // the same: the state it guarded may be half-changed, but waiting forever
    // would be worse.
    void Lock();
    bool TryLock(DWORD timeout = 0);
    // Throws when the calling thread does not own the mutex.
    void Unlock();

private:
    CHandle m_handle;
};

using CMutexLocker = CLockerT<CMutex>;

// An OVERLAPPED record that owns its manual-reset event. It is the OVERLAPPED
// itself, so &record goes straight to ReadFile, WriteFile or DeviceIoControl.
// Not copyable or movable: a pending operation holds its address.
class BASALT_API COverlapped : public OVERLAPPED {
public:
    COverlapped();
    COverlapped(const COverlapped&) = delete;
    COverlapped& operator=(const COverlapped&) = delete;

    // Clears the fields of the last operation and resets the event, ready for
    // the next one.
    void Prepare();
    CEvent& GetEvent() noexcept { return m_event; }
    HANDLE GetEventHandle() const noexcept { return m_event.GetHandle(); }

private:
    CEvent m_event;
};

// Owns an event made by WSACreateEvent and closes it with WSACloseEvent.
class BASALT_API CWSAEvent {
public:
    CWSAEvent();
    ~CWSAEvent();
    CWSAEvent(const CWSAEvent&) = delete;
    CWSAEvent& operator=(const CWSAEvent&) = delete;

    WSAEVENT GetHandle() const noexcept { return m_event; }
    void Set();
    void Reset();

private:
    WSAEVENT m_event;
};

// The socket counterpart of COverlapped: a WSAOVERLAPPED with its own event.
class BASALT_API CWSAOverlapped : public WSAOVERLAPPED {
public:
    CWSAOverlapped();
    CWSAOverlapped(const CWSAOverlapped&) = delete;
    CWSAOverlapped& operator=(const CWSAOverlapped&) = delete;

    void Prepare();
    CWSAEvent& GetEvent() noexcept { return m_event; }
    WSAEVENT GetEventHandle() const noexcept { return m_event.GetHandle(); }

private:
    CWSAEvent m_event;
};

}  // namespace basalt
