// Registration, keepalive and loss detection of the gateway's association, as pure timing logic.
#include "Association.h"

#include <time.h>

#include <algorithm>

Association::Timing Association::timingFor(unsigned keepaliveIntervalSeconds) {
    Timing timing;
    timing.keepaliveInterval = static_cast<Millis>(keepaliveIntervalSeconds) * 1000;
    timing.answerTimeout = std::min<Millis>(timing.keepaliveInterval, 5000);
    return timing;
}

Association::Association(const Timing& timing, Millis now)
    : timing_(timing), backoff_(timing.firstBackoff) {
    startRegistering(now);
}

void Association::startRegistering(Millis now) {
    state_ = State::Registering;
    cycleStarted_ = false;
    backoff_ = timing_.firstBackoff;
    nextRegistrationAt_ = now;
    answerDueAt_ = -1;
    unanswered_ = 0;
}

Association::Action Association::sendKeepalive(Millis now) {
    nextKeepaliveAt_ = now + timing_.keepaliveInterval;
    if (answerDueAt_ < 0 || now >= answerDueAt_) {
        answerDueAt_ = now + timing_.answerTimeout;
    }
    ++unanswered_;
    return Action::Keepalive;
}

Association::Action Association::poll(Millis now) {
    if (state_ == State::Registering) {
        if (now < nextRegistrationAt_) {
            return Action::None;
        }
        Action action = Action::RetryRegistration;
        if (!cycleStarted_) {
            action = lost_ ? Action::RegisterAfterLoss : Action::Register;
            cycleStarted_ = true;
        }
        nextRegistrationAt_ = now + backoff_;
        backoff_ = std::min(backoff_ * 2, timing_.maxBackoff);
        return action;
    }
    if (answerDueAt_ >= 0 && now >= answerDueAt_) {
        if (unanswered_ >= timing_.missedLimit) {
            lost_ = true;
            startRegistering(now);
            return poll(now);
        }
        return sendKeepalive(now);
    }
    if (now >= nextKeepaliveAt_) {
        return sendKeepalive(now);
    }
    return Action::None;
}

Millis Association::deadline() const {
    if (state_ == State::Registering) {
        return nextRegistrationAt_;
    }
    return answerDueAt_ >= 0 ? std::min(answerDueAt_, nextKeepaliveAt_) : nextKeepaliveAt_;
}

bool Association::onAccepted(Millis now) {
    if (state_ == State::Registered) {
        return false;
    }
    state_ = State::Registered;
    lost_ = false;
    backoff_ = timing_.firstBackoff;
    nextKeepaliveAt_ = now + timing_.keepaliveInterval;
    answerDueAt_ = -1;
    unanswered_ = 0;
    return true;
}

void Association::onKeepaliveAnswer() {
    answerDueAt_ = -1;
    unanswered_ = 0;
}

Millis monotonicMillis() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<Millis>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
