"""Many downloads at once through the real relay: with that many workers busy the parent
holds each worker's tunnel packets for a moment and writes them together, and every answer
still arrives whole and in order."""

import hashlib
import socket
import threading
from concurrent.futures import ThreadPoolExecutor

import tamblo_metrics
from tamblo_device import payload_digest
from tamblo_netns import netns, tun_available  # noqa: F401 (fixtures)
from tamblo_relay import RelayWorld, options, read_http_answer

METRICS_PORT = 9467  # inside the test's own namespace
CLIENTS = 48         # above the 32 workers woken at once that make the parent hold
SIZE = 4 * 1024 * 1024


def test_downloads_at_once_arrive_whole_while_the_parent_holds_packets(netns, tun_available):
    relay = RelayWorld(netns, server_args=["--metrics-address=127.0.0.1:%d" % METRICS_PORT],
                       server_options={"log_level": "WARN"})

    # Every client has asked before any reads: the answers then flow all at once, however
    # fast one download alone would be over.
    asked = threading.Barrier(CLIENTS, timeout=60)

    def download(_):
        with relay.connect() as sock:
            sock.sendall(("GET /bytes/%d?%s HTTP/1.1\r\nHost: relay\r\n\r\n"
                          % (SIZE, options())).encode())
            asked.wait()
            head, body = read_http_answer(sock, timeout=120)
            return head.split("\r\n")[0], hashlib.sha256(body).hexdigest()

    try:
        assert relay.curl("/whoami", options())[2] == b"a"  # the session is cached
        with ThreadPoolExecutor(CLIENTS) as pool:
            answers = list(pool.map(download, range(CLIENTS)))
        assert answers == [("HTTP/1.1 200 OK", payload_digest(SIZE))] * CLIENTS
        samples = tamblo_metrics.scrape(
            METRICS_PORT, make_socket=lambda: netns.socket(socket.AF_INET, socket.SOCK_STREAM))
        assert samples['tamblo_worker_wakes_total{outcome="held"}'] > 0
        assert samples['tamblo_gateway_datagrams_dropped_total{reason="worker_pipe_full"}'] == 0
    finally:
        relay.close()
