"""Floods against the real binary: registrations and idle proxy connections from one address
stay within the limits, and a gateway or client from another address is served meanwhile."""

import socket
import time

from tamblo_gc import ACCEPT, KEEPALIVERESP, build_connect
from tamblo_server import wait_until

PER_ADDRESS = "--max-gateways-per-address=50"
WORKERS_PER_ADDRESS = "--max-workers-per-address=20"
LONG_REQUEST_HEAD = "--request-head-timeout=600"  # held workers stay for the whole test


def test_a_registration_flood_from_one_address_stays_within_its_limit(start_server, make_client):
    server = start_server([PER_ADDRESS])
    flood = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    flood.bind(("127.0.0.1", 0))
    mark = server.mark()
    for i in range(2000):
        mac = bytes([0x02, 0x77, (i >> 16) & 0xff, (i >> 8) & 0xff, i & 0xff, 0x01])
        flood.sendto(build_connect(mac), server.gc_address)
    server.sync()
    assert len(server.find("Accepted UDP session from GC", since=mark)) <= 50
    refusals = server.find("over the limit of --max-gateways-per-address (50)", since=mark)
    assert 1 <= len(refusals) <= 10  # the refusals are logged at a bounded rate
    flood.close()

    # A gateway behind another address registers and is kept alive as usual.
    gc = make_client(server=server, bind_host="127.0.0.2")
    assert gc.register() == bytes([ACCEPT])
    assert gc.keepalive() == bytes([KEEPALIVERESP])


def test_idle_connections_from_one_address_fork_no_more_than_its_limit(start_server):
    server = start_server([WORKERS_PER_ADDRESS, LONG_REQUEST_HEAD])
    held = []
    try:
        for _ in range(60):
            held.append(socket.create_connection(("127.0.0.1", server.proxy_port), timeout=5))
        assert wait_until(lambda: len(server.children()) >= 20, 30)
        # The connections over the limit were accepted and closed before any fork.
        for client in held[20:]:
            client.settimeout(10)
            assert client.recv(1) == b""
        assert len(server.children()) == 20
        server.wait_for_log("over the limit of --max-workers-per-address (20)", level="WARN")

        # A client from another address still gets its worker at once.
        other = socket.socket()
        other.bind(("127.0.0.2", 0))
        other.connect(("127.0.0.1", server.proxy_port))
        held.append(other)
        assert wait_until(lambda: len(server.children()) == 21, 10)
    finally:
        for client in held:
            client.close()
