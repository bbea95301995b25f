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

}  // namespace basalt
