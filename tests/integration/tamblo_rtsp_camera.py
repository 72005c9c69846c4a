"""A fake RTSP camera for recording tests: GStreamer's RTSP server serving test clips.

Run as a program inside a namespace (it needs /usr/bin/python3 with python3-gi and
gir1.2-gst-rtsp-server-1.0, GStreamer's good and bad plugins):

    ip netns exec NS /usr/bin/python3 tamblo_rtsp_camera.py --address 198.18.0.10 [--address ...]

Each address serves RTSP on port 554 (RTP over UDP or interleaved in the RTSP connection):

    /h264     H.264 640x480, 25 frames/s, about 2 Mbit/s (no B-frames, as cameras send it)
    /mpeg4    MPEG-4 part 2, the same picture and rate
    any other path is answered 404 Not Found

Every client gets the clip from its start at its own pace (one pipeline per client).
RedirectingCamera, used in-process on a listening socket, answers DESCRIBE with a 302 instead. The clips
are made once per machine with ffmpeg into a cache folder under the system's temporary
directory, never into the repository (clips()). Signals: SIGUSR1 drops every client's connection
(a camera that goes away mid-stream), SIGTERM ends the program. It prints "camera ready" once it
listens, and "client connected <n>" for each new RTSP connection.
"""

import argparse
import contextlib
import fcntl
import os
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


class RedirectingCamera(threading.Thread):
    """An RTSP camera on a listening socket (no GStreamer) that answers DESCRIBE with a 302 to
    `location` and every other request with 200."""

    def __init__(self, listener, location):
        super().__init__(daemon=True)
        self.listener, self.location = listener, location
        self.start()

    def run(self):
        with contextlib.suppress(OSError), self.listener.accept()[0] as connection:
            reader = connection.makefile("rb")
            while True:
                lines = [reader.readline().strip()]
                while lines[-1]:
                    lines.append(reader.readline().strip())
                if not lines[0]:
                    return
                cseq = next((l[5:].strip() for l in lines if l.lower().startswith(b"cseq:")), b"0")
                answer = b"RTSP/1.0 200 OK\r\nCSeq: %s\r\n\r\n" % cseq
                if lines[0].startswith(b"DESCRIBE"):
                    answer = b"RTSP/1.0 302 Found\r\nCSeq: %s\r\nLocation: %s\r\n\r\n" % (
                        cseq, self.location.encode())
                connection.sendall(answer)

    def close(self):
        with contextlib.suppress(OSError):
            self.listener.close()
        self.join(5)


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
