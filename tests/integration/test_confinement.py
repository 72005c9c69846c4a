"""Attacks on what parses hostile input, one table: each row sets an attack up against the real
binaries (in a namespace of the test's own) and checks that it came to nothing."""

import ctypes
import dataclasses
import os
from typing import Any, Callable

import pytest

from tamblo_lab import CAMERA, PLAIN_MAC, Lab, status
from tamblo_netns import netns, tun_available  # noqa: F401 (fixtures)

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


@dataclasses.dataclass
class Attack:
    name: str
    setup: Callable[[Lab], Any]
    check: Callable[[Lab, Any], None]


ATTACKS = [
    Attack("rtsp camera redirects to a loopback port", *redirect("H264", "rtsp", loopback_port)),
    Attack("mjpeg camera redirects to a loopback port", *redirect("", "http", loopback_port)),
    Attack("mjpeg camera redirects to a local file", *redirect("", "file", local_file)),
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
