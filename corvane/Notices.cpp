// Notices and the notifier.
#include "Notices.h"

namespace corvane {

boost::shared_ptr<INotice> INotice::CreateInstance(HWND window, UINT message, LPARAM lParam) {
    return boost::shared_ptr<INotice>(new CNoticeMsg(window, message, lParam));
}

boost::shared_ptr<INotice> INotice::CreateInstance(OVERLAPPED& overlapped) {
    return boost::shared_ptr<INotice>(new CNoticeOvl(overlapped));
}

CNoticeMsg::CNoticeMsg(HWND window, UINT message, LPARAM lParam)
    : m_window(window), m_message(message), m_lParam(lParam) {
    // Checked once: a window that goes later makes each Notify fail instead.
    if (!::IsWindow(window))
        throw basalt::CWinException(__LINE__, L"Notices", L"corvane::CNoticeMsg::CNoticeMsg",
                                    ERROR_INVALID_PARAMETER);
}

int CNoticeMsg::Notify(EEventType type) {
    // Posted, never sent: the firing thread holds a stream lock and must not
    // wait for the client's window procedure.
    BOOL posted = ::PostMessageW(m_window, m_message, static_cast<WPARAM>(type), m_lParam);
    if (!posted) {
        DWORD code = ::GetLastError();
        throw basalt::CWinException(__LINE__, L"Notices", L"PostMessage", code);
    }
    return posted;
}

int CNoticeOvl::Notify(EEventType type) {
    // The value goes in before the event is set, so a waiter that wakes reads it.
    m_overlapped->Internal = static_cast<ULONG_PTR>(type);
    BOOL set = ::SetEvent(m_overlapped->hEvent);
    if (!set) {
        DWORD code = ::GetLastError();
        throw basalt::CWinException(__LINE__, L"Notices", L"SetEvent", code);
    }
    return set;
}

CNotifier::CNotifier() : m_firingDepth(0), m_hasEmptied(false) {}

CNotifier::~CNotifier() = default;

bool CNotifier::RegisterNotice(boost::shared_ptr<INotice> notice, EEventType type) {
    if (!notice || type == eventAll) return false;
    basalt::CLocker lock(m_lock);
    auto range = m_registrations.equal_range(type);
    for (auto entry = range.first; entry != range.second; ++entry)
        if (entry->second == notice) return false;
    // A multimap puts an equal key after the ones already there: firing order
    // is registration order.
    m_registrations.insert(range.second, Registrations::value_type(type, std::move(notice)));
    return true;
}

bool CNotifier::DeregisterNotice(boost::shared_ptr<INotice> notice, EEventType type) {
    basalt::CLocker lock(m_lock);
    auto first = type == eventAll ? m_registrations.begin() : m_registrations.lower_bound(type);
    auto last = type == eventAll ? m_registrations.end() : m_registrations.upper_bound(type);
    bool removed = false;
    for (auto entry = first; entry != last;) {
        auto next = std::next(entry);
        // Entries emptied during a firing are already gone for every purpose.
        if (entry->second && (!notice || entry->second == notice)) {
            EraseEntry(entry);
            removed = true;
        }
        entry = next;
    }
    return removed;
}

void CNotifier::EraseEntry(Registrations::iterator entry) {
    if (m_firingDepth > 0) {
        entry->second.reset();
        m_hasEmptied = true;
    } else {
        m_registrations.erase(entry);
    }
}

void CNotifier::SweepEmptied() {
    for (auto entry = m_registrations.begin(); entry != m_registrations.end();)
        entry = entry->second ? std::next(entry) : m_registrations.erase(entry);
    m_hasEmptied = false;
}

void CNotifier::Fire(EEventType type) {
    basalt::CLocker lock(m_lock);
    FireLocked(type);
}

void CNotifier::FireLocked(EEventType type) {
    if (m_registrations.empty()) return;
    struct FiringScope {
        CNotifier& notifier;
        explicit FiringScope(CNotifier& n) : notifier(n) { ++notifier.m_firingDepth; }
        ~FiringScope() {
            if (--notifier.m_firingDepth == 0 && notifier.m_hasEmptied) notifier.SweepEmptied();
        }
    } scope(*this);

    // Only the entries present now are told: one registered by a Notify goes
    // behind them and hears the next event.
    size_t remaining = m_registrations.count(type);
    for (auto entry = m_registrations.lower_bound(type); remaining > 0; ++entry, --remaining) {
        // Holds the notice alive even if Notify deregisters it.
        boost::shared_ptr<INotice> notice = entry->second;
        if (!notice) continue;
        try {
            notice->Notify(type);
        } catch (const basalt::CStdException&) {
            // One client's dead window must not silence the others.
        }
    }
}

}  // namespace corvane
