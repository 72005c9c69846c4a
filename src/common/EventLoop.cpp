// The parent's default loop pointer.
#include "common/EventLoop.h"

struct ev_loop* loop = nullptr;
