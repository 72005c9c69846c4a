// Capabilities through the kernel's own calls (capget, capset, prctl): two 32-bit words per
// set in version 3 of the interface.
#include "common/Capabilities.h"

#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace capabilities {
namespace {

bool readSets(__user_cap_data_struct (&data)[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, data) == 0;
}

bool effective(int capability) {
    __user_cap_data_struct data[2] = {};
    return readSets(data) && (data[capability / 32].effective & (1u << (capability % 32))) != 0;
}

}  // namespace

bool maySwitchUser() {
    return ::geteuid() == 0 || (effective(CAP_SETUID) && effective(CAP_SETGID));
}

bool switchUser(uid_t uid, gid_t gid) {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
           ::setresuid(uid, uid, uid) == 0;
}

bool clearBoundingSet() {
    if (!effective(CAP_SETPCAP)) {
        // Only a process holding CAP_SETPCAP may narrow it: say whether anything is left.
        for (int capability = 0; capability <= CAP_LAST_CAP; ++capability) {
            if (::prctl(PR_CAPBSET_READ, capability, 0, 0, 0) == 1) {
                return false;
            }
        }
        return true;
    }
    for (int capability = 0; capability <= CAP_LAST_CAP; ++capability) {
        if (::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 && errno != EINVAL) {
            return false;
        }
    }
    return true;
}

bool dropAll() {
    // An old kernel without ambient capabilities has none to clear.
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
        return false;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    return ::syscall(SYS_capset, &header, none) == 0 &&
           ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

}  // namespace capabilities
