#pragma once
#include <basalt/Sync.h>

namespace basalt {

// A thread of this process, owned like a handle. Create starts it; Join waits
// for its end and releases it. The object itself is not thread-safe: the one
// that owns it (a port, a locator) guards it with its own lock.
class BASALT_API CThread {
public:
    typedef DWORD(WINAPI* Procedure)(void* argument);

    CThread() noexcept : m_id(0), m_exitCode(STILL_ACTIVE) {}
    CThread(CThread&& other) noexcept;
    // Joins the thread held before taking the other one.
    CThread& operator=(CThread&& other);
    // Waits for a thread still running: it may use the memory of the object
    // that owns this one. On the thread itself it only lets go of the handle.
    ~CThread();

    // Runs procedure(argument) on a new thread at the given priority
    // (THREAD_PRIORITY_*); the thread does not run before its priority is set.
    static CThread Create(Procedure procedure, void* argument,
                          int priority = THREAD_PRIORITY_NORMAL);

    // A thread was started and not yet joined.
    bool IsJoinable() const noexcept { return m_handle.IsValid(); }
    bool IsRunning() const;
    // Waits up to timeout milliseconds for the thread to end. When it has
    // ended, keeps its exit code, releases the handle and answers true; also
    // true when there is no thread. On the thread itself it throws
    // ERROR_POSSIBLE_DEADLOCK instead of waiting forever.
    bool Join(DWORD timeout = INFINITE);
    // The value the procedure returned, once joined; STILL_ACTIVE before.
    DWORD GetExitCode() const noexcept { return m_exitCode; }

    void SetPriority(int priority);
    int GetPriority() const;
    DWORD GetId() const noexcept { return m_id; }
    // For WaitForMultipleObjects; null when no thread is held.
    HANDLE GetHandle() const noexcept { return m_handle.Get(); }

    // Changes the priority of the calling thread; workers raise themselves first.
    static void SetCurrentPriority(int priority);

private:
    CHandle m_handle;
    DWORD m_id;
    DWORD m_exitCode;
};

// Base of objects shared between a client's threads and their workers: one
// critical section guards the object's shared state. Derived classes hold
//     CObjectLocker lock(*this);
// for each operation that reads or changes that state.
class BASALT_API CMultiThreadObject {
public:
    CMultiThreadObject(const CMultiThreadObject&) = delete;
    CMultiThreadObject& operator=(const CMultiThreadObject&) = delete;

    // Const, so that const queries (IsOpen, IsRunning) may lock too.
    void Lock() const { m_lock.Lock(); }
    void Unlock() const { m_lock.Unlock(); }
    CCriticalSection& GetCriticalSection() const { return m_lock; }

protected:
    using CObjectLocker = CLockerT<const CMultiThreadObject>;

    CMultiThreadObject() = default;
    // Not deleted through this base: it is a part of a driver object, never the whole.
    ~CMultiThreadObject() = default;

private:
    mutable CCriticalSection m_lock;
};

}  // namespace basalt
