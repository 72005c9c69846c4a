// Wall-clock time as the server sees it; tests substitute a clock they can move.
#pragma once

#include <sys/time.h>

class Clock {
  public:
    virtual ~Clock() = default;
    virtual timeval now() const = 0;
};

// gettimeofday.
Clock& systemClock();
