// Registration back-off, keepalive cadence and loss detection of the gateway's association.
#include "Association.h"

#include <gtest/gtest.h>

#include <vector>

using Action = Association::Action;

namespace {

// Polls every 100 ms from `from` to `to` and records the time and kind of each action.
struct Event {
    Millis at;
    Action action;
    bool operator==(const Event& other) const { return at == other.at && action == other.action; }
};

std::ostream& operator<<(std::ostream& out, const Event& e) {
    return out << "{" << e.at << " ms, action " << static_cast<int>(e.action) << "}";
}

std::vector<Event> run(Association& association, Millis from, Millis to) {
    std::vector<Event> events;
    for (Millis now = from; now <= to; now += 100) {
        for (int i = 0; i < 10; ++i) {
            const Action action = association.poll(now);
            if (action == Action::None) {
                break;
            }
            events.push_back({now, action});
        }
        EXPECT_GT(association.deadline(), now) << "a deadline in the past spins the loop";
    }
    return events;
}

}  // namespace

TEST(Association, RegistrationRetriesBackOffToAMinute) {
    Association association(Association::timingFor(60), 0);
    const std::vector<Event> events = run(association, 0, 300000);
    std::vector<Millis> times;
    for (const Event& e : events) {
        times.push_back(e.at);
    }
    // Sent at once, then after 1, 2, 4, 8, 16, 32, 60, 60 ... s.
    const std::vector<Millis> expected = {0,     1000,  3000,   7000,   15000,
                                          31000, 63000, 123000, 183000, 243000};
    EXPECT_EQ(times, expected);
    EXPECT_EQ(events.front().action, Action::Register);
    for (size_t i = 1; i < events.size(); ++i) {
        EXPECT_EQ(events[i].action, Action::RetryRegistration);
    }
}

TEST(Association, AnsweredKeepalivesKeepTheAssociationForever) {
    Association association(Association::timingFor(60), 0);
    ASSERT_EQ(association.poll(0), Action::Register);
    ASSERT_TRUE(association.onAccepted(300));
    EXPECT_FALSE(association.onAccepted(400)) << "a duplicate answer starts nothing";

    std::vector<Millis> keepalives;
    for (Millis now = 400; now <= 3600000; now += 100) {
        const Action action = association.poll(now);
        ASSERT_NE(action, Action::RegisterAfterLoss);
        if (action == Action::Keepalive) {
            keepalives.push_back(now);
            association.onKeepaliveAnswer();  // answered at once
        }
    }
    ASSERT_EQ(keepalives.size(), 59u);
    for (size_t i = 0; i < keepalives.size(); ++i) {
        EXPECT_EQ(keepalives[i], 60300 + static_cast<Millis>(i) * 60000);
    }
}

TEST(Association, OneLostAnswerOnlyBringsTheNextKeepaliveForward) {
    Association association(Association::timingFor(60), 0);
    association.poll(0);
    association.onAccepted(0);
    EXPECT_EQ(association.poll(60000), Action::Keepalive);  // unanswered
    EXPECT_EQ(association.poll(64900), Action::None);
    EXPECT_EQ(association.poll(65000), Action::Keepalive);  // the early repeat
    association.onKeepaliveAnswer();
    EXPECT_EQ(association.poll(70000), Action::None);
    EXPECT_EQ(association.poll(124900), Action::None);
    EXPECT_EQ(association.poll(125000), Action::Keepalive);  // back on the normal cadence
    EXPECT_EQ(association.state(), Association::State::Registered);
}

TEST(Association, TwoUnansweredKeepalivesLoseTheAssociation) {
    struct Case {
        unsigned interval;
        Millis lostAfter;  // after the first unanswered keepalive
    };
    for (const Case& c : {Case{60, 10000}, Case{1, 2000}, Case{3, 6000}}) {
        SCOPED_TRACE(c.interval);
        Association association(Association::timingFor(c.interval), 0);
        association.poll(0);
        association.onAccepted(0);
        const Millis first = static_cast<Millis>(c.interval) * 1000;
        std::vector<Event> events = run(association, 100, first + c.lostAfter + 3100);
        ASSERT_GE(events.size(), 4u);
        EXPECT_EQ(events[0], (Event{first, Action::Keepalive}));
        EXPECT_EQ(events[1].action, Action::Keepalive);
        EXPECT_EQ(events[2], (Event{first + c.lostAfter, Action::RegisterAfterLoss}));
        EXPECT_EQ(association.state(), Association::State::Registering);
        // The new cycle backs off from 1 s again.
        EXPECT_EQ(events[3], (Event{first + c.lostAfter + 1000, Action::RetryRegistration}));
    }
}

TEST(Association, ALateAnswerAfterTheEarlyRepeatStillSavesTheAssociation) {
    Association association(Association::timingFor(60), 0);
    association.poll(0);
    association.onAccepted(0);
    association.poll(60000);
    association.poll(65000);
    association.onKeepaliveAnswer();  // the first one's answer, just before the limit
    EXPECT_EQ(association.poll(70000), Action::None);
    EXPECT_EQ(association.state(), Association::State::Registered);
}

TEST(Association, BackoffStartsOverAfterEachSuccessfulRegistration) {
    Association association(Association::timingFor(1), 0);
    run(association, 0, 7000);  // registrations at 0, 1, 3, 7 s unanswered
    EXPECT_EQ(association.currentBackoff(), 16000);
    ASSERT_TRUE(association.onAccepted(7500));
    // Nothing answers the keepalives: lost two seconds after the first one.
    std::vector<Event> events = run(association, 7600, 12000);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[2], (Event{10500, Action::RegisterAfterLoss}));
    EXPECT_EQ(events[3], (Event{11500, Action::RetryRegistration}));
}
