"""MJPEG cameras recorded through the tunnel, end to end in a namespace: the server, tamblo-gateway
and fake cameras (tamblo_camera.py) on device addresses behind it; files checked with ffprobe."""

import json
import os
import socket
import subprocess
import time

import pytest

from tamblo_camera import Camera
from tamblo_control import ControlClient
from tamblo_netns import DEFAULT_MAC, netns, tun_available  # noqa: F401 (fixtures)

PLAIN_MAC = DEFAULT_MAC.replace(":", "")
USER = "operator"
# Every character that ends the userinfo part of a URL, and an escape the framework would decode.
PASSWORD = "p@ss/w?r#d%41 x"
KEEPALIVE_TIMEOUT = 30  # seconds without traffic that end a worker
LOG_MARKERS = (b"libvlc", b"debug:", b"TambloServer", b"stream out", b"main ")


class RecordingWorld:
    def __init__(self, netns, **server_options):
        self.netns = netns
        self.server = netns.start_server(**server_options)
        netns.start_gateway()
        self.server.log.wait_for(r"Accepted UDP session from GC " + DEFAULT_MAC)
        self.cameras = []

    def camera(self, address, **options):
        listener = self.netns.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((address, 80))
        listener.listen(8)
        camera = Camera(listener, USER, PASSWORD, **options)
        self.cameras.append(camera)
        return camera

    def control(self):
        with self.netns.entered():
            return ControlClient.connect(("127.0.0.1", self.server.ctrl_port))

    def output(self, name):
        return os.path.join(self.netns.workdir, name)

    def close(self):
        for camera in self.cameras:
            camera.close()


@pytest.fixture
def world(netns, tun_available):
    made = []

    def make(**server_options):
        made.append(RecordingWorld(netns, **server_options))
        return made[-1]

    yield make
    for world in made:
        world.close()


def status(camera, word):
    return "VIDEORECORDER:STATUS:%s:%s:80:%s" % (PLAIN_MAC, camera, word)


def probe(path):
    result = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                             "format=format_name,duration:stream=codec_name", "-of", "json", path],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    found = json.loads(result.stdout)
    return (found["format"]["format_name"], [s["codec_name"] for s in found["streams"]],
            float(found["format"]["duration"]))


def test_a_recording_through_the_tunnel_is_a_valid_flv_file(world):
    # A server left without standard streams by its starter, whose workers keep them: the
    # framework's own log must still never reach the file.
    w = world(extra_args=["--enable-streams"], closed_streams=True)
    camera = w.camera("198.18.0.10")
    output = w.output("camera.flv")
    with w.control() as control:
        control.start(PLAIN_MAC, "198.18.0.10", 80, USER, PASSWORD, "video.mjpg", output)
        assert control.read_line() == status("198.18.0.10", "RECORDING")
        started = time.monotonic()
        assert control.read_line(timeout=10) is None  # ten seconds of recording, no report
        control.stop(PLAIN_MAC, "198.18.0.10", 80)
        assert control.read_line(timeout=10) == status("198.18.0.10", "STOPPED")
        recorded = time.monotonic() - started
        w.server.log.wait_for(r"removing tunnel with key")
        assert control.pending() == b""
    # The credentials reached the camera unchanged, in the one request the framework made.
    assert camera.requests == [("/video.mjpg", (USER, PASSWORD))]
    container, codecs, duration = probe(output)
    assert (container, codecs) == ("flv", ["flv1"])
    assert abs(duration - recorded) <= 0.2 * recorded, (duration, recorded)
    with open(output, "rb") as handle:
        data = handle.read()
    assert [marker for marker in LOG_MARKERS if marker in data] == []


def test_cameras_without_a_stream_end_after_the_keepalive_timeout(world):
    w = world()
    silent = w.camera("198.18.0.11", mode="silent", silent_after=20)
    refusing = w.camera("198.18.0.12")
    refusing.password = "another"  # the operator's password is refused with 401
    started = time.monotonic()
    controls = {}
    for address in ("198.18.0.11", "198.18.0.12"):
        controls[address] = w.control()
        controls[address].start(PLAIN_MAC, address, 80, USER, PASSWORD, "video.mjpg",
                                w.output(address + ".flv"))
        assert controls[address].read_line() == status(address, "RECORDING")
    for address, control in controls.items():
        assert control.read_line(timeout=KEEPALIVE_TIMEOUT + 20) == status(address, "STOPPED")
        assert time.monotonic() - started > KEEPALIVE_TIMEOUT
    w.server.log.wait_for(r"removing tunnel with key", count=2)
    for control in controls.values():
        assert control.pending() == b""
        control.close()
    # The framework asked once and then waited; the silent camera's frames made a valid file.
    assert refusing.refused == 1 and refusing.frames_sent == 0
    assert silent.frames_sent == 20
    assert probe(w.output("198.18.0.11.flv"))[:2] == ("flv", ["flv1"])
