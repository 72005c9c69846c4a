"""A LAN device for relay tests: a threaded HTTP/1.1 server on a device address of a namespace.

    GET  /bytes/<n>       n bytes of payload(n), with Content-Length
    POST /upload          reads the body, answers with its SHA-256 in hex
    GET  /status/<code>   that status code with a short body
    GET  /multipart       a multipart/x-mixed-replace answer header and a short body
    GET  /whoami          the device's name
Connections are kept alive between requests. Every request is recorded (method, path,
headers) so tests can check what reached the device.
"""

import hashlib
import http.server
import random
import threading

_BLOCK = 1 << 20
_blocks = {}


def _block(seed):
    if seed not in _blocks:
        _blocks[seed] = random.Random(seed).randbytes(_BLOCK)
    return _blocks[seed]


def payload_chunks(n):
    """The content of /bytes/<n>, in chunks of at most 1 MiB."""
    block = _block(n % 7919)
    left = n
    while left > 0:
        piece = block[:min(left, _BLOCK)]
        left -= len(piece)
        yield piece


def payload_digest(n):
    digest = hashlib.sha256()
    for chunk in payload_chunks(n):
        digest.update(chunk)
    return digest.hexdigest()


class Device:
    """The HTTP device; listener is a listening TCP socket (e.g. from Namespace.socket)."""

    def __init__(self, listener, name="device"):
        self.name = name
        self.requests = []
        self.errors = []
        device = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _record(self):
                device.requests.append((self.command, self.path, dict(self.headers)))

            def _answer(self, code, body, content_type="text/plain", reason=None):
                self.send_response(code, reason)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_GET(self):
                self._record()
                path = self.path.split("?", 1)[0]
                parts = path.strip("/").split("/")
                if parts[0] == "bytes" and len(parts) == 2:
                    n = int(parts[1])
                    self.send_response(200)
                    self.send_header("Content-Type", "application/octet-stream")
                    self.send_header("Content-Length", str(n))
                    self.end_headers()
                    for chunk in payload_chunks(n):
                        self.wfile.write(chunk)
                elif parts[0] == "status" and len(parts) == 2:
                    self._answer(int(parts[1]), b"status page\n")
                elif parts[0] == "multipart":
                    self._answer(200, b"--frame\r\n",
                                 "multipart/x-mixed-replace; boundary=frame")
                elif parts[0] == "whoami":
                    self._answer(200, device.name.encode())
                else:
                    self._answer(404, b"not here\n")

            def do_POST(self):
                self._record()
                length = int(self.headers.get("Content-Length", "0"))
                digest = hashlib.sha256()
                while length > 0:
                    data = self.rfile.read(min(length, 1 << 20))
                    if not data:
                        break
                    digest.update(data)
                    length -= len(data)
                self._answer(200, digest.hexdigest().encode())

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True

            def handle_error(self, request, client_address):
                import sys
                device.errors.append(sys.exc_info()[1])

        self.server = Server(listener.getsockname(), Handler, bind_and_activate=False)
        self.server.socket.close()
        self.server.socket = listener
        self.address = listener.getsockname()
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(5)
