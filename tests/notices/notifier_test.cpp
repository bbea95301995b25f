// The notifier's registry and firing, driven with notices that record calls.
#include "Notices.h"

#include <gtest/gtest.h>

#include <boost/weak_ptr.hpp>

#include <functional>
#include <stdexcept>
#include <string>

using namespace corvane;

namespace {

// Appends its name and the event to a shared log, then runs its action
// (which may throw or call back into the notifier).
class CLogNotice : public INotice {
public:
    CLogNotice(std::string& log, char name) : m_log(log), m_name(name) {}
    int Notify(EEventType type) override {
        m_log += m_name + std::to_string(type);
        if (action) action();
        return 1;
    }
    std::function<void()> action;

private:
    std::string& m_log;
    char m_name;
};

const boost::shared_ptr<INotice> kAnyNotice;

}  // namespace

TEST(Notifier, RegistrationRulesAndWildcards) {
    CNotifier notifier;
    std::string log;
    boost::shared_ptr<CLogNotice> a(new CLogNotice(log, 'A')), b(new CLogNotice(log, 'B'));
    EXPECT_TRUE(notifier.RegisterNotice(a, eventOutgoingEmpty));
    EXPECT_FALSE(notifier.RegisterNotice(a, eventOutgoingEmpty));
    EXPECT_TRUE(notifier.RegisterNotice(a, eventError));
    EXPECT_FALSE(notifier.RegisterNotice(a, eventAll));
    EXPECT_FALSE(notifier.RegisterNotice(kAnyNotice, eventError));
    EXPECT_FALSE(notifier.DeregisterNotice(b, eventError));
    notifier.RegisterNotice(b, eventError);
    notifier.Fire(eventOutgoingEmpty);
    notifier.Fire(eventError);
    notifier.Fire(eventDataAvailable);
    EXPECT_EQ(log, "A5A9B9");

    EXPECT_TRUE(notifier.DeregisterNotice(a, eventAll));         // one notice, every type
    EXPECT_TRUE(notifier.DeregisterNotice(kAnyNotice, eventError));  // one type, every notice
    EXPECT_FALSE(notifier.DeregisterNotice(kAnyNotice, eventAll));   // nothing left
    log.clear();
    notifier.Fire(eventOutgoingEmpty);
    notifier.Fire(eventError);
    EXPECT_EQ(log, "");
}

TEST(Notifier, AFailingNoticeDoesNotSilenceTheOthers) {
    CNotifier notifier;
    std::string log;
    boost::shared_ptr<CLogNotice> a(new CLogNotice(log, 'A')), b(new CLogNotice(log, 'B')),
        c(new CLogNotice(log, 'C'));
    for (auto& notice : {a, b, c}) notifier.RegisterNotice(notice, eventDataAvailable);
    b->action = [] { throw basalt::CWinException(1, L"Notices", L"PostMessage", ERROR_INVALID_WINDOW_HANDLE); };
    notifier.Fire(eventDataAvailable);
    EXPECT_EQ(log, "A1B1C1");

    // Anything outside the helper library's family is the caller's to see,
    // and leaves the notifier usable.
    b->action = [] { throw std::runtime_error("not ours"); };
    log.clear();
    EXPECT_THROW(notifier.Fire(eventDataAvailable), std::runtime_error);
    EXPECT_EQ(log, "A1B1");
    EXPECT_TRUE(notifier.DeregisterNotice(b, eventDataAvailable));
    log.clear();
    notifier.Fire(eventDataAvailable);
    EXPECT_EQ(log, "A1C1");
}

// A Notify that comes back into the same notifier on the firing thread must
// neither block nor disturb the walk under way.
TEST(Notifier, NoticesMayChangeRegistrationsWhileBeingTold) {
    CNotifier notifier;
    std::string log;
    boost::shared_ptr<CLogNotice> a(new CLogNotice(log, 'A')), b(new CLogNotice(log, 'B')),
        c(new CLogNotice(log, 'C')), late(new CLogNotice(log, 'L'));
    for (auto& notice : {a, b, c}) notifier.RegisterNotice(notice, eventDataAvailable);
    // B removes itself and A, and adds a notice that hears only the next event.
    boost::weak_ptr<INotice> watchB = b;
    b->action = [&] {
        EXPECT_TRUE(notifier.DeregisterNotice(watchB.lock(), eventDataAvailable));
        EXPECT_TRUE(notifier.DeregisterNotice(a, eventAll));
        EXPECT_TRUE(notifier.RegisterNotice(late, eventDataAvailable));
    };
    b.reset();  // the notifier holds the only reference while B runs
    notifier.Fire(eventDataAvailable);
    EXPECT_EQ(log, "A1B1C1");
    EXPECT_TRUE(watchB.expired());

    // Firing again from inside a Notify finishes the nested walk first.
    c->action = [&] {
        c->action = nullptr;
        notifier.Fire(eventError);
        notifier.Fire(eventDataAvailable);
    };
    notifier.RegisterNotice(a, eventError);
    log.clear();
    notifier.Fire(eventDataAvailable);
    EXPECT_EQ(log, "C1A9C1L1L1");
}
