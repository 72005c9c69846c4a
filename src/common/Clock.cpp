// The system wall clock.
#include "common/Clock.h"

namespace {
class SystemClock final : public Clock {
  public:
    timeval now() const override {
        timeval tv;
        gettimeofday(&tv, nullptr);
        return tv;
    }
};
}  // namespace

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}
