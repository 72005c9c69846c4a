"""Recording files are complete: STOPPED is written only once the file is final (on STOP and on
the server's SIGTERM), and a killed RTSP worker leaves a file that plays to its last fragment."""

import json
import os
import signal
import struct
import subprocess

import pytest

from tamblo_lab import CAMERA, PLAIN_MAC, Lab, status
from tamblo_netns import netns, tun_available, wait_until  # noqa: F401 (fixtures)


def boxes(path):
    """The top-level box types of an mp4/3gp file (none of 4 GiB here)."""
    with open(path, "rb") as handle:
        data = handle.read()
    found, at = [], 0
    while at + 8 <= len(data) and struct.unpack_from(">I", data, at)[0] >= 8:
        found.append(data[at + 4:at + 8].decode("latin-1"))
        at += struct.unpack_from(">I", data, at)[0]
    return found


def probe(path):
    """(codec names, duration in s, packets) as ffprobe reads them."""
    out = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-of", "json", "-show_entries",
                          "format=duration:stream=codec_name,nb_read_packets", path],
                         capture_output=True, text=True, timeout=60, check=True).stdout
    found = json.loads(out)
    return ([s["codec_name"] for s in found["streams"]], float(found["format"]["duration"]),
            sum(int(s["nb_read_packets"]) for s in found["streams"]))


def recording(lab, codec):
    if codec:
        lab.rtsp_camera()
        return lab.start("camera.mp4", codec, 554, "h264")
    lab.mjpeg_camera()
    return lab.start("camera.flv")


# (codec, server options, how the recording is ended, the file's last top-level box)
CASES = {
    "mjpeg, stop": ("", [], "stop", None),
    "mjpeg, server stopped": ("", [], "sigterm", None),
    "rtsp, stop": ("H264", [], "stop", "mfra"),
    "rtsp, server stopped": ("H264", [], "sigterm", "mfra"),
    "rtsp without fragments, stop": ("H264", ["--recording-fragments=off"], "stop", "moov"),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_stopped_comes_once_the_file_is_complete(netns, tun_available, case):
    codec, options, how, ending = case
    lab = Lab(netns, *options)
    port, path = (554, lab.path("camera.mp4")) if codec else (80, lab.path("camera.flv"))
    try:
        control = recording(lab, codec)
        worker = wait_until(lab.workers)[0]
        assert control.read_line(timeout=7) is None  # seven seconds of recording
        if how == "stop":
            control.stop(PLAIN_MAC, CAMERA, port)
        else:
            lab.server.send_signal(signal.SIGTERM)
        assert control.read_line(timeout=30) == status("STOPPED", port)
        size, layout = os.path.getsize(path), boxes(path) if codec else None
        if how == "stop":
            wait_until(lambda: worker not in lab.workers(), what="the worker's end")
        else:
            assert lab.server.popen.wait(timeout=30) == 0
        assert os.path.getsize(path) == size  # nothing was written after STOPPED
        if ending:  # fragments end with their index, the plain layout with its own
            assert layout[-1] == ending and ("moof" in layout) == (ending == "mfra"), layout
        codecs, duration, _ = probe(path)
        assert codecs == (["h264"] if codec else ["flv1"]) and duration > 5, (codecs, duration)
    finally:
        lab.close()


def test_a_killed_rtsp_worker_leaves_a_file_that_plays_to_its_last_fragment(netns, tun_available):
    lab = Lab(netns)
    try:
        control = recording(lab, "H264")
        worker = wait_until(lab.workers)[0]
        assert control.read_line(timeout=8) is None  # eight seconds of recording
        os.kill(worker, signal.SIGKILL)
        assert control.read_line(timeout=10) == status("STOPPED", 554)
        # Fragments of at most 2 s: at least the first six seconds play.
        codecs, duration, packets = probe(lab.path("camera.mp4"))
        assert codecs == ["h264"] and duration >= 6 and packets >= 6 * 25, (duration, packets)
    finally:
        lab.close()
