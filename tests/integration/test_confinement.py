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

# ------------------------------------------------------------------------------------------
# Helpers: what a process holds, as /proc shows it.


def descendants(pid):
    found, queue = [], [pid]
    while queue:
        parent = queue.pop()
        try:
            for task in os.listdir("/proc/%d/task" % parent):
                with open("/proc/%d/task/%s/children" % (parent, task)) as handle:
                    children = [int(p) for p in handle.read().split()]
                found.extend(children)
                queue.extend(children)
        except OSError:
            pass
    return found


def pipe_ends(pid):
    """{pipe inode: (descriptor, writable)} of the process."""
    ends = {}
    try:
        for name in os.listdir("/proc/%d/fd" % pid):
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, name))
                with open("/proc/%d/fdinfo/%s" % (pid, name)) as handle:
                    flags = int(handle.read().split("flags:")[1].split()[0], 8)
            except (OSError, IndexError):
                continue
            if target.startswith("pipe:["):
                ends[target] = (int(name), (flags & 3) != os.O_RDONLY)
    except OSError:
        pass
    return ends


def start_time(pid):
    with open("/proc/%d/stat" % pid) as handle:
        return int(handle.read().rsplit(")", 1)[1].split()[19])


def newest_worker_pipe(server_pid):
    """(pid, descriptor) of the newest process below the server that holds the write end of a
    pipe the server reads: a worker's pipe to its parent. None while there is none."""
    read_by_server = {inode for inode, (_, writable) in pipe_ends(server_pid).items()
                      if not writable}
    candidates = []
    for pid in descendants(server_pid):
        for inode, (fd, writable) in pipe_ends(pid).items():
            if writable and inode in read_by_server:
                try:
                    candidates.append((start_time(pid), pid, fd))
                except OSError:
                    pass
    return max(candidates)[1:] if candidates else None


class HeldService:
    """A configuration service on 127.0.0.1 of the namespace that takes every request and never
    answers: the server's lookups wait on it (up to their deadline)."""

    def __init__(self, netns):
        self.connections = []
        self.listener = netns.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", REST_PORT))
        self.listener.listen(16)
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                self.connections.append(self.listener.accept()[0])
            except OSError:
                return

    def close(self):
        self.listener.close()
        for connection in self.connections:
            connection.close()


# ------------------------------------------------------------------------------------------
# A forged 252: code running in a proxy worker writes "configuration found" into its pipe to the
# server, naming a real gateway, device and a session of its own. The server must authorise
# nothing on it and cache nothing: a later client with that session is not relayed.


def forged_configuration(request):
    netns = request.getfixturevalue("netns")
    request.getfixturevalue("tun_available")
    service = HeldService(netns)
    request.addfinalizer(service.close)
    relay = RelayWorld(netns, start_rest=False, server_args=["--spare-workers=0"])
    request.addfinalizer(relay.close)
    # The compromised worker: one whose own lookup waits on the service.
    client = relay.connect()
    request.addfinalizer(client.close)
    client.sendall(b"GET /whoami?%s HTTP/1.1\r\nHost: x\r\n\r\n"
                   % options(session="pending").encode())
    relay.server.log.wait_for(r"Sending request: /app/hm/ld/12")
    pid, descriptor = wait_until(lambda: newest_worker_pipe(relay.server.pid),
                                 what="the worker's pipe to the server")
    # The record as a worker once sent it: gc, ld, gateway key, session, device address,
    # override, port, gateway-lookup flag, padding.
    record = (struct.pack("=II", 7, 12) + DEFAULT_MAC.encode().ljust(256, b"\0") +
              b"forged".ljust(128, b"\0") + DEVICE_A.encode().ljust(128, b"\0") +
              bytes(128) + struct.pack("=HBB", 80, 0, 0))
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
    assert "matched one from cache" not in relay.server.log.text()[mark:]


ATTACKS = [
    pytest.param(forged_configuration, forged_configuration_fails,
                 id="forged-252-authorises-nothing"),
]


@pytest.mark.parametrize("attack, fails", ATTACKS)
def test_the_attack_fails(request, attack, fails):
    fails(attack(request))
