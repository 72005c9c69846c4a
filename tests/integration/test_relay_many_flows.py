"""Many downloads at once through the real relay: with that many workers busy the parent
holds each worker's tunnel packets for a moment and writes them together, and every answer
still arrives whole and in order."""

import hashlib
import selectors
import socket
import time

import tamblo_metrics
from tamblo_device import payload_digest
from tamblo_netns import netns, tun_available  # noqa: F401 (fixtures)
from tamblo_relay import RelayWorld, options

METRICS_PORT = 9467  # inside the test's own namespace
CLIENTS = 48         # above the 32 workers woken at once that make the parent hold
SIZE = 2 * 1024 * 1024
DEADLINE = 240.0


class Download:
    def __init__(self, sock):
        self.sock = sock
        self.head = b""
        self.in_body = False
        self.body = 0
        self.digest = hashlib.sha256()
        self.done = False

    def take(self, chunk):
        if not chunk:
            self.done = True
            return
        if not self.in_body:
            self.head += chunk
            if b"\r\n\r\n" not in self.head:
                return
            self.head, _, chunk = self.head.partition(b"\r\n\r\n")
            self.in_body = True
        self.body += len(chunk)
        self.digest.update(chunk)
        self.done = self.body >= SIZE


def test_downloads_at_once_arrive_whole_while_the_parent_holds_packets(netns, tun_available):
    relay = RelayWorld(netns, server_args=["--metrics-address=127.0.0.1:%d" % METRICS_PORT],
                       server_options={"log_level": "WARN"})

    def in_namespace():
        return netns.socket(socket.AF_INET, socket.SOCK_STREAM)

    try:
        assert relay.curl("/whoami", options())[2] == b"a"  # the session is cached
        request = ("GET /bytes/%d?%s HTTP/1.1\r\nHost: relay\r\n\r\n" % (SIZE, options())).encode()
        downloads = []
        with selectors.DefaultSelector() as selector:
            # All connected and asked before any answer is read: the transfers overlap.
            for _ in range(CLIENTS):
                sock = relay.connect()
                sock.sendall(request)
                sock.setblocking(False)
                downloads.append(Download(sock))
                selector.register(sock, selectors.EVENT_READ, downloads[-1])
            deadline = time.monotonic() + DEADLINE
            left = CLIENTS
            while left and time.monotonic() < deadline:
                for key, _ in selector.select(timeout=1.0):
                    download = key.data
                    try:
                        download.take(download.sock.recv(262144))
                    except BlockingIOError:
                        continue
                    if download.done:
                        selector.unregister(download.sock)
                        download.sock.close()
                        left -= 1
        expected = payload_digest(SIZE)
        whole = [d for d in downloads if b" 200 " in d.head.split(b"\r\n")[0] and d.body == SIZE
                 and d.digest.hexdigest() == expected]
        assert len(whole) == CLIENTS, [(d.head[:20], d.body) for d in downloads if d not in whole]

        samples = tamblo_metrics.scrape(METRICS_PORT, make_socket=in_namespace)
        assert samples['tamblo_worker_wakes_total{outcome="held"}'] > 0
        assert samples['tamblo_worker_wakes_total{outcome="written"}'] > 0
        assert samples['tamblo_gateway_datagrams_dropped_total{reason="worker_pipe_full"}'] == 0
    finally:
        relay.close()
