"""Bounds of a proxy worker: a client that names no target is let go at the request-head
deadline, and a client that reads nothing holds the device back instead of filling its
worker's memory, then gets every byte once it reads."""

import hashlib
import select
import socket
import threading
import time

import pytest

from tamblo_device import payload_chunks, payload_digest
from tamblo_server import worker_pids
from tamblo_netns import netns, tun_available, wait_until  # noqa: F401 (fixtures)
from tamblo_relay import DEVICE_A, RelayWorld, options, read_head

MIB = 1 << 20
HEAD_TIMEOUT = 2           # --request-head-timeout of these tests, seconds
SLACK = 6                  # a loaded 2-core machine may be late by this much, never early
STREAM_SIZE = 64 * MIB     # far more than every buffer on the way holds together
STREAM_PORT = 8081
STREAM_DEVICE = 20         # device id of the streaming device behind gateway 7
RSS_BOUND_KIB = 16 * 1024  # the worker stays below this whatever the device sends
STALL_SECONDS = 1.0        # a device send blocked this long counts as held back


def closed_by_server(sock):
    """True once the server has ended the connection (end of file or reset)."""
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True


def seconds_until_closed(sock, trickle, budget):
    """Sends trickle one byte per 0.25 s while waiting for the server to end the connection;
    the seconds from the first byte's turn until it did, or None after budget seconds."""
    started = time.monotonic()
    pending = bytearray(trickle)
    while time.monotonic() - started < budget:
        readable, _, _ = select.select([sock], [], [], 0.25)
        if readable:
            if closed_by_server(sock):
                return time.monotonic() - started
            continue
        if pending:
            try:
                sock.send(pending[:1])
            except (BrokenPipeError, ConnectionResetError):
                return time.monotonic() - started
            del pending[:1]
    return None


@pytest.fixture
def head_server(start_server):
    return start_server(args=["--request-head-timeout=%d" % HEAD_TIMEOUT])


@pytest.mark.parametrize("trickle", [b"", b"GET / HTTP/1.1\r\nHost: d\r\nAccept: */*\r\n"],
                         ids=["silent", "header without options"])
def test_a_client_that_names_no_target_ends_by_the_request_head_deadline(head_server, trickle):
    server = head_server
    mark = server.mark()
    with socket.create_connection(("127.0.0.1", server.proxy_port), timeout=5) as client:
        elapsed = seconds_until_closed(client, trickle, HEAD_TIMEOUT + SLACK)
    assert elapsed is not None, "the connection outlived the request-head deadline"
    assert elapsed < HEAD_TIMEOUT + SLACK
    if not trickle:
        # Bytes without options end the worker at once; silence lasts the whole deadline,
        # in the server: no worker is forked for it.
        assert elapsed > HEAD_TIMEOUT - 0.05
        assert server.find("fork: parent process", since=mark) == []
    assert wait_until(lambda: not server.children(), 10)


class StreamingDevice:
    """An HTTP device that answers one GET with STREAM_SIZE bytes of payload(STREAM_SIZE) and
    notes when the relay stops taking them: `held_back` is set once a send stayed blocked for
    STALL_SECONDS, `done` once everything went out."""

    def __init__(self, listener):
        self.listener = listener
        self.sent = 0
        self.held_back = threading.Event()
        self.done = threading.Event()
        self.error = None
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            self.listener.settimeout(60)
            connection, _ = self.listener.accept()
            with connection:
                connection.settimeout(60)
                if b"\r\n\r\n" not in read_head(connection):
                    return
                connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                   b"Content-Length: %d\r\n\r\n" % STREAM_SIZE)
                connection.settimeout(STALL_SECONDS)
                for chunk in payload_chunks(STREAM_SIZE):
                    view = memoryview(chunk)
                    while view:
                        try:
                            n = connection.send(view)
                        except socket.timeout:
                            self.held_back.set()
                            continue
                        view = view[n:]
                        self.sent += n
                self.done.set()
        except OSError as error:
            self.error = error


def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as handle:
        for line in handle:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


def test_a_client_that_reads_nothing_holds_the_device_back_and_then_gets_every_byte(
        netns, tun_available):
    world = RelayWorld(netns, extra_devices=[(STREAM_DEVICE, DEVICE_A, STREAM_PORT)],
                       server_args=["--spare-workers=0"])  # its one worker is the client's
    try:
        listener = netns.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((DEVICE_A, STREAM_PORT))
        listener.listen(1)
        device = StreamingDevice(listener)
        client = netns.socket(socket.AF_INET, socket.SOCK_STREAM)
        client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        client.settimeout(30)
        client.connect(("127.0.0.1", world.server.proxy_port))
        client.sendall(("GET /stream?%s HTTP/1.1\r\nHost: d\r\n\r\n"
                        % options(ld=STREAM_DEVICE)).encode())

        # The client reads nothing: the device must end up held back, long before it is done.
        wait_until(lambda: device.held_back.is_set() or device.done.is_set() or device.error,
                   timeout=60, what="the device to be held back")
        assert device.error is None, device.error
        assert not device.done.is_set(), "the worker took all %d bytes" % STREAM_SIZE
        pids = worker_pids(world.server.pid)
        assert len(pids) == 1, pids
        rss = vm_rss_kib(int(pids[0]))
        assert rss < RSS_BOUND_KIB, "worker RSS %d KiB with %d bytes pushed" % (rss, device.sent)
        assert device.sent < STREAM_SIZE // 4

        # Now the client reads: every byte arrives, in order.
        reader = client.makefile("rb")
        assert reader.readline().startswith(b"HTTP/1.1 200")
        while reader.readline() not in (b"\r\n", b""):
            pass
        digest = hashlib.sha256()
        for _ in range(STREAM_SIZE // MIB):
            chunk = reader.read(MIB)
            assert len(chunk) == MIB, "the connection closed early"
            digest.update(chunk)
        assert digest.hexdigest() == payload_digest(STREAM_SIZE)
        assert device.done.wait(30)
        client.close()
    finally:
        world.close()
