"""Flow control of the relay: large requests before the connection is up, a slow reader of a
fast device, and a connection that changes target between requests."""

import hashlib
import os
import signal
import socket
import time

from tamblo_device import payload_chunks
from tamblo_server import worker_pids
from tamblo_netns import netns, tun_available, wait_until  # noqa: F401 (fixtures)
from tamblo_relay import (RelayWorld, options, plain_relay, read_http_answer,  # noqa: F401
                          sha256_file)

MIB = 1 << 20


def test_a_request_larger_than_the_client_buffer_before_the_connection_is_up(plain_relay):
    relay = plain_relay
    upload = os.path.join(relay.netns.workdir, "upload")
    with open(upload, "wb") as handle:
        handle.write(os.urandom(4 * MIB))
    mark = relay.server.log.mark()
    code, status, body = relay.curl("/upload", options(), data_file=upload)
    assert (code, status) == (0, "200")
    assert body.decode() == sha256_file(upload)
    relay.server.log.wait_for(r"output buffer full, stopping input watcher", start=mark)


def test_a_slow_client_of_a_fast_device_loses_nothing(netns, tun_available):
    # No spare worker: the one worker is the connection's.
    relay = RelayWorld(netns, server_args=["--spare-workers=0"])
    size = 64 * MIB
    expected = hashlib.sha256()
    for chunk in payload_chunks(size):
        expected.update(chunk)
    with relay.connect() as sock:
        sock.sendall(("GET /bytes/%d?%s HTTP/1.1\r\nHost: d\r\n\r\n" % (size, options())).encode())
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        digest = hashlib.sha256()
        head = b""
        in_body = False
        received = 0
        deadline = time.monotonic() + 120
        # About 16 MB/s: the device sends far faster and the worker queues the rest.
        while received < size and time.monotonic() < deadline:
            data = sock.recv(65536)
            assert data, "connection closed after %d bytes" % received
            if not in_body:
                head += data
                if b"\r\n\r\n" not in head:
                    continue
                head, data = head.split(b"\r\n\r\n", 1)
                in_body = True
            digest.update(data)
            received += len(data)
            time.sleep(0.004)
        assert received == size
        assert digest.hexdigest() == expected.hexdigest()
    # The connection ends cleanly: the worker goes away.
    deadline = time.monotonic() + 10
    while relay.worker_count() and time.monotonic() < deadline:
        time.sleep(0.1)
    assert relay.worker_count() == 0


def test_a_second_request_to_another_target_is_looked_up_and_connected(plain_relay):
    relay = plain_relay
    with relay.connect() as sock:
        sock.sendall(("GET /whoami?%s HTTP/1.1\r\nHost: d\r\n\r\n" % options(ld=12)).encode())
        assert read_http_answer(sock)[1] == b"a"
        mark = relay.server.log.mark()
        sock.sendall(("GET /whoami?%s HTTP/1.1\r\nHost: d\r\n\r\n" % options(ld=13)).encode())
        assert read_http_answer(sock)[1] == b"b"
        relay.server.log.wait_for(r"Sending request: /app/hm/ld/13", start=mark)
    assert [line.split()[1] for line in relay.rest_requests()] == ["/app/hm/ld/12", "/app/hm/ld/13"]


def test_spare_workers_take_the_next_clients_and_one_that_died_waiting_is_replaced(plain_relay):
    relay = plain_relay
    log = relay.server.log
    assert relay.worker_count() == 0  # no spare before the proxy port's first client
    assert relay.curl("/whoami", options())[2] == b"a"  # its worker is forked for it
    # Then one spare waits; the next client is served by it, and a new one takes its place.
    for _ in range(2):
        mark = log.mark()
        the_spare(relay)
        assert relay.curl("/whoami", options())[2] == b"a"
        log.wait_for(r"spare worker took its client", start=mark)

    # A spare that died waiting is replaced; the next client is served all the same.
    spare = the_spare(relay)
    mark = log.mark()
    os.kill(spare, signal.SIGKILL)
    log.wait_for(r"process %d exited" % spare, start=mark)
    assert the_spare(relay) != spare
    assert relay.curl("/whoami", options())[2] == b"a"


def the_spare(relay):
    """Waits until the server's only child is its spare worker (earlier connections' workers
    have ended) and returns its pid."""
    def only_child():
        pids = worker_pids(relay.server.pid)
        return pids[0] if len(pids) == 1 else None
    return wait_until(only_child, timeout=15, what="one spare worker and no other")
