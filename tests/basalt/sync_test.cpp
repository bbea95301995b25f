// Threads, kernel objects and overlapped records of Basalt.dll.
#include <Basalt.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using basalt::CThread;

namespace {

struct WorkerState {
    basalt::CEvent started, go;
    std::atomic<int> priority{-100};
    std::atomic<bool> ran{false};
};

DWORD WINAPI Worker(void* argument) {
    auto& state = *static_cast<WorkerState*>(argument);
    state.priority = ::GetThreadPriority(::GetCurrentThread());
    state.started.Set();
    state.go.Wait();
    state.ran = true;
    return 42;
}

}  // namespace

TEST(Thread, StartsAtItsPriorityAndJoinsWithItsExitCode) {
    WorkerState state;
    CThread thread = CThread::Create(&Worker, &state, THREAD_PRIORITY_HIGHEST);
    ASSERT_TRUE(state.started.Wait(5000));
    EXPECT_FALSE(thread.Join(20));  // still waiting for go
    EXPECT_EQ(state.priority, THREAD_PRIORITY_HIGHEST);
    thread.SetPriority(THREAD_PRIORITY_BELOW_NORMAL);
    EXPECT_EQ(thread.GetPriority(), THREAD_PRIORITY_BELOW_NORMAL);
    state.go.Set();
    EXPECT_TRUE(thread.Join());
    EXPECT_EQ(thread.GetExitCode(), 42u);
    EXPECT_FALSE(thread.IsJoinable());

    // Replacing or destroying the owner waits for the thread it held.
    WorkerState second;
    {
        CThread owner = CThread::Create(&Worker, &state);
        owner = CThread::Create(&Worker, &second);
        EXPECT_TRUE(state.ran);
        second.go.Set();
    }
    EXPECT_TRUE(second.ran);
}

TEST(Thread, ABadPriorityThrowsAndTheProcedureNeverRuns) {
    WorkerState state;
    state.go.Set();
    try {
        CThread::Create(&Worker, &state, 1234);
        ADD_FAILURE() << "priority 1234 was accepted";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetFunction(), L"SetThreadPriority");
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_FALSE(state.ran);
}

TEST(Mutex, SurvivesAnAbandonedOwnerAndRefusesAForeignUnlock) {
    basalt::CMutex mutex;
    std::thread([&] { mutex.Lock(); }).join();  // ends without releasing it
    EXPECT_TRUE(mutex.TryLock(5000));
    std::thread([&] { EXPECT_FALSE(mutex.TryLock(0)); }).join();
    mutex.Unlock();
    try {
        mutex.Unlock();
        ADD_FAILURE() << "released a mutex this thread does not own";
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(e.GetFunction(), L"ReleaseMutex");
        EXPECT_EQ(e.GetErrorCode(), static_cast<DWORD>(ERROR_NOT_OWNER));
    }
}

// A pending ReadFile on an overlapped pipe completes through the record's
// event; Prepare makes the record ready for the next read.
TEST(Overlapped, CarriesPendingReadsToCompletion) {
    const wchar_t* name = L"\\\\.\\pipe\\basalt-sync-test";
    basalt::CHandle server(::CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                              PIPE_TYPE_BYTE, 1, 64, 64, 0, nullptr));
    basalt::CHandle client(::CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(server && client) << ::GetLastError();
    basalt::COverlapped read;
    for (char round : {'a', 'b'}) {
        char buffer[4] = {};
        read.Prepare();
        EXPECT_FALSE(::ReadFile(server.Get(), buffer, 3, nullptr, &read));
        ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        EXPECT_FALSE(read.GetEvent().IsSet());
        DWORD count = 0;
        ASSERT_TRUE(::WriteFile(client.Get(), std::string(3, round).data(), 3, &count, nullptr));
        ASSERT_TRUE(read.GetEvent().Wait(5000));
        ASSERT_TRUE(::GetOverlappedResult(server.Get(), &read, &count, FALSE));
        EXPECT_EQ(std::string(buffer), std::string(3, round));
    }
    HANDLE raw = server.Release();
    basalt::CHandle(raw).Close();
    DWORD flags;
    EXPECT_FALSE(::GetHandleInformation(raw, &flags)) << "CHandle left the handle open";
}
