// Notices as a client receives them: messages in a real hidden window's queue,
// and OVERLAPPED events set for the client to wait on.
#include "Notices.h"
#include "kit/TestKit.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace corvane;

namespace {

const UINT kNoticeMessage = WM_APP + 7;

// A hidden top-level window; its messages queue on the creating thread.
class CHiddenWindow {
public:
    CHiddenWindow() {
        static const ATOM atom = [] {
            WNDCLASSW cls = {};
            cls.lpfnWndProc = ::DefWindowProcW;
            cls.lpszClassName = L"CorvaneNoticeTest";
            return ::RegisterClassW(&cls);
        }();
        m_window = ::CreateWindowExW(0, MAKEINTATOM(atom), L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                                     nullptr, nullptr, nullptr);
    }
    ~CHiddenWindow() { Destroy(); }
    void Destroy() {
        if (m_window) ::DestroyWindow(m_window);
        m_window = nullptr;
    }
    HWND Get() const { return m_window; }

private:
    HWND m_window;
};

// Our messages waiting in this thread's queue, in order: (window, wParam, lParam).
std::vector<MSG> Pump() {
    std::vector<MSG> received;
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, kNoticeMessage, kNoticeMessage, PM_REMOVE)) received.push_back(msg);
    return received;
}

}  // namespace

TEST(WindowNotice, PostsTheEventAsWParamWithTheClientsLParam) {
    CHiddenWindow window;
    ASSERT_TRUE(window.Get()) << "no window (is Wine's graphics driver 'null'?): " << ::GetLastError();
    auto notice = INotice::CreateInstance(window.Get(), kNoticeMessage, 0x1234);
    CNotifier notifier;
    notifier.RegisterNotice(notice, eventOutgoingEmpty);
    notifier.RegisterNotice(notice, eventDataAvailable);
    // Fired from a worker, as ports do; the messages land in the window's thread.
    std::thread([&] {
        notifier.Fire(eventOutgoingEmpty);
        notifier.Fire(eventDataAvailable);
    }).join();
    auto received = Pump();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].hwnd, window.Get());
    EXPECT_EQ(received[0].wParam, 5u);
    EXPECT_EQ(received[1].wParam, 1u);
    EXPECT_EQ(received[0].lParam, 0x1234);
    EXPECT_EQ(received[1].lParam, 0x1234);
}

TEST(WindowNotice, ADestroyedWindowSilencesOnlyItsOwnNotice) {
    CHiddenWindow first, second, third;
    ASSERT_TRUE(first.Get() && second.Get() && third.Get());
    CNotifier notifier;
    auto b = INotice::CreateInstance(second.Get(), kNoticeMessage, 2);
    notifier.RegisterNotice(INotice::CreateInstance(first.Get(), kNoticeMessage, 1), eventError);
    notifier.RegisterNotice(b, eventError);
    notifier.RegisterNotice(INotice::CreateInstance(third.Get(), kNoticeMessage, 3), eventError);
    HWND stale = second.Get();
    second.Destroy();
    basalt::ustring function;
    EXPECT_NE(testkit::ErrorOf([&] { b->Notify(eventError); }, &function), 0u);
    EXPECT_EQ(function, L"PostMessage");
    notifier.Fire(eventError);
    auto received = Pump();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].lParam, 1);
    EXPECT_EQ(received[1].lParam, 3);

    for (HWND gone : {HWND(nullptr), stale})
        EXPECT_TRUE(testkit::ThrowsWinError([&] { INotice::CreateInstance(gone, kNoticeMessage, 0); },
                                            L"corvane::CNoticeMsg::CNoticeMsg", ERROR_INVALID_PARAMETER));
}

// The event stays set until the client resets it: a client that comes to
// wait after the notice fired must still wake (a pulse would be lost).
TEST(OverlappedNotice, LeavesTheEventInInternalAndSetForALateWaiter) {
    basalt::COverlapped overlapped;
    CNotifier notifier;
    notifier.RegisterNotice(INotice::CreateInstance(overlapped), eventOutgoingPending);
    std::thread([&] { notifier.Fire(eventOutgoingPending); }).join();
    EXPECT_TRUE(overlapped.GetEvent().IsSet());
    EXPECT_EQ(overlapped.Internal, 4u);

    OVERLAPPED broken = {};  // no event to set
    EXPECT_TRUE(testkit::ThrowsWinError([&] { INotice::CreateInstance(broken)->Notify(eventError); }, L"SetEvent",
                                        ERROR_INVALID_HANDLE));
}
