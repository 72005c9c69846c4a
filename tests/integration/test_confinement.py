"""Attacks on what parses hostile input, one table: each row sets an attack up against the real
binaries (in a namespace of the test's own) and checks that it came to nothing."""

import ctypes
import dataclasses
import os
import socket
import struct
import subprocess
from typing import Any, Callable

import pytest

from tamblo_camera import Camera
from tamblo_control import ControlClient
from tamblo_netns import DEFAULT_MAC, netns, tun_available, wait_until  # noqa: F401 (fixtures)
from tamblo_rtsp_camera import ScriptedCamera

HERE = os.path.dirname(os.path.abspath(__file__))
PLAIN_MAC = DEFAULT_MAC.replace(":", "")
CAMERA = "198.18.0.10"
REDIRECT_WARNING = r"WARN .*camera redirects the recording to '%s'"


class Lab:
    """The server (with a recordings directory) and a gateway in the test's namespace, started
    on first use; cameras behind the gateway; a folder outside the recordings directory."""

    def __init__(self, netns):
        self.netns = netns
        self.recordings = os.path.join(netns.workdir, "recordings")
        self.outside = os.path.join(netns.workdir, "outside")
        os.makedirs(self.recordings)
        os.makedirs(self.outside)
        self._server = None
        self.closers = []

    @property
    def server(self):
        if self._server is None:
            self._server = self.netns.start_server(
                extra_args=["--recordings-dir=" + self.recordings])
            self.netns.start_gateway()
            self._server.log.wait_for(r"Accepted UDP session from GC " + DEFAULT_MAC)
        return self._server

    def listener(self, address, port=0):
        sock = self.netns.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((address, port))
        sock.listen(8)
        return sock

    def mjpeg_camera(self, **options):
        camera = Camera(self.listener(CAMERA, 80), "u", "p", **options)
        self.closers.append(camera.close)
        return camera

    def rtsp_camera(self, mode="stream", **options):
        if mode != "stream":
            camera = ScriptedCamera(self.listener(CAMERA, 554), mode, **options)
            self.closers.append(camera.close)
            return camera
        if subprocess.run(["/usr/bin/python3", "-c", "import gi; gi.require_version("
                           "'GstRtspServer', '1.0')"], capture_output=True).returncode != 0:
            pytest.skip("GStreamer's RTSP server is missing")
        process = self.netns.spawn(["/usr/bin/python3", os.path.join(HERE, "tamblo_rtsp_camera.py"),
                                    "--address", CAMERA], label="camera")
        wait_until(lambda: "camera ready" in process.output() or not process.alive(),
                   timeout=300, what="the RTSP camera")
        return process

    def start(self, output, codec="", port=80, path="video"):
        """A recording of CAMERA into output; the control connection once RECORDING came."""
        with self.netns.entered():
            control = ControlClient.connect(("127.0.0.1", self.server.ctrl_port))
        self.closers.append(control.close)
        control.start(PLAIN_MAC, CAMERA, port, "u", "p", path, output, *([codec] if codec else []))
        assert control.read_line() == status("RECORDING", port)
        return control

    def close(self):
        for close in reversed(self.closers):
            close()


def status(word, port=80):
    return "VIDEORECORDER:STATUS:%s:%s:%d:%s" % (PLAIN_MAC, CAMERA, port, word)


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
