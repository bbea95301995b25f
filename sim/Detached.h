#pragma once
// Work that runs on a thread of its own and that nobody waits for: a stack's
// answer posted a moment later, a simulated device's session.
//
// A Win32 thread whose handle is closed at once, not std::thread(...).detach():
// with MinGW's thread library, a std::thread detached before it has started
// now and then starts with a null state and faults in the runtime's thread
// routine (seen under load in the simulated Toshiba stack, a few runs in a
// hundred).
#include <windows.h>

#include <functional>
#include <memory>

namespace sim {

inline DWORD WINAPI RunJob(void* parameter) {
    std::unique_ptr<std::function<void()>> job(static_cast<std::function<void()>*>(parameter));
    (*job)();
    return 0;
}

// False, with nothing run, when no thread could be made.
inline bool RunDetached(std::function<void()> work) {
    std::unique_ptr<std::function<void()>> job(new std::function<void()>(std::move(work)));
    HANDLE thread = ::CreateThread(nullptr, 0, RunJob, job.get(), 0, nullptr);
    if (!thread) return false;
    job.release();  // the thread owns it now
    ::CloseHandle(thread);
    return true;
}

}  // namespace sim
