"""A small client of the control port: sends "VIDEORECORDER" commands and reads status lines.

    control = ControlClient.connect(("127.0.0.1", 8500))          # or ControlClient(sock)
    control.start("02005E100001", "198.18.0.10", 80, "admin", "secret", "video.mjpg", "/tmp/a.flv")
    assert control.read_line() == "VIDEORECORDER:STATUS:02005E100001:198.18.0.10:80:RECORDING"
    control.stop("02005E100001", "198.18.0.10", 80)   # answers nothing here; STOPPED comes later
    assert control.read_line(timeout=15).endswith(":STOPPED")

Each command goes out in one send, as the server takes one read as one command. Reads are
bounded by a time-out; nothing here waits without one.

Run as a program inside the namespace of a test or benchmark (one command, then prints every
line until the server closes the connection or the time-out passes):

    python3 tamblo_control.py --port 8500 --wait 20 'VIDEORECORDER:START:...'
"""

import argparse
import select
import socket
import sys
import time


def command(*fields):
    """The command text: fields joined by ":" and a line feed."""
    return ":".join(str(field) for field in fields) + "\n"


class ControlClient:
    def __init__(self, sock):
        self.sock = sock
        self._buffer = b""
        self._closed = False

    @classmethod
    def connect(cls, address, timeout=10.0):
        return cls(socket.create_connection(address, timeout=timeout))

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, text):
        self.sock.sendall(text.encode("latin-1") if isinstance(text, str) else text)

    def start(self, mac, ip, port, user, password, url, output, *optional):
        """START with the nine fields, then optional codec and "NORTCP"."""
        self.send(command("VIDEORECORDER", "START", mac, ip, port, user, password, url, output,
                          *optional))

    def stop(self, mac, ip, port):
        self.send(command("VIDEORECORDER", "STOP", mac, ip, port))

    def _fill(self, timeout):
        """Reads what arrives within timeout seconds; False when nothing came."""
        if self._closed:
            return False
        ready, _, _ = select.select([self.sock], [], [], max(0.0, timeout))
        if not ready:
            return False
        try:
            data = self.sock.recv(65536)
        except ConnectionResetError:
            data = b""
        if not data:
            self._closed = True
            return False
        self._buffer += data
        return True

    def read_line(self, timeout=10.0):
        """The next line without its line feed, or None when none arrived in time (or closed)."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self._buffer:
            if not self._fill(deadline - time.monotonic()) and (
                    self._closed or time.monotonic() >= deadline):
                return None
        line, self._buffer = self._buffer.split(b"\n", 1)
        return line.decode("latin-1")

    def pending(self):
        """Whatever has arrived so far, without waiting (the buffered rest included)."""
        while self._fill(0):
            pass
        data, self._buffer = self._buffer, b""
        return data

    def wait_closed(self, timeout=10.0):
        """True when the server closed the connection within timeout (data before it is kept)."""
        deadline = time.monotonic() + timeout
        while not self._closed and time.monotonic() < deadline:
            self._fill(deadline - time.monotonic())
        return self._closed


def _main(argv):
    parser = argparse.ArgumentParser(description="send one control command and print the lines")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8500)
    parser.add_argument("--wait", type=float, default=10.0, help="seconds to wait for lines")
    parser.add_argument("text")
    args = parser.parse_args(argv)
    with ControlClient.connect((args.host, args.port)) as control:
        control.send(args.text if args.text.endswith("\n") else args.text + "\n")
        deadline = time.monotonic() + args.wait
        while time.monotonic() < deadline:
            line = control.read_line(deadline - time.monotonic())
            if line is None:
                break
            print(line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
