"""Recording files are complete: STOPPED is written only once the file is final (on STOP and on
the server's SIGTERM), a killed RTSP worker leaves a file that plays up to its last fragment,
and a camera that closes leaves everything it sent in the file."""

import json
import os
import signal
import struct
import subprocess

import pytest

from tamblo_lab import CAMERA, PLAIN_MAC, Lab, status
from tamblo_netns import netns, tun_available, wait_until  # noqa: F401 (fixtures)


def boxes(path):
    """The top-level box types of an mp4/3gp file."""
    found = []
    with open(path, "rb") as handle:
        data = handle.read()
    at = 0
    while at + 8 <= len(data):
        size, kind = struct.unpack_from(">I4s", data, at)
        if size == 1:
            size = struct.unpack_from(">Q", data, at + 8)[0]
        found.append(kind.decode("latin-1"))
        if size < 8:
            break
        at += size
    return found


def probe(path):
    """(codec names, duration in s, packets read) as ffprobe finds them."""
    result = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-show_entries",
                             "format=duration:stream=codec_name,nb_read_packets", "-of", "json",
                             path], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    found = json.loads(result.stdout)
    streams = found["streams"]
    return ([s["codec_name"] for s in streams], float(found["format"]["duration"]),
            sum(int(s["nb_read_packets"]) for s in streams))


def rtsp_recording(lab, name="camera.mp4"):
    lab.rtsp_camera()
    return lab.start(name, "H264", 554, "h264")


# (codec, server options, how the recording is ended, top-level boxes the file ends with)
CASES = {
    "mjpeg, stop": ("", [], "stop", None),
    "mjpeg, server stopped": ("", [], "sigterm", None),
    "rtsp, stop": ("H264", [], "stop", ["mfra"]),
    "rtsp, server stopped": ("H264", [], "sigterm", ["mfra"]),
    "rtsp without fragments, stop": ("H264", ["--recording-fragments=off"], "stop", ["moov"]),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_stopped_comes_once_the_file_is_complete(netns, tun_available, case):
    codec, options, how, ending = case
    lab = Lab(netns, *options)
    port, name = (554, "camera.mp4") if codec else (80, "camera.flv")
    try:
        if codec:
            control = rtsp_recording(lab)
        else:
            lab.mjpeg_camera()
            control = lab.start(name)
        worker = wait_until(lab.workers)[0]
        assert control.read_line(timeout=7) is None  # seven seconds of recording
        if how == "stop":
            control.stop(PLAIN_MAC, CAMERA, port)
        else:
            lab.server.send_signal(signal.SIGTERM)
        assert control.read_line(timeout=30) == status("STOPPED", port)
        size = os.path.getsize(lab.path(name))
        layout = boxes(lab.path(name)) if codec else None
        if how == "stop":
            wait_until(lambda: worker not in lab.workers(), what="the worker's end")
        else:
            assert lab.server.popen.wait(timeout=30) == 0
        assert os.path.getsize(lab.path(name)) == size  # nothing was written after STOPPED
        if ending:
            assert layout[-len(ending):] == ending
            assert ("moof" in layout) == (ending == ["mfra"])
        codecs, duration, _ = probe(lab.path(name))
        assert codecs == (["h264"] if codec else ["flv1"]) and duration > 5, (codecs, duration)
    finally:
        lab.close()


def test_a_killed_rtsp_worker_leaves_a_file_that_plays_to_its_last_fragment(netns, tun_available):
    lab = Lab(netns)
    try:
        control = rtsp_recording(lab)
        worker = wait_until(lab.workers)[0]
        assert control.read_line(timeout=8) is None  # eight seconds of recording
        os.kill(worker, signal.SIGKILL)
        assert control.read_line(timeout=10) == status("STOPPED", 554)
        codecs, duration, packets = probe(lab.path("camera.mp4"))
        # Fragments of at most 2 s: at least the first six seconds play.
        assert codecs == ["h264"] and duration >= 6 and packets >= 6 * 25, (duration, packets)
    finally:
        lab.close()


def test_a_camera_that_closes_leaves_every_frame_it_sent_in_the_file(netns, tun_available):
    lab = Lab(netns)
    try:
        # The whole clip as fast as the tunnel takes it, then the camera's end: the framework
        # is behind when the camera closes.
        camera = lab.rtsp_camera("burst", frames=2000)
        control = lab.start("camera.mp4", "H264", 554, "h264")
        assert control.read_line(timeout=40) == status("STOPPED", 554)
        assert camera.frames_sent == 2000
        assert probe(lab.path("camera.mp4"))[2] == 2000
    finally:
        lab.close()
