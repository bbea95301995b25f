// What every example port client does once its port is open: send a line and
// wait for what comes back, told first by an OVERLAPPED notice, then by a
// window message. Copy it beside your own client.
//
// A notice is called on the port's own worker thread, never on the thread
// that registered it. An OVERLAPPED notice stores the event type in
// overlapped.Internal and sets overlapped.hEvent; it never resets the event,
// so an auto-reset event (or your own ResetEvent) makes each wait a new one.
// A window notice posts (message, wParam = the event type, lParam as given)
// to the window, so it is handled on the thread that owns the window.
#pragma once
#include <Corvane.h>

#include <cstdio>
#include <string>

namespace example {

const UINT kPortMessage = WM_APP + 1;
const DWORD kWaitMs = 10000;  // generous: a loaded machine answers late

// Prints an error the library threw; the text names the function and the code.
inline int Fail(const char* what, const basalt::CStdException& e) {
    std::printf("FAILED: %s: %s\n", what, e.what());
    return 1;
}

// Takes what has arrived on `in` and adds it to `got`.
inline void Drain(corvane::IConnection& in, std::string& got) {
    char buffer[256];
    while (DWORD n = in.Recv(buffer, sizeof buffer)) got.append(buffer, n);
}

// Sends `line` on `out` and waits on an OVERLAPPED notice until it is back on `in`.
inline bool EchoWithEvent(corvane::IConnection& out, corvane::IConnection& in, const std::string& line) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset
    boost::shared_ptr<corvane::INotice> notice = corvane::INotice::CreateInstance(overlapped);
    in.RegisterNotice(notice, corvane::eventDataAvailable);
    in.RegisterNotice(notice, corvane::eventError);
    out.Send(line.data(), static_cast<DWORD>(line.size()));
    std::string got;
    // Each wake-up takes everything that has arrived, so none is missed; a
    // quiet spell of kWaitMs gives up.
    while (got.find(line) == std::string::npos &&
           ::WaitForSingleObject(overlapped.hEvent, kWaitMs) == WAIT_OBJECT_0) {
        if (overlapped.Internal == corvane::eventError) std::printf("the port reported an error\n");
        Drain(in, got);
    }
    // Deregister before the OVERLAPPED goes: the worker may fire into it until then.
    in.DeregisterNotice(notice, corvane::eventAll);
    ::CloseHandle(overlapped.hEvent);
    std::printf("event notice: sent %u bytes, got back \"%s\"\n", static_cast<unsigned>(line.size()),
                got.substr(0, got.find_last_not_of("\r\n") + 1).c_str());
    return got.find(line) != std::string::npos;
}

// The same, told by window messages to a message-only window of this thread.
inline bool EchoWithMessages(corvane::IConnection& out, corvane::IConnection& in, const std::string& line) {
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (!window) {
        std::printf("FAILED: CreateWindowEx: error %lu\n", ::GetLastError());
        return false;
    }
    boost::shared_ptr<corvane::INotice> notice = corvane::INotice::CreateInstance(window, kPortMessage, 0);
    in.RegisterNotice(notice, corvane::eventDataAvailable);
    out.Send(line.data(), static_cast<DWORD>(line.size()));
    std::string got;
    ::SetTimer(window, 1, kWaitMs, nullptr);  // the deadline, as a message too
    MSG msg;
    while (got.find(line) == std::string::npos && ::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER) break;
        if (msg.message == kPortMessage && msg.wParam == corvane::eventDataAvailable) Drain(in, got);
        else ::DispatchMessageW(&msg);
    }
    in.DeregisterNotice(notice, corvane::eventAll);
    ::DestroyWindow(window);
    std::printf("window notice: sent %u bytes, got back \"%s\"\n", static_cast<unsigned>(line.size()),
                got.substr(0, got.find_last_not_of("\r\n") + 1).c_str());
    return got.find(line) != std::string::npos;
}

// Opens `port` (made for an address), echoes a line both ways, closes it.
// Returns the process exit status: 0 when both lines came back.
inline int Run(boost::shared_ptr<corvane::IPort> port, const char* name) {
    if (!port) {
        std::printf("FAILED: no driver serves %s\n", name);
        return 1;
    }
    try {
        port->Open();
        std::printf("opened %s\n", name);
        bool ok = EchoWithEvent(*port, *port, "hello, notified by an event\r\n") &&
                  EchoWithMessages(*port, *port, "hello, notified by a message\r\n");
        port->Close();
        if (!ok) std::printf("FAILED: a line did not come back from %s\n", name);
        return ok ? 0 : 1;
    } catch (const basalt::CStdException& e) {
        return Fail(name, e);
    }
}

}  // namespace example
