// The process's capabilities and user, read and given up. Called by the worker zygote when it
// starts (it switches to the workers' user and keeps no capability, so every worker it forks
// starts without any) and by the server at start (whether it may switch users at all).
#pragma once

#include <sys/types.h>

namespace capabilities {

// CAP_SETUID and CAP_SETGID are in the effective set (always so for root).
bool maySwitchUser();

// Switches real, effective and saved ids to uid and gid, with no supplementary groups.
bool switchUser(uid_t uid, gid_t gid);

// Empties the bounding set where CAP_SETPCAP allows (before switchUser, which loses it);
// false when it stays (with NO_NEW_PRIVS nothing can be gained through it anyway).
bool clearBoundingSet();

// Gives up every capability left: the ambient, inheritable, permitted and effective sets;
// then sets NO_NEW_PRIVS. False (with errno) on failure.
bool dropAll();

}  // namespace capabilities
