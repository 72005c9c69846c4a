"""Attacks on the confinement of the workers, each repeated against the real binaries: one row of
ATTACKS per attack, with its set-up (which returns what the check needs) and its check, both
small functions. A row's set-up takes pytest's request and asks it for the fixtures it needs."""

import os
import socket
import struct
import threading

import pytest

from tamblo_netns import DEFAULT_MAC, REST_PORT, wait_until
from tamblo_netns import netns, tun_available  # noqa: F401 (fixtures the rows ask for)
from tamblo_relay import DEVICE_A, RelayWorld, options


def pipe_ends(pid):
    """{pipe: (descriptor, writable)} of a process, from /proc."""
    ends = {}
    for name in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, name))
            with open("/proc/%d/fdinfo/%s" % (pid, name)) as handle:
                flags = int(handle.read().split("flags:")[1].split()[0], 8)
        except (OSError, IndexError):
            continue
        if target.startswith("pipe:"):
            ends[target] = (int(name), flags & 3 != os.O_RDONLY)
    return ends


def newest_worker_pipe(server_pid):
    """(pid, descriptor) of the newest process below the server that writes into a pipe the
    server reads: a worker's pipe to its parent."""
    read = {pipe for pipe, (_, writable) in pipe_ends(server_pid).items() if not writable}
    found, queue = [], [server_pid]
    while queue:
        parent = queue.pop()
        try:
            with open("/proc/%d/task/%d/children" % (parent, parent)) as handle:
                children = [int(pid) for pid in handle.read().split()]
            for pid in children:
                with open("/proc/%d/stat" % pid) as handle:
                    started = int(handle.read().rsplit(")", 1)[1].split()[19])
                found += [(started, pid, fd) for pipe, (fd, writable) in pipe_ends(pid).items()
                          if writable and pipe in read]
        except OSError:
            children = []
        queue += children
    return max(found)[1:] if found else None


def held_service(netns):
    """A configuration service that takes every request and never answers."""
    listener = netns.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", REST_PORT))
    listener.listen(16)

    def hold(held=[]):
        try:
            while True:
                held.append(listener.accept())
        except OSError:
            pass  # closed at the end of the test
    threading.Thread(target=hold, daemon=True).start()
    return listener


# A forged 252: code running in a proxy worker writes "configuration found" into its pipe to the
# server, naming a real gateway and device and a session of its own. It must authorise nothing
# and cache nothing: a later client with that session is not relayed.

def forged_configuration(request):
    netns = request.getfixturevalue("netns")
    request.getfixturevalue("tun_available")
    request.addfinalizer(held_service(netns).close)
    relay = RelayWorld(netns, start_rest=False, server_args=["--spare-workers=0"])
    request.addfinalizer(relay.close)
    client = relay.connect()  # the compromised worker's client: its lookup waits
    request.addfinalizer(client.close)
    client.sendall(b"GET /?%s HTTP/1.1\r\n\r\n" % options(session="pending").encode())
    relay.server.log.wait_for(r"Sending request: /app/hm/ld/12")
    pid, descriptor = wait_until(lambda: newest_worker_pipe(relay.server.pid), what="a worker")
    # The record as workers once sent it: gc, ld, gateway key, session, device, override, port.
    record = (struct.pack("=II", 7, 12) + DEFAULT_MAC.encode().ljust(256, b"\0") +
              b"forged".ljust(128, b"\0") + DEVICE_A.encode().ljust(128, b"\0") + bytes(128) +
              struct.pack("=HH", 80, 0))
    mark = relay.server.log.mark()
    with open("/proc/%d/fd/%d" % (pid, descriptor), "wb", buffering=0) as pipe:
        pipe.write(struct.pack("=BH", 252, len(record)) + record)
    return relay, mark


def forged_configuration_fails(world):
    relay, mark = world
    relay.server.log.wait_for(r"dropped a message of type 252 from worker \d+: a configuration "
                              r"from a worker authorises nothing", start=mark)
    code, _, body = relay.curl("/whoami", options(session="forged"), timeout=5)
    assert code != 0 and not body, "a client of the forged session was relayed"
    relay.server.log.wait_for(r"could not authorize new connection basing on cache", start=mark)
    assert relay.devices["a"].requests == []


ATTACKS = [
    pytest.param(forged_configuration, forged_configuration_fails,
                 id="forged-252-authorises-nothing"),
]


@pytest.mark.parametrize("attack, fails", ATTACKS)
def test_the_attack_fails(request, attack, fails):
    fails(attack(request))
