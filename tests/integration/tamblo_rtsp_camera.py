"""A fake RTSP camera for recording tests: GStreamer's RTSP server serving test clips.

Run as a program inside a namespace (it needs /usr/bin/python3 with python3-gi and
gir1.2-gst-rtsp-server-1.0, GStreamer's good and bad plugins):

    ip netns exec NS /usr/bin/python3 tamblo_rtsp_camera.py --address 198.18.0.10 [--address ...]

Each address serves RTSP on port 554 (RTP over UDP or interleaved in the RTSP connection):

    /h264     H.264 640x480, 25 frames/s, about 2 Mbit/s (no B-frames, as cameras send it)
    /mpeg4    MPEG-4 part 2, the same picture and rate
    any other path is answered 404 Not Found

Every client gets the clip from its start at its own pace (one pipeline per client).

ScriptedCamera, used in-process on a listening socket, plays a short fixed script instead (no
GStreamer): "redirect" answers DESCRIBE with 302 and a Location; "burst" sets up an H.264
session with the media interleaved, sends `frames` frames of the clip as fast as the
connection takes them and closes at once. The clips
are made once per machine with ffmpeg into a cache folder under the system's temporary
directory, never into the repository (clips()). Signals: SIGUSR1 drops every client's connection
(a camera that goes away mid-stream), SIGTERM ends the program. It prints "camera ready" once it
listens, and "client connected <n>" for each new RTSP connection.
"""

import argparse
import base64
import contextlib
import fcntl
import os
import socket
import struct
import threading
import shutil
import signal
import subprocess
import sys
import tempfile

CLIP_SECONDS = 90     # longer than any recording of the tests and the benchmark
WIDTH, HEIGHT, FPS = 640, 480, 25
BITRATE = "2M"        # a camera's usual rate; the moving noise keeps the encoder from going below
RATE = ["-b:v", BITRATE, "-maxrate", BITRATE, "-bufsize", BITRATE]
ENCODERS = {
    "h264": ["-c:v", "libx264", "-preset", "veryfast", "-bf", "0", "-pix_fmt", "yuv420p", *RATE],
    "mpeg4": ["-c:v", "mpeg4", *RATE],
}
PARSERS = {"h264": "h264parse ! rtph264pay", "mpeg4": "mpeg4videoparse ! rtpmp4vpay"}


def clips():
    """{name: path} of the clips, made once and kept in a cache folder."""
    folder = os.path.join(tempfile.gettempdir(), "tamblo-rtsp-clips-%dx%d-%d-%d-%s" % (
        WIDTH, HEIGHT, FPS, CLIP_SECONDS, BITRATE))
    paths = {name: os.path.join(folder, name + ".mp4") for name in ENCODERS}
    with open(folder + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not all(os.path.exists(path) for path in paths.values()):
            staging = tempfile.mkdtemp(prefix="tamblo-rtsp-clips-")
            for name, encoder in ENCODERS.items():
                subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                                "testsrc=size=%dx%d:rate=%d" % (WIDTH, HEIGHT, FPS), "-vf",
                                "noise=alls=16:allf=t", "-t",
                                str(CLIP_SECONDS), "-g", str(FPS), *encoder,
                                os.path.join(staging, name + ".mp4")], check=True, timeout=300)
            shutil.rmtree(folder, ignore_errors=True)
            os.rename(staging, folder)
    return paths


def annexb_clip(frames):
    """The first `frames` frames of the H.264 clip as an Annex B stream, made once."""
    source = clips()["h264"]
    path = "%s-%d.h264" % (os.path.splitext(source)[0], frames)
    with open(os.path.dirname(source) + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(path):
            staging = path + ".new"
            subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", source,
                            "-frames:v", str(frames), "-c", "copy", "-bsf:v", "h264_mp4toannexb",
                            "-f", "h264", staging], check=True, timeout=120)
            os.rename(staging, path)
    with open(path, "rb") as handle:
        return handle.read()


def access_units(stream):
    """[[nal, ...], ...]: one list per frame (one slice per frame, parameter sets before it)."""
    starts, at = [], stream.find(b"\0\0\1")
    while at >= 0:
        starts.append(at)
        at = stream.find(b"\0\0\1", at + 3)
    ends = [b - 1 if stream[b - 1] == 0 else b for b in starts[1:]] + [len(stream)]
    nals = [stream[a + 3:b] for a, b in zip(starts, ends)]
    units, pending = [], []
    for nal in nals:
        pending.append(nal)
        if nal[0] & 0x1f in (1, 5):
            units.append(pending)
            pending = []
    return units


def rtp_packets(units, mtu=1400):
    """Interleaved RTP packets (channel 0) of the frames, FU-A for large NAL units."""
    out, sequence = [], 0
    for index, unit in enumerate(units):
        pieces = []
        for nal in unit:
            if len(nal) <= mtu:
                pieces.append(nal)
                continue
            header, body = nal[0], nal[1:]
            chunks = [body[i:i + mtu] for i in range(0, len(body), mtu)]
            for n, chunk in enumerate(chunks):
                fu = (0x80 if n == 0 else 0) | (0x40 if n == len(chunks) - 1 else 0) | header & 0x1f
                pieces.append(bytes([header & 0xe0 | 28, fu]) + chunk)
        for n, piece in enumerate(pieces):
            marker = 0x80 if n == len(pieces) - 1 else 0
            rtp = struct.pack(">BBHII", 0x80, marker | 96, sequence & 0xffff, index * 3600,
                              0x1234) + piece
            out.append(b"$\0" + struct.pack(">H", len(rtp)) + rtp)
            sequence += 1
    return out


class ScriptedCamera:
    """An RTSP camera on a listening socket (TCP, port 554 by convention) that plays a script."""

    def __init__(self, listener, mode, location=None, frames=100):
        self.listener = listener
        self.mode = mode
        self.location = location
        self.requests = []
        self.frames_sent = 0
        self.bytes_sent = 0
        self.done = threading.Event()
        self._packets = None
        if mode == "burst":
            self._units = access_units(annexb_clip(frames))
            self._packets = rtp_packets(self._units)
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _answer(self, connection, cseq, lines=(), body=b""):
        head = ["RTSP/1.0 200 OK", "CSeq: %s" % cseq, *lines]
        if body:
            head.append("Content-Length: %d" % len(body))
        connection.sendall(("\r\n".join(head) + "\r\n\r\n").encode() + body)

    def _sdp(self):
        sps = next(n for u in self._units for n in u if n[0] & 0x1f == 7)
        pps = next(n for u in self._units for n in u if n[0] & 0x1f == 8)
        sets = b",".join(base64.b64encode(n) for n in (sps, pps)).decode()
        return ("v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=burst\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
                "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
                "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=%s\r\n"
                "a=control:track1\r\n" % sets).encode()

    def _serve(self):
        with contextlib.suppress(OSError):
            connection, _ = self.listener.accept()
            with connection:
                reader = connection.makefile("rb")
                while True:
                    first = reader.read(1)
                    if not first:
                        return
                    if first == b"$":  # the framework's RTCP: skipped
                        length = struct.unpack(">H", reader.read(3)[1:])[0]
                        reader.read(length)
                        continue
                    lines = [(first + reader.readline()).decode("latin-1").strip()]
                    while lines[-1]:
                        lines.append(reader.readline().decode("latin-1").strip())
                    method = lines[0].split()[0]
                    self.requests.append(method)
                    cseq = next((l.split(":", 1)[1].strip() for l in lines
                                 if l.lower().startswith("cseq:")), "0")
                    if method == "DESCRIBE" and self.mode == "redirect":
                        connection.sendall(b"RTSP/1.0 302 Moved Temporarily\r\nCSeq: %s\r\n"
                                           b"Location: %s\r\n\r\n"
                                           % (cseq.encode(), self.location.encode()))
                    elif method == "DESCRIBE":
                        self._answer(connection, cseq, ["Content-Type: application/sdp",
                                                        "Content-Base: %s/" % lines[0].split()[1]],
                                     self._sdp())
                    elif method == "SETUP":
                        self._answer(connection, cseq, [
                            "Transport: RTP/AVP/TCP;unicast;interleaved=0-1", "Session: 4711"])
                    elif method == "PLAY":
                        self._answer(connection, cseq, ["Session: 4711"])
                        for packet in self._packets:
                            connection.sendall(packet)
                            self.bytes_sent += len(packet)
                        self.frames_sent = len(self._units)
                        connection.shutdown(socket.SHUT_WR)
                        return
                    else:
                        self._answer(connection, cseq, ["Public: OPTIONS, DESCRIBE, SETUP, PLAY"])
        self.done.set()

    def close(self):
        with contextlib.suppress(OSError):
            self.listener.close()
        self._thread.join(5)


def _serve(addresses):
    import gi
    gi.require_version("Gst", "1.0")
    gi.require_version("GstRtspServer", "1.0")
    from gi.repository import GLib, Gst, GstRtspServer

    Gst.init(None)
    made = clips()
    servers, clients = [], []

    def connected(_server, client):
        clients.append(client)
        print("client connected %d" % len(clients), flush=True)

    for address in addresses:
        server = GstRtspServer.RTSPServer()
        server.set_address(address)
        server.set_service("554")
        mounts = server.get_mount_points()
        for name, path in made.items():
            factory = GstRtspServer.RTSPMediaFactory()
            factory.set_launch("( filesrc location=%s ! qtdemux ! %s name=pay0 pt=96 "
                               "config-interval=1 )" % (path, PARSERS[name]))
            factory.set_shared(False)
            mounts.add_factory("/" + name, factory)
        server.connect("client-connected", connected)
        if server.attach(None) == 0:
            raise SystemExit("cannot listen on %s:554" % address)
        servers.append(server)

    def drop_clients():
        for server in servers:
            server.client_filter(lambda *_: GstRtspServer.RTSPFilterResult.REMOVE)
        print("clients dropped", flush=True)
        return GLib.SOURCE_CONTINUE

    main = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, drop_clients)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, lambda: main.quit())
    print("camera ready", flush=True)
    main.run()


def main(argv):
    parser = argparse.ArgumentParser(description="fake RTSP camera (GStreamer)")
    parser.add_argument("--address", action="append", required=True)
    parser.add_argument("--make-clips", action="store_true", help="only make the clips")
    args = parser.parse_args(argv)
    if args.make_clips:
        print(clips())
        return 0
    _serve(args.address)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
