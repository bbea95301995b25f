#pragma once
// Notices (how a client is told of an event) and the notifier that keeps the
// registrations of one object and fires them.
#include <Corvane/Ports.h>

#include <map>

namespace corvane {

// Posts a window message: wParam is the event, lParam the client's value.
class CNoticeMsg : public INotice {
public:
    // Throws CWinException 87 when window is not a window.
    CNoticeMsg(HWND window, UINT message, LPARAM lParam);
    int Notify(EEventType type) override;

private:
    HWND m_window;
    UINT m_message;
    LPARAM m_lParam;
};

// Stores the event in OVERLAPPED.Internal and sets OVERLAPPED.hEvent. The
// structure is the client's; it must outlive every registration of the notice.
class CNoticeOvl : public INotice {
public:
    explicit CNoticeOvl(OVERLAPPED& overlapped) : m_overlapped(&overlapped) {}
    int Notify(EEventType type) override;

private:
    OVERLAPPED* m_overlapped;
};

// The registrations of one firing object, in order of registration within each
// event type. One recursive lock covers registration and firing, so a notice
// may register or deregister on the same notifier from inside Notify.
class CNotifier : public INotifier {
public:
    CNotifier();
    ~CNotifier() override;
    CNotifier(const CNotifier&) = delete;
    CNotifier& operator=(const CNotifier&) = delete;

    // False for an empty notice, for eventAll, or when the notice is already
    // registered for type.
    bool RegisterNotice(boost::shared_ptr<INotice> notice, EEventType type) override;
    // An empty notice matches every notice, eventAll every type; true when
    // something was removed.
    bool DeregisterNotice(boost::shared_ptr<INotice> notice, EEventType type) override;

    // Tells every notice registered for type, in order. A notice that fails
    // with a basalt exception (a destroyed window) does not keep the others
    // from being told; any other exception passes. Allocates nothing.
    void Fire(EEventType type);

protected:
    // The lock of the whole object: classes built on the notifier guard their
    // own state with it, so that firing happens under the same lock.
    basalt::CCriticalSection& GetLock() const { return m_lock; }
    // Fire for a caller that already holds GetLock(): entering a critical
    // section costs as much as the rest of a small Read or Write.
    void FireLocked(EEventType type);

private:
    typedef std::multimap<EEventType, boost::shared_ptr<INotice>> Registrations;

    // Deregistering while Fire walks the entries would pull them from under
    // it: during a firing, matches are emptied in place and erased when the
    // outermost Fire returns.
    void EraseEntry(Registrations::iterator entry);
    void SweepEmptied();

    Registrations m_registrations;
    mutable basalt::CCriticalSection m_lock;
    unsigned m_firingDepth;
    bool m_hasEmptied;
};

// An interface whose registrations go to a notifier of the object's own, as
// those of every locator and of the stream server do; the object fires it.
template <class Interface>
class CNotifierOf : public Interface {
public:
    bool RegisterNotice(boost::shared_ptr<INotice> notice, EEventType type) override {
        return m_notifier.RegisterNotice(notice, type);
    }
    bool DeregisterNotice(boost::shared_ptr<INotice> notice, EEventType type) override {
        return m_notifier.DeregisterNotice(notice, type);
    }

protected:
    CNotifier m_notifier;
};

}  // namespace corvane
