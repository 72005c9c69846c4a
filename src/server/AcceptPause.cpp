// Pausing a listener whose accept ran out of descriptors or memory.
#include "server/AcceptPause.h"

#include <cerrno>

AcceptPause::AcceptPause(struct ev_loop* loop, EvIo& listener, double seconds)
    : loop_(loop), listener_(listener), seconds_(seconds) {
    ev_timer_init(resume_.get(), (evMemberCallback<AcceptPause, ev_timer, &AcceptPause::resume>),
                  seconds, 0.);
    resume_.get()->data = this;
}

bool AcceptPause::pauseOn(int error) {
    if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM) {
        return false;
    }
    if (!resume_.active()) {
        ++pauses_;
        listener_.stop();
        // Set again each time: a timer that has fired keeps no useful delay of its own.
        ev_timer_set(resume_.get(), seconds_, 0.);
        resume_.start(loop_);
    }
    return true;
}

void AcceptPause::resume(int) {
    listener_.start(loop_);
}
