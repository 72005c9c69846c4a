"""A recording lab: the server (with a recordings directory) and a gateway in the test's
namespace, started on first use; cameras at CAMERA behind the gateway; a folder outside the
recordings directory; control connections that start recordings of CAMERA."""

import os
import socket
import subprocess

import pytest

from tamblo_camera import Camera
from tamblo_control import ControlClient
from tamblo_server import worker_pids
from tamblo_netns import DEFAULT_MAC, wait_until
from tamblo_rtsp_camera import RedirectingCamera

HERE = os.path.dirname(os.path.abspath(__file__))
PLAIN_MAC = DEFAULT_MAC.replace(":", "")
CAMERA = "198.18.0.10"


def status(word, port=80):
    return "VIDEORECORDER:STATUS:%s:%s:%d:%s" % (PLAIN_MAC, CAMERA, port, word)


class Lab:
    def __init__(self, netns, *server_args):
        self.netns = netns
        self.server_args = list(server_args)
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
                extra_args=["--recordings-dir=" + self.recordings, *self.server_args])
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

    def rtsp_camera(self, redirect_to=None):
        """GStreamer's camera (/h264), or one that redirects DESCRIBE to redirect_to."""
        if redirect_to:
            self.closers.append(RedirectingCamera(self.listener(CAMERA, 554), redirect_to).close)
            return
        if subprocess.run(["/usr/bin/python3", "-c", "import gi; gi.require_version("
                           "'GstRtspServer', '1.0')"], capture_output=True).returncode != 0:
            pytest.skip("GStreamer's RTSP server is missing")
        process = self.netns.spawn(["/usr/bin/python3", os.path.join(HERE, "tamblo_rtsp_camera.py"),
                                    "--address", CAMERA], label="camera")
        wait_until(lambda: "camera ready" in process.output() or not process.alive(),
                   timeout=300, what="the RTSP camera")

    def start(self, output, codec="", port=80, path="video"):
        """The control connection, once its START was answered RECORDING."""
        with self.netns.entered():
            control = ControlClient.connect(("127.0.0.1", self.server.ctrl_port))
        self.closers.append(control.close)
        control.start(PLAIN_MAC, CAMERA, port, "u", "p", path, output, *([codec] if codec else []))
        assert control.read_line() == status("RECORDING", port)
        return control

    def workers(self):
        return worker_pids(self.server.pid)

    def path(self, name):
        return os.path.join(self.recordings, name)

    def close(self):
        for close in reversed(self.closers):
            close()
