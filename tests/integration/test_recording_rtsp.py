"""RTSP cameras recorded through the tunnel, end to end in a namespace: the server, tamblo-gateway
and GStreamer's RTSP server (tamblo_rtsp_camera.py) on device addresses behind it; files checked
with ffprobe. The channel path (RTP/RTCP as gateway datagrams) is driven by a test gateway on
loopback."""

import json
import os
import signal
import socket
import subprocess
import time

import pytest

import tamblo_gc
from tamblo_control import ControlClient
from tamblo_netns import DEFAULT_MAC, netns, tun_available, wait_until  # noqa: F401 (fixtures)

HERE = os.path.dirname(os.path.abspath(__file__))
PLAIN_MAC = DEFAULT_MAC.replace(":", "")
CAMERAS = ("198.18.0.10", "198.18.0.11")
RECORD_SECONDS = 15


def gstreamer_missing():
    probe = subprocess.run(["/usr/bin/python3", "-c", "import gi; gi.require_version('GstRtspServer',"
                            " '1.0'); from gi.repository import GstRtspServer"],
                           capture_output=True, timeout=30)
    return probe.returncode != 0


pytestmark = pytest.mark.skipif(gstreamer_missing(), reason="GStreamer's RTSP server is missing")


class RtspWorld:
    def __init__(self, netns):
        self.netns = netns
        self.server = netns.start_server()
        netns.start_gateway()
        self.server.log.wait_for(r"Accepted UDP session from GC " + DEFAULT_MAC)
        args = ["/usr/bin/python3", os.path.join(HERE, "tamblo_rtsp_camera.py")]
        for address in CAMERAS:
            args += ["--address", address]
        self.camera = netns.spawn(args, label="camera")
        wait_until(lambda: "camera ready" in self.camera.output() or not self.camera.alive(),
                   timeout=300, what="the RTSP camera")  # the first run makes the clips
        assert self.camera.alive(), self.camera.output()

    def control(self):
        with self.netns.entered():
            return ControlClient.connect(("127.0.0.1", self.server.ctrl_port))

    def output(self, name):
        return os.path.join(self.netns.workdir, name)


@pytest.fixture
def world(netns, tun_available):
    return RtspWorld(netns)


def status(camera, word, port=554):
    return "VIDEORECORDER:STATUS:%s:%s:%d:%s" % (PLAIN_MAC, camera, port, word)


def probe(path):
    result = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                             "format=duration:format_tags=major_brand:stream=codec_name", "-of",
                             "json", path], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    found = json.loads(result.stdout)
    return (found["format"].get("tags", {}).get("major_brand", "").strip(),
            [s["codec_name"] for s in found["streams"]], float(found["format"]["duration"]))


def start(control, camera, path, output, codec, port=554):
    control.start(PLAIN_MAC, camera, port, "admin", "secret", path, output, codec)
    assert control.read_line() == status(camera, "RECORDING", port)


def test_h264_and_mpeg4_cameras_are_recorded_into_mp4_and_3gp(world):
    # Both at once, from two cameras: (codec, camera, path, file, brand, stream codec).
    cases = [("H264", CAMERAS[0], "h264", "camera.mp4", "iso", "h264"),
             ("MPEG4", CAMERAS[1], "mpeg4", "camera.3gp", "3gp", "mpeg4")]
    controls = []
    for codec, camera, path, name, _, _ in cases:
        controls.append(world.control())
        start(controls[-1], camera, path, world.output(name), codec)
    started = time.monotonic()
    assert controls[0].read_line(timeout=RECORD_SECONDS) is None  # no report while recording
    for control, (_, camera, _, _, _, _) in zip(controls, cases):
        control.stop(PLAIN_MAC, camera, 554)
    recorded = time.monotonic() - started
    for control, (_, camera, _, _, _, _) in zip(controls, cases):
        assert control.read_line(timeout=15) == status(camera, "STOPPED")
    world.server.log.wait_for(r"removing tunnel with key", count=2, timeout=20)
    for control in controls:
        assert control.pending() == b""
    # The framework asked for TCP-interleaved media; the camera saw the channel ids.
    log = world.server.log.text()
    assert "RTP/AVP/TCP" in log and ";components=128,129" in log
    for _, _, _, name, brand, codec in cases:
        found_brand, codecs, duration = probe(world.output(name))
        assert found_brand.startswith(brand) and codecs == [codec], (name, found_brand, codecs)
        assert abs(duration - recorded) <= 0.2 * recorded, (name, duration, recorded)


@pytest.mark.parametrize("how", ["refuses", "goes-away", "server-stops"])
def test_a_recording_cut_short_ends_once_with_a_complete_file(world, how):
    output = world.output("camera.mp4")
    with world.control() as control:
        # An unknown path is refused (404 Not Found); a known one streams until the camera
        # drops its clients, or the server is stopped.
        start(control, CAMERAS[0], "nothing-here" if how == "refuses" else "h264", output, "H264")
        if how != "refuses":
            world.server.log.wait_for(r"libav: PLAY rtsp", timeout=20)
            assert control.read_line(timeout=3) is None  # three seconds of media
        if how == "server-stops":
            assert world.server.stop(timeout=15) == 0
        else:
            if how == "goes-away":
                world.camera.send_signal(signal.SIGUSR1)
            assert control.read_line(timeout=45) == status(CAMERAS[0], "STOPPED")
            world.server.log.wait_for(r"removing tunnel with key", timeout=20)
            assert control.pending() == b""
            assert world.server.alive()
    if how == "refuses":
        assert "404 Not Found" in world.server.log.text()
    else:
        # What was recorded before the end is a complete file (its index written).
        _, codecs, duration = probe(output)
        assert codecs == ["h264"] and duration > 1.0
    assert "may be incomplete" not in world.server.log.text()


def test_channel_datagrams_reach_the_local_sockets_and_rtcp_goes_back(server, gc):
    """A test gateway on loopback: the recording's tunnel never comes up (its SYNs go
    unanswered), and the test plays the media framework on the local endpoint."""
    mac = gc.mac_key.replace(":", "")
    assert gc.register()[0] == tamblo_gc.ACCEPT
    with ControlClient.connect(("127.0.0.1", server.ctrl_port)) as control:
        control.start(mac, "198.18.0.10", 554, "u", "p", "h264", "/dev/null", "H264")
        assert control.read_line().endswith(":RECORDING")
        found = server.wait_for_log(r"local endpoint on 127\.0\.0\.1:\d+", regex=True)
        endpoint = int(found.message.rsplit(":", 1)[1])
        # The recording's two channels (the first pair of a fresh gateway) are registered.
        server.wait_for_log("registering channel", count=2)
        rtp, rtcp = (socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2))
        for sock in (rtp, rtcp):
            sock.bind(("127.0.0.1", 0))
            sock.settimeout(5)
        media = socket.create_connection(("127.0.0.1", endpoint), timeout=5)
        media.sendall(b"SETUP rtsp://127.0.0.1/h264/stream=0 RTSP/1.0\r\nCSeq: 3\r\n"
                      b"Transport: RTP/AVP;unicast;client_port=%d-%d\r\n\r\n"
                      % (rtp.getsockname()[1], rtcp.getsockname()[1]))
        server.wait_for_log("RTP/RTCP sockets on ports")
        rtp_packet = bytes([0x80, 96]) + b"rtp-payload"
        rtcp_packet = bytes([0x81, 201]) + b"rtcp-report"
        gc.send(tamblo_gc.build_channel(128, rtp_packet))
        gc.send(tamblo_gc.build_channel(129, rtcp_packet))
        got_rtp, rtp_source = rtp.recvfrom(2048)
        got_rtcp, rtcp_source = rtcp.recvfrom(2048)
        assert (got_rtp, got_rtcp) == (rtp_packet, rtcp_packet)
        # The decoder's pair is consecutive, on the loopback address only.
        assert rtp_source[0] == rtcp_source[0] == "127.0.0.1"
        assert rtcp_source[1] == rtp_source[1] + 1
        # The framework's RTCP goes to the gateway as it is, with no channel id in front.
        report = bytes([0x81, 201, 0, 1]) + b"rr-from-framework"
        rtcp.sendto(report, rtcp_source)
        deadline = time.monotonic() + 5
        seen = []
        while report not in seen and time.monotonic() < deadline:
            datagram = gc.recv(timeout=max(0.0, deadline - time.monotonic()))
            if datagram is not None:
                seen.append(datagram)
        assert report in seen
        # A STOP with no media framework running still ends the recording, once.
        control.stop(mac, "198.18.0.10", 554)
        assert control.read_line(timeout=15).endswith(":STOPPED")
        server.wait_for_log("removing tunnel with key", timeout=15)
        assert control.pending() == b""
        media.close()
        rtp.close()
        rtcp.close()
