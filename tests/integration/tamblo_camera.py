"""A fake MJPEG camera for recording tests: HTTP/1.1 with Basic auth, multipart/x-mixed-replace JPEG frames.

    camera = Camera(listener, user="admin", password="secret", fps=10)
    ...  GET /<any path> with the right credentials gets an endless stream of JPEG frames
    camera.close()

The frames are made once per machine with ffmpeg (testsrc, 640x480) into a cache folder under the
system's temporary directory, never into the repository (frames()). Every request is recorded
with its path and the credentials it carried, decoded (camera.requests). Modes:

    stream   frames at `fps` until the client goes away
    silent   the answer head and `silent_after` frames, then nothing more; the connection stays open
    redirect every request (credentials or not) is answered 302 with `Location: <location>`
A request with wrong or missing credentials gets 401 with a WWW-Authenticate header and the
connection stays open for the next request, as cameras do.

Run as a program, it serves inside a namespace (used by the benchmark):

    ip netns exec NS python3 tamblo_camera.py --address 198.18.0.10 --port 80 --user u --password p
"""

import argparse
import base64
import contextlib
import fcntl
import glob
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

BOUNDARY = b"tamboundary"
FRAME_COUNT = 50


def frames(width=640, height=480, fps=10):
    """The JPEG frames of the test pattern (a list of bytes), made once and kept in a cache folder."""
    folder = os.path.join(tempfile.gettempdir(), "tamblo-camera-frames-%dx%d-%d" % (width, height, fps))
    with open(folder + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        names = sorted(glob.glob(os.path.join(folder, "f*.jpg")))
        if len(names) != FRAME_COUNT:
            staging = tempfile.mkdtemp(prefix="tamblo-camera-")
            subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                            "testsrc=size=%dx%d:rate=%d" % (width, height, fps), "-frames:v",
                            str(FRAME_COUNT), "-q:v", "5", os.path.join(staging, "f%03d.jpg")],
                           check=True, timeout=120)
            shutil.rmtree(folder, ignore_errors=True)
            os.rename(staging, folder)
            names = sorted(glob.glob(os.path.join(folder, "f*.jpg")))
    result = []
    for name in names:
        with open(name, "rb") as handle:
            result.append(handle.read())
    return result


class Camera:
    """The camera on a listening TCP socket (e.g. from Namespace.socket); threads serve each client."""

    def __init__(self, listener, user="admin", password="secret", fps=10, mode="stream",
                 silent_after=20, width=640, height=480, location=None):
        self.listener = listener
        self.user = user
        self.password = password
        self.fps = fps
        self.mode = mode
        self.silent_after = silent_after
        self.location = location
        self.frames = frames(width, height, fps)
        self.requests = []       # (path, (user, password) or None)
        self.refused = 0         # answers with 401
        self.frames_sent = 0
        self.connections = 0
        self._lock = threading.Lock()
        self._closing = threading.Event()
        self._clients = []
        self.address = listener.getsockname()
        self._acceptor = threading.Thread(target=self._accept, daemon=True)
        self._acceptor.start()

    def _accept(self):
        while not self._closing.is_set():
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            with self._lock:
                self.connections += 1
                self._clients.append(connection)
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection):
        with contextlib.suppress(OSError), connection:
            reader = connection.makefile("rb")
            while not self._closing.is_set():
                head = self._read_head(reader)
                if head is None:
                    return
                path, credentials = head
                with self._lock:
                    self.requests.append((path, credentials))
                if self.mode == "redirect":
                    connection.sendall(b"HTTP/1.1 302 Found\r\nLocation: %s\r\n"
                                       b"Content-Length: 0\r\n\r\n" % self.location.encode())
                    continue
                if credentials != (self.user, self.password):
                    body = b"authorisation required\n"
                    connection.sendall(b"HTTP/1.1 401 Unauthorized\r\n"
                                       b"WWW-Authenticate: Basic realm=\"camera\"\r\n"
                                       b"Content-Type: text/plain\r\n"
                                       b"Content-Length: %d\r\n\r\n" % len(body) + body)
                    with self._lock:
                        self.refused += 1
                    continue
                self._stream(connection)
                return

    @staticmethod
    def _read_head(reader):
        line = reader.readline(8192)
        if not line:
            return None
        parts = line.decode("latin-1").split()
        path = parts[1] if len(parts) >= 2 else ""
        credentials = None
        while True:
            header = reader.readline(8192)
            if header in (b"\r\n", b"\n", b""):
                break
            name, _, value = header.decode("latin-1").partition(":")
            if name.strip().lower() == "authorization":
                scheme, _, token = value.strip().partition(" ")
                if scheme.lower() == "basic":
                    with contextlib.suppress(ValueError):
                        user, _, password = base64.b64decode(token).decode("utf-8").partition(":")
                        credentials = (user, password)
        return path, credentials

    def _stream(self, connection):
        connection.sendall(b"HTTP/1.1 200 OK\r\n"
                           b"Content-Type: multipart/x-mixed-replace; boundary=" + BOUNDARY + b"\r\n"
                           b"Cache-Control: no-cache\r\n\r\n")
        interval = 1.0 / self.fps
        due = time.monotonic()
        sent = 0
        while not self._closing.is_set():
            if self.mode == "silent" and sent >= self.silent_after:
                self._closing.wait()  # keeps the connection open and says nothing more
                return
            frame = self.frames[sent % len(self.frames)]
            connection.sendall(b"--" + BOUNDARY + b"\r\nContent-Type: image/jpeg\r\n"
                               b"Content-Length: %d\r\n\r\n" % len(frame) + frame + b"\r\n")
            sent += 1
            with self._lock:
                self.frames_sent += 1
            # The camera's frame clock: the next frame is due one interval after the last.
            due += interval
            self._closing.wait(max(0.0, due - time.monotonic()))

    def close(self, timeout=5.0):
        self._closing.set()
        with contextlib.suppress(OSError):
            self.listener.shutdown(socket.SHUT_RDWR)
        self.listener.close()
        with self._lock:
            for client in self._clients:
                with contextlib.suppress(OSError):
                    client.shutdown(socket.SHUT_RDWR)
        self._acceptor.join(timeout)


def _main(argv):
    parser = argparse.ArgumentParser(description="fake MJPEG camera")
    parser.add_argument("--address", required=True)
    parser.add_argument("--port", type=int, default=80)
    parser.add_argument("--user", default="admin")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--fps", type=int, default=10)
    args = parser.parse_args(argv)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((args.address, args.port))
    listener.listen(16)
    camera = Camera(listener, args.user, args.password, args.fps)
    print("camera on %s:%d" % camera.address, flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    stop.wait()
    camera.close()
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
