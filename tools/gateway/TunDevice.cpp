// Opening and configuring the gateway's TUN device through the kernel's ioctl interface.
#include "TunDevice.h"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <net/route.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "TunOffload.h"

namespace {

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void setName(ifreq* request, const std::string& name) {
    std::memset(request, 0, sizeof *request);
    std::strncpy(request->ifr_name, name.c_str(), IFNAMSIZ - 1);
}

}  // namespace

namespace {

UniqueFd attach(std::string* name, short flags, std::string* error) {
    UniqueFd fd(::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        *error = systemError("cannot open /dev/net/tun");
        return UniqueFd();
    }
    ifreq request;
    setName(&request, *name);
    request.ifr_flags = flags;
    if (::ioctl(fd.get(), TUNSETIFF, &request) != 0) {
        *error = systemError("cannot attach TUN device " + *name);
        return UniqueFd();
    }
    *name = request.ifr_name;
    return fd;
}

// The header size and the offloads we take: checksums left to us, TCP segmentation.
bool enableOffloads(int fd) {
    const int headerSize = static_cast<int>(tun_offload::kVirtioHeaderSize);
    const unsigned offloads = TUN_F_CSUM | TUN_F_TSO4;
    return ::ioctl(fd, TUNSETVNETHDRSZ, &headerSize) == 0 &&
           ::ioctl(fd, TUNSETOFFLOAD, offloads) == 0;
}

}  // namespace

UniqueFd openTun(std::string* name, bool offload, bool* offloaded, std::string* error) {
    *offloaded = false;
    if (offload) {
        std::string offloadName = *name;
        std::string ignored;
        UniqueFd fd = attach(&offloadName, IFF_TUN | IFF_NO_PI | IFF_VNET_HDR, &ignored);
        if (fd.valid() && enableOffloads(fd.get())) {
            *name = offloadName;
            *offloaded = true;
            return fd;
        }
        // Closing the descriptor removes the device again; it is made anew below.
    }
    return attach(name, IFF_TUN | IFF_NO_PI, error);
}

bool configureTun(const std::string& name, in_addr localIp, std::string* error) {
    UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!control.valid()) {
        *error = systemError("cannot create a configuration socket");
        return false;
    }
    ifreq request;
    setName(&request, name);
    request.ifr_mtu = kTunMtu;
    if (::ioctl(control.get(), SIOCSIFMTU, &request) != 0) {
        *error = systemError("cannot set the MTU of " + name);
        return false;
    }
    // A longer queue than the default 500 absorbs the bursts of many connections' windows
    // (each up to 192 KiB of segments) between two reads of the tool.
    setName(&request, name);
    request.ifr_qlen = 10000;
    if (::ioctl(control.get(), SIOCSIFTXQLEN, &request) != 0) {
        *error = systemError("cannot set the queue length of " + name);
        return false;
    }
    setName(&request, name);
    if (::ioctl(control.get(), SIOCGIFFLAGS, &request) != 0) {
        *error = systemError("cannot read the flags of " + name);
        return false;
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    if (::ioctl(control.get(), SIOCSIFFLAGS, &request) != 0) {
        *error = systemError("cannot bring " + name + " up");
        return false;
    }

    rtentry route;
    std::memset(&route, 0, sizeof route);
    auto* destination = reinterpret_cast<sockaddr_in*>(&route.rt_dst);
    destination->sin_family = AF_INET;
    destination->sin_addr = localIp;
    auto* mask = reinterpret_cast<sockaddr_in*>(&route.rt_genmask);
    mask->sin_family = AF_INET;
    mask->sin_addr.s_addr = INADDR_BROADCAST;
    route.rt_flags = RTF_UP | RTF_HOST;
    char device[IFNAMSIZ] = {};
    std::strncpy(device, name.c_str(), IFNAMSIZ - 1);
    route.rt_dev = device;
    if (::ioctl(control.get(), SIOCADDRT, &route) != 0 && errno != EEXIST) {
        *error = systemError("cannot add the route for the local ip via " + name);
        return false;
    }
    return true;
}
