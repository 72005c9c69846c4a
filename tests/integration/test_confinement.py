"""Attacks on what parses hostile input, one table: each row sets an attack up against the real
binaries (in a namespace of the test's own) and checks that it came to nothing."""

import ctypes
import dataclasses
import os
import struct
from typing import Any, Callable

import pytest

from tamblo_lab import CAMERA, PLAIN_MAC, Lab, status
from tamblo_netns import netns, tun_available  # noqa: F401 (fixtures)

REDIRECT_WARNING = r"WARN .*camera redirects the recording to '%s'"


def ends_once(lab, control, port):
    """The recording ends by itself, with one STOPPED and its tunnel gone."""
    assert control.read_line(timeout=40) == status("STOPPED", port)
    lab.server.log.wait_for(r"removing tunnel with key")
    assert control.pending() == b""


def no_connection(listener):
    listener.setblocking(False)
    with pytest.raises(BlockingIOError):
        listener.accept()


class OpenWatch:
    """inotify on one file: whether anyone opened it since the watch began."""
    IN_OPEN = 0x20

    def __init__(self, path):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        assert self.fd >= 0 and self.libc.inotify_add_watch(self.fd, path.encode(), self.IN_OPEN) >= 0

    def opened(self):
        try:
            events = os.read(self.fd, 4096)  # only opens are watched: any event is one
        except BlockingIOError:
            return False
        finally:
            os.close(self.fd)
        return struct.unpack_from("iIII", events)[1] & self.IN_OPEN != 0


# --- the framework follows a camera's redirect -------------------------------------------------

def redirect_to_loopback(codec, port):
    def setup(lab):
        target = lab.listener("127.0.0.1")
        location = "%s://127.0.0.1:%d/x" % ("rtsp" if codec else "http", target.getsockname()[1])
        if codec:
            lab.rtsp_camera("redirect", location=location)
        else:
            lab.mjpeg_camera(mode="redirect", location=location)
        return lab.start(os.path.join(lab.recordings, "r.mp4"), codec, port), target, location

    def check(lab, state):
        control, target, location = state
        ends_once(lab, control, port)
        no_connection(target)
        lab.server.log.wait_for(REDIRECT_WARNING % location)
    return setup, check


def redirect_to_local_file():
    def setup(lab):
        canary = os.path.join(lab.outside, "canary")
        with open(canary, "w") as handle:
            handle.write("secret\n")
        watch = OpenWatch(canary)
        lab.mjpeg_camera(mode="redirect", location="file://" + canary)
        return lab.start(os.path.join(lab.recordings, "r.flv")), watch, canary

    def check(lab, state):
        control, watch, canary = state
        ends_once(lab, control, 80)
        assert not watch.opened()
        lab.server.log.wait_for(REDIRECT_WARNING % ("file://" + canary))
    return setup, check


# --- the output file is swapped for a link once the recording runs -----------------------------

def swapped_for_link(codec):
    port = 554 if codec else 80
    name = "camera.mp4" if codec else "camera.flv"

    def setup(lab):
        victim = os.path.join(lab.outside, "victim")
        with open(victim, "w") as handle:
            handle.write("keep\n")
        if codec:
            lab.rtsp_camera()
        else:
            lab.mjpeg_camera()
        control = lab.start(name, codec, port, "h264" if codec else "video")
        path = os.path.join(lab.recordings, name)
        if os.path.lexists(path):
            os.remove(path)
        os.symlink(victim, path)
        return control, victim

    def check(lab, state):
        control, victim = state
        assert control.read_line(timeout=6) is None  # six seconds of recording
        control.stop(PLAIN_MAC, CAMERA, port)
        assert control.read_line(timeout=30) == status("STOPPED", port)
        with open(victim, "rb") as handle:
            assert handle.read() == b"keep\n"
    return setup, check


@dataclasses.dataclass
class Attack:
    name: str
    setup: Callable[[Lab], Any]
    check: Callable[[Lab, Any], None]


ATTACKS = [
    Attack("rtsp camera redirects to a loopback port", *redirect_to_loopback("H264", 554)),
    Attack("mjpeg camera redirects to a loopback port", *redirect_to_loopback("", 80)),
    Attack("mjpeg camera redirects to a local file", *redirect_to_local_file()),
    Attack("mjpeg recording file swapped for a link", *swapped_for_link("")),
    Attack("rtsp recording file swapped for a link", *swapped_for_link("H264")),
]


@pytest.mark.parametrize("attack", ATTACKS, ids=[a.name for a in ATTACKS])
def test_attack_comes_to_nothing(netns, tun_available, attack):
    lab = Lab(netns)
    try:
        attack.check(lab, attack.setup(lab))
    finally:
        lab.close()
