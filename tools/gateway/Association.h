// The gateway's side of its association with the server: when to register, when to send a
// keepalive, and when an association counts as lost. No I/O and no clock of its own, so the
// event loop drives it and the tests can run it on made-up times.
//
//            start / lost                       ACCEPT or ACCEPTTLS
//   --------> Registering --------------------------------------> Registered
//             send now, again after 1, 2, 4 ... 60 s               keepalive every interval
//                  ^                                                   |
//                  |   no KEEPALIVERESP for missedLimit keepalives,    |
//                  +---- each given answerTimeout to be answered ------+
#pragma once

#include <cstdint>

using Millis = int64_t;  // monotonic milliseconds

// The monotonic clock in milliseconds, as the gateway's loop drives the association.
Millis monotonicMillis();

class Association {
  public:
    struct Timing {
        Millis keepaliveInterval = 60000;
        // How long one keepalive may stay unanswered before the next one goes out early.
        Millis answerTimeout = 5000;
        // Unanswered keepalives in a row after which the association counts as lost. A
        // re-registration makes the server stop every tunnel of ours, so a single lost
        // datagram must not trigger one.
        int missedLimit = 2;
        Millis firstBackoff = 1000;
        Millis maxBackoff = 60000;
    };

    // answerTimeout = min(interval, 5 s): with the default interval a dead server is noticed
    // within 10 s of a keepalive; with a 1 s interval within 2 s.
    static Timing timingFor(unsigned keepaliveIntervalSeconds);

    enum class State { Registering, Registered };

    enum class Action {
        None,
        Register,           // first registration of a cycle (with --encrypt: a fresh key pair)
        RetryRegistration,  // the same registration again, after a back-off
        RegisterAfterLoss,  // the association was lost; a new cycle begins
        Keepalive,
    };

    Association(const Timing& timing, Millis now);

    // What to send now. Call until it returns None: every other answer moves a deadline on.
    Action poll(Millis now);
    // When poll has something to do next.
    Millis deadline() const;

    // An ACCEPT/ACCEPTTLS arrived. True when it completed a registration, false for a
    // duplicate answer to a repeated registration while already registered.
    bool onAccepted(Millis now);
    void onKeepaliveAnswer();

    State state() const { return state_; }
    Millis currentBackoff() const { return backoff_; }

  private:
    void startRegistering(Millis now);
    Action sendKeepalive(Millis now);

    Timing timing_;
    State state_ = State::Registering;
    bool cycleStarted_ = false;  // the first registration of this cycle has gone out
    bool lost_ = false;          // this cycle follows a lost association
    Millis backoff_;
    Millis nextRegistrationAt_ = 0;
    Millis nextKeepaliveAt_ = 0;
    Millis answerDueAt_ = -1;  // -1: no keepalive waiting for its answer
    int unanswered_ = 0;
};
