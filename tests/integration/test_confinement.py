"""Attacks on what parses hostile input and on the workers' confinement, one table: each row sets
an attack up against the real binaries (in a namespace of the test's own) and checks that it came
to nothing. A row's set-up takes pytest's request and asks it for the fixtures it needs."""

import ctypes
import dataclasses
import os
import socket
import struct
import threading
from typing import Any, Callable

import pytest

from tamblo_lab import CAMERA, PLAIN_MAC, Lab, status
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


# Secrets: a keyed gateway registers and a client's session is looked up and cached; then every
# worker (that client's own two, and the spare forked after them) and the zygote are read whole. No
# process but the server holds the gateway's key, and only the client's own worker its session.

SESSION = "s3cr3t-5e55i0n-of-client-a"


def holds(pid, secret):
    """Whether secret is anywhere in the readable memory of process pid."""
    with open("/proc/%d/maps" % pid) as maps, open("/proc/%d/mem" % pid, "rb", 0) as memory:
        for line in maps:
            fields = line.split()
            if not fields[1].startswith("r") or fields[-1] in ("[vvar]", "[vsyscall]"):
                continue
            start, end = (int(x, 16) for x in fields[0].split("-"))
            try:
                memory.seek(start)
                if secret in memory.read(end - start):
                    return True
            except (OSError, ValueError, OverflowError):
                continue
    return False


def secrets_held(request):
    server = request.getfixturevalue("start_server")(["--spare-workers=1"])
    gateway = request.getfixturevalue("make_client")(server=server)
    assert gateway.register(keyed=True) is not None and gateway.aes_key
    held = request.getfixturevalue("held_workers")(server, session=SESSION)
    first, = held.connect(1)
    server.wait_for_log("Setting session id")
    # The spare that the second connection leaves behind is forked once the session is cached.
    second, = held.connect(1)
    for client in (first, second):
        request.addfinalizer(client.close)

    def holding():
        found = [pid for pid in server.children() if holds(pid, SESSION.encode())]
        return found if len(found) == 2 else None
    own = wait_until(holding, what="the client's two workers")
    spare = wait_until(lambda: [pid for pid in server.children() if pid not in own],
                       what="a spare worker forked after the lookup")
    return server, gateway.aes_key, own, spare


def secrets_stay_in_the_server(world):
    server, key, own, spare = world
    session = SESSION.encode()
    assert holds(server.pid, key) and holds(server.pid, session), "the scan finds nothing"
    for pid in own + spare + [server.zygote()]:
        assert not holds(pid, key), "process %d holds the gateway's key" % pid
    for pid in spare + [server.zygote()]:
        assert not holds(pid, session), "process %d holds another client's session" % pid


REDIRECT_WARNING = r"WARN .*camera redirects the recording to '%s'"
IN_OPEN = 0x20


def ends_once(lab, control, port):
    """The recording ends by itself, with one STOPPED and its tunnel gone."""
    assert control.read_line(timeout=40) == status("STOPPED", port)
    lab.server.log.wait_for(r"removing tunnel with key")
    assert control.pending() == b""


def redirect(codec, scheme, target):
    """A camera redirects to a place of target(lab) -> (location, was it reached?)."""
    port = 554 if codec else 80

    def setup(lab):
        location, reached = target(lab, scheme)
        if codec:
            lab.rtsp_camera(redirect_to=location)
        else:
            lab.mjpeg_camera(mode="redirect", location=location)
        return lab.start(lab.path("r"), codec, port), location, reached

    def check(lab, state):
        control, location, reached = state
        ends_once(lab, control, port)
        assert not reached()
        lab.server.log.wait_for(REDIRECT_WARNING % location)
    return setup, check


def loopback_port(lab, scheme):
    listener = lab.listener("127.0.0.1")
    listener.setblocking(False)

    def reached():
        try:
            return listener.accept()
        except BlockingIOError:
            return None
    return "%s://127.0.0.1:%d/x" % (scheme, listener.getsockname()[1]), reached


def local_file(lab, scheme):
    canary = os.path.join(lab.outside, "canary")
    with open(canary, "w") as handle:
        handle.write("secret\n")
    libc = ctypes.CDLL(None, use_errno=True)
    watch = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)  # opens only: any event is one
    assert watch >= 0 and libc.inotify_add_watch(watch, canary.encode(), IN_OPEN) >= 0

    def reached():
        try:
            return os.read(watch, 4096)
        except BlockingIOError:
            return None
    return "file://" + canary, reached


def swapped_for_link(codec):
    """The recording file becomes a link to a file outside once RECORDING was answered."""
    port, name = (554, "camera.mp4") if codec else (80, "camera.flv")

    def setup(lab):
        victim = os.path.join(lab.outside, "victim")
        with open(victim, "w") as handle:
            handle.write("keep\n")
        lab.rtsp_camera() if codec else lab.mjpeg_camera()
        control = lab.start(name, codec, port, "h264" if codec else "video")
        if os.path.lexists(lab.path(name)):
            os.remove(lab.path(name))
        os.symlink(victim, lab.path(name))
        return control, victim

    def check(lab, state):
        control, victim = state
        assert control.read_line(timeout=6) is None  # six seconds of recording
        control.stop(PLAIN_MAC, CAMERA, port)
        assert control.read_line(timeout=30) == status("STOPPED", port)
        with open(victim, "rb") as handle:
            assert handle.read() == b"keep\n"
    return setup, check


def in_lab(setup, check):
    """A row whose set-up and check work in a Lab (a server, a gateway and cameras)."""
    def lab_setup(request):
        request.getfixturevalue("tun_available")
        lab = Lab(request.getfixturevalue("netns"))
        request.addfinalizer(lab.close)
        return lab, setup(lab)

    def lab_check(state):
        lab, inner = state
        check(lab, inner)
    return lab_setup, lab_check


@dataclasses.dataclass
class Attack:
    name: str
    setup: Callable[[Any], Any]  # pytest's request -> what the check needs
    check: Callable[[Any], None]


ATTACKS = [
    Attack("forged 252 authorises nothing", forged_configuration, forged_configuration_fails),
    Attack("workers hold no key and no other client's session", secrets_held,
           secrets_stay_in_the_server),
    Attack("rtsp camera redirects to a loopback port",
           *in_lab(*redirect("H264", "rtsp", loopback_port))),
    Attack("mjpeg camera redirects to a loopback port",
           *in_lab(*redirect("", "http", loopback_port))),
    Attack("mjpeg camera redirects to a local file", *in_lab(*redirect("", "file", local_file))),
    Attack("mjpeg recording file swapped for a link", *in_lab(*swapped_for_link(""))),
    Attack("rtsp recording file swapped for a link", *in_lab(*swapped_for_link("H264"))),
]


@pytest.mark.parametrize("attack", ATTACKS, ids=[a.name for a in ATTACKS])
def test_attack_comes_to_nothing(request, attack):
    attack.check(attack.setup(request))
