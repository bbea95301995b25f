#pragma once
// The hidden windows through which the stack answers: their classes, made
// when the library starts, their procedures, and the link from each window to
// the object whose messages it carries.
#include "Common.h"

#include <boost/shared_ptr.hpp>

namespace Toshiba {

const wchar_t kPortWindowClass[] = L"TosBtPortWnd";
const wchar_t kLocatorWindowClass[] = L"TosBtLocatorWnd";

LRESULT CALLBACK PortWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK LocatorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// A hidden, top-level window of a class above, owned by the calling thread,
// that hands the stack's messages to its owner's OnMessage.
//
// The window procedures reach the owner only through the process-wide map
// from window to owner, under the owner's link lock, held while the message
// is handled. Destruction cuts the link under that lock first: it waits for a
// message being handled, and every later message finds no owner. A window can
// be destroyed only by its own thread: from another one it is asked to close,
// which its thread does the next time it pumps (or ends, taking the window).
class CServiceWindow {
public:
    template <typename Owner>
    CServiceWindow(const wchar_t* windowClass, const wchar_t* title, Owner* owner)
        : CServiceWindow(windowClass, title, owner, [](void* to, UINT message, WPARAM wParam, LPARAM lParam) {
              return static_cast<Owner*>(to)->OnMessage(message, wParam, lParam);
          }) {}
    ~CServiceWindow();
    CServiceWindow(const CServiceWindow&) = delete;
    CServiceWindow& operator=(const CServiceWindow&) = delete;

    HWND Get() const { return m_window; }
    // From here on no message reaches the owner; waits for one being handled.
    void Unlink();

    // For the window procedures: the owner's answer to the message, or false
    // when the window has no owner (any more).
    static bool Deliver(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

private:
    typedef LRESULT (*Handler)(void* owner, UINT message, WPARAM wParam, LPARAM lParam);
    struct CLink;
    struct CMap;
    static CMap& Map();

    CServiceWindow(const wchar_t* windowClass, const wchar_t* title, void* owner, Handler handler);

    HWND m_window;
    boost::shared_ptr<CLink> m_link;
};

}  // namespace Toshiba
