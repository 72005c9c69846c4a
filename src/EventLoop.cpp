// The parent's default loop pointer.
#include "EventLoop.h"

struct ev_loop* loop = nullptr;
